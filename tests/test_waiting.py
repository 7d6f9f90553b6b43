"""A stream waiting for bytes never holds up the rest of the process: the interpreter lock is
released while it blocks, close() from another thread ends the wait, a signal reaches the main
thread while a worker waits, and the timeout is a deadline for the whole call, also for a frame
larger than the reader's buffer. The peers here run in threads of the test process itself, which
only works because waiting streams let them run."""

import os
import signal
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

import ostrel
from ostrel import qssf

HEADER = qssf.stream_header()


class ThreadPeer:
    """A loopback listener whose one connection is served by `serve(conn)` in a thread."""

    def __init__(self, serve) -> None:
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.source = f"tcp://127.0.0.1:{self.listener.getsockname()[1]}"
        self.thread = threading.Thread(target=self._run, args=(serve,), daemon=True)
        self.thread.start()

    def _run(self, serve) -> None:
        conn, _ = self.listener.accept()
        with conn:
            serve(conn)

    def __enter__(self) -> "ThreadPeer":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.listener.close()
        self.thread.join(10)


def frames(first: int, count: int) -> bytes:
    return b"".join(qssf.frame(i, detector_events=[i % 2, 0, 1]) for i in range(first, first + count))


def resources() -> set:
    """This process's threads and open descriptors (with what each refers to)."""
    tasks = {("task", t) for t in os.listdir("/proc/self/task")}
    fds = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            fds.add(("fd", fd, os.readlink(f"/proc/self/fd/{fd}")))
        except OSError:
            pass  # closed meanwhile (the listing's own descriptor)
    return tasks | fds


def released(owned: set, limit: float = 5.0) -> bool:
    """Whether every one of `owned` is gone: a joined thread may take a moment to exit."""
    for _ in range(int(limit / 0.02)):
        if not owned & resources():
            return True
        threading.Event().wait(0.02)
    return False


def test_threads_read_many_streams_beside_a_silent_peer():
    """The silent peer speaks only once every healthy stream has been read to its end, so they
    can finish only if its waiting reader lets them run."""
    healthy_done = threading.Event()
    data = HEADER + frames(1, 2000)

    def silent(conn):
        conn.sendall(HEADER + frames(1, 1)[:20])
        spoke_early = not healthy_done.wait(60)
        conn.sendall(frames(1, 1)[20:] + frames(2, 1))
        results["spoke early"] = spoke_early

    results: dict = {}
    with ThreadPeer(silent) as quiet:
        healthy = [ThreadPeer(lambda conn: conn.sendall(data)) for _ in range(8)]
        quiet_stream = ostrel.open(quiet.source)
        waiter = threading.Thread(target=lambda: results.update(quiet=[f.frame_id for f in quiet_stream]))
        waiter.start()

        def read(k: int, source: str) -> None:
            with ostrel.open(source) as stream:
                if k % 2:
                    ids = [f.frame_id for f in stream]
                else:
                    ids = []
                    while batch := stream.read_batch(300):
                        ids.extend(batch.frame_id.tolist())
            results[k] = ids

        readers = [threading.Thread(target=read, args=(k, p.source)) for k, p in enumerate(healthy)]
        for t in readers:
            t.start()
        for t in readers:
            t.join(60)
        healthy_done.set()
        waiter.join(60)
        quiet_stream.close()
        for p in healthy:
            p.__exit__()
    assert all(results[k] == list(range(1, 2001)) for k in range(8))
    assert results["quiet"] == [1, 2] and results["spoke early"] is False


@pytest.mark.parametrize("call", ["next", "read_batch", "next with timeout"])
def test_close_from_another_thread_ends_a_wait(call):
    release_peer = threading.Event()
    with ThreadPeer(lambda conn: (conn.sendall(HEADER + frames(1, 1) + frames(2, 1)[:10]),
                                  release_peer.wait(30))) as peer:
        before = resources()
        stream = ostrel.open(peer.source, timeout=30 if call == "next with timeout" else None)
        owned = resources() - before  # the stream's socket, threads and descriptors
        assert next(stream).frame_id == 1
        outcome: list = []
        waiting = threading.Event()

        def read() -> None:
            waiting.set()
            try:
                outcome.append(stream.read_batch(10) if call == "read_batch" else next(stream))
            except BaseException as e:  # noqa: BLE001 - what the waiting call ended with
                outcome.append(e)

        reader = threading.Thread(target=read)
        reader.start()
        waiting.wait(10)
        threading.Event().wait(0.2)  # let it block
        assert stream.close() is None
        reader.join(10)
        assert not reader.is_alive() and not release_peer.is_set()
        release_peer.set()
    assert isinstance(outcome[0], OSError) and str(outcome[0]) == "stream is closed"
    with pytest.raises(OSError, match="stream is closed"):
        next(stream)
    assert stream.close() is None
    del stream
    assert owned and released(owned)


