"""Batch reads (OstrelStream.read_batch, ostrel.read) against the per-frame iterator."""

import random

import numpy as np
import pytest

import ostrel
from ostrel import qssf

MIXED = [  # every optional section, masks on some frames, sparse and dense events
    dict(frame_id=3, round=1, timestamp_ns=2**64 - 1, detector_events=[1, 0, 1, 1, 0, 0, 0, 1, 1],
         meas_results=[-1, 1, 0, 127, -128, 1, 1, 1, 1], observable_flips=0b101),
    dict(frame_id=4, round=2, detector_events=[0] * 9, timing_offsets=[5] * 9, ancilla_bits=b"\x01\x00",
         annotations=[(1, 2, 3)], text="note", code_type=255, distance=7),
    dict(frame_id=9, round=3, detector_events=[1] * 9, observable_flips=2**64 - 1, qubit_count=3),
    dict(frame_id=10, rle=bytes([0x85, 0x00, 0xFF]), ancilla_count=9),  # runs past the end are cut
]


def iterate(path, decoder=None, depth=0):
    with ostrel.open(path, decoder, depth) as stream:
        return list(stream)


def check_batch_equals_frames(batch, frames):
    assert len(batch) == len(frames)
    for name in ("frame_id", "round", "timestamp_ns", "qubit_count", "ancilla_count",
                 "detector_event_count", "code_type", "distance"):
        assert getattr(batch, name).tolist() == [getattr(f, name) for f in frames], name
    events = np.array([f.to_numpy_detector_events() for f in frames]).reshape(len(frames), -1)
    if batch.bit_packed:
        assert batch.detector_events.dtype == np.uint8
        np.testing.assert_array_equal(batch.detector_events, np.packbits(events, axis=1, bitorder="little"))
    else:
        assert batch.detector_events.dtype == np.bool_
        np.testing.assert_array_equal(batch.detector_events, events)
    np.testing.assert_array_equal(batch.meas_results,
                                  np.array([f.to_numpy_meas_results() for f in frames]).reshape(len(frames), -1))
    masks = [f.to_dict()["observable_flips"] for f in frames]
    assert batch.has_observable_flips.tolist() == [m is not None for m in masks]
    assert batch.observable_flips.tolist() == [m or 0 for m in masks]


@pytest.mark.parametrize("bit_packed", [False, True])
@pytest.mark.parametrize("max_frames", [1, 3, 100])
def test_batches_hold_what_the_iterator_yields(frames_file, bit_packed, max_frames):
    path = frames_file(*MIXED)
    frames = iterate(path)
    with ostrel.open(path) as stream:
        got = []
        while len(batch := stream.read_batch(max_frames, bit_packed=bit_packed)):
            assert len(batch) <= max_frames and batch.bit_packed == bit_packed
            got.append(batch)
        assert len(stream.read_batch(5)) == 0  # the end stays the end
    for i, batch in enumerate(got):
        check_batch_equals_frames(batch, frames[i * max_frames:(i + 1) * max_frames])
    whole = ostrel.read(path, bit_packed=bit_packed)
    check_batch_equals_frames(whole, frames)


@pytest.mark.parametrize("ancillas", [1, 7, 8, 9, 200])
def test_bit_packing_follows_stim_b8_order(write_stream, ancillas):
    rng = np.random.default_rng(ancillas)
    rows = rng.random((40, ancillas)) < 0.4
    rows[0] = True  # runs longer than a byte, and than one RLE byte (127)
    data = qssf.stream_header() + b"".join(qssf.frame(i + 1, detector_events=r.astype(int).tolist())
                                           for i, r in enumerate(rows))
    batch = ostrel.read(write_stream(data), bit_packed=True)
    np.testing.assert_array_equal(batch.detector_events, np.packbits(rows, axis=1, bitorder="little"))
    np.testing.assert_array_equal(ostrel.read(write_stream(data)).detector_events, rows)


def outcomes_by_iterator(path, limit):
    out = []
    with ostrel.open(path) as stream:
        stream._treat_end_as_final()
        while len(out) < limit:
            try:
                out.append(next(stream).frame_id)
            except StopIteration:
                break
            except OSError as e:
                out.append(str(e))
    return out


def outcomes_by_batches(path, limit, plan):
    """Reads with read_batch(k) for each k of the plan in turn (0 meaning next())."""
    out = []
    with ostrel.open(path) as stream:
        stream._treat_end_as_final()
        for k in plan:
            if len(out) >= limit:
                break
            try:
                if k == 0:
                    out.append(next(stream).frame_id)
                    continue
                batch = stream.read_batch(k)
                if not len(batch):
                    break
                out.extend(batch.frame_id.tolist())
            except StopIteration:
                break
            except OSError as e:
                out.append(str(e))
    return out[:limit]


def f(i, **kw):
    return qssf.frame(i, detector_events=[i % 2, 1, 0], **kw)


BAD_STREAMS = {
    "header crc": [f(1), f(2), f(3, header_crc=0), f(4)],
    "id backwards": [f(1), f(5), f(5), f(6), f(2), f(7)],
    "bad trailer": [f(1), f(2, trailer=b"\xff\xff\0\0\0\0"), f(3)],
    "truncated": [f(1), f(2), f(3)[:40]],
    "bad magic": [],
}


@pytest.mark.parametrize("name", sorted(BAD_STREAMS))
@pytest.mark.parametrize("plan", [[1] * 12, [2] * 12, [3, 0, 2, 0, 0, 5, 1, 1, 1, 1], [100] * 8])
def test_failures_come_at_the_same_frame_with_the_same_text(write_stream, name, plan):
    header = qssf.stream_header(magic=0x51535347) if name == "bad magic" else qssf.stream_header()
    path = write_stream(header + b"".join(BAD_STREAMS[name]))
    expected = outcomes_by_iterator(path, 9)
    assert any(isinstance(o, str) for o in expected)
    got = outcomes_by_batches(path, 9, plan)
    assert got == expected[:len(got)]
    assert outcomes_by_batches(path, 9, [3] * 20) == expected


