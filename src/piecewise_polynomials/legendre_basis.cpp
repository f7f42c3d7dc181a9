#include "piecewise_polynomials/legendre_basis.hpp"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <cmath>
#include <limits>
#include <type_traits>

#include "piecewise_polynomials/kernels/evaluation.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace zorv {
namespace {

/// Calls visit(k, recurrence) for k = 0 .. degree with the recurrence standing at
/// P_k(xi). One pass of the recurrence gives the same values as recomputing each
/// P_k from P_0 and P_1, at linear instead of quadratic cost.
template <class Visit>
void for_each_degree(double xi, std::size_t degree, Visit visit) {
    LegendreRecurrence recurrence(xi);
    for (std::size_t k = 0;; ++k) {
        visit(k, recurrence);
        if (k == degree) break;
        recurrence.advance();
    }
}

}  // namespace

namespace {

/// The stop of an evaluation whose element has no row of dofs (or no element at all);
/// out of line, so that the checks before every evaluation stay small.
[[noreturn, gnu::cold, gnu::noinline]] void stop_no_element() { stop("Matrix slicing out of bounds."); }

}  // namespace

std::size_t saturating_floor_index(double value) noexcept {
    // 2^64 (for a 64-bit index) is exact as a double: 2^63 converts exactly and
    // doubling is exact. Every double below it converts without overflow.
    constexpr double index_limit =
        static_cast<double>(std::numeric_limits<std::size_t>::max() / 2 + 1) * 2.0;
    if (!(value >= 0.0)) return 0;  // negative or NaN
    if (value >= index_limit) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(value);  // truncation is the floor for values >= 0
}

double LegendreBasis::element_width() const noexcept { return width_; }

namespace {

/// (left + right) * -0.5 for element ends 0 <= left <= right. Where the sum overflows
/// (ends beyond half the largest double), left * -0.5 + right * -0.5 instead: the ends
/// are normal there, so both halvings are exact and the one rounding of their sum
/// gives what the formula would without the overflow. Every finite sum keeps the
/// formula's own operations, so no other value changes.
[[gnu::always_inline]] inline double midpoint_negated(double left, double right) noexcept {
    const double sum = left + right;
    if (std::isfinite(sum)) [[likely]] return sum * -0.5;
    return left * -0.5 + right * -0.5;
}

}  // namespace

ElementPosition LegendreBasis::locate(double t) const {
    if (n_t_ == 0) [[unlikely]] stop_no_element();
    return locate_in_grid(t);
}

ElementPosition LegendreBasis::locate_in_grid(double t) const noexcept {
    const double w = element_width();
    std::size_t element = saturating_floor_index(t / w);
    if (element >= n_t_) element = n_t_ - 1;
    const double left = w * static_cast<double>(element);
    const double right = w + left;
    // xi = (2 (t - (left + right) / 2)) / (right - left), with the midpoint
    // subtracted as t + (left + right) * (-0.5); halving and doubling are exact.
    const double shifted = t + midpoint_negated(left, right);
    double xi = (2.0 * shifted) / (right - left);
    if (xi < -1.0) {
        xi = -1.0;
    } else if (xi > 1.0) {
        xi = 1.0;
    }
    return {element, xi};
}

std::size_t legendre_dof_count(std::size_t n_t, std::size_t degree) {
    std::size_t columns = 0;
    if (__builtin_add_overflow(degree, std::size_t{1}, &columns)) stop("capacity overflow");
    const std::size_t count = mul_or_capacity_stop(n_t, columns);
    check_capacity(count, sizeof(double));
    return count;
}

std::size_t LegendreBasis::dof_count() const { return legendre_dof_count(n_t_, degree_); }

void LegendreBasis::check_dofs(std::size_t element, const DofMatrix& dofs) const {
    if (static_cast<std::size_t>(dofs.rows()) <= element) [[unlikely]] stop_no_element();
    if (static_cast<std::size_t>(dofs.cols()) <= degree_) [[unlikely]] stop("Matrix index out of bounds.");
}

