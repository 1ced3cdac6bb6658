"""Compress a real ECG recording at a few scales and draw what the codec did to it.

The recording is the ECG excerpt that PyWavelets ships (1024 samples). Each
scale's reconstruction is drawn over the original on a zoomed window, its
error below; the legend gives the compression ratio, the PRD and the largest
error of the whole recording.

Run after `pip install ".[examples]"`:

    python examples/plot_signal.py                   # writes a PNG in the temporary folder
    python examples/plot_signal.py out.png           # writes out.png
    python examples/plot_signal.py --refresh-docs    # rewrites docs/plot_signal.png
"""

from __future__ import annotations

import argparse
import pathlib
import tempfile

import matplotlib

matplotlib.use("Agg")  # files only, no display needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
import pywt  # noqa: E402

import corvane  # noqa: E402

SCALES = (6, 8, 11)
# The end of one beat: T wave and the quiet stretch after it, where the
# differences between scales are large enough to see.
WINDOW = slice(200, 330)
COLOURS = ("tab:red", "tab:orange", "tab:blue")


def prd(original: npt.NDArray[np.float32], restored: npt.NDArray[np.float32]) -> float:
    """Percent root-mean-square difference."""
    x = original.astype(np.float64)
    y = restored.astype(np.float64)
    return 100.0 * float(np.sqrt(np.sum((x - y) ** 2) / np.sum(x**2)))


def main(output: pathlib.Path) -> None:
    signal = pywt.data.ecg().astype(np.float32)
    t = np.arange(signal.size)[WINDOW]

    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(10, 6.5), sharex=True, gridspec_kw={"height_ratios": [3, 2]}
    )
    top.plot(t, signal[WINDOW], color="black", linewidth=2.0, marker="o", markersize=2.5, label="original (4096 bytes as float32)")

    for scale, colour in zip(SCALES, COLOURS):
        stream = corvane.compress_signal(signal, corvane.CompressionOptions(scale=scale))
        restored = corvane.decompress_signal(stream)
        error = restored - signal
        label = (
            f"scale {scale}: {len(stream)} bytes, ratio {signal.nbytes / len(stream):.1f}, "
            f"PRD {prd(signal, restored):.2f} %, max |err| {np.abs(error).max():.2f}"
        )
        top.plot(t, restored[WINDOW], color=colour, linewidth=1.1, label=label)
        bottom.plot(t, error[WINDOW], color=colour, linewidth=1.1, label=f"scale {scale}")

    top.set_title(f"ECG from PyWavelets ({signal.size} samples): original and reconstructions, zoomed")
    top.set_ylabel("amplitude")
    low, high = float(signal[WINDOW].min()), float(signal[WINDOW].max())
    top.set_ylim(low - 0.05 * (high - low), high + 0.6 * (high - low))  # room for the legend
    top.legend(loc="upper right", fontsize=8.5, title="whole recording", title_fontsize=8.5)
    bottom.axhline(0.0, color="black", linewidth=0.6)
    bottom.set_title("error (reconstruction minus original)", fontsize=10)
    bottom.set_xlabel("sample")
    bottom.set_ylabel("error")
    bottom.legend(loc="upper right", fontsize=8.5, ncol=len(SCALES))
    for axes in (top, bottom):
        axes.grid(alpha=0.3)
    fig.tight_layout()

    output.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(output, dpi=110)
    print(f"wrote {output}")


DOCS_PICTURE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "plot_signal.png"


def output_path(argv: list[str] | None = None) -> pathlib.Path:
    """Where to write: the given path, the picture in docs/ when asked, else the temporary folder."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("output", nargs="?", type=pathlib.Path, help="the PNG file to write")
    where.add_argument("--refresh-docs", action="store_true", help=f"rewrite {DOCS_PICTURE.name} in docs/")
    args = parser.parse_args(argv)
    if args.refresh_docs:
        return DOCS_PICTURE
    if args.output is not None:
        return args.output
    return pathlib.Path(tempfile.gettempdir()) / "corvane_plot_signal.png"


if __name__ == "__main__":
    main(output_path())
