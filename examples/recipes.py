#!/usr/bin/env python3
"""Recipes: piecewise polynomials with NumPy and SciPy.

zorv_arrays is the NumPy-native module: arrays in, arrays out, SciPy csr_arrays with
their shapes, a picklable LegendreSpace. zorv is the specified module (lists and
(rows, cols, values) triplets); its recipes at the end show how to use it with arrays.
tests/python/test_recipes.py runs them all. Run this file to see each recipe at a
realistic size, with its time.

Conventions used throughout:
- [0, T] is split into n_t equal elements; on element e the Legendre polynomials
  P_0 ... P_degree live on the element's own reference interval [-1, 1].
- A flat Legendre dof vector has n_t * (degree + 1) entries: the coefficient of P_k on
  element e stands at index e + n_t * k (all P_0 coefficients first, then all P_1, ...).
- Lagrange nodes are numbered globally: degree * n_t + 1 of them, or degree * n_t when
  periodic (the node at T is the node at 0).
"""

from __future__ import annotations

import time
from typing import Callable, Optional

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp
from numpy.polynomial import legendre
from scipy.sparse.linalg import lsqr

import zorv
import zorv_arrays

FloatArray = npt.NDArray[np.float64]
IndexArray = npt.NDArray[np.intp]


# --- Sparse matrices (zorv_arrays gives them with their shapes) -------------------


def node_count(degree: int, n_t: int, periodic: bool = False) -> int:
    """Number of Lagrange nodes of n_t elements."""
    return degree * n_t if periodic else degree * n_t + 1


def prolongation(nt_coarse: int, nt_fine: int, degree: int, periodic: bool = False) -> sp.csr_array:
    """Coarse node values -> fine node values. Rows: fine nodes; columns: coarse nodes."""
    return zorv_arrays.prolongation(degree, nt_coarse=nt_coarse, nt_fine=nt_fine, periodic=periodic)


def lagrange_to_legendre(degree: int, n_t: int, periodic: bool = False) -> sp.csr_array:
    """Node values -> Legendre dofs. Rows: dofs (index e + n_t*k); columns: Lagrange nodes."""
    return zorv_arrays.lagrange_to_legendre(degree, n_t, periodic)


def fine_legendre_dofs(
    coarse_values: FloatArray, nt_coarse: int, nt_fine: int, degree: int, periodic: bool = False
) -> FloatArray:
    """Legendre dofs on the fine grid of the Lagrange function given by its coarse node values.

    Coarse Lagrange values -> fine Lagrange values -> fine Legendre dofs, as one sparse
    product. Neither matrix depends on T, so the result serves any interval length.
    """
    to_legendre = lagrange_to_legendre(degree, nt_fine, periodic)
    to_fine = prolongation(nt_coarse, nt_fine, degree, periodic)
    dofs: FloatArray = (to_legendre @ to_fine) @ coarse_values
    return dofs


# --- Many functions on one grid ------------------------------------------------------


def space_time_values(space: zorv_arrays.LegendreSpace, dofs: FloatArray, times: FloatArray) -> FloatArray:
    """A space-time solution, one time function per spatial unknown (dofs of shape
    (n_unknowns, n_dofs)), at all times in one call: shape (n_unknowns,) + times.shape."""
    return space.evaluate(dofs, times)


def project_onto(space: zorv_arrays.LegendreSpace, f: Callable[[FloatArray], FloatArray]) -> FloatArray:
    """The L2 projection of a vectorised function: Gauss-Legendre on every element."""
    return space.project(f)


# --- The dof layout against numpy.polynomial.legendre ------------------------------


def dofs_from_coefficients(coefficients: FloatArray) -> FloatArray:
    """zorv's flat dof vector from coefficients[e, k] of P_k on element e (NumPy's order)."""
    return coefficients.ravel(order="F")


def coefficients_from_dofs(dofs: FloatArray, n_t: int, degree: int) -> FloatArray:
    """The inverse: coefficients[e, k] from a flat dof vector (also fits evaluate_all_basis_functions)."""
    return np.asarray(dofs, dtype=np.float64).reshape((n_t, degree + 1), order="F")


def element_and_xi(times: FloatArray, n_t: int, T: float) -> tuple[IndexArray, FloatArray]:
    """The element of each (finite) time and its position xi in [-1, 1] on that element.

    Times before 0 belong to the first element, times at or after T to the last, and a time
    on an inner element boundary to the element that begins there, as in zorv.
    """
    width = T / n_t
    element = np.clip(np.floor(times / width), 0, n_t - 1).astype(np.intp)
    left = width * element
    right = width + left
    xi = 2.0 * (times - (left + right) / 2.0) / (right - left)
    return element, np.clip(xi, -1.0, 1.0)


