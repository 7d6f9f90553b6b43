import os
import pathlib

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from _ostrel import OstrelStream
from ostrel import qssf


def frame(i, **kw):
    kw.setdefault("detector_events", [i % 2, 0, 1])
    return dict(frame_id=i, round=i, **kw)


def outcomes(stream, limit=50):
    """Frame ids and error texts, one per __next__ call, up to the end of the iteration."""
    out = []
    for _ in range(limit):
        try:
            out.append(next(stream).frame_id)
        except StopIteration:
            return out
        except OSError as e:
            out.append(str(e))
    return out


def test_three_frames_then_the_end_again_and_again(frames_file):
    stream = OstrelStream(frames_file(frame(1), frame(2), frame(5)))
    assert [f.frame_id for f in stream] == [1, 2, 5]
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(stream)


@pytest.mark.parametrize("data", [b"", qssf.stream_header(), qssf.stream_header() + qssf.frame(1)[:20]])
def test_sources_without_a_whole_frame_iterate_zero_times(write_stream, data):
    assert list(OstrelStream(write_stream(data))) == []


def test_with_block_closes_and_exit_returns_false(frames_file):
    path = frames_file(frame(1))
    with OstrelStream(path) as stream:
        assert isinstance(stream, OstrelStream)
        assert iter(stream) is stream
    with pytest.raises(OSError, match="^stream is closed$"):
        next(stream)
    assert stream.close() is None
    other = OstrelStream(path)
    assert other.__exit__(None, None, None) is False
    with pytest.raises(ValueError, match="inside"):
        with OstrelStream(path) as inside:
            raise ValueError("inside")
    with pytest.raises(OSError, match="stream is closed"):
        next(inside)


def test_exit_needs_exactly_three_arguments(frames_file):
    stream = OstrelStream(frames_file(frame(1)))
    with pytest.raises(TypeError):
        stream.__exit__()
    with pytest.raises(TypeError):
        stream.__exit__(None, None, None, None)
    assert stream.__exit__(_exc_type=None, _exc_val=None, _tb=None) is False
    with pytest.raises(OSError):
        next(stream)


def test_bad_header_crc_repeats_without_consuming(frames_file):
    stream = OstrelStream(frames_file(frame(1), frame(2, header_crc=0), frame(3)))
    expected_crc = qssf.crc32(qssf.frame(2, round=2, detector_events=[0, 0, 1])[:32])
    message = f"CRC32 mismatch: expected {expected_crc:#010x}, got 0x00000000"
    assert outcomes(stream, limit=4) == [1, message, message, message]


def test_repeated_frame_id_and_bad_trailer_cost_only_their_frame(frames_file):
    stream = OstrelStream(frames_file(
        frame(1), frame(1), frame(2, trailer=b"\xfe\xff\x1c\xdf\x44\x21"), frame(3), frame(2), frame(4)))
    assert outcomes(stream) == [
        1, "frame ID went backwards: last seen 1, got 1",
        "CRC32 mismatch: expected 0x2144df1c, got 0x2144df1c",
        3, "frame ID went backwards: last seen 3, got 2", 4]


@pytest.mark.parametrize("header, message", [
    (b"QSSF" + bytes(22), "invalid QSSF magic bytes: expected 0x51535346, got 0x46535351"),
    (qssf.stream_header(version=2), "unsupported QSSF format version: 2"),
    (qssf.stream_header(magic=0, version=0), "invalid QSSF magic bytes: expected 0x51535346, got 0x00000000"),
])
def test_stream_header_errors_repeat(frames_file, header, message):
    stream = OstrelStream(frames_file(frame(1), header=header))
    assert outcomes(stream, limit=3) == [message] * 3


def test_file_that_grows_after_the_end_delivers_new_frames(frames_file):
    path = frames_file(frame(1))
    stream = OstrelStream(path)
    assert outcomes(stream) == [1]
    with open(path, "ab") as f:
        f.write(qssf.frame(2, detector_events=[1]))
    assert outcomes(stream) == [2]


def test_stream_larger_than_the_ring_reads_completely(tmp_path):
    path = tmp_path / "big.qssf"
    n = 200
    with qssf.QssfWriter(path) as w:
        count = w.write_frames_fast(([a for a in range(0, n, 17)] for _ in range(40_000)),
                                    ancilla_count=n, observable_flips=iter(lambda: 3, None))
    assert os.path.getsize(path) > 10 * 2**20
    ids = 0
    for f in OstrelStream(str(path)):
        ids += 1
        assert f.detector_event_count == len(range(0, n, 17))
        assert f.observable_flips == 3
    assert ids == count == 40_000


