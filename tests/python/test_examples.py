"""The examples and the README's Python snippets, run as a user runs them: twice, leaving the tree alone."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
SNIPPETS = re.findall(r"^```python\n(.*?)^```", (ROOT / "README.md").read_text(), re.S | re.M)


def tree_state():
    """What git sees changed in the source tree (None outside a clone), and the docs picture's bytes."""
    status = None
    if (ROOT / ".git").exists():
        status = subprocess.run(["git", "status", "--porcelain"], cwd=ROOT, capture_output=True, text=True).stdout
    picture = ROOT / "docs" / "plot_signal.png"
    return status, picture.read_bytes() if picture.exists() else None


def run_twice(args, cwd):
    """Runs `python ARGS` twice in `cwd`, the temporary folder inside it: the second run's output, or
    None when the first needs a package that is not installed (an optional extra)."""
    env = dict(os.environ, TMPDIR=str(cwd), MPLBACKEND="Agg")
    for _ in range(2):
        result = subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True)
        missing = re.search(r"ModuleNotFoundError: No module named '([\w.]+)'", result.stderr)
        if result.returncode != 0 and missing and not missing.group(1).startswith("corvane"):
            return None
        assert result.returncode == 0, f"{args}\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result.stdout


@pytest.mark.parametrize("script", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_runs_twice_and_writes_only_where_told(script, tmp_path):
    before = tree_state()
    out = run_twice([script], tmp_path)
    if out is None:
        pytest.skip("needs an optional package")
    assert tree_state() == before
    if script.stem == "plot_signal":
        # Unasked, the picture goes to the temporary folder; a path given is where it goes.
        assert (tmp_path / "corvane_plot_signal.png").read_bytes().startswith(b"\x89PNG")
        assert str(tmp_path / "corvane_plot_signal.png") in out
        run_twice([script, "sub/picture.png"], tmp_path)
        assert (tmp_path / "sub" / "picture.png").read_bytes().startswith(b"\x89PNG")
        assert tree_state() == before


@pytest.mark.parametrize("snippet", SNIPPETS, ids=[f"block{i}" for i in range(len(SNIPPETS))])
def test_each_readme_python_block_runs_alone_twice(snippet, tmp_path):
    # A reader may paste any one block into a fresh interpreter: each brings its own imports.
    before = tree_state()
    if run_twice(["-c", snippet], tmp_path) is None:
        pytest.skip("this README block needs an optional package")
    assert tree_state() == before
