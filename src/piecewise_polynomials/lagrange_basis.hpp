#pragma once
/// @file
/// The continuous nodal Lagrange basis on the uniform grid of [0, T] and its two
/// transfer matrices: the prolongation to another element count and the
/// transformation from node values to discontinuous Legendre coefficients.
///
/// Global node numbering: element i (0 <= i < n_t) owns the nodes i*degree + k for
/// k = 0 .. degree-1; its local node `degree` is the first node of element i + 1.
/// A non-periodic basis appends one last node, T itself, numbered n_t*degree
/// (n_t*degree + 1 nodes); a periodic one identifies T with node 0 (n_t*degree nodes).

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "sparse_matrix_tools/csr.hpp"

namespace zorv {

/// p_k = a + ((b - a) * k) / n, rounded in exactly that order (difference, times k,
/// divided by n, plus a), with k and n converted to double. For n = 0 this is 0/0.
double equidistant_point(double a, double b, std::size_t k, std::size_t n) noexcept;

/// The n + 1 points p_0 .. p_n of `equidistant_point` on [a, b]: p_0 = a and p_n = b up
/// to rounding. For n = 0 the single value is NaN (0/0).
/// @throws CountOverflow when n + 1 does not fit a machine word.
std::vector<double> equidistant_points_on_interval(double a, double b, std::size_t n);

/// Barycentric weights of distinct nodes x_0 .. x_n: w_k = 1 / prod_{j != k} (x_k - x_j),
/// the product formed from 1.0 in increasing j.
/// @returns a vector of nodes.size() weights.
std::vector<double> barycentric_weights(std::span<const double> nodes);

/// Number of global nodes of a Lagrange basis: n_t*degree + 1, or n_t*degree when
/// periodic.
/// @throws CountOverflow when the count does not fit a machine word.
std::size_t lagrange_node_count(std::size_t degree, std::size_t n_t, bool periodic);

/// An immutable Lagrange basis: its node positions in global node order and the
/// grid parameters. T is not stored; it survives only in the nodes.
class LagrangeBasis {
public:
    /// Builds the nodes of the basis with `n_t` elements of width h = T / n_t on
    /// [0, T]. Element i spans a_i = h*i to b_i = h + h*i (this exact formula) and
    /// contributes equidistant_point(a_i, b_i, k, degree) for k = 0 .. degree-1. When not
    /// periodic, T itself is appended as the last node. With degree 0 no element
    /// contributes a node.
    ///
    /// Only a periodic basis is validated, degree first:
    ///   - degree 0: stop "Periodic Lagrange bases require polynomial degree at least 1";
    ///   - n_t 0: stop "Periodic Lagrange bases require at least one interval".
    /// @throws CountOverflow when the node count does not fit a machine word.
    static LagrangeBasis create(std::size_t degree, std::size_t n_t, double T, bool periodic);

    /// Node positions in global node order; its length is the node count.
    const std::vector<double>& points() const noexcept { return points_; }
    std::size_t degree() const noexcept { return degree_; }
    std::size_t n_t() const noexcept { return n_t_; }
    bool periodic() const noexcept { return periodic_; }

    /// Global node numbers of the degree + 1 local nodes of element i, in local order:
    /// i*degree + k, reduced modulo the node count when periodic.
    /// i must be below n_t (stops "Element index out of bounds." otherwise).
    std::vector<std::size_t> get_dofs_for_interval(std::size_t i) const;

    /// @brief Global node of local node k (0 <= k <= degree) of element i < n_t:
    /// i * degree + k, modulo the node count when periodic. Unchecked.
    std::size_t global_node(std::size_t i, std::size_t k) const noexcept {
        const std::size_t node = i * degree_ + k;  // <= n_t * degree, which fits (the node count did)
        return periodic_ ? node % points_.size() : node;
    }

    /// Prolongation to the basis with `nt_fine` elements, same degree and periodicity.
    ///
    /// @returns an R x M_c matrix, R the fine node count and M_c this basis's node
    /// count: row r holds the values at fine node r of the coarse basis functions, so
    /// that multiplying coarse node values interpolates them at the fine nodes.
    /// Entries that are exactly 0.0 are not stored.
    ///
    /// Stops, in this order: degree 0 "Lagrange prolongation requires polynomial degree
    /// at least 1"; n_t 0 "Lagrange prolongation requires at least one coarse
    /// interval"; nt_fine 0 "Lagrange prolongation requires at least one fine interval".
    /// @throws CountOverflow when the fine node count does not fit a machine word.
    CsrMatrix get_prolongation_matrix_to(std::size_t nt_fine) const;

    /// Coefficient block M_k of the Lagrange-to-Legendre transformation: an
    /// n_t x (node count) matrix whose row e maps the node values of element e to
    /// its Legendre coefficient of degree k (entries W[j][k] at the global nodes of the
    /// local nodes j; zeros stored; the two entries on node 0 of a periodic
    /// one-element basis are summed).
    ///
    /// Stops: degree 0 "Lagrange to Legendre conversion not meaningful for degree 0";
    /// a singular Vandermonde matrix "Failed to invert Vandermonde matrix for Lagrange
    /// to Legendre conversion."; k > degree (checked after the weights)
    /// "Matrix slicing out of bounds.".
    CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::size_t k) const;

    /// The whole transformation from node values to Legendre coefficients: a
    /// ((degree+1)*n_t) x (node count) matrix, the blocks M_0 .. M_degree stacked
    /// vertically, so row k*n_t + e is coefficient k of element e (the Legendre dof
    /// layout). Stops as `to_legendre_basis_matrix_for_pol_degree`.
    CsrMatrix get_transormation_matrix_to_legendre() const;

private:
    LagrangeBasis(std::vector<double> points, std::size_t degree, std::size_t n_t, bool periodic) noexcept
        : points_(std::move(points)), degree_(degree), n_t_(n_t), periodic_(periodic) {}

    std::vector<double> points_;
    std::size_t degree_;
    std::size_t n_t_;
    bool periodic_;
};

}  // namespace zorv
