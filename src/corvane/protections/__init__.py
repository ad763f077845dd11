"""Protections behind one small interface: none, SEC-DED, embedded parity, majority vote; and their names."""

from __future__ import annotations

from collections.abc import Sequence

from ..errors import StudyError
from .base import Protection, Stored
from .plain import Cep, Mset, NoProtection
from .secded import Secded, SecdedStored

DEFAULT_PROTECTIONS = ("none", "secded:64", "cep:D3P1", "mset")

__all__ = [
    "DEFAULT_PROTECTIONS",
    "Cep",
    "Mset",
    "NoProtection",
    "Protection",
    "Secded",
    "SecdedStored",
    "Stored",
    "parse_protection",
    "parse_protections",
]


def parse_protection(text: str) -> Protection:
    """'none', 'secded:BITS', 'secded-pc:BITS', 'cep:D3P1|D7P1|D15P1' or 'mset'."""
    name, _, arg = text.strip().partition(":")
    name = name.lower()
    if name == "none" and not arg:
        return NoProtection()
    if name == "mset" and not arg:
        return Mset()
    if name in ("secded", "secded-pc"):
        try:
            bits = int(arg)
        except ValueError:
            raise StudyError(f"{name} needs a chunk size in bits, as in {name}:64, got '{text}'") from None
        return Secded(bits, correct_parity=name == "secded-pc")
    if name == "cep":
        return Cep(arg.upper())
    raise StudyError(f"unknown protection '{text}' (use none, secded:BITS, secded-pc:BITS, cep:D3P1|D7P1|D15P1, mset)")


def parse_protections(items: Sequence[str | Protection]) -> list[Protection]:
    out = [p if isinstance(p, Protection) else parse_protection(p) for p in items]
    names = [p.name for p in out]
    dupes = sorted({n for n in names if names.count(n) > 1})
    if dupes:
        raise StudyError(f"protection listed twice: {', '.join(dupes)}")
    if not out:
        raise StudyError("no protection given")
    return out
