#include "piecewise_polynomials/legendre_calculus.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include <Eigen/Dense>

#include "piecewise_polynomials/kernels/calculus.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace zorv {
namespace {

using kernels::Compensated;
using kernels::DerivativeJob;
using kernels::IntegralJob;
using kernels::IntegralRecords;
using kernels::kChunk;
using kernels::kStackColumns;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string shortest(double value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

[[noreturn]] void stop_no_element() { stop("Matrix slicing out of bounds."); }

/// The element width T / n_t, formed as LegendreBasis forms it.
double width_of(const LegendreBasis& basis) { return basis.T() / static_cast<double>(basis.n_t()); }

bool outside(double t, double T) { return t < 0.0 || t > T; }

/// The reference coordinate of t on an element's polynomial continued: locate's
/// formula without the clamp to [-1, 1], so that it meets locate's -1 at 0 and +1 at
/// the last element's right end. The element is the first for t < 0, else the last,
/// unless given.
ElementPosition extended_position(const LegendreBasis& basis, double t, std::size_t element) {
    const double w = width_of(basis);
    const double left = w * static_cast<double>(element);
    const double right = w + left;
    const double shifted = t + (left + right) * -0.5;
    return {element, (2.0 * shifted) / (right - left)};
}

ElementPosition extended_position(const LegendreBasis& basis, double t) {
    return extended_position(basis, t, t < 0.0 ? 0 : basis.n_t() - 1);
}

/// exact_derivative_scale, `order` times; nothing for orders above the degree, whose
/// sums are zeros (or NaN).
double scale_derivative(double sum, std::size_t order, std::size_t degree, double w) {
    if (order > degree) return sum;
    const double reciprocal = 1.0 / w;
    for (std::size_t j = 0; j < order; ++j) exact_derivative_scale(sum, w, reciprocal, sum);
    return sum;
}

/// P_m^(m), the constant (2m - 1)!! = 1 * 3 * ... * (2m - 1) (exact while it fits 53 bits).
double top_derivative(std::size_t order) {
    double product = 1.0;
    for (std::size_t j = 1; j <= order; ++j) product = product * static_cast<double>(2 * j - 1);
    return product;
}

/// The limit of P_k^(order)(xi) as xi -> sign * inf: 0 below the order, the constant
/// at it, +-inf (the sign of sign^(k - order)) above.
double basis_limit(std::size_t k, std::size_t order, double sign) {
    if (k < order) return 0.0;
    if (k == order) return top_derivative(order);
    return ((k - order) & 1) != 0 ? std::copysign(kInf, sign) : kInf;
}

/// The limit as xi -> sign * inf of sum_(k >= order) c_k P_k^(order)(xi), for the
/// coefficients c_k = coefficients[k * stride], k = 0 .. degree: the leading
/// nonzero term decides (+-inf), a constant remains when that term is the
/// order-th one, and 0 when there is none. A NaN coefficient gives NaN.
double derivative_limit(const double* coefficients, std::size_t stride, std::size_t degree, std::size_t order,
                        double sign) {
    std::size_t top = degree + 1;
    for (std::size_t k = order; k <= degree; ++k) {
        const double c = coefficients[k * stride];
        if (std::isnan(c)) return kNaN;
        if (c != 0.0) top = k;
    }
    if (top > degree) return 0.0;
    return basis_limit(top, order, sign) * coefficients[top * stride];
}

template <class Row>
double row_sum(const Row& row, const double* dofs, std::size_t element, std::size_t n_t, std::size_t columns) {
    const double* const d = dofs + element;
    double sum = -0.0;
    for (std::size_t k = 0; k < columns; ++k) sum = sum + row[k] * d[k * n_t];
    return sum;
}

/// Checks the raise rule: the first time outside [0, T] stops.
void check_inside(std::span<const double> times, double T) {
    for (const double t : times) {
        if (outside(t, T)) stop(outside_message(t, T));
    }
}

}  // namespace

std::string outside_message(double t, double T) {
    return "time " + shortest(t) + " lies outside [0, " + shortest(T) + "]";
}

// ---- derivatives of any order --------------------------------------------------------

void legendre_derivatives(double xi, std::size_t degree, std::size_t order, std::span<double> values) noexcept {
    if (order > degree) {
        std::fill(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(degree + 1), 0.0);
        return;
    }
    // Order 0: the three-term recurrence, as LegendreBasis::reference_basis runs it.
    LegendreRecurrence recurrence(xi);
    for (std::size_t k = 0;; ++k) {
        values[k] = recurrence.value();
        if (k == degree) break;
        recurrence.advance();
    }
    // Order j from order j - 1, in place: step k reads the old P^(j-1)_k (kept in
    // `old_k` before it was overwritten) and the new P^(j)_(k-1).
    for (std::size_t j = 1; j <= order; ++j) {
        double old_k = values[1];
        values[0] = 0.0;
        values[1] = j == 1 ? 1.0 : 0.0;
        double kf = 1.0;
        for (std::size_t k = 1; k + 1 <= degree; ++k) {
            const double old_next = values[k + 1];
            values[k + 1] = values[k - 1] + ((kf + kf) + 1.0) * old_k;
            old_k = old_next;
            kf = kf + 1.0;
        }
    }
}

namespace {

/// What a time outside [0, T] gives under a rule other than raise (which never gets
/// here): 0 for clamp (orders >= 1), NaN, or the end element's polynomial continued.
/// `row` holds degree + 1 values of working memory.
double outside_value(const LegendreBasis& basis, std::size_t order, Extrapolation rule, const double* function_dofs,
                     double t, double* row) {
    if (rule == Extrapolation::clamp) return 0.0;
    if (rule == Extrapolation::nan) return kNaN;
    const std::size_t degree = basis.degree();
    const ElementPosition position = extended_position(basis, t);
    double sum;
    if (std::isinf(position.xi)) {
        sum = derivative_limit(function_dofs + position.element, basis.n_t(), degree, order, position.xi);
    } else {
        legendre_derivatives(position.xi, degree, order, {row, degree + 1});
        sum = row_sum(row, function_dofs, position.element, basis.n_t(), degree + 1);
    }
    return scale_derivative(sum, order, degree, width_of(basis));
}

/// Writes the outside values of time i for functions [f_begin, f_end): rare, out of line.
[[gnu::noinline, gnu::cold]] void correct_outside(const LegendreBasis& basis, Extrapolation rule,
                                                  const DerivativeJob& job, std::size_t i, std::size_t f_begin,
                                                  std::size_t f_end) {
    double row[kStackColumns];
    const std::size_t n_dofs = job.n_t * (job.degree + 1);
    for (std::size_t f = f_begin; f < f_end; ++f) {
        job.out[f * job.n + i] = outside_value(basis, job.order, rule, job.dofs + f * n_dofs, job.times[i], row);
    }
}

/// The evaluations [begin, end): their times located a chunk at a time, summed by the
/// vector kernel, and those outside [0, T] then given their rule's values.
void derivative_lanes_range(const LegendreBasis& basis, Extrapolation rule, const DerivativeJob& job,
                            std::size_t begin, std::size_t end) {
    const std::size_t functions = job.functions;
    const std::size_t i_begin = begin / functions;
    const std::size_t i_end = (end - 1) / functions + 1;
    std::size_t elements[kChunk];
    double xis[kChunk];
    std::size_t outside[kChunk];
    for (std::size_t chunk = i_begin; chunk < i_end; chunk += kChunk) {
        const std::size_t count = std::min(kChunk, i_end - chunk);
        basis.locate_many({job.times + chunk, count}, {elements, count}, {xis, count});
        const std::size_t listed = kernels::derivative_chunk(job, chunk, count, elements, xis, begin, end, outside);
        for (std::size_t o = 0; o < listed; ++o) {
            const std::size_t i = outside[o];
            const std::size_t from = i * functions < begin ? begin - i * functions : 0;
            const std::size_t last = end - i * functions;
            correct_outside(basis, rule, job, i, from, last < functions ? last : functions);
        }
    }
}

}  // namespace

void evaluate_derivatives(const LegendreBasis& basis, std::size_t order, Extrapolation rule,
                          std::span<const double> dofs, std::size_t functions, std::span<const double> times,
                          std::span<double> out) {
    const std::size_t n_t = basis.n_t();
    if (n_t == 0) stop_no_element();
    const std::size_t degree = basis.degree();
    const std::size_t columns = degree + 1;
    const std::size_t n_dofs = basis.n_dofs();
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != dof_values) {
        stop(assert_eq_message("evaluate_derivatives: n_t * (degree + 1) dofs per function", dofs.size(), dof_values));
    }
    const std::size_t n = times.size();
    const std::size_t evaluations = mul_or_capacity_stop(functions, n);
    if (out.size() != evaluations) {
        stop(assert_eq_message("evaluate_derivatives: one value per function and time", out.size(), evaluations));
    }
    const double T = basis.T();
    if (rule == Extrapolation::raise) check_inside(times, T);
    if (evaluations == 0) return;
    const double w = width_of(basis);

