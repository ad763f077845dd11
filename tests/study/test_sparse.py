"""The sparse trial path gives exactly what the dense reference gives."""

import numpy as np
import pytest

from corvane import Campaign, StudyError, WeightSet
from corvane.native import engine
from corvane.protections import parse_protection

from weightsets import tiny

needs_engine = pytest.mark.skipif(engine is None, reason="the native engine is not built")


def rows(campaign):
    return [{k: v for k, v in r.as_row().items() if k != "seconds"} for r in campaign.run().records]


def both(ws, protections, **kw):
    dense = rows(Campaign(ws, protections, dense=True, **kw))
    sparse = rows(Campaign(ws, protections, **kw))
    assert sparse == dense
    return dense


def special_values(storage):
    """Patterns that decode to NaN, infinities, subnormals and signed zeros."""
    if storage == "float32":
        v = np.array([np.nan, np.inf, -np.inf, 1e-45, -0.0, 0.0, 3e38, -2.5], np.float32)
    else:
        v = np.array([np.nan, np.inf, -np.inf, 6e-8, -0.0, 0.0, 65504, -2.5], np.float16)
    return np.tile(v, 40)


@pytest.mark.parametrize("kind", ["flip", "stuck-at-0", "stuck-at-1"])
@pytest.mark.parametrize("storage", ["float32", "float16", "bfloat16", "int8"])
def test_inplace_protections_sparse_equals_dense(storage, kind):
    ws = tiny(storage, sizes=(500, 3, 129))
    out = both(ws, ["none", "cep:D3P1", "cep:D7P1", "cep:D15P1", "mset", "clip", "cep:D7P1+clip", "mset+clip"],
               rates=[1e-3, 5e-2, 1.0], trials=3, seed=4, kind=kind)  # fmt: skip
    assert any(r["values_changed"] for r in out)
    if storage != "int8" and kind == "flip":  # the codes' own counters came out of both paths alike, not all zero
        for counter in ("groups_zeroed", "groups_zeroed_intact", "groups_undetected", "votes_changed", "votes_failed"):
            assert any(r[counter] for r in out), counter


@pytest.mark.parametrize("storage", ["float32", "float16"])
def test_special_values_sparse_equals_dense(storage):
    ws = WeightSet.from_arrays([("w", special_values(storage))])
    out = both(ws, ["none", "cep:D3P1", "mset", "clip", "cep:D3P1+clip"], rates=[1e-2, 0.2], trials=4, seed=2)
    assert any(r["nonfinite"] for r in out)
    assert any(r["values_clamped"] for r in out)


def test_sparse_evaluate_sees_full_weights_and_restores_them():
    ws = tiny("float32", sizes=(64, 64))
    seen = []

    def evaluate(arrays):
        seen.append(np.concatenate([a.ravel() for a in arrays.values()]).copy())
        return float(np.nansum(np.abs(seen[-1].astype(np.float64))))

    both(ws, ["none", "mset"], rates=[1e-2], trials=3, seed=1, evaluate=evaluate)
    half = len(seen) // 2
    for d, s in zip(seen[:half], seen[half:]):
        assert np.array_equal(d.view(np.uint32), s.view(np.uint32))


def test_evaluate_may_not_write_into_the_weights():
    def vandal(arrays):
        next(iter(arrays.values()))[0] = 1.0
        return 0.0

    with pytest.raises(StudyError, match="the evaluate function raised ValueError"):
        Campaign(tiny("float32"), ["none"], counts=[1], trials=1, evaluate=vandal).run()


@needs_engine
@pytest.mark.parametrize("kind", ["flip", "stuck-at-0", "stuck-at-1"])
@pytest.mark.parametrize("storage", ["float32", "float16", "uint8"])
@pytest.mark.parametrize("d", [1, 7, 16, 36, 64, 100, 1000, 4096])
def test_secded_sparse_equals_dense(storage, kind, d):
    ws = tiny(storage, sizes=(301, 7, 64))  # odd byte count: a pad byte for 8-bit data
    out = both(ws, [f"secded:{d}"], rates=[1e-3, 3e-2, 0.3, 1.0], trials=3, seed=d, kind=kind)
    # At d = 4096 the data fill three chunks and the lowest rate already puts
    # about four faults in each, so no chunk is left with one to correct.
    assert any(r["chunks_corrected"] for r in out) or d == 4096


@needs_engine
@pytest.mark.parametrize("kind", ["flip", "stuck-at-1"])
@pytest.mark.parametrize("storage", ["float32", "float16", "bfloat16"])
@pytest.mark.parametrize("d", [7, 36, 64])
def test_clip_after_secded_sparse_equals_dense(storage, kind, d):
    ws = tiny(storage, sizes=(301, 7, 64))
    out = both(ws, [f"secded:{d}+clip"], rates=[1e-3, 3e-2, 0.3], trials=3, seed=d, kind=kind)
    assert any(r["values_clamped"] for r in out) and any(r["chunks_corrected"] for r in out)


