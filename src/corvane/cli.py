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
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, NoReturn, TypeVar

from .errors import CLUSTER_EXTRA, STUDY_EXTRA, Interrupted, RunFailed, StudyError, printable

T = TypeVar("T")
RATE_HELP = "rate always means faults per stored bit (check, parity and fill bits included)"
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


def _output_options(parser: argparse.ArgumentParser) -> None:
    """The outputs that ``study`` and ``report`` share."""
    parser.add_argument("--csv", metavar="PATH", help="one row per trial")
    parser.add_argument("--json", metavar="PATH", help="config, trials and aggregates")
    parser.add_argument("--plot", metavar="PATH", help="metric against rate; PNG, SVG or PDF by extension")
    parser.add_argument(
        "--metric", metavar="NAME", help="the metric of the table and plot (default: metric, else rel_l2_error)"
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="corvane", description="Bit-fault campaigns over model weights and protective encodings.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    st = sub.add_parser(
        "study",
        help="run a fault campaign: protections x bit-error rates x trials",
        description="Runs a fault campaign over model weights (default: a small MLP trained on scikit-learn's "
        f"digits) and prints the aggregate table. Note: {RATE_HELP}.",
    )
    st.add_argument("--weights", metavar="PATH", help="a .npy, .npz, .safetensors or .onnx file")
    st.add_argument("--tensors", metavar="GLOB[,GLOB]", help="study only the tensors whose names match")
    st.add_argument(
        "--as", dest="as_dtype", choices=("float32", "float16", "bfloat16"), default="float32",
        help="the default model stored as this dtype",
    )  # fmt: skip
    st.add_argument(
        "--protect", metavar="LIST",
        help="comma-separated: none, secded:BITS, cep:D3P1|D7P1|D15P1, mset (default: none,secded:64,cep:D3P1,mset)",
    )  # fmt: skip
    lvl = st.add_mutually_exclusive_group()
    lvl.add_argument(
        "--rates", metavar="LIST|START:STOP:N",
        help=f"bit-error rates, a list or N log-spaced values; {RATE_HELP} (default 1e-5:1e-2:4)",
    )  # fmt: skip
    lvl.add_argument("--faults", metavar="LIST", help="absolute fault counts instead of rates")
    st.add_argument("--kind", choices=("flip", "stuck-at-0", "stuck-at-1"), default="flip")
    st.add_argument("--trials", type=int, default=None, metavar="N", help="trials per protection and rate (default 50)")
    st.add_argument("--seed", type=int, default=0, metavar="N")
    st.add_argument("--evaluate", metavar="MODULE:FUNCTION", help="a callable on the list of decoded arrays -> float")
    _output_options(st)
    st.add_argument("--quick", action="store_true", help="a study of a few seconds")
    st.add_argument("--quiet", action="store_true", help="no progress bar")
    where = st.add_mutually_exclusive_group()
    where.add_argument(
        "--workers", type=int, metavar="N",
        help=f"worker processes for the trials; 1 runs them in this process (default: the cores, {os.cpu_count() or 1})",
    )  # fmt: skip
    where.add_argument(
        "--scheduler", metavar="ADDRESS",
        help=f"run the trials on this Dask cluster, e.g. tcp://host:8786 (needs {CLUSTER_EXTRA})",
    )  # fmt: skip
    st.add_argument(
        "--out", metavar="DIR",
        help="keep the config and every finished trial in DIR; the same command again resumes from it",
    )  # fmt: skip
    st.add_argument(
        "--dense", action="store_true",
        help="run every trial the reference way: copy, inject, decode everything, compare (same results, slower)",
    )  # fmt: skip
    st.add_argument(
        "--show-trial", nargs=3, metavar=("PROTECTION", "RATE", "TRIAL"),
        help="rerun one trial from its seed and list its faults",
    )  # fmt: skip

    rep = sub.add_parser(
        "report", help="the table, CSV, JSON and plot of a campaign kept with --out DIR",
        description="Reports a campaign from its run directory alone (no weights needed).",
    )  # fmt: skip
    rep.add_argument("dir", metavar="DIR")
    _output_options(rep)

    ins = sub.add_parser("inspect", help="list a file's tensors and what each protection would store")
    ins.add_argument("path", metavar="PATH")
    ins.add_argument("--tensors", metavar="GLOB[,GLOB]")
    ins.add_argument("--protect", metavar="LIST")
    return parser


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


