#pragma once
/// @file
/// The one owning reference type for Python objects.
///
/// `PyRef::steal` adopts a new reference, `PyRef::borrow` takes an extra one; the
/// destructor drops it. There is deliberately no implicit conversion to PyObject*:
/// `get()` lends the pointer, `release()` hands the reference over.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zorv::py {

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    /// Adopts `object`, a new reference (or null).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Shares `object`, a borrowed reference (or null).
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    /// Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zorv::py
