"""Untrusted streams through decompress_signal, and odd arrays through
compress_signal.

Every stream is decoded in a child interpreter whose address space is
limited, so that a decoder that trusts a declared size runs into MemoryError
(or dies) instead of taking the machine with it. The child reports what each
call raised and its peak resident memory; the parent checks that only
ValueError or MemoryError ever escaped, that the child survived, and that no
stream of at most 1 KiB made it touch more than 64 MiB beyond its baseline.
"""

import json
import os
import pathlib
import pickle
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import corvane

METHODS = ["cdf53", "cdf97", "db4", "sym4"]
CODERS = ["deflate", "arans", "cmodel"]
LARGEST_COUNT = 2**31 - 1
SMALL = 1024
RSS_BUDGET_KIB = 64 * 1024
# Room for the child's own work on top of what it has mapped at start-up; a
# 2^31-sample band (4 GiB of 16-bit values) can never fit.
ADDRESS_SPACE_HEADROOM = 1 << 30

CHILD = r"""
import json, pickle, resource, sys
import numpy as np
import corvane

streams = pickle.load(sys.stdin.buffer)
# First calls set up NumPy's tables and the allocator's arenas: not counted.
corvane.decompress_signal(corvane.compress_signal(np.zeros(4096, np.float32)))
with open("/proc/self/status") as status:
    vm_kib = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
limit = vm_kib * 1024 + int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
results = []
for index, stream in enumerate(streams):
    sys.stderr.write("stream %d\n" % index)
    sys.stderr.flush()
    try:
        samples = corvane.decompress_signal(stream)
        outcome = ["ok", int(samples.shape[0])]
        del samples
    except (ValueError, MemoryError) as e:
        outcome = [type(e).__name__, str(e)]
    except BaseException as e:
        outcome = ["escaped " + type(e).__name__, str(e)]
    outcome.append(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base)
    results.append(outcome)
json.dump(results, sys.stdout)
"""


