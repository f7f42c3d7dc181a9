// zorv_arrays: the NumPy-native companion of zorv, on the same numerical core.
//
// Arrays in, arrays out: float64 NumPy arrays of any shape for dofs and times, new
// or caller-given result arrays, SciPy csr_arrays with their shapes for matrices, and
// an immutable, hashable, picklable LegendreSpace. The work is done by the core
// (src/piecewise_polynomials) with the interpreter lock released for large inputs,
// on the one worker pool of the process: the pool of the zorv module, which this
// module borrows at import.

#include <dlfcn.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/operators.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_calculus.hpp"
#include "piecewise_polynomials/quadrature.hpp"
#include "sparse_matrix_tools/csr.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zorv::arrays {
namespace {

using FloatIn = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using FloatOut = nb::ndarray<double, nb::c_contig, nb::device::cpu>;

// ---- NumPy and SciPy entry points -------------------------------------------------

/// The NumPy functions this module calls; looked up once at import and kept for the
/// life of the process (never destroyed: the interpreter may already be gone then).
struct Numpy {
    nb::object asarray;
    nb::object empty;
    nb::object float64;
    nb::object int32;
    nb::object int64;
};

Numpy* numpy = nullptr;

bool is_aligned(const void* data) { return reinterpret_cast<std::uintptr_t>(data) % alignof(double) == 0; }

/// An array and a C-contiguous float64 view of it; the object keeps the memory alive.
struct FloatArray {
    nb::object owner;
    FloatIn view;

    std::span<const double> values() const { return {view.data(), view.size()}; }
};

/// `value` as a C-contiguous float64 array: the array itself when it already is one
/// (no copy), otherwise NumPy's conversion of real numbers (booleans, strings,
/// objects and complex numbers are refused, as silent conversions of them hide errors).
FloatArray float_array(nb::handle value, const char* name) {
    FloatIn view;
    if (nb::try_cast(value, view, false) && is_aligned(view.data())) return {nb::borrow(value), view};
    nb::object array = numpy->asarray(value);
    const nb::object dtype = array.attr("dtype");
    const std::string kind = nb::str(dtype.attr("kind")).c_str();
    if (kind != "f" && kind != "i" && kind != "u") {
        throw nb::type_error((std::string(name) + " must be an array of real numbers, not of dtype " +
                              nb::str(dtype).c_str())
                                 .c_str());
    }
    nb::object converted = numpy->asarray(array, "dtype"_a = numpy->float64, "order"_a = "C");
    view = nb::cast<FloatIn>(converted, false);
    if (!is_aligned(view.data())) {  // a block received from another process may lie unaligned
        converted = converted.attr("copy")();
        view = nb::cast<FloatIn>(converted, false);
    }
    return {converted, view};
}

std::string shape_text(const std::vector<std::size_t>& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += std::to_string(shape[i]);
        if (i + 1 < shape.size() || shape.size() == 1) text += ",";
        if (i + 1 < shape.size()) text += " ";
    }
    return text + ")";
}

std::vector<std::size_t> shape_of(const FloatIn& array) {
    std::vector<std::size_t> shape(array.ndim());
    for (std::size_t i = 0; i < shape.size(); ++i) shape[i] = array.shape(i);
    return shape;
}

nb::tuple shape_tuple(const std::vector<std::size_t>& shape) {
    nb::list items;
    for (const std::size_t extent : shape) items.append(extent);
    return nb::tuple(items);
}

/// A new, uninitialised NumPy array (NumPy reports a size that cannot be allocated).
std::pair<nb::object, void*> new_array(const std::vector<std::size_t>& shape, const nb::object& dtype) {
    nb::object array = numpy->empty(shape_tuple(shape), "dtype"_a = dtype);
    nb::ndarray<nb::c_contig, nb::device::cpu> view = nb::cast<nb::ndarray<nb::c_contig, nb::device::cpu>>(array, false);
    return {array, view.data()};
}

bool overlaps(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) {
    const auto a_begin = reinterpret_cast<std::uintptr_t>(a);
    const auto b_begin = reinterpret_cast<std::uintptr_t>(b);
    return a_bytes != 0 && b_bytes != 0 && a_begin < b_begin + b_bytes && b_begin < a_begin + a_bytes;
}

/// Releases the interpreter lock for work of `count` items from the batch threshold on.
class ReleaseForLargeWork {
public:
    explicit ReleaseForLargeWork(std::size_t count) {
        if (count >= kParallelThreshold) release_.emplace();
    }

private:
    std::optional<nb::gil_scoped_release> release_;
};

/// A count argument: a non-negative integer (`minimum` 1 for element counts).
std::size_t count_argument(std::int64_t value, const char* name, std::int64_t minimum) {
    if (value < minimum) {
        throw nb::value_error((std::string(name) + " must be an integer >= " + std::to_string(minimum) + ", got " +
                               std::to_string(value))
                                  .c_str());
    }
    return static_cast<std::size_t>(value);
}

