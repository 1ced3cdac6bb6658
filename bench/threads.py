"""How the chunk codecs use more than one core: threads over chunks, and zarr.

    python3 -m pip install ".[bench,zarr]"
    python3 bench/threads.py                       # 2 threads, 8 x 1M chunks, 64-chunk zarr arrays
    python3 bench/threads.py --threads 4 --repeat 5

The chunk run codes 8 chunks of 1M float32 samples (--chunks, --chunk-size) once one
after the other and once mapped over a thread pool of --threads, with every
codec that has a numcodecs codec: corvane's, zfpy's (tolerance matched to
corvane's largest error on the first chunk) and Zstd on the raw samples, plus
the corvane module's own functions, which hold the interpreter lock for the
whole call. Serial and threaded runs alternate (--repeat of each, medians);
the table gives wall times, the speed-up and the cores busy (process CPU time
over wall time) of the threaded run, and how much of the threaded run had two
or more calls in progress at once (none for calls that hold the interpreter
lock, whatever else runs on the machine).

The store run writes and reads a zarr v3 array of --zarr-chunks chunks (in memory, so
the store costs nothing) with each codec as the array's serializer or
compressor, and reports throughput and cores busy; zarr runs the codecs in its
own thread pool. With zarr's fused pipeline (zarr 3.3 and later) each run is
repeated under it.

The figures depend on what else runs: the load average before and after is
printed with them. Writes the raw figures as JSON to --out (default: the temporary folder).
"""

from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import pathlib
import statistics
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import compare  # noqa: E402  (the signals and the tolerance tuning)

import corvane  # noqa: E402
from bench_output import output_path  # noqa: E402

SIGNAL = compare.multitone


def chunk_codecs(first_chunk):
    """(name, encode, decode) of each numcodecs codec, and the module's calls."""
    from numcodecs import Zstd

    from corvane_numcodecs import Corvane

    codecs = []
    codec = Corvane()
    codecs.append(("corvane (codec layer)", codec.encode, codec.decode))
    codecs.append(("corvane module (holds the lock)", corvane.compress_signal, corvane.decompress_signal))
    if compare.available("zfpy"):
        from numcodecs.zfpy import ZFPY

        target = compare.errors(first_chunk, codec.decode(codec.encode(first_chunk)))["max_abs_err"]
        tolerance = compare.tune(compare.zfp_codec, first_chunk, target, 1e-9, 1.0)
        zfp = ZFPY(tolerance=tolerance)
        codecs.append((f"zfpy (tolerance {tolerance:.2e})", zfp.encode, zfp.decode))
    zstd = Zstd(level=3)
    codecs.append(("zstd level 3 (lossless)", zstd.encode, zstd.decode))
    return codecs


def timed(work):
    """Wall and process CPU seconds of work()."""
    wall, cpu = time.perf_counter(), time.process_time()
    work()
    return time.perf_counter() - wall, time.process_time() - cpu


def overlap(spans):
    """The share of the time from the first call's start to the last one's end
    during which two or more calls were in progress."""
    events = sorted([(start, 1) for start, _ in spans] + [(end, -1) for _, end in spans])
    inside, since, shared = 0, 0.0, 0.0
    for at, step in events:
        if inside >= 2:
            shared += at - since
        inside += step
        since = at
    return shared / (events[-1][0] - events[0][0])


def compare_threads(fn, items, threads, repeat):
    """Medians of serial and threaded (wall, cpu) over alternating runs, and
    the median overlap of the threaded runs' calls. The threaded runs keep the
    interpreter from taking the lock off a thread by force, so a call that holds
    the lock throughout cannot overlap another, whatever the load; the overlap
    of calls that let go of it shows even when the machine is too busy to give
    the process a second core."""
    serial, threaded, overlaps = [], [], []
    spans = []

    def traced(item):
        start = time.perf_counter()
        result = fn(item)
        spans.append((start, time.perf_counter()))
        return result

    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(fn, items))  # warm-up: pool threads, first-call set-up
        for _ in range(repeat):
            serial.append(timed(lambda: [fn(item) for item in items]))
            spans.clear()
            interval = sys.getswitchinterval()
            sys.setswitchinterval(1000.0)
            try:
                threaded.append(timed(lambda: list(pool.map(traced, items))))
            finally:
                sys.setswitchinterval(interval)
            overlaps.append(overlap(spans))

    def medians(runs):
        return statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)

    return medians(serial), medians(threaded), statistics.median(overlaps)


def part_chunks(chunks, threads, repeat):
    rows = []
    for name, encode, decode in chunk_codecs(chunks[0]):
        blobs = [encode(c) for c in chunks]
        for op, fn, items in (("encode", encode, chunks), ("decode", decode, blobs)):
            (s_wall, _), (t_wall, t_cpu), shared = compare_threads(fn, items, threads, repeat)
            rows.append({"codec": name, "op": op, "serial_s": s_wall, "threaded_s": t_wall,
                         "speedup": s_wall / t_wall, "cores_busy": t_cpu / t_wall, "calls_overlap": shared})
    return rows


def zarr_setups(first_chunk):
    """(name, create_array keywords) per codec, for zarr's v3 format."""
    import zarr.codecs

    from corvane_numcodecs import Corvane as NumcodecsCorvane
    from corvane_numcodecs.zarr3 import Corvane

    setups = [("corvane", {"serializer": Corvane(), "compressors": None})]
    if compare.available("zfpy"):
        from zarr.codecs.numcodecs import ZFPY

        codec = NumcodecsCorvane()
        target = compare.errors(first_chunk, codec.decode(codec.encode(first_chunk)))["max_abs_err"]
        tolerance = compare.tune(compare.zfp_codec, first_chunk, target, 1e-9, 1.0)
        setups.append(("zfpy", {"serializer": ZFPY(tolerance=tolerance, mode=4), "compressors": None}))
    setups.append(("zstd level 3", {"compressors": zarr.codecs.ZstdCodec(level=3)}))
    return setups


