"""``ostrel demo``: the main job end to end, with nothing to configure.

1. A mixed synthetic QSSF file (several code types, optional sections, observable masks) is
   written with the package's writer and streamed back through ``OstrelStream``.
2. Repetition- and surface-code memory experiments are sampled with Stim for several distances
   and physical error rates, each is replayed over loopback TCP (by a server thread) as a control
   system would stream it, decoded live by a stream with the weighted decoder set, and compared on
   the same shots with "no correction", the fixed Union-Find procedure, exact and correlated
   matching, correlated Union-Find and pymatching (``--plot`` draws them all, with 95 % intervals).
3. Surface-code memory experiments of a few hundred rounds per shot are written one frame per
   round (every ancilla in every frame, as a control stack emits them), replayed over loopback TCP
   at a superconducting device's pace (one round per 1.1 us) and decoded live, round by round, by
   a sliding window that commits; its logical error rate is shown beside decoding each whole shot
   at once with the same weighted decoder and beside pymatching's.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import os
import tempfile
import threading
import time
from typing import Any, Iterator

import _ostrel
from ostrel import replay, synth
from ostrel.atomic import check_writable, replacing
from ostrel.cli.common import CommandError, positive_int
from ostrel.cli.decode import decode_rounds, decode_source

# (code, distances, physical error rates); rounds = distance.
EXPERIMENTS = (
    ("repetition", (3, 5, 7), (0.01, 0.02, 0.04)),
    ("surface", (3, 5), (0.002, 0.005)),
)
# The live surface-code experiment: distances, rounds per shot, p, and a QEC cycle of 1.1 us.
SURFACE_DISTANCES = (5, 9)
SURFACE_ROUNDS = 200
SURFACE_P = 0.003
CYCLE_RATE = 1 / 1.1e-6

FIXED_NOTE = ("   fixed UF is the fixed Union-Find procedure that stream.set_decoder(model) runs: it flips\n"
              "   every observable inside a cluster, so it can do worse than no correction; weighted is\n"
              "   ostrel.Decoder's default; correlated (exact matching re-weighted by the model's correlated\n"
              "   errors) is what ostrel.open(..., decoder=model) builds.")
PACE_NOTE = ("   rounds/s is the rate achieved, replay included: at or near the paced rate the decoder kept\n"
             "   up with the device; below it, the decoder (or a busy machine) fell behind.")


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


@contextlib.contextmanager
def serving(path: str) -> Iterator[int]:
    """A replay server on a thread of this process (unpaced replays need no process of their own:
    the server sends with sendfile, the stream waits without the interpreter lock); yields its port."""
    with replay.ReplayServer(path) as server:
        thread = threading.Thread(target=server.serve_forever, daemon=True)
        thread.start()
        try:
            yield server.port
        finally:
            server.shutdown()
            thread.join()


def decode_live(tmp: str, shots: int, experiments: tuple = EXPERIMENTS) -> list[dict]:
    rows = []
    print(f"2. memory experiments ({shots:,} shots each, rounds = distance), replayed over loopback TCP "
          "and decoded live by the weighted decoder; logical error rates on the same shots:")
    print(f"   {'code':>10} {'d':>3} {'p':>6} {'frames':>8} {'frames/s':>10} {'no corr.':>9} "
          f"{'fixed UF':>9} {'weighted':>9} {'matching':>9} {'correlated':>10} {'pymatching':>10}")
    for code, distances, rates in experiments:
        for d in distances:
            for p in rates:
                exp = synth.write_experiment(os.path.join(tmp, f"{code}-d{d}-p{p}"), code, d, d, shots, p, seed=d)
                truth = synth.read_truth(exp.truth)
                with serving(exp.stream) as port:
                    source = f"tcp://127.0.0.1:{port}"
                    if code == "surface":  # frames of one round each: whole shots through the layout
                        r = decode_rounds(source, exp.dem, truth, None, True, progress=False, compare_methods=True,
                                          method="weighted-union-find")
                    else:
                        r = decode_source(source, exp.dem, truth, 0, True, progress=False, compare_methods=True,
                                          method="weighted-union-find")
                if r["shots"] != shots:
                    raise CommandError(f"expected {shots} shots from the replay, got {r['shots']}")
                row = {"code": code, "distance": d, "p": p, **r}
                rows.append(row)
                print(f"   {code:>10} {d:>3} {p:>6.3f} {r['frames']:>8,} {r['frames_per_second']:>10,.0f} "
                      f"{r['no_correction_logical_error_rate']:>9.4f} {r['union_find_logical_error_rate']:>9.4f} "
                      f"{r['ostrel_logical_error_rate']:>9.4f} {r['matching_logical_error_rate']:>9.4f} "
                      f"{r['correlated_matching_logical_error_rate']:>10.4f} "
                      f"{r['pymatching_logical_error_rate']:>10.4f}")
    print(FIXED_NOTE)
    return rows


def decode_rounds_live(tmp: str, shots: int) -> list[dict]:
    rows = []
    print(f"3. surface-code memory, {SURFACE_ROUNDS} rounds per shot, p = {SURFACE_P}, one frame per round, "
          f"replayed over loopback TCP at one round per 1.1 us and decoded live by a sliding window "
          f"(commit = buffer = d rounds)")
    print(f"   {'d':>3} {'shots':>6} {'rounds/s':>10} {'shot p99 us':>11} {'sliding':>8} {'whole shot':>10} "
          f"{'pymatching':>10}   (the replay paces {CYCLE_RATE:,.0f} rounds/s)")
    for d in SURFACE_DISTANCES:
        exp = synth.write_experiment(os.path.join(tmp, f"surface-d{d}"), "surface", d, SURFACE_ROUNDS, shots,
                                     SURFACE_P, seed=d)
        truth = synth.read_truth(exp.truth)
        with replay.running(exp.stream, rate=CYCLE_RATE) as port:
            r = decode_rounds(f"tcp://127.0.0.1:{port}", exp.dem, truth, (d, d), False, progress=False)
        if r["shots"] != shots:
            raise CommandError(f"expected {shots} shots from the replay, got {r['shots']}")
        # The references need every shot's detection events: a second, untimed pass over the file,
        # whose sliding window must agree with the live one.
        ref = decode_rounds(exp.stream, exp.dem, truth, (d, d), True, progress=False, compare_whole_shot=True)
        if ref["ostrel_logical_error_rate"] != r["ostrel_logical_error_rate"]:
            raise CommandError("the live and the file pass of the sliding window disagree")
        r.update({k: ref[k] for k in ("whole_shot_logical_error_rate", "pymatching_logical_error_rate")})
        rows.append({"distance": d, **r})
        print(f"   {d:>3} {shots:>6,} {r['frames_per_second']:>10,.0f} {r['shot_latency_us']['p99']:>11.1f} "
              f"{r['ostrel_logical_error_rate']:>8.4f} {r['whole_shot_logical_error_rate']:>10.4f} "
              f"{r['pymatching_logical_error_rate']:>10.4f}")
    print(PACE_NOTE)
    return rows


# The methods drawn, by their key in a result row: label, colour, line style.
PLOT_METHODS = (
    ("no_correction_logical_error_rate", "no correction", "0.6", ":"),
    ("union_find_logical_error_rate", "fixed Union-Find", "tab:brown", ":"),
    ("ostrel_logical_error_rate", "weighted Union-Find", "tab:blue", "-"),
    ("correlated_union_find_logical_error_rate", "correlated Union-Find", "tab:cyan", "-"),
    ("matching_logical_error_rate", "matching", "tab:green", "-"),
    ("correlated_matching_logical_error_rate", "correlated matching", "tab:red", "-"),
    ("pymatching_logical_error_rate", "pymatching", "black", "--"),
)
DISTANCE_MARKERS = "osD^v"


def wilson_interval(failures: int, shots: int, z: float = 1.96) -> tuple[float, float]:
    """The 95 % Wilson score interval of a failure fraction (sound at 0 and few failures)."""
    if shots == 0:
        return 0.0, 1.0
    centre = (failures + z * z / 2) / (shots + z * z)
    half = z * (failures * (shots - failures) / shots + z * z / 4) ** 0.5 / (shots + z * z)
    return max(0.0, centre - half), min(1.0, centre + half)


def plot(rows: list[dict], path: str, shots: int) -> None:
    """One panel per code: logical against physical error rate for every method (colour) and
    distance (marker), with 95 % intervals as error bars. A rate of 0 is drawn at half a failure
    (the dotted line), its bar reaching up to what the shots allow."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.ticker import FixedLocator, FuncFormatter, NullFormatter
    except ImportError:
        raise CommandError("--plot needs matplotlib (pip install matplotlib)") from None
    floor = 0.5 / shots
    codes = sorted({r["code"] for r in rows}, key=lambda c: [r["code"] for r in rows].index(c))
    fig, axes = plt.subplots(1, len(codes), figsize=(5.2 * len(codes) + 2.6, 4.6), squeeze=False)
    for ax, code in zip(axes[0], codes):
        ours = [r for r in rows if r["code"] == code]
        distances = sorted({r["distance"] for r in ours})
        ps = sorted({r["p"] for r in ours})
        for i, (key, _, colour, style) in enumerate(PLOT_METHODS):
            # Each method a little to the side, so that bars at one p do not hide each other.
            dodge = 1.03 ** (i - (len(PLOT_METHODS) - 1) / 2)
            for d, marker in zip(distances, DISTANCE_MARKERS):
                pts = sorted((r["p"], r[key]) for r in ours if r["distance"] == d and key in r)
                if not pts:
                    continue
                xs, ys, low, high = [], [], [], []
                for p, rate in pts:
                    lo, hi = wilson_interval(round(rate * shots), shots)
                    y = max(rate, floor)
                    xs.append(p * dodge)
                    ys.append(y)
                    low.append(y - max(lo, floor / 2) if rate > 0 else 0.0)
                    high.append(max(hi - y, 0.0))
                ax.errorbar(xs, ys, yerr=[low, high], color=colour, linestyle=style, marker=marker,
                            markersize=4, linewidth=1, elinewidth=0.8, capsize=2, alpha=0.85)
        ax.set_xscale("log")
        ax.set_yscale("log")
        # Ticks at the rates measured, written out: no crowded minor labels.
        ax.xaxis.set_major_locator(FixedLocator(ps))
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_xlim(ps[0] / 1.25, ps[-1] * 1.25)
        ax.axhline(floor, color="grey", linewidth=0.5, linestyle=":")
        ax.set_xlabel("physical error rate p")
        ax.set_title(f"{code} code, rounds = d")
        ax.grid(True, which="major", linewidth=0.3, alpha=0.5)
    axes[0][0].set_ylabel(f"logical error rate ({shots:,} shots, 95 % intervals)")
    # The legends sit beside the panels, where they cover no point.
    methods = [Line2D([], [], color=c, linestyle=s, label=label) for _, label, c, s in PLOT_METHODS]
    marks = [Line2D([], [], color="0.3", linestyle="", marker=m, label=f"d = {d}")
             for d, m in zip(sorted({r["distance"] for r in rows}), DISTANCE_MARKERS)]
    fig.suptitle("Memory experiments decoded live over TCP, every method on the same shots")
    fig.tight_layout(rect=(0, 0, 1 - 2.4 / fig.get_figwidth(), 1))
    right = fig.add_axes((1 - 2.3 / fig.get_figwidth(), 0.1, 2.2 / fig.get_figwidth(), 0.8))
    right.axis("off")
    right.add_artist(right.legend(handles=methods, loc="upper left", fontsize=8, title="method"))
    right.legend(handles=marks, loc="lower left", fontsize=8, title="distance")
    with replacing(path) as partial:
        fig.savefig(partial, dpi=120, format="png")
    plt.close(fig)
    print(f"   plot written to {path}")


