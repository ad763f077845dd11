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
import itertools
import logging
import os
import pickle
import signal
import threading
import warnings
from abc import ABC, abstractmethod
from collections import OrderedDict
from collections.abc import Generator, Iterable, Iterator, Sequence
from types import TracebackType
from typing import Any, NoReturn, Protocol

from .errors import CLUSTER_EXTRA, RunFailed, StudyError, ctrl_c_held
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


def batch_size(count: int, slots: int) -> int:
    """Small batches: enough to keep every slot busy to the end and the progress moving, few enough to be cheap."""
    return max(1, min(16, count // (max(slots, 1) * 8)))


def batches(tasks: Iterable[Task], size: int) -> Iterator[list[Task]]:
    """The tasks in batches of ``size``, taken from ``tasks`` only as they are needed."""
    it = iter(tasks)
    while batch := list(itertools.islice(it, size)):
        yield batch


class Executor(ABC):
    """Runs the trials of one protection at a time; a context manager that closes itself."""

    @abstractmethod
    def prepare(self, spec: Work, protection: Protection) -> None:
        """Builds (or starts building) the protection's stored form where the trials will run."""

    @abstractmethod
    def clean(self) -> Clean:
        """The prepared protection's clean loss and metric."""

    @abstractmethod
    def run(self, tasks: Iterable[Task], count: int) -> Generator[Record, None, None]:
        """The records of the prepared protection's ``count`` tasks, in the order they finish.

        The tasks are taken from the iterable as they are handed out, so a
        huge grid is never held as a list.
        """

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

    def run(self, tasks: Iterable[Task], count: int) -> Generator[Record, None, None]:
        assert self._state is not None
        spec, prepared = self._state
        for t in tasks:
            yield spec.run(prepared, t, self._scratch)

    def release(self) -> None:
        self._state = None
        self._scratch = Scratch()


@functools.cache  # the C library is looked up once per process
def _libc() -> Any:
    try:
        return ctypes.CDLL(None)
    except OSError:  # pragma: no cover - every platform we run on has one
        return None


# The prepared protection of the parent, read by forked workers from their copy-on-write image of it.
_FORKED: tuple[Work, Prepared] | None = None
# A forked worker's own working copy.
_SCRATCH = Scratch()
_PR_SET_PDEATHSIG = 1


def _die_with(parent: int) -> None:
    """Makes the kernel kill this worker when its parent dies, however the parent dies (Linux)."""
    prctl = getattr(_libc(), "prctl", None)
    if prctl is not None:
        prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
    # The parent may have died before the request was made: then nobody would send the signal.
    if os.getppid() != parent:
        os._exit(0)


def _portable(exc: BaseException) -> BaseException:
    """An exception the parent can receive: itself if it survives pickling, else a RunFailed that names it."""
    try:
        pickle.loads(pickle.dumps(exc))
    except Exception:  # noqa: BLE001 - whatever stops an exception from pickling or unpickling
        return RunFailed(f"a worker process failed: {type(exc).__name__}: {exc}")
    return exc


def _worker(conn: Any, threads: int, parent: int) -> None:
    """A forked worker: runs the batches it receives until its pipe closes."""
    _die_with(parent)
    # The parent turns Ctrl-C into a stop of the workers; a worker would only print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    # Set before the worker's first native call builds its thread pool: workers x threads = the cores.
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    assert _FORKED is not None, "a worker forked without a prepared protection"
    spec, prepared = _FORKED
    while True:
        try:
            batch = conn.recv()
        except (EOFError, OSError):
            return
        reply: tuple[bool, Any]
        try:
            reply = True, spec.run_batch(prepared, batch, _SCRATCH)
        except BaseException as exc:  # noqa: BLE001 - every failure goes back to the parent
            reply = False, _portable(exc)
        try:
            conn.send(reply)
        except OSError:
            return


def _death(pid: int, exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            name = signal.Signals(-exitcode).name
        except ValueError:
            name = "an unknown signal"
        how = f"killed by signal {-exitcode}, {name}"
        if -exitcode == signal.SIGKILL:
            how += "; out of memory?"
    else:
        how = f"exit status {exitcode}"
    return f"worker process {pid} died ({how})"


class Processes(Executor):
    """Worker processes forked after each protection is prepared, so they inherit it instead of receiving it.

    Each worker has a pipe of its own; the parent waits on the pipes and on
    the processes' sentinels together, so a worker that dies (killed, out of
    memory, an ``os._exit`` in user code) is noticed at once, and stopping
    kills the workers outright: nothing they hold is worth waiting for. The
    workers serve every ``run`` of the prepared protection (a campaign with a
    margin runs a protection's trials in several rounds) and are stopped when
    the protection is released, or at once when a run ends early.
    """

    def __init__(self, workers: int) -> None:
        if workers < 2:
            raise StudyError(f"worker processes need at least 2 workers, got {workers}")
        self.workers = workers
        self._procs: list[tuple[Any, Any]] = []  # (process, the parent's end of its pipe)

    def prepare(self, spec: Work, protection: Protection) -> None:
        global _FORKED
        self._stop()  # workers forked before hold the previous protection
        _FORKED = spec, spec.prepare(protection)

    def clean(self) -> Clean:
        assert _FORKED is not None
        return _FORKED[1].clean_damage, _FORKED[1].clean_metric

    def _start(self, n: int) -> None:
        import multiprocessing

        ctx = multiprocessing.get_context("fork")
        threads = max(1, (os.cpu_count() or 1) // n)
        with ctrl_c_held(), warnings.catch_warnings():
            # Python 3.12+ warns on fork beside threads; ours are the native pool's, which a child rebuilds.
            warnings.filterwarnings("ignore", message=".*fork.*", category=DeprecationWarning)
            for _ in range(n):
                mine, theirs = ctx.Pipe(duplex=True)
                proc = ctx.Process(target=_worker, args=(theirs, threads, os.getpid()), daemon=True)
                try:
                    proc.start()
                except OSError as exc:
                    mine.close()
                    raise RunFailed(f"cannot start a worker process: {exc.strerror}") from None
                finally:
                    theirs.close()
                self._procs.append((proc, mine))

    def run(self, tasks: Iterable[Task], count: int) -> Generator[Record, None, None]:
        from multiprocessing.connection import wait

        assert _FORKED is not None
        work = batches(tasks, batch_size(count, self.workers))
        finished = False
        try:
            if not self._procs:
                self._start(self.workers)
            owner = {conn: proc for proc, conn in self._procs}
            idle = list(owner)
            busy: set[Any] = set()
            sentinels = {proc.sentinel: proc for proc in owner.values()}
            while True:
                while idle and (batch := next(work, None)) is not None:
                    conn = idle.pop()
                    conn.send(batch)
                    busy.add(conn)
                if not busy:
                    finished = True
                    return
                ready: list[Any] = wait([*busy, *sentinels])
                for conn in [c for c in ready if c in busy]:
                    try:
                        ok, payload = conn.recv()
                    except (EOFError, OSError):
                        self._died(owner[conn])
                    if not ok:
                        raise payload
                    busy.discard(conn)
                    idle.append(conn)
                    yield from payload
                for s in ready:
                    if s in sentinels:
                        self._died(sentinels[s])
        finally:
            if not finished:  # an error, or the caller stopped early: nothing may keep running
                self._stop()

    @staticmethod
    def _died(proc: Any) -> NoReturn:
        proc.join(5)  # its pipe closed as it exited; a worker that closed it otherwise is ended here
        if proc.exitcode is None:
            proc.kill()
            proc.join()
        raise RunFailed(_death(proc.pid, proc.exitcode))

    def _stop(self) -> None:
        with ctrl_c_held():
            for proc, conn in self._procs:
                if proc.exitcode is None:
                    proc.kill()
                conn.close()
            for proc, _ in self._procs:
                proc.join()
            self._procs = []

    def release(self) -> None:
        global _FORKED
        self._stop()
        _FORKED = None

    def close(self) -> None:
        self.release()


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
        mallopt = getattr(_libc(), "mallopt", None)  # glibc; elsewhere there is nothing to tune
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


def _quiet(root: str) -> dict[str, int]:
    """Silences a library's loggers but for critical messages; their levels before, to put back.

    Dask logs a lost connection with tracebacks on stderr; the run reports it in one line.
    """
    names = [root] + [n for n in logging.root.manager.loggerDict if n.startswith(root + ".")]
    levels = {}
    for name in names:
        logger = logging.getLogger(name)
        if name == root or logger.level != logging.NOTSET:
            levels[name] = logger.level
            logger.setLevel(logging.CRITICAL)
    return levels


class Cluster(Executor):
    """Trials as tasks on a dask.distributed cluster; the trial setup is scattered to every worker once.

    Batches are submitted a few per slot ahead of the results, so a huge grid
    never becomes a huge list of futures. A scheduler lost mid-run, or a task
    the cluster gave up on, fails the run with one line; the client's own
    logging of the lost connection is kept quiet meanwhile.
    """

    #: Batches in flight per slot of the cluster.
    AHEAD = 4

    def __init__(self, scheduler: Any) -> None:
        try:
            distributed: Any = importlib.import_module("distributed")
        except ImportError:
            raise StudyError(f"a Dask cluster needs the 'cluster' extra: {CLUSTER_EXTRA}") from None
        self._distributed = distributed
        self._comm_closed: type[BaseException] = distributed.comm.core.CommClosedError
        self.client: Any
        if isinstance(scheduler, distributed.Client):
            self.client, self._own = scheduler, False
        else:
            try:
                self.client = distributed.Client(str(scheduler), timeout="20s")
            except (OSError, TimeoutError, ValueError) as exc:
                raise StudyError(f"cannot reach the Dask scheduler at {scheduler}: {exc}") from None
            self._own = True
        self._address = getattr(self.client.scheduler, "address", None) or str(scheduler)
        self._levels = _quiet("distributed")
        self._spec: Work | None = None
        self._scattered: Any = None
        self._protection = ""
        self._futures: set[Any] = set()
        self._clean: Any = None

    @contextlib.contextmanager
    def _guarded(self) -> Iterator[None]:
        """Failures of the cluster as RunFailed; the user's own errors (a StudyError from a task) as they are."""
        try:
            yield
        except (KeyboardInterrupt, StudyError, RunFailed):
            raise
        except BaseException as exc:  # noqa: BLE001 - Dask cancels with a BaseException (asyncio's CancelledError)
            # A lost connection surfaces as a closed comm, or as futures the client cancels once it notices.
            if self.client.status != "running" or isinstance(exc, (OSError, self._comm_closed)):
                raise RunFailed(f"lost the Dask scheduler at {self._address}") from None
            raise RunFailed(f"the Dask cluster failed: {type(exc).__name__}: {exc}") from None

    def _slots(self) -> int:
        with self._guarded():
            workers = self.client.scheduler_info().get("workers", {})
        return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))

    def prepare(self, spec: Work, protection: Protection) -> None:
        with self._guarded():
            if self._spec is not spec:
                self._scattered = self.client.scatter(spec, broadcast=True, hash=False)
                self._spec = spec
            self._protection = protection.name
            # Not awaited here: every worker builds its stored form as its first trials arrive.
            self._clean = self.client.submit(_dask_clean, self._scattered, protection.name, pure=False)

    def clean(self) -> Clean:
        with self._guarded():
            clean: Clean = self._clean.result()
        return clean

    def run(self, tasks: Iterable[Task], count: int) -> Generator[Record, None, None]:
        slots = self._slots()
        work = batches(tasks, batch_size(count, slots))
        finished = self._distributed.as_completed()

        def submit(batch: list[Task]) -> None:
            with self._guarded():
                fut = self.client.submit(_dask_batch, self._scattered, self._protection, batch, pure=False)
            self._futures.add(fut)
            finished.add(fut)

        try:
            for first in itertools.islice(work, self.AHEAD * slots):
                submit(first)
            for fut in finished:
                with self._guarded():
                    records = fut.result()
                self._futures.discard(fut)
                if (more := next(work, None)) is not None:
                    submit(more)
                yield from records
        finally:
            # Only the batches: the clean-up future is still to be waited on.
            self._cancel(self._futures)
            self._futures = set()

    def _cancel(self, futures: Iterable[Any], finished_too: bool = False) -> None:
        pending = [f for f in futures if finished_too or not f.done()]
        if pending and self.client.status == "running":
            with contextlib.suppress(Exception):  # a scheduler lost meanwhile holds nothing to cancel
                self.client.cancel(pending)

    def release(self) -> None:
        if self._clean is not None:
            self._cancel([self._clean])
            self._clean = None

    def close(self) -> None:
        self._cancel(self._futures)
        self._futures = set()
        self.release()
        if self._scattered is not None:
            self._cancel([self._scattered], finished_too=True)  # releases the weights on every worker
            self._scattered = None
        if self._own:
            with contextlib.suppress(Exception):
                self.client.close(timeout=5)
        for name, level in self._levels.items():
            logging.getLogger(name).setLevel(level)


def make_executor(workers: int = 1, scheduler: Any = None) -> Executor:
    """Dask when a scheduler (address or Client) is given, else worker processes, or serial for 1 worker."""
    if scheduler is not None:
        return Cluster(scheduler)
    return Serial() if workers == 1 else Processes(workers)


__all__ = ["Cluster", "Executor", "Processes", "Serial", "make_executor"]
