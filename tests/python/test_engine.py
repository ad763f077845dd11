"""corvane._engine: bulk sites, in-place injection and sparse SEC-DED trials,
each against the _rust path it stands in for."""

import itertools

import numpy as np
import pytest

import corvane._engine as engine
import corvane._rust as rust
from elements import DTYPES, UINT, WIDTH

KINDS = {engine.STUCK_AT_0: rust.Fault.stuck_at_0, engine.STUCK_AT_1: rust.Fault.stuck_at_1, engine.FLIP: rust.Fault.flip}
U64 = np.uint64


def sites(values):
    return np.asarray(values, dtype=U64)


def note_of(excinfo):
    return getattr(excinfo.value, "__notes__", [])


# ---- the module ----


def test_module_exports_kinds_and_functions():
    assert (engine.STUCK_AT_0, engine.STUCK_AT_1, engine.FLIP) == (0, 1, 2)
    assert engine.__all__ == ["STUCK_AT_0", "STUCK_AT_1", "FLIP", "draw_sites", "inject", "encoding_inject",
                              "encoding_bits", "encoding_trial", "changed", "false_at", "code_values"]
    assert engine.encoding_trial.__text_signature__ == "(encoding, kind, sites, element_bits, correct_parity=False)"
    assert "Encoding" in rust.secded.__all__  # _rust's table is left as it was


# ---- draw_sites ----


@pytest.mark.parametrize("size", [1, 2, 10, 1000, 2**32 - 1, 2**32, 2**32 + 1, 2**40, 2**64 - 1])
@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
def test_draw_sites_is_the_pickers_prefix(size, seed):
    count = min(size, 200)
    drawn = engine.draw_sites(size, seed, count)
    assert drawn.dtype == U64 and drawn.shape == (count,)
    assert drawn.tolist() == list(itertools.islice(rust.Picker(size, seed=seed), count))


@pytest.mark.parametrize("size,count", [(3000, 3000), (2**20, 200_000), (2**32 - 1, 50_000), (2**32 + 5, 50_000)])
def test_draw_sites_is_the_pickers_prefix_for_many_draws(size, count):
    # Enough draws that the bulk draw's table fills, wraps and probes far (and, at 2^32 - 1, holds the largest keys).
    picker = rust.Picker(size, seed=11)
    assert engine.draw_sites(size, 11, count).tolist() == [next(picker) for _ in range(count)]


def test_draw_sites_whole_range_and_empty():
    assert sorted(engine.draw_sites(50, 3, 50).tolist()) == list(range(50))
    assert engine.draw_sites(0, 3, 0).shape == (0,)
    assert engine.draw_sites(10, 42, 10).tolist() == [8, 2, 7, 4, 6, 9, 0, 1, 3, 5]


@pytest.mark.parametrize(
    "args, exc, text, note",
    [
        ((5, 0, 6), ValueError, "count 6 exceeds size 5: a permutation of 0..5 has only size values", None),
        ((-1, 0, 0), OverflowError, None, "while processing 'size'"),
        ((5, "x", 1), TypeError, None, "while processing 'seed'"),
        ((5, 0, 1.5), TypeError, None, "while processing 'count'"),
    ],
)
def test_draw_sites_refuses_bad_arguments(args, exc, text, note):
    with pytest.raises(exc) as excinfo:
        engine.draw_sites(*args)
    if text is not None:
        assert str(excinfo.value) == text
    if note is not None:
        assert note in note_of(excinfo)


# ---- inject ----


def random_arrays(rng, suffix, sizes):
    u = UINT[suffix]
    return [rng.integers(0, np.iinfo(u).max, n, dtype=u, endpoint=True).view(DTYPES[suffix]) for n in sizes]


@pytest.mark.parametrize("suffix", ["f32", "u16", "u8"])
@pytest.mark.parametrize("kind", [0, 1, 2])
def test_inject_matches_list_of_array_faults(suffix, kind):
    rng = np.random.default_rng(kind)
    arrays = random_arrays(rng, suffix, [37, 0, 5, 120])
    expected = [a.copy() for a in arrays]
    total = sum(a.size for a in arrays) * WIDTH[suffix]
    where = rng.integers(0, total, 300).astype(U64)
    where[:10] = where[10]  # repeated sites: flips cancel in pairs
    getattr(rust, f"list_of_array_faults_{suffix}")(expected, [(KINDS[kind](), int(g)) for g in where])
    engine.inject(arrays, kind, where)
    for got, want in zip(arrays, expected):
        assert got.tobytes() == want.tobytes()


