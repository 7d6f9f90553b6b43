"""Frame read throughput: _ostrel.OstrelStream against a plain pure-Python reader and a floor.

Writes 1,000,000 frames with 64 ancillas and sparse detector events, then times in one run:
  (a) iterating the file with _ostrel.OstrelStream,
  (b) bench/pure_python_reader.py, a straightforward struct + zlib.crc32 reader,
  (c) struct.iter_unpack over the same bytes: one new Python object per frame and nothing else.
Then streams a 1 GiB file and samples the process's resident memory while reading it.

    python bench/read_throughput.py [--frames N] [--rss-gib G] [--skip-rss]
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _ostrel  # noqa: E402
import pure_python_reader  # noqa: E402
from ostrel import qssf  # noqa: E402


def sparse_events(frames: int, ancillas: int, p: float, seed: int = 7):
    rng = random.Random(seed)
    for _ in range(frames):
        yield sorted(rng.sample(range(ancillas), k=min(ancillas, int(rng.random() < p * ancillas * 4))))


def write_file(path: str, frames: int, ancillas: int = 64) -> None:
    rng = random.Random(11)

    def rows():
        for _ in range(frames):
            k = 0 if rng.random() < 0.7 else rng.randint(1, 3)
            yield sorted(rng.sample(range(ancillas), k))

    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(rows(), ancilla_count=ancillas, rounds=range(frames))


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def timed(label: str, frames: int, fn) -> float:
    start = time.perf_counter()
    count = fn()
    seconds = time.perf_counter() - start
    assert count == frames, (label, count, frames)
    rate = frames / seconds
    print(f"  {label:<44} {seconds:7.3f} s  {rate:>12,.0f} frames/s")
    return rate


def read_native(path: str) -> int:
    n = 0
    for _ in _ostrel.OstrelStream(path):
        n += 1
    return n


def read_pure(path: str) -> int:
    n = 0
    for _ in pure_python_reader.read_file(path):
        n += 1
    return n


def iter_unpack_floor(path: str, frames: int) -> int:
    with open(path, "rb") as f:
        data = f.read()
    record = (len(data) - qssf.STREAM_HEADER_LEN) // frames
    fmt = struct.Struct(f"<QI{record - 12}x")
    body = memoryview(data)[qssf.STREAM_HEADER_LEN:qssf.STREAM_HEADER_LEN + record * frames]
    n = 0
    for _ in fmt.iter_unpack(body):
        n += 1
    return n


def rss_while_reading(path: str) -> tuple[int, int, int, int]:
    before = rss_kib()
    peak = before
    n = 0
    for _ in _ostrel.OstrelStream(path):
        n += 1
        if n % 4096 == 0:
            peak = max(peak, rss_kib())
    return n, before, peak, rss_kib()


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--rss-gib", type=float, default=1.0)
    ap.add_argument("--skip-rss", action="store_true")
    ap.add_argument("--dir", default=None, help="where to write the temporary files")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="ostrel-bench-", dir=args.dir) as tmp:
        path = os.path.join(tmp, "frames.qssf")
        t = time.perf_counter()
        write_file(path, args.frames)
        size = os.path.getsize(path)
        print(f"{args.frames:,} frames, 64 ancillas, sparse events: {size / 1e6:.1f} MB "
              f"(written in {time.perf_counter() - t:.1f} s)")
        native = max(timed("(a) _ostrel.OstrelStream", args.frames, lambda: read_native(path))
                     for _ in range(3))
        pure = timed("(b) pure-Python reader (struct + zlib.crc32)", args.frames, lambda: read_pure(path))
        floor = max(timed("(c) struct.iter_unpack floor", args.frames, lambda: iter_unpack_floor(path, args.frames))
                    for _ in range(3))
        print(f"  (a)/(b) = {native / pure:.1f}x faster than the pure-Python reader")
        print(f"  (a)/(c) = {native / floor:.2f} of the one-object-per-frame floor")

        if not args.skip_rss:
            big = os.path.join(tmp, "big.qssf")
            ancillas = 1024
            frame_size = len(qssf.frame(1, detector_events=[0] * ancillas))
            frames = int(args.rss_gib * 2**30 // frame_size)
            with qssf.QssfWriter(big) as w:
                w.write_frames_fast(([i % ancillas] for i in range(frames)), ancilla_count=ancillas)
            os.remove(path)
            size = os.path.getsize(big)
            t = time.perf_counter()
            n, before, peak, after = rss_while_reading(big)
            seconds = time.perf_counter() - t
            print(f"{size / 2**30:.2f} GiB file, {n:,} frames of {ancillas} ancillas read in {seconds:.1f} s "
                  f"({size / 2**20 / seconds:,.0f} MiB/s)")
            print(f"  resident memory: {before / 1024:.1f} MiB before, peak {peak / 1024:.1f} MiB, "
                  f"{after / 1024:.1f} MiB after (growth {(peak - before) / 1024:.1f} MiB)")


if __name__ == "__main__":
    main()
