"""Exact expected outcomes of a bit-flip campaign, from the layout of the stored form alone.

A trial flips F distinct fault sites drawn uniformly without replacement from
the S stored bits of a protection's stored form. The stored form is cut into
*units* (a value, a codeword, a parity group, ...); a unit's state after
decoding depends only on which of its own sites were hit. For a kind of unit a
table gives, for every k, the fraction of the k-subsets of its sites that leave
it in each state. From those tables this module computes, without sampling:

* expected numbers of units in a state (linear: hypergeometric marginals);
* trial-level probabilities such as "no unit is in any of the states X", which
  are not products of per-unit probabilities because the sites are drawn
  without replacement. They are computed exactly by conditioning independent
  Bernoulli(q) sites on their total being F: with the tilt q chosen so that the
  constrained total has mean F, the conditional point probability comes from
  an exact discrete Fourier inversion of the product of per-unit
  characteristic functions (see docs/expectations.md for the method and its
  accuracy).

Expectations are for flip faults only: stuck-at faults change a bit only where
it holds the other value, so their effect depends on the data.

Limits: S up to about 1e10 sites, F up to about 1e6, up to about 1e9 units of a
kind; results are accurate to about 1e-9 absolute or better. SEC-DED tables
are built for chunks of up to 65536 stored bits and only where the number of
faults per chunk that matters stays small (see ``SECDED_MAX_WORK``); past that,
``secded_expectations`` leaves the quantities that need the tables out of its
result rather than guess them.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Collection, Mapping, Sequence
from dataclasses import dataclass
from functools import lru_cache
from types import MappingProxyType
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from .errors import StudyError


def _scipy(name: str) -> Any:
    """A scipy submodule, imported when first needed: scipy adds tens of MiB to the process, which trials
    never need."""
    import importlib

    return importlib.import_module(f"scipy.{name}")

__all__ = [
    "Model",
    "UnitKind",
    "cep_expectations",
    "hypergeom_pmf",
    "log_binom_pmf",
    "mset_expectations",
    "needed_faults",
    "none_expectations",
    "sample_size",
    "secded_chunk_table",
    "secded_expectations",
]

FloatArray = npt.NDArray[np.float64]
Decoder = Literal["strict", "parity"]

#: Bound on the error the truncated tables built here may add to any result.
TRUNCATION_BUDGET = 1e-13
#: Largest such bound a Model accepts from tables it is given.
TRUNCATION_LIMIT = 1e-10
#: Most cells (faults per chunk x 2^r) a SEC-DED chunk table is built with.
SECDED_MAX_WORK = 1 << 24
#: Largest number of check bits r (chunks of up to 2^r stored bits) tabled.
SECDED_MAX_CHECK_BITS = 16
#: Most faults per chunk a SEC-DED table goes to.
SECDED_MAX_FAULTS = 512

# ---- binomial and hypergeometric probabilities, accurate for huge populations ----------------

_LOG_SQRT_2PI = 0.5 * math.log(2 * math.pi)
# Stirling's error log(n!) - log(sqrt(2 pi n) (n/e)^n) for n = 0..15 (n = 0 is never used).
_STIRLERR_SMALL = np.array(
    [0.0] + [math.lgamma(i + 1) - (i + 0.5) * math.log(i) + i - _LOG_SQRT_2PI for i in range(1, 16)]
)


def _stirlerr(n: FloatArray) -> FloatArray:
    """Stirling's error for integer n >= 1: a table up to 15, the asymptotic series above."""
    out = np.empty(n.shape)
    small = n <= 15
    out[small] = _STIRLERR_SMALL[n[small].astype(np.int64)]
    b = n[~small]
    nn = b * b
    s0, s1, s2, s3, s4 = 1 / 12, 1 / 360, 1 / 1260, 1 / 1680, 1 / 1188
    series = np.where(
        b > 500,
        (s0 - s1 / nn) / b,
        np.where(
            b > 80,
            (s0 - (s1 - s2 / nn) / nn) / b,
            np.where(b > 35, (s0 - (s1 - (s2 - s3 / nn) / nn) / nn) / b, (s0 - (s1 - (s2 - (s3 - s4 / nn) / nn) / nn) / nn) / b),
        ),
    )
    out[~small] = series
    return out


def _bd0(x: FloatArray, m: FloatArray) -> FloatArray:
    """The deviance term x log(x/m) + m - x, without cancellation when x is near m."""
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        direct = x * np.log(x / m) + m - x
    near = np.abs(x - m) < 0.1 * (x + m)
    if not near.any():
        return direct
    xs, ms = x[near], m[near]
    v = (xs - ms) / (xs + ms)
    s = (xs - ms) * v
    ej = 2 * xs * v
    v2 = v * v
    for j in range(1, 40):  # |v| < 0.1: each term is 100 times smaller than the last
        ej = ej * v2
        s = s + ej / (2 * j + 1)
    out = direct.copy()
    out[near] = s
    return out


