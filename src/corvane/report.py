"""Reports of a campaign: the tables, CSV (one row per trial), JSON and plots.

Every file is written to a temporary file beside its target and renamed over
it only when complete, so a failure never leaves a half-written file.
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

from .errors import printable
from .files import atomic_write
from .intervals import MetricInterval, Proportion
from .results import ANY_SILENT, EXPECTATION_SLACK, Aggregate, Results, outcome_names
from .version import corvane_version
from .vocabulary import COLUMNS, Rounding

PLOT_FORMATS = (".png", ".svg", ".pdf")
#: Titles of the outcome columns and plots.
LABELS = {
    "masked": "masked",
    "sdc": "sdc",
    "sdc_tolerable": "sdc tolerable",
    "sdc_critical": "sdc critical",
    "due": "due",
    "false_due": "false due",
    ANY_SILENT: "any silent",
}
#: Appended to an observed value whose interval excludes what probability theory expects.
OUTSIDE = "!"


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


def _fraction(p: Proportion) -> dict[str, Any]:
    return {"fraction": p.fraction, "low": p.low, "high": p.high, "count": p.count}


def _mean(m: MetricInterval) -> dict[str, Any]:
    return {"mean": m.mean, "low": m.low, "high": m.high, "n": m.n, "nonfinite": m.nonfinite}


def json_document(results: Results) -> Any:
    aggs = []
    for a in results.aggregates():
        aggs.append(
            {
                "protection": a.protection,
                "rate": a.rate,
                "faults": a.faults,
                "trials": a.trials,
                "outcomes": {o: _fraction(p) for o, p in a.outcomes.items()},
                "events": {e: _fraction(p) for e, p in a.events.items()},
                "metrics": {m: _mean(v) for m, v in a.metrics.items()},
                "expected": a.expected,
                "outside": [c.name for c in a.checks() if c.outside],
            }
        )
    return _json_safe(
        {
            "corvane_version": corvane_version(),
            "confidence": results.confidence,
            "weights_digest": results.weights_digest,
            "config": results.config,
            "baseline_metric": results.baseline_metric,
            "metric_name": results.metric_name,
            "metric_range": list(results.metric_range),
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


# ---- tables ------------------------------------------------------------------------------------


def _fmt(v: float | None, digits: int = 4) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "-"
    if v == 0:
        return "0"
    if abs(v) >= 1e4 or abs(v) < 1e-3:
        return f"{v:.3g}"
    return f"{v:.{digits}g}"


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


def _pct(v: float) -> str:
    """A fraction as a number of percent, with the digits that tell small ones and ones near 100 apart."""
    if math.isnan(v):
        return "-"
    p = 100 * v
    if v in (0.0, 1.0):
        return f"{p:.0f}"
    if p < 0.001:
        return "<0.001"
    if p > 99.999:
        return ">99.999"
    if p < 0.01:
        return f"{p:#.2g}"
    if p > 99.9:
        return f"{p:.6g}"
    return f"{p:#.3g}" if p < 10 else f"{p:.1f}"


def _expected(v: float) -> str:
    # Below the expectations' accuracy a value is 0 as far as anyone can tell.
    return "<1e-9" if 0 < abs(v) < EXPECTATION_SLACK else _fmt(v, 3)


def _band(low: float, high: float) -> str:
    return f"{_fmt(low, 3)}–{_fmt(high, 3)}"


def _fraction_cell(p: Proportion, expected: float | None, outside: bool) -> str:
    mark = OUTSIDE if outside else ""
    cell = f"{_pct(p.fraction)}%{mark}\n{_pct(p.low)}–{_pct(p.high)}"
    return cell if expected is None else f"{cell}\nexp {_pct(expected)}"


def _level(results: Results) -> str:
    return f"{100 * results.confidence:.4g}%"


def _outside(a: Aggregate) -> set[str]:
    return {c.name for c in a.checks() if c.outside}


def _split(results: Results) -> bool:
    return results.config.get("tolerance") is not None


def metric_rows(results: Results, metric: str) -> tuple[list[str], list[list[str]]]:
    """Per cell: the metric's mean over the trials with a finite value, its interval, and the others counted."""
    head = ["protection", "rate", "faults", "trials", f"{metric}", f"{_level(results)} interval", "non-finite",
            "values changed"]  # fmt: skip
    rows = []
    for a in results.aggregates():
        m = a.metrics.get(metric)
        changed = a.metrics["values_changed"]
        rows.append([a.protection, f"{a.rate:.3g}", str(a.faults), str(a.trials),
                     "-" if m is None else _fmt(m.mean), "-" if m is None else _band(m.low, m.high),
                     "-" if m is None else str(m.nonfinite), _fmt(changed.mean)])  # fmt: skip
    return head, rows