    if (order >= 2 && columns <= kStackColumns) {
        // The vector kernel, with the times outside [0, T] given their rule's values as it goes.
        const DerivativeJob job{degree, order, n_t, T, w, dofs.data(), functions, times.data(), n, out.data()};
        batch_for(evaluations,
                  [&](std::size_t begin, std::size_t end) { derivative_lanes_range(basis, rule, job, begin, end); });
        return;
    }
    if (order <= 1) {
        // The existing kernel, bit for bit; times outside are corrected below.
        basis.evaluate_functions(order == 1, dofs, functions, times, out);
    } else {
        // High degrees: one row of basis values per time, formed before the sums.
        require_allocatable(mul_or_capacity_stop(n, columns), sizeof(double));
        std::vector<double> table(n * columns);
        batch_for(n, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                legendre_derivatives(basis.locate(times[i]).xi, degree, order, {table.data() + i * columns, columns});
            }
        });
        batch_for(evaluations, [&](std::size_t begin, std::size_t end) {
            for (std::size_t x = begin; x < end; ++x) {
                const std::size_t i = x / functions;
                const std::size_t f = x % functions;
                const double sum = row_sum(table.data() + i * columns, dofs.data() + f * n_dofs,
                                           basis.locate(times[i]).element, n_t, columns);
                out[f * n + i] = scale_derivative(sum, order, degree, w);
            }
        });
    }

    // Times outside [0, T]: the clamp rule's values are already the held ones.
    if (rule == Extrapolation::clamp && order == 0) return;
    const auto correct = [&](std::size_t i, double* row) {
        const double t = times[i];
        if (!outside(t, T)) return;
        for (std::size_t f = 0; f < functions; ++f) {
            out[f * n + i] = outside_value(basis, order, rule, dofs.data() + f * n_dofs, t, row);
        }
    };
    if (rule == Extrapolation::extend && columns > kStackColumns) {
        // High degrees: on the calling thread, with one row of working memory.
        std::vector<double> row(columns);
        for (std::size_t i = 0; i < n; ++i) correct(i, row.data());
        return;
    }
    batch_for(evaluations, [&](std::size_t begin, std::size_t end) {
        // Time i is corrected by the range holding its first evaluation i * functions.
        double row[kStackColumns];
        for (std::size_t i = (begin + functions - 1) / functions; i < n && i * functions < end; ++i) correct(i, row);
    });
}

