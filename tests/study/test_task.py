"""The model's own task: weights by name, factories, ONNX models through the campaign and the CLI, weights
stored in 16 bits, default rates fitted to the model, and what a batch log shows."""

import csv
import json
import os
import subprocess
import sys
from pathlib import Path

import ml_dtypes
import numpy as np
import pytest
from onnx import TensorProto, helper, numpy_helper

from corvane import Campaign, StudyError, WeightSet, load_weights
from corvane.campaign import SATURATED, TOP_RATE, default_rates
from corvane.cli import Heartbeat, main
from corvane.vocabulary import COUNTERS, TrialRecord

from test_onnx_task import classifier, fresh_metric, inputs, some_labels, write
from weightsets import tiny

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def rows(records):
    return [{k: repr(v) for k, v in r.as_row().items() if k != "seconds"} for r in records]


def read_csv(path):
    with open(path, newline="") as f:
        return [{k: v for k, v in r.items() if k != "seconds"} for r in csv.DictReader(f)]


def total_abs(weights):
    with np.errstate(invalid="ignore", over="ignore"):
        return float(sum(np.nansum(np.minimum(np.abs(a.astype(np.float64)), 10.0)) for a in weights.values()))


class PidFactory:
    """A factory that notes each process it is called in (picklable, for worker processes)."""

    def __init__(self, path):
        self.path = str(path)

    def __call__(self, clean):
        with open(self.path, "a") as f:
            f.write(f"{os.getpid()}\n")
        return total_abs

    def pids(self):
        return Path(self.path).read_text().split()


# -- weights by name, and factories --


def test_evaluate_sees_read_only_weights_by_name_in_file_order():
    seen = []

    def evaluate(weights):
        seen.append([(k, a.dtype.name, a.shape, a.flags.writeable) for k, a in weights.items()])
        with pytest.raises(TypeError):
            weights["zeta"] = None
        return 1.0

    ws = WeightSet.from_arrays([("zeta", np.ones((2, 3), np.float16)), ("alpha", np.ones(4, np.float32)),
                                ("mid", np.ones(5, np.int8))])  # fmt: skip
    Campaign(ws, ["none"], counts=[3], trials=2, evaluate=evaluate).run()
    Campaign(ws, ["none"], counts=[3], trials=2, evaluate=evaluate, dense=True).run()
    assert {tuple(s) for s in seen} == {(("zeta", "float16", (2, 3), False), ("alpha", "float32", (4,), False),
                                         ("mid", "int8", (5,), False))}  # fmt: skip


@pytest.mark.parametrize("workers", [1, 3])
def test_a_factory_is_called_once_per_process_and_gives_the_rows_of_its_function(tmp_path, workers):
    factory = PidFactory(tmp_path / "pids")
    made = Campaign(tiny(), ["none", "secded:16", "mset"], rates=[1e-2], trials=6, seed=3, evaluate=factory).run(
        workers=workers
    )
    plain = Campaign(tiny(), ["none", "secded:16", "mset"], rates=[1e-2], trials=6, seed=3, evaluate=total_abs).run()
    assert rows(made.records) == rows(plain.records)
    assert made.baseline_metric == plain.baseline_metric and made.metric_name.endswith("PidFactory")
    pids = factory.pids()
    assert len(pids) == len(set(pids)), "a process called the factory twice"
    assert pids[0] == str(os.getpid()) and (len(pids) == 1) == (workers == 1)


def test_copies_of_one_spec_call_a_factory_once_in_a_process(tmp_path):
    # A Dask worker may hold two copies of a scattered spec: the one it was sent and one fetched from a peer.
    import pickle

    factory = PidFactory(tmp_path / "pids")
    spec = Campaign(tiny(), ["none"], rates=[1e-2], trials=2, seed=3, evaluate=factory).spec()
    copies = [pickle.loads(pickle.dumps(spec)) for _ in range(3)]
    assert all(c.task() is copies[0].task() for c in copies)
    assert factory.pids() == [str(os.getpid())]
    # Another campaign's spec calls its factory again.
    again = Campaign(tiny(), ["none"], rates=[1e-2], trials=2, seed=3, evaluate=factory).spec()
    again.task()
    assert factory.pids() == [str(os.getpid())] * 2


