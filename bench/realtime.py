"""Real-time decoding of surface-code rounds with the sliding window that commits, in one run.

For rotated surface-code memory experiments sampled with Stim (uniform circuit noise p, 100 rounds
per shot) at d = 5, 9, 13 and p = 0.001, 0.003, the shots are written one frame per round (the
detector layout's column order), and for each method (matching, the weighted Union-Find,
correlated matching) with commit = buffer = d:
  1. in-process CPU cost: the window fed round by round with no transport (the C++ micro-benchmark
     src/ostrel/decode/sliding_window.perf.cc on the same shots), per round, beside whole-shot
     decoding of the same shots by the same method: their ratio, where the window's time goes
     (decoding, the correction's edges, the rest), and for parallel windows (threads=2) the
     CPU per round and a model of N cores from the measured cost of each window;
  2. replayed at full speed over loopback TCP by a separate process, read by an OstrelStream in
     Python with a SlidingWindowDecoder set, one window after another (threads=0) and in parallel
     (threads=1 and 2): rounds per second end to end, the latency of each commit (arrival of the
     round that completes a window to its committed result) and of each shot (arrival of its last
     round to its prediction), measured in the core; beside it the same replay read without
     decoding and whole-shot decode_batch of the same shots (and pymatching's, for reference);
  3. the logical error rate per round of each windowing against whole-shot decoding by the
     same method, paired on the same shots, with 95 % Wilson intervals and the shots that differ;
  4. memory: a long stream (the replay looping over its file) decoded by one sliding window,
     resident set size sampled every million rounds.

Wall-clock figures (rounds/s, latencies, thread scaling) depend on what else the machine runs;
CPU figures less so. Each row prints the load average beside it.

    python bench/realtime.py [--quick] [--methods A,B] [--rounds-budget N] [--memory-rounds N]
"""

from __future__ import annotations

import argparse
import itertools
import math
import os
import pathlib
import re
import subprocess
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


PERF_SHOTS = 1000  # shots the in-process micro-benchmark decodes per point


def write_perf_fixture(tmp: str, dem, det) -> tuple[str, str]:
    """The flattened model and the first PERF_SHOTS shots as "01" lines, for sliding_window_perf."""
    dem_path, shots_path = os.path.join(tmp, "perf.dem"), os.path.join(tmp, "perf.01")
    pathlib.Path(dem_path).write_text(str(dem.flattened()))
    rows = det[:PERF_SHOTS].astype(np.uint8) + ord("0")
    np.hstack([rows, np.full((len(rows), 1), ord("\n"), dtype=np.uint8)]).tofile(shots_path)
    return dem_path, shots_path


def perf_run(binary: pathlib.Path, fixture: tuple[str, str], d: int, method: str, threads: int) -> dict:
    """The in-process micro-benchmark on these shots: per-round CPU costs (see its header)."""
    dem_path, shots_path = fixture
    out = subprocess.run([str(binary), method, str(threads), dem_path, shots_path, str(d), str(d)],
                         capture_output=True, text=True, check=True).stdout
    num = lambda pattern: float(re.search(pattern, out).group(1))  # noqa: E731
    r = {"whole": num(r"whole-shot ([\d.]+) us/round"), "window": num(r"window ([\d.]+) us/round CPU"),
         "decode": num(r"decode ([\d.]+)"), "correction": num(r"correction ([\d.]+)"),
         "rest": num(r"rest \(events in, gather, commit\) ([\d.]+)")}
    r["ratio"] = r["window"] / r["whole"]
    # Matching starts each window from the last one's growth; its windows decoded afresh beside it.
    r["fresh"] = num(r"windows decoded afresh ([\d.]+) us/round")
    model = re.findall(r"(\d+): ([\d.]+) M rounds/s", out)
    r["model"] = {int(n): float(v) for n, v in model}
    m = re.search(r"parallel windows: decode \+ correction ([\d.]+) us/round", out)
    r["parallel_work"] = float(m.group(1)) if m else float("nan")
    m = re.search(r"measured: ([\d.]+) M rounds/s wall", out)
    r["wall_mrps"] = float(m.group(1)) if m else float("nan")
    return r


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


WINDOWINGS = (0, 1, 2)  # threads: 0 one window after another, >= 1 parallel windows


