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

from . import _lanes, _wav

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
    if array.dtype.newbyteorder("=") not in _lanes.DTYPES:
        kinds = ", ".join(d.name for d in _lanes.DTYPES)
        raise ValueError(f"a .npy array of {array.dtype} samples: corvane stores {kinds} samples")
    if array.ndim == 0 or array.size == 0:
        raise ValueError(f"a .npy array of shape {array.shape} holds no signal")
    if time_axis is None:
        # The longest axis is time: recordings have more samples than channels.
        time_axis = int(np.argmax(array.shape))
    elif not -array.ndim <= time_axis < array.ndim:
        raise UsageError(f"--time-axis {time_axis} for an array of {array.ndim} dimensions")
    time_axis %= array.ndim

    def read(start: int, stop: int) -> npt.NDArray[Any]:
        return np.asarray(array[along_time(array.ndim, time_axis, start, stop)])

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


def write_recording(path: str, file_attrs: dict[str, Any], groups: list[Signals], step: int) -> None:
    """Writes groups read back from a store to ``path`` in the format its extension names, ``step``
    samples at a time where the format allows."""
    ext = os.path.splitext(path)[1].lower()
    if ext in (".edf", ".bdf"):
        from ._edf import write_edf

        write_edf(path, file_attrs, ((g.attrs, g.read(0, g.length)) for g in groups))
        return
    if len(groups) != 1:
        names = ", ".join(g.name for g in groups)
        raise UsageError(f"the store holds {len(groups)} arrays ({names}); a {ext} file holds one: "
                         "name it with --array")
    group = groups[0]
    if ext == ".npy":
        fortran = bool(file_attrs.get("npy_fortran_order"))
        out = np.lib.format.open_memmap(path, "w+", group.dtype, group.shape, fortran_order=fortran)
        for start, stop in blocks(group, step):
            out[along_time(len(group.shape), group.time_axis, start, stop)] = group.read(start, stop)
        out.flush()
        del out
    elif ext == ".wav":
        _write_wav(path, group, step)
    else:
        raise UsageError(f"cannot write {path!r}: name a {', '.join(OUTPUT_FORMATS)} file")


def _write_wav(path: str, group: Signals, step: int) -> None:
    rate = group.attrs.get("sample_rate")
    if rate is None or float(rate) != int(rate):
        raise UsageError(f"a WAV file needs a whole sample rate, and this array has {rate or 'none'}: write a .npy file")
    if len(group.shape) > 2 or group.time_axis != 0:
        raise UsageError(f"a WAV file holds (time, channels), not an array of shape {group.shape} with time "
                         f"along axis {group.time_axis}: write a .npy file")
    channels = group.shape[1] if len(group.shape) == 2 else 1
    if "wav_bits" in group.attrs:
        bits, floating = int(group.attrs["wav_bits"]), bool(group.attrs["wav_float"])
    else:
        bits, floating = {np.dtype(np.uint8): (8, False), np.dtype(np.int16): (16, False)}.get(
            group.dtype, (64 if group.dtype == np.float64 else 32, group.dtype.kind == "f"))
    frames = (group.read(start, stop).reshape(stop - start, channels) for start, stop in blocks(group, step))
    with open(path, "wb") as f:
        _wav.write_wav(f, frames, group.length, channels, int(rate), bits, floating)


def along_time(ndim: int, time_axis: int, start: int, stop: int) -> tuple[slice, ...]:
    """The index of samples ``start`` to ``stop`` along the time axis, every channel."""
    return tuple(slice(start, stop) if i == time_axis else slice(None) for i in range(ndim))


def blocks(signals: Signals, step: int) -> Iterable[tuple[int, int]]:
    """The (start, stop) spans of ``step`` samples that cover a group's time axis."""
    return ((start, min(start + step, signals.length)) for start in range(0, signals.length, step))


