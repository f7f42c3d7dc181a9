#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>

namespace zorv::detail {

/// Which chunks of a job are done, for a caller that takes them in index order and
/// sleeps while the chunk it needs next is being run by another thread.
///
/// The sleep is on a condition variable of the job's own rather than on the flag
/// (std::atomic::wait): the waiters of that go through a table private to each copy
/// of this library, and a second module's copy that shares the pool would never
/// hear the first copy's workers.
///
/// The condition variable is a parameter only so that a test can stretch the moment
/// between the caller's last look at the flag and its sleep, and, where it has a static
/// `between_mark_steps()`, the moment between the two steps of `mark`.
template <class ConditionVariable = std::condition_variable>
class BasicChunksDone {
public:
    explicit BasicChunksDone(std::size_t chunks) : done_(std::make_unique<std::atomic<bool>[]>(chunks)) {}

    bool is_done(std::size_t c) const noexcept { return done_[c].load(std::memory_order_acquire); }

    /// Marks chunk c done (its results visible to the caller) and wakes the caller
    /// if it sleeps for it.
    void mark(std::size_t c) noexcept {
        // Sequentially consistent on both sides: either the caller sees the chunk
        // done before it sleeps, or this thread sees that the caller waits for it.
        done_[c].store(true, std::memory_order_seq_cst);
        if constexpr (requires { ConditionVariable::between_mark_steps(); }) ConditionVariable::between_mark_steps();
        if (awaited_.load(std::memory_order_seq_cst) != c) return;
        {
            // The caller holds the mutex from announcing the wait until it sleeps:
            // a notify sent before it sleeps would be lost.
            const std::lock_guard lock(mutex_);
        }
        finished_.notify_one();
    }

    /// Sleeps until chunk c is done.
    void wait_for(std::size_t c) noexcept {
        std::unique_lock lock(mutex_);
        awaited_.store(c, std::memory_order_seq_cst);
        finished_.wait(lock, [&] { return done_[c].load(std::memory_order_seq_cst); });
        awaited_.store(kNoChunk, std::memory_order_relaxed);
    }

private:
    static constexpr std::size_t kNoChunk = std::numeric_limits<std::size_t>::max();
    std::unique_ptr<std::atomic<bool>[]> done_;
    std::atomic<std::size_t> awaited_{kNoChunk};  ///< the chunk the caller sleeps for
    std::mutex mutex_;
    ConditionVariable finished_;
};

using ChunksDone = BasicChunksDone<>;

}  // namespace zorv::detail
