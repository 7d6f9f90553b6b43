"""Many QSSF files as Dask collections (optional dependency: ``pip install ostrel[dask]``).

``read_qssf(paths_or_glob)`` gives a Dask array of detector events (frames x ancillas) and a Dask
DataFrame of frame metadata, one partition per file: each file is read by one task with the batch
path, so a task holds one file's arrays. With ``decoder`` every file is decoded as
``ostrel.read(path, decoder)`` decodes it (each file is its own stream, so its window starts
empty); the decoder is built once per worker process and kept there. The same code runs on a
laptop's threads or on a cluster: create a ``distributed.Client`` first and Dask uses it.
"""

from __future__ import annotations

import functools
import glob
import os
from typing import Any, NamedTuple, Sequence

import numpy as np

_COLUMNS = ("frame_id", "round", "timestamp_ns", "qubit_count", "ancilla_count", "detector_event_count",
            "code_type", "distance", "flags")


class QssfDataset(NamedTuple):
    events: Any   # dask.array.Array, frames x ancillas (bool, or uint8 when bit-packed)
    frames: Any   # dask.dataframe.DataFrame, one row per frame
    paths: list[str]

    def compute(self, **kwargs: Any) -> tuple[np.ndarray, Any]:
        """Events and frames together, each file read once: ``(ndarray, pandas.DataFrame)``.

        ``dask.compute(events, frames)`` does the same but warns, as Dask does for any array
        computed with a DataFrame (the two are built differently); the frame table here is a plain
        concatenation with nothing to optimise, so nothing is lost by building it first.
        """
        import dask
        import pandas as pd

        # As delayed objects, the frame partitions share the events' per-file read tasks.
        events, *tables = dask.compute(self.events, *self.frames.to_delayed(), **kwargs)
        return events, pd.concat(tables)


def _paths(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        text = os.fspath(paths_or_glob)
        paths = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
    else:
        paths = [os.fspath(p) for p in paths_or_glob]
    if not paths:
        raise ValueError(f"no QSSF files match {paths_or_glob!r}")
    return paths


@functools.lru_cache(maxsize=8)
def _worker_decoder(decoder: str, method: str | None = None) -> Any:
    """The decoder a decoder argument names, built once per worker process: its graph is shared by
    every file the worker reads, each file's stream decoding on scratch space of its own."""
    from _ostrel import Decoder
    from ostrel.best import BEST_METHOD

    if os.path.exists(decoder):
        with open(decoder, encoding="utf-8") as f:
            decoder = f.read()
    # Without a method, the decoder ostrel.read builds for a model, so a partition decodes as
    # ostrel.read does.
    return Decoder(decoder, method=method or BEST_METHOD)


def _read_file(path: str, decoder: str | None, window_depth: int, bit_packed: bool,
               method: str | None = None) -> dict[str, np.ndarray]:
    """One file's columns; a malformed frame raises OSError naming the file and the frame."""
    import ostrel

    size = os.path.getsize(path)
    bound = max(1, (size - 26) // 38 + 1)
    model = _worker_decoder(decoder, method) if decoder is not None else None
    batches = []
    read = 0
    with ostrel.open(path, model, window_depth) as stream:
        stream._treat_end_as_final()  # a cut tail is an error, not frames still to come
        while True:
            try:
                batch = stream.read_batch(bound, bit_packed=bit_packed)
            except OSError as e:
                # A truncation names its frame itself.
                last = f" (after frame id {int(batches[-1].frame_id[-1])})" if read else ""
                where = "" if str(e).startswith("truncated") else f"frame {read}{last}: "
                raise OSError(f"{path}: {where}{e}") from None
            if not len(batch):
                break
            if batches and batch.ancilla_count[0] != batches[0].ancilla_count[0]:
                raise ValueError(f"{path}: frame {read} has {int(batch.ancilla_count[0])} ancillas where the "
                                 f"file's first frames have {int(batches[0].ancilla_count[0])}")
            batches.append(batch)
            read += len(batch)
    names = _COLUMNS + ("observable_flips", "has_observable_flips", "detector_events")
    if not batches:
        return {}
    return {n: np.concatenate([getattr(b, n) for b in batches]) for n in names}


def _frame_table(columns: dict[str, np.ndarray], path: str) -> Any:
    import pandas as pd

    table = {n: columns[n] for n in _COLUMNS}
    table["observable_flips"] = pd.arrays.IntegerArray(columns["observable_flips"],
                                                       ~columns["has_observable_flips"])
    frame = pd.DataFrame(table)
    frame["file"] = path
    return frame


def _empty_columns(ancillas: int) -> dict[str, np.ndarray]:
    dtypes = {"frame_id": np.uint64, "round": np.uint32, "timestamp_ns": np.uint64, "qubit_count": np.uint16,
              "ancilla_count": np.uint16, "detector_event_count": np.uint32, "code_type": np.uint8,
              "distance": np.uint8, "flags": np.uint16, "observable_flips": np.uint64,
              "has_observable_flips": np.bool_}
    columns = {n: np.zeros(0, t) for n, t in dtypes.items()}
    columns["detector_events"] = np.zeros((0, ancillas), np.bool_)
    return columns


def _events(columns: dict[str, np.ndarray], ancillas: int, dtype: Any) -> np.ndarray:
    return columns["detector_events"] if columns else np.zeros((0, ancillas), dtype)


def _table(columns: dict[str, np.ndarray], path: str, ancillas: int) -> Any:
    return _frame_table(columns or _empty_columns(ancillas), path)


def read_qssf(paths_or_glob: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], *,
              decoder: str | os.PathLike[str] | Any = None, window_depth: int = 0,
              bit_packed: bool = False, method: str | None = None) -> QssfDataset:
    """Detector events and frame metadata of many QSSF files, one Dask partition per file.

    Every file must have the same ancilla count (read from the first file's first frame).
    ``decoder`` is a DEM file path, DEM text or a ``stim.DetectorErrorModel``; ``method`` names
    the ``ostrel.Decoder`` method that decodes it ("matching", "weighted-union-find", ...).
    """
    import dask
    import dask.array as da
    import dask.dataframe as dd

    import ostrel

    paths = _paths(paths_or_glob)
    with ostrel.open(paths[0]) as stream:
        stream._treat_end_as_final()
        try:
            first = stream.read_batch(1)
        except OSError as e:
            raise OSError(f"{paths[0]}: {e}") from None
    ancillas = int(first.ancilla_count[0]) if len(first) else 0
    width = (ancillas + 7) // 8 if bit_packed else ancillas
    dtype = np.uint8 if bit_packed else np.bool_
    model = None
    if decoder is not None:
        model = os.fspath(decoder) if isinstance(decoder, os.PathLike) else str(decoder)
    if method is not None:
        ostrel.Decoder("error(0.1) D0", method=method)  # an unknown name fails here, not in a worker
    reads = [dask.delayed(_read_file, pure=True)(p, model, window_depth, bit_packed, method) for p in paths]
    events = da.concatenate([
        da.from_delayed(dask.delayed(_events, pure=True)(r, width, dtype), shape=(np.nan, width), dtype=dtype)
        for r in reads])
    meta = _frame_table(_empty_columns(width), "")
    frames = dd.from_delayed([dask.delayed(_table, pure=True)(r, p, width) for r, p in zip(reads, paths)],
                             meta=meta, verify_meta=False)
    return QssfDataset(events, frames, paths)
