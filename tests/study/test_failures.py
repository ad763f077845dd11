"""Runs that fail from outside their input: dead workers, a lost scheduler, Ctrl-C, a full disk.

Each ends within seconds with one line, keeps every finished trial and leaves
a directory the same command resumes. The commands run as subprocesses in a
session of their own, so whatever a test finds, nothing it started outlives it.
"""

import contextlib
import json
import os
import random
import re
import resource
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import psutil
import pytest

from corvane import Campaign
from corvane.errors import ctrl_c_held
from corvane.rundir import SUMMARIES, TRIALS, RunDir, run_config
from weightsets import tiny

HERE = Path(__file__).resolve().parent
#: The trials of study(): 4 protections x 2 rates x 150 trials.
TOTAL = 1200


@pytest.fixture
def weights_file(tmp_path):
    path = tmp_path / "w.npz"
    rng = np.random.default_rng(0)
    np.savez(path, a=rng.normal(0, 0.1, 400).astype(np.float32), b=rng.normal(0, 0.1, 90).astype(np.float32))
    return path


def study(path, *extra):
    return ["study", "--weights", path, "--rates", "1e-3,1e-2", "--trials", "150", "--quiet", *extra]


def command(*args):
    return [sys.executable, "-m", "corvane", *map(str, args)]


@contextlib.contextmanager
def running(argv, **kw):
    proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True, **kw)  # fmt: skip
    try:
        yield proc
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()


def lines(out):
    path = out / TRIALS
    return path.read_bytes().count(b"\n") if path.exists() else 0


def wait_for_trials(proc, out, some=8):
    deadline = time.monotonic() + 120
    while lines(out) < some:
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.02)


def finish(proc):
    """The process's stderr and status, and how long it took to end (it must end within 30 s)."""
    start = time.monotonic()
    _, err = proc.communicate(timeout=30)
    return proc.returncode, err, time.monotonic() - start


def resumes(argv, out, **kw):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=300, **kw)
    assert (done.returncode, done.stderr) == (0, "")
    return lines(out)


_MISBEHAVES = """
import os
import time
from pathlib import Path

import numpy as np

PARENT = os.getpid()
calls = 0


def f(weights):
    # In a worker, after its first batches: dies, or takes its time, while the file says so.
    global calls
    calls += 1
    if os.getpid() != PARENT and calls > 40:
        if Path("die").exists():
            os._exit(3)
        if Path("slow").exists():
            time.sleep(120)
    with np.errstate(all="ignore"):
        return float(np.nansum(np.minimum(np.abs(weights["a"].astype(np.float64)), 10.0)))
"""


def misbehaving(tmp_path, how):
    (tmp_path / "evalmod.py").write_text(_MISBEHAVES)
    (tmp_path / how).touch()
    return ["--evaluate", "evalmod:f"]


@pytest.mark.parametrize("death", ["SIGKILL", "os._exit"])
def test_a_dead_worker_ends_the_run_within_seconds_and_the_directory_resumes(tmp_path, weights_file, death):
    out = tmp_path / "run"
    argv = command(*study(weights_file, "--out", out, "--workers", "2"))
    if death == "os._exit":
        argv += misbehaving(tmp_path, "die")
    with running(argv, cwd=tmp_path) as proc:
        if death == "SIGKILL":
            wait_for_trials(proc, out)
            victim = psutil.Process(proc.pid).children()[0]
            victim.kill()
        code, err, seconds = finish(proc)
    reason = "killed by signal 9, SIGKILL; out of memory?" if death == "SIGKILL" else "exit status 3"
    done = lines(out)
    assert code == 1 and seconds < 10
    assert re.fullmatch(rf"corvane: error: worker process \d+ died \({re.escape(reason)}\); "
                        rf"{done} of {TOTAL} trials done, kept in {re.escape(str(out))}\n", err), err  # fmt: skip
    if death == "SIGKILL":
        assert f"process {victim.pid} died" in err
    (tmp_path / "die").unlink(missing_ok=True)
    assert resumes(argv, out, cwd=tmp_path) == TOTAL


def test_one_ctrl_c_at_any_moment_ends_a_worker_run_with_the_kept_trials_line(tmp_path, weights_file):
    # One SIGINT per run, at a random moment: while the command starts, while
    # workers start, run, hand back results or stop between protections, or
    # while the tables are printed.
    rng = random.Random(17)
    for i in range(8):
        out = tmp_path / f"run{i}"
        with running(command(*study(weights_file, "--out", out, "--workers", "2", "--trials", "40"))) as proc:
            time.sleep(rng.uniform(0.8, 3.5))
            proc.send_signal(signal.SIGINT)
            code, err, seconds = finish(proc)
        assert seconds < 10, (i, err)
        if code == 0:  # the run was over before the signal
            assert err == "", (i, err)
        elif err == "corvane: interrupted\n":  # still starting: no campaign yet, nothing to keep
            assert code == 130 and lines(out) == 0, i
        else:
            assert (code, err) == (130, f"corvane: interrupted: {lines(out)} of 320 trials done, kept in {out}\n"), i


def test_ctrl_c_held_holds_a_signal_that_another_thread_takes():
    # The kernel gives a process's SIGINT to any thread not blocking it (a BLAS
    # thread, the native pool's); Python still runs its handler in the main thread.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        other = threading.Thread(target=time.sleep, args=(1.0,))
        other.start()
        steps = []
        with pytest.raises(KeyboardInterrupt):
            with ctrl_c_held():
                signal.pthread_kill(other.ident, signal.SIGINT)
                for _ in range(200):
                    time.sleep(0.001)  # the handler has every chance to run meanwhile
                steps.append("the block ran to its end")
            steps.append("not reached: the Ctrl-C is raised as the block ends")
        assert steps == ["the block ran to its end"]
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        other.join()
    finally:
        signal.signal(signal.SIGINT, previous)