void LegendreBasis::check_batch(const DofMatrix& dofs, std::span<const double> times) const {
    const bool every_element_fits = n_t_ >= 1 && static_cast<std::size_t>(dofs.rows()) >= n_t_ &&
                                    static_cast<std::size_t>(dofs.cols()) > degree_;
    if (every_element_fits) return;
    // Some time may stop: find the first, as the single calls in order would.
    for (const double t : times) check_dofs(locate(t).element, dofs);
}

template <LegendreBasis::Quantity quantity>
double LegendreBasis::point_value(ElementPosition position, const DofMatrix& dofs) const noexcept {
    constexpr bool derivative = quantity == Quantity::derivative;
    const auto row = static_cast<Eigen::Index>(position.element);
    double sum = -0.0;
    for_each_degree(position.xi, degree_, [&](std::size_t k, const LegendreRecurrence& p) {
        const double term = (derivative ? p.derivative() : p.value()) * dofs(row, static_cast<Eigen::Index>(k));
        sum = sum + term;
    });
    return derivative ? (sum + sum) / element_width() : sum;
}

template <LegendreBasis::Quantity quantity>
double LegendreBasis::evaluate_point(double t, const DofMatrix& dofs) const {
    const ElementPosition position = locate(t);
    check_dofs(position.element, dofs);
    return point_value<quantity>(position, dofs);
}

double LegendreBasis::evaluate(double t, const DofMatrix& dofs) const {
    return evaluate_point<Quantity::value>(t, dofs);
}

double LegendreBasis::evaluate_derivative(double t, const DofMatrix& dofs) const {
    return evaluate_point<Quantity::derivative>(t, dofs);
}

template <class Entry>
std::vector<double> LegendreBasis::spread_over_layout(double t, Entry entry) const {
    const std::size_t count = dof_count();
    const ElementPosition position = locate(t);
    std::vector<double> values(count, 0.0);
    // element < n_t and k <= degree, so element + n_t * k < count: no overflow.
    for_each_degree(position.xi, degree_, [&](std::size_t k, const LegendreRecurrence& p) {
        values[position.element + n_t_ * k] = entry(p);
    });
    return values;
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    return spread_over_layout(t, [](const LegendreRecurrence& p) { return p.value(); });
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    const double w = element_width();
    return spread_over_layout(t, [w](const LegendreRecurrence& p) {
        return (2.0 * p.derivative()) / w;
    });
}

namespace {

using kernels::Grid;
using kernels::grid_of;
using kernels::kLargestRecordDegree;
using kernels::record_width;
using kernels::Sum;
using kernels::TableSums;
using kernels::derivative_range;
using kernels::exact_derivative_range;
using kernels::locate_range;
using kernels::records_range;
using kernels::table_sums_range;
using kernels::value_range;

/// A function's dofs copied element by element (D_0 .. D_degree of element e at
/// e * record_width(degree)), from a cache-line boundary, so that the kernel reads an
/// element's coefficients as vectors rather than value by value from degree + 1
/// columns. Worth its copy where a batch has more times than dofs.
class ElementRecords {
public:
    /// Whether a batch of `count` times on a grid of n_t elements reads records: small
    /// degrees, at least twice as many times as dofs, records of at most 512 KiB (a
    /// batch's memory beyond its output stays small), a grid with 32-bit element indices
    /// and no overflowing midpoints.
    static bool worth(double width, std::size_t n_t, std::size_t degree, std::size_t count) noexcept {
        constexpr std::size_t kLargestRecords = 512 * 1024 / sizeof(double);
        if (degree > kLargestRecordDegree || n_t == 0 || count / 2 / (degree + 1) < n_t) return false;
        if (n_t > kLargestRecords / record_width(degree)) return false;
        const Grid grid = grid_of(width, n_t, n_t);
        return grid.narrow && !grid.halves;
    }

