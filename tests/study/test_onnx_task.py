"""An ONNX model's task as the metric: against ONNX Runtime sessions built afresh on models
that hold each trial's weights, across dtypes, batching, subsets, bad input and processes."""

import multiprocessing
import os
import pickle
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import ml_dtypes
import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import TensorProto, helper, numpy_helper

from corvane import onnx_task
from corvane.errors import StudyError
from corvane.onnx_task import ACCURACY, AGREEMENT, OnnxTask

ROWS, FEATURES, HIDDEN, CLASSES = 40, 6, 9, 4
ELEM = {"float32": TensorProto.FLOAT, "float16": TensorProto.FLOAT16, "bfloat16": TensorProto.BFLOAT16}
NP = {"float32": np.float32, "float16": np.float16, "bfloat16": ml_dtypes.bfloat16}


def tensor(name, arr):
    if arr.dtype == ml_dtypes.bfloat16:
        return helper.make_tensor(name, TensorProto.BFLOAT16, arr.shape, arr.view(np.uint16).tobytes(), raw=True)
    return numpy_helper.from_array(arr, name)


def classifier(dtype="float32", op="matmul", batch="N", seed=0, features=FEATURES, hidden=HIDDEN):
    """x -> layer -> Relu -> layer -> Reshape(shape) -> scores; layers MatMul+Add or Gemm.

    The weights are W0, B0, W1, B1 in `dtype`; bfloat16 ones are cast to
    float32 where used, as ONNX Runtime computes in float32 on the CPU. The
    int64 `shape` initializer is no weight and is never studied."""
    rng = np.random.default_rng(seed)
    act = "float32" if dtype == "bfloat16" else dtype
    weights = {
        "W0": rng.normal(0, 0.7, (features, hidden)), "B0": rng.normal(0, 0.2, hidden),
        "W1": rng.normal(0, 0.7, (hidden, CLASSES)) / np.sqrt(hidden / HIDDEN), "B1": rng.normal(0, 0.2, CLASSES),
    }  # fmt: skip
    weights = {k: v.astype(NP[dtype]) for k, v in weights.items()}
    nodes, x = [], "x"
    for i in range(2):
        w, b = f"W{i}", f"B{i}"
        if dtype == "bfloat16":
            nodes += [helper.make_node("Cast", [w], [f"{w}f"], to=TensorProto.FLOAT),
                      helper.make_node("Cast", [b], [f"{b}f"], to=TensorProto.FLOAT)]  # fmt: skip
            w, b = f"{w}f", f"{b}f"
        if op == "gemm":
            nodes.append(helper.make_node("Gemm", [x, w, b], [f"h{i}"]))
        else:
            nodes += [helper.make_node("MatMul", [x, w], [f"m{i}"]), helper.make_node("Add", [f"m{i}", b], [f"h{i}"])]
        x = f"h{i}"
        if i == 0:
            nodes.append(helper.make_node("Relu", [x], ["r0"]))
            x = "r0"
    nodes.append(helper.make_node("Reshape", [x, "shape"], ["scores"]))
    inits = [tensor(k, v) for k, v in weights.items()] + [numpy_helper.from_array(np.array([-1, CLASSES]), "shape")]
    graph = helper.make_graph(
        nodes, "classifier", [helper.make_tensor_value_info("x", ELEM[act], [batch, features])],
        [helper.make_tensor_value_info("scores", ELEM[act], [batch, CLASSES])], inits,
    )  # fmt: skip
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), weights


def inputs(dtype="float32", rows=ROWS, seed=1, features=FEATURES):
    act = np.float32 if dtype == "bfloat16" else NP[dtype]
    return np.random.default_rng(seed).normal(0, 1, (rows, features)).astype(act)


def top1(scores):
    """Top-1 per row, NaN never the maximum; -1 where no score beats -inf."""
    out = []
    for row in np.asarray(scores, np.float64):
        live = [(v, -i) for i, v in enumerate(row) if not np.isnan(v) and v > -np.inf]
        out.append(-max(live)[1] if live else -1)
    return np.array(out)


