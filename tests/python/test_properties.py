"""Every callable with random valid and invalid arguments.

A call either succeeds and matches a small NumPy model, or raises one of the
ordinary argument errors (or the internal error for a read-only target) and
leaves every array and object it was given as it was."""

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import corvane._rust as rust
from elements import UINT, WIDTH, internal_error_type
from test_cep import model as cep_model
from test_fault_injection import model_apply
from test_mset import model as mset_model

Fault = rust.Fault
Scheme = rust.cep.Scheme
PANIC = internal_error_type()
SETTINGS = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Hostile(Exception):
    """Raised by the argument objects below; must come through unchanged."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, type):
            raise self.value("no index")
        return self.value


ORDINARY = (TypeError, ValueError, IndexError, OverflowError, RuntimeError, MemoryError, Hostile)

DTYPES = {"f32": np.float32, "u16": np.uint16, "u8": np.uint8}
OTHER_DTYPES = [np.float64, np.int16, np.int8, np.dtype(">f4"), np.dtype(">u2"), np.float16, np.bool_]


@st.composite
def arrays(draw, suffix, max_side=5):
    """An array of the suffix's type (mostly) in one of many layouts."""
    dtype = draw(st.sampled_from([DTYPES[suffix]] * 4 + OTHER_DTYPES))
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=max_side))
    dtype = np.dtype(dtype)
    raw = draw(st.binary(min_size=int(np.prod(shape)) * dtype.itemsize * 2 + 1,
                         max_size=int(np.prod(shape)) * dtype.itemsize * 2 + 1))
    layout = draw(st.sampled_from(["c", "f", "strided", "reversed", "unaligned"]))
    buf = np.frombuffer(bytearray(raw), np.uint8)
    n = int(np.prod(shape))
    if layout == "unaligned":
        a = buf[1:1 + n * dtype.itemsize].view(dtype).reshape(shape)
    else:
        base = buf[: 2 * n * dtype.itemsize].view(dtype)
        if layout == "strided":
            a = base[::2].reshape(shape) if len(shape) else base[:1].reshape(shape)
            if len(shape) and n > 1:
                a = base.reshape(shape + (2,))[..., 0]
        elif layout == "reversed":
            a = base[:n][::-1].reshape(shape)
        elif layout == "f":
            a = np.asfortranarray(base[:n].reshape(shape))
        else:
            a = base[:n].reshape(shape)
    if draw(st.integers(0, 5)) == 0:
        a.flags.writeable = False
    return a


def index_like(max_value):
    """Mostly valid targets; sometimes huge, negative, wrong or hostile ones."""
    return st.one_of(
        st.integers(0, max(max_value, 0)),
        st.integers(0, max(max_value, 0)).map(Index),
        st.integers(-(2**70), 2**70),
        st.sampled_from([True, False, 2**64 - 1, 2**64, -1, None, "3", 1.0, b"1", Index(Hostile), Index(1.5),
                         Index("x"), Index(-1), Index(2**64)]),
    )


def faults(max_value):
    kind = KINDS
    pair = st.one_of(
        st.tuples(kind, index_like(max_value)),
        st.tuples(kind, st.integers(0, max(max_value, 0))),
        st.sampled_from([(Fault.flip(),), (None, 0), [Fault.flip(), 0], (Fault.flip(), 0, 0), 5]),
    )
    return st.one_of(st.lists(pair, max_size=8), st.lists(pair, max_size=8).map(tuple),
                     st.sampled_from([None, "ab", 3, iter([]), {1}]))


def array_lists(suffix):
    return st.one_of(st.lists(arrays(suffix), max_size=4), st.lists(arrays(suffix), max_size=4).map(tuple),
                     st.sampled_from([None, "ab", 7, np.zeros(3, DTYPES[suffix])]))


def snapshot(objs):
    return [(a, a.tobytes()) for a in objs if isinstance(a, np.ndarray)]


