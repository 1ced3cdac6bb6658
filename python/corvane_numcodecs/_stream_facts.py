"""What a stored chunk or stream was written with, read from its headers."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Union

from . import _native

__all__ = ["RefinementInfo", "StreamInfo", "Inspection", "inspect"]


@dataclass(frozen=True)
class RefinementInfo:
    """How a refined chunk corrects the samples of its base stream.

    ``kind`` is ``"integer"`` (each sample first rounded to the nearest
    integer, for integer chunks) or ``"float"``; corrections are whole
    multiples of ``step`` (1 for integers stored exactly); ``escapes`` samples
    are stored as they are; ``correction_bytes`` is what the corrections take.
    """

    kind: str
    step: float
    escapes: int
    correction_bytes: int


@dataclass(frozen=True)
class StreamInfo:
    """The header of one corvane stream.

    ``method`` and ``coder`` are the names the options take (the coder is the
    one the stream was coded with, never ``"auto"``); ``multiplier`` is the
    quantisation multiplier the payload is decoded with (``2**scale`` unless a
    multiplier was given or an error target chose one); ``minimum``,
    ``maximum`` and ``mean`` are the signal's range and mean as stored for its
    normalisation; ``payload_length`` is the coded payload's size and
    ``length`` the whole stream's, header included, in bytes. A refined chunk
    (one that meets a bound its base stream alone does not) reports its base
    stream's header, its whole length, and its ``refinement``; a plain stream
    has ``refinement`` None.
    """

    version: tuple[int, int]
    method: str
    levels: int
    scale: int
    coder: str
    samples: int
    multiplier: float
    minimum: float
    maximum: float
    mean: float
    payload_length: int
    length: int
    refinement: Union[RefinementInfo, None] = None


@dataclass(frozen=True)
class Inspection:
    """The streams of a chunk: one, or one per lane, in the order stored."""

    streams: tuple[StreamInfo, ...]

    @property
    def lanes(self) -> int:
        """How many streams the chunk holds (1 for a chunk coded as one stream)."""
        return len(self.streams)

    @property
    def samples(self) -> int:
        """The samples of all its streams."""
        return sum(s.samples for s in self.streams)

    @property
    def nbytes(self) -> int:
        """The bytes its streams take."""
        return sum(s.length for s in self.streams)

    def __str__(self) -> str:
        lines = [f"{self.lanes} stream{'s' if self.lanes != 1 else ''}, {self.samples} samples in {self.nbytes} bytes"]
        lines += [_described(i, s) for i, s in enumerate(self.streams)]
        return "\n".join(lines)


def _described(index: int, s: StreamInfo) -> str:
    text = (f"  [{index}] {s.method}, {s.levels} levels, scale {s.scale}, {s.coder}, {s.samples} samples, "
            f"multiplier {s.multiplier:.7g}, payload {s.payload_length} bytes, "
            f"range {s.minimum:.7g} .. {s.maximum:.7g}, format {s.version[0]}.{s.version[1]}")
    r = s.refinement
    if r is not None:
        text += (f"; refined ({r.kind}, step {r.step:.7g}, {r.escapes} escapes, "
                 f"{r.correction_bytes} bytes of corrections)")
    return text


def inspect(data: Any) -> Inspection:
    """The header facts of every stream in ``data``, any bytes-like object.

    ``data`` is one corvane stream, a stored chunk (with lanes: their streams
    back to back) or a file's bytes. Only the headers are read, each checked
    as the decoder checks it; a header the decoder would refuse, a stream cut
    short or bytes after the last stream that do not begin another raise
    ``ValueError`` with the decoder's message.
    """
    return Inspection(tuple(_info(facts) for facts in _native.stream_facts(data)))


def _info(facts: dict[str, Any]) -> StreamInfo:
    refinement = facts.pop("refinement")
    return StreamInfo(**facts, refinement=None if refinement is None else RefinementInfo(**refinement))
