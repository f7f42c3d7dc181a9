// zorv_arrays._core: the compiled extension of the package zorv_arrays, the NumPy-native
// companion of zorv, on the same numerical core. The package's Python functions
// normalise the arguments, carry the documentation and call these.
//
// Arrays in, arrays out: float64 NumPy arrays of any shape for dofs and times, new
// or caller-given result arrays, SciPy csr_arrays with their shapes for matrices, and
// an immutable, hashable, picklable LegendreSpace. The work is done by the core
// (src/piecewise_polynomials) with the interpreter lock released for large inputs,
// on the one worker pool of the process: the pool of the zorv module, which this
// module borrows at import.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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

#include "interpreter/gateway.hpp"
#include "interpreter/released_lock.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "piecewise_polynomials/legendre_calculus.hpp"
#include "piecewise_polynomials/quadrature.hpp"
#include "sparse_matrix_tools/csr.hpp"
#include "support/memory.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace zorv::arrays {

/// A count or flag argument as given: the function converts it (count_argument,
/// flag_argument) and words the refusal, while the signature shows `int` or `bool`.
struct CountArgument {
    nb::handle value;
    operator nb::handle() const { return value; }
};
struct FlagArgument {
    nb::handle value;
    operator nb::handle() const { return value; }
};
/// A real number argument as given (the signature shows `float`): converted by
/// real_argument, since its __float__ may be the caller's own Python code.
struct RealArgument {
    nb::handle value;
};

}  // namespace zorv::arrays

namespace nanobind::detail {

template <>
struct type_caster<zorv::arrays::CountArgument> {
    NB_TYPE_CASTER(zorv::arrays::CountArgument, const_name("int"))
    bool from_python(handle source, uint8_t, cleanup_list*) noexcept {
        value.value = source;
        return true;
    }
};

template <>
struct type_caster<zorv::arrays::RealArgument> {
    NB_TYPE_CASTER(zorv::arrays::RealArgument, const_name("float"))
    bool from_python(handle source, uint8_t, cleanup_list*) noexcept {
        value.value = source;
        return true;
    }
};

template <>
struct type_caster<zorv::arrays::FlagArgument> {
    NB_TYPE_CASTER(zorv::arrays::FlagArgument, const_name("bool"))
    bool from_python(handle source, uint8_t, cleanup_list*) noexcept {
        value.value = source;
        return true;
    }
};

}  // namespace nanobind::detail

