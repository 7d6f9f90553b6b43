"""Failures and CPU time of ostrel's hypergraph decoders against their peers, paired on the same
Stim shots, one thread each, in one run.

- bp-osd against ldpc's BP+OSD (through stimbposd) with the same iterations, BP method, scaling,
  OSD method and order: BB [[72,12,6]] and [[144,12,12]] under phenomenological noise, Stim's
  colour code (memory_xyz) under circuit noise.
- relay-bp (the paper's defaults, and serial legs keeping the first solution) against the relay-bp
  package when it is installed, and against our bp-osd on BB codes under phenomenological and
  circuit noise (the paper's claim on the gross code: no more failures at a fifth of the time).
- belief-matching against the beliefmatching package, and against our matching and
  correlated-matching, on the rotated surface code (the decomposed model; BP sees its errors whole).

Shots are drawn until the point's reference decoder has --failures failures, --shots shots or
--seconds of decoding, whichever comes first; a point where the reference has fewer than
--failures failures is marked inconclusive. Prints failures with 95 % Wilson intervals, the ratio
to the reference with a 95 % paired bootstrap interval, and CPU microseconds per shot.

    python bench/hypergraph_decoders.py [--shots N] [--failures N] [--seconds S] [--only NAME,...]
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hypergraph_models as models  # noqa: E402
from decoder_accuracy import paired_ratio, wilson, wrong  # noqa: E402

import _ostrel  # noqa: E402

BP_OSD = dict(max_iter=30, bp_method="minimum_sum", ms_scaling_factor=0.625, osd_method="osd_cs", osd_order=10)
# Relay-BP tuned for a processor: serial legs meet the syndrome in about half the iterations, and
# the first solution is kept.
RELAY_FAST = dict(schedule="serial", solutions=1)
# The same on the fired detectors' neighbourhood (the whole model when no solution is found there).
RELAY_FAST_NEIGHBOURHOOD = dict(RELAY_FAST, neighbourhood=1)
# And with short legs: a first leg that has not met the syndrome in 20 iterations rarely will.
RELAY_SHORT = dict(RELAY_FAST, pre_iter=20, num_iter=20)
RELAY_SHORT_NEIGHBOURHOOD = dict(RELAY_FAST_NEIGHBOURHOOD, pre_iter=20, num_iter=20)


def ours(dem, method: str, **options):
    try:
        return _ostrel.Decoder(dem, method=method, **options).decode_batch
    except (ValueError, TypeError) as e:
        print(f"  ({method} unavailable: {e})")
        return None


def ldpc_bposd(dem):
    try:
        from stimbposd import BPOSD
    except ImportError:
        return None
    d = BPOSD(dem, max_bp_iters=BP_OSD["max_iter"], bp_method=BP_OSD["bp_method"],
              ms_scaling_factor=BP_OSD["ms_scaling_factor"], osd_method=BP_OSD["osd_method"],
              osd_order=BP_OSD["osd_order"])
    return d.decode_batch


def relay_package(dem):
    try:
        import relay_bp  # noqa: F401
        from relay_bp.stim import SinterDecoder_RelayBP  # type: ignore
    except ImportError:
        return None
    compiled = SinterDecoder_RelayBP().compile_decoder_for_dem(dem=dem)
    return lambda events: compiled.decode_shots_bit_packed(
        bit_packed_detection_event_data=np.packbits(events, axis=1, bitorder="little"))


def beliefmatching_package(dem):
    try:
        from beliefmatching import BeliefMatching
    except ImportError:
        return None
    return BeliefMatching(dem, max_bp_iters=20).decode_batch


def pymatching_plain(dem):
    import pymatching
    return pymatching.Matching.from_detector_error_model(dem).decode_batch


def points():
    """(name, circuit, decomposed?, reference, {decoder name: factory})"""
    bp_osd = lambda: {"ostrel bp-osd": lambda dem: ours(dem, "bp-osd", **BP_OSD), "ldpc bp-osd": ldpc_bposd}
    yield ("bb72 p=0.03 r=6", models.bb_circuit("bb72", 0.03, 6), False, "ldpc bp-osd", bp_osd())
    yield ("bb144 p=0.003 r=12", models.bb_circuit("bb144", 0.003, 12), False, "ldpc bp-osd", bp_osd())
    yield ("bb144 p=0.04 r=12", models.bb_circuit("bb144", 0.04, 12), False, "ldpc bp-osd", bp_osd())
    yield ("colour d=5 p=0.003", models.color_circuit(5, 0.003), False, "ldpc bp-osd", bp_osd())
    yield ("colour d=7 p=0.003", models.color_circuit(7, 0.003), False, "ldpc bp-osd", bp_osd())
    relay = lambda: {"ostrel relay-bp": lambda dem: ours(dem, "relay-bp"),
                     "ostrel relay-bp serial S=1": lambda dem: ours(dem, "relay-bp", **RELAY_FAST),
                     "ostrel relay-bp serial S=1 nbhd": lambda dem: ours(dem, "relay-bp", **RELAY_FAST_NEIGHBOURHOOD),
                     "ostrel relay-bp short": lambda dem: ours(dem, "relay-bp", **RELAY_SHORT),
                     "ostrel relay-bp nbhd short": lambda dem: ours(dem, "relay-bp", **RELAY_SHORT_NEIGHBOURHOOD),
                     "relay-bp package": relay_package,
                     "ostrel bp-osd": lambda dem: ours(dem, "bp-osd", **BP_OSD)}
    yield ("bb72 p=0.03 r=6 (relay)", models.bb_circuit("bb72", 0.03, 6), False, "ostrel bp-osd", relay())
    yield ("bb144 p=0.04 r=12 (relay)", models.bb_circuit("bb144", 0.04, 12), False, "ostrel bp-osd", relay())
    for p in (0.002, 0.003):
        yield (f"bb72 circuit p={p} r=6 (relay)", models.bb_circuit_level("bb72", p, 6), False, "ostrel bp-osd",
               relay())
    for p in (0.001, 0.002, 0.003):
        yield (f"bb144 circuit p={p} r=12 (relay)", models.bb_circuit_level("bb144", p, 12), False,
               "ostrel bp-osd", relay())
    for d, p in ((5, 0.005), (7, 0.005)):
        yield (f"surface d={d} p={p}", models.surface_circuit(d, p), True, "beliefmatching",
               {"ostrel belief-matching": lambda dem: ours(dem, "belief-matching"),
                "beliefmatching": beliefmatching_package,
                "ostrel matching": lambda dem: ours(dem, "matching"),
                "ostrel correlated-matching": lambda dem: ours(dem, "correlated-matching"),
                "pymatching": pymatching_plain})


def run_point(name, circuit, decomposed, reference, factories, args, rng):
    dem = circuit.detector_error_model(decompose_errors=decomposed)
    decode = {}
    for label, make in factories.items():
        if args.without and any(w and w == label for w in args.without.split(",")):
            continue
        fn = make(dem)
        if fn is None:
            print(f"  ({label} not installed: skipped)")
            continue
        decode[label] = fn
    if reference not in decode:
        reference = next(iter(decode))
    sampler = circuit.compile_detector_sampler(seed=int(rng.integers(1 << 31)))
    failures = {label: [] for label in decode}
    cpu = dict.fromkeys(decode, 0.0)
    done = 0
    while done < args.shots:
        batch = min(args.batch, args.shots - done)
        events, observables = sampler.sample(batch, separate_observables=True)
        for label, fn in decode.items():
            t = time.process_time()
            predictions = fn(events)
            cpu[label] += time.process_time() - t
            failures[label].append(wrong(np.asarray(predictions, dtype=bool), observables))
        done += batch
        if sum(int(f.sum()) for f in failures[reference]) >= args.failures or cpu[reference] > args.seconds:
            break
    wrongs = {label: np.concatenate(f) for label, f in failures.items()}
    k_ref = int(wrongs[reference].sum())
    note = "" if k_ref >= args.failures else f"  (inconclusive: {reference} made {k_ref} < {args.failures} failures)"
    print(f"{name}, {done:,} shots{note}")
    for label, w in wrongs.items():
        k = int(w.sum())
        lo, hi = wilson(k, done)
        ratio, rlo, rhi = paired_ratio(w, wrongs[reference], rng)
        ratio_text = "   n/a" if math.isnan(ratio) else f"{ratio:5.2f} [{rlo:.2f}, {rhi:.2f}]"
        time_ratio = cpu[label] / cpu[reference] if cpu[reference] else math.nan
        print(f"  {label:>26} {k:>6} {k / done:.2e} [{lo:.1e}, {hi:.1e}]  failures/{reference} {ratio_text}"
              f"  {1e6 * cpu[label] / done:10.1f} us/shot ({time_ratio:.3f}x)", flush=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--shots", type=int, default=100_000)
    ap.add_argument("--failures", type=int, default=100)
    ap.add_argument("--seconds", type=float, default=120, help="most CPU seconds of the reference per point")
    ap.add_argument("--batch", type=int, default=500)
    ap.add_argument("--only", help="comma-separated substrings of point names")
    ap.add_argument("--without", help="comma-separated decoder labels to leave out (e.g. 'ostrel relay-bp')")
    args = ap.parse_args()
    rng = np.random.default_rng(11)
    for name, circuit, decomposed, reference, factories in points():
        if args.only and not any(s in name for s in args.only.split(",")):
            continue
        run_point(name, circuit, decomposed, reference, factories, args, rng)
    return 0


if __name__ == "__main__":
    sys.exit(main())
