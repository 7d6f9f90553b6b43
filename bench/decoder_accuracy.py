"""Logical error rates of the weighted decoder, pymatching, the fixed Union-Find procedure and "no
flip", paired on the same Stim shots, in one run.

Memory experiments with uniform circuit noise p on every operation, rounds = distance: the rotated
surface code at d = 5, 9, 13 and p = 0.001, 0.003, 0.005, and the repetition code at d = 5, 9, 13
and p = 0.01, 0.03. Each decoder decodes the same shots (in batches, decode_batch). Prints each
rate with its 95 % Wilson interval, and the ratio weighted / pymatching with a 95 % interval from a
paired bootstrap over the shots (resampling how many shots both, only one or neither got wrong).
The fixed procedure is slow on large graphs and its rates are high, so it sees at most
--fixed-shots of the shots.

    python bench/decoder_accuracy.py [--shots N] [--fixed-shots N] [--quick]
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


def wilson(k: int, n: int, z: float = 1.96) -> tuple[float, float]:
    if n == 0:
        return 0.0, 1.0
    phat = k / n
    centre = (phat + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(phat * (1 - phat) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


def paired_ratio(ours: np.ndarray, theirs: np.ndarray, rng: np.random.Generator) -> tuple[float, float, float]:
    """Ratio of failure counts with a 95 % paired bootstrap interval (nan when pymatching never fails)."""
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


def run_point(code: str, d: int, p: float, shots: int, fixed_shots: int, rng: np.random.Generator) -> dict:
    circuit = synth.memory_circuit(code, d, d, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    weighted = _ostrel.Decoder(dem)
    fixed = _ostrel.Decoder(dem, method="union-find")
    matching = pymatching.Matching.from_detector_error_model(dem)
    sampler = circuit.compile_detector_sampler(seed=1000 * d + int(p * 1e4))
    ours_wrong, theirs_wrong, fixed_wrong, flip_wrong = [], [], [], []
    done = 0
    while done < shots:
        batch = min(20_000, shots - done)
        events, observables = sampler.sample(batch, separate_observables=True)
        ours_wrong.append(wrong(weighted.decode_batch(events), observables))
        theirs_wrong.append(wrong(matching.decode_batch(events), observables))
        flip_wrong.append(np.any(observables, axis=1))
        if done < fixed_shots:
            k = min(batch, fixed_shots - done)
            fixed_wrong.append(wrong(fixed.decode_batch(events[:k]), observables[:k]))
        done += batch
    ours, theirs = np.concatenate(ours_wrong), np.concatenate(theirs_wrong)
    fixed_all = np.concatenate(fixed_wrong) if fixed_wrong else np.zeros(0, dtype=bool)
    flip = np.concatenate(flip_wrong)
    ratio = paired_ratio(ours, theirs, rng)
    return {"code": code, "d": d, "p": p, "shots": shots, "fixed_shots": len(fixed_all),
            "weighted": int(ours.sum()), "pymatching": int(theirs.sum()), "fixed": int(fixed_all.sum()),
            "no_flip": int(flip.sum()), "ratio": ratio}


def show(r: dict) -> None:
    n, nf = r["shots"], r["fixed_shots"]

    def rate(k: int, m: int) -> str:
        lo, hi = wilson(k, m)
        return f"{k / m:.2e} [{lo:.1e}, {hi:.1e}]"

    ratio, lo, hi = r["ratio"]
    ratio_text = "  n/a (pymatching made no error)" if math.isnan(ratio) else f"{ratio:5.2f} [{lo:.2f}, {hi:.2f}]"
    print(f"{r['code']:>10} {r['d']:>3} {r['p']:>6.3f} {n:>9,} | weighted {rate(r['weighted'], n)} | "
          f"pymatching {rate(r['pymatching'], n)} | ratio {ratio_text} | "
          f"fixed {rate(r['fixed'], nf)} ({nf:,}) | no flip {r['no_flip'] / n:.2e}", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--shots", type=int, default=100_000)
    ap.add_argument("--fixed-shots", type=int, default=2_000)
    ap.add_argument("--quick", action="store_true", help="d = 5 and 9 only, 20,000 shots")
    ap.add_argument("--code", choices=("surface", "repetition"), help="one code family only")
    args = ap.parse_args()
    shots = 20_000 if args.quick else args.shots
    rng = np.random.default_rng(7)
    start = time.perf_counter()
    points = [("surface", d, p) for d, p in SURFACE] + [("repetition", d, p) for d, p in REPETITION]
    for code, d, p in points:
        if args.code and code != args.code or args.quick and d > 9:
            continue
        show(run_point(code, d, p, shots, min(args.fixed_shots, shots), rng))
    print(f"done in {time.perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