def fresh_scores(model, weights, x):
    """Scores of a session built normally on a copy of the model that holds these weights."""
    m = onnx.ModelProto()
    m.CopyFrom(model)
    for init in m.graph.initializer:
        if init.name in weights:
            init.CopyFrom(tensor(init.name, np.asarray(weights[init.name])))
    sess = ort.InferenceSession(m.SerializeToString(), providers=["CPUExecutionProvider"])
    return sess.run(None, {"x": x})[0]


def fresh_metric(model, weights, x, labels=None):
    pred = top1(fresh_scores(model, weights, x))
    truth = labels if labels is not None else top1(fresh_scores(model, {}, x))
    return float(np.mean(pred == truth))


def write(tmp_path, model, **data):
    mp, dp = tmp_path / "model.onnx", tmp_path / "data.npz"
    if isinstance(model, bytes):
        mp.write_bytes(model)
    else:
        onnx.save(model, str(mp))
    np.savez(dp, **data)
    return mp, dp


def frozen(weights):
    out = {k: v.copy() for k, v in weights.items()}
    for v in out.values():
        v.flags.writeable = False
    return out


def some_labels(model, x, seed=2):
    """Labels the clean model gets about three in four right."""
    labels = top1(fresh_scores(model, {}, x))
    wrong = np.random.default_rng(seed).random(len(labels)) < 0.25
    labels[wrong] = (labels[wrong] + 1) % CLASSES
    return labels


def faulted(weights, kind, seed=3):
    """Copies of the weights with some values struck, as decoded faulty weights look."""
    rng = np.random.default_rng(seed)
    out = {k: v.copy() for k, v in weights.items()}
    w0, w1 = out["W0"], out["W1"]
    if kind == "values":
        w0[rng.integers(0, FEATURES, 6), rng.integers(0, HIDDEN, 6)] = rng.normal(0, 40, 6).astype(w0.dtype)
        w1[2, 1] = -w1[2, 1] * 30
    elif kind == "nan-inf":
        w0[1, 2], w0[4, 5] = np.nan, np.inf
        w1[3, 0], w1[0, 2] = -np.inf, np.nan
    elif kind == "all-nan":  # no class wins anywhere: every row is wrong
        w1[...] = np.nan
    return frozen(out)


@pytest.fixture
def sessions_built(monkeypatch):
    """Pids of the processes each ONNX Runtime session was built in (a forked child sees its own copy)."""
    pids = []
    build = onnx_task._build_session

    def counted(*args):
        pids.append(os.getpid())
        return build(*args)

    monkeypatch.setattr(onnx_task, "_build_session", counted)
    return pids


MODELS = [("float32", "matmul"), ("float32", "gemm"), ("float16", "matmul"), ("bfloat16", "matmul")]


@pytest.mark.parametrize("dtype,op", MODELS)
@pytest.mark.parametrize("with_labels", [True, False], ids=["accuracy", "agreement"])
def test_trials_match_a_session_built_on_the_trials_weights(tmp_path, sessions_built, dtype, op, with_labels):
    model, weights = classifier(dtype, op)
    x = inputs(dtype)
    labels = some_labels(model, x) if with_labels else None
    task = OnnxTask(*write(tmp_path, model, x=x, **({"labels": labels} if with_labels else {})))

    assert task.metric_name == (ACCURACY if with_labels else AGREEMENT)
    assert task.studied == ("W0", "B0", "W1", "B1")
    assert task.clean_metric == fresh_metric(model, {}, x, labels)
    if not with_labels:
        assert task.clean_metric == 1.0
    clean = frozen(weights)
    evaluate = task.factory(clean)
    assert evaluate(clean) == task.clean_metric
    for kind in ("values", "nan-inf", "all-nan"):
        bad = faulted(weights, kind)
        got = evaluate(bad)
        assert got == fresh_metric(model, bad, x, labels), kind
        assert evaluate(clean) == task.clean_metric, f"{kind} stuck to the session"
    assert evaluate(faulted(weights, "all-nan")) == 0.0
    assert evaluate(faulted(weights, "values")) != task.clean_metric  # the faults do reach the model
    assert len(sessions_built) == 1  # built once, never per trial


