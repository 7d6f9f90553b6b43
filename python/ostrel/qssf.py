"""Write (and re-read) QSSF syndrome streams in pure Python.

A QSSF stream is a 26-byte stream header followed by frames; each frame is a
36-byte header guarded by a CRC-32, a run-length-encoded detector payload, one
signed measurement byte per ancilla, optional sections chosen by the header's
flags, and a 6-byte trailer.  Everything is little-endian and packed.

The writer is meant for tests and for users producing streams, including
deliberately broken ones: every field can be set to any value the wire can
hold, the header CRC and the trailer can be overridden, and ``write_raw`` puts
arbitrary bytes into a stream.  ``iter_frames`` is a small parser with the same
rules as the native reader, used to cross-check what the writer produced.

NumPy arrays are accepted wherever a sequence of events or results is, but
NumPy is never imported by this module.
"""

from __future__ import annotations

import enum
import itertools
import os
import struct
import sys
import uuid
import zlib
from dataclasses import dataclass
from typing import Any, BinaryIO, Iterable, Iterator, Sequence

__all__ = [
    "QSSF_MAGIC", "QSSF_VERSION", "STREAM_HEADER_LEN", "FRAME_HEADER_LEN",
    "FLAG_TIMING_OFFSETS", "FLAG_ANCILLA_BITS", "FLAG_EXTENSIONS", "FLAG_ANNOTATIONS",
    "TRAILER_MARKER", "VALID_TRAILER", "TRAILER_LEN", "CRC_RESIDUE",
    "TAG_TEXT", "TAG_U32_A", "TAG_U32_B", "TAG_U8", "TAG_OBSERVABLE_FLIPS", "TAG_PAYLOAD_CRC32C",
    "Code", "crc32", "crc32c", "payload_crc32c", "encode_rle", "encode_rle_indices", "decode_rle", "count_detector_events",
    "stream_header", "frame_header", "frame", "QssfWriter",
    "QssfFormatError", "StreamHeader", "ParsedFrame",
    "parse_stream_header", "iter_frames", "read_stream",
]

QSSF_MAGIC = 0x51535346
QSSF_VERSION = 1
STREAM_HEADER_LEN = 26
FRAME_HEADER_LEN = 36
TRAILER_LEN = 6

FLAG_TIMING_OFFSETS = 0x0001
FLAG_ANCILLA_BITS = 0x0002
FLAG_EXTENSIONS = 0x0004
FLAG_ANNOTATIONS = 0x0008

TRAILER_MARKER = 0xFFFF
# CRC-32 of any 36-byte header that ends in its own valid CRC.
CRC_RESIDUE = 0x2144DF1C
VALID_TRAILER = b"\xff\xff\x1c\xdf\x44\x21"

# Extension tags the reader recognises.
TAG_TEXT = 1
TAG_U32_A = 2
TAG_U32_B = 3
TAG_U8 = 4
TAG_OBSERVABLE_FLIPS = 16
# The payload checksum: a 4-byte entry holding the CRC-32C of the bytes between the frame header and
# the extension list (RLE length, RLE, measurement results, then timing offsets and ancilla bits
# when present), as written. A tag the format leaves to be skipped, so older readers read on.
TAG_PAYLOAD_CRC32C = 17

MAX_RUN = 127


class Code(enum.IntEnum):
    """Code-family discriminant carried in a frame header's ``code_type`` byte."""

    SURFACE = 1
    HONEYCOMB = 2
    COLOR = 3
    REPETITION = 4
    TORIC = 5
    BIVARIATE_BICYCLE = 6
    HYPERGRAPH_PRODUCT = 7
    FIBER_BUNDLE = 8
    CUSTOM = 255


# Precompiled layouts. The first 32 header bytes are what the header CRC covers.
_STREAM_HEADER = struct.Struct("<IH16sI")
_HEADER_BODY = struct.Struct("<QIQHHIBBH")
_HEADER = struct.Struct("<QIQHHIBBHI")
_U8 = struct.Struct("<B")
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_U64 = struct.Struct("<Q")
_EXT_ENTRY_HEAD = struct.Struct("<HH")
_ANNOTATION = struct.Struct("<BQB")
_TRAILER = struct.Struct("<HI")

assert _STREAM_HEADER.size == STREAM_HEADER_LEN and _HEADER.size == FRAME_HEADER_LEN

# One extension list holding a single tag-16 entry: K=1, tag 16, L=8; the u64 follows.
_OBS_ONLY_EXT_PREFIX = _U16.pack(1) + _EXT_ENTRY_HEAD.pack(TAG_OBSERVABLE_FLIPS, 8)


def crc32(data: bytes) -> int:
    """CRC-32/ISO-HDLC (the zlib CRC) of ``data`` as an unsigned 32-bit value."""
    return zlib.crc32(data) & 0xFFFFFFFF


def _crc32c_table() -> list[int]:
    table = []
    for b in range(256):
        c = b
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


_CRC32C_TABLE = _crc32c_table()


def _crc32c_update(register: int, data: bytes) -> int:
    """The CRC-32C register after `data` (no inversions)."""
    table = _CRC32C_TABLE
    for b in data:
        register = table[(register ^ b) & 0xFF] ^ (register >> 8)
    return register


def crc32c(data: bytes, crc: int = 0) -> int:
    """CRC-32C (Castagnoli) of ``data``; given the CRC-32C of earlier bytes as ``crc``, that of
    the whole (``crc32c(a + b) == crc32c(b, crc32c(a))``)."""
    return _crc32c_update(crc ^ 0xFFFFFFFF, data) ^ 0xFFFFFFFF


