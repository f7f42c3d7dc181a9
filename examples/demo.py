#!/usr/bin/env python3
"""zorv demo: piecewise polynomials on a uniform time grid.

1. A smooth function in the discontinuous Legendre basis: the values of
   f(t) = sin(3t) + 0.3 cos(7t) at the Lagrange nodes of 200 elements of degree 4
   on [0, 2*pi] are turned into Legendre coefficients with the sparse matrix of
   ``lagrange_to_legendre_basis_transformation``; ``LegendreBasisEvaluator``
   then evaluates the function and its derivative at 10^6 times.
   ``zorv_arrays.LegendreSpace`` evaluates the same dofs: equal values, and a
   derivative that stays accurate up to the element ends, where zorv's
   regularised derivative formula loses accuracy (compared next to t = 0).
2. The Lagrange side: a coarse periodic Lagrange function (4 elements) is
   prolonged to a grid of 32 elements with ``lagrange_prolongation_matrix``,
   transformed to Legendre coefficients and evaluated with the Legendre classes.
3. All are plotted to a PNG (default examples/output/demo.png).

Usage: python3 examples/demo.py [--output PATH]
"""

import argparse
import math
import os
import time
from typing import Any, Tuple

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
import scipy.sparse as sp  # noqa: E402
from numpy.polynomial import legendre  # noqa: E402

import zorv  # noqa: E402
import zorv_arrays  # noqa: E402

Floats = npt.NDArray[np.float64]
# times, values, derivatives, and the derivative errors next to t = 0 (element_end_errors)
SmoothPart = Tuple[Floats, Floats, Floats, Tuple[Floats, Floats, Floats]]

T_END = 2.0 * math.pi
DEFAULT_OUTPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "output", "demo.png")


def f(t: Any) -> Any:
    return np.sin(3.0 * t) + 0.3 * np.cos(7.0 * t)


def f_prime(t: Any) -> Any:
    return 3.0 * np.cos(3.0 * t) - 2.1 * np.sin(7.0 * t)


def sparse_from_triplets(triplets: Tuple[list[int], list[int], list[float]], shape: Tuple[int, int]) -> Any:
    """A scipy CSR matrix from zorv's (rows, columns, values) lists."""
    rows, cols, values = triplets
    return sp.csr_matrix((values, (rows, cols)), shape=shape)


def lagrange_to_legendre(degree: int, n_t: int, periodic: bool = False) -> Any:
    """Matrix taking Lagrange node values to Legendre dofs (index e + n_t*k)."""
    nodes = degree * n_t + (0 if periodic else 1)
    triplets = zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    return sparse_from_triplets(triplets, ((degree + 1) * n_t, nodes))


def legendre_function(degree: int, n_t: int, node_values: Floats,
                      periodic: bool = False) -> Tuple[zorv.LegendreBasisEvaluator, Floats]:
    """A LegendreBasisEvaluator holding the function given by its Lagrange node values."""
    dofs = lagrange_to_legendre(degree, n_t, periodic) @ np.asarray(node_values)
    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T_END)
    evaluator.set_dofs(dofs.tolist())
    return evaluator, dofs


