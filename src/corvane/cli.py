"""The command line: ``corvane study``, ``corvane report``, ``corvane inspect``.

The CLI only parses, calls the Python API and prints; everything it does is
reachable from Python. Bad input of any kind ends in one line
``corvane: error: ...`` on stderr and exit status 2, with no output file
written or left half-written; a run that fails for another reason (a worker
process died, the Dask scheduler was lost, the disk is full) ends in one such
line and exit status 1, its finished trials kept. Everything a user wrote
(paths, tensor names) is printed literally, control characters escaped.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import signal
import sys
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn, TypeVar

from .errors import CLUSTER_EXTRA, STUDY_EXTRA, Interrupted, RunFailed, StudyError, printable

T = TypeVar("T")
RATE_HELP = (
    "rate always means faults per stored bit (check, parity and fill bits included), a fault being one event of "
    "--pattern; with --bits, faults per chosen bit"
)
DIGITS_METRIC = "test-set accuracy of the digits MLP"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise StudyError(message)


def _numbers(text: str, what: str, convert: Callable[[str], T], noun: str) -> list[T]:
    out = []
    for part in text.split(","):
        try:
            out.append(convert(part))
        except ValueError:
            raise StudyError(f"{what}: '{part}' is not {noun}") from None
    return out


def _floats(text: str, what: str) -> list[float]:
    return _numbers(text, what, float, "a number")


def parse_rates(text: str) -> list[float]:
    """'1e-6,1e-4' or 'START:STOP:N' (N values log-spaced from START to STOP)."""
    from .campaign import check_rate, log_rates

    if ":" in text:
        parts = text.split(":")
        if len(parts) != 3:
            raise StudyError(f"--rates: '{text}' is not START:STOP:N")
        start, stop = _floats(parts[0], "--rates")[0], _floats(parts[1], "--rates")[0]
        try:
            n = int(parts[2])
        except ValueError:
            raise StudyError(f"--rates: N in '{text}' is not a whole number") from None
        return log_rates(start, stop, n, "--rates", text)
    parts = text.split(",")
    return [check_rate(r, "--rates: ", part) for r, part in zip(_floats(text, "--rates"), parts, strict=True)]


def parse_counts(text: str) -> list[int]:
    from .campaign import check_count

    return [check_count(c, "--faults: ") for c in _numbers(text, "--faults", int, "a whole number")]


def load_callable(spec: str) -> Any:
    """MODULE:FUNCTION, imported with the working directory on the path.

    The working directory goes last on the path, so that a file there named
    like a module corvane uses (``csv.py``) cannot take that module's place.
    """
    module, sep, name = spec.partition(":")
    if not sep or not module or not name:
        raise StudyError(f"--evaluate: '{spec}' is not MODULE:FUNCTION")
    if "" not in sys.path and str(Path.cwd()) not in sys.path:
        sys.path.append(str(Path.cwd()))
    try:
        mod = importlib.import_module(module)
    except Exception as exc:  # noqa: BLE001 - whatever the user's module raises on import
        raise StudyError(f"--evaluate: cannot import {module}: {type(exc).__name__}: {exc}") from exc
    fn = getattr(mod, name, None)
    if not callable(fn):
        raise StudyError(f"--evaluate: {module} has no callable {name}")
    return fn


def parse_range(text: str) -> tuple[float | None, float | None]:
    """'LO:HI', either end may be empty (unbounded on that side)."""
    parts = text.split(":")
    if len(parts) != 2:
        raise StudyError(f"--metric-range: '{text}' is not LO:HI")
    return (None if not parts[0] else _floats(parts[0], "--metric-range")[0],
            None if not parts[1] else _floats(parts[1], "--metric-range")[0])  # fmt: skip


def _output_options(parser: argparse.ArgumentParser) -> None:
    """The outputs that ``study`` and ``report`` share."""
    parser.add_argument("--csv", metavar="PATH", help="one row per trial")
    parser.add_argument("--json", metavar="PATH", help="config, trials and aggregates with intervals and expectations")
    parser.add_argument("--plot", metavar="PATH", help="metric against rate; PNG, SVG or PDF by extension")
    parser.add_argument("--plot-outcomes", metavar="PATH", help="outcome fractions against rate, with intervals")
    parser.add_argument(
        "--metric", metavar="NAME", help="the metric of the table and plot (default: metric, else rel_l2_error)"
    )


def _model_options(parser: argparse.ArgumentParser, verb: str, rounding: str = "") -> None:
    """The weights and the task metric, as ``study`` and ``map`` take them."""
    parser.add_argument("--weights", metavar="PATH", help="a .npy, .npz, .safetensors or .onnx file")
    parser.add_argument("--tensors", metavar="GLOB[,GLOB]", help=f"{verb} only the tensors whose names match")
    parser.add_argument(
        "--as", dest="as_dtype", choices=("float32", "float16", "bfloat16"), default="float32",
        help=f"store the float32 tensors in this format (rounded to nearest even) and {verb} them as 16-bit "
        f"patterns{rounding}",
    )  # fmt: skip
    parser.add_argument(
        "--evaluate", metavar="MODULE:FUNCTION",
        help="f(weights) -> float on the decoded weights (a read-only mapping, tensor name -> array); or a factory, "
        "f(clean weights) -> (f(weights) -> float), called once per process",
    )  # fmt: skip
    parser.add_argument(
        "--data", metavar="DATA.npz",
        help="with an .onnx --weights: evaluate the model itself on these inputs (arrays by input name, optionally "
        "'labels') with ONNX Runtime; the metric is top-1 accuracy, or without labels top-1 agreement with the "
        "fault-free model",
    )  # fmt: skip
    parser.add_argument(
        "--metric-range", metavar="LO:HI", type=parse_range,
        help="what the evaluate function's metric can be (e.g. 0:1 for an accuracy): no interval leaves it",
    )  # fmt: skip


def _run_options(parser: argparse.ArgumentParser, units: str) -> None:
    """Where a run's trials (or strata) run and where they are kept."""
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "--workers", type=int, metavar="N",
        help=f"worker processes for the {units}; 1 runs them in this process "
        f"(default: the cores, {os.cpu_count() or 1})",
    )  # fmt: skip
    where.add_argument(
        "--scheduler", metavar="ADDRESS",
        help=f"run the {units} on this Dask cluster, e.g. tcp://host:8786 (needs {CLUSTER_EXTRA})",
    )  # fmt: skip
    parser.add_argument(
        "--out", metavar="DIR",
        help=f"keep the config and every finished {units[:-1] if units == 'trials' else 'stratum'} in DIR; the same "
        "command again resumes from it",
    )  # fmt: skip


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="corvane", description="Bit-fault campaigns over model weights and protective encodings.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    st = sub.add_parser(
        "study",
        help="run a fault campaign: protections x bit-error rates x trials",
        description="Runs a fault campaign over model weights (default: a small MLP trained on scikit-learn's "
        f"digits) and prints the aggregate table. Note: {RATE_HELP}.",
    )
    _model_options(st, "study", "; what the rounding loses is reported once")
    st.add_argument(
        "--protect", metavar="LIST",
        help="comma-separated: none, secded:BITS, secded-pc:BITS, cep:D3P1|D7P1|D15P1, mset "
        "(default: none,secded:64,cep:D3P1,mset)",
    )  # fmt: skip
    lvl = st.add_mutually_exclusive_group()
    lvl.add_argument(
        "--rates", metavar="LIST|START:STOP:N",
        help=f"bit-error rates, a list or N log-spaced values; {RATE_HELP} (default: 4 rates chosen from the weights' "
        "bits, from about 1 fault per trial to 1000; --quick 3, from about 10)",
    )  # fmt: skip
    lvl.add_argument("--faults", metavar="LIST", help="absolute fault counts instead of rates")
    st.add_argument(
        "--kind", metavar="KIND", default="flip",
        help="flip, stuck-at-0 or stuck-at-1, or a mix drawn per event, e.g. flip:0.8,stuck-at-0:0.1,stuck-at-1:0.1",
    )  # fmt: skip
    st.add_argument(
        "--pattern", metavar="PATTERN", default="single",
        help="what one fault event changes: single (one bit), burst:B (B adjacent bits of one storage word) or "
        "word:K (K distinct bits of one word); no word is hit twice in a trial (default single)",
    )  # fmt: skip
    st.add_argument(
        "--bits", metavar="SPEC",
        help="fault only these bits of the values: numbers and ranges (30, 23-30), names (sign, exponent, "
        "mantissa), or check for the protection's redundancy; rates then count per chosen bit",
    )  # fmt: skip
    st.add_argument(
        "--protect-only", metavar="GLOB[,GLOB]|@FILE",
        help="apply the protections only to these tensors (globs, or a file naming one per line, as corvane map "
        "--selection writes it); the others are stored as they are, and rates count every stored bit of both",
    )  # fmt: skip
    st.add_argument(
        "--trials", type=int, default=None, metavar="N",
        help="trials per protection and rate (default 50); with --margin the most a cell runs (default: the worst case)",
    )  # fmt: skip
    st.add_argument("--seed", type=int, default=0, metavar="N")
    st.add_argument(
        "--tolerance", type=float, metavar="T",
        help="split sdc into sdc_tolerable (metric within T of the protection's clean metric) and sdc_critical",
    )  # fmt: skip
    st.add_argument(
        "--margin", type=float, metavar="E",
        help="run each cell in batches until every outcome fraction's interval half-width is at most E",
    )  # fmt: skip
    st.add_argument("--confidence", type=float, default=0.95, metavar="C", help="level of every interval (default 0.95)")
    _output_options(st)
    st.add_argument("--quick", action="store_true", help="a study of a few seconds")
    _run_options(st, "trials")
    st.add_argument(
        "--dense", action="store_true",
        help="run every trial the reference way: copy, inject, decode everything, compare (same results, slower)",
    )  # fmt: skip
    st.add_argument(
        "--show-trial", nargs=3, metavar=("PROTECTION", "RATE", "TRIAL"),
        help="rerun one trial from its seed and list its faults; with --faults, give the fault count instead of RATE",
    )  # fmt: skip

    rep = sub.add_parser(
        "report", help="the table, CSV, JSON and plot of a campaign kept with --out DIR",
        description="Reports a campaign from its run directory alone (no weights needed).",
    )  # fmt: skip
    rep.add_argument("dir", metavar="DIR")
    rep.add_argument("--confidence", type=float, metavar="C", help="level of the intervals (default: the campaign's)")
    _output_options(rep)

    _map_parser(sub)

    ins = sub.add_parser("inspect", help="list a file's tensors and what each protection would store")
    ins.add_argument("path", metavar="PATH")
    ins.add_argument("--tensors", metavar="GLOB[,GLOB]")
    ins.add_argument("--protect", metavar="LIST")
    return parser


