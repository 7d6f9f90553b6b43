"""The ``monitor`` command: decode a stream as ``decode`` does and show its figures on a live web
page (or, with --once, write them into one self-contained HTML file)."""

from __future__ import annotations

import argparse
import json
import math
import threading
from typing import Any

import _ostrel
from ostrel.atomic import check_writable, replacing
from ostrel.cli import decode
from ostrel.cli.common import CommandError, naming, plural, positive_int


def _port(text: str) -> int:
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"invalid port {text!r} (0 to 65535; 0 picks a free one)")
    return int(text)


def _microseconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"invalid cycle time {text!r} (a positive number of microseconds)")
    return value


def _monitor_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("source", help="a QSSF file or tcp://host:port")
    p.add_argument("--dem", required=True, help="the detector error model (Stim DEM file)")
    p.add_argument("--truth", help="true observable masks, one decimal integer per shot and line")
    p.add_argument("--window-depth", type=int, default=0, help="frames per shot (0: infer)")
    p.add_argument("--window", type=decode._window, metavar="COMMIT,BUFFER",
                   help="frames are rounds: decode them with a sliding window (as decode does)")
    p.add_argument("--method", type=decode._method, default=decode.METHODS[0], metavar="METHOD", help="the decoder (as decode's)")
    p.add_argument("--cycle-us", type=_microseconds, metavar="US",
                   help="the device's cycle time, drawn against rounds per second and latencies")
    p.add_argument("--port", type=_port, default=0, help="the page's port on 127.0.0.1 (default 0: a free one)")
    p.add_argument("--recent", type=positive_int, default=1000, metavar="N",
                   help="the second heatmap covers the last N rounds (default 1000)")
    p.add_argument("--once", metavar="FILE.html",
                   help="decode to the end, write the page with its final figures into FILE.html and exit")
    p.add_argument("--compare-pymatching", action="store_true",
                   help="also decode each shot with pymatching as it completes (needs --truth)")
    p.add_argument("--json", action="store_true", help="print the final figures as JSON")


def summary(f: dict[str, Any]) -> str:
    """The final statistics, a few lines of text."""
    lines = [f"monitored {plural(f['frames'], 'frame')} ({plural(f['shots'], 'shot')}) at "
             f"{f['rounds_per_second']:,.0f} rounds/s; {plural(f['error_count'], 'stream error')}"]
    if f["detection_fraction"] is not None:
        lines.append(f"  detection fraction {100 * f['detection_fraction']:.3f}%")
    if f["latency_us"]:
        c, s = f["latency_us"]["commit"], f["latency_us"]["shot"]
        lines.append(f"  latency p50/p99: commit {c['p50']:.1f}/{c['p99']:.1f} us, shot {s['p50']:.1f}/{s['p99']:.1f} us")
    logical = f["logical"]
    if logical and logical["rate"] is not None:
        r = logical["per_round"]
        lines.append(f"  logical error rate {logical['rate']:.4g} per shot [{logical['low']:.4g}, {logical['high']:.4g}], "
                     f"{r['rate']:.4g} per round [{r['low']:.4g}, {r['high']:.4g}] "
                     f"({logical['failures']:,} of {logical['shots']:,} shots)")
    reference = logical["reference"] if logical else None
    if reference and reference["rate"] is not None:
        lines.append(f"  {reference['name']} logical error rate {reference['rate']:.4g} per shot "
                     f"[{reference['low']:.4g}, {reference['high']:.4g}] ({reference['failures']:,} of "
                     f"{reference['shots']:,} shots)")
    for e in f["errors"][-5:]:
        lines.append(f"  error after frame {e['frame']:,}: {e['message']}")
    return "\n".join(lines)


def run_monitor(args: argparse.Namespace) -> int:
    from ostrel.monitor import Monitor

    truth = decode.prepare(args)[0]
    if args.once:
        check_writable(args.once)
    with naming(args.dem):
        model = _ostrel.DetectorErrorModel.from_file(args.dem)
    decode.check_model(args.dem, model, truth)
    reference = None
    if args.compare_pymatching:
        try:
            import pymatching
        except ImportError as e:
            raise CommandError(str(e)) from None
        reference = pymatching.Matching.from_detector_error_model_file(args.dem)
    try:
        monitor = Monitor(args.source, model, truth=truth, method=args.method, window=args.window,
                          window_depth=args.window_depth, cycle_us=args.cycle_us, recent=args.recent,
                          port=args.port, reference=reference)
    except ValueError as e:  # a model without a usable layout
        raise CommandError(f"{args.dem}: {e}") from None
    if args.once:
        final = monitor.run()
        with replacing(args.once) as partial, open(partial, "w", encoding="utf-8") as out:
            out.write(monitor.page())
        print(json.dumps(monitor.snapshot()) if args.json else summary(monitor.snapshot()))
        print(f"wrote {args.once}")
        return 1 if final.state == "failed" else 0
    print(f"serving {monitor.serve()} (Ctrl-C stops)", flush=True)
    try:
        monitor.run()
        print("the stream has ended; the page keeps its final figures until Ctrl-C", flush=True)
        forever = threading.Event()
        while not forever.wait(3600):
            pass
    except KeyboardInterrupt:
        pass
    finally:
        monitor.close()
    print(json.dumps(monitor.snapshot()) if args.json else summary(monitor.snapshot()), flush=True)
    return 0


HELP = "Decode a stream as decode does and watch its figures on a live web page."
add_arguments = _monitor_arguments
run = run_monitor
