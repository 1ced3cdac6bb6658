"""Calls on the numcodecs codec a type checker must accept, with the types it must infer."""

from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import assert_type

from corvane_numcodecs import Corvane

codec = Corvane("db4", 10, "medium", "arans", axis=0, dtype="int16")
stream: bytes = codec.encode(np.zeros((100, 2), dtype=np.int16))
assert_type(codec.decode(stream), npt.NDArray[Any])
out = bytearray(400)
assert_type(codec.decode(stream, out=out), bytearray)
into: npt.NDArray[np.float64] = np.empty(200, np.float64)
assert_type(Corvane(max_abs_error=0.5).decode(stream, into), npt.NDArray[np.float64])
