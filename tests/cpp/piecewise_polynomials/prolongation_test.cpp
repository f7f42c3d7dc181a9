#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "../sparse_matrix_tools/test_helpers.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"

namespace zorv {
namespace {

using testing::stop_message;
using testing::to_dense;
using Dense = std::vector<std::vector<double>>;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;

CsrMatrix prolongation(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine, bool periodic) {
    return LagrangeBasis::create(degree, nt_coarse, 1.0, periodic).get_prolongation_matrix_to(nt_fine);
}

void expect_dense_near(const Dense& actual, const Dense& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_EQ(actual[i].size(), expected[i].size());
        for (std::size_t j = 0; j < actual[i].size(); ++j) {
            EXPECT_NEAR(actual[i][j], expected[i][j], tolerance) << "entry (" << i << ", " << j << ")";
        }
    }
}

TEST(Prolongation, LinearRefinementByTwo) {
    const CsrMatrix m = prolongation(1, 2, 4, false);
    EXPECT_EQ(to_dense(m), (Dense{{1, 0, 0}, {0.5, 0.5, 0}, {0, 1, 0}, {0, 0.5, 0.5}, {0, 0, 1}}));
    // Coincident nodes store their single 1.0 only.
    EXPECT_EQ(m.row_offsets(), (Sizes{0, 1, 3, 4, 6, 7}));
}

TEST(Prolongation, FineCountThatIsNotAMultiple) {
    const CsrMatrix m = prolongation(1, 2, 3, false);
    expect_dense_near(to_dense(m), Dense{{1, 0, 0}, {1.0 / 3, 2.0 / 3, 0}, {0, 2.0 / 3, 1.0 / 3}, {0, 0, 1}},
                      1e-15);
    // The last fine node (s = 2) is put in coarse element 1, at its local node 1.
    EXPECT_EQ(m.row(3).cols.size(), 1u);
    EXPECT_EQ(m.row(3).values[0], 1.0);
}

TEST(Prolongation, CoarserTargetPicksEveryOtherNode) {
    const CsrMatrix m = prolongation(1, 4, 2, false);
    EXPECT_EQ(m.nrows(), 3u);
    EXPECT_EQ(m.ncols(), 5u);
    EXPECT_EQ(m.col_indices(), (Sizes{0, 2, 4}));
    EXPECT_EQ(m.values(), (Values{1.0, 1.0, 1.0}));
}

TEST(Prolongation, PeriodicSingleElementMergesBothEndsIntoColumnZero) {
    const CsrMatrix m = prolongation(2, 1, 2, true);
    ASSERT_EQ(m.nrows(), 4u);
    ASSERT_EQ(m.ncols(), 2u);
    // Rows 1 and 3 each sum 0.375 and -0.125 on column 0 into one entry.
    EXPECT_EQ(m.row_offsets(), (Sizes{0, 1, 3, 4, 6}));
    EXPECT_EQ(m.col_indices(), (Sizes{0, 0, 1, 1, 0, 1}));
    EXPECT_EQ(m.values(), (Values{1.0, 0.25, 0.75, 1.0, 0.24999999999999994, 0.7499999999999999}));
}

TEST(Prolongation, PeriodicWrapSortsColumnZeroFirst) {
    const CsrMatrix m = prolongation(1, 3, 6, true);
    // Fine node 5 lies halfway between coarse node 2 and node 3 = node 0.
    ASSERT_EQ(m.nrows(), 6u);
    EXPECT_EQ(m.row(5).cols[0], 0u);
    EXPECT_EQ(m.row(5).cols[1], 2u);
    EXPECT_EQ(m.row(5).values[0], 0.5);
    testing::expect_valid(m);
}

TEST(Prolongation, EqualCountsGiveTheIdentityWhileEveryNodeCoincides) {
    for (const std::size_t n : {1u, 7u, 33u, 64u}) {
        const CsrMatrix m = prolongation(3, n, n, false);
        ASSERT_EQ(m.nrows(), 3 * n + 1);
        for (std::size_t r = 0; r < m.nrows(); ++r) {
            const CsrRow row = m.row(r);
            ASSERT_EQ(row.cols.size(), 1u) << "n = " << n << ", row " << r;
            EXPECT_EQ(row.cols[0], r);
            EXPECT_EQ(row.values[0], 1.0);
        }
    }
}

TEST(Prolongation, NearMissOfTheCoincidenceToleranceUsesTheBarycentricFormula) {
    // Degree 3, 100 elements: row 165 has s = 55 + 7.1e-15 and misses node 165 by 1.4e-14.
    const CsrMatrix m = prolongation(3, 100, 100, false);
    const CsrRow row = m.row(165);
    ASSERT_EQ(row.cols.size(), 4u);
    EXPECT_EQ(row.cols[0], 165u);
    EXPECT_EQ(row.cols[3], 168u);
    EXPECT_EQ(row.values[0], 0.9999999999999609);
    EXPECT_NEAR(row.values[1], 6.39e-14, 0.01e-14);
    EXPECT_NEAR(row.values[2], -3.20e-14, 0.01e-14);
    EXPECT_NEAR(row.values[3], 7.1e-15, 0.1e-15);
}

/// Prolongation reproduces every polynomial of the basis degree: applied to the coarse
/// node values of q, it gives q at the fine nodes r / (nt_fine * degree).
struct ReproductionCase {
    std::size_t degree;
    std::size_t nt_coarse;
    std::size_t nt_fine;
};

class ProlongationReproduction : public ::testing::TestWithParam<ReproductionCase> {};

TEST_P(ProlongationReproduction, InterpolatesPolynomialsOfTheDegreeExactly) {
    const auto [degree, nt_coarse, nt_fine] = GetParam();
    std::mt19937 random(12345u + static_cast<unsigned>(degree * 100 + nt_fine));
    std::uniform_real_distribution<double> coefficient(-1.0, 1.0);
    Values q(degree + 1);
    for (double& c : q) c = coefficient(random);
    const auto polynomial = [&q](double t) {
        double value = 0.0;
        for (std::size_t i = q.size(); i-- > 0;) value = value * t + q[i];
        return value;
    };

    const LagrangeBasis coarse = LagrangeBasis::create(degree, nt_coarse, 1.0, false);
    const CsrMatrix m = coarse.get_prolongation_matrix_to(nt_fine);
    ASSERT_EQ(m.nrows(), nt_fine * degree + 1);
    ASSERT_EQ(m.ncols(), coarse.points().size());
    for (std::size_t r = 0; r < m.nrows(); ++r) {
        const CsrRow row = m.row(r);
        double value = 0.0;
        for (std::size_t p = 0; p < row.cols.size(); ++p) {
            value += row.values[p] * polynomial(coarse.points()[row.cols[p]]);
        }
        const double t = static_cast<double>(r) / static_cast<double>(nt_fine * degree);
        EXPECT_NEAR(value, polynomial(t), 1e-11) << "fine node " << r;
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, ProlongationReproduction,
                         ::testing::Values(ReproductionCase{1, 3, 7}, ReproductionCase{2, 2, 5},
                                           ReproductionCase{3, 4, 9}, ReproductionCase{4, 3, 3},
                                           ReproductionCase{5, 2, 7}, ReproductionCase{6, 5, 2}));

TEST(Prolongation, ValidationOrder) {
    EXPECT_EQ(stop_message([] { prolongation(0, 0, 0, false); }),
              "Lagrange prolongation requires polynomial degree at least 1");
    EXPECT_EQ(stop_message([] { prolongation(1, 0, 0, false); }),
              "Lagrange prolongation requires at least one coarse interval");
    EXPECT_EQ(stop_message([] { prolongation(1, 2, 0, false); }),
              "Lagrange prolongation requires at least one fine interval");
    EXPECT_EQ(stop_message([] { prolongation(2, 1, 0, true); }),
              "Lagrange prolongation requires at least one fine interval");
}

TEST(Prolongation, FineCountsBeyondTheMachineWord) {
    constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
    const LagrangeBasis linear = LagrangeBasis::create(1, 1, 1.0, false);
    EXPECT_THROW(linear.get_prolongation_matrix_to(size_max), CountOverflow);  // node count wraps
    const LagrangeBasis quadratic = LagrangeBasis::create(2, 1, 1.0, false);
    // 2^64 - 1 fine nodes fit a word, but their 3 entries per row do not.
    EXPECT_THROW(quadratic.get_prolongation_matrix_to(size_max / 2), CountOverflow);
    EXPECT_THROW(linear.get_prolongation_matrix_to(std::size_t{1} << 60), std::bad_alloc);
}

TEST(BarycentricWeights, ReciprocalNodeProducts) {
    EXPECT_EQ(barycentric_weights(Values{-1.0, 1.0}), (Values{-0.5, 0.5}));
    EXPECT_EQ(barycentric_weights(Values{-1.0, 0.0, 1.0}), (Values{0.5, -1.0, 0.5}));
    // Nodes 0, 1, 3: 1/((0-1)(0-3)), 1/((1-0)(1-3)), 1/((3-0)(3-1)).
    EXPECT_EQ(barycentric_weights(Values{0.0, 1.0, 3.0}), (Values{1.0 / 3.0, -0.5, 1.0 / 6.0}));
    EXPECT_EQ(barycentric_weights(Values{2.0}), (Values{1.0}));
}

}  // namespace
}  // namespace zorv
