"""CompressionOptions: argument binding, conversion, validation and the record it carries.

The options object exposes nothing to Python, so the record is observed through the
stream header that compress_signal writes: method code at bytes 8..12, scale at 13,
coder at 14 and the multiplier (f32) at 36..40.
"""

import copy
import struct

import numpy as np
import pytest

from corvane import CompressionOptions, compress_signal, decompress_signal

RNG = np.random.default_rng(7)
SIGNAL = (np.sin(np.linspace(0.0, 40.0, 1000)) + 0.05 * RNG.standard_normal(1000)).astype(np.float32)


def header(options):
    return compress_signal(SIGNAL, options)[:52]


def multiplier_bits(stream):
    return struct.unpack("<I", stream[36:40])[0]


def f32_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def test_defaults_are_the_record_used_without_options():
    stream = compress_signal(SIGNAL, CompressionOptions())
    assert stream == compress_signal(SIGNAL) == compress_signal(SIGNAL, None)
    assert stream[8:12] == b"cf97"
    assert stream[13] == 11
    assert multiplier_bits(stream) == f32_bits(2048.0)


@pytest.mark.parametrize(
    "method, code", [("cdf53", b"cf53"), ("cdf97", b"cf97"), ("db4", b"db04"), ("sym4", b"sym4")]
)
def test_method_names_map_to_their_codes(method, code):
    assert header(CompressionOptions(method=method))[8:12] == code


@pytest.mark.parametrize("scale", [6, 9, 12])
def test_scale_is_stored_and_sets_the_default_multiplier(scale):
    stream = header(CompressionOptions(scale=scale))
    assert stream[13] == scale
    assert multiplier_bits(stream) == f32_bits(2.0**scale)


@pytest.mark.parametrize("coder, code", [("deflate", 0), ("arans", 1), ("cmodel", 2)])
def test_explicit_coders_map_to_their_codes(coder, code):
    assert header(CompressionOptions(coder=coder))[14] == code


def test_auto_coder_and_no_coder_are_the_same_record():
    assert compress_signal(SIGNAL, CompressionOptions(coder="auto")) == compress_signal(
        SIGNAL, CompressionOptions(coder=None)
    )


def test_cutoff_levels_are_told_apart():
    streams = {c: compress_signal(SIGNAL, CompressionOptions(cutoff=c)) for c in ("low", "medium", "high")}
    assert len(set(streams.values())) == 3


def test_positional_and_keyword_arguments_give_the_same_record():
    positional = CompressionOptions("cdf53", 6, "high", "deflate", 0.5)
    keyword = CompressionOptions(method="cdf53", scale=6, cutoff="high", coder="deflate", quant_multiplier=0.5)
    stream = compress_signal(SIGNAL, positional)
    assert stream == compress_signal(SIGNAL, keyword)
    assert (stream[8:12], stream[13], stream[14]) == (b"cf53", 6, 0)
    assert multiplier_bits(stream) == f32_bits(0.5)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 4.0


