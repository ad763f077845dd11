"""The study's vocabulary: the values every layer above passes around, and nothing that acts on them.

Storage kinds and fault kinds, fault levels, trial keys, what a trial changed
and what it cost the weights, the record of a trial, a replayed fault site,
protection summaries, aggregates and results. All plain data; the only
behaviour here is what follows from the data alone (a trial's seed, the
aggregates of a list of records).
"""

from __future__ import annotations

import zlib
from abc import ABC, abstractmethod
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from enum import StrEnum
from typing import Any, ClassVar

import numpy as np
import numpy.typing as npt

from .native import Diff, Patterns
from .stats import mean_interval


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


class FaultLevel(ABC):
    """One fault level of the grid: a rate (faults per stored bit) or an absolute count."""

    #: How the level is named in a trial's seed: "rate" or "faults".
    label: ClassVar[str]
    value: Any

    @property
    def key(self) -> str:
        """How the level enters a trial's seed."""
        return f"{self.label}={self.value!r}"

    @abstractmethod
    def faults(self, stored_bits: int) -> int:
        """The faults of one trial on a stored form of ``stored_bits`` bits."""

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


@dataclass(frozen=True)
class ChunkCounts:
    """What a SEC-DED decoder did in one trial: chunks corrected, flagged, miscorrected."""

    corrected: int
    flagged: int
    miscorrected: int

    def __add__(self, other: ChunkCounts) -> ChunkCounts:
        return ChunkCounts(
            self.corrected + other.corrected, self.flagged + other.flagged, self.miscorrected + other.miscorrected
        )


@dataclass
class Effect:
    """What a trial's faults did to one storage group, however it was computed.

    ``changes`` per tensor of the group; ``counts`` from a protection that
    counts what its decoder did; ``decoded`` the whole decoded patterns, when
    the trial decoded everything anyway.
    """

    changes: list[Change]
    counts: ChunkCounts | None = None
    decoded: list[Patterns] | None = None


@dataclass(frozen=True)
class SiteLocation:
    """Where a fault site of a storage group lies: a value's bit, or the protection's own bits."""

    element: int | None
    bit: int | None
    where: str


OUTCOMES = ("masked", "detected", "sdc")
METRICS = (
    "values_changed",
    "max_abs_error",
    "mean_abs_error",
    "rel_l2_error",
    "nonfinite",
    "chunks_corrected",
    "chunks_flagged",
    "chunks_miscorrected",
    "metric",
    "seconds",
)


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
    seconds: float
    metric: float | None
    outcome: str
    point: int = 0

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


@dataclass
class Aggregate:
    """Mean and 95% interval of each metric, and outcome fractions, over the trials of one grid point."""

    protection: str
    rate: float
    faults: int
    trials: int
    metrics: dict[str, tuple[float, float, float]]
    outcomes: dict[str, float]


def aggregate(records: Sequence[TrialRecord]) -> Aggregate:
    """The aggregate of the records of one grid point."""
    metrics = {}
    for m in METRICS:
        vals = [getattr(r, m) for r in records]
        if all(v is None for v in vals):
            continue
        metrics[m] = mean_interval(vals)
    outcomes = {o: sum(r.outcome == o for r in records) / len(records) for o in OUTCOMES}
    first = records[0]
    return Aggregate(first.protection, first.rate, first.faults, len(records), metrics, outcomes)


@dataclass
class Results:
    """A campaign's records in grid order, its protections' summaries, and what describes its metric."""

    config: dict[str, Any]
    records: list[TrialRecord]
    protections: list[ProtectionSummary]
    baseline_metric: float | None = None
    skipped: list[tuple[str, str]] = field(default_factory=list)
    #: What the ``metric`` column measures, e.g. "test-set accuracy of the digits MLP".
    metric_name: str | None = None

    def aggregates(self) -> list[Aggregate]:
        groups: dict[tuple[str, int], list[TrialRecord]] = {}
        for r in self.records:
            groups.setdefault((r.protection, r.point), []).append(r)
        return [aggregate(recs) for recs in groups.values()]