def outcome_rows(results: Results) -> tuple[list[str], list[list[str]]]:
    """Per cell: every outcome fraction with its interval and, where probability theory gives one, its
    expectation beneath."""
    names = outcome_names(_split(results))
    head = ["protection", "rate", *(LABELS[o] for o in names)]
    rows = []
    for a in results.aggregates():
        outside = _outside(a)
        rows.append([a.protection, f"{a.rate:.3g}"]
                    + [_fraction_cell(a.outcomes[o], a.expected.get(o), o in outside) for o in names])  # fmt: skip
    return head, rows


def expectation_tables(results: Results) -> list[tuple[str, list[str], list[list[str]]]]:
    """Per protection: (title, head, rows) of the expectations that are not outcome fractions (those sit in
    the main table), each observed value with its interval and its expectation beneath. The faults per
    trial, fixed by the level, are left to the main table."""
    shown = set(outcome_names(True)) | {"faults"}
    by: dict[str, list[Aggregate]] = {}
    for a in results.aggregates():
        by.setdefault(a.protection, []).append(a)
    out = []
    for name, aggs in by.items():
        quantities: list[str] = []
        for a in aggs:
            quantities += [q for q in a.expected if q not in shown and q not in quantities]
        if not quantities:
            continue
        rows = []
        for a in aggs:
            outside = _outside(a)
            row = [f"{a.rate:.3g}"]
            for q in quantities:
                seen = a.observed(q)
                if seen is None or q not in a.expected:
                    row.append("-")
                    continue
                mark = OUTSIDE if q in outside else ""
                row.append(f"{_fmt(seen[0])}{mark}\n{_band(seen[1], seen[2])}\nexp {_expected(a.expected[q])}")
            rows.append(row)
        out.append((name, ["rate", *(q.replace("_", " ") for q in quantities)], rows))
    return out


def expectation_rows(results: Results) -> list[list[str]]:
    """Every expectation beside the value observed under its name, its interval, and whether that excludes it."""
    rows = []
    for a in results.aggregates():
        for c in a.checks():
            judged = "-" if c.outside is None else ("OUTSIDE" if c.outside else "ok")
            rows.append([a.protection, f"{a.rate:.3g}", c.name, _fmt(c.expected), _fmt(c.observed),
                         f"{_fmt(c.low)} .. {_fmt(c.high)}", judged])  # fmt: skip
    return rows


