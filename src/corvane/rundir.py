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
"""

from __future__ import annotations

import fcntl
import hashlib
import json
import os
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass
from pathlib import Path
from typing import Any, Self

from .errors import StudyError
from .files import atomic_write
from .mapresults import StratumRecord
from .results import Margin, Results, planned
from .vocabulary import Damage, ProtectionSummary, Rounding, TrialKey, TrialRecord
from .weights import WeightSet

CONFIG = "config.json"
TRIALS = "trials.jsonl"
SUMMARIES = "protections.json"
STRATA = "strata.jsonl"
MAP = "map.json"
#: 2: records with outcomes masked / sdc / due / false_due, the protections' own counters and the bits
#: changed; configs with the fault pattern, the bits targeted, the margin and the tolerance.
FORMAT = 2
#: A finished trial reaches the disk within about this many seconds.
SYNC_SECONDS = 1.0

_FIELDS = set(TrialRecord.__dataclass_fields__)
# A record kept before range restriction existed has no count of values clamped: None, as for any code but clip.
_BEFORE_CLIP = _FIELDS - {"values_clamped"}


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


def _record(line: bytes) -> TrialRecord | None:
    try:
        d = json.loads(line)
    except ValueError:
        return None
    if not isinstance(d, dict) or set(d) not in (_FIELDS, _BEFORE_CLIP):
        return None
    try:
        return TrialRecord(**{"values_clamped": None, **d})
    except TypeError:  # pragma: no cover - the field names were checked
        return None


class RunDir:
    """An open run directory: the trials found in it, and an append handle for new ones.

    Opening checks (or writes) the config, takes an exclusive lock so two runs
    never write one directory, and reads the finished trials.
    """

    #: The log of finished work in the directory, what one of its lines holds, and what runs it.
    LOG = TRIALS
    RECORD = "trial record"
    UNITS = "trials"
    KIND = "campaign"

    def __init__(self, path: str | Path, config: dict[str, Any]) -> None:
        self.path = Path(path)
        try:
            self.path.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise StudyError(f"--out {self.path}: cannot create the directory: {exc.strerror}") from exc
        if not self.path.is_dir():  # pragma: no cover - mkdir(exist_ok) raises for a file
            raise StudyError(f"--out {self.path}: not a directory")
        log = self.path / self.LOG
        try:
            self._fd = os.open(log, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o644)
        except OSError as exc:
            raise StudyError(f"{log}: cannot open: {exc.strerror}") from exc
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
        self._synced = time.monotonic()
        self._dirty = False

    def _check_config(self, config: dict[str, Any]) -> None:
        doc = {"format": FORMAT, **config}
        # Compared as JSON, the way it is stored (tuples become lists, floats round-trip exactly).
        wanted = json.loads(json.dumps(doc))
        path = self.path / CONFIG
        try:
            text = path.read_text()
        except FileNotFoundError:
            if os.fstat(self._fd).st_size:
                raise StudyError(f"--out {self.path}: holds {self.UNITS} but no {CONFIG}; "
                                 "use another directory") from None  # fmt: skip
            with atomic_write(path) as f:
                json.dump(wanted, f, indent=1)
                f.write("\n")
                f.flush()
                os.fsync(f.fileno())
            return
        except OSError as exc:
            raise StudyError(f"{path}: cannot read: {exc.strerror}") from exc
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

    def _parse(self, line: bytes) -> Any | None:
        """The record of one line of the log, or None."""
        return _record(line)

    def _misfit(self, rec: Any) -> str | None:
        """Why a well-formed record is not one of this run's, or None."""
        return None

    def _read_log(self) -> dict[Any, Any]:
        with open(self._fd, "rb", closefd=False) as f:
            f.seek(0)
            data = f.read()
        done: dict[Any, Any] = {}
        pos = 0  # the end of the good lines
        while pos < len(data):
            end = data.find(b"\n", pos)
            if end < 0:
                break  # a last line without its newline: cut off by a crash
            rec = self._parse(data[pos:end])
            if rec is None:
                if end == len(data) - 1:
                    break  # a last line that does not parse: cut off too
                line = data.count(b"\n", 0, pos) + 1
                raise StudyError(
                    f"{self.path / self.LOG}: line {line} is not a {self.RECORD}; "
                    "only a cut-off last line is repaired, so use another directory"
                )
            misfit = self._misfit(rec)
            if misfit is not None:
                line = data.count(b"\n", 0, pos) + 1
                raise StudyError(f"{self.path / self.LOG}: line {line}: {misfit}; it is not of this {self.KIND}, "
                                 "so use its own options or another directory")  # fmt: skip
            done.setdefault(rec.key, rec)
            pos = end + 1
        if pos < len(data):
            # Dropped, so the next trial starts on a line of its own; that trial runs again.
            os.ftruncate(self._fd, pos)
        return done

    def append(self, rec: Any) -> None:
        line = (json.dumps(asdict(rec), allow_nan=True) + "\n").encode()
        view = memoryview(line)
        while view:
            view = view[os.write(self._fd, view) :]
        self._dirty = True
        now = time.monotonic()
        if now - self._synced >= SYNC_SECONDS:
            self.sync()

    def sync(self) -> None:
        if self._dirty:
            os.fsync(self._fd)
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
        with atomic_write(self.path / SUMMARIES) as f:
            json.dump(doc, f, indent=1)
            f.write("\n")

    def close(self) -> None:
        if self._fd < 0:
            return
        try:
            self.sync()
        finally:
            os.close(self._fd)
            self._fd = -1

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class MapDir(RunDir):
    """A vulnerability map's run directory (``--out DIR``): its config, one line per finished stratum
    (``strata.jsonl``), and ``map.json`` with the protection's clean metric.

    ``misfit`` says why a stratum's record is not one of the map's (a
    stratum it does not hold, another seed), or None.
    """

    LOG = STRATA
    RECORD = "stratum record"
    UNITS = "strata"
    KIND = "map"

    def __init__(self, path: str | Path, config: dict[str, Any], misfit: Callable[[StratumRecord], str | None]) -> None:
        self._fits = misfit
        super().__init__(path, config)

    def _parse(self, line: bytes) -> StratumRecord | None:
        try:
            d = json.loads(line)
            return StratumRecord.from_json(d) if isinstance(d, dict) else None
        except (ValueError, TypeError, KeyError):
            return None

    def _misfit(self, rec: Any) -> str | None:
        return self._fits(rec)

    def save_map(self, doc: dict[str, Any]) -> None:
        with atomic_write(self.path / MAP) as f:
            json.dump(doc, f, indent=1)
            f.write("\n")

    def saved_map(self) -> dict[str, Any] | None:
        """What ``save_map`` kept, or None where it is missing or unreadable (it is measured again)."""
        try:
            doc = json.loads((self.path / MAP).read_text())
        except (OSError, ValueError):
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


