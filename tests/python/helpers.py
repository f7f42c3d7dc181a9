"""Assertions shared by the test files."""

import math
import struct
import sys

import pytest


def bits(x):
    """The bit pattern of a float (all NaNs alike), for exact comparisons."""
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def assert_bitwise_equal(actual, expected):
    assert len(actual) == len(expected)
    mismatches = [(i, a, e) for i, (a, e) in enumerate(zip(actual, expected)) if bits(a) != bits(e)]
    assert mismatches == [], f"first mismatches (index, actual, expected): {mismatches[:5]}"


def _count_of_an_object_one_local_holds():
    held = object()
    return sys.getrefcount(held)


# What sys.getrefcount reports for an object that one local variable alone holds, as in
# `sys.getrefcount(name)`: 2 up to CPython 3.13 (the variable and the call's argument),
# 1 from 3.14 on, whose calls may pass a local as a borrowed reference. An object that
# n containers hold besides the local counts n + ONE_LOCAL.
ONE_LOCAL = _count_of_an_object_one_local_holds()


def error_of(call):
    """(exception type, message) of what `call()` raises, BaseExceptions included."""
    with pytest.raises(BaseException) as caught:
        call()
    return caught.type, str(caught.value)