def test_nan_scores_never_win():
    scores = np.array(
        [[0.1, np.nan, 0.3], [np.nan, np.nan, np.nan], [-np.inf, np.nan, -np.inf], [2.0, 2.0, np.inf], [5, -1, 5]]
    )
    assert onnx_task.predictions(scores).tolist() == [2, -1, -1, 2, 0]
    assert onnx_task.predictions(scores.astype(np.float16)).tolist() == [2, -1, -1, 2, 0]


@pytest.mark.parametrize(
    "rows,batch,fixed", [(40, "N", False), (41, 4, True), (3, 4, True), (7, 1, True), (40, "N", 16)],
    ids=["one-run", "fixed-4-padded", "fewer-than-a-batch", "fixed-1", "split-runs"],
)  # fmt: skip
def test_runs_of_rows_give_the_same_metric(tmp_path, monkeypatch, rows, batch, fixed):
    if fixed is not True and fixed:
        monkeypatch.setattr(onnx_task, "MAX_BATCH", fixed)
    model, weights = classifier(batch=batch)
    free, _ = classifier()
    x = inputs(rows=rows)
    labels = some_labels(free, x)
    task = OnnxTask(*write(tmp_path, model, x=x, labels=labels))
    assert task.clean_metric == fresh_metric(free, {}, x, labels)
    bad = faulted(weights, "values")
    assert task(bad) == fresh_metric(free, bad, x, labels)
    assert task(frozen(weights)) == task.clean_metric


@pytest.mark.parametrize("listed", [False, True], ids=["initializers", "initializers-listed-as-inputs"])
def test_a_studied_subset_leaves_the_other_initializers_as_they_are(tmp_path, listed):
    model, weights = classifier()
    if listed:  # as older models have them: each initializer is an input too, with a default value
        model.graph.input.extend(helper.make_tensor_value_info(t.name, t.data_type, t.dims)
                                 for t in model.graph.initializer)  # fmt: skip
    x = inputs()
    labels = some_labels(model, x)
    paths = write(tmp_path, model, x=x, labels=labels)
    task = OnnxTask(*paths, studied=["W1", "B0"])
    assert task.studied == ("B0", "W1")
    assert task.clean_metric == OnnxTask(*paths).clean_metric
    bad = faulted(weights, "values")
    assert task({"W1": bad["W1"], "B0": bad["B0"]}) == fresh_metric(model, {"W1": bad["W1"]}, x, labels)
    with pytest.raises(StudyError, match="'W0' is not a studied initializer"):
        task({"W1": bad["W1"], "B0": bad["B0"], "W0": bad["W0"]})


def test_the_arrays_given_are_neither_written_nor_kept(tmp_path):
    model, weights = classifier("bfloat16")
    task = OnnxTask(*write(tmp_path, model, x=inputs("bfloat16")))
    arrays = faulted(weights, "nan-inf")
    before = {k: (v.tobytes(), sys.getrefcount(v)) for k, v in arrays.items()}
    task(arrays)
    task(arrays)
    assert {k: (v.tobytes(), sys.getrefcount(v)) for k, v in arrays.items()} == before


def test_bfloat16_taken_as_its_patterns_too(tmp_path):
    model, weights = classifier("bfloat16")
    task = OnnxTask(*write(tmp_path, model, x=inputs("bfloat16")))
    bad = faulted(weights, "values")
    assert task({k: v.view(np.uint16) for k, v in bad.items()}) == task(bad)


def test_a_pickled_task_carries_no_session(tmp_path):
    model, weights = classifier()
    x = inputs()
    task = OnnxTask(*write(tmp_path, model, x=x, labels=some_labels(model, x)))
    clean, bad = frozen(weights), faulted(weights, "values")
    expected = task(bad)  # the session is built: pickling must leave it behind
    copy = pickle.loads(pickle.dumps(task))
    assert (copy.metric_name, copy.clean_metric) == (task.metric_name, task.clean_metric)
    assert (copy.factory(clean)(bad), copy(clean)) == (expected, task.clean_metric)


