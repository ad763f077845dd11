"""The package's version, as results name it."""

from __future__ import annotations

import functools
import tomllib
from importlib import metadata
from pathlib import Path


@functools.cache
def corvane_version() -> str:
    """The installed distribution's version; run from a source tree, the version its pyproject.toml states."""
    try:
        return metadata.version("corvane")
    except metadata.PackageNotFoundError:
        pass
    try:
        with open(Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as f:
            return str(tomllib.load(f)["project"]["version"])
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "unknown"
