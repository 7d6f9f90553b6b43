"""The monitor against the same stream decoded without it, its page in a real browser, and its
behaviour on bad input."""

import json
import os
import signal
import socket
import subprocess
import sys
import urllib.request

import numpy as np
import pytest

import _ostrel
import ostrel
from ostrel import qssf, replay, synth
from ostrel.cli import decode
from ostrel.monitor.rates import per_round

import browser

pytest.importorskip("stim")


def get(url: str) -> bytes:
    with urllib.request.urlopen(url, timeout=30) as answer:
        return answer.read()


@pytest.fixture(scope="module")
def experiments(tmp_path_factory):
    made = {}
    for code, distance, rounds in (("surface", 3, 4), ("repetition", 3, 5), ("surface", 5, 5)):
        out = str(tmp_path_factory.mktemp(f"{code}{distance}"))
        made[code, distance] = synth.write_experiment(out, code, distance, rounds, 400, 0.02, seed=7)
    return made


def shots_of(exp) -> np.ndarray:
    """The stream's detection events as shots x detectors, read without the monitor."""
    events = ostrel.read(exp.stream).detector_events.astype(np.uint8)
    if exp.code == "repetition":
        return events.reshape(exp.shots, -1)[:, :exp.detector_count]
    layout = _ostrel.SlidingWindowDecoder.coordinate_layout(exp.dem)
    shots = np.zeros((exp.shots, exp.detector_count), dtype=np.uint8)
    for r, row in enumerate(layout):
        shots[:, row[row >= 0]] = events[r::layout.shape[0]][:, row >= 0]
    return shots


@pytest.mark.parametrize("key, window", [(("surface", 3), None), (("surface", 3), (2, 2)), (("repetition", 3), None)])
def test_every_figure_matches_the_stream_decoded_without_the_monitor(experiments, key, window):
    exp = experiments[key]
    truth = synth.read_truth(exp.truth)
    pymatching = pytest.importorskip("pymatching")
    if exp.code == "surface":
        expected = decode.decode_rounds(exp.stream, exp.dem, truth, window, True, progress=False)
    else:
        expected = decode.decode_source(exp.stream, exp.dem, truth, 0, True, progress=False)
    matching = pymatching.Matching.from_detector_error_model_file(exp.dem)
    with replay.running(exp.stream) as port:
        with ostrel.Monitor(f"tcp://127.0.0.1:{port}", exp.dem, truth=exp.truth, window=window,
                            reference=matching) as monitor:
            assert monitor.wait(60)
            stats = json.loads(get(monitor.url + "stats"))
    assert stats == monitor.snapshot()
    assert (stats["state"], stats["frames"], stats["shots"], stats["errors"]) == (
        "ended", expected["frames"], expected["shots"], [])
    logical = stats["logical"]
    assert logical["mean_logical_error_rate"] == expected["ostrel_logical_error_rate"]
    assert logical["rate"] == expected["ostrel_logical_error_rate"]  # one observable
    assert logical["low"] <= logical["rate"] <= logical["high"]
    assert (logical["reference"]["name"], logical["reference"]["shots"], logical["reference"]["rate"]) == (
        "pymatching", exp.shots, expected["pymatching_logical_error_rate"])
    rounds = exp.frames_per_shot
    for p in (logical["rate"], logical["low"], logical["high"]):
        assert (1 - 2 * per_round(p, rounds)) ** rounds == pytest.approx(1 - 2 * p)

    shots = shots_of(exp)
    assert stats["detectors"]["fraction"] == shots.mean(axis=0).tolist()
    assert stats["detection_fraction"] == shots.mean()
    # Stabilisers on the chip: the detectors that share their coordinates but the last.
    coords = _ostrel.DetectorErrorModel.from_file(exp.dem).detector_coordinates()
    place = [tuple(c[:-1]) + (0.0,) * (3 - len(c)) for c in coords]
    by_position = {}
    for d, key_xy in enumerate(place):
        by_position.setdefault(key_xy[:2], []).append(d)
    got = dict(zip(zip(stats["positions"]["x"], stats["positions"]["y"]), stats["positions"]["fraction"]))
    assert got == {xy: shots[:, ds].sum() / (exp.shots * len(ds)) for xy, ds in by_position.items()}
    # The last `recent` rounds: here the last 1000 frames of the stream.
    recent = min(1000, stats["frames"])
    assert stats["detectors"]["recent_frames"] == recent


