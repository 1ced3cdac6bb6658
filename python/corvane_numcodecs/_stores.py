"""zarr v3 stores of recordings: one array per group, coded in chunks on every core.

A store is a folder, or a single .zip file (the folder's entries, stored
uncompressed: the chunks are compressed already). The root group's ``corvane``
attribute holds what the recording's file said beyond its groups (the source,
its format, an EDF header); each array's attributes hold its group's metadata
and the settings it was coded with.
"""

from __future__ import annotations

import functools
import os
import shutil
import tempfile
import zipfile
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from ._recordings import Recording, Signals, UsageError, along_time, blocks

__all__ = ["zarr_module", "write_store", "open_store", "stored_chunks", "Accuracy", "staged_output"]


def zarr_module() -> Any:
    """zarr, or a UsageError naming the extra that brings it."""
    try:
        import zarr
    except ModuleNotFoundError:
        raise UsageError("corvane stores need zarr: pip install 'corvane[zarr]'") from None
    return zarr


def workers() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


@dataclass
class Accuracy:
    """The error of decoded samples against the originals, gathered block by block.

    PRD is taken per channel (every position off the time axis), the mean
    removed, and the largest is reported: a target holds for each channel.
    """

    largest: float = 0.0
    squared_error: Any = 0.0
    squared_spread: Any = 0.0

    def add(self, original: npt.NDArray[Any], decoded: npt.NDArray[Any], mean: Any, time_axis: int) -> None:
        x = original.astype(np.float64)
        d = decoded.astype(np.float64) - x
        if d.size:
            self.largest = max(self.largest, float(np.max(np.abs(d))))
        self.squared_error = self.squared_error + np.sum(d * d, axis=time_axis)
        spread = x - np.expand_dims(mean, time_axis)
        self.squared_spread = self.squared_spread + np.sum(spread * spread, axis=time_axis)

    @property
    def prd(self) -> float:
        error = np.asarray(self.squared_error, np.float64)
        spread = np.asarray(self.squared_spread, np.float64)
        with np.errstate(divide="ignore", invalid="ignore"):
            prd = np.where(error == 0, 0.0, 100.0 * np.sqrt(error) / np.sqrt(spread))
        return float(np.max(prd))


@dataclass
class Written:
    """What writing one group took: its input bytes and the per-channel means its stats need."""

    name: str
    nbytes: int
    mean: Any = field(default=0.0)


def write_store(path: str, recording: Recording, settings: Callable[[Signals], dict[str, Any]], chunk: int,
                root_attrs: dict[str, Any], progress: Callable[[int], None]) -> list[Written]:
    """Writes every group of ``recording`` as an array of the zarr v3 store at ``path`` (a new folder).

    Blocks of ``chunk`` samples are read in order and coded on every core, a
    few in flight at a time; ``progress`` is told each block's input bytes.
    """
    zarr = zarr_module()
    from .zarr3 import Corvane as CorvaneV3

    root = zarr.open_group(zarr.storage.LocalStore(path), mode="w", zarr_format=3)
    root.attrs["corvane"] = root_attrs
    written = []
    with ThreadPoolExecutor(workers()) as pool:
        for group in recording.groups:
            chosen = settings(group)
            axis = group.time_axis if len(group.shape) > 1 else None
            chunks = tuple(min(chunk, n) if i == group.time_axis else n for i, n in enumerate(group.shape))
            array = root.create_array(group.name, shape=group.shape, dtype=group.dtype, chunks=chunks,
                                      serializer=CorvaneV3(axis=axis, **chosen), compressors=None, fill_value=0)
            array.attrs.update({**group.attrs, "time_axis": group.time_axis, "settings": chosen})
            sums: Any = 0.0
            pending: list[Future[None]] = []
            for start, stop in blocks(group, chunks[group.time_axis]):
                samples = group.read(start, stop)
                sums = sums + np.sum(samples, axis=group.time_axis, dtype=np.float64)
                index = along_time(len(group.shape), group.time_axis, start, stop)
                pending.append(pool.submit(_store_block, array, index, samples, group.name, start, stop))
                pending[-1].add_done_callback(functools.partial(_told, progress, samples.nbytes))
                if len(pending) > workers():
                    pending.pop(0).result()
            for future in pending:
                future.result()
            nbytes = int(np.prod(group.shape)) * group.dtype.itemsize
            written.append(Written(group.name, nbytes, sums / max(group.length, 1)))
    return written


def _told(progress: Callable[[int], None], nbytes: int, _: Future[None]) -> None:
    progress(nbytes)


def _store_block(array: Any, index: tuple[slice, ...], samples: npt.NDArray[Any], name: str, start: int,
                 stop: int) -> None:
    try:
        array[index] = samples
    except ValueError as exc:
        located = ValueError(f"{name}, samples {start} to {stop}: {exc}")
        if hasattr(exc, "best"):  # a target out of reach: the smallest error reachable travels on
            located.best = exc.best  # type: ignore[attr-defined]
        raise located from None


