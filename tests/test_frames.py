import numpy as np
import pytest

import _ostrel
from _ostrel import CodeType, DecoderResult, OstrelError, OstrelStream
from ostrel import qssf

NO_DECODER = ("No decoder configured \u2014 call stream.set_decoder() or use "
              "ostrel.open(..., decoder=...) before reading observable_flips")


def read_frames(path):
    with OstrelStream(path) as stream:
        return list(stream)


@pytest.fixture
def sample(frames_file):
    events = [0, 1, 1, 0, 0, 0, 1, 0]
    path = frames_file(
        dict(frame_id=7, round=3, timestamp_ns=2**63 + 5, qubit_count=17, code_type=1, distance=3,
             detector_events=events, meas_results=[-1, 1, 0, 127, -128, 1, 1, 1]),
        dict(frame_id=2**64 - 1, round=2**32 - 1, code_type=255, distance=255, detector_events=[],
             observable_flips=0),
        dict(frame_id=2**64 - 1 - 0, round=0, detector_events=[1, 1], observable_flips=2**64 - 1,
             trailer=b""),  # id repeats: rejected
    )
    return path


def test_frame_fields_and_repr(sample):
    with OstrelStream(sample) as stream:
        first = next(stream)
        second = next(stream)
    assert (first.frame_id, first.round, first.timestamp_ns) == (7, 3, 2**63 + 5)
    assert (first.qubit_count, first.ancilla_count, first.detector_event_count) == (17, 8, 3)
    assert (first.code_type, first.distance) == (1, 3)
    assert first.code_type != CodeType.SURFACE_CODE and type(first.code_type) is int
    assert repr(first) == "SyndromeFrame(frame_id=7, round=3, detector_events=3/8)"
    assert repr(second) == ("SyndromeFrame(frame_id=18446744073709551615, round=4294967295, "
                            "detector_events=0/0)")
    assert second.code_type == 255 and second.distance == 255


def test_observable_flips_presence(sample):
    first, second = read_frames_until_error(sample)
    with pytest.raises(OstrelError) as info:
        first.observable_flips
    assert info.value.args == (NO_DECODER,)
    assert first.to_dict()["observable_flips"] is None
    assert second.observable_flips == 0 and second.to_dict()["observable_flips"] == 0


def read_frames_until_error(path):
    frames = []
    with OstrelStream(path) as stream:
        try:
            for f in stream:
                frames.append(f)
        except OSError as e:
            assert str(e) == "frame ID went backwards: last seen 18446744073709551615, got 18446744073709551615"
    return frames


def test_measurement_bytes_and_arrays(sample):
    first, second = read_frames_until_error(sample)
    assert first.meas_results() == bytes([0xFF, 1, 0, 127, 0x80, 1, 1, 1])
    meas = first.to_numpy_meas_results()
    assert meas.dtype == np.int8 and meas.shape == (8,) and meas.tolist() == [-1, 1, 0, 127, -128, 1, 1, 1]
    events = first.to_numpy_detector_events()
    assert events.dtype == np.bool_ and events.tolist() == [False, True, True, False, False, False, True, False]
    for array in (meas, events):
        assert array.flags.c_contiguous and array.flags.writeable and array.ndim == 1
        assert type(array.base).__name__ == "PySliceContainer"
    events[:] = True
    meas[0] = 5
    assert first.to_numpy_detector_events().sum() == 3
    assert first.to_numpy_meas_results()[0] == -1
    empty = second.to_numpy_detector_events()
    assert empty.shape == (0,) and empty.dtype == np.bool_
    assert second.meas_results() == b""


def test_to_dict_keys_and_values(sample):
    first = read_frames_until_error(sample)[0]
    d = first.to_dict()
    assert list(d) == ["frame_id", "round", "timestamp_ns", "qubit_count", "ancilla_count",
                       "detector_event_count", "code_type", "distance", "detector_events",
                       "observable_flips"]
    assert [d[k] for k in list(d)[:8]] == [7, 3, 2**63 + 5, 17, 8, 3, 1, 3]
    assert d["detector_events"].tolist() == first.to_numpy_detector_events().tolist()
    assert d["detector_events"] is not first.to_dict()["detector_events"]