template <class Index>
void derivative_matrix_entries(const LegendreBasis& basis, std::size_t order, Extrapolation rule,
                               std::span<const double> times, std::span<Index> columns, std::span<double> values) {
    const double T = basis.T();
    if (basis.n_t() == 0) stop_no_element();
    if (rule == Extrapolation::raise) check_inside(times, T);
    const std::size_t degree = basis.degree();
    const std::size_t per_row = degree + 1;
    if (order <= 1) {
        basis.basis_matrix_entries<Index>(order == 1, times, columns, values);
    } else {
        // The columns and every check of the order-0 matrix; the values are replaced.
        basis.basis_matrix_entries<Index>(false, times, columns, values);
        const double w = width_of(basis);
        batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const ElementPosition position = basis.locate(times[i]);
                const std::span<double> row(values.data() + i * per_row, per_row);
                legendre_derivatives(position.xi, degree, order, row);
                for (std::size_t k = 0; k < per_row; ++k) {
                    row[k] = scale_derivative(row[k], order, degree, w);
                }
            }
        });
    }
    if (rule == Extrapolation::clamp && order == 0) return;
    const double w = width_of(basis);
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const double t = times[i];
            if (!outside(t, T)) continue;
            const std::span<double> row(values.data() + i * per_row, per_row);
            if (rule == Extrapolation::clamp) {
                std::fill(row.begin(), row.end(), 0.0);
            } else if (rule == Extrapolation::nan) {
                std::fill(row.begin(), row.end(), kNaN);
            } else {
                const ElementPosition position = extended_position(basis, t);
                if (std::isinf(position.xi)) {
                    for (std::size_t k = 0; k < per_row; ++k) row[k] = basis_limit(k, order, position.xi);
                } else {
                    legendre_derivatives(position.xi, degree, order, row);
                }
                for (std::size_t k = 0; k < per_row; ++k) row[k] = scale_derivative(row[k], order, degree, w);
            }
        }
    });
}

template void derivative_matrix_entries<std::int32_t>(const LegendreBasis&, std::size_t, Extrapolation,
                                                      std::span<const double>, std::span<std::int32_t>,
                                                      std::span<double>);
template void derivative_matrix_entries<std::int64_t>(const LegendreBasis&, std::size_t, Extrapolation,
                                                      std::span<const double>, std::span<std::int64_t>,
                                                      std::span<double>);

}  // namespace zorv

// ---- antiderivative, definite integrals, inner products -----------------------------

