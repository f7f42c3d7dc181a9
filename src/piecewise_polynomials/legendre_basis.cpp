#include "piecewise_polynomials/legendre_basis.hpp"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <cmath>
#include <limits>
#include <type_traits>

#include "piecewise_polynomials/lanes.hpp"
#include "piecewise_polynomials/legendre_recurrence.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"
#include "support/target_clones.hpp"

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

namespace {

/// (left + right) * -0.5 for element ends 0 <= left <= right. Where the sum overflows
/// (ends beyond half the largest double), left * -0.5 + right * -0.5 instead: the ends
/// are normal there, so both halvings are exact and the one rounding of their sum
/// gives what the formula would without the overflow. Every finite sum keeps the
/// formula's own operations, so no other value changes.
[[gnu::always_inline]] inline double midpoint_negated(double left, double right) noexcept {
    const double sum = left + right;
    if (std::isfinite(sum)) [[likely]] return sum * -0.5;
    return left * -0.5 + right * -0.5;
}

}  // namespace

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
    const double shifted = t + midpoint_negated(left, right);
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

/// The largest element index that 32-bit lanes carry.
constexpr double kNarrowLast = 2147483647.0;

/// What the vector kernel needs to know of the grid, fixed for a whole range.
struct Grid {
    double width;       ///< w = T / n_t
    double reciprocal;  ///< 1 / w, rounded
    /// (min(n_t - 1, 2^52 - 1) + 1) 2^-40: an |xi| this close to 1 is placed again (locate_lanes)
    double margin;
    /// the largest element index a time is given, min(n_t - 1, rows - 1, 2^52 - 1) for the
    /// dofs' `rows`, exact as a double: a time that the product places beyond the last row
    /// reads that row, not one past the matrix, before it is placed again (a checked
    /// batch reaches no other row)
    double last;
    bool halves;        ///< some element's left + right overflows: midpoints are taken from the halves
    /// min(n_t - 1, 2^52 - 1) <= kNarrowLast, so element indices fit 32-bit lanes, and w and 1 / w are
    /// normal, so the element is found from the product t (1 / w) (see locate_lanes)
    bool narrow;
};

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
        const Lanes left = w * floor;
        const Lanes right = w + left;
        const Lanes sum = left + right;
        Lanes middle = sum * -0.5;
        if constexpr (halves) {
            // Where left + right overflows (T near the largest double), the sum of the
            // halves: both are normal there, so halving is exact and this is the value the
            // midpoint formula gives without the overflow (see midpoint_negated).
            const Lanes from_halves = left * -0.5 + right * -0.5;
            select(reinterpret_cast<Bits>(sum - sum == zeros), middle, from_halves, middle);
        }
        const Lanes shifted = t + middle;
        xi = (2.0 * shifted) / (right - left);
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

/// What a range computes at each point.
enum class Sum {
    value,             ///< S = -0.0 + P_0 D_0 + ... + P_n D_n
    derivative,        ///< (S + S) / w with the regularised P_k' of LegendreRecurrence::derivative
    exact_derivative,  ///< S scaled by exact_derivative_scale, with the exact P_k' of LegendreBasis::reference_basis
};

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

/// Values per element record of a degree: degree + 1 rounded up to whole vectors.
constexpr std::size_t record_width(std::size_t degree) { return (degree + kLanes) / kLanes * kLanes; }

/// The largest degree whose sums read element records.
constexpr std::size_t kLargestRecordDegree = 5;

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
    const double left = width * grid_last;
    const double right = width + left;
    const double reciprocal = 1.0 / width;
    const bool normal = std::isnormal(width) && std::isnormal(reciprocal);
    const double margin = (grid_last + 1.0) * 0x1p-40;
    return {width, reciprocal, margin, last, !std::isfinite(left + right), grid_last <= kNarrowLast && normal};
}

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
ZORV_X86_CLONES void records_range(Sum kind, const Grid& grid, std::size_t degree, const double* records,
                                   const double* times, std::size_t count, double* out) {
    switch (kind) {
        case Sum::value: records_sum_range<Sum::value>(grid, degree, records, times, count, out); break;
        case Sum::derivative: records_sum_range<Sum::derivative>(grid, degree, records, times, count, out); break;
        case Sum::exact_derivative:
            records_sum_range<Sum::exact_derivative>(grid, degree, records, times, count, out);
            break;
    }
}

