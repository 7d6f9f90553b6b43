"""QSSF files to and from Stim's detection-event files (formats ``01``, ``b8``, ``r8``, ``ptb64``).

Stim reads and writes its own formats here (``stim.read_shot_data_file`` and
``stim.write_shot_data_file``); this module only lays shots out as frames. A shot of ``detectors``
detection events becomes ``frames_per_shot`` consecutive frames of ``detectors / frames_per_shot``
ancillas each, with rounds 0, 1, ... within the shot and frame ids counting from 0; reading back
concatenates those frames again. Only detection events travel: observables, measurement results
and the other frame fields are not part of a detection-event file.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np

from ostrel.atomic import replacing

STIM_FORMATS = ("01", "b8", "r8", "ptb64")


def format_of(path: str | os.PathLike[str], given: str | None = None) -> str:
    """``given`` if set, else the file's suffix: ``.qssf`` or one of Stim's format names."""
    if given is not None:
        if given != "qssf" and given not in STIM_FORMATS:
            raise ValueError(f"unknown format {given!r}: expected qssf or one of {', '.join(STIM_FORMATS)}")
        return given
    suffix = os.path.splitext(os.fspath(path))[1].lstrip(".").lower()
    if suffix == "qssf" or suffix in STIM_FORMATS:
        return suffix
    raise ValueError(f"cannot tell the format of {os.fspath(path)} from its suffix: "
                     f"name it .qssf, .{', .'.join(STIM_FORMATS)} or give the format")


def _layout(detectors: int, frames_per_shot: int) -> int:
    if detectors < 1 or frames_per_shot < 1:
        raise ValueError("detectors and frames_per_shot must be at least 1")
    if detectors % frames_per_shot:
        raise ValueError(f"{detectors} detectors do not split into {frames_per_shot} frames per shot")
    per_frame = detectors // frames_per_shot
    if per_frame > 0xFFFF:
        raise ValueError(f"{per_frame} detectors per frame do not fit a frame (at most 65535)")
    return per_frame


def _check_stim_size(path: str, fmt: str, detectors: int) -> None:
    """The whole-record formats' sizes must be a multiple of one record."""
    size = os.path.getsize(path)
    record = {"b8": (detectors + 7) // 8, "ptb64": detectors * 8}.get(fmt)
    if record and size % record:
        raise ValueError(f"{path} holds {size} bytes, which is not a whole number of {fmt} records "
                         f"for {detectors} detectors ({record} bytes each)")
    if fmt == "b8" and detectors % 8 and size:
        # The bits after the last detector of each record are zero in a file of this many
        # detectors; set ones mean the records are longer or shorter than this count says.
        records = np.fromfile(path, dtype=np.uint8).reshape(-1, record)
        padding = records[:, -1] >> (detectors % 8)
        if padding.any():
            shot = int(np.flatnonzero(padding)[0])
            raise ValueError(f"{path} does not hold b8 records of {detectors} detectors: shot {shot} "
                             f"sets padding bits after detector {detectors - 1} (is the detector count right?)")


def read_stim_shots(path: str | os.PathLike[str], fmt: str, detectors: int) -> np.ndarray:
    """A shots x detectors bool array read by Stim."""
    import stim

    path = os.fspath(path)
    _check_stim_size(path, fmt, detectors)
    try:
        return stim.read_shot_data_file(path=path, format=fmt, num_detectors=detectors)
    except ValueError as e:  # Stim's own check of a record against the count
        raise ValueError(f"{path} does not fit {detectors} detectors per shot in format {fmt}: {e}") from None


def qssf_to_shots(src: str | os.PathLike[str], *, detectors: int, frames_per_shot: int = 1) -> np.ndarray:
    """The detection events of a QSSF file as a shots x detectors bool array."""
    import ostrel

    per_frame = _layout(detectors, frames_per_shot)
    batch = ostrel.read(src)
    frames = len(batch)
    if frames and int(batch.ancilla_count[0]) != per_frame:
        raise ValueError(f"{os.fspath(src)} has frames of {int(batch.ancilla_count[0])} ancillas, but "
                         f"{detectors} detectors in {frames_per_shot} frames per shot need {per_frame}")
    if frames % frames_per_shot:
        raise ValueError(f"{os.fspath(src)} holds {frames} frames, not a whole number of shots of "
                         f"{frames_per_shot} frames")
    return batch.detector_events.reshape(frames // frames_per_shot, detectors)


def shots_to_qssf(shots: Any, dst: str | os.PathLike[str], *, frames_per_shot: int = 1,
                  payload_checksum: bool = False) -> int:
    """Writes a shots x detectors array of detection events as QSSF (with `payload_checksum`, each
    frame carrying the CRC-32C of its payload); returns the frame count."""
    from ostrel import qssf

    shots = np.asarray(shots, dtype=np.bool_)
    if shots.ndim != 2:
        raise ValueError(f"expected a 2-D array of shots x detectors, got {shots.ndim} dimensions")
    per_frame = _layout(shots.shape[1], frames_per_shot) if shots.shape[1] else 0
    rows = shots.reshape(-1, per_frame) if per_frame else shots
    with qssf.QssfWriter(dst, payload_checksum=payload_checksum) as w:
        return w.write_frames_fast(rows, ancilla_count=per_frame,
                                   frame_ids=range(len(rows)),
                                   rounds=np.tile(np.arange(frames_per_shot), len(shots)).tolist())


def convert(src: str | os.PathLike[str], dst: str | os.PathLike[str], *, detectors: int,
            frames_per_shot: int = 1, in_format: str | None = None, out_format: str | None = None,
            payload_checksum: bool = False) -> int:
    """Converts between QSSF and a Stim detection-event file, either way (or Stim to Stim).

    Formats come from the suffixes (``.qssf``, ``.01``, ``.b8``, ``.r8``, ``.ptb64``) unless given.
    Returns the number of shots.
    """
    import stim

    fin, fout = format_of(src, in_format), format_of(dst, out_format)
    if fin == "qssf" and fout == "qssf":
        raise ValueError("both files are QSSF: nothing to convert")
    _layout(detectors, frames_per_shot)
    # The output is written beside its place and renamed there once complete: a failed conversion
    # leaves the file it was to replace as it was.
    with replacing(dst) as partial:
        if fin == "qssf":
            shots = qssf_to_shots(src, detectors=detectors, frames_per_shot=frames_per_shot)
        else:
            shots = read_stim_shots(src, fin, detectors)
        if fout == "qssf":
            shots_to_qssf(shots, partial, frames_per_shot=frames_per_shot, payload_checksum=payload_checksum)
        else:
            stim.write_shot_data_file(data=shots, path=partial, format=fout, num_detectors=detectors)
    return len(shots)
