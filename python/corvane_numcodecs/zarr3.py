"""corvane as an array-to-bytes codec for zarr's v3 format.

zarr's v3 format keeps numcodecs codecs behind a wrapper whose name is the
numcodecs id with a ``numcodecs.`` prefix. :class:`Corvane` is that wrapper for
the ``corvane`` codec; use it as the array's serializer (it turns the chunk's
samples into bytes itself)::

    zarr.create_array(store, shape=..., chunks=..., dtype="float32",
                      serializer=Corvane(scale=11), compressors=None)

It is registered with zarr through the ``zarr.codecs`` entry point, so stored
arrays open without this module being imported first.
"""

from __future__ import annotations

from typing import Any

import numpy as np

try:
    from zarr.codecs.numcodecs._codecs import _NumcodecsArrayBytesCodec
except ImportError as exc:  # zarr 2, or a zarr 3 without the wrapper in this place
    raise ImportError("corvane_numcodecs.zarr3 needs zarr 3.1 or later") from exc

__all__ = ["Corvane"]


class Corvane(_NumcodecsArrayBytesCodec, codec_name="corvane"):
    """corvane streams as a zarr v3 serializer; takes the codec's arguments."""

    def evolve_from_array_spec(self, array_spec: Any) -> "Corvane":
        # The codec decodes to float32 unless told the chunks' type, and
        # refuses other chunks rather than give back what the array cannot
        # hold: tell it the array's own.
        dtype = array_spec.dtype.to_native_dtype()
        if dtype != np.float32 and self.codec_config.get("dtype") is None:
            return type(self)(**{**self.codec_config, "dtype": dtype.name})
        return self
