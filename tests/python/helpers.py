"""Assertions shared by the test files."""

import math
import struct

import pytest


def bits(x):
    """The bit pattern of a float (all NaNs alike), for exact comparisons."""
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def assert_bitwise_equal(actual, expected):
    assert len(actual) == len(expected)
    mismatches = [(i, a, e) for i, (a, e) in enumerate(zip(actual, expected)) if bits(a) != bits(e)]
    assert mismatches == [], f"first mismatches (index, actual, expected): {mismatches[:5]}"


def error_of(call):
    """(exception type, message) of what `call()` raises, BaseExceptions included."""
    with pytest.raises(BaseException) as caught:
        call()
    return caught.type, str(caught.value)
