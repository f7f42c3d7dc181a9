#pragma once
/// @file
/// What the files of LegendreBasis (legendre_basis.cpp, legendre_functions.cpp,
/// legendre_design.cpp) share: the recurrence over the degrees, the midpoint of an
/// element, the stop of a missing element and the batch on element records. Internal
/// to the core.

#include <cmath>
#include <cstddef>
#include <span>

#include "piecewise_polynomials/kernels/evaluation.hpp"
#include "piecewise_polynomials/kernels/location.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"

namespace zorv::basis_detail {

/// Calls visit(k, recurrence) for k = 0 .. degree with the recurrence standing at
/// P_k(xi). One pass of the recurrence gives the same values as recomputing each
/// P_k from P_0 and P_1, at linear instead of quadratic cost.
template <class Visit>
inline void for_each_degree(double xi, std::size_t degree, Visit visit) {
    LegendreRecurrence recurrence(xi);
    for (std::size_t k = 0;; ++k) {
        visit(k, recurrence);
        if (k == degree) break;
        recurrence.advance();
    }
}

/// The stop of an evaluation whose element has no row of dofs (or no element at all);
/// out of line, so that the checks before every evaluation stay small.
[[noreturn, gnu::cold, gnu::noinline]] void stop_no_element();

/// The negated midpoint of an element, as the location rule forms it.
[[gnu::always_inline]] inline double midpoint_negated(double left, double right) noexcept {
    return ElementRule::midpoint_negated(left, right);
}

/// One function's batch on its element records, where they are worth their copy and it
/// can be made: `dofs` holds D_k of element e at dofs[e + k * stride] for the first
/// `rows` elements, which are all the batch reaches. False where the caller is to run
/// the batch on the dofs as they are.
bool sum_on_records(kernels::Sum kind, double width, std::size_t n_t, std::size_t degree, const double* dofs,
                    std::size_t stride, std::size_t rows, std::span<const double> times, std::span<double> out,
                    const InOrder* in_order);

}  // namespace zorv::basis_detail
