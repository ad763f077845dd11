"""Runs every benchmark module (benchmarks/bench_*.py) and prints one table.

Usage: python benchmarks/run.py [name-filter ...]

Each module exposes `benchmarks()`, a generator of harness.Planned: a row's
name and how to measure it, so that rows the filters exclude are never
measured. Each row holds a figure, its baseline measured in the same run,
the ratio and the target. The exit status is 0 whatever the figures: targets are reported,
not enforced.
"""

from __future__ import annotations

import importlib
import os
import platform
import sys
from pathlib import Path

# NumPy's BLAS threads would otherwise spin beside the measured work; the
# benchmarks use no BLAS. Must be set before NumPy is imported.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import fmt  # noqa: E402


def main(argv: list[str]) -> int:
    filters = argv[1:]
    modules = sorted(p.stem for p in HERE.glob("bench_*.py"))
    print(f"machine: {platform.machine()}, {os.cpu_count()} cpus, {platform.processor() or platform.platform()}")
    print(f"python {platform.python_version()}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")
    print()
    print("| benchmark | time | baseline | baseline time | ratio | target | met |")
    print("|---|---|---|---|---|---|---|")
    for name in modules:
        module = importlib.import_module(name)
        for planned in module.benchmarks():
            if filters and not any(f in planned.name for f in filters):
                continue
            row = planned.measure()
            ratio = f"{row.ratio:.2f}x" if row.target.startswith("<=") else f"{1 / row.ratio:.1f}x faster"
            print(
                f"| {row.name} | {fmt(row.value, row.unit)} | {row.baseline_name} | "
                f"{fmt(row.baseline, row.unit)} | {ratio} | {row.target} | {'yes' if row.passed() else 'NO'} |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