def test_other_uses_while_a_call_waits_are_refused():
    release_peer = threading.Event()
    with ThreadPeer(lambda conn: (conn.sendall(HEADER), release_peer.wait(30), conn.sendall(frames(1, 1)))) as peer:
        with ostrel.open(peer.source) as stream:
            got: list = []
            reader = threading.Thread(target=lambda: got.append(next(stream).frame_id))
            reader.start()
            threading.Event().wait(0.2)
            with pytest.raises(RuntimeError, match="Already borrowed"):
                next(stream)
            with pytest.raises(RuntimeError, match="Already borrowed"):
                stream.timeout = 1
            with pytest.raises(RuntimeError, match="Already mutably borrowed"):
                iter(stream)
            release_peer.set()
            reader.join(10)
            assert got == [1]


def test_a_signal_handler_on_the_waiting_thread_may_close_the_stream():
    release_peer = threading.Event()
    with ThreadPeer(lambda conn: (conn.sendall(HEADER), release_peer.wait(30))) as peer:
        stream = ostrel.open(peer.source)
        previous = signal.signal(signal.SIGUSR1, lambda *_: stream.close())
        sender = subprocess.Popen([sys.executable, "-c",
                                   f"import os, time; time.sleep(0.3); os.kill({os.getpid()}, {int(signal.SIGUSR1)})"])
        try:
            with pytest.raises(OSError, match="stream is closed"):
                next(stream)
        finally:
            sender.wait(10)
            signal.signal(signal.SIGUSR1, previous)
            release_peer.set()


CTRL_C_CHILD = textwrap.dedent("""
    import signal, socket, sys, threading
    import ostrel
    signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started ignoring it
    listener = socket.create_server(("127.0.0.1", 0))  # accepts into its backlog, never sends
    stream = ostrel.open(f"tcp://127.0.0.1:{listener.getsockname()[1]}")
    outcome = []
    def read():
        try:
            next(stream)
        except OSError as e:
            outcome.append(str(e))
    reader = threading.Thread(target=read)
    reader.start()
    print("waiting", flush=True)
    try:
        while reader.is_alive():
            reader.join(0.05)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        stream.close()
        reader.join(10)
    print(outcome, reader.is_alive(), flush=True)
""")


def test_ctrl_c_reaches_the_main_thread_while_a_worker_waits():
    child = subprocess.Popen([sys.executable, "-c", CTRL_C_CHILD], stdout=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    try:
        assert child.stdout.readline().strip() == "waiting"
        threading.Event().wait(0.2)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=20)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert out.splitlines() == ["interrupted", "['stream is closed'] False"]
    assert child.returncode == 0


def test_a_frame_larger_than_the_buffer_obeys_the_timeout_and_resumes():
    """70 extension entries of 65,535 bytes outgrow the 4 MiB buffer; the peer stops inside the
    last ones, then sends the rest once the timeout has fired."""
    entries = [(1, b"x" * 65535)] * 69 + [(16, (5).to_bytes(8, "little")), (1, b"last")]
    big = qssf.frame(3, detector_events=[1, 0, 1], extensions=entries)
    data = HEADER + frames(1, 2) + big + frames(4, 1)
    cut = len(data) - 200_000
    timed_out = threading.Event()

    def serve(conn):
        conn.sendall(data[:cut])
        timed_out.wait(30)
        conn.sendall(data[cut:])

    with ThreadPeer(serve) as peer:
        with ostrel.open(peer.source, timeout=0.3) as stream:
            assert [next(stream).frame_id, next(stream).frame_id] == [1, 2]
            with pytest.raises(TimeoutError):
                next(stream)
            timed_out.set()
            stream.timeout = 30
            frame = next(stream)
            assert (frame.frame_id, frame.observable_flips) == (3, 5)
            assert frame.to_numpy_detector_events().tolist() == [1, 0, 1]
            assert next(stream).frame_id == 4


def test_a_slow_drip_is_bounded_by_the_timeout_of_the_call():
    """One byte every 2 ms never leaves the stream silent for 50 ms, yet the call ends at its
    deadline; the frame is then resumed intact by later calls."""
    frame = qssf.frame(1, detector_events=[1, 1, 0, 1], observable_flips=9, text="t" * 300)
    data = HEADER + frame

    def drip(conn):
        for i in range(len(data)):
            conn.sendall(data[i:i + 1])
            threading.Event().wait(0.002)

    with ThreadPeer(drip) as peer:
        with ostrel.open(peer.source, timeout=0.05) as stream:
            timeouts = 0
            while True:
                try:
                    got = next(stream)
                    break
                except TimeoutError:
                    timeouts += 1
            assert timeouts > 0
            assert got.frame_id == 1 and got.to_numpy_detector_events().tolist() == [1, 1, 0, 1]
            assert got.observable_flips == 9
