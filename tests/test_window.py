"""SyndromeWindow as Python sees it: sliding rounds, cut and padded rows, depth 0, strided arrays,
argument errors, and a property test against a plain Python model of the window."""

import collections

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _ostrel import OstrelStream, SyndromeWindow


def rows(window):
    return window.to_numpy_matrix().astype(int).tolist()


def push(window, events, frame_id=0, round=0):
    window.push_numpy(np.asarray(events, dtype=bool), frame_id, round)


def state(window):
    return (len(window), window.is_full(), window.is_empty(), rows(window), window.active_detectors(),
            repr(window))


# --------------------------------------------------------------------------- sliding and shape


def test_three_ancillas_depth_two_keeps_the_two_newest_rounds():
    w = SyndromeWindow(3, 2)
    assert (len(w), w.is_full(), w.is_empty()) == (0, False, True)
    push(w, [1, 0, 0])
    w.push_numpy(np.array([0, 1, 0], dtype=bool), frame_id=1, round=1)
    assert (len(w), w.is_full(), w.is_empty()) == (2, True, False)
    w.push_numpy(detector_events=np.array([0, 0, 1], dtype=bool), round=2, frame_id=2)
    assert (len(w), w.is_full(), w.is_empty()) == (2, True, False)
    assert rows(w) == [[0, 1, 0], [0, 0, 1]]
    assert w.active_detectors() == [1, 5]
    assert repr(w) == "SyndromeWindow(rounds=2/2, ancillas=3)"


@pytest.mark.parametrize("events, row", [
    ([1, 0, 1, 1, 1], [1, 0, 1]),  # cut to the ancilla count
    ([1], [1, 0, 0]),              # padded with zeros
    ([], [0, 0, 0]),
    ([0, 1, 1], [0, 1, 1]),
])
def test_rounds_are_cut_or_padded_to_the_ancilla_count(events, row):
    w = SyndromeWindow(3, 4)
    push(w, [1, 1, 1])
    push(w, events)
    assert rows(w) == [[1, 1, 1], row]
    assert w.active_detectors() == [0, 1, 2] + [3 + i for i, v in enumerate(row) if v]


def test_depth_zero_never_evicts_and_is_full_only_while_empty():
    w = SyndromeWindow(4, 0)
    assert (w.is_full(), w.is_empty(), repr(w)) == (True, True, "SyndromeWindow(rounds=0/0, ancillas=4)")
    pushed = []
    for i in range(100):  # well past any initial room, so the storage has to grow
        row = [(i >> b) & 1 for b in range(4)]
        push(w, row)
        pushed.append(row)
        assert (len(w), w.is_full(), w.is_empty()) == (i + 1, False, False)
    assert rows(w) == pushed
    assert repr(w) == "SyndromeWindow(rounds=100/0, ancillas=4)"


def test_depth_one_holds_only_the_newest_round():
    w = SyndromeWindow(2, 1)
    for events in ([1, 0], [0, 1], [1, 1]):
        push(w, events)
        assert rows(w) == [events] and w.is_full() and len(w) == 1
    assert w.active_detectors() == [0, 1]


@pytest.mark.parametrize("ancillas", [0, 1, 5])
def test_an_empty_window_has_a_zero_row_matrix(ancillas):
    w = SyndromeWindow(ancillas, 3)
    m = w.to_numpy_matrix()
    assert (m.shape, m.dtype) == ((0, ancillas), np.bool_)
    assert (len(w), w.is_empty(), w.is_full(), w.active_detectors()) == (0, True, False, [])


def test_a_window_without_ancillas_counts_rounds_with_empty_rows():
    w = SyndromeWindow(0, 2)
    for n in (1, 2, 2):
        push(w, [1, 1])
        assert (len(w), w.to_numpy_matrix().shape, w.active_detectors()) == (n, (n, 0), [])
    assert w.is_full() and repr(w) == "SyndromeWindow(rounds=2/2, ancillas=0)"


