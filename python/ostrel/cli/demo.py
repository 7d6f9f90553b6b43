"""``ostrel demo``: the main job end to end, with nothing to configure.

1. A mixed synthetic QSSF file (several code types, optional sections, observable masks) is
   written with the package's writer and streamed back through ``OstrelStream``.
2. Repetition- and surface-code memory experiments are sampled with Stim for several distances
   and physical error rates, each is replayed over loopback TCP by a separate process as a control
   system would stream it, decoded live by a stream with the weighted decoder set, and compared on
   the same shots with "no correction", the fixed Union-Find procedure and pymatching.
"""

from __future__ import annotations

import argparse
import collections
import os
import tempfile
import time
from typing import Any

import _ostrel
from ostrel import replay, synth
from ostrel.cli.common import CommandError, positive_int
from ostrel.cli.decode import decode_source

# (code, distances, physical error rates); rounds = distance.
EXPERIMENTS = (
    ("repetition", (3, 5, 7), (0.01, 0.02, 0.04)),
    ("surface", (3, 5), (0.002, 0.005)),
)


def stream_summary(source: str) -> dict[str, Any]:
    frames = fired = ancillas = 0
    rounds = set()
    codes: collections.Counter[int] = collections.Counter()
    start = time.perf_counter()
    with _ostrel.OstrelStream(source) as stream:
        for frame in stream:
            frames += 1
            fired += frame.detector_event_count
            ancillas += frame.ancilla_count
            rounds.add(frame.round)
            codes[frame.code_type] += 1
    seconds = time.perf_counter() - start
    # A second, untimed pass: which frames carry their own observable mask.
    with _ostrel.OstrelStream(source) as stream:
        masks = sum(frame.to_dict()["observable_flips"] is not None for frame in stream)
    return {"frames": frames, "rounds": len(rounds), "fired_rate": fired / ancillas if ancillas else 0.0,
            "masks": masks, "codes": dict(codes), "seconds": seconds}


def read_mixed_stream(tmp: str, frames: int) -> int:
    path = os.path.join(tmp, "mixed.qssf")
    written = synth.write_mixed_stream(path, frames)
    s = stream_summary(path)
    names = {1: "surface", 3: "color", 4: "repetition", 5: "toric"}
    print(f"1. mixed stream: wrote {written['frames']:,} frames ({os.path.getsize(path) / 1e6:.1f} MB), "
          f"read {s['frames']:,} frames over {s['rounds']:,} rounds at {s['frames'] / s['seconds']:,.0f} frames/s")
    print("   code types " + ", ".join(f"{names.get(c, c)} {n:,}" for c, n in sorted(s["codes"].items())) +
          f"; fired-detector rate {s['fired_rate']:.4f}; {s['masks']:,} frames carry a mask")
    return 0 if s["frames"] == written["frames"] else 1


def decode_live(tmp: str, shots: int, experiments: tuple = EXPERIMENTS) -> list[dict]:
    rows = []
    print(f"2. memory experiments ({shots:,} shots each, rounds = distance), replayed over loopback TCP "
          "and decoded live by the weighted decoder; logical error rates on the same shots:")
    print(f"   {'code':>10} {'d':>3} {'p':>6} {'frames':>8} {'frames/s':>10} {'no corr.':>9} "
          f"{'fixed UF':>9} {'weighted':>9} {'pymatching':>10}")
    for code, distances, rates in experiments:
        for d in distances:
            for p in rates:
                exp = synth.write_experiment(os.path.join(tmp, f"{code}-d{d}-p{p}"), code, d, d, shots, p, seed=d)
                truth = synth.read_truth(exp.truth)
                with replay.running(exp.stream) as port:
                    r = decode_source(f"tcp://127.0.0.1:{port}", exp.dem, truth, 0, True, progress=False,
                                      compare_methods=True)
                if r["shots"] != shots:
                    raise CommandError(f"expected {shots} shots from the replay, got {r['shots']}")
                row = {"code": code, "distance": d, "p": p, **r}
                rows.append(row)
                print(f"   {code:>10} {d:>3} {p:>6.3f} {r['frames']:>8,} {r['frames_per_second']:>10,.0f} "
                      f"{r['no_correction_logical_error_rate']:>9.4f} {r['union_find_logical_error_rate']:>9.4f} "
                      f"{r['ostrel_logical_error_rate']:>9.4f} {r['pymatching_logical_error_rate']:>10.4f}")
    return rows


def plot(rows: list[dict], path: str, shots: int) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise CommandError("--plot needs matplotlib (pip install matplotlib)") from None
    floor = 0.5 / shots  # a rate of 0 is drawn here, below the smallest measurable one
    fig, ax = plt.subplots(figsize=(6, 4.5))
    for code, d in sorted({(r["code"], r["distance"]) for r in rows}):
        pts = sorted((r["p"], max(r["ostrel_logical_error_rate"], floor),
                      max(r["pymatching_logical_error_rate"], floor))
                     for r in rows if (r["code"], r["distance"]) == (code, d))
        line, = ax.plot([x for x, _, _ in pts], [y for _, y, _ in pts], "o-", label=f"ostrel weighted, {code} d={d}")
        ax.plot([x for x, _, _ in pts], [z for _, _, z in pts], "s--", color=line.get_color(),
                alpha=0.6, label=f"pymatching, {code} d={d}")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.axhline(floor, color="grey", linewidth=0.5, linestyle=":")
    ax.set_xlabel("physical error rate p")
    ax.set_ylabel("logical error rate")
    ax.set_title("Memory experiments, decoded live over TCP")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"   plot written to {path}")


def _add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--frames", type=positive_int, default=40_000, help="frames in the mixed stream")
    p.add_argument("--shots", type=positive_int, default=5_000, help="shots per experiment")
    p.add_argument("--plot", metavar="FILE.png", help="draw logical against physical error rate")


def run(args: argparse.Namespace) -> int:
    if args.plot and not args.plot.lower().endswith(".png"):
        raise CommandError("--plot takes a .png file name")
    start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="ostrel-demo-") as tmp:
        status = read_mixed_stream(tmp, args.frames)
        try:
            rows = decode_live(tmp, args.shots)
        except ImportError as e:
            raise CommandError(f"the decoding demo needs stim and pymatching ({e})") from None
    if args.plot:
        plot(rows, args.plot, args.shots)
    print(f"done in {time.perf_counter() - start:.1f} s")
    return status


HELP = "Run the main job end to end on synthetic data."
add_arguments = _add_arguments
