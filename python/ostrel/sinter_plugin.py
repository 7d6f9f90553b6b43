"""The methods of ``ostrel.Decoder`` as sinter decoders, for ``sinter.collect(custom_decoders=...)``.

This module imports sinter, which is a test and demo dependency of ostrel, not a runtime one;
``ostrel.sinter_decoders()`` imports it only when asked. The classes live at module level so that
sinter can pickle them into its worker processes.
"""

from __future__ import annotations

import numpy as np
import sinter
import stim

from _ostrel import DECODE_METHODS, DEFAULT_METHOD, Decoder

# The methods offered; the fixed reference procedure ("union-find") is left out of the list but
# OstrelSinterDecoder("union-find") still builds it, for comparisons.
METHODS = tuple(DECODE_METHODS)


class CompiledOstrelDecoder(sinter.CompiledDecoder):  # type: ignore[misc]
    """One model's decoder: bit-packed shots in, bit-packed predictions out."""

    def __init__(self, decoder: Decoder) -> None:
        self.decoder = decoder

    def decode_shots_bit_packed(self, *, bit_packed_detection_event_data: np.ndarray) -> np.ndarray:
        return self.decoder.decode_batch(
            bit_packed_detection_event_data, bit_packed_shots=True, bit_packed_predictions=True)


class OstrelSinterDecoder(sinter.Decoder):  # type: ignore[misc]
    """``ostrel.Decoder(dem, method=method)`` for each model sinter samples."""

    def __init__(self, method: str = DEFAULT_METHOD) -> None:
        self.method = method

    def compile_decoder_for_dem(self, *, dem: stim.DetectorErrorModel) -> CompiledOstrelDecoder:
        return CompiledOstrelDecoder(Decoder(dem, method=self.method))


# The names sinter_decoders gave before they said whose they are, kept so that existing
# collect(..., decoders=[...]) calls go on working.
ALIASES = ("weighted-union-find", "matching", "union-find")


def sinter_decoders() -> dict[str, sinter.Decoder]:
    decoders = {f"ostrel-{method}": OstrelSinterDecoder(method) for method in METHODS}
    decoders.update({alias: decoders.get(f"ostrel-{alias}") or OstrelSinterDecoder(alias) for alias in ALIASES})
    return decoders