namespace zorv {
namespace {

/// The checks shared by the operations on dof vectors: n_t >= 1 and the dof count.
std::size_t checked_dof_count(const LegendreBasis& basis, std::span<const double> dofs, std::size_t functions,
                              const char* what) {
    if (basis.n_t() == 0) stop_no_element();
    const std::size_t n_dofs = basis.n_dofs();
    const std::size_t expected = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != expected) stop(assert_eq_message(what, dofs.size(), expected));
    return n_dofs;
}

/// The edges of element e as LegendreBasis::locate forms them.
struct Edges {
    double left;
    double right;
};

Edges edges_of(double w, std::size_t element) {
    const double left = w * static_cast<double>(element);
    return {left, w + left};
}

/// The reciprocals the integrals divide by, formed once per call: 1 / (2k + 1) and
/// 1 / (k + 1) for k = 0 .. degree (multiplications replace the divisions of the
/// recurrences, which would otherwise bound the speed; each adds one rounding).
struct Reciprocals {
    std::vector<double> odd;
    std::vector<double> next;
    std::vector<double> quotients;  ///< 1 / (k (k + 1)), k >= 1 (0 at k = 0)

    explicit Reciprocals(std::size_t degree) : odd(degree + 1), next(degree + 1), quotients(degree + 1) {
        for (std::size_t k = 0; k <= degree; ++k) {
            const double kf = static_cast<double>(k);
            odd[k] = 1.0 / static_cast<double>(2 * k + 1);
            next[k] = 1.0 / static_cast<double>(k + 1);
            quotients[k] = k == 0 ? 0.0 : 1.0 / (kf * (kf + 1.0));
        }
    }
};

/// (w / 2) sum_k c_k int_(xa)^(xb) P_k for the coefficients c_k = d[k * n_t], where
/// delta = xb - xa is given (formed from the times, accurate when they are close).
///
/// int_(xa)^(xb) P_0 = delta and int_(xa)^(xb) P_k = (D_(k+1) - D_(k-1)) / (2k + 1)
/// with D_j = P_j(xb) - P_j(xa), carried by the difference of the three-term
/// recurrence at the two points: D_0 = 0, D_1 = delta,
/// (k+1) D_(k+1) = (2k+1) (xb D_k + delta P_k(xa)) - k D_(k-1).
/// Every D_j is then a multiple of delta, with no subtraction of nearby values.
double piece_integral(const double* d, std::size_t n_t, std::size_t degree, double xa, double xb, double delta,
                      double half_width, const Reciprocals& reciprocals) {
    double sum = -0.0 + delta * d[0];
    double p_before = 1.0;   // P_(k-1)(xa)
    double p_current = xa;   // P_k(xa)
    double before = 0.0;     // D_(k-1)
    double current = delta;  // D_k
    double kf = 1.0;
    for (std::size_t k = 1; k <= degree; ++k) {
        const double odd = (kf + kf) + 1.0;
        const double next = (odd * ((xb * current) + (delta * p_current)) - kf * before) * reciprocals.next[k];
        sum = sum + ((next - before) * reciprocals.odd[k]) * d[k * n_t];
        const double p_next = (odd * (xa * p_current) - kf * p_before) * reciprocals.next[k];
        p_before = p_current;
        p_current = p_next;
        before = current;
        current = next;
        kf = kf + 1.0;
    }
    return half_width * sum;
}

/// The coefficients b_0 .. b_(degree+1) of the antiderivative from the element's
/// left end, before the factor w / 2: b_0 = c_0 - c_1 / 3 and
/// b_j = c_(j-1) / (2j - 1) - c_(j+1) / (2j + 3).
/// b_j is written at b[j * b_stride].
void antiderivative_coefficients(const double* d, std::size_t n_t, std::size_t degree, double* b,
                                 std::size_t b_stride) {
    const auto c = [&](std::size_t k) { return k <= degree ? d[k * n_t] : 0.0; };
    b[0] = c(0) - c(1) / 3.0;
    double jf = 1.0;
    for (std::size_t j = 1; j <= degree + 1; ++j) {
        b[j * b_stride] = c(j - 1) / ((jf + jf) - 1.0) - c(j + 1) / ((jf + jf) + 3.0);
        jf = jf + 1.0;
    }
}

}  // namespace

void antiderivative(const LegendreBasis& basis, std::span<const double> dofs, std::size_t functions,
                    std::span<double> out) {
    const std::size_t n_dofs = checked_dof_count(basis, dofs, functions, "antiderivative: n_t * (degree + 1) dofs per function");
    const std::size_t n_t = basis.n_t();
    const std::size_t degree = basis.degree();
    const std::size_t out_dofs = legendre_dof_count(n_t, degree + 1);
    const std::size_t expected = mul_or_capacity_stop(functions, out_dofs);
    if (out.size() != expected) {
        stop(assert_eq_message("antiderivative: n_t * (degree + 2) dofs per function", out.size(), expected));
    }
    const double w = width_of(basis);
    const double half = w * 0.5;
    batch_for(functions, [&](std::size_t begin, std::size_t end) {
        for (std::size_t f = begin; f < end; ++f) {
            const double* const d = dofs.data() + f * n_dofs;
            double* const o = out.data() + f * out_dofs;
            Compensated before;  // the integral over the elements left of e
            for (std::size_t e = 0; e < n_t; ++e) {
                // (w / 2) b_j in the column of element e, the integral before it added to b_0.
                antiderivative_coefficients(d + e, n_t, degree, o + e, n_t);
                for (std::size_t j = 0; j <= degree + 1; ++j) o[e + j * n_t] = half * o[e + j * n_t];
                o[e] = o[e] + before.total();
                before.add(w * d[e]);
            }
        }
    });
}

