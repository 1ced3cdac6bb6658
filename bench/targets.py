"""Error targets: what a target costs, how small its streams are, and the peers.

    python3 -m pip install ".[bench]" matplotlib
    python3 bench/targets.py                 # every section
    python3 bench/targets.py --quick         # shorter signals, fewer repeats

Sections:

- cost: thread CPU time of encoding with a target against one compress_signal
  at the default options on the same signal, interleaved repeats, median ratio;
- exhaustive: the stream a PRD (and a largest-error) target gives against the
  smallest stream of an exhaustive search over multipliers (2^(k/64)) and every
  dead zone of the configured method that keeps the same target;
- peers: on the ECG recording PyWavelets ships (1024 samples, and a long
  version made of resampled beats), corvane with a target beside SZ3 and zfpy
  tuned to the same target (largest bound whose result still keeps it);
- a rate-distortion plot (ratio against PRD and against largest error) written
  to docs/targets-rate-distortion.png when matplotlib is installed.

Prints markdown tables and writes the raw figures as JSON to --out (default: the temporary
folder), the rate-distortion plot beside them (--refresh-docs: over the one in docs/).
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import statistics
import sys
import time

import numpy as np

import corvane
from corvane_numcodecs import _native

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from bench_output import output_path  # noqa: E402
from compare import SIGNALS  # noqa: E402  (the same synthetic signals)

ROOT = pathlib.Path(__file__).parent
DEAD_ZONES = [(6, "low"), (8, "low"), (10, "low"), (12, "low"), (10, "medium"), (8, "high"),
              (12, "medium"), (10, "high"), (12, "high")]  # thresholds 0, 1, 2, 3, 6, 7, 9, 14, 21


def error_of(target: str, x: np.ndarray, y: np.ndarray) -> float:
    x64 = x.astype(np.float64)
    d = x64 - y.astype(np.float64)
    if target == "max_abs_error":
        return float(np.max(np.abs(d)))
    return float(100.0 * np.linalg.norm(d) / np.linalg.norm(x64 - x64.mean()))


def tuned(x: np.ndarray, target: str, bound: float, method: str = "cdf97") -> bytes:
    return _native.compress_to_target(x, _native.CompressionOptions(method), target, bound)


# --------------------------------------------------------------------------- cost

def cost(signals: dict, targets: list, repeat: int) -> list:
    rows = []
    default = corvane.CompressionOptions()
    for name, x in signals.items():
        for target, bound in targets:
            b = bound if target == "prd" else bound * float(np.ptp(x))
            plain, aimed = [], []
            tuned(x, target, b)  # warm-up (and the per-process band gains)
            inner = max(1, (1 << 17) // len(x))  # short chunks: many calls per timing
            for _ in range(repeat):
                t0 = time.thread_time()
                for _ in range(inner):
                    corvane.compress_signal(x, default)
                t1 = time.thread_time()
                for _ in range(inner):
                    tuned(x, target, b)
                t2 = time.thread_time()
                plain.append((t1 - t0) / inner)
                aimed.append((t2 - t1) / inner)
            rows.append({"signal": name, "n": len(x), "target": target, "bound": b,
                         "compress_s": statistics.median(plain), "target_s": statistics.median(aimed),
                         "ratio": statistics.median(a / p for a, p in zip(aimed, plain))})
    return rows


# --------------------------------------------------------------------------- exhaustive

def smallest_stream(x: np.ndarray, target: str, bound: float, method: str) -> tuple:
    """The smallest stream over every dead zone and multipliers 2^(k/64) that
    keeps the target: per dead zone the smallest keeping multiplier by
    bisection, then a scan below it (errors are not quite monotone)."""
    best = (math.inf, None)
    for scale, cutoff in DEAD_ZONES:
        def stream(k):
            m = 2.0 ** (k / 64.0)
            return corvane.compress_signal(x, corvane.CompressionOptions(method, scale, cutoff, None, m))

        def keeps(k):
            s = stream(k)
            return error_of(target, x, corvane.decompress_signal(s)) <= bound, s

        lo, hi = -64 * 8, 64 * 16
        if not keeps(hi)[0]:
            continue
        while hi - lo > 1:
            mid = (lo + hi) // 2
            if keeps(mid)[0]:
                hi = mid
            else:
                lo = mid
        sizes = [len(s) for ok, s in (keeps(k) for k in range(hi - 24, hi + 1)) if ok]
        if min(sizes) < best[0]:
            best = (min(sizes), (scale, cutoff))
    return best


def exhaustive(signals: dict, prds: list, max_errors: list, method: str) -> list:
    rows = []
    for name, x in signals.items():
        for target, bound in [("prd", p) for p in prds] + [("max_abs_error", e * float(np.ptp(x)))
                                                           for e in max_errors]:
            try:
                mine = tuned(x, target, bound, method)
            except ValueError:
                continue
            size, zone = smallest_stream(x, target, bound, method)
            rows.append({"signal": name, "n": len(x), "target": target, "bound": bound,
                         "tuned_bytes": len(mine), "exhaustive_bytes": size, "exhaustive_zone": zone,
                         "excess_percent": 100.0 * (len(mine) / size - 1.0)})
    return rows


# --------------------------------------------------------------------------- peers

def sz3(x: np.ndarray, abs_bound: float) -> np.ndarray:
    from pysz import sz, szConfig, szErrorBoundMode

    cfg = szConfig()
    cfg.errorBoundMode = szErrorBoundMode.ABS
    cfg.absErrorBound = abs_bound
    cfg.openmp = False
    blob = sz.compress(x, cfg)[0]
    return blob.nbytes, sz.decompress(blob, np.float32, (len(x),))[0]


def zfp(x: np.ndarray, tolerance: float) -> tuple:
    import zfpy

    blob = zfpy.compress_numpy(x, tolerance=tolerance)
    return len(blob), zfpy.decompress_numpy(blob)


def matched(peer, x: np.ndarray, target: str, bound: float) -> tuple:
    """The peer at the loosest setting (by bisection on its absolute knob) whose
    result still keeps the target: (bytes, error)."""
    lo, hi = 1e-9 * float(np.ptp(x)), float(np.ptp(x))
    best = None
    for _ in range(40):
        mid = math.sqrt(lo * hi)
        size, y = peer(x, mid)
        err = error_of(target, x, y)
        if err <= bound:
            best, lo = (size, err), mid
        else:
            hi = mid
    return best


def peers(signals: dict, prds: list, max_errors: list) -> list:
    rows = []
    for name, x in signals.items():
        raw = x.nbytes
        for target, bound in [("prd", p) for p in prds] + [("max_abs_error", e * float(np.ptp(x)))
                                                           for e in max_errors]:
            row = {"signal": name, "n": len(x), "target": target, "bound": bound}
            try:
                mine = tuned(x, target, bound)
                row["corvane"] = raw / len(mine)
            except ValueError:
                row["corvane"] = None
            for peer_name, peer in (("sz3", sz3), ("zfpy", zfp)):
                got = matched(peer, x, target, bound)
                row[peer_name] = None if got is None else raw / got[0]
            rows.append(row)
    return rows


def plot(rows: list, path: pathlib.Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import NullFormatter, ScalarFormatter
    except ImportError:
        print("(matplotlib is not installed: no plot)")
        return
    signals = sorted({r["signal"] for r in rows})
    fig, axes = plt.subplots(len(signals), 2, figsize=(10, 3.2 * len(signals)), squeeze=False)
    for i, name in enumerate(signals):
        for j, target in enumerate(("prd", "max_abs_error")):
            ax = axes[i][j]
            sel = sorted((r for r in rows if r["signal"] == name and r["target"] == target), key=lambda r: r["bound"])
            for key, style in (("corvane", "o-"), ("sz3", "s--"), ("zfpy", "^:")):
                pts = [(r["bound"], r[key]) for r in sel if r[key]]
                if pts:
                    ax.plot(*zip(*pts), style, label=key if key != "corvane" else f"corvane {target}=")
            ax.set_xscale("log")
            ax.set_yscale("log")
            # ticks at the targets themselves, plain numbers on both axes
            ax.set_xticks([r["bound"] for r in sel], [f"{r['bound']:.3g}" for r in sel])
            ax.xaxis.set_minor_formatter(NullFormatter())
            ax.yaxis.set_major_formatter(ScalarFormatter())
            ax.yaxis.set_minor_formatter(ScalarFormatter())
            ax.set_xlabel("PRD %" if target == "prd" else "largest error")
            ax.set_ylabel("compression ratio")
            ax.set_title(f"{name}: ratio against {'PRD' if target == 'prd' else 'largest error'}")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


# --------------------------------------------------------------------------- main

def table(rows: list, columns: list) -> str:
    def fmt(v):
        if v is None:
            return "-"
        if isinstance(v, float):
            return f"{v:.4g}"
        return str(v)

    lines = ["| " + " | ".join(columns) + " |", "|" + "---|" * len(columns)]
    lines += ["| " + " | ".join(fmt(r.get(c)) for c in columns) + " |" for r in rows]
    return "\n".join(lines)


def main() -> None:
    import pywt

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="shorter signals and fewer repeats")
    parser.add_argument("--sections", default="cost,exhaustive,peers")
    parser.add_argument("--out", default=None, help="JSON output path (default: targets-quick.json or "
                        "targets-full.json in the temporary folder's corvane-bench/)")
    parser.add_argument("--refresh-docs", action="store_true", help="redraw docs/targets-rate-distortion.png")
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    n = 1 << 16 if args.quick else 1 << 20
    repeat = 3 if args.quick else 7
    prds = [0.5, 1.0, 2.0, 4.0]
    max_errors = [1e-3, 3e-3, 1e-2, 3e-2]  # as shares of the signal's range
    synthetic = {name: make(n) for name, make in SIGNALS.items()}
    ecg = {"ecg-1024": np.asarray(pywt.data.ecg(), dtype=np.float32), "ecg-long": synthetic["ecg"]}
    results: dict = {"n": n}

    if "cost" in sections:
        rows = cost(synthetic, [("prd", 1.0), ("max_abs_error", 3e-3)], repeat)
        # chunks of the sizes stores hold
        chunks = {f"{name}-{k}": SIGNALS[name](k) for name in ("ecg", "walk") for k in (1024, 4096)}
        chunks["ecg-65536"] = SIGNALS["ecg"](1 << 16)
        rows += cost(chunks, [("prd", 1.0), ("max_abs_error", 3e-3)], repeat)
        results["cost"] = rows
        print("\n## Cost: encoding with a target / one default compress_signal (thread CPU time)\n")
        print(table(rows, ["signal", "n", "target", "bound", "compress_s", "target_s", "ratio"]))
    if "exhaustive" in sections:
        # 65536 samples of each: the search codes every candidate in full.
        few = {k: v[: 1 << 16] for k, v in synthetic.items()}
        rows = exhaustive({"ecg-1024": ecg["ecg-1024"], **few}, prds, [3e-3, 1e-2], "cdf97")
        results["exhaustive"] = rows
        print("\n## Stream size against an exhaustive search (cdf97)\n")
        print(table(rows, ["signal", "n", "target", "bound", "tuned_bytes", "exhaustive_bytes",
                           "exhaustive_zone", "excess_percent"]))
    if "peers" in sections:
        rows = peers(ecg, prds, max_errors)
        results["peers"] = rows
        print("\n## Compression ratio at the same target: corvane (cdf97), SZ3, zfpy\n")
        print(table(rows, ["signal", "target", "bound", "corvane", "sz3", "zfpy"]))
        for name in ecg:
            for target in ("prd", "max_abs_error"):
                pairs = [(r["corvane"], r["sz3"]) for r in rows
                         if r["signal"] == name and r["target"] == target and r["corvane"] and r["sz3"]]
                if pairs:
                    gm = math.exp(statistics.mean(math.log(a / b) for a, b in pairs))
                    print(f"\n{name}, {target}: geometric mean of corvane / SZ3 ratios = {gm:.3f}")
        picture = ROOT.parent / "docs" if args.refresh_docs else output_path(args.out, "targets.json").parent
        plot(rows, picture / "targets-rate-distortion.png")

    # Sections run on their own update the figures of an earlier run.
    out = output_path(args.out, f"targets-{'quick' if args.quick else 'full'}.json")
    earlier = json.loads(out.read_text()) if out.exists() else {}
    out.write_text(json.dumps({**earlier, **results}, indent=1))
    print(f"\nraw figures in {out}")


if __name__ == "__main__":
    main()
