"""The study layer: what a campaign adds to the native calls it makes, its memory, whole commands.

- campaign overhead: 20 dense trials (5 per protection) on 4M float32 values,
  against the same native calls (encode, copy / clone, inject, decode) timed alone;
- memory: peak RSS of a 4-protection study on 64 MiB of weights, per byte of weights;
- `corvane study --quick` and the default study as whole processes with an
  empty model cache, against their time budgets.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from harness import Planned, Row, median_time

import corvane._rust as rust
from corvane import Campaign, WeightSet
from corvane.native import draw_sites, engine, fault_pairs
from corvane.vocabulary import FaultKind, Rate, trial_seed

FLIP = FaultKind.FLIP.code

PROTECTIONS = ["none", "secded:64", "cep:D3P1", "mset"]
RATE = 1e-5


def _weights(n: int) -> WeightSet:
    return WeightSet.from_arrays([("w", np.random.default_rng(0).normal(0, 0.05, n).astype(np.float32))])


def _native_calls(ws: WeightSet, trials: int) -> None:
    """What the campaign asks of the native module, with nothing around it."""
    w = ws.tensors[0].patterns
    bits = w.size * 32
    for name in PROTECTIONS:
        stored_bits = bits * 72 // 64 if name.startswith("secded") else bits
        sites = [
            rust_sites(stored_bits, trial_seed(0, name, Rate(RATE), t), round(RATE * stored_bits))
            for t in range(trials)
        ]
        if name == "none":
            for s in sites:
                work = w.copy()
                inject([work], s)
        elif name.startswith("secded"):
            enc = rust.secded.encode_f32([w], 64)
            for s in sites:
                c = enc.clone()
                if engine is not None:
                    engine.encoding_inject(c, FLIP, s)
                else:
                    c.apply_faults(fault_pairs(FLIP, s))
                c.decode_f32()
        else:
            scheme = rust.cep.Scheme.D3P1
            enc, dec = (
                (lambda a: rust.cep.encode_f32(a, scheme), lambda a: rust.cep.decode_f32(a, scheme))
                if name.startswith("cep") else (rust.mset.encode_f32, rust.mset.decode_f32)
            )  # fmt: skip
            stored = w.copy()
            enc(stored)
            clean = stored.copy()
            dec(clean)
            for s in sites:
                work = stored.copy()
                inject([work], s)
                dec(work)


def rust_sites(size: int, seed: int, count: int) -> np.ndarray:
    return draw_sites(size, seed, count)


def inject(arrays: list[np.ndarray], sites: np.ndarray) -> None:
    if engine is not None:
        engine.inject(arrays, FLIP, sites)
    else:
        rust.list_of_array_faults_f32(arrays, fault_pairs(FLIP, sites))


def _campaign_overhead() -> Row:
    ws = _weights(4_000_000)
    trials = 5
    study = median_time(lambda: Campaign(ws, PROTECTIONS, rates=[RATE], trials=trials, dense=True).run(), repeat=5)
    alone = median_time(lambda: _native_calls(ws, trials), repeat=5)
    return Row(OVERHEAD, study, "its native calls alone", alone, "<= 1.25x")


_MEMORY_CHILD = """
import resource, sys
import numpy as np
from corvane import Campaign, WeightSet
ws = WeightSet.from_arrays([("w", np.random.default_rng(0).standard_normal(16 * 2**20, dtype=np.float32) * np.float32(0.05))])
import corvane.report  # everything the study imports, before the baseline
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
Campaign(ws, ["none", "secded:64", "cep:D3P1", "mset"], rates=[1e-6], trials=2).run()
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(peak, ws.nbytes)
"""


def _memory() -> Row:
    out = subprocess.run([sys.executable, "-c", _MEMORY_CHILD], capture_output=True, text=True, check=True)
    peak, nbytes = map(int, out.stdout.split())
    return Row(MEMORY, peak / 2**20, "5 x the weights",
               5 * nbytes / 2**20, "<= 1x", unit="MiB")  # fmt: skip


def _command(args: list[str], budget: float, name: str) -> Row:
    with tempfile.TemporaryDirectory() as cache:
        env = dict(os.environ, XDG_CACHE_HOME=cache)  # an empty cache: the model is trained too
        t0 = time.perf_counter()
        subprocess.run([sys.executable, "-m", "corvane", "study", "--quiet", *args], env=env, check=True,
                       stdout=subprocess.DEVNULL)  # fmt: skip
        elapsed = time.perf_counter() - t0
    return Row(name, elapsed, "time budget", budget, "<= 1x")


OVERHEAD = "study of 20 dense trials, 4M float32, 4 protections"
MEMORY = "peak RSS of a 4-protection study, 64 MiB of weights"
QUICK = "corvane study --quick, empty cache"
DEFAULT = "corvane study (default), empty cache"


def benchmarks():
    yield Planned(OVERHEAD, _campaign_overhead)
    yield Planned(MEMORY, _memory)
    yield Planned(QUICK, lambda: _command(["--quick"], 10.0, QUICK))
    yield Planned(DEFAULT, lambda: _command([], 60.0, DEFAULT))
