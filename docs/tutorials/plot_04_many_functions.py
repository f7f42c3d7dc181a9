"""
Many functions on one grid: a space-time solution
=================================================

A space-time solution ``u(x, t)`` discretised in space by ``n_x`` unknowns is
``n_x`` functions of time, one per spatial unknown. With dofs of shape
``(n_x, n_dofs)``, one call evaluates (or integrates) all of them: each time is
located and its basis values formed once, then used for every function.

The example is the heat equation ``u_t = u_xx`` on ``0 < x < 1`` with ``u = 0``
at both ends, whose solution is a sum of decaying sine modes:
``u(x, t) = sum_n b_n sin(n pi x) exp(-n^2 pi^2 t)``.
"""

# %%
# One projection for all the unknowns
# -----------------------------------
# ``project`` calls ``f`` once with all the quadrature times ``t`` (shape
# ``(n_t * points,)``); ``f`` returns one row per function, shape
# ``(n_x, n_t * points)``.
import matplotlib.pyplot as plt
import numpy as np

import zorv_arrays as za

modes = {1: 1.0, 2: -0.6, 5: 0.4}  # n: b_n
x = np.linspace(0.0, 1.0, 81)


def heat(x, t, time_derivative=False):
    """The exact solution at every x (rows) and t (columns), or its time
    derivative."""
    total = np.zeros(np.broadcast_shapes(np.shape(x), np.shape(t)))
    for n, b in modes.items():
        rate = (n * np.pi) ** 2
        factor = -rate if time_derivative else 1.0
        total = total + factor * b * np.sin(n * np.pi * x) * np.exp(-rate * t)
    return total


space = za.LegendreSpace(4, 40, 0.1)
U = space.project(lambda t: heat(x[:, None], t[None, :]))
print(f"dofs of {x.size} functions: shape {U.shape}")
assert U.shape == (x.size, space.n_dofs)

# %%
# Evaluate all at once
# --------------------
# ``evaluate(U, t)`` has the shape ``U.shape[:-1] + t.shape``: here one row per
# x.
t = np.linspace(0.0, space.T, 301)
values = space.evaluate(U, t)
assert values.shape == (x.size, t.size)
# Row i is function i: the same numbers as evaluating it alone, bit for bit.
assert all(np.array_equal(values[i], space.evaluate(U[i], t))
           for i in (0, 17, 40))
# t of any shape: a (3, 100) array of times gives shape (81, 3, 100).
assert space.evaluate(U, t[1:].reshape(3, 100)).shape == (x.size, 3, 100)

exact = heat(x[:, None], t[None, :])
error = np.max(np.abs(values - exact))
print(f"largest error against the exact solution: {error:.1e}")
assert error < 1e-5

# The time derivative of every function at once, and the heat equation it
# satisfies: u_t against the exact u_t (which equals u_xx).
u_t = space.evaluate(U, t, derivative=1)
exact_u_t = heat(x[:, None], t[None, :], time_derivative=True)
assert np.max(np.abs(u_t - exact_u_t)) < 2e-3 * np.max(np.abs(u_t))

# %%
# Integrals of every function
# ---------------------------
# ``integrate(U, a, b)`` integrates every function over [a, b]: here the time
# average of the temperature at each x, against the exact
# ``b_n sin(n pi x) (1 - exp(-n^2 pi^2 T)) / (n^2 pi^2 T)``.
average = space.integrate(U, 0.0, space.T) / space.T
exact_average = sum(b * np.sin(n * np.pi * x)
                    * -np.expm1(-((n * np.pi) ** 2) * space.T)
                    / ((n * np.pi) ** 2 * space.T) for n, b in modes.items())
assert average.shape == x.shape
assert np.max(np.abs(average - exact_average)) < 1e-8

# %%
# The picture
# -----------
fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.6), layout="constrained",
                                  width_ratios=[3, 2])
largest = np.max(np.abs(values))
image = left.imshow(values, origin="lower", aspect="auto", cmap="RdBu_r",
                    vmin=-largest, vmax=largest,
                    extent=(t[0], t[-1], x[0], x[-1]))

fig.colorbar(image, ax=left, label="u(x, t)")
left.set_xlabel("t")
left.set_ylabel("x")
left.set_title(f"{x.size} functions of t, evaluated in one call")
for when, color in zip([0.0, 0.005, 0.02, 0.1], ["C0", "C1", "C2", "C3"]):
    right.plot(x, space.evaluate(U, when), color=color, label=f"t = {when:g}")
right.plot(x, average, color="k", ls="--", lw=1, label="time average")
right.set_xlabel("x")
right.legend(fontsize=8)
right.set_title("Profiles")
plt.show()
