"""The Picker class: a random permutation of 0..size, drawn one value at a time."""

import copy
import gc
import inspect
import itertools
import pickle
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane._rust import Picker

M64 = (1 << 64) - 1


# ---- a pure-Python model of the algorithm, written from its description ----


def splitmix_state(seed):
    x, state = seed, []
    for _ in range(4):
        x = (x + 0x9E3779B97F4A7C15) & M64
        z = x
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        state.append(z ^ (z >> 31))
    return state


def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class Xoshiro:
    def __init__(self, seed):
        self.s = splitmix_state(seed)

    def next_u64(self):
        s0, s1, s2, s3 = self.s
        result = (rotl((s0 + s3) & M64, 23) + s0) & M64
        t = (s1 << 17) & M64
        s2 ^= s0
        s3 ^= s1
        s1 ^= s2
        s0 ^= s3
        s2 ^= t
        self.s = [s0, s1, s2, rotl(s3, 45)]
        return result

    def next_u32(self):
        return self.next_u64() >> 32


def random_range(rng, k):
    width, draw = (32, rng.next_u32) if k < 1 << 32 else (64, rng.next_u64)
    m = draw() * k
    hi, lo = m >> width, m & ((1 << width) - 1)
    if lo <= (1 << width) - k:
        return hi
    hi2 = (draw() * k) >> width
    return hi + 1 if lo + hi2 >= 1 << width else hi


class ModelPicker:
    """Sparse Fisher-Yates over 0..n with the positions it overwrote in a dict."""

    def __init__(self, n, seed, returned=()):
        returned = set(returned)
        assert all(v < n for v in returned)
        self.n, self.rng = n, Xoshiro(seed)
        self.remaining = n - len(returned)
        holes = sorted(v for v in returned if v < self.remaining)
        fillers = (v for v in range(self.remaining, n) if v not in returned)
        self.swapped = dict(zip(holes, fillers))

    def __iter__(self):
        return self

    def __next__(self):
        if self.remaining == 0:
            raise StopIteration
        i = random_range(self.rng, self.remaining)
        v = self.swapped.get(i, i)
        self.remaining -= 1
        if v != self.remaining:
            self.swapped[i] = self.swapped.get(self.remaining, self.remaining)
        return v

    def reset(self):
        self.remaining, self.swapped = self.n, {}


def take(it, count):
    return list(itertools.islice(it, count))


def test_model_matches_the_published_generator_values():
    rng = Xoshiro(0)
    assert rng.s == [0xE220A8397B1DCDAF, 0x6E789E6AA1B965F4, 0x06C45D188009454F, 0xF88BB8A8724C81EC]
    assert rng.next_u64() == 0x53175D61490B23DF


# ---- known sequences ----

KNOWN = [
    (10, 0, [3, 9, 2, 0, 7, 6, 8, 5, 4, 1]),
    (10, 42, [8, 2, 7, 4, 6, 9, 0, 1, 3, 5]),
    (2**40, 7, [60869443626, 189243383290, 788983296943, 469722163809, 1059554849521]),
]


@pytest.mark.parametrize("size, seed, prefix", KNOWN)
def test_known_sequences(size, seed, prefix):
    p = Picker(size, seed=seed)
    assert take(p, len(prefix)) == prefix
    assert p.size == len(p) == size - len(prefix)
    assert p.initial_size == size


def test_reset_continues_the_generator():
    p = Picker(10, seed=42)
    assert list(p) == [8, 2, 7, 4, 6, 9, 0, 1, 3, 5]
    assert p.reset() is None
    assert (p.size, len(p)) == (10, 10)
    assert list(p) == [5, 7, 9, 0, 2, 8, 6, 3, 1, 4]


def test_from_returned_known_sequence():
    p = Picker.from_returned(10, {0, 4, 9}, seed=42)
    assert (p.size, len(p), p.initial_size) == (7, 7, 10)
    assert list(p) == [5, 1, 8, 2, 3, 6, 7]


def test_from_returned_then_reset_yields_excluded_values_again():
    p = Picker.from_returned(5, {0, 4})
    assert (p.size, p.initial_size) == (3, 5)
    assert sorted(p) == [1, 2, 3]
    p.reset()
    assert p.size == 5
    assert sorted(p) == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("size", [0, 1, 5, 200])
def test_same_seed_same_sequence_and_empty_set_is_a_fresh_picker(size):
    a = list(Picker(size, seed=1))
    assert sorted(a) == list(range(size))
    assert list(Picker(size, seed=1)) == a
    assert list(Picker.from_returned(size, set(), seed=1)) == a
    assert list(Picker(size, 1)) == a


