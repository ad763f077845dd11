"""Campaigns at scale: worker processes, a Dask cluster, run directories, Ctrl-C."""

import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from weightsets import tiny
from corvane import Campaign, StudyError
from corvane.cli import main
from corvane.errors import Interrupted
from corvane.rundir import CONFIG, TRIALS, RunDir, run_config

PROTECTIONS = ["none", "secded:16", "cep:D3P1", "mset"]


def rows(records):
    # repr, so that NaN equals NaN
    return [{k: repr(v) for k, v in r.as_row().items() if k != "seconds"} for r in records]


def total_abs(arrays):
    # Module level, so a Dask worker can unpickle it.
    with np.errstate(invalid="ignore"):
        return float(sum(np.nansum(np.minimum(np.abs(a.astype(np.float64)), 10.0)) for a in arrays.values()))


def campaign(storage="float32", kind="flip", evaluate=total_abs, trials=4, **kw):
    return Campaign(tiny(storage), PROTECTIONS, rates=[1e-3, 1e-2], kind=kind, trials=trials, evaluate=evaluate,
                    seed=7, **kw)  # fmt: skip


def summaries(results):
    return [(s.name, s.applicable, s.stored_bits, s.clean, s.clean_metric) for s in results.protections]


@pytest.mark.parametrize("storage,kind", [("float32", "flip"), ("bfloat16", "stuck-at-1"), ("uint8", "stuck-at-0")])
def test_worker_processes_give_the_serial_rows(storage, kind):
    serial = campaign(storage, kind).run()
    seen = []
    forked = campaign(storage, kind).run(seen.append, workers=3)
    assert rows(forked.records) == rows(serial.records)
    assert summaries(forked) == summaries(serial) and forked.baseline_metric == serial.baseline_metric
    # The callback heard every trial once, in whatever order they finished.
    assert sorted(rows(seen), key=lambda r: (r["protection"], r["rate"], r["trial"])) == sorted(
        rows(serial.records), key=lambda r: (r["protection"], r["rate"], r["trial"])
    )


def test_worker_failure_is_reported_and_the_pool_stopped():
    def bad(arrays):
        if bad.calls > 0:
            raise ValueError("broken model")
        bad.calls += 1
        return 1.0

    bad.calls = 0
    with pytest.raises(StudyError, match="the evaluate function raised ValueError: broken model"):
        Campaign(tiny(), ["none"], rates=[1e-2], trials=6, evaluate=bad).run(workers=2)
    assert not [c for c in __import__("multiprocessing").active_children()]


_MALLOC_PROBE = """
import resource
import numpy as np
from corvane.executors import freed_memory_kept

# Page faults counted in small pages: with transparent huge pages, how many a
# fresh array takes depends on where the kernel happens to map it.
(getattr(np, "_core", None) or np.core).multiarray._set_madvise_hugepage(False)

def faults():  # page faults of 20 trial-sized arrays made and freed
    np.ones(2**21, np.float32)
    start = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(20):
        np.ones(2**21, np.float32)
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt - start

before = faults()
with freed_memory_kept():
    kept = faults()
print(before, kept, faults())
"""


def test_trials_on_a_dask_worker_reuse_freed_memory_and_then_give_it_back():
    # Dask starts workers with MALLOC_TRIM_THRESHOLD_ set: each freed array goes
    # back to the system and the next one is faulted in page by page.
    env = dict(os.environ, MALLOC_TRIM_THRESHOLD_="65536")
    out = subprocess.run([sys.executable, "-c", _MALLOC_PROBE], env=env, capture_output=True, text=True, check=True)
    before, kept, after = map(int, out.stdout.split())
    assert before > 1000 and after > 1000, out.stdout  # the worker's own setting, before and after
    assert kept < before / 10, out.stdout


@pytest.mark.parametrize("storage", ["float32", "float16"])
def test_dask_cluster_gives_the_serial_rows(cluster, storage):
    from distributed import Client

    serial = campaign(storage).run()
    seen = []
    on_cluster = campaign(storage).run(seen.append, scheduler=cluster.scheduler_address)
    assert rows(on_cluster.records) == rows(serial.records) and len(seen) == len(serial.records)
    assert summaries(on_cluster) == summaries(serial)
    # A client of the caller's is used and left open.
    with Client(cluster.scheduler_address) as client:
        again = campaign(storage, evaluate=None).run(scheduler=client)
        assert client.status == "running"
    assert rows(again.records) == rows(campaign(storage, evaluate=None).run().records)


def test_dask_cluster_gives_the_serial_map(cluster):
    from corvane.vulnerability import VulnerabilityMap

    def vmap():
        return VulnerabilityMap(tiny("float16"), "cep:D3P1", per_stratum=10, bits="10-15", evaluate=total_abs)

    serial = vmap().run()
    on_cluster = vmap().run(scheduler=cluster.scheduler_address)
    assert [r.as_json() | {"seconds": 0} for r in on_cluster.records] == [
        r.as_json() | {"seconds": 0} for r in serial.records
    ]
    assert on_cluster.clean_metric == serial.clean_metric and len(serial.records) == 12


