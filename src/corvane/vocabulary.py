"""The study's vocabulary: the values every layer above passes around, and nothing that acts on them.

Storage kinds and fault kinds, fault patterns and the bits they may hit, the
words of a stored form, fault levels, trial keys, what a trial changed and
what it cost the weights, what a protection's decoder did, the outcomes of a
trial, the record of a trial, a replayed fault site and protection summaries.
All plain data; the only behaviour here is what follows from the data alone
(a trial's seed, its outcome).
"""

from __future__ import annotations

import zlib
from abc import ABC, abstractmethod
from collections.abc import Mapping
from dataclasses import asdict, dataclass, field
from enum import StrEnum
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

from .native import Diff, Patterns


class Storage(StrEnum):
    """How a tensor's values are held while they are studied: the patterns' dtype, one traits object."""

    FLOAT32 = "float32"
    UINT16 = "uint16"
    UINT8 = "uint8"

    @property
    def dtype(self) -> np.dtype[Any]:
        return np.dtype(self.value)

    @property
    def bits(self) -> int:
        return self.dtype.itemsize * 8

    @property
    def suffix(self) -> str:
        """The suffix of ``_rust``'s per-type functions: f32, u16, u8."""
        return f"{self.dtype.kind}{self.bits}"


#: Source dtype name -> the storage kind its patterns are studied as.
STORAGE: dict[str, Storage] = {
    "float32": Storage.FLOAT32,
    "float16": Storage.UINT16,
    "bfloat16": Storage.UINT16,
    "int8": Storage.UINT8,
    "uint8": Storage.UINT8,
    "float8_e4m3fn": Storage.UINT8,
    "float8_e5m2": Storage.UINT8,
}
_ML_DTYPES = ("bfloat16", "float8_e4m3fn", "float8_e5m2")


def source_dtype(name: str) -> np.dtype[Any]:
    """The NumPy dtype of a source dtype name (bfloat16 and float8 through ml_dtypes)."""
    if name in _ML_DTYPES:
        import ml_dtypes

        dt: np.dtype[Any] = np.dtype(getattr(ml_dtypes, name))
        return dt
    return np.dtype(name)


def dtype_name(dtype: np.dtype[Any]) -> str:
    """The name a dtype is known by here ('bfloat16' for ml_dtypes' bfloat16)."""
    return str(dtype.name) if dtype.kind != "V" else str(dtype)


@dataclass(frozen=True, eq=False)
class Tensor:
    """One studied tensor: its name, shape, source dtype and 1-D row-major patterns (read-only)."""

    name: str
    shape: tuple[int, ...]
    dtype: str
    patterns: npt.NDArray[Any]

    @property
    def storage(self) -> Storage:
        return STORAGE[self.dtype]

    @property
    def size(self) -> int:
        return int(self.patterns.size)

    def values(self, patterns: Patterns | None = None) -> npt.NDArray[np.float64]:
        """Patterns (all of them, or the ones given) as float64 values."""
        p = self.patterns if patterns is None else patterns
        with np.errstate(invalid="ignore"):  # NaN patterns stay NaN
            return p.view(source_dtype(self.dtype)).astype(np.float64)

    def as_array(self, patterns: Patterns | None = None) -> npt.NDArray[Any]:
        """A view of the patterns in the source dtype and shape."""
        p = self.patterns if patterns is None else patterns
        return p.view(source_dtype(self.dtype)).reshape(self.shape)


class FaultKind(StrEnum):
    """What a fault does to its bit; ``code`` is the engine's number for it."""

    FLIP = "flip"
    STUCK_AT_0 = "stuck-at-0"
    STUCK_AT_1 = "stuck-at-1"

    @property
    def code(self) -> int:
        return {"stuck-at-0": 0, "stuck-at-1": 1, "flip": 2}[self.value]


FAULT_KINDS = tuple(k.value for k in FaultKind)

#: The fault kind of every site of a batch: one kind for all, or each site's engine code.
Kinds = FaultKind | npt.NDArray[np.uint8]


