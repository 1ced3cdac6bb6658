"""The codec inside zarr arrays (v2 and v3 formats), and the zarr v3 codec."""

import json
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

import corvane

numcodecs = pytest.importorskip("numcodecs")
from corvane_numcodecs import Corvane  # noqa: E402  (needs numcodecs)
from test_numcodecs import OPTION_SETS, reference, wave  # noqa: E402

def _zarr():
    return pytest.importorskip("zarr")


@pytest.fixture(params=["batched", "fused"])
def pipeline(request):
    """Each codec pipeline zarr offers: the default one awaits the codec's
    asynchronous hooks, the fused one (zarr 3.3 and later) calls its
    synchronous hooks from its own thread pool."""
    zarr = _zarr()
    if request.param == "batched":
        yield
        return
    try:
        from zarr.core.codec_pipeline import FusedCodecPipeline  # noqa: F401
    except ImportError:
        pytest.skip("this zarr has no fused pipeline")
    with zarr.config.set({"codec_pipeline.path": "zarr.core.codec_pipeline.FusedCodecPipeline"}):
        yield


def _serializer(zarr_format, options):
    """Array creation keywords that put the codec on the chunks, per format."""
    if zarr_format == 2:
        return {"compressors": Corvane(**options), "filters": None}
    zarr3 = pytest.importorskip("corvane_numcodecs.zarr3", reason="this zarr has no numcodecs wrapper")
    return {"serializer": zarr3.Corvane(**options), "compressors": None, "filters": None}


def _chunk_file(root, zarr_format, index):
    return root / (str(index) if zarr_format == 2 else f"c/{index}")


