"""Calls a type checker must refuse: every line marked "refused" and no other."""

import numpy as np
import numpy.typing as npt

import corvane

samples = np.zeros(64, dtype=np.float32)

corvane.compress_signal([0.5, 1.5])  # refused: a list is not an array
corvane.compress_signal(np.zeros(64, dtype=np.int16))  # refused: integer samples
corvane.compress_signal(samples, "cdf97")  # refused: options must be CompressionOptions
corvane.compress_signal(samples, level=3)  # refused: no such keyword
corvane.decompress_signal(bytearray(16))  # refused: only bytes
corvane.CompressionOptions(method="haar")  # refused: unknown method
corvane.CompressionOptions(cutoff="none")  # refused: unknown cutoff
corvane.CompressionOptions(coder="zstd")  # refused: unknown coder
corvane.CompressionOptions(scale=11.0)  # refused: scale is an integer
text: str = corvane.compress_signal(samples)  # refused: the stream is bytes
plane: tuple[int, int] = corvane.decompress_signal(b"").shape  # refused: the result is 1-D
doubles: npt.NDArray[np.float64] = corvane.decompress_signal(b"")  # refused: the result is float32
corvane.encode_signal(samples)  # refused: the module has three names
