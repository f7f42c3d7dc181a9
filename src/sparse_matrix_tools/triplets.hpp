#pragma once
/// @file
/// Export of a CSR matrix as triplets, the form in which a matrix leaves the core.

#include <cstddef>
#include <vector>

#include "sparse_matrix_tools/csr.hpp"

namespace zorv {

/// Three parallel arrays, one element per stored entry: row index, column index and
/// value. Entries come row by row in ascending row order and, within a row, in
/// ascending column order; stored zeros are included. The shape is not part of it.
struct Triplets {
    std::vector<std::size_t> rows;
    std::vector<std::size_t> cols;
    std::vector<double> values;
};

/// The stored entries of `matrix` as triplets (the matrix is only read).
Triplets csr_to_triplets(const CsrMatrix& matrix);

/// The same triplets from a matrix that is no longer needed: its column and value
/// arrays are moved into them instead of copied.
Triplets csr_to_triplets(CsrMatrix&& matrix);

}  // namespace zorv