def _end(v: Any) -> float | None:
    return None if v is None else float(v)


def read_summaries(path: Path) -> Summaries:
    file = path / SUMMARIES
    try:
        doc = json.loads(file.read_text())
        out = []
        for s in doc["protections"]:
            # None until the protection's trials are done: a run interrupted before that left it so.
            raw = s.pop("clean", None)
            out.append(ProtectionSummary(**s, clean=None if raw is None else Damage(**raw)))
        skipped = [(str(n), str(d)) for n, d in doc["skipped"]]
        baseline = doc["baseline_metric"]
        metric_name = doc.get("metric_name")
        low, high = doc["metric_range"]
        confidence = float(doc["confidence"])
        found = doc.get("rounding")
        rounding = None if found is None else Rounding(**{**found, "loss": Damage(**found["loss"])})
    except FileNotFoundError:
        raise StudyError(f"{path}: no {SUMMARIES}; the campaign never started") from None
    except (OSError, ValueError, KeyError, TypeError) as exc:
        raise StudyError(f"{file}: not a protection summary ({type(exc).__name__})") from None
    return Summaries(out, _end(baseline), skipped, None if metric_name is None else str(metric_name), rounding,
                     confidence, (_end(low), _end(high)))  # fmt: skip


def load(path: str | Path) -> tuple[Results, int]:
    """The results kept in a run directory, in grid order, and the number of trials the campaign has.

    Under a margin a cell keeps the trials its stopping rule decided on; a
    cell not yet decided counts at its maximum, so fewer records than the
    total mean the campaign is unfinished.
    """
    p = Path(path)
    if not p.is_dir():
        raise StudyError(f"{p}: no such directory")
    try:
        config = json.loads((p / CONFIG).read_text())
    except FileNotFoundError:
        raise StudyError(f"{p}: no {CONFIG}; not a campaign directory") from None
    except (OSError, ValueError) as exc:
        raise StudyError(f"{p / CONFIG}: not a campaign config ({type(exc).__name__})") from None
    if isinstance(config, dict) and "map" in config and "campaign" not in config:
        raise StudyError(f"{p}: holds a vulnerability map; the same corvane map command with --out {p} reports it")
    _check_format(config, p)
    try:
        campaign = config["campaign"]
        protections: list[str] = list(campaign["protections"])
        points = len(campaign["rates"] if campaign["rates"] is not None else campaign["counts"])
        trials = int(campaign["trials"])
        margin = None if campaign["margin"] is None else Margin(**campaign["margin"])
        split = campaign["tolerance"] is not None
        digest = str(config["weights_digest"])
    except (ValueError, KeyError, TypeError) as exc:
        raise StudyError(f"{p / CONFIG}: not a campaign config ({type(exc).__name__})") from None
    summaries = read_summaries(p)
    try:
        data = (p / TRIALS).read_bytes()
    except FileNotFoundError:
        data = b""
    cells: dict[tuple[str, int], dict[int, TrialRecord]] = {}
    for line in data.split(b"\n"):
        rec = _record(line) if line else None
        if rec is not None and rec.protection in protections:
            cells.setdefault((rec.protection, rec.point), {}).setdefault(rec.trial, rec)
    records: list[TrialRecord] = []
    total = 0
    for s in summaries.protections:
        if not s.applicable:
            continue
        for point in range(points):
            done = cells.get((s.name, point), {})
            n, decided = planned(done, trials, margin, split)
            total += n if decided else trials
            records += [r for t, r in done.items() if t < (n if decided else trials)]
    order = {name: i for i, name in enumerate(protections)}
    records.sort(key=lambda r: (order[r.protection], r.point, r.trial))
    results = Results(campaign, records, summaries.protections, summaries.baseline, summaries.skipped,
                      summaries.metric_name, summaries.rounding, confidence=summaries.confidence,
                      metric_range=summaries.metric_range, weights_digest=digest)  # fmt: skip
    return results, total
