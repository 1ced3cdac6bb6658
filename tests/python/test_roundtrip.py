"""Round trips through the public API, determinism, and the golden streams."""

import itertools
import pathlib
import zlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane

GOLDEN = pathlib.Path(__file__).parent.parent / "golden"
METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["auto", "deflate", "arans"]
CUTOFFS = ["low", "medium", "high"]
DEAD_ZONE = {"low": 1, "medium": 3, "high": 7}


def signal(kind, n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    if kind == "smooth":
        x = np.sin(t * 0.01) + 0.5 * np.sin(t * 0.13)
    elif kind == "noisy":
        x = rng.standard_normal(n)
    elif kind == "spiky":
        x = np.zeros(n)
        x[::97] = 5.0
    elif kind == "constant":
        x = np.full(n, 7.25)
    else:
        raise ValueError(kind)
    return x.astype(np.float32)


def error_bound(scale, cutoff, value_range):
    """Largest absolute error we promise, relative to the signal's range.

    The quantiser truncates (one step of 2**-scale of the range) and the dead
    zone drops details below T steps; the inverse transform can add up the
    errors of its levels, hence the margin.
    """
    threshold = (0, 0, 1, 1, 2, 2, 3)[scale - 6] * DEAD_ZONE[cutoff]
    return (2 * threshold + 6) * value_range / 2.0**scale


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("kind", ["smooth", "noisy", "spiky", "constant"])
def test_round_trip_error_stays_within_the_bound(method, coder, kind):
    for n, scale, cutoff in itertools.product((1, 2, 7, 19, 20, 80, 101, 1000, 4097),
                                              range(6, 13), CUTOFFS):
        x = signal(kind, n, seed=n)
        stream = corvane.compress_signal(x, corvane.CompressionOptions(method, scale, cutoff, coder))
        y = corvane.decompress_signal(stream)
        assert y.shape == x.shape
        value_range = float(x.max() - x.min())
        if value_range == 0.0:
            assert np.array_equal(y, x)
        else:
            err = float(np.max(np.abs(y - x)))
            assert err <= error_bound(scale, cutoff, value_range), (n, scale, cutoff, err)


@pytest.mark.parametrize("method", METHODS)
def test_long_signals_round_trip(method):
    x = signal("smooth", 100_000) + 0.01 * signal("noisy", 100_000)
    for coder in CODERS:
        y = corvane.decompress_signal(corvane.compress_signal(x, corvane.CompressionOptions(method, coder=coder)))
        assert float(np.max(np.abs(y - x))) <= error_bound(11, "low", float(x.max() - x.min()))


def test_coders_agree_on_the_decoded_signal():
    x = signal("smooth", 5000) + 0.1 * signal("noisy", 5000)
    decoded = [corvane.decompress_signal(corvane.compress_signal(x, corvane.CompressionOptions(coder=c)))
               for c in ["cmodel", "deflate", "arans"]]
    assert np.array_equal(decoded[0], decoded[1])
    assert np.array_equal(decoded[0], decoded[2])


@settings(max_examples=150, deadline=None)
@given(
    x=hnp.arrays(np.float32, st.integers(1, 3000),
                 elements=st.floats(-1e6, 1e6, width=32, allow_nan=False)),
    method=st.sampled_from(METHODS),
    coder=st.sampled_from(CODERS + ["cmodel"]),
    scale=st.integers(6, 11),
    cutoff=st.sampled_from(CUTOFFS),
)
def test_any_signal_is_deterministic_and_decodes_to_its_length(x, method, coder, scale, cutoff):
    options = corvane.CompressionOptions(method, scale, cutoff, coder)
    stream = corvane.compress_signal(x, options)
    assert stream == corvane.compress_signal(x.copy(), options)
    assert stream == corvane.compress_signal(x.astype(np.float64), options)
    y = corvane.decompress_signal(stream)
    assert y.dtype == np.float32 and y.shape == x.shape
    assert np.all(np.isfinite(y))


@settings(max_examples=40, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1),
    n=st.integers(2000, 60_000),
    kind=st.sampled_from(["walk", "step", "ramp"]),
    method=st.sampled_from(METHODS),
    coder=st.sampled_from(CODERS),
    multiplier=st.one_of(st.none(), st.floats(4096.0, 1e7)),
)
def test_fine_quantisation_never_saturates(seed, n, kind, method, coder, multiplier):
    # Slow signals of many levels grow coarse coefficients to several times
    # the unit range; at scale 12 or a large multiplier the quantiser would
    # clamp them. The stream then carries a smaller multiplier instead, and
    # the error stays one of a few quantisation steps of the one used.
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    if kind == "walk":
        x = np.cumsum(rng.standard_normal(n))
    elif kind == "step":
        x = (t >= rng.integers(1, n)) * 5.0 + 20.0 + 0.01 * rng.standard_normal(n)
    else:
        x = t / n
    x = x.astype(np.float32)
    stream = corvane.compress_signal(x, corvane.CompressionOptions(method, 12, "low", coder, multiplier))
    used = float(np.frombuffer(stream[36:40], "<f4")[0])
    requested = 4096.0 if multiplier is None else float(np.float32(multiplier))
    assert 0.0 < used <= requested
    y = corvane.decompress_signal(stream)
    err = float(np.max(np.abs(y - x)))
    assert err <= (2 * 3 + 6) * float(x.max() - x.min()) / used, (err, used)


