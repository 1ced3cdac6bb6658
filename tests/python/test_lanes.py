"""Chunks coded lane by lane, and integer samples, in the codec and in zarr stores."""

import json
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane

pytest.importorskip("numcodecs")
from corvane_numcodecs import Corvane, _native  # noqa: E402  (needs numcodecs)

pytestmark = pytest.mark.filterwarnings("ignore:Numcodecs codecs are not in the Zarr version 3")

INTEGER_TYPES = ["int8", "int16", "int32", "uint8", "uint16"]


def lanes_of_unequal_scale(shape, axis, seed, decades=4):
    """Smooth lanes along ``axis``, C-ordered, whose gains span ``decades`` and whose offsets differ."""
    rng = np.random.default_rng(seed)
    moved = list(shape)
    length = moved.pop(axis)
    count = int(np.prod(moved))
    t = np.arange(length)
    lanes = np.sin(t / (3 + 5 * rng.random((count, 1))) + rng.random((count, 1)) * 6)
    lanes += 0.05 * rng.standard_normal((count, length))
    gains = 10.0 ** rng.uniform(-decades / 2, decades / 2, (count, 1))
    lanes = gains * (lanes + rng.uniform(-5, 5, (count, 1)))
    return np.ascontiguousarray(np.moveaxis(lanes.reshape(*moved, length), -1, axis), dtype=np.float32)


def streams_of(x, axis, scale=11):
    """What a chunk coded along ``axis`` must be: each lane's own stream, in C order of the rest."""
    lanes = np.moveaxis(x, axis, -1).reshape(-1, x.shape[axis])
    options = corvane.CompressionOptions(scale=scale)
    return b"".join(corvane.compress_signal(np.ascontiguousarray(lane, dtype=np.float32), options) for lane in lanes)


def worst_lane_error(x, y, axis):
    """The largest error of any lane, as a share of that lane's own range (integers: less
    the half unit that rounding to the type may add)."""
    rounding = 0.5 if x.dtype.kind in "iu" else 0.0
    x = np.moveaxis(x.astype(np.float64), axis, -1)
    y = np.moveaxis(y.astype(np.float64), axis, -1)
    span = np.ptp(x, axis=-1)
    error = np.maximum(np.abs(y - x).max(axis=-1) - rounding, 0.0)
    share = np.atleast_1d(error / np.where(span > 0, span, 1.0))
    # A lane whose range is below 1e-5 codes as flat: it comes back as one
    # value, off by at most its (tiny) range.
    share[np.atleast_1d((span < 1e-5) & (error <= span))] = 0.0
    return float(share.max())


@settings(max_examples=40, deadline=None)
@given(
    shape=st.lists(st.integers(1, 30), min_size=1, max_size=3).map(tuple),
    last=st.booleans(),
    any_axis=st.integers(0, 2),
    seed=st.integers(0, 2**16),
)
def test_every_lane_is_its_own_stream_and_comes_back_in_its_place(shape, last, any_axis, seed):
    axis = -1 if last else 0
    x = lanes_of_unequal_scale(shape, axis, seed)
    codec = Corvane(scale=12, axis=axis)
    chunk = codec.encode(x)
    assert chunk == streams_of(x, axis, scale=12)
    # Streams delimit themselves: the module reads the first lane of a chunk on its own.
    first = np.moveaxis(x, axis, -1).reshape(-1, x.shape[axis])[0]
    np.testing.assert_array_equal(
        corvane.decompress_signal(chunk), corvane.decompress_signal(corvane.compress_signal(first.copy(), corvane.CompressionOptions(scale=12)))
    )
    out = np.empty(x.shape, dtype=np.float64)
    assert codec.decode(chunk, out=out) is out
    # Each lane keeps its own normalisation, whatever the scale of the others.
    assert worst_lane_error(x, out, axis) <= 8 / 2.0**12
    # Without the chunk's shape the lanes come back laid out in the chunk's C order.
    np.testing.assert_array_equal(codec.decode(chunk).reshape(x.shape), out.astype(np.float32))

    # With the shape known (the zarr v3 codec knows it), lanes run along any axis.
    k = any_axis % len(shape)
    y = lanes_of_unequal_scale(shape, k, seed)
    along = Corvane(scale=12, axis=k)
    chunk = along.encode(y, shape_known=True)
    assert chunk == streams_of(y, k, scale=12)
    back = along.decode(chunk, out=np.empty(y.shape, dtype=np.float32)) if y.ndim >= 2 else along.decode(chunk)
    lanes = np.moveaxis(y, k, -1).reshape(-1, y.shape[k])
    expected = [corvane.decompress_signal(corvane.compress_signal(lane.copy(), corvane.CompressionOptions(scale=12)))
                for lane in lanes]
    np.testing.assert_array_equal(np.moveaxis(back.reshape(y.shape), k, -1).reshape(lanes.shape), np.stack(expected))