@pytest.mark.parametrize(
    "evaluate,message",
    [(lambda w: "0.5", "returned str, not a number"), (lambda w: (lambda v: [1]), "returned list, not a number"),
     (lambda w: 1 / 0, "raised ZeroDivisionError"), (lambda w: (lambda v: {}["x"]), "raised KeyError")],
    ids=["string", "factory-of-a-list", "raises", "factory-raises"],
)  # fmt: skip
def test_what_an_evaluate_function_returns_is_checked(evaluate, message):
    with pytest.raises(StudyError, match=message):
        Campaign(tiny(), ["none"], counts=[1], trials=1, evaluate=evaluate).run()


def test_the_examples_two_forms_give_the_same_rows(tmp_path, capsys, monkeypatch):
    monkeypatch.syspath_prepend(str(EXAMPLES))
    base = ["study", "--faults", "4,40", "--trials", "3", "--protect", "none,secded:64"]
    for name in ("accuracy", "make_accuracy"):
        code, out, err = run(base + ["--evaluate", f"digits_task:{name}", "--csv", tmp_path / f"{name}.csv"], capsys)
        assert code == 0, err
        assert f"digits_task:{name}(decoded weights)" in out
    plain, made = read_csv(tmp_path / "accuracy.csv"), read_csv(tmp_path / "make_accuracy.csv")
    assert plain == made and len({r["metric"] for r in plain}) > 1


def test_the_digits_model_exported_to_onnx_scores_as_in_numpy(tmp_path, capsys):
    from corvane import digits
    from corvane.onnx_task import OnnxTask

    sys.path.insert(0, str(EXAMPLES))
    try:
        import export_digits_onnx
    finally:
        sys.path.remove(str(EXAMPLES))
    model, data = tmp_path / "d.onnx", tmp_path / "d.npz"
    assert export_digits_onnx.main(["x", str(model), str(data)]) == 0
    ws, evaluate = digits.weight_set()
    from corvane.trial import named

    assert OnnxTask(model, data).clean_metric == evaluate(named(ws)) > 0.9


# -- ONNX models in a campaign and on the command line --


@pytest.fixture
def onnx_files(tmp_path):
    model, weights = classifier()
    x = inputs(rows=60)
    labels = some_labels(model, x)
    mp, dp = write(tmp_path, model, x=x, labels=labels)
    return model, weights, x, labels, mp, dp


def test_an_onnx_campaign_scores_each_trials_decoded_weights_with_onnx_runtime(onnx_files):
    from corvane.runs import onnx_evaluate

    model, _, x, labels, mp, dp = onnx_files
    ws = load_weights(mp)
    assert [t.name for t in ws.tensors] == ["W0", "B0", "W1", "B1"] and ws.skipped == [("shape", "int64")]
    evaluate, name = onnx_evaluate(ws, mp, dp)
    grid = dict(protections=["none", "secded:16", "mset"], rates=[2e-2], trials=4, seed=5)
    got = Campaign(ws, grid["protections"], rates=grid["rates"], trials=4, seed=5, evaluate=evaluate).run()
    assert name == "top-1 accuracy of model.onnx on data.npz"
    assert got.baseline_metric == fresh_metric(model, {}, x, labels)
    decoded = []

    def capture(weights):  # the same trials, in grid order, keeping each trial's decoded weights
        decoded.append({k: np.array(v) for k, v in weights.items()})
        return 0.0

    Campaign(ws, grid["protections"], rates=grid["rates"], trials=4, seed=5, evaluate=capture).run()
    trials = decoded[1:]  # after the baseline: per protection its clean metric, then its trials
    per = [trials[i * 5 + 1 : i * 5 + 5] for i in range(3)]
    metrics = [r.metric for r in got.records]
    assert metrics == [fresh_metric(model, w, x, labels) for ws_ in per for w in ws_]
    assert len(set(metrics)) > 1  # the faults do reach the model