def log_binom_pmf(x: npt.ArrayLike, n: int, p: float, q: float | None = None) -> FloatArray:
    """log P(X = x) for X ~ Binomial(n, p), accurate in relative terms for n up to ~1e15.

    Uses the saddle-point form (Stirling's error and the deviance ``_bd0``),
    so no large logarithms cancel. Pass ``q`` = 1 - p when it is known more
    precisely than 1 - p rounds to (p near 1).
    """
    xa = np.atleast_1d(np.asarray(x, dtype=np.float64))
    q = 1.0 - p if q is None else q
    out = np.full(xa.shape, -math.inf)
    if n == 0:
        out[xa == 0] = 0.0
        return out
    nf = float(n)
    if p <= 0.0 or q <= 0.0:
        out[xa == (0 if p <= 0.0 else nf)] = 0.0
        return out
    out[xa == 0] = nf * math.log(q) if q < 0.5 else nf * math.log1p(-p)
    out[xa == nf] = nf * math.log(p) if p < 0.5 else nf * math.log1p(-q)
    inside = (xa > 0) & (xa < nf)
    if inside.any():
        xi = xa[inside]
        rest = nf - xi
        lc = (
            _stirlerr(np.array([nf]))[0]
            - _stirlerr(xi)
            - _stirlerr(rest)
            - _bd0(xi, np.full(xi.shape, nf * p))
            - _bd0(rest, np.full(xi.shape, nf * q))
        )
        out[inside] = lc + 0.5 * np.log(nf / (2 * math.pi * xi * rest))
    return out


def hypergeom_pmf(sites: int, size: int, faults: int) -> FloatArray:
    """P(k of a unit's ``size`` sites are hit) for k = 0..min(size, faults).

    F sites drawn without replacement from S. Written as a ratio of binomial
    probabilities at p = F/S, so it stays accurate for S of 1e10 and more.
    """
    kmax = min(size, faults)
    k = np.arange(kmax + 1, dtype=np.float64)
    if faults == 0 or size == 0:
        out = np.zeros(kmax + 1)
        out[0] = 1.0
        return out
    if faults == sites or size == sites:
        out = np.zeros(kmax + 1)
        out[kmax] = 1.0
        return out
    p, q = faults / sites, (sites - faults) / sites
    logs = (
        log_binom_pmf(k, size, p, q)
        + log_binom_pmf(faults - k, sites - size, p, q)
        - log_binom_pmf(faults, sites, p, q)[0]
    )
    pmf: FloatArray = np.exp(logs)
    return pmf


def _binom_above(k0: int, n: int, p: float, q: float) -> float:
    """P(X > k0) for X ~ Binomial(n, p), summing only the terms that matter."""
    if k0 >= n:
        return 0.0
    head = float(np.exp(log_binom_pmf(np.arange(k0 + 1), n, p, q)).sum())
    if head <= 0.5:
        return 1.0 - head
    # The median is at most k0: past k0 + 60 (sd + 1) the terms are below e^-90 of the rest.
    top = min(n, k0 + 1 + math.ceil(60.0 * (math.sqrt(n * p * q) + 1.0)))
    return float(np.exp(log_binom_pmf(np.arange(k0 + 1, top + 1), n, p, q)).sum())


def _tail_above(pmf: FloatArray) -> FloatArray:
    """tail[k] = sum of pmf[j] for j > k, summed from the far end."""
    return np.concatenate([np.cumsum(pmf[::-1])[::-1][1:], [0.0]])


# ---- units, states and the exact engine ---------------------------------------------------


@dataclass(frozen=True)
class UnitKind:
    """``count`` units of ``size`` sites each, with their state table.

    ``table[state][k]`` is the fraction of the k-subsets of one unit's sites
    that leave it in ``state``, for k = 0..K (every array has K + 1 entries,
    K <= size, and the states of each k sum to 1). When K < size the subsets
    with more hits are either all in the state ``beyond`` or, with
    ``beyond=None``, not known: the engine counts them as in X whenever X
    meets the table, which is off by at most ``Model.truncation`` (a Model refuses tables
    for which that exceeds ``TRUNCATION_LIMIT``; ``needed_faults`` tells how far
    to go).
    """

    count: int
    size: int
    table: Mapping[str, FloatArray]
    beyond: str | None = None

    @property
    def kmax(self) -> int:
        return len(next(iter(self.table.values()))) - 1


def needed_faults(sites: int, faults: int, size: int, count: int, budget: float = TRUNCATION_BUDGET) -> int:
    """The fewest hits K per unit a table needs: count * P(a unit takes more than K hits) <= budget."""
    if count == 0:
        return 0
    tail = _tail_above(hypergeom_pmf(sites, size, faults))
    ok = np.flatnonzero(count * tail <= budget)
    return int(ok[0])


def _log_choose_upto(m: int, kmax: int) -> FloatArray:
    """log C(m, k) for k = 0..kmax (kmax <= m), as a sum of small logarithms."""
    i = np.arange(kmax, dtype=np.float64)
    return np.concatenate([[0.0], np.cumsum(np.log((m - i) / (i + 1)))])


@dataclass
class _Constrained:
    count: int
    size: int
    avoid: FloatArray  # fraction of k-subsets outside X, k = 0..K
    bad: FloatArray  # fraction in X, k = 0..K
    tail_bad: bool  # subsets with more than K hits count as in X
    lo: int = 0  # fewest and most hits a unit outside X can take
    hi: int = 0