def assert_unchanged(snap):
    for a, data in snap:
        assert a.tobytes() == data


def call(f, *args, **kwargs):
    """(result, None) or (None, exception), asserting the exception is one a caller may expect."""
    try:
        return f(*args, **kwargs), None
    except ORDINARY as exc:
        return None, exc
    except PANIC as exc:
        assert str(exc).endswith("NotWriteable"), str(exc)
        return None, exc


def total_bits(arrs, suffix):
    return sum(a.size for a in arrs) * WIDTH[suffix]


# The kind of every Fault the strategies made, by identity (Faults do not compare).
KIND_OF = {}


def make_fault(name):
    fault = getattr(Fault, name)()
    KIND_OF[id(fault)] = (fault, name)
    return fault


KINDS = st.sampled_from(["flip", "stuck_at_0", "stuck_at_1"]).map(make_fault)


def kind_name(fault):
    return KIND_OF[id(fault)][1]


def valid_pair(p, limit):
    return (type(p) is tuple and len(p) == 2 and isinstance(p[1], int) and not isinstance(p[1], bool)
            and 0 <= p[1] < limit)


@pytest.mark.parametrize("suffix", list(DTYPES))
@SETTINGS
@given(data=st.data())
def test_fault_injection(suffix, data):
    arrs = data.draw(array_lists(suffix))
    is_list = isinstance(arrs, (list, tuple))
    bits = total_bits(arrs, suffix) if is_list else 0
    batch = data.draw(st.booleans())
    items = list(arrs) if is_list else []
    before = [a.copy() for a in items if isinstance(a, np.ndarray)]
    snap = snapshot(items)
    if batch:
        fs = data.draw(faults(bits + 2))
        result, exc = call(getattr(rust, f"list_of_array_faults_{suffix}"), arrs, fs)
    else:
        fault = data.draw(st.one_of(KINDS, st.sampled_from([None, 0])))
        target = data.draw(index_like(bits + 2))
        fs = [(fault, target)]
        result, exc = call(getattr(rust, f"list_of_array_fault_{suffix}"), arrs, fault, target)
    if exc is not None:
        assert_unchanged(snap)
        return
    assert result is None
    assert all(a.dtype == DTYPES[suffix] for a in items)
    pairs = [(kind_name(f), int(t)) for f, t in fs]
    assert all(0 <= t < bits for _, t in pairs)
    expected = model_apply(before, suffix, pairs)
    for a, e in zip(items, expected):
        assert np.array_equal(patterns(a, suffix), patterns(e, suffix))


def patterns(a, suffix):
    return np.array(a, order="C").reshape(-1).view(UINT[suffix])


SCHEMES = st.one_of(st.sampled_from([Scheme.D3P1, Scheme.D7P1, Scheme.D15P1]),
                    st.sampled_from([None, 0, 1, "D3P1", Index(0)]))
MEMBERS = ["D3P1", "D7P1", "D15P1"]


def member(scheme):
    return next(m for m in MEMBERS if getattr(Scheme, m) is scheme)


@pytest.mark.parametrize("suffix", ["f32", "u16"])
@pytest.mark.parametrize("module", ["cep", "mset"])
@pytest.mark.parametrize("op", ["encode", "decode"])
@SETTINGS
@given(data=st.data())
def test_in_place_codes(suffix, module, op, data):
    arr = data.draw(st.one_of(arrays(suffix, max_side=8), st.sampled_from([None, [1, 2], 3.0])))
    f = getattr(getattr(rust, module), f"{op}_{suffix}")
    args = [arr]
    if module == "cep":
        args.append(data.draw(SCHEMES))
    kwargs = {}
    if data.draw(st.integers(0, 9)) == 0:  # keyword misuse
        kwargs[data.draw(st.sampled_from(["arr", "scheme", "bogus"]))] = arr
    before = arr.copy() if isinstance(arr, np.ndarray) else None
    snap = snapshot([arr])
    result, exc = call(f, *args, **kwargs)
    if exc is not None:
        assert_unchanged(snap)
        return
    assert result is None and not kwargs
    u = patterns(before, suffix)
    want = cep_model(op, u, suffix, member(args[1])) if module == "cep" else mset_model(op, u, suffix)
    got = patterns(arr, suffix)
    assert np.array_equal(got, want)


