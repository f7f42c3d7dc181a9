"""
Least squares with the design matrix
====================================

Fitting noisy samples ``(t_i, y_i)`` by a function of the space is a linear
least-squares problem: ``min ||A u - y||`` with the design matrix
``A = space.basis_matrix(t)``, one row per sample and ``degree + 1`` entries
per row. SciPy's sparse ``lsqr`` solves it as it solves any sparse problem. In
this discontinuous space the normal equations ``A^T A`` are block diagonal, one
``(degree + 1) x (degree + 1)`` block per element, and ``space.fit`` solves
them block by block: the same answer, in time linear in the samples.
"""

# %%
# Noisy samples
# -------------
import time

import matplotlib.pyplot as plt
import numpy as np
from scipy.sparse.linalg import lsqr

import zorv_arrays as za


def signal(t):
    return np.sin(t) + 0.3 * np.cos(3.1 * t)


rng = np.random.default_rng(1)
space = za.LegendreSpace(3, 20, 10.0)
t = rng.uniform(0.0, space.T, 20_000)
y = signal(t) + 0.1 * rng.standard_normal(t.size)

# %%
# The design matrix and ``lsqr``
# ------------------------------
# ``A @ dofs`` is ``evaluate(dofs, t)``: the matrix holds the basis values at
# the samples.
A = space.basis_matrix(t)
print(f"design matrix: {A.shape[0]} x {A.shape[1]}, {A.nnz} entries "
      f"({A.nnz // A.shape[0]} per row)")
assert A.shape == (t.size, space.n_dofs)
assert A.nnz == t.size * (space.degree + 1)

start = time.perf_counter()
by_lsqr = lsqr(A, y, atol=1e-14, btol=1e-14)[0]
lsqr_seconds = time.perf_counter() - start

# %%
# The same least squares with ``fit``
# -----------------------------------
start = time.perf_counter()
by_fit = space.fit(t, y)
fit_seconds = time.perf_counter() - start
print(f"lsqr: {lsqr_seconds * 1e3:.1f} ms, fit: {fit_seconds * 1e3:.2f} ms "
      f"(measured while this page was built)")

# Both solve the same problem: the same dofs up to lsqr's tolerance, and the
# residual is orthogonal to every column of the design matrix (the normal
# equations hold).
assert np.allclose(by_fit, by_lsqr, rtol=0, atol=1e-8)
residual = y - A @ by_fit
assert (np.max(np.abs(A.T @ residual))
        < 1e-9 * np.linalg.norm(y) * np.sqrt(t.size))
# With 1000 samples per element, the fit follows the signal, not the noise.
grid = np.linspace(0.0, space.T, 1001)
assert np.max(np.abs(space.evaluate(by_fit, grid) - signal(grid))) < 0.05

# %%
# Many data sets, weights, and elements without enough samples
# ------------------------------------------------------------
# ``y`` of shape ``(..., t.size)`` fits many data sets at once (one
# factorisation per element serves them all; ``axis=`` names another axis of
# the samples), and ``w`` weighs the residuals, as in NumPy's and SciPy's fits.
# Here the second data set is the first one times 2: its fit is the first fit
# times 2, as least squares is linear. Giving the second half of the samples
# weight 0 is the same as leaving them out.
both = space.fit(t, np.stack([y, 2 * y]))
assert both.shape == (2, space.n_dofs)
assert np.allclose(both[1], 2 * both[0], rtol=0, atol=1e-12)
assert np.array_equal(space.fit(t, np.stack([y, 2 * y], axis=1), axis=0), both)
half = t.size // 2
w = np.r_[np.ones(half), np.zeros(t.size - half)]
first_half = space.fit(t[:half], y[:half])
assert np.allclose(space.fit(t, y, w=w), first_half, rtol=0, atol=1e-10)

# An element needs at least degree + 1 distinct sample times: ``fit`` names
# those that lack them rather than returning an arbitrary answer.
few = t[(t < 4.0) | (t > 6.5)]
try:
    space.fit(few, signal(few))
except ValueError as error:
    print(error)
else:
    raise AssertionError("elements without samples were accepted")

# %%
# The picture
# -----------
fig, axis = plt.subplots(figsize=(7, 3.6), layout="constrained")
shown = slice(0, 2000)  # a tenth of the samples keeps the plot readable
axis.plot(t[shown], y[shown], ".", ms=2, color="0.6",
          label="noisy samples (a tenth)")
axis.plot(grid, signal(grid), color="k", lw=1, ls="--", label="signal")
axis.plot(grid, space.evaluate(by_fit, grid), color="C0", lw=1.8,
          label="fit (degree 3, 20 elements)")

axis.set_xlabel("t")
axis.legend(loc="lower left", fontsize=8)
axis.set_title(f"Least squares of {t.size} samples: "
               f"lsqr {lsqr_seconds * 1e3:.0f} ms, "
               f"fit {fit_seconds * 1e3:.1f} ms")
plt.show()
