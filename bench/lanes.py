"""Multichannel chunks: one stream per lane against one stream of the flattened chunk.

    python3 bench/lanes.py [--samples 100000] [--scale 11] [--repeats 7]

Writes a (time, 12) ECG through the zarr v3 codec twice, flattened and with
``axis=0``, and prints the stored sizes, every lead's largest error relative to
its own range, and the CPU time of encoding the chunk as lanes against
encoding the same samples as one stream (process CPU time, interleaved repeats,
medians).

No real 12-lead record is at hand offline, so the record is built from
PyWavelets' bundled single-lead ECG (360 Hz): each beat resampled to 500 Hz at a
random length, three components of a cardiac vector made from it, mixed into
twelve leads with their own gains, polarity, delays, baseline wander, offsets
and noise (1.5 to 4.5 uV RMS), on the 1 uV grid of a 16-bit recorder. How much
the lanes gain depends on how smooth each lead is: ``--noise`` and ``--rate``
show it.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile
import time
import warnings

import numpy as np

SOURCE_RATE = 360.0  # the bundled recording's sample rate
RATE = 500.0  # the usual rate of a diagnostic 12-lead recorder
RESOLUTION = 0.001  # mV per count of a 16-bit recorder (1 uV)

# Per lead: weights of the three vector components, delay in samples, baseline
# offset and wander in mV, noise RMS in mV. Limb leads are quieter than the
# chest leads; aVR is inverted; III and aVL are the quietest.
LEADS = {
    "I": ((0.55, 0.10, 0.00), 0, 0.02, 0.03, 0.0020),
    "II": ((0.90, 0.25, 0.05), 1, -0.05, 0.04, 0.0025),
    "III": ((0.15, 0.12, 0.02), 1, -0.30, 0.05, 0.0020),
    "aVR": ((-0.70, -0.15, 0.00), 0, 0.10, 0.03, 0.0020),
    "aVL": ((0.12, -0.05, 0.03), 0, 0.45, 0.02, 0.0015),
    "aVF": ((0.50, 0.18, 0.03), 1, -0.12, 0.04, 0.0025),
    "V1": ((-0.40, 0.60, 0.30), 2, 0.20, 0.08, 0.0040),
    "V2": ((-0.20, 1.30, 0.45), 3, 0.05, 0.09, 0.0045),
    "V3": ((0.40, 1.10, 0.35), 3, -0.20, 0.07, 0.0040),
    "V4": ((1.20, 0.70, 0.25), 4, 0.30, 0.06, 0.0035),
    "V5": ((1.10, 0.30, 0.10), 4, -0.08, 0.05, 0.0030),
    "V6": ((0.85, 0.10, 0.05), 5, 0.15, 0.04, 0.0025),
}


def twelve_lead(samples: int, seed: int = 0, noise: float = 1.0, rate: float = RATE) -> np.ndarray:
    """A (samples, 12) float32 record in mV, leads in the usual order, on a 1 uV grid.

    ``noise`` scales every lead's noise; ``rate`` is the sample rate in Hz.
    """
    import pywt

    counts = np.asarray(pywt.data.ecg(), dtype=np.float64)
    # The source's 5 uV counts are steps of its own converter, not of the heart:
    # a light smoothing takes them out before the beat is resampled.
    taps = np.hanning(7)[1:-1]
    beat = np.convolve(np.pad(counts, 5, mode="wrap"), taps / taps.sum(), mode="same")[5:-5]
    beat = (beat - np.median(beat)) / 200.0  # counts to mV
    rng = np.random.default_rng(seed)
    stretch = rate / SOURCE_RATE
    pieces, total = [], 0
    while total < samples + 16:
        m = int(beat.size * stretch * rng.uniform(0.85, 1.15))  # beat-to-beat variation
        pieces.append(np.interp(np.linspace(0, beat.size - 1, m), np.arange(beat.size), beat))
        total += m
    x = np.concatenate(pieces)[: samples + 16]
    # Three components of the cardiac vector: the beat, a biphasic one (the beat
    # less itself 8 samples later) and a slower echo of it.
    biphasic = np.roll(x, -4) - np.roll(x, 4)
    echo = np.convolve(x, np.hanning(25) / np.hanning(25).sum(), mode="same")
    vector = np.stack([x, biphasic, echo])
    t = np.arange(samples) / rate
    leads = []
    for (weights, delay, offset, wander, rms) in LEADS.values():
        lead = np.asarray(weights) @ vector[:, 16 - delay : 16 - delay + samples]
        phase = rng.uniform(0, 2 * np.pi)
        lead += offset + wander * np.sin(2 * np.pi * rng.uniform(0.15, 0.4) * t + phase)
        lead += noise * rms * rng.standard_normal(samples)
        leads.append(lead)
    return (np.round(np.stack(leads, axis=1) / RESOLUTION) * RESOLUTION).astype(np.float32)


def lane_errors(original: np.ndarray, restored: np.ndarray) -> np.ndarray:
    """Each lead's largest error as a share of that lead's range."""
    error = np.abs(restored.astype(np.float64) - original).max(axis=0)
    return error / np.ptp(original.astype(np.float64), axis=0)


def stored_bytes(root: pathlib.Path) -> int:
    return sum(p.stat().st_size for p in (root / "c").rglob("*") if p.is_file())


def through_zarr(record: np.ndarray, root: pathlib.Path, chunk: int, **settings: object) -> tuple[int, np.ndarray]:
    import zarr

    from corvane_numcodecs.zarr3 import Corvane

    array = zarr.create_array(
        root, shape=record.shape, chunks=(chunk, record.shape[1]), dtype="float32",
        serializer=Corvane(**settings), compressors=None, filters=None, fill_value=0.0,
    )
    array[:] = record
    return stored_bytes(root), zarr.open_array(root, mode="r")[:]


def encode_cost(record: np.ndarray, scale: int, repeats: int) -> dict[str, float]:
    """Median CPU seconds of the process (every thread counted) to encode the record.

    Lanes quantise a quiet lead more finely than a shared normalisation does, so
    they code more bits than the flattened chunk. To weigh the lanes themselves,
    the leads are also scaled to one range, where one stream of the lanes end to
    end quantises every lead as finely as the lanes do: the same samples, the
    same work, one stream against twelve.
    """
    import corvane
    from corvane_numcodecs import Corvane

    lanes, flat = Corvane(scale=scale, axis=0), Corvane(scale=scale)
    options = corvane.CompressionOptions(scale=scale)
    low, span = record.min(axis=0), np.ptp(record, axis=0)
    alike = ((record - low) / span).astype(np.float32)
    end_to_end = np.ascontiguousarray(alike.T).ravel()
    runs = {
        "lanes": lambda: lanes.encode(record),
        "flattened": lambda: flat.encode(record),
        "lanes of one range": lambda: lanes.encode(alike),
        "the same, one stream": lambda: corvane.compress_signal(end_to_end, options),
    }
    times: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(repeats):
        for name, run in runs.items():  # interleaved, so changes of load hit every variant alike
            start = time.process_time()
            run()
            times[name].append(time.process_time() - start)
    return {name: float(np.median(t)) for name, t in times.items()}


def lane_scaling(record: np.ndarray, scale: int, repeats: int) -> dict[str, tuple[float, float]]:
    """Median wall and process CPU seconds to encode and decode the record's lanes
    on one thread and on every core (the companion's own threads)."""
    from corvane_numcodecs import _native

    options = _native.CompressionOptions(scale=scale)
    chunk = np.ascontiguousarray(record)
    outer, length, inner = 1, record.shape[0], record.shape[1]
    run = _native.compress_lanes(chunk, outer, length, inner, options)
    out = np.empty_like(chunk)
    cases = {
        "encode, 1 thread": lambda: _native.compress_lanes(chunk, outer, length, inner, options, threads=1),
        "encode, every core": lambda: _native.compress_lanes(chunk, outer, length, inner, options),
        "decode, 1 thread": lambda: _native.decompress_lanes(run, 0, out, threads=1),
        "decode, every core": lambda: _native.decompress_lanes(run, 0, out),
    }
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in cases}
    for _ in range(repeats):
        for name, case in cases.items():
            wall, cpu = time.perf_counter(), time.process_time()
            case()
            times[name].append((time.perf_counter() - wall, time.process_time() - cpu))
    return {name: (float(np.median([w for w, _ in t])), float(np.median([c for _, c in t]))) for name, t in times.items()}


