"""DEM text parsing: _ostrel.DetectorErrorModel.parse against stim.DetectorErrorModel(text).

Generates a distance-11 rotated surface code memory experiment with 11 rounds of circuit noise,
takes its decomposed detector error model and times, in one run and on the same text:
  (a) DetectorErrorModel.parse of the flattened text (no repeat blocks),
  (b) stim.DetectorErrorModel of the same text,
  (c) DetectorErrorModel.parse of the folded text as Stim writes it (repeat blocks, shifts).
Each is repeated; the best and the median run are printed, and the ratio ours / Stim's.

    PYTHONPATH=build/python:python python bench/dem_parse.py [--distance D] [--rounds R] [--repeats N]
"""

from __future__ import annotations

import argparse
import statistics
import time

import stim

import _ostrel


def model_texts(distance: int, rounds: int) -> tuple[str, str, stim.DetectorErrorModel]:
    circuit = stim.Circuit.generated(
        "surface_code:rotated_memory_z", distance=distance, rounds=rounds,
        after_clifford_depolarization=0.001, before_measure_flip_probability=0.001,
        after_reset_flip_probability=0.001, before_round_data_depolarization=0.001)
    dem = circuit.detector_error_model(decompose_errors=True)
    return str(dem.flattened()), str(dem), dem


def best_and_median(fn, repeats: int) -> tuple[float, float]:
    fn()  # warm up: first touches of the text and the allocator
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--distance", type=int, default=11)
    ap.add_argument("--rounds", type=int, default=11)
    ap.add_argument("--repeats", type=int, default=30)
    args = ap.parse_args()

    flat_text, folded_text, dem = model_texts(args.distance, args.rounds)
    ours = _ostrel.DetectorErrorModel.parse(flat_text)
    folded = _ostrel.DetectorErrorModel.parse(folded_text)
    peer = stim.DetectorErrorModel(flat_text)
    # Both readers must see the same model before their times mean anything.
    assert ours.detector_count == folded.detector_count == peer.num_detectors
    assert ours.observable_count == peer.num_observables
    assert ours.error_count == folded.error_count == peer.num_errors == dem.num_errors

    print(f"surface code d={args.distance}, {args.rounds} rounds: {ours!r}")
    print(f"flattened text {len(flat_text) / 1e6:.2f} MB, {flat_text.count(chr(10))} lines; "
          f"folded text {len(folded_text) / 1e6:.2f} MB")

    ours_best, ours_median = best_and_median(lambda: _ostrel.DetectorErrorModel.parse(flat_text),
                                              args.repeats)
    stim_best, stim_median = best_and_median(lambda: stim.DetectorErrorModel(flat_text), args.repeats)
    folded_best, folded_median = best_and_median(
        lambda: _ostrel.DetectorErrorModel.parse(folded_text), args.repeats)

    rate = len(flat_text) / ours_best / 1e6
    print(f"{'':32}{'best':>10}{'median':>10}")
    print(f"{'ostrel parse (flattened)':32}{ours_best * 1e3:9.2f}ms{ours_median * 1e3:9.2f}ms"
          f"   {rate:.0f} MB/s")
    print(f"{'stim.DetectorErrorModel':32}{stim_best * 1e3:9.2f}ms{stim_median * 1e3:9.2f}ms")
    print(f"{'ostrel parse (repeat blocks)':32}{folded_best * 1e3:9.2f}ms{folded_median * 1e3:9.2f}ms")
    print(f"ratio ostrel / stim (flattened): best {ours_best / stim_best:.2f}, "
          f"median {ours_median / stim_median:.2f}  (below 1 means ours is faster)")


if __name__ == "__main__":
    main()
