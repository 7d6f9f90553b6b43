"""The ``synth`` command: a synthetic memory experiment from Stim."""

from __future__ import annotations

import argparse

from ostrel import synth
from ostrel.cli.common import CommandError, positive_int



def _probability(text: str) -> float:
    try:
        p = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a probability: {text!r}") from None
    if not 0.0 <= p <= 0.5:
        raise argparse.ArgumentTypeError(f"probability must be between 0 and 0.5, got {text}")
    return p


def _synth_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--code", choices=synth.CODES, required=True)
    p.add_argument("--distance", type=positive_int, required=True)
    p.add_argument("--rounds", type=positive_int, required=True)
    p.add_argument("--shots", type=positive_int, required=True)
    p.add_argument("--p", type=_probability, required=True, help="physical error rate")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("-o", "--out", required=True, metavar="DIR", help="output folder")


def run_synth(args: argparse.Namespace) -> int:
    if args.code == "repetition" and args.distance < 2:
        raise CommandError("a repetition code needs distance 2 or more")
    if args.code == "surface" and (args.distance < 3 or args.distance % 2 == 0):
        raise CommandError("a surface code needs an odd distance of 3 or more")
    try:
        exp = synth.write_experiment(args.out, args.code, args.distance, args.rounds, args.shots,
                                     args.p, seed=args.seed)
    except ImportError as e:
        raise CommandError(f"synth needs stim and numpy ({e})") from None
    frames = exp.shots * exp.frames_per_shot
    print(f"wrote {exp.stream} ({frames:,} frames, {exp.frames_per_shot} per shot, "
          f"{exp.ancilla_count} detectors per frame)")
    print(f"wrote {exp.dem} ({exp.detector_count} detectors, {exp.observable_count} observables)")
    print(f"wrote {exp.truth} ({exp.shots:,} shots)")
    return 0


HELP = "Write a synthetic memory experiment from Stim: QSSF stream, DEM and truth."
add_arguments = _synth_arguments
run = run_synth