def _console(stderr: bool = False) -> Any:
    """A console that prints text as it is: no markup, no emoji codes (names are the user's, not ours)."""
    from rich.console import Console

    # Off a terminal rich would wrap the table at 80 columns.
    wide = (sys.stderr if stderr else sys.stdout).isatty()
    return Console(stderr=stderr, markup=False, emoji=False, width=None if wide else 132)


def _study(args: argparse.Namespace) -> int:
    from .campaign import Campaign, check_seed, check_trials, check_workers
    from .weights import load_weights

    if args.trials is not None:
        check_trials(args.trials, "--trials")
    check_seed(args.seed, "--seed")
    evaluate = load_callable(args.evaluate) if args.evaluate else None
    metric_name = f"{args.evaluate}(decoded weights)" if args.evaluate else None
    tensors = _globs(args.tensors)
    if args.weights is not None:
        weights = load_weights(args.weights, tensors)
    else:
        from . import digits

        weights, default_eval = digits.weight_set(args.as_dtype, tensors)
        if evaluate is None:
            evaluate, metric_name = default_eval, DIGITS_METRIC
    if args.faults is not None:
        counts, rates = parse_counts(args.faults), None
    else:
        counts = None
        rates = parse_rates(args.rates or ("1e-4:1e-2:3" if args.quick else "1e-5:1e-2:4"))
    trials = args.trials or (10 if args.quick else 50)
    campaign = Campaign(
        weights, _protect(args.protect), rates=rates, counts=counts, kind=args.kind, trials=trials,
        seed=args.seed, evaluate=evaluate, dense=args.dense, metric_name=metric_name,
    )  # fmt: skip
    metric = _metric(args.metric, evaluate is not None)
    _check_outputs(args, args.out)
    workers = check_workers((os.cpu_count() or 1) if args.workers is None else args.workers, "--workers")
    console = _console()
    if args.show_trial:
        return _show_trial(campaign, args.show_trial, console)
    campaign.check()
    total = campaign.total_trials()
    run = {"workers": workers, "scheduler": args.scheduler, "out": args.out}
    show_progress = not args.quiet and sys.stderr.isatty()
    if show_progress:
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
                **run,
            )  # fmt: skip
    else:
        results = campaign.run(**run)
    try:
        if not args.quiet:
            console.print(f"{printable(weights.source)}: {len(weights.tensors)} tensors, {weights.value_count} values")
        _report(results, metric, args, console)
    except KeyboardInterrupt:  # every trial is done: say so, and where they are
        raise Interrupted(len(results.records), total, args.out) from None
    return 0


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

    check_outputs([(args.csv, False), (args.json, False), (args.plot, True)], run_dir)


def _report(results: Any, metric: str, args: argparse.Namespace, console: Any, live: bool = True) -> None:
    from . import report

    # The files first: whatever happens to the terminal, they are written.
    left_out = 0
    if args.csv is not None:
        report.write_csv(results, args.csv)
    if args.json is not None:
        report.write_json(results, args.json)
    if args.plot is not None:
        left_out = report.write_plot(results, args.plot, metric)
    report.print_table(results, metric, console.print)
    if live and results.metric_name and not args.quiet:
        console.print(f"metric: {printable(results.metric_name)}")
    if left_out:
        console.print(f"plot: {left_out} trials with a {metric} that is not finite (NaN or infinite) are left out")


def _report_dir(args: argparse.Namespace) -> int:
    from . import rundir

    results, total = rundir.load(args.dir)
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


def _show_trial(campaign: Any, spec: Sequence[str], console: Any) -> int:
    from rich.table import Table


    name, rate_text, trial_text = spec
    try:
        rate = float(rate_text)
        trial = int(trial_text)
    except ValueError:
        raise StudyError(f"--show-trial: expected PROTECTION RATE TRIAL, got {' '.join(spec)}") from None
    record, faults = campaign.show_trial(name, rate, trial)
    row = record.as_row()
    console.print(", ".join(f"{k}={v}" for k, v in row.items() if v is not None and k != "seconds"))
    table = Table(title=f"faults of {printable(name)} rate {printable(rate_text)} trial {trial} (seed {record.seed})",
                  title_justify="left")  # fmt: skip
    for h in ("site", "tensor", "element", "bit", "where", "kind", "before", "after decoding"):
        table.add_column(h)
    for f in faults:
        table.add_row(
            str(f.site), printable(f.tensor or "-"), "-" if f.element is None else str(f.element),
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
        t.add_column(h)
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
            p.add_row(s.name, "not applicable", s.reason, "")
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
        commands = {"inspect": _inspect, "report": _report_dir, "study": _study}
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
