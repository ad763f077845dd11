"""SEC-DED: encode_f32 / encode_u16 and the Encoding class."""

import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane._rust as rust

secded = rust.secded
Encoding = secded.Encoding
Fault = rust.Fault

DTYPE = {"f32": np.float32, "u16": np.uint16}
UINT = {"f32": np.uint32, "u16": np.uint16}
WIDTH = {"f32": 32, "u16": 16}
KINDS = {"stuck_at_0": Fault.stuck_at_0, "stuck_at_1": Fault.stuck_at_1, "flip": Fault.flip}


def encode(suffix, arrays, d):
    return getattr(secded, f"encode_{suffix}")(arrays, d)


def decode(e, suffix):
    return getattr(e, f"decode_{suffix}")()


def patterns(arrays, suffix):
    return [np.ascontiguousarray(a).view(UINT[suffix]).ravel() for a in arrays]


# ---- a literal model of the block code and the chunked image ----


def check_bits(d):
    r = 2
    while (1 << r) - r - 1 < d:
        r += 1
    return r


def codeword_bits(d):
    return d + check_bits(d) + 1


def data_positions(n):
    return [p for p in range(3, n) if p & (p - 1)]


def syndrome(cw):
    s = 0
    for p, bit in enumerate(cw):
        if bit:
            s ^= p
    return s


def encode_block(data):
    n = codeword_bits(len(data))
    cw = [0] * n
    for bit, p in zip(data, data_positions(n)):
        cw[p] = bit
    s = syndrome(cw)
    for k in range(check_bits(len(data))):
        cw[1 << k] = (s >> k) & 1
    cw[0] = sum(cw) % 2
    return cw


def decode_block(cw):
    n, s, odd = len(cw), syndrome(cw), sum(cw) % 2
    cw = list(cw)
    if s == 0:
        ok = odd == 0
    elif odd == 0 or s >= n:
        ok = False
    else:
        cw[s] ^= 1
        ok = True
    return [cw[p] for p in data_positions(n)], ok


