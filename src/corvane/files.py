"""Output files: written whole or not at all, and checked before any work is done."""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

from .errors import StudyError


@contextmanager
def atomic_write(path: str | Path, mode: str = "w") -> Iterator[IO[Any]]:
    """A file that appears at ``path`` only if the block completes."""
    p = Path(path)
    if p.is_dir():
        raise StudyError(f"{p}: is a directory")
    parent = p.parent if str(p.parent) else Path(".")
    if not parent.is_dir():
        raise StudyError(f"{p}: no such directory {parent}")
    try:
        fd, tmp = tempfile.mkstemp(dir=parent, prefix=f".{p.name}.", suffix=".tmp")
    except OSError as exc:
        raise StudyError(f"{p}: cannot write: {exc.strerror}") from exc
    try:
        with os.fdopen(fd, mode, newline="" if "b" not in mode else None) as f:
            yield f
        os.replace(tmp, p)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def check_output(path: str | Path, formats: tuple[str, ...] | None = None) -> None:
    """Refuses an output path before a campaign runs, so no work is lost to a typo."""
    p = Path(path)
    if formats is not None and p.suffix.lower() not in formats:
        raise StudyError(f"{p}: unknown plot format '{p.suffix}' (use {', '.join(formats)})")
    if p.is_dir():
        raise StudyError(f"{p}: is a directory")
    parent = p.parent if str(p.parent) else Path(".")
    if not parent.is_dir():
        raise StudyError(f"{p}: no such directory {parent}")
    if not os.access(parent, os.W_OK):
        raise StudyError(f"{p}: directory {parent} is not writable")
