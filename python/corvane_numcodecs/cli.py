"""The ``corvane`` command: recordings in, zarr v3 stores out, and a look inside any stream.

    corvane compress IN OUT [--prd P | --max-abs-error E | --scale S] [--method M] [--coder C]
                            [--chunk N] [--stats] [--quiet]
    corvane decompress IN OUT [--array NAME]
    corvane info PATH

Failures are one line on stderr and exit status 1 (2 for a command line that
does not parse); nothing is left at OUT when a command fails.
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
import threading
import time
from collections.abc import Sequence
from typing import Any

import numpy as np

from . import _native, _recordings, _stores
from ._stream_facts import Inspection, inspect
from ._recordings import Signals, UsageError
from ._version import __version__

__all__ = ["main"]



def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line ``argv`` (``sys.argv[1:]`` when None); the exit status."""
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args) or 0)
    except KeyboardInterrupt:
        print("corvane: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`corvane info … | head`): stop quietly, as Unix tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (UsageError, ValueError, TypeError, OSError, MemoryError, KeyError) as exc:
        print(f"corvane: {_one_line(exc)}", file=sys.stderr)
        return 1


def _one_line(exc: BaseException) -> str:
    if isinstance(exc, FileNotFoundError) and exc.filename:
        return f"{exc.filename}: no such file or folder"
    if isinstance(exc, OSError) and exc.filename and exc.strerror:
        return f"{exc.filename}: {exc.strerror}"
    if isinstance(exc, MemoryError):
        return "out of memory"
    text = str(exc.args[0]) if isinstance(exc, KeyError) and exc.args else str(exc)
    return " ".join(text.split()) or type(exc).__name__


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane", description="Compress sampled signals (.npy, WAV, EDF/BDF) into zarr v3 stores of corvane "
        "streams, restore them, and show what any store, chunk or stream holds.")
    parser.add_argument("--version", action="version", version=f"corvane {__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    c = commands.add_parser("compress", help="a recording into a zarr v3 store (a folder, or a .zip file)",
                            description="Compress a .npy, WAV, EDF or BDF file into a zarr v3 store: one array per "
                            "group of signals (per sample rate for EDF), its metadata as attributes. Integer "
                            "samples (PCM up to 24 bits, EDF/BDF digital samples) are kept as integers, losslessly "
                            "unless a setting says otherwise; float samples take the codec's defaults.")
    c.add_argument("input", metavar="IN")
    c.add_argument("output", metavar="OUT", help="the store: a folder, or a single file when it ends in .zip")
    bound = c.add_mutually_exclusive_group()
    bound.add_argument("--prd", type=float, metavar="P", help="percent RMS difference (mean removed) at most P, "
                       "for every channel of every chunk")
    bound.add_argument("--max-abs-error", type=float, metavar="E",
                       help="every sample within E of the original, in the samples' stored units")
    bound.add_argument("--scale", type=int, metavar="S", help="quantisation step 2**-S of each channel's range, 6..12")
    c.add_argument("--method", choices=_native.METHODS, default="cdf97")
    c.add_argument("--coder", choices=_native.CODERS, default="auto")
    c.add_argument("--chunk", type=_positive, default=1 << 18, metavar="N",
                   help="samples per chunk along time (default 262144)")
    c.add_argument("--time-axis", type=int, default=None, metavar="AXIS",
                   help="the time axis of a .npy array (default: its longest)")
    c.add_argument("--stats", action="store_true", help="print the ratio, largest error, PRD and speed")
    c.add_argument("--quiet", "-q", action="store_true", help="no progress bar")
    c.add_argument("--force", "-f", action="store_true", help="replace OUT if it exists")
    c.set_defaults(run=_compress)

    d = commands.add_parser("decompress", help="a store back to a .npy, WAV, EDF or BDF file",
                            description="Restore a store written by 'corvane compress' as the file OUT names "
                            "(.npy, .wav, .edf or .bdf), with the metadata the store keeps.")
    d.add_argument("input", metavar="IN")
    d.add_argument("output", metavar="OUT")
    d.add_argument("--array", metavar="NAME", help="the array to restore, where the store holds several")
    d.add_argument("--force", "-f", action="store_true", help="replace OUT if it exists")
    d.set_defaults(run=_decompress)

    i = commands.add_parser("info", help="what a store, a chunk file or a stream file holds",
                            description="For a store: each array's shape, type, chunking, settings, stored bytes "
                            "and ratio, and its streams' header fields. For a chunk or stream file: the header "
                            "of every stream in it.")
    i.add_argument("path", metavar="PATH")
    i.set_defaults(run=_info)
    return parser


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _settings(args: argparse.Namespace) -> Any:
    def chosen(group: Signals) -> dict[str, Any]:
        settings: dict[str, Any] = {"method": args.method}
        if args.coder != "auto":
            settings["coder"] = args.coder
        if args.prd is not None:
            settings["prd"] = args.prd
        elif args.max_abs_error is not None:
            settings["max_abs_error"] = args.max_abs_error
        elif args.scale is not None:
            settings["scale"] = args.scale
        elif group.dtype.kind in "iu":
            # Integers are kept exactly unless told otherwise.
            settings["max_abs_error"] = 0.0
        return settings

    return chosen


