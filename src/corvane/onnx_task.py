"""An ONNX classifier's own task as a study's metric, evaluated with ONNX Runtime.

``OnnxTask(model.onnx, data.npz)`` scores a model on its data under each
trial's faults: the studied tensors are the model's float initializers
(float32, float16 and bfloat16, each kept in its own dtype), and the metric
is the top-1 accuracy on the data's ``labels`` or, without labels, the top-1
agreement with the predictions of the fault-free model.

How a trial reaches the model: the studied initializers become graph inputs
of a rewritten model, and each trial's decoded arrays are fed to one session
built once per process. ONNX Runtime then holds no copy of a studied weight
that could outlive a trial: constant folding, fusions that fold weights and
the pre-packing of MatMul / Gemm weights apply to constant initializers only,
so they leave the studied ones alone, and each array is handed over without
a copy (an OrtValue over the caller's buffer, for the length of the call).
Unstudied initializers stay constants of the model, optimised as usual. The
price against the untouched model is the MatMul / Gemm weight packing done
in each run instead of once, which shrinks as more rows go into a run.

A session is never shared across ``fork``: a forked process builds its own on
first use, and keeps the sessions it inherited alive instead of destroying
them, since tearing one down in a child whose threads are gone can hang it.
"""

from __future__ import annotations

import math
import os
import re
import threading
import weakref
import zipfile
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import StudyError
from .native import thread_share

STUDY_EXTRA = "pip install 'corvane[study]'"
LABELS = "labels"
ACCURACY = "top-1 accuracy"
AGREEMENT = "top-1 agreement with the fault-free model"
#: Rows per run when the model leaves the batch size free. A few hundred rows
#: go in one run, which keeps the per-run weight packing small beside the
#: work; more go in near-equal runs of at most this many rows.
MAX_BATCH = 1024

Weights = Mapping[str, npt.NDArray[Any]]
Evaluate = Callable[[Weights], float]

# ONNX element types studied here -> (source dtype name, dtype names accepted
# from a caller). bfloat16 arrives as ml_dtypes' bfloat16 or as its uint16
# patterns, and is handed to ONNX Runtime as uint16 bytes typed bfloat16.
# A float32 initializer also takes the 16-bit floats its weights may be
# stored in (rounded, as ``--as`` does), widened exactly before they are fed.
_STUDIED_TYPES: dict[int, tuple[str, frozenset[str]]] = {
    1: ("float32", frozenset({"float32", "float16", "bfloat16"})),
    10: ("float16", frozenset({"float16"})),
    16: ("bfloat16", frozenset({"bfloat16", "uint16"})),
}
_BFLOAT16 = 16
_FLOAT = 1

# ONNX Runtime's names of tensor element types -> NumPy dtypes, for the data.
_ORT_DTYPES = {
    "tensor(float)": "float32", "tensor(double)": "float64", "tensor(float16)": "float16",
    "tensor(int8)": "int8", "tensor(int16)": "int16", "tensor(int32)": "int32", "tensor(int64)": "int64",
    "tensor(uint8)": "uint8", "tensor(uint16)": "uint16", "tensor(uint32)": "uint32",
    "tensor(uint64)": "uint64", "tensor(bool)": "bool",
}  # fmt: skip


@dataclass(frozen=True)
class StudiedTensor:
    """A studied initializer: its name, ONNX element type, source dtype name and shape."""

    name: str
    onnx_type: int
    shape: tuple[int, ...]

    @property
    def dtype(self) -> str:
        return _STUDIED_TYPES[self.onnx_type][0]


def _import_runtime() -> tuple[Any, Any]:
    try:
        import onnx
    except ImportError:
        raise StudyError(f"ONNX models need the onnx package: {STUDY_EXTRA}") from None
    try:
        import onnxruntime  # type: ignore[import-untyped]
    except ImportError:
        raise StudyError(f"evaluating an ONNX model needs onnxruntime: {STUDY_EXTRA}") from None
    return onnx, onnxruntime


def _one_line(exc: BaseException) -> str:
    """An exception's message on one line, without ONNX Runtime's status prefix and advice."""
    text = re.sub(r"^\s*\[ONNXRuntimeError\]\s*:\s*\d+\s*:\s*\w+\s*:\s*", "", str(exc))
    lines = [ln.strip() for ln in text.splitlines() if ln.strip() and not ln.strip().startswith("Please fix")]
    return " ".join(lines) or type(exc).__name__


def _dtype_name(dtype: np.dtype[Any]) -> str:
    return str(dtype.name)


