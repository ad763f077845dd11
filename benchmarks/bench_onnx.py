"""Evaluating an ONNX model's task per trial, against ONNX Runtime alone.

- one trial's evaluation (OnnxTask's per-trial function on faulty decoded
  weights: an MLP 784-1024-512-10 in float32, 1.3M weights, on 300 rows),
  against a bare `session.run` of a session built normally on the unmodified
  model, on the same rows: with ONNX Runtime's own choice of threads, and
  with one thread (as worker processes that share the cores would run it).
"""

from __future__ import annotations

import functools
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

from harness import Planned, Row, paired_times

SIZES = (784, 1024, 512, 10)
ROWS = 300
WEIGHTS = sum(a * b + b for a, b in zip(SIZES[:-1], SIZES[1:]))
NAME = f"onnx task evaluation per trial, MLP {'-'.join(map(str, SIZES))} float32 ({WEIGHTS / 1e6:.2f}M weights), {ROWS} rows"
THREADS = {"": 0, ", 1 thread": 1}  # row name suffix -> ONNX Runtime's intra-op threads (0: its choice)
_TMP = tempfile.TemporaryDirectory(prefix="corvane-bench-onnx-")  # removed when the process ends


@functools.lru_cache(maxsize=1)
def _files() -> tuple[Path, Path, dict[str, np.ndarray], Any]:
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(0)
    inits, nodes, x = [], [], "x"
    for i, (a, b) in enumerate(zip(SIZES[:-1], SIZES[1:])):
        inits += [
            numpy_helper.from_array(rng.normal(0, a**-0.5, (a, b)).astype(np.float32), f"w{i}"),
            numpy_helper.from_array(rng.normal(0, 0.1, b).astype(np.float32), f"b{i}"),
        ]
        nodes += [helper.make_node("MatMul", [x, f"w{i}"], [f"m{i}"]), helper.make_node("Add", [f"m{i}", f"b{i}"], [f"a{i}"])]
        x = f"a{i}"
        if i < len(SIZES) - 2:
            nodes.append(helper.make_node("Relu", [x], [f"r{i}"]))
            x = f"r{i}"
    graph = helper.make_graph(
        nodes, "mlp", [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", SIZES[0]])],
        [helper.make_tensor_value_info(x, TensorProto.FLOAT, ["N", SIZES[-1]])], inits,
    )  # fmt: skip
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    data = rng.normal(0, 1, (ROWS, SIZES[0])).astype(np.float32)
    labels = rng.integers(0, SIZES[-1], ROWS)

    tmp = Path(_TMP.name)
    onnx.save(model, str(tmp / "mlp.onnx"))
    np.savez(tmp / "data.npz", x=data, labels=labels)
    clean = {t.name: numpy_helper.to_array(t) for t in inits}
    assert sum(a.size for a in clean.values()) == WEIGHTS >= 1_000_000
    return tmp / "mlp.onnx", tmp / "data.npz", clean, data


def _setup(threads: int) -> tuple[Callable[[], float], Callable[[], Any]]:
    import onnxruntime as ort

    from corvane.onnx_task import OnnxTask

    model, data_path, clean, data = _files()
    task = OnnxTask(model, data_path, threads=threads)
    rng = np.random.default_rng(1)
    # A trial's decoded weights: a few hundred values struck, read-only as the campaign hands them over.
    trial = {k: v.copy() for k, v in clean.items()}
    for v in trial.values():
        flat = v.reshape(-1)
        flat[rng.integers(0, flat.size, max(1, flat.size // 10_000))] *= -64
        v.flags.writeable = False
    evaluate = task.factory(clean)

    opts = ort.SessionOptions()
    opts.intra_op_num_threads = threads
    session = ort.InferenceSession(str(model), opts, providers=["CPUExecutionProvider"])
    feeds = {"x": data}
    return (lambda: evaluate(trial)), (lambda: session.run(None, feeds))


def _per_trial(name: str, threads: int) -> Row:
    evaluate, bare = _setup(threads)
    value, base = paired_times(evaluate, bare, repeat=15, number=5)
    return Row(name, value, "bare session.run of the unmodified model, same rows", base, "<= 1.2x")


def benchmarks() -> Iterator[Planned]:
    for suffix, threads in THREADS.items():
        yield Planned(NAME + suffix, functools.partial(_per_trial, NAME + suffix, threads))