def _map_parser(sub: Any) -> None:
    from .mapresults import QUANTITIES, UNITS

    mp = sub.add_parser(
        "map", help="where one fault does harm, by tensor and bit position; what protecting the worst first buys",
        description="Measures, for every tensor and bit position of the stored values (a stratum), what one fault "
        "there does: the chance of an sdc, of a NaN or infinite value, the damage (rel_l2_error) and, with a task "
        "metric, its change, each with a 95% interval, from --per-stratum faults at distinct values. With "
        "--protect-curve, the expected damage against the share of stored bits protected, protecting the most "
        "vulnerable per stored bit first, beside random orders.",
    )  # fmt: skip
    _model_options(mp, "map")
    mp.add_argument("--protect", metavar="PROTECTION", default="none",
                    help="the protection the weights are stored under, as in study (default none)")  # fmt: skip
    mp.add_argument("--per-stratum", type=int, default=None, metavar="N",
                    help="faults per stratum, each at a distinct value (default 100; a tensor with no more values is "
                    "faulted at every one)")  # fmt: skip
    mp.add_argument("--bits", metavar="SPEC",
                    help="the bit positions to map: numbers, ranges and names as in study "
                    "(default every bit)")  # fmt: skip
    mp.add_argument("--kind", metavar="KIND", default="flip",
                    help="the fault kind, or a mix, as in study (default flip)")  # fmt: skip
    mp.add_argument("--seed", type=int, default=0, metavar="N")
    mp.add_argument("--by", choices=QUANTITIES, default=None,
                    help="rank, draw and protect by: damage, sdc, nonfinite or metric (default: metric with a task "
                    "metric, else damage)")  # fmt: skip
    mp.add_argument("--top", type=int, default=20, metavar="N", help="strata and tensors listed (default 20)")
    mp.add_argument("--csv", metavar="PATH", help="one row per stratum, with intervals")
    mp.add_argument("--json", metavar="PATH", help="config, strata and marginals")
    mp.add_argument("--plot", metavar="PATH", help="the heatmap, tensors x bit positions; PNG, SVG or PDF")
    mp.add_argument("--protect-curve", nargs="?", const="tensors", default=None, choices=UNITS,
                    help="print the protect-curve, protecting tensors (default) or single strata (bits)")  # fmt: skip
    mp.add_argument("--rate", metavar="RATE", help="the rate of the protect-curve (default: one fault per trial)")
    mp.add_argument("--curve-plot", metavar="PATH", help="plot the protect-curve; PNG, SVG or PDF")
    mp.add_argument("--budget", type=float, default=0.1, metavar="FRACTION",
                    help="the share of the stored bits the tensor list of --selection protects "
                    "(default 0.1)")  # fmt: skip
    mp.add_argument("--selection", metavar="PATH",
                    help="write the tensors protected first within --budget, one per line, for "
                    "corvane study --protect-only @PATH")  # fmt: skip
    _run_options(mp, "strata")


