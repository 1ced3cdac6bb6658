"""Lanes of a chunk and the sample types chunks come in.

A chunk coded along an axis is one corvane stream per 1-D lane along that
axis, the streams back to back in C order of the other axes. Every stream is
an ordinary corvane stream whose header gives its payload length, so the
chunk needs no container of its own and ``decompress_signal`` of a chunk
reads its first lane.

Integer samples are converted exactly to single precision and decoded samples
are converted back to the chunk's own type, rounded to nearest and clipped to
the type's range.
"""

from __future__ import annotations

import operator
import struct
from collections.abc import Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

import corvane

__all__ = [
    "DTYPES",
    "sample_dtype",
    "lane_axis",
    "encodable",
    "lanes_of",
    "split_streams",
    "lay_out",
    "restore",
    "compress_lanes",
    "decompress_lanes",
]

# The types a chunk may hold. Every value of the integer types up to 16 bits,
# and int32 values within +-2**24, have an exact single-precision value.
DTYPES = tuple(np.dtype(t) for t in ("float32", "float64", "int8", "int16", "int32", "uint8", "uint16"))
_EXACT_INT32 = 1 << 24

_HEADER_SIZE = 52
_PAYLOAD_LEN = struct.Struct("<I")  # at offset 32 of a stream header


def sample_dtype(dtype: Any) -> np.dtype[Any]:
    """The native-order dtype named by ``dtype``, refused unless the codec serves it."""
    try:
        resolved = np.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype must name a NumPy dtype, not {dtype!r}") from None
    native: np.dtype[Any] = resolved.newbyteorder("=")
    if native not in DTYPES:
        names = ", ".join(t.name for t in DTYPES)
        raise TypeError(f"corvane serves samples of dtype {names}, not {resolved}")
    return native


def lane_axis(axis: Any) -> Optional[int]:
    """The ``axis`` setting as a plain int, or None for one stream per chunk."""
    if axis is None:
        return None
    try:
        return operator.index(axis)
    except TypeError:
        raise TypeError(f"axis must be an integer or None, not {type(axis).__name__}") from None


def _normalised(axis: int, ndim: int) -> int:
    if not -ndim <= axis < ndim:
        raise ValueError(f"axis {axis} is out of bounds for a chunk of {ndim} dimension{'s' if ndim != 1 else ''}")
    return axis % ndim


