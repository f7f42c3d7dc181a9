#pragma once
/// @file
/// What a call must undo on every path: instance holds (RAII guards) and the
/// released interpreter lock (`without_gil`). (The buffer view is owned by
/// FloatBuffer, convert.hpp.)

#include "bindings/errors.hpp"

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace zorv::py {

/// Borrow state of an instance: 0 free, n > 0 shared holds, -1 one exclusive hold.
using HoldCounter = std::atomic<std::intptr_t>;

/// A shared hold for a method that only reads the instance. Refuses at once
/// (RuntimeError "Already mutably borrowed") while an exclusive hold exists.
class SharedHold {
public:
    explicit SharedHold(HoldCounter& counter) : counter_(counter) {
        std::intptr_t current = counter_.load(std::memory_order_relaxed);
        do {
            if (current == -1) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!counter_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
    }
    ~SharedHold() { counter_.fetch_sub(1, std::memory_order_release); }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    HoldCounter& counter_;
};

/// An exclusive hold for a method that changes the instance. Refuses at once
/// (RuntimeError "Already borrowed") while any other hold exists.
class ExclusiveHold {
public:
    explicit ExclusiveHold(HoldCounter& counter) : counter_(counter) {
        std::intptr_t expected = 0;
        if (!counter_.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
            throw_error(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ~ExclusiveHold() { counter_.store(0, std::memory_order_release); }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    HoldCounter& counter_;
};

/// Runs `work()` with the interpreter lock released and returns its result; the
/// lock is held again when this returns or throws. `work` must not touch Python
/// objects.
///
/// The lock is taken back in the normal flow, never in a destructor: when the
/// interpreter is finalising, taking it back ends a daemon thread by unwinding its
/// stack, which must be able to pass through here (the frames above then drop no
/// Python reference: see may_touch_python). An exception from `work` is held until
/// the lock is back, so that no such unwind can start while another exception is in
/// flight. (`work` runs no Python code, so that unwind never starts inside it.)
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
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace zorv::py