def _no_empty_values(args: argparse.Namespace) -> None:
    """An option given an empty value is a mistake, not a request for its default."""
    for name, value in vars(args).items():
        if value == "" or (isinstance(value, list) and "" in value):
            flag = "DIR" if name == "dir" else "PATH" if name == "path" else "--" + name.replace("_", "-")
            raise StudyError(f"{flag}: an empty value")


def _globs(text: str | None) -> list[str] | None:
    return [g for g in text.split(",") if g] if text is not None else None


def _protect(text: str | None) -> list[str]:
    from .protections import DEFAULT_PROTECTIONS

    return [p for p in text.split(",") if p.strip()] if text is not None else list(DEFAULT_PROTECTIONS)


def _model(args: argparse.Namespace) -> tuple[Any, Any, str | None, tuple[float | None, float | None]]:
    """The weights, the evaluate function, its name and its range, from the options ``_model_options`` added."""
    from .runs import check_data, check_metric_range, onnx_evaluate
    from .weights import load_weights

    check_data(args.data, args.weights, args.evaluate)
    metric_range = check_metric_range(args.metric_range or (None, None), "--metric-range")
    if args.metric_range and not (args.evaluate or args.data):
        raise StudyError("--metric-range describes the metric of --evaluate or --data; give one")
    evaluate = load_callable(args.evaluate) if args.evaluate else None
    metric_name = f"{args.evaluate}(decoded weights)" if args.evaluate else None
    tensors = _globs(args.tensors)
    if args.weights is not None:
        weights = load_weights(args.weights, tensors).stored_as(args.as_dtype, "--as")
        if args.data:
            evaluate, metric_name = onnx_evaluate(weights, args.weights, args.data)
            if args.metric_range is None:  # top-1 accuracy, or agreement with the fault-free model
                metric_range = (0.0, 1.0)
    else:
        from . import digits

        weights, default_eval = digits.weight_set(args.as_dtype, tensors)
        if evaluate is None:
            evaluate, metric_name, metric_range = default_eval, DIGITS_METRIC, digits.ACCURACY_RANGE
    return weights, evaluate, metric_name, metric_range


