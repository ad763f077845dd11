"""Outcomes, intervals, expectations and the margin rule, on whole campaigns."""

import json
import math

import numpy as np
import pytest

from corvane import Campaign, StudyError, WeightSet
from corvane.errors import Interrupted
from corvane.report import json_document, write_outcome_plot, write_plot
from corvane.results import Margin, outcome_names
from corvane.rundir import load
from corvane.vocabulary import METRICS

from weightsets import tiny


def floats(n, seed=0):
    return WeightSet.from_arrays([("w", np.random.default_rng(seed).normal(0, 0.5, n).astype(np.float32))])


def rows(records):
    return [{k: repr(v) for k, v in r.as_row().items() if k != "seconds"} for r in records]


def by_cell(results):
    return {(a.protection, a.faults): a for a in results.aggregates()}


# ---- the figures -------------------------------------------------------------------


def test_one_fault_on_secded64_is_a_false_due_one_time_in_72_and_never_a_due():
    res = Campaign(floats(300), ["secded:64", "secded-pc:64"], counts=[1, 20], trials=3000, seed=4).run()
    cells = by_cell(res)
    one = cells[("secded:64", 1)]
    false_due = one.outcomes["false_due"]
    assert one.expected["false_due"] == pytest.approx(1 / 72, rel=1e-12)
    assert false_due.low <= 1 / 72 <= false_due.high and false_due.fraction == pytest.approx(1 / 72, abs=0.005)
    assert one.outcomes["due"].count == 0 and one.outcomes["sdc"].count == 0
    # The decoder that passes a lone parity error never raises a false alarm on one fault.
    assert cells[("secded-pc:64", 1)].outcomes["masked"].fraction == 1.0
    # Twenty faults on 150 chunks: double hits are common, and the due fraction agrees with probability theory.
    many = cells[("secded:64", 20)]
    due = many.outcomes["due"]
    assert 0.2 < many.expected["due"] < 0.9 and due.low <= many.expected["due"] <= due.high
    assert cells[("secded-pc:64", 20)].outcomes["false_due"].fraction < many.outcomes["false_due"].fraction


# ---- expectations against long campaigns ----------------------------------------------------


LONG = [
    # (weights, protections, fault counts): full chunks, partial chunks with fill and the pad of odd 8-bit
    # data, two storage groups, and every protection on the element types it takes.
    (lambda: floats(300), ["none", "secded:64", "secded-pc:64", "cep:D3P1", "mset"], [1, 12]),
    (lambda: tiny("uint8", sizes=(101, 20)), ["secded:36", "secded-pc:36"], [3, 9]),
    (lambda: tiny("float16", sizes=(90, 7)), ["cep:D7P1", "cep:D15P1", "mset"], [2, 30]),
    (lambda: WeightSet.from_arrays([("a", np.ones(40, np.float32)), ("b", np.arange(33, dtype=np.uint8))]),
     ["none", "secded:64"], [6]),
]  # fmt: skip


@pytest.mark.parametrize("make,protections,counts", LONG)
def test_expectations_agree_with_long_campaigns(make, protections, counts):
    res = Campaign(make(), protections, counts=counts, trials=1000, seed=17).run()
    # At 99.99% a right formula is outside by chance about once in 10^4 comparisons; a wrong one by a
    # few standard errors of 1000 trials is outside.
    res.confidence = 0.9999
    for a in res.aggregates():
        assert {"faults", "masked", "sdc", "any_silent"} <= set(a.expected), a.protection
        checks = a.checks()
        assert len(checks) == len(a.expected) >= 5
        for check in checks:
            assert check.outside is False, (a.protection, a.faults, check)


def test_stuck_at_campaigns_have_no_expectations():
    res = Campaign(floats(50), ["none", "secded:64"], counts=[3], trials=5, kind="stuck-at-1").run()
    assert all(a.expected == {} for a in res.aggregates())
    assert all(p.expected == [] for p in res.protections)


# ---- intervals stay within what is possible -----------------------------------------------


