"""Watch a stream as it is decoded: a live web page of its figures, the same figures as JSON.

``Monitor(stream, dem)`` reads and decodes the stream in a background thread (as ``ostrel
decode`` does) and serves a page on 127.0.0.1 that updates at least twice a second: the detection
fraction of every stabiliser over the chip, against the round within a shot and against time,
rounds per second against the cycle time, the sliding window's latency, the backlog, the logical
error rate per shot and per round with its 95 % interval (given the true masks), and the stream's
errors as they happen. ``snapshot()`` returns the figures; ``/stats`` serves them as JSON. ::

    with ostrel.Monitor("tcp://127.0.0.1:9000", "model.dem", truth="truth.txt") as monitor:
        print(monitor.url)
        monitor.wait()
        print(monitor.snapshot()["logical"])
"""

from __future__ import annotations

import copy
import html
import os
import threading
from typing import Any, Sequence

import _ostrel

from ostrel.monitor.figures import Figures
from ostrel.monitor.page import self_contained
from ostrel.monitor.reader import Plan, Reader
from ostrel.monitor.server import Hub, Server

__all__ = ["Monitor", "Plan"]


class Monitor:
    """Decodes `stream` (a path, ``tcp://...`` or an open ``OstrelStream``) with the
    model `dem` (a path, DEM text or a DetectorErrorModel; None: count detection events only) and
    serves its figures.

    `truth`: the shots' true observable masks (a list or a truth file's path). `window`
    (commit, buffer): decode rounds with that sliding window; `window_depth`: frames per shot for
    models whose frames are blocks of detectors (0: inferred). `cycle_us`: the device's cycle
    time, drawn against the rates and latencies. `recent`: how many of the latest rounds the
    second heatmap covers. `port`: 0 picks a free one. The page is served on 127.0.0.1 only.
    `reference`: another decoder (anything with pymatching's ``decode_batch``, such as
    ``pymatching.Matching.from_detector_error_model_file(path)``) that decodes the same shots, as
    they complete, for its logical error rate beside the stream's (needs `truth`).

    As a context manager, the server and the reading start on entry and stop on exit; ``start``
    and ``close`` do the same by hand, and ``run`` reads in the calling thread instead.
    """

    def __init__(self, stream: Any, dem: Any = None, *, truth: Sequence[int] | str | os.PathLike | None = None,
                 method: str = _ostrel.DEFAULT_METHOD, window: tuple[int, int] | None = None,
                 window_depth: int = 0, cycle_us: float | None = None, recent: int = 1000,
                 port: int = 0, reference: Any = None, reference_name: str = "pymatching") -> None:
        if isinstance(truth, (str, os.PathLike)):
            from ostrel.synth import read_truth

            truth = read_truth(os.fspath(truth))
        if cycle_us is not None and not cycle_us > 0:
            raise ValueError(f"cycle_us must be positive, got {cycle_us}")
        self.plan = Plan(dem, method=method, window=window, window_depth=window_depth)
        self.source = stream if isinstance(stream, (str, os.PathLike)) else type(stream).__name__
        self.port = port
        self.hub = Hub()
        self.reader = Reader(stream, self.plan, self._publish, truth=None if truth is None else list(truth),
                             recent=recent, cycle_us=cycle_us,
                             reference=None if reference is None else (reference, reference_name))
        self.server: Server | None = None
        self.thread: threading.Thread | None = None
        self.final: Figures | None = None
        self._publish(self.reader.figures)

    def _publish(self, figures: Figures) -> None:
        snapshot = figures.snapshot()
        snapshot.update(source=os.fspath(self.source), url=self.url, **self.plan.describe())
        self.hub.publish(snapshot)

    @property
    def url(self) -> str | None:
        """The page's address once served."""
        return self.server.url if self.server is not None else None

    def serve(self) -> str:
        """Starts the web server (once); returns the page's address."""
        if self.server is None:
            self.server = Server(self.hub, self.port)
            self.hub.publish({**self.hub.figures, "url": self.server.url})
        return self.server.url

    def run(self) -> Figures:
        """Reads the stream to its end in the calling thread; returns the final figures."""
        self.final = self.reader.run()
        return self.final

    def start(self) -> "Monitor":
        """Serves the page and reads the stream in a background thread."""
        self.serve()
        if self.thread is None:
            self.thread = threading.Thread(target=self.run, name="ostrel-monitor-reader", daemon=True)
            self.thread.start()
        return self

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until the stream has ended (True) or `timeout` seconds have passed (False)."""
        if self.thread is None:
            return self.final is not None
        self.thread.join(timeout)
        return not self.thread.is_alive()

    def snapshot(self) -> dict[str, Any]:
        """The latest figures (what ``/stats`` serves), as a new dict."""
        with self.hub.changed:
            return copy.deepcopy(self.hub.figures)

    def page(self) -> str:
        """The page as one self-contained HTML file carrying the latest figures."""
        return self_contained(self.snapshot())

    def close(self) -> None:
        """Stops reading and serving."""
        self.reader.stop()
        if self.thread is not None:
            self.thread.join()
        if self.server is not None:
            self.server.close()

    def __enter__(self) -> "Monitor":
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _repr_html_(self) -> str:  # in a notebook: the live page itself
        if self.url is None:
            return "<p>ostrel.Monitor: not started (use start() or a with block)</p>"
        return f'<iframe src="{html.escape(self.url)}" width="100%" height="900" style="border:0"></iframe>'
