#include "piecewise_polynomials/legendre_basis.hpp"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <new>
#include <cmath>
#include <limits>

#include "piecewise_polynomials/basis_detail.hpp"
#include "piecewise_polynomials/kernels/evaluation.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace zorv {

using namespace basis_detail;

[[noreturn, gnu::cold, gnu::noinline]] void basis_detail::stop_no_element() { stop("Matrix slicing out of bounds."); }

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

ElementPosition LegendreBasis::locate(double t) const {
    if (n_t_ == 0) [[unlikely]] stop_no_element();
    return locate_in_grid(t);
}

ElementPosition LegendreBasis::locate_in_grid(double t) const noexcept {
    const double w = element_width();
    std::size_t element = saturating_floor_index(t / w);
    if (element >= n_t_) element = n_t_ - 1;
    double left;
    double right;
    ElementRule::edges(w, static_cast<double>(element), left, right);
    double xi;
    ElementRule::reference(t, left, right, ElementRule::midpoint_negated(left, right), xi);
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

}  // namespace

/// One function's batch on its element records, where they are worth their copy and it
/// can be made (see ElementRecords): `dofs` holds D_k of element e at dofs[e + k * stride]
/// for the first `rows` elements, which are all the batch reaches. False where the
/// caller is to run the batch on the dofs as they are.
bool basis_detail::sum_on_records(Sum kind, double width, std::size_t n_t, std::size_t degree, const double* dofs,
                                  std::size_t stride, std::size_t rows, std::span<const double> times,
                                  std::span<double> out, const InOrder* in_order) {
    if (!ElementRecords::worth(width, n_t, degree, times.size())) return false;
    const ElementRecords records(dofs, stride, std::min(n_t, rows), degree);
    if (records.data() == nullptr) return false;
    const Grid grid = grid_of(width, n_t, rows);
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        records_range(kind, grid, degree, records.data(), times.data() + begin, end - begin, out.data() + begin);
    }, in_order);
    return true;
}

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