def main(argv: list[str]) -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--samples", type=int, default=100_000)
    ap.add_argument("--chunk", type=int, default=None, help="chunk length in samples (default: the whole record)")
    ap.add_argument("--scale", type=int, default=11)
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--noise", type=float, default=1.0, help="factor on every lead's noise")
    ap.add_argument("--rate", type=float, default=RATE, help="sample rate in Hz")
    args = ap.parse_args(argv)
    warnings.simplefilter("ignore")  # zarr's note on codecs outside its own set

    record = twelve_lead(args.samples, noise=args.noise, rate=args.rate)
    chunk = args.chunk or args.samples
    raw = record.nbytes
    with tempfile.TemporaryDirectory() as tmp:
        flat_size, flat_back = through_zarr(record, pathlib.Path(tmp) / "flat", chunk, scale=args.scale)
        lane_size, lane_back = through_zarr(record, pathlib.Path(tmp) / "lanes", chunk, scale=args.scale, axis=0)
    flat_err, lane_err = lane_errors(record, flat_back), lane_errors(record, lane_back)

    print(f"(time, 12) ECG at {args.rate:g} Hz, noise x{args.noise:g}, {args.samples} samples per lead, "
          f"chunks of {chunk}, scale {args.scale}, zarr v3")
    print(f"{'':>8} {'bytes':>10} {'ratio':>7} {'worst lead error / its range':>30}")
    for name, size, err in (("flat", flat_size, flat_err), ("axis=0", lane_size, lane_err)):
        worst = int(np.argmax(err))
        print(f"{name:>8} {size:>10} {raw / size:>6.2f}x {100 * err[worst]:>10.3f} % ({list(LEADS)[worst]})")
    print(f"lanes are {flat_size / lane_size:.2f}x smaller than flattened")
    print("per lead, % of range:  " + "  ".join(f"{n} {100 * f:.3f}/{100 * l:.3f}"
                                              for n, f, l in zip(LEADS, flat_err, lane_err)) + "  (flat/lanes)")

    cost = encode_cost(record, args.scale, args.repeats)
    print(f"encode, process CPU, median of {args.repeats}: "
          + ", ".join(f"{name} {1e3 * t:.1f} ms" for name, t in cost.items()))
    print(f"lanes cost {cost['lanes'] / cost['flattened']:.3f}x the flattened stream; leads of one range: "
          f"lanes {cost['lanes of one range'] / cost['the same, one stream']:.3f}x one stream of the same samples")

    import os

    scaling = lane_scaling(record, args.scale, args.repeats)
    print(f"lanes on {os.cpu_count()} cores (load average {os.getloadavg()[0]:.1f}), median wall / process CPU:")
    for name, (wall, cpu) in scaling.items():
        print(f"  {name:<20} {1e3 * wall:7.1f} ms wall {1e3 * cpu:7.1f} ms CPU")
    for what in ("encode", "decode"):
        one, every = scaling[f"{what}, 1 thread"][0], scaling[f"{what}, every core"][0]
        print(f"  {what}: every core {one / every:.2f}x the speed of one thread")


if __name__ == "__main__":
    main(sys.argv[1:])