    /// `dofs` holds D_k of element e at dofs[e + k * stride]. Never throws: where the
    /// copy cannot be allocated, data() is null and the caller reads the dofs as they are
    /// (a batch may run where the process is short of memory, and its checks are done).
    ElementRecords(const double* dofs, std::size_t stride, std::size_t n_t, std::size_t degree) noexcept {
        constexpr std::size_t kLine = 64 / sizeof(double);
        const std::size_t width = record_width(degree);
        // n_t records and kLine - 1 values of room to align.
        memory_.reset(new (std::nothrow) double[n_t * width + kLine]());
        if (!memory_) return;
        data_ = memory_.get() +
                (kLine - reinterpret_cast<std::uintptr_t>(memory_.get()) / sizeof(double) % kLine) % kLine;
        for (std::size_t e = 0; e < n_t; ++e) {
            for (std::size_t k = 0; k <= degree; ++k) data_[e * width + k] = dofs[e + k * stride];
        }
    }

    const double* data() const noexcept { return data_; }

private:
    std::unique_ptr<double[]> memory_;
    double* data_ = nullptr;
};

/// One function's batch on its element records, where they are worth their copy and it
/// can be made (see ElementRecords): `dofs` holds D_k of element e at dofs[e + k * stride]
/// for the first `rows` elements, which are all the batch reaches. False where the
/// caller is to run the batch on the dofs as they are.
bool sum_on_records(Sum kind, double width, std::size_t n_t, std::size_t degree, const double* dofs,
                    std::size_t stride, std::size_t rows, std::span<const double> times, std::span<double> out,
                    const InOrder* in_order) {
    if (!ElementRecords::worth(width, n_t, degree, times.size())) return false;
    const ElementRecords records(dofs, stride, std::min(n_t, rows), degree);
    if (records.data() == nullptr) return false;
    const Grid grid = grid_of(width, n_t, rows);
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        records_range(kind, grid, degree, records.data(), times.data() + begin, end - begin, out.data() + begin);
    }, in_order);
    return true;
}

}  // namespace

void LegendreBasis::evaluate_range(Quantity quantity, const DofMatrix& dofs, std::span<const double> times,
                                   std::span<double> out) const noexcept {
    // Every time of a checked batch lies in an element with a row of dofs, so below 2^52.
    const auto stride = static_cast<std::size_t>(dofs.rows());
    const Grid grid = grid_of(element_width(), n_t_, stride);
    if (quantity == Quantity::value) {
        value_range(grid, degree_, dofs.data(), stride, times.data(), times.size(), out.data());
    } else {
        derivative_range(grid, degree_, dofs.data(), stride, times.data(), times.size(), out.data());
    }
}

void LegendreBasis::evaluate_batch(Quantity quantity, const DofMatrix& dofs, std::span<const double> times,
                                   std::span<double> out, const InOrder* in_order) const {
    // Every stop is raised here, on the calling thread, before any value is
    // written; the ranges run by batch_for cannot fail.
    check_batch(dofs, times);
    if (out.size() != times.size()) stop(assert_eq_message("evaluate_batch: one value per time", out.size(), times.size()));
    // (A checked batch reads only the elements the dof matrix has rows for.)
    const auto rows = static_cast<std::size_t>(dofs.rows());
    const Sum kind = quantity == Quantity::value ? Sum::value : Sum::derivative;
    if (sum_on_records(kind, element_width(), n_t_, degree_, dofs.data(), rows, rows, times, out, in_order)) return;
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        evaluate_range(quantity, dofs, times.subspan(begin, end - begin), out.subspan(begin, end - begin));
    }, in_order);
}

std::vector<double> LegendreBasis::evaluate_many(const DofMatrix& dofs,
                                                 std::span<const double> times) const {
    std::vector<double> values(times.size());
    evaluate_batch(Quantity::value, dofs, times, values);
    return values;
}

