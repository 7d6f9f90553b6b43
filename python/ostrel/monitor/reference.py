"""Another decoder beside the stream's: whole shots assembled from frames that arrive in order,
decoded in batches as they complete (pymatching's ``decode_batch``, or any object with one), for
its logical error rate on the same shots."""

from __future__ import annotations

from typing import Any

import numpy as np


class Reference:
    def __init__(self, decoder: Any, name: str, layout: np.ndarray, detectors: int, truth: np.ndarray) -> None:
        self.decoder = decoder
        self.name = name
        self.R, self.A = layout.shape
        self.valid_flat = (layout >= 0).ravel()
        self.cell_detector = layout.ravel()[self.valid_flat]
        self.detectors = detectors
        self.truth = truth
        self.carry = np.zeros((0, self.A), dtype=np.uint8)  # the current shot's first rounds
        self.failures = 0
        self.compared = 0

    def reset(self) -> None:
        """Frames were lost or came out of order: the shot under way cannot be assembled."""
        self.carry = self.carry[:0]

    def add(self, events: np.ndarray, r0: int, shots_before: int, ends: int) -> None:
        """Frames of rounds r0, r0 + 1, ... (modulo R) in which `ends` shots end, the first of
        them shot number `shots_before`."""
        if len(self.carry) == r0:
            rows = np.concatenate([self.carry, events]) if r0 else events
        else:  # the shot under way began before what was kept
            rows = events[(self.R - r0) % self.R:]
        whole = len(rows) // self.R
        self.carry = rows[whole * self.R:].copy()
        if not whole:
            return
        shots = rows[:whole * self.R].reshape(whole, self.R * self.A)
        syndromes = np.zeros((whole, self.detectors), dtype=np.uint8)
        syndromes[:, self.cell_detector] = shots[:, self.valid_flat]
        predicted = np.asarray(self.decoder.decode_batch(syndromes), dtype=np.uint64).reshape(whole, -1)
        masks = (predicted << np.arange(predicted.shape[1], dtype=np.uint64)).sum(axis=1, dtype=np.uint64)
        first = shots_before + ends - whole  # the assembled shots are the batch's last ones
        available = max(0, min(whole, len(self.truth) - first))
        self.failures += int(np.count_nonzero(masks[:available] ^ self.truth[first:first + available]))
        self.compared += available
