"""Annotated memory experiments for the 6.6.6 colour code on a triangle, written as Stim circuits.

Every detector carries four coordinates (x, y, t, mark): mark 0, 1, 2 for red, green and blue
X-type checks and 3, 4, 5 for Z-type ones, the convention colour-code decoders read.

Families (``family=``):
- ``"phenom"``: the phenomenological model: each round, every data qubit depolarises with p and
  every check (measured directly, as one multi-qubit Pauli product) is misread with the noise
  model's measurement error (p uniform, 5p SI1000-like).
- ``"cnot"``: one ancilla per face measuring its X check and then its Z check, CNOTs in the six
  directions of the hexagon.
- ``"superdense"``: two ancillas per face prepared as a Bell pair; one pass of CNOTs from the data
  into one and from the other into the data maps both checks onto the pair, read in the Bell basis.

Noise (``noise=``): ``"uniform"`` (every gate, reset, measurement and idle step at p) or
``"si1000"`` (superconducting-inspired: two-qubit gates p, one-qubit gates and idling p / 10,
resets 2p, measurements 5p, idling during measurement and reset 2p).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import stim

# The six neighbours of a face centre on the triangular lattice, in the order CNOTs visit them.
_DIRECTIONS = [(1, 0), (0, 1), (-1, 1), (-1, 0), (0, -1), (1, -1)]


@dataclass(frozen=True)
class Face:
    centre: tuple[int, int]
    colour: int  # 0 red, 1 green, 2 blue
    qubits: dict[int, int]  # direction index -> data qubit index


def triangle(distance: int) -> tuple[list[tuple[int, int]], list[Face]]:
    """Data qubit positions and faces of the distance-d triangular 6.6.6 colour code (d odd)."""
    if distance < 3 or distance % 2 == 0:
        raise ValueError("distance must be odd and at least 3")
    side = 3 * (distance - 1) // 2
    inside = lambda i, j: i >= 0 and j >= 0 and i + j <= side  # noqa: E731
    data = [(i, j) for j in range(side + 1) for i in range(side + 1) if inside(i, j) and (i - j) % 3 != 1]
    index = {q: k for k, q in enumerate(data)}
    faces = []
    for j in range(-2, side + 3):
        for i in range(-2, side + 3):
            if (i - j) % 3 != 1:
                continue
            qubits = {k: index[(i + di, j + dj)] for k, (di, dj) in enumerate(_DIRECTIONS) if (i + di, j + dj) in index}
            if len(qubits) >= 4:
                faces.append(Face((i, j), i % 3, qubits))
    return data, faces


def _xy(p: tuple[int, int]) -> tuple[float, float]:
    return (p[0] + p[1] / 2, round(p[1] * math.sqrt(3) / 2, 6))


class _Noise:
    def __init__(self, kind: str, p: float):
        if kind not in ("uniform", "si1000"):
            raise ValueError(f"unknown noise {kind!r}")
        s = kind == "si1000"
        self.p2 = p
        self.p1 = p / 10 if s else p
        self.idle = p / 10 if s else p
        self.reset = 2 * p if s else p
        self.measure = 5 * p if s else p
        self.measure_idle = 2 * p if s else p


class _Builder:
    def __init__(self, distance: int, rounds: int, p: float, noise: str, basis: str):
        self.data, self.faces = triangle(distance)
        self.n = len(self.data)
        self.rounds = rounds
        self.noise = _Noise(noise, p)
        self.p = p
        self.basis = basis
        self.c = stim.Circuit()
        self.m = 0  # measurements so far
        self.last: dict[tuple[int, str], int] = {}  # (face, basis) -> measurement index
        self.t = 0

    # --- noisy primitives -------------------------------------------------------------------
    def layer_cx(self, pairs: list[tuple[int, int]], everyone: list[int]):
        if not pairs:
            return
        self.c.append("CX", [q for pr in pairs for q in pr])
        self.c.append("DEPOLARIZE2", [q for pr in pairs for q in pr], self.noise.p2)
        busy = {q for pr in pairs for q in pr}
        idle = [q for q in everyone if q not in busy]
        if idle:
            self.c.append("DEPOLARIZE1", idle, self.noise.idle)

    def layer_1q(self, gate: str, qubits: list[int], everyone: list[int]):
        if not qubits:
            return
        self.c.append(gate, qubits)
        self.c.append("DEPOLARIZE1", qubits, self.noise.p1)
        idle = [q for q in everyone if q not in set(qubits)]
        if idle:
            self.c.append("DEPOLARIZE1", idle, self.noise.idle)

    def reset(self, qubits: list[int], everyone: list[int], x: bool = False):
        self.c.append("RX" if x else "R", qubits)
        self.c.append("Z_ERROR" if x else "X_ERROR", qubits, self.noise.reset)
        idle = [q for q in everyone if q not in set(qubits)]
        if idle:
            self.c.append("DEPOLARIZE1", idle, self.noise.measure_idle)

    def measure(self, qubits: list[int], everyone: list[int], x: bool = False) -> list[int]:
        self.c.append("Z_ERROR" if x else "X_ERROR", qubits, self.noise.measure)
        self.c.append("MX" if x else "M", qubits)
        idle = [q for q in everyone if q not in set(qubits)]
        if idle:
            self.c.append("DEPOLARIZE1", idle, self.noise.measure_idle)
        out = list(range(self.m, self.m + len(qubits)))
        self.m += len(qubits)
        return out

    # --- detectors -----------------------------------------------------------------------------
    def detector(self, face_index: int, basis: str, measurements: list[int]):
        f = self.faces[face_index]
        mark = f.colour + (3 if basis == "Z" else 0)
        x, y = _xy(f.centre)
        recs = [stim.target_rec(k - self.m) for k in measurements]
        self.c.append("DETECTOR", recs, [x, y, self.t, mark])

    def compare(self, face_index: int, basis: str, now: int):
        """A detector comparing this round's outcome of a check with the last one."""
        key = (face_index, basis)
        if key in self.last:
            self.detector(face_index, basis, [now, self.last[key]])
        elif basis == self.basis:
            self.detector(face_index, basis, [now])
        self.last[key] = now

    def finish(self):
        x = self.basis == "X"
        data = list(range(self.n))
        ms = self.measure(data, data, x=x)
        for k, f in enumerate(self.faces):
            self.detector(k, self.basis, [ms[q] for q in f.qubits.values()] + [self.last[(k, self.basis)]])
        self.c.append("OBSERVABLE_INCLUDE", [stim.target_rec(k - self.m) for k in ms], 0)


