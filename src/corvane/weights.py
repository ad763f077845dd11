"""Weight sets: the tensors of a model file, held as the bit patterns that are studied.

float32 tensors are studied as float32; float16 and bfloat16 as their 16-bit
patterns (uint16); 8-bit tensors (int8, uint8, float8_e4m3fn, float8_e5m2) as
uint8 patterns. Every tensor is kept as a 1-D C-contiguous array in row-major
order, with its name, shape and source dtype, so that values can be measured
and whole arrays handed back to an evaluation function.
"""

from __future__ import annotations

import fnmatch
import math
import stat
import zipfile
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from .errors import STUDY_EXTRA, StudyError
from .vocabulary import STORAGE, Storage, Tensor, dtype_name, source_dtype

__all__ = ["ROUNDED", "Storage", "Tensor", "WeightSet", "load_weights", "source_dtype"]

#: The 16-bit formats float32 weights can be stored in, rounded to nearest even.
ROUNDED = ("float16", "bfloat16")


@dataclass(eq=False)
class WeightSet:
    """The studied tensors of one source, in the order of the source."""

    tensors: list[Tensor]
    skipped: list[tuple[str, str]] = field(default_factory=list)
    source: str = ""
    #: The weights as loaded, when these are their float32 tensors stored in 16 bits (``stored_as``).
    rounded_from: WeightSet | None = field(default=None, repr=False)

    def __post_init__(self) -> None:
        if not self.tensors:
            raise StudyError(f"{self.source or 'the weight set'} has no usable tensor" + self._skipped_text())
        if self.value_count == 0:
            raise StudyError(f"{self.source or 'the weight set'}: its tensors hold no values")

    def _skipped_text(self) -> str:
        if not self.skipped:
            return ""
        return " (skipped: " + ", ".join(f"{n} {d}" for n, d in self.skipped) + ")"

    @property
    def value_count(self) -> int:
        return sum(t.size for t in self.tensors)

    @property
    def nbytes(self) -> int:
        return sum(int(t.patterns.nbytes) for t in self.tensors)

    def groups(self) -> list[tuple[Storage, list[int]]]:
        """Tensors grouped by storage kind (kinds in order of first appearance)."""
        out: dict[Storage, list[int]] = {}
        for i, t in enumerate(self.tensors):
            out.setdefault(t.storage, []).append(i)
        return list(out.items())

    def arrays(self, patterns: Sequence[npt.NDArray[Any]] | None = None) -> list[npt.NDArray[Any]]:
        """The tensors (or the patterns given for them) as arrays of their source dtype and shape.

        Views, no copy, over read-only buffers: unlike a read-only flag, nobody
        can set them writeable again, so a user's function handed them cannot
        change what every later trial reads.
        """
        if patterns is None:
            patterns = [t.patterns for t in self.tensors]
        return [t.as_array(_sealed(p)) for t, p in zip(self.tensors, patterns, strict=True)]

    def stored_as(self, dtype: str, name: str = "as") -> WeightSet:
        """The float32 tensors rounded to nearest even into ``dtype`` (float16 or bfloat16), the others as they are.

        The result keeps these weights as ``rounded_from``, so that what the
        rounding lost can be measured. float32 gives the weights back.
        """
        if dtype == "float32":
            return self
        if dtype not in ROUNDED:
            raise StudyError(f"{name}: cannot store weights as '{dtype}' (use {', '.join(('float32', *ROUNDED))})")
        if not any(t.dtype == "float32" for t in self.tensors):
            held = ", ".join(sorted({t.dtype for t in self.tensors}))
            raise StudyError(f"{name} {dtype}: {self.source or 'the weight set'} holds no float32 tensor to round "
                             f"(its tensors are {held})")  # fmt: skip
        target = source_dtype(dtype)
        tensors = []
        for t in self.tensors:
            if t.dtype != "float32":
                tensors.append(t)
                continue
            with np.errstate(over="ignore"):  # beyond float16's range is infinite, as in any cast
                flat = t.patterns.view(np.float32).astype(target).view(STORAGE[dtype].dtype)  # nearest even
            flat.flags.writeable = False
            tensors.append(Tensor(t.name, t.shape, dtype, flat))
        return WeightSet(tensors, list(self.skipped), f"{self.source} as {dtype}", rounded_from=self)

    @classmethod
    def from_arrays(
        cls, arrays: Iterable[tuple[str, npt.ArrayLike]], source: str = "", tensors: Sequence[str] | None = None
    ) -> WeightSet:
        """A weight set from (name, array) pairs; unusable dtypes are skipped and listed."""
        kept: list[Tensor] = []
        skipped: list[tuple[str, str]] = []
        names: list[str] = []
        matched: set[str] = set()
        for name, raw in arrays:
            names.append(name)
            if tensors is not None:
                hits = {pat for pat in tensors if fnmatch.fnmatchcase(name, pat)}
                matched |= hits
                if not hits:
                    continue
            if isinstance(raw, _Unsupported):
                skipped.append((name, raw.dtype))
                continue
            a = np.asarray(raw)
            if not a.dtype.isnative:  # studied as the values they hold, in the machine's order
                a = a.astype(a.dtype.newbyteorder("="))
            dname = dtype_name(a.dtype)
            if dname not in STORAGE:
                skipped.append((name, dname))
                continue
            flat = np.ascontiguousarray(a.reshape(-1)).view(STORAGE[dname].dtype)
            flat.flags.writeable = False  # shared by every trial: nothing may write to it
            kept.append(Tensor(name, tuple(int(s) for s in a.shape), dname, flat))
        unmatched = [pat for pat in tensors or () if pat not in matched]
        if unmatched:
            some = ", ".join(names[:5]) + (f", ... ({len(names)} in all)" if len(names) > 5 else "")
            where = source or "the weight set"
            if not kept:
                raise StudyError(f"{where} has no usable tensor: '{unmatched[0]}' matches none of its tensors ({some})")
            raise StudyError(f"tensors: '{unmatched[0]}' matches no tensor of {where} ({some})")
        return cls(kept, skipped, source)


