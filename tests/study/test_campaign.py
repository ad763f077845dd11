"""Trials against an independent computation with the native calls and plain NumPy."""

import re
from itertools import islice

import numpy as np
import pytest

import corvane._rust as rust
from corvane import Campaign, StudyError, trial_seed
from corvane.vocabulary import Count, Rate
from corvane.native import engine
from corvane.protections import Secded, SecdedStored, parse_protection
from corvane.protections.plain import cep_layout
from corvane.vocabulary import COUNTERS
from corvane.weights import WeightSet

from weightsets import tiny

FAULT = {"flip": rust.Fault.flip, "stuck-at-0": rust.Fault.stuck_at_0, "stuck-at-1": rust.Fault.stuck_at_1}


def sites_of(rec, size):
    return list(islice(rust.Picker(size, seed=rec.seed), rec.faults))


def expected_damage(ws, clean, faulted):
    """The metrics by their definitions, over whole arrays."""
    a = np.concatenate([t.values(c) for t, c in zip(ws.tensors, clean)])
    b = np.concatenate([t.values(f) for t, f in zip(ws.tensors, faulted)])
    bits = lambda x: x.view(f"u{x.dtype.itemsize}")  # noqa: E731
    changed = sum(int(np.count_nonzero(bits(c) != bits(f))) for c, f in zip(clean, faulted))
    both = np.isfinite(a) & np.isfinite(b)
    err = np.abs(b[both] - a[both])
    ref = np.isfinite(a)
    return {
        "values_changed": changed,
        "max_abs_error": err.max(initial=0.0),
        "mean_abs_error": err.sum() / both.sum(),
        "rel_l2_error": np.sqrt((err**2).sum()) / np.sqrt((a[ref] ** 2).sum()),
        "nonfinite": int(np.count_nonzero(ref & ~np.isfinite(b))),
    }


def inplace_reference(ws, name, rec):
    """Encode with the native calls, inject the recorded sites, decode: (clean, faulted), both decoded,
    and the stored form before and after the faults."""
    sfx = {"float32": "f32", "uint16": "u16", "uint8": "u8"}[ws.tensors[0].storage]
    code = None
    if name.startswith("cep:"):
        scheme = getattr(rust.cep.Scheme, name[4:])
        code = (lambda a: getattr(rust.cep, f"encode_{sfx}")(a, scheme), lambda a: getattr(rust.cep, f"decode_{sfx}")(a, scheme))
    elif name == "mset":
        code = (getattr(rust.mset, f"encode_{sfx}"), getattr(rust.mset, f"decode_{sfx}"))
    stored = [t.patterns.copy() for t in ws.tensors]
    if code:
        for s in stored:
            code[0](s)
    clean = [s.copy() for s in stored]
    work = [s.copy() for s in stored]
    total = sum(s.size for s in stored) * stored[0].dtype.itemsize * 8
    getattr(rust, f"list_of_array_faults_{sfx}")(work, [(FAULT[rec.kind](), g) for g in sites_of(rec, total)])
    before, after = [s.copy() for s in stored], [w.copy() for w in work]
    if code:
        for c, w in zip(clean, work):
            code[1](c)
            code[1](w)
    return clean, work, before, after


def words(arrays):
    return [int(x) for a in arrays for x in a.view(f"u{a.dtype.itemsize}")]


def inplace_counts(name, width, before, after, clean, decoded):
    """The decoder's counts by the codes' definitions, value by value, and whether a flag covers wrong data."""
    counts = {}
    flagged = wrong = 0
    if name.startswith("cep:"):
        n = int(name[5:].partition("P")[0])
        groups = width // (n + 1)
        zeroed = intact = undetected = 0
        for b, a in zip(words(before), words(after)):
            for g in range(groups):
                sources = sum(((b ^ a) >> (width - 1 - n * g - j)) & 1 for j in range(n))
                parity = ((b ^ a) >> (groups - 1 - g)) & 1
                if (sources + parity) % 2:
                    zeroed += 1
                    intact += sources == 0
                elif sources + parity:
                    undetected += 1
        counts = {"groups_zeroed": zeroed, "groups_zeroed_intact": intact, "groups_undetected": undetected}
        flagged, wrong = zeroed, zeroed - intact
    elif name == "mset":
        top = width - 2
        bit = lambda x: (x >> top) & 1  # noqa: E731
        pairs = list(zip(words(before), words(after), words(decoded)))
        counts = {"votes_changed": sum(bit(d) != bit(a) for _, a, d in pairs),
                  "votes_failed": sum(bit(d) != bit(b) for b, _, d in pairs)}  # fmt: skip
    return counts, flagged, wrong


