"""Real-time decoding of rounds: the detector layout that maps one frame per round to the model's
detectors, and the round trip from sampled shots through the writer and a stream back to them."""

import pickle

import numpy as np
import pytest

from _ostrel import OstrelStream, SlidingWindowDecoder
from ostrel import qssf, synth

stim = pytest.importorskip("stim")


def documented_layout(dem):
    """The layout's documented order, computed independently from Stim's coordinates: rows are
    the distinct last coordinates ascending, columns the distinct tuples of the others."""
    coords = {k: tuple(v[:3]) for k, v in dem.get_detector_coordinates().items()}
    positions = sorted({c[:-1] for c in coords.values()})
    rounds = sorted({c[-1] for c in coords.values()})
    table = -np.ones((len(rounds), len(positions)), dtype=np.int64)
    for k, c in coords.items():
        table[rounds.index(c[-1]), positions.index(c[:-1])] = k
    return table


CIRCUITS = [
    # First-round-only detectors: the X ancillas have none in the first and last rounds.
    ("surface_code:rotated_memory_z", 3, 4),
    ("surface_code:rotated_memory_x", 5, 2),
    # Every ancilla has a detector in every round.
    ("repetition_code:memory", 5, 3),
]


@pytest.mark.parametrize("name,distance,rounds", CIRCUITS)
def test_writer_stream_layout_round_trip(tmp_path, name, distance, rounds):
    circuit = stim.Circuit.generated(name, distance=distance, rounds=rounds, after_clifford_depolarization=0.02,
                                     before_measure_flip_probability=0.02)
    dem = circuit.detector_error_model(decompose_errors=True)
    layout = SlidingWindowDecoder.coordinate_layout(dem)
    assert layout.dtype == np.int64
    np.testing.assert_array_equal(layout, documented_layout(dem))
    assert sorted(layout[layout >= 0].tolist()) == list(range(dem.num_detectors))
    # Every round but possibly the first and last has a detector for every ancilla.
    assert (layout[1:-1] >= 0).all()
    assert ((layout[0] < 0).any() or (layout[-1] < 0).any()) == name.startswith("surface")

    shots = circuit.compile_detector_sampler(seed=7).sample(40)
    path = str(tmp_path / "rounds.qssf")
    with qssf.QssfWriter(path) as w:
        w.write_frames_fast(synth.frames_from_shots(shots, layout), ancilla_count=layout.shape[1],
                            rounds=np.tile(np.arange(layout.shape[0]), len(shots)).tolist())
    back = np.zeros_like(shots)
    with OstrelStream(path) as stream:
        for i, frame in enumerate(stream):
            shot, r = divmod(i, layout.shape[0])
            assert frame.round == r and frame.ancilla_count == layout.shape[1]
            events = frame.to_numpy_detector_events()
            cells = layout[r] >= 0
            assert not events[~cells].any()
            back[shot, layout[r][cells]] = events[cells]
    assert i + 1 == len(shots) * layout.shape[0]
    np.testing.assert_array_equal(back, shots)


@pytest.mark.parametrize("text,message", [
    ("error(0.1) D0 D1\ndetector(0, 0) D0\n", "detector D1 has no coordinates"),
    ("error(0.1) D0 D1\ndetector(1, 0) D0\ndetector(1, 0) D1\n", "detectors D0 and D1 have the same coordinates"),
])
def test_coordinate_layout_refusals(text, message):
    with pytest.raises(ValueError, match=message):
        SlidingWindowDecoder.coordinate_layout(text)


# ---------------------------------------------------------------------------------------------
# The sliding window that commits.

import _ostrel  # noqa: E402
import ostrel  # noqa: E402