/// A derivative order: a bool (False 0, True 1) or a non-negative integer, NumPy's too.
std::size_t derivative_order(nb::handle value) {
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True ? 1 : 0;
    const nb::object numpy_bool = nb::module_::import_("numpy").attr("bool_");
    if (nb::isinstance(value, numpy_bool)) return PyObject_IsTrue(value.ptr()) == 1 ? 1 : 0;
    if (!PyIndex_Check(value.ptr())) {
        throw nb::type_error((std::string("derivative must be a bool or an integer order, not ") +
                              Py_TYPE(value.ptr())->tp_name)
                                 .c_str());
    }
    const nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    int overflow = 0;
    const long long order = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (order == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && order < 0)) {
        throw nb::value_error(("derivative must be an order >= 0, got " + std::string(nb::repr(index).c_str())).c_str());
    }
    // Orders beyond any degree all give zeros.
    return overflow > 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(order);
}

/// The extrapolation rule named by a string.
Extrapolation extrapolation_rule(const std::string& name) {
    if (name == "clamp") return Extrapolation::clamp;
    if (name == "extend") return Extrapolation::extend;
    if (name == "nan") return Extrapolation::nan;
    if (name == "raise") return Extrapolation::raise;
    throw nb::value_error(("extrapolate must be 'clamp', 'extend', 'nan' or 'raise', got '" + name + "'").c_str());
}

/// A CSR matrix of the core as a scipy.sparse.csr_array of its shape, entry for entry
/// (explicit zeros stay stored); 32-bit indices when they fit, as SciPy prefers.
nb::object csr_array(std::size_t rows, std::size_t cols, std::span<const std::size_t> offsets,
                     std::span<const std::size_t> columns, std::span<const double> values) {
    constexpr auto int32_max = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    const bool narrow = cols <= int32_max && values.size() <= int32_max;
    auto [data, data_ptr] = new_array({values.size()}, numpy->float64);
    auto [indices, indices_ptr] = new_array({columns.size()}, narrow ? numpy->int32 : numpy->int64);
    auto [indptr, indptr_ptr] = new_array({offsets.size()}, narrow ? numpy->int32 : numpy->int64);
    std::copy(values.begin(), values.end(), static_cast<double*>(data_ptr));
    const auto copy_indices = [&](auto* indices_out, auto* indptr_out) {
        using Index = std::remove_pointer_t<decltype(indices_out)>;
        for (std::size_t i = 0; i < columns.size(); ++i) indices_out[i] = static_cast<Index>(columns[i]);
        for (std::size_t i = 0; i < offsets.size(); ++i) indptr_out[i] = static_cast<Index>(offsets[i]);
    };
    if (narrow) {
        copy_indices(static_cast<std::int32_t*>(indices_ptr), static_cast<std::int32_t*>(indptr_ptr));
    } else {
        copy_indices(static_cast<std::int64_t*>(indices_ptr), static_cast<std::int64_t*>(indptr_ptr));
    }
    nb::object scipy_sparse = nb::module_::import_("scipy.sparse");
    return scipy_sparse.attr("csr_array")(nb::make_tuple(data, indices, indptr), "shape"_a = nb::make_tuple(rows, cols));
}

nb::object csr_array(const CsrMatrix& matrix) {
    return csr_array(matrix.nrows(), matrix.ncols(), matrix.row_offsets(), matrix.col_indices(), matrix.values());
}

/// Runs a core operation whose stops are answers to the arguments: ValueError.
template <class Operation>
auto stops_as_value_errors(Operation operation) {
    try {
        return operation();
    } catch (const Stop& stop) {
        throw nb::value_error(stop.what());
    }
}

// ---- LegendreSpace ------------------------------------------------------------------

/// The discontinuous Legendre space of a degree on n_t equal elements of [0, T].
class LegendreSpace {
public:
    LegendreSpace(std::int64_t degree, std::int64_t n_t, double T)
        : basis_(count_argument(degree, "degree", 0), count_argument(n_t, "n_t", 1), T) {
        if (!std::isfinite(T) || !(T > 0.0)) {
            throw nb::value_error(("T must be finite and positive, got " + std::string(nb::repr(nb::float_(T)).c_str()))
                                      .c_str());
        }
        try {
            n_dofs_ = basis_.n_dofs();
        } catch (const Stop&) {
            throw nb::value_error("degree and n_t give more dofs, n_t * (degree + 1), than can be stored");
        }
    }

    std::size_t degree() const { return basis_.degree(); }
    std::size_t n_t() const { return basis_.n_t(); }
    double T() const { return basis_.T(); }
    std::size_t n_dofs() const { return n_dofs_; }

    bool operator==(const LegendreSpace& other) const {
        return degree() == other.degree() && n_t() == other.n_t() && T() == other.T();
    }
    bool operator!=(const LegendreSpace& other) const { return !(*this == other); }

