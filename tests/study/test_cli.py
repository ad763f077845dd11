"""The command line end to end on small inputs."""

import csv
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from corvane import digits
from corvane.cli import main, parse_rates
from corvane.trial import named


@pytest.fixture
def model(tmp_path):
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    path = tmp_path / "model.safetensors"
    save_file({"w1": rng.normal(0, 0.05, (40, 30)).astype(np.float32), "w2": rng.normal(0, 0.05, 90).astype(np.float32)},
              str(path))  # fmt: skip
    return path


def run(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def test_study_writes_csv_json_plot_and_is_reproducible(tmp_path, model, capsys):
    base = ["study", "--weights", model, "--rates", "1e-3,1e-2", "--trials", "3", "--quiet"]
    code, out, err = run(base + ["--csv", tmp_path / "a.csv", "--json", tmp_path / "a.json", "--plot", tmp_path / "a.png"], capsys)
    assert code == 0, err
    assert "fault campaign" in out and "secded:64" in out and "cep:D3P1" in out
    rows = read_csv(tmp_path / "a.csv")
    assert list(rows[0])[:6] == ["protection", "kind", "rate", "faults", "trial", "seed"]
    for col in ("values_changed", "max_abs_error", "mean_abs_error", "rel_l2_error", "nonfinite", "chunks_corrected",
                "chunks_flagged", "chunks_miscorrected", "seconds", "metric", "outcome"):  # fmt: skip
        assert col in rows[0]
    assert len(rows) == 4 * 2 * 3 and all(r["metric"] == "" for r in rows)
    assert {r["chunks_flagged"] == "" for r in rows if r["protection"] != "secded:64"} == {True}
    doc = json.loads((tmp_path / "a.json").read_text())
    assert doc["config"]["trials"] == 3 and len(doc["trials"]) == 24 and len(doc["aggregates"]) == 8
    assert (tmp_path / "a.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    run(base + ["--csv", tmp_path / "b.csv"], capsys)
    run(base + ["--csv", tmp_path / "c.csv", "--seed", "1"], capsys)
    drop = lambda rs: [{k: v for k, v in r.items() if k != "seconds"} for r in rs]  # noqa: E731
    assert drop(read_csv(tmp_path / "b.csv")) == drop(rows)
    assert [r["seed"] for r in read_csv(tmp_path / "c.csv")] != [r["seed"] for r in rows]
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]


def test_show_trial_lists_exactly_the_faults_of_the_row(tmp_path, model, capsys):
    csv_path = tmp_path / "t.csv"
    run(["study", "--weights", model, "--protect", "none,secded:16", "--faults", "5", "--trials", "2",
         "--kind", "stuck-at-1", "--csv", csv_path, "--quiet"], capsys)  # fmt: skip
    for row in read_csv(csv_path):
        code, out, _ = run(["study", "--weights", model, "--protect", "none,secded:16", "--faults", "5", "--trials", "2",
                            "--kind", "stuck-at-1", "--show-trial", row["protection"], "5", row["trial"]], capsys)  # fmt: skip
        assert code == 0
        assert f"seed={row['seed']}" in out and f"values_changed={row['values_changed']}" in out
        from corvane.native import draw_sites

        stored = 1290 * 32 if row["protection"] == "none" else 1290 * 32 // 16 * 22
        sites = draw_sites(stored, int(row["seed"]), 5)
        for s in sites.tolist():
            assert f"\n│ {s} " in out
        assert out.count("│ stuck-at-1") == 5


def test_default_model_quick_study_prints_accuracy(capsys):
    code, out, err = run(["study", "--quick", "--quiet", "--protect", "none,mset"], capsys)
    assert code == 0, err
    ws, evaluate = digits.weight_set()
    acc = evaluate(named(ws))
    assert acc > 0.9
    assert f"{acc:.4f}" in out
    assert digits.weight_set()[1](named(ws)) == acc  # from the cache now: the same weights
    assert np.array_equal(digits.train()[0], ws.tensors[0].patterns.reshape(64, -1))


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--weights", "{tmp}/missing.safetensors"], "missing.safetensors: no such file"),
        (["--weights", "{tmp}/bad.npz"], "bad.npz: cannot read the file"),
        (["--weights", "{tmp}/ids.npz"], "has no usable tensor"),
        (["--rates", "0"], "rate 0 is outside (0, 1]"),
        (["--rates", "2"], "rate 2 is outside (0, 1]"),
        (["--rates", "1e-3:1:0"], "N must be at least 1"),
        (["--faults", "100000000"], "100000000 faults asked of none"),
        (["--protect", "none,hamming"], "unknown protection 'hamming'"),
        (["--protect", "cep:D9P1"], "unknown embedded-parity scheme 'D9P1'"),
        (["--protect", "secded:0"], "at least 1 bit"),
        (["--evaluate", "no_such_module_xyz:f"], "cannot import no_such_module_xyz"),
        (["--evaluate", "json:no_such_function"], "json has no callable no_such_function"),
        (["--evaluate", "{mod}:explode"], "the evaluate function raised RuntimeError: boom"),
        (["--kind", "bitrot"], "invalid choice: 'bitrot'"),
        (["--trials", "x"], "invalid int value: 'x'"),
        (["--metric", "accuracy"], "unknown metric 'accuracy'"),
        (["--plot", "{tmp}/out.gif"], "unknown plot format '.gif'"),
        (["--csv", "{tmp}/no/dir/out.csv"], "no such directory"),
    ],
)
def test_errors_exit_2_with_one_line_and_write_nothing(tmp_path, capsys, monkeypatch, argv, message):
    (tmp_path / "bad.npz").write_bytes(b"garbage")
    np.savez(tmp_path / "ids.npz", ids=np.arange(3))
    (tmp_path / "evalmod.py").write_text("def explode(arrays):\n    raise RuntimeError('boom')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    outs = [tmp_path / "o.csv", tmp_path / "o.json", tmp_path / "o.png"]
    argv = [a.format(tmp=tmp_path, mod="evalmod") for a in argv]
    code, _, err = run(["study", "--quick", "--quiet", *argv, "--csv", outs[0], "--json", outs[1], "--plot", outs[2]]
                       if "--csv" not in argv and "--plot" not in argv else ["study", "--quick", "--quiet", *argv],
                       capsys)  # fmt: skip
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("corvane: error: ") and message in err, err
    assert not [p for p in os.listdir(tmp_path) if p.startswith(("o.", ".o."))]


def test_inspect_lists_tensors_and_protections(tmp_path, capsys):
    np.savez(tmp_path / "m.npz", a=np.ones((4, 4), np.float32), b=np.ones(3, np.uint8), c=np.arange(2))
    code, out, _ = run(["inspect", tmp_path / "m.npz", "--protect", "none,secded:64,mset"], capsys)
    assert code == 0
    assert "4x4" in out and "uint8" in out and "skipped: c (int64)" in out
    assert "not applicable" in out  # mset cannot take the uint8 tensor


def test_rates_spec():
    assert parse_rates("1e-6:1e-3:4") == pytest.approx([1e-6, 1e-5, 1e-4, 1e-3])
    assert parse_rates("0.5") == [0.5]


def test_console_script_and_module_entry_points(tmp_path, model):
    env = dict(os.environ)
    for cmd in ([sys.executable, "-m", "corvane"],):
        p = subprocess.run([*cmd, "study", "--weights", str(model), "--faults", "3", "--trials", "2", "--protect", "none"],
                           capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)  # fmt: skip
        assert p.returncode == 0, p.stderr
        assert "fault campaign" in p.stdout and p.stderr == ""  # no progress bar off a terminal
        p = subprocess.run([*cmd, "study", "--rates", "7"], capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
        assert p.returncode == 2 and p.stderr == "corvane: error: --rates: rate 7 is outside (0, 1]\n"
        p = subprocess.run([*cmd, "study", "--help"], capture_output=True, text=True, env=env, timeout=120)
        assert "faults per stored bit" in p.stdout


@pytest.mark.parametrize(
    "argv",
    [
        ["study", "--rates", ""], ["study", "--faults", ""], ["study", "--protect", ""], ["study", "--metric", ""],
        ["study", "--out", ""], ["study", "--weights", ""], ["study", "--tensors", ""], ["study", "--evaluate", ""],
        ["study", "--csv", ""], ["study", "--scheduler", ""], ["report", ""], ["inspect", ""],
    ],
    ids=lambda a: " ".join(a[:2]),
)
def test_an_empty_value_is_an_error_not_the_default(tmp_path, capsys, monkeypatch, argv):
    monkeypatch.chdir(tmp_path)
    code, _, err = run(argv, capsys)
    flag = {"report": "DIR", "inspect": "PATH"}.get(argv[0], argv[-2])
    assert (code, err) == (2, f"corvane: error: {flag}: an empty value\n")
    assert os.listdir(tmp_path) == []


def test_a_rate_just_above_one_is_named_as_written(capsys):
    code, _, err = run(["study", "--rates", "1e-3,1.0000001"], capsys)
    assert (code, err) == (2, "corvane: error: --rates: rate 1.0000001 is outside (0, 1]\n")


def test_rates_beyond_what_a_campaign_may_hold_are_refused_before_they_are_made(capsys):
    code, _, err = run(["study", "--rates", "1e-9:1e-3:1000000000"], capsys)
    assert (code, err) == (2, "corvane: error: --rates: 1000000000 fault levels are more than the 1e+05 a campaign "
                              "may hold\n")  # fmt: skip


def test_the_evaluate_modules_folder_does_not_shadow_what_corvane_imports(tmp_path, model):
    # A csv.py beside the user's module: corvane's own `import csv` must still get the standard library.
    (tmp_path / "csv.py").write_text("raise ImportError('the wrong csv')\n")
    (tmp_path / "evalmod.py").write_text("def f(arrays):\n    return 1.0\n")
    argv = [sys.executable, "-P", "-m", "corvane", "study", "--weights", str(model), "--faults", "1", "--trials", "1",
            "--protect", "none", "--evaluate", "evalmod:f", "--csv", "out.csv", "--quiet"]  # fmt: skip
    done = subprocess.run(argv, capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    assert (tmp_path / "out.csv").read_text().startswith("protection,")