@pytest.mark.parametrize("zarr_format", [2, 3])
@pytest.mark.parametrize(
    "length, chunk, options",
    [
        (1000, 333, {}),  # odd chunks, a final chunk of one sample
        (1000, 257, {"method": "db4", "scale": 9, "cutoff": "medium", "coder": "deflate"}),
        (50, 7, {"method": "sym4", "scale": 7, "coder": "arans"}),
    ],
)
def test_zarr_chunks_are_corvane_streams_and_read_back_bit_for_bit(tmp_path, pipeline, zarr_format, length, chunk, options):
    zarr = _zarr()
    samples = wave(length, seed=length)
    array = zarr.create_array(
        tmp_path, shape=(length,), chunks=(chunk,), dtype="float32", zarr_format=zarr_format,
        fill_value=0.0, **_serializer(zarr_format, options),
    )
    array[:] = samples
    restored = zarr.open_array(tmp_path, mode="r")[:]
    assert restored.dtype == np.float32 and restored.shape == (length,)

    n_chunks = -(-length // chunk)
    for i in range(n_chunks):
        stored = _chunk_file(tmp_path, zarr_format, i).read_bytes()
        # The store pads the final chunk with the fill value; the stream holds the whole chunk.
        padded = np.zeros(chunk, dtype=np.float32)
        part = samples[i * chunk:(i + 1) * chunk]
        padded[: part.size] = part
        assert stored == reference(padded, **options)
        np.testing.assert_array_equal(
            restored[i * chunk:(i + 1) * chunk].view(np.uint32),
            corvane.decompress_signal(stored)[: part.size].view(np.uint32),
        )
    value_range = float(samples.max() - samples.min())
    scale = options.get("scale", 11)
    assert np.abs(restored - samples).max() <= 16 * value_range / 2.0**scale


@pytest.mark.parametrize("order", ["C", "F"])
def test_zarr_v2_two_dimensional_chunks_keep_their_layout(tmp_path, order):
    zarr = _zarr()
    grid = wave(40 * 90).reshape(40, 90)
    array = zarr.create_array(
        tmp_path, shape=grid.shape, chunks=(13, 31), dtype="float32", zarr_format=2, order=order,
        **_serializer(2, {"scale": 12}),
    )
    array[:] = grid
    restored = zarr.open_array(tmp_path, mode="r")[:]
    # A chunk flattened in one order and restored in the other would be scrambled.
    assert np.abs(restored - grid).max() <= 16 * float(np.ptp(grid)) / 2.0**12


@pytest.mark.parametrize("route", ["v2 cast filter", "v2 dtype", "v3"])
def test_zarr_float64_array_reads_back_the_float32_samples(tmp_path, pipeline, route):
    zarr = _zarr()
    samples = wave(500).astype(np.float64) + 1e-9
    zarr_format = 3 if route == "v3" else 2
    kwargs = _serializer(zarr_format, {"dtype": "float64"} if route == "v2 dtype" else {})
    if route == "v2 cast filter":
        kwargs["filters"] = [numcodecs.AsType(encode_dtype="f4", decode_dtype="f8")]
    array = zarr.create_array(tmp_path, shape=(500,), chunks=(125,), dtype="float64", zarr_format=zarr_format, **kwargs)
    array[:] = samples
    restored = zarr.open_array(tmp_path, mode="r")[:]
    assert restored.dtype == np.float64
    expected = np.concatenate([
        corvane.decompress_signal(corvane.compress_signal(samples[i:i + 125])) for i in range(0, 500, 125)
    ])
    np.testing.assert_array_equal(restored, expected.astype(np.float64))
    # Streams are those of the float32 rounding, whatever the route.
    assert Corvane(dtype="float64").encode(samples[:125]) == corvane.compress_signal(samples[:125])


def test_float64_samples_are_refused_unless_the_codec_decodes_to_float64(tmp_path):
    # Decoded as float32, a v2 float64 chunk would be half the bytes the store
    # reads back: such an array must fail when written, not when read.
    zarr = _zarr()
    array = zarr.create_array(tmp_path, shape=(500,), chunks=(125,), dtype="float64", zarr_format=2,
                              **_serializer(2, {}))
    with pytest.raises(TypeError, match="dtype='float64'"):
        array[:] = wave(500).astype(np.float64)
    assert not any(p.name.isdigit() for p in tmp_path.iterdir())
    codec = Corvane(scale=9, dtype="f8")
    assert codec.get_config() == {"id": "corvane", "method": "cdf97", "scale": 9, "cutoff": "low",
                                  "coder": None, "quant_multiplier": None, "dtype": "float64"}
    assert "dtype" not in Corvane().get_config()
    assert pickle.loads(pickle.dumps(codec)).get_config() == codec.get_config()
    assert codec.decode(codec.encode(wave(100).astype(np.float64))).dtype == np.float64


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_stored_array_opens_in_a_fresh_interpreter_through_the_entry_points(tmp_path, zarr_format):
    zarr = _zarr()
    samples = wave(700)
    array = zarr.create_array(
        tmp_path / "a", shape=(700,), chunks=(99,), dtype="float32", zarr_format=zarr_format,
        **_serializer(zarr_format, {"scale": 10}),
    )
    array[:] = samples
    script = (
        "import sys, warnings, numpy, zarr\n"
        "warnings.simplefilter('ignore')\n"
        "assert 'corvane_numcodecs' not in sys.modules\n"
        f"numpy.save({str(tmp_path / 'out.npy')!r}, zarr.open_array({str(tmp_path / 'a')!r}, mode='r')[:])\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True)
    np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), array[:])


@pytest.mark.parametrize("zarr_format", [2, 3])
def test_a_checksum_after_the_codec_turns_a_damaged_chunk_into_an_error(tmp_path, zarr_format):
    # Streams carry no checksum: a flipped payload bit mostly decodes to a
    # wrong signal without complaint. The store's own checksum codec, placed
    # after corvane, catches it.
    zarr = _zarr()
    samples = wave(500)
    stream = corvane.compress_signal(samples)
    flip = next(i for i in range(60, len(stream))
                if _decodes_wrong(stream[:i] + bytes([stream[i] ^ 0x10]) + stream[i + 1:], samples))
    if zarr_format == 2:
        kwargs = {"filters": [Corvane()], "compressors": numcodecs.CRC32()}
    else:
        from zarr.codecs import Crc32cCodec
        kwargs = {**_serializer(3, {}), "compressors": [Crc32cCodec()]}
    array = zarr.create_array(tmp_path, shape=(500,), chunks=(500,), dtype="float32", zarr_format=zarr_format,
                              **kwargs)
    array[:] = samples
    chunk = _chunk_file(tmp_path, zarr_format, 0)
    data = bytearray(chunk.read_bytes())
    at = bytes(data).index(stream)
    np.testing.assert_array_equal(zarr.open_array(tmp_path, mode="r")[:], corvane.decompress_signal(stream))
    data[at + flip] ^= 0x10
    chunk.write_bytes(bytes(data))
    with pytest.raises(Exception, match="(?i)checksum|crc"):
        zarr.open_array(tmp_path, mode="r")[:]


