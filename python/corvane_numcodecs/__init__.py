"""corvane as a numcodecs codec, for chunked array stores.

``Corvane`` compresses each chunk it is handed into one self-describing corvane
stream and decodes such a stream back to ``float32`` samples. With zarr's v2
format it goes in the ``compressor`` slot; for the v3 format see
:mod:`corvane_numcodecs.zarr3`. The codec is registered under the id
``"corvane"`` through the ``numcodecs.codecs`` entry point, so stored array
metadata finds it without this module being imported first.

The codec is lossy and decodes to ``float32`` unless told the chunks' ``dtype``:
store ``float32`` arrays, or name the array's dtype (``dtype="int16"``, say) so
that decoding gives it back. With ``axis`` every 1-D lane along that axis of a
chunk is its own stream with its own normalisation, the streams back to back.
"""

from __future__ import annotations

import operator
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

try:
    from numcodecs.abc import Codec  # type: ignore[import-untyped]
    from numcodecs.compat import ensure_bytes, ensure_contiguous_ndarray_like  # type: ignore[import-untyped]
except ModuleNotFoundError as missing:  # pragma: no cover - run in a fresh environment by the tests
    raise ModuleNotFoundError(
        f"corvane_numcodecs needs numcodecs, which is not installed (no module named {missing.name!r}): "
        "install the extra, pip install 'corvane[numcodecs]', or 'corvane[zarr]' for zarr stores and the "
        "corvane command",
        name=missing.name,
    ) from None

import corvane

from . import _lanes, _native
from ._stream_facts import Inspection, RefinementInfo, StreamInfo, inspect
from ._version import __version__

__all__ = ["Corvane", "Inspection", "RefinementInfo", "StreamInfo", "inspect", "__version__"]

_Method = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff = Literal["low", "medium", "high"]
_Coder = Literal["auto", "deflate", "arans", "cmodel"]
_Target = Literal["max_abs_error", "prd"]
_Out = TypeVar("_Out")



