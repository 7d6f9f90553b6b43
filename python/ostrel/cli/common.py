"""What the commands share: their error type, argument checks and the progress bar."""

from __future__ import annotations

import argparse
import sys
from typing import Any


class CommandError(Exception):
    """A problem with the command's arguments or inputs, reported as one line on stderr."""


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


CODE_NAMES = {1: "surface", 2: "honeycomb", 3: "color", 4: "repetition", 5: "toric",
              6: "bivariate_bicycle", 7: "hypergraph_product", 8: "fiber_bundle", 255: "custom"}


def progress_bar(total: int | None, label: str, enabled: bool) -> Any:
    """A tqdm bar on stderr for long runs, or a stand-in that does nothing."""
    if enabled:
        try:
            from tqdm import tqdm

            return tqdm(total=total, desc=label, unit=" frames", file=sys.stderr, mininterval=0.5)
        except ImportError:
            pass

    class Quiet:
        def update(self, n: int = 1) -> None:
            pass

        def close(self) -> None:
            pass

    return Quiet()


