"""Piecewise polynomial spaces on a uniform time grid, for NumPy users.

The companion of the ``zorv`` module, on the same numerical core: float64 NumPy arrays
in and out, SciPy sparse matrices with their shapes, and an immutable, picklable
`LegendreSpace`.

[0, T] is divided into ``n_t`` elements of width ``w = T / n_t``; on element ``e`` the
basis functions are the Legendre polynomials ``P_0 .. P_degree`` of the element's
reference interval [-1, 1].

Dof layout (as zorv's): a function is a vector of ``n_dofs = n_t * (degree + 1)``
coefficients; the coefficient of ``P_k`` on element ``e`` is at index ``e + n_t * k``
(all ``P_0`` coefficients first, then all ``P_1`` coefficients, ...).

The functions and methods are plain Python functions over the compiled extension
``zorv_arrays._core``: they have signatures, and they pickle by name (bound methods
with their space), so they travel to multiprocessing and Dask workers.

``__version__`` is the version of the package ``zorv`` that built the module, equal
to ``importlib.metadata.version("zorv")`` where the package is installed.
"""

from ._core import __version__
from ._functions import lagrange_points, lagrange_to_legendre, prolongation
from ._space import LegendreSpace

__all__ = ["LegendreSpace", "lagrange_points", "lagrange_to_legendre", "prolongation"]
