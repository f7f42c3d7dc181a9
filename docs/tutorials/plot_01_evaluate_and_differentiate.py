"""
Evaluate and differentiate
==========================

A function of a :class:`zorv_arrays.LegendreSpace` is a vector of dofs: on
element ``e`` of ``n_t`` equal elements of [0, T] it is the Legendre series
``sum_k c[e, k] P_k(xi)`` of the element's reference coordinate ``xi`` in [-1,
1], with ``c[e, k]`` at the flat index ``e + n_t * k``. This page evaluates
such a function and its time derivatives of any order, shows what it is outside
[0, T], and compares the derivative of ``zorv`` (the module whose interface is
fixed) with the one of ``zorv_arrays`` near the element ends.
"""

# %%
# Values and derivatives of any order
# -----------------------------------
# ``evaluate(dofs, t, derivative=m)`` gives the m-th time derivative
# ``(2 / w)^m sum_k c_k P_k^(m)(xi)`` (``w = T / n_t``); orders above the
# degree are 0. Here the function is the L2 projection of ``sin(2 pi t)`` with
# degree 4 on 5 elements.
import matplotlib.pyplot as plt
import numpy as np

import zorv
import zorv_arrays as za

space = za.LegendreSpace(4, 5, 2.0)
dofs = space.project(lambda t: np.sin(2 * np.pi * t), points=8)
t = np.linspace(0.0, space.T, 801)
values = space.evaluate(dofs, t)
first = space.evaluate(dofs, t, derivative=1)
second = space.evaluate(dofs, t, derivative=2)

# Check every order against NumPy's own Legendre series of each element
# (numpy.polynomial.Legendre with the element as its domain differentiates in
# t). ``locate`` gives the element of each time by the rule that ``evaluate``
# uses.
pieces = space.to_legendre(dofs)
element, _ = space.locate(t)
for order, ours in enumerate([values, first, second]):
    by_piece = np.array([piece.deriv(order)(t) if order else piece(t)
                         for piece in pieces])
    reference = by_piece[element, np.arange(t.size)]
    scale = np.max(np.abs(reference))
    assert np.max(np.abs(ours - reference)) < 1e-12 * scale, order
# Degree 4: the fifth derivative is 0.
assert not np.any(space.evaluate(dofs, t, derivative=5))

# The projection is close to sin(2 pi t), and its derivatives to those of the
# sine.
omega = 2 * np.pi
assert np.max(np.abs(values - np.sin(omega * t))) < 5e-3
assert np.max(np.abs(first - omega * np.cos(omega * t))) < 0.05 * omega

fig, axes = plt.subplots(3, 1, sharex=True, figsize=(7, 6),
                         layout="constrained")
exact = [np.sin(omega * t), omega * np.cos(omega * t),
         -omega**2 * np.sin(omega * t)]
labels = ["u", "u'", "u''"]
computed = [values, first, second]
for axis, ours, truth, label in zip(axes, computed, exact, labels):
    axis.plot(t, truth, color="0.7", lw=3, label="exact")
    axis.plot(t, ours, color="C0", lw=1.2, label="zorv_arrays")
    for edge in space.edges:
        axis.axvline(edge, color="0.85", lw=0.8, zorder=0)
    axis.set_ylabel(label)
axes[0].legend(loc="upper right")
axes[-1].set_xlabel("t")
axes[0].set_title("Projection of sin(2 pi t): degree 4, 5 elements "
                  "(grey lines: element ends)")
plt.show()

# %%
# The second derivative jumps at the element ends: the space is discontinuous,
# and each time belongs to one element (an inner end to the element that begins
# there).
#
# Outside [0, T]
# --------------
# ``extrapolate=`` says what the function is before 0 and after T. ``"clamp"``
# (the default, ``zorv``'s values bit for bit) holds the end value, so every
# derivative is 0 there; ``"extend"`` continues the end element's polynomial;
# ``"nan"`` gives NaN; ``"raise"`` refuses with a ``ValueError``.
outside = np.linspace(-0.3, space.T + 0.3, 481)
clamp = space.evaluate(dofs, outside)
extend = space.evaluate(dofs, outside, extrapolate="extend")
nan = space.evaluate(dofs, outside, extrapolate="nan")
before, after = outside < 0, outside > space.T

assert np.all(clamp[before] == space.evaluate(dofs, 0.0))
assert np.all(clamp[after] == space.evaluate(dofs, space.T))
assert not np.any(space.evaluate(dofs, outside[after], derivative=1))
assert np.allclose(extend[before], pieces[0](outside[before]),
                   rtol=0, atol=1e-12)
assert np.allclose(extend[after], pieces[-1](outside[after]),
                   rtol=0, atol=1e-12)
