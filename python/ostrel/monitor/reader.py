"""The monitor's reading loop: the stream decoded as ``ostrel decode`` decodes it, read in
batches of the frames at hand so that counting them costs a few NumPy passes per batch."""

from __future__ import annotations

import os
import threading
import time
from typing import Any, Callable

import numpy as np

import _ostrel
from ostrel.monitor.figures import Figures
from ostrel.rounds import rounds_layout

BATCH = 16384  # at most this many frames per read: a read returns the frames at hand
TICK_S = 0.25  # figures are published at least this often while frames arrive
WAIT_S = 0.25  # a read waits this long for a frame before the figures are published anyway
STUCK_AFTER = 1000  # consecutive failed reads that end the reading


class Plan:
    """How a stream is decoded: the model, its decoder and the layout of its frames. Frames are
    rounds decoded by a sliding window when a window is asked for or the model's rounds are not
    numbered block by block (as for surface codes); else every `window_depth` frames (0: as
    many as the model's detectors fill) make a shot, decoded as a whole."""

    def __init__(self, dem: Any = None, *, method: str = _ostrel.DEFAULT_METHOD,
                 window: tuple[int, int] | None = None, window_depth: int = 0) -> None:
        self.model = None
        self.decoder: Any = None
        self.window_depth = window_depth
        self.rounds = False
        self.layout = None
        self.coordinates = None
        self.method = method
        self.window = window
        if dem is None:
            return
        if isinstance(dem, _ostrel.DetectorErrorModel):
            self.model = dem
        elif isinstance(dem, (str, os.PathLike)) and os.path.exists(dem):
            self.model = _ostrel.DetectorErrorModel.from_file(os.fspath(dem))
        else:
            self.model = _ostrel.DetectorErrorModel.parse(str(dem))
        self.coordinates = self.model.detector_coordinates()
        self.rounds = window is not None or rounds_layout(self.model) is not None
        if self.rounds:
            self.layout = _ostrel.SlidingWindowDecoder.coordinate_layout(self.model)
            commit, buffer = window if window else (self.layout.shape[0], 1)
            self.decoder = _ostrel.SlidingWindowDecoder(self.model, commit, buffer, method=method)
        else:
            self.decoder = _ostrel.Decoder(self.model, method=method)  # type: ignore[arg-type]  # checked there

    def attach(self, stream: Any) -> None:
        if self.decoder is None:
            return
        if self.rounds:
            stream.set_decoder(self.decoder)
        else:
            stream.set_decoder(self.decoder, self.window_depth)

    def frame_layout(self, ancillas: int) -> np.ndarray:
        """The layout for frames of `ancillas` cells: the model's own for rounds, else shots of
        `window_depth` frames whose cells number the detectors in order (one frame of
        columns without a model)."""
        if self.layout is not None:
            return self.layout
        if self.model is None:
            return np.arange(ancillas).reshape(1, ancillas)
        detectors = self.model.detector_count
        depth = self.window_depth or max(1, detectors // max(1, ancillas))
        layout = np.arange(depth * ancillas, dtype=np.int64).reshape(depth, ancillas)
        layout[layout >= detectors] = -1
        return layout

    def latency(self) -> dict | None:
        """The sliding window's latency percentiles (microseconds) since the start."""
        if not self.rounds:
            return None
        return {kind: dict(zip(("p50", "p99"), values)) for kind, values in (
            ("commit", self.decoder.commit_latency_us((50, 99))), ("shot", self.decoder.shot_latency_us((50, 99))))}

    def describe(self) -> dict:
        return {
            "method": self.method if self.decoder is not None else None,
            "window": (f"{self.window[0]},{self.window[1]}" if self.window else "whole shot") if self.rounds else None,
            "window_depth": None if self.rounds or self.model is None else self.window_depth or "inferred",
            "detector_count": self.model.detector_count if self.model is not None else None,
            "observable_count": self.model.observable_count if self.model is not None else None,
        }


class Reader:
    """Reads `source` (a path, ``tcp://...`` or an open OstrelStream) to its end,
    counting into Figures (made at the first frame) and calling `publish` with them at least
    every TICK_S while frames arrive, and once more at the end."""

    def __init__(self, source: Any, plan: Plan, publish: Callable[[Figures], None], *,
                 truth: list[int] | None = None, recent: int = 1000, cycle_us: float | None = None,
                 reference: tuple[Any, str] | None = None) -> None:
        self.source = source
        self.plan = plan
        self.publish = publish
        self.truth = truth
        self.recent = recent
        self.cycle_us = cycle_us
        self.reference = reference
        self.stopping = threading.Event()
        self.started = False  # a frame has arrived
        # Figures to show before the first frame, made again should its shape differ.
        ancillas = 1 if plan.layout is None else plan.layout.shape[1]
        if plan.layout is None and plan.model is not None and plan.window_depth:
            ancillas = max(1, plan.model.detector_count // plan.window_depth)
        self.figures = self._figures_for(ancillas)

    def _figures_for(self, ancillas: int) -> Figures:
        model = self.plan.model
        return Figures(self.plan.frame_layout(ancillas), coordinates=self.plan.coordinates,
                       truth=self.truth, observables=model.observable_count if model is not None else 0,
                       decoded=self.plan.decoder is not None, rounds_from_frames=self.plan.rounds,
                       recent=self.recent, cycle_us=self.cycle_us, reference=self.reference)

    def run(self) -> Figures:
        """Reads to the end of the stream (or until stop()); returns the final figures."""
        figures = self.figures
        figures.begin()
        figures.state = "connecting"
        self.publish(figures)
        try:
            stream = self.source if isinstance(self.source, _ostrel.OstrelStream) else _ostrel.OstrelStream(
                os.fspath(self.source))
        except (OSError, ValueError) as e:
            figures.error(f"{self.source}: {e}")
            figures.state = "failed"
            self.publish(figures)
            return figures
        own = stream is not self.source
        saved_timeout = stream.timeout
        try:
            self.plan.attach(stream)
            stream.timeout = WAIT_S
            return self._read(stream)
        finally:
            if own:
                stream.close()
            else:
                stream.timeout = saved_timeout

    def _read(self, stream: Any) -> Figures:
        figures = self.figures
        figures.state = "running"
        last = time.monotonic()
        failures = 0
        last_failure = None
        try:
            while not self.stopping.is_set():
                began = time.monotonic()
                try:
                    batch = stream.read_batch(BATCH)
                except TimeoutError:
                    batch = None
                except (OSError, ValueError, RuntimeError) as e:
                    # A failure the next read raises again (a frame whose length cannot be
                    # trusted) ends the stream; others are told and reading goes on.
                    if str(e) == last_failure:
                        figures.state = "broken"
                        break
                    failures += 1
                    last_failure = str(e)
                    figures.error(last_failure)
                    if failures >= STUCK_AFTER:
                        figures.error(f"{failures} reads in a row failed: reading stopped")
                        figures.state = "broken"
                        break
                    continue
                if batch is not None:
                    if not len(batch):
                        break
                    failures = 0
                    last_failure = None
                    if not self.started:
                        figures = self._first_frames(batch.detector_events.shape[1])
                    figures.add(batch, began)
                now = time.monotonic()
                if now - last >= TICK_S:
                    last = now
                    figures.tick(self.plan.latency() if self.started else None)
                    self.publish(figures)
        except KeyboardInterrupt:
            self.stopping.set()
            raise
        finally:
            if self.truth is not None and figures.shots < len(self.truth) and not self.stopping.is_set():
                figures.error(f"the stream holds {figures.shots:,} shots but the truth file {len(self.truth):,}")
            if figures.state != "broken":
                figures.state = "stopped" if self.stopping.is_set() else "ended"
            figures.tick(self.plan.latency() if self.started else None)
            self.publish(figures)
        return figures

    def _first_frames(self, ancillas: int) -> Figures:
        self.started = True
        old = self.figures
        if ancillas != old.A:
            self.figures = self._figures_for(ancillas)
            self.figures.start, self.figures.state, self.figures._last_tick = old.start, old.state, old._last_tick
            self.figures.errors.extend(old.errors)
            self.figures.error_count = old.error_count
        return self.figures

    def stop(self) -> None:
        self.stopping.set()