/// One function's batch on its element records, where they are worth their copy and it
/// can be made (see ElementRecords): `dofs` holds D_k of element e at dofs[e + k * stride]
/// for the first `rows` elements, which are all the batch reaches. False where the
/// caller is to run the batch on the dofs as they are.
bool sum_on_records(Sum kind, double width, std::size_t n_t, std::size_t degree, const double* dofs,
                    std::size_t stride, std::size_t rows, std::span<const double> times, std::span<double> out,
                    const InOrder* in_order) {
    if (!ElementRecords::worth(width, n_t, degree, times.size())) return false;
    const ElementRecords records(dofs, stride, std::min(n_t, rows), degree);
    if (records.data() == nullptr) return false;
    const Grid grid = grid_of(width, n_t, rows);
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        records_range(kind, grid, degree, records.data(), times.data() + begin, end - begin, out.data() + begin);
    }, in_order);
    return true;
}

ZORV_X86_CLONES void value_range(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                                 const double* times, std::size_t count, double* out) {
    sum_range<Sum::value>(grid, degree, dofs, stride, times, count, out);
}

ZORV_X86_CLONES void derivative_range(const Grid& grid, std::size_t degree, const double* dofs, std::size_t stride,
                                      const double* times, std::size_t count, double* out) {
    sum_range<Sum::derivative>(grid, degree, dofs, stride, times, count, out);
}

ZORV_X86_CLONES void exact_derivative_range(const Grid& grid, std::size_t degree, const double* dofs,
                                            std::size_t stride, const double* times, std::size_t count,
                                            double* out) {
    sum_range<Sum::exact_derivative>(grid, degree, dofs, stride, times, count, out);
}

}  // namespace

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

namespace {

ZORV_X86_CLONES void locate_range(const Grid& grid, const double* times, std::size_t count, std::size_t* elements,
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

}  // namespace

// Not inlined, so that a link-time optimiser never imports it (and the clones of the
// file-local kernel it calls) into another file: clang 16's ThinLTO then refers to a
// clone it does not emit.
[[gnu::noinline]] void LegendreBasis::locate_many(std::span<const double> times, std::span<std::size_t> elements,
                                                  std::span<double> xi) const noexcept {
    assert(n_t_ > 0 && elements.size() == times.size() && xi.size() == times.size());
    locate_range(grid_of(element_width(), n_t_, n_t_), times.data(), times.size(), elements.data(), xi.data());
}

}  // namespace zorv

// ---- many functions, exact derivatives, the design matrix, projection -------------

namespace zorv {

void LegendreBasis::reference_basis(double xi, bool derivative, std::span<double> values) const noexcept {
    if (!derivative) {
        for_each_degree(xi, degree_, [&](std::size_t k, const LegendreRecurrence& p) { values[k] = p.value(); });
        return;
    }
    values[0] = 0.0;
    if (degree_ == 0) return;
    values[1] = 1.0;
    // P'_(k+1) = P'_(k-1) + (2k+1) P_k for k = 1 .. degree - 1: every term is a
    // bounded P_k times an exact odd integer, so no cancellation grows as xi -> +-1.
    double kf = 1.0;
    for_each_degree(xi, degree_ - 1, [&](std::size_t k, const LegendreRecurrence& p) {
        if (k == 0) return;
        values[k + 1] = values[k - 1] + ((kf + kf) + 1.0) * p.value();
        kf = kf + 1.0;
    });
}

double LegendreBasis::direct_sum(bool derivative, ElementPosition position, const double* dofs) const noexcept {
    // The sums of evaluate_functions_range without a table: the recurrence runs
    // alongside, P'_(k-1) and P'_k carried, the same operations in the same order.
    const double* d = dofs + position.element;
    double sum = -0.0;
    double before = 0.0;   // P'_(k-1)
    double current = 0.0;  // P'_k
    double kf = 1.0;
    for_each_degree(position.xi, degree_, [&](std::size_t k, const LegendreRecurrence& p) {
        double factor = p.value();
        if (derivative) {
            if (k == 1) {
                before = 0.0;
                current = 1.0;
            } else if (k >= 2) {
                const double next = before + ((kf + kf) + 1.0) * p.previous_value();
                before = current;
                current = next;
                kf = kf + 1.0;
            }
            factor = current;
        }
        sum = sum + factor * d[k * n_t_];
    });
    if (derivative) exact_derivative_scale(sum, element_width(), 1.0 / element_width(), sum);
    return sum;
}

namespace {

/// Times per block of the many-function kernel: a block's table of basis values
/// holds at most 16384 doubles (128 KiB), or the values of one time when the degree
/// is higher, and never more than 1024 times.
std::size_t time_block_for(std::size_t degree) noexcept {
    constexpr std::size_t kTableValues = 16384;
    return std::clamp<std::size_t>(kTableValues / (degree + 1), 1, 1024);
}

/// The sums of one function over the times of a block whose basis values stand in a
/// table. The table's rows are grouped by four, each group's values column by column:
/// P_k (or P_k') at row j stands at (j / 4) * 4 * columns + 4 * k + j % 4, so that the
/// values of four rows load as one vector. Row j holds the time `offsets[j]` of the
/// block, which lies in element `elements[j]`; rows up to a multiple of four exist
/// (copies of the last row), of which only the first `rows` are written.
struct TableSums {
    const double* table;
    const std::size_t* elements;
    const std::size_t* offsets;
    const double* dofs;
    double* out;  ///< the function's values at the times of the block
    std::size_t columns;
    std::size_t n_t;
    double width;
    double reciprocal;  ///< 1 / width
    bool derivative;
};

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

ZORV_X86_CLONES void table_sums_range(const TableSums& job, std::size_t row_begin, std::size_t row_end, bool check,
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

/// From this many functions on, the times of a block are taken in element order, so
/// that each function's dofs are read nearly in sequence (sorting costs about as
/// much as a few functions' sums).
constexpr std::size_t kSortFromFunctions = 32;

/// `count` rounded up to whole groups of four.
constexpr std::size_t whole_groups(std::size_t count) noexcept { return (count + kLanes - 1) / kLanes * kLanes; }

}  // namespace

/// The basis values of a block of times, and where each time lies: working memory of
/// a range, or formed once and shared by every range when the times fit one block.
struct LegendreBasis::BlockTable {
    std::unique_ptr<double[]> table;           ///< whole_groups(block) * columns basis values
    std::unique_ptr<double[]> row;             ///< the basis values of one time
    std::unique_ptr<double[]> xi;              ///< per time of the block
    std::unique_ptr<std::size_t[]> located;    ///< element per time of the block
    std::unique_ptr<std::size_t[]> elements;   ///< element per table row
    std::unique_ptr<std::size_t[]> offsets;    ///< time offset per table row
    bool sorted = false;                       ///< rows in element order, else row j holds time j

