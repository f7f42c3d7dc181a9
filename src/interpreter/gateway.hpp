#pragma once
/// @file
/// The one way from the extension modules' C++ code into Python code.
///
/// Any call that may run Python code (the caller's __float__, __index__, __array__
/// or function, NumPy and SciPy, an import, an attribute lookup that a class may
/// override) may also be where CPython 3.9 to 3.13 end a daemon thread at exit: the
/// Python code takes the interpreter lock back, and a finalising interpreter answers
/// with pthread_exit's forced unwind (see released_lock.hpp). Such an unwind must
/// not reach a frame that cannot pass it (nanobind's function dispatch, a
/// destructor), nor a frame that drops Python references without the lock. Every
/// such call therefore goes through `into_python`, which parks the thread right at
/// the call instead, and the wrappers below are the calls the modules make; a source
/// rule (tests/python/test_source_rules.py) refuses these C API functions, and the
/// binding library's own ways of calling Python code, anywhere else.
///
/// Each wrapper returns what the C API returns (a new reference or null with the
/// Python error set, -1 with the error set, ...): the caller owns the result.

#include "interpreter/released_lock.hpp"

#include <utility>

namespace zorv::py {

/// Runs `call`, a lambda around one call of the C API that may run Python code, and
/// returns its result; a thread that the exiting interpreter ends inside it is parked
/// here (parking_if_ended). `call` must own nothing (it sees raw pointers and plain
/// values only): nothing that the unwind would destroy stands between the Python
/// code and this frame.
template <class Call>
decltype(auto) into_python(Call&& call) {
    return parking_if_ended(std::forward<Call>(call));
}

namespace gateway {

/// `callable(*args, **kwargs)`; `kwargs` may be null.
inline PyObject* call(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return into_python([=] { return PyObject_Call(callable, args, kwargs); });
}

/// `callable(argument)`.
inline PyObject* call_one(PyObject* callable, PyObject* argument) {
    return into_python([=] { return PyObject_CallOneArg(callable, argument); });
}

/// `object.name()`.
inline PyObject* call_method(PyObject* object, const char* name) {
    return into_python([=] { return PyObject_CallMethod(object, name, nullptr); });
}

/// `import name` (the module, not the top-level package).
inline PyObject* import(const char* name) {
    return into_python([=] { return PyImport_ImportModule(name); });
}

/// `object.name`.
inline PyObject* attribute(PyObject* object, const char* name) {
    return into_python([=] { return PyObject_GetAttrString(object, name); });
}

/// `operator.index(object)`: an int through __index__.
inline PyObject* index(PyObject* object) {
    return into_python([=] { return PyNumber_Index(object); });
}

/// `bool(object)`: 1, 0, or -1 with the error set.
inline int truth(PyObject* object) {
    return into_python([=] { return PyObject_IsTrue(object); });
}

/// `float(object)` through __float__ (or __index__); -1.0 with the error set on failure.
inline double to_double(PyObject* object) {
    return into_python([=] { return PyFloat_AsDouble(object); });
}

/// `str(object)`.
inline PyObject* text(PyObject* object) {
    return into_python([=] { return PyObject_Str(object); });
}

/// `len(object)`, or -1 with the error set.
inline Py_ssize_t size(PyObject* object) {
    return into_python([=] { return PyObject_Size(object); });
}

/// `iter(object)`.
inline PyObject* iterator(PyObject* object) {
    return into_python([=] { return PyObject_GetIter(object); });
}

/// `next(iterator)`, or null when it is exhausted (no error) or fails (error set).
inline PyObject* next(PyObject* iterator) {
    return into_python([=] { return PyIter_Next(iterator); });
}

/// The buffer that `object` exports with `flags` (PyBUF_...) into `view`: 0, or -1
/// with the error set. An exporter may be a class with __buffer__ (3.12 and later).
inline int get_buffer(PyObject* object, Py_buffer* view, int flags) {
    return into_python([=] { return PyObject_GetBuffer(object, view, flags); });
}

/// Releases a buffer that get_buffer filled (its exporter may be a class with
/// __release_buffer__, 3.12 and later).
inline void release_buffer(Py_buffer* view) {
    into_python([=] { PyBuffer_Release(view); });
}

/// Prints an exception and its traceback to sys.stderr, as the interpreter does.
inline void display(PyObject* type, PyObject* value, PyObject* traceback) {
    into_python([=] { PyErr_Display(type, value, traceback); });
}

}  // namespace gateway
}  // namespace zorv::py
