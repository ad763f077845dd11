"""The native trial engine ``corvane._engine``, when the build has it, and the NumPy paths beside it.

Every function here gives the same result with or without the engine; the
engine only makes it cost what the faults cost instead of a Python object
per fault. Nothing here knows what a protection or a campaign is.
"""

from __future__ import annotations

import importlib
import itertools
import os
from collections.abc import Callable
from itertools import islice
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _rust

U64 = npt.NDArray[np.uint64]
I64 = npt.NDArray[np.int64]
Patterns = npt.NDArray[Any]
#: Per array: the indices whose bit patterns differ, with the patterns before and after.
Diff = tuple[I64, Patterns, Patterns]

engine: Any
try:  # the native trial engine, when the build has it
    engine = importlib.import_module("corvane._engine")
except ImportError:  # pragma: no cover - every build of the package ships it
    engine = None

_FAULTS: dict[int, Callable[[], _rust.Fault]] = {
    0: _rust.Fault.stuck_at_0,
    1: _rust.Fault.stuck_at_1,
    2: _rust.Fault.flip,
}
_INJECT: dict[str, Callable[[list[Patterns], list[tuple[_rust.Fault, int]]], None]] = {
    "float32": _rust.list_of_array_faults_f32,
    "uint16": _rust.list_of_array_faults_u16,
    "uint8": _rust.list_of_array_faults_u8,
}


def thread_share() -> int:
    """The threads this process's native work may use, when it was given a share of the cores (0 otherwise).

    A worker process is given its share through RAYON_NUM_THREADS, which sizes
    the native pool; other native libraries a trial calls take the same.
    """
    try:
        return max(0, int(os.environ.get("RAYON_NUM_THREADS", "0")))
    except ValueError:
        return 0


def bits_view(a: Patterns) -> Patterns:
    """The patterns of ``a`` as unsigned integers of its width (float32 read as its bits)."""
    return a.view(f"u{a.dtype.itemsize}")


def draw_sites(size: int, seed: int, count: int) -> U64:
    """The first ``count`` values of Picker(size, seed): distinct fault sites."""
    if engine is not None:
        return np.asarray(engine.draw_sites(size, seed, count), dtype=np.uint64)
    return np.fromiter(islice(_rust.Picker(size, seed=seed), count), dtype=np.uint64, count=count)


def fault_pairs(code: int, sites: U64) -> list[tuple[_rust.Fault, int]]:
    """(Fault, site) pairs for ``_rust``'s batch calls, for a fault kind's engine code."""
    fault = _FAULTS[code]()
    return list(zip(itertools.repeat(fault), sites.tolist()))


def inject(arrays: list[Patterns], code: int, sites: U64) -> None:
    """Applies the fault kind ``code`` at bit sites of 1-D arrays of one dtype, in place."""
    if engine is not None:
        engine.inject(arrays, code, sites)
    else:
        _INJECT[arrays[0].dtype.name](arrays, fault_pairs(code, sites))


def encoding_inject(encoding: Any, code: int, sites: U64) -> None:
    """Applies the fault kind ``code`` at encoded bit indices of a SEC-DED Encoding, in place."""
    if engine is not None:
        engine.encoding_inject(encoding, code, sites)
    else:
        encoding.apply_faults(fault_pairs(code, sites))


#: Values up to which an in-place code runs on the calling thread: the whole-array functions hand every call to
#: the native pool and wait for its threads to wake, which costs more than a sparse trial's few values.
SMALL_CODE = 1 << 14
#: The engine's numbers of the in-place codes.
CODES = {"D3P1": 0, "D7P1": 1, "D15P1": 2, "mset": 3}


def in_place_code(whole: Callable[[Patterns], None], code: str, encode: bool) -> Callable[[Patterns], None]:
    """``whole``, a _rust.cep / _rust.mset function coding an array in place, run on the calling thread by the
    engine for arrays of up to SMALL_CODE values (the values are the same)."""
    if engine is None:
        return whole
    number = CODES[code]

    def run(a: Patterns) -> None:
        if a.size <= SMALL_CODE:
            engine.code_values(a, number, encode)
        else:
            whole(a)

    return run