    BlockTable(std::size_t block, std::size_t columns) noexcept
        : table(new (std::nothrow) double[whole_groups(block) * columns]),
          row(new (std::nothrow) double[columns]),
          xi(new (std::nothrow) double[block]),
          located(new (std::nothrow) std::size_t[block]),
          elements(new (std::nothrow) std::size_t[whole_groups(block)]),
          offsets(new (std::nothrow) std::size_t[block]) {}

    bool usable() const noexcept { return table && row && xi && located && elements && offsets; }
};

void LegendreBasis::fill_block_table(BlockTable& block, bool derivative, const double* times, std::size_t count,
                                     bool sorted) const noexcept {
    const std::size_t columns = degree_ + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const ElementPosition position = locate_in_grid(times[i]);
        block.located[i] = position.element;
        block.xi[i] = position.xi;
        block.offsets[i] = i;
    }
    block.sorted = sorted;
    if (sorted) {
        std::sort(block.offsets.get(), block.offsets.get() + count, [&](std::size_t a, std::size_t b) {
            return block.located[a] < block.located[b] || (block.located[a] == block.located[b] && a < b);
        });
    }
    for (std::size_t j = 0; j < whole_groups(count); ++j) {
        // Rows beyond the last repeat it, so that every group reads real dofs.
        const std::size_t i = block.offsets[std::min(j, count - 1)];
        block.elements[j] = block.located[i];
        reference_basis(block.xi[i], derivative, {block.row.get(), columns});
        double* const group = block.table.get() + j / kLanes * kLanes * columns + j % kLanes;
        for (std::size_t k = 0; k < columns; ++k) group[kLanes * k] = block.row[k];
    }
}

void LegendreBasis::evaluate_functions_range(bool derivative, const double* dofs, std::size_t functions,
                                             std::span<const double> times, double* out, std::size_t block,
                                             const BlockTable* shared, std::size_t begin,
                                             std::size_t end) const noexcept {
    // Flat order of the evaluations: time block by time block; within a block of
    // `len` times starting at time `first`, function by function, and within a
    // function time by time. Evaluation (f, i) of the block is at
    // first * functions + f * len + (i - first). A range that covers several
    // functions of a block applies the basis values of the block's times, formed
    // once in a table (the shared one when there is a single block), to all those
    // functions; a range within one function forms them as it sums.
    const std::size_t n = times.size();
    const std::size_t columns = degree_ + 1;
    const std::size_t n_dofs = n_t_ * columns;
    const double width = element_width();
    const std::size_t per_block = block * functions;  // <= n * functions: block <= n

    const Grid grid = grid_of(width, n_t_, n_t_);
    const auto one_function = [&](std::size_t f, std::size_t from, std::size_t count) {
        // No table: the sums of four times at once in vector lanes.
        const double* const function_dofs = dofs + f * n_dofs;
        if (derivative) {
            exact_derivative_range(grid, degree_, function_dofs, n_t_, times.data() + from, count, out + f * n + from);
        } else {
            value_range(grid, degree_, function_dofs, n_t_, times.data() + from, count, out + f * n + from);
        }
    };
    if (functions == 1) {
        // Evaluation x is time x: the whole range in one call of the kernel.
        one_function(0, begin, end - begin);
        return;
    }
    std::optional<BlockTable> own;  // this range's table, made at its first use
    for (std::size_t x = begin; x < end;) {
        const std::size_t b = x / per_block;
        const std::size_t first = b * block;
        const std::size_t len = std::min(block, n - first);
        const std::size_t base = b * per_block;
        const std::size_t stop_at = std::min(end, base + len * functions);
        const std::size_t f_first = (x - base) / len;
        const std::size_t i_first = (x - base) % len;
        const std::size_t f_last = (stop_at - 1 - base) / len;
        const std::size_t i_last = (stop_at - 1 - base) % len;
        x = stop_at;
        if (f_first == f_last) {
            one_function(f_first, first + i_first, i_last + 1 - i_first);
            continue;
        }
        const BlockTable* table = shared;
        if (table == nullptr) {
            if (!own) own.emplace(block, columns);
            if (!own->usable()) [[unlikely]] {
                // No memory for a table: the same sums, the recurrence run per evaluation.
                for (std::size_t f = f_first; f <= f_last; ++f) {
                    const std::size_t to = f == f_last ? i_last + 1 : len;
                    for (std::size_t i = f == f_first ? i_first : 0; i < to; ++i) {
                        out[f * n + first + i] =
                            direct_sum(derivative, locate_in_grid(times[first + i]), dofs + f * n_dofs);
                    }
                }
                continue;
            }
            fill_block_table(*own, derivative, times.data() + first, len, f_last - f_first + 1 >= kSortFromFunctions);
            table = &*own;
        }
        // Several functions: the basis values of the block's times, from the table.
        for (std::size_t f = f_first; f <= f_last; ++f) {
            const std::size_t from = f == f_first ? i_first : 0;
            const std::size_t to = f == f_last ? i_last + 1 : len;
            const TableSums sums{table->table.get(), table->elements.get(), table->offsets.get(), dofs + f * n_dofs,
                                 out + f * n + first, columns, n_t_, width, 1.0 / width, derivative};
            if (table->sorted) {
                table_sums_range(sums, 0, len, from != 0 || to != len, from, to);
            } else {
                table_sums_range(sums, from, to, false, from, to);  // row j holds the time j
            }
        }
    }
}

void LegendreBasis::evaluate_functions(bool derivative, std::span<const double> dofs, std::size_t functions,
                                       std::span<const double> times, std::span<double> out) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t n_dofs = dof_count();
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != dof_values) {
        stop(assert_eq_message("evaluate_functions: n_t * (degree + 1) dofs per function", dofs.size(), dof_values));
    }
    const std::size_t evaluations = mul_or_capacity_stop(functions, times.size());
    if (out.size() != evaluations) {
        stop(assert_eq_message("evaluate_functions: one value per function and time", out.size(), evaluations));
    }
    if (evaluations == 0) return;
    const Sum kind = derivative ? Sum::exact_derivative : Sum::value;
    if (functions == 1 &&
        sum_on_records(kind, element_width(), n_t_, degree_, dofs.data(), n_t_, n_t_, times, out, nullptr)) {
        return;
    }
    const std::size_t block = std::min(time_block_for(degree_), times.size());
    // Times that fit one block: their table is formed once, here, instead of once by
    // every range of the pool (each range would otherwise locate and sort them all).
    std::optional<BlockTable> shared;
    if (functions > 1 && block == times.size()) {
        shared.emplace(block, degree_ + 1);
        if (shared->usable()) {
            fill_block_table(*shared, derivative, times.data(), block, functions >= kSortFromFunctions);
        } else {
            shared.reset();
        }
    }
    const BlockTable* const table = shared ? &*shared : nullptr;
    batch_for(evaluations, [&](std::size_t begin, std::size_t end) {
        evaluate_functions_range(derivative, dofs.data(), functions, times, out.data(), block, table, begin, end);
    });
}

