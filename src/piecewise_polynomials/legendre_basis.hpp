#pragma once
/// @file
/// The discontinuous Legendre basis on a uniform grid of [0, T].
///
/// The interval is divided into n_t elements of width w = T / n_t; on each element
/// the basis functions are the Legendre polynomials P_0 .. P_degree of the element's
/// reference interval [-1, 1].
///
/// Legendre dof layout: a function of this space is given by one coefficient per
/// element e and degree k. As a matrix (`DofMatrix`) it has one row per element and
/// one column per degree; as a flat vector of n_t * (degree + 1) values the
/// coefficient of P_k on element e stands at index e + n_t * k, which is exactly the
/// column-major storage of the n_t x (degree + 1) matrix.
///
/// All values are bit-exact: each operation is rounded in the order the .cpp states.

#include <cstddef>
#include <span>
#include <vector>

#include <Eigen/Core>

#include "support/parallel.hpp"

namespace zorv {

/// Dofs as a column-major matrix: entry (e, k) is the coefficient of P_k on
/// element e, stored at flat position e + rows() * k. Normally n_t x (degree + 1).
using DofMatrix = Eigen::MatrixXd;

/// Where a time lies: its element and its coordinate on the reference interval.
struct ElementPosition {
    std::size_t element;  ///< in [0, n_t)
    double xi;            ///< in [-1, 1], or NaN for a NaN time
};

/// @brief floor(value) as an index, saturating: negative values and NaN give 0,
/// values of 2^64 (the index range) and beyond give SIZE_MAX.
std::size_t saturating_floor_index(double value) noexcept;

/// The number of dofs n_t * (degree + 1) of a basis: the length of a flat dof vector
/// in the Legendre dof layout. Stops with "capacity overflow" when the count, or its
/// vector of doubles, does not fit.
std::size_t legendre_dof_count(std::size_t n_t, std::size_t degree);

/// @brief The Legendre basis of `degree` on `n_t` equal elements of [0, T].
///
/// An immutable value; nothing is checked at construction. Every time t is
/// accepted: times before 0 belong to the first element, times at or after T to
/// the last, a NaN time to element 0 with a NaN reference coordinate.
///
/// Stops (zorv::Stop) shared by the operations below:
///   - "Matrix slicing out of bounds.": the basis has no element (n_t = 0), or the
///     dof matrix has no row for the element of t (checked first);
///   - "Matrix index out of bounds.": the dof matrix has at most `degree` columns;
///   - "capacity overflow": n_t * (degree + 1) values cannot be allocated.
/// Rows beyond the element and columns beyond `degree` are ignored.
class LegendreBasis {
public:
    LegendreBasis(std::size_t degree, std::size_t n_t, double T) noexcept
        : T_(T), degree_(degree), n_t_(n_t), width_(T / static_cast<double>(n_t)) {}

    double T() const noexcept { return T_; }
    std::size_t degree() const noexcept { return degree_; }
    std::size_t n_t() const noexcept { return n_t_; }

    /// @brief The element of t and its reference coordinate.
    /// @throws Stop "Matrix slicing out of bounds." when n_t = 0.
    ElementPosition locate(double t) const;

    /// @brief Value at t of the function with the given dofs.
    double evaluate(double t, const DofMatrix& dofs) const;

    /// @brief Time derivative at t of the function with the given dofs.
    double evaluate_derivative(double t, const DofMatrix& dofs) const;

    /// @brief Values of all basis functions at t.
    /// @returns n_t * (degree + 1) values in the Legendre dof layout: P_k(xi) at
    ///          element + n_t * k for the element of t, zero elsewhere.
    std::vector<double> evaluate_all_basis_functions(double t) const;

    /// @brief Time derivatives of all basis functions at t.
    /// @returns n_t * (degree + 1) values in the Legendre dof layout:
    ///          (2 * P_k'(xi)) / w at element + n_t * k, zero elsewhere.
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;

    /// @brief `evaluate` at every time, in input order, bit for bit equal to the
    /// single calls. From kParallelThreshold times on the work runs on the
    /// process-wide worker pool. Never touches Python; safe without the GIL.
    /// @returns one value per time (empty for no times).
    /// @throws Stop as the single calls would, before any work starts; or the
    ///         pool's "The global thread pool has not been initialized." stop.
    std::vector<double> evaluate_many(const DofMatrix& dofs, std::span<const double> times) const;

    /// @brief `evaluate_derivative` at every time; as `evaluate_many`.
    std::vector<double> evaluate_derivative_many(const DofMatrix& dofs,
                                                 std::span<const double> times) const;

    /// What a batch computes at each time.
    enum class Quantity { value, derivative };

    /// @brief out[i] = `evaluate` (or `evaluate_derivative`) of times[i], bit for bit,
    /// for every i: the batch operations without the result allocation.
    ///
    /// `out` has times.size() elements and may be `times` itself (each value then
    /// replaces its own time). Stops as the first failing single call over `times`
    /// would, before any value is written; the work is scheduled by batch_for(),
    /// which hands the finished ranges of `out` to `in_order` when one is given.
    void evaluate_batch(Quantity quantity, const DofMatrix& dofs, std::span<const double> times,
                        std::span<double> out, const InOrder* in_order = nullptr) const;

private:

    double element_width() const noexcept;
    ElementPosition locate_in_grid(double t) const noexcept;
    std::size_t dof_count() const;
    void check_dofs(std::size_t element, const DofMatrix& dofs) const;
    template <Quantity quantity>
    double point_value(ElementPosition position, const DofMatrix& dofs) const noexcept;
    template <Quantity quantity>
    double evaluate_point(double t, const DofMatrix& dofs) const;
    void check_batch(const DofMatrix& dofs, std::span<const double> times) const;
    void evaluate_range(Quantity quantity, const DofMatrix& dofs, std::span<const double> times,
                        std::span<double> out) const noexcept;
    template <class Entry>
    std::vector<double> spread_over_layout(double t, Entry entry) const;

    double T_;
    std::size_t degree_;
    std::size_t n_t_;
    double width_;  ///< T / n_t, computed once: every operation would compute the same value
};

}  // namespace zorv