class Model:
    """The encoded image as one list of bits, chunk after chunk."""

    def __init__(self, arrays, suffix, d):
        w = WIDTH[suffix]
        self.counts = [a.size for a in arrays]
        bits = [(int(v) >> k) & 1 for a in patterns(arrays, suffix) for v in a for k in range(w)]
        chunks = -(-len(bits) // d)
        bits += [0] * (chunks * d - len(bits))
        self.d, self.n = d, codeword_bits(d)
        self.bits = [b for i in range(chunks) for b in encode_block(bits[i * d : (i + 1) * d])]

    def apply(self, kind, g):
        self.bits[g] = {"stuck_at_0": 0, "stuck_at_1": 1, "flip": self.bits[g] ^ 1}[kind]

    def decode(self, suffix):
        """(arrays of unsigned patterns, flags), or None when the chunks hold too few bits."""
        data, flags = [], []
        for i in range(0, len(self.bits), self.n):
            chunk, ok = decode_block(self.bits[i : i + self.n])
            data += chunk
            flags.append(ok)
        w = WIDTH[suffix]
        if sum(self.counts) * w > len(data):
            return None
        arrays, at = [], 0
        for count in self.counts:
            values = [sum(data[at + j * w + k] << k for k in range(w)) for j in range(count)]
            arrays.append(np.array(values, UINT[suffix]))
            at += count * w
        return arrays, flags


def read_codeword_bit(e, g, n):
    """Bit g of the encoded image, seen only through decoding a clean encoding.

    On a copy, bit g is set to 1 and another bit q of the same chunk flipped:
    if g was already 1 that is one error, corrected (flag True); if it was 0,
    two errors, detected (flag False)."""
    chunk, p = divmod(g, n)
    q = chunk * n + (1 if p != 1 else 2)
    probe = e.clone()
    probe.apply_faults([(Fault.stuck_at_1(), g), (Fault.flip(), q)])
    return int(probe.decode_u16()[1][chunk])


def test_model_reproduces_the_known_codewords():
    def to_bytes(bits):
        return bytes(sum(b << k for k, b in enumerate(bits[i : i + 8])) for i in range(0, len(bits), 8))

    one = Model([np.array([1.0], np.float32)], "f32", 32).bits
    assert to_bytes(one) == bytes([0x01, 0x01, 0x01, 0xE0, 0x1E])
    a5 = encode_block([(0xA5 >> k) & 1 for k in range(8)])
    assert to_bytes(a5) == bytes([0x4E, 0x14])


# ---- known vectors ----


def test_one_float_in_a_32_bit_chunk():
    e = secded.encode_f32([np.array([1.0], dtype=np.float32)], 32)
    assert e.bit_count() == 39
    stored = [read_codeword_bit(e, g, 39) for g in range(39)]
    expected = 0x1EE0010101  # the bytes 01 01 01 E0 1E, least significant first
    assert stored == [(expected >> g) & 1 for g in range(39)]
    arrays, flags = e.decode_f32()
    assert flags == [True]
    assert len(arrays) == 1 and arrays[0].tolist() == [1.0]


@pytest.mark.parametrize(
    "d, chunks, n",
    [(40, 3, 47), (36, 3, 43), (1000, 1, 1011), (4096, 1, 4110), (64, 2, 72), (1, 96, 4), (8, 12, 13), (96, 1, 104)],
)
def test_bit_count_is_chunks_times_codeword(d, chunks, n):
    e = secded.encode_f32([np.array([1.5, -2.0, 3.25], np.float32)], d)
    assert e.bit_count() == chunks * n
    arrays, flags = e.decode_f32()
    assert arrays[0].tolist() == [1.5, -2.0, 3.25]
    assert flags == [True] * chunks


THREE = [0x3F800000, 0x40000000, 0x40400000]  # 1.0, 2.0, 3.0: one 39-bit codeword each at d=32


@pytest.mark.parametrize(
    "targets, flags, patterns",
    [
        ([3, 39 + 3, 78 + 3], [True, True, True], THREE),  # one data bit per chunk: corrected
        ([39 + 2], [True, True, True], THREE),  # a check bit: corrected
        ([39 + 3, 39 + 5], [True, False, True], [THREE[0], THREE[1] ^ 0b11, THREE[2]]),  # two data bits
        ([78 + 3, 78 + 4], [True, True, False], [THREE[0], THREE[1], THREE[2] ^ 1]),  # data and check bit
        ([0], [False, True, True], THREE),  # the overall parity bit alone: flagged, data kept
        ([78], [True, True, False], THREE),
    ],
)
def test_known_fault_patterns(targets, flags, patterns):
    e = secded.encode_f32([np.array(THREE, np.uint32).view(np.float32)], 32)
    e.apply_faults([(Fault.flip(), g) for g in targets])
    arrays, got = e.decode_f32()
    assert got == flags
    assert arrays[0].view(np.uint32).tolist() == patterns


def test_stuck_at_on_a_bit_that_already_holds_the_value_changes_nothing():
    e = secded.encode_f32([np.array([1.0], np.float32)], 32)
    ones = [g for g in range(39) if read_codeword_bit(e, g, 39)]
    zeros = [g for g in range(39) if g not in ones]
    before = e.decode_f32()
    e.apply_faults([(Fault.stuck_at_1(), g) for g in ones] + [(Fault.stuck_at_0(), g) for g in zeros])
    after = e.decode_f32()
    assert after[1] == before[1] == [True]
    assert after[0][0].tolist() == before[0][0].tolist()


@pytest.mark.parametrize("d", [2**62, 2**63 - 1, 2**64 - 66])
def test_huge_chunk_sizes_cost_nothing_beyond_the_data(d):
    n = codeword_bits(d) if d < 2**63 else d + 65
    e = secded.encode_f32([np.ones(3, np.float32)], d)
    assert e.bit_count() == n
    e.apply_fault(Fault.flip(), n - 1)  # a fill bit far beyond the data: corrected
    arrays, flags = e.decode_f32()
    assert arrays[0].tolist() == [1.0, 1.0, 1.0] and flags == [True]
    e.apply_fault(Fault.stuck_at_1(), n - 2)  # a second fill bit: detected
    assert e.decode_f32()[1] == [False]
    assert e.clone().decode_f32()[1] == [False]
    # Read as float32, three uint16 values are followed by the chunk's fill bits.
    floats = secded.encode_u16([np.array([1, 2, 3], np.uint16)], d).decode_f32()[0][0]
    assert floats.view(np.uint32).tolist() == [0x00020001, 3, 0]


# ---- arrays in and out ----


def test_element_counts_and_shapes():
    a, b, c = np.arange(3, dtype=np.float32), np.zeros(0, np.float32), np.array([[1, 2], [3, 4]], np.float32)
    e = secded.encode_f32([a, b, np.array(7.0, np.float32), c], 24)
    arrays, _ = e.decode_f32()
    assert [x.shape for x in arrays] == [(3,), (0,), (1,), (4,)]
    assert arrays[3].tolist() == [1.0, 2.0, 3.0, 4.0]
    assert arrays[2].tolist() == [7.0]


@pytest.mark.parametrize("suffix", DTYPE)
@pytest.mark.parametrize(
    "make",
    [
        lambda x: x.T,  # Fortran order
        lambda x: x[:, ::-1],  # negative strides
        lambda x: x[::2],  # strided rows
        lambda x: np.broadcast_to(x[:1], x.shape),  # zero strides
        lambda x: np.frombuffer(b"\0" + x.tobytes(), x.dtype, offset=1).reshape(x.shape),  # unaligned
    ],
    ids=["transposed", "reversed", "strided", "broadcast", "unaligned"],
)
def test_non_contiguous_input_is_read_in_row_major_order(suffix, make):
    x = make(np.arange(12, dtype=DTYPE[suffix]).reshape(4, 3))
    before = x.copy()
    e = encode(suffix, [x], 20)
    arrays, flags = decode(e, suffix)
    assert arrays[0].tolist() == x.ravel(order="C").tolist()
    assert all(flags)
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("suffix", DTYPE)
def test_input_is_copied_and_never_modified(suffix):
    x = np.arange(100, dtype=DTYPE[suffix])
    e = encode(suffix, (x, x), 64)
    x[:] = 0
    e.apply_faults([(Fault.flip(), g) for g in range(9, e.bit_count(), 72)])  # one per chunk
    assert not x.any()
    arrays, _ = decode(e, suffix)
    assert arrays[1].tolist() == list(range(100))


def test_read_only_input_is_accepted():
    x = np.arange(5, dtype=np.float32)
    x.flags.writeable = False
    assert secded.encode_f32([x], 32).decode_f32()[0][0].tolist() == x.tolist()


def test_two_dimensional_input_is_a_list_of_rows():
    x = np.arange(6, dtype=np.uint16).reshape(2, 3)
    arrays, _ = secded.encode_u16(x, 16).decode_u16()
    assert [a.tolist() for a in arrays] == [[0, 1, 2], [3, 4, 5]]


@pytest.mark.parametrize("suffix", DTYPE)
def test_result_arrays_are_new_and_outlive_the_encoding(suffix):
    e = encode(suffix, [np.arange(4, dtype=DTYPE[suffix]), np.zeros(0, DTYPE[suffix])], 16)
    first, flags = decode(e, suffix)
    second, _ = decode(e, suffix)
    del e
    for a in first:
        assert a.dtype == DTYPE[suffix] and a.ndim == 1
        assert a.flags.writeable and a.flags.c_contiguous
        assert a.base is None or not isinstance(a.base, np.ndarray)
    assert first[0] is not second[0]
    first[0][:] = 9
    assert second[0].tolist() == [0, 1, 2, 3]
    assert all(type(f) is bool for f in flags)


def test_flags_of_many_chunks_hold_no_stray_references():
    e = secded.encode_u16([np.zeros(70 * 8, np.uint16)], 8)  # 1120 chunks
    e.apply_faults([(Fault.flip(), 13 * i + 1) for i in range(0, 1120, 3)])
    e.apply_faults([(Fault.flip(), 13 * i + 2) for i in range(0, 1120, 5)])
    true_refs, false_refs = sys.getrefcount(True), sys.getrefcount(False)
    for _ in range(3):
        flags = e.decode_u16()[1]
        assert flags == [not (i % 3 == 0 and i % 5 == 0) for i in range(1120)]
        del flags
    assert (sys.getrefcount(True), sys.getrefcount(False)) == (true_refs, false_refs)


def test_decoding_in_the_other_element_type():
    f = np.array([1.0, -2.5], np.float32)
    halves = secded.encode_f32([f], 24).decode_u16()[0][0]
    assert halves.tolist() == f.view(np.uint16)[:2].tolist()

    u = np.array([0x0001, 0x3F80], np.uint16)
    e = secded.encode_u16([u], 64)  # one chunk: 32 data bits, then 32 fill bits
    floats, flags = e.decode_f32()
    assert floats[0].view(np.uint32).tolist() == [0x3F800001, 0] and flags == [True]
    e.apply_faults([(Fault.flip(), 39), (Fault.flip(), 40)])  # fill bits 0 and 1: detected, returned as stored
    floats, flags = e.decode_f32()
    assert floats[0].view(np.uint32).tolist() == [0x3F800001, 0b11] and flags == [False]


def test_decoding_more_bits_than_the_chunks_hold_is_an_internal_error(panic_exception):
    e = secded.encode_u16([np.array([5, 6], np.uint16)], 32)
    with pytest.raises(panic_exception) as info:
        e.decode_f32()
    assert str(info.value) == (
        "assertion `left == right` failed: these must match because the chunked buffer can potentially"
        " only have more bits, not less.\n  left: 32\n right: 64"
    )
    assert not isinstance(info.value, Exception)
    assert e.decode_u16()[0][0].tolist() == [5, 6]
    assert e.bit_count() == 39


def test_clone_is_independent():
    e = secded.encode_f32([np.array([1.0, 2.0], np.float32)], 32)
    c = e.clone()
    assert type(c) is Encoding and c is not e and c.bit_count() == e.bit_count()
    e.apply_faults([(Fault.flip(), 3), (Fault.flip(), 5)])
    assert c.decode_f32()[1] == [True, True]
    c.apply_fault(Fault.flip(), 0)
    assert e.decode_f32()[1] == [False, True]
    assert c.decode_f32()[1] == [False, True]
    assert c.decode_f32()[0][0].tolist() == [1.0, 2.0]
    assert e.decode_f32()[0][0].view(np.uint32).tolist() == [0x3F800003, 0x40000000]


# ---- faults: bounds, atomicity ----


def test_fault_targets_are_checked_before_any_change():
    e = secded.encode_f32([np.array([1.0, 2.0, 3.0], np.float32)], 40)
    with pytest.raises(IndexError) as info:
        e.apply_faults([(Fault.flip(), 3), (Fault.flip(), 141), (Fault.flip(), 10**6)])
    assert str(info.value) == "target_bit 141 is out of bounds"
    assert not getattr(info.value, "__notes__", None)
    with pytest.raises(IndexError, match=r"^target_bit 18446744073709551615 is out of bounds$"):
        e.apply_fault(Fault.stuck_at_1(), 2**64 - 1)
    e.apply_faults([])
    e.apply_fault(Fault.flip(), 140)  # the last bit is a valid target
    arrays, flags = e.decode_f32()
    assert arrays[0].tolist() == [1.0, 2.0, 3.0] and flags == [True, True, True]


# ---- errors, messages and notes ----


@pytest.mark.parametrize("suffix", DTYPE)
@pytest.mark.parametrize(
    "arrays, d, message",
    [
        ([], 8, "Cannot chunk an empty buffer"),
        ([], 0, "Cannot chunk an empty buffer"),
        ("empties", 8, "Cannot chunk an empty buffer"),
        ("one", 0, "The chunk size has to be non-zero"),
        ("one", 2**64 - 1, "bits_per_chunk 18446744073709551615 is too large"),
    ],
)
def test_value_errors(suffix, arrays, d, message):
    t = DTYPE[suffix]
    if arrays == "empties":
        arrays = [np.zeros(0, t), np.zeros((2, 0), t)]
    elif arrays == "one":
        arrays = [np.zeros(1, t)]
    with pytest.raises(ValueError) as info:
        encode(suffix, arrays, d)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


def _gen():
    yield np.zeros(1, np.float32)


@pytest.mark.parametrize(
    "input, d, exc, message, param",
    [
        ("abc", 8, TypeError, "Can't extract `str` to `Vec`", "input"),
        (None, 8, TypeError, "'None' is not an instance of 'Sequence'", "input"),
        (_gen(), 8, TypeError, "'generator' object is not an instance of 'Sequence'", "input"),
        ([np.zeros(1, np.float64)], 8, TypeError, "'ndarray' object is not an instance of 'ndarray'", "input"),
        ([np.zeros(1, ">f4")], 8, TypeError, "'ndarray' object is not an instance of 'ndarray'", "input"),
        ([None], 8, TypeError, "'None' is not an instance of 'ndarray'", "input"),
        (np.zeros(2, np.float32), 8, TypeError, "'float32' object is not an instance of 'ndarray'", "input"),
        ([np.zeros(1, np.float32)], -1, OverflowError, "can't convert negative int to unsigned", "bits_per_chunk"),
        ([np.zeros(1, np.float32)], 2**64, OverflowError, "int too big to convert", "bits_per_chunk"),
        ([np.zeros(1, np.float32)], 8.0, TypeError, "'float' object cannot be interpreted as an integer",
         "bits_per_chunk"),
    ],
)
def test_encode_conversion_errors_carry_a_note(input, d, exc, message, param):
    with pytest.raises(exc) as info:
        secded.encode_f32(input, d)
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_bits_per_chunk_accepts_index_objects():
    class Eight:
        def __index__(self):
            return 8

    e = secded.encode_u16(input=[np.array([1], np.uint16)], bits_per_chunk=Eight())
    assert e.bit_count() == 26


@pytest.mark.parametrize(
    "call, exc, message, param",
    [
        (lambda e: e.apply_fault(None, 0), TypeError, "'None' is not an instance of 'Fault'", "fault"),
        (lambda e: e.apply_fault(1, 0), TypeError, "'int' object is not an instance of 'Fault'", "fault"),
        (lambda e: e.apply_fault(Fault.flip(), -1), OverflowError, "can't convert negative int to unsigned",
         "target_bit"),
        (lambda e: e.apply_fault(Fault.flip(), "3"), TypeError, "'str' object cannot be interpreted as an integer",
         "target_bit"),
        (lambda e: e.apply_faults("ab"), TypeError, "Can't extract `str` to `Vec`", "faults"),
        (lambda e: e.apply_faults(iter([])), TypeError, "'list_iterator' object is not an instance of 'Sequence'",
         "faults"),
        (lambda e: e.apply_faults([(Fault.flip(), 0), [Fault.flip(), 1]]), TypeError,
         "'list' object is not an instance of 'tuple'", "faults"),
        (lambda e: e.apply_faults([(Fault.flip(), 0, 1)]), ValueError,
         "expected tuple of length 2, but got tuple of length 3", "faults"),
        (lambda e: e.apply_faults([(Fault.flip(), 0), (Fault.flip(), -1)]), OverflowError,
         "can't convert negative int to unsigned", "faults"),
    ],
)
def test_fault_conversion_errors_carry_a_note_and_change_nothing(call, exc, message, param):
    e = secded.encode_f32([np.array([1.0], np.float32)], 32)
    with pytest.raises(exc) as info:
        call(e)
    assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]
    arrays, flags = e.decode_f32()
    assert arrays[0].tolist() == [1.0] and flags == [True]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: secded.encode_f32([]), "encode_f32() missing 1 required positional argument: 'bits_per_chunk'"),
        (lambda: secded.encode_u16(), "encode_u16() missing 2 required positional arguments: 'input' and "
         "'bits_per_chunk'"),
        (lambda: secded.encode_u16([], 1, 2), "encode_u16() takes 2 positional arguments but 3 were given"),
        (lambda: secded.encode_f32([], chunk=1), "encode_f32() got an unexpected keyword argument 'chunk'"),
        (lambda: secded.encode_f32([], 8, input=[]), "encode_f32() got multiple values for argument 'input'"),
        (lambda e: e.apply_fault(Fault.flip()), "Encoding.apply_fault() missing 1 required positional argument: "
         "'target_bit'"),
        (lambda e: e.apply_faults([], []), "Encoding.apply_faults() takes 1 positional arguments but 2 were given"),
        (lambda e: e.apply_faults(fault=[]), "Encoding.apply_faults() got an unexpected keyword argument 'fault'"),
        (lambda e: e.decode_f32(1), "Encoding.decode_f32() takes no arguments (1 given)"),
        (lambda e: e.bit_count(x=1), "Encoding.bit_count() takes no keyword arguments"),
    ],
)
def test_binding_messages(call, message):
    e = secded.encode_f32([np.array([1.0], np.float32)], 32)
    with pytest.raises(TypeError) as info:
        call(e) if call.__code__.co_argcount else call()
    assert str(info.value) == message


