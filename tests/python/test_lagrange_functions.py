"""get_lagrange_points, lagrange_prolongation_matrix and lagrange_to_legendre_basis_transformation.

Node positions and prolongation entries are compared bit for bit with a reference that follows the
documented operation order in Python floats; the transformation is checked against exact weights
and, together with LegendreBasis, against an independently computed Lagrange interpolant.
"""

import math
import struct

import numpy as np
import pytest

import zorv

DEGREE_MESSAGE = "Periodic Lagrange bases require polynomial degree at least 1"
INTERVAL_MESSAGE = "Periodic Lagrange bases require at least one interval"
COUNTS_MESSAGE = "Periodic Lagrange prolongation requires positive interval counts"
CONVERSION_DEGREE_0 = "Lagrange to Legendre conversion not meaningful for degree 0"


def bits(x):
    return "nan" if math.isnan(x) else struct.pack("<d", x).hex()


def error_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return caught.type, str(caught.value)


def node_count(degree, n_t, periodic):
    return degree * n_t + (0 if periodic else 1)


# ---- references ---------------------------------------------------------------------------

def reference_points(degree, n_t, T, periodic):
    points = []
    if degree and n_t:
        h = T / n_t
        for i in range(n_t):
            left = h * i
            right = h + left
            points += [left + ((right - left) * k) / degree for k in range(degree)]
    if not periodic:
        points.append(T)
    return points


def reference_prolongation(nt_coarse, nt_fine, p, periodic):
    """Triplets built exactly as documented: locate, coincidence test, barycentric formula."""
    nodes = [-1.0 + ((1.0 - (-1.0)) * k) / p for k in range(p + 1)]
    weights = []
    for k in range(p + 1):
        product = 1.0
        for j in range(p + 1):
            if j != k:
                product *= nodes[k] - nodes[j]
        weights.append(1.0 / product)
    columns = node_count(p, nt_coarse, periodic)
    D, C = float(nt_fine * p), float(nt_coarse)
    entries = {}
    for r in range(node_count(p, nt_fine, periodic)):
        s = (r / D) * C
        e = min(int(math.floor(s)), nt_coarse - 1)
        xi = (s - e) + (s - e) + (-1.0)
        row = [0.0] * (p + 1)
        hit = next((k for k in range(p + 1) if abs(xi - nodes[k]) < 1e-14), None)
        if hit is not None:
            row[hit] = 1.0
        else:
            v = [weights[j] / (xi - nodes[j]) for j in range(p + 1)]
            total = 0.0
            for value in v:
                total += value
            row = [value / total for value in v]
        for k in range(p + 1):
            if row[k] != 0.0:
                c = (e * p + k) % columns if periodic else e * p + k
                entries[(r, c)] = entries[(r, c)] + row[k] if (r, c) in entries else row[k]
    keys = sorted(entries)
    return [r for r, _ in keys], [c for _, c in keys], [entries[key] for key in keys]


def dense(triplets, shape):
    rows, columns, values = triplets
    assert len(rows) == len(columns) == len(values)
    assert all(isinstance(i, int) for i in rows + columns) and all(isinstance(v, float) for v in values)
    positions = list(zip(rows, columns))
    assert positions == sorted(set(positions)), "entries not ordered by row, then column, or repeated"
    matrix = np.zeros(shape)
    for r, c, v in zip(rows, columns, values):
        matrix[r, c] = v
    return matrix


def lagrange_interpolant(u, degree, n_t, periodic, t):
    """The continuous piecewise polynomial with node values u, at t in [0, 1], by the product formula."""
    element = min(int(math.floor(t * n_t)), n_t - 1)
    local = np.array([(element + j / degree) / n_t for j in range(degree + 1)])
    values = [u[(element * degree + j) % len(u)] for j in range(degree + 1)]
    total = 0.0
    for j in range(degree + 1):
        others = np.delete(local, j)
        total += values[j] * np.prod((t - others) / (local[j] - others))
    return total


# ---- get_lagrange_points ------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, expected",
    [
        ((2, 2, 1.0), [0.0, 0.25, 0.5, 0.75, 1.0]),
        ((2, 2, 1.0, True), [0.0, 0.25, 0.5, 0.75]),
        ((2, 1, 1.0, True), [0.0, 0.5]),
        ((1, 3, 3.0), [0.0, 1.0, 2.0, 3.0]),
        ((3, 0, 2.5), [2.5]),
        ((0, 5, 2.5), [2.5]),
        ((0, 0, -1.0), [-1.0]),
        ((2, 2, 0.0), [0.0] * 5),
        ((1, 2, -2.0), [0.0, -1.0, -2.0]),
    ],
)
def test_points(args, expected):
    assert zorv.get_lagrange_points(*args) == expected