@dataclass(frozen=True)
class KindMix:
    """The kind of each fault event: one kind, or kinds drawn per event with these probabilities."""

    kinds: tuple[FaultKind, ...]
    probabilities: tuple[float, ...]

    @classmethod
    def of(cls, kind: FaultKind | KindMix) -> KindMix:
        return kind if isinstance(kind, KindMix) else cls((FaultKind(kind),), (1.0,))

    @property
    def single(self) -> FaultKind | None:
        """The one kind of every event, or None for a mix."""
        return self.kinds[0] if len(self.kinds) == 1 else None

    def __str__(self) -> str:
        if self.single is not None:
            return str(self.single)
        return ",".join(f"{k}:{p!r}" for k, p in zip(self.kinds, self.probabilities, strict=True))


@dataclass(frozen=True)
class Pattern:
    """The stored bits one fault event changes: one bit (single), B adjacent bits of one
    storage word (burst), or K distinct bits of one storage word (word)."""

    shape: str = "single"
    size: int = 1

    def __str__(self) -> str:
        return self.shape if self.shape == "single" else f"{self.shape}:{self.size}"


SINGLE = Pattern()


@dataclass(frozen=True)
class BitSpec:
    """The bit positions ``--bits`` names, before they are resolved per element type.

    ``numbers`` are value bits by number (ranges expanded), ``names`` fields
    such as "exponent", ``check`` the protection's redundancy.
    """

    numbers: tuple[int, ...] = ()
    names: tuple[str, ...] = ()
    check: bool = False

    def __str__(self) -> str:
        runs: list[str] = []
        nums = sorted(set(self.numbers))
        i = 0
        while i < len(nums):
            j = i
            while j + 1 < len(nums) and nums[j + 1] == nums[j] + 1:
                j += 1
            runs.append(str(nums[i]) if i == j else f"{nums[i]}-{nums[j]}")
            i = j + 1
        return ",".join([*runs, *self.names, *(["check"] if self.check else [])])


@dataclass(frozen=True)
class Targets:
    """The bits of one storage group that faults may hit.

    ``values``: per tensor of the group, the value bits chosen (each stored
    where its protection keeps it); ``check``: the protection's redundancy
    too. ``None`` for ``values`` means every stored bit, redundancy included.
    """

    values: tuple[frozenset[int], ...] | None = None
    check: bool = False


EVERY_BIT = Targets()


@dataclass(frozen=True, eq=False)
class Words:
    """Storage words of a stored form that share one layout of targeted bits.

    ``count`` words, the first starting at site ``base`` and each next one
    ``stride`` sites further; a word holds ``width`` stored bits (sites
    base .. base + width - 1), and the targeted ones are at the offsets
    [lo[i], hi[i]) within the word: sorted, disjoint, not touching.
    """

    base: int
    stride: int
    count: int
    width: int
    lo: npt.NDArray[np.int64]
    hi: npt.NDArray[np.int64]

    @property
    def targeted(self) -> int:
        """Targeted bits per word."""
        return int((self.hi - self.lo).sum())

    def shifted(self, sites: int) -> Words:
        return Words(self.base + sites, self.stride, self.count, self.width, self.lo, self.hi)


class FaultLevel(ABC):
    """One fault level of the grid: a rate (fault events per targeted bit: every stored bit, or the chosen ones)
    or an absolute count of events."""

    #: How the level is named in a trial's seed: "rate" or "faults".
    label: ClassVar[str]
    value: Any

    @property
    def key(self) -> str:
        """How the level enters a trial's seed."""
        return f"{self.label}={self.value!r}"

    @abstractmethod
    def faults(self, stored_bits: int) -> int:
        """The fault events of one trial on a stored form of ``stored_bits`` targeted bits."""

    @abstractmethod
    def rate_of(self, stored_bits: int) -> float:
        """The rate a record states for this level."""


