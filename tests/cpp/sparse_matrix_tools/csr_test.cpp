#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sparse_matrix_tools/csr.hpp"
#include "test_helpers.hpp"
#include "sparse_matrix_tools/triplets.hpp"

namespace zorv {
namespace {

using testing::stop_message;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;

CooMatrix coo_of(std::size_t nrows, std::size_t ncols, const Sizes& rows, const Sizes& cols,
                 const Values& values) {
    CooMatrix coo(nrows, ncols);
    for (std::size_t e = 0; e < rows.size(); ++e) coo.push(rows[e], cols[e], values[e]);
    return coo;
}

TEST(CooToCsr, OrdersEachRowByColumnAndSumsRepeatedPositions) {
    const CsrMatrix m = CsrMatrix::from_coo(coo_of(1, 3, {0, 0, 0}, {2, 0, 2}, {1.0, 2.0, 3.0}));
    EXPECT_EQ(m.row_offsets(), (Sizes{0, 2}));
    EXPECT_EQ(m.col_indices(), (Sizes{0, 2}));
    EXPECT_EQ(m.values(), (Values{2.0, 4.0}));
}

TEST(CooToCsr, KeepsZerosPushedOrProducedByAMerge) {
    const CsrMatrix m =
        CsrMatrix::from_coo(coo_of(2, 2, {1, 1, 0}, {1, 1, 0}, {0.5, -0.5, 0.0}));
    const Triplets t = csr_to_triplets(m);
    EXPECT_EQ(t.rows, (Sizes{0, 1}));
    EXPECT_EQ(t.cols, (Sizes{0, 1}));
    EXPECT_EQ(t.values, (Values{0.0, 0.0}));
}

TEST(CooToCsr, GroupsRowsPushedOutOfOrder) {
    const CsrMatrix m = CsrMatrix::from_coo(
        coo_of(3, 4, {2, 0, 2, 1, 2, 0}, {3, 1, 0, 2, 3, 1}, {3.0, 5.0, 7.0, 6.0, 1.0, -5.0}));
    EXPECT_EQ(m.row_offsets(), (Sizes{0, 1, 2, 4}));
    EXPECT_EQ(m.col_indices(), (Sizes{1, 2, 0, 3}));
    EXPECT_EQ(m.values(), (Values{0.0, 6.0, 7.0, 4.0}));
}

TEST(CooToCsr, EmptyRowsKeepTheShape) {
    const CsrMatrix m = CsrMatrix::from_coo(coo_of(2, 3, {1, 1, 1}, {2, 0, 2}, {1.0, 1.0, 1.0}));
    EXPECT_EQ(m.nrows(), 2u);
    EXPECT_EQ(m.ncols(), 3u);
    EXPECT_EQ(m.row_offsets(), (Sizes{0, 0, 2}));

    const CsrMatrix empty = CsrMatrix::from_coo(CooMatrix(0, 5));
    EXPECT_EQ(empty.row_offsets(), (Sizes{0}));
    EXPECT_EQ(empty.ncols(), 5u);
    const Triplets t = csr_to_triplets(empty);
    EXPECT_TRUE(t.rows.empty() && t.cols.empty() && t.values.empty());
}

TEST(CooToCsr, PushOutsideTheShapeStops) {
    CooMatrix coo(2, 3);
    EXPECT_EQ(stop_message([&] { coo.push(2, 0, 1.0); }), "assertion failed: i < self.nrows");
    EXPECT_EQ(stop_message([&] { coo.push(1, 3, 1.0); }), "assertion failed: j < self.ncols");
    EXPECT_EQ(stop_message([&] { coo.push(5, 5, 1.0); }), "assertion failed: i < self.nrows");
    EXPECT_EQ(coo.nnz(), 0u);
}

TEST(CooToCsr, HugeRowCountIsOutOfMemoryNotAWrap) {
    CooMatrix coo(std::numeric_limits<std::size_t>::max(), 1);
    EXPECT_THROW(CsrMatrix::from_coo(coo), std::bad_alloc);
}

/// A random matrix given as its entries row by row, each row in push order. Columns
/// repeat often and values are picked so that the order of a sum shows: 1 + 1e100 - 1e100
/// is 0 or 1 depending on it, 0.1 + 0.2 + 0.3 rounds differently, and a sum that does
/// not start from its first value turns -0.0 into 0.0. Rows are short (ordered in place)
/// or long (ordered through a copy), some already ordered by column.
struct RandomEntries {
    std::size_t nrows = 0;
    std::size_t ncols = 0;
    std::vector<std::vector<std::pair<std::size_t, double>>> rows;

