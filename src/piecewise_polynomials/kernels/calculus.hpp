#pragma once
/// @file
/// The vector kernels of zorv_arrays' calculus: derivatives of order two and more of
/// many functions at located times, and definite integrals between pairs of bounds
/// from per-element records. Each entry point takes plain values and pointers (a job),
/// allocates nothing and cannot fail; it runs the code cloned for the processor
/// (support/target_clones.hpp). Locating, checks, extrapolation, working memory and
/// scheduling are the callers' (legendre_calculus.cpp).

#include <cstddef>

#include "piecewise_polynomials/kernels/lanes.hpp"

namespace zorv::kernels {

/// Degrees up to this many columns form a time's basis values on the stack; higher
/// degrees use a table allocated before the parallel part.
constexpr std::size_t kStackColumns = 32;

/// Times located at once by LegendreBasis::locate_many before their sums are formed.
constexpr std::size_t kChunk = 256;

/// a + b as a double-double (hi, lo): Knuth's two-sum.
struct Compensated {
    double hi = 0.0;
    double lo = 0.0;

    void add(double value) noexcept {
        const double sum = hi + value;
        const double shifted = sum - hi;
        const double error = (hi - (sum - shifted)) + (value - shifted);
        hi = sum;
        lo = lo + error;
    }
    double total() const noexcept { return hi + lo; }
};

/// The order >= 2 derivatives of evaluate_derivatives for degrees up to
/// kStackColumns - 1. Evaluations are in time-major order (index i * functions + f).
/// The kernel reads only these plain values and the arrays they point at.
struct DerivativeJob {
    std::size_t degree;
    std::size_t order;
    std::size_t n_t;
    double T;
    double width;
    const double* dofs;
    std::size_t functions;
    const double* times;
    std::size_t n;
    double* out;
};

/// The times chunk .. chunk + count - 1 of `job`, located into `elements` and `xis`
/// (count <= kChunk), for the evaluations [begin, end) only; the times outside
/// [0, T] are listed in `outside` (room for `count`) and get no final value: returns
/// how many were listed.
std::size_t derivative_chunk(const DerivativeJob& job, std::size_t chunk, std::size_t count,
                             const std::size_t* elements, const double* xis, std::size_t begin, std::size_t end,
                             std::size_t* outside) noexcept;

/// The integrals of one function whose bounds lie in [0, T] in different elements,
/// four pairs at once. On an element with coefficients c_k,
///   int_xa^1 = (1 - xa) (c_0 + (1 + xa) Q(xa)),   int_(-1)^xb = (1 + xb) (c_0 - (1 - xb) Q(xb)),
/// each times w / 2, where Q = sum_(k >= 1) c_k P_k' / (k (k + 1)) (from
/// int_(-1)^x P_k = (x^2 - 1) P_k'(x) / (k (k + 1))): products whose small factor
/// 1 - xa (or 1 + xb) is formed from the times, so that a part near an element end is
/// accurate relative to its own size. The elements in between are the difference of
/// the prefix sums.
///
/// Everything a bound needs of its element is one record, so that a bound reads one
/// or two cache lines: c_0, Q's Legendre coefficients q_0 .. q_(degree - 1), and the
/// prefix sums before and after the element (each as hi, lo).
struct IntegralRecords {
    std::size_t degree;

    /// Values per record: degree + 5, rounded up to whole vectors so that a record is
    /// read as vectors and transposed into lanes.
    std::size_t stride() const noexcept { return record_stride(degree); }
    static constexpr std::size_t record_stride(std::size_t degree) noexcept {
        return (degree + 5 + kLanes - 1) / kLanes * kLanes;
    }
    std::size_t before() const noexcept { return degree + 1; }
    std::size_t after() const noexcept { return degree + 3; }

    /// The record of one element from its coefficients (c_k at d[k * n_t]), its prefix
    /// sums and 1 / (k (k + 1)). With P_k' = sum_(j = k - 1, k - 3, ... >= 0) (2j + 1) P_j,
    /// q_j = (2j + 1) s_j, s_j = c_(j+1) / ((j + 1) (j + 2)) + s_(j+2).
    void fill(const double* d, std::size_t n_t, const Compensated& before_element, const Compensated& after_element,
              const double* quotients, double* record) const noexcept {
        record[0] = d[0];
        double s_next = 0.0;   // s_(j+1)
        double s_after = 0.0;  // s_(j+2)
        for (std::size_t j = degree; j-- > 0;) {
            const double s = d[(j + 1) * n_t] * quotients[j + 1] + s_after;
            s_after = s_next;
            s_next = s;
            record[1 + j] = static_cast<double>(2 * j + 1) * s;
        }
        record[before()] = before_element.hi;
        record[before() + 1] = before_element.lo;
        record[after()] = after_element.hi;
        record[after() + 1] = after_element.lo;
    }
};

/// The kernel reads only these plain values and the arrays they point at.
struct IntegralJob {
    std::size_t degree;
    double T;
    double width;
    double last;            ///< n_t - 1, below 2^31
    const double* records;  ///< the function's records, IntegralRecords::stride() apart
    const double* lower;
    const double* upper;
    double* out;            ///< the function's results, one per bound pair
};

/// The pairs first .. first + count - 1 of `job` (count <= kChunk): the regular ones
/// written, the others (a bound outside [0, T] or NaN, or both in one element) listed
/// in `special` for the caller; returns how many were listed.
std::size_t integral_chunk(const IntegralJob& job, std::size_t first, std::size_t count,
                           std::size_t* special) noexcept;

}  // namespace zorv::kernels