def _sealed(p: npt.NDArray[Any]) -> npt.NDArray[Any]:
    # A buffer is exported whole only by a contiguous array; the patterns always are, a stray view is copied.
    whole = p if p.flags.c_contiguous else np.ascontiguousarray(p)
    return np.frombuffer(memoryview(whole).toreadonly(), dtype=p.dtype)  # type: ignore[arg-type]


def available_memory() -> int | None:
    """Bytes of memory this process can still get: the system's available memory, within its cgroup's limit."""
    found: list[int] = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    found.append(int(line.split()[1]) * 1024)
    except (OSError, ValueError, IndexError):
        pass
    try:
        root = Path("/sys/fs/cgroup")
        limit = (root / "memory.max").read_text().strip()
        if limit != "max":
            found.append(int(limit) - int((root / "memory.current").read_text()))
    except (OSError, ValueError):
        pass
    return max(0, min(found)) if found else None


def _size(n: int) -> str:
    return f"{n / 2**30:.1f} GiB" if n >= 2**30 else f"{n / 2**20:.1f} MiB"


def _check_declared(path: Path, sizes: list[tuple[str, int]]) -> None:
    """Refuses arrays whose declared sizes would not fit in memory, before any is read."""
    available = available_memory()
    total = sum(n for _, n in sizes)
    if available is not None and total > available:
        name, largest = max(sizes, key=lambda s: s[1])
        raise StudyError(f"{path}: its arrays declare {_size(total)} ({name} alone {_size(largest)}), "
                         f"more than the {_size(available)} of memory available")  # fmt: skip


def _npy_bytes(f: IO[bytes]) -> int:
    """The bytes an .npy stream's header declares (shape x item size), read from the header alone."""
    version = np.lib.format.read_magic(f)
    read = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
    shape, _, dtype = read(f)
    return math.prod(shape) * dtype.itemsize


def _load_npz(path: Path) -> list[tuple[str, Any]]:
    # A small compressed member can declare gigabytes: its sizes, from the zip
    # directory and its .npy header, are checked before anything is inflated.
    sizes = []
    with zipfile.ZipFile(path) as zf:
        for info in zf.infolist():
            with zf.open(info) as f:
                declared = _npy_bytes(f) if info.filename.endswith(".npy") else 0
            sizes.append((info.filename.removesuffix(".npy"), max(info.file_size, declared)))
    _check_declared(path, sizes)
    with np.load(path, allow_pickle=False) as z:
        return [(name, z[name]) for name in z.files]


def _load_npy(path: Path) -> list[tuple[str, Any]]:
    with open(path, "rb") as f:
        declared = _npy_bytes(f)
        if declared > path.stat().st_size:
            raise ValueError(f"its header declares {declared} bytes of data, more than the file holds")
    _check_declared(path, [(path.stem, declared)])
    return [(path.stem, np.load(path, allow_pickle=False))]


_SAFETENSORS_DTYPES = {
    "F32": "float32", "F16": "float16", "BF16": "bfloat16", "I8": "int8", "U8": "uint8",
    "F8_E4M3": "float8_e4m3fn", "F8_E5M2": "float8_e5m2",
}  # fmt: skip


def _safetensors_header(path: Path) -> dict[str, Any]:
    import json
    import struct

    with open(path, "rb") as f:
        head = f.read(8)
        if len(head) < 8:
            raise ValueError("file too short for a safetensors header")
        (size,) = struct.unpack("<Q", head)
        if size > path.stat().st_size - 8:
            raise ValueError(f"header length {size} runs past the end of the file")
        header: dict[str, Any] = json.loads(f.read(size))
    header.pop("__metadata__", None)
    return header


# Dtypes a weight file may hold that are not studied: listed as skipped under these names, never read.
_SAFETENSORS_SKIPPED = {
    "I64": "int64", "I32": "int32", "I16": "int16", "U16": "uint16", "U32": "uint32", "U64": "uint64",
    "F64": "float64", "BOOL": "bool",
}  # fmt: skip


