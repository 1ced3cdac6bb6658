"""The corvane command, run as a user runs it, and corvane_numcodecs.inspect behind its `info`."""

import io
import json
import pathlib
import struct
import subprocess
import sys
import tempfile
import wave
import zipfile

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane

zarr = pytest.importorskip("zarr")
import corvane_numcodecs  # noqa: E402  (needs numcodecs, which zarr brings)

SCRIPT = pathlib.Path(sys.executable).with_name("corvane")


def run(*args, cwd):
    """`corvane ARGS` in `cwd`: (exit status, stdout, stderr)."""
    command = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "corvane_numcodecs"]
    done = subprocess.run([*command, *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def ok(*args, cwd):
    status, out, err = run(*args, cwd=cwd)
    assert status == 0 and "Traceback" not in err, err
    return out


def eeg_like(n, channels, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 256.0
    return np.stack([40 * np.sin(2 * np.pi * (6 + c) * t + c) + np.cumsum(rng.standard_normal(n)) for c in range(channels)], 1)


def write_pcm(path, frames, bits, rate=8000):
    """A PCM WAV file written by the standard library: an independent writer of what we read."""
    with wave.open(str(path), "wb") as w:
        w.setnchannels(frames.shape[1])
        w.setsampwidth(bits // 8)
        w.setframerate(rate)
        if bits == 24:
            raw = frames.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
        else:
            raw = frames.astype({8: "u1", 16: "<i2"}[bits]).tobytes()
        w.writeframes(raw)


def write_float_wav(path, frames, rate=8000):
    """A float WAV of the extensible format, laid out by hand."""
    channels = frames.shape[1]
    data = frames.astype("<f4").tobytes()
    guid = struct.pack("<H", 3) + bytes.fromhex("000000001000800000aa00389b71")
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, channels, rate, rate * channels * 4, channels * 4, 32, 22, 32, 0) + guid
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
    path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)


def largest_error(stats_line):
    return float(stats_line.split("largest error ")[1].split(",")[0])


@pytest.mark.parametrize(
    "kind, setting, bound",
    [
        ("npy", ["--prd", "1"], ("prd", 1.0)),
        ("wav16", [], ("max", 0)),  # integers are kept exactly unless told otherwise
        ("wav16", ["--max-abs-error", "12"], ("max", 12)),
        ("wav24", ["--max-abs-error", "2000", "--chunk", "3000"], ("max", 2000)),
        ("wav8", ["--max-abs-error", "1", "--coder", "arans"], ("max", 1)),
        ("wavfloat", ["--prd", "0.5", "--method", "db4"], ("prd", 0.5)),
    ],
)
def test_round_trips_keep_the_target_the_layout_and_the_sample_format(tmp_path, kind, setting, bound):
    x = eeg_like(10_000, 3)
    if kind == "npy":
        original, source = x.T.astype(np.float32), tmp_path / "in.npy"  # (channels, time): time is the longer axis
        np.save(source, original)
    elif kind == "wavfloat":
        original, source = (x / 100).astype(np.float32), tmp_path / "in.wav"
        write_float_wav(source, original)
    else:
        bits = int(kind[3:])
        scale = {8: 1, 16: 100, 24: 20000}[bits]
        original = np.round(x * scale).astype(np.int32) + (128 if bits == 8 else 0)
        original = np.clip(original, 0, 255) if bits == 8 else original
        source = tmp_path / "in.wav"
        write_pcm(source, original, bits)
    out = ok("compress", source, "store.zip", *setting, "--stats", cwd=tmp_path)
    ok("decompress", "store.zip", "back" + source.suffix, cwd=tmp_path)
    if kind == "npy":
        restored = np.load(tmp_path / "back.npy")
    elif kind == "wavfloat":
        restored = np.frombuffer((tmp_path / "back.wav").read_bytes()[-original.size * 4:], "<f4").reshape(original.shape)
    else:
        with wave.open(str(tmp_path / "back.wav")) as w:
            assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (3, bits // 8, 8000)
            raw = np.frombuffer(w.readframes(w.getnframes()), np.uint8)
        restored = (raw.astype(np.int32) if bits == 8 else
                    np.frombuffer(raw, "<i2").astype(np.int32) if bits == 16 else
                    (np.pad(raw.reshape(-1, 3), ((0, 0), (1, 0))).copy().view("<i4")[:, 0] >> 8)).reshape(original.shape)
    assert restored.shape == original.shape and restored.dtype.kind == original.dtype.kind
    err = restored.astype(np.float64) - original
    if bound[0] == "max":
        assert np.abs(err).max() <= bound[1]
    else:
        axis = 1 if kind == "npy" else 0
        spread = original - original.mean(axis=axis, keepdims=True)
        assert (100 * np.linalg.norm(err, axis=axis) / np.linalg.norm(spread, axis=axis)).max() <= bound[1]
    assert largest_error(out.splitlines()[0]) == pytest.approx(np.abs(err).max(), rel=1e-5)
    assert "ratio" in out.splitlines()[-1] and "MB/s" in out.splitlines()[-1]
    if not setting:  # exact storage of 16-bit samples this wide takes a refined chunk per channel
        with zipfile.ZipFile(tmp_path / "store.zip") as store:
            lanes = corvane_numcodecs.inspect(store.read("signal/c/0/0")).streams
        assert len(lanes) == 3 and {(s.refinement.kind, s.refinement.step) for s in lanes} == {("integer", 1.0)}
        assert "refined: 3 of 3 streams, integer, step 1" in ok("info", "store.zip", cwd=tmp_path)


def test_edf_keeps_its_digital_samples_exactly_and_its_headers(tmp_path):
    pyedflib = pytest.importorskip("pyedflib")
    rates, n_seconds = [256, 256, 128], 40
    x = [eeg_like(n_seconds * r, 1, seed=i)[:, 0] for i, r in enumerate(rates)]
    writer = pyedflib.EdfWriter(str(tmp_path / "in.edf"), 3, file_type=pyedflib.FILETYPE_EDFPLUS)
    writer.setSignalHeaders([
        pyedflib.highlevel.make_signal_header(f"EEG C{i}", dimension="uV", sample_frequency=r, physical_min=-500,
                                              physical_max=500, digital_min=-2000, digital_max=2000, prefiler="HP:0.1Hz")
        for i, r in enumerate(rates)])
    writer.setTechnician("tech")
    writer.setEquipment("amp9")
    writer.writeAnnotation(3.5, 2.0, "eyes closed")
    writer.writeSamples(x)
    writer.close()
    ok("compress", "in.edf", "store", "--quiet", cwd=tmp_path)  # the default for digital samples: exact
    root = zarr.open_group(str(tmp_path / "store"), mode="r")
    assert sorted(root.array_keys()) == ["signals_128Hz", "signals_256Hz"]
    assert root["signals_256Hz"].dtype == np.int16 and root["signals_256Hz"].attrs["channels"] == ["EEG C0", "EEG C1"]
    ok("decompress", "store", "back.edf", cwd=tmp_path)
    a, b = pyedflib.EdfReader(str(tmp_path / "in.edf")), pyedflib.EdfReader(str(tmp_path / "back.edf"))
    try:
        for c in range(3):
            assert np.array_equal(a.readSignal(c, digital=True), b.readSignal(c, digital=True))
        assert a.getSignalHeaders() == b.getSignalHeaders() and a.getHeader() == b.getHeader()
        assert [list(v) for v in a.readAnnotations()] == [list(v) for v in b.readAnnotations()]
    finally:
        a.close()
        b.close()


def test_info_on_a_store_and_on_one_of_its_chunk_files(tmp_path):
    x = eeg_like(5000, 4).astype(np.float32)
    np.save(tmp_path / "in.npy", x)
    ok("compress", "in.npy", "store", "--scale", "9", "--coder", "deflate", "--chunk", "2000", cwd=tmp_path)
    info = ok("info", "store", cwd=tmp_path)
    assert "shape (5000, 4) float32, chunks (2000, 4), 3 chunks stored" in info
    assert "streams: 12 (4 per chunk), method cdf97, coder deflate" in info and "scale 9, multiplier 512," in info
    chunk = (tmp_path / "store" / "signal" / "c" / "1" / "0").read_bytes()
    facts = corvane_numcodecs.inspect(chunk)
    assert facts.lanes == 4 and facts.samples == 8000 and facts.nbytes == len(chunk)
    for lane, s in enumerate(facts.streams):
        assert (s.method, s.coder, s.scale, s.multiplier, s.length) == ("cdf97", "deflate", 9, 512.0, s.payload_length + 52)
        assert (s.minimum, s.maximum) == (x[2000:4000, lane].min(), x[2000:4000, lane].max())
    assert f"4 streams, 8000 samples in {len(chunk)} bytes" in ok("info", "store/signal/c/1/0", cwd=tmp_path)


@pytest.mark.parametrize("method", ["cdf97", "cdf53", "db4", "sym4"])
@pytest.mark.parametrize("coder", [None, "deflate", "arans"])
def test_inspect_reports_what_a_stream_was_written_with(method, coder):
    x = np.sin(np.arange(3000) / 9.0).astype(np.float32)
    stream = corvane.compress_signal(x, corvane.CompressionOptions(method, 8, "low", coder, 300.5))
    (s,) = corvane_numcodecs.inspect(stream).streams
    assert (s.method, s.coder, s.scale, s.multiplier, s.samples) == (method, coder or "cmodel", 8, 300.5, 3000)
    assert (s.minimum, s.maximum, s.length, s.version) == (x.min(), x.max(), len(stream), (1, 2))
    assert stream[12] == s.levels  # the one header byte a user could check by eye
    for damaged in (stream[:-1], stream[:51], b"XXXX" + stream[4:]):
        with pytest.raises(ValueError) as refused:
            corvane_numcodecs.inspect(damaged)
        with pytest.raises(ValueError, match=str(refused.value).replace("(", r"\(").replace(")", r"\)")):
            corvane.decompress_signal(damaged)


@pytest.mark.parametrize(
    "case, message",
    [
        ("missing file", "missing.wav: no such file or folder"),
        ("not a recording", "unreadable format: expected a .npy, WAV, EDF or BDF file"),
        ("out of reach", "prd=1e-09 is out of reach"),
        ("damaged stream", "damaged stream: Can't decompress data"),
        ("damaged info", "damaged stream: Can't decompress data"),
        ("existing output", "exists: give --force to replace it"),
    ],
)
def test_failures_are_one_line_with_nothing_left_behind(tmp_path, case, message):
    np.save(tmp_path / "in.npy", eeg_like(4000, 2).astype(np.float32) * 1e4)
    (tmp_path / "notes.txt").write_text("not a signal")
    if case.startswith("damaged"):
        ok("compress", "in.npy", "store", "--chunk", "1000", cwd=tmp_path)
        chunk = tmp_path / "store" / "signal" / "c" / "2" / "0"
        chunk.write_bytes(chunk.read_bytes()[:-10])
    if case == "existing output":
        (tmp_path / "out.zip").write_bytes(b"keep me")
    before = sorted(p.name for p in tmp_path.iterdir())
    args = {"missing file": ["compress", "missing.wav", "out.zip"],
            "not a recording": ["compress", "notes.txt", "out.zip"],
            "out of reach": ["compress", "in.npy", "out.zip", "--prd", "1e-9"],
            "damaged stream": ["decompress", "store", "out.npy"],
            "damaged info": ["info", "store"],
            "existing output": ["compress", "in.npy", "out.zip"]}[case]
    status, out, err = run(*args, cwd=tmp_path)
    assert status == 1 and out == "" and err.startswith("corvane: ") and err.count("\n") == 1, err
    assert message in err
    assert sorted(p.name for p in tmp_path.iterdir()) == before  # nothing half-written, no leftovers
    if case == "existing output":
        assert (tmp_path / "out.zip").read_bytes() == b"keep me"


def test_help_version_and_a_fresh_interpreter_without_numcodecs(tmp_path):
    assert "compress" in ok("--help", cwd=tmp_path) and corvane_numcodecs.__version__ in ok("--version", cwd=tmp_path)
    blocked = subprocess.run([sys.executable, "-c", "import sys; sys.modules['numcodecs'] = None; import corvane_numcodecs"],
                             capture_output=True, text=True, cwd=tmp_path)
    assert blocked.returncode == 1 and "pip install 'corvane[numcodecs]'" in blocked.stderr.splitlines()[-1]
    from importlib.metadata import version
    assert corvane_numcodecs.__version__ == version("corvane") and json.dumps(corvane_numcodecs.__version__)


@settings(max_examples=60, deadline=None)
@given(bits=st.sampled_from([8, 16, 24, 32]), channels=st.integers(1, 5), frames=st.integers(1, 300),
       extra=st.binary(max_size=7), seed=st.integers(0, 2**32 - 1))
def test_wav_files_written_are_what_the_standard_library_reads_and_read_back_exactly(bits, channels, frames, extra, seed):
    from corvane_numcodecs import _wav

    low, high = (0, 255) if bits == 8 else (-(1 << (bits - 1)), (1 << (bits - 1)) - 1)
    x = np.random.default_rng(seed).integers(low, high, size=(frames, channels), endpoint=True)
    x[0, 0] = low
    buffer = io.BytesIO()
    _wav.write_wav(buffer, iter([x[: frames // 2], x[frames // 2:]]), frames, channels, 8000, bits, False)
    written = buffer.getvalue()
    with wave.open(io.BytesIO(written)) as w:
        assert (w.getnchannels(), w.getsampwidth(), w.getnframes()) == (channels, bits // 8, frames)
    # An odd-sized chunk of another kind before the samples is skipped with its pad byte.
    other = b"LIST" + struct.pack("<I", len(extra)) + extra + b"\0" * (len(extra) % 2)
    spliced = written[:36] + other + written[36:]
    spliced = spliced[:4] + struct.pack("<I", len(spliced) - 8) + spliced[8:]
    with tempfile.TemporaryFile() as f:
        f.write(spliced)
        layout = _wav.read_layout(f)
        back = _wav.read_frames(f, layout, 0, layout.frames)
    assert layout.frames == frames and np.array_equal(back, x)
