#pragma once
/// @file
/// What the calculus files (legendre_calculus.cpp, legendre_integrals.cpp,
/// legendre_fit.cpp) share: the messages, the extrapolation of a time outside [0, T]
/// and the sums of a row of basis values. Internal to the core.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <string>

#include "piecewise_polynomials/kernels/lanes.hpp"  // exact_derivative_scale
#include "piecewise_polynomials/kernels/location.hpp"
#include "piecewise_polynomials/legendre_calculus.hpp"
#include "support/stop.hpp"

namespace zorv::calculus_detail {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

inline std::string shortest(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

[[noreturn]] inline void stop_no_element() { stop("Matrix slicing out of bounds."); }

/// The element width T / n_t, formed as LegendreBasis forms it.
inline double width_of(const LegendreBasis& basis) { return basis.T() / static_cast<double>(basis.n_t()); }

inline bool outside(double t, double T) { return t < 0.0 || t > T; }

/// The reference coordinate of t on an element's polynomial continued: locate's
/// formula without the clamp to [-1, 1], so that it meets locate's -1 at 0 and +1 at
/// the last element's right end. The element is the first for t < 0, else the last,
/// unless given. (Its midpoint is the plain (left + right) * -0.5, without the rule's
/// fallback where that sum overflows.)
inline ElementPosition extended_position(const LegendreBasis& basis, double t, std::size_t element) {
    const double w = width_of(basis);
    double left;
    double right;
    ElementRule::edges(w, static_cast<double>(element), left, right);
    ElementPosition position{element, 0.0};
    ElementRule::reference(t, left, right, (left + right) * -0.5, position.xi);
    return position;
}

inline ElementPosition extended_position(const LegendreBasis& basis, double t) {
    return extended_position(basis, t, t < 0.0 ? 0 : basis.n_t() - 1);
}

/// exact_derivative_scale, `order` times; nothing for orders above the degree, whose
/// sums are zeros (or NaN).
inline double scale_derivative(double sum, std::size_t order, std::size_t degree, double w) {
    if (order > degree) return sum;
    const double reciprocal = 1.0 / w;
    for (std::size_t j = 0; j < order; ++j) exact_derivative_scale(sum, w, reciprocal, sum);
    return sum;
}

/// P_m^(m), the constant (2m - 1)!! = 1 * 3 * ... * (2m - 1) (exact while it fits 53 bits).
inline double top_derivative(std::size_t order) {
    double product = 1.0;
    for (std::size_t j = 1; j <= order; ++j) product = product * static_cast<double>(2 * j - 1);
    return product;
}

/// The limit of P_k^(order)(xi) as xi -> sign * inf: 0 below the order, the constant
/// at it, +-inf (the sign of sign^(k - order)) above.
inline double basis_limit(std::size_t k, std::size_t order, double sign) {
    if (k < order) return 0.0;
    if (k == order) return top_derivative(order);
    return ((k - order) & 1) != 0 ? std::copysign(kInf, sign) : kInf;
}

/// The limit as xi -> sign * inf of sum_(k >= order) c_k P_k^(order)(xi), for the
/// coefficients c_k = coefficients[k * stride], k = 0 .. degree: the leading
/// nonzero term decides (+-inf), a constant remains when that term is the
/// order-th one, and 0 when there is none. A NaN coefficient gives NaN.
inline double derivative_limit(const double* coefficients, std::size_t stride, std::size_t degree, std::size_t order,
                        double sign) {
    std::size_t top = degree + 1;
    for (std::size_t k = order; k <= degree; ++k) {
        const double c = coefficients[k * stride];
        if (std::isnan(c)) return kNaN;
        if (c != 0.0) top = k;
    }
    if (top > degree) return 0.0;
    return basis_limit(top, order, sign) * coefficients[top * stride];
}

template <class Row>
inline double row_sum(const Row& row, const double* dofs, std::size_t element, std::size_t n_t, std::size_t columns) {
    const double* const d = dofs + element;
    double sum = -0.0;
    for (std::size_t k = 0; k < columns; ++k) sum = sum + row[k] * d[k * n_t];
    return sum;
}

/// Checks the raise rule: the first time outside [0, T] stops.
inline void check_inside(std::span<const double> times, double T) {
    for (const double t : times) {
        if (outside(t, T)) stop(outside_message(t, T));
    }
}

}  // namespace zorv::calculus_detail