def test_points_follow_the_element_formula_to_the_last_bit():
    tenths = zorv.get_lagrange_points(2, 10, 1.0)
    assert tenths[3] == 0.15000000000000002 and tenths[6] == 0.30000000000000004
    sevenths = zorv.get_lagrange_points(3, 7, 1.0)
    assert sevenths[16] == 0.7619047619047618
    assert sevenths[18] == 0.8571428571428571
    assert sevenths[-1] == 1.0


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("T", [1.0, 0.3, 7.0, 1e-300, -2.5, math.nan, math.inf])
def test_points_match_the_reference_bit_for_bit(periodic, T):
    for degree in range(1, 7):
        for n_t in [1, 2, 3, 7, 10, 49]:
            points = zorv.get_lagrange_points(degree, n_t, T, periodic)
            assert len(points) == node_count(degree, n_t, periodic)
            assert [bits(x) for x in points] == [bits(x) for x in reference_points(degree, n_t, T, periodic)], (
                degree, n_t)


def test_points_keywords_and_flags():
    assert zorv.get_lagrange_points(T=1.0, n_t=2, degree=2, periodic=np.bool_(True)) == [0.0, 0.25, 0.5, 0.75]
    assert zorv.get_lagrange_points(2, 2, 1, np.bool_(False)) == [0.0, 0.25, 0.5, 0.75, 1.0]
    assert zorv.get_lagrange_points(True, 2, 1.0, periodic=False) == [0.0, 0.5, 1.0]


# ---- periodic checks and refused flags ----------------------------------------------------

@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: zorv.get_lagrange_points(0, 3, 1.0, True), DEGREE_MESSAGE),
        (lambda: zorv.get_lagrange_points(1, 0, 1.0, True), INTERVAL_MESSAGE),
        (lambda: zorv.get_lagrange_points(0, 0, 1.0, True), DEGREE_MESSAGE),
        (lambda: zorv.lagrange_prolongation_matrix(0, 4, 1, True), COUNTS_MESSAGE),
        (lambda: zorv.lagrange_prolongation_matrix(2, 0, 1, True), COUNTS_MESSAGE),
        (lambda: zorv.lagrange_prolongation_matrix(0, 0, 1, True), COUNTS_MESSAGE),
        (lambda: zorv.lagrange_prolongation_matrix(2, 4, 0, True), DEGREE_MESSAGE),
        (lambda: zorv.lagrange_prolongation_matrix(0, 0, 0, True), DEGREE_MESSAGE),
        (lambda: zorv.lagrange_to_legendre_basis_transformation(0, 3, True), DEGREE_MESSAGE),
        (lambda: zorv.lagrange_to_legendre_basis_transformation(1, 0, True), INTERVAL_MESSAGE),
        (lambda: zorv.lagrange_to_legendre_basis_transformation(0, 0, periodic=True), DEGREE_MESSAGE),
    ],
)
def test_periodic_checks(call, message):
    assert error_of(call) == (ValueError, message)


@pytest.mark.parametrize("flag, name", [(1, "int"), (0, "int"), (None, "NoneType"), (1.0, "float"),
                                        ("True", "str"), (np.int64(1), "int64")])
