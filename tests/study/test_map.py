"""Vulnerability maps: strata against single-fault trials, the known shape, intervals, the protect-curve, the CLI."""

import json
import math
import os

import numpy as np
import pytest

from corvane import digits
from corvane.cli import main
from corvane.errors import StudyError
from corvane.mapresults import MapResults, StratumRecord, group_rows, pooled
from corvane.metrics import damage
from corvane.native import draw_sites
from corvane.protections.clip import ClipStored
from corvane.protections.secded import SecdedStored
from corvane.strata import StratumKey, stratum_seed
from corvane.trial import named
from corvane.vulnerability import VulnerabilityMap
from corvane.vocabulary import OUTCOMES, outcome
from corvane.weights import WeightSet

from weightsets import tiny


def site_of(stored, element, bit):
    """Where value bit ``bit`` of group element ``element`` is stored, from the codes' own definitions."""
    inner = stored.inner if isinstance(stored, ClipStored) else stored
    t = element * stored.storage.bits + bit
    return inner.encoded_index(t) if isinstance(inner, SecdedStored) else t


def single_faults(vmap, key):
    """Each fault of a stratum as its own dense trial: (damage, nonfinite, flagged, metric change)."""
    spec = vmap.spec()
    prepared = spec.prepare(vmap.protection)
    tensor = vmap.weights.tensors[key.tensor]
    seed = stratum_seed(vmap.seed, vmap.protection.name, tensor.name, key.bit)
    group = next(g for g in prepared.groups if key.tensor in g.members)
    first = sum(vmap.weights.tensors[i].size for i in group.members[: group.members.index(key.tensor)])
    out = []
    for e in draw_sites(tensor.size, seed, min(vmap.per_stratum, tensor.size)).tolist():
        effect = group.stored.dense(vmap.kind.single, np.array([site_of(group.stored, first + e, key.bit)], np.uint64))
        empty = np.zeros(0, np.int64)
        changes = [(empty, empty, empty)] * len(vmap.weights.tensors)
        decoded = list(prepared.clean)
        for i, ch, d in zip(group.members, effect.changes, effect.decoded):
            changes[i], decoded[i] = ch, d
        dmg = damage(vmap.weights.tensors, changes, prepared.reference)
        delta = None
        if vmap.evaluate is not None:
            delta = vmap.evaluate(named(vmap.weights, decoded)) - prepared.clean_metric
        result = outcome(effect.counts, dmg.values_changed, None, None, None)
        out.append((dmg.rel_l2_error, dmg.nonfinite > 0, result, delta))
    return out


def shift(values):
    """An evaluate function that sees every value: a weighted sum, so any change moves it."""
    total = 0.0
    for k, a in enumerate(values.values()):
        with np.errstate(invalid="ignore"):
            x = np.nan_to_num(a.astype(np.float64), nan=7.0, posinf=1e30, neginf=-1e30)
        total += float(np.sum(np.clip(x, -1e30, 1e30) * (k + 1)))
    return total


