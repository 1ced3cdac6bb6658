"""The codec layer against hostile callers and odd data: crafted chunks,
chunks rewritten while they decode, destinations and buffers of every kind,
sizes past what a stream holds, and signals of tiny magnitude.

Memory is measured in child interpreters (peak resident size, which sees the
C++ allocations too), so that a fault runs into the child's limit instead of
the machine's.
"""

import hashlib
import json
import pickle
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

import corvane

pytest.importorskip("numcodecs")
from corvane_numcodecs import Corvane, _native  # noqa: E402  (needs numcodecs)

pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr version 3")

MiB = 1 << 20


def signal(n, seed=0):
    t = np.arange(n)
    rng = np.random.default_rng(seed)
    return (np.sin(t / 7.0) + 0.2 * np.sin(t / 1.3) + 0.05 * rng.standard_normal(n)).astype(np.float32)


def flat_stream(n, coder="cmodel"):
    return corvane.compress_signal(np.zeros(n, np.float32), corvane.CompressionOptions(coder=coder))


def bare(stream):
    """The header of ``stream`` claiming an empty payload: the same length, nothing to back it."""
    return stream[:32] + struct.pack("<I", 0) + stream[36:52]


def run_child(script, payload, *args, timeout=300):
    done = subprocess.run([sys.executable, "-c", script, *args], input=pickle.dumps(payload),
                          capture_output=True, timeout=timeout)
    assert done.returncode == 0, done.stderr.decode()[-3000:]
    return json.loads(done.stdout)


# ---------------------------------------------------------------- crafted chunks

DECODE_CHILD = r"""
import json, os, pickle, sys, warnings
import numpy as np
import zarr
from corvane_numcodecs import Corvane, _native
from corvane_numcodecs.zarr3 import Corvane as Corvane3
warnings.simplefilter("ignore")

chunks, root, length = pickle.load(sys.stdin.buffer)
# Arrays whose metadata is small: the v2 chunk is decoded without its shape,
# the v3 one into an int16 chunk of the lanes' claimed length.
v2 = zarr.create_array(os.path.join(root, "v2"), shape=(1000, 2), chunks=(1000, 2), dtype="float32",
                       zarr_format=2, compressors=Corvane(axis=0), fill_value=0)
v3 = zarr.create_array(os.path.join(root, "v3"), shape=(length, 2), chunks=(length, 2), dtype="int16",
                       serializer=Corvane3(axis=0), compressors=None, fill_value=0)


def stored(path, chunk, array):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(chunk)
    return array[:]


paths = {
    "codec": lambda chunk: Corvane(axis=0).decode(chunk),
    "codec, int16": lambda chunk: Corvane(axis=-1, dtype="int16").decode(chunk),
    "native": lambda chunk: _native.decompress_lanes(chunk, 0),
    "zarr v2": lambda chunk: stored(os.path.join(root, "v2", "0.0"), chunk, v2),
    "zarr v3": lambda chunk: stored(os.path.join(root, "v3", "c", "0", "0"), chunk, v3),
}
small = Corvane(axis=0).encode(np.ones((1000, 2), np.float32))
for path in paths.values():  # first calls set up what every call shares
    try:
        path(small)
    except ValueError:
        pass


def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) for line in lines if line.startswith(field))


results = []
for chunk in chunks:
    for name, path in paths.items():
        # The peak resident size, reset to what is resident now: each call's
        # own peak above what it started with.
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        base = status("VmRSS:")
        try:
            path(chunk)
            outcome = "ok"
        except (ValueError, MemoryError) as e:
            outcome = type(e).__name__
        results.append([name, outcome, (status("VmHWM:") - base) // 1024])
        sys.stderr.write(f"{name}: {outcome}, {results[-1][2]} MiB\n")
json.dump(results, sys.stdout)
"""


