"""ostrel: quantum-error-correction syndrome streams (QSSF) into Python, and their decoding.

The native core is the extension module ``_ostrel``; this package re-exports its classes and
adds the pieces written in Python: ``open``, a QSSF writer (``ostrel.qssf``), a replay server
(``ostrel.replay``), synthetic experiments (``ostrel.synth``) and a command line
(``python -m ostrel``).
"""

from __future__ import annotations

import os
from typing import Any

from _ostrel import (  # noqa: F401  (re-exports)
    CodeType,
    Decoder,
    DecoderResult,
    DetectorErrorModel,
    LogicalCorrection,
    LogicalErrorAccumulator,
    OstrelError,
    OstrelStream,
    SlidingWindowDecoder,
    SpacetimeGraph,
    SyndromeFrame,
    SyndromeWindow,
    __version__,
)

__all__ = [
    "CodeType",
    "Decoder",
    "DecoderResult",
    "DetectorErrorModel",
    "LogicalCorrection",
    "LogicalErrorAccumulator",
    "OstrelError",
    "OstrelStream",
    "SlidingWindowDecoder",
    "SpacetimeGraph",
    "SyndromeFrame",
    "SyndromeWindow",
    "__version__",
    "open",
    "sinter_decoders",
]


def open(source: str | os.PathLike[str], decoder: Any = None, window_depth: int = 0) -> OstrelStream:
    """Open a QSSF stream on a file path or ``tcp://host:port``.

    With ``decoder`` (a DEM file path, DEM text, a ``pathlib.Path``, a
    ``stim.DetectorErrorModel`` or an ``ostrel.Decoder``) every frame is decoded on
    arrival, as ``stream.set_decoder(decoder, window_depth)`` would arrange.
    """
    stream = OstrelStream(os.fspath(source))
    if decoder is not None:
        try:
            stream.set_decoder(decoder, window_depth)
        except BaseException:
            stream.close()
            raise
    return stream


def sinter_decoders() -> dict[str, Any]:
    """``sinter.Decoder`` objects for ``sinter.collect(custom_decoders=...)``, keyed by method.

    One per method of ``ostrel.Decoder``: "weighted-union-find" and "union-find". Needs the
    sinter package (``pip install sinter``).
    """
    from ostrel.sinter_plugin import sinter_decoders as decoders

    return dict(decoders())
