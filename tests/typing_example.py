"""Checked by mypy --strict in test_typing.py: everyday use of the API, typed through the stubs."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import _ostrel
import ostrel
from ostrel import qssf


def fired_per_frame(path: str) -> list[int]:
    counts: list[int] = []
    with _ostrel.OstrelStream(path) as stream:
        for frame in stream:
            events: npt.NDArray[np.bool_] = frame.to_numpy_detector_events()
            counts.append(int(events.sum()) + frame.detector_event_count * 0)
            row: dict[str, object] = frame.to_dict()
            assert "frame_id" in row
    return counts


def decode(path: str, dem_text: str, truth: list[int]) -> float:
    model = _ostrel.DetectorErrorModel.parse(dem_text)
    accumulator = _ostrel.LogicalErrorAccumulator(model.observable_count)
    window = _ostrel.SyndromeWindow(model.detector_count, 1)
    with ostrel.open(path, decoder=dem_text) as stream:
        for frame, true_mask in zip(stream, truth):
            window.push(frame)
            accumulator.record(_ostrel.DecoderResult(frame.observable_flips, confidence=0.5), true_mask)
    active: list[int] = window.active_detectors()
    assert len(window) >= 0 and active is not None
    schema: str = model.to_schema_json("demo")
    return accumulator.mean_logical_error_rate() + 0 * len(schema)


def write(path: str) -> int:
    with qssf.QssfWriter(path) as w:
        w.write_frame(1, detector_events=[0, 1])
        return w.frames_written


member: _ostrel.CodeType = _ostrel.CodeType.SURFACE_CODE
version: str = _ostrel.__version__
