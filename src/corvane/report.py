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

from .files import atomic_write
from .vocabulary import COLUMNS, METRICS, OUTCOMES, Aggregate, Results, Rounding

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
            "rounding": None if results.rounding is None else asdict(results.rounding),
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


def write_plot(results: Results, path: str | Path, metric: str) -> None:
    """The chosen metric against the rate (log axis), one line per protection with its 95% band."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=110)
    try:
        by: dict[str, list[Aggregate]] = {}
        for a in results.aggregates():
            by.setdefault(a.protection, []).append(a)
        for name, aggs in by.items():
            aggs.sort(key=lambda a: a.rate)
            pts = [(a.rate, *a.metrics[metric]) for a in aggs if metric in a.metrics]
            if not pts:
                continue
            x = [p[0] for p in pts]
            (line,) = ax.plot(x, [p[1] for p in pts], marker="o", label=name)
            # Counts and errors are never negative: the band stops at 0.
            low = [max(p[2], 0.0) if metric != "metric" else p[2] for p in pts]
            ax.fill_between(x, low, [p[3] for p in pts], color=line.get_color(), alpha=0.18)
        ax.set_xscale("log")
        if metric in ("max_abs_error", "mean_abs_error", "rel_l2_error") and _positive(results, metric):
            ax.set_yscale("symlog", linthresh=_linthresh(results, metric))
            ax.set_ylim(bottom=0)
        pattern, bits = results.config.get("pattern") or "single", results.config.get("bits")
        per = "chosen" if bits else "stored"
        what = "bit-error rate (faults" if pattern == "single" else f"fault rate ({pattern} faults"
        ax.set_xlabel(f"{what} per {per} bit)")
        named = metric == "metric" and results.metric_name
        ax.set_ylabel(f"metric ({results.metric_name})" if named else metric)
        what = " ".join(x for x in (results.config.get("kind", ""), "" if pattern == "single" else pattern) if x)
        where = f" in bits {bits}" if bits else ""
        ax.set_title(f"{results.config.get('weights', '')}: {what} faults{where}, mean and 95% interval", fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        with atomic_write(path, "wb") as f:
            fig.savefig(f, format=Path(path).suffix.lower().lstrip("."))
    finally:
        plt.close(fig)


def _positive(results: Results, metric: str) -> bool:
    return any((getattr(r, metric) or 0) > 0 for r in results.records)


def _linthresh(results: Results, metric: str) -> float:
    vals = [getattr(r, metric) for r in results.records if (getattr(r, metric) or 0) > 0]
    return max(float(min(vals)), 1e-300)


def _fmt(v: float | None) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if v == 0:
        return "0"
    if abs(v) >= 1e4 or abs(v) < 1e-3:
        return f"{v:.3g}"
    return f"{v:.4g}"


def rounding_text(r: Rounding) -> str:
    loss = r.loss
    text = (
        f"stored as {r.dtype} (float32 rounded to nearest even), before any fault: {loss.values_changed} values "
        f"changed, rel L2 {_fmt(loss.rel_l2_error)}, max abs {_fmt(loss.max_abs_error)}"
    )
    if loss.nonfinite:
        text += f", {loss.nonfinite} beyond its range (now infinite)"
    if r.metric_before is not None and r.metric_after is not None:
        text += f"; metric {r.metric_before:.4f} as float32, {r.metric_after:.4f} as {r.dtype}"
    return text


def selection_text(config: dict[str, Any]) -> str:
    """Which tensors the protections were applied to, by a config that has ``protect_only``."""
    chosen = set(config["protect_only"])
    sizes = {str(n): math.prod(shape) for n, shape, _ in config["tensors"]}
    values = sum(v for n, v in sizes.items() if n in chosen)
    shown = ", ".join(sorted(chosen)[:5]) + (", ..." if len(chosen) > 5 else "")
    return (f"protections applied only to {len(chosen)} of {len(sizes)} tensors ({values} of {sum(sizes.values())} "
            f"values: {shown}); the others are stored as they are, and rates count the stored bits of both")  # fmt: skip


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

    console = Console()
    emit = out or console.print
    head, rows = table_rows(results, metric)
    table = Table(title="fault campaign: mean over trials", title_justify="left")
    for i, h in enumerate(head):
        table.add_column(h, justify="left" if i == 0 else "right")
    for r in rows:
        table.add_row(*r)
    emit(table)
    prot = Table(title="protections before any fault", title_justify="left")
    chosen = any(p.targeted_bits is not None for p in results.protections)
    heads = ["protection", "stored bits", *(["chosen bits"] if chosen else []), "bits/value", "clean: values changed",
             "clean: rel L2", "clean metric"]  # fmt: skip
    for h in heads:
        prot.add_column(h, justify="left" if h == "protection" else "right")
    for p in results.protections:
        if not p.applicable:
            prot.add_row(p.name, "not applicable", p.reason, *[""] * (len(heads) - 3))
            continue
        prot.add_row(
            p.name, str(p.stored_bits), *([str(p.targeted_bits)] if chosen else []), f"{p.bits_per_value:.3f}",
            str(p.clean.values_changed) if p.clean else "-",
            _fmt(p.clean.rel_l2_error) if p.clean else "-", _fmt(p.clean_metric),
        )  # fmt: skip
    emit(prot)
    if results.config.get("protect_only"):
        emit(selection_text(results.config))
    if results.rounding is not None:
        emit(rounding_text(results.rounding))
    if results.baseline_metric is not None:
        emit(f"metric of the unprotected, fault-free weights: {results.baseline_metric:.4f}")
    if results.skipped:
        emit("skipped tensors: " + ", ".join(f"{n} ({d})" for n, d in results.skipped))


__all__ = ["PLOT_FORMATS", "json_document", "print_table", "table_rows", "write_csv", "write_json", "write_plot"]