class Model:
    """The units of one stored form under F faults drawn from S sites."""

    def __init__(self, sites: int, faults: int, kinds: Sequence[UnitKind]) -> None:
        if sites < 0 or not 0 <= faults <= sites:
            raise StudyError(f"{faults} faults cannot be drawn from {sites} sites")
        self.sites = int(sites)
        self.faults = int(faults)
        self.kinds = [k for k in kinds if k.count > 0]
        used = sum(k.count * k.size for k in self.kinds)
        if used > self.sites:
            raise ValueError(f"units cover {used} sites, more than the {self.sites} there are")
        self.free = self.sites - used
        self._hyper: dict[int, FloatArray] = {}
        self.truncation = 0.0
        for kind in self.kinds:
            lengths = {len(a) for a in kind.table.values()}
            if len(lengths) != 1 or kind.kmax > kind.size:
                raise ValueError("a unit table needs one array length, at most size + 1")
            total = sum(np.asarray(a, dtype=np.float64) for a in kind.table.values())
            if not np.allclose(total, 1.0, rtol=0, atol=1e-9):
                raise ValueError("the states of a unit table must sum to 1 for every k")
            if kind.kmax < kind.size and kind.beyond is None:
                h = self._pmf(kind.size)
                self.truncation += kind.count * float(h[kind.kmax + 1 :].sum())
        if self.truncation > TRUNCATION_LIMIT:
            raise ValueError(
                f"unit tables stop too early: units take more hits than tabled with probability {self.truncation:.3g}"
            )

    def _pmf(self, size: int) -> FloatArray:
        if size not in self._hyper:
            self._hyper[size] = hypergeom_pmf(self.sites, size, self.faults)
        return self._hyper[size]

    def expected(self, state: str) -> float:
        """Expected number of units in ``state`` (summed over the kinds that have it)."""
        total = 0.0
        for kind in self.kinds:
            if state not in kind.table and kind.beyond != state:
                continue
            h = self._pmf(kind.size)
            top = min(kind.kmax, len(h) - 1)
            part = 0.0
            if state in kind.table:
                part = float(np.dot(np.asarray(kind.table[state])[: top + 1], h[: top + 1]))
            if kind.beyond == state:
                part += float(h[kind.kmax + 1 :].sum())
            total += kind.count * part
        return total

    # -- trial-level probabilities --

    def p_none(self, states: Collection[str]) -> float:
        """P(no unit ends in any of ``states``) for one trial."""
        x = frozenset(states)
        free = self.free
        cons: list[_Constrained] = []
        for kind in self.kinds:
            arrays = {s: np.asarray(a, dtype=np.float64) for s, a in kind.table.items()}
            zero = np.zeros(kind.kmax + 1)
            bad = sum((a for s, a in arrays.items() if s in x), zero)
            avoid = sum((a for s, a in arrays.items() if s not in x), zero)
            has_bad = bool((bad > 0).any())
            if kind.kmax < kind.size:
                tail_bad = kind.beyond in x if kind.beyond is not None else has_bad
                if not tail_bad and has_bad:
                    # Past the table every subset avoids X: spell that out to the unit's size.
                    extra = kind.size - kind.kmax
                    bad = np.concatenate([bad, np.zeros(extra)])
                    avoid = np.concatenate([avoid, np.ones(extra)])
            else:
                tail_bad = False
            if not has_bad and not tail_bad:
                free += kind.count * kind.size
                continue
            cons.append(_Constrained(kind.count, kind.size, avoid, bad, tail_bad))
        if not cons:
            return 1.0
        return self._p_avoid(cons, free)

    def _p_avoid(self, cons: list[_Constrained], free: int) -> float:
        f = self.faults
        for c in cons:
            nz = np.flatnonzero(c.avoid > 0)
            if nz.size == 0:
                return 0.0
            c.lo, c.hi = int(nz[0]), int(nz[-1])
        t_min = sum(c.count * c.lo for c in cons)
        t_max = sum(c.count * c.hi for c in cons) + free
        if f < t_min or f > t_max:
            return 0.0
        if f == 0 or f == self.sites:
            # Every unit takes all its sites or none: avoid is exactly 0 or 1 there.
            return 1.0
        p, q = f / self.sites, (self.sites - f) / self.sites
        if f in (t_min, t_max):
            # One way left: every unit at its extreme, the free sites all clear or all hit.
            at_max = f == t_max and t_min != t_max
            logp = 0.0
            for c in cons:
                k = c.hi if at_max else c.lo
                logp += c.count * (log_binom_pmf(k, c.size, p, q)[0] + math.log(c.avoid[k]))
            if free:
                logp += free * (math.log(p) if at_max else math.log1p(-p))
            logp -= log_binom_pmf(f, self.sites, p, q)[0]
            return float(min(1.0, math.exp(logp)))
        lam = self._tilt(cons, free)
        return self._conditioned(cons, free, lam)

    def _tilt(self, cons: list[_Constrained], free: int) -> float:
        """The log-odds lambda at which the constrained total's mean equals F."""
        logw = []
        for c in cons:
            k = np.arange(c.lo, c.hi + 1)
            with np.errstate(divide="ignore"):
                logw.append((k, _log_choose_upto(c.size, c.hi)[c.lo :] + np.log(c.avoid[c.lo : c.hi + 1])))

        def excess(lam: float) -> float:
            total = free * float(_scipy("special").expit(lam))
            for c, (k, lw) in zip(cons, logw):
                z = lw + k * lam
                w = np.exp(z - z.max())
                total += c.count * float(np.dot(w, k)) / float(w.sum())
            return total - self.faults

        start = math.log(self.faults / (self.sites - self.faults))
        lo, hi, step = start - 1.0, start + 1.0, 1.0
        while excess(lo) > 0:
            step *= 2
            lo -= step
        step = 1.0
        while excess(hi) < 0:
            step *= 2
            hi += step
        return float(_scipy("optimize").brentq(excess, lo, hi, xtol=1e-13, rtol=4 * np.finfo(float).eps))

    def _conditioned(self, cons: list[_Constrained], free: int, lam: float) -> float:
        p, q = float(_scipy("special").expit(lam)), float(_scipy("special").expit(-lam))
        log_avoid = 0.0  # log P(every unit avoids X) for independent Bernoulli(p) sites
        dists: list[tuple[int, FloatArray]] = []  # (count, distribution of hits - lo)
        for c in cons:
            k = np.arange(c.hi + 1)
            lb = log_binom_pmf(k, c.size, p, q)
            b = np.exp(lb)
            badmass = float(np.dot(b, c.bad[: c.hi + 1]))
            kmax_bad = len(c.bad) - 1
            if c.hi < kmax_bad:
                badmass += float(np.dot(np.exp(log_binom_pmf(np.arange(c.hi + 1, kmax_bad + 1), c.size, p, q)), c.bad[c.hi + 1 :]))
            if c.tail_bad and kmax_bad < c.size:
                badmass += _binom_above(kmax_bad, c.size, p, q)
            with np.errstate(divide="ignore"):
                log_w = lb[c.lo :] + np.log(c.avoid[c.lo : c.hi + 1])
            # log P(a unit avoids X): from the small mass in X when there is one (relative
            # accuracy matters, it is raised to the count), else summed in log space.
            log_pi = math.log1p(-badmass) if badmass < 0.5 else float(_scipy("special").logsumexp(log_w))
            log_avoid += c.count * log_pi
            dist = np.exp(log_w - log_pi)
            dists.append((c.count, dist / dist.sum()))
        target = self.faults - sum(c.count * c.lo for c in cons)
        point = _point_probability(dists, free, p, q, target)
        if point <= 0.0:
            return 0.0
        logp = log_avoid + math.log(point) - log_binom_pmf(self.faults, self.sites, p, q)[0]
        return float(min(1.0, math.exp(logp)))