def smooth_function_part(points: int) -> SmoothPart:
    """First: f on 200 elements of degree 4, value and derivative at many times."""
    degree, n_t = 4, 200
    nodes = np.array(zorv.get_lagrange_points(degree, n_t, T_END))
    evaluator, dofs = legendre_function(degree, n_t, f(nodes))
    print(f"[1] f(t) = sin(3t) + 0.3 cos(7t) on [0, 2pi]: n_t = {n_t}, degree = {degree}, "
          f"{len(nodes)} Lagrange nodes -> {len(dofs)} Legendre dofs")

    times = np.linspace(0.0, T_END, points)
    start = time.perf_counter()
    value_list = evaluator.evaluate_many(times)
    first_seconds = time.perf_counter() - start
    start = time.perf_counter()
    value_list = evaluator.evaluate_many(times)
    value_seconds = time.perf_counter() - start
    start = time.perf_counter()
    derivative_list = evaluator.evaluate_derivative_many(times)
    derivative_seconds = time.perf_counter() - start
    space = zorv_arrays.LegendreSpace(degree, n_t, T_END)
    start = time.perf_counter()
    array_values = space.evaluate(dofs, times)
    array_value_seconds = time.perf_counter() - start
    start = time.perf_counter()
    array_derivatives = space.evaluate(dofs, times, derivative=True)
    array_derivative_seconds = time.perf_counter() - start
    print(f"    zorv        LegendreBasisEvaluator: evaluate_many {value_seconds * 1e3:.1f} ms for {points} times "
          f"(first call, which starts the worker pool: {first_seconds * 1e3:.1f} ms), "
          f"evaluate_derivative_many {derivative_seconds * 1e3:.1f} ms; lists")
    print(f"    zorv_arrays LegendreSpace.evaluate: values {array_value_seconds * 1e3:.1f} ms, "
          f"derivative=True {array_derivative_seconds * 1e3:.1f} ms; NumPy arrays")

    print(f"    {'t':>8}  {'value':>12}  {'exact':>12}  {'derivative':>12}  {'exact':>12}")
    for index in np.searchsorted(times, [0.5, 1.7, 2.9, 4.1, 5.3]):
        t = times[index]
        print(f"    {t:8.4f}  {value_list[index]:12.8f}  {f(t):12.8f}  "
              f"{derivative_list[index]:12.8f}  {f_prime(t):12.8f}")
    values = np.asarray(value_list)
    derivatives = np.asarray(derivative_list)
    same_bits = values.view(np.uint64).tobytes() == array_values.view(np.uint64).tobytes()
    print(f"    values: max error {np.max(np.abs(values - f(times))):.2e}; zorv_arrays equals zorv bit for bit: "
          f"{same_bits}")
    # zorv forms the derivative of P_k (k >= 2) as k (xi P_k - P_(k-1)) / (xi^2 - 1 + 1e-15):
    # at xi = +-1 exactly only the P_1 term survives, and within rounding of +-1 the quotient
    # of two tiny numbers is inaccurate. zorv_arrays differentiates with the recurrence
    # P'_(k+1) = P'_(k-1) + (2k+1) P_k, accurate everywhere. Element edges are such times.
    inside = (times > 0.0) & (times < T_END)
    print(f"    derivatives: max error for 0 < t < T: zorv {np.max(np.abs(derivatives - f_prime(times))[inside]):.2e}, "
          f"zorv_arrays {np.max(np.abs(array_derivatives - f_prime(times))[inside]):.2e}")
    edges = np.linspace(0.0, T_END, n_t + 1)
    edge_errors = (np.abs(np.asarray(evaluator.evaluate_derivative_many(edges)) - f_prime(edges)),
                   np.abs(space.evaluate(dofs, edges, derivative=True) - f_prime(edges)))
    print(f"    derivatives at the {n_t + 1} element edges (xi = +-1): max error zorv {np.max(edge_errors[0]):.2e}, "
          f"zorv_arrays {np.max(edge_errors[1]):.2e}")
    print(f"    f'(0) = f'(T) = {f_prime(0.0):.6f}: zorv {derivatives[0]:.6f} and {derivatives[-1]:.6f} "
          f"(regularised formula, not accurate at xi = +-1);")
    print(f"    {'':26}zorv_arrays {array_derivatives[0]:.6f} and {array_derivatives[-1]:.6f} "
          f"(accurate up to the element ends: the error is that of approximating f)")
    end_errors = element_end_errors(evaluator, space, dofs)
    distances = end_errors[0]
    print(f"    approaching t = 0, 1 + xi from {distances[0]:.0e} to {distances[-1]:.0f} (third panel): "
          f"max error of the element's derivative: zorv {np.max(end_errors[1]):.2e}, zorv_arrays {np.max(end_errors[2]):.2e}")

    # A single time through both classes: the evaluator, and LegendreBasis with the
    # dofs passed in (or its basis values dotted with the dofs).
    t = 1.0
    basis = zorv.LegendreBasis(degree, n_t, T_END)
    single = evaluator.evaluate_at(t)
    through_basis = basis.evaluate_at(t, dofs.tolist())
    dotted = float(np.dot(basis.evaluate_all_basis_functions(t), dofs))
    print(f"    at t = 1: evaluate_at {single:.15f}, LegendreBasis.evaluate_at {through_basis:.15f}, "
          f"basis values . dofs {dotted:.15f}")
    return times, values, derivatives, end_errors


