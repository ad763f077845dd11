"""A small fault study without protection.

Draws fault sites without repetition over the bits of a list of float32
"weights", flips them in place, and reports what changed.
Run: python examples/fault_study.py [faults] [seed]
"""

import sys

import numpy as np

import corvane._rust as rust


def draw_sites(total_bits: int, count: int, seed: int) -> list[int]:
    """Distinct global bit indices, reproducible from the seed."""
    picker = rust.Picker(total_bits, seed=seed)
    return [next(picker) for _ in range(count)]


def main(argv: list[str]) -> int:
    faults = int(argv[1]) if len(argv) > 1 else 10
    seed = int(argv[2]) if len(argv) > 2 else 7
    rng = np.random.default_rng(seed)
    weights = [rng.standard_normal((64, 32)).astype(np.float32), rng.standard_normal(100).astype(np.float32)]
    original = [w.copy() for w in weights]
    total_bits = sum(w.size for w in weights) * 32
    sites = draw_sites(total_bits, faults, seed)
    rust.list_of_array_faults_f32(weights, [(rust.Fault.flip(), g) for g in sites])

    print(f"{len(weights)} arrays, {total_bits} bits, {faults} bit flips (seed {seed})")
    print(f"{'bit':>8} {'array':>5} {'index':>10} {'bit in value':>12} {'before':>14} {'after':>14}")
    offsets = np.cumsum([0] + [w.size * 32 for w in weights])
    for g in sorted(sites):
        k = int(np.searchsorted(offsets, g, side="right") - 1)
        element, bit = divmod(g - int(offsets[k]), 32)
        # Elements are numbered with the first axis varying fastest.
        index = np.unravel_index(element, weights[k].shape, order="F")
        before, after = original[k][index], weights[k][index]
        print(f"{g:>8} {k:>5} {str(tuple(int(i) for i in index)):>10} {bit:>12} {before:>14.6g} {after:>14.6g}")
    changed = sum(int((w.view(np.uint32) != o.view(np.uint32)).sum()) for w, o in zip(weights, original))
    worst = max(float(np.nanmax(np.abs(w.astype(np.float64) - o))) for w, o in zip(weights, original))
    print(f"{changed} values changed; largest absolute change {worst:.6g}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