def pipelines():
    yield "default", None
    try:
        from zarr.core.codec_pipeline import FusedCodecPipeline  # noqa: F401
    except ImportError:
        return
    yield "fused", "zarr.core.codec_pipeline.FusedCodecPipeline"


def part_zarr(n_chunks, chunk_size, repeat):
    import zarr

    data = SIGNAL(n_chunks * chunk_size)
    rows = []
    for pipeline, path in pipelines():
        for name, kwargs in zarr_setups(data[:chunk_size]):
            settings = {"codec_pipeline.path": path} if path else {}
            with zarr.config.set(settings), warnings.catch_warnings():
                warnings.simplefilter("ignore")  # the numcodecs wrappers warn on use
                writes, reads = [], []
                for _ in range(repeat + 1):  # the first run warms up
                    store = zarr.storage.MemoryStore()
                    array = zarr.create_array(store, shape=data.shape, chunks=(chunk_size,),
                                              dtype="float32", fill_value=0.0, **kwargs)
                    writes.append(timed(lambda: array.__setitem__(slice(None), data)))
                    reads.append(timed(lambda: array[:]))
                stored = sum(len(v) for k, v in store._store_dict.items() if k.startswith("c/"))
            mb = data.nbytes / 1e6
            for op, runs in (("write", writes[1:]), ("read", reads[1:])):
                wall = statistics.median(r[0] for r in runs)
                cpu = statistics.median(r[1] for r in runs)
                rows.append({"pipeline": pipeline, "codec": name, "op": op, "MBps": mb / wall,
                             "wall_s": wall, "cores_busy": cpu / wall, "ratio": data.nbytes / stored})
    return rows


def print_tables(chunk_rows, zarr_rows, threads):
    print(f"\n| codec | op | serial s | {threads} threads s | speed-up | cores busy | calls overlap |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for r in chunk_rows:
        print(f"| {r['codec']} | {r['op']} | {r['serial_s']:.3f} | {r['threaded_s']:.3f} | "
              f"{r['speedup']:.2f}x | {r['cores_busy']:.2f} | {100 * r['calls_overlap']:.0f}% |")
    if zarr_rows:
        print("\n| zarr pipeline | codec | op | MB/s | wall s | cores busy | ratio |")
        print("|---|---|---|---:|---:|---:|---:|")
        for r in zarr_rows:
            print(f"| {r['pipeline']} | {r['codec']} | {r['op']} | {r['MBps']:.1f} | {r['wall_s']:.3f} | "
                  f"{r['cores_busy']:.2f} | {r['ratio']:.2f} |")


def parse_size(s):
    return compare.parse_size(s)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--threads", type=int, default=2, help="threads of the pool in the chunk run")
    ap.add_argument("--chunks", type=int, default=8, help="chunks coded in the chunk run")
    ap.add_argument("--chunk-size", type=parse_size, default=1 << 20, help="samples per chunk in the chunk run")
    ap.add_argument("--zarr-chunks", type=int, default=64, help="chunks of the zarr array in the store run (0: skip)")
    ap.add_argument("--zarr-chunk-size", type=parse_size, default=1 << 18, help="samples per zarr chunk")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs of each kind (median)")
    ap.add_argument("--out", default=None, help="JSON output path (default: threads-<date>.json in the temporary folder's corvane-bench/)")
    args = ap.parse_args(argv)

    load_before = os.getloadavg()
    print(f"cores: {os.cpu_count()}, load average before: {load_before[0]:.2f} {load_before[1]:.2f} "
          f"{load_before[2]:.2f}", flush=True)
    signal = SIGNAL(args.chunks * args.chunk_size)
    chunks = [np.ascontiguousarray(c) for c in np.split(signal, args.chunks)]
    chunk_rows = part_chunks(chunks, args.threads, args.repeat)
    zarr_rows = part_zarr(args.zarr_chunks, args.zarr_chunk_size, args.repeat) if args.zarr_chunks else []
    load_after = os.getloadavg()
    print_tables(chunk_rows, zarr_rows, args.threads)
    if zarr_rows:
        # What chunking costs: the same samples as one stream (which one core codes).
        whole = SIGNAL(args.zarr_chunks * args.zarr_chunk_size)
        print(f"\ncorvane, the zarr array's samples as one stream: ratio "
              f"{whole.nbytes / len(corvane.compress_signal(whole)):.2f}")
    print(f"\nload average after: {load_after[0]:.2f} {load_after[1]:.2f} {load_after[2]:.2f}")

    out = output_path(args.out, f"threads-{_dt.date.today().isoformat()}.json")
    out.write_text(json.dumps({
        "argv": sys.argv[1:], "cores": os.cpu_count(), "load_before": load_before, "load_after": load_after,
        "threads": args.threads, "chunks": args.chunks, "chunk_size": args.chunk_size,
        "zarr_chunks": args.zarr_chunks, "zarr_chunk_size": args.zarr_chunk_size,
        "chunk_rows": chunk_rows, "zarr_rows": zarr_rows}, indent=2))
    print(f"raw figures: {out}")


if __name__ == "__main__":
    main()
