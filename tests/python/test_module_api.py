"""The module's surface: its structure, argument binding of the two functions, and
how arrays and bytes cross into and out of the codec."""

import gc
import importlib.util
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane
from corvane import CompressionOptions, compress_signal, decompress_signal

SIGNAL = np.cos(np.linspace(0.0, 25.0, 1000)).astype(np.float32)


def test_module_structure():
    assert corvane.__all__ == ["CompressionOptions", "compress_signal", "decompress_signal"]
    assert corvane.__doc__ == ""
    assert compress_signal.__text_signature__ == "(data, options=None)"
    assert compress_signal.__doc__ == (
        "Compress a 1-D float32 **or** float64 NumPy array into Corvane `bytes`.\n\n"
        "float64 input is downcast to float32 before compression (the codec works in\n"
        "f32 internally and always reconstructs f32 on decompress)."
    )
    assert decompress_signal.__text_signature__ == "(data)"
    assert decompress_signal.__doc__ == "Decompress a Corvane bytes object into a 1-D float32 NumPy array."
    assert compress_signal.__module__ == decompress_signal.__module__ == "corvane"


def test_a_second_module_instance_shares_the_options_class():
    found = importlib.util.find_spec("corvane")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not corvane
    assert again.__all__ == corvane.__all__
    assert again.CompressionOptions is CompressionOptions
    assert again.compress_signal(SIGNAL, CompressionOptions()) == compress_signal(SIGNAL)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: compress_signal(), "compress_signal() missing 1 required positional argument: 'data'"),
        (lambda: compress_signal(options=None), "compress_signal() missing 1 required positional argument: 'data'"),
        (lambda: compress_signal(SIGNAL, None, None), "compress_signal() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: compress_signal(SIGNAL, level=3), "compress_signal() got an unexpected keyword argument 'level'"),
        (lambda: compress_signal(SIGNAL, data=SIGNAL), "compress_signal() got multiple values for argument 'data'"),
        (lambda: compress_signal(SIGNAL, None, options=None), "compress_signal() got multiple values for argument 'options'"),
        (lambda: decompress_signal(), "decompress_signal() missing 1 required positional argument: 'data'"),
        (lambda: decompress_signal(b"", b""), "decompress_signal() takes 1 positional arguments but 2 were given"),
        (lambda: decompress_signal(stream=b""), "decompress_signal() got an unexpected keyword argument 'stream'"),
        (lambda: decompress_signal(b"", data=b""), "decompress_signal() got multiple values for argument 'data'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_bind():
    stream = compress_signal(options=CompressionOptions(method="db4"), data=SIGNAL)
    assert stream[8:12] == b"db04"
    assert decompress_signal(data=stream).shape == SIGNAL.shape


@pytest.mark.parametrize(
    "data, options, message",
    [
        (SIGNAL, "cdf97", "argument 'options': 'str' object is not an instance of 'CompressionOptions'"),
        (SIGNAL, {"method": "cdf97"}, "argument 'options': 'dict' object is not an instance of 'CompressionOptions'"),
        # options are resolved before data is looked at
        (5, "cdf97", "argument 'options': 'str' object is not an instance of 'CompressionOptions'"),
        (None, 0, "argument 'options': 'int' object is not an instance of 'CompressionOptions'"),
    ],
)
def test_options_must_be_compression_options(data, options, message):
    with pytest.raises(TypeError) as info:
        compress_signal(data, options)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "data",
    [
        [0.0, 1.0, 2.0],
        5.0,
        None,
        np.float32(1.0),
        np.array(1.0, dtype=np.float32),
        np.zeros((4, 4), dtype=np.float32),
        np.zeros((0, 3), dtype=np.float64),
        np.arange(10, dtype=np.int64),
        np.arange(10, dtype=np.float16),
        np.arange(10, dtype=np.complex64),
        np.arange(10, dtype=np.float32).astype(">f4"),
        np.arange(10, dtype=np.float64).astype(">f8"),
    ],
    ids=["list", "float", "none", "scalar", "0-d", "2-d", "empty-2-d", "int64", "float16",
         "complex64", "swapped-f32", "swapped-f64"],
)
def test_only_native_1d_float_arrays_are_accepted(data):
    with pytest.raises(ValueError) as info:
        compress_signal(data)
    assert str(info.value) == "expected a 1-D float32 or float64 NumPy array"


def misaligned(dtype, n):
    raw = np.zeros(n * np.dtype(dtype).itemsize + 1, dtype=np.uint8)
    view = raw[1:].view(dtype)
    assert not view.flags.aligned
    return view


@pytest.mark.parametrize(
    "data",
    [
        np.arange(10, dtype=np.float32)[::2],
        np.arange(10, dtype=np.float64)[::3],
        np.arange(10, dtype=np.float32)[::-1],
        np.zeros((4, 4), dtype=np.float32)[:, 0],
        misaligned(np.float32, 8),
        misaligned(np.float64, 8),
    ],
    ids=["strided-f32", "strided-f64", "reversed", "column", "misaligned-f32", "misaligned-f64"],
)
def test_strided_or_misaligned_arrays_are_refused(data):
    with pytest.raises(TypeError) as info:
        compress_signal(data)
    assert str(info.value) == "The given array is not contiguous or is misaligned."


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_empty_arrays_reach_the_codec(dtype):
    for empty in (np.zeros(0, dtype=dtype), np.zeros(10, dtype=dtype)[5:5:2]):
        with pytest.raises(ValueError) as info:
            compress_signal(empty)
        assert str(info.value) == "Unsupported compression configuration 'Can't compress empty data'"


class Subclass(np.ndarray):
    pass


def test_read_only_and_subclassed_arrays_are_read_in_place_and_left_unchanged():
    expected = compress_signal(SIGNAL)
    frozen = SIGNAL.copy()
    frozen.flags.writeable = False
    assert compress_signal(frozen) == expected
    assert compress_signal(SIGNAL.copy().view(Subclass)) == expected
    before = SIGNAL.copy()
    compress_signal(SIGNAL)
    np.testing.assert_array_equal(SIGNAL, before)


def test_float64_is_rounded_to_float32_first():
    # Infinities and NaN are the caller's and are sanitised; 3.4028235e38
    # rounds to the largest float, 1e-50 to zero.
    values = np.concatenate(
        [np.linspace(-1.0, 1.0, 500) * 0.1, [np.inf, -np.inf, 3.4028235e38, np.nan, 1e-50]]
    )
    assert compress_signal(values) == compress_signal(values.astype(np.float32))


@pytest.mark.parametrize("huge", [1e300, -1e300, 3.4028236e38, np.finfo(np.float64).max])
def test_float64_beyond_single_precision_is_refused(huge):
    # Rounded, such a sample would become an infinity and come back as 1 or 0.
    values = np.array([huge, 1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match=r"^Unsupported compression configuration "
                       r"'Can't compress data whose samples exceed single precision'$"):
        compress_signal(values)


def test_codec_errors_become_value_errors():
    stream = compress_signal(SIGNAL)
    for bad, message in [
        (b"", "Header is invalid"),
        (stream[:51], "Header is invalid"),
        (b"ABCD" + stream[4:], "Magic should be 'CRVN' but it was 'ABCD'"),
    ]:
        with pytest.raises(ValueError) as info:
            decompress_signal(bad)
        assert str(info.value) == message


def test_codec_messages_keep_nul_bytes():
    stream = compress_signal(SIGNAL)
    with pytest.raises(ValueError) as info:
        decompress_signal(stream[:8] + b"\0\0\0\0" + stream[12:])
    assert str(info.value) == "Invalid compression method '\0\0\0\0'"


class Stream(bytes):
    pass


def test_bytes_subclasses_are_accepted():
    stream = compress_signal(SIGNAL)
    np.testing.assert_array_equal(decompress_signal(Stream(stream)), decompress_signal(stream))


@pytest.mark.parametrize(
    "data, shown",
    [
        (bytearray(b"CRVN"), "'bytearray' object"),
        (memoryview(b"CRVN"), "'memoryview' object"),
        ("CRVN", "'str' object"),
        (np.zeros(60, dtype=np.uint8), "'ndarray' object"),
        (None, "'None'"),
    ],
)
def test_decompress_refuses_everything_but_bytes(data, shown):
    with pytest.raises(TypeError) as info:
        decompress_signal(data)
    assert str(info.value) == f"argument 'data': {shown} is not an instance of 'bytes'"


def test_decoded_array_owns_its_samples_through_a_keeper():
    stream = compress_signal(SIGNAL)
    restored = decompress_signal(stream)
    assert restored.dtype == np.float32 and restored.ndim == 1 and restored.shape == (1000,)
    assert restored.strides == (4,)
    assert restored.flags.c_contiguous and restored.flags.writeable and restored.flags.aligned
    assert not restored.flags.owndata
    keeper = restored.base
    assert keeper is not None and not isinstance(keeper, np.ndarray)

    snapshot = restored.copy()
    tail = restored[500:]
    del restored
    gc.collect()
    np.testing.assert_array_equal(tail, snapshot[500:])  # the keeper outlives the array while views remain

    tail[:] = 0.0  # writing into a result touches nothing later calls see
    again = decompress_signal(stream)
    assert not np.shares_memory(again, tail)
    np.testing.assert_array_equal(again, snapshot)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_repeated_calls_do_not_grow_memory():
    small32 = np.sin(np.linspace(0.0, 9.0, 256)).astype(np.float32)
    small64 = small32.astype(np.float64)
    options = CompressionOptions(method="sym4", coder="arans")

    def round_trips(count):
        for i in range(count):
            stream = compress_signal(small64 if i & 1 else small32, options)
            decompress_signal(stream)[0] = 1.0
            for bad_call in (lambda: decompress_signal(stream[:40]), lambda: compress_signal(small32[::2])):
                try:
                    bad_call()
                except (TypeError, ValueError):
                    pass

    round_trips(2_000)
    gc.collect()
    before = rss_bytes()
    round_trips(100_000)
    gc.collect()
    assert rss_bytes() - before < 20 * 1024 * 1024


def test_out_of_memory_becomes_memory_error():
    # Under an address-space limit the float64 -> float32 conversion buffer
    # cannot be had; the interpreter must get a MemoryError, not an abort.
    script = textwrap.dedent(
        """
        import resource, numpy as np, corvane
        data = np.ones(20_000_000, dtype=np.float64)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 16 * 1024 * 1024, resource.RLIM_INFINITY))
        try:
            corvane.compress_signal(data)
        except MemoryError:
            print("MemoryError")
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "MemoryError"
