#include "sparse_matrix_tools/triplets.hpp"

namespace zorv {

Triplets csr_to_triplets(const CsrMatrix& matrix) {
    const CooMatrix coo = matrix.to_coo();
    return Triplets{coo.row_indices(), coo.col_indices(), coo.values()};
}

}  // namespace zorv
