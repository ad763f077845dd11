"""Weight files of every format, written here, load with names, shapes, order and patterns."""

import ml_dtypes
import numpy as np
import pytest

from corvane import StudyError, load_weights

DTYPES = {
    "float32": (np.float32, "float32"),
    "float16": (np.float16, "uint16"),
    "bfloat16": (ml_dtypes.bfloat16, "uint16"),
    "float8_e4m3fn": (ml_dtypes.float8_e4m3fn, "uint8"),
    "float8_e5m2": (ml_dtypes.float8_e5m2, "uint8"),
    "int8": (np.int8, "uint8"),
}


def tensors():
    rng = np.random.default_rng(1)
    out = {}
    for i, (name, (dt, _)) in enumerate(DTYPES.items()):
        out[f"layer{i}.{name}"] = rng.normal(0, 2, (3, 5 + i)).astype(dt)
    out["ids"] = np.arange(4, dtype=np.int64)  # not a weight: skipped and listed
    out["mask"] = np.array([True, False])
    return out


def write(fmt, path, arrays):
    if fmt == "npz":
        np.savez(path, **arrays)
    elif fmt == "safetensors":
        from safetensors.numpy import save_file

        save_file(arrays, str(path))
    elif fmt == "onnx":
        import onnx
        from onnx import helper, numpy_helper

        inits = []
        for name, a in arrays.items():
            try:
                inits.append(numpy_helper.from_array(a, name))
            except Exception:  # noqa: BLE001 - older onnx cannot take every ml_dtypes array
                pytest.skip(f"onnx {onnx.__version__} cannot write {a.dtype}")
        graph = helper.make_graph([], "g", [], [], initializer=inits)
        onnx.save(helper.make_model(graph), str(path))


@pytest.mark.parametrize("fmt", ["npz", "safetensors", "onnx"])
def test_formats_keep_names_shapes_order_and_bits(tmp_path, fmt):
    arrays = tensors()
    if fmt == "npz":  # np.savez cannot store ml_dtypes without pickling
        arrays = {k: v for k, v in arrays.items() if "float8" not in k and "bfloat16" not in k}
    path = tmp_path / f"model.{fmt}"
    write(fmt, path, arrays)
    ws = load_weights(path)
    order = list(arrays)
    if fmt == "safetensors":  # the writer lays tensors out by alignment: the file's order is its header's
        import json
        import struct

        raw = path.read_bytes()
        order = [k for k in json.loads(raw[8 : 8 + struct.unpack("<Q", raw[:8])[0]]) if k != "__metadata__"]
    usable = [k for k in order if k not in ("ids", "mask")]
    assert [t.name for t in ws.tensors] == usable
    assert sorted(n for n, _ in ws.skipped) == sorted(set(arrays) - set(usable))
    for t in ws.tensors:
        src = arrays[t.name]
        assert t.shape == src.shape and t.dtype == t.name.split(".")[1]
        assert t.storage == DTYPES[t.dtype][1]
        assert t.patterns.ndim == 1 and t.patterns.flags.c_contiguous and not t.patterns.flags.writeable
        assert np.array_equal(t.patterns, np.ascontiguousarray(src).reshape(-1).view(t.patterns.dtype))
        np.testing.assert_array_equal(t.values(), src.astype(np.float64).reshape(-1))


def test_npy_and_tensor_globs(tmp_path):
    np.save(tmp_path / "w.npy", np.ones((2, 3), np.float16))
    ws = load_weights(tmp_path / "w.npy")
    assert [(t.name, t.shape, t.dtype) for t in ws.tensors] == [("w", (2, 3), "float16")]
    from safetensors.numpy import save_file

    save_file({"a.weight": np.ones(2, np.float32), "a.bias": np.ones(2, np.float32), "b.weight": np.ones(3, np.float32)},
              str(tmp_path / "m.safetensors"))  # fmt: skip
    ws = load_weights(tmp_path / "m.safetensors", tensors=["*.weight"])
    assert [t.name for t in ws.tensors] == ["a.weight", "b.weight"]


@pytest.mark.parametrize(
    "content, name, message",
    [
        (None, "missing.npz", "no such file"),
        (b"not a zip", "bad.npz", "cannot read the file"),
        (b"\x93NUMPY garbage", "bad.npy", "cannot read the file"),
        (b"\x08\x00\x00\x00\x00\x00\x00\x00{bad json", "bad.safetensors", "cannot read the file"),
        (b"\xff\xff\xff", "bad.onnx", "cannot read the file"),
        (b"x", "weights.pt", "unknown weight file type '.pt'"),
    ],
)
def test_bad_files_are_study_errors(tmp_path, content, name, message):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(StudyError, match=message):
        load_weights(path)


def test_file_without_usable_tensor(tmp_path):
    np.savez(tmp_path / "ids.npz", ids=np.arange(3), mask=np.zeros(2, bool))
    with pytest.raises(StudyError, match=r"has no usable tensor \(skipped: ids int64, mask bool\)"):
        load_weights(tmp_path / "ids.npz")
    np.savez(tmp_path / "w.npz", w=np.ones(3, np.float32))
    with pytest.raises(StudyError, match="no usable tensor"):
        load_weights(tmp_path / "w.npz", tensors=["nothing*"])
