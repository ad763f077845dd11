"""A campaign's run directory (``--out DIR``): its config and one line per finished trial; and a map's, alike.

``config.json`` holds the campaign config and what else decides the results
(a digest of the weights, the evaluate function), so a rerun in the same
directory can skip the trials already done, and a changed campaign is refused
rather than mixed in. ``trials.jsonl`` gets one JSON line per finished trial,
appended as trials finish, each line in a single ``write`` so an interrupt
never splits it; only a crash of the machine can leave a cut-off last line,
which is dropped on the next open and that trial is run again.
``protections.json`` keeps the protection summaries (with what probability
theory expects of each cell), the baseline metric and how the results are
reported (the metric's name and range, the confidence of the intervals), so
``corvane report DIR`` needs nothing but the directory. Under a margin the
trials a cell keeps are decided by the records themselves, the same way the
campaign decided them.

A map's run directory (``MapDir``) keeps its config, ``strata.jsonl`` (one
line per finished stratum, checked against the map) and ``map.json`` (the
protection's clean metric), with the same locking, repair and refusals.
"""

from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import stat
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, Self

from .errors import StudyError
from .files import atomic_write, write_error
from .mapresults import StratumRecord
from .protections import parse_protection
from .results import Margin, Results, planned
from .vocabulary import (
    COUNTERS,
    OUTCOMES,
    SDC_SPLIT,
    Count,
    Damage,
    FaultLevel,
    ProtectionSummary,
    Rate,
    Rounding,
    TrialKey,
    TrialRecord,
    trial_seed,
)
from .weights import WeightSet

CONFIG = "config.json"
TRIALS = "trials.jsonl"
SUMMARIES = "protections.json"
STRATA = "strata.jsonl"
MAP = "map.json"
#: The files a run directory holds; no output may be written over one of them.
OWN_FILES = (CONFIG, TRIALS, SUMMARIES)
#: The files a map's run directory holds.
MAP_FILES = (CONFIG, STRATA, MAP)
#: 2: records with outcomes masked / sdc / due / false_due, the protections' own counters and the bits
#: changed; configs with the fault pattern, the bits targeted, the margin and the tolerance.
FORMAT = 2
#: A finished trial reaches the disk within about this many seconds.
SYNC_SECONDS = 1.0

_FIELDS = set(TrialRecord.__dataclass_fields__)
# A record kept before range restriction existed has no count of values clamped: None, as for any code but clip.
_BEFORE_CLIP = _FIELDS - {"values_clamped"}

# The trial logs this process holds open (and locked). A forked child shares
# each one's open file description, and with it the lock: a worker that
# outlived its parent would keep every later run out of the directory.
_OPEN: set[int] = set()


def _forget_in_child() -> None:
    for fd in _OPEN:
        try:
            os.close(fd)
        except OSError:
            pass
    _OPEN.clear()


os.register_at_fork(after_in_child=_forget_in_child)


def weights_digest(weights: WeightSet) -> str:
    """A digest of the studied tensors' names, dtypes, shapes and bits."""
    h = hashlib.blake2b(digest_size=16)
    for t in weights.tensors:
        h.update(json.dumps([t.name, t.dtype, list(t.shape)]).encode())
        h.update(t.patterns.data)
    return h.hexdigest()


def callable_name(fn: Callable[..., Any] | None) -> str | None:
    """How an evaluate callable is known: module:qualname of the function, or of an instance's class."""
    if fn is None:
        return None
    target = fn if hasattr(fn, "__qualname__") else type(fn)
    return f"{getattr(target, '__module__', '?')}:{getattr(target, '__qualname__', repr(target))}"


class _Bad(Exception):
    """What is wrong with one record or one field of a file (a clause of a one-line error)."""


