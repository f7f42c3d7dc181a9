"""
Integrals, antiderivatives, inner products and conversions
==========================================================

A function of the space is a polynomial on each element, so its integrals, its
antiderivative and its inner products with other functions of the space are
exact up to rounding, without quadrature. This page shows each calculus method
and each converter with a short example, checked against NumPy and SciPy.
"""

# %%
# A function to work with
# -----------------------
# Degree 3 on 4 elements of [0, 2], with random Legendre coefficients: a
# piecewise cubic that jumps at the element ends.
import matplotlib.pyplot as plt
import numpy as np
from numpy.polynomial import legendre
from scipy import integrate as quadrature

import zorv_arrays as za

space = za.LegendreSpace(3, 4, 2.0)
rng = np.random.default_rng(11)
dofs = rng.standard_normal(space.n_dofs)
t = np.linspace(0.0, space.T, 1001)
values = space.evaluate(dofs, t)


def agree(first, second, atol):
    """Equal up to an absolute tolerance."""
    return np.allclose(first, second, rtol=0, atol=atol)


# %%
# ``edges``: the element ends
# ---------------------------
# The ``n_t + 1`` element ends, as the module computes them (``T`` exactly at
# the end).
print("edges:", space.edges)
assert agree(space.edges, np.linspace(0.0, space.T, space.n_t + 1), 1e-15)
assert space.edges[-1] == space.T

# %%
# ``to_coefficients`` and ``from_coefficients``
# ---------------------------------------------
# The flat dofs hold the coefficient of ``P_k`` on element ``e`` at
# ``e + n_t * k``; ``to_coefficients`` gives them as an ``(n_t, degree + 1)``
# array, one row per element in the order ``numpy.polynomial.legendre.legval``
# takes, and ``from_coefficients`` goes back.
coefficients = space.to_coefficients(dofs)
print("coefficients of element 1:", coefficients[1])
assert coefficients.shape == (space.n_t, space.degree + 1)
assert np.array_equal(coefficients,
                      dofs.reshape(space.degree + 1, space.n_t).T)
assert np.array_equal(space.from_coefficients(coefficients), dofs)
# Element 1 is [0.5, 1]: its reference coordinate xi = 0.5 is the time t =
# 0.875.
assert np.isclose(legendre.legval(0.5, coefficients[1]),
                  space.evaluate(dofs, 0.875))
# Many functions at once: shape (..., n_dofs) <-> (..., n_t, degree + 1).
two = space.to_coefficients(np.stack([dofs, -dofs]))
assert two.shape == (2, space.n_t, space.degree + 1)

# %%
# ``to_legendre``: one ``numpy.polynomial.Legendre`` per element
# ---------------------------------------------------------------
# Each series has its element as its domain, so it takes times directly and
# NumPy's own methods (``deriv``, ``integ``, ``roots``, ...) apply to it.
pieces = space.to_legendre(dofs)
print(pieces[2])
# ``locate`` picks each time's element, as ``evaluate`` does.
element, _ = space.locate(t)
by_piece = np.array([piece(t) for piece in pieces])
assert agree(by_piece[element, np.arange(t.size)], values, 1e-13)
# Where the function crosses 0: NumPy's roots of each piece, inside its
# element.
crossings = np.array([root.real for piece in pieces for root in piece.roots()
                      if abs(root.imag) < 1e-12
                      and piece.domain[0] <= root.real < piece.domain[1]])
assert agree(space.evaluate(dofs, crossings), 0.0, 1e-12)

# %%
# ``to_ppoly``: a ``scipy.interpolate.PPoly``
# -------------------------------------------
# The power basis per element, with the edges as breakpoints: SciPy's piecewise
# tools (``derivative``, ``antiderivative``, ``integrate``, ``roots``,
# ``solve``) apply.
ppoly = space.to_ppoly(dofs)
assert np.array_equal(ppoly.x, space.edges)
assert ppoly.c.shape == (space.degree + 1, space.n_t)
assert agree(ppoly(t), values, 1e-12)
assert agree(ppoly.derivative()(t), space.evaluate(dofs, t, derivative=1),
             1e-10)
# PPoly.roots also lists the element ends where a jump crosses 0; the others
# are the zeros.
roots = ppoly.roots(extrapolate=False)
jumps = np.isin(roots, space.edges)
print("PPoly.roots:", roots, "of which jumps through 0:", roots[jumps])
assert agree(np.sort(roots[~jumps]), np.sort(crossings), 1e-10)

# %%
# ``integrate``: definite integrals
# ---------------------------------
# ``integrate(dofs, a, b)`` for arrays of bounds (broadcast like ``evaluate``'s
# times); negative where ``b < a``.
a = rng.uniform(0.0, space.T, 200)
b = rng.uniform(0.0, space.T, 200)
integrals = space.integrate(dofs, a, b)
assert integrals.shape == a.shape
assert agree(integrals, [ppoly.integrate(lo, hi) for lo, hi in zip(a, b)],
             1e-12)
whole = space.integrate(dofs, 0.0, space.T)
# Over the whole interval only the P_0 coefficients count: the mean of element
# e is c[e, 0].
assert np.isclose(whole, np.sum(coefficients[:, 0]) * space.T / space.n_t,
                  rtol=1e-14)
