"""How a model's detectors fall into the frames of a stream."""

from __future__ import annotations

from typing import Any

import _ostrel


def rounds_layout(model: Any) -> Any:
    """The model's coordinate layout when its frames are rounds that are not numbered block by
    block (surface codes: rounds with holes, ancillas in coordinate order), else None."""
    import numpy as np

    try:
        layout = _ostrel.SlidingWindowDecoder.coordinate_layout(model)
    except ValueError:
        return None
    blocks = np.arange(layout.size).reshape(layout.shape)
    return None if layout.size == model.detector_count and (layout == blocks).all() else layout
