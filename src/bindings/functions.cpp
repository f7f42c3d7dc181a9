#include "bindings/functions.hpp"

#include "bindings/binder.hpp"
#include "bindings/convert.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/triplets.hpp"

#include <array>
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