    std::string repr() const {
        return "LegendreSpace(degree=" + std::to_string(degree()) + ", n_t=" + std::to_string(n_t()) +
               ", T=" + std::string(nb::repr(nb::float_(T())).c_str()) + ")";
    }

    nb::object evaluate(nb::handle dofs_in, nb::handle t_in, nb::handle derivative_in, nb::handle out_in,
                        const std::string& extrapolate) const {
        const std::size_t order = derivative_order(derivative_in);
        const Extrapolation rule = extrapolation_rule(extrapolate);
        FloatArray dofs = float_array(dofs_in, "dofs");
        FloatArray t = float_array(t_in, "t");
        const std::vector<std::size_t> dofs_shape = shape_of(dofs.view);
        if (dofs_shape.empty() || dofs_shape.back() != n_dofs_) {
            throw nb::value_error(("dofs must have shape (..., n_dofs) with n_dofs = n_t * (degree + 1) = " +
                                   std::to_string(n_dofs_) + ", got shape " + shape_text(dofs_shape))
                                      .c_str());
        }
        const std::size_t functions = dofs.view.size() / n_dofs_;
        std::vector<std::size_t> shape(dofs_shape.begin(), dofs_shape.end() - 1);
        const std::vector<std::size_t> t_shape = shape_of(t.view);
        shape.insert(shape.end(), t_shape.begin(), t_shape.end());
        std::size_t evaluations = 0;
        if (__builtin_mul_overflow(functions, t.view.size(), &evaluations)) {
            throw nb::value_error("the result of dofs.shape[:-1] + t.shape is too large");
        }

        nb::object out_owner;
        FloatOut out;
        if (out_in.is_none()) {
            auto [array, data] = new_array(shape, numpy->float64);
            out_owner = array;
            out = nb::cast<FloatOut>(out_owner, false);
        } else {
            if (!nb::try_cast(out_in, out, false) || !is_aligned(out.data())) {
                throw nb::type_error("out must be a writable, aligned, C-contiguous float64 array");
            }
            std::vector<std::size_t> out_shape(out.ndim());
            for (std::size_t i = 0; i < out_shape.size(); ++i) out_shape[i] = out.shape(i);
            if (out_shape != shape) {
                throw nb::value_error(("out has shape " + shape_text(out_shape) +
                                       ", but dofs.shape[:-1] + t.shape is " + shape_text(shape))
                                          .c_str());
            }
            out_owner = nb::borrow(out_in);
            // Inputs that share memory with out are read from a copy, except one
            // function written over its own times (each value replaces its time).
            const std::size_t out_bytes = out.size() * sizeof(double);
            const bool in_place = functions == 1 && static_cast<const void*>(out.data()) == t.view.data() &&
                                  order == 0 && rule == Extrapolation::clamp;
            if (overlaps(out.data(), out_bytes, t.view.data(), t.view.size() * sizeof(double)) && !in_place) {
                t.owner = numpy->asarray(t.owner).attr("copy")();
                t.view = nb::cast<FloatIn>(t.owner, false);
            }
            if (overlaps(out.data(), out_bytes, dofs.view.data(), dofs.view.size() * sizeof(double))) {
                dofs.owner = numpy->asarray(dofs.owner).attr("copy")();
                dofs.view = nb::cast<FloatIn>(dofs.owner, false);
            }
        }
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(evaluations);
            evaluate_derivatives(basis_, order, rule, dofs.values(), functions, t.values(), {out.data(), out.size()});
        });
        return out_owner;
    }

    nb::object basis_matrix(nb::handle t_in, nb::handle derivative_in, const std::string& extrapolate) const {
        const std::size_t order = derivative_order(derivative_in);
        const Extrapolation rule = extrapolation_rule(extrapolate);
        const FloatArray t = float_array(t_in, "t");
        const std::size_t rows = t.view.size();
        const std::size_t per_row = degree() + 1;
        std::size_t entries = 0;
        if (__builtin_mul_overflow(rows, per_row, &entries)) throw nb::value_error("t has too many times");
        constexpr auto int32_max = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
        const bool narrow = n_dofs_ <= int32_max && entries <= int32_max;
        const nb::object& index_type = narrow ? numpy->int32 : numpy->int64;
        auto [data, data_ptr] = new_array({entries}, numpy->float64);
        auto [indices, indices_ptr] = new_array({entries}, index_type);
        auto [indptr, indptr_ptr] = new_array({rows + 1}, index_type);
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(rows);
            const std::span<double> values(static_cast<double*>(data_ptr), entries);
            const auto fill = [&](auto* columns, auto* offsets) {
                using Index = std::remove_pointer_t<decltype(columns)>;
                derivative_matrix_entries<Index>(basis_, order, rule, t.values(), {columns, entries}, values);
                for (std::size_t i = 0; i <= rows; ++i) offsets[i] = static_cast<Index>(i * per_row);
            };
            if (narrow) {
                fill(static_cast<std::int32_t*>(indices_ptr), static_cast<std::int32_t*>(indptr_ptr));
            } else {
                fill(static_cast<std::int64_t*>(indices_ptr), static_cast<std::int64_t*>(indptr_ptr));
            }
        });
        nb::object scipy_sparse = nb::module_::import_("scipy.sparse");
        return scipy_sparse.attr("csr_array")(nb::make_tuple(data, indices, indptr),
                                              "shape"_a = nb::make_tuple(rows, n_dofs_));
    }

    nb::object project(nb::handle f, nb::handle points_in) const {
        std::size_t points = degree() + 1;
        if (!points_in.is_none()) {
            std::int64_t requested = 0;
            if (PyBool_Check(points_in.ptr()) || !nb::try_cast(points_in, requested, false)) {
                throw nb::type_error("points must be an integer or None");
            }
            points = count_argument(requested, "points", 1);
        }
        const QuadratureRule rule = gauss_legendre(points);
        const std::vector<double> times = stops_as_value_errors([&] { return basis_.quadrature_times(rule.nodes); });
        auto [t, t_ptr] = new_array({times.size()}, numpy->float64);
        std::copy(times.begin(), times.end(), static_cast<double*>(t_ptr));
        const FloatArray samples = float_array(f(t), "f(t)");
        const std::vector<std::size_t> samples_shape = shape_of(samples.view);
        if (samples_shape.empty() || samples_shape.back() != times.size()) {
            throw nb::value_error(("f(t) must return an array of shape (..., " + std::to_string(times.size()) +
                                   ") for the quadrature times t of shape (" + std::to_string(times.size()) +
                                   ",), got shape " + shape_text(samples_shape))
                                      .c_str());
        }
        const std::size_t functions = samples.view.size() / times.size();
        std::vector<std::size_t> shape(samples_shape.begin(), samples_shape.end() - 1);
        shape.push_back(n_dofs_);
        auto [dofs, dofs_ptr] = new_array(shape, numpy->float64);
        {
            const ReleaseForLargeWork release(samples.view.size());
            basis_.project(rule.nodes, rule.weights, samples.values(), functions,
                           {static_cast<double*>(dofs_ptr), functions * n_dofs_});
        }
        return dofs;
    }

    /// dofs as a C-contiguous float64 array of shape (..., n_dofs): the array, the
    /// number of functions and the batch shape.
    std::tuple<FloatArray, std::size_t, std::vector<std::size_t>> function_array(nb::handle value,
                                                                                  const char* name) const {
        FloatArray dofs = float_array(value, name);
        const std::vector<std::size_t> shape = shape_of(dofs.view);
        if (shape.empty() || shape.back() != n_dofs_) {
            throw nb::value_error((std::string(name) + " must have shape (..., n_dofs) with n_dofs = n_t * (degree + 1) = " +
                                   std::to_string(n_dofs_) + ", got shape " + shape_text(shape))
                                      .c_str());
        }
        return {dofs, dofs.view.size() / n_dofs_, std::vector<std::size_t>(shape.begin(), shape.end() - 1)};
    }

    nb::object integrate(nb::handle dofs_in, nb::handle a_in, nb::handle b_in, const std::string& extrapolate) const {
        const Extrapolation rule = extrapolation_rule(extrapolate);
        auto [dofs, functions, shape] = function_array(dofs_in, "dofs");
        const FloatArray a0 = float_array(a_in, "a");
        const FloatArray b0 = float_array(b_in, "b");
        // The bounds broadcast against each other, as NumPy's operators do.
        const nb::object both = nb::module_::import_("numpy").attr("broadcast_arrays")(a0.owner, b0.owner);
        const FloatArray a = float_array(nb::module_::import_("numpy").attr("ascontiguousarray")(both[0]), "a");
        const FloatArray b = float_array(nb::module_::import_("numpy").attr("ascontiguousarray")(both[1]), "b");
        const std::vector<std::size_t> bounds_shape = shape_of(a.view);
        shape.insert(shape.end(), bounds_shape.begin(), bounds_shape.end());
        auto [result, data] = new_array(shape, numpy->float64);
        const std::size_t count = functions * a.view.size();
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(count);
            zorv::integrate(basis_, rule, dofs.values(), functions, a.values(), b.values(),
                            {static_cast<double*>(data), count});
        });
        return result;
    }

    nb::tuple antiderivative(nb::handle dofs_in) const {
        auto [dofs, functions, shape] = function_array(dofs_in, "dofs");
        const LegendreSpace higher(static_cast<std::int64_t>(degree() + 1), static_cast<std::int64_t>(n_t()), T());
        shape.push_back(higher.n_dofs());
        auto [result, data] = new_array(shape, numpy->float64);
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(dofs.view.size());
            zorv::antiderivative(basis_, dofs.values(), functions, {static_cast<double*>(data), functions * higher.n_dofs()});
        });
        return nb::make_tuple(nb::cast(higher), result);
    }

    nb::object inner(nb::handle a_in, nb::handle b_in) const {
        const nb::module_ np = nb::module_::import_("numpy");
        const nb::object both = np.attr("broadcast_arrays")(float_array(a_in, "a").owner, float_array(b_in, "b").owner);
        auto [a, functions, shape] = function_array(np.attr("ascontiguousarray")(both[0]), "a");
        auto [b, functions_b, shape_b] = function_array(np.attr("ascontiguousarray")(both[1]), "b");
        auto [result, data] = new_array(shape, numpy->float64);
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(a.view.size());
            inner_products(basis_, a.values(), b.values(), functions, {static_cast<double*>(data), functions});
        });
        return result;
    }

    nb::object norm(nb::handle dofs_in) const {
        auto [dofs, functions, shape] = function_array(dofs_in, "dofs");
        auto [result, data] = new_array(shape, numpy->float64);
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(dofs.view.size());
            norms(basis_, dofs.values(), functions, {static_cast<double*>(data), functions});
        });
        return result;
    }

    nb::object fit(nb::handle t_in, nb::handle y_in, nb::handle weights_in) const {
        const FloatArray t = float_array(t_in, "t");
        if (t.view.ndim() != 1) {
            throw nb::value_error(("t must be one-dimensional, got shape " + shape_text(shape_of(t.view))).c_str());
        }
        const FloatArray y = float_array(y_in, "y");
        const std::vector<std::size_t> y_shape = shape_of(y.view);
        if (y_shape.empty() || y_shape.back() != t.view.size()) {
            throw nb::value_error(("y must have shape (..., t.size) with t.size = " + std::to_string(t.view.size()) +
                                   ", got shape " + shape_text(y_shape))
                                      .c_str());
        }
        std::optional<FloatArray> weights;
        if (!weights_in.is_none()) {
            weights = float_array(weights_in, "weights");
            if (shape_of(weights->view) != shape_of(t.view)) {
                throw nb::value_error(("weights must have the shape of t, " + shape_text(shape_of(t.view)) +
                                       ", got shape " + shape_text(shape_of(weights->view)))
                                          .c_str());
            }
        }
        const std::size_t functions = t.view.size() == 0 ? 0 : y.view.size() / t.view.size();
        std::vector<std::size_t> shape(y_shape.begin(), y_shape.end() - 1);
        shape.push_back(n_dofs_);
        auto [result, data] = new_array(shape, numpy->float64);
        stops_as_value_errors([&] {
            const ReleaseForLargeWork release(y.view.size());
            zorv::fit(basis_, t.values(), y.values(), functions,
                      weights ? weights->values() : std::span<const double>{},
                      {static_cast<double*>(data), functions * n_dofs_});
        });
        return result;
    }

