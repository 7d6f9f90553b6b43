"""Serve a QSSF file over TCP the way a control system streams syndrome frames.

Every client that connects gets the file's stream header, then its frames, and the connection is
closed after the last one. Clients are served independently, each from its own thread, and a
client that disconnects early only ends its own replay. The server never reads from a client.

Options:

- ``rate``: pace the frames at that many frames per second (measured from the client's
  connection); frames that fall behind the schedule are sent together. Without a rate the file is
  sent as fast as the connection takes it.
- ``loop``: send the frames again and again until the client leaves. Each pass renumbers the
  frame ids so that they keep rising across passes: pass p adds p * (highest id - lowest id + 1)
  to every id (modulo 2**64), so for a file whose ids rise the first frame of a pass follows the
  last frame of the one before (ids 5, 6, 9 are sent as 5, 6, 9, 10, 11, 14, 15, ...). The
  stream header is sent once per connection.
- ``stamp_time``: overwrite each frame's ``timestamp_ns`` with the wall-clock time
  (``time.time_ns()``) at which it is sent, for measuring delivery latency.

Rewritten frames (renumbered or stamped) get a fresh header CRC. A frame whose header CRC was
already wrong is never rewritten, and a file that cannot be cut into frames past some point (for
example one that ends inside a frame) has that rest sent unchanged, once, so deliberately broken
streams reach the client as they are on disk.

Use from Python with ``serve(path, ...)`` (blocks until interrupted), ``ReplayServer`` to control
the lifetime, or ``start(path, ...)`` to run the server in a child process and learn its port;
from the shell with ``python -m ostrel replay FILE --port P [--rate FPS] [--loop]``.
"""

from __future__ import annotations

import contextlib
import math
import mmap
import os
import selectors
import socket
import struct
import subprocess
import sys
import threading
import time
import zlib
from typing import Callable, Iterator

from ostrel import qssf

__all__ = ["ReplayServer", "serve", "start", "running", "split_frames", "Piece"]

_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_EXT_HEAD = struct.Struct("<HH")
# Byte offsets inside a frame header.
_ID_AT, _ANCILLAS_AT, _FLAGS_AT, _CRC_AT = 0, 22, 30, 32
_TIMESTAMP_AT = 12

_SEND_BATCH = 1 << 20  # bytes gathered before one send when sending unpaced
_HEADER_CRC_BYTES = 32


class Piece:
    """One frame of a file (``start``/``end`` byte offsets), or a rest that is not a frame."""

    __slots__ = ("start", "end", "frame_id", "header_ok")

    def __init__(self, start: int, end: int, frame_id: int | None, header_ok: bool) -> None:
        self.start = start
        self.end = end
        self.frame_id = frame_id  # None for a rest that is not a whole frame
        self.header_ok = header_ok

    def __repr__(self) -> str:
        return f"Piece({self.start}, {self.end}, frame_id={self.frame_id}, header_ok={self.header_ok})"


def split_frames(data: bytes | memoryview | mmap.mmap) -> tuple[int, list[Piece]]:
    """Cut QSSF bytes into the stream header's length and the frames after it.

    Frame lengths come from the header fields, the way the reader walks a stream; a frame keeps
    its 6-byte trailer when 6 bytes follow it. Bytes that do not form a whole frame (a frame
    cut short, or anything after a header whose CRC is wrong) become one last piece whose
    ``frame_id`` is None.
    """
    size = len(data)
    head = min(size, qssf.STREAM_HEADER_LEN)
    pieces: list[Piece] = []
    pos = head
    u16_from = _U16.unpack_from
    while pos < size:
        end = _frame_end(data, pos, size, u16_from)
        if end is None:
            pieces.append(Piece(pos, size, None, False))
            break
        header_ok = zlib.crc32(data[pos:pos + _HEADER_CRC_BYTES]) == _U32.unpack_from(data, pos + _CRC_AT)[0]
        if not header_ok:
            pieces.append(Piece(pos, size, None, False))
            break
        pieces.append(Piece(pos, end, _U64.unpack_from(data, pos)[0], True))
        pos = end
    return head, pieces


