#pragma once
/// Helpers shared by the tests of the sparse matrix tools and of the matrices
/// built from them.

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "sparse_matrix_tools/csr.hpp"
#include "support/stop.hpp"

namespace zorv::testing {

/// The message of the Stop thrown by `action`; records a test failure (and returns
/// an empty string) when it does not stop.
template <typename Action>
std::string stop_message(Action&& action) {
    try {
        action();
    } catch (const Stop& stop) {
        return stop.message();
    }
    ADD_FAILURE() << "expected a Stop";
    return {};
}

/// Row-major dense copy of a CSR matrix (entries not stored read 0.0).
inline std::vector<std::vector<double>> to_dense(const CsrMatrix& matrix) {
    std::vector<std::vector<double>> dense(matrix.nrows(), std::vector<double>(matrix.ncols(), 0.0));
    for (std::size_t i = 0; i < matrix.nrows(); ++i) {
        const CsrRow row = matrix.row(i);
        for (std::size_t p = 0; p < row.cols.size(); ++p) {
            dense[i][row.cols[p]] = row.values[p];
        }
    }
    return dense;
}

/// Checks the CSR invariants of a matrix by rebuilding it from its raw arrays.
inline void expect_valid(const CsrMatrix& matrix) {
    EXPECT_NO_THROW(CsrMatrix::try_from_csr_data(matrix.nrows(), matrix.ncols(), matrix.row_offsets(),
                                                 matrix.col_indices(), matrix.values()));
}

}  // namespace zorv::testing
