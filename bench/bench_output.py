"""Where a benchmark writes its figures: where the user asks (``--out``), else a temporary
folder, never into the source tree unasked."""

from __future__ import annotations

import pathlib
import tempfile


def output_path(out: str | None, default_name: str) -> pathlib.Path:
    """``out`` when given, else ``default_name`` in the temporary folder's corvane-bench/; its folder made."""
    path = pathlib.Path(out) if out else pathlib.Path(tempfile.gettempdir()) / "corvane-bench" / default_name
    path.parent.mkdir(parents=True, exist_ok=True)
    return path
