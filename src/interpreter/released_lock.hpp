#pragma once
/// @file
/// Work without the interpreter lock, and what happens to a thread that the exiting
/// interpreter would end. Shared by both extension modules (zorv's hand-written
/// bindings and zorv_arrays on nanobind); needs nothing but Python.h.
///
/// CPython 3.9 to 3.13 end a thread that asks for the interpreter lock once the
/// interpreter is finalising (a daemon thread, at exit) with pthread_exit, whose
/// forced unwind runs every cleanup between there and the thread's start. It may not
/// pass a `noexcept` frame (nanobind's function dispatch is one, as is every
/// destructor) nor be swallowed by a `catch (...)`, and the frames it passes drop
/// their Python references without holding the lock. So where this code asks for
/// the lock, or calls into Python code that may ask for it, it parks such a thread
/// for good instead: the thread blocks forever without using the processor, keeping
/// every frame as it is, which is what CPython 3.14 does itself. The process then
/// exits as if the thread had ended.
///
/// Besides Python.h it needs only the core's platform seam (support/platform.hpp), for
/// the one call that differs between systems: sleeping for good.

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "support/platform.hpp"

namespace zorv::py {

/// Runs `call`, a call into the interpreter that cannot throw a C++ exception, and
/// returns its result. When the interpreter ends the thread inside it (the forced
/// unwind described above, which is no C++ exception), the thread is parked right
/// here, before the unwind reaches any frame of the caller. `call` itself must own
/// nothing that an unwind would destroy (a lambda around one C call).
template <class Call>
decltype(auto) parking_if_ended(Call&& call) {
    struct ParkUnlessReturned {
        int exceptions = std::uncaught_exceptions();
        bool returned = false;
        ~ParkUnlessReturned() {
            if (!returned && std::uncaught_exceptions() == exceptions) platform::sleep_for_good();
        }
    } guard;
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        guard.returned = true;
    } else {
        decltype(auto) result = call();
        guard.returned = true;
        return result;
    }
}

/// Runs `work()` with the interpreter lock released and returns its result; the
/// lock is held again when this returns or throws. `work` must not touch Python
/// objects.
///
/// The lock is taken back in the normal flow, never in a destructor, and a thread
/// that the exiting interpreter ends there is parked (see parking_if_ended): no
/// unwind ever leaves this function. An exception from `work` is held until the
/// lock is back, and thrown only then.
template <class Work>
decltype(auto) without_gil(Work&& work) {
    using Result = decltype(work());
    PyThreadState* const state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    try {
        if constexpr (std::is_void_v<Result>) {
            work();
        } else {
            result.emplace(work());
        }
    } catch (...) {
        failure = std::current_exception();
    }
    parking_if_ended([state] { PyEval_RestoreThread(state); });
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace zorv::py
