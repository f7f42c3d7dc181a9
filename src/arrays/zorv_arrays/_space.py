"""LegendreSpace: the discontinuous Legendre space, over the compiled core."""

from __future__ import annotations

import math
import warnings
from typing import (TYPE_CHECKING, Any, Callable, Literal, NoReturn, Optional, SupportsFloat, SupportsIndex, TypeVar,
                    Union, overload)

import numpy as np
from numpy.polynomial import Legendre, legendre
from numpy.typing import ArrayLike, NDArray

from . import _core
from ._arguments import interval_end, public

if TYPE_CHECKING:
    from scipy.interpolate import PPoly  # type: ignore[import-untyped, unused-ignore]
    from scipy.sparse import csr_array  # type: ignore[import-untyped, unused-ignore]

# A time given as one number: evaluate then returns a NumPy scalar, as ufuncs do.
_ScalarTime = Union[float, np.floating[Any], np.integer[Any]]
# A derivative order: a bool (False 0, True 1) or an integer >= 0, NumPy's too.
_Order = Union[bool, np.bool_, SupportsIndex]
# What a function of the space is outside [0, T].
_Extrapolate = Literal["clamp", "extend", "nan", "raise"]


def _normal_powers(base: float, degree: int) -> bool:
    """Whether base**k is a normal float for every k up to `degree` (base > 0)."""
    return abs(math.log2(base)) * degree < 1021.0


def _real_array(values: ArrayLike, name: str) -> NDArray[np.float64]:
    """`values` as a float64 array; booleans, strings, objects and complex numbers are refused,
    as the core refuses them (a silent conversion of them hides errors)."""
    array = np.asarray(values)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must be an array of real numbers, not of dtype {array.dtype}")
    return array.astype(np.float64, copy=False)


# The `workers` parameter of the long calls, as their docstrings show it.
_WORKERS_PARAMETER = """workers : int, optional
            Threads of the worker pool the call may run on, the calling thread
            included (as SciPy's `workers`): at most the pool's size
            (``RAYON_NUM_THREADS``, or the processors); a negative count is taken from
            the pool's size down (-1, like the default None, all of them). The results
            do not depend on it."""

_Method = TypeVar("_Method", bound=Callable[..., Any])


def _takes_workers(method: _Method) -> _Method:
    """Puts the shared description of `workers` where the docstring says ``{workers}``."""
    method.__doc__ = (method.__doc__ or "").replace("{workers}", _WORKERS_PARAMETER)
    return method


