#include "bindings/functions.hpp"

#include "bindings/binder.hpp"
#include "bindings/convert.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/triplets.hpp"
#include "support/memory.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace zorv::py {

namespace {

// ---- sum_as_string(a, b) -------------------------------------------------------

/// The exact decimal sum: formed in 128 bits, so sums beyond SIZE_MAX are shown
/// in full instead of wrapping around.
std::string sum_as_string_impl(std::size_t a, std::size_t b) {
    unsigned __int128 sum = static_cast<unsigned __int128>(a) + b;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(sum % 10)));
        sum /= 10;
    } while (sum != 0);
    return digits;
}

constexpr Parameters<2> kSumAsString{"sum_as_string()", {"a", "b"}};

PyObject* sum_as_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [a, b] = kSumAsString.bind(args, nargs, kwnames);
        const std::size_t a_value = argument("a", a, to_count);
        const std::size_t b_value = argument("b", b, to_count);
        return make_text(sum_as_string_impl(a_value, b_value));
    });
}

// ---- the Lagrange functions ------------------------------------------------------

constexpr const char* kPeriodicDegree = "Periodic Lagrange bases require polynomial degree at least 1";
constexpr const char* kPeriodicInterval = "Periodic Lagrange bases require at least one interval";
constexpr const char* kPeriodicProlongation = "Periodic Lagrange prolongation requires positive interval counts";

/// Refuses a periodic grid that has no node, before anything is built.
void check_periodic_grid(bool periodic, std::size_t degree, bool has_empty_count, const char* count_message) {
    if (!periodic) return;
    if (degree == 0) throw_error(PyExc_ValueError, kPeriodicDegree);
    if (has_empty_count) throw_error(PyExc_ValueError, count_message);
}

// ---- what a result needs, checked before it is built ------------------------------------
//
// Per node of get_lagrange_points: the node (8 bytes), its list slot (8) and its float
// object (24).
constexpr std::size_t kBytesPerNode = 8 + 8 + 24;
// Per entry of a sparse result, at the peak of the call: the entry's column and value
// (16), the triplets' row index (8), three list slots (24) and, for the prolongation,
// whose weights rarely repeat, a float object per value (24).
constexpr std::size_t kBytesPerProlongationEntry = 16 + 8 + 24 + 24;
constexpr std::size_t kBytesPerTransformationEntry = 16 + 8 + 24;
// Per cell of the transformation's weight matrix: the Vandermonde matrix, the work copy
// of its inversion and the inverse.
constexpr std::size_t kBytesPerWeightCell = 3 * 8;

/// a * b, or nothing when the product does not fit (the core reports those counts).
std::optional<std::size_t> product(std::size_t a, std::size_t b) {
    std::size_t result = 0;
    if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
    return result;
}

/// Refuses a node list that the process cannot hold.
void require_nodes(std::size_t degree, std::size_t n_t, bool periodic) {
    const std::optional<std::size_t> nodes = product(n_t, degree);
    if (nodes) require_memory(*nodes + (periodic ? 0 : 1), kBytesPerNode, "nodes");
}

PyRef triplet_tuple(CsrMatrix&& matrix) {
    const Triplets triplets = csr_to_triplets(std::move(matrix));
    return make_triplet_tuple(triplets.rows, triplets.cols, triplets.values);
}

constexpr Parameters<4> kGetLagrangePoints{"get_lagrange_points()", {"degree", "n_t", "T", "periodic"}, 3};

PyObject* get_lagrange_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [degree, n_t, T, periodic] = kGetLagrangePoints.bind(args, nargs, kwnames);
        const std::size_t degree_value = argument("degree", degree, to_count);
        const std::size_t n_t_value = argument("n_t", n_t, to_count);
        const double T_value = argument("T", T, to_float);
        const bool periodic_value = optional_argument("periodic", periodic, to_flag, false);
        check_periodic_grid(periodic_value, degree_value, n_t_value == 0, kPeriodicInterval);
        require_nodes(degree_value, n_t_value, periodic_value);
        const LagrangeBasis basis = LagrangeBasis::create(degree_value, n_t_value, T_value, periodic_value);
        return make_float_list(basis.points());
    });
}

constexpr Parameters<4> kProlongation{
    "lagrange_prolongation_matrix()", {"nt_coarse", "nt_fine", "degree", "periodic"}, 3};

