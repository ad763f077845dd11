"""The worker pool seen from Python: results never depend on its size, and
a child created by fork works on its own pool.

Pool sizes are fixed when a process first needs the pool, so each setting
runs in a fresh interpreter."""

import os
import subprocess
import sys

import pytest

# Encodes, damages and decodes seeded arrays large enough to be split among
# workers with every cep scheme and with mset; prints a digest of every
# intermediate result.
WORKLOAD = r"""
import hashlib
import numpy as np
import corvane._rust as rust

def digest():
    h = hashlib.sha256()
    rng = np.random.default_rng(2024)
    n = 1031 * 1021  # odd sizes: pieces of unequal length
    for dtype, bits, suffix in ((np.float32, np.uint32, "f32"), (np.uint16, np.uint16, "u16")):
        width = 8 * np.dtype(bits).itemsize
        base = rng.integers(0, 1 << width, n, dtype=np.uint64).astype(bits)
        damage = base & rng.integers(0, 1 << width, n, dtype=np.uint64).astype(bits) & (base >> 3)
        runs = [(getattr(rust.cep, f"encode_{suffix}"), getattr(rust.cep, f"decode_{suffix}"), (s,))
                for s in (rust.cep.Scheme.D3P1, rust.cep.Scheme.D7P1, rust.cep.Scheme.D15P1)]
        runs.append((getattr(rust.mset, f"encode_{suffix}"), getattr(rust.mset, f"decode_{suffix}"), ()))
        for encode, decode, extra in runs:
            a = np.asfortranarray(base.copy().view(dtype).reshape(1031, 1021))
            encode(a, *extra)
            h.update(a.tobytes(order="A"))
            a.view(bits)[...] ^= damage.reshape(a.shape, order="F")
            decode(a, *extra)
            h.update(a.tobytes(order="A"))
    return h.hexdigest()
"""

FORK = r"""
import multiprocessing as mp
import queue
import sys
import warnings

import numpy as np

warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running


def child(q):
    q.put(digest())


if __name__ == "__main__":
    # Start the pool in the parent first.
    rust.cep.encode_f32(np.ones(1 << 20, np.float32), rust.cep.Scheme.D3P1)
    expected = digest()
    ctx = mp.get_context("fork")
    q = ctx.Queue()
    workers = [ctx.Process(target=child, args=(q,)) for _ in range(2)]
    for w in workers:
        w.start()
    try:
        got = [q.get(timeout=30) for _ in workers]
    except queue.Empty:
        print("child did not answer")
        sys.exit(1)
    finally:
        for w in workers:
            w.join(10)
            if w.is_alive():
                w.kill()
    print(all(g == expected for g in got), [w.exitcode for w in workers], digest() == expected)
"""


def run(script, env_changes, timeout=120):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(env_changes)
    result = subprocess.run(
        [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


@pytest.fixture(scope="module")
def expected_digest():
    namespace = {}
    exec(WORKLOAD, namespace)  # this process's pool, whatever its size
    return namespace["digest"]()


@pytest.mark.parametrize(
    "env",
    [
        {},
        {"RAYON_NUM_THREADS": "1"},
        {"RAYON_NUM_THREADS": "2"},
        {"RAYON_NUM_THREADS": "7"},
        {"RAYON_NUM_THREADS": "0"},
        {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"},
        {"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"},
        {"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "+5"},
        {"RAYON_NUM_THREADS": "+3"},
        {"RAYON_RS_NUM_CPUS": "abc"},
    ],
    ids=lambda env: " ".join(f"{k}={v}" for k, v in env.items()) or "unset",
)
def test_results_do_not_depend_on_pool_size(env, expected_digest):
    assert run(WORKLOAD + "print(digest())", env) == expected_digest


def test_forked_child_builds_its_own_pool():
    assert run(WORKLOAD + FORK, {"RAYON_NUM_THREADS": "2"}) == "True [0, 0] True"