def _decodes_wrong(stream, samples):
    try:
        decoded = corvane.decompress_signal(stream)
    except ValueError:
        return False
    return bool(np.max(np.abs(decoded - samples)) > 0.1)


# --- the v3 codec ------------------------------------------------------------------------

STORES = pathlib.Path(__file__).parent / "stores"


@pytest.mark.parametrize("options", OPTION_SETS)
def test_zarr3_codec_metadata_round_trips(options):
    zarr = _zarr()
    zarr3 = pytest.importorskip("corvane_numcodecs.zarr3")
    codec = zarr3.Corvane(**options)
    stored = json.loads(json.dumps(codec.to_dict()))
    assert stored["name"] == "numcodecs.corvane"
    assert stored["configuration"] == {k: v for k, v in Corvane(**options).get_config().items()
                                       if k != "id" and v is not None}
    assert zarr.registry.get_codec_class("numcodecs.corvane") is zarr3.Corvane
    for again in (zarr3.Corvane.from_dict(stored), pickle.loads(pickle.dumps(codec))):
        assert again == codec and hash(again) == hash(codec)
        assert again.scale == codec.scale == options.get("scale", 11)
    assert zarr3.Corvane(scale=9) != zarr3.Corvane(scale=10)


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        ({"dtype": "uint32"}, ValueError, "data type is uint32"),
        ({"dtype": "float16"}, ValueError, "data type is float16"),
        ({"chunks": (1 << 16, 1 << 16), "shape": (1 << 17, 1 << 16)}, ValueError, "at most 2147483647 samples"),
        ({"serializer": "auto", "compressors": "corvane"}, TypeError, "serializer="),
    ],
    ids=["uint32", "float16", "huge chunks", "in compressors"],
)
def test_zarr3_array_creation_refuses_what_the_codec_cannot_store(kwargs, error, words):
    zarr = _zarr()
    zarr3 = pytest.importorskip("corvane_numcodecs.zarr3")
    kwargs = {"shape": (100,), "chunks": (10,), "dtype": "float32", "serializer": zarr3.Corvane(),
              "compressors": None, **kwargs}
    if kwargs["compressors"] == "corvane":
        kwargs["compressors"] = [zarr3.Corvane()]
    with pytest.raises(error, match=words):
        zarr.create_array(zarr.storage.MemoryStore(), **kwargs)


def test_store_written_by_the_numcodecs_wrapper_opens_unchanged(tmp_path, pipeline):
    zarr = _zarr()
    zarr3 = pytest.importorskip("corvane_numcodecs.zarr3")
    # Written by release 0.1.0, whose v3 codec wrapped the numcodecs codec
    # (zarr 3.1.6): its metadata holds only the settings it was given.
    array = zarr.open_array(STORES / "wrapper_v3.zarr", mode="r")
    assert array.metadata.codecs == (zarr3.Corvane(scale=10, coder="arans"),)
    np.testing.assert_array_equal(array[:].view(np.uint32), np.load(STORES / "wrapper_v3_samples.npy").view(np.uint32))


def test_zarr3_lanes_along_a_middle_axis_come_back_in_place(tmp_path, pipeline):
    zarr = _zarr()
    zarr3 = pytest.importorskip("corvane_numcodecs.zarr3")
    # (trials, time, channels), channels of very different ranges.
    record = (wave(4 * 300 * 3, seed=2).reshape(4, 300, 3) * np.array([1.0, 30.0, 900.0])).astype(np.float32)
    array = zarr.create_array(tmp_path, shape=record.shape, chunks=(2, 300, 3), dtype="float32",
                              serializer=zarr3.Corvane(scale=12, axis=1), compressors=None)
    array[:] = record
    restored = zarr.open_array(tmp_path, mode="r")[:]
    options = corvane.CompressionOptions(scale=12)
    for trial in (0, 2):
        lanes = [np.ascontiguousarray(record[trial + i, :, j]) for i in range(2) for j in range(3)]
        stored = (tmp_path / "c" / str(trial // 2) / "0" / "0").read_bytes()
        assert stored == b"".join(corvane.compress_signal(lane, options) for lane in lanes)
    for i in range(4):
        for j in range(3):
            lane = np.ascontiguousarray(record[i, :, j])
            want = corvane.decompress_signal(corvane.compress_signal(lane, options))
            assert restored[i, :, j].tobytes() == want.tobytes()
