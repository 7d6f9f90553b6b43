"""Frame read throughput: _ostrel.OstrelStream against a plain pure-Python reader and a floor.

Writes 1,000,000 frames with 64 ancillas and sparse detector events, then times in one run:
  (a) iterating the file with _ostrel.OstrelStream,
  (b) bench/pure_python_reader.py, a straightforward struct + zlib.crc32 reader,
  (c) struct.iter_unpack over the same bytes: one new Python object per frame and nothing else.
then the batch path over the same file:
  (d) OstrelStream.read_batch into NumPy arrays (one batch, and batches of 65,536 frames),
  (e) the same bit-packed,
  (f) CRC-32 alone over the file's bytes: zlib.crc32, and ISA-L's (isal.isal_zlib.crc32, which uses
      the CPU's carry-less multiply) when installed,
  (g) the same frames each carrying the payload checksum (CRC-32C extension entry): written,
      iterated and read in one batch, against the plain file, in CPU time,
and the resident memory of a child process reading the whole file in one batch against the size
of its output arrays plus the 4 MiB ring. Then streams a 1 GiB file and samples the process's
resident memory while reading it.

    python bench/read_throughput.py [--frames N] [--rss-gib G] [--skip-rss]
"""

from __future__ import annotations

import argparse
import os
import random
import struct
import subprocess
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _ostrel  # noqa: E402
import pure_python_reader  # noqa: E402
from ostrel import qssf  # noqa: E402


def sparse_events(frames: int, ancillas: int, p: float, seed: int = 7):
    rng = random.Random(seed)
    for _ in range(frames):
        yield sorted(rng.sample(range(ancillas), k=min(ancillas, int(rng.random() < p * ancillas * 4))))


def write_file(path: str, frames: int, ancillas: int = 64, payload_checksum: bool = False) -> None:
    rng = random.Random(11)

    def rows():
        for _ in range(frames):
            k = 0 if rng.random() < 0.7 else rng.randint(1, 3)
            yield sorted(rng.sample(range(ancillas), k))

    with qssf.QssfWriter(path, payload_checksum=payload_checksum) as w:
        w.write_frames_fast(rows(), ancilla_count=ancillas, rounds=range(frames))


def rss_kib() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def timed(label: str, frames: int, fn) -> float:
    # CPU time of this thread too: on a shared machine it varies less than the wall clock.
    cpu = time.thread_time()
    start = time.perf_counter()
    count = fn()
    seconds = time.perf_counter() - start
    cpu = time.thread_time() - cpu
    assert count == frames, (label, count, frames)
    rate = frames / seconds
    print(f"  {label:<44} {seconds:7.3f} s  {rate:>12,.0f} frames/s  {cpu / frames * 1e9:5.0f} ns CPU/frame")
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


def read_batches(path: str, max_frames: int, bit_packed: bool) -> int:
    n = 0
    with _ostrel.OstrelStream(path) as stream:
        while batch := stream.read_batch(max_frames, bit_packed=bit_packed):
            n += len(batch)
    return n


def crc_rate(label: str, crc, data: bytes) -> float:
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        crc(data)
        best = min(best, time.perf_counter() - start)
    print(f"  {label:<44} {best:7.3f} s  {len(data) / best / 1e9:>9.2f} GB/s")
    return len(data) / best


# ru_maxrss survives exec (a child starts with its parent's peak), so VmHWM/VmRSS are read instead.
RSS_CHILD = """
import sys, _ostrel
def rss(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) for l in f if l.startswith(key))
stream = _ostrel.OstrelStream(sys.argv[1])
before = rss("VmRSS:")
batch = stream.read_batch(int(sys.argv[2]))
peak = rss("VmHWM:")
arrays = sum(getattr(batch, n).nbytes for n in ("frame_id", "round", "timestamp_ns", "qubit_count",
    "ancilla_count", "detector_event_count", "code_type", "distance", "flags", "observable_flips",
    "has_observable_flips", "has_payload_checksum", "detector_events", "meas_results"))
print(before, peak, arrays)
"""


def batch_section(path: str, frames: int, size: int, per_frame: float) -> None:
    print("batch path (same file):")
    rates = {}
    for packed in (False, True):
        kind = "bit-packed" if packed else "bool"
        rates[kind, "one batch"] = max(timed(f"(d) read_batch, one batch, {kind}", frames,
                                             lambda: read_batches(path, frames, packed)) for _ in range(3))
        rates[kind, "65,536 a batch"] = max(timed(f"(d) read_batch, 65,536 a batch, {kind}", frames,
                                                  lambda: read_batches(path, 65536, packed)) for _ in range(3))
    for (kind, how), rate in rates.items():
        print(f"  {kind}, {how}: {rate / 1e6:.2f} M frames/s = "
              f"{rate * size / frames / 1e9:.2f} GB/s of stream bytes = {rate / per_frame:.1f}x the iterator")
    with open(path, "rb") as f:
        data = f.read()
    print("CRC-32 alone over the same bytes:")
    crc_rate("(f) zlib.crc32", zlib.crc32, data)
    try:
        from isal import isal_zlib
    except ImportError:
        print("  (f) isal not installed: no hardware-assisted CRC-32 to compare")
    else:
        crc_rate("(f) isal.isal_zlib.crc32 (carry-less multiply)", isal_zlib.crc32, data)
    out = subprocess.run([sys.executable, "-c", RSS_CHILD, path, str(frames)], check=True,
                         capture_output=True, text=True).stdout.split()
    before, peak, arrays = (int(v) for v in out)
    print(f"  resident memory of one whole-file batch: {(peak - before) / 1024:.1f} MiB grown for "
          f"{arrays / 2**20:.1f} MiB of arrays + 4.0 MiB ring")


def cpu_per_frame(fn, frames: int, repeats: int = 5) -> float:
    """The least CPU time per frame (ns) over `repeats` runs."""
    best = float("inf")
    for _ in range(repeats):
        cpu = time.process_time()
        assert fn() == frames
        best = min(best, time.process_time() - cpu)
    return best / frames * 1e9


def checksum_section(tmp: str, frames: int) -> None:
    print("payload checksums (CRC-32C entry on every frame), CPU time, best of 5:")
    paths = {False: os.path.join(tmp, "plain.qssf"), True: os.path.join(tmp, "checksummed.qssf")}
    costs: dict[tuple[str, bool], float] = {}
    for _ in range(2):  # interleaved, so both see the same machine
        for checked, path in paths.items():
            def write(path=path, checked=checked) -> int:
                write_file(path, frames, payload_checksum=checked)
                return frames
            for label, fn in (("write (write_frames_fast)", write),
                              ("iterate (OstrelStream)", lambda path=path: read_native(path)),
                              ("read_batch, one batch", lambda path=path: read_batches(path, frames, False))):
                ns = cpu_per_frame(fn, frames, 2 if label.startswith("write") else 5)
                costs[label, checked] = min(costs.get((label, checked), ns), ns)
    for label in dict.fromkeys(label for label, _ in costs):
        plain, checked = costs[label, False], costs[label, True]
        print(f"  (g) {label:<28} {plain:7.0f} ns/frame plain, {checked:7.0f} checksummed: "
              f"throughput x{plain / checked:.3f}")


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
        batch_section(path, args.frames, size, native)
        checksum_section(tmp, args.frames)

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