def test_threads_sharing_an_unpickled_task_build_one_session(tmp_path, sessions_built):
    model, weights = classifier()
    task = OnnxTask(*write(tmp_path, model, x=inputs()))
    copy = pickle.loads(pickle.dumps(task))  # as a Dask worker receives it: no session yet
    bad = faulted(weights, "values")
    start = threading.Barrier(4)

    def trial(_):
        start.wait()
        return copy(bad)

    with ThreadPoolExecutor(4) as pool:
        got = list(pool.map(trial, range(4)))
    assert got == [task(bad)] * 4
    assert len(sessions_built) == 2  # the constructor's, then the copy's


def test_forked_workers_build_their_own_session(tmp_path, sessions_built):
    # Large enough that ONNX Runtime runs it on its thread pool, whose threads a forked child lacks.
    model, weights = classifier(features=256, hidden=512)
    x = inputs(rows=256, features=256)
    task = OnnxTask(*write(tmp_path, model, x=x, labels=some_labels(model, x)))
    clean, bad = frozen(weights), faulted(weights, "values")
    expected = (task(bad), task.clean_metric)
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()

    def child():
        evaluate = task.factory(clean)  # replaces the session inherited from the parent
        queue.put((evaluate(bad), evaluate(clean), sessions_built))

    procs = [ctx.Process(target=child) for _ in range(2)]
    for p in procs:
        task(bad)  # the parent's session in use right up to the fork
        p.start()
    for p in procs:
        p.join(30)
    hung = [p.is_alive() for p in procs]
    for p in procs:
        if p.is_alive():
            p.kill()
    assert hung == [False, False] and [p.exitcode for p in procs] == [0, 0]
    results = [queue.get(timeout=5) for _ in procs]
    assert [r[:2] for r in results] == [expected, expected]
    parent = os.getpid()
    # one session built in the parent, then one in each child
    assert sorted(r[2] for r in results) == sorted([parent, p.pid] for p in procs)
    assert task(bad) == expected[0]  # and the parent's still serves it


def _rename_input(model):
    model.graph.input[0].name = "pixels"
    return model


