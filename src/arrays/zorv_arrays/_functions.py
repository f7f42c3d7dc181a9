"""The module-level functions: Lagrange nodes and the sparse transfer matrices."""

from __future__ import annotations

from typing import TYPE_CHECKING, SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

from . import _core
from ._arguments import interval_end, public

if TYPE_CHECKING:
    from scipy.sparse import csr_array  # type: ignore[import-untyped, unused-ignore]


@public
def lagrange_points(degree: SupportsIndex, n_t: SupportsIndex, T: SupportsFloat,
                    periodic: Union[bool, np.bool_] = False) -> NDArray[np.float64]:
    """The nodes of the continuous Lagrange basis of a degree on `n_t` elements of [0, T].

    Parameters
    ----------
    degree : int
        Polynomial degree, at least 0 (at least 1 when `periodic`).
    n_t : int
        Number of elements, at least 0.
    T : float
        End of the interval [0, T]: finite and positive.
    periodic : bool, optional
        Identify T with 0: the node at T is the node at 0.

    Returns
    -------
    ndarray
        The nodes in global node order, float64: ``degree * n_t + 1`` of them, or
        ``degree * n_t`` when `periodic`. Equal to ``zorv.get_lagrange_points``.

    Raises
    ------
    ValueError
        If `degree` or `n_t` is negative, `T` is not finite and positive, or
        `periodic` with degree 0.
    TypeError
        If `degree` or `n_t` is not an integer, `T` is not a real number or
        `periodic` is not a boolean.

    See Also
    --------
    prolongation : the transfer between two grids of these nodes.
    lagrange_to_legendre : from values at these nodes to Legendre dofs.

    Examples
    --------
    >>> import zorv_arrays as za
    >>> za.lagrange_points(2, 2, 1.0)
    array([0.  , 0.25, 0.5 , 0.75, 1.  ])
    >>> za.lagrange_points(2, 2, 1.0, periodic=True)
    array([0.  , 0.25, 0.5 , 0.75])
    """
    return _core.lagrange_points(degree, n_t, interval_end(T),
                                 periodic)


@public
def prolongation(degree: SupportsIndex, *, nt_coarse: SupportsIndex, nt_fine: SupportsIndex,
                 periodic: Union[bool, np.bool_] = False) -> csr_array:
    """The Lagrange prolongation of a degree from `nt_coarse` to `nt_fine` elements.

    The degree comes first, as in `lagrange_points` and `lagrange_to_legendre`; the
    element counts are keyword-only, so that a call in the order of zorv's
    ``lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)`` fails instead of
    building another matrix.

    Parameters
    ----------
    degree : int
        Polynomial degree, at least 1.
    nt_coarse, nt_fine : int
        Numbers of coarse and fine elements of the same interval (keyword-only).
    periodic : bool, optional
        Periodic bases (the node at the end is the node at the start).

    Returns
    -------
    scipy.sparse.csr_array, shape (nodes(nt_fine), nodes(nt_coarse))
        With ``nodes(n) = degree * n + 1`` (``degree * n`` when `periodic`): it maps
        coarse node values to the interpolant's values at the fine nodes. Entry for
        entry zorv's ``lagrange_prolongation_matrix``; independent of T.

    Raises
    ------
    ValueError
        If a count is out of range (degree 0, a negative count, no fine element when
        periodic).
    TypeError
        If a count is not an integer, `periodic` is not a boolean, or the element
        counts are given by position.

    See Also
    --------
    lagrange_points : the nodes of both grids.

    Examples
    --------
    >>> import zorv_arrays as za
    >>> za.prolongation(1, nt_coarse=1, nt_fine=2).toarray()
    array([[1. , 0. ],
           [0.5, 0.5],
           [0. , 1. ]])
    """
    return _core.prolongation(nt_coarse, nt_fine, degree,
                              periodic)


@public
def lagrange_to_legendre(degree: SupportsIndex, n_t: SupportsIndex,
                         periodic: Union[bool, np.bool_] = False) -> csr_array:
    """The transformation from Lagrange node values to Legendre dofs.

    Parameters
    ----------
    degree : int
        Polynomial degree, at least 1.
    n_t : int
        Number of elements.
    periodic : bool, optional
        Periodic Lagrange basis (the node at the end is the node at the start).

    Returns
    -------
    scipy.sparse.csr_array, shape (n_t * (degree + 1), nodes(n_t))
        With ``nodes(n) = degree * n + 1`` (``degree * n`` when `periodic`); row
        ``e + n_t * k`` gives the coefficient of ``P_k`` on element ``e`` (the dof
        layout of `LegendreSpace`). Entry for entry zorv's
        ``lagrange_to_legendre_basis_transformation``, explicit zeros stored;
        independent of T.

    Raises
    ------
    ValueError
        If `degree` is 0 or a count is negative.
    TypeError
        If a count is not an integer or `periodic` is not a boolean.

    See Also
    --------
    lagrange_points : the nodes whose values it takes.
    LegendreSpace : the space of its result.

    Examples
    --------
    >>> import zorv_arrays as za
    >>> za.lagrange_to_legendre(1, 1).toarray()
    array([[ 0.5,  0.5],
           [-0.5,  0.5]])
    """
    return _core.lagrange_to_legendre(degree, n_t, periodic)