def flagged(flags: list[bool], hit: I64) -> I64:
    """The chunks among ``hit`` whose decode flag is False."""
    if hit.size == 0:
        return hit[:0]
    if engine is not None:
        found: I64 = np.asarray(engine.false_at(flags, hit.astype(np.uint64, copy=False))).astype(hit.dtype, copy=False)
        return found
    picked = np.array([flags[i] for i in hit.tolist()], dtype=bool)
    kept: I64 = hit[~picked]
    return kept


_BYTE_ONES = np.array([bin(i).count("1") for i in range(256)], dtype=np.uint8)


def popcount(x: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    """Set bits of each unsigned integer of ``x``."""
    if hasattr(np, "bitwise_count"):  # NumPy 2
        out: npt.NDArray[np.uint8] = np.bitwise_count(x)
        return out
    per_byte = _BYTE_ONES[np.ascontiguousarray(x).view(np.uint8).reshape(*x.shape, x.dtype.itemsize)]
    total: npt.NDArray[np.uint8] = per_byte.sum(axis=-1, dtype=np.uint8)
    return total


def unique(x: npt.NDArray[Any]) -> I64:
    """Sorted distinct values (by sorting: NumPy's hashing unique is slower on large index arrays)."""
    s = np.sort(x.astype(np.int64))
    if s.size < 2:
        return s
    keep = np.empty(s.size, dtype=bool)
    keep[0] = True
    np.not_equal(s[1:], s[:-1], out=keep[1:])
    return s[keep]


def unique_inverse(x: npt.NDArray[Any]) -> tuple[I64, I64]:
    """``unique`` and, for every input, the position of its value in it."""
    xi = x.astype(np.int64)
    order = np.argsort(xi, kind="stable")
    s = xi[order]
    keep = np.empty(s.size, dtype=bool)
    if s.size:
        keep[0] = True
        np.not_equal(s[1:], s[:-1], out=keep[1:])
    inverse = np.empty(s.size, dtype=np.int64)
    inverse[order] = np.cumsum(keep) - 1
    return s[keep], inverse


def changed(a: Patterns, b: Patterns) -> I64:
    """Indices whose bit patterns differ (a NaN that kept its pattern is unchanged, -0.0 is not 0.0)."""
    if engine is not None and a.ndim == 1 and all(x.flags.c_contiguous and x.flags.aligned for x in (a, b)):
        out: I64 = np.asarray(engine.changed(a, b)).view(np.int64)
        return out
    return changed_numpy(a, b)


def changed_numpy(a: Patterns, b: Patterns) -> I64:
    """``changed`` in NumPy alone: whole 64-bit words first, then the elements of differing words."""
    ua, ub = bits_view(a), bits_view(b)
    per = 8 // a.dtype.itemsize
    if a.nbytes % 8 or a.ctypes.data % 8 or b.ctypes.data % 8 or not (a.flags.c_contiguous and b.flags.c_contiguous):
        return np.flatnonzero(ua != ub)
    # Whole 64-bit words first (a few times fewer comparisons), then the elements of the words that differ.
    words = np.flatnonzero(a.view(np.uint64) != b.view(np.uint64))
    if per == 1 or words.size == 0:
        return words
    idx: I64 = (words[:, None] * per + np.arange(per)[None, :]).reshape(-1)
    keep: npt.NDArray[np.bool_] = ua[idx] != ub[idx]
    return idx[keep]


def diff(before: list[Patterns], after: list[Patterns]) -> list[Diff]:
    """Per array: the indices whose bit patterns differ, with the patterns before and after."""
    out = []
    for a, b in zip(before, after, strict=True):
        idx = changed(a, b)
        out.append((idx, a[idx], b[idx]))
    return out