void integrate(const LegendreBasis& basis, Extrapolation rule, std::span<const double> dofs, std::size_t functions,
               std::span<const double> lower, std::span<const double> upper, std::span<double> out) {
    const std::size_t n_dofs = checked_dof_count(basis, dofs, functions, "integrate: n_t * (degree + 1) dofs per function");
    const std::size_t n = lower.size();
    if (upper.size() != n) stop(assert_eq_message("integrate: one upper bound per lower bound", upper.size(), n));
    const std::size_t count = mul_or_capacity_stop(functions, n);
    if (out.size() != count) stop(assert_eq_message("integrate: one value per function and bound", out.size(), count));
    const double T = basis.T();
    if (rule == Extrapolation::raise) {
        for (std::size_t i = 0; i < n; ++i) {
            if (outside(lower[i], T)) stop(outside_message(lower[i], T));
            if (outside(upper[i], T)) stop(outside_message(upper[i], T));
        }
    }
    if (count == 0) return;
    const std::size_t n_t = basis.n_t();
    const std::size_t degree = basis.degree();
    const std::size_t columns = degree + 1;
    const double w = width_of(basis);
    const double half = w * 0.5;

    // Per function: the prefix sums of the element integrals w c_0 in twice the
    // working precision, and what the parts outside [0, T] need.
    const std::size_t prefix_count = mul_or_capacity_stop(functions, n_t + 1);
    require_allocatable(prefix_count, 2 * sizeof(double));
    std::vector<Compensated> prefix(prefix_count);
    std::vector<double> held_left(functions), held_right(functions), limit_left(functions), limit_right(functions);
    std::vector<double> row(columns + 1);
    const Reciprocals reciprocals(degree);
    // And the vector kernel's records of every element (see IntegralRecords), from a
    // cache-line boundary. The kernel serves calls with at least as many pairs as
    // elements (fewer would not repay the records: each is four times a prefix sum)
    // on grids whose element indices fit 32 bits and whose 2 / w is finite; other
    // calls take the general way for every pair.
    const bool lanes = n >= n_t && n_t - 1 <= 2147483647u && std::isfinite(2.0 / w);
    const IntegralRecords layout{degree};
    constexpr std::size_t kLine = 64 / sizeof(double);
    // (One record more than the elements, of at least kLine values, leaves room to align.)
    const std::size_t record_values =
        lanes ? mul_or_capacity_stop(prefix_count - functions + 1, layout.stride()) : 0;
    require_allocatable(record_values, sizeof(double));
    std::vector<double> record_memory(record_values);
    double* const records =
        record_memory.data() + (kLine - reinterpret_cast<std::uintptr_t>(record_memory.data()) / sizeof(double) % kLine) % kLine;
    // A length in t as a length in xi: (length / w) 2, which neither overflows nor
    // loses bits where w is subnormal (2 / w would be infinite there).
    const auto to_reference = [w](double length) { return (length / w) * 2.0; };
    const ElementPosition first = basis.locate(0.0);
    const ElementPosition last = basis.locate(T);
    for (std::size_t f = 0; f < functions; ++f) {
        const double* const d = dofs.data() + f * n_dofs;
        Compensated* const p = prefix.data() + f * (n_t + 1);
        for (std::size_t e = 0; e < n_t; ++e) {
            p[e + 1] = p[e];
            p[e + 1].add(w * d[e]);
            if (lanes) {
                layout.fill(d + e, n_t, p[e], p[e + 1], reciprocals.quotients.data(),
                            records + (f * n_t + e) * layout.stride());
            }
        }
        legendre_derivatives(first.xi, degree, 0, row);
        held_left[f] = row_sum(row, d, first.element, n_t, columns);
        legendre_derivatives(last.xi, degree, 0, row);
        held_right[f] = row_sum(row, d, last.element, n_t, columns);
        // The limits at -inf and +inf of the end elements' antiderivatives.
        antiderivative_coefficients(d, n_t, degree, row.data(), 1);
        limit_left[f] = half * derivative_limit(row.data(), 1, degree + 1, 0, -1.0);
        antiderivative_coefficients(d + (n_t - 1), n_t, degree, row.data(), 1);
        limit_right[f] = half * derivative_limit(row.data(), 1, degree + 1, 0, 1.0);
    }

    // The integral over [start, end] (start < end), both on one side outside [0, T].
    const auto outside_part = [&](std::size_t f, const double* d, double start, double end, bool left) {
        if (rule == Extrapolation::clamp) {
            const double held = left ? held_left[f] : held_right[f];
            return held == 0.0 ? 0.0 : held * (end - start);
        }
        // extend: the end element's polynomial continued.
        if (std::isinf(start) || std::isinf(end)) {
            // The antiderivative is constant only for a zero polynomial (limit 0);
            // otherwise its infinite limit decides the integral.
            const double limit = left ? limit_left[f] : limit_right[f];
            if (std::isfinite(limit)) return 0.0;
            return left ? -limit : limit;
        }
        const std::size_t element = left ? 0 : n_t - 1;
        const Edges edges = edges_of(w, element);
        const double xa = extended_position(basis, start, element).xi;
        const double xb = extended_position(basis, end, element).xi;
        const double delta = (2.0 * (end - start)) / (edges.right - edges.left);
        return piece_integral(d + element, n_t, degree, xa, xb, delta, half, reciprocals);
    };

    const auto inside_part = [&](std::size_t f, const double* d, double lo, double hi) {
        const ElementPosition a = basis.locate(lo);
        const ElementPosition b = basis.locate(hi);
        if (a.element == b.element) {
            const double delta = std::max(0.0, to_reference(hi - lo));
            return piece_integral(d + a.element, n_t, degree, a.xi, b.xi, delta, half, reciprocals);
        }
        const Edges ea = edges_of(w, a.element);
        const Edges eb = edges_of(w, b.element);
        const double delta_a = std::max(0.0, to_reference(ea.right - lo));
        const double delta_b = std::max(0.0, to_reference(hi - eb.left));
        const Compensated* const p = prefix.data() + f * (n_t + 1);
        const Compensated& to = p[b.element];
        const Compensated& from = p[a.element + 1];
        const double middle = (to.hi - from.hi) + (to.lo - from.lo);
        const double left_piece = piece_integral(d + a.element, n_t, degree, a.xi, 1.0, delta_a, half, reciprocals);
        const double right_piece = piece_integral(d + b.element, n_t, degree, -1.0, b.xi, delta_b, half, reciprocals);
        return (left_piece + middle) + right_piece;
    };

    // One pair the general way: parts outside [0, T], both bounds in one element
    // (integrated directly, accurate for close bounds), NaN.
    const auto general = [&](std::size_t f, std::size_t i) {
        double a = lower[i];
        double b = upper[i];
        if (std::isnan(a) || std::isnan(b) || (rule == Extrapolation::nan && (outside(a, T) || outside(b, T)))) {
            return kNaN;
        }
        if (a == b) return 0.0;
        const bool reversed = b < a;
        if (reversed) std::swap(a, b);
        const double* const d = dofs.data() + f * n_dofs;
        double sum = 0.0;
        if (a < 0.0) sum = sum + outside_part(f, d, a, std::min(b, 0.0), true);
        const double lo = std::max(a, 0.0);
        const double hi = std::min(b, T);
        if (lo < hi) sum = sum + inside_part(f, d, lo, hi);
        if (b > T) sum = sum + outside_part(f, d, std::max(a, T), b, false);
        return reversed ? -sum : sum;
    };

    batch_for(count, [&](std::size_t begin, std::size_t end) {
        // Function by function, a chunk of pairs at a time: the regular pairs in
        // vector lanes, the others listed by the kernel and done here.
        std::size_t special[kChunk];
        for (std::size_t x = begin; x < end;) {
            const std::size_t f = x / n;
            const std::size_t i = x % n;
            const std::size_t chunk = std::min({kChunk, n - i, end - x});
            if (!lanes) {
                for (std::size_t s = i; s < i + chunk; ++s) out[f * n + s] = general(f, s);
                x += chunk;
                continue;
            }
            const IntegralJob job{degree, T, w, static_cast<double>(n_t - 1), records + f * n_t * layout.stride(),
                                  lower.data(), upper.data(), out.data() + f * n};
            const std::size_t listed = kernels::integral_chunk(job, i, chunk, special);
            for (std::size_t s = 0; s < listed; ++s) out[f * n + special[s]] = general(f, special[s]);
            x += chunk;
        }
    });
}

