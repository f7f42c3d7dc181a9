"""
Coarse-to-fine prolongation in a two-grid cycle
===============================================

The continuous Lagrange functions of degree ``p`` on ``n_t`` elements are given
by their values at the Lagrange nodes. Two sparse matrices connect them with
the rest of the library:

- ``za.lagrange_to_legendre(p, n_t)`` turns node values into the dofs of the
  discontinuous Legendre space (the same function, written in the Legendre
  basis), and
- ``za.prolongation(p, nt_coarse=..., nt_fine=...)`` turns node values on a
  coarse grid into node values on a finer one (the same function again,
  interpolated exactly).

Here they build a small two-grid solver for a periodic problem in time,
``-u'' + u = f`` on [0, 1] with ``u`` periodic, discretised by continuous
Galerkin.
"""

# %%
# The matrices, from the Legendre space
# -------------------------------------
# With ``L = lagrange_to_legendre`` the Galerkin matrix is ``L^T (K + M) L``:
# ``M`` is the Legendre mass matrix, diagonal (``space.inner`` of the unit
# vectors gives it), and ``K`` the Gram matrix of the basis' time derivatives,
# by Gauss quadrature on the rows of ``basis_matrix(..., derivative=1)``.
import matplotlib.pyplot as plt
import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import spsolve

import zorv_arrays as za

degree, T = 2, 1.0


def galerkin_system(n_t):
    space = za.LegendreSpace(degree, n_t, T)
    L = za.lagrange_to_legendre(degree, n_t, periodic=True)
    nodes, weights = np.polynomial.legendre.leggauss(degree + 1)
    w = T / n_t
    times = (space.edges[:-1, None] + (nodes + 1.0) * (w / 2)).ravel()
    D = space.basis_matrix(times, derivative=1)
    K = D.T @ sp.diags_array(np.tile(weights * (w / 2), n_t)) @ D
    identity = np.eye(space.n_dofs)
    M = sp.diags_array(space.inner(identity, identity))
    return space, L, (L.T @ (K + M) @ L).tocsr(), M


# f = (1 + k^2) cos(k t): the exact solution is cos(k t).
k = 2 * np.pi / T


def f(t):
    return (1 + k**2) * np.cos(k * t)


# %%
# What the two matrices do
# ------------------------
# A coarse Lagrange function, prolonged to the fine grid and written in the
# fine Legendre basis, is the coarse function itself; and every Lagrange
# function is continuous across the element ends.
nt_coarse, nt_fine = 16, 32
coarse_space, L_coarse, _, _ = galerkin_system(nt_coarse)
fine_space, L_fine, _, _ = galerkin_system(nt_fine)
P = za.prolongation(degree, nt_coarse=nt_coarse, nt_fine=nt_fine,
                    periodic=True)
print(f"prolongation: {P.shape[0]} x {P.shape[1]}, {P.nnz} entries; "
      f"Lagrange to Legendre: {L_fine.shape[0]} x {L_fine.shape[1]}")
coarse_values = np.random.default_rng(5).standard_normal(P.shape[1])
probe = np.linspace(0.0, T, 997)
on_coarse = coarse_space.evaluate(L_coarse @ coarse_values, probe)
on_fine = fine_space.evaluate(L_fine @ (P @ coarse_values), probe)
assert np.allclose(on_coarse, on_fine, rtol=0, atol=1e-12)
pieces = fine_space.to_legendre(L_fine @ (P @ coarse_values))
inner_ends = fine_space.edges[1:-1]
assert np.allclose([p(e) for p, e in zip(pieces[:-1], inner_ends)],
                   [p(e) for p, e in zip(pieces[1:], inner_ends)],
                   rtol=0, atol=1e-12)

# %%
# The two-grid cycle
# ------------------
# Damped Jacobi sweeps smooth the error; the prolongation ``P`` carries the
# residual to the coarse grid (``P^T r``) and the coarse correction back
# (``P e_c``); the coarse matrix is the Galerkin product ``P^T A P``, solved
# directly (it is half the size). The error is reduced by a fixed factor per
# cycle, whatever the fine grid.


def two_grid(nt_fine, cycles, sweeps=2, damping=0.6):
    space, L, A, M = galerkin_system(nt_fine)
    P = za.prolongation(degree, nt_coarse=nt_fine // 2, nt_fine=nt_fine,
                        periodic=True)
    coarse = (P.T @ A @ P).tocsc()
    b = L.T @ (M @ space.project(f))
    diagonal = A.diagonal()
    # A random start: every frequency is in the first error.
    x = np.random.default_rng(0).standard_normal(b.size)
    history = [np.linalg.norm(b - A @ x)]
    for _ in range(cycles):
        for _ in range(sweeps):
            x = x + damping * (b - A @ x) / diagonal
        x = x + P @ spsolve(coarse, P.T @ (b - A @ x))
        for _ in range(sweeps):
            x = x + damping * (b - A @ x) / diagonal
        history.append(np.linalg.norm(b - A @ x))
    return space, L, A, b, x, np.array(history) / history[0]


def jacobi(nt_fine, sweeps, damping=0.6):
    space, L, A, M = galerkin_system(nt_fine)
    b = L.T @ (M @ space.project(f))
    x = np.random.default_rng(0).standard_normal(b.size)
    history = [np.linalg.norm(b - A @ x)]
    for _ in range(sweeps):
        x = x + damping * (b - A @ x) / A.diagonal()
        history.append(np.linalg.norm(b - A @ x))
    return np.array(history) / history[0]


cycles = 10
results = {n: two_grid(n, cycles) for n in (32, 64, 128, 256)}
for n, (space, L, A, b, x, history) in results.items():
    factors = history[1:] / history[:-1]
    print(f"n_t = {n:3d}: {A.shape[0]} unknowns, residual reduction per cycle "
          f"{np.median(factors[1:6]):.3f}, "
          f"after {cycles} cycles {history[-1]:.1e}")
    assert np.all(factors[:6] < 0.1)  # about the same factor on every grid
    assert history[-1] < 1e-10
    assert np.allclose(x, spsolve(A.tocsc(), b), rtol=0, atol=1e-9)

# The solution, in the Legendre basis, is close to cos(k t): a discretisation
# error of order h^(degree + 1).
space, L, A, b, x, history = results[128]
error = np.max(np.abs(space.evaluate(L @ x, probe) - np.cos(k * probe)))
print(f"largest error of the solution on 128 elements: {error:.1e}")
assert error < 1e-5

# Jacobi alone, with as many sweeps as the cycles made (4 per cycle): the
# residual stalls, as the smooth part of the error hardly moves.
alone = jacobi(128, 4 * cycles)
print(f"Jacobi alone, {4 * cycles} sweeps: "
      f"residual {alone[-1]:.1e} of the first")
assert alone[-1] > 1e6 * history[-1]

# %%
# The picture
# -----------
fig, axis = plt.subplots(figsize=(6.5, 4), layout="constrained")
for (n, result), marker, size in zip(results.items(), "o^sx", [9, 7, 5, 5]):
    axis.semilogy(np.arange(cycles + 1), result[-1], marker=marker, ms=size,
                  mfc="none", lw=1, label=f"two-grid, {n} elements")
axis.semilogy(np.arange(4 * cycles + 1) / 4, alone, color="k", ls="--",
              label="Jacobi alone, 128 elements")

axis.set_xlabel("cycles (4 Jacobi sweeps each)")
axis.set_ylabel("relative residual")
axis.legend(fontsize=8)
axis.set_title("-u'' + u = f, periodic, continuous degree 2: "
               "residual history\n"
               "(the four grids reduce it alike: their lines overlap)")
plt.show()
