"""Run directories that were edited, planted or cut short: refused with one line, or reported as they are."""

import json
import os
import signal
import socket
import subprocess
import sys

import numpy as np
import pytest

from corvane import Campaign
from corvane.cli import main
from corvane.errors import Interrupted
from corvane.rundir import CONFIG, SUMMARIES, TRIALS, RunDir
from weightsets import tiny

# One process, so the trial log is in grid order.
ARGS = ["--rates", "1e-3,1e-2", "--trials", "3", "--protect", "none,secded:16", "--workers", "1", "--quiet"]


@pytest.fixture
def weights_file(tmp_path):
    path = tmp_path / "w.npz"
    np.savez(path, a=np.random.default_rng(0).normal(0, 0.1, 300).astype(np.float32))
    return path


@pytest.fixture
def run_dir(tmp_path, weights_file, capsys):
    out = tmp_path / "run"
    assert main(["study", "--weights", str(weights_file), *ARGS, "--out", str(out)]) == 0
    capsys.readouterr()
    return out


def cli(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def study(weights_file, out, *extra):
    return ["study", "--weights", weights_file, *ARGS, "--out", out, *extra]


def edit_line(out, number, **changes):
    lines = (out / TRIALS).read_text().splitlines(keepends=True)
    record = json.loads(lines[number - 1])
    record.update(changes)
    lines[number - 1] = json.dumps(record) + "\n"
    (out / TRIALS).write_text("".join(lines))


@pytest.mark.parametrize(
    "changes, problem",
    [
        (dict(trial=3), "trial 3 is outside 0..2"),
        (dict(point=2), "point 2 is outside 0..1"),
        (dict(seed=12345), "seed 12345 is not the seed of"),
        (dict(faults=99), "99 faults at rate"),
        (dict(rate=0.5), "do not match"),
        (dict(protection="mset"), "protection 'mset' is not one of the campaign's"),
        (dict(kind="stuck-at-1"), 'kind is "stuck-at-1", the campaign\'s is flip'),
        (dict(trial="3"), 'trial is "3", not a whole number'),
        (dict(point=None), "point is null, not a whole number"),
        (dict(values_changed=1.5), "values_changed is 1.5, not a whole number"),
        (dict(rel_l2_error="big"), 'rel_l2_error is "big", not a number'),
        (dict(metric=0.5), "metric is given but the campaign has no evaluate"),
        (dict(chunks_flagged=None), "chunks_flagged is null, not a whole number"),
        (dict(votes_changed=3), "votes_changed given, which secded:16 does not count"),
        (dict(silent="no"), 'silent is "no", not true or false'),
        (dict(bits=-1), "bits -1 is outside 0.."),
        (dict(outcome="detected"), 'outcome is "detected", not one of masked, sdc, due, false_due'),
        (dict(outcome="masked", values_changed=5), "outcome masked does not fit 5 values changed"),
    ],
)
@pytest.mark.parametrize("command", ["study", "report"])
def test_a_record_that_is_not_a_trial_of_the_campaign_is_refused_naming_its_line(
    run_dir, weights_file, capsys, changes, problem, command
):
    edit_line(run_dir, 8, **changes)  # a secded:16 line: it carries chunk counts
    before = (run_dir / TRIALS).read_bytes()
    argv = study(weights_file, run_dir) if command == "study" else ["report", run_dir]
    code, _, err = cli(argv, capsys)
    assert code == 2 and err.count("\n") == 1
    assert err.startswith(f"corvane: error: {run_dir / TRIALS}: line 8: ") and problem in err, err
    assert (run_dir / TRIALS).read_bytes() == before


def test_a_repeated_trial_with_other_results_is_refused(run_dir, capsys):
    lines = (run_dir / TRIALS).read_text().splitlines(keepends=True)
    twin = json.loads(lines[2])
    twin["values_changed"] += 1
    (run_dir / TRIALS).write_text("".join(lines) + json.dumps(twin) + "\n")
    code, _, err = cli(["report", run_dir], capsys)
    assert (code, err) == (2, f"corvane: error: {run_dir / TRIALS}: line 13 gives trial 2 of none at point 0 other "
                              "results than line 3\n")  # fmt: skip


def test_a_config_whose_seed_was_edited_does_not_adopt_the_other_seeds_trials(run_dir, weights_file, capsys):
    config = json.loads((run_dir / CONFIG).read_text())
    config["campaign"]["seed"] = 1
    (run_dir / CONFIG).write_text(json.dumps(config))
    code, _, err = cli(study(weights_file, run_dir, "--seed", "1"), capsys)
    assert code == 2 and err.startswith(f"corvane: error: {run_dir / TRIALS}: line 1: seed ")


def interrupted_after(tmp_path, monkeypatch, kept):
    """A run directory whose run was stopped by Ctrl-C with ``kept`` trials done."""
    write = RunDir.append

    def append_then_ctrl_c(self, rec):
        write(self, rec)
        if (self.path / TRIALS).read_bytes().count(b"\n") == max(kept, 1):
            signal.raise_signal(signal.SIGINT)

    monkeypatch.setattr(RunDir, "append", append_then_ctrl_c)
    out = tmp_path / "run"
    with pytest.raises(Interrupted):
        Campaign(tiny(), ["none", "mset"], rates=[1e-3, 1e-2], trials=4, seed=3).run(out=out)
    monkeypatch.undo()
    if not kept:  # as if stopped before its first trial
        (out / TRIALS).write_bytes(b"")
    return out


@pytest.mark.parametrize("kept", [0, 3, 12])
def test_report_of_an_interrupted_run_shows_what_is_there_and_what_is_missing(tmp_path, monkeypatch, capsys, kept):
    out = interrupted_after(tmp_path, monkeypatch, kept)
    code, text, err = cli(["report", out, "--csv", tmp_path / "t.csv", "--plot", tmp_path / "t.png"], capsys)
    assert (code, err) == (0, "")
    assert f"{out}: {kept} of 16 trials done, {16 - kept} missing" in text
    assert (tmp_path / "t.csv").read_text().count("\n") == kept + 1
    summaries = json.loads((out / SUMMARIES).read_text())["protections"]
    assert summaries[-1]["clean"] is None  # mset never finished: its clean loss is not known yet


@pytest.mark.parametrize(
    "edit, problem",
    [
        (lambda d: d["protections"][0].update(stored_bits="9600"), 'stored_bits is "9600", not a whole number'),
        (lambda d: d["protections"][0].update(applicable="yes"), 'applicable is "yes", not true or false'),
        (lambda d: d["protections"][0].update(clean=5), "a clean damage does not have the fields"),
        (lambda d: d["protections"][0]["clean"].update(rel_l2_error=None), "rel_l2_error is null, not a number"),
        (lambda d: d.update(protections={}), "protections is not a list"),
        (lambda d: d["protections"][0].update(expected=[{"masked": "1"}]), 'masked is "1", not a number'),
        (lambda d: d.update(metric_range=[0]), "metric_range is not [low, high]"),
        (lambda d: d.update(skipped=[["a"]]), "a skipped tensor is not [name, reason]"),
        (lambda d: d.update(baseline_metric="1"), 'baseline_metric is "1", not a number'),
        (lambda d: d["protections"].reverse(), "its protections are not those of config.json"),
    ],
)
def test_a_summary_file_with_wrong_fields_is_one_line(run_dir, capsys, edit, problem):
    doc = json.loads((run_dir / SUMMARIES).read_text())
    edit(doc)
    (run_dir / SUMMARIES).write_text(json.dumps(doc))
    code, _, err = cli(["report", run_dir], capsys)
    assert code == 2 and err.count("\n") == 1 and problem in err, err


def plant(kind, path, target):
    if kind == "symlink":
        path.symlink_to(target)
    elif kind == "fifo":
        os.mkfifo(path)
    else:
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(path))
        sock.close()


