"""Campaigns at scale: worker processes against one process, a Dask cluster against worker processes, memory.

- throughput: 200 dense trials (4 protections x 50, 2M float32 values) with
  2 worker processes against the same campaign in one process, whose native
  thread pool already spreads each decode over the cores, and against one
  process with that pool at one thread;
- Dask: the same 200 trials on a LocalCluster of 2 single-threaded worker
  processes (started before the timing, as an existing cluster would be)
  against 2 worker processes;
- memory: the peak memory of the whole process tree (proportional set size,
  so pages the forked workers share with the parent count once) of a study
  on 64 MiB of weights with 2 workers, against the same study in one process;
- resume: reading a run directory's 20,000 records and checking each against
  the campaign (its seed derived again), against parsing the same lines alone.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from dataclasses import asdict
from pathlib import Path

import numpy as np

from functools import cache

from harness import Planned, Row, paired_times

from corvane import Campaign, WeightSet

PROTECTIONS = ["none", "secded:64", "cep:D3P1", "mset"]


def _campaign() -> Campaign:
    w = np.random.default_rng(0).normal(0, 0.05, 2_000_000).astype(np.float32)
    return Campaign(WeightSet.from_arrays([("w", w)]), PROTECTIONS, rates=[1e-5], trials=50, dense=True)


THROUGHPUT = "200 dense trials, 2 worker processes"
DASK = "200 dense trials, Dask LocalCluster of 2 processes"
MEMORY = "peak memory (PSS) of a study on 64 MiB, 2 workers, {path} trials"


def _throughput(c: Campaign) -> Row:
    two, one = paired_times(lambda: c.run(workers=2), lambda: c.run(workers=1), repeat=5)
    return Row(THROUGHPUT, two, "1 process (native pool on every core)", one,
               ">= 1.7x faster")  # fmt: skip


_THROUGHPUT_CHILD = f"""
import sys
sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})
import bench_study_scale as b
from harness import paired_times
c = b._campaign()
print(*paired_times(lambda: c.run(workers=2), lambda: c.run(workers=1), repeat=5))
"""


def _throughput_one_thread() -> Row:
    # The one process's native pool at one thread: what the worker processes scale from.
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", _THROUGHPUT_CHILD], env=env, capture_output=True, text=True, check=True)
    two, one = map(float, out.stdout.split())
    return Row(THROUGHPUT, two, "1 process, native pool at 1 thread", one,
               ">= 1.7x faster")  # fmt: skip


def _dask(c: Campaign) -> Row:
    from distributed import LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster:  # fmt: skip
        address = cluster.scheduler_address
        c.run(scheduler=address)  # the workers import the package once, as a long-lived cluster has
        dask, procs = paired_times(lambda: c.run(scheduler=address), lambda: c.run(workers=2), repeat=5)
    return Row(DASK, dask, "2 worker processes", procs, "<= 1.3x")


_MEMORY_CHILD = """
import sys
import numpy as np
from corvane import Campaign, WeightSet
import corvane.executors, corvane.report
w = np.random.default_rng(0).standard_normal(16 * 2**20, dtype=np.float32) * np.float32(0.05)
ws = WeightSet.from_arrays([("w", w)])
print("ready", flush=True)
sys.stdin.readline()
Campaign(ws, ["none", "secded:64", "cep:D3P1", "mset"], rates=[1e-6], trials=8, dense=sys.argv[2] == "dense").run(
    workers=int(sys.argv[1]))
"""


def _tree(pid: int) -> list[int]:
    out = [pid]
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            for child in Path(f"/proc/{pid}/task/{task}/children").read_text().split():
                out += _tree(int(child))
    except OSError:
        pass
    return out


def _pss(pid: int) -> int:
    try:
        for line in Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines():
            if line.startswith("Pss:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _peak_memory(workers: int, path: str) -> float:
    """Peak PSS of the study's process tree, weights and imported modules included, in MiB."""
    proc = subprocess.Popen([sys.executable, "-c", _MEMORY_CHILD, str(workers), path], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)  # fmt: skip
    assert proc.stdin is not None and proc.stdout is not None
    proc.stdout.readline()
    peak = _pss(proc.pid)
    proc.stdin.write("\n")
    proc.stdin.flush()
    while proc.poll() is None:
        peak = max(peak, sum(_pss(p) for p in _tree(proc.pid)))
        time.sleep(0.005)
    if proc.returncode:
        raise RuntimeError(f"memory child exited {proc.returncode}")
    return peak / 2**20


def _memory(path: str) -> Row:
    serial = _peak_memory(1, path)
    two = _peak_memory(2, path)
    return Row(MEMORY.format(path=path), two, "1 process", serial,
               "<= 1.5x", unit="MiB")  # fmt: skip


RESUME = "resume: 20,000 trial records read and checked against the campaign"


def _resume() -> Row:
    import json

    from corvane.rundir import Grid, parse_trials

    w = np.random.default_rng(0).normal(0, 0.05, 5000).astype(np.float32)
    c = Campaign(WeightSet.from_arrays([("w", w)]), PROTECTIONS, rates=[1e-4, 1e-3], trials=2500)
    data = "".join(json.dumps(asdict(r)) + "\n" for r in c.run().records).encode()
    grid = Grid.of(json.loads(json.dumps(c.config())), c._targeted())
    checked, parsed = paired_times(lambda: parse_trials(data, grid, Path("trials.jsonl")),
                                   lambda: [json.loads(line) for line in data.splitlines()], repeat=5)  # fmt: skip
    return Row(RESUME, checked, "json.loads of the lines alone", parsed, "<= 8x")


def benchmarks():
    c = cache(_campaign)  # built once, for the rows that are measured
    yield Planned(THROUGHPUT, lambda: _throughput(c()))
    yield Planned(THROUGHPUT, _throughput_one_thread)
    try:
        import distributed  # noqa: F401
    except ImportError:
        pass
    else:
        yield Planned(DASK, lambda: _dask(c()))
    for path in ("default", "dense"):
        yield Planned(MEMORY.format(path=path), lambda path=path: _memory(path))
    yield Planned(RESUME, _resume)