def evaluate_with_legval(coefficients: FloatArray, T: float, times: FloatArray) -> FloatArray:
    """The piecewise polynomial evaluated element by element with numpy's legval."""
    n_t = coefficients.shape[0]
    element, xi = element_and_xi(times, n_t, T)
    values = np.empty_like(xi)
    for e in range(n_t):
        on_e = element == e
        values[on_e] = legendre.legval(xi[on_e], coefficients[e])
    return values


# --- A sparse least-squares fit in the Legendre basis ------------------------------


def legendre_design_matrix(degree: int, n_t: int, T: float, times: FloatArray) -> sp.csr_array:
    """Matrix A with A @ dofs = the values at `times`: one row per time, degree+1 entries each."""
    return zorv_arrays.LegendreSpace(degree, n_t, T).basis_matrix(times)


def fit_legendre(degree: int, n_t: int, T: float, times: FloatArray, samples: FloatArray) -> FloatArray:
    """Least-squares Legendre dofs of the samples (times need not be sorted)."""
    design = legendre_design_matrix(degree, n_t, T, times)
    dofs: FloatArray = lsqr(design, samples, atol=1e-14, btol=1e-14)[0]
    return dofs


# --- zorv, the specified interface: lists and triplets to arrays -------------------


def evaluate_to_array(evaluator: zorv.LegendreBasisEvaluator, times: FloatArray) -> FloatArray:
    """evaluate_many as a float64 array of the shape of `times` (np.fromiter is the cheapest copy)."""
    values = evaluator.evaluate_many(times)
    return np.fromiter(values, dtype=np.float64, count=times.size).reshape(times.shape)


def prolongation_from_triplets(nt_coarse: int, nt_fine: int, degree: int, periodic: bool = False) -> sp.csr_array:
    """zorv's triplets as a csr_array. The shape must be given: SciPy would infer it from
    the largest indices present, which is too small when the last rows or columns are empty."""
    rows, cols, values = zorv.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic)
    shape = (node_count(degree, nt_fine, periodic), node_count(degree, nt_coarse, periodic))
    return sp.csr_array((values, (rows, cols)), shape=shape)


# --- Failures ----------------------------------------------------------------------


def set_dofs_or_message(evaluator: zorv.LegendreBasisEvaluator, dofs: FloatArray) -> Optional[str]:
    """Store the dofs; if zorv refuses them, return its message instead of ending the program.

    zorv reports a failed operation as PanicException, which derives from BaseException,
    not Exception: `except Exception` does not catch it. The class cannot be imported, so
    it is recognised by name; everything else (KeyboardInterrupt, ...) is raised again.
    """
    try:
        evaluator.set_dofs(dofs)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return str(error)
    return None


# --- A tour with timings -----------------------------------------------------------


def main() -> None:
    rng = np.random.default_rng(2024)

    start = time.perf_counter()
    degree, nt_coarse, nt_fine, T = 3, 1000, 8000, 10.0
    coarse_values = rng.standard_normal(node_count(degree, nt_coarse))
    dofs = fine_legendre_dofs(coarse_values, nt_coarse, nt_fine, degree)
    print(f"prolongation + transformation, degree {degree}, {nt_coarse} -> {nt_fine} elements: "
          f"{dofs.size} dofs in {time.perf_counter() - start:.3f} s")

    n_t = 50
    space = zorv_arrays.LegendreSpace(degree, n_t, T)
    coefficients = rng.standard_normal((n_t, degree + 1))
    times = rng.uniform(0.0, T, 10**6)
    space.evaluate(dofs_from_coefficients(coefficients), times)  # the first batch also starts the worker pool
    start = time.perf_counter()
    values = space.evaluate(dofs_from_coefficients(coefficients), times)
    middle = time.perf_counter()
    reference = evaluate_with_legval(coefficients, T, times)
    print(f"10^6 times on {n_t} elements: zorv_arrays {middle - start:.3f} s, numpy legval "
          f"element by element {time.perf_counter() - middle:.3f} s, "
          f"largest difference {np.max(np.abs(values - reference)):.1e}")

    unknowns = rng.standard_normal((1000, space.n_dofs))
    start = time.perf_counter()
    solution = space_time_values(space, unknowns, np.linspace(0.0, T, 1000))
    print(f"1000 functions at 1000 times: shape {solution.shape} in {time.perf_counter() - start:.3f} s")

    degree, n_t = 3, 200
    times = rng.uniform(0.0, T, 50_000)
    space = zorv_arrays.LegendreSpace(degree, n_t, T)
    true_dofs = project_onto(space, np.sin)
    samples = space.evaluate(true_dofs, times)
    start = time.perf_counter()
    fitted = fit_legendre(degree, n_t, T, times, samples)
    print(f"sparse least-squares fit, {times.size} samples, {true_dofs.size} dofs: "
          f"{time.perf_counter() - start:.3f} s, largest dof error {np.max(np.abs(fitted - true_dofs)):.1e}")

    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
    message = set_dofs_or_message(evaluator, np.zeros(5))
    print(f"zorv: set_dofs with 5 values: {message!r}")


if __name__ == "__main__":
    main()
