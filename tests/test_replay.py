"""The replay server (ostrel.replay) as a stream's peer, always in a child process."""

import socket
import subprocess
import sys
import threading
import time

import pytest

from _ostrel import OstrelStream
from ostrel import qssf, replay

HEADER = qssf.stream_header("00112233-4455-6677-8899-aabbccddeeff")


def rich_frame(i: int, **kw) -> bytes:
    return qssf.frame(i, round=i, timestamp_ns=7 * i, detector_events=[i % 2, 1, 0, 0, 1, 0],
                      timing_offsets=[i] * 6, ancilla_bits=b"\x21", observable_flips=i, text="t",
                      annotations=[(1, i, 2)], **kw)


def summary(frame) -> dict:
    d = frame.to_dict()
    d["detector_events"] = d["detector_events"].tolist()
    return d


@pytest.fixture
def stream_path(tmp_path):
    def write(data: bytes, name: str = "replay.qssf") -> str:
        path = tmp_path / name
        path.write_bytes(data)
        return str(path)
    return write


def read_file(path: str) -> list:
    with OstrelStream(path) as stream:
        return [summary(f) for f in stream]


def test_a_client_gets_exactly_the_files_frames(stream_path):
    path = stream_path(HEADER + b"".join(rich_frame(i) for i in (1, 2, 5, 9)))
    with replay.running(path) as port:
        for _ in range(2):  # every client gets the whole stream
            with OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
                assert [summary(f) for f in stream] == read_file(path)


def test_paced_and_stamped_frames_keep_their_content(stream_path):
    path = stream_path(HEADER + b"".join(rich_frame(i) for i in range(1, 21)))
    rate = 400.0
    with replay.running(path, rate=rate, stamp_time=True) as port:
        before = time.time_ns()
        with OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
            got = [summary(f) for f in stream]
        after = time.time_ns()
    stamps = [g.pop("timestamp_ns") for g in got]
    expected = read_file(path)
    for e in expected:
        del e["timestamp_ns"]
    assert got == expected  # rewritten headers carry a correct CRC, so every frame was accepted
    assert before <= stamps[0] and stamps == sorted(stamps) and stamps[-1] <= after
    # The schedule, started when the client was accepted, holds frame i back until i / rate
    # seconds after that: a lower bound however slow the machine is.
    assert stamps[-1] - before >= (len(stamps) - 1) / rate * 1e9 * 0.99


def test_looping_keeps_frame_ids_rising(stream_path):
    path = stream_path(HEADER + b"".join(rich_frame(i) for i in (5, 6, 9)))
    with replay.running(path, loop=True) as port:
        with OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
            got = [summary(next(stream)) for _ in range(8)]
    # Each pass adds last - first + 1 = 5 to the ids; the content repeats.
    assert [g["frame_id"] for g in got] == [5, 6, 9, 10, 11, 14, 15, 16]
    once = read_file(path)
    for i, g in enumerate(got):
        assert {**g, "frame_id": 0} == {**once[i % 3], "frame_id": 0}


def test_broken_streams_are_served_as_they_are(stream_path):
    bad = rich_frame(2, header_crc=0xDEADBEEF)
    path = stream_path(HEADER + rich_frame(1) + bad + rich_frame(3))
    message = f"CRC32 mismatch: expected {qssf.crc32(bad[:32]):#010x}, got 0xdeadbeef"
    for loop in (False, True):
        with replay.running(path, loop=loop, stamp_time=True) as port:
            with OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
                assert next(stream).frame_id == 1
                for _ in range(2):
                    with pytest.raises(OSError, match=f"^{message}$"):
                        next(stream)


def test_clients_that_leave_early_do_not_stop_the_server(stream_path):
    path = stream_path(HEADER + b"".join(rich_frame(i) for i in range(1, 4)))
    with replay.running(path, loop=True) as port:
        source = f"tcp://127.0.0.1:{port}"
        for _ in range(5):
            with OstrelStream(source) as stream:
                assert next(stream).frame_id == 1
        with OstrelStream(source) as a, OstrelStream(source) as b:
            ids = [(next(a).frame_id, next(b).frame_id) for _ in range(4)]
        assert ids == [(1, 1), (2, 2), (3, 3), (4, 4)]


