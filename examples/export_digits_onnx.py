"""Exports corvane's default model (the digits MLP) to ONNX, with its test set as the data to score it on.

    python examples/export_digits_onnx.py digits.onnx digits.npz
    corvane study --weights digits.onnx --data digits.npz

The study then runs the model itself in ONNX Runtime under every trial's
faults; its metric is the top-1 accuracy on the test set's labels.
"""

import sys

from corvane import digits


def main(argv: list[str]) -> int:
    model, data = (argv[1:3] + ["digits.onnx", "digits.npz"][len(argv[1:3]) :])[:2]
    digits.export_onnx(model, data)
    print(f"wrote {model} and {data}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