def test_only_cells_holding_exactly_one_count_as_fired():
    # A bool array whose bytes are not 0/1 can be made by viewing other bytes as bool.
    raw = np.array([2, 1, 0, 255, 1], dtype=np.uint8)
    w = SyndromeWindow(5, 1)
    w.push_numpy(raw.view(np.bool_), 0, 0)
    assert w.active_detectors() == [1, 4]


def test_results_are_private_copies():
    w = SyndromeWindow(3, 2)
    events = np.array([1, 0, 1], dtype=bool)
    w.push_numpy(events, 0, 0)
    events[:] = [0, 1, 0]  # the window copied the caller's array
    m = w.to_numpy_matrix()
    assert m.flags.c_contiguous and m.flags.writeable and m.flags.owndata is False
    m[:] = True
    active = w.active_detectors()
    active.append(99)
    assert rows(w) == [[1, 0, 1]] and w.active_detectors() == [0, 2]
    assert w.to_numpy_matrix() is not w.to_numpy_matrix()


# --------------------------------------------------------------------------- pushing frames


def test_push_takes_frames_from_a_file_stream_and_leaves_them_intact(frames_file):
    path = frames_file(dict(frame_id=1, detector_events=[0, 1, 1]),
                       dict(frame_id=2, detector_events=[1, 0, 0, 0, 1]),  # longer: cut
                       dict(frame_id=3, detector_events=[1]),              # shorter: padded
                       dict(frame_id=4, detector_events=[]))
    with OstrelStream(path) as stream:
        frames = list(stream)
    w = SyndromeWindow(3, 3)
    seen = []
    for f in frames:
        before = (repr(f), f.to_numpy_detector_events().tolist())
        w.push(f)
        seen.append(rows(w))
        assert (repr(f), f.to_numpy_detector_events().tolist()) == before
    assert seen[2] == [[0, 1, 1], [1, 0, 0], [1, 0, 0]]
    assert seen[3] == [[1, 0, 0], [1, 0, 0], [0, 0, 0]]
    w.push(frame=frames[0])  # by keyword, and the same frame again
    assert rows(w) == [[1, 0, 0], [0, 0, 0], [0, 1, 1]]


def _views():
    base = np.array([1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 1], dtype=bool)
    grid = np.array([[0, 1, 0], [1, 1, 0], [0, 0, 1], [1, 0, 1]], dtype=bool)
    return {
        "every second": base[::2],
        "every third from one": base[1::3],
        "reversed": base[::-1],
        "reversed every second": base[::-2],
        "reversed from the end": base[-2:2:-3],
        "single reversed": base[4:3:-1],
        "empty reversed": base[3:3:-1],
        "matrix column": grid[:, 1],
        "fortran column": np.asfortranarray(grid)[1, :],
        "broadcast (stride 0)": np.broadcast_to(np.array(True), (4,)),
        "contiguous": base[2:9],
    }


@pytest.mark.parametrize("ancillas", [3, 6, 12])
@pytest.mark.parametrize("name, view", list(_views().items()), ids=list(_views()))
def test_strided_arrays_push_their_elements_in_order(name, view, ancillas):
    w = SyndromeWindow(ancillas, 2)
    w.push_numpy(view, 0, 0)
    expected = SyndromeWindow(ancillas, 2)
    expected.push_numpy(np.ascontiguousarray(view), 0, 0)
    assert rows(w) == rows(expected)
    row = np.ascontiguousarray(view)[:ancillas].astype(int).tolist()
    assert rows(w) == [row + [0] * (ancillas - len(row))]


def test_a_strided_view_of_a_large_array_reads_only_its_own_elements():
    # The view's last element sits at the very start of its buffer; the rest of the buffer is
    # ones, so any read past the view's elements would show up as a fired cell.
    buf = np.ones(64, dtype=bool)
    buf[0:40:8] = False
    view = buf[32::-8]  # elements 32, 24, 16, 8, 0: all zero
    w = SyndromeWindow(8, 1)
    w.push_numpy(view, 0, 0)
    assert rows(w) == [[0] * 8]


# --------------------------------------------------------------------------- argument errors


