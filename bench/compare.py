"""corvane against the compressors a user would otherwise pick, in one run.

    python3 -m pip install ".[bench]"    # zfpy, PyWavelets, numcodecs, pysz
    python3 bench/compare.py             # full run: 1M and 16M samples
    python3 bench/compare.py --sizes 1M --repeat 3   # quicker
    python3 bench/compare.py --curve 100K,1M,4M,16M,64M   # and the cost over length

For every signal and every coder it reports compress and decompress throughput
(MB/s of float32 input, median of --repeat runs after a warm-up, one thread),
the compression ratio, the largest absolute error, PRD and PRDN (percent RMS
difference; PRDN with the mean removed). Peers with an error knob are tuned on
each signal so that their largest absolute error matches corvane's at the
default options. With --curve it also times corvane's defaults on the ECG
signal at each of the given lengths, in the same run. Prints markdown tables
and writes the raw figures as JSON to --out (default: the temporary folder).
"""

from __future__ import annotations

import argparse
import datetime as _dt
import json
import os
import pathlib
import platform
import statistics
import sys
import time
import zlib

import numpy as np

import corvane
from bench_output import output_path

for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")



# --------------------------------------------------------------------------- signals

def ecg_recording(n: int) -> np.ndarray:
    """PyWavelets' bundled ECG recording (1024 samples), repeated to length n.

    Plain tiling would make the signal exactly periodic, which dictionary coders
    turn into absurd ratios; each repeat is therefore resampled to a random
    length (beat-to-beat variation, 85% to 115%) and gains a little noise.
    """
    import pywt

    rec = np.asarray(pywt.data.ecg(), dtype=np.float64)
    rng = np.random.default_rng(0)
    pieces, total = [], 0
    while total < n:
        m = int(len(rec) * rng.uniform(0.85, 1.15))
        piece = np.interp(np.linspace(0, len(rec) - 1, m), np.arange(len(rec)), rec)
        pieces.append(piece * rng.uniform(0.95, 1.05))
        total += m
    x = np.concatenate(pieces)[:n]
    x += 0.002 * rng.standard_normal(n)
    return x.astype(np.float32)


def multitone(n: int) -> np.ndarray:
    # Incommensurate frequencies: smooth, but never exactly periodic.
    t = np.arange(n, dtype=np.float64) / 1000.0
    x = (np.sin(2 * np.pi * 1.3 * t) + 0.5 * np.sin(2 * np.pi * 7.7 * np.sqrt(2) * t + 1.0)
         + 0.25 * np.sin(2 * np.pi * 31.0 * np.sqrt(3) * t + 2.0) + 0.1 * np.sin(2 * np.pi * 97.0 * np.pi * t))
    x *= 1.0 + 0.2 * np.sin(2 * np.pi * 0.01 * np.e * t)
    return x.astype(np.float32)


def random_walk(n: int) -> np.ndarray:
    return np.cumsum(np.random.default_rng(1).standard_normal(n)).astype(np.float32)


def white_noise(n: int) -> np.ndarray:
    return np.random.default_rng(2).standard_normal(n).astype(np.float32)


SIGNALS = {"ecg": ecg_recording, "multitone": multitone, "walk": random_walk, "noise": white_noise}


# --------------------------------------------------------------------------- metrics

def errors(x: np.ndarray, y: np.ndarray) -> dict:
    x64 = x.astype(np.float64)
    d = x64 - y.astype(np.float64)
    energy = float(np.sum(x64 ** 2))
    centred = float(np.sum((x64 - x64.mean()) ** 2))
    sq = float(np.sum(d ** 2))
    return {
        "max_abs_err": float(np.max(np.abs(d))),
        "prd": 100.0 * (sq / energy) ** 0.5 if energy else 0.0,
        "prdn": 100.0 * (sq / centred) ** 0.5 if centred else 0.0,
    }


# Wall-clock time by default; --clock thread uses the calling thread's CPU
# time instead, which other work on a shared machine disturbs far less (every
# codec here runs on the calling thread).
CLOCK = time.perf_counter