def predictions(scores: npt.NDArray[Any]) -> npt.NDArray[np.int64]:
    """Top-1 class of each row of (rows, classes) scores; NaN never wins.

    NaN counts as -inf, and a row with no score above -inf (all NaN, say) has
    no top class: it is predicted as -1, which matches no label.
    """
    s = scores
    nan = np.isnan(s)
    if nan.any():
        s = np.where(nan, -np.inf, s)
    top: npt.NDArray[np.int64] = s.argmax(axis=1).astype(np.int64)
    best = np.take_along_axis(s, top[:, None], axis=1)[:, 0]
    top[best == -np.inf] = -1
    return top


class _Session:
    """One process's ONNX Runtime session over the rewritten model, and the runs the data takes."""

    def __init__(self, task: OnnxTask, session: Any = None) -> None:
        _, self.ort = _import_runtime()
        self.pid = os.getpid()
        self.session = session if session is not None else _build_session(self.ort, task)
        self.output = task.output
        # Per run: the data's OrtValues (built once, over the task's arrays) and how many rows count.
        self.runs: list[tuple[dict[str, Any], int]] = []
        for start, stop, size in _runs(task.rows, task.batch, task.fixed_batch):
            feeds = {}
            for name, arr in task.inputs.items():
                part = arr[start:stop]
                if stop - start < size:  # a batch size fixed by the model: pad with the last row
                    part = np.concatenate([part, np.repeat(part[-1:], size - (stop - start), axis=0)])
                feeds[name] = self.ort.OrtValue.ortvalue_from_numpy(np.ascontiguousarray(part))
            self.runs.append((feeds, stop - start))
        _LIVE.add(self)

    def scores(self, weights: dict[str, Any]) -> list[npt.NDArray[Any]]:
        """The first output of each run, checked to be (rows of the run, classes) scores, padding dropped."""
        out = []
        for feeds, kept in self.runs:
            (value,) = self.session.run_with_ort_values([self.output], {**feeds, **weights})
            size = next(iter(feeds.values())).shape()[0]
            out.append(_class_scores(value.numpy(), self.output, size)[:kept])
        return out


# Sessions alive in this process. A forked child keeps those it inherits
# referenced for good: their threads live only in the parent, and destroying
# one in the child can wait on them forever.
_LIVE: weakref.WeakSet[_Session] = weakref.WeakSet()
_INHERITED: list[_Session] = []
# Held while a session is built, so that threads sharing a task (a Dask worker's) build one.
_BUILDING = threading.Lock()


def _after_fork_in_child() -> None:
    global _BUILDING
    _INHERITED.extend(_LIVE)
    _BUILDING = threading.Lock()  # another thread of the parent may have held it at the fork


os.register_at_fork(after_in_child=_after_fork_in_child)


def _build_session(ort: Any, task: OnnxTask) -> Any:
    opts = ort.SessionOptions()
    # Fatal messages only: its errors reach the user as one StudyError line each, and
    # its warnings would cut into a study's progress display.
    opts.log_severity_level = 4
    threads = task.threads or thread_share()
    if threads:
        opts.intra_op_num_threads = threads
    try:
        return ort.InferenceSession(task.model_bytes, opts, providers=["CPUExecutionProvider"])
    except Exception as exc:  # noqa: BLE001  (ONNX Runtime raises its own exception types)
        raise StudyError(f"{task.model_path}: ONNX Runtime cannot load the model: {_one_line(exc)}") from None


def _runs(rows: int, batch: int, fixed: bool) -> list[tuple[int, int, int]]:
    """(start, stop, size fed) of each run: a batch size fixed by the model pads the last
    run up to it; a free one splits the rows into near-equal runs of at most ``batch``."""
    if fixed:
        return [(i, min(i + batch, rows), batch) for i in range(0, rows, batch)]
    size = math.ceil(rows / math.ceil(rows / batch))
    return [(i, min(i + size, rows), min(i + size, rows) - i) for i in range(0, rows, size)]


def _class_scores(arr: npt.NDArray[Any], output: str, rows: int) -> npt.NDArray[Any]:
    if arr.ndim != 2 or arr.dtype.kind != "f" or arr.shape[0] != rows:
        raise StudyError(
            f"the model's first output '{output}' is {arr.dtype} of shape {list(arr.shape)} for {rows} rows, "
            "not class scores of shape (rows, classes)"
        )
    return arr