def payload_crc32c(frame_bytes: bytes) -> int:
    """The payload checksum of a whole frame's bytes (header first), as a reader computes it."""
    flags = _U16.unpack_from(frame_bytes, 30)[0]
    n = _U16.unpack_from(frame_bytes, 22)[0]
    (m,) = _U16.unpack_from(frame_bytes, FRAME_HEADER_LEN)
    size = 2 + m + n + (2 * n if flags & FLAG_TIMING_OFFSETS else 0) + \
        ((n + 7) // 8 if flags & FLAG_ANCILLA_BITS else 0)
    return crc32c(bytes(frame_bytes[FRAME_HEADER_LEN:FRAME_HEADER_LEN + size]))


def _payload_checksummer(n: int):
    """The packed checksum entry value of a payload given as (RLE, measurement bytes), for frames
    of `n` ancillas without optional sections. The register is linear in its input, so the CRC of
    length + RLE (few bytes, memoised) is carried across the n measurement bytes by four table
    lookups, and the measurement bytes' own part (mostly one value for every frame) is memoised."""
    zeros = bytes(n)
    # shift[k][v]: the register v << 8k carried across n zero bytes.
    shift = [[_crc32c_update(v << (8 * k), zeros) for v in range(256)] for k in range(4)] if n <= 1024 else None
    prefixes: dict[bytes, int] = {}
    meas_parts: dict[bytes, int] = {}
    pack = _U32.pack
    s0, s1, s2, s3 = shift if shift else ([], [], [], [])

    def entry(rle: bytes, meas: bytes) -> bytes:
        register = prefixes.get(rle)
        if register is None:
            register = _crc32c_update(0xFFFFFFFF, _U16.pack(len(rle)) + rle)
            if len(prefixes) < 1 << 16:
                prefixes[rle] = register
        if shift is None:
            return pack(_crc32c_update(register, meas) ^ 0xFFFFFFFF)
        part = meas_parts.get(meas)
        if part is None:
            part = _crc32c_update(0, meas)
            if len(meas_parts) < 1 << 10:
                meas_parts[meas] = part
        return pack(s0[register & 0xFF] ^ s1[(register >> 8) & 0xFF] ^ s2[(register >> 16) & 0xFF]
                    ^ s3[register >> 24] ^ part ^ 0xFFFFFFFF)
    return entry


# --------------------------------------------------------------------------- helpers

def _numpy_array(obj: Any):
    """Return ``obj`` if it is a NumPy array, else None (without importing NumPy)."""
    np = sys.modules.get("numpy")
    if np is not None and isinstance(obj, np.ndarray):
        return obj
    return None


def _check_range(name: str, value: Any, bits: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        np = sys.modules.get("numpy")
        try:
            # NumPy integers have __index__; NumPy bools do not, but count as 0/1 like bool does.
            value = int(value) if np is not None and isinstance(value, np.bool_) else int(value.__index__())
        except (AttributeError, TypeError):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not 0 <= value < (1 << bits):
        raise ValueError(f"{name} must be in 0..{(1 << bits) - 1}, got {value}")
    return value


def _as_bytes(name: str, value: Any) -> bytes:
    arr = _numpy_array(value)
    if arr is not None:
        return arr.tobytes()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{name} must be bytes-like, not {type(value).__name__}")


def _schema_bytes(schema_id: Any) -> bytes:
    if isinstance(schema_id, uuid.UUID):
        return schema_id.bytes
    if isinstance(schema_id, str):
        return uuid.UUID(schema_id).bytes
    raw = _as_bytes("schema_id", schema_id)
    if len(raw) != 16:
        raise ValueError(f"schema_id must be 16 bytes, got {len(raw)}")
    return raw


# --------------------------------------------------------------------------- RLE

def _append_runs(out: bytearray, value_bit: int, length: int) -> None:
    # Runs longer than 127 are split into full 127-long bytes plus the remainder.
    full, rest = divmod(length, MAX_RUN)
    if full:
        out += bytes((value_bit | MAX_RUN,)) * full
    if rest:
        out.append(value_bit | rest)


def encode_rle(events: Iterable[Any], *, trim: bool = False) -> bytes:
    """Run-length encode a sequence of 0/1 values (one byte per run of <= 127).

    With ``trim`` a trailing run of zeros is left out: the reader pads the
    decoded events with zeros up to the ancilla count anyway.
    """
    out = bytearray()
    arr = _numpy_array(events)
    if arr is not None:
        if arr.ndim != 1:
            raise ValueError("detector events must be one-dimensional")
        if arr.dtype.kind != "b" and ((arr != 0) & (arr != 1)).any():
            raise ValueError("detector events must be 0 or 1")
        bits = arr.astype(bool)
        if bits.size:
            np = sys.modules["numpy"]
            starts = np.flatnonzero(bits[1:] != bits[:-1]) + 1
            bounds = [0, *starts.tolist(), int(bits.size)]
            first = bool(bits[0])
            for k in range(len(bounds) - 1):
                value = first ^ (k & 1)
                _append_runs(out, 0x80 if value else 0, bounds[k + 1] - bounds[k])
    else:
        for value, group in itertools.groupby(events):
            if value not in (0, 1):
                raise ValueError(f"detector events must be 0 or 1, got {value!r}")
            _append_runs(out, 0x80 if value else 0, sum(1 for _ in group))
    if trim and out and not out[-1] & 0x80:
        # Drop the whole final zero run, including the 127-long pieces of it.
        end = len(out)
        while end and not out[end - 1] & 0x80:
            end -= 1
        del out[end:]
    return bytes(out)


def encode_rle_indices(indices: Iterable[int], n: int, *, trim: bool = False) -> bytes:
    """Run-length encode ``n`` events given as the strictly rising positions of the ones.

    This is the cheap form for sparse events: the cost follows the number of
    fired detectors, not ``n``.
    """
    out = bytearray()
    pos = 0
    run_len = 0
    for index in indices:
        if not pos <= index < n:
            if 0 <= index < n:
                raise ValueError("event indices must be strictly rising")
            raise ValueError(f"event index {index} out of range for {n} detectors")
        if run_len and index == pos:
            run_len += 1
        else:
            if run_len:
                _append_runs(out, 0x80, run_len)
            _append_runs(out, 0, index - pos)
            run_len = 1
        pos = index + 1
    if run_len:
        _append_runs(out, 0x80, run_len)
    if not trim:
        _append_runs(out, 0, n - pos)
    return bytes(out)


def decode_rle(rle: bytes, n: int | None = None) -> list[int]:
    """Decode RLE bytes into 0/1 values, cut or zero-padded to ``n`` when given."""
    values: list[int] = []
    for b in rle:
        values.extend((b >> 7,) * (b & MAX_RUN))
    if n is not None:
        del values[n:]
        values.extend((0,) * (n - len(values)))
    return values


def count_detector_events(rle: bytes) -> int:
    """Number of ones in the whole encoding (not cut to the ancilla count)."""
    return sum(b & MAX_RUN for b in rle if b & 0x80)


# --------------------------------------------------------------------------- headers

def stream_header(schema_id: Any = bytes(16), *, magic: int = QSSF_MAGIC,
                  version: int = QSSF_VERSION, reserved: int = 0) -> bytes:
    """The 26-byte stream header; ``schema_id`` is 16 bytes, a ``uuid.UUID`` or UUID text."""
    return _STREAM_HEADER.pack(
        _check_range("magic", magic, 32), _check_range("version", version, 16),
        _schema_bytes(schema_id), _check_range("reserved", reserved, 32))


def frame_header(frame_id: int, *, round: int = 0, timestamp_ns: int = 0, qubit_count: int = 0,
                 ancilla_count: int = 0, reserved: int = 0, code_type: int = Code.CUSTOM, distance: int = 0,
                 flags: int = 0, header_crc: int | None = None) -> bytes:
    """The 36-byte frame header; ``header_crc=None`` stores the correct CRC."""
    body = _HEADER_BODY.pack(
        _check_range("frame_id", frame_id, 64), _check_range("round", round, 32),
        _check_range("timestamp_ns", timestamp_ns, 64), _check_range("qubit_count", qubit_count, 16),
        _check_range("ancilla_count", ancilla_count, 16), _check_range("reserved", reserved, 32),
        _check_range("code_type", code_type, 8), _check_range("distance", distance, 8),
        _check_range("flags", flags, 16))
    crc = crc32(body) if header_crc is None else _check_range("header_crc", header_crc, 32)
    return body + _U32.pack(crc)


def _trailer_for(header: bytes, header_crc: int | None) -> bytes:
    if header_crc is None:
        return VALID_TRAILER
    return _TRAILER.pack(TRAILER_MARKER, crc32(header))


# --------------------------------------------------------------------------- frames

def _meas_bytes(meas_results: Any) -> bytes:
    arr = _numpy_array(meas_results)
    if arr is not None:
        if arr.ndim != 1:
            raise ValueError("meas_results must be one-dimensional")
        if arr.dtype.kind == "i" and arr.dtype.itemsize == 1:
            return arr.tobytes()
        meas_results = arr.tolist()
    if isinstance(meas_results, (bytes, bytearray, memoryview)):
        return bytes(meas_results)
    try:
        return struct.pack(f"<{len(meas_results)}b", *meas_results)
    except struct.error:
        raise ValueError("meas_results values must be integers in -128..127") from None


def _extension_list(entries: Sequence[tuple[int, bytes]]) -> bytes:
    if len(entries) > 0xFFFF:
        raise ValueError(f"at most 65535 extension entries fit a frame, got {len(entries)}")
    parts = [_U16.pack(len(entries))]
    for tag, value in entries:
        value = _as_bytes("extension value", value)
        if len(value) > 0xFFFF:
            raise ValueError(f"extension value too long: {len(value)} bytes")
        parts.append(_EXT_ENTRY_HEAD.pack(_check_range("extension tag", tag, 16), len(value)))
        parts.append(value)
    return b"".join(parts)


def _annotation_list(annotations: Sequence[tuple[int, int, int]]) -> bytes:
    if len(annotations) > 0xFF:
        raise ValueError(f"at most 255 annotations fit a frame, got {len(annotations)}")
    parts = [_U8.pack(len(annotations))]
    for lead, value, trail in annotations:
        parts.append(_ANNOTATION.pack(_check_range("annotation lead_byte", lead, 8),
                                      _check_range("annotation value", value, 64),
                                      _check_range("annotation trail_byte", trail, 8)))
    return b"".join(parts)


def frame(frame_id: int, *, round: int = 0, timestamp_ns: int = 0, qubit_count: int | None = None,
          ancilla_count: int | None = None, code_type: int = Code.CUSTOM, distance: int = 0, reserved: int = 0,
          detector_events: Any = None, rle: bytes | None = None, meas_results: Any = None,
          timing_offsets: Sequence[int] | None = None, ancilla_bits: bytes | None = None,
          observable_flips: int | None = None, text: str | None = None,
          extensions: Sequence[tuple[int, bytes]] | None = None,
          annotations: Sequence[tuple[int, int, int]] | None = None, extra_flags: int = 0,
          header_crc: int | None = None, trailer: bytes | None = None, payload_checksum: bool = False) -> bytes:
    """One complete frame as bytes; the flags follow from the sections given.

    ``ancilla_count`` defaults to the length of ``detector_events``, else of
    ``meas_results``, else of ``timing_offsets``, else to the decoded length of
    ``rle``, else 0. ``qubit_count`` defaults to ``2 * ancilla_count + 1`` (a
    rotated surface code), capped at 65535. ``meas_results`` defaults to +1 for
    every ancilla. ``rle`` (raw bytes) replaces the encoding of
    ``detector_events``. ``observable_flips`` and ``text`` become tag-16 and
    tag-1 extension entries, followed by the raw ``extensions`` entries; an
    empty ``extensions`` list still writes an (empty) list. ``payload_checksum``
    adds, last, the entry holding the payload's CRC-32C (``TAG_PAYLOAD_CRC32C``). ``extra_flags`` is
    OR-ed into the flags. ``header_crc`` overrides the stored CRC (the trailer
    then matches the header as written); ``trailer`` gives the exact trailer
    bytes, ``b""`` omits it.
    """
    if ancilla_count is None:
        for source in (detector_events, meas_results, timing_offsets):
            if source is not None:
                ancilla_count = len(source)
                break
        else:
            ancilla_count = len(decode_rle(rle)) if rle is not None else 0
    n = _check_range("ancilla_count", ancilla_count, 16)
    if qubit_count is None:
        qubit_count = min(2 * n + 1, 0xFFFF)

    if rle is not None:
        rle = _as_bytes("rle", rle)
    elif detector_events is not None:
        if len(detector_events) != n:
            raise ValueError(f"detector_events has {len(detector_events)} values for {n} ancillas")
        rle = encode_rle(detector_events)
    else:
        rle = encode_rle_indices((), n)
    if len(rle) > 0xFFFF:
        raise ValueError(f"detector RLE too long for a frame: {len(rle)} bytes")

    if meas_results is None:
        meas = b"\x01" * n
    else:
        meas = _meas_bytes(meas_results)
        if len(meas) != n:
            raise ValueError(f"meas_results has {len(meas)} values for {n} ancillas")

    flags = _check_range("extra_flags", extra_flags, 16)
    sections = [_U16.pack(len(rle)), rle, meas]
    if timing_offsets is not None:
        offsets = timing_offsets.tolist() if _numpy_array(timing_offsets) is not None else timing_offsets
        if len(offsets) != n:
            raise ValueError(f"timing_offsets has {len(offsets)} values for {n} ancillas")
        try:
            sections.append(struct.pack(f"<{n}H", *offsets))
        except struct.error:
            raise ValueError("timing_offsets values must be integers in 0..65535") from None
        flags |= FLAG_TIMING_OFFSETS
    if ancilla_bits is not None:
        bits = _as_bytes("ancilla_bits", ancilla_bits)
        if len(bits) != (n + 7) // 8:
            raise ValueError(f"ancilla_bits must be {(n + 7) // 8} bytes for {n} ancillas, got {len(bits)}")
        sections.append(bits)
        flags |= FLAG_ANCILLA_BITS
    entries: list[tuple[int, bytes]] = []
    if text is not None:
        entries.append((TAG_TEXT, text.encode("utf-8")))
    if observable_flips is not None:
        entries.append((TAG_OBSERVABLE_FLIPS,
                        _U64.pack(_check_range("observable_flips", observable_flips, 64))))
    if payload_checksum:
        payload = b"".join(sections)  # everything from the RLE length to the ancilla bits
    if extensions is not None or entries or payload_checksum:
        entries.extend(extensions or ())
        if payload_checksum:
            entries.append((TAG_PAYLOAD_CRC32C, _U32.pack(crc32c(payload))))
        sections.append(_extension_list(entries))
        flags |= FLAG_EXTENSIONS
    if annotations is not None:
        sections.append(_annotation_list(annotations))
        flags |= FLAG_ANNOTATIONS

    header = frame_header(frame_id, round=round, timestamp_ns=timestamp_ns, qubit_count=qubit_count,
                          ancilla_count=n, reserved=reserved, code_type=code_type, distance=distance,
                          flags=flags, header_crc=header_crc)
    sections.append(_trailer_for(header, header_crc) if trailer is None else _as_bytes("trailer", trailer))
    return header + b"".join(sections)


# --------------------------------------------------------------------------- writer

class QssfWriter:
    """Write a QSSF stream to a path or a binary file object.

    The stream header is written on opening unless ``header=False``. A path is
    opened (and closed) by the writer; a file object is only flushed. Frame ids
    are not checked, so broken streams can be written on purpose. With
    ``payload_checksum`` every frame carries the CRC-32C of its payload (an
    extension entry that readers without it skip), so a flipped payload bit is
    reported rather than read as a detection event.
    """

    def __init__(self, file_or_path: str | os.PathLike | BinaryIO, schema_id: Any = bytes(16), *,
                 header: bool = True, buffer_size: int = 1 << 20, payload_checksum: bool = False) -> None:
        head = stream_header(schema_id) if header else b""
        if isinstance(file_or_path, (str, bytes, os.PathLike)):
            self._file = open(file_or_path, "wb", buffering=buffer_size)
            self._owns_file = True
        else:
            self._file = file_or_path
            self._owns_file = False
        self.payload_checksum = payload_checksum
        self.frames_written = 0
        self.bytes_written = 0
        self.last_frame_id: int | None = None
        self.closed = False
        if head:
            self.write_raw(head)

    def __enter__(self) -> QssfWriter:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _next_id(self) -> int:
        return 0 if self.last_frame_id is None else self.last_frame_id + 1

    def write_raw(self, data: bytes) -> int:
        """Write bytes as they are (not counted as a frame); returns their length."""
        if self.closed:
            raise ValueError("write to a closed QssfWriter")
        written = len(data)
        self._file.write(data)
        self.bytes_written += written
        return written

    def write_frame(self, frame_id: int | None = None, **kw: Any) -> int:
        """Write one ``frame(frame_id, **kw)``; ``None`` takes the previous id + 1."""
        if frame_id is None:
            frame_id = self._next_id()
        kw.setdefault("payload_checksum", self.payload_checksum)
        written = self.write_raw(frame(frame_id, **kw))
        self.frames_written += 1
        self.last_frame_id = frame_id
        return written

    def write_frames_fast(self, events: Any, *, ancilla_count: int, frame_ids: Iterable[int] | None = None,
                          rounds: Iterable[int] | None = None, timestamps_ns: Iterable[int] | None = None,
                          observable_flips: Iterable[int | None] | None = None, meas_results: Any = None,
                          qubit_count: int | None = None, code_type: int = Code.CUSTOM, distance: int = 0,
                          batch: int = 4096) -> int:
        """Write many plain frames quickly; returns how many were written.

        ``events`` is a 2-D array of 0/1 (one row per frame), a list of 0/1
        rows of ``ancilla_count`` values each, or an iterable giving, per
        frame, the rising indices of the fired detectors (or a boolean mask
        array). Ids default to consecutive numbers after the last written one;
        ``rounds`` and ``timestamps_ns`` default to 0. ``observable_flips``
        gives one mask (or None for no extension) per frame: an iterable of
        integers, a 1-D integer or bool array, or a 2-D 0/1 array with one
        column per observable (as Stim samples them), packed into bits.
        Frames are labelled with ``code_type`` and ``distance`` (default: the
        custom family, distance 0). ``meas_results`` is bytes shared by all frames, a 2-D integer
        array, or an iterable of per-frame values; it defaults to +1
        everywhere. Per-frame inputs that know their length (lists, arrays,
        ranges) must agree, or ValueError is raised before anything is written;
        plain iterators stop with the shortest. The bytes
        equal those of ``frame()`` with the same arguments; on a faulty value
        the frames before it are written and ValueError is raised.
        """
        n = _check_range("ancilla_count", ancilla_count, 16)
        _check_same_lengths(events=events, frame_ids=frame_ids, rounds=rounds, timestamps_ns=timestamps_ns,
                            observable_flips=observable_flips,
                            meas_results=None if isinstance(meas_results, (bytes, bytearray)) else meas_results)
        qubit_count = min(2 * n + 1, 0xFFFF) if qubit_count is None else qubit_count
        # Validate the constant fields once; the loop packs without checks.
        frame_header(0, qubit_count=qubit_count, ancilla_count=n, code_type=code_type, distance=distance)

        rows = _event_rows(events, n)
        ids = frame_ids if frame_ids is not None else itertools.count(self._next_id())
        rounds = rounds if rounds is not None else itertools.repeat(0)
        stamps = timestamps_ns if timestamps_ns is not None else itertools.repeat(0)
        flips = _flip_values(observable_flips)
        meas_rows = _meas_rows(meas_results, n)

        pack_body, pack_u32, pack_u16, pack_u64 = _HEADER_BODY.pack, _U32.pack, _U16.pack, _U64.pack
        zcrc = zlib.crc32
        rle_of = _rle_cache(n)
        obs_prefix, trailer = _OBS_ONLY_EXT_PREFIX, VALID_TRAILER
        parts: list[bytes] = []
        count = 0
        frame_id = None
        before = self.frames_written
        try:
            if self.payload_checksum:
                self._write_checksummed(zip(ids, rows, rounds, stamps, flips, meas_rows), rle_of, n,
                                        qubit_count, code_type, distance, batch, parts)
            else:
                for frame_id, row, rnd, ts, obs, meas in zip(ids, rows, rounds, stamps, flips, meas_rows):
                    rle = rle_of(row)
                    if obs is None:
                        body = pack_body(frame_id, rnd, ts, qubit_count, n, 0, code_type, distance, 0)
                        parts += (body, pack_u32(zcrc(body)), pack_u16(len(rle)), rle, meas, trailer)
                    else:
                        body = pack_body(frame_id, rnd, ts, qubit_count, n, 0, code_type, distance,
                                         FLAG_EXTENSIONS)
                        parts += (body, pack_u32(zcrc(body)), pack_u16(len(rle)), rle, meas,
                                  obs_prefix, pack_u64(obs), trailer)
                    count += 1
                    if len(parts) >= batch:
                        self.write_raw(b"".join(parts))
                        parts.clear()
        except struct.error as exc:
            raise ValueError(f"frame {count + self.frames_written - before} of the batch has a field out "
                             f"of range: {exc}") from None
        finally:
            if parts:
                self.write_raw(b"".join(parts))
            self.frames_written += count
            if count:
                self.last_frame_id = frame_id
        return self.frames_written - before

    def _write_checksummed(self, frames: Iterator[tuple], rle_of: Any, n: int, qubit_count: int,
                           code_type: int, distance: int, batch: int, parts: list[bytes]) -> None:
        """write_frames_fast's loop for frames that carry the payload checksum; counts as it goes."""
        pack_body, pack_u32, pack_u16, pack_u64 = _HEADER_BODY.pack, _U32.pack, _U16.pack, _U64.pack
        zcrc = zlib.crc32
        entry = _payload_checksummer(n)
        only = _U16.pack(1) + _EXT_ENTRY_HEAD.pack(TAG_PAYLOAD_CRC32C, 4)
        both = _U16.pack(2) + _EXT_ENTRY_HEAD.pack(TAG_OBSERVABLE_FLIPS, 8)
        second = _EXT_ENTRY_HEAD.pack(TAG_PAYLOAD_CRC32C, 4)
        trailer = VALID_TRAILER
        # Frames mostly share their measurement bytes (one object): their whole tail, from the RLE
        # length to the checksum entry, is then a function of the RLE alone.
        tails: dict[bytes, tuple[bytes, bytes]] = {}
        shared = None
        for frame_id, row, rnd, ts, obs, meas in frames:
            rle = rle_of(row)
            body = pack_body(frame_id, rnd, ts, qubit_count, n, 0, code_type, distance, FLAG_EXTENSIONS)
            if shared is None:
                shared = meas
            tail = tails.get(rle) if meas is shared else None
            if tail is None:
                tail = pack_u16(len(rle)) + rle + meas
                tail = (tail, entry(rle, meas))
                if meas is shared and len(tails) < 1 << 16:
                    tails[rle] = tail
            if obs is None:
                parts += (body, pack_u32(zcrc(body)), tail[0], only, tail[1], trailer)
            else:
                parts += (body, pack_u32(zcrc(body)), tail[0], both, pack_u64(obs), second, tail[1], trailer)
            self.frames_written += 1
            self.last_frame_id = frame_id
            if len(parts) >= batch:
                self.write_raw(b"".join(parts))
                parts.clear()

    def flush(self) -> None:
        """Flush the underlying file."""
        self._file.flush()

    def close(self) -> None:
        """Flush, and close the file if the writer opened it."""
        if self.closed:
            return
        self.closed = True
        if self._owns_file:
            self._file.close()
        else:
            self._file.flush()


def _check_same_lengths(**inputs: Any) -> None:
    """Refuses per-frame inputs of different lengths, which would silently drop frames' values."""
    sized = {name: len(value) for name, value in inputs.items()
             if value is not None and hasattr(value, "__len__") and not isinstance(value, (str, bytes))}
    if len(set(sized.values())) > 1:
        described = ", ".join(f"{name} {length:,}" for name, length in sized.items())
        raise ValueError(f"per-frame inputs differ in length ({described}); give one value per frame")


def _dense_rows(events: Any, n: int) -> bool:
    """Whether a list of rows is 0/1 values per detector rather than indices of fired ones: every
    row is a list of n zeros and ones, and some row could not be rising indices."""
    if not isinstance(events, (list, tuple)) or not events:
        return False
    rising = True
    for row in events:
        if not isinstance(row, (list, tuple)) or len(row) != n:
            return False
        if not all(v is True or v is False or (isinstance(v, int) and v in (0, 1)) for v in row):
            return False
        rising = rising and all(a < b for a, b in zip(row, row[1:]))
    return not rising


def _event_rows(events: Any, n: int) -> Iterator[Any]:
    """Per-frame fired-detector indices from a 2-D 0/1 array, or the iterable as given."""
    arr = _numpy_array(events)
    if arr is None and _dense_rows(events, n):
        import numpy

        arr = numpy.array(events, dtype=numpy.uint8)
    if arr is None:
        return iter(events)
    if arr.ndim != 2 or arr.shape[1] != n:
        raise ValueError(f"events array must have shape (frames, {n}), got {arr.shape}")
    if arr.dtype.kind != "b" and ((arr != 0) & (arr != 1)).any():
        raise ValueError("detector events must be 0 or 1")
    np = sys.modules["numpy"]
    frame_of, column = np.nonzero(arr)
    bounds = np.searchsorted(frame_of, np.arange(arr.shape[0] + 1)).tolist()
    columns = column.tolist()
    return (tuple(columns[bounds[i]:bounds[i + 1]]) for i in range(arr.shape[0]))


def _flip_values(observable_flips: Any) -> Iterable[Any]:
    """Per-frame masks (or None) from the forms write_frames_fast accepts."""
    if observable_flips is None:
        return itertools.repeat(None)
    arr = _numpy_array(observable_flips)
    if arr is None:
        # Plain ints go straight to the packer (which range-checks them); others are converted.
        return (v if v is None or type(v) is int else _check_range("observable_flips", v, 64)
                for v in observable_flips)
    if arr.ndim == 1 and arr.dtype.kind in "biu":
        if arr.dtype.kind == "i" and arr.size and arr.min() < 0:
            raise ValueError("observable_flips masks must not be negative")
        return arr.astype("u8").tolist()
    if arr.ndim == 2 and arr.dtype.kind in "biu":
        if arr.shape[1] > 64:
            raise ValueError(f"observable_flips has {arr.shape[1]} columns; a mask holds at most 64 observables")
        if arr.dtype.kind != "b" and ((arr != 0) & (arr != 1)).any():
            raise ValueError("observable_flips columns must hold 0 or 1 (one column per observable)")
        np = sys.modules["numpy"]
        weights = np.left_shift(np.uint64(1), np.arange(arr.shape[1], dtype=np.uint64))
        return (arr.astype(np.uint64) * weights).sum(axis=1, dtype=np.uint64).tolist()
    raise ValueError(
        f"observable_flips must be one mask per frame: an iterable of integers, a 1-D integer array or "
        f"a 2-D 0/1 array with one column per observable; got a {arr.ndim}-D {arr.dtype} array")


def _meas_rows(meas_results: Any, n: int) -> Iterator[bytes]:
    if meas_results is None:
        return itertools.repeat(b"\x01" * n)
    if isinstance(meas_results, (bytes, bytearray, memoryview)):
        meas = bytes(meas_results)
        if len(meas) != n:
            raise ValueError(f"meas_results has {len(meas)} values for {n} ancillas")
        return itertools.repeat(meas)
    arr = _numpy_array(meas_results)
    if arr is not None and arr.ndim == 2:
        if arr.shape[1] != n:
            raise ValueError(f"meas_results array must have shape (frames, {n}), got {arr.shape}")
        if arr.dtype.kind != "i" or arr.dtype.itemsize != 1:
            if arr.size and not (-128 <= arr.min() and arr.max() <= 127):
                raise ValueError("meas_results values must be integers in -128..127")
            arr = arr.astype("i1")
        return (row.tobytes() for row in arr)

    def checked() -> Iterator[bytes]:
        for row in meas_results:
            meas = _meas_bytes(row)
            if len(meas) != n:
                raise ValueError(f"meas_results has {len(meas)} values for {n} ancillas")
            yield meas
    return checked()


def _row_indices(row: Any) -> tuple[int, ...]:
    arr = _numpy_array(row)
    if arr is not None and arr.dtype.kind == "b":
        # A boolean row is a dense mask, not a list of indices.
        return tuple(sys.modules["numpy"].flatnonzero(arr).tolist())
    return tuple(row)


def _rle_cache(n: int):
    """RLE of sparse index tuples, memoised for the frequent patterns (few fired detectors)."""
    cache: dict[Any, bytes] = {}

    def rle_of(row: Any) -> bytes:
        key = row if isinstance(row, tuple) else _row_indices(row)
        rle = cache.get(key)
        if rle is None:
            rle = encode_rle_indices(key, n)
            if len(rle) > 0xFFFF:
                raise ValueError(f"detector RLE too long for a frame: {len(rle)} bytes")
            if len(key) <= 2 and len(cache) < 1 << 16:
                cache[key] = rle
        return rle
    return rle_of


# --------------------------------------------------------------------------- parsing

class QssfFormatError(ValueError):
    """A stream the reader would reject; the message is the reader's message text."""

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(message)
        self.kind = kind


def _length_error(declared: int, found: int) -> QssfFormatError:
    return QssfFormatError("PayloadLengthMismatch",
                           f"payload length mismatch: header declares {declared} bytes, found {found}")


def _crc_error(expected: int, got: int) -> QssfFormatError:
    return QssfFormatError("CrcMismatch", f"CRC32 mismatch: expected {expected:#010x}, got {got:#010x}")


@dataclass(frozen=True, slots=True)
class StreamHeader:
    """The fields of a stream header."""

    magic: int
    version: int
    schema_id: bytes
    reserved: int

    @property
    def schema_uuid(self) -> uuid.UUID:
        return uuid.UUID(bytes=self.schema_id)


@dataclass(frozen=True, slots=True)
class ParsedFrame:
    """One frame as found on the wire, with every section kept."""

    frame_id: int
    round: int
    timestamp_ns: int
    qubit_count: int
    ancilla_count: int
    reserved: int
    code_type: int
    distance: int
    flags: int
    header_crc: int
    detector_rle: bytes
    meas_results: tuple[int, ...]
    timing_offsets: tuple[int, ...]
    ancilla_bits: bytes
    extensions: tuple[tuple[int, bytes], ...] | None
    annotations: tuple[tuple[int, int, int], ...] | None
    trailer: bytes | None

    @property
    def detector_events(self) -> list[int]:
        """The events cut or zero-padded to ``ancilla_count``."""
        return decode_rle(self.detector_rle, self.ancilla_count)

    @property
    def detector_event_count(self) -> int:
        return count_detector_events(self.detector_rle)

    @property
    def observable_flips(self) -> int | None:
        """The last tag-16 entry of length 8, or None."""
        flips = None
        for tag, value in self.extensions or ():
            if tag == TAG_OBSERVABLE_FLIPS and len(value) == 8:
                flips = _U64.unpack(value)[0]
        return flips

    @property
    def payload_checksum(self) -> int | None:
        """The last tag-17 entry of length 4 (the payload's CRC-32C, checked when read), or None."""
        checksum = None
        for tag, value in self.extensions or ():
            if tag == TAG_PAYLOAD_CRC32C and len(value) == 4:
                checksum = _U32.unpack(value)[0]
        return checksum

    @property
    def text(self) -> str | None:
        """The last tag-1 entry as text; None when absent or when it is not valid UTF-8."""
        text = None
        for tag, value in self.extensions or ():
            if tag == TAG_TEXT:
                try:
                    text = value.decode("utf-8")
                except UnicodeDecodeError:
                    text = None
        return text


def parse_stream_header(data: bytes) -> StreamHeader:
    """Parse the first 26 bytes; raises ``QssfFormatError`` like the reader."""
    if len(data) < STREAM_HEADER_LEN:
        raise _length_error(STREAM_HEADER_LEN, len(data))
    magic, version, schema_id, reserved = _STREAM_HEADER.unpack_from(data)
    if magic != QSSF_MAGIC:
        raise QssfFormatError("InvalidMagic",
                              f"invalid QSSF magic bytes: expected 0x51535346, got {magic:#010x}")
    if version != QSSF_VERSION:
        raise QssfFormatError("UnsupportedVersion", f"unsupported QSSF format version: {version}")
    return StreamHeader(magic, version, bytes(schema_id), reserved)


def _truncated(index: int, frame_id: int | None, found: int, expected: int, exact: bool) -> QssfFormatError:
    named = f" (frame id {frame_id})" if frame_id is not None else ""
    return QssfFormatError("Truncated", f"truncated frame at index {index}{named}: the stream ends after "
                                        f"{found} of {'its' if exact else 'at least'} {expected} bytes")


def iter_frames(data: bytes, *, stream_header: bool = True, check_order: bool = True) -> Iterator[ParsedFrame]:
    """Parse frames with the native reader's rules for a stream that has ended, raising
    ``QssfFormatError``.

    The data ends the iteration where a frame would begin; data that ends inside the stream
    header or a frame raises the native reader's "truncated ..." error, naming the bytes found and
    (at least) expected. A frame whose payload differs from its checksum entry raises
    "payload checksum mismatch ...". With ``stream_header=False`` the data starts at a frame.
    """
    view = memoryview(data)
    size = len(view)
    pos = 0
    if stream_header:
        if 0 < size < STREAM_HEADER_LEN:
            raise QssfFormatError("Truncated", f"truncated stream header: the stream ends after {size} "
                                               f"of its {STREAM_HEADER_LEN} bytes")
        if size == 0:
            return
        parse_stream_header(view)
        pos = STREAM_HEADER_LEN
    last_id = None
    index = 0
    while size > pos:
        start = pos
        frame_id: int | None = None

        def need(n: int, at: int, rest: int = 0, exact: bool = False) -> None:
            # `n` bytes from `at` on, and at least `rest` after them (all of it when `exact`).
            if size - at < n:
                raise _truncated(index, frame_id, size - start, at + n + rest - start, exact)

        need(FRAME_HEADER_LEN, pos, 2 + TRAILER_LEN)
        header = bytes(view[pos:pos + FRAME_HEADER_LEN])
        fields = _HEADER.unpack(header)
        computed = crc32(header[:32])
        if computed != fields[9]:
            raise _crc_error(computed, fields[9])
        frame_id, n, flags = fields[0], fields[4], fields[8]
        pos += FRAME_HEADER_LEN
        if check_order and last_id is not None and frame_id <= last_id:
            raise QssfFormatError("FrameIdBackwards",
                                  f"frame ID went backwards: last seen {last_id}, got {frame_id}")
        last_id = frame_id

        lists = (2 if flags & FLAG_EXTENSIONS else 0) + (1 if flags & FLAG_ANNOTATIONS else 0)
        per_ancilla = n + (2 * n if flags & FLAG_TIMING_OFFSETS else 0) + \
            ((n + 7) // 8 if flags & FLAG_ANCILLA_BITS else 0)
        need(2, pos, per_ancilla + lists + TRAILER_LEN, lists == 0)
        (m,) = _U16.unpack_from(view, pos)
        pos += 2
        fixed = m + per_ancilla
        need(fixed, pos, lists + TRAILER_LEN, lists == 0)
        rle = bytes(view[pos:pos + m])
        pos += m
        meas = struct.unpack_from(f"<{n}b", view, pos)
        pos += n
        offsets: tuple[int, ...] = ()
        if flags & FLAG_TIMING_OFFSETS:
            offsets = struct.unpack_from(f"<{n}H", view, pos)
            pos += 2 * n
        bits = b""
        if flags & FLAG_ANCILLA_BITS:
            bits = bytes(view[pos:pos + (n + 7) // 8])
            pos += (n + 7) // 8

        annotated = 1 if flags & FLAG_ANNOTATIONS else 0
        extensions = None
        if flags & FLAG_EXTENSIONS:
            need(2, pos, annotated + TRAILER_LEN)
            (k,) = _U16.unpack_from(view, pos)
            pos += 2
            entries = []
            for i in range(k):
                later = 4 * (k - i - 1) + annotated + TRAILER_LEN
                need(4, pos, later)
                tag, length = _EXT_ENTRY_HEAD.unpack_from(view, pos)
                need(4 + length, pos, later, i == k - 1 and not annotated)
                entries.append((tag, bytes(view[pos + 4:pos + 4 + length])))
                pos += 4 + length
            extensions = tuple(entries)

        annotations = None
        if flags & FLAG_ANNOTATIONS:
            need(1, pos, TRAILER_LEN)
            c = view[pos]
            pos += 1
            if c:
                need(10 * c, pos, TRAILER_LEN, True)
            annotations = tuple(_ANNOTATION.unpack_from(view, pos + 10 * i) for i in range(c))
            pos += 10 * c

        need(TRAILER_LEN, pos, 0, True)
        trailer = bytes(view[pos:pos + TRAILER_LEN])
        marker, stored = _TRAILER.unpack(trailer)
        expected = crc32(header)
        if marker != TRAILER_MARKER or stored != expected:
            raise _crc_error(expected, stored)
        pos += TRAILER_LEN
        parsed = ParsedFrame(*fields, rle, meas, offsets, bits, extensions, annotations, trailer)
        stored = parsed.payload_checksum
        if stored is not None:
            payload_start = start + FRAME_HEADER_LEN
            computed = crc32c(bytes(view[payload_start:payload_start + 2 + fixed]))
            if computed != stored:
                raise QssfFormatError(
                    "PayloadChecksumMismatch",
                    f"payload checksum mismatch in frame at index {index} (frame id {frame_id}): "
                    f"CRC-32C expected {computed:#010x}, got {stored:#010x}")
        index += 1

        yield parsed


def read_stream(data: bytes) -> tuple[StreamHeader | None, list[ParsedFrame]]:
    """The stream header (None for fewer than 26 bytes) and every frame of ``data``."""
    if isinstance(data, (str, os.PathLike)):
        raise TypeError("read_stream takes the stream's bytes; read the file first")
    header = parse_stream_header(data) if len(data) >= STREAM_HEADER_LEN else None
    return header, list(iter_frames(data))


def _main() -> None:  # pragma: no cover - a debugging aid
    """Print the frames of the QSSF files named on the command line."""
    for path in sys.argv[1:]:
        with open(path, "rb") as f:
            header, frames = read_stream(f.read())
        print(f"{path}: {header}, {len(frames)} frames")
        for fr in frames[:10]:
            print(f"  {fr.frame_id} round={fr.round} events={fr.detector_event_count} "
                  f"flips={fr.observable_flips}")


if __name__ == "__main__":  # pragma: no cover
    _main()

