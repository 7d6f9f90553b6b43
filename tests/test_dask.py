"""ostrel.dask.read_qssf on a LocalCluster of two worker processes against reading file by file."""

import os
import warnings

import numpy as np
import pytest

import ostrel
from ostrel import qssf

pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
from ostrel.dask import read_qssf  # noqa: E402


def write_files(tmp_path, count, ancillas=5):
    rng = np.random.default_rng(4)
    paths = []
    for k in range(count):
        rows = rng.random((50 + 30 * k, ancillas)) < 0.2
        path = str(tmp_path / f"part{k}.qssf")
        with qssf.QssfWriter(path) as w:
            w.write_frames_fast(rows, ancilla_count=ancillas, rounds=range(len(rows)),
                                observable_flips=[None if i % 3 else i for i in range(len(rows))])
        paths.append(path)
    return paths


def test_a_local_cluster_reads_what_reading_file_by_file_gives(tmp_path, monkeypatch):
    stim = pytest.importorskip("stim")
    paths = write_files(tmp_path, 3, ancillas=2)  # the model's 2 detectors per round
    dem = stim.Circuit.generated("repetition_code:memory", distance=3, rounds=4,
                                 after_clifford_depolarization=0.1).detector_error_model()
    # The workers are fresh processes: they find the modules through the environment.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(p for p in __import__("sys").path if p))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster):
        data = read_qssf(str(tmp_path / "part*.qssf"), decoder=str(dem), window_depth=2)
        assert data.paths == paths
        with warnings.catch_warnings():
            warnings.filterwarnings("error", message="Computing mixed collections")
            events, frames = data.compute()
        np.testing.assert_array_equal(events, data.events.compute())
        packed = read_qssf(paths, bit_packed=True).events.compute()
    singles = [ostrel.read(p, str(dem), 2) for p in paths]
    np.testing.assert_array_equal(events, np.concatenate([b.detector_events for b in singles]))
    assert frames["frame_id"].tolist() == np.concatenate([b.frame_id for b in singles]).tolist()
    assert frames["observable_flips"].tolist() == np.concatenate([b.observable_flips for b in singles]).tolist()
    assert frames["file"].tolist() == sum(([p] * len(b) for p, b in zip(paths, singles)), [])
    np.testing.assert_array_equal(packed, np.packbits(events, axis=1, bitorder="little"))


def test_a_corrupt_file_is_named_with_its_frame(tmp_path):
    paths = write_files(tmp_path, 2)
    with open(paths[1], "wb") as f:
        f.write(qssf.stream_header() + b"".join(
            qssf.frame(i, detector_events=[1, 0, 0, 1, 0], header_crc=0 if i == 7 else None) for i in range(9)))
    with pytest.raises(OSError, match=r"part1\.qssf: frame 7 \(after frame id 6\): CRC32 mismatch"):
        read_qssf(paths).frames.compute(scheduler="sync")
    with pytest.raises(ValueError, match="no QSSF files match"):
        read_qssf(str(tmp_path / "none*.qssf"))
