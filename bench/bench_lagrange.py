#!/usr/bin/env python3
"""Benchmark of the Lagrange transfer matrices of zorv.

Measures, in one run:

- ``lagrange_to_legendre_basis_transformation(3, 10**5)`` and
- ``lagrange_prolongation_matrix(10**4, 10**5, 3)``

each against
(a) the floor: three lists of the same length and types built from NumPy arrays
    with ``tolist()`` (int64 rows and columns, float64 values); returning the
    triplets as Python lists cannot cost less;
(b) the same matrix built with NumPy and SciPy (``legvander`` + ``numpy.linalg.inv``
    for the Vandermonde weights, barycentric interpolation in NumPy for the
    prolongation, ``scipy.sparse`` COO -> CSR), then turned into the same
    triplet lists (``csr.tocoo()`` rows / cols / data ``.tolist()``).

The NumPy/SciPy result is checked against zorv's first: same sparsity pattern,
values within 1e-12. Timings are medians of several repeats; nothing here
asserts a timing.

Usage: python3 bench/bench_lagrange.py [--repeats N]
"""

import argparse
import os
import platform
import sys

import numpy as np
import scipy
import scipy.sparse as sp
from numpy.polynomial import legendre as npleg

import zorv

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_legendre import Table, format_time, measure, measure_pair  # noqa: E402

COINCIDENCE_TOLERANCE = 1e-14


# ---------------------------------------------------------------- NumPy / SciPy peers


def reference_nodes(degree):
    """Equispaced nodes of [-1, 1]: x_j = -1 + (2 j) / degree, in that operation order."""
    return -1.0 + ((1.0 - (-1.0)) * np.arange(degree + 1, dtype=np.float64)) / float(degree)


def node_count(degree, n_t, periodic):
    return degree * n_t if periodic else degree * n_t + 1


def to_triplet_lists(matrix):
    coo = matrix.tocoo()
    return coo.row.tolist(), coo.col.tolist(), coo.data.tolist()


def scipy_transformation(degree, n_t, periodic=False):
    """Lagrange node values -> Legendre coefficients, row k*n_t + e = coefficient k of element e."""
    nodes = reference_nodes(degree)
    vandermonde = npleg.legvander(nodes, degree).T  # V[k, j] = P_k(x_j)
    weights = np.linalg.inv(vandermonde)  # W[j, k]
    columns_of_nodes = node_count(degree, n_t, periodic)
    elements = np.arange(n_t)
    local = np.arange(degree + 1)
    # shape (degree+1 [k], n_t [e], degree+1 [j])
    rows = np.broadcast_to((local[:, None] * n_t + elements[None, :])[:, :, None],
                           (degree + 1, n_t, degree + 1))
    cols = np.broadcast_to((elements[:, None] * degree + local[None, :])[None, :, :],
                           (degree + 1, n_t, degree + 1))
    if periodic:
        cols = cols % columns_of_nodes
    values = np.broadcast_to(weights.T[:, None, :], (degree + 1, n_t, degree + 1))
    matrix = sp.coo_matrix((values.ravel(), (rows.ravel(), cols.ravel())),
                           shape=((degree + 1) * n_t, columns_of_nodes)).tocsr()
    return matrix


def barycentric_weights(nodes):
    differences = nodes[:, None] - nodes[None, :]
    np.fill_diagonal(differences, 1.0)
    return 1.0 / np.prod(differences, axis=1)


