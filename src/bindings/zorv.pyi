"""Piecewise polynomial spaces on a uniform time grid: Legendre evaluation, Lagrange nodes and sparse transfer matrices."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, Union, final

import numpy
from typing_extensions import Buffer, Self, TypeAlias

__all__ = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]

# What each kind of argument accepts. A count is an int, or anything with __index__
# (negative values raise OverflowError). A float is anything float() takes except
# strings. A flag is a bool or a NumPy boolean scalar, never an int.
_Count: TypeAlias = SupportsIndex
_Float: TypeAlias = Union[SupportsFloat, SupportsIndex]
_Flag: TypeAlias = Union[bool, numpy.bool_]
# Dofs: any sequence of floats (list, tuple, range, array('d'), ...) or a NumPy array,
# read item by item. A str is refused at run time.
_FloatSequence: TypeAlias = Union[Sequence[_Float], numpy.ndarray[Any, Any]]
# Times: any object exporting a buffer of float64 items (a float64 NumPy array of any
# shape, array('d'), a memoryview of those), read in row-major order. Other item types
# raise BufferError at run time. NumPy declares its arrays buffers only for Python 3.12
# and later, hence the explicit array type (floating: what older NumPy releases infer
# for float64 results such as linspace).
_FloatBuffer: TypeAlias = Union[Buffer, numpy.ndarray[Any, numpy.dtype[numpy.floating[Any]]]]
# The triplet form of a sparse matrix: row indices, column indices, values.
_Triplets: TypeAlias = tuple[list[int], list[int], list[float]]

def sum_as_string(a: _Count, b: _Count) -> str:
    """Formats the sum of two numbers as string."""

def lagrange_to_legendre_basis_transformation(degree: _Count, n_t: _Count, periodic: _Flag = False) -> _Triplets: ...
def lagrange_prolongation_matrix(
    nt_coarse: _Count, nt_fine: _Count, degree: _Count, periodic: _Flag = False
) -> _Triplets: ...
def get_lagrange_points(degree: _Count, n_t: _Count, T: _Float, periodic: _Flag = False) -> list[float]: ...
@final
class LegendreBasis:
    def __new__(cls, degree: _Count, n_t: _Count, T: _Float) -> Self: ...
    def evaluate_at(self, t: _Float, legendre_vals: _FloatSequence) -> float: ...
    def evaluate_all_basis_functions(self, t: _Float) -> list[float]: ...
    def evaluate_all_basis_function_derivatives(self, t: _Float) -> list[float]: ...

@final
class LegendreBasisEvaluator:
    """Class to evaluate legendre basis more often without copying the dofs from python each time"""

    def __new__(cls, degree: _Count, n_t: _Count, T: _Float) -> Self: ...
    def set_dofs(self, legendre_vals: _FloatSequence) -> None: ...
    def evaluate_at(self, t: _Float) -> float: ...
    def evaluate_derivative_at(self, t: _Float) -> float: ...
    def evaluate_many(self, t_values: _FloatBuffer) -> list[float]: ...
    def evaluate_derivative_many(self, t_values: _FloatBuffer) -> list[float]: ...
