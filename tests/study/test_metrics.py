import numpy as np
import pytest

from corvane.intervals import t_interval
from corvane.native import changed, changed_numpy


@pytest.mark.parametrize("changed", [changed, changed_numpy])
@pytest.mark.parametrize("dtype", [np.float32, np.uint16, np.uint8])
@pytest.mark.parametrize("n, offset", [(0, 0), (1, 0), (7, 0), (64, 0), (1001, 0), (64, 1), (33, 3)])
def test_changed_finds_every_differing_pattern(changed, dtype, n, offset):
    rng = np.random.default_rng(n)
    raw = rng.integers(0, 256, (n + offset) * np.dtype(dtype).itemsize + 8, dtype=np.uint8)
    a = raw[offset * np.dtype(dtype).itemsize :][: n * np.dtype(dtype).itemsize].view(dtype)  # maybe unaligned
    b = a.copy()
    hits = rng.choice(n, size=min(n, 5), replace=False) if n else np.zeros(0, int)
    b.view(f"u{b.dtype.itemsize}")[hits] ^= 1
    assert np.array_equal(changed(a, b), np.sort(hits))


def test_nan_with_same_bits_is_unchanged_and_signed_zero_is_changed():
    a = np.array([np.nan, 0.0, 1.0, 2.0], np.float32)
    b = np.array([np.nan, -0.0, 1.0, 2.0], np.float32)
    assert changed(a, b).tolist() == [1]


def test_interval_uses_student_t():
    m, lo, hi = t_interval([1.0, 2.0, 3.0])
    assert (m, hi - m) == pytest.approx((2.0, 4.302652729749462 / np.sqrt(3)), rel=1e-12)
    mean, low, high = t_interval([5.0])
    assert mean == 5.0 and np.isnan(low) and np.isnan(high)  # one value says nothing about the spread
    # Past 30 degrees of freedom the quantile is exact too (the old approximation was off by up to 1.6e-3).
    x = np.arange(41, dtype=float)
    assert t_interval(x)[2] - 20.0 == pytest.approx(2.021075390306273 * x.std(ddof=1) / np.sqrt(41), rel=1e-12)


_ROWS = """
import sys
sys.path.insert(0, sys.argv[1])
from weightsets import tiny
from corvane import Campaign

ws = tiny(sizes=(1 << 17, 70000))
for rec in Campaign(ws, ["none", "mset"], rates=[1e-2], trials=2, seed=4).run().records:
    print(rec.rel_l2_error.hex(), rec.mean_abs_error.hex(), rec.max_abs_error.hex())
"""


def test_rows_do_not_depend_on_the_number_of_blas_threads():
    import os
    import subprocess
    import sys
    from pathlib import Path

    def rows(threads):
        env = dict(os.environ, OPENBLAS_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads))
        argv = [sys.executable, "-c", _ROWS, str(Path(__file__).parent)]
        return subprocess.run(argv, env=env, capture_output=True, text=True, check=True, timeout=120).stdout

    assert rows(1) == rows(4) != ""
