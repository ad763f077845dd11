"""Protections behind one small interface: none, SEC-DED, embedded parity, majority vote.

A protection encodes the patterns of one storage group (the tensors of one
storage kind) once into a stored form; a trial then injects faults into a copy
of that stored form and decodes it. Fault sites are numbered over the stored
form: its array bits for none / cep / mset, the encoded bits of the
``Encoding`` for SEC-DED (check, parity and fill bits included).
"""

from __future__ import annotations

import importlib
import itertools
import operator
import math
from abc import ABC, abstractmethod
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _rust
from .errors import StudyError
from .weights import STORAGE_BITS

U64 = npt.NDArray[np.uint64]
Patterns = npt.NDArray[Any]

FAULT_KINDS = ("flip", "stuck-at-0", "stuck-at-1")
_FAULTS: dict[str, Callable[[], _rust.Fault]] = {
    "flip": _rust.Fault.flip,
    "stuck-at-0": _rust.Fault.stuck_at_0,
    "stuck-at-1": _rust.Fault.stuck_at_1,
}
ENGINE_KIND = {"stuck-at-0": 0, "stuck-at-1": 1, "flip": 2}
_INJECT: dict[str, Callable[[list[Patterns], list[tuple[_rust.Fault, int]]], None]] = {
    "float32": _rust.list_of_array_faults_f32,
    "uint16": _rust.list_of_array_faults_u16,
    "uint8": _rust.list_of_array_faults_u8,
}

engine: Any
try:  # the native trial engine, when the build has it
    engine = importlib.import_module("corvane._engine")
except ImportError:  # pragma: no cover - every build of the package ships it
    engine = None