@pytest.mark.parametrize(
    "function, args",
    [(zorv.get_lagrange_points, (2, 2, 1.0)), (zorv.lagrange_prolongation_matrix, (2, 4, 1)),
     (zorv.lagrange_to_legendre_basis_transformation, (1, 2))],
)
def test_non_bool_flags_are_refused(function, args, flag, name):
    message = f"argument 'periodic': '{name}' object cannot be cast as 'bool'"
    assert error_of(lambda: function(*args, flag)) == (TypeError, message)
    assert error_of(lambda: function(*args, periodic=flag)) == (TypeError, message)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: zorv.lagrange_prolongation_matrix(2, 4, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        (lambda: zorv.lagrange_prolongation_matrix(0, 0, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        (lambda: zorv.lagrange_prolongation_matrix(0, 4, 1), "Lagrange prolongation requires at least one coarse interval"),
        (lambda: zorv.lagrange_prolongation_matrix(0, 0, 2), "Lagrange prolongation requires at least one coarse interval"),
        (lambda: zorv.lagrange_prolongation_matrix(2, 0, 1), "Lagrange prolongation requires at least one fine interval"),
        (lambda: zorv.lagrange_to_legendre_basis_transformation(0, 3), CONVERSION_DEGREE_0),
        (lambda: zorv.lagrange_to_legendre_basis_transformation(0, 0), CONVERSION_DEGREE_0),
        (lambda: zorv.lagrange_to_legendre_basis_transformation(0, 2**64 - 1), CONVERSION_DEGREE_0),
    ],
)
def test_non_periodic_stops(panic_exception, call, message):
    assert error_of(call) == (panic_exception, message)


# ---- counts that do not fit ---------------------------------------------------------------

@pytest.mark.parametrize(
    "call",
    [
        lambda: zorv.get_lagrange_points(2**63, 4, 1.0),
        lambda: zorv.get_lagrange_points(2**63, 2, 1.0, True),
        lambda: zorv.get_lagrange_points(2**64 - 1, 1, 1.0),
        lambda: zorv.lagrange_prolongation_matrix(1, 2**62, 8),
        lambda: zorv.lagrange_prolongation_matrix(2**62, 1, 8),
        lambda: zorv.lagrange_prolongation_matrix(1, 2**64 - 1, 1, True),
        lambda: zorv.lagrange_to_legendre_basis_transformation(2**62, 8),
        lambda: zorv.lagrange_to_legendre_basis_transformation(2**32, 2**32),
        lambda: zorv.lagrange_to_legendre_basis_transformation(2**62, 0),
        lambda: zorv.get_lagrange_points(1, 2**64, 1.0),
    ],
)
def test_counts_beyond_a_machine_word_raise_overflow_error(call):
    with pytest.raises(OverflowError):
        call()


@pytest.mark.parametrize(
    "call",
    [
        lambda: zorv.get_lagrange_points(2**20, 2**20, 1.0),
        lambda: zorv.get_lagrange_points(1, 2**40, 1.0, True),
        lambda: zorv.lagrange_prolongation_matrix(1, 2**40, 1),
        lambda: zorv.lagrange_prolongation_matrix(2**40, 1, 1),
        lambda: zorv.lagrange_prolongation_matrix(1, 1, 2**40),
        lambda: zorv.lagrange_to_legendre_basis_transformation(1, 2**40),
        lambda: zorv.lagrange_to_legendre_basis_transformation(2**40, 1, True),
    ],
)
@pytest.mark.exhausts_memory
def test_unallocatable_counts_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()


@pytest.mark.exhausts_memory
def test_node_lists_beyond_the_address_space_are_refused(panic_exception):
    # 2^64 - 1 nodes fit a machine word but not the address space
    kind, message = error_of(lambda: zorv.get_lagrange_points(1, 2**64 - 1, 1.0, True))
    assert kind is MemoryError or (kind, message) == (panic_exception, "capacity overflow")


def test_single_node_bases_with_huge_counts():
    assert zorv.get_lagrange_points(0, 2**64 - 1, 1.0) == [1.0]
    assert zorv.get_lagrange_points(2**64 - 1, 0, 1.0) == [1.0]


# ---- prolongation -------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, shape, expected",
    [
        ((2, 4, 1), (5, 3), [[1, 0, 0], [0.5, 0.5, 0], [0, 1, 0], [0, 0.5, 0.5], [0, 0, 1]]),
        ((2, 3, 1), (4, 3), [[1, 0, 0], [1 / 3, 2 / 3, 0], [0, 2 / 3, 1 / 3], [0, 0, 1]]),
        ((4, 2, 1), (3, 5), [[1, 0, 0, 0, 0], [0, 0, 1, 0, 0], [0, 0, 0, 0, 1]]),
        ((1, 2, 2, True), (4, 2), [[1, 0], [0.25, 0.75], [0, 1], [0.25, 0.75]]),
        ((1, 1, 1, True), (1, 1), [[1]]),
        ((2, 2, 1, True), (2, 2), [[1, 0], [0, 1]]),
    ],
)
def test_prolongation_examples(args, shape, expected):
    np.testing.assert_allclose(dense(zorv.lagrange_prolongation_matrix(*args), shape), expected,
                               rtol=1e-15, atol=1e-16)