namespace zorv::arrays {
namespace {

using FloatIn = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using FloatOut = nb::ndarray<double, nb::c_contig, nb::device::cpu>;

// ---- NumPy and SciPy entry points -------------------------------------------------

/// The NumPy functions this module calls (through call_python); looked up once at import
/// and kept for the life of the process (never destroyed: the interpreter may already
/// be gone then).
struct Numpy {
    nb::object ndarray;
    nb::object asarray;
    nb::object empty;
    nb::object float64;
    nb::object int32;
    nb::object int64;
    nb::object broadcast_arrays;
};

Numpy* numpy = nullptr;

// ---- calls into Python code ------------------------------------------------------------
//
// Every call from this module into Python code goes through the gateway of
// interpreter/gateway.hpp, by these few functions: the arguments are made (and owned)
// here, the gateway's call sees raw pointers only, and its new reference is owned here
// once it has returned. nanobind's own calls (calling an nb::object, attr(...)(),
// module_::import_, casts that may run the object's code) are not used for this: they
// run the Python code under frames that the exiting interpreter's unwind cannot pass.

/// The gateway's new reference, or its Python error thrown.
nb::object owned(PyObject* result) {
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

/// `callable(*args, **kwargs)`.
nb::object call_python(nb::handle callable, const nb::tuple& args, const nb::dict& kwargs = nb::dict()) {
    return owned(py::gateway::call(callable.ptr(), args.ptr(), kwargs.ptr()));
}

/// `object.name()`.
nb::object call_method(nb::handle object, const char* name) {
    return owned(py::gateway::call_method(object.ptr(), name));
}

/// `import name`.
nb::object import_module(const char* name) { return owned(py::gateway::import(name)); }

/// `object.name`.
nb::object attribute(nb::handle object, const char* name) { return owned(py::gateway::attribute(object.ptr(), name)); }

/// `str(object)`, as UTF-8.
std::string text_of(nb::handle object) {
    const nb::object text = owned(py::gateway::text(object.ptr()));
    Py_ssize_t size = 0;
    const char* const utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (utf8 == nullptr) throw nb::python_error();
    return std::string(utf8, static_cast<std::size_t>(size));
}

/// `numpy.asarray(value)`: an object of exactly numpy.ndarray (NumPy runs the
/// object's __array__, buffer or sequence protocol, which may be Python code).
nb::object asarray(nb::handle value) { return call_python(numpy->asarray, nb::make_tuple(value)); }

/// A view of `array` as `View` (an nb::ndarray type) if it is one: the only cast to
/// nanobind's ndarray. Only objects of exactly numpy.ndarray are cast, since the
/// cast of any other object may run its __dlpack__ or __buffer__ (Python code) inside
/// nanobind's frames, which the exiting interpreter's unwind cannot pass; anything
/// else is first made an ndarray by asarray.
template <class View>
bool ndarray_view(nb::handle array, View& view) {
    if (Py_TYPE(array.ptr()) != reinterpret_cast<PyTypeObject*>(numpy->ndarray.ptr())) return false;
    return nb::try_cast(array, view, false);
}

/// A writable view of `value` as `View`: an ndarray, or any other exporter of a buffer
/// (an ndarray's subclass, array.array, ...) viewed through numpy.asarray, which then
/// shares the exporter's memory. Anything else has no memory to write into.
template <class View>
bool writable_view(nb::handle value, View& view) {
    if (ndarray_view(value, view)) return true;
    return PyObject_CheckBuffer(value.ptr()) && ndarray_view(asarray(value), view);
}

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
    if (ndarray_view(value, view) && is_aligned(view.data())) return {nb::borrow(value), view};
    nb::object array = asarray(value);
    const nb::object dtype = array.attr("dtype");
    const std::string kind = text_of(dtype.attr("kind"));
    if (kind != "f" && kind != "i" && kind != "u") {
        throw nb::type_error((std::string(name) + " must be an array of real numbers, not of dtype " +
                              text_of(dtype))
                                 .c_str());
    }
    nb::dict options;
    options["dtype"] = numpy->float64;
    options["order"] = "C";
    nb::object converted = call_python(numpy->asarray, nb::make_tuple(array), options);
    if (!ndarray_view(converted, view) || !is_aligned(view.data())) {
        // A block received from another process may lie unaligned.
        converted = call_method(converted, "copy");
        if (!ndarray_view(converted, view)) throw nb::type_error((std::string(name) + " could not be read").c_str());
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
    nb::dict options;
    options["dtype"] = dtype;
    nb::object array = call_python(numpy->empty, nb::make_tuple(shape_tuple(shape)), options);
    nb::ndarray<nb::c_contig, nb::device::cpu> view;
    if (!ndarray_view(array, view)) throw nb::type_error("numpy.empty did not give a C-contiguous array");
    return {array, view.data()};
}

/// A new float64 array of `shape` for `functions` results of `each` values: their count
/// is checked against a machine word (ValueError `too_large`) and against the memory the
/// process can obtain (MemoryError naming `what`) before anything is allocated.
std::pair<nb::object, double*> new_results(const std::vector<std::size_t>& shape, std::size_t functions,
                                           std::size_t each, const char* too_large, const char* what) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(functions, each, &count)) throw nb::value_error(too_large);
    require_memory(count, sizeof(double), what);
    auto [array, data] = new_array(shape, numpy->float64);
    return {array, static_cast<double*>(data)};
}

bool overlaps(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) {
    const auto a_begin = reinterpret_cast<std::uintptr_t>(a);
    const auto b_begin = reinterpret_cast<std::uintptr_t>(b);
    return a_bytes != 0 && b_bytes != 0 && a_begin < b_begin + b_bytes && b_begin < a_begin + a_bytes;
}

/// Runs `work` (which touches no Python object) with the interpreter lock released
/// when it has `count` items from the batch threshold on. The lock is taken back in
/// the normal flow, and a thread that the exiting interpreter would end there is
/// parked (py::without_gil): never nanobind's release guard, whose destructor takes
/// the lock back where that end cannot pass.
template <class Work>
void released_for_large_work(std::size_t count, Work&& work) {
    if (count >= kParallelThreshold) {
        py::without_gil(work);
    } else {
        work();
    }
}


/// numpy.bool_ (numpy.bool), looked up on first use and kept for the life of the process.
bool is_numpy_bool(nb::handle value) {
    static PyObject* type = nullptr;  // set with the interpreter lock held
    if (type == nullptr) {
        nb::object found = attribute(import_module("numpy"), "bool_");
        if (type == nullptr) type = found.release().ptr();
    }
    return Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(type);
}

/// `value` as an int through __index__ (NumPy's integers too), or a TypeError naming
/// its type. Booleans are refused: as counts they are mistakes.
nb::object index_of(nb::handle value, const char* name, const char* expected) {
    if (PyBool_Check(value.ptr()) || is_numpy_bool(value) || !PyIndex_Check(value.ptr())) {
        throw nb::type_error((std::string(name) + " must be " + expected + ", not " + Py_TYPE(value.ptr())->tp_name)
                                 .c_str());
    }
    return owned(py::gateway::index(value.ptr()));
}

/// A count argument of at least `minimum` (1 for element counts): an int or any
/// object with __index__, such as NumPy's integers; not a bool, a float or a string.
std::size_t count_argument(nb::handle value, const char* name, std::int64_t minimum,
                           const char* expected = "an integer") {
    const nb::object index = index_of(value, name, expected);
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) {
        throw nb::value_error((std::string(name) + " must be an integer below 2**63, got " + nb::repr(index).c_str())
                                  .c_str());
    }
    if (overflow < 0 || count < minimum) {
        throw nb::value_error((std::string(name) + " must be an integer >= " + std::to_string(minimum) + ", got " +
                               nb::repr(index).c_str())
                                  .c_str());
    }
    return static_cast<std::size_t>(count);
}