private:
    LegendreBasis basis_;
    std::size_t n_dofs_ = 0;
};

// ---- module-level functions -----------------------------------------------------------

nb::object lagrange_points(std::int64_t degree, std::int64_t n_t, double T, bool periodic) {
    const LagrangeBasis basis = stops_as_value_errors([&] {
        return LagrangeBasis::create(count_argument(degree, "degree", 0), count_argument(n_t, "n_t", 0), T, periodic);
    });
    auto [points, data] = new_array({basis.points().size()}, numpy->float64);
    std::copy(basis.points().begin(), basis.points().end(), static_cast<double*>(data));
    return points;
}

nb::object prolongation(std::int64_t nt_coarse, std::int64_t nt_fine, std::int64_t degree, bool periodic) {
    // The matrix depends only on the counts: the coarse grid spans [0, 1].
    const CsrMatrix matrix = stops_as_value_errors([&] {
        const std::size_t fine = count_argument(nt_fine, "nt_fine", 0);
        if (periodic && fine == 0) stop("Lagrange prolongation requires at least one fine interval");
        return LagrangeBasis::create(count_argument(degree, "degree", 0), count_argument(nt_coarse, "nt_coarse", 0),
                                     1.0, periodic)
            .get_prolongation_matrix_to(fine);
    });
    return csr_array(matrix);
}

