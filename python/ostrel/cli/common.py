"""What the commands share: their error type, argument checks and the progress bar."""

from __future__ import annotations

import argparse
import contextlib
import sys
import time
from typing import Any


class CommandError(Exception):
    """A problem with the command's arguments or inputs, reported as one line on stderr."""


@contextlib.contextmanager
def naming(path: str) -> Any:
    """An OSError raised inside that names no file is reported with `path` (see ``message_of``)."""
    try:
        yield
    except OSError as e:
        if e.filename is None and not hasattr(e, "ostrel_path"):
            e.ostrel_path = path  # type: ignore[attr-defined]
        raise


def message_of(e: BaseException) -> str:
    """The one line a command prints for a failure: an I/O error says which file."""
    path = getattr(e, "ostrel_path", None)
    if path is not None:
        return f"{path}: {e}"
    if isinstance(e, OSError) and e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"  # not str()'s "[Errno N] text: 'name'"
    return str(e)


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


def plural(n: int, word: str) -> str:
    """ "1 observable", "2 observables" (thousands separated)."""
    return f"{n:,} {word}" if n == 1 else f"{n:,} {word}s"


def progress_bar(total: int | None, label: str, enabled: bool) -> Any:
    """A progress display on stderr (tqdm's when installed, else a line of our own), or a
    stand-in that does nothing when `enabled` is false (output is not a terminal)."""
    if not enabled:
        return _Quiet()
    try:
        from tqdm import tqdm
    except ImportError:
        return _ProgressLine(label)
    return tqdm(total=total, desc=label, unit=" frames", file=sys.stderr, mininterval=0.5)


class _Quiet:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


class _ProgressLine:
    """One line rewritten in place at most twice a second: count and rate."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.n = 0
        self.start = self.shown = time.monotonic()

    def update(self, n: int = 1) -> None:
        self.n += n
        now = time.monotonic()
        if now - self.shown >= 0.5:
            self.shown = now
            self._show(now)

    def _show(self, now: float) -> None:
        rate = self.n / (now - self.start) if now > self.start else 0.0
        sys.stderr.write(f"\r{self.label}: {self.n:,} frames ({rate:,.0f} frames/s)")
        sys.stderr.flush()

    def close(self) -> None:
        if self.shown > self.start:  # something was shown: leave the final count on its line
            self._show(time.monotonic())
            sys.stderr.write("\n")
            sys.stderr.flush()


