#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../sparse_matrix_tools/test_helpers.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"

namespace zorv {
namespace {

using testing::stop_message;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;
constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();

struct NodeCase {
    std::size_t degree;
    std::size_t n_t;
    double T;
    std::size_t node;
    double expected;
    std::size_t count;
};

class LagrangeNodes : public ::testing::TestWithParam<NodeCase> {};

TEST_P(LagrangeNodes, NodeFollowsTheElementEndFormula) {
    const NodeCase& c = GetParam();
    const LagrangeBasis basis = LagrangeBasis::create(c.degree, c.n_t, c.T, false);
    ASSERT_EQ(basis.points().size(), c.count);
    EXPECT_EQ(basis.points()[c.node], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, LagrangeNodes,
    ::testing::Values(
        // Element 5 of 7: (b_5 - a_5) differs from h, which moves node 16 by one ulp.
        NodeCase{3, 7, 1.0, 16, 0.7619047619047618, 22},
        // The node shared by elements 5 and 6 is a_6, not b_5.
        NodeCase{3, 7, 1.0, 18, 0.8571428571428571, 22},
        // h * 3 and h * 6 with h = 0.1.
        NodeCase{2, 10, 1.0, 3, 0.15000000000000002, 21},
        NodeCase{2, 10, 1.0, 6, 0.30000000000000004, 21},
        // h * 3 = 0.8999999999999999 with h = 0.3, but the last node is T itself.
        NodeCase{1, 3, 0.9, 3, 0.9, 4},
        NodeCase{1, 3, 0.9, 2, 0.6, 4}));

TEST(LagrangeBasis, TwoQuadraticElements) {
    const LagrangeBasis open = LagrangeBasis::create(2, 2, 1.0, false);
    EXPECT_EQ(open.points(), (Values{0.0, 0.25, 0.5, 0.75, 1.0}));
    EXPECT_EQ(open.get_dofs_for_interval(1), (Sizes{2, 3, 4}));
    const LagrangeBasis periodic = LagrangeBasis::create(2, 2, 1.0, true);
    EXPECT_EQ(periodic.points(), (Values{0.0, 0.25, 0.5, 0.75}));
    EXPECT_EQ(periodic.get_dofs_for_interval(1), (Sizes{2, 3, 0}));
    EXPECT_EQ(periodic.degree(), 2u);
    EXPECT_EQ(periodic.n_t(), 2u);
    EXPECT_TRUE(periodic.periodic());
}

TEST(LagrangeBasis, GridsWithoutElementNodesHoldOnlyT) {
    EXPECT_EQ(LagrangeBasis::create(3, 0, 2.5, false).points(), (Values{2.5}));
    EXPECT_EQ(LagrangeBasis::create(0, 5, 2.5, false).points(), (Values{2.5}));
    EXPECT_EQ(LagrangeBasis::create(0, 0, -1.0, false).points(), (Values{-1.0}));
    // degree 0 with a huge element count: no node position is computed or stored.
    EXPECT_EQ(LagrangeBasis::create(0, size_max, 1.0, false).points(), (Values{1.0}));
}

TEST(LagrangeBasis, LinearNodesAreTheElementStarts) {
    const LagrangeBasis basis = LagrangeBasis::create(1, 4, 2.0, false);
    EXPECT_EQ(basis.points(), (Values{0.0, 0.5, 1.0, 1.5, 2.0}));
}

TEST(LagrangeBasis, DegenerateIntervalsAreUsedUnchanged) {
    EXPECT_EQ(LagrangeBasis::create(2, 2, 0.0, false).points(), (Values{0.0, 0.0, 0.0, 0.0, 0.0}));
    EXPECT_EQ(LagrangeBasis::create(2, 2, -1.0, true).points(), (Values{0.0, -0.25, -0.5, -0.75}));
}

TEST(LagrangeBasis, PeriodicValidationChecksDegreeFirst) {
    EXPECT_EQ(stop_message([] { LagrangeBasis::create(0, 0, 1.0, true); }),
              "Periodic Lagrange bases require polynomial degree at least 1");
    EXPECT_EQ(stop_message([] { LagrangeBasis::create(0, 4, 1.0, true); }),
              "Periodic Lagrange bases require polynomial degree at least 1");
    EXPECT_EQ(stop_message([] { LagrangeBasis::create(3, 0, 1.0, true); }),
              "Periodic Lagrange bases require at least one interval");
}

TEST(LagrangeBasis, DofsOfAnElement) {
    EXPECT_EQ(LagrangeBasis::create(2, 1, 1.0, true).get_dofs_for_interval(0), (Sizes{0, 1, 0}));
    EXPECT_EQ(LagrangeBasis::create(2, 1, 1.0, true).points(), (Values{0.0, 0.5}));
    const LagrangeBasis basis = LagrangeBasis::create(2, 3, 1.0, false);
    EXPECT_EQ(basis.points().size(), 7u);
    EXPECT_EQ(basis.get_dofs_for_interval(2), (Sizes{4, 5, 6}));
    EXPECT_EQ(stop_message([&] { basis.get_dofs_for_interval(3); }), "Element index out of bounds.");
}

TEST(LagrangeBasis, NodeCountBeyondTheMachineWordIsACountOverflow) {
    EXPECT_THROW(LagrangeBasis::create(size_max, 2, 1.0, false), CountOverflow);
    EXPECT_THROW(LagrangeBasis::create(1, size_max, 1.0, false), CountOverflow);  // + 1 wraps
    EXPECT_THROW(LagrangeBasis::create(2, size_max / 2 + 1, 1.0, true), CountOverflow);
    EXPECT_THROW(lagrange_node_count(3, size_max / 2, true), CountOverflow);
    EXPECT_EQ(lagrange_node_count(1, size_max, true), size_max);
    // Representable, but far more doubles than memory can hold.
    EXPECT_THROW(LagrangeBasis::create(1, size_max / 4, 1.0, true), std::bad_alloc);
}

TEST(EquidistantPoints, OperationOrderAndDegenerateCount) {
    // a + ((b - a) * k) / n; forming (b - a) / n or k / n first would give 0.5 and 0.8.
    const Values points = equidistant_points_on_interval(0.2, 0.9, 7);
    ASSERT_EQ(points.size(), 8u);
    EXPECT_EQ(points[0], 0.2);
    EXPECT_EQ(points[3], 0.49999999999999994);
    EXPECT_EQ(points[6], 0.7999999999999998);
    EXPECT_EQ(equidistant_points_on_interval(-1.0, 1.0, 2), (Values{-1.0, 0.0, 1.0}));
    const Values single = equidistant_points_on_interval(0.0, 1.0, 0);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_TRUE(std::isnan(single[0]));
    EXPECT_THROW(equidistant_points_on_interval(0.0, 1.0, size_max), CountOverflow);
}

}  // namespace
}  // namespace zorv