def _free_width(model):
    model.graph.input[0].CopyFrom(helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", "F"]))
    return model


def _unknown_op(model):
    model.graph.node.append(helper.make_node("NoSuchOp", ["scores"], ["more"]))
    return model


def _scores_3d(model):
    model.graph.initializer[-1].CopyFrom(numpy_helper.from_array(np.array([-1, 2, 2]), "shape"))
    model.graph.output[0].CopyFrom(helper.make_tensor_value_info("scores", TensorProto.FLOAT, None))
    return model


def _one_class(model):
    model.graph.node.append(helper.make_node("ReduceMax", ["scores"], ["best"], axes=[1], keepdims=1))
    model.graph.output[0].CopyFrom(helper.make_tensor_value_info("best", TensorProto.FLOAT, None))
    return model


def _argmax_output(model):
    model.graph.node.append(helper.make_node("ArgMax", ["scores"], ["top"], axis=1, keepdims=0))
    model.graph.output[0].CopyFrom(helper.make_tensor_value_info("top", TensorProto.INT64, None))
    return model


X = inputs()
BAD = {
    "missing input": (_rename_input, {"x": X}, None, "no array for the model input 'pixels'"),
    "stray array": (None, {"x": X, "y": X}, None, "'y' is no input of the model"),
    "input dtype": (None, {"x": X.astype(np.float64)}, None, "input 'x' is float64, the model takes float32"),
    "input width": (None, {"x": X[:, :5]}, None, r"input 'x' has shape \[40, 5\], the model takes \[\?, 6\]"),
    "input rank": (None, {"x": X[:, :, None]}, None, "input 'x' has shape"),
    "fails in the graph": (_free_width, {"x": X[:, :5]}, None, "data.npz: the model fails on the data: .*MatMul"),
    "no rows": (None, {"x": X[:0]}, None, "no rows"),
    "labels length": (None, {"x": X, "labels": np.zeros(39, int)}, None, "39 labels for 40 rows"),
    "labels float": (None, {"x": X, "labels": np.zeros(40)}, None, "labels are float64, not integers"),
    "labels 2-D": (None, {"x": X, "labels": np.zeros((40, 1), int)}, None, "not one per row"),
    "labels range": (None, {"x": X, "labels": np.full(40, CLASSES)}, None, "outside the model's 4 classes"),
    "3-D output": (_scores_3d, {"x": X}, None, r"first output 'scores' is float32 of shape \[40, 2, 2\]"),
    "one class": (_one_class, {"x": X}, None, "1 score per row"),
    "integer output": (_argmax_output, {"x": X}, None, "first output 'top' is int64"),
    "not an initializer": (None, {"x": X}, ["W0", "r0"], "'r0' is not an initializer"),
    "not a float": (None, {"x": X}, ["shape"], "initializer 'shape' is int64"),
    "named twice": (None, {"x": X}, ["W0", "W0"], "'W0' is named twice"),
    "none named": (None, {"x": X}, [], "no initializer to study"),
    "not a model": (lambda m: b"\x08\x07garbage", {"x": X}, None, "onnx cannot load the model"),
    "unknown op": (_unknown_op, {"x": X}, None, "ONNX Runtime cannot load the model: .*NoSuchOp"),
}  # fmt: skip


@pytest.mark.parametrize("change,data,studied,message", BAD.values(), ids=BAD.keys())
def test_bad_input_is_one_line(tmp_path, capfd, change, data, studied, message):
    model, _ = classifier()
    if change is not None:
        model = change(model)
    with pytest.raises(StudyError, match=message) as err:
        OnnxTask(*write(tmp_path, model, **data), studied=studied)
    assert "\n" not in str(err.value)
    assert capfd.readouterr().err == ""  # nor does ONNX Runtime print its own


@pytest.mark.parametrize(
    "what,message",
    [("model", "model.onnx: no such file"), ("data", "data.npz: no such file"), ("npy", "not an .npz archive"),
     ("corrupt", "cannot read the data"), ("runtime", r"onnxruntime: pip install 'corvane\[study\]'")],
)  # fmt: skip
def test_files_and_runtime_missing(tmp_path, monkeypatch, what, message):
    model, _ = classifier()
    mp, dp = write(tmp_path, model, x=X)
    if what == "model":
        mp.unlink()
    elif what == "data":
        dp.unlink()
    elif what == "npy":
        np.save(tmp_path / "x.npy", X)
        dp = tmp_path / "x.npy"
    elif what == "corrupt":
        dp.write_bytes(dp.read_bytes()[:100])
    else:
        monkeypatch.setitem(sys.modules, "onnxruntime", None)
    with pytest.raises(StudyError, match=message) as err:
        OnnxTask(mp, dp)
    assert "\n" not in str(err.value)


@pytest.mark.parametrize(
    "change,message",
    [(lambda w: {k: v for k, v in w.items() if k != "B1"}, "no array for the studied initializer 'B1'"),
     (lambda w: {**w, "W0": w["W0"].astype(np.float64)}, r"'W0' is float32 \[6, 9\], got float64 \[6, 9\]"),
     (lambda w: {**w, "W1": w["W1"][:, :3]}, r"'W1' is float32 \[9, 4\], got float32 \[9, 3\]"),
     (lambda w: {**w, "B0": list(w["B0"])}, "'B0': got list"),
     (lambda w: {**w, "extra": w["B0"]}, "'extra' is not a studied initializer"),
     (lambda w: list(w.values()), "must be a mapping of name -> array, got list")],
    ids=["missing", "dtype", "shape", "not-an-array", "stray", "a-list"],
)  # fmt: skip
def test_bad_trial_weights_are_one_line(tmp_path, change, message):
    model, weights = classifier()
    task = OnnxTask(*write(tmp_path, model, x=X))
    weights = change(weights)
    with pytest.raises(StudyError, match=message):
        task.factory(weights)
    with pytest.raises(StudyError, match=message):
        task(weights)
