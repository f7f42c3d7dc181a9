#include "support/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "support/chunks_done.hpp"
#include "support/platform.hpp"
#include "support/stop.hpp"

namespace zorv {
namespace {

constexpr const char* kPoolNotInitialized = "The global thread pool has not been initialized.";

/// An optional '+' then one or more ASCII digits, the whole fitting a size_t.
/// Anything else (empty, a sign '-', spaces, overflow) is not a count.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    const char* cursor = text;
    if (*cursor == '+') ++cursor;
    if (*cursor == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *cursor != '\0'; ++cursor) {
        if (*cursor < '0' || *cursor > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(*cursor - '0');
        if (__builtin_mul_overflow(value, std::size_t{10}, &value) ||
            __builtin_add_overflow(value, digit, &value)) {
            return std::nullopt;
        }
    }
    return value;
}

constexpr std::size_t ceil_div(std::size_t a, std::size_t b) noexcept { return a / b + (a % b != 0 ? 1 : 0); }

[[noreturn]] void stop_not_initialized(const std::string& reason) {
    stop(std::string(kPoolNotInitialized) + ": " + reason);
}

/// The floating-point mode of a thread: rounding direction, exception masks and,
/// on x86, the SSE flush-to-zero and denormals-are-zero bits (kept in MXCSR, which
/// the C library's environment does not always cover).
class FloatingPointMode {
public:
    static FloatingPointMode current() noexcept {
        FloatingPointMode mode;
        std::fegetenv(&mode.environment_);
#if defined(__x86_64__) || defined(__i386__)
        mode.mxcsr_ = _mm_getcsr();
#endif
        return mode;
    }
    void apply() const noexcept {
        std::fesetenv(&environment_);
#if defined(__x86_64__) || defined(__i386__)
        _mm_setcsr(mxcsr_);
#endif
    }

private:
    std::fenv_t environment_{};
#if defined(__x86_64__) || defined(__i386__)
    unsigned mxcsr_ = 0;
#endif
};

/// The longest an idle worker watches for the next batch before it goes to sleep.
constexpr std::chrono::microseconds kWatchBeforeSleeping{100};

/// A chunk that ran this long shows a job long enough that waking one more worker
/// (tens of microseconds) costs little against it.
constexpr std::chrono::microseconds kLongChunk{500};

/// How long a caller watches for a chunk that a worker is running (or for the worker
/// to leave) before it goes to sleep: about twice as long as its own last chunk took,
/// within these bounds. A chunk runs for microseconds, and a sleep with its wake-up
/// costs about ten of them, more on a loaded machine, a good part of a short call; but a
/// worker that was preempted may not be back for milliseconds, and watching for it
/// then only burns a processor.
constexpr std::chrono::microseconds kShortestWatchForAChunk{5};
constexpr std::chrono::microseconds kLongestWatchForAChunk{50};

/// A hint to the processor that this thread is spinning.
inline void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

/// One call of WorkerPool::run: its chunks are claimed one at a time, in index
/// order, by the threads taking part. It lives on the stack of the thread that
/// called run.
struct Job {
    const RangeBody* body;
    std::size_t count;
    std::size_t chunk;
    std::size_t chunks;
    FloatingPointMode mode;              ///< the caller's, applied by every worker
    std::atomic<std::size_t> next{0};    ///< the next unclaimed chunk
    std::size_t helpers;                 ///< workers it may take: min(workers, chunks - 1, its thread limit - 1)
    std::mutex& pool_mutex;
    std::condition_variable& work_available;  ///< the pool's; its workers wait there
    std::size_t& workers_called_later;        ///< the pool's count; guarded by its mutex
    /// Workers working on it: changed under the pool's mutex, and read without it by a
    /// caller that watches its last worker leave (the leaving worker's writes are
    /// visible to the caller once it reads 0).
    std::atomic<std::size_t> workers_inside{0};
    std::size_t workers_called = 0;      ///< workers woken or watching for it; guarded likewise
    /// workers_called < helpers: read without the mutex, so that a job that called all
    /// its helpers does not time its chunks.
    std::atomic<bool> may_call_more{false};
    /// Only for a caller that takes the chunks in order.
    std::unique_ptr<detail::ChunksDone> done{};
    /// How long the caller watches for a worker's chunk or for its workers to leave
    /// (see kLongestWatchForAChunk); only the caller uses it.
    std::chrono::steady_clock::duration watch{kLongestWatchForAChunk};

