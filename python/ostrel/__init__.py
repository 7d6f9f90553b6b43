"""ostrel: quantum-error-correction syndrome streams (QSSF) into Python, and their decoding.

The native core is the extension module ``_ostrel``; this package re-exports its classes and
adds the pieces written in Python: ``open``, ``read`` (a whole file into NumPy arrays), a QSSF
writer (``ostrel.qssf``), a replay server
(``ostrel.replay``), synthetic experiments (``ostrel.synth``) and a command line
(``python -m ostrel``).
"""

from __future__ import annotations

import os
from typing import Any

from _ostrel import (  # noqa: F401  (re-exports)
    CodeType,
    DecoderResult,
    DetectorErrorModel,
    FrameBatch,
    LogicalCorrection,
    LogicalErrorAccumulator,
    OstrelError,
    OstrelStream,
    SpacetimeGraph,
    SyndromeFrame,
    SyndromeWindow,
    __version__,
)

__all__ = [
    "CodeType",
    "DecoderResult",
    "DetectorErrorModel",
    "FrameBatch",
    "LogicalCorrection",
    "LogicalErrorAccumulator",
    "OstrelError",
    "OstrelStream",
    "SpacetimeGraph",
    "SyndromeFrame",
    "SyndromeWindow",
    "__version__",
    "open",
    "read",
]

# The smallest frame a file can hold: a header and the payload length, no ancillas, no trailer.
_MIN_FRAME_BYTES = 38
_STREAM_HEADER_BYTES = 26


def open(source: str | os.PathLike[str], decoder: Any = None, window_depth: int = 0) -> OstrelStream:
    """Open a QSSF stream on a file path or ``tcp://host:port``.

    With ``decoder`` (a DEM file path, DEM text, a ``pathlib.Path`` or a
    ``stim.DetectorErrorModel``) every frame is decoded on arrival, as
    ``stream.set_decoder(decoder, window_depth)`` would arrange.
    """
    stream = OstrelStream(os.fspath(source))
    if decoder is not None:
        try:
            stream.set_decoder(decoder, window_depth)
        except BaseException:
            stream.close()
            raise
    return stream


def read(path: str | os.PathLike[str], decoder: Any = None, window_depth: int = 0, *,
         bit_packed: bool = False) -> FrameBatch:
    """Read a whole QSSF file into one ``FrameBatch`` of NumPy arrays.

    Decodes every frame when ``decoder`` is given, as ``open`` does. Every frame of the file must
    have the same ancilla count (``OstrelStream.read_batch`` reads mixed files batch by batch);
    a malformed frame raises the ``OSError`` iterating the file would raise.
    """
    path = os.fspath(path)
    size = os.path.getsize(path)
    # Room for as many frames as the file could hold; what is not filled is never made resident
    # and is given back when the batch is complete.
    bound = max(1, (size - _STREAM_HEADER_BYTES) // _MIN_FRAME_BYTES + 1)
    with open(path, decoder, window_depth) as stream:
        batch = stream.read_batch(bound, bit_packed=bit_packed)
        rest = stream.read_batch(1, bit_packed=bit_packed)
        if len(rest):
            first = int(batch.ancilla_count[0])
            raise ValueError(
                f"{path} holds frames of more than one ancilla count ({first}, then "
                f"{int(rest.ancilla_count[0])} from frame id {int(rest.frame_id[0])}); read it in "
                f"batches with OstrelStream.read_batch")
    return batch
