"""SEC-DED (extended Hamming) over chunks of d data bits, as ``_rust.secded`` encodes it.

Fault sites are the encoded bits of the group's ``Encoding``: codeword after
codeword, each of n = d + r + 1 bits (overall parity, check bits, data bits,
and in the last chunk fill bits past the data), minus the pad byte that
8-bit data of odd length needs to be encoded as byte pairs.

A codeword is a storage word. The pad byte is not memory: the codeword that
holds it stores its other bits only, and the bits on either side of the pad
are adjacent.

Two decoders: the codec's own (``secded:BITS``) flags a chunk whose syndrome
is zero and whose overall parity is odd, which a lone hit on the parity bit
gives with the data intact; the one memory controllers use
(``secded-pc:BITS``) takes that for a parity-bit error and passes the data,
right for one fault and silently wrong for three or more. The second is the
first with that one rule changed around ``_rust``'s decode.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import _rust
from ..errors import StudyError
from ..expectations import secded_expectations
from ..native import I64, U64, Patterns, bits_view, diff, encoding_inject, engine, flagged, unique
from ..vocabulary import SINGLE, Counts, Effect, FaultKind, Kinds, Pattern, SiteLocation, Storage, Targets, Words
from .base import (
    SITES_BLOCK, U8, ChangeBuffer, GroupShape, Protection, Stored, by_kind, changing, merge_spans, sorted_sites, spans,
    whole,
)  # fmt: skip


def check_bits(d: int) -> int:
    """Hamming check bits r for d data bits: the smallest r >= 2 with 2^r - r - 1 >= d."""
    r = 2
    while (1 << r) - r - 1 < d:
        r += 1
    return r


def _floor_log2(p: I64) -> I64:
    # Exact for positions below 2^53, far beyond any codeword.
    return np.frexp(p.astype(np.float64))[1].astype(np.int64) - 1


@dataclass(frozen=True)
class Codeword:
    """The positions of one codeword: 0 the overall parity bit, 2^k check bit k, every other one a data bit.

    Data bit j sits at the (j+1)-th position from 3 upward that is not a power
    of two, so position p >= 3 holds data bit p - floor(log2 p) - 2.
    """

    d: int

    @property
    def n(self) -> int:
        return self.d + check_bits(self.d) + 1

    def position(self, j: int) -> int:
        """The position of data bit j."""
        return int(self.positions(np.array([j], np.int64))[0])

    def positions(self, j: I64) -> I64:
        """The positions of data bits j (a fixed point: p = j + 2 + floor(log2 p), reached from below)."""
        p = j + 3
        while True:
            q = j + 2 + _floor_log2(p)
            if np.array_equal(q, p):
                return p
            p = q

    @staticmethod
    def is_data(p: I64) -> npt.NDArray[np.bool_]:
        data: npt.NDArray[np.bool_] = (p >= 3) & ((p & (p - 1)) != 0)
        return data

    @staticmethod
    def data_index(p: I64) -> I64:
        """The data bit held at data positions p."""
        return p - _floor_log2(p) - 2

    def position_spans(self, j0: I64, j1: I64) -> tuple[I64, I64]:
        """The positions of the data bits [j0, j1) of each run, as runs of positions.

        Positions between two powers of two hold consecutive data bits, so a
        run of data bits is split only where it passes a check bit.
        """
        lo = self.positions(j0)
        hi = self.positions(j1 - 1) + 1
        power = 4  # positions 1 and 2 lie below the first data position
        while power < self.n:
            cut = (lo < power) & (hi > power)
            if cut.any():
                lo = np.concatenate([lo, np.full(int(cut.sum()), power + 1, np.int64)])
                hi = np.concatenate([np.where(cut, power, hi), hi[cut]])
            power *= 2
        order = np.argsort(lo, kind="stable")
        out_lo: I64 = lo[order]
        out_hi: I64 = hi[order]
        return out_lo, out_hi

    def redundancy(self) -> I64:
        """The overall parity position and the check bit positions."""
        out: I64 = np.array([0] + [1 << k for k in range(self.n.bit_length()) if 1 << k < self.n], np.int64)
        return out

    @staticmethod
    def describe(p: int) -> str | None:
        """What a redundancy position is ('overall parity bit', 'check bit k'), or None for data."""
        if p == 0:
            return "overall parity bit"
        if p & (p - 1) == 0:
            return f"check bit {p.bit_length() - 1}"
        return None


class SecdedStored(Stored):
    """An Encoding of the group; 8-bit data as byte pairs (uint16) with an excluded pad byte."""

    def __init__(self, patterns: list[Patterns], storage: Storage, d: int, correct_parity: bool = False) -> None:
        self.storage = Storage(storage)
        self.d = d
        self.correct_parity = correct_parity
        self.codeword = Codeword(d)
        self.n = self.codeword.n
        self.sizes = [p.size for p in patterns]
        self._bounds = np.cumsum([0, *self.sizes])
        self.clean = patterns  # SEC-DED gives back exactly what it stored
        if self.storage is Storage.UINT8:
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
            self.width = self.storage.bits
            self.encoding = getattr(_rust.secded, f"encode_{self.storage.suffix}")(patterns, d)
        self.data_bits = sum(s.size for s in self._stream) * self.width
        self.chunks = self.encoding.bit_count() // self.n
        # The pad byte's 8 data bits, as encoded indices, are never fault sites.
        self.excluded = np.array(
            [self.encoded_index(t) for t in range(self.data_bits - 8 * self.pad, self.data_bits)], dtype=np.uint64
        )
        self.site_count = self.encoding.bit_count() - self.excluded.size
        self._offsets = np.cumsum([0] + [s.size for s in self._stream])
        # The sparse path decodes the hit chunks in the native engine.
        self.sparse_available = engine is not None

    def encoded_index(self, t: int) -> int:
        """The encoded bit index of data bit t of the group's stream."""
        c, j = divmod(t, self.d)
        return c * self.n + self.codeword.position(j)

    # Decoding only the hit chunks, block by block, costs less than decoding every chunk at any fault count
    # measured (up to one fault per 100 stored bits), in time and in memory.
    sparse_limit = math.inf

    def encoded(self, sites: U64) -> U64:
        """Group-local fault sites -> encoded bit indices (skipping the pad); ``sites`` itself when there is none."""
        if not self.excluded.size:
            return sites
        g = sites.copy()
        for e in self.excluded:
            g += (g >= e).astype(np.uint64)
        return g

    def dense(self, kinds: Kinds, sites: U64) -> Effect:
        g = self.encoded(sites)
        work = self.encoding.clone()
        for kind, gs in by_kind(kinds, g):
            encoding_inject(work, kind.code, gs)
        arrays: list[Any]
        arrays, flags = work.decode_f32() if self.storage is Storage.FLOAT32 else work.decode_u16()
        del work
        if self.storage is Storage.UINT8:
            stream = arrays[0].view(np.uint8)
            bounds = np.cumsum([0] + self.sizes)
            arrays = [stream[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
        changes = diff(self.clean, arrays)
        hit = unique(g // np.uint64(self.n))
        found = flagged(flags, hit)
        if kinds is FaultKind.FLIP:
            changed = g
        else:
            changed = g[changing(kinds, self.stored_bits(g))]
        chunk = (changed // np.uint64(self.n)).astype(np.int64)
        pos = (changed % np.uint64(self.n)).astype(np.int64)
        if self.correct_parity:
            found = np.setdiff1d(found, self._parity_only(chunk, pos, found), assume_unique=True)
        effective, per_chunk = np.unique(chunk, return_counts=True)
        bad = self.changed_chunks([(idx, bits_view(b) ^ bits_view(a)) for idx, b, a in changes])
        miscorrected = int(np.setdiff1d(bad, found, assume_unique=True).size)
        either = unique(np.concatenate([found, bad]))
        corrected = int(np.setdiff1d(effective, either, assume_unique=True).size)
        data = self.codeword.is_data(pos)
        real = chunk[data] * self.d + self.codeword.data_index(pos[data]) < self.data_bits
        wrong = int(np.intersect1d(found, chunk[data][real]).size)
        own = {
            "chunks_corrected": corrected,
            "chunks_flagged": int(found.size),
            "chunks_miscorrected": miscorrected,
            "chunks_flagged_intact": int(found.size) - wrong,
            "chunks_multi_hit": int(np.count_nonzero(per_chunk >= 2)),
        }
        return Effect(changes, int(changed.size), Counts(own, int(found.size), wrong, miscorrected > 0),
                      decoded=arrays)  # fmt: skip

    @staticmethod
    def _parity_only(chunk: I64, pos: I64, found: I64) -> I64:
        """The chunks among ``found`` whose faulted codeword has a zero syndrome and odd parity.

        The fault-free codeword has both zero, so the faulted one's are the
        XOR and the number, mod 2, of the positions the faults changed.
        """
        keep = np.isin(chunk, found)
        c, p = chunk[keep], pos[keep]
        if c.size == 0:
            return c
        order = np.argsort(c, kind="stable")
        c, p = c[order], p[order]
        starts = np.flatnonzero(np.concatenate([[True], c[1:] != c[:-1]]))
        syndrome = np.bitwise_xor.reduceat(p, starts)
        odd = np.diff(np.concatenate([starts, [c.size]])) % 2 == 1
        lone: I64 = c[starts][(syndrome == 0) & odd]
        return lone

    def sparse(self, kinds: Kinds, sites: U64) -> Effect:
        # Block by block over the sorted sites, so that what a trial holds per fault is its site and at most one
        # change (element, before, after); a block ends where no value spans two of its chunks.
        g, kinds = sorted_sites(self.encoded(sites), kinds)
        if kinds is not FaultKind.FLIP:
            # The sites are distinct, so the faults amount to flipping the bits they change;
            # a chunk no fault changes decodes as it is stored, so the counts stay the same.
            g = g[changing(kinds, self.stored_bits(g))]
        # A flagged chunk keeps its faulted data bits and a miscorrection adds one, so at most two values
        # change per fault (the arrays are only touched where filled).
        changes = ChangeBuffer(self.clean, self._bounds, 2 * g.size)
        n = np.uint64(self.n)
        aligned = math.lcm(self.d, self.width) // self.d  # chunks from one value boundary to the next
        total = np.zeros(5, np.int64)  # corrected, flagged, miscorrected, flagged intact, multi-hit
        pad_only = 0
        lo = 0
        while lo < g.size:
            hi = min(lo + SITES_BLOCK, g.size)
            if hi < g.size:
                end = (int(g[hi - 1] // n) // aligned + 1) * aligned
                hi = int(np.searchsorted(g, np.uint64(end) * n))
            block = g[lo:hi]
            elements, values, *found = engine.encoding_trial(
                self.encoding, FaultKind.FLIP.code, block, self.width, self.correct_parity
            )
            changes.add(*self._values(elements, values))
            total += np.array(found, np.int64)
            pad_only += self._pad_only_miscorrections(block)
            lo = hi
        corrected, flagged_, miscorrected, intact, multi = (int(x) for x in total)
        own = {
            "chunks_corrected": corrected + pad_only,
            "chunks_flagged": flagged_,
            "chunks_miscorrected": miscorrected - pad_only,
            "chunks_flagged_intact": intact,
            "chunks_multi_hit": multi,
        }
        counts = Counts(own, flagged_, flagged_ - intact, own["chunks_miscorrected"] > 0)
        return Effect(changes.changes(), int(g.size), counts)

    def _values(self, elements: Any, values: Any) -> tuple[I64, Patterns]:
        """The engine's changed elements and decoded patterns as the group's values."""
        elements = np.asarray(elements).astype(np.int64)
        values = np.asarray(values)
        if self.storage is not Storage.UINT8:
            return elements, values.view(self.clean[0].dtype)
        # Byte pairs back to bytes; the pad byte past the data is never a value.
        elements = np.stack([2 * elements, 2 * elements + 1], axis=1).reshape(-1)
        values = values.astype("<u2").view(np.uint8)
        keep = elements < sum(self.sizes)
        return elements[keep], values[keep]

    def _pad_only_miscorrections(self, g: U64) -> int:
        """Hit chunks whose decoder changed the pad byte and nothing else.

        The engine compares whole byte pairs, pad included, and counts such a
        chunk miscorrected; but the values come out as stored, so it was
        corrected. Each hit chunk holding pad bits is decoded alone to tell.
        """
        if not self.pad or g.size == 0:
            return 0
        chunk = g // np.uint64(self.n)
        first = np.uint64((self.data_bits - 8) // self.d)
        out = 0
        for c in unique(chunk[chunk >= first]).tolist():
            elements, values, _, _, miscorrected, _, _ = engine.encoding_trial(
                self.encoding, FaultKind.FLIP.code, g[chunk == np.uint64(c)], self.width, self.correct_parity
            )
            if miscorrected:
                elements, values = self._values(elements, values)
                clean = np.concatenate(self.clean) if len(self.clean) > 1 else self.clean[0]
                out += bool(np.array_equal(clean[elements], values))
        return out

    def bits_at(self, sites: U64) -> U8:
        return self.stored_bits(self.encoded(sites))

    def value_sites(self, elements: I64, bit: int) -> U64:
        # Data bit t sits at its position in chunk t div d; the pad comes after every value bit, so
        # a value bit's encoded index is its site.
        c, j = np.divmod(elements * self.storage.bits + bit, self.d)
        out: U64 = (c * self.n + self.codeword.positions(j)).astype(np.uint64)
        return out

    def word_of(self, data_bits: I64) -> I64:
        out: I64 = data_bits // self.d
        return out

    def locate(self, site: int) -> SiteLocation:
        g = int(self.encoded(np.array([site], np.uint64))[0])
        c, p = divmod(g, self.n)
        redundancy = self.codeword.describe(p)
        if redundancy is not None:
            return SiteLocation(None, None, f"{redundancy} of chunk {c}")
        j = int(self.codeword.data_index(np.array([p], np.int64))[0])
        t = c * self.d + j
        if t >= self.data_bits:
            return SiteLocation(None, None, f"fill bit of chunk {c}")
        elem, bit = divmod(t, self.storage.bits)
        return SiteLocation(elem, bit, f"data bit {j} of chunk {c}")

    # -- reading the fault-free stored form --

    def _data_bits(self, t: I64) -> npt.NDArray[np.uint8]:
        """Bits of the data stream at indices t (0 for the fill past the data)."""
        out = np.zeros(t.shape, np.uint8)
        inside = t < self.data_bits
        ti = t[inside]
        elem, bit = np.divmod(ti, self.width)
        which = np.searchsorted(self._offsets, elem, side="right") - 1
        vals = np.empty(ti.shape, np.uint64)
        for k, s in enumerate(self._stream):
            m = which == k
            vals[m] = bits_view(s)[elem[m] - self._offsets[k]].astype(np.uint64)
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
        is_data = self.codeword.is_data(p)
        out[is_data] = self._data_bits(c[is_data] * self.d + self.codeword.data_index(p[is_data]))
        red = np.flatnonzero(~is_data)
        if red.size:
            datapos = self.codeword.positions(np.arange(self.d, dtype=np.int64))
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

    def changed_chunks(self, changes: Sequence[tuple[I64, Patterns]]) -> I64:
        """Chunks whose data bits differ, from per-tensor (indices, xor of patterns)."""
        w = self.storage.bits
        found: list[I64] = []
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
    """SEC-DED (extended Hamming) over chunks of ``bits_per_chunk`` data bits.

    ``correct_parity`` chooses the decoder that passes a zero syndrome with
    odd parity as a lone parity-bit error instead of flagging it.
    """

    keeps_redundancy = True

    counters = ("chunks_corrected", "chunks_flagged", "chunks_miscorrected", "chunks_flagged_intact",
                "chunks_multi_hit")  # fmt: skip

    def __init__(self, bits_per_chunk: int, correct_parity: bool = False) -> None:
        if bits_per_chunk < 1:
            raise StudyError(f"secded needs a chunk size of at least 1 bit, got {bits_per_chunk}")
        if bits_per_chunk > 2**32:
            raise StudyError(f"secded chunk size {bits_per_chunk} is too large")
        self.d = bits_per_chunk
        self.correct_parity = correct_parity
        self.name = f"{'secded-pc' if correct_parity else 'secded'}:{bits_per_chunk}"

    def stored_bits(self, value_count: int, storage: Storage) -> int:
        storage = Storage(storage)
        data = value_count * storage.bits
        pad = self._pad(value_count, storage)
        chunks = math.ceil((data + pad) / self.d)
        return chunks * Codeword(self.d).n - pad

    @staticmethod
    def _pad(value_count: int, storage: Storage) -> int:
        return 8 if Storage(storage) is Storage.UINT8 and value_count % 2 else 0

    def encode(self, patterns: list[Patterns], storage: Storage) -> Stored:
        return SecdedStored(patterns, storage, self.d, self.correct_parity)

    def words(self, sizes: Sequence[int], storage: Storage, targets: Targets) -> list[Words]:
        return CodewordLayout(self.d, sizes, Storage(storage), targets).words()

    def expected(self, groups: Sequence[GroupShape], faults: int, pattern: Pattern = SINGLE) -> Mapping[str, float]:
        if not whole(groups):
            return {}
        if pattern.shape in ("burst", "word") and pattern.size == 2:
            # Two errors in one codeword (no codeword is hit twice): a nonzero syndrome with even parity,
            # which either decoder flags; nothing is corrected, nothing passes silently.
            f = float(faults)
            return {"any_chunks_multi_hit": 1.0, "chunks_multi_hit": f, "chunks_flagged": f, "chunks_miscorrected": 0.0,
                    "chunks_corrected": 0.0, "any_chunks_flagged": 1.0, "any_silent": 0.0, "masked": 0.0, "sdc": 0.0}
        if pattern != SINGLE:
            return {}
        layout = [(sum(sizes), Storage(s).bits, self._pad(sum(sizes), s)) for s, sizes, _ in groups]
        got = secded_expectations(layout, self.d, faults, "parity" if self.correct_parity else "strict")
        names = {
            "p_chunk_with_two_or_more_faults": "any_chunks_multi_hit",
            "chunks_multi_hit": "chunks_multi_hit",
            "chunks_flagged": "chunks_flagged",
            "chunks_flagged_intact": "chunks_flagged_intact",
            "chunks_miscorrected": "chunks_miscorrected",
            "chunks_corrected": "chunks_corrected",
            "p_flag": "any_chunks_flagged",
            "p_silent": "any_silent",
            "p_due": "due",
            "p_false_due": "false_due",
            "p_masked": "masked",
            "p_sdc": "sdc",
        }
        return {ours: got[theirs] for theirs, ours in names.items() if theirs in got}


class CodewordLayout:
    """The codewords of one group as storage words, and the bits of each that a choice of targets takes.

    Data bit t of the group's stream is bit t mod w of value t div w, and sits
    in chunk t div d. A chunk whose data all lie in values of one choice of
    value bits repeats its layout every P = w / gcd(d, w) chunks, so such
    chunks come as at most P runs of words; the few others (across a change
    of choice, or holding fill or pad bits) come one by one.
    """

    def __init__(self, d: int, sizes: Sequence[int], storage: Storage, targets: Targets) -> None:
        self.d = d
        self.codeword = Codeword(d)
        self.n = self.codeword.n
        self.w = storage.bits
        self.value_bits = sum(sizes) * self.w
        self.pad = 8 if storage is Storage.UINT8 and sum(sizes) % 2 else 0
        self.chunks = -(-(self.value_bits + self.pad) // d)
        self.targets = targets
        # Runs of values with the same chosen bits: (first value, end value, chosen bits as [lo, hi) runs).
        self.runs: list[tuple[int, int, I64, I64]] = []
        if targets.values is not None:
            start = 0
            for size, chosen in zip(sizes, targets.values, strict=True):
                lo, hi = spans(sorted(chosen))
                last = self.runs[-1] if self.runs else None
                if last is not None and np.array_equal(last[2], lo) and np.array_equal(last[3], hi):
                    self.runs[-1] = (last[0], start + size, lo, hi)
                elif size:
                    self.runs.append((start, start + size, lo, hi))
                start += size

    def words(self) -> list[Words]:
        n = self.n
        if self.targets.values is None:
            first_pad = self.value_bits // self.d if self.pad else self.chunks
            out = [Words(0, n, first_pad, n, np.zeros(1, np.int64), np.full(1, n, np.int64))] if first_pad else []
            for c in range(first_pad, self.chunks):
                width = n - self._pad_bits(c)
                out.append(Words(self._base(c), width, 1, width, np.zeros(1, np.int64), np.full(1, width, np.int64)))
            return out
        out = []
        regular = self._regular()
        period = self.w // math.gcd(self.d, self.w)
        for a, b in regular:
            layouts = [(a + r, *self._chunk(a + r)[1:]) for r in range(min(period, b - a))]
            if all(np.array_equal(lo, layouts[0][1]) and np.array_equal(hi, layouts[0][2]) for _, lo, hi in layouts):
                out.append(Words(a * n, n, b - a, n, layouts[0][1], layouts[0][2]))
                continue
            for c, lo, hi in layouts:
                out.append(Words(c * n, period * n, -(-(b - c) // period), n, lo, hi))
        bounds = [0, *(x for ab in regular for x in ab), self.chunks]
        for a, b in zip(bounds[::2], bounds[1::2]):
            for c in range(a, b):
                width, lo, hi = self._chunk(c)
                out.append(Words(self._base(c), width, 1, width, lo, hi))
        return out

    def _regular(self) -> list[tuple[int, int]]:
        """The chunks [a, b) whose data bits all lie in one run of values."""
        out = []
        for v0, v1, _, _ in self.runs:
            a = -(-(v0 * self.w) // self.d)
            b = (v1 * self.w) // self.d
            if b > a:
                out.append((a, b))
        return out

    def _pad_bits(self, c: int) -> int:
        """Pad bits in chunk c."""
        lo, hi = max(self.value_bits, c * self.d), min(self.value_bits + self.pad, (c + 1) * self.d)
        return max(0, hi - lo)

    def _base(self, c: int) -> int:
        """The first site of chunk c: its first encoded bit, less the pad bits before it."""
        return c * self.n - min(max(c * self.d - self.value_bits, 0), self.pad)

    def _chunk(self, c: int) -> tuple[int, I64, I64]:
        """Chunk c's stored width and its targeted offsets as runs, with the pad squeezed out."""
        d, w, t0 = self.d, self.w, c * self.d
        t1 = min(t0 + d, self.value_bits)
        j_lo: list[I64] = []
        j_hi: list[I64] = []
        for v0, v1, blo, bhi in self.runs:
            first, end = max(v0, t0 // w), min(v1, -(-t1 // w))
            if first >= end:
                continue
            v = np.arange(first, end, dtype=np.int64)[:, None] * w
            j_lo.append((np.maximum(v + blo, t0) - t0).reshape(-1))
            j_hi.append((np.minimum(v + bhi, t1) - t0).reshape(-1))
        pos_lo: list[I64] = []
        pos_hi: list[I64] = []
        if self.targets.check:
            fill = max(self.value_bits + self.pad, t0) - t0
            if fill < d:
                j_lo.append(np.array([fill], np.int64))
                j_hi.append(np.array([d], np.int64))
            red = self.codeword.redundancy()
            pos_lo.append(red)
            pos_hi.append(red + 1)
        if j_lo:
            jl, jh = np.concatenate(j_lo), np.concatenate(j_hi)
            keep = jh > jl
            pl, ph = self.codeword.position_spans(jl[keep], jh[keep])
            pos_lo.append(pl)
            pos_hi.append(ph)
        lo, hi = merge_spans(np.concatenate(pos_lo or [np.zeros(0, np.int64)]),
                             np.concatenate(pos_hi or [np.zeros(0, np.int64)]))  # fmt: skip
        pad = self._pad_bits(c)
        if not pad:
            return self.n, lo, hi
        p0 = max(self.value_bits, t0) - t0
        plo, phi = self.codeword.position_spans(np.array([p0], np.int64), np.array([p0 + pad], np.int64))
        # Every targeted run lies beside the pad, never across it: shift it down by the pad bits below it.
        below = np.minimum(np.maximum(lo[:, None] - plo[None, :], 0), (phi - plo)[None, :]).sum(axis=1)
        lo, hi = merge_spans(lo - below, hi - below)
        return self.n - pad, lo, hi
