"""Argument normalisation shared by the public functions and methods.

Every public callable passes its integer, flag and interval arguments through these
helpers before calling the compiled core, so that NumPy scalars are accepted wherever
Python numbers are and every refusal reads the same.
"""

from __future__ import annotations

import math
import operator
from typing import Callable, Optional, TypeVar

import numpy as np

_Public = TypeVar("_Public", bound=Callable[..., object])

# The compiled core takes counts as signed 64-bit integers.
_INT64_MAX = 2**63 - 1


def public(item: _Public) -> _Public:
    """Names `item` (a function or class) as a member of the package zorv_arrays.

    Pickle finds functions, classes and unbound methods by module and qualified name:
    naming the package rather than the private submodule keeps pickles valid however
    the package's files are arranged, and documentation tools list the item under the
    package. A class's functions are renamed with it.
    """
    item.__module__ = "zorv_arrays"
    for member in vars(item).values() if isinstance(item, type) else ():
        if callable(member) and hasattr(member, "__module__"):
            member.__module__ = "zorv_arrays"
    return item


def count(value: object, name: str) -> int:
    """`value` as a Python int: any integer, NumPy's included (operator.index).

    Booleans and floats are refused with a TypeError; the range is the core's concern
    (it raises ValueError naming the least allowed value), except integers beyond
    64 bits, which it cannot receive: OverflowError.
    """
    if type(value) is int and -_INT64_MAX - 1 <= value <= _INT64_MAX:  # the common case, first
        return value
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        index = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not -_INT64_MAX - 1 <= index <= _INT64_MAX:
        raise OverflowError(f"{name} must fit in a signed 64-bit integer, got {index}")
    return index


def optional_count(value: object, name: str) -> Optional[int]:
    """None, or `value` as by count(); the TypeError names None as allowed."""
    if value is None:
        return None
    try:
        return count(value, name)
    except TypeError:
        raise TypeError(f"{name} must be an integer or None, not {type(value).__name__}") from None


def flag(value: object, name: str) -> bool:
    """`value` as a Python bool: True, False or a NumPy boolean; anything else is a TypeError."""
    if value is True or value is False or isinstance(value, np.bool_):
        return bool(value)
    raise TypeError(f"{name} must be a boolean, not {type(value).__name__}")


def interval_end(value: object) -> float:
    """The end T of the interval [0, T] as a float: finite and positive, or ValueError."""
    if isinstance(value, (str, bytes, bool, np.bool_)) or not (
        hasattr(type(value), "__float__") or hasattr(type(value), "__index__")
    ):
        raise TypeError(f"T must be a real number, not {type(value).__name__}")
    end = float(value)  # type: ignore[arg-type]
    if not (math.isfinite(end) and end > 0.0):
        raise ValueError(f"T must be finite and positive, got {end!r}")
    return end
