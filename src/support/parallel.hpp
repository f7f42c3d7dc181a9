#pragma once
/// @file
/// Batch scheduling: the process-wide worker pool, the batch-size threshold and the
/// split of a batch into chunks.
///
/// This is the only code that starts threads. The pool's worker threads are started
/// when the pool is created, on the creating thread, so a failure to start one is
/// reported there (as a stop) instead of aborting the process from a thread nobody
/// can catch it on. The thread that runs a batch takes part in the work and returns
/// only when every index has been processed.

#include <cstddef>
#include <functional>
#include <memory>

namespace zorv {

/// Batches of this many items or more run on the worker pool; smaller batches
/// run on the calling thread.
inline constexpr std::size_t kParallelThreshold = 2048;

/// A contiguous range [begin, end) of indices handed to one task.
using RangeBody = std::function<void(std::size_t begin, std::size_t end)>;

/// @brief What the calling thread of a batch does with the results while the rest
/// of the batch is still being computed.
///
/// `take` is called on the calling thread with every finished range, in index
/// order, each index exactly once; everything the calling thread computes or waits
/// for runs inside `unlocked` (a caller holding a lock that other threads need
/// releases it there, and takes it back before `unlocked` returns). `take` may
/// throw: the batch is then abandoned, and the exception passes on once no other
/// thread works on it any more (waited for inside `unlocked` too).
struct InOrder {
    RangeBody take;
    std::function<void(const std::function<void()>& work)> unlocked;
};

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

/// @brief Items per chunk when `count` items are split for a pool of `pool_size`
/// threads: about 32 chunks per thread, so that a thread delayed by the machine
/// does not hold the batch up and the threads finish close together, but never
/// chunks so small that handing them out costs more than computing them. Always >= 1.
std::size_t chunk_size_for(std::size_t count, std::size_t pool_size) noexcept;

/// @brief A fixed group of worker threads; the thread that calls `run` is one more.
///
/// All size() - 1 workers are started by the constructor, with every asynchronous
/// signal blocked (signals for the process go to the program's own threads) and no
/// synchronous one (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, so that crash
/// handlers see a fault on a worker); the constructing thread's mask is left as it
/// was (Windows has no signal masks). An idle worker may watch for the next job for a moment, one at a time and
/// only while the pool has no more threads than processors. A call wakes no more
/// workers than the processors can run alongside it, and more only once one of its
/// chunks has run long. Several threads may call `run` at the same time; each
/// call's chunks are handed to whichever threads are free. Each task runs under the floating-point mode (rounding, flush-to-zero,
/// denormals-are-zero) of the thread that called `run`.
class WorkerPool {
public:
    /// @param size total concurrency including the calling thread, >= 1.
    /// @throws Stop "The global thread pool has not been initialized.: <reason>"
    ///         when the size is unusable or a worker thread cannot be started (the
    ///         workers already started are stopped again).
    explicit WorkerPool(std::size_t size);
    /// Stops and joins the workers; no `run` may be in progress.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    /// The concurrency the pool was created with.
    std::size_t size() const noexcept;

    /// How many workers the pool's calls have asked for so far: at the start of a call,
    /// and later because one of its chunks ran long. The decisions, not the threads
    /// that happened to arrive, so that tests can check the rule on a loaded machine.
    struct WorkersCalled {
        std::size_t at_start = 0;
        std::size_t later = 0;
    };
    WorkersCalled workers_called() const noexcept;

