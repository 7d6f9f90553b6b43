"""``ostrel demo``: the main job end to end on synthetic data."""

from __future__ import annotations

import argparse
import collections
import os
import tempfile
import time

import _ostrel
from ostrel import synth
from ostrel.cli import COMMANDS


def stream_summary(source: str) -> dict:
    frames = 0
    fired = 0
    ancillas = 0
    masks = 0
    rounds = set()
    codes: collections.Counter = collections.Counter()
    start = time.perf_counter()
    with _ostrel.OstrelStream(source) as stream:
        for frame in stream:
            frames += 1
            fired += frame.detector_event_count
            ancillas += frame.ancilla_count
            rounds.add(frame.round)
            codes[frame.code_type] += 1
            if frame.to_dict()["observable_flips"] is not None:
                masks += 1
    seconds = time.perf_counter() - start
    return {
        "frames": frames,
        "rounds": len(rounds),
        "fired_rate": fired / ancillas if ancillas else 0.0,
        "masks": masks,
        "codes": dict(codes),
        "seconds": seconds,
    }


def _add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--frames", type=int, default=40_000, help="frames in the synthetic stream")


def run(args: argparse.Namespace) -> int:
    with tempfile.TemporaryDirectory(prefix="ostrel-demo-") as tmp:
        path = os.path.join(tmp, "mixed.qssf")
        written = synth.write_mixed_stream(path, args.frames)
        size = os.path.getsize(path)
        print(f"wrote {written['frames']:,} frames ({size / 1e6:.1f} MB) to a synthetic QSSF file")
        s = stream_summary(path)
    names = {1: "surface", 2: "honeycomb", 3: "color", 4: "repetition", 5: "toric", 255: "custom"}
    print(f"read  {s['frames']:,} frames over {s['rounds']:,} rounds with _ostrel.OstrelStream")
    print("code types: " + ", ".join(f"{names.get(c, c)} {n:,}" for c, n in sorted(s["codes"].items())))
    print(f"fired-detector rate: {s['fired_rate']:.4f}   frames with an observable mask: {s['masks']:,}")
    print(f"throughput: {s['frames'] / s['seconds']:,.0f} frames/s")
    if s["frames"] != written["frames"]:
        print("error: frames read differ from frames written")
        return 1
    return 0


COMMANDS["demo"] = ("Run the main job end to end on synthetic data.", _add_arguments, run)
