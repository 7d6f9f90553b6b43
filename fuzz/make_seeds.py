"""Writes the fuzzing harnesses' seed corpora into fuzz/corpus/<harness>/.

Frame streams come from the package's own writer (each behind the harness's 6-byte prelude),
models from Stim's generated circuits plus a few written by hand. Run from the repository root:
    PYTHONPATH=python .venv/bin/python fuzz/make_seeds.py
"""
from __future__ import annotations

import pathlib

import stim

from ostrel import qssf

ROOT = pathlib.Path(__file__).resolve().parent / "corpus"


def write(harness: str, name: str, data: bytes) -> None:
    folder = ROOT / harness
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def frame_seeds() -> None:
    schema = bytes(range(16))
    head = qssf.stream_header(schema)
    plain = head + b"".join(
        qssf.frame(i, round=i, detector_events=[(i + k) % 3 == 0 for k in range(8)]) for i in range(1, 4))
    full = head + qssf.frame(
        7, round=2, timestamp_ns=123, detector_events=[1, 0, 0, 1, 1], meas_results=[1, -1, 0, 1, -1],
        timing_offsets=[0, 10, 20, 30, 40], ancilla_bits=b"\x19", observable_flips=0b101, text="hi",
        annotations=[(1, 2, 3)])
    broken_crc = head + qssf.frame(1, detector_events=[1, 0], header_crc=0) + qssf.frame(2, detector_events=[0, 1])
    backwards = head + qssf.frame(5, detector_events=[1]) + qssf.frame(4, detector_events=[1]) + qssf.frame(6)
    cut = plain[: len(plain) - 9]
    # Prelude: validation on/off, ring size, schema registered, chunk seed, schema counts.
    write("frame_reader_fuzz", "plain", bytes([0, 1, 17, 8, 0, 4]) + plain)
    write("frame_reader_fuzz", "plain_schema", bytes([16, 2, 17, 8, 0, 8]) + plain)
    write("frame_reader_fuzz", "full_small_ring", bytes([2, 3, 11, 5, 0, 5]) + full)
    write("frame_reader_fuzz", "full_no_checks", bytes([1, 4, 0, 0, 0, 0]) + full)
    write("frame_reader_fuzz", "broken_crc", bytes([6, 5, 0, 0, 0, 0]) + broken_crc)
    write("frame_reader_fuzz", "backwards", bytes([0, 6, 0, 0, 0, 0]) + backwards)
    write("frame_reader_fuzz", "cut", bytes([8, 7, 0, 0, 0, 0]) + cut)
    # Batch reads: validation, ring size, bit packing, schema registered; chunk and batch seeds.
    write("batch_read_fuzz", "plain_packed", bytes([16, 1, 3, 17, 8]) + plain)
    write("batch_read_fuzz", "plain_schema", bytes([32, 2, 5, 17, 8]) + plain)
    write("batch_read_fuzz", "full_small_ring", bytes([2, 3, 0, 0, 0]) + full)
    write("batch_read_fuzz", "broken_crc", bytes([22, 5, 7, 0, 0]) + broken_crc)
    write("batch_read_fuzz", "backwards", bytes([1, 6, 9, 0, 0]) + backwards)
    write("batch_read_fuzz", "cut", bytes([8, 7, 2, 0, 0]) + cut)
    # The same frame twice: its repeat is refused by the single read and must stop a batch too.
    again = qssf.frame(2, round=1, detector_events=[1, 0, 1])
    repeated = head + qssf.frame(1, detector_events=[0, 1, 1]) + again + again + qssf.frame(3, detector_events=[1, 1, 0])
    write("batch_read_fuzz", "repeated", bytes([0, 9, 4, 0, 0]) + repeated)
    # Payload checksums: every frame carries one; the second frame's payload is damaged after it
    # was written, so the reader reports it and reads on.
    checked = [qssf.frame(i, round=i, detector_events=[(i + k) % 3 == 0 for k in range(8)], payload_checksum=True,
                          **({"timing_offsets": [5] * 8, "observable_flips": 1} if i == 3 else {}))
               for i in range(1, 5)]
    damaged = bytearray(checked[1])
    damaged[qssf.FRAME_HEADER_LEN + 2] ^= 0x01
    checksummed = head + checked[0] + bytes(damaged) + b"".join(checked[2:])
    write("frame_reader_fuzz", "checksummed", bytes([2, 8, 5, 0, 0, 0]) + checksummed)
    write("batch_read_fuzz", "checksummed", bytes([0, 8, 6, 0, 0]) + checksummed)
    # Through a ring: piece-size seed; ring capacity and reader ring size. Many frames, so that
    # the 4 KiB ring fills and wraps.
    many = head + b"".join(qssf.frame(i, detector_events=[(i * k) % 5 == 0 for k in range(40)]) for i in range(1, 80))
    write("shm_ring_fuzz", "many", bytes([1, 0]) + many)
    write("shm_ring_fuzz", "full_small_ring", bytes([2, 3 << 2]) + full)
    write("shm_ring_fuzz", "cut", bytes([3, 1 | (6 << 2)]) + cut)
    write("shm_ring_fuzz", "broken_crc", bytes([4, 2]) + broken_crc)


def dem_seeds() -> None:
    syndrome = b"\x00" + bytes([3, 0, 5, 0, 1, 0, 2, 0x80])
    for task, d, r in [("repetition_code:memory", 3, 3), ("surface_code:rotated_memory_x", 3, 2),
                       ("color_code:memory_xyz", 3, 2)]:
        circuit = stim.Circuit.generated(task, distance=d, rounds=r, after_clifford_depolarization=0.01,
                                         before_measure_flip_probability=0.01)
        text = str(circuit.detector_error_model(decompose_errors=True))
        write("dem_decode_fuzz", task.split(":")[0], text.encode() + syndrome)
    hand = {
        "repeat_shift": "detector(0, 0) D0\nrepeat 3 {\n  error(0.1) D0 D1 L0\n  error(0.2) D0 ^ D1\n"
                        "  shift_detectors(0, 1) 1\n}\nlogical_observable L1\n",
        "chain": "error(0.1) D0 D1 D2 D3 L0\nerror(0.6) D2\nerror(0) D1 D3\nerror(1) D0 L1 L1\n",
        "coords": "detector(1.5, -2, 3) D4\ndetector D2\n# comment\nerror(0.25) D2 D4 L63\n",
        "parallel": "error(0.1) D0 D1\nerror(0.1) D1 D0 L0\nerror(0.3) D1\nerror(0.3) D1 L2\n",
    }
    for name, text in hand.items():
        write("dem_decode_fuzz", name, text.encode() + syndrome)
    # Sliding windows: commit and buffer rounds, table shape, then rounds of events.
    rounds = bytes([0, 1, 0, 1, 1, 0, 0, 1, 0, 0, 0x81, 1, 1, 0xff, 0, 0, 1])
    for name in ("repetition_code", "surface_code", "repeat_shift", "coords"):
        text = (ROOT / "dem_decode_fuzz" / name).read_bytes().split(b"\x00")[0]
        write("sliding_window_fuzz", name, text + b"\x00" + bytes([1, 2, 3]) + rounds)


if __name__ == "__main__":
    frame_seeds()
    dem_seeds()
