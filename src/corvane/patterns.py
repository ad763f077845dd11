"""Fault patterns: which stored bits one fault event changes, how events are drawn, and which bits they may hit.

A trial draws its fault events over the storage words of a prepared
protection (all its storage groups together), as ``Words`` describe them:

- ``single``: each event is one stored bit; the events are distinct bits
  drawn with the ``Picker`` permutation over the targeted bits (over every
  stored bit, the sites are the permutation's values themselves, as they
  always were);
- ``burst:B``: each event is B adjacent targeted bits of one word;
- ``word:K``: each event is K distinct targeted bits of one word.

For bursts and words, the words are drawn without replacement with the
``Picker`` permutation over the words that can take an event, and the bits
within each word from PCG64 seeded with the trial seed, all at once in NumPy;
a mix of fault kinds draws each event's kind from the same PCG64 stream
first. So a trial's faults are a pure function of its seed and can be drawn
again for a replay. Only PCG64's raw output is used, which NumPy keeps the
same across versions.

Bit names per element type and the parsing of ``--pattern``, ``--bits`` and
``--kind`` live here too.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .errors import StudyError
from .native import I64, U64, draw_sites
from .vocabulary import (
    EVERY_BIT,
    FAULT_KINDS,
    STORAGE,
    BitSpec,
    FaultKind,
    Kinds,
    KindMix,
    Pattern,
    Targets,
    Tensor,
    Words,
)

#: The named fields of each element type: name -> value bits [lo, hi).
FIELDS: dict[str, dict[str, tuple[int, int]]] = {
    "float32": {"sign": (31, 32), "exponent": (23, 31), "mantissa": (0, 23)},
    "float16": {"sign": (15, 16), "exponent": (10, 15), "mantissa": (0, 10)},
    "bfloat16": {"sign": (15, 16), "exponent": (7, 15), "mantissa": (0, 7)},
    "float8_e4m3fn": {"sign": (7, 8), "exponent": (3, 7), "mantissa": (0, 3)},
    "float8_e5m2": {"sign": (7, 8), "exponent": (2, 7), "mantissa": (0, 2)},
    "int8": {"sign": (7, 8)},
    "uint8": {},
}
NAMES = ("sign", "exponent", "mantissa")


def _prefix(name: str) -> str:
    return f"{name}: " if name else ""


def parse_pattern(text: str | Pattern, name: str = "pattern") -> Pattern:
    """'single', 'burst:B' (B >= 2) or 'word:K' (K >= 2)."""
    if isinstance(text, Pattern):
        text = str(text)
    shape, sep, arg = text.strip().lower().partition(":")
    if shape == "single" and not sep:
        return Pattern()
    if shape in ("burst", "word") and sep:
        try:
            size = int(arg)
        except ValueError:
            size = 0
        if size >= 2:
            return Pattern(shape, size)
        what = "B adjacent bits" if shape == "burst" else "K distinct bits"
        raise StudyError(f"{_prefix(name)}{shape} needs {what}, a whole number of at least 2, got '{text}'")
    raise StudyError(f"{_prefix(name)}unknown pattern '{text}' (use single, burst:B or word:K)")


def parse_kinds(text: str | FaultKind | KindMix, name: str = "kind") -> KindMix:
    """'flip', 'stuck-at-0', 'stuck-at-1', or a mix 'flip:0.8,stuck-at-0:0.1,stuck-at-1:0.1'."""
    if isinstance(text, (FaultKind, KindMix)):
        return KindMix.of(text)
    kinds: list[FaultKind] = []
    probabilities: list[float] = []
    hint = f"choose from {', '.join(FAULT_KINDS)}, or a mix such as flip:0.9,stuck-at-0:0.1"
    parts = [p.strip() for p in text.split(",")]
    for part in parts:
        kind, sep, p = part.partition(":")
        if kind not in FAULT_KINDS:
            raise StudyError(f"{_prefix(name)}invalid choice: '{kind}', an unknown fault kind ({hint})")
        if FaultKind(kind) in kinds:
            raise StudyError(f"{_prefix(name)}{kind} is listed twice in '{text}'")
        prob = 1.0
        if sep:
            try:
                prob = float(p)
            except ValueError:
                prob = math.nan
            if not 0 < prob <= 1:
                raise StudyError(f"{_prefix(name)}the probability of {kind} must be in (0, 1], got '{p}'")
        elif len(parts) > 1:
            raise StudyError(f"{_prefix(name)}a mix gives each kind its probability, as in {kind}:0.5; got '{text}'")
        kinds.append(FaultKind(kind))
        probabilities.append(prob)
    if not math.isclose(sum(probabilities), 1.0, rel_tol=0, abs_tol=1e-9):
        raise StudyError(f"{_prefix(name)}the probabilities in '{text}' add up to {sum(probabilities):g}, not 1")
    if len(kinds) == 1:
        return KindMix.of(kinds[0])
    # In one order whatever the order written: the same mix draws the same kinds.
    order = sorted(range(len(kinds)), key=lambda i: FAULT_KINDS.index(kinds[i]))
    return KindMix(tuple(kinds[i] for i in order), tuple(probabilities[i] for i in order))


def parse_bits(text: str | BitSpec, name: str = "bits") -> BitSpec:
    """Bit numbers ('30'), ranges ('23-30'), names ('sign', 'exponent', 'mantissa') and 'check', comma-separated."""
    if isinstance(text, BitSpec):
        return text
    numbers: list[int] = []
    names: list[str] = []
    check = False
    for raw in text.split(","):
        part = raw.strip().lower()
        if part == "check":
            check = True
        elif part in NAMES:
            if part not in names:
                names.append(part)
        elif part:
            lo, sep, hi = part.partition("-")
            try:
                a, b = int(lo), int(hi) if sep else int(lo)
            except ValueError:
                raise StudyError(
                    f"{_prefix(name)}'{raw.strip()}' is no bit number, range A-B or name "
                    f"({', '.join(NAMES)}, check)"
                ) from None
            if a < 0 or b < a:
                raise StudyError(f"{_prefix(name)}'{raw.strip()}' is no range of bits (A-B with 0 <= A <= B)")
            numbers.extend(range(a, min(b, 255) + 1))
            if b > 255:
                numbers.append(b)  # beyond every width: refused per element type with its name
    if not (numbers or names or check):
        raise StudyError(f"{_prefix(name)}no bit given")
    # One spelling per choice, so that a rerun with the items in another order is the same campaign.
    return BitSpec(tuple(sorted(set(numbers))), tuple(n for n in NAMES if n in names), check)


def value_bits(spec: BitSpec, tensor: Tensor) -> frozenset[int]:
    """The value bits ``spec`` names in a tensor of its element type."""
    width = STORAGE[tensor.dtype].bits
    fields = FIELDS.get(tensor.dtype, {})
    out = set()
    for b in spec.numbers:
        if b >= width:
            raise StudyError(f"bit {b} is beyond the {width} bits of {tensor.dtype} tensor '{tensor.name}'")
        out.add(b)
    for field in spec.names:
        if field not in fields:
            if fields:
                named = f"its bits are named {', '.join(fields)}"
            else:
                named = f"its bits have no names: give them by number, 0-{width - 1}"
            raise StudyError(
                f"{tensor.dtype} tensor '{tensor.name}' has no {field} bits ({named}; --tensors can leave it out)"
            )
        out.update(range(*fields[field]))
    return frozenset(out)


def targets(spec: BitSpec | None, tensors: Sequence[Tensor], groups: Sequence[Sequence[int]]) -> list[Targets]:
    """Per storage group (its tensors' indices), the bits ``spec`` chooses; every bit without one."""
    if spec is None:
        return [EVERY_BIT for _ in groups]
    return [Targets(tuple(value_bits(spec, tensors[i]) for i in members), spec.check) for members in groups]


@dataclass(frozen=True)
class Draw:
    """The fault sites of one trial, event after event (``size`` sites each), and their kinds."""

    sites: U64
    size: int
    kinds: Kinds

    @property
    def events(self) -> int:
        return self.sites.size // self.size


class Stream:
    """Uniform numbers from PCG64's raw output, which stays the same across NumPy versions."""

    def __init__(self, seed: int) -> None:
        self._seed = seed
        self._bits: np.random.PCG64 | None = None

    def _raw(self, count: int) -> U64:
        if self._bits is None:  # seeding costs about as much as a small trial: only when drawn from
            self._bits = np.random.PCG64(self._seed)
        return np.asarray(self._bits.random_raw(count), dtype=np.uint64)

    def uniform(self, count: int) -> npt.NDArray[np.float64]:
        out: npt.NDArray[np.float64] = (self._raw(count) >> np.uint64(11)).astype(np.float64) * 2.0**-53
        return out

    def below(self, m: I64) -> I64:
        """One whole number in [0, m[i]) for each i (the remainder's bias is below m[i] / 2^64)."""
        out: I64 = (self._raw(m.size) % np.ascontiguousarray(m).view(np.uint64)).view(np.int64)
        return out

    def distinct(self, m: I64, k: int) -> I64:
        """k distinct whole numbers in [0, m[i]) for each i, sorted, as rows (every m[i] >= k)."""
        if k <= 8:
            return self._one_by_one(m, k)
        out = np.empty((m.size, k), np.int64)
        few = 2 * k <= m
        if few.any():
            out[few] = self._redrawn(m[few], k)
        for width in np.unique(m[~few]).tolist():
            # Most of the word: choose the bits left out instead.
            rows = np.flatnonzero(m == width)
            keep = np.ones((rows.size, width), bool)
            if width > k:
                left = self._redrawn(np.full(rows.size, width, np.int64), width - k)
                keep[np.arange(rows.size)[:, None], left] = False
            out[rows] = np.nonzero(keep)[1].reshape(rows.size, k)
        return out

    def _one_by_one(self, m: I64, k: int) -> I64:
        # The j-th pick is uniform over the numbers not picked yet: the u-th of them for
        # u below m - j, found by stepping over the earlier picks in increasing order.
        picks = np.empty((k, m.size), np.int64)
        for j in range(k):
            x = self.below(m - j)
            for i in range(j):
                x += x >= picks[i]
            picks[j] = x
            for i in range(j, 0, -1):  # keep the picks of each event sorted
                low = np.minimum(picks[i - 1], picks[i])
                np.maximum(picks[i - 1], picks[i], out=picks[i])
                picks[i - 1] = low
        return picks.T

    def _redrawn(self, m: I64, k: int) -> I64:
        # Draw k per row, then draw again only the repeats: the set kept depends on the
        # values drawn only through their equality, so it is a uniform k-subset.
        v = self.below(np.repeat(m, k)).reshape(m.size, k)
        while True:
            v.sort(axis=1)
            rows, cols = np.nonzero(v[:, 1:] == v[:, :-1])
            if rows.size == 0:
                return v
            v[rows, cols + 1] = self.below(m[rows])


@dataclass(frozen=True)
class _Table:
    """Words that can take an event of one pattern, as arrays: where they are and the choices in each."""

    base: I64  # per run of words: its first site, the stride between its words, its word count,
    stride: I64
    count: I64
    choices: I64  # the choices per word (targeted bits, or burst starts),
    first: I64  # and the index of its first span in lo / hi
    lo: I64  # the choices as offset spans, all runs' spans one after another
    hi: I64
    done: I64  # choices before each span, counted over all runs
    ranks: I64  # per run: what the permutation numbers before it (choices or words)
    total: int


class Layout:
    """The storage words of a prepared protection, all groups together, as one space to draw events from.

    ``whole`` says the words take every stored bit, laid out site after site.
    """

    def __init__(self, words: Sequence[Words], whole: bool = False) -> None:
        self.words = [w for w in words if w.count and w.targeted]
        self.whole = whole
        self.targeted = sum(w.count * w.targeted for w in self.words)
        self._tables: dict[Pattern, _Table] = {}

    def capacity(self, pattern: Pattern) -> int:
        """The most events of ``pattern`` one trial can have."""
        return self._table(pattern).total

    def widest(self) -> int:
        return max((w.width for w in self.words), default=0)

    def _table(self, pattern: Pattern) -> _Table:
        table = self._tables.get(pattern)
        if table is None:
            table = self._tables[pattern] = self._build(pattern)
        return table

    def _build(self, pattern: Pattern) -> _Table:
        runs: list[tuple[Words, I64, I64]] = []
        size = min(pattern.size, 2**62)  # no word is wider; keeps the arithmetic in int64
        for w in self.words:
            lo, hi = w.lo, w.hi
            if pattern.shape == "burst":  # a burst starts where its bits all lie in one span
                fits = hi - lo >= size
                lo, hi = lo[fits], hi[fits] - size + 1
            if int((hi - lo).sum()) >= (size if pattern.shape == "word" else 1):
                runs.append((w, lo, hi))
        empty = np.zeros(0, np.int64)
        base = np.array([w.base for w, _, _ in runs], np.int64)
        stride = np.array([w.stride for w, _, _ in runs], np.int64)
        count = np.array([w.count for w, _, _ in runs], np.int64)
        choices = np.array([int((hi - lo).sum()) for _, lo, hi in runs], np.int64)
        first = np.cumsum([0] + [lo.size for _, lo, _ in runs])[:-1].astype(np.int64)
        lo = np.concatenate([lo for _, lo, _ in runs]) if runs else empty
        hi = np.concatenate([hi for _, _, hi in runs]) if runs else empty
        done = np.cumsum(np.r_[0, hi - lo])[:-1].astype(np.int64)
        per_run = count * choices if pattern.shape == "single" else count
        ranks = np.cumsum(np.r_[0, per_run])[:-1].astype(np.int64)
        return _Table(base, stride, count, choices, first, lo, hi, done, ranks, int(per_run.sum()))

    def draw(self, pattern: Pattern, kinds: KindMix, count: int, seed: int) -> Draw:
        """The sites of ``count`` events of ``pattern`` (at most ``capacity``), and their kinds."""
        stream = Stream(seed)
        kind: Kinds
        if kinds.single is not None:
            kind = kinds.single
        else:
            bounds = np.cumsum(kinds.probabilities)[:-1]
            codes = np.array([k.code for k in kinds.kinds], np.uint8)
            kind = np.repeat(codes[np.searchsorted(bounds, stream.uniform(count), side="right")], pattern.size)
        if pattern.shape == "single" and self.whole:
            return Draw(draw_sites(self.targeted, seed, count), 1, kind)
        t = self._table(pattern)
        drawn = draw_sites(t.total, seed, count).view(np.int64)
        run: I64 | int = 0  # one run of words needs no search
        rank = drawn
        if t.base.size > 1:
            run = np.searchsorted(t.ranks, drawn, side="right") - 1
            rank = drawn - t.ranks[run]
        per = np.broadcast_to(t.choices[run], drawn.shape)
        sites: I64
        if pattern.shape == "single":
            word = rank // per
            sites = t.base[run] + word * t.stride[run] + self._offset(t, run, rank - word * per)
        else:
            start = t.base[run] + rank * t.stride[run]
            if pattern.shape == "burst":
                lowest = start + self._offset(t, run, stream.below(np.ascontiguousarray(per)))
                sites = (lowest[:, None] + np.arange(pattern.size, dtype=np.int64)).reshape(-1)
            else:
                chosen = stream.distinct(np.ascontiguousarray(per), pattern.size)
                column = run if isinstance(run, int) else run[:, None]
                sites = (start[:, None] + self._offset(t, column, chosen)).reshape(-1)
        return Draw(sites.view(np.uint64), pattern.size, kind)

    @staticmethod
    def _offset(t: _Table, run: I64 | int, choice: I64) -> I64:
        """The offset in its word of each run's choice-th targeted bit (or burst start)."""
        if t.lo.size == t.base.size:  # one span per run
            simple: I64 = t.lo[run] + choice
            return simple
        at = t.done[t.first[run]] + choice
        span = np.searchsorted(t.done, at, side="right") - 1
        out: I64 = t.lo[span] + (at - t.done[span])
        return out


def layout_error(layout: Layout, pattern: Pattern, count: int, protection: str) -> str | None:
    """Why ``count`` events of ``pattern`` cannot be drawn from a protection's words, or None."""
    room = layout.capacity(pattern)
    if count <= room:
        return None
    bits = "stored" if layout.whole else "targeted"
    if pattern.shape == "single":
        if layout.whole:
            return f"{count} faults asked of {protection}, which stores only {room} bits"
        return f"{count} faults asked of {protection}, which has only {room} targeted bits"
    if room == 0:
        what = "adjacent " if pattern.shape == "burst" else ""
        return (
            f"{pattern} fits no word of {protection}: no word of it has {pattern.size} {what}{bits} bits "
            f"(its widest word stores {layout.widest()} bits)"
        )
    return (
        f"{count} {pattern} faults asked of {protection}, whose words can take only {room} "
        "(a trial never hits a word twice)"
    )


__all__ = [
    "FIELDS",
    "Draw",
    "Layout",
    "layout_error",
    "parse_bits",
    "parse_kinds",
    "parse_pattern",
    "targets",
    "value_bits",
]
