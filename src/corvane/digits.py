"""The embedded default study: a small MLP on scikit-learn's bundled handwritten digits.

The model (64 -> 32 ReLU -> 10 softmax) is trained deterministically in NumPy
with a fixed seed on a fixed split of ``sklearn.datasets.load_digits`` (no
download), then kept as float32 weights in the user's cache directory. Its
task metric is the test-set accuracy of a NumPy forward pass over the
(faulted, decoded) weights.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .files import atomic_write
from .weights import WeightSet

NAMES = ("hidden.weight", "hidden.bias", "output.weight", "output.bias")
_VERSION = 1
_SEED = 20261208
_HIDDEN = 32
_STEPS = 300


def cache_dir() -> Path:
    try:
        import platformdirs

        return Path(platformdirs.user_cache_dir("corvane"))
    except ImportError:  # pragma: no cover - platformdirs comes with the study extra
        base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
        return Path(base) / "corvane"


def _data() -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64], npt.NDArray[np.float32], npt.NDArray[np.int64]]:
    from sklearn.datasets import load_digits  # type: ignore[import-untyped]

    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    y = digits.target.astype(np.int64)
    order = np.random.default_rng(_SEED).permutation(len(y))
    test = order[:360]
    train = order[360:]
    return x[train], y[train], x[test], y[test]


def train() -> list[npt.NDArray[np.float32]]:
    """Full-batch Adam in float64 from a fixed seed; the same weights every time on a machine."""
    x, y, _, _ = _data()
    rng = np.random.default_rng(_SEED)
    xd = x.astype(np.float64)
    params = [
        rng.normal(0, np.sqrt(2 / 64), (64, _HIDDEN)),
        np.zeros(_HIDDEN),
        rng.normal(0, np.sqrt(1 / _HIDDEN), (_HIDDEN, 10)),
        np.zeros(10),
    ]
    m = [np.zeros_like(p) for p in params]
    v = [np.zeros_like(p) for p in params]
    onehot = np.eye(10)[y]
    lr, b1, b2 = 0.01, 0.9, 0.999
    for step in range(1, _STEPS + 1):
        w1, c1, w2, c2 = params
        h = np.maximum(xd @ w1 + c1, 0)
        z = h @ w2 + c2
        z -= z.max(axis=1, keepdims=True)
        p = np.exp(z)
        p /= p.sum(axis=1, keepdims=True)
        dz = (p - onehot) / len(y)
        dh = (dz @ w2.T) * (h > 0)
        grads = [xd.T @ dh + 1e-4 * w1, dh.sum(0), h.T @ dz + 1e-4 * w2, dz.sum(0)]
        for i, g in enumerate(grads):
            m[i] = b1 * m[i] + (1 - b1) * g
            v[i] = b2 * v[i] + (1 - b2) * g * g
            params[i] = params[i] - lr * (m[i] / (1 - b1**step)) / (np.sqrt(v[i] / (1 - b2**step)) + 1e-8)
    return [p.astype(np.float32) for p in params]


def weights(cache: bool = True) -> list[npt.NDArray[np.float32]]:
    """The trained float32 weights, from the cache when it holds a good copy."""
    path = cache_dir() / f"digits-mlp-v{_VERSION}.npz"
    if cache:
        try:
            with np.load(path, allow_pickle=False) as z:
                ws = [z[f"arr_{i}"] for i in range(len(NAMES))]
            if [w.shape for w in ws] == [(64, _HIDDEN), (_HIDDEN,), (_HIDDEN, 10), (10,)] and all(
                w.dtype == np.float32 for w in ws
            ):
                return ws
        except Exception:  # noqa: BLE001 - any bad cache is retrained
            pass
    ws = train()
    if cache:
        try:
            path.parent.mkdir(parents=True, exist_ok=True)
            fd, tmp = tempfile.mkstemp(dir=path.parent, suffix=".npz.tmp")
            with os.fdopen(fd, "wb") as f:
                np.savez(f, *ws)
            os.replace(tmp, path)
        except OSError:
            pass  # an unwritable cache only costs a retraining next time
    return ws


def accuracy(arrays: Sequence[npt.NDArray[Any]]) -> float:
    """Test-set accuracy of the MLP with these four weight arrays (any float dtype)."""
    _, _, x, y = _data_cached()
    w1, c1, w2, c2 = (np.asarray(a).astype(np.float32) for a in arrays)
    with np.errstate(all="ignore"):
        h = np.maximum(x @ w1 + c1, 0)
        z = h @ w2 + c2
    pred = np.argmax(np.nan_to_num(z, nan=-np.inf), axis=1)
    return float(np.mean(pred == y))


_DATA: Any = None


def _data_cached() -> Any:
    global _DATA
    if _DATA is None:
        _DATA = _data()
    return _DATA


class Evaluator:
    """Accuracy of the default model with the studied tensors replaced by name (picklable, for worker processes)."""

    def __init__(self, full: Sequence[npt.NDArray[Any]]) -> None:
        self.full = dict(zip(NAMES, full, strict=True))

    def __call__(self, weights: Mapping[str, npt.NDArray[Any]]) -> float:
        return accuracy([weights.get(name, a) for name, a in self.full.items()])


#: What the task metric, an accuracy, can be.
ACCURACY_RANGE = (0.0, 1.0)


def weight_set(as_dtype: str = "float32", tensors: Sequence[str] | None = None) -> tuple[WeightSet, Evaluator]:
    """The default model as a weight set (float32, or stored as float16 / bfloat16) and its evaluator."""
    full = weights()
    ws = WeightSet.from_arrays(zip(NAMES, full, strict=True), source="digits MLP", tensors=tensors)
    return ws.stored_as(as_dtype, "--as"), Evaluator(full)


def export_onnx(model_path: str | Path, data_path: str | Path) -> None:
    """Writes the default model as an ONNX classifier (input ``x``, float32 scores) and its test set as data.

    ``corvane study --weights MODEL --data DATA`` then studies the model on its
    own task with ONNX Runtime: the test-set accuracy, as the default study
    measures it in NumPy.
    """
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    w1, c1, w2, c2 = weights()
    _, _, x, y = _data_cached()
    nodes = [
        helper.make_node("MatMul", ["x", NAMES[0]], ["m0"]),
        helper.make_node("Add", ["m0", NAMES[1]], ["a0"]),
        helper.make_node("Relu", ["a0"], ["h"]),
        helper.make_node("MatMul", ["h", NAMES[2]], ["m1"]),
        helper.make_node("Add", ["m1", NAMES[3]], ["scores"]),
    ]
    graph = helper.make_graph(
        nodes, "digits-mlp",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 64])],
        [helper.make_tensor_value_info("scores", TensorProto.FLOAT, ["N", 10])],
        [numpy_helper.from_array(a, n) for n, a in zip(NAMES, (w1, c1, w2, c2), strict=True)],
    )  # fmt: skip
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8  # what ONNX Runtimes from 1.14 on read
    onnx.checker.check_model(model)
    with atomic_write(model_path, "wb") as f:
        f.write(model.SerializeToString())
    with atomic_write(data_path, "wb") as f:
        np.savez(f, x=x, labels=y)
