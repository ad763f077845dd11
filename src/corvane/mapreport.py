"""Reports of a vulnerability map: the most vulnerable strata, marginals, CSV, JSON, the heatmap, the protect-curve
and the tensor list it chooses.

Every file is written to a temporary file beside its target and renamed over
it only when complete.
"""

from __future__ import annotations

import csv
import io
import json
import math
from collections.abc import Callable, Sequence
from dataclasses import asdict
from pathlib import Path
from typing import Any

import numpy as np

from .errors import StudyError, printable
from .files import atomic_write
from .mapresults import Curve, Estimate, MapResults, Marginal, StratumRecord

#: What each quantity is called in tables and plots.
LABELS = {
    "damage": "damage (rel L2 of one fault)",
    "sdc": "P(sdc)",
    "nonfinite": "P(NaN/inf)",
    "metric": "metric change",
}
#: Fractions of the stored bits at which the protect-curve is printed.
FRACTIONS = (0.0, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1.0)


def num(v: float | None) -> str:
    if v is None or math.isnan(v):
        return "-"
    if v == 0:
        return "0"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return f"{v:.3g}"


def estimate(e: Estimate | None, exact: bool = False) -> str:
    """A mean and its interval in one cell: '0.52 (0.42 .. 0.62)', or the mean alone where it is known exactly."""
    if e is None:
        return "-"
    if exact:
        return f"{num(e.mean)} (exact)"
    return f"{num(e.mean)} ({num(e.low)} .. {num(e.high)})"


def _table(title: str, head: Sequence[str], rows: Sequence[Sequence[str]]) -> Any:
    from rich.table import Table

    table = Table(title=title, title_justify="left")
    for i, h in enumerate(head):
        table.add_column(h, justify="left" if i == 0 else "right", overflow="fold")
    for r in rows:
        table.add_row(*r)
    return table


def _quantities(results: MapResults) -> list[str]:
    return ["sdc", "nonfinite", "damage", *(["metric"] if results.has_metric else [])]


def print_map(results: MapResults, by: str, top: int, emit: Callable[[Any], None]) -> None:
    """The most vulnerable strata, then the marginals per bit position and per tensor."""
    qs = _quantities(results)
    head = ["tensor", "bit", "faults", *[LABELS[q] for q in qs]]

    def stratum(r: StratumRecord) -> list[str]:
        return [printable(r.tensor), str(r.bit), f"{r.trials} of {r.values}",
                *[estimate(getattr(r, q), r.exhaustive) for q in qs]]  # fmt: skip

    def marginal(m: Marginal) -> list[str]:
        return [printable(m.label), str(m.values), *[estimate(m.estimates.get(q), m.exact) for q in qs]]

    strata = results.top(top, by)
    emit(f"one {results.config.get('kind', 'flip')} fault under {results.protection}: mean (95% interval) per fault")
    emit(_table(f"most vulnerable strata by {LABELS[by]}: {len(strata)} of {len(results.records)}", head,
                [stratum(r) for r in strata]))  # fmt: skip
    emit(_table("per bit position (over every mapped tensor, weighted by its values)",
                ["bit", "values", *[LABELS[q] for q in qs]], [marginal(m) for m in results.by_bit()]))  # fmt: skip
    tensors = sorted(results.by_tensor(), key=lambda m: -_score(m, by))
    shown = tensors[:top]
    more = f" ({len(shown)} most vulnerable of {len(tensors)}; the CSV and JSON hold every stratum)" \
        if len(shown) < len(tensors) else ""  # fmt: skip
    # A tensor pools its values over every mapped bit position: so many value bits, not values.
    columns = ["tensor", "value bits", *[LABELS[q] for q in qs]]
    emit(_table(f"per tensor (over its mapped bit positions){more}", columns,
                [marginal(m) for m in shown]))  # fmt: skip
    if results.clean_metric is not None:
        emit(f"metric of the fault-free decode under {results.protection}: {results.clean_metric:.4f}"
             + (f" ({printable(results.metric_name)})" if results.metric_name else ""))  # fmt: skip
    if results.skipped:
        emit("skipped tensors: " + ", ".join(f"{printable(n)} ({printable(d)})" for n, d in results.skipped))


