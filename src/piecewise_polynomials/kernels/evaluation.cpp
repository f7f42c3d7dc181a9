#include "piecewise_polynomials/kernels/evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "piecewise_polynomials/kernels/location.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/target_clones.hpp"

namespace zorv::kernels {
namespace {

/// 2^52: adding and subtracting it rounds a double of [0, 2^52) to an integer, and the
/// bits of an integer n + 2^52 are the bits of 2^52 plus n.
constexpr double kIntegerShift = 4503599627370496.0;

/// The element and reference coordinate of four times, exactly as
/// LegendreBasis::locate_in_grid gives them one by one: the element is the floor of
/// t / w, saturating (negative and NaN quotients give 0) and clamped to the last
/// element; xi the same operations in the same order, clamped to [-1, 1] with a NaN
/// kept. Valid while every element reached is below 2^52 (`Grid::last`): a dof
/// vector with an element beyond that cannot exist. `Element` is Narrow where the
/// grid is (`Grid::narrow`), else Bits.
///
/// With `product` (narrow grids only), the element is taken from the product t (1 / w),
/// which needs no division, and the lanes it may have placed wrongly are marked in
/// `near`, for the caller to place them again without `product`. The product and the
/// rounded quotient both lie within 3.1 u (t / w) of t / w (u = 2^-53), so their floors
/// differ only for a time within a few ulps of an inner element edge n w, 1 <= n < n_t.
/// Such a time lies at an end of the element the product chose, where the rounding of
/// that element's ends (each within about u n w) and of xi leaves |xi| within about
/// 20 u n of 1 (6 u n is the most seen in 10^8 edge times of random grids). So wherever
/// |xi| is farther from 1 than `Grid::margin`, the product's element
/// is the quotient's, and only lanes within the margin are marked: not times far before
/// 0 or after T, which the clamp gives to element 0 or the last either way. (A NaN time
/// gives element 0 and a NaN xi either way; where the product is subnormal or
/// overflows, so that its bound fails, it gives element 0 or the last as the quotient
/// does. A time of a checked batch that the product places one element past the last
/// row is clamped to that row, at whose right end it lies: it is marked the same way.)
///
/// The clamps are written as lane-wise conditionals, which compile to minimum and
/// maximum instructions where those keep the NaN lanes as the conditionals say;
/// the whole chain from t to xi is the kernel's critical path.
template <bool halves, class Element, bool product = false>
[[gnu::always_inline]] inline void locate_lanes(const Grid& grid, const Lanes& t, Element& element, Lanes& xi,
                                                Bits* near = nullptr) {
    const Lanes zeros = {0.0, 0.0, 0.0, 0.0};
    const Lanes ones = {1.0, 1.0, 1.0, 1.0};
    const Lanes w = {grid.width, grid.width, grid.width, grid.width};
    const Lanes last = {grid.last, grid.last, grid.last, grid.last};
    // The element and the unclamped xi of the times, from a quotient t / w.
    const auto place = [&](const Lanes& quotient) {
        // Negative quotients and NaN (every comparison with it fails) to 0, from the last
        // element on (infinity included) to the last element.
        Lanes index = quotient > zeros ? quotient : zeros;
        index = index < last ? index : last;
        Lanes floor;
        if constexpr (std::is_same_v<Element, Narrow>) {
            // Truncation is the floor of a value of [0, 2^31); back to double, exactly.
            element = __builtin_convertvector(index, Narrow);
            floor = __builtin_convertvector(element, Lanes);
        } else {
            // The floor of a value of [0, 2^52): rounded to the nearest integer by the
            // shift, then one less where that rounded up.
            const Lanes shift = {kIntegerShift, kIntegerShift, kIntegerShift, kIntegerShift};
            floor = (index + shift) - shift;
            floor = floor > index ? floor - ones : floor;
            element = reinterpret_cast<Bits>(floor + shift) - reinterpret_cast<Bits>(shift);
        }
        Lanes left;
        Lanes right;
        ElementRule::edges(w, floor, left, right);
        const Lanes sum = left + right;
        Lanes middle = sum * -0.5;
        if constexpr (halves) {
            // Where left + right overflows (T near the largest double), the sum of the
            // halves: both are normal there, so halving is exact and this is the value the
            // midpoint formula gives without the overflow (see ElementRule::midpoint_negated).
            const Lanes from_halves = left * -0.5 + right * -0.5;
            select(reinterpret_cast<Bits>(sum - sum == zeros), middle, from_halves, middle);
        }
        ElementRule::reference(t, left, right, middle, xi);
    };
    if constexpr (product) {
        static_assert(std::is_same_v<Element, Narrow>, "the product places times on narrow grids only");
        const Lanes reciprocal = {grid.reciprocal, grid.reciprocal, grid.reciprocal, grid.reciprocal};
        place(t * reciprocal);
        const Lanes margin = {grid.margin, grid.margin, grid.margin, grid.margin};
        Lanes distance;
        magnitude(xi, distance);
        distance = distance - ones;
        magnitude(distance, distance);
        *near |= distance <= margin;
    } else {
        place(t / w);
    }
    xi = xi < -ones ? -ones : xi;
    xi = xi > ones ? ones : xi;
}

/// The Legendre sums of a block of points whose element rows and reference
/// coordinates are known: for each point, S = -0.0 + P_0 D_0 + ... + P_n D_n (or
/// the same with P_k'), with exactly the operations of the single-point evaluation
/// in the same order. Only the arrangement differs: each step runs across the
/// whole block at once, so independent points overlap in vector instructions.
/// (Vectors are passed by reference only; see LegendreRecurrence.)
///
/// With `Width` != 0 the dofs are element records of Width values (D_k at
/// rows[j][k], `stride` 1), read as vectors and transposed instead of gathered value
/// by value.
template <Sum kind, std::size_t Width = 0>
[[gnu::always_inline]] inline void block_sums(std::size_t degree, std::size_t stride, const double* const* rows,
                                              const Lanes& xi, Lanes& sums) {
    constexpr bool derivative = kind == Sum::derivative;
    Lanes dofs;
    Lanes columns[Width != 0 ? Width : 1];
    if constexpr (Width != 0) record_columns<Width>(rows, columns);
    // D_k of the four points, at offset stride * k of their rows.
    const auto coefficients = [&](std::size_t offset, Lanes& values) {
        if constexpr (Width != 0) {
            values = columns[offset];
        } else {
            gather(rows, offset, values);
        }
    };
    // P_0 = 1 and P_0' = 0; the products are formed as written (0 * D is NaN for D = inf).
    coefficients(0, dofs);
    sums = -0.0 + (kind == Sum::value ? 1.0 : 0.0) * dofs;
    if (degree == 0) return;
    // P_1 = x and P_1' = 1 (a constant: 1 also where x is NaN, as in a single call).
    const Lanes ones = {1.0, 1.0, 1.0, 1.0};
    coefficients(stride, dofs);
    sums = sums + (kind == Sum::value ? xi : ones) * dofs;
    if constexpr (kind == Sum::exact_derivative) {
        // P'_(k+1) = P'_(k-1) + (2k+1) P_k, the operations of reference_basis.
        Lanes value_previous = ones;        // P_(k-2)
        Lanes value = xi;                   // P_(k-1)
        Lanes slope_previous = {0.0, 0.0, 0.0, 0.0};  // P_(k-2)'
        Lanes slope = ones;                 // P_(k-1)'
        Lanes next;
        double kf = 1.0;                    // k - 1
        for (std::size_t k = 2; k <= degree; ++k) {
            const Lanes slope_next = slope_previous + ((kf + kf) + 1.0) * value;
            slope_previous = slope;
            slope = slope_next;
            coefficients(stride * k, dofs);
            sums = sums + slope * dofs;
            if (k == degree) break;
            // P_k from P_(k-1) and P_(k-2), for the next degree's slope.
            if (k == 2) {
                LegendreRecurrence::second(xi, next);
            } else {
                LegendreRecurrence::next(xi, value, value_previous, kf, next);
            }
            value_previous = value;
            value = next;
            kf = kf + 1.0;
        }
    } else {
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
            coefficients(stride * k, dofs);
            sums = sums + factor * dofs;
        }
    }
}

/// The results of one group of four located times: gathered and summed in vector
/// registers, then scaled for a derivative.
template <Sum kind, std::size_t Width, class Element>
[[gnu::always_inline]] inline void located_sums(const Grid& grid, std::size_t degree, const double* dofs,
                                                std::size_t stride, const Element& element, const Lanes& xi,
                                                Lanes& result) {
    const double* rows[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
        rows[l] = dofs + static_cast<std::size_t>(element[l]) * (Width != 0 ? Width : 1);
    }
    block_sums<kind, Width>(degree, stride, rows, xi, result);
    if constexpr (kind == Sum::derivative) {
        // zorv's operations: a division, not a product with 1 / w.
        const Lanes w = {grid.width, grid.width, grid.width, grid.width};
        result = (result + result) / w;
    } else if constexpr (kind == Sum::exact_derivative) {
        exact_derivative_scale(result, grid.width, grid.reciprocal, result);
    }
}

/// The results of one group of four times: located, then as located_sums.
template <Sum kind, bool halves, bool narrow, std::size_t Width = 0>
[[gnu::always_inline]] inline void group_sums(const Grid& grid, std::size_t degree, const double* dofs,
                                              std::size_t stride, const Lanes& t, Lanes& result) {
    std::conditional_t<narrow, Narrow, Bits> element;
    Lanes xi;
    locate_lanes<halves, decltype(element)>(grid, t, element, xi);
    located_sums<kind, Width>(grid, degree, dofs, stride, element, xi, result);
}

/// Any degree, as opposed to a degree fixed at compile time.
constexpr std::size_t kAnyDegree = ~std::size_t{0};

/// One function at `count` times, four at a time, each group read, summed and written
/// as whole vectors (`out` may be `times` itself: a group is read before it is written).
/// A short last group repeats its first time; the extra results are dropped. With a
/// `Fixed` degree, the recurrence is unrolled.
template <Sum kind, std::size_t Fixed, bool halves = false, bool narrow = true, std::size_t Width = 0>
[[gnu::always_inline]] inline void sum_range(const Grid& grid_in, std::size_t any_degree, const double* dofs,
                                             std::size_t stride, const double* times, std::size_t count,
                                             double* out) {
    const Grid grid = grid_in;  // in registers: `out` cannot overwrite it
    const std::size_t degree = Fixed != kAnyDegree ? Fixed : any_degree;
    std::size_t first = 0;
    if constexpr (narrow) {
        // Chunks of groups placed by the product with 1 / w (see locate_lanes); a chunk
        // with a time that may lie in another element is computed again, from a copy of
        // its times (`out` may have overwritten them), with the quotients.
        constexpr std::size_t kGroups = 8;
        for (; count - first >= kGroups * kLanes; first += kGroups * kLanes) {
            Lanes chunk[kGroups];
            Bits near = {0, 0, 0, 0};
            // All groups located first, then summed: the divisions of one group then
            // overlap those of the next instead of waiting behind its sums.
            Narrow element[kGroups];
            Lanes xi[kGroups];
            for (std::size_t g = 0; g < kGroups; ++g) {
                // (Located from the register, not from the copy: reading a vector back
                // from the stack right after storing it can stall the load.)
                Lanes t;
                __builtin_memcpy(&t, times + first + g * kLanes, sizeof t);
                chunk[g] = t;
                locate_lanes<halves, Narrow, true>(grid, t, element[g], xi[g], &near);
            }
            for (std::size_t g = 0; g < kGroups; ++g) {
                Lanes result;
                located_sums<kind, Width>(grid, degree, dofs, stride, element[g], xi[g], result);
                __builtin_memcpy(out + first + g * kLanes, &result, sizeof result);
            }
            if ((near[0] | near[1] | near[2] | near[3]) != 0) [[unlikely]] {
                for (std::size_t g = 0; g < kGroups; ++g) {
                    Lanes result;
                    group_sums<kind, halves, narrow, Width>(grid, degree, dofs, stride, chunk[g], result);
                    __builtin_memcpy(out + first + g * kLanes, &result, sizeof result);
                }
            }
        }
    }
    for (; count - first >= kLanes; first += kLanes) {
        Lanes t;
        __builtin_memcpy(&t, times + first, sizeof t);
        Lanes result;
        group_sums<kind, halves, narrow, Width>(grid, degree, dofs, stride, t, result);
        __builtin_memcpy(out + first, &result, sizeof result);
    }
    if (first == count) return;
    Lanes t = {times[first], times[first], times[first], times[first]};
    for (std::size_t j = 1; j < count - first; ++j) t[j] = times[first + j];
    Lanes result;
    group_sums<kind, halves, narrow, Width>(grid, degree, dofs, stride, t, result);
    for (std::size_t j = 0; j < count - first; ++j) out[first + j] = result[j];
}

/// sum_range with the recurrence unrolled for the common small degrees (and the
/// midpoint from halves, or 64-bit element indices, only where the grid needs them).
template <Sum kind>
[[gnu::always_inline]] inline void sum_range(const Grid& grid, std::size_t degree, const double* dofs,
                                             std::size_t stride, const double* times, std::size_t count,
                                             double* out) {
    if (grid.halves) [[unlikely]] {
        return sum_range<kind, kAnyDegree, true, false>(grid, degree, dofs, stride, times, count, out);
    }
    if (!grid.narrow) [[unlikely]] {
        return sum_range<kind, kAnyDegree, false, false>(grid, degree, dofs, stride, times, count, out);
    }
    switch (degree) {
        case 0: sum_range<kind, 0>(grid, degree, dofs, stride, times, count, out); break;
        case 1: sum_range<kind, 1>(grid, degree, dofs, stride, times, count, out); break;
        case 2: sum_range<kind, 2>(grid, degree, dofs, stride, times, count, out); break;
        case 3: sum_range<kind, 3>(grid, degree, dofs, stride, times, count, out); break;
        case 4: sum_range<kind, 4>(grid, degree, dofs, stride, times, count, out); break;
        case 5: sum_range<kind, 5>(grid, degree, dofs, stride, times, count, out); break;
        default: sum_range<kind, kAnyDegree>(grid, degree, dofs, stride, times, count, out); break;
    }
}

/// sum_range on element records, the recurrence unrolled (see ElementRecords).
template <Sum kind>
[[gnu::always_inline]] inline void records_sum_range(const Grid& grid, std::size_t degree, const double* records,
                                                     const double* times, std::size_t count, double* out) {
    switch (degree) {
        case 0: sum_range<kind, 0, false, true, record_width(0)>(grid, 0, records, 1, times, count, out); break;
        case 1: sum_range<kind, 1, false, true, record_width(1)>(grid, 1, records, 1, times, count, out); break;
        case 2: sum_range<kind, 2, false, true, record_width(2)>(grid, 2, records, 1, times, count, out); break;
        case 3: sum_range<kind, 3, false, true, record_width(3)>(grid, 3, records, 1, times, count, out); break;
        case 4: sum_range<kind, 4, false, true, record_width(4)>(grid, 4, records, 1, times, count, out); break;
        default: sum_range<kind, 5, false, true, record_width(5)>(grid, 5, records, 1, times, count, out); break;
    }
}

/// One function's sums from its element records (see ElementRecords), for a grid
/// with 32-bit element indices and no overflowing midpoints, degree <= 5.
ZORV_X86_CLONES void records_lanes(Sum kind, const Grid& grid, std::size_t degree, const double* records,
                                   const double* times, std::size_t count, double* out) {
    switch (kind) {
        case Sum::value: records_sum_range<Sum::value>(grid, degree, records, times, count, out); break;
        case Sum::derivative: records_sum_range<Sum::derivative>(grid, degree, records, times, count, out); break;
        case Sum::exact_derivative:
            records_sum_range<Sum::exact_derivative>(grid, degree, records, times, count, out);
            break;
    }
}

ZORV_X86_CLONES void value_lanes(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                                 const double* times, std::size_t count, double* out) {
    sum_range<Sum::value>(grid, degree, dofs, stride, times, count, out);
}

ZORV_X86_CLONES void derivative_lanes(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                                      const double* times, std::size_t count, double* out) {
    sum_range<Sum::derivative>(grid, degree, dofs, stride, times, count, out);
}

ZORV_X86_CLONES void exact_derivative_lanes(const Grid& grid, std::size_t degree, const double* dofs,
                                            std::size_t stride, const double* times, std::size_t count,
                                            double* out) {
    sum_range<Sum::exact_derivative>(grid, degree, dofs, stride, times, count, out);
}

ZORV_X86_CLONES void locate_groups(const Grid& grid, const double* times, std::size_t count, std::size_t* elements,
                                   double* xis) {
    static_assert(sizeof(std::size_t) == sizeof(std::int64_t), "element indices are stored from 64-bit lanes");
    const auto locate = [&](const Lanes& t, Bits& element, Lanes& xi) {
        if (grid.halves) [[unlikely]] {
            locate_lanes<true>(grid, t, element, xi);
        } else {
            locate_lanes<false>(grid, t, element, xi);
        }
    };
    const auto store = [&](std::size_t at, const Bits& element, const Lanes& xi) {
        __builtin_memcpy(elements + at, &element, sizeof element);
        __builtin_memcpy(xis + at, &xi, sizeof xi);
    };
    std::size_t first = 0;
    if (grid.narrow && !grid.halves) {
        // As sum_range: chunks placed by the product with 1 / w, and a chunk with a
        // marked time placed again with the quotients (its times are still there).
        constexpr std::size_t kGroups = 8;
        for (; count - first >= kGroups * kLanes; first += kGroups * kLanes) {
            Bits near = {0, 0, 0, 0};
            for (std::size_t g = 0; g < kGroups; ++g) {
                Lanes t;
                __builtin_memcpy(&t, times + first + g * kLanes, sizeof t);
                Narrow element;
                Lanes xi;
                locate_lanes<false, Narrow, true>(grid, t, element, xi, &near);
                store(first + g * kLanes, __builtin_convertvector(element, Bits), xi);
            }
            if ((near[0] | near[1] | near[2] | near[3]) != 0) [[unlikely]] {
                for (std::size_t g = 0; g < kGroups; ++g) {
                    Lanes t;
                    __builtin_memcpy(&t, times + first + g * kLanes, sizeof t);
                    Bits element;
                    Lanes xi;
                    locate(t, element, xi);
                    store(first + g * kLanes, element, xi);
                }
            }
        }
    }
    for (; count - first >= kLanes; first += kLanes) {
        Lanes t;
        __builtin_memcpy(&t, times + first, sizeof t);
        Bits element;
        Lanes xi;
        locate(t, element, xi);
        store(first, element, xi);
    }
    if (first == count) return;
    // A short last group repeats its first time; the extra lanes are not stored.
    Lanes t = {times[first], times[first], times[first], times[first]};
    for (std::size_t j = 1; j < count - first; ++j) t[j] = times[first + j];
    Bits element;
    Lanes xi;
    locate(t, element, xi);
    for (std::size_t j = 0; j < count - first; ++j) {
        elements[first + j] = static_cast<std::size_t>(element[j]);
        xis[first + j] = xi[j];
    }
}

/// out[offsets[j]] for the rows j in [row_begin, row_end) whose time offset lies in
/// [from, to) (every one, unless `check`), four rows at a time. `Fixed` is the number
/// of columns, or 0. S = -0.0 + P_0 D_0 + P_1 D_1 + ..., each product rounded before
/// its addition: the operations of `evaluate`, in its order, in each lane.
template <std::size_t Fixed>
[[gnu::always_inline]] inline void table_sums(const TableSums& job, std::size_t row_begin, std::size_t row_end,
                                              bool check, std::size_t from, std::size_t to) {
    const std::size_t c = Fixed != 0 ? Fixed : job.columns;
    const std::size_t* const elements = job.elements;
    const std::size_t* const offsets = job.offsets;
    for (std::size_t g = row_begin / kLanes * kLanes; g < row_end; g += kLanes) {
        const double* const p = job.table + g * c;
        const double* const rows[kLanes] = {job.dofs + elements[g], job.dofs + elements[g + 1],
                                            job.dofs + elements[g + 2], job.dofs + elements[g + 3]};
        Lanes sum = {-0.0, -0.0, -0.0, -0.0};
        for (std::size_t k = 0; k < c; ++k) {
            Lanes values;
            __builtin_memcpy(&values, p + kLanes * k, sizeof values);
            Lanes dofs;
            gather(rows, k * job.n_t, dofs);
            sum = sum + values * dofs;
        }
        if (job.derivative) exact_derivative_scale(sum, job.width, job.reciprocal, sum);
        for (std::size_t l = 0; l < kLanes; ++l) {
            const std::size_t j = g + l;
            if (j < row_begin || j >= row_end) continue;
            const std::size_t i = offsets[j];
            if (check && (i < from || i >= to)) continue;
            job.out[i] = sum[l];
        }
    }
}

ZORV_X86_CLONES void table_sums_lanes(const TableSums& job, std::size_t row_begin, std::size_t row_end, bool check,
                                      std::size_t from, std::size_t to) {
    switch (job.columns) {  // the common small degrees with their loop unrolled
        case 1: table_sums<1>(job, row_begin, row_end, check, from, to); break;
        case 2: table_sums<2>(job, row_begin, row_end, check, from, to); break;
        case 3: table_sums<3>(job, row_begin, row_end, check, from, to); break;
        case 4: table_sums<4>(job, row_begin, row_end, check, from, to); break;
        case 5: table_sums<5>(job, row_begin, row_end, check, from, to); break;
        case 6: table_sums<6>(job, row_begin, row_end, check, from, to); break;
        default: table_sums<0>(job, row_begin, row_end, check, from, to); break;
    }
}

}  // namespace

