"""The NumPy, SciPy and Dask recipes of examples/ run and give the right results."""

import os
import re
import sys
from pathlib import Path

import numpy as np
import pytest
from numpy.polynomial import legendre

import zorv
from helpers import assert_bitwise_equal

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
README = EXAMPLES.parent / "README.md"
sys.path.insert(0, str(EXAMPLES))
import recipes  # noqa: E402


def evaluator_with(degree, n_t, T, dofs):
    evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(dofs)
    return evaluator


def times_on(n_t, T, rng, count):
    """Random times in and around [0, T], with every element boundary among them."""
    return np.concatenate([rng.uniform(-0.1 * T, 1.1 * T, count), np.linspace(0.0, T, n_t + 1)])


# nt_coarse, nt_fine, degree, periodic: nested and non-nested grids, a finer grid that is
# coarser (whose prolongation has empty last columns), periodic and not.
@pytest.mark.parametrize("nt_coarse, nt_fine, degree, periodic",
                         [(2, 4, 1, False), (4, 2, 1, True), (3, 12, 3, True), (5, 7, 2, False), (1, 3, 4, True)])
def test_prolonged_legendre_dofs_reproduce_the_coarse_function(nt_coarse, nt_fine, degree, periodic):
    rng = np.random.default_rng(nt_coarse * 100 + nt_fine)
    T = 2.5  # the matrices do not depend on T
    coarse_values = rng.standard_normal(recipes.node_count(degree, nt_coarse, periodic))
    coarse_dofs = recipes.lagrange_to_legendre(degree, nt_coarse, periodic) @ coarse_values
    coarse = evaluator_with(degree, nt_coarse, T, coarse_dofs)
    fine = evaluator_with(degree, nt_fine, T, recipes.fine_legendre_dofs(coarse_values, nt_coarse, nt_fine,
                                                                         degree, periodic))

    fine_nodes = np.array(zorv.get_lagrange_points(degree, nt_fine, T, periodic))
    interpolated = recipes.prolongation(nt_coarse, nt_fine, degree, periodic) @ coarse_values
    from_triplets = recipes.prolongation_from_triplets(nt_coarse, nt_fine, degree, periodic)
    assert from_triplets.shape == recipes.prolongation(nt_coarse, nt_fine, degree, periodic).shape
    assert np.array_equal(from_triplets @ coarse_values, interpolated)
    np.testing.assert_allclose(recipes.evaluate_to_array(fine, fine_nodes), interpolated, rtol=0, atol=1e-12)
    np.testing.assert_allclose(recipes.evaluate_to_array(coarse, fine_nodes), interpolated, rtol=0, atol=1e-12)
    if nt_fine % nt_coarse == 0:  # nested grids: the same piecewise polynomial everywhere
        times = times_on(nt_fine, T, rng, 500)
        np.testing.assert_allclose(recipes.evaluate_to_array(fine, times), recipes.evaluate_to_array(coarse, times),
                                   rtol=0, atol=1e-12)


@pytest.mark.parametrize("degree, n_t, T", [(0, 3, 1.0), (2, 5, 3.0), (6, 4, 0.7)])
def test_dof_layout_agrees_with_numpy_legendre(degree, n_t, T):
    rng = np.random.default_rng(degree)
    coefficients = rng.standard_normal((n_t, degree + 1))
    dofs = recipes.dofs_from_coefficients(coefficients)
    assert np.array_equal(recipes.coefficients_from_dofs(dofs, n_t, degree), coefficients)
    times = times_on(n_t, T, rng, 2000)

    zorv_values = recipes.evaluate_to_array(evaluator_with(degree, n_t, T, dofs), times)
    numpy_values = recipes.evaluate_with_legval(coefficients, T, times)
    element, xi = recipes.element_and_xi(times, n_t, T)
    ulp = np.spacing(np.abs(coefficients[element]).sum(axis=1))
    assert np.all(np.abs(zorv_values - numpy_values) <= 8 * ulp)

    # evaluate_all_basis_functions has the same layout: only the row of t's element is set.
    basis = zorv.LegendreBasis(degree, n_t, T)
    for t, e, x in zip(times[:50], element, xi):
        by_element = recipes.coefficients_from_dofs(basis.evaluate_all_basis_functions(t), n_t, degree)
        np.testing.assert_allclose(by_element[e], legendre.legvander(x, degree)[0], rtol=0, atol=1e-14)
        assert not np.any(np.delete(by_element, e, axis=0))


