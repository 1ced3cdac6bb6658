"""HDF5 filter throughput: a long signal written and read through h5py, beside zarr and the peers' filters.

    python3 -m pip install ".[bench,hdf5,zarr]" hdf5plugin
    python3 bench/hdf5.py                    # 2**24 samples in 2**18-sample chunks
    python3 bench/hdf5.py --samples 4194304  # shorter

One float32 signal (the ECG recording of bench/compare.py, resampled beats) is
written as one chunked dataset and read back, in alternating rounds:

- corvane through its HDF5 filter (h5py), at the default settings;
- the same data through zarr (v3, corvane as the serializer), the same settings;
- the codec layer alone, chunk by chunk on one thread (the speed a filter that
  HDF5 runs serially is measured against);
- SZ3 and zfp through hdf5plugin's filters, each at the largest error corvane's
  file has (SZ3 with that absolute bound; zfp in accuracy mode with the largest
  tolerance whose result keeps it).

MB/s is of the raw samples (4 bytes each), the median of the rounds; reads open
the file afresh, so no chunk comes from a cache of HDF5's or zarr's. Files go
to a temporary folder; --out writes the figures as JSON.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
from compare import ecg_recording  # noqa: E402


def h5_writer(settings):
    import h5py

    def write(path, x, chunk):
        with h5py.File(path, "w") as f:
            f.create_dataset("x", data=x, chunks=(chunk,), **settings)

    def read(path):
        with h5py.File(path, "r") as f:
            return f["x"][...]

    return write, read


def zarr_writer(codec):
    import zarr

    def write(path, x, chunk):
        a = zarr.create_array(str(path), shape=x.shape, chunks=(chunk,), dtype="float32", serializer=codec,
                              compressors=None, overwrite=True)
        a[:] = x

    def read(path):
        return zarr.open_array(str(path), mode="r")[:]

    return write, read


def layer_alone(codec):
    store = {}

    def write(path, x, chunk):
        store[path] = [codec.encode(x[i : i + chunk]) for i in range(0, len(x), chunk)]
        path.write_bytes(b"".join(store[path]))  # kept for its size

    def read(path):
        return np.concatenate([codec.decode(c) for c in store[path]])

    return write, read


def size_of(path: Path) -> int:
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size if path.exists() else 0


def zfp_tolerance(x, chunk, bound, folder):
    """The largest zfp accuracy tolerance (halving from the bound) whose file keeps `bound`."""
    import hdf5plugin

    tolerance = bound
    for _ in range(12):
        write, read = h5_writer(hdf5plugin.Zfp(accuracy=tolerance))
        write(folder / "probe.h5", x, chunk)
        if np.max(np.abs(read(folder / "probe.h5").astype(np.float64) - x)) <= bound:
            return tolerance
        tolerance /= 2
    return tolerance


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--samples", type=int, default=1 << 24)
    parser.add_argument("--chunk", type=int, default=1 << 18)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--out", type=Path, help="write the figures here as JSON")
    args = parser.parse_args()

    import hdf5plugin
    from corvane_hdf5 import Corvane as Filter
    from corvane_numcodecs import Corvane as Codec
    from corvane_numcodecs.zarr3 import Corvane as Serializer

    x = ecg_recording(args.samples)
    folder = Path(tempfile.mkdtemp(prefix="corvane-hdf5-bench-"))
    h5_write, h5_read = h5_writer(Filter())
    h5_write(folder / "probe.h5", x, args.chunk)
    bound = float(np.max(np.abs(h5_read(folder / "probe.h5").astype(np.float64) - x)))
    contenders = {
        "corvane (HDF5 filter)": (h5_write, h5_read, "c.h5"),
        "corvane (zarr v3)": (*zarr_writer(Serializer()), "c.zarr"),
        "corvane (codec, 1 thread)": (*layer_alone(Codec()), "layer"),
        "SZ3 (hdf5plugin)": (*h5_writer(hdf5plugin.SZ3(absolute=bound)), "sz3.h5"),
        "zfp (hdf5plugin)": (*h5_writer(hdf5plugin.Zfp(accuracy=zfp_tolerance(x, args.chunk, bound, folder))),
                             "zfp.h5"),
    }
    times: dict[str, dict[str, list[float]]] = {name: {"write": [], "read": []} for name in contenders}
    figures = {}
    for _ in range(args.rounds):
        for name, (write, read, file) in contenders.items():
            path = folder / file
            start = time.perf_counter()
            write(path, x, args.chunk)
            middle = time.perf_counter()
            y = read(path)
            end = time.perf_counter()
            times[name]["write"].append(middle - start)
            times[name]["read"].append(end - middle)
            figures[name] = {"bytes": size_of(path), "max_abs_error": float(np.max(np.abs(y.astype(np.float64) - x)))}

    megabytes = x.nbytes / 1e6
    print(f"{args.samples} float32 samples in chunks of {args.chunk}, {args.rounds} rounds; "
          f"matched largest error {bound:.3g}")
    print(f"{'':28} {'write MB/s':>11} {'read MB/s':>10} {'ratio':>7} {'max |err|':>10}")
    for name, t in times.items():
        row = figures[name]
        row["write_mb_s"] = megabytes / statistics.median(t["write"])
        row["read_mb_s"] = megabytes / statistics.median(t["read"])
        ratio = x.nbytes / row["bytes"] if row["bytes"] else float("nan")
        row["ratio"] = ratio
        print(f"{name:28} {row['write_mb_s']:11.1f} {row['read_mb_s']:10.1f} {ratio:7.2f} "
              f"{row['max_abs_error']:10.3g}")
    if args.out:
        args.out.write_text(json.dumps({"samples": args.samples, "chunk": args.chunk, "bound": bound,
                                        "results": figures}, indent=1))


if __name__ == "__main__":
    main()