@dataclass(frozen=True)
class Rate(FaultLevel):
    """round(value x stored bits) faults per trial, at least one."""

    label = "rate"
    value: float

    def faults(self, stored_bits: int) -> int:
        return max(1, round(self.value * stored_bits))

    def rate_of(self, stored_bits: int) -> float:
        return self.value


@dataclass(frozen=True)
class Count(FaultLevel):
    """Exactly ``value`` faults per trial."""

    label = "faults"
    value: int

    def faults(self, stored_bits: int) -> int:
        return self.value

    def rate_of(self, stored_bits: int) -> float:
        return self.value / stored_bits


def trial_seed(seed: int, protection: str, level: FaultLevel, trial: int) -> int:
    """The seed of one trial: a pure function of the campaign seed, protection, fault level and trial."""
    key = (zlib.crc32(protection.encode()), zlib.crc32(level.key.encode()), trial)
    return int(np.random.SeedSequence(entropy=seed, spawn_key=key).generate_state(1, np.uint64)[0])


@dataclass(frozen=True, order=True)
class TrialKey:
    """One trial of the grid: a protection, the index of a fault level, the trial number."""

    protection: str
    point: int
    trial: int


#: What a trial changed in one tensor: sorted element indices, patterns before and after.
Change = Diff


@dataclass(frozen=True)
class Damage:
    """What a trial did to the values (see ``metrics``)."""

    values_changed: int
    max_abs_error: float
    mean_abs_error: float
    rel_l2_error: float
    nonfinite: int


NO_DAMAGE = Damage(0, 0.0, 0.0, 0.0, 0)


#: Every count a protection may keep of what its decoder did, each a record column (None where a
#: protection does not keep it). SEC-DED: hit chunks corrected, flagged (uncorrectable),
#: miscorrected (not flagged, data wrong), flagged with their stored data intact, and chunks with
#: two or more stored bits changed (with single flips: hit by two or more faults). cep: parity
#: groups zeroed, zeroed with their source bits intact, and changed without their parity failing.
#: mset: votes that changed the stored source bit, and votes that decoded it wrong.
COUNTERS = (
    "chunks_corrected",
    "chunks_flagged",
    "chunks_miscorrected",
    "chunks_flagged_intact",
    "chunks_multi_hit",
    "groups_zeroed",
    "groups_zeroed_intact",
    "groups_undetected",
    "votes_changed",
    "votes_failed",
)


@dataclass(frozen=True)
class Counts:
    """What a protection's decoder did in one trial, for one storage group or summed over groups.

    ``own``: the protection's own counters (names from ``COUNTERS``).
    ``flagged``: units (chunks, parity groups) whose flag the decoder raised;
    ``flagged_wrong``: those of them whose stored data the faults changed.
    ``silent``: some data were left wrong with no flag over them.
    """

    own: Mapping[str, int] = field(default_factory=dict)
    flagged: int = 0
    flagged_wrong: int = 0
    silent: bool = False

    def __add__(self, other: Counts) -> Counts:
        own = dict(self.own)
        for k, v in other.own.items():
            own[k] = own.get(k, 0) + v
        return Counts(own, self.flagged + other.flagged, self.flagged_wrong + other.flagged_wrong,
                      self.silent or other.silent)  # fmt: skip


@dataclass
class Effect:
    """What a trial's faults did to one storage group, however it was computed.

    ``changes`` per tensor of the group; ``bits`` the stored bits the faults
    changed (a stuck-at fault on a bit that already holds its value changes
    none); ``counts`` what the protection's decoder did; ``decoded`` the whole
    decoded patterns, when the trial decoded everything anyway.
    """

    changes: list[Change]
    bits: int
    counts: Counts = field(default_factory=Counts)
    decoded: list[Patterns] | None = None


@dataclass(frozen=True)
class SiteLocation:
    """Where a fault site of a storage group lies: a value's bit, or the protection's own bits."""

    element: int | None
    bit: int | None
    where: str