def test_inject_reads_strided_sites_and_sites_that_alias_the_arrays():
    a = np.zeros(4, np.uint8)
    engine.inject([a], engine.FLIP, sites([0, 9, 1, 9, 31])[::2])
    assert a.tolist() == [3, 0, 0, 128]  # sites 0, 1 and 31; the 9s are skipped
    # Sites stored in the very memory being faulted are read as they were.
    buf = sites([1, 64])
    engine.inject([buf.view(np.uint8)], engine.STUCK_AT_1, buf)
    assert buf.tolist() == [3, 65]


@pytest.mark.parametrize(
    "make, exc, text",
    [
        (lambda: [np.zeros(2, np.float64)], TypeError,
         "arrays[0] has dtype float64; inject takes float32, uint16 or uint8 arrays"),
        (lambda: [np.zeros(2, np.uint8), np.zeros(2, np.uint16)], TypeError,
         "arrays[1] has dtype uint16 but arrays[0] has dtype uint8; all arrays must share one dtype"),
        (lambda: [np.zeros((2, 2), np.uint8)], ValueError, "arrays[0] is 2-D; inject takes 1-D arrays"),
        (lambda: [np.zeros(8, np.uint8)[::2]], ValueError, "arrays[0] is not C-contiguous and aligned"),
        (lambda: [np.zeros(2, np.uint8), np.zeros(2, np.uint8)[:0].copy(), np.frombuffer(b"ab", np.uint8)],
         ValueError, "arrays[2] is read-only"),
    ],
)
def test_inject_refuses_bad_arrays_and_writes_nothing(make, exc, text):
    arrays = make()
    before = [a.tobytes() for a in arrays]
    with pytest.raises(exc) as excinfo:
        engine.inject(arrays, engine.FLIP, sites([0]))
    assert str(excinfo.value) == text
    assert [a.tobytes() for a in arrays] == before


def test_inject_checks_every_site_before_writing():
    a = np.zeros(2, np.uint16)
    with pytest.raises(IndexError, match=r"^site 32 \(sites\[1\]\) is out of bounds for 32 bits$"):
        engine.inject([a], engine.FLIP, sites([0, 32]))
    assert a.tolist() == [0, 0]
    with pytest.raises(IndexError, match="for 0 bits"):
        engine.inject([], engine.FLIP, sites([0]))
    engine.inject([], engine.FLIP, sites([]))


@pytest.mark.parametrize(
    "kind, sites_arg, exc, text, note",
    [
        (3, sites([0]), ValueError, "kind must be STUCK_AT_0 (0), STUCK_AT_1 (1) or FLIP (2), got 3", "kind"),
        (-1, sites([0]), ValueError, "kind must be STUCK_AT_0 (0), STUCK_AT_1 (1) or FLIP (2), got -1", "kind"),
        ("flip", sites([0]), TypeError, None, "kind"),
        (2, [0], TypeError, "expected a 1-D numpy.uint64 array, got 'list' object", "sites"),
        (2, np.zeros(1, np.int64), TypeError, "expected a 1-D numpy.uint64 array, got an array of dtype int64",
         "sites"),
        (2, np.zeros((1, 1), U64), ValueError, "expected a 1-D numpy.uint64 array, got a 2-D array", "sites"),
    ],
)
def test_kind_and_sites_are_checked_with_a_note(kind, sites_arg, exc, text, note):
    a = np.zeros(2, np.uint8)
    with pytest.raises(exc) as excinfo:
        engine.inject([a], kind, sites_arg)
    if text is not None:
        assert str(excinfo.value) == text
    assert f"while processing '{note}'" in note_of(excinfo)
    assert a.tolist() == [0, 0]


# ---- encodings ----


def encode(rng, suffix, sizes, d):
    arrays = random_arrays(rng, suffix, sizes)
    return getattr(rust.secded, f"encode_{suffix}")(arrays, d)


def all_bits(enc):
    return engine.encoding_bits(enc, np.arange(enc.bit_count(), dtype=U64))


