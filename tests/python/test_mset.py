"""Majority vote: in-place encode/decode of the top exponent bit."""

import numpy as np
import pytest

import corvane._rust as rust

mset = rust.mset

DTYPE = {"f32": np.float32, "u16": np.uint16}
UINT = {"f32": np.uint32, "u16": np.uint16}
WIDTH = {"f32": 32, "u16": 16}
SOURCE = {"f32": 30, "u16": 14}
TARGETS = (0, 1)
OPS = ["encode", "decode"]


def fn(op, suffix):
    return getattr(mset, f"{op}_{suffix}")


def as_bits(arr, suffix):
    return arr.view(UINT[suffix])


def from_bits(values, suffix):
    return np.array(values, UINT[suffix]).view(DTYPE[suffix])


def model(op, u, suffix):
    """The vote over the source bit and its copies, on unsigned patterns."""
    t = u.dtype.type
    src = SOURCE[suffix]
    source_bit = (u >> src) & t(1)
    if op == "encode":
        out = u.copy()
        for k in TARGETS:
            out = (out & ~t(1 << k)) | (source_bit << k)
        return out
    ones = source_bit + sum((u >> k) & t(1) for k in TARGETS)
    winner = (ones >= 2).astype(u.dtype)
    return (u & ~t(1 << src)) | (winner << src)


def random_bits(rng, suffix, n):
    return rng.integers(0, 1 << WIDTH[suffix], n, dtype=np.uint64).astype(UINT[suffix])


# (element type, steps, start patterns, expected patterns); a step is an
# operation or ("flip", element, bit).
VECTORS = [
    ("f32", ["encode"], [0x3F800000, 0x40000000, 0xC0000000, 0x3F000000],
     [0x3F800000, 0x40000003, 0xC0000003, 0x3F000000]),
    ("f32", ["encode", "decode"], [0x3F800000, 0x40000000, 0xC0000000, 0x3F000000],
     [0x3F800000, 0x40000003, 0xC0000003, 0x3F000000]),
    ("f32", ["encode"], [0x3F800003], [0x3F800000]),
    ("f32", ["encode", ("flip", 0, 30), "decode"], [0x40000000], [0x40000003]),
    ("f32", ["encode", ("flip", 0, 0), "decode"], [0x40000000], [0x40000002]),
    ("f32", ["encode", ("flip", 0, 0), ("flip", 0, 1), "decode"], [0x40000000], [0x00000000]),
    ("f32", ["encode"], [0x7FC00001, 0xFF800000, 0x00000001], [0x7FC00003, 0xFF800003, 0x00000000]),
    ("u16", ["encode"], [0x4000], [0x4003]),
    ("u16", ["encode", ("flip", 0, 14), "decode"], [0x4000], [0x4003]),
    ("u16", ["encode"], [0x3C00], [0x3C00]),
    ("u16", ["decode"], [0x3C00], [0x3C00]),
    ("u16", ["decode"], [0x0003, 0x4000, 0x4001, 0xBFFE], [0x4003, 0x0000, 0x4001, 0xBFFE]),
]


@pytest.mark.parametrize("suffix, steps, start, expected", VECTORS)
def test_vectors(suffix, steps, start, expected):
    a = from_bits(start, suffix)
    for step in steps:
        if isinstance(step, tuple):
            _, i, bit = step
            as_bits(a, suffix)[i] ^= UINT[suffix](1 << bit)
        else:
            assert fn(step, suffix)(a) is None
    assert as_bits(a, suffix).tolist() == expected


def test_float16_patterns_through_uint16():
    h = np.array([2.0, 1.0, -2.0], np.float16)
    u = h.view(np.uint16)
    mset.encode_u16(u)
    assert u.tolist() == [0x4003, 0x3C00, 0xC003]
    u[0] ^= 1 << 14
    mset.decode_u16(u)
    assert u.tolist() == [0x4003, 0x3C00, 0xC003]


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("suffix", DTYPE)
def test_matches_model(op, suffix):
    rng = np.random.default_rng(WIDTH[suffix])
    u = random_bits(rng, suffix, 200_000)
    a = u.view(DTYPE[suffix]).copy()
    fn(op, suffix)(a)
    np.testing.assert_array_equal(as_bits(a, suffix), model(op, u, suffix))


