"""Decoding speed of ostrel's decoders against pymatching, in one run.

1. Batch against batch: for memory experiments sampled with Stim (rotated surface code at d = 5,
   9, 13, 17 with p = 0.001, 0.003, 0.005, 0.007; repetition code at d = 5, 9, 13 with p = 0.01,
   0.03; rounds = distance), CPU microseconds per shot of ``Decoder.decode_batch`` for each method
   and of pymatching's ``Matching.decode_batch`` on the same shots, each on one thread, best of
   --repeats, timed in turns (the fixed procedure, far slower, on the first 200 shots only). The
   logical error rate of each on those shots is printed beside it; paired intervals are
   bench/decoder_accuracy.py's. Per-call Python overhead is not part of any figure.
2. On a stream: the shots of the surface code at d = 13, p = 0.001 written one frame per shot to a
   QSSF file and read back through ``OstrelStream`` with each decoder set (the fixed procedure
   over fewer shots): frames per second of the whole stream, and microseconds of decoding per
   frame (the stream's time with a decoder minus its time without one).
3. Memory: the resident memory a fresh process adds by building each decoder for the surface
   code at d = 25, 25 rounds, beside pymatching's.

    python bench/decode.py [--shots N] [--repeats N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import pymatching

import _ostrel
from ostrel import qssf, synth

SURFACE = [(d, p) for d in (5, 9, 13, 17) for p in (0.001, 0.003, 0.005, 0.007)]
REPETITION = [(d, p) for d in (5, 9, 13) for p in (0.01, 0.03)]
METHODS = ("weighted-union-find", "matching")
FIXED_SHOTS = 200


def timed(fn) -> float:
    """CPU time of one call: this machine is shared, and every decoder here runs one thread."""
    start = time.process_time()
    fn()
    return time.process_time() - start


def batch_case(code: str, d: int, p: float, shots: int, repeats: int) -> dict:
    circuit = synth.memory_circuit(code, d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, truth = circuit.compile_detector_sampler(seed=d).sample(shots, separate_observables=True)
    decoders = {m: (_ostrel.Decoder(dem, method=m), events) for m in METHODS}
    decoders["union-find"] = (_ostrel.Decoder(dem, method="union-find"), events[:FIXED_SHOTS])
    decoders["pymatching"] = (pymatching.Matching.from_detector_error_model(dem), events)
    best = {name: float("inf") for name in decoders}
    errors = {}
    for name, (decoder, shots_of) in decoders.items():
        predictions = decoder.decode_batch(shots_of)
        errors[name] = float((predictions != truth[:len(shots_of)]).any(axis=1).mean())
    for _ in range(repeats):
        for name, (decoder, shots_of) in decoders.items():
            best[name] = min(best[name], timed(lambda: decoder.decode_batch(shots_of)) / len(shots_of) * 1e6)
    return {"code": code, "d": d, "p": p, "shots": shots, "fired": float(events.sum()) / shots,
            "us": best, "ler": errors}


def stream_case(tmp: str, shots: int, fixed_shots: int, repeats: int) -> list[dict]:
    d, p = 13, 0.001
    circuit = synth.memory_circuit("surface", d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = circuit.compile_detector_sampler(seed=d).sample(shots, separate_observables=True)
    rows = []
    for name, decoder, count in (("weighted-union-find", _ostrel.Decoder(dem), shots),
                                 ("matching", _ostrel.Decoder(dem, method="matching"), shots),
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


MEMORY_CHILD = """
import sys, stim
def rss():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith("VmRSS:")) * 1024
c = stim.Circuit.generated("surface_code:rotated_memory_x", distance=25, rounds=25,
                           after_clifford_depolarization=0.001, before_measure_flip_probability=0.001,
                           after_reset_flip_probability=0.001, before_round_data_depolarization=0.001)
dem = c.detector_error_model(decompose_errors=True)
import numpy, pymatching, _ostrel
shot = numpy.zeros(dem.num_detectors, dtype=numpy.uint8)
before = rss()
if sys.argv[1] == "pymatching":
    d = pymatching.Matching.from_detector_error_model(dem)
else:
    d = _ostrel.Decoder(dem, method=sys.argv[1])
d.decode(shot)
print(rss() - before)
"""


def memory_case(name: str) -> int:
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, name], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--shots", type=int, default=20_000, help="shots per point (d = 13: half)")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--quick", action="store_true", help="d = 5 and 9 only, no stream")
    args = ap.parse_args()
    print("1. decode_batch, CPU microseconds per shot (best of %d), same shots, one thread each; "
          "logical error rate on those shots; ratio to pymatching's time" % args.repeats)
    names = ("union-find", *METHODS, "pymatching")
    print(f"   {'code':<10} {'d':>3} {'p':>6} {'shots':>7} {'fired':>6} " +
          " ".join(f"{n[:18]:>25}" for n in names))
    points = [("surface", d, p) for d, p in SURFACE] + [("repetition", d, p) for d, p in REPETITION]
    for code, d, p in points:
        if args.quick and d > 9:
            continue
        shots = args.shots // 2 if d >= 13 else args.shots
        r = batch_case(code, d, p, shots, args.repeats)
        cells = [f"{r['us'][n]:9.2f} {r['ler'][n]:7.4f} {r['us'][n] / r['us']['pymatching']:6.2f}x" for n in names]
        print(f"   {code:<10} {d:>3} {p:>6.3f} {shots:>7,} {r['fired']:>6.1f} " + " ".join(f"{c:>25}" for c in cells),
              flush=True)
    if not args.quick:
        print("\n2. a stream of surface-code shots, d = 13, p = 0.001, one frame per shot")
        with tempfile.TemporaryDirectory(prefix="ostrel-decode-") as tmp:
            for r in stream_case(tmp, args.shots, max(args.shots // 20, 200), args.repeats):
                print(f"   {r['name']:<29} {r['frames']:>7,} frames  {r['frames_per_s']:>10,.0f} frames/s  "
                      f"{r['decode_us']:>8.2f} us decoding per frame", flush=True)
        print("\n3. resident memory a decoder adds, surface code d = 25, 25 rounds")
        for name in (*METHODS, "pymatching"):
            print(f"   {name:<20} {memory_case(name) / 2**20:8.1f} MiB", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
