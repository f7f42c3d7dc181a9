"""Argument normalisation shared by the public functions and methods.

Counts and flags go to the compiled core as they are: it accepts NumPy integers and
booleans wherever Python ones are and writes every refusal. T is converted here, so
that a string or a non-number is refused by name rather than by the binding library.
"""

from __future__ import annotations

from typing import Callable, TypeVar

import numpy as np

_Public = TypeVar("_Public", bound=Callable[..., object])


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


def interval_end(value: object) -> float:
    """The end T of the interval [0, T] as a float (the compiled core checks that it is
    finite and positive); strings, booleans and non-numbers are a TypeError."""
    if isinstance(value, (str, bytes, bool, np.bool_)) or not (
        hasattr(type(value), "__float__") or hasattr(type(value), "__index__")
    ):
        raise TypeError(f"T must be a real number, not {type(value).__name__}")
    return float(value)  # type: ignore[arg-type]
