"""Real-time decoding of surface-code rounds with the sliding window that commits, in one run.

For rotated surface-code memory experiments sampled with Stim (uniform circuit noise p, 100 rounds
per shot) at d = 5, 9, 13 and p = 0.001, 0.003, the shots are written one frame per round (the
detector layout's column order) and:
  1. replayed at full speed over loopback TCP by a separate process, read by an OstrelStream in
     Python with a SlidingWindowDecoder (commit = buffer = d rounds) set: rounds per second end to
     end, the latency of each commit (arrival of the round that fills a window to its committed
     result) and of each shot (arrival of its last round to its prediction), measured in the core;
     beside it the same replay read without decoding (the transport's own ceiling) and, per round,
     whole-shot decode_batch of the same shots by ostrel's weighted decoder and by pymatching
     (batch, one thread: what decoding costs without the real-time constraint);
  2. the logical error rate per round of the sliding window against whole-shot decoding by the
     same weighted decoder, paired on the same shots, with 95 % Wilson intervals (and pymatching's
     for reference), plus the shots where the two disagree;
  3. memory: a 10-million-round stream (the replay looping over its file) decoded by one sliding
     window, resident set size sampled every million rounds.

``--method`` picks the decoder of the windows and of whole-shot decoding (default: the weighted
Union-Find; "matching" for exact matching).

    python bench/realtime.py [--quick] [--method NAME] [--rounds-budget N] [--memory-rounds N]
"""

from __future__ import annotations

import argparse
import itertools
import math
import os
import sys
import tempfile
import time

import numpy as np
import pymatching

import _ostrel
from ostrel import qssf, replay, synth

ROUNDS = 100


def wilson(failures: int, n: int, z: float = 1.96) -> tuple[float, float]:
    if n == 0:
        return 0.0, 1.0
    p = failures / n
    centre = (p + z * z / (2 * n)) / (1 + z * z / n)
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / (1 + z * z / n)
    return max(0.0, centre - half), min(1.0, centre + half)


