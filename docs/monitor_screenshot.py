"""Makes docs/monitor.png, the README's picture of the monitor: a d = 5 surface-code memory
experiment (10 rounds, p = 0.005) replayed over loopback TCP at 40,000 rounds/s, decoded with a
5,5 sliding window against a 25 us cycle, photographed by headless Chromium mid-run.

    PYTHONPATH=build/python:python .venv/bin/python docs/monitor_screenshot.py
"""

import os
import sys
import tempfile
import time

import ostrel
from ostrel import replay, synth

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import browser  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "monitor.png")

with tempfile.TemporaryDirectory() as tmp:
    exp = synth.write_experiment(tmp, "surface", 5, 10, 20_000, 0.005, seed=30)
    with replay.running(exp.stream, rate=40_000) as port, \
            ostrel.Monitor(f"tcp://127.0.0.1:{port}", exp.dem, truth=exp.truth, window=(5, 5), cycle_us=25) as monitor, \
            browser.Browser(browser.find(), width=1400, height=1250) as chromium:
        chromium.open(monitor.url)
        time.sleep(4.5)
        chromium.wait_for("Number(document.body.dataset.updates) >= 2")
        png = chromium.screenshot()
try:  # 256 colours are plenty for flat colours and text, at a third of the size
    import io

    from PIL import Image

    out = io.BytesIO()
    Image.open(io.BytesIO(png)).convert("RGB").quantize(256).save(out, "PNG", optimize=True)
    png = out.getvalue()
except ImportError:
    pass
with open(OUT, "wb") as f:
    f.write(png)
print(f"wrote {OUT}")