def test_float64_input_gives_the_bytes_of_its_float32_rounding():
    x = np.random.default_rng(3).standard_normal(2000) * 1e3
    assert corvane.compress_signal(x) == corvane.compress_signal(x.astype(np.float32))


def test_overflowing_range_is_refused_at_compression():
    with pytest.raises(ValueError, match=r"^Unsupported compression configuration "
                                         r"'Can't compress data whose range exceeds single precision'$"):
        corvane.compress_signal(np.array([-3e38, 3e38], dtype=np.float32))
    # Infinities the caller gives count as 1 and 0.
    y = corvane.decompress_signal(corvane.compress_signal(np.array([-np.inf, np.inf, 0.5])))
    np.testing.assert_allclose(y, [0.0, 1.0, 0.5], atol=1e-3)
    widest = np.array([-1.7014117e38, 1.7014117e38, 0.0], dtype=np.float32)
    assert np.all(np.isfinite(corvane.decompress_signal(corvane.compress_signal(widest))))


def _golden_cases():
    # One case a line: name, method, scale, cutoff, coder, quant_multiplier ("-": none).
    cases = {}
    for line in (GOLDEN / "cases.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, method, scale, cutoff, coder, multiplier = line.split()
            cases[name] = {"method": method, "scale": int(scale), "cutoff": cutoff, "coder": coder,
                           "quant_multiplier": None if multiplier == "-" else float(multiplier)}
    return cases


_CASES = _golden_cases()
_NAMES = sorted(_CASES)


def _inflated_payload(stream):
    return zlib.decompress(stream[52:], -15)


@pytest.mark.parametrize("name", _NAMES)
def test_golden_streams_decode_and_encode_unchanged(name):
    x = np.fromfile(GOLDEN / f"{name}.input.f32", dtype="<f4").astype(np.float32)
    stream = (GOLDEN / f"{name}.stream").read_bytes()
    decoded = np.fromfile(GOLDEN / f"{name}.decoded.f32", dtype="<f4").astype(np.float32)
    # Decoding a stored stream gives exactly the stored floats, bit for bit.
    assert corvane.decompress_signal(stream).view(np.uint32).tolist() == decoded.view(np.uint32).tolist()
    # Compressing the stored input gives the stored stream (for DEFLATE, the
    # header and the inflated coefficients: its compressed bytes are zlib's).
    fresh = corvane.compress_signal(x, corvane.CompressionOptions(**_CASES[name]))
    if stream[14] == 0:
        assert fresh[:32] == stream[:32] and fresh[36:52] == stream[36:52]
        assert _inflated_payload(fresh) == _inflated_payload(stream)
    else:
        assert fresh == stream


@pytest.mark.parametrize("multiplier", [0.0, -0.0, -1.0, np.inf, -np.inf, np.nan])
def test_streams_with_an_unusable_multiplier_decode_with_the_scale(multiplier):
    # Such streams can no longer be written, but ones written before still decode.
    x = signal("smooth", 3000)
    stream = corvane.compress_signal(x, corvane.CompressionOptions(scale=10, quant_multiplier=1024.0))
    patched = stream[:36] + np.float32(multiplier).tobytes() + stream[40:]
    assert np.array_equal(corvane.decompress_signal(patched), corvane.decompress_signal(stream))