def print_table(results: Results, metric: str, out: Callable[[Any], None] | None = None) -> None:
    from rich.console import Console
    from rich.table import Table

    emit = out or Console(markup=False, emoji=False).print
    level = _level(results)
    kind = results.config.get("kind", "flip")
    head, rows = metric_rows(results, metric)
    table = Table(title=f"fault campaign ({kind} faults): {printable(metric_label(results, metric))}, mean over "
                  "trials", title_justify="left")  # fmt: skip
    for i, h in enumerate(head):
        table.add_column(h, justify="left" if i == 0 else "right")
    for r in rows:
        table.add_row(*r)
    emit(table)
    head, rows = outcome_rows(results)
    table = Table(title=f"outcomes: % of trials, {level} interval, and what probability theory expects (exp)",
                  title_justify="left")  # fmt: skip
    for i, h in enumerate(head):
        table.add_column(h, justify="left" if i == 0 else "right", no_wrap=True)
    for r in rows:
        table.add_row(*r)
    emit(table)
    for name, head, rows in expectation_tables(results):
        exp = Table(title=f"{name}: observed, interval, expected", title_justify="left")
        for h in head:
            exp.add_column(h, justify="right")
        for r in rows:
            exp.add_row(*r)
        emit(exp)
    checks = expectation_rows(results)
    if checks:
        outside = [r for r in checks if r[-1] == "OUTSIDE"]
        judged = sum(r[-1] != "-" for r in checks)
        chance = (1 - results.confidence) * judged
        emit(f"expectations: {judged} compared, {len(outside)} outside their interval (marked {OUTSIDE}; by chance "
             f"alone about {chance:.2g} would be, at {level})")  # fmt: skip
    elif kind != "flip":
        emit("expectations: none for stuck-at faults (what they change depends on the data)")
    prot = Table(title="protections before any fault", title_justify="left")
    chosen = any(p.targeted_bits is not None for p in results.protections)
    heads = ["protection", "stored bits", *(["chosen bits"] if chosen else []), "bits/value", "clean: values changed",
             "clean: rel L2", "clean metric"]  # fmt: skip
    for h in heads:
        prot.add_column(h, justify="left" if h == "protection" else "right")
    for p in results.protections:
        if not p.applicable:
            prot.add_row(p.name, "not applicable", printable(p.reason), *[""] * (len(heads) - 3))
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
        emit("skipped tensors: " + ", ".join(f"{printable(n)} ({printable(d)})" for n, d in results.skipped))


# ---- plots -------------------------------------------------------------------------------------

_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "<", ">", "*")
_LINES = ("-", "--", "-.", ":")
#: Decades between the x positions of neighbouring protections, so that coinciding points stay apart.
_DODGE = 0.025


def _styles(names: Sequence[str], colours: Sequence[str]) -> dict[str, dict[str, Any]]:
    """Colour, marker, line style and x offset of each protection: coinciding lines stay distinguishable."""
    mid = (len(names) - 1) / 2
    return {
        n: {"color": colours[i % len(colours)], "marker": _MARKERS[i % len(_MARKERS)],
            "linestyle": _LINES[i % len(_LINES)], "dodge": 10 ** (_DODGE * (i - mid)), "zorder": 3 + len(names) - i}
        for i, n in enumerate(names)
    }  # fmt: skip


def _by_protection(results: Results) -> dict[str, list[Aggregate]]:
    by: dict[str, list[Aggregate]] = {p.name: [] for p in results.protections if p.applicable}
    for a in results.aggregates():
        by.setdefault(a.protection, []).append(a)
    for aggs in by.values():
        aggs.sort(key=lambda a: a.rate)
    return by


def _save(fig: Any, path: str | Path) -> None:
    with atomic_write(path, "wb") as f:
        fig.savefig(f, format=Path(path).suffix.lower().lstrip("."))


def pyplot() -> Any:
    """matplotlib's pyplot, drawing to files only."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _colours(plt: Any) -> list[str]:
    return list(plt.rcParams["axes.prop_cycle"].by_key()["color"])


def _by_count(results: Results) -> bool:
    """Whether the campaign's levels are fault counts: then every protection shares them, while the rate they
    amount to differs with each protection's stored bits."""
    return results.config.get("counts") is not None


def _level_of(results: Results, a: Aggregate) -> float:
    return float(a.faults) if _by_count(results) else a.rate


def _level_axis(ax: Any, results: Results) -> None:
    from matplotlib.ticker import NullFormatter

    ax.set_xscale("log")
    # Within a decade matplotlib labels the minor ticks too, and they run into each other.
    ax.xaxis.set_minor_formatter(NullFormatter())
    if _by_count(results):  # a few counts, often within one decade: label each
        counts = sorted(set(results.config["counts"]))
        ax.set_xticks(counts, [str(c) for c in counts])