def test_prolongation_exact_triplets():
    assert zorv.lagrange_prolongation_matrix(2, 4, 1) == (
        [0, 1, 1, 2, 3, 3, 4], [0, 0, 1, 1, 1, 2, 2], [1.0, 0.5, 0.5, 1.0, 0.5, 0.5, 1.0])
    rows, columns, values = zorv.lagrange_prolongation_matrix(nt_coarse=1, nt_fine=2, degree=2, periodic=True)
    # rows 1 and 3 merge 0.375 and -0.125 into column 0
    assert (rows, columns) == ([0, 1, 1, 2, 3, 3], [0, 0, 1, 1, 0, 1])
    assert values[:3] == [1.0, 0.25, 0.75] and values[3] == 1.0
    assert values[4:] == [0.24999999999999994, 0.7499999999999999]


def test_equal_counts_give_the_identity_while_every_node_coincides():
    for n in range(1, 65):
        rows, columns, values = zorv.lagrange_prolongation_matrix(n, n, 3)
        assert rows == columns == list(range(3 * n + 1)) and values == [1.0] * (3 * n + 1), n


def test_equal_counts_beyond_the_coincidence_tolerance():
    rows, columns, values = zorv.lagrange_prolongation_matrix(100, 100, 3)
    row_165 = [(c, v) for r, c, v in zip(rows, columns, values) if r == 165]
    assert [c for c, _ in row_165] == [165, 166, 167, 168]
    assert row_165[0][1] == 0.9999999999999609
    np.testing.assert_allclose([v for _, v in row_165[1:]], [6.39e-14, -3.20e-14, 7.1e-15], rtol=0.01)
    assert sum(v for _, v in row_165) == pytest.approx(1.0, abs=1e-15)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2, 3, 4, 5, 7])
def test_prolongation_matches_the_reference_bit_for_bit(degree, periodic):
    for nt_coarse, nt_fine in [(1, 1), (1, 3), (2, 5), (3, 2), (4, 12), (5, 7), (7, 3), (13, 40), (70, 70)]:
        triplets = zorv.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic)
        expected = reference_prolongation(nt_coarse, nt_fine, degree, periodic)
        assert triplets[:2] == expected[:2], (nt_coarse, nt_fine)
        assert [bits(v) for v in triplets[2]] == [bits(v) for v in expected[2]], (nt_coarse, nt_fine)


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2, 3, 4, 5])
def test_prolongation_interpolates_the_coarse_function(degree, periodic):
    seed = 1000 * degree + periodic
    rng = np.random.default_rng(seed)
    for nt_coarse, nt_fine in [(1, 4), (3, 7), (4, 2), (6, 6), (5, 23)]:
        u = rng.normal(size=node_count(degree, nt_coarse, periodic))
        shape = (node_count(degree, nt_fine, periodic), len(u))
        matrix = dense(zorv.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic), shape)
        fine_nodes = zorv.get_lagrange_points(degree, nt_fine, 1.0, periodic)
        expected = [lagrange_interpolant(u, degree, nt_coarse, periodic, t) for t in fine_nodes]
        np.testing.assert_allclose(matrix @ u, expected, rtol=1e-11, atol=1e-11,
                                   err_msg=f"seed={seed} coarse={nt_coarse} fine={nt_fine}")
        np.testing.assert_allclose(matrix.sum(axis=1), 1.0, rtol=0, atol=1e-12)


# ---- Lagrange to Legendre transformation --------------------------------------------------

WEIGHTS = {  # W[j][k]: weight of local node j in Legendre coefficient k
    1: [[0.5, -0.5], [0.5, 0.5]],
    2: [[1 / 6, -0.5, 1 / 3], [2 / 3, 0.0, -2 / 3], [1 / 6, 0.5, 1 / 3]],
    3: [[1 / 8, -11 / 40, 3 / 8, -9 / 40], [3 / 8, -27 / 40, -3 / 8, 27 / 40],
        [3 / 8, 27 / 40, -3 / 8, -27 / 40], [1 / 8, 11 / 40, 3 / 8, 9 / 40]],
}


