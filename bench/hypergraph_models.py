"""Stim memory experiments whose detector error models have hyperedges, for the hypergraph decoders.

- Bivariate-bicycle codes (Bravyi et al., arXiv:2308.07915) [[72,12,6]], [[90,8,10]], [[144,12,12]]
  under phenomenological noise: every round depolarises the data with p and measures each Z check
  with one MPP whose result flips with probability p; the data are read out at the end. Z basis,
  one observable per logical qubit.
  The same codes under circuit noise, their checks measured through ancillas (not the papers'
  depth-8 cycle: see circuit_level_circuit).
- Hypergraph-product codes of a classical code with itself, the same noise.
- Stim's colour code (`color_code:memory_xyz`) and the rotated surface code, circuit noise p,
  models left undecomposed.

    python bench/hypergraph_models.py bb72 0.03 6    # prints the circuit's DEM
"""

from __future__ import annotations

import sys

import numpy as np
import stim

# (l, m, A terms, B terms), each term ("x" | "y", power); x = S_l ⊗ I_m, y = I_l ⊗ S_m.
BB_CODES = {
    "bb72": (6, 6, [("x", 3), ("y", 1), ("y", 2)], [("y", 3), ("x", 1), ("x", 2)]),
    "bb90": (15, 3, [("x", 9), ("y", 1), ("y", 2)], [("y", 0), ("x", 2), ("x", 7)]),
    "bb144": (12, 6, [("x", 3), ("y", 1), ("y", 2)], [("y", 3), ("x", 1), ("x", 2)]),
}


def _shift(n: int, power: int) -> np.ndarray:
    return np.roll(np.eye(n, dtype=np.uint8), power, axis=1)


def bb_checks(name: str) -> tuple[np.ndarray, np.ndarray]:
    """HX = [A | B], HZ = [B^T | A^T]."""
    l, m, a_terms, b_terms = BB_CODES[name]

    def term(kind: str, power: int) -> np.ndarray:
        if kind == "x":
            return np.kron(_shift(l, power), np.eye(m, dtype=np.uint8))
        return np.kron(np.eye(l, dtype=np.uint8), _shift(m, power))

    a = sum(term(*t) for t in a_terms) % 2
    b = sum(term(*t) for t in b_terms) % 2
    return np.hstack([a, b]).astype(np.uint8), np.hstack([b.T, a.T]).astype(np.uint8)


