"""The HDF5 filter, from h5py and from HDF5's own tools.

A chunk in the file is exactly what the codec layer writes for it, reads back
in a fresh process (a read in the writing process could be served from HDF5's
chunk cache without decoding), keeps its target, and a damaged one fails.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")
numcodecs_layer = pytest.importorskip("corvane_numcodecs")
corvane_hdf5 = pytest.importorskip("corvane_hdf5")
from corvane_hdf5 import Corvane  # noqa: E402

# Reads with the import, or with nothing but HDF5_PLUGIN_PATH set (HDF5 then
# loads the plugin itself, and the plugin finds h5py's HDF5 from the call).
_READER = """
import os, sys, numpy as np, h5py
if "HDF5_PLUGIN_PATH" not in os.environ:
    import corvane_hdf5
with h5py.File(sys.argv[1], "r") as f:
    np.save(sys.argv[2], f["x"][...])
"""


def _signal(shape, dtype, seed=7):
    rng = np.random.default_rng(seed)
    walk = np.cumsum(rng.normal(size=shape), axis=0) * 40.0
    if np.dtype(dtype).kind in "iu":
        info = np.iinfo(dtype)
        return np.clip(walk + (info.min + info.max) / 2, info.min, info.max).astype(dtype)
    return walk.astype(dtype)


def _chunks(data, chunks):
    """(chunk offset, chunk samples padded with zeros to the chunk shape) for every chunk."""
    for index in np.ndindex(*(-(-n // c) for n, c in zip(data.shape, chunks))):
        start = tuple(i * c for i, c in zip(index, chunks))
        block = np.zeros(chunks, data.dtype)
        part = data[tuple(slice(s, s + c) for s, c in zip(start, chunks))]
        block[tuple(slice(0, n) for n in part.shape)] = part
        yield start, block


@pytest.mark.parametrize(
    ("shape", "chunks", "dtype", "settings"),
    [
        ((70000,), (32768,), "float32", {}),
        ((70000,), (32768,), "float64", {"prd": 1.5, "method": "db4"}),
        ((9000, 3), (4096, 3), "int16", {"axis": 0, "max_abs_error": 5}),
        ((9000, 3), (4096, 3), "uint16", {"axis": -1, "scale": 9}),
        ((5000,), (4096,), "uint8", {"coder": "arans"}),
        ((4, 3000, 2), (2, 2048, 2), "float32", {"axis": 1, "max_abs_error": 0.05}),
    ],
)
def test_chunks_are_the_codec_layers_streams_and_read_back_in_a_fresh_process(tmp_path, shape, chunks, dtype, settings):
    data = _signal(shape, dtype)
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=data, chunks=chunks, **Corvane(**settings))
    env = {k: v for k, v in os.environ.items() if k != "HDF5_PLUGIN_PATH"}
    if "axis" in settings:
        env["HDF5_PLUGIN_PATH"] = corvane_hdf5.PLUGIN_PATH
    subprocess.run([sys.executable, "-c", _READER, str(path), str(tmp_path / "x.npy")], check=True, env=env)
    read = np.load(tmp_path / "x.npy")
    assert read.dtype == data.dtype and read.shape == data.shape

    codec = numcodecs_layer.Corvane(dtype=dtype, **settings)
    decoded = np.empty_like(data)
    with h5py.File(path, "r") as f:
        dataset = f["x"]
        for start, block in _chunks(data, chunks):
            mask, raw = dataset.id.read_direct_chunk(start)
            assert mask == 0
            # Lanes along any axis: the codec that is told the chunk's shape.
            assert bytes(raw) == codec.encode(block, shape_known="axis" in settings)
            region = tuple(slice(s, s + c) for s, c in zip(start, chunks))
            inside = tuple(slice(0, n) for n in decoded[region].shape)
            decoded[region] = _decode(codec, raw, block)[inside]
    np.testing.assert_array_equal(read, decoded)
    if "max_abs_error" in settings:
        assert np.max(np.abs(read.astype(np.float64) - data)) <= settings["max_abs_error"]
    if "prd" in settings:
        for start, block in _chunks(data, chunks):
            got = read[start[0] : start[0] + chunks[0]]
            want = block[: len(got)].astype(np.float64)
            if len(got) == chunks[0]:  # a full chunk is the signal the target was met on
                err = 100 * np.linalg.norm(want - got) / np.linalg.norm(want - want.mean())
                assert err <= settings["prd"]


def _decode(codec, raw, block):
    """The chunk decoded by the codec layer, in the chunk's shape."""
    return np.asarray(codec.decode(bytes(raw), chunk_shape=block.shape)).reshape(block.shape)


