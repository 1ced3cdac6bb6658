"""The numcodecs codec on its own: settings, configuration, encoding and decoding."""

import json
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import corvane

numcodecs = pytest.importorskip("numcodecs")
from corvane_numcodecs import Corvane  # noqa: E402  (needs numcodecs)

# Writing and opening arrays through the codecs warns of nothing.
pytestmark = pytest.mark.filterwarnings("error")

OPTION_SETS = [
    {},
    {"method": "db4", "scale": 12, "cutoff": "medium", "coder": "arans"},
    {"method": "cdf53", "scale": 8, "cutoff": "high", "coder": "deflate"},
    {"method": "sym4", "scale": 6, "coder": "cmodel", "quant_multiplier": 100.0},
]


def wave(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n, dtype=np.float64)
    return (np.sin(t / 9.0) * 3.0 + 0.2 * rng.standard_normal(n)).astype(np.float32)


def reference(samples, **options):
    return corvane.compress_signal(samples, corvane.CompressionOptions(**options))


@pytest.mark.parametrize("options", OPTION_SETS)
def test_config_round_trip_keeps_the_settings_and_the_stream(options):
    codec = Corvane(**options)
    config = codec.get_config()
    assert config["id"] == "corvane"
    # Stored metadata is JSON: the configuration must survive it.
    rebuilt = numcodecs.get_codec(json.loads(json.dumps(config)))
    assert isinstance(rebuilt, Corvane)
    assert rebuilt == codec
    assert Corvane.from_config({k: v for k, v in config.items() if k != "id"}) == codec
    # Process pools and distributed schedulers pickle codecs.
    assert pickle.loads(pickle.dumps(codec)) == codec
    samples = wave(777)
    assert rebuilt.encode(samples) == pickle.loads(pickle.dumps(codec)).encode(samples) == reference(samples, **options)
    # The settings read as attributes, and repr shows those given, as a call would give them.
    assert all(getattr(codec, k) == v for k, v in config.items() if k != "id")
    assert eval(repr(codec), {"Corvane": Corvane}) == codec
    assert set(options) <= set(re.findall(r"(\w+)=", repr(codec)))
    # They are the codec's settings for good: one that changed would no longer be what codes the chunks.
    with pytest.raises(AttributeError):
        codec.scale = 7


def test_settings_given_as_index_objects_become_plain_numbers():
    config = Corvane(scale=np.int64(9), quant_multiplier=np.float32(64)).get_config()
    assert type(config["scale"]) is int and config["scale"] == 9
    assert type(config["quant_multiplier"]) is float and config["quant_multiplier"] == 64.0


@pytest.mark.parametrize(
    "options, error",
    [
        ({"method": "haar"}, ValueError),
        ({"scale": 13}, ValueError),
        ({"scale": 11.0}, TypeError),
        ({"quant_multiplier": "2"}, TypeError),
    ],
)
def test_bad_settings_are_refused_like_the_options_class_refuses_them(options, error):
    with pytest.raises(error) as from_options:
        corvane.CompressionOptions(**options)
    with pytest.raises(error) as from_codec:
        Corvane(**options)
    assert str(from_codec.value) == str(from_options.value)


def test_get_codec_finds_the_codec_without_importing_it():
    script = (
        "import sys, numcodecs\n"
        "assert 'corvane_numcodecs' not in sys.modules\n"
        "codec = numcodecs.get_codec({'id': 'corvane', 'scale': 9, 'coder': 'arans'})\n"
        "print(type(codec).__module__, codec.scale, codec.coder)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["corvane_numcodecs", "9", "arans"]


def _c_order(x):
    return np.ascontiguousarray(np.asarray(x, dtype=np.float32).ravel(order="C"))


base = wave(600)
grid = base.reshape(20, 30)


@pytest.mark.parametrize(
    "given, flat",
    [
        (base, base),
        (base.astype(">f4"), base),
        (base[::2], base[::2]),
        (grid, base),
        (grid[:, ::3], _c_order(grid[:, ::3])),
        (np.asfortranarray(grid), _c_order(grid.T)),  # memory order, as chunk stores lay it out
        (base[:5].tolist(), base[:5]),
        (np.float32(2.5), np.array([2.5], dtype=np.float32)),
    ],
    ids=["f32", "big-endian", "strided", "2-D", "2-D strided", "fortran", "list", "scalar"],
)
def test_encode_takes_any_float_array_like(given, flat):
    assert Corvane().encode(given) == corvane.compress_signal(np.ascontiguousarray(flat, dtype=np.float32))


@pytest.mark.parametrize("given", [np.arange(10), np.ones(10, dtype=np.float16), b"\x00" * 40, ["a", "b"]])
def test_encode_refuses_samples_that_are_not_float32_or_float64(given):
    with pytest.raises(TypeError, match="float32 or float64"):
        Corvane().encode(given)


stream = corvane.compress_signal(wave(301))
decoded = corvane.decompress_signal(stream)


@pytest.mark.parametrize(
    "buf",
    [stream, bytearray(stream), memoryview(stream), np.frombuffer(stream, dtype=np.uint8), stream + b"tail"],
    ids=["bytes", "bytearray", "memoryview", "uint8 array", "trailing bytes"],
)
def test_decode_reads_any_buffer(buf):
    out = Corvane().decode(buf)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, decoded)


