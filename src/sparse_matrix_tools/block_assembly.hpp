#pragma once
/// @file
/// Assembly of one CSR matrix from a two-dimensional grid of CSR blocks.

#include <cstddef>
#include <span>

#include "sparse_matrix_tools/csr.hpp"

namespace zorv {

/// Non-owning read-only view of a grid of blocks: `rows` x `cols` cells, each a
/// pointer to a `CsrMatrix` owned elsewhere. Cell (r, c) is found at
/// `cells[r * row_stride + c * col_stride]` (strides counted in cells, any sign), so
/// row-major, column-major and strided layouts are all expressible.
/// Every addressed cell must be a valid, non-null pointer while the view is used.
class BlockGrid {
public:
    BlockGrid(const CsrMatrix* const* cells, std::size_t rows, std::size_t cols,
              std::ptrdiff_t row_stride, std::ptrdiff_t col_stride) noexcept
        : cells_(cells), rows_(rows), cols_(cols), row_stride_(row_stride), col_stride_(col_stride) {}

    /// A row-major grid over `cells`; `cells` must hold at least rows * cols pointers.
    static BlockGrid row_major(std::span<const CsrMatrix* const> cells, std::size_t rows,
                               std::size_t cols) noexcept {
        return BlockGrid(cells.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1);
    }

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }

    /// The block in block row r and block column c (r < rows(), c < cols()).
    const CsrMatrix& at(std::size_t r, std::size_t c) const noexcept {
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(r) * row_stride_ +
                                      static_cast<std::ptrdiff_t>(c) * col_stride_;
        return *cells_[offset];
    }

private:
    const CsrMatrix* const* cells_;
    std::size_t rows_;
    std::size_t cols_;
    std::ptrdiff_t row_stride_;
    std::ptrdiff_t col_stride_;
};

/// Places the blocks of `grid` side by side into one matrix.
///
/// Every block of block row r must have the row count H_r of block (r, 0), and every
/// block of block column c the column count W_c of block (0, c). The result has
/// sum(H_r) rows and sum(W_c) columns; block (r, c) starts at row H_0 + ... + H_(r-1)
/// and column W_0 + ... + W_(c-1). Stored entries, zeros included, are carried over.
///
/// Failures, the first one found being reported:
///   - no block rows or no block columns: stop "empty block grid";
///   - heights (all block rows first, ascending r then c): stop with the three-line
///     message of `assert_eq_message("inconsistent block-row height at row r",
///     rows of block (r, c), H_r)`;
///   - widths (ascending c then r): the same with "inconsistent block-col width at col c",
///     columns of block (r, c), W_c;
///   - a total row or column count beyond the machine word: `CountOverflow`.
CsrMatrix csr_block_from_ndarray(const BlockGrid& grid);

}  // namespace zorv
