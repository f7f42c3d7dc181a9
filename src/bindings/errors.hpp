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
///   - zorv::AllocationTooLarge becomes MemoryError with its message (the size asked for);
///   - std::bad_alloc and std::length_error become MemoryError;
///   - anything else is a stop with a generic message.

#include "bindings/py_ref.hpp"
#include "interpreter/gateway.hpp"

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

/// A thread ended by pthread_exit (as CPython ends a daemon thread that takes the
/// interpreter lock back while the interpreter finalises) unwinds its stack. libstdc++
/// shows that unwind to `catch (...)` as abi::__forced_unwind, which a handler must
/// rethrow; ZORV_FORCED_UNWIND_IS_CATCHABLE says that this C++ library has that type.
/// libc++ has none, and a `catch (...)` that meets that unwind ends the process (to
/// libc++abi it is a foreign exception, which it terminates on, rethrown or not), so
/// with libc++ the entry points handle C++ exceptions by type and let the unwind pass.
/// (Where libc++abi is linked against LLVM's libunwind, the module must also load
/// glibc's unwinder first: see CMakeLists.txt.)
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#define ZORV_FORCED_UNWIND_IS_CATCHABLE 1
#else
#define ZORV_FORCED_UNWIND_IS_CATCHABLE 0
#endif

/// For a function that catches abi::__forced_unwind to let it pass: that unwind
/// carries no exception object, so the catch binds a reference to null, which the
/// undefined-behaviour sanitizer would report although nothing is read through it.
#define ZORV_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))

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
    /// Writes the exception and its traceback to sys.stderr, as an uncaught one is
    /// shown, without acting on it (a SystemExit does not exit).
    void display() const;

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
/// The frames it passes drop no Python reference (see may_touch_python).
template <class Body>
ZORV_PASSES_FORCED_UNWIND PyObject* guarded(Body&& body) {
    const CallingThread calling_thread;
    try {
        return body().release();
    }
#if ZORV_FORCED_UNWIND_IS_CATCHABLE
    catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
#else
    catch (PythonError&) {
        translate_current_exception();
        return nullptr;
    } catch (const std::exception&) {
        translate_current_exception();
        return nullptr;
    }
#endif
}

/// The `PanicException` type (created on first use, kept for the interpreter runtime).
PyObject* panic_exception_type();

}  // namespace zorv::py
