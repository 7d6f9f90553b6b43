"""The ``synth`` command: a synthetic memory experiment from Stim."""

from __future__ import annotations

import argparse
import os

from ostrel import synth
from ostrel.cli.common import CommandError, plural, positive_int



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
    p.add_argument("--payload-checksum", action="store_true",
                   help="give every frame the CRC-32C of its payload (readers check it; older ones skip it)")
    p.add_argument("--force", action="store_true",
                   help="write into DIR even if it already holds files (they may be overwritten)")


def run_synth(args: argparse.Namespace) -> int:
    if args.code == "repetition" and args.distance < 2:
        raise CommandError("a repetition code needs distance 2 or more")
    if args.code == "surface" and (args.distance < 3 or args.distance % 2 == 0):
        raise CommandError("a surface code needs an odd distance of 3 or more")
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        raise CommandError(f"{args.out} exists and is not a folder")
    if os.path.isdir(args.out) and os.listdir(args.out) and not args.force:
        raise CommandError(f"{args.out} already holds files; choose an empty folder or add --force")
    try:
        exp = synth.write_experiment(args.out, args.code, args.distance, args.rounds, args.shots,
                                     args.p, seed=args.seed, payload_checksum=args.payload_checksum)
    except ImportError as e:
        raise CommandError(f"synth needs stim and numpy ({e})") from None
    frames = exp.shots * exp.frames_per_shot
    print(f"wrote {exp.stream} ({plural(frames, 'frame')}, {exp.frames_per_shot:,} per shot, "
          f"{plural(exp.ancilla_count, 'detector')} per frame)")
    print(f"wrote {exp.dem} ({plural(exp.detector_count, 'detector')}, "
          f"{plural(exp.observable_count, 'observable')})")
    print(f"wrote {exp.truth} ({plural(exp.shots, 'shot')})")
    return 0


HELP = "Write a synthetic memory experiment from Stim: QSSF stream, DEM and truth."
add_arguments = _synth_arguments
run = run_synth