@pytest.mark.parametrize("dtype", INTEGER_TYPES)
@pytest.mark.parametrize("axis", [None, 0])
def test_integer_samples_are_coded_exactly_and_decode_in_their_type(dtype, axis):
    info = np.iinfo(dtype)
    low, high = (-(2**24), 2**24) if dtype == "int32" else (info.min, info.max)
    # Square waves between the type's extremes: the decoded samples overshoot them,
    # which a conversion without clipping would wrap around.
    t = np.arange(400)
    x = np.where((t[:, None] // (7 + 5 * np.arange(3))) % 2 == 0, low, high).astype(dtype)
    x[5, 1] = (low + high) // 2
    codec = Corvane(scale=10, axis=axis, dtype=dtype)
    chunk = codec.encode(x)
    exact = x.astype(np.float32)
    assert np.array_equal(exact.astype(np.int64), x)  # the conversion was exact
    flat = corvane.compress_signal(exact.ravel(), corvane.CompressionOptions(scale=10))
    assert chunk == (streams_of(exact, 0, scale=10) if axis == 0 else flat)
    y = codec.decode(chunk)
    assert y.dtype == np.dtype(dtype)
    y = y.reshape(x.shape)
    floats = Corvane(scale=10, axis=axis, dtype="float32").decode(chunk).reshape(x.shape)
    assert floats.max() > high or floats.min() < low  # the overshoot is there to clip
    np.testing.assert_array_equal(y, np.clip(np.rint(floats.astype(np.float64)), info.min, info.max).astype(dtype))
    assert np.abs(y.astype(np.int64) - x).max() <= 40 * (high - low) / 2.0**10


@settings(max_examples=80, deadline=None)
@given(
    st.sampled_from(INTEGER_TYPES),
    st.lists(st.floats(width=32) | st.sampled_from([0.5, 1.5, -2.5, 2.0**23 - 0.5, 2.0**31, -(2.0**31) - 256.0]),
             max_size=40),
)
def test_decoded_samples_become_integers_half_to_even_clipped_with_nan_as_zero(dtype, values):
    samples = np.array(values, np.float32)
    out = np.empty(samples.shape, dtype)
    _native.store_samples(samples, out)
    info = np.iinfo(dtype)
    wide = np.nan_to_num(np.rint(samples.astype(np.float64)), nan=0.0)
    np.testing.assert_array_equal(out, np.clip(wide, info.min, info.max).astype(dtype))


@pytest.mark.parametrize(
    "make, samples, error, message",
    [
        (lambda: Corvane(dtype="int32"), np.array([2**24 + 1, 0], np.int32), ValueError, r"beyond \+-2\*\*24"),
        (lambda: Corvane(dtype="int32"), np.array([0, -(2**24) - 1], np.int32), ValueError, r"beyond \+-2\*\*24"),
        (lambda: Corvane(), np.arange(5, dtype=np.int16), TypeError, "dtype='int16'"),
        (lambda: Corvane(dtype="int16"), np.arange(5, dtype=np.float32), TypeError, "set for int16"),
        (lambda: Corvane(dtype="float32"), np.arange(5, dtype=np.float64), TypeError, "set for float32"),
        (lambda: Corvane(dtype="int64"), None, TypeError, "not int64"),
        (lambda: Corvane(dtype="float16"), None, TypeError, "not float16"),
        (lambda: Corvane(axis=1.0), None, TypeError, "axis must be an integer"),
        (lambda: Corvane(axis=2), np.zeros((4, 5), np.float32), ValueError, "out of bounds"),
        (lambda: Corvane(axis=1), np.zeros((4, 5, 6), np.float32), ValueError, "chunk's shape"),
        (lambda: Corvane(axis=0), np.asfortranarray(np.zeros((4, 5), np.float32)), ValueError, "order='C'"),
        (lambda: Corvane(axis=0), np.zeros((0, 3), np.float32), ValueError, "empty"),
    ],
)
def test_what_could_not_be_read_back_as_written_is_refused(make, samples, error, message):
    with pytest.raises(error, match=message):
        make().encode(samples)


def test_int32_samples_up_to_two_to_the_24_are_accepted():
    x = np.array([-(2**24), 2**24, 3], dtype=np.int32)
    assert Corvane(dtype="int32").encode(x) == corvane.compress_signal(x.astype(np.float32))


chunk_of_lanes = Corvane(axis=0).encode(np.stack([np.sin(np.arange(300.0) / 7), np.arange(300.0)], axis=1).astype(np.float32))


@pytest.mark.parametrize(
    "damaged, message",
    [
        (chunk_of_lanes + b"x", "Header is invalid"),
        (chunk_of_lanes[:-1], "Minimum data size is 112, but it was 111"),
        (chunk_of_lanes + corvane.compress_signal(np.ones(299, np.float32)), "differ in length"),
        (b"", "Header is invalid"),
    ],
    ids=["trailing byte", "truncated", "lanes of two lengths", "empty"],
)
def test_a_damaged_chunk_of_lanes_is_refused(damaged, message):
    with pytest.raises(ValueError, match=message):
        Corvane(axis=0).decode(damaged)


def test_lanes_and_dtype_are_settings_that_survive_stores_and_pickling():
    codec = Corvane(scale=9, axis=-1, dtype=np.dtype(">u2"))
    config = codec.get_config()
    assert config["axis"] == -1 and config["dtype"] == "uint16"
    assert "axis" not in Corvane().get_config() and "dtype" not in Corvane().get_config()
    numcodecs = pytest.importorskip("numcodecs")
    x = np.arange(600, dtype=np.uint16).reshape(3, 200) * np.array([[1], [7], [300]], dtype=np.uint16)
    for rebuilt in (numcodecs.get_codec(json.loads(json.dumps(config))), pickle.loads(pickle.dumps(codec))):
        assert rebuilt == codec
        assert rebuilt.encode(x) == codec.encode(x) == streams_of(x.astype(np.float32), -1, scale=9)


# --- stores --------------------------------------------------------------------------------


def _store_codec(zarr_format, **settings):
    if zarr_format == 2:
        return {"compressors": Corvane(**settings), "filters": None}
    zarr3 = pytest.importorskip("corvane_numcodecs.zarr3", reason="this zarr has no numcodecs wrapper")
    return {"serializer": zarr3.Corvane(**settings), "compressors": None, "filters": None}


@pytest.mark.parametrize("zarr_format", [2, 3])
@pytest.mark.parametrize("dtype", ["float32", "int16"])
def test_a_multichannel_array_in_a_store_and_through_dask(tmp_path, zarr_format, dtype):
    zarr = pytest.importorskip("zarr")
    record = lanes_of_unequal_scale((510, 5), 0, seed=3, decades=2)
    if dtype == "int16":
        record = np.rint(record * 100).astype(np.int16)
    chunks = (170, 3)  # the last chunk of channels is partial
    array = zarr.create_array(
        tmp_path, shape=record.shape, chunks=chunks, dtype=dtype, zarr_format=zarr_format, fill_value=0,
        # The v3 serializer learns the array's type; the v2 compressor must be told it.
        **_store_codec(zarr_format, scale=12, axis=0, **({"dtype": dtype} if zarr_format == 2 else {})),
    )
    try:
        import dask.array as da
    except ImportError:
        array[:] = record
    else:
        da.from_array(record, chunks=chunks).store(array, lock=False, scheduler="threads")
    restored = zarr.open_array(tmp_path, mode="r")[:]
    assert restored.dtype == np.dtype(dtype) and restored.shape == record.shape
    assert worst_lane_error(record, restored, 0) <= 8 / 2.0**12

    # Every stored chunk is the streams of its lanes, the store's padding included.
    for i in range(3):
        for j in range(2):
            padded = np.zeros(chunks, dtype=dtype)
            part = record[i * 170:(i + 1) * 170, j * 3:(j + 1) * 3]
            padded[: part.shape[0], : part.shape[1]] = part
            name = f"{i}.{j}" if zarr_format == 2 else f"c/{i}/{j}"
            assert (tmp_path / name).read_bytes() == streams_of(padded.astype(np.float32), 0, scale=12)
    if "da" in locals():
        np.testing.assert_array_equal(da.from_zarr(str(tmp_path)).compute(scheduler="threads"), restored)