def _phenom(b: _Builder):
    data = list(range(b.n))
    b.c.append("RX" if b.basis == "X" else "R", data)
    for r in range(b.rounds):
        b.c.append("DEPOLARIZE1", data, b.p)
        for basis in ("X", "Z"):
            for k, f in enumerate(b.faces):
                targets = []
                for q in f.qubits.values():
                    targets += [stim.target_x(q) if basis == "X" else stim.target_z(q), stim.target_combiner()]
                b.c.append("MPP", targets[:-1], b.noise.measure)
                b.m += 1
                b.compare(k, basis, b.m - 1)
        b.c.append("SHIFT_COORDS", [], [0, 0, 1])
        b.t = 0
    # Perfect final readout, as the phenomenological model has it.
    b.noise.measure = 0.0
    b.noise.measure_idle = 0.0
    b.finish()


def _cnot(b: _Builder):
    n, F = b.n, len(b.faces)
    anc = list(range(n, n + F))
    everyone = list(range(n + F))
    b.reset(list(range(n)), everyone, x=b.basis == "X")
    for r in range(b.rounds):
        for basis in ("X", "Z"):
            b.reset(anc, everyone, x=basis == "X")
            for k in range(6):
                pairs = []
                for fi, f in enumerate(b.faces):
                    if k in f.qubits:
                        a, q = anc[fi], f.qubits[k]
                        pairs.append((a, q) if basis == "X" else (q, a))
                b.layer_cx(pairs, everyone)
            ms = b.measure(anc, everyone, x=basis == "X")
            for fi in range(F):
                b.compare(fi, basis, ms[fi])
        b.c.append("SHIFT_COORDS", [], [0, 0, 1])
    b.finish()


def _superdense(b: _Builder):
    n, F = b.n, len(b.faces)
    za = list(range(n, n + F))  # collects Z of the data
    xa = list(range(n + F, n + 2 * F))  # spreads X onto the data
    everyone = list(range(n + 2 * F))
    b.reset(list(range(n)), everyone, x=b.basis == "X")
    for r in range(b.rounds):
        b.reset(za, everyone)
        b.reset(xa, everyone, x=True)
        # Bell pair: stabilised by X_x X_z and Z_x Z_z.
        b.layer_cx([(xa[i], za[i]) for i in range(F)], everyone)
        # Data Z into za, then xa's X onto the data; directions split so no qubit is used twice.
        for k in range(6):
            b.layer_cx([(f.qubits[k], za[fi]) for fi, f in enumerate(b.faces) if k in f.qubits], everyone)
        for k in range(6):
            b.layer_cx([(xa[fi], f.qubits[k]) for fi, f in enumerate(b.faces) if k in f.qubits], everyone)
        b.layer_cx([(xa[i], za[i]) for i in range(F)], everyone)
        mz = b.measure(za, everyone)
        mx = b.measure(xa, everyone, x=True)
        for fi in range(F):
            b.compare(fi, "Z", mz[fi])
            b.compare(fi, "X", mx[fi])
        b.c.append("SHIFT_COORDS", [], [0, 0, 1])
    b.finish()


_FAMILIES = {"phenom": _phenom, "cnot": _cnot, "superdense": _superdense}


def colour_code_memory(
    distance: int, rounds: int, p: float, family: str = "cnot", noise: str = "uniform", basis: str = "Z"
) -> stim.Circuit:
    """A memory experiment preserving the logical `basis` state for `rounds` rounds."""
    if family not in _FAMILIES:
        raise ValueError(f"unknown family {family!r}; one of {sorted(_FAMILIES)}")
    if basis not in ("X", "Z"):
        raise ValueError("basis must be 'X' or 'Z'")
    b = _Builder(distance, rounds, p, noise, basis)
    _FAMILIES[family](b)
    return b.c


if __name__ == "__main__":
    for fam in _FAMILIES:
        c = colour_code_memory(3, 3, 0.001, fam)
        dem = c.detector_error_model()
        print(fam, c.num_qubits, c.num_detectors, dem.num_errors)