#: Exponent of the aliasing bound kept below the point probability (e^-45 ~ 3e-20).
_ALIAS_EXPONENT = 45.0
#: Fourier points evaluated together.
_THETA_BLOCK = 1 << 12


def _point_probability(dists: list[tuple[int, FloatArray]], free: int, p: float, q: float, target: int) -> float:
    """P(T = target) where T sums ``count`` independent draws of each distribution and Binomial(free, p).

    Exact discrete Fourier inversion on N points: the result is the sum of
    P(T = target + jN) over all j, and N is chosen (Bernstein's inequality) so
    that the terms with j != 0 are below e^-45 times the scale of the point
    probability, or so that N exceeds T's whole range, which makes it exact.
    Angles are reduced exactly (k theta_j = 2 pi (k j mod N) / N), and each
    factor's log-modulus comes from 1 - |phi|^2 written as a sum of
    non-negative terms, so high powers (counts of 1e9) lose nothing.
    """
    mean = free * p
    var = free * p * q
    spread = 1 if free else 0
    span = free
    for count, dist in dists:
        k = np.arange(dist.size)
        mu = float(np.dot(dist, k))
        mean += count * mu
        var += count * float(np.dot(dist, (k - mu) ** 2))
        spread = max(spread, dist.size - 1)
        span += count * (dist.size - 1)
    if target < 0 or target > span:
        return 0.0
    # Bernstein: P(|T - mean| >= t) <= 2 exp(-t^2 / (2 (var + spread t / 3))) <= e^-L at t = reach.
    big_l = _ALIAS_EXPONENT + 0.5 * math.log(2 * math.pi * (var + 1))
    a = 2.0 * spread * big_l / 3.0
    reach = (a + math.sqrt(a * a + 8.0 * var * big_l)) / 2.0
    n = int(min(span + 1, math.ceil(reach + abs(mean - target)) + 2))
    n = max(n, 1)
    autocorr = [np.correlate(dist, dist, mode="full")[dist.size :] for _, dist in dists]
    total = 0.0
    half = n // 2
    for start in range(0, half + 1, _THETA_BLOCK):
        j = np.arange(start, min(half, start + _THETA_BLOCK - 1) + 1, dtype=np.int64)
        logmod = np.zeros(j.size)
        phase = np.zeros(j.size)
        for (count, dist), r in zip(dists, autocorr):
            if dist.size == 1:
                continue
            k = np.arange(dist.size, dtype=np.int64)
            turn = (np.outer(j, k) % n) * (2 * math.pi / n)
            re = np.cos(turn) @ dist
            im = np.sin(turn) @ dist
            d = np.arange(1, dist.size, dtype=np.int64)
            s = np.sin((np.outer(j, d) % n) * (math.pi / n))
            gap = np.minimum(4.0 * ((s * s) @ r), 1.0)  # 1 - |phi|^2
            with np.errstate(divide="ignore"):
                logmod += count * 0.5 * np.log1p(-gap)
            phase += count * np.arctan2(im, re)
        if free:
            th = (j % n) * (2 * math.pi / n)
            s1 = np.sin((j % n) * (math.pi / n))
            gap = np.minimum(4.0 * p * q * s1 * s1, 1.0)
            with np.errstate(divide="ignore"):
                logmod += free * 0.5 * np.log1p(-gap)
            phase += free * np.arctan2(p * np.sin(th), 1.0 - 2.0 * p * s1 * s1)
        phase -= ((target * j) % n) * (2 * math.pi / n)
        vals = np.exp(logmod) * np.cos(phase)
        weights = np.where((j == 0) | ((n % 2 == 0) & (j == half)), 1.0, 2.0)
        total += float(np.dot(weights, vals))
    return total / n


