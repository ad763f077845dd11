"""Embedded parity: the Scheme class and in-place encode/decode of arrays."""

import operator

import numpy as np
import pytest

import corvane._rust as rust

cep = rust.cep
Scheme = cep.Scheme

DTYPE = {"f32": np.float32, "u16": np.uint16}
UINT = {"f32": np.uint32, "u16": np.uint16}
WIDTH = {"f32": 32, "u16": 16}
MEMBERS = ["D3P1", "D7P1", "D15P1"]
DATA_BITS = {"D3P1": 3, "D7P1": 7, "D15P1": 15}
CASES = [(s, m) for s in DTYPE for m in MEMBERS]


def fn(op, suffix):
    return getattr(cep, f"{op}_{suffix}")


def as_bits(arr, suffix):
    return arr.view(UINT[suffix])


def from_bits(values, suffix):
    return np.array(values, UINT[suffix]).view(DTYPE[suffix])


# ---- a reference model, straight from the definition of the layouts ----


def layout(suffix, member):
    """(parity bit, source bits) of every group, in processing order."""
    w, n = WIDTH[suffix], DATA_BITS[member]
    m = w // (n + 1)
    return [(m - 1 - g, [w - 1 - n * g - k for k in range(n)]) for g in range(m)]


def model(op, u, suffix, member):
    """Group by group, bit by bit, on an array of unsigned patterns."""
    u = u.copy()
    t = u.dtype.type
    full = (1 << WIDTH[suffix]) - 1
    for dest, sources in layout(suffix, member):
        parity = (u >> dest) & t(1) if op == "decode" else np.zeros_like(u)
        for s in sources:
            parity ^= (u >> s) & t(1)
        u &= t(full ^ (1 << dest))
        if op == "encode":
            u |= parity << dest
        else:
            source_mask = sum(1 << s for s in sources)
            u[parity == 1] &= t(full ^ source_mask)
    return u


def random_bits(rng, suffix, n):
    return rng.integers(0, 1 << WIDTH[suffix], n, dtype=np.uint64).astype(UINT[suffix])


def special_bits(suffix):
    w = WIDTH[suffix]
    singles = [1 << k for k in range(w)]
    full = (1 << w) - 1
    values = [0, full] + singles + [full ^ s for s in singles]
    if suffix == "f32":  # NaNs with payloads, infinities, subnormals, -0.0
        values += [0x7FC00001, 0xFFC00000, 0x7F800001, 0x7F800000, 0xFF800000, 0x00000001, 0x80000000]
    else:  # the same for half precision
        values += [0x7E01, 0xFE00, 0x7C01, 0x7C00, 0xFC00, 0x0001, 0x8000]
    return np.array(values, UINT[suffix])


# ---- the Scheme class ----


def test_members_are_class_attributes_in_order():
    names = [n for n in vars(Scheme) if not n.startswith("__")]
    assert names == MEMBERS
    assert all(type(getattr(Scheme, n)) is Scheme for n in MEMBERS)


@pytest.mark.parametrize("value, name", list(enumerate(MEMBERS)))
def test_member_identity_repr_and_int(value, name):
    member = getattr(Scheme, name)
    assert member is getattr(Scheme, name)
    assert member is getattr(Scheme.D3P1, name)  # reachable through an instance too
    assert repr(member) == str(member) == f"Scheme.{name}"
    assert int(member) == value
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [0, 1, 2][member]


@pytest.mark.parametrize("a", MEMBERS)
@pytest.mark.parametrize("b", MEMBERS)
def test_equality_is_by_member(a, b):
    x, y = getattr(Scheme, a), getattr(Scheme, b)
    assert (x == y) is (a == b)
    assert (x != y) is (a != b)


@pytest.mark.parametrize("other", [0, 1, "D3P1", "Scheme.D3P1", None, 0.0])
def test_comparison_with_other_types_falls_back_to_identity(other):
    assert Scheme.D3P1.__eq__(other) is NotImplemented
    assert Scheme.D3P1.__ne__(other) is NotImplemented
    assert (Scheme.D3P1 == other) is False
    assert (other == Scheme.D3P1) is False
    assert (Scheme.D3P1 != other) is True


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(op):
    assert getattr(Scheme.D3P1, f"__{op.__name__}__")(Scheme.D7P1) is NotImplemented
    with pytest.raises(TypeError, match="not supported between instances of"):
        op(Scheme.D3P1, Scheme.D7P1)


def test_unhashable():
    assert Scheme.__hash__ is None
    for use in (hash, lambda m: {m}, lambda m: {m: 1}):
        with pytest.raises(TypeError, match="unhashable type"):
            use(Scheme.D3P1)