def test_encoding_bits_reads_the_codeword_layout():
    enc = rust.secded.encode_f32([np.array([1.0], np.float32)], 32)
    expected = np.unpackbits(np.frombuffer(bytes([0x01, 0x01, 0x01, 0xE0, 0x1E]), np.uint8), bitorder="little")[:39]
    got = all_bits(enc)
    assert got.dtype == np.uint8 and got.tolist() == expected.tolist()
    with pytest.raises(IndexError, match=r"^site 39 \(sites\[0\]\) is out of bounds for an encoding of 39 bits$"):
        engine.encoding_bits(enc, sites([39]))


@pytest.mark.parametrize("kind", [0, 1, 2])
@pytest.mark.parametrize("d", [7, 36, 64, 1000])
def test_encoding_inject_matches_apply_faults(kind, d):
    rng = np.random.default_rng(d)
    enc = encode(rng, "u16", [50, 3], d)
    twin = enc.clone()
    where = rng.integers(0, enc.bit_count(), 60).astype(U64)
    where[5:9] = enc.bit_count() - 1  # fill bits of the last chunk
    engine.encoding_inject(enc, kind, where)
    twin.apply_faults([(KINDS[kind](), int(g)) for g in where])
    assert np.array_equal(all_bits(enc), all_bits(twin))
    assert [a.tobytes() for a in enc.decode_u16()[0]] == [a.tobytes() for a in twin.decode_u16()[0]]
    assert enc.decode_u16()[1] == twin.decode_u16()[1]


def test_encoding_inject_is_all_or_nothing():
    enc = rust.secded.encode_u16([np.arange(4, dtype=np.uint16)], 16)
    before = all_bits(enc)
    with pytest.raises(IndexError, match="out of bounds"):
        engine.encoding_inject(enc, engine.FLIP, sites([0, enc.bit_count()]))
    assert np.array_equal(all_bits(enc), before)


@pytest.mark.parametrize("call", [
    lambda e: engine.encoding_inject(e, 2, sites([])),
    lambda e: engine.encoding_bits(e, sites([])),
    lambda e: engine.encoding_trial(e, 2, sites([]), 16),
])
@pytest.mark.parametrize("wrong", [None, "Encoding", np.zeros(3, np.uint8), rust.Fault.flip()])
def test_only_encodings_are_accepted(call, wrong):
    with pytest.raises(TypeError, match="is not an instance of 'Encoding'") as excinfo:
        call(wrong)
    assert "while processing 'encoding'" in note_of(excinfo)