def _frame_end(data, pos: int, size: int, u16_from) -> int | None:
    """Offset just past the frame starting at ``pos``, or None when the data ends inside it."""
    p = pos + qssf.FRAME_HEADER_LEN
    if p + 2 > size:
        return None
    n = u16_from(data, pos + _ANCILLAS_AT)[0]
    flags = u16_from(data, pos + _FLAGS_AT)[0]
    p += 2 + u16_from(data, p)[0] + n
    if flags & qssf.FLAG_TIMING_OFFSETS:
        p += 2 * n
    if flags & qssf.FLAG_ANCILLA_BITS:
        p += (n + 7) // 8
    if flags & qssf.FLAG_EXTENSIONS:
        if p + 2 > size:
            return None
        k = u16_from(data, p)[0]
        p += 2
        for _ in range(k):
            if p + 4 > size:
                return None
            p += 4 + _EXT_HEAD.unpack_from(data, p)[1]
    if flags & qssf.FLAG_ANNOTATIONS:
        if p + 1 > size:
            return None
        p += 1 + 10 * data[p]
    if p > size:
        return None
    return p + qssf.TRAILER_LEN if p + qssf.TRAILER_LEN <= size else p


def _rewrite(frame: memoryview, frame_id: int | None, timestamp_ns: int | None) -> bytes:
    """The frame with a new id and/or timestamp and its header CRC recomputed.

    The trailer stays valid: it checks the whole 36-byte header, whose CRC-32 is the same
    constant for every header that ends in its own correct CRC.
    """
    header = bytearray(frame[:qssf.FRAME_HEADER_LEN])
    if frame_id is not None:
        _U64.pack_into(header, _ID_AT, frame_id)
    if timestamp_ns is not None:
        _U64.pack_into(header, _TIMESTAMP_AT, timestamp_ns)
    _U32.pack_into(header, _CRC_AT, zlib.crc32(header[:_HEADER_CRC_BYTES]))
    return bytes(header) + bytes(frame[qssf.FRAME_HEADER_LEN:])


class _Schedule:
    """When each frame is due: frame i at start + i / rate."""

    def __init__(self, rate: float | None) -> None:
        self.rate = rate
        self.start = time.perf_counter()
        self.sent = 0

    def due(self) -> int:
        """How many frames may have been sent by now; waits until at least one more is due."""
        if self.rate is None:
            return 1 << 62
        while True:
            elapsed = time.perf_counter() - self.start
            due = int(elapsed * self.rate) + 1
            if due > self.sent:
                return due
            time.sleep(max(self.sent / self.rate - elapsed, 0.0) + 1e-6)


class _Replay:
    """One client's replay of the file."""

    def __init__(self, conn: socket.socket, data, head: int, pieces: list[Piece], rate: float | None,
                 loop: bool, stamp_time: bool) -> None:
        self.conn = conn
        self.view = memoryview(data)
        self.head = head
        self.pieces = pieces
        self.loop = loop and any(p.frame_id is not None for p in pieces)
        self.stamp_time = stamp_time
        self.schedule = _Schedule(rate)
        ids = [p.frame_id for p in pieces if p.frame_id is not None]
        self.id_step = (max(ids) - min(ids) + 1) if ids else 0

    def run(self) -> None:
        self.conn.sendall(self.view[:self.head])
        passes = 0
        while True:
            self._send_pass(passes)
            passes += 1
            if not self.loop:
                return

    def _send_pass(self, index: int) -> None:
        offset = (index * self.id_step) % (1 << 64)
        out: list = []
        out_bytes = 0
        i = 0
        pieces = self.pieces
        schedule = self.schedule
        # The first pass without time stamps sends the file's bytes unchanged: the frames due are
        # one contiguous range, sent without touching each frame (this keeps a paced replay at the
        # rate of a real device, a million frames per second, where a loop per frame cannot).
        raw = index == 0 and not self.stamp_time
        while i < len(pieces):
            limit = min(len(pieces), i + max(0, schedule.due() - schedule.sent))
            if raw and i < limit:
                self._flush([self.view[pieces[i].start:pieces[limit - 1].end]])
                schedule.sent += limit - i
                i = limit
                continue
            while i < limit:
                piece = pieces[i]
                i += 1
                stamp = time.time_ns() if self.stamp_time else None
                if piece.frame_id is None:
                    if index > 0:  # a broken rest goes out once, with the first pass
                        continue
                    chunk = self.view[piece.start:piece.end]
                elif piece.header_ok and (offset or stamp is not None):
                    new_id = (piece.frame_id + offset) % (1 << 64) if offset else None
                    chunk = _rewrite(self.view[piece.start:piece.end], new_id, stamp)
                else:
                    chunk = self.view[piece.start:piece.end]
                out.append(chunk)
                out_bytes += len(chunk)
                schedule.sent += 1
                if out_bytes >= _SEND_BATCH:
                    self._flush(out)
                    out_bytes = 0
            self._flush(out)
            out_bytes = 0

    def _flush(self, out: list) -> None:
        if out:
            self.conn.sendall(out[0] if len(out) == 1 else b"".join(out))
            out.clear()


