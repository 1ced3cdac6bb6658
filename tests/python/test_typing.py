"""The installed type information: checkers see it, it matches the module, it catches misuse."""

import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

EXAMPLES = pathlib.Path(__file__).parent / "typing"
USAGE = EXAMPLES / "typed_usage.py"
CODEC_USAGE = EXAMPLES / "typed_codec_usage.py"
MISUSE = EXAMPLES / "typed_misuse.py"


def refused_lines(path):
    return {n for n, line in enumerate(path.read_text().splitlines(), 1) if "# refused:" in line}


def run(tmp_path, *args):
    # From an empty directory, so only the installed package can answer for `corvane`.
    return subprocess.run([*args], capture_output=True, text=True, cwd=tmp_path, timeout=300)


def mypy(tmp_path, path):
    result = run(tmp_path, sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull, str(path))
    errors = {int(m) for m in re.findall(rf"^{re.escape(str(path))}:(\d+): error", result.stdout, re.M)}
    return result, errors


def test_mypy_strict_accepts_typical_calls(tmp_path):
    result, _ = mypy(tmp_path, USAGE)
    assert result.returncode == 0, result.stdout + result.stderr
    # The codec layer too, where numcodecs is installed: decode's result is an array, or the out given.
    if importlib.util.find_spec("numcodecs") is not None:
        result, _ = mypy(tmp_path, CODEC_USAGE)
        assert result.returncode == 0, result.stdout + result.stderr
        # and the installed package itself checks clean, its companion's stub included
        result = run(tmp_path, sys.executable, "-m", "mypy", "--strict", "--cache-dir", os.devnull,
                     "-p", "corvane_numcodecs")
        assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_strict_reports_every_wrong_call_and_nothing_else(tmp_path):
    result, errors = mypy(tmp_path, MISUSE)
    assert result.returncode == 1, result.stdout + result.stderr
    assert errors == refused_lines(MISUSE), result.stdout


def test_stubs_agree_with_the_compiled_modules(tmp_path):
    # Names, parameter names, kinds and defaults, checked against the modules as they run.
    modules = ["corvane"] + (["corvane_numcodecs._native"] if importlib.util.find_spec("numcodecs") else [])
    result = run(tmp_path, sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *modules)
    assert result.returncode == 0, result.stdout + result.stderr


def test_literal_sets_are_the_codecs_own_names():
    # The stubs spell the names out for checkers; the codec defines them once.
    _native = pytest.importorskip("corvane_numcodecs._native")
    import ast
    import typing

    import corvane_numcodecs

    native = {"_Method": _native.METHODS, "_Cutoff": _native.CUTOFFS, "_Coder": _native.CODERS,
              "_Target": _native.TARGETS}
    stubs = [pathlib.Path(corvane_numcodecs.__file__).parent / "_native.pyi",
             pathlib.Path(*importlib.util.find_spec("corvane-stubs").submodule_search_locations) / "__init__.pyi"]
    for stub in stubs:
        literals = {}
        for node in ast.parse(stub.read_text()).body:
            literal = isinstance(node, ast.AnnAssign) and isinstance(node.value, ast.Subscript)
            if literal and getattr(node.value.value, "id", None) == "Literal":
                names = node.value.slice.elts if isinstance(node.value.slice, ast.Tuple) else [node.value.slice]
                literals[node.target.id] = tuple(n.value for n in names)
        assert {k: v for k, v in literals.items() if k in native} == {k: native[k] for k in literals if k in native}
        assert {"_Method", "_Cutoff", "_Coder"} <= literals.keys(), stub
    for name, names in native.items():
        assert typing.get_args(getattr(corvane_numcodecs, name)) == names


def test_pyright_sees_the_same_types(tmp_path):
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed")
    try:
        probe = run(tmp_path, pyright, "--version")
    except subprocess.TimeoutExpired:
        pytest.skip("pyright did not start")
    if probe.returncode != 0:
        pytest.skip("pyright cannot run here")
    assert run(tmp_path, pyright, str(USAGE)).returncode == 0
    result = run(tmp_path, pyright, str(MISUSE))
    errors = {int(m) for m in re.findall(r"typed_misuse\.py:(\d+):\d+ - error", result.stdout)}
    assert errors == refused_lines(MISUSE), result.stdout