def test_from_returned_everything_yields_nothing():
    p = Picker.from_returned(6, set(range(6)), seed=0)
    assert len(p) == 0
    assert list(p) == []


# ---- iteration protocol and sizes ----


def test_iterator_protocol_and_counts():
    p = Picker(4, seed=9)
    assert iter(p) is p
    for left in (3, 2, 1, 0):
        next(p)
        assert (len(p), p.size, p.initial_size) == (left, left, 4)


@pytest.mark.parametrize(
    "make", [lambda: Picker(0), lambda: Picker(2, seed=5), lambda: Picker.from_returned(3, {0, 1, 2})]
)
def test_exhausted_picker_keeps_raising_bare_stop_iteration(make):
    p = make()
    list(p)
    assert len(p) == 0
    for _ in range(3):
        with pytest.raises(StopIteration) as info:
            next(p)
        assert info.value.args == () and info.value.value is None
    assert next(p, "done") == "done"


def test_len_above_the_signed_limit_overflows_without_message():
    p = Picker(2**63, seed=2)
    assert p.size == 2**63
    with pytest.raises(OverflowError) as info:
        len(p)
    assert info.value.args == ()
    assert not getattr(info.value, "__notes__", None)
    assert 0 <= next(p) < 2**63
    assert len(p) == 2**63 - 1  # one draw later it fits again


@pytest.mark.parametrize("name", ["size", "initial_size"])
def test_properties_are_read_only(name):
    p = Picker(3)
    with pytest.raises(AttributeError):
        setattr(p, name, 1)


# ---- differential runs against the model ----

SIZES = [1, 2, 3, 7, 1000, 2**31, 2**32 - 1, 2**32, 2**32 + 1, 2**32 + 3, 2**40, 2**63, M64 - 1, M64]


@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("seed", [0, 1, 2**63 + 11])
def test_matches_model(size, seed):
    # Sizes just above 2^32 cross from 64-bit to 32-bit draws within the run.
    count = min(size, 3000)
    assert take(Picker(size, seed=seed), count) == take(ModelPicker(size, seed), count)


def test_long_run_with_resets_matches_model():
    p, m = Picker(20000, seed=77), ModelPicker(20000, 77)
    for count in (20000, 5000, 20000):
        got = take(p, count)
        assert got == take(m, count)
        p.reset()
        m.reset()
    assert sorted(got) == list(range(20000))


def test_huge_range_long_run_matches_model():
    count = 100_000
    got = take(Picker(2**40, seed=1), count)
    assert got == take(ModelPicker(2**40, 1), count)
    assert len(set(got)) == count


@pytest.mark.parametrize(
    "size, returned",
    [
        (2**32 + 2, {2**32 + 1, 2**32, 5}),  # 32-bit draws from the first one
        (2**32 + 2, {7}),  # two 64-bit draws, then 32-bit ones
        (2**32 + 2, set(range(2**32 - 5, 2**32 + 2))),
        (M64, {0, 1, M64 - 1, 2**63}),
    ],
)
def test_from_returned_near_the_width_switch_matches_model(size, returned):
    p = Picker.from_returned(size, returned, seed=5)
    m = ModelPicker(size, 5, returned)
    assert p.size == m.remaining
    got = take(p, 2000)
    assert got == take(m, 2000)
    assert not set(got) & returned


@settings(max_examples=150, deadline=None)
@given(
    size=st.integers(0, 300),
    data=st.data(),
    seed=st.integers(0, M64),
)
def test_from_returned_matches_model_then_resets(size, data, seed):
    returned = data.draw(st.sets(st.integers(0, max(size - 1, 0)), max_size=size)) if size else set()
    p = Picker.from_returned(size, returned, seed=seed)
    m = ModelPicker(size, seed, returned)
    got = list(p)
    assert got == list(m)
    assert sorted(got) == sorted(set(range(size)) - returned)
    p.reset()
    m.reset()
    assert list(p) == list(m)


@settings(max_examples=100, deadline=None)
@given(
    size=st.one_of(st.integers(0, 2**16), st.integers(2**32 - 50, 2**32 + 50), st.integers(2**64 - 50, M64)),
    seed=st.integers(0, M64),
    before=st.integers(0, 60),
    after=st.integers(0, 60),
)
def test_draws_and_resets_match_model(size, seed, before, after):
    p, m = Picker(size, seed=seed), ModelPicker(size, seed)
    assert take(p, before) == take(m, before)
    p.reset()
    m.reset()
    assert take(p, after) == take(m, after)