def test_keyword_arguments():
    e = secded.encode_f32(bits_per_chunk=32, input=[np.array([1.0], np.float32)])
    e.apply_fault(target_bit=0, fault=Fault.flip())
    e.apply_faults(faults=[(Fault.flip(), 0)])
    assert e.decode_f32()[1] == [True]


# ---- shared and exclusive access ----


class CallingBack:
    """A sequence of faults whose item access runs `hook` first."""

    def __init__(self, hook, items):
        self.hook, self.items = hook, items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.hook()
        return self.items[i]


@pytest.mark.parametrize(
    "hook, message",
    [
        (lambda e: e.bit_count(), "Already mutably borrowed"),
        (lambda e: e.decode_f32(), "Already mutably borrowed"),
        (lambda e: e.clone(), "Already mutably borrowed"),
        (lambda e: e.apply_fault(Fault.flip(), 0), "Already borrowed"),
        (lambda e: e.apply_faults([]), "Already borrowed"),
    ],
)
def test_calling_back_into_the_object_while_faults_are_converted(hook, message):
    e = secded.encode_f32([np.array([1.0, 2.0], np.float32)], 32)
    faults = CallingBack(lambda: hook(e), [(Fault.flip(), 3), (Fault.flip(), 5)])
    with pytest.raises(RuntimeError) as info:
        e.apply_faults(faults)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'faults'"]
    # Nothing applied, and the object is not left locked.
    assert e.bit_count() == 78
    assert e.decode_f32()[1] == [True, True]
    e.apply_faults([(Fault.flip(), 3), (Fault.flip(), 5)])
    assert e.decode_f32()[1] == [False, True]