def test_detector_events_are_cut_and_padded_to_the_ancilla_count(frames_file):
    path = frames_file(
        dict(frame_id=1, rle=b"\xff\xff", meas_results=[1] * 10),   # 254 ones for 10 ancillas
        dict(frame_id=2, rle=b"\x81", meas_results=[1] * 5),
    )
    long, short = read_frames(path)
    assert long.detector_event_count == 254 and long.to_numpy_detector_events().all()
    assert repr(long) == "SyndromeFrame(frame_id=1, round=0, detector_events=254/10)"
    assert short.to_numpy_detector_events().tolist() == [True, False, False, False, False]


def test_null_decode_and_decoder_result_reprs(sample):
    first = read_frames_until_error(sample)[0]
    result = first.null_decode()
    assert repr(result) == "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b0)"
    assert result is not first.null_decode()


@pytest.mark.parametrize("args, text", [
    ((3,), "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b11)"),
    ((5, 1), "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b101)"),
    ((0, 0.9), "DecoderResult(corrections=0, confidence=0.9000, observable_flips=0b0)"),
    ((0, 0.12345), "DecoderResult(corrections=0, confidence=0.1235, observable_flips=0b0)"),
    ((0, 0.00005), "DecoderResult(corrections=0, confidence=0.0001, observable_flips=0b0)"),
    ((0, float("nan")), "DecoderResult(corrections=0, confidence=NaN, observable_flips=0b0)"),
    ((0, float("inf")), "DecoderResult(corrections=0, confidence=inf, observable_flips=0b0)"),
    ((0, float("-inf")), "DecoderResult(corrections=0, confidence=-inf, observable_flips=0b0)"),
    ((0, -1e20), "DecoderResult(corrections=0, confidence=-100000000000000000000.0000, observable_flips=0b0)"),
    ((0, 1e300), "DecoderResult(corrections=0, confidence=" + f"{1e300:.4f}" + ", observable_flips=0b0)"),
    ((2**64 - 1,), "DecoderResult(corrections=0, confidence=1.0000, observable_flips=0b" + "1" * 64 + ")"),
])
def test_decoder_result_repr(args, text):
    assert repr(DecoderResult(*args)) == text


def test_decoder_result_arguments():
    r = DecoderResult(observable_flips=6, confidence=0.5)
    assert (r.observable_flips, r.confidence, r.corrections) == (6, 0.5, [])
    assert r.corrections is not r.corrections
    assert DecoderResult(1, confidence=2).confidence == 2.0
    with pytest.raises(OverflowError):
        DecoderResult(-1)
    with pytest.raises(OverflowError):
        DecoderResult(2**64)
    with pytest.raises(TypeError, match="argument 'observable_flips'"):
        DecoderResult(1.5)
    with pytest.raises(TypeError, match="argument 'confidence'"):
        DecoderResult(1, "high")
    with pytest.raises(TypeError):
        DecoderResult()
    with pytest.raises(TypeError, match="keyword argument"):
        DecoderResult(1, certainty=1.0)


@pytest.mark.parametrize("attribute, variant", [
    ("SURFACE_CODE", "SurfaceCode"), ("HONEYCOMB_CODE", "HoneycombCode"), ("COLOR_CODE", "ColorCode"),
    ("REPETITION_CODE", "RepetitionCode"), ("TORIC_CODE", "ToricCode"),
    ("BIVARIATE_BICYCLE", "BivariateBicycle"), ("HYPERGRAPH_PRODUCT", "HypergraphProduct"),
    ("FIBER_BUNDLE", "FiberBundle"), ("CUSTOM", "Custom"),
])
def test_code_type_members(attribute, variant):
    member = getattr(CodeType, attribute)
    assert repr(member) == f"CodeType.{variant}"
    assert getattr(CodeType, attribute) is member
    assert member == member and member != CodeType.SURFACE_CODE or attribute == "SURFACE_CODE"
    with pytest.raises(TypeError):
        int(member)
    with pytest.raises((TypeError, AttributeError)):
        setattr(CodeType, attribute, None)


def test_frames_and_results_are_read_only(sample):
    first = read_frames_until_error(sample)[0]
    with pytest.raises(AttributeError):
        first.frame_id = 1
    with pytest.raises(AttributeError):
        DecoderResult(1).observable_flips = 2
    assert _ostrel.LogicalCorrection.logical_id.__get__ is not None
