"""Several Python threads compressing and decompressing different signals at
once get exactly what serial calls get: the module keeps no shared state, and
the codec layer's companion, which lets go of the interpreter lock while
coding, really runs the calls side by side."""

import threading

import numpy as np
import pytest

import corvane

try:
    from corvane_numcodecs import _native
except ImportError:  # the codec layer needs numcodecs
    _native = None

METHODS = ["cdf97", "cdf53", "db4", "sym4"]
CODERS = ["auto", "deflate", "arans", "cmodel"]
THREADS = 8
ROUNDS = 5


def job(index):
    rng = np.random.default_rng(index)
    n = 500 + 97 * index
    t = np.arange(n)
    x = (np.sin(t * (0.01 + 0.002 * index)) + 0.1 * rng.standard_normal(n)).astype(
        np.float32 if index % 2 else np.float64)
    settings = (METHODS[index % 4], 6 + index % 7, ["low", "medium", "high"][index % 3], CODERS[index % 4])
    return x, settings


def run_module(index):
    x, settings = job(index)
    stream = corvane.compress_signal(x, corvane.CompressionOptions(*settings))
    return stream, corvane.decompress_signal(stream)


def run_companion(index):
    x, settings = job(index)
    stream = _native.compress(x, _native.CompressionOptions(*settings))
    # Half the calls decode into a buffer of their own, half into a new array.
    out = np.empty(x.size, np.float32) if index % 2 else None
    samples = _native.decompress(bytearray(stream), out)
    return stream, samples


PATHS = [pytest.param(run_module, id="module"),
         pytest.param(run_companion, id="companion",
                      marks=pytest.mark.skipif(_native is None, reason="no codec layer"))]


@pytest.mark.parametrize("run", PATHS)
def test_threads_give_the_serial_bytes_and_samples(run):
    serial = [run_module(i) for i in range(THREADS)]
    seen = [[] for _ in range(THREADS)]
    failures = []
    start = threading.Barrier(THREADS)

    def worker(i):
        try:
            start.wait()
            for r in range(ROUNDS):
                seen[i].append(((i + r) % THREADS, run((i + r) % THREADS)))
        except BaseException as e:  # reported below, in the main thread
            failures.append((i, repr(e)))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    for i in range(THREADS):
        assert len(seen[i]) == ROUNDS
        for which, (stream, samples) in seen[i]:
            want_stream, want_samples = serial[which]
            assert stream == want_stream
            assert samples.tobytes() == want_samples.tobytes()


@pytest.mark.parametrize("decode", [
    pytest.param(lambda s: corvane.decompress_signal(s), id="module"),
    pytest.param(lambda s: _native.decompress(s), id="companion",
                 marks=pytest.mark.skipif(_native is None, reason="no codec layer")),
])
def test_decoding_one_stream_from_many_threads_at_once(decode):
    x, settings = job(3)
    stream = corvane.compress_signal(x, corvane.CompressionOptions(*settings))
    want = corvane.decompress_signal(stream).tobytes()
    results = []

    def worker():
        for _ in range(ROUNDS):
            results.append(decode(stream).tobytes())

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [want] * (THREADS * ROUNDS)
