"""The Decoder class: the weighted decoder against pymatching on Stim experiments, the array
conventions it shares with pymatching, its refusals, the fixed procedure behind
method="union-find", exclusive use across threads, and decoders handed to streams."""

import threading

import numpy as np
import pytest

import ostrel
from _ostrel import Decoder, DetectorErrorModel, OstrelStream
from ostrel import qssf
from test_decoder import stim_graph, union_find_literal

stim = pytest.importorskip("stim")
pymatching = pytest.importorskip("pymatching")


def surface(distance, p, rounds=None):
    return stim.Circuit.generated(
        "surface_code:rotated_memory_x", distance=distance, rounds=rounds or distance,
        after_clifford_depolarization=p, before_measure_flip_probability=p,
        after_reset_flip_probability=p, before_round_data_depolarization=p)


def repetition(distance, p):
    return stim.Circuit.generated(
        "repetition_code:memory", distance=distance, rounds=distance,
        after_clifford_depolarization=p, before_measure_flip_probability=p,
        after_reset_flip_probability=p, before_round_data_depolarization=p)


def sample(circuit, shots, seed):
    return circuit.compile_detector_sampler(seed=seed).sample(shots, separate_observables=True)


@pytest.mark.parametrize("circuit, shots", [
    (surface(3, 0.01), 4000), (surface(5, 0.005), 3000), (repetition(7, 0.03), 4000)],
    ids=["surface-d3", "surface-d5", "repetition-d7"])
def test_weighted_decoder_corrects_nearly_as_well_as_matching(circuit, shots):
    dem = circuit.detector_error_model(decompose_errors=True)
    events, observables = sample(circuit, shots, seed=5)
    ours = Decoder(dem).decode_batch(events)
    theirs = pymatching.Matching.from_detector_error_model(dem).decode_batch(events)
    ours_wrong = int(np.any(ours != observables, axis=1).sum())
    theirs_wrong = int(np.any(theirs != observables, axis=1).sum())
    no_flip_wrong = int(np.any(observables != 0, axis=1).sum())
    # The two decoders see the same shots: far below "no flip", within a few failures of matching.
    assert ours_wrong < no_flip_wrong / 2
    assert ours_wrong <= 1.3 * theirs_wrong + 5
    assert np.mean(np.all(ours == theirs, axis=1)) > 0.97