def flaky_accuracy(weights):
    """An accuracy-like metric in [0, 1] that is NaN whenever a weight became non-finite or very large."""
    with np.errstate(invalid="ignore"):
        w = np.concatenate([a.ravel().astype(np.float64) for a in weights.values()])
    if not np.isfinite(w).all() or np.abs(w).max() > 1e3:
        return math.nan
    return float(np.clip(1.0 - np.abs(w).sum() / 1e3, 0.0, 1.0))


def within(value, low, high, lo_bound=-math.inf, hi_bound=math.inf):
    return lo_bound <= low <= value <= high <= hi_bound


def test_no_interval_leaves_what_is_possible_with_nan_trials_and_edge_cells():
    ws = floats(64, seed=3)
    res = Campaign(ws, ["none", "secded:64", "cep:D3P1", "mset"], counts=[1, 40, 600], trials=25, seed=2,
                   evaluate=flaky_accuracy, metric_range=(0, 1)).run()  # fmt: skip
    fractions = edges = nonfinite = 0
    for a in res.aggregates():
        for p in [*a.outcomes.values(), *a.events.values()]:
            assert within(p.fraction, p.low, p.high, 0.0, 1.0) and p.count == round(p.fraction * a.trials)
            edges += p.count in (0, a.trials)
            fractions += 1
        for name, m in a.metrics.items():
            assert m.n + m.nonfinite == a.trials
            low_bound, high_bound = (0.0, 1.0) if name == "metric" else (0.0, math.inf)
            if m.n >= 2:
                assert within(m.mean, m.low, m.high, low_bound, high_bound), (a.protection, a.faults, name, m)
            nonfinite += m.nonfinite
    assert edges > 10 and fractions > 50
    # Some trials' metric is NaN: they are counted and the row keeps its mean of the others.
    assert nonfinite > 0
    none_600 = by_cell(res)[("none", 600)].metrics["metric"]
    assert none_600.nonfinite > 0 and (none_600.n == 0 or math.isfinite(none_600.mean))
    doc = json.loads(json.dumps(json_document(res)))
    for agg in doc["aggregates"]:
        for p in agg["outcomes"].values():
            assert set(p) == {"fraction", "low", "high", "count"} and 0 <= p["low"] <= p["high"] <= 1
        for m in agg["metrics"].values():
            assert set(m) == {"mean", "low", "high", "n", "nonfinite"}


def test_heavy_tailed_errors_keep_their_interval_at_or_above_zero():
    # Flips of high exponent bits give rel_l2_error from tiny to astronomically large.
    ws = floats(2000, seed=1)
    res = Campaign(ws, ["none"], counts=[1], trials=60, seed=3).run()
    (a,) = res.aggregates()
    m = a.metrics["rel_l2_error"]
    values = np.array([r.rel_l2_error for r in res.records])
    assert values.max() / np.median(values) > 1e6  # the heavy tail the t interval fails on
    assert 0.0 <= m.low <= m.mean <= m.high <= values.max()


# ---- tolerance ------------------------------------------------------------------------------


def mean_abs(weights):
    with np.errstate(invalid="ignore", over="ignore"):
        values = np.concatenate([a.ravel().astype(np.float64) for a in weights.values()])
        return float(np.mean(np.minimum(np.abs(values), 1e6)))


def test_tolerance_splits_sdc_by_the_task_metric():
    ws = floats(200, seed=5)
    tol = 1e-4
    res = Campaign(ws, ["none", "mset"], counts=[1, 5], trials=40, seed=1, evaluate=mean_abs, tolerance=tol).run()
    clean = {p.name: p.clean_metric for p in res.protections}
    split = {"sdc_tolerable": 0, "sdc_critical": 0}
    for r in res.records:
        if r.outcome in split:
            split[r.outcome] += 1
            assert (abs(r.metric - clean[r.protection]) <= tol) == (r.outcome == "sdc_tolerable")
        else:
            assert r.outcome in ("masked", "due", "false_due") and r.outcome != "sdc"
    assert min(split.values()) > 0
    for a in res.aggregates():
        assert set(a.outcomes) == set(outcome_names(True))
        assert a.outcomes["sdc"].count == a.outcomes["sdc_tolerable"].count + a.outcomes["sdc_critical"].count
    assert res.config["tolerance"] == tol