def _ortvalues(ort: Any, studied: Sequence[StudiedTensor], arrays: Mapping[str, npt.NDArray[Any]]) -> dict[str, Any]:
    """OrtValues over the studied arrays' own memory (each holds its array until it is dropped)."""
    out = {}
    for s in studied:
        arr = np.ascontiguousarray(arrays[s.name])
        if s.onnx_type == _BFLOAT16:
            out[s.name] = ort.OrtValue.ortvalue_from_numpy_with_onnx_type(arr.view(np.uint16), _BFLOAT16)
        elif s.onnx_type == _FLOAT and arr.dtype != np.float32:
            out[s.name] = ort.OrtValue.ortvalue_from_numpy(arr.astype(np.float32))
        else:
            out[s.name] = ort.OrtValue.ortvalue_from_numpy(arr)
    return out


class OnnxTask:
    """The task of an ONNX classifier on its data, as a metric of its studied initializers.

    ``OnnxTask(model_path, data_path, studied=None)`` checks the model, the
    data and the studied names up front (each fault is one :class:`StudyError`
    line) and runs the fault-free model once for ``clean_metric``. ``studied``
    names initializers of the model's main graph; None studies every float32,
    float16 and bfloat16 one. ``threads`` sets ONNX Runtime's threads in each
    process (0: the share of the cores a worker process is given, else ONNX
    Runtime's own choice).

    ``task(weights)`` is the metric of one trial's studied arrays (name ->
    array of the source dtype and shape; never written to, never kept), and
    ``task.factory(clean)`` returns that function after checking the clean
    arrays and building the process's session. Each process builds its own
    session on first use; a pickled task carries the model and the data,
    never a session.
    """

    metric_name: str
    clean_metric: float

    def __init__(
        self, model_path: str | os.PathLike[str], data_path: str | os.PathLike[str],
        studied: Sequence[str] | None = None, *, threads: int = 0,
    ) -> None:  # fmt: skip
        onnx, ort = _import_runtime()
        self.model_path = str(model_path)
        self.data_path = str(data_path)
        if threads < 0:
            raise StudyError(f"threads must be 0 (ONNX Runtime's choice) or more, got {threads}")
        self.threads = threads
        self._live: _Session | None = None

        model = _load_model(onnx, self.model_path)
        graph = model.graph
        inits = {t.name: t for t in graph.initializer}
        self.studied_tensors = _choose(onnx, inits, studied, self.model_path)
        clean = {s.name: _initializer_array(onnx, inits[s.name]) for s in self.studied_tensors}
        # The inputs to feed: an initializer also listed as an input (older models) has its value.
        self.input_names = [i.name for i in graph.input if i.name not in inits]
        if not self.input_names:
            raise StudyError(f"{self.model_path}: the model has no input to feed the data to")
        if not graph.output:
            raise StudyError(f"{self.model_path}: the model has no output")
        self.output: str = graph.output[0].name
        self.model_bytes = _rewrite(onnx, model, self.studied_tensors, self.model_path)
        del model, graph, inits

        data = _load_data(self.data_path)
        has_labels = LABELS in data and LABELS not in self.input_names
        missing = [n for n in self.input_names if n not in data]
        if missing:
            raise StudyError(
                f"{self.data_path}: no array for the model input '{missing[0]}' (inputs: {', '.join(self.input_names)})"
            )
        extra = [k for k in data if k not in self.input_names and not (has_labels and k == LABELS)]
        if extra:
            raise StudyError(
                f"{self.data_path}: '{extra[0]}' is no input of the model "
                f"(inputs: {', '.join(self.input_names)}; and '{LABELS}')"
            )
        session = _build_session(ort, self)
        self.rows, self.batch, self.fixed_batch = _check_inputs(session, data, self.input_names, self.data_path)
        labels = data[LABELS] if has_labels else None
        if labels is not None:
            _check_labels(labels, self.rows, self.data_path)
        self.inputs = {n: np.ascontiguousarray(data[n]) for n in self.input_names}
        del data

        self._live = _Session(self, session)
        try:
            scores = self._live.scores(_ortvalues(ort, self.studied_tensors, clean))
        except StudyError:
            raise
        except Exception as exc:  # noqa: BLE001
            raise StudyError(f"{self.data_path}: the model fails on the data: {_one_line(exc)}") from None
        classes = scores[0].shape[1]
        if classes < 2:
            raise StudyError(
                f"the model's first output '{self.output}' has {classes} score per row, not class scores"
            )
        clean_top = np.concatenate([predictions(s) for s in scores])
        if labels is not None:
            low, high = int(labels.min()), int(labels.max())
            if low < 0 or high >= classes:
                raise StudyError(
                    f"{self.data_path}: labels run from {low} to {high}, outside the model's "
                    f"{classes} classes (0 to {classes - 1})"
                )
            self.metric_name = ACCURACY
            self._truth = labels.astype(np.int64)
        else:
            self.metric_name = AGREEMENT
            self._truth = clean_top
        self.clean_metric = float(np.mean(clean_top == self._truth))

    @property
    def studied(self) -> tuple[str, ...]:
        """The studied initializers' names, in the model's order."""
        return tuple(s.name for s in self.studied_tensors)

    def factory(self, clean: Weights) -> Evaluate:
        """Builds this process's session and returns the per-trial metric function.

        ``clean`` (the fault-free studied arrays) is checked against the model's
        initializers, so that a mismatch stops the study before any trial.
        """
        self._check(clean)
        self._session()
        return self.__call__

    def __call__(self, weights: Weights) -> float:
        """The metric of the model holding these studied arrays (name -> array)."""
        arrays = self._check(weights)
        session = self._session()
        try:
            scores = session.scores(_ortvalues(session.ort, self.studied_tensors, arrays))
        except StudyError:
            raise
        except Exception as exc:  # noqa: BLE001
            raise StudyError(f"{self.model_path}: ONNX Runtime failed on a trial's weights: {_one_line(exc)}") from None
        top = np.concatenate([predictions(s) for s in scores]) if len(scores) > 1 else predictions(scores[0])
        return float(np.mean(top == self._truth))

    def _check(self, weights: Weights) -> dict[str, npt.NDArray[Any]]:
        """The studied arrays, each checked for its name, dtype and shape."""
        if not isinstance(weights, Mapping):
            raise StudyError(f"the studied weights must be a mapping of name -> array, got {type(weights).__name__}")
        out = {}
        for s in self.studied_tensors:
            arr = weights.get(s.name)
            if arr is None:
                raise StudyError(f"no array for the studied initializer '{s.name}'")
            if not isinstance(arr, np.ndarray):
                raise StudyError(f"initializer '{s.name}': got {type(arr).__name__}, not an array")
            if arr.shape != s.shape or _dtype_name(arr.dtype) not in _STUDIED_TYPES[s.onnx_type][1]:
                raise StudyError(
                    f"initializer '{s.name}' is {s.dtype} {list(s.shape)}, got {arr.dtype} {list(arr.shape)}"
                )
            out[s.name] = arr
        if len(weights) != len(out):
            odd = next(k for k in weights if k not in out)
            raise StudyError(f"'{odd}' is not a studied initializer of {self.model_path}")
        return out

    def _session(self) -> _Session:
        live = self._live
        if live is None or live.pid != os.getpid():
            with _BUILDING:
                live = self._live
                if live is None or live.pid != os.getpid():
                    live = self._live = _Session(self)
        return live

    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        state["_live"] = None
        return state

    def __repr__(self) -> str:
        return (
            f"OnnxTask({self.model_path!r}, {self.data_path!r}, {len(self.studied_tensors)} studied, "
            f"{self.metric_name} {self.clean_metric:.4f})"
        )