template <class Index>
void LegendreBasis::basis_matrix_entries(bool derivative, std::span<const double> times, std::span<Index> columns,
                                         std::span<double> values) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t n_dofs = dof_count();
    if (n_dofs - 1 > static_cast<std::size_t>(std::numeric_limits<Index>::max())) stop("capacity overflow");
    const std::size_t per_row = degree_ + 1;
    const std::size_t entries = mul_or_capacity_stop(times.size(), per_row);
    if (columns.size() != entries) {
        stop(assert_eq_message("basis_matrix_entries: degree + 1 columns per time", columns.size(), entries));
    }
    if (values.size() != entries) {
        stop(assert_eq_message("basis_matrix_entries: degree + 1 values per time", values.size(), entries));
    }
    const double width = element_width();
    const double reciprocal = 1.0 / width;
    batch_for(times.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const ElementPosition position = locate_in_grid(times[i]);
            double* const row_values = values.data() + i * per_row;
            Index* const row_columns = columns.data() + i * per_row;
            reference_basis(position.xi, derivative, {row_values, per_row});
            for (std::size_t k = 0; k < per_row; ++k) {
                if (derivative) exact_derivative_scale(row_values[k], width, reciprocal, row_values[k]);
                row_columns[k] = static_cast<Index>(position.element + n_t_ * k);
            }
        }
    });
}

