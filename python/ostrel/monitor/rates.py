"""Logical error rates with their 95 % intervals, per shot and per round."""

from __future__ import annotations

import math

Z95 = 1.959963984540054


def wilson(failures: int, shots: int, z: float = Z95) -> tuple[float, float]:
    """The Wilson score interval of a binomial proportion (sound at 0 and at n failures)."""
    if shots == 0:
        return 0.0, 1.0
    p = failures / shots
    scale = 1 + z * z / shots
    centre = (p + z * z / (2 * shots)) / scale
    half = z * math.sqrt(p * (1 - p) / shots + z * z / (4 * shots * shots)) / scale
    return max(0.0, centre - half), min(1.0, centre + half)


def per_round(p_shot: float, rounds: int) -> float:
    """The error rate per round that compounds to `p_shot` over `rounds` rounds, each round
    flipping the logical with that probability: 1 - 2 p_shot = (1 - 2 p_round) ** rounds."""
    if rounds <= 0 or p_shot >= 0.5:
        return min(p_shot, 0.5)
    return float((1 - (1 - 2 * p_shot) ** (1 / rounds)) / 2)


def logical_figures(failures: int, shots: int, rounds: int) -> dict:
    """The shot failure rate and the per-round rate, each with its 95 % interval (the per-round
    interval maps the shot interval's ends, per_round being increasing)."""
    rate = failures / shots if shots else None
    low, high = wilson(failures, shots)
    return {
        "shots": shots, "failures": failures, "rate": rate, "low": low, "high": high,
        "rounds_per_shot": rounds,
        "per_round": {"rate": per_round(rate, rounds) if rate is not None else None,
                      "low": per_round(low, rounds), "high": per_round(high, rounds)},
    }
