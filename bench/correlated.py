"""Correlated decoding against pymatching on several noise profiles, paired on the same Stim shots,
in one run: failures and CPU time of ostrel's matching, correlated-matching and correlated-union-find
against pymatching, plain and correlated (`enable_correlations=True` both when building and when
decoding), every decoder on the same shots with decode_batch, one thread each.

Noise profiles, each of strength p (Stim's generated memory circuits):
  uniform              p on every Clifford, data qubit before each round, measurement and reset
  si1000               SI1000-like: Cliffords p, data idling p/10, measurement 5p, reset 2p
  measurement-heavy    measurement and reset p, Cliffords and data idling p/10
  code-capacity        data qubits p before each round, measurement p/100, no gate noise
Codes: rotated and unrotated surface code, X and Z memory, rounds = distance.

Shots are drawn in chunks of --chunk until pymatching-correlated has --failures failures, --shots
shots or --seconds of decoding at that point, whichever comes first; decoders take turns on each
chunk. Per decoder: failures with the rate's 95 % Wilson interval, the failure ratio to
pymatching-correlated with a 95 % paired bootstrap interval over the shots, and CPU microseconds per
shot with the time ratio to pymatching-correlated and to pymatching (median over chunks and a 95 %
bootstrap interval of the total ratio, resampling chunks). A point where pymatching-correlated made
fewer than --failures failures is marked inconclusive for accuracy.

    python bench/correlated.py [--profiles uniform,si1000,...] [--codes rotated,unrotated]
                               [--bases z,x] [--distances 5,9,13] [--shots N] [--failures N]
                               [--also correlated-union-find:max_passes=3,...]

--also adds decoders of ours with options, each METHOD:NAME=VALUE (integer values).
"""

from __future__ import annotations

import argparse
import sys
import time
import zlib

import numpy as np
import pymatching
import stim

import _ostrel
from decoder_accuracy import paired_ratio, wilson, wrong

OURS = ("matching", "correlated-matching", "correlated-union-find")
REFERENCE = "pymatching-correlated"
# Default p per profile: near where the rotated code at d = 5 to 9 fails often enough to compare.
DEFAULT_P = {"uniform": 0.005, "si1000": 0.003, "measurement-heavy": 0.02, "code-capacity": 0.05}


def noise(profile: str, p: float) -> dict:
    if profile == "uniform":
        return dict(after_clifford_depolarization=p, before_round_data_depolarization=p,
                    before_measure_flip_probability=p, after_reset_flip_probability=p)
    if profile == "si1000":
        return dict(after_clifford_depolarization=p, before_round_data_depolarization=p / 10,
                    before_measure_flip_probability=5 * p, after_reset_flip_probability=2 * p)
    if profile == "measurement-heavy":
        return dict(after_clifford_depolarization=p / 10, before_round_data_depolarization=p / 10,
                    before_measure_flip_probability=p, after_reset_flip_probability=p)
    if profile == "code-capacity":
        return dict(before_round_data_depolarization=p, before_measure_flip_probability=p / 100)
    raise ValueError(profile)


def circuit(profile: str, code: str, basis: str, d: int, p: float) -> stim.Circuit:
    return stim.Circuit.generated(f"surface_code:{code}_memory_{basis}", distance=d, rounds=d, **noise(profile, p))


def time_ratio(ours: list[float], theirs: list[float], rng: np.random.Generator) -> tuple[float, float, float]:
    """Total CPU time ratio with a 95 % bootstrap interval over chunks."""
    a, b = np.array(ours), np.array(theirs)
    if len(a) < 2:
        r = a.sum() / b.sum()
        return r, r, r
    idx = rng.integers(0, len(a), size=(2000, len(a)))
    ratios = a[idx].sum(axis=1) / b[idx].sum(axis=1)
    return a.sum() / b.sum(), float(np.quantile(ratios, 0.025)), float(np.quantile(ratios, 0.975))