@pytest.mark.parametrize("name", [TRIALS, CONFIG, SUMMARIES])
@pytest.mark.parametrize("kind", ["symlink", "fifo", "socket"])
def test_a_planted_file_in_the_run_directory_is_refused_and_nothing_outside_changes(tmp_path, weights_file, capsys,
                                                                                   name, kind):  # fmt: skip
    # A dangling link would make the run create its target; a FIFO would make it wait for ever, so that
    # case runs as a process of its own, with a time limit.
    out = tmp_path / "run"
    out.mkdir()
    outside = tmp_path / "outside"
    plant(kind, out / name, outside)
    if kind == "fifo":
        argv = [sys.executable, "-m", "corvane", *map(str, study(weights_file, out))]
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
        code, err = done.returncode, done.stderr
    else:
        code, _, err = cli(study(weights_file, out), capsys)
    assert code == 2 and err.count("\n") == 1, err
    assert err.startswith(f"corvane: error: {out / name}: ")
    assert not outside.exists()


def test_a_link_to_a_matching_campaign_outside_is_neither_read_nor_overwritten(run_dir, tmp_path, weights_file, capsys):
    elsewhere = tmp_path / "elsewhere"
    run_dir.rename(elsewhere)
    run_dir.mkdir()
    for name in (CONFIG, TRIALS):
        (run_dir / name).symlink_to(elsewhere / name)
    (elsewhere / TRIALS).write_text("".join((elsewhere / TRIALS).read_text().splitlines(keepends=True)[:5]))
    before = {p.name: p.read_bytes() for p in elsewhere.iterdir()}
    code, _, err = cli(study(weights_file, run_dir), capsys)
    assert code == 2 and "is a symbolic link; a run directory's files are never followed" in err
    assert {p.name: p.read_bytes() for p in elsewhere.iterdir()} == before


@pytest.mark.parametrize("name", [TRIALS, CONFIG, SUMMARIES])
@pytest.mark.parametrize("spelled", ["plain", "dotted", "linked"])
@pytest.mark.parametrize("command", ["study", "report"])
def test_an_output_over_a_file_of_the_run_directory_is_refused(run_dir, tmp_path, weights_file, capsys, name,
                                                                spelled, command):  # fmt: skip
    (tmp_path / "alias").symlink_to(run_dir)
    path = {"plain": run_dir / name, "dotted": run_dir / "." / name, "linked": tmp_path / "alias" / name}[spelled]
    before = {p.name: p.read_bytes() for p in run_dir.iterdir()}
    argv = study(weights_file, run_dir) if command == "study" else ["report", run_dir]
    code, _, err = cli([*argv, "--csv", path], capsys)
    assert (code, err) == (2, f"corvane: error: {path}: is the run directory's own {name}; write the output elsewhere\n")
    assert {p.name: p.read_bytes() for p in run_dir.iterdir()} == before