@pytest.mark.parametrize("storage", ["float32", "float16", "bfloat16", "int8"])
@pytest.mark.parametrize("name", ["none", "cep:D3P1", "cep:D15P1", "mset"])
@pytest.mark.parametrize("kind", ["flip", "stuck-at-0", "stuck-at-1"])
def test_inplace_protections_match_independent_model(storage, name, kind):
    ws = tiny(storage)
    prot = parse_protection(name)
    if not prot.accepts(ws.tensors[0].storage):
        res = Campaign(ws, [name], rates=[1e-2], trials=1, seed=3, kind=kind).run()
        assert res.records == [] and not res.protections[0].applicable
        return
    res = Campaign(ws, [name], rates=[1e-3, 3e-2], trials=3, seed=3, kind=kind).run()
    assert len(res.records) == 6
    for rec in res.records:
        clean, faulted, before, after = inplace_reference(ws, name, rec)
        want = expected_damage(ws, clean, faulted)
        for k, v in want.items():
            assert getattr(rec, k) == pytest.approx(v, rel=1e-12, abs=0), (k, rec)
        counts, flagged, wrong = inplace_counts(name, clean[0].dtype.itemsize * 8, before, after, clean, faulted)
        assert {c: getattr(rec, c) for c in COUNTERS if getattr(rec, c) is not None} == counts
        if flagged:
            assert rec.outcome == ("due" if wrong else "false_due")
        else:
            assert rec.outcome == ("masked" if want["values_changed"] == 0 else "sdc")
        silent = counts.get("groups_undetected", want["values_changed"]) > 0
        assert rec.silent == silent and rec.chunks_flagged is None


@pytest.mark.parametrize("width,dtype", [(32, np.float32), (16, np.uint16)])
@pytest.mark.parametrize("scheme", ["D3P1", "D7P1", "D15P1"])
def test_cep_layout_is_the_codecs(width, dtype, scheme):
    """A lone flip of each bit makes the codec zero exactly the sources of that bit's parity group."""
    sch = getattr(rust.cep.Scheme, scheme)
    u = np.uint32 if width == 32 else np.uint16
    encode, decode = (rust.cep.encode_f32, rust.cep.decode_f32) if width == 32 else (rust.cep.encode_u16, rust.cep.decode_u16)
    stored = np.array([np.iinfo(u).max], u).view(dtype)
    encode(stored, sch)
    clean = stored.copy()
    decode(clean, sch)
    layout = cep_layout(width, int(scheme[1:].partition("P")[0]))
    for bit in range(width):
        hit = stored.copy()
        hit.view(u)[0] ^= u(1 << bit)
        decode(hit, sch)
        (group,) = [(p, src) for p, src in layout if (p | src) >> bit & 1]
        assert int(clean.view(u)[0] ^ hit.view(u)[0]) == group[1], bit


def lone_parity_errors(encoding, chunks, n):
    """The chunks whose codeword reads zero syndrome and odd parity, from its stored bits."""
    out = set()
    for c in chunks:
        bits = np.asarray(engine.encoding_bits(encoding, np.arange(c * n, (c + 1) * n, dtype=np.uint64)))
        ones = np.flatnonzero(bits)
        if np.bitwise_xor.reduce(ones, initial=0) == 0 and ones.size % 2:
            out.add(c)
    return out