def _study(args: argparse.Namespace) -> int:
    from rich.console import Console

    from .campaign import (
        Campaign, check_bits, check_confidence, check_kind, check_margin, check_pattern, check_selection,
        check_tolerance, check_trials,
    )  # fmt: skip
    from .runs import check_seed, check_workers

    if args.trials is not None:
        check_trials(args.trials, "--trials")
    check_seed(args.seed, "--seed")
    kind, pattern, bits = check_kind(args.kind, "--kind"), check_pattern(args.pattern, "--pattern"), check_bits(
        args.bits, "--bits"
    )
    check_confidence(args.confidence, "--confidence")
    if args.margin is not None:
        check_margin(args.margin, "--margin")
    if args.tolerance is not None:
        check_tolerance(args.tolerance, "--tolerance")
    weights, evaluate, metric_name, metric_range = _model(args)
    if args.tolerance is not None and evaluate is None:
        raise StudyError("--tolerance needs a task metric: --evaluate, --data, or the default model")
    counts = parse_counts(args.faults) if args.faults is not None else None
    rates = parse_rates(args.rates) if args.rates is not None else None
    trials = args.trials or (None if args.margin is not None else 10 if args.quick else 50)
    campaign = Campaign(
        weights, _protect(args.protect), rates=rates, counts=counts, kind=kind, trials=trials, seed=args.seed,
        evaluate=evaluate, dense=args.dense, metric_name=metric_name, pattern=pattern, bits=bits, quick=args.quick,
        confidence=args.confidence, margin=args.margin, tolerance=args.tolerance, metric_range=metric_range,
        protect_only=check_selection(args.protect_only, weights, "--protect-only"),
    )  # fmt: skip
    metric = _metric(args.metric, evaluate is not None)
    _check_outputs(args, args.out)
    workers = check_workers((os.cpu_count() or 1) if args.workers is None else args.workers, "--workers")
    console = _console()
    if args.show_trial:
        return _show_trial(campaign, args.show_trial, console, counts is not None)
    campaign.check()
    if campaign.margin is not None:
        console.print(_margin_plan(campaign))
    total = campaign.total_trials()
    run = {"workers": workers, "scheduler": args.scheduler, "out": args.out}
    if args.quiet:
        results = campaign.run(**run)
    elif sys.stderr.isatty():
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

        # Refreshed as trials finish, not from a thread of its own: worker processes are forked from here.
        with Progress(
            TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeRemainingColumn(),
            console=_console(stderr=True), transient=True, auto_refresh=False,
        ) as progress:  # fmt: skip
            bar = progress.add_task("trials", total=total)
            results = campaign.run(
                on_trial=lambda rec: progress.update(bar, advance=1, description=rec.protection, refresh=True),
                on_resume=lambda n: progress.update(bar, completed=n, refresh=True),
                on_total=lambda n: progress.update(bar, total=n, refresh=True),
                **run,
            )  # fmt: skip
    else:
        beat = Heartbeat(total)
        results = campaign.run(on_trial=beat.trial, on_resume=beat.resumed, on_total=beat.planned, **run)
    try:
        if not args.quiet:
            console.print(f"{printable(weights.source)}: {len(weights.tensors)} tensors, {weights.value_count} values")
        if results.rates_note:
            console.print(results.rates_note)
        _report(results, metric, args, console)
    except KeyboardInterrupt:  # every trial is done: say so, and where they are
        raise Interrupted(len(results.records), len(results.records), args.out) from None
    return 0


