"""Files written whole or not at all: the commands that write (convert, synth, the demo's plot)
write beside the target and rename on success, so a failure leaves the old file as it was."""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from typing import Iterator


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _partial_beside(path: str) -> str:
    if os.path.isdir(path):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, partial = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".partial", dir=folder)
    except OSError as e:
        raise type(e)(e.errno, f"cannot write here: {e.strerror}", path) from None
    os.close(fd)
    return partial


def check_writable(path: str | os.PathLike[str]) -> None:
    """Raises the ``OSError`` ``replacing(path)`` would raise on entry; writes nothing."""
    os.unlink(_partial_beside(os.fspath(path)))


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a new file's path beside ``path``; the file replaces ``path`` when the block ends
    without an exception and is removed otherwise.

    An output that cannot be written (a folder, a missing or read-only folder) raises the
    ``OSError`` naming ``path`` on entry, before the block does any work.
    """
    path = os.fspath(path)
    partial = _partial_beside(path)
    try:
        # A new file gets the permissions any file made here would; a replaced one keeps its own.
        mode = os.stat(path).st_mode & 0o7777 if os.path.exists(path) else 0o666 & ~_umask()
        os.chmod(partial, mode)
        yield partial
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise
