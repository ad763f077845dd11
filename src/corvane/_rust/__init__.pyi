# Type stubs for the native module corvane._rust. The package layout only
# serves the stubs: at run time `secded`, `mset` and `cep` are attributes of
# the extension module, not importable submodules.
from collections.abc import Iterator, Sequence, Set as AbstractSet
from typing import SupportsIndex, final

import numpy as np
import numpy.typing as npt

from . import cep as cep
from . import mset as mset
from . import secded as secded

__all__ = [
    "secded",
    "mset",
    "cep",
    "Fault",
    "Picker",
    "list_of_array_fault_f32",
    "list_of_array_fault_u8",
    "list_of_array_fault_u16",
    "list_of_array_faults_f32",
    "list_of_array_faults_u8",
    "list_of_array_faults_u16",
]

@final
class Fault:
    @staticmethod
    def stuck_at_0() -> Fault: ...
    @staticmethod
    def stuck_at_1() -> Fault: ...
    @staticmethod
    def flip() -> Fault: ...

@final
class Picker:
    def __new__(cls, size: SupportsIndex, seed: SupportsIndex | None = None) -> Picker: ...
    @staticmethod
    def from_returned(
        initial_size: SupportsIndex,
        already_returned: AbstractSet[SupportsIndex],
        seed: SupportsIndex | None = None,
    ) -> Picker: ...
    def reset(self) -> None: ...
    @property
    def initial_size(self) -> int: ...
    @property
    def size(self) -> int: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[int]: ...
    def __next__(self) -> int: ...

def list_of_array_fault_f32(
    input: Sequence[npt.NDArray[np.float32]], fault: Fault, target_bit: SupportsIndex
) -> None: ...
def list_of_array_fault_u8(input: Sequence[npt.NDArray[np.uint8]], fault: Fault, target_bit: SupportsIndex) -> None: ...
def list_of_array_fault_u16(
    input: Sequence[npt.NDArray[np.uint16]], fault: Fault, target_bit: SupportsIndex
) -> None: ...
def list_of_array_faults_f32(
    input: Sequence[npt.NDArray[np.float32]], faults: Sequence[tuple[Fault, SupportsIndex]]
) -> None: ...
def list_of_array_faults_u8(
    input: Sequence[npt.NDArray[np.uint8]], faults: Sequence[tuple[Fault, SupportsIndex]]
) -> None: ...
def list_of_array_faults_u16(
    input: Sequence[npt.NDArray[np.uint16]], faults: Sequence[tuple[Fault, SupportsIndex]]
) -> None: ...
