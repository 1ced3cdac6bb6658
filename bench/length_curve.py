"""Cost of one compress and one decompress call over signal length.

    cmake -S . -B build -DCORVANE_BUILD_BENCH=ON && cmake --build build --target length_bench
    python3 bench/length_curve.py                        # build/bench/length_bench alone
    python3 bench/length_curve.py --baseline OTHER/bench/length_bench   # two builds side by side

Runs the C++ program bench/length_bench (default options, thread CPU time)
on the ECG-like signal of bench/compare.py at every length, repeating the
whole curve --repeat times; with --baseline the two programs take turns, run
after run, so that both see the same load. Reports the MB/s (float32 input)
of each call at each length from its fastest run (other work on a shared
machine only ever adds time), the ratio of the two builds, whether
they wrote the same bytes and decoded the same samples, and the peak
resident growth of one compress call at the largest length.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent


def parse_size(text: str) -> int:
    scale = {"k": 1000, "M": 1 << 20}.get(text[-1], 1)
    return int(float(text[:-1] if scale != 1 else text) * scale)


def write_signal(name: str, n: int, path: pathlib.Path) -> None:
    sys.path.insert(0, str(HERE))
    from compare import SIGNALS  # noqa: E402 (the signals of the comparison)

    SIGNALS[name](n).tofile(path)


def run_curve(program: str, signal: pathlib.Path, sizes: list[int], tmp: str) -> dict[int, tuple]:
    """Each call in a fresh process: a compress that keeps its stream, then a
    decompress of that stream."""
    rows = {}
    stream = pathlib.Path(tmp) / "stream.bin"
    for n in sizes:
        out = subprocess.run([program, "--keep", str(stream), str(signal), str(n)], check=True,
                             capture_output=True, text=True)
        _, c, _, size, sh, _ = out.stdout.split()
        out = subprocess.run([program, "--decompress", str(stream)], check=True, capture_output=True, text=True)
        _, d, dh = out.stdout.split()
        rows[n] = (float(c), float(d), int(size), sh, dh)
    return rows


def peak(program: str, signal: pathlib.Path, n: int) -> int:
    out = subprocess.run([program, "--peak", str(signal), str(n)], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[1])


def label(n: int) -> str:
    if n % (1 << 20) == 0:
        return f"{n >> 20}M"
    return f"{n // 1000}k" if n % 1000 == 0 else str(n)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", default=str(HERE.parent / "build" / "bench" / "length_bench"))
    ap.add_argument("--baseline", help="another build's length_bench, run in turns with --program")
    ap.add_argument("--sizes", default="100k,1M,4M,16M,64M")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--signal", default="ecg")
    ap.add_argument("--signal-file", help="raw float32 samples to use instead of generating --signal")
    ap.add_argument("--no-peak", action="store_true", help="skip the peak memory of the largest compress")
    args = ap.parse_args()

    sizes = [parse_size(s) for s in args.sizes.split(",")]
    programs = {"this": args.program}
    if args.baseline:
        programs["baseline"] = args.baseline
    with tempfile.TemporaryDirectory() as tmp:
        if args.signal_file:
            signal = pathlib.Path(args.signal_file)
        else:
            signal = pathlib.Path(tmp) / "signal.f32"
            write_signal(args.signal, max(sizes), signal)
        runs = {name: [] for name in programs}
        for _ in range(args.repeat):
            for name, program in programs.items():
                runs[name].append(run_curve(program, signal, sizes, tmp))
        peaks = {} if args.no_peak else {name: peak(p, signal, max(sizes)) for name, p in programs.items()}

    def rates(name: str, n: int) -> tuple[float, float]:
        mb = 4 * n / 1e6
        return (mb / min(r[n][0] for r in runs[name]), mb / min(r[n][1] for r in runs[name]))

    one_m = min(sizes, key=lambda n: abs(n - (1 << 20)))
    head = "| samples | compress MB/s | decompress MB/s | compress vs ~1M |"
    rule = "|---:|---:|---:|---:|"
    if args.baseline:
        head = ("| samples | compress MB/s (baseline) | × | decompress MB/s (baseline) | × "
                "| compress vs ~1M (baseline) | same bytes |")
        rule = "|---:|---:|---:|---:|---:|---:|:---:|"
    print(head)
    print(rule)
    for n in sizes:
        c, d = rates("this", n)
        flat = c / rates("this", one_m)[0]
        if not args.baseline:
            print(f"| {label(n)} | {c:.0f} | {d:.0f} | {flat:.2f} |")
            continue
        bc, bd = rates("baseline", n)
        bflat = bc / rates("baseline", one_m)[0]
        same = all(r[n][2:] == b[n][2:] for r in runs["this"] for b in runs["baseline"])
        print(f"| {label(n)} | {c:.0f} ({bc:.0f}) | {c / bc:.2f} | {d:.0f} ({bd:.0f}) | {d / bd:.2f} "
              f"| {flat:.2f} ({bflat:.2f}) | {'yes' if same else 'NO'} |")
    if peaks:
        input_bytes = 4 * max(sizes)
        for name, rise in peaks.items():
            print(f"peak growth of a {label(max(sizes))} compress ({name}): {rise / 1e6:.0f} MB "
                  f"= {rise / input_bytes:.2f} x the input")
    return 0


if __name__ == "__main__":
    sys.exit(main())