def point(tmp: str, d: int, p: float, shots: int, seed: int, methods: list[str], perf: pathlib.Path | None) -> dict:
    dem, det, obs, layout, path = experiment(tmp, d, p, shots, seed)
    frames = shots * layout.shape[0]
    with replay.running(path) as port:
        _, n_read, t_read = stream_pass(f"tcp://127.0.0.1:{port}")
    assert n_read == frames
    matching = pymatching.Matching.from_detector_error_model(dem)
    start = time.process_time()
    pm_pred = matching.decode_batch(det)[:, 0]
    t_pm = time.process_time() - start
    fixture = write_perf_fixture(tmp, dem, det) if perf is not None else None
    out = {"d": d, "p": p, "shots": shots, "frames": frames, "read_rps": n_read / t_read,
           "pm_us_per_round": t_pm / frames * 1e6, "pm_fails": int((pm_pred != obs).sum()), "methods": {}}
    for method in methods:
        whole = _ostrel.Decoder(dem, method=method)
        start = time.process_time()
        whole_pred = whole.decode_batch(det)[:, 0]
        t_whole = time.process_time() - start
        row = {"whole_us_per_round": t_whole / frames * 1e6, "whole_fails": int((whole_pred != obs).sum()),
               "windowings": {}, "load": os.getloadavg()[0]}
        for threads in WINDOWINGS:
            sliding = _ostrel.SlidingWindowDecoder(dem, d, d, method=method, threads=threads)
            cpu0 = time.process_time()
            with replay.running(path) as port:
                flips, n_dec, t_dec = stream_pass(f"tcp://127.0.0.1:{port}", sliding)
            cpu = time.process_time() - cpu0
            assert n_dec == frames and len(flips) == shots, (n_dec, frames, len(flips))
            slid = np.array(flips, dtype=np.uint8)
            row["windowings"][threads] = {
                "decode_rps": n_dec / t_dec, "cpu_us_per_round": cpu / frames * 1e6,
                "commit_us": sliding.commit_latency_us([50, 99, 99.9]), "shot_us": sliding.shot_latency_us([50, 99]),
                "fails": int((slid != obs).sum()), "disagree": int((slid != whole_pred).sum()),
                "pred": slid}
        row["threads_agree"] = all((row["windowings"][t]["pred"] == row["windowings"][1]["pred"]).all()
                                   for t in WINDOWINGS if t >= 1)
        if perf is not None:
            row["perf"] = {t: perf_run(perf, fixture, d, method, t) for t in (0, 2)}
        out["methods"][method] = row
    return out