def element_end_errors(evaluator: zorv.LegendreBasisEvaluator, space: zorv_arrays.LegendreSpace,
                       dofs: Floats) -> Tuple[Floats, Floats, Floats]:
    """Derivative errors of both modules at times approaching the element end t = 0.

    The reference is the derivative of the first element's own polynomial (numpy's legder),
    so the errors are those of the evaluation alone, not of the approximation of f.
    Returns the distances 1 + xi and the absolute errors of zorv and of zorv_arrays.
    """
    width = space.T / space.n_t
    distances = np.logspace(-17.0, 0.0, 341)
    times = distances * (width / 2.0)
    xi = 2.0 * times / width - 1.0
    first_element = np.reshape(dofs, (space.n_t, space.degree + 1), order="F")[0]
    reference = legendre.legval(xi, legendre.legder(first_element)) * (2.0 / width)
    zorv_errors = np.abs(np.asarray(evaluator.evaluate_derivative_many(times)) - reference)
    array_errors = np.abs(space.evaluate(dofs, times, derivative=True) - reference)
    return distances, zorv_errors, array_errors


def prolongation_part(plot_points: int) -> Tuple[Floats, ...]:
    """Second: a coarse periodic Lagrange function prolonged to a finer grid."""
    degree, nt_coarse, nt_fine = 3, 4, 32
    coarse_nodes = np.array(zorv.get_lagrange_points(degree, nt_coarse, T_END, periodic=True))
    coarse_values = np.array([0.2, 1.0, 0.6, -0.4, -1.0, -0.3, 0.5, 0.9, 0.1, -0.7, -0.5, 0.0])
    assert len(coarse_values) == len(coarse_nodes)

    triplets = zorv.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=True)
    prolongation = sparse_from_triplets(triplets, (degree * nt_fine, degree * nt_coarse))
    fine_values = prolongation @ coarse_values
    fine_nodes = np.array(zorv.get_lagrange_points(degree, nt_fine, T_END, periodic=True))
    print(f"[2] periodic Lagrange function, degree {degree}: {nt_coarse} elements "
          f"({len(coarse_nodes)} nodes) prolonged to {nt_fine} elements ({len(fine_nodes)} nodes), "
          f"prolongation matrix {prolongation.shape[0]}x{prolongation.shape[1]} with {prolongation.nnz} entries")

    fine, _ = legendre_function(degree, nt_fine, fine_values, periodic=True)
    coarse, _ = legendre_function(degree, nt_coarse, coarse_values, periodic=True)
    times = np.linspace(0.0, T_END, plot_points)
    fine_curve = np.asarray(fine.evaluate_many(times))
    coarse_curve = np.asarray(coarse.evaluate_many(times))
    print(f"    max |prolonged - coarse| over {plot_points} times: "
          f"{np.max(np.abs(fine_curve - coarse_curve)):.2e} (same polynomials, nested grids)")
    print(f"    periodic: value at 0 {fine.evaluate_at(0.0):.15f}, at T {fine.evaluate_at(T_END):.15f}")
    return times, fine_curve, fine_nodes, fine_values, coarse_nodes, coarse_values