def hypergraph_product(h: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """HX = [H ⊗ I, I ⊗ H^T], HZ = [I ⊗ H, H^T ⊗ I] for classical checks H (r x n)."""
    r, n = h.shape
    hx = np.hstack([np.kron(h, np.eye(n, dtype=np.uint8)), np.kron(np.eye(r, dtype=np.uint8), h.T)]) % 2
    hz = np.hstack([np.kron(np.eye(n, dtype=np.uint8), h), np.kron(h.T, np.eye(r, dtype=np.uint8))]) % 2
    return hx.astype(np.uint8), hz.astype(np.uint8)


def _row_reduce(m: np.ndarray) -> tuple[np.ndarray, list[int]]:
    m = m.copy() % 2
    pivots, row = [], 0
    for col in range(m.shape[1]):
        hits = np.nonzero(m[row:, col])[0]
        if len(hits) == 0:
            continue
        r = row + hits[0]
        m[[row, r]] = m[[r, row]]
        for other in np.nonzero(m[:, col])[0]:
            if other != row:
                m[other] ^= m[row]
        pivots.append(col)
        row += 1
        if row == m.shape[0]:
            break
    return m[:row], pivots


def _kernel(h: np.ndarray) -> np.ndarray:
    reduced, pivots = _row_reduce(h)
    n = h.shape[1]
    free = [c for c in range(n) if c not in set(pivots)]
    basis = []
    for f in free:
        v = np.zeros(n, dtype=np.uint8)
        v[f] = 1
        for i, p in enumerate(pivots):
            v[p] = reduced[i, f]
        basis.append(v)
    return np.array(basis, dtype=np.uint8)


def z_logicals(hx: np.ndarray, hz: np.ndarray) -> np.ndarray:
    """Z operators commuting with every X check and independent of the Z checks."""
    rank_z = len(_row_reduce(hz)[1])
    chosen: list[np.ndarray] = []
    for v in _kernel(hx):
        trial = np.vstack([hz] + chosen + [v])
        if len(_row_reduce(trial)[1]) > rank_z + len(chosen):
            chosen.append(v)
    return np.array(chosen, dtype=np.uint8)


def phenomenological_circuit(hx: np.ndarray, hz: np.ndarray, p: float, rounds: int) -> stim.Circuit:
    n = hz.shape[1]
    checks = [np.nonzero(row)[0] for row in hz]
    logicals = z_logicals(hx, hz)
    c = stim.Circuit()
    c.append("R", range(n))
    k = len(checks)
    for r in range(rounds):
        c.append("DEPOLARIZE1", range(n), p)
        targets = []
        for q in checks:
            for i, qubit in enumerate(q):
                if i:
                    targets.append(stim.target_combiner())
                targets.append(stim.target_z(int(qubit)))
        c.append("MPP", targets, p)
        for i in range(k):
            recs = [stim.target_rec(-k + i)] + ([stim.target_rec(-2 * k + i)] if r else [])
            c.append("DETECTOR", recs, [i, r])
    c.append("M", range(n))
    for i, q in enumerate(checks):
        recs = [stim.target_rec(-n + int(j)) for j in q] + [stim.target_rec(-n - k + i)]
        c.append("DETECTOR", recs, [i, rounds])
    for o, logical in enumerate(logicals):
        c.append("OBSERVABLE_INCLUDE", [stim.target_rec(-n + int(j)) for j in np.nonzero(logical)[0]], o)
    return c


def _colour_layers(h: np.ndarray) -> list[list[tuple[int, int]]]:
    """The (check, qubit) pairs of `h` in layers where no check or qubit appears twice (greedy)."""
    layers: list[list[tuple[int, int]]] = []
    busy_check: list[set[int]] = []
    busy_qubit: list[set[int]] = []
    for c, row in enumerate(h):
        for q in np.nonzero(row)[0]:
            q = int(q)
            layer = 0
            while layer < len(layers) and (c in busy_check[layer] or q in busy_qubit[layer]):
                layer += 1
            if layer == len(layers):
                layers.append([])
                busy_check.append(set())
                busy_qubit.append(set())
            layers[layer].append((c, q))
            busy_check[layer].add(c)
            busy_qubit[layer].add(q)
    return layers


def circuit_level_circuit(hx: np.ndarray, hz: np.ndarray, p: float, rounds: int) -> stim.Circuit:
    """Z-basis memory under circuit noise: each round measures the Z checks, then the X checks,
    each through an ancilla with CNOTs in the layers of an edge colouring of its Tanner graph.
    Noise p: two-qubit depolarisation after every CNOT, one-qubit after every H and on idle data
    per layer, flips of resets and measurements. Not the papers' depth-8 cycle (which keeps the
    code's distance); hook errors may lower it."""
    n, kz, kx = hz.shape[1], hz.shape[0], hx.shape[0]
    z_anc = list(range(n, n + kz))
    x_anc = list(range(n + kz, n + kz + kx))
    z_layers, x_layers = _colour_layers(hz), _colour_layers(hx)
    logicals = z_logicals(hx, hz)
    c = stim.Circuit()
    c.append("R", range(n))
    c.append("X_ERROR", range(n), p)
    for r in range(rounds):
        c.append("R", z_anc + x_anc)
        c.append("X_ERROR", z_anc + x_anc, p)
        for layer in z_layers:
            pairs = [t for check, q in layer for t in (q, z_anc[check])]
            c.append("CX", pairs)
            c.append("DEPOLARIZE2", pairs, p)
        c.append("H", x_anc)
        c.append("DEPOLARIZE1", x_anc, p)
        for layer in x_layers:
            pairs = [t for check, q in layer for t in (x_anc[check], q)]
            c.append("CX", pairs)
            c.append("DEPOLARIZE2", pairs, p)
        c.append("H", x_anc)
        c.append("DEPOLARIZE1", x_anc, p)
        c.append("X_ERROR", z_anc + x_anc, p)
        c.append("M", z_anc + x_anc)
        c.append("DEPOLARIZE1", range(n), p)
        m = kz + kx
        for i in range(kz):
            recs = [stim.target_rec(-m + i)] + ([stim.target_rec(-2 * m + i)] if r else [])
            c.append("DETECTOR", recs, [i, r, 0])
        if r:
            for i in range(kx):
                c.append("DETECTOR", [stim.target_rec(-kx + i), stim.target_rec(-m - kx + i)], [i, r, 1])
    c.append("X_ERROR", range(n), p)
    c.append("M", range(n))
    for i, row in enumerate(hz):
        recs = [stim.target_rec(-n + int(j)) for j in np.nonzero(row)[0]] + [stim.target_rec(-n - kz - kx + i)]
        c.append("DETECTOR", recs, [i, rounds, 0])
    for o, logical in enumerate(logicals):
        c.append("OBSERVABLE_INCLUDE", [stim.target_rec(-n + int(j)) for j in np.nonzero(logical)[0]], o)
    return c


def bb_circuit_level(name: str, p: float, rounds: int) -> stim.Circuit:
    return circuit_level_circuit(*bb_checks(name), p, rounds)


def bb_circuit(name: str, p: float, rounds: int) -> stim.Circuit:
    return phenomenological_circuit(*bb_checks(name), p, rounds)


def hgp_circuit(p: float, rounds: int) -> stim.Circuit:
    """The [[58,16]]-like product of the [7,4,3] Hamming code's checks with themselves."""
    hamming = np.array([[1, 0, 1, 0, 1, 0, 1], [0, 1, 1, 0, 0, 1, 1], [0, 0, 0, 1, 1, 1, 1]], dtype=np.uint8)
    return phenomenological_circuit(*hypergraph_product(hamming), p, rounds)


def color_circuit(d: int, p: float) -> stim.Circuit:
    return stim.Circuit.generated("color_code:memory_xyz", distance=d, rounds=d, after_clifford_depolarization=p,
                                  before_round_data_depolarization=p, before_measure_flip_probability=p,
                                  after_reset_flip_probability=p)


def surface_circuit(d: int, p: float) -> stim.Circuit:
    return stim.Circuit.generated("surface_code:rotated_memory_x", distance=d, rounds=d,
                                  after_clifford_depolarization=p, before_round_data_depolarization=p,
                                  before_measure_flip_probability=p, after_reset_flip_probability=p)


MODELS = {
    "bb72": lambda p, r: bb_circuit("bb72", p, r),
    "bb90": lambda p, r: bb_circuit("bb90", p, r),
    "bb144": lambda p, r: bb_circuit("bb144", p, r),
    "bb72-circuit": lambda p, r: bb_circuit_level("bb72", p, r),
    "bb144-circuit": lambda p, r: bb_circuit_level("bb144", p, r),
    "hgp": hgp_circuit,
    "color": lambda p, d: color_circuit(d, p),
    "surface": lambda p, d: surface_circuit(d, p),
}

if __name__ == "__main__":
    name, p, r = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
    print(MODELS[name](p, r).detector_error_model(decompose_errors=False))