@dataclass
class OpenStore:
    """A store opened for reading: the root's attributes and its arrays by path ("" for a root array)."""

    attrs: dict[str, Any]
    arrays: dict[str, Any]


@contextmanager
def open_store(path: str) -> Iterator[OpenStore]:
    """The store at ``path`` (a folder or a .zip file), read-only."""
    zarr = zarr_module()
    if not os.path.exists(path):
        raise FileNotFoundError(2, "no such file or folder", path)
    if os.path.isdir(path):
        store = zarr.storage.LocalStore(path, read_only=True)
    elif zipfile.is_zipfile(path):
        store = zarr.storage.ZipStore(path, mode="r")
    else:
        raise ValueError(f"{path}: not a corvane store (a zarr v3 folder or .zip file)")
    try:
        try:
            root = zarr.open(store, mode="r", zarr_format=3)
        except (FileNotFoundError, KeyError, ValueError) as exc:
            raise ValueError(f"{path}: not a corvane store (a zarr v3 folder or .zip file): {exc}") from None
        if isinstance(root, zarr.Array):
            yield OpenStore(dict(root.attrs), {"": root})
        else:
            yield OpenStore(dict(root.attrs), dict(sorted(root.arrays())))
    finally:
        store.close()


def corvane_settings(array: Any) -> tuple[dict[str, Any], str | None]:
    """The settings of an array's corvane serializer, and None when its chunks are corvane
    streams as stored, else why they are not."""
    from .zarr3 import Corvane as CorvaneV3

    codecs = list(getattr(array.metadata, "codecs", ()))
    at = next((i for i, c in enumerate(codecs) if isinstance(c, CorvaneV3)), None)
    if at is None:
        return {}, "its chunks are not corvane streams"
    settings = dict(codecs[at].configuration)
    if at + 1 < len(codecs):
        return settings, f"its streams are stored behind {', '.join(type(c).__name__ for c in codecs[at + 1:])}"
    return settings, None


def stored_chunks(path: str, name: str) -> Iterator[tuple[str, bytes]]:
    """The chunk files of array ``name`` in the store at ``path``: (key, bytes), in key order."""
    prefix = f"{name}/c/" if name else "c/"
    if os.path.isdir(path):
        top = os.path.join(path, *name.split("/"), "c")
        found = []
        for folder, _, files in os.walk(top):
            found += [os.path.join(folder, f) for f in files]
        for file in sorted(found):
            with open(file, "rb") as f:
                yield prefix + os.path.relpath(file, top).replace(os.sep, "/"), f.read()
    else:
        with zipfile.ZipFile(path) as archive:
            for key in sorted(n for n in archive.namelist() if n.startswith(prefix)):
                yield key, archive.read(key)


@contextmanager
def staged_output(out: str, force: bool, folder: bool) -> Iterator[str]:
    """A temporary sibling of ``out`` to write, renamed to ``out`` once the block has run through;
    removed when it fails, so nothing half-written is ever at ``out``. A .zip ``out`` is staged as a
    folder and zipped."""
    out = os.path.abspath(out)
    parent = os.path.dirname(out)
    if not os.path.isdir(parent):
        raise FileNotFoundError(f"{parent}: no such folder to write into")
    if os.path.lexists(out) and not force:
        raise UsageError(f"{out} exists: give --force to replace it")
    zipped = out.lower().endswith(".zip") and folder
    staged = tempfile.mkdtemp(prefix=f".{os.path.basename(out)}.", suffix=".part", dir=parent)
    target = staged if folder else os.path.join(staged, "out" + os.path.splitext(out)[1])
    try:
        yield target
        if zipped:
            archive = os.path.join(staged + ".zip")
            with zipfile.ZipFile(archive, "w", zipfile.ZIP_STORED, allowZip64=True) as z:
                for folder_name, _, files in os.walk(staged):
                    for file in sorted(files):
                        full = os.path.join(folder_name, file)
                        z.write(full, os.path.relpath(full, staged).replace(os.sep, "/"))
            os.replace(archive, out) if not os.path.isdir(out) else _swap(archive, out)
        elif folder:
            _swap(staged, out)
            staged = ""
        else:
            os.replace(target, out) if not os.path.isdir(out) else _swap(target, out)
    finally:
        if staged:
            shutil.rmtree(staged, ignore_errors=True)
            if os.path.exists(staged + ".zip"):
                os.remove(staged + ".zip")


def _swap(new: str, out: str) -> None:
    """Puts ``new`` where ``out`` is, whatever ``out`` is (nothing, a file or a folder)."""
    if not os.path.lexists(out):
        os.rename(new, out)
        return
    old = tempfile.mkdtemp(prefix=f".{os.path.basename(out)}.", suffix=".old", dir=os.path.dirname(out))
    os.rename(out, os.path.join(old, "was"))
    os.rename(new, out)
    shutil.rmtree(old, ignore_errors=True)