/// The grid of a basis with n_t >= 1 elements of width w, for the kernel, on dofs with
/// `rows` rows (at least one) of which a batch reaches only the first n_t. The
/// element's clamp stops at the last row; everything else follows from n_t alone, so
/// fewer rows change no placement the quotient makes for a time of a checked batch
/// (every such time lies in an element with a row).
Grid grid_of(double width, std::size_t n_t, std::size_t rows) noexcept {
    constexpr std::size_t kLargestIndex = (std::size_t{1} << 52) - 1;
    const double grid_last = static_cast<double>(std::min(n_t - 1, kLargestIndex));
    const double last = static_cast<double>(std::min({n_t - 1, std::max(rows, std::size_t{1}) - 1, kLargestIndex}));
    // left and right grow with the element, so the last element's sum is the largest.
    double left;
    double right;
    ElementRule::edges(width, grid_last, left, right);
    const double reciprocal = 1.0 / width;
    const bool normal = std::isnormal(width) && std::isnormal(reciprocal);
    const double margin = (grid_last + 1.0) * 0x1p-40;
    return {width, reciprocal, margin, last, !std::isfinite(left + right), grid_last <= kNarrowLast && normal};
}

// The entry points: not inlined, so that a link-time optimiser never imports one (and
// the clones of the file-local kernel it calls) into another file: clang 16's ThinLTO
// then refers to a clone it does not emit.

