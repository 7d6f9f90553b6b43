"""A plain pure-Python QSSF reader, the baseline the native reader is timed against.

It is what a user would write with ``struct`` and ``zlib``: read the file
section by section through a buffered file, check every structural rule (stream
header, header CRC, rising frame ids, section lengths, optional sections,
extension and annotation lists, trailer) and decode the detector events.

Run it on a file to time it:  python bench/pure_python_reader.py STREAM.qssf
"""

from __future__ import annotations

import struct
import sys
import time
import zlib
from typing import Iterator, NamedTuple

MAGIC = 0x51535346
VERSION = 1
FLAG_TIMING_OFFSETS = 1
FLAG_ANCILLA_BITS = 2
FLAG_EXTENSIONS = 4
FLAG_ANNOTATIONS = 8
TAG_OBSERVABLE_FLIPS = 16

STREAM_HEADER = struct.Struct("<IH16sI")
FRAME_HEADER = struct.Struct("<QIQHHIBBHI")
TRAILER = struct.Struct("<HI")


class Frame(NamedTuple):
    frame_id: int
    round: int
    timestamp_ns: int
    qubit_count: int
    ancilla_count: int
    code_type: int
    distance: int
    detector_events: list[int]
    meas_results: bytes
    observable_flips: int | None


class FormatError(ValueError):
    pass


def _length_error(declared: int, found: int) -> FormatError:
    return FormatError(f"payload length mismatch: header declares {declared} bytes, found {found}")


def decode_events(rle: bytes, n: int) -> list[int]:
    events: list[int] = []
    for b in rle:
        events.extend([b >> 7] * (b & 0x7F))
    if len(events) > n:
        del events[n:]
    else:
        events.extend([0] * (n - len(events)))
    return events


def read_file(path: str) -> Iterator[Frame]:
    """Yield the frames of a QSSF file; raise FormatError on a structural fault."""
    with open(path, "rb") as f:
        head = f.read(STREAM_HEADER.size)
        if len(head) < STREAM_HEADER.size:
            return
        magic, version, _schema_id, _reserved = STREAM_HEADER.unpack(head)
        if magic != MAGIC:
            raise FormatError(f"invalid QSSF magic bytes: expected 0x51535346, got {magic:#010x}")
        if version != VERSION:
            raise FormatError(f"unsupported QSSF format version: {version}")

        last_id = None
        while True:
            header = f.read(FRAME_HEADER.size)
            if len(header) < FRAME_HEADER.size:
                return
            (frame_id, rnd, timestamp, qubits, n, _reserved, code_type, distance,
             flags, stored_crc) = FRAME_HEADER.unpack(header)
            computed = zlib.crc32(header[:32])
            if computed != stored_crc:
                raise FormatError(f"CRC32 mismatch: expected {computed:#010x}, got {stored_crc:#010x}")
            if last_id is not None and frame_id <= last_id:
                raise FormatError(f"frame ID went backwards: last seen {last_id}, got {frame_id}")
            last_id = frame_id

            raw = f.read(2)
            if len(raw) < 2:
                raise _length_error(2, len(raw))
            (m,) = struct.unpack("<H", raw)
            fixed = m + n
            if flags & FLAG_TIMING_OFFSETS:
                fixed += 2 * n
            if flags & FLAG_ANCILLA_BITS:
                fixed += (n + 7) // 8
            payload = f.read(fixed)
            if len(payload) < fixed:
                raise _length_error(fixed, len(payload))
            rle = payload[:m]
            meas = payload[m:m + n]
            # Timing offsets and ancilla bits are structurally checked by their length only.

            flips = None
            if flags & FLAG_EXTENSIONS:
                raw = f.read(2)
                if len(raw) < 2:
                    raise _length_error(2, len(raw))
                (count,) = struct.unpack("<H", raw)
                for _ in range(count):
                    entry = f.read(4)
                    if len(entry) < 4:
                        break
                    tag, length = struct.unpack("<HH", entry)
                    value = f.read(length)
                    if len(value) < length:
                        break
                    if tag == TAG_OBSERVABLE_FLIPS and length == 8:
                        (flips,) = struct.unpack("<Q", value)

            if flags & FLAG_ANNOTATIONS:
                raw = f.read(1)
                if not raw:
                    raise _length_error(1, 0)
                size = 10 * raw[0]
                records = f.read(size)
                if len(records) < size:
                    raise _length_error(size, len(records))

            # A trailer cut short by the end of the file leaves the frame standing without it.
            trailer = f.read(TRAILER.size)
            if len(trailer) == TRAILER.size:
                marker, stored = TRAILER.unpack(trailer)
                expected = zlib.crc32(header)
                if marker != 0xFFFF or stored != expected:
                    raise FormatError(f"CRC32 mismatch: expected {expected:#010x}, got {stored:#010x}")

            yield Frame(frame_id, rnd, timestamp, qubits, n, code_type, distance,
                        decode_events(rle, n), meas, flips)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {argv[0]} STREAM.qssf", file=sys.stderr)
        return 2
    start = time.perf_counter()
    frames = events = 0
    for fr in read_file(argv[1]):
        frames += 1
        events += sum(fr.detector_events)
    elapsed = time.perf_counter() - start
    rate = frames / elapsed if elapsed > 0 else float("inf")
    print(f"{frames} frames, {events} detector events in {elapsed:.3f} s ({rate:,.0f} frames/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
