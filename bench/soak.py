"""Long-run checks: many frames through one decoding stream, many open/close cycles.

1. FRAMES frames (default 10 million) through one TCP stream with a decoder set: a replay server
   in a child process loops over a file of 100,000 frames (ids keep rising across passes).
2. CYCLES open/close cycles (default 100,000) of a file stream.

Resident memory, open file descriptors and threads are printed at the start, along the way and at
the end of each; the run fails if descriptors or threads are left over, or if resident memory
grows by more than 32 MiB. `make soak` runs it; FRAMES=... CYCLES=... shorten it.
"""
from __future__ import annotations

import os
import pathlib
import sys
import tempfile
import time

import numpy as np

import ostrel
from ostrel import qssf, replay

FRAMES = int(os.environ.get("FRAMES", 10_000_000))
CYCLES = int(os.environ.get("CYCLES", 100_000))
FILE_FRAMES = 100_000
ANCILLAS = 8
ROUNDS = 4  # window depth the decoder infers: detectors / ancillas
GROWTH_LIMIT_MIB = 32


def usage() -> tuple[float, int, int]:
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    return rss, len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def show(label: str) -> tuple[float, int, int]:
    rss, fds, threads = usage()
    print(f"  {label:<28} rss {rss:8.1f} MiB  fds {fds:4d}  threads {threads:3d}", flush=True)
    return rss, fds, threads


def repetition_model(detectors: int) -> str:
    """A repetition-code-like model: neighbouring detectors joined, both ends to the boundary."""
    lines = [f"error(0.01) D{i} D{i + 1}" for i in range(detectors - 1)]
    lines += ["error(0.01) D0 L0", f"error(0.01) D{detectors - 1}"]
    return "\n".join(lines) + "\n"


def check(start: tuple[float, int, int], end: tuple[float, int, int]) -> bool:
    ok = end[1] == start[1] and end[2] == start[2] and end[0] - start[0] <= GROWTH_LIMIT_MIB
    print(f"  {'flat' if ok else 'NOT FLAT'}: rss {end[0] - start[0]:+.1f} MiB, fds {end[1] - start[1]:+d}, "
          f"threads {end[2] - start[2]:+d}", flush=True)
    return ok


def frames_through_a_decoding_stream(path: pathlib.Path) -> bool:
    print(f"{FRAMES:,} frames through one TCP stream with a decoder", flush=True)
    model = repetition_model(ANCILLAS * ROUNDS)
    proc, port = replay.start(path, loop=True)
    try:
        with ostrel.open(f"tcp://127.0.0.1:{port}") as stream:
            stream.set_decoder(model)
            start = show("start")
            began = time.perf_counter()
            flips = 0
            for n, frame in enumerate(stream, 1):
                flips += frame.observable_flips != 0
                if n % (FRAMES // 5 or 1) == 0:
                    show(f"{n:,} frames")
                if n == FRAMES:
                    break
            seconds = time.perf_counter() - began
            end = show("end")
        print(f"  {n:,} frames in {seconds:.1f} s ({n / seconds:,.0f} frames/s), {flips:,} decoded as flipped")
    finally:
        replay.stop(proc)
    return n == FRAMES and check(start, end)


def open_close_cycles(path: pathlib.Path) -> bool:
    print(f"{CYCLES:,} open/close cycles of a file stream", flush=True)
    start = show("start")
    began = time.perf_counter()
    for i in range(1, CYCLES + 1):
        stream = ostrel.open(str(path))
        next(stream)
        stream.close()
        if i % (CYCLES // 5 or 1) == 0:
            show(f"{i:,} cycles")
    seconds = time.perf_counter() - began
    end = show("end")
    print(f"  {CYCLES:,} cycles in {seconds:.1f} s ({seconds / CYCLES * 1e6:.0f} us each)")
    return check(start, end)


def main() -> int:
    rng = np.random.default_rng(12)
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "soak.qssf"
        with qssf.QssfWriter(path) as w:
            events = (rng.random((FILE_FRAMES, ANCILLAS)) < 0.05).astype(np.uint8)
            w.write_frames_fast(events, ancilla_count=ANCILLAS, frame_ids=range(1, FILE_FRAMES + 1))
        ok = frames_through_a_decoding_stream(path)
        ok = open_close_cycles(path) and ok
    print("soak: flat" if ok else "soak: FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
