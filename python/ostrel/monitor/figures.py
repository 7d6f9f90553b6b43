"""The monitor's figures, accumulated batch by batch from a decoding stream.

Every count is kept per cell of the frame layout (round within a shot x ancilla column), so a
batch costs a few NumPy passes over its fired cells whatever its size, and the per-detector,
per-position and per-round fractions are derived from those counts when a snapshot is taken.
"""

from __future__ import annotations

import collections
import time
from typing import Any, Sequence

import numpy as np

from ostrel.monitor.rates import logical_figures
from ostrel.monitor.reference import Reference

HISTORY_POINTS = 1200  # ten minutes of history at two points a second
ERRORS_KEPT = 50


def _fractions(fired: np.ndarray, exposure: np.ndarray) -> list[float | None]:
    """fired / exposure element by element, None where nothing was exposed (JSON has no NaN)."""
    out: list[float | None] = [None] * len(fired)
    seen = np.flatnonzero(exposure)
    for i, value in zip(seen.tolist(), (fired[seen] / exposure[seen]).tolist()):
        out[i] = value
    return out


def _positions(layout: np.ndarray, coordinates: Sequence[Any] | None) -> tuple[np.ndarray, list, list]:
    """Each detector's position on the chip (an index into the returned x and y lists; -1 for a
    detector outside the layout): its coordinates without the last one (its round), or, when a
    detector of the layout has no such coordinates, its ancilla column."""
    detectors = int(layout.max(initial=-1)) + 1
    if coordinates is not None:
        detectors = max(detectors, len(coordinates))
    position = np.full(detectors, -1, dtype=np.int64)
    rows, cols = np.nonzero(layout >= 0)
    cells = layout[rows, cols]
    spatial: list[tuple[float, float]] | None = None
    if coordinates is not None:
        spatial = []
        for d in cells.tolist():
            c = coordinates[d] if d < len(coordinates) else None
            if c is None or len(c) < 2:
                spatial = None
                break
            spatial.append((c[0], c[1] if len(c) > 2 else 0.0))
    if spatial is None:
        spatial = [(float(c), 0.0) for c in cols.tolist()]
    index: dict[tuple[float, float], int] = {}
    for d, key in zip(cells.tolist(), spatial):
        position[d] = index.setdefault(key, len(index))
    xs = [k[0] for k in index]
    ys = [k[1] for k in index]
    return position, xs, ys


