"""Evaluate functions for `corvane study --evaluate`, in both forms, on the default digits model.

Each receives the decoded weights of a trial as a read-only mapping, tensor
name -> array of the source dtype and shape ("hidden.weight", "hidden.bias",
"output.weight", "output.bias"), and returns a number: here the accuracy of the
MLP on all 1,797 images of scikit-learn's digits.

    corvane study --evaluate digits_task:accuracy        # the function itself scores every trial
    corvane study --evaluate digits_task:make_accuracy   # a factory, called once per process

Run from this directory (or put it on PYTHONPATH). `accuracy` loads the data
set again for every trial; `make_accuracy` loads it once per process and
returns the function that scores the trials, which is what a real model wants
(a data set read, a session built, a tokenizer loaded once).
"""

from collections.abc import Callable, Mapping

import numpy as np


def _images() -> tuple[np.ndarray, np.ndarray]:
    from sklearn.datasets import load_digits

    digits = load_digits()
    return (digits.data / 16.0).astype(np.float32), digits.target


def _score(weights: Mapping[str, np.ndarray], x: np.ndarray, y: np.ndarray) -> float:
    w1, b1, w2, b2 = (weights[n].astype(np.float32) for n in ("hidden.weight", "hidden.bias", "output.weight", "output.bias"))
    with np.errstate(all="ignore"):  # faulty weights overflow and make NaN
        scores = np.maximum(x @ w1 + b1, 0) @ w2 + b2
    return float(np.mean(np.argmax(np.nan_to_num(scores, nan=-np.inf), axis=1) == y))


def accuracy(weights: Mapping[str, np.ndarray]) -> float:
    """The trial form: called on every trial's weights."""
    x, y = _images()
    return _score(weights, x, y)


def make_accuracy(clean: Mapping[str, np.ndarray]) -> Callable[[Mapping[str, np.ndarray]], float]:
    """The factory form: called once per process with the fault-free weights; returns the trial function."""
    x, y = _images()

    def trial(weights: Mapping[str, np.ndarray]) -> float:
        return _score(weights, x, y)

    return trial
