"""A campaign's run directory (``--out DIR``): its config and one line per finished trial.

``config.json`` holds the campaign config and what else decides the results
(a digest of the weights, the evaluate function), so a rerun in the same
directory can skip the trials already done, and a changed campaign is refused
rather than mixed in. ``trials.jsonl`` gets one JSON line per finished trial,
appended as trials finish, each line in a single ``write`` so an interrupt
never splits it; only a crash of the machine can leave a cut-off last line,
which is dropped on the next open and that trial is run again.
``protections.json`` keeps the protection summaries and the baseline metric,
so ``corvane report DIR`` needs nothing but the directory.
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
from typing import Any

from .errors import StudyError
from .files import atomic_write, write_error
from .protections import parse_protection
from .vocabulary import (
    OUTCOMES,
    Count,
    Damage,
    FaultLevel,
    ProtectionSummary,
    Rate,
    Results,
    TrialKey,
    TrialRecord,
    trial_seed,
)
from .weights import WeightSet

CONFIG = "config.json"
TRIALS = "trials.jsonl"
SUMMARIES = "protections.json"
#: The files a run directory holds; no output may be written over one of them.
OWN_FILES = (CONFIG, TRIALS, SUMMARIES)
FORMAT = 1
#: A finished trial reaches the disk within about this many seconds.
SYNC_SECONDS = 1.0

_FIELDS = set(TrialRecord.__dataclass_fields__)

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


def _optional(value: Any, check: Callable[[Any, str], Any], what: str) -> Any:
    return None if value is None else check(value, what)


@dataclass(frozen=True)
class Grid:
    """The trials a campaign's config holds, and what each of their records must say.

    ``stored_bits`` (per applicable protection, when known) lets the fault
    count and rate of each record be checked too.
    """

    chunks: dict[str, bool]  # protection -> whether its records carry chunk counts
    levels: list[FaultLevel]
    trials: int
    seed: int
    kind: str
    evaluate: bool
    stored_bits: dict[str, int] | None = None

    @classmethod
    def of(cls, campaign: Any, stored_bits: dict[str, int] | None = None) -> Grid:
        """The grid of a config's "campaign" part; _Bad names what does not fit."""
        if not isinstance(campaign, dict):
            raise _Bad("no campaign part")
        names = campaign.get("protections")
        if not isinstance(names, list) or not names:
            raise _Bad("protections is not a list of names")
        try:
            chunks = {_text(n, "a protection"): parse_protection(n).reports_chunks for n in names}
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
        evaluate = campaign.get("evaluate")
        if not isinstance(evaluate, bool):
            raise _Bad("evaluate is not true or false")
        return cls(chunks, levels, _whole(campaign.get("trials"), "trials", 1), _whole(campaign.get("seed"), "seed"),
                   _text(campaign.get("kind"), "kind"), evaluate, stored_bits)  # fmt: skip

    @property
    def total(self) -> int:
        return len(self.chunks) * len(self.levels) * self.trials

    def record(self, d: dict[str, Any]) -> TrialRecord:
        """The record of a JSON line whose fields are all there; _Bad says what does not fit the grid."""
        name = _text(d["protection"], "protection")
        if name not in self.chunks:
            raise _Bad(f"protection {name!r} is not one of the campaign's")
        bits = None if self.stored_bits is None else self.stored_bits.get(name)
        if self.stored_bits is not None and bits is None:
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
            raise _Bad(f"{faults} faults at rate {rate!r} do not match {level.key} on {bits} stored bits")
        counts = [_optional(d[k], _whole, k) for k in ("chunks_corrected", "chunks_flagged", "chunks_miscorrected")]
        if (None in counts) if self.chunks[name] else (counts != [None] * 3):
            raise _Bad(f"chunk counts {counts} do not fit {name}")
        metric = _optional(d["metric"], _number, "metric")
        if (metric is None) == self.evaluate:
            raise _Bad("metric is missing" if self.evaluate else "metric is given but the campaign has no evaluate")
        changed = _whole(d["values_changed"], "values_changed")
        outcome = "detected" if counts[1] else "masked" if changed == 0 else "sdc"
        if d["outcome"] != outcome:
            raise _Bad(f"outcome is {json.dumps(d['outcome'])} where its counts say {outcome}")
        return TrialRecord(
            protection=name, kind=self.kind, rate=rate, faults=faults, trial=trial, seed=d["seed"],
            values_changed=changed, max_abs_error=_number(d["max_abs_error"], "max_abs_error"),
            mean_abs_error=_number(d["mean_abs_error"], "mean_abs_error"),
            rel_l2_error=_number(d["rel_l2_error"], "rel_l2_error"), nonfinite=_whole(d["nonfinite"], "nonfinite"),
            chunks_corrected=counts[0], chunks_flagged=counts[1], chunks_miscorrected=counts[2],
            seconds=_number(d["seconds"], "seconds"), metric=metric, outcome=outcome, point=point,
        )  # fmt: skip


