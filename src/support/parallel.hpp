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

/// @brief Runs `body` over [0, count) on the process-wide pool (see WorkerPool::run).
void parallel_for(std::size_t count, const RangeBody& body);

/// @brief Runs `body` over [0, count): as a single range on the calling thread when
/// count < kParallelThreshold, otherwise through parallel_for.
void batch_for(std::size_t count, const RangeBody& body);

}  // namespace zorv
