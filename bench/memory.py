"""Peak resident memory of compress_signal and decompress_signal.

    python3 bench/memory.py                 # 16M samples of every signal
    python3 bench/memory.py --sizes 1M --signals ecg

Each call runs in a fresh interpreter: the child builds its input (the
samples, or the stream to decode), resets the kernel's high-water mark of its
resident set (/proc/self/clear_refs), makes the one call and reports how far
the high-water mark rose above the resident size it had before the call. The rise is compared with the
targets: compress at most 4 times the input's float32 size, decompress at most
3 times the output's.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent

CHILD = r"""
import sys
sys.path.insert(0, {here!r})
import numpy as np
import corvane
from compare import SIGNALS

def status(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(field + " missing")

def start():
    # Forget the peak reached while the input was built.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return status("VmRSS")

def peak():
    return status("VmHWM")

x = SIGNALS[{signal!r}]({n})
opts = corvane.CompressionOptions({method!r}, 11, "low", {coder!r})
if {op!r} == "compress":
    corvane.compress_signal(x[:4096], opts)      # load everything the call touches
    base = start()
    corvane.compress_signal(x, opts)
else:
    stream = corvane.compress_signal(x, opts)
    corvane.decompress_signal(corvane.compress_signal(x[:4096], opts))
    del x
    base = start()
    corvane.decompress_signal(stream)
print(peak() - base)
"""


def measure(op, signal, n, method="cdf97", coder=None):
    code = CHILD.format(here=str(HERE), signal=signal, n=n, op=op, method=method, coder=coder)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True)
    return int(out.stdout.split()[-1])


def parse_size(s):
    s = s.strip().upper()
    mult = 1 << 20 if s.endswith("M") else 1 << 10 if s.endswith("K") else 1
    return int(float(s.rstrip("MK")) * mult)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="16M")
    ap.add_argument("--signals", default="ecg,multitone,walk,noise")
    ap.add_argument("--coders", default="auto,deflate,arans")
    ap.add_argument("--out", default=None, help="optional JSON output path")
    args = ap.parse_args(argv)
    rows = []
    print("| signal | n | coder | compress peak / input | decompress peak / output |")
    print("|---|---|---|---:|---:|")
    for n in map(parse_size, args.sizes.split(",")):
        for signal in args.signals.split(","):
            for coder in args.coders.split(","):
                c = None if coder == "auto" else coder
                size = 4 * n
                comp = measure("compress", signal, n, coder=c) / size
                dec = measure("decompress", signal, n, coder=c) / size
                rows.append({"signal": signal, "n": n, "coder": coder, "compress_x": comp, "decompress_x": dec})
                flag_c = "" if comp <= 4 else " (over 4x)"
                flag_d = "" if dec <= 3 else " (over 3x)"
                label = f"{n // (1 << 20)}M" if n % (1 << 20) == 0 else str(n)
                print(f"| {signal} | {label} | {coder} | {comp:.2f}{flag_c} | {dec:.2f}{flag_d} |", flush=True)
    if args.out:
        pathlib.Path(args.out).write_text(json.dumps(rows, indent=1))


if __name__ == "__main__":
    main()