def _rate_label(results: Results) -> str:
    """What the level axis counts: faults per trial, or faults (events of the pattern) per stored bit, or per
    chosen bit."""
    if _by_count(results):
        pattern = results.config.get("pattern") or "single"
        return "faults per trial" if pattern == "single" else f"{pattern} faults per trial"
    pattern, bits = results.config.get("pattern") or "single", results.config.get("bits")
    per = "chosen" if bits else "stored"
    what = "bit-error rate (faults" if pattern == "single" else f"fault rate ({pattern} faults"
    return f"{what} per {per} bit)"


def _faults_title(results: Results) -> str:
    pattern, bits = results.config.get("pattern") or "single", results.config.get("bits")
    what = " ".join(x for x in (results.config.get("kind", ""), "" if pattern == "single" else pattern) if x)
    where = f" in bits {bits}" if bits else ""
    return f"{_plain(results.config.get('weights', ''))}: {what} faults{where}"


def metric_label(results: Results, metric: str) -> str:
    """The y label: the task metric's own name where it has one, else the column's."""
    if metric == "metric" and results.metric_name:
        return results.metric_name
    return metric


def write_plot(results: Results, path: str | Path, metric: str) -> None:
    """The chosen metric against the rate (log axis), one line per protection with its interval band.

    Non-finite trials are left out of a mean and counted beside its point; a
    protection without a finite value keeps its legend entry.
    """
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=110)
    try:
        by = _by_protection(results)
        styles = _styles(list(by), _colours(plt))
        low_bound = results.metric_range[0] if metric == "metric" else 0.0
        for name, aggs in by.items():
            st = styles[name]
            pts = [(_level_of(results, a) * st["dodge"], a.metrics[metric]) for a in aggs if metric in a.metrics]
            finite = [(x, m) for x, m in pts if math.isfinite(m.mean)]
            label = name if finite else f"{name} (no finite value)"
            x = [p[0] for p in finite]
            ax.plot(x, [m.mean for _, m in finite], marker=st["marker"], linestyle=st["linestyle"], color=st["color"],
                    label=label, zorder=st["zorder"], markerfacecolor="none")  # fmt: skip
            band = [(xi, m) for xi, m in finite if math.isfinite(m.low) and math.isfinite(m.high)]
            if band:
                low = [m.low if low_bound is None else max(m.low, low_bound) for _, m in band]
                ax.fill_between([b[0] for b in band], low, [m.high for _, m in band], color=st["color"], alpha=0.15,
                                zorder=1)  # fmt: skip
            for xi, m in pts:
                if m.nonfinite:
                    y = m.mean if math.isfinite(m.mean) else 0.0
                    ax.annotate(f"{m.nonfinite} non-finite", (xi, y), textcoords="offset points", xytext=(4, 4),
                                fontsize=7, color=st["color"])  # fmt: skip
        _level_axis(ax, results)
        if metric != "metric" and _positive(results, metric):
            ax.set_yscale("symlog", linthresh=_linthresh(results, metric))
            ax.set_ylim(bottom=0)
        ax.set_xlabel(_rate_label(results))
        ax.set_ylabel(_plain(metric_label(results, metric)))
        ax.set_title(f"{_faults_title(results)}, mean and {_level(results)} interval", fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
        fig.tight_layout()
        _save(fig, path)
    finally:
        plt.close(fig)


def write_outcome_plot(results: Results, path: str | Path) -> None:
    """Every outcome fraction against the rate, one panel per outcome, one line per protection.

    Fractions are on a log scale that turns linear just above 0, so a
    fraction of 0 sits visibly on the axis (drawn as an open marker) instead
    of vanishing; error bars are the Clopper-Pearson intervals; a cross marks what
    probability theory expects, where it does.
    """
    plt = pyplot()
    names = outcome_names(_split(results))
    cols = 3
    rows = -(-len(names) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 3.4 * rows), dpi=110, sharex=True, squeeze=False)
    try:
        by = _by_protection(results)
        styles = _styles(list(by), _colours(plt))
        most = max((a.trials for aggs in by.values() for a in aggs), default=1)
        # Below one trial in the largest cell there is nothing to resolve: the log scale stops there.
        linthresh = 10 ** math.floor(math.log10(1.0 / max(most, 1)))
        for ax, outcome in zip(axes.flat, names, strict=False):
            for name, aggs in by.items():
                st = styles[name]
                x = [_level_of(results, a) * st["dodge"] for a in aggs]
                p = [a.outcomes[outcome] for a in aggs]
                y = [q.fraction for q in p]
                err = [[q.fraction - q.low for q in p], [q.high - q.fraction for q in p]]
                colour = st["color"]
                bars = ax.errorbar(x, y, yerr=err, marker=st["marker"], linestyle=st["linestyle"], color=colour,
                                   capsize=2, elinewidth=0.8, label=name, zorder=st["zorder"], markersize=5)
                # Faint bars, so that the fractions (and the many intervals of cells at 0) do not drown them.
                for part in (*bars[1], *bars[2]):
                    part.set_alpha(0.45)
                zeros = [(xi, yi) for xi, yi in zip(x, y, strict=True) if yi == 0]
                if zeros:
                    ax.plot([z[0] for z in zeros], [0.0] * len(zeros), linestyle="none", marker=st["marker"],
                            markersize=7, markerfacecolor="white", markeredgecolor=colour, zorder=st["zorder"] + 1)
                expect = [(xi, a.expected[outcome]) for xi, a in zip(x, aggs, strict=True) if outcome in a.expected]
                if expect:
                    ax.plot([e[0] for e in expect], [e[1] for e in expect], linestyle="none", marker="x",
                            color=colour, markersize=6, zorder=st["zorder"] + 1)  # fmt: skip
            _level_axis(ax, results)
            ax.set_yscale("symlog", linthresh=linthresh, linscale=0.5)
            ax.set_ylim(-0.02 * linthresh, 1.3)
            ax.axhline(0.0, color="0.5", linewidth=0.8, zorder=0)
            ax.set_title(LABELS[outcome], fontsize=10)
            ax.grid(True, which="both", alpha=0.3)
        for ax in axes.flat[len(names) :]:
            ax.axis("off")
        for ax in axes[-1]:
            ax.set_xlabel(_rate_label(results))
        for ax in axes[:, 0]:
            ax.set_ylabel("fraction of trials")
        handles, labels = axes.flat[0].get_legend_handles_labels()
        if any(a.expected for aggs in by.values() for a in aggs):
            handles.append(plt.Line2D([], [], linestyle="none", marker="x", color="0.3"))
            labels.append("expected")
        fig.legend(handles, labels, loc="lower center", fontsize=8, ncols=min(len(labels), 6))
        fig.suptitle(f"{_faults_title(results)}, fractions of trials with {_level(results)} intervals (open marker: "
                     "none of the trials)", fontsize=10)  # fmt: skip
        fig.tight_layout(rect=(0, 0.06, 1, 1))
        _save(fig, path)
    finally:
        plt.close(fig)


def _positive_values(results: Results, metric: str) -> list[float]:
    return [v for r in results.records if (v := getattr(r, metric)) is not None and 0 < v < math.inf]


def _positive(results: Results, metric: str) -> bool:
    return bool(_positive_values(results, metric))


def _linthresh(results: Results, metric: str) -> float:
    return max(float(min(_positive_values(results, metric))), 1e-300)


def _plain(text: object) -> str:
    """A user's text as matplotlib draws it literally: control characters escaped, '$' not starting math."""
    return printable(text).replace("$", r"\$")


__all__ = [
    "PLOT_FORMATS",
    "expectation_rows",
    "expectation_tables",
    "json_document",
    "metric_rows",
    "outcome_rows",
    "print_table",
    "write_csv",
    "write_json",
    "write_outcome_plot",
    "write_plot",
]
