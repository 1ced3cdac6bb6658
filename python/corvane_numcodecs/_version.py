"""The distribution's version, read from its metadata (set once, in pyproject.toml)."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__: str = version("corvane")
except PackageNotFoundError:  # pragma: no cover - imported from a source tree that was never installed
    __version__ = "0+unknown"
