"""Fixtures for the correlated-decoding micro-benchmark (src/ostrel/decode/correlated/correlated_decoder.perf.cc):
a surface-code memory experiment's model and sampled shots, one directory per point.

    python bench/correlated_fixtures.py /tmp/corr-fixtures 9:0.005 13:0.003
    g++ -O2 -g -std=c++20 -Isrc src/ostrel/decode/correlated/correlated_decoder.perf.cc build/libostrel_core.a \\
        -o /tmp/corr-perf
    /tmp/corr-perf /tmp/corr-fixtures/d9-p0.005/model.dem /tmp/corr-fixtures/d9-p0.005/shots.txt
"""
import pathlib
import sys

import numpy as np
import stim

SHOTS = 20000


def main() -> int:
    out = pathlib.Path(sys.argv[1])
    for point in sys.argv[2:] or ["9:0.005"]:
        d, p = int(point.split(":")[0]), float(point.split(":")[1])
        circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=d, rounds=d,
                                         after_clifford_depolarization=p, before_round_data_depolarization=p,
                                         before_measure_flip_probability=p, after_reset_flip_probability=p)
        folder = out / f"d{d}-p{p}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "model.dem").write_text(str(circuit.detector_error_model(decompose_errors=True)))
        events, observables = circuit.compile_detector_sampler(seed=d).sample(SHOTS, separate_observables=True)
        masks = np.packbits(observables, axis=1, bitorder="little")
        with open(folder / "shots.txt", "w") as f:
            for row, mask in zip(events, masks):
                f.write(" ".join([str(int.from_bytes(mask.tobytes(), "little"))] + [str(i) for i in np.flatnonzero(row)]) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