def memory_run(tmp: str, total: int, method: str, step: int = 1_000_000) -> list[tuple[int, float]]:
    """Resident set size while one window (threads=0, folded model) decodes a looping stream."""
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
    ap.add_argument("--methods", default="matching,weighted-union-find,correlated-matching")
    ap.add_argument("--build", default="build", help="the build directory (for sliding_window_perf)")
    args = ap.parse_args()
    budget = 200_000 if args.quick else args.rounds_budget
    memory_rounds = 2_000_000 if args.quick else args.memory_rounds
    methods = args.methods.split(",")
    perf = pathlib.Path(args.build) / "sliding_window_perf"
    if subprocess.run([os.environ.get("CMAKE", "cmake"), "--build", args.build, "--target", "sliding_window_perf"],
                      capture_output=True).returncode != 0 or not perf.exists():
        print(f"{perf} could not be built: the in-process figures are left out", file=sys.stderr)
        perf = None

    rows = []
    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as tmp:
        for d in (5, 9, 13):
            for p in (0.001, 0.003):
                # Fewer shots at larger distances: their rounds are larger and failures rare anyway.
                shots = max(200, budget // (ROUNDS + 1) // (1 if d == 5 else 3 if d == 9 else 6))
                r = point(tmp, d, p, shots, seed=d * 1000 + int(p * 1e4), methods=methods, perf=perf)
                rows.append(r)
                for method, m in r["methods"].items():
                    w = m["windowings"]
                    print(f"d={d:<2} p={p:<5} {method:<20} {r['shots']:>6,} shots: " + "; ".join(
                        f"threads={t}: {w[t]['decode_rps'] / 1e6:.2f} M rounds/s" for t in WINDOWINGS) +
                        f" (read alone {r['read_rps'] / 1e6:.2f} M; load {m['load']:.1f})", flush=True)

        if perf is not None:
            print("\n1. in-process CPU per round (us), window fed round by round vs whole-shot decoding of the same "
                  "shots (commit = buffer = d); decode, paths (the correction's edges) and rest (taking rounds in, "
                  "gathering, committing) split the cost of windows decoded afresh; afresh: the window's cost with "
                  "every window decoded from nothing (matching otherwise starts from the last window's growth); parallel: CPU per round with 2 threads, its "
                  "ratio, and the decoding work of its windows (decode + paths):")
            print(f"{'method':<20} {'d':>3} {'p':>6} {'whole':>7} {'window':>7} {'ratio':>6} {'afresh':>7} {'decode':>7} "
                  f"{'paths':>7} {'rest':>6} | {'parallel':>8} {'ratio':>6} {'work':>6}  "
                  "modelled M rounds/s on 1/2/4/8 cores; measured wall, 2 threads")
            for r in rows:
                for method, m in r["methods"].items():
                    s0, s2 = m["perf"][0], m["perf"][2]
                    model = "/".join(f"{s2['model'][n]:.2f}" for n in (1, 2, 4, 8))
                    print(f"{method:<20} {r['d']:>3} {r['p']:>6} {s0['whole']:>7.3f} {s0['window']:>7.3f} "
                          f"{s0['ratio']:>6.2f} {s0['fresh']:>7.3f} {s0['decode']:>7.3f} {s0['correction']:>7.3f} {s0['rest']:>6.3f} | "
                          f"{s2['window']:>8.3f} {s2['window'] / s2['whole']:>6.2f} {s2['parallel_work']:>6.3f}  "
                          f"{model}; {s2['wall_mrps']:.2f}")

        print("\n2. over loopback TCP into Python (rounds/s end to end; latencies from arrival, us; "
              "whole-shot decode_batch CPU us/round of the same shots):")
        print(f"{'method':<20} {'d':>3} {'p':>6} {'thr':>3} {'rounds/s':>10} {'CPU us/rd':>9} {'commit p50':>10} "
              f"{'p99':>7} {'p99.9':>7} {'shot p50':>8} {'p99':>7} {'whole':>7} {'read only':>10}")
        for r in rows:
            for method, m in r["methods"].items():
                for t, w in m["windowings"].items():
                    print(f"{method:<20} {r['d']:>3} {r['p']:>6} {t:>3} {w['decode_rps']:>10,.0f} "
                          f"{w['cpu_us_per_round']:>9.3f} {w['commit_us'][0]:>10.1f} {w['commit_us'][1]:>7.1f} "
                          f"{w['commit_us'][2]:>7.1f} {w['shot_us'][0]:>8.1f} {w['shot_us'][1]:>7.1f} "
                          f"{m['whole_us_per_round']:>7.3f} {r['read_rps']:>10,.0f}")

        print("\n3. logical error rate per round, paired on the same shots (95 % Wilson intervals; "
              "threads >= 1 give one prediction, checked equal on every shot):")
        print(f"{'method':<20} {'d':>3} {'p':>6} {'shots':>7} {'whole shot (fails)':>28} "
              f"{'one after another':>28} {'ratio':>6} {'differ':>6} {'parallel':>28} {'ratio':>6} {'differ':>6}")
        for r in rows:
            n = r["shots"]

            def cell(f: int) -> str:
                lo, hi = wilson(f, n)
                return f"{per_round(f / n, ROUNDS + 1):.2e} [{per_round(lo, ROUNDS + 1):.1e},{per_round(hi, ROUNDS + 1):.1e}] ({f})"

            for method, m in r["methods"].items():
                wf = m["whole_fails"]
                seq, par = m["windowings"][0], m["windowings"][1]
                ratio = lambda f: f / wf if wf else float("nan")  # noqa: E731
                print(f"{method:<20} {r['d']:>3} {r['p']:>6} {n:>7,} {cell(wf):>28} {cell(seq['fails']):>28} "
                      f"{ratio(seq['fails']):>6.2f} {seq['disagree']:>6} {cell(par['fails']):>28} "
                      f"{ratio(par['fails']):>6.2f} {par['disagree']:>6}" + ("" if m["threads_agree"] else
                                                                           "  THREAD COUNTS DISAGREE"))
            print(f"{'(pymatching)':<20} {r['d']:>3} {r['p']:>6} {n:>7,} {cell(r['pm_fails']):>28}")

        print(f"\n4. memory over a {memory_rounds:,}-round stream (d=5, p=0.001, replay looping its file):")
        samples = memory_run(tmp, memory_rounds, methods[0])
        print("  " + ", ".join(f"{n / 1e6:.0f}M: {mb:.1f} MB" for n, mb in samples))
        print(f"  growth after the first million rounds: {samples[-1][1] - samples[1][1]:+.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
