#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include <Eigen/Core>

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

// The inverses below are written as explicit scalar loops in one fixed operation
// order, so that every processor and compiler yields the same bits (a vectorised
// library routine orders its operations by the processor's vector width). Sizes 1 to 3
// never occur: degree 0 is refused and degrees 1 and 2 use the exact tables.

/// Inverse of a 4 x 4 matrix by its cofactors: each entry of the adjugate is a signed
/// sum of six triple products, summed left to right in the order written; the
/// determinant is the expansion along the first column, and every entry of the
/// adjugate is multiplied by its reciprocal. Singular only for a determinant of exactly 0.
Eigen::MatrixXd invert_4x4(const Eigen::MatrixXd& v) {
    double m[16];  // column by column: m[r + 4 c] = v(r, c)
    for (Eigen::Index c = 0; c < 4; ++c) {
        for (Eigen::Index r = 0; r < 4; ++r) m[r + 4 * c] = v(r, c);
    }
    double inv[16];
    inv[0] = m[5] * m[10] * m[15] - m[5] * m[11] * m[14] - m[9] * m[6] * m[15] + m[9] * m[7] * m[14] +
             m[13] * m[6] * m[11] - m[13] * m[7] * m[10];
    inv[4] = -m[4] * m[10] * m[15] + m[4] * m[11] * m[14] + m[8] * m[6] * m[15] - m[8] * m[7] * m[14] -
             m[12] * m[6] * m[11] + m[12] * m[7] * m[10];
    inv[8] = m[4] * m[9] * m[15] - m[4] * m[11] * m[13] - m[8] * m[5] * m[15] + m[8] * m[7] * m[13] +
             m[12] * m[5] * m[11] - m[12] * m[7] * m[9];
    inv[12] = -m[4] * m[9] * m[14] + m[4] * m[10] * m[13] + m[8] * m[5] * m[14] - m[8] * m[6] * m[13] -
              m[12] * m[5] * m[10] + m[12] * m[6] * m[9];
    inv[1] = -m[1] * m[10] * m[15] + m[1] * m[11] * m[14] + m[9] * m[2] * m[15] - m[9] * m[3] * m[14] -
             m[13] * m[2] * m[11] + m[13] * m[3] * m[10];
    inv[5] = m[0] * m[10] * m[15] - m[0] * m[11] * m[14] - m[8] * m[2] * m[15] + m[8] * m[3] * m[14] +
             m[12] * m[2] * m[11] - m[12] * m[3] * m[10];
    inv[9] = -m[0] * m[9] * m[15] + m[0] * m[11] * m[13] + m[8] * m[1] * m[15] - m[8] * m[3] * m[13] -
             m[12] * m[1] * m[11] + m[12] * m[3] * m[9];
    inv[13] = m[0] * m[9] * m[14] - m[0] * m[10] * m[13] - m[8] * m[1] * m[14] + m[8] * m[2] * m[13] +
              m[12] * m[1] * m[10] - m[12] * m[2] * m[9];
    inv[2] = m[1] * m[6] * m[15] - m[1] * m[7] * m[14] - m[5] * m[2] * m[15] + m[5] * m[3] * m[14] +
             m[13] * m[2] * m[7] - m[13] * m[3] * m[6];
    inv[6] = -m[0] * m[6] * m[15] + m[0] * m[7] * m[14] + m[4] * m[2] * m[15] - m[4] * m[3] * m[14] -
             m[12] * m[2] * m[7] + m[12] * m[3] * m[6];
    inv[10] = m[0] * m[5] * m[15] - m[0] * m[7] * m[13] - m[4] * m[1] * m[15] + m[4] * m[3] * m[13] +
              m[12] * m[1] * m[7] - m[12] * m[3] * m[5];
    inv[14] = -m[0] * m[5] * m[14] + m[0] * m[6] * m[13] + m[4] * m[1] * m[14] - m[4] * m[2] * m[13] -
              m[12] * m[1] * m[6] + m[12] * m[2] * m[5];
    inv[3] = -m[1] * m[6] * m[11] + m[1] * m[7] * m[10] + m[5] * m[2] * m[11] - m[5] * m[3] * m[10] -
             m[9] * m[2] * m[7] + m[9] * m[3] * m[6];
    inv[7] = m[0] * m[6] * m[11] - m[0] * m[7] * m[10] - m[4] * m[2] * m[11] + m[4] * m[3] * m[10] +
             m[8] * m[2] * m[7] - m[8] * m[3] * m[6];
    inv[11] = -m[0] * m[5] * m[11] + m[0] * m[7] * m[9] + m[4] * m[1] * m[11] - m[4] * m[3] * m[9] -
              m[8] * m[1] * m[7] + m[8] * m[3] * m[5];
    inv[15] = m[0] * m[5] * m[10] - m[0] * m[6] * m[9] - m[4] * m[1] * m[10] + m[4] * m[2] * m[9] +
              m[8] * m[1] * m[6] - m[8] * m[2] * m[5];

    const double determinant = m[0] * inv[0] + m[1] * inv[4] + m[2] * inv[8] + m[3] * inv[12];
    if (determinant == 0.0) singular_vandermonde();
    const double reciprocal = 1.0 / determinant;
    Eigen::MatrixXd inverse(4, 4);
    for (Eigen::Index c = 0; c < 4; ++c) {
        for (Eigen::Index r = 0; r < 4; ++r) inverse(r, c) = inv[r + 4 * c] * reciprocal;
    }
    return inverse;
}