def timed(fn, arg, repeat: int):
    """Median time of fn(arg) over `repeat` runs after a warm-up. Each run gets
    a fresh copy of an array argument (made outside the timing): some codecs
    round their input in place."""
    fresh = (lambda: arg.copy()) if isinstance(arg, np.ndarray) else (lambda: arg)
    fn(fresh())
    times = []
    result = None
    for _ in range(repeat):
        a = fresh()
        t0 = CLOCK()
        result = fn(a)
        times.append(CLOCK() - t0)
    return result, statistics.median(times)


# --------------------------------------------------------------------------- codecs
# Each codec is (name, compress(x) -> blob, decompress(blob) -> y, size(blob)).

def corvane_codec(method="cdf97", coder=None, scale=11):
    opts = corvane.CompressionOptions(method, scale, "low", coder)
    return (lambda x: corvane.compress_signal(x, opts), corvane.decompress_signal, len)


def zfp_codec(tolerance):
    import zfpy

    return (lambda x: zfpy.compress_numpy(x, tolerance=tolerance), zfpy.decompress_numpy, len)


def sz3_codec(bound, n):
    from pysz import sz, szConfig, szErrorBoundMode

    def comp(x):
        cfg = szConfig()
        cfg.errorBoundMode = szErrorBoundMode.ABS
        cfg.absErrorBound = bound
        cfg.openmp = False
        return sz.compress(x, cfg)[0]

    return (comp, lambda b: sz.decompress(b, np.float32, (n,))[0], lambda b: b.nbytes)


def numcodecs_quantize(digits):
    from numcodecs import Quantize, Zstd

    q, z = Quantize(digits=digits, dtype="f4"), Zstd(level=3)
    return (lambda x: z.encode(q.encode(x)),
            lambda b: np.frombuffer(z.decode(b), dtype=np.float32), len)


def numcodecs_bitround(keepbits):
    from numcodecs import BitRound, Zstd

    r, z = BitRound(keepbits=keepbits), Zstd(level=3)
    return (lambda x: z.encode(r.encode(x)),
            lambda b: np.frombuffer(z.decode(b), dtype=np.float32), len)