def parse_trials(data: bytes, grid: Grid, path: Path) -> tuple[dict[TrialKey, TrialRecord], int]:
    """The records of a trial log, each checked against the grid, and where its good lines end.

    Only a last line can be cut off by a crash: one that is not a whole record
    is left out (the caller drops it). Anything else that does not fit the
    grid names its line.
    """
    done: dict[TrialKey, TrialRecord] = {}
    lines: dict[TrialKey, int] = {}
    pos = 0
    number = 0
    while pos < len(data):
        end = data.find(b"\n", pos)
        if end < 0:
            break  # a last line without its newline: cut off by a crash
        number += 1
        try:
            d = json.loads(data[pos:end])
        except ValueError:
            d = None
        if not isinstance(d, dict) or set(d) != _FIELDS:
            if end == len(data) - 1:
                break  # a last line that is no record: cut off too
            raise StudyError(f"{path}: line {number} is not a trial record; "
                             "only a cut-off last line is repaired, so use another directory")  # fmt: skip
        try:
            rec = grid.record(d)
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
        pos = end + 1
    return done, pos


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
    against the campaign (``stored_bits`` per applicable protection, when the
    caller knows them).
    """

    def __init__(self, path: str | Path, config: dict[str, Any], stored_bits: dict[str, int] | None = None) -> None:
        if not str(path):
            raise StudyError("--out: an empty path")
        self.path = Path(path)
        try:
            self.path.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StudyError(f"--out {self.path}: cannot create the directory: {exc.strerror}") from exc
        if not self.path.is_dir():  # pragma: no cover - mkdir(exist_ok) raises for a file
            raise StudyError(f"--out {self.path}: not a directory")
        try:
            grid = Grid.of(config.get("campaign"), stored_bits)
        except _Bad as exc:  # pragma: no cover - the campaign's own config always fits
            raise StudyError(f"the campaign's config: {exc}") from None
        trials = self.path / TRIALS
        try:
            self._fd = _open(trials, os.O_RDWR | os.O_CREAT | os.O_APPEND)
        except OSError as exc:
            raise _open_error(trials, exc) from None
        try:
            try:
                fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                raise StudyError(f"--out {self.path}: another run is writing to this directory") from None
            self._check_config(config)
            self.done: dict[TrialKey, TrialRecord] = self._read_trials(grid)
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
                raise StudyError(f"--out {self.path}: holds trials but no {CONFIG}; use another directory")
            with atomic_write(path, follow=False) as f:
                json.dump(wanted, f, indent=1)
                f.write("\n")
                f.flush()
                os.fsync(f.fileno())
            return
        try:
            stored = json.loads(text)
        except ValueError:
            raise StudyError(f"{path}: not a campaign config (invalid JSON)") from None
        if stored != wanted:
            keys = _differences(stored, wanted) if isinstance(stored, dict) else ["the whole file"]
            raise StudyError(
                f"--out {self.path} holds another campaign (it differs in {', '.join(keys)}); "
                "rerun with the same options or use another directory"
            )

    def _read_trials(self, grid: Grid) -> dict[TrialKey, TrialRecord]:
        with open(self._fd, "rb", closefd=False) as f:
            f.seek(0)
            data = f.read()
        done, pos = parse_trials(data, grid, self.path / TRIALS)
        if pos < len(data):
            # Dropped, so the next trial starts on a line of its own; that trial runs again.
            os.ftruncate(self._fd, pos)
        return done

    def append(self, rec: TrialRecord) -> None:
        line = (json.dumps(asdict(rec), allow_nan=True) + "\n").encode()
        view = memoryview(line)
        try:
            while view:
                view = view[os.write(self._fd, view) :]
        except OSError as exc:
            raise write_error(self.path / TRIALS, exc) from None
        self._dirty = True
        now = time.monotonic()
        if now - self._synced >= SYNC_SECONDS:
            self.sync()

    def sync(self) -> None:
        if self._dirty:
            try:
                os.fsync(self._fd)
            except OSError as exc:
                raise write_error(self.path / TRIALS, exc) from None
            self._dirty = False
        self._synced = time.monotonic()

    def save_summaries(
        self,
        summaries: list[ProtectionSummary],
        baseline: float | None,
        skipped: list[tuple[str, str]],
        metric_name: str | None = None,
    ) -> None:
        doc = {
            "baseline_metric": baseline,
            "metric_name": metric_name,
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

    def __enter__(self) -> RunDir:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


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


def run_config(config: dict[str, Any], weights: WeightSet, evaluate: Callable[..., Any] | None) -> dict[str, Any]:
    """What decides a campaign's results: its config, the weights' bits and the evaluate function."""
    return {"campaign": config, "weights_digest": weights_digest(weights), "evaluate_function": callable_name(evaluate)}


@dataclass(frozen=True)
class Summaries:
    """What ``protections.json`` keeps: the protections' summaries, the baseline metric and its name."""

    protections: list[ProtectionSummary]
    baseline: float | None
    skipped: list[tuple[str, str]]
    metric_name: str | None


