"""What watching a stream costs: decoding throughput with the monitor attached against without.

For rotated surface-code memory experiments (Stim, circuit noise p = 0.003, d rounds per shot)
at d = 5 and 13, the same QSSF file is decoded, in CPU time of this process (all its threads),
by:
  decode   the ``decode`` command's loop (``ostrel.cli.decode.decode_rounds``: frame by frame);
  batches  the monitor's reading loop without its figures (``read_batch`` with the same decoder);
  monitor  ``ostrel.Monitor(...).run()`` with its server up and no page open;
  + page   the same with one page open (a child process reading /events; the server's JSON and
           sending are counted, the client's own work is not).
Each is repeated and the median taken; the ratios are frames per CPU second against `batches`
(the cost of the figures themselves) and against `decode`.

    python bench/monitor_overhead.py [--repeat N] [--quick]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import _ostrel
import ostrel
from ostrel import synth
from ostrel.cli import decode
from ostrel.monitor import reader

P = 0.003


def cpu(fn) -> float:
    start = time.process_time()
    fn()
    return time.process_time() - start


def batches(exp, window) -> None:
    model = _ostrel.DetectorErrorModel.from_file(exp.dem)
    rounds = _ostrel.SlidingWindowDecoder.coordinate_layout(model).shape[0]
    commit, buffer = window or (rounds, 1)
    with _ostrel.OstrelStream(exp.stream) as stream:
        stream.set_decoder(_ostrel.SlidingWindowDecoder(model, commit, buffer))
        while len(stream.read_batch(reader.BATCH)):
            pass


def monitored(exp, truth, window, page: bool) -> None:
    monitor = ostrel.Monitor(exp.stream, exp.dem, truth=truth, window=window)
    url = monitor.serve()
    client = None
    if page:
        client = subprocess.Popen(
            [sys.executable, "-c", "import sys, urllib.request\n"
             "with urllib.request.urlopen(sys.argv[1] + 'events') as r:\n"
             "    print(r.readline()[:6].decode(), flush=True)\n"
             "    for line in r: pass", url], stdout=subprocess.PIPE, text=True)
        assert client.stdout.readline().startswith("data:")
    try:
        monitor.run()
    finally:
        monitor.close()
        if client is not None:
            client.kill()
            client.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="fewer shots")
    args = parser.parse_args()
    truth_cache: dict = {}
    print(f"{'d':>3} {'window':>10} {'frames':>8} | {'decode':>9} {'batches':>9} {'monitor':>9} {'+ page':>9} "
          f"| monitor/batches  +page/batches  monitor/decode  (frames per CPU second, medians of {args.repeat})")
    with tempfile.TemporaryDirectory() as tmp:
        for d, shots in ((5, 100_000), (13, 10_000)):
            if args.quick:
                shots //= 5
            exp = synth.write_experiment(os.path.join(tmp, f"d{d}"), "surface", d, d, shots, P, seed=d)
            truth_cache[d] = synth.read_truth(exp.truth)
            frames = exp.shots * exp.frames_per_shot
            for window in (None, (d, d)):
                runs = {
                    "decode": lambda: decode.decode_rounds(exp.stream, exp.dem, truth_cache[d], window, False,
                                                           progress=False),
                    "batches": lambda: batches(exp, window),
                    "monitor": lambda: monitored(exp, truth_cache[d], window, False),
                    "+ page": lambda: monitored(exp, truth_cache[d], window, True),
                }
                seconds: dict[str, list[float]] = {k: [] for k in runs}
                for _ in range(args.repeat):  # interleaved, so that the machine's load falls on all alike
                    for name, fn in runs.items():
                        seconds[name].append(cpu(fn))
                rate = {k: frames / statistics.median(v) for k, v in seconds.items()}
                label = f"{window[0]},{window[1]}" if window else "whole shot"
                print(f"{d:>3} {label:>10} {frames:>8,} | " + " ".join(f"{rate[k]:>9,.0f}" for k in runs)
                      + f" | {rate['monitor'] / rate['batches']:>15.3f} {rate['+ page'] / rate['batches']:>14.3f}"
                        f" {rate['monitor'] / rate['decode']:>15.2f}", flush=True)


if __name__ == "__main__":
    main()