# And SciPy's adaptive quadrature on the function itself agrees.
by_quad, _ = quadrature.quad(lambda s: space.evaluate(dofs, s), 0.0, space.T,
                             points=space.edges[1:-1])
print(f"integral over [0, T]: {whole:.15f} "
      f"(scipy.integrate.quad: {by_quad:.15f})")
assert np.isclose(whole, by_quad, rtol=1e-10)
# Outside [0, T] the extrapolation rule holds: "clamp" holds the end value.
beyond = space.integrate(dofs, space.T, space.T + 0.5)
assert np.isclose(beyond, 0.5 * space.evaluate(dofs, space.T), rtol=1e-14)

# %%
# ``antiderivative``: the integral from 0 as a function
# -----------------------------------------------------
# ``antiderivative(dofs)`` returns the space of one degree higher on the same
# grid and the dofs of ``F(t) = integral of u from 0 to t``: continuous,
# ``F(0) = 0``, ``F' = u``.
higher, F = space.antiderivative(dofs)
print("antiderivative space:", higher)
assert higher == za.LegendreSpace(space.degree + 1, space.n_t, space.T)
assert abs(higher.evaluate(F, 0.0)) < 1e-15  # 0 up to rounding
assert agree(higher.evaluate(F, t), space.integrate(dofs, 0.0, t), 1e-13)
assert agree(higher.evaluate(F, t, derivative=1), values, 1e-12)
assert agree(higher.evaluate(F, t), ppoly.antiderivative()(t), 1e-12)
# Continuous at the inner element ends, though u itself jumps there.
F_pieces = higher.to_legendre(F)
ends = space.edges[1:-1]
from_left = [piece(end) for piece, end in zip(F_pieces[:-1], ends)]
from_right = [piece(end) for piece, end in zip(F_pieces[1:], ends)]
assert agree(from_left, from_right, 1e-14)

# %%
# ``inner`` and ``norm``: the L2 inner product over [0, T]
# --------------------------------------------------------
# The Legendre mass matrix of an element is diagonal, ``w / (2k + 1)`` for
# ``P_k``, so the inner product is a weighted sum of the coefficients'
# products. Checked here against Gauss-Legendre quadrature, exact for the
# product of two cubics with 4 points.
other = rng.standard_normal(space.n_dofs)
nodes, weights = legendre.leggauss(space.degree + 1)
w = space.T / space.n_t
times = (space.edges[:-1, None] + (nodes + 1.0) * (w / 2)).ravel()
products = space.evaluate(dofs, times) * space.evaluate(other, times)
gauss = np.sum(np.tile(weights * (w / 2), space.n_t) * products)
assert np.isclose(space.inner(dofs, other), gauss, rtol=1e-13)
# The diagonal mass matrix in the dof layout: w / (2k + 1) at e + n_t * k.
mass = np.repeat(w / (2 * np.arange(space.degree + 1) + 1), space.n_t)
assert np.isclose(space.inner(dofs, other), np.sum(mass * dofs * other),
                  rtol=1e-14)
assert np.isclose(space.norm(dofs), np.sqrt(space.inner(dofs, dofs)),
                  rtol=1e-15)
# Leading axes broadcast: the Gram matrix of three functions in one call.
three = np.stack([dofs, other, dofs + other])
gram = space.inner(three[:, None, :], three[None, :, :])
assert gram.shape == (3, 3) and np.allclose(gram, gram.T)
assert np.all(np.linalg.eigvalsh(gram) > -1e-12)
print(f"norm {space.norm(dofs):.6f}, inner {space.inner(dofs, other):.6f}")

# %%
# The picture
# -----------
fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 5),
                                 layout="constrained")
# element by element, so that the jumps show as jumps
for e, piece in enumerate(pieces):
    on_e = np.linspace(*piece.domain, 100)
    top.plot(on_e, piece(on_e), color="C0",
             label=None if e else "u (degree 3, jumps at the element ends)")
lo, hi = 0.3, 1.7
area = space.integrate(dofs, lo, hi)
shade = (t >= lo) & (t <= hi)
top.fill_between(t[shade], values[shade], color="C0", alpha=0.2,
                 label=f"integrate(u, {lo}, {hi}) = {area:.4f}")
top.plot(crossings, np.zeros_like(crossings), "kx",
         label="zeros (Legendre.roots per element)")
top.axhline(0.0, color="0.6", lw=0.8)
top.legend(fontsize=8, loc="upper left")
bottom.plot(t, higher.evaluate(F, t), color="C1",
            label="F = antiderivative(u): degree 4, continuous")
bottom.plot([lo, hi], higher.evaluate(F, [lo, hi]), "o", color="C1",
            label=f"F({hi}) - F({lo}) is the shaded area")
bottom.legend(fontsize=8, loc="upper left")
bottom.set_xlabel("t")
for axis in (top, bottom):
    for edge in space.edges:
        axis.axvline(edge, color="0.85", lw=0.8, zorder=0)
assert np.isclose(np.diff(higher.evaluate(F, [lo, hi]))[0], area, rtol=1e-12)
plt.show()