# ---- values ----

# (element type, steps, start pattern, expected pattern); a step is
# (operation, member) or ("flip", bit).
VECTORS = [
    ("f32", [("encode", "D3P1")], 0x3F800000, 0x3F8000E0),
    ("f32", [("encode", "D3P1"), ("decode", "D3P1")], 0x3F800000, 0x3F800000),
    ("f32", [("encode", "D3P1"), ("flip", 30), ("decode", "D3P1")], 0x3F800000, 0x1F800000),
    ("f32", [("encode", "D7P1"), ("flip", 30), ("decode", "D7P1")], 0x3F800000, 0x01800000),
    ("f32", [("encode", "D15P1"), ("flip", 30), ("decode", "D15P1")], 0x3F800000, 0x00000000),
    ("f32", [("encode", "D3P1")], 0x40490FD0, 0x40490F9F),
    ("f32", [("encode", "D3P1"), ("decode", "D3P1")], 0x40490FD0, 0x40490F00),
    ("f32", [("encode", "D7P1")], 0x40490FD0, 0x40490FD8),
    ("f32", [("encode", "D7P1"), ("decode", "D7P1")], 0x40490FD0, 0x40490FD0),
    ("f32", [("encode", "D3P1")], 0x7FC00001, 0x7FC00070),
    ("f32", [("encode", "D3P1"), ("decode", "D3P1")], 0x7FC00001, 0x7FC00000),
    ("f32", [("encode", "D3P1"), ("decode", "D7P1")], 0x3F800000, 0x01800000),
    ("u16", [("encode", "D3P1")], 0x3C00, 0x3C0C),
    ("u16", [("encode", "D3P1"), ("decode", "D3P1")], 0x3C00, 0x3C00),
    ("u16", [("encode", "D3P1"), ("flip", 14), ("decode", "D3P1")], 0x3C00, 0x1C00),
    ("u16", [("encode", "D7P1")], 0x3C00, 0x3C00),
    ("u16", [("encode", "D15P1")], 0x3C00, 0x3C00),
    ("u16", [("encode", "D3P1")], 0xFFFF, 0xFFFF),
    ("u16", [("encode", "D7P1")], 0xFFFF, 0xFFFF),
    ("u16", [("encode", "D15P1")], 0xFFFF, 0xFFFF),
    ("u16", [("encode", "D3P1"), ("decode", "D3P1")], 0xFFFF, 0xFFF0),
    ("u16", [("encode", "D7P1"), ("decode", "D7P1")], 0xFFFF, 0xFFFC),
    ("u16", [("encode", "D15P1"), ("decode", "D15P1")], 0xFFFF, 0xFFFE),
    ("u16", [("decode", "D15P1")], 0x1234, 0x0000),
]


@pytest.mark.parametrize("suffix, steps, start, expected", VECTORS)
def test_vectors(suffix, steps, start, expected):
    a = from_bits([start], suffix)
    for op, arg in steps:
        if op == "flip":
            as_bits(a, suffix)[0] ^= UINT[suffix](1 << arg)
        else:
            assert fn(op, suffix)(a, getattr(Scheme, arg)) is None
    assert int(as_bits(a, suffix)[0]) == expected


@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix, member", CASES)
def test_matches_model(op, suffix, member):
    rng = np.random.default_rng([WIDTH[suffix], DATA_BITS[member]])
    u = np.concatenate([special_bits(suffix), random_bits(rng, suffix, 50_000)])
    if op == "decode":
        # Encoded data with sparse faults, beside raw patterns.
        encoded = model("encode", u, suffix, member)
        faults = random_bits(rng, suffix, u.size) & random_bits(rng, suffix, u.size) & random_bits(rng, suffix, u.size)
        u = np.concatenate([u, encoded, encoded ^ faults])
    a = u.view(DTYPE[suffix]).copy()
    fn(op, suffix)(a, getattr(Scheme, member))
    np.testing.assert_array_equal(as_bits(a, suffix), model(op, u, suffix, member))


# Source masks of every group, in processing order (parity bits from the top).
SOURCE_MASKS = {
    ("f32", "D3P1"): [0xE0000000, 0x1C000000, 0x03800000, 0x00700000, 0x000E0000, 0x0001C000, 0x00003800, 0x00000700],
    ("f32", "D7P1"): [0xFE000000, 0x01FC0000, 0x0003F800, 0x000007F0],
    ("f32", "D15P1"): [0xFFFE0000, 0x0001FFFC],
    ("u16", "D3P1"): [0xE000, 0x1C00, 0x0380, 0x0070],
    ("u16", "D7P1"): [0xFE00, 0x01FC],
    ("u16", "D15P1"): [0xFFFE],
}