def scipy_prolongation(nt_coarse, nt_fine, degree, periodic=False):
    """Coarse Lagrange node values -> values at the nodes of the fine grid."""
    nodes = reference_nodes(degree)
    weights = barycentric_weights(nodes)
    fine_rows = node_count(degree, nt_fine, periodic)
    coarse_columns = node_count(degree, nt_coarse, periodic)
    r = np.arange(fine_rows, dtype=np.float64)
    s = (r / float(nt_fine * degree)) * float(nt_coarse)
    element = np.minimum(np.floor(s), nt_coarse - 1)
    offset = s - element
    xi = offset + offset + (-1.0)
    distance = xi[:, None] - nodes[None, :]
    near = np.abs(distance) < COINCIDENCE_TOLERANCE
    coincident = near.any(axis=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        terms = weights[None, :] / distance
        values = terms / terms.sum(axis=1, keepdims=True)
    first_near = np.argmax(near, axis=1)
    values[coincident] = 0.0
    values[coincident, first_near[coincident]] = 1.0
    element = element.astype(np.int64)
    cols = element[:, None] * degree + np.arange(degree + 1)[None, :]
    if periodic:
        cols %= coarse_columns
    keep = values != 0.0
    rows = np.broadcast_to(np.arange(fine_rows)[:, None], values.shape)
    matrix = sp.coo_matrix((values[keep], (rows[keep], cols[keep])),
                           shape=(fine_rows, coarse_columns)).tocsr()
    return matrix


# ---------------------------------------------------------------- comparison


def check_same(name, zorv_triplets, peer_matrix):
    rows, cols, values = (np.asarray(x) for x in zorv_triplets)
    peer = peer_matrix.tocoo()
    same_pattern = (rows.shape == peer.row.shape and np.array_equal(rows, peer.row)
                    and np.array_equal(cols, peer.col))
    error = float(np.max(np.abs(values - peer.data))) if same_pattern and values.size else float("nan")
    verdict = "OK" if same_pattern and error <= 1e-12 else "MISMATCH"
    print(f"{name}: {values.size} entries, same pattern: {same_pattern}, "
          f"max |value difference| = {error:.2e}  [{verdict}]")
    return rows, cols, values


def run_case(table, name, zorv_call, peer_call, repeats):
    triplets = zorv_call()
    rows, cols, values = check_same(name, triplets, peer_call())
    assert rows.dtype == np.int64 and values.dtype == np.float64
    del triplets

    def floor():
        return rows.tolist(), cols.tolist(), values.tolist()

    def peer():
        return to_triplet_lists(peer_call())

    zorv_time, floor_time = measure_pair(zorv_call, floor, repeats)
    peer_time = measure(peer, repeats)
    ratio = zorv_time.median / floor_time.median
    speedup = peer_time.median / zorv_time.median
    table.add(f"{name} / tolist floor", format_time(zorv_time.median), format_time(floor_time.median),
              f"{ratio:.2f}x", "<= 1.5x", ratio <= 1.5)
    table.add(f"{name}: numpy+scipy / zorv", format_time(zorv_time.median),
              format_time(peer_time.median), f"{speedup:.2f}x faster", ">= 1.5x", speedup >= 1.5)
    return zorv_time, floor_time, peer_time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="repeats per timing (default 7)")
    args = parser.parse_args()

    print(f"zorv from {zorv.__file__}")
    print(f"python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}, "
          f"{os.cpu_count()} processors, {platform.machine()}")
    print(f"median of {args.repeats}\n")

    table = Table()
    details = []
    cases = [
        ("transformation(3, 10^5)",
         lambda: zorv.lagrange_to_legendre_basis_transformation(3, 10**5),
         lambda: scipy_transformation(3, 10**5)),
        ("prolongation(10^4, 10^5, 3)",
         lambda: zorv.lagrange_prolongation_matrix(10**4, 10**5, 3),
         lambda: scipy_prolongation(10**4, 10**5, 3)),
    ]
    for name, zorv_call, peer_call in cases:
        details.append((name, run_case(table, name, zorv_call, peer_call, args.repeats)))
    print()
    table.print()
    print()
    print("best times:")
    for name, (zorv_time, floor_time, peer_time) in details:
        print(f"  {name}: zorv {format_time(zorv_time.best)}, floor {format_time(floor_time.best)}, "
              f"numpy+scipy {format_time(peer_time.best)}")


if __name__ == "__main__":
    main()
