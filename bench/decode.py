"""Decoding speed of the weighted decoder against pymatching, in one run.

1. Batch against batch: for memory experiments sampled with Stim (rotated surface code at d = 5,
   9, 13 with p = 0.001, 0.003, 0.005; repetition code at d = 5, 9, 13 with p = 0.01, 0.03;
   rounds = distance), microseconds per shot of ``Decoder.decode_batch`` and of pymatching's
   ``Matching.decode_batch`` on the same shots, each on one thread, best of --repeats, the two
   timed in turns. Per-call Python overhead is not part of either figure.
2. On a stream: the shots of the surface code at d = 13, p = 0.001 written one frame per shot to a
   QSSF file and read back through ``OstrelStream`` with the weighted decoder set, and with the
   fixed procedure (set_decoder on the DEM) over fewer shots: frames per second of the whole
   stream, and microseconds of decoding per frame (the stream's time with a decoder minus its time
   without one).

    python bench/decode.py [--shots N] [--repeats N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import pymatching

import _ostrel
from ostrel import qssf, synth

SURFACE = [(d, p) for d in (5, 9, 13) for p in (0.001, 0.003, 0.005)]
REPETITION = [(d, p) for d in (5, 9, 13) for p in (0.01, 0.03)]


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def batch_case(code: str, d: int, p: float, shots: int, repeats: int) -> dict:
    circuit = synth.memory_circuit(code, d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = circuit.compile_detector_sampler(seed=d).sample(shots, separate_observables=True)
    ours = _ostrel.Decoder(dem)
    theirs = pymatching.Matching.from_detector_error_model(dem)
    ours.decode_batch(events[:100])
    theirs.decode_batch(events[:100])
    t_ours = t_theirs = float("inf")
    for _ in range(repeats):
        t_ours = min(t_ours, timed(lambda: ours.decode_batch(events)))
        t_theirs = min(t_theirs, timed(lambda: theirs.decode_batch(events)))
    return {"code": code, "d": d, "p": p, "shots": shots, "fired": float(events.sum()) / shots,
            "ours_us": t_ours / shots * 1e6, "pm_us": t_theirs / shots * 1e6}


def stream_case(tmp: str, shots: int, fixed_shots: int, repeats: int) -> list[dict]:
    d, p = 13, 0.001
    circuit = synth.memory_circuit("surface", d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = circuit.compile_detector_sampler(seed=d).sample(shots, separate_observables=True)
    rows = []
    for name, decoder, count in (("weighted-union-find", _ostrel.Decoder(dem), shots),
                                 ("union-find (fixed procedure)", str(dem), fixed_shots)):
        path = os.path.join(tmp, f"surface-{count}.qssf")
        if not os.path.exists(path):
            with qssf.QssfWriter(path) as w:
                w.write_frames_fast(events[:count], ancilla_count=events.shape[1])

        def plain() -> None:
            for _ in _ostrel.OstrelStream(path):
                pass

        def decoded() -> None:
            stream = _ostrel.OstrelStream(path)
            stream.set_decoder(decoder)
            for _ in stream:
                pass

        t_plain = min(timed(plain) for _ in range(repeats))
        t_decoded = min(timed(decoded) for _ in range(repeats))
        rows.append({"name": name, "frames": count, "frames_per_s": count / t_decoded,
                     "decode_us": max(t_decoded - t_plain, 0.0) / count * 1e6})
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--shots", type=int, default=20_000, help="shots per point (d = 13: half)")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="d = 5 and 9 only, no stream")
    args = ap.parse_args()
    print("1. decode_batch, microseconds per shot (best of %d), same shots, one thread each" % args.repeats)
    print(f"   {'code':<10} {'d':>3} {'p':>6} {'shots':>7} {'fired/shot':>10} {'ostrel':>9} {'pymatching':>11} "
          f"{'ostrel/pm':>9}")
    points = [("surface", d, p) for d, p in SURFACE] + [("repetition", d, p) for d, p in REPETITION]
    for code, d, p in points:
        if args.quick and d > 9:
            continue
        shots = args.shots // 2 if d >= 13 else args.shots
        r = batch_case(code, d, p, shots, args.repeats)
        print(f"   {code:<10} {d:>3} {p:>6.3f} {shots:>7,} {r['fired']:>10.1f} {r['ours_us']:>9.2f} "
              f"{r['pm_us']:>11.2f} {r['ours_us'] / r['pm_us']:>9.2f}", flush=True)
    if not args.quick:
        print("\n2. a stream of surface-code shots, d = 13, p = 0.001, one frame per shot")
        with tempfile.TemporaryDirectory(prefix="ostrel-decode-") as tmp:
            for r in stream_case(tmp, args.shots, max(args.shots // 20, 200), args.repeats):
                print(f"   {r['name']:<29} {r['frames']:>7,} frames  {r['frames_per_s']:>10,.0f} frames/s  "
                      f"{r['decode_us']:>8.2f} us decoding per frame", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