def test_crafted_chunks_of_at_most_4_kib_cost_at_most_64_mib_on_every_decode_path(tmp_path):
    # A first lane that decodes legitimately to a million samples, followed by
    # bare headers claiming as much (an even number of lanes in all, so that
    # pairs of lanes fill the v3 chunk), is refused before the output is made.
    # The most that 4 KiB can legitimately hold (flat lanes, 6 million samples)
    # decodes within the same bound on every path, integer chunks included.
    length = 1_000_000
    refused = []
    for coder in ("cmodel", "deflate"):
        lane = flat_stream(length, coder)
        refused.append(lane + bare(lane) * ((4096 - len(lane) - 52) // 104 * 2 + 1))
    lane = flat_stream(length)
    refused.append(lane + lane[:200] * ((4096 - len(lane)) // 200))
    legitimate = [flat_stream(6 * length), flat_stream(1_400_000) * 4]
    chunks = refused + legitimate
    assert all(len(chunk) <= 4096 for chunk in chunks)
    results = run_child(DECODE_CHILD, (chunks, str(tmp_path), length))
    assert len(results) == 5 * len(chunks)
    for index, (name, outcome, peak_mib) in enumerate(results):
        assert outcome == "ValueError" or index >= 5 * len(refused), (name, outcome)
        assert peak_mib <= 64, (name, peak_mib)


# ---------------------------------------------------------------- rewritten while decoding


def test_a_chunk_rewritten_while_it_decodes_gives_the_right_samples_or_a_value_error():
    # One thread flips the sample count in a lane's header back and forth
    # while others decode the chunk through every lanes path, the interpreter
    # lock released: every result is the chunk's own, or a ValueError.
    length, lanes = 3000, 4
    x = np.stack([signal(length, seed) for seed in range(lanes)], axis=1)
    codec = Corvane(axis=0)
    chunk = bytearray(codec.encode(x))
    expected = codec.decode(bytes(chunk))
    at = sum(len(corvane.compress_signal(np.ascontiguousarray(x[:, k]))) for k in range(2)) + 16
    true_byte = chunk[at]

    paths = [
        lambda: _native.decompress_lanes(chunk, 0).reshape(length, lanes),
        lambda: _native.decompress_lanes(chunk, 0, np.empty((length, lanes), np.float32)),
        lambda: _native.decompress_lanes(chunk, 0, np.empty((length, lanes), np.float64)).astype(np.float32),
        lambda: codec.decode(chunk),
        lambda: codec.decode(chunk, out=np.empty((length, lanes), np.float32)),
    ]
    stop = threading.Event()
    wrong, refused, right = [], [0], [0]

    def rewrite():
        while not stop.is_set():
            chunk[at] = true_byte ^ 1
            chunk[at] = true_byte

    def decode(path):
        for _ in range(150):
            try:
                got = path()
            except ValueError:
                refused[0] += 1
                continue
            if np.array_equal(got, expected):
                right[0] += 1
            else:
                wrong.append(got)

    writer = threading.Thread(target=rewrite)
    writer.start()
    readers = [threading.Thread(target=decode, args=(path,)) for path in paths]
    for reader in readers:
        reader.start()
    for reader in readers:
        reader.join()
    stop.set()
    writer.join()
    assert not wrong, f"{len(wrong)} wrong results ({right[0]} right, {refused[0]} refused)"
    assert right[0] > 0


# ---------------------------------------------------------------- destinations and alignment

REFUSED_OUT = [np.dtype(object), np.dtype(bool), np.dtype(np.complex64), np.dtype("V4"),
               np.dtype([("a", "<i2"), ("b", "<i2")])]


@pytest.mark.parametrize("dtype", REFUSED_OUT, ids=str)
def test_raw_byte_destinations_take_byte_and_integer_items_only(dtype):
    x = signal(64)
    stream = _native.compress(x)
    out = np.zeros(64 * 4 // dtype.itemsize, dtype)
    with pytest.raises(TypeError, match="bytes of float32 samples into items of a byte or integer format"):
        _native.decompress(stream, out)
    decoded = _native.decompress(stream)
    for integer in ("uint8", "int16", "int64"):
        raw = np.zeros(64 * 4 // np.dtype(integer).itemsize, integer)
        assert _native.decompress(stream, raw).tobytes() == decoded.tobytes()


def misaligned(values):
    """``values`` copied to memory one byte past an aligned start."""
    buf = bytearray(values.nbytes + 1)
    view = np.frombuffer(buf, values.dtype, count=values.size, offset=1).reshape(values.shape)
    view[...] = values
    assert view.ctypes.data % values.dtype.alignment != 0
    return view


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_misaligned_buffers_code_and_decode_as_aligned_ones(dtype):
    x = np.stack([signal(500, 1), signal(500, 2)], axis=1).astype(dtype)
    options = _native.CompressionOptions()
    odd = misaligned(x)
    assert _native.compress(odd, options) == _native.compress(x, options)
    assert _native.compress_lanes(odd, 1, 500, 2, options) == _native.compress_lanes(x, 1, 500, 2, options)
    column = np.ascontiguousarray(x[:, 0])
    target = _native.compress_to_target(column, options, "prd", 1.0)
    assert _native.compress_to_target(misaligned(column), options, "prd", 1.0) == target
    codec = Corvane(axis=0, dtype=None if dtype == np.float32 else "float64")
    chunk = codec.encode(odd)
    assert chunk == codec.encode(x)

    lanes = _native.decompress_lanes(chunk, 0).reshape(500, 2)
    out = misaligned(np.zeros((500, 2), dtype))
    assert np.array_equal(_native.decompress_lanes(chunk, 0, out), lanes.astype(dtype))
    one = misaligned(np.zeros(500, dtype))
    stream = _native.compress(x[:, 0].copy())
    assert np.array_equal(_native.decompress(stream, one), _native.decompress(stream).astype(dtype))


# ---------------------------------------------------------------- limits before copies

LIMIT_CHILD = r"""
import json, pickle, resource, sys
import numpy as np
from corvane_numcodecs import Corvane, _native

path = pickle.load(sys.stdin.buffer)
n = 2**31
wide = np.memmap(path, dtype=np.float64, mode="w+", shape=(n,))  # sparse: nothing is read
options = _native.CompressionOptions()
calls = {
    "encode float32": lambda: Corvane().encode(np.broadcast_to(np.float32(0), (n,))),
    "encode int32": lambda: Corvane(dtype="int32").encode(np.broadcast_to(np.int32(0), (n,))),
    "encode lanes": lambda: Corvane(axis=0).encode(np.broadcast_to(np.float32(0), (n, 2))),
    "encode target": lambda: Corvane(axis=-1, prd=1.0).encode(np.broadcast_to(np.float32(0), (2, n))),
    "encode float64": lambda: Corvane(dtype="float64").encode(wide),
    "compress": lambda: _native.compress(wide, options),
    "compress_to_target": lambda: _native.compress_to_target(wide, options, "max_abs_error", 1.0),
    "compress_lanes": lambda: _native.compress_lanes(wide, 1, n, 1, options),
}
Corvane().encode(np.zeros(4096, np.float32))
# Memory beyond what is in use now is refused: a copy of the samples fails.
heap = 512 << 20
resource.setrlimit(resource.RLIMIT_DATA, (heap, resource.getrlimit(resource.RLIMIT_DATA)[1]))
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
results = {}
for name, call in calls.items():
    try:
        call()
        results[name] = ["ok"]
    except Exception as e:
        results[name] = [type(e).__name__, str(e)]
    results[name].append((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
json.dump(results, sys.stdout)
"""


def test_sizes_past_a_stream_are_refused_before_any_copy(tmp_path):
    results = run_child(LIMIT_CHILD, str(tmp_path / "wide.f64"))
    assert len(results) == 8
    for name, (kind, *rest) in results.items():
        assert kind == "ValueError", (name, kind, rest)
        message, peak_mib = rest
        assert "2147483647" in message, (name, message)
        assert peak_mib < 16, (name, peak_mib)


# ---------------------------------------------------------------- tiny signals


@pytest.mark.parametrize("unit", [1e-6, 1e-12, 1e-21, 3e-30])
@pytest.mark.parametrize("offset", [0.0, 0.25])
def test_signals_of_tiny_magnitude_keep_their_shape(unit, offset):
    # Microvolts in volts, tesla, strain: the same signal in any unit decodes
    # within the same relative error.
    x = signal(2000) + np.float32(offset)
    tiny = (x.astype(np.float64) * unit).astype(np.float32)
    options = corvane.CompressionOptions()
    unit_error = np.abs(corvane.decompress_signal(corvane.compress_signal(x, options)) - x).max() / np.ptp(x)
    through_module = corvane.decompress_signal(corvane.compress_signal(tiny, options))
    through_codec = Corvane(axis=0).decode(Corvane(axis=0).encode(np.stack([tiny, tiny], axis=1)))
    for decoded in (through_module, through_codec[:, 0], through_codec[:, 1]):
        error = np.abs(decoded.astype(np.float64) - tiny).max() / np.ptp(tiny.astype(np.float64))
        assert error <= 2 * unit_error + 1e-6


FLAT = {
    # (samples, method): the stream's SHA-256, as every earlier build wrote it.
    "constant": (np.full(300, 3.25, np.float32), "cdf97",
                 "f818b897d28d66e2e6f0a36b6de5ef93593d64e5ad2c94cc295037be9d7eca77"),
    "zeros": (np.zeros(5, np.float32), "db4", "2f4c64d6cfed905762aef14ee91316b1892323f4b28cda852b5c0cf82972dabb"),
    "noise on 2": ((2.0 + 4e-6 * np.sin(np.arange(300))).astype(np.float32), "cdf97",
                   "b21abaeb83b93b8bd42a0ea06c0e96296e3ba90c142e45f0fb8826bb1983ae02"),
    "noise on -7": ((-7.0 - 3e-6 * np.cos(np.arange(300))).astype(np.float32), "db4",
                    "a092bfc5d5db1aa929016650fd4d49698a306deb746e360241405cfa2ada46a9"),
}


@pytest.mark.parametrize("name", FLAT)
def test_flat_signals_stay_flat_and_byte_identical(name):
    x, method, digest = FLAT[name]
    stream = corvane.compress_signal(x, corvane.CompressionOptions(method=method))
    assert hashlib.sha256(stream).hexdigest() == digest
    assert np.all(corvane.decompress_signal(stream) == x.min())


@pytest.mark.parametrize("low, spread, flat", [
    (0.5, 8e-6, False),  # above 1e-5 of the magnitude: normalised
    (0.5, 4e-6, True),  # below it: flat, as before
    (0.0, 1e-39, True),  # a subnormal range has no single-precision reciprocal
])
def test_the_flat_rule_compares_the_range_with_the_magnitude(low, spread, flat):
    x = (np.float32(low) + np.float32(spread) * (np.arange(64) % 2)).astype(np.float32)
    decoded = corvane.decompress_signal(corvane.compress_signal(x))
    assert (np.unique(decoded).size == 1) == flat


# ---------------------------------------------------------------- smaller faults


def lying_count(stream, count):
    return stream[:16] + struct.pack("<I", count) + stream[20:]


def test_a_sample_count_too_small_for_the_levels_is_named_in_the_codec_and_kept_in_the_module():
    stream = corvane.compress_signal(signal(50))
    lie = lying_count(stream, 3)
    with pytest.raises(ValueError, match="Approximate size 4 does not match required size 3"):
        corvane.decompress_signal(lie)
    words = r"the header's sample count, 3, is too small for its \d+ levels"
    for decode in (_native.decompress, lambda chunk: _native.decompress_lanes(chunk + chunk, 0),
                   Corvane().decode):
        with pytest.raises(ValueError, match=words):
            decode(lie)


def test_a_target_name_is_compared_whole():
    with pytest.raises(ValueError, match="target must be 'max_abs_error' or 'prd'"):
        _native.compress_to_target(signal(100), _native.CompressionOptions(), "prd\0junk", 1.0)


def test_a_zarr_v3_chunk_of_lanes_must_fill_the_chunk(tmp_path):
    zarr = pytest.importorskip("zarr")
    from corvane_numcodecs.zarr3 import Corvane as Corvane3

    x = signal(1000)
    array = zarr.create_array(tmp_path, shape=(1000,), chunks=(1000,), dtype="float32",
                              serializer=Corvane3(axis=0), compressors=None, fill_value=0)
    array[:] = x
    halves = _native.compress_lanes(np.ascontiguousarray(x.reshape(2, 500).T), 1, 500, 2)
    (tmp_path / "c" / "0").write_bytes(halves)
    with pytest.raises(ValueError, match="hold 500 samples, not the 1000 of shape"):
        array[:]
