// The Python class LegendreBasisEvaluator: stores the dofs once and evaluates them
// at single times or, with the interpreter lock released, at whole float buffers.

#include "bindings/binder.hpp"
#include "bindings/classes.hpp"
#include "bindings/convert.hpp"
#include "bindings/dof_matrix.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "support/memory.hpp"
#include "support/stop.hpp"

#include <functional>


namespace zorv::py {

namespace {

struct EvaluatorState {
    LegendreBasis basis;
    DofMatrix dofs;  ///< always n_t x (degree + 1); replaced whole by set_dofs
    std::size_t n_t;
    std::size_t degree;
};

using Self = Instance<EvaluatorState>;

constexpr const char* kClassName = "LegendreBasisEvaluator";

Self& self_of(PyObject* self) {
    return receiver<EvaluatorState>(self, legendre_basis_evaluator_type(), kClassName);
}

// ---- constructor ---------------------------------------------------------------

constexpr Parameters<3> kNew{"LegendreBasisEvaluator.__new__()", {"degree", "n_t", "T"}};

PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        const auto [degree, n_t, T] = kNew.bind(args, kwargs);
        const std::size_t degree_value = argument("degree", degree, to_count);
        const std::size_t n_t_value = argument("n_t", n_t, to_count);
        const double T_value = argument("T", T, to_float);
        return create_instance(type, EvaluatorState{LegendreBasis(degree_value, n_t_value, T_value),
                                                    zero_dof_matrix(n_t_value, degree_value), n_t_value, degree_value});
    });
}

// ---- set_dofs(legendre_vals) ---------------------------------------------------------

constexpr Parameters<1> kSetDofs{"LegendreBasisEvaluator.set_dofs()", {"legendre_vals"}};

PyObject* set_dofs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const auto [legendre_vals] = kSetDofs.bind(args, nargs, kwnames);
        Self& instance = self_of(self);
        const ExclusiveHold hold(instance.hold);
        const std::vector<double> values = argument("legendre_vals", legendre_vals, to_float_sequence);
        EvaluatorState& state = instance.payload;
        // The count fitted when the instance was made.
        const std::size_t required = exact_dof_count(state.n_t, state.degree).value();
        if (values.size() != required) {
            stop(assert_eq_message("LegendreBasisEvaluator: set_dofs: input vector has wrong length",
                                   values.size(), required));
        }
        // The new matrix is complete before the old one goes.
        state.dofs = dof_matrix(values, state.n_t, state.degree);
        return none();
    });
}

// ---- evaluate_at(t), evaluate_derivative_at(t) -----------------------------------------

using PointOperation = double (LegendreBasis::*)(double, const DofMatrix&) const;

template <PointOperation operation>
PyObject* evaluate_point(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const Parameters<1>& parameters) {
    return guarded([&] {
        const auto [t] = parameters.bind(args, nargs, kwnames);
        Self& instance = self_of(self);
        const SharedHold hold(instance.hold);
        const double t_value = argument("t", t, to_float);
        const EvaluatorState& state = instance.payload;
        return make_float((state.basis.*operation)(t_value, state.dofs));
    });
}

constexpr Parameters<1> kEvaluateAt{"LegendreBasisEvaluator.evaluate_at()", {"t"}};
constexpr Parameters<1> kEvaluateDerivativeAt{"LegendreBasisEvaluator.evaluate_derivative_at()", {"t"}};

PyObject* evaluate_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_point<&LegendreBasis::evaluate>(self, args, nargs, kwnames, kEvaluateAt);
}

PyObject* evaluate_derivative_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_point<&LegendreBasis::evaluate_derivative>(self, args, nargs, kwnames, kEvaluateDerivativeAt);
}

// ---- evaluate_many(t_values), evaluate_derivative_many(t_values) ------------------------

using Quantity = LegendreBasis::Quantity;

/// Copies the times out of the caller's buffer (with the lock held), evaluates
/// `quantity` at them and returns the values as a new list.
///
/// The times are copied straight into the result list's item slots, where each
/// value then replaces its own time and finally becomes its float item: the batch
/// needs no array of its own. The core decides how the batch runs (on this thread,
/// or on the pool with this thread taking part) and hands back the finished ranges
/// in order; this thread turns them into items while the pool computes the rest.
/// Computing and waiting happen without the interpreter lock, and the list is
/// invisible to Python code (untracked by the collector, referenced by nobody)
/// until it is complete. The shared hold keeps set_dofs out, and the buffer stays
/// exported, until the values are all computed.
template <Quantity quantity>
PyObject* evaluate_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         const Parameters<1>& parameters) {
    return guarded([&] {
        const auto [t_values] = parameters.bind(args, nargs, kwnames);
        Self& instance = self_of(self);
        const SharedHold hold(instance.hold);
        const FloatBuffer buffer =
            argument("t_values", t_values, [](PyObject* object) { return FloatBuffer(object); });
        // A list slot and a float object per time (the times themselves are the caller's).
        require_memory(buffer.size(), sizeof(PyObject*) + sizeof(PyFloatObject), "values");
        FloatListBuilder list(buffer.size());
        const std::span<double> times = list.slots_as_doubles();
        buffer.copy_to(times);
        const InOrder in_order{
            [&](std::size_t begin, std::size_t end) { list.fill_in_place(begin, end); },
            [](const std::function<void()>& work) { without_gil(work); },
        };
        const EvaluatorState& state = instance.payload;
        state.basis.evaluate_batch(quantity, state.dofs, times, times, &in_order);
        return std::move(list).finish();
    });
}

constexpr Parameters<1> kEvaluateMany{"LegendreBasisEvaluator.evaluate_many()", {"t_values"}};
constexpr Parameters<1> kEvaluateDerivativeMany{"LegendreBasisEvaluator.evaluate_derivative_many()",
                                                {"t_values"}};

PyObject* evaluate_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_batch<Quantity::value>(self, args, nargs, kwnames, kEvaluateMany);
}

PyObject* evaluate_derivative_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return evaluate_batch<Quantity::derivative>(self, args, nargs, kwnames, kEvaluateDerivativeMany);
}

PyMethodDef methods[] = {
    fastcall_entry("set_dofs", set_dofs, "set_dofs($self, legendre_vals)\n--\n\n"),
    fastcall_entry("evaluate_at", evaluate_at, "evaluate_at($self, t)\n--\n\n"),
    fastcall_entry("evaluate_derivative_at", evaluate_derivative_at, "evaluate_derivative_at($self, t)\n--\n\n"),
    fastcall_entry("evaluate_many", evaluate_many, "evaluate_many($self, t_values)\n--\n\n"),
    fastcall_entry("evaluate_derivative_many", evaluate_derivative_many,
                   "evaluate_derivative_many($self, t_values)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* legendre_basis_evaluator_type() {
    static RuntimeCache<PyTypeObject> type;  // created once per runtime, with the interpreter lock held; never freed
    if (type.get() == nullptr) {
        type.set(create_class({kClassName, "builtins.LegendreBasisEvaluator",
                               "LegendreBasisEvaluator(degree, n_t, T)\n--\n\n"
                               "Class to evaluate legendre basis more often without copying the dofs from python "
                               "each time",
                               methods, create, destroy_instance<EvaluatorState>, sizeof(Self)}));
    }
    return type.get();
}

}  // namespace zorv::py