def _load_model(onnx: Any, path: str) -> Any:
    p = Path(path)
    if not p.is_file():
        raise StudyError(f"{path}: no such file" if not p.exists() else f"{path}: not a file")
    try:
        return onnx.load(path, load_external_data=True)
    except Exception as exc:  # noqa: BLE001  (protobuf's and onnx's own errors)
        raise StudyError(f"{path}: onnx cannot load the model: {type(exc).__name__}: {_one_line(exc)}") from None


def _choose(onnx: Any, inits: Mapping[str, Any], studied: Sequence[str] | None, path: str) -> tuple[StudiedTensor, ...]:
    """The studied initializers, in the model's order."""
    if studied is None:
        names = [n for n, t in inits.items() if t.data_type in _STUDIED_TYPES]
        if not names:
            raise StudyError(f"{path}: the model has no float32, float16 or bfloat16 initializer to study")
    else:
        names = [studied] if isinstance(studied, str) else list(studied)
        if not names:
            raise StudyError(f"{path}: no initializer to study (an empty list was given)")
        seen = set()
        for n in names:
            if n in seen:
                raise StudyError(f"{path}: initializer '{n}' is named twice")
            seen.add(n)
            if n not in inits:
                raise StudyError(f"{path}: '{n}' is not an initializer of the model's main graph")
            if inits[n].data_type not in _STUDIED_TYPES:
                kind = onnx.TensorProto.DataType.Name(inits[n].data_type).lower()
                raise StudyError(f"{path}: initializer '{n}' is {kind}; float32, float16 and bfloat16 ones are studied")
    chosen = set(names)
    return tuple(StudiedTensor(n, t.data_type, tuple(int(d) for d in t.dims)) for n, t in inits.items() if n in chosen)


