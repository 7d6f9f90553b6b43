"""Waiting for a TCP peer can be interrupted by signals and bounded by a timeout, and either way
the frame being read is resumed intact by the next call. Peers and the signal senders run in
child processes, so that their timing does not depend on the test's own threads."""

import os
import signal
import socket
import subprocess
import sys
import time

import pytest

import ostrel
from ostrel import qssf
from peers import Peer

HEADER = qssf.stream_header("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0")
FRAME = qssf.frame(7, round=3, detector_events=[0, 1, 1, 0, 1], observable_flips=5, text="x" * 40)


class HandlerError(Exception):
    pass


def signal_later(signum: int, delay: float) -> subprocess.Popen:
    """A child that sends `signum` to this process after `delay` seconds."""
    code = f"import os, time; time.sleep({delay}); os.kill({os.getpid()}, {int(signum)})"
    return subprocess.Popen([sys.executable, "-c", code])


def raise_handler(signum, frame):
    raise HandlerError(signum)


@pytest.mark.parametrize(
    "signum, handler, expected",
    [(signal.SIGINT, signal.default_int_handler, KeyboardInterrupt),
     (signal.SIGUSR1, raise_handler, HandlerError)],
    ids=["sigint-default", "sigusr1-python-handler"])
def test_signal_ends_wait_and_frame_resumes(signum, handler, expected):
    # Half a frame, a pause during which the signal arrives, then the rest of it.
    cut = len(HEADER) + 20
    data = HEADER + FRAME
    previous = signal.signal(signum, handler)
    with Peer([("send", data[:cut]), ("sleep", 2.0), ("send", data[cut:])]) as peer:
        sender = signal_later(signum, 0.5)
        try:
            with ostrel.open(peer.source) as stream:
                started = time.monotonic()
                with pytest.raises(expected):
                    next(stream)
                assert time.monotonic() - started < 1.8  # acted on while the peer still waits
                frame = next(stream)
                assert (frame.frame_id, frame.round, frame.observable_flips) == (7, 3, 5)
                assert frame.to_numpy_detector_events().tolist() == [0, 1, 1, 0, 1]
                with pytest.raises(StopIteration):
                    next(stream)
        finally:
            sender.wait(10)
            signal.signal(signum, previous)


def test_timeout_then_resume():
    cut = len(HEADER) + 30
    data = HEADER + FRAME + qssf.frame(8)
    with Peer([("send", data[:cut]), ("sleep", 1.0), ("send", data[cut:]), ("hold",)]) as peer:
        with ostrel.open(peer.source, timeout=0.2) as stream:
            assert stream.timeout == 0.2
            with pytest.raises(TimeoutError, match="no frame arrived within the timeout of 0.2 s"):
                next(stream)
            stream.timeout = None
            assert [next(stream).frame_id, next(stream).frame_id] == [7, 8]
            stream.timeout = 0.05
            with pytest.raises(TimeoutError):  # the peer holds the connection, sending nothing
                next(stream)


@pytest.mark.parametrize("bad, error", [(-1, ValueError), (float("nan"), ValueError),
                                        ("1", TypeError), (True, TypeError)])
def test_bad_timeout_refused(tmp_path, bad, error):
    path = tmp_path / "empty.qssf"
    path.write_bytes(b"")
    with pytest.raises(error):
        ostrel.open(path, timeout=bad)
    with ostrel.open(path, timeout=3) as stream:
        with pytest.raises(error):
            stream.timeout = bad
        assert stream.timeout == 3.0


def test_signal_ends_a_connection_attempt():
    # A listener whose accept queue is full drops further connection requests, so a connect waits.
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(0)
    port = server.getsockname()[1]
    fillers = []
    for _ in range(3):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(("127.0.0.1", port))
        fillers.append(filler)
    time.sleep(0.2)
    # A process started in the background of a shell ignores SIGINT; this test wants Python's own.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    sender = signal_later(signal.SIGINT, 0.5)
    try:
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            ostrel.OstrelStream(f"tcp://127.0.0.1:{port}")
        assert time.monotonic() - started < 5
    finally:
        sender.wait(10)
        signal.signal(signal.SIGINT, previous)
        for s in fillers + [server]:
            s.close()
