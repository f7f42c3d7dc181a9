#include "piecewise_polynomials/legendre_basis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
    const double shifted = t + (left + right) * -0.5;
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

/// Points evaluated side by side in a batch.
constexpr std::size_t kBlock = 4;

/// One double per point of a block, operated on element by element.
using Lanes = double __attribute__((vector_size(kBlock * sizeof(double))));

/// D(c_j, k) of every point j: `rows[j]` points at D(c_j, 0), and the columns of
/// the dof matrix lie `offset` = stride * k apart.
[[gnu::always_inline]] inline void gather(const double* const* rows, std::size_t offset, Lanes& values) {
    for (std::size_t j = 0; j < kBlock; ++j) values[j] = rows[j][offset];
}

/// The Legendre sums of a block of points whose element rows and reference
/// coordinates are known: for each point, S = -0.0 + P_0 D_0 + ... + P_n D_n (or
/// the same with P_k'), with exactly the operations of the single-point evaluation
/// in the same order. Only the arrangement differs: each step runs across the
/// whole block at once, so independent points overlap in vector instructions.
/// (Vectors are passed by reference only; see LegendreRecurrence.)
template <bool derivative>
[[gnu::always_inline]] inline void block_sums(std::size_t degree, std::size_t stride, const double* const* rows,
                                              const double* xi_in, double* sums_out) {
    Lanes xi;
    __builtin_memcpy(&xi, xi_in, sizeof xi);
    Lanes dofs;
    // P_0 = 1 and P_0' = 0; the products are formed as written (0 * D is NaN for D = inf).
    gather(rows, 0, dofs);
    Lanes sums = -0.0 + (derivative ? 0.0 : 1.0) * dofs;
    if (degree >= 1) {
        // P_1 = x and P_1' = 1 (a constant: 1 also where x is NaN, as in a single call).
        const Lanes ones = {1.0, 1.0, 1.0, 1.0};
        gather(rows, stride, dofs);
        sums = sums + (derivative ? ones : xi) * dofs;
        Lanes previous = ones;
        Lanes current = xi;
        Lanes next;
        Lanes factor;
        double kf = 1.0;
        for (std::size_t k = 2; k <= degree; ++k) {
            if (k == 2) {
                LegendreRecurrence::second(xi, next);
            } else {
                LegendreRecurrence::next(xi, current, previous, kf, next);
            }
            previous = current;
            current = next;
            kf = kf + 1.0;
            if (derivative) {
                LegendreRecurrence::derivative(xi, current, previous, kf, factor);
            } else {
                factor = current;
            }
            gather(rows, stride * k, dofs);
            sums = sums + factor * dofs;
        }
    }
    __builtin_memcpy(sums_out, &sums, sizeof sums);
}

// On x86, compiled for the baseline and for AVX2, chosen at load time; both give the
// same bits (the same IEEE operations, and no contraction into fused multiply-adds).
// Other processors run the four-lane vector-extension code as their compiler maps it.
#if defined(__x86_64__) || defined(__i386__)
#define ZORV_X86_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define ZORV_X86_CLONES
#endif

ZORV_X86_CLONES void value_block_sums(std::size_t degree, std::size_t stride, const double* const* rows,
                                      const double* xi, double* sums) {
    block_sums<false>(degree, stride, rows, xi, sums);
}

ZORV_X86_CLONES void derivative_block_sums(std::size_t degree, std::size_t stride, const double* const* rows,
                                           const double* xi, double* sums) {
    block_sums<true>(degree, stride, rows, xi, sums);
}

}  // namespace

void LegendreBasis::evaluate_range(Quantity quantity, const DofMatrix& dofs, std::span<const double> times,
                                   std::span<double> out) const noexcept {
    const auto stride = static_cast<std::size_t>(dofs.rows());
    const double* const data = dofs.data();
    const double width = element_width();
    for (std::size_t first = 0; first < times.size(); first += kBlock) {
        const std::size_t count = std::min(kBlock, times.size() - first);
        const double* rows[kBlock];
        double xi[kBlock];
        double sums[kBlock];
        for (std::size_t j = 0; j < kBlock; ++j) {
            // A short last block repeats its first point; the extra results are dropped.
            const ElementPosition position = locate_in_grid(times[first + (j < count ? j : 0)]);
            rows[j] = data + position.element;
            xi[j] = position.xi;
        }
        if (quantity == Quantity::value) {
            value_block_sums(degree_, stride, rows, xi, sums);
            for (std::size_t j = 0; j < count; ++j) out[first + j] = sums[j];
        } else {
            derivative_block_sums(degree_, stride, rows, xi, sums);
            for (std::size_t j = 0; j < count; ++j) out[first + j] = (sums[j] + sums[j]) / width;
        }
    }
}

void LegendreBasis::evaluate_batch(Quantity quantity, const DofMatrix& dofs, std::span<const double> times,
                                   std::span<double> out, const InOrder* in_order) const {
    // Every stop is raised here, on the calling thread, before any value is
    // written; the ranges run by batch_for cannot fail.
    check_batch(dofs, times);
    if (out.size() != times.size()) stop(assert_eq_message("evaluate_batch: one value per time", out.size(), times.size()));
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

}  // namespace zorv