@public
class LegendreSpace:
    """The discontinuous Legendre space of a degree on `n_t` equal elements of [0, T].

    [0, T] is divided into `n_t` elements of width ``w = T / n_t``; on element ``e``
    the basis functions are the Legendre polynomials ``P_0 .. P_degree`` of the
    element's reference coordinate ``xi`` in [-1, 1]. A function of the space is a
    vector of ``n_dofs = n_t * (degree + 1)`` coefficients (dofs): the coefficient of
    ``P_k`` on element ``e`` is at index ``e + n_t * k`` (all ``P_0`` coefficients
    first, then all ``P_1`` coefficients, ...), as in ``zorv``.

    Parameters
    ----------
    degree : int
        Polynomial degree on each element, at least 0.
    n_t : int
        Number of elements, at least 1.
    T : float
        End of the interval [0, T]: finite and positive.

    Raises
    ------
    ValueError
        If `degree` < 0, `n_t` < 1, `T` is not finite and positive, or the dofs
        would not fit in memory.
    TypeError
        If `degree` or `n_t` is not an integer (a bool or a float is refused) or
        `T` is not a real number.

    Notes
    -----
    A time ``t`` belongs to element ``floor(t / w)`` (the float64 quotient), clamped to
    [0, n_t - 1]: times before 0 to the first element, times from T on to the last.
    `edges` holds the first time of each element by this rule, so that ``t`` lies in
    element ``e`` exactly when ``edges[e] <= t < edges[e + 1]`` (for t in [0, T)). Its
    reference coordinate is ``xi = 2 (t - (left + right) / 2) / (right - left)``,
    clamped to [-1, 1], with ``left = w * e`` and ``right = w + left``. `locate` gives
    both, bit for bit as every evaluation forms them.

    The space is an immutable value: equal and hashed by ``(degree, n_t, T)``;
    copies are the space itself, and it pickles as its three numbers (so it travels
    to Dask or multiprocessing workers cheaply), under every pickle protocol. Its
    methods, bound or not, pickle too.

    Examples
    --------
    >>> import numpy as np
    >>> import zorv_arrays as za
    >>> space = za.LegendreSpace(2, 3, 3.0)
    >>> space
    LegendreSpace(degree=2, n_t=3, T=3.0)
    >>> space.n_dofs
    9
    >>> space.edges
    array([0., 1., 2., 3.])
    """

    __slots__ = ("_space",)
    _space: _core.LegendreSpace

    def __init__(self, degree: SupportsIndex, n_t: SupportsIndex, T: SupportsFloat) -> None:
        space = _core.LegendreSpace(degree, n_t, interval_end(T))
        object.__setattr__(self, "_space", space)

    # ---- the value ----------------------------------------------------------------------

    @property
    def degree(self) -> int:
        """Polynomial degree on each element."""
        return self._space.degree

    @property
    def n_t(self) -> int:
        """Number of elements."""
        return self._space.n_t

    @property
    def T(self) -> float:
        """End of the interval [0, T]."""
        return self._space.T

    @property
    def n_dofs(self) -> int:
        """Number of dofs of a function, ``n_t * (degree + 1)``."""
        return self._space.n_dofs

    @property
    def edges(self) -> NDArray[np.float64]:
        """The ``n_t + 1`` element boundaries as the element rule places times, a new float64 array.

        ``edges[0] = 0`` and ``edges[n_t] = T``, the ends of the interval. For
        ``0 < e < n_t``, ``edges[e]`` is the first time (the smallest float64) that the
        element rule (`locate`, which every evaluation uses) places in element ``e``:
        since the rule is monotone, a time ``t`` lies in element ``e`` or a later one
        exactly when ``t >= edges[e]``. It is ``w * e`` (``w = T / n_t``, both in float64)
        or a float64 next to it, where ``t / w`` of that product rounds to the other side
        of ``e``; `to_ppoly` takes these breakpoints, so that its pieces are the elements
        that `evaluate` picks.

        The element's reference coordinate is formed from the ends ``w * e`` and
        ``w + w * e`` (the core's own ends; see `locate`), which can differ from these
        boundaries by an ulp or two; the last of them, ``w + w * (n_t - 1)``, can differ
        from ``T`` in the same way.
        """
        w = self.T / self.n_t
        index = np.arange(self.n_t + 1, dtype=np.float64)
        edges = w * index
        inner, element = edges[1:-1], index[1:-1]
        # t lies in element e or a later one exactly when t / w >= e (e is an integer, and
        # the rule's element is the floor of the quotient): step each product up while its
        # quotient falls below e, then down while the float64 before it still reaches e.
        below = np.flatnonzero(inner / w < element)
        while below.size:
            inner[below] = np.nextafter(inner[below], np.inf)
            below = below[inner[below] / w < element[below]]
        above = np.flatnonzero(np.nextafter(inner, -np.inf) / w >= element)
        while above.size:
            inner[above] = np.nextafter(inner[above], -np.inf)
            above = above[np.nextafter(inner[above], -np.inf) / w >= element[above]]
        edges[-1] = self.T
        return edges

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, LegendreSpace):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        return f"LegendreSpace(degree={self.degree}, n_t={self.n_t}, T={self.T!r})"

    def __reduce__(self) -> tuple[type[LegendreSpace], tuple[int, int, float]]:
        # Every protocol: the class and its three numbers.
        return (type(self), self._key())

    def __copy__(self) -> LegendreSpace:
        return self

    def __deepcopy__(self, memo: object) -> LegendreSpace:
        return self

    def __setattr__(self, name: str, value: object) -> NoReturn:
        raise AttributeError(f"LegendreSpace is immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> NoReturn:
        raise AttributeError(f"LegendreSpace is immutable: cannot delete {name!r}")

    def _key(self) -> tuple[int, int, float]:
        return (self.degree, self.n_t, self.T)

    # ---- evaluation ---------------------------------------------------------------------

    @overload
    def evaluate(self, dofs: ArrayLike, t: _ScalarTime, *, derivative: _Order = ...,
                 out: None = ..., extrapolate: _Extrapolate = ...,
                 workers: Optional[SupportsIndex] = ...) -> Any: ...

    @overload
    def evaluate(self, dofs: ArrayLike, t: ArrayLike, *, derivative: _Order = ...,
                 out: Optional[NDArray[np.float64]] = ..., extrapolate: _Extrapolate = ...,
                 workers: Optional[SupportsIndex] = ...) -> NDArray[np.float64]: ...

    @_takes_workers
    def evaluate(self, dofs: ArrayLike, t: ArrayLike, *, derivative: _Order = False,
                 out: Optional[NDArray[np.float64]] = None, extrapolate: _Extrapolate = "clamp",
                 workers: Optional[SupportsIndex] = None) -> Any:
        """Values (or time derivatives of any order) of functions of the space at times.

        Parameters
        ----------
        dofs : array_like, shape (..., n_dofs)
            One function per vector along the last axis, in the dof layout (the
            coefficient of ``P_k`` on element ``e`` at index ``e + n_t * k``).
        t : array_like
            Times, of any shape: anything ``numpy.asarray(t, float64)`` accepts.
        derivative : int or bool, optional
            The order ``m >= 0`` of the time derivative (False is 0, the value; True
            is 1): ``(2 / w)^m sum_k c_k P_k^(m)(xi)``, exact at the element ends;
            orders above the degree give zeros.
        out : ndarray, optional
            A C-contiguous, aligned, writable float64 array of the result's shape
            to write into.
        extrapolate : {'clamp', 'extend', 'nan', 'raise'}, optional
            What a function is at ``t < 0`` or ``t > T``. 'clamp' (default): the
            value at 0 or at T held (zorv's values, bit for bit), so every derivative
            is 0 there. 'extend': the end element's polynomial continued, with its
            derivatives (at +-inf, its limit). 'nan': NaN. 'raise': ValueError naming
            the first such time. A NaN time gives NaN under every rule.
        {workers}

        Returns
        -------
        ndarray or numpy.float64
            Shape ``dofs.shape[:-1] + t.shape``: ``result[..., j]`` is the function
            ``dofs[...]`` at ``t[j]``. A result without axes (one function, one time)
            is a ``numpy.float64``, as from a NumPy ufunc; with `out` given, `out`.

        Raises
        ------
        ValueError
            If the last axis of `dofs` is not ``n_dofs`` long, `out` has another shape,
            `derivative` is negative, `extrapolate` names no rule, a time lies
            outside [0, T] with ``extrapolate='raise'``, or `workers` is 0.
        TypeError
            If `dofs` or `t` are not real numbers (booleans, strings, objects and complex
            numbers are refused), `out` is not a writable, aligned, C-contiguous
            float64 array, or `workers` is not an integer or None.

        Notes
        -----
        Each time is located and its basis values formed once, then used for every
        function. Values are bit for bit those of
        ``zorv.LegendreBasisEvaluator.evaluate_many`` with the same dofs and times.

        Derivatives are those of the element's polynomial,
        ``(2 / w) sum_k c_k P_k'(xi)``, with ``P_k'`` from the stable recurrence
        ``P_(k+1)' = P_(k-1)' + (2k + 1) P_k``, at the reference coordinate ``xi``
        that the values use: there they are within a small multiple (about 1 at
        degree 3, 30 at degree 40) of ``eps * sum_k |c_k| k^2 2 / w`` of the exact
        derivative, at every time, element ends included (there it is the one-sided
        derivative of the element the time belongs to). That ``xi`` carries the
        rounding of ``w = T / n_t`` and of the element's ends, about ``2 e eps`` on
        element ``e`` (as does the time itself, whose own rounding is of that size
        in ``xi``): against the exact time, add that error of ``xi`` times the
        polynomial's second derivative. zorv's derivative methods keep a
        regularised quotient that loses all accuracy as ``xi`` nears +-1.

        From 2048 evaluations (functions x times) on, the interpreter lock is
        released and the work runs on the process's worker pool.

        See Also
        --------
        LegendreSpace.basis_matrix : the same values as a sparse design matrix.
        LegendreSpace.locate : the element and reference coordinate of each time.
        LegendreSpace.to_ppoly : the functions as a SciPy ``PPoly``.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(2, 3, 3.0)
        >>> dofs = np.arange(1.0, 10.0)
        >>> space.evaluate(dofs, [1.25, 0.0, 3.0])
        array([-1.5,  4. , 18. ])
        >>> print(space.evaluate(dofs, 1.25))
        -1.5
        >>> space.evaluate(np.stack([dofs, 2 * dofs]), [0.0, 3.0], derivative=True)
        array([[-34.,  66.],
               [-68., 132.]])
        >>> space.evaluate(dofs, [0.5, 2.5], derivative=2)
        array([ 84., 108.])
        >>> space.evaluate(dofs, [-1.0, 4.0], extrapolate="extend")
        array([ 80., 138.])
        """
        values = self._space.evaluate(dofs, t, derivative=derivative, out=out, extrapolate=extrapolate,
                                      workers=workers)
        return values if out is not None or values.ndim else values[()]

    @_takes_workers
    def locate(self, t: ArrayLike, *, workers: Optional[SupportsIndex] = None) -> tuple[Any, Any]:
        """The element of each time and its reference coordinate, by the rule of `evaluate`.

        Parameters
        ----------
        t : array_like
            Times, of any shape: anything ``numpy.asarray(t, float64)`` accepts.
        {workers}

        Returns
        -------
        element : ndarray of int64, or numpy.int64
            The element of each time, of t's shape: ``floor(t / w)`` clamped to
            ``[0, n_t - 1]`` (so ``edges[e] <= t < edges[e + 1]`` for t in [0, T)).
        xi : ndarray of float64, or numpy.float64
            The reference coordinate in [-1, 1] of each time on its element:
            ``2 (t - (left + right) / 2) / (right - left)``, clamped, with
            ``left = w * element`` and ``right = w + left``.

            Both are bit for bit what `evaluate`, `basis_matrix`, `integrate` and `fit`
            use (and zorv's evaluators): times before 0 are at ``xi = -1`` of element 0,
            times from T on at ``xi = 1`` of the last (a NaN time at element 0, ``xi``
            NaN). A time without axes gives NumPy scalars.

        Raises
        ------
        ValueError
            If `workers` is 0.
        TypeError
            If `t` is not real numbers or `workers` is not an integer or None.

        See Also
        --------
        LegendreSpace.edges : the first time of each element by the same rule.
        LegendreSpace.evaluate : values at times placed by this rule.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(2, 4, 2.0)
        >>> element, xi = space.locate([0.0, 0.75, 1.0, 2.0, 5.0])
        >>> element
        array([0, 1, 2, 3, 3])
        >>> xi
        array([-1.,  0., -1.,  1.,  1.])
        >>> dofs = np.arange(12.0)
        >>> coefficients = space.to_coefficients(dofs)
        >>> value = np.polynomial.legendre.legval(xi[1], coefficients[element[1]])
        >>> bool(value == space.evaluate(dofs, 0.75))
        True
        """
        element, xi = self._space.locate(t, workers=workers)
        return (element, xi) if element.ndim else (element[()], xi[()])

    @_takes_workers
    def basis_matrix(self, t: ArrayLike, *, derivative: _Order = False,
                     extrapolate: _Extrapolate = "clamp", workers: Optional[SupportsIndex] = None) -> csr_array:
        """The design matrix at times `t`.

        Parameters
        ----------
        t : array_like
            Times, of any shape (taken in flat order).
        derivative : int or bool, optional
            Rows of the basis functions' derivatives of this order (True is 1)
            instead of their values.
        extrapolate : {'clamp', 'extend', 'nan', 'raise'}, optional
            The rule for times outside [0, T], as for `evaluate`.
        {workers}

        Returns
        -------
        scipy.sparse.csr_array, shape (t.size, n_dofs)
            ``A @ dofs == evaluate(dofs, t.ravel())``. Row ``i`` holds ``degree + 1``
            entries, in columns ``e + n_t * k`` (``k = 0 .. degree``) for the element
            ``e`` of ``t.flat[i]``: the values ``P_k(xi)`` (equal to zorv's
            ``evaluate_all_basis_functions``) or, with `derivative`,
            ``(2 / w)^m P_k^(m)(xi)`` (the accurate derivatives of `evaluate`).

        Raises
        ------
        ValueError
            If `derivative` is negative, `extrapolate` names no rule, a time lies
            outside [0, T] with ``extrapolate='raise'``, the matrix would not fit in
            memory, or `workers` is 0.
        TypeError
            If `t` is not real numbers, or `derivative` or `workers` is not an integer.

        See Also
        --------
        LegendreSpace.evaluate : the same products without the matrix.
        LegendreSpace.fit : the least-squares solve with this matrix, element by element.

        Examples
        --------
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 2, 2.0)
        >>> space.basis_matrix([0.0, 1.75]).toarray()
        array([[ 1. ,  0. , -1. ,  0. ],
               [ 0. ,  1. ,  0. ,  0.5]])
        """
        return self._space.basis_matrix(t, derivative=derivative, extrapolate=extrapolate, workers=workers)

    @_takes_workers
    def project(self, f: Callable[[NDArray[np.float64]], ArrayLike], *,
                points: Optional[SupportsIndex] = None,
                workers: Optional[SupportsIndex] = None) -> NDArray[np.float64]:
        """The L2 projection of `f` onto the space, by Gauss-Legendre quadrature per element.

        Parameters
        ----------
        f : callable
            Vectorised: called once with the quadrature times ``t``, a float64 array of
            shape ``(n_t * points,)`` (element ``e``'s points at ``e * points`` to
            ``e * points + points - 1``), it returns real values of shape
            ``(..., n_t * points)``: one function per vector along the last axis.
        points : int, optional
            Quadrature points per element, from 1 to 1024 (the rule's work grows as
            ``points**2``); default ``degree + 1``. The interpreter lock is released
            while the rule, the times and the projection of many samples are computed.
        {workers}

        Returns
        -------
        ndarray, shape (..., n_dofs)
            The dofs: the coefficient of ``P_k`` on element ``e`` is ``(2k + 1) / 2``
            times the quadrature of ``f P_k`` over the element's reference interval.

        Raises
        ------
        ValueError
            If `points` < 1 or > 1024, ``f(t)`` has the wrong shape, or `workers` is 0.
        TypeError
            If `points` or `workers` is not an integer or None, or ``f(t)`` is not real
            numbers.

        Notes
        -----
        Exact (up to rounding) for functions that are polynomials of the space's degree
        on each element when ``points >= degree + 1``. What `f` raises passes through.

        See Also
        --------
        LegendreSpace.fit : least squares on samples instead of a function.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(2, 2, 1.0)
        >>> dofs = space.project(lambda t: 1.0 + 2.0 * t)
        >>> np.allclose(dofs, [1.5, 2.5, 0.5, 0.5, 0.0, 0.0], rtol=0, atol=1e-14)
        True
        """
        return self._space.project(f, points=points, workers=workers)

    # ---- calculus -----------------------------------------------------------------------

    @_takes_workers
    def integrate(self, dofs: ArrayLike, a: ArrayLike, b: ArrayLike, *,
                  extrapolate: _Extrapolate = "clamp", workers: Optional[SupportsIndex] = None) -> Any:
        """Definite integrals of functions of the space from `a` to `b`.

        Parameters
        ----------
        dofs : array_like, shape (..., n_dofs)
            One function per vector along the last axis, in the dof layout.
        a, b : array_like
            Lower and upper bounds, broadcast against each other.
        extrapolate : {'clamp', 'extend', 'nan', 'raise'}, optional
            What the function is outside [0, T], as for `evaluate`: the parts of
            ``[a, b]`` outside [0, T] contribute the held end value times their
            length ('clamp'), the integral of the end element's polynomial continued
            ('extend'), NaN ('nan'), or a ValueError ('raise').
        {workers}

        Returns
        -------
        ndarray or numpy.float64
            Shape ``dofs.shape[:-1] + broadcast(a, b).shape``; negative where
            ``b < a``, NaN for a NaN bound.

        Raises
        ------
        ValueError
            If the last axis of `dofs` is not ``n_dofs`` long, the bounds do not
            broadcast, a bound lies outside [0, T] with ``extrapolate='raise'``,
            `extrapolate` names no rule, or `workers` is 0.
        TypeError
            If `dofs`, `a` or `b` are not real numbers, or `workers` is not an integer
            or None.

        Notes
        -----
        Exact for the space's functions up to rounding: within an element the
        integral is formed from differences of Legendre polynomials at the two
        bounds (accurate relative to its own size for close bounds), whole elements
        from compensated sums of their means ``w * c_0``.

        See Also
        --------
        LegendreSpace.antiderivative : the integral from 0 as a function of the space.
        LegendreSpace.inner : integrals of products of two functions.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 2, 2.0)
        >>> # 1 on [0, 1], 2 + (t - 1.5) * 2 on [1, 2]
        >>> dofs = np.array([1.0, 2.0, 0.0, 1.0])
        >>> print(space.integrate(dofs, 0.0, 2.0))
        3.0
        >>> space.integrate(dofs, [0.0, 1.0, 1.5], 2.0)
        array([3.  , 2.  , 1.25])
        """
        values = self._space.integrate(dofs, a, b, extrapolate=extrapolate, workers=workers)
        return values if values.ndim else values[()]

    def antiderivative(self, dofs: ArrayLike) -> tuple[LegendreSpace, NDArray[np.float64]]:
        """The antiderivative from 0 of functions of the space.

        Parameters
        ----------
        dofs : array_like, shape (..., n_dofs)
            One function per vector along the last axis, in the dof layout.

        Returns
        -------
        space : LegendreSpace
            The space of degree ``degree + 1`` on the same grid.
        dofs : ndarray, shape (..., space.n_dofs)
            The antiderivatives: continuous, 0 at ``t = 0``, with the functions as
            their derivatives.

        Raises
        ------
        ValueError
            If the last axis of `dofs` is not ``n_dofs`` long.
        TypeError
            If `dofs` is not real numbers.

        Notes
        -----
        On each element, ``integral of P_k = (w / 2) (P_(k+1) - P_(k-1)) / (2k + 1)``
        for ``k >= 1`` and ``(w / 2) (P_1 + P_0)`` for ``k = 0``, plus the integral
        over the elements before it.

        See Also
        --------
        LegendreSpace.integrate : definite integrals between bounds.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 2, 2.0)
        >>> higher, F = space.antiderivative(space.project(lambda t: t))
        >>> higher
        LegendreSpace(degree=2, n_t=2, T=2.0)
        >>> values = higher.evaluate(F, [0.0, 1.0, 2.0])
        >>> np.allclose(values, [0.0, 0.5, 2.0], rtol=0, atol=1e-15)
        True
        """
        space, values = self._space.antiderivative(dofs)
        return LegendreSpace(space.degree, space.n_t, space.T), values

    @_takes_workers
    def inner(self, a: ArrayLike, b: ArrayLike, *, workers: Optional[SupportsIndex] = None) -> Any:
        """L2 inner products over [0, T] of functions of the space.

        Parameters
        ----------
        a, b : array_like, shape (..., n_dofs)
            Functions in the dof layout; their leading axes broadcast.
        {workers}

        Returns
        -------
        ndarray or numpy.float64
            Shape ``broadcast(a, b).shape[:-1]``.

        Raises
        ------
        ValueError
            If a last axis is not ``n_dofs`` long, the shapes do not broadcast, or
            `workers` is 0.
        TypeError
            If `a` or `b` are not real numbers, or `workers` is not an integer or None.

        Notes
        -----
        The Legendre mass matrix of an element is diagonal, with entries
        ``w / (2k + 1)``: the inner product is ``sum over e, k of w / (2k + 1) a b``
        of the coefficients, with no quadrature.

        See Also
        --------
        LegendreSpace.norm : ``sqrt(inner(dofs, dofs))``.
        LegendreSpace.integrate : integrals of one function.

        Examples
        --------
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 2, 2.0)
        >>> t = space.project(lambda t: t)
        >>> print(round(space.inner(t, t), 12))
        2.666666666667
        """
        values = self._space.inner(a, b, workers=workers)
        return values if values.ndim else values[()]

    @_takes_workers
    def norm(self, dofs: ArrayLike, *, workers: Optional[SupportsIndex] = None) -> Any:
        """L2 norms over [0, T] of functions of the space: ``sqrt(inner(dofs, dofs))``.

        Parameters
        ----------
        dofs : array_like, shape (..., n_dofs)
            Functions in the dof layout.
        {workers}

        Returns
        -------
        ndarray or numpy.float64
            Shape ``dofs.shape[:-1]``.

        Raises
        ------
        ValueError
            If the last axis of `dofs` is not ``n_dofs`` long, or `workers` is 0.
        TypeError
            If `dofs` is not real numbers, or `workers` is not an integer or None.

        See Also
        --------
        LegendreSpace.inner : the inner products behind it.

        Examples
        --------
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(0, 4, 2.0)
        >>> print(space.norm([1.0, 1.0, 1.0, 1.0]))
        1.4142135623730951
        """
        values = self._space.norm(dofs, workers=workers)
        return values if values.ndim else values[()]

    @_takes_workers
    def fit(self, t: ArrayLike, y: ArrayLike, *, w: Optional[ArrayLike] = None, axis: SupportsIndex = -1,
            weights: Optional[ArrayLike] = None, workers: Optional[SupportsIndex] = None) -> NDArray[np.float64]:
        """The weighted least-squares fit of samples by functions of the space.

        Parameters
        ----------
        t : array_like, shape (n,)
            Sample times, in [0, T] and finite.
        y : array_like
            Sample values, finite: the samples of one function lie along `axis`
            (``n`` of them), one function per vector along that axis.
        w : array_like, shape (n,), optional
            Finite weights of the residuals, as NumPy's and SciPy's fits take them:
            the fit minimises ``sum_i (w[i] (u(t[i]) - y_i))^2``. Default all 1.
            Keyword-only.
        axis : int, optional
            The axis of `y` along which the samples lie; default the last.
        weights : array_like, shape (n,), optional
            Deprecated: the weights of the squared residuals, ``w**2``. Give `w`.
        {workers}

        Returns
        -------
        ndarray, shape (..., n_dofs)
            For each function of `y`, the dofs ``u`` minimising
            ``sum_i (w[i] (u(t[i]) - y_i))^2``: the axes of `y` other than `axis`, in
            their order, then the dofs.

        Raises
        ------
        ValueError
            If the shapes do not match, `axis` is not an axis of `y`, a time lies
            outside [0, T], a value or a weight is not finite (or ``w**2`` overflows),
            or elements have fewer than ``degree + 1`` distinct sample times of
            nonzero weight (the message names them), or `workers` is 0.
        TypeError
            If `w` and `weights` are both given, an argument is not real numbers, or
            `workers` is not an integer or None.

        Warns
        -----
        DeprecationWarning
            If `weights` is given.

        Notes
        -----
        In this discontinuous space the normal equations are block diagonal: one
        ``(degree + 1) x (degree + 1)`` system per element, solved by Cholesky (by a
        column-pivoted QR where the block is nearly singular), all right-hand sides at
        once. The cost is linear in the number of samples. On each element the result
        is ``numpy.polynomial.legendre.legfit`` of its samples with the same `w`, at
        the reference coordinates ``xi`` of `locate`.

        See Also
        --------
        LegendreSpace.basis_matrix : the design matrix, for SciPy's solvers.
        LegendreSpace.project : the L2 projection of a function.
        numpy.polynomial.legendre.legfit : the fit on one element.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 2, 2.0)
        >>> t = np.linspace(0.0, 2.0, 9)
        >>> dofs = space.fit(t, 3.0 * t - 1.0)
        >>> values = space.evaluate(dofs, [0.5, 1.5])
        >>> np.allclose(values, [0.5, 3.5], rtol=0, atol=1e-14)
        True
        >>> # shape (9, 2): the samples lie along axis 0
        >>> samples = np.stack([t, 2.0 * t], axis=1)
        >>> space.fit(t, samples, w=np.full(9, 2.0), axis=0).shape
        (2, 4)
        """
        if weights is not None:
            if w is not None:
                raise TypeError("fit takes w or the deprecated weights (= w**2), not both")
            warnings.warn("fit(weights=...) is deprecated: give w, the weights of the residuals "
                          "(weights = w**2), as numpy.polynomial and SciPy's fits take them",
                          DeprecationWarning, stacklevel=2)
        elif w is not None:
            weights = self._squared_weights(t, w)
        if axis != -1:
            y = np.moveaxis(np.asarray(y), axis, -1)
        return self._space.fit(t, y, weights, workers=workers)

    @staticmethod
    def _squared_weights(t: ArrayLike, w: ArrayLike) -> NDArray[np.float64]:
        """The core's weights of the squared residuals, w**2, with w checked as given."""
        values = _real_array(w, "w")
        shape = np.shape(t)
        if len(shape) == 1 and values.shape != shape:
            raise ValueError(f"w must have the shape of t, {shape}, got shape {values.shape}")
        with np.errstate(over="ignore"):
            squares = np.square(values)
        bad = np.flatnonzero(~np.isfinite(squares))
        if bad.size:
            i = int(bad[0])
            reason = "is not finite" if not np.isfinite(values.flat[i]) else "is too large (w**2 overflows)"
            raise ValueError(f"fit: w {float(values.flat[i])!r} at position {i} {reason}")
        return squares

    # ---- conversions --------------------------------------------------------------------

    def to_coefficients(self, dofs: ArrayLike) -> NDArray[np.float64]:
        """The dofs as an array of Legendre coefficients per element.

        Parameters
        ----------
        dofs : array_like, shape (..., n_dofs)
            Functions of the space in the dof layout.

        Returns
        -------
        ndarray, shape (..., n_t, degree + 1)
            A new array: ``coefficients[..., e, k]`` is the coefficient of ``P_k`` on
            element ``e``, ``dofs[..., e + n_t * k]``; ``coefficients[..., e, :]`` is
            in the order ``numpy.polynomial.legendre.legval`` takes.

        Raises
        ------
        ValueError
            If the last axis of `dofs` is not ``n_dofs`` long.
        TypeError
            If `dofs` is not real numbers.

        See Also
        --------
        LegendreSpace.from_coefficients : the inverse.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 3, 3.0)
        >>> space.to_coefficients(np.arange(6.0))
        array([[0., 3.],
               [1., 4.],
               [2., 5.]])
        """
        values = self._dofs(dofs)
        shape = values.shape[:-1] + (self.degree + 1, self.n_t)
        return np.swapaxes(values.reshape(shape), -1, -2).copy()

    def from_coefficients(self, coefficients: ArrayLike) -> NDArray[np.float64]:
        """Dofs from Legendre coefficients per element, the inverse of `to_coefficients`.

        Parameters
        ----------
        coefficients : array_like, shape (..., n_t, degree + 1)
            ``coefficients[..., e, k]`` is the coefficient of ``P_k`` on element ``e``.

        Returns
        -------
        ndarray, shape (..., n_dofs)
            A new array in the dof layout.

        Raises
        ------
        ValueError
            If the last two axes are not ``(n_t, degree + 1)``.
        TypeError
            If `coefficients` is not real numbers.

        See Also
        --------
        LegendreSpace.to_coefficients : the inverse.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(1, 3, 3.0)
        >>> space.from_coefficients([[0.0, 3.0], [1.0, 4.0], [2.0, 5.0]])
        array([0., 1., 2., 3., 4., 5.])
        """
        values = _real_array(coefficients, "coefficients")
        expected = (self.n_t, self.degree + 1)
        if values.shape[-2:] != expected:
            raise ValueError(f"coefficients must have shape (..., n_t, degree + 1) = (..., {expected[0]}, "
                             f"{expected[1]}), got shape {values.shape}")
        return np.swapaxes(values, -1, -2).copy().reshape(values.shape[:-2] + (self.n_dofs,))

    def to_legendre(self, dofs: ArrayLike) -> list[Legendre]:
        """One function as a ``numpy.polynomial.Legendre`` series per element.

        Parameters
        ----------
        dofs : array_like, shape (n_dofs,)
            One function of the space in the dof layout.

        Returns
        -------
        list of numpy.polynomial.Legendre
            ``n_t`` series; series ``e`` has the coefficients ``dofs[e + n_t * k]``,
            the domain ``[left_e, left_e + w]`` (``left_e = w * e``, as the core
            computes the element) and the window [-1, 1], so that ``p(t)`` is the
            function at times ``t`` of that element.

        Raises
        ------
        ValueError
            If `dofs` is not of shape ``(n_dofs,)``.
        TypeError
            If `dofs` is not real numbers.

        See Also
        --------
        LegendreSpace.to_ppoly : all elements as one SciPy ``PPoly``.
        LegendreSpace.to_coefficients : the coefficients as one array.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(2, 3, 3.0)
        >>> dofs = np.arange(1.0, 10.0)
        >>> pieces = space.to_legendre(dofs)
        >>> pieces[1].domain
        array([1., 2.])
        >>> print(pieces[1](1.25), space.evaluate(dofs, 1.25))
        -1.5 -1.5
        """
        values = self._dofs(dofs)
        if values.ndim != 1:
            raise ValueError(f"dofs must have shape (n_dofs,) = ({self.n_dofs},), got shape {values.shape}")
        coefficients = self.to_coefficients(values)
        width = self.T / self.n_t
        lefts = width * np.arange(self.n_t, dtype=np.float64)  # the core's left ends, w * e
        return [Legendre(coefficients[e], domain=[left, left + width], window=[-1.0, 1.0])
                for e, left in enumerate(lefts.tolist())]

    def to_ppoly(self, dofs: ArrayLike) -> PPoly:
        """Functions of the space as a ``scipy.interpolate.PPoly`` (power basis per element).

        Parameters
        ----------
        dofs : array_like, shape (..., n_dofs)
            Functions of the space in the dof layout.

        Returns
        -------
        scipy.interpolate.PPoly
            Breakpoints `edges`, so that the PPoly picks, at every time, the element
            that `evaluate` picks; on element ``e``, ``c[m, e]`` is the coefficient of
            ``(t - edges[e]) ** (degree - m)``. Several functions make a vector-valued
            PPoly: ``ppoly(t)`` has the shape ``t.shape + dofs.shape[:-1]`` (where
            `evaluate` gives ``dofs.shape[:-1] + t.shape``). Outside [0, T] the PPoly
            continues the end elements' polynomials.

        Raises
        ------
        ValueError
            If the last axis of `dofs` is not ``n_dofs`` long, or a coefficient that
            the functions need does not fit in float64 (see Notes).
        TypeError
            If `dofs` is not real numbers.

        Notes
        -----
        The power basis is ill-conditioned as the degree grows: from a degree near 10
        on, its values lose digits that the Legendre coefficients keep.

        Each piece is the element's polynomial in ``xi`` of the core's element ends
        ``w * e`` and ``w + w * e``; where ``edges[e]`` lies an ulp or two from ``w * e``,
        ``s`` is measured from ``edges[e]`` all the same, which shifts the piece by that
        ulp or two of ``t`` (the size of the rounding that ``xi`` itself carries).

        The coefficient of ``s**k`` (``s = t - edges[e]``) scales as ``(2 / w)**k`` with
        the element width ``w = T / n_t``, and the PPoly evaluates ``s**k``: a power
        ``k`` can be used only while ``(2 / w)**k`` and ``w**k`` lie within the float64
        range (2**-1022 to 2**1024). For extreme widths (such as ``T = 1e-120`` or
        ``T = 1e120`` at degree 3) the coefficients are computed without overflowing on
        the way; powers beyond that range whose coefficients are all zero are left out
        of ``c`` (it then has fewer than ``degree + 1`` rows), and any other power
        beyond it is the ValueError, naming the power and the width.

        See Also
        --------
        LegendreSpace.edges : its breakpoints.
        LegendreSpace.to_legendre : one NumPy ``Legendre`` per element.

        Examples
        --------
        >>> import numpy as np
        >>> import zorv_arrays as za
        >>> space = za.LegendreSpace(2, 3, 3.0)
        >>> dofs = np.arange(1.0, 10.0)
        >>> ppoly = space.to_ppoly(dofs)
        >>> ppoly.c[:, 1]
        array([ 48., -38.,   5.])
        >>> print(ppoly(1.25), space.evaluate(dofs, 1.25))
        -1.5 -1.5
        """
        from scipy.interpolate import PPoly

        coefficients = self.to_coefficients(dofs)  # (..., n_t, degree + 1)
        order = self.degree + 1
        # Column k: the power-basis coefficients (in xi) of P_k.
        to_power = np.zeros((order, order))
        for k in range(order):
            to_power[:k + 1, k] = legendre.leg2poly(np.eye(order)[k])
        # xi = (2 / w) s - 1 with s = t - left: xi^j = sum_i C(j, i) (2 / w)^i (-1)^(j - i) s^i.
        scale = 2.0 * self.n_t / self.T
        width = self.T / self.n_t
        if _normal_powers(scale, self.degree) and _normal_powers(width, self.degree):
            substitution = np.zeros((order, order))
            for j in range(order):
                binomial = 1.0
                for i in range(j + 1):
                    substitution[i, j] = binomial * scale**i * (-1.0) ** (j - i)
                    binomial = binomial * (j - i) / (i + 1)
            powers = coefficients @ (substitution @ to_power).T  # (..., n_t, order): s^0 .. s^degree
        else:
            powers = self._extreme_powers(coefficients, to_power, scale, width)
        # PPoly wants (order, n_t, ...), highest power first.
        return PPoly(np.moveaxis(powers[..., ::-1], (-1, -2), (0, 1)), self.edges)

    def _extreme_powers(self, coefficients: NDArray[np.float64], to_power: NDArray[np.float64], scale: float,
                        width: float) -> NDArray[np.float64]:
        """The power-basis coefficients of to_ppoly where (2 / w)**degree or w**degree leaves the
        normal floats: the substitution without its scale, then power i scaled by scale**i in
        mantissa and exponent (which never overflows on the way). Powers s**i that overflow at the
        element's end are dropped when all their coefficients are zero; anything else that does not
        fit is a ValueError naming the bound."""
        order = self.degree + 1
        substitution = np.zeros((order, order))
        for j in range(order):
            binomial = 1.0
            for i in range(j + 1):
                substitution[i, j] = binomial * (-1.0) ** (j - i)
                binomial = binomial * (j - i) / (i + 1)
        unscaled = coefficients @ (substitution @ to_power).T
        powers = np.empty_like(unscaled)
        mantissa, exponent = math.frexp(scale)
        factor, factor_exponent = 1.0, 0  # scale**i = factor * 2**factor_exponent
        kept = order
        for i in range(order):
            with np.errstate(over="ignore", under="ignore"):
                powers[..., i] = np.ldexp(unscaled[..., i] * factor, factor_exponent)
            lost = (np.isfinite(unscaled[..., i]) & ~np.isfinite(powers[..., i])) | (
                (unscaled[..., i] != 0.0) & (powers[..., i] == 0.0))
            if lost.any() or (i > 0 and math.log2(width) * i > 1023.0 and np.any(powers[..., i] != 0.0)):
                raise ValueError(
                    f"to_ppoly: the coefficient of (t - edges[e])**{i} does not fit in float64 for elements of "
                    f"width w = T / n_t = {width!r}: the power basis needs (2 / w)**k and w**k within "
                    f"2**-1022 to 2**1024 for each power k that the functions use")
            if i > 0 and math.log2(width) * i > 1023.0 and kept == order:
                kept = i
            factor, step = math.frexp(factor * mantissa)
            factor_exponent += step + exponent
        return powers[..., :kept]

    def _dofs(self, dofs: ArrayLike) -> NDArray[np.float64]:
        values = _real_array(dofs, "dofs")
        if values.ndim == 0 or values.shape[-1] != self.n_dofs:
            raise ValueError(f"dofs must have shape (..., n_dofs) with n_dofs = n_t * (degree + 1) = "
                             f"{self.n_dofs}, got shape {values.shape}")
        return values