/// A flag argument: a bool, a NumPy bool, or the integer 0 or 1 (through __index__).
bool flag_argument(nb::handle value, const char* name) {
    if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
    if (is_numpy_bool(value)) {
        const int truth = py::gateway::truth(value.ptr());
        if (truth < 0) throw nb::python_error();
        return truth == 1;
    }
    const nb::object index = index_of(value, name, "a bool");
    int overflow = 0;
    const long long flag = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (flag == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || (flag != 0 && flag != 1)) {
        throw nb::value_error((std::string(name) + " must be a bool, 0 or 1, got " + nb::repr(index).c_str()).c_str());
    }
    return flag == 1;
}

/// A `workers=` argument as SciPy takes it: None for every thread of the pool, a count
/// from 1 on (more than the pool has means all of it), or a negative count from the
/// pool's size down (-1 all, -2 all but one). Returns the ThreadLimit's value: 0 for None.
std::ptrdiff_t workers_argument(nb::handle value) {
    if (value.is_none()) return 0;
    const nb::object index = index_of(value, "workers", "an integer or None");
    int overflow = 0;
    const long long workers = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (workers == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow == 0 && workers == 0) {
        throw nb::value_error("workers must not be 0: a count of threads from 1 on, a negative count from the "
                              "pool's size down (-1 for all of them), or None");
    }
    // Beyond the machine word every count means the same: all the threads, or one.
    constexpr auto most = std::numeric_limits<std::ptrdiff_t>::max();
    if (overflow > 0 || workers > most) return most;
    if (overflow < 0 || workers < -most) return -most;
    return static_cast<std::ptrdiff_t>(workers);
}

/// scipy.sparse.csr_array, imported on first use (only the matrices need SciPy) and
/// kept for the life of the process.
nb::handle csr_array_type() {
    static PyObject* type = nullptr;  // set with the interpreter lock held
    if (type == nullptr) {
        nb::object found = attribute(import_module("scipy.sparse"), "csr_array");
        if (type == nullptr) type = found.release().ptr();  // the import may have let another thread set it
    }
    return type;
}

/// A scipy.sparse.csr_array of shape (rows, cols) on the three arrays.
nb::object scipy_csr_array(const nb::object& data, const nb::object& indices, const nb::object& indptr,
                           std::size_t rows, std::size_t cols) {
    nb::dict shape;
    shape["shape"] = nb::make_tuple(rows, cols);
    return call_python(csr_array_type(), nb::make_tuple(nb::make_tuple(data, indices, indptr)), shape);
}