class Corvane(Codec):  # type: ignore[misc]  # numcodecs ships no type information
    """Lossy wavelet compression of sampled signals, one corvane stream per chunk or per lane.

    The first five arguments are those of :class:`corvane.CompressionOptions`
    and are checked the same way, when the codec is made:

    ``method``: the wavelet, ``"cdf97"`` (the default), ``"cdf53"``, ``"db4"``
    or ``"sym4"``.

    ``scale``: 6 to 12 (default 11). The quantisation step is 2**-scale of a
    chunk's range: each step up keeps more detail and costs more bytes.

    ``cutoff``: ``"low"`` (default), ``"medium"`` or ``"high"``, how eagerly
    small detail coefficients are zeroed (no effect at scales 6 and 7).

    ``coder``: the entropy coder, ``None`` or ``"auto"`` (the coefficient
    model), ``"cmodel"``, ``"arans"`` or ``"deflate"``.

    ``quant_multiplier``: a positive finite quantisation multiplier to use
    instead of ``2**scale``.

    ``axis``: code every 1-D lane along this axis of a chunk as its own stream
    (own normalisation), the streams back to back in C order of the other axes;
    a (time, channels) chunk wants ``axis=0``. Without it a chunk is one stream
    of its samples in memory order. Decoding knows a chunk's shape only from an
    ``out`` array of that shape, so here lanes must run along the first or the
    last axis of a C-ordered chunk (the zarr v3 codec serves any axis).

    ``dtype``: the type of the chunks, which decoding gives back (float32 when
    not given). Integer chunks (int8, int16, int32, uint8, uint16) need it; they
    are coded exactly in single precision and decode rounded to nearest and
    clipped to the type's range.

    Error targets: instead of a ``scale``, say the error you accept and the
    codec finds, for each chunk (each lane, with ``axis``) on its own, the
    smallest stream that keeps it.

    - ``max_abs_error=E``: every decoded sample lies within ``E`` (in the
      samples' units) of the sample encoded. Any ``E > 0`` is reachable on
      float chunks; on integer chunks ``E`` holds as ``floor(E)``, and
      ``dtype="int16", max_abs_error=0`` stores counts exactly (lossless).
      Float chunks whose samples are all integers (counts kept as floats)
      are noticed and corrected to integers, so ``max_abs_error=0`` stores
      them exactly too, and bounds below 1/2 cost what exact storage does.
    - ``prd=P``: the percent root-mean-square difference with the mean
      removed, ``100 * ||x - y|| / ||x - mean(x)||``, is at most ``P`` (an
      offset does not flatter it). A constant chunk, whose spread is zero,
      meets it by decoding to its value (in float32).

    Give at most one, and no ``quant_multiplier``: the codec chooses the
    multiplier and the dead zone (through ``scale`` and ``cutoff``, which are
    then not used as given); ``method`` and ``coder`` stay as configured. Every
    chunk is decoded and checked before it is returned, so the target holds
    for every chunk, integer chunks after their rounding included. At a
    largest error a chunk may be refined: a coarser corvane stream and the
    corrections of its samples, in a container of its own that this codec
    reads and ``corvane.decompress_signal`` refuses; otherwise chunks are
    ordinary corvane streams. Refused with a ``ValueError`` that names the
    smallest error reachable: a PRD no stream keeps, and a largest error
    finer than single precision holds of float64 samples; refused as well:
    NaN or infinite samples, and ``max_abs_error=0`` on float chunks that
    are not all integers.
    """

    codec_id = "corvane"

    def __init__(
        self,
        method: _Method = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: _Cutoff = "low",
        coder: Union[_Coder, None] = None,
        quant_multiplier: Union[SupportsFloat, SupportsIndex, None] = None,
        *,
        axis: Union[SupportsIndex, None] = None,
        dtype: Union[npt.DTypeLike, None] = None,
        max_abs_error: Union[SupportsFloat, None] = None,
        prd: Union[SupportsFloat, None] = None,
    ) -> None:
        # Checked once, by the module's own rules and in its words; the one
        # options object then codes every chunk (the companion takes the
        # module's class).
        self._options = corvane.CompressionOptions(method, scale, cutoff, coder, quant_multiplier)
        self._dtype = None if dtype is None else _lanes.sample_dtype(dtype)
        multiplier = None if quant_multiplier is None else float(quant_multiplier)
        max_abs_error, prd = _error_targets(max_abs_error, prd, multiplier)
        # The settings as given, in plain JSON values: what get_config records,
        # repr shows and the (read-only) attributes read.
        self._settings: dict[str, Any] = {
            "method": method, "scale": operator.index(scale), "cutoff": cutoff, "coder": coder,
            "quant_multiplier": multiplier, "axis": _lanes.lane_axis(axis),
            "dtype": None if self._dtype is None else self._dtype.name, "max_abs_error": max_abs_error, "prd": prd,
        }

    method = property(lambda self: self._settings["method"], doc="The wavelet.")
    scale = property(lambda self: self._settings["scale"], doc="The scale, 6 to 12.")
    cutoff = property(lambda self: self._settings["cutoff"], doc="The dead zone's cutoff.")
    coder = property(lambda self: self._settings["coder"], doc="The entropy coder, or None (the default).")
    quant_multiplier = property(lambda self: self._settings["quant_multiplier"], doc="The multiplier, or None.")
    axis = property(lambda self: self._settings["axis"], doc="The axis lanes run along, or None.")
    dtype = property(lambda self: self._settings["dtype"], doc="The chunks' dtype name, or None.")
    max_abs_error = property(lambda self: self._settings["max_abs_error"], doc="The largest-error target, or None.")
    prd = property(lambda self: self._settings["prd"], doc="The PRD target, or None.")

    def get_config(self) -> dict[str, Any]:
        """The settings as JSON-ready values, with ``"id": "corvane"``; ``from_config`` makes the codec back.

        Settings left at None are left out.
        """
        # The five options are always recorded, the others only when set, so a
        # codec without them keeps the configuration stores have always
        # recorded for it.
        config: dict[str, Any] = {"id": self.codec_id}
        config.update((k, v) for k, v in self._settings.items() if v is not None or k in _RECORDED)
        return config

    def __repr__(self) -> str:
        settings = ", ".join(f"{k}={v!r}" for k, v in self._settings.items() if v is not None)
        return f"{type(self).__name__}({settings})"

    def __reduce__(self) -> tuple[Any, ...]:
        # The options object cannot be pickled; process pools and distributed
        # schedulers ship codecs between workers, so rebuild from the settings.
        config = self.get_config()
        del config["id"]
        return (type(self).from_config, (config,))

    def check_dtype(self, dtype: npt.DTypeLike) -> None:
        """Raise TypeError unless this codec codes chunks of ``dtype`` (and decodes them back to it)."""
        self._checked(np.empty(0, dtype))

    def encode(self, buf: Any, *, shape_known: bool = False) -> bytes:
        """Compress the samples of ``buf`` (an array-like of a dtype the codec serves).

        Without ``axis`` the samples are taken in C order; an array laid out in
        Fortran order is taken in its memory order, as chunk stores expect. The
        interpreter lock is released while compressing, so threads encode
        chunks in parallel. ``shape_known``: the decoder will be handed the
        chunk's shape (as the zarr v3 codec is), so lanes may run along any
        axis of a C-ordered chunk.
        """
        checked = self._checked(np.asarray(buf), typed=hasattr(buf, "dtype"))
        _lanes.check_length(checked, self.axis)
        samples = _lanes.encodable(checked)
        if checked.dtype.kind in "iu" and _target_of(self) is not None:
            samples = checked.astype(checked.dtype.newbyteorder("="), copy=False)
        if self.axis is None:
            # The companion takes native-endian, contiguous samples.
            return self._compress_one(np.ascontiguousarray(samples.ravel(order="A")))
        if _target_of(self) is not None and samples.size:
            # A target is met lane by lane, each lane tuned on its own.
            rows = _lanes.lane_rows(samples, self.axis, shape_known)
            return b"".join(self._compress_one(lane) for lane in rows)
        return _lanes.compress_lanes(samples, self.axis, self._options, shape_known)

    def _compress_one(self, samples: npt.NDArray[Any]) -> bytes:
        # One signal (a chunk or a lane): native-endian and contiguous.
        target = _target_of(self)
        if target is None:
            return _native.compress(samples, self._options)
        # Integer samples arrive as they are: the search judges them as decoding rounds them.
        return _native.compress_to_target(samples, self._options, *target)

    @overload
    def decode(self, buf: Any, out: None = None, *, chunk_shape: Union[tuple[int, ...], None] = None) -> npt.NDArray[Any]: ...

    @overload
    def decode(self, buf: Any, out: _Out, *, chunk_shape: Union[tuple[int, ...], None] = None) -> _Out: ...

    def decode(self, buf: Any, out: Any = None, *, chunk_shape: Union[tuple[int, ...], None] = None) -> Any:
        """Decompress a chunk into a new array, or into ``out``.

        The new array is float32, or of the codec's ``dtype``; with ``axis`` it
        is 2-D, (lane length, lanes) for ``axis=0`` and (lanes, lane length)
        otherwise. ``out`` may be an array of the chunk's shape, a contiguous
        float array of any shape with one element per sample (the samples are
        converted to its type), or any other writeable contiguous buffer of
        exactly the decoded samples' size in bytes (it receives their bytes).
        ``out`` is returned. Float samples are decoded straight into a float32
        or float64 ``out``, with the interpreter lock released; the lanes of a
        chunk are decoded on every core. ``chunk_shape``: the chunk's shape,
        where the caller knows it (as the zarr v3 codec does); a chunk of lanes
        is then checked against it, whatever ``out`` is.
        """
        stream = ensure_contiguous_ndarray_like(buf)
        floats = self._dtype is None or self._dtype.kind == "f"
        if _target_of(self) is not None or _refined(stream):
            # What a target writes: plain or refined streams, one per lane.
            flat, lanes = _native.decompress_chunk(stream)
            shape = chunk_shape
            if shape is None and isinstance(out, np.ndarray) and out.ndim >= 2:
                shape = out.shape
            samples = flat if self.axis is None else _lanes.from_rows(flat.reshape(lanes, -1), self.axis, shape)
        elif self.axis is None:
            if floats:
                return self._decode_floats(stream, out)
            samples = _native.decompress(stream)
        else:
            shape = chunk_shape
            if shape is None and isinstance(out, np.ndarray) and out.ndim >= 2:
                shape = out.shape
            if shape is not None and floats and out is not None and _fillable(out):
                return _lanes.decompress_lanes(stream, self.axis, shape, out)
            samples = _lanes.decompress_lanes(stream, self.axis, shape)
        values = _lanes.restore(samples, self._dtype or np.dtype(np.float32))
        if out is None:
            return values
        if isinstance(out, np.ndarray) and out.shape == values.shape and out.ndim >= 2:
            # An array of the chunk's own shape is filled element by element,
            # whatever its memory order.
            if not out.flags.writeable:
                raise ValueError(f"out must be writeable; got {_described(out)}, which is read-only")
            np.copyto(out, values, casting="same_kind")
        else:
            _store(values.ravel(), out)
        return out

    def _decode_floats(self, stream: Any, out: Any) -> Any:
        # One stream of float samples, decoded by the companion.
        if out is None:
            return _lanes.restore(_native.decompress(stream), self._dtype or np.dtype(np.float32))
        dest = _destination(out)
        if dest.dtype.kind == "f" and dest.dtype not in _NATIVE_FLOATS:
            # Half precision or a foreign byte order: decode, then convert.
            _store(_native.decompress(stream), out)
        else:
            try:
                _native.decompress(stream, dest)
            except ValueError as exc:
                # The companion words a size mismatch as "out holds ...": say
                # what out was as well. Faults of the stream pass unchanged.
                if not str(exc).startswith("out "):
                    raise
                raise ValueError(f"{exc}; out is {_described(out)}") from None
        return out

    def _checked(self, samples: npt.NDArray[Any], typed: bool = True) -> npt.NDArray[Any]:
        # A chunk decodes to the configured dtype: a chunk of another type
        # would come back as something its store cannot read (a float64 chunk
        # decoded to float32 is half the bytes a v2 store reads back). Python
        # numbers carry no type of their own and are taken as float32.
        dtype = samples.dtype.newbyteorder("=")
        if self._dtype is not None:
            if dtype != self._dtype:
                raise TypeError(
                    f"this codec is set for {self._dtype} samples (dtype={self.dtype!r}); got {_described(samples)}"
                )
        elif dtype == np.float64 and typed:
            raise TypeError(
                "float64 samples need the codec made with dtype='float64', so that decoding gives them "
                f"back as float64 (they are stored in single precision); got {_described(samples)}"
            )
        elif dtype.kind in "iu" and dtype in _lanes.DTYPES:
            raise TypeError(
                f"{dtype} samples need the codec made with dtype={dtype.name!r}, "
                f"so that decoding gives them back as {dtype.name}; got {_described(samples)}"
            )
        elif dtype not in _lanes.DTYPES:
            raise TypeError(
                "corvane encodes float32 or float64 samples, or int8, int16, int32, uint8 or "
                f"uint16 ones, not {_described(samples)}"
            )
        return samples