void inner_products(const LegendreBasis& basis, std::span<const double> a, std::span<const double> b,
                    std::size_t functions, std::span<double> out) {
    const std::size_t n_dofs = checked_dof_count(basis, a, functions, "inner: n_t * (degree + 1) dofs per function");
    checked_dof_count(basis, b, functions, "inner: n_t * (degree + 1) dofs per function");
    if (out.size() != functions) stop(assert_eq_message("inner: one value per function", out.size(), functions));
    const std::size_t n_t = basis.n_t();
    const double w = width_of(basis);
    batch_for(functions, [&](std::size_t begin, std::size_t end) {
        for (std::size_t f = begin; f < end; ++f) {
            Compensated sum;
            double kf = 0.0;
            for (std::size_t k = 0; k <= basis.degree(); ++k) {
                const double weight = w / ((kf + kf) + 1.0);  // the mass matrix entry of P_k
                const double* const x = a.data() + f * n_dofs + k * n_t;
                const double* const y = b.data() + f * n_dofs + k * n_t;
                for (std::size_t e = 0; e < n_t; ++e) sum.add(weight * (x[e] * y[e]));
                kf = kf + 1.0;
            }
            out[f] = sum.total();
        }
    });
}

void norms(const LegendreBasis& basis, std::span<const double> dofs, std::size_t functions, std::span<double> out) {
    inner_products(basis, dofs, dofs, functions, out);
    for (double& value : out) value = std::sqrt(value);
}

}  // namespace zorv

