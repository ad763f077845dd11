"""SEC-DED encoding of 64 MiB of float32.

Each figure against a baseline measured in the same run, alternating with it:
  - encode_f32 and decode_f32 against `a.copy()` of the same array: one trip
    through memory in and out, which is what a pass over the data costs;
  - apply_fault on the 64 MiB encoding against apply_fault on a 1 KiB one:
    a fault costs the same whatever the size of the image;
  - apply_faults with 1,000,000 pairs against a bare Python loop unpacking
    the same pairs (`for f, t in faults: pass`);
  - the memory an encoding keeps, as resident-set growth in a fresh child
    process, against the codeword bits (n / d) times the data size.

Run alone as `python bench_secded.py --retained D`, it prints the child's
resident-set growth for one encoding with D bits per chunk, in bytes.
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
from functools import cache, partial
from pathlib import Path

import numpy as np

import corvane._rust as rust
from harness import Planned, Row, paired_times

SIZE = 64 << 20  # bytes of float32 data
MIB = 1 << 20
SLACK = 2 * MIB  # allocator and page rounding of the two stores of an image
FAULTS = 1_000_000
secded = rust.secded
Fault = rust.Fault


def codeword_bits(d: int) -> int:
    r = 2
    while (1 << r) - r - 1 < d:
        r += 1
    return d + r + 1


def data() -> np.ndarray:
    return np.random.default_rng(7).standard_normal(SIZE // 4, dtype=np.float32)


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def retained(d: int) -> int:
    """Resident-set growth from keeping one encoding, in this process."""
    a = data()
    secded.encode_f32([a[:1024]], d)  # the worker pool and its stacks
    gc.collect()
    before = resident_bytes()
    e = secded.encode_f32([a], d)
    gc.collect()
    grown = resident_bytes() - before
    del e
    return grown


def retained_in_child(d: int) -> int:
    out = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--retained", str(d)],
        check=True, capture_output=True, text=True, env=os.environ.copy(),
    )
    return int(out.stdout.strip())


@cache
def shared_data() -> np.ndarray:
    return data()


@cache
def fault_images():
    """A 64 MiB encoding and a 1 KiB one, both with 64-bit chunks."""
    a = shared_data()
    return secded.encode_f32([a], 64), secded.encode_f32([a[:256]], 64)


def encode_row(name, d, target):
    a = shared_data()
    value, base = paired_times(lambda: secded.encode_f32([a], d), a.copy)
    return Row(name, value, "a.copy()", base, target)


def decode_row(name, d, target):
    a = shared_data()
    e = secded.encode_f32([a], d)
    arrays, _ = e.decode_f32()
    assert np.array_equal(arrays[0].view(np.uint32), a.view(np.uint32))
    del arrays
    value, base = paired_times(e.decode_f32, a.copy)
    return Row(name, value, "a.copy()", base, target)


def apply_fault_row(name):
    big, small = fault_images()
    flip = Fault.flip()
    far, near = big.bit_count() - 1, small.bit_count() - 1
    value, base = paired_times(lambda: big.apply_fault(flip, far), lambda: small.apply_fault(flip, near), number=20_000)
    return Row(name, value, "apply_fault on 1 KiB", base, "<= 1.5x")


def apply_faults_row(name):
    big, _ = fault_images()
    picker = rust.Picker(big.bit_count(), seed=11)
    kinds = (Fault.flip(), Fault.stuck_at_0(), Fault.stuck_at_1())
    faults = [(kinds[i % 3], next(picker)) for i in range(FAULTS)]

    def unpack():
        for f, t in faults:  # noqa: B007 - the loop is the baseline
            pass

    value, base = paired_times(lambda: big.apply_faults(faults), unpack, repeat=5)
    return Row(name, value, "for f, t in faults: pass", base, "<= 3x")


def retained_row(name, d):
    expected = SIZE * codeword_bits(d) / d + SLACK
    return Row(name, retained_in_child(d) / MIB, "(n/d) x data + 2 MiB", expected / MIB, "<= 1.05x", unit="MiB")


def benchmarks():
    for d, target in ((64, "<= 3x"), (36, "<= 6x"), (1000, "<= 6x"), (4096, "<= 6x")):
        name = f"secded encode_f32 64 MiB d={d}"
        yield Planned(name, partial(encode_row, name, d, target))
        name = f"secded decode_f32 64 MiB d={d}"
        yield Planned(name, partial(decode_row, name, d, target))
    name = "secded apply_fault on 64 MiB"
    yield Planned(name, partial(apply_fault_row, name))
    name = "secded apply_faults 1M pairs"
    yield Planned(name, partial(apply_faults_row, name))
    for d in (64, 36, 1000):
        name = f"secded retained memory d={d}"
        yield Planned(name, partial(retained_row, name, d))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--retained"]:
        print(retained(int(sys.argv[2])))
    else:
        sys.path.insert(0, str(Path(__file__).resolve().parent))
        from run import main

        raise SystemExit(main([sys.argv[0], "secded"]))