def test_a_metric_outside_its_declared_range_stops_the_campaign_at_once():
    with pytest.raises(StudyError, match=r"returned 1\.5, outside the metric's range 0:1"):
        Campaign(floats(10), ["none"], counts=[1], trials=3, evaluate=lambda a: 1.5, metric_range=(0, 1)).run()
    nan = Campaign(floats(10), ["none"], counts=[1], trials=3, evaluate=lambda a: math.nan, metric_range=(0, 1)).run()
    assert all(math.isnan(r.metric) for r in nan.records)  # not a value outside: counted as non-finite


@pytest.mark.parametrize("kwargs, message", [
    (dict(tolerance=0.1), "a tolerance needs a task metric"),
    (dict(tolerance=-1.0, evaluate=mean_abs), "tolerance must be a finite number of at least 0"),
    (dict(margin=0.5), "margin must lie strictly between 0 and 0.5"),
    (dict(margin=0.02, batch=0), "batch must be at least 1"),
    (dict(confidence=1.0), "confidence must lie strictly between 0 and 1"),
    (dict(metric_range=(1.0, 0.0)), "the low end 1.0 is not below the high end 0.0"),
    (dict(metric_range=(0.0, math.inf)), "is not a finite number"),
])  # fmt: skip
def test_bad_outcome_options_are_study_errors(kwargs, message):
    with pytest.raises(StudyError, match=message):
        Campaign(floats(10), ["none"], counts=[1], **kwargs)


# ---- margin ---------------------------------------------------------------------------------

MARGIN = dict(counts=[1, 3], seed=8, margin=0.02)
MARGIN_PROTECTIONS = ["none", "secded:64", "secded-pc:64", "mset"]


def half_widths(records, n, confidence=0.95):
    from corvane.intervals import proportion
    from corvane.results import _is

    head = [r for r in records if r.trial < n]
    assert len(head) == n
    return [proportion(sum(_is(r, o) for r in head), n, confidence).half_width for o in outcome_names(False)]


def test_margin_stops_each_cell_where_the_interval_rule_first_holds():
    ws = floats(300)
    res = Campaign(ws, MARGIN_PROTECTIONS, **MARGIN).run()
    margin = Margin(0.02)
    assert res.config["trials"] == 2450 and res.config["margin"] == margin.as_config()  # the worst case, batched
    stops = set()
    for a in res.aggregates():
        cell = [r for r in res.records if (r.protection, r.point) == (a.protection, a.point)]
        n = a.trials
        assert sorted(r.trial for r in cell) == list(range(n)) and n % margin.batch == 0
        assert max(half_widths(cell, n)) <= 0.02
        if n > margin.batch:  # one batch earlier the rule did not hold yet
            full = Campaign(ws, [a.protection], counts=[a.faults], trials=n - margin.batch, seed=8).run()
            assert rows(full.records) == rows([r for r in cell if r.trial < n - margin.batch])
            assert max(half_widths(full.records, n - margin.batch)) > 0.02
        stops.add(n)
    assert len(stops) > 1  # cells stop at different counts


def test_margin_rows_do_not_depend_on_workers_or_interruptions(tmp_path):
    ws = floats(300)
    serial = Campaign(ws, MARGIN_PROTECTIONS, **MARGIN).run()
    forked = Campaign(ws, MARGIN_PROTECTIONS, **MARGIN).run(workers=2)
    assert rows(forked.records) == rows(serial.records)
    seen = []

    def stop_after_some(rec):
        seen.append(rec)
        if len(seen) == 333:
            raise KeyboardInterrupt

    out = tmp_path / "run"
    with pytest.raises(Interrupted) as info:
        Campaign(ws, MARGIN_PROTECTIONS, **MARGIN).run(stop_after_some, out=out)
    assert info.value.done == 333
    totals = []
    resumed = Campaign(ws, MARGIN_PROTECTIONS, **MARGIN).run(out=out, workers=2, on_total=totals.append)
    assert rows(resumed.records) == rows(serial.records)
    assert totals and totals[-1] == len(serial.records)
    kept, total = load(out)
    assert rows(kept.records) == rows(serial.records) and total == len(serial.records)
    assert strip(kept) == strip(serial)