def plot(path: str, smooth: SmoothPart, prolonged: Tuple[Floats, ...]) -> None:
    times, values, derivatives, (distances, zorv_errors, array_errors) = smooth
    step = max(1, len(times) // 4000)
    figure, axes = plt.subplots(4, 1, figsize=(10, 14.5), constrained_layout=True)

    axes[0].plot(times[::step], values[::step], label="zorv evaluate_many", linewidth=2.0)
    axes[0].plot(times[::step], f(times[::step]), "--", color="black", label="exact", linewidth=1.0)
    axes[0].set_title("f(t) = sin(3t) + 0.3 cos(7t) in the Legendre basis (n_t = 200, degree 4)")
    axes[0].set_ylim(-1.6, 2.0)
    axes[0].legend(loc="upper center", ncol=2)

    axes[1].plot(times[::step], derivatives[::step], color="tab:orange",
                 label="zorv evaluate_derivative_many", linewidth=2.0)
    axes[1].plot(times[::step], f_prime(times[::step]), "--", color="black", label="exact", linewidth=1.0)
    axes[1].set_title("f'(t)")
    axes[1].set_ylim(-6.0, 7.5)
    axes[1].legend(loc="upper center", ncol=2)

    # Errors of exactly 0 are drawn at the bottom of the logarithmic axis.
    floor = 1e-17
    end_axis = axes[2]
    end_axis.loglog(distances, np.maximum(zorv_errors, floor), color="tab:orange", linewidth=1.5,
                    label="zorv evaluate_derivative_many (regularised formula)")
    end_axis.loglog(distances, np.maximum(array_errors, floor), color="tab:blue", linewidth=1.5,
                    label="zorv_arrays evaluate(derivative=True) (recurrence)")
    # -1 + d rounds to -1 for d up to half the spacing of the doubles just above -1.
    end_axis.axvspan(distances[0], 2.0**-54, color="grey", alpha=0.2,
                     label="xi = -1 after rounding: the element end itself")
    end_axis.set_title("Error of f' next to the element end t = 0, against the polynomial's own derivative")
    end_axis.set_xlabel("distance 1 + xi from the element end (t = (1 + xi) w / 2)")
    end_axis.set_ylabel("absolute error (0 drawn at 1e-17)")
    end_axis.set_xlim(distances[0], distances[-1])
    end_axis.set_ylim(floor / 2.0, 10.0)
    end_axis.legend(loc="upper right", fontsize="small")
    end_axis.grid(True, alpha=0.3)

    times, curve, fine_nodes, fine_values, coarse_nodes, coarse_values = prolonged
    axes[3].plot(times, curve, color="tab:green", label="prolonged function (Legendre evaluation)")
    axes[3].plot(fine_nodes, fine_values, ".", color="tab:green", markersize=4, label="fine nodes (32 elements)")
    wrapped_nodes = np.append(coarse_nodes, T_END)
    wrapped_values = np.append(coarse_values, coarse_values[0])
    axes[3].plot(wrapped_nodes, wrapped_values, "o", color="tab:red", markersize=7,
                 label="coarse nodes (4 elements, periodic)")
    for boundary in np.linspace(0.0, T_END, 5):
        axes[3].axvline(boundary, color="grey", linewidth=0.5, linestyle=":")
    axes[3].set_title("Periodic cubic Lagrange function prolonged from 4 to 32 elements")
    axes[3].set_ylim(-1.3, 1.6)
    axes[3].legend(loc="upper center", ncol=3, fontsize="small")
    for axis in (axes[0], axes[1], axes[3]):
        axis.set_xlabel("t")
        axis.set_xlim(0.0, T_END)
        axis.grid(True, alpha=0.3)

    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description="zorv demo: Legendre evaluation and Lagrange transfer")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help=f"PNG to write (default {DEFAULT_OUTPUT})")
    parser.add_argument("--points", type=int, default=10**6, help="number of evaluation times (default 10^6)")
    args = parser.parse_args()

    smooth = smooth_function_part(args.points)
    prolonged = prolongation_part(2000)
    plot(args.output, smooth, prolonged)
    print(f"wrote {os.path.abspath(args.output)}")


if __name__ == "__main__":
    main()
