"""Range restriction: what clip's decode does to the values, what it counts, and what it takes."""

import numpy as np
import pytest

from corvane import Campaign, StudyError, WeightSet
from corvane.protections import Clip, parse_protection, parse_protections
from corvane.vocabulary import FaultKind, source_dtype

from weightsets import tiny


def clamp_reference(decoded, clean, dtype):
    """The decode clamped by NumPy alone: to the fault-free values' range (NaN left out), NaN to 0."""
    dt = source_dtype(dtype)
    with np.errstate(invalid="ignore"):
        v = decoded.view(dt).astype(np.float64)
        c = clean.view(dt).astype(np.float64)
    low, high = np.nanmin(c), np.nanmax(c)
    out = np.where(np.isnan(v), 0.0, np.clip(v, low, high))
    return out.astype(dt).view(decoded.dtype), int(np.count_nonzero(np.isnan(v) | (v < low) | (v > high)))


@pytest.mark.parametrize("storage", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("inner", ["none", "cep:D7P1", "mset", "secded:36"])
def test_clip_clamps_the_inner_decode_to_each_tensors_range(storage, inner):
    ws = tiny(storage, sizes=(400, 61))
    name = "clip" if inner == "none" else f"{inner}+clip"
    clip, plain = parse_protection(name), parse_protection(inner)
    for group_tensors in [ws.tensors]:
        stored = clip.encode_tensors(group_tensors, group_tensors[0].storage)
        bare = plain.encode_tensors(group_tensors, group_tensors[0].storage)
        rng = np.random.default_rng(1)
        sites = np.unique(rng.integers(0, stored.site_count, 600)).astype(np.uint64)
        got = stored.dense(FaultKind.FLIP, sites.copy())
        ref = bare.dense(FaultKind.FLIP, sites.copy())
        clamped = 0
        for t, d, r, c in zip(group_tensors, got.decoded, ref.decoded, bare.clean):
            want, n = clamp_reference(r, c, t.dtype)
            assert np.array_equal(d.view(f"u{d.itemsize}"), want.view(f"u{d.itemsize}"))
            changed = r.view(f"u{r.itemsize}") != c.view(f"u{c.itemsize}")
            clamped += int(np.count_nonzero(changed & (clamp_reference(r, c, t.dtype)[0].view(f"u{r.itemsize}")
                                                      != r.view(f"u{r.itemsize}"))))  # fmt: skip
        assert got.counts.own["values_clamped"] == clamped > 0
        # The inner code's own counts and flags stand beside it.
        assert {k: v for k, v in got.counts.own.items() if k != "values_clamped"} == dict(ref.counts.own)
        assert (got.counts.flagged, got.counts.flagged_wrong) == (ref.counts.flagged, ref.counts.flagged_wrong)


def test_the_exponents_top_bit_is_clamped_and_nan_becomes_zero():
    w = np.array([0.5, -0.25, 0.125, 1.5], np.float32)
    ws = WeightSet.from_arrays([("w", w)])
    res = Campaign(ws, ["none", "clip"], counts=[1], trials=40, seed=1, bits="30").run()
    none, clip = ([r for r in res.records if r.protection == p] for p in ("none", "clip"))
    assert all(r.values_clamped == 1 for r in clip) and all(r.values_clamped is None for r in none)
    assert max(r.max_abs_error for r in clip) <= 1.5 - (-0.25)
    assert max(r.max_abs_error for r in none) > 1e30 or any(r.nonfinite for r in none)
    assert sum(r.nonfinite for r in clip) == 0
    # 1.5 with its exponent's top bit flipped is NaN: clip gives 0 instead.
    stored = parse_protection("clip").encode_tensors(ws.tensors, ws.tensors[0].storage)
    effect = stored.dense(FaultKind.FLIP, np.array([3 * 32 + 30], np.uint64))
    assert effect.decoded[0][3] == 0.0 and effect.counts.own["values_clamped"] == 1


def test_a_nan_in_the_fault_free_weights_is_what_clip_loses_before_any_fault():
    w = np.array([np.nan, 1.0, -2.0, np.inf], np.float32)
    res = Campaign(WeightSet.from_arrays([("w", w)]), ["clip"], counts=[1], trials=30, seed=0, bits="0").run()
    assert res.protections[0].clean.values_changed == 1  # the NaN, now 0
    # The range is [-2, inf]. Bit 0 of: NaN stays NaN (clamped to the clean decode's 0: masked); 1.0 moves
    # within range; -2.0 moves below it (clamped back: masked); inf becomes NaN (clamped to 0: changed).
    seen = {(r.values_clamped, r.values_changed, r.outcome) for r in res.records}
    assert seen == {(1, 0, "masked"), (0, 1, "sdc"), (1, 1, "sdc")}


def test_names_composition_and_what_clip_takes():
    assert parse_protection("clip").name == "clip" and parse_protection("none+clip").name == "clip"
    assert parse_protection("secded:64+clip").name == "secded:64+clip"
    assert parse_protection("MSET+Clip").name == "mset+clip"
    assert repr(parse_protection("secded:64+clip")) == "<protection secded:64+clip>"
    p = parse_protection("cep:D3P1+clip")
    assert isinstance(p, Clip) and p.stored_bits(10, "float32") == 320 and p.keeps_redundancy
    assert p.counters == (*parse_protection("cep:D3P1").counters, "values_clamped")
    assert parse_protection("secded:64+clip").stored_bits(10, "float32") == parse_protection("secded:64").stored_bits(
        10, "float32"
    )
    for text, message in [("clip+mset", "only clip follows"), ("clip+clip", "clip comes once"), ("+clip", "only clip"),
                          ("secded:x+clip", "chunk size")]:  # fmt: skip
        with pytest.raises(StudyError, match=message):
            parse_protection(text)
    with pytest.raises(StudyError, match="listed twice: clip"):
        parse_protections(["clip", "none+clip"])
    res = Campaign(tiny("int8"), ["clip", "secded:64+clip", "none"], counts=[1], trials=1).run()
    refused = [s for s in res.protections if not s.applicable]
    assert [s.name for s in refused] == ["clip", "secded:64+clip"]
    assert all("does not take uint8 data" in s.reason for s in refused)