def test_integer_and_float_protocols_are_honoured():
    stream = header(CompressionOptions(scale=Index(8), quant_multiplier=Real()))
    assert stream[13] == 8
    assert multiplier_bits(stream) == f32_bits(4.0)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("cdf97", 11, "low", None, None, 1), {}, "CompressionOptions.__new__() takes from 0 to 5 positional arguments but 6 were given"),
        ((), {"level": 3}, "CompressionOptions.__new__() got an unexpected keyword argument 'level'"),
        (("cdf97",), {"method": "db4"}, "CompressionOptions.__new__() got multiple values for argument 'method'"),
        (("cdf97", 11, "low"), {"cutoff": "high"}, "CompressionOptions.__new__() got multiple values for argument 'cutoff'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CompressionOptions(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "kwargs, exc, message",
    [
        ({"method": None}, TypeError, "argument 'method': 'None' is not an instance of 'str'"),
        ({"method": b"cdf97"}, TypeError, "argument 'method': 'bytes' object is not an instance of 'str'"),
        ({"cutoff": None}, TypeError, "argument 'cutoff': 'None' is not an instance of 'str'"),
        ({"cutoff": 1}, TypeError, "argument 'cutoff': 'int' object is not an instance of 'str'"),
        ({"coder": 2}, TypeError, "argument 'coder': 'int' object is not an instance of 'str'"),
        ({"scale": 11.0}, TypeError, "argument 'scale': 'float' object cannot be interpreted as an integer"),
        ({"scale": "11"}, TypeError, "argument 'scale': 'str' object cannot be interpreted as an integer"),
        ({"scale": None}, TypeError, "argument 'scale': 'NoneType' object cannot be interpreted as an integer"),
        ({"scale": 300}, OverflowError, "out of range integral type conversion attempted"),
        ({"scale": -1}, OverflowError, "out of range integral type conversion attempted"),
        ({"scale": 2**70}, OverflowError, "Python int too large to convert to C long"),
        ({"quant_multiplier": "2"}, TypeError, "argument 'quant_multiplier': must be real number, not str"),
        ({"quant_multiplier": 10**400}, OverflowError, "int too large to convert to float"),
    ],
)
def test_conversion_errors(kwargs, exc, message):
    with pytest.raises(exc) as info:
        CompressionOptions(**kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_conversion_runs_in_parameter_order():
    with pytest.raises(TypeError, match="^argument 'method'"):
        CompressionOptions(method=1, scale=1.5, cutoff=2)
    with pytest.raises(TypeError, match="^argument 'scale'"):
        CompressionOptions(scale=1.5, cutoff=2, quant_multiplier="x")


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def test_renamed_type_error_keeps_the_original_cause():
    cause = KeyError("inner")
    original = TypeError("no index")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        CompressionOptions(scale=IndexRaises(original))
    assert str(info.value) == "argument 'scale': no index"
    assert info.value is not original
    assert info.value.__cause__ is cause


def test_other_conversion_errors_pass_through_unchanged():
    original = ZeroDivisionError("boom")
    with pytest.raises(ZeroDivisionError) as info:
        CompressionOptions(scale=IndexRaises(original))
    assert info.value is original


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"method": "CDF97"}, "Unknown method \"CDF97\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
        ({"method": 'a"b\\c\td\re\nf\0g'}, "Unknown method \"a\\\"b\\\\c\\td\\re\\nf\\0g\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
        ({"method": "wavelet-é"}, "Unknown method \"wavelet-é\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
        ({"cutoff": "none"}, "Unknown cutoff level \"none\", expected 'low' or 'medium' or 'high'"),
        ({"coder": "zstd"}, "Unknown coder \"zstd\", expected 'auto', 'deflate', 'arans'"),
        ({"scale": 13}, "Only scaled 6..12 is supported, but it was 13"),
        ({"scale": 5}, "Only scaled 6..12 is supported, but it was 5"),
        ({"scale": 255}, "Only scaled 6..12 is supported, but it was 255"),
        ({"scale": True}, "Only scaled 6..12 is supported, but it was 1"),
        # Validation order: method, cutoff, scale, coder, multiplier.
        ({"method": "x", "scale": 99, "cutoff": "y"}, "Unknown method \"x\", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'"),
        ({"cutoff": "y", "scale": 99}, "Unknown cutoff level \"y\", expected 'low' or 'medium' or 'high'"),
        ({"scale": 5, "coder": "zstd"}, "Only scaled 6..12 is supported, but it was 5"),
        ({"coder": "zstd", "quant_multiplier": -1.0}, "Unknown coder \"zstd\", expected 'auto', 'deflate', 'arans'"),
    ],
)
def test_validation_errors(kwargs, message):
    with pytest.raises(ValueError) as info:
        CompressionOptions(**kwargs)
    assert str(info.value) == message


# A multiplier that is not a positive finite f32 once stored would be replaced by
# 2**scale when decoding, so the stream would not decode to what was compressed.
@pytest.mark.parametrize(
    "value, shown",
    [
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (0, "0.0"),
        (-1.0, "-1.0"),
        (float("nan"), "nan"),
        (float("inf"), "inf"),
        (float("-inf"), "-inf"),
        (1e300, "1e+300"),  # finite as a double, infinite as an f32
        (3.4028235677973366e38, "3.4028235677973366e+38"),  # halfway past FLT_MAX rounds to infinity
        (1e-46, "1e-46"),  # positive as a double, zero as an f32
        (2.0**-150, "7.006492321624085e-46"),  # halfway to the least subnormal rounds to zero
    ],
)
def test_unusable_multiplier_is_refused(value, shown):
    with pytest.raises(ValueError) as info:
        CompressionOptions(quant_multiplier=value)
    assert str(info.value) == f"Invalid quant_multiplier {shown}, expected a positive finite number"


@pytest.mark.parametrize(
    "value, bits",
    [
        (2, 0x40000000),
        (0.5, 0x3F000000),
        (1e-45, 0x00000001),  # least positive subnormal f32
        (2.0**-150 * 1.0000001, 0x00000001),
        (1e-40, 0x000116C2),
        (3.4028234663852886e38, 0x7F7FFFFF),  # FLT_MAX
        (3.4028235e38, 0x7F7FFFFF),  # just above FLT_MAX, rounds down to it
    ],
)
def test_usable_multiplier_is_stored_rounded_to_f32(value, bits):
    # A flat signal has no coefficient that a large multiplier could push out
    # of the 16-bit range, so the header shows the option's own value.
    flat = np.full(1000, 3.0, dtype=np.float32)
    assert multiplier_bits(compress_signal(flat, CompressionOptions(quant_multiplier=value))[:52]) == bits


def test_explicit_multiplier_round_trips():
    options = CompressionOptions(quant_multiplier=1000.0)
    restored = decompress_signal(compress_signal(SIGNAL, options))
    assert restored.shape == SIGNAL.shape
    assert np.max(np.abs(restored - SIGNAL)) < 0.05


def test_class_shape():
    assert CompressionOptions.__name__ == "CompressionOptions"
    assert CompressionOptions.__module__ == "corvane"
    assert CompressionOptions.__text_signature__ == (
        '(method="cdf97", scale=11, cutoff="low", coder=None, quant_multiplier=None)'
    )
    assert CompressionOptions.__bases__ == (object,)
    options = CompressionOptions()
    assert [name for name in dir(options) if not name.startswith("__")] == []
    with pytest.raises(AttributeError):
        options.scale = 6
    # A copy made through __new__ would silently carry the defaults instead.
    with pytest.raises(TypeError):
        copy.copy(options)
