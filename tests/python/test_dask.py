"""A dask array written to a zarr store through the codec and read back, on
dask's threaded scheduler and on a local cluster of worker processes: every
stored chunk is the module's stream of that chunk, every chunk read back its
decoded samples."""

import logging

import numpy as np
import pytest

import corvane

da = pytest.importorskip("dask.array")
zarr = pytest.importorskip("zarr")
zarr3 = pytest.importorskip("corvane_numcodecs.zarr3")

CHUNKS = 10
CHUNK = 4000
SETTINGS = {"method": "db4", "scale": 10, "coder": "arans"}


@pytest.fixture(params=["threads", "cluster"])
def scheduler(request):
    """Keywords for dask's compute: its threads, or a client of two worker processes."""
    if request.param == "threads":
        yield {"scheduler": "threads", "num_workers": 4}
        return
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR, timeout=120) as cluster, \
            distributed.Client(cluster, timeout=120) as client:
        yield {"scheduler": client}


def test_dask_writes_and_reads_the_modules_streams(tmp_path, scheduler):
    rng = np.random.default_rng(5)
    t = np.arange(CHUNKS * CHUNK)
    samples = (np.sin(t / 25.0) + 0.3 * np.sin(t / 7.3) + 0.05 * rng.standard_normal(t.size)).astype(np.float32)
    array = zarr.create_array(tmp_path, shape=samples.shape, chunks=(CHUNK,), dtype="float32", fill_value=0.0,
                              serializer=zarr3.Corvane(**SETTINGS), compressors=None)
    da.store(da.from_array(samples, chunks=CHUNK), array, lock=False, **scheduler)
    restored = da.from_zarr(str(tmp_path)).compute(**scheduler)

    options = corvane.CompressionOptions(**SETTINGS)
    for i in range(CHUNKS):
        stored = (tmp_path / "c" / str(i)).read_bytes()
        assert stored == corvane.compress_signal(samples[i * CHUNK:(i + 1) * CHUNK], options)
        assert restored[i * CHUNK:(i + 1) * CHUNK].tobytes() == corvane.decompress_signal(stored).tobytes()