@pytest.mark.parametrize("suffix", ["f32", "u16"])
@SETTINGS
@given(data=st.data())
def test_secded(suffix, data):
    arrs = data.draw(array_lists(suffix))
    d = data.draw(st.one_of(st.integers(1, 200), index_like(300)))
    items = list(arrs) if isinstance(arrs, (list, tuple)) else []
    snap = snapshot(items)
    e, exc = call(getattr(rust.secded, f"encode_{suffix}"), arrs, d)
    assert_unchanged(snap)
    if exc is not None:
        return
    flat = np.concatenate([np.ravel(a).view(UINT[suffix]) for a in items] + [np.zeros(0, UINT[suffix])])
    # Faults: at most one per codeword is corrected; anything else must leave the image alone on failure.
    n = e.bit_count()
    fs = data.draw(faults(n + 1))
    reference = e.clone()
    got, exc = call(e.apply_faults, fs)
    if exc is not None:
        assert_unchanged_encoding(e, reference, suffix)
        return
    d = int(d)
    codeword = n // max(1, -(-flat.size * WIDTH[suffix] // d)) if flat.size else 0
    per_chunk = {}
    for f, t in fs:
        if kind_name(f) == "flip":
            per_chunk[int(t) // codeword] = per_chunk.get(int(t) // codeword, 0) + 1
    decoded, flags = getattr(e, f"decode_{suffix}")()
    if all(v == 1 for v in per_chunk.values()) and all(kind_name(f) == "flip" for f, _ in fs):
        out = np.concatenate([x.view(UINT[suffix]) for x in decoded] + [np.zeros(0, UINT[suffix])])
        assert np.array_equal(out, flat)
        # A lone flip of a codeword's overall parity bit is detected, not corrected.
        assert flags == [not any(int(t) % codeword == 0 and int(t) // codeword == k for _, t in fs)
                         for k in range(len(flags))]


def assert_unchanged_encoding(e, reference, suffix):
    (a, fa), (b, fb) = getattr(e, f"decode_{suffix}")(), getattr(reference, f"decode_{suffix}")()
    # Compared as bit patterns: a NaN the faults left in place equals itself.
    assert fa == fb and all(np.array_equal(x.view(UINT[suffix]), y.view(UINT[suffix])) for x, y in zip(a, b))
    assert e.bit_count() == reference.bit_count()


@SETTINGS
@given(size=index_like(50), seed=st.one_of(st.none(), index_like(2**64 - 1)),
       returned=st.one_of(st.sets(st.integers(0, 60), max_size=6), st.sets(index_like(60), max_size=3),
                          st.sampled_from([None, [1, 2], frozenset({-1}), {2**64}])),
       use_returned=st.booleans())
def test_picker(size, seed, returned, use_returned):
    if use_returned:
        p, exc = call(rust.Picker.from_returned, size, returned, seed)
    else:
        p, exc = call(rust.Picker, size, seed)
    if exc is not None:
        return
    n = int(size)
    taken = set(returned) if use_returned else set()
    taken = {int(v) for v in taken}
    assert p.initial_size == n and p.size == n - len(taken)
    if p.size < 2**63:  # len() itself is bounded by the interpreter
        assert len(p) == p.size
    drawn = [next(p) for _ in range(min(p.size, 20))]
    assert len(set(drawn)) == len(drawn) and all(0 <= v < n and v not in taken for v in drawn)
    assert p.size == n - len(taken) - len(drawn)
    p.reset()
    assert p.size == n
