"""Fault patterns, chosen bits and mixed kinds: the words they are drawn over, the draws, and whole trials."""

import json
import math
from collections import Counter

import numpy as np
import pytest
from scipy.stats import chisquare

from corvane import Campaign, StudyError, WeightSet
from corvane.native import draw_sites, engine
from corvane.patterns import Layout, parse_bits, parse_kinds, parse_pattern
from corvane.protections import parse_protection
from corvane.rundir import CONFIG, TRIALS, load
from corvane.vocabulary import COLUMNS, KindMix, Pattern, Words

from weightsets import tiny

needs_engine = pytest.mark.skipif(engine is None, reason="the native engine is not built")
KINDS = ["flip", "stuck-at-0", "stuck-at-1", "flip:0.5,stuck-at-0:0.25,stuck-at-1:0.25"]


def mixed_set():
    """float16 and bfloat16 in one 16-bit group beside a float32 group, sizes that leave partial chunks."""
    import ml_dtypes

    rng = np.random.default_rng(1)
    return WeightSet.from_arrays([
        ("h", rng.normal(0, 1, 23).astype(np.float16)),
        ("f", rng.normal(0, 1, 19).astype(np.float32)),
        ("b", rng.normal(0, 1, 14).astype(ml_dtypes.bfloat16)),
    ])  # fmt: skip


def bytes_set():
    """8-bit data of three kinds, an odd byte count: SEC-DED pads it."""
    import ml_dtypes

    rng = np.random.default_rng(2)
    raw = rng.integers(0, 256, 61).astype(np.uint8)
    return WeightSet.from_arrays([
        ("i", raw[:20].view(np.int8)), ("u", raw[20:41]), ("e", raw[41:].view(ml_dtypes.float8_e4m3fn)),
    ])  # fmt: skip


def prepared(ws, name, **kw):
    campaign = Campaign(ws, [name], counts=[1], trials=1, **kw)
    return campaign.spec().prepare(parse_protection(name))