def _resolve_bind(host: str, port: int) -> tuple[int, tuple]:
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    family, _, _, _, addr = infos[0]
    return family, addr


class ReplayServer:
    """A listening replay server; ``serve_forever`` accepts clients until ``shutdown``."""

    def __init__(self, path: str | os.PathLike, port: int = 0, rate: float | None = None,
                 loop: bool = False, host: str = "127.0.0.1", *, stamp_time: bool = False,
                 report: Callable[[str], None] | None = None) -> None:
        if not 0 <= int(port) <= 65535:
            raise ValueError(f"port must be in 0..65535, got {port}")
        if rate is not None and not (math.isfinite(rate) and rate > 0):
            raise ValueError(f"rate must be a positive number of frames per second, got {rate}")
        self.path = os.fspath(path)
        self.rate = rate
        self.loop = loop
        self.stamp_time = stamp_time
        self.report = report  # told, one line each, when a client comes and when it goes
        self._file = open(self.path, "rb")
        try:
            size = os.fstat(self._file.fileno()).st_size
            self._data = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ) if size else b""
            family, addr = _resolve_bind(host, int(port))
            self._listener = socket.socket(family, socket.SOCK_STREAM)
            try:
                self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                self._listener.bind(addr)
                self._listener.listen(64)
            except BaseException:
                self._listener.close()
                raise
        except BaseException:
            self._file.close()
            raise
        self.host, self.port = self._listener.getsockname()[:2]
        self._stopping = threading.Event()
        self._clients: set[socket.socket] = set()
        self._lock = threading.Lock()
        self._split: tuple[int, list[Piece]] | None = None  # cut on first need, then shared
        self._split_lock = threading.Lock()

    def _frames(self) -> tuple[int, list[Piece]]:
        with self._split_lock:
            if self._split is None:
                self._split = split_frames(self._data)
            return self._split

    @property
    def address(self) -> str:
        """The listening address as a source string takes it: ``host:port`` or ``[v6]:port``."""
        return f"[{self.host}]:{self.port}" if ":" in self.host else f"{self.host}:{self.port}"

    def serve_forever(self) -> None:
        sel = selectors.DefaultSelector()
        sel.register(self._listener, selectors.EVENT_READ)
        try:
            while not self._stopping.is_set():
                if not sel.select(timeout=0.2):
                    continue
                try:
                    conn, _ = self._listener.accept()
                except OSError:
                    continue
                threading.Thread(target=self._serve_client, args=(conn,), daemon=True).start()
        finally:
            sel.close()

    def _serve_client(self, conn: socket.socket) -> None:
        with self._lock:
            self._clients.add(conn)
        try:
            peer = _peer_name(conn)
        except OSError:
            peer = "a client"
        ending = "received the whole file and was disconnected"
        if self.report:
            self.report(f"client {peer} connected")
        try:
            # Small paced frames must leave at once, not wait for the previous one to be acknowledged.
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if self.rate is None and not self.loop and not self.stamp_time and self._data:
                with open(self.path, "rb") as f:
                    conn.sendfile(f)  # the whole file as it is, by the kernel
            else:
                head, pieces = self._frames()
                _Replay(conn, self._data, head, pieces, self.rate, self.loop, self.stamp_time).run()
            conn.shutdown(socket.SHUT_WR)
        except OSError as e:
            # The client went away (or the server is stopping): only this replay ends.
            ending = "was dropped: the server is stopping" if self._stopping.is_set() else (
                f"left ({e.strerror or e})")
        finally:
            with self._lock:
                self._clients.discard(conn)
            conn.close()
            if self.report:
                self.report(f"client {peer} {ending}")

    def shutdown(self) -> None:
        """Stop accepting and drop every client; ``serve_forever`` returns soon after."""
        self._stopping.set()
        with self._lock:
            for conn in self._clients:
                with contextlib.suppress(OSError):
                    conn.shutdown(socket.SHUT_RDWR)

    def close(self) -> None:
        self.shutdown()
        self._listener.close()
        self._file.close()
        if isinstance(self._data, mmap.mmap):
            with contextlib.suppress(BufferError):  # a client thread still sending keeps it open
                self._data.close()

    def __enter__(self) -> ReplayServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


