"""Writes the seed corpora under tests/fuzz/seeds/<harness>/ from small
streams made with the installed module. Run again after a format change:

    python3 tests/fuzz/make_seeds.py
"""
import pathlib
import shutil
import struct

import numpy as np

import corvane

HERE = pathlib.Path(__file__).resolve().parent
SEEDS = HERE / "seeds"
METHODS = ["cdf53", "cdf97", "db4", "sym4"]
CODERS = ["deflate", "arans", "cmodel"]
METHOD_CODES = {b"cf53": 0, b"cf97": 1, b"db04": 2, b"sym4": 3}
LENGTHS = [3, 40, 257]


def signal(n, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    x = np.sin(t * 0.07) + 0.3 * np.sin(t * 0.9) + 0.05 * rng.standard_normal(n)
    return x.astype(np.float32)


def write(harness, name, data):
    folder = SEEDS / harness
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main():
    shutil.rmtree(SEEDS, ignore_errors=True)
    for mi, method in enumerate(METHODS):
        for ci, coder in enumerate(CODERS):
            for n in LENGTHS:
                scale = 6 + (mi + ci + n) % 7
                opts = corvane.CompressionOptions(method=method, scale=scale, coder=coder)
                stream = corvane.compress_signal(signal(n, n + mi), opts)
                name = f"{method}-{coder}-{n}"
                write("decompress", name, stream)
                if n == 40:
                    write("header", name, stream[:52])
                payload = stream[52:]
                if coder == "arans":
                    write("decode_stream", name, payload)
                if coder == "cmodel":
                    levels = stream[12]
                    mode = METHOD_CODES[stream[8:12]] | ((levels - 1) % 10) << 2
                    write("decode_coeffs", name, bytes([mode]) + stream[16:20] + payload)
    # The rANS coder's worked example, "abcdef", and a raw short stream.
    write("decode_stream", "abcdef", bytes.fromhex("000303 06e634cc000031 0137ba008037".replace(" ", "")))
    write("decode_stream", "raw", b"\x01\x02\x03")

    configs = [(1, 11, None), (0, 8, None), (2 | 1 << 2 | 1 << 4, 12, None),
               (3 | 2 << 2 | 2 << 4, 6, None), (1 | 3 << 4, 9, 1000.0), (0 | 1 << 4, 7, 3.5)]
    for i, (b0, scale, mult) in enumerate(configs):
        head = bytes([b0, scale - 6, 0 if mult is None else 1])
        if mult is not None:
            head += struct.pack("<f", mult)
        n = [1, 9, 33, 120, 70, 17][i]
        samples = signal(n, i) * (10.0 ** (i - 2))
        if i == 3:
            samples[::5] = np.nan
            samples[1::7] = np.inf
        write("roundtrip", f"config{i}", head + samples.tobytes())

    lane_and_destination_seeds()


def lane_and_destination_seeds():
    """Runs of lanes (a group size and thread byte first) and streams behind
    destination descriptions (item size, alignment, length skew, format)."""
    for i, (lanes, n, coder) in enumerate([(1, 40, "cmodel"), (3, 257, "arans"), (4, 9, "deflate"), (2, 3000, "cmodel")]):
        opts = corvane.CompressionOptions(coder=coder)
        run = b"".join(corvane.compress_signal(signal(n, k) * (k + 1), opts) for k in range(lanes))
        write("lanes", f"run{i}-{lanes}x{n}-{coder}", bytes([i % 4, (i % 3) | (i & 1) << 7]) + run)
    flat = corvane.compress_signal(np.zeros(20000, np.float32))
    write("lanes", "bare-headers", bytes([0, 1]) + flat + (flat[:32] + bytes(4) + flat[36:52]) * 3)
    stream = corvane.compress_signal(signal(40, 7), corvane.CompressionOptions(coder="cmodel"))
    for name, itemsize, offset, skew, fmt in [("f32", 4, 0, 0, b"f"), ("f64-odd", 8, 1, 0, b"<d"),
                                              ("int16", 2, 3, 0, b"h"), ("bytes-short", 1, 0, 255, b"B"),
                                              ("object", 8, 0, 0, b"O"), ("bool", 1, 0, 0, b"?"),
                                              ("half", 2, 0, 0, b"e"), ("swapped", 4, 2, 4, b">f")]:
        head = bytes([itemsize, offset, skew, len(fmt)]) + fmt
        write("destination", name, head + stream)


if __name__ == "__main__":
    main()