def test_the_server_says_when_a_client_comes_and_goes(stream_path):
    path = stream_path(HEADER + b"".join(rich_frame(i) for i in range(1, 4)))
    lines: list[str] = []
    left = threading.Event()

    def report(line):
        lines.append(line)
        left.set() if " left " in line or "whole file" in line else None

    with replay.ReplayServer(path, loop=True, report=report) as server:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        with OstrelStream(f"tcp://{server.address}") as stream:
            assert next(stream).frame_id == 1
        assert left.wait(10)
    assert len(lines) == 2 and lines[0].endswith(" connected") and " left " in lines[1], lines
    assert lines[0].split()[1] == lines[1].split()[1]  # the same client, by its address


@pytest.mark.parametrize("data", [b"", HEADER[:10], HEADER], ids=["empty", "part-header", "header"])
def test_streams_without_frames(stream_path, data):
    path = stream_path(data)
    for kw in ({}, {"loop": True}, {"rate": 1000.0}):
        with replay.running(path, **kw) as port:
            with OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
                if 0 < len(data) < len(HEADER):  # a cut header is reported once, then the end
                    with pytest.raises(OSError, match="truncated stream header: the stream ends after 10 of"):
                        next(stream)
                assert list(stream) == []


def test_split_frames_follows_the_section_lengths():
    frames = [rich_frame(1), qssf.frame(2, detector_events=[1, 0]), rich_frame(3, trailer=b"")]
    data = HEADER + b"".join(frames)
    head, pieces = replay.split_frames(data)
    assert head == qssf.STREAM_HEADER_LEN
    ends = [head + sum(map(len, frames[:i + 1])) for i in range(3)]
    assert [(p.start, p.end, p.frame_id) for p in pieces] == [
        (head, ends[0], 1), (ends[0], ends[1], 2), (ends[1], ends[2], 3)]

    cut = data[:ends[1] - 3]  # inside a trailer: a frame without it, then a 3-byte rest
    assert [(p.end, p.frame_id) for p in replay.split_frames(cut)[1]] == [
        (ends[0], 1), (ends[1] - 6, 2), (len(cut), None)]
    cut = data[:ends[0] + 20]  # inside a header: a rest
    assert [(p.end, p.frame_id) for p in replay.split_frames(cut)[1]] == [(ends[0], 1), (len(cut), None)]


def run_cli(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "ostrel", "replay", *args], capture_output=True,
                          text=True, timeout=30, env=replay._child_env())


@pytest.fixture
def busy_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


@pytest.mark.parametrize("args, text", [
    (["{missing}"], "No such file or directory"),
    (["{dir}"], "Is a directory"),
    (["{file}", "--port", "70000"], "invalid port '70000'"),
    (["{file}", "--port", "seven"], "invalid port 'seven'"),
    (["{file}", "--rate", "0"], "invalid rate '0'"),
    (["{file}", "--rate", "nan"], "invalid rate 'nan'"),
    (["{file}", "--rate", "fast"], "invalid rate 'fast'"),
    (["{file}", "--port", "{busy}"], "Address already in use"),
    (["{file}", "--shm", "ring", "--port", "5"], "--port is for TCP"),
])
def test_command_errors_are_one_line(tmp_path, stream_path, busy_port, args, text):
    values = {"missing": str(tmp_path / "missing.qssf"), "dir": str(tmp_path),
              "file": stream_path(HEADER), "busy": str(busy_port)}
    done = run_cli(*(a.format(**values) for a in args))
    assert done.returncode != 0
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("ostrel replay: ") and text in lines[0], done.stderr


def test_the_started_process_listens_until_stopped(stream_path):
    path = stream_path(HEADER + rich_frame(1))
    proc, port = replay.start(path)
    try:
        assert proc.poll() is None
        with OstrelStream(f"tcp://127.0.0.1:{port}") as stream:
            assert [f.frame_id for f in stream] == [1]
    finally:
        replay.stop(proc)
    assert proc.returncode is not None
    with pytest.raises(OSError, match="Connection refused"):
        OstrelStream(f"tcp://127.0.0.1:{port}")


def test_serves_on_ipv6_loopback(stream_path):
    try:
        socket.socket(socket.AF_INET6).close()
        socket.getaddrinfo("::1", 0)
    except OSError:
        pytest.skip("no IPv6")
    path = stream_path(HEADER + rich_frame(4))
    with replay.running(path, host="::1") as port:
        with OstrelStream(f"tcp://[::1]:{port}") as stream:
            assert [f.frame_id for f in stream] == [4]