def parity(u):
    """Parity of each pattern (1 for an odd number of one bits)."""
    u = u.astype(np.uint64)
    for shift in (32, 16, 8, 4, 2, 1):
        u ^= u >> np.uint64(shift)
    return u & np.uint64(1)


def encode_decode(u, suffix, member, flips=None):
    a = u.view(DTYPE[suffix]).copy()
    fn("encode", suffix)(a, getattr(Scheme, member))
    encoded = as_bits(a, suffix).copy()
    if flips is not None:
        as_bits(a, suffix)[...] ^= flips
    fn("decode", suffix)(a, getattr(Scheme, member))
    return encoded, as_bits(a, suffix)


@pytest.mark.parametrize("suffix, member", CASES)
def test_encoding_properties(suffix, member):
    rng = np.random.default_rng(1)
    u = random_bits(rng, suffix, 20_000)
    masks = SOURCE_MASKS[suffix, member]
    t = UINT[suffix]
    data_mask = t(sum(masks))
    assert int(data_mask) == ((1 << WIDTH[suffix]) - 1) ^ ((1 << len(masks)) - 1)
    encoded, decoded = encode_decode(u, suffix, member)
    np.testing.assert_array_equal(encoded & data_mask, u & data_mask)  # data bits kept
    np.testing.assert_array_equal(decoded, u & data_mask)  # parity bits cleared
    for d, mask in zip(range(len(masks) - 1, -1, -1), masks):  # groups hold even parity
        assert not parity(encoded & t(mask | 1 << d)).any()
    again = encoded.view(DTYPE[suffix]).copy()
    fn("encode", suffix)(again, getattr(Scheme, member))
    np.testing.assert_array_equal(as_bits(again, suffix), encoded)  # idempotent


@pytest.mark.parametrize("odd", [True, False], ids=["odd", "even"])
@pytest.mark.parametrize("suffix, member", CASES)
def test_flips_within_one_group(suffix, member, odd):
    rng = np.random.default_rng(2)
    masks = SOURCE_MASKS[suffix, member]
    t = UINT[suffix]
    data_mask = t(sum(masks))
    for d, mask in zip(range(len(masks) - 1, -1, -1), masks):
        group = t(mask | 1 << d)
        u = random_bits(rng, suffix, 2_000)
        flips = random_bits(rng, suffix, u.size) & group
        # Toggling the parity bit sets the number of flips odd or even.
        flips[(parity(flips) == 1) != odd] ^= t(1 << d)
        if not odd:
            flips[0] = 0  # no flip at all is an even number too
        _, decoded = encode_decode(u, suffix, member, flips)
        if odd:
            expected = u & data_mask & ~t(mask)  # the whole group reads as zeros
        else:
            expected = (u ^ flips) & data_mask  # cancelling flips go unnoticed
        np.testing.assert_array_equal(decoded, expected)


# ---- shapes, memory order and refused arrays ----


@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix", DTYPE)
@pytest.mark.parametrize(
    "shape, order",
    [((), "C"), ((1,), "C"), ((7, 5), "C"), ((7, 5), "F"), ((3, 4, 5), "F"), ((300, 200), "F")],
)
def test_any_contiguous_shape(op, suffix, shape, order):
    rng = np.random.default_rng(3)
    u = random_bits(rng, suffix, int(np.prod(shape))).reshape(shape)
    a = np.array(u.view(DTYPE[suffix]), order=order)
    expected = model(op, u.ravel(), suffix, "D7P1").reshape(shape)
    fn(op, suffix)(a, Scheme.D7P1)
    assert a.shape == shape and a.flags.f_contiguous == (order == "F" or a.ndim < 2)
    np.testing.assert_array_equal(a.view(UINT[suffix]), expected)


def test_array_subclass_is_accepted():
    class Sub(np.ndarray):
        pass

    a = from_bits([0x3F800000], "f32").view(Sub)
    cep.encode_f32(a, Scheme.D3P1)
    assert int(a.view(np.ndarray).view(np.uint32)[0]) == 0x3F8000E0


EMPTY = [
    lambda d: np.zeros(0, d),
    lambda d: np.zeros((3, 0, 2), d),
    lambda d: np.zeros((4, 6), d)[:, 2:2],
    lambda d: np.zeros(10, d)[4:4:2],
    lambda d: np.zeros((5, 4), d)[::2, :0],
]


@pytest.mark.parametrize("make", EMPTY)
@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix", DTYPE)
def test_empty_arrays_of_any_shape_and_strides(make, op, suffix):
    a = make(DTYPE[suffix])
    assert fn(op, suffix)(a, Scheme.D15P1) is None
    assert a.size == 0


