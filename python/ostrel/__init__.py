"""ostrel: quantum-error-correction syndrome streams (QSSF) into Python, and their decoding.

The native core is the extension module ``_ostrel``; this package re-exports its classes and
adds the pieces written in Python: ``open``, ``read`` (a whole file into NumPy arrays), a QSSF
writer (``ostrel.qssf``), a replay server
(``ostrel.replay``), synthetic experiments (``ostrel.synth``) and a command line
(``python -m ostrel``).
"""

from __future__ import annotations

import builtins
import os
import warnings
from typing import TYPE_CHECKING, Any

from _ostrel import (  # noqa: F401  (re-exports)
    CodeType,
    Decoder,
    DecoderResult,
    DetectorErrorModel,
    FrameBatch,
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
from ostrel import best as _best
from ostrel.best import BEST_METHOD, best_decoder

if TYPE_CHECKING:
    from ostrel.monitor import Monitor

__all__ = [
    "CodeType",
    "Decoder",
    "DecoderResult",
    "DetectorErrorModel",
    "FrameBatch",
    "LogicalCorrection",
    "LogicalErrorAccumulator",
    "OstrelError",
    "OstrelStream",
    "SlidingWindowDecoder",
    "SpacetimeGraph",
    "SyndromeFrame",
    "SyndromeWindow",
    "__version__",
    "BEST_METHOD",
    "best_decoder",
    "Monitor",
    "open",
    "sinter_decoders",
    "read",
]

def __getattr__(name: str) -> Any:
    # The monitor (and its web server) is imported only by those who use it.
    if name == "Monitor":
        from ostrel.monitor import Monitor

        return Monitor
    raise AttributeError(f"module 'ostrel' has no attribute {name!r}")


# The smallest frame a file can hold: a header and the payload length, no ancillas, no trailer.
_MIN_FRAME_BYTES = 38
_STREAM_HEADER_BYTES = 26


def open(
    source: str | os.PathLike[str],
    decoder: Any = None,
    window_depth: int = 0,
    timeout: float | None = None,
) -> OstrelStream:
    """Open a QSSF stream on a file path or ``tcp://host:port``.

    With ``decoder`` every frame is decoded on arrival. A model (a DEM file path, DEM
    text, a ``pathlib.Path``, a ``stim.DetectorErrorModel`` or a ``DetectorErrorModel``)
    is decoded by the package's best decoder, ``ostrel.best_decoder(model)`` (today
    correlated matching); an ``ostrel.Decoder`` or ``ostrel.SlidingWindowDecoder`` is used as
    it is. ``stream.set_decoder(model)`` itself keeps the fixed Union-Find procedure, the
    reference procedure for comparisons (it fails more shots than no correction). A
    string that names no file and holds no model raises ``FileNotFoundError``; a model
    without error mechanisms (all of whose predictions would be 0) draws a
    ``RuntimeWarning``.

    With ``timeout`` (seconds), a ``next()`` that waits longer for its frame raises
    ``TimeoutError``; the stream stays usable and the next call resumes the frame.
    Waiting can always be interrupted (Ctrl-C raises ``KeyboardInterrupt``).
    """
    stream = OstrelStream(os.fspath(source))
    try:
        stream.timeout = timeout
        if decoder is not None:
            stream.set_decoder(_best.decoder_for(decoder), window_depth)
            _warn_if_empty(decoder)
    except BaseException:
        stream.close()
        raise
    return stream


def _warn_if_empty(decoder: Any) -> None:
    # Read the model the way set_decoder does (it has just succeeded, so this cannot fail). A
    # ready-made decoder object is taken as it is.
    if isinstance(decoder, (Decoder, SlidingWindowDecoder)):
        return
    if isinstance(decoder, str):
        text = _read_text(decoder) if "\0" not in decoder and os.path.exists(decoder) else decoder
    elif hasattr(decoder, "__fspath__"):
        text = _read_text(os.fspath(decoder))
    else:
        text = str(decoder)
    if DetectorErrorModel.parse(text).error_count == 0:
        warnings.warn(
            "the decoder's model has no error mechanisms: every prediction will be 0 "
            "(is it a detector error model, not a circuit?)",
            RuntimeWarning,
            stacklevel=3,
        )


def _read_text(path: str) -> str:
    with builtins.open(path, encoding="utf-8") as f:
        return f.read()


def sinter_decoders() -> dict[str, Any]:
    """``sinter.Decoder`` objects for ``sinter.collect(custom_decoders=...)``, keyed by name.

    One per method of ``ostrel.Decoder``, named for whose it is: "ostrel-weighted-union-find",
    "ostrel-matching" and "ostrel-union-find" (the names without "ostrel-" stay as aliases). Needs
    the sinter package (``pip install sinter``).
    """
    from ostrel.sinter_plugin import sinter_decoders as decoders

    return dict(decoders())


def read(path: str | os.PathLike[str], decoder: Any = None, window_depth: int = 0, *,
         bit_packed: bool = False) -> FrameBatch:
    """Read a whole QSSF file into one ``FrameBatch`` of NumPy arrays.

    Decodes every frame when ``decoder`` is given, as ``open`` does. Every frame of the file must
    have the same ancilla count (``OstrelStream.read_batch`` reads mixed files batch by batch);
    a malformed frame raises the ``OSError`` iterating the file would raise, and a file cut
    inside a frame (or its stream header) raises ``OSError`` ("truncated frame ..."), each
    prefixed with the file's name.
    """
    path = os.fspath(path)
    size = os.path.getsize(path)
    # Room for as many frames as the file could hold; what is not filled is never made resident
    # and is given back when the batch is complete.
    bound = max(1, (size - _STREAM_HEADER_BYTES) // _MIN_FRAME_BYTES + 1)
    with open(path, decoder, window_depth) as stream:
        stream._treat_end_as_final()  # a cut tail is an error, not frames still to come
        try:
            batch = stream.read_batch(bound, bit_packed=bit_packed)
            rest = stream.read_batch(1, bit_packed=bit_packed)
        except OSError as e:
            raise OSError(f"{path}: {e}") from None
        if len(rest):
            first = int(batch.ancilla_count[0])
            raise ValueError(
                f"{path} holds frames of more than one ancilla count ({first}, then "
                f"{int(rest.ancilla_count[0])} from frame id {int(rest.frame_id[0])}); read it in "
                f"batches with OstrelStream.read_batch")
    return batch
