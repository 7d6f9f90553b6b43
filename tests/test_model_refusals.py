"""Models the decoder objects refuse (probabilities, observables, mistyped paths, frames they
cannot cover), nested repeat blocks against Stim, and decoders that travel by pickle."""

import pickle

import numpy as np
import pytest

import ostrel
from ostrel import qssf

LINE = "error(0.1) D0 D1 L0\nerror(0.1) D1 L1\n"
# Two rounds of two ancillas with coordinates (ancilla, round), for the sliding window.
ROUNDS = ("".join(f"detector({a}, {r}) D{2 * r + a}\n" for r in range(2) for a in range(2)) +
          "error(0.1) D0 D1\nerror(0.1) D0 D2\nerror(0.1) D1 D3 L0\nerror(0.1) D2 D3\nerror(0.1) D3\n")


def build(kind, model):
    return ostrel.Decoder(model) if kind == "Decoder" else ostrel.SlidingWindowDecoder(model, 1, 1)


@pytest.mark.parametrize("kind", ["Decoder", "SlidingWindowDecoder"])
@pytest.mark.parametrize("p", ["nan", "-0.1", "1.5", "inf"])
def test_probabilities_no_error_can_have_are_refused_by_name(kind, p):
    with pytest.raises(ValueError, match=rf"error\({p}\) D0 D1 L0: its probability is not a number from 0 to 1"):
        build(kind, ROUNDS + f"error({p}) D0 D1 L0\n")


@pytest.mark.parametrize("kind", ["Decoder", "SlidingWindowDecoder"])
def test_observables_beyond_a_mask_are_refused_not_dropped(kind):
    with pytest.raises(ValueError, match="the model has 65 observables; a decoder predicts at most 64"):
        build(kind, ROUNDS + "error(0.1) D0 L64\n")


@pytest.mark.parametrize("use", [
    lambda name: ostrel.Decoder(name),
    lambda name: ostrel.SlidingWindowDecoder(name, 3, 3),
    lambda name: ostrel.SlidingWindowDecoder.coordinate_layout(name),
])
def test_a_mistyped_path_is_a_missing_file(use, tmp_path):
    name = str(tmp_path / "nope.dem")
    with pytest.raises(FileNotFoundError, match="nope.dem"):
        use(name)
    with open(tmp_path / "empty.dem", "w"):
        pass  # an existing empty file is an empty model, not a missing one
    try:
        use(str(tmp_path / "empty.dem"))
    except FileNotFoundError:  # pragma: no cover - the failure this test exists for
        pytest.fail("an existing file was taken for a missing one")
    except ValueError:
        pass  # the sliding window's own refusal of a model without rounds


def test_a_mistyped_path_is_refused_by_the_easy_path(tmp_path):
    path = tmp_path / "f.qssf"
    with qssf.QssfWriter(str(path)) as w:
        w.write_frames_fast(np.zeros((2, 2), np.uint8), ancilla_count=2)
    for call in (ostrel.open, ostrel.read):
        with pytest.raises(FileNotFoundError, match="nope.dem"):
            call(str(path), decoder=str(tmp_path / "nope.dem"))


def test_frames_a_decoder_cannot_cover_are_refused_alike(tmp_path):
    path = str(tmp_path / "wide.qssf")
    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(np.ones((3, 10), np.uint8), ancilla_count=10)
    decoder = ostrel.Decoder(LINE)
    message = "the decoder's model has 2 detectors, which cannot cover frames of 10 ancillas in a window of 1 round"
    reads = [lambda s: next(s), lambda s: s.read_batch(10)]
    for read in reads:
        with ostrel.open(path) as stream:
            stream.set_decoder(decoder)
            with pytest.raises(ValueError, match=message):
                read(stream)
    with pytest.raises(ValueError, match=message):
        ostrel.read(path, decoder)


def test_a_frame_of_another_width_is_refused_once_the_window_exists(tmp_path):
    path = str(tmp_path / "mixed.qssf")
    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(np.zeros((1, 2), np.uint8), ancilla_count=2)
        w.write_frames_fast(np.zeros((1, 1), np.uint8), ancilla_count=1)
    with ostrel.open(path) as stream:
        stream.set_decoder(ostrel.Decoder(LINE))
        assert next(stream).observable_flips == 0
        with pytest.raises(ValueError, match="a frame of 1 ancillas follows frames of 2"):
            next(stream)