def unique(x: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
    """Sorted distinct values (by sorting: NumPy's hashing unique is slower on large index arrays)."""
    s = np.sort(x.astype(np.int64))
    if s.size < 2:
        return s
    keep = np.empty(s.size, dtype=bool)
    keep[0] = True
    np.not_equal(s[1:], s[:-1], out=keep[1:])
    return s[keep]


def unique_inverse(x: npt.NDArray[Any]) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
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


def fault_pairs(kind: str, sites: U64) -> list[tuple[_rust.Fault, int]]:
    fault = _FAULTS[kind]()
    return list(zip(itertools.repeat(fault), sites.tolist()))


def inject(arrays: list[Patterns], storage: str, kind: str, sites: U64) -> None:
    """Applies faults at bit sites of 1-D arrays of one storage kind, in place."""
    if engine is not None:
        engine.inject(arrays, ENGINE_KIND[kind], sites)
    else:
        _INJECT[storage](arrays, fault_pairs(kind, sites))


def check_bits(d: int) -> int:
    """Hamming check bits r for d data bits: the smallest r >= 2 with 2^r - r - 1 >= d."""
    r = 2
    while (1 << r) - r - 1 < d:
        r += 1
    return r


@dataclass
class SecdedHits:
    """What the SEC-DED decoder did in one trial, per chunk index."""

    hit: npt.NDArray[np.int64]  # chunks that hold at least one fault site
    effective: npt.NDArray[np.int64]  # chunks whose stored bits the faults changed
    flagged: npt.NDArray[np.int64]  # chunks decoded with flag False


@dataclass
class Decoded:
    """The decoded patterns of one group after a dense trial (one array per tensor)."""

    patterns: list[Patterns]
    secded: SecdedHits | None = None


Change = tuple[npt.NDArray[np.int64], Patterns, Patterns]  # indices, before, after


@dataclass
class Sparse:
    """What a sparse trial changed in one group: per tensor (indices, fault-free, decoded patterns)."""

    changes: list[Change]
    #: SEC-DED only: chunks corrected, flagged, miscorrected.
    chunks: tuple[int, int, int] | None = None


def split_by_tensor(elements: npt.NDArray[np.int64], values: Patterns, sizes: Sequence[int], clean: Sequence[Patterns]) -> list[Change]:
    """Group-wide sorted element indices and decoded patterns -> per-tensor changes (unchanged ones dropped)."""
    out: list[Change] = []
    bounds = np.cumsum([0, *sizes])
    cuts = np.searchsorted(elements, bounds)
    for k, c in enumerate(clean):
        idx = elements[cuts[k] : cuts[k + 1]] - bounds[k]
        after = values[cuts[k] : cuts[k + 1]]
        before = c[idx]
        u = f"u{c.dtype.itemsize}"
        keep = before.view(u) != after.view(u)
        out.append((idx[keep], before[keep], after[keep]))
    return out


class Stored(ABC):
    """The stored form of one storage group under one protection."""

    storage: str
    site_count: int
    #: The fault-free decode, one 1-D pattern array per tensor of the group.
    clean: list[Patterns]

    @abstractmethod
    def dense(self, kind: str, sites: U64) -> Decoded:
        """Copies the stored form, applies the faults at ``sites`` (group-local), decodes everything."""

    @abstractmethod
    def sparse(self, kind: str, sites: U64) -> Sparse:
        """The same trial touching only what the faults touch; the stored form is left as it is."""


class Protection(ABC):
    """One protective encoding, applicable to some storage kinds."""

    #: The name used on the command line and in results, e.g. "secded:64".
    name: str
    takes: frozenset[str] = frozenset({"float32", "uint16", "uint8"})

    def accepts(self, storage: str) -> bool:
        return storage in self.takes

    def stored_bits(self, value_count: int, storage: str) -> int:
        """Fault sites (stored bits) of a group of ``value_count`` values."""
        return value_count * STORAGE_BITS[storage]

    @abstractmethod
    def encode(self, patterns: list[Patterns], storage: str) -> Stored:
        """Encodes a group once (patterns are never written)."""

    def __repr__(self) -> str:
        return f"<protection {self.name}>"


# ---- none -------------------------------------------------------------------------


class _PlainStored(Stored):
    def __init__(self, patterns: list[Patterns], storage: str) -> None:
        self.storage = storage
        self.stored = patterns
        self.clean = patterns
        self.site_count = sum(p.size for p in patterns) * STORAGE_BITS[storage]

    def dense(self, kind: str, sites: U64) -> Decoded:
        work = [p.copy() for p in self.stored]
        inject(work, self.storage, kind, sites)
        self._decode(work)
        return Decoded(work)

    def _decode(self, work: list[Patterns]) -> None:
        pass

    def sparse(self, kind: str, sites: U64) -> Sparse:
        w = STORAGE_BITS[self.storage]
        elem, bit = np.divmod(sites, np.uint64(w))
        elements, inverse = unique_inverse(elem)
        sizes = [p.size for p in self.stored]
        bounds = np.cumsum([0, *sizes])
        which = np.searchsorted(bounds, elements, side="right") - 1
        u = np.dtype(f"u{w // 8}")
        values = np.empty(elements.size, u)
        for k, s in enumerate(self.stored):
            m = which == k
            values[m] = s.view(u)[elements[m] - bounds[k]]
        masks = np.zeros(elements.size, u)
        np.bitwise_or.at(masks, inverse, (np.uint64(1) << bit).astype(u))
        if kind == "flip":
            values ^= masks
        elif kind == "stuck-at-1":
            values |= masks
        else:
            values &= ~masks
        decoded = values.view(self.stored[0].dtype)
        self._decode([decoded])
        return Sparse(split_by_tensor(elements, decoded, sizes, self.clean))


class NoProtection(Protection):
    """The patterns stored as they are."""

    name = "none"

    def encode(self, patterns: list[Patterns], storage: str) -> Stored:
        return _PlainStored(patterns, storage)


# ---- embedded parity and majority vote: in-place codes inside each value ------------


class _InPlaceStored(_PlainStored):
    def __init__(
        self, patterns: list[Patterns], storage: str, code: Callable[[Patterns], None], decode: Callable[[Patterns], None]
    ) -> None:
        stored = [p.copy() for p in patterns]
        for s in stored:
            code(s)
        super().__init__(stored, storage)
        self._decode_one = decode
        self.clean = [s.copy() for s in stored]
        self._decode(self.clean)

    def _decode(self, work: list[Patterns]) -> None:
        for w in work:
            self._decode_one(w)


class Cep(Protection):
    """Embedded parity: D3P1 / D7P1 / D15P1 groups in the low bits of every value."""

    takes = frozenset({"float32", "uint16"})
    SCHEMES = ("D3P1", "D7P1", "D15P1")

    def __init__(self, scheme: str) -> None:
        if scheme not in self.SCHEMES:
            raise StudyError(f"unknown embedded-parity scheme '{scheme}' (use {', '.join(self.SCHEMES)})")
        self.scheme_name = scheme
        self.scheme = getattr(_rust.cep.Scheme, scheme)
        self.name = f"cep:{scheme}"

    def encode(self, patterns: list[Patterns], storage: str) -> Stored:
        sfx = "f32" if storage == "float32" else "u16"
        enc, dec = getattr(_rust.cep, f"encode_{sfx}"), getattr(_rust.cep, f"decode_{sfx}")
        return _InPlaceStored(patterns, storage, lambda a: enc(a, self.scheme), lambda a: dec(a, self.scheme))


class Mset(Protection):
    """Majority vote over the top exponent bit and two copies in the lowest mantissa bits."""

    name = "mset"
    takes = frozenset({"float32", "uint16"})

    def encode(self, patterns: list[Patterns], storage: str) -> Stored:
        sfx = "f32" if storage == "float32" else "u16"
        return _InPlaceStored(patterns, storage, getattr(_rust.mset, f"encode_{sfx}"), getattr(_rust.mset, f"decode_{sfx}"))


# ---- SEC-DED ----------------------------------------------------------------------


class _SecdedStored(Stored):
    """An Encoding of the group; 8-bit data as byte pairs (uint16) with an excluded pad byte."""

    def __init__(self, patterns: list[Patterns], storage: str, d: int) -> None:
        self.storage = storage
        self.d = d
        self.n = d + check_bits(d) + 1
        self.sizes = [p.size for p in patterns]
        self.clean = patterns  # SEC-DED gives back exactly what it stored
        if storage == "uint8":
            stream = np.concatenate(patterns) if len(patterns) > 1 else patterns[0]
            self.pad = stream.size % 2
            if self.pad:
                stream = np.concatenate([stream, np.zeros(1, np.uint8)])
            self._stream = [stream.view(np.uint16)]
            self.encoding = _rust.secded.encode_u16(self._stream, d)
            self.width = 16
        else:
            self.pad = 0
            self._stream = patterns
            self.width = STORAGE_BITS[storage]
            enc = _rust.secded.encode_f32 if storage == "float32" else _rust.secded.encode_u16
            self.encoding = enc(patterns, d)
        self.data_bits = sum(s.size for s in self._stream) * self.width
        self.chunks = self.encoding.bit_count() // self.n
        # The pad byte's 8 data bits, as encoded indices, are never fault sites.
        self.excluded = np.array(
            [self.encoded_index(t) for t in range(self.data_bits - 8 * self.pad, self.data_bits)], dtype=np.uint64
        )
        self.site_count = self.encoding.bit_count() - self.excluded.size
        self._offsets = np.cumsum([0] + [s.size for s in self._stream])

    def encoded_index(self, t: int) -> int:
        """The encoded bit index of data bit t of the group's stream."""
        c, j = divmod(t, self.d)
        p = j + 3
        while p - (p.bit_length() - 1) - 2 != j or p & (p - 1) == 0:
            p += 1
        return c * self.n + p

    def encoded(self, sites: U64) -> U64:
        """Group-local fault sites -> encoded bit indices (skipping the pad)."""
        g = sites.copy()
        for e in self.excluded:
            g += (g >= e).astype(np.uint64)
        return g

    def dense(self, kind: str, sites: U64) -> Decoded:
        g = self.encoded(sites)
        work = self.encoding.clone()
        if engine is not None:
            engine.encoding_inject(work, ENGINE_KIND[kind], g)
        else:
            work.apply_faults(fault_pairs(kind, g))
        arrays: list[Any]
        if self.storage == "float32":
            arrays, flags = work.decode_f32()
        else:
            arrays, flags = work.decode_u16()
        del work
        if self.storage == "uint8":
            stream = arrays[0].view(np.uint8)
            bounds = np.cumsum([0] + self.sizes)
            arrays = [stream[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
        hit = unique(g // np.uint64(self.n))
        if hit.size == 0:
            flagged = hit[:0]
        elif engine is not None:
            found = engine.false_at(flags, hit.astype(np.uint64, copy=False))
            flagged = np.asarray(found).astype(hit.dtype, copy=False)
        else:  # look up only the hit chunks' flags, in C
            picked = operator.itemgetter(*hit.tolist())(flags) if hit.size > 1 else (flags[int(hit[0])],)
            flagged = hit[~np.array(picked, dtype=bool)]
        if kind == "flip":
            effective = hit
        else:
            want = 1 if kind == "stuck-at-1" else 0
            changes = self.stored_bits(g) != want
            effective = unique(g[changes] // np.uint64(self.n))
        return Decoded(arrays, SecdedHits(hit, effective, flagged))

    def sparse(self, kind: str, sites: U64) -> Sparse:
        g = self.encoded(sites)
        elements, values, corrected, flagged, miscorrected = engine.encoding_trial(
            self.encoding, ENGINE_KIND[kind], g, self.width
        )
        elements = np.asarray(elements).astype(np.int64)
        values = np.asarray(values)
        if self.storage == "uint8":
            # Byte pairs back to bytes; the pad byte past the data is never a value.
            nbytes = sum(self.sizes)
            elements = np.stack([2 * elements, 2 * elements + 1], axis=1).reshape(-1)
            values = values.astype("<u2").view(np.uint8)
            keep = elements < nbytes
            elements, values = elements[keep], values[keep]
        else:
            values = values.view(self.clean[0].dtype)
        changes = split_by_tensor(elements, values, self.sizes, self.clean)
        return Sparse(changes, (int(corrected), int(flagged), int(miscorrected)))

    # -- reading the fault-free stored form --

    def _data_bits(self, t: npt.NDArray[np.int64]) -> npt.NDArray[np.uint8]:
        """Bits of the data stream at indices t (0 for the fill past the data)."""
        out = np.zeros(t.shape, np.uint8)
        inside = t < self.data_bits
        ti = t[inside]
        elem, bit = np.divmod(ti, self.width)
        which = np.searchsorted(self._offsets, elem, side="right") - 1
        vals = np.empty(ti.shape, np.uint64)
        for k, s in enumerate(self._stream):
            m = which == k
            bits = s.view(f"u{s.dtype.itemsize}")  # float32 patterns read as bits, not values
            vals[m] = bits[elem[m] - self._offsets[k]].astype(np.uint64)
        out[inside] = ((vals >> bit.astype(np.uint64)) & np.uint64(1)).astype(np.uint8)
        return out

    def stored_bits(self, g: U64) -> npt.NDArray[np.uint8]:
        """The fault-free stored bit at each encoded index (data, check, parity or fill)."""
        if engine is not None:
            return np.asarray(engine.encoding_bits(self.encoding, g), dtype=np.uint8)
        return self.reference_stored_bits(g)

    def reference_stored_bits(self, g: U64) -> npt.NDArray[np.uint8]:
        """stored_bits computed from the data alone, with the code's own definition."""
        gi = g.astype(np.int64)
        c, p = np.divmod(gi, self.n)
        out = np.zeros(gi.shape, np.uint8)
        is_data = (p >= 3) & ((p & (p - 1)) != 0)
        pd = p[is_data]
        log2 = np.floor(np.log2(pd)).astype(np.int64)
        out[is_data] = self._data_bits(c[is_data] * self.d + pd - log2 - 2)
        red = np.flatnonzero(~is_data)
        if red.size:
            pos = np.arange(self.n)
            datapos = pos[(pos >= 3) & ((pos & (pos - 1)) != 0)]
            r = self.n - self.d - 1
            sel = ((datapos[:, None] >> np.arange(r)[None, :]) & 1).astype(np.int64)  # d x r
            chunks = unique(c[red])
            batch = max(1, (1 << 22) // self.d)
            table: dict[int, tuple[npt.NDArray[np.int64], int]] = {}
            for i in range(0, chunks.size, batch):
                cs = chunks[i : i + batch]
                bits = self._data_bits((cs[:, None] * self.d + np.arange(self.d)[None, :]).reshape(-1))
                bits = bits.reshape(cs.size, self.d).astype(np.int64)
                checks = (bits @ sel) & 1
                parity = (bits.sum(axis=1) + checks.sum(axis=1)) & 1
                for k, ch in enumerate(cs.tolist()):
                    table[ch] = (checks[k], int(parity[k]))
            for i in red.tolist():
                checks_c, parity_c = table[int(c[i])]
                pi = int(p[i])
                out[i] = parity_c if pi == 0 else int(checks_c[pi.bit_length() - 1])
        return out

    def changed_chunks(self, changes: Sequence[tuple[npt.NDArray[np.int64], Patterns]]) -> npt.NDArray[np.int64]:
        """Chunks whose data bits differ, from per-tensor (indices, xor of patterns)."""
        w = 8 if self.storage == "uint8" else self.width
        found: list[npt.NDArray[np.int64]] = []
        start = 0
        for size, (idx, xor) in zip(self.sizes, changes, strict=True):
            x = xor.astype(np.uint64)
            for b in range(w):
                set_ = np.flatnonzero((x >> np.uint64(b)) & np.uint64(1))
                if set_.size:
                    found.append(((start + idx[set_]) * w + b) // self.d)
            start += size
        return unique(np.concatenate(found)) if found else np.zeros(0, np.int64)


class Secded(Protection):
    """SEC-DED (extended Hamming) over chunks of ``bits_per_chunk`` data bits."""

    def __init__(self, bits_per_chunk: int) -> None:
        if bits_per_chunk < 1:
            raise StudyError(f"secded needs a chunk size of at least 1 bit, got {bits_per_chunk}")
        if bits_per_chunk > 2**32:
            raise StudyError(f"secded chunk size {bits_per_chunk} is too large")
        self.d = bits_per_chunk
        self.name = f"secded:{bits_per_chunk}"

    def stored_bits(self, value_count: int, storage: str) -> int:
        data = value_count * STORAGE_BITS[storage]
        pad = 8 if storage == "uint8" and value_count % 2 else 0
        chunks = math.ceil((data + pad) / self.d)
        return chunks * (self.d + check_bits(self.d) + 1) - pad

    def encode(self, patterns: list[Patterns], storage: str) -> Stored:
        return _SecdedStored(patterns, storage, self.d)


# ---- names ------------------------------------------------------------------------

DEFAULT_PROTECTIONS = ("none", "secded:64", "cep:D3P1", "mset")


def parse_protection(text: str) -> Protection:
    """'none', 'secded:BITS', 'cep:D3P1|D7P1|D15P1' or 'mset'."""
    name, _, arg = text.strip().partition(":")
    name = name.lower()
    if name == "none" and not arg:
        return NoProtection()
    if name == "mset" and not arg:
        return Mset()
    if name == "secded":
        try:
            bits = int(arg)
        except ValueError:
            raise StudyError(f"secded needs a chunk size in bits, as in secded:64, got '{text}'") from None
        return Secded(bits)
    if name == "cep":
        return Cep(arg.upper())
    raise StudyError(f"unknown protection '{text}' (use none, secded:BITS, cep:D3P1|D7P1|D15P1, mset)")


def parse_protections(items: Sequence[str | Protection]) -> list[Protection]:
    out = [p if isinstance(p, Protection) else parse_protection(p) for p in items]
    names = [p.name for p in out]
    dupes = sorted({n for n in names if names.count(n) > 1})
    if dupes:
        raise StudyError(f"protection listed twice: {', '.join(dupes)}")
    if not out:
        raise StudyError("no protection given")
    return out