def test_array_conventions_match_pymatching():
    circuit = surface(3, 0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = sample(circuit, 500, seed=9)
    decoder = Decoder(dem)
    batch = decoder.decode_batch(events)
    assert batch.dtype == np.uint8 and batch.shape == (500, dem.num_observables)
    single = np.array([decoder.decode(row) for row in events])
    assert single.dtype == np.uint8 and np.array_equal(single, batch)
    # Bit-packed either way, as pymatching packs: little bit order, eight per byte.
    packed = np.packbits(events, axis=1, bitorder="little")
    assert np.array_equal(decoder.decode_batch(packed, bit_packed_shots=True), batch)
    assert np.array_equal(decoder.decode_batch(events, bit_packed_predictions=True),
                          np.packbits(batch, axis=1, bitorder="little"))
    # Other integer dtypes, non-contiguous and negatively strided arrays give the same answers.
    assert np.array_equal(decoder.decode_batch(events.astype(np.int64)), batch)
    wide = np.zeros((500, 2 * dem.num_detectors), dtype=np.uint8)
    wide[:, ::2] = events
    assert np.array_equal(decoder.decode_batch(wide[:, ::2]), batch)
    assert np.array_equal(decoder.decode_batch(events[::-1]), batch[::-1])


@pytest.mark.parametrize("call, expected", [
    (lambda d: d.decode(np.zeros(7, dtype=bool)), r"shape \(8,\)"),
    (lambda d: d.decode(np.zeros((1, 8), dtype=bool)), r"shape \(8,\)"),
    (lambda d: d.decode(np.zeros(8, dtype=np.float64)), "dtype bool or uint8, got shape \\(8,\\) and dtype float64"),
    (lambda d: d.decode_batch(np.zeros(8, dtype=np.uint8)), r"shape \(num_shots, 8\)"),
    (lambda d: d.decode_batch(np.zeros((3, 9), dtype=np.uint8)), r"shape \(num_shots, 8\)"),
    (lambda d: d.decode_batch(np.zeros((3, 8), dtype=np.uint8), bit_packed_shots=True), r"shape \(num_shots, 1\)"),
    (lambda d: d.decode_batch(np.zeros((3, 1), dtype=bool), bit_packed_shots=True), "dtype uint8"),
])
def test_bad_shot_arrays_name_the_expected_shape(call, expected):
    decoder = Decoder("error(0.1) D0 D7 L0")
    with pytest.raises(ValueError, match=expected):
        call(decoder)


def test_models_and_methods():
    text = "error(0.1) D0 D1 L0\nerror(0.2) D1\nerror(0.05) D0 D1 D2\n"
    with pytest.raises(ValueError, match=r"error\(0.05\) D0 D1 D2 .*decompose"):
        Decoder(text)
    with pytest.raises(ValueError, match="unknown decoding method 'matchin'.*'matching'"):
        Decoder("error(0.1) D0", method="matchin")
    fixed = Decoder(text, method="union-find")  # the fixed procedure takes any model
    assert (fixed.method, fixed.num_detectors, fixed.num_observables) == ("union-find", 3, 1)
    weighted = Decoder(DetectorErrorModel.parse("error(0.1) D0 D1 L0 ^ D2\nerror(0.2) D1"), method="weighted-union-find")
    assert repr(weighted) == "Decoder(method='weighted-union-find', num_detectors=3, num_observables=1)"
    # D2 fired alone is explained by the component D2 of the first error: no observable.
    assert weighted.decode(np.array([0, 0, 1], dtype=np.uint8)).tolist() == [0]
    assert weighted.decode(np.array([1, 1, 0], dtype=np.uint8)).tolist() == [1]


def test_union_find_method_is_the_streams_procedure():
    circuit = repetition(5, 0.05)
    dem = circuit.detector_error_model()
    events, _ = sample(circuit, 300, seed=3)
    graph = stim_graph(dem)
    expected = [union_find_literal(graph, row.astype(int).tolist()) for row in events]
    got = Decoder(dem, method="union-find").decode_batch(events, bit_packed_predictions=True)
    assert got[:, 0].tolist() == expected


def test_one_object_is_used_by_one_call_at_a_time_and_decoders_run_in_parallel():
    circuit = surface(5, 0.005)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = sample(circuit, 20000, seed=1)
    decoder, other = Decoder(dem), Decoder(dem)
    expected = other.decode_batch(events)
    results, refused = {}, []
    worker = threading.Thread(target=lambda: results.setdefault("batch", decoder.decode_batch(events)))
    worker.start()
    while worker.is_alive():
        try:
            decoder.decode(events[0])
        except RuntimeError as e:
            refused.append(str(e))
        # The other decoder is free while the first holds its own lock released.
        assert np.array_equal(other.decode_batch(events[:50]), expected[:50])
    worker.join()
    assert np.array_equal(results["batch"], expected)
    assert refused and set(refused) == {"the Decoder is in use by another thread; give each thread its own"}


def test_streams_take_a_decoder_object_with_their_own_scratch_state(frames_file, tmp_path):
    circuit = surface(3, 0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    events, _ = sample(circuit, 200, seed=4)
    decoder = Decoder(dem)
    expected = decoder.decode_batch(events, bit_packed_predictions=True)[:, 0].tolist()
    path = frames_file(*(dict(frame_id=i + 1, detector_events=row.astype(int).tolist())
                         for i, row in enumerate(events)))
    # Two streams on one decoder, read in turns, each give the masks of decoding each shot alone.
    with ostrel.open(path, decoder=decoder) as a, OstrelStream(path) as b:
        b.set_decoder(decoder)
        masks_a, masks_b = [], []
        for fa, fb in zip(a, b):
            masks_a.append(fa.observable_flips)
            masks_b.append(fb.observable_flips)
    assert masks_a == expected and masks_b == expected


def test_sinter_collects_with_the_plugin():
    sinter = pytest.importorskip("sinter")
    circuit = repetition(5, 0.03)
    task = sinter.Task(circuit=circuit, json_metadata={"d": 5})
    decoders = ostrel.sinter_decoders()
    names = ["ostrel-weighted-union-find", "ostrel-matching", "union-find"]
    assert set(names) <= set(decoders)
    assert all(decoders[name.removeprefix("ostrel-")] is decoders[name] for name in names)  # old names alias
    stats = sinter.collect(num_workers=1, tasks=[task], decoders=names, max_shots=2000,
                           custom_decoders=decoders)
    by_decoder = {s.decoder.removeprefix("ostrel-"): s for s in stats}
    assert len(by_decoder) == len(names) and all(s.shots == 2000 for s in stats)
    # The same count as decoding the same kind of shots directly, within sampling noise.
    events, observables = sample(circuit, 2000, seed=2)
    direct = int(np.any(Decoder(circuit.detector_error_model(decompose_errors=True)).decode_batch(events)
                        != observables, axis=1).sum())
    assert abs(by_decoder["weighted-union-find"].errors - direct) < 5 * np.sqrt(direct + 1) + 5
    assert by_decoder["weighted-union-find"].errors < by_decoder["union-find"].errors
