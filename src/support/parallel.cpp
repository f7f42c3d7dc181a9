#include "support/parallel.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

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

[[noreturn]] void stop_not_initialized(const std::exception& reason) {
    stop(std::string(kPoolNotInitialized) + ": " + reason.what());
}

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
    // Declared before the arena so that the raised limit outlives it.
    std::optional<tbb::global_control> parallelism_limit;
    tbb::task_arena arena;
};

WorkerPool::WorkerPool(std::size_t size) {
    try {
        if (size == 0 || size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            throw std::length_error("unsupported pool size " + std::to_string(size));
        }
        auto impl = std::make_unique<Impl>();
        // The library caps its worker count at the processor count by default;
        // a larger requested pool needs the cap raised for as long as it exists.
        if (size > static_cast<std::size_t>(tbb::info::default_concurrency())) {
            impl->parallelism_limit.emplace(tbb::global_control::max_allowed_parallelism, size);
        }
        impl->arena.initialize(static_cast<int>(size));
        impl_ = std::move(impl);
    } catch (const Stop&) {
        throw;
    } catch (const std::exception& error) {
        stop_not_initialized(error);
    }
}

WorkerPool::~WorkerPool() = default;

std::size_t WorkerPool::size() const noexcept {
    return static_cast<std::size_t>(impl_->arena.max_concurrency());
}

void WorkerPool::run(std::size_t count, const RangeBody& body) {
    if (count == 0) return;
    impl_->arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                          [&](const tbb::blocked_range<std::size_t>& range) {
                              body(range.begin(), range.end());
                          });
    });
}

void WorkerPool::start_on_workers(const std::function<void()>& task) {
    const int workers = impl_->arena.max_concurrency() - 1;
    for (int i = 0; i < workers; ++i) impl_->arena.enqueue(task);
}

WorkerPool& global_pool() {
    // Allocated once and never freed: worker threads must not be joined while the
    // process (or the interpreter hosting it) is shutting down. If construction
    // stops, the static stays uninitialised and the next call tries again.
    static WorkerPool* const pool = new WorkerPool(pool_size_from_environment(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
        available_processors()));
    return *pool;
}

struct BatchStream::State {
    std::size_t count;
    std::size_t chunk_size;
    std::size_t chunks;
    RangeBody produce;  // called only by a thread that claimed a chunk
    std::atomic<std::size_t> next_chunk{0};
    std::unique_ptr<std::atomic<unsigned char>[]> produced;

    /// Claims the next unproduced chunk and produces it; false when none is left.
    bool produce_next() noexcept {
        const std::size_t c = next_chunk.fetch_add(1, std::memory_order_relaxed);
        if (c >= chunks) return false;
        const std::size_t begin = c * chunk_size;
        produce(begin, std::min(count, begin + chunk_size));
        produced[c].store(1, std::memory_order_release);
        produced[c].notify_all();
        return true;
    }

    void wait(std::size_t c) noexcept {
        while (produced[c].load(std::memory_order_acquire) == 0) {
            // Help rather than block: chunks are claimed in ascending order, so once
            // none is left to claim, chunk c is being produced by a running thread.
            if (!produce_next()) produced[c].wait(0, std::memory_order_acquire);
        }
    }
};

BatchStream::BatchStream(std::size_t count, std::size_t chunk_size, const RangeBody& produce)
    : state_(std::make_shared<State>()) {
    WorkerPool& pool = global_pool();
    State& state = *state_;
    state.count = count;
    state.chunk_size = chunk_size == 0 ? 1 : chunk_size;
    state.chunks = count / state.chunk_size + (count % state.chunk_size != 0 ? 1 : 0);
    state.produce = produce;
    state.produced = std::make_unique<std::atomic<unsigned char>[]>(state.chunks);
    if (state.chunks > 1) {
        pool.start_on_workers([shared = state_] {
            while (shared->produce_next()) {
            }
        });
    }
}

BatchStream::~BatchStream() {
    for (std::size_t c = 0; c < state_->chunks; ++c) state_->wait(c);
}

std::size_t BatchStream::chunk_count() const noexcept { return state_->chunks; }

std::pair<std::size_t, std::size_t> BatchStream::chunk_range(std::size_t c) const noexcept {
    const std::size_t begin = c * state_->chunk_size;
    return {begin, std::min(state_->count, begin + state_->chunk_size)};
}

bool BatchStream::ready(std::size_t c) const noexcept {
    return state_->produced[c].load(std::memory_order_acquire) != 0;
}

void BatchStream::wait(std::size_t c) noexcept { state_->wait(c); }

void parallel_for(std::size_t count, const RangeBody& body) {
    global_pool().run(count, body);
}

void batch_for(std::size_t count, const RangeBody& body) {
    if (count < kParallelThreshold) {
        if (count != 0) body(0, count);
        return;
    }
    parallel_for(count, body);
}

}  // namespace zorv