nb::object lagrange_to_legendre(std::int64_t degree, std::int64_t n_t, bool periodic) {
    const CsrMatrix matrix = stops_as_value_errors([&] {
        return LagrangeBasis::create(count_argument(degree, "degree", 0), count_argument(n_t, "n_t", 0), 1.0, periodic)
            .get_transormation_matrix_to_legendre();
    });
    return csr_array(matrix);
}

// ---- one worker pool per process --------------------------------------------------------

/// zorv's global pool, found at import; null when zorv does not offer it.
WorkerPool* (*zorv_pool)() = nullptr;

WorkerPool& zorv_global_pool() { return *zorv_pool(); }

/// Makes this module's batches run on zorv's worker pool: both modules carry a copy
/// of the core, and without this each copy would start a pool of its own. zorv
/// exports the C function zorv_shared_global_pool for this; the already loaded
/// library of the imported zorv module is looked up without loading anything.
void share_zorv_pool() {
    const nb::module_ zorv_module = nb::module_::import_("zorv");
    const std::string path = nb::str(zorv_module.attr("__file__")).c_str();
    void* library = dlopen(path.c_str(), RTLD_NOLOAD | RTLD_LAZY);
    if (library == nullptr) return;
    // The library stays open: zorv is never unloaded while this module lives.
    zorv_pool = reinterpret_cast<WorkerPool* (*)()>(dlsym(library, "zorv_shared_global_pool"));
    if (zorv_pool != nullptr) delegate_global_pool(zorv_global_pool);
}