def strip(results):
    out = json_document(results)["aggregates"]
    for agg in out:
        del agg["metrics"]["seconds"]  # the one figure that is not a function of the trials
    return out


def test_worst_case_uses_the_finite_population_of_fault_patterns():
    ws = floats(2)  # 64 bits unprotected, 72 as one SEC-DED chunk
    c = Campaign(ws, ["none", "secded:64"], counts=[1, 2], margin=0.02)
    worst = c.worst_cases()
    # n0 = 1.96^2 / (4 * 0.02^2) = 2401, corrected to n0 / (1 + (n0 - 1) / N) for N fault patterns.
    assert worst[("none", 0)] == 63 and worst[("secded:64", 0)] == 70
    assert worst[("none", 1)] == 1097  # C(64, 2) = 2016 patterns of two faults
    assert c.trials == 2450  # the trials themselves are drawn independently: no correction, in whole batches


# ---- reports ---------------------------------------------------------------------------------


def nan_metric(weights):
    return math.nan


def test_plots_keep_every_protection_and_show_outcomes(tmp_path, monkeypatch):
    import corvane.report as report

    res = Campaign(floats(64), ["none", "secded:64", "mset"], counts=[1, 8], trials=6, seed=1,
                   evaluate=nan_metric).run()  # fmt: skip
    figures = []
    monkeypatch.setattr(report, "_save", lambda fig, path: figures.append(fig))
    write_plot(res, tmp_path / "m.png", "metric")
    write_outcome_plot(res, tmp_path / "o.png")
    metric_fig, outcome_fig = figures
    labels = [t.get_text() for t in metric_fig.axes[0].get_legend().get_texts()]
    assert labels == ["none (no finite value)", "secded:64 (no finite value)", "mset (no finite value)"]
    assert metric_fig.axes[0].get_ylabel() == "tests.nan_metric" or "nan_metric" in metric_fig.axes[0].get_ylabel()
    panels = [ax.get_title() for ax in outcome_fig.axes if ax.get_title()]
    assert panels == ["masked", "sdc", "due", "false due", "any silent"]
    monkeypatch.undo()
    write_outcome_plot(res, tmp_path / "o.png")
    assert (tmp_path / "o.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_json_interface_names():
    res = Campaign(floats(64), ["none", "secded:64", "cep:D3P1", "mset"], counts=[2], trials=5, seed=1).run()
    doc = json_document(res)
    assert {"corvane_version", "confidence", "weights_digest"} <= set(doc) and doc["confidence"] == 0.95
    assert len(doc["weights_digest"]) == 32 and doc["corvane_version"] != "unknown"
    for agg in doc["aggregates"]:
        assert set(agg["outcomes"]) == {"masked", "sdc", "due", "false_due", "any_silent"}
        assert set(agg["metrics"]) <= set(METRICS) and "metric" not in agg["metrics"]
        assert all(isinstance(v, float) for v in agg["expected"].values()) and agg["expected"]["faults"] == 2
        assert agg["outside"] == [c for c in agg["outside"] if c in agg["expected"]]


def test_report_of_a_run_interrupted_before_its_first_protection_finished(tmp_path):
    ws = floats(300)
    out = tmp_path / "run"
    seen = []

    def stop_soon(rec):
        seen.append(rec)
        if len(seen) == 60:  # within the first protection's cells: no clean loss measured yet
            raise KeyboardInterrupt

    with pytest.raises(Interrupted):
        Campaign(ws, MARGIN_PROTECTIONS, **MARGIN).run(stop_soon, out=out)
    kept, total = load(out)  # the report reads the summaries written before any protection finished
    assert len(kept.records) == 60 < total and kept.protections[0].clean is None
    assert json_document(kept)["aggregates"]
