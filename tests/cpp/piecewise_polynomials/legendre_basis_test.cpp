#include "piecewise_polynomials/legendre_basis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <random>
#include <string>
#include <vector>

#include "piecewise_polynomials/quadrature.hpp"
#include "support/stop.hpp"

namespace zorv {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kMaxIndex = std::numeric_limits<std::size_t>::max();

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

/// A rows x cols dof matrix holding 1, 2, 3, ... in column-major order.
DofMatrix counting_dofs(Eigen::Index rows, Eigen::Index cols) {
    DofMatrix dofs(rows, cols);
    std::iota(dofs.data(), dofs.data() + dofs.size(), 1.0);
    return dofs;
}

template <class Call>
std::string stop_message(Call call) {
    try {
        call();
    } catch (const Stop& stop) {
        return stop.message();
    }
    return "<no stop>";
}

/// Expects `values` to be zero except at the given (position, value) pairs.
void expect_sparse(const std::vector<double>& values, std::size_t size,
                   const std::vector<std::pair<std::size_t, double>>& nonzero) {
    ASSERT_EQ(values.size(), size);
    std::vector<double> expected(size, 0.0);
    for (const auto& [position, value] : nonzero) expected[position] = value;
    for (std::size_t i = 0; i < size; ++i) {
        EXPECT_EQ(bits(values[i]), bits(expected[i])) << "position " << i << ": " << values[i];
    }
}

// degree 2, n_t 3, T 3, t 1.25: element 1, xi -0.5; dofs 1..9 in the dof layout.
TEST(LegendreBasisExample, LocatesAndEvaluatesBitForBit) {
    const LegendreBasis basis(2, 3, 3.0);
    const DofMatrix dofs = counting_dofs(3, 3);

    const ElementPosition position = basis.locate(1.25);
    EXPECT_EQ(position.element, 1u);
    EXPECT_EQ(position.xi, -0.5);

    expect_sparse(basis.evaluate_all_basis_functions(1.25), 9, {{1, 1.0}, {4, -0.5}, {7, -0.125}});
    expect_sparse(basis.evaluate_all_basis_function_derivatives(1.25), 9,
                  {{4, 2.0}, {7, -3.000000000000004}});
    EXPECT_EQ(basis.evaluate(1.25, dofs), -1.5);
    EXPECT_EQ(basis.evaluate_derivative(1.25, dofs), -14.000000000000032);
}

TEST(LegendreBasisExample, BatchesGiveTheDocumentedValues) {
    const LegendreBasis basis(2, 3, 3.0);
    const DofMatrix dofs = counting_dofs(3, 3);
    const std::vector<double> times{1.25, 0.0, 3.0, -1.0, 7.5};
    EXPECT_EQ(basis.evaluate_many(dofs, times), (std::vector<double>{-1.5, 4.0, 18.0, 4.0, 18.0}));
    const std::vector<double> derivative_times{1.25, 0.0, 3.0};
    // At xi = +-1 only the P_1 term survives: (D(c,1) + D(c,1)) / w.
    EXPECT_EQ(basis.evaluate_derivative_many(dofs, derivative_times),
              (std::vector<double>{-14.000000000000032, 8.0, 12.0}));
    EXPECT_TRUE(basis.evaluate_many(dofs, {}).empty());
}

struct LocateCase {
    const char* name;
    double T;
    std::size_t n_t;
    double t;
    std::size_t element;
    double xi;
};

class LegendreBasisLocate : public ::testing::TestWithParam<LocateCase> {};

TEST_P(LegendreBasisLocate, FindsElementAndReferenceCoordinate) {
    const LocateCase& c = GetParam();
    const ElementPosition position = LegendreBasis(1, c.n_t, c.T).locate(c.t);
    EXPECT_EQ(position.element, c.element);
    if (std::isnan(c.xi)) {
        EXPECT_TRUE(std::isnan(position.xi)) << position.xi;
    } else {
        EXPECT_EQ(bits(position.xi), bits(c.xi)) << position.xi;
    }
}

// 2^64 as a double: n_t = SIZE_MAX converts to it, so the element width is 1.
constexpr double kTwoTo64 = 18446744073709551616.0;

INSTANTIATE_TEST_SUITE_P(
    Cases, LegendreBasisLocate,
    ::testing::Values(
        LocateCase{"start", 3.0, 3, 0.0, 0, -1.0},
        LocateCase{"end_not_clamped", 1.0, 7, 1.0, 6, 0.9999999999999992},
        LocateCase{"integer_quotient", 3.0, 3, 2.0, 2, -1.0},
        LocateCase{"integer_quotient_wide", 8.0, 4, 6.0, 3, -1.0},
        // t / w is exactly 3 and 1, and xi rounds to just below -1 before the clamp.
        LocateCase{"clamp_low_sevenths", 1.0, 7, 3.0 / 7.0, 3, -1.0},
        LocateCase{"clamp_low_thirds", 1.0, 3, 1.0 / 3.0, 1, -1.0},
        // Just below T, xi rounds to 1.0000000000000027 before the clamp.
        LocateCase{"clamp_high", 1.1, 13, 1.0999999999999999, 12, 1.0},
        LocateCase{"negative", 3.0, 3, -0.5, 0, -1.0},
        LocateCase{"far_negative", 3.0, 3, -1e300, 0, -1.0},
        LocateCase{"minus_infinity", 3.0, 3, -kInf, 0, -1.0},
        LocateCase{"beyond_end", 3.0, 3, 7.5, 2, 1.0},
        LocateCase{"huge", 3.0, 3, 1e300, 2, 1.0},
        LocateCase{"plus_infinity", 3.0, 3, kInf, 2, 1.0},
        LocateCase{"nan", 3.0, 3, kNaN, 0, kNaN},
        // left + right = 2.25e308 overflows: the midpoint comes from the halves.
        LocateCase{"huge_T", 1.5e308, 2, 1.2e308, 1, 0.1999999999999998},
        LocateCase{"saturated_index_clamped", kTwoTo64, kMaxIndex, 1e30, kMaxIndex - 1, 1.0},
        LocateCase{"large_index", kTwoTo64, kMaxIndex, 4096.5, 4096, 0.0}),
    [](const ::testing::TestParamInfo<LocateCase>& info) { return info.param.name; });

TEST(SaturatingFloorIndex, SaturatesInsteadOfOverflowing) {
    const double largest_below_limit = std::nextafter(kTwoTo64, 0.0);
    const struct {
        double value;
        std::size_t expected;
    } cases[] = {
        {-1.5, 0},
        {-0.0, 0},
        {-kInf, 0},
        {kNaN, 0},
        {0.999, 0},
        {3.7, 3},
        {9007199254740992.0, 9007199254740992u},
        {largest_below_limit, 18446744073709549568u},
        {kTwoTo64, kMaxIndex},
        {1e300, kMaxIndex},
        {kInf, kMaxIndex},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(saturating_floor_index(c.value), c.expected) << c.value;
    }
}

TEST(LegendreBasisDegreeZero, IsPiecewiseConstant) {
    const LegendreBasis basis(0, 4, 2.0);
    const DofMatrix dofs = counting_dofs(4, 1);
    EXPECT_EQ(basis.evaluate(1.2, dofs), 3.0);
    EXPECT_EQ(basis.evaluate(kNaN, dofs), 1.0);
    EXPECT_EQ(bits(basis.evaluate_derivative(1.2, dofs)), bits(0.0));
    // The batch kernels locate four times at once: a NaN, a time beyond T, -0.0 and a
    // negative time in every lane position and in a short last group, each on its element.
    const std::vector<double> times = {kNaN, 7.0, -0.0, -1.0, 1.2, kNaN, kNaN, 7.0, -1.0, kNaN};
    const std::vector<double> expected = {1.0, 4.0, 1.0, 1.0, 3.0, 1.0, 1.0, 4.0, 1.0, 1.0};
    std::vector<double> many(times.size());
    basis.evaluate_functions(false, std::span<const double>(dofs.data(), 4), 1, times, many);
    EXPECT_EQ(basis.evaluate_many(dofs, times), expected);
    EXPECT_EQ(many, expected);
    expect_sparse(basis.evaluate_all_basis_functions(1.2), 4, {{2, 1.0}});
    expect_sparse(basis.evaluate_all_basis_function_derivatives(1.2), 4, {});
}

TEST(LegendreBasisNaNTime, KeepsTheTermsThatDoNotDependOnXi) {
    const LegendreBasis basis(2, 3, 3.0);
    EXPECT_TRUE(std::isnan(basis.evaluate(kNaN, counting_dofs(3, 3))));
    EXPECT_TRUE(std::isnan(basis.evaluate_derivative(kNaN, counting_dofs(3, 3))));

    const std::vector<double> values = basis.evaluate_all_basis_functions(kNaN);
    EXPECT_EQ(values[0], 1.0);
    EXPECT_TRUE(std::isnan(values[3]));
    EXPECT_TRUE(std::isnan(values[6]));

    // P_0' = 0 and P_1' = 1 keep their values: 0 / w and 2 / w.
    const std::vector<double> derivatives = basis.evaluate_all_basis_function_derivatives(kNaN);
    EXPECT_EQ(bits(derivatives[0]), bits(0.0));
    EXPECT_EQ(derivatives[3], 2.0);
    EXPECT_TRUE(std::isnan(derivatives[6]));
    for (const std::size_t other : {1u, 2u, 4u, 5u, 7u, 8u}) EXPECT_EQ(derivatives[other], 0.0);
}

TEST(LegendreBasisNoElement, StopsInsteadOfReadingOutOfBounds) {
    const LegendreBasis basis(2, 0, 3.0);
    const DofMatrix dofs = counting_dofs(3, 3);
    const std::vector<double> one_time{1.0};
    const std::string slicing = "Matrix slicing out of bounds.";
    EXPECT_EQ(stop_message([&] { basis.locate(1.0); }), slicing);
    EXPECT_EQ(stop_message([&] { basis.evaluate(1.0, dofs); }), slicing);
    EXPECT_EQ(stop_message([&] { basis.evaluate_derivative(1.0, dofs); }), slicing);
    EXPECT_EQ(stop_message([&] { basis.evaluate_all_basis_functions(1.0); }), slicing);
    EXPECT_EQ(stop_message([&] { basis.evaluate_all_basis_function_derivatives(1.0); }), slicing);
    EXPECT_EQ(stop_message([&] { basis.evaluate_many(dofs, one_time); }), slicing);
    EXPECT_EQ(stop_message([&] { basis.evaluate_derivative_many(dofs, one_time); }), slicing);
    EXPECT_TRUE(basis.evaluate_many(dofs, {}).empty());
}

struct SmallDofsCase {
    Eigen::Index rows;
    Eigen::Index cols;
    double t;
    const char* message;
};

class LegendreBasisSmallDofs : public ::testing::TestWithParam<SmallDofsCase> {};

TEST_P(LegendreBasisSmallDofs, StopsWithRowsCheckedFirst) {
    const SmallDofsCase& c = GetParam();
    const LegendreBasis basis(2, 3, 3.0);
    const DofMatrix dofs = counting_dofs(c.rows, c.cols);
    // A batch stops as the single call of its first failing time would.
    const std::vector<double> times{c.t, 0.5};
    EXPECT_EQ(stop_message([&] { basis.evaluate(c.t, dofs); }), c.message);
    EXPECT_EQ(stop_message([&] { basis.evaluate_derivative(c.t, dofs); }), c.message);
    EXPECT_EQ(stop_message([&] { basis.evaluate_many(dofs, times); }), c.message);
    EXPECT_EQ(stop_message([&] { basis.evaluate_derivative_many(dofs, times); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LegendreBasisSmallDofs,
    ::testing::Values(SmallDofsCase{2, 2, 2.5, "Matrix slicing out of bounds."},
                      SmallDofsCase{2, 3, 2.5, "Matrix slicing out of bounds."},
                      SmallDofsCase{0, 3, 0.5, "Matrix slicing out of bounds."},
                      SmallDofsCase{2, 2, 0.5, "Matrix index out of bounds."},
                      SmallDofsCase{3, 2, 2.5, "Matrix index out of bounds."},
                      SmallDofsCase{3, 0, 0.5, "Matrix index out of bounds."}));

TEST(LegendreBasisBatchOutput, StopsBeforeWritingWhenItsLengthDiffersFromTheTimes) {
    const LegendreBasis basis(2, 3, 3.0);
    const DofMatrix dofs = counting_dofs(3, 3);
    // Sizes around the pool threshold: a short output would be written past its end there too.
    for (const std::size_t count : {std::size_t{3}, std::size_t{4096}}) {
        const std::vector<double> times(count, 0.5);
        for (const std::size_t out_size : {count - 1, count + 1}) {
            std::vector<double> out(out_size, -7.0);
            EXPECT_EQ(stop_message([&] { basis.evaluate_batch(LegendreBasis::Quantity::value, dofs, times, out); }),
                      assert_eq_message("evaluate_batch: one value per time", out_size, count));
            EXPECT_EQ(out, std::vector<double>(out_size, -7.0)) << "nothing written before the stop";
        }
    }
}

TEST(LegendreBasisDofs, IgnoresExtraRowsAndColumnsAndUsesOnlyReachedRows) {
    const LegendreBasis basis(2, 3, 3.0);
    const DofMatrix exact = counting_dofs(3, 3);
    DofMatrix larger = DofMatrix::Constant(5, 4, 1e6);
    larger.topLeftCorner(3, 3) = exact;
    for (const double t : {0.25, 1.25, 2.75, 9.0}) {
        EXPECT_EQ(bits(basis.evaluate(t, larger)), bits(basis.evaluate(t, exact)));
        EXPECT_EQ(bits(basis.evaluate_derivative(t, larger)), bits(basis.evaluate_derivative(t, exact)));
    }

    // Two rows suffice for times in the first two elements, also on the pool.
    const DofMatrix two_rows = exact.topRows(2);
    std::vector<double> times(3000);
    for (std::size_t i = 0; i < times.size(); ++i) times[i] = -1.0 + 2.9 * static_cast<double>(i) / 3000.0;
    const std::vector<double> values = basis.evaluate_many(two_rows, times);
    for (std::size_t i = 0; i < times.size(); ++i) {
        ASSERT_EQ(bits(values[i]), bits(basis.evaluate(times[i], exact))) << i;
    }
    times.push_back(2.5);
    EXPECT_EQ(stop_message([&] { basis.evaluate_many(two_rows, times); }),
              "Matrix slicing out of bounds.");
}

TEST(LegendreBasisDofs, ReadsNoRowBeyondTheMatrixForATimeJustBelowItsLastRowsEdge) {
    // 0.8999999999999999 lies in element 8 (t / w rounds below 9), but t (1 / w) rounds
    // to 9: the batch kernels place times by that product first and must not read row 9
    // of a matrix with 9 rows before placing the time again. 32 times take the direct
    // kernel, 96 the element records (at least twice as many times as dofs).
    const LegendreBasis basis(3, 10, 1.0);
    const DofMatrix dofs = counting_dofs(9, 4);
    const double t = 0.8999999999999999;
    ASSERT_EQ(basis.locate(t).element, 8u);
    for (const std::size_t count : {std::size_t{32}, std::size_t{96}}) {
        const std::vector<double> times(count, t);
        const std::vector<double> values = basis.evaluate_many(dofs, times);
        const std::vector<double> derivatives = basis.evaluate_derivative_many(dofs, times);
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(bits(values[i]), bits(basis.evaluate(t, dofs))) << count << " times, " << i;
            ASSERT_EQ(bits(derivatives[i]), bits(basis.evaluate_derivative(t, dofs))) << count << " times, " << i;
        }
    }
}

TEST(LegendreBasisCapacity, StopsWhenTheLayoutCannotBeAllocated) {
    const struct {
        std::size_t degree;
        std::size_t n_t;
    } cases[] = {
        {kMaxIndex, 1},                          // degree + 1 wraps
        {std::size_t{1} << 62, 4},               // n_t * (degree + 1) wraps
        {(std::size_t{1} << 61) - 1, 1},         // 2^61 doubles exceed the largest allocation
        {kMaxIndex, 0},
    };
    for (const auto& c : cases) {
        const LegendreBasis basis(c.degree, c.n_t, 1.0);
        EXPECT_EQ(stop_message([&] { basis.evaluate_all_basis_functions(0.5); }), "capacity overflow");
        EXPECT_EQ(stop_message([&] { basis.evaluate_all_basis_function_derivatives(0.5); }),
                  "capacity overflow");
    }
    // The single evaluation allocates nothing; the dof matrix is what is too small.
    EXPECT_EQ(stop_message([&] { LegendreBasis(kMaxIndex, 1, 1.0).evaluate(0.5, counting_dofs(1, 3)); }),
              "Matrix index out of bounds.");
}

/// Times spread over and beyond the first `reached` of n_t elements on [0, T] (beyond T
/// and the special values only where every element is reached), a fifth of them on or
/// next to an element edge k T / n_t, formed as callers form it.
std::vector<double> random_times(std::size_t count, double T, std::size_t n_t, std::size_t reached,
                                 std::uint32_t seed) {
    std::mt19937_64 engine(seed);
    const double span = T / static_cast<double>(n_t) * static_cast<double>(reached);
    const bool all = reached == n_t;
    // scaled after, so that T may be huge
    std::uniform_real_distribution<double> distribution(all ? -0.5 : 0.0, all ? 1.5 : 1.0);
    std::uniform_int_distribution<std::size_t> edge(0, all ? n_t : reached - 1);
    std::vector<double> times(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i % 5 != 1) {
            times[i] = span * distribution(engine);
            continue;
        }
        const auto k = static_cast<double>(edge(engine));
        const double n = static_cast<double>(n_t);
        const double on_edge[] = {T / n * k, T * k / n, k / n * T};
        const double t = on_edge[i / 5 % 3];
        times[i] = i / 15 % 3 == 0 ? t : std::nextafter(t, i / 15 % 3 == 1 ? -kInf : kInf);
    }
    const double specials[] = {0.0, -0.0, T, -kInf, kInf, kNaN, 1e300};
    for (std::size_t i = 0; i < std::size(specials) && i < count && (all || i < 2); ++i) {
        times[(i * 7919) % count] = specials[i];
    }
    return times;
}

/// A batch: its length and its basis.
struct BatchCase {
    std::size_t count;
    std::size_t degree;
    std::size_t n_t;
    double T;
    std::size_t rows = 0;  ///< rows of the dof matrix, where fewer than n_t: times reach only those
};

class LegendreBasisBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(LegendreBasisBatch, EqualsSingleCallsBitForBit) {
    const auto [count, degree, n_t, T, short_rows] = GetParam();
    const std::size_t rows = short_rows != 0 ? short_rows : n_t;
    const std::size_t columns = degree + 1;
    const LegendreBasis basis(degree, n_t, T);
    DofMatrix dofs(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(columns));
    std::mt19937_64 engine(20240607);
    std::uniform_real_distribution<double> distribution(-3.0, 3.0);
    for (Eigen::Index i = 0; i < dofs.size(); ++i) dofs.data()[i] = distribution(engine);
    const std::vector<double> times = random_times(count, basis.T(), n_t, rows, static_cast<std::uint32_t>(count));

    const std::vector<double> values = basis.evaluate_many(dofs, times);
    const std::vector<double> derivatives = basis.evaluate_derivative_many(dofs, times);
    ASSERT_EQ(values.size(), count);
    ASSERT_EQ(derivatives.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(bits(values[i]), bits(basis.evaluate(times[i], dofs))) << "time " << times[i];
        ASSERT_EQ(bits(derivatives[i]), bits(basis.evaluate_derivative(times[i], dofs)))
            << "time " << times[i];
    }
    if (rows < n_t) return;  // the other forms take whole dof vectors

    // Many functions at once: function f has the dofs (f + 1) * dofs, and every value
    // is the single call's; the design matrix rows are the basis vectors' entries.
    constexpr std::size_t functions = 33;  // enough to take the times of a block in element order
    const std::size_t n_dofs = static_cast<std::size_t>(dofs.size());
    std::vector<double> stacked(functions * n_dofs);
    for (std::size_t f = 0; f < functions; ++f) {
        for (std::size_t j = 0; j < n_dofs; ++j) stacked[f * n_dofs + j] = static_cast<double>(f + 1) * dofs.data()[j];
    }
    std::vector<double> many(functions * count);
    basis.evaluate_functions(false, stacked, functions, times, many);
    std::vector<std::int32_t> matrix_columns(count * columns);
    std::vector<double> entries(count * columns);
    basis.basis_matrix_entries<std::int32_t>(false, times, matrix_columns, entries);
    for (std::size_t f = 0; f < functions; ++f) {
        const DofMatrix scaled = static_cast<double>(f + 1) * dofs;
        for (std::size_t i = 0; i < count; ++i) {
            ASSERT_EQ(bits(many[f * count + i]), bits(basis.evaluate(times[i], scaled))) << "function " << f << " time " << times[i];
        }
    }
    for (std::size_t i = 0; i < count; i += 97) {
        const std::vector<double> row = basis.evaluate_all_basis_functions(times[i]);
        const std::size_t element = basis.locate(times[i]).element;
        for (std::size_t k = 0; k < columns; ++k) {
            ASSERT_EQ(matrix_columns[i * columns + k], static_cast<std::int32_t>(element + n_t * k));
            ASSERT_EQ(bits(entries[i * columns + k]), bits(row[element + n_t * k]));
        }
    }
    // One function may be written over its own times.
    std::vector<double> in_place = times;
    basis.evaluate_functions(false, std::span<const double>(stacked).first(n_dofs), 1, in_place, in_place);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(bits(in_place[i]), bits(many[i]));
    // Exact derivatives: one function alone (vector lanes) and among many (a table) agree.
    basis.evaluate_functions(true, stacked, functions, times, many);
    basis.evaluate_functions(true, std::span<const double>(stacked).last(n_dofs), 1, times, in_place);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(bits(in_place[i]), bits(many[(functions - 1) * count + i]));
}

// Around the threshold; then every degree the kernel unrolls and one it does not,
// a T whose last element's ends overflow when added, times that fit one block (one
// table for every range of the pool), and dof matrices with rows for a few of 17, of
// 2^31 - 1 and of 2^31 + 5 elements (the largest grid of 32-bit element indices and a
// larger one).
INSTANTIATE_TEST_SUITE_P(AroundTheThreshold, LegendreBasisBatch,
                         ::testing::Values(BatchCase{1, 5, 17, 2.5}, BatchCase{2047, 5, 17, 2.5},
                                           BatchCase{2048, 5, 17, 2.5}, BatchCase{2049, 5, 17, 2.5},
                                           BatchCase{100000, 5, 17, 2.5}, BatchCase{4099, 0, 1000, 2.0},
                                           BatchCase{4099, 1, 1000, 2.0}, BatchCase{4099, 2, 1000, 2.0},
                                           BatchCase{4099, 3, 1000, 2.0}, BatchCase{4099, 4, 1000, 2.0},
                                           BatchCase{4099, 7, 1000, 2.0}, BatchCase{4099, 3, 7, 1e308},
                                           BatchCase{1000, 3, 1000, 2.0},
                                           BatchCase{20000, 3, 17, 2.5, 5},
                                           BatchCase{30000, 3, 2147483647, 1.5e9, 64},
                                           BatchCase{30000, 2, 2147483653, 3e9, 64}));

/// P_k(x) and P_k'(x) from their explicit polynomials, in long double.
long double reference_legendre(std::size_t k, long double x) {
    const long double x2 = x * x;
    switch (k) {
        case 0: return 1.0L;
        case 1: return x;
        case 2: return (3.0L * x2 - 1.0L) / 2.0L;
        case 3: return (5.0L * x2 - 3.0L) * x / 2.0L;
        case 4: return ((35.0L * x2 - 30.0L) * x2 + 3.0L) / 8.0L;
        default: return ((63.0L * x2 - 70.0L) * x2 + 15.0L) * x / 8.0L;
    }
}

long double reference_legendre_derivative(std::size_t k, long double x) {
    const long double x2 = x * x;
    switch (k) {
        case 0: return 0.0L;
        case 1: return 1.0L;
        case 2: return 3.0L * x;
        case 3: return (15.0L * x2 - 3.0L) / 2.0L;
        case 4: return (140.0L * x2 - 60.0L) * x / 8.0L;
        default: return ((315.0L * x2 - 210.0L) * x2 + 15.0L) / 8.0L;
    }
}

class LegendreBasisReference : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LegendreBasisReference, MatchesExplicitPolynomials) {
    const std::size_t degree = GetParam();
    const std::size_t n_t = 5;
    const long double T = 2.0L;
    const LegendreBasis basis(degree, n_t, static_cast<double>(T));
    DofMatrix dofs(static_cast<Eigen::Index>(n_t), static_cast<Eigen::Index>(degree + 1));
    std::mt19937_64 engine(degree);
    std::uniform_real_distribution<double> coefficient(-1.0, 1.0);
    std::uniform_real_distribution<double> fraction(0.05, 0.95);  // away from element ends
    for (Eigen::Index i = 0; i < dofs.size(); ++i) dofs.data()[i] = coefficient(engine);