// ---- documentation ------------------------------------------------------------------------

constexpr const char* kModuleDoc =
    "Piecewise polynomial spaces on a uniform time grid, for NumPy users.\n\n"
    "The companion of the zorv module, on the same numerical core: float64 NumPy arrays\n"
    "in and out, SciPy sparse matrices with their shapes, an immutable picklable space.\n\n"
    "[0, T] is divided into n_t elements of width w = T / n_t; on element e the basis\n"
    "functions are the Legendre polynomials P_0 .. P_degree of the element's reference\n"
    "interval [-1, 1]. A time t belongs to element floor(t / w), clamped to [0, n_t - 1]\n"
    "(times before 0 to the first element, times from T on to the last, a time on an\n"
    "inner element end to the element that begins there), at the reference coordinate\n"
    "xi = 2 (t - (left + right) / 2) / (right - left), clamped to [-1, 1].\n\n"
    "Dof layout (as zorv's): a function is a vector of n_dofs = n_t * (degree + 1)\n"
    "coefficients; the coefficient of P_k on element e is at index e + n_t * k (all\n"
    "P_0 coefficients first, then all P_1 coefficients, ...).";

constexpr const char* kSpaceDoc =
    "LegendreSpace(degree, n_t, T)\n\n"
    "The discontinuous Legendre space of `degree` on `n_t` equal elements of [0, T].\n\n"
    "Immutable; equal and hashed by (degree, n_t, T); picklable and copyable (it\n"
    "travels to Dask or multiprocessing workers as its three numbers). Dofs are in the\n"
    "layout of the module: the coefficient of P_k on element e at index e + n_t * k.\n\n"
    "Raises ValueError for degree < 0, n_t < 1, or a T that is not finite and positive.";

constexpr const char* kEvaluateDoc =
    "evaluate(dofs, t, *, derivative=False, out=None, extrapolate='clamp')\n\n"
    "Values (or time derivatives of any order) of functions of the space at times.\n\n"
    "dofs: array of shape (..., n_dofs), one function per vector of the last axis, in\n"
    "    the dof layout (coefficient of P_k on element e at index e + n_t * k).\n"
    "t: times, anything numpy.asarray(t, float64) accepts, of any shape.\n"
    "derivative: the order m >= 0 of the time derivative (False is 0, True is 1):\n"
    "    (2 / w)^m sum_k c_k P_k^(m)(xi), from P^(m)_(k+1) = P^(m)_(k-1) + (2k + 1) P^(m-1)_k,\n"
    "    exact at the element ends; orders above the degree give zeros.\n"
    "extrapolate: what a function is at t < 0 or t > T:\n"
    "    'clamp' (default): the value at 0 or at T held (zorv's values, bit for bit), so\n"
    "        every derivative is 0 there;\n"
    "    'extend': the end element's polynomial continued, with its derivatives (at +-inf\n"
    "        its limit);\n"
    "    'nan': NaN; 'raise': ValueError naming the first such time.\n"
    "out: optional C-contiguous float64 array of the result's shape to write into.\n\n"
    "Returns a float64 array of shape dofs.shape[:-1] + t.shape (out, when given):\n"
    "result[..., j] is the function dofs[...] at t[j]. Each time is located and its\n"
    "basis values formed once, then used for every function.\n\n"
    "Values are bit for bit those of zorv.LegendreBasisEvaluator.evaluate_many with the\n"
    "same dofs and times. Derivatives are the derivative of the element's polynomial,\n"
    "(2 / w) sum_k c_k P_k'(xi), with P_k' from the stable recurrence\n"
    "P_(k+1)' = P_(k-1)' + (2k + 1) P_k: accurate to a few units in the last place of\n"
    "sum_k |c_k| k^2 2 / w at every time, including at element ends (where it is the\n"
    "one-sided derivative of the element the time belongs to). They differ from\n"
    "zorv's derivative methods, whose regularised quotient\n"
    "k (xi P_k - P_(k-1)) / (xi^2 - 1 + 1e-15) loses all accuracy as xi nears +-1\n"
    "(and gives 0 for every P_k' with k >= 2 at xi = +-1).\n\n"
    "From 2048 evaluations (functions x times) on, the interpreter lock is released\n"
    "and the work runs on the process's worker pool.";

