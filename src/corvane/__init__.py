"""Bit-fault injection and protective encodings for NumPy arrays.

The native core lives in :mod:`corvane._rust`.
"""

from . import _rust

__all__ = ["_rust"]
