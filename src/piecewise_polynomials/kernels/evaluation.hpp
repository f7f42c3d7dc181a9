#pragma once
/// @file
/// The vector kernels of the Legendre basis's evaluations: times located four at a
/// time, and the sums of one function at many times, from its dof columns, from its
/// element records, or from a table of basis values. Each entry point takes plain
/// pointers, counts and values, allocates nothing and cannot fail; it runs the code
/// cloned for the processor (support/target_clones.hpp). Scheduling, checks and
/// working memory are the callers' (legendre_basis.cpp).

#include <cstddef>

#include "piecewise_polynomials/kernels/lanes.hpp"

namespace zorv::kernels {

/// The largest element index that 32-bit lanes carry.
constexpr double kNarrowLast = 2147483647.0;

/// What the vector kernel needs to know of the grid, fixed for a whole range.
struct Grid {
    double width;       ///< w = T / n_t
    double reciprocal;  ///< 1 / w, rounded
    /// (min(n_t - 1, 2^52 - 1) + 1) 2^-40: an |xi| this close to 1 is placed again (locate_lanes)
    double margin;
    /// the largest element index a time is given, min(n_t - 1, rows - 1, 2^52 - 1) for the
    /// dofs' `rows`, exact as a double: a time that the product places beyond the last row
    /// reads that row, not one past the matrix, before it is placed again (a checked
    /// batch reaches no other row)
    double last;
    bool halves;        ///< some element's left + right overflows: midpoints are taken from the halves
    /// min(n_t - 1, 2^52 - 1) <= kNarrowLast, so element indices fit 32-bit lanes, and w and 1 / w are
    /// normal, so the element is found from the product t (1 / w) (see locate_lanes)
    bool narrow;
};

/// The grid of a basis with n_t >= 1 elements of width w, on dofs with `rows` rows.
Grid grid_of(double width, std::size_t n_t, std::size_t rows) noexcept;

/// What a range computes at each point.
enum class Sum {
    value,             ///< S = -0.0 + P_0 D_0 + ... + P_n D_n
    derivative,        ///< (S + S) / w with the regularised P_k' of LegendreRecurrence::derivative
    exact_derivative,  ///< S scaled by exact_derivative_scale, with the exact P_k' of LegendreBasis::reference_basis
};

/// Values per element record of a degree: degree + 1 rounded up to whole vectors.
constexpr std::size_t record_width(std::size_t degree) { return (degree + kLanes) / kLanes * kLanes; }

/// The largest degree whose sums read element records.
constexpr std::size_t kLargestRecordDegree = 5;

/// One function at `count` times, S of Sum::value: `dofs` holds D_k of element e at
/// dofs[e + k * stride] for every element a time lies in (a checked batch), which the
/// grid's `last` bounds. `out` may be `times` itself.
void value_range(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride, const double* times,
                 std::size_t count, double* out) noexcept;

/// As value_range, with Sum::derivative.
void derivative_range(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                      const double* times, std::size_t count, double* out) noexcept;

/// As value_range, with Sum::exact_derivative.
void exact_derivative_range(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                            const double* times, std::size_t count, double* out) noexcept;

/// One function's sums from its element records (D_0 .. D_degree of element e at
/// e * record_width(degree)), for a grid with 32-bit element indices and no
/// overflowing midpoints, degree <= kLargestRecordDegree.
void records_range(Sum kind, const Grid& grid, std::size_t degree, const double* records, const double* times,
                   std::size_t count, double* out) noexcept;

/// The element and reference coordinate of every time, bit for bit
/// LegendreBasis::locate: elements[i] and xis[i] for times[i].
void locate_range(const Grid& grid, const double* times, std::size_t count, std::size_t* elements,
                  double* xis) noexcept;

/// The sums of one function over the times of a block whose basis values stand in a
/// table. The table's rows are grouped by four, each group's values column by column:
/// P_k (or P_k') at row j stands at (j / 4) * 4 * columns + 4 * k + j % 4, so that the
/// values of four rows load as one vector. Row j holds the time `offsets[j]` of the
/// block, which lies in element `elements[j]`; rows up to a multiple of four exist
/// (copies of the last row), of which only the first `rows` are written.
struct TableSums {
    const double* table;
    const std::size_t* elements;
    const std::size_t* offsets;
    const double* dofs;
    double* out;  ///< the function's values at the times of the block
    std::size_t columns;
    std::size_t n_t;
    double width;
    double reciprocal;  ///< 1 / width
    bool derivative;
};

/// out[offsets[j]] of `job` for the rows j in [row_begin, row_end) whose time offset
/// lies in [from, to) (every one, unless `check`), four rows at a time.
void table_sums_range(const TableSums& job, std::size_t row_begin, std::size_t row_end, bool check,
                      std::size_t from, std::size_t to) noexcept;

}  // namespace zorv::kernels
