"""Fixtures for the correlated-decoding micro-benchmark (src/ostrel/decode/correlated/correlated_decoder.perf.cc):
a surface-code memory experiment's model and sampled shots, one directory per point. A point is
d:p, or profile:d:p with a noise profile of bench/correlated.py (uniform when not named).

    python bench/correlated_fixtures.py /tmp/corr-fixtures 9:0.005 13:0.003 measurement-heavy:9:0.02
    g++ -O2 -g -std=c++20 -Isrc src/ostrel/decode/correlated/correlated_decoder.perf.cc build/libostrel_core.a \\
        -o /tmp/corr-perf
    /tmp/corr-perf /tmp/corr-fixtures/d9-p0.005/model.dem /tmp/corr-fixtures/d9-p0.005/shots.txt
"""
import pathlib
import sys

import numpy as np

from correlated import circuit

SHOTS = 20000


def main() -> int:
    out = pathlib.Path(sys.argv[1])
    for point in sys.argv[2:] or ["9:0.005"]:
        parts = point.split(":")
        profile = parts[0] if len(parts) == 3 else "uniform"
        d, p = int(parts[-2]), float(parts[-1])
        c = circuit(profile, "rotated", "z", d, p)
        folder = out / (f"d{d}-p{p}" if profile == "uniform" else f"{profile}-d{d}-p{p}")
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "model.dem").write_text(str(c.detector_error_model(decompose_errors=True)))
        events, observables = c.compile_detector_sampler(seed=d).sample(SHOTS, separate_observables=True)
        masks = np.packbits(observables, axis=1, bitorder="little")
        with open(folder / "shots.txt", "w") as f:
            for row, mask in zip(events, masks):
                f.write(" ".join([str(int.from_bytes(mask.tobytes(), "little"))] + [str(i) for i in np.flatnonzero(row)]) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
