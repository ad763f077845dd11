"""Fault injection into lists of arrays by global bit index."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane._rust as rust
from elements import DTYPES, UINT, WIDTH

SUFFIXES = list(DTYPES)
FAULTS = {"stuck_at_0": rust.Fault.stuck_at_0, "stuck_at_1": rust.Fault.stuck_at_1, "flip": rust.Fault.flip}


def single(suffix):
    return getattr(rust, f"list_of_array_fault_{suffix}")


def batch(suffix):
    return getattr(rust, f"list_of_array_faults_{suffix}")


def model_apply(arrays, suffix, faults):
    """Reference: apply (kind, bit) pairs to copies, first axis fastest."""
    w = WIDTH[suffix]
    out = [np.array(a, copy=True) for a in arrays]
    flat = [o.reshape(-1, order="F").view(UINT[suffix]).copy() for o in out]
    sizes = [f.size * w for f in flat]
    for kind, g in faults:
        k = 0
        while g >= sizes[k]:
            g -= sizes[k]
            k += 1
        e, j = divmod(g, w)
        mask = UINT[suffix](1 << j)
        if kind == "flip":
            flat[k][e] ^= mask
        elif kind == "stuck_at_1":
            flat[k][e] |= mask
        else:
            flat[k][e] &= ~mask
    return [f.view(DTYPES[suffix]).reshape(o.shape, order="F") for f, o in zip(flat, out)]


@pytest.mark.parametrize(
    "suffix, values, bit, expected",
    [
        ("u8", [0, 0], 9, [0, 2]),
        ("u8", [0], 7, [128]),
        ("u16", [0], 8, [256]),
        ("f32", [1.0], 31, [-1.0]),
        ("f32", [1.0], 22, [1.5]),
        ("f32", [1.0], 30, [np.inf]),
    ],
)
def test_single_flip(suffix, values, bit, expected):
    a = np.array(values, DTYPES[suffix])
    assert single(suffix)([a], rust.Fault.flip(), bit) is None
    assert a.tolist() == expected


@pytest.mark.parametrize("suffix", SUFFIXES)
@pytest.mark.parametrize("kind, start, expected", [("stuck_at_0", 0xFF, 0xFE), ("stuck_at_1", 0, 1), ("flip", 1, 0)])
def test_fault_kinds_on_bit_zero(suffix, kind, start, expected):
    a = np.array([start], UINT[suffix]).view(DTYPES[suffix])
    single(suffix)([a], FAULTS[kind](), 0)
    assert int(a.view(UINT[suffix])[0]) == expected


def test_global_index_spans_arrays_in_order():
    a, b = np.zeros(1, np.uint16), np.zeros(2, np.uint16)
    rust.list_of_array_fault_u16([a, b], rust.Fault.flip(), 16)
    assert a.tolist() == [0] and b.tolist() == [1, 0]


def test_empty_arrays_are_passed_over():
    a, e, b = np.zeros(1, np.uint8), np.zeros(0, np.uint8), np.zeros(1, np.uint8)
    rust.list_of_array_fault_u8([a, e, b], rust.Fault.flip(), 8)
    rust.list_of_array_faults_u8([a, e, b], [(rust.Fault.flip(), 9)])
    assert a.tolist() == [0] and b.tolist() == [3]


@pytest.mark.parametrize("bit, index", [(8, (1, 0)), (16, (0, 1)), (40, (1, 2))])
def test_first_axis_varies_fastest(bit, index):
    a = np.zeros((2, 3), np.uint8)
    rust.list_of_array_fault_u8([a], rust.Fault.stuck_at_1(), bit)
    expected = np.zeros((2, 3), np.uint8)
    expected[index] = 1
    assert (a == expected).all()


def test_mixed_shapes():
    a, b = np.zeros(3, np.uint8), np.zeros((2, 2), np.uint8)
    rust.list_of_array_faults_u8([a, b], [(rust.Fault.stuck_at_1(), 24), (rust.Fault.stuck_at_1(), 33)])
    assert b.tolist() == [[1, 0], [2, 0]]


def test_views_write_through():
    a = np.zeros(3, np.uint8)
    rust.list_of_array_fault_u8([a[::-1]], rust.Fault.stuck_at_1(), 0)
    assert a.tolist() == [0, 0, 1]
    b = np.zeros(6, np.uint8)
    rust.list_of_array_fault_u8([b[1::2]], rust.Fault.stuck_at_1(), 8)
    assert b.tolist() == [0, 0, 0, 1, 0, 0]


def test_zero_dimensional_array():
    a = np.array(0, np.uint16)
    rust.list_of_array_fault_u16([a], rust.Fault.flip(), 15)
    assert int(a) == 0x8000
    with pytest.raises(IndexError):
        rust.list_of_array_fault_u16([a], rust.Fault.flip(), 16)


def test_packed_record_field_is_addressed_by_byte_offset():
    # The float field of a packed record sits at byte offset 1 with a
    # 5-byte stride: not a multiple of the element size, not aligned.
    rec = np.zeros(3, dtype=np.dtype([("tag", "u1"), ("value", "<f4")]))
    field = rec["value"]
    assert field.strides == (5,)
    rust.list_of_array_fault_f32([field], rust.Fault.flip(), 32 + 31)
    assert field.tolist() == [0.0, -0.0, 0.0]
    assert rec["tag"].tolist() == [0, 0, 0]
    rust.list_of_array_faults_f32([field], [(rust.Fault.stuck_at_1(), 64 + 30)])
    assert np.signbit(field[1]) and field[2] == 2.0


def test_view_at_odd_byte_offset():
    raw = np.zeros(9, np.uint8)
    view = raw[1:].view(np.uint16)
    assert not view.flags.aligned
    rust.list_of_array_fault_u16([view], rust.Fault.stuck_at_1(), 16 + 8)
    assert raw.tolist() == [0, 0, 0, 0, 1, 0, 0, 0, 0]


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_out_of_bounds(suffix):
    a = np.zeros(2, DTYPES[suffix])
    for fn_args in ([a], 2 * WIDTH[suffix]), ([], 0), ([np.zeros(0, DTYPES[suffix])], 0):
        with pytest.raises(IndexError) as info:
            single(suffix)(fn_args[0], rust.Fault.flip(), fn_args[1])
        assert str(info.value) == "target_bit is out of bounds"
        assert not getattr(info.value, "__notes__", None)


def test_batch_is_validated_before_any_change():
    a = np.zeros(4, np.uint8)
    with pytest.raises(IndexError, match="^target_bit is out of bounds$"):
        rust.list_of_array_faults_u8([a], [(rust.Fault.flip(), 0), (rust.Fault.flip(), 999)])
    assert a.tolist() == [0, 0, 0, 0]


def test_batch_order_matters():
    a = np.zeros(1, np.uint8)
    rust.list_of_array_faults_u8([a], [(rust.Fault.flip(), 0), (rust.Fault.flip(), 0)])
    assert a.tolist() == [0]
    rust.list_of_array_faults_u8([a], [(rust.Fault.flip(), 3), (rust.Fault.stuck_at_0(), 3)])
    assert a.tolist() == [0]
    rust.list_of_array_faults_u8([a], [(rust.Fault.stuck_at_0(), 3), (rust.Fault.flip(), 3)])
    assert a.tolist() == [8]


@pytest.mark.parametrize("input_", [[], [np.zeros(3, np.uint8)]])
def test_empty_batch(input_):
    assert rust.list_of_array_faults_u8(input_, []) is None
    assert rust.list_of_array_faults_u8(input_, ()) is None


def test_read_only_array_in_batch_changes_nothing(panic_exception):
    a, b = np.zeros(2, np.uint8), np.zeros(2, np.uint8)
    b.flags.writeable = False
    with pytest.raises(panic_exception) as info:
        rust.list_of_array_faults_u8([a, b], [(rust.Fault.flip(), 0), (rust.Fault.flip(), 16)])
    assert str(info.value).endswith("NotWriteable")
    assert a.tolist() == [0, 0]
    # A read-only array that no fault reaches is no obstacle.
    rust.list_of_array_faults_u8([a, b], [(rust.Fault.flip(), 0)])
    assert a.tolist() == [1, 0]


def test_read_only_array_single(panic_exception):
    a = np.zeros(2, np.uint8)
    a.flags.writeable = False
    with pytest.raises(panic_exception, match="NotWriteable$"):
        rust.list_of_array_fault_u8([a], rust.Fault.flip(), 0)
    assert a.tolist() == [0, 0]
    # The module keeps working.
    b = np.zeros(1, np.uint8)
    rust.list_of_array_fault_u8([b], rust.Fault.flip(), 0)
    assert b.tolist() == [1]


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize(
    "target, exc, text",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        ("1", TypeError, "'str' object cannot be interpreted as an integer"),
        (1.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_target_bit_conversion(target, exc, text):
    a = np.zeros(1, np.uint8)
    with pytest.raises(exc) as info:
        rust.list_of_array_fault_u8([a], rust.Fault.flip(), target)
    assert str(info.value) == text
    assert info.value.__notes__ == ["while processing 'target_bit'"]
    with pytest.raises(exc) as info:
        rust.list_of_array_faults_u8([a], [(rust.Fault.flip(), target)])
    assert info.value.__notes__ == ["while processing 'faults'"]


def test_index_objects_and_bools_are_accepted():
    a = np.zeros(1, np.uint8)
    rust.list_of_array_fault_u8([a], rust.Fault.flip(), Index(2))
    rust.list_of_array_fault_u8([a], rust.Fault.flip(), True)
    rust.list_of_array_faults_u8([a], [(rust.Fault.flip(), Index(3)), (rust.Fault.flip(), np.uint64(4))])
    assert a.tolist() == [0b11110]


A = np.zeros(2, np.uint8)


@pytest.mark.parametrize(
    "input_, message",
    [
        ("ab", "Can't extract `str` to `Vec`"),
        (None, "'None' is not an instance of 'Sequence'"),
        (5, "'int' object is not an instance of 'Sequence'"),
        ({A.tobytes(): A}, "'dict' object is not an instance of 'Sequence'"),
        ((a for a in [A]), "'generator' object is not an instance of 'Sequence'"),
        ([A, None], "'None' is not an instance of 'ndarray'"),
        ([A, 3], "'int' object is not an instance of 'ndarray'"),
        ([np.zeros(2, np.float32)], "'ndarray' object is not an instance of 'ndarray'"),
        ([np.zeros(2, ">u2").view(np.uint8)], None),
        (np.zeros(2, np.uint8), "'uint8' object is not an instance of 'ndarray'"),
    ],
)
def test_input_conversion_errors(input_, message):
    if message is None:  # a byte view is a valid uint8 array
        rust.list_of_array_fault_u8(input_, rust.Fault.flip(), 0)
        return
    with pytest.raises(TypeError) as info:
        rust.list_of_array_fault_u8(input_, rust.Fault.flip(), 0)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'input'"]


@pytest.mark.parametrize("suffix, dtype", [("f32", ">f4"), ("u16", ">u2"), ("f32", np.float64), ("u8", np.int8)])
def test_wrong_dtype_refused_before_any_change(suffix, dtype):
    bad = np.zeros(2, dtype)
    good = np.zeros(2, DTYPES[suffix])
    with pytest.raises(TypeError) as info:
        batch(suffix)([good, bad], [(rust.Fault.flip(), 0)])
    assert str(info.value) == "'ndarray' object is not an instance of 'ndarray'"
    assert not good.any()


def test_sequences_of_arrays():
    a = np.zeros((2, 3), np.uint8)
    rust.list_of_array_fault_u8(a, rust.Fault.flip(), 8)  # rows of a 2-D array
    assert a[0].tolist() == [0, 1, 0]
    rust.list_of_array_fault_u8((a[1],), rust.Fault.flip(), 0)
    assert a[1].tolist() == [1, 0, 0]


class Subclass(np.ndarray):
    pass


def test_ndarray_subclass_accepted():
    a = np.zeros(2, np.uint8).view(Subclass)
    rust.list_of_array_fault_u8([a], rust.Fault.flip(), 0)
    assert a.tolist() == [1, 0]


@pytest.mark.parametrize(
    "faults, exc, message",
    [
        ("ab", TypeError, "Can't extract `str` to `Vec`"),
        (iter([]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
        ([[rust.Fault.flip(), 0]], TypeError, "'list' object is not an instance of 'tuple'"),
        ([(rust.Fault.flip(), 0, 1)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([(0, 0)], TypeError, "'int' object is not an instance of 'Fault'"),
        ([(None, 0)], TypeError, "'None' is not an instance of 'Fault'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ],
)
def test_faults_conversion_errors(faults, exc, message):
    a = np.zeros(2, np.uint8)
    with pytest.raises(exc) as info:
        rust.list_of_array_faults_u8([a], faults)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'faults'"]
    assert not a.any()


def test_fault_argument_conversion():
    with pytest.raises(TypeError) as info:
        rust.list_of_array_fault_u8([A], "flip", 0)
    assert str(info.value) == "'str' object is not an instance of 'Fault'"
    assert info.value.__notes__ == ["while processing 'fault'"]


def test_faults_from_a_custom_sequence():
    class Seq:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            return len(self.items)

        def __getitem__(self, i):
            return self.items[i]

    a = np.zeros(1, np.uint8)
    rust.list_of_array_faults_u8([a], Seq([(rust.Fault.flip(), 1), (rust.Fault.flip(), 2)]))
    assert a.tolist() == [6]


def test_same_array_twice_is_addressed_separately():
    a = np.zeros(1, np.uint8)
    rust.list_of_array_faults_u8([a, a], [(rust.Fault.flip(), 0), (rust.Fault.flip(), 8)])
    assert a.tolist() == [0]


@settings(max_examples=60, deadline=None)
@given(
    suffix=st.sampled_from(SUFFIXES),
    shapes=st.lists(st.lists(st.integers(0, 3), min_size=0, max_size=3), min_size=1, max_size=4),
    data=st.data(),
)
def test_batch_matches_model_and_single_faults(suffix, shapes, data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    arrays = [rng.integers(0, 2**8, size=tuple(s), dtype=np.uint8).astype(UINT[suffix]).view(DTYPES[suffix]) for s in shapes]
    total = sum(a.size for a in arrays) * WIDTH[suffix]
    if total == 0:
        return
    faults = data.draw(st.lists(st.tuples(st.sampled_from(list(FAULTS)), st.integers(0, total - 1)), max_size=20))
    expected = model_apply(arrays, suffix, faults)
    one_by_one = [a.copy() for a in arrays]
    batch(suffix)(arrays, [(FAULTS[k](), g) for k, g in faults])
    for k, g in faults:
        single(suffix)(one_by_one, FAULTS[k](), g)
    for got, alt, want in zip(arrays, one_by_one, expected):
        assert got.view(UINT[suffix]).tolist() == want.view(UINT[suffix]).tolist()
        assert alt.view(UINT[suffix]).tolist() == want.view(UINT[suffix]).tolist()
