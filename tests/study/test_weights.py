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


@pytest.mark.parametrize("order", ["<", ">"])
@pytest.mark.parametrize("dtype", ["f4", "f2", "i1"])
@pytest.mark.parametrize("fmt", ["npy", "npz"])
def test_arrays_of_either_byte_order_are_studied_as_their_values(tmp_path, order, dtype, fmt):
    values = np.random.default_rng(2).normal(0, 3, (4, 6)).astype(np.dtype(dtype))
    stored = values.astype(order + dtype)
    if fmt == "npy":
        np.save(tmp_path / "w.npy", stored)
    else:
        np.savez(tmp_path / "w.npz", w=stored)
    (t,) = load_weights(tmp_path / f"w.{fmt}").tensors
    np.testing.assert_array_equal(t.values(), values.astype(np.float64).reshape(-1))
    assert np.array_equal(t.as_array(), values)


@pytest.mark.parametrize("shapes", [[(0,)], [(0, 5), (3, 0)]])
def test_a_weight_set_without_a_single_value_is_refused(tmp_path, shapes):
    np.savez(tmp_path / "w.npz", *[np.ones(s, np.float32) for s in shapes])
    with pytest.raises(StudyError, match="w.npz: its tensors hold no values"):
        load_weights(tmp_path / "w.npz")


def test_a_loop_of_links_is_named_as_such(tmp_path):
    (tmp_path / "a.npy").symlink_to("b.npy")
    (tmp_path / "b.npy").symlink_to("a.npy")
    with pytest.raises(StudyError, match="a.npy: Too many levels of symbolic links"):
        load_weights(tmp_path / "a.npy")


def _inflating_npz(path, mib):
    """A little zip that declares ``mib`` MiB of float32 zeros, written without holding them."""
    import zipfile

    n = mib * 2**20 // 4
    header = np.lib.format.header_data_from_array_1_0(np.zeros(1, np.float32))
    header["shape"] = (n,)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf, zf.open("w.npy", "w", force_zip64=True) as f:
        np.lib.format.write_array_header_1_0(f, header)
        zeros = bytes(2**22)
        for _ in range(n * 4 // len(zeros)):
            f.write(zeros)


def test_an_archive_that_inflates_beyond_memory_is_refused_before_it_is_read(tmp_path, monkeypatch):
    import corvane.weights

    _inflating_npz(tmp_path / "bomb.npz", 64)
    assert (tmp_path / "bomb.npz").stat().st_size < 2**20
    monkeypatch.setattr(corvane.weights, "available_memory", lambda: 2**25)  # a machine with 32 MiB free
    with pytest.raises(StudyError, match=r"bomb.npz: its arrays declare 64.0 MiB \(w alone 64.0 MiB\), more than the "
                                         r"32.0 MiB of memory available"):  # fmt: skip
        load_weights(tmp_path / "bomb.npz")


def test_an_npy_header_that_declares_more_than_the_file_holds_is_refused(tmp_path):
    np.save(tmp_path / "w.npy", np.ones(10, np.float32))
    raw = (tmp_path / "w.npy").read_bytes().replace(b"(10,)", b"(10000000000,)".ljust(5))
    (tmp_path / "w.npy").write_bytes(raw)
    with pytest.raises(StudyError, match="declares 40000000000 bytes of data, more than the file holds"):
        load_weights(tmp_path / "w.npy")


def test_available_memory_is_a_positive_number_of_bytes():
    from corvane.weights import available_memory

    free = available_memory()
    assert free is None or 0 < free < 2**50