    /// Claims the next chunk and runs it on the caller, timing it for `watch`.
    bool caller_works_one() noexcept {
        const auto start = std::chrono::steady_clock::now();
        if (!work_one()) return false;
        watch = std::clamp<std::chrono::steady_clock::duration>(2 * (std::chrono::steady_clock::now() - start),
                                                                kShortestWatchForAChunk, kLongestWatchForAChunk);
        return true;
    }

    std::size_t begin_of(std::size_t c) const noexcept { return c * chunk; }
    /// begin_of(c) < count for every chunk, so count - begin cannot wrap (and
    /// begin + chunk could, for a count near SIZE_MAX).
    std::size_t end_of(std::size_t c) const noexcept { return begin_of(c) + std::min(chunk, count - begin_of(c)); }

    /// Claims the next chunk and runs it; false when every chunk is claimed.
    bool work_one() noexcept {
        const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
        if (c >= chunks) return false;
        if (may_call_more.load(std::memory_order_relaxed)) {
            const auto start = std::chrono::steady_clock::now();
            (*body)(begin_of(c), end_of(c));
            if (std::chrono::steady_clock::now() - start >= kLongChunk) call_one_more();
        } else {
            (*body)(begin_of(c), end_of(c));
        }
        if (done) done->mark(c);
        return true;
    }

    /// Wakes one more worker for this job while it has chunks for one more thread.
    ///
    /// A pool with more threads than processors wakes only as many workers as there
    /// are processors: for short jobs the others could only take turns with them, and
    /// waking each costs more than it brings. A thread that finds a chunk ran long
    /// (its chunks block, or other programs share the processors) calls one more.
    void call_one_more() noexcept {
        {
            const std::lock_guard lock(pool_mutex);
            if (workers_called == helpers || next.load(std::memory_order_relaxed) + 1 >= chunks) return;
            ++workers_called;
            ++workers_called_later;
            may_call_more.store(workers_called < helpers, std::memory_order_relaxed);
        }
        work_available.notify_one();
    }

    /// Claims and runs chunks until none is left.
    void work() noexcept {
        while (work_one()) {
        }
    }

    bool is_done(std::size_t c) const noexcept { return done->is_done(c); }