@pytest.mark.parametrize("args, error, match", [
    (("x", 1), TypeError, "argument 'ancilla_count'"),
    ((1.0, 1), TypeError, "argument 'ancilla_count'"),
    ((1, None), TypeError, "argument 'window_depth'"),
    ((-1, 1), OverflowError, None),
    ((1, -1), OverflowError, None),
    ((2**64, 1), OverflowError, None),
    ((1, 2**64), OverflowError, None),
    ((3,), TypeError, "window_depth"),
    ((), TypeError, "ancilla_count"),
])
def test_constructor_argument_errors(args, error, match):
    with pytest.raises(error, match=match):
        SyndromeWindow(*args)


def test_numpy_scalars_and_index_objects_are_integers():
    w = SyndromeWindow(np.uint16(3), np.int64(2))
    w.push_numpy(np.ones(3, dtype=bool), np.uint64(2**64 - 1), np.uint32(2**32 - 1))
    assert repr(w) == "SyndromeWindow(rounds=1/2, ancillas=3)"


BAD_PUSHES = [
    ((np.zeros(3, dtype=np.uint8), 0, 0), TypeError, "argument 'detector_events'"),
    ((np.zeros(3, dtype=np.int64), 0, 0), TypeError, "argument 'detector_events'"),
    ((np.zeros((1, 3), dtype=bool), 0, 0), TypeError, "argument 'detector_events'"),
    ((np.array(True), 0, 0), TypeError, "argument 'detector_events'"),
    (([True, False, True], 0, 0), TypeError, "argument 'detector_events'"),
    ((b"\x01\x00\x01", 0, 0), TypeError, "argument 'detector_events'"),
    ((None, 0, 0), TypeError, "argument 'detector_events'"),
    ((np.ones(3, dtype=bool), "1", 0), TypeError, "argument 'frame_id'"),
    ((np.ones(3, dtype=bool), 0, 1.5), TypeError, "argument 'round'"),
    ((np.ones(3, dtype=bool), -1, 0), OverflowError, None),
    ((np.ones(3, dtype=bool), 2**64, 0), OverflowError, None),
    ((np.ones(3, dtype=bool), 0, -1), OverflowError, None),
    ((np.ones(3, dtype=bool), 0, 2**32), OverflowError, "round"),
    ((np.ones(3, dtype=bool),), TypeError, "missing required argument 'frame_id'"),
    ((np.ones(3, dtype=bool), 0), TypeError, "missing required argument 'round'"),
    ((np.ones(3, dtype=bool), 0, 0, 0), TypeError, None),
]


@pytest.mark.parametrize("args, error, match", BAD_PUSHES)
def test_push_numpy_argument_errors_leave_the_window_unchanged(args, error, match):
    w = SyndromeWindow(3, 2)
    push(w, [0, 1, 0])
    before = state(w)
    with pytest.raises(error, match=match):
        w.push_numpy(*args)
    assert state(w) == before


@pytest.mark.parametrize("call", [
    lambda w: w.push(np.ones(3, dtype=bool)),
    lambda w: w.push(None),
    lambda w: w.push(frame=w),
])
def test_push_refuses_anything_but_a_frame(call):
    w = SyndromeWindow(3, 2)
    before = state(w)
    with pytest.raises(TypeError, match="argument 'frame'"):
        call(w)
    assert state(w) == before


def test_push_needs_its_frame():
    with pytest.raises(TypeError, match="missing required argument 'frame'"):
        SyndromeWindow(3, 2).push()


# --------------------------------------------------------------------------- sizes


@pytest.mark.parametrize("ancillas, depth, error", [
    (2**40, 2**30, ValueError),     # the product overflows
    (2**64 - 1, 2, ValueError),
    (1, 2**63, ValueError),
    pytest.param(2**40, 2**20, MemoryError, marks=pytest.mark.huge_allocation),  # more than any machine holds
    pytest.param(10**12, 1, MemoryError, marks=pytest.mark.huge_allocation),
])
def test_reservations_that_cannot_be_made_raise(ancillas, depth, error):
    with pytest.raises(error, match="syndrome window of"):
        SyndromeWindow(ancillas, depth)


