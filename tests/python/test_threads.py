"""Several Python threads compressing and decompressing different signals at
once get exactly what serial calls get: the module keeps no shared state."""

import threading

import numpy as np

import corvane

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
    opts = corvane.CompressionOptions(method=METHODS[index % 4], scale=6 + index % 7,
                                      cutoff=["low", "medium", "high"][index % 3], coder=CODERS[index % 4])
    return x, opts


def run(index):
    x, opts = job(index)
    stream = corvane.compress_signal(x, opts)
    return stream, corvane.decompress_signal(stream)


def test_threads_give_the_serial_bytes_and_samples():
    serial = [run(i) for i in range(THREADS)]
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


def test_decoding_one_stream_from_many_threads_at_once():
    x, opts = job(3)
    stream = corvane.compress_signal(x, opts)
    want = corvane.decompress_signal(stream).tobytes()
    results = []

    def worker():
        for _ in range(ROUNDS):
            results.append(corvane.decompress_signal(stream).tobytes())

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [want] * (THREADS * ROUNDS)
