"""The ``inspect`` command: a summary of a QSSF file or live stream."""

from __future__ import annotations

import argparse
import collections
import json
import sys
import time
from typing import Any

import numpy as np

import _ostrel
from ostrel.cli.common import CODE_NAMES, naming, plural, progress_bar


def inspect_source(source: str, progress: bool = False, batch_frames: int = 65536) -> dict[str, Any]:
    frames = masks = checksums = fired = ancillas = 0
    rounds: dict[int, list[int]] = collections.defaultdict(lambda: [0, 0])  # round -> fired, cells
    codes: collections.Counter[str] = collections.Counter()
    distances: collections.Counter[int] = collections.Counter()
    first_id = last_id = None
    bar = progress_bar(None, "inspecting", progress)
    start = time.perf_counter()
    ancilla_counts: collections.Counter[int] = collections.Counter()
    with naming(source), _ostrel.OstrelStream(source) as stream:
        stream._treat_end_as_final()  # a file cut inside a frame is reported, not awaited
        # Batches of frames as arrays: the summary never makes a Python object per frame.
        while batch := stream.read_batch(batch_frames, bit_packed=True):  # errors: naming()
            frames += len(batch)
            bar.update(len(batch))
            if first_id is None:
                first_id = int(batch.frame_id[0])
            last_id = int(batch.frame_id[-1])
            for value, n in zip(*np.unique(batch.code_type, return_counts=True)):
                codes[CODE_NAMES.get(int(value), f"0x{int(value):02x}")] += int(n)
            for value, n in zip(*np.unique(batch.distance, return_counts=True)):
                distances[int(value)] += int(n)
            counts = batch.detector_event_count.astype(np.int64)
            fired += int(counts.sum())
            ancillas += int(batch.ancilla_count[0]) * len(batch)
            ancilla_counts[int(batch.ancilla_count[0])] += len(batch)  # one count per batch
            keys, where = np.unique(batch.round, return_inverse=True)
            fired_per_round = np.bincount(where, weights=counts, minlength=len(keys))
            cells_per_round = np.bincount(where, minlength=len(keys)) * int(batch.ancilla_count[0])
            for r, f, c in zip(keys.tolist(), fired_per_round.tolist(), cells_per_round.tolist()):
                rounds[r][0] += int(f)
                rounds[r][1] += int(c)
            masks += int(batch.has_observable_flips.sum())
            checksums += int(batch.has_payload_checksum.sum())
    seconds = time.perf_counter() - start
    bar.close()
    return {
        "source": source,
        "frames": frames,
        "first_frame_id": first_id,
        "last_frame_id": last_id,
        "rounds": len(rounds),
        "code_types": dict(codes),
        "distances": {str(d): n for d, n in sorted(distances.items())},
        "ancillas_per_frame": {str(a): n for a, n in sorted(ancilla_counts.items())},
        "fired_detector_rate": fired / ancillas if ancillas else 0.0,
        "fired_detector_rate_per_round": {
            str(r): (f / c if c else 0.0) for r, (f, c) in sorted(rounds.items())},
        "frames_with_observable_mask": masks,
        "frames_with_payload_checksum": checksums,
        "read_seconds": seconds,
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
        print("  ancillas       " + ", ".join(f"{k} per frame: {v:,}" for k, v in s["ancillas_per_frame"].items()))
        print(f"  fired rate     {s['fired_detector_rate']:.4f} of detectors per frame")
        per_round = list(s["fired_detector_rate_per_round"].items())
        shown = per_round if len(per_round) <= 12 else per_round[:6] + [("...", None)] + per_round[-5:]
        print("  per round      " + "  ".join(
            "..." if rate is None else f"{r}:{rate:.3f}" for r, rate in shown))
        masks = s["frames_with_observable_mask"]
        print(f"  masks present  {plural(masks, 'frame')} {'carries' if masks == 1 else 'carry'} observable_flips")
        checked = s["frames_with_payload_checksum"]
        print(f"  checksums      {plural(checked, 'frame')} {'carries' if checked == 1 else 'carry'} a payload "
              f"CRC-32C" + (", every one matching" if checked else ""))
        rate = s["frames"] / s["read_seconds"] if s["read_seconds"] > 0 else 0.0
        print(f"  read in        {s['read_seconds']:.3f} s ({rate:,.0f} frames/s)")
    return 0


HELP = "Summarise a QSSF file or live stream."
add_arguments = _inspect_arguments
run = run_inspect
