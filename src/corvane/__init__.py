"""Bit-fault campaigns over model weights, and the protective encodings they study.

The native core lives in :mod:`corvane._rust`. The study layer above it:
:func:`load_weights` reads a weight file into a :class:`WeightSet`; a
:class:`Campaign` runs protections x fault rates (faults per stored bit) x
trials over it and gives :class:`Results`; ``corvane study`` does the same
from the command line. A :class:`VulnerabilityMap` measures one fault per
tensor and bit position and gives :class:`MapResults` (``corvane map``).
"""

from . import _rust
from .campaign import Campaign
from .errors import StudyError
from .mapresults import MapResults, StratumRecord
from .protections import Cep, Clip, Mset, NoProtection, Protection, Secded, parse_protection
from .results import Results
from .vocabulary import FaultSite, Tensor, TrialRecord, trial_seed
from .vulnerability import VulnerabilityMap
from .weights import WeightSet, load_weights

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
