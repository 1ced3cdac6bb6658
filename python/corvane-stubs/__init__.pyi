# Type information for the compiled module `corvane`.
#
# The strings are spelled out as literals so that a misspelt method, cutoff or
# coder is caught before run time; the names starting with an underscore exist
# only here, the module itself holds exactly the three public names.

from typing import Literal, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

__all__ = ["CompressionOptions", "compress_signal", "decompress_signal"]

_Method: TypeAlias = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff: TypeAlias = Literal["low", "medium", "high"]
_Coder: TypeAlias = Literal["auto", "deflate", "arans", "cmodel"]

@final
class CompressionOptions:
    def __new__(
        cls,
        method: _Method = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: _Cutoff = "low",
        coder: _Coder | None = None,
        quant_multiplier: SupportsFloat | SupportsIndex | None = None,
    ) -> CompressionOptions: ...

def compress_signal(
    data: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    options: CompressionOptions | None = None,
) -> bytes: ...
def decompress_signal(data: bytes) -> np.ndarray[tuple[int], np.dtype[np.float32]]: ...
