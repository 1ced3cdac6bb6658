"""Calls a type checker must accept, with the types it must infer."""

import numpy as np
import numpy.typing as npt

import corvane


def round_trip(signal: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    options = corvane.CompressionOptions(method="db4", scale=12, cutoff="medium", coder="arans")
    stream: bytes = corvane.compress_signal(signal, options)
    return corvane.decompress_signal(stream)


def from_doubles(samples: npt.NDArray[np.float64], scale: int) -> tuple[int]:
    options = corvane.CompressionOptions("cdf53", scale, "high", None, quant_multiplier=512)
    restored = corvane.decompress_signal(data=corvane.compress_signal(data=samples, options=options))
    # The result is known to be one-dimensional.
    shape: tuple[int] = restored.shape
    return shape


first: np.float32 = round_trip(np.zeros(8, dtype=np.float32))[0]
length: int = from_doubles(np.linspace(0.0, 1.0, 100, dtype=np.float64), 11)[0]
exported: list[str] = corvane.__all__
