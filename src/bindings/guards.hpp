#pragma once
/// @file
/// What a call must undo on every path: instance holds (RAII guards) and the
/// released interpreter lock (`without_gil`, released_lock.hpp). (The buffer view is owned by
/// FloatBuffer, convert.hpp.)

#include "bindings/errors.hpp"
#include "interpreter/released_lock.hpp"

#include <atomic>
#include <cstdint>

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

}  // namespace zorv::py
