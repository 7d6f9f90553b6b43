"""`python -m ostrel replay --shm NAME FILE` publishes a recording into a shared-memory ring,
read here through the C interface (ctypes over libostrel) exactly as a C consumer reads it."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys

import pytest

from ostrel import qssf
from ostrel.replay import _child_env

shm_ring = pytest.importorskip("ostrel.shm_ring")


class Frame(ctypes.Structure):
    _fields_ = [("frame_id", ctypes.c_uint64), ("round", ctypes.c_uint32), ("timestamp_ns", ctypes.c_uint64),
                ("qubit_count", ctypes.c_uint16), ("ancilla_count", ctypes.c_uint16),
                ("code_type", ctypes.c_uint8), ("distance", ctypes.c_uint8), ("flags", ctypes.c_uint16),
                ("detector_events", ctypes.POINTER(ctypes.c_uint8)), ("detector_event_count", ctypes.c_uint32),
                ("meas_results", ctypes.POINTER(ctypes.c_int8)), ("has_observable_flips", ctypes.c_uint8),
                ("observable_flips", ctypes.c_uint64)]


@pytest.fixture
def lib():
    try:
        lib = shm_ring.load_library()
    except shm_ring.LibraryNotFound:
        pytest.skip("libostrel is not built")
    lib.ostrel_shm_open.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p)]
    lib.ostrel_stream_next.argtypes = [ctypes.c_void_p, ctypes.POINTER(Frame)]
    lib.ostrel_stream_close.argtypes = [ctypes.c_void_p]
    return lib


def read_ring(lib, name: str) -> tuple[list[tuple], int]:
    stream = ctypes.c_void_p()
    assert lib.ostrel_shm_open(name.encode(), ctypes.byref(stream)) == 0, lib.ostrel_last_error_message()
    frames, f = [], Frame()
    try:
        while (status := lib.ostrel_stream_next(stream, ctypes.byref(f))) == 0:
            events = [f.detector_events[i] for i in range(f.ancilla_count)]
            flips = f.observable_flips if f.has_observable_flips else None
            frames.append((f.frame_id, f.round, events, flips))
    finally:
        lib.ostrel_stream_close(stream)
    return frames, status


def test_replay_into_a_ring_delivers_the_recording(lib, tmp_path):
    path = tmp_path / "rec.qssf"
    rng = __import__("random").Random(7)
    written = []
    with qssf.QssfWriter(path) as w:
        for k in range(10000):
            events = [int(rng.random() < 0.1) for _ in range(24)]
            flips = k * 977 if k % 4 else None
            # Timing offsets ride along as they are on disk: the C reader sees the same frame.
            w.write_frame(5 + 2 * k, round=k % 9, detector_events=events, meas_results=[0] * 24,
                          timing_offsets=[k % 100] * 24, observable_flips=flips)
            written.append((5 + 2 * k, k % 9, events, flips))
    name = f"ostrel-py-test-{os.getpid()}"
    # The file (1.4 MB) is larger than the ring (1 MiB): the publisher waits for the reader, nothing is lost.
    proc = subprocess.Popen([sys.executable, "-m", "ostrel", "replay", "--shm", name, str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_child_env())
    try:
        line = proc.stdout.readline().strip()
        assert line == f"publishing to shm://{name}", proc.stderr.read() if not line else line
        frames, status = read_ring(lib, name)
        proc.wait(timeout=60)
        out, err = proc.stdout.read(), proc.stderr.read()
        # Once its consumer has read every frame, replay removes the ring it made.
        left_behind = os.path.exists(f"/dev/shm/{name}")
    finally:
        proc.kill()
        shm_ring.unlink(name)
    assert (status, proc.returncode, err, left_behind) == (1, 0, "", False)  # OSTREL_END_OF_STREAM
    assert out.strip() == "published 10000 frames"
    assert frames == written


def test_the_library_reports_the_packages_version(lib):
    import ostrel
    lib.ostrel_version.restype = ctypes.c_char_p
    assert lib.ostrel_version().decode() == ostrel.__version__


def test_replay_shm_refuses_bad_names_and_tcp_options(tmp_path):
    path = tmp_path / "rec.qssf"
    with qssf.QssfWriter(path) as w:
        w.write_frame(1, detector_events=[0, 1])
    for extra, text in [(["--shm", "a/b"], "invalid ring name 'a/b'"),
                        (["--shm", "ring", "--loop"], "--loop and --stamp-time are for TCP")]:
        done = subprocess.run([sys.executable, "-m", "ostrel", "replay", *extra, str(path)],
                              capture_output=True, text=True, timeout=60, env=_child_env())
        assert done.returncode == 2 and text in done.stderr
