"""SEC-DED (extended Hamming) over chunks of d data bits, as ``_rust.secded`` encodes it.

Fault sites are the encoded bits of the group's ``Encoding``: codeword after
codeword, each of n = d + r + 1 bits (overall parity, check bits, data bits,
and in the last chunk fill bits past the data), minus the pad byte that
8-bit data of odd length needs to be encoded as byte pairs.

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
from ..vocabulary import Counts, Effect, FaultKind, SiteLocation, Storage
from .base import Protection, Stored, split_by_tensor


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

    def encoded(self, sites: U64) -> U64:
        """Group-local fault sites -> encoded bit indices (skipping the pad)."""
        g = sites.copy()
        for e in self.excluded:
            g += (g >= e).astype(np.uint64)
        return g

    def dense(self, kind: FaultKind, sites: U64) -> Effect:
        g = self.encoded(sites)
        work = self.encoding.clone()
        encoding_inject(work, kind.code, g)
        arrays: list[Any]
        arrays, flags = work.decode_f32() if self.storage is Storage.FLOAT32 else work.decode_u16()
        del work
        if self.storage is Storage.UINT8:
            stream = arrays[0].view(np.uint8)
            bounds = np.cumsum([0] + self.sizes)
            arrays = [stream[a:b] for a, b in zip(bounds[:-1], bounds[1:])]
        changes = diff(self.clean, arrays)
        hit, sites_in = np.unique((g // np.uint64(self.n)).astype(np.int64), return_counts=True)
        found = flagged(flags, hit)
        if kind == FaultKind.FLIP:
            changed = g
        else:
            want = 1 if kind == FaultKind.STUCK_AT_1 else 0
            changed = g[self.stored_bits(g) != want]
        chunk = (changed // np.uint64(self.n)).astype(np.int64)
        pos = (changed % np.uint64(self.n)).astype(np.int64)
        if self.correct_parity:
            found = np.setdiff1d(found, self._parity_only(chunk, pos, found), assume_unique=True)
        effective = unique(chunk)
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
            "chunks_multi_hit": int(np.count_nonzero(sites_in >= 2)),
        }
        return Effect(changes, Counts(own, int(found.size), wrong, miscorrected > 0), decoded=arrays)

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

    def sparse(self, kind: FaultKind, sites: U64) -> Effect:
        g = self.encoded(sites)
        elements, values, corrected, flagged_, miscorrected, intact, multi = engine.encoding_trial(
            self.encoding, kind.code, g, self.width, self.correct_parity
        )
        elements = np.asarray(elements).astype(np.int64)
        values = np.asarray(values)
        if self.storage is Storage.UINT8:
            # Byte pairs back to bytes; the pad byte past the data is never a value.
            nbytes = sum(self.sizes)
            elements = np.stack([2 * elements, 2 * elements + 1], axis=1).reshape(-1)
            values = values.astype("<u2").view(np.uint8)
            keep = elements < nbytes
            elements, values = elements[keep], values[keep]
        else:
            values = values.view(self.clean[0].dtype)
        changes = split_by_tensor(elements, values, self.sizes, self.clean)
        own = {
            "chunks_corrected": int(corrected),
            "chunks_flagged": int(flagged_),
            "chunks_miscorrected": int(miscorrected),
            "chunks_flagged_intact": int(intact),
            "chunks_multi_hit": int(multi),
        }
        return Effect(changes, Counts(own, int(flagged_), int(flagged_) - int(intact), int(miscorrected) > 0))

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

    def expected(self, groups: Sequence[tuple[Storage, int]], faults: int) -> Mapping[str, float]:
        layout = [(count, Storage(s).bits, self._pad(count, s)) for s, count in groups]
        got = secded_expectations(layout, self.d, faults, "parity" if self.correct_parity else "strict")
        names = {
            "faults": "faults",
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
