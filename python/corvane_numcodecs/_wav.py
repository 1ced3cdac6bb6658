"""WAV files: a small RIFF reader and writer for PCM (8, 16, 24, 32 bits) and float samples.

Reads plain and extensible format tags; samples are read where they lie, a
block of frames at a time. 8-bit PCM is unsigned, wider PCM signed, all
little-endian.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

__all__ = ["WavLayout", "read_layout", "read_frames", "write_wav", "stored_dtype"]

_PCM, _FLOAT, _EXTENSIBLE = 1, 3, 0xFFFE


class FormatError(ValueError):
    """A file that is not a WAV file this reader can read."""


@dataclass(frozen=True)
class WavLayout:
    channels: int
    rate: int
    bits: int  # of each sample's container
    floating: bool
    data_offset: int
    frames: int

    @property
    def frame_bytes(self) -> int:
        return self.channels * self.bits // 8


def stored_dtype(bits: int, floating: bool) -> np.dtype[Any]:
    """The type samples are kept in: the integers as themselves (24-bit PCM in int32), floats as
    themselves. 32-bit PCM goes to float64: corvane codes integers exactly only up to 2**24."""
    if floating:
        return np.dtype(np.float32 if bits == 32 else np.float64)
    return np.dtype({8: np.uint8, 16: np.int16, 24: np.int32, 32: np.float64}[bits])


def read_layout(f: BinaryIO) -> WavLayout:
    """The format and where the samples lie, from the RIFF chunks at the start of ``f``."""
    size = f.seek(0, os.SEEK_END)
    f.seek(0)
    riff = f.read(12)
    if len(riff) < 12 or riff[:4] != b"RIFF" or riff[8:12] != b"WAVE":
        raise FormatError("not a RIFF WAVE file")
    fmt = None
    while True:
        head = f.read(8)
        if len(head) < 8:
            raise FormatError("a WAV file without a data chunk" if fmt else "a WAV file without a fmt chunk")
        tag, length = head[:4], struct.unpack("<I", head[4:])[0]
        if tag == b"fmt ":
            fmt = f.read(length)
            if len(fmt) < 16:
                raise FormatError("a WAV fmt chunk cut short")
            f.seek(length % 2, os.SEEK_CUR)
        elif tag == b"data":
            if fmt is None:
                raise FormatError("a WAV file whose data comes before its fmt chunk")
            offset = f.tell()
            # Writers that stream leave the length unset or too long: whole frames up to the end.
            length = min(length, size - offset)
            return _layout(fmt, offset, length)
        else:
            f.seek(length + length % 2, os.SEEK_CUR)


def _layout(fmt: bytes, offset: int, length: int) -> WavLayout:
    tag, channels, rate, _, align, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == _EXTENSIBLE:
        if len(fmt) < 26:
            raise FormatError("an extensible WAV fmt chunk cut short")
        tag = struct.unpack("<H", fmt[24:26])[0]
    if tag not in (_PCM, _FLOAT):
        raise FormatError(f"WAV samples of format tag {tag:#x}: only PCM and float samples are read")
    if channels == 0 or rate == 0:
        raise FormatError("a WAV file of no channels or no sample rate")
    allowed = (32, 64) if tag == _FLOAT else (8, 16, 24, 32)
    if bits not in allowed or align != channels * bits // 8:
        raise FormatError(f"{'float' if tag == _FLOAT else 'PCM'} WAV samples of {bits} bits in frames of "
                          f"{align} bytes: {' or '.join(map(str, allowed))} bits are read")
    return WavLayout(channels, rate, bits, tag == _FLOAT, offset, length // align)


def read_frames(f: BinaryIO, layout: WavLayout, start: int, stop: int) -> npt.NDArray[Any]:
    """Frames ``start`` to ``stop`` as a (frames, channels) array of the stored type."""
    count = stop - start
    f.seek(layout.data_offset + start * layout.frame_bytes)
    raw = f.read(count * layout.frame_bytes)
    if len(raw) != count * layout.frame_bytes:
        raise FormatError("the WAV file ended before its last frame")
    if layout.floating:
        return np.frombuffer(raw, f"<f{layout.bits // 8}").astype(stored_dtype(layout.bits, True)).reshape(count, -1)
    if layout.bits == 24:
        b = np.frombuffer(raw, np.uint8).reshape(-1, 3).astype(np.int32)
        values = b[:, 0] | (b[:, 1] << 8) | (b[:, 2] << 16)
        return np.where(values >= 1 << 23, values - (1 << 24), values).astype(np.int32).reshape(count, -1)
    kind = {8: "u1", 16: "<i2", 32: "<i4"}[layout.bits]
    return np.frombuffer(raw, kind).astype(stored_dtype(layout.bits, False)).reshape(count, -1)


def write_wav(f: BinaryIO, blocks: Iterable[npt.NDArray[Any]], frames: int, channels: int, rate: int, bits: int,
              floating: bool) -> None:
    """``frames`` frames, given as (frames, channels) blocks in order, as a WAV file of the given
    sample format; integer formats take the values rounded and clipped to their range."""
    width = bits // 8
    data_bytes = frames * channels * width
    if data_bytes + 60 > 0xFFFFFFFF:
        raise ValueError(f"{data_bytes} bytes of samples are more than a WAV file holds (4 GiB): write a .npy file")
    tag = _FLOAT if floating else _PCM
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * width, channels * width, bits)
    fact = b"fact" + struct.pack("<II", 4, frames) if floating else b""
    f.write(b"RIFF" + struct.pack("<I", 4 + 24 + len(fact) + 8 + data_bytes + data_bytes % 2) + b"WAVE")
    f.write(b"fmt " + struct.pack("<I", 16) + fmt + fact + b"data" + struct.pack("<I", data_bytes))
    for block in blocks:
        f.write(_encoded(block, bits, floating))
    if data_bytes % 2:
        f.write(b"\0")


def _encoded(block: npt.NDArray[Any], bits: int, floating: bool) -> bytes:
    if floating:
        return np.ascontiguousarray(block, f"<f{bits // 8}").tobytes()
    low, high = {8: (0, 255), 16: (-(1 << 15), (1 << 15) - 1), 24: (-(1 << 23), (1 << 23) - 1),
                 32: (-(1 << 31), (1 << 31) - 1)}[bits]
    values = np.clip(np.rint(block.astype(np.float64)), low, high).astype(np.int64)
    if bits == 24:
        v = (values & 0xFFFFFF).astype(np.uint32).reshape(-1)
        return np.stack([v & 0xFF, (v >> 8) & 0xFF, v >> 16], axis=1).astype(np.uint8).tobytes()
    return values.astype({8: "u1", 16: "<i2", 32: "<i4"}[bits]).tobytes()
