#pragma once
/// @file
/// Calculus on the discontinuous Legendre space of a LegendreBasis: derivatives of
/// any order, what a function is outside [0, T], antiderivatives, definite
/// integrals, the L2 inner product, and the weighted least-squares fit.
///
/// Functions are given as in LegendreBasis::evaluate_functions: `functions` dof
/// vectors one after another, each n_t * (degree + 1) values in the Legendre dof
/// layout (the coefficient of P_k on element e at e + n_t * k). Per-time results are
/// laid out as out[f * times + i] for function f at time i.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "piecewise_polynomials/legendre_basis.hpp"

namespace zorv {

/// @brief What a function of the space is at a time t outside [0, T] (t < 0 or
/// t > T; 0 and T themselves are inside). A NaN time is not outside: as for
/// LegendreBasis::locate it lies on element 0 at xi = NaN, which gives NaN except
/// where the derivative asked for is a constant (order degree) or zero (above it).
enum class Extrapolation {
    /// The value held: f(t) = f(0) for t < 0 and f(T) for t > T, bit for bit what
    /// LegendreBasis::evaluate gives (the end element at xi = -1 or +1). Consistently,
    /// every derivative of order >= 1 is 0 there, and an integral over a part outside
    /// [0, T] is the held value times its length (0 when the held value is 0, also
    /// for an infinite length).
    clamp,
    /// The end element's polynomial continued (its reference coordinate not clamped
    /// to [-1, 1]), with its derivatives and integrals; at t = -inf or +inf the limit
    /// of that polynomial (+-inf by the sign of its leading term, or its constant).
    /// Far outside, where the recurrence overflows, values may be inf or NaN.
    extend,
    /// NaN for every time outside [0, T], and for every integral with a bound there.
    nan,
    /// A stop naming the first time (or bound) outside [0, T], before any work.
    raise,
};

/// @brief "time <t> lies outside [0, <T>]" with shortest round-trip numbers: the
/// stop of Extrapolation::raise.
std::string outside_message(double t, double T);

/// @brief The order-m derivatives P_0^(m)(xi) .. P_degree^(m)(xi) into
/// values[0 .. degree] (at least degree + 1 elements).
///
/// Order 0 is the three-term recurrence and order 1 the sum
/// P'_(k+1) = P'_(k-1) + (2k+1) P_k, bit for bit LegendreBasis::reference_basis.
/// Each further order repeats that sum on the previous order,
/// P^(j)_(k+1) = P^(j)_(k-1) + (2k+1) P^(j-1)_k, starting from P^(j)_0 = P^(j)_1 = 0:
/// every step adds terms of one sign at xi = +-1, so the values there are the exact
/// integers (k+j)! / (2^j j! (k-j)!) (times (+-1)^(k-j)) while they fit in 53 bits,
/// and inside the interval the error stays a few units of the size P_k^(j)(1).
/// Orders above the degree give zeros. Any finite or infinite xi is accepted.
void legendre_derivatives(double xi, std::size_t degree, std::size_t order, std::span<double> values) noexcept;

/// @brief The order-m time derivative of many functions at many times, under an
/// extrapolation rule: out[f * times.size() + i] is (2 / w)^m sum_k c_k P_k^(m)(xi)
/// of function f at times[i], the sum S = -0.0 + P_0^(m) c_0 + ... formed in k order
/// and then scaled m times by S <- (S + S) (1 / w), or (S + S) / w on a grid whose
/// 1 / w is not normal (not at all when m > degree).
///
/// Inside [0, T] (and for the clamp rule's values everywhere) orders 0 and 1 are
/// bit for bit LegendreBasis::evaluate_functions. At an element end the result is
/// the one-sided derivative of the element the time belongs to (LegendreBasis::locate).
/// From kParallelThreshold evaluations (functions * times) on, the work runs on the
/// process-wide pool. `out` must not overlap `dofs`; it may coincide with `times`
/// only when functions is 1 and the rule is clamp with m = 0.
/// @throws Stop "Matrix slicing out of bounds." when n_t = 0; the three-line count
///         message when dofs or out has the wrong size; outside_message under the
///         raise rule; the pool's stop. Nothing is written before a stop.
void evaluate_derivatives(const LegendreBasis& basis, std::size_t order, Extrapolation rule,
                          std::span<const double> dofs, std::size_t functions, std::span<const double> times,
                          std::span<double> out);

/// @brief The design matrix of the order-m derivative at `times` under a rule, as
/// LegendreBasis::basis_matrix_entries (row i: degree + 1 entries in columns
/// element_i + n_t * k, k increasing) with values (2 / w)^m P_k^(m)(xi_i), scaled
/// as in evaluate_derivatives. Orders 0 and 1 inside [0, T] are bit for bit
/// basis_matrix_entries. Outside [0, T] the row is that of the end element: the held
/// values P_k(+-1) (order 0) or zeros (clamp), the continued polynomials (extend; at
/// +-inf their limits, 0, the constant, or +-inf), or NaN (nan).
/// @throws as basis_matrix_entries; outside_message under the raise rule.
template <class Index>
void derivative_matrix_entries(const LegendreBasis& basis, std::size_t order, Extrapolation rule,
                               std::span<const double> times, std::span<Index> columns, std::span<double> values);

/// @brief The antiderivative of each function as dofs of the space of degree + 1 on
/// the same grid: continuous, zero at t = 0, derivative equal to the function.
///
/// On element e with coefficients c_0 .. c_n (n = degree), the integral from the
/// element's left end is (w / 2) sum_j b_j P_j with b_0 = c_0 - c_1 / 3 and
/// b_j = c_(j-1) / (2j - 1) - c_(j+1) / (2j + 3) (c beyond n is 0), from
/// int_(-1)^xi P_k = (P_(k+1) - P_(k-1)) / (2k + 1) and int_(-1)^xi P_0 = P_0 + P_1.
/// The integral over the elements before e, sum w c_0, is accumulated left to right
/// in twice the working precision and added to the coefficient of P_0.
/// @param out functions * n_t * (degree + 2) values.
/// @throws Stop "Matrix slicing out of bounds." when n_t = 0; "capacity overflow";
///         the count message when dofs or out has the wrong size.
void antiderivative(const LegendreBasis& basis, std::span<const double> dofs, std::size_t functions,
                    std::span<double> out);

/// @brief The integral of each function over [lower[i], upper[i]] (negated when
/// upper < lower) into out[f * bounds + i], with the parts outside [0, T] given by
/// the extrapolation rule.
///
/// Bounds within one element are integrated directly: sum_k c_k times the integral
/// of P_k between the two reference coordinates, from the differences
/// P_j(b) - P_j(a) carried by their own recurrence, so that close bounds give an
/// integral accurate relative to its own size rather than to the function's
/// antiderivative. Bounds in [0, T] on different elements are taken four pairs at
/// once: each end part is the distance to its element end (formed from the times)
/// times c_0 +- (1 +- xi) sum_(k >= 1) c_k P_k'(xi) / (k (k + 1)), which is as
/// accurate relative to its own size. Whole elements in between are added from
/// prefix sums in twice the working precision. Exact for the space's functions to rounding.
/// A NaN bound gives NaN. From kParallelThreshold integrals on, runs on the pool.
/// @throws Stop as antiderivative; the count message when the bounds differ in
///         length or out has the wrong size; outside_message (the first bound
///         outside, lower before upper) under the raise rule.
void integrate(const LegendreBasis& basis, Extrapolation rule, std::span<const double> dofs, std::size_t functions,
               std::span<const double> lower, std::span<const double> upper, std::span<double> out);

/// @brief The L2 inner products over [0, T] of functions f of `a` and of `b`, into
/// out[f]: sum_e sum_k (w / (2k + 1)) a_ek b_ek, since the Legendre mass matrix of
/// an element is diagonal with entries w / (2k + 1). Summed with compensation.
/// @throws Stop "Matrix slicing out of bounds." when n_t = 0; the count message.
void inner_products(const LegendreBasis& basis, std::span<const double> a, std::span<const double> b,
                    std::size_t functions, std::span<double> out);

/// @brief The L2 norms over [0, T]: out[f] = sqrt(inner(f, f)).
void norms(const LegendreBasis& basis, std::span<const double> dofs, std::size_t functions, std::span<double> out);

/// @brief The weighted least-squares fit: for each function f, the dofs minimising
/// sum_i weights[i] (u(t_i) - y[f * t.size() + i])^2 over the space.
///
/// The normal equations are block diagonal, one (degree + 1)^2 system per element
/// (the samples of that element, P_k at their reference coordinates): each is
/// solved by Cholesky, all right-hand sides at once; an element whose factor has a
/// pivot below 1e-8 of its diagonal (nearly dependent columns) is solved instead
/// by a column-pivoted QR of its weighted design block. An element whose samples
/// with positive weight lie at fewer than degree + 1 distinct times cannot be
/// fitted: the fit stops naming the first such elements. Linear in the samples.
/// A sample time belongs to the element LegendreBasis::locate gives it.
/// @param weights empty (all 1) or one per time: finite and >= 0.
/// @param out functions * n_dofs values.
/// @throws Stop with a message naming the problem, before any work (except that
///   repeated times are found only among the elements solved by QR, after the
///   others have been written to `out`, whose contents are then unspecified):
///   "fit: time <t> at position <i> is not finite", "fit: time <t> lies outside [0, <T>]",
///   "fit: weight <w> at position <i> is not a finite non-negative number",
///   "fit: sample <y> of function <f> at position <i> is not finite",
///   "fit: elements 3, 7 have fewer than <degree + 1> distinct sample times of
///    positive weight" (at most five listed, then "and <n> more"),
///   or the count message; "Matrix slicing out of bounds." when n_t = 0.
void fit(const LegendreBasis& basis, std::span<const double> t, std::span<const double> y, std::size_t functions,
         std::span<const double> weights, std::span<double> out);

}  // namespace zorv
