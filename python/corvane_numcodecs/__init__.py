"""corvane as a numcodecs codec, for chunked array stores.

``Corvane`` compresses each chunk it is handed into one self-describing corvane
stream and decodes such a stream back to ``float32`` samples. With zarr's v2
format it goes in the ``compressor`` slot; for the v3 format see
:mod:`corvane_numcodecs.zarr3`. The codec is registered under the id
``"corvane"`` through the ``numcodecs.codecs`` entry point, so stored array
metadata finds it without this module being imported first.

The codec is lossy and always decodes to ``float32``: store ``float32`` arrays,
or put ``numcodecs.AsType(encode_dtype="f4", decode_dtype="f8")`` in front of it
for a ``float64`` array in the v2 format.
"""

from __future__ import annotations

import operator
from typing import Any, Literal, SupportsFloat, SupportsIndex, Union

import numpy as np
import numpy.typing as npt
from numcodecs.abc import Codec  # type: ignore[import-untyped]
from numcodecs.compat import ensure_bytes, ensure_contiguous_ndarray_like  # type: ignore[import-untyped]

import corvane

__all__ = ["Corvane"]

_Method = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff = Literal["low", "medium", "high"]
_Coder = Literal["auto", "deflate", "arans", "cmodel"]



class Corvane(Codec):  # type: ignore[misc]  # numcodecs ships no type information
    """Lossy wavelet compression of float samples, one corvane stream per chunk.

    The arguments are those of :class:`corvane.CompressionOptions` and are
    checked the same way, when the codec is made.
    """

    codec_id = "corvane"

    def __init__(
        self,
        method: _Method = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: _Cutoff = "low",
        coder: Union[_Coder, None] = None,
        quant_multiplier: Union[SupportsFloat, SupportsIndex, None] = None,
    ) -> None:
        # Validate once, with the module's own rules and messages; the options
        # object is then reused for every chunk.
        self._options = corvane.CompressionOptions(method, scale, cutoff, coder, quant_multiplier)
        # The public attributes are the configuration (numcodecs' get_config and
        # repr read them), so they hold plain JSON values.
        self.method = method
        self.scale = operator.index(scale)
        self.cutoff = cutoff
        self.coder = coder
        self.quant_multiplier = None if quant_multiplier is None else float(quant_multiplier)

    def __reduce__(self) -> tuple[Any, ...]:
        # The options object cannot be pickled; process pools and distributed
        # schedulers ship codecs between workers, so rebuild from the settings.
        return (type(self), (self.method, self.scale, self.cutoff, self.coder, self.quant_multiplier))

    def encode(self, buf: Any) -> bytes:
        """Compress the samples of ``buf`` (any float32 or float64 array-like).

        The samples are taken in C order; an array laid out in Fortran order
        is taken in its memory order, as chunk stores expect.
        """
        samples = np.asarray(buf)
        if samples.dtype.kind != "f" or samples.dtype.itemsize not in (4, 8):
            raise TypeError(f"corvane encodes float32 or float64 samples, not {samples.dtype}")
        # The module takes native-endian, contiguous 1-D arrays only.
        samples = np.ascontiguousarray(samples.ravel(order="A"), dtype=samples.dtype.newbyteorder("="))
        return corvane.compress_signal(samples, self._options)

    def decode(self, buf: Any, out: Any = None) -> Any:
        """Decompress one stream into a new float32 array, or into ``out``.

        ``out`` may be a contiguous float array of any shape with one element per
        sample (the samples are converted to its type), or any other writeable
        contiguous buffer of exactly four bytes per sample (it receives the
        float32 bytes). ``out`` is returned.
        """
        samples = corvane.decompress_signal(ensure_bytes(buf))
        if out is None:
            return samples
        _store(samples, out)
        return out


def _store(samples: npt.NDArray[np.float32], out: Any) -> None:
    # Flattens without copying, or refuses: a silent copy would drop the result.
    dest = ensure_contiguous_ndarray_like(out)
    if not dest.flags.writeable:
        raise ValueError("out must be writeable")
    if dest.dtype.kind == "f":
        if dest.size != samples.size:
            raise ValueError(f"out holds {dest.size} values but the stream has {samples.size} samples")
        np.copyto(dest, samples, casting="same_kind")
    else:
        raw = dest.view(np.uint8)
        if raw.size != samples.nbytes:
            raise ValueError(f"out holds {raw.size} bytes but the stream decodes to {samples.nbytes}")
        raw[...] = samples.view(np.uint8)
