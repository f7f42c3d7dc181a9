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

/// The most nodes gauss_legendre computes. Its work grows as the square of the node
/// count (each of points / 2 roots takes a few Newton steps of a points-term
/// recurrence): about a millisecond here, tens of milliseconds on a slow or busy
/// machine. Far more than any projection needs (a rule of q points integrates
/// polynomials of degree 2q - 1).
inline constexpr std::size_t kMaxGaussLegendrePoints = 1024;

/// @brief The Gauss-Legendre rule with `points` nodes: the roots of P_points, each
/// found by Newton's iteration from a Chebyshev-like first guess, with the weights
/// 2 / ((1 - x^2) P'_points(x)^2). Exact for polynomials of degree 2 * points - 1
/// (to rounding).
/// @throws Stop "Gauss-Legendre quadrature needs at least one point" for 0 points;
///         "Gauss-Legendre quadrature supports at most 1024 points" above
///         kMaxGaussLegendrePoints.
QuadratureRule gauss_legendre(std::size_t points);

}  // namespace zorv