def test_the_page_in_a_real_browser_shows_the_served_figures(experiments, tmp_path):
    executable = browser.find()
    if executable is None:
        if os.environ.get("CI"):
            pytest.fail("CI needs Chromium for the monitor's page (apt-get install chromium)")
        pytest.skip("no Chromium")
    exp = experiments["surface", 5]
    with replay.running(exp.stream, rate=4000) as port:
        with ostrel.Monitor(f"tcp://127.0.0.1:{port}", exp.dem, truth=exp.truth, window=(2, 2), cycle_us=1) as monitor, \
                browser.Browser(executable) as chromium:
            chromium.open(monitor.url)
            chromium.wait_for("Number(document.body.dataset.updates) >= 2")
            assert monitor.wait(60)
            chromium.wait_for("document.getElementById('state').textContent === 'ended'")
            shown = chromium.evaluate("""JSON.stringify({
                numbers: Object.fromEntries([...document.querySelectorAll('[data-value]')].map(e => [e.id, Number(e.dataset.value)])),
                cells: [...document.querySelectorAll('#map-all .cell')].map(e => [Number(e.dataset.x), Number(e.dataset.y), e.dataset.fraction]),
                errors: document.querySelectorAll('#errors li:not(.none)').length})""")
            png = chromium.screenshot()
            stats = json.loads(get(monitor.url + "stats"))
    (tmp_path / "monitor.png").write_bytes(png)
    assert png.startswith(b"\x89PNG") and len(png) > 20_000
    shown = json.loads(shown)
    lat, logical = stats["latency_us"], stats["logical"]
    assert shown["numbers"] == {
        "frames": stats["frames"], "shots": stats["shots"], "rate": stats["current_frames_per_second"],
        "backlog": stats["backlog_frames"], "commit": lat["commit"]["p50"], "shot": lat["shot"]["p50"],
        "detection-fraction": stats["detection_fraction"], "ler": logical["rate"],
        "ler-round": logical["per_round"]["rate"], "error-count": 0}
    positions = stats["positions"]
    assert shown["cells"] == [[x, y, str(f)] for x, y, f in zip(positions["x"], positions["y"], positions["fraction"])]
    assert len(shown["cells"]) == 24 and shown["errors"] == 0


def test_a_stream_of_the_callers_is_read_but_not_closed_and_without_a_model_counts_columns(experiments):
    exp = experiments["repetition", 3]
    events = ostrel.read(exp.stream).detector_events
    with ostrel.open(exp.stream, timeout=7.0) as stream:
        with ostrel.Monitor(stream) as monitor:
            assert monitor.wait(60)
        stats = monitor.snapshot()
        assert stream.timeout == 7.0 and list(stream) == []  # still open, at its end
    assert (stats["frames"], stats["logical"], stats["latency_us"]) == (len(events), None, None)
    assert stats["positions"]["x"] == [0.0, 1.0] and stats["positions"]["fraction"] == events.mean(axis=0).tolist()


def frames(*events, **kw) -> list:
    return [qssf.frame(i, round=i % 2, detector_events=e, **kw) for i, e in enumerate(events, 1)]


GOOD = [[0, 1], [1, 1]] * 3
HEADER = qssf.stream_header()


@pytest.mark.parametrize("data, state, accepted, messages", [
    # A frame the decoder refuses among good ones, then a tail cut inside a frame.
    (HEADER + b"".join(frames(*GOOD[:2], [1, 0, 1], *GOOD[3:])) + frames([1, 1])[0][:20], "ended", 5,
     ["a frame of 3 ancillas follows frames of 2", "truncated frame at index 6"]),
    # A header whose CRC is wrong: nothing after it can be trusted.
    (HEADER + b"".join(frames(*GOOD[:2]) + [qssf.frame(3, round=0, detector_events=[1, 1], header_crc=1)]
                       + frames(*GOOD)), "broken", 2, ["CRC32 mismatch"]),
    (None, "failed", 0, ["Connection refused"]),
], ids=["shape-and-cut", "bad-crc", "no-server"])
def test_bad_input_keeps_the_page_up_and_says_what_went_wrong(tmp_path, data, state, accepted, messages):
    model = "error(0.1) D0 D1 L0\nerror(0.1) D2 D3\n" + "".join(f"error(0.01) D{d}\n" for d in range(4))
    path = tmp_path / "bad.qssf"
    path.write_bytes(data or b"")
    with replay.running(str(path)) as port:
        source = f"tcp://127.0.0.1:{port if data else free_port()}"
        with ostrel.Monitor(source, model) as monitor:
            assert monitor.wait(60)
            stats = json.loads(get(monitor.url + "stats"))
            assert b"ostrel monitor" in get(monitor.url)
    assert (stats["state"], stats["frames"]) == (state, accepted), stats["errors"]
    assert [m in e["message"] for m, e in zip(messages, stats["errors"])] == [True] * len(messages)
    assert len(stats["errors"]) == stats["error_count"] == len(messages)