def _add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--frames", type=positive_int, default=40_000, help="frames in the mixed stream")
    p.add_argument("--shots", type=positive_int, default=5_000, help="shots per experiment")
    p.add_argument("--surface-shots", type=positive_int, default=300,
                   help="shots per surface-code experiment decoded round by round")
    p.add_argument("--plot", metavar="FILE.png", help="draw logical against physical error rate")


def check_plot(path: str) -> None:
    """Refuses a plot that could not be drawn or written, before the demo runs."""
    if not path.lower().endswith(".png"):
        raise CommandError("--plot takes a .png file name")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError("--plot needs matplotlib (pip install matplotlib)") from None
    check_writable(path)


def run(args: argparse.Namespace) -> int:
    if args.plot:
        check_plot(args.plot)
    start = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="ostrel-demo-") as tmp:
        status = read_mixed_stream(tmp, args.frames)
        try:
            rows = decode_live(tmp, args.shots)
            decode_rounds_live(tmp, args.surface_shots)
        except ImportError as e:
            raise CommandError(f"the decoding demo needs stim and pymatching ({e})") from None
    if args.plot:
        plot(rows, args.plot, args.shots)
    print(f"done in {time.perf_counter() - start:.1f} s")
    return status


HELP = "Run the main job end to end on synthetic data."
add_arguments = _add_arguments
