"""Synthetic QSSF streams for demos, benchmarks and tests."""

from __future__ import annotations

import random
from typing import Iterable

from ostrel import qssf

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


def sparse_rows(frames: int, ancillas: int, p_fire: float, seed: int = 1) -> Iterable[list[int]]:
    """Index lists of fired detectors, one per frame."""
    rng = random.Random(seed)
    for _ in range(frames):
        yield [a for a in range(ancillas) if rng.random() < p_fire]
