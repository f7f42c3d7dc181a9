#pragma once
/// @file
/// The location rule of the uniform grid, one definition for the scalar operations and
/// the vector kernels alike.

#include <cmath>

namespace zorv {

/// Where a time of a grid of elements of width w lies. Element e spans [left, right] with
/// left = w e and right = w + left (every edge of the grid is formed so), and a time t
/// of it lies at xi = (2 (t + m)) / (right - left) on the reference interval, with the
/// negated midpoint m = (left + right) * -0.5: halving and doubling are exact. The
/// element of t is floor(t / w), saturating and clamped to the grid
/// (LegendreBasis::locate_in_grid); the evaluation kernels may take it from the product
/// t (1 / w) instead and place the times near an edge again with the quotient (locate_lanes
/// in kernels/evaluation.cpp). `Real` is double or Lanes; every helper always inlines.
struct ElementRule {
    /// The ends of the element `element` (an integer value of Real).
    template <class Real>
    [[gnu::always_inline]] static void edges(const Real& w, const Real& element, Real& left, Real& right) noexcept {
        left = w * element;
        right = w + left;
    }

    /// (left + right) * -0.5 for element ends 0 <= left <= right. Where the sum overflows
    /// (ends beyond half the largest double), left * -0.5 + right * -0.5 instead: the ends
    /// are normal there, so both halvings are exact and the one rounding of their sum
    /// gives what the formula would without the overflow. Every finite sum keeps the
    /// formula's own operations, so no other value changes. (The vector kernels select
    /// the same two values lane by lane.)
    [[gnu::always_inline]] static double midpoint_negated(double left, double right) noexcept {
        const double sum = left + right;
        if (std::isfinite(sum)) [[likely]] return sum * -0.5;
        return left * -0.5 + right * -0.5;
    }

    /// The reference coordinate of t on the element [left, right] whose negated midpoint
    /// is `middle`, not clamped to [-1, 1].
    template <class Real>
    [[gnu::always_inline]] static void reference(const Real& t, const Real& left, const Real& right,
                                                 const Real& middle, Real& xi) noexcept {
        const Real shifted = t + middle;
        xi = (2.0 * shifted) / (right - left);
    }
};

}  // namespace zorv