def test_onnx_study_from_the_command_line_with_worker_processes(onnx_files, tmp_path, capsys):
    _, _, _, _, mp, dp = onnx_files
    base = ["study", "--weights", mp, "--data", dp, "--rates", "1e-2", "--trials", "4", "--protect", "none,mset"]
    code, out, err = run(base + ["--workers", "2", "--csv", tmp_path / "two.csv"], capsys)
    assert code == 0, err
    assert "metric: top-1 accuracy of model.onnx on data.npz" in out and err == ""
    assert run(base + ["--workers", "1", "--quiet", "--csv", tmp_path / "one.csv"], capsys)[0] == 0
    assert read_csv(tmp_path / "two.csv") == read_csv(tmp_path / "one.csv")
    # Stored as float16, the model is fed its weights widened back to float32.
    code, out, err = run(base + ["--as", "float16", "--quiet"], capsys)
    assert code == 0, err
    assert "stored as float16 (float32 rounded to nearest even)" in out and "as float32" in out


def test_onnx_study_as_a_process_with_workers_exits(onnx_files):
    # ONNX Runtime imported in the parent must not keep forked workers (or the command) from exiting.
    _, _, _, _, mp, dp = onnx_files
    p = subprocess.run([sys.executable, "-m", "corvane", "study", "--weights", str(mp), "--data", str(dp), "--quick",
                        "--workers", "2"], capture_output=True, text=True, timeout=120)  # fmt: skip
    assert p.returncode == 0 and p.stderr == "", p.stderr
    assert "top-1 accuracy" in p.stdout


@pytest.mark.parametrize(
    "argv,message",
    [(["--data", "{dp}"], "--data evaluates an ONNX model on its inputs: give the model as --weights MODEL.onnx"),
     (["--weights", "{npz}", "--data", "{dp}"], "give the model as --weights MODEL.onnx"),
     (["--weights", "{mp}", "--data", "{dp}", "--evaluate", "json:dumps"], "--data and --evaluate both name"),
     (["--weights", "{mp}", "--data", "{bad}"], "no array for the model input 'x'"),
     (["--weights", "{mp}", "--data", "{short}"], "59 labels for 60 rows of data"),
     (["--weights", "{mp}", "--tensors", "W*,typo*"], "'typo*' matches no tensor of")],
)  # fmt: skip
def test_onnx_and_tensor_errors_are_one_line(onnx_files, tmp_path, capsys, argv, message):
    _, _, x, _, mp, dp = onnx_files
    np.savez(tmp_path / "w.npz", w=np.ones(3, np.float32))
    np.savez(tmp_path / "bad.npz", pixels=x)
    np.savez(tmp_path / "short.npz", x=x, labels=np.zeros(59, int))
    argv = [a.format(dp=dp, mp=mp, npz=tmp_path / "w.npz", bad=tmp_path / "bad.npz", short=tmp_path / "short.npz")
            for a in argv]  # fmt: skip
    code, out, err = run(["study", "--quick", "--quiet", *argv, "--csv", tmp_path / "o.csv"], capsys)
    assert code == 2 and err.count("\n") == 1 and message in err, err
    assert not (tmp_path / "o.csv").exists()


# -- weights stored in 16 bits --


