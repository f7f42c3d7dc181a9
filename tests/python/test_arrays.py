"""zorv_arrays: the NumPy-native companion module agrees with zorv and with NumPy."""

import copy
import doctest
import functools
import inspect
import multiprocessing
import os
import pickle
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from numpy.polynomial import legendre

import zorv
import zorv_arrays as za

scipy_sparse = pytest.importorskip("scipy.sparse")


def special_times(n_t, T, rng, count):
    """Random times in and beyond [0, T], every element end, its neighbours and specials."""
    ends = np.linspace(0.0, T, n_t + 1)
    return np.concatenate([rng.uniform(-0.2 * T, 1.2 * T, count), ends, np.nextafter(ends, -np.inf),
                           np.nextafter(ends, np.inf), [np.inf, -np.inf, np.nan, -0.0, 1e300, -1e300]])


def zorv_values(degree, n_t, T, dofs, times):
    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(dofs)
    return np.array(evaluator.evaluate_many(np.ascontiguousarray(times, dtype=np.float64).ravel()))


# degree, n_t, T, leading dof shape, time shape: one and many functions, scalar and
# multi-axis times, counts on both sides of the pool threshold and the time blocks.
@pytest.mark.parametrize("degree, n_t, T, lead, t_shape", [
    (0, 1, 1.0, (), (7,)),
    (2, 3, 3.0, (), ()),
    (3, 7, 1.0, (4,), (50, 3)),
    (5, 40, 2.5, (2, 3), (3000,)),
    (20, 5, 0.7, (), (2100,)),
    (1, 1000, 10.0, (40,), (1100,)),
])
def test_values_equal_zorvs_batch_bit_for_bit(degree, n_t, T, lead, t_shape):
    rng = np.random.default_rng(degree * 1000 + n_t)
    space = za.LegendreSpace(degree, n_t, T)
    count = int(np.prod(t_shape))
    times = special_times(n_t, T, rng, count)
    times = rng.permutation(times)[:count].reshape(t_shape) if count >= times.size // 2 else rng.uniform(0, T, t_shape)
    dofs = rng.standard_normal(lead + (space.n_dofs,))
    values = space.evaluate(dofs, times)
    assert values.shape == lead + np.shape(times) and values.dtype == np.float64
    assert type(values) is (np.ndarray if values.shape else np.float64)  # a scalar as from a ufunc
    flat = values.reshape(-1, max(count, 1) if t_shape else 1)
    for function, function_dofs in enumerate(dofs.reshape(-1, space.n_dofs)):
        expected = zorv_values(degree, n_t, T, function_dofs, times)
        assert flat[function].view(np.uint64).tolist() == expected.view(np.uint64).tolist()
    # out: written in place and returned; a list of times and an int array of dofs convert.
    out = np.full(values.shape, 7.0)
    assert space.evaluate(dofs, times, out=out, derivative=np.False_) is out
    assert out.view(np.uint64).tolist() == values.view(np.uint64).tolist()
    if not lead:
        single = za.LegendreSpace(degree, n_t, T).evaluate(np.rint(dofs * 4).astype(np.int64), np.asarray(times).tolist())
        assert np.array_equal(single, space.evaluate(np.rint(dofs * 4), times), equal_nan=True)