    explicit RandomEntries(std::mt19937_64& random) {
        constexpr double kValues[] = {1.0, 1e100, -1e100, -0.0, 0.1, 0.2, 0.3};
        const auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
        nrows = 1 + below(5);
        ncols = 1 + below(8);
        rows.resize(nrows);
        for (auto& row : rows) {
            const std::size_t length = below(3) == 0 ? 33 + below(60) : below(12);
            for (std::size_t e = 0; e < length; ++e) row.emplace_back(below(ncols), kValues[below(std::size(kValues))]);
            if (below(4) == 0) {
                std::stable_sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            }
        }
    }

    /// Rows ordered by column, each repeated position summed left to right in push order.
    void expect_matrix(const CsrMatrix& m) const {
        Sizes offsets{0}, cols;
        std::vector<std::uint64_t> value_bits;
        for (const auto& row : rows) {
            std::map<std::size_t, double> sums;
            for (const auto& [col, value] : row) {
                const auto [at, inserted] = sums.emplace(col, value);
                if (!inserted) at->second += value;
            }
            for (const auto& [col, sum] : sums) {
                cols.push_back(col);
                value_bits.push_back(std::bit_cast<std::uint64_t>(sum));
            }
            offsets.push_back(cols.size());
        }
        EXPECT_EQ(m.nrows(), nrows);
        EXPECT_EQ(m.ncols(), ncols);
        EXPECT_EQ(m.row_offsets(), offsets);
        EXPECT_EQ(m.col_indices(), cols);
        std::vector<std::uint64_t> actual_bits;
        for (const double value : m.values()) actual_bits.push_back(std::bit_cast<std::uint64_t>(value));
        EXPECT_EQ(actual_bits, value_bits);
    }
};

TEST(RepeatedPositions, AreSummedInPushOrderByTheBuilder) {
    std::mt19937_64 random(7);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        const RandomEntries entries(random);
        CsrBuilder builder(entries.nrows, entries.ncols, 0);
        // The last row with entries is left open half of the time: finish() closes it.
        const bool leave_last_open = trial % 2 == 0;
        for (std::size_t i = 0; i < entries.nrows; ++i) {
            for (const auto& [col, value] : entries.rows[i]) builder.push(col, value);
            const bool last = i + 1 == entries.nrows;
            if (!(last && leave_last_open)) builder.finish_row();
        }
        entries.expect_matrix(std::move(builder).finish());
    }
}

TEST(RepeatedPositions, AreSummedInPushOrderByTheConversion) {
    std::mt19937_64 random(11);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        const RandomEntries entries(random);
        // Interleave the rows at random, each row keeping its own push order.
        std::vector<std::size_t> next(entries.nrows, 0), pending;
        for (std::size_t i = 0; i < entries.nrows; ++i) pending.insert(pending.end(), entries.rows[i].size(), i);
        std::shuffle(pending.begin(), pending.end(), random);
        CooMatrix coo(entries.nrows, entries.ncols);
        for (const std::size_t i : pending) {
            const auto& [col, value] = entries.rows[i][next[i]++];
            coo.push(i, col, value);
        }
        entries.expect_matrix(CsrMatrix::from_coo(coo));
    }
}

TEST(CsrBuilder, RefusesEntriesOutsideTheShape) {
    CsrBuilder builder(1, 2, 4);
    EXPECT_EQ(stop_message([&] { builder.push(2, 1.0); }), "assertion failed: j < self.ncols");
    builder.push(1, 1.0);
    builder.push(1, -1.0);
    builder.finish_row();
    EXPECT_EQ(stop_message([&] { builder.push(0, 1.0); }), "assertion failed: i < self.nrows");
    const CsrMatrix matrix = std::move(builder).finish();
    EXPECT_EQ(matrix.col_indices(), Sizes{1});
    EXPECT_EQ(matrix.values(), Values{0.0});  // merged to zero, still stored
}

TEST(CsrToCoo, ListsEveryStoredEntryRowByRow) {
    const CsrMatrix m = CsrMatrix::try_from_csr_data(3, 3, {0, 2, 2, 3}, {0, 2, 1}, {1.0, 0.0, -2.0});
    const CooMatrix coo = m.to_coo();
    EXPECT_EQ(coo.nrows(), 3u);
    EXPECT_EQ(coo.ncols(), 3u);
    EXPECT_EQ(coo.row_indices(), (Sizes{0, 0, 2}));
    EXPECT_EQ(coo.col_indices(), (Sizes{0, 2, 1}));
    EXPECT_EQ(coo.values(), (Values{1.0, 0.0, -2.0}));
    const Triplets t = csr_to_triplets(m);
    EXPECT_EQ(t.rows, coo.row_indices());
    EXPECT_EQ(t.cols, coo.col_indices());
    EXPECT_EQ(t.values, coo.values());
}

struct InvalidCsr {
    const char* name;
    std::size_t nrows;
    std::size_t ncols;
    Sizes offsets;
    Sizes cols;
    Values values;
    SparseFormatErrorKind kind;
    std::string message;
};