@pytest.mark.parametrize("suffix", DTYPE)
def test_properties(suffix):
    rng = np.random.default_rng(5)
    t = UINT[suffix]
    u = random_bits(rng, suffix, 50_000)
    low, src = t(0b11), t(1 << SOURCE[suffix])
    a = u.view(DTYPE[suffix]).copy()
    fn("encode", suffix)(a)
    encoded = as_bits(a, suffix).copy()
    np.testing.assert_array_equal(encoded & ~low, u & ~low)  # only bits 0 and 1 change
    fn("decode", suffix)(a)
    np.testing.assert_array_equal(as_bits(a, suffix), encoded)  # clean data decodes to itself
    # Any single fault among the three voters is outvoted; two win.
    for flips, restored in [(src, True), (t(1), True), (t(2), True), (low, False), (src | t(1), False)]:
        b = (encoded ^ flips).view(DTYPE[suffix]).copy()
        fn("decode", suffix)(b)
        got = as_bits(b, suffix)
        np.testing.assert_array_equal(got & ~src, (encoded ^ flips) & ~src)  # only the source changes
        np.testing.assert_array_equal((got & src) == (encoded & src), np.full(u.size, restored))


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("suffix", DTYPE)
@pytest.mark.parametrize("shape, order", [((), "C"), ((7, 5), "F"), ((3, 4, 5), "F"), ((400, 300), "F")])
def test_any_contiguous_shape(op, suffix, shape, order):
    u = random_bits(np.random.default_rng(6), suffix, int(np.prod(shape))).reshape(shape)
    a = np.array(u.view(DTYPE[suffix]), order=order)
    fn(op, suffix)(a)
    assert a.shape == shape
    np.testing.assert_array_equal(a.view(UINT[suffix]), model(op, u, suffix))


EMPTY = [
    lambda d: np.zeros(0, d),
    lambda d: np.zeros((2, 0), d),
    lambda d: np.zeros(10, d)[3:3:2],
]


@pytest.mark.parametrize("make", EMPTY)
@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("suffix", DTYPE)
def test_empty_arrays(make, op, suffix):
    assert fn(op, suffix)(make(DTYPE[suffix])) is None


NOT_CONTIGUOUS = [
    ("every second", lambda b: b[::2]),
    ("reversed", lambda b: b[::-1]),
    ("unaligned", lambda b: b.view(np.uint8)[1:-3].view(b.dtype)),
]


@pytest.mark.parametrize("make", [m for _, m in NOT_CONTIGUOUS], ids=[n for n, _ in NOT_CONTIGUOUS])
@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("suffix", DTYPE)
def test_non_contiguous_is_refused_and_left_unchanged(make, op, suffix):
    base = random_bits(np.random.default_rng(7), suffix, 24).view(DTYPE[suffix])
    before = as_bits(base, suffix).copy()
    with pytest.raises(ValueError) as info:
        fn(op, suffix)(make(base))
    assert str(info.value) == "`arr` is not contiguous."
    assert not getattr(info.value, "__notes__", None)
    np.testing.assert_array_equal(as_bits(base, suffix), before)


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize("suffix", DTYPE)
def test_read_only_array(panic_exception, op, suffix):
    a = from_bits([0x4000, 0x0003], suffix)
    a.flags.writeable = False
    with pytest.raises(panic_exception) as info:
        fn(op, suffix)(a)
    assert str(info.value).endswith("NotWriteable")
    assert as_bits(a, suffix).tolist() == [0x4000, 0x0003]


@pytest.mark.parametrize("op", OPS)
@pytest.mark.parametrize(
    "suffix, arr, message",
    [
        ("u16", np.zeros(2, np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        ("u16", np.zeros(2, np.float16), "'ndarray' object is not an instance of 'ndarray'"),
        ("f32", np.zeros(2, np.float64), "'ndarray' object is not an instance of 'ndarray'"),
        ("f32", np.zeros(2, ">f4"), "'ndarray' object is not an instance of 'ndarray'"),
        ("f32", (1.0,), "'tuple' object is not an instance of 'ndarray'"),
        ("f32", None, "'None' is not an instance of 'ndarray'"),
    ],
)
def test_wrong_array(op, suffix, arr, message):
    with pytest.raises(TypeError) as info:
        fn(op, suffix)(arr)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'arr'"]


def test_keyword_binding():
    a = from_bits([0x40000000], "f32")
    assert mset.encode_f32(arr=a) is None
    assert mset.decode_f32(arr=a) is None
    assert as_bits(a, "f32").tolist() == [0x40000003]


A = np.zeros(1, np.float32)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((A, 0), {}, "decode_f32() takes 1 positional arguments but 2 were given"),
        ((), {"array": A}, "decode_f32() got an unexpected keyword argument 'array'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        mset.decode_f32(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