def _number(value: Any, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise _Bad(f"{what} is {json.dumps(value)}, not a number")
    return float(value)


def _whole(value: Any, what: str, low: int = 0, high: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise _Bad(f"{what} is {json.dumps(value)}, not a whole number")
    if value < low or (high is not None and value >= high):
        raise _Bad(f"{what} {value} is outside {low}..{'' if high is None else high - 1}")
    return value


def _text(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise _Bad(f"{what} is {json.dumps(value)}, not a string")
    return value


def _flag(value: Any, what: str) -> bool:
    if not isinstance(value, bool):
        raise _Bad(f"{what} is {json.dumps(value)}, not true or false")
    return value


def _optional(value: Any, check: Callable[[Any, str], Any], what: str) -> Any:
    return None if value is None else check(value, what)


@dataclass(frozen=True)
class Grid:
    """The trials a campaign's config holds, and what each of their records must say.

    ``targeted`` (per applicable protection, the bits its rates count, when
    known) lets the fault count and rate of each record be checked too.
    """

    counters: dict[str, tuple[str, ...]]  # protection -> the counters its records carry
    levels: list[FaultLevel]
    trials: int
    seed: int
    kind: str
    evaluate: bool
    outcomes: tuple[str, ...]
    targeted: dict[str, int] | None = None

    @classmethod
    def of(cls, campaign: Any, targeted: dict[str, int] | None = None) -> Grid:
        """The grid of a config's "campaign" part; _Bad names what does not fit."""
        if not isinstance(campaign, dict):
            raise _Bad("no campaign part")
        names = campaign.get("protections")
        if not isinstance(names, list) or not names:
            raise _Bad("protections is not a list of names")
        try:
            counters = {_text(n, "a protection"): parse_protection(n).counters for n in names}
        except StudyError as exc:
            raise _Bad(str(exc)) from None
        rates, counts = campaign.get("rates"), campaign.get("counts")
        levels: list[FaultLevel]
        if isinstance(rates, list) and rates and counts is None:
            levels = [Rate(_number(r, "a rate")) for r in rates]
        elif isinstance(counts, list) and counts and rates is None:
            levels = [Count(_whole(c, "a fault count", 1)) for c in counts]
        else:
            raise _Bad("neither rates nor counts is a list of fault levels")
        tolerance = _optional(campaign.get("tolerance"), _number, "tolerance")
        outcomes = OUTCOMES if tolerance is None else (*(o for o in OUTCOMES if o != "sdc"), *SDC_SPLIT)
        return cls(counters, levels, _whole(campaign.get("trials"), "trials", 1), _whole(campaign.get("seed"), "seed"),
                   _text(campaign.get("kind"), "kind"), _flag(campaign.get("evaluate"), "evaluate"), outcomes,
                   targeted)  # fmt: skip

    def with_targeted(self, targeted: dict[str, int]) -> Grid:
        return Grid(self.counters, self.levels, self.trials, self.seed, self.kind, self.evaluate, self.outcomes,
                    targeted)  # fmt: skip

    def record(self, d: dict[str, Any]) -> TrialRecord:
        """The record of a JSON line whose fields are all there; _Bad says what does not fit the grid."""
        name = _text(d["protection"], "protection")
        if name not in self.counters:
            raise _Bad(f"protection {name!r} is not one of the campaign's")
        bits = None if self.targeted is None else self.targeted.get(name)
        if self.targeted is not None and bits is None:
            raise _Bad(f"protection {name} does not apply to these weights")
        if d["kind"] != self.kind:
            raise _Bad(f"kind is {json.dumps(d['kind'])}, the campaign's is {self.kind}")
        point = _whole(d["point"], "point", 0, len(self.levels))
        trial = _whole(d["trial"], "trial", 0, self.trials)
        level = self.levels[point]
        if _whole(d["seed"], "seed") != trial_seed(self.seed, name, level, trial):
            raise _Bad(f"seed {d['seed']} is not the seed of {name} {level.key} trial {trial} under campaign seed "
                       f"{self.seed}")  # fmt: skip
        faults = _whole(d["faults"], "faults", 1)
        rate = _number(d["rate"], "rate")
        if bits is not None and (faults, rate) != (level.faults(bits), level.rate_of(bits)):
            raise _Bad(f"{faults} faults at rate {rate!r} do not match {level.key} on {bits} targeted bits")
        own = self.counters[name]
        counts = {c: _whole(d[c], c) if c in own else d[c] for c in COUNTERS}
        stray = [c for c in COUNTERS if c not in own and counts[c] is not None]
        if stray:
            raise _Bad(f"{', '.join(stray)} given, which {name} does not count")
        metric = _optional(d["metric"], _number, "metric")
        if (metric is None) == self.evaluate:
            raise _Bad("metric is missing" if self.evaluate else "metric is given but the campaign has no evaluate")
        changed = _whole(d["values_changed"], "values_changed")
        outcome = d["outcome"]
        if outcome not in self.outcomes:
            raise _Bad(f"outcome is {json.dumps(outcome)}, not one of {', '.join(self.outcomes)}")
        if (outcome == "masked" and changed) or (outcome.startswith("sdc") and not changed):
            raise _Bad(f"outcome {outcome} does not fit {changed} values changed")
        return TrialRecord(
            protection=name, kind=self.kind, rate=rate, faults=faults, trial=trial, seed=d["seed"],
            values_changed=changed, max_abs_error=_number(d["max_abs_error"], "max_abs_error"),
            mean_abs_error=_number(d["mean_abs_error"], "mean_abs_error"),
            rel_l2_error=_number(d["rel_l2_error"], "rel_l2_error"), nonfinite=_whole(d["nonfinite"], "nonfinite"),
            **counts, silent=_flag(d["silent"], "silent"), seconds=_number(d["seconds"], "seconds"), metric=metric,
            outcome=outcome, point=point, bits=_optional(d["bits"], _whole, "bits"),
        )  # fmt: skip


def parse_trials(data: bytes, grid: Grid, path: Path) -> tuple[dict[TrialKey, TrialRecord], int]:
    """The records of a trial log, each checked against the grid, and where its good lines end.

    Only a last line can be cut off by a crash: one that is not a whole record
    is left out (the caller drops it). Anything else that does not fit the
    grid names its line.
    """
    done: dict[TrialKey, TrialRecord] = {}
    lines: dict[TrialKey, int] = {}

    def shaped(d: Any) -> dict[str, Any] | None:
        return d if isinstance(d, dict) and set(d) in (_FIELDS, _BEFORE_CLIP) else None

    found, pos = _log_lines(data, path, "trial", shaped)
    for number, d in found:
        try:
            rec = grid.record({"values_clamped": None, **d})
        except _Bad as exc:
            raise StudyError(f"{path}: line {number}: {exc}; it is not a trial of this campaign, "
                             "so use the campaign's own options or another directory") from None  # fmt: skip
        first = done.setdefault(rec.key, rec)
        if first is not rec:
            if _results(first) != _results(rec):
                raise StudyError(f"{path}: line {number} gives trial {rec.trial} of {rec.protection} at point "
                                 f"{rec.point} other results than line {lines[rec.key]}")  # fmt: skip
        else:
            lines[rec.key] = number
    return done, pos


def _log_lines(data: bytes, path: Path, what: str, read: Callable[[Any], Any]) -> tuple[list[tuple[int, Any]], int]:
    """The complete lines of a log as ``read`` makes them of their JSON, numbered, and where the kept lines end.

    A last line without its newline, or one that ``read`` finds no record (None,
    or an error), was cut off by a crash and is left out; any other such line
    is an error.
    """
    found: list[tuple[int, Any]] = []
    pos = number = 0
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            break  # a last line without its newline: cut off by a crash
        number += 1
        try:
            rec = read(json.loads(data[pos:end]))
        except (ValueError, TypeError, KeyError):
            rec = None
        if rec is None:
            if end == len(data) - 1:
                break  # a last line that is no record: cut off too
            raise StudyError(f"{path}: line {number} is not a {what} record; "
                             "only a cut-off last line is repaired, so use another directory")  # fmt: skip
        found.append((number, rec))
        pos = end + 1
    return found, pos


def _results(rec: TrialRecord) -> dict[str, Any]:
    # repr, so a NaN equals itself; seconds differ between two runs of one trial
    return {k: repr(v) for k, v in asdict(rec).items() if k != "seconds"}


def _open_error(path: Path, exc: OSError) -> StudyError:
    if exc.errno == errno.ELOOP:
        return StudyError(f"{path}: is a symbolic link; a run directory's files are never followed")
    return StudyError(f"{path}: cannot open: {exc.strerror}")


def _open(path: Path, flags: int) -> int:
    """A run directory's file, never through a symbolic link and only if it is a regular file."""
    # Non-blocking, so that a FIFO planted under the name is refused instead of waited on.
    fd = os.open(path, flags | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o666)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise StudyError(f"{path}: not a regular file")
        os.set_blocking(fd, True)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _read(path: Path) -> bytes | None:
    """The bytes of a run directory's file, or None where there is none."""
    try:
        fd = _open(path, os.O_RDONLY)
    except FileNotFoundError:
        return None
    except OSError as exc:
        raise _open_error(path, exc) from None
    try:
        with open(fd, "rb", closefd=False) as f:
            return f.read()
    except OSError as exc:
        raise StudyError(f"{path}: cannot read: {exc.strerror}") from None
    finally:
        os.close(fd)


class RunDir:
    """An open run directory: the trials found in it, and an append handle for new ones.

    Opening checks (or writes) the config, takes an exclusive lock so two runs
    never write one directory, and reads the finished trials, each checked
    against the campaign (``targeted``: per applicable protection the bits
    its rates count, when the caller knows them).
    """

    #: The log of finished work in the directory, what runs it, and what the log holds.
    LOG = TRIALS
    KIND = "campaign"
    UNITS = "trials"

    def __init__(self, path: str | Path, config: dict[str, Any], targeted: dict[str, int] | None = None) -> None:
        if not str(path):
            raise StudyError("--out: an empty path")
        self.path = Path(path)
        try:
            self.path.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StudyError(f"--out {self.path}: cannot create the directory: {exc.strerror}") from exc
        if not self.path.is_dir():  # pragma: no cover - mkdir(exist_ok) raises for a file
            raise StudyError(f"--out {self.path}: not a directory")
        self._expect(config, targeted)
        log = self.path / self.LOG
        try:
            self._fd = _open(log, os.O_RDWR | os.O_CREAT | os.O_APPEND)
        except OSError as exc:
            raise _open_error(log, exc) from None
        try:
            try:
                fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise StudyError(f"--out {self.path}: another run is writing to this directory") from None
            self._check_config(config)
            self.done: dict[Any, Any] = self._read_log()
        except BaseException:
            os.close(self._fd)
            raise
        _OPEN.add(self._fd)
        self._synced = time.monotonic()
        self._dirty = False

    def _check_config(self, config: dict[str, Any]) -> None:
        doc = {"format": FORMAT, **config}
        # Compared as JSON, the way it is stored (tuples become lists, floats round-trip exactly).
        wanted = json.loads(json.dumps(doc))
        path = self.path / CONFIG
        text = _read(path)
        if text is None:
            if os.fstat(self._fd).st_size:
                raise StudyError(f"--out {self.path}: holds {self.UNITS} but no {CONFIG}; use another directory")
            with atomic_write(path, follow=False) as f:
                json.dump(wanted, f, indent=1)
                f.write("\n")
                f.flush()
                os.fsync(f.fileno())
            return
        try:
            stored = json.loads(text)
        except ValueError:
            raise StudyError(f"{path}: not a {self.KIND} config (invalid JSON)") from None
        _check_format(stored, self.path)
        if stored != wanted:
            keys = _differences(stored, wanted) if isinstance(stored, dict) else ["the whole file"]
            raise StudyError(
                f"--out {self.path} holds another {self.KIND} (it differs in {', '.join(keys)}); "
                "rerun with the same options or use another directory"
            )

    def _expect(self, config: dict[str, Any], targeted: dict[str, int] | None) -> None:
        """What the records must fit: the campaign's grid."""
        try:
            self._grid = Grid.of(config.get("campaign"), targeted)
        except _Bad as exc:  # pragma: no cover - the campaign's own config always fits
            raise StudyError(f"the campaign's config: {exc}") from None

    def _parse(self, data: bytes) -> tuple[dict[Any, Any], int]:
        """The log's records by key, and where its good lines end."""
        return parse_trials(data, self._grid, self.path / self.LOG)

    def _read_log(self) -> dict[Any, Any]:
        with open(self._fd, "rb", closefd=False) as f:
            f.seek(0)
            data = f.read()
        done, pos = self._parse(data)
        if pos < len(data):
            # Dropped, so the next record starts on a line of its own; its work runs again.
            os.ftruncate(self._fd, pos)
        return done

    def append(self, rec: Any) -> None:
        line = (json.dumps(asdict(rec), allow_nan=True) + "\n").encode()
        view = memoryview(line)
        try:
            while view:
                view = view[os.write(self._fd, view) :]
        except OSError as exc:
            raise write_error(self.path / self.LOG, exc) from None
        self._dirty = True
        now = time.monotonic()
        if now - self._synced >= SYNC_SECONDS:
            self.sync()

    def sync(self) -> None:
        if self._dirty:
            try:
                os.fsync(self._fd)
            except OSError as exc:
                raise write_error(self.path / self.LOG, exc) from None
            self._dirty = False
        self._synced = time.monotonic()

    def save_summaries(
        self,
        summaries: list[ProtectionSummary],
        baseline: float | None,
        skipped: list[tuple[str, str]],
        metric_name: str | None = None,
        rounding: Rounding | None = None,
        confidence: float = 0.95,
        metric_range: tuple[float | None, float | None] = (None, None),
    ) -> None:
        doc = {
            "baseline_metric": baseline,
            "metric_name": metric_name,
            "metric_range": list(metric_range),
            "confidence": confidence,
            "rounding": None if rounding is None else asdict(rounding),
            "skipped": [list(s) for s in skipped],
            "protections": [asdict(s) for s in summaries],
        }
        with atomic_write(self.path / SUMMARIES, follow=False) as f:
            json.dump(doc, f, indent=1)
            f.write("\n")

    def close(self) -> None:
        if self._fd not in _OPEN:  # closed already, or this is a forked child that never owned it
            return
        try:
            self.sync()
        finally:
            _OPEN.discard(self._fd)
            os.close(self._fd)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class MapDir(RunDir):
    """A vulnerability map's run directory: its config, one line per finished stratum, and ``map.json`` with the
    protection's clean metric.

    ``misfit`` says why a stratum's record is not one of the map's (a stratum
    it does not hold, another seed), or None.
    """

    LOG = STRATA
    KIND = "map"
    UNITS = "strata"

    def __init__(self, path: str | Path, config: dict[str, Any], misfit: Callable[[StratumRecord], str | None]) -> None:
        self._misfit = misfit
        super().__init__(path, config)

    def _expect(self, config: dict[str, Any], targeted: dict[str, int] | None) -> None:
        pass  # the map checks each record itself

    def _parse(self, data: bytes) -> tuple[dict[Any, Any], int]:
        path = self.path / self.LOG
        done: dict[tuple[str, int], StratumRecord] = {}

        def stratum(d: Any) -> StratumRecord | None:
            return StratumRecord.from_json(d) if isinstance(d, dict) else None

        found, pos = _log_lines(data, path, "stratum", stratum)
        for number, rec in found:
            misfit = self._misfit(rec)
            if misfit is not None:
                raise StudyError(f"{path}: line {number}: {misfit}; it is not a stratum of this map, "
                                 "so use the map's own options or another directory")  # fmt: skip
            done.setdefault(rec.key, rec)
        return done, pos

    def save_map(self, doc: dict[str, Any]) -> None:
        with atomic_write(self.path / MAP, follow=False) as f:
            json.dump(doc, f, indent=1)
            f.write("\n")

    def saved_map(self) -> dict[str, Any] | None:
        """What ``save_map`` kept, or None where it is missing or unreadable (it is measured again)."""
        try:
            doc = json.loads(_read(self.path / MAP) or b"null")
        except (StudyError, ValueError):
            return None
        return doc if isinstance(doc, dict) else None


def _differences(a: dict[str, Any], b: dict[str, Any]) -> list[str]:
    out = []
    for k in sorted(set(a) | set(b)):
        x, y = a.get(k), b.get(k)
        if x == y:
            continue
        if isinstance(x, dict) and isinstance(y, dict):
            out += _differences(x, y)
        else:
            out.append(k)
    return out


def _check_format(config: Any, where: Path) -> None:
    found = config.get("format") if isinstance(config, dict) else None
    if found != FORMAT:
        raise StudyError(
            f"{where} was written by another version of corvane (run directory format {found}, this one reads "
            f"{FORMAT}); use another directory"
        )


def run_config(
    config: dict[str, Any], weights: WeightSet, evaluate: Callable[..., Any] | None, digest: str | None = None
) -> dict[str, Any]:
    """What decides a campaign's results: its config, the weights' bits and the evaluate function.

    ``digest``, the weights' digest when it is already known.
    """
    digest = weights_digest(weights) if digest is None else digest
    return {"campaign": config, "weights_digest": digest, "evaluate_function": callable_name(evaluate)}


@dataclass(frozen=True)
class Summaries:
    """What ``protections.json`` keeps: the protections' summaries, the baseline metric, and how to report."""

    protections: list[ProtectionSummary]
    baseline: float | None
    skipped: list[tuple[str, str]]
    metric_name: str | None
    rounding: Rounding | None = None
    confidence: float = 0.95
    metric_range: tuple[float | None, float | None] = (None, None)


_DAMAGE = {"values_changed": _whole, "max_abs_error": _number, "mean_abs_error": _number, "rel_l2_error": _number,
           "nonfinite": _whole}  # fmt: skip


def _fields(d: Any, what: str, allowed: set[str], required: set[str] | None = None) -> dict[str, Any]:
    """A JSON object with the fields ``required`` (all of ``allowed`` by default) and no others."""
    required = allowed if required is None else required
    if not isinstance(d, dict) or not required <= set(d) <= allowed:
        raise _Bad(f"{what} does not have the fields {', '.join(sorted(required))}")
    return d


def _list(value: Any, what: str) -> list[Any]:
    if not isinstance(value, list):
        raise _Bad(f"{what} is not a list")
    return value


def _damage(d: Any, what: str) -> Damage:
    d = _fields(d, what, set(_DAMAGE))
    values: dict[str, Any] = {k: check(d[k], k) for k, check in _DAMAGE.items()}
    return Damage(**values)


def _expected(d: Any, what: str) -> dict[str, float]:
    if not isinstance(d, dict):
        raise _Bad(f"{what} is not an object")
    return {_text(k, what): _number(v, k) for k, v in d.items()}


_SUMMARY: dict[str, Callable[[Any, str], Any]] = {
    "name": _text, "applicable": _flag, "reason": _text, "stored_bits": _whole, "bits_per_value": _number,
    "clean": lambda v, w: _optional(v, _damage, "a clean damage"),
    "clean_metric": lambda v, w: _optional(v, _number, w), "targeted_bits": lambda v, w: _optional(v, _whole, w),
    "expected": lambda v, w: [_expected(e, "an expectation") for e in _list(v, w)],
}  # fmt: skip


def _summary(s: Any) -> ProtectionSummary:
    # Fields added since the first runs were kept take their defaults; None until a protection's trials are
    # done (a run interrupted before that left it so) is what "clean" holds.
    s = _fields(s, "a protection", set(_SUMMARY), {"name", "applicable"})
    return ProtectionSummary(**{k: _SUMMARY[k](v, k) for k, v in s.items()})


def _rounding(d: Any, what: str) -> Rounding:
    d = _fields(d, what, {"dtype", "loss", "metric_before", "metric_after"}, {"dtype", "loss"})
    return Rounding(_text(d["dtype"], "its dtype"), _damage(d["loss"], "its loss"),
                    _optional(d.get("metric_before"), _number, "metric_before"),
                    _optional(d.get("metric_after"), _number, "metric_after"))  # fmt: skip


def read_summaries(path: Path) -> Summaries:
    file = path / SUMMARIES
    data = _read(file)
    if data is None:
        raise StudyError(f"{path}: no {SUMMARIES}; the campaign never started")
    try:
        try:
            doc = json.loads(data)
        except ValueError:
            raise _Bad("invalid JSON") from None
        doc = _fields(doc, "the file", {"baseline_metric", "metric_name", "metric_range", "confidence", "rounding",
                                        "skipped", "protections"},
                      {"baseline_metric", "metric_range", "confidence", "skipped", "protections"})  # fmt: skip
        out = [_summary(s) for s in _list(doc["protections"], "protections")]
        skipped = []
        for item in _list(doc["skipped"], "skipped"):
            if not (isinstance(item, list) and len(item) == 2):
                raise _Bad("a skipped tensor is not [name, reason]")
            skipped.append((_text(item[0], "a skipped tensor"), _text(item[1], "a skipped tensor's reason")))
        bounds = _list(doc["metric_range"], "metric_range")
        if len(bounds) != 2:
            raise _Bad("metric_range is not [low, high]")
        low, high = (_optional(b, _number, "an end of metric_range") for b in bounds)
        summaries = Summaries(
            out, _optional(doc["baseline_metric"], _number, "baseline_metric"), skipped,
            _optional(doc.get("metric_name"), _text, "metric_name"),
            _optional(doc.get("rounding"), _rounding, "rounding"), _number(doc["confidence"], "confidence"),
            (low, high),
        )  # fmt: skip
    except _Bad as exc:
        raise StudyError(f"{file}: not a protection summary ({exc})") from None
    return summaries


def load(path: str | Path) -> tuple[Results, int]:
    """The results kept in a run directory, in grid order, and the number of trials the campaign has.

    Every record is checked against the campaign's config as on a resume.
    Under a margin a cell keeps the trials its stopping rule decided on; a
    cell not yet decided counts at its maximum, so fewer records than the
    total mean the campaign is unfinished.
    """
    p = Path(path)
    if not p.is_dir():
        raise StudyError(f"{p}: no such directory")
    data = _read(p / CONFIG)
    if data is None:
        raise StudyError(f"{p}: no {CONFIG}; not a campaign directory")
    try:
        config = json.loads(data)
    except ValueError:
        raise StudyError(f"{p / CONFIG}: not a campaign config (invalid JSON)") from None
    if isinstance(config, dict) and "map" in config and "campaign" not in config:
        raise StudyError(f"{p}: holds a vulnerability map; the same corvane map command with --out {p} reports it")
    _check_format(config, p)
    try:
        campaign = config["campaign"]
        grid = Grid.of(campaign)
        margin = None if campaign["margin"] is None else Margin(**campaign["margin"])
        split = campaign["tolerance"] is not None
        digest = _text(config["weights_digest"], "weights_digest")
    except _Bad as exc:
        raise StudyError(f"{p / CONFIG}: not a campaign config ({exc})") from None
    except (ValueError, KeyError, TypeError) as exc:
        raise StudyError(f"{p / CONFIG}: not a campaign config ({type(exc).__name__})") from None
    summaries = read_summaries(p)
    names = list(grid.counters)
    if [s.name for s in summaries.protections] != names:
        raise StudyError(f"{p / SUMMARIES}: its protections are not those of {CONFIG} ({', '.join(names)})")
    targeted = {s.name: s.stored_bits if s.targeted_bits is None else s.targeted_bits
                for s in summaries.protections if s.applicable}  # fmt: skip
    done, _ = parse_trials(_read(p / TRIALS) or b"", grid.with_targeted(targeted), p / TRIALS)
    cells: dict[tuple[str, int], dict[int, TrialRecord]] = {}
    for rec in done.values():
        cells.setdefault((rec.protection, rec.point), {})[rec.trial] = rec
    records: list[TrialRecord] = []
    total = 0
    for s in summaries.protections:
        if not s.applicable:
            continue
        for point in range(len(grid.levels)):
            kept = cells.get((s.name, point), {})
            n, decided = planned(kept, grid.trials, margin, split)
            total += n if decided else grid.trials
            records += [r for t, r in kept.items() if t < (n if decided else grid.trials)]
    order = {name: i for i, name in enumerate(names)}
    records.sort(key=lambda r: (order[r.protection], r.point, r.trial))
    results = Results(campaign, records, summaries.protections, summaries.baseline, summaries.skipped,
                      summaries.metric_name, summaries.rounding, confidence=summaries.confidence,
                      metric_range=summaries.metric_range, weights_digest=digest)  # fmt: skip
    return results, total
