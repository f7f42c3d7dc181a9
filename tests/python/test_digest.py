"""The same bits on every processor: digests of many results, recorded on x86-64.

Every result whose operation order is fixed (single and batch values and derivatives over
degrees 0 to 30 at special times, all-basis vectors, Lagrange nodes, both transfer matrices)
goes into one SHA-256 digest per area. Any processor must reproduce the recorded digests:
a fused multiply-add, a reassociated sum or a vectorised library routine on either side
changes them. The inputs are made with exactly rounded operations only (no libm calls).
"""

import array
import hashlib
import math
import struct

import pytest

import zorv

DEGREES = range(31)
GRIDS = [(1, 1.0), (3, 3.0), (7, 1.0)]  # n_t, T

# SHA-256 of each area, recorded on x86-64 (GCC 12, -ffp-contract=off).
RECORDED = {
    "points": "b27fb27402749ce37142215a90b81d77b86cd7b876ed99ab78128e2b6ff6aa88",
    "prolongation": "4d8ee7126f052caf4a74b08cc4acd3e67bb70a36c4e5f8780e730fe3ea84ec61",
    "lagrange_to_legendre": "fd035b947eac1648ff76398fd16c1e8275fd3d12e159c816cae4d1bd4609429d",
    "basis_functions": "5ca30c27ecfc56ec831a4dfbfa810adaf974f303819f9366ba2b0502d29856ad",
    "single_values": "9e23eb70af988ea93935b5129cfb2361c65bd98b1293da9871647f67dce43baf",
    "batch_values": "84ff382b419078302a3574547d48f2980855bf7c41982164d67d8d769f431c87",
}


class Digest:
    def __init__(self):
        self._hash = hashlib.sha256()

    def floats(self, values):
        for x in values:  # every NaN alike: its sign and payload are the processor's own
            self._hash.update(b"nan!nan!" if math.isnan(x) else struct.pack("<d", x))

    def ints(self, values):
        for i in values:
            self._hash.update(struct.pack("<q", i))

    def triplets(self, result):
        rows, columns, values = result
        self.ints([len(values)] + rows + columns)
        self.floats(values)

    def hexdigest(self):
        return self._hash.hexdigest()


def special_times(n_t, T):
    """Element ends and the floats next to them, 0 and T, times outside, huge and non-finite ones."""
    w = T / n_t
    times = [0.0, -0.0, T, -T, -1.0, 2.0 * T, 1e300, -1e300, math.inf, -math.inf, math.nan, 5e-324, -5e-324]
    for e in range(n_t + 1):
        edge = w * e
        times += [edge, math.nextafter(edge, -math.inf), math.nextafter(edge, math.inf), edge + w / 3.0]
    return times


def dofs(degree, n_t):
    return [((i * 7919) % 1009 - 504) / 37.0 for i in range(n_t * (degree + 1))]


def batch_times(n_t, T):
    """More than 2048 times, so that the batch runs on the pool and in the vector kernel."""
    times = special_times(n_t, T)
    return array.array("d", times + [(T * i) / 2039.0 - 0.01 for i in range(2100 - len(times))])


def area(name):
    digest = Digest()
    if name == "points":
        for degree in DEGREES:
            for n_t, T in GRIDS:
                digest.floats(zorv.get_lagrange_points(degree, n_t, T))
                if degree:
                    digest.floats(zorv.get_lagrange_points(degree, n_t, T, True))
    elif name == "prolongation":
        for degree in range(1, 31):
            for nt_coarse, nt_fine in [(1, 3), (2, 5), (3, 2), (4, 4)]:
                for periodic in (False, True):
                    digest.triplets(zorv.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic))
    elif name == "lagrange_to_legendre":
        for degree in range(1, 31):
            for n_t in (1, 3):
                for periodic in (False, True):
                    digest.triplets(zorv.lagrange_to_legendre_basis_transformation(degree, n_t, periodic))
    elif name == "basis_functions":
        for degree in DEGREES:
            for n_t, T in GRIDS:
                basis = zorv.LegendreBasis(degree, n_t, T)
                for t in special_times(n_t, T):
                    digest.floats(basis.evaluate_all_basis_functions(t))
                    digest.floats(basis.evaluate_all_basis_function_derivatives(t))
    elif name == "single_values":
        for degree in DEGREES:
            for n_t, T in GRIDS:
                basis = zorv.LegendreBasis(degree, n_t, T)
                evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
                evaluator.set_dofs(dofs(degree, n_t))
                for t in special_times(n_t, T):
                    digest.floats([basis.evaluate_at(t, dofs(degree, n_t)), evaluator.evaluate_at(t),
                                   evaluator.evaluate_derivative_at(t)])
    elif name == "batch_values":
        for degree in DEGREES:
            for n_t, T in GRIDS:
                evaluator = zorv.LegendreBasisEvaluator(degree, n_t, T)
                evaluator.set_dofs(dofs(degree, n_t))
                times = batch_times(n_t, T)
                digest.floats(evaluator.evaluate_many(times))
                digest.floats(evaluator.evaluate_derivative_many(times))
    return digest.hexdigest()


@pytest.mark.parametrize("name", sorted(RECORDED))
def test_results_have_the_bits_recorded_on_x86_64(name):
    assert area(name) == RECORDED[name]
