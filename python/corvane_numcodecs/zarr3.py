"""corvane as an array-to-bytes codec for zarr's v3 format.

:class:`Corvane` turns each chunk's samples into one corvane stream and back, so
it is the array's serializer::

    zarr.create_array(store, shape=..., chunks=..., dtype="float32",
                      serializer=Corvane(scale=11), compressors=None)

It takes the arguments of :class:`corvane_numcodecs.Corvane` and stores them
under the codec name ``numcodecs.corvane``, the name arrays written with the
numcodecs codec carry, so those arrays open unchanged. It is registered with zarr
through the ``zarr.codecs`` entry point: stored arrays open without this module
being imported first.

Chunks are coded with the interpreter lock released, so zarr's thread pool (and
dask's threads) code chunks on every core. Chunks are decoded straight into the
chunk buffer. Where zarr offers a synchronous codec pipeline (zarr 3.3 and
later), the codec provides its synchronous hooks.
"""

from __future__ import annotations

import asyncio
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

try:
    from zarr.abc.codec import ArrayBytesCodec
    from zarr.core.common import parse_named_configuration
except ImportError as exc:  # zarr 2
    raise ImportError("corvane_numcodecs.zarr3 needs zarr 3.1 or later") from exc

from corvane_numcodecs import Corvane as _Codec
from corvane_numcodecs import _lanes, _native

if TYPE_CHECKING:
    from typing_extensions import Self
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

__all__ = ["Corvane"]

CODEC_NAME = "numcodecs.corvane"


class _CodecClass(type(ArrayBytesCodec)):  # type: ignore[misc]
    # zarr names the class when a codec sits in the wrong slot of an array's
    # codecs ("Expected a BytesBytesCodec. Got <class ...> instead."): say there
    # where this one goes.
    def __str__(cls) -> str:
        return f"{type.__repr__(cls)} (an array-to-bytes codec: pass it as serializer=, not in compressors or filters)"


@dataclass(frozen=True)
class Corvane(ArrayBytesCodec, metaclass=_CodecClass):
    """corvane streams as a zarr v3 serializer; takes the numcodecs codec's arguments."""

    is_fixed_size = False

    #: The settings as stored in the array metadata: (name, value) pairs,
    #: those left at None omitted.
    configuration: tuple[tuple[str, Any], ...]

    def __init__(self, *args: Any, **settings: Any) -> None:
        codec = _Codec(*args, **settings)
        config = codec.get_config()
        del config["id"]
        object.__setattr__(self, "configuration", tuple((k, v) for k, v in config.items() if v is not None))
        # The numcodecs codec of those settings codes the chunks (not a field:
        # configuration alone is the codec's value).
        object.__setattr__(self, "_codec", codec)

    def __getattr__(self, name: str) -> Any:
        # The settings read as attributes, as on the numcodecs codec. (Only
        # names the instance lacks arrive here, its own codec never does.)
        if name.startswith("_"):
            raise AttributeError(name)
        codec: _Codec = object.__getattribute__(self, "_codec")
        return getattr(codec, name)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_from_configuration, (dict(self.configuration),))

    def __repr__(self) -> str:
        settings = ", ".join(f"{k}={v!r}" for k, v in self.configuration)
        return f"{type(self).__name__}({settings})"

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Self:
        _, configuration = parse_named_configuration(data, CODEC_NAME, require_configuration=False)
        return cls(**(configuration or {}))

    def to_dict(self) -> dict[str, Any]:
        return {"name": CODEC_NAME, "configuration": dict(self.configuration)}

    def _for_type(self, dtype: np.dtype[Any]) -> Corvane:
        # The codec decodes to float32 unless told the chunks' type, and
        # refuses other chunks rather than give back what the array cannot
        # hold: tell it the array's own.
        # (A type it cannot serve is refused by validate.)
        if dtype != np.float32 and dtype in _lanes.DTYPES and dict(self.configuration).get("dtype") is None:
            return type(self)(**{**dict(self.configuration), "dtype": dtype.name})
        return self

    def evolve_from_array_spec(self, array_spec: ArraySpec) -> Self:
        return self._for_type(array_spec.dtype.to_native_dtype())  # type: ignore[return-value]

    def validate(self, *, shape: tuple[int, ...], dtype: Any, chunk_grid: Any) -> None:
        # Refuse at array creation what chunks could never be coded as.
        native = dtype.to_native_dtype()
        codec = self._for_type(native)
        try:
            codec._codec.check_dtype(native)
        except TypeError as exc:
            raise ValueError(f"{exc}; this array's data type is {native}") from None
        axis = codec.axis
        if axis is not None and not -max(len(shape), 1) <= axis < max(len(shape), 1):
            raise ValueError(f"lanes along axis {axis} of an array of {len(shape)} dimensions")
        chunk_shape = getattr(chunk_grid, "chunk_shape", None)
        if chunk_shape is not None and math.prod(chunk_shape) > _native.MAX_SAMPLES:
            raise ValueError(
                f"corvane streams hold at most {_native.MAX_SAMPLES} samples, but chunks of shape "
                f"{tuple(chunk_shape)} hold {math.prod(chunk_shape)}"
            )

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError("corvane streams vary in size")

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        # A chunk is stored in C order whatever the array's memory order.
        samples = np.ascontiguousarray(chunk_array.as_numpy_array())
        # The decoder is handed the chunk's shape, so lanes may run along any axis.
        return chunk_spec.prototype.buffer.from_bytes(self._codec.encode(samples, shape_known=True))

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        chunk = chunk_spec.prototype.nd_buffer.empty(
            shape=chunk_spec.shape, dtype=chunk_spec.dtype.to_native_dtype(), order="C"
        )
        # The chunk's shape goes along: a chunk of lanes must fill it exactly.
        self._codec.decode(chunk_bytes.as_numpy_array(), out=chunk.as_ndarray_like(), chunk_shape=tuple(chunk_spec.shape))
        return chunk

    # zarr's default pipeline awaits these; the work runs in a thread, where
    # the codec lets go of the interpreter lock.
    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)


def _from_configuration(configuration: dict[str, Any]) -> Corvane:
    return Corvane(**configuration)