constexpr auto structure = SparseFormatErrorKind::InvalidStructure;
const std::string bad_length = "Length of row offset array is not equal to nrows + 1.";
const std::string bad_ends = "First or last row offset is inconsistent with format specification.";
const std::string bad_offsets = "Row offsets are not monotonically increasing.";
const std::string out_of_bounds = "Column indices are out of bounds.";
const std::string duplicate = "Matrix data contains duplicate entries.";
const std::string unsorted = "Column indices are not monotonically increasing (sorted) within each row.";
const std::string bad_values = "Number of values and column indices must be the same";

class CsrValidation : public ::testing::TestWithParam<InvalidCsr> {};

TEST_P(CsrValidation, ReportsTheFirstViolation) {
    const InvalidCsr& c = GetParam();
    try {
        CsrMatrix::try_from_csr_data(c.nrows, c.ncols, c.offsets, c.cols, c.values);
        ADD_FAILURE() << "accepted invalid data";
    } catch (const SparseFormatError& error) {
        EXPECT_EQ(error.kind(), c.kind);
        EXPECT_EQ(std::string(error.what()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Invariants, CsrValidation,
    ::testing::Values(
        InvalidCsr{"ShortOffsets", 2, 2, {0, 1}, {0}, {1.0}, structure, bad_length},
        InvalidCsr{"NoOffsets", 0, 2, {}, {}, {}, structure, bad_length},
        InvalidCsr{"LengthBeforeValues", 2, 2, {0, 1}, {0}, {}, structure, bad_length},
        InvalidCsr{"FirstNotZero", 1, 2, {1, 1}, {0}, {1.0}, structure, bad_ends},
        InvalidCsr{"LastNotCount", 1, 2, {0, 1}, {0, 1}, {1.0, 1.0}, structure, bad_ends},
        InvalidCsr{"Decreasing", 3, 2, {0, 2, 1, 2}, {0, 1}, {1.0, 1.0}, structure, bad_offsets},
        InvalidCsr{"BeyondColumns", 2, 2, {0, 5, 2}, {0, 1}, {1.0, 1.0}, structure, bad_offsets},
        InvalidCsr{"OutOfBounds", 1, 2, {0, 2}, {0, 2}, {1.0, 1.0},
                   SparseFormatErrorKind::IndexOutOfBounds, out_of_bounds},
        InvalidCsr{"OutOfBoundsBeforeLaterUnsorted", 1, 3, {0, 3}, {2, 7, 1}, {1.0, 1.0, 1.0},
                   SparseFormatErrorKind::IndexOutOfBounds, out_of_bounds},
        InvalidCsr{"Duplicate", 1, 3, {0, 2}, {1, 1}, {1.0, 1.0},
                   SparseFormatErrorKind::DuplicateEntry, duplicate},
        InvalidCsr{"Unsorted", 1, 3, {0, 2}, {2, 1}, {1.0, 1.0}, structure, unsorted},
        InvalidCsr{"UnsortedBeforeLaterOutOfBounds", 1, 3, {0, 3}, {2, 1, 9}, {1.0, 1.0, 1.0}, structure,
                   unsorted},
        InvalidCsr{"EarlierRowFirst", 2, 3, {0, 2, 4}, {1, 1, 0, 5}, {1.0, 1.0, 1.0, 1.0},
                   SparseFormatErrorKind::DuplicateEntry, duplicate},
        InvalidCsr{"LaterRowBeyondColumns", 3, 3, {0, 1, 3, 2}, {0, 1}, {1.0, 1.0}, structure, bad_offsets},
        InvalidCsr{"OffsetsOfLaterRow", 3, 3, {0, 2, 1, 2}, {2, 0}, {1.0, 1.0}, structure, unsorted},
        InvalidCsr{"ValuesLast", 1, 2, {0, 2}, {0, 1}, {1.0}, structure, bad_values},
        InvalidCsr{"ValuesAfterRows", 1, 2, {0, 2}, {1, 0}, {1.0}, structure, unsorted}),
    [](const ::testing::TestParamInfo<InvalidCsr>& info) { return std::string(info.param.name); });

TEST(CsrValidation, AcceptsValidDataIncludingEmptyRowsAndZeros) {
    const CsrMatrix m = CsrMatrix::try_from_csr_data(3, 4, {0, 0, 3, 3}, {0, 1, 3}, {0.0, 1.0, 2.0});
    EXPECT_EQ(m.row(1).cols.size(), 3u);
    EXPECT_EQ(m.row(1).values[0], 0.0);
    EXPECT_TRUE(m.row(0).cols.empty());
    EXPECT_EQ(stop_message([&] { m.row(3); }), "CSR row index out of bounds");
}

}  // namespace
}  // namespace zorv
