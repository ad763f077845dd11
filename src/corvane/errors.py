"""The errors of the study layer, and how a missing optional dependency is named."""

from __future__ import annotations

from collections.abc import Sequence

#: What to install for the study's dependencies, and for Dask clusters.
STUDY_EXTRA = "pip install 'corvane[study]'"
CLUSTER_EXTRA = "pip install 'corvane[cluster]'"


class StudyError(Exception):
    """Bad input to a study (the command line prints it as one error line, exit status 2)."""


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
        kept = f"kept in {self.out}" if self.out else "not kept (use --out DIR to resume)"
        return f"{self.done} of {self.total} {self.what} done, {kept}"
