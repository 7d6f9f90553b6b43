"""OstrelStream over TCP: addresses, peers that trickle, pause, close, reset or send corrupt
frames, and the stream's threads and descriptors. Every peer runs in a child process
(tests/peers.py), so that its timing does not depend on the test's own threads."""

import gc
import os
import socket

import pytest

from _ostrel import OstrelStream
from ostrel import qssf
from peers import Peer

HEADER = qssf.stream_header("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0")


def rich_frame(i: int) -> bytes:
    """A frame with every optional section."""
    return qssf.frame(
        i, round=i, timestamp_ns=1_000 * i, detector_events=[i % 2, 0, 1, 1, 0, 0, 0, 1, 0, 1],
        meas_results=[1, -1, 1, 1, -1, 1, 1, 1, -1, 1], timing_offsets=[10 * i] * 10,
        ancilla_bits=b"\x5a\x01", observable_flips=i, text=f"frame {i}", extensions=[(4, b"\x07")],
        annotations=[(1, i, 2), (3, 2 * i, 4)])


def plain_frame(i: int) -> bytes:
    return qssf.frame(i, round=i, detector_events=[0, 1, 0, i % 2])


def summary(frame) -> dict:
    d = frame.to_dict()
    d["detector_events"] = d["detector_events"].tolist()
    d["meas_results"] = list(frame.meas_results())
    return d


def outcomes(stream, limit: int = 20) -> list:
    """What each __next__ gives: a frame summary, an error text, or "end" (which stops)."""
    out = []
    for _ in range(limit):
        try:
            out.append(summary(next(stream)))
        except StopIteration:
            out.append("end")
            return out
        except OSError as e:
            out.append(str(e))
            if out[-2:-1] == out[-1:]:  # an error that repeats stays
                return out
    return out


@pytest.fixture
def stream_file(tmp_path):
    """Writes bytes to a new file; returns its path as a str."""
    names = iter(range(1 << 30))

    def write(data: bytes) -> str:
        path = tmp_path / f"s{next(names)}.qssf"
        path.write_bytes(data)
        return str(path)
    return write


@pytest.fixture
def file_outcomes(stream_file):
    """What reading the same bytes from a whole file (its end taken as final) gives."""
    def read(data: bytes) -> list:
        with OstrelStream(stream_file(data)) as stream:
            stream._treat_end_as_final()
            return outcomes(stream)
    return read