@pytest.mark.parametrize("degree, n_t", [(0, 7), (3, 40)])
def test_sparse_least_squares_recovers_a_piecewise_polynomial(degree, n_t):
    rng = np.random.default_rng(n_t)
    T = 4.0
    times = times_on(n_t, T, rng, 30 * n_t * (degree + 1))
    design = recipes.legendre_design_matrix(degree, n_t, T, times)
    assert design.shape == (times.size, n_t * (degree + 1))
    assert np.all(np.diff(design.indptr) == degree + 1)
    basis = zorv.LegendreBasis(degree, n_t, T)
    rows = rng.choice(times.size, 200, replace=False)
    dense = np.array([basis.evaluate_all_basis_functions(t) for t in times[rows]])
    assert np.array_equal(design[rows].toarray(), dense)

    true_dofs = rng.standard_normal(n_t * (degree + 1))
    samples = recipes.evaluate_to_array(evaluator_with(degree, n_t, T, true_dofs), times)
    fitted = recipes.fit_legendre(degree, n_t, T, times, samples)
    np.testing.assert_allclose(fitted, true_dofs, rtol=0, atol=1e-9)


def test_a_refused_set_dofs_is_caught_and_changes_nothing():
    evaluator = evaluator_with(2, 3, 3.0, np.arange(1.0, 10.0))
    message = recipes.set_dofs_or_message(evaluator, np.zeros(8))
    assert message == ("assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has "
                       "wrong length\n  left: 8\n right: 9")
    assert evaluator.evaluate_at(1.25) == -1.5
    assert recipes.set_dofs_or_message(evaluator, np.zeros(9)) is None
    assert evaluator.evaluate_at(1.25) == 0.0


def test_dask_blocks_on_worker_processes_match_evaluate_many():
    if sys.version_info < (3, 10):  # current Dask needs Python 3.10
        pytest.importorskip("dask.distributed")
    import dask.array as da
    from dask.distributed import Client, LocalCluster

    import dask_evaluate
    import zorv_arrays

    degree, n_t, T = 3, 50, 10.0
    rng = np.random.default_rng(11)
    dofs = rng.standard_normal(n_t * (degree + 1))
    times = times_on(n_t, T, rng, 200_000)
    space = zorv_arrays.LegendreSpace(degree, n_t, T)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        pids = client.run(os.getpid)
        assert len(pids) == 2 and os.getpid() not in pids.values()
        lazy = dask_evaluate.evaluate_lazily(space, dofs, da.from_array(times, chunks=60_000))
        values = client.compute(lazy).result(timeout=120)
    assert isinstance(values, np.ndarray) and values.dtype == np.float64
    assert_bitwise_equal(values.tolist(), evaluator_with(degree, n_t, T, dofs).evaluate_many(times))


def readme_python_blocks():
    """Each ```python block of the README as a pytest parameter named by its first line number."""
    text = README.read_text(encoding="utf-8")
    blocks = [pytest.param(match.group(1), line, id=f"README.md:{line}")
              for match in re.finditer(r"^```python\n(.*?)^```", text, re.DOTALL | re.MULTILINE)
              for line in [text.count("\n", 0, match.start(1)) + 1]]
    assert blocks, "no ```python blocks found in README.md"
    return blocks


# Blocks that need what no test machine has; they are still compiled.
NOT_RUNNABLE_HERE = {"tcp://scheduler:8786": "connects to a Dask scheduler"}


@pytest.mark.parametrize("block, line", readme_python_blocks())
def test_readme_python_blocks_run_as_pasted(block, line):
    # Padded so that a traceback names the README's own line numbers.
    code = compile("\n" * (line - 1) + block, str(README), "exec")
    for marker, reason in NOT_RUNNABLE_HERE.items():
        if marker in block:
            pytest.skip(f"the README block at line {line} {reason}")
    exec(code, {"__name__": "__main__"})  # a fresh namespace: each block stands alone