std::vector<double> LegendreBasis::evaluate_derivative_many(const DofMatrix& dofs,
                                                            std::span<const double> times) const {
    std::vector<double> values(times.size());
    evaluate_batch(Quantity::derivative, dofs, times, values);
    return values;
}

void LegendreBasis::locate_many(std::span<const double> times, std::span<std::size_t> elements,
                                std::span<double> xi) const noexcept {
    assert(n_t_ > 0 && elements.size() == times.size() && xi.size() == times.size());
    locate_range(grid_of(element_width(), n_t_, n_t_), times.data(), times.size(), elements.data(), xi.data());
}

}  // namespace zorv

// ---- many functions, exact derivatives, the design matrix, projection -------------

namespace zorv {

void LegendreBasis::reference_basis(double xi, bool derivative, std::span<double> values) const noexcept {
    if (!derivative) {
        for_each_degree(xi, degree_, [&](std::size_t k, const LegendreRecurrence& p) { values[k] = p.value(); });
        return;
    }
    values[0] = 0.0;
    if (degree_ == 0) return;
    values[1] = 1.0;
    // P'_(k+1) = P'_(k-1) + (2k+1) P_k for k = 1 .. degree - 1: every term is a
    // bounded P_k times an exact odd integer, so no cancellation grows as xi -> +-1.
    double kf = 1.0;
    for_each_degree(xi, degree_ - 1, [&](std::size_t k, const LegendreRecurrence& p) {
        if (k == 0) return;
        values[k + 1] = values[k - 1] + ((kf + kf) + 1.0) * p.value();
        kf = kf + 1.0;
    });
}

double LegendreBasis::direct_sum(bool derivative, ElementPosition position, const double* dofs) const noexcept {
    // The sums of evaluate_functions_range without a table: the recurrence runs
    // alongside, P'_(k-1) and P'_k carried, the same operations in the same order.
    const double* d = dofs + position.element;
    double sum = -0.0;
    double before = 0.0;   // P'_(k-1)
    double current = 0.0;  // P'_k
    double kf = 1.0;
    for_each_degree(position.xi, degree_, [&](std::size_t k, const LegendreRecurrence& p) {
        double factor = p.value();
        if (derivative) {
            if (k == 1) {
                before = 0.0;
                current = 1.0;
            } else if (k >= 2) {
                const double next = before + ((kf + kf) + 1.0) * p.previous_value();
                before = current;
                current = next;
                kf = kf + 1.0;
            }
            factor = current;
        }
        sum = sum + factor * d[k * n_t_];
    });
    if (derivative) exact_derivative_scale(sum, element_width(), 1.0 / element_width(), sum);
    return sum;
}

namespace {

/// Times per block of the many-function kernel: a block's table of basis values
/// holds at most 16384 doubles (128 KiB), or the values of one time when the degree
/// is higher, and never more than 1024 times.
std::size_t time_block_for(std::size_t degree) noexcept {
    constexpr std::size_t kTableValues = 16384;
    return std::clamp<std::size_t>(kTableValues / (degree + 1), 1, 1024);
}

/// From this many functions on, the times of a block are taken in element order, so
/// that each function's dofs are read nearly in sequence (sorting costs about as
/// much as a few functions' sums).
constexpr std::size_t kSortFromFunctions = 32;

/// `count` rounded up to whole groups of four.
constexpr std::size_t whole_groups(std::size_t count) noexcept { return (count + kLanes - 1) / kLanes * kLanes; }

}  // namespace

/// The basis values of a block of times, and where each time lies: working memory of
/// a range, or formed once and shared by every range when the times fit one block.
struct LegendreBasis::BlockTable {
    std::unique_ptr<double[]> table;           ///< whole_groups(block) * columns basis values
    std::unique_ptr<double[]> row;             ///< the basis values of one time
    std::unique_ptr<double[]> xi;              ///< per time of the block
    std::unique_ptr<std::size_t[]> located;    ///< element per time of the block
    std::unique_ptr<std::size_t[]> elements;   ///< element per table row
    std::unique_ptr<std::size_t[]> offsets;    ///< time offset per table row
    bool sorted = false;                       ///< rows in element order, else row j holds time j