def decode_in_child(streams):
    """Decodes each stream in a limited child: [(kind, detail, peak_kib)]."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(ADDRESS_SPACE_HEADROOM)],
        input=pickle.dumps(list(streams)),
        capture_output=True,
        env=env,
        timeout=300,
        cwd=pathlib.Path(__file__).parent,
    )
    if proc.returncode != 0:
        last = proc.stderr.decode(errors="replace").strip().splitlines()[-3:]
        pytest.fail(f"child died with status {proc.returncode}; last lines: {last}")
    return json.loads(proc.stdout)


def check_outcomes(streams, results):
    assert len(results) == len(streams)
    for index, (stream, (kind, detail, peak_kib)) in enumerate(zip(streams, results)):
        label = f"stream {index} ({len(stream)} bytes): {kind} {detail!r}"
        assert kind in ("ok", "ValueError", "MemoryError"), label
        if kind == "ok":
            assert detail == header_fields(stream)["count"], label
        if len(stream) <= SMALL:
            assert peak_kib < RSS_BUDGET_KIB, f"{label}; peak RSS grew by {peak_kib} KiB"


def signal(n, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(n)
    return (np.sin(t * 0.05) + 0.2 * rng.standard_normal(n)).astype(np.float32)


def valid_stream(method, coder, n=300, scale=9):
    opts = corvane.CompressionOptions(method=method, scale=scale, coder=coder)
    return corvane.compress_signal(signal(n, METHODS.index(method) * 3 + CODERS.index(coder)), opts)


def header_fields(stream):
    levels, scale, coder = stream[12], stream[13], stream[14]
    count, = struct.unpack_from("<I", stream, 16)
    payload_len, = struct.unpack_from("<I", stream, 32)
    return {"levels": levels, "scale": scale, "coder": coder, "count": count, "payload_len": payload_len}


def edited(stream, **fields):
    """The stream with header fields replaced (payload untouched)."""
    out = bytearray(stream)
    offsets = {"levels": (12, "<B"), "coder": (14, "<B"), "count": (16, "<I"), "min": (20, "<f"),
               "max": (24, "<f"), "mean": (28, "<f"), "payload_len": (32, "<I"), "multiplier": (36, "<f")}
    for name, value in fields.items():
        offset, fmt = offsets[name]
        struct.pack_into(fmt, out, offset, value)
    return bytes(out)


def with_payload(stream, payload, **fields):
    return edited(stream[:52] + payload, payload_len=len(payload), **fields)


def raw_deflate(data, level=9):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 9)
    return c.compress(data) + c.flush()


def flat_stream(coder, method, n):
    """All-zero coefficients: the most samples a payload byte can carry."""
    opts = corvane.CompressionOptions(method=method, coder=coder)
    return corvane.compress_signal(np.zeros(n, np.float32), opts)


# Sample counts whose flat streams come closest to 1 KiB for each coder: the
# largest signals a 1 KiB stream can legitimately decode to.
FLAT_COUNTS = {"cmodel": 1_430_000, "arans": 88_000, "deflate": 490_000}

ALL_SHAPES = [(m, c) for m in METHODS for c in CODERS]


@pytest.fixture(scope="module")
def valid_streams():
    return {(m, c): valid_stream(m, c) for m, c in ALL_SHAPES}


def test_valid_streams_are_small_enough_to_count():
    for m, c in ALL_SHAPES:
        assert len(valid_stream(m, c)) <= SMALL, (m, c)


@pytest.mark.parametrize("coder", CODERS)
def test_random_bit_flips(valid_streams, coder):
    rng = np.random.default_rng(CODERS.index(coder))
    streams = []
    for method in METHODS:
        base = valid_streams[(method, coder)]
        for _ in range(60):
            mutated = bytearray(base)
            for bit in rng.integers(0, 8 * len(base), size=int(rng.integers(1, 5))):
                mutated[bit // 8] ^= 1 << (bit % 8)
            streams.append(bytes(mutated))
    check_outcomes(streams, decode_in_child(streams))


@pytest.mark.parametrize("coder", CODERS)
def test_truncations_with_and_without_a_matching_payload_length(valid_streams, coder):
    streams = []
    for method in METHODS:
        base = valid_streams[(method, coder)]
        for cut in list(range(0, 60, 3)) + list(range(60, len(base), 7)):
            streams.append(base[:cut])
            if cut >= 52:
                streams.append(edited(base[:cut], payload_len=cut - 52))
    check_outcomes(streams, decode_in_child(streams))


def test_splices_of_headers_and_payloads_across_coders(valid_streams):
    streams = []
    for (m1, c1) in ALL_SHAPES:
        for (m2, c2) in ALL_SHAPES[::5]:
            head, body = valid_streams[(m1, c1)], valid_streams[(m2, c2)][52:]
            streams.append(with_payload(head, body))
            half = len(body) // 2
            streams.append(with_payload(head, body[half:] + body[:half]))
            streams.append(head + body)  # payload length of the one, bytes of the other
    check_outcomes(streams, decode_in_child(streams))


@pytest.mark.parametrize("coder", CODERS)
def test_header_fields_at_their_extremes(valid_streams, coder):
    big = float(np.finfo(np.float32).max)
    streams = []
    for method in METHODS:
        base = valid_streams[(method, coder)]
        for levels in (1, 6, 9, 10, 11, 255):
            streams.append(edited(base, levels=levels))
            streams.append(edited(base, levels=levels, count=LARGEST_COUNT))
        for count in (0, 1, LARGEST_COUNT - 1, LARGEST_COUNT, 2**31, 2**32 - 1):
            streams.append(edited(base, count=count))
        for multiplier in (0.0, -1.0, float("inf"), float("nan"), 1e-40, 3e38):
            streams.append(edited(base, multiplier=multiplier))
        streams.append(edited(base, min=-big, max=big, mean=big))
        streams.append(edited(base, payload_len=2**32 - 1))
        streams += [edited(base, coder=other) for other in range(3) if other != CODERS.index(coder)]
    results = decode_in_child(streams)
    check_outcomes(streams, results)
    # A declared count the payload cannot back is refused, never allocated:
    # with the address space limited, trusting it would be a MemoryError.
    for stream, (kind, detail, _) in zip(streams, results):
        if header_fields(stream)["count"] >= 2**30:
            assert kind == "ValueError", (header_fields(stream), kind, detail)


@pytest.mark.parametrize("coder", CODERS)
def test_the_largest_signals_a_kilobyte_can_carry(coder):
    streams = []
    for method in METHODS:
        flat = flat_stream(coder, method, FLAT_COUNTS[coder])
        assert len(flat) <= SMALL, (method, len(flat))
        streams.append(flat)
        streams.append(edited(flat, count=LARGEST_COUNT))
        for levels in (1, 10):
            streams.append(edited(flat, levels=levels))
            streams.append(edited(flat, levels=levels, count=LARGEST_COUNT))
    results = decode_in_child(streams)
    check_outcomes(streams, results)
    assert results[0][0] == "ok"
    for stream, (kind, detail, _) in zip(streams, results):
        if header_fields(stream)["count"] == LARGEST_COUNT:
            assert kind == "ValueError", (kind, detail)


def test_deflate_bombs(valid_streams):
    base = valid_streams[("cdf97", "deflate")]
    kilobyte_bomb = raw_deflate(bytes(950_000))
    assert len(kilobyte_bomb) <= SMALL - 52
    big_bomb = raw_deflate(bytes(256 << 20))  # 256 MiB from about 250 KB
    streams = [
        with_payload(base, kilobyte_bomb),
        with_payload(base, kilobyte_bomb, count=LARGEST_COUNT, levels=10),
        with_payload(base, kilobyte_bomb, count=LARGEST_COUNT, levels=1),
        with_payload(base, kilobyte_bomb[:-3]),
        with_payload(base, big_bomb),
        with_payload(base, big_bomb, count=LARGEST_COUNT, levels=10),
    ]
    results = decode_in_child(streams)
    check_outcomes(streams, results)
    assert results[0][0] == "ok" and results[4][0] == "ok"
    assert [r[0] for r in results[1:4]] == ["ValueError"] * 3 and results[5][0] == "ValueError"
    # Of the big bomb under a small layout only what the layout needs is kept.
    # (Under the largest count it may keep what it inflates: a payload that
    # size can legitimately carry that many coefficients.)
    assert results[4][2] < RSS_BUDGET_KIB, results[4]


@pytest.mark.parametrize("k", [0, 3, 8])
def test_rans_pair_counts_the_planes_cannot_hold(valid_streams, k):
    base = valid_streams[("cdf53", "arans")]
    streams = []
    for pairs in (2**28, 2**28 + 1, 2**32 - 1, 2**64 - 1):
        varint = bytearray()
        v = pairs
        while v >= 0x80:
            varint.append(0x80 | (v & 0x7F))
            v >>= 7
        varint.append(v)
        plane = bytes([0xFF, 0xFF, 0xFF, 0xFF]) + bytes(200)
        payload = bytes([0, k]) + bytes(varint) + bytes([len(plane)]) + plane + plane
        streams.append(with_payload(base, payload, count=LARGEST_COUNT))
        streams.append(with_payload(base, payload))
    results = decode_in_child(streams)
    check_outcomes(streams, results)
    assert all(kind == "ValueError" for kind, _, _ in results), results


@pytest.mark.parametrize("coder", CODERS)
@pytest.mark.parametrize("samples", [
    [float("nan")] * 50,
    [float("inf"), float("-inf")] * 30,
    [-3e38, 3e38, 0.0],
    [1e-45, -1e-45, 0.0, 1e-45] * 20,
    [1.7e38, -1.7e38] * 40,
    [0.0],
], ids=["nan", "infinities", "overflowing-range", "subnormal", "widest-range", "single"])
def test_compressing_odd_arrays_refuses_or_round_trips(coder, samples):
    for method in METHODS:
        for multiplier in (None, 1e-30, 1e30):
            opts = corvane.CompressionOptions(method=method, coder=coder, quant_multiplier=multiplier)
            x = np.array(samples, dtype=np.float32)
            try:
                stream = corvane.compress_signal(x, opts)
            except ValueError as e:
                assert "range exceeds single precision" in str(e)
                continue
            assert corvane.decompress_signal(stream).shape == x.shape
