"""Where a campaign's trials (or a map's strata) run: in process, in forked worker processes, or on a Dask cluster.

A trial is a pure function of the weight set, the protection and its
(point, trial) pair, and a stratum of the same and its (tensor, bit), so an
executor only decides where they run and in which order they finish; the
campaign (or map) puts the records back in grid order.
Each executor builds a protection's stored form once where its trials run:
in the parent for worker processes (which inherit it copy-on-write when they
are forked), and once per Dask worker, from a trial spec scattered to every
worker once. Executors are context managers, like ``concurrent.futures``'
executors: leaving the block stops whatever they started.
"""

from __future__ import annotations

import contextlib
import ctypes
import functools
import importlib
import os
import signal
import threading
import warnings
from abc import ABC, abstractmethod
from collections import OrderedDict
from collections.abc import Generator, Iterator, Sequence
from types import TracebackType
from typing import Any, Protocol

from .errors import CLUSTER_EXTRA, StudyError
from .protections import Protection, parse_protection
from .trial import Prepared, Scratch
from .vocabulary import Damage

Clean = tuple[Damage, float | None]  # a protection's clean loss and clean metric
#: What an executor runs and gives back: a campaign's trial keys and records, or a map's strata and theirs.
Task = Any
Record = Any


class Work(Protocol):
    """What every task of a run shares (a campaign's ``TrialSpec``, a map's ``MapSpec``): sent to each worker once."""

    @property
    def token(self) -> str:
        """Names the work in the caches of long-lived workers."""

    def prepare(self, protection: Protection) -> Prepared:
        """The protection applied to the weights, once where the tasks run."""

    def run(self, prepared: Prepared, key: Task, scratch: Scratch) -> Record:
        """One task."""

    def run_batch(self, prepared: Prepared, keys: Sequence[Task], scratch: Scratch) -> list[Record]:
        """Tasks one after another."""