    BlockTable(std::size_t block, std::size_t columns) noexcept
        : table(new (std::nothrow) double[whole_groups(block) * columns]),
          row(new (std::nothrow) double[columns]),
          xi(new (std::nothrow) double[block]),
          located(new (std::nothrow) std::size_t[block]),
          elements(new (std::nothrow) std::size_t[whole_groups(block)]),
          offsets(new (std::nothrow) std::size_t[block]) {}

    bool usable() const noexcept { return table && row && xi && located && elements && offsets; }
};

void LegendreBasis::fill_block_table(BlockTable& block, bool derivative, const double* times, std::size_t count,
                                     bool sorted) const noexcept {
    const std::size_t columns = degree_ + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const ElementPosition position = locate_in_grid(times[i]);
        block.located[i] = position.element;
        block.xi[i] = position.xi;
        block.offsets[i] = i;
    }
    block.sorted = sorted;
    if (sorted) {
        std::sort(block.offsets.get(), block.offsets.get() + count, [&](std::size_t a, std::size_t b) {
            return block.located[a] < block.located[b] || (block.located[a] == block.located[b] && a < b);
        });
    }
    for (std::size_t j = 0; j < whole_groups(count); ++j) {
        // Rows beyond the last repeat it, so that every group reads real dofs.
        const std::size_t i = block.offsets[std::min(j, count - 1)];
        block.elements[j] = block.located[i];
        reference_basis(block.xi[i], derivative, {block.row.get(), columns});
        double* const group = block.table.get() + j / kLanes * kLanes * columns + j % kLanes;
        for (std::size_t k = 0; k < columns; ++k) group[kLanes * k] = block.row[k];
    }
}

void LegendreBasis::evaluate_functions_range(bool derivative, const double* dofs, std::size_t functions,
                                             std::span<const double> times, double* out, std::size_t block,
                                             const BlockTable* shared, std::size_t begin,
                                             std::size_t end) const noexcept {
    // Flat order of the evaluations: time block by time block; within a block of
    // `len` times starting at time `first`, function by function, and within a
    // function time by time. Evaluation (f, i) of the block is at
    // first * functions + f * len + (i - first). A range that covers several
    // functions of a block applies the basis values of the block's times, formed
    // once in a table (the shared one when there is a single block), to all those
    // functions; a range within one function forms them as it sums.
    const std::size_t n = times.size();
    const std::size_t columns = degree_ + 1;
    const std::size_t n_dofs = n_t_ * columns;
    const double width = element_width();
    const std::size_t per_block = block * functions;  // <= n * functions: block <= n

    const Grid grid = grid_of(width, n_t_, n_t_);
    const auto one_function = [&](std::size_t f, std::size_t from, std::size_t count) {
        // No table: the sums of four times at once in vector lanes.
        const double* const function_dofs = dofs + f * n_dofs;
        if (derivative) {
            exact_derivative_range(grid, degree_, function_dofs, n_t_, times.data() + from, count, out + f * n + from);
        } else {
            value_range(grid, degree_, function_dofs, n_t_, times.data() + from, count, out + f * n + from);
        }
    };
    if (functions == 1) {
        // Evaluation x is time x: the whole range in one call of the kernel.
        one_function(0, begin, end - begin);
        return;
    }
    std::optional<BlockTable> own;  // this range's table, made at its first use
    for (std::size_t x = begin; x < end;) {
        const std::size_t b = x / per_block;
        const std::size_t first = b * block;
        const std::size_t len = std::min(block, n - first);
        const std::size_t base = b * per_block;
        const std::size_t stop_at = std::min(end, base + len * functions);
        const std::size_t f_first = (x - base) / len;
        const std::size_t i_first = (x - base) % len;
        const std::size_t f_last = (stop_at - 1 - base) / len;
        const std::size_t i_last = (stop_at - 1 - base) % len;
        x = stop_at;
        if (f_first == f_last) {
            one_function(f_first, first + i_first, i_last + 1 - i_first);
            continue;
        }
        const BlockTable* table = shared;
        if (table == nullptr) {
            if (!own) own.emplace(block, columns);
            if (!own->usable()) [[unlikely]] {
                // No memory for a table: the same sums, the recurrence run per evaluation.
                for (std::size_t f = f_first; f <= f_last; ++f) {
                    const std::size_t to = f == f_last ? i_last + 1 : len;
                    for (std::size_t i = f == f_first ? i_first : 0; i < to; ++i) {
                        out[f * n + first + i] =
                            direct_sum(derivative, locate_in_grid(times[first + i]), dofs + f * n_dofs);
                    }
                }
                continue;
            }
            fill_block_table(*own, derivative, times.data() + first, len, f_last - f_first + 1 >= kSortFromFunctions);
            table = &*own;
        }
        // Several functions: the basis values of the block's times, from the table.
        for (std::size_t f = f_first; f <= f_last; ++f) {
            const std::size_t from = f == f_first ? i_first : 0;
            const std::size_t to = f == f_last ? i_last + 1 : len;
            const TableSums sums{table->table.get(), table->elements.get(), table->offsets.get(), dofs + f * n_dofs,
                                 out + f * n + first, columns, n_t_, width, 1.0 / width, derivative};
            if (table->sorted) {
                table_sums_range(sums, 0, len, from != 0 || to != len, from, to);
            } else {
                table_sums_range(sums, from, to, false, from, to);  // row j holds the time j
            }
        }
    }
}

