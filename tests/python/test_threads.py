"""Python threads sharing one Encoding or Picker, and threads with objects of their own.

Sharing gives correct results or the borrow RuntimeError, never a crash, a
hang or a wrong result; separate objects work side by side on the one pool."""

import sys
import threading

import numpy as np
import pytest

import corvane._rust as rust

Fault = rust.Fault
THREADS = 4
BORROW_MESSAGES = {"Already borrowed", "Already mutably borrowed"}


@pytest.fixture(autouse=True)
def fast_switching():
    # Switch threads as often as the interpreter allows, so that calls interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(work, count=THREADS):
    """Runs work(k) on `count` threads at once; returns what each returned, re-raising their failures."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(k):
        try:
            barrier.wait()
            results[k] = work(k)
        except BaseException as exc:  # noqa: BLE001 - reported to the test below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    if errors:
        raise errors[0]
    return results


class Yielding:
    """A target bit whose conversion lets other threads run mid-call."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        threading.Event().wait(0.0005)
        return self.value


def test_threads_sharing_one_encoding():
    data = np.random.default_rng(1).standard_normal(THREADS * 64).astype(np.float32)
    e = rust.secded.encode_f32([data], 64)
    codeword = e.bit_count() // (data.size // 2)
    refused = []

    def work(k):
        # Each thread owns its own chunks and flips one bit of each at a time
        # (never the overall parity bit), so every decode sees at most one
        # error per chunk, which it corrects.
        mine = [c * codeword + 1 + (c % (codeword - 1)) for c in range(k, data.size // 2, THREADS)]
        for round_ in range(30):
            for call in (lambda: e.apply_faults([(Fault.flip(), Yielding(g)) for g in mine]),
                         lambda: [e.apply_fault(Fault.flip(), g) for g in mine],
                         lambda: e.decode_f32(),
                         lambda: e.clone().bit_count()):
                try:
                    result = call()
                except RuntimeError as exc:
                    assert str(exc) in BORROW_MESSAGES
                    refused.append(exc)
                    continue
                if isinstance(result, tuple):
                    (decoded,), flags = result
                    assert decoded.tobytes() == data.tobytes() and all(flags)

    run_threads(work)
    # Whatever was refused, each chunk holds at most its one flipped bit.
    (decoded,), flags = e.decode_f32()
    assert decoded.tobytes() == data.tobytes() and all(flags)
    assert refused, "the calls never overlapped: the test did not test sharing"


def test_a_call_refused_while_another_thread_holds_the_encoding():
    e = rust.secded.encode_f32([np.ones(8, np.float32)], 32)
    entered, release = threading.Event(), threading.Event()

    class Blocking:
        def __index__(self):
            entered.set()
            release.wait(30)
            return 3

    t = threading.Thread(target=e.apply_faults, args=([(Fault.flip(), Blocking())],))
    t.start()
    assert entered.wait(30)
    try:
        for call in (e.decode_f32, e.clone, e.bit_count, lambda: e.apply_fault(Fault.flip(), 1)):
            with pytest.raises(RuntimeError, match="^Already (mutably )?borrowed$"):
                call()
    finally:
        release.set()
        t.join(30)
    (decoded,), flags = e.decode_f32()
    assert decoded.tolist() == [1.0] * 8 and flags == [True] * 8


def test_threads_sharing_one_picker_draw_each_value_once():
    n = 20_000
    p = rust.Picker(n, seed=5)

    def work(_):
        drawn = []
        for v in p:
            drawn.append(v)
        return drawn

    results = run_threads(work)
    everything = [v for r in results for v in r]
    assert sorted(everything) == list(range(n))
    assert p.size == 0


def test_threads_with_their_own_objects_work_in_parallel():
    rng = np.random.default_rng(3)
    inputs = [rng.standard_normal(1 << 18).astype(np.float32) for _ in range(THREADS)]

    def pipeline(a, k):
        a = a.copy()
        rust.cep.encode_f32(a, rust.cep.Scheme.D7P1)
        rust.mset.encode_f32(a)
        e = rust.secded.encode_f32([a], 64)
        e.apply_faults([(Fault.flip(), g) for g in range(5 + k, e.bit_count(), 7919)])
        (decoded,), flags = e.decode_f32()
        p = rust.Picker(1000, seed=k)
        return decoded.tobytes(), flags, [next(p) for _ in range(50)]

    expected = [pipeline(a, k) for k, a in enumerate(inputs)]
    for _ in range(3):
        assert run_threads(lambda k: pipeline(inputs[k], k)) == expected
