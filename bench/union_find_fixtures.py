"""Fixtures for the Union-Find micro-benchmark (src/ostrel/decode/union_find.perf.cc).

For repetition and surface code memory experiments from stim, writes the decoding graph the way
the spacetime-graph builder derives it from the DEM text (one edge per one- or two-detector error,
a chain for more, boundary node = detector count) and sampled detection events, then times (CPU time)
pymatching on the same shots so the two can be compared:

    python bench/union_find_fixtures.py /tmp/uf-fixtures
    g++ -O2 -std=c++20 -Isrc src/ostrel/decode/union_find.perf.cc \
        src/ostrel/decode/union_find.cc src/ostrel/decode/syndrome_window.cc -o /tmp/uf-perf
    /tmp/uf-perf /tmp/uf-fixtures/*.txt
"""
import math
import pathlib
import sys
import time

import numpy as np
import pymatching
import stim

SHOTS = 20000
CASES = [(code, d, p) for code in ("repetition_code:memory", "surface_code:rotated_memory_z")
         for d in (5, 9, 13) for p in (0.001, 0.005)]


def graph_edges(dem: stim.DetectorErrorModel):
    """(u, v, observables) per edge, in the order the builder produces them."""
    boundary = dem.num_detectors
    for inst in dem.flattened():
        if inst.type != "error":
            continue
        p = inst.args_copy()[0]
        if not 0 < p < 1:
            continue
        dets = [t.val for t in inst.targets_copy() if t.is_relative_detector_id()]
        obs = [t.val for t in inst.targets_copy() if t.is_logical_observable_id()]
        if len(dets) == 1:
            yield dets[0], boundary, obs
        for a, b in zip(dets, dets[1:]):
            yield a, b, obs


def per_shot_seconds(fn, shots):
    # CPU time: the machine may be shared, so wall time would count waiting.
    start = time.process_time()
    for shot in shots:
        fn(shot)
    return (time.process_time() - start) / len(shots)


def main(out_dir: pathlib.Path):
    out_dir.mkdir(parents=True, exist_ok=True)
    for code, d, p in CASES:
        circuit = stim.Circuit.generated(code, distance=d, rounds=d, after_clifford_depolarization=p,
                                         before_measure_flip_probability=p, after_reset_flip_probability=p)
        dem = circuit.detector_error_model(decompose_errors=True)
        dets, obs = circuit.compile_detector_sampler(seed=1).sample(SHOTS, separate_observables=True)
        matching = pymatching.Matching.from_detector_error_model(dem)
        one_by_one = per_shot_seconds(matching.decode, dets[:5000])
        start = time.process_time()
        matching.decode_batch(dets)
        batch = (time.process_time() - start) / SHOTS
        name = f"{code.split(':')[0]}_d{d}_p{p}"
        edges = list(graph_edges(dem))
        with open(out_dir / f"{name}.txt", "w") as f:
            f.write(f"{name} {dem.num_detectors + 1} {dem.num_detectors} {len(edges)}\n")
            for u, v, o in edges:
                f.write(f"{u} {v} {len(o)} {' '.join(map(str, o))}\n")
            f.write(f"{SHOTS} {dem.num_detectors}\n")
            for shot, truth in zip(dets.astype(np.uint8), obs):
                f.write("".join("1" if x else "0" for x in shot))
                f.write(f" {int(sum(int(b) << k for k, b in enumerate(truth)))}\n")
        print(f"{name:32s} pymatching decode {one_by_one * 1e6:8.2f} us/shot, "
              f"decode_batch {batch * 1e6:8.2f} us/shot")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "/tmp/uf-fixtures"))
