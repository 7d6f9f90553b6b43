"""ostrel: quantum-error-correction syndrome streams (QSSF) into Python, and their decoding.

The native core is the extension module ``_ostrel``; this package re-exports its classes and
adds the pieces written in Python: a QSSF writer (``ostrel.qssf``), a replay server
(``ostrel.replay``) and a command line (``python -m ostrel``).
"""

from _ostrel import (  # noqa: F401  (re-exports)
    CodeType,
    DecoderResult,
    LogicalCorrection,
    OstrelError,
    OstrelStream,
    SyndromeFrame,
    __version__,
)

__all__ = [
    "CodeType",
    "DecoderResult",
    "LogicalCorrection",
    "OstrelError",
    "OstrelStream",
    "SyndromeFrame",
    "__version__",
]