# ---- protection tables ------------------------------------------------------------------------


def _frozen(arrays: dict[str, FloatArray]) -> Mapping[str, FloatArray]:
    """A read-only view: tables are cached and shared."""
    for a in arrays.values():
        a.setflags(write=False)
    return MappingProxyType(arrays)


def _by_hits(rule: Mapping[str, Sequence[float] | FloatArray]) -> Mapping[str, FloatArray]:
    return _frozen({s: np.asarray(v, dtype=np.float64) for s, v in rule.items()})


def _value_table(width: int) -> Mapping[str, FloatArray]:
    k = np.arange(width + 1)
    return _by_hits({"clean": (k == 0).astype(float), "changed": (k > 0).astype(float)})


def _multi_table() -> Mapping[str, FloatArray]:
    """k <= 1 tabled; every larger k is "multi" (use with ``beyond="multi"``)."""
    return _by_hits({"single": [1.0, 1.0], "multi": [0.0, 0.0]})


def check_bits(d: int) -> int:
    """Hamming check bits r for d data bits: the smallest r >= 2 with 2^r - r - 1 >= d."""
    r = 2
    while (1 << r) - r - 1 < d:
        r += 1
    return r


def _fwht(a: FloatArray) -> FloatArray:
    """Unnormalised Walsh-Hadamard transform of a vector whose length is a power of two."""
    n = a.size
    out = a.astype(np.float64, copy=True)
    h = 1
    while h < n:
        v = out.reshape(-1, 2, h)
        out = np.stack([v[:, 0, :] + v[:, 1, :], v[:, 0, :] - v[:, 1, :]], axis=1).reshape(n)
        h *= 2
    return out