@pytest.fixture
def refusing_port():
    """A loopback port that refuses connections: bound, never listening."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def ipv6_loopback() -> bool:
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


# --------------------------------------------------------------------------- addresses

@pytest.mark.parametrize("source, detail", [
    ("tcp://", "invalid socket address"),
    ("tcp://tcp://", "invalid socket address"),
    ("tcp://localhost", "invalid socket address"),
    ("tcp://localhost:99999", "invalid port value"),
    ("tcp://127.0.0.1:65536", "invalid port value"),
    ("tcp://localhost:http", "invalid port value"),
    ("tcp://localhost:-1", "invalid port value"),
    ("tcp://[::1]:", "invalid port value"),
])
def test_malformed_addresses(source, detail):
    with pytest.raises(OSError) as e:
        OstrelStream(source)
    assert str(e.value) == f"i/o error: {detail}"


@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_connection_refused(refusing_port, host):
    with pytest.raises(ConnectionRefusedError) as e:
        OstrelStream(f"tcp://{host}:{refusing_port}")
    assert str(e.value) == "i/o error: Connection refused (os error 111)"
    assert e.value.errno == 111


def test_a_failed_lookup_reports_the_resolvers_description():
    # An unknown interface name fails inside the resolver, without asking any name server.
    host = "::1%no-such-interface"
    with pytest.raises(socket.gaierror) as expected:
        socket.getaddrinfo(host, 7000, type=socket.SOCK_STREAM)
    with pytest.raises(OSError) as e:
        OstrelStream(f"tcp://[{host}]:7000")
    assert str(e.value) == f"i/o error: {expected.value.strerror}"


def test_every_leading_tcp_prefix_is_removed():
    stream_bytes = HEADER + plain_frame(1)
    with Peer(*[[("send", stream_bytes)]] * 3) as peer:
        for repeat in (1, 2, 3):
            source = "tcp://" * repeat + f"127.0.0.1:{peer.port}"
            with OstrelStream(source) as stream:
                assert [f.frame_id for f in stream] == [1]


@pytest.mark.parametrize("name", ["TCP://127.0.0.1:7000", "file://stream.qssf", "tcp:/127.0.0.1:7000"])
def test_other_schemes_are_file_paths(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / name  # the OS reads "a//b" as "a/b": a directory "TCP:" holding the file
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(HEADER + plain_frame(4))
    with OstrelStream(name) as stream:
        assert [f.frame_id for f in stream] == [4]


@pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback")
def test_bracketed_ipv6_address():
    with Peer([("send", HEADER + plain_frame(6))], host="::1") as peer:
        assert peer.source == f"tcp://[::1]:{peer.port}"
        with OstrelStream(peer.source) as stream:
            assert [f.frame_id for f in stream] == [6]


def test_host_name_is_looked_up():
    with Peer([("send", HEADER + plain_frame(8))]) as peer:
        with OstrelStream(f"tcp://localhost:{peer.port}") as stream:
            assert [f.frame_id for f in stream] == [8]


def _localhost_v6_first() -> bool:
    try:
        infos = socket.getaddrinfo("localhost", 7000, type=socket.SOCK_STREAM)
    except OSError:
        return False
    families = [i[0] for i in infos]
    return bool(families) and families[0] == socket.AF_INET6 and socket.AF_INET in families


@pytest.mark.skipif(not _localhost_v6_first(), reason="the resolver does not give ::1 before 127.0.0.1")
def test_localhost_falls_back_from_ipv6_to_ipv4():
    with Peer([("send", HEADER + plain_frame(9))]) as peer, socket.socket(socket.AF_INET6) as v6:
        v6.bind(("::1", peer.port))  # the IPv6 attempt meets a port that refuses
        with OstrelStream(f"tcp://localhost:{peer.port}") as stream:
            assert [f.frame_id for f in stream] == [9]


# --------------------------------------------------------------------------- peers

def test_peer_close_ends_the_iteration_each_time():
    with Peer([("send", HEADER + plain_frame(1) + plain_frame(2))]) as peer:
        stream = OstrelStream(peer.source)
        assert [f.frame_id for f in stream] == [1, 2]
        for _ in range(2):
            with pytest.raises(StopIteration):
                next(stream)
        stream.close()


def test_bytes_arriving_later_are_delivered_by_the_next_call():
    script = [("send", HEADER + plain_frame(1)), ("sleep", 0.3), ("send", plain_frame(2)[:30]),
              ("sleep", 0.2), ("send", plain_frame(2)[30:] + plain_frame(3)), ("hold",)]
    with Peer(script) as peer:
        with OstrelStream(peer.source) as stream:
            assert [next(stream).frame_id for _ in range(3)] == [1, 2, 3]
        # The client closed while the peer held the connection: nothing was ever written to it.
        assert peer.report() == {"received": [0]}


def test_a_peer_that_trickles_single_bytes(file_outcomes):
    data = HEADER + rich_frame(1) + rich_frame(2) + rich_frame(3)
    with Peer([("trickle", data, 0.0003)]) as peer:
        with OstrelStream(peer.source) as stream:
            got = outcomes(stream)
    assert got == file_outcomes(data)
    assert [o["frame_id"] for o in got[:3]] == [1, 2, 3] and got[3] == "end"


def test_a_disconnect_anywhere_is_one_truncated_frame_then_the_end(file_outcomes):
    """Cut in the stream header, a frame header, the payload, the lists or the trailer: the frames
    before it, one error naming the cut frame and the bytes that arrived, then the end, as a whole
    file ending there gives."""
    frames = [rich_frame(1), rich_frame(2)]
    data = HEADER + b"".join(frames)
    ends = [len(HEADER) + len(frames[0]), len(data)]
    cuts = range(len(data) + 1)
    with Peer(*[[("send", data[:k])] for k in cuts]) as peer:
        for k in cuts:
            with OstrelStream(peer.source) as stream:
                got = outcomes(stream)
            assert got == file_outcomes(data[:k]), f"cut after {k} bytes"
            whole = [e for e in ends if e <= k]
            assert [o["frame_id"] for o in got[:len(whole)]] == [1, 2][:len(whole)]
            if k in (0, len(HEADER)) or k in ends:
                assert got[len(whole):] == ["end"], k
                continue
            assert got[len(whole) + 1:] == ["end"], k
            start = ([len(HEADER)] + ends)[len(whole)]
            if k < len(HEADER):
                assert got[0] == f"truncated stream header: the stream ends after {k} of its 26 bytes"
            else:
                assert got[len(whole)].startswith(f"truncated frame at index {len(whole)}")
                assert f"the stream ends after {k - start} of " in got[len(whole)]


def test_disconnect_inside_the_payload():
    second = qssf.frame(2, detector_events=[0] * 10, meas_results=[1] * 10)
    with Peer([("send", HEADER + plain_frame(1) + second[:40])]) as peer:
        with OstrelStream(peer.source) as stream:
            assert next(stream).frame_id == 1
            with pytest.raises(OSError) as e:
                next(stream)
            with pytest.raises(StopIteration):
                next(stream)
    assert str(e.value) == (f"truncated frame at index 1 (frame id 2): the stream ends after 40 of its "
                            f"{len(second)} bytes")


def test_header_then_close_yields_nothing():
    with Peer([("send", HEADER)]) as peer:
        with OstrelStream(peer.source) as stream:
            assert list(stream) == []


def test_a_corrupt_frame_repeats_its_error_while_the_peer_stays():
    bad = qssf.frame(2, detector_events=[1, 0], header_crc=0x12345678)
    expected = qssf.crc32(bad[:32])
    message = f"CRC32 mismatch: expected {expected:#010x}, got 0x12345678"
    with Peer([("send", HEADER + plain_frame(1) + bad), ("hold",)]) as peer:
        with OstrelStream(peer.source) as stream:
            assert next(stream).frame_id == 1
            for _ in range(3):
                with pytest.raises(OSError) as e:
                    next(stream)
                assert str(e.value) == message
        assert peer.report() == {"received": [0]}


def test_a_reset_is_an_io_error_then_the_end():
    with Peer([("send", HEADER + plain_frame(1)), ("sleep", 0.3), ("reset",)]) as peer:
        with OstrelStream(peer.source) as stream:
            assert next(stream).frame_id == 1
            with pytest.raises(ConnectionResetError) as e:
                next(stream)
            assert str(e.value) == "i/o error: Connection reset by peer (os error 104)"
            assert e.value.errno == 104
            with pytest.raises(StopIteration):
                next(stream)


def test_two_streams_on_two_servers_at_once():
    a_bytes = HEADER + b"".join(plain_frame(i) for i in range(1, 6))
    b_bytes = HEADER + b"".join(rich_frame(i) for i in range(101, 106))
    with Peer([("send", a_bytes)]) as a, Peer([("trickle", b_bytes, 0.0001)]) as b:
        with OstrelStream(a.source) as sa, OstrelStream(b.source) as sb:
            pairs = [(next(sa).frame_id, next(sb).frame_id) for _ in range(5)]
            assert list(sa) == [] and list(sb) == []
    assert pairs == [(i, 100 + i) for i in range(1, 6)]


# --------------------------------------------------------------------------- threads and descriptors

CYCLES = 2000


def _settled(count):
    gc.collect()
    return count()


def test_open_close_cycles_leave_no_thread_or_descriptor(stream_file):
    path = stream_file(HEADER + plain_frame(1) + plain_frame(2))
    with Peer(*[[("send", HEADER + plain_frame(3))]] * CYCLES, limit=120) as peer:
        before = (_settled(threads), _settled(fds))
        for i in range(CYCLES):
            way = i % 3
            for source, ids in ((path, [1, 2]), (peer.source, [3])):
                stream = OstrelStream(source)
                if way == 0:
                    assert [f.frame_id for f in stream] == ids
                    stream.close()
                elif way == 1:
                    with stream:
                        assert next(stream).frame_id == ids[0]
                else:
                    assert next(stream).frame_id == ids[0]
                    del stream  # destroyed while open
        after = (_settled(threads), _settled(fds))
    assert after == before


def test_failed_opens_leave_nothing_behind(refusing_port):
    before = (_settled(threads), _settled(fds))
    for _ in range(200):
        for source, error in [
            (f"tcp://127.0.0.1:{refusing_port}", OSError),
            (f"tcp://localhost:{refusing_port}", OSError),
            ("tcp://localhost:99999", OSError),
            ("/nonexistent/stream.qssf", OSError),
            ("", OSError),
            ("shm://ring0", ValueError),
        ]:
            with pytest.raises(error):
                OstrelStream(source)
    assert (_settled(threads), _settled(fds)) == before


def test_an_open_stream_owns_threads_until_closed_or_destroyed(stream_file):
    path = stream_file(HEADER + plain_frame(1))
    base = threads()
    stream = OstrelStream(path)
    assert threads() > base  # its runtime's workers
    stream.close()
    assert threads() == base
    with OstrelStream(path):
        assert threads() > base
    assert threads() == base
    stream = OstrelStream(path)
    next(stream)  # the file read also started a blocking-pool thread
    del stream
    assert threads() == base


# --------------------------------------------------------------------------- re-entrant use

@pytest.mark.parametrize("hook", ["__str__", "__fspath__"])
@pytest.mark.parametrize("reenter", ["next", "close", "set_decoder"])
def test_reentrant_use_while_set_decoder_runs_is_refused(stream_file, hook, reenter):
    stream = OstrelStream(stream_file(HEADER + plain_frame(1)))

    def touch(self):
        if reenter == "next":
            next(stream)
        elif reenter == "close":
            stream.close()
        else:
            stream.set_decoder("error(0.1) D0")
        return "error(0.1) D0"

    sneaky = type("Sneaky", (), {hook: touch})()
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        stream.set_decoder(sneaky)
    assert next(stream).frame_id == 1  # neither read nor closed by the refused call


@pytest.mark.parametrize("reenter, message", [
    (iter, "Already mutably borrowed"), (lambda s: s.__enter__(), "Already mutably borrowed")])
def test_shared_access_is_refused_while_the_stream_is_borrowed_exclusively(stream_file, reenter, message):
    stream = OstrelStream(stream_file(HEADER + plain_frame(1)))
    seen = []

    class Sneaky:
        def __str__(self):
            try:
                reenter(stream)
            except RuntimeError as e:
                seen.append(str(e))
            return "error(0.1) D0"

    stream.set_decoder(Sneaky())
    assert seen == [message]
    assert iter(stream) is stream  # free again once set_decoder has returned
