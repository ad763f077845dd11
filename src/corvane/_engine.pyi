# Type stubs for the native module corvane._engine.
from collections.abc import Sequence
from typing import Final, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

from ._rust.secded import Encoding

__all__ = [
    "STUCK_AT_0",
    "STUCK_AT_1",
    "FLIP",
    "draw_sites",
    "inject",
    "encoding_inject",
    "encoding_bits",
    "encoding_trial",
    "changed",
    "false_at",
    "code_values",
]

STUCK_AT_0: Final[int]
STUCK_AT_1: Final[int]
FLIP: Final[int]

_Sites: TypeAlias = npt.NDArray[np.uint64]
_Values: TypeAlias = npt.NDArray[np.float32] | npt.NDArray[np.uint16] | npt.NDArray[np.uint8]

def draw_sites(size: SupportsIndex, seed: SupportsIndex, count: SupportsIndex) -> _Sites:
    """The first `count` values of `Picker(size, seed=seed)`, in order."""

def inject(arrays: Sequence[_Values], kind: SupportsIndex, sites: _Sites) -> None:
    """Apply the fault `kind` at every site of the arrays, in place."""

def encoding_inject(encoding: Encoding, kind: SupportsIndex, sites: _Sites) -> None:
    """Apply the fault `kind` at every encoded bit index, in place."""

def encoding_bits(encoding: Encoding, sites: _Sites) -> npt.NDArray[np.uint8]:
    """The stored bit (0 or 1) at each encoded bit index, as a uint8 array."""

def encoding_trial(
    encoding: Encoding, kind: SupportsIndex, sites: _Sites, element_bits: SupportsIndex, correct_parity: object = False
) -> tuple[_Sites, npt.NDArray[np.uint16] | npt.NDArray[np.uint32], int, int, int, int, int]:
    """What the faults would change, decoding only the chunks they hit: the changed elements, their new
    patterns, and the hit chunks corrected, flagged, miscorrected, flagged with intact data, and hit twice or more."""

def changed(a: _Values, b: _Values) -> _Sites:
    """The indices where two arrays differ bitwise."""

def false_at(flags: list[bool], indices: _Sites) -> _Sites:
    """The entries of ``indices`` whose flag is False: the chunks among them that a decode flagged."""

def code_values(arr: npt.NDArray[np.float32] | npt.NDArray[np.uint16], code: SupportsIndex, encode: bool) -> None:
    """Encodes or decodes ``arr`` in place on the calling thread: code 0, 1, 2 embedded parity D3P1 / D7P1 /
    D15P1, 3 the majority vote."""
