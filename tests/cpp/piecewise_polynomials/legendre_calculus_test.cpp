#include "piecewise_polynomials/legendre_calculus.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../sparse_matrix_tools/test_helpers.hpp"
#include "piecewise_polynomials/quadrature.hpp"
#include "support/stop.hpp"

namespace zorv {
namespace {

using testing::stop_message;

// The reference: Legendre polynomials in the monomial basis, from the explicit sum
// P_k(x) = 2^-k sum_j (-1)^j C(k, j) C(2k - 2j, k) x^(k - 2j), with exact integer
// coefficients, evaluated in long double. Independent of every recurrence under test.
using Real = long double;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kEps = std::numeric_limits<double>::epsilon();

Real binomial(int n, int k) {
    Real value = 1;
    for (int j = 1; j <= k; ++j) value = value * (n - k + j) / j;
    return value;
}

/// Coefficient of x^i in P_k.
Real monomial(int k, int i) {
    if (i > k || (k - i) % 2 != 0) return 0;
    const int j = (k - i) / 2;
    return (j % 2 ? -1 : 1) * binomial(k, j) * binomial(2 * k - 2 * j, k) / std::ldexp(Real(1), k);
}

/// P_k^(m)(x).
Real reference_derivative(int k, int m, Real x) {
    Real sum = 0;
    for (int i = m; i <= k; ++i) {
        Real falling = 1;
        for (int j = 0; j < m; ++j) falling *= i - j;
        sum += monomial(k, i) * falling * std::pow(x, i - m);
    }
    return sum;
}

/// The integral of P_k from -1 to x.
Real reference_integral(int k, Real x) {
    Real sum = 0;
    for (int i = 0; i <= k; ++i) sum += monomial(k, i) * (std::pow(x, i + 1) - std::pow(Real(-1), i + 1)) / (i + 1);
    return sum;
}

/// (k + m)! / (2^m m! (k - m)!) exactly: P_k^(m)(1).
double end_value(int k, int m) {
    unsigned __int128 value = 1;
    for (int j = k - m + 1; j <= k + m; ++j) value *= static_cast<unsigned>(j);
    for (int j = 1; j <= m; ++j) value /= 2 * static_cast<unsigned>(j);
    return static_cast<double>(value);
}

/// A function of the basis in its own terms: element e, coefficient k at e + n_t k.
struct Function {
    const LegendreBasis& basis;
    const double* dofs;