class CallsBack:
    """A kind whose conversion reaches into the encoding being worked on."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 2


def test_the_borrow_flag_of_the_encoding_is_respected():
    enc = rust.secded.encode_u16([np.arange(4, dtype=np.uint16)], 16)
    with pytest.raises(RuntimeError) as excinfo:
        engine.encoding_inject(enc, CallsBack(enc.bit_count), sites([0]))
    assert str(excinfo.value) == "Already mutably borrowed"
    with pytest.raises(RuntimeError) as excinfo:
        engine.encoding_trial(enc, CallsBack(lambda: enc.apply_faults([])), sites([0]), 16)
    assert str(excinfo.value) == "Already borrowed"
    # Shared access alongside shared access is fine, and the flag is released.
    engine.encoding_trial(enc, CallsBack(enc.bit_count), sites([0]), 16)
    engine.encoding_inject(enc, engine.FLIP, sites([0]))


# ---- sparse trials against the dense path ----


def lone_parity_error(bits, chunk, n):
    """Whether a stored codeword has a zero syndrome and odd overall parity."""
    ones = np.flatnonzero(bits[chunk * n:(chunk + 1) * n])
    return np.bitwise_xor.reduce(ones, initial=0) == 0 and ones.size % 2 == 1


def dense_trial(enc, kind, where, element_bits, correct_parity=False):
    """clone + inject + full decode, compared with the fault-free decode.

    With ``correct_parity`` a chunk the codec flags for a zero syndrome with
    odd parity alone counts as decoded, as that decoder passes it."""
    decode = (lambda e: e.decode_u16()) if element_bits == 16 else (lambda e: e.decode_f32())
    u = np.uint16 if element_bits == 16 else np.uint32
    before, _ = decode(enc)
    faulted = enc.clone()
    engine.encoding_inject(faulted, kind, where)
    after, flags = decode(faulted)
    a = np.concatenate([x.view(u) for x in before])
    b = np.concatenate([x.view(u) for x in after])
    indices = np.flatnonzero(a != b).astype(U64)
    n = enc.bit_count() // len(flags)
    d = n - (n - 1).bit_length() - 1
    needed = a.size * element_bits
    abits = np.unpackbits(a.view(np.uint8), bitorder="little")
    bbits = np.unpackbits(b.view(np.uint8), bitorder="little")
    stored_before, stored_after = all_bits(enc), all_bits(faulted)
    corrected = flagged = miscorrected = intact = 0
    positions = np.arange(n)
    data = (positions >= 3) & ((positions & (positions - 1)) != 0)
    data_index = positions - np.floor(np.log2(np.maximum(positions, 1))).astype(np.int64) - 2
    per_chunk = np.bincount(np.unique(where.astype(np.int64)) // n)
    for chunk in sorted({int(g) // n for g in where}):
        lo, hi = chunk * d, min((chunk + 1) * d, needed)
        before, after = stored_before[chunk * n:(chunk + 1) * n], stored_after[chunk * n:(chunk + 1) * n]
        if not flags[chunk] and not (correct_parity and lone_parity_error(stored_after, chunk, n)):
            flagged += 1
            wrong = (before != after) & data & (chunk * d + data_index < needed)
            intact += not wrong.any()
        elif not np.array_equal(abits[lo:hi], bbits[lo:hi]):
            miscorrected += 1
        elif not np.array_equal(before, after):
            corrected += 1
    multi = int(np.count_nonzero(per_chunk >= 2))
    return indices, b[indices], corrected, flagged, miscorrected, intact, multi


def codeword_bits(d):
    r = 2
    while (1 << r) - r - 1 < d:
        r += 1
    return d + r + 1


def tricky_sites(rng, enc, d, count):
    """Sites weighted to parity bits, check bits, the last chunk and its fill."""
    n = codeword_bits(d)
    chunks = enc.bit_count() // n
    out = []
    chunk = int(rng.integers(chunks))
    for _ in range(count):
        if rng.random() < 0.3:
            chunk = chunks - 1 if rng.random() < 0.3 else int(rng.integers(chunks))
        pick = rng.random()
        if pick < 0.2:
            p = 0
        elif pick < 0.4:
            p = 1 << int(rng.integers(max(1, (n - 1).bit_length())))
        elif pick < 0.55:
            p = n - 1  # the last data (or fill) bit of the chunk
        else:
            p = int(rng.integers(n))
        out.append(chunk * n + min(p, n - 1))
    return sites(out)


CHUNK_SIZES = [1, 2, 3, 8, 13, 16, 31, 32, 36, 57, 64, 65, 100, 128, 129, 255, 300, 512, 1000, 1024, 4096]


@pytest.mark.parametrize("d", CHUNK_SIZES)
@pytest.mark.parametrize("suffix, element_bits", [("f32", 32), ("f32", 16), ("u16", 16)])
def test_sparse_trial_equals_the_dense_trial(d, suffix, element_bits):
    rng = np.random.default_rng(d * 100 + element_bits)
    for round_ in range(6):
        enc = encode(rng, suffix, [int(s) for s in rng.integers(0, 30, rng.integers(1, 4))] + [1], d)
        if round_ % 3 == 2:  # an encoding with earlier faults: fault-free is not clean
            engine.encoding_inject(enc, engine.FLIP, rng.integers(0, enc.bit_count(), 2).astype(U64))
        stored = all_bits(enc)
        for kind in (0, 1, 2):
            where = tricky_sites(rng, enc, d, int(rng.integers(1, 12)))
            for correct_parity in (False, True):
                got = engine.encoding_trial(enc, kind, where, element_bits, correct_parity=correct_parity)
                want = dense_trial(enc, kind, where, element_bits, correct_parity)
                assert np.array_equal(got[0], want[0]) and got[0].dtype == U64
                assert np.array_equal(got[1], want[1]) and got[1].dtype == want[1].dtype
                assert got[2:] == want[2:]
        assert np.array_equal(all_bits(enc), stored)  # the trial changed nothing


def test_sparse_trial_over_many_chunks_with_many_faults():
    rng = np.random.default_rng(5)
    enc = encode(rng, "f32", [20_000, 333], 64)
    for kind in (0, 1, 2):
        where = rng.integers(0, enc.bit_count(), 5_000).astype(U64)
        got = engine.encoding_trial(enc, kind, where, 32)
        want = dense_trial(enc, kind, where, 32)
        assert np.array_equal(got[0], want[0]) and np.array_equal(got[1], want[1]) and got[2:] == want[2:]
        assert got[0].size > 0 and sum(got[2:]) > 1000


def test_sparse_trial_counts_the_textbook_cases():
    enc = rust.secded.encode_f32([np.array([1.0, 2.0], np.float32)], 64)
    n = enc.bit_count()
    assert engine.encoding_trial(enc, engine.FLIP, sites([5]), 32)[2:] == (1, 0, 0, 0, 0)
    idx, values, *counts = engine.encoding_trial(enc, engine.FLIP, sites([3, 5]), 32)
    assert idx.tolist() == [0] and values.tolist() == [np.float32(1.0).view(np.uint32) ^ 3]
    assert counts == [0, 1, 0, 0, 1]  # flagged over wrong data, a chunk hit twice
    assert engine.encoding_trial(enc, engine.FLIP, sites([0]), 32)[2:] == (0, 1, 0, 1, 0)  # parity bit: false alarm
    assert engine.encoding_trial(enc, engine.FLIP, sites([0]), 32, True)[2:] == (1, 0, 0, 0, 0)  # ... or passed
    # Three data bits whose positions XOR to 0: flagged by the codec, silently wrong for the other rule.
    assert engine.encoding_trial(enc, engine.FLIP, sites([3, 5, 6]), 32)[2:] == (0, 1, 0, 0, 1)
    assert engine.encoding_trial(enc, engine.FLIP, sites([3, 5, 6]), 32, True)[2:] == (0, 0, 1, 0, 1)
    assert engine.encoding_trial(enc, engine.FLIP, sites([5, 5]), 32)[2:] == (0, 0, 0, 0, 0)  # cancels
    empty = engine.encoding_trial(enc, engine.FLIP, sites([]), 32)
    assert empty[0].shape == (0,) and empty[1].dtype == np.uint32 and empty[2:] == (0, 0, 0, 0, 0)
    assert n == 72


@pytest.mark.parametrize(
    "args, exc, text",
    [
        ((2, sites([0]), 8), ValueError, "element_bits must be 16 or 32, got 8"),
        ((2, sites([22]), 16), IndexError, "site 22 (sites[0]) is out of bounds for an encoding of 22 bits"),
        ((2, sites([0]), 32), ValueError, "decoding needs 32 data bits but the chunks hold 16"),
    ],
)
def test_sparse_trial_refuses_bad_arguments(args, exc, text):
    enc = rust.secded.encode_u16([np.array([7], np.uint16)], 16)
    with pytest.raises(exc) as excinfo:
        engine.encoding_trial(enc, *args)
    assert str(excinfo.value) == text


def test_sparse_trial_parity_rule_is_read_as_a_truth_value():
    class Undecided:
        def __bool__(self):
            raise ZeroDivisionError("neither")

    enc = rust.secded.encode_u16([np.array([7], np.uint16)], 16)
    with pytest.raises(ZeroDivisionError) as excinfo:
        engine.encoding_trial(enc, 2, sites([0]), 16, Undecided())
    assert "while processing 'correct_parity'" in note_of(excinfo)
    assert engine.encoding_trial(enc, 2, sites([0]), 16, correct_parity=[1])[2:4] == (1, 0)


# ---- changed ----


@pytest.mark.parametrize("suffix", ["f32", "u16", "u8"])
def test_changed_matches_numpy(suffix):
    rng = np.random.default_rng(1)
    (a,) = random_arrays(rng, suffix, [100_003])
    b = a.copy()
    engine.inject([b], engine.FLIP, rng.integers(0, b.size * WIDTH[suffix], 500).astype(U64))
    u = UINT[suffix]
    got = engine.changed(a, b)
    assert got.dtype == U64 and got.tolist() == np.flatnonzero(a.view(u) != b.view(u)).tolist()
    assert engine.changed(a, a).size == 0


def test_changed_compares_bits_not_values():
    a = np.array([0.0, np.nan], np.float32)
    b = np.array([-0.0, np.nan], np.float32)
    assert engine.changed(a, b).tolist() == [0]


@pytest.mark.parametrize(
    "a, b, exc, text",
    [
        (np.zeros(2, np.uint8), np.zeros(3, np.uint8), ValueError, "a has 2 elements but b has 3"),
        (np.zeros(2, np.uint8), np.zeros(2, np.uint16), TypeError, "a has dtype uint8 but b has dtype uint16"),
        (np.zeros(2, np.int8), np.zeros(2, np.int8), TypeError, "expected a float32, uint16 or uint8 array, got dtype int8"),
        (np.zeros(4, np.uint8)[::2], np.zeros(2, np.uint8), ValueError, "expected a C-contiguous, aligned array"),
    ],
)
def test_changed_refuses_bad_arrays(a, b, exc, text):
    with pytest.raises(exc) as excinfo:
        engine.changed(a, b)
    assert str(excinfo.value) == text


# ---- false_at ----


def test_false_at_picks_the_flagged_chunks_of_a_decode_in_order():
    rng = np.random.default_rng(3)
    enc = rust.secded.encode_f32([random_arrays(rng, "f32", [4000])[0]], 64)
    # Two flips in each of some chunks (uncorrectable, flagged), one in others (corrected).
    n = enc.bit_count() // 2000
    doubled, single = [5, 17, 1999], [3, 400]
    sites = [c * n + 1 for c in doubled + single] + [c * n + 2 for c in doubled]
    engine.encoding_inject(enc, engine.FLIP, np.array(sites, U64))
    _, flags = enc.decode_f32()
    assert [c for c, ok in enumerate(flags) if not ok] == doubled
    hit = np.array([1999, 3, 5, 400, 17, 5], U64)
    got = engine.false_at(flags, hit)
    assert got.dtype == U64 and got.tolist() == [1999, 5, 17, 5]
    assert engine.false_at(flags, hit[:0]).tolist() == []


@pytest.mark.parametrize(
    "flags, indices, exc, text",
    [
        ([True, False], np.array([2], U64), IndexError, "index 2 (indices[0]) is out of range for 2 flags"),
        ([True, 0], np.array([0, 1], U64), TypeError, "flags[1] is not a bool"),
        ((True, False), np.array([0], U64), TypeError, "'tuple' object is not an instance of 'list'"),
    ],
)
def test_false_at_refuses_bad_input(flags, indices, exc, text):
    with pytest.raises(exc) as excinfo:
        engine.false_at(flags, indices)
    assert str(excinfo.value) == text


# ---- code_values ----

CEP = [rust.cep.Scheme.D3P1, rust.cep.Scheme.D7P1, rust.cep.Scheme.D15P1]


@pytest.mark.parametrize("dtype", [np.float32, np.uint16])
@pytest.mark.parametrize("code", [0, 1, 2, 3])
@pytest.mark.parametrize("encode", [True, False])
@pytest.mark.parametrize("size", [0, 1, 7, 64, 5000])
def test_code_values_gives_the_whole_array_codes_values(dtype, code, encode, size):
    bits = 32 if dtype == np.float32 else 16
    raw = np.random.default_rng(code * 10 + size).integers(0, 2**bits, size, dtype=np.uint64)
    a = raw.astype(np.uint32 if bits == 32 else np.uint16).view(dtype)
    b = a.copy()
    sfx = "f32" if bits == 32 else "u16"
    name = ("encode_" if encode else "decode_") + sfx
    if code < 3:
        getattr(rust.cep, name)(a, CEP[code])
    else:
        getattr(rust.mset, name)(a)
    engine.code_values(b, code, encode)
    assert a.view(np.uint8).tobytes() == b.view(np.uint8).tobytes()


@pytest.mark.parametrize("arr, code, exc, text", [
    (np.zeros(4, np.uint8), 0, TypeError, "float32 or uint16"),
    (np.zeros(4, np.float32), 4, ValueError, "code must be"),
    (np.zeros(4, np.float32), -1, ValueError, "code must be"),
    (np.zeros(4, np.float32), "0", TypeError, "integer"),
])  # fmt: skip
def test_code_values_refuses_bad_arguments(arr, code, exc, text):
    with pytest.raises(exc, match=text):
        engine.code_values(arr, code, True)


def test_code_values_writes_nothing_to_a_read_only_array():
    a = np.ones(8, np.float32)
    a.flags.writeable = False
    with pytest.raises(BaseException, match="NotWriteable"):
        engine.code_values(a, 0, True)
    assert (a == 1).all()
