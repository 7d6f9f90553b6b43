"""method="matching": its corrections weigh what pymatching's minimum-weight perfect matchings
weigh, shot by shot; returned weights, refusals of shots no matching explains, streams."""

import numpy as np
import pytest

from _ostrel import Decoder

stim = pytest.importorskip("stim")
pymatching = pytest.importorskip("pymatching")


def memory(task, distance, p):
    return stim.Circuit.generated(
        task, distance=distance, rounds=distance, after_clifford_depolarization=p,
        before_measure_flip_probability=p, after_reset_flip_probability=p,
        before_round_data_depolarization=p)


@pytest.mark.parametrize("task, distance, p", [
    ("repetition_code:memory", 5, 0.01),
    ("surface_code:rotated_memory_x", 3, 0.01),
    ("surface_code:rotated_memory_z", 5, 0.005),
    ("surface_code:unrotated_memory_x", 3, 0.002),
    ("surface_code:unrotated_memory_z", 5, 0.01),
])
def test_every_correction_weighs_the_minimum(task, distance, p):
    circuit = memory(task, distance, p)
    dem = circuit.detector_error_model(decompose_errors=True)
    shots, _ = circuit.compile_detector_sampler(seed=distance).sample(10_000, separate_observables=True)
    ours, weights = Decoder(dem, method="matching").decode_batch(shots, return_weights=True)
    theirs, their_weights = pymatching.Matching.from_detector_error_model(dem).decode_batch(
        shots, return_weights=True)
    # Both weigh edges in integer steps: ours of 1/4096 per edge, pymatching's finer than 1/2048
    # for these models; a correction has at most one edge per fired detector.
    bound = (2 / 4096 + 2 / 2048) * (shots.sum(axis=1) + 1)
    assert (np.abs(weights - their_weights) <= bound).all()
    single, weight = Decoder(dem, method="matching").decode(shots[0], return_weight=True)
    assert np.array_equal(single, ours[0]) and weight == weights[0]
    # Equal weights may still differ in observables on the rare exact tie.
    assert (ours != theirs).any(axis=1).mean() < 0.002


@pytest.mark.parametrize("dem, fired, message", [
    ("error(0.1) D0 D1\nerror(0.1) D1 D2\n", [1, 0, 0], "component of 3 detectors from D0 has no boundary"),
    ("error(0.1) D0 D1\nerror(0.1) D2\n", [0, 1, 0], "component of 2 detectors from D0"),
    ("error(0.6) D0 D1\nerror(0.1) D3\ndetector D2\n", [0, 0, 1, 0], "component of 1 detector from D2"),
])
@pytest.mark.parametrize("method", ["matching", "weighted-union-find"])
def test_a_shot_no_matching_explains_is_refused(dem, fired, message, method):
    decoder = Decoder(dem, method=method)
    with pytest.raises(ValueError, match=message):
        decoder.decode(np.array(fired, dtype=np.uint8))
    batch = np.zeros((3, len(fired)), dtype=np.uint8)
    batch[2] = fired
    with pytest.raises(ValueError, match="shot 2: no matching explains"):
        decoder.decode_batch(batch)


def test_weights_are_the_models_and_the_fixed_procedure_has_none():
    decoder = Decoder("error(0.1) D0 D1 L0\nerror(0.01) D1\nerror(0.2) D0\n", method="matching")
    prediction, weight = decoder.decode(np.array([1, 1], dtype=np.uint8), return_weight=True)
    assert prediction.tolist() == [1] and weight == pytest.approx(np.log(9), abs=1e-3)
    predictions, weights = decoder.decode_batch(np.array([[0, 0], [0, 1], [1, 0]], dtype=np.uint8),
                                                return_weights=True)
    # D1 leaves through D0 (ln 9 + ln 4) rather than on its own edge (ln 99).
    assert predictions.tolist() == [[0], [1], [0]]
    assert weights == pytest.approx([0, np.log(36), np.log(4)], abs=1e-3)
    with pytest.raises(ValueError, match="'union-find' method weighs no corrections"):
        Decoder("error(0.1) D0", method="union-find").decode(np.zeros(1, dtype=np.uint8), return_weight=True)