def encodable(samples: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The samples as float32 (integers, converted exactly) or float64, native order.

    int32 values beyond +-2**24 have no exact single-precision value and are
    refused: a stored sample must never be rounded without the caller asking.
    """
    dtype = samples.dtype.newbyteorder("=")
    if dtype.kind == "f":
        return samples.astype(dtype, copy=False)
    if dtype == np.int32 and samples.size and (samples.min() < -_EXACT_INT32 or samples.max() > _EXACT_INT32):
        worst = samples.max() if samples.max() > _EXACT_INT32 else samples.min()
        raise ValueError(
            f"int32 sample {int(worst)} lies beyond +-2**24, where single precision cannot hold "
            "every integer; corvane does not round samples silently (store the array as float32 "
            "to accept the rounding, or scale it down)"
        )
    return samples.astype(np.float32)


def lanes_of(samples: npt.NDArray[Any], axis: int, shape_known: bool) -> npt.NDArray[Any]:
    """The lanes along ``axis`` as rows of a C-contiguous 2-D array, in C order of the other axes.

    Unless the decoder will be told the chunk's shape (``shape_known``), the
    layout must be one it can rebuild from the streams alone: lanes along the
    first or the last axis of a C-ordered chunk.
    """
    ndim = max(samples.ndim, 1)
    k = _normalised(axis, ndim)
    if not shape_known:
        if 0 < k < ndim - 1:
            raise ValueError(
                f"lanes along axis {axis} of a chunk of {ndim} dimensions cannot be laid back "
                "without the chunk's shape; use the first or the last axis here, or the zarr v3 codec"
            )
        if samples.ndim > 1 and samples.flags.f_contiguous and not samples.flags.c_contiguous:
            raise ValueError(
                "lanes are taken from chunks in C order, and this one is in Fortran order: "
                "a zarr v2 array with lanes needs order='C'"
            )
    samples = samples.reshape(1) if samples.ndim == 0 else samples
    if samples.size == 0:
        return samples.reshape(0, 0)
    lane_length = samples.shape[k]
    return np.ascontiguousarray(np.moveaxis(samples, k, -1)).reshape(-1, lane_length)


def split_streams(data: Union[bytes, memoryview]) -> list[memoryview]:
    """The streams of a chunk of lanes, each ending where its header says.

    A truncated last stream is handed on as it is, so that the decoder reports it.
    """
    view = memoryview(data).cast("B")
    streams = []
    offset = 0
    while offset < len(view):
        if len(view) - offset < _HEADER_SIZE:
            end = len(view)
        else:
            (payload,) = _PAYLOAD_LEN.unpack_from(view, offset + 32)
            end = min(len(view), offset + _HEADER_SIZE + payload)
        streams.append(view[offset:end])
        offset = end
    return streams


def lay_out(
    lanes: npt.NDArray[Any], axis: int, shape: Optional[Sequence[int]] = None
) -> npt.NDArray[Any]:
    """The lanes (rows of a 2-D array) put back in the chunk's layout.

    Without the chunk's shape the result is 2-D: (lane length, lanes) for lanes
    along the first axis, (lanes, lane length) for lanes along the last.
    """
    count, length = lanes.shape
    if shape is None:
        return np.ascontiguousarray(lanes.T) if axis == 0 else lanes
    shape = tuple(shape)
    k = _normalised(axis, max(len(shape), 1))
    size = 1
    for extent in shape:
        size *= extent
    if (shape[k] if shape else 1) != length or size != count * length:
        raise ValueError(f"the chunk holds {count} lanes of {length} samples, which do not fill shape {shape}")
    outer = 1
    for extent in shape[:k]:
        outer *= extent
    laid = lanes.reshape(outer, count // outer if outer else 0, length).transpose(0, 2, 1)
    return np.ascontiguousarray(laid).reshape(shape)


def restore(samples: npt.NDArray[np.float32], dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """Decoded float32 samples in ``dtype``: integers rounded to nearest and clipped to its range."""
    if dtype.kind == "f":
        return samples.astype(dtype, copy=False)
    info = np.iinfo(dtype)
    # In double precision every bound of these types is exact, so the clip is too.
    wide = np.rint(samples, dtype=np.float64)
    np.nan_to_num(wide, copy=False, nan=0.0)
    np.clip(wide, info.min, info.max, out=wide)
    return wide.astype(dtype)


def compress_lanes(lanes: npt.NDArray[Any], options: corvane.CompressionOptions) -> bytes:
    """One stream per row of ``lanes``, back to back."""
    if lanes.size == 0:
        # The module's own refusal of empty input.
        return corvane.compress_signal(np.empty(0, dtype=np.float32), options)
    return b"".join(corvane.compress_signal(lane, options) for lane in lanes)


def decompress_lanes(data: bytes) -> npt.NDArray[np.float32]:
    """The lanes of a chunk as the rows of a new float32 array."""
    streams = split_streams(data)
    if not streams:
        corvane.decompress_signal(b"")  # raises the module's error for a missing header
    first = corvane.decompress_signal(bytes(streams[0]))
    lanes = np.empty((len(streams), first.size), dtype=np.float32)
    lanes[0] = first
    for row, stream in enumerate(streams[1:], start=1):
        lane = corvane.decompress_signal(bytes(stream))
        if lane.size != first.size:
            raise ValueError(f"the lanes of a chunk differ in length: {first.size} and {lane.size} samples")
        lanes[row] = lane
    return lanes
