"""Reports of a campaign: the aggregate table, CSV (one row per trial), JSON and plots.

Every file is written to a temporary file beside its target and renamed over
it only when complete, so a failure never leaves a half-written file.
"""

from __future__ import annotations

import csv
import io
import json
import math
from collections.abc import Callable
from dataclasses import asdict
from pathlib import Path
from typing import Any

from .errors import printable
from .files import atomic_write
from .stats import mean_interval
from .vocabulary import COLUMNS, METRICS, OUTCOMES, Results, TrialRecord

PLOT_FORMATS = (".png", ".svg", ".pdf")


def _cell(v: Any) -> str:
    if v is None:
        return ""
    if isinstance(v, float):
        return repr(v)
    return str(v)


def csv_text(results: Results) -> str:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(COLUMNS)
    for r in results.records:
        row = r.as_row()
        w.writerow([_cell(row[c]) for c in COLUMNS])
    return buf.getvalue()


def write_csv(results: Results, path: str | Path) -> None:
    with atomic_write(path) as f:
        f.write(csv_text(results))


def _json_safe(v: Any) -> Any:
    if isinstance(v, float) and not math.isfinite(v):
        return None if math.isnan(v) else ("inf" if v > 0 else "-inf")
    if isinstance(v, dict):
        return {k: _json_safe(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [_json_safe(x) for x in v]
    return v


def json_document(results: Results) -> Any:
    aggs = []
    for a in results.aggregates():
        aggs.append(
            {
                "protection": a.protection,
                "rate": a.rate,
                "faults": a.faults,
                "trials": a.trials,
                "metrics": {m: {"mean": v[0], "low": v[1], "high": v[2]} for m, v in a.metrics.items()},
                "outcomes": a.outcomes,
            }
        )
    return _json_safe(
        {
            "config": results.config,
            "baseline_metric": results.baseline_metric,
            "skipped_tensors": [list(s) for s in results.skipped],
            "protections": [
                {**asdict(p), "clean": asdict(p.clean) if p.clean else None} for p in results.protections
            ],
            "trials": [r.as_row() for r in results.records],
            "aggregates": aggs,
        }
    )


def write_json(results: Results, path: str | Path) -> None:
    with atomic_write(path) as f:
        json.dump(json_document(results), f, indent=1)
        f.write("\n")


def _finite_aggregates(results: Results, metric: str) -> tuple[dict[str, list[tuple[float, float, float, float]]], int]:
    """Per protection: (rate, mean, low, high) of the metric over its finite values; and how many were not finite."""
    groups: dict[tuple[str, int], list[TrialRecord]] = {}
    for r in results.records:
        groups.setdefault((r.protection, r.point), []).append(r)
    by: dict[str, list[tuple[float, float, float, float]]] = {}
    left_out = 0
    for (name, _), recs in groups.items():
        values = [getattr(r, metric) for r in recs]
        finite = [v for v in values if v is not None and math.isfinite(v)]
        left_out += sum(v is not None for v in values) - len(finite)
        if finite:
            by.setdefault(name, []).append((recs[0].rate, *mean_interval(finite)))
    return by, left_out


def write_plot(results: Results, path: str | Path, metric: str) -> int:
    """The chosen metric against the rate (log axis), one line per protection with its 95% band.

    Trials whose metric is NaN or infinite cannot be drawn: each point is the
    mean of the finite ones, and the plot says how many were left out, which
    is also returned.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    by, left_out = _finite_aggregates(results, metric)
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
    try:
        for name, pts in by.items():
            pts.sort()
            x = [p[0] for p in pts]
            (line,) = ax.plot(x, [p[1] for p in pts], marker="o", label=name)
            # Counts and errors are never negative: the band stops at 0.
            low = [max(p[2], 0.0) if metric != "metric" else p[2] for p in pts]
            ax.fill_between(x, low, [p[3] for p in pts], color=line.get_color(), alpha=0.18)
        ax.set_xscale("log")
        positive = [v for r in results.records if (v := getattr(r, metric)) is not None and 0 < v < math.inf]
        if metric in ("max_abs_error", "mean_abs_error", "rel_l2_error") and positive:
            ax.set_yscale("symlog", linthresh=max(min(positive), 1e-300))
            ax.set_ylim(bottom=0)
        ax.set_xlabel("bit-error rate (faults per stored bit)")
        named = metric == "metric" and results.metric_name
        ax.set_ylabel(f"metric ({_plain(results.metric_name)})" if named else metric)
        kind = results.config.get("kind", "")
        title = f"{_plain(results.config.get('weights', ''))}: {kind} faults, mean and 95% interval"
        if left_out:
            title += f"\n{left_out} trials with a non-finite {metric} left out"
        ax.set_title(title, fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        if by:
            ax.legend(fontsize=8)
        fig.tight_layout()
        with atomic_write(path, "wb") as f:
            fig.savefig(f, format=Path(path).suffix.lower().lstrip("."))
    finally:
        plt.close(fig)
    return left_out


def _plain(text: object) -> str:
    # A '$' in a user's path would start matplotlib's math mode.
    return printable(text).replace("$", r"\$")


def _fmt(v: float | None) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if v == 0:
        return "0"
    if abs(v) >= 1e4 or abs(v) < 1e-3:
        return f"{v:.3g}"
    return f"{v:.4g}"


def table_rows(results: Results, metric: str) -> tuple[list[str], list[list[str]]]:
    head = ["protection", "rate", "faults", "trials", metric, "95% interval", "changed", "masked", "detected", "sdc"]
    rows = []
    for a in results.aggregates():
        m = a.metrics.get(metric)
        mean = "-" if m is None else _fmt(m[0])
        band = "-" if m is None else f"{_fmt(m[1])} .. {_fmt(m[2])}"
        rows.append(
            [a.protection, f"{a.rate:.3g}", str(a.faults), str(a.trials), mean, band,
             _fmt(a.metrics["values_changed"][0])]
            + [f"{a.outcomes[o]:.0%}" for o in OUTCOMES]
        )  # fmt: skip
    return head, rows


def print_table(results: Results, metric: str, out: Callable[[Any], None] | None = None) -> None:
    from rich.console import Console
    from rich.table import Table

    emit = out or Console(markup=False, emoji=False).print
    head, rows = table_rows(results, metric)
    table = Table(title="fault campaign: mean over trials", title_justify="left")
    for i, h in enumerate(head):
        table.add_column(h, justify="left" if i == 0 else "right")
    for r in rows:
        table.add_row(*r)
    emit(table)
    prot = Table(title="protections before any fault", title_justify="left")
    for h in ("protection", "stored bits", "bits/value", "clean: values changed", "clean: rel L2", "clean metric"):
        prot.add_column(h, justify="left" if h == "protection" else "right")
    for p in results.protections:
        if not p.applicable:
            prot.add_row(p.name, "not applicable", p.reason, "", "", "")
            continue
        prot.add_row(
            p.name, str(p.stored_bits), f"{p.bits_per_value:.3f}",
            str(p.clean.values_changed) if p.clean else "-",
            _fmt(p.clean.rel_l2_error) if p.clean else "-", _fmt(p.clean_metric),
        )  # fmt: skip
    emit(prot)
    if results.baseline_metric is not None:
        emit(f"metric of the unprotected, fault-free weights: {results.baseline_metric:.4f}")
    if results.skipped:
        emit("skipped tensors: " + ", ".join(f"{printable(n)} ({printable(d)})" for n, d in results.skipped))


__all__ = ["PLOT_FORMATS", "json_document", "print_table", "table_rows", "write_csv", "write_json", "write_plot"]