def run_point(profile, code, basis, d, p, args, rng) -> dict:
    c = circuit(profile, code, basis, d, p)
    dem = c.detector_error_model(decompose_errors=True)
    decode = {m: _ostrel.Decoder(dem, method=m).decode_batch for m in OURS}
    for spec in args.also:
        method, _, option = spec.partition(":")
        name, _, value = option.partition("=")
        decode[spec] = _ostrel.Decoder(dem, method=method, **({name: int(value)} if name else {})).decode_batch
    plain = pymatching.Matching.from_detector_error_model(dem)
    correlated = pymatching.Matching.from_detector_error_model(dem, enable_correlations=True)
    decode["pymatching"] = plain.decode_batch
    decode[REFERENCE] = lambda events: correlated.decode_batch(events, enable_correlations=True)
    sampler = c.compile_detector_sampler(seed=zlib.crc32(f"{profile} {code} {basis} {d} {p}".encode()))
    fails = {name: [] for name in decode}
    cpu = {name: [] for name in decode}
    done, spent = 0, 0.0
    while done < args.shots:
        n = min(args.chunk, args.shots - done)
        events, observables = sampler.sample(n, separate_observables=True)
        for name, fn in decode.items():
            t = time.process_time()
            predictions = fn(events)
            cpu[name].append(time.process_time() - t)
            fails[name].append(wrong(predictions, observables))
        done += n
        spent += sum(c[-1] for c in cpu.values())
        if sum(int(f.sum()) for f in fails[REFERENCE]) >= args.failures or spent > args.seconds:
            break
    wrongs = {name: np.concatenate(f) for name, f in fails.items()}
    return {"label": f"{profile} {code} {basis.upper()} d={d} p={p:g}", "shots": done, "wrong": wrongs, "cpu": cpu,
            "ratio": {name: paired_ratio(w, wrongs[REFERENCE], rng) for name, w in wrongs.items()},
            "t_ref": {name: time_ratio(cpu[name], cpu[REFERENCE], rng) for name in cpu},
            "t_plain": {name: time_ratio(cpu[name], cpu["pymatching"], rng) for name in cpu}}


def show(r: dict, target: int) -> None:
    n = r["shots"]
    reference = int(r["wrong"][REFERENCE].sum())
    note = "" if reference >= target else f"  (accuracy inconclusive: {REFERENCE} made {reference} < {target})"
    print(f"{r['label']}, {n:,} shots{note}")
    for name, w in r["wrong"].items():
        k = int(w.sum())
        lo, hi = wilson(k, n)
        f, flo, fhi = r["ratio"][name]
        t, tlo, thi = r["t_ref"][name]
        q, qlo, qhi = r["t_plain"][name]
        us = 1e6 * sum(r["cpu"][name]) / n
        print(f"  {name:>22} {k:>6} {k / n:.2e} [{lo:.1e}, {hi:.1e}]  failures/ref {f:5.2f} [{flo:.2f}, {fhi:.2f}]"
              f"  {us:7.2f} us/shot  time/ref {t:4.2f} [{tlo:.2f}, {thi:.2f}]  time/pm {q:4.2f} [{qlo:.2f}, {qhi:.2f}]",
              flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--profiles", default="uniform,si1000,measurement-heavy,code-capacity")
    ap.add_argument("--codes", default="rotated,unrotated")
    ap.add_argument("--bases", default="z,x")
    ap.add_argument("--distances", default="5,9,13")
    ap.add_argument("--also", type=lambda text: [x for x in text.split(",") if x], default=[],
                    help="more decoders of ours, METHOD:NAME=VALUE, comma-separated")
    ap.add_argument("--p", type=float, help="the same p for every profile (default: one per profile)")
    ap.add_argument("--shots", type=int, default=400_000, help="most shots per point")
    ap.add_argument("--chunk", type=int, default=10_000)
    ap.add_argument("--failures", type=int, default=200, help=f"stop a point once {REFERENCE} has this many")
    ap.add_argument("--seconds", type=float, default=120, help="most CPU seconds of decoding per point")
    args = ap.parse_args()
    rng = np.random.default_rng(11)
    start = time.perf_counter()
    for profile in args.profiles.split(","):
        for code in args.codes.split(","):
            for basis in args.bases.split(","):
                for d in (int(x) for x in args.distances.split(",")):
                    p = args.p if args.p is not None else DEFAULT_P[profile]
                    show(run_point(profile, code, basis, d, p, args, rng), args.failures)
    print(f"done in {time.perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
