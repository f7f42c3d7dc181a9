#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "../sparse_matrix_tools/test_helpers.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "sparse_matrix_tools/triplets.hpp"

namespace zorv {
namespace {

using testing::stop_message;
using testing::to_dense;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;

CsrMatrix transformation(std::size_t degree, std::size_t n_t, bool periodic) {
    return LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transormation_matrix_to_legendre();
}

TEST(LagrangeToLegendre, LinearTwoElementsTriplets) {
    const CsrMatrix m = transformation(1, 2, false);
    EXPECT_EQ(m.nrows(), 4u);
    EXPECT_EQ(m.ncols(), 3u);
    const Triplets t = csr_to_triplets(m);
    EXPECT_EQ(t.rows, (Sizes{0, 0, 1, 1, 2, 2, 3, 3}));
    EXPECT_EQ(t.cols, (Sizes{0, 1, 1, 2, 0, 1, 1, 2}));
    EXPECT_EQ(t.values, (Values{0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5}));
}

TEST(LagrangeToLegendre, CubicWeightsMatchTheExactInverse) {
    // W[j][k] for nodes -1, -1/3, 1/3, 1, from the exact inverse of the Vandermonde matrix.
    const double exact[4][4] = {{1.0 / 8, 3.0 / 8, 3.0 / 8, 1.0 / 8},
                                {-11.0 / 40, -27.0 / 40, 27.0 / 40, 11.0 / 40},
                                {3.0 / 8, -3.0 / 8, -3.0 / 8, 3.0 / 8},
                                {-9.0 / 40, 27.0 / 40, -27.0 / 40, 9.0 / 40}};
    const LagrangeBasis basis = LagrangeBasis::create(3, 1, 1.0, false);
    for (std::size_t k = 0; k < 4; ++k) {
        const CsrMatrix block = basis.to_legendre_basis_matrix_for_pol_degree(k);
        ASSERT_EQ(block.nrows(), 1u);
        ASSERT_EQ(block.col_indices(), (Sizes{0, 1, 2, 3}));
        for (std::size_t j = 0; j < 4; ++j) {
            EXPECT_NEAR(block.values()[j], exact[k][j], 1e-14) << "k = " << k << ", j = " << j;
        }
    }
}

/// V W = I to rounding for every computed inverse (the cofactor formula at degree 3,
/// elimination above): each residual entry, taken in long double, stays within
/// (degree + 1) rounding units of the sum of |V| |W| that it cancels. Elimination
/// without row exchanges misses this bound from degree 4 on, by factors up to 10^8.
TEST(LagrangeToLegendre, WeightsInvertTheVandermondeMatrixToRounding) {
    for (std::size_t degree = 3; degree <= 30; ++degree) {
        const std::size_t n = degree + 1;
        const LagrangeBasis basis = LagrangeBasis::create(degree, 1, 1.0, false);
        std::vector<Values> w(n, Values(n));  // w[j][k] = W[j][k]
        for (std::size_t k = 0; k < n; ++k) {
            const CsrMatrix block = basis.to_legendre_basis_matrix_for_pol_degree(k);
            ASSERT_EQ(block.col_indices(), [&] { Sizes all(n); for (std::size_t j = 0; j < n; ++j) all[j] = j; return all; }());
            for (std::size_t j = 0; j < n; ++j) w[j][k] = block.values()[j];
        }
        std::vector<Values> v(n, Values(n));  // v[k][j] = P_k(x_j)
        for (std::size_t j = 0; j < n; ++j) {
            LegendreRecurrence polynomial(-1.0 + (2.0 * static_cast<double>(j)) / static_cast<double>(degree));
            for (std::size_t k = 0; k < n; ++k) {
                if (k > 0) polynomial.advance();
                v[k][j] = polynomial.value();
            }
        }
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t c = 0; c < n; ++c) {
                long double residual = k == c ? -1.0L : 0.0L;
                long double magnitude = 0.0L;
                for (std::size_t j = 0; j < n; ++j) {
                    residual += static_cast<long double>(v[k][j]) * w[j][c];
                    magnitude += std::fabs(static_cast<long double>(v[k][j]) * w[j][c]);
                }
                EXPECT_LE(std::fabs(residual), static_cast<long double>(n) * 0x1p-53L * magnitude)
                    << "degree " << degree << ", (V W)(" << k << ", " << c << ")";
            }
        }
    }
}