def test_workers_die_with_their_parent_and_leave_the_directory_free(tmp_path, weights_file):
    out = tmp_path / "run"
    argv = command(*study(weights_file, "--out", out, "--workers", "2", *misbehaving(tmp_path, "slow")))
    with running(argv, cwd=tmp_path) as proc:
        wait_for_trials(proc, out, 64)  # both workers are in a long evaluate now
        workers = psutil.Process(proc.pid).children()
        assert len(workers) == 2
        proc.kill()
        proc.wait()
        _, alive = psutil.wait_procs(workers, timeout=5)
        assert alive == []
    (tmp_path / "slow").unlink()
    assert resumes(argv, out, cwd=tmp_path) == TOTAL


def test_a_forked_child_does_not_hold_the_run_directory_lock(tmp_path):
    c = Campaign(tiny(), ["none"], rates=[1e-3], trials=2)
    config = run_config(c.config(), c.weights, None)
    go, wait = os.pipe()
    ready, started = os.pipe()
    with RunDir(tmp_path, config):
        pid = os.fork()
        if pid == 0:  # a child that outlives the run's hold on the directory
            os.write(started, b"x")  # its fork handlers have run by now
            os.read(go, 1)
            os._exit(0)
        os.read(ready, 1)
    try:
        with RunDir(tmp_path, config):  # refused while the child shared the lock
            pass
    finally:
        os.write(wait, b"x")
        os.waitpid(pid, 0)
        for fd in (go, wait, ready, started):
            os.close(fd)


def campaign(**kw):
    return Campaign(tiny(), ["none", "secded:16", "mset"], rates=[1e-3, 1e-2], trials=3, seed=5, **kw)


def rows(results):
    return [{k: repr(v) for k, v in r.as_row().items() if k != "seconds"} for r in results.records]


def test_dask_resumes_a_directory_whose_last_protection_summary_was_not_saved(tmp_path, cluster):
    # An interrupted run leaves every trial of a protection done but its clean loss not yet measured.
    out = tmp_path / "run"
    full = campaign().run(out=out)
    doc = json.loads((out / SUMMARIES).read_text())
    for s in doc["protections"]:
        s["clean"] = s["clean_metric"] = None
    (out / SUMMARIES).write_text(json.dumps(doc))
    again = campaign().run(scheduler=cluster.scheduler_address, out=out)
    assert rows(again) == rows(full)
    assert [s.clean for s in again.protections] == [s.clean for s in full.protections]


_SCHEDULER = """
import time
from distributed import LocalCluster

cluster = LocalCluster(n_workers=1, processes=False, threads_per_worker=2, host="127.0.0.1",
                       dashboard_address=None, protocol="tcp://")
print(cluster.scheduler_address, flush=True)
time.sleep(600)
"""


def test_a_lost_scheduler_ends_the_run_within_seconds_and_the_directory_resumes(tmp_path, weights_file):
    pytest.importorskip("distributed")
    out = tmp_path / "run"
    with running([sys.executable, "-c", _SCHEDULER]) as scheduler:
        address = scheduler.stdout.readline().strip()
        argv = command(*study(weights_file, "--out", out, "--scheduler", address))
        with running(argv) as proc:
            wait_for_trials(proc, out)
            os.killpg(scheduler.pid, signal.SIGKILL)
            code, err, seconds = finish(proc)
    done = lines(out)
    assert (code, err) == (1, f"corvane: error: lost the Dask scheduler at {address}; "
                              f"{done} of {TOTAL} trials done, kept in {out}\n")  # fmt: skip
    assert seconds < 10
    assert resumes([*argv[: argv.index("--scheduler")], "--workers", "1"], out) == TOTAL


def _file_size_limit(limit):
    def set_limit():
        # Writes past the limit fail with EFBIG, as a full disk fails them with ENOSPC.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return set_limit


def test_a_full_disk_ends_the_run_with_one_line_and_the_directory_resumes(tmp_path, weights_file):
    out = tmp_path / "run"
    argv = command(*study(weights_file, "--out", out, "--workers", "2"))
    done = subprocess.run(argv, capture_output=True, text=True, timeout=300, preexec_fn=_file_size_limit(20000))
    kept = lines(out)
    assert (done.returncode, done.stderr) == (1, f"corvane: error: {out / TRIALS}: cannot write: File too large; "
                                                 f"{kept} of {TOTAL} trials done, kept in {out}\n")  # fmt: skip
    assert 0 < kept < TOTAL
    assert resumes(argv, out) == TOTAL


def test_an_output_that_does_not_fit_on_the_disk_is_one_line_and_leaves_nothing(tmp_path, weights_file, capsys):
    from corvane.cli import main

    out = tmp_path / "run"
    assert main([str(a) for a in study(weights_file, "--out", out, "--workers", "1", "--trials", "3")]) == 0
    capsys.readouterr()
    csv = tmp_path / "t.csv"
    done = subprocess.run(command("report", out, "--csv", csv), capture_output=True, text=True, timeout=120,
                          preexec_fn=_file_size_limit(2000))  # fmt: skip
    assert (done.returncode, done.stderr) == (1, f"corvane: error: {csv}: cannot write: File too large\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run", "w.npz"]