inside = ~(before | after)
assert np.all(np.isnan(nan[~inside])) and np.all(nan[inside] == clamp[inside])
try:
    space.evaluate(dofs, outside, extrapolate="raise")
except ValueError as error:
    print("extrapolate='raise':", error)
else:
    raise AssertionError("a time outside [0, T] was accepted")

# ``zorv``'s evaluator gives the same values as the default rule, bit for bit.
evaluator = zorv.LegendreBasisEvaluator(space.degree, space.n_t, space.T)
evaluator.set_dofs(dofs)
assert np.array_equal(np.array(evaluator.evaluate_many(outside)), clamp)

fig, axis = plt.subplots(figsize=(7, 3.2), layout="constrained")
axis.plot(outside, extend, color="C1", lw=2.5, label='"extend"')
axis.plot(outside, clamp, color="C0", lw=1.5, label='"clamp" (default)')
axis.plot(outside, nan, color="k", lw=1, ls=":",
          label='"nan" (not drawn outside)')
axis.axvspan(outside[0], 0.0, color="0.92")
axis.axvspan(space.T, outside[-1], color="0.92")
axis.set_xlabel("t")
axis.legend(loc="upper center", ncol=3)
axis.set_title("The extrapolation rules (grey: outside [0, T])")
plt.show()

# %%
# Derivatives near the element ends: ``zorv`` against ``zorv_arrays``
# --------------------------------------------------------------------
# ``zorv``'s derivative methods keep the formula their interface fixes,
# ``P_k'(xi) = k (xi P_k - P_(k-1)) / (xi^2 - 1 + 1e-15)``: the quotient
# cancels as ``xi`` nears ±1 and the constant ``1e-15`` in the denominator
# makes it 0 at the ends for every k ≥ 2. ``zorv_arrays`` sums ``P_k'`` from
# the stable recurrence ``P_(k+1)' = P_(k-1)' + (2k + 1) P_k``, accurate up to
# and at the ends.
#
# The reference is NumPy's ``legder`` of the element's coefficients, evaluated
# at the same ``xi`` that the module uses (the time ``t = T - d`` on the last
# element, for distances ``d`` from the right end down to 0).
from numpy.polynomial import legendre

w = space.T / space.n_t
distance = np.concatenate([np.logspace(-1, -15, 57) * w, [0.0]])
times = space.T - distance
# The module's xi, from ``locate``: all these times lie on the last element.
element, xi = space.locate(times)
assert np.all(element == space.n_t - 1)
coefficients = space.to_coefficients(dofs)[-1]
reference = legendre.legval(xi, legendre.legder(coefficients)) * (2.0 / w)

ours = space.evaluate(dofs, times, derivative=1)
theirs = np.array(evaluator.evaluate_derivative_many(times))
scale = np.max(np.abs(first))
error_ours = np.abs(ours - reference) / scale
error_theirs = np.abs(theirs - reference) / scale

# zorv_arrays: accurate everywhere, the end included. zorv: good away from the
# end, worse as the end nears, and wrong by the size of the derivative at the
# end itself.
assert np.max(error_ours) < 1e-14
assert error_theirs[0] < 1e-12  # at d = w / 10
assert np.max(error_theirs[:-1]) > 1e-3
assert error_theirs[-1] > 0.1
print(f"relative error at t = T: zorv_arrays {error_ours[-1]:.1e}, "
      f"zorv {error_theirs[-1]:.2f}")
print(f"at t = T: zorv {theirs[-1]:.4f}, zorv_arrays {ours[-1]:.4f}, "
      f"exact 2 pi = {omega:.4f}")

fig, axis = plt.subplots(figsize=(7, 3.8), layout="constrained")
floor = 1e-17  # a zero error drawn on the log axis
d = distance[:-1] / w
axis.loglog(d, np.maximum(error_theirs[:-1], floor), "o-", ms=3, color="C3",
            label="zorv  (regularised quotient)")
axis.loglog(d, np.maximum(error_ours[:-1], floor), "s-", ms=3, color="C0",
            label="zorv_arrays  (stable recurrence)")
axis.axhline(error_theirs[-1], color="C3", ls="--", lw=1)
axis.text(5e-2, error_theirs[-1] * 2,
          f"zorv at the end itself (d = 0): {error_theirs[-1]:.2f}",
          color="C3", fontsize=8)

axis.set_xlabel("distance to the element end, d / w")
axis.set_ylabel("|error of u'| / max |u'|")
axis.set_ylim(floor / 2, 10)
axis.invert_xaxis()
axis.legend(loc="center left")
axis.set_title("First derivative approaching t = T (degree 4)")
plt.show()

# sphinx_gallery_thumbnail_number = 3