def _margin_plan(campaign: Any) -> str:
    """What a margin asks for, before the run: the sample-size formula's worst case per cell."""
    margin = campaign.margin
    worst = campaign.worst_cases()
    low, high = min(worst.values(), default=0), max(worst.values(), default=0)
    spread = str(high) if low == high else f"{low} to {high}"
    short = " (fewer than the worst case: a cell may stop there before its intervals are that narrow)" if (
        campaign.trials < high) else ""  # fmt: skip
    return (
        f"--margin {margin.half_width:g} at {100 * margin.confidence:.4g}%: worst case {spread} trials per cell "
        f"(n = z^2 p(1-p)/e^2 at p = 0.5, finite-population corrected); each cell runs batches of {margin.batch} "
        f"trials, at most {campaign.trials}{short}, until every outcome fraction's interval half-width is at most "
        f"{margin.half_width:g}"
    )


class Heartbeat:
    """A line on stderr every few seconds while trials run, where no progress bar is drawn (a batch job's log):
    nothing for a run shorter than ``FIRST`` seconds."""

    FIRST = 5.0
    EVERY = 10.0

    def __init__(self, total: int, clock: Callable[[], float] = time.monotonic, what: str = "trials") -> None:
        self.total = total
        self.what = what
        self.clock = clock
        self.start = clock()
        self.due = self.start + self.FIRST
        self.done = self.resumed_at = 0

    def resumed(self, done: int) -> None:
        self.done = self.resumed_at = done

    def planned(self, total: int) -> None:
        """A new total of trials: a margin stopped a cell short of its maximum."""
        self.total = total

    def trial(self, rec: Any) -> None:
        self.done += 1
        now = self.clock()
        if now < self.due:
            return
        self.due = now + self.EVERY
        elapsed = now - self.start
        ran = self.done - self.resumed_at
        left = elapsed / ran * (self.total - self.done)
        print(f"corvane: {self.done} of {self.total} {self.what} done ({rec.protection}), {elapsed:.0f} s, "
              f"about {left:.0f} s left", file=sys.stderr, flush=True)  # fmt: skip


