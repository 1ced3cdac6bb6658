# Type information for corvane_numcodecs._native, the codec layer's native
# companion. It takes the module's own options (its CompressionOptions is
# corvane.CompressionOptions); the functions read C-contiguous buffers of
# native-order float32 or float64 samples and write into any writeable buffer
# of the right size. The name lists and numbers are the codec's own, which the
# Literal sets here and in the stubs of `corvane` must match.

from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeVar, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer, TypeAlias

_Method: TypeAlias = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff: TypeAlias = Literal["low", "medium", "high"]
_Coder: TypeAlias = Literal["auto", "deflate", "arans", "cmodel"]
_Target: TypeAlias = Literal["max_abs_error", "prd"]
_Samples: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float32]]
# (NumPy arrays are buffers; before Python 3.12 checkers cannot tell.)
_Buffer: TypeAlias = Buffer | npt.NDArray[Any]
_Out = TypeVar("_Out", bound=_Buffer)

from corvane import CompressionOptions as CompressionOptions

METHODS: tuple[_Method, ...]
CUTOFFS: tuple[_Cutoff, ...]
CODERS: tuple[_Coder, ...]
TARGETS: tuple[_Target, ...]
HEADER_SIZE: int
SAMPLE_COUNT_OFFSET: int
MAX_SAMPLES: int
MIN_SCALE: int
MAX_SCALE: int

def measure_error(target: _Target, reference: _Buffer, decoded: _Buffer) -> float: ...
def compress(data: _Buffer, options: CompressionOptions | None = None) -> bytes: ...
@overload
def decompress(data: _Buffer, out: None = None) -> _Samples: ...
@overload
def decompress(data: _Buffer, out: _Out) -> _Out: ...

# Takes float32, float64, int8, int16, int32, uint8 or uint16 samples; integers
# keep the target as decoding rounds them. ValueError when no stream keeps the
# target; its `best` attribute (a float) is the smallest error reachable.
def compress_to_target(data: _Buffer, options: CompressionOptions, target: _Target, bound: SupportsFloat) -> bytes: ...
def decompress_chunk(data: _Buffer) -> tuple[_Samples, int]: ...
def store_samples(samples: _Buffer, out: _Buffer) -> None: ...
def compress_lanes(
    data: _Buffer,
    outer: SupportsIndex,
    length: SupportsIndex,
    inner: SupportsIndex,
    options: CompressionOptions | None = None,
    threads: SupportsIndex = 0,
) -> bytes: ...
@overload
def decompress_lanes(data: _Buffer, inner: SupportsIndex = 0, out: None = None, threads: SupportsIndex = 0) -> _Samples: ...
@overload
def decompress_lanes(data: _Buffer, inner: SupportsIndex, out: _Out, threads: SupportsIndex = 0) -> _Out: ...

# One dict per stream in `data`, keyed by the fields of corvane_numcodecs.StreamInfo;
# ValueError, with the decoder's message, for a header it refuses or a stream cut short.
def stream_facts(data: _Buffer) -> list[dict[str, Any]]: ...
