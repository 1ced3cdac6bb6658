"""corvane as an HDF5 filter, for h5py and every program that reads HDF5.

Importing this module registers the filter with the HDF5 library h5py has
loaded (when h5py is installed), so that datasets written with it read back in this process::

    import h5py
    from corvane_hdf5 import Corvane

    with h5py.File("rec.h5", "w") as f:
        f.create_dataset("ecg", data=x, chunks=(65536,), **Corvane(prd=1.0))

Every chunk holds exactly what ``corvane_numcodecs.Corvane`` writes for it with
the same settings and the dataset's dtype, so a chunk read raw out of the file
decodes with that codec too. Programs outside Python (``h5dump``, ``h5repack``,
C programs) load the same filter from :data:`PLUGIN_PATH` when the environment
variable ``HDF5_PLUGIN_PATH`` names that folder (``python -m corvane_hdf5
--plugin-path`` prints it).

The filter id, :data:`FILTER_ID`, is provisional: it lies in the range HDF5
leaves for filters under test, until HDF5 assigns one to corvane.
"""

from __future__ import annotations

import ctypes
import operator
from collections.abc import Mapping
from pathlib import Path
from typing import Any, Iterator, Literal, SupportsFloat, SupportsIndex, Union

import corvane

try:
    import h5py  # type: ignore[import-untyped]
except ImportError:  # the plugin still serves HDF5_PLUGIN_PATH
    h5py = None

__all__ = ["Corvane", "FILTER_ID", "PLUGIN_PATH", "last_failure"]

_Method = Literal["cdf97", "cdf53", "db4", "sym4"]
_Cutoff = Literal["low", "medium", "high"]
_Coder = Literal["auto", "deflate", "arans", "cmodel"]

PLUGIN_PATH = str(Path(__file__).resolve().parent / "plugins")
"""The folder holding the filter plugin, for ``HDF5_PLUGIN_PATH``."""


def _load() -> ctypes.CDLL:
    plugins = sorted(Path(PLUGIN_PATH).glob("libcorvane_h5filter*.so"))
    if not plugins:
        raise ImportError(f"the corvane HDF5 filter plugin is missing from {PLUGIN_PATH}; reinstall corvane")
    lib = ctypes.CDLL(str(plugins[0]))
    lib.H5PLget_plugin_info.restype = ctypes.c_void_p
    lib.corvane_h5_bind.argtypes = [ctypes.c_char_p]
    lib.corvane_h5_last_failure.restype = ctypes.c_char_p
    lib.corvane_h5_settings.argtypes = [
        ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_double, ctypes.c_char_p,
        ctypes.c_double, ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_uint), ctypes.c_size_t,
        ctypes.c_char_p, ctypes.c_size_t,
    ]
    return lib


_plugin = _load()

FILTER_ID: int = _plugin.corvane_h5_filter_id()
"""The HDF5 filter id under which corvane is registered (provisional)."""


def _register() -> None:
    if h5py is None:
        return
    # The filter must call the HDF5 library h5py uses, which h5py's wheels load
    # privately: the plugin finds it through one of h5py's extension modules.
    if _plugin.corvane_h5_bind(h5py.h5z.__file__.encode()) != 0:
        raise ImportError(f"no HDF5 library found behind h5py ({h5py.h5z.__file__})")
    h5py.h5z.register_filter(_plugin.H5PLget_plugin_info())


_register()


def last_failure() -> Union[str, None]:
    """Why the filter last refused a chunk or a dataset in this thread, or None.

    HDF5 puts the cause on its error stack; HDF5 2.0 drops what a filter puts
    there, so that h5py's error says only that the filter failed. This names it.
    """
    cause: bytes = _plugin.corvane_h5_last_failure()
    return cause.decode() or None


def _real(name: str, value: Union[SupportsFloat, SupportsIndex, None]) -> float:
    if value is None:
        return 0.0
    if isinstance(value, (str, bytes, bool)) or not hasattr(value, "__float__"):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return float(value)