def _console(stderr: bool = False) -> Any:
    """A console that prints text as it is: no markup, no emoji codes (names are the user's, not ours)."""
    from rich.console import Console

    # Off a terminal rich would wrap tables at 80 columns and cut long tensor names short.
    wide = (sys.stderr if stderr else sys.stdout).isatty()
    return Console(stderr=stderr, markup=False, emoji=False, width=None if wide else 100_000)


def _metric(name: str | None, has_metric: bool) -> str:
    from .vocabulary import METRICS

    metric = name or ("metric" if has_metric else "rel_l2_error")
    if metric not in METRICS:
        raise StudyError(f"--metric: unknown metric '{metric}' (use {', '.join(METRICS)})")
    if metric == "metric" and not has_metric:
        raise StudyError("--metric metric needs --evaluate (or the default model)")
    return metric


def _check_outputs(args: argparse.Namespace, run_dir: str | None) -> None:
    from .campaign import check_outputs

    check_outputs([(args.csv, False), (args.json, False), (args.plot, True), (args.plot_outcomes, True)], run_dir)


def _report(results: Any, metric: str, args: argparse.Namespace, console: Any, live: bool = True) -> None:
    from . import report

    # The files first: whatever happens to the terminal, they are written.
    if args.csv is not None:
        report.write_csv(results, args.csv)
    if args.json is not None:
        report.write_json(results, args.json)
    if args.plot is not None:
        report.write_plot(results, args.plot, metric)
    if args.plot_outcomes is not None:
        report.write_outcome_plot(results, args.plot_outcomes)
    report.print_table(results, metric, console.print)
    if live and results.metric_name and not args.quiet:
        console.print(f"metric: {printable(results.metric_name)}")


def _map(args: argparse.Namespace) -> int:
    from .campaign import check_outputs
    from .rundir import MAP_FILES
    from .runs import check_seed, check_workers
    from .vulnerability import VulnerabilityMap, check_curve

    check_seed(args.seed, "--seed")
    curve_units = args.protect_curve or ("tensors" if args.curve_plot or args.selection else None)
    rate = None
    if args.rate is not None:
        try:
            rate = float(args.rate)
        except ValueError:
            raise StudyError(f"--rate: '{args.rate}' is not a number") from None
    check_curve(curve_units, rate, args.budget, args.selection, ("--rate", "--budget", "--selection"))
    weights, evaluate, metric_name, metric_range = _model(args)
    names = {"protection": "--protect", "per_stratum": "--per-stratum", "bits": "--bits", "kind": "--kind",
             "seed": "--seed", "top": "--top", "by": "--by"}  # fmt: skip
    vmap = VulnerabilityMap(weights, args.protect, per_stratum=100 if args.per_stratum is None else args.per_stratum,
                            bits=args.bits, kind=args.kind, seed=args.seed, evaluate=evaluate, metric_name=metric_name,
                            metric_range=metric_range, names=names)  # fmt: skip
    by = vmap.check_by(args.by, args.top)
    outputs = [(args.csv, False), (args.json, False), (args.plot, True), (args.curve_plot, True), (args.selection, False)]
    check_outputs(outputs, args.out, MAP_FILES)
    workers = check_workers((os.cpu_count() or 1) if args.workers is None else args.workers, "--workers")
    run = {"workers": workers, "scheduler": args.scheduler, "out": args.out}
    total = len(vmap.strata())
    if args.quiet:
        results = vmap.run(**run)
    elif sys.stderr.isatty():
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeRemainingColumn

        with Progress(
            TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(), TimeRemainingColumn(),
            console=_console(stderr=True), transient=True, auto_refresh=False,
        ) as progress:  # fmt: skip
            bar = progress.add_task("strata", total=total)
            results = vmap.run(
                on_stratum=lambda rec: progress.update(bar, advance=1, refresh=True),
                on_resume=lambda n: progress.update(bar, completed=n, refresh=True),
                **run,
            )  # fmt: skip
    else:
        beat = Heartbeat(total, what="strata")
        results = vmap.run(on_stratum=beat.trial, on_resume=beat.resumed, **run)
    _map_report(results, by, curve_units, rate, args)
    return 0


