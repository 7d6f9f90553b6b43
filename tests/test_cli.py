import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _ostrel
import ostrel
from ostrel import qssf, synth

pytest.importorskip("stim")


def run(*args, timeout=120):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-m", "ostrel", *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    out = tmp_path_factory.mktemp("synth")
    done = run("synth", "--code", "repetition", "--distance", "3", "--rounds", "4", "--shots", "300",
               "--p", "0.03", "--seed", "5", "-o", str(out))
    assert done.returncode == 0, done.stderr
    return synth.Experiment.load(str(out / "experiment.json"))


@pytest.mark.parametrize("command", ["", "inspect", "convert", "replay", "synth", "decode", "monitor", "demo"])
def test_every_command_has_help(command):
    done = run(*([command] if command else []), "--help")
    assert done.returncode == 0 and "usage: ostrel" in done.stdout


@pytest.mark.parametrize("args, needle", [
    ([], "required"),
    (["frobnicate"], "invalid choice"),
    (["inspect", "/no/such/file"], "/no/such/file: i/o error: No such file or directory"),
    (["inspect", "shm://x"], "shm:// transport"),
    (["synth", "--code", "toric", "--distance", "3", "--rounds", "1", "--shots", "1", "--p", "0.1", "-o", "x"],
     "invalid choice"),
    (["synth", "--code", "surface", "--distance", "4", "--rounds", "1", "--shots", "1", "--p", "0.1", "-o", "x"],
     "odd distance"),
    (["synth", "--code", "repetition", "--distance", "3", "--rounds", "0", "--shots", "1", "--p", "0.1",
      "-o", "x"], "at least 1"),
    (["synth", "--code", "repetition", "--distance", "3", "--rounds", "1", "--shots", "1", "--p", "2",
      "-o", "x"], "between 0 and 0.5"),
    (["decode", "x.qssf", "--dem", "/no/such.dem"], "no such DEM file"),
    (["decode", "x.qssf", "--dem", __file__, "--compare-pymatching"], "needs --truth"),
    (["demo", "--plot", "out.jpg"], ".png"),
    (["replay", "/no/such/file", "--port", "0"], "No such file"),
    (["replay", __file__, "--port", "0"], f"{__file__} is not a QSSF file: invalid QSSF magic"),
    (["decode", "x.qssf", "--dem", sys.executable], f"{sys.executable}: stream did not contain valid UTF-8"),
    (["demo", "--plot", "/no/such/folder/rates.png"], "/no/such/folder/rates.png"),
])
def test_bad_arguments_give_one_line_and_a_failure_status(args, needle):
    done = run(*args)
    assert done.returncode != 0
    assert "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1, done.stderr
    assert needle in done.stderr


def test_synth_writes_a_consistent_experiment(experiment):
    frames = list(_ostrel.OstrelStream(experiment.stream))
    assert len(frames) == experiment.shots * experiment.frames_per_shot
    assert {f.ancilla_count for f in frames} == {2}
    assert experiment.frames_per_shot * experiment.ancilla_count == experiment.detector_count
    assert len(synth.read_truth(experiment.truth)) == experiment.shots
    model = _ostrel.DetectorErrorModel.from_file(experiment.dem)
    assert model.detector_count == experiment.detector_count


def test_inspect_summarises_in_text_and_json(experiment):
    done = run("inspect", experiment.stream, "--json")
    assert done.returncode == 0, done.stderr
    summary = json.loads(done.stdout)
    frames = list(_ostrel.OstrelStream(experiment.stream))
    assert summary["frames"] == len(frames)
    assert summary["rounds"] == experiment.frames_per_shot
    assert summary["code_types"] == {"repetition": len(frames)}
    assert summary["distances"] == {"3": len(frames)}
    assert summary["ancillas_per_frame"] == {"2": len(frames)}
    fired = sum(f.detector_event_count for f in frames) / sum(f.ancilla_count for f in frames)
    assert summary["fired_detector_rate"] == pytest.approx(fired)
    assert summary["frames_with_observable_mask"] == summary["frames_with_payload_checksum"] == 0
    text = run("inspect", experiment.stream)
    assert text.returncode == 0 and f"{len(frames):,} frames" in text.stdout


