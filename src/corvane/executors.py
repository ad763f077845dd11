"""Where a campaign's trials run: in process, in forked worker processes, or on a Dask cluster.

A trial is a pure function of the weight set, the protection and its
(point, trial) pair, so an executor only decides where trials run and in
which order they finish; the campaign puts the records back in grid order.
Each executor builds a protection's stored form once where its trials run:
in the parent for worker processes (which inherit it copy-on-write when they
are forked), and once per Dask worker, from a weight set scattered to every
worker once.
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import importlib
import os
import signal
import threading
import uuid
import warnings
from abc import ABC, abstractmethod
from collections import OrderedDict
from collections.abc import Generator, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from .campaign import Evaluate, Point, Prepared, TrialRecord
from .errors import StudyError
from .metrics import Damage
from .protections import Protection, parse_protection
from .weights import WeightSet

Task = tuple[int, int]  # point index, trial
Clean = tuple[Damage, float | None]  # a protection's clean loss and clean metric
CLUSTER_EXTRA = "pip install 'corvane[cluster]'"


@dataclass
class Job:
    """What every trial of one campaign shares: sent to each worker once, never per trial."""

    weights: WeightSet
    kind: str
    points: list[Point]
    seed: int
    evaluate: Evaluate | None
    dense: bool
    #: Names this job in the caches of long-lived workers (a Dask worker serves many campaigns).
    token: str = field(default_factory=lambda: uuid.uuid4().hex)

    def prepare(self, protection: Protection) -> Prepared:
        return Prepared(self.weights, protection, self.evaluate, self.dense)

    def run(self, prepared: Prepared, task: Task) -> TrialRecord:
        point, trial = task
        return prepared.run(self.kind, self.points[point], point, trial, self.seed)

    def run_batch(self, prepared: Prepared, batch: Sequence[Task]) -> list[TrialRecord]:
        return [self.run(prepared, t) for t in batch]


def batches(tasks: Sequence[Task], slots: int) -> list[list[Task]]:
    """Small batches: enough to keep every slot busy to the end and the progress moving, few enough to be cheap."""
    size = max(1, min(16, len(tasks) // (max(slots, 1) * 8)))
    return [list(tasks[i : i + size]) for i in range(0, len(tasks), size)]


class Executor(ABC):
    """Runs the trials of one protection at a time."""

    @abstractmethod
    def prepare(self, job: Job, protection: Protection) -> None:
        """Builds (or starts building) the protection's stored form where the trials will run."""

    @abstractmethod
    def clean(self) -> Clean:
        """The prepared protection's clean loss and metric."""

    @abstractmethod
    def run(self, tasks: Sequence[Task]) -> Generator[TrialRecord, None, None]:
        """The records of the prepared protection's tasks, in the order they finish."""

    def release(self) -> None:
        """Drops the prepared protection."""

    def close(self) -> None:
        """Stops whatever the executor started."""


class Serial(Executor):
    def __init__(self) -> None:
        self._state: tuple[Job, Prepared] | None = None

    def prepare(self, job: Job, protection: Protection) -> None:
        self._state = job, job.prepare(protection)

    def clean(self) -> Clean:
        assert self._state is not None
        return self._state[1].clean_damage, self._state[1].clean_metric

    def run(self, tasks: Sequence[Task]) -> Generator[TrialRecord, None, None]:
        assert self._state is not None
        job, prepared = self._state
        for t in tasks:
            yield job.run(prepared, t)

    def release(self) -> None:
        self._state = None


# The prepared protection of the parent, read by forked workers from their copy-on-write image of it.
_FORKED: tuple[Job, Prepared] | None = None


def _worker_init(threads: int) -> None:
    # The parent turns Ctrl-C into a clean stop of the pool; a worker would only print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Set before the worker's first native call builds its thread pool: workers x threads = the cores.
    os.environ["RAYON_NUM_THREADS"] = str(threads)


def _worker_batch(batch: list[Task]) -> list[TrialRecord]:
    assert _FORKED is not None, "a worker forked without a prepared protection"
    job, prepared = _FORKED
    return job.run_batch(prepared, batch)


