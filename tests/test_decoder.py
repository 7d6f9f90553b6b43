"""Decoding on a stream: set_decoder's inputs and failures, the window a stream keeps and how deep
it is, the masks frames carry, and a repetition-code memory experiment sampled with Stim, decoded
through a QSSF file and checked against a literal Union-Find procedure and a direct count."""

import collections

import numpy as np
import pytest

import ostrel

from _ostrel import (DecoderResult, DetectorErrorModel, LogicalErrorAccumulator, OstrelError,
                     OstrelStream)
from ostrel import qssf

stim = pytest.importorskip("stim")


# ---------------------------------------------------------------------------------------------
# A model whose masks show which cells of the window were decoded: detectors 2k and 2k+1 are
# joined by one edge carrying observable k and by nothing else. A cluster grown from a fired
# detector can only cover its own pair, so bit k of the mask is set exactly when detector 2k or
# 2k+1 fired in the window.


def pairs_dem(detectors):
    return "\n".join(f"error(0.1) D{2 * k} D{2 * k + 1} L{k}" for k in range(detectors // 2))


def pair_mask(cells, detectors):
    """The mask of the pairs model for a flat window; cells beyond the model take no part."""
    mask = 0
    for i in np.flatnonzero(np.asarray(cells, dtype=np.uint8) == 1).tolist():
        if i < detectors:
            mask |= 1 << (i // 2)
    return mask


def sliding_masks(frames, ancillas, depth, detectors):
    """Masks of the pairs model for each frame pushed into a window of `ancillas` x `depth`."""
    window = collections.deque(maxlen=depth)
    masks = []
    for events in frames:
        window.append((list(events) + [0] * ancillas)[:ancillas])
        masks.append(pair_mask([c for row in window for c in row], detectors))
    return masks


def random_frames(count, ancillas, seed, density=0.15):
    rng = np.random.default_rng(seed)
    return [(rng.random(ancillas) < density).astype(int).tolist() for _ in range(count)]


@pytest.fixture
def events_file(frames_file):
    """A stream of frames with the given detector events (one list per frame), ids from 1."""

    def make(frames, **extra):
        return frames_file(*(dict(frame_id=i + 1, detector_events=e, **extra) for i, e in enumerate(frames)))

    return make


def masks_of(stream, count=None):
    frames = list(stream) if count is None else [next(stream) for _ in range(count)]
    return [f.observable_flips for f in frames]


# ---------------------------------------------------------------------------------------------
# Window depth


@pytest.mark.parametrize("detectors, ancillas, window_depth, depth", [
    (24, 8, 0, 3),
    (24, 30, 0, 1),   # less than one round's worth of detectors: still one round
    (24, 5, 0, 4),    # rounded down
    (24, 7, 0, 3),
    (4, 8, 0, 1),
    (24, 8, 5, 5),    # explicit: rows 3 and 4 lie beyond the model and take no part
    (24, 8, 1, 1),
    (24, 12, 2, 2),
])
def test_window_depth_is_inferred_or_taken_as_given(events_file, detectors, ancillas, window_depth, depth):
    frames = random_frames(12, ancillas, seed=detectors * 100 + ancillas * 10 + window_depth, density=0.2)
    expected = sliding_masks(frames, ancillas, depth, detectors)
    # The frames must tell the depth apart from its neighbours, or the test would prove nothing.
    for other in {depth - 1, depth + 1} - {0}:
        assert sliding_masks(frames, ancillas, other, detectors) != expected
    with OstrelStream(events_file(frames)) as stream:
        stream.set_decoder(pairs_dem(detectors), window_depth=window_depth)
        assert masks_of(stream) == expected


def test_frames_without_ancillas_decode_to_zero(events_file):
    with OstrelStream(events_file([[]] * 5)) as stream:
        stream.set_decoder(pairs_dem(24))
        assert masks_of(stream) == [0] * 5


def test_the_window_keeps_the_ancilla_count_of_its_first_frame(frames_file):
    frames = [[1, 0, 0, 0, 0, 0, 0, 1], [0, 0, 1, 1], [0] * 8 + [1, 1, 1, 1], [1] * 16]
    path = frames_file(*(dict(frame_id=i + 1, detector_events=e) for i, e in enumerate(frames)))
    with OstrelStream(path) as stream:
        stream.set_decoder(pairs_dem(24))  # depth 24 / 8 = 3, rows of 8 cells from then on
        assert masks_of(stream) == sliding_masks(frames, 8, 3, 24)


def test_cells_beyond_the_model_take_no_part(events_file):
    # One detector: node 0 and the boundary node 1. With an explicit depth the window reaches
    # cell 1 (the boundary's index, no detector) and cell 2 (no node at all): neither counts.
    frames = [[1], [0], [1], [1], [0], [0], [0], [1]]
    with OstrelStream(events_file(frames)) as stream:
        stream.set_decoder("error(0.1) D0 L0", window_depth=3)
        assert masks_of(stream) == [1, 1, 1, 0, 1, 1, 0, 0]


@pytest.mark.parametrize("text, mask", [
    ("error(0.1) D0 D1 L70 L63 L64 L255 L1", (1 << 63) | 2),
    ("error(0.1) D0 L70", 0),
    ("error(0.1) D0 L64 L0\nerror(0.1) D1 L200 L0", 0),  # both edges inside one cluster
])
def test_observables_beyond_bit_63_are_ignored(events_file, text, mask):
    with OstrelStream(events_file([[1, 0]])) as stream:
        stream.set_decoder(text)
        assert masks_of(stream) == [mask]


# ---------------------------------------------------------------------------------------------
# What set_decoder accepts


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class MyStr(str):
    pass


DEM_TEXT = "error(0.1) D0 D1 L3\nerror(0.1) D2 D3 L5\n"
FRAMES = [[1, 0, 0, 0], [0, 0, 0, 1], [0, 0, 0, 0]]
FRAME_MASKS = [1 << 3, 1 << 5, 0]  # depth 4 / 4 = 1: each frame alone


@pytest.mark.parametrize("form", ["str path", "str subclass path", "inline text", "pathlib.Path",
                                  "__fspath__", "stim model", "__str__"])
def test_set_decoder_accepts_paths_text_and_models(events_file, tmp_path, form):
    dem_file = tmp_path / "model.dem"
    dem_file.write_text(DEM_TEXT)
    dem = {
        "str path": str(dem_file),
        "str subclass path": MyStr(dem_file),
        "inline text": DEM_TEXT,
        "pathlib.Path": dem_file,
        "__fspath__": FsPath(str(dem_file)),
        "stim model": stim.DetectorErrorModel(DEM_TEXT),
        "__str__": Text(DEM_TEXT),
    }[form]
    with OstrelStream(events_file(FRAMES)) as stream:
        assert stream.set_decoder(dem) is None
        assert masks_of(stream) == FRAME_MASKS


def test_a_str_is_a_path_only_when_something_exists_there(events_file, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    name = "error(0.1) D0 D1 L2"  # both a relative file name and a line of DEM text
    (tmp_path / name).write_text("error(0.1) D0 D1 L7")
    path = events_file([[1, 0]])
    with OstrelStream(path) as stream:
        stream.set_decoder(name)
        assert masks_of(stream) == [1 << 7]  # the file's text
    (tmp_path / name).unlink()
    with OstrelStream(path) as stream:
        stream.set_decoder(name)
        assert masks_of(stream) == [1 << 2]  # the string's own text


# ---------------------------------------------------------------------------------------------
# set_decoder failures: each raises and changes nothing


class Boom(Exception):
    pass


class RaisingFsPath:
    def __fspath__(self):
        raise Boom("fspath")


class RaisingFsPathLookup:
    @property
    def __fspath__(self):
        raise Boom("lookup")


class RaisingStr:
    def __str__(self):
        raise Boom("str")


def parser_message(text):
    with pytest.raises(ValueError) as info:
        DetectorErrorModel.parse(text)
    return str(info.value)


def failing_calls(tmp_path):
    """(description, args, kwargs, exception type, exact message or None)."""
    (tmp_path / "latin1.dem").write_bytes("error(0.1) D0 L0 # caf\u00e9\n".encode("latin-1"))
    (tmp_path / "dir").mkdir()
    missing = tmp_path / "missing.dem"
    return [
        ("missing Path", (missing,), {}, OSError, "No such file or directory (os error 2)"),
        ("missing via __fspath__", (FsPath(str(missing)),), {}, OSError,
         "No such file or directory (os error 2)"),
        ("directory str", (str(tmp_path / "dir"),), {}, OSError, "Is a directory (os error 21)"),
        ("directory Path", (tmp_path / "dir",), {}, OSError, "Is a directory (os error 21)"),
        ("not UTF-8 str", (str(tmp_path / "latin1.dem"),), {}, OSError, "stream did not contain valid UTF-8"),
        ("not UTF-8 Path", (tmp_path / "latin1.dem",), {}, OSError, "stream did not contain valid UTF-8"),
        ("__fspath__ gives bytes", (FsPath(bytes(missing)),), {}, TypeError, None),
        ("__fspath__ gives int", (FsPath(3),), {}, TypeError, None),
        ("__fspath__ raises", (RaisingFsPath(),), {}, Boom, "fspath"),
        ("__fspath__ lookup raises", (RaisingFsPathLookup(),), {}, Boom, "lookup"),
        ("__str__ raises", (RaisingStr(),), {}, Boom, "str"),
        ("text does not parse", ("error(0.1) D0 X9",), {}, ValueError, parser_message("error(0.1) D0 X9")),
        ("missing file named by a str is parsed", (str(missing) + "\nerror(1e) D0",), {}, ValueError,
         parser_message("error(1e) D0")),
        ("model too large", ("error(0.1) D4294967295",), {}, ValueError, None),
        ("depth is a str", (DEM_TEXT, "1"), {}, TypeError, None),
        ("depth is a float", (DEM_TEXT,), {"window_depth": 1.0}, TypeError, None),
        ("depth is None", (DEM_TEXT, None), {}, TypeError, None),
        ("depth is negative", (DEM_TEXT, -1), {}, OverflowError, None),
        ("depth is too large", (DEM_TEXT, 2**64), {}, OverflowError, None),
        ("no arguments", (), {}, TypeError, None),
        ("unknown keyword", (DEM_TEXT,), {"depth": 1}, TypeError, None),
    ]


@pytest.fixture
def failures(tmp_path):
    return {c[0]: c[1:] for c in failing_calls(tmp_path)}


FAILURE_NAMES = ["missing Path", "missing via __fspath__", "directory str", "directory Path",
                 "not UTF-8 str", "not UTF-8 Path", "__fspath__ gives bytes", "__fspath__ gives int",
                 "__fspath__ raises", "__fspath__ lookup raises", "__str__ raises", "text does not parse",
                 "missing file named by a str is parsed", "model too large", "depth is a str",
                 "depth is a float", "depth is None", "depth is negative", "depth is too large",
                 "no arguments", "unknown keyword"]


def test_the_failure_list_is_complete(tmp_path):
    assert [c[0] for c in failing_calls(tmp_path)] == FAILURE_NAMES


@pytest.mark.parametrize("name", FAILURE_NAMES)
def test_a_failed_set_decoder_keeps_the_previous_decoder_and_window(events_file, failures, name):
    args, kwargs, error, message = failures[name]
    frames = random_frames(6, 8, seed=5, density=0.3)
    expected = sliding_masks(frames, 8, 3, 24)
    with OstrelStream(events_file(frames)) as stream:
        stream.set_decoder(pairs_dem(24))
        assert masks_of(stream, 2) == expected[:2]
        with pytest.raises(error) as info:
            stream.set_decoder(*args, **kwargs)
        if message is not None:
            assert str(info.value) == message
        if error is TypeError and "depth" in name:
            assert "window_depth" in str(info.value)
        # Still the same decoder, and the window still holds the first two frames.
        assert masks_of(stream) == expected[2:]


@pytest.mark.parametrize("name", ["missing Path", "not UTF-8 str", "__str__ raises", "text does not parse",
                                  "depth is negative"])
def test_a_failed_set_decoder_leaves_a_stream_without_decoder(events_file, failures, name):
    args, kwargs, error, _ = failures[name]
    with OstrelStream(events_file([[1, 0]])) as stream:
        with pytest.raises(error):
            stream.set_decoder(*args, **kwargs)
        frame = next(stream)
    with pytest.raises(OstrelError):
        frame.observable_flips


def test_window_depth_is_converted_before_the_model_is_looked_at(events_file):
    seen = []

    class Watched:
        def __str__(self):
            seen.append("str")
            return DEM_TEXT

    with OstrelStream(events_file([[1]])) as stream:
        with pytest.raises(OverflowError):
            stream.set_decoder(Watched(), -1)
    assert seen == []


# ---------------------------------------------------------------------------------------------
# Reconfiguring, closing, and the masks frames carry


def test_a_second_set_decoder_starts_a_new_window(events_file):
    frames = random_frames(7, 8, seed=11, density=0.3)
    with OstrelStream(events_file(frames)) as stream:
        stream.set_decoder(pairs_dem(24))
        assert masks_of(stream, 3) == sliding_masks(frames[:3], 8, 3, 24)
        stream.set_decoder(pairs_dem(24))
        assert masks_of(stream, 2) == sliding_masks(frames[3:5], 8, 3, 24)
        stream.set_decoder(pairs_dem(24), window_depth=1)
        assert masks_of(stream) == sliding_masks(frames[5:], 8, 1, 24)


def test_set_decoder_on_a_closed_stream_succeeds(events_file):
    stream = OstrelStream(events_file([[1]]))
    stream.close()
    assert stream.set_decoder(DEM_TEXT, 2) is None
    with pytest.raises(OSError, match="^stream is closed$"):
        next(stream)


def test_decoded_masks_replace_the_frames_own(frames_file):
    path = frames_file(dict(frame_id=1, detector_events=[1, 0, 0, 0], observable_flips=0xABC),
                       dict(frame_id=2, detector_events=[1, 0, 0, 0]),
                       dict(frame_id=3, detector_events=[0, 0, 1, 0], observable_flips=0xDEF),
                       dict(frame_id=4, detector_events=[0, 0, 0, 0], observable_flips=0x1))
    with OstrelStream(path) as stream:
        before = [next(stream), next(stream)]
        stream.set_decoder(DEM_TEXT)
        after = list(stream)
    assert before[0].observable_flips == 0xABC and before[0].to_dict()["observable_flips"] == 0xABC
    with pytest.raises(OstrelError):
        before[1].observable_flips
    assert before[1].to_dict()["observable_flips"] is None
    assert [f.observable_flips for f in after] == [1 << 5, 0]  # nothing fired: 0, not the file's 1
    assert [f.to_dict()["observable_flips"] for f in after] == [1 << 5, 0]


def test_null_decode_ignores_fired_detectors(events_file):
    with OstrelStream(events_file([[1, 1, 1, 1]])) as stream:
        stream.set_decoder(DEM_TEXT)
        frame = next(stream)
    result = frame.null_decode()
    assert isinstance(result, DecoderResult)
    assert (result.observable_flips, result.confidence, result.corrections) == (0, 1.0, [])
    assert frame.observable_flips == (1 << 3) | (1 << 5)  # the frame keeps its own mask


@pytest.mark.parametrize("depth, error", [
    (2**62, ValueError), pytest.param(2**40, MemoryError, marks=pytest.mark.huge_allocation)])
def test_a_window_that_cannot_be_made_fails_the_read(events_file, depth, error):
    with OstrelStream(events_file([[1, 0, 0, 0]] * 3)) as stream:
        stream.set_decoder(DEM_TEXT, window_depth=depth)
        with pytest.raises(error, match="syndrome window of"):
            next(stream)
        stream.set_decoder(DEM_TEXT)
        assert masks_of(stream) == [1 << 3, 1 << 3]


SET_DECODER_DOC = """Configure the Union-Find decoder from a DEM.

Parameters
----------
dem:
    Accepts a file path (str or pathlib.Path), an inline DEM text string,
    or a ``stim.DetectorErrorModel`` object (``str(dem)`` gives the text).
window_depth:
    Number of syndrome rounds per decode window. 0 = auto-infer from
    ``detector_count / ancilla_count`` (default)."""


def test_set_decoder_doc_string():
    assert OstrelStream.set_decoder.__text_signature__ == "($self, dem, window_depth=0)"
    assert OstrelStream.set_decoder.__doc__ == SET_DECODER_DOC


# ---------------------------------------------------------------------------------------------
# End to end: a repetition-code memory experiment


def stim_graph(dem):
    """(node count, boundary node, edges) of a flattened Stim model: one edge per one- or
    two-detector error, a chain for more, errors of probability outside (0, 1) left out."""
    detectors = dem.num_detectors
    edges = []
    for instruction in dem.flattened():
        if instruction.type != "error":
            continue
        p = instruction.args_copy()[0]
        if not 0 < p < 1:
            continue
        targets = instruction.targets_copy()
        dets = [t.val for t in targets if t.is_relative_detector_id()]
        obs = [t.val for t in targets if t.is_logical_observable_id()]
        if len(dets) == 1:
            edges.append((dets[0], detectors, obs))
        else:
            edges.extend((a, b, obs) for a, b in zip(dets, dets[1:]))
    return detectors + 1, detectors, edges


def union_find_literal(graph, cells):
    """The Union-Find procedure step by step, as plainly as it can be written."""
    n, boundary, edges = graph
    fired = [i for i, c in enumerate(cells) if c == 1]
    if not fired:
        return 0
    parent = list(range(n))
    rank = [0] * n
    defects = [0] * n

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for d in fired:
        defects[find(d)] += 1
    passes = 0
    while True:
        passes += 1
        flag = False
        for u, v, _ in edges:
            a, b = find(u), find(min(v, boundary))
            da, db = defects[a], defects[b]
            if da % 2 == 1 or db % 2 == 1:
                flag = True
                if a != b:
                    if rank[a] > rank[b]:
                        parent[b] = a
                    elif rank[a] < rank[b]:
                        parent[a] = b
                    else:
                        parent[b] = a
                        rank[a] += 1
                    defects[find(a)] = da + db
        if not (flag and passes < n):
            break
    mask = 0
    for u, v, obs in edges:
        if find(u) == find(min(v, boundary)):
            for k in obs:
                mask ^= 1 << k
    return mask


def test_the_literal_procedure_matches_the_worked_examples():
    # Guards the reference itself: one detector joined to the boundary with observable 0, and two
    # fired detectors joined by an edge with observable 2 whichever way the edges are ordered.
    assert union_find_literal((2, 1, [(0, 1, [0])]), [1]) == 1
    assert union_find_literal((3, 2, [(0, 1, [2]), (0, 2, []), (1, 2, [])]), [1, 1]) == 4
    assert union_find_literal((3, 2, [(0, 2, []), (1, 2, []), (0, 1, [2])]), [1, 1]) == 4
    assert union_find_literal((3, 2, [(0, 1, [1]), (0, 1, [1])]), [1, 1]) == 0


@pytest.mark.parametrize("distance, rounds, p, shots", [(3, 4, 0.05, 1000), (5, 6, 0.02, 800), (7, 3, 0.03, 400)])
def test_repetition_code_memory_through_a_qssf_file(tmp_path, distance, rounds, p, shots):
    circuit = stim.Circuit.generated("repetition_code:memory", distance=distance, rounds=rounds,
                                     after_clifford_depolarization=p, before_measure_flip_probability=p,
                                     after_reset_flip_probability=p)
    dem = circuit.detector_error_model()
    ancillas, frames_per_shot = distance - 1, rounds + 1
    assert dem.num_detectors == frames_per_shot * ancillas  # so the inferred depth is one shot

    dets, obs = circuit.compile_detector_sampler(seed=distance * 1000 + rounds).sample(
        shots, separate_observables=True)
    truth = obs[:, 0].astype(np.uint64)
    rows = dets.reshape(shots * frames_per_shot, ancillas)
    path = tmp_path / "memory.qssf"
    with qssf.QssfWriter(path) as writer:
        written = writer.write_frames_fast(rows.astype(np.uint8), ancilla_count=ancillas,
                                           frame_ids=range(1, len(rows) + 1),
                                           rounds=np.tile(np.arange(frames_per_shot), shots).tolist(),
                                           code_type=qssf.Code.REPETITION, distance=distance)
    assert written == len(rows)

    acc = LogicalErrorAccumulator(dem.num_observables)
    with OstrelStream(str(path)) as stream:
        stream.set_decoder(dem.flattened())
        frames = list(stream)
    assert len(frames) == len(rows)
    masks = [f.observable_flips for f in frames]  # every decoded frame carries a mask
    assert all(type(m) is int for m in masks)
    last = np.array(masks[frames_per_shot - 1::frames_per_shot], dtype=np.uint64)
    for f in frames[frames_per_shot - 1::frames_per_shot]:
        acc.record(DecoderResult(f.observable_flips), int(truth[f.frame_id // frames_per_shot - 1]))

    graph = stim_graph(dem)
    # The last frame of each shot sees exactly that shot's detectors, in order.
    assert last.tolist() == [union_find_literal(graph, d) for d in dets.astype(np.uint8)]
    # Earlier frames see a sliding window that may straddle two shots.
    window = collections.deque(maxlen=frames_per_shot)
    for row, mask in zip(rows[:3 * frames_per_shot].astype(np.uint8), masks):
        window.append(row)
        assert mask == union_find_literal(graph, np.concatenate(list(window)))

    errors = int(((last ^ truth) & 1).sum())
    assert 0 < errors < shots  # the sample exercises both outcomes
    assert acc.total_shots() == shots
    assert acc.logical_error_rate(0) == errors / shots
    assert acc.mean_logical_error_rate() == errors / shots
    assert repr(acc) == f"LogicalErrorAccumulator(shots={shots}, mean_p_L={errors / shots:.4f})"


HUGE_FROM_SMALL = "repeat 16000000 {\nerror(0.1) D0 D1 D2 D3\nshift_detectors 4\n}\n"


@pytest.mark.parametrize("method, message", [
    ("union-find", r"^decoding this model needs at least 10254 MiB, more than the budget of \d+ MiB$"),
    ("weighted-union-find", r"^decoding this model on a graph needs at least 6836 MiB, more than the budget of \d+ MiB$"),
])
def test_decoders_refuse_a_small_model_describing_a_huge_graph(method, message):
    with pytest.raises(ValueError, match=message):
        ostrel.Decoder(HUGE_FROM_SMALL, method=method)


def test_a_small_model_describing_a_huge_graph_is_refused_before_it_is_built(events_file):
    # 61 bytes for 64 million detectors and 48 million edges: the graph and its decoder would
    # take about 10 GiB, so set_decoder refuses from the model's counts, with nothing allocated.
    text = HUGE_FROM_SMALL
    with OstrelStream(events_file([[1, 0]])) as stream:
        stream.set_decoder(DEM_TEXT)
        with pytest.raises(ValueError, match=r"^decoding this model needs at least 10254 MiB, "
                                             r"more than the budget of \d+ MiB$"):
            stream.set_decoder(text)
        assert next(stream).observable_flips is not None  # the previous decoder is still set