/// Inverse by Gaussian elimination with partial pivoting, P V = L U, then for every
/// column of the identity the forward solve with L and the backward solve with U.
/// Singular only when a pivot is exactly 0.
///
/// Fixed order: step k takes as pivot the first entry of largest magnitude in column k
/// at or below the diagonal and swaps whole rows; each multiplier is a(i, k) / a(k, k),
/// and a(i, j) - multiplier * a(k, j) is rounded once per step. The forward solve
/// subtracts the known unknowns in ascending order, the backward solve divides by the
/// diagonal and then removes that unknown from every row above, in descending order.
Eigen::MatrixXd invert_general(const Eigen::MatrixXd& v) {
    const Eigen::Index n = v.rows();
    Eigen::MatrixXd a = v;  // becomes L (below the diagonal, unit diagonal implied) and U
    Eigen::Matrix<Eigen::Index, Eigen::Dynamic, 1> original_row(n);  // row i of a came from row original_row(i) of v
    for (Eigen::Index i = 0; i < n; ++i) original_row(i) = i;

    for (Eigen::Index k = 0; k < n; ++k) {
        Eigen::Index pivot = k;
        for (Eigen::Index i = k + 1; i < n; ++i) {
            if (std::fabs(a(i, k)) > std::fabs(a(pivot, k))) pivot = i;
        }
        if (a(pivot, k) == 0.0) singular_vandermonde();
        if (pivot != k) {
            for (Eigen::Index j = 0; j < n; ++j) std::swap(a(k, j), a(pivot, j));
            std::swap(original_row(k), original_row(pivot));
        }
        for (Eigen::Index i = k + 1; i < n; ++i) {
            const double multiplier = a(i, k) / a(k, k);
            a(i, k) = multiplier;
            for (Eigen::Index j = k + 1; j < n; ++j) a(i, j) = a(i, j) - multiplier * a(k, j);
        }
    }

    Eigen::MatrixXd inverse(n, n);
    Eigen::VectorXd x(n);
    for (Eigen::Index c = 0; c < n; ++c) {
        // Column c of P I: 1 in the row that row c of V was moved to.
        for (Eigen::Index i = 0; i < n; ++i) x(i) = original_row(i) == c ? 1.0 : 0.0;
        for (Eigen::Index m = 0; m < n; ++m) {
            for (Eigen::Index i = m + 1; i < n; ++i) x(i) = x(i) - a(i, m) * x(m);
        }
        for (Eigen::Index m = n - 1; m >= 0; --m) {
            x(m) = x(m) / a(m, m);
            for (Eigen::Index i = 0; i < m; ++i) x(i) = x(i) - a(i, m) * x(m);
        }
        for (Eigen::Index i = 0; i < n; ++i) inverse(i, c) = x(i);
    }
    return inverse;
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