void LegendreBasis::evaluate_functions(bool derivative, std::span<const double> dofs, std::size_t functions,
                                       std::span<const double> times, std::span<double> out) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t n_dofs = dof_count();
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != dof_values) {
        stop(assert_eq_message("evaluate_functions: n_t * (degree + 1) dofs per function", dofs.size(), dof_values));
    }
    const std::size_t evaluations = mul_or_capacity_stop(functions, times.size());
    if (out.size() != evaluations) {
        stop(assert_eq_message("evaluate_functions: one value per function and time", out.size(), evaluations));
    }
    if (evaluations == 0) return;
    const Sum kind = derivative ? Sum::exact_derivative : Sum::value;
    if (functions == 1 &&
        sum_on_records(kind, element_width(), n_t_, degree_, dofs.data(), n_t_, n_t_, times, out, nullptr)) {
        return;
    }
    const std::size_t block = std::min(time_block_for(degree_), times.size());
    // Times that fit one block: their table is formed once, here, instead of once by
    // every range of the pool (each range would otherwise locate and sort them all).
    std::optional<BlockTable> shared;
    if (functions > 1 && block == times.size()) {
        shared.emplace(block, degree_ + 1);
        if (shared->usable()) {
            fill_block_table(*shared, derivative, times.data(), block, functions >= kSortFromFunctions);
        } else {
            shared.reset();
        }
    }
    const BlockTable* const table = shared ? &*shared : nullptr;
    batch_for(evaluations, [&](std::size_t begin, std::size_t end) {
        evaluate_functions_range(derivative, dofs.data(), functions, times, out.data(), block, table, begin, end);
    });
}