class Figures:
    """Counts of one stream. `layout` maps (round within a shot, ancilla column) to a detector
    index or -1; a shot ends with its last round. `truth` holds the shots' true observable
    masks when known; `decoded` says whether the frames' masks are predictions; `reference`
    (decoder, name) decodes the shots again (see Reference)."""

    def __init__(self, layout: np.ndarray, *, coordinates: Sequence[Any] | None = None,
                 truth: Sequence[int] | None = None, observables: int = 0, decoded: bool = True,
                 rounds_from_frames: bool = True, recent: int = 1000, cycle_us: float | None = None,
                 reference: tuple[Any, str] | None = None, clock: Any = time.monotonic) -> None:
        self.clock = clock
        self.layout = np.asarray(layout, dtype=np.int64)
        self.R, self.A = self.layout.shape
        self.rounds_from_frames = rounds_from_frames  # else a frame's round is its place in the shot
        valid = self.layout >= 0
        self.valid_flat = valid.ravel()
        self.valid_per_round = valid.sum(axis=1)
        self.cell_detector = self.layout.ravel()[self.valid_flat]
        self.cell_round = np.repeat(np.arange(self.R), self.A)[self.valid_flat]
        self.position, self.xs, self.ys = _positions(self.layout, coordinates)
        self.detectors = len(self.position)
        self.fired = np.zeros(self.R * self.A, dtype=np.int64)
        self.exposure = np.zeros(self.R, dtype=np.int64)
        self.recent = max(1, recent)
        self.ring_events = np.zeros((self.recent, self.A), dtype=np.uint8)
        self.ring_rounds = np.full(self.recent, -1, dtype=np.int64)
        self.ring_at = 0
        self._rounds: np.ndarray | None = None
        self.truth = None if truth is None else np.asarray(truth, dtype=np.uint64)
        self.observables = observables
        self.decoded = decoded
        # Another decoder on the same shots (with the truth only: its rate is all it gives).
        self.reference = None if reference is None or self.truth is None else Reference(
            reference[0], reference[1], self.layout, self.detectors, self.truth)
        self.cycle_us = cycle_us
        self.frames = 0
        self.shots = 0
        self.compared = 0
        self.failures = 0
        self.wrong = np.zeros(max(observables, 1), dtype=np.int64)
        self.backlog = 0
        self.start = clock()
        self.first_frame: float | None = None
        self.last_frame: float | None = None
        self.errors: collections.deque = collections.deque(maxlen=ERRORS_KEPT)
        self.error_count = 0
        self.state = "starting"
        self.latency: dict | None = None
        self.history: collections.deque = collections.deque(maxlen=HISTORY_POINTS)
        self._last_tick = (self.start, 0, 0, 0)
        self._told: set[str] = set()

    # -- input -------------------------------------------------------------------------------

    def begin(self) -> None:
        """Times start from now (the reading's start)."""
        self.start = self.clock()
        self._last_tick = (self.start, 0, 0, 0)

    def error(self, message: str, once: str | None = None) -> None:
        """Records a problem of the stream (`once`: a key under which it is told only once)."""
        if once is not None:
            if once in self._told:
                return
            self._told.add(once)
        self.error_count += 1
        self.errors.append({"t": round(self.clock() - self.start, 3), "frame": self.frames, "message": message})

    def add(self, batch: Any, began: float | None = None) -> None:
        """Counts one FrameBatch of the stream, read by a call that began at `began`."""
        n = len(batch)
        if n == 0:
            return
        now = self.clock()
        if self.first_frame is None:  # rates count from the read that brought the first frame
            self.first_frame = now if began is None else began
        self.last_frame = now
        self.backlog = n
        events = batch.detector_events
        if events.shape[1] != self.A:
            self.error(f"frames of {events.shape[1]} ancillas where the layout has {self.A}: their "
                       "detection events are left out", once=f"ancillas {events.shape[1]}")
            self.frames += n
            return
        events = events.view(np.uint8)
        if self.rounds_from_frames:
            r0 = int(batch.round[0])
            in_order = r0 < self.R and bool((batch.round == self._cycle(r0, n)).all())
        else:
            r0, in_order = self.frames % self.R, True
        if in_order:
            self._count_in_order(events, r0)
            ends = np.arange((self.R - 1 - r0) % self.R, n, self.R)
            self._remember(events, self._cycle(r0, n))
            if self.reference is not None:
                self.reference.add(events, r0, self.shots, len(ends))
        else:
            rounds = batch.round.astype(np.int64)
            inside = rounds < self.R
            if not inside.all():
                self.error(f"frames of rounds beyond the model's {self.R} (first: round "
                           f"{int(rounds[~inside][0])}): their detection events are left out", once="rounds")
                rounds = np.where(inside, rounds, -1)
            self._count_cells(events, rounds)
            ends = np.flatnonzero(rounds == self.R - 1)
            self._remember(events, rounds)
            if self.reference is not None:
                self.reference.reset()
        if self.decoded and self.truth is not None and len(ends):
            self._compare(batch.observable_flips[ends])
        self.shots += len(ends)
        self.frames += n

    def _cycle(self, r0: int, n: int) -> np.ndarray:
        """The rounds of n frames in order from round r0: r0, r0 + 1, ... modulo R."""
        if self._rounds is None or len(self._rounds) < r0 + n:
            self._rounds = np.arange(max(r0 + n, 2 * self.R + 8192), dtype=np.uint32) % np.uint32(self.R)
        return self._rounds[r0:r0 + n]

    def _count_in_order(self, events: np.ndarray, r0: int) -> None:
        """Counts frames whose rounds run r0, r0 + 1, ... (modulo R): the frames before the first
        whole shot and after the last add to cells that lie side by side, whole shots are
        summed shot-wise."""
        n, R, A = len(events), self.R, self.A
        head = min(n, (R - r0) % R)
        if head:
            self.fired[r0 * A:(r0 + head) * A] += events[:head].reshape(-1)
            self.exposure[r0:r0 + head] += 1
        whole = (n - head) // R
        end = head + whole * R
        if whole:
            # A sum of at most 255 rows of 0/1 bytes fits a byte, and NumPy adds byte rows without
            # casting, fastest when they are long: m shots side by side make one row.
            m = -(-whole // 255)
            rows = whole // m
            shots = events[head:head + rows * m * R].reshape(rows, m * R * A)
            self.fired += shots.sum(axis=0, dtype=np.uint8).reshape(m, R * A).sum(axis=0, dtype=np.int64)
            rest = events[head + rows * m * R:end]
            if len(rest):
                self.fired += rest.reshape(-1, R * A).sum(axis=0, dtype=np.int64)
            self.exposure += whole
        if end < n:
            self.fired[:(n - end) * A] += events[end:].reshape(-1)
            self.exposure[:n - end] += 1

    def _count_cells(self, events: np.ndarray, rounds: np.ndarray) -> None:
        if not len(rounds):
            return
        kept = rounds >= 0
        if not kept.all():
            events, rounds = events[kept], rounds[kept]
        rows, cols = np.nonzero(events)
        self.fired += np.bincount(rounds[rows] * self.A + cols, minlength=self.fired.size)
        self.exposure += np.bincount(rounds, minlength=self.R)

    def _remember(self, events: np.ndarray, rounds: np.ndarray) -> None:
        """Keeps the last `recent` frames for the second heatmap."""
        n = len(rounds)
        k = min(n, self.recent)
        at = self.ring_at
        first = min(k, self.recent - at)
        self.ring_events[at:at + first] = events[n - k:n - k + first]
        self.ring_rounds[at:at + first] = rounds[n - k:n - k + first]
        if first < k:
            self.ring_events[:k - first] = events[n - k + first:]
            self.ring_rounds[:k - first] = rounds[n - k + first:]
        self.ring_at = (at + k) % self.recent

    def _compare(self, predicted: np.ndarray) -> None:
        assert self.truth is not None
        available = max(0, min(len(predicted), len(self.truth) - self.shots))
        if available < len(predicted):
            self.error(f"the stream has more shots than the truth file ({len(self.truth):,}): the "
                       "later ones are not compared", once="truth")
        if not available:
            return
        flips = predicted[:available] ^ self.truth[self.shots:self.shots + available]
        self.compared += available
        self.failures += int(np.count_nonzero(flips))
        for k in range(self.observables):
            self.wrong[k] += int(np.count_nonzero((flips >> np.uint64(k)) & np.uint64(1)))

    def tick(self, latency: dict | None = None) -> None:
        """Adds a point to the history (the rates since the last point), from the first frame on."""
        now = self.clock()
        if latency is not None:
            self.latency = latency
        if self.first_frame is None:
            self._last_tick = (now, 0, 0, 0)
            return
        then, frames, fired, seen = self._last_tick
        dt = now - then
        valid_fired, valid_seen = self._valid_counts()
        self._last_tick = (now, self.frames, valid_fired, valid_seen)
        logical = self._logical()
        lat = self.latency or {}
        self.history.append((
            round(now - self.start, 3), self.frames, self.shots,
            (self.frames - frames) / dt if dt > 0 else 0.0,
            (valid_fired - fired) / (valid_seen - seen) if valid_seen > seen else None,
            logical["rate"] if logical else None, logical["low"] if logical else None,
            logical["high"] if logical else None,
            *(lat.get(kind, {}).get(p) for kind in ("commit", "shot") for p in ("p50", "p99")),
            self.backlog, logical["reference"]["rate"] if logical and logical["reference"] else None))

    # -- output ------------------------------------------------------------------------------

    def _valid_counts(self) -> tuple[int, int]:
        """Events seen on cells that are detectors, and such cells seen."""
        return int(self.fired[self.valid_flat].sum()), int((self.exposure * self.valid_per_round).sum())

    def _logical(self) -> dict | None:
        if self.truth is None or not self.decoded:
            return None
        figures = logical_figures(self.failures, self.compared, self.R)
        figures["mean_logical_error_rate"] = (
            float(self.wrong[:self.observables].mean() / self.compared) if self.compared and self.observables else None)
        ref = self.reference
        figures["reference"] = None if ref is None else {
            "name": ref.name, **logical_figures(ref.failures, ref.compared, self.R)}
        return figures

    def _per_detector(self, fired: np.ndarray, exposure: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        det_fired = np.zeros(self.detectors, dtype=np.int64)
        det_exposure = np.zeros(self.detectors, dtype=np.int64)
        det_fired[self.cell_detector] = fired[self.valid_flat]
        det_exposure[self.cell_detector] = exposure[self.cell_round]
        return det_fired, det_exposure

    def _by_position(self, det_fired: np.ndarray, det_exposure: np.ndarray) -> list[float | None]:
        placed = self.position >= 0
        n = len(self.xs)
        fired = np.bincount(self.position[placed], weights=det_fired[placed], minlength=n)
        exposure = np.bincount(self.position[placed], weights=det_exposure[placed], minlength=n)
        return _fractions(fired, exposure)

    def snapshot(self) -> dict:
        """Every figure as plain JSON-ready values."""
        now = self.clock()
        det_fired, det_exposure = self._per_detector(self.fired, self.exposure)
        kept = self.ring_rounds >= 0
        rows, cols = np.nonzero(self.ring_events[kept])
        recent_rounds = self.ring_rounds[kept]
        recent_fired = np.bincount(recent_rounds[rows] * self.A + cols, minlength=self.fired.size)
        recent_exposure = np.bincount(recent_rounds, minlength=self.R)
        rec_fired, rec_exposure = self._per_detector(recent_fired, recent_exposure)
        per_round_fired = (self.fired * self.valid_flat).reshape(self.R, self.A).sum(axis=1)
        valid_fired, valid_seen = self._valid_counts()
        span = self.last_frame - self.first_frame if self.first_frame is not None and self.last_frame is not None else 0.0
        rate = self.frames / span if span > 0 else 0.0
        history: list[Any] = list(zip(*self.history)) or [()] * 14
        names = ("t", "frames", "shots", "frames_per_second", "detection_fraction", "logical_error_rate",
                 "logical_low", "logical_high", "commit_p50_us", "commit_p99_us", "shot_p50_us",
                 "shot_p99_us", "backlog", "reference_logical_error_rate")
        return {
            "state": self.state,
            "elapsed_s": now - self.start,
            "frames": self.frames,
            "shots": self.shots,
            "rounds_per_shot": self.R,
            "ancillas": self.A,
            "frames_per_second": rate,
            "rounds_per_second": rate,  # every frame is one round
            "current_frames_per_second": self.history[-1][3] if self.history else 0.0,
            "cycle_us": self.cycle_us,
            "required_rounds_per_second": 1e6 / self.cycle_us if self.cycle_us else None,
            "backlog_frames": self.backlog,
            "latency_us": self.latency,
            "detection_fraction": valid_fired / valid_seen if valid_seen else None,
            "detectors": {"fraction": _fractions(det_fired, det_exposure),
                          "recent_fraction": _fractions(rec_fired, rec_exposure),
                          "recent_frames": int(kept.sum())},
            "positions": {"x": self.xs, "y": self.ys,
                          "fraction": self._by_position(det_fired, det_exposure),
                          "recent_fraction": self._by_position(rec_fired, rec_exposure)},
            "rounds": {"fraction": _fractions(per_round_fired, self.exposure * self.valid_per_round)},
            "logical": self._logical(),
            "errors": list(self.errors),
            "error_count": self.error_count,
            "history": {name: list(values) for name, values in zip(names, history)},
        }