PyObject* lagrange_prolongation_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [nt_coarse, nt_fine, degree, periodic] = kProlongation.bind(args, nargs, kwnames);
        const std::size_t nt_coarse_value = argument("nt_coarse", nt_coarse, to_count);
        const std::size_t nt_fine_value = argument("nt_fine", nt_fine, to_count);
        const std::size_t degree_value = argument("degree", degree, to_count);
        const bool periodic_value = optional_argument("periodic", periodic, to_flag, false);
        check_periodic_grid(periodic_value, degree_value, nt_coarse_value == 0 || nt_fine_value == 0,
                            kPeriodicProlongation);
        // Each fine node has at most degree + 1 entries; counts that the core refuses
        // (a zero count, or one that does not fit) are left to it.
        if (degree_value != 0 && nt_coarse_value != 0 && nt_fine_value != 0) {
            const std::optional<std::size_t> fine_nodes = product(nt_fine_value, degree_value);
            const std::optional<std::size_t> entries =
                fine_nodes ? product(*fine_nodes + (periodic_value ? 0 : 1), degree_value + 1) : std::nullopt;
            if (entries) require_memory(*entries, kBytesPerProlongationEntry, "matrix entries");
        }
        // The coarse node list is built before the core checks the other counts.
        if (const std::optional<std::size_t> coarse_nodes = product(nt_coarse_value, degree_value)) {
            require_memory(*coarse_nodes, sizeof(double), "coarse nodes");
        }
        // The matrix depends only on the counts, so the coarse grid spans [0, 1].
        const LagrangeBasis coarse = LagrangeBasis::create(degree_value, nt_coarse_value, 1.0, periodic_value);
        return triplet_tuple(coarse.get_prolongation_matrix_to(nt_fine_value));
    });
}

constexpr Parameters<3> kTransformation{
    "lagrange_to_legendre_basis_transformation()", {"degree", "n_t", "periodic"}, 2};

PyObject* lagrange_to_legendre_basis_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) {
    return guarded([&] {
        const auto [degree, n_t, periodic] = kTransformation.bind(args, nargs, kwnames);
        const std::size_t degree_value = argument("degree", degree, to_count);
        const std::size_t n_t_value = argument("n_t", n_t, to_count);
        const bool periodic_value = optional_argument("periodic", periodic, to_flag, false);
        check_periodic_grid(periodic_value, degree_value, n_t_value == 0, kPeriodicInterval);
        // degree + 1 blocks of n_t rows with degree + 1 entries each, from a weight
        // matrix of (degree + 1)^2 cells; degree 0 and counts that do not fit are the
        // core's stops.
        const std::optional<std::size_t> cells = degree_value != 0 && degree_value < SIZE_MAX
                                                     ? product(degree_value + 1, degree_value + 1)
                                                     : std::nullopt;
        if (cells) {
            require_memory(*cells, kBytesPerWeightCell, "weight matrix cells");
            if (const std::optional<std::size_t> entries = product(*cells, n_t_value)) {
                require_memory(*entries, kBytesPerTransformationEntry, "matrix entries");
            }
        }
        // The node list is built first, also when the entry count does not fit.
        require_nodes(degree_value, n_t_value, periodic_value);
        const LagrangeBasis basis = LagrangeBasis::create(degree_value, n_t_value, 1.0, periodic_value);
        return triplet_tuple(basis.get_transormation_matrix_to_legendre());
    });
}

std::array<PyMethodDef, 4> functions{{
    fastcall_entry("sum_as_string", sum_as_string,
                   "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."),
    fastcall_entry("lagrange_to_legendre_basis_transformation", lagrange_to_legendre_basis_transformation,
                   "lagrange_to_legendre_basis_transformation(degree, n_t, periodic=False)\n--\n\n"),
    fastcall_entry("lagrange_prolongation_matrix", lagrange_prolongation_matrix,
                   "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree, periodic=False)\n--\n\n"),
    fastcall_entry("get_lagrange_points", get_lagrange_points,
                   "get_lagrange_points(degree, n_t, T, periodic=False)\n--\n\n"),
}};

}  // namespace

std::span<PyMethodDef> module_functions() { return functions; }

}  // namespace zorv::py
