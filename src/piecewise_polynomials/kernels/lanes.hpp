#pragma once
/// @file
/// Four doubles operated on side by side: the lane types and helpers of the vector
/// kernels (kernels/evaluation.cpp, kernels/calculus.cpp). GCC vector extensions, which
/// every compiler of the build maps to the instruction set it compiles for, with the
/// same IEEE operations in every lane.
///
/// Vectors are passed by reference and results written through one: a vector must
/// never be passed by value across a call, because the calling convention for it
/// differs between the instruction sets a kernel is cloned for (see
/// support/target_clones.hpp). These helpers always inline.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace zorv {

/// Values formed side by side.
constexpr std::size_t kLanes = 4;

/// One double per lane.
using Lanes = double __attribute__((vector_size(kLanes * sizeof(double))));
/// One 64-bit integer per lane: comparison masks (all ones or zero) and element indices.
using Bits = std::int64_t __attribute__((vector_size(kLanes * sizeof(double))));
/// One 32-bit integer per lane: element indices of a grid with fewer than 2^31 elements.
using Narrow = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));

/// Lane by lane `mask ? yes : no`, for a comparison mask; `result` may be `yes` or `no`.
[[gnu::always_inline]] inline void select(const Bits& mask, const Lanes& yes, const Lanes& no, Lanes& result) {
    result = reinterpret_cast<Lanes>((mask & reinterpret_cast<Bits>(yes)) | (~mask & reinterpret_cast<Bits>(no)));
}

/// Lane by lane |x|; `result` may be `x`.
[[gnu::always_inline]] inline void magnitude(const Lanes& x, Lanes& result) {
    result = reinterpret_cast<Lanes>(reinterpret_cast<Bits>(x) & std::numeric_limits<std::int64_t>::max());
}

/// Value `offset` of each lane's row: rows[j][offset] into lane j.
[[gnu::always_inline]] inline void gather(const double* const* rows, std::size_t offset, Lanes& values) {
    values = Lanes{rows[0][offset], rows[1][offset], rows[2][offset], rows[3][offset]};
}

/// The chain rule of one derivative, for xi = 2 (t - middle) / w: (S + S) / w, formed
/// as (S + S) (1 / w) where 1 / w is normal (an exact derivative's operations are not
/// fixed: the product spares the divider and stays within an ulp of the quotient), else
/// as the quotient. Every path of the exact derivatives scales by it, so that they agree
/// bit for bit. `Real` is double or Lanes; `reciprocal` is 1 / width.
template <class Real>
[[gnu::always_inline]] inline void exact_derivative_scale(const Real& sum, double width, double reciprocal,
                                                          Real& result) {
    if (std::isnormal(reciprocal)) [[likely]] {
        result = (sum + sum) * reciprocal;
    } else {
        result = (sum + sum) / width;
    }
}

/// How record_columns reads a 4 x 4 block of four records.
enum class Transpose {
    rows,   ///< four whole-row loads, then eight shuffles: the fewest loads
    pairs,  ///< eight half-row loads, joined two by two, then four shuffles
};

/// The values [0, Width) of four records as lanes: column k holds value k of each
/// record, where gathering them would take 4 Width scalar loads. With
/// Transpose::pairs, rows 0 and 2 (1 and 3) are read side by side into one vector and
/// interleaved once, so a column depends only on the half rows that hold it and the
/// half rows whose columns a kernel never uses are not loaded. The integral kernel,
/// which reads two records per point and not all of their values, is faster so; the
/// evaluation kernel, which reads one record and all of it, is faster with whole rows.
template <std::size_t Width, Transpose how = Transpose::rows>
[[gnu::always_inline]] inline void record_columns(const double* const* rows, Lanes* columns) {
    static_assert(Width % kLanes == 0);
    if constexpr (how == Transpose::pairs) {
        using Pair = double __attribute__((vector_size(2 * sizeof(double))));
        for (std::size_t k = 0; k < Width; k += 2) {
            Pair p0, p1, p2, p3;
            __builtin_memcpy(&p0, rows[0] + k, sizeof p0);
            __builtin_memcpy(&p1, rows[1] + k, sizeof p1);
            __builtin_memcpy(&p2, rows[2] + k, sizeof p2);
            __builtin_memcpy(&p3, rows[3] + k, sizeof p3);
            const Lanes even = __builtin_shufflevector(p0, p2, 0, 1, 2, 3);  // rows 0 and 2
            const Lanes odd = __builtin_shufflevector(p1, p3, 0, 1, 2, 3);   // rows 1 and 3
            columns[k] = __builtin_shufflevector(even, odd, 0, 4, 2, 6);
            columns[k + 1] = __builtin_shufflevector(even, odd, 1, 5, 3, 7);
        }
        return;
    }
    for (std::size_t k = 0; k < Width; k += kLanes) {
        Lanes r0, r1, r2, r3;
        __builtin_memcpy(&r0, rows[0] + k, sizeof r0);
        __builtin_memcpy(&r1, rows[1] + k, sizeof r1);
        __builtin_memcpy(&r2, rows[2] + k, sizeof r2);
        __builtin_memcpy(&r3, rows[3] + k, sizeof r3);
        const Lanes t0 = __builtin_shufflevector(r0, r1, 0, 4, 2, 6);
        const Lanes t1 = __builtin_shufflevector(r0, r1, 1, 5, 3, 7);
        const Lanes t2 = __builtin_shufflevector(r2, r3, 0, 4, 2, 6);
        const Lanes t3 = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
        columns[k] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
        columns[k + 1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
        columns[k + 2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
        columns[k + 3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
    }
}

}  // namespace zorv
