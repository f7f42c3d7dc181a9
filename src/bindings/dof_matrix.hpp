#pragma once
/// @file
/// The dof matrices that the two classes make from the (degree, n_t) their caller
/// chose: every size is computed exactly, never wrapped, whatever the counts.

#include "piecewise_polynomials/legendre_basis.hpp"
#include "support/memory.hpp"
#include "support/stop.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>

namespace zorv::py {

/// The dof count n_t * (degree + 1), or nothing when it does not fit a size_t.
/// A basis without elements has no dofs, whatever its degree.
inline std::optional<std::size_t> exact_dof_count(std::size_t n_t, std::size_t degree) {
    if (n_t == 0) return 0;
    std::size_t columns = 0;
    std::size_t count = 0;
    if (__builtin_add_overflow(degree, std::size_t{1}, &columns) || __builtin_mul_overflow(n_t, columns, &count)) {
        return std::nullopt;
    }
    return count;
}

/// The column count degree + 1 of a dof matrix with n_t rows whose dof count fits.
/// A matrix without rows holds no value, and every evaluation of a basis without
/// elements stops before it reads a column, so its column count is capped at the
/// largest matrix index instead of wrapping.
inline Eigen::Index dof_columns(std::size_t n_t, std::size_t degree) {
    constexpr auto largest = static_cast<std::size_t>(Eigen::NumTraits<Eigen::Index>::highest());
    if (n_t == 0) return static_cast<Eigen::Index>(std::min(degree, largest - 1) + 1);
    return static_cast<Eigen::Index>(degree + 1);  // <= the dof count, which fits in memory
}

/// The all-zero n_t x (degree + 1) dof matrix; "capacity overflow" when its values
/// cannot be allocated by any machine, AllocationTooLarge when not by this one.
inline DofMatrix zero_dof_matrix(std::size_t n_t, std::size_t degree) {
    const std::optional<std::size_t> count = exact_dof_count(n_t, degree);
    if (!count) stop("capacity overflow");
    check_capacity(*count, sizeof(double));
    require_memory(*count, sizeof(double), "dofs");
    return DofMatrix::Zero(static_cast<Eigen::Index>(n_t), dof_columns(n_t, degree));
}

/// The n_t x (degree + 1) dof matrix of the first n_t * (degree + 1) values, read in
/// the Legendre dof layout (value i to row i mod n_t, column i div n_t), which is
/// the matrix's column-major storage. `values` holds at least that many values.
inline DofMatrix dof_matrix(std::span<const double> values, std::size_t n_t, std::size_t degree) {
    return Eigen::Map<const DofMatrix>(values.data(), static_cast<Eigen::Index>(n_t), dof_columns(n_t, degree));
}

}  // namespace zorv::py
