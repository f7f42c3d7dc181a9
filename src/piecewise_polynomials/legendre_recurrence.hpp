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

    /// Current degree k.
    std::size_t degree() const noexcept { return k_; }
    /// P_k(x).
    double value() const noexcept { return current_; }
    /// P_(k-1)(x); meaningful for k >= 1.
    double previous_value() const noexcept { return previous_; }

    /// Moves from P_k to P_(k+1).
    void advance() noexcept {
        double next;
        if (k_ == 0) {
            next = x_;
        } else {
            const double kf = k_float_;
            const double odd = (kf + kf) + 1.0;
            const double scaled = x_ * odd;
            const double first = current_ * scaled;
            const double second = previous_ * kf;
            next = (first - second) / (kf + 1.0);
            k_float_ = kf + 1.0;
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
        constexpr double epsilon = 1e-15;
        const double kf = static_cast<double>(k_);
        const double numerator = ((x_ * current_) - previous_) * kf;
        const double denominator = ((x_ * x_) - 1.0) + epsilon;
        return numerator / denominator;
    }

private:
    double x_;
    double previous_ = 0.0;
    double current_ = 1.0;
    double k_float_ = 1.0;  // the float counter k of the step P_k -> P_(k+1), for k >= 1
    std::size_t k_ = 0;
};

}  // namespace zorv