def _compress(args: argparse.Namespace) -> int:
    if os.path.splitext(args.output)[1].lower() in _recordings.OUTPUT_FORMATS:
        raise UsageError(f"OUT is the store to write, a folder or a .zip file, not {args.output!r}")
    recording = _recordings.read_recording(args.input, args.time_axis)
    try:
        total = sum(int(np.prod(g.shape)) * g.dtype.itemsize for g in recording.groups)
        attrs = {**recording.attrs, "source": os.path.basename(args.input), "format": recording.format,
                 "written_by": f"corvane {__version__}"}
        bar = _Progress(total, "compress", not args.quiet and sys.stderr.isatty())
        with _stores.staged_output(args.output, args.force, folder=True) as staged:
            started = time.perf_counter()
            try:
                written = _stores.write_store(staged, recording, _settings(args), args.chunk, attrs, bar.advance)
            except ValueError as exc:
                raise _with_hint(exc, args, recording) from None
            finally:
                bar.done()
            seconds = time.perf_counter() - started
            if args.stats:
                _print_stats(staged, recording, written, seconds)
    finally:
        recording.close()
    return 0


def _with_hint(exc: ValueError, args: argparse.Namespace, recording: _recordings.Recording) -> ValueError:
    """The refusal, and what to do about it where the bound was not the user's own."""
    chosen = args.prd is not None or args.max_abs_error is not None or args.scale is not None
    if chosen or not hasattr(exc, "best") or all(g.dtype.kind == "f" for g in recording.groups):
        return exc
    return ValueError(f"{exc}; integer samples are kept exactly unless told otherwise: give --max-abs-error, "
                      "--prd or --scale")


def _print_stats(store: str, recording: _recordings.Recording, written: list[_stores.Written], seconds: float) -> None:
    zarr = _stores.zarr_module()
    root = zarr.open_group(store, mode="r", zarr_format=3)
    total_in = total_stored = 0
    for group, made in zip(recording.groups, written):
        array = root[group.name]
        accuracy = _stores.Accuracy()
        chunk = array.chunks[group.time_axis]
        for start, stop in _recordings.blocks(group, chunk):
            index = _recordings.along_time(len(group.shape), group.time_axis, start, stop)
            accuracy.add(group.read(start, stop), array[index], made.mean, group.time_axis)
        stored = sum(len(data) for _, data in _stores.stored_chunks(store, group.name))
        total_in, total_stored = total_in + made.nbytes, total_stored + stored
        print(f"{group.name}: {'x'.join(map(str, group.shape))} {group.dtype}, {made.nbytes} bytes -> {stored}: "
              f"ratio {made.nbytes / max(stored, 1):.3f}, largest error {accuracy.largest:.6g}, "
              f"PRD {accuracy.prd:.4g} %")
    print(f"total: {total_in} bytes -> {total_stored}: ratio {total_in / max(total_stored, 1):.3f}, "
          f"{seconds:.2f} s, {total_in / 1e6 / max(seconds, 1e-9):.1f} MB/s")


def _decompress(args: argparse.Namespace) -> int:
    ext = os.path.splitext(args.output)[1].lower()
    if ext not in _recordings.OUTPUT_FORMATS:
        raise UsageError(f"cannot write {args.output!r}: name a {', '.join(_recordings.OUTPUT_FORMATS)} file")
    with _stores.open_store(args.input) as store:
        file_attrs = dict(store.attrs.get("corvane", {}))
        names = list(store.arrays)
        if args.array is not None:
            if args.array not in names:
                raise UsageError(f"no array {args.array!r} in {args.input}; it holds {', '.join(names)}")
            names = [args.array]
        if not names:
            raise ValueError(f"{args.input}: a store without arrays")

        groups = [_stored_group(store.arrays[name], name, args.input) for name in names]
        step = max(store.arrays[g.name].chunks[g.time_axis] for g in groups) * _stores.workers()
        with _stores.staged_output(args.output, args.force, folder=False) as staged:
            _recordings.write_recording(staged, file_attrs, groups, step)
    return 0


def _stored_group(array: Any, name: str, path: str) -> Signals:
    """An array of a store as a group whose blocks decode on every core."""
    attrs = dict(array.attrs)
    time_axis = int(attrs.get("time_axis", 0))
    return Signals(name, tuple(array.shape), np.dtype(array.dtype), time_axis, attrs,
                   functools.partial(_decoded, array, time_axis, path, name))