template void LegendreBasis::basis_matrix_entries<std::int32_t>(bool, std::span<const double>, std::span<std::int32_t>,
                                                                std::span<double>) const;
template void LegendreBasis::basis_matrix_entries<std::int64_t>(bool, std::span<const double>, std::span<std::int64_t>,
                                                                std::span<double>) const;

std::vector<double> LegendreBasis::quadrature_times(std::span<const double> nodes) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t q = nodes.size();
    const std::size_t count = mul_or_capacity_stop(n_t_, q);
    check_capacity(count, sizeof(double));
    std::vector<double> times(count);
    const double w = element_width();
    for (std::size_t e = 0; e < n_t_; ++e) {
        const double left = w * static_cast<double>(e);
        const double right = w + left;
        const double middle = -midpoint_negated(left, right);
        const double half = (right - left) * 0.5;
        for (std::size_t j = 0; j < q; ++j) times[e * q + j] = middle + nodes[j] * half;
    }
    return times;
}

void LegendreBasis::project(std::span<const double> nodes, std::span<const double> weights,
                            std::span<const double> samples, std::size_t functions, std::span<double> dofs) const {
    if (n_t_ == 0) stop_no_element();
    const std::size_t q = nodes.size();
    if (weights.size() != q) stop(assert_eq_message("project: one weight per node", weights.size(), q));
    const std::size_t n_dofs = dof_count();
    const std::size_t per_function = mul_or_capacity_stop(n_t_, q);
    const std::size_t sample_count = mul_or_capacity_stop(functions, per_function);
    if (samples.size() != sample_count) {
        stop(assert_eq_message("project: one sample per function and quadrature time", samples.size(), sample_count));
    }
    const std::size_t dof_values = mul_or_capacity_stop(functions, n_dofs);
    if (dofs.size() != dof_values) {
        stop(assert_eq_message("project: n_t * (degree + 1) dofs per function", dofs.size(), dof_values));
    }
    // moments[j * columns + k] = ((2k + 1) / 2) w_j P_k(x_j): the coefficient of P_k of
    // the projection is the quadrature of f P_k over the reference interval divided
    // by the norm 2 / (2k + 1) of P_k.
    const std::size_t columns = degree_ + 1;
    std::vector<double> moments(mul_or_capacity_stop(q, columns));
    for (std::size_t j = 0; j < q; ++j) {
        const std::span<double> row(moments.data() + j * columns, columns);
        reference_basis(nodes[j], false, row);
        double kf = 0.0;
        for (std::size_t k = 0; k < columns; ++k) {
            row[k] = (((kf + kf) + 1.0) * 0.5) * (weights[j] * row[k]);
            kf = kf + 1.0;
        }
    }
    batch_for(mul_or_capacity_stop(functions, n_t_), [&](std::size_t begin, std::size_t end) {
        for (std::size_t index = begin; index < end; ++index) {
            const std::size_t f = index / n_t_;
            const std::size_t e = index % n_t_;
            const double* const s = samples.data() + f * per_function + e * q;
            double* const d = dofs.data() + f * n_dofs + e;
            for (std::size_t k = 0; k < columns; ++k) {
                double sum = 0.0;
                for (std::size_t j = 0; j < q; ++j) sum = sum + moments[j * columns + k] * s[j];
                d[n_t_ * k] = sum;
            }
        }
    });
}

}  // namespace zorv
