"""QSSF to and from Stim's detection-event files, and the convert command."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

import ostrel
from ostrel import stim_shots

stim = pytest.importorskip("stim")


@pytest.fixture(scope="module")
def shots():
    circuit = stim.Circuit.generated("repetition_code:memory", distance=4, rounds=3,
                                     after_clifford_depolarization=0.1)
    return circuit.compile_detector_sampler(seed=2).sample(256)  # 256 shots x 12 detectors (ptb64 wants multiples of 64)


@pytest.mark.parametrize("fmt", stim_shots.STIM_FORMATS)
@pytest.mark.parametrize("frames_per_shot", [1, 4])
def test_a_round_trip_keeps_every_bit(tmp_path, shots, fmt, frames_per_shot):
    src = tmp_path / f"in.{fmt}"
    stim.write_shot_data_file(data=shots, path=str(src), format=fmt, num_detectors=12)
    middle, back = tmp_path / "mid.qssf", tmp_path / f"back.{fmt}"
    assert stim_shots.convert(src, middle, detectors=12, frames_per_shot=frames_per_shot) == 256
    batch = ostrel.read(middle)
    assert batch.detector_events.shape == (256 * frames_per_shot, 12 // frames_per_shot)
    assert batch.round.tolist() == list(range(frames_per_shot)) * 256
    np.testing.assert_array_equal(batch.detector_events.reshape(256, 12), shots)
    stim_shots.convert(middle, back, detectors=12, frames_per_shot=frames_per_shot)
    assert back.read_bytes() == src.read_bytes()


@pytest.mark.parametrize("fmt, size, needle", [
    ("b8", 7, "holds 7 bytes, which is not a whole number of b8 records for 12 detectors (2 bytes each)"),
    ("ptb64", 100, "holds 100 bytes, which is not a whole number of ptb64 records for 12 detectors"),
    ("01", None, "does not fit 12 detectors per shot in format 01"),
])
def test_a_stim_file_that_does_not_fit_the_detector_count(tmp_path, fmt, size, needle):
    src = tmp_path / f"in.{fmt}"
    src.write_bytes(b"\0" * size if size else b"0101\n")
    with pytest.raises(ValueError, match=re.escape(needle)):
        stim_shots.convert(src, tmp_path / "out.qssf", detectors=12)


def test_layout_mismatches_are_refused(tmp_path, shots):
    path = tmp_path / "x.qssf"
    stim_shots.shots_to_qssf(shots, path, frames_per_shot=3)  # frames of 4 ancillas
    with pytest.raises(ValueError, match="frames of 4 ancillas, but 12 detectors in 2 frames per shot need 6"):
        stim_shots.convert(path, tmp_path / "y.b8", detectors=12, frames_per_shot=2)
    with pytest.raises(ValueError, match="12 detectors do not split into 5 frames per shot"):
        stim_shots.convert(path, tmp_path / "y.b8", detectors=12, frames_per_shot=5)
    with pytest.raises(ValueError, match="cannot tell the format"):
        stim_shots.convert(path, tmp_path / "y.bin", detectors=12)


def test_the_convert_command(tmp_path, shots):
    src = tmp_path / "in.b8"
    stim.write_shot_data_file(data=shots, path=str(src), format="b8", num_detectors=12)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}

    def run(*args):
        return subprocess.run([sys.executable, "-m", "ostrel", "convert", *args], capture_output=True,
                              text=True, timeout=120, env=env)

    out = tmp_path / "out.data"
    done = run(str(src), str(out), "--detectors", "12", "--frames-per-shot", "3", "--format", "qssf")
    assert done.returncode == 0, done.stderr
    assert "256 shots of 12 detectors" in done.stdout
    assert ostrel.read(out).detector_events.shape == (768, 4)
    bad = run(str(src), str(tmp_path / "o.qssf"), "--detectors", "17")
    assert bad.returncode == 1 and bad.stderr.count("\n") == 1 and "512 bytes" in bad.stderr and "17 detectors" in bad.stderr
