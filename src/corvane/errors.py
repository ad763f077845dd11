"""The errors of the study layer, how a missing optional dependency is named, and how user text is shown."""

from __future__ import annotations

import contextlib
import signal
import threading
from collections.abc import Iterator, Sequence
from typing import Any

#: What to install for the study's dependencies, and for Dask clusters.
STUDY_EXTRA = "pip install 'corvane[study]'"
CLUSTER_EXTRA = "pip install 'corvane[cluster]'"


class StudyError(Exception):
    """Bad input to a study (the command line prints it as one error line, exit status 2)."""


class RunFailed(Exception):
    """A run stopped by something outside its input: a worker process died, the Dask scheduler was lost,
    a file could not be written (the command line prints one error line, exit status 1).

    Finished trials are kept wherever the run keeps them, so the same command resumes.
    """


class NotApplicable(StudyError):
    """A protection that cannot take some storage kinds of a weight set."""

    def __init__(self, protection: str, storages: Sequence[str]) -> None:
        self.protection = protection
        self.storages = list(storages)
        super().__init__(f"{protection} does not take {'/'.join(storages)} data")


class Interrupted(KeyboardInterrupt):
    """A campaign (or map) stopped by Ctrl-C: how many of its trials (or strata) are done, and where they are kept."""

    def __init__(self, done: int, total: int, out: str | None, what: str = "trials") -> None:
        super().__init__(done, total, out)
        self.done = done
        self.total = total
        self.out = out
        self.what = what

    def __str__(self) -> str:
        return kept_trials(self.done, self.total, self.out, self.what)


@contextlib.contextmanager
def ctrl_c_held() -> Iterator[None]:
    """Holds Ctrl-C back for a block that must not be cut short; one that came meanwhile is raised at its end.

    The signal itself is blocked, not only Python's handler: a process forked
    meanwhile inherits the block, and an extension module that initialises
    meanwhile never sees an interrupt (some then fail with an ImportError, or
    leave the interpreter to kill itself with SIGINT at exit). Signals reach
    the main thread only, so elsewhere nothing is held.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    # Blocking covers the main thread only: the kernel hands the signal to any
    # other thread (a BLAS or native pool thread), and Python then runs its
    # handler in the main thread all the same. So the handler only notes it too.
    pending: list[tuple[int, Any]] = []
    handler = signal.getsignal(signal.SIGINT)
    if callable(handler):
        signal.signal(signal.SIGINT, lambda signum, frame: pending.append((signum, frame)))
    old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, old)
        if callable(handler):
            signal.signal(signal.SIGINT, handler)
            if pending:
                handler(*pending[0])


def kept_trials(done: int, total: int, out: str | None, what: str = "trials") -> str:
    """How many trials (or strata) a stopped run finished, and where they are kept."""
    where = f"kept in {out}" if out else "not kept (use --out DIR to resume)"
    return f"{done} of {total} {what} done, {where}"


# C0 and C1 control characters and the bidirectional overrides: printed, they
# would move the cursor, recolour or retitle the terminal, or reorder the line.
_UNPRINTABLE = {c: f"\\x{c:02x}" for c in [*range(0x20), *range(0x7F, 0xA0)]} | {
    c: f"\\u{c:04x}" for c in [*range(0x202A, 0x202F), *range(0x2066, 0x206A)]
}


def printable(text: object) -> str:
    """A user's text (a path, a tensor name) as it can be printed: control characters as escapes (ESC as \\x1b)."""
    return str(text).translate(_UNPRINTABLE)