def _h5dump_values(path, plugin_path):
    env = dict(os.environ)
    env.pop("HDF5_PLUGIN_PATH", None)
    if plugin_path is not None:
        env["HDF5_PLUGIN_PATH"] = plugin_path
    # -m: every value in full precision; -y: no index prefixes.
    done = subprocess.run(["h5dump", "-y", "-m", "%.9g", "-d", "/x", str(path)], env=env, capture_output=True,
                          text=True, check=False)
    body = done.stdout.split("DATA {", 1)[1].split("}", 1)[0]
    return [float(v) for v in body.replace(",", " ").split()]


@pytest.mark.skipif(shutil.which("h5dump") is None, reason="h5dump (Debian's hdf5-tools) is not installed")
def test_h5dump_prints_the_decoded_values_with_the_plugin_path(tmp_path):
    data = _signal((2, 3000), "float32").T.copy()
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        f.create_dataset("x", data=data, chunks=(2048, 2), **Corvane(axis=0))
    with h5py.File(path, "r") as f:
        want = f["x"][...]
    plugin = subprocess.run([sys.executable, "-m", "corvane_hdf5", "--plugin-path"], capture_output=True, text=True,
                            check=True).stdout.strip()
    assert Path(plugin).is_dir()
    np.testing.assert_array_equal(np.array(_h5dump_values(path, plugin), np.float32), want.ravel())
    # Without the plugin h5dump cannot decode, and prints no values (yet exits 0).
    assert _h5dump_values(path, None) == []


def test_a_damaged_chunk_fails_to_read(tmp_path):
    data = _signal((8192,), "float32")
    path = tmp_path / "x.h5"
    with h5py.File(path, "w") as f:
        plain = f.create_dataset("plain", data=data, chunks=(4096,), **Corvane())
        summed = f.create_dataset("summed", data=data, chunks=(4096,), fletcher32=True, **Corvane())
        where = {name: d.id.get_chunk_info(1).byte_offset for name, d in (("plain", plain), ("summed", summed))}
    with open(path, "r+b") as raw:
        raw.seek(where["plain"] + 16)  # the second chunk's sample count
        raw.write((1 << 20).to_bytes(4, "little"))
        raw.seek(where["summed"] + 21)  # a byte of its minimum: decodable, but wrong
        raw.write(b"\x5a")
    with h5py.File(path, "r") as f:
        for name in ("plain", "summed"):
            np.testing.assert_array_equal(f[name][:4096], f[name][:4096])  # the first chunk is sound
            with pytest.raises(OSError):
                f[name][4096:]


def test_a_chunk_or_dataset_the_filter_cannot_code_is_refused_or_kept_exactly(tmp_path):
    with h5py.File(tmp_path / "x.h5", "w") as f:
        with pytest.raises((ValueError, OSError)):
            f.create_dataset("wide", shape=(10,), dtype="int64", chunks=(5,), **Corvane())
        assert "takes little-endian float32" in corvane_hdf5.last_failure()
    # h5py makes the filter optional: a chunk it cannot code (here the last,
    # beyond +-2**24) is stored as it is, marked so in its filter mask.
    big = np.arange(30000, dtype=np.int32) * 640
    with h5py.File(tmp_path / "x.h5", "w") as f:
        f.create_dataset("big", data=big, chunks=(10000,), **Corvane(scale=12))
    assert "int32 sample 19199360 lies beyond +-2**24" in corvane_hdf5.last_failure()
    with h5py.File(tmp_path / "x.h5", "r") as f:
        d = f["big"]
        assert [d.id.get_chunk_info(i).filter_mask for i in range(3)] == [0, 0, 1]
        np.testing.assert_array_equal(d[20000:], big[20000:])
        assert np.max(np.abs(d[:20000] - big[:20000])) < 2 * 12800000 / 2**12
    # Made mandatory, the filter fails the write (a chunk leaving HDF5's chunk
    # cache is coded at once; a tiny cache makes that every chunk).
    noisy = np.random.default_rng(3).normal(size=30000).astype(np.float32)
    with h5py.File(tmp_path / "y.h5", "w") as f:
        dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        dcpl.set_chunk((10000,))
        dcpl.set_filter(corvane_hdf5.FILTER_ID, 0, Corvane(max_abs_error=1e-9)["compression_opts"])
        dapl = h5py.h5p.create(h5py.h5p.DATASET_ACCESS)
        dapl.set_chunk_cache(0, 0, 1.0)
        dataset = h5py.h5d.create(f.id, b"noisy", h5py.h5t.NATIVE_FLOAT, h5py.h5s.create_simple(noisy.shape),
                                  dcpl=dcpl, dapl=dapl)
        with pytest.raises(OSError):
            dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, noisy)
        assert "max_abs_error=1e-09 is out of reach" in corvane_hdf5.last_failure()
    for bad, message in [({"prd": -1.0}, "finite number of at least 0"), ({"method": "haar"}, "method"),
                         ({"max_abs_error": 1.0, "prd": 1.0}, "exclude each other")]:
        with pytest.raises(ValueError, match=message):
            Corvane(**bad)