_NATIVE_FLOATS = (np.dtype("=f4"), np.dtype("=f8"))

# The settings get_config records even when they are None.
_RECORDED = ("method", "scale", "cutoff", "coder", "quant_multiplier")


def _fillable(out: npt.NDArray[Any]) -> bool:
    # The companion writes native float32 or float64 values in C order.
    return out.dtype in _NATIVE_FLOATS and out.flags.c_contiguous and out.flags.writeable


def _described(given: Any) -> str:
    """What an error message says was handed in: "a float32 array of shape (3, 4)"."""
    if isinstance(given, np.ndarray):
        kind = f"{given.dtype} array of shape {given.shape}"
    elif isinstance(given, (bytes, bytearray, memoryview)):
        kind = f"{type(given).__name__} object of {memoryview(given).nbytes} bytes"
    else:
        kind = f"object of type {type(given).__name__}"
    return ("an " if kind[0] in "aeiou" else "a ") + kind


def _destination(out: Any) -> npt.NDArray[Any]:
    # Flattens without copying, or refuses: a silent copy would drop the result.
    try:
        dest: npt.NDArray[Any] = ensure_contiguous_ndarray_like(out)
    except ValueError as exc:
        raise ValueError(f"{exc}; out is {_described(out)}") from None
    if not dest.flags.writeable:
        raise ValueError(f"out must be writeable; got {_described(out)}, which is read-only")
    return dest


