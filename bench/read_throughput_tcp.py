"""Frames per second read by OstrelStream from a file and from loopback TCP, in one run.

The same 1,000,000 frames (a distance-5 surface code, 24 ancillas, sparse detector events) are
read from a file and from the replay server running in a separate process. Then the replay
server paces a shorter stream at 10,000 frames/s, stamping each frame's timestamp_ns with its
send time, and the delay from that send to the frame's arrival in Python is summarised, beside
the same delay seen by a plain Python socket reader (the floor this machine sets).

    python bench/read_throughput_tcp.py [--frames N] [--repeat R] [--latency-frames N]
"""

from __future__ import annotations

import argparse
import os
import socket
import struct
import statistics
import sys
import tempfile
import time

import numpy as np

import _ostrel
from ostrel import qssf, replay

ANCILLAS = 24
P_FIRE = 0.02


def write_stream(path: str, frames: int, seed: int = 7) -> int:
    rng = np.random.default_rng(seed)
    with qssf.QssfWriter(path) as w:
        done = 0
        while done < frames:
            batch = min(100_000, frames - done)
            events = (rng.random((batch, ANCILLAS)) < P_FIRE).astype(np.uint8)
            w.write_frames_fast(events, ancilla_count=ANCILLAS, distance=5)
            done += batch
    return os.path.getsize(path)


def read_all(source: str) -> tuple[int, float]:
    start = time.perf_counter()
    n = 0
    with _ostrel.OstrelStream(source) as stream:
        for _ in stream:
            n += 1
    return n, time.perf_counter() - start


def latencies_us(source: str) -> list[float]:
    out = []
    with _ostrel.OstrelStream(source) as stream:
        for frame in stream:
            out.append((time.time_ns() - frame.timestamp_ns) / 1e3)
    return out


def plain_python_latencies_us(port: int) -> list[float]:
    """The peer: a buffered socket read with struct, for frames without optional sections."""
    out = []
    with socket.create_connection(("127.0.0.1", port)) as sock, sock.makefile("rb") as f:
        f.read(qssf.STREAM_HEADER_LEN)
        fields = struct.Struct("<12xQ2xH6xH4x")  # timestamp_ns, ancilla_count, flags
        while len(header := f.read(qssf.FRAME_HEADER_LEN)) == qssf.FRAME_HEADER_LEN:
            stamp, n, flags = fields.unpack(header)
            assert flags == 0, "the peer reads plain frames only"
            (m,) = struct.unpack("<H", f.read(2))
            f.read(m + n + qssf.TRAILER_LEN)
            out.append((time.time_ns() - stamp) / 1e3)
    return out


def summarise(lat: list[float]) -> str:
    lat = sorted(lat)
    p99 = lat[min(len(lat) - 1, int(0.99 * len(lat)))]
    return f"median {statistics.median(lat):5.0f} us, p99 {p99:6.0f} us, max {lat[-1]:6.0f} us"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=5, help="runs of each; the best is reported")
    ap.add_argument("--latency-frames", type=int, default=20_000)
    ap.add_argument("--rate", type=float, default=10_000.0, help="pacing for the latency run")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(prefix="ostrel-bench-") as tmp:
        path = os.path.join(tmp, "frames.qssf")
        size = write_stream(path, args.frames)
        print(f"stream: {args.frames:,} frames, {size / 1e6:.1f} MB ({size / args.frames:.0f} bytes/frame)")

        proc, port = replay.start(path)
        try:
            file_runs, tcp_runs = [], []
            for _ in range(args.repeat):  # alternate, so both see the same machine load
                n, s = read_all(path)
                assert n == args.frames, n
                file_runs.append(s)
                n, s = read_all(f"tcp://127.0.0.1:{port}")
                assert n == args.frames, n
                tcp_runs.append(s)
        finally:
            replay.stop(proc)

        file_fps = args.frames / min(file_runs)
        tcp_fps = args.frames / min(tcp_runs)
        print(f"file : {file_fps:12,.0f} frames/s  ({size / min(file_runs) / 1e6:7.1f} MB/s)")
        print(f"tcp  : {tcp_fps:12,.0f} frames/s  ({size / min(tcp_runs) / 1e6:7.1f} MB/s)")
        ratio = tcp_fps / file_fps
        print(f"ratio: tcp / file = {ratio:.2f}  (target >= 0.80: {'met' if ratio >= 0.8 else 'NOT met'})")

        short = os.path.join(tmp, "paced.qssf")
        write_stream(short, args.latency_frames, seed=8)
        proc, port = replay.start(short, rate=args.rate, stamp_time=True)
        try:
            lat = latencies_us(f"tcp://127.0.0.1:{port}")
            peer = plain_python_latencies_us(port)
        finally:
            replay.stop(proc)
        assert len(lat) == len(peer) == args.latency_frames, (len(lat), len(peer))
        print(f"latency, send to arrival in Python, {args.latency_frames:,} frames paced at "
              f"{args.rate:,.0f} frames/s:")
        print(f"  OstrelStream         : {summarise(lat)}")
        print(f"  plain Python socket  : {summarise(peer)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