constexpr const char* kBasisMatrixDoc =
    "basis_matrix(t, *, derivative=False, extrapolate='clamp')\n\n"
    "The design matrix at times t: a scipy.sparse.csr_array of shape (t.size, n_dofs)\n"
    "with A @ dofs = evaluate(dofs, t.ravel()). Row i holds degree + 1 entries, in\n"
    "columns e + n_t * k (k = 0 .. degree) for the element e of t.flat[i], with the\n"
    "values P_k(xi) (equal to zorv's evaluate_all_basis_functions) or, with derivative,\n"
    "(2 / w) P_k'(xi) (the accurate derivatives of evaluate); an integer derivative m\n"
    "gives (2 / w)^m P_k^(m)(xi). extrapolate as for evaluate.";

constexpr const char* kIntegrateDoc =
    "integrate(dofs, a, b, *, extrapolate='clamp')\n\n"
    "The integrals of the functions dofs (shape (..., n_dofs)) from a to b, a and b\n"
    "broadcast against each other: shape dofs.shape[:-1] + broadcast(a, b).shape.\n"
    "Negative when b < a; NaN for a NaN bound. Parts outside [0, T] follow extrapolate\n"
    "('clamp': the held end value times the length; 'extend': the end element's\n"
    "polynomial; 'nan'; 'raise'). Within an element the integral is formed from the\n"
    "differences of the Legendre polynomials at the two bounds, accurate relative to\n"
    "its own size for close bounds; whole elements come from compensated prefix sums.\n\n"
    "Example: space.integrate(dofs, 0.0, space.T) is the integral over [0, T].";

constexpr const char* kAntiderivativeDoc =
    "antiderivative(dofs)\n\n"
    "The antiderivative from 0 of each function: (space, dofs) with space the\n"
    "LegendreSpace of degree + 1 on the same grid and dofs of shape (..., space.n_dofs).\n"
    "Continuous, 0 at t = 0, its derivative the function. On each element,\n"
    "int P_k = (w / 2) (P_(k+1) - P_(k-1)) / (2k + 1), plus the integral over the\n"
    "elements before it.";

constexpr const char* kInnerDoc =
    "inner(a, b)\n\n"
    "The L2 inner products over [0, T] of the functions a and b (shapes (..., n_dofs),\n"
    "broadcast): sum over elements and k of w / (2k + 1) a_k b_k, since the Legendre\n"
    "mass matrix of an element is diagonal with entries w / (2k + 1).";

constexpr const char* kNormDoc =
    "norm(dofs)\n\n"
    "The L2 norms over [0, T] of the functions dofs: sqrt(inner(dofs, dofs)).";

constexpr const char* kFitDoc =
    "fit(t, y, weights=None)\n\n"
    "The weighted least-squares fit: dofs of shape (..., n_dofs) minimising\n"
    "sum_i weights[i] (u(t[i]) - y[..., i])^2 for each function of y (shape (..., t.size)).\n"
    "The normal equations are block diagonal, one (degree + 1)^2 system per element,\n"
    "solved by Cholesky (by a column-pivoted QR where the block is nearly singular):\n"
    "linear in the samples. t must lie in [0, T], weights be finite and >= 0, and t, y\n"
    "finite; every element needs degree + 1 distinct sample times of positive weight,\n"
    "otherwise ValueError names the elements that lack them.";

constexpr const char* kProjectDoc =
    "project(f, *, points=None)\n\n"
    "The L2 projection of f onto the space, by Gauss-Legendre quadrature on each element.\n\n"
    "f: a vectorised callable, called once with the quadrature times t, a float64 array\n"
    "    of shape (n_t * points,) (element e's points at e * points .. e * points +\n"
    "    points - 1), returning real values of shape (..., n_t * points): one function\n"
    "    per vector of the last axis.\n"
    "points: quadrature points per element, default degree + 1.\n\n"
    "Returns dofs of shape (..., n_dofs) in the dof layout: the coefficient of P_k on\n"
    "element e is (2k + 1) / 2 times the quadrature of f P_k over the element's reference\n"
    "interval. Exact (to rounding) for functions that are polynomials of the space's\n"
    "degree on each element when points >= degree + 1.";

constexpr const char* kLagrangePointsDoc =
    "lagrange_points(degree, n_t, T, periodic=False)\n\n"
    "The nodes of the continuous Lagrange basis of `degree` on n_t elements of [0, T], in\n"
    "global node order, as a float64 array: degree * n_t + 1 nodes, or degree * n_t when\n"
    "periodic (T is identified with 0). Equal to zorv.get_lagrange_points.";

