"""The QSSF writer: wire layout, RLE, section order and round trips through the parser."""

import importlib.util
import io
import itertools
import pathlib
import re
import struct
import uuid

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from ostrel import qssf

u8, u16, u32, u64 = (st.integers(0, (1 << b) - 1) for b in (8, 16, 32, 64))


def reference_decode(rle):
    """Independent RLE decoder: bit 7 the value, bits 0-6 the run length."""
    out = []
    for b in rle:
        out += [b >> 7] * (b & 0x7F)
    return out


def minimal_rle_length(events):
    return sum(-(-len(list(g)) // 127) for _, g in itertools.groupby(events))


# ----------------------------------------------------------------------------- known bytes

def test_known_constants_and_crc():
    assert qssf.VALID_TRAILER == bytes([0xFF, 0xFF, 0x1C, 0xDF, 0x44, 0x21])
    assert qssf.crc32(b"123456789") == 0xCBF43926
    assert qssf.frame_header(0, code_type=0, distance=0) == bytes(32) + bytes([0xAD, 0x55, 0x0A, 0x19])


def test_stream_header_layout():
    sid = uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")
    raw = qssf.stream_header(sid, reserved=0xAABBCCDD)
    assert raw == b"FSSQ" + b"\x01\x00" + bytes.fromhex("00112233445566778899aabbccddeeff") + b"\xdd\xcc\xbb\xaa"
    assert qssf.stream_header(str(sid), reserved=0xAABBCCDD) == raw == qssf.stream_header(sid.bytes, reserved=0xAABBCCDD)
    assert qssf.stream_header(magic=0x46535351, version=2)[:6] == b"QSSF\x02\x00"


def test_frame_header_field_offsets():
    raw = qssf.frame_header(0x0102030405060708, round=0x11223344, timestamp_ns=0xA1A2A3A4A5A6A7A8,
                            qubit_count=0x1234, ancilla_count=0x5678, reserved=0xDEADBEEF,
                            code_type=qssf.Code.CUSTOM, distance=17, flags=0xF00F)
    le = lambda off, size: int.from_bytes(raw[off:off + size], "little")  # noqa: E731
    assert len(raw) == qssf.FRAME_HEADER_LEN
    assert [le(0, 8), le(8, 4), le(12, 8), le(20, 2), le(22, 2), le(24, 4), raw[28], raw[29], le(30, 2)] == [
        0x0102030405060708, 0x11223344, 0xA1A2A3A4A5A6A7A8, 0x1234, 0x5678, 0xDEADBEEF, 255, 17, 0xF00F]
    assert le(32, 4) == qssf.crc32(raw[:32])


@settings(max_examples=50)
@given(u64, u32, u64, u16, st.integers(0, 40), u8, u16)
def test_every_valid_frame_has_the_fixed_trailer(frame_id, rnd, ts, qubits, n, code_type, extra_flags):
    raw = qssf.frame(frame_id, round=rnd, timestamp_ns=ts, qubit_count=qubits, ancilla_count=n,
                     code_type=code_type, extra_flags=extra_flags & 0xFFF0)
    assert qssf.crc32(raw[:36]) == qssf.CRC_RESIDUE
    assert raw[-6:] == qssf.VALID_TRAILER


# ----------------------------------------------------------------------------- RLE

@pytest.mark.parametrize("events, rle", [
    ([1, 1, 1, 0, 0, 1], b"\x83\x02\x81"),
    ([], b""),
    ([1] * 300, b"\xff\xff\xae"),
    ([0] * 127, b"\x7f"),
    ([0] * 128 + [1], b"\x7f\x01\x81"),
])
def test_rle_known_encodings(events, rle):
    assert qssf.encode_rle(events) == rle
    assert qssf.encode_rle(np.array(events, dtype=bool)) == rle
    assert qssf.encode_rle_indices([i for i, e in enumerate(events) if e], len(events)) == rle


def test_rle_decoding_rules():
    assert qssf.decode_rle(b"\x83\x02\x81", 8) == [1, 1, 1, 0, 0, 1, 0, 0]
    assert qssf.count_detector_events(b"\x83\x02\x81") == 4
    assert qssf.decode_rle(b"\xff\xff", 10) == [1] * 10 and qssf.count_detector_events(b"\xff\xff") == 254
    assert qssf.count_detector_events(b"\x80") == 0


@given(st.lists(st.integers(0, 1), max_size=700), st.booleans())
def test_rle_round_trip_is_exact_and_minimal(events, trim):
    rle = qssf.encode_rle(events, trim=trim)
    decoded = reference_decode(rle)
    assert decoded + [0] * (len(events) - len(decoded)) == events
    assert all(b & 0x7F for b in rle), "no zero-length runs"
    kept = decoded if trim else events
    assert len(rle) == minimal_rle_length(kept)
    assert rle == qssf.encode_rle(np.array(events, dtype=np.uint8), trim=trim)
    assert rle == qssf.encode_rle_indices([i for i, e in enumerate(events) if e], len(events), trim=trim)


@pytest.mark.parametrize("call", [
    lambda: qssf.encode_rle([0, 2]),
    lambda: qssf.encode_rle(np.array([0, 1, 3])),
    lambda: qssf.encode_rle_indices([3, 3], 5),
    lambda: qssf.encode_rle_indices([5], 5),
    lambda: qssf.frame(1, detector_events=[0, 1], ancilla_count=3),
    lambda: qssf.frame(1, meas_results=[1, 200]),
    lambda: qssf.frame(1, meas_results=[1, 1], ancilla_count=3),
    lambda: qssf.frame(1, meas_results=np.array([1, 200], dtype=np.uint8)),
    lambda: qssf.QssfWriter(io.BytesIO()).write_frames_fast([()], ancilla_count=1, meas_results=np.array([[200]])),
    lambda: qssf.QssfWriter(io.BytesIO()).write_frames_fast([(0,)], ancilla_count=1, observable_flips=[-1]),
    lambda: qssf.frame(1, timing_offsets=[70000]),
    lambda: qssf.frame(1, ancilla_count=9, ancilla_bits=b"\x00"),
    lambda: qssf.frame(1, annotations=[(0, 0, 0)] * 256),
    lambda: qssf.frame(1, observable_flips=1 << 64),
    lambda: qssf.frame(-1),
    lambda: qssf.frame(1, ancilla_count=70000),
    lambda: qssf.stream_header(bytes(15)),
])
def test_invalid_input_is_refused(call):
    with pytest.raises(ValueError):
        call()


# ----------------------------------------------------------------------------- frame layout

def test_frame_with_every_section_matches_hand_assembled_bytes():
    raw = qssf.frame(3, round=4, timestamp_ns=5, ancilla_count=9, detector_events=[0, 1, 1, 0, 0, 0, 0, 0, 1],
                     meas_results=[1, -1, 1, 1, 1, 1, 1, 1, -128], timing_offsets=range(100, 109),
                     ancilla_bits=b"\xa5\x01", observable_flips=0x8000000000000001, text="é",
                     extensions=[(9, b""), (2, b"\x07\x00\x00\x00")], annotations=[(0xAB, 42, 0xCD)],
                     extra_flags=0x8000)
    header = struct.pack("<QIQHHIBBH", 3, 4, 5, 19, 9, 0, 255, 0, 0x800F)  # custom family, distance 0
    expected = (header + struct.pack("<I", qssf.crc32(header))
                + b"\x04\x00" + b"\x01\x82\x05\x81"
                + bytes([1, 0xFF, 1, 1, 1, 1, 1, 1, 0x80])
                + struct.pack("<9H", *range(100, 109))          # timing offsets before ancilla bits
                + b"\xa5\x01"
                + b"\x04\x00"
                + b"\x01\x00\x02\x00\xc3\xa9"
                + b"\x10\x00\x08\x00" + (0x8000000000000001).to_bytes(8, "little")
                + b"\x09\x00\x00\x00"
                + b"\x02\x00\x04\x00\x07\x00\x00\x00"
                + b"\x01" + bytes([0xAB]) + (42).to_bytes(8, "little") + bytes([0xCD])
                + qssf.VALID_TRAILER)
    assert raw == expected


def test_flags_follow_the_sections_present():
    assert qssf.frame(1, ancilla_count=2)[30:32] == b"\x00\x00"
    empty_ext = qssf.frame(1, ancilla_count=2, extensions=[])
    assert empty_ext[30] == qssf.FLAG_EXTENSIONS and empty_ext[-8:-6] == b"\x00\x00"
    empty_ann = qssf.frame(1, ancilla_count=2, annotations=[])
    assert empty_ann[30] == qssf.FLAG_ANNOTATIONS and empty_ann[-7] == 0
    assert qssf.frame(1, ancilla_count=2, trailer=b"")[-2:] == b"\x01\x01"


ext_entries = st.lists(st.tuples(u16, st.binary(max_size=12)), max_size=4)


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_writer_round_trips_through_the_parser(data):
    n = data.draw(st.integers(0, 200))
    kw = dict(
        round=data.draw(u32), timestamp_ns=data.draw(u64), code_type=data.draw(u8), distance=data.draw(u8),
        detector_events=data.draw(st.lists(st.integers(0, 1), min_size=n, max_size=n)),
        meas_results=data.draw(st.lists(st.integers(-128, 127), min_size=n, max_size=n)),
        timing_offsets=data.draw(st.none() | st.lists(u16, min_size=n, max_size=n)),
        ancilla_bits=data.draw(st.none() | st.binary(min_size=(n + 7) // 8, max_size=(n + 7) // 8)),
        observable_flips=data.draw(st.none() | u64), text=data.draw(st.none() | st.text(max_size=5)),
        extensions=data.draw(st.none() | ext_entries),
        annotations=data.draw(st.none() | st.lists(st.tuples(u8, u64, u8), max_size=3)))
    ids = sorted(data.draw(st.sets(u64, min_size=1, max_size=3)))
    stream = qssf.stream_header(uuid.uuid4()) + b"".join(qssf.frame(i, **kw) for i in ids)
    _, frames = qssf.read_stream(stream)
    assert [f.frame_id for f in frames] == ids
    f = frames[-1]
    assert (f.round, f.timestamp_ns, f.code_type, f.distance, f.ancilla_count) == (
        kw["round"], kw["timestamp_ns"], kw["code_type"], kw["distance"], n)
    assert f.detector_events == kw["detector_events"] and list(f.meas_results) == kw["meas_results"]
    assert list(f.timing_offsets) == (kw["timing_offsets"] or [])
    assert f.ancilla_bits == (kw["ancilla_bits"] or b"")
    entries = ([(1, kw["text"].encode())] if kw["text"] is not None else []) + \
        ([(16, struct.pack("<Q", kw["observable_flips"]))] if kw["observable_flips"] is not None else []) + \
        (kw["extensions"] or [])
    has_ext = any(kw[k] is not None for k in ("observable_flips", "text", "extensions"))
    assert f.extensions == (tuple(entries) if has_ext else None)
    assert f.annotations == (None if kw["annotations"] is None else tuple(kw["annotations"]))
    assert f.trailer == qssf.VALID_TRAILER


# ----------------------------------------------------------------------------- parser errors

@pytest.mark.parametrize("tail, message", [
    (qssf.frame(1, ancilla_count=1, header_crc=0), "CRC32 mismatch: expected "),
    (qssf.frame(1, ancilla_count=1, trailer=b"\xfe\xff\x1c\xdf\x44\x21"),
     "CRC32 mismatch: expected 0x2144df1c, got 0x2144df1c"),
    (qssf.frame(0, ancilla_count=1), "frame ID went backwards: last seen 0, got 0"),
    (qssf.frame(2, rle=b"\x01\x02\x03\x04", ancilla_count=10)[:36 + 2 + 9],
     "truncated frame at index 1 (frame id 2): the stream ends after 47 of its 58 bytes"),
])
def test_parser_rejects_broken_streams(tail, message):
    stream = qssf.stream_header() + qssf.frame(0, ancilla_count=1) + tail
    with pytest.raises(qssf.QssfFormatError, match=re.escape(message)):
        list(qssf.iter_frames(stream))


def test_parser_reports_cut_ends():
    whole = qssf.stream_header() + qssf.frame(0, ancilla_count=1)
    cases = [
        (whole[:10], "truncated stream header: the stream ends after 10 of its 26 bytes"),
        (whole[:-3], "truncated frame at index 0 (frame id 0): the stream ends after 43 of its 46 bytes"),
        (whole + qssf.frame_header(1)[:20], "truncated frame at index 1: the stream ends after 20 of at least 44"),
        (qssf.stream_header() + qssf.frame(0, ancilla_count=1, observable_flips=7, text="x")[:-9],
         "truncated frame at index 0 (frame id 0): the stream ends after 56 of its 65 bytes"),
    ]
    for data, message in cases:
        with pytest.raises(qssf.QssfFormatError, match=re.escape(message)):
            list(qssf.iter_frames(data))
    assert list(qssf.iter_frames(qssf.stream_header())) == []
    with pytest.raises(qssf.QssfFormatError, match="invalid QSSF magic bytes: expected 0x51535346, got 0x46535351"):
        qssf.read_stream(b"QSSF" + bytes(30))


# ----------------------------------------------------------------------------- writer

def test_writer_to_path_and_file(tmp_path):
    path = tmp_path / "s.qssf"
    with qssf.QssfWriter(path, uuid.UUID(int=5)) as w:
        w.write_frame(10, ancilla_count=3, observable_flips=1)
        w.write_frame(None, ancilla_count=3)
        w.write_raw(b"\x00")
    assert (w.frames_written, w.last_frame_id, w.closed) == (2, 11, True)
    header, frames = qssf.read_stream(path.read_bytes()[:-1])
    assert header.schema_uuid == uuid.UUID(int=5) and [f.frame_id for f in frames] == [10, 11]

    buf = io.BytesIO()
    with qssf.QssfWriter(buf, header=False) as w:
        w.write_frame(1)
    assert buf.getvalue() == qssf.frame(1) and not buf.closed


@pytest.mark.parametrize("checksum", [False, True])
def test_fast_path_writes_the_same_bytes_as_frame(checksum):
    rng = np.random.default_rng(7)
    events = rng.random((50, 70)) < 0.05
    events[3, :] = True                       # long runs too
    flips = [None if i % 3 else i for i in range(50)]
    meas = rng.integers(-128, 128, (50, 70)).astype(np.int8)
    expected = b"".join(qssf.frame(5 + i, round=i, timestamp_ns=9 * i, detector_events=events[i],
                                   meas_results=meas[i], observable_flips=flips[i], distance=5,
                                   payload_checksum=checksum)
                        for i in range(50))
    for rows in (events, [np.flatnonzero(r).tolist() for r in events], list(events)):
        buf = io.BytesIO()
        with qssf.QssfWriter(buf, header=False, payload_checksum=checksum) as w:
            w.write_frame(4, ancilla_count=70, payload_checksum=False)
            assert w.write_frames_fast(rows, ancilla_count=70, rounds=range(50), timestamps_ns=range(0, 450, 9),
                                       observable_flips=flips, meas_results=meas, distance=5, batch=64) == 50
        assert buf.getvalue()[len(qssf.frame(4, ancilla_count=70)):] == expected
        assert (w.frames_written, w.last_frame_id) == (51, 54)
    # Lists of 0/1 rows (what NumPy users have at hand) read as rows, not as fired indices; a
    # list that can only be indices must rise.
    dense = io.BytesIO()
    qssf.QssfWriter(dense, header=False).write_frames_fast([[0, 1, 0], [1, 1, 0]], ancilla_count=3)
    assert dense.getvalue() == qssf.frame(0, detector_events=[0, 1, 0]) + qssf.frame(1, detector_events=[1, 1, 0])
    with pytest.raises(ValueError, match="strictly rising"):
        qssf.QssfWriter(io.BytesIO()).write_frames_fast([[2, 1]], ancilla_count=3)


def test_benchmark_reader_agrees_with_the_parser(tmp_path):
    spec = importlib.util.spec_from_file_location(
        "pure_python_reader", pathlib.Path(__file__).parents[1] / "bench" / "pure_python_reader.py")
    reader = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reader)
    path = tmp_path / "b.qssf"
    with qssf.QssfWriter(path) as w:
        for i in range(20):
            w.write_frame(i * 2, round=i, ancilla_count=12, detector_events=[(i >> k) & 1 for k in range(12)],
                          timing_offsets=[i] * 12 if i % 2 else None, ancilla_bits=b"\x01\x02" if i % 3 else None,
                          observable_flips=i if i % 4 else None, annotations=[(1, i, 2)] if i % 5 else None)
    mine = [(f.frame_id, f.round, f.detector_events, bytes(b & 0xFF for b in f.meas_results), f.observable_flips)
            for f in qssf.iter_frames(path.read_bytes())]
    theirs = [(f.frame_id, f.round, f.detector_events, f.meas_results, f.observable_flips)
              for f in reader.read_file(str(path))]
    assert mine == theirs and len(mine) == 20


def test_fast_path_takes_observables_as_numpy_users_hold_them():
    np = pytest.importorskip("numpy")
    obs = np.array([[1, 0, 1], [0, 0, 0], [0, 1, 0]], dtype=bool)  # shots x observables, as Stim samples
    masks = [0b101, 0, 0b010]
    forms = [obs, obs.astype(np.uint8), np.array(masks, dtype=np.uint64), np.array(masks, dtype=np.int32),
             [np.int64(m) for m in masks], obs[:, :1], obs[:, 0]]
    expected_masks = [masks] * 5 + [[1, 0, 0], [1, 0, 0]]
    for form, want in zip(forms, expected_masks):
        buf = io.BytesIO()
        qssf.QssfWriter(buf, header=False).write_frames_fast(np.zeros((3, 2), bool), ancilla_count=2,
                                                             observable_flips=form)
        assert buf.getvalue() == b"".join(qssf.frame(i, ancilla_count=2, observable_flips=m)
                                          for i, m in enumerate(want)), form
    assert qssf.frame(0, ancilla_count=1, observable_flips=np.True_) == qssf.frame(0, ancilla_count=1, observable_flips=1)
    for bad, needle in [(np.zeros((3, 65), bool), "at most 64"), (np.full((3, 1), 2), "0 or 1"),
                        (np.array([1, -1, 0]), "negative"), (np.zeros(3, float), "one mask per frame")]:
        with pytest.raises(ValueError, match=needle):
            qssf.QssfWriter(io.BytesIO()).write_frames_fast(np.zeros((3, 2), bool), ancilla_count=2,
                                                            observable_flips=bad)


@pytest.mark.parametrize("kwargs", [
    {"rounds": [0, 1]},
    {"frame_ids": range(4)},
    {"observable_flips": np.zeros(2, np.uint64)},
    {"meas_results": np.ones((4, 2), np.int8)},
])
def test_write_frames_fast_refuses_inputs_of_different_lengths_before_writing(kwargs):
    out = io.BytesIO()
    writer = qssf.QssfWriter(out)
    written = out.getbuffer().nbytes
    with pytest.raises(ValueError, match="per-frame inputs differ in length"):
        writer.write_frames_fast(np.zeros((3, 2), np.uint8), ancilla_count=2, **kwargs)
    assert out.getbuffer().nbytes == written and writer.frames_written == 0


def test_a_flipped_payload_bit_is_named_by_every_reader_and_the_stream_goes_on(tmp_path):
    import ostrel
    from ostrel.replay import split_frames

    buf = io.BytesIO()
    with qssf.QssfWriter(buf, payload_checksum=True) as w:
        w.write_frames_fast(np.eye(2, 9, dtype=bool), ancilla_count=9, observable_flips=[None, 1])
        w.write_frame(timing_offsets=range(9), ancilla_bits=b"\x01\x02", meas_results=[-1] * 9)
        w.write_frames_fast(np.eye(2, 9, 3, dtype=bool), ancilla_count=9)
    clean = buf.getvalue()
    assert [f.frame_id for f in qssf.iter_frames(clean) if f.payload_checksum is not None] == [0, 1, 2, 3, 4]
    start = split_frames(clean)[1][2].start + qssf.FRAME_HEADER_LEN  # frame 2's payload
    end = start + 2 + 1 + 9 + 18 + 2  # RLE length, RLE, results, offsets, ancilla bits
    path = tmp_path / "flipped.qssf"
    for at in range(start + 2, end):  # (a flipped length would move the frame's end instead)
        data = bytearray(clean)
        data[at] ^= 0x04
        path.write_bytes(bytes(data))
        want = (f"payload checksum mismatch in frame at index 2 (frame id 2): CRC-32C expected "
                f"{qssf.crc32c(bytes(data[start:end])):#010x}, got {qssf.crc32c(clean[start:end]):#010x}")
        with pytest.raises(qssf.QssfFormatError, match=re.escape(want)):
            list(qssf.iter_frames(bytes(data)))
        with ostrel.open(str(path)) as stream:
            ids = [next(stream).frame_id, next(stream).frame_id]
            with pytest.raises(OSError, match=f"^{re.escape(want)}$"):
                next(stream)
            assert ids + [f.frame_id for f in stream] == [0, 1, 3, 4]
        with pytest.raises(OSError, match=re.escape(want)):
            ostrel.read(str(path))