    /// Returns once chunk c is done, running unclaimed chunks meanwhile. Chunks are
    /// claimed in ascending order, so once none is left to claim, chunk c is being
    /// run by another thread, which will signal it: it is watched for a moment before
    /// the caller sleeps.
    void work_until_done(std::size_t c) noexcept {
        while (!is_done(c)) {
            if (caller_works_one()) continue;
            const auto until = std::chrono::steady_clock::now() + watch;
            while (!is_done(c) && std::chrono::steady_clock::now() < until) {
                for (int spin = 0; spin < 16 && !is_done(c); ++spin) pause();
            }
            if (!is_done(c)) done->wait_for(c);
        }
    }
};

}  // namespace

std::size_t pool_size_from_environment(const char* rayon_num_threads,
                                       const char* rayon_rs_num_cpus,
                                       std::size_t available_processors) {
    const std::size_t fallback = available_processors == 0 ? 1 : available_processors;
    if (const auto threads = parse_count(rayon_num_threads)) {
        return *threads == 0 ? fallback : *threads;
    }
    if (const auto cpus = parse_count(rayon_rs_num_cpus); cpus && *cpus > 0) {
        return *cpus;
    }
    return fallback;
}

std::size_t available_processors() {
    std::size_t count = platform::affinity_processor_count();
    if (count == 0) count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

struct WorkerPool::Impl {
    std::size_t size;
    /// Workers that run() wakes itself: one fewer than the processors (the caller
    /// is one more); the others are called by Job::call_one_more.
    std::size_t woken_at_once;
    /// Whether an idle worker may watch for the next job: not when the pool has more
    /// threads than processors, where a spinning thread takes a processor from one
    /// that has work.
    bool may_watch;
    std::mutex mutex;
    std::condition_variable work_available;  ///< workers wait here for jobs
    std::condition_variable worker_left;     ///< callers wait here for their job's workers
    std::vector<Job*> jobs;                  ///< jobs with chunks left to claim, oldest first
    std::atomic<std::size_t> offered{0};     ///< jobs.size(), readable without the mutex
    bool watching = false;                   ///< a worker watches for jobs (at most one)
    bool watcher_counted = false;            ///< a job offered meanwhile counts on the watcher
    bool watch_pays = true;                  ///< the last watch found a job, or would have
    bool stopping = false;
    WorkerPool::WorkersCalled called;        ///< guarded by the mutex
    std::vector<std::thread> workers;

    void worker_loop() noexcept {
        const FloatingPointMode own_mode = FloatingPointMode::current();
        std::chrono::steady_clock::duration busy{};  // how long the last job kept this worker
        std::unique_lock lock(mutex);
        for (;;) {
            Job* offer = job_with_room();
            if (offer == nullptr && !stopping) {
                wait_for_job(lock, std::min<std::chrono::steady_clock::duration>(busy, kWatchBeforeSleeping));
                offer = job_with_room();
            }
            if (stopping) return;
            Job& job = *offer;
            ++job.workers_inside;
            lock.unlock();
            const auto start = std::chrono::steady_clock::now();
            job.mode.apply();
            job.work();
            own_mode.apply();
            busy = std::chrono::steady_clock::now() - start;
            lock.lock();
            // Every chunk is claimed: stop offering the job, and let its caller
            // return once no worker is inside any more.
            withdraw(job);
            if (--job.workers_inside == 0) worker_left.notify_all();
        }
    }

    /// The oldest offered job that takes one more worker: a job runs on at most
    /// `helpers` workers besides its caller (fewer than the pool has when its caller
    /// limits its threads). Mutex held.
    Job* job_with_room() const noexcept {
        const auto open = std::find_if(jobs.begin(), jobs.end(), [](const Job* job) { return job->workers_inside < job->helpers; });
        return open == jobs.end() ? nullptr : *open;
    }

    /// Returns with a job that has room offered, or the pool stopping (mutex held on
    /// entry and exit).
    ///
    /// Batches often come in quick succession, and waking a sleeping thread costs
    /// tens of microseconds, a good part of a small batch: one idle worker at a time
    /// watches for the next job for at most `watch` (no longer than its last job kept
    /// it busy, so that the watch never costs more than the work) before it sleeps.
    /// Watching burns a processor, so it stops once a watch found nothing, and starts
    /// again when a job comes soon enough after the previous one that a watch would
    /// have caught it.
    void wait_for_job(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::duration watch) noexcept {
        const auto idle_since = std::chrono::steady_clock::now();
        if (may_watch && watch_pays && !watching) {
            watching = true;
            lock.unlock();
            const auto until = idle_since + watch;
            while (offered.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < until) {
                pause();
            }
            lock.lock();
            watching = false;
            watcher_counted = false;
            if (job_with_room() != nullptr || stopping) return;
            watch_pays = false;
        }
        work_available.wait(lock, [&] { return stopping || job_with_room() != nullptr; });
        if (may_watch && std::chrono::steady_clock::now() - idle_since < watch) watch_pays = true;
    }

    /// Removes `job` from the offered jobs if it is still there (mutex held).
    void withdraw(Job& job) noexcept {
        const auto at = std::find(jobs.begin(), jobs.end(), &job);
        if (at != jobs.end()) jobs.erase(at);
        offered.store(jobs.size(), std::memory_order_relaxed);
    }

    void stop_workers() noexcept {
        {
            const std::lock_guard lock(mutex);
            stopping = true;
        }
        work_available.notify_all();
        for (std::thread& worker : workers) worker.join();
        workers.clear();
    }
};

WorkerPool::WorkerPool(std::size_t size) : impl_(std::make_unique<Impl>()) {
    if (size == 0 || size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        stop_not_initialized("unsupported pool size " + std::to_string(size));
    }
    const std::size_t processors = available_processors();
    impl_->size = size;
    impl_->woken_at_once = std::max<std::size_t>(1, std::min(size, processors) - 1);
    impl_->may_watch = size <= processors;
    const platform::AsynchronousSignalsBlocked inherited_by_workers;
    try {
        impl_->workers.reserve(size - 1);
        for (std::size_t i = 1; i < size; ++i) {
            impl_->workers.emplace_back([impl = impl_.get()] { impl->worker_loop(); });
        }
    } catch (const std::system_error& error) {
        const std::size_t started = impl_->workers.size();
        impl_->stop_workers();
        stop_not_initialized("could not start worker thread " + std::to_string(started + 1) + " of " +
                             std::to_string(size - 1) + ": " + error.code().message());
    } catch (const std::bad_alloc&) {
        impl_->stop_workers();
        throw;
    }
}

WorkerPool::~WorkerPool() { impl_->stop_workers(); }

std::size_t WorkerPool::size() const noexcept { return impl_->size; }

WorkerPool::WorkersCalled WorkerPool::workers_called() const noexcept {
    const std::lock_guard lock(impl_->mutex);
    return impl_->called;
}

void WorkerPool::run(std::size_t count, std::size_t chunk, const RangeBody& body, const InOrder* in_order,
                     std::size_t threads) {
    if (count == 0) return;
    if (chunk == 0) chunk = 1;
    Impl& impl = *impl_;
    const std::size_t chunks = ceil_div(count, chunk);
    const std::size_t helpers_allowed = threads == 0 ? impl.workers.size() : std::min(impl.workers.size(), threads - 1);
    Job job{&body,
            count,
            chunk,
            chunks,
            FloatingPointMode::current(),
            {},
            std::min(helpers_allowed, chunks - 1),
            impl.mutex,
            impl.work_available,
            impl.called.later};
    if (in_order != nullptr) job.done = std::make_unique<detail::ChunksDone>(job.chunks);
    if (job.helpers != 0) {
        std::size_t wake = 0;
        {
            const std::lock_guard lock(impl.mutex);
            impl.jobs.push_back(&job);
            impl.offered.store(impl.jobs.size(), std::memory_order_relaxed);
            // A watching worker will find the job without being woken (but only one
            // job can count on it).
            const bool watcher_comes = impl.watching && !impl.watcher_counted;
            impl.watcher_counted = impl.watcher_counted || watcher_comes;
            job.workers_called = std::min(job.helpers, impl.woken_at_once);
            impl.called.at_start += job.workers_called;
            wake = job.workers_called - (watcher_comes ? 1 : 0);
            job.may_call_more.store(job.workers_called < job.helpers, std::memory_order_relaxed);
        }
        if (wake == impl.workers.size()) {
            impl.work_available.notify_all();
        } else {
            for (std::size_t i = 0; i < wake; ++i) impl.work_available.notify_one();
        }
    }

    // On every way out (`take` may throw, and a thread may be ended by unwinding
    // inside `unlocked`), the job must be left by every worker before its frame
    // goes: the rest is abandoned, and the workers that are inside finish their
    // chunk and leave (under the mutex, which also makes their results visible).
    struct Leave {
        Impl& impl;
        Job& job;
        bool offered;
        /// Abandons the rest of the job; true while a worker is still inside.
        bool abandon() noexcept {
            job.next.store(job.chunks, std::memory_order_relaxed);
            if (!offered) return false;
            const std::lock_guard lock(impl.mutex);
            impl.withdraw(job);
            return job.workers_inside != 0;
        }
        /// A worker still inside is finishing its last chunk or on its way out: it is
        /// watched for a moment before the caller sleeps.
        void wait() noexcept {
            const auto until = std::chrono::steady_clock::now() + job.watch;
            while (job.workers_inside.load() != 0 && std::chrono::steady_clock::now() < until) {
                for (int spin = 0; spin < 16; ++spin) pause();
            }
            std::unique_lock lock(impl.mutex);
            impl.worker_left.wait(lock, [&] { return job.workers_inside.load() == 0; });
        }
        ~Leave() {
            if (abandon()) wait();
        }
    } leave{impl, job, job.helpers != 0};

    if (in_order == nullptr) {
        while (job.caller_works_one()) {
        }
        return;
    }
    for (std::size_t c = 0; c < job.chunks; ++c) {
        if (!job.is_done(c)) in_order->unlocked([&] { job.work_until_done(c); });
        try {
            in_order->take(job.begin_of(c), job.end_of(c));
        } catch (...) {
            // `take` runs with the caller's lock held: the workers still inside are
            // waited for with it released.
            if (leave.abandon()) in_order->unlocked([&] { leave.wait(); });
            throw;
        }
    }
}

namespace {

/// The pool of this process, or why it could not be created.
struct ProcessPool {
    WorkerPool* pool;     ///< never destroyed: see global_pool()
    std::string failure;  ///< the stop message when pool is null
};

std::atomic<ProcessPool*> process_pool{nullptr};
std::mutex process_pool_creation;
std::atomic<WorkerPool& (*)()> pool_owner{nullptr};

/// In a child made by fork(), only the thread that forked exists: the parent's
/// workers are gone, and another thread of the parent may have held the creation
/// mutex at that moment. The child forgets both (they are left as they are, never
/// destroyed) and creates a pool of its own on first use. Only constant
/// initialisation happens here, which is safe in a child of a threaded process.
void forget_the_parents_pool() noexcept {
    process_pool.store(nullptr, std::memory_order_relaxed);
    new (&process_pool_creation) std::mutex;
}

// Registered when the library is loaded, before any thread can create the pool.
// Registration fails only without memory for the handler, at load time.
[[maybe_unused]] const bool fork_handler_registered = platform::run_in_child_after_fork(&forget_the_parents_pool);

}  // namespace

void delegate_global_pool(WorkerPool& (*owner)()) noexcept { pool_owner.store(owner, std::memory_order_release); }

// The build system defines the digest of the pool's sources; a build without it
// identifies itself by the compiler alone.
#ifndef ZORV_POOL_SOURCE_DIGEST
#define ZORV_POOL_SOURCE_DIGEST "sources unknown"
#endif
#if defined(_GLIBCXX_DEBUG) || defined(_LIBCPP_ENABLE_DEBUG_MODE)
#define ZORV_CONTAINER_MODE " debug containers"
#else
#define ZORV_CONTAINER_MODE ""
#endif

constexpr char kPoolBuild[] = ZORV_POOL_SOURCE_DIGEST " " __VERSION__ ZORV_CONTAINER_MODE;

const char* pool_build() noexcept { return kPoolBuild; }

const PoolLoan& pool_loan() noexcept {
    static constexpr PoolLoan loan{kPoolBuild, &global_pool};
    return loan;
}

bool borrow_pool(const PoolLoan& loan) noexcept {
    if (loan.build == nullptr || loan.pool == nullptr || std::strcmp(loan.build, kPoolBuild) != 0) return false;
    // This copy's own pool needs no delegation (and delegating to it would recurse).
    if (loan.pool != &global_pool) delegate_global_pool(loan.pool);
    return true;
}

WorkerPool& global_pool() {
    if (WorkerPool& (*owner)() = pool_owner.load(std::memory_order_acquire)) return owner();
    // The pool lives until the process ends: its workers must not be joined while
    // the process (or an interpreter hosting it) shuts down.
    ProcessPool* record = process_pool.load(std::memory_order_acquire);
    if (record == nullptr) {
        const std::lock_guard lock(process_pool_creation);
        record = process_pool.load(std::memory_order_acquire);
        if (record == nullptr) {
            auto fresh = std::make_unique<ProcessPool>(ProcessPool{nullptr, {}});
            try {
                fresh->pool = new WorkerPool(pool_size_from_environment(
                    std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors()));
            } catch (const Stop& failure) {
                fresh->failure = failure.message();
            }
            record = fresh.release();
            process_pool.store(record, std::memory_order_release);
        }
    }
    if (record->pool == nullptr) stop(record->failure);
    return *record->pool;
}

std::size_t chunk_size_for(std::size_t count, std::size_t pool_size) noexcept {
    // The threads of a call finish apart by up to one chunk (whoever takes the last
    // one): with 32 chunks per thread that tail is about 1.5 % of the call, and
    // claiming a chunk (one atomic increment) stays far cheaper than running one.
    constexpr std::size_t kChunksPerThread = 32;
    constexpr std::size_t kSmallestChunk = 256;
    const std::size_t pieces = std::max<std::size_t>(1, pool_size) * kChunksPerThread;
    return std::max(kSmallestChunk, ceil_div(count, pieces));
}

namespace {

/// The calling thread's ThreadLimit: 0 for none.
thread_local std::ptrdiff_t thread_limit = 0;

/// Threads a batch of the calling thread may use on a pool of `pool_size`.
std::size_t threads_allowed(std::size_t pool_size) noexcept {
    if (thread_limit > 0) return std::min(pool_size, static_cast<std::size_t>(thread_limit));
    if (thread_limit < 0) {
        const std::size_t all_but = static_cast<std::size_t>(-(thread_limit + 1));
        return all_but >= pool_size ? 1 : pool_size - all_but;
    }
    return pool_size;
}

}  // namespace

ThreadLimit::ThreadLimit(std::ptrdiff_t threads) noexcept : previous_(thread_limit) { thread_limit = threads; }

ThreadLimit::~ThreadLimit() { thread_limit = previous_; }

void batch_for(std::size_t count, const RangeBody& body, const InOrder* in_order) {
    if (count == 0) return;
    if (count < kParallelThreshold || thread_limit == 1) {
        if (in_order == nullptr) {
            body(0, count);
        } else {
            in_order->unlocked([&] { body(0, count); });
            in_order->take(0, count);
        }
        return;
    }
    WorkerPool* pool = nullptr;
    if (in_order == nullptr) {
        pool = &global_pool();
    } else {
        // Creating the pool starts threads: not a thing to do holding a lock.
        in_order->unlocked([&] { pool = &global_pool(); });
    }
    const std::size_t threads = threads_allowed(pool->size());
    pool->run(count, chunk_size_for(count, threads), body, in_order, threads);
}

}  // namespace zorv
