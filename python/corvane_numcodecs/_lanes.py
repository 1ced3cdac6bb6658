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

import math
import operator
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

import corvane

from . import _native

__all__ = [
    "DTYPES",
    "sample_dtype",
    "lane_axis",
    "check_length",
    "encodable",
    "compress_lanes",
    "lane_rows",
    "decompress_lanes",
    "from_rows",
    "restore",
]

# The types a chunk may hold. Every value of the integer types up to 16 bits,
# and int32 values within +-2**24, have an exact single-precision value.
DTYPES = tuple(np.dtype(t) for t in ("float32", "float64", "int8", "int16", "int32", "uint8", "uint16"))
_EXACT_INT32 = 1 << 24

_HEADER_SIZE = _native.HEADER_SIZE


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


def check_length(samples: npt.NDArray[Any], axis: Optional[int]) -> None:
    """Refuses a chunk whose streams would hold more samples than a stream can,
    before anything is converted or copied (the refusal allocates nothing)."""
    if axis is None:
        count, what = samples.size, "this chunk holds"
    else:
        shape = samples.shape or (1,)
        count, what = shape[_normalised(axis, len(shape))], f"the lanes along axis {axis} of this chunk hold"
    if count > _native.MAX_SAMPLES:
        raise ValueError(f"a corvane stream holds at most {_native.MAX_SAMPLES} samples, but {what} {count}")


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


def _geometry(shape: tuple[int, ...], axis: int) -> tuple[int, int, int]:
    """The chunk seen as (outer, length, inner) around the lane axis, in C order."""
    shape = shape or (1,)
    k = _normalised(axis, len(shape))
    return math.prod(shape[:k]), shape[k], math.prod(shape[k + 1 :])


def _lane_axis_of(samples: npt.NDArray[Any], axis: int, shape_known: bool) -> int:
    """``axis`` as an index into the chunk's axes, refused unless it can be laid back.

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
    return k


def compress_lanes(
    samples: npt.NDArray[Any], axis: int, options: corvane.CompressionOptions, shape_known: bool
) -> bytes:
    """The streams of the lanes along ``axis`` (float32 or float64 samples), back to
    back in C order of the other axes."""
    outer, length, inner = _geometry(samples.shape, _lane_axis_of(samples, axis, shape_known))
    # The companion gathers each lane itself, on every core, without the interpreter lock.
    return bytes(_native.compress_lanes(np.ascontiguousarray(samples), outer, length, inner, options))


def lane_rows(samples: npt.NDArray[Any], axis: int, shape_known: bool) -> npt.NDArray[Any]:
    """The lanes along ``axis`` as the C-contiguous rows of a 2-D array, in lane order."""
    k = _lane_axis_of(samples, axis, shape_known)
    samples = samples.reshape(1) if samples.ndim == 0 else samples
    return np.ascontiguousarray(np.moveaxis(samples, k, -1)).reshape(-1, samples.shape[k])


def _lane_length(data: Any) -> int:
    # The first header's sample count; the companion checks the rest.
    header = memoryview(data).cast("B")
    at = _native.SAMPLE_COUNT_OFFSET
    return int.from_bytes(header[at : at + 4], "little") if len(header) >= _HEADER_SIZE else 0


def decompress_lanes(data: Any, axis: int, shape: Optional[tuple[int, ...]] = None, out: Any = None) -> Any:
    """A chunk of lanes decoded to float32, laid out as the chunk was.

    With the chunk's ``shape`` the result has that shape, and ``out`` (a
    C-contiguous native float32 or float64 array of that shape) may receive it
    directly. Without it the result is 2-D: (lane length, lanes) for lanes along
    the first axis, (lanes, lane length) for lanes along the last.
    """
    if shape is None:
        inner = 0 if axis == 0 else 1
    else:
        _, length, inner = _geometry(shape, axis)
        if _lane_length(data) != length and len(memoryview(data).cast("B")) >= _HEADER_SIZE:
            raise ValueError(f"the chunk's lanes hold {_lane_length(data)} samples, not the {length} of shape {shape}")
    if out is not None:
        return _native.decompress_lanes(data, inner, out)
    flat = _native.decompress_lanes(data, inner)
    if shape is not None:
        if flat.size != math.prod(shape):
            raise ValueError(f"the chunk's lanes hold {flat.size} samples, not the {math.prod(shape)} of shape {shape}")
        return flat.reshape(shape)
    length = _lane_length(data)
    lanes = flat.size // length if length else 0
    return flat.reshape((length, lanes) if axis == 0 else (lanes, length))


def from_rows(rows: npt.NDArray[Any], axis: int, shape: Optional[tuple[int, ...]] = None) -> npt.NDArray[Any]:
    """Lanes decoded as the rows of a 2-D array (lane order) laid out as the chunk was.

    With the chunk's ``shape`` the result has that shape; without it, it is
    (lane length, lanes) for lanes along the first axis and (lanes, lane
    length) for lanes along the last, as decompress_lanes gives them.
    """
    if shape is None:
        return rows.T if axis == 0 else rows
    k = _normalised(axis, max(len(shape), 1))
    shape = shape or (1,)
    moved = tuple(s for i, s in enumerate(shape) if i != k) + (shape[k],)
    if rows.shape[1] != shape[k] or rows.size != math.prod(moved):
        raise ValueError(f"the chunk's lanes hold {rows.shape[1]} samples, not the {shape[k]} of shape {shape}")
    return np.moveaxis(rows.reshape(moved), -1, k)


def restore(samples: npt.NDArray[np.float32], dtype: np.dtype[Any]) -> npt.NDArray[Any]:
    """Decoded float32 samples in ``dtype``: integers rounded to nearest and clipped to its range."""
    if dtype.kind == "f":
        return samples.astype(dtype, copy=False)
    # The companion converts as the codec layer's decoders do, without a
    # wide copy: ties to even, NaN to 0, clipped to the type's range.
    native = dtype.newbyteorder("=")
    out = np.empty(samples.shape, native)
    _native.store_samples(np.ascontiguousarray(samples, dtype=np.float32).reshape(-1), out.reshape(-1))
    return out if native == dtype else out.astype(dtype)