def _peer_name(conn: socket.socket) -> str:
    host, port = conn.getpeername()[:2]
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def serve(path: str | os.PathLike, port: int = 0, rate: float | None = None, loop: bool = False,
          host: str = "127.0.0.1", *, stamp_time: bool = False,
          ready: Callable[[ReplayServer], None] | None = None,
          report: Callable[[str], None] | None = None) -> None:
    """Serve ``path`` until interrupted; ``ready`` is called once the server listens, ``report``
    with a line when a client connects and when it leaves."""
    with ReplayServer(path, port, rate, loop, host, stamp_time=stamp_time, report=report) as server:
        if ready is not None:
            ready(server)
        server.serve_forever()


# --------------------------------------------------------------------------- child process

def _child_env() -> dict:
    """The environment for a child that must import this package and the native module."""
    import _ostrel

    paths = [os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
             os.path.dirname(os.path.abspath(_ostrel.__file__))]
    env = os.environ.copy()
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def start(path: str | os.PathLike, port: int = 0, rate: float | None = None, loop: bool = False,
          host: str = "127.0.0.1", *, stamp_time: bool = False,
          timeout: float = 30.0) -> tuple[subprocess.Popen, int]:
    """Run the replay server in a child process; returns the process and the port it listens on.

    The caller ends the process (``process.kill()``, then ``process.wait()``). A stream reads
    from it as ``OstrelStream(f"tcp://127.0.0.1:{port}")``; in a process of its own the server's
    pace does not depend on the reader's threads.
    """
    cmd = [sys.executable, "-m", "ostrel", "replay", os.fspath(path), "--port", str(port), "--host", host]
    if rate is not None:
        cmd += ["--rate", repr(float(rate))]
    if loop:
        cmd.append("--loop")
    if stamp_time:
        cmd.append("--stamp-time")
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, env=_child_env())
    try:
        line = _read_line(proc, timeout)
        prefix = "listening on "
        if not line.startswith(prefix):
            raise RuntimeError(f"replay server did not start (exit code {proc.poll()}): {line!r}")
        return proc, int(line.rsplit(":", 1)[1])
    except BaseException:
        stop(proc)
        raise


def _read_line(proc: subprocess.Popen, timeout: float) -> str:
    deadline = time.monotonic() + timeout
    line = b""
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                raise RuntimeError("replay server did not report its port in time")
            chunk = os.read(proc.stdout.fileno(), 1)
            if not chunk:
                break
            line += chunk
    return line.decode("utf-8", "replace").strip()


def stop(proc: subprocess.Popen, timeout: float = 10.0) -> None:
    """Ends a server started by ``start`` and reaps it."""
    if proc.poll() is None:
        proc.kill()
    with contextlib.suppress(subprocess.TimeoutExpired):
        proc.wait(timeout)
    if proc.stdout is not None:
        proc.stdout.close()


@contextlib.contextmanager
def running(path: str | os.PathLike, port: int = 0, rate: float | None = None, loop: bool = False,
            host: str = "127.0.0.1", *, stamp_time: bool = False) -> Iterator[int]:
    """``start`` as a context manager: yields the port, stops the server on leaving."""
    proc, bound = start(path, port, rate, loop, host, stamp_time=stamp_time)
    try:
        yield bound
    finally:
        stop(proc)
