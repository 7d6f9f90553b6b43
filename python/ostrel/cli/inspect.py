"""The ``inspect`` command: a summary of a QSSF file or live stream."""

from __future__ import annotations

import argparse
import collections
import json
import sys
from typing import Any

import _ostrel
from ostrel.cli.common import CODE_NAMES, plural, progress_bar


def inspect_source(source: str, progress: bool = False) -> dict[str, Any]:
    frames = 0
    masks = 0
    fired = 0
    ancillas = 0
    rounds: dict[int, list[int]] = collections.defaultdict(lambda: [0, 0])  # round -> fired, cells
    codes: collections.Counter[str] = collections.Counter()
    distances: collections.Counter[int] = collections.Counter()
    first_id = last_id = None
    bar = progress_bar(None, "inspecting", progress)
    with _ostrel.OstrelStream(source) as stream:
        for frame in stream:
            bar.update()
            frames += 1
            if first_id is None:
                first_id = frame.frame_id
            last_id = frame.frame_id
            codes[CODE_NAMES.get(frame.code_type, f"0x{frame.code_type:02x}")] += 1
            distances[frame.distance] += 1
            fired += frame.detector_event_count
            ancillas += frame.ancilla_count
            per_round = rounds[frame.round]
            per_round[0] += frame.detector_event_count
            per_round[1] += frame.ancilla_count
            if frame.to_dict()["observable_flips"] is not None:
                masks += 1
    bar.close()
    return {
        "source": source,
        "frames": frames,
        "first_frame_id": first_id,
        "last_frame_id": last_id,
        "rounds": len(rounds),
        "code_types": dict(codes),
        "distances": {str(d): n for d, n in sorted(distances.items())},
        "fired_detector_rate": fired / ancillas if ancillas else 0.0,
        "fired_detector_rate_per_round": {
            str(r): (f / c if c else 0.0) for r, (f, c) in sorted(rounds.items())},
        "frames_with_observable_mask": masks,
    }


def _inspect_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("source", help="a QSSF file or tcp://host:port")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")


def run_inspect(args: argparse.Namespace) -> int:
    s = inspect_source(args.source, progress=sys.stderr.isatty())
    if args.json:
        print(json.dumps(s, indent=2))
        return 0
    print(f"{s['source']}: {plural(s['frames'], 'frame')} over {plural(s['rounds'], 'round')}")
    if s["frames"]:
        print(f"  frame ids      {s['first_frame_id']} .. {s['last_frame_id']}")
        print("  code types     " + ", ".join(f"{k} {v:,}" for k, v in s["code_types"].items()))
        print("  distances      " + ", ".join(f"d={k}: {v:,}" for k, v in s["distances"].items()))
        print(f"  fired rate     {s['fired_detector_rate']:.4f} of detectors per frame")
        per_round = list(s["fired_detector_rate_per_round"].items())
        shown = per_round if len(per_round) <= 12 else per_round[:6] + [("...", None)] + per_round[-5:]
        print("  per round      " + "  ".join(
            "..." if rate is None else f"{r}:{rate:.3f}" for r, rate in shown))
        masks = s["frames_with_observable_mask"]
        print(f"  masks present  {plural(masks, 'frame')} {'carries' if masks == 1 else 'carry'} observable_flips")
    return 0


HELP = "Summarise a QSSF file or live stream."
add_arguments = _inspect_arguments
run = run_inspect
