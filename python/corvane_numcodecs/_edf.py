"""EDF and BDF recordings through pyedflib: the digital samples, one group per sample rate.

Each group is a (time, channels) integer array (int16 for EDF, int32 for BDF's
24-bit samples) with the channels' labels, units, physical and digital ranges,
filters and transducers as attributes; the file's header, data record length
and annotations are kept with the recording, so the file can be written again.
"""

from __future__ import annotations

import datetime as _dt
import importlib
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from ._recordings import Recording, Signals, UsageError

__all__ = ["read_edf", "write_edf"]

_CHANNEL_FIELDS = ("label", "dimension", "physical_min", "physical_max", "digital_min", "digital_max",
                   "prefilter", "transducer")


def _pyedflib() -> Any:
    try:
        return importlib.import_module("pyedflib")
    except ModuleNotFoundError:
        raise UsageError("EDF and BDF files need pyedflib: pip install 'corvane[edf]'") from None


def read_edf(path: str) -> Recording:
    pyedflib = _pyedflib()
    try:
        reader = pyedflib.EdfReader(path)
    except OSError as exc:
        raise ValueError(f"not a readable EDF or BDF file: {exc}") from None
    bdf = reader.filetype in (pyedflib.FILETYPE_BDF, pyedflib.FILETYPE_BDFPLUS)
    dtype = np.dtype(np.int32 if bdf else np.int16)
    headers = reader.getSignalHeaders()
    if not headers:
        reader.close()
        raise ValueError("an EDF or BDF file without signals")
    counts = reader.getNSamples()
    by_rate: dict[float, list[int]] = {}
    for channel, header in enumerate(headers):
        by_rate.setdefault(float(header["sample_frequency"]), []).append(channel)
    groups = []
    for rate, channels in by_rate.items():
        length = min(int(counts[c]) for c in channels)

        def read(start: int, stop: int, channels: list[int] = channels) -> npt.NDArray[Any]:
            block = np.empty((stop - start, len(channels)), dtype)
            for i, c in enumerate(channels):
                block[:, i] = reader.readSignal(c, start, stop - start, digital=True)
            return block

        attrs = {"sample_rate": rate, "channels": [headers[c]["label"] for c in channels],
                 "units": [headers[c]["dimension"] for c in channels], "edf_channel_numbers": channels,
                 "edf_signals": [{k: headers[c][k] for k in _CHANNEL_FIELDS} for c in channels]}
        groups.append(Signals(f"signals_{rate:g}Hz", (length, len(channels)), dtype, 0, attrs, read))
    header = {k: v for k, v in reader.getHeader().items() if k != "gender"}
    header["startdate"] = header["startdate"].isoformat()
    if isinstance(header.get("birthdate"), (_dt.date, _dt.datetime)):
        header["birthdate"] = header["birthdate"].isoformat()
    onsets, durations, texts = reader.readAnnotations()
    attrs = {"edf_header": header, "edf_file_type": int(reader.filetype),
             "edf_record_duration": float(reader.datarecord_duration),
             "annotations": [[float(o), float(d), str(t)] for o, d, t in zip(onsets, durations, texts)]}
    return Recording("bdf" if bdf else "edf", groups, attrs, reader.close)


def write_edf(path: str, file_attrs: dict[str, Any], groups: Iterable[tuple[dict[str, Any], npt.NDArray[Any]]]) -> None:
    """Writes the groups' digital samples back as the EDF or BDF file they came from."""
    pyedflib = _pyedflib()
    channels: dict[int, tuple[dict[str, Any], npt.NDArray[Any]]] = {}
    for attrs, samples in groups:
        if "edf_signals" not in attrs:
            raise UsageError("only a store made from an EDF or BDF file can be written as one")
        for column, (number, signal) in enumerate(zip(attrs["edf_channel_numbers"], attrs["edf_signals"])):
            channels[number] = ({**signal, "sample_frequency": attrs["sample_rate"]}, samples[:, column])
    order = sorted(channels)
    bdf = path.lower().endswith(".bdf")
    plus = file_attrs.get("edf_file_type", 1) in (pyedflib.FILETYPE_EDFPLUS, pyedflib.FILETYPE_BDFPLUS)
    file_type = {(False, False): pyedflib.FILETYPE_EDF, (False, True): pyedflib.FILETYPE_EDFPLUS,
                 (True, False): pyedflib.FILETYPE_BDF, (True, True): pyedflib.FILETYPE_BDFPLUS}[bdf, plus]
    writer = pyedflib.EdfWriter(path, len(order), file_type=file_type)
    try:
        writer.setSignalHeaders([channels[c][0] for c in order])
        header = dict(file_attrs.get("edf_header", {}))
        if header.get("startdate"):
            header["startdate"] = _dt.datetime.fromisoformat(header["startdate"])
        if header.get("birthdate"):
            header["birthdate"] = _dt.date.fromisoformat(str(header["birthdate"])[:10])
        writer.setHeader(header)
        if file_attrs.get("edf_record_duration", 1.0) != 1.0:
            with warnings.catch_warnings():  # the duration is the one the file was read with
                warnings.simplefilter("ignore")
                writer.setDatarecordDuration(file_attrs["edf_record_duration"])
        for onset, duration, text in file_attrs.get("annotations", []):
            writer.writeAnnotation(onset, duration, text)
        writer.writeSamples([np.ascontiguousarray(channels[c][1], np.int32) for c in order], digital=True)
    finally:
        writer.close()