TEST(LagrangeToLegendre, QuadraticStoresTheZeroWeightOfTheMiddleNode) {
    const std::size_t n_t = 3;
    const CsrMatrix m = transformation(2, n_t, false);
    for (std::size_t e = 0; e < n_t; ++e) {
        const CsrRow row = m.row(n_t + e);
        ASSERT_EQ(row.cols.size(), 3u);
        EXPECT_EQ(row.cols[1], 2 * e + 1);
        EXPECT_EQ(row.values[1], 0.0);
        EXPECT_EQ(row.values[0], -0.5);
        EXPECT_EQ(row.values[2], 0.5);
    }
    EXPECT_EQ(m.row(0).values[0], 1.0 / 6.0);
    EXPECT_EQ(m.row(2 * n_t).values[1], -2.0 / 3.0);
}

TEST(LagrangeToLegendre, PeriodicSingleLinearElementKeepsTheMergedZero) {
    const CsrMatrix m = transformation(1, 1, true);
    EXPECT_EQ(m.nrows(), 2u);
    EXPECT_EQ(m.ncols(), 1u);
    const Triplets t = csr_to_triplets(m);
    EXPECT_EQ(t.rows, (Sizes{0, 1}));
    EXPECT_EQ(t.cols, (Sizes{0, 0}));
    EXPECT_EQ(t.values, (Values{1.0, 0.0}));
}

TEST(LagrangeToLegendre, PeriodicLastElementWrapsToNodeZero) {
    const std::size_t n_t = 3;
    const CsrMatrix m = transformation(2, n_t, true);
    EXPECT_EQ(m.ncols(), 6u);
    const Values last_weight{1.0 / 6.0, 0.5, 1.0 / 3.0};  // W[2][k]
    for (std::size_t k = 0; k <= 2; ++k) {
        const CsrRow row = m.row(k * n_t + n_t - 1);
        EXPECT_EQ(Sizes(row.cols.begin(), row.cols.end()), (Sizes{0, 4, 5}));
        EXPECT_EQ(row.values[0], last_weight[k]);
    }
}

TEST(LagrangeToLegendre, NoElementsGiveAnEmptyMatrixOverTheSingleNode) {
    const CsrMatrix m = transformation(3, 0, false);
    EXPECT_EQ(m.nrows(), 0u);
    EXPECT_EQ(m.ncols(), 1u);
    EXPECT_EQ(m.nnz(), 0u);
}

struct GridCase {
    std::size_t degree;
    std::size_t n_t;
    bool periodic;
};

class LagrangeToLegendreGrid : public ::testing::TestWithParam<GridCase> {};

TEST_P(LagrangeToLegendreGrid, StoresEveryWeightOfEveryElement) {
    const auto [degree, n_t, periodic] = GetParam();
    const CsrMatrix m = transformation(degree, n_t, periodic);
    const std::size_t per_element = (degree + 1) * (degree + 1);
    const std::size_t expected = periodic && n_t == 1 ? (degree + 1) * degree : per_element * n_t;
    EXPECT_EQ(m.nrows(), (degree + 1) * n_t);
    EXPECT_EQ(m.ncols(), n_t * degree + (periodic ? 0 : 1));
    EXPECT_EQ(m.nnz(), expected);
    testing::expect_valid(m);
}