# ---- unseeded pickers ----


def test_unseeded_pickers_are_permutations_and_differ():
    for seed in (None, {"seed": None}):
        p = Picker(100) if seed is None else Picker(100, **seed)
        assert sorted(p) == list(range(100))
    assert take(Picker(M64), 4) != take(Picker(M64), 4)
    assert take(Picker.from_returned(M64, {1}), 4) != take(Picker.from_returned(M64, {1}), 4)
    assert sorted(Picker.from_returned(10, {2, 3}, None)) == [0, 1, 4, 5, 6, 7, 8, 9]


# ---- arguments ----


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("size", [10, True, np.uint64(10), np.int8(10), Index(10)])
def test_integer_arguments_accept_index_objects(size):
    expected = list(Picker(int(size.__index__()), seed=4))
    assert list(Picker(size, seed=Index(4))) == expected
    assert list(Picker.from_returned(size, {Index(0)}, seed=np.uint64(4))) == list(
        Picker.from_returned(int(size.__index__()), {0}, seed=4)
    )


def test_keyword_arguments():
    assert list(Picker(seed=0, size=10)) == KNOWN[0][2]
    p = Picker.from_returned(seed=42, already_returned=frozenset({9, 4, 0}), initial_size=10)
    assert list(p) == [5, 1, 8, 2, 3, 6, 7]


def test_from_returned_is_static_and_ignores_the_instance():
    p = Picker(3, seed=1)
    q = p.from_returned(10, {0, 4, 9}, seed=42)
    assert type(q) is Picker and q is not p
    assert list(q) == [5, 1, 8, 2, 3, 6, 7]
    assert p.size == 3


class SetSub(set):
    pass


class FrozenSub(frozenset):
    pass


@pytest.mark.parametrize("kind", [set, frozenset, SetSub, FrozenSub])
def test_already_returned_accepts_sets_and_subclasses(kind):
    assert sorted(Picker.from_returned(5, kind({1, 2}))) == [0, 3, 4]


def test_values_converted_to_the_same_integer_count_once():
    # A set can hold distinct objects with the same __index__.
    returned = {Index(1), 1, Index(1)}
    p = Picker.from_returned(5, returned, seed=8)
    assert p.size == 4
    assert list(p) == list(ModelPicker(5, 8, {1}))


def test_set_mutated_during_conversion_is_refused():
    returned = set()

    class Growing:
        def __index__(self):
            returned.update(range(100, 200))
            return 1

    returned.add(Growing())
    with pytest.raises(RuntimeError) as info:
        Picker.from_returned(500, returned)
    assert info.value.__notes__ == ["while processing 'already_returned'"]


# The interpreter's own conversion messages.
NEGATIVE = "can't convert negative int to unsigned"
TOO_BIG = "int too big to convert"


def not_int(name):
    return f"'{name}' object cannot be interpreted as an integer"


rebuild = Picker.from_returned

CONVERSION_ERRORS = [
    (lambda: Picker(-1), OverflowError, NEGATIVE, "size"),
    (lambda: Picker(2**64), OverflowError, TOO_BIG, "size"),
    (lambda: Picker("5"), TypeError, not_int("str"), "size"),
    (lambda: Picker(None), TypeError, not_int("NoneType"), "size"),
    (lambda: Picker(Index(-3)), OverflowError, NEGATIVE, "size"),
    (lambda: Picker(3, seed=-1), OverflowError, NEGATIVE, "seed"),
    (lambda: Picker(3, seed=2**64), OverflowError, TOO_BIG, "seed"),
    (lambda: Picker(3, seed=1.5), TypeError, not_int("float"), "seed"),
    (lambda: rebuild(-1, set()), OverflowError, NEGATIVE, "initial_size"),
    (lambda: rebuild(5, [1, 2]), TypeError, "'list' object is not an instance of 'set'", "already_returned"),
    (lambda: rebuild(5, (1,)), TypeError, "'tuple' object is not an instance of 'set'", "already_returned"),
    (lambda: rebuild(5, {1: 0}.keys()), TypeError, "'dict_keys' object is not an instance of 'set'",
     "already_returned"),
    (lambda: rebuild(5, None), TypeError, "'None' is not an instance of 'set'", "already_returned"),
    (lambda: rebuild(5, {-1}), OverflowError, NEGATIVE, "already_returned"),
    (lambda: rebuild(5, {2**64}), OverflowError, TOO_BIG, "already_returned"),
    (lambda: rebuild(5, {"a"}), TypeError, not_int("str"), "already_returned"),
    (lambda: rebuild(5, {1}, seed=-2), OverflowError, NEGATIVE, "seed"),
    # Conversion runs in parameter order and precedes the range check.
    (lambda: rebuild(-1, [1], seed="x"), OverflowError, NEGATIVE, "initial_size"),
    (lambda: rebuild(5, [1], seed="x"), TypeError, "'list' object is not an instance of 'set'", "already_returned"),
    (lambda: rebuild(5, {9}, seed="x"), TypeError, not_int("str"), "seed"),
]


