"""Rebuilds pickled decoders: ``_ostrel``'s classes are builtins that pickle cannot name."""

from __future__ import annotations

from typing import Any


def rebuild(name: str, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    import _ostrel

    return getattr(_ostrel, name)(*args, **kwargs)
