"""Publish QSSF frames into a shared-memory ring through the C interface (libostrel).

The Python package reads no rings (``OstrelStream("shm://...")`` refuses them); a program in
C, C++ or Rust reads them with ``ostrel_shm_open``. This module is the other side, so that such
a consumer can be tried without hardware: ``publish(path, name)`` replays a recording into a
ring, a frame at a time, each published whole. It loads libostrel with ctypes, from
``$OSTREL_LIBRARY``, beside the ``_ostrel`` module, in the build directory above it, or from
the system's library path.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import mmap
import os
import time
from pathlib import Path
from typing import Callable

from ostrel import qssf
from ostrel.replay import split_frames

__all__ = ["RingWriter", "publish", "load_library", "LibraryNotFound"]

OK = 0
E_WOULD_BLOCK = -5
E_TIMEOUT = -8
# A short wait per attempt when the ring is full, so that Ctrl-C is noticed between attempts.
_FULL_WAIT_NS = 100_000_000


class LibraryNotFound(OSError):
    """libostrel could not be found or loaded."""


_lib: ctypes.CDLL | None = None


def _candidates() -> list[str]:
    found = []
    if os.environ.get("OSTREL_LIBRARY"):
        found.append(os.environ["OSTREL_LIBRARY"])
    try:
        import _ostrel
        here = Path(_ostrel.__file__).resolve().parent
        found += [str(here / "libostrel.so"), str(here.parent / "libostrel.so")]
    except ImportError:
        pass
    system = ctypes.util.find_library("ostrel")
    if system:
        found.append(system)
    return found


def load_library() -> ctypes.CDLL:
    """libostrel, loaded once, with the signatures this module calls."""
    global _lib
    if _lib is not None:
        return _lib
    tried = _candidates()
    for path in tried:
        if not os.path.exists(path) and os.sep in path:
            continue
        try:
            lib = ctypes.CDLL(path)
        except OSError:
            continue
        break
    else:
        raise LibraryNotFound("libostrel (the C interface) was not found; build it with `make build` "
                              "or set OSTREL_LIBRARY to its path")
    vp = ctypes.c_void_p
    lib.ostrel_last_error_message.restype = ctypes.c_char_p
    lib.ostrel_last_error_message.argtypes = []
    lib.ostrel_shm_create.restype = ctypes.c_int32
    lib.ostrel_shm_create.argtypes = [ctypes.c_char_p, ctypes.c_uint64, ctypes.c_char_p, ctypes.c_int64,
                                      ctypes.POINTER(vp)]
    lib.ostrel_writer_write_raw.restype = ctypes.c_int32
    lib.ostrel_writer_write_raw.argtypes = [vp, ctypes.c_char_p, ctypes.c_size_t]
    lib.ostrel_writer_wait_read.restype = ctypes.c_int32
    lib.ostrel_writer_wait_read.argtypes = [vp, ctypes.c_int64]
    lib.ostrel_writer_close.restype = ctypes.c_int32
    lib.ostrel_writer_close.argtypes = [vp]
    lib.ostrel_shm_unlink.restype = ctypes.c_int32
    lib.ostrel_shm_unlink.argtypes = [ctypes.c_char_p]
    _lib = lib
    return lib


def _error(lib: ctypes.CDLL) -> str:
    return lib.ostrel_last_error_message().decode("utf-8", "replace")


class RingWriter:
    """The producer's side of a ring: ``write(frame_bytes)`` publishes one whole frame."""

    def __init__(self, name: str, capacity: int = 1 << 20, schema_id: bytes = bytes(16)) -> None:
        self._lib = load_library()
        handle = ctypes.c_void_p()
        status = self._lib.ostrel_shm_create(name.encode(), capacity, bytes(schema_id), _FULL_WAIT_NS,
                                             ctypes.byref(handle))
        if status != OK:
            raise (ValueError if status == -1 else OSError)(_error(self._lib))
        self._handle: ctypes.c_void_p | None = handle
        self.name = name

    def write(self, frame: bytes) -> None:
        """Publishes the bytes whole, waiting while the ring has no room for them."""
        if self._handle is None:
            raise ValueError("the ring writer is closed")
        while True:
            status = self._lib.ostrel_writer_write_raw(self._handle, frame, len(frame))
            if status == OK:
                return
            if status != E_WOULD_BLOCK:
                raise OSError(_error(self._lib))

    def wait_read(self) -> None:
        """Waits until a consumer has been handed every frame written."""
        if self._handle is None:
            raise ValueError("the ring writer is closed")
        while True:
            status = self._lib.ostrel_writer_wait_read(self._handle, _FULL_WAIT_NS)
            if status == OK:
                return
            if status != E_TIMEOUT:
                raise OSError(_error(self._lib))

    def close(self) -> None:
        """Ends the stream: the consumer reads what is left, then the end of the stream."""
        if self._handle is not None:
            handle, self._handle = self._handle, None
            if self._lib.ostrel_writer_close(handle) != OK:
                raise OSError(_error(self._lib))

    def __enter__(self) -> "RingWriter":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def publish(path: str | os.PathLike, name: str, rate: float | None = None, capacity: int = 1 << 20,
            ready: Callable[[RingWriter], None] | None = None) -> int:
    """Publishes the recording's frames into a new ring ``name``; returns how many.

    The ring's stream header carries the recording's schema id. Frames go in as they are on
    disk, paced at ``rate`` frames per second when given; a rest that is not a whole frame is
    left out. At the end the ring waits until a consumer has been handed every frame, then is
    closed and its name removed; the name is removed too when publishing fails or is
    interrupted (Ctrl-C), so that no segment is left behind.
    """
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else b""
    created = False
    try:
        head, pieces = split_frames(data)
        schema = bytes(data[6:22]) if head == qssf.STREAM_HEADER_LEN else bytes(16)
        with RingWriter(name, capacity, schema) as ring:
            created = True
            if ready is not None:
                ready(ring)
            start = time.monotonic()
            sent = 0
            for piece in pieces:
                if piece.frame_id is None:
                    break
                if rate is not None:
                    delay = start + sent / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                ring.write(bytes(data[piece.start:piece.end]))
                sent += 1
            ring.wait_read()
        return sent
    finally:
        if created:
            unlink(name)
        if isinstance(data, mmap.mmap):
            data.close()


def unlink(name: str) -> None:
    """Removes a ring's name; consumers attached keep reading."""
    lib = load_library()
    if lib.ostrel_shm_unlink(name.encode()) != OK:
        raise OSError(_error(lib))
