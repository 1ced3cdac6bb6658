"""Compress and restore a synthetic ECG-like recording with a few option sets.

Run after `pip install .`:  python examples/quickstart.py
"""

import numpy as np

import corvane


def ecg_like(seconds: float = 60.0, rate: int = 360, seed: int = 7) -> np.ndarray:
    """A heartbeat-shaped waveform (P, QRS and T waves) with baseline wander and noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * rate)) / rate
    signal = np.zeros_like(t)
    beat = 0.0
    while beat < seconds:
        for offset, width, height in ((-0.2, 0.025, 0.12), (-0.03, 0.01, -0.15),
                                      (0.0, 0.012, 1.2), (0.03, 0.01, -0.25), (0.25, 0.05, 0.3)):
            signal += height * np.exp(-0.5 * ((t - beat - offset) / width) ** 2)
        beat += 0.8 + 0.05 * rng.standard_normal()
    signal += 0.15 * np.sin(2 * np.pi * 0.25 * t)  # breathing
    signal += 0.01 * rng.standard_normal(t.size)    # sensor noise
    return signal.astype(np.float32)


def prd(original: np.ndarray, restored: np.ndarray) -> float:
    """Percent root-mean-square difference."""
    x = original.astype(np.float64)
    y = restored.astype(np.float64)
    return 100.0 * float(np.sqrt(np.sum((x - y) ** 2) / np.sum(x ** 2)))


def main() -> None:
    signal = ecg_like()
    print(f"signal: {signal.size} float32 samples, {signal.nbytes} bytes")
    print(f"{'options':<40} {'bytes':>8} {'ratio':>7} {'max |err|':>10} {'PRD %':>7}")
    option_sets = [
        corvane.CompressionOptions(),
        corvane.CompressionOptions(scale=12),
        corvane.CompressionOptions(scale=9, cutoff="medium"),
        corvane.CompressionOptions(method="db4", coder="arans"),
        corvane.CompressionOptions(method="cdf53", scale=8, cutoff="high", coder="deflate"),
    ]
    labels = ["defaults (cdf97, scale 11, auto)", "scale 12", "scale 9, cutoff medium",
              "db4, arans", "cdf53, scale 8, high, deflate"]
    for label, options in zip(labels, option_sets):
        stream = corvane.compress_signal(signal, options)
        restored = corvane.decompress_signal(stream)
        err = float(np.max(np.abs(restored - signal)))
        print(f"{label:<40} {len(stream):>8} {signal.nbytes / len(stream):>7.2f} "
              f"{err:>10.5f} {prd(signal, restored):>7.3f}")


if __name__ == "__main__":
    main()