@pytest.mark.parametrize("method", [None, "weighted-union-find", "union-find"])
def test_decode_reports_the_rates_of_both_decoders(experiment, method):
    chosen = ["--method", method] if method else []
    done = run("decode", experiment.stream, "--dem", experiment.dem, "--truth", experiment.truth,
               "--compare-pymatching", "--json", *chosen)
    assert done.returncode == 0, done.stderr
    r = json.loads(done.stdout)
    assert (r["method"], r["frames"], r["shots"], r["window_depth"]) == (
        method or "matching", experiment.shots * experiment.frames_per_shot, experiment.shots,
        experiment.frames_per_shot)
    truth = synth.read_truth(experiment.truth)
    # The fixed procedure is what a stream runs on the DEM itself.
    with ostrel.open(experiment.stream) as stream:
        stream.set_decoder(experiment.dem if method == "union-find" else ostrel.Decoder(experiment.dem, method or "matching"))
        masks = [f.observable_flips for i, f in enumerate(stream) if (i + 1) % experiment.frames_per_shot == 0]
    expected = sum((m ^ t) & 1 for m, t in zip(masks, truth)) / len(truth)
    assert r["ostrel_logical_error_rate"] == pytest.approx(expected)
    assert 0.0 <= r["pymatching_logical_error_rate"] < 0.5


def test_decode_refuses_a_truth_file_of_the_wrong_length(experiment, tmp_path):
    short = tmp_path / "short.txt"
    short.write_text("0\n1\n")
    done = run("decode", experiment.stream, "--dem", experiment.dem, "--truth", str(short))
    assert done.returncode != 0 and "truth file" in done.stderr and "Traceback" not in done.stderr


def test_open_sets_the_decoder_and_closes_on_failure(experiment, tmp_path):
    with ostrel.open(experiment.stream, decoder=experiment.dem) as stream:
        assert all(isinstance(f.observable_flips, int) for f in stream)
    with ostrel.open(tmp_path.parent / experiment.stream) as stream:  # PathLike sources work here
        with pytest.raises(ostrel.OstrelError):
            next(stream).observable_flips
    with pytest.raises(ValueError):
        ostrel.open(experiment.stream, decoder="error(0.1) X1")
    assert ostrel.OstrelError is _ostrel.OstrelError


