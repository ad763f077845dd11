"""Small weight sets for the study tests."""

import numpy as np

from corvane.weights import WeightSet


def tiny(storage="float32", sizes=(300, 77), seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for i, n in enumerate(sizes):
        if storage in ("int8", "uint8"):
            a = rng.integers(0, 256, n).astype(np.uint8).view(storage)
        else:
            import ml_dtypes

            dt = ml_dtypes.bfloat16 if storage == "bfloat16" else storage
            a = rng.normal(0, 0.5, n).astype(dt)
        out.append((f"t{i}", a))
    return WeightSet.from_arrays(out, source="tiny")
