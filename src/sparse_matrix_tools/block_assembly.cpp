#include "sparse_matrix_tools/block_assembly.hpp"

#include <string>
#include <utility>
#include <vector>

#include "support/stop.hpp"

namespace zorv {

namespace {

void check_heights(const BlockGrid& grid) {
    for (std::size_t r = 0; r < grid.rows(); ++r) {
        const std::size_t height = grid.at(r, 0).nrows();
        for (std::size_t c = 1; c < grid.cols(); ++c) {
            const std::size_t found = grid.at(r, c).nrows();
            if (found != height) {
                stop(assert_eq_message("inconsistent block-row height at row " + std::to_string(r),
                                       found, height));
            }
        }
    }
}

void check_widths(const BlockGrid& grid) {
    for (std::size_t c = 0; c < grid.cols(); ++c) {
        const std::size_t width = grid.at(0, c).ncols();
        for (std::size_t r = 1; r < grid.rows(); ++r) {
            const std::size_t found = grid.at(r, c).ncols();
            if (found != width) {
                stop(assert_eq_message("inconsistent block-col width at col " + std::to_string(c),
                                       found, width));
            }
        }
    }
}

std::size_t add_count(std::size_t a, std::size_t b, const char* what) {
    std::size_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        throw CountOverflow(std::string(what) + " does not fit in a machine word");
    }
    return sum;
}

/// Starting offsets of the `count` block rows (or columns) followed by the total;
/// `extent(i)` is the height (or width) of block row (or column) i.
template <typename Extent>
std::vector<std::size_t> block_offsets(std::size_t count, Extent extent, const char* what) {
    require_allocatable(count, sizeof(std::size_t));  // so that count + 1 cannot wrap
    std::vector<std::size_t> offsets(count + 1, 0);
    for (std::size_t i = 0; i < count; ++i) {
        offsets[i + 1] = add_count(offsets[i], extent(i), what);
    }
    return offsets;
}

}  // namespace

CsrMatrix csr_block_from_ndarray(const BlockGrid& grid) {
    if (grid.rows() == 0 || grid.cols() == 0) {
        stop("empty block grid");
    }
    check_heights(grid);
    check_widths(grid);

    const auto row_offsets = block_offsets(
        grid.rows(), [&grid](std::size_t r) { return grid.at(r, 0).nrows(); }, "block matrix row count");
    const auto col_offsets = block_offsets(
        grid.cols(), [&grid](std::size_t c) { return grid.at(0, c).ncols(); }, "block matrix column count");

    std::size_t total_entries = 0;
    for (std::size_t r = 0; r < grid.rows(); ++r) {
        for (std::size_t c = 0; c < grid.cols(); ++c) {
            total_entries = add_count(total_entries, grid.at(r, c).nnz(), "block matrix entry count");
        }
    }

    // Row by row of the result, the rows of the blocks side by side. Each block row
    // is ordered by column without repeats and the blocks' column ranges follow one
    // another, so the rows come out ordered and nothing merges: this is the matrix
    // that collecting all entries and converting them would give, without the sort.
    std::vector<std::size_t> offsets;
    std::vector<std::size_t> cols;
    std::vector<double> values;
    offsets.reserve(row_offsets.back() + 1);  // the row count is a sum of existing row counts
    cols.reserve(total_entries);
    values.reserve(total_entries);
    offsets.push_back(0);
    for (std::size_t r = 0; r < grid.rows(); ++r) {
        for (std::size_t i = 0; i < grid.at(r, 0).nrows(); ++i) {
            for (std::size_t c = 0; c < grid.cols(); ++c) {
                const CsrRow entries = grid.at(r, c).row(i);
                for (std::size_t position = 0; position < entries.cols.size(); ++position) {
                    cols.push_back(col_offsets[c] + entries.cols[position]);
                    values.push_back(entries.values[position]);
                }
            }
            offsets.push_back(cols.size());
        }
    }
    try {
        return CsrMatrix::try_from_csr_data(row_offsets.back(), col_offsets.back(), std::move(offsets),
                                            std::move(cols), std::move(values));
    } catch (const SparseFormatError& error) {
        // NOT_REACHED: the blocks are valid matrices and their ranges do not overlap.
        stop(std::string("Internal error: Invalid CSR data during block assembly: ") + error.what());
    }
}

}  // namespace zorv
