"""Streams that wait never hold up the process: figures for many streams in threads beside one
silent peer, and for how soon a waiting call ends after close(), a signal or its timeout.

Streams beside a silent peer: N streams read by N threads from one peer process on loopback; the
peer sends each healthy stream F frames at once, and sends stream 0 half a frame, then nothing for
S seconds. The healthy streams' finishing time is compared with the same N - 1 streams read with
no silent peer (target: within 1.2x). Latencies: a call waiting on a silent socket is ended by
close() from another thread, by a signal (reader in the main thread, and in a worker thread with
the main thread sleeping) and by its timeout (target: within 50 ms).

    python bench/waiting_streams.py [--streams 8 16 64] [--frames 20000] [--silence 3] [--repeat 10]
"""

from __future__ import annotations

import argparse
import os
import random
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

import ostrel
from ostrel import qssf

PEER = r"""
import socket, sys, threading, time
from ostrel import qssf
n, frames, silence = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
header = qssf.stream_header()
body = b"".join(qssf.frame(i, detector_events=[i % 2, 0, 1, 0] * 6) for i in range(1, frames + 1))
listener = socket.create_server(("127.0.0.1", 0), backlog=n + 8)
print(listener.getsockname()[1], flush=True)
def serve(conn, silent):
    with conn:
        if silent:
            conn.sendall(header + body[:20])
            time.sleep(silence)
            conn.sendall(body[20:])
        else:
            conn.sendall(header + body)
        conn.shutdown(socket.SHUT_WR)
        conn.recv(1)
for k in range(n):
    conn, _ = listener.accept()
    threading.Thread(target=serve, args=(conn, k == 0 and silence > 0)).start()
"""


def run_streams(n: int, frames: int, silence: float) -> float:
    """Seconds from the start until the last healthy stream has read all its frames."""
    peer = subprocess.Popen([sys.executable, "-c", PEER, str(n), str(frames), str(silence)],
                            stdout=subprocess.PIPE, text=True)
    try:
        source = f"tcp://127.0.0.1:{int(peer.stdout.readline())}"
        streams = [ostrel.open(source) for _ in range(n)]  # accepted in this order: 0 first
        start = threading.Barrier(n + 1)
        finished = [0.0] * n
        counts = [0] * n

        def read(k: int) -> None:
            start.wait()
            counts[k] = _count(streams[k])
            finished[k] = time.perf_counter()

        threads = [threading.Thread(target=read, args=(k,)) for k in range(n)]
        for t in threads:
            t.start()
        start.wait()
        t0 = time.perf_counter()
        for t in threads:
            t.join()
        for s in streams:
            s.close()
        healthy = range(1, n) if silence > 0 else range(n)
        assert all(counts[k] == frames for k in healthy), counts
        return max(finished[k] for k in healthy) - t0
    finally:
        peer.kill()
        peer.wait()


def _count(stream) -> int:
    n = 0
    for _ in stream:  # a frame object each, as most readers do
        n += 1
    return n


def silent_source() -> tuple[socket.socket, str]:
    listener = socket.create_server(("127.0.0.1", 0))  # connections wait in its backlog, silent
    return listener, f"tcp://127.0.0.1:{listener.getsockname()[1]}"


class Raised(Exception):
    pass


def latency_close() -> float:
    listener, source = silent_source()
    with listener:
        stream = ostrel.open(source)
        ended = []

        def read() -> None:
            try:
                next(stream)
            except OSError:
                ended.append(time.perf_counter())

        t = threading.Thread(target=read)
        t.start()
        time.sleep(random.uniform(0.1, 0.14))
        t0 = time.perf_counter()
        stream.close()
        t.join()
        return ended[0] - t0


def latency_signal(worker: bool) -> float:
    listener, source = silent_source()
    handled = []

    def handler(*_):
        handled.append(time.perf_counter())
        raise Raised

    previous = signal.signal(signal.SIGUSR1, handler)
    sent = []

    def send() -> None:
        time.sleep(random.uniform(0.1, 0.14))  # not in step with the 20 ms checks
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGUSR1)

    try:
        with listener, ostrel.open(source) as stream:
            threading.Thread(target=send).start()
            if worker:
                reader = threading.Thread(target=lambda: _swallow(stream))
                reader.start()
                try:
                    time.sleep(5)
                except Raised:
                    pass
                stream.close()
                reader.join()
            else:
                try:
                    next(stream)
                except Raised:
                    pass
    finally:
        signal.signal(signal.SIGUSR1, previous)
    return handled[0] - sent[0]


def _swallow(stream) -> None:
    try:
        next(stream)
    except OSError:
        pass


def latency_timeout(limit: float = 0.2) -> float:
    listener, source = silent_source()
    with listener, ostrel.open(source, timeout=limit) as stream:
        t0 = time.perf_counter()
        try:
            next(stream)
        except TimeoutError:
            pass
        return time.perf_counter() - t0 - limit


def ms(values: list[float]) -> str:
    return f"median {1e3 * statistics.median(values):5.1f} ms, max {1e3 * max(values):5.1f} ms"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--streams", type=int, nargs="+", default=[8, 16, 64])
    ap.add_argument("--frames", type=int, default=20_000)
    ap.add_argument("--silence", type=float, default=3.0)
    ap.add_argument("--repeat", type=int, default=10)
    args = ap.parse_args()

    for n in args.streams:
        alone = min(run_streams(n - 1, args.frames, 0) for _ in range(3))
        beside = min(run_streams(n, args.frames, args.silence) for _ in range(3))
        ratio = beside / alone
        print(f"{n:3d} streams, {args.frames:,} frames each: {n - 1} healthy alone {alone:6.2f} s, "
              f"beside a peer silent {args.silence:g} s {beside:6.2f} s  ratio {ratio:.2f} "
              f"(target <= 1.2: {'met' if ratio <= 1.2 else 'NOT met'})")

    for name, measure in [("close() from another thread", latency_close),
                          ("signal, reader in the main thread", lambda: latency_signal(False)),
                          ("signal, reader in a worker thread", lambda: latency_signal(True)),
                          ("timeout of 0.2 s (overshoot)", latency_timeout)]:
        values = [measure() for _ in range(args.repeat)]
        print(f"{name:36s}: {ms(values)}  (target <= 50 ms: {'met' if max(values) <= 0.05 else 'NOT met'})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
