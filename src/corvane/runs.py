"""What fault campaigns and vulnerability maps share: checks of their common options, an ONNX model's task as
their metric, and holding Ctrl-C back while a finished result is kept.

The modules that run them sit side by side and never import each other, so
what both need lives here, below them.
"""

from __future__ import annotations

import contextlib
import signal
import threading
import math
from collections.abc import Iterator, Sequence
from pathlib import Path
from types import FrameType
from typing import Any

from .errors import StudyError
from .trial import Evaluate
from .weights import WeightSet


def check_seed(seed: int, name: str = "seed") -> int:
    if not 0 <= seed < 2**64:
        raise StudyError(f"{name} must be in [0, 2**64), got {seed}")
    return seed


def check_workers(workers: int, name: str = "workers") -> int:
    if workers < 1:
        raise StudyError(f"{name} must be at least 1, got {workers}")
    return workers


def check_metric_range(bounds: Sequence[float | None], name: str = "metric range") -> tuple[float | None, float | None]:
    if len(bounds) != 2:
        raise StudyError(f"{name} needs a low and a high end, got {list(bounds)}")
    low, high = bounds
    for end in (low, high):
        if end is not None and not (isinstance(end, (int, float)) and math.isfinite(end)):
            raise StudyError(f"{name}: {end} is not a finite number")
    if low is not None and high is not None and not low < high:
        raise StudyError(f"{name}: the low end {low} is not below the high end {high}")
    return (None if low is None else float(low), None if high is None else float(high))


def check_data(data: str | None, weights: str | None, evaluate: str | None) -> None:
    """``--data`` goes with an ONNX model's weights, and names the model's task instead of ``--evaluate``."""
    if data is None:
        return
    if weights is None or Path(weights).suffix.lower() != ".onnx":
        raise StudyError("--data evaluates an ONNX model on its inputs: give the model as --weights MODEL.onnx")
    if evaluate is not None:
        raise StudyError("--data and --evaluate both name the metric: give one of them")


def onnx_evaluate(weights: WeightSet, model: str | Path, data: str | Path) -> tuple[Evaluate, str]:
    """The ONNX model's own task on ``data`` as the evaluate function of a campaign or map (a factory: every
    worker builds its session once), and the name of its metric."""
    from .onnx_task import OnnxTask

    task = OnnxTask(model, data, studied=[t.name for t in weights.tensors])
    return task.factory, f"{task.metric_name} of {Path(model).name} on {Path(data).name}"


class CtrlC:
    """Lets a run hold Ctrl-C back while it writes and counts a finished trial (or stratum).

    Otherwise the interrupt can land between the two, and the count the user
    is told differs from the trials the run directory keeps. A Ctrl-C that
    comes meanwhile is raised when the held block ends. Python runs signal
    handlers in the main thread only, so elsewhere nothing is installed.
    """

    def __init__(self) -> None:
        self._old: Any = None
        self._holding = False
        self._pending: tuple[int, FrameType | None] | None = None

    def __enter__(self) -> CtrlC:
        if threading.current_thread() is threading.main_thread():
            old = signal.getsignal(signal.SIGINT)
            if callable(old):  # SIG_IGN and SIG_DFL stay as they are
                self._old = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._old is not None:
            signal.signal(signal.SIGINT, self._old)
            self._old = None

    def _handler(self, signum: int, frame: FrameType | None) -> None:
        if self._holding:
            self._pending = (signum, frame)
        else:
            self._old(signum, frame)

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self._pending is not None:
            pending, self._pending = self._pending, None
            self._old(*pending)


__all__ = ["CtrlC", "check_data", "check_metric_range", "check_seed", "check_workers", "onnx_evaluate"]