def _map_report(results: Any, by: str, units: str | None, rate: float | None, args: argparse.Namespace) -> None:
    from . import mapreport

    console = _console()
    if args.csv:
        mapreport.write_csv(results, args.csv)
    if args.json:
        mapreport.write_json(results, args.json)
    if args.plot:
        mapreport.write_heatmap(results, args.plot, by)
    curve = None if units is None else results.curve(by, units, rate)
    if curve is not None and args.curve_plot:
        mapreport.write_curve_plot(curve, args.curve_plot, f"{results.config['weights']} under {results.protection}")
    chosen = None
    if curve is not None and args.selection:
        chosen = mapreport.write_selection(curve, args.budget, args.selection, results.config["weights"])
    if not args.quiet:
        console.print(f"{printable(results.config['weights'])}: {len(results.tensors)} tensors, "
                      f"{sum(t.values for t in results.tensors)} values, {len(results.records)} strata")  # fmt: skip
    mapreport.print_map(results, by, args.top, console.print)
    if curve is not None:
        mapreport.print_curve(curve, console.print, args.top)
    if chosen is not None:
        console.print(f"{printable(args.selection)}: {len(chosen)} tensors; corvane study --protect-only "
                      f"@{printable(args.selection)} "
                      "studies them protected")  # fmt: skip
    if results.metric_name and not args.quiet:
        console.print(f"metric: {printable(results.metric_name)}")


def _report_dir(args: argparse.Namespace) -> int:
    from . import rundir
    from .campaign import check_confidence

    results, total = rundir.load(args.dir)
    if args.confidence is not None:
        results.confidence = check_confidence(args.confidence, "--confidence")
    has_metric = any(r.metric is not None for r in results.records) or bool(results.config.get("evaluate"))
    metric = _metric(args.metric, has_metric)
    _check_outputs(args, args.dir)
    console = _console()
    done = len(results.records)
    if done < total:
        console.print(f"{printable(args.dir)}: {done} of {total} trials done, {total - done} missing "
                      "(rerun the study with --out to finish it)")  # fmt: skip
    _report(results, metric, args, console, live=False)
    return 0


def _show_trial(campaign: Any, spec: Sequence[str], console: Any, counted: bool) -> int:
    from rich.table import Table

    name, level_text, trial_text = spec
    level = "FAULTS" if counted else "RATE"
    try:
        value = float(level_text)
        trial = int(trial_text)
    except ValueError:
        raise StudyError(f"--show-trial: expected PROTECTION {level} TRIAL, got {' '.join(spec)}") from None
    record, faults = campaign.show_trial(name, value, trial, "--show-trial")
    row = record.as_row()
    console.print(", ".join(f"{k}={v}" for k, v in row.items() if v is not None and k != "seconds"))
    where = f"{level_text} faults" if counted else f"rate {level_text}"
    table = Table(title=f"faults of {printable(name)}, {printable(where)}, trial {trial} (seed {record.seed})",
                  title_justify="left")  # fmt: skip
    for h in ("site", "event", "tensor", "element", "bit", "where", "kind", "before", "after decoding"):
        table.add_column(h, overflow="fold")
    for f in faults:
        table.add_row(
            str(f.site), str(f.event), printable(f.tensor or "-"), "-" if f.element is None else str(f.element),
            "-" if f.bit is None else str(f.bit), f.where, f.kind,
            "-" if f.before is None else repr(f.before), "-" if f.after is None else repr(f.after),
        )  # fmt: skip
    console.print(table)
    return 0