constexpr const char* kProlongationDoc =
    "prolongation(nt_coarse, nt_fine, degree, periodic=False)\n\n"
    "The Lagrange prolongation from nt_coarse to nt_fine elements as a\n"
    "scipy.sparse.csr_array of shape (nodes(nt_fine), nodes(nt_coarse)), with\n"
    "nodes(n) = degree * n + 1 (degree * n when periodic): it maps coarse node values to\n"
    "the interpolant's values at the fine nodes. Entry for entry zorv's\n"
    "lagrange_prolongation_matrix. Independent of T.";

constexpr const char* kLagrangeToLegendreDoc =
    "lagrange_to_legendre(degree, n_t, periodic=False)\n\n"
    "The transformation from Lagrange node values to Legendre dofs as a\n"
    "scipy.sparse.csr_array of shape (n_t * (degree + 1), nodes(n_t)), with\n"
    "nodes(n) = degree * n + 1 (degree * n when periodic); row e + n_t * k gives the\n"
    "coefficient of P_k on element e. Entry for entry zorv's\n"
    "lagrange_to_legendre_basis_transformation (explicit zeros stored). Independent of T.";

}  // namespace
}  // namespace zorv::arrays

NB_MODULE(zorv_arrays, m) {
    using namespace zorv::arrays;
    m.doc() = kModuleDoc;
    nb::module_ np = nb::module_::import_("numpy");
    numpy = new Numpy{np.attr("asarray"), np.attr("empty"), np.attr("float64"), np.attr("int32"), np.attr("int64")};
    share_zorv_pool();

    nb::register_exception_translator([](const std::exception_ptr& failure, void*) {
        try {
            std::rethrow_exception(failure);
        } catch (const zorv::Stop& stop) {
            PyErr_SetString(PyExc_RuntimeError, stop.what());
        }
    });

    nb::class_<LegendreSpace>(m, "LegendreSpace", kSpaceDoc)
        .def(nb::init<std::int64_t, std::int64_t, double>(), "degree"_a, "n_t"_a, "T"_a)
        .def_prop_ro("degree", &LegendreSpace::degree, "Polynomial degree on each element.")
        .def_prop_ro("n_t", &LegendreSpace::n_t, "Number of elements.")
        .def_prop_ro("T", &LegendreSpace::T, "End of the interval [0, T].")
        .def_prop_ro("n_dofs", &LegendreSpace::n_dofs, "Number of dofs, n_t * (degree + 1).")
        .def("__repr__", &LegendreSpace::repr)
        .def(nb::self == nb::self)
        .def(nb::self != nb::self)
        .def("__hash__", [](const LegendreSpace& space) {
            return nb::hash(nb::make_tuple(space.degree(), space.n_t(), space.T()));
        })
        .def("__getstate__", [](const LegendreSpace& space) {
            return std::make_tuple(static_cast<std::int64_t>(space.degree()), static_cast<std::int64_t>(space.n_t()),
                                   space.T());
        })
        .def("__setstate__", [](LegendreSpace& space, const std::tuple<std::int64_t, std::int64_t, double>& state) {
            new (&space) LegendreSpace(std::get<0>(state), std::get<1>(state), std::get<2>(state));
        })
        .def("__copy__", [](const LegendreSpace& space) { return space; })
        .def("__deepcopy__", [](const LegendreSpace& space, nb::handle) { return space; }, "memo"_a)
        .def("evaluate", &LegendreSpace::evaluate, "dofs"_a, "t"_a, nb::kw_only(), "derivative"_a = false,
             "out"_a = nb::none(), "extrapolate"_a = "clamp", kEvaluateDoc)
        .def("basis_matrix", &LegendreSpace::basis_matrix, "t"_a, nb::kw_only(), "derivative"_a = false,
             "extrapolate"_a = "clamp", kBasisMatrixDoc)
        .def("integrate", &LegendreSpace::integrate, "dofs"_a, "a"_a, "b"_a, nb::kw_only(), "extrapolate"_a = "clamp",
             kIntegrateDoc)
        .def("antiderivative", &LegendreSpace::antiderivative, "dofs"_a, kAntiderivativeDoc)
        .def("inner", &LegendreSpace::inner, "a"_a, "b"_a, kInnerDoc)
        .def("norm", &LegendreSpace::norm, "dofs"_a, kNormDoc)
        .def("fit", &LegendreSpace::fit, "t"_a, "y"_a, "weights"_a = nb::none(), kFitDoc)
        .def("project", &LegendreSpace::project, "f"_a, nb::kw_only(), "points"_a = nb::none(), kProjectDoc);

    m.def("lagrange_points", &lagrange_points, "degree"_a, "n_t"_a, "T"_a, "periodic"_a = false, kLagrangePointsDoc);
    m.def("prolongation", &prolongation, "nt_coarse"_a, "nt_fine"_a, "degree"_a, "periodic"_a = false,
          kProlongationDoc);
    m.def("lagrange_to_legendre", &lagrange_to_legendre, "degree"_a, "n_t"_a, "periodic"_a = false,
          kLagrangeToLegendreDoc);
}
