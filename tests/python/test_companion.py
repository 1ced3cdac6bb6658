"""The codec layer's native companion: the module's streams and samples from any
buffer, with the interpreter lock released while coding."""

import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane

_native = pytest.importorskip("corvane_numcodecs._native")

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = [None, "deflate", "arans", "cmodel"]


def both_options(**settings):
    # The companion takes the module's own class, under its old name too.
    assert _native.CompressionOptions is corvane.CompressionOptions
    return corvane.CompressionOptions(**settings), corvane.CompressionOptions(**settings)


def outcome(call, *args):
    """What a call gave: its value, or the type and text of what it raised."""
    try:
        return call(*args)
    except (ValueError, MemoryError, TypeError) as e:
        return type(e), str(e)


@settings(max_examples=120, deadline=None)
@given(
    x=st.one_of(
        hnp.arrays(np.float32, st.integers(0, 3000), elements=st.floats(-1e6, 1e6, width=32)),
        hnp.arrays(np.float64, st.integers(0, 3000)),  # NaN, infinities, values beyond single precision
    ),
    method=st.sampled_from(METHODS),
    coder=st.sampled_from(CODERS),
    scale=st.integers(6, 12),
    cutoff=st.sampled_from(["low", "medium", "high"]),
)
def test_streams_samples_and_errors_are_the_modules(x, method, coder, scale, cutoff):
    module_options, options = both_options(method=method, scale=scale, cutoff=cutoff, coder=coder)
    want = outcome(corvane.compress_signal, x, module_options)
    assert outcome(_native.compress, x, options) == want
    if not isinstance(want, bytes):
        return
    samples = corvane.decompress_signal(want)
    assert _native.decompress(want).tobytes() == samples.tobytes()
    into32 = np.empty(samples.shape, np.float32)
    into64 = np.empty((1, samples.size), np.float64)
    raw = bytearray(samples.nbytes)
    for out in (into32, into64, raw):
        assert _native.decompress(bytearray(want), out) is out
    assert into32.tobytes() == samples.tobytes() == bytes(raw)
    assert into64.ravel().tobytes() == samples.astype(np.float64).tobytes()
    # A damaged stream fails in the module's words.
    cut = want[: len(want) // 2]
    assert outcome(_native.decompress, cut) == outcome(corvane.decompress_signal, cut)


stream = corvane.compress_signal(np.sin(np.arange(5000) / 30.0).astype(np.float32))
decoded = corvane.decompress_signal(stream)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda: _native.compress(np.arange(8)), TypeError, "format 'l'"),
        (lambda: _native.compress(np.ones(8, ">f4")), TypeError, "native byte order"),
        (lambda: _native.compress(np.ones(16, np.float32)[::2]), ValueError, "contiguous"),
        (lambda: _native.compress(np.ones(8, np.float32), object()), TypeError,
         "not an instance of 'CompressionOptions'"),
        (lambda: _native.decompress(stream, np.empty(4999, np.float32)), ValueError, "4999 values but the stream has 5000"),
        (lambda: _native.decompress(stream, bytearray(5000 * 8)), ValueError, "40000 bytes but the stream decodes to 20000"),
        (lambda: _native.decompress(stream, np.empty(5000, ">f4")), TypeError, "format '>f'"),
        (lambda: _native.decompress(stream, bytes(20000)), BufferError, "writable"),
    ],
)
def test_buffers_it_cannot_read_or_fill_are_refused(call, error, words):
    with pytest.raises(error, match=words):
        call()


def test_buffers_are_held_only_for_the_call():
    data = bytearray(stream)
    out = bytearray(decoded.nbytes)
    samples = bytearray(decoded.tobytes())
    _native.decompress(data, out)
    _native.compress(memoryview(samples).cast("f"))
    with pytest.raises(ValueError):
        _native.decompress(data, bytearray(3))
    # A buffer still exported cannot be resized.
    for buffer in (data, out, samples):
        buffer.extend(b"\0" * 4)
    assert bytes(out[:-4]) == decoded.tobytes()


@pytest.fixture
def no_forced_switches():
    # A thread that holds the interpreter lock keeps it until it blocks or
    # lets go of it on purpose.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    yield
    sys.setswitchinterval(interval)


long_signal = np.sin(np.arange(1 << 21) / 40.0).astype(np.float32)
long_wide = long_signal.astype(np.float64)
long_stream = corvane.compress_signal(long_signal)
long_out = np.empty(long_signal.size, np.float64)


@pytest.mark.parametrize(
    "call, releases",
    [
        (lambda: corvane.compress_signal(long_signal), False),
        (lambda: _native.compress(long_signal), True),
        (lambda: _native.compress(long_wide), True),
        (lambda: _native.decompress(long_stream), True),
        (lambda: _native.decompress(long_stream, long_out), True),
    ],
    ids=["module", "compress f32", "compress f64", "decompress", "decompress into"],
)
def test_the_interpreter_lock_is_released_while_coding(no_forced_switches, call, releases):
    ticks = [0]
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks[0] += 1
            stop.wait(0.0001)  # lets go of the lock

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        seen = []
        for _ in range(5 if releases else 2):
            before = ticks[0]
            call()
            seen.append(ticks[0] - before)
            if releases and seen[-1] > 0:
                break
    finally:
        stop.set()
        thread.join()
    # Holding the lock, nothing else runs during the call; released, the
    # ticker runs beside it (given a few tries on a busy machine).
    assert (max(seen) > 0) == releases, seen
