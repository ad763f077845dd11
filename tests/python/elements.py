"""Element types and helpers shared by the tests of the native module."""

import numpy as np

import corvane._rust as rust

# Element types by function suffix.
DTYPES = {"f32": np.float32, "u8": np.uint8, "u16": np.uint16}
WIDTH = {"f32": 32, "u8": 8, "u16": 16}
UINT = {"f32": np.uint32, "u8": np.uint8, "u16": np.uint16}


def internal_error_type():
    """The module's internal-error exception class (a BaseException)."""
    a = np.zeros(1, np.uint8)
    a.flags.writeable = False
    try:
        rust.list_of_array_fault_u8([a], rust.Fault.flip(), 0)
    except BaseException as exc:  # noqa: BLE001 - that is the point
        return type(exc)
    raise AssertionError("writing a read-only array did not fail")


def bits(arr, suffix):
    """The unsigned bit patterns of an array, flattened in row-major order."""
    return np.ascontiguousarray(arr).view(UINT[suffix]).ravel()