    /// @brief Calls `body` on the chunks [0, chunk), [chunk, 2 chunk), ... that cover
    /// [0, count), each exactly once, on the pool's workers and the calling thread;
    /// returns when all chunks are done. The calling thread works through the
    /// chunks itself, so the batch completes even if no worker is ever free, and it
    /// never waits for a worker that has not claimed a chunk.
    ///
    /// With `in_order`, each finished chunk is handed to `in_order->take` in index
    /// order as soon as it and every chunk before it are done.
    ///
    /// At most `threads` threads work on the call, the caller included (0: as many
    /// as the pool has).
    ///
    /// `body` must not throw: check every precondition before the parallel part.
    void run(std::size_t count, std::size_t chunk, const RangeBody& body, const InOrder* in_order = nullptr,
             std::size_t threads = 0);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// @brief The process-wide pool, created on the first call with the size given by
/// RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS / the available processors.
///
/// Creation is thread-safe; the pool is never destroyed. When creation fails, every
/// later call fails the same way without trying again. A child process made by
/// fork() gets a pool of its own on its first call (the parent's workers do not
/// exist in the child), even when another thread of the parent was creating the
/// pool at the moment of the fork.
/// @throws Stop "The global thread pool has not been initialized.: <reason>".
WorkerPool& global_pool();

/// @brief Makes global_pool() return `owner()` from now on; nullptr undoes it.
///
/// The calls made on the returned pool are this copy's code: `owner` must return a
/// pool built from the same sources by the same compiler (see borrow_pool).
void delegate_global_pool(WorkerPool& (*owner)()) noexcept;

/// @brief What one copy of this library lends to another copy loaded into the same
/// process (each extension module links a copy of its own), so that the process
/// keeps a single set of worker threads.
///
/// The borrower runs its own copy of the pool's code on the lender's pool object,
/// which is sound only between identical builds: `build` says which build lent it.
/// The struct's own layout is fixed: a change to it needs a new kPoolLoanName.
struct PoolLoan {
    const char* build;      ///< pool_build() of the lender
    WorkerPool& (*pool)();  ///< the lender's global_pool()
};

/// The name under which the lending module publishes its PoolLoan for the others
/// (the Python modules: a capsule of this name, under this key of the interpreter's
/// state dictionary). The version is the struct's.
inline constexpr const char* kPoolLoanName = "zorv._worker_pool_v1";

/// @brief Identifies this copy's pool: a digest of the sources that define it (given
/// by the build system), the compiler, and the container mode of the C++ library.
const char* pool_build() noexcept;

/// @brief This copy's loan of its global_pool(), valid for the life of the process.
const PoolLoan& pool_loan() noexcept;

/// @brief Makes global_pool() return the lender's pool from now on (as
/// delegate_global_pool) when `loan` comes from an identical build, that is when its
/// `build` equals pool_build(); otherwise changes nothing and this copy keeps a pool
/// of its own. Call before the first batch.
/// @returns whether the loan was taken.
bool borrow_pool(const PoolLoan& loan) noexcept;

/// @brief While it lives, the batches that the constructing thread runs use at most
/// `threads` threads of the pool, that thread included, as a caller's `workers=` asks:
/// a count from 1 on (more than the pool has means all of it), a negative count from
/// the pool's size down (-1 all of it, -2 all but one, never fewer than one), or 0 for
/// no limit. A limit made inside another restores the outer one when it ends. What a
/// batch computes never depends on how many threads it ran on.
class ThreadLimit {
public:
    explicit ThreadLimit(std::ptrdiff_t threads) noexcept;
    ~ThreadLimit();
    ThreadLimit(const ThreadLimit&) = delete;
    ThreadLimit& operator=(const ThreadLimit&) = delete;

private:
    std::ptrdiff_t previous_;
};

/// @brief The one way a batch is run: calls `body` on ranges that together cover
/// [0, count) exactly once and returns when all are done.
///
/// Fewer than kParallelThreshold items run as a single range on the calling
/// thread. From kParallelThreshold on, the batch is split by chunk_size_for() and
/// run on the process-wide pool, the calling thread taking part, every range under
/// the calling thread's floating-point mode, on no more threads than the calling
/// thread's ThreadLimit allows (a limit of one thread runs it as one range).
///
/// With `in_order` (see InOrder), the finished ranges are also handed to
/// `in_order->take` in index order on the calling thread, overlapping with the
/// computation of the later ones; a batch below the threshold is computed inside
/// `in_order->unlocked` and then taken as one range.
/// @throws Stop as global_pool() does, before `body` is ever called.
void batch_for(std::size_t count, const RangeBody& body, const InOrder* in_order = nullptr);

}  // namespace zorv
