#pragma once
/// @file
/// The argument binder: every function, method and constructor binds its Python
/// arguments through a static `Parameters` table, and only this binder writes the
/// binding error messages.

#include "bindings/errors.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>

namespace zorv::py {

/// The parameter list of one callable. Every parameter is positional-or-keyword;
/// the first `required` ones are required, the others have defaults.
struct Signature {
    /// Prefix of every binding message: "name()" or "Class.method()".
    const char* label;
    std::span<const char* const> names;
    std::size_t required;
};

/// Binds a fast call (positional vector + keyword-name tuple) to `signature`.
/// `bound` receives one borrowed reference per parameter, null for an omitted
/// parameter with a default. Throws a PythonError (TypeError) on a binding failure.
void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> bound);

/// Binds a classic call (argument tuple + keyword dict, which may be null).
void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> bound);

/// A static parameter table of N names.
template <std::size_t N>
struct Parameters {
    const char* label;
    std::array<const char*, N> names;
    std::size_t required = N;

    using Bound = std::array<PyObject*, N>;

    Signature signature() const { return Signature{label, names, required}; }

    Bound bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        Bound bound{};
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
            // The common call, every parameter by position: nothing can be missing.
            std::copy_n(args, N, bound.begin());
            return bound;
        }
        bind_fastcall(signature(), args, nargs, kwnames, bound);
        return bound;
    }
    Bound bind(PyObject* args, PyObject* kwargs) const {
        Bound bound{};
        bind_tuple_dict(signature(), args, kwargs, bound);
        return bound;
    }
};

/// The C signature of a function or method with the fast calling convention.
using FastCallFunction = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// A method-table entry with METH_FASTCALL | METH_KEYWORDS.
inline PyMethodDef fastcall_entry(const char* name, FastCallFunction function, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace zorv::py