# Times at, just below and just above inner edges of high index on a grid of 10^6
# elements, each in every lane of a vector group, against zorv's one-time calls. The
# second derivative of a function with only a P_2 part is a per-element constant, so it
# shows which element a time was placed in, bit for bit.
@pytest.mark.parametrize("degree", [3, 7])
def test_times_at_high_edges_are_placed_as_zorv_places_them_in_every_lane(degree):
    n_t, T = 10**6, 0.1  # a grid where the product misplaces times with |xi| up to 3e-10 off 1
    rng = np.random.default_rng(degree)
    edges = rng.integers(n_t // 2, n_t, 150)
    w = T / n_t
    ends = np.concatenate([edges * w, T * edges / n_t, (edges + 0.0) / (n_t / T)])
    base = np.concatenate([ends, np.nextafter(ends, 0.0), np.nextafter(ends, T)])
    base = base[:base.size - base.size % 8 + 1]  # a size of 1 modulo 8: each rotation moves every lane
    def in_every_lane(values):
        return np.concatenate([np.roll(values, r) for r in range(8)])
    times = in_every_lane(base)
    space = za.LegendreSpace(degree, n_t, T)
    dofs = rng.standard_normal(space.n_dofs)
    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(dofs)
    expected = np.array([evaluator.evaluate_at(t) for t in base])
    values = space.evaluate(dofs, times)
    assert values.view(np.uint64).tolist() == in_every_lane(expected).view(np.uint64).tolist()
    # zorv's element of each time (the value of e on element e), and a time in its middle.
    evaluator.set_dofs(np.r_[np.arange(n_t, dtype=float), np.zeros(n_t * degree)])
    element = np.array([evaluator.evaluate_at(t) for t in base]).astype(int)
    p2 = np.zeros((degree + 1, n_t))
    p2[2] = rng.uniform(1.0, 2.0, n_t)
    second = space.evaluate(p2.ravel(), times, derivative=2)
    middle = space.evaluate(p2.ravel(), (element + 0.5) * w, derivative=2)
    assert second.view(np.uint64).tolist() == in_every_lane(middle).view(np.uint64).tolist()


@pytest.mark.parametrize("order", [1, 2, 3])
@pytest.mark.parametrize("degree, n_t, T", [(0, 3, 1.0), (1, 2, 2.0), (3, 7, 1.0), (8, 4, 3.0), (20, 3, 1.0)])
def test_derivatives_agree_with_legder_at_zorvs_xi_up_to_element_ends(degree, n_t, T, order):
    rng = np.random.default_rng(degree)
    space = za.LegendreSpace(degree, n_t, T)
    coefficients = rng.uniform(-1.0, 1.0, (n_t, degree + 1))
    dofs = coefficients.ravel(order="F")
    times = special_times(n_t, T, rng, 300)[:-6]  # finite times
    derivatives = space.evaluate(dofs, times, derivative=np.True_ if order == 1 else np.int64(order))
    # zorv's own element and xi of every time: dofs e on P_0, and 1 on P_1.
    element = zorv_values(max(degree, 1), n_t, T, np.r_[np.arange(n_t), np.zeros(n_t * max(degree, 1))], times)
    xi = zorv_values(1, n_t, T, np.r_[np.zeros(n_t), np.ones(n_t)], times)
    element = element.astype(int)
    w = T / n_t
    exact = np.array([legendre.legval(np.longdouble(x), legendre.legder(coefficients[e].astype(np.longdouble), order))
                      for e, x in zip(element, xi)]) * np.longdouble(2 / w) ** order
    # Outside [0, T] the value is held (the default rule), so every derivative is 0.
    exact[(times < 0) | (times > T)] = 0
    ends = np.array([legendre.legval(1.0, legendre.legder(np.eye(degree + 1)[k], order)) for k in range(degree + 1)])
    scale = np.abs(coefficients[element]) @ ends * (2 / w) ** order
    error = np.abs(derivatives - exact.astype(np.float64))
    assert np.all(error <= 8 * np.finfo(float).eps * scale + 1e-300), (times[np.argmax(error)], error.max())
    # The design matrix's derivative rows give the same derivatives.
    matrix = space.basis_matrix(times, derivative=True if order == 1 else order)
    np.testing.assert_allclose(matrix @ dofs, derivatives, rtol=0, atol=8 * np.finfo(float).eps * scale.max())


@pytest.mark.parametrize("degree, n_t, T", [(0, 3, 1.0), (4, 6, 3.3), (9, 2, 0.7)])
def test_integrals_and_fit_agree_with_legint_and_legfit_per_element(degree, n_t, T):
    rng = np.random.default_rng(degree + 50)
    space = za.LegendreSpace(degree, n_t, T)
    coefficients = rng.uniform(-1.0, 1.0, (2, n_t, degree + 1))
    dofs = coefficients.transpose(0, 2, 1).reshape(2, -1)
    w = T / n_t
    # The antiderivative: legint on each element, plus the integrals of the elements before.
    higher, primitive = space.antiderivative(dofs)
    assert higher == za.LegendreSpace(degree + 1, n_t, T) and primitive.shape == (2, higher.n_dofs)
    before = np.concatenate([np.zeros((2, 1)), np.cumsum(coefficients[:, :, 0] * w, axis=1)[:, :-1]], axis=1)
    expected = np.array([[legendre.legint(coefficients[f, e], lbnd=-1, scl=w / 2) for e in range(n_t)] for f in range(2)])
    expected[:, :, 0] += before
    np.testing.assert_allclose(primitive.reshape(2, degree + 2, n_t).transpose(0, 2, 1), expected, rtol=0, atol=1e-14)
    # Definite integrals, broadcast: F(b) - F(a) of the antiderivative.
    a, b = rng.uniform(0, T, (5, 1)), rng.uniform(0, T, (1, 4))
    integrals = space.integrate(dofs, a, b)
    assert integrals.shape == (2, 5, 4)
    F = higher.evaluate(primitive, np.broadcast_to(b, (5, 4))) - higher.evaluate(primitive, np.broadcast_to(a, (5, 4)))
    np.testing.assert_allclose(integrals, F, rtol=0, atol=1e-13)
    np.testing.assert_allclose(space.inner(dofs, dofs[::-1]), [np.sum(coefficients[0] * coefficients[1] * w /
                                                                       (2 * np.arange(degree + 1) + 1))] * 2, rtol=1e-14)
    np.testing.assert_allclose(space.norm(dofs) ** 2, space.inner(dofs, dofs), rtol=1e-14)
    # The fit: legfit of each element's samples with the same w (signs and all), the samples
    # along axis 0; the deprecated weights are w**2.
    t = rng.uniform(0, T, 40 * n_t * (degree + 1))
    y = np.sin(np.arange(1, 3)[:, None] * t) + 0.1 * rng.standard_normal((2, t.size))
    residual_weights = rng.uniform(0.5, 2.0, t.size) * rng.choice([-1.0, 1.0], t.size)
    fitted = space.fit(t, y.T, w=residual_weights, axis=0)
    element, xi = space.locate(t)
    for e in range(n_t):
        mask = element == e
        reference = legendre.legfit(xi[mask], y[:, mask].T, degree, w=residual_weights[mask])
        np.testing.assert_allclose(fitted[:, e::n_t], reference.T, rtol=0, atol=1e-11)
    with pytest.warns(DeprecationWarning, match="give w"):
        assert np.array_equal(space.fit(t, y, weights=residual_weights**2), fitted)


# Sums whose terms cancel to a remainder far below their size: only the compensated sums
# (the two-sum's error term, the prefix sums' low words) keep it. One pair takes the
# general way, as many pairs as elements the vector kernel.
@pytest.mark.parametrize("pairs", [1, 9])
@pytest.mark.parametrize("tiny", [2.0**-60, -3 * 2.0**-70, 1e-17])
def test_cancelling_integrals_and_inner_products_are_exact(tiny, pairs):
    from fractions import Fraction
    # degree 1 on 8 elements of width 3: the mass matrix weights are 3 and 1. The bounds
    # lie in the zero elements 3 and 7, so that the integral is a difference of prefix
    # sums whose low words both matter.
    space = za.LegendreSpace(1, 8, 24.0)
    mean = np.array([1.0, tiny, -1.0, 0.0, 1.0, tiny, -1.0, 0.0])
    dofs = np.concatenate([mean, [0.0, 1.0, -tiny, 0.0, 0.0, 0.0, 1.0, 0.0]])
    exact = float(sum(Fraction(3.0 * m) for m in mean[4:7]))
    lower, upper = np.full(pairs, 10.5), np.full(pairs, 22.5)
    assert space.integrate(dofs, lower, upper).tolist() == [exact] * pairs
    assert space.integrate(dofs, upper, lower).tolist() == [-exact] * pairs
    other = np.ones(16)
    terms = [Fraction(3.0 * (a * b)) for a, b in zip(dofs[:8], other[:8])]
    terms += [Fraction(1.0 * (a * b)) for a, b in zip(dofs[8:], other[8:])]
    assert space.inner(np.stack([dofs, other]), np.stack([other, dofs])).tolist() == [float(sum(terms))] * 2


def test_extrapolation_rules_and_refusals():
    space = za.LegendreSpace(2, 2, 4.0)
    dofs = np.array([1.0, -1.0, 0.5, 0.5, 0.0, 2.0])  # c_2 = 0 on element 0, 2 on element 1
    times = np.array([-np.inf, -1.0, 0.0, 4.0, 5.0, np.inf])
    held = space.evaluate(dofs, [0.0, 0.0, 0.0, 4.0, 4.0, 4.0])
    assert space.evaluate(dofs, times).tolist() == held.tolist()
    assert space.evaluate(dofs, times, derivative=1).tolist()[::5] == [0.0, 0.0]
    extended = space.evaluate(dofs, times, extrapolate="extend")
    assert extended[0] == -np.inf and extended[-1] == np.inf  # c_1 = 0.5 leads on element 0; c_2 = 2 on element 1
    np.testing.assert_allclose(extended[[1, 4]], [legendre.legval(-2.0, [1.0, 0.5, 0.0]),
                                                  legendre.legval(2.0, [-1.0, 0.5, 2.0])])
    assert np.isnan(space.evaluate(dofs, times, extrapolate="nan")[[0, 1, 4, 5]]).all()
    with pytest.raises(ValueError, match=r"^time -inf lies outside \[0, 4\]$"):
        space.evaluate(dofs, times, extrapolate="raise")
    with pytest.raises(ValueError, match=r"^time 5 lies outside \[0, 4\]$"):
        space.integrate(dofs, 1.0, 5.0, extrapolate="raise")
    assert space.integrate(dofs, -1.0, 0.0) == held[0] and space.integrate(dofs, 4.0, np.inf) == np.inf
    with pytest.raises(ValueError, match="^extrapolate must be 'clamp', 'extend', 'nan' or 'raise', got 'hold'$"):
        space.evaluate(dofs, times, extrapolate="hold")
    with pytest.raises(ValueError, match="^derivative must be an order >= 0, got -1$"):
        space.evaluate(dofs, times, derivative=-1)
    assert not space.evaluate(dofs, [1.0, 3.0], derivative=3).any()
    assert not space.evaluate(dofs, [1.0, 3.0], derivative=2**70).any()
    with pytest.raises(ValueError, match="^fit: element 1 has fewer than 3 distinct sample times of positive weight$"):
        space.fit([0.5, 1.0, 1.5, 2.5, 2.5, 3.0], np.zeros(6))
    for w, reason in [(np.inf, "inf at position 1 is not finite"), (-1e160, "-1e+160 at position 1 is too large")]:
        with pytest.raises(ValueError, match="^fit: w " + re.escape(reason)):
            space.fit([0.5, 1.0, 1.5], np.zeros(3), w=[1.0, w, 1.0])
    with pytest.raises(TypeError, match="^fit takes w or the deprecated weights"):
        space.fit([0.5, 1.0, 1.5], np.zeros(3), w=np.ones(3), weights=np.ones(3))

# The last T: element ends beyond half the largest double, whose sums overflow.
@pytest.mark.parametrize("degree, n_t, points, T", [(0, 4, None, 2.0), (3, 5, None, 2.0), (6, 2, 10, 2.0),
                                                    (10, 3, None, 2.0), (3, 2, None, 1.5e308)])
def test_project_reproduces_polynomials_of_the_degree(degree, n_t, points, T):
    rng = np.random.default_rng(degree)
    space = za.LegendreSpace(np.int64(degree), np.uint16(n_t), T)
    dofs = rng.standard_normal((2, space.n_dofs))
    projected = space.project(lambda t: space.evaluate(dofs, t), points=points and np.int32(points))
    assert projected.shape == (2, space.n_dofs)
    np.testing.assert_allclose(projected, dofs, rtol=0, atol=1e-12)
    # A function beyond the degree: the projection is orthogonal to the space.
    wave = lambda t: np.sin(10 * (t / T))
    error = lambda t: wave(t) - space.evaluate(space.project(wave, points=degree + 8), t)
    quadrature = za.LegendreSpace(degree, n_t, T)
    for k in range(degree + 1):
        basis_k = np.zeros(space.n_dofs)
        basis_k[n_t * k:n_t * (k + 1)] = 1.0
        inner = quadrature.project(lambda t: error(t) * space.evaluate(basis_k, t), points=degree + 8)
        assert np.max(np.abs(inner[:n_t])) < 1e-10  # element means of error * P_k


@pytest.mark.parametrize("periodic", [False, True])
@pytest.mark.parametrize("degree, n_t, nt_fine", [(1, 2, 4), (2, 1, 2), (3, 5, 12), (4, 3, 2)])
def test_matrices_and_points_equal_zorvs_entry_for_entry(degree, n_t, nt_fine, periodic):
    nodes = lambda n: degree * n if periodic else degree * n + 1
    for matrix, triplets, shape in [
        (za.prolongation(degree, nt_coarse=np.int64(n_t), nt_fine=np.uint8(nt_fine), periodic=np.bool_(periodic)),
         zorv.lagrange_prolongation_matrix(n_t, nt_fine, degree, periodic),
         (nodes(nt_fine), nodes(n_t))),
        (za.lagrange_to_legendre(degree, n_t, periodic), zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic),
         ((degree + 1) * n_t, nodes(n_t))),
    ]:
        assert isinstance(matrix, scipy_sparse.csr_array) and matrix.shape == shape
        rows = np.repeat(np.arange(shape[0]), np.diff(matrix.indptr))
        assert (rows.tolist(), matrix.indices.tolist(), matrix.data.tolist()) == tuple(map(list, triplets))
    points = za.lagrange_points(degree, n_t, 2.5, periodic)
    assert points.dtype == np.float64 and points.tolist() == zorv.get_lagrange_points(degree, n_t, 2.5, periodic)
    # The design matrix: rows of zorv's basis vectors, degree + 1 entries each.
    space = za.LegendreSpace(degree, n_t, 2.5)
    times = special_times(n_t, 2.5, np.random.default_rng(degree), 20)
    times = times[:times.size // 2 * 2]
    design = space.basis_matrix(times.reshape(-1, 2))
    assert design.shape == (times.size, space.n_dofs) and np.all(np.diff(design.indptr) == degree + 1)
    basis = zorv.LegendreBasis(degree, n_t, 2.5)
    expected = np.array([basis.evaluate_all_basis_functions(t) for t in times])
    dense = design.toarray()
    assert np.array_equal(dense[expected != 0], expected[expected != 0], equal_nan=True)
    assert not np.any(np.where(expected == 0, dense, 0))
    # Column indices are 64-bit from 2**31 columns (n_t * (degree + 1)) on, also for a few rows.
    for d, n_t, index_type in [(0, 2**31 - 1, np.int32), (0, 2**31, np.int64), (0, 2**31 + 1, np.int64),
                               (1, 2**30 + 1, np.int64)]:
        large, times = za.LegendreSpace(d, n_t, float(n_t)), [0.5, n_t - 0.5, 1e9 + 0.5, -1.0]
        design = large.basis_matrix(times)
        assert design.indices.dtype == design.indptr.dtype == index_type and design.shape == (4, n_t * (d + 1))
        assert design.indices.tolist() == [e + n_t * k for e in [0, n_t - 1, 10**9, 0] for k in range(d + 1)]
        assert design.indptr.tolist() == list(range(0, 4 * d + 5, d + 1))
        if d == 0:
            # The same elements located by the vector kernel, on dofs that the system maps
            # lazily (16 GiB of zeros, a few pages touched), unless it refuses the mapping.
            try:
                dofs = np.zeros(n_t)
            except MemoryError:
                continue
            dofs[[0, 10**9, n_t - 1]] = [1.0, 2.0, 3.0]
            assert large.evaluate(dofs, times).tolist() == (design @ dofs).tolist()


def test_space_is_an_immutable_picklable_value():
    space = za.LegendreSpace(3, 10, 2.5)
    assert (space.degree, space.n_t, space.T, space.n_dofs) == (3, 10, 2.5, 40)
    assert repr(space) == "LegendreSpace(degree=3, n_t=10, T=2.5)"
    twins = [pickle.loads(pickle.dumps(space, protocol)) for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
    for twin in twins + [copy.copy(space), copy.deepcopy(space), eval(repr(space), vars(za))]:
        assert twin == space and hash(twin) == hash(space) and not (twin != space)
        assert twin.evaluate(np.arange(40.0), 1.3) == space.evaluate(np.arange(40.0), 1.3)
    # Every pickle protocol rebuilds the space with T to the last bit.
    # (0.9 / 10 * 10 is not 0.9: T is not what the grid's width gives back.)
    for T in [0.1 + 0.2, np.nextafter(2.5, 3.0), 3e-300, 0.9]:
        tricky = za.LegendreSpace(3, 10, T)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            twin = pickle.loads(pickle.dumps(tricky, protocol))
            assert type(twin) is za.LegendreSpace and twin == tricky and twin.T.hex() == float(T).hex(), protocol
    assert len({space, za.LegendreSpace(3, 10, 2.5), za.LegendreSpace(3, 10, 2.0), za.LegendreSpace(2, 10, 2.5)}) == 3
    assert space != (3, 10, 2.5)
    with pytest.raises(AttributeError):
        space.T = 1.0
    with pytest.raises(AttributeError):
        space.extra = 1
    with pytest.raises(AttributeError, match="immutable"):
        space._space = za.LegendreSpace(1, 1, 1.0)._space


def test_zorv_arrays_carries_the_version_of_the_package_metadata():
    pyproject = open(os.path.join(os.path.dirname(__file__), "..", "..", "pyproject.toml")).read()
    version = re.search(r'^\[project\][^[]*?^version = "([^"]+)"$', pyproject, re.M | re.S).group(1)
    assert za.__version__ == version
    assert "__version__" not in vars(zorv)  # zorv's attributes are fixed


def public_callables():
    """(name, callable) of every public function, the class, and its methods unbound and bound."""
    space = za.LegendreSpace(2, 3, 3.0)
    for name in za.__all__:
        item = getattr(za, name)
        yield name, item
        if isinstance(item, type):
            for method in [key for key, value in vars(item).items() if callable(value) and not key.startswith("_")]:
                yield f"{name}.{method}", getattr(item, method)
                yield f"space.{method}", getattr(space, method)


@pytest.mark.parametrize("name, item", list(public_callables()), ids=[name for name, _ in public_callables()])
def test_public_callables_have_signatures_pickle_and_run_their_examples(name, item):
    parameters = inspect.signature(item).parameters
    assert "args" not in parameters and "kwargs" not in parameters
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        twin = pickle.loads(pickle.dumps(item, protocol))
        if inspect.ismethod(item):  # bound: the same function, of an equal space
            assert twin.__func__ is item.__func__ and twin.__self__ == item.__self__
        else:
            assert twin is item
    # Every parameter is described ("name : type" lines, "a, b : ..." for two).
    described = {name for line in re.findall(r"^(\w+(?:, \w+)*) : ", inspect.getdoc(item) or "", re.MULTILINE)
                 for name in line.split(", ")}
    assert set(parameters) - {"self"} <= described, set(parameters) - described
    # The documentation's examples are correct (help() and the documentation show them).
    finder = doctest.DocTestFinder(recurse=False)  # a class's methods are items of their own
    examples = [test for test in finder.find(item, name, module=False, globs={}) if test.examples]
    assert examples or name.startswith("space.")
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in examples if not name.startswith("space.") else []:
        runner.run(test)
    assert runner.failures == 0


def test_functions_and_bound_methods_run_in_worker_processes():
    space = za.LegendreSpace(3, 4, 2.0)
    dofs = np.random.default_rng(5).standard_normal((2, space.n_dofs))
    blocks = [np.linspace(0.0, 2.0, 5), np.array([0.3, 1.7])]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        values = pool.map(functools.partial(space.evaluate, dofs), blocks)
        unbound = pool.starmap(za.LegendreSpace.evaluate, [(space, dofs, block) for block in blocks])
        points = pool.map(functools.partial(za.lagrange_points, np.int64(2), 3), [1.0, 2.5])
    for block, value, other in zip(blocks, values, unbound):
        assert np.array_equal(value, space.evaluate(dofs, block)) and np.array_equal(other, value)
    assert [p.tolist() for p in points] == [za.lagrange_points(2, 3, T).tolist() for T in [1.0, 2.5]]


@pytest.mark.parametrize("numpy_call, python_call", [
    (lambda: za.LegendreSpace(np.int64(2), np.uint8(3), np.float32(1.5)), lambda: za.LegendreSpace(2, 3, 1.5)),
    (lambda: za.lagrange_points(np.int64(2), np.int32(3), np.float64(2.5), periodic=np.True_),
     lambda: za.lagrange_points(2, 3, 2.5, periodic=True)),
    (lambda: za.prolongation(np.int64(2), nt_coarse=np.int16(2), nt_fine=np.uint64(4), periodic=np.bool_(True)),
     lambda: za.prolongation(2, nt_coarse=2, nt_fine=4, periodic=True)),
    (lambda: za.lagrange_to_legendre(np.int64(2), np.int8(3), periodic=np.False_),
     lambda: za.lagrange_to_legendre(2, 3)),
    (lambda: za.LegendreSpace(2, 3, 3.0).project(np.cos, points=np.int64(5)),
     lambda: za.LegendreSpace(2, 3, 3.0).project(np.cos, points=5)),
    (lambda: za.LegendreSpace(2, 3, 3.0).evaluate(np.arange(9.0), [0.5, 3.0], derivative=np.True_),
     lambda: za.LegendreSpace(2, 3, 3.0).evaluate(np.arange(9.0), [0.5, 3.0], derivative=True)),
    (lambda: za.LegendreSpace(2, 3, 3.0).basis_matrix([0.5, 3.0], derivative=np.True_),
     lambda: za.LegendreSpace(2, 3, 3.0).basis_matrix([0.5, 3.0], derivative=True)),
])
def test_numpy_scalars_are_accepted_as_python_numbers(numpy_call, python_call):
    result, expected = numpy_call(), python_call()
    if scipy_sparse.issparse(expected):
        result, expected = result.toarray(), expected.toarray()
    assert type(result) is type(expected) and np.array_equal(result, expected)


@pytest.mark.parametrize("degree, n_t, T, lead", [(0, 1, 1.0, ()), (3, 7, 2.5, ()), (5, 6, 0.3, (2, 3))])
def test_converters_round_trip_and_agree_with_evaluate(degree, n_t, T, lead):
    rng = np.random.default_rng(degree)
    space = za.LegendreSpace(degree, n_t, T)
    dofs = rng.standard_normal(lead + (space.n_dofs,))
    coefficients = space.to_coefficients(dofs)
    assert coefficients.shape == lead + (n_t, degree + 1)
    assert np.array_equal(space.from_coefficients(coefficients), dofs)
    edges = space.edges
    assert edges[0] == 0.0 and edges[-1] == T and np.allclose(edges, np.linspace(0.0, T, n_t + 1), rtol=1e-15, atol=0)
    # Interior times of every element (the ends may belong to either neighbour).
    times = edges[:-1, None] + np.diff(edges)[:, None] * rng.uniform(0.01, 0.99, (n_t, 4))
    scale = np.abs(coefficients).sum(axis=-1).max()
    values = space.evaluate(dofs, times)  # lead + (n_t, 4)
    pieces = space.to_legendre(dofs[(0,) * len(lead)])
    from_legendre = np.array([piece(row) for piece, row in zip(pieces, times)])
    np.testing.assert_allclose(from_legendre, values[(0,) * len(lead)], rtol=0, atol=1e-13 * scale)
    ppoly = space.to_ppoly(dofs)
    assert np.array_equal(ppoly.x, edges)
    np.testing.assert_allclose(np.moveaxis(ppoly(times), (0, 1), (-2, -1)), values, rtol=0, atol=1e-12 * scale)


# Grids where w * e rounds to the other side of the element rule's boundary at some
# inner ends (the first two at 10 and 47 of them), and random ones.
EDGE_GRIDS = [(200, 10.0), (1000, 100.0), (3, 0.3), (7, 1e-3), (49, 1e6), (1, 2.5)] + [
    (int(n), float(T)) for n, T in zip(np.random.default_rng(5).integers(2, 3000, 10),
                                       np.random.default_rng(6).uniform(0.1, 1e3, 10))]


@pytest.mark.parametrize("n_t, T", EDGE_GRIDS)
def test_edges_are_where_evaluate_and_to_ppoly_change_element(n_t, T):
    """edges[e] is the first time the element rule places in element e, and to_ppoly, whose
    breakpoints they are, picks the element evaluate picks at every edge and an ulp either side."""
    space = za.LegendreSpace(2, n_t, T)
    edges = space.edges
    assert edges[0] == 0.0 and edges[-1] == T and np.all(np.diff(edges) > 0)
    inner = edges[1:-1]
    element, _ = space.locate(np.concatenate([inner, np.nextafter(inner, -np.inf)]))
    assert np.array_equal(element, np.concatenate([np.arange(1, n_t), np.arange(n_t - 1)]))
    # Jumps of about 1 between elements: a PPoly piece of the neighbour would be off by that much.
    dofs = np.random.default_rng(n_t).standard_normal(space.n_dofs)
    times = np.concatenate([edges, np.nextafter(edges, -np.inf), np.nextafter(edges, np.inf)])
    times = times[(times >= 0.0) & (times <= T)]
    np.testing.assert_allclose(space.to_ppoly(dofs)(times), space.evaluate(dofs, times), rtol=0, atol=1e-9)


@pytest.mark.parametrize("n_t, T", EDGE_GRIDS[:6])
def test_locate_is_the_scalar_rule_bit_for_bit(n_t, T):
    """locate (the batch kernel's vector code) against zorv's scalar path: the element from a
    degree-0 function equal to its element's index, xi as the value of P_1 there."""
    rng = np.random.default_rng(n_t)
    edges = np.linspace(0.0, T, n_t + 1)
    times = np.concatenate([rng.uniform(-0.1 * T, 1.1 * T, 200), edges, np.nextafter(edges, -np.inf),
                            np.nextafter(edges, np.inf), [-0.0, np.inf, -np.inf, 1e300]])
    space = za.LegendreSpace(1, n_t, T)
    element, xi = space.locate(times[:, None])
    assert element.shape == xi.shape == (times.size, 1)
    element, xi = element.ravel(), xi.ravel()
    indices = zorv.LegendreBasis(0, n_t, T)
    basis = zorv.LegendreBasis(1, n_t, T)
    expected_element = [indices.evaluate_at(t, np.arange(n_t, dtype=float)) for t in times]
    expected_xi = [basis.evaluate_all_basis_functions(t)[int(e) + n_t] for t, e in zip(times, expected_element)]
    assert element.dtype == np.int64 and np.array_equal(element, expected_element)
    assert xi.tobytes() == np.array(expected_xi).tobytes()
    assert space.locate(np.nan)[0] == 0 and np.isnan(space.locate(np.nan)[1])
    assert type(space.locate(0.5)[0]) is np.int64 and space.locate(np.zeros((0, 3)))[1].shape == (0, 3)


@pytest.mark.parametrize("T, k, rows, refusal", [
    (1e-120, 0, 4, None), (1e-120, 2, 4, None), (1e120, 0, 3, None), (1e120, 2, 3, None), (1e300, 1, 2, None),
    (1e-120, 3, None, "coefficient of (t - edges[e])**3 does not fit in float64 for elements of width w = T / n_t = 5e-121"),
    (1e120, 3, None, "coefficient of (t - edges[e])**3 does not fit in float64 for elements of width w = T / n_t = 5e+119"),
], ids=["tiny T constant", "tiny T quadratic", "huge T constant", "huge T quadratic", "T 1e300 linear",
        "tiny T cubic", "huge T cubic"])
def test_to_ppoly_on_extreme_widths_is_exact_where_representable(T, k, rows, refusal):
    """Degree 3 on 2 elements: a function using P_0 .. P_k gets its PPoly where the powers it uses
    fit in float64 (the unused powers that would overflow are left out), else a ValueError naming
    the power and the width."""
    space = za.LegendreSpace(3, 2, T)
    dofs = np.zeros(space.n_dofs)
    dofs[: 2 * (k + 1)] = np.repeat([2.5, 1.0, -0.5, 0.25][: k + 1], 2)  # P_0 .. P_k on both elements
    if refusal is not None:
        with pytest.raises(ValueError, match=re.escape(refusal)):
            space.to_ppoly(dofs)
        return
    ppoly = space.to_ppoly(dofs)
    t = np.array([0.0, 0.3, 0.5, 0.9, 1.0]) * T
    assert ppoly.c.shape == (rows, 2)
    np.testing.assert_allclose(ppoly(t), space.evaluate(dofs, t), rtol=1e-13, atol=0)


def test_bad_input_raises_clear_errors_and_changes_nothing():
    space = za.LegendreSpace(2, 3, 3.0)
    dofs = np.arange(9.0)
    cases = [
        (lambda: za.LegendreSpace(2, 0, 1.0), ValueError, "n_t must be an integer >= 1, got 0"),
        (lambda: za.LegendreSpace(-1, 3, 1.0), ValueError, "degree must be an integer >= 0, got -1"),
        (lambda: za.LegendreSpace(2, 3, float("nan")), ValueError, "T must be finite and positive, got nan"),
        (lambda: za.LegendreSpace(2, 3, -1.0), ValueError, "T must be finite and positive, got -1.0"),
        (lambda: za.LegendreSpace(2, 3, np.inf), ValueError, "T must be finite and positive, got inf"),
        (lambda: za.LegendreSpace(2, 3, 1.7976931348623157e308), ValueError,
         "T / n_t must be at least 2.2250738585072014e-308 (the smallest normal float) and the grid's end, "
         "T / n_t + (T / n_t) * (n_t - 1), at most 1.7976931348623157e+308; got T = 1.7976931348623157e+308, n_t = 3"),
        (lambda: za.LegendreSpace(2, 3, 6e-308), ValueError, "got T = 6e-308, n_t = 3"),
        (lambda: za.LegendreSpace(2**40, 2**40, 1.0), ValueError, "more dofs"),
        (lambda: za.LegendreSpace(2, 3.5, 1.0), TypeError, "n_t must be an integer, not float"),
        (lambda: za.LegendreSpace(True, 3, 1.0), TypeError, "degree must be an integer, not bool"),
        (lambda: za.LegendreSpace(2**63, 3, 1.0), ValueError, "degree must be an integer below 2**63, got 9223372036854775808"),
        (lambda: space.evaluate(dofs, 0.5, derivative=1.0), TypeError,
         "derivative must be a bool or an integer order, not float"),
        (lambda: space.basis_matrix(0.5, derivative=np.int8(-2)), ValueError, "derivative must be an order >= 0, got -2"),
        (lambda: space.evaluate(dofs, 0.5, derivative=-2**63 - 1), ValueError,
         "derivative must be an order >= 0, got -9223372036854775809"),
        (lambda: space.fit(np.linspace(0.0, 3.0, 12), np.zeros(12), w=np.ones((12, 1))), ValueError,
         "w must have the shape of t, (12,), got shape (12, 1)"),
        (lambda: space.fit(np.linspace(0.0, 3.0, 12), np.zeros(12), w=np.ones(11)), ValueError,
         "w must have the shape of t, (12,), got shape (11,)"),
        # A third positional argument was the weights of the squared residuals.
        (lambda: space.fit(np.linspace(0.0, 3.0, 12), np.zeros(12), np.ones(12)), TypeError, "positional argument"),
        (lambda: space.fit(np.linspace(0.0, 3.0, 12), np.zeros((12, 2)), axis=2), ValueError, "out of bounds"),
        (lambda: za.LegendreSpace(2, 3, np.True_), TypeError, "T must be a real number, not bool"),
        (lambda: space.evaluate(dofs, 0.5, extrapolate=None), TypeError, "extrapolate must be a str, not NoneType"),
        (lambda: space.integrate(dofs, [0.0], [[1.0], [2.0, 3.0]]), ValueError, "inhomogeneous"),
        (lambda: space.fit([0.5, 1.0, 1.5], np.zeros((2, 2))), ValueError,
         "y must have shape (..., t.size) with t.size = 3, got shape (2, 2)"),
        (lambda: space.fit(np.zeros((2, 3)), np.zeros(3)), ValueError, "t must be one-dimensional, got shape (2, 3)"),
        (lambda: za.lagrange_points(1, 3, 1.0, "yes"), TypeError, "periodic must be a bool, not str"),
        (lambda: space.evaluate(dofs, np.array([True])), TypeError, "t must be an array of real numbers, not of dtype bool"),
        (lambda: space.basis_matrix([False]), TypeError, "t must be an array of real numbers, not of dtype bool"),
        (lambda: space.evaluate(dofs > 3, 0.5), TypeError, "dofs must be an array of real numbers, not of dtype bool"),
        (lambda: za.LegendreSpace(2, 3, "1.0"), TypeError, "T must be a real number, not str"),
        (lambda: za.lagrange_points(1, 3, 0.0), ValueError, "T must be finite and positive, got 0.0"),
        (lambda: za.lagrange_points(1, 3, -2), ValueError, "T must be finite and positive, got -2.0"),
        (lambda: za.lagrange_points(1, 3, np.nan), ValueError, "T must be finite and positive, got nan"),
        (lambda: space.evaluate(np.zeros(8), 0.5), ValueError,
         "dofs must have shape (..., n_dofs) with n_dofs = n_t * (degree + 1) = 9, got shape (8,)"),
        (lambda: space.evaluate(1.0, 0.5), ValueError, "got shape ()"),
        (lambda: space.evaluate(dofs, ["a"]), TypeError, "t must be an array of real numbers, not of dtype <U1"),
        (lambda: space.evaluate(dofs, [0.5, None]), TypeError, "not of dtype object"),
        (lambda: space.evaluate(dofs.astype(complex), 0.5), TypeError, "dofs must be an array of real numbers"),
        (lambda: space.evaluate(dofs, [[0.5], [0.5, 1.0]]), ValueError, "inhomogeneous"),
        (lambda: space.project(lambda t: 1.0), ValueError,
         "f(t) must return an array of shape (..., 9) for the quadrature times t of shape (9,), got shape ()"),
        (lambda: space.project(np.sin, points=0), ValueError, "points must be an integer >= 1, got 0"),
        (lambda: space.project(np.sin, points=2.0), TypeError, "points must be an integer or None, not float"),
        (lambda: space.project(np.sin, points=1025), ValueError,
         "points must be at most 1024 (the largest Gauss-Legendre rule), got 1025"),
        (lambda: za.LegendreSpace(1024, 1, 1.0).project(np.sin), ValueError, "got 1025, the default degree + 1"),
        # Results the process cannot hold are refused before anything is allocated.
        (lambda: za.LegendreSpace(0, 1, 1.0).evaluate(np.zeros((2**20, 1)), np.zeros(2**20)), MemoryError,
         "Unable to allocate 8.0 TiB for 1,099,511,627,776 values of 8 bytes each: this process can obtain at most"),
        (lambda: za.LegendreSpace(2**20, 1, 1.0).basis_matrix(np.zeros(2**20)), MemoryError,
         "Unable to allocate 16.0 TiB for 1,099,512,676,352 matrix entries of 16 bytes each"),
        (lambda: za.LegendreSpace(0, 2**40, 1.0).project(np.sin), MemoryError,
         "Unable to allocate 16.0 TiB for 1,099,511,627,776 quadrature times of 16 bytes each"),
        (lambda: za.prolongation(3, nt_coarse=2**30, nt_fine=2**35), MemoryError,
         "Unable to allocate 12.0 TiB for 412,316,860,420 matrix entries of 32 bytes each"),
        (lambda: za.lagrange_to_legendre(2**20, 2**20), MemoryError,
         "Unable to allocate 24.0 TiB for 1,099,513,724,929 weight matrix cells of 24 bytes each"),
        (lambda: za.lagrange_to_legendre(1, 2**50), MemoryError, "for 4,503,599,627,370,496 matrix entries of 48 bytes"),
        (lambda: za.lagrange_points(1, 2**50, 1.0), MemoryError, "for 1,125,899,906,842,625 nodes of 16 bytes each"),
        (lambda: space.to_ppoly(np.zeros(8)), ValueError,
         "dofs must have shape (..., n_dofs) with n_dofs = n_t * (degree + 1) = 9, got shape (8,)"),
        (lambda: space.to_coefficients(dofs > 1), TypeError, "dofs must be an array of real numbers, not of dtype bool"),
        (lambda: space.from_coefficients(np.ones((3, 3), bool)), TypeError,
         "coefficients must be an array of real numbers, not of dtype bool"),
        (lambda: space.to_legendre(np.zeros((2, 9))), ValueError, "dofs must have shape (n_dofs,) = (9,), got shape (2, 9)"),
        (lambda: space.from_coefficients(np.zeros((3, 2))), ValueError,
         "coefficients must have shape (..., n_t, degree + 1) = (..., 3, 3), got shape (3, 2)"),
        (lambda: space.project(lambda t: 1 / 0), ZeroDivisionError, "division by zero"),
        (lambda: za.prolongation(0, nt_coarse=2, nt_fine=4), ValueError,
         "Lagrange prolongation requires polynomial degree at least 1"),
        (lambda: za.prolongation(1, nt_coarse=2, nt_fine=0, periodic=True), ValueError,
         "Lagrange prolongation requires at least one fine interval"),
        # Counts by position (zorv's order, nt_coarse, nt_fine, degree) would build another matrix.
        (lambda: za.prolongation(3, 4, 32), TypeError, "positional argument"),
        (lambda: za.prolongation(3, 4, nt_coarse=4, nt_fine=8), TypeError, "positional argument"),
        (lambda: za.lagrange_to_legendre(0, 3), ValueError, "Lagrange to Legendre conversion not meaningful for degree 0"),
        (lambda: za.lagrange_points(0, 3, 1.0, True), ValueError,
         "Periodic Lagrange bases require polynomial degree at least 1"),
        (lambda: za.lagrange_points(1, -3, 1.0), ValueError, "n_t must be an integer >= 0, got -3"),
        (lambda: space.evaluate(dofs, 0.5, workers=True), TypeError, "workers must be an integer or None, not bool"),
        (lambda: space.fit([0.5], [1.0], workers=1.0), TypeError, "workers must be an integer or None, not float"),
    ]
    # Every long call takes workers= (and refuses 0 before it computes anything).
    cases += [(call, ValueError, "workers must not be 0") for call in [
        lambda: space.evaluate(dofs, 0.5, workers=0), lambda: space.locate(0.5, workers=0),
        lambda: space.basis_matrix([0.5], workers=0), lambda: space.project(np.sin, workers=0),
        lambda: space.integrate(dofs, 0.0, 1.0, workers=0), lambda: space.inner(dofs, dofs, workers=0),
        lambda: space.norm(dofs, workers=0), lambda: space.fit([0.5], [1.0], workers=0)]]
    for call, error, message in cases:
        with pytest.raises(error) as caught:
            call()
        assert message in str(caught.value), str(caught.value)
    # Refused outs stay as they were: a wrong shape of the right size (of another or of the
    # same number of axes), a wrong dtype, not C-contiguous, read-only, unaligned.
    read_only = np.full((1, 2), 7.0)
    read_only.setflags(write=False)
    unaligned = np.frombuffer(bytearray(8 * 4), dtype=np.float64, offset=1, count=3)[:2].reshape(1, 2)
    for out, error, message in [
        (np.full(3, 7.0), ValueError, "out has shape (3,), but dofs.shape[:-1] + t.shape is (1, 2)"),
        (np.full(2, 7.0), ValueError, "out has shape (2,), but dofs.shape[:-1] + t.shape is (1, 2)"),
        (np.full((2, 1), 7.0), ValueError, "out has shape (2, 1), but dofs.shape[:-1] + t.shape is (1, 2)"),
        (np.full((1, 2), 7.0, np.float32), TypeError, "out must be a writable, aligned, C-contiguous float64 array"),
        (np.full((1, 4), 7.0)[:, ::2], TypeError, "out must be a writable, aligned, C-contiguous float64 array"),
        (read_only, TypeError, "out must be a writable"),
        (unaligned, TypeError, "out must be a writable, aligned"),
    ]:
        before = out.tobytes()
        with pytest.raises(error) as caught:
            space.evaluate(dofs, [[0.5, 1.0]], out=out)
        assert message in str(caught.value) and out.tobytes() == before, str(caught.value)
    assert space == za.LegendreSpace(2, 3, 3.0)
    unaligned = np.frombuffer(bytearray(8 * 4), dtype=np.float64, offset=1, count=3)
    unaligned[:] = [1.25, 0.0, 3.0]
    assert space.evaluate(dofs, unaligned).tolist() == space.evaluate(dofs, unaligned.copy()).tolist()
    # Inputs that share memory with out are read before they are overwritten.
    shared = np.concatenate([dofs, [1.25, 0.0, 3.0]])
    expected = space.evaluate(dofs, shared[9:])
    space.evaluate(shared[:9], shared[9:], out=shared[7:10])
    assert shared[7:10].tolist() == expected.tolist()


def test_both_modules_share_one_worker_pool_and_calls_limit_their_threads():
    program = textwrap.dedent("""
        import os, numpy as np
        import zorv, zorv_arrays
        def threads():
            return len(os.listdir("/proc/self/task"))
        before = threads()
        space = zorv_arrays.LegendreSpace(3, 10, 1.0)
        space.evaluate(np.ones((2, 40)), np.linspace(0.0, 1.0, 5000))
        evaluator = zorv.LegendreBasisEvaluator(3, 10, 1.0)
        evaluator.set_dofs([1.0] * 40)
        evaluator.evaluate_many(np.linspace(0.0, 1.0, 5000))
        print(threads() - before)
        # With workers=1 no worker takes part: their processor time stays where it was.
        def worker_ticks():
            ticks = 0
            for task in os.listdir("/proc/self/task"):
                if int(task) != os.getpid():
                    with open("/proc/self/task/%s/stat" % task) as stat:
                        fields = stat.read().rsplit(")", 1)[1].split()
                    ticks += int(fields[11]) + int(fields[12])  # user and system time
            return ticks
        slow, many = zorv_arrays.LegendreSpace(20, 10, 1.0), np.linspace(0.0, 1.0, 4_000_000)
        ticks = worker_ticks()
        values = slow.evaluate(np.ones((4, slow.n_dofs)), many, workers=1)
        print(worker_ticks() - ticks <= 2)
        assert (values == slow.evaluate(np.ones((4, slow.n_dofs)), many, workers=-2)).all()
        # SciPy is imported by the first matrix, not before, and once.
        import sys
        assert "scipy" not in sys.modules
        space.basis_matrix([0.5])
        sys.modules["scipy.sparse"] = None  # a new import would fail
        print(zorv_arrays.prolongation(1, nt_coarse=1, nt_fine=2).shape)
    """)
    environment = dict(os.environ, RAYON_NUM_THREADS="3", OPENBLAS_NUM_THREADS="1")
    result = subprocess.run([sys.executable, "-c", program], env=environment, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    # A pool of 3: the calling thread and 2 workers.
    assert result.stdout.split() == ["2", "True", "(3,", "2)"]


@pytest.mark.parametrize("functions", [1, 2])
@pytest.mark.parametrize("shared", ["t", "dofs"])
def test_out_sharing_bytes_with_an_input_gives_the_separate_result_bit_for_bit(functions, shared):
    # out lies inside one buffer; the shared input starts at every byte from just before
    # out to just past it: apart, touching, overlapping by one byte at either end, aligned
    # or not. Degree 4095 makes the kernel take 4 times at a time: a time that out
    # overwrites before it is read changes the result.
    space = za.LegendreSpace(4095, 1, 3.0) if shared == "t" else za.LegendreSpace(2, 3, 3.0)
    rng = np.random.default_rng(functions)
    inputs = {"t": rng.uniform(-0.5, 3.5, 8), "dofs": rng.standard_normal((functions, space.n_dofs))}
    shape, size = inputs[shared].shape, inputs[shared].nbytes
    start, out_size = size + 16, functions * 8 * 8
    memory = bytearray(rng.uniform(0.0, 3.0, (start + out_size + size + 16) // 8).tobytes())
    original = bytes(memory)
    out = np.frombuffer(memory, np.float64, functions * 8, start).reshape(functions, 8)
    for offset in range(start - size - 8, start + out_size + 9):
        memory[:] = original
        inputs[shared] = np.frombuffer(memory, np.float64, size // 8, offset).reshape(shape)
        expected = space.evaluate(inputs["dofs"].copy(), inputs["t"].copy())
        assert space.evaluate(inputs["dofs"], inputs["t"], out=out) is out
        assert out.view(np.uint64).tolist() == expected.view(np.uint64).tolist(), offset
    # out's first row is t itself, in batches whose evaluations the pool splits: only one
    # function's values under the clamp rule may be written over their own times.
    t = rng.uniform(-0.5, 3.5, 1100)
    for derivative, extrapolate in [(0, "clamp"), (1, "clamp"), (0, "extend")]:
        expected = space.evaluate(inputs["dofs"], t, derivative=derivative, extrapolate=extrapolate)
        out = np.empty((functions, t.size))
        out[0] = t
        space.evaluate(inputs["dofs"], out[0], out=out, derivative=derivative, extrapolate=extrapolate)
        assert out.view(np.uint64).tolist() == expected.view(np.uint64).tolist(), (derivative, extrapolate)


# zorv_arrays' batches count functions times times (bounds, samples); zorv's are one function's.
@pytest.mark.parametrize("operation, functions", [("evaluate", 1), ("evaluate", 2), ("evaluate", 2048),
                                                  ("integrate", 2), ("integrate", 2048), ("fit", 2),
                                                  ("evaluate_many", 1)])
def test_other_threads_run_while_2048_evaluations_compute(operation, functions):
    # With a switch interval of 100 s, the counting thread runs during the call only if
    # the call releases the lock: a held lock never lets it count, in any attempt.
    space = za.LegendreSpace(600, 2, 1.0)
    dofs = np.ones((functions, space.n_dofs))
    t = np.linspace(0.0, 1.0, 2048 // functions)
    out, starts = np.empty((functions, t.size)), np.zeros_like(t)  # NumPy releases the lock for work of its own
    evaluator = zorv.LegendreBasisEvaluator(600, 2, 1.0)
    evaluator.set_dofs(dofs[0])
    fitting, samples = za.LegendreSpace(100, 1, 1.0), np.ones_like(out)  # more times than degree + 1
    call = {"evaluate": lambda: space.evaluate(dofs, t, out=out), "integrate": lambda: space.integrate(dofs, starts, t),
            "fit": lambda: fitting.fit(t, samples), "evaluate_many": lambda: evaluator.evaluate_many(t)}[operation]
    counted, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1
            time.sleep(0)  # hands the lock back

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    thread = threading.Thread(target=count)
    try:
        thread.start()
        for _ in range(50):
            before = counted[0]
            call()
            if counted[0] != before:
                break
        else:
            pytest.fail("the counting thread never ran during 50 calls of 2048 evaluations")
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