class PidFactory:
    """A factory noting the process it is called in (module level, so a Dask worker can unpickle it)."""

    def __init__(self, path):
        self.path = str(path)

    def __call__(self, clean):
        with open(self.path, "a") as f:
            f.write(f"{os.getpid()}\n")
        return total_abs


def test_dask_workers_call_a_factory_once_each(cluster, tmp_path):
    factory = PidFactory(tmp_path / "pids")
    made = campaign(evaluate=factory).run(scheduler=cluster.scheduler_address)
    assert rows(made.records) == rows(campaign().run().records)
    pids = (tmp_path / "pids").read_text().split()
    from distributed import Client

    with Client(cluster.scheduler_address) as client:
        workers = {str(pid) for pid in client.run(os.getpid).values()}
    assert pids[0] == str(os.getpid()) and sorted(pids[1:]) == sorted(workers)


def test_resume_runs_only_the_missing_trials(tmp_path):
    full = campaign().run()
    out = tmp_path / "run"
    first = campaign().run(workers=2, out=out)
    assert rows(first.records) == rows(full.records)
    lines = (out / TRIALS).read_text().splitlines(keepends=True)
    assert len(lines) == len(full.records)
    kept = lines[::3]
    (out / TRIALS).write_text("".join(kept))
    ran, resumed = [], []
    again = campaign().run(ran.append, out=out, on_resume=resumed.append)
    assert resumed == [len(kept)] and len(ran) == len(lines) - len(kept)
    assert rows(again.records) == rows(full.records)
    assert summaries(again) == summaries(full) and again.baseline_metric == full.baseline_metric
    # Everything done: nothing runs, not even the encoding.
    ran.clear()
    assert rows(campaign().run(ran.append, out=out).records) == rows(full.records) and ran == []


@pytest.mark.parametrize(
    "tail",
    [b'{"protection": "none", "kind": "fl', b'{"protection": "none"}\n', b"\n"],
    ids=["cut-off", "not-a-record", "empty-last-line"],
)
def test_a_cut_off_last_line_is_dropped_and_rerun(tmp_path, tail):
    out = tmp_path / "run"
    full = campaign().run(out=out)
    lines = (out / TRIALS).read_bytes().splitlines(keepends=True)
    (out / TRIALS).write_bytes(b"".join(lines[:-2]) + tail)
    ran = []
    again = campaign().run(ran.append, out=out)
    assert len(ran) == 2 and rows(again.records) == rows(full.records)
    data = (out / TRIALS).read_bytes()
    assert data.endswith(b"}\n") and len(data.splitlines()) == len(full.records)


def test_a_bad_line_inside_the_file_is_refused(tmp_path):
    out = tmp_path / "run"
    campaign().run(out=out)
    lines = (out / TRIALS).read_bytes().splitlines(keepends=True)
    (out / TRIALS).write_bytes(b"".join(lines[:3]) + b"garbage\n" + b"".join(lines[3:]))
    with pytest.raises(StudyError, match=r"line 4 is not a trial record"):
        campaign().run(out=out)


def test_a_directory_in_use_is_refused(tmp_path):
    c = campaign()
    config = run_config(c.config(), c.weights, c.evaluate)
    with RunDir(tmp_path, config):
        with pytest.raises(StudyError, match="another run is writing to this directory"):
            RunDir(tmp_path, config)


@pytest.fixture
def weights_file(tmp_path):
    path = tmp_path / "w.npz"
    rng = np.random.default_rng(0)
    np.savez(path, a=rng.normal(0, 0.1, 400).astype(np.float32), b=rng.normal(0, 0.1, 90).astype(np.float32))
    return path


def study(path, *extra):
    return ["study", "--weights", str(path), "--rates", "1e-3,1e-2", "--trials", "3", "--quiet", *map(str, extra)]