#: A trial's outcome, one of these (the vulnerability-analysis vocabulary): no flag and the decode
#: equals the fault-free decode; no flag and it differs (silent data corruption); a flag over some
#: wrong data (detected unrecoverable error); a flag over intact data only (a false alarm).
OUTCOMES = ("masked", "sdc", "due", "false_due")
#: With a tolerance on the task metric, an sdc trial is one of these instead.
SDC_SPLIT = ("sdc_tolerable", "sdc_critical")
#: Counts of units hit by rare events: their intervals allow for a count seen as 0 in every trial.
COUNT_METRICS = ("values_changed", "nonfinite", *COUNTERS)
METRICS = (
    "faults",
    "values_changed",
    "max_abs_error",
    "mean_abs_error",
    "rel_l2_error",
    "nonfinite",
    *COUNTERS,
    "bits",
    "metric",
    "seconds",
)


def outcome(counts: Counts, values_changed: int, metric: float | None, clean_metric: float | None,
            tolerance: float | None) -> str:  # fmt: skip
    """The outcome of a trial: a flag makes it a DUE of one kind or the other, as a system that stops on a
    flag would see it; otherwise the decode decides, and with a tolerance the task metric splits an sdc."""
    if counts.flagged:
        return "due" if counts.flagged_wrong else "false_due"
    if values_changed == 0:
        return "masked"
    if tolerance is None or metric is None or clean_metric is None:
        return "sdc"
    # A metric that is NaN or moved beyond the tolerance is critical.
    return "sdc_tolerable" if abs(metric - clean_metric) <= tolerance else "sdc_critical"


@dataclass(frozen=True)
class TrialRecord:
    """The result of one trial (the CSV row)."""

    protection: str
    kind: str
    rate: float
    faults: int
    trial: int
    seed: int
    values_changed: int
    max_abs_error: float
    mean_abs_error: float
    rel_l2_error: float
    nonfinite: int
    chunks_corrected: int | None
    chunks_flagged: int | None
    chunks_miscorrected: int | None
    chunks_flagged_intact: int | None
    chunks_multi_hit: int | None
    groups_zeroed: int | None
    groups_zeroed_intact: int | None
    groups_undetected: int | None
    votes_changed: int | None
    votes_failed: int | None
    #: Some data were left wrong with no flag over them (also in a trial whose outcome is a DUE).
    silent: bool
    seconds: float
    metric: float | None
    outcome: str
    point: int = 0
    #: Stored bits the trial's faults changed (``faults`` counts fault events).
    bits: int | None = None

    @property
    def key(self) -> TrialKey:
        return TrialKey(self.protection, self.point, self.trial)

    def as_row(self) -> dict[str, Any]:
        row = asdict(self)
        del row["point"]
        return row


COLUMNS = [f for f in TrialRecord.__dataclass_fields__ if f != "point"]


@dataclass(frozen=True)
class FaultSite:
    """One fault of a replayed trial, located in the weights (or in a protection's redundancy)."""

    site: int
    tensor: str | None
    element: int | None
    bit: int | None
    where: str
    kind: str
    before: float | None
    after: float | None
    #: The fault event the site belongs to (events of a burst or word pattern hit several sites).
    event: int = 0


@dataclass
class ProtectionSummary:
    """What a protection costs and loses before any fault, once per campaign."""

    name: str
    applicable: bool
    reason: str = ""
    stored_bits: int = 0
    bits_per_value: float = 0.0
    clean: Damage | None = None
    clean_metric: float | None = None
    #: The bits rates are counted against: the stored bits, or the ones ``--bits`` chose.
    targeted_bits: int | None = None
    #: Per fault level (in grid order): the values probability theory expects, by the name they
    #: are observed under (an outcome, an event or a metric); empty where it gives none.
    expected: list[dict[str, float]] = field(default_factory=list)


@dataclass(frozen=True)
class Rounding:
    """What storing the float32 tensors in 16 bits cost before any fault: the values' loss, the metric before
    (float32) and after (as stored)."""

    dtype: str
    loss: Damage
    metric_before: float | None = None
    metric_after: float | None = None