def _score(m: Marginal, by: str) -> float:
    e = m.estimates.get(by)
    if e is None:
        return -math.inf
    v = abs(e.mean) if by == "metric" else e.mean
    return v if math.isfinite(v) else -math.inf


def csv_text(results: MapResults) -> str:
    buf = io.StringIO()
    rows = [r.as_row() for r in results.records]
    w = csv.writer(buf, lineterminator="\n")
    if rows:
        head = list(rows[0])
        w.writerow(head)
        for row in rows:
            w.writerow(["" if row[c] is None else repr(row[c]) if isinstance(row[c], float) else str(row[c])
                        for c in head])  # fmt: skip
    return buf.getvalue()


def write_csv(results: MapResults, path: str | Path) -> None:
    with atomic_write(path) as f:
        f.write(csv_text(results))


def _safe(v: Any) -> Any:
    if isinstance(v, float) and not math.isfinite(v):
        return None if math.isnan(v) else ("inf" if v > 0 else "-inf")
    if isinstance(v, dict):
        return {k: _safe(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [_safe(x) for x in v]
    return v


def json_document(results: MapResults) -> Any:
    def marginal(m: Marginal) -> dict[str, Any]:
        return {"label": m.label, "values": m.values, "strata": m.strata,
                **{q: asdict(e) for q, e in m.estimates.items()}}  # fmt: skip

    return _safe({
        "config": results.config,
        "clean_metric": results.clean_metric,
        "baseline_metric": results.baseline_metric,
        "metric_name": results.metric_name,
        "skipped_tensors": [list(s) for s in results.skipped],
        "tensors": [asdict(t) for t in results.tensors],
        "strata": [{**r.as_json(), "exhaustive": r.exhaustive} for r in results.records],
        "by_tensor": [marginal(m) for m in results.by_tensor()],
        "by_bit": [marginal(m) for m in results.by_bit()],
    })  # fmt: skip


def write_json(results: MapResults, path: str | Path) -> None:
    with atomic_write(path) as f:
        json.dump(json_document(results), f, indent=1)
        f.write("\n")


def _save(fig: Any, path: str | Path) -> None:
    with atomic_write(path, "wb") as f:
        fig.savefig(f, format=Path(path).suffix.lower().lstrip("."))


def _pyplot() -> Any:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def write_heatmap(results: MapResults, path: str | Path, by: str) -> None:
    """Tensors (or groups of them) x bit positions, coloured by the per-fault value of ``by``: a log scale for
    damage and metric change, linear for fractions. Grey cells saw no effect at all; white ones are not mapped."""
    from matplotlib.colors import ListedColormap, LogNorm, Normalize

    plt = _pyplot()
    labels, bits, grid = results.heat(by)
    labels = [_plain(_short(label)) for label in labels]
    logarithmic = by in ("damage", "metric")
    positive = grid[np.isfinite(grid) & (grid > 0)]
    cmap = plt.get_cmap("viridis").with_extremes(bad=(0, 0, 0, 0))
    if logarithmic:
        high = float(positive.max()) if positive.size else 1.0
        # The colours start at the typical cell of the quietest bit position: the few tensors of zeros sit dozens
        # of decades below every other cell and share the lowest colour, so that the rest keeps its shades.
        typical = [float(np.nanmedian(col[col > 0])) for col in grid.T if np.any(col > 0)]
        low = min(min(typical) if typical else high / 10, high / 10)
        norm: Any = LogNorm(vmin=low, vmax=high)
        shown = np.where(grid > 0, grid, np.nan)
    else:
        norm = Normalize(vmin=0.0, vmax=1.0)
        shown = np.where(grid > 0, grid, np.nan)
    height = max(3.0, 0.17 * len(labels) + 1.8)
    longest = max((len(s) for s in labels), default=10)
    fig, ax = plt.subplots(figsize=(4.0 + 0.075 * longest + 0.22 * len(bits), height), dpi=110)
    try:
        none = np.where(grid == 0, 1.0, np.nan)
        ax.imshow(np.ma.masked_invalid(none), aspect="auto", cmap=ListedColormap(["#d9d9d9"]), interpolation="nearest")
        image = ax.imshow(np.ma.masked_invalid(shown), aspect="auto", cmap=cmap, norm=norm, interpolation="nearest")
        ax.set_yticks(range(len(labels)), labels, fontsize=7 if len(labels) > 30 else 8)
        ax.set_xticks(range(len(bits)), [str(b) for b in bits], fontsize=7)
        ax.set_xlabel("bit position of the stored value")
        _fields(ax, results, bits)
        bar = fig.colorbar(image, ax=ax, extend="min" if logarithmic else "neither", fraction=0.04, pad=0.02)
        quantity = "mean |metric change|" if by == "metric" else LABELS[by]
        bar.set_label(f"{quantity} per fault\n(grey: no effect seen; white: not mapped)", fontsize=8)
        n = results.config.get("per_stratum")
        source = _plain(Path(str(results.config.get("weights", ""))).name)
        ax.set_title(f"{source} under {results.protection}: one "
                     f"{results.config.get('kind', 'flip')} fault per trial, {n} per stratum", fontsize=9,
                     pad=14)  # fmt: skip
        fig.tight_layout()
        _save(fig, path)
    finally:
        plt.close(fig)


def _plain(text: object) -> str:
    """A user's text as matplotlib draws it literally: control characters escaped, '$' not starting math."""
    return printable(text).replace("$", r"\$")


def _short(label: str, most: int = 56) -> str:
    """A row label that fits beside the heatmap: long names keep their start and their end."""
    return label if len(label) <= most else f"{label[: most // 2 - 2]}...{label[-(most // 2 - 1) :]}"


def _fields(ax: Any, results: MapResults, bits: Sequence[int]) -> None:
    """Sign, exponent and mantissa marked above the bit positions when every mapped tensor has the same type."""
    from .patterns import FIELDS

    dtypes = {t.dtype for t in results.tensors if any(r.tensor == t.name for r in results.records)}
    if len(dtypes) != 1:
        return
    where = {b: i for i, b in enumerate(bits)}
    for name, (lo, hi) in FIELDS.get(dtypes.pop(), {}).items():
        cols = [where[b] for b in range(lo, hi) if b in where]
        if not cols:
            continue
        ax.axvline(min(cols) - 0.5, color="white", linewidth=0.8)
        ax.text((min(cols) + max(cols)) / 2, -0.6, name, ha="center", va="bottom", fontsize=7,
                transform=ax.transData, clip_on=False)  # fmt: skip


def curve_name(curve: Curve) -> str:
    what = {"damage": "RMS rel L2 error", "sdc": "sdc faults", "nonfinite": "NaN/inf values",
            "metric": "|metric change|"}[curve.by]  # fmt: skip
    return f"expected {what} per trial"


def _faults(curve: Curve) -> str:
    n = curve.rate * curve.total_bits
    return f"{n:.3g} fault{'' if n == 1 else 's'}"


def print_curve(curve: Curve, emit: Callable[[Any], None], top: int = 10) -> None:
    """The curve at a few fractions of the stored bits, and the units protected first."""
    rows = []
    for f in FRACTIONS:
        o, r = curve.at(f)
        extra = []
        if curve.ordered_nonfinite is not None and curve.random_nonfinite is not None:
            i = int(np.searchsorted(np.asarray(curve.fractions), f, side="right")) - 1
            extra = [num(curve.ordered_nonfinite[i]), num(curve.random_nonfinite[i])]
        rows.append([f"{num(100 * f)}%", num(o), num(r), *extra])
    head = ["bits protected", "by vulnerability", "random order"]
    if curve.ordered_nonfinite is not None:
        head += ["NaN/inf: by vulnerability", "NaN/inf: random"]
    emit(f"protect-curve: {curve_name(curve)} at rate {curve.rate:.3g} ({_faults(curve)} per trial), protecting "
         f"{curve.units} in order of vulnerability per stored bit, their single faults corrected")  # fmt: skip
    emit(_table("protect-curve", head, rows))
    used = 0
    first = []
    for s in curve.steps[:top]:
        used += s.bits
        first.append([printable(s.label), str(s.bits), f"{num(100 * used / curve.total_bits)}%"])
    emit(_table(f"{curve.units} protected first", ["unit", "stored bits", "bits protected"], first))


def write_curve_plot(curve: Curve, path: str | Path, title: str) -> None:
    """The expected quantity against the fraction of stored bits protected, in order and at random (and for damage,
    the NaN/inf values above it)."""
    plt = _pyplot()
    panels = [("nonfinite", curve.ordered_nonfinite, curve.random_nonfinite)] if curve.ordered_nonfinite else []
    panels.append((curve.by, curve.ordered, curve.random))
    fig, axes = plt.subplots(len(panels), 1, figsize=(7, 2.2 + 2.4 * len(panels)), dpi=110, sharex=True,
                             squeeze=False)  # fmt: skip
    # A log axis from a third of the first unit's share: that is where choosing well shows.
    first = 100 * curve.steps[0].bits / curve.total_bits if curve.steps else 1.0
    x = np.maximum(100 * np.asarray(curve.fractions), first / 3)
    try:
        for ax, (by, ordered, rnd) in zip(axes[:, 0], panels, strict=True):
            assert ordered is not None and rnd is not None
            ax.step(x, ordered, where="post", label=f"{curve.units} by vulnerability per stored bit")
            ax.plot(x, rnd, linestyle="--", label=f"{curve.units} in random order (mean of 64)")
            ax.set_xscale("log")
            ax.set_xlim(first / 3, 100)
            positive = [v for v in (*ordered, *rnd) if v > 0]
            if by == "damage" and positive:
                # One bit position outweighs the others by many orders of magnitude: only a log axis shows both.
                ax.set_yscale("log")
                ax.set_ylim(bottom=min(positive) / 2)
            else:
                ax.set_ylim(bottom=0)
            name = "NaN/inf values" if by == "nonfinite" else curve_name(curve).removeprefix("expected ")
            ax.set_ylabel(f"expected {name}", fontsize=8)
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=8)
        axes[-1, 0].set_xlabel("stored bits protected (%; the left edge: none)")
        axes[0, 0].set_title(f"{_plain(title)}\nat rate {curve.rate:.3g} ({_faults(curve)} per trial), the protected "
                             "bits' single faults corrected", fontsize=9)  # fmt: skip
        fig.tight_layout()
        _save(fig, path)
    finally:
        plt.close(fig)


def write_selection(curve: Curve, budget: float, path: str | Path, source: str) -> list[str]:
    """The tensors protected first within ``budget`` of the stored bits, one per line, under a comment that says
    what chose them; what ``corvane study --protect-only @FILE`` reads."""
    chosen = curve.selection(budget)
    unfit = next((n for n in chosen if "\n" in n or "\r" in n or n.startswith("#") or not n.strip()), None)
    if unfit is not None:
        raise StudyError(f"{path}: the tensor {unfit!r} cannot be listed one per line; give --protect-only globs")
    bits = sum(s.bits for s in curve.steps[: len(chosen)])
    left, rnd = curve.at(budget)
    with atomic_write(path) as f:
        f.write(f"# corvane map of {printable(source)}: the {len(chosen)} tensors protected first by vulnerability "
                f"per stored bit ({curve.by}),\n# {bits} stored bits ({bits / curve.total_bits:.3%}, budget {budget:.3%}); "
                f"{curve_name(curve)} at rate {curve.rate:.3g}: {num(left)} (random order: {num(rnd)})\n")  # fmt: skip
        for name in chosen:
            f.write(f"{name}\n")
    return chosen


__all__ = ["csv_text", "json_document", "print_curve", "print_map", "write_csv", "write_curve_plot",
           "write_heatmap", "write_json", "write_selection"]  # fmt: skip
