#include <cstdint>
#include <vector>

#include <Eigen/Dense>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "sparse_matrix_tools/block_assembly.hpp"
#include "support/stop.hpp"

namespace zorv {

namespace {

[[noreturn]] void singular_vandermonde() {
    stop("Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.");
}

/// (degree + 1) as an Eigen index, with room for the (degree + 1)^2 doubles of a
/// square matrix of that size.
Eigen::Index weight_matrix_size(std::size_t degree) {
    std::size_t size = 0;
    std::size_t cells = 0;
    if (__builtin_add_overflow(degree, std::size_t{1}, &size) ||
        __builtin_mul_overflow(size, size, &cells)) {
        throw CountOverflow("Lagrange to Legendre weight matrix size does not fit in a machine word");
    }
    require_allocatable(cells, sizeof(double));
    return static_cast<Eigen::Index>(size);  // size * size fits PTRDIFF_MAX, so size does
}

/// V(k, j) = P_k(x_j) at the equidistant reference nodes x_j of [-1, 1].
Eigen::MatrixXd vandermonde(std::size_t degree) {
    const Eigen::Index size = weight_matrix_size(degree);
    const std::vector<double> nodes = equidistant_points_on_interval(-1.0, 1.0, degree);
    Eigen::MatrixXd v(size, size);
    for (Eigen::Index j = 0; j < size; ++j) {
        LegendreRecurrence legendre(nodes[static_cast<std::size_t>(j)]);
        for (Eigen::Index k = 0; k < size; ++k) {
            if (k > 0) legendre.advance();
            v(k, j) = legendre.value();
        }
    }
    return v;
}

/// Inverse of a 4 x 4 matrix by cofactors; singular only for a determinant of exactly 0.
Eigen::MatrixXd invert_4x4(const Eigen::MatrixXd& v) {
    const Eigen::Matrix4d fixed = v;
    Eigen::Matrix4d inverse;
    double determinant = 0.0;
    bool invertible = false;
    fixed.computeInverseAndDetWithCheck(inverse, determinant, invertible, 0.0);
    if (!invertible) singular_vandermonde();
    return inverse;
}

/// Inverse by LU with partial pivoting; singular only when a pivot is exactly 0.
Eigen::MatrixXd invert_general(const Eigen::MatrixXd& v) {
    const Eigen::PartialPivLU<Eigen::MatrixXd> lu(v);
    const Eigen::MatrixXd& factors = lu.matrixLU();
    for (Eigen::Index i = 0; i < factors.rows(); ++i) {
        if (factors(i, i) == 0.0) singular_vandermonde();
    }
    return lu.inverse();
}

/// W = V^-1: W(j, k) is the weight of local node j in Legendre coefficient k.
/// Degrees 1 and 2 use the exact tables (nodes (-1, 1) and (-1, 0, 1)).
Eigen::MatrixXd lagrange_to_legendre_weights(std::size_t degree) {
    if (degree == 0) stop("Lagrange to Legendre conversion not meaningful for degree 0");
    if (degree == 1) {
        Eigen::MatrixXd w(2, 2);
        w << 0.5, -0.5,
             0.5, 0.5;
        return w;
    }
    if (degree == 2) {
        Eigen::MatrixXd w(3, 3);
        w << 1.0 / 6.0, -0.5, 1.0 / 3.0,
             2.0 / 3.0, 0.0, -2.0 / 3.0,
             1.0 / 6.0, 0.5, 1.0 / 3.0;
        return w;
    }
    const Eigen::MatrixXd v = vandermonde(degree);
    return degree == 3 ? invert_4x4(v) : invert_general(v);
}

/// Block M_k: row e holds W(j, k) at the global node of local node j of element e.
CsrMatrix coefficient_block(const LagrangeBasis& basis, const Eigen::MatrixXd& weights, std::size_t k) {
    if (k > basis.degree()) stop("Matrix slicing out of bounds.");
    const auto column = static_cast<Eigen::Index>(k);


    // n_t * (degree + 1) exceeds the node count by up to n_t, so it may wrap: checked.
    std::size_t entries = 0;
    if (__builtin_mul_overflow(basis.n_t(), basis.degree() + 1, &entries)) {
        throw CountOverflow("Lagrange to Legendre entry count does not fit in a machine word");
    }
    CsrBuilder block(basis.n_t(), basis.points().size(), entries);
    for (std::size_t e = 0; e < basis.n_t(); ++e) {
        for (std::size_t j = 0; j <= basis.degree(); ++j) {
            block.push(basis.global_node(e, j), weights(static_cast<Eigen::Index>(j), column));
        }
        block.finish_row();  // a periodic last element wraps to column 0: ordered (and merged) here
    }
    return std::move(block).finish();
}

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::size_t k) const {
    return coefficient_block(*this, lagrange_to_legendre_weights(degree_), k);
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
    // The weights are the same for every block: compute them once.
    const Eigen::MatrixXd weights = lagrange_to_legendre_weights(degree_);
    std::vector<CsrMatrix> blocks;
    blocks.reserve(degree_ + 1);  // degree + 1 fits: the weight matrix of that size exists
    for (std::size_t k = 0; k <= degree_; ++k) {
        blocks.push_back(coefficient_block(*this, weights, k));
    }
    std::vector<const CsrMatrix*> cells;
    cells.reserve(blocks.size());
    for (const CsrMatrix& block : blocks) {
        cells.push_back(&block);
    }
    return csr_block_from_ndarray(BlockGrid::row_major(cells, blocks.size(), 1));
}

}  // namespace zorv
