#include "piecewise_polynomials/legendre_calculus.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "piecewise_polynomials/kernels/calculus.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/calculus_detail.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace zorv {

using namespace calculus_detail;

namespace {

using kernels::DerivativeJob;
using kernels::kChunk;
using kernels::kStackColumns;

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

/// Whether a time of times[0, count) lies outside [0, T], as `outside` says: from the
/// least and the greatest time, formed two at a time in vectors of the baseline
/// instruction set (this file's) by conditionals that pass over a NaN, as `outside` does.
bool any_outside(const double* times, std::size_t count, double T) {
    using Two = double __attribute__((vector_size(2 * sizeof(double))));
    Two least = {0.0, 0.0};
    Two greatest = {T, T};
    std::size_t i = 0;
    for (; count - i >= 2; i += 2) {
        Two t;
        __builtin_memcpy(&t, times + i, sizeof t);
        least = t < least ? t : least;
        greatest = t > greatest ? t : greatest;
    }
    bool any = outside(least[0], T) || outside(least[1], T) || outside(greatest[0], T) || outside(greatest[1], T);
    if (i < count) any = any || outside(times[i], T);
    return any;
}

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
        // Blocks of times that are all inside, the common case, are passed over after one
        // vector test each: a test per time cost as much as the derivative kernel itself.
        constexpr std::size_t kBlock = 64;
        double row[kStackColumns];
        const std::size_t stop = std::min(n, (end + functions - 1) / functions);
        for (std::size_t first = (begin + functions - 1) / functions; first < stop; first += kBlock) {
            const std::size_t last = std::min(stop, first + kBlock);
            if (!any_outside(times.data() + first, last - first, T)) continue;
            for (std::size_t i = first; i < last; ++i) correct(i, row);
        }
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