def run(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize(
    "change,differs",
    [
        (["--trials", "4"], "trials"),
        (["--seed", "1"], "seed"),
        (["--protect", "none,mset"], "protections"),
        (["--kind", "stuck-at-0"], "kind"),
        (["--faults", "3"], "counts, rates"),
        ("weights", "weights_digest"),
    ],
)
def test_a_changed_campaign_is_refused(tmp_path, weights_file, capsys, change, differs):
    out = tmp_path / "run"
    assert run(study(weights_file, "--out", out), capsys)[0] == 0
    before = (out / TRIALS).read_bytes()
    argv = study(weights_file, "--out", out)
    if change == "weights":
        z = dict(np.load(weights_file))
        z["a"][17] += 1
        np.savez(weights_file, **z)
    elif change[0] == "--faults":
        argv[argv.index("--rates") : argv.index("--rates") + 2] = change
    else:
        argv += change
    code, _, err = run(argv, capsys)
    assert code == 2
    assert err == (f"corvane: error: --out {out} holds another campaign (it differs in {differs}); "
                   "rerun with the same options or use another directory\n")  # fmt: skip
    assert (out / TRIALS).read_bytes() == before


def test_report_from_the_directory_alone(tmp_path, weights_file, capsys):
    out = tmp_path / "run"
    a = tmp_path / "a"
    code, table, err = run(study(weights_file, "--out", out, "--csv", f"{a}.csv", "--json", f"{a}.json"), capsys)
    assert code == 0, err
    weights_file.unlink()  # the report needs none
    b = tmp_path / "b"
    code, again, err = run(["report", out, "--csv", f"{b}.csv", "--json", f"{b}.json", "--plot", f"{b}.png"], capsys)
    assert code == 0, err
    assert again in table  # the same tables, without the weight-set line
    assert (tmp_path / "b.csv").read_text() == (tmp_path / "a.csv").read_text()
    assert json.loads((tmp_path / "b.json").read_text()) == json.loads((tmp_path / "a.json").read_text())
    assert (tmp_path / "b.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "argv,message",
    [
        (["report", "{tmp}/nowhere"], "{tmp}/nowhere: no such directory"),
        (["report", "{tmp}"], "{tmp}: no config.json; not a campaign directory"),
        (["report", "{run}", "--metric", "metric"], "--metric metric needs --evaluate (or the default model)"),
        (["report", "{run}", "--plot", "{tmp}/x.gif"], "{tmp}/x.gif: unknown plot format '.gif' (use .png, .svg, .pdf)"),
        (["study", "--workers", "0"], "--workers must be at least 1, got 0"),
        (["study", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
         "argument --scheduler: not allowed with argument --workers"),
    ],
)  # fmt: skip
def test_errors_of_the_scale_options(tmp_path, weights_file, capsys, argv, message):
    out = tmp_path / "run"
    assert run(study(weights_file, "--out", out), capsys)[0] == 0
    fill = {"tmp": tmp_path, "run": out}
    argv = [a.format(**fill) for a in argv]
    if argv[0] == "study":
        argv = study(weights_file) + argv[1:]
    code, _, err = run(argv, capsys)
    assert (code, err) == (2, f"corvane: error: {message.format(**fill)}\n")


def _cli(*args, **kw):
    return subprocess.Popen([sys.executable, "-m", "corvane", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kw)  # fmt: skip


def _sigint_after_trials(cmd, trials_file, some=8):
    proc = _cli(*cmd)
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline and proc.poll() is None:
        if trials_file.exists() and trials_file.read_bytes().count(b"\n") >= some:
            break
        time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out, err


@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_keeps_finished_trials_and_a_rerun_completes_them(tmp_path, weights_file, workers):
    out = tmp_path / "run"
    # Enough trials that the run is still going when the signal comes.
    cmd = [*study(weights_file, "--out", out, "--workers", workers), "--trials", "150"]
    code, _, err = _sigint_after_trials(cmd, out / TRIALS)
    assert code == 130, err
    done = (out / TRIALS).read_bytes().count(b"\n")
    assert err == f"corvane: interrupted: {done} of 1200 trials done, kept in {out}\n"
    assert 8 <= done < 1200
    proc = _cli(*cmd, "--csv", tmp_path / "resumed.csv")
    assert proc.communicate(timeout=300)[1] == "" and proc.returncode == 0
    proc = _cli(*[a for a in cmd if a not in ("--out", str(out))], "--csv", tmp_path / "whole.csv")
    proc.communicate(timeout=300)

    def drop_seconds(name):
        text = (tmp_path / name).read_text().splitlines()
        col = text[0].split(",").index("seconds")
        return [line.split(",")[:col] + line.split(",")[col + 1 :] for line in text]

    assert drop_seconds("resumed.csv") == drop_seconds("whole.csv")


def test_ctrl_c_stops_a_dask_run_cleanly(tmp_path, weights_file, cluster):
    out = tmp_path / "run"
    cmd = [*study(weights_file, "--out", out, "--scheduler", cluster.scheduler_address), "--trials", "150"]
    code, _, err = _sigint_after_trials(cmd, out / TRIALS)
    done = (out / TRIALS).read_bytes().count(b"\n")
    assert (code, err) == (130, f"corvane: interrupted: {done} of 1200 trials done, kept in {out}\n")


@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_while_a_trial_is_written_counts_what_the_directory_keeps(tmp_path, monkeypatch, workers):
    # Ctrl-C right after a trial's line is written, before the run counts it: the
    # count told must still be the lines kept, and the handler put back after.
    write = RunDir.append

    def append_then_ctrl_c(self, rec):
        write(self, rec)
        if (tmp_path / "run" / TRIALS).read_bytes().count(b"\n") == 3:
            signal.raise_signal(signal.SIGINT)

    monkeypatch.setattr(RunDir, "append", append_then_ctrl_c)
    with pytest.raises(Interrupted) as caught:
        campaign().run(out=tmp_path / "run", workers=workers)
    assert caught.value.done == (tmp_path / "run" / TRIALS).read_bytes().count(b"\n") == 3
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_interrupted_is_a_keyboard_interrupt_with_the_count():
    exc = Interrupted(3, 10, None)
    assert isinstance(exc, KeyboardInterrupt)
    assert str(exc) == "3 of 10 trials done, not kept (use --out DIR to resume)"