@pytest.fixture(scope="module")
def surface():
    """A distance-3 surface-code memory experiment over 8 rounds (9 frames per shot) with its
    sampled shots, as frames of one round each."""
    circuit = synth.memory_circuit("surface", 3, 8, 0.01)
    dem = circuit.detector_error_model(decompose_errors=True)
    det, obs = circuit.compile_detector_sampler(seed=3).sample(300, separate_observables=True)
    layout = synth.frame_layout(str(dem))
    frames = synth.frames_from_shots(det, layout).reshape(len(det), *layout.shape)
    return dem, det, obs[:, 0].astype(int), layout, frames


def push_shots(decoder, frames):
    """The running frame after every round of every shot."""
    return np.array([[decoder.push(shot[r], r) for r in range(len(shot))] for shot in frames])


@pytest.mark.parametrize("method", ["weighted-union-find", "matching", "correlated-matching"])
def test_window_covering_the_shot_equals_whole_shot_decoding(surface, method):
    dem, det, obs, layout, frames = surface
    whole = ostrel.SlidingWindowDecoder(dem, layout.shape[0], 1, method=method)
    predictions = push_shots(whole, frames)[:, -1]
    reference = _ostrel.Decoder(dem, method=method).decode_batch(det)[:, 0].tolist()
    assert predictions.tolist() == reference
    assert whole.windows_decoded == len(det) and whole.shots_decoded == len(det)
    # A window of 2 + 2 rounds decodes nearly as well (the accuracy target is the benchmark's).
    sliding = ostrel.SlidingWindowDecoder(dem, 2, 2, method=method)
    running = push_shots(sliding, frames)
    assert (running[:, -1] != obs).sum() <= (predictions != obs).sum() + 10
    assert (running[:, -1] != predictions).sum() <= 15
    assert sliding.windows_decoded == len(det) * 4 and sliding.rounds_decoded == frames.shape[0] * frames.shape[1]
    assert all(q > 0 for q in sliding.commit_latency_us([50, 99]) + sliding.shot_latency_us([50]))


def write_rounds(path, rows, rounds, ancillas=None):
    with qssf.QssfWriter(str(path)) as w:
        w.write_frames_fast(np.asarray(rows, dtype=np.uint8), ancilla_count=ancillas or len(rows[0]),
                            rounds=list(rounds))
    return str(path)


def test_stream_frames_carry_the_running_frame_across_shots_of_different_lengths(tmp_path, surface):
    dem, det, obs, layout, frames = surface
    n = layout.shape[0]
    alone = push_shots(ostrel.SlidingWindowDecoder(dem, 2, 3), frames[:6])
    # Shot 0 whole, the first 4 rounds of shot 1 (cut short), then shots 2..5 whole.
    rows = [*frames[0], *frames[1][:4], *np.concatenate(frames[2:6])]
    rounds = [*range(n), *range(4), *list(range(n)) * 4]
    sw = ostrel.SlidingWindowDecoder(dem, 2, 3)
    with ostrel.open(write_rounds(tmp_path / "s.qssf", rows, rounds), decoder=sw) as stream:
        flips = [f.observable_flips for f in stream]
    got = [flips[:n], *(flips[n + 4 + k * n:n + 4 + (k + 1) * n] for k in range(4))]
    assert got == [alone[0].tolist(), *(alone[k].tolist() for k in range(2, 6))]
    assert flips[n:n + 4] == alone[1][:4].tolist()
    assert sw.shots_decoded == 5 and sw.shots_abandoned == 1


def test_disconnect_mid_shot_then_reconnect(tmp_path, surface):
    dem, det, obs, layout, frames = surface
    n = layout.shape[0]
    sw = ostrel.SlidingWindowDecoder(dem, 2, 2)
    cut = write_rounds(tmp_path / "cut.qssf", frames[0][:5], range(5))
    with ostrel.open(cut, decoder=sw) as stream:
        assert len(list(stream)) == 5
    # The shot in progress waits for its next round; finish() closes it early.
    partial = sw.finish()
    reference = ostrel.SlidingWindowDecoder(dem, 2, 2)
    for r in range(5):
        reference.push(frames[0][r], r)
    assert partial == reference.finish() and sw.finish() is None
    # A new connection starting at round 0 decodes the next shot as if nothing had happened.
    whole = write_rounds(tmp_path / "whole.qssf", frames[1], range(n))
    with ostrel.open(whole, decoder=sw) as stream:
        assert [f.observable_flips for f in stream] == push_shots(ostrel.SlidingWindowDecoder(dem, 2, 2),
                                                                  frames[1:2])[0].tolist()