def test_source_must_be_a_str(frames_file):
    path = frames_file(frame(1))
    with pytest.raises(TypeError, match="argument 'source'"):
        OstrelStream(pathlib.Path(path))
    with pytest.raises(TypeError, match="argument 'source'"):
        OstrelStream(path.encode())
    with pytest.raises(TypeError):
        OstrelStream()

    class Text(str):
        pass

    assert len(list(OstrelStream(Text(path)))) == 1
    assert len(list(OstrelStream(source=path))) == 1


@pytest.mark.parametrize("source, error, message", [
    ("shm://", ValueError, "shm:// transport is not available in the Python bindings; "
                           "use the C FFI ostrel_shm_open for SHM access"),
    ("shm://ring0", ValueError, "shm:// transport"),
    ("shm:/ring0", FileNotFoundError, "i/o error: No such file or directory (os error 2)"),
    ("", FileNotFoundError, "i/o error: No such file or directory (os error 2)"),
    ("/no/such/file.qssf", FileNotFoundError, "i/o error: No such file or directory (os error 2)"),
    ("file:///etc/hostname", FileNotFoundError, "i/o error: No such file or directory (os error 2)"),
    ("a\0b", OSError, "i/o error: "),
])
def test_open_failures(source, error, message):
    with pytest.raises(error) as info:
        OstrelStream(source)
    assert type(info.value) is error
    if error is FileNotFoundError:  # made as open() makes it: the path is the filename
        assert (info.value.strerror, info.value.filename) == (message, source)
    else:
        assert str(info.value).startswith(message)
        assert info.value.args == (str(info.value),)
    # The errno Python's own I/O would give; none when no system call failed.
    assert getattr(info.value, "errno", None) == (2 if error is FileNotFoundError else None)


def test_reading_a_directory_is_an_io_error(tmp_path):
    stream = OstrelStream(str(tmp_path))
    with pytest.raises(OSError, match=r"^i/o error: Is a directory \(os error 21\)$"):
        next(stream)


def native_outcome(path):
    """What the native reader yields, up to and including its first error."""
    out = []
    with OstrelStream(path) as stream:
        stream._treat_end_as_final()
        while True:
            try:
                f = next(stream)
            except StopIteration:
                return out, "end"
            except OSError as e:
                return out, str(e)
            out.append((f.frame_id, f.ancilla_count, f.detector_event_count, f.meas_results(),
                        f.to_dict()["observable_flips"], bytes(f.to_numpy_detector_events())))


def python_outcome(data):
    out = []
    try:
        for f in qssf.iter_frames(data):
            out.append((f.frame_id, f.ancilla_count, f.detector_event_count,
                        bytes(b & 0xFF for b in f.meas_results), f.observable_flips,
                        bytes(f.detector_events)))
    except qssf.QssfFormatError as e:
        return out, str(e)
    return out, "end"


SAMPLE = qssf.stream_header() + b"".join([
    qssf.frame(1, detector_events=[1, 0, 1, 1], meas_results=[1, -1, 0, 5], timing_offsets=[1, 2, 3, 4]),
    qssf.frame(2, detector_events=[0] * 9, ancilla_bits=b"\x01\x02", observable_flips=6, text="hi"),
    qssf.frame(4, detector_events=[1], annotations=[(1, 2**60, 3)], extensions=[(99, b"xyz")]),
    qssf.frame(9, detector_events=[1, 1, 1, 0, 0, 1], observable_flips=1),
])


def test_every_truncation_matches_the_reference_parser(write_stream):
    for cut in range(len(SAMPLE) + 1):
        data = SAMPLE[:cut]
        assert native_outcome(write_stream(data)) == python_outcome(data), cut


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.tuples(st.integers(0, len(SAMPLE) - 1), st.integers(0, 255)), min_size=1, max_size=6))
def test_corrupted_streams_fail_cleanly_and_agree_with_the_reference(write_stream, edits):
    data = bytearray(SAMPLE)
    for pos, value in edits:
        data[pos] = value
    assert native_outcome(write_stream(bytes(data))) == python_outcome(bytes(data))


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.binary(max_size=400))
def test_arbitrary_bytes_never_crash(write_stream, tail):
    path = write_stream(qssf.stream_header() + tail)
    with OstrelStream(path) as stream:
        for _ in range(20):
            try:
                next(stream)
            except (StopIteration, OSError):
                pass


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def threads():
    return len(os.listdir("/proc/self/task"))


def test_streams_release_their_file_and_threads_when_closed_destroyed_or_failed(frames_file, tmp_path):
    path = frames_file(frame(1), frame(2))
    fds, tasks = open_fds(), threads()
    for i in range(100):
        stream = OstrelStream(path)
        next(stream)
        assert threads() > tasks
        if i % 2:
            stream.close()
        del stream  # open or closed, nothing may stay behind
        with pytest.raises(OSError):
            OstrelStream(str(tmp_path / "missing"))
    assert (open_fds(), threads()) == (fds, tasks)