NOT_CONTIGUOUS = [
    ("every second", lambda b: b[::2]),
    ("reversed", lambda b: b[::-1]),
    ("column block", lambda b: b.reshape(4, 6)[:, :3]),
    ("unaligned", lambda b: b.view(np.uint8)[1:-3].view(b.dtype)),
]


@pytest.mark.parametrize("make", [m for _, m in NOT_CONTIGUOUS], ids=[n for n, _ in NOT_CONTIGUOUS])
@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix", DTYPE)
def test_non_contiguous_is_refused_and_left_unchanged(make, op, suffix):
    base = random_bits(np.random.default_rng(4), suffix, 24).view(DTYPE[suffix])
    before = as_bits(base, suffix).copy()
    view = make(base)
    with pytest.raises(ValueError) as info:
        fn(op, suffix)(view, Scheme.D3P1)
    assert str(info.value) == "`arr` is not contiguous."
    assert not getattr(info.value, "__notes__", None)
    np.testing.assert_array_equal(as_bits(base, suffix), before)


@pytest.mark.parametrize("scheme", [Scheme.D3P1, None])
@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix", DTYPE)
def test_read_only_array(panic_exception, op, suffix, scheme):
    a = from_bits([0x1234, 0xFFFF], suffix)
    a.flags.writeable = False
    with pytest.raises(panic_exception) as info:
        fn(op, suffix)(a, scheme)
    assert str(info.value).endswith("NotWriteable")
    assert as_bits(a, suffix).tolist() == [0x1234, 0xFFFF]
    b = a.copy()
    fn(op, suffix)(b, Scheme.D3P1)  # later calls work normally


def _wrong_arrays():
    return [
        ("f32", np.zeros(2, np.float64), "'ndarray' object is not an instance of 'ndarray'"),
        ("f32", np.zeros(2, ">f4"), "'ndarray' object is not an instance of 'ndarray'"),
        ("u16", np.zeros(2, np.float32), "'ndarray' object is not an instance of 'ndarray'"),
        ("u16", np.zeros(2, np.float16), "'ndarray' object is not an instance of 'ndarray'"),
        ("f32", [1.0, 2.0], "'list' object is not an instance of 'ndarray'"),
        ("f32", np.float32(1.0), "'float32' object is not an instance of 'ndarray'"),
        ("u16", None, "'None' is not an instance of 'ndarray'"),
    ]


@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix, arr, message", _wrong_arrays())
def test_wrong_array_is_refused_before_scheme_is_examined(op, suffix, arr, message):
    with pytest.raises(TypeError) as info:
        fn(op, suffix)(arr, "not a scheme")
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'arr'"]


@pytest.mark.parametrize(
    "scheme, message",
    [
        (0, "'int' object is not an instance of 'Scheme'"),
        ("D3P1", "'str' object is not an instance of 'Scheme'"),
        (None, "'None' is not an instance of 'Scheme'"),
        (Scheme, "'type' object is not an instance of 'Scheme'"),
        (rust.Fault.flip(), "'Fault' object is not an instance of 'Scheme'"),
    ],
)
@pytest.mark.parametrize("op", ["encode", "decode"])
@pytest.mark.parametrize("suffix", DTYPE)
def test_wrong_scheme(op, suffix, scheme, message):
    a = from_bits([0x1234], suffix)
    with pytest.raises(TypeError) as info:
        fn(op, suffix)(a, scheme)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'scheme'"]
    assert int(as_bits(a, suffix)[0]) == 0x1234
    # The write access taken on `arr` was given back.
    fn(op, suffix)(a, Scheme.D3P1)


def test_keyword_binding():
    a = from_bits([0x3F800000], "f32")
    assert cep.encode_f32(arr=a, scheme=Scheme.D7P1) is None
    assert cep.decode_f32(scheme=Scheme.D7P1, arr=a) is None
    assert cep.encode_f32(a, scheme=Scheme.D3P1) is None
    assert int(as_bits(a, "f32")[0]) == 0x3F8000E0


A = np.zeros(1, np.uint16)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((A, Scheme.D3P1, 0), {}, "encode_u16() takes 2 positional arguments but 3 were given"),
        ((A,), {}, "encode_u16() missing 1 required positional argument: 'scheme'"),
        ((), {}, "encode_u16() missing 2 required positional arguments: 'arr' and 'scheme'"),
        ((A, Scheme.D3P1), {"arr": A}, "encode_u16() got multiple values for argument 'arr'"),
        ((A,), {"schema": Scheme.D3P1}, "encode_u16() got an unexpected keyword argument 'schema'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        cep.encode_u16(*args, **kwargs)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
