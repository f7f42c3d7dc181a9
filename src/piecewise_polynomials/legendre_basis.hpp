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
#include <cstdint>
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

    /// @brief `locate` of every time, four at a time with the batch kernel's vector
    /// code: elements[i] and xi[i] are bit for bit locate(times[i]). Requires n_t >= 1
    /// and every element reached below 2^52 (true whenever a dof vector exists);
    /// `elements` and `xi` have times.size() values.
    void locate_many(std::span<const double> times, std::span<std::size_t> elements,
                     std::span<double> xi) const noexcept;

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

    /// @brief P_0(xi) .. P_degree(xi), or with `derivative` their exact derivatives
    /// on the reference interval, into values[0 .. degree].
    ///
    /// Values come from the recurrence of `evaluate` (the same bits). Derivatives come
    /// from P'_0 = 0, P'_1 = 1, P'_(k+1) = P'_(k-1) + (2k+1) P_k (2k+1 formed as
    /// (k + k) + 1): a sum of terms that is accurate for every xi in [-1, 1], and at
    /// xi = +-1 the exact one-sided derivative k (k+1) / 2 (times (+-1)^(k+1)) of the
    /// polynomial. (`evaluate_derivative` keeps the regularised quotient instead,
    /// which cancels as xi approaches +-1.)
    /// @param values at least degree + 1 elements.
    void reference_basis(double xi, bool derivative, std::span<double> values) const noexcept;

    /// @brief Many functions of this space at many times, each time located and its
    /// basis values formed once and then used for every function.
    ///
    /// `dofs` holds `functions` dof vectors one after another, each n_t * (degree + 1)
    /// values in the Legendre dof layout. out[f * times.size() + i] is function f at
    /// times[i]: its value, bit for bit what `evaluate` gives for that dof vector, or
    /// with `derivative` its time derivative (2 / w) sum_k c_k P'_k(xi), formed as
    /// (S + S) (1 / w) with the exact derivatives of `reference_basis` ((S + S) / w on a
    /// grid whose 1 / w is not normal). At an element end
    /// this is the one-sided derivative of the element the time belongs to.
    ///
    /// From kParallelThreshold evaluations (functions * times) on, the work runs on
    /// the process-wide worker pool. Memory beyond `out`: a table of basis values for
    /// a block of at most 1024 times per working thread (the block shrinks as the
    /// degree grows), or one table shared by all when the times fit one block; none
    /// for one function. `out` may coincide with `times` when `functions` is 1.
    /// @throws Stop "Matrix slicing out of bounds." when n_t = 0; the three-line count
    ///         message when dofs or out has the wrong size; the pool's stop.
    void evaluate_functions(bool derivative, std::span<const double> dofs, std::size_t functions,
                            std::span<const double> times, std::span<double> out) const;

    /// @brief The entries of the design matrix at `times`: row i holds degree + 1
    /// entries, in columns element_i + n_t * k for k = 0 .. degree (increasing), with
    /// values P_k(xi_i) (bit for bit those of `evaluate_all_basis_functions`) or, with
    /// `derivative`, (2 P'_k(xi_i)) / w from the exact derivatives of `reference_basis`.
    /// Entry j of row i is written at position i * (degree + 1) + j of `columns` and
    /// `values`. From kParallelThreshold times on, runs on the worker pool.
    /// @throws Stop "Matrix slicing out of bounds." when n_t = 0; the count message
    ///         when the outputs do not have times.size() * (degree + 1) elements.
    template <class Index>
    void basis_matrix_entries(bool derivative, std::span<const double> times, std::span<Index> columns,
                              std::span<double> values) const;

    /// @brief The times of a quadrature rule on every element: position e * q + j holds
    /// the image of node j on element e, (left + right) / 2 + x_j (right - left) / 2,
    /// for the q = nodes.size() reference nodes x_j in [-1, 1].
    /// @throws Stop "Matrix slicing out of bounds." when n_t = 0; "capacity overflow".
    std::vector<double> quadrature_times(std::span<const double> nodes) const;

    /// @brief The L2 projection onto this space of functions sampled at the
    /// `quadrature_times` of a rule (nodes, weights): for each function f,
    /// dofs[f * n_dofs + e + n_t * k] = ((2k + 1) / 2) sum_j weights_j P_k(x_j) samples[f * n_t * q + e * q + j].
    /// Exact (to rounding) for functions that are polynomials of this degree on
    /// every element when the rule integrates degree 2 * degree exactly.
    /// @throws Stop when n_t = 0, nodes and weights differ in length, or samples or
    ///         dofs have the wrong size (the count message).
    void project(std::span<const double> nodes, std::span<const double> weights, std::span<const double> samples,
                 std::size_t functions, std::span<double> dofs) const;

    /// Number of dofs n_t * (degree + 1); stops with "capacity overflow" when it does not fit.
    std::size_t n_dofs() const { return dof_count(); }

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
    struct BlockTable;
    void fill_block_table(BlockTable& table, bool derivative, const double* times, std::size_t count,
                          bool sorted) const noexcept;
    void evaluate_functions_range(bool derivative, const double* dofs, std::size_t functions,
                                  std::span<const double> times, double* out, std::size_t block,
                                  const BlockTable* shared, std::size_t begin, std::size_t end) const noexcept;
    double direct_sum(bool derivative, ElementPosition position, const double* dofs) const noexcept;

    double T_;
    std::size_t degree_;
    std::size_t n_t_;
    double width_;  ///< T / n_t, computed once: every operation would compute the same value
};

}  // namespace zorv
