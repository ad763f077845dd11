"""Bit-fault campaigns over model weights, and the protective encodings they study.

The native core lives in :mod:`corvane._rust`. The study layer above it:
:func:`load_weights` reads a weight file into a :class:`WeightSet`; a
:class:`Campaign` runs protections x fault rates (faults per stored bit) x
trials over it and gives :class:`Results`; ``corvane study`` does the same
from the command line. A :class:`VulnerabilityMap` measures one fault per
tensor and bit position and gives :class:`MapResults` (``corvane map``).

The native module and the study layer are imported on first use of one of
their names: the ``corvane`` command imports this package before anything
else, and should be inside its own error and Ctrl-C handling by the time
NumPy and the study's dependencies load.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from . import _rust
    from .campaign import Campaign
    from .errors import StudyError
    from .mapresults import MapResults, StratumRecord
    from .protections import Cep, Clip, Mset, NoProtection, Protection, Secded, parse_protection
    from .results import Results
    from .vocabulary import FaultSite, Tensor, TrialRecord, trial_seed
    from .vulnerability import VulnerabilityMap
    from .weights import WeightSet, load_weights

# Where each public name of the study layer lives.
_HOMES = {
    "Campaign": "campaign",
    "StudyError": "errors",
    **dict.fromkeys(("MapResults", "StratumRecord"), "mapresults"),
    **dict.fromkeys(("Cep", "Clip", "Mset", "NoProtection", "Protection", "Secded", "parse_protection"), "protections"),
    "Results": "results",
    "VulnerabilityMap": "vulnerability",
    **dict.fromkeys(("FaultSite", "Tensor", "TrialRecord", "trial_seed"), "vocabulary"),
    **dict.fromkeys(("WeightSet", "load_weights"), "weights"),
}


def __getattr__(name: str) -> Any:
    if name == "_rust":
        return importlib.import_module("._rust", __name__)  # importing a submodule binds it here
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), "_rust", *_HOMES])


__all__ = [
    "_rust",
    "Campaign",
    "Cep",
    "Clip",
    "FaultSite",
    "MapResults",
    "Mset",
    "NoProtection",
    "Protection",
    "Results",
    "Secded",
    "StratumRecord",
    "StudyError",
    "Tensor",
    "TrialRecord",
    "VulnerabilityMap",
    "WeightSet",
    "load_weights",
    "parse_protection",
    "trial_seed",
]
