"""Largest-error bounds: how small the codec's chunks are at a bound, against the peers.

    python3 -m pip install ".[bench]"
    python3 bench/bounds.py                  # every section, 65 536-sample signals
    python3 bench/bounds.py --quick          # shorter signals, fewer repeats
    python3 bench/bounds.py --out DIR        # where the JSON goes (a temporary directory otherwise)

Sections:

- bounds: the chunk Corvane(max_abs_error=E) writes for E at 1e-4, 1e-3 and 1e-2
  of the signal's range, beside SZ3 given the same absolute bound;
- lossless: int16 counts stored exactly (dtype="int16", max_abs_error=0) beside
  FLAC at level 8 and pcodec;
- prd: Corvane(prd=P) beside SZ3 at the loosest absolute bound that keeps P;
- speed: thread CPU time of encoding at a bound against one default
  compress_signal, and of decoding a refined chunk against decoding the
  default plain stream, in alternating rounds (median ratios); for the int16
  records also of storing them losslessly against the same compress_signal;
- monotonic: chunk sizes over 25 bounds from 1e-5 to 1e-1 of the range; any
  size larger than one at a tighter bound is listed, and the same is counted
  on a finer grid (120 bounds from 3e-4 to 1e-2). With --plot, SZ3 and zfpy
  at the same bounds and the lossless ratios of FLAC and pcodec go beside them
  in a rate-distortion plot (matplotlib). Then random signals of the shapes
  the property tests draw, each at 40 bounds over the same span: how many
  chunks are larger than one at a tighter bound, and by how much.

Every decoded chunk is checked against its bound. Prints markdown tables.
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

import corvane
from corvane_numcodecs import Corvane

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from compare import ecg_recording, random_walk  # noqa: E402  (the same synthetic signals)
from targets import sz3 as sz3_bytes  # noqa: E402  (SZ3 at an absolute bound: its bytes and its samples)


# --------------------------------------------------------------------------- signals

def pywt_ecg() -> np.ndarray:
    """The recording PyWavelets ships: 1024 samples of ADC counts."""
    import pywt

    return np.asarray(pywt.data.ecg(), dtype=np.int16)


def ecg_counts(n: int) -> np.ndarray:
    """An ECG-like record in 11-bit counts: the resampled beats, scaled and rounded."""
    x = ecg_recording(n).astype(np.float64)
    return np.rint((x - x.mean()) / np.ptp(x) * 1400.0).astype(np.int16)


def seismic_counts(n: int) -> np.ndarray:
    """Background noise with a few decaying wave trains, in counts."""
    rng = np.random.default_rng(7)
    t = np.arange(n, dtype=np.float64)
    x = rng.normal(0.0, 6.0, n) + 20.0 * np.sin(2 * np.pi * t / 4000.0)
    for start, amp, period in ((0.15, 3000.0, 37.0), (0.45, 5000.0, 23.0), (0.8, 1500.0, 61.0)):
        s = int(start * n)
        u = t[s:] - s
        x[s:] += amp * np.exp(-u / (0.04 * n)) * np.sin(2 * np.pi * u / period) * (1 - np.exp(-u / 40.0))
    return np.rint(x).astype(np.int16)


def ppg_counts(n: int) -> np.ndarray:
    """A photoplethysmogram-like series at 125 Hz in 12-bit counts: a systolic
    peak and a dicrotic wave per beat, beat-to-beat variation, breathing
    wander and sensor noise."""
    rng = np.random.default_rng(11)
    fs = 125.0
    x = np.zeros(n)
    t0 = 0.0
    while t0 < n / fs:
        period = rng.uniform(0.75, 0.95)
        idx = np.arange(int(t0 * fs), min(n, int((t0 + 1.5) * fs)))
        u = idx / fs - t0
        x[idx] += np.exp(-((u - 0.18) / 0.07) ** 2) + 0.45 * np.exp(-((u - 0.42) / 0.10) ** 2)
        t0 += period
    t = np.arange(n) / fs
    x = 900.0 * x + 120.0 * np.sin(2 * np.pi * 0.25 * t) + rng.normal(0.0, 3.0, n) + 2048.0
    return np.rint(x).astype(np.int16)


def signals(n: int) -> dict:
    return {
        "ecg-pywt": pywt_ecg(),
        "ecg": ecg_recording(n),
        "ecg-counts": ecg_counts(n),
        "walk": random_walk(n),
        "seismic-counts": seismic_counts(n),
        "ppg-counts": ppg_counts(n),
    }


# --------------------------------------------------------------------------- peers

def flac_bytes(x: np.ndarray) -> int:
    from flac_numcodecs import Flac

    codec = Flac(level=8)
    blob = codec.encode(x)
    assert np.array_equal(codec.decode(blob).reshape(x.shape), x)
    return len(blob)


def pcodec_bytes(x: np.ndarray) -> int:
    from pcodec import standalone

    from pcodec import ChunkConfig

    blob = standalone.simple_compress(x, ChunkConfig())
    assert np.array_equal(standalone.simple_decompress(blob), x)
    return len(blob)


def geomean(values: list) -> float:
    values = [v for v in values if v]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


# --------------------------------------------------------------------------- sections

def chunk_at(x: np.ndarray, bound: float, dtype=None) -> bytes:
    codec = Corvane(max_abs_error=bound, dtype=dtype)
    blob = codec.encode(x)
    y = codec.decode(blob)
    worst = float(np.max(np.abs(y.astype(np.float64).ravel() - x.astype(np.float64))))
    assert worst <= (math.floor(bound) if dtype else bound), (bound, worst)
    return blob


def bounds(sigs: dict, rels: list) -> list:
    rows = []
    for name, x in sigs.items():
        xf = x.astype(np.float32)
        span = float(np.ptp(xf))
        for rel in rels:
            bound = rel * span
            try:
                mine = len(chunk_at(xf, bound))
            except ValueError:  # (a build without the refinement may refuse a tight bound)
                mine = None
            size, y = sz3_bytes(xf, bound)
            assert np.max(np.abs(y.astype(np.float64) - xf)) <= bound * (1 + 1e-6)
            rows.append({"signal": name, "n": len(x), "rel": rel, "bound": bound, "corvane_bytes": mine,
                         "sz3_bytes": size, "size_ratio": mine / size if mine else None})
    return rows


def lossless(sigs: dict) -> list:
    rows = []
    for name, x in sigs.items():
        if x.dtype != np.int16:
            continue
        mine = len(chunk_at(x, 0.0, dtype="int16"))
        rows.append({"signal": name, "n": len(x), "raw": x.nbytes, "corvane_bytes": mine,
                     "flac8_bytes": flac_bytes(x), "pcodec_bytes": pcodec_bytes(x)})
    return rows


def prd(sigs: dict, prds: list) -> list:
    rows = []
    for name, x in sigs.items():
        xf = x.astype(np.float32)
        x64 = xf.astype(np.float64)
        spread = float(np.linalg.norm(x64 - x64.mean()))
        for p in prds:
            mine = len(Corvane(prd=p).encode(xf))
            lo, hi, best = 1e-9 * float(np.ptp(xf)), float(np.ptp(xf)), None
            for _ in range(40):
                mid = math.sqrt(lo * hi)
                size, y = sz3_bytes(xf, mid)
                if 100.0 * float(np.linalg.norm(x64 - y)) / spread <= p:
                    best, lo = size, mid
                else:
                    hi = mid
            rows.append({"signal": name, "prd": p, "corvane_bytes": mine, "sz3_bytes": best,
                         "size_ratio": mine / best if best else None})
    return rows


def cpu(fn, repeat: int) -> float:
    start = time.thread_time()
    for _ in range(repeat):
        fn()
    return (time.thread_time() - start) / repeat


def speed(sigs: dict, rel: float, rounds: int) -> list:
    rows = []
    for name, x in sigs.items():
        xf = x.astype(np.float32)
        codec = Corvane(max_abs_error=rel * float(np.ptp(xf)))
        refined = codec.encode(xf)
        plain = corvane.compress_signal(xf)
        repeat = max(1, 600_000 // len(xf))
        enc, dec = [], []
        for _ in range(rounds):
            a = cpu(lambda: corvane.compress_signal(xf), repeat)
            b = cpu(lambda: codec.encode(xf), repeat)
            c = cpu(lambda: corvane.decompress_signal(plain), repeat)
            d = cpu(lambda: codec.decode(refined), repeat)
            enc.append(b / a)
            dec.append(c / d)
        row = {"signal": name, "n": len(x), "rel": rel, "encode_cost": statistics.median(enc),
               "decode_speed": statistics.median(dec), "refined": refined[:4] == b"CRVR"}
        if x.dtype == np.int16:
            # counts stored exactly, against the same default compress of them as floats
            exact = Corvane(dtype="int16", max_abs_error=0)
            lossless = []
            for _ in range(rounds):
                a = cpu(lambda: corvane.compress_signal(xf), repeat)
                b = cpu(lambda: exact.encode(x), repeat)
                lossless.append(b / a)
            row["lossless_encode_cost"] = statistics.median(lossless)
        rows.append(row)
    return rows


def zfp_bytes(x: np.ndarray, bound: float) -> int:
    import zfpy

    blob = zfpy.compress_numpy(x, tolerance=bound)
    assert np.max(np.abs(zfpy.decompress_numpy(blob).astype(np.float64) - x)) <= bound
    return len(blob)


def monotonic(sigs: dict, rels: list, peers: bool) -> list:
    rows = []
    for name, x in sigs.items():
        xf = x.astype(np.float32)
        span = float(np.ptp(xf))
        sizes = [len(chunk_at(xf, r * span)) for r in rels]
        # (against the smallest chunk at any tighter bound)
        grows = [(rels[i], min(sizes[:i]), sizes[i]) for i in range(1, len(rels)) if sizes[i] > min(sizes[:i])]
        row = {"signal": name, "raw": xf.nbytes, "rels": rels, "sizes": sizes, "grows": grows}
        if peers:
            row["sz3"] = [sz3_bytes(xf, r * span)[0] for r in rels]
            row["zfpy"] = [zfp_bytes(xf, r * span) for r in rels]
            if x.dtype == np.int16:
                row["lossless"] = {"corvane": len(chunk_at(x, 0.0, dtype="int16")), "FLAC -8": flac_bytes(x),
                                   "pcodec": pcodec_bytes(x)}
        rows.append(row)
    return rows


def random_signal(rng: np.random.Generator) -> np.ndarray:
    """One of the shapes the property tests draw: a random walk, two tones,
    noise, levels held for 50 samples, or rare spikes over a quiet rest; as
    float32 (scaled, about an offset), as int16 counts, or as float32 shrunk
    about a large value (bounds of a few float spacings)."""
    n = int(rng.integers(1, 3001))
    kind = int(rng.integers(0, 5))
    t = np.arange(n)
    if kind == 0:
        x = np.cumsum(rng.standard_normal(n))
    elif kind == 1:
        x = np.sin(t * rng.uniform(0.001, 1.0)) + 0.3 * np.sin(t * rng.uniform(0.1, 3.0))
    elif kind == 2:
        x = rng.standard_normal(n)
    elif kind == 3:
        x = np.repeat(rng.integers(-3, 4, n // 50 + 1), 50)[:n].astype(np.float64)
    else:
        x = np.where(rng.random(n) < 0.01, 50.0, 0.0) + 0.01 * rng.standard_normal(n)
    scale = 10.0 ** int(rng.integers(-4, 6))
    form = int(rng.integers(0, 3))
    if form == 1:
        return np.clip(np.rint(x * min(scale, 1e3)), -32768, 32767).astype(np.int16)
    if form == 0:
        return (x * scale + [0.0, 1.0, -300.0, 1e5][int(rng.integers(0, 4))]).astype(np.float32)
    y = (x * scale).astype(np.float32).astype(np.float64)
    return (rng.choice([1e5, -300.0, 3e6]) + (y - np.median(y)) * 10.0 ** int(rng.integers(-6, 1))).astype(np.float32)


def random_monotonic(count: int, steps: int, seed: int = 1) -> dict:
    """Over `steps` bounds from 1e-5 to 1e-1 of the range of `count` random
    signals: how often a chunk is larger than one at a tighter bound, and by
    how much."""
    rng = np.random.default_rng(seed)
    rels = np.logspace(-5, -1, steps)
    steps_taken, grows = 0, []
    for _ in range(count):
        x = random_signal(rng)
        span = float(np.ptp(x.astype(np.float64)))
        if not span > 0:
            continue
        dtype = "int16" if x.dtype == np.int16 else None
        smallest = math.inf
        for r in rels:
            size = len(chunk_at(x, r * span, dtype=dtype))
            steps_taken += 1
            if size > smallest:
                grows.append(size / smallest - 1.0)
            smallest = min(smallest, size)
    return {"signals": count, "bounds": steps_taken, "grows": len(grows),
            **{f"over_{p}pc": sum(g > p / 100 for g in grows) for p in (2, 5, 25)},
            "worst": max(grows, default=0.0)}


def plot(rows: list, path: pathlib.Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, (len(rows) + 1) // 2, figsize=(4.2 * ((len(rows) + 1) // 2), 7.5), squeeze=False)
    for ax, r in zip(axes.ravel(), rows):
        for key, style in (("sizes", "o-"), ("sz3", "s--"), ("zfpy", "^:")):
            label = "corvane" if key == "sizes" else key.upper() if key == "sz3" else key
            ax.plot(r["rels"], [r["raw"] / b for b in r[key]], style, ms=3, label=label)
        for (name, size), colour in zip(r.get("lossless", {}).items(), ("C0", "C3", "C4")):
            ax.axhline(r["raw"] / size, color=colour, lw=0.8, ls="-." if name != "corvane" else "-",
                       label=f"{name} lossless")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(r["signal"])
        ax.set_xlabel("largest error / range")
        ax.set_ylabel("compression ratio")
        ax.grid(True, which="both", lw=0.3)
        ax.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print(f"plot: {path}")


# --------------------------------------------------------------------------- report

def report(results: dict) -> None:
    if "bounds" in results:
        print("\n## Largest-error bounds: corvane beside SZ3 (size ratio, below 1 is smaller)\n")
        print("| signal | 1e-4 | 1e-3 | 1e-2 |\n| --- | --- | --- | --- |")
        for name in dict.fromkeys(r["signal"] for r in results["bounds"]):
            cells = [f"{r['size_ratio']:.3f}" if r["size_ratio"] else "refused"
                     for r in results["bounds"] if r["signal"] == name]
            print(f"| {name} | " + " | ".join(cells) + " |")
        print(f"\ngeometric mean size ratio: {geomean([r['size_ratio'] for r in results['bounds']]):.3f}")
    if "lossless" in results:
        print("\n## Lossless int16 counts: compression ratio\n")
        print("| signal | corvane | FLAC -8 | pcodec | vs FLAC | vs pcodec |\n| --- | --- | --- | --- | --- | --- |")
        for r in results["lossless"]:
            c, f, p = (r["raw"] / r[k] for k in ("corvane_bytes", "flac8_bytes", "pcodec_bytes"))
            print(f"| {r['signal']} | {c:.2f} | {f:.2f} | {p:.2f} | {c / f:.3f} | {c / p:.3f} |")
    if "prd" in results:
        print("\n## PRD targets beside SZ3 (size ratio)\n")
        ratios = [r["size_ratio"] for r in results["prd"]]
        print(f"geometric mean size ratio: {geomean(ratios):.3f}")
    if "speed" in results:
        print("\n## Speed (median of alternating rounds)\n")
        print("| signal | encode at a bound / default compress | refined decode speed / plain "
              "| int16 lossless encode / default compress |\n| --- | --- | --- | --- |")
        for r in results["speed"]:
            lossless = f"{r['lossless_encode_cost']:.2f}" if "lossless_encode_cost" in r else "-"
            print(f"| {r['signal']} | {r['encode_cost']:.2f} | {r['decode_speed']:.2f} | {lossless} |")
    if "monotonic" in results:
        print("\n## Monotonic sizes over 1e-5 .. 1e-1 of the range (25 bounds)\n")
        for r in results["monotonic"]:
            print(f"- {r['signal']}: {len(r['grows'])} growths {r['grows'][:3]}")
    if "fine" in results:
        print(f"\n## The same on a finer grid: {len(results['fine'][0]['rels'])} bounds from 3e-4 to 1e-2 of the range\n")
        for r in results["fine"]:
            worst = max((b / a - 1 for _, a, b in r["grows"]), default=0.0)
            print(f"- {r['signal']}: {len(r['grows'])} growths, worst {100 * worst:.1f} %")
    if "random" in results:
        r = results["random"]
        print(f"\n## Random signals: {r['signals']} signals x bounds from 1e-5 to 1e-1 of the range\n")
        print(f"{r['grows']} of {r['bounds']} chunks larger than one at a tighter bound "
              f"({r['over_2pc']} by more than 2 %, {r['over_5pc']} by more than 5 %, {r['over_25pc']} by more "
              f"than 25 %; worst {100 * r['worst']:.0f} %)")


def main(argv=None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--out", type=pathlib.Path, default=None, help="directory for the JSON results")
    ap.add_argument("--sections", default="bounds,lossless,prd,speed,monotonic")
    ap.add_argument("--plot", type=pathlib.Path, default=None, help="write the rate-distortion plot here (a .png)")
    ap.add_argument("--random", type=int, default=300, help="random signals the monotonic section draws")
    args = ap.parse_args(argv)
    n = 16384 if args.quick else 65536
    sigs = signals(n)
    wanted = args.sections.split(",")
    results: dict = {"n": n}
    if "bounds" in wanted:
        results["bounds"] = bounds(sigs, [1e-4, 1e-3, 1e-2])
    if "lossless" in wanted:
        results["lossless"] = lossless(sigs)
    if "prd" in wanted:
        results["prd"] = prd(sigs, [0.5, 2.0, 5.0])
    if "speed" in wanted:
        results["speed"] = speed(sigs, 1e-3, 3 if args.quick else 7)
    if "monotonic" in wanted:
        results["monotonic"] = monotonic(sigs, list(np.logspace(-5, -1, 25)), peers=args.plot is not None)
        results["fine"] = monotonic(sigs, list(np.geomspace(3e-4, 1e-2, 30 if args.quick else 120)), peers=False)
        results["random"] = random_monotonic(60 if args.quick else args.random, 40)
    report(results)
    out = args.out or pathlib.Path(tempfile.mkdtemp(prefix="corvane-bounds-"))
    out.mkdir(parents=True, exist_ok=True)
    path = out / ("bounds-quick.json" if args.quick else "bounds.json")
    path.write_text(json.dumps(results, indent=1, default=float))
    print(f"\nresults: {path}")
    if args.plot is not None and "monotonic" in results:
        plot(results["monotonic"], args.plot)


if __name__ == "__main__":
    main()