@pytest.mark.parametrize("read", ["next", "read_batch"])
def test_frames_that_do_not_fit_are_refused_alike_and_the_stream_goes_on(tmp_path, surface, read):
    dem, det, obs, layout, frames = surface
    n, a = layout.shape
    shot = frames[0]
    with qssf.QssfWriter(str(tmp_path / "bad.qssf")) as w:
        w.write_frames_fast(shot[:2], ancilla_count=a, rounds=[0, 1])
        w.write_frames_fast(np.zeros((1, a + 1), np.uint8), ancilla_count=a + 1, rounds=[2])  # too wide
        w.write_frames_fast(shot[3:4], ancilla_count=a, rounds=[3])  # skips round 2
        w.write_frames_fast(shot[2:], ancilla_count=a, rounds=range(2, n))
    sw = ostrel.SlidingWindowDecoder(dem, 3, 3)

    def take(stream):
        if read == "next":
            return [next(stream).observable_flips]
        return stream.read_batch(n).observable_flips.tolist()

    with ostrel.open(str(tmp_path / "bad.qssf"), decoder=sw) as stream:
        got = take(stream) + (take(stream) if read == "next" else [])
        with pytest.raises(ValueError, match=f"round 2 holds {a + 1} ancillas but the detector layout has {a}"):
            take(stream)
        with pytest.raises(ValueError, match=r"round 3 does not follow round 1 \(expected round 2\)"):
            take(stream)
        while len(got) < n:
            got += take(stream)
    assert got == push_shots(ostrel.SlidingWindowDecoder(dem, 3, 3), frames[:1])[0].tolist()


@pytest.mark.parametrize("kwargs,message", [
    ({"commit_rounds": 0}, "commit_rounds must be at least 1"),
    ({"buffer_rounds": 0}, "buffer_rounds must be at least 1"),
    ({"layout": [[0, 1], [1, 2]]}, "the layout names detector D1 twice"),
    ({"layout": [[0, 1], [2, 5]]}, "layout cell \\(1, 1\\) holds 5, which is neither -1 nor a detector"),
    ({"layout": [[0.0, 1.0]]}, "2-D integer array"),
    ({"layout": "rows"}, "layout must be 'coordinates'"),
    ({"method": "union-find"}, "the sliding window cannot decode with 'union-find': it takes 'matching', "),
])
def test_configuration_refusals(kwargs, message):
    dem = "error(0.1) D0 D1\nerror(0.1) D2 D3\nerror(0.1) D1 D3\n"
    args = {"commit_rounds": 1, "buffer_rounds": 1, "layout": [[0, 1], [2, 3]], **kwargs}
    with pytest.raises(ValueError, match=message):
        ostrel.SlidingWindowDecoder(dem, **args)


# Matching at d = 9 starts each window from the last one's growth, across the fold too.
@pytest.mark.parametrize("distance,rounds,commit,buffer,method", [
    (3, 60, 3, 3, "weighted-union-find"), (5, 60, 5, 5, "weighted-union-find"), (3, 61, 2, 3, "weighted-union-find"),
    (9, 100, 9, 9, "matching")])
