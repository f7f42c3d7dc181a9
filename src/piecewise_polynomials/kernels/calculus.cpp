#include "piecewise_polynomials/kernels/calculus.hpp"

#include "piecewise_polynomials/kernels/location.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/target_clones.hpp"

namespace zorv::kernels {
namespace {

/// A degree or order chosen at run time, as opposed to one fixed at compile time.
constexpr std::size_t kAny = ~std::size_t{0};

/// legendre_derivatives for four coordinates at once, for at most kStackColumns
/// columns: the same operations in the same order in each lane. With a `Degree` and
/// `Order` fixed at compile time the loops unroll and the values stay in registers.
/// (Vectors are passed by reference only; see LegendreRecurrence.)
template <std::size_t Degree, std::size_t Order>
[[gnu::always_inline]] inline void legendre_derivative_lanes(const Lanes& xi, std::size_t any_degree,
                                                             std::size_t any_order, Lanes* values) {
    const std::size_t degree = Degree != kAny ? Degree : any_degree;
    const std::size_t order = Order != kAny ? Order : any_order;
    const Lanes ones = {1.0, 1.0, 1.0, 1.0};
    if (order > degree) {
        for (std::size_t k = 0; k <= degree; ++k) values[k] = ones * 0.0;
        return;
    }
    values[0] = ones;
    if (degree >= 1) values[1] = xi;
    double kf = 2.0;  // the float counter of the step P_k -> P_(k+1), k >= 2
    for (std::size_t k = 1; k < degree; ++k) {
        if (k == 1) {
            LegendreRecurrence::second(xi, values[2]);
        } else {
            LegendreRecurrence::next(xi, values[k], values[k - 1], kf, values[k + 1]);
            kf = kf + 1.0;
        }
    }
    for (std::size_t j = 1; j <= order; ++j) {
        Lanes old_k = values[1];
        values[0] = ones * 0.0;
        values[1] = ones * (j == 1 ? 1.0 : 0.0);
        double step = 1.0;
        for (std::size_t k = 1; k + 1 <= degree; ++k) {
            const Lanes old_next = values[k + 1];
            values[k + 1] = values[k - 1] + ((step + step) + 1.0) * old_k;
            old_k = old_next;
            step = step + 1.0;
        }
    }
}

/// The times chunk .. chunk + count - 1, located into `elements` and `xis`, restricted
/// to the evaluations [begin, end): four times at once, their basis derivatives
/// formed once and applied to every function. Each lane runs the operations of
/// legendre_derivatives and of the single sum. The times outside [0, T] are listed in
/// `outside` for the caller, which gives them their rule's values; returns how many.
template <std::size_t Degree, std::size_t Order>
[[gnu::always_inline]] inline std::size_t derivative_chunk_kernel(const DerivativeJob& job, std::size_t chunk,
                                                                 std::size_t count, const std::size_t* elements,
                                                                 const double* xis, std::size_t begin,
                                                                 std::size_t end, std::size_t* outside) {
    const std::size_t degree = Degree != kAny ? Degree : job.degree;
    const std::size_t order = Order != kAny ? Order : job.order;
    const std::size_t columns = degree + 1;
    const std::size_t functions = job.functions;
    const std::size_t n_t = job.n_t;
    const std::size_t n_dofs = n_t * columns;
    const double reciprocal = 1.0 / job.width;
    const Lanes zeros = {0.0, 0.0, 0.0, 0.0};
    const Lanes ends = {job.T, job.T, job.T, job.T};
    Lanes values[Degree != kAny ? Degree + 1 : kStackColumns];
    std::size_t listed = 0;
    for (std::size_t g = 0; g < count; g += kLanes) {
        const std::size_t group = count - g < kLanes ? count - g : kLanes;
        const std::size_t i0 = chunk + g;
        Lanes xi;
        Lanes t;
        const double* rows[kLanes];
        if (group == kLanes) [[likely]] {
            __builtin_memcpy(&xi, xis + g, sizeof xi);
            __builtin_memcpy(&t, job.times + i0, sizeof t);
            for (std::size_t j = 0; j < kLanes; ++j) rows[j] = job.dofs + elements[g + j];
        } else {
            // A short group repeats its first time; those lanes are not stored.
            for (std::size_t j = 0; j < kLanes; ++j) {
                const std::size_t from = j < group ? j : 0;
                xi[j] = xis[g + from];
                t[j] = job.times[i0 + from];
                rows[j] = job.dofs + elements[g + from];
            }
        }
        legendre_derivative_lanes<Degree, Order>(xi, degree, order, values);
        // Every evaluation of these times lies within [begin, end), except at the
        // range's ends, where each lane stores only its own.
        const bool whole = group == kLanes && i0 * functions >= begin && (i0 + kLanes) * functions <= end;
        for (std::size_t f = 0; f < functions; ++f) {
            const std::size_t offset = f * n_dofs;
            Lanes sum = {-0.0, -0.0, -0.0, -0.0};
            for (std::size_t k = 0; k < columns; ++k) {
                Lanes c;
                gather(rows, offset + k * n_t, c);
                sum = sum + values[k] * c;
            }
            if (order <= degree) {
                for (std::size_t j = 0; j < order; ++j) exact_derivative_scale(sum, job.width, reciprocal, sum);
            }
            double* const target = job.out + f * job.n + i0;
            if (whole) {
                __builtin_memcpy(target, &sum, sizeof sum);
            } else {
                for (std::size_t j = 0; j < group; ++j) {
                    const std::size_t x = (i0 + j) * functions + f;
                    if (x >= begin && x < end) target[j] = sum[j];
                }
            }
        }
        const Bits outside_mask = (t < zeros) | (t > ends);
        if (outside_mask[0] | outside_mask[1] | outside_mask[2] | outside_mask[3]) [[unlikely]] {
            for (std::size_t j = 0; j < group; ++j) {
                if (outside_mask[j] != 0) outside[listed++] = i0 + j;
            }
        }
    }
    return listed;
}

ZORV_X86_CLONES std::size_t derivative_lanes(const DerivativeJob& job, std::size_t chunk, std::size_t count,
                                             const std::size_t* elements, const double* xis, std::size_t begin,
                                             std::size_t end, std::size_t* outside) {
    // The common small degrees with orders 2 and 3 unrolled; the rest looped.
    const std::size_t degree = job.degree;
    const std::size_t order = job.order;
#define ZORV_FIXED(D, M)                                                                                 \
    if (degree == (D) && order == (M)) {                                                                 \
        return derivative_chunk_kernel<(D), (M)>(job, chunk, count, elements, xis, begin, end, outside); \
    }
    ZORV_FIXED(2, 2)
    ZORV_FIXED(3, 2)
    ZORV_FIXED(4, 2)
    ZORV_FIXED(5, 2)
    ZORV_FIXED(3, 3)
    ZORV_FIXED(4, 3)
    ZORV_FIXED(5, 3)
#undef ZORV_FIXED
    return derivative_chunk_kernel<kAny, kAny>(job, chunk, count, elements, xis, begin, end, outside);
}

/// The integral kernel's own placement of four bounds in [0, T], without a division
/// (an integral is continuous in its bounds, so it need not follow evaluate's rule
/// at an element edge): the element e = trunc(t / w) taken as t (1 / w), clamped to
/// [0, n_t - 1]; its left edge w e; and `offset` = (t - w e) (2 / w), the distance
/// from the left edge in reference lengths (xi + 1).
/// (`inverse` is 1 / w, `to_reference` 2 / w, `last` n_t - 1.)
[[gnu::always_inline]] inline void place_lanes(const Lanes& w, const Lanes& inverse, const Lanes& to_reference,
                                               const Lanes& last, const Lanes& t, Narrow& element, Lanes& left,
                                               Lanes& offset) {
    const Lanes zeros = {0.0, 0.0, 0.0, 0.0};
    Lanes index = t * inverse;
    index = index > zeros ? index : zeros;  // NaN to 0 as well: such a pair is not regular
    index = index < last ? index : last;
    element = __builtin_convertvector(index, Narrow);
    Lanes right;  // (unused: the kernel forms w + left where it needs it)
    ElementRule::edges(w, __builtin_convertvector(element, Lanes), left, right);
    offset = (t - left) * to_reference;
}

/// Value k of the four records, from the transposed columns where the degree is
/// fixed (Degree != kAny), else gathered.
template <std::size_t Degree>
[[gnu::always_inline]] inline void record_value(const double* const* rows, const Lanes* columns, std::size_t k,
                                                Lanes& value) {
    if constexpr (Degree != kAny) {
        value = columns[k];
    } else {
        gather(rows, k, value);
    }
}

/// Q(x) of four lanes from their records: sum_j q_j P_j(x), the Legendre values by
/// P_(j+1) = ((2j + 1) / (j + 1)) x P_j - (j / (j + 1)) P_(j-1).
template <std::size_t Degree>
[[gnu::always_inline]] inline void antiderivative_slope_sum(std::size_t degree, const double* const* rows,
                                                            const Lanes* columns, const Lanes& x, Lanes& q) {
    const Lanes ones = {1.0, 1.0, 1.0, 1.0};
    q = ones * 0.0;
    if (degree == 0) return;
    Lanes c;
    record_value<Degree>(rows, columns, 1, c);
    q = c;  // q_0 P_0
    Lanes previous = ones;
    Lanes value = x;
    for (std::size_t j = 1; j < degree; ++j) {
        record_value<Degree>(rows, columns, 1 + j, c);
        q = q + c * value;
        if (j + 1 == degree) break;
        const double jf = static_cast<double>(j);
        const Lanes next = value * x * ((jf + jf + 1.0) / (jf + 1.0)) - previous * (jf / (jf + 1.0));
        previous = value;
        value = next;
    }
}

/// The pairs first .. first + count - 1 (count <= kChunk): the regular ones written,
/// the others (a bound outside [0, T] or NaN, or both in one element) listed in
/// `special` for the caller; returns how many were listed.
template <std::size_t Degree>
[[gnu::always_inline]] inline std::size_t integral_chunk_kernel(const IntegralJob& job, std::size_t first,
                                                               std::size_t count, std::size_t* special) {
    const std::size_t degree = Degree != kAny ? Degree : job.degree;
    const IntegralRecords layout{degree};
    constexpr std::size_t kWidth = Degree != kAny ? IntegralRecords::record_stride(Degree) : 1;
    const std::size_t stride = Degree != kAny ? kWidth : layout.stride();
    const double width = job.width;
    const Lanes w = {width, width, width, width};
    const Lanes to_reference = 2.0 / w;
    const Lanes inverse = 1.0 / w;
    const Lanes last = {job.last, job.last, job.last, job.last};
    const Lanes half = w * 0.5;
    const Lanes zeros = {0.0, 0.0, 0.0, 0.0};
    const Lanes ones = {1.0, 1.0, 1.0, 1.0};
    const Lanes ends = {job.T, job.T, job.T, job.T};
    std::size_t listed = 0;
    // Blocks of eight groups, each placed first and summed after, so that the loads
    // of the records of one group need not wait behind the sums of the one before.
    constexpr std::size_t kGroups = 8;
    for (std::size_t block = 0; block < count; block += kGroups * kLanes) {
        const std::size_t block_end = count - block < kGroups * kLanes ? count : block + kGroups * kLanes;
        struct Placed {
            Narrow e_lo, e_hi;
            Lanes x_lo, x_hi, delta_lo, delta_hi;
            Bits reversed, regular;
        } placed[kGroups];
        for (std::size_t g = block; g < block_end; g += kLanes) {
            Placed& p = placed[(g - block) / kLanes];
            const std::size_t group = count - g < kLanes ? count - g : kLanes;
            Lanes a, b;
            if (group == kLanes) [[likely]] {
                __builtin_memcpy(&a, job.lower + first + g, sizeof a);
                __builtin_memcpy(&b, job.upper + first + g, sizeof b);
            } else {
                for (std::size_t j = 0; j < kLanes; ++j) {
                    // A short group repeats its first pair; those lanes are not stored.
                    const std::size_t from = first + g + (j < group ? j : 0);
                    a[j] = job.lower[from];
                    b[j] = job.upper[from];
                }
            }
            p.reversed = b < a;
            Lanes lo, hi;
            select(p.reversed, b, a, lo);
            select(p.reversed, a, b, hi);
            Lanes left_lo, left_hi, offset_lo, offset_hi;
            place_lanes(w, inverse, to_reference, last, lo, p.e_lo, left_lo, offset_lo);
            place_lanes(w, inverse, to_reference, last, hi, p.e_hi, left_hi, offset_hi);
            // NaN fails every comparison: such a pair is not regular.
            p.regular = (lo >= zeros) & (hi <= ends) & __builtin_convertvector(p.e_lo != p.e_hi, Bits);
            // The distances to the element ends, formed from the times and the edges as
            // LegendreBasis::locate forms them (right = w + left).
            p.delta_lo = ((w + left_lo) - lo) * to_reference;
            p.delta_hi = offset_hi;
            select(p.delta_lo > zeros, p.delta_lo, zeros, p.delta_lo);
            select(p.delta_hi > zeros, p.delta_hi, zeros, p.delta_hi);
            p.x_lo = offset_lo - ones;
            p.x_hi = offset_hi - ones;
        }
        for (std::size_t g = block; g < block_end; g += kLanes) {
            const Placed& p = placed[(g - block) / kLanes];
            const std::size_t group = count - g < kLanes ? count - g : kLanes;
            const double* rows_lo[kLanes];
            const double* rows_hi[kLanes];
            for (std::size_t j = 0; j < kLanes; ++j) {
                rows_lo[j] = job.records + static_cast<std::size_t>(p.e_lo[j]) * stride;
                rows_hi[j] = job.records + static_cast<std::size_t>(p.e_hi[j]) * stride;
            }
            Lanes columns_lo[kWidth], columns_hi[kWidth];
            if constexpr (Degree != kAny) {
                record_columns<kWidth, Transpose::pairs>(rows_lo, columns_lo);
                record_columns<kWidth, Transpose::pairs>(rows_hi, columns_hi);
            }
            Lanes q_lo, q_hi, c_lo, c_hi;
            antiderivative_slope_sum<Degree>(degree, rows_lo, columns_lo, p.x_lo, q_lo);
            antiderivative_slope_sum<Degree>(degree, rows_hi, columns_hi, p.x_hi, q_hi);
            record_value<Degree>(rows_lo, columns_lo, 0, c_lo);
            record_value<Degree>(rows_hi, columns_hi, 0, c_hi);
            const Lanes left_piece = half * (p.delta_lo * (c_lo + (ones + p.x_lo) * q_lo));
            const Lanes right_piece = half * (p.delta_hi * (c_hi - (ones - p.x_hi) * q_hi));
            Lanes to_hi, to_lo, from_hi, from_lo;
            record_value<Degree>(rows_hi, columns_hi, layout.before(), to_hi);
            record_value<Degree>(rows_hi, columns_hi, layout.before() + 1, to_lo);
            record_value<Degree>(rows_lo, columns_lo, layout.after(), from_hi);
            record_value<Degree>(rows_lo, columns_lo, layout.after() + 1, from_lo);
            const Lanes middle = (to_hi - from_hi) + (to_lo - from_lo);
            Lanes result = (left_piece + middle) + right_piece;
            select(p.reversed, -result, result, result);
            if (group == kLanes && (p.regular[0] & p.regular[1] & p.regular[2] & p.regular[3])) [[likely]] {
                __builtin_memcpy(job.out + first + g, &result, sizeof result);
                continue;
            }
            for (std::size_t j = 0; j < group; ++j) {
                if (p.regular[j]) {
                    job.out[first + g + j] = result[j];
                } else {
                    special[listed++] = first + g + j;
                }
            }
        }
    }
    return listed;
}

ZORV_X86_CLONES std::size_t integral_lanes(const IntegralJob& job, std::size_t first, std::size_t count,
                                           std::size_t* special) {
    switch (job.degree) {  // the common small degrees with the recurrence unrolled
        case 0: return integral_chunk_kernel<0>(job, first, count, special);
        case 1: return integral_chunk_kernel<1>(job, first, count, special);
        case 2: return integral_chunk_kernel<2>(job, first, count, special);
        case 3: return integral_chunk_kernel<3>(job, first, count, special);
        case 4: return integral_chunk_kernel<4>(job, first, count, special);
        case 5: return integral_chunk_kernel<5>(job, first, count, special);
        default: return integral_chunk_kernel<kAny>(job, first, count, special);
    }
}

}  // namespace

// The entry points: not inlined, so that a link-time optimiser never imports one (and
// the clones of the file-local kernel it calls) into another file: clang 16's ThinLTO
// then refers to a clone it does not emit.

[[gnu::noinline]] std::size_t derivative_chunk(const DerivativeJob& job, std::size_t chunk, std::size_t count,
                                               const std::size_t* elements, const double* xis, std::size_t begin,
                                               std::size_t end, std::size_t* outside) noexcept {
    return derivative_lanes(job, chunk, count, elements, xis, begin, end, outside);
}

[[gnu::noinline]] std::size_t integral_chunk(const IntegralJob& job, std::size_t first, std::size_t count,
                                             std::size_t* special) noexcept {
    return integral_lanes(job, first, count, special);
}

}  // namespace zorv::kernels
