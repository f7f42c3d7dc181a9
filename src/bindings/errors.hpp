#pragma once
/// @file
/// Failures at the Python boundary.
///
/// Inside a wrapper every failure travels as a C++ exception; the wrapper's single
/// `catch (...)` hands it to `translate_current_exception()`, the one place that
/// turns it into a Python exception:
///   - PythonError (a Python exception fetched from the interpreter) is restored;
///   - zorv::Stop becomes PanicException with the stop's message, after a
///     diagnostic on standard error;
///   - zorv::CountOverflow becomes OverflowError;
///   - std::bad_alloc and std::length_error become MemoryError;
///   - anything else is a stop with a generic message.

#include "bindings/py_ref.hpp"

#include <cxxabi.h>
#include <string>

/// For a function that catches abi::__forced_unwind to let it pass: that unwind
/// carries no exception object, so the catch binds a reference to null, which the
/// undefined-behaviour sanitizer would report although nothing is read through it.
#define ZORV_PASSES_FORCED_UNWIND [[gnu::no_sanitize("null")]]
#include <string_view>

namespace zorv::py {

/// A Python exception, fetched out of the interpreter's error indicator so that
/// C++ frames can unwind (and drop references) without a pending exception.
class PythonError {
public:
    /// Fetches the pending exception; when none is set, uses SystemError
    /// "attempted to fetch exception but none was set".
    static PythonError fetch();
    /// Puts the exception back as the current Python exception.
    void restore() &&;

    /// True when the exception is an instance of `type` (or of a subclass).
    bool matches(PyObject* type) const;
    /// True when the exception's type is exactly `type`.
    bool is_exactly(PyObject* type) const;
    /// The exception object (normalised).
    PyObject* value() const { return value_.get(); }

private:
    PythonError(PyRef type, PyRef value, PyRef traceback)
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
    PyRef type_, value_, traceback_;
};

/// Throws the pending Python exception as a PythonError.
[[noreturn]] void throw_pending();

/// Throws a new Python exception of `type` with `message` as its single argument.
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

/// Throws the cast error "'<type of object>' object cannot be cast as '<target>'".
[[noreturn]] void throw_cast_error(PyObject* object, std::string_view target);

/// The qualified name of `type`, or "<failed to extract type name>".
std::string qualified_type_name(PyTypeObject* type);

/// Sets `cause` as the __cause__ of the exception object `error` (borrowed refs).
void set_cause(PyObject* error, PyObject* cause);

/// The conversion of argument `name` failed with `error`. Returns what the caller
/// must see: a TypeError (exact type only) is re-raised as "argument '<name>': <text>"
/// keeping the original __cause__; a PanicException raised by the caller's own
/// Python code is resumed as a stop carrying the same message; any other
/// exception passes unchanged. Always throws.
[[noreturn]] void rethrow_for_argument(PythonError&& error, const char* name);

/// Translates the exception being handled (call only inside a catch block) into the
/// current Python exception. Never throws.
void translate_current_exception() noexcept;

/// Runs `body` (returning a PyRef) and returns its new reference, or null with a
/// Python exception set when it throws. Every entry point goes through this.
///
/// The one thing that passes is the forced unwind that ends a thread (a daemon
/// thread taking the interpreter lock back while the interpreter finalises): it
/// must reach the thread's start, so it is not caught here and this is not noexcept.
template <class Body>
ZORV_PASSES_FORCED_UNWIND PyObject* guarded(Body&& body) {
    try {
        return body().release();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

/// Records that the current thread is being ended while it does not hold the
/// interpreter lock: the frames still unwinding must not touch Python objects.
void mark_thread_without_python() noexcept;
/// Whether mark_thread_without_python() was called on this thread.
bool thread_without_python() noexcept;

/// The `PanicException` type (created on first use, kept for the interpreter runtime).
PyObject* panic_exception_type();

}  // namespace zorv::py
