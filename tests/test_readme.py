import os
import re

import pytest

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_readme_examples_run(tmp_path, monkeypatch, capsys):
    pytest.importorskip("stim")
    with open(README) as f:
        blocks = re.findall(r"```python\n(.*?)```", f.read(), re.S)
    assert len(blocks) >= 4
    monkeypatch.chdir(tmp_path)
    for block in blocks:
        exec(compile(block, README, "exec"), {})
    out = capsys.readouterr().out
    assert "SyndromeFrame(frame_id=1, round=0, detector_events=1/4)" in out
    assert "DetectorErrorModel(detectors=2, observables=1, errors=2)" in out
    assert "LogicalErrorAccumulator(shots=100, mean_p_L=" in out
    assert "SyndromeWindow(rounds=2/2, ancillas=3) [1, 5]" in out
    assert "Decoder(method='matching', num_detectors=24, num_observables=1)\nTrue" in out
    assert "\n[1] [0]\n" in out  # the colour-code example: one two-colour error, one three-colour one
    assert "SlidingWindowDecoder(commit_rounds=3, buffer_rounds=3, rounds_per_shot=11, ancillas=8)\n50 150\n" in out
    assert "1200 200 40\n" in out
