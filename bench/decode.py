"""Per-window decoding through a stream (set_decoder) against pymatching, in one run.

For repetition and surface code memory experiments sampled with Stim (distance 5, 9, 13; p = 0.001
and 0.005; rounds = distance), the same shots are
  - written as a QSSF file and read through _ostrel.OstrelStream with set_decoder: a repetition
    code one frame per round (distance - 1 detectors each, so the window depth is inferred as the
    model's rounds and every frame decodes a full window once the first shot has passed), a
    surface code one frame per shot holding all its detectors (window depth 1);
  - decoded by pymatching's Matching.decode, one call per shot, built from the same DEM.
Our time per decode is the stream's time with a decoder minus its time without one, per frame.
Prints microseconds per decode for both, their ratio, each decoder's logical error rate, and how
our decode time grows with the graph's edge count.

    python bench/decode.py [--shots N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import pymatching

import _ostrel
from ostrel import qssf, synth


def best_of(repeats: int, fn) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def run_case(tmp: str, code: str, d: int, p: float, shots: int, repeats: int) -> dict:
    circuit = synth.memory_circuit(code, d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    det, obs = circuit.compile_detector_sampler(seed=d).sample(shots, separate_observables=True)
    n = dem.num_detectors
    per_frame = d - 1 if code == "repetition" else n
    frames_per_shot = n // per_frame
    path = os.path.join(tmp, f"{code}-{d}-{p}.qssf")
    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(det.reshape(-1, per_frame), ancilla_count=per_frame)
    dem_text = str(dem)
    model = _ostrel.DetectorErrorModel.parse(dem_text)
    frames = shots * frames_per_shot

    def plain() -> None:
        for _ in _ostrel.OstrelStream(path):
            pass

    masks: list[int] = []

    def decoded() -> None:
        masks.clear()
        stream = _ostrel.OstrelStream(path)
        stream.set_decoder(dem_text)
        for i, frame in enumerate(stream):
            if (i + 1) % frames_per_shot == 0:
                masks.append(frame.observable_flips)

    t_plain = best_of(repeats, plain)
    t_decoded = best_of(repeats, decoded)
    ours_us = max(t_decoded - t_plain, 0.0) / frames * 1e6

    matching = pymatching.Matching.from_detector_error_model(dem)
    rows = list(det.astype(np.uint8))
    predictions: list = []

    def pm() -> None:
        predictions.clear()
        decode = matching.decode
        for row in rows:
            predictions.append(decode(row))

    pm_us = best_of(repeats, pm) / shots * 1e6
    truth = obs[:, 0].astype(int)
    ours_ler = float(np.mean([(m & 1) != t for m, t in zip(masks, truth)]))
    pm_ler = float(np.mean([int(pr[0]) != t for pr, t in zip(predictions, truth)]))
    edges = model_edges(dem)
    return {"code": code, "d": d, "p": p, "detectors": n, "edges": edges, "frames": frames,
            "ours_us": ours_us, "pm_us": pm_us, "ours_ler": ours_ler, "pm_ler": pm_ler,
            "fired": float(det.sum()) / shots}


def model_edges(dem) -> int:
    count = 0
    for inst in dem.flattened():
        if inst.type != "error":
            continue
        p = inst.args_copy()[0]
        k = sum(1 for t in inst.targets_copy() if t.is_relative_detector_id())
        if 0 < p < 1 and k:
            count += max(k - 1, 1)
    return count


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--shots", type=int, default=2000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="distance 5 only")
    args = ap.parse_args()
    distances = (5,) if args.quick else (5, 9, 13)
    results = []
    print(f"{'code':<10} {'d':>3} {'p':>6} {'dets':>6} {'edges':>6} {'fired/shot':>10} "
          f"{'ostrel us':>10} {'pymatching us':>14} {'ratio':>6} {'LER ostrel':>11} {'LER pm':>8}")
    with tempfile.TemporaryDirectory(prefix="ostrel-decode-") as tmp:
        for code in ("repetition", "surface"):
            for d in distances:
                for p in (0.001, 0.005):
                    r = run_case(tmp, code, d, p, args.shots, args.repeats)
                    results.append(r)
                    print(f"{code:<10} {d:>3} {p:>6.3f} {r['detectors']:>6} {r['edges']:>6} {r['fired']:>10.1f} "
                          f"{r['ours_us']:>10.2f} {r['pm_us']:>14.2f} {r['pm_us'] / max(r['ours_us'], 1e-9):>5.1f}x "
                          f"{r['ours_ler']:>11.4f} {r['pm_ler']:>8.4f}", flush=True)
    print("\nostrel decode time against the graph's edge count (ns per edge):")
    for r in sorted(results, key=lambda r: r["edges"]):
        print(f"  {r['code']:<10} d={r['d']:<3} p={r['p']:<6} {r['edges']:>6} edges  "
              f"{r['ours_us']:>8.2f} us  {1000 * r['ours_us'] / r['edges']:>6.2f} ns/edge")


if __name__ == "__main__":
    sys.exit(main())