def expected_words(p):
    """Per word (keyed by its first site): all its sites and the targeted ones, from locate() site by site."""
    spec = p.spec
    tensors = p.weights.tensors
    words = {}
    for k, group in enumerate(p.groups):
        st = group.stored
        sizes = [tensors[i].size for i in group.members]
        red = p.protection.redundancy(group.storage)
        for s in range(st.site_count):
            loc = st.locate(s)
            word = (k, int(st.encoded(np.array([s], np.uint64))[0]) // st.n if hasattr(st, "n") else s // group.storage.bits)
            if spec.bits is None:
                chosen = True
            elif loc.element is None or (not hasattr(st, "n") and loc.bit in red):
                chosen = spec.bits.check
            else:
                e, i = loc.element, 0
                while e >= sizes[i]:
                    e -= sizes[i]
                    i += 1
                t = tensors[group.members[i]]
                from corvane.patterns import value_bits

                chosen = loc.bit in value_bits(spec.bits, t)
            entry = words.setdefault(word, ([], []))
            entry[0].append(p.offsets[k] + s)
            if chosen:
                entry[1].append(p.offsets[k] + s)
    return {min(a): (a, t) for a, t in words.values() if t}


def layout_words(layout):
    out = {}
    for w in layout.words:
        offsets = [o for lo, hi in zip(w.lo.tolist(), w.hi.tolist()) for o in range(lo, hi)]
        for i in range(w.count):
            first = w.base + i * w.stride
            out[first] = (list(range(first, first + w.width)), [first + o for o in offsets])
    return out


CASES = [
    (mixed_set, ["none", "cep:D7P1", "mset", "secded:1", "secded:7", "secded:36", "secded:64", "secded:1000"],
     [None, "exponent", "check", "sign,check", "0-2,9"]),
    (bytes_set, ["none", "secded:1", "secded:5", "secded:16", "secded:64", "secded:1000"], [None, "1-3,7", "check,0"]),
    (lambda: tiny("float32", sizes=(37, 20)), ["none", "cep:D3P1", "cep:D15P1", "mset", "secded:36", "secded:64"],
     [None, "mantissa", "23-30", "check", "30,check"]),
]  # fmt: skip


@pytest.mark.parametrize("make, names, specs", CASES, ids=["mixed-16-bit", "bytes", "float32"])
def test_words_match_where_every_site_lies(make, names, specs):
    ws = make()
    for name in names:
        for bits in specs:
            if bits and "check" in bits and name == "none":
                continue
            p = prepared(ws, name, bits=bits)
            want = expected_words(p)
            got = layout_words(p.layout)
            assert got == want, (name, bits)
            assert p.targeted == sum(len(t) for _, t in want.values())


def word_of(layout):
    """site -> (first site of its word, whether targeted)."""
    out = {}
    for first, (sites, chosen) in layout_words(layout).items():
        for s in sites:
            out[s] = (first, s in set(chosen))
    return out


@pytest.mark.parametrize("pattern", ["burst:2", "burst:5", "word:2", "word:9"])
@pytest.mark.parametrize("name, bits", [("secded:7", None), ("secded:36", "exponent"), ("none", "mantissa"),
                                        ("mset", "check,exponent"), ("secded:64", "check")])  # fmt: skip
def test_every_event_lies_in_one_word_on_chosen_bits_and_no_word_twice(pattern, name, bits):
    p = prepared(mixed_set(), name, bits=bits, pattern=pattern)
    pat = parse_pattern(pattern)
    where = word_of(p.layout)
    room = p.layout.capacity(pat)
    draw = p.layout.draw(pat, KindMix.of("flip"), room, seed=3)  # every word that can take one
    events = draw.sites.reshape(-1, pat.size).tolist()
    assert len(events) == room
    firsts = [where[e[0]][0] for e in events]
    assert len(set(firsts)) == room
    ends = 0
    for e in events:
        assert all(where[s] == (where[e[0]][0], True) for s in e)
        assert len(set(e)) == pat.size
        if pat.shape == "burst":
            assert e == list(range(e[0], e[0] + pat.size))
            first = where[e[0]][0]
            ends += e[-1] == max(s for s, (f, _) in where.items() if f == first)
    if pat.shape == "burst" and bits is None:
        assert ends  # some bursts end at their word's last bit


def test_single_over_every_bit_draws_the_permutation_itself():
    words = [Words(0, 32, 100, 32, np.array([0]), np.array([32])), Words(3200, 72, 9, 72, np.array([0]), np.array([72]))]
    generic = Layout(words).draw(Pattern(), KindMix.of("flip"), 500, seed=9).sites
    assert np.array_equal(generic, draw_sites(3200 + 9 * 72, 9, 500))
    assert np.array_equal(Layout(words, whole=True).draw(Pattern(), KindMix.of("flip"), 500, seed=9).sites, generic)


@pytest.mark.parametrize("width, k", [(8, 3), (8, 6), (12, 10), (18, 9)])  # one by one, or drawn again, or left out
def test_word_draws_every_subset_alike(width, k):
    layout = Layout([Words(0, width, 20000, width, np.array([0]), np.array([width]))])
    draw = layout.draw(Pattern("word", k), KindMix.of("flip"), 20000, seed=5)
    events = [tuple(int(x) % width for x in e) for e in draw.sites.reshape(-1, k).tolist()]
    assert all(len(set(e)) == k for e in events)
    pairs = Counter((a, b) for e in events for i, a in enumerate(e) for b in e[i + 1 :])
    assert len(pairs) == math.comb(width, 2) and chisquare(list(pairs.values())).pvalue > 1e-3
    if math.comb(width, k) <= 100:
        subsets = Counter(events)
        assert len(subsets) == math.comb(width, k) and chisquare(list(subsets.values())).pvalue > 1e-3


def test_burst_starts_and_mixed_kinds_are_drawn_alike():
    layout = Layout([Words(0, 10, 30000, 10, np.array([0, 6]), np.array([4, 10]))])  # two 4-bit spans per word
    mix = parse_kinds("flip:0.5,stuck-at-0:0.3,stuck-at-1:0.2")
    draw = layout.draw(Pattern("burst", 3), mix, 30000, seed=8)
    events = draw.sites.reshape(-1, 3)
    starts = Counter((events[:, 0] % 10).tolist())
    assert sorted(starts) == [0, 1, 6, 7]
    assert chisquare(list(starts.values())).pvalue > 1e-3
    kinds = draw.kinds.reshape(-1, 3)
    assert (kinds == kinds[:, :1]).all()  # one kind per event
    got = np.bincount(kinds[:, 0], minlength=3)  # engine codes: stuck-at-0, stuck-at-1, flip
    assert chisquare(got, np.array([0.3, 0.2, 0.5]) * 30000).pvalue > 1e-3
    assert parse_kinds("stuck-at-1:0.2, flip:0.5,stuck-at-0:0.3") == mix
    assert str(mix) == "flip:0.5,stuck-at-0:0.3,stuck-at-1:0.2"
    again = layout.draw(Pattern("burst", 3), mix, 30000, seed=8)
    assert np.array_equal(again.sites, draw.sites) and np.array_equal(again.kinds, draw.kinds)


def rows(campaign):
    return [{k: v for k, v in r.as_row().items() if k != "seconds"} for r in campaign.run().records]


def both(ws, protections, **kw):
    dense = rows(Campaign(ws, protections, dense=True, **kw))
    sparse = rows(Campaign(ws, protections, **kw))
    assert sparse == dense
    return dense


@needs_engine
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("storage", ["float32", "float16", "bfloat16", "uint8"])
@pytest.mark.parametrize("pattern, bits", [("single", None), ("burst:2", None), ("burst:7", None), ("word:3", None),
                                           ("word:9", None), ("single", "exponent,check"), ("burst:2", "check,0-2")])  # fmt: skip
def test_patterns_sparse_equals_dense(storage, kind, pattern, bits):
    ws = tiny(storage, sizes=(31, 6))  # odd byte count: SEC-DED's pad; partial last chunks
    if storage == "uint8" and bits:
        bits = bits.replace("exponent", "7")
    names = ["none", "secded:7", "secded:64"] if storage == "uint8" else ["none", "cep:D3P1", "mset", "secded:7", "secded:64"]
    if bits and "check" in bits:
        names.remove("none")
    out = []
    for name in names:
        # The highest level hits every word that can take an event.
        room = Campaign(ws, [name], counts=[1], pattern=pattern, bits=bits).layout(parse_protection(name)).capacity(
            parse_pattern(pattern)
        )
        if room == 0:  # word:9 on 8-bit values: refused, as tested below
            continue
        out += both(ws, [name], counts=sorted({1, min(5, room), room}), trials=2, seed=6, kind=kind, pattern=pattern,
                    bits=bits)  # fmt: skip
    assert any(r["values_changed"] for r in out)
    assert all(r["bits"] <= r["faults"] * parse_pattern(pattern).size for r in out)


@needs_engine
@pytest.mark.parametrize("pattern", ["word:2", "burst:3", "single"])
def test_patterns_over_several_groups_sparse_equals_dense(pattern):
    ws = mixed_set()
    out = both(ws, ["none", "cep:D7P1", "secded:36"], counts=[3, 30], trials=2, seed=2, pattern=pattern, bits="exponent",
               kind="flip:0.6,stuck-at-1:0.4")  # fmt: skip
    assert any(r["values_changed"] for r in out)
    out = both(bytes_set(), ["none", "secded:5"], counts=[3, 40], trials=2, seed=3, pattern=pattern,
               kind="stuck-at-0:0.5,stuck-at-1:0.5")  # fmt: skip
    assert any(r["values_changed"] for r in out)


@pytest.mark.parametrize("storage", ["float32", "float16", "uint8"])
def test_a_two_bit_burst_or_word_in_one_codeword_is_always_flagged(storage):
    ws = tiny(storage, sizes=(300, 77))
    res = Campaign(ws, ["secded:64", "secded-pc:64"], counts=[1, 20], rates=None, trials=20, seed=4,
                   pattern="burst:2").run()  # fmt: skip
    for r in res.records:
        assert r.chunks_flagged == r.chunks_multi_hit == r.faults and r.bits == 2 * r.faults
        assert r.outcome in ("due", "false_due") and not r.silent
    res = Campaign(ws, ["secded:64"], rates=[1e-3, 1e-2], trials=20, seed=4, pattern="word:2").run()
    assert {r.outcome for r in res.records} <= {"due", "false_due"}
    assert all(r.chunks_flagged == r.faults for r in res.records)
    # What probability theory says of it, beside what the trials showed.
    for a in res.aggregates():
        assert a.expected["chunks_flagged"] == a.faults and a.expected["any_chunks_flagged"] == 1.0
        assert a.expected["masked"] == a.expected["sdc"] == 0.0
        assert all(c.outside is False for c in a.checks())


def test_exponent_top_bit_changes_one_value_per_fault():
    res = Campaign(tiny("float32"), ["none"], rates=[1e-3, 3e-2, 1.0], trials=5, seed=1, bits="30").run()
    for r in res.records:
        assert r.values_changed == r.faults == r.bits
        assert r.faults == max(1, round(r.rate * 377))  # rates count per chosen bit: one per value
    assert res.protections[0].targeted_bits == 377
    for a in res.aggregates():
        assert a.expected["values_changed"] == pytest.approx(a.faults, rel=1e-12) and a.expected["sdc"] == 1.0


def test_single_flip_rows_are_the_rows_of_before():
    """The default pattern keeps the sites, seeds and columns it always had; only `bits` is new, at the end."""
    res = Campaign(tiny("float16"), ["none", "secded:16"], counts=[4], trials=3, seed=2).run()
    for r in res.records:
        stored = 377 * 16 if r.protection == "none" else 377 * 22  # secded:16: one 22-bit codeword per value
        assert r.bits == r.faults == 4 and r.kind == "flip" and r.rate == 4 / stored
    assert COLUMNS[-1] == "bits" and COLUMNS[:3] == ["protection", "kind", "rate"]
    for name, stored in (("none", 377 * 16), ("secded:16", 377 * 22)):
        assert np.array_equal(prepared(tiny("float16"), name).draw(4, 77).sites, draw_sites(stored, 77, 4))


def test_stuck_at_bits_count_only_the_bits_that_change():
    ws = WeightSet.from_arrays([("w", np.zeros(64, np.float32))])
    zero = Campaign(ws, ["none", "secded:64"], counts=[10], trials=2, kind="stuck-at-0", pattern="burst:4").run()
    assert all(r.bits == 0 and r.values_changed == 0 for r in zero.records if r.protection == "none")
    one = Campaign(ws, ["none"], counts=[10], trials=2, kind="stuck-at-1", pattern="burst:4").run()
    assert all(r.bits == 40 and r.values_changed == 10 for r in one.records)


def test_replay_lists_each_event_with_its_bits():
    ws = tiny("float32", sizes=(50,))
    campaign = Campaign(ws, ["secded:16"], counts=[6], trials=2, seed=3, pattern="burst:3", kind="flip:0.5,stuck-at-1:0.5")
    record, faults = campaign.show_trial("secded:16", 6, 1)
    drop = lambda r: {k: v for k, v in r.as_row().items() if k != "seconds"}  # noqa: E731
    assert drop(record) == drop(campaign.run().records[1])
    assert len(faults) == 18 and [f.event for f in faults] == [e for e in range(6) for _ in range(3)]
    for e in range(6):
        sites = [f.site for f in faults if f.event == e]
        assert sites == list(range(sites[0], sites[0] + 3))
        assert len({f.kind for f in faults if f.event == e}) == 1
        assert len({f.site // 22 for f in faults if f.event == e}) == 1  # one 22-bit codeword


@pytest.mark.parametrize(
    "kw, message",
    [
        (dict(pattern="burst:1"), "burst needs B adjacent bits, a whole number of at least 2, got 'burst:1'"),
        (dict(pattern="word:x"), "word needs K distinct bits"),
        (dict(pattern="cluster:3"), "unknown pattern 'cluster:3'"),
        (dict(pattern="burst:33"), "burst:33 fits no word of none: no word of it has 33 adjacent stored bits"),
        (dict(pattern="burst:99999999999999999999"), "fits no word of none"),
        (dict(pattern="burst:2", bits="0,2"), "burst:2 fits no word of none: no word of it has 2 adjacent targeted"),
        (dict(pattern="word:2", counts=[378]), "378 word:2 faults asked of none, whose words can take only 377"),
        (dict(bits="30", counts=[378]), "378 faults asked of none, which has only 377 targeted bits"),
        (dict(bits="32"), "bit 32 is beyond the 32 bits of float32 tensor 't0'"),
        (dict(bits="7-5"), "'7-5' is no range of bits"),
        (dict(bits="fraction"), "'fraction' is no bit number, range A-B or name"),
        (dict(bits=""), "no bit given"),
        (dict(bits="check"), "none keeps no redundancy for 'check' to hit"),
        (dict(kind="flip:0.5,stuck-at-0:0.4"), "add up to 0.9, not 1"),
        (dict(kind="flip:0.5,flip:0.5"), "flip is listed twice"),
        (dict(kind="flip,stuck-at-0"), "a mix gives each kind its probability"),
        (dict(kind="flip:1.5"), "the probability of flip must be in (0, 1], got '1.5'"),
    ],
)
def test_bad_patterns_bits_and_kinds_are_one_line_errors(kw, message):
    kw.setdefault("counts", [1])
    with pytest.raises(StudyError) as err:
        c = Campaign(tiny("float32"), ["none"], trials=1, **kw)
        c.run()
    assert message in str(err.value) and "\n" not in str(err.value)


def test_names_map_per_element_type_and_unknown_names_are_refused():
    p = prepared(mixed_set(), "none", bits="exponent")
    assert p.targeted == 23 * 5 + 19 * 8 + 14 * 8  # float16 10-14, float32 23-30, bfloat16 7-14
    with pytest.raises(StudyError, match="uint8 tensor 'u' has no sign bits"):
        Campaign(bytes_set(), ["none"], counts=[1], bits="sign")
    with pytest.raises(StudyError, match="bit 8 is beyond the 8 bits of int8 tensor 'i'"):
        Campaign(bytes_set(), ["none"], counts=[1], bits="0-8")
    with pytest.raises(StudyError, match=r"cep:D3P1 stores none of these bits \(it keeps redundancy in bits 0-7"):
        Campaign(tiny("float32"), ["cep:D3P1"], counts=[1], bits="0-7").run()
    assert str(parse_bits("30, 23-29 ,check,mantissa,sign")) == "23-30,sign,mantissa,check"
    assert parse_bits("check,exponent,sign,3,1-2") == parse_bits("sign,1-3,exponent,check")


def test_worker_processes_give_the_serial_rows_for_patterns():
    kw = dict(rates=[1e-3, 1e-2], trials=3, seed=5, pattern="word:2", bits="exponent,check", kind="flip:0.7,stuck-at-0:0.3")
    serial = rows(Campaign(mixed_set(), ["secded:16", "mset"], **kw))
    forked = [{k: v for k, v in r.as_row().items() if k != "seconds"}
              for r in Campaign(mixed_set(), ["secded:16", "mset"], **kw).run(workers=2).records]  # fmt: skip
    assert forked == serial


def test_run_directory_of_a_pattern_campaign_refuses_another_pattern_and_old_runs_are_named(tmp_path):
    ws = tiny("float32")
    out = tmp_path / "run"
    Campaign(ws, ["none"], counts=[2], trials=2, pattern="burst:2").run(out=out)
    with pytest.raises(StudyError, match="differs in pattern"):
        Campaign(ws, ["none"], counts=[2], trials=2, pattern="word:2").run(out=out)
    # A run directory of the first format: no pattern or bits in its config or records, and outcomes
    # ("detected") that no longer say whether a flag was a false alarm. It is refused, not misread.
    old = tmp_path / "old"
    Campaign(ws, ["none"], counts=[2], trials=3).run(out=old)
    config = json.loads((old / CONFIG).read_text())
    del config["campaign"]["pattern"], config["campaign"]["bits"]
    config["format"] = 1
    (old / CONFIG).write_text(json.dumps(config))
    lines = [json.loads(x) for x in (old / TRIALS).read_text().splitlines()]
    for x in lines:
        del x["bits"]
    (old / TRIALS).write_text("".join(json.dumps(x) + "\n" for x in lines[:2]))
    for call in (lambda: Campaign(ws, ["none"], counts=[2], trials=3).run(out=old), lambda: load(old)):
        with pytest.raises(StudyError, match="another version of corvane \\(run directory format 1, this one reads 2\\)"):
            call()
    assert len((old / TRIALS).read_text().splitlines()) == 2  # nothing lost


# ---- the command line ----


@pytest.fixture
def model(tmp_path):
    import ml_dtypes
    from safetensors.numpy import save_file

    rng = np.random.default_rng(0)
    path = tmp_path / "model.safetensors"
    save_file({"w": rng.normal(0, 0.05, (40, 30)).astype(np.float32), "h": rng.normal(0, 0.05, 90).astype(np.float16),
               "b": rng.normal(0, 0.05, 33).astype(ml_dtypes.bfloat16)}, str(path))  # fmt: skip
    return path


def cli(argv, capsys):
    from corvane.cli import main

    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_cli_study_with_a_pattern_chosen_bits_and_mixed_kinds(tmp_path, model, capsys):
    import csv

    argv = ["study", "--weights", model, "--protect", "none,secded:16,mset", "--faults", "4", "--trials", "3", "--seed", "2",
            "--pattern", "burst:2", "--bits", "exponent", "--kind", "flip:0.5,stuck-at-1:0.5"]  # fmt: skip
    code, out, err = cli(argv + ["--csv", tmp_path / "t.csv", "--quiet"], capsys)
    assert code == 0, err
    assert "chosen bits" in out and str(1200 * 8 + 90 * 5 + 33 * 8) in out
    rows = list(csv.DictReader(open(tmp_path / "t.csv")))
    assert list(rows[0])[-1] == "bits" and {r["kind"] for r in rows} == {"flip:0.5,stuck-at-1:0.5"}
    assert all(r["faults"] == "4" and 0 <= int(r["bits"]) <= 8 for r in rows)
    row = rows[4]  # secded:16, trial 1
    code, out, _ = cli(argv + ["--show-trial", row["protection"], "4", row["trial"]], capsys)
    assert code == 0 and f"seed={row['seed']}" in out and f"bits={row['bits']}" in out
    for event in range(4):
        assert out.count(f"│ {event}     │") == 2  # two sites per event


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--pattern", "burst:1"], "--pattern: burst needs B adjacent bits"),
        (["--pattern", "burst:3", "--bits", "30"], "burst:3 fits no word of none"),
        (["--kind", "flip:0.5"], "--kind: the probabilities in 'flip:0.5' add up to 0.5, not 1"),
        (["--kind", "stuck-at-2:1"], "--kind: invalid choice: 'stuck-at-2'"),
        (["--bits", "33"], "bit 33 is beyond the 32 bits of float32 tensor 'w'"),
        (["--bits", "sign,fraction"], "--bits: 'fraction' is no bit number"),
        (["--bits", "check"], "bits check: none keeps no redundancy"),
        (["--faults", "1201", "--pattern", "word:2"], "1201 word:2 faults asked of none, whose words can take only 1200"),
    ],
)
def test_cli_bad_patterns_bits_and_kinds(tmp_path, model, capsys, argv, message):
    outs = [tmp_path / "o.csv", tmp_path / "o.png"]
    base = ["study", "--weights", model, "--tensors", "w", "--protect", "none", "--quiet", "--csv", outs[0], "--plot", outs[1]]
    code, _, err = cli(base + argv, capsys)
    assert code == 2 and err.count("\n") == 1 and err.startswith("corvane: error: ") and message in err, err
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(("o.", ".o."))]
