"""Expected campaign outcomes against enumeration, exact integer counts and the real codecs."""

import itertools
import math
from fractions import Fraction

import numpy as np
import pytest

from corvane import _rust
from corvane import expectations as ex
from corvane._rust import Fault, Picker, cep, mset, secded
from corvane.errors import StudyError

SECDED_KEYS = ("p_flag", "p_due", "p_false_due", "p_masked", "p_sdc", "p_chunk_with_two_or_more_faults",
               "chunks_flagged", "chunks_miscorrected", "chunks_corrected", "chunks_multi_hit",
               "chunks_flagged_intact", "p_silent")


def data_positions(n):
    return [p for p in range(3, n) if p & (p - 1)]


class Stored:
    """SEC-DED stored forms of storage groups (one Encoding each), fault sites numbered across them."""

    def __init__(self, arrays, d):
        self.d, self.n = d, d + ex.check_bits(d) + 1
        self.parts = []
        for values in arrays:
            pad = values.size % 2 if values.dtype == np.uint8 else 0
            stream = np.concatenate([values, np.zeros(pad, np.uint8)]).view(np.uint16) if pad else values.view(
                np.uint16 if values.dtype == np.uint8 else values.dtype)
            f32 = values.dtype == np.float32
            enc = (secded.encode_f32 if f32 else secded.encode_u16)([stream], d)
            real = values.size * values.dtype.itemsize * 8
            pos = data_positions(self.n)
            skip = {t // d * self.n + pos[t % d] for t in range(real, real + 8 * pad)}
            sites = np.array([g for g in range(enc.bit_count()) if g not in skip])
            self.parts.append((enc, f32, sites, np.unpackbits(stream.view(np.uint8), bitorder="little")[:real]))
        self.bounds = np.cumsum([0] + [p[2].size for p in self.parts])
        self.sites = int(self.bounds[-1])

    def trial(self, picked, decoder):
        """(flagged, data wrong) of every hit chunk, flagged as ``decoder`` would flag it."""
        states = []
        picked = np.asarray(picked, dtype=np.int64)
        for i, (enc, f32, sites, bits) in enumerate(self.parts):
            g = sites[picked[(picked >= self.bounds[i]) & (picked < self.bounds[i + 1])] - self.bounds[i]]
            if g.size == 0:
                continue
            work = enc.clone()
            work.apply_faults([(Fault.flip(), int(x)) for x in g])
            arrays, flags = work.decode_f32() if f32 else work.decode_u16()
            got = np.unpackbits(arrays[0].view(np.uint8), bitorder="little")[: bits.size]
            wrong = set((np.flatnonzero(got != bits) // self.d).tolist())
            for c in np.unique(g // self.n).tolist():
                pos = g[g // self.n == c] % self.n
                flagged = not flags[c]
                if decoder == "parity" and pos.size % 2 and np.bitwise_xor.reduce(pos) == 0:
                    flagged = False  # a lone parity error: both decoders leave the data as stored
                states.append((flagged, c in wrong, pos.size))
        return states


def tally(stored, picks, decoder):
    """Per trial: the outcome indicators and chunk counts the expectations predict."""
    rows = []
    for picked in picks:
        states = stored.trial(picked, decoder)
        flagged = [w for f, w, _ in states if f]
        wrong = any(w for _, w, _ in states)
        rows.append({
            "p_flag": bool(flagged), "p_due": any(flagged), "p_false_due": bool(flagged) and not any(flagged),
            "p_masked": not flagged and not wrong, "p_sdc": not flagged and wrong,
            "p_chunk_with_two_or_more_faults": any(h > 1 for _, _, h in states),
            "chunks_flagged": len(flagged),
            "chunks_miscorrected": sum(w and not f for f, w, _ in states),
            "chunks_corrected": sum(not f and not w for f, w, _ in states),
            "chunks_multi_hit": sum(h > 1 for _, _, h in states),
            "chunks_flagged_intact": sum(f and not w for f, w, _ in states),
            "p_silent": any(w and not f for f, w, _ in states),
        })
    return rows


def make_stored(layout, d):
    rng = np.random.default_rng(7)
    arrays = [rng.integers(0, 2**16, n).astype(np.uint16) if kind == "u16" else
              rng.integers(0, 256, n).astype(np.uint8) if kind == "u8" else
              rng.normal(0, 1, n).astype(np.float32) for kind, n in layout]
    groups = [(a.size, a.dtype.itemsize * 8, 8 * (a.size % 2) if a.dtype == np.uint8 else 0) for a in arrays]
    return Stored(arrays, d), groups


def column(rows, key):
    return np.array([r[key] for r in rows], dtype=np.float64)


@pytest.mark.parametrize("layout,d,most", [
    ([("u16", 1)], 5, 3),             # partial last chunk with fill
    ([("u8", 1)], 4, 4),              # 8-bit data with the pad byte
    ([("u8", 3), ("u16", 1)], 6, 2),  # two groups, each with its own last chunk
    ([("f32", 1)], 16, 2),
])
@pytest.mark.parametrize("decoder", ["strict", "parity"])
def test_secded_equals_enumeration_of_the_codec(layout, d, most, decoder):
    stored, groups = make_stored(layout, d)
    for f in range(most + 1):
        rows = tally(stored, itertools.combinations(range(stored.sites), f), decoder)
        got = ex.secded_expectations(groups, d, f, decoder)
        for key in SECDED_KEYS:
            assert got[key] == pytest.approx(column(rows, key).mean(), abs=1e-12), (f, key)


def batched(stored, picks, width):
    """One copy of the stored words per trial, each trial's sites moved to its own copy."""
    picks = np.asarray(picks, dtype=np.int64)
    work = np.tile(stored, len(picks))
    offsets = np.arange(len(picks))[:, None] * (stored.size * width)
    faults = [(Fault.flip(), int(g)) for g in (picks + offsets).ravel()]
    (_rust.list_of_array_faults_u16 if width == 16 else _rust.list_of_array_faults_f32)([work], faults)
    return work.reshape(len(picks), stored.size)


def cep_observed(picks, width, scheme, data_bits):
    """Per trial and parity group: (zeroed, undetected, a source flipped), seen on the codec.

    The same faults go into two stored forms, sources all 1 and all 0: the
    decoder's zeroing changes the faulted sources in at least one of them.
    """
    sch = getattr(cep.Scheme, scheme)
    u, dt = (np.uint16, np.uint16) if width == 16 else (np.uint32, np.float32)
    m = width // (data_bits + 1)
    src = np.array([[width - 1 - data_bits * g - k for k in range(data_bits)] for g in range(m)], dtype=u)
    zeroed = undetected = flipped = 0
    for fill in (np.iinfo(u).max, 0):
        stored = np.array([fill] * 2, u).view(dt)
        (cep.encode_u16 if width == 16 else cep.encode_f32)(stored, sch)
        faulted = batched(stored, picks, width)
        decoded = faulted.copy()
        (cep.decode_u16 if width == 16 else cep.decode_f32)(decoded.reshape(-1), sch)

        def sources(a):
            return (a.view(u)[..., None, None] >> src) & 1

        zeroed = zeroed | (sources(decoded) != sources(faulted)).any(axis=3)
        undetected = undetected | (sources(decoded) != sources(stored)).any(axis=3)
        flipped = flipped | (sources(faulted) != sources(stored)).any(axis=3)
    return zeroed, undetected & ~zeroed, flipped


@pytest.mark.parametrize("scheme,data_bits", [("D3P1", 3), ("D7P1", 7), ("D15P1", 15)])
def test_cep_equals_enumeration_of_the_codec(scheme, data_bits):
    for f in (1, 2, 3, 4):
        zeroed, undetected, flipped = cep_observed(list(itertools.combinations(range(32), f)), 16, scheme, data_bits)
        got = ex.cep_expectations([(2, 16)], scheme, f)
        any_zeroed, any_undetected = zeroed.any(axis=(1, 2)), undetected.any(axis=(1, 2))
        due = (zeroed & flipped).any(axis=(1, 2))
        observed = {
            "groups_zeroed": zeroed.sum(axis=(1, 2)), "p_any_zeroed": any_zeroed,
            "groups_zeroed_intact": (zeroed & ~flipped).sum(axis=(1, 2)),
            "groups_undetected": undetected.sum(axis=(1, 2)), "p_undetected": any_undetected,
            "p_due": due, "p_false_due": any_zeroed & ~due,
            "p_masked": ~any_zeroed & ~any_undetected, "p_sdc": ~any_zeroed & any_undetected,
        }  # fmt: skip
        for key, seen in observed.items():
            assert got[key] == pytest.approx(seen.mean(), abs=1e-12), (f, key)


def mset_observed(stored, picks, width):
    """Per trial and value: (vote failed, vote changed the stored bit, value decoded changed), seen on the codec."""
    u = np.uint16 if width == 16 else np.uint32
    top = width - 2
    decode = mset.decode_u16 if width == 16 else mset.decode_f32
    faulted = batched(stored, picks, width)
    decoded = faulted.copy()
    decode(decoded.reshape(-1))
    clean = stored.copy()
    decode(clean)

    def bit(a):
        return (a.view(u) >> top) & 1

    return bit(decoded) != bit(stored), bit(decoded) != bit(faulted), decoded.view(u) != clean.view(u)


@pytest.mark.parametrize("f", [0, 1, 2, 3, 4])
def test_mset_and_none_equal_enumeration(f):
    stored = np.array([0x4000, 0x1234], np.uint16)
    mset.encode_u16(stored)
    picks = list(itertools.combinations(range(32), f))
    failed, changed, values = mset_observed(stored, np.array(picks).reshape(len(picks), f), 16)
    got = ex.mset_expectations([(2, 16)], f)
    assert got["p_masked"] == pytest.approx((~values.any(axis=1)).mean(), abs=1e-12)
    assert got["votes_failed"] == pytest.approx(failed.sum(axis=1).mean(), abs=1e-12)
    assert got["p_vote_failed"] == pytest.approx(failed.any(axis=1).mean(), abs=1e-12)
    assert got["votes_changed_bit"] == pytest.approx(changed.sum(axis=1).mean(), abs=1e-12)
    assert got["p_vote_changed_bit"] == pytest.approx(changed.any(axis=1).mean(), abs=1e-12)
    # Unprotected: one 16-bit value and two 8-bit ones over the same 32 sites.
    value = np.r_[np.zeros(16, int), np.repeat([1, 2], 8)]
    plain = ex.none_expectations([(1, 16), (2, 8)], f)
    assert plain["values_changed"] == pytest.approx(np.mean([len(set(value[list(p)])) for p in picks]), abs=1e-12)
    assert plain["p_any_value_changed"] == (1.0 if f else 0.0)


# ---- exact integer counts at sizes enumeration cannot reach ----------------------------------


def poly_mul(a, b, top):
    out = [0] * min(top + 1, len(a) + len(b) - 1)
    for i, x in enumerate(a):
        if x:
            for j, y in enumerate(b[: len(out) - i]):
                out[i + j] += x * y
    return out


def poly_pow(a, e, top):
    out, base = [1], a[: top + 1]
    while e:
        if e & 1:
            out = poly_mul(out, base, top)
        e >>= 1
        if e:
            base = poly_mul(base, base, top)
    return out


def exact_p_none(kinds, sites, f):
    """[z^F] prod A_t(z)^c_t (1+z)^free / C(S, F); A_t[k] = k-subsets of a unit that avoid X."""
    free = sites - sum(c * (len(a) - 1) for a, c in kinds)
    out = [math.comb(free, k) for k in range(min(free, f) + 1)]
    for a, c in kinds:
        out = poly_mul(out, poly_pow(a, c, f), f)
    return float(Fraction(out[f] if f < len(out) else 0, math.comb(sites, f)))


@pytest.mark.parametrize("decoder", ["strict", "parity"])
@pytest.mark.parametrize("f", [30, 57])
def test_secded_trial_probabilities_equal_exact_counts(decoder, f):
    # d = 4 over 1001 bytes and 500 floats: 6002 full chunks and two of pad and fill only.
    # Per-chunk counts of the subsets avoiding a set of states, by enumeration on the codec.
    one, _ = make_stored([("u8", 1)], 4)  # chunks 0, 1 full; 2, 3 pad
    got = ex.secded_expectations([(1001, 8, 8), (500, 32, 0)], 4, f, decoder)
    for key, bad in (("p_masked", lambda fl, w: fl or w), ("p_flag", lambda fl, w: fl), ("p_due", lambda fl, w: fl and w)):
        kinds = []
        for first, size, count in ((0, 8, 6002), (16, 4, 2)):
            avoid = [sum(not any(bad(fl, w) for fl, w, _ in one.trial([first + h for h in hits], decoder))
                         for hits in itertools.combinations(range(size), k)) for k in range(size + 1)]
            kinds.append((avoid, count))
        want = exact_p_none(kinds, 6002 * 8 + 2 * 4, f)
        assert (got[key] if key == "p_masked" else 1 - got[key]) == pytest.approx(want, abs=1e-13)


@pytest.mark.parametrize("values,f", [(20, 10), (20, 11), (200, 40)])
def test_parity_lattice_probabilities_equal_exact_counts(values, f):
    # P(no cep group zeroed) = P(every 4-bit group even): zero at odd F, tiny and still right at larger F.
    want = exact_p_none([([1, 0, 6, 0, 1], 8 * values)], 32 * values, f)
    model = ex.Model(32 * values, f, [ex.UnitKind(8 * values, 4, {"odd": np.arange(5) % 2 * 1.0, "even": 1 - np.arange(5) % 2})])
    assert model.p_none({"odd"}) == pytest.approx(want, rel=1e-9, abs=1e-25)


@pytest.mark.parametrize("chunks,f", [(130_000_000, 1), (130_000_000, 2), (130_000_000, 16_000), (1000, 30)])
def test_two_hits_in_a_chunk_at_scale(chunks, f):
    # No chunk with two faults: C(chunks, F) 72^F / C(72 chunks, F), a product of F ratios.
    i = np.arange(f, dtype=np.float64)
    want = math.exp(math.fsum((np.log1p(-i / chunks) - np.log1p(-i / (72 * chunks))).tolist()))
    got = ex.secded_expectations([(chunks * 2, 32, 0)], 64, f)
    assert 1 - got["p_chunk_with_two_or_more_faults"] == pytest.approx(want, abs=1e-12)


@pytest.mark.parametrize("values", [10, 312, 3125])
def test_units_among_many_free_sites_at_scale(values):
    # S = 1e10, F = 1e6: no fault among a few values' bits is C(S - 32 v, F) / C(S, F).
    sites, f = 10**10, 10**6
    want = math.exp(math.fsum(np.log1p(-32 * values / (sites - np.arange(f, dtype=np.float64))).tolist()))
    model = ex.Model(sites, f, [ex.UnitKind(values, 32, {"clean": np.eye(33)[0], "changed": 1 - np.eye(33)[0]})])
    assert model.p_none({"changed"}) == pytest.approx(want, abs=1e-12)
    assert model.expected("changed") == pytest.approx(values * (1 - (1 - f / sites) ** 32), rel=1e-6)


# ---- Monte Carlo against the codecs at full size ----------------------------------------------


def within(samples, expected, sigmas=5.0):
    """The sample mean lies within ``sigmas`` standard errors of the expectation."""
    x = np.asarray(samples, dtype=np.float64)
    return abs(x.mean() - expected) <= sigmas * max(x.std(), 1.0 / x.size) / math.sqrt(x.size)


def draws(size, f, trials):
    return np.array([[next(p) for _ in range(f)] for p in (Picker(size, seed=s) for s in range(trials))])


@pytest.mark.parametrize("decoder,false_due", [("strict", 1 / 72), ("parity", 0.0)])
def test_secded64_single_fault_at_every_site(decoder, false_due):
    stored, groups = make_stored([("f32", 64)], 64)
    rows = tally(stored, ([s] for s in range(stored.sites)), decoder)
    got = ex.secded_expectations(groups, 64, 1, decoder)
    assert got["p_false_due"] == pytest.approx(false_due, abs=1e-15)
    for key in SECDED_KEYS:
        assert got[key] == pytest.approx(column(rows, key).mean(), abs=1e-12), key


@pytest.mark.parametrize("decoder", ["strict", "parity"])
def test_secded64_partial_chunk_and_pad_monte_carlo(decoder):
    stored, groups = make_stored([("u8", 101), ("f32", 37)], 64)
    rows = tally(stored, draws(stored.sites, 6, 5000), decoder)
    got = ex.secded_expectations(groups, 64, 6, decoder)
    assert 0.2 < got["p_due"] < 0.8  # double hits are common
    for key in SECDED_KEYS:
        assert within(column(rows, key), got[key]), (key, column(rows, key).mean(), got[key])


def test_cep_and_mset_monte_carlo_float32():
    picks = draws(64, 9, 4000)
    zeroed, undetected, flipped = cep_observed(picks, 32, "D3P1", 3)
    got = ex.cep_expectations([(2, 32)], "D3P1", 9)
    assert within(zeroed.sum(axis=(1, 2)), got["groups_zeroed"])
    assert within(zeroed.any(axis=(1, 2)), got["p_any_zeroed"])
    assert within(undetected.any(axis=(1, 2)), got["p_undetected"])
    assert within((zeroed & ~flipped).sum(axis=(1, 2)), got["groups_zeroed_intact"])
    voted = np.random.default_rng(3).normal(0, 4, 24).astype(np.float32)
    mset.encode_f32(voted)
    failed, changed, values = mset_observed(voted, draws(768, 60, 4000), 32)
    got = ex.mset_expectations([(24, 32)], 60)
    assert within(~values.any(axis=1), got["p_masked"])
    assert 0.2 < got["p_vote_failed"] < 0.8
    assert within(failed.sum(axis=1), got["votes_failed"])
    assert within(failed.any(axis=1), got["p_vote_failed"])
    assert within(changed.sum(axis=1), got["votes_changed_bit"])


# ---- limits, input and sample size ------------------------------------------------------------


def test_tables_too_big_or_too_short_give_no_answer():
    got = ex.secded_expectations([(1000, 32, 0)], 2**20, 10)
    assert set(got) == {"faults", "p_chunk_with_two_or_more_faults", "chunks_multi_hit"}
    assert got["p_chunk_with_two_or_more_faults"] == 1.0
    short = ex.secded_chunk_table(64, 64, 0, 2)  # up to two hits, where three are common
    with pytest.raises(ValueError, match="stop too early"):
        ex.Model(72_000, 3000, [ex.UnitKind(1000, 72, short)])


@pytest.mark.parametrize("call", [
    lambda: ex.secded_expectations([(10, 32, 0)], 64, 10**6),
    lambda: ex.secded_expectations([(10, 32, 0)], 64, 1, decoder="lenient"),
    lambda: ex.none_expectations([(10, 32)], -1),
    lambda: ex.cep_expectations([(10, 8)], "D3P1", 1),
    lambda: ex.cep_expectations([(10, 32)], "D5P1", 1),
    lambda: ex.mset_expectations([(10, 64)], 1),
    lambda: ex.sample_size(0.0),
    lambda: ex.sample_size(0.01, confidence=1.0),
    lambda: ex.sample_size(0.01, population=0),
])
def test_bad_input_is_a_study_error(call):
    with pytest.raises(StudyError):
        call()


@pytest.mark.parametrize("margin,confidence,population,p,want", [
    (0.01, 0.95, None, 0.5, 9604),
    (0.05, 0.95, None, 0.5, 385),
    (0.01, 0.99, None, 0.5, 16588),
    (0.01, 0.95, 10_000, 0.5, 4900),
    (0.01, 0.95, 100, 0.5, 99),
    (0.02, 0.95, None, 0.1, 865),
    (0.01, 0.95, 1, 0.5, 1),
])
def test_sample_size(margin, confidence, population, p, want):
    assert ex.sample_size(margin, confidence, population, p) == want