def test_folded_repeat_block_decodes_exactly_as_the_expanded_model(distance, rounds, commit, buffer, method):
    circuit = synth.memory_circuit("surface", distance, rounds, 0.01)
    dem = circuit.detector_error_model(decompose_errors=True)
    assert "repeat" in str(dem)
    folded = ostrel.SlidingWindowDecoder(dem, commit, buffer, method=method)
    expanded = ostrel.SlidingWindowDecoder(str(dem.flattened()), commit, buffer, method=method)
    layout = synth.frame_layout(str(dem.flattened()))
    # Folding keeps a model of a few windows only, yet shots have every round of the experiment.
    assert folded.layout.shape[0] < layout.shape[0] == folded.rounds_per_shot == expanded.rounds_per_shot
    assert folded.num_detectors == expanded.num_detectors == dem.num_detectors
    det = circuit.compile_detector_sampler(seed=11).sample(150)
    frames = synth.frames_from_shots(det, layout).reshape(len(det), *layout.shape)
    got = push_shots(folded, frames)
    np.testing.assert_array_equal(got, push_shots(expanded, frames))
    assert got[:, -1].any() and folded.windows_decoded == expanded.windows_decoded


def test_a_million_round_shot_decodes_on_a_folded_model():
    dem = str(synth.memory_circuit("surface", 3, 100, 0.001).detector_error_model(decompose_errors=True))
    # Stim writes the 100 rounds as 5 rounds around `repeat 48` of a 2-round body; the same
    # experiment over a million rounds is far beyond what the reader expands.
    assert "repeat 48 {" in dem
    long_dem = dem.replace("repeat 48 {", "repeat 499998 {")
    with pytest.raises(ValueError, match="too large"):
        ostrel.DetectorErrorModel.parse(long_dem)
    sw = ostrel.SlidingWindowDecoder(long_dem, 3, 3)
    rows, ancillas = sw.layout.shape
    assert sw.rounds_per_shot == 1_000_001 and rows < 40 and sw.num_detectors == 8 * 1_000_001 - 8
    quiet, noisy = np.zeros(ancillas, np.uint8), np.zeros(ancillas, np.uint8)
    noisy[2] = 1
    for r in range(sw.rounds_per_shot):
        # A pair of events in one ancilla now and then: a measurement error the window must pair up.
        sw.push(noisy if r % 1000 in (500, 501) else quiet, r)
    assert sw.shots_decoded == 1 and sw.rounds_decoded == 1_000_001 and sw.committed_frame == 0
    # The decoder's state is still that of the few-window model: the layout it holds did not grow.
    assert sw.layout.shape == (rows, ancillas)


@pytest.mark.parametrize("text,message", [
    # Two repeat blocks, too many errors to expand.
    ("detector(0, 0) D0\nrepeat 9000000 {\n error(0.1) D0 D1\n detector(0, 1) D1\n shift_detectors(0, 1) 1\n}\n"
     "repeat 9000000 {\n error(0.1) D0 D1\n detector(0, 1) D1\n shift_detectors(0, 1) 1\n}\n",
     r"cannot decode the repeat block by folding \(the model has more than one repeat block\) nor expand it"),
    # Every repetition moves the ancillas, so the rounds of the body are not the same ancillas.
    ("detector(0, 0) D0\nrepeat 20000000 {\n error(0.1) D0 D1\n detector(0, 1) D1\n shift_detectors(1, 1) 1\n}\n",
     r"folding \(the repeat block's body adds no rounds of the same ancillas\) nor expand it: line 2: detector error model"),
])
def test_repeat_blocks_that_neither_fold_nor_expand_are_refused(text, message):
    with pytest.raises(ValueError, match=message):
        ostrel.SlidingWindowDecoder(text, 2, 2)