    Real w() const { return Real(basis.T()) / basis.n_t(); }
    /// d^m/dt^m of element e's polynomial at the (unclamped) coordinate xi.
    Real at(std::size_t e, Real xi, int m) const {
        Real sum = 0;
        for (std::size_t k = 0; k <= basis.degree(); ++k) {
            sum += dofs[e + basis.n_t() * k] * reference_derivative(static_cast<int>(k), m, xi);
        }
        return sum * std::pow(2 / w(), m);
    }
    /// int_0^t of the function with elements continued at the ends (extend).
    Real integral(Real t) const {
        const std::size_t n_t = basis.n_t();
        const Real shifted = t / w();
        std::size_t e = shifted < 0 ? 0 : std::min<std::size_t>(n_t - 1, static_cast<std::size_t>(shifted));
        Real sum = 0;
        for (std::size_t j = 0; j < e; ++j) sum += w() * dofs[j];
        const Real xi = 2 * (t - w() * e) / w() - 1;
        for (std::size_t k = 0; k <= basis.degree(); ++k) {
            sum += w() / 2 * dofs[e + n_t * k] * reference_integral(static_cast<int>(k), xi);
        }
        return sum;
    }
    Real scale(int m) const {  // a bound of |the order-m derivative| on an element
        Real sum = 0;
        for (std::size_t k = 0; k <= basis.degree(); ++k) {
            for (std::size_t e = 0; e < basis.n_t(); ++e) {
                sum = std::max(sum, std::abs(Real(dofs[e + basis.n_t() * k])) * end_value(static_cast<int>(k), std::min<int>(m, k)));
            }
        }
        return sum * (basis.degree() + 1) * std::pow(2 / w(), m);
    }
};

std::vector<double> random_values(std::size_t count, unsigned seed, double low = -1.0, double high = 1.0) {
    std::mt19937_64 engine(seed);
    std::uniform_real_distribution<double> uniform(low, high);
    std::vector<double> values(count);
    for (double& value : values) value = uniform(engine);
    return values;
}


std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// ---- P_k^(m) on the reference interval -------------------------------------------

class ReferenceDerivatives : public ::testing::TestWithParam<int> {};

TEST_P(ReferenceDerivatives, ExactAtTheEndsAccurateInsideAndEqualToTheExistingOrders) {
    const int degree = GetParam();
    const LegendreBasis basis(static_cast<std::size_t>(degree), 1, 2.0);
    std::vector<double> values(degree + 1), existing(degree + 1);
    std::vector<double> xis = random_values(40, 7);
    for (const double xi : {-1.0, 1.0, 0.0, 1.0 - 0x1p-40, -1.0 + 0x1p-40}) xis.push_back(xi);
    double worst = 0.0;
    for (int m = 0; m <= degree + 1; ++m) {
        for (const double xi : xis) {
            legendre_derivatives(xi, degree, m, values);
            if (m <= 1) {
                basis.reference_basis(xi, m == 1, existing);
                for (int k = 0; k <= degree; ++k) ASSERT_EQ(bits(values[k]), bits(existing[k])) << "k " << k << " xi " << xi;
            }
            for (int k = 0; k <= degree; ++k) {
                SCOPED_TRACE("k " + std::to_string(k) + " m " + std::to_string(m) + " xi " + std::to_string(xi));
                if (m > k) {
                    EXPECT_EQ(values[k], 0.0);
                } else if (std::abs(xi) == 1.0) {
                    EXPECT_EQ(values[k], ((k - m) % 2 && xi < 0 ? -1.0 : 1.0) * end_value(k, m));
                } else {
                    const double error = static_cast<double>(std::abs(values[k] - reference_derivative(k, m, xi)) / end_value(k, m));
                    worst = std::max(worst, error);
                    EXPECT_LE(error, 8 * kEps * (k + 1));
                }
            }
        }
    }
    RecordProperty("worst_error_in_eps", std::to_string(worst / kEps));
}

INSTANTIATE_TEST_SUITE_P(Degrees, ReferenceDerivatives, ::testing::Values(0, 1, 2, 5, 12));

// ---- many functions at many times -------------------------------------------------

class EvaluateDerivatives : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EvaluateDerivatives, MatchTheReferenceAndTheExistingKernelOnThePool) {
    const std::size_t order = GetParam();
    const LegendreBasis basis(5, 7, 3.5);
    const std::size_t functions = 3;
    const std::vector<double> dofs = random_values(functions * basis.n_dofs(), 11, -2.0, 2.0);
    std::vector<double> times = random_values(1000, 12, 0.0, 3.5);  // 3000 evaluations: the pool
    for (std::size_t e = 0; e <= 7; ++e) times.push_back(0.5 * static_cast<double>(e));
    times.push_back(kNaN);
    const std::size_t n = times.size();
    std::vector<double> out(functions * n);
    evaluate_derivatives(basis, order, Extrapolation::clamp, dofs, functions, times, out);
    if (order <= 1) {
        std::vector<double> existing(out.size());
        basis.evaluate_functions(order == 1, dofs, functions, times, existing);
        for (std::size_t x = 0; x < out.size(); ++x) ASSERT_EQ(bits(out[x]), bits(existing[x])) << x;
    }
    for (std::size_t f = 0; f < functions; ++f) {
        const Function function{basis, dofs.data() + f * basis.n_dofs()};
        const Real tolerance = 64 * kEps * function.scale(static_cast<int>(order));
        for (std::size_t i = 0; i < n; ++i) {
            // One time alone, on the calling thread: the same bits.
            double single = 0.0;
            evaluate_derivatives(basis, order, Extrapolation::clamp,
                                 {dofs.data() + f * basis.n_dofs(), basis.n_dofs()}, 1, {&times[i], 1}, {&single, 1});
            ASSERT_EQ(bits(single), bits(out[f * n + i])) << "f " << f << " t " << times[i];
            // (A NaN time: element 0 at xi = NaN, NaN unless the derivative is constant.)
            const ElementPosition position = basis.locate(times[i]);
            const Real expected = function.at(position.element, position.xi, static_cast<int>(order));
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(out[f * n + i]));
            } else {
                EXPECT_LE(std::abs(out[f * n + i] - expected), tolerance) << "f " << f << " t " << times[i];
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, EvaluateDerivatives, ::testing::Values(0, 1, 2, 3, 5, 6));

// The vector kernel against the documented sum formed one time at a time with
// legendre_derivatives: every order up to degree + 1 and every rule, with times
// inside, at the element ends, just and far outside, at +-inf and NaN, on the pool
// with ranges that split a time's functions.
class DerivativeKernel : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DerivativeKernel, IsTheDocumentedSumAtEveryOrderAndRule) {
    const std::size_t degree = GetParam();
    const std::size_t n_t = 6, functions = 3, columns = degree + 1;
    const double T = 3.3, w = T / static_cast<double>(n_t);
    const LegendreBasis basis(degree, n_t, T);
    const std::vector<double> dofs = random_values(functions * basis.n_dofs(), 41, -2.0, 2.0);
    std::vector<double> times = random_values(997, 42, -0.5, T + 0.5);
    for (std::size_t e = 0; e <= n_t; ++e) times.push_back(w * static_cast<double>(e));
    for (const double t : {-0x1p-1074, std::nextafter(T, kInf), -kInf, kInf, kNaN, -40.0, 50.0}) times.push_back(t);
    const std::size_t n = times.size();
    std::vector<double> out(functions * n), row(columns);
    for (const Extrapolation rule : {Extrapolation::clamp, Extrapolation::extend, Extrapolation::nan}) {
        for (std::size_t order = 0; order <= degree + 1; ++order) {
            SCOPED_TRACE("rule " + std::to_string(static_cast<int>(rule)) + " order " + std::to_string(order));
            evaluate_derivatives(basis, order, rule, dofs, functions, times, out);
            for (std::size_t i = 0; i < n; ++i) {
                const double t = times[i];
                const bool outside = t < 0.0 || t > T;
                if (outside && (rule == Extrapolation::nan || (rule == Extrapolation::clamp && order > 0))) {
                    for (std::size_t f = 0; f < functions; ++f) {
                        EXPECT_EQ(bits(out[f * n + i]), bits(rule == Extrapolation::nan ? kNaN : 0.0)) << t;
                    }
                    continue;
                }
                if (outside && std::isinf(t)) continue;  // the limits: Extrapolate checks them
                ElementPosition position = basis.locate(t);
                if (outside && rule == Extrapolation::extend) {  // the coordinate not clamped
                    const double left = w * static_cast<double>(position.element), right = w + left;
                    position.xi = (2.0 * (t + (left + right) * -0.5)) / (right - left);
                }
                legendre_derivatives(position.xi, degree, order, row);
                for (std::size_t f = 0; f < functions; ++f) {
                    const double* const d = dofs.data() + f * basis.n_dofs() + position.element;
                    double sum = -0.0;
                    for (std::size_t k = 0; k < columns; ++k) sum = sum + row[k] * d[k * n_t];
                    for (std::size_t j = 0; order <= degree && j < order; ++j) sum = (sum + sum) * (1.0 / w);
                    ASSERT_EQ(bits(out[f * n + i]), bits(sum)) << "f " << f << " t " << t;
                }
            }
        }
    }
}

// Unrolled small degrees, the looped kernel, and a degree beyond the stack rows.
INSTANTIATE_TEST_SUITE_P(Degrees, DerivativeKernel, ::testing::Values(0, 2, 3, 4, 5, 7, 33));

// A lone time outside [0, T] among times inside gets its rule's value wherever it lies:
// first or last of a block of the scan for outside times, past the last whole vector
// of a short batch or block, anywhere in a range of the pool (two functions split the
// times' ranges unevenly), and the times inside keep the kernel's values.
using Place = std::pair<std::size_t, std::size_t>;  // the batch's size and the outside time's position
class LoneOutsideTime : public ::testing::TestWithParam<std::tuple<Place, double>> {};

TEST_P(LoneOutsideTime, GetsItsRuleValue) {
    const auto [place, t] = GetParam();
    const auto [n, position] = place;
    const std::size_t degree = 3, n_t = 10, functions = 2;
    const double T = 3.3;
    const LegendreBasis basis(degree, n_t, T);
    const std::vector<double> dofs = random_values(functions * basis.n_dofs(), 43, -2.0, 2.0);
    std::vector<double> times = random_values(n, 44, 0.0, T);
    std::vector<double> inside(functions * n), out(functions * n);
    evaluate_derivatives(basis, 1, Extrapolation::nan, dofs, functions, times, inside);
    times[position] = t;
    for (const Extrapolation rule : {Extrapolation::clamp, Extrapolation::nan}) {
        evaluate_derivatives(basis, 1, rule, dofs, functions, times, out);
        for (std::size_t f = 0; f < functions; ++f) {
            for (std::size_t i = 0; i < n; ++i) {
                const double expected = i != position ? inside[f * n + i] : rule == Extrapolation::nan ? kNaN : 0.0;
                ASSERT_EQ(bits(out[f * n + i]), bits(expected)) << "rule " << static_cast<int>(rule) << " f " << f
                                                                << " i " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Positions, LoneOutsideTime,
    ::testing::Combine(::testing::Values(Place{5003, 0}, Place{5003, 63}, Place{5003, 64}, Place{5003, 2501},
                                         Place{5003, 5002}, Place{7, 6}, Place{69, 68}),
                       ::testing::Values(-0x1p-1074, std::nextafter(3.3, kInf), -kInf, 50.0)));

// ---- outside [0, T] -----------------------------------------------------------------

using RuleOrder = std::tuple<Extrapolation, std::size_t>;
class Extrapolate : public ::testing::TestWithParam<RuleOrder> {};

TEST_P(Extrapolate, EveryRuleAtInfinityJustOutsideAndAtTheEnds) {
    const auto [rule, order] = GetParam();
    // Degree 3 on [0, 4], w = 2: function 0 has leading coefficient +2 on both end
    // elements; function 1 has c_3 = 0 and c_2 = -1 there.
    const LegendreBasis basis(3, 2, 4.0);
    std::vector<double> dofs = {0.5, -1.0, 0.25, 0.75, -0.5, 1.5, 2.0, 2.0,
                                1.0, 0.5, -2.0, 0.25, -1.0, -1.0, 0.0, 0.0};
    const double T = 4.0;
    const std::vector<double> times = {-kInf, -3.0, -0x1p-1074, 0.0, 1.0, T, std::nextafter(T, kInf), 5.5, kInf, kNaN};
    const std::size_t n = times.size();
    std::vector<double> out(2 * n);
    std::vector<double> held(2 * n);
    evaluate_derivatives(basis, order, Extrapolation::clamp, dofs, 2, times, held);
    if (rule == Extrapolation::raise) {
        EXPECT_EQ(stop_message([&] { evaluate_derivatives(basis, order, rule, dofs, 2, times, out); }),
                  "time -inf lies outside [0, 4]");
        const std::vector<double> inside = {0.0, 1.0, T, kNaN};
        std::vector<double> values(2 * inside.size());
        evaluate_derivatives(basis, order, rule, dofs, 2, inside, values);
        EXPECT_EQ(bits(values[1 * 4 + 2]), bits(held[1 * n + 5]));  // function 1 at T
        return;
    }
    evaluate_derivatives(basis, order, rule, dofs, 2, times, out);
    const int m = static_cast<int>(order);
    // The limits at -inf and +inf of (d/dt)^m of the end elements' polynomials.
    // (2 / w)^m = 1; P_3''' = 15 and P_2'' = 3.
    const double limits[2][4][2] = {{{-kInf, kInf}, {kInf, kInf}, {-kInf, kInf}, {30.0, 30.0}},
                                    {{-kInf, -kInf}, {kInf, -kInf}, {-3.0, -3.0}, {0.0, 0.0}}};
    for (std::size_t f = 0; f < 2; ++f) {
        const Function function{basis, dofs.data() + f * basis.n_dofs()};
        for (std::size_t i = 0; i < n; ++i) {
            const double t = times[i];
            const double got = out[f * n + i];
            SCOPED_TRACE("f " + std::to_string(f) + " t " + std::to_string(t));
            if (std::isnan(t) || (t >= 0.0 && t <= T)) {
                EXPECT_EQ(bits(got), bits(held[f * n + i]));  // no rule applies
            } else if (rule == Extrapolation::nan) {
                EXPECT_TRUE(std::isnan(got));
            } else if (rule == Extrapolation::clamp) {
                // The value of zorv's evaluate, bit for bit; its derivatives are zero.
                DofMatrix matrix = Eigen::Map<const DofMatrix>(dofs.data() + f * basis.n_dofs(), 2, 4);
                EXPECT_EQ(bits(got), bits(m == 0 ? basis.evaluate(t, matrix) : 0.0));
            } else if (std::isinf(t)) {
                EXPECT_EQ(got, limits[f][m][t > 0]);
            } else {
                const std::size_t e = t < 0 ? 0 : 1;
                const Real xi = (t - (2.0 * e + 1.0)) / 1.0;  // w = 2: xi = t - middle
                const Real expected = function.at(e, xi, m);
                EXPECT_NEAR(got, static_cast<double>(expected), 1e-13 * std::max<Real>(1, std::abs(expected)));
            }
        }
    }
    // The design matrix of the same rule and order applies the same rule to a row.
    std::vector<double> finite;
    for (const double t : times) {
        if (std::isfinite(t)) finite.push_back(t);
    }
    std::vector<std::int64_t> columns(finite.size() * 4);
    std::vector<double> values(finite.size() * 4);
    derivative_matrix_entries<std::int64_t>(basis, order, rule, finite, columns, values);
    std::vector<double> direct(finite.size());
    evaluate_derivatives(basis, order, rule, {dofs.data(), 8}, 1, finite, direct);
    for (std::size_t i = 0; i < finite.size(); ++i) {
        double sum = -0.0;
        for (std::size_t k = 0; k < 4; ++k) sum = sum + values[i * 4 + k] * dofs[columns[i * 4 + k]];
        EXPECT_EQ(bits(sum), bits(direct[i])) << finite[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Extrapolate,
    ::testing::Combine(::testing::Values(Extrapolation::clamp, Extrapolation::extend, Extrapolation::nan,
                                         Extrapolation::raise),
                       ::testing::Values(0, 1, 2, 3)));

// ---- antiderivative, integrals, inner products ---------------------------------------

class Antiderivative : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Antiderivative, IsContinuousZeroAtZeroAndTheIntegralEverywhere) {
    const std::size_t degree = GetParam();
    const LegendreBasis basis(degree, 5, 2.5);
    const LegendreBasis higher(degree + 1, 5, 2.5);
    const std::size_t functions = 2;
    const std::vector<double> dofs = random_values(functions * basis.n_dofs(), 21, -3.0, 3.0);
    std::vector<double> out(functions * higher.n_dofs());
    antiderivative(basis, dofs, functions, out);
    std::vector<double> times = random_values(50, 22, 0.0, 2.5);
    for (int e = 0; e <= 5; ++e) times.push_back(0.5 * e);
    std::vector<double> values(functions * times.size());
    evaluate_derivatives(higher, 0, Extrapolation::clamp, out, functions, times, values);
    std::vector<double> row(degree + 2);
    for (std::size_t f = 0; f < functions; ++f) {
        const Function function{basis, dofs.data() + f * basis.n_dofs()};
        const double tolerance = 16 * kEps * static_cast<double>(function.scale(0));
        for (std::size_t i = 0; i < times.size(); ++i) {
            EXPECT_NEAR(values[f * times.size() + i], static_cast<double>(function.integral(times[i])), tolerance)
                << "f " << f << " t " << times[i];
        }
        const double* const b = out.data() + f * higher.n_dofs();
        double start = 0.0;
        for (std::size_t j = 0; j <= degree + 1; ++j) start += (j % 2 ? -1.0 : 1.0) * b[5 * j];
        EXPECT_NEAR(start, 0.0, tolerance);
        for (std::size_t e = 1; e < 5; ++e) {  // the left element at xi = 1, the right one at xi = -1
            double left = 0.0, right = 0.0;
            for (std::size_t j = 0; j <= degree + 1; ++j) {
                left += b[e - 1 + 5 * j];
                right += (j % 2 ? -1.0 : 1.0) * b[e + 5 * j];
            }
            EXPECT_NEAR(left, right, tolerance) << "edge " << e;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, Antiderivative, ::testing::Values(0, 1, 4, 9));

class Integrate : public ::testing::TestWithParam<Extrapolation> {};

TEST_P(Integrate, ExactForTheSpaceAccurateForCloseBoundsAndRuledOutside) {
    const Extrapolation rule = GetParam();
    const LegendreBasis basis(4, 6, 3.3);  // w = 0.55: reference coordinates round
    std::vector<double> dofs = random_values(basis.n_dofs(), 31, -1.0, 1.0);
    dofs[0 + 6 * 4] = 0.75;  // c_4 > 0 on both end elements: +inf integrals at both infinities
    dofs[5 + 6 * 4] = 0.5;
    const Function function{basis, dofs.data()};
    const double T = 3.3;
    const double w = T / 6;
    // Pairs with a reference: exact (long double) antiderivative differences, or a
    // midpoint rule on each element part for close bounds (error ~ length^3).
    std::vector<double> lower = {0.3, 2.9, 0.0, 0.7, 2 * w - 1e-12, 0.1, -1.5, 2.0, -2.0, -0.25};
    std::vector<double> upper = {2.2, 0.4, T, 0.7 + 1e-9, 2 * w + 1e-12, 0.1 + 1e-7, 1.0, 4.5, 5.0, -0.5};
    const std::size_t close_begin = 3, close_end = 6, exact_end = 10;
    for (const auto& [a, b] : std::vector<std::pair<double, double>>{{-kInf, 1.0}, {1.0, kInf}, {-kInf, kInf}, {kNaN, 1.0}}) {
        lower.push_back(a);
        upper.push_back(b);
    }
    const std::size_t n = lower.size();
    std::vector<double> out(n);
    if (rule == Extrapolation::raise) {
        EXPECT_EQ(stop_message([&] { integrate(basis, rule, dofs, 1, lower, upper, out); }), "time -1.5 lies outside [0, 3.3]");
        return;
    }
    integrate(basis, rule, dofs, 1, lower, upper, out);
    std::vector<double> held(2);
    const std::vector<double> ends = {0.0, T};
    evaluate_derivatives(basis, 0, Extrapolation::clamp, dofs, 1, ends, held);
    const auto clamped_integral = [&](Real t) {
        if (t < 0) return held[0] * t;
        if (t > T) return function.integral(T) + held[1] * (t - T);
        return function.integral(t);
    };
    for (std::size_t i = 0; i < n; ++i) {
        const double a = lower[i], b = upper[i];
        SCOPED_TRACE("bounds " + std::to_string(a) + " " + std::to_string(b));
        const bool outside = a < 0 || a > T || b < 0 || b > T;
        if (std::isnan(a) || (rule == Extrapolation::nan && outside)) {
            EXPECT_TRUE(std::isnan(out[i]));
        } else if (i >= exact_end) {
            const double limit_left = rule == Extrapolation::clamp ? std::copysign(kInf, held[0]) : kInf;
            const double limit_right = rule == Extrapolation::clamp ? std::copysign(kInf, held[1]) : kInf;
            EXPECT_EQ(out[i], i == exact_end ? limit_left : i == exact_end + 1 ? limit_right : limit_left + limit_right);
        } else if (i >= close_begin && i < close_end) {
            // The element edges as the basis forms them: left = w e, right = w + left.
            Real expected = 0;
            for (std::size_t e = 0; e < 6; ++e) {
                const double left = w * static_cast<double>(e), right = w + left;
                const Real from = std::max<Real>(a, left), to = std::min<Real>(b, right);
                if (to <= from) continue;
                expected += function.at(e, 2 * ((from + to) / 2 - left) / (Real(right) - left) - 1, 0) * (to - from);
            }
            EXPECT_LE(std::abs(out[i] - expected), 1e-12 * std::abs(expected)) << out[i] << " vs " << static_cast<double>(expected);
        } else {
            const Real expected = rule == Extrapolation::extend ? function.integral(b) - function.integral(a)
                                                                : clamped_integral(b) - clamped_integral(a);
            const Real size = std::max<Real>(function.scale(0), std::abs(expected));
            EXPECT_NEAR(out[i], static_cast<double>(expected), static_cast<double>(64 * kEps * size));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, Integrate,
                         ::testing::Values(Extrapolation::clamp, Extrapolation::extend, Extrapolation::nan,
                                           Extrapolation::raise));

// Many pairs on the pool, in both directions and split between ranges mid-function:
// across elements (the vector path), within one, at the element ends, and straddling
// an end by a tiny margin, where each part must be accurate relative to its size.
class IntegratePairs : public ::testing::TestWithParam<std::size_t> {};

TEST_P(IntegratePairs, ExactAcrossElementsAndAccurateAtTheEnds) {
    const std::size_t degree = GetParam();
    const std::size_t n_t = 7, functions = 2;
    const double T = 3.85, w = T / static_cast<double>(n_t);
    const LegendreBasis basis(degree, n_t, T);
    const std::vector<double> dofs = random_values(functions * basis.n_dofs(), 51, -1.0, 1.0);
    std::vector<double> lower = random_values(1500, 52, 0.0, T), upper = random_values(1500, 53, 0.0, T);
    const std::size_t random_end = lower.size();
    for (std::size_t e = 0; e <= n_t; ++e) {
        for (std::size_t j = 0; j <= n_t; ++j) {
            lower.push_back(w * static_cast<double>(e));
            upper.push_back(w * static_cast<double>(j));
        }
    }
    const std::size_t ends_end = lower.size();
    for (std::size_t e = 1; e < n_t; ++e) {
        const double edge = w * static_cast<double>(e), margin = 1e-9 * w;
        lower.push_back(edge - margin);
        upper.push_back(edge + 3 * margin);
        lower.push_back(edge + margin);
        upper.push_back(edge - 2 * margin);
    }
    const std::size_t n = lower.size();
    std::vector<double> out(functions * n);
    integrate(basis, Extrapolation::clamp, dofs, functions, lower, upper, out);
    for (std::size_t f = 0; f < functions; ++f) {
        const Function function{basis, dofs.data() + f * basis.n_dofs()};
        const Real size = function.scale(0) * T;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = lower[i], b = upper[i], got = out[f * n + i];
            SCOPED_TRACE("f " + std::to_string(f) + " bounds " + std::to_string(a) + " " + std::to_string(b));
            if (i < ends_end) {
                const Real expected = function.integral(b) - function.integral(a);
                ASSERT_NEAR(got, static_cast<double>(expected), static_cast<double>(8 * kEps * size));
                if (i >= random_end && a == b) {
                    EXPECT_EQ(got, 0.0);
                }
            } else {  // the midpoint rule on each element part (error ~ length^3)
                Real expected = 0;
                for (std::size_t e = 0; e < n_t; ++e) {
                    const double left = w * static_cast<double>(e), right = w + left;
                    const Real from = std::max<Real>(std::min(a, b), left), to = std::min<Real>(std::max(a, b), right);
                    if (to <= from) continue;
                    expected += function.at(e, 2 * ((from + to) / 2 - left) / (Real(right) - left) - 1, 0) * (to - from);
                }
                if (b < a) expected = -expected;
                EXPECT_LE(std::abs(got - expected), 1e-12 * std::abs(expected)) << got << " vs " << static_cast<double>(expected);
            }
        }
    }
}

// Unrolled small degrees and the looped kernel.
INSTANTIATE_TEST_SUITE_P(Degrees, IntegratePairs, ::testing::Values(0, 1, 3, 5, 8));

// A grid whose element width is subnormal, where 2 / w overflows: every pair takes
// the general way, and the integrals stay the space's.
TEST(IntegrateSubnormalWidth, MatchesTheExactIntegrals) {
    const double T = 4e-308;
    const LegendreBasis basis(2, 7, T);
    const std::vector<double> dofs = random_values(basis.n_dofs(), 61, -1.0, 1.0);
    const std::vector<double> lower = random_values(64, 62, 0.0, T), upper = random_values(64, 63, 0.0, T);
    std::vector<double> out(lower.size());
    integrate(basis, Extrapolation::clamp, dofs, 1, lower, upper, out);
    const Function function{basis, dofs.data()};
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const Real expected = function.integral(upper[i]) - function.integral(lower[i]);
        EXPECT_NEAR(out[i] / T, static_cast<double>(expected / T), 1e-12) << lower[i] << " " << upper[i];
    }
}

TEST(InnerProducts, AgreeWithGaussQuadratureOfTheProducts) {
    const LegendreBasis basis(6, 4, 1.7);
    const std::size_t functions = 3;
    const std::vector<double> a = random_values(functions * basis.n_dofs(), 41);
    const std::vector<double> b = random_values(functions * basis.n_dofs(), 42);
    std::vector<double> inner(functions), norm(functions);
    inner_products(basis, a, b, functions, inner);
    norms(basis, a, functions, norm);
    const QuadratureRule rule = gauss_legendre(7);
    for (std::size_t f = 0; f < functions; ++f) {
        const Function fa{basis, a.data() + f * basis.n_dofs()}, fb{basis, b.data() + f * basis.n_dofs()};
        Real product = 0, square = 0;
        for (std::size_t e = 0; e < 4; ++e) {
            for (std::size_t j = 0; j < rule.nodes.size(); ++j) {
                const Real x = fa.at(e, rule.nodes[j], 0), y = fb.at(e, rule.nodes[j], 0);
                product += fa.w() / 2 * rule.weights[j] * x * y;
                square += fa.w() / 2 * rule.weights[j] * x * x;
            }
        }
        EXPECT_NEAR(inner[f], static_cast<double>(product), 1e-14);
        EXPECT_NEAR(norm[f], static_cast<double>(std::sqrt(square)), 1e-14);
    }
}

// ---- the least-squares fit ------------------------------------------------------------

struct FitCase {
    const char* name;
    bool weighted;
    bool clustered;  ///< element 2 gets exactly 4 samples 1e-3 w apart: solved by QR
};

class Fit : public ::testing::TestWithParam<FitCase> {};

TEST_P(Fit, EqualsTheDenseWeightedLeastSquaresSolution) {
    const FitCase c = GetParam();
    const LegendreBasis basis(3, 4, 2.0);  // w = 0.5
    const std::size_t functions = 2;
    std::vector<double> t = random_values(120, 51, 0.0, 2.0);
    if (c.clustered) {
        std::erase_if(t, [](double time) { return time >= 1.0 && time < 1.5; });
        for (int j = 0; j < 4; ++j) t.push_back(1.2 + 0.5e-3 * j);
    }
    const std::size_t n = t.size();
    std::vector<double> weights;
    if (c.weighted) {
        weights = random_values(n, 52, 0.0, 3.0);
        for (std::size_t i = 0; i < n; i += 7) weights[i] = 0.0;
    }
    const std::vector<double> y = random_values(functions * n, 53, -5.0, 5.0);
    std::vector<double> dofs(functions * basis.n_dofs());
    fit(basis, t, y, functions, weights, dofs);

    Eigen::MatrixXd design = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(basis.n_dofs()));
    Eigen::MatrixXd right(static_cast<Eigen::Index>(n), static_cast<Eigen::Index>(functions));
    for (std::size_t i = 0; i < n; ++i) {
        const double root = std::sqrt(weights.empty() ? 1.0 : weights[i]);
        const ElementPosition position = basis.locate(t[i]);
        for (std::size_t k = 0; k < 4; ++k) {
            design(i, position.element + 4 * k) = root * static_cast<double>(reference_derivative(k, 0, position.xi));
        }
        for (std::size_t f = 0; f < functions; ++f) right(i, f) = root * y[f * n + i];
    }
    const Eigen::MatrixXd solution = design.colPivHouseholderQr().solve(right);
    for (std::size_t f = 0; f < functions; ++f) {
        for (std::size_t j = 0; j < basis.n_dofs(); ++j) {
            const bool ill_conditioned = c.clustered && j % 4 == 2;
            if (!ill_conditioned) {
                EXPECT_NEAR(dofs[f * basis.n_dofs() + j], solution(j, f), 1e-12) << "f " << f << " dof " << j;
            }
        }
    }
    if (c.clustered) {
        // Four samples, four unknowns: the fit interpolates them despite a condition
        // number near 1e9 (the normal equations would square it).
        std::vector<double> values(functions * n);
        evaluate_derivatives(basis, 0, Extrapolation::clamp, dofs, functions, t, values);
        for (std::size_t f = 0; f < functions; ++f) {
            for (std::size_t i = n - 4; i < n; ++i) EXPECT_NEAR(values[f * n + i], y[f * n + i], 1e-6) << "f " << f;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Fit,
                         ::testing::Values(FitCase{"plain", false, false}, FitCase{"weighted", true, false},
                                           FitCase{"clustered", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FitRefusal, NamesTheFirstProblem) {
    const LegendreBasis basis(3, 8, 2.0);  // w = 0.25
    // Five samples in every element, at distinct times.
    std::vector<double> base;
    for (int e = 0; e < 8; ++e) {
        for (int j = 0; j < 5; ++j) base.push_back(0.25 * e + 0.04 * (j + 1));
    }
    const std::vector<double> y(2 * base.size(), 1.0);
    const std::vector<double> ones(base.size(), 1.0);
    std::vector<double> out(2 * basis.n_dofs());
    const auto message = [&](std::vector<double> t, std::vector<double> yy, std::vector<double> w) {
        return stop_message([&] { fit(basis, t, yy, 2, w, out); });
    };
    std::vector<double> t = base;
    EXPECT_NO_THROW(fit(basis, t, y, 2, {}, out));
    t[6] = t[5];  // element 1: 4 distinct times of 5 samples, still enough
    EXPECT_NO_THROW(fit(basis, t, y, 2, {}, out));
    t[7] = t[5];  // now 3 distinct times: found by the QR of element 1
    EXPECT_EQ(message(t, y, {}), "fit: element 1 has fewer than 4 distinct sample times of positive weight");
    std::vector<double> w = ones;
    w[10] = w[11] = 0.0;  // element 2 keeps 3 samples of positive weight
    EXPECT_EQ(message(base, y, w), "fit: element 2 has fewer than 4 distinct sample times of positive weight");
    EXPECT_EQ(message({base.begin(), base.begin() + 6}, {y.begin(), y.begin() + 12}, {}),
              "fit: elements 1, 2, 3, 4, 5 and 2 more have fewer than 4 distinct sample times of positive weight");
    t = base;
    t[2] = kNaN;
    EXPECT_EQ(message(t, y, {}), "fit: time nan at position 2 is not finite");
    t[2] = 2.5;
    EXPECT_EQ(message(t, y, {}), "fit: time 2.5 lies outside [0, 2]");
    w = ones;
    w[3] = -1.0;
    EXPECT_EQ(message(base, y, w), "fit: weight -1 at position 3 is not a finite non-negative number");
    std::vector<double> yy = y;
    yy[base.size() + 3] = kInf;
    EXPECT_EQ(message(base, yy, {}), "fit: sample inf of function 1 at position 3 is not finite");
}

}  // namespace
}  // namespace zorv