_DAMAGE = {"values_changed": _whole, "max_abs_error": _number, "mean_abs_error": _number, "rel_l2_error": _number,
           "nonfinite": _whole}  # fmt: skip


def _fields(d: Any, wanted: set[str], what: str) -> dict[str, Any]:
    if not isinstance(d, dict) or set(d) != wanted:
        raise _Bad(f"{what} does not have the fields {', '.join(sorted(wanted))}")
    return d


def _summary(s: Any) -> ProtectionSummary:
    s = _fields(s, set(ProtectionSummary.__dataclass_fields__), "a protection")
    clean = None
    if s["clean"] is not None:
        c = _fields(s["clean"], set(_DAMAGE), "a clean damage")
        values: dict[str, Any] = {k: check(c[k], k) for k, check in _DAMAGE.items()}
        clean = Damage(**values)
    applicable = s["applicable"]
    if not isinstance(applicable, bool):
        raise _Bad("applicable is not true or false")
    return ProtectionSummary(_text(s["name"], "name"), applicable, _text(s["reason"], "reason"),
                             _whole(s["stored_bits"], "stored_bits"), _number(s["bits_per_value"], "bits_per_value"),
                             clean, _optional(s["clean_metric"], _number, "clean_metric"))  # fmt: skip


def read_summaries(path: Path) -> Summaries:
    file = path / SUMMARIES
    data = _read(file)
    if data is None:
        raise StudyError(f"{path}: no {SUMMARIES}; the campaign never started")
    try:
        try:
            doc = _fields(json.loads(data), {"baseline_metric", "metric_name", "skipped", "protections"}, "the file")
        except ValueError:
            raise _Bad("invalid JSON") from None
        if not isinstance(doc["protections"], list) or not isinstance(doc["skipped"], list):
            raise _Bad("protections or skipped is not a list")
        out = [_summary(s) for s in doc["protections"]]
        skipped = []
        for item in doc["skipped"]:
            if not (isinstance(item, list) and len(item) == 2):
                raise _Bad("a skipped tensor is not [name, reason]")
            skipped.append((_text(item[0], "a skipped tensor"), _text(item[1], "a skipped tensor's reason")))
        baseline = _optional(doc["baseline_metric"], _number, "baseline_metric")
        metric_name = _optional(doc["metric_name"], _text, "metric_name")
    except _Bad as exc:
        raise StudyError(f"{file}: not a protection summary ({exc})") from None
    return Summaries(out, baseline, skipped, metric_name)


def load(path: str | Path) -> tuple[Results, int]:
    """The results kept in a run directory, in grid order, and the number of trials the campaign has.

    Every record is checked against the campaign's config as on a resume.
    """
    p = Path(path)
    if not p.is_dir():
        raise StudyError(f"{p}: no such directory")
    data = _read(p / CONFIG)
    if data is None:
        raise StudyError(f"{p}: no {CONFIG}; not a campaign directory")
    try:
        try:
            config = json.loads(data)
        except ValueError:
            raise _Bad("invalid JSON") from None
        campaign = config.get("campaign") if isinstance(config, dict) else None
        grid = Grid.of(campaign)
        assert isinstance(campaign, dict)  # Grid.of refuses anything else
    except _Bad as exc:
        raise StudyError(f"{p / CONFIG}: not a campaign config ({exc})") from None
    summaries = read_summaries(p)
    names = list(grid.chunks)
    if [s.name for s in summaries.protections] != names:
        raise StudyError(f"{p / SUMMARIES}: its protections are not those of {CONFIG} ({', '.join(names)})")
    stored = {s.name: s.stored_bits for s in summaries.protections if s.applicable}
    grid = Grid(grid.chunks, grid.levels, grid.trials, grid.seed, grid.kind, grid.evaluate, stored)
    done, _ = parse_trials(_read(p / TRIALS) or b"", grid, p / TRIALS)
    order = {name: i for i, name in enumerate(names)}
    records = sorted(done.values(), key=lambda r: (order[r.protection], r.point, r.trial))
    total = len(stored) * len(grid.levels) * grid.trials
    results = Results(campaign, records, summaries.protections, summaries.baseline, summaries.skipped,
                      summaries.metric_name)  # fmt: skip
    return results, total
