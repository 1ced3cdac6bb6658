"""Recordings on disk as the command line sees them: groups of signals read a block at a time.

A recording is one or more groups; a group is an array whose time axis is
read in blocks (a .npy array, a WAV file's frames, one sample rate of an EDF
file) with its metadata as JSON-ready attributes.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _wav

__all__ = ["Signals", "Recording", "UsageError", "read_recording", "write_recording", "OUTPUT_FORMATS"]

OUTPUT_FORMATS = (".npy", ".wav", ".edf", ".bdf")


class UsageError(Exception):
    """What the user asked for cannot be done as asked (a missing extra, a format that cannot hold it)."""


@dataclass
class Signals:
    """One group: an array of ``shape`` and ``dtype`` whose ``time_axis`` ``read(start, stop)`` reads."""

    name: str
    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    time_axis: int
    attrs: dict[str, Any]
    read: Callable[[int, int], npt.NDArray[Any]]

    @property
    def length(self) -> int:
        return self.shape[self.time_axis]


@dataclass
class Recording:
    format: str
    groups: list[Signals]
    attrs: dict[str, Any] = field(default_factory=dict)
    close: Callable[[], None] = lambda: None


def read_recording(path: str, time_axis: int | None = None) -> Recording:
    """The recording in the file at ``path``, told apart by its first bytes."""
    with open(path, "rb") as f:
        magic = f.read(8)
    if magic.startswith(b"\x93NUMPY"):
        return _read_npy(path, time_axis)
    if magic.startswith(b"RIFF"):
        return _read_wav(path)
    if magic in (b"0       ", b"\xffBIOSEMI"):
        from ._edf import read_edf

        return read_edf(path)
    raise ValueError("unreadable format: expected a .npy, WAV, EDF or BDF file")


def _read_npy(path: str, time_axis: int | None) -> Recording:
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except ValueError as exc:
        raise ValueError(f"not a readable .npy file: {exc}") from None
    if array.ndim == 0 or array.size == 0:
        raise ValueError(f"a .npy array of shape {array.shape} holds no signal")
    if time_axis is None:
        # The longest axis is time: recordings have more samples than channels.
        time_axis = int(np.argmax(array.shape))
    elif not -array.ndim <= time_axis < array.ndim:
        raise UsageError(f"--time-axis {time_axis} for an array of {array.ndim} dimensions")
    time_axis %= array.ndim

    def read(start: int, stop: int) -> npt.NDArray[Any]:
        index = [slice(None)] * array.ndim
        index[time_axis] = slice(start, stop)
        return np.asarray(array[tuple(index)])

    signals = Signals("signal", array.shape, array.dtype.newbyteorder("="), time_axis, {}, read)
    return Recording("npy", [signals], {"npy_fortran_order": bool(array.flags.f_contiguous and array.ndim > 1)})


def _read_wav(path: str) -> Recording:
    f = open(path, "rb")  # noqa: SIM115 - kept open for the blocks, closed by the recording
    try:
        layout = _wav.read_layout(f)
    except BaseException:
        f.close()
        raise
    attrs = {"sample_rate": layout.rate, "channels": [f"channel {i}" for i in range(layout.channels)],
             "wav_bits": layout.bits, "wav_float": layout.floating}
    dtype = _wav.stored_dtype(layout.bits, layout.floating)
    if layout.frames == 0:
        f.close()
        raise ValueError("a WAV file of no frames holds no signal")
    signals = Signals("signal", (layout.frames, layout.channels), dtype, 0, attrs,
                      lambda start, stop: _wav.read_frames(f, layout, start, stop))
    return Recording("wav", [signals], {}, f.close)


Stored = tuple[str, dict[str, Any], Callable[[], npt.NDArray[Any]]]


def write_recording(path: str, file_attrs: dict[str, Any], groups: list[Stored]) -> None:
    """Writes stored groups (name, attributes, a call that decodes the samples) to ``path`` in the
    format its extension names."""
    ext = os.path.splitext(path)[1].lower()
    if ext in (".edf", ".bdf"):
        from ._edf import write_edf

        write_edf(path, file_attrs, ((attrs, load()) for _, attrs, load in groups))
        return
    if len(groups) != 1:
        names = ", ".join(name for name, _, _ in groups)
        raise UsageError(f"the store holds {len(groups)} arrays ({names}); a {ext} file holds one: "
                         "name it with --array")
    _, attrs, load = groups[0]
    if ext == ".npy":
        samples = load()
        np.save(path, np.asfortranarray(samples) if file_attrs.get("npy_fortran_order") else samples)
    elif ext == ".wav":
        _write_wav(path, attrs, load())
    else:
        raise UsageError(f"cannot write {path!r}: name a {', '.join(OUTPUT_FORMATS)} file")


def _write_wav(path: str, attrs: dict[str, Any], samples: npt.NDArray[Any]) -> None:
    rate = attrs.get("sample_rate")
    if rate is None or float(rate) != int(rate) or samples.ndim > 2:
        raise UsageError("a WAV file needs a whole sample rate and at most (time, channels); "
                         "this array has neither: write a .npy file")
    if samples.ndim == 1:
        samples = samples[:, None]
    if "wav_bits" in attrs:
        bits, floating = int(attrs["wav_bits"]), bool(attrs["wav_float"])
    else:
        bits, floating = {np.dtype(np.uint8): (8, False), np.dtype(np.int16): (16, False)}.get(
            samples.dtype, (64 if samples.dtype == np.float64 else 32, samples.dtype.kind == "f"))
    with open(path, "wb") as f:
        _wav.write_wav(f, samples, int(rate), bits, floating)


def blocks(signals: Signals, step: int) -> Iterable[tuple[int, int]]:
    """The (start, stop) spans of ``step`` samples that cover a group's time axis."""
    return ((start, min(start + step, signals.length)) for start in range(0, signals.length, step))