[[gnu::noinline]] void value_range(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                                   const double* times, std::size_t count, double* out) noexcept {
    value_lanes(grid, degree, dofs, stride, times, count, out);
}

[[gnu::noinline]] void derivative_range(const Grid& grid, std::size_t degree, const double* dofs,
                                        std::size_t stride, const double* times, std::size_t count,
                                        double* out) noexcept {
    derivative_lanes(grid, degree, dofs, stride, times, count, out);
}

[[gnu::noinline]] void exact_derivative_range(const Grid& grid, std::size_t degree, const double* dofs,
                                              std::size_t stride, const double* times, std::size_t count,
                                              double* out) noexcept {
    exact_derivative_lanes(grid, degree, dofs, stride, times, count, out);
}

[[gnu::noinline]] void records_range(Sum kind, const Grid& grid, std::size_t degree, const double* records,
                                     const double* times, std::size_t count, double* out) noexcept {
    records_lanes(kind, grid, degree, records, times, count, out);
}

[[gnu::noinline]] void locate_range(const Grid& grid, const double* times, std::size_t count, std::size_t* elements,
                                    double* xis) noexcept {
    locate_groups(grid, times, count, elements, xis);
}

[[gnu::noinline]] void table_sums_range(const TableSums& job, std::size_t row_begin, std::size_t row_end, bool check,
                                        std::size_t from, std::size_t to) noexcept {
    table_sums_lanes(job, row_begin, row_end, check, from, to);
}

}  // namespace zorv::kernels