def test_parallel_windows_predict_alike_for_every_thread_count_and_through_a_stream(tmp_path, surface):
    dem, det, obs, layout, frames = surface
    one, two = (ostrel.SlidingWindowDecoder(dem, 2, 2, method="matching", threads=n) for n in (1, 2))
    p1, p2 = push_shots(one, frames)[:, -1], push_shots(two, frames)[:, -1]
    assert p1.tolist() == p2.tolist()
    whole = _ostrel.Decoder(dem, method="matching").decode_batch(det)[:, 0]
    assert (p1 != obs).sum() <= (whole != obs).sum() + 10 and (p1 != whole).sum() <= 15
    # A stream decodes with the object's threads, a pickle keeps them.
    copy = pickle.loads(pickle.dumps(two))
    assert copy.threads == 2 and "threads=2" in repr(copy)
    path = write_rounds(tmp_path / "p.qssf", frames[:20].reshape(-1, layout.shape[1]), list(range(layout.shape[0])) * 20)
    with ostrel.open(path, decoder=copy) as stream:
        last = [f.observable_flips for f in stream if f.round == layout.shape[0] - 1]
    assert last == p1[:20].tolist()
    # 9 rounds, commit 2 + buffer 2: two first-layer windows, the seam between, the closing window.
    assert copy.windows_decoded == 20 * 4 and one.threads == 1
    with pytest.raises(ValueError, match="threads must be at most 256"):
        ostrel.SlidingWindowDecoder(dem, 2, 2, threads=257)


def colour_circuit(distance, rounds, p):
    """An annotated colour-code memory (bench/colour_code_circuits.py, the CNOT circuit)."""
    import importlib.util
    import pathlib
    import sys
    if "colour_code_circuits" not in sys.modules:
        spec = importlib.util.spec_from_file_location(
            "colour_code_circuits", pathlib.Path(__file__).parents[1] / "bench" / "colour_code_circuits.py")
        module = importlib.util.module_from_spec(spec)
        sys.modules[spec.name] = module  # its dataclasses look their module up
        spec.loader.exec_module(module)
    return sys.modules["colour_code_circuits"].colour_code_memory(distance, rounds, p, "cnot")


@pytest.mark.parametrize("method,options", [
    ("bp-osd", {"osd_order": 4}), ("relay-bp", {"legs": 20}), ("relay-bp", {"legs": 20, "neighbourhood": 1}),
    ("belief-matching", {}), ("mobius", {}),
    ("correlated-mobius", {"max_passes": 2}),
])
def test_methods_on_the_model_window_alike_by_push_and_stream(tmp_path, method, options):
    if "mobius" in method:
        circuit = colour_circuit(3, 6, 0.004)
        dem = circuit.detector_error_model(decompose_errors=False)
    else:
        circuit = synth.memory_circuit("surface", 3, 6, 0.01)
        dem = circuit.detector_error_model(decompose_errors=True)
    det, obs = circuit.compile_detector_sampler(seed=5).sample(200, separate_observables=True)
    layout = ostrel.SlidingWindowDecoder.coordinate_layout(dem)
    frames = synth.frames_from_shots(det, layout).reshape(len(det), *layout.shape)
    # A window of the whole shot is the whole-shot decoder, shot for shot.
    whole = ostrel.SlidingWindowDecoder(dem, layout.shape[0], 1, method=method, **options)
    reference = _ostrel.Decoder(dem, method=method, **options).decode_batch(det)[:, 0].tolist()
    assert push_shots(whole, frames)[:, -1].tolist() == reference
    # A window of 2 + 2 rounds: a stream given it decodes as pushing does, and about as well.
    sliding = ostrel.SlidingWindowDecoder(dem, 2, 2, method=method, **options)
    assert sliding.method == method and pickle.loads(pickle.dumps(sliding)).method == method
    running = push_shots(sliding, frames)
    assert (running[:, -1] != obs[:, 0]).sum() <= (np.array(reference) != obs[:, 0]).sum() + 8
    rows = frames.reshape(-1, layout.shape[1])
    with ostrel.open(write_rounds(tmp_path / "w.qssf", rows, list(range(layout.shape[0])) * len(det)),
                     decoder=ostrel.SlidingWindowDecoder(dem, 2, 2, method=method, **options)) as stream:
        assert [f.observable_flips for f in stream] == running.ravel().tolist()
    with pytest.raises(ValueError, match="one window after another: threads must be 0"):
        ostrel.SlidingWindowDecoder(dem, 2, 2, method=method, threads=1, **options)