// ---- the least-squares fit -----------------------------------------------------------

namespace zorv {
namespace {

/// Pivots of the Cholesky factor below this fraction of their diagonal entry mark
/// nearly dependent columns: the normal equations would lose about twice as many
/// digits as the design block, so that element is solved by QR instead.
constexpr double kPivotFloor = 1e-8;

/// The stop of a fit with elements that cannot be determined.
[[noreturn]] void stop_underdetermined(const std::vector<std::size_t>& elements, std::size_t columns) {
    std::string text = elements.size() == 1 ? "fit: element " : "fit: elements ";
    constexpr std::size_t kListed = 5;
    for (std::size_t j = 0; j < elements.size() && j < kListed; ++j) {
        if (j > 0) text += ", ";
        text += std::to_string(elements[j]);
    }
    if (elements.size() > kListed) text += " and " + std::to_string(elements.size() - kListed) + " more";
    text += elements.size() == 1 ? " has" : " have";
    text += " fewer than " + std::to_string(columns) + " distinct sample times of positive weight";
    stop(text);
}

}  // namespace

void fit(const LegendreBasis& basis, std::span<const double> t, std::span<const double> y, std::size_t functions,
         std::span<const double> weights, std::span<double> out) {
    if (basis.n_t() == 0) stop_no_element();
    const std::size_t n_t = basis.n_t();
    const std::size_t degree = basis.degree();
    const std::size_t columns = degree + 1;
    const std::size_t n_dofs = basis.n_dofs();
    const std::size_t n = t.size();
    const std::size_t samples = mul_or_capacity_stop(functions, n);
    if (y.size() != samples) stop(assert_eq_message("fit: one sample per function and time", y.size(), samples));
    if (!weights.empty() && weights.size() != n) stop(assert_eq_message("fit: one weight per time", weights.size(), n));
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (out.size() != dof_values) {
        stop(assert_eq_message("fit: n_t * (degree + 1) dofs per function", out.size(), dof_values));
    }
    const double T = basis.T();
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(t[i])) stop("fit: time " + shortest(t[i]) + " at position " + std::to_string(i) + " is not finite");
        if (outside(t[i], T)) stop("fit: " + outside_message(t[i], T));
    }
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (!(weights[i] >= 0.0) || std::isinf(weights[i])) {
            stop("fit: weight " + shortest(weights[i]) + " at position " + std::to_string(i) +
                 " is not a finite non-negative number");
        }
    }
    for (std::size_t f = 0; f < functions; ++f) {
        for (std::size_t i = 0; i < n; ++i) {
            const double value = y[f * n + i];
            if (!std::isfinite(value)) {
                stop("fit: sample " + shortest(value) + " of function " + std::to_string(f) + " at position " +
                     std::to_string(i) + " is not finite");
            }
        }
    }
    const auto weight = [&](std::size_t i) { return weights.empty() ? 1.0 : weights[i]; };

    // The samples of positive weight, grouped by element (a counting sort), with
    // their basis values P_0 .. P_degree in one row each.
    std::vector<std::size_t> start(n_t + 1, 0);
    std::vector<ElementPosition> position(n);
    for (std::size_t i = 0; i < n; ++i) {
        position[i] = basis.locate(t[i]);
        if (weight(i) > 0.0) ++start[position[i].element + 1];
    }
    std::vector<std::size_t> underdetermined;
    for (std::size_t e = 0; e < n_t; ++e) {
        if (start[e + 1] < columns) underdetermined.push_back(e);
        start[e + 1] += start[e];
    }
    if (!underdetermined.empty()) stop_underdetermined(underdetermined, columns);
    const std::size_t used = start[n_t];
    std::vector<std::size_t> order(used);
    {
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            if (weight(i) > 0.0) order[next[position[i].element]++] = i;
        }
    }
    require_allocatable(mul_or_capacity_stop(used, columns), sizeof(double));
    std::vector<double> rows(used * columns);
    const std::size_t gram_size = mul_or_capacity_stop(columns, columns);
    require_allocatable(mul_or_capacity_stop(n_t, gram_size), sizeof(double));
    std::vector<double> gram(n_t * gram_size);
    std::vector<unsigned char> needs_qr(n_t, 0);

    batch_for(used, [&](std::size_t begin, std::size_t end) {
        for (std::size_t s = begin; s < end; ++s) {
            legendre_derivatives(position[order[s]].xi, degree, 0, {rows.data() + s * columns, columns});
        }
    });
    batch_for(n_t, [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
            // The lower triangle of G = sum_s w_s p_s p_s^T, and the right-hand sides
            // sum_s w_s y_s p_s in the output (function f's column of element e).
            double* const g = gram.data() + e * gram_size;
            std::fill(g, g + gram_size, 0.0);
            for (std::size_t s = start[e]; s < start[e + 1]; ++s) {
                const double* const p = rows.data() + s * columns;
                const double ws = weight(order[s]);
                for (std::size_t j = 0; j < columns; ++j) {
                    const double wp = ws * p[j];
                    for (std::size_t k = 0; k <= j; ++k) g[j * columns + k] += wp * p[k];
                }
            }
            for (std::size_t f = 0; f < functions; ++f) {
                double* const rhs = out.data() + f * n_dofs + e;
                for (std::size_t k = 0; k < columns; ++k) rhs[k * n_t] = 0.0;
                for (std::size_t s = start[e]; s < start[e + 1]; ++s) {
                    const double* const p = rows.data() + s * columns;
                    const double wy = weight(order[s]) * y[f * n + order[s]];
                    for (std::size_t k = 0; k < columns; ++k) rhs[k * n_t] += wy * p[k];
                }
            }
            // G = L L^T in place (lower triangle).
            bool accepted = true;
            for (std::size_t j = 0; j < columns && accepted; ++j) {
                double pivot = g[j * columns + j];
                for (std::size_t m = 0; m < j; ++m) pivot -= g[j * columns + m] * g[j * columns + m];
                if (!(pivot > kPivotFloor * g[j * columns + j])) {
                    accepted = false;
                    break;
                }
                const double l = std::sqrt(pivot);
                g[j * columns + j] = l;
                for (std::size_t i = j + 1; i < columns; ++i) {
                    double value = g[i * columns + j];
                    for (std::size_t m = 0; m < j; ++m) value -= g[i * columns + m] * g[j * columns + m];
                    g[i * columns + j] = value / l;
                }
            }
            if (!accepted) {
                needs_qr[e] = 1;
                continue;
            }
            for (std::size_t f = 0; f < functions; ++f) {
                double* const x = out.data() + f * n_dofs + e;
                for (std::size_t j = 0; j < columns; ++j) {  // L z = rhs
                    double value = x[j * n_t];
                    for (std::size_t m = 0; m < j; ++m) value -= g[j * columns + m] * x[m * n_t];
                    x[j * n_t] = value / g[j * columns + j];
                }
                for (std::size_t j = columns; j-- > 0;) {  // L^T x = z
                    double value = x[j * n_t];
                    for (std::size_t m = j + 1; m < columns; ++m) value -= g[m * columns + j] * x[m * n_t];
                    x[j * n_t] = value / g[j * columns + j];
                }
            }
        }
    });

    // Nearly dependent columns: a column-pivoted QR of the weighted design block, on
    // the calling thread; fewer distinct times than columns cannot be fitted.
    for (std::size_t e = 0; e < n_t; ++e) {
        if (needs_qr[e] == 0) continue;
        const std::size_t count = start[e + 1] - start[e];
        std::vector<double> distinct;
        for (std::size_t s = start[e]; s < start[e + 1]; ++s) distinct.push_back(position[order[s]].xi);
        std::sort(distinct.begin(), distinct.end());
        if (static_cast<std::size_t>(std::unique(distinct.begin(), distinct.end()) - distinct.begin()) < columns) {
            underdetermined.push_back(e);
            continue;
        }
        Eigen::MatrixXd design(count, columns);
        Eigen::MatrixXd right(count, functions);
        for (std::size_t s = 0; s < count; ++s) {
            const std::size_t i = order[start[e] + s];
            const double root = std::sqrt(weight(i));
            for (std::size_t k = 0; k < columns; ++k) design(s, k) = root * rows[(start[e] + s) * columns + k];
            for (std::size_t f = 0; f < functions; ++f) right(s, f) = root * y[f * n + i];
        }
        const Eigen::MatrixXd solution = design.colPivHouseholderQr().solve(right);
        for (std::size_t f = 0; f < functions; ++f) {
            for (std::size_t k = 0; k < columns; ++k) out[f * n_dofs + e + k * n_t] = solution(k, f);
        }
    }
    if (!underdetermined.empty()) stop_underdetermined(underdetermined, columns);
}

}  // namespace zorv