def per_round(shot_rate: float, rounds: int) -> float:
    """Logical error rate per round from the rate per shot of `rounds` rounds."""
    return 0.5 * (1 - max(0.0, 1 - 2 * shot_rate) ** (1 / rounds))


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def experiment(tmp: str, d: int, p: float, shots: int, seed: int):
    circuit = synth.memory_circuit("surface", d, ROUNDS, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    det, obs = circuit.compile_detector_sampler(seed=seed).sample(shots, separate_observables=True)
    layout = synth.frame_layout(str(dem))
    path = os.path.join(tmp, f"surface-d{d}-p{p}.qssf")
    with qssf.QssfWriter(path) as w:
        for start in range(0, shots, 2000):
            chunk = det[start:start + 2000]
            w.write_frames_fast(synth.frames_from_shots(chunk, layout), ancilla_count=layout.shape[1],
                                rounds=np.tile(np.arange(layout.shape[0]), len(chunk)).tolist(),
                                code_type=int(qssf.Code.SURFACE), distance=d)
    return dem, det, obs[:, 0].astype(np.uint8), layout, path


def stream_pass(source: str, decoder=None, limit: int | None = None) -> tuple[list[int], int, float]:
    """Reads a stream (optionally decoding); returns the last-frame flips of each shot, the frames
    read and the seconds taken."""
    flips: list[int] = []
    frames = 0
    with _ostrel.OstrelStream(source) as stream:
        if decoder is not None:
            stream.set_decoder(decoder)
            last = decoder.rounds_per_shot - 1
        start = time.perf_counter()
        if decoder is None:
            for _ in itertools.islice(stream, limit):
                frames += 1
        else:
            for frame in itertools.islice(stream, limit):
                frames += 1
                if frame.round == last:
                    flips.append(frame.observable_flips)
        seconds = time.perf_counter() - start
    return flips, frames, seconds


def point(tmp: str, d: int, p: float, shots: int, seed: int, method: str) -> dict:
    dem, det, obs, layout, path = experiment(tmp, d, p, shots, seed)
    frames = shots * layout.shape[0]
    sliding = _ostrel.SlidingWindowDecoder(dem, d, d, method=method)
    with replay.running(path) as port:
        _, n_read, t_read = stream_pass(f"tcp://127.0.0.1:{port}")
    with replay.running(path) as port:
        flips, n_dec, t_dec = stream_pass(f"tcp://127.0.0.1:{port}", sliding)
    assert n_read == n_dec == frames and len(flips) == shots, (n_read, n_dec, frames, len(flips))
    whole = _ostrel.Decoder(dem, method=method)
    start = time.perf_counter()
    whole_pred = whole.decode_batch(det)[:, 0]
    t_whole = time.perf_counter() - start
    matching = pymatching.Matching.from_detector_error_model(dem)
    start = time.perf_counter()
    pm_pred = matching.decode_batch(det)[:, 0]
    t_pm = time.perf_counter() - start
    slid = np.array(flips, dtype=np.uint8)
    fails = {"sliding": int((slid != obs).sum()), "whole": int((whole_pred != obs).sum()),
             "pymatching": int((pm_pred != obs).sum())}
    return {
        "d": d, "p": p, "shots": shots, "frames": frames,
        "read_rps": n_read / t_read, "decode_rps": n_dec / t_dec,
        "whole_us_per_round": t_whole / frames * 1e6, "pm_us_per_round": t_pm / frames * 1e6,
        "commit_us": sliding.commit_latency_us([50, 99, 99.9]), "shot_us": sliding.shot_latency_us([50, 99, 99.9]),
        "fails": fails, "disagree": int((slid != whole_pred).sum()),
    }


def memory_run(tmp: str, total: int, method: str, step: int = 1_000_000) -> list[tuple[int, float]]:
    dem, det, obs, layout, path = experiment(tmp, 5, 0.001, 2000, seed=99)
    sliding = _ostrel.SlidingWindowDecoder(dem, 5, 5, method=method)
    samples = []
    with replay.running(path, loop=True) as port, _ostrel.OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
        stream.set_decoder(sliding)
        samples.append((0, rss_mb()))
        done = 0
        while done < total:
            for _ in itertools.islice(stream, step):
                pass
            done += step
            samples.append((done, rss_mb()))
    assert sliding.rounds_decoded == total, sliding.rounds_decoded
    return samples


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer shots, a shorter memory run")
    ap.add_argument("--rounds-budget", type=int, default=3_000_000,
                    help="rounds sampled per (d, p) at most (more shots, more failures to compare)")
    ap.add_argument("--memory-rounds", type=int, default=10_000_000)
    ap.add_argument("--method", default="weighted-union-find", help="the windows' decoding method")
    args = ap.parse_args()
    budget = 200_000 if args.quick else args.rounds_budget
    memory_rounds = 2_000_000 if args.quick else args.memory_rounds

    rows = []
    print(f"method: {args.method}")
    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as tmp:
        for d in (5, 9, 13):
            for p in (0.001, 0.003):
                # Fewer shots at larger distances: their rounds are larger and failures rare anyway.
                shots = max(200, budget // (ROUNDS + 1) // (1 if d == 5 else 3 if d == 9 else 6))
                r = point(tmp, d, p, shots, seed=d * 1000 + int(p * 1e4), method=args.method)
                rows.append(r)
                print(f"d={d:<2} p={p:<5} {r['shots']:>6,} shots x {ROUNDS + 1} rounds: "
                      f"{r['decode_rps']:>10,.0f} rounds/s decoded over TCP (read alone {r['read_rps']:,.0f}); "
                      f"commit p50/p99/p99.9 {r['commit_us'][0]:.1f}/{r['commit_us'][1]:.1f}/{r['commit_us'][2]:.1f} us; "
                      f"shot p50/p99 {r['shot_us'][0]:.1f}/{r['shot_us'][1]:.1f} us", flush=True)

        print("\nthroughput and latency (sliding window commit = buffer = d, end to end over loopback TCP):")
        print(f"{'d':>3} {'p':>6} {'rounds/s':>11} {'read only':>11} {'commit p50':>10} {'p99':>7} "
              f"{'shot p50':>9} {'p99':>7} {'whole us/rd':>11} {'pm us/rd':>9}")
        for r in rows:
            print(f"{r['d']:>3} {r['p']:>6} {r['decode_rps']:>11,.0f} {r['read_rps']:>11,.0f} "
                  f"{r['commit_us'][0]:>10.1f} {r['commit_us'][1]:>7.1f} {r['shot_us'][0]:>9.1f} {r['shot_us'][1]:>7.1f} "
                  f"{r['whole_us_per_round']:>11.3f} {r['pm_us_per_round']:>9.3f}")

        print("\nlogical error rate per round, same shots (95 % Wilson intervals):")
        print(f"{'d':>3} {'p':>6} {'shots':>7} {'sliding (fails)':>28} {'whole shot (fails)':>28} "
              f"{'ratio':>6} {'differ':>6} {'pymatching':>12}")
        for r in rows:
            n = r["shots"]

            def cell(k: str) -> str:
                f = r["fails"][k]
                lo, hi = wilson(f, n)
                return f"{per_round(f / n, ROUNDS + 1):.2e} [{per_round(lo, ROUNDS + 1):.1e},{per_round(hi, ROUNDS + 1):.1e}] ({f})"

            ratio = r["fails"]["sliding"] / r["fails"]["whole"] if r["fails"]["whole"] else float("nan")
            print(f"{r['d']:>3} {r['p']:>6} {n:>7,} {cell('sliding'):>28} {cell('whole'):>28} {ratio:>6.2f} "
                  f"{r['disagree']:>6} {per_round(r['fails']['pymatching'] / n, ROUNDS + 1):>12.2e}")

        print(f"\nmemory over a {memory_rounds:,}-round stream (d=5, p=0.001, replay looping its file):")
        samples = memory_run(tmp, memory_rounds, args.method)
        print("  " + ", ".join(f"{n / 1e6:.0f}M: {mb:.1f} MB" for n, mb in samples))
        print(f"  growth after the first million rounds: {samples[-1][1] - samples[1][1]:+.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