def test_calling_back_through_target_bit():
    e = secded.encode_u16([np.array([1, 2], np.uint16)], 16)

    class Reentrant:
        def __index__(self):
            return e.bit_count() - 1

    with pytest.raises(RuntimeError) as info:
        e.apply_fault(Fault.flip(), Reentrant())
    assert str(info.value) == "Already mutably borrowed"
    assert info.value.__notes__ == ["while processing 'target_bit'"]
    other = e.clone()

    class Elsewhere:
        def __index__(self):
            return other.bit_count() // 2  # another object: allowed; the parity bit of chunk 1

    e.apply_fault(Fault.flip(), Elsewhere())
    assert e.decode_u16()[1] == [True, False]


# ---- docs ----

APPLY_FAULTS_DOC = (
    "Apply multiple faults at once.\n\n"
    "This is much cheaper than calling `apply_fault` in a loop: the whole\n"
    "encoded buffer is round-tripped through Python objects (`to_rust`/\n"
    "`from_rust`) exactly once for the batch instead of once per fault,\n"
    "even though flipping a single bit is itself O(1)."
)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("decode_f32", "($self)", "Decode a list of float32 values."),
        ("decode_u16", "($self)", None),
        ("apply_fault", "($self, fault, target_bit)", None),
        ("apply_faults", "($self, faults)", APPLY_FAULTS_DOC),
        ("clone", "($self)", "Return a new instance with cloned data."),
        ("bit_count", "($self)", None),
    ],
)
def test_method_docs(name, signature, doc):
    method = getattr(Encoding, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("suffix, what", [("f32", "32 bit floats"), ("u16", "16 bit unsigned integers")])
def test_encode_docs(suffix, what):
    assert getattr(secded, f"encode_{suffix}").__doc__ == (
        f"Encode a all bits of a buffer of {what}.\n\n"
        "Returns a tuple containing:\n"
        "- A uint8 array with the encoded bits\n"
        "- The number of useful bits in the encoded buffer\n\n"
        "These need to be given to the decoding function to restore the original representation."
    )


def test_instances_have_no_dict_and_cannot_be_copied_by_python():
    import copy
    import pickle

    e = secded.encode_u16([np.zeros(1, np.uint16)], 8)
    assert repr(e).startswith("<builtins.Encoding object at 0x")
    with pytest.raises(AttributeError):
        e.__dict__
    for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            attempt(e)


# ---- differential against the model ----


@st.composite
def scenarios(draw):
    suffix = draw(st.sampled_from(["f32", "u16"]))
    w = WIDTH[suffix]
    sizes = draw(st.lists(st.integers(0, 4), min_size=1, max_size=3).filter(any))
    arrays = [
        np.array(draw(st.lists(st.integers(0, 2**w - 1), min_size=k, max_size=k)), UINT[suffix]).view(DTYPE[suffix])
        for k in sizes
    ]
    d = draw(st.integers(1, 200))
    total = -(-sum(sizes) * w // d) * codeword_bits(d)
    fault = st.tuples(st.sampled_from(sorted(KINDS)), st.integers(0, total - 1))
    # Small batches keep single, correctable errors common; long ones pass the same bits repeatedly.
    batches = draw(st.lists(st.one_of(st.lists(fault, max_size=3), st.lists(fault, max_size=40)), max_size=3))
    return suffix, arrays, d, batches


def assert_decodes_like(e, model, suffix):
    expected = model.decode(suffix)
    if expected is None:
        with pytest.raises(BaseException, match="these must match"):
            decode(e, suffix)
        return
    arrays, flags = decode(e, suffix)
    assert flags == expected[1]
    assert [a.view(UINT[suffix]).tolist() for a in arrays] == [a.tolist() for a in expected[0]]


@settings(max_examples=1000, deadline=None)
@given(scenarios())
def test_against_the_model(scenario):
    suffix, arrays, d, batches = scenario
    e = encode(suffix, arrays, d)
    model = Model(arrays, suffix, d)
    assert e.bit_count() == len(model.bits)
    if len(model.bits) <= 400:
        assert [read_codeword_bit(e, g, model.n) for g in range(len(model.bits))] == model.bits
    for i, batch in enumerate(batches):
        if len(batch) == 1 and i % 2:
            e.apply_fault(KINDS[batch[0][0]](), batch[0][1])
        else:
            e.apply_faults([(KINDS[kind](), g) for kind, g in batch])
        for kind, g in batch:
            model.apply(kind, g)
    for out in ("f32", "u16"):
        assert_decodes_like(e, model, out)
