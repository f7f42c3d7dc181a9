#include "piecewise_polynomials/quadrature.hpp"

#include <cmath>
#include <numbers>
#include <string>

#include "support/stop.hpp"

namespace zorv {
namespace {

/// P_n(x) and P_(n-1)(x) by the three-term recurrence (n >= 1).
struct LegendrePair {
    double value;
    double previous;
};

LegendrePair legendre_pair(std::size_t n, double x) noexcept {
    double previous = 1.0;
    double value = x;
    for (std::size_t k = 2; k <= n; ++k) {
        const double kf = static_cast<double>(k);
        const double next = ((2.0 * kf - 1.0) * x * value - (kf - 1.0) * previous) / kf;
        previous = value;
        value = next;
    }
    return {value, previous};
}

/// P'_n(x) = n (x P_n - P_(n-1)) / (x^2 - 1), for x inside (-1, 1); the denominator
/// as -(1 - x)(1 + x), which keeps its accuracy near the ends.
double legendre_derivative(std::size_t n, double x, LegendrePair p) noexcept {
    return static_cast<double>(n) * (x * p.value - p.previous) / -((1.0 - x) * (1.0 + x));
}

}  // namespace

QuadratureRule gauss_legendre(std::size_t points) {
    if (points == 0) stop("Gauss-Legendre quadrature needs at least one point");
    if (points > kMaxGaussLegendrePoints) {
        stop("Gauss-Legendre quadrature supports at most " + std::to_string(kMaxGaussLegendrePoints) + " points");
    }
    QuadratureRule rule{std::vector<double>(points), std::vector<double>(points)};
    const double n = static_cast<double>(points);
    // Roots come in pairs +-x; the largest first, from cos(pi (i + 3/4) / (n + 1/2)).
    for (std::size_t i = 0; i < (points + 1) / 2; ++i) {
        double x = std::cos(std::numbers::pi * (static_cast<double>(i) + 0.75) / (n + 0.5));
        const bool middle = points % 2 == 1 && i == points / 2;
        if (middle) {
            x = 0.0;  // the root of an odd P_n at 0, exactly
        } else {
            // Newton's iteration converges quadratically from this guess; two more
            // steps after the correction stalls settle the last bit.
            int settle = 2;
            for (int iteration = 0; iteration < 100 && settle > 0; ++iteration) {
                const LegendrePair p = legendre_pair(points, x);
                const double step = p.value / legendre_derivative(points, x, p);
                x -= step;
                if (std::fabs(step) <= 4e-16 * std::fabs(x)) --settle;
            }
        }
        const double slope = legendre_derivative(points, x, legendre_pair(points, x));
        const double weight = 2.0 / (((1.0 - x) * (1.0 + x)) * (slope * slope));
        rule.nodes[points - 1 - i] = x;
        rule.nodes[i] = -x;
        rule.weights[points - 1 - i] = weight;
        rule.weights[i] = weight;
    }
    return rule;
}

}  // namespace zorv
