"""Where a recording ends. A file read while it is written hands out each frame once it has
arrived whole; a whole-file reader (ostrel.read, inspect, the Dask reader, convert) reports a
recording cut inside its stream header or a frame as an error naming the file, the frame and the
bytes found and expected."""

import pytest

import ostrel
from ostrel import cli, qssf
from ostrel.stim_shots import convert

FRAMES = [
    qssf.frame(1, detector_events=[1, 0, 1, 1], meas_results=[1, -1, 1, 1]),
    qssf.frame(2, detector_events=[0, 1, 0, 0], observable_flips=3, text="two",
               annotations=[(1, 7, 2)]),
    qssf.frame(5, detector_events=[1, 1, 0, 0], timing_offsets=[1, 2, 3, 4]),
]
DATA = qssf.stream_header() + b"".join(FRAMES)
ENDS = [26 + sum(map(len, FRAMES[:i + 1])) for i in range(len(FRAMES))]


def test_a_file_read_while_it_is_written_gives_every_frame_once_and_none_early(tmp_path):
    path = tmp_path / "live.qssf"
    for cut in range(len(DATA) + 1):
        path.write_bytes(DATA[:cut])
        with ostrel.open(path) as stream:
            early = [f.frame_id for f in stream]
            assert early == [1, 2, 5][:sum(e <= cut for e in ENDS)], cut
            with path.open("ab") as f:
                f.write(DATA[cut:])
            late = [f.frame_id for f in stream]
            assert early + late == [1, 2, 5], cut
            second = [f.to_numpy_detector_events().tolist() for f in ostrel.open(path)][1]
            assert second == [0, 1, 0, 0]


def reference_error(data: bytes) -> str:
    with pytest.raises(qssf.QssfFormatError) as e:
        list(qssf.iter_frames(data))
    return str(e.value)


# One cut in each part of the recording: stream header, frame header, payload, extension list,
# annotation list, trailer.
CUTS = {"stream header": 10, "frame header": ENDS[0] + 20, "payload": ENDS[0] + 36 + 3,
        "extensions": ENDS[1] - 6 - 11 - 2, "annotations": ENDS[1] - 6 - 4, "trailer": ENDS[2] - 3}


@pytest.mark.parametrize("part", CUTS)
def test_whole_file_readers_report_a_cut_recording(tmp_path, part, capsys):
    data = DATA[:CUTS[part]]
    path = tmp_path / "cut.qssf"
    path.write_bytes(data)
    message = f"{path}: {reference_error(data)}"
    assert "truncated" in message and ("stream header" in message or "frame at index" in message)
    with pytest.raises(OSError) as e:
        ostrel.read(path)
    assert str(e.value) == message
    assert cli.main(["inspect", str(path)]) == 1
    assert message in capsys.readouterr().err
    with pytest.raises(OSError) as e:
        convert(path, tmp_path / "out.b8", detectors=4)
    assert str(e.value) == message
    assert not (tmp_path / "out.b8").exists()


@pytest.mark.parametrize("part", ["stream header", "payload", "trailer"])
def test_the_dask_reader_names_the_file_of_a_cut_recording(tmp_path, part):
    pytest.importorskip("dask.dataframe")
    from ostrel.dask import read_qssf

    whole = tmp_path / "a.qssf"
    whole.write_bytes(DATA)
    cut = tmp_path / "b.qssf"
    cut.write_bytes(DATA[:CUTS[part]])
    dataset = read_qssf([str(whole), str(cut)]) if part != "stream header" else None
    with pytest.raises(OSError) as e:
        (dataset or read_qssf([str(cut)])).events.compute(scheduler="synchronous")
    assert str(e.value) == f"{cut}: {reference_error(DATA[:CUTS[part]])}"


def test_the_dask_reader_names_the_file_of_a_bad_magic(tmp_path):
    pytest.importorskip("dask.dataframe")
    from ostrel.dask import read_qssf

    bad = tmp_path / "bad.qssf"
    bad.write_bytes(qssf.stream_header(magic=0x51535347) + FRAMES[0])
    with pytest.raises(OSError, match=f"^{bad}: invalid QSSF magic bytes"):
        read_qssf([str(bad)])
