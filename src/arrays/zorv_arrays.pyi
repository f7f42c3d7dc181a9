"""Piecewise polynomial spaces on a uniform time grid, for NumPy users.

The companion of the zorv module, on the same numerical core: float64 NumPy arrays
in and out, SciPy sparse matrices with their shapes, an immutable picklable space.

Dof layout (as zorv's): a function is a vector of n_dofs = n_t * (degree + 1)
coefficients; the coefficient of P_k on element e is at index e + n_t * k.
"""

from typing import Callable, Optional, SupportsIndex, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import csr_array  # type: ignore[import-untyped, unused-ignore]

# A flag: a bool, a NumPy bool, or the integer 0 or 1.
_Flag = Union[bool, np.bool_, int]

class LegendreSpace:
    """The discontinuous Legendre space of `degree` on `n_t` equal elements of [0, T]."""

    def __init__(self, degree: SupportsIndex, n_t: SupportsIndex, T: float) -> None: ...
    @property
    def degree(self) -> int: ...
    @property
    def n_t(self) -> int: ...
    @property
    def T(self) -> float: ...
    @property
    def n_dofs(self) -> int: ...
    def __eq__(self, arg: object, /) -> bool: ...
    def __ne__(self, arg: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[type[LegendreSpace], tuple[int, int, float]]: ...
    def __copy__(self) -> LegendreSpace: ...
    def __deepcopy__(self, memo: object) -> LegendreSpace: ...
    def evaluate(
        self,
        dofs: ArrayLike,
        t: ArrayLike,
        *,
        derivative: _Flag = False,
        out: Optional[NDArray[np.float64]] = None,
    ) -> NDArray[np.float64]:
        """Functions dofs (shape (..., n_dofs)) at times t (any shape): shape dofs.shape[:-1] + t.shape."""
    def basis_matrix(self, t: ArrayLike, *, derivative: _Flag = False) -> csr_array:
        """The design matrix at t: a csr_array of shape (t.size, n_dofs), degree + 1 entries per row."""
    def project(self, f: Callable[[NDArray[np.float64]], ArrayLike], *, points: Optional[SupportsIndex] = None) -> NDArray[np.float64]:
        """The L2 projection of f (called on times of shape (n_t * points,), points <= 1024): dofs of shape (..., n_dofs)."""

def lagrange_points(degree: SupportsIndex, n_t: SupportsIndex, T: float, periodic: _Flag = False) -> NDArray[np.float64]:
    """Lagrange nodes in global node order: degree * n_t + 1 of them, degree * n_t when periodic."""

def prolongation(nt_coarse: SupportsIndex, nt_fine: SupportsIndex, degree: SupportsIndex, periodic: _Flag = False) -> csr_array:
    """Coarse to fine Lagrange node values: shape (nodes(nt_fine), nodes(nt_coarse))."""

def lagrange_to_legendre(degree: SupportsIndex, n_t: SupportsIndex, periodic: _Flag = False) -> csr_array:
    """Lagrange node values to Legendre dofs: shape (n_t * (degree + 1), nodes(n_t))."""