@needs_engine
def test_secded_sparse_faults_in_check_parity_fill_bits_and_last_chunk():
    ws = WeightSet.from_arrays([("w", np.arange(1, 6, dtype=np.float32))])  # 160 bits: last of 3 chunks partial
    out = both(ws, ["secded:64", "secded-pc:64"], counts=[1, 2, 3, 20, 100, 216], trials=25, seed=3)
    assert {r["outcome"] for r in out} >= {"masked", "due", "false_due"}
    assert any(r["chunks_flagged_intact"] for r in out) and any(r["chunks_multi_hit"] for r in out)


@needs_engine
def test_secded_decoder_changing_only_the_pad_byte_counts_as_corrected():
    # Many faults per 7-bit chunk: now and then the decoder's wrong correction lands
    # in the pad byte alone, and the values come out as stored.
    ws = tiny("uint8", sizes=(31, 6))
    out = both(ws, ["secded:7", "secded-pc:7"], counts=[150], trials=30, seed=1)
    assert any(r["chunks_miscorrected"] for r in out)


@pytest.mark.parametrize("name,limit", [("none", 4e-3), ("cep:D3P1", 4e-3), ("mset", 4e-3), ("secded:16", None)])
def test_each_trial_takes_the_cheaper_path_by_its_fault_count(monkeypatch, name, limit):
    from corvane.protections.plain import PlainStored
    from corvane.protections.secded import SecdedStored

    ws = tiny("float32", sizes=(3000, 500))
    campaign = Campaign(ws, [name], counts=[1, 40, 2000], trials=2, seed=6)
    prepared = campaign.spec().prepare(campaign.protections[0])
    if limit is None:  # decoding only the hit chunks is the cheaper at every fault count
        assert not any(prepared.takes_dense(c) for c in (1, 2000, prepared.site_count))
        paths = ["sparse"] * 6
    else:
        edge = int(limit * prepared.site_count)
        assert [prepared.takes_dense(c) for c in (1, edge, edge + 1)] == [False, False, True]
        assert edge < 2000
        paths = ["sparse"] * 4 + ["dense"] * 2
    taken = []
    for cls in (PlainStored, SecdedStored):
        for path in ("dense", "sparse"):
            monkeypatch.setattr(cls, path, lambda self, *a, _p=path, _f=getattr(cls, path): taken.append(_p) or _f(self, *a))
    chosen = rows(campaign)
    assert taken == paths
    taken.clear()
    assert rows(Campaign(ws, [name], counts=[1, 40, 2000], trials=2, seed=6, dense=True)) == chosen
    assert set(taken) == {"dense"}


def _rewrites(weights):
    # A user's function that makes its arrays writeable again and writes into them.
    for a in weights.values():
        try:
            a.flags.writeable = True
            a[...] = 0
        except ValueError:
            pass
    return _reads(weights)


def _reads(weights):
    return float(sum(np.nansum(np.abs(a.astype(np.float64))) for a in weights.values()))


@pytest.mark.parametrize("dense", [False, True])
@pytest.mark.parametrize("storage", ["float32", "bfloat16"])
def test_an_evaluate_that_makes_its_arrays_writeable_cannot_change_later_trials(storage, dense):
    kw = dict(rates=[1e-3, 1e-2], trials=3, seed=6, dense=dense)
    names = ["none", "secded:64", "mset"] if storage == "float32" else ["none", "mset"]
    honest = Campaign(tiny(storage), names, evaluate=_reads, **kw).run()
    ws = tiny(storage)
    before = [t.patterns.copy() for t in ws.tensors]
    vandal = Campaign(ws, names, evaluate=_rewrites, **kw).run()
    strip = lambda rs: [{k: v for k, v in r.as_row().items() if k != "seconds"} for r in rs]  # noqa: E731
    assert strip(vandal.records) == strip(honest.records)
    assert all(np.array_equal(b, t.patterns) for b, t in zip(before, ws.tensors))


@needs_engine
@pytest.mark.parametrize("storage", ["float32", "float16", "uint8"])
@pytest.mark.parametrize("name", ["none", "mset", "cep:D7P1", "secded:7", "secded:36", "secded-pc:100", "secded:64"])
@pytest.mark.parametrize("kind", ["flip", "stuck-at-1"])
def test_sparse_trials_in_many_small_blocks_equal_dense(monkeypatch, storage, name, kind):
    # Real trials work through their sites a block at a time; blocks of a few sites make every trial here cross
    # many block ends (a value spanning two chunks, the pad byte, a tensor boundary).
    import corvane.protections.plain as plain
    import corvane.protections.secded as secded

    monkeypatch.setattr(plain, "SITES_BLOCK", 5)
    monkeypatch.setattr(secded, "SITES_BLOCK", 5)
    ws = tiny(storage, sizes=(301, 7, 64))
    if not parse_protection(name).accepts(ws.tensors[0].storage):
        pytest.skip(f"{name} does not take {storage}")
    out = both(ws, [name], counts=[3, 40, 400], trials=4, seed=9, kind=kind)
    assert any(r["values_changed"] for r in out)