class _XorRows:
    """Row k: the fraction of the k-subsets of a set of positions whose XOR is s, for every s.

    Character sums: for u in {0..2^r-1} the k-subsets' sum of (-1)^(u . xor)
    is the coefficient of y^k in (1+y)^(m-B(u)) (1-y)^B(u), B(u) being the
    number of positions with odd parity against u (a Krawtchouk polynomial).
    Divided by C(m, k) these follow a three-term recurrence that is stable for
    k <= m/2; above, the mirror kappa_(m-k) = (-1)^B kappa_k gives them. An
    inverse Walsh-Hadamard transform turns them into XOR distributions.
    """

    def __init__(self, mask: FloatArray, kmax: int) -> None:
        self.m = int(mask.sum())
        self.size = mask.size
        self.twice_b = self.m - _fwht(mask)  # 2 B(u)
        self.sign = 1.0 - 2.0 * ((np.rint(self.twice_b).astype(np.int64) // 2) % 2)
        self.keep = kmax > self.m // 2  # rows past m/2 are mirrored from kept ones
        self.kept: list[FloatArray] = []
        self.k = 0
        self.prev = np.zeros(mask.size)
        self.cur = np.ones(mask.size)

    def row(self) -> FloatArray:
        """The current row (k), as fractions of C(m, k); zeros once k > m."""
        if self.k > self.m:
            return np.zeros(self.size)
        if 2 * self.k > self.m:
            return _fwht(self.sign * self.kept[self.m - self.k]) / self.size
        return _fwht(self.cur) / self.size

    def advance(self) -> None:
        k, m = self.k, self.m
        if self.keep and 2 * k <= m:
            self.kept.append(self.cur)
        if 2 * (k + 1) <= m:
            nxt = ((m - self.twice_b) * self.cur - k * self.prev) / (m - k)
            self.prev, self.cur = self.cur, nxt
        self.k += 1


SECDED_STATES = ("clean", "corrected", "miscorrected", "flagged_intact", "flagged_wrong")


@lru_cache(maxsize=64)
def secded_chunk_table(d: int, real: int, pad: int, kmax: int, decoder: Decoder = "strict") -> Mapping[str, FloatArray]:
    """State fractions of one SEC-DED chunk, k = 0..kmax faults.

    The chunk's d data positions hold ``real`` data bits, then ``pad`` bits
    that are not fault sites (the pad byte of 8-bit data), then fill bits that
    are. States: "clean" (no fault), "corrected" (not flagged, at least one
    fault, data right after decoding), "miscorrected" (not flagged, data
    wrong), "flagged_intact" and "flagged_wrong" (decoder flag false; the data
    are the stored data, wrong iff a fault hit a real data position).
    """
    if decoder not in ("strict", "parity"):
        raise StudyError(f"unknown SEC-DED decoder '{decoder}' (use strict or parity)")
    r = check_bits(d)
    n = d + r + 1
    width = 1 << r
    pos = np.arange(n)
    data_pos = pos[(pos >= 3) & ((pos & (pos - 1)) != 0)]
    sites = np.zeros(width)
    sites[:n] = 1.0
    sites[data_pos[real : real + pad]] = 0.0
    is_real = np.zeros(width, dtype=bool)
    is_real[data_pos[:real]] = True
    nonreal = sites.copy()
    nonreal[is_real] = 0.0
    m = int(sites.sum())
    m0 = m - real
    every = _XorRows(sites, kmax)
    intact = _XorRows(nonreal, kmax)
    s = np.arange(width)
    inside = (s > 0) & (s < n)
    out = {st: np.zeros(kmax + 1) for st in SECDED_STATES}
    out["clean"][0] = 1.0
    ratio = 1.0  # C(m0, k) / C(m, k)
    prev_zero = 1.0  # fraction of the (k-1)-subsets of the non-data sites with XOR 0
    prev_ratio = 1.0
    for k in range(kmax + 1):
        w_all = every.row()
        raw_int = intact.row()
        w_int = raw_int * ratio
        if k > 0:
            if k % 2:
                unflag = inside | (s == 0) if decoder == "parity" else inside
                # Corrected and right: no real data hit and s off the real data, or the
                # only real data hit is s itself (the rest XOR to 0 among non-data sites).
                right = float(w_int[inside & ~is_real].sum())
                right += real * prev_zero * prev_ratio * k / (m - k + 1)
                if decoder == "parity":
                    right += float(w_int[0])
            else:
                unflag = s == 0
                right = float(w_int[0])
            flag = ~unflag
            f_int = float(w_int[flag].sum())
            out["flagged_intact"][k] = f_int
            out["flagged_wrong"][k] = max(0.0, float(w_all[flag].sum()) - f_int)
            out["corrected"][k] = right
            out["miscorrected"][k] = max(0.0, float(w_all[unflag].sum()) - right)
        prev_zero = float(raw_int[0])
        prev_ratio = ratio
        ratio = ratio * (m0 - k) / (m - k) if k < m0 else 0.0
        every.advance()
        intact.advance()
    for a in out.values():
        np.clip(a, 0.0, 1.0, out=a)
    return _frozen(out)


# ---- public expectations ----------------------------------------------------------------------


def _faults(faults: int, sites: int) -> int:
    f = int(faults)
    if f != faults or not 0 <= f <= sites:
        raise StudyError(f"{faults} faults cannot be drawn from {sites} fault sites")
    return f


def _count(value: int, what: str, least: int = 0) -> int:
    v = int(value)
    if v != value or v < least:
        raise StudyError(f"{what} must be a whole number of at least {least}, got {value}")
    return v


def none_expectations(words: Sequence[tuple[int, int]], faults: int) -> dict[str, float]:
    """Unprotected storage: words = (value count, bits per value) per storage group.

    ``values_changed``: expected values with at least one flipped bit;
    ``p_any_value_changed``: probability that any value changed.
    """
    by_width: Counter[int] = Counter()
    for count, width in words:
        by_width[_count(width, "bits per value", 1)] += _count(count, "value count")
    sites = sum(c * w for w, c in by_width.items())
    f = _faults(faults, sites)
    model = Model(sites, f, [UnitKind(c, w, _value_table(w)) for w, c in by_width.items()])
    return {
        "faults": float(f),
        "values_changed": model.expected("changed"),
        "p_any_value_changed": 1.0 - model.p_none({"changed"}),
    }


def _secded_layout(groups: Sequence[tuple[int, int, int]], d: int) -> Counter[tuple[int, int]]:
    """Chunks by (real data bits, pad bits) in them: every group is its own chunk sequence."""
    kinds: Counter[tuple[int, int]] = Counter()
    for values, bits, pad in groups:
        real = _count(values, "value count") * _count(bits, "bits per value", 1)
        data = real + _count(pad, "pad bits")
        if data == 0:
            continue
        full = real // d
        kinds[(d, 0)] += full
        for c in range(full, -(-data // d)):
            start = c * d
            a = min(max(real - start, 0), d)
            b = min(max(data - start, 0), d) - a
            kinds[(a, b)] += 1
    return kinds


def secded_expectations(
    groups: Sequence[tuple[int, int, int]], d: int, faults: int, decoder: Decoder = "strict"
) -> dict[str, float]:
    """SEC-DED over chunks of d data bits; groups = (value count, bits per value, pad bits).

    Every group is encoded on its own (its own partial last chunk); pad bits
    (8 for an odd number of 8-bit values) are data positions that are not fault
    sites. ``decoder`` "strict" flags a lone hit on the overall parity bit,
    "parity" treats it as corrected.

    Keys: ``faults``; ``p_chunk_with_two_or_more_faults`` and the expected
    ``chunks_multi_hit`` (chunks with two or more faults); expected
    ``chunks_flagged``, ``chunks_flagged_intact`` (flagged, stored data
    intact), ``chunks_miscorrected`` (not flagged, data wrong),
    ``chunks_corrected`` (hit, not flagged, data right); trial probabilities
    ``p_flag``, ``p_due`` (a flagged chunk's data wrong), ``p_false_due`` (a flag
    raised, every flagged chunk's data intact), ``p_masked`` (no flag, all data
    right), ``p_sdc`` (no flag, some data wrong), ``p_silent`` (some chunk
    miscorrected, flag or not). The chunk-state quantities are left out when
    the chunk tables would be too large to build.
    """
    if decoder not in ("strict", "parity"):
        raise StudyError(f"unknown SEC-DED decoder '{decoder}' (use strict or parity)")
    d = _count(d, "SEC-DED chunk size", 1)
    r = check_bits(d)
    n = d + r + 1
    kinds = _secded_layout(groups, d)
    tabled = r <= SECDED_MAX_CHECK_BITS
    sites = sum(count * (n - b) for (_, b), count in kinds.items())
    f = _faults(faults, sites)
    out = {"faults": float(f)}
    multi = Model(sites, f, [UnitKind(count, n - b, _multi_table(), "multi") for (_, b), count in kinds.items()])
    out["p_chunk_with_two_or_more_faults"] = 1.0 - multi.p_none({"multi"})
    out["chunks_multi_hit"] = multi.expected("multi")
    units = []
    budget = TRUNCATION_BUDGET / max(1, len(kinds))
    for (a, b), count in sorted(kinds.items()):
        if not tabled:
            return out
        kmax = min(n - b, needed_faults(sites, f, n - b, count, budget))
        if kmax > SECDED_MAX_FAULTS or (kmax + 1) << r > SECDED_MAX_WORK:
            return out
        units.append(UnitKind(count, n - b, secded_chunk_table(d, a, b, kmax, decoder)))
    model = Model(sites, f, units)
    flagged = {"flagged_intact", "flagged_wrong"}
    no_flag = model.p_none(flagged)
    no_wrong_flag = model.p_none({"flagged_wrong"})
    all_right = model.p_none(flagged | {"miscorrected"})
    out.update(
        chunks_flagged=model.expected("flagged_intact") + model.expected("flagged_wrong"),
        chunks_flagged_intact=model.expected("flagged_intact"),
        chunks_miscorrected=model.expected("miscorrected"),
        chunks_corrected=model.expected("corrected"),
        p_flag=1.0 - no_flag,
        p_due=1.0 - no_wrong_flag,
        p_false_due=max(0.0, no_wrong_flag - no_flag),
        p_masked=all_right,
        p_sdc=max(0.0, no_flag - all_right),
        p_silent=1.0 - model.p_none({"miscorrected"}),
    )
    return out


CEP_DATA_BITS = {"D3P1": 3, "D7P1": 7, "D15P1": 15}


def cep_expectations(groups: Sequence[tuple[int, int]], scheme: str, faults: int) -> dict[str, float]:
    """Embedded parity; groups = (value count, bits per value: 32 or 16).

    Every value holds W/(N+1) parity groups of N data bits and one parity bit.
    The decoder zeroes a group whose parity fails: that is its flag. Keys:
    ``groups_zeroed`` (expected groups with an odd number of flips, which the
    decoder clears), ``groups_zeroed_intact`` (of those, groups whose only flip
    is the parity bit: their sources were intact), ``p_any_zeroed``,
    ``groups_undetected`` (expected groups with an even, non-zero number of
    flips: changed, not seen) and ``p_undetected``; the trial outcomes
    ``p_due`` (a zeroed group had a source flipped), ``p_false_due`` (groups
    zeroed, every one with intact sources), ``p_masked`` (no group hit) and
    ``p_sdc`` (no group zeroed, some changed unseen).
    """
    if scheme not in CEP_DATA_BITS:
        raise StudyError(f"unknown embedded-parity scheme '{scheme}' (use {', '.join(CEP_DATA_BITS)})")
    size = CEP_DATA_BITS[scheme] + 1
    units = 0
    sites = 0
    for count, width in groups:
        c, w = _count(count, "value count"), _count(width, "bits per value", 1)
        if w not in (16, 32):
            raise StudyError(f"embedded parity takes 32- or 16-bit values, not {w}-bit")
        units += c * (w // size)
        sites += c * w
    f = _faults(faults, sites)
    k = np.arange(size + 1)
    odd = (k % 2 == 1).astype(float)
    # One flip lands on the parity bit in 1 of the group's `size` bits; three or more odd flips
    # always include a source.
    intact = np.where(k == 1, 1.0 / size, 0.0)
    table = _by_hits({"clean": (k == 0).astype(float), "zeroed_intact": intact, "zeroed_wrong": odd - intact,
                      "undetected": ((k > 0) & (k % 2 == 0)).astype(float)})  # fmt: skip
    model = Model(sites, f, [UnitKind(units, size, table)])
    zeroed = {"zeroed_intact", "zeroed_wrong"}
    no_zeroed = model.p_none(zeroed)
    no_wrong = model.p_none({"zeroed_wrong"})
    masked = model.p_none(zeroed | {"undetected"})
    return {
        "faults": float(f),
        "groups_zeroed": sum(model.expected(z) for z in zeroed),
        "groups_zeroed_intact": model.expected("zeroed_intact"),
        "p_any_zeroed": 1.0 - no_zeroed,
        "groups_undetected": model.expected("undetected"),
        "p_undetected": 1.0 - model.p_none({"undetected"}),
        "p_due": 1.0 - no_wrong,
        "p_false_due": max(0.0, no_wrong - no_zeroed),
        "p_masked": masked,
        "p_sdc": max(0.0, no_zeroed - masked),
    }


def mset_expectations(groups: Sequence[tuple[int, int]], faults: int) -> dict[str, float]:
    """Majority vote; groups = (value count, bits per value: 32 or 16).

    Each value's vote reads three sites: the top exponent bit and its two
    copies. Keys: ``votes_failed`` (expected votes with two or three voters
    flipped: the source decodes wrong), ``p_vote_failed``,
    ``votes_changed_bit`` (expected votes whose result differs from the stored,
    faulted source bit), ``p_vote_changed_bit``, and ``p_masked``: no value
    decodes changed, since every flip but a lone one of the source bit (which
    the vote restores) shows in the decoded value, copies included.
    """
    values = 0
    sites = 0
    for count, width in groups:
        c, w = _count(count, "value count"), _count(width, "bits per value", 1)
        if w not in (16, 32):
            raise StudyError(f"majority vote takes 32- or 16-bit values, not {w}-bit")
        values += c
        sites += c * w
    f = _faults(faults, sites)
    third = 1.0 / 3.0
    # k = 1: the source alone flipped (the vote restores it) or one copy (nothing to do).
    # k = 2: both copies (the vote overrides the intact source) or the source and a copy.
    table = _by_hits({
            "clean": [1.0, 0.0, 0.0, 0.0],
            "restored": [0.0, third, 0.0, 0.0],
            "copy_hit": [0.0, 2 * third, 0.0, 0.0],
            "failed_changed": [0.0, 0.0, third, 0.0],
            "failed_kept": [0.0, 0.0, 2 * third, 1.0],
        },
    )
    model = Model(sites, f, [UnitKind(values, 3, table)])
    failed = {"failed_changed", "failed_kept"}
    changed = {"restored", "failed_changed"}
    by_width: Counter[int] = Counter()
    for count, width in groups:
        by_width[int(width)] += int(count)
    # A value decodes unchanged when it has no flip, or one on the voted source bit alone.
    kinds = []
    for w, c in by_width.items():
        kk = np.arange(w + 1)
        kept = (kk == 0) + np.where(kk == 1, 1.0 / w, 0.0)
        kinds.append(UnitKind(c, w, _by_hits({"kept": kept, "changed": 1.0 - kept})))
    values_model = Model(sites, f, kinds)
    return {
        "faults": float(f),
        "votes_failed": sum(model.expected(s) for s in failed),
        "p_vote_failed": 1.0 - model.p_none(failed),
        "votes_changed_bit": sum(model.expected(s) for s in changed),
        "p_vote_changed_bit": 1.0 - model.p_none(changed),
        "p_masked": values_model.p_none({"changed"}),
    }


def sample_size(margin: float, confidence: float = 0.95, population: int | None = None, p: float = 0.5) -> int:
    """Trials needed to estimate a proportion p within +-margin at the given confidence.

    n0 = z^2 p (1 - p) / margin^2 with z the two-sided normal quantile, and,
    for a finite population of N fault configurations, n = n0 / (1 + (n0 - 1) / N).
    Rounded up; at least 1 and at most N. (At these sizes Student's t and the
    normal quantile agree to the digits that matter.)
    """
    if not 0.0 < margin <= 1.0:
        raise StudyError(f"the margin must lie in (0, 1], got {margin}")
    if not 0.0 < confidence < 1.0:
        raise StudyError(f"confidence must lie strictly between 0 and 1, got {confidence}")
    if not 0.0 <= p <= 1.0:
        raise StudyError(f"p must lie in [0, 1], got {p}")
    z = float(_scipy("stats").norm.ppf(0.5 + confidence / 2.0))
    n = z * z * p * (1.0 - p) / (margin * margin)
    if population is not None:
        if population < 1:
            raise StudyError(f"the population must hold at least one configuration, got {population}")
        n = n / (1.0 + (n - 1.0) / population)
    # Strip rounding fuzz before rounding up (9604.000000000002 is 9604).
    size = max(1, math.ceil(n * (1.0 - 1e-12)))
    return size if population is None else min(size, int(population))