template <class Index>
void LegendreBasis::basis_matrix_entries(bool derivative, std::span<const double> times, std::span<Index> columns,
                                         std::span<double> values) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t n_dofs = dof_count();
    if (n_dofs - 1 > static_cast<std::size_t>(std::numeric_limits<Index>::max())) stop("capacity overflow");
    const std::size_t per_row = degree_ + 1;
    const std::size_t entries = mul_or_capacity_stop(times.size(), per_row);
    if (columns.size() != entries) {
        stop(assert_eq_message("basis_matrix_entries: degree + 1 columns per time", columns.size(), entries));
    }
    if (values.size() != entries) {
        stop(assert_eq_message("basis_matrix_entries: degree + 1 values per time", values.size(), entries));
    }
    const double width = element_width();
    const double reciprocal = 1.0 / width;
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const ElementPosition position = locate_in_grid(times[i]);
            double* const row_values = values.data() + i * per_row;
            Index* const row_columns = columns.data() + i * per_row;
            reference_basis(position.xi, derivative, {row_values, per_row});
            for (std::size_t k = 0; k < per_row; ++k) {
                if (derivative) exact_derivative_scale(row_values[k], width, reciprocal, row_values[k]);
                row_columns[k] = static_cast<Index>(position.element + n_t_ * k);
            }
        }
    });
}

template void LegendreBasis::basis_matrix_entries<std::int32_t>(bool, std::span<const double>, std::span<std::int32_t>,
                                                                std::span<double>) const;
template void LegendreBasis::basis_matrix_entries<std::int64_t>(bool, std::span<const double>, std::span<std::int64_t>,
                                                                std::span<double>) const;

std::vector<double> LegendreBasis::quadrature_times(std::span<const double> nodes) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t q = nodes.size();
    const std::size_t count = mul_or_capacity_stop(n_t_, q);
    check_capacity(count, sizeof(double));
    std::vector<double> times(count);
    const double w = element_width();
    for (std::size_t e = 0; e < n_t_; ++e) {
        const double left = w * static_cast<double>(e);
        const double right = w + left;
        const double middle = -midpoint_negated(left, right);
        const double half = (right - left) * 0.5;
        for (std::size_t j = 0; j < q; ++j) times[e * q + j] = middle + nodes[j] * half;
    }
    return times;
}

void LegendreBasis::project(std::span<const double> nodes, std::span<const double> weights,
                            std::span<const double> samples, std::size_t functions, std::span<double> dofs) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t q = nodes.size();
    if (weights.size() != q) stop(assert_eq_message("project: one weight per node", weights.size(), q));
    const std::size_t n_dofs = dof_count();
    const std::size_t per_function = mul_or_capacity_stop(n_t_, q);
    const std::size_t sample_count = mul_or_capacity_stop(functions, per_function);
    if (samples.size() != sample_count) {
        stop(assert_eq_message("project: one sample per function and quadrature time", samples.size(), sample_count));
    }
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != dof_values) {
        stop(assert_eq_message("project: n_t * (degree + 1) dofs per function", dofs.size(), dof_values));
    }
    // moments[j * columns + k] = ((2k + 1) / 2) w_j P_k(x_j): the coefficient of P_k of
    // the projection is the quadrature of f P_k over the reference interval divided
    // by the norm 2 / (2k + 1) of P_k.
    const std::size_t columns = degree_ + 1;
    std::vector<double> moments(mul_or_capacity_stop(q, columns));
    for (std::size_t j = 0; j < q; ++j) {
        const std::span<double> row(moments.data() + j * columns, columns);
        reference_basis(nodes[j], false, row);
        double kf = 0.0;
        for (std::size_t k = 0; k < columns; ++k) {
            row[k] = (((kf + kf) + 1.0) * 0.5) * (weights[j] * row[k]);
            kf = kf + 1.0;
        }
    }
    batch_for(mul_or_capacity_stop(functions, n_t_), [&](std::size_t begin, std::size_t end) {
        for (std::size_t index = begin; index < end; ++index) {
            const std::size_t f = index / n_t_;
            const std::size_t e = index % n_t_;
            const double* const s = samples.data() + f * per_function + e * q;
            double* const d = dofs.data() + f * n_dofs + e;
            for (std::size_t k = 0; k < columns; ++k) {
                double sum = 0.0;
                for (std::size_t j = 0; j < q; ++j) sum = sum + moments[j * columns + k] * s[j];
                d[n_t_ * k] = sum;
            }
        }
    });
}

}  // namespace zorv