@pytest.mark.skipif(engine is None, reason="reads stored bits with the native engine")
@pytest.mark.parametrize("decoder", ["secded", "secded-pc"])
@pytest.mark.parametrize("d", [8, 36, 64, 100, 1024])
@pytest.mark.parametrize("storage", ["float32", "float16", "uint8"])
def test_secded_counters_match_native_decode(d, storage, decoder):
    ws = tiny(storage, sizes=(301, 50))
    res = Campaign(ws, [f"{decoder}:{d}"], rates=[2e-3, 2e-2], trials=3, seed=11).run()
    stored = Secded(d).encode([t.patterns for t in ws.tensors], ws.tensors[0].storage)
    assert isinstance(stored, SecdedStored)
    n = stored.n
    data_pos = [p for p in range(3, n) if p & (p - 1)]
    for rec in res.records:
        sites = np.array(sites_of(rec, stored.site_count), np.uint64)
        g = stored.encoded(sites)
        e = stored.encoding.clone()
        e.apply_faults([(rust.Fault.flip(), int(x)) for x in g])
        decoded, flags = (e.decode_f32() if storage == "float32" else e.decode_u16())
        if storage == "uint8":
            stream = decoded[0].view(np.uint8)
            decoded = [stream[:301], stream[301:351]]
        original = [t.patterns for t in ws.tensors]
        want = expected_damage(ws, original, decoded)
        for k, v in want.items():
            assert getattr(rec, k) == pytest.approx(v, rel=1e-12, abs=0), k
        hit = set((g // n).tolist())
        flagged = {c for c in hit if not flags[c]}
        assert flags.count(False) == len(flagged)  # only hit chunks can be flagged
        if decoder == "secded-pc":
            flagged -= lone_parity_errors(e, flagged, n)
        # Chunks whose data differ: compare bit streams chunk by chunk.
        a = np.unpackbits(np.concatenate(original).view(np.uint8), bitorder="little")
        b = np.unpackbits(np.concatenate(decoded).view(np.uint8), bitorder="little")
        bad = set((np.flatnonzero(a != b) // d).tolist())
        # A flagged chunk is a false alarm when no stored data bit of it (within the data) changed.
        wrong = set()
        for c in flagged:
            idx = np.array([c * n + p for j, p in enumerate(data_pos) if c * d + j < a.size], np.uint64)
            if idx.size and (np.asarray(engine.encoding_bits(e, idx)) != np.asarray(engine.encoding_bits(stored.encoding, idx))).any():
                wrong.add(c)
        assert rec.chunks_flagged == len(flagged)
        assert rec.chunks_flagged_intact == len(flagged - wrong)
        assert rec.chunks_miscorrected == len(bad - flagged)
        assert rec.chunks_corrected == len(hit - flagged - bad)
        assert rec.chunks_multi_hit == sum(np.bincount((g // n).astype(np.int64)) >= 2)
        assert rec.silent == bool(bad - flagged)
        expected = ("due" if wrong else "false_due") if flagged else "masked" if not want["values_changed"] else "sdc"
        assert rec.outcome == expected
        assert rec.groups_zeroed is None and rec.votes_failed is None


@pytest.mark.parametrize("decoder", ["secded", "secded-pc"])
def test_one_fault_per_chunk_is_corrected_or_flagged_on_parity_bits_only(decoder):
    ws = WeightSet.from_arrays([("w", np.random.default_rng(5).normal(size=4000).astype(np.float32))])
    d = 64
    prot = parse_protection(f"{decoder}:{d}")
    stored = prot.encode([ws.tensors[0].patterns], "float32")
    n = stored.n
    # One fault in each of 2000 chunks, at every position of a codeword in turn.
    chunks = np.arange(2000, dtype=np.uint64)
    g = chunks * np.uint64(n) + chunks % np.uint64(n)
    campaign = Campaign(ws, [prot.name], counts=[len(g)], trials=1)
    prepared = campaign.spec().prepare(prot)
    import corvane.patterns as cmod  # where the trial draws its sites

    orig = cmod.draw_sites
    cmod.draw_sites = lambda size, seed, count: g
    try:
        rec = prepared.run(Count(len(g)), 0, 0)
    finally:
        cmod.draw_sites = orig
    assert rec.values_changed == 0
    assert rec.chunks_corrected + rec.chunks_flagged == rec.faults == 2000
    parity_hits = int(np.count_nonzero(g % np.uint64(n) == 0))
    assert rec.chunks_miscorrected == 0 and rec.chunks_multi_hit == 0 and not rec.silent
    if decoder == "secded":  # a lone parity-bit error is flagged over intact data: a false alarm
        assert rec.chunks_flagged == rec.chunks_flagged_intact == parity_hits and rec.outcome == "false_due"
    else:
        assert rec.chunks_flagged == 0 and rec.outcome == "masked"


@pytest.mark.parametrize("storage", ["float32", "uint16", "uint8"])
@pytest.mark.parametrize("d", [5, 36, 64, 257])
def test_stored_bits_agree_with_a_decode_oracle(storage, d):
    """A stuck-at-1 at g plus a flip of another data bit h in the chunk is a double error iff bit g was 0."""
    rng = np.random.default_rng(d)
    n_vals = 61
    if storage == "uint8":
        pats = [rng.integers(0, 256, n_vals).astype(np.uint8)]
    elif storage == "uint16":
        pats = [rng.integers(0, 2**16, n_vals).astype(np.uint16)]
    else:
        pats = [rng.normal(size=n_vals).astype(np.float32)]
    st = Secded(d).encode(pats, storage)
    g = np.unique(rng.integers(0, st.encoding.bit_count(), 120).astype(np.uint64))
    g = np.setdiff1d(g, st.excluded)
    ref = st.reference_stored_bits(g)
    if engine is not None:
        assert np.array_equal(np.asarray(engine.encoding_bits(st.encoding, g)), ref)
    for gi, bit in zip(g.tolist(), ref.tolist()):
        c, p = divmod(gi, st.n)
        h = 3 if p != 3 else 5
        if h >= st.n:
            continue
        e = st.encoding.clone()
        e.apply_faults([(rust.Fault.stuck_at_1(), gi), (rust.Fault.flip(), c * st.n + h)])
        _, flags = e.decode_u16()
        assert flags[c] == bool(bit), (gi, p)


def test_uint8_pad_is_never_a_fault_site():
    ws = WeightSet.from_arrays([("w", np.arange(7, dtype=np.uint8))])  # odd: one pad byte
    st = Secded(16).encode([ws.tensors[0].patterns], "uint8")
    assert st.site_count == st.encoding.bit_count() - 8 == Secded(16).stored_bits(7, "uint8")
    every = st.encoded(np.arange(st.site_count, dtype=np.uint64))
    assert np.unique(every).size == st.site_count
    assert not np.isin(every, st.excluded).any()
    # Every data position of the pad byte is excluded, and nothing else.
    assert sorted(st.excluded.tolist()) == sorted(st.encoded_index(t) for t in range(56, 64))


def test_trials_are_reproducible_and_independent_of_order():
    ws = tiny("float32")
    a = Campaign(ws, ["none", "secded:64"], rates=[1e-3, 1e-2], trials=4, seed=9).run()
    b = Campaign(ws, ["secded:64", "none"], rates=[1e-2, 1e-3], trials=4, seed=9).run()
    strip = lambda r: {k: v for k, v in r.as_row().items() if k != "seconds"}  # noqa: E731
    key = lambda r: (r.protection, r.rate, r.trial)  # noqa: E731
    assert sorted(map(strip, a.records), key=str) == sorted(map(strip, b.records), key=str)
    c = Campaign(ws, ["none", "secded:64"], rates=[1e-3, 1e-2], trials=4, seed=10).run()
    assert {key(r): r.seed for r in a.records} != {key(r): r.seed for r in c.records}
    assert trial_seed(9, "none", Rate(1e-3), 2) == next(
        r.seed for r in a.records if key(r) == ("none", 1e-3, 2)
    )


def test_rate_gives_at_least_one_fault_and_counts_are_absolute():
    ws = tiny("float32", sizes=(10,))
    res = Campaign(ws, ["none", "secded:64"], rates=[1e-9], trials=1).run()
    assert [r.faults for r in res.records] == [1, 1]
    res = Campaign(ws, ["none"], counts=[5, 320], trials=1).run()
    assert [r.faults for r in res.records] == [5, 320]
    assert res.records[1].rate == 1.0
    with pytest.raises(StudyError, match="321 faults asked of none, which stores only 320 bits"):
        Campaign(ws, ["none"], counts=[321], trials=1).run()


def test_aggregates_mean_interval_and_outcome_fractions():
    ws = tiny("float32")
    res = Campaign(ws, ["none"], rates=[1e-2], trials=5, seed=1).run()
    (agg,) = res.aggregates()
    vals = np.array([r.rel_l2_error for r in res.records])
    m = agg.metrics["rel_l2_error"]
    assert m.mean == pytest.approx(vals.mean()) and (m.n, m.nonfinite) == (5, 0)
    assert 0.0 <= m.low <= m.mean <= m.high  # an error is >= 0, and so is its interval
    assert {o: p.fraction for o, p in agg.outcomes.items()} == {"masked": 0.0, "sdc": 1.0, "due": 0.0,
                                                                 "false_due": 0.0, "any_silent": 1.0}  # fmt: skip
    assert (agg.outcomes["sdc"].low, agg.outcomes["sdc"].high) == pytest.approx((0.025 ** (1 / 5), 1.0), abs=1e-12)
    assert agg.outcomes["masked"].low == 0.0 and agg.outcomes["masked"].count == 0
    assert "chunks_flagged" not in agg.metrics and agg.events == {}
    assert agg.metrics["faults"].mean == agg.expected["faults"] == res.records[0].faults


def test_evaluate_gets_decoded_weights_in_source_dtype_and_shape():
    seen = []

    def evaluate(arrays):
        seen.append([(a.dtype.name, a.shape) for a in arrays.values()])
        return float(sum(np.nansum(a.astype(np.float64)) for a in arrays.values()))

    ws = WeightSet.from_arrays([("a", np.ones((3, 4), np.float16)), ("b", np.ones(5, np.float32))])
    res = Campaign(ws, ["none"], counts=[1], trials=2, evaluate=evaluate).run()
    assert seen[0] == [("float16", (3, 4)), ("float32", (5,))]
    assert res.baseline_metric == 17.0 and all(r.metric is not None for r in res.records)


def test_evaluate_that_raises_is_a_study_error():
    ws = tiny("float32")
    with pytest.raises(StudyError, match="the evaluate function raised ZeroDivisionError"):
        Campaign(ws, ["none"], counts=[1], trials=1, evaluate=lambda a: 1 / 0).run()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(rates=[0.0]), "rate 0.0 is outside"),
        (dict(rates=[1.5]), "rate 1.5 is outside"),
        (dict(rates=[1e-3], counts=[1]), "either rates or counts"),
        (dict(counts=[0]), "not a positive whole number"),
        (dict(rates=[1e-3], kind="bitrot"), "unknown fault kind"),
        (dict(rates=[1e-3], trials=0), "trials must be at least 1"),
    ],
)
def test_campaign_refuses_bad_arguments(kwargs, message):
    with pytest.raises(StudyError, match=message):
        Campaign(tiny("float32"), ["none"], **kwargs)


@pytest.mark.parametrize(
    "text, message",
    [
        ("secded:0", "at least 1 bit"),
        ("secded:x", "needs a chunk size"),
        ("cep:D4P1", "unknown embedded-parity scheme 'D4P1'"),
        ("hamming", "unknown protection 'hamming'"),
    ],
)
def test_bad_protection_names(text, message):
    with pytest.raises(StudyError, match=message):
        parse_protection(text)


class _NoFloat:
    def __float__(self):
        raise RuntimeError("no number here")


@pytest.mark.parametrize(
    "behaviour, message",
    [
        (lambda a: __import__("sys").exit(0), "the evaluate function raised SystemExit"),
        (lambda a: __import__("sys").exit(3), "the evaluate function raised SystemExit: 3"),
        (lambda a: 10**400, "the evaluate function returned a number too large for a float (int)"),
        (lambda a: _NoFloat(), "returned _NoFloat, not a number (RuntimeError: no number here)"),
        (lambda a: "0.5", "returned str, not a number"),
    ],
    ids=["exit-0", "exit-3", "huge-int", "float-raises", "text"],
)
@pytest.mark.parametrize("workers", [1, 2])
def test_an_evaluate_that_exits_or_returns_no_number_is_a_study_error(behaviour, message, workers):
    calls = []

    def evaluate(arrays):
        calls.append(1)
        return 1.0 if len(calls) <= 2 else behaviour(arrays)  # the baseline and the clean metric pass

    campaign = Campaign(tiny("float32"), ["none"], counts=[1], trials=4, evaluate=evaluate)
    with pytest.raises(StudyError) as caught:
        campaign.run(workers=workers)
    assert message in str(caught.value)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(rates=[1e-3], trials=10**20), "trials 100000000000000000000 is more than the 1e+09 trials"),
        (dict(rates=[1e-3] * 3, trials=10**9), "the campaign holds 3e+09 trials (1 protections x 3 fault levels"),
        (dict(rates=[1e-3] * (10**5 + 1)), "100001 fault levels are more than the 1e+05"),
        (dict(counts=[1] * (10**5 + 1)), "100001 fault levels are more than the 1e+05"),
    ],
)
def test_a_grid_no_machine_can_run_is_refused_at_once(kwargs, message):
    with pytest.raises(StudyError, match=re.escape(message)):
        Campaign(tiny("float32"), ["none"], **{"trials": 1, **kwargs})


def test_a_huge_grid_is_handed_out_as_it_runs():
    # 10^7 trials: the first ones run, and are interrupted, without a list of all of them ever being built.
    import tracemalloc

    from corvane.errors import Interrupted

    def stop_after_some(rec, seen=[]):  # noqa: B006 - a counter for this one test
        seen.append(rec)
        if len(seen) == 50:
            raise KeyboardInterrupt

    campaign = Campaign(tiny("float32"), ["none"], rates=[1e-3], trials=10**7)
    tracemalloc.start()
    try:
        with pytest.raises(Interrupted) as caught:
            campaign.run(stop_after_some)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert (caught.value.done, caught.value.total) == (50, 10**7)
    assert peak < 2**24
