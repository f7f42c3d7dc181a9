// The Python class LegendreBasis: evaluations whose dofs come with every call.

#include "bindings/binder.hpp"
#include "bindings/classes.hpp"
#include "bindings/convert.hpp"
#include "bindings/dof_matrix.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "support/memory.hpp"
#include "support/stop.hpp"

#include <optional>

namespace zorv::py {

namespace {

struct LegendreBasisState {
    LegendreBasis basis;
    std::size_t degree;
    std::size_t n_t;
};

using Self = Instance<LegendreBasisState>;

constexpr const char* kClassName = "LegendreBasis";

Self& self_of(PyObject* self) { return receiver<LegendreBasisState>(self, legendre_basis_type(), kClassName); }

// ---- constructor ---------------------------------------------------------------

constexpr Parameters<3> kNew{"LegendreBasis.__new__()", {"degree", "n_t", "T"}};

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto [degree, n_t, T] = kNew.bind(args, kwargs);
        const std::size_t degree_value = argument("degree", degree, to_count);
        const std::size_t n_t_value = argument("n_t", n_t, to_count);
        const double T_value = argument("T", T, to_float);
        return create_instance(type, LegendreBasisState{LegendreBasis(degree_value, n_t_value, T_value),
                                                        degree_value, n_t_value});
    });
}

// ---- evaluate_at(t, legendre_vals) ------------------------------------------------

/// The dofs of a call: the first n_t * (degree + 1) values, in the Legendre dof
/// layout; values after those are ignored. Too few values (also when that count
/// exceeds every possible length) stop before anything is allocated.
DofMatrix dofs_from_values(const LegendreBasisState& state, const std::vector<double>& values) {
    const std::optional<std::size_t> count = exact_dof_count(state.n_t, state.degree);
    if (!count || values.size() < *count) stop("Matrix view: input data buffer too small.");
    return dof_matrix(values, state.n_t, state.degree);
}

constexpr Parameters<2> kEvaluateAt{"LegendreBasis.evaluate_at()", {"t", "legendre_vals"}};

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [t, legendre_vals] = kEvaluateAt.bind(args, nargs, kwnames);
        Self& instance = self_of(self);
        const SharedHold hold(instance.hold);
        const double t_value = argument("t", t, to_float);
        const std::vector<double> values = argument("legendre_vals", legendre_vals, to_float_sequence);
        const LegendreBasisState& state = instance.payload;
        return make_float(state.basis.evaluate(t_value, dofs_from_values(state, values)));
    });
}

// ---- evaluate_all_basis_functions(t), evaluate_all_basis_function_derivatives(t) ------

using AllBasisValues = std::vector<double> (LegendreBasis::*)(double) const;

template <AllBasisValues operation>
PyObject* evaluate_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Parameters<1>& parameters) {
    return guarded([&] {
        const auto [t] = parameters.bind(args, nargs, kwnames);
        Self& instance = self_of(self);
        const SharedHold hold(instance.hold);
        const double t_value = argument("t", t, to_float);
        // One value per dof, each also a list slot and a float object; counts that no
        // machine can hold are the core's "capacity overflow" stop.
        const LegendreBasisState& state = instance.payload;
        const std::optional<std::size_t> count = exact_dof_count(state.n_t, state.degree);
        if (count && *count <= static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double)) {
            require_memory(*count, sizeof(double) + sizeof(PyObject*) + sizeof(PyFloatObject), "values");
        }
        return make_float_list((state.basis.*operation)(t_value));
    });
}

constexpr Parameters<1> kAllFunctions{"LegendreBasis.evaluate_all_basis_functions()", {"t"}};
constexpr Parameters<1> kAllDerivatives{"LegendreBasis.evaluate_all_basis_function_derivatives()", {"t"}};

PyObject* evaluate_all_basis_functions(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    return evaluate_all<&LegendreBasis::evaluate_all_basis_functions>(self, args, nargs, kwnames, kAllFunctions);
}

PyObject* evaluate_all_basis_function_derivatives(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    return evaluate_all<&LegendreBasis::evaluate_all_basis_function_derivatives>(self, args, nargs, kwnames,
                                                                                 kAllDerivatives);
}

PyMethodDef methods[] = {
    fastcall_entry("evaluate_at", evaluate_at, "evaluate_at($self, t, legendre_vals)\n--\n\n"),
    fastcall_entry("evaluate_all_basis_functions", evaluate_all_basis_functions,
                   "evaluate_all_basis_functions($self, t)\n--\n\n"),
    fastcall_entry("evaluate_all_basis_function_derivatives", evaluate_all_basis_function_derivatives,
                   "evaluate_all_basis_function_derivatives($self, t)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* legendre_basis_type() {
    static RuntimeCache<PyTypeObject> type;  // created once per runtime, with the interpreter lock held; never freed
    if (type.get() == nullptr) {
        type.set(create_class({kClassName, "builtins.LegendreBasis", "LegendreBasis(degree, n_t, T)\n--\n\n",
                               methods, create, destroy_instance<LegendreBasisState>, sizeof(Self)}));
    }
    return type.get();
}

}  // namespace zorv::py