def _initializer_array(onnx: Any, init: Any) -> npt.NDArray[Any]:
    """An initializer's values; bfloat16 as its uint16 patterns, whatever onnx hands back."""
    arr = np.ascontiguousarray(onnx.numpy_helper.to_array(init))
    if init.data_type == _BFLOAT16 and arr.dtype != np.uint16:
        arr = arr.view(np.uint16) if arr.dtype.itemsize == 2 else arr.astype(np.uint16)
    return arr


def _rewrite(onnx: Any, model: Any, studied: Sequence[StudiedTensor], path: str) -> bytes:
    """The model with the studied initializers turned into graph inputs, serialized."""
    graph = model.graph
    names = {s.name for s in studied}
    keep = [t for t in graph.initializer if t.name not in names]
    del graph.initializer[:]
    graph.initializer.extend(keep)
    listed = {i.name for i in graph.input}
    for s in studied:
        if s.name not in listed:
            graph.input.append(onnx.helper.make_tensor_value_info(s.name, s.onnx_type, list(s.shape)))
    try:
        data: bytes = model.SerializeToString()
    except ValueError as exc:  # protobuf's 2 GiB limit
        raise StudyError(f"{path}: the model cannot be rewritten in memory: {_one_line(exc)}") from None
    return data


def _load_data(path: str) -> dict[str, npt.NDArray[Any]]:
    p = Path(path)
    if not p.is_file():
        raise StudyError(f"{path}: no such file" if not p.exists() else f"{path}: not a file")
    try:
        npz = np.load(path, allow_pickle=False)
        if not isinstance(npz, np.lib.npyio.NpzFile):
            raise StudyError(f"{path}: not an .npz archive of arrays by input name")
        with npz:
            return {k: npz[k] for k in npz.files}
    except StudyError:
        raise
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as exc:
        raise StudyError(f"{path}: cannot read the data: {type(exc).__name__}: {_one_line(exc)}") from None


def _shape_text(shape: Sequence[Any]) -> str:
    return "[" + ", ".join(str(d) if isinstance(d, int) else "?" for d in shape) + "]"


def _check_inputs(
    session: Any, data: Mapping[str, npt.NDArray[Any]], names: Sequence[str], path: str
) -> tuple[int, int, bool]:
    """Each input's dtype and shape against the model's, named when refused; (rows, batch, fixed)."""
    meta = {i.name: i for i in session.get_inputs()}
    rows: int | None = None
    fixed: int | None = None
    for name in names:
        arr, info = data[name], meta[name]
        want = _ORT_DTYPES.get(info.type)
        if want is None:
            raise StudyError(f"{path}: the model input '{name}' takes {info.type}, which is not fed from data here")
        if arr.dtype != np.dtype(want):
            raise StudyError(f"{path}: input '{name}' is {arr.dtype}, the model takes {want}")
        shape = list(info.shape)
        if arr.ndim == 0 or len(shape) == 0:
            raise StudyError(f"{path}: input '{name}' needs one row per sample, and a scalar has none")
        bad = arr.ndim != len(shape) or any(isinstance(w, int) and w != g for g, w in zip(arr.shape[1:], shape[1:]))
        if bad:
            raise StudyError(f"{path}: input '{name}' has shape {list(arr.shape)}, the model takes {_shape_text(shape)}")
        if rows is None:
            rows = arr.shape[0]
        elif arr.shape[0] != rows:
            raise StudyError(f"{path}: input '{name}' has {arr.shape[0]} rows, '{names[0]}' has {rows}")
        if isinstance(shape[0], int) and shape[0] > 0:
            if fixed is not None and fixed != shape[0]:
                raise StudyError(f"{path}: the model's inputs fix different batch sizes ({fixed} and {shape[0]})")
            fixed = shape[0]
    assert rows is not None
    if rows == 0:
        raise StudyError(f"{path}: the data has no rows")
    return rows, (fixed or min(rows, MAX_BATCH)), fixed is not None


def _check_labels(labels: npt.NDArray[Any], rows: int, path: str) -> None:
    if labels.ndim != 1:
        raise StudyError(f"{path}: labels have shape {list(labels.shape)}, not one per row")
    if labels.dtype.kind not in "iu":
        raise StudyError(f"{path}: labels are {labels.dtype}, not integers")
    if labels.shape[0] != rows:
        raise StudyError(f"{path}: {labels.shape[0]} labels for {rows} rows of data")