@pytest.mark.parametrize("storage", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("name", ["none", "cep:D3P1", "mset", "secded:64", "secded:36", "secded:7", "clip",
                                  "mset+clip", "secded:36+clip"])  # fmt: skip
def test_a_stratum_is_its_faults_as_single_trials(storage, name):
    ws = tiny(storage, sizes=(150, 9, 40))
    vmap = VulnerabilityMap(ws, name, per_stratum=30, seed=5, evaluate=shift if storage == "float32" else None)
    width = ws.tensors[0].storage.bits
    keys = [StratumKey(t, b) for t in range(3) for b in (0, 3, width - 9, width - 2, width - 1)]
    for key in keys:
        rec = vmap.spec().run(vmap.spec().prepare(vmap.protection), key)
        faults = single_faults(vmap, key)
        assert rec.trials == len(faults) == min(30, ws.tensors[key.tensor].size)
        rel = np.array([f[0] for f in faults])
        assert rec.damage.mean == pytest.approx(rel.mean(), rel=1e-9, abs=0)
        assert rec.damage_sq == pytest.approx(np.mean(rel * rel), rel=1e-9, abs=0)
        assert rec.nonfinite.mean == pytest.approx(np.mean([f[1] for f in faults]))
        assert rec.outcomes == {o: sum(f[2] == o for f in faults) for o in OUTCOMES}
        assert rec.sdc.mean == pytest.approx(rec.outcomes["sdc"] / rec.trials)
        if vmap.evaluate is not None:
            assert rec.metric.mean == pytest.approx(np.mean([f[3] for f in faults]), rel=1e-9, abs=1e-9)


def test_secded_corrects_every_single_fault_and_cep_zeroes_its_group():
    ws = tiny("float32", sizes=(200, 64))
    for name in ("secded:64", "secded:36"):
        res = VulnerabilityMap(ws, name, per_stratum=40).run()
        assert {r.outcomes["masked"] for r in res.records} == {r.trials for r in res.records}
        assert all(r.sdc.mean == 0 and r.damage.mean == 0 for r in res.records)
    cep = VulnerabilityMap(ws, "cep:D3P1", per_stratum=40).run()
    # One fault fails its parity group's check, and the decoder zeroes the group's sources: a DUE where the
    # fault changed a source, a false one where it changed the parity bit (the lowest 8 bits) and zeroed
    # intact data.
    for r in cep.records:
        assert r.outcomes["false_due" if r.bit < 8 else "due"] == r.trials, r
        assert r.sdc.mean == 0 and r.sdc.high < 0.1


@pytest.fixture(scope="module")
def digits_map():
    ws, evaluate = digits.weight_set()
    return VulnerabilityMap(ws, per_stratum=20, evaluate=evaluate, seed=1).run()


def random_file_map(tmp_path, dtype="float32"):
    from safetensors.numpy import save_file

    import ml_dtypes

    rng = np.random.default_rng(3)
    dt = ml_dtypes.bfloat16 if dtype == "bfloat16" else dtype
    arrays = {f"layer.{i}.weight": rng.normal(0, 0.1, (30, 20)).astype(dt) for i in range(3)}
    path = tmp_path / "model.safetensors"
    save_file(arrays, str(path))
    from corvane import load_weights

    return VulnerabilityMap(load_weights(path), per_stratum=40, seed=2).run()


@pytest.mark.parametrize("dtype, top", [("float32", 30), ("float16", 14), ("bfloat16", 14)])
def test_the_exponents_top_bit_dominates(tmp_path, dtype, top):
    res = random_file_map(tmp_path, dtype)
    bits = {int(m.label): m.estimates["damage"].mean for m in res.by_bit()}
    assert max(bits, key=bits.get) == top
    assert bits[top] > 1e3 * max(v for b, v in bits.items() if b != top)
    for t in res.by_tensor():
        own = {r.bit: r.damage.mean for r in res.records if r.tensor == t.label}
        assert max(own, key=own.get) == top


def test_the_digits_map_has_the_known_shape(digits_map):
    by_bit = {int(m.label): m for m in digits_map.by_bit()}
    damage_ = {b: m.estimates["damage"].mean for b, m in by_bit.items()}
    metric = {b: abs(m.estimates["metric"].mean) for b, m in by_bit.items()}
    assert max(damage_, key=damage_.get) == 30 and max(metric, key=metric.get) == 30
    # Low mantissa bits of a float32 weight never move the accuracy on 360 digits.
    assert all(metric[b] == 0 for b in range(12))
    assert [r.bit for r in digits_map.top(4, "metric")] == [30] * 4
    assert digits_map.clean_metric == digits_map.baseline_metric == pytest.approx(0.9667, abs=1e-4)


def test_every_stratum_has_intervals_and_small_tensors_are_mapped_exactly(digits_map):
    for r in digits_map.records:
        for e in (r.sdc, r.nonfinite, r.damage, r.metric):
            assert e.low <= e.mean <= e.high
        exact = r.values <= 20
        assert r.exhaustive == exact and r.trials == min(20, r.values)
        if exact:
            assert r.sdc.low == r.sdc.high and r.damage.low == r.damage.high
        else:
            assert r.sdc.low < r.sdc.high or r.sdc.mean in (0, 1)
            assert 0 <= r.sdc.low and r.sdc.high <= 1 and r.damage.low >= 0


def test_a_map_is_reproducible_and_a_stratum_independent_of_the_others():
    ws = tiny("float16", sizes=(80, 120))

    def rows(**kw):
        return [{k: v for k, v in r.as_row().items() if k != "seconds"}
                for r in VulnerabilityMap(ws, "mset", per_stratum=25, **kw).run().records]  # fmt: skip

    full = rows(seed=4)
    assert rows(seed=4) == full
    assert rows(seed=4, bits="13-15") == [r for r in full if r["bit"] in (13, 14, 15)]
    other = rows(seed=5)
    assert [r["seed"] for r in other] != [r["seed"] for r in full]
    mixed = rows(seed=4, kind="flip:0.5,stuck-at-1:0.5")
    assert mixed != full and rows(seed=4, kind="flip:0.5,stuck-at-1:0.5") == mixed


def test_marginals_weigh_strata_by_their_values():
    from corvane.mapresults import Estimate

    def rec(values, mean, half):
        e = Estimate(mean, mean - half, mean + half)
        return StratumRecord("none", "t", 0, values, 10, 0, {}, e, e, e, 0.0, None, None, 0.0)

    m = pooled("x", [rec(100, 0.2, 0.1), rec(300, 0.6, 0.0)])
    assert m.values == 400 and m.estimates["sdc"].mean == pytest.approx(0.5)
    assert m.estimates["sdc"].low == pytest.approx(0.5 - 0.25 * 0.1)
    assert "metric" not in m.estimates


@pytest.mark.parametrize("by", ["metric", "damage", "nonfinite"])
@pytest.mark.parametrize("units", ["tensors", "bits"])
def test_the_protect_curve_beats_the_random_order_on_the_digits_model(digits_map, by, units):
    curve = digits_map.curve(by, units)
    ordered, rnd = np.array(curve.ordered), np.array(curve.random)
    assert ordered[0] == pytest.approx(rnd[0]) and ordered[-1] == rnd[-1] == 0
    assert np.all(np.diff(ordered) <= 1e-12 * ordered[0])
    assert ordered.mean() < rnd.mean()
    if units == "bits":
        # The exponent's top bit of every tensor is 1/32 of the bits: protected first, it leaves little.
        left, random_left = curve.at(1 / 32 + 1e-9)
        assert left < 0.1 * ordered[0] and random_left > 0.8 * rnd[0]
        assert ordered.mean() < 0.2 * rnd.mean()


def test_the_protect_curve_counts_at_its_rate_and_chooses_within_the_budget(digits_map):
    one = digits_map.curve("nonfinite", "tensors")
    ten = digits_map.curve("nonfinite", "tensors", rate=10 * one.rate)
    assert ten.ordered[0] == pytest.approx(10 * one.ordered[0])
    bits = {t.name: t.values * 32 for t in digits_map.tensors}
    expected = sum(r.values * r.nonfinite.mean for r in digits_map.records) * one.rate
    assert one.ordered[0] == pytest.approx(expected)
    for budget in (0.005, 0.02, 0.2, 1.0):
        chosen = one.selection(budget)
        assert sum(bits[n] for n in chosen) <= budget * one.total_bits
        assert chosen == [s.label for s in one.steps[: len(chosen)]]
    assert one.selection(1.0) == [s.label for s in one.steps]
    with pytest.raises(StudyError, match="metric"):
        VulnerabilityMap(tiny("float32"), per_stratum=2, bits="30").run().curve("metric")


def test_rows_are_grouped_by_name_prefix_when_there_are_many():
    names = [f"encoder.layer.{i}.{part}.{w}" for i in range(12) for part in ("attn", "mlp", "norm") for w in "wb"]
    assert group_rows(names[:10], 64) == [(n, [n]) for n in names[:10]]
    rows = group_rows(names, 64)
    assert len(rows) == 36 and rows[0] == ("encoder.layer.0.attn.* (2)", names[:2])
    assert sum(len(m) for _, m in rows) == len(names)
    assert len(group_rows(names, 12)) == 12
    flat = group_rows([f"w{i}" for i in range(300)], 50)
    assert len(flat) == 50 and [n for _, m in flat for n in m] == [f"w{i}" for i in range(300)]


def test_map_refuses_bad_options_in_one_line():
    ws = tiny("float32")
    for kw, message in [
        ({"per_stratum": 0}, "at least 1"),
        ({"bits": "check"}, "'check' names none"),
        ({"bits": "40"}, "beyond the 32 bits"),
        ({"protection": "secded:0"}, "at least 1 bit"),
        ({"kind": "flip:0.5"}, "add up"),
        ({"seed": -1}, "seed"),
    ]:
        with pytest.raises(StudyError, match=message):
            VulnerabilityMap(ws, **kw)
    with pytest.raises(StudyError, match="does not take uint8 data"):
        VulnerabilityMap(tiny("int8"), "clip")


def run(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def model(tmp_path):
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    loud = rng.normal(0, 0.5, 200).astype(np.float32)
    quiet = rng.normal(0, 1e-6, 2000).astype(np.float32)
    path = tmp_path / "model.safetensors"
    save_file({"loud": loud, "quiet": quiet}, str(path))
    return path


def test_cli_map_writes_every_output_and_a_selection_that_study_protects(tmp_path, model, capsys):
    out = {k: tmp_path / f"m.{k}" for k in ("csv", "json")}
    png, curve_png, chosen = tmp_path / "heat.png", tmp_path / "curve.png", tmp_path / "chosen.txt"
    argv = ["map", "--weights", model, "--per-stratum", "20", "--workers", "1", "--csv", out["csv"], "--json",
            out["json"], "--plot", png, "--protect-curve", "--curve-plot", curve_png, "--selection", chosen,
            "--budget", "0.1", "--quiet"]  # fmt: skip
    code, text, err = run(argv, capsys)
    assert code == 0, err
    assert "most vulnerable strata" in text and "protect-curve" in text and "per bit position" in text
    lines = out["csv"].read_text().splitlines()
    assert len(lines) == 1 + 64 and lines[0].startswith("protection,tensor,bit,values,trials")
    doc = json.loads(out["json"].read_text())
    assert len(doc["strata"]) == 64 and len(doc["by_bit"]) == 32 and doc["config"]["per_stratum"] == 20
    for path in (png, curve_png):
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    listed = [line for line in chosen.read_text().splitlines() if not line.startswith("#")]
    assert listed == ["loud"]
    # The map's choice, studied in full: protecting it leaves far less damage than protecting the other tensor.
    study = ["study", "--weights", model, "--protect", "secded:64", "--bits", "30", "--faults", "4", "--trials", "20",
             "--quiet", "--workers", "1"]  # fmt: skip
    damage_ = {}
    for which in (f"@{chosen}", "quiet"):
        code, text, err = run(study + ["--protect-only", which, "--json", tmp_path / "s.json"], capsys)
        assert code == 0, err
        assert "protections applied only to 1 of 2 tensors" in text
        agg = json.loads((tmp_path / "s.json").read_text())["aggregates"][0]
        damage_[which] = agg["metrics"]["rel_l2_error"]["mean"]
    assert damage_[f"@{chosen}"] < 1e-3 * damage_["quiet"]
    again = tmp_path / "again.csv"
    run(argv[:-1] + ["--csv", again], capsys)
    drop = lambda text: [line.rsplit(",", 1)[0] for line in text.splitlines()]  # noqa: E731 - seconds last
    assert drop(again.read_text()) == drop(out["csv"].read_text())


@pytest.mark.parametrize("argv, message", [
    (["--per-stratum", "0"], "--per-stratum must be a whole number of at least 1"),
    (["--protect", "bogus"], "unknown protection 'bogus'"),
    (["--protect", "clip+mset"], "only clip follows another protection"),
    (["--bits", "check"], "--bits: a map's strata are bit positions"),
    (["--by", "metric"], "--by metric needs a task metric"),
    (["--top", "0"], "--top must be at least 1"),
    (["--protect-curve", "--budget", "0"], "--budget 0 is outside (0, 1]"),
    (["--protect-curve", "--rate", "2"], "--rate 2 is outside (0, 1]"),
    (["--protect-curve", "--rate", "x"], "--rate: 'x' is not a number"),
    (["--protect-curve", "bits", "--selection", "{tmp}/s.txt"], "--selection lists tensors"),
    (["--plot", "{tmp}/nowhere/heat.png"], "no such directory"),
    (["--curve-plot", "{tmp}/curve.gif"], "unknown plot format"),
    (["--data", "{tmp}/d.npz"], "--data evaluates an ONNX model"),
])  # fmt: skip
def test_cli_map_errors_are_one_line_and_write_nothing(tmp_path, model, capsys, argv, message):
    argv = [a.replace("{tmp}", str(tmp_path)) for a in argv]
    code, out, err = run(["map", "--weights", model, "--per-stratum", "2", "--quiet", "--csv", tmp_path / "m.csv",
                          *argv], capsys)  # fmt: skip
    assert code == 2 and err.startswith("corvane: error: ") and err.count("\n") == 1, err
    assert message in err
    assert not (tmp_path / "m.csv").exists()


@pytest.mark.parametrize("which, message", [
    ("@{tmp}/missing.txt", "cannot read the tensor list"),
    ("@{tmp}/unknown.txt", "'nope' is no tensor of"),
    ("@{tmp}/empty.txt", "selects no tensor"),
    ("lo*,nothing*", "'nothing*' matches no tensor"),
])  # fmt: skip
def test_study_protect_only_errors_are_one_line(tmp_path, model, capsys, which, message):
    (tmp_path / "unknown.txt").write_text("# a comment\nloud\nnope\n")
    (tmp_path / "empty.txt").write_text("# nothing\n\n")
    code, _, err = run(["study", "--weights", model, "--protect-only", which.replace("{tmp}", str(tmp_path)),
                        "--faults", "1", "--trials", "1", "--quiet"], capsys)  # fmt: skip
    assert code == 2 and message in err and err.count("\n") == 1, err


def plain_rows(campaign):
    return [{k: v for k, v in r.as_row().items() if k != "seconds"} for r in campaign.run().records]


def test_protect_only_stores_the_other_tensors_as_they_are():
    from corvane import Campaign

    ws = tiny("float32", sizes=(128, 64, 30))
    kw = {"counts": [1, 40, 500], "trials": 3, "seed": 2}
    full = Campaign(ws, ["secded:64", "mset+clip"], **kw)
    every = Campaign(ws, ["secded:64", "mset+clip"], protect_only="t*", **kw)
    assert plain_rows(every) == plain_rows(full)
    part = Campaign(ws, ["secded:64", "mset+clip"], protect_only={"t1"}, **kw)
    bits = {s.name: s.stored_bits for s in part.summaries()}
    assert bits["secded:64"] == 64 * 32 // 64 * 72 + (128 + 30) * 32 and bits["mset+clip"] == (128 + 64 + 30) * 32
    assert part.config()["protect_only"] == ["t1"]
    dense = Campaign(ws, ["secded:64", "mset+clip"], protect_only={"t1"}, dense=True, **kw)
    rows = plain_rows(part)
    assert rows == plain_rows(dense)
    assert any(r["outcome"] == "sdc" for r in rows if r["protection"] == "secded:64")


def test_protect_only_makes_a_code_applicable_to_the_tensors_it_takes():
    from corvane import Campaign

    import ml_dtypes  # noqa: F401

    rng = np.random.default_rng(0)
    ws = WeightSet.from_arrays([("w", rng.normal(0, 1, 50).astype(np.float32)),
                                ("q", rng.integers(-100, 100, 40).astype(np.int8))])  # fmt: skip
    refused = Campaign(ws, ["cep:D3P1"], counts=[1], trials=1).summaries()[0]
    assert not refused.applicable and "--tensors can leave" in refused.reason
    res = Campaign(ws, ["cep:D3P1"], counts=[1, 20], trials=2, protect_only="w").run()
    assert res.protections[0].applicable and res.protections[0].stored_bits == 50 * 32 + 40 * 8
    assert len(res.records) == 4


def total_abs(arrays):
    # Module level, so that worker processes and Dask workers can unpickle it.
    with np.errstate(invalid="ignore"):
        return float(sum(np.nansum(np.minimum(np.abs(a.astype(np.float64)), 10.0)) for a in arrays.values()))


def small_map(**kw):
    return VulnerabilityMap(tiny("float32", sizes=(60, 25)), "mset", per_stratum=12, bits="20-31", seed=3,
                            evaluate=total_abs, **kw)  # fmt: skip


def map_rows(results):
    return [{k: repr(v) for k, v in r.as_row().items() if k != "seconds"} for r in results.records]


def test_worker_processes_give_the_serial_map():
    serial = small_map().run()
    seen = []
    forked = small_map().run(seen.append, workers=2)
    assert map_rows(forked) == map_rows(serial) and len(seen) == len(serial.records) == 24
    assert forked.clean_metric == serial.clean_metric


def test_a_map_resumes_stratum_by_stratum(tmp_path):
    from corvane.rundir import STRATA

    full = small_map().run()
    out = tmp_path / "run"
    assert map_rows(small_map().run(out=out)) == map_rows(full)
    lines = (out / STRATA).read_bytes().splitlines(keepends=True)
    (out / STRATA).write_bytes(b"".join(lines[::3]) + lines[4][:30])  # and a line cut off by a crash
    ran, resumed = [], []
    again = small_map().run(ran.append, out=out, on_resume=resumed.append, workers=2)
    assert resumed == [8] and len(ran) == 16
    assert map_rows(again) == map_rows(full) and again.clean_metric == full.clean_metric
    ran.clear()
    assert map_rows(small_map().run(ran.append, out=out)) == map_rows(full) and ran == []
    (out / "map.json").write_text('{"clean_metric": "high"}')  # a clean metric that is no number is measured again
    again = small_map().run(out=out)
    assert again.clean_metric == full.clean_metric and json.loads((out / "map.json").read_text()) == {
        "clean_metric": full.clean_metric
    }
    with pytest.raises(StudyError, match="holds another map .*per_stratum"):
        VulnerabilityMap(tiny("float32", sizes=(60, 25)), "mset", per_stratum=13, bits="20-31", seed=3,
                         evaluate=total_abs).run(out=out)  # fmt: skip
    data = (out / STRATA).read_bytes().splitlines(keepends=True)
    forged = json.loads(data[2])
    forged["seed"] += 1
    (out / STRATA).write_bytes(b"".join(data[:2]) + (json.dumps(forged) + "\n").encode() + b"".join(data[3:]))
    with pytest.raises(StudyError, match="line 3: seed .* not this map's stratum"):
        small_map().run(out=out)
    (out / STRATA).write_bytes(b"".join(data[:2]) + b"garbage\n" + b"".join(data[3:]))
    with pytest.raises(StudyError, match="line 3 is not a stratum record"):
        small_map().run(out=out)
    from corvane import rundir

    with pytest.raises(StudyError, match="holds a vulnerability map"):
        rundir.load(out)


def test_ctrl_c_keeps_finished_strata(tmp_path, monkeypatch):
    import signal

    from corvane.errors import Interrupted
    from corvane.rundir import STRATA, MapDir

    write = MapDir.append

    def append_then_ctrl_c(self, rec):
        write(self, rec)
        if (tmp_path / "run" / STRATA).read_bytes().count(b"\n") == 5:
            signal.raise_signal(signal.SIGINT)

    monkeypatch.setattr(MapDir, "append", append_then_ctrl_c)
    with pytest.raises(Interrupted) as caught:
        small_map().run(out=tmp_path / "run", workers=2)
    assert caught.value.done == 5 and str(caught.value) == f"5 of 24 strata done, kept in {tmp_path / 'run'}"
    monkeypatch.undo()
    assert map_rows(small_map().run(out=tmp_path / "run")) == map_rows(small_map().run())