@pytest.mark.parametrize("dtype", ["float16", "bfloat16"])
def test_stored_as_rounds_float32_to_nearest_even_and_measures_the_loss(dtype):
    rng = np.random.default_rng(2)
    w = np.concatenate([rng.normal(0, 1, 500), [np.nan, np.inf, 7e4, 1e-9, -0.0]]).astype(np.float32)
    half = rng.normal(0, 1, 30).astype(np.float16)
    ws = WeightSet.from_arrays([("w", w), ("h", half), ("q", np.arange(7, dtype=np.int8))], source="m")
    stored = ws.stored_as(dtype)
    target = np.dtype(ml_dtypes.bfloat16 if dtype == "bfloat16" else np.float16)
    with np.errstate(over="ignore", invalid="ignore"):
        rounded = w.astype(target)
    assert [t.dtype for t in stored.tensors] == [dtype, "float16", "int8"] and stored.rounded_from is ws
    assert np.array_equal(stored.tensors[0].patterns, rounded.view(np.uint16))
    assert stored.tensors[1] is ws.tensors[1] and stored.tensors[2] is ws.tensors[2]

    res = Campaign(stored, ["none"], counts=[1], trials=1, evaluate=total_abs).run()
    r = res.rounding
    a = np.concatenate([w.astype(np.float64), half.astype(np.float64), np.arange(7.0)])
    b = np.concatenate([rounded.astype(np.float64), half.astype(np.float64), np.arange(7.0)])
    moved = (a != b) & ~(np.isnan(a) & np.isnan(b))
    both = np.isfinite(a) & np.isfinite(b)
    err = np.abs(b[both] - a[both])
    assert r.dtype == dtype and r.loss.values_changed == int(moved.sum())
    assert r.loss.rel_l2_error == pytest.approx(np.sqrt((err**2).sum() / (a[np.isfinite(a)] ** 2).sum()), rel=1e-12)
    assert r.loss.nonfinite == (1 if dtype == "float16" else 0)  # 7e4 is beyond float16
    assert (r.metric_before, r.metric_after) == (total_abs({"w": w, "h": half, "q": np.arange(7, dtype=np.int8)}),
                                                 res.baseline_metric)  # fmt: skip


def test_as_on_a_weight_file_studies_16_bit_patterns_and_keeps_the_rounding(tmp_path, capsys):
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    save_file({"a": rng.normal(0, 0.1, (30, 20)).astype(np.float32), "b": np.ones(8, np.float16)},
              str(tmp_path / "m.safetensors"))  # fmt: skip
    base = ["study", "--weights", tmp_path / "m.safetensors", "--faults", "3", "--trials", "2", "--protect", "none",
            "--quiet", "--as", "bfloat16"]  # fmt: skip
    code, out, err = run(base + ["--json", tmp_path / "s.json", "--out", tmp_path / "run"], capsys)
    assert code == 0, err
    assert "│ none       │        9728 │     16.000 │" in out  # 608 values of 16 bits
    assert "stored as bfloat16 (float32 rounded to nearest even), before any fault: 600 values changed" in out
    doc = json.loads((tmp_path / "s.json").read_text())
    assert doc["rounding"]["dtype"] == "bfloat16" and doc["rounding"]["loss"]["values_changed"] == 600
    code, again, _ = run(["report", tmp_path / "run"], capsys)
    assert code == 0 and "stored as bfloat16" in again
    save_file({"b": np.ones(8, np.float16)}, str(tmp_path / "h.safetensors"))
    code, _, err = run(["study", "--weights", tmp_path / "h.safetensors", "--as", "float16", "--quick"], capsys)
    assert code == 2 and "--as float16: " in err and "holds no float32 tensor to round (its tensors are float16)" in err


# -- rates fitted to the model --


@pytest.mark.parametrize("bits", [50, 3200, 77_120, 726_822_912, 2**40])
@pytest.mark.parametrize("quick", [False, True])
def test_default_rates_run_from_about_one_fault_to_saturation(bits, quick):
    rates, note = default_rates(bits, quick)
    faults = [max(1, round(r * bits)) for r in rates]
    assert rates == sorted(rates) and all(0 < r <= TOP_RATE for r in rates)
    assert len(rates) == (3 if quick else 4) or bits * TOP_RATE < 10
    if bits * TOP_RATE >= SATURATED:
        assert faults[0] == (10 if quick else 1) and faults[-1] == SATURATED
        assert "ruined alike" in note
    else:
        assert rates[-1] == TOP_RATE and "highest default rate" in note
    assert f"{bits:,} bits" in note


