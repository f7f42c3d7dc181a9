"""
L2 projection and its convergence rates
=======================================

``space.project(f)`` gives the dofs of the L2 projection of ``f`` onto the
space, the function of the space closest to ``f`` in the L2 norm. For a smooth
``f`` its error falls as ``h^(degree + 1)`` with the element width
``h = T / n_t``. This page measures the error for several degrees and numbers
of elements, and the rates it falls at.
"""

# %%
# Measuring the error with ``norm``
# ---------------------------------
# ``space.norm(dofs)`` is the L2 norm of a function of the space, exact and
# without quadrature: the Legendre mass matrix is diagonal, ``w / (2k + 1)``
# for ``P_k``. ``f`` itself is not in the space, so the error is measured
# against a reference: the projection of ``f`` with degree ``degree + 8`` on
# the same elements, whose own error is far smaller. The space of lower degree
# is part of it, and its Legendre coefficients are those of the reference's
# first ``degree + 1`` polynomials (the Legendre polynomials are orthogonal),
# so the difference of the two is exactly a function of the reference space:
# its ``norm`` is the error.
import matplotlib.pyplot as plt
import numpy as np

import zorv_arrays as za


def f(t):
    return np.exp(np.sin(2.0 * np.pi * t)) / (1.0 + t**2)


T = 2.0
degrees = [0, 1, 2, 3, 4]
element_counts = np.array([4, 8, 16, 32, 64, 128])


def distance(reference, exact, space, dofs):
    """The L2 distance between the function `exact` of `reference` and the
    function `dofs` of `space` (same elements, lower degree), with
    `reference.norm`."""
    padded = np.zeros((space.n_t, reference.degree + 1))
    # The coefficients of `dofs`, and zeros above its degree.
    padded[:, : space.degree + 1] = space.to_coefficients(dofs)
    return reference.norm(exact - reference.from_coefficients(padded))


# Both projections use degree + 12 quadrature points per element (``points``;
# the default is degree + 1): the quadrature's own error then stays far below
# what is measured.
def projection_error(degree, n_t):
    space = za.LegendreSpace(degree, n_t, T)
    reference = za.LegendreSpace(degree + 8, n_t, T)
    exact = reference.project(f, points=degree + 12)
    dofs = space.project(f, points=degree + 12)
    return distance(reference, exact, space, dofs)


errors = np.array([[projection_error(p, n) for n in element_counts]
                   for p in degrees])

# %%
# The rates
# ---------
# Between ``n_t`` and ``2 n_t`` the error falls by ``2^rate``. On the finest
# pairs the rate is ``degree + 1``: the error of the best approximation by
# polynomials of that degree.
rates = np.log2(errors[:, :-1] / errors[:, 1:])
print("n_t:       " + " ".join(f"{n:>9d}" for n in element_counts))
for degree, row, rate in zip(degrees, errors, rates):
    print(f"degree {degree}:  " + " ".join(f"{e:9.2e}" for e in row)
          + f"   rates {' '.join(f'{r:.2f}' for r in rate)}")
for degree, rate in zip(degrees, rates):
    assert abs(rate[-1] - (degree + 1)) < 0.15, (degree, rate)

# The projection is the best approximation: any other function of the space is
# farther from f. Perturbing the dofs of the projection makes the error larger,
# by exactly the perturbation's norm in quadrature (Pythagoras).
space = za.LegendreSpace(2, 16, T)
reference = za.LegendreSpace(10, 16, T)
exact = reference.project(f, points=14)
projection = space.project(f, points=14)
perturbation = 1e-3 * np.random.default_rng(3).standard_normal(space.n_dofs)
best = distance(reference, exact, space, projection)
other = distance(reference, exact, space, projection + perturbation)
print(f"degree 2, 16 elements: error {best:.6e}; "
      f"perturbed by {space.norm(perturbation):.3e}: {other:.6e}")
assert np.isclose(other**2, best**2 + space.norm(perturbation) ** 2, rtol=1e-9)

# The same error by brute force: 30 Gauss points per element on f itself.
nodes, weights = np.polynomial.legendre.leggauss(30)
w = T / space.n_t
times = (space.edges[:-1, None] + (nodes + 1.0) * (w / 2)).ravel()
squares = (f(times) - space.evaluate(projection, times)) ** 2
quadrature_weights = np.tile(weights * (w / 2), space.n_t)
by_quadrature = np.sqrt(np.sum(quadrature_weights * squares))
assert np.isclose(by_quadrature, best, rtol=1e-8)

# %%
# The picture
# -----------
h = T / element_counts
fig, axis = plt.subplots(figsize=(6.5, 4.6), layout="constrained")
for degree, row, rate in zip(degrees, errors, rates):
    line, = axis.loglog(h, row, "o-",
                        label=f"degree {degree}: rate {rate[-1]:.2f}")
    # The slope degree + 1, drawn a little below the finest points.
    slope = 0.3 * row[-1] * (h[-3:] / h[-1]) ** (degree + 1)
    axis.loglog(h[-3:], slope, ":", color=line.get_color())
axis.set_xticks(h, labels=[f"2/{n}" for n in element_counts])
axis.xaxis.set_minor_locator(plt.NullLocator())
axis.set_xlabel("element width h = T / n_t")
axis.set_ylabel("L2 error of the projection")
axis.legend(loc="lower right", fontsize=8)
axis.set_title("Projection of exp(sin(2 pi t)) / (1 + t^2) on [0, 2]\n"
               "(dotted: slope degree + 1)")

plt.show()