@pytest.mark.parametrize("call, exc, message, name", CONVERSION_ERRORS)
def test_conversion_errors_carry_the_parameter_note(call, exc, message, name):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{name}'"]


@pytest.mark.parametrize(
    "size, returned, message",
    [
        (5, {7}, "returned value 7 is not in the range 0..5"),
        (5, {5}, "returned value 5 is not in the range 0..5"),
        (0, frozenset({0}), "returned value 0 is not in the range 0..0"),
        (M64, {3, M64}, f"returned value {M64} is not in the range 0..{M64}"),
    ],
)
def test_out_of_range_returned_value(size, returned, message):
    with pytest.raises(ValueError) as info:
        Picker.from_returned(size, returned, seed=1)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def test_out_of_range_report_names_one_offending_value():
    with pytest.raises(ValueError) as info:
        Picker.from_returned(5, {1, 6, 8})
    assert str(info.value) in {f"returned value {v} is not in the range 0..5" for v in (6, 8)}


BINDING_ERRORS = [
    (lambda: Picker(), "Picker.__new__() missing 1 required positional argument: 'size'"),
    (lambda: Picker(seed=1), "Picker.__new__() missing 1 required positional argument: 'size'"),
    (lambda: Picker(1, 2, 3), "Picker.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: Picker(1, bogus=2), "Picker.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: Picker(1, size=2), "Picker.__new__() got multiple values for argument 'size'"),
    (lambda: rebuild(),
     "Picker.from_returned() missing 2 required positional arguments: 'initial_size' and 'already_returned'"),
    (lambda: rebuild(1), "Picker.from_returned() missing 1 required positional argument: 'already_returned'"),
    (lambda: rebuild(1, set(), 2, 3), "Picker.from_returned() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: rebuild(1, set(), sed=2), "Picker.from_returned() got an unexpected keyword argument 'sed'"),
    (lambda: rebuild(1, set(), 2, seed=2), "Picker.from_returned() got multiple values for argument 'seed'"),
    (lambda: Picker(1).reset(1), "Picker.reset() takes no arguments (1 given)"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


# ---- the type ----


DOC = (
    "An iterator which returns numbers from 0..n in a random order until all\nvalues are consumed.\n\n"
    "Every returned value is unique.\n\n"
    "This is based on the [Fisher-Yates\nshuffle](https://en.wikipedia.org/wiki/Fisher%E2%80%93Yates_shuffle) but\n"
    "instead of shuffling the whole sequence we just return the target index for\nthe swap."
)


def test_class_doc_and_signature():
    assert Picker.__doc__ == DOC
    assert Picker.__text_signature__ == "(size, seed=None)"
    assert str(inspect.signature(Picker)) == "(size, seed=None)"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        (
            "from_returned",
            "(initial_size, already_returned, seed=None)",
            "Reconstruct a picker that will not return any of the `already_returned`\nvalues.\n\n"
            "The remaining values returned will be a valid permutation of\n"
            "`0..initial_size` excluding `already_returned`. Raises `ValueError` if\n"
            "any returned value is outside `0..initial_size`.",
        ),
        ("reset", "($self)", "Reset the picker to its initial state."),
    ],
)
def test_method_docs_and_signatures(name, signature, doc):
    method = getattr(Picker, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_members_and_property_docs():
    assert Picker.size.__doc__ == "The number of remaining values."
    assert Picker.initial_size.__doc__ == "The initial size of the picker, as passed to the constructor."
    assert str(inspect.signature(Picker.from_returned)) == "(initial_size, already_returned, seed=None)"
    assert isinstance(inspect.getattr_static(Picker, "from_returned"), staticmethod)


def test_instances_are_plain_objects():
    p = Picker(3)
    # A copy would have to duplicate the generator and the map; none is made.
    for duplicate in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError):
            duplicate(p)
    assert type(p) is Picker
    assert repr(p).startswith("<builtins.Picker object at 0x")
    assert not gc.is_tracked(p)
    with pytest.raises(AttributeError):
        p.__dict__
    with pytest.raises(AttributeError):
        p.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(p)
