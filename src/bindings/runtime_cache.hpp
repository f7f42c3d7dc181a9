#pragma once
/// @file
/// Python objects kept from one call to the next (the module object, the class
/// objects, the PanicException type) belong to the interpreter runtime that made
/// them. A program that embeds Python may finalise the runtime (Py_FinalizeEx) and
/// initialise a new one in the same process; the old objects are dead by then and
/// must never be handed out again. A `RuntimeCache` holds such an object for the
/// runtime that stored it only: once that runtime has ended, it reads as empty.
/// The old object is forgotten, not released: its runtime is gone.

#include <atomic>
#include <cstdint>

namespace zorv::py {

/// How many interpreter runtimes that imported zorv have been finalised so far
/// (counted by the module's exit function). Read on every call that needs a class
/// object, so it is inline.
inline std::atomic<std::uint64_t> runtimes_ended{0};

inline std::uint64_t ended_runtimes() noexcept { return runtimes_ended.load(std::memory_order_relaxed); }

/// Asks to be told when the current runtime ends (once per runtime); call with the
/// interpreter lock held before any cache is filled. Throws ImportError when the
/// interpreter cannot take another exit function.
void watch_runtime_end();

template <class T>
class RuntimeCache {
public:
    /// The object stored in the current runtime, or null.
    T* get() const noexcept { return runtime_ == ended_runtimes() ? object_ : nullptr; }
    /// Stores `object` (the caller's strong reference, kept until the runtime ends).
    void set(T* object) noexcept {
        object_ = object;
        runtime_ = ended_runtimes();
    }

private:
    T* object_ = nullptr;
    std::uint64_t runtime_ = 0;
};

}  // namespace zorv::py