def batches(tasks: Sequence[Task], slots: int) -> list[list[Task]]:
    """Small batches: enough to keep every slot busy to the end and the progress moving, few enough to be cheap."""
    size = max(1, min(16, len(tasks) // (max(slots, 1) * 8)))
    return [list(tasks[i : i + size]) for i in range(0, len(tasks), size)]


class Executor(ABC):
    """Runs the trials of one protection at a time; a context manager that closes itself."""

    @abstractmethod
    def prepare(self, spec: Work, protection: Protection) -> None:
        """Builds (or starts building) the protection's stored form where the trials will run."""

    @abstractmethod
    def clean(self) -> Clean:
        """The prepared protection's clean loss and metric."""

    @abstractmethod
    def run(self, tasks: Sequence[Task]) -> Generator[Record, None, None]:
        """The records of the prepared protection's tasks, in the order they finish."""

    def release(self) -> None:
        """Drops the prepared protection."""

    def close(self) -> None:
        """Stops whatever the executor started."""

    def __enter__(self) -> Executor:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()


class Serial(Executor):
    """Trials in the calling process, one after another."""

    def __init__(self) -> None:
        self._state: tuple[Work, Prepared] | None = None
        self._scratch = Scratch()

    def prepare(self, spec: Work, protection: Protection) -> None:
        self._state = spec, spec.prepare(protection)

    def clean(self) -> Clean:
        assert self._state is not None
        return self._state[1].clean_damage, self._state[1].clean_metric

    def run(self, tasks: Sequence[Task]) -> Generator[Record, None, None]:
        assert self._state is not None
        spec, prepared = self._state
        for t in tasks:
            yield spec.run(prepared, t, self._scratch)

    def release(self) -> None:
        self._state = None
        self._scratch = Scratch()


# The prepared protection of the parent, read by forked workers from their copy-on-write image of it.
_FORKED: tuple[Work, Prepared] | None = None
# A forked worker's own working copy.
_SCRATCH = Scratch()


def _worker_init(threads: int) -> None:
    # The parent turns Ctrl-C into a clean stop of the pool; a worker would only print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # Set before the worker's first native call builds its thread pool: workers x threads = the cores.
    os.environ["RAYON_NUM_THREADS"] = str(threads)


def _worker_batch(batch: list[Task]) -> list[Record]:
    assert _FORKED is not None, "a worker forked without a prepared protection"
    spec, prepared = _FORKED
    return spec.run_batch(prepared, batch, _SCRATCH)


class Processes(Executor):
    """Worker processes forked after each protection is prepared, so they inherit it instead of receiving it.

    The pool serves every ``run`` of the prepared protection (a campaign with
    a margin runs a protection's trials in several rounds) and is stopped when
    the protection is released, or at once when a run ends early.
    """

    def __init__(self, workers: int) -> None:
        if workers < 2:
            raise StudyError(f"worker processes need at least 2 workers, got {workers}")
        self.workers = workers
        self._pool: Any = None

    def prepare(self, spec: Work, protection: Protection) -> None:
        global _FORKED
        self._stop(finished=True)  # workers forked before hold the previous protection
        _FORKED = spec, spec.prepare(protection)

    def clean(self) -> Clean:
        assert _FORKED is not None
        return _FORKED[1].clean_damage, _FORKED[1].clean_metric

    def run(self, tasks: Sequence[Task]) -> Generator[Record, None, None]:
        import multiprocessing

        assert _FORKED is not None
        work = batches(tasks, self.workers)
        if not work:
            return
        if self._pool is None:
            n = self.workers
            threads = max(1, (os.cpu_count() or 1) // n)
            with warnings.catch_warnings():
                # Python 3.12+ warns on fork beside threads; ours are the native pool's, which a child rebuilds.
                warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
                self._pool = multiprocessing.get_context("fork").Pool(n, _worker_init, (threads,))
        finished = False
        try:
            for records in self._pool.imap_unordered(_worker_batch, work):
                yield from records
            finished = True
        finally:
            if not finished:  # an error, or the caller stopped early: nothing may keep running
                self._stop()

    def _stop(self, finished: bool = False) -> None:
        if self._pool is not None:
            if finished:  # let the workers exit on their own, as after any finished run
                self._pool.close()
            else:
                self._pool.terminate()
            self._pool.join()
            self._pool = None

    def release(self) -> None:
        global _FORKED
        self._stop(finished=True)
        _FORKED = None

    def close(self) -> None:
        global _FORKED
        self._stop()
        _FORKED = None


# Per Dask worker process: the prepared protections of recent specs, built once each.
_CACHE: OrderedDict[tuple[str, str], Prepared] = OrderedDict()
_CACHE_LOCK = threading.Lock()
# One protection runs at a time; a second entry covers trials of the previous one still finishing.
_CACHE_SIZE = 2
# Each thread of a Dask worker evaluates on its own working copy.
_LOCAL = threading.local()


def cached(spec: Work, protection: str) -> Prepared:
    """The worker's Prepared for (spec, protection), built on first use."""
    key = (spec.token, protection)
    with _CACHE_LOCK:
        hit = _CACHE.get(key)
        if hit is None:
            hit = spec.prepare(parse_protection(protection))
            _CACHE[key] = hit
            while len(_CACHE) > _CACHE_SIZE:
                _CACHE.popitem(last=False)
        else:
            _CACHE.move_to_end(key)
        return hit


def _thread_scratch() -> Scratch:
    scratch = getattr(_LOCAL, "scratch", None)
    if scratch is None:
        scratch = _LOCAL.scratch = Scratch()
    return scratch


def _dask_clean(spec: Work, protection: str) -> Clean:
    with freed_memory_kept():
        prepared = cached(spec, protection)
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


def _dask_batch(spec: Work, protection: str, batch: list[Task]) -> list[Record]:
    with freed_memory_kept():
        return spec.run_batch(cached(spec, protection), batch, _thread_scratch())


class Cluster(Executor):
    """Trials as tasks on a dask.distributed cluster; the spec is scattered to every worker once."""

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
        self._spec: Work | None = None
        self._scattered: Any = None
        self._protection = ""
        self._futures: list[Any] = []
        self._clean: Any = None

    def _slots(self) -> int:
        workers = self.client.scheduler_info().get("workers", {})
        return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))

    def prepare(self, spec: Work, protection: Protection) -> None:
        if self._spec is not spec:
            self._scattered = self.client.scatter(spec, broadcast=True, hash=False)
            self._spec = spec
        self._protection = protection.name
        # Not awaited here: every worker builds its stored form as its first trials arrive.
        self._clean = self.client.submit(_dask_clean, self._scattered, protection.name, pure=False)

    def clean(self) -> Clean:
        clean: Clean = self._clean.result()
        return clean

    def run(self, tasks: Sequence[Task]) -> Generator[Record, None, None]:
        self._futures = [
            self.client.submit(_dask_batch, self._scattered, self._protection, b, pure=False)
            for b in batches(tasks, self._slots())
        ]
        finished = False
        try:
            for fut in self._distributed.as_completed(self._futures):
                yield from fut.result()
            finished = True
        finally:
            # The clean loss is still to be asked for after a run that finished (there may be more rounds).
            self._cancel(clean=not finished)

    def _cancel(self, clean: bool = True) -> None:
        unfinished = clean and self._clean is not None and not self._clean.done()
        pending = self._futures + ([self._clean] if unfinished else [])
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
    return Serial() if workers == 1 else Processes(workers)


__all__ = ["Cluster", "Executor", "Processes", "Serial", "make_executor"]
