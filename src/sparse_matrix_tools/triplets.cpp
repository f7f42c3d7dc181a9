#include "sparse_matrix_tools/triplets.hpp"

#include <utility>

namespace zorv {

namespace {

/// Row index of every stored entry, row by row: the entry list of the matrix in
/// stored order (what converting it to an entry list gives), without the list.
std::vector<std::size_t> entry_rows(const CsrMatrix& matrix) {
    std::vector<std::size_t> rows;
    rows.reserve(matrix.nnz());
    const auto& offsets = matrix.row_offsets();
    for (std::size_t i = 0; i < matrix.nrows(); ++i) rows.insert(rows.end(), offsets[i + 1] - offsets[i], i);
    return rows;
}

}  // namespace

Triplets csr_to_triplets(const CsrMatrix& matrix) {
    return Triplets{entry_rows(matrix), matrix.col_indices(), matrix.values()};
}

Triplets csr_to_triplets(CsrMatrix&& matrix) {
    std::vector<std::size_t> rows = entry_rows(matrix);
    auto [cols, values] = std::move(matrix).release_entries();
    return Triplets{std::move(rows), std::move(cols), std::move(values)};
}

}  // namespace zorv
