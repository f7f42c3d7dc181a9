"""Piecewise polynomial spaces on a uniform time grid, for NumPy users.

The companion of the zorv module, on the same numerical core: float64 NumPy arrays
in and out, SciPy sparse matrices with their shapes, an immutable picklable space.

Dof layout (as zorv's): a function is a vector of n_dofs = n_t * (degree + 1)
coefficients; the coefficient of P_k on element e is at index e + n_t * k.
"""

from typing import Callable, Literal, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray
from scipy.sparse import csr_array  # type: ignore[import-untyped, unused-ignore]

Extrapolate = Literal["clamp", "extend", "nan", "raise"]

class LegendreSpace:
    """The discontinuous Legendre space of `degree` on `n_t` equal elements of [0, T]."""

    def __init__(self, degree: int, n_t: int, T: float) -> None: ...
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
    def __getstate__(self) -> tuple[int, int, float]: ...
    def __setstate__(self, arg: tuple[int, int, float], /) -> None: ...
    def __copy__(self) -> LegendreSpace: ...
    def __deepcopy__(self, memo: object) -> LegendreSpace: ...
    def evaluate(
        self,
        dofs: ArrayLike,
        t: ArrayLike,
        *,
        derivative: int = False,
        out: Optional[NDArray[np.float64]] = None,
        extrapolate: Extrapolate = "clamp",
    ) -> NDArray[np.float64]:
        """Functions dofs (shape (..., n_dofs)) or their order-m derivatives at times t (any shape): shape dofs.shape[:-1] + t.shape."""
    def basis_matrix(self, t: ArrayLike, *, derivative: int = False, extrapolate: Extrapolate = "clamp") -> csr_array:
        """The design matrix at t: a csr_array of shape (t.size, n_dofs), degree + 1 entries per row."""
    def integrate(self, dofs: ArrayLike, a: ArrayLike, b: ArrayLike, *, extrapolate: Extrapolate = "clamp") -> NDArray[np.float64]:
        """Integrals from a to b (broadcast): shape dofs.shape[:-1] + broadcast(a, b).shape."""
    def antiderivative(self, dofs: ArrayLike) -> tuple[LegendreSpace, NDArray[np.float64]]:
        """The antiderivative from 0: the space of degree + 1 and its dofs (shape (..., n_dofs of that space))."""
    def inner(self, a: ArrayLike, b: ArrayLike) -> NDArray[np.float64]:
        """L2 inner products over [0, T]: shape broadcast(a, b).shape[:-1]."""
    def norm(self, dofs: ArrayLike) -> NDArray[np.float64]:
        """L2 norms over [0, T]: shape dofs.shape[:-1]."""
    def fit(self, t: ArrayLike, y: ArrayLike, weights: Optional[ArrayLike] = None) -> NDArray[np.float64]:
        """Weighted least squares: dofs of shape (..., n_dofs) for samples y of shape (..., t.size)."""
    def project(self, f: Callable[[NDArray[np.float64]], ArrayLike], *, points: Optional[int] = None) -> NDArray[np.float64]:
        """The L2 projection of f (called on times of shape (n_t * points,)): dofs of shape (..., n_dofs)."""

def lagrange_points(degree: int, n_t: int, T: float, periodic: bool = False) -> NDArray[np.float64]:
    """Lagrange nodes in global node order: degree * n_t + 1 of them, degree * n_t when periodic."""

def prolongation(nt_coarse: int, nt_fine: int, degree: int, periodic: bool = False) -> csr_array:
    """Coarse to fine Lagrange node values: shape (nodes(nt_fine), nodes(nt_coarse))."""

def lagrange_to_legendre(degree: int, n_t: int, periodic: bool = False) -> csr_array:
    """Lagrange node values to Legendre dofs: shape (n_t * (degree + 1), nodes(n_t))."""