/// The coefficients from random node values, summed as a Legendre expansion on each
/// element, reproduce the Lagrange interpolant of those values (its cardinal
/// functions written as products).
TEST_P(LagrangeToLegendreGrid, LegendreExpansionReproducesTheLagrangeInterpolant) {
    const auto [degree, n_t, periodic] = GetParam();
    const LagrangeBasis basis = LagrangeBasis::create(degree, n_t, 1.0, periodic);
    const CsrMatrix m = basis.get_transormation_matrix_to_legendre();

    std::mt19937 random(777u + static_cast<unsigned>(degree * 31 + n_t));
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    Values u(basis.points().size());
    for (double& x : u) x = value(random);

    Values coefficients(m.nrows(), 0.0);
    for (std::size_t r = 0; r < m.nrows(); ++r) {
        const CsrRow row = m.row(r);
        for (std::size_t p = 0; p < row.cols.size(); ++p) coefficients[r] += row.values[p] * u[row.cols[p]];
    }

    Values nodes(degree + 1);
    for (std::size_t j = 0; j <= degree; ++j) nodes[j] = -1.0 + 2.0 * static_cast<double>(j) / static_cast<double>(degree);
    for (std::size_t e = 0; e < n_t; ++e) {
        const Sizes dofs = basis.get_dofs_for_interval(e);
        for (const double xi : {-1.0, -0.77, -0.1, 0.0, 0.31, 0.9, 1.0}) {
            double lagrange = 0.0;
            for (std::size_t j = 0; j <= degree; ++j) {
                double cardinal = 1.0;
                for (std::size_t i = 0; i <= degree; ++i) {
                    if (i != j) cardinal *= (xi - nodes[i]) / (nodes[j] - nodes[i]);
                }
                lagrange += cardinal * u[dofs[j]];
            }
            double legendre = 0.0;
            LegendreRecurrence polynomial(xi);
            for (std::size_t k = 0; k <= degree; ++k) {
                if (k > 0) polynomial.advance();
                legendre += coefficients[k * n_t + e] * polynomial.value();
            }
            EXPECT_NEAR(legendre, lagrange, 1e-11) << "element " << e << ", xi " << xi;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, LagrangeToLegendreGrid,
                         ::testing::Values(GridCase{1, 1, false}, GridCase{1, 1, true}, GridCase{2, 4, false},
                                           GridCase{2, 1, true}, GridCase{3, 3, true}, GridCase{3, 5, false},
                                           GridCase{4, 2, false}, GridCase{5, 1, true}, GridCase{6, 3, true},
                                           GridCase{8, 2, false}));

TEST(LagrangeToLegendre, DegreeZeroIsRefusedBeforeAnythingElse) {
    const std::string message = "Lagrange to Legendre conversion not meaningful for degree 0";
    EXPECT_EQ(stop_message([] { transformation(0, 0, false); }), message);
    EXPECT_EQ(stop_message([] { transformation(0, 4, false); }), message);
    const LagrangeBasis constant = LagrangeBasis::create(0, 2, 1.0, false);
    EXPECT_EQ(stop_message([&] { constant.to_legendre_basis_matrix_for_pol_degree(7); }), message);
}

TEST(LagrangeToLegendre, CoefficientAboveTheDegreeIsRefused) {
    for (const std::size_t degree : {1u, 2u, 3u, 5u}) {
        const LagrangeBasis basis = LagrangeBasis::create(degree, 2, 1.0, false);
        EXPECT_EQ(stop_message([&] { basis.to_legendre_basis_matrix_for_pol_degree(degree + 1); }),
                  "Matrix slicing out of bounds.");
        EXPECT_NO_THROW(basis.to_legendre_basis_matrix_for_pol_degree(degree));
    }
}

TEST(LagrangeToLegendre, WeightMatrixTooLargeForTheMachineWord) {
    // With no element the basis exists for any degree; its weight matrix cannot.
    const LagrangeBasis basis = LagrangeBasis::create(std::size_t{1} << 32, 0, 1.0, false);
    EXPECT_THROW(basis.get_transormation_matrix_to_legendre(), CountOverflow);
}

}  // namespace
}  // namespace zorv
