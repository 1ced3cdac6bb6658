"""Writes the golden streams: fixed inputs, the streams they compress to today,
and what those streams decode to, as plain files that the C++ and the Python
tests both read. Run only when the stream format is meant to change (it never
should for existing streams); the tests compare against the checked-in files.

    python tests/golden/make_golden.py

cases.txt lists one case a line: its name, then method, scale, cutoff, coder
and quant_multiplier ("-": none). Each case has three files: NAME.input.f32
(the samples) and NAME.decoded.f32 (what the stream decodes to), both
little-endian float32, and NAME.stream, the stream's bytes.
"""

import pathlib

import numpy as np

import corvane

HERE = pathlib.Path(__file__).parent

# name: (input builder, CompressionOptions keyword arguments)
CASES = {
    "cdf97_auto_ecgish": ("ecgish", 3000, {}),
    "cdf97_deflate": ("ecgish", 3000, {"coder": "deflate"}),
    "cdf97_arans": ("ecgish", 3000, {"coder": "arans"}),
    "cdf53_auto": ("walk", 2561, {"method": "cdf53"}),
    "cdf53_deflate_s8_high": ("walk", 2561, {"method": "cdf53", "scale": 8, "cutoff": "high", "coder": "deflate"}),
    "cdf53_arans_s12": ("noise", 1001, {"method": "cdf53", "scale": 12, "coder": "arans"}),
    "db4_auto_odd": ("ecgish", 1001, {"method": "db4"}),
    "db4_deflate_s6": ("noise", 640, {"method": "db4", "scale": 6, "coder": "deflate"}),
    "db4_arans_medium": ("walk", 999, {"method": "db4", "cutoff": "medium", "coder": "arans"}),
    "sym4_auto_s12_high": ("ecgish", 2048, {"method": "sym4", "scale": 12, "cutoff": "high"}),
    "sym4_deflate": ("walk", 777, {"method": "sym4", "coder": "deflate"}),
    "sym4_arans": ("ecgish", 1500, {"method": "sym4", "coder": "arans"}),
    "cdf97_short3": ("ecgish", 3, {}),
    "cdf97_single": ("noise", 1, {}),
    "cdf97_flat": ("flat", 500, {}),
    "cdf97_multiplier100": ("ecgish", 1200, {"quant_multiplier": 100.0}),
    "cdf97_nonfinite_values": ("nonfinite", 300, {"scale": 9, "cutoff": "medium"}),
}


def make_input(kind: str, n: int) -> np.ndarray:
    rng = np.random.default_rng(20261207)
    t = np.arange(n, dtype=np.float64)
    if kind == "ecgish":
        x = np.sin(t * 0.02) + 1.5 * np.exp(-0.5 * ((t % 300 - 150) / 4.0) ** 2) + 0.02 * rng.standard_normal(n)
    elif kind == "walk":
        x = np.cumsum(rng.standard_normal(n)) * 0.1 + 40.0
    elif kind == "noise":
        x = rng.standard_normal(n) * 1e-3
    elif kind == "flat":
        x = np.full(n, -2.75)
    elif kind == "nonfinite":
        x = np.sin(t * 0.1)
        x[::7] = np.nan
        x[3::11] = np.inf
        x[5::13] = -np.inf
    else:
        raise ValueError(kind)
    return x.astype(np.float32)


def main() -> None:
    lines = ["# name method scale cutoff coder quant_multiplier (\"-\": none); see make_golden.py"]
    for name, (kind, n, kwargs) in CASES.items():
        options = {"method": "cdf97", "scale": 11, "cutoff": "low", "coder": "auto", **kwargs}
        multiplier = kwargs.get("quant_multiplier")
        lines.append(" ".join([name, options["method"], str(options["scale"]), options["cutoff"], options["coder"],
                               "-" if multiplier is None else repr(float(multiplier))]))
        x = make_input(kind, n)
        stream = corvane.compress_signal(x, corvane.CompressionOptions(**kwargs))
        (HERE / f"{name}.input.f32").write_bytes(x.astype("<f4").tobytes())
        (HERE / f"{name}.stream").write_bytes(stream)
        (HERE / f"{name}.decoded.f32").write_bytes(corvane.decompress_signal(stream).astype("<f4").tobytes())
    (HERE / "cases.txt").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
