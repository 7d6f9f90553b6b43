"""Runs bench/shm_latency (C): 64-ancilla frames over the shared-memory ring and loopback TCP in
the same run, then producer -> committed correction with the sliding window (commit = buffer = d,
by default d = 5, p = 0.001, matching, windows in the consuming thread) over the ring, beside
whole-shot decoding of the same shots by the same method (CPU per round). This script
only prepares the decoding run's inputs: a rotated surface code memory experiment's model (Stim)
and a recording of sampled shots as one frame per round, the events in the window's layout order.

    python bench/shm_latency.py [--frames N] [--shots S] [--build build]
                                [--distance D] [--p P] [--method M] [--threads T]
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile

import numpy as np
import stim

import ostrel
from ostrel import qssf


def rounds_for(distance: int) -> int:
    """Five windows' worth of rounds, at least 25."""
    return max(25, 5 * distance)


def prepare(directory: pathlib.Path, shots: int, distance: int, p: float) -> tuple[pathlib.Path, pathlib.Path]:
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=distance, rounds=rounds_for(distance),
                                     after_clifford_depolarization=p, before_measure_flip_probability=p,
                                     after_reset_flip_probability=p, before_round_data_depolarization=p)
    model = circuit.detector_error_model(decompose_errors=True)
    model_path = directory / f"d{distance}.dem"
    model_path.write_text(str(model))
    layout = ostrel.SlidingWindowDecoder(str(model), distance, distance).layout  # (rounds, ancillas), -1 = none
    dets = circuit.compile_detector_sampler(seed=5).sample(shots)
    cells = np.where(layout >= 0, layout, 0)
    rows = np.where(layout[None, :, :] >= 0, dets[:, cells], False)  # (shots, rounds, ancillas)
    rounds, ancillas = layout.shape
    (directory / f"d{distance}_shots.u8").write_bytes(dets.astype(np.uint8).tobytes())  # for whole-shot decoding
    recording = directory / f"d{distance}_rounds.qssf"
    with qssf.QssfWriter(recording) as w:
        w.write_frames_fast(rows.reshape(shots * rounds, ancillas).astype(np.uint8), ancilla_count=ancillas,
                            rounds=np.tile(np.arange(rounds), shots).tolist(), distance=distance,
                            code_type=qssf.Code.SURFACE)
    return model_path, recording


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=200000, help="frames per paced run (5x in the throughput runs)")
    parser.add_argument("--shots", type=int, default=4000, help="shots in the decoding run's recording")
    parser.add_argument("--build", default="build", help="the build directory holding bench/shm_latency")
    parser.add_argument("--distance", type=int, default=5)
    parser.add_argument("--p", type=float, default=0.001)
    parser.add_argument("--method", default="matching")
    parser.add_argument("--threads", type=int, default=0, help="window threads (0: in the consuming thread)")
    args = parser.parse_args()
    binary = pathlib.Path(args.build) / "bench" / "shm_latency"
    if not binary.exists():
        print(f"{binary} is missing: build with `make build`", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        d = args.distance
        model, recording = prepare(pathlib.Path(tmp), args.shots, d, args.p)
        print(f"decoding run: rotated surface code d={d}, {rounds_for(d)} rounds, p={args.p}, {args.method}, "
              f"window commit {d} + buffer {d} rounds, {args.threads} window threads, {args.shots} shots", flush=True)
        return subprocess.call([str(binary), str(args.frames), str(model), str(recording), str(d), str(d),
                                args.method, str(args.threads), str(recording.with_name(f"d{d}_shots.u8"))])


if __name__ == "__main__":
    sys.exit(main())
