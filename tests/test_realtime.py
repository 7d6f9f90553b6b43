"""Real-time decoding of rounds: the detector layout that maps one frame per round to the model's
detectors, and the round trip from sampled shots through the writer and a stream back to them."""

import numpy as np
import pytest

from _ostrel import DetectorErrorModel, OstrelStream
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
    layout = DetectorErrorModel.parse(str(dem)).detector_layout()
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
        DetectorErrorModel.parse(text).detector_layout()