def _inspect(args: argparse.Namespace) -> int:
    from rich.table import Table

    from .campaign import Campaign
    from .weights import load_weights

    weights = load_weights(args.path, _globs(args.tensors))
    console = _console()
    t = Table(title=f"{printable(weights.source)}: {len(weights.tensors)} tensors, {weights.value_count} values",
              title_justify="left")  # fmt: skip
    for h in ("tensor", "shape", "dtype", "studied as", "values"):
        t.add_column(h, overflow="fold")
    for x in weights.tensors:
        t.add_row(printable(x.name), "x".join(map(str, x.shape)) or "scalar", x.dtype, x.storage, str(x.size))
    console.print(t)
    if weights.skipped:
        console.print("skipped: " + ", ".join(f"{printable(n)} ({printable(d)})" for n, d in weights.skipped))
    campaign = Campaign(weights, _protect(args.protect), rates=[1.0], trials=1)
    p = Table(title="protections", title_justify="left")
    for h in ("protection", "stored bits", "bits per value", "overhead"):
        p.add_column(h)
    base = sum(x.patterns.nbytes * 8 for x in weights.tensors)
    for s in campaign.summaries():
        if s.applicable:
            p.add_row(s.name, str(s.stored_bits), f"{s.bits_per_value:.3f}", f"{s.stored_bits / base - 1:+.2%}")
        else:
            p.add_row(s.name, "not applicable", printable(s.reason), "")
    console.print(p)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    try:
        try:
            import rich  # noqa: F401
        except ImportError as exc:
            raise StudyError(f"the study needs the 'study' extra ({exc.name} is missing): {STUDY_EXTRA}") from None
        args = build_parser().parse_args(argv)
        _no_empty_values(args)
        _load(args)
        commands = {"inspect": _inspect, "map": _map, "report": _report_dir, "study": _study}
        return commands[args.command](args)
    except StudyError as exc:
        return _fail(f"corvane: error: {exc}", 2)
    except RunFailed as exc:
        return _fail(f"corvane: error: {exc}", 1)
    except ImportError as exc:
        return _fail(f"corvane: error: {exc.name} is missing: {STUDY_EXTRA}", 2)
    except Interrupted as exc:
        return _fail(f"corvane: interrupted: {exc}", 130)
    except KeyboardInterrupt:
        return _fail("corvane: interrupted", 130)
    except BrokenPipeError:
        # The reader of the output went away (``| head``); the files were written before the table.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _load(args: argparse.Namespace) -> None:
    """Imports what the command will use with Ctrl-C held back: a Ctrl-C while they load ends the command
    once they have, instead of cutting an extension module's initialisation short (see ``ctrl_c_held``)."""
    from .errors import ctrl_c_held

    modules = ["rich.console", "rich.table", "rich.progress", ".campaign", ".report", ".rundir", ".weights"]
    if args.command == "map":
        modules += [".vulnerability", ".mapreport"]
    if args.command in ("study", "map", "report"):
        # Intervals and expectations import these when first needed; here a Ctrl-C cannot cut their
        # initialisation short (an import it interrupted made the command die by SIGINT at exit).
        modules += ["scipy.stats", "scipy.special", "scipy.optimize"]
    if args.command in ("study", "map") and args.weights is None:
        modules.append("sklearn.datasets")  # the default model's data
    if getattr(args, "data", None) is not None:
        modules.append("onnxruntime")
    if getattr(args, "scheduler", None) is not None:
        modules.append("distributed")
    plotting = any(getattr(args, name, None) is not None for name in ("plot", "plot_outcomes", "curve_plot"))
    with ctrl_c_held():
        for name in modules:
            try:
                importlib.import_module(name, __package__)
            except ImportError:
                pass  # the command names what is missing where it needs it
        if plotting:
            with contextlib.suppress(ImportError):
                importlib.import_module(".report", __package__).pyplot()


def _fail(line: str, status: int) -> int:
    # Escaped: an error line quotes paths and names as the user gave them.
    print(printable(line), file=sys.stderr)
    return status


def script() -> NoReturn:
    """The ``corvane`` command: ``main``, then an exit that a late Ctrl-C cannot turn into a traceback."""
    code = main()
    # The outcome is printed; a Ctrl-C now would only kill the interpreter while it shuts down.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.exit(code)


if __name__ == "__main__":  # pragma: no cover
    script()
