#include "piecewise_polynomials/legendre_calculus.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "piecewise_polynomials/kernels/calculus.hpp"
#include "piecewise_polynomials/kernels/lanes.hpp"
#include "piecewise_polynomials/kernels/location.hpp"
#include "piecewise_polynomials/calculus_detail.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace zorv {

using namespace calculus_detail;

using kernels::Compensated;
using kernels::IntegralJob;
using kernels::IntegralRecords;
using kernels::kChunk;

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
    Edges edges;
    ElementRule::edges(w, static_cast<double>(element), edges.left, edges.right);
    return edges;
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
