"""Sequence arguments whose length lies, or that change while being read.

Every sequence parameter must take what the object really yields, raise the
object's own error, or run out of memory as MemoryError: never an internal
error for a caller's odd object."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import corvane._rust as rust

Fault = rust.Fault


class Lying:
    """A sequence (through __getitem__) of `items` whose __len__ says `length`.

    `length` may be a number (returned as is) or an exception to raise."""

    def __init__(self, items, length):
        self.items = list(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, type) and issubclass(self.length, BaseException):
            raise self.length("no length today")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Shrinking(Lying):
    """Loses its last item each time one is read."""

    def __getitem__(self, i):
        item = self.items[i]
        self.items.pop()
        return item


class Growing(Lying):
    """Gains a copy of its first item each time one is read, up to twice its size."""

    def __init__(self, items, length):
        super().__init__(items, length)
        self.limit = 2 * len(self.items)

    def __getitem__(self, i):
        item = self.items[i]
        if len(self.items) < self.limit:
            self.items.append(self.items[0])
        return item


class LyingList(list):
    def __len__(self):
        return sys.maxsize


LENGTHS = [sys.maxsize, 2**40, 2**70, -1, 0, 1, TypeError, ValueError, OverflowError, MemoryError]


def yielded(seq):
    """What iterating the object gives, read the way the module reads it."""
    out = []
    i = 0
    while True:
        try:
            out.append(seq[i])
        except IndexError:
            return out
        i += 1


def arrays_f32():
    return [np.arange(3, dtype=np.float32), np.ones((2, 2), np.float32), np.zeros(0, np.float32)]


def faults_for(total_bits):
    return [(Fault.flip(), 0), (Fault.stuck_at_1(), total_bits - 1), (Fault.flip(), 5), (Fault.stuck_at_0(), 40)]


def on_arrays(call):
    """Runs `call` on a hostile list of arrays and on what it yields; returns both results."""

    def run(make):
        arrays, copies = arrays_f32(), arrays_f32()
        call(make(arrays))
        call(yielded(make(copies)))
        return arrays, copies

    return run


def on_faults(call):
    """Runs `call` with a hostile list of fault pairs and with what it yields."""

    def run(make):
        arrays, copies = arrays_f32(), arrays_f32()
        call(arrays, make(faults_for(7 * 32)))
        call(copies, yielded(make(faults_for(7 * 32))))
        return arrays, copies

    return run


def encode_input(make):
    e = rust.secded.encode_f32(make(arrays_f32()), 64)
    want = rust.secded.encode_f32(yielded(make(arrays_f32())), 64)
    return e.decode_f32()[0], want.decode_f32()[0]


def apply_faults(make):
    e = rust.secded.encode_f32(arrays_f32(), 16)
    want = e.clone()
    e.apply_faults(make(faults_for(e.bit_count())))
    want.apply_faults(yielded(make(faults_for(want.bit_count()))))
    (got, got_flags), (expected, expected_flags) = e.decode_f32(), want.decode_f32()
    assert got_flags == expected_flags
    return got, expected


CALLS = {
    "faults_f32(input)": on_arrays(lambda s: rust.list_of_array_faults_f32(s, faults_for(7 * 32))),
    "fault_f32(input)": on_arrays(lambda s: rust.list_of_array_fault_f32(s, Fault.flip(), 33)),
    "faults_f32(faults)": on_faults(rust.list_of_array_faults_f32),
    "secded.encode_f32(input)": encode_input,
    "Encoding.apply_faults(faults)": apply_faults,
}


def same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(np.asarray(g), np.asarray(w))


@pytest.mark.parametrize("call", list(CALLS))
@pytest.mark.parametrize("length", LENGTHS, ids=repr)
@pytest.mark.parametrize("kind", [Lying, Shrinking, Growing])
def test_a_lying_length_is_taken_as_what_the_sequence_yields(call, length, kind):
    got, want = CALLS[call](lambda items: kind(items, length))
    same(got, want)


@pytest.mark.parametrize("call", list(CALLS))
def test_a_list_subclass_with_a_huge_length(call):
    got, want = CALLS[call](LyingList)
    same(got, want)


class Failing(Lying):
    """Raises `error` instead of giving item `at`."""

    def __init__(self, items, length, error, at):
        super().__init__(items, length)
        self.error, self.at = error, at

    def __getitem__(self, i):
        if i == self.at:
            raise self.error("item refused")
        return self.items[i]


HOSTILE_PARAMS = [
    ("input", lambda s: rust.list_of_array_faults_f32(s, [])),
    ("input", lambda s: rust.list_of_array_fault_f32(s, Fault.flip(), 0)),
    ("input", lambda s: rust.secded.encode_f32(s, 64)),
]


@pytest.mark.parametrize("error", [KeyError, RuntimeError, ZeroDivisionError])
@pytest.mark.parametrize("length", [sys.maxsize, 0, -1])
@pytest.mark.parametrize("param, call", HOSTILE_PARAMS, ids=["faults", "fault", "encode"])
def test_the_sequences_own_error_is_raised(error, length, param, call):
    seq = Failing(arrays_f32(), length, error, at=1)
    with pytest.raises(error, match="item refused") as info:
        call(seq)
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("length", [sys.maxsize, 0, -1])
def test_the_fault_sequences_own_error_is_raised_and_nothing_changes(length):
    arrays = arrays_f32()
    before = [a.copy() for a in arrays]
    e = rust.secded.encode_f32(arrays, 16)
    image = e.clone()
    for call in (lambda s: rust.list_of_array_faults_f32(arrays, s), e.apply_faults):
        with pytest.raises(KeyError) as info:
            call(Failing(faults_for(64), length, KeyError, at=2))
        assert info.value.__notes__ == ["while processing 'faults'"]
    same(arrays, before)
    same(e.decode_f32()[0], image.decode_f32()[0])


def test_an_exact_list_emptied_while_its_targets_are_read():
    arrays = [np.zeros(4, np.uint8)]
    faults = []

    class Clearing:
        def __index__(self):
            faults.clear()
            return 3

    faults.extend([(Fault.flip(), Clearing()), (Fault.flip(), 9), (Fault.flip(), 10)])
    rust.list_of_array_faults_u8(arrays, faults)
    assert arrays[0].tolist() == [8, 0, 0, 0]


class LyingSet(set):
    def __len__(self):
        return sys.maxsize


class LongerSet(frozenset):
    """Iterates over more values than it holds."""

    def __iter__(self):
        return iter(range(2 * len(frozenset(self))))


@pytest.mark.parametrize("returned, size_after", [(LyingSet({1, 2, 3}), 7), (LongerSet({1, 2}), 6)])
def test_already_returned_is_what_the_set_yields(returned, size_after):
    p = rust.Picker.from_returned(10, returned, seed=1)
    assert p.size == size_after
    assert not set(p) & set(iter(returned))


# Runs in a child under an address-space limit just above what it uses, so
# that a sequence whose items really do not fit exhausts memory at once.
OUT_OF_MEMORY = r"""
import resource, sys
import numpy as np
import corvane._rust as rust

class Endless:
    def __init__(self, item): self.item = item
    def __len__(self): return sys.maxsize
    def __getitem__(self, i): return self.item

a = np.zeros(1, np.float32)
calls = {
    "input": lambda: rust.list_of_array_faults_f32(Endless(a), []),
    "faults": lambda: rust.list_of_array_faults_f32([a], Endless((rust.Fault.flip(), 0))),
    "encode": lambda: rust.secded.encode_f32(Endless(a), 64),
}
with open("/proc/self/statm") as f:
    pages = int(f.read().split()[0])
limit = pages * resource.getpagesize() + (64 << 20)
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    calls[sys.argv[1]]()
except MemoryError:
    print("MemoryError")
"""


@pytest.mark.skipif("sanitize" in os.environ.get("LD_PRELOAD", "") or "san." in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers' shadow memory needs an unlimited address space")
@pytest.mark.parametrize("param", ["input", "faults", "encode"])
def test_items_that_really_do_not_fit_raise_memory_error(param):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(OUT_OF_MEMORY), param],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "MemoryError"