@pytest.mark.huge_allocation
def test_a_large_reservation_is_refused_or_made_lazily():
    # Tens of gigabytes: refused, or reserved without touching it; never the end of the process.
    try:
        w = SyndromeWindow(2**32, 4)
    except MemoryError:
        return
    assert (len(w), w.is_empty(), repr(w)) == (0, True, f"SyndromeWindow(rounds=0/4, ancillas={2**32})")


def test_a_depth_zero_window_refuses_a_row_it_cannot_hold():
    w = SyndromeWindow(2**64 - 1, 0)  # depth 0 reserves nothing up front
    with pytest.raises(ValueError, match="too large"):
        push(w, [1, 1])
    assert (len(w), w.is_empty(), w.is_full()) == (0, True, True)


# --------------------------------------------------------------------------- doc strings


PUSH_NUMPY_DOC = """Push detector events directly from a 1-D NumPy bool array.

Use this when building frames from vendor adapters (IBM, Cirq, etc.)
instead of constructing a full `SyndromeFrame`.

Parameters
----------
detector_events : np.ndarray[bool]
    Shape ``(ancilla_count,)``.
frame_id : int, optional
    Monotonic frame counter (default 0).
round : int, optional
    Round index within an experiment (default 0)."""


@pytest.mark.parametrize("name, signature, doc", [
    ("push", "($self, frame)", "Push a `SyndromeFrame` into the window, evicting the oldest if full."),
    ("push_numpy", "($self, detector_events, frame_id, round)", PUSH_NUMPY_DOC),
    ("is_full", "($self)", None),
    ("is_empty", "($self)", None),
    ("to_numpy_matrix", "($self)",
     "Detector matrix as a 2-D NumPy bool array of shape `(rounds, ancilla_count)`.\n\n"
     "Row 0 is the oldest round; row `len()-1` is the newest."),
    ("active_detectors", "($self)",
     "Indices (into the flat detector matrix) of all fired detectors across all rounds."),
])
def test_method_doc_strings(name, signature, doc):
    method = getattr(SyndromeWindow, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_class_doc_string():
    assert SyndromeWindow.__text_signature__ == "(ancilla_count, window_depth)"
    assert SyndromeWindow.__doc__ == ""


# --------------------------------------------------------------------------- model


def strided(draw_bits, step):
    """An array whose elements, in order, are draw_bits, laid out with the given step."""
    base = np.zeros(max(1, len(draw_bits) * abs(step)), dtype=bool)
    if step > 0:
        base[::step][:len(draw_bits)] = draw_bits
        return base[::step][:len(draw_bits)]
    view = base[::step][:len(draw_bits)]
    view[:] = draw_bits
    return view


@settings(max_examples=150, deadline=None)
@given(
    ancillas=st.integers(0, 6),
    depth=st.integers(0, 4),
    pushes=st.lists(st.tuples(st.lists(st.booleans(), max_size=9), st.sampled_from([1, 2, -1, -3])),
                    max_size=12),
)
def test_window_matches_a_deque_of_padded_rows(ancillas, depth, pushes):
    w = SyndromeWindow(ancillas, depth)
    model = collections.deque(maxlen=depth or None)
    for i, (bits, step) in enumerate(pushes):
        array = strided(bits, step)
        assert array.tolist() == bits
        w.push_numpy(array, i, i)
        model.append((bits + [False] * ancillas)[:ancillas])
        expected = np.array(list(model), dtype=bool).reshape(len(model), ancillas)
        matrix = w.to_numpy_matrix()
        assert matrix.shape == expected.shape and (matrix == expected).all()
        assert w.active_detectors() == np.flatnonzero(expected).tolist()
        assert len(w) == len(model)
        assert w.is_full() == (len(model) == depth)
        assert w.is_empty() is False
        assert repr(w) == f"SyndromeWindow(rounds={len(model)}/{depth}, ancillas={ancillas})"
