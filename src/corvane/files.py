"""Output files: written whole or not at all, only where a regular file belongs, and checked before any work.

A file is written to a temporary file beside its target and renamed over it,
so a failure never leaves half a file. Renaming replaces whatever the name
held, so a target that exists must be a regular file: a FIFO, a device node
(``/dev/null``), a socket or a directory is refused rather than replaced. A
symbolic link given as an output is followed, and the regular file it names
is replaced, the link kept; inside a run directory no link is ever followed.
Files are created with the usual mode under the user's umask.
"""

from __future__ import annotations

import errno
import os
import secrets
import stat
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any

from .errors import RunFailed, StudyError

#: Failures of the machine rather than of the path: the same command succeeds once they are fixed.
_MACHINE_ERRORS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EIO, errno.EFBIG})


def write_error(path: str | Path, exc: OSError, doing: str = "cannot write") -> Exception:
    """The one-line error for an OSError while writing ``path``: a full disk fails the run, a bad path is input."""
    text = f"{path}: {doing}: {exc.strerror or exc}"
    return RunFailed(text) if exc.errno in _MACHINE_ERRORS else StudyError(text)


def _kind(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):  # fmt: skip
        if test(mode):
            return name
    return "not a regular file"


def target(path: str | Path, follow: bool = True) -> Path:
    """The file that writing ``path`` replaces or creates; refuses anything but a regular file or a new name.

    With ``follow``, a symbolic link stands for the file it names; without, a link is refused.
    """
    p = Path(path)
    if not str(path):
        raise StudyError("an empty path")
    try:
        st = os.lstat(p)
    except FileNotFoundError:
        return p
    except OSError as exc:
        raise StudyError(f"{p}: {exc.strerror}") from None
    if stat.S_ISLNK(st.st_mode):
        if not follow:
            raise StudyError(f"{p}: is a symbolic link; a run directory's files are never followed")
        resolved = Path(os.path.realpath(p))
        try:
            st = os.stat(p)
        except FileNotFoundError:
            return resolved  # a link to a file not yet written: the file is created where it points
        except OSError as exc:
            raise StudyError(f"{p}: {exc.strerror}") from None
        p = resolved
    if stat.S_ISDIR(st.st_mode):
        raise StudyError(f"{path}: is a directory")
    if not stat.S_ISREG(st.st_mode):
        raise StudyError(f"{path}: is {_kind(st.st_mode)}, not a regular file; outputs are written to regular files only")
    return p


def _directory(p: Path, shown: str | Path) -> Path:
    parent = p.parent if str(p.parent) else Path(".")
    if not parent.is_dir():
        raise StudyError(f"{shown}: no such directory {parent}")
    return parent


def _temporary(parent: Path, name: str) -> tuple[int, Path]:
    """A new file beside the target, created with the usual mode (0666 under the umask), never through a link."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    while True:
        tmp = parent / f".{name}.{secrets.token_hex(4)}.tmp"
        try:
            return os.open(tmp, flags, 0o666), tmp
        except FileExistsError:
            continue


@contextmanager
def atomic_write(path: str | Path, mode: str = "w", follow: bool = True) -> Iterator[IO[Any]]:
    """A file that appears at ``path`` only if the block completes (see the module's notes on what is refused)."""
    p = target(path, follow)
    parent = _directory(p, path)
    try:
        fd, tmp = _temporary(parent, p.name)
    except OSError as exc:
        raise write_error(path, exc) from None
    try:
        with os.fdopen(fd, mode, newline="" if "b" not in mode else None) as f:
            yield f
        os.replace(tmp, p)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise write_error(path, exc) from None
        raise


def same_file(a: str | Path, b: str | Path) -> bool:
    """Whether two paths name one file (the same inode, or the same place for a file not yet written)."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def check_output(path: str | Path, formats: tuple[str, ...] | None = None, keep: Iterable[Path] = ()) -> None:
    """Refuses an output path before a campaign runs, so no work is lost to a typo.

    ``keep`` are files an output must never replace (a run directory's own).
    The directory is tried with a real temporary file: permissions alone do
    not say whether a file system takes new files (``/proc``, a read-only
    mount, and for root every mode bit allows it).
    """
    p = Path(path)
    if formats is not None and p.suffix.lower() not in formats:
        raise StudyError(f"{p}: unknown plot format '{p.suffix}' (use {', '.join(formats)})")
    real = target(p)
    for own in keep:
        if same_file(real, own):
            raise StudyError(f"{p}: is the run directory's own {own.name}; write the output elsewhere")
    parent = _directory(real, p)
    try:
        fd, tmp = _temporary(parent, real.name)
    except OSError as exc:
        raise StudyError(f"{p}: cannot write in {parent}: {exc.strerror}") from None
    os.close(fd)
    os.unlink(tmp)
