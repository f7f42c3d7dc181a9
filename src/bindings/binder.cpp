#include "bindings/binder.hpp"

#include <string>

namespace zorv::py {

namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

[[noreturn]] void too_many_positional(const Signature& signature, std::size_t given) {
    const std::size_t count = signature.names.size();
    std::string message = signature.label;
    if (signature.required == count) {
        message += " takes " + std::to_string(count);
    } else {
        message += " takes from " + std::to_string(signature.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    throw_error(PyExc_TypeError, message);
}

[[noreturn]] void unexpected_keyword(const Signature& signature, PyObject* keyword) {
    PyRef text = PyRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                   signature.label, keyword));
    if (!text) throw_pending();
    PyErr_SetObject(PyExc_TypeError, text.get());
    throw_pending();
}

[[noreturn]] void multiple_values(const Signature& signature, const char* name) {
    throw_error(PyExc_TypeError, std::string(signature.label) + " got multiple values for argument " + quoted(name));
}

/// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string name_list(std::span<const char* const> names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            const bool last = i + 1 == names.size();
            if (!last) list += ", ";
            else list += names.size() > 2 ? ", and " : " and ";
        }
        list += quoted(names[i]);
    }
    return list;
}

void check_required(const Signature& signature, std::span<PyObject*> bound) {
    bool complete = true;  // the common case: check cheaply, list the missing ones only on failure
    for (std::size_t i = 0; i < signature.required; ++i) complete = complete && bound[i] != nullptr;
    if (complete) return;
    std::array<const char*, 16> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr && count < missing.size()) missing[count++] = signature.names[i];
    }
    if (count == 0) return;
    std::string message = signature.label;
    message += " missing " + std::to_string(count) + " required positional " +
               (count == 1 ? "argument" : "arguments") + ": " + name_list({missing.data(), count});
    throw_error(PyExc_TypeError, message);
}

void bind_positional(const Signature& signature, PyObject* const* args, std::size_t nargs,
                     std::span<PyObject*> bound) {
    if (nargs > signature.names.size()) too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < nargs; ++i) bound[i] = args[i];
}

void bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, std::span<PyObject*> bound) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) {
            if (bound[i] != nullptr) multiple_values(signature, signature.names[i]);
            bound[i] = value;
            return;
        }
    }
    unexpected_keyword(signature, keyword);
}

}  // namespace

void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> bound) {
    bind_positional(signature, args, static_cast<std::size_t>(nargs), bound);
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound);
        }
    }
    check_required(signature, bound);
}

void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
    bind_positional(signature, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
                    bound);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject *keyword = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            bind_keyword(signature, keyword, value, bound);
        }
    }
    check_required(signature, bound);
}

}  // namespace zorv::py