def test_the_study_says_which_rates_it_chose(tmp_path, capsys):
    np.savez(tmp_path / "w.npz", w=np.random.default_rng(0).normal(0, 1, 100_000).astype(np.float32))
    code, out, err = run(["study", "--weights", tmp_path / "w.npz", "--protect", "none", "--trials", "2", "--quiet",
                          "--csv", tmp_path / "o.csv"], capsys)  # fmt: skip
    assert code == 0, err
    rates, note = default_rates(3_200_000)
    assert note in out
    assert sorted({float(r["rate"]) for r in read_csv(tmp_path / "o.csv")}) == rates
    assert sorted({int(r["faults"]) for r in read_csv(tmp_path / "o.csv")}) == [1, 10, 100, 1000]


def test_a_heartbeat_only_for_runs_longer_than_a_few_seconds(capsys):
    now = [0.0]
    beat = Heartbeat(100, clock=lambda: now[0])
    counters = dict.fromkeys(COUNTERS)
    rec = TrialRecord("mset", "flip", 1e-3, 3, 0, 0, 0, 0.0, 0.0, 0.0, 0, **counters, silent=False, seconds=0.0,
                      metric=None, outcome="masked")  # fmt: skip
    beat.resumed(20)
    lines = []
    for t in [1.0, 4.9, 5.0, 6.0, 14.0, 15.1, 40.0]:
        now[0] = t
        beat.trial(rec)
        lines.append(capsys.readouterr().err)
    assert [bool(x) for x in lines] == [False, False, True, False, False, True, True]
    assert lines[2] == "corvane: 23 of 100 trials done (mset), 5 s, about 128 s left\n"


# -- smaller things --


def test_show_trial_of_a_campaign_of_fault_counts_takes_a_count(tmp_path, capsys):
    np.savez(tmp_path / "w.npz", w=np.ones(64, np.float32))
    base = ["study", "--weights", tmp_path / "w.npz", "--faults", "5,9", "--trials", "2", "--protect", "none"]
    code, out, err = run(base + ["--show-trial", "none", "9", "1"], capsys)
    assert code == 0 and "faults of none, 9 faults, trial 1" in out and out.count("│ flip") == 9
    code, _, err = run(base + ["--show-trial", "none", "1e-3", "1"], capsys)
    assert code == 2 and "--show-trial: this campaign counts faults: give a fault count, one of 5, 9, not 0.001" in err


def test_piped_output_keeps_long_names_whole(tmp_path, capsys):
    name = "encoder.layer.11.attention.self.query_key_value_projection.weight_of_a_long_name"
    np.savez(tmp_path / "w.npz", **{name: np.ones((3, 4), np.float32)})
    code, out, _ = run(["inspect", tmp_path / "w.npz"], capsys)
    assert code == 0 and name in out
    code, out, _ = run(["study", "--weights", tmp_path / "w.npz", "--faults", "2", "--trials", "1",
                        "--show-trial", "none", "2", "0"], capsys)  # fmt: skip
    assert code == 0 and out.count(name) == 2


def test_a_protection_that_cannot_take_a_tensor_names_it():
    ws = WeightSet.from_arrays([("w", np.ones(40, np.float32)), ("q.weight", np.ones(9, np.int8)),
                                ("r.weight", np.ones(9, np.uint8))])  # fmt: skip
    res = Campaign(ws, ["none", "cep:D3P1"], counts=[2], trials=1).run()
    cep = res.protections[1]
    assert not cep.applicable and [r.protection for r in res.records] == ["none"]
    assert cep.reason == ("does not take uint8 data (int8 tensor 'q.weight' and 1 more); a protection studies every "
                          "tensor or none, so --tensors can leave these out")  # fmt: skip
