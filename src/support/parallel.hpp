#pragma once
/// @file
/// The process-wide worker pool and the batch-size threshold.
///
/// This is the only part of the code base that sees the threading library. The
/// pool is created on first use and lives until the process ends; its worker
/// threads are the only threads the library starts. The calling thread takes part
/// in the work and returns only when every index has been processed.

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace zorv {

/// Batches of this many items or more run on the worker pool; smaller batches
/// run on the calling thread.
inline constexpr std::size_t kParallelThreshold = 2048;

/// A contiguous range [begin, end) of indices handed to one task.
using RangeBody = std::function<void(std::size_t begin, std::size_t end)>;

/// @brief The pool size that the environment asks for.
///
/// A value is a decimal count: an optional '+' followed by ASCII digits only,
/// fitting a machine word. Rules, first match wins:
///   - `rayon_num_threads` is a count >= 1: that count;
///   - `rayon_num_threads` is a count equal to 0: `available_processors`;
///   - `rayon_rs_num_cpus` is a count >= 1: that count;
///   - otherwise `available_processors`.
/// @param rayon_num_threads   value of RAYON_NUM_THREADS, or nullptr when unset.
/// @param rayon_rs_num_cpus   value of RAYON_RS_NUM_CPUS, or nullptr when unset.
/// @param available_processors processors usable by the process; 0 means unknown.
/// @returns the pool size, always >= 1 (an unknown processor count counts as 1).
std::size_t pool_size_from_environment(const char* rayon_num_threads,
                                       const char* rayon_rs_num_cpus,
                                       std::size_t available_processors);

/// @brief Processors the calling thread may run on (its affinity mask), or 1
/// when that cannot be determined.
std::size_t available_processors();

/// @brief A fixed-size group of worker threads plus the calling thread.
///
/// Threads are started lazily by the threading library when work arrives. A pool
/// larger than the machine's processor count is honoured (the library's global
/// parallelism limit is raised for the pool's lifetime).
class WorkerPool {
public:
    /// @param size total concurrency including the calling thread, >= 1.
    /// @throws Stop "The global thread pool has not been initialized.: <reason>"
    ///         when the threading library refuses to create the pool.
    explicit WorkerPool(std::size_t size);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// The concurrency the pool was created with.
    std::size_t size() const noexcept;

    /// @brief Calls `body` on disjoint ranges that together cover [0, count)
    /// exactly once, on the pool's threads and the calling thread; returns when
    /// all ranges are done.
    ///
    /// `body` must not throw: check every precondition before the parallel part.
    void run(std::size_t count, const RangeBody& body);

    /// @brief Runs `task` once on each of the pool's worker threads (size() - 1 of
    /// them), in the background: returns at once. `task` must not throw, and must
    /// not depend on ever being run (a process may forbid the worker threads).
    void start_on_workers(const std::function<void()>& task);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// @brief The process-wide pool, created on the first call with the size given by
/// RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS / the available processors.
///
/// Creation is thread-safe; the pool is never destroyed.
/// @throws Stop "The global thread pool has not been initialized.: <reason>"
///         when it cannot be created (a later call tries again).
WorkerPool& global_pool();

/// @brief Production of [0, count) in chunks on the process-wide pool, consumed in
/// order by the calling thread while the rest is still being produced.
///
/// The constructor starts the pool's worker threads on the chunks and returns at
/// once. The consumer asks whether chunk c is `ready`, or `wait`s for it; a waiting
/// thread produces unclaimed chunks itself, so progress never depends on the
/// workers actually running. Each chunk is produced exactly once, by one thread.
/// The destructor returns only when every chunk is produced, so `produce` may use
/// the caller's stack. `produce` must not throw.
class BatchStream {
public:
    /// @param count       items in total.
    /// @param chunk_size  items per chunk (the last may be shorter), >= 1.
    /// @param produce     called with [begin, end) of one chunk.
    /// @throws Stop as global_pool() does.
    BatchStream(std::size_t count, std::size_t chunk_size, const RangeBody& produce);
    ~BatchStream();
    BatchStream(const BatchStream&) = delete;
    BatchStream& operator=(const BatchStream&) = delete;

    std::size_t chunk_count() const noexcept;
    /// [begin, end) of chunk c.
    std::pair<std::size_t, std::size_t> chunk_range(std::size_t c) const noexcept;
    /// Whether chunk c has been produced (its items are visible to the caller).
    bool ready(std::size_t c) const noexcept;
    /// Returns once chunk c has been produced, producing unclaimed chunks meanwhile.
    void wait(std::size_t c) noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;  // shared with tasks that may start after we are gone
};

/// @brief Runs `body` over [0, count) on the process-wide pool (see WorkerPool::run).
void parallel_for(std::size_t count, const RangeBody& body);

/// @brief Runs `body` over [0, count): as a single range on the calling thread when
/// count < kParallelThreshold, otherwise through parallel_for.
void batch_for(std::size_t count, const RangeBody& body);

}  // namespace zorv
