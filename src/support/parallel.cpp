#include "support/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

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

#if defined(__linux__)
/// CPU_COUNT of the affinity mask, growing the mask while the kernel's is larger.
std::size_t affinity_processor_count() {
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int status = sched_getaffinity(0, bytes, set);
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : -1;
        const int error = errno;
        CPU_FREE(set);
        if (status == 0) return count > 0 ? static_cast<std::size_t>(count) : 0;
        if (error != EINVAL) return 0;
    }
    return 0;
}
#endif

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

/// How long an idle worker watches for the next batch before it goes to sleep.
constexpr std::chrono::microseconds kWatchBeforeSleeping{100};

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
    std::size_t workers_inside = 0;      ///< workers working on it; guarded by the pool's mutex
    /// Per chunk, whether it is done; only for a caller that takes the chunks in order.
    std::unique_ptr<std::atomic<unsigned char>[]> done;

    std::size_t begin_of(std::size_t c) const noexcept { return c * chunk; }
    std::size_t end_of(std::size_t c) const noexcept { return std::min(count, c * chunk + chunk); }

    /// Claims the next chunk and runs it; false when every chunk is claimed.
    bool work_one() noexcept {
        const std::size_t c = next.fetch_add(1, std::memory_order_relaxed);
        if (c >= chunks) return false;
        (*body)(begin_of(c), end_of(c));
        if (done) {
            done[c].store(1, std::memory_order_release);
            done[c].notify_all();
        }
        return true;
    }

    /// Claims and runs chunks until none is left.
    void work() noexcept {
        while (work_one()) {
        }
    }

    bool is_done(std::size_t c) const noexcept { return done[c].load(std::memory_order_acquire) != 0; }

    /// Returns once chunk c is done, running unclaimed chunks meanwhile. Chunks are
    /// claimed in ascending order, so once none is left to claim, chunk c is being
    /// run by another thread, which will signal it.
    void work_until_done(std::size_t c) noexcept {
        while (!is_done(c)) {
            if (!work_one()) done[c].wait(0, std::memory_order_acquire);
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
    std::size_t count = 0;
#if defined(__linux__)
    count = affinity_processor_count();
#endif
    if (count == 0) count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

struct WorkerPool::Impl {
    std::size_t size;
    std::mutex mutex;
    std::condition_variable work_available;  ///< workers wait here for jobs
    std::condition_variable worker_left;     ///< callers wait here for their job's workers
    std::vector<Job*> jobs;                  ///< jobs with chunks left to claim, oldest first
    std::atomic<std::size_t> offered{0};     ///< jobs.size(), readable without the mutex
    bool stopping = false;
    std::vector<std::thread> workers;

    void worker_loop() noexcept {
        const FloatingPointMode own_mode = FloatingPointMode::current();
        std::unique_lock lock(mutex);
        for (;;) {
            if (jobs.empty() && !stopping) {
                // Batches often come in quick succession: watch for the next one for
                // a moment before sleeping, since waking a sleeping thread costs tens
                // of microseconds, a good part of a small batch.
                lock.unlock();
                const auto until = std::chrono::steady_clock::now() + kWatchBeforeSleeping;
                while (offered.load(std::memory_order_relaxed) == 0 && std::chrono::steady_clock::now() < until) {
                    pause();
                }
                lock.lock();
            }
            work_available.wait(lock, [&] { return stopping || !jobs.empty(); });
            if (stopping) return;
            Job& job = *jobs.front();
            ++job.workers_inside;
            lock.unlock();
            job.mode.apply();
            job.work();
            own_mode.apply();
            lock.lock();
            // Every chunk is claimed: stop offering the job, and let its caller
            // return once no worker is inside any more.
            withdraw(job);
            if (--job.workers_inside == 0) worker_left.notify_all();
        }
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
    impl_->size = size;
    // Workers start with every signal blocked (a thread inherits its creator's
    // mask), so that signals meant for the process are handled by the threads of
    // the program, which expect them, never by a worker in the middle of a chunk.
    sigset_t all_signals;
    sigset_t creator_signals;
    sigfillset(&all_signals);
    pthread_sigmask(SIG_SETMASK, &all_signals, &creator_signals);
    struct RestoreSignals {
        const sigset_t& mask;
        ~RestoreSignals() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore_signals{creator_signals};
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

void WorkerPool::run(std::size_t count, std::size_t chunk, const RangeBody& body, const InOrder* in_order) {
    if (count == 0) return;
    if (chunk == 0) chunk = 1;
    Job job{&body, count, chunk, ceil_div(count, chunk), FloatingPointMode::current(), {}, 0, {}};
    if (in_order != nullptr) job.done = std::make_unique<std::atomic<unsigned char>[]>(job.chunks);
    Impl& impl = *impl_;
    const std::size_t helpers = std::min(impl.workers.size(), job.chunks - 1);
    if (helpers != 0) {
        {
            const std::lock_guard lock(impl.mutex);
            impl.jobs.push_back(&job);
            impl.offered.store(impl.jobs.size(), std::memory_order_relaxed);
        }
        if (helpers == impl.workers.size()) {
            impl.work_available.notify_all();
        } else {
            for (std::size_t i = 0; i < helpers; ++i) impl.work_available.notify_one();
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
        ~Leave() {
            job.next.store(job.chunks, std::memory_order_relaxed);
            if (!offered) return;
            std::unique_lock lock(impl.mutex);
            impl.withdraw(job);
            impl.worker_left.wait(lock, [&] { return job.workers_inside == 0; });
        }
    } leave{impl, job, helpers != 0};

    if (in_order == nullptr) {
        job.work();
        return;
    }
    for (std::size_t c = 0; c < job.chunks; ++c) {
        if (!job.is_done(c)) in_order->unlocked([&] { job.work_until_done(c); });
        in_order->take(job.begin_of(c), job.end_of(c));
    }
}

namespace {

/// The pool of this process, or why it could not be created.
struct ProcessPool {
    pid_t process;
    WorkerPool* pool;     ///< never destroyed: see global_pool()
    std::string failure;  ///< the stop message when pool is null
};

std::atomic<ProcessPool*> process_pool{nullptr};
std::mutex process_pool_creation;

/// The global_pool() of another copy of this code that this copy uses, if any.
std::atomic<WorkerPool& (*)()> pool_owner{nullptr};

}  // namespace

void delegate_global_pool(WorkerPool& (*owner)()) noexcept { pool_owner.store(owner, std::memory_order_release); }

WorkerPool& global_pool() {
    if (WorkerPool& (*const owner)() = pool_owner.load(std::memory_order_acquire)) return owner();
    // The pool lives until the process ends: its workers must not be joined while
    // the process (or an interpreter hosting it) shuts down. A forked child finds
    // the parent's record, whose workers do not exist in the child, and makes its
    // own without touching the parent's pool.
    const pid_t process = getpid();
    ProcessPool* record = process_pool.load(std::memory_order_acquire);
    if (record == nullptr || record->process != process) {
        const std::lock_guard lock(process_pool_creation);
        record = process_pool.load(std::memory_order_acquire);
        if (record == nullptr || record->process != process) {
            auto fresh = std::make_unique<ProcessPool>(ProcessPool{process, nullptr, {}});
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
    constexpr std::size_t kChunksPerThread = 8;
    constexpr std::size_t kSmallestChunk = 256;
    const std::size_t pieces = std::max<std::size_t>(1, pool_size) * kChunksPerThread;
    return std::max(kSmallestChunk, ceil_div(count, pieces));
}

void batch_for(std::size_t count, const RangeBody& body, const InOrder* in_order) {
    if (count == 0) return;
    if (count < kParallelThreshold) {
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
    pool->run(count, chunk_size_for(count, pool->size()), body, in_order);
}

}  // namespace zorv
