"""Synthetic QSSF streams and experiments, for the demo, the benchmarks and the tests."""

from __future__ import annotations

import json
import os
import random
from dataclasses import asdict, dataclass
from typing import Any

from ostrel import qssf
from ostrel.atomic import check_writable, replacing

# A few code families with their ancilla counts, as a control stack would mix them.
DEMO_CODES = [
    (qssf.Code.SURFACE, 5, 24),
    (qssf.Code.REPETITION, 9, 8),
    (qssf.Code.COLOR, 7, 36),
    (qssf.Code.TORIC, 4, 32),
]


def write_mixed_stream(path: str, frames: int, *, p_fire: float = 0.02, seed: int = 1) -> dict:
    """Writes `frames` frames cycling over several code types; some frames carry timing offsets,
    ancilla bits, annotations and a tag-16 observable mask. Returns counts for checking."""
    rng = random.Random(seed)
    fired_total = 0
    ancillas_total = 0
    with_mask = 0
    with qssf.QssfWriter(path) as w:
        for i in range(frames):
            code, distance, n = DEMO_CODES[i % len(DEMO_CODES)]
            fired = [a for a in range(n) if rng.random() < p_fire]
            events = [0] * n
            for a in fired:
                events[a] = 1
            kw: dict = {}
            if i % 5 == 0:
                kw["timing_offsets"] = [rng.randrange(0, 10001) for _ in range(n)]
            if i % 7 == 0:
                kw["ancilla_bits"] = bytes(rng.randrange(256) for _ in range((n + 7) // 8))
            if i % 11 == 0:
                kw["annotations"] = [(1, i, 2)]
            if i % 3 == 0:
                kw["observable_flips"] = rng.getrandbits(2)
                with_mask += 1
            w.write_frame(
                i + 1,
                round=i // len(DEMO_CODES),
                timestamp_ns=1_000 * i,
                code_type=int(code),
                distance=distance,
                detector_events=events,
                meas_results=[-1 if e else 1 for e in events],
                **kw,
            )
            fired_total += len(fired)
            ancillas_total += n
    return {"frames": frames, "fired": fired_total, "ancillas": ancillas_total, "with_mask": with_mask}


CODES = ("repetition", "surface")


@dataclass
class Experiment:
    """What `write_experiment` wrote, also saved as DIR/experiment.json."""

    code: str
    distance: int
    rounds: int
    shots: int
    p: float
    detector_count: int
    observable_count: int
    ancilla_count: int  # detectors per frame
    frames_per_shot: int
    stream: str
    dem: str
    truth: str

    def save(self, path: str) -> None:
        with replacing(path) as partial, open(partial, "w") as f:
            json.dump(asdict(self), f, indent=2)

    @classmethod
    def load(cls, path: str) -> "Experiment":
        with open(path) as f:
            return cls(**json.load(f))


def memory_circuit(code: str, distance: int, rounds: int, p: float) -> Any:
    """A Stim memory experiment with circuit-level noise of strength p."""
    import stim

    name = {"repetition": "repetition_code:memory", "surface": "surface_code:rotated_memory_z"}[code]
    return stim.Circuit.generated(
        name, distance=distance, rounds=rounds, after_clifford_depolarization=p,
        before_round_data_depolarization=p, before_measure_flip_probability=p,
        after_reset_flip_probability=p)


def write_experiment(out_dir: str, code: str, distance: int, rounds: int, shots: int, p: float,
                     seed: int | None = None, *, payload_checksum: bool = False) -> Experiment:
    """Samples `shots` shots of a memory experiment and writes, into `out_dir`, the QSSF stream
    (experiment.qssf), the detector error model (model.dem), the true observable flips of every
    shot (truth.txt, one decimal mask per line) and a description (experiment.json).

    Repetition codes are written one frame per round (distance - 1 detectors each), so a decoder
    infers the window depth from the model. Surface codes are written one frame per round as a
    control stack emits them: every frame holds every ancilla, in the column order of the
    model's detector layout (`SlidingWindowDecoder.coordinate_layout`, from the detector
    coordinates), cells whose ancilla has no detector in that round (the first round's X
    ancillas) are 0, and the round computed from the data-qubit readout is each shot's last
    frame. `frame_layout` turns such frames back into detector indices. With `payload_checksum`
    every frame carries the CRC-32C of its payload."""
    import numpy as np

    # A folder that cannot be written is refused before the sampling.
    os.makedirs(out_dir, exist_ok=True)
    check_writable(os.path.join(out_dir, "experiment.json"))
    circuit = memory_circuit(code, distance, rounds, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    detectors, observables = circuit.compile_detector_sampler(seed=seed).sample(
        shots, separate_observables=True)
    n_det = dem.num_detectors
    if code == "repetition":
        per_frame = distance - 1
        frames_per_shot = n_det // per_frame
        rows = detectors.reshape(shots * frames_per_shot, per_frame)
    else:
        layout = frame_layout(str(dem))
        frames_per_shot, per_frame = layout.shape
        rows = frames_from_shots(detectors, layout)
    os.makedirs(out_dir, exist_ok=True)
    exp = Experiment(code=code, distance=distance, rounds=rounds, shots=shots, p=p,
                     detector_count=n_det, observable_count=dem.num_observables,
                     ancilla_count=per_frame, frames_per_shot=frames_per_shot,
                     stream=os.path.join(out_dir, "experiment.qssf"),
                     dem=os.path.join(out_dir, "model.dem"),
                     truth=os.path.join(out_dir, "truth.txt"))
    code_type = qssf.Code.REPETITION if code == "repetition" else qssf.Code.SURFACE
    round_index = np.tile(np.arange(frames_per_shot), shots)
    with replacing(exp.stream) as partial, qssf.QssfWriter(partial, payload_checksum=payload_checksum) as w:
        w.write_frames_fast(rows, ancilla_count=per_frame, rounds=round_index.tolist(),
                            code_type=int(code_type), distance=distance)
    with replacing(exp.dem) as partial:
        dem.to_file(partial)
    weights = 1 << np.arange(observables.shape[1], dtype=np.uint64)
    masks = (observables.astype(np.uint64) * weights).sum(axis=1) if observables.shape[1] else \
        np.zeros(shots, dtype=np.uint64)
    with replacing(exp.truth) as partial, open(partial, "w") as f:
        f.write("".join(f"{int(m)}\n" for m in masks))
    exp.save(os.path.join(out_dir, "experiment.json"))
    return exp


def frame_layout(dem_text: str) -> Any:
    """The detector layout of a model from its detector coordinates: a (rounds, ancillas) int64
    array of detector indices, -1 where an ancilla has no detector in a round."""
    import _ostrel

    return _ostrel.SlidingWindowDecoder.coordinate_layout(dem_text)


def frames_from_shots(detectors: Any, layout: Any) -> Any:
    """Rearranges sampled shots (shots x detectors) into frames of one round each:
    (shots * rounds) x ancillas, cell [shot * rounds + r, c] = detector layout[r, c] of that
    shot, 0 where the layout has no detector."""
    import numpy as np

    shots, n_det = detectors.shape
    padded = np.concatenate([detectors, np.zeros((shots, 1), dtype=detectors.dtype)], axis=1)
    index = np.where(layout >= 0, layout, n_det)
    return padded[:, index].reshape(shots * layout.shape[0], layout.shape[1])


def read_truth(path: str) -> list[int]:
    """The masks of a truth file: one non-negative decimal integer per line."""
    masks = []
    number = 0
    try:
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                text = line.strip()
                if not text:
                    continue
                if not text.isdigit() or int(text) >= 2**64:
                    raise ValueError(f"{path}:{number}: not an observable mask: {text!r}")
                masks.append(int(text))
    except UnicodeDecodeError as e:  # a binary file, such as a NumPy array
        raise ValueError(f"{path}:{number + 1}: not a text file of observable masks, one decimal "
                         f"integer per line ({e.reason}: byte 0x{e.object[e.start]:02x})") from None
    return masks
