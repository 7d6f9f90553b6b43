"""Logical error rates and CPU time of ostrel's decoders against pymatching, plain and correlated,
paired on the same Stim shots, in one run.

Memory experiments with uniform circuit noise p on every operation, rounds = distance: the rotated
surface code at d = 5, 9, 13 and p = 0.001, 0.003, 0.005, and the repetition code at d = 5, 9, 13
and p = 0.01, 0.03. Every decoder decodes the same shots (in batches, decode_batch, one thread).
Shots are drawn until pymatching-correlated has --failures failures, --shots shots or --seconds of
sampling at that point, whichever comes first; a point with fewer than --failures failures is marked
inconclusive. Prints, per decoder, failures with the rate's 95 % Wilson interval, the ratio to
pymatching-correlated with a 95 % interval from a paired bootstrap over the shots (resampling how many
shots both, only one or neither got wrong), and CPU microseconds per shot of decode_batch. Methods this
build does not offer are skipped. The fixed Union-Find procedure is slow on large graphs and its rates
are high, so it sees at most --fixed-shots of the shots.

    python bench/decoder_accuracy.py [--shots N] [--failures N] [--seconds S] [--quick]
                                     [--code surface|repetition] [--points d:p,...]
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import numpy as np
import pymatching

import _ostrel
from ostrel import synth

SURFACE = [(d, p) for d in (5, 9, 13) for p in (0.001, 0.003, 0.005)]
REPETITION = [(d, p) for d in (5, 9, 13) for p in (0.01, 0.03)]
OURS = ("weighted-union-find", "correlated-union-find", "matching", "correlated-matching")
REFERENCE = "pymatching-correlated"


def wilson(k: int, n: int, z: float = 1.96) -> tuple[float, float]:
    if n == 0:
        return 0.0, 1.0
    phat = k / n
    centre = (phat + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(phat * (1 - phat) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


def paired_ratio(ours: np.ndarray, theirs: np.ndarray, rng: np.random.Generator) -> tuple[float, float, float]:
    """Ratio of failure counts with a 95 % paired bootstrap interval (nan when the reference never fails)."""
    both = int(np.sum(ours & theirs))
    only_ours = int(np.sum(ours & ~theirs))
    only_theirs = int(np.sum(~ours & theirs))
    n = len(ours)
    if both + only_theirs == 0:
        return math.nan, math.nan, math.nan
    draws = rng.multinomial(n, [both / n, only_ours / n, only_theirs / n, 1 - (both + only_ours + only_theirs) / n],
                            size=4000)
    numerator, denominator = draws[:, 0] + draws[:, 1], draws[:, 0] + draws[:, 2]
    ratios = numerator[denominator > 0] / denominator[denominator > 0]
    return (both + only_ours) / (both + only_theirs), float(np.quantile(ratios, 0.025)), float(np.quantile(ratios, 0.975))


def wrong(predictions: np.ndarray, observables: np.ndarray) -> np.ndarray:
    return np.any(predictions != observables, axis=1)


def decoders(dem) -> dict:
    """name -> a function decoding a batch of shots, for every method this build offers."""
    out = {}
    for method in OURS:
        try:
            out[method] = _ostrel.Decoder(dem, method=method).decode_batch
        except ValueError:
            continue
    plain = pymatching.Matching.from_detector_error_model(dem)
    correlated = pymatching.Matching.from_detector_error_model(dem, enable_correlations=True)
    out["pymatching"] = plain.decode_batch
    out[REFERENCE] = lambda events: correlated.decode_batch(events, enable_correlations=True)
    return out


def run_point(code: str, d: int, p: float, args, rng: np.random.Generator) -> dict:
    circuit = synth.memory_circuit(code, d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    decode = decoders(dem)
    fixed = _ostrel.Decoder(dem, method="union-find")
    sampler = circuit.compile_detector_sampler(seed=1000 * d + int(p * 1e4))
    failures = {name: [] for name in decode}
    cpu = dict.fromkeys(decode, 0.0)
    fixed_wrong, flip_wrong = [], []
    done = 0
    start = time.perf_counter()
    while done < args.shots:
        batch = min(20_000, args.shots - done)
        events, observables = sampler.sample(batch, separate_observables=True)
        for name, fn in decode.items():
            t = time.process_time()
            predictions = fn(events)
            cpu[name] += time.process_time() - t
            failures[name].append(wrong(predictions, observables))
        flip_wrong.append(np.any(observables, axis=1))
        if done < args.fixed_shots:
            k = min(batch, args.fixed_shots - done)
            fixed_wrong.append(wrong(fixed.decode_batch(events[:k]), observables[:k]))
        done += batch
        if sum(int(f.sum()) for f in failures[REFERENCE]) >= args.failures:
            break
        if time.perf_counter() - start > args.seconds:
            break
    wrongs = {name: np.concatenate(f) for name, f in failures.items()}
    fixed_all = np.concatenate(fixed_wrong) if fixed_wrong else np.zeros(0, dtype=bool)
    return {"code": code, "d": d, "p": p, "shots": done, "wrong": wrongs,
            "us": {name: 1e6 * cpu[name] / done for name in decode},
            "ratio": {name: paired_ratio(w, wrongs[REFERENCE], rng) for name, w in wrongs.items()},
            "fixed": (int(fixed_all.sum()), len(fixed_all)), "no_flip": int(np.concatenate(flip_wrong).sum())}


def show(r: dict, target: int) -> None:
    n = r["shots"]
    reference = int(r["wrong"][REFERENCE].sum())
    note = "" if reference >= target else f"  (inconclusive: {REFERENCE} made {reference} < {target} errors)"
    print(f"{r['code']} d={r['d']} p={r['p']:.3f}, {n:,} shots{note}")
    for name, w in r["wrong"].items():
        k = int(w.sum())
        lo, hi = wilson(k, n)
        ratio, rlo, rhi = r["ratio"][name]
        ratio_text = "   n/a" if math.isnan(ratio) else f"{ratio:5.2f} [{rlo:.2f}, {rhi:.2f}]"
        print(f"  {name:>22} {k:>6} {k / n:.2e} [{lo:.1e}, {hi:.1e}]  ratio to {REFERENCE} {ratio_text}"
              f"  {r['us'][name]:8.2f} us/shot", flush=True)
    kf, nf = r["fixed"]
    if nf:
        print(f"  {'union-find (fixed)':>22} {kf:>6} {kf / nf:.2e} of {nf:,} shots; no flip {r['no_flip'] / n:.2e}")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--shots", type=int, default=1_000_000, help="most shots per point")
    ap.add_argument("--failures", type=int, default=100, help=f"stop a point once {REFERENCE} has this many")
    ap.add_argument("--seconds", type=float, default=300, help="most wall-clock seconds of decoding per point")
    ap.add_argument("--fixed-shots", type=int, default=2_000)
    ap.add_argument("--quick", action="store_true", help="d = 5 and 9 only, 20,000 shots")
    ap.add_argument("--code", choices=("surface", "repetition"), help="one code family only")
    ap.add_argument("--points", help="only these points, e.g. 5:0.003,9:0.005")
    args = ap.parse_args()
    if args.quick:
        args.shots = 20_000
    only = {(int(d), float(p)) for d, p in (x.split(":") for x in args.points.split(","))} if args.points else None
    rng = np.random.default_rng(7)
    start = time.perf_counter()
    points = [("surface", d, p) for d, p in SURFACE] + [("repetition", d, p) for d, p in REPETITION]
    for code, d, p in points:
        if args.code and code != args.code or args.quick and d > 9 or only and (d, p) not in only:
            continue
        show(run_point(code, d, p, args, rng), args.failures)
    print(f"done in {time.perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