def pywt_diy(scale=11):
    """The do-it-yourself route: a CDF 9/7-like biorthogonal wavelet, the same
    uniform quantisation and dead zone as corvane's defaults, then zlib level 6."""
    import pywt

    wavelet = "bior4.4"
    m = float(2 ** scale)

    def comp(x):
        lo, hi = float(x.min()), float(x.max())
        rng = hi - lo if hi - lo > 1e-5 else 1.0
        w = (x - lo) / rng
        mean = float(w.mean())
        level = max(1, min(8, int(np.log2(max(len(x) // 10, 2)))))
        coeffs = pywt.wavedec(w - mean, wavelet, mode="periodization", level=level)
        q = [np.clip(c * m, -32768, 32767).astype(np.int16) for c in coeffs]
        for c in q[1:]:
            c[np.abs(c.astype(np.int32)) < 2] = 0
        sizes = np.array([len(c) for c in q], dtype=np.int64)
        body = zlib.compress(np.concatenate(q).tobytes(), 6)
        meta = np.array([lo, rng, mean], dtype=np.float64).tobytes() + sizes.tobytes()
        return len(q).to_bytes(1, "little") + meta + body

    def decomp(b):
        k = b[0]
        lo, rng, mean = np.frombuffer(b, np.float64, 3, 1)
        sizes = np.frombuffer(b, np.int64, k, 25)
        flat = np.frombuffer(zlib.decompress(b[25 + 8 * k:]), np.int16).astype(np.float32) / m
        coeffs = np.split(flat, np.cumsum(sizes)[:-1])
        w = pywt.waverec(coeffs, wavelet, mode="periodization")
        return ((w + mean) * rng + lo).astype(np.float32)

    return (comp, decomp, len)


def tune(make, x, target, lo, hi, integer=False, increasing=True, steps=24):
    """Finds the loosest setting whose largest error stays within `target`.
    `increasing`: larger setting -> larger error."""
    best = None
    for _ in range(steps):
        mid = (lo + hi) // 2 if integer else (lo * hi) ** 0.5 if lo > 0 else (lo + hi) / 2
        comp, decomp, _ = make(mid)
        err = errors(x, decomp(comp(x.copy())))["max_abs_err"]
        ok = err <= target
        if ok:
            best = mid
        if ok == increasing:
            lo = mid
        else:
            hi = mid
        if integer and hi - lo <= 1:
            break
    if best is None:
        best = lo if not increasing else lo
    return best


# --------------------------------------------------------------------------- run

def measure(name, codec, x, repeat):
    comp, decomp, size = codec
    blob, t_c = timed(comp, x, repeat)
    y, t_d = timed(decomp, blob, repeat)
    mb = x.nbytes / 1e6
    row = {"codec": name, "compress_MBps": mb / t_c, "decompress_MBps": mb / t_d,
           "ratio": x.nbytes / size(blob)}
    row.update(errors(x, np.asarray(y)))
    return row


def available(module):
    try:
        __import__(module)
        return True
    except ImportError:
        return False


def run(sizes, repeat, signals, tune_sample):
    rows = []
    for n in sizes:
        for sig in signals:
            x = SIGNALS[sig](n)
            print(f"# {sig} {n}", file=sys.stderr, flush=True)
            configs = [(f"corvane {m} {c or 'auto'}", corvane_codec(m, c))
                       for m in ("cdf97", "cdf53", "db4", "sym4") for c in (None, "deflate", "arans")]
            configs += [("corvane cdf97 auto s8", corvane_codec(scale=8)),
                        ("corvane cdf97 auto s12", corvane_codec(scale=12))]
            reference = None
            for name, codec in configs:
                row = measure(name, codec, x, repeat)
                if reference is None:
                    reference = row
                rows.append({"signal": sig, "n": n, **row})
            target = reference["max_abs_err"]
            # Tune the peers on a prefix (their error is local), measure on all of x.
            xs = x[: min(n, tune_sample)]
            peers = []
            if available("zfpy"):
                tol = tune(zfp_codec, xs, target, target * 1e-3, target * 8)
                peers.append((f"zfpy tol={tol:.3g}", zfp_codec(tol)))
            if available("pysz"):
                bound = tune(lambda b: sz3_codec(b, len(xs)), xs, target, target * 1e-3, target * 1.0)
                peers.append((f"SZ3 abs={bound:.3g}", sz3_codec(bound, n)))
            if available("numcodecs"):
                digits = tune(numcodecs_quantize, xs, target, 0, 12, integer=True, increasing=False)
                peers.append((f"numcodecs Quantize({digits})+Zstd", numcodecs_quantize(digits)))
                keep = tune(numcodecs_bitround, xs, target, 1, 23, integer=True, increasing=False)
                peers.append((f"numcodecs BitRound({keep})+Zstd", numcodecs_bitround(keep)))
            if available("pywt"):
                peers.append(("PyWavelets bior4.4+zlib", pywt_diy()))
            for name, codec in peers:
                rows.append({"signal": sig, "n": n, **measure(name, codec, x, repeat)})
    return rows


def table(rows):
    out = ["| signal | n | codec | compress MB/s | decompress MB/s | ratio | max abs err | PRD % | PRDN % |",
           "|---|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        n = f"{r['n'] // (1 << 20)}M" if r["n"] % (1 << 20) == 0 else str(r["n"])
        out.append(f"| {r['signal']} | {n} | {r['codec']} | {r['compress_MBps']:.1f} | "
                   f"{r['decompress_MBps']:.1f} | {r['ratio']:.2f} | {r['max_abs_err']:.3g} | "
                   f"{r['prd']:.3g} | {r['prdn']:.3g} |")
    return "\n".join(out)


def speed_ratios(rows):
    """corvane at its defaults over each peer, per signal and size: > 1 means
    corvane is faster."""
    out = ["| signal | n | peer | compress ratio | decompress ratio |", "|---|---|---|---:|---:|"]
    for r in rows:
        if r["codec"].startswith("corvane"):
            continue
        ref = next(x for x in rows if x["signal"] == r["signal"] and x["n"] == r["n"]
                   and x["codec"] == "corvane cdf97 auto")
        n = f"{r['n'] // (1 << 20)}M" if r["n"] % (1 << 20) == 0 else str(r["n"])
        out.append(f"| {r['signal']} | {n} | {r['codec']} | {ref['compress_MBps'] / r['compress_MBps']:.2f} | "
                   f"{ref['decompress_MBps'] / r['decompress_MBps']:.2f} |")
    return "\n".join(out)


def curve(sizes, repeat, signal="ecg"):
    """corvane at its defaults over signal length: one signal, made once at the
    largest size, cut to each size (so every length sees the same samples)."""
    x_all = SIGNALS[signal](max(sizes))
    rows = []
    for n in sizes:
        print(f"# curve {signal} {n}", file=sys.stderr, flush=True)
        rows.append({"signal": signal, "n": n, **measure("corvane cdf97 auto", corvane_codec(), x_all[:n].copy(), repeat)})
    return rows


def curve_table(rows):
    near_1m = min(rows, key=lambda r: abs(r["n"] - (1 << 20)))
    out = [f"| samples | compress MB/s | decompress MB/s | compress vs {_label(near_1m['n'])} "
           f"| decompress vs {_label(near_1m['n'])} |", "|---:|---:|---:|---:|---:|"]
    for r in rows:
        out.append(f"| {_label(r['n'])} | {r['compress_MBps']:.1f} | {r['decompress_MBps']:.1f} | "
                   f"{r['compress_MBps'] / near_1m['compress_MBps']:.2f} | "
                   f"{r['decompress_MBps'] / near_1m['decompress_MBps']:.2f} |")
    return "\n".join(out)


def _label(n):
    if n % (1 << 20) == 0:
        return f"{n >> 20}M"
    return f"{n >> 10}K" if n % (1 << 10) == 0 else str(n)


def parse_size(s):
    s = s.strip().upper()
    mult = 1 << 20 if s.endswith("M") else 1 << 10 if s.endswith("K") else 1
    return int(float(s.rstrip("MK")) * mult)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1M,16M", help="comma-separated sample counts (K/M suffixes)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per measurement (median)")
    ap.add_argument("--signals", default=",".join(SIGNALS), help="subset of " + ",".join(SIGNALS))
    ap.add_argument("--tune-sample", type=int, default=1 << 20, help="samples used to tune peers")
    ap.add_argument("--out", default=None, help="JSON output path (default: compare-<date>.json in the temporary folder's corvane-bench/); "
                    "the table goes beside it as latest.md")
    ap.add_argument("--clock", choices=("wall", "thread"), default="wall",
                    help="wall-clock time, or the thread's CPU time (for a loaded machine)")
    ap.add_argument("--curve", default=None,
                    help="also time corvane's defaults on the ECG signal at these sizes (the cost over length)")
    args = ap.parse_args(argv)
    global CLOCK
    CLOCK = time.thread_time if args.clock == "thread" else time.perf_counter
    sizes = [parse_size(s) for s in args.sizes.split(",")]
    rows = run(sizes, args.repeat, args.signals.split(","), args.tune_sample)
    md = table(rows) + "\n\nSpeed of corvane (cdf97, defaults) over each peer:\n\n" + speed_ratios(rows)
    curve_rows = curve([parse_size(s) for s in args.curve.split(",")], args.repeat) if args.curve else []
    if curve_rows:
        md += "\n\nCost over signal length (corvane defaults, ecg):\n\n" + curve_table(curve_rows)
    print(md)
    stamp = _dt.datetime.now().strftime("%Y%m%d-%H%M%S")
    out = output_path(args.out, f"compare-{stamp}.json")
    meta = {"date": stamp, "python": sys.version.split()[0], "machine": platform.machine(),
            "processor": platform.processor(), "corvane": _version(), "repeat": args.repeat,
            "clock": args.clock}
    out.write_text(json.dumps({"meta": meta, "rows": rows, "curve": curve_rows}, indent=1))
    (out.parent / "latest.md").write_text(md + "\n")
    print(f"\nwrote {out}", file=sys.stderr)


def _version():
    try:
        from importlib.metadata import version

        return version("corvane")
    except Exception:
        return "unknown"


if __name__ == "__main__":
    main()
