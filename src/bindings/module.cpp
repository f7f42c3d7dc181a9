// The module entry: PyInit_zorv, the one-interpreter rule, the module cache, the end
// of an interpreter runtime, the registration of the functions and classes, and the
// loan of the worker pool to zorv_arrays.

#include "bindings/classes.hpp"
#include "bindings/errors.hpp"
#include "bindings/functions.hpp"
#include "bindings/guards.hpp"
#include "bindings/runtime_cache.hpp"
#include "support/parallel.hpp"
#include "support/stop.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

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

/// The interpreter that ran the entry first in the current runtime; -1 while none has.
std::atomic<std::int64_t> recorded_interpreter{-1};
/// The module, once its body has run successfully; one strong reference, never dropped.
RuntimeCache<PyObject> cached_module;
std::mutex cache_initialisation;
/// The thread that holds `cache_initialisation` and runs the module body, while one does.
std::atomic<std::thread::id> initialising_thread{};

/// Whether the current runtime will tell `forget_runtime` when it ends.
std::atomic<bool> watching_runtime_end{false};

/// Runs at the very end of Py_FinalizeEx, when no Python object may be touched: every
/// cached object and the recorded interpreter belong to the runtime that just ended.
void forget_runtime() {
    recorded_interpreter.store(-1);
    runtimes_ended.fetch_add(1);
    watching_runtime_end.store(false);
}

/// Appends `name` to the module's __all__ (creating the list when missing) and sets
/// the attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* object) {
    PyRef all = PyRef::steal(gateway::attribute(module, "__all__"));
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
    const PyRef name = PyRef::steal(gateway::attribute(function.get(), "__name__"));
    if (!name) throw_pending();
    if (!PyUnicode_Check(name.get())) throw_cast_error(name.get(), "str");
    add_to_module(module, name.get(), function.get());
}

void register_class(PyObject* module, const char* name, PyTypeObject* type) {
    const PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object) throw_pending();
    add_to_module(module, name_object.get(), reinterpret_cast<PyObject*>(type));
}

/// Lends the worker pool to zorv_arrays, which links a copy of the core of its own:
/// a capsule holding this copy's PoolLoan, under kPoolLoanName in the interpreter's
/// state dictionary, which no Python code can reach. zorv_arrays imports zorv and
/// borrows the pool from there. Without such a dictionary, zorv_arrays keeps a pool
/// of its own.
void lend_worker_pool() {
    PyObject* const shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (shared == nullptr) return;
    // The capsule only reads the loan, which lives as long as the process.
    const PyRef capsule =
        PyRef::steal(PyCapsule_New(const_cast<PoolLoan*>(&pool_loan()), kPoolLoanName, nullptr));
    if (!capsule || PyDict_SetItemString(shared, kPoolLoanName, capsule.get()) != 0) throw_pending();
}

void run_module_body(PyObject* module) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) throw_pending();
    for (PyMethodDef& definition : module_functions()) register_function(module, module_name.get(), definition);
    register_class(module, "LegendreBasis", legendre_basis_type());
    register_class(module, "LegendreBasisEvaluator", legendre_basis_evaluator_type());
    lend_worker_pool();
}

/// Marks the calling thread as the one running the module body, until destroyed.
class InitialisingThread {
public:
    InitialisingThread() noexcept { initialising_thread.store(std::this_thread::get_id()); }
    ~InitialisingThread() { initialising_thread.store(std::thread::id{}); }
    InitialisingThread(const InitialisingThread&) = delete;
    InitialisingThread& operator=(const InitialisingThread&) = delete;
};

/// Creates the module once per runtime. Waiting for another initialising thread
/// happens without the interpreter lock, so neither can block the other on it.
///
/// Any allocation in the body may run a collection, and with it Python code (a
/// collector callback, a finaliser) on the initialising thread itself; an import of
/// zorv there must not wait for the initialisation it interrupts, and cannot get a
/// half-registered module: it gets ImportError.
PyRef module_from_cache() {
    if (initialising_thread.load() == std::this_thread::get_id()) {
        throw_error(PyExc_ImportError,
                    "zorv is still being initialised on this thread: code that runs during its "
                    "initialisation (a garbage-collector callback or a finaliser) cannot import it");
    }
    std::unique_lock lock(cache_initialisation, std::defer_lock);
    without_gil([&] { lock.lock(); });
    if (cached_module.get() == nullptr) {
        const InitialisingThread initialising;
        PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
        if (!module) throw_pending();
        run_module_body(module.get());  // a failure drops the partly filled module
        cached_module.set(module.release());
    }
    return PyRef::borrow(cached_module.get());
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// Python 3.12 runs a single-phase module's entry inside an interpreter with its own GIL
// and refuses the module only afterwards; this is the check it then makes (exported,
// declared in its internal headers): it sets ImportError and returns -1 for such an
// interpreter. 3.13 makes it before the entry runs.
extern "C" int _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

PyRef initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) throw_pending();
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    // An interpreter that will refuse the module anyway must not become the one that
    // owns it: refuse it here, before anything is recorded.
    if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed("zorv") < 0) throw_pending();
#endif
    watch_runtime_end();
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        throw_error(PyExc_ImportError,
                    "zorv does not support sub-interpreters yet: it can only be imported in the "
                    "interpreter that imported it first");
    }
    if (PyObject* module = cached_module.get()) return PyRef::borrow(module);
    return module_from_cache();
}

}  // namespace

void watch_runtime_end() {
    if (watching_runtime_end.exchange(true)) return;
    if (Py_AtExit(forget_runtime) != 0) {
        watching_runtime_end.store(false);
        throw_error(PyExc_ImportError,
                    "zorv cannot be imported: the interpreter has no room for another exit function "
                    "(Py_AtExit), which zorv needs to forget its objects when the interpreter is finalised");
    }
}

}  // namespace zorv::py

// PyMODINIT_FUNC gives C linkage and exports the entry.
PyMODINIT_FUNC PyInit_zorv() {
    return zorv::py::guarded([] { return zorv::py::initialise(); });
}