def _decoded(array: Any, time_axis: int, path: str, name: str, start: int, stop: int) -> Any:
    try:
        return array[_recordings.along_time(array.ndim, time_axis, start, stop)]
    except ValueError as exc:
        raise ValueError(f"{path}, array {name}: damaged stream: {exc}") from None


def _info(args: argparse.Namespace) -> int:
    path = args.path
    if os.path.isdir(path) or (os.path.isfile(path) and path.lower().endswith(".zip")):
        print(_store_info(path))
        return 0
    with open(path, "rb") as f:
        data = f.read()
    try:
        facts = inspect(data)
    except ValueError as exc:
        raise ValueError(f"{path}: not a corvane stream, or a damaged one: {exc}") from None
    print(f"{path}: {facts}")
    return 0


def _store_info(path: str) -> str:
    """What ``info`` prints for a store; gathered whole, so a damaged chunk prints nothing but the error."""
    lines = []
    with _stores.open_store(path) as store:
        made = store.attrs.get("corvane", {})
        if made:
            lines.append(f"{path}: made from {made.get('source')} ({made.get('format')}) by {made.get('written_by')}")
        for name, array in store.arrays.items():
            attrs = dict(array.attrs)
            nbytes = int(np.prod(array.shape)) * array.dtype.itemsize
            settings, unread = _stores.corvane_settings(array)
            streams: list[Inspection] = []
            stored = count = 0
            for key, data in _stores.stored_chunks(path, name):
                stored, count = stored + len(data), count + 1
                try:
                    streams += [] if unread else [inspect(data)]
                except ValueError as exc:
                    raise ValueError(f"{path}, chunk {key}: damaged stream: {exc}") from None
            lines.append(f"{name or '(the root array)'}: shape {tuple(array.shape)} {array.dtype}, chunks "
                         f"{tuple(array.chunks)}, {count} chunks stored, {stored} bytes of {nbytes}: ratio "
                         f"{nbytes / max(stored, 1):.3f}")
            if settings:
                lines.append(f"  settings: {_settings_text(settings)}")
            lines += [f"  {key}: {_short(attrs[key])}" for key in ("sample_rate", "channels", "units") if key in attrs]
            lines.append(f"  streams not read: {unread}" if unread else _streams_summary(streams))
    return "\n".join(lines)


def _settings_text(settings: dict[str, Any]) -> str:
    if "prd" in settings or "max_abs_error" in settings:
        # A target chooses the step and the dead zone chunk by chunk: the streams say which.
        settings = {k: v for k, v in settings.items() if k not in ("scale", "cutoff")}
    return ", ".join(f"{k}={v}" for k, v in settings.items())


def _short(value: Any, most: int = 8) -> str:
    if isinstance(value, list) and len(value) > most:
        return ", ".join(map(str, value[:most])) + f", ... ({len(value)} in all)"
    return ", ".join(map(str, value)) if isinstance(value, list) else str(value)


def _streams_summary(chunks: list[Inspection]) -> str:
    every = [s for chunk in chunks for s in chunk.streams]
    if not every:
        return "  no chunks stored (every sample is the fill value)"

    def span(values: list[Any], fmt: str = "{}") -> str:
        low, high = min(values), max(values)
        return fmt.format(low) if low == high else f"{fmt.format(low)} to {fmt.format(high)}"

    refined = [s.refinement for s in every if s.refinement is not None]
    lanes = sorted({c.lanes for c in chunks})
    return (f"  streams: {len(every)} ({span(lanes)} per chunk), method {span([s.method for s in every])}, "
            f"coder {span([s.coder for s in every])}, levels {span([s.levels for s in every])}, "
            f"scale {span([s.scale for s in every])}, multiplier {span([s.multiplier for s in every], '{:.6g}')}, "
            f"payload {span([s.payload_length for s in every])} bytes" + (
                f"\n  refined: {len(refined)} of {len(every)} streams, {span([r.kind for r in refined])}, step "
                f"{span([r.step for r in refined], '{:.6g}')}, {sum(r.escapes for r in refined)} escapes, "
                f"{sum(r.correction_bytes for r in refined)} bytes of corrections" if refined else ""))


class _Progress:
    """A progress bar on stderr, drawn only when asked (a terminal, not --quiet)."""

    def __init__(self, total: int, what: str, shown: bool) -> None:
        self.total, self.what, self.shown = max(total, 1), what, shown
        self.done_bytes = 0
        self.started = time.perf_counter()
        self.lock = threading.Lock()

    def advance(self, nbytes: int) -> None:
        with self.lock:
            self.done_bytes += nbytes
            if self.shown:
                share = min(self.done_bytes / self.total, 1.0)
                rate = self.done_bytes / 1e6 / max(time.perf_counter() - self.started, 1e-9)
                bar = "#" * int(share * 30)
                sys.stderr.write(f"\r{self.what} [{bar:<30}] {share:4.0%} {rate:7.1f} MB/s")
                sys.stderr.flush()

    def done(self) -> None:
        if self.shown:
            sys.stderr.write("\n")