class Processes(Executor):
    """Worker processes forked after each protection is prepared, so they inherit it instead of receiving it."""

    def __init__(self, workers: int) -> None:
        if workers < 2:
            raise StudyError(f"worker processes need at least 2 workers, got {workers}")
        self.workers = workers
        self._pool: Any = None

    def prepare(self, job: Job, protection: Protection) -> None:
        global _FORKED
        _FORKED = job, job.prepare(protection)

    def clean(self) -> Clean:
        assert _FORKED is not None
        return _FORKED[1].clean_damage, _FORKED[1].clean_metric

    def run(self, tasks: Sequence[Task]) -> Generator[TrialRecord, None, None]:
        import multiprocessing

        assert _FORKED is not None
        work = batches(tasks, self.workers)
        if not work:
            return
        n = min(self.workers, len(work))
        threads = max(1, (os.cpu_count() or 1) // n)
        with warnings.catch_warnings():
            # Python 3.12+ warns on fork beside threads; ours are the native pool's, which a child rebuilds.
            warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
            self._pool = multiprocessing.get_context("fork").Pool(n, _worker_init, (threads,))
        try:
            for records in self._pool.imap_unordered(_worker_batch, work):
                yield from records
            self._pool.close()
            self._pool.join()
        finally:
            self._stop()

    def _stop(self) -> None:
        if self._pool is not None:
            self._pool.terminate()
            self._pool.join()
            self._pool = None

    def release(self) -> None:
        global _FORKED
        self._stop()
        _FORKED = None

    def close(self) -> None:
        self.release()


# Per Dask worker process: the prepared protections of recent jobs, built once each.
_CACHE: OrderedDict[tuple[str, str], tuple[Prepared, threading.Lock]] = OrderedDict()
_CACHE_LOCK = threading.Lock()
# One protection runs at a time; a second entry covers trials of the previous one still finishing.
_CACHE_SIZE = 2


def cached(job: Job, protection: str) -> tuple[Prepared, threading.Lock]:
    """The worker's Prepared for (job, protection), built on first use."""
    key = (job.token, protection)
    with _CACHE_LOCK:
        hit = _CACHE.get(key)
        if hit is None:
            hit = job.prepare(parse_protection(protection)), threading.Lock()
            _CACHE[key] = hit
            while len(_CACHE) > _CACHE_SIZE:
                _CACHE.popitem(last=False)
        else:
            _CACHE.move_to_end(key)
        return hit


def _dask_clean(job: Job, protection: str) -> Clean:
    with freed_memory_kept():
        prepared, _ = cached(job, protection)
    return prepared.clean_damage, prepared.clean_metric


# glibc's mallopt parameters, and its defaults.
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
_MALLOC_DEFAULT = 128 * 1024
_MALLOC_ENV = {_M_TRIM_THRESHOLD: "MALLOC_TRIM_THRESHOLD_", _M_MMAP_THRESHOLD: "MALLOC_MMAP_THRESHOLD_"}
#: While trials run: arrays up to this size come from the heap, and that much freed memory is kept for the next trial.
_MALLOC_KEEP = 32 * 2**20


@functools.cache  # the C library is looked up once per process
def _mallopt() -> Any:
    try:
        return ctypes.CDLL(None).mallopt  # glibc; elsewhere there is nothing to tune
    except (AttributeError, OSError):
        return None


@contextlib.contextmanager
def freed_memory_kept() -> Iterator[None]:
    """Keeps memory freed by one trial for the next, where the process's malloc was told to return it at once.

    Dask starts its workers with MALLOC_TRIM_THRESHOLD_ set, which also turns
    off glibc's own adjustment of the mmap threshold: then every trial's
    working arrays are mapped fresh and every page of them faulted in again,
    which made trials on a Dask worker two to three times slower than in a
    plain process. The worker's settings are put back when the trials are
    done, so its memory is returned between tasks as it asked.
    """
    mallopt = None
    if any(name in os.environ for name in _MALLOC_ENV.values()):
        mallopt = _mallopt()
    if mallopt is None:
        yield
        return
    for param in _MALLOC_ENV:
        mallopt(param, _MALLOC_KEEP)
    try:
        yield
    finally:
        for param, name in _MALLOC_ENV.items():
            try:
                value = int(os.environ.get(name, _MALLOC_DEFAULT))
            except ValueError:
                value = _MALLOC_DEFAULT
            mallopt(param, value)


def _dask_batch(job: Job, protection: str, batch: list[Task]) -> list[TrialRecord]:
    with freed_memory_kept():
        prepared, lock = cached(job, protection)
        # A Prepared keeps one working copy for evaluation: threads of a worker take turns.
        with lock:
            return job.run_batch(prepared, batch)


class Cluster(Executor):
    """Trials as tasks on a dask.distributed cluster; the job is scattered to every worker once."""

    def __init__(self, scheduler: Any) -> None:
        try:
            distributed: Any = importlib.import_module("distributed")
        except ImportError:
            raise StudyError(f"a Dask cluster needs the 'cluster' extra: {CLUSTER_EXTRA}") from None
        self._distributed = distributed
        self.client: Any
        if isinstance(scheduler, distributed.Client):
            self.client, self._own = scheduler, False
        else:
            try:
                self.client = distributed.Client(str(scheduler), timeout="20s")
            except (OSError, TimeoutError, ValueError) as exc:
                raise StudyError(f"cannot reach the Dask scheduler at {scheduler}: {exc}") from None
            self._own = True
        self._job: Job | None = None
        self._scattered: Any = None
        self._protection = ""
        self._futures: list[Any] = []
        self._clean: Any = None

    def _slots(self) -> int:
        workers = self.client.scheduler_info().get("workers", {})
        return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))

    def prepare(self, job: Job, protection: Protection) -> None:
        if self._job is not job:
            self._scattered = self.client.scatter(job, broadcast=True, hash=False)
            self._job = job
        self._protection = protection.name
        # Not awaited here: every worker builds its stored form as its first trials arrive.
        self._clean = self.client.submit(_dask_clean, self._scattered, protection.name, pure=False)

    def clean(self) -> Clean:
        clean: Clean = self._clean.result()
        return clean

    def run(self, tasks: Sequence[Task]) -> Generator[TrialRecord, None, None]:
        self._futures = [
            self.client.submit(_dask_batch, self._scattered, self._protection, b, pure=False)
            for b in batches(tasks, self._slots())
        ]
        try:
            for fut in self._distributed.as_completed(self._futures):
                yield from fut.result()
        finally:
            self._cancel()

    def _cancel(self) -> None:
        pending = self._futures + ([self._clean] if self._clean is not None and not self._clean.done() else [])
        if pending:
            self.client.cancel(pending)
        self._futures = []

    def close(self) -> None:
        self._cancel()
        if self._scattered is not None:
            self.client.cancel([self._scattered])
            self._scattered = None
        if self._own:
            self.client.close()


def make_executor(workers: int = 1, scheduler: Any = None) -> Executor:
    """Dask when a scheduler (address or Client) is given, else worker processes, or serial for 1 worker."""
    if scheduler is not None:
        return Cluster(scheduler)
    if workers < 1:
        raise StudyError(f"workers must be at least 1, got {workers}")
    return Serial() if workers == 1 else Processes(workers)


__all__ = ["Cluster", "Executor", "Job", "Processes", "Serial", "make_executor"]
