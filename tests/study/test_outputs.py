"""Output files and what is printed: only regular files written, user text printed literally, plots of odd metrics."""

import os
import socket
import stat

import numpy as np
import pytest

from corvane.cli import main

STUDY = ["study", "--faults", "1", "--trials", "2", "--protect", "none", "--workers", "1", "--quiet"]


@pytest.fixture
def weights_file(tmp_path):
    path = tmp_path / "w.npy"
    np.save(path, np.random.default_rng(0).normal(0, 0.1, 200).astype(np.float32))
    return path


def cli(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def make(kind, path, tmp_path):
    """A file of some kind at path; for links, what the link names."""
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        s = socket.socket(socket.AF_UNIX)
        s.bind(str(path))
        s.close()
    elif kind == "device":
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # what /dev/null is
        except PermissionError:
            pytest.skip("device nodes cannot be made here")
    elif kind == "link to a fifo":
        os.mkfifo(tmp_path / "fifo")
        path.symlink_to(tmp_path / "fifo")
    elif kind == "link to /dev/null":
        path.symlink_to("/dev/null")
    return os.lstat(path)


@pytest.mark.parametrize("kind", ["fifo", "socket", "device", "link to a fifo", "link to /dev/null"])
@pytest.mark.parametrize("option", ["--csv", "--json", "--plot"])
def test_an_output_over_a_special_file_is_refused_and_the_file_kept(tmp_path, weights_file, capsys, kind, option):
    path = tmp_path / ("out.png" if option == "--plot" else "out.txt")
    before = make(kind, path, tmp_path)
    code, _, err = cli([*STUDY, "--weights", weights_file, option, path], capsys)
    assert code == 2 and err.startswith(f"corvane: error: {path}: is a ") and "not a regular file" in err, err
    after = os.lstat(path)
    assert (after.st_mode, after.st_ino, after.st_rdev) == (before.st_mode, before.st_ino, before.st_rdev)
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")) == []


def test_an_output_through_a_link_replaces_the_file_it_names_and_keeps_the_link(tmp_path, weights_file, capsys):
    (tmp_path / "real.csv").write_text("old\n")
    (tmp_path / "link.csv").symlink_to("real.csv")
    code, _, err = cli([*STUDY, "--weights", weights_file, "--csv", tmp_path / "link.csv"], capsys)
    assert (code, err) == (0, "")
    assert (tmp_path / "link.csv").is_symlink() and (tmp_path / "real.csv").read_text().startswith("protection,")


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_outputs_are_created_with_the_usual_mode_under_the_umask(tmp_path, weights_file, capsys, umask):
    old = os.umask(umask)
    try:
        out = tmp_path / "run"
        code, _, _ = cli([*STUDY, "--weights", weights_file, "--out", out, "--csv", tmp_path / "t.csv",
                          "--json", tmp_path / "t.json", "--plot", tmp_path / "t.png"], capsys)  # fmt: skip
    finally:
        os.umask(old)
    assert code == 0
    files = [tmp_path / "t.csv", tmp_path / "t.json", tmp_path / "t.png", *(out / n for n in os.listdir(out))]
    assert {p.name: stat.S_IMODE(os.stat(p).st_mode) for p in files} == {p.name: 0o666 & ~umask for p in files}


@pytest.mark.parametrize("path", ["/proc/x.json", "/proc/self/x.json", "/sys/x.json"])
def test_an_output_where_no_file_can_be_made_is_refused_before_the_campaign(weights_file, capsys, monkeypatch, path):
    ran = []
    monkeypatch.setattr("corvane.campaign.Campaign.run", lambda *a, **k: ran.append(1))
    code, _, err = cli([*STUDY, "--weights", weights_file, "--json", path], capsys)
    assert code == 2 and err.startswith(f"corvane: error: {path}: cannot write in ") and ran == []


NAMES = [
    "[/]",  # a closing tag with nothing open: rich raises MarkupError
    "[bold red]loud[/bold red]",
    ":thumbs_up:",
    "esc\x1b]0;title\x07\x1b[2Jcleared",
    "line\nbreak\rreturn",
    "rtl\u202eoverride",
]


def unwrapped(text):
    # A long path may be wrapped in a table title.
    return text.replace("\n", "")


def test_user_text_is_printed_literally_with_control_characters_escaped(tmp_path, capsys):
    np.savez(tmp_path / "w.npz", **{name: np.ones(8, np.float32) for name in NAMES}, ids=np.arange(2))
    renamed = tmp_path / "[" / "]:smile:$x$"  # a path with [/] in it
    renamed.mkdir(parents=True)
    weights = renamed / "w.npz"
    (tmp_path / "w.npz").rename(weights)
    code, out, err = cli(["inspect", weights], capsys)
    assert (code, err) == (0, "")
    assert "[bold red]loud[/bold red]" in out and ":thumbs_up:" in out and str(weights) in unwrapped(out)
    assert "esc\\x1b]0;title\\x07\\x1b[2Jcleared" in out and "line\\x0abreak\\x0dreturn" in out
    assert "rtl\\u202eoverride" in out
    assert not any(c in out for c in "\x1b\x07\r\u202e")
    csv = renamed / "t.csv"
    loud = [a for a in STUDY if a != "--quiet"]  # the weight-set line is printed too
    code, out, err = cli([*loud, "--weights", weights, "--csv", csv, "--plot", renamed / "t.png"], capsys)
    assert (code, err) == (0, "")
    assert str(weights) in unwrapped(out) and csv.exists() and (renamed / "t.png").exists()
    code, _, err = cli([*STUDY, "--weights", renamed / "no\x1b[31mfile.npz"], capsys)
    assert (code, err) == (2, f"corvane: error: {renamed}/no\\x1b[31mfile.npz: no such file\n")


NOT_FINITE = """
import math

calls = 0


def f(weights):
    global calls
    calls += 1
    return [1.0, 2.0, math.nan, math.inf, 3.0][calls % 5]
"""


@pytest.mark.parametrize("metric", ["metric", "rel_l2_error"])
def test_a_plot_of_trials_with_metrics_that_are_not_finite_draws_the_others_and_says_so(tmp_path, capsys, monkeypatch,
                                                                                      weights_file, metric):  # fmt: skip
    import matplotlib.axes

    (tmp_path / "notfinite.py").write_text(NOT_FINITE)
    monkeypatch.syspath_prepend(str(tmp_path))
    argv = ["study", "--weights", weights_file, "--faults", "1,2", "--trials", "5", "--protect", "none", "--workers",
            "1", "--evaluate", "notfinite:f", "--metric", metric, "--plot", tmp_path / "p.png", "--csv",
            tmp_path / "p.csv", "--quiet"]  # fmt: skip
    if metric == "rel_l2_error":  # all-zero weights: every error is infinitely large against them
        np.save(weights_file, np.zeros(200, np.float32))
    said = []
    annotate = matplotlib.axes.Axes.annotate
    monkeypatch.setattr(matplotlib.axes.Axes, "annotate", lambda ax, text, *a, **k: said.append(text) or annotate(
        ax, text, *a, **k))  # fmt: skip
    titles = []
    set_title = matplotlib.axes.Axes.set_title
    monkeypatch.setattr(matplotlib.axes.Axes, "set_title", lambda ax, t, **kw: titles.append(t) or set_title(ax, t, **kw))
    code, out, err = cli(argv, capsys)
    assert (code, err) == (0, "")
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rows = (tmp_path / "p.csv").read_text().splitlines()
    column = rows[0].split(",").index(metric)
    bad = sum(r.split(",")[column] in ("nan", "inf") for r in rows[1:])
    assert bad and sum(int(t.split()[0]) for t in said if t.endswith("non-finite")) == bad
    assert titles[0].startswith(str(weights_file).replace("$", r"\$"))


def test_outputs_are_written_before_the_table_is_printed(tmp_path, weights_file, capsys, monkeypatch):
    def broken_terminal(*args, **kwargs):
        raise BrokenPipeError

    monkeypatch.setattr("corvane.report.print_table", broken_terminal)
    code, _, _ = cli([*STUDY, "--weights", weights_file, "--csv", tmp_path / "t.csv"], capsys)
    assert code == 1 and (tmp_path / "t.csv").read_text().startswith("protection,")


@pytest.mark.parametrize(
    "code, kind",
    [("ENOSPC", "RunFailed"), ("EDQUOT", "RunFailed"), ("EIO", "RunFailed"), ("EFBIG", "RunFailed"),
     ("EACCES", "StudyError"), ("EROFS", "StudyError"), ("ENOENT", "StudyError")],
)  # fmt: skip
def test_a_full_disk_fails_the_run_and_a_bad_path_is_bad_input(code, kind):
    import errno

    from corvane.files import write_error

    exc = write_error("t.csv", OSError(getattr(errno, code), os.strerror(getattr(errno, code))))
    assert type(exc).__name__ == kind and str(exc) == f"t.csv: cannot write: {os.strerror(getattr(errno, code))}"