def test_nested_repeat_blocks_match_stims_counts_and_its_flattened_model():
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=43,
                                     after_clifford_depolarization=0.01)
    nested = stim.Circuit()
    for inst in circuit:  # REPEAT 42 {body} written as REPEAT 6 {REPEAT 7 {body}}
        if isinstance(inst, stim.CircuitRepeatBlock):
            inner = stim.Circuit()
            inner.append(stim.CircuitRepeatBlock(7, inst.body_copy()))
            inst = stim.CircuitRepeatBlock(inst.repeat_count // 7, inner)
        nested.append(inst)
    dem = nested.detector_error_model(decompose_errors=True)
    assert "repeat 7 {" in str(dem)
    flat = dem.flattened()
    model = ostrel.DetectorErrorModel.parse(str(dem))
    assert (model.detector_count, model.error_count) == (
        dem.num_detectors, sum(1 for i in flat if i.type == "error"))
    shots = dem.compile_sampler(seed=7).sample(300)[0]
    assert np.array_equal(ostrel.Decoder(str(dem)).decode_batch(shots),
                          ostrel.Decoder(str(flat)).decode_batch(shots))


@pytest.mark.parametrize("make", [
    lambda path: ostrel.Decoder(ROUNDS),
    lambda path: ostrel.Decoder(ostrel.DetectorErrorModel.parse(ROUNDS), method="union-find"),
    lambda path: ostrel.Decoder(path),
    lambda path: ostrel.SlidingWindowDecoder(ostrel.DetectorErrorModel.parse(ROUNDS), 1, 1),
    lambda path: ostrel.SlidingWindowDecoder(str(path), 1, 1, layout=[[0, 1], [2, 3]]),
])
def test_decoders_pickle_to_equals(make, tmp_path):
    (tmp_path / "rounds.dem").write_text(ROUNDS)
    original = make(tmp_path / "rounds.dem")
    copy = pickle.loads(pickle.dumps(original))
    assert repr(copy) == repr(original)
    shots = np.random.default_rng(3).integers(0, 2, size=(32, 4), dtype=np.uint8)
    if isinstance(original, ostrel.Decoder):
        assert np.array_equal(copy.decode_batch(shots), original.decode_batch(shots))
    else:
        assert np.array_equal(copy.layout, original.layout)
        for shot in shots:
            assert [copy.push(shot[2 * r:2 * r + 2], r) for r in range(2)] == \
                   [original.push(shot[2 * r:2 * r + 2], r) for r in range(2)]


@pytest.mark.parametrize("call", [
    lambda: ostrel.SlidingWindowDecoder(ROUNDS, -1, 1),
    lambda: ostrel.SlidingWindowDecoder(ROUNDS, 1, -2),
    lambda: ostrel.SlidingWindowDecoder(ROUNDS, 1, 1).push([0, 0], -1),
])
def test_negative_counts_are_value_errors(call):
    with pytest.raises(ValueError, match="must be ≥ 0, got -"):
        call()


def refusal_table():
    """The cases of tests/model_refusals.txt, which the C interface's tests read too."""
    from pathlib import Path
    text = (Path(__file__).parent / "model_refusals.txt").read_text()
    cases = []
    for block in text.split("\n= ")[1:]:
        head, _, model = block.partition("\n")
        status, _, message = head.partition(" ")
        graph_only = message.startswith("graph ")
        cases.append(pytest.param(model, message.removeprefix("graph "), graph_only, id=message[:40]))
    return cases


@pytest.mark.parametrize("model, message, graph_only", refusal_table())
def test_every_method_refuses_the_table_of_models_as_c_does(model, message, graph_only):
    import re
    methods = ["matching", "correlated-matching", "weighted-union-find", "correlated-union-find"]
    for method in methods if graph_only else methods + ["union-find"]:
        with pytest.raises(ValueError, match=re.escape(message)):
            ostrel.Decoder(model, method=method)


def test_a_circuit_is_refused_with_how_to_get_its_model():
    stim = pytest.importorskip("stim")
    circuit = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=2, after_clifford_depolarization=0.01)
    for build_it in (ostrel.Decoder, lambda c: ostrel.SlidingWindowDecoder(c, 1, 1)):
        with pytest.raises(ValueError, match=r"circuit.detector_error_model\(decompose_errors=True\)"):
            build_it(circuit)


def test_a_stream_window_no_matching_explains_is_refused_like_decode_and_the_stream_goes_on(tmp_path):
    # D0-D1 has no boundary: one event there is explained by no correction.
    model = "error(0.1) D0 D1\nerror(0.1) D2 L0\n"
    decoder = ostrel.Decoder(model)
    with pytest.raises(ValueError) as single:
        decoder.decode(np.array([1, 0, 0], dtype=np.uint8))
    path = tmp_path / "run.qssf"
    with qssf.QssfWriter(str(path)) as w:
        w.write_frame(1, round=0, detector_events=[1, 0, 0])
        w.write_frame(2, round=0, detector_events=[0, 0, 1])
    with ostrel.open(str(path), decoder=decoder) as stream:
        with pytest.raises(ValueError) as streamed:
            next(stream)
        assert str(streamed.value) == str(single.value)
        assert next(stream).observable_flips == 1


def test_frames_that_are_neither_a_round_nor_a_shot_of_the_model_are_refused_naming_both(tmp_path):
    stim = pytest.importorskip("stim")
    model = stim.Circuit.generated("repetition_code:memory", distance=5, rounds=10,
                                   after_clifford_depolarization=0.01).detector_error_model(decompose_errors=True)
    path = str(tmp_path / "surface.qssf")
    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(np.zeros((2, 24), np.uint8), ancilla_count=24)
    with ostrel.open(path, decoder=ostrel.Decoder(model)) as stream:
        with pytest.raises(ValueError, match="rounds of 4 ancillas, but the frame holds 24"):
            next(stream)