    const long double w = T / static_cast<long double>(n_t);
    for (int sample = 0; sample < 200; ++sample) {
        const std::size_t element = static_cast<std::size_t>(sample) % n_t;
        const long double t_exact = w * (static_cast<long double>(element) + fraction(engine));
        const double t = static_cast<double>(t_exact);
        const long double xi = 2.0L * (t - w * element) / w - 1.0L;
        long double value = 0.0L;
        long double derivative = 0.0L;
        for (std::size_t k = 0; k <= degree; ++k) {
            const long double d = dofs(static_cast<Eigen::Index>(element), static_cast<Eigen::Index>(k));
            value += reference_legendre(k, xi) * d;
            derivative += reference_legendre_derivative(k, xi) * d;
        }
        derivative *= 2.0L / w;
        EXPECT_NEAR(basis.evaluate(t, dofs), static_cast<double>(value), 1e-12) << "t = " << t;
        // The regularising 1e-15 in the derivative costs about 1e-15 / (1 - xi^2).
        EXPECT_NEAR(basis.evaluate_derivative(t, dofs), static_cast<double>(derivative), 1e-10)
            << "t = " << t;

        const std::vector<double> all = basis.evaluate_all_basis_functions(t);
        const std::vector<double> all_derivatives = basis.evaluate_all_basis_function_derivatives(t);
        for (std::size_t k = 0; k <= degree; ++k) {
            EXPECT_NEAR(all[element + n_t * k], static_cast<double>(reference_legendre(k, xi)), 1e-13);
            EXPECT_NEAR(all_derivatives[element + n_t * k],
                        static_cast<double>(2.0L * reference_legendre_derivative(k, xi) / w), 1e-10);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, LegendreBasisReference, ::testing::Values(0, 1, 2, 3, 4, 5));

/// (P_k(x), P'_k(x)) for k = 0 .. degree in long double, by the differentiated
/// three-term recurrence P'_(k+1) = ((2k+1)(P_k + x P'_k) - k P'_(k-1)) / (k+1).
std::vector<long double> reference_derivatives(std::size_t degree, long double x) {
    std::vector<long double> p(degree + 2), dp(degree + 2);
    p[0] = 1.0L;
    p[1] = x;
    dp[0] = 0.0L;
    dp[1] = 1.0L;
    for (std::size_t k = 1; k < degree; ++k) {
        const long double kf = static_cast<long double>(k);
        p[k + 1] = ((2 * kf + 1) * x * p[k] - kf * p[k - 1]) / (kf + 1);
        dp[k + 1] = ((2 * kf + 1) * (p[k] + x * dp[k]) - kf * dp[k - 1]) / (kf + 1);
    }
    dp.resize(degree + 1);
    return dp;
}

class LegendreExactDerivative : public ::testing::TestWithParam<std::size_t> {};

// The derivative of the element's polynomial, accurate to a few (8) units in the last
// place of sum_k |c_k| k^2 2 / w everywhere: at element ends (one-sided), next to
// them, at t = T (where xi = 1 - 8e-16) and inside.
TEST_P(LegendreExactDerivative, IsAccurateUpToTheElementEnds) {
    const std::size_t degree = GetParam();
    const std::size_t n_t = 7;
    const double T = 1.0;
    const LegendreBasis basis(degree, n_t, T);
    const std::size_t n_dofs = n_t * (degree + 1);
    std::mt19937_64 engine(degree + 100);
    std::uniform_real_distribution<double> coefficient(-1.0, 1.0);
    std::vector<double> dofs(n_dofs);
    for (double& d : dofs) d = coefficient(engine);

    std::vector<double> times{0.0, T, -1.0, 2.0 * T};
    for (std::size_t e = 1; e < n_t; ++e) {
        const double boundary = T * static_cast<double>(e) / static_cast<double>(n_t);
        times.insert(times.end(), {boundary, std::nextafter(boundary, 0.0), std::nextafter(boundary, 1.0),
                                   std::nextafter(std::nextafter(boundary, 0.0), 0.0)});
    }
    std::uniform_real_distribution<double> anywhere(0.0, T);
    for (int i = 0; i < 100; ++i) times.push_back(anywhere(engine));

    std::vector<double> derivatives(times.size());
    basis.evaluate_functions(true, dofs, 1, times, derivatives);
    std::vector<double> row(degree + 1);
    const double w = T / static_cast<double>(n_t);
    for (std::size_t i = 0; i < times.size(); ++i) {
        const ElementPosition position = basis.locate(times[i]);
        const std::vector<long double> dp = reference_derivatives(degree, position.xi);
        long double exact = 0.0L;
        double scale = 0.0;
        for (std::size_t k = 0; k <= degree; ++k) {
            const double c = dofs[position.element + n_t * k];
            exact += dp[k] * c;
            scale += std::fabs(c) * static_cast<double>(k * k);
        }
        exact *= 2.0L / w;
        scale *= 2.0 / w;
        EXPECT_LE(std::fabs(static_cast<double>(exact) - derivatives[i]), 8.0 * std::numeric_limits<double>::epsilon() * scale + 1e-300)
            << "t = " << times[i] << ", xi = " << position.xi;
        // The basis derivatives: exactly k (k + 1) / 2 (with sign) at the ends.
        basis.reference_basis(position.xi, true, row);
        if (position.xi == 1.0 || position.xi == -1.0) {
            for (std::size_t k = 0; k <= degree; ++k) {
                const double sign = position.xi == 1.0 || k % 2 == 1 ? 1.0 : -1.0;
                ASSERT_EQ(row[k], sign * static_cast<double>(k * (k + 1) / 2)) << "k = " << k;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Degrees, LegendreExactDerivative, ::testing::Values(0, 1, 2, 3, 7, 20, 40));

class LegendreProjection : public ::testing::TestWithParam<std::size_t> {};

// Gauss-Legendre with degree + 1 points integrates every product of two polynomials of
// the degree, so projecting the samples of a function of the space gives its dofs back.
TEST_P(LegendreProjection, ReproducesFunctionsOfTheSpace) {
    const std::size_t degree = GetParam();
    const std::size_t n_t = 4;
    const LegendreBasis basis(degree, n_t, 3.0);
    const std::size_t n_dofs = n_t * (degree + 1);
    std::mt19937_64 engine(degree);
    std::uniform_real_distribution<double> coefficient(-1.0, 1.0);
    std::vector<double> dofs(2 * n_dofs);
    for (double& d : dofs) d = coefficient(engine);

    const QuadratureRule rule = gauss_legendre(degree + 1);
    const std::vector<double> times = basis.quadrature_times(rule.nodes);
    ASSERT_EQ(times.size(), n_t * (degree + 1));
    std::vector<double> samples(2 * times.size());
    basis.evaluate_functions(false, dofs, 2, times, samples);
    std::vector<double> projected(2 * n_dofs);
    basis.project(rule.nodes, rule.weights, samples, 2, projected);
    for (std::size_t j = 0; j < projected.size(); ++j) EXPECT_NEAR(projected[j], dofs[j], 1e-13) << "dof " << j;
}

INSTANTIATE_TEST_SUITE_P(Degrees, LegendreProjection, ::testing::Values(0, 1, 3, 8, 15));

TEST(GaussLegendre, IntegratesPolynomialsUpToDegreeTwoPointsMinusOne) {
    EXPECT_EQ(stop_message([] { gauss_legendre(0); }), "Gauss-Legendre quadrature needs at least one point");
    EXPECT_EQ(stop_message([] { gauss_legendre(kMaxGaussLegendrePoints + 1); }),
              "Gauss-Legendre quadrature supports at most 1024 points");
    for (std::size_t points = 1; points <= kMaxGaussLegendrePoints; points += points < 40 ? 1 : 984) {
        const QuadratureRule rule = gauss_legendre(points);
        for (std::size_t j = 0; j + 1 < points; ++j) ASSERT_LT(rule.nodes[j], rule.nodes[j + 1]);
        // The integral of x^m over [-1, 1] is 2 / (m + 1) for even m, 0 for odd m.
        for (std::size_t m = 0; m < std::min<std::size_t>(2 * points, 80); ++m) {
            long double sum = 0.0L;
            for (std::size_t j = 0; j < points; ++j) {
                sum += rule.weights[j] * std::pow(static_cast<long double>(rule.nodes[j]), static_cast<long double>(m));
            }
            const long double exact = m % 2 == 0 ? 2.0L / static_cast<long double>(m + 1) : 0.0L;
            ASSERT_NEAR(static_cast<double>(sum), static_cast<double>(exact), 2e-15 * static_cast<double>(points))
                << points << " points, x^" << m;
        }
    }
}

}  // namespace
}  // namespace zorv