class Corvane(Mapping[str, Any]):
    """The settings of the corvane filter, as keyword arguments of h5py's ``create_dataset``.

    ``f.create_dataset(name, data=x, chunks=..., **Corvane(...))`` codes every
    chunk with these settings; they are those of
    :class:`corvane_numcodecs.Corvane` and mean the same: ``method``,
    ``scale``, ``cutoff``, ``coder`` and ``quant_multiplier`` as in
    :class:`corvane.CompressionOptions`; ``axis``, lanes along that axis of a
    chunk, each its own stream (a (time, channels) dataset wants ``axis=0``);
    ``max_abs_error`` or ``prd``, an error target every chunk (every lane)
    keeps. The dataset's dtype and chunk shape are recorded by the filter.
    float32, float64, int8, int16, int32, uint8 and uint16 datasets are taken;
    error targets on all of them.

    A chunk the filter cannot code (an int32 sample beyond +-2**24, a target out
    of reach, samples that are not finite) is stored as it is, exactly, and
    marked so in its filter mask, since h5py makes every filter it is given by
    number optional; set mandatory through the low-level interface, the filter
    fails the write instead. ``last_failure()`` names the cause. Add ``fletcher32=True`` to have HDF5 checksum every stored
    chunk, so that damage is reported as such when the chunk is read.
    """

    def __init__(
        self,
        method: _Method = "cdf97",
        scale: SupportsIndex = 11,
        cutoff: _Cutoff = "low",
        coder: Union[_Coder, None] = None,
        quant_multiplier: Union[SupportsFloat, SupportsIndex, None] = None,
        *,
        axis: Union[SupportsIndex, None] = None,
        max_abs_error: Union[SupportsFloat, None] = None,
        prd: Union[SupportsFloat, None] = None,
    ) -> None:
        # The module's own checks and messages for the five settings it shares.
        corvane.CompressionOptions(method, scale, cutoff, coder, quant_multiplier)
        if max_abs_error is not None and prd is not None:
            raise ValueError("max_abs_error and prd exclude each other: give one target")
        target = "max_abs_error" if max_abs_error is not None else "prd" if prd is not None else ""
        bound = _real(target, max_abs_error if max_abs_error is not None else prd)
        if axis is not None:
            try:
                axis = operator.index(axis)
            except TypeError:
                raise TypeError(f"axis must be an integer or None, not {type(axis).__name__}") from None
        values = (ctypes.c_uint * 64)()
        message = ctypes.create_string_buffer(256)
        count = _plugin.corvane_h5_settings(
            method.encode(), operator.index(scale), cutoff.encode(), (coder or "auto").encode(),
            _real("quant_multiplier", quant_multiplier), target.encode(), bound, axis is not None,
            axis or 0, values, len(values), message, len(message),
        )
        if count < 0:
            raise ValueError(message.value.decode())
        self.method, self.scale, self.cutoff, self.coder = method, operator.index(scale), cutoff, coder
        self.quant_multiplier = None if quant_multiplier is None else float(quant_multiplier)
        self.axis, self.max_abs_error, self.prd = axis, max_abs_error, prd
        self._opts = tuple(values[:count])
        self._kwargs: dict[str, Any] = {"compression": FILTER_ID, "compression_opts": self._opts}

    @property
    def filter_id(self) -> int:
        return FILTER_ID

    @property
    def filter_options(self) -> tuple[int, ...]:
        """The filter's settings as HDF5 stores them (``cd_values``)."""
        return self._opts

    def __getitem__(self, key: str) -> Any:
        return self._kwargs[key]

    def __iter__(self) -> Iterator[str]:
        return iter(self._kwargs)

    def __len__(self) -> int:
        return len(self._kwargs)

    def __repr__(self) -> str:
        given = {name: getattr(self, name) for name in ("method", "scale", "cutoff", "coder", "quant_multiplier",
                                                         "axis", "max_abs_error", "prd")}
        shown = ", ".join(f"{name}={value!r}" for name, value in given.items() if value is not None)
        return f"Corvane({shown})"