def _store(samples: npt.NDArray[Any], out: Any) -> None:
    dest = _destination(out)
    if dest.dtype.kind == "f":
        if dest.size != samples.size:
            raise ValueError(
                f"out holds {dest.size} values but the stream has {samples.size} samples; out is "
                f"{_described(out)}, and needs {samples.size} elements (or {samples.nbytes} bytes)"
            )
        np.copyto(dest, samples, casting="same_kind")
    else:
        raw = dest.view(np.uint8)
        if raw.size != samples.nbytes:
            raise ValueError(
                f"out holds {raw.size} bytes but the stream decodes to {samples.nbytes} "
                f"({samples.size} {samples.dtype} samples); out is {_described(out)}"
            )
        raw[...] = samples.view(np.uint8)


def _error_targets(
    max_abs_error: Union[SupportsFloat, None], prd: Union[SupportsFloat, None], quant_multiplier: Union[float, None]
) -> tuple[Union[float, None], Union[float, None]]:
    """The error targets as plain floats, checked."""
    if max_abs_error is not None and prd is not None:
        raise ValueError("max_abs_error and prd exclude each other: give one target")
    targets: list[Union[float, None]] = []
    for name, value in (("max_abs_error", max_abs_error), ("prd", prd)):
        if value is None:
            targets.append(None)
            continue
        if isinstance(value, (str, bytes, bool)) or not hasattr(value, "__float__"):
            raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
        number = float(value)
        if not (number >= 0.0 and number != float("inf")):
            raise ValueError(f"{name} must be a finite number of at least 0, not {value!r}")
        if quant_multiplier is not None:
            raise ValueError(f"{name} and quant_multiplier exclude each other: with a target the codec "
                             "chooses the multiplier")
        targets.append(number)
    return targets[0], targets[1]


def _refined(stream: Any) -> bool:
    """Whether a chunk starts with a refined stream (its own magic), which only the codec layer reads."""
    return bytes(memoryview(stream).cast("B")[:4]) == b"CRVR"


def _target_of(codec: Corvane) -> Union[tuple[_Target, float], None]:
    """(target name, bound) of a codec with an error target, else None: what
    the companion's compress_to_target takes for one signal."""
    if codec.max_abs_error is not None:
        return "max_abs_error", codec.max_abs_error
    if codec.prd is not None:
        return "prd", codec.prd
    return None