def free_port() -> int:
    """A loopback port with nothing listening on it."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_cli(*args, **kw):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.Popen([sys.executable, "-m", "ostrel", "monitor", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, **kw)


def test_the_command_serves_until_ctrl_c_and_writes_a_self_contained_page(experiments, tmp_path):
    exp = experiments["surface", 3]
    args = [exp.stream, "--dem", exp.dem, "--truth", exp.truth, "--window", "2,2", "--compare-pymatching"]
    once = tmp_path / "run.html"
    done = run_cli(*args, "--once", str(once), "--json")
    out, err = done.communicate(timeout=120)
    assert done.returncode == 0, err
    final = json.loads(out.splitlines()[0])
    html = once.read_text()
    assert 'src="' not in html and 'href="' not in html  # nothing to fetch
    embedded = html.split('<script id="figures" type="application/json">', 1)[1].split("</script>", 1)[0]
    assert json.loads(embedded) == final and final["frames"] == exp.shots * exp.frames_per_shot

    proc = run_cli(*args, "--port", "0")
    try:
        url = proc.stdout.readline().split()[1]
        assert url.startswith("http://127.0.0.1:")
        assert "ended" in proc.stdout.readline()
        events = urllib.request.urlopen(url + "events", timeout=30)
        assert events.readline().startswith(b"data: {")
        events.close()  # a page that leaves stops nothing
        assert json.loads(get(url + "stats"))["frames"] == final["frames"]
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert f"monitored {final['frames']:,} frames ({final['shots']:,} shots)" in out
    assert f"logical error rate {final['logical']['rate']:.4g} per shot" in out
    assert f"pymatching logical error rate {final['logical']['reference']['rate']:.4g} per shot" in out


class Batch:
    def __init__(self, events, rounds):
        self.detector_events, self.round = events.astype(bool), rounds.astype(np.uint32)
        self.observable_flips = np.zeros(len(rounds), dtype=np.uint64)

    def __len__(self):
        return len(self.round)


@pytest.mark.parametrize("seed, shots, loss, batches", [
    (0, 40, 0.0, 12), (1, 40, 0.02, 12), (2, 1500, 0.0, 3), (3, 1500, 0.2, 3)])
def test_counts_do_not_depend_on_how_frames_fall_into_batches(seed, shots, loss, batches):
    from ostrel.monitor.figures import Figures

    rng = np.random.default_rng(seed)
    R, A = 5, 3
    rounds = np.tile(np.arange(R), shots)
    rounds = rounds[rng.random(len(rounds)) >= loss]  # frames lost on the way
    rounds = rounds[1 + int(rng.integers(R - 1)):]  # starting inside a shot
    events = (rng.random((len(rounds), A)) < 0.3).astype(np.uint8)
    truth = rng.integers(0, 2, size=shots)

    class Parity:  # a stand-in decoder: the parity of the shot's detection events
        def decode_batch(self, syndromes):
            return (syndromes.sum(axis=1) % 2)[:, None].astype(np.uint8)

    figures = Figures(np.arange(R * A).reshape(R, A), recent=7, truth=truth, observables=1, reference=(Parity(), "p"))
    cuts = np.sort(rng.choice(np.arange(1, len(rounds)), size=batches - 1, replace=False))
    for e, r in zip(np.split(events, cuts), np.split(rounds, cuts)):
        figures.add(Batch(e, r))
    fired = np.zeros((R, A), dtype=np.int64)
    np.add.at(fired, rounds, events)
    assert figures.fired.tolist() == fired.ravel().tolist()
    assert figures.exposure.tolist() == np.bincount(rounds, minlength=R).tolist()
    assert (figures.frames, figures.shots) == (len(rounds), int(np.sum(rounds == R - 1)))
    assert sorted(map(tuple, figures.ring_events)) == sorted(map(tuple, events[-7:]))
    assert sorted(figures.ring_rounds.tolist()) == sorted(rounds[-7:].tolist())
    # The stand-in's failures on the shots whose every round arrived (all but a first partial
    # one when nothing was lost), shot k being the k-th whose last round arrived.
    ends = np.flatnonzero(rounds == R - 1)
    whole = [k for k, e in enumerate(ends) if e >= R - 1 and rounds[e - R + 1:e + 1].tolist() == list(range(R))]
    failures = sum(int(events[ends[k] - R + 1:ends[k] + 1].sum() % 2 != truth[k]) for k in whole)
    assert figures.reference.compared <= len(whole)
    if not loss:
        assert (figures.reference.compared, figures.reference.failures) == (len(whole), failures)
