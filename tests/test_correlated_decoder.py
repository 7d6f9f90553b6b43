"""Correlated decoding as Python sees it: a shared error pulls the correction to the other side, and
a model without `^` decodes exactly as the base method."""

import numpy as np
import pytest

from _ostrel import Decoder

stim = pytest.importorskip("stim")

# Each correlated method and the method it answers as when nothing is correlated.
PAIRS = [("matching", "correlated-matching"), ("matching", "correlated-union-find")]

# D0 and D2 fired. Alone, D0 is likelier explained through D1 (no observable); the Y error that
# explains D2 also flips D0 across L0.
Y_ERROR = "error(0.02) D0 L0 ^ D2\nerror(0.1) D0 D1\nerror(0.4) D1\n"


@pytest.mark.parametrize("base, correlated", PAIRS)
def test_a_shared_error_pulls_the_correction_across(base, correlated):
    shot = np.array([1, 0, 1], dtype=np.uint8)
    assert Decoder(Y_ERROR, method=base).decode(shot).tolist() == [0]
    assert Decoder(Y_ERROR, method=correlated).decode(shot).tolist() == [1]


@pytest.mark.parametrize("base, correlated", PAIRS)
def test_without_component_breaks_decodes_as_the_base(base, correlated):
    # Without two-qubit gate noise, no error of this circuit has two components.
    circuit = stim.Circuit.generated(
        "repetition_code:memory", distance=7, rounds=7, before_measure_flip_probability=0.03,
        after_reset_flip_probability=0.03, before_round_data_depolarization=0.05)
    dem = circuit.detector_error_model(decompose_errors=True)
    assert "^" not in str(dem)
    events, _ = circuit.compile_detector_sampler(seed=3).sample(3000, separate_observables=True)
    assert np.array_equal(Decoder(dem, method=correlated).decode_batch(events),
                          Decoder(dem, method=base).decode_batch(events))


@pytest.mark.parametrize("method", ["correlated-matching", "correlated-union-find"])
def test_max_passes_one_decodes_as_matching_and_zero_is_refused(method):
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                     after_clifford_depolarization=0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = circuit.compile_detector_sampler(seed=5).sample(2000, separate_observables=True)
    matched = Decoder(dem, method="matching").decode_batch(events)
    assert np.array_equal(Decoder(dem, method=method, max_passes=1).decode_batch(events), matched)
    # More passes change some answers on this noise: the option reaches the decoder.
    assert not np.array_equal(Decoder(dem, method=method, max_passes=3).decode_batch(events), matched)
    with pytest.raises(ValueError, match="max_passes"):
        Decoder(dem, method=method, max_passes=0)


def test_union_find_from_chooses_the_first_pass_per_shot():
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=5, rounds=5,
                                     after_clifford_depolarization=0.01)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = circuit.compile_detector_sampler(seed=7).sample(4000, separate_observables=True)
    first_matching = Decoder(dem, method="correlated-matching", max_passes=2).decode_batch(events)
    # Every shot below the size: two matching passes; none: Union-Find's first pass answers otherwise.
    def fast(size):
        return Decoder(dem, method="correlated-union-find", max_passes=2, union_find_from=size).decode_batch(events)

    assert np.array_equal(fast(2**32 - 1), first_matching)
    assert not np.array_equal(fast(0), first_matching)
    with pytest.raises(ValueError, match="union_find_from"):
        Decoder(dem, method="correlated-union-find", union_find_from=-1)
    with pytest.raises(ValueError, match="union_find_from"):
        Decoder(dem, method="correlated-matching", union_find_from=0)
