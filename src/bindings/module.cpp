// The module entry: PyInit_zorv, the one-interpreter rule, the module cache and the
// registration of the functions and classes.

#include "bindings/classes.hpp"
#include "bindings/errors.hpp"
#include "bindings/functions.hpp"
#include "bindings/guards.hpp"
#include "support/stop.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace zorv::py {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zorv",
    "Piecewise polynomial spaces on a uniform time grid: Legendre evaluation, Lagrange nodes and "
    "sparse transfer matrices.",
    0,        // no per-module state
    nullptr,  // the functions are added by the module body, not through a method table
    nullptr,  // no slots: single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
};

/// The interpreter that ran the entry first; -1 while none has.
std::atomic<std::int64_t> recorded_interpreter{-1};
/// The module, once its body has run successfully; one strong reference, never dropped.
PyObject* cached_module = nullptr;
std::mutex cache_initialisation;

/// Appends `name` to the module's __all__ (creating the list when missing) and sets
/// the attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* object) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_pending();
    } else if (!PyList_Check(all.get())) {
        throw_cast_error(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) != 0) {
        PyErr_Clear();
        stop("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, object) != 0) throw_pending();
}

void register_function(PyObject* module, PyObject* module_name, PyMethodDef& definition) {
    const PyRef function = PyRef::steal(PyCMethod_New(&definition, module, module_name, nullptr));
    if (!function) throw_pending();
    const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw_pending();
    if (!PyUnicode_Check(name.get())) throw_cast_error(name.get(), "str");
    add_to_module(module, name.get(), function.get());
}

void register_class(PyObject* module, const char* name, PyTypeObject* type) {
    const PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object) throw_pending();
    add_to_module(module, name_object.get(), reinterpret_cast<PyObject*>(type));
}

void run_module_body(PyObject* module) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_pending();
    for (PyMethodDef& definition : module_functions()) register_function(module, module_name.get(), definition);
    register_class(module, "LegendreBasis", legendre_basis_type());
    register_class(module, "LegendreBasisEvaluator", legendre_basis_evaluator_type());
}

/// Creates the module once per process. Waiting for another initialising thread
/// happens without the interpreter lock, so neither can block the other on it.
PyRef module_from_cache() {
    std::unique_lock lock(cache_initialisation, std::defer_lock);
    without_gil([&] { lock.lock(); });
    if (cached_module == nullptr) {
        PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
        if (!module) throw_pending();
        run_module_body(module.get());  // a failure drops the partly filled module
        cached_module = module.release();
    }
    return PyRef::borrow(cached_module);
}

PyRef initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) throw_pending();
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        throw_error(PyExc_ImportError,
                    "zorv does not support sub-interpreters yet: it can only be imported in the "
                    "interpreter that imported it first");
    }
    if (cached_module != nullptr) return PyRef::borrow(cached_module);
    return module_from_cache();
}

}  // namespace

}  // namespace zorv::py

extern "C" PyMODINIT_FUNC PyInit_zorv() {
    return zorv::py::guarded([] { return zorv::py::initialise(); });
}