def test_a_batch_stops_where_the_ancilla_count_changes(write_stream):
    data = qssf.stream_header() + b"".join(
        qssf.frame(i, detector_events=[1] * n) for i, n in [(1, 4), (2, 4), (3, 2), (4, 2), (5, 4)])
    path = write_stream(data)
    with ostrel.open(path) as stream:
        first = stream.read_batch(10)
        assert first.frame_id.tolist() == [1, 2] and first.detector_events.shape == (2, 4)
        assert next(stream).frame_id == 3  # the frame the batch stopped before
        assert stream.read_batch(10).frame_id.tolist() == [4]
        assert stream.read_batch(10).detector_events.shape == (1, 4)
    with pytest.raises(ValueError, match=r"more than one ancilla count \(4, then 2 from frame id 3\)"):
        ostrel.read(path)


def test_bad_arguments_and_closed_streams_consume_nothing(frames_file):
    path = frames_file(*MIXED)
    with ostrel.open(path) as stream:
        for bad in (0, -1, -2**70):
            with pytest.raises(ValueError, match="max_frames must be at least 1, got"):
                stream.read_batch(bad)
        for bad in (1.0, "3", None):
            with pytest.raises(TypeError, match="max_frames"):
                stream.read_batch(bad)
        with pytest.raises(TypeError):
            stream.read_batch(3, True)  # bit_packed is keyword-only
        with pytest.raises(ValueError, match="is too large"):
            stream.read_batch(2**70)
        assert next(stream).frame_id == 3
    with pytest.raises(OSError, match="stream is closed"):
        stream.read_batch(1)


@pytest.mark.huge_allocation
def test_an_output_that_cannot_be_allocated_loses_no_frame(frames_file):
    path = frames_file(*MIXED)
    with ostrel.open(path) as stream:
        with pytest.raises((MemoryError, ValueError), match="frame batch of 1152921504606846975 frames"):
            stream.read_batch(2**60 - 1)
        assert stream.read_batch(10).frame_id.tolist() == [3, 4, 9, 10]


def test_decoding_in_batches_equals_decoding_frame_by_frame(tmp_path):
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=5, rounds=5,
                                     after_clifford_depolarization=0.05)
    dem = circuit.detector_error_model()
    detectors = circuit.compile_detector_sampler(seed=3).sample(300)
    path = str(tmp_path / "rep.qssf")
    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(detectors.reshape(-1, 4), ancilla_count=4)
    masks = [fr.observable_flips for fr in iterate(path, dem)]
    assert any(masks)
    with ostrel.open(path, dem) as stream:
        batches = [stream.read_batch(k) for k in (1, 7, 500, 2000)]
    assert all(b.has_observable_flips.all() for b in batches)
    assert np.concatenate([b.observable_flips for b in batches]).tolist() == masks
    assert ostrel.read(path, dem, bit_packed=True).observable_flips.tolist() == masks


def test_to_pandas(frames_file):
    pd = pytest.importorskip("pandas")
    path = frames_file(*MIXED)
    frame = ostrel.read(path).to_pandas()
    assert isinstance(frame, pd.DataFrame)
    assert frame["frame_id"].tolist() == [3, 4, 9, 10]
    assert str(frame["observable_flips"].dtype) == "UInt64"
    assert frame["observable_flips"].isna().tolist() == [False, True, False, True]
    assert int(frame["observable_flips"][2]) == 2**64 - 1
    np.testing.assert_array_equal(frame["detector_events"][0], iterate(path)[0].to_numpy_detector_events())


def test_a_large_file_round_trips(tmp_path):
    rng = random.Random(5)
    rows = [sorted(rng.sample(range(64), rng.randint(0, 3))) for _ in range(50_000)]
    path = str(tmp_path / "big.qssf")
    with qssf.QssfWriter(path) as w:  # more than the 4 MiB ring: frames straddle its end
        w.write_frames_fast(rows, ancilla_count=64, rounds=range(len(rows)))
    batch = ostrel.read(path, bit_packed=True)
    assert batch.frame_id.tolist() == list(range(len(rows)))
    events = np.unpackbits(batch.detector_events, axis=1, count=64, bitorder="little")
    assert [np.flatnonzero(r).tolist() for r in events] == rows


def test_a_live_batch_returns_what_has_arrived_and_keeps_the_rest(tmp_path):
    from peers import Peer

    frames = [f(i) for i in range(1, 7)]
    script = [("send", qssf.stream_header() + b"".join(frames[:3])), ("sleep", 0.5),
              ("send", b"".join(frames[3:5]) + frames[5][:20]), ("sleep", 0.5), ("send", frames[5][20:])]
    with Peer(script) as peer, ostrel.open(f"tcp://127.0.0.1:{peer.port}") as stream:
        stream.timeout = 5.0
        got = []
        while len(batch := stream.read_batch(100)):
            got.append(batch.frame_id.tolist())
    # Each batch waited for its first frame only; the frame cut in two came whole in a later batch.
    assert sum(got, []) == [1, 2, 3, 4, 5, 6] and len(got) >= 3


def test_a_batch_waits_for_its_first_frame_within_the_timeout():
    from peers import Peer

    with Peer([("send", qssf.stream_header()), ("sleep", 3)]) as peer:
        with ostrel.open(f"tcp://127.0.0.1:{peer.port}") as stream:
            stream.timeout = 0.2
            with pytest.raises(TimeoutError, match="no frame arrived within the timeout of 0.2 s"):
                stream.read_batch(10)
