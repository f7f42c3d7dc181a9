#pragma once
/// @file
/// Gauss-Legendre quadrature on the reference interval [-1, 1].

#include <cstddef>
#include <vector>

namespace zorv {

/// A quadrature rule on [-1, 1]: the integral of g is approximated by
/// sum_j weights[j] * g(nodes[j]).
struct QuadratureRule {
    std::vector<double> nodes;    ///< ascending, symmetric about 0
    std::vector<double> weights;  ///< positive, summing to 2 up to rounding
};

/// @brief The Gauss-Legendre rule with `points` nodes: the roots of P_points, each
/// found by Newton's iteration from a Chebyshev-like first guess, with the weights
/// 2 / ((1 - x^2) P'_points(x)^2). Exact for polynomials of degree 2 * points - 1
/// (to rounding).
/// @throws Stop "Gauss-Legendre quadrature needs at least one point" for 0 points;
///         "capacity overflow" when the rule cannot be allocated.
QuadratureRule gauss_legendre(std::size_t points);

}  // namespace zorv
