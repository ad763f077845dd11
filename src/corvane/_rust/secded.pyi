from collections.abc import Sequence
from typing import SupportsIndex, final

import numpy as np
import numpy.typing as npt

from . import Fault

__all__ = ["Encoding", "encode_f32", "encode_u16"]

@final
class Encoding:
    def decode_f32(self) -> tuple[list[npt.NDArray[np.float32]], list[bool]]:
        """Decode a list of float32 values."""
    def decode_u16(self) -> tuple[list[npt.NDArray[np.uint16]], list[bool]]: ...
    def apply_fault(self, fault: Fault, target_bit: SupportsIndex) -> None: ...
    def apply_faults(self, faults: Sequence[tuple[Fault, SupportsIndex]]) -> None:
        """Apply multiple faults at once."""
    def clone(self) -> Encoding:
        """Return a new instance with cloned data."""
    def bit_count(self) -> int: ...

def encode_f32(input: Sequence[npt.NDArray[np.float32]], bits_per_chunk: SupportsIndex) -> Encoding:
    """Encode a all bits of a buffer of 32 bit floats."""

def encode_u16(input: Sequence[npt.NDArray[np.uint16]], bits_per_chunk: SupportsIndex) -> Encoding:
    """Encode a all bits of a buffer of 16 bit unsigned integers."""
