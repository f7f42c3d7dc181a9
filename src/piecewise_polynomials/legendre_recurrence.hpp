#pragma once
/// @file
/// The three-term Legendre recurrence on the reference interval [-1, 1], shared by
/// the Legendre basis evaluation and the Lagrange-to-Legendre transformation.
///
/// Values are bit-exact: every operation is rounded in the order written
/// (the build uses -ffp-contract=off, so no fused multiply-add is formed).

#include <cstddef>

namespace zorv {

/// Walks P_0(x), P_1(x), P_2(x), ... in one pass.
///
/// P_0 = 1, P_1 = x, P_(k+1) = (P_k * (x * (2k+1)) - P_(k-1) * k) / (k+1), with k kept
/// as a float counter and 2k+1 formed as (k + k) + 1. Running the recurrence up to
/// P_n once performs exactly the operations that recomputing each P_k from scratch
/// would, so the values are identical and the cost is linear in the degree.
class LegendreRecurrence {
public:
    explicit LegendreRecurrence(double x) noexcept : x_(x) {}

    // The steps of the recurrence, shared by the single-point walk below and the
    // batch kernel. `Real` is double, or a GCC vector of doubles for several points
    // at once (the same operations, element by element). Operands are taken by
    // reference and results written through one: a vector of doubles must never be
    // passed by value across a call, because the calling convention for it differs
    // between the instruction sets the batch kernel is compiled for.

    /// result = P_(k+1)(x) from P_k(x) and P_(k-1)(x), for k >= 1 given as the float `kf`.
    template <class Real>
    [[gnu::always_inline]] static void next(const Real& x, const Real& p_k, const Real& p_k_minus_1, double kf,
                                            Real& result) noexcept {
        const double odd = (kf + kf) + 1.0;
        const Real scaled = x * odd;
        const Real first = p_k * scaled;
        const Real second = p_k_minus_1 * kf;
        result = (first - second) / (kf + 1.0);
    }

    /// result = P_2(x): the step from k = 1, where 2k + 1 = 3 and P_0 k = 1 exactly and
    /// the division by k + 1 = 2 is exact, so it is a multiplication by 0.5 (same bits).
    template <class Real>
    [[gnu::always_inline]] static void second(const Real& x, Real& result) noexcept {
        result = ((x * (x * 3.0)) - 1.0) * 0.5;
    }

    /// result = P_k'(x) for k >= 2 (given as the float `kf`) from P_k(x) and P_(k-1)(x):
    /// ((x P_k - P_(k-1)) k) / ((x x - 1) + 1e-15).
    template <class Real>
    [[gnu::always_inline]] static void derivative(const Real& x, const Real& p_k, const Real& p_k_minus_1,
                                                  double kf, Real& result) noexcept {
        constexpr double epsilon = 1e-15;
        const Real numerator = ((x * p_k) - p_k_minus_1) * kf;
        const Real denominator = ((x * x) - 1.0) + epsilon;
        result = numerator / denominator;
    }

    /// Current degree k.
    std::size_t degree() const noexcept { return k_; }
    /// P_k(x).
    double value() const noexcept { return current_; }
    /// P_(k-1)(x); meaningful for k >= 1.
    double previous_value() const noexcept { return previous_; }

    /// Moves from P_k to P_(k+1).
    void advance() noexcept {
        double next = x_;
        if (k_ == 1) {
            LegendreRecurrence::second(x_, next);
            k_float_ = 2.0;
        } else if (k_ >= 2) {
            LegendreRecurrence::next(x_, current_, previous_, k_float_, next);
            k_float_ = k_float_ + 1.0;
        }
        previous_ = current_;
        current_ = next;
        ++k_;
    }

    /// P_k'(x) with the regularising constant 1e-15 in the denominator:
    /// P_0' = 0, P_1' = 1, P_k' = ((x P_k - P_(k-1)) k) / ((x x - 1) + 1e-15) for k >= 2.
    /// At x = +-1 the recurrence gives P_k = (+-1)^k exactly, so every P_k' with k >= 2 is 0.
    double derivative() const noexcept {
        if (k_ == 0) return 0.0;
        if (k_ == 1) return 1.0;
        double result;
        LegendreRecurrence::derivative(x_, current_, previous_, static_cast<double>(k_), result);
        return result;
    }

private:
    double x_;
    double previous_ = 0.0;
    double current_ = 1.0;
    double k_float_ = 1.0;  // the float counter k of the step P_k -> P_(k+1), for k >= 1
    std::size_t k_ = 0;
};

}  // namespace zorv
