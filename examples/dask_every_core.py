"""Write a long multi-chunk recording to a zarr store through corvane with dask,
then read it back, on every core of this machine or of a local cluster.

Run after `pip install ".[dask]"` (zarr, dask and distributed beside the codec):

    python examples/dask_every_core.py                 # dask's threads
    python examples/dask_every_core.py --cluster 2     # two worker processes
    python examples/dask_every_core.py --out rec.zarr  # keep the store

Each chunk is one corvane stream, coded with the interpreter lock released, so
dask's threads code chunks side by side; a cluster ships the codec to its
workers by its settings, and they find it through the package's entry points.
"""

from __future__ import annotations

import argparse
import logging
import os
import tempfile
import time

import numpy as np

try:
    import dask.array as da
    import distributed  # noqa: F401  (for --cluster)
    import zarr
except ModuleNotFoundError as missing:
    raise ModuleNotFoundError(f"No module named {missing.name!r}: this example needs the dask extra, "
                              "pip install \".[dask]\" from the top of the source tree", name=missing.name) from None

from corvane_numcodecs.zarr3 import Corvane


def recording(n_chunks: int, chunk: int) -> da.Array:
    """A synthetic sensor recording, made chunk by chunk where the work runs."""

    def block(block_info=None):
        start, stop = block_info[None]["array-location"][0]
        rng = np.random.default_rng(start)
        t = np.arange(start, stop) / 1000.0
        x = np.sin(2 * np.pi * 1.3 * t) + 0.4 * np.sin(2 * np.pi * 17.0 * t) + 0.02 * rng.standard_normal(t.size)
        return x.astype(np.float32)

    return da.map_blocks(block, chunks=((chunk,) * n_chunks,), dtype=np.float32)


def run(path: str, n_chunks: int, chunk: int, compute: dict) -> None:
    signal = recording(n_chunks, chunk)
    array = zarr.create_array(path, shape=signal.shape, chunks=(chunk,), dtype="float32", fill_value=0.0,
                              serializer=Corvane(scale=11), compressors=None, overwrite=True)
    wall, cpu = time.perf_counter(), time.process_time()
    da.store(signal, array, lock=False, **compute)
    write_s = time.perf_counter() - wall
    write_cpu = time.process_time() - cpu

    wall, cpu = time.perf_counter(), time.process_time()
    restored = da.from_zarr(path).compute(**compute)
    read_s = time.perf_counter() - wall
    read_cpu = time.process_time() - cpu

    original = signal.compute(**compute)
    stored = sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(os.path.join(path, "c"))
                 for f in files)
    mb = original.nbytes / 1e6
    print(f"{n_chunks} chunks of {chunk} samples ({mb:.0f} MB of float32) -> {stored / 1e6:.1f} MB, "
          f"ratio {original.nbytes / stored:.1f}")
    print(f"largest error {np.max(np.abs(restored - original)):.2e} over a range of {np.ptp(original):.2f}")
    print(f"write {mb / write_s:7.1f} MB/s   read {mb / read_s:7.1f} MB/s")
    if "scheduler" in compute and compute["scheduler"] == "threads":
        # CPU time of this process over wall time: the cores the codec kept busy.
        print(f"cores busy: write {write_cpu / write_s:.2f}, read {read_cpu / read_s:.2f} "
              f"(of {os.cpu_count()})")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--chunks", type=int, default=32, help="number of chunks")
    ap.add_argument("--chunk-size", type=int, default=1 << 16, help="samples per chunk")
    ap.add_argument("--cluster", type=int, default=0, metavar="N", help="use a local cluster of N worker processes")
    ap.add_argument("--out", default=None, help="where to keep the store (default: a temporary folder)")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        path = args.out or os.path.join(scratch, "recording.zarr")
        if args.cluster:
            from distributed import Client, LocalCluster

            with LocalCluster(n_workers=args.cluster, threads_per_worker=1, processes=True,
                              dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
                print(f"local cluster of {args.cluster} worker processes")
                run(path, args.chunks, args.chunk_size, {"scheduler": client})
        else:
            print(f"dask's threads ({os.cpu_count()} cores)")
            run(path, args.chunks, args.chunk_size, {"scheduler": "threads"})


if __name__ == "__main__":
    main()