/// A derivative order: a bool (False 0, True 1) or a non-negative integer, NumPy's too.
std::size_t derivative_order(nb::handle value) {
    if (PyBool_Check(value.ptr()) || is_numpy_bool(value)) return flag_argument(value, "derivative") ? 1 : 0;
    const nb::object index = index_of(value, "derivative", "a bool or an integer order");
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
Extrapolation extrapolation_rule(nb::handle value) {
    if (!PyUnicode_Check(value.ptr())) {
        throw nb::type_error((std::string("extrapolate must be a str, not ") + Py_TYPE(value.ptr())->tp_name).c_str());
    }
    const std::string name = text_of(value);
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
    return scipy_csr_array(data, indices, indptr, rows, cols);
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

/// A real number argument: a float, or what has __float__ or __index__ (TypeError
/// "must be real number, not ..." otherwise).
double real_argument(RealArgument argument) {
    PyObject* const value = argument.value.ptr();
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double real = py::gateway::to_double(value);
    if (real == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return real;
}

/// The end T of the interval [0, T]: finite and positive, or a ValueError.
void check_interval_end(double T) {
    if (!std::isfinite(T) || !(T > 0.0)) {
        throw nb::value_error(("T must be finite and positive, got " + std::string(nb::repr(nb::float_(T)).c_str())).c_str());
    }
}

// ---- LegendreSpace ------------------------------------------------------------------

/// The discontinuous Legendre space of a degree on n_t equal elements of [0, T].
class LegendreSpace {
public:
    LegendreSpace(CountArgument degree, CountArgument n_t, double T)
        : basis_(count_argument(degree, "degree", 0), count_argument(n_t, "n_t", 1), T) {
        check_interval_end(T);
        // The grid's arithmetic needs a normal element width (halving it, and its
        // multiples, must be exact) and a finite end of the last element.
        const double width = T / static_cast<double>(basis_.n_t());
        const double last_end = width + width * static_cast<double>(basis_.n_t() - 1);
        if (!(width >= std::numeric_limits<double>::min()) || !std::isfinite(last_end)) {
            throw nb::value_error(("T / n_t must be at least 2.2250738585072014e-308 (the smallest normal float) "
                                   "and the grid's end, T / n_t + (T / n_t) * (n_t - 1), at most "
                                   "1.7976931348623157e+308; got T = " +
                                   std::string(nb::repr(nb::float_(T)).c_str()) + ", n_t = " +
                                   std::to_string(basis_.n_t()))
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
                        nb::handle extrapolate) const {
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
            require_memory(evaluations, sizeof(double), "values");
            auto [array, data] = new_array(shape, numpy->float64);
            out_owner = array;
            if (!ndarray_view(out_owner, out)) throw nb::type_error("numpy.empty did not give a writable array");
        } else {
            if (!writable_view(out_in, out) || !is_aligned(out.data())) {
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
                t = float_array(call_method(t.owner, "copy"), "t");
            }
            if (overlaps(out.data(), out_bytes, dofs.view.data(), dofs.view.size() * sizeof(double))) {
                dofs = float_array(call_method(dofs.owner, "copy"), "dofs");
            }
        }
        stops_as_value_errors([&] {
            released_for_large_work(evaluations, [&] {
                evaluate_derivatives(basis_, order, rule, dofs.values(), functions, t.values(), {out.data(), out.size()});
            });
        });
        return out_owner;
    }

    /// The element and the reference coordinate of every time, by the core's rule (the
    /// one every evaluation uses): two new arrays of t's shape, int64 and float64.
    nb::tuple locate(nb::handle t_in) const {
        const FloatArray t = float_array(t_in, "t");
        const std::vector<std::size_t> shape = shape_of(t.view);
        const std::size_t count = t.view.size();
        require_memory(count, sizeof(std::int64_t) + sizeof(double), "located times");
        static_assert(sizeof(std::int64_t) == sizeof(std::size_t), "element indices are written as int64");
        auto [elements, elements_data] = new_array(shape, numpy->int64);
        auto [xi, xi_data] = new_array(shape, numpy->float64);
        released_for_large_work(count, [&] {
            basis_.locate_many(t.values(), {static_cast<std::size_t*>(elements_data), count},
                               {static_cast<double*>(xi_data), count});
        });
        return nb::make_tuple(elements, xi);
    }

    nb::object basis_matrix(nb::handle t_in, nb::handle derivative_in, nb::handle extrapolate) const {
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
        require_memory(entries, sizeof(double) + (narrow ? sizeof(std::int32_t) : sizeof(std::int64_t)),
                       "matrix entries");
        auto [data, data_ptr] = new_array({entries}, numpy->float64);
        auto [indices, indices_ptr] = new_array({entries}, index_type);
        auto [indptr, indptr_ptr] = new_array({rows + 1}, index_type);
        stops_as_value_errors([&] { released_for_large_work(rows, [&] {
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
        }); });
        return scipy_csr_array(data, indices, indptr, rows, n_dofs_);
    }

    nb::object project(nb::handle f, nb::handle points_in) const {
        const std::size_t points =
            points_in.is_none() ? degree() + 1 : count_argument(points_in, "points", 1, "an integer or None");
        if (points > kMaxGaussLegendrePoints) {
            throw nb::value_error(("points must be at most " + std::to_string(kMaxGaussLegendrePoints) +
                                   " (the largest Gauss-Legendre rule), got " + std::to_string(points) +
                                   (points_in.is_none() ? ", the default degree + 1" : ""))
                                      .c_str());
        }
        std::size_t time_count = 0;
        if (__builtin_mul_overflow(n_t(), points, &time_count)) {
            throw nb::value_error("n_t * points quadrature times are more than can be stored");
        }
        // The core's table of times and the array handed to f.
        require_memory(time_count, 2 * sizeof(double), "quadrature times");
        QuadratureRule rule;
        std::vector<double> times;
        // The rule's work grows as points^2, the times' as n_t * points.
        released_for_large_work(points * points + time_count, [&] {
            rule = gauss_legendre(points);
            times = basis_.quadrature_times(rule.nodes);
        });
        auto [t, t_ptr] = new_array({times.size()}, numpy->float64);
        std::copy(times.begin(), times.end(), static_cast<double*>(t_ptr));
        const FloatArray samples = float_array(call_python(f, nb::make_tuple(t)), "f(t)");
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
        auto [dofs, dofs_ptr] = new_results(shape, functions, n_dofs_,
                                            "f(t) returns more functions than their dofs can be stored for", "dofs");
        released_for_large_work(samples.view.size(), [&] {
            basis_.project(rule.nodes, rule.weights, samples.values(), functions,
                           {dofs_ptr, functions * n_dofs_});
        });
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

    nb::object integrate(nb::handle dofs_in, nb::handle a_in, nb::handle b_in, nb::handle extrapolate) const {
        const Extrapolation rule = extrapolation_rule(extrapolate);
        auto [dofs, functions, shape] = function_array(dofs_in, "dofs");
        const FloatArray a0 = float_array(a_in, "a");
        const FloatArray b0 = float_array(b_in, "b");
        // The bounds broadcast against each other, as NumPy's operators do.
        const nb::object both = call_python(numpy->broadcast_arrays, nb::make_tuple(a0.owner, b0.owner));
        // float_array copies the broadcast views (whose strides may be 0) into C order.
        const FloatArray a = float_array(both[0], "a");
        const FloatArray b = float_array(both[1], "b");
        const std::vector<std::size_t> bounds_shape = shape_of(a.view);
        shape.insert(shape.end(), bounds_shape.begin(), bounds_shape.end());
        auto [result, data] = new_results(shape, functions, a.view.size(),
                                          "the result of dofs.shape[:-1] + broadcast(a, b).shape is too large",
                                          "integrals");
        const std::size_t count = functions * a.view.size();
        stops_as_value_errors([&] {
            released_for_large_work(count, [&] {
                zorv::integrate(basis_, rule, dofs.values(), functions, a.values(), b.values(),
                                {data, count});
            });
        });
        return result;
    }

    nb::tuple antiderivative(nb::handle dofs_in) const {
        auto [dofs, functions, shape] = function_array(dofs_in, "dofs");
        const nb::object higher_degree = nb::int_(degree() + 1);
        const nb::object elements = nb::int_(n_t());
        const LegendreSpace higher(CountArgument{higher_degree}, CountArgument{elements}, T());
        shape.push_back(higher.n_dofs());
        auto [result, data] = new_results(shape, functions, higher.n_dofs(),
                                          "the antiderivatives' dofs are more than can be stored", "dofs");
        stops_as_value_errors([&] {
            released_for_large_work(dofs.view.size(), [&] {
                zorv::antiderivative(basis_, dofs.values(), functions, {data, functions * higher.n_dofs()});
            });
        });
        return nb::make_tuple(nb::cast(higher), result);
    }

    nb::object inner(nb::handle a_in, nb::handle b_in) const {
        const nb::object both = call_python(numpy->broadcast_arrays,
                                            nb::make_tuple(float_array(a_in, "a").owner, float_array(b_in, "b").owner));
        auto [a, functions, shape] = function_array(both[0], "a");
        const FloatArray b = std::get<0>(function_array(both[1], "b"));
        auto [result, data] = new_results(shape, functions, 1, "more results than can be stored", "results");
        stops_as_value_errors([&] {
            released_for_large_work(a.view.size(), [&] {
                inner_products(basis_, a.values(), b.values(), functions, {data, functions});
            });
        });
        return result;
    }

    nb::object norm(nb::handle dofs_in) const {
        auto [dofs, functions, shape] = function_array(dofs_in, "dofs");
        auto [result, data] = new_results(shape, functions, 1, "more results than can be stored", "results");
        stops_as_value_errors([&] {
            released_for_large_work(dofs.view.size(), [&] {
                norms(basis_, dofs.values(), functions, {data, functions});
            });
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
        std::size_t functions = 1;
        for (std::size_t i = 0; i + 1 < y_shape.size(); ++i) {
            if (__builtin_mul_overflow(functions, y_shape[i], &functions)) {
                throw nb::value_error("y has more functions than can be stored");
            }
        }
        std::vector<std::size_t> shape(y_shape.begin(), y_shape.end() - 1);
        shape.push_back(n_dofs_);
        auto [result, data] = new_results(shape, functions, n_dofs_, "the fitted dofs are more than can be stored", "dofs");
        stops_as_value_errors([&] {
            released_for_large_work(y.view.size(), [&] {
                zorv::fit(basis_, t.values(), y.values(), functions,
                          weights ? weights->values() : std::span<const double>{},
                          {data, functions * n_dofs_});
            });
        });
        return result;
    }

private:
    LegendreBasis basis_;
    std::size_t n_dofs_ = 0;
};

/// A method of LegendreSpace that takes `workers=` last: its batches run on at most the
/// threads the argument allows (see workers_argument), every other argument as the
/// method takes it.
template <auto Method>
struct WithWorkers;
template <class Result, class... Arguments, Result (LegendreSpace::*Method)(Arguments...) const>
struct WithWorkers<Method> {
    static Result call(const LegendreSpace& space, Arguments... arguments, nb::handle workers) {
        const ThreadLimit limit(workers_argument(workers));
        return (space.*Method)(arguments...);
    }
};

// ---- module-level functions -----------------------------------------------------------

// ---- what a result needs, checked before it is built -------------------------------------
//
// Per node: the core's node and the array's (8 + 8). Per matrix entry: the core's column
// and value (8 + 8) and the array's value and index (8 + at most 8); the transformation
// also holds its degree + 1 blocks while it assembles them (16 more). Per cell of the
// transformation's weight matrix: the Vandermonde matrix, the work copy of its
// inversion and the inverse (3 * 8).
constexpr std::size_t kBytesPerNode = 8 + 8;
constexpr std::size_t kBytesPerProlongationEntry = 16 + 16;
constexpr std::size_t kBytesPerTransformationEntry = 16 + 16 + 16;
constexpr std::size_t kBytesPerWeightCell = 3 * 8;

/// Refuses what the Lagrange basis of `degree` on `n_t` elements and its matrices
/// (`entries_per_node` entries per node, none for the points alone) cannot hold.
/// Counts beyond a machine word are left to the core, which reports them.
void require_lagrange_memory(std::size_t degree, std::size_t n_t, bool periodic, std::size_t entries_per_node,
                             std::size_t bytes_per_entry) {
    std::size_t nodes = 0;
    if (__builtin_mul_overflow(degree, n_t, &nodes)) return;
    nodes += periodic ? 0 : 1;
    std::size_t entries = 0;
    if (entries_per_node != 0 && !__builtin_mul_overflow(nodes, entries_per_node, &entries)) {
        require_memory(entries, bytes_per_entry, "matrix entries");
    }
    require_memory(nodes, kBytesPerNode, "nodes");
}

nb::object lagrange_points(CountArgument degree_in, CountArgument n_t_in, RealArgument T_in, FlagArgument periodic_in) {
    const double T = real_argument(T_in);
    const std::size_t degree = count_argument(degree_in, "degree", 0);
    const std::size_t n_t = count_argument(n_t_in, "n_t", 0);
    const bool periodic = flag_argument(periodic_in, "periodic");
    check_interval_end(T);
    require_lagrange_memory(degree, n_t, periodic, 0, 0);
    const LagrangeBasis basis =
        stops_as_value_errors([&] { return LagrangeBasis::create(degree, n_t, T, periodic); });
    auto [points, data] = new_array({basis.points().size()}, numpy->float64);
    std::copy(basis.points().begin(), basis.points().end(), static_cast<double*>(data));
    return points;
}

nb::object prolongation(CountArgument nt_coarse_in, CountArgument nt_fine_in, CountArgument degree_in,
                        FlagArgument periodic_in) {
    const std::size_t nt_coarse = count_argument(nt_coarse_in, "nt_coarse", 0);
    const std::size_t fine = count_argument(nt_fine_in, "nt_fine", 0);
    const std::size_t degree = count_argument(degree_in, "degree", 0);
    const bool periodic = flag_argument(periodic_in, "periodic");
    // A row per fine node, degree + 1 entries each; the coarse nodes are built first.
    if (degree != 0 && nt_coarse != 0 && fine != 0) {
        require_lagrange_memory(degree, fine, periodic, degree + 1, kBytesPerProlongationEntry);
    }
    require_lagrange_memory(degree, nt_coarse, periodic, 0, 0);
    // The matrix depends only on the counts: the coarse grid spans [0, 1].
    const CsrMatrix matrix = stops_as_value_errors([&] {
        if (periodic && fine == 0) stop("Lagrange prolongation requires at least one fine interval");
        return LagrangeBasis::create(degree, nt_coarse, 1.0, periodic).get_prolongation_matrix_to(fine);
    });
    return csr_array(matrix);
}

nb::object lagrange_to_legendre(CountArgument degree_in, CountArgument n_t_in, FlagArgument periodic_in) {
    const std::size_t degree = count_argument(degree_in, "degree", 0);
    const std::size_t n_t = count_argument(n_t_in, "n_t", 0);
    const bool periodic = flag_argument(periodic_in, "periodic");
    // degree + 1 rows of degree + 1 entries per element, from a weight matrix of
    // (degree + 1)^2 cells; degree 0 is the core's refusal.
    std::size_t cells = 0;
    if (degree != 0 && !__builtin_mul_overflow(degree + 1, degree + 1, &cells)) {
        require_memory(cells, kBytesPerWeightCell, "weight matrix cells");
        std::size_t entries = 0;
        if (!__builtin_mul_overflow(cells, n_t, &entries)) {
            require_memory(entries, kBytesPerTransformationEntry, "matrix entries");
        }
    }
    require_lagrange_memory(degree, n_t, periodic, 0, 0);
    const CsrMatrix matrix = stops_as_value_errors(
        [&] { return LagrangeBasis::create(degree, n_t, 1.0, periodic).get_transormation_matrix_to_legendre(); });
    return csr_array(matrix);
}

// ---- one worker pool per process --------------------------------------------------------

/// Runs this module's batches on zorv's worker pool: both modules carry a copy of the
/// core, and without this each copy would start a pool of its own. zorv lends its
/// pool when imported (a capsule in the interpreter's state dictionary, see its
/// module entry). A loan from another build of the core, or none, leaves this module
/// its own pool: the results are the same, the process has two sets of threads.
void borrow_zorv_pool() {
    import_module("zorv");
    PyObject* const shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* const capsule = shared == nullptr ? nullptr : PyDict_GetItemString(shared, kPoolLoanName);
    if (capsule == nullptr) return;
    const auto* loan = static_cast<const PoolLoan*>(PyCapsule_GetPointer(capsule, kPoolLoanName));
    if (loan == nullptr) {
        PyErr_Clear();  // not a loan of this version
        return;
    }
    borrow_pool(*loan);
}

/// nanobind reports the instances of its modules still alive when the interpreter
/// has ended, to find reference leaks. A thread still running at exit (a daemon
/// thread, or one parked by py::without_gil) keeps its references for good, so the
/// report would only mislead: it is turned off when such a thread is left as exit
/// begins, and only then (the switch is shared by every nanobind module of the
/// process, whose own reports stay on otherwise).
void quiet_leak_report_if_threads_remain() {
    // Threads inside Python code; this one may have none (it is called from C).
    const nb::object current = call_method(import_module("sys"), "_current_frames");
    if (!nb::isinstance<nb::dict>(current)) return;
    const auto frames = nb::borrow<nb::dict>(current);
    const bool own = frames.contains(nb::int_(PyThread_get_thread_ident()));
    if (frames.size() > (own ? 1U : 0U)) nb::set_leak_warnings(false);
}

// ---- documentation ------------------------------------------------------------------------

// The documentation lives in the package zorv_arrays, whose Python functions call these.
constexpr const char* kModuleDoc = "The compiled core of zorv_arrays (private: use the package).";
constexpr const char* kSpaceDoc = "The compiled space behind zorv_arrays.LegendreSpace.";
constexpr const char* kEvaluateDoc = "See zorv_arrays.LegendreSpace.evaluate.";
constexpr const char* kLocateDoc = "See zorv_arrays.LegendreSpace.locate.";
constexpr const char* kBasisMatrixDoc = "See zorv_arrays.LegendreSpace.basis_matrix.";
constexpr const char* kProjectDoc = "See zorv_arrays.LegendreSpace.project.";
constexpr const char* kLagrangePointsDoc = "See zorv_arrays.lagrange_points.";
constexpr const char* kProlongationDoc = "See zorv_arrays.prolongation.";
constexpr const char* kLagrangeToLegendreDoc = "See zorv_arrays.lagrange_to_legendre.";
constexpr const char* kIntegrateDoc = "See zorv_arrays.LegendreSpace.integrate.";
constexpr const char* kAntiderivativeDoc = "See zorv_arrays.LegendreSpace.antiderivative.";
constexpr const char* kInnerDoc = "See zorv_arrays.LegendreSpace.inner.";
constexpr const char* kNormDoc = "See zorv_arrays.LegendreSpace.norm.";
constexpr const char* kFitDoc = "See zorv_arrays.LegendreSpace.fit.";

}  // namespace
}  // namespace zorv::arrays

NB_MODULE(_core, m) {
    using namespace zorv::arrays;
    m.doc() = kModuleDoc;
    // The package's version, from its metadata (pyproject.toml, passed in by the build).
    m.attr("__version__") = ZORV_VERSION;
    if (numpy == nullptr) {  // once per process: the module may be imported again
        const nb::object np = import_module("numpy");
        numpy = new Numpy{attribute(np, "ndarray"), attribute(np, "asarray"), attribute(np, "empty"),
                          attribute(np, "float64"), attribute(np, "int32"), attribute(np, "int64"),
                          attribute(np, "broadcast_arrays")};
        call_python(attribute(import_module("atexit"), "register"),
                    nb::make_tuple(nb::cpp_function(quiet_leak_report_if_threads_remain)));
    }
    borrow_zorv_pool();

    nb::register_exception_translator([](const std::exception_ptr& failure, void*) {
        try {
            std::rethrow_exception(failure);
        } catch (const zorv::Stop& stop) {
            PyErr_SetString(PyExc_RuntimeError, stop.what());
        } catch (const zorv::AllocationTooLarge& refusal) {
            PyErr_SetString(PyExc_MemoryError, refusal.what());  // the size asked for, as zorv words it
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    });

    nb::class_<LegendreSpace>(m, "LegendreSpace", kSpaceDoc)
        .def("__init__", [](LegendreSpace* space, CountArgument degree, CountArgument n_t, RealArgument T) {
            new (space) LegendreSpace(degree, n_t, real_argument(T));
        }, "degree"_a, "n_t"_a, "T"_a)
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
        // Rebuilt from its three numbers by every pickle protocol, 0 to 5.
        .def("__reduce__", [](nb::handle self) {
            const LegendreSpace& space = nb::cast<const LegendreSpace&>(self);
            return nb::make_tuple(self.type(), nb::make_tuple(space.degree(), space.n_t(), space.T()));
        })
        .def("__copy__", [](const LegendreSpace& space) { return space; })
        .def("__deepcopy__", [](const LegendreSpace& space, nb::handle) { return space; }, "memo"_a)
        .def("evaluate", &WithWorkers<&LegendreSpace::evaluate>::call, "dofs"_a, "t"_a, nb::kw_only(),
             "derivative"_a.none() = false, "out"_a = nb::none(), "extrapolate"_a.none() = "clamp",
             "workers"_a.none() = nb::none(), kEvaluateDoc)
        .def("locate", &WithWorkers<&LegendreSpace::locate>::call, "t"_a, nb::kw_only(), "workers"_a.none() = nb::none(),
             kLocateDoc)
        .def("basis_matrix", &WithWorkers<&LegendreSpace::basis_matrix>::call, "t"_a, nb::kw_only(),
             "derivative"_a.none() = false, "extrapolate"_a.none() = "clamp", "workers"_a.none() = nb::none(),
             kBasisMatrixDoc)
        .def("integrate", &WithWorkers<&LegendreSpace::integrate>::call, "dofs"_a, "a"_a, "b"_a, nb::kw_only(),
             "extrapolate"_a.none() = "clamp", "workers"_a.none() = nb::none(), kIntegrateDoc)
        .def("antiderivative", &LegendreSpace::antiderivative, "dofs"_a, kAntiderivativeDoc)
        .def("inner", &WithWorkers<&LegendreSpace::inner>::call, "a"_a, "b"_a, nb::kw_only(),
             "workers"_a.none() = nb::none(), kInnerDoc)
        .def("norm", &WithWorkers<&LegendreSpace::norm>::call, "dofs"_a, nb::kw_only(), "workers"_a.none() = nb::none(),
             kNormDoc)
        .def("fit", &WithWorkers<&LegendreSpace::fit>::call, "t"_a, "y"_a, "weights"_a = nb::none(), nb::kw_only(),
             "workers"_a.none() = nb::none(), kFitDoc)
        .def("project", &WithWorkers<&LegendreSpace::project>::call, "f"_a, nb::kw_only(), "points"_a = nb::none(),
             "workers"_a.none() = nb::none(), kProjectDoc);

    m.def("lagrange_points", &lagrange_points, "degree"_a, "n_t"_a, "T"_a, "periodic"_a = false, kLagrangePointsDoc);
    m.def("prolongation", &prolongation, "nt_coarse"_a, "nt_fine"_a, "degree"_a, "periodic"_a = false,
          kProlongationDoc);
    m.def("lagrange_to_legendre", &lagrange_to_legendre, "degree"_a, "n_t"_a, "periodic"_a = false,
          kLagrangeToLegendreDoc);
}