def test_demo_runs_end_to_end(tmp_path):
    args = ["demo", "--frames", "500", "--shots", "200"]
    plot = tmp_path / "ler.png"
    try:
        import matplotlib  # noqa: F401
        args += ["--plot", str(plot)]
    except ImportError:
        plot = None
    done = run(*args, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "pymatching" in done.stdout and done.stdout.count("\n") > 10
    if plot is not None:
        assert plot.read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize("failures, shots", [(0, 5000), (1, 5000), (7, 300), (150, 300), (300, 300)])
def test_the_demo_plots_wilson_intervals(failures, shots):
    from ostrel.cli.demo import wilson_interval

    lo, hi = wilson_interval(failures, shots)
    assert lo <= failures / shots <= hi
    mirror = wilson_interval(shots - failures, shots)
    assert (lo, hi) == pytest.approx((1 - mirror[1], 1 - mirror[0]))
    if failures == 0:  # the closed form: no lower bound, z^2 / (n + z^2) above
        assert (lo, hi) == pytest.approx((0.0, 1.96**2 / (shots + 1.96**2)))


def test_decode_surface_rounds_with_and_without_a_sliding_window(tmp_path):
    out = tmp_path / "surface"
    done = run("synth", "--code", "surface", "--distance", "3", "--rounds", "6", "--shots", "200",
               "--p", "0.02", "--seed", "4", "-o", str(out))
    assert done.returncode == 0, done.stderr
    exp = synth.Experiment.load(str(out / "experiment.json"))
    assert (exp.frames_per_shot, exp.ancilla_count) == (7, 8)
    truth = synth.read_truth(exp.truth)
    frames = list(_ostrel.OstrelStream(exp.stream))
    layout = _ostrel.SlidingWindowDecoder.coordinate_layout(exp.dem)
    shots = np.zeros((exp.shots, exp.detector_count), dtype=np.uint8)
    for i, f in enumerate(frames):
        cells = layout[f.round] >= 0
        shots[i // 7, layout[f.round][cells]] = f.to_numpy_detector_events()[cells]
    for window, decoder in [(None, None), ("3,2", _ostrel.SlidingWindowDecoder(exp.dem, 3, 2))]:
        done = run("decode", exp.stream, "--dem", exp.dem, "--truth", exp.truth, "--json",
                   *(["--window", window] if window else []))
        assert done.returncode == 0, done.stderr
        r = json.loads(done.stdout)
        assert (r["frames"], r["shots"], r["window"]) == (len(frames), exp.shots, window or "whole shot")
        if decoder is None:
            predicted = _ostrel.Decoder(exp.dem).decode_batch(shots)[:, 0].tolist()
        else:
            predicted = [[decoder.push(f.to_numpy_detector_events(), f.round) for f in frames[s * 7:s * 7 + 7]][-1]
                         for s in range(exp.shots)]
        assert r["ostrel_logical_error_rate"] == pytest.approx(np.mean([p != t for p, t in zip(predicted, truth)]))


def test_decode_takes_one_frame_per_shot_and_long_shots_through_a_window(tmp_path):
    stim = pytest.importorskip("stim")
    from ostrel.stim_shots import shots_to_qssf

    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                     after_clifford_depolarization=0.01)
    dem = tmp_path / "surface.dem"
    circuit.detector_error_model(decompose_errors=True).to_file(str(dem))
    events, flips = circuit.compile_detector_sampler(seed=2).sample(400, separate_observables=True)
    shots_to_qssf(events, tmp_path / "shots.qssf")  # convert's default: one frame per shot
    (tmp_path / "truth.txt").write_text("".join(f"{int(f)}\n" for f in flips[:, 0]))
    done = run("decode", str(tmp_path / "shots.qssf"), "--dem", str(dem), "--truth", str(tmp_path / "truth.txt"),
               "--json")
    assert done.returncode == 0, done.stderr
    r = json.loads(done.stdout)
    predicted = _ostrel.Decoder(str(dem)).decode_batch(events)[:, 0]
    assert (r["shots"], r["chosen_because"]) == (400, "one frame per shot")
    assert r["ostrel_logical_error_rate"] == pytest.approx(np.mean(predicted != flips[:, 0]))

    out = tmp_path / "long"  # 61 rounds a shot: a sliding window by default
    assert run("synth", "--code", "repetition", "--distance", "3", "--rounds", "60", "--shots", "50",
               "--p", "0.03", "--seed", "1", "-o", str(out)).returncode == 0
    exp = synth.Experiment.load(str(out / "experiment.json"))
    done = run("decode", exp.stream, "--dem", exp.dem, "--truth", exp.truth, "--json")
    r = json.loads(done.stdout)
    assert r["window"] == "10,10" and "61 rounds a shot" in r["chosen_because"], r
    with ostrel.open(exp.stream) as stream:
        stream.set_decoder(_ostrel.SlidingWindowDecoder(exp.dem, 10, 10))
        masks = [f.observable_flips for f in stream if f.round == 60]
    truth = synth.read_truth(exp.truth)
    assert r["ostrel_logical_error_rate"] == pytest.approx(np.mean([m != t for m, t in zip(masks, truth)]))


CIRCUIT = "R 0 1\nX_ERROR(0.1) 0 1\nM 0 1\nDETECTOR rec[-1]\nDETECTOR rec[-2]\nOBSERVABLE_INCLUDE(0) rec[-1]\n"


@pytest.mark.parametrize("dem, truth, needle", [
    (CIRCUIT, None, "the model has no error mechanisms"),                      # a circuit, not a DEM
    ("error(0.1) D0 L0\n", None, "the decoder's model has 1 detector, which cannot cover frames of 2 ancillas"),
    ("error(0.1) D0 D1 L0\nerror(0.1) D5\n", "0\n8\n", "names observable 3 but"),
    ("error(0.1) D0 D1\nerror(0.1) D5\n", "0\n0\n", "has no observables to compare"),
], ids=["circuit", "too-few-detectors", "truth-beyond-model", "no-observables"])
def test_decode_refuses_models_that_cannot_fit_the_run(experiment, tmp_path, dem, truth, needle):
    (tmp_path / "model.dem").write_text(dem)
    args = ["decode", experiment.stream, "--dem", str(tmp_path / "model.dem")]
    if truth is not None:
        (tmp_path / "truth.txt").write_text(truth)
        args += ["--truth", str(tmp_path / "truth.txt")]
    done = run(*args)
    assert done.returncode != 0 and "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and needle in done.stderr, done.stderr
    assert "logical error rate" not in done.stdout


def test_open_refuses_a_circuit_given_for_its_model(experiment, tmp_path):
    circuit = tmp_path / "circuit.stim"
    circuit.write_text(CIRCUIT)
    for decoder in (str(circuit), circuit, CIRCUIT):
        with pytest.raises(ValueError, match=r"circuit.detector_error_model\(decompose_errors=True\)"):
            ostrel.open(experiment.stream, decoder=decoder).close()
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ostrel.open(experiment.stream, decoder=experiment.dem).close()


def test_a_failed_conversion_leaves_the_old_file_and_no_partial_one(tmp_path):
    stim = pytest.importorskip("stim")
    shots = np.random.default_rng(1).integers(0, 2, size=(1001, 128)).astype(bool)
    stim.write_shot_data_file(data=shots, path=str(tmp_path / "shots.b8"), format="b8", num_detectors=128)
    (tmp_path / "out.ptb64").write_text("precious")
    for detectors in ("120", "128"):  # a wrong width; then 1,001 shots, which ptb64 cannot hold
        done = run("convert", str(tmp_path / "shots.b8"), str(tmp_path / "out.ptb64"), "--detectors", detectors)
        assert done.returncode == 1 and "Traceback" not in done.stderr
        assert (tmp_path / "out.ptb64").read_text() == "precious"
        assert sorted(os.listdir(tmp_path)) == ["out.ptb64", "shots.b8"]
    done = run("convert", str(tmp_path / "shots.b8"), str(tmp_path / "out.qssf"), "--detectors", "128")
    assert done.returncode == 0, done.stderr
    assert np.array_equal(ostrel.read(str(tmp_path / "out.qssf")).detector_events, shots)


def test_convert_can_checksum_every_frame_and_inspect_counts_them(tmp_path):
    stim = pytest.importorskip("stim")
    shots = np.random.default_rng(3).random((40, 12)) < 0.2
    stim.write_shot_data_file(data=shots, path=str(tmp_path / "s.b8"), format="b8", num_detectors=12)
    out = str(tmp_path / "s.qssf")
    assert run("convert", str(tmp_path / "s.b8"), out, "--detectors", "12", "--frames-per-shot", "2",
               "--payload-checksum").returncode == 0
    frames = list(qssf.iter_frames(open(out, "rb").read()))  # the parser checks each checksum
    assert len(frames) == 80 and all(f.payload_checksum is not None for f in frames)
    done = run("inspect", out, "--json")
    assert json.loads(done.stdout)["frames_with_payload_checksum"] == 80, done.stderr
    assert np.array_equal(ostrel.read(out).detector_events.reshape(40, 12), shots)


def test_synth_refuses_a_folder_that_holds_files(tmp_path):
    (tmp_path / "notes.txt").write_text("keep me")
    args = ["synth", "--code", "repetition", "--distance", "3", "--rounds", "2", "--shots", "5",
            "--p", "0.01", "-o", str(tmp_path)]
    done = run(*args)
    assert done.returncode == 2 and "already holds files" in done.stderr and "--force" in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["notes.txt"]
    assert run(*args, "--force").returncode == 0
    assert (tmp_path / "notes.txt").read_text() == "keep me"


def test_decode_reports_a_cut_recording_as_every_whole_file_reader_does(experiment, tmp_path):
    cut = tmp_path / "cut.qssf"
    cut.write_bytes(open(experiment.stream, "rb").read()[:3000])  # inside frame 62
    with pytest.raises(OSError) as read:
        ostrel.read(str(cut))
    done = run("decode", str(cut), "--dem", experiment.dem)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.strip() == f"ostrel decode: {read.value}"


@pytest.mark.parametrize("case", ["inspect-a-model", "binary-truth", "b8-width", "missing-stream"])
def test_mistakes_name_their_file_once(experiment, tmp_path, case):
    stim = pytest.importorskip("stim")
    named = {"inspect-a-model": experiment.dem, "binary-truth": str(tmp_path / "obs.npy"),
             "b8-width": str(tmp_path / "det.b8"), "missing-stream": str(tmp_path / "nosuch.qssf")}[case]
    np.save(tmp_path / "obs.npy", np.zeros(300, np.uint8))
    events = np.random.default_rng(1).random((64, 120)) < 0.3
    stim.write_shot_data_file(data=events, path=str(tmp_path / "det.b8"), format="b8", num_detectors=120)
    args = {"inspect-a-model": ["inspect", experiment.dem],
            "binary-truth": ["decode", experiment.stream, "--dem", experiment.dem, "--truth", named],
            "b8-width": ["convert", named, str(tmp_path / "out.qssf"), "--detectors", "121"],
            "missing-stream": ["decode", named, "--dem", experiment.dem]}[case]
    done = run(*args)
    assert done.returncode != 0 and "Traceback" not in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1 and done.stderr.count(named) == 1, done.stderr
    assert not (tmp_path / "out.qssf").exists()


def test_a_reader_that_leaves_ends_the_command_quietly(experiment):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    proc = subprocess.Popen([sys.executable, "-m", "ostrel", "inspect", experiment.stream],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    proc.stdout.close()  # as `| head` does once it has its lines
    assert proc.stderr.read() == b"" and proc.wait(timeout=60) == 141


def connected_to(port: int) -> bool:
    """Whether a TCP connection to the loopback port is established (Linux's table)."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[2].endswith(f":{port:04X}") and row[3] == "01" for row in rows)


@pytest.mark.skipif(not os.path.exists("/proc/net/tcp"), reason="reads Linux's connection table")
def test_ctrl_c_reports_the_shots_decoded_so_far(experiment):
    import signal
    import time

    from ostrel import replay

    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    with replay.running(experiment.stream, rate=500.0) as port:
        proc = subprocess.Popen([sys.executable, "-m", "ostrel", "decode", f"tcp://127.0.0.1:{port}",
                                 "--dem", experiment.dem, "--truth", experiment.truth, "--compare-pymatching"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        # Started under load the decoder can take seconds to connect; the 3 s replay is paced from
        # its connection, so a fixed sleep could interrupt it before its first shot.
        deadline = time.monotonic() + 60
        while not connected_to(port) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(1.0)  # some shots have been decoded
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    assert proc.returncode == 130 and "interrupted after" in err and "Traceback" not in err
    decoded, *rates = out.splitlines()
    shots = int(decoded.split("(")[1].split()[0].replace(",", ""))
    assert 0 < shots < experiment.shots and f"after {shots:,} shots" in err
    # Both rates are there, their figures in one column.
    assert len(rates) == 2 and len({line.index("0.") for line in rates}) == 1, rates
