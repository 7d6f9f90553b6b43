"""The ``convert`` command: QSSF to and from Stim's detection-event files."""

from __future__ import annotations

import argparse

from ostrel.cli.common import naming, positive_int
from ostrel.stim_shots import STIM_FORMATS, convert

HELP = "Convert between QSSF and Stim detection-event files (01, b8, r8, ptb64)."
_FORMATS = ("qssf",) + STIM_FORMATS


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("input", help="the file to read")
    p.add_argument("output", help="the file to write")
    p.add_argument("--detectors", type=positive_int, required=True, help="detectors per shot")
    p.add_argument("--frames-per-shot", type=positive_int, default=1,
                   help="QSSF frames per shot, each holding detectors / K of them (default 1)")
    p.add_argument("--payload-checksum", action="store_true",
                   help="QSSF output: give every frame the CRC-32C of its payload (readers check it)")
    p.add_argument("--format", choices=_FORMATS, help="the output's format when its suffix does not tell")
    p.add_argument("--in-format", choices=_FORMATS, help="the input's format when its suffix does not tell")


def run(args: argparse.Namespace) -> int:
    with naming(args.input):
        shots = convert(args.input, args.output, detectors=args.detectors,
                        frames_per_shot=args.frames_per_shot, in_format=args.in_format, out_format=args.format,
                        payload_checksum=args.payload_checksum)
    print(f"{args.input} -> {args.output}: {shots:,} shots of {args.detectors} detectors")
    return 0