@pytest.mark.parametrize(
    "out, as_float32",
    [
        (np.empty(301, dtype=np.float32), lambda o: o),
        (np.empty((7, 43), dtype=np.float32), lambda o: o.ravel()),
        (np.empty(301, dtype=np.float64), lambda o: o.astype(np.float32)),
        (bytearray(301 * 4), lambda o: np.frombuffer(o, dtype=np.float32)),
        (np.empty(301 * 4, dtype=np.uint8), lambda o: o.view(np.float32)),
    ],
    ids=["f32", "f32 2-D", "f64", "bytearray", "uint8"],
)
def test_decode_fills_out_and_returns_it(out, as_float32):
    assert Corvane().decode(stream, out=out) is out
    np.testing.assert_array_equal(as_float32(out), decoded)


@pytest.mark.parametrize(
    "out, message",
    [
        (np.empty(300, dtype=np.float32), "300 values"),
        (np.empty(302, dtype=np.float64), "302 values"),
        (bytearray(301 * 8), "bytes"),
        (np.empty(602, dtype=np.float32)[::2], "contiguous"),
        (bytes(301 * 4), "writeable"),
    ],
)
def test_decode_refuses_an_out_it_cannot_fill(out, message):
    with pytest.raises(ValueError, match=message):
        Corvane().decode(stream, out=out)


read_only = np.empty(301, dtype=np.float32)
read_only.flags.writeable = False


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda: Corvane().encode(np.zeros((3, 4), np.int64)), TypeError, ["float32 or float64", "an int64 array of shape (3, 4)"]),
        (lambda: Corvane().encode(np.zeros((3, 4))), TypeError, ["dtype='float64'", "a float64 array of shape (3, 4)"]),
        (lambda: Corvane(dtype="int16").encode(np.zeros((2, 5), np.float32)), TypeError,
         ["set for int16", "a float32 array of shape (2, 5)"]),
        (lambda: Corvane().decode(stream, out=np.empty((3, 100), np.float32)), ValueError,
         ["301 samples", "a float32 array of shape (3, 100)"]),
        (lambda: Corvane().decode(stream, out=np.empty((3, 100), np.float16)), ValueError,
         ["needs 301 elements", "a float16 array of shape (3, 100)"]),
        (lambda: Corvane().decode(stream, out=bytearray(10)), ValueError, ["decodes to 1204", "a bytearray object of 10 bytes"]),
        (lambda: Corvane().decode(stream, out=read_only), ValueError, ["writeable", "shape (301,), which is read-only"]),
    ],
    ids=["int64", "float64", "not the set dtype", "out too small", "float16 out", "bytes out", "read-only out"],
)
def test_errors_name_what_was_given_and_what_was_expected(call, error, words):
    with pytest.raises(error) as caught:
        call()
    for word in words:
        assert word in str(caught.value)


def test_help_describes_every_setting_and_call():
    import inspect
    import pydoc

    page = pydoc.render_doc(Corvane, renderer=pydoc.plaintext)
    for name in inspect.signature(Corvane).parameters:
        assert f"``{name}" in page, name
    # Each public call explains itself in the codec's own words, not in the abstract base's.
    for method in (Corvane.encode, Corvane.decode, Corvane.get_config):
        assert method.__qualname__.startswith("Corvane.") and method.__doc__, method