def _load_safetensors(path: Path) -> list[tuple[str, Any]]:
    import ml_dtypes  # noqa: F401  (registers bfloat16 / float8 with NumPy)

    header = _safetensors_header(path)
    # The order of the file is the order of the tensors' data.
    names = sorted(header, key=lambda n: tuple(header[n]["data_offsets"]))
    out: list[tuple[str, Any]] = []
    for name in names:
        dtype = header[name]["dtype"]
        if dtype in _SAFETENSORS_DTYPES:
            # Each tensor read straight into its own array: loading never holds a second copy of the weights.
            out.append((name, _raw_tensor(path, header, name)))
        else:
            out.append((name, _Unsupported(_SAFETENSORS_SKIPPED.get(dtype, dtype))))
    return out


class _Unsupported:
    """A tensor of a dtype nobody here reads: listed as skipped."""

    def __init__(self, dtype: str) -> None:
        self.dtype = dtype


def _raw_tensor(path: Path, header: dict[str, Any], name: str) -> Any:
    info = header[name]
    start, stop = (int(x) for x in info["data_offsets"])
    with open(path, "rb") as f:
        base = 8 + int.from_bytes(f.read(8), "little")
    shape = tuple(int(s) for s in info["shape"])
    if any(s < 0 for s in shape) or not 0 <= start <= stop:
        raise ValueError(f"tensor {name}: shape {list(shape)} at bytes {start}..{stop}")
    count = int(np.prod(shape)) if shape else 1
    dt = source_dtype(_SAFETENSORS_DTYPES[info["dtype"]])
    if stop - start != count * dt.itemsize:
        raise ValueError(f"tensor {name}: {stop - start} bytes for shape {list(shape)}")
    if base + stop > path.stat().st_size:
        raise ValueError(f"tensor {name}: its bytes run past the end of the file")
    raw = np.fromfile(path, dtype=np.uint8, count=stop - start, offset=base + start)
    return raw.view(dt).reshape(shape)


def _load_onnx(path: Path) -> list[tuple[str, Any]]:
    import onnx
    from onnx import numpy_helper

    model = onnx.load(str(path), load_external_data=True)
    out: list[tuple[str, Any]] = []
    for init in model.graph.initializer:
        arr = numpy_helper.to_array(init)
        out.append((init.name, _onnx_fixup(init, arr)))
    return out


def _onnx_fixup(init: Any, arr: Any) -> Any:
    """onnx hands bfloat16 / float8 back as ml_dtypes arrays in new versions, raw ints in old ones."""
    import onnx

    kinds = {
        onnx.TensorProto.BFLOAT16: "bfloat16",
        onnx.TensorProto.FLOAT8E4M3FN: "float8_e4m3fn",
        onnx.TensorProto.FLOAT8E5M2: "float8_e5m2",
    }
    want = kinds.get(init.data_type)
    if want is None or dtype_name(arr.dtype) == want:
        return arr
    dt = source_dtype(want)
    if arr.dtype.itemsize == dt.itemsize:
        return arr.view(dt)
    return np.asarray(arr).astype(np.uint16 if dt.itemsize == 2 else np.uint8).view(dt)


def load_weights(path: str | Path, tensors: Sequence[str] | None = None) -> WeightSet:
    """Loads the tensors of a .npy, .npz, .safetensors or .onnx file.

    ``tensors`` selects tensors by glob patterns (``fnmatch``) on their names.
    Tensors of other dtypes than float32 / float16 / bfloat16 / int8 / uint8 /
    float8 are skipped and listed in ``skipped``; a file with no usable tensor
    is a :class:`StudyError`, and so is a missing, unreadable or corrupt file.
    """
    p = Path(path)
    if not str(path):
        raise StudyError("--weights: an empty path")
    try:
        st = p.stat()
    except FileNotFoundError:
        raise StudyError(f"{p}: no such file") from None
    except OSError as exc:  # a loop of symbolic links, a directory that cannot be searched, ...
        raise StudyError(f"{p}: {exc.strerror}") from None
    if not stat.S_ISREG(st.st_mode):
        raise StudyError(f"{p}: not a file")
    suffix = p.suffix.lower()
    loaders = {".npy": _load_npy, ".npz": _load_npz, ".safetensors": _load_safetensors, ".onnx": _load_onnx}
    try:
        if suffix in loaders:
            items = loaders[suffix](p)
        else:
            raise StudyError(f"{p}: unknown weight file type '{suffix}' (use .npy, .npz, .safetensors or .onnx)")
    except StudyError:
        raise
    except ImportError as exc:
        raise StudyError(f"{p}: cannot read {suffix} files without {exc.name}: {STUDY_EXTRA}") from exc
    except Exception as exc:  # noqa: BLE001 - whatever a corrupt file makes its reader raise
        raise StudyError(f"{p}: cannot read the file: {type(exc).__name__}: {exc}") from exc
    return WeightSet.from_arrays(items, source=str(p), tensors=tensors)