def test_transformation_exact_triplets():
    assert zorv.lagrange_to_legendre_basis_transformation(1, 2) == (
        [0, 0, 1, 1, 2, 2, 3, 3], [0, 1, 1, 2, 0, 1, 1, 2], [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5])
    # one periodic element: both nodes are node 0, merged; the zero sum stays stored
    assert zorv.lagrange_to_legendre_basis_transformation(1, 1, True) == ([0, 1], [0, 0], [1.0, 0.0])
    assert zorv.lagrange_to_legendre_basis_transformation(3, 0) == ([], [], [])
    assert zorv.lagrange_to_legendre_basis_transformation(degree=1, n_t=0, periodic=False) == ([], [], [])


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2])
@pytest.mark.parametrize("n_t", [1, 2, 5])
def test_transformation_uses_the_fixed_weight_tables(degree, n_t, periodic):
    rows, columns, values = zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    nodes = node_count(degree, n_t, periodic)
    expected = {}
    for k in range(degree + 1):
        for e in range(n_t):
            for j in range(degree + 1):
                key = (k * n_t + e, (e * degree + j) % nodes)
                expected[key] = expected.get(key, 0.0) + WEIGHTS[degree][j][k]
    assert list(zip(rows, columns)) == sorted(expected)
    assert values == [expected[key] for key in sorted(expected)]


def test_degree_two_stores_the_zero_weight_of_the_middle_node():
    n_t = 4
    rows, columns, values = zorv.lagrange_to_legendre_basis_transformation(2, n_t)
    stored = {(r, c): v for r, c, v in zip(rows, columns, values)}
    for e in range(n_t):
        assert stored[(n_t + e, 2 * e + 1)] == 0.0


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t", [(1, 1), (1, 6), (2, 1), (2, 3), (3, 1), (3, 4), (4, 2), (6, 5), (9, 1)])
def test_transformation_structure(degree, n_t, periodic):
    rows, columns, values = zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
    nodes = node_count(degree, n_t, periodic)
    expected_count = (degree + 1) * degree if periodic and n_t == 1 else (degree + 1) ** 2 * n_t
    assert len(values) == expected_count
    dense((rows, columns, values), ((degree + 1) * n_t, nodes))  # ordering and uniqueness
    assert set(rows) == set(range((degree + 1) * n_t))
    for r in range((degree + 1) * n_t):
        e = r % n_t
        element_nodes = sorted({(e * degree + j) % nodes for j in range(degree + 1)})
        assert [c for row, c in zip(rows, columns) if row == r] == element_nodes


def test_degree_three_weights_match_the_exact_inverse():
    rows, columns, values = zorv.lagrange_to_legendre_basis_transformation(3, 1)
    matrix = dense((rows, columns, values), (4, 4))
    np.testing.assert_allclose(matrix, np.array(WEIGHTS[3]).T, rtol=1e-14, atol=1e-15)


@pytest.mark.parametrize("degree", [4, 5, 8])
def test_higher_degree_weights_invert_the_vandermonde_matrix(degree):
    matrix = dense(zorv.lagrange_to_legendre_basis_transformation(degree, 1), (degree + 1, degree + 1))
    nodes = np.linspace(-1.0, 1.0, degree + 1)
    vandermonde = np.array([np.polynomial.legendre.legval(nodes, np.eye(degree + 1)[k]) for k in range(degree + 1)])
    np.testing.assert_allclose(matrix.T @ vandermonde, np.eye(degree + 1), atol=1e-12)
    if degree == 4:  # the middle node's weight in coefficients 1 and 3 vanishes in exact arithmetic
        assert abs(matrix[1, 2]) < 1e-14 and abs(matrix[3, 2]) < 1e-14


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("T", [1.0, 2.5])
def test_transformed_coefficients_reproduce_the_lagrange_interpolant(degree, periodic, T):
    seed = 100 * degree + 10 * periodic + int(T)
    rng = np.random.default_rng(seed)
    for n_t in [1, 2, 5]:
        u = rng.normal(size=node_count(degree, n_t, periodic))
        rows, columns, values = zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic)
        transformation = np.zeros(((degree + 1) * n_t, len(u)))
        np.add.at(transformation, (rows, columns), values)
        coefficients = list(transformation @ u)
        basis = zorv.LegendreBasis(degree, n_t, T)
        times = np.concatenate([rng.uniform(0.0, 1.0, size=25), [0.0, 1.0], np.arange(n_t) / n_t + 1e-9])
        for t in times:
            expected = lagrange_interpolant(u, degree, n_t, periodic, t)
            assert basis.evaluate_at(t * T, coefficients) == pytest.approx(expected, rel=1e-11, abs=1e-11), (
                f"seed={seed} n_t={n_t} t={t}")
        # at the nodes themselves the node values come back
        nodes = zorv.get_lagrange_points(degree, n_t, T, periodic)
        for i, x in enumerate(nodes):
            assert basis.evaluate_at(x, coefficients) == pytest.approx(u[i], rel=1e-11, abs=1e-11)
