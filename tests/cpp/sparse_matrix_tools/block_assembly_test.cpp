#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "sparse_matrix_tools/block_assembly.hpp"
#include "test_helpers.hpp"
#include "sparse_matrix_tools/triplets.hpp"

namespace zorv {
namespace {

using testing::stop_message;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;

/// A block of the given shape holding the listed entries.
CsrMatrix block(std::size_t nrows, std::size_t ncols, const Sizes& rows = {}, const Sizes& cols = {},
                const Values& values = {}) {
    CooMatrix coo(nrows, ncols);
    for (std::size_t e = 0; e < rows.size(); ++e) coo.push(rows[e], cols[e], values[e]);
    return CsrMatrix::from_coo(coo);
}

std::string assembly_stop(const std::vector<const CsrMatrix*>& cells, std::size_t rows, std::size_t cols) {
    return stop_message([&] { csr_block_from_ndarray(BlockGrid::row_major(cells, rows, cols)); });
}

TEST(BlockAssembly, TwoByTwoGridPlacesEveryBlockAtItsOffsets) {
    const CsrMatrix b00 = block(1, 1, {0}, {0}, {1.0});
    const CsrMatrix b01 = block(1, 2, {0}, {1}, {2.0});
    const CsrMatrix b10 = block(2, 1, {1}, {0}, {3.0});
    const CsrMatrix b11 = block(2, 2, {0}, {0}, {4.0});
    const CsrMatrix m = csr_block_from_ndarray(BlockGrid::row_major(std::vector<const CsrMatrix*>{&b00, &b01, &b10, &b11}, 2, 2));
    EXPECT_EQ(m.nrows(), 3u);
    EXPECT_EQ(m.ncols(), 3u);
    const Triplets t = csr_to_triplets(m);
    EXPECT_EQ(t.rows, (Sizes{0, 0, 1, 2}));
    EXPECT_EQ(t.cols, (Sizes{0, 2, 1, 0}));
    EXPECT_EQ(t.values, (Values{1.0, 2.0, 4.0, 3.0}));
}

TEST(BlockAssembly, StridedColumnMajorViewReadsTheSameGrid) {
    const CsrMatrix b00 = block(1, 1, {0}, {0}, {1.0});
    const CsrMatrix b01 = block(1, 2, {0}, {1}, {2.0});
    const CsrMatrix b10 = block(2, 1, {1}, {0}, {3.0});
    const CsrMatrix b11 = block(2, 2, {0}, {0}, {4.0});
    // Column-major storage, with a padding cell after each column.
    const std::vector<const CsrMatrix*> storage{&b00, &b10, nullptr, &b01, &b11, nullptr};
    const CsrMatrix m = csr_block_from_ndarray(BlockGrid(storage.data(), 2, 2, 1, 3));
    EXPECT_EQ(testing::to_dense(m), (std::vector<Values>{{1.0, 0.0, 2.0}, {0.0, 4.0, 0.0}, {3.0, 0.0, 0.0}}));
}

TEST(BlockAssembly, SingleBlockIsCopiedWithItsStoredZeros) {
    const CsrMatrix only = block(2, 3, {1, 0, 1}, {2, 1, 0}, {0.0, 5.0, -1.0});
    const CsrMatrix m = csr_block_from_ndarray(BlockGrid::row_major(std::vector<const CsrMatrix*>{&only}, 1, 1));
    EXPECT_EQ(m.nrows(), 2u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(m.row_offsets(), only.row_offsets());
    EXPECT_EQ(m.col_indices(), only.col_indices());
    EXPECT_EQ(m.values(), only.values());
}

TEST(BlockAssembly, EmptyBlockRowAddsNothing) {
    const CsrMatrix top = block(2, 3, {0, 1}, {0, 2}, {1.0, 2.0});
    const CsrMatrix empty = block(0, 3);
    const CsrMatrix m = csr_block_from_ndarray(BlockGrid::row_major(std::vector<const CsrMatrix*>{&top, &empty}, 2, 1));
    EXPECT_EQ(m.nrows(), 2u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(testing::to_dense(m), testing::to_dense(top));
}

TEST(BlockAssembly, EmptyGridStops) {
    const CsrMatrix b = block(1, 1);
    EXPECT_EQ(assembly_stop({}, 0, 0), "empty block grid");
    EXPECT_EQ(assembly_stop({}, 0, 3), "empty block grid");
    EXPECT_EQ(assembly_stop({&b}, 1, 0), "empty block grid");
}

TEST(BlockAssembly, HeightMismatchNamesTheBlockRow) {
    const CsrMatrix a = block(2, 3);
    const CsrMatrix b = block(3, 3);
    EXPECT_EQ(assembly_stop({&a, &b}, 1, 2),
              "assertion `left == right` failed: inconsistent block-row height at row 0\n  left: 3\n right: 2");
    // The first mismatch of the second block row, against its own first block.
    const CsrMatrix c = block(4, 3);
    const CsrMatrix d = block(5, 3);
    EXPECT_EQ(assembly_stop({&a, &a, &a, &c, &d, &a}, 2, 3),
              "assertion `left == right` failed: inconsistent block-row height at row 1\n  left: 5\n right: 4");
}

TEST(BlockAssembly, WidthMismatchNamesTheBlockColumn) {
    const CsrMatrix a = block(2, 3);
    const CsrMatrix b = block(2, 4);
    EXPECT_EQ(assembly_stop({&a, &b}, 2, 1),
              "assertion `left == right` failed: inconsistent block-col width at col 0\n  left: 4\n right: 3");
    // Column 1 is wrong in two block rows: the first one (row 1) is reported.
    const CsrMatrix c = block(2, 5);
    const CsrMatrix d = block(2, 6);
    EXPECT_EQ(assembly_stop({&a, &b, &a, &c, &a, &d}, 3, 2),
              "assertion `left == right` failed: inconsistent block-col width at col 1\n  left: 5\n right: 4");
}

TEST(BlockAssembly, HeightsAreCheckedBeforeWidths) {
    const CsrMatrix a = block(2, 3);
    const CsrMatrix wider = block(2, 7);
    const CsrMatrix taller = block(9, 3);
    // Block row 0 is fine, block column 0 has a width mismatch in row 1, and block
    // row 1 has a height mismatch: the height is reported.
    EXPECT_EQ(assembly_stop({&a, &a, &wider, &taller}, 2, 2),
              "assertion `left == right` failed: inconsistent block-row height at row 1\n  left: 9\n right: 2");
}

TEST(BlockAssembly, TotalColumnCountBeyondTheMachineWordIsACountOverflow) {
    // Two 0 x 2^63 blocks side by side: 2^64 columns. Having no rows, they cost nothing.
    const std::size_t half = std::numeric_limits<std::size_t>::max() / 2 + 1;
    const CsrMatrix wide = CsrMatrix::try_from_csr_data(0, half, {0}, {}, {});
    const std::vector<const CsrMatrix*> cells{&wide, &wide};
    EXPECT_THROW(csr_block_from_ndarray(BlockGrid::row_major(cells, 1, 2)), CountOverflow);
}

}  // namespace
}  // namespace zorv
