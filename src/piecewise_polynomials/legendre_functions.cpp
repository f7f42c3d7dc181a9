#include "piecewise_polynomials/legendre_basis.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <optional>

#include "piecewise_polynomials/basis_detail.hpp"
#include "piecewise_polynomials/kernels/evaluation.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

// The operations of LegendreBasis on many functions: their values and exact derivatives
// at many times, the basis values of the reference interval.

namespace zorv {

using namespace basis_detail;
using kernels::exact_derivative_range;
using kernels::TableSums;
using kernels::table_sums_range;
using kernels::value_range;
using kernels::Sum;
using kernels::Grid;
using kernels::grid_of;

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

}  // namespace zorv
