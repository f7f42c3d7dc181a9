#include "support/parallel.hpp"
#include "support/chunks_done.hpp"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <functional>
#include <stdexcept>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/stop.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace zorv {
namespace {

constexpr std::size_t kMaxIndex = std::numeric_limits<std::size_t>::max();

struct EnvironmentCase {
    const char* rayon_num_threads;
    const char* rayon_rs_num_cpus;
    std::size_t available;
    std::size_t expected;
};

class PoolSizeFromEnvironment : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(PoolSizeFromEnvironment, FollowsTheVariablesInOrder) {
    const EnvironmentCase& c = GetParam();
    EXPECT_EQ(pool_size_from_environment(c.rayon_num_threads, c.rayon_rs_num_cpus, c.available),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolSizeFromEnvironment,
    ::testing::Values(
        // A positive count wins, even above the processor count.
        EnvironmentCase{"4", "6", 2, 4}, EnvironmentCase{"64", nullptr, 2, 64},
        EnvironmentCase{"+3", nullptr, 2, 3}, EnvironmentCase{"007", nullptr, 2, 7},
        EnvironmentCase{"18446744073709551615", nullptr, 2, kMaxIndex},
        // 0 means the processors, without looking at the second variable.
        EnvironmentCase{"0", "6", 2, 2}, EnvironmentCase{"+0", "6", 3, 3},
        EnvironmentCase{"0", nullptr, 0, 1},
        // Not a count: fall through to the second variable.
        EnvironmentCase{"-1", "5", 2, 5}, EnvironmentCase{"-0", "5", 2, 5},
        EnvironmentCase{"abc", "5", 2, 5}, EnvironmentCase{"", "6", 2, 6},
        EnvironmentCase{" 4", "6", 2, 6}, EnvironmentCase{"4 ", "6", 2, 6},
        EnvironmentCase{"1e3", "6", 2, 6}, EnvironmentCase{"+", "6", 2, 6},
        EnvironmentCase{"18446744073709551616", "6", 2, 6},
        // Characters just below '0' and just above '9' are no digits, wherever they stand.
        EnvironmentCase{"-", "6", 2, 6}, EnvironmentCase{"/", "6", 2, 6}, EnvironmentCase{"\t", "6", 2, 6},
        EnvironmentCase{"+/", "6", 2, 6}, EnvironmentCase{"0/", "6", 2, 6}, EnvironmentCase{":", "6", 2, 6},
        EnvironmentCase{"1:", "6", 2, 6}, EnvironmentCase{nullptr, "/", 2, 2}, EnvironmentCase{nullptr, "\t", 3, 3},
        EnvironmentCase{nullptr, "6", 2, 6},
        // The second variable needs a positive count too; else the processors.
        EnvironmentCase{nullptr, "0", 2, 2}, EnvironmentCase{nullptr, "-3", 2, 2},
        EnvironmentCase{"x", "y", 3, 3}, EnvironmentCase{nullptr, nullptr, 8, 8},
        EnvironmentCase{nullptr, nullptr, 0, 1}, EnvironmentCase{"", "", 0, 1}));

TEST(AvailableProcessors, IsAtLeastOneAndAtMostTheOnlineProcessors) {
    const std::size_t count = available_processors();
    EXPECT_GE(count, 1u);
    const unsigned online = std::thread::hardware_concurrency();
    if (online != 0) {
        EXPECT_LE(count, online);
    }
}

/// Runs `for_each` over `count` indices and expects every index exactly once.
template <class ForEach>
void expect_each_index_once(std::size_t count, ForEach for_each) {
    std::unique_ptr<std::atomic<int>[]> hits(new std::atomic<int>[count == 0 ? 1 : count]());
    std::atomic<bool> bad_range{false};
    for_each(count, [&](std::size_t begin, std::size_t end) {
        if (begin >= end || end > count) bad_range = true;
        for (std::size_t i = begin; i < end && i < count; ++i) hits[i].fetch_add(1);
    });
    EXPECT_FALSE(bad_range.load());
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
}

class ParallelCoverage : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParallelCoverage, BatchForVisitsEveryIndexOnce) {
    expect_each_index_once(GetParam(), [](std::size_t n, const RangeBody& body) { batch_for(n, body); });
}

TEST_P(ParallelCoverage, PoolRunVisitsEveryIndexOnceForAnyChunk) {
    WorkerPool pool(3);
    for (const std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{7}, GetParam(), GetParam() + 1}) {
        expect_each_index_once(GetParam(), [&](std::size_t n, const RangeBody& body) { pool.run(n, chunk, body); });
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ParallelCoverage, ::testing::Values(0, 1, 7, 2047, 2048, 100003));

/// Runs a batch of `count` with an in-order consumer; expects every index computed
/// once, taken once, in order, and only after it was computed. Returns how often the
/// calling thread went `unlocked`.
std::size_t expect_taken_in_order(std::size_t count, const std::function<void(const RangeBody&, const InOrder&)>& run) {
    // Plain ints: only the hand-off of each finished range orders the workers' writes
    // before the consumer's reads (a weaker hand-off is a race that ThreadSanitizer reports).
    std::vector<int> computed(count);
    std::size_t taken = 0;
    std::size_t unlocked_calls = 0;
    const InOrder in_order{
        [&](std::size_t begin, std::size_t end) {
            ASSERT_EQ(begin, taken);
            ASSERT_LE(end, count);
            for (std::size_t i = begin; i < end; ++i) ASSERT_EQ(computed[i], 1) << "index " << i;
            taken = end;
        },
        [&](const std::function<void()>& work) {
            ++unlocked_calls;
            work();
        },
    };
    run([&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ++computed[i];
    }, in_order);
    EXPECT_EQ(taken, count);
    return unlocked_calls;
}

TEST_P(ParallelCoverage, InOrderConsumersTakeEveryFinishedRangeOnceInOrder) {
    const std::size_t count = GetParam();
    const std::size_t unlocked_calls = expect_taken_in_order(count, [&](const RangeBody& body, const InOrder& in_order) {
        batch_for(count, body, &in_order);
    });
    // Computing on the calling thread, or starting the pool, happens unlocked.
    EXPECT_EQ(unlocked_calls >= 1, count != 0);
    WorkerPool pool(3);
    expect_taken_in_order(count, [&](const RangeBody& body, const InOrder& in_order) {
        pool.run(count, 97, body, &in_order);
    });
}

/// Runs a batch of `chunks` one-index chunks on `pool`, taken in order or not, and
/// returns which thread ran each chunk.
std::vector<std::thread::id> threads_by_chunk(WorkerPool& pool, std::size_t chunks, bool in_order) {
    std::vector<std::thread::id> by_chunk(chunks);  // each element written by one thread
    const RangeBody body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) by_chunk[c] = std::this_thread::get_id();
    };
    if (in_order) {
        expect_taken_in_order(chunks, [&](const RangeBody& counted, const InOrder& consumer) {
            pool.run(chunks, 1, [&](std::size_t begin, std::size_t end) {
                body(begin, end);
                counted(begin, end);
            }, &consumer);
        });
    } else {
        pool.run(chunks, 1, body);
    }
    return by_chunk;
}

class LateWorkers : public ::testing::TestWithParam<bool> {};  // the results taken in order or not

TEST_P(LateWorkers, ACallerWhoseWorkerNeverComesRunsEveryChunkItselfAndReturns) {
    // The pool's only worker is held inside a chunk of another thread's call until
    // this call has returned: a call that waited for the worker it woke would hold the
    // worker's release back, and the worker gives up after a while to report it.
    WorkerPool pool(2);
    std::atomic<bool> worker_held{false};
    std::atomic<bool> released{false};
    std::atomic<bool> gave_up{false};
    std::thread other([&] {
        const std::thread::id other_id = std::this_thread::get_id();
        pool.run(2, 1, [&](std::size_t, std::size_t) {
            if (std::this_thread::get_id() == other_id) {
                // Leaves the other chunk to the worker.
                while (!worker_held.load()) std::this_thread::yield();
                return;
            }
            worker_held.store(true);
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!released.load() && !(gave_up = std::chrono::steady_clock::now() > limit)) {
                std::this_thread::yield();
            }
        });
    });
    while (!worker_held.load()) std::this_thread::yield();
    const std::vector<std::thread::id> by_chunk = threads_by_chunk(pool, 64, GetParam());
    released.store(true);
    other.join();
    EXPECT_FALSE(gave_up.load()) << "the call waited for a worker that could not come";
    EXPECT_EQ(std::count(by_chunk.begin(), by_chunk.end(), std::this_thread::get_id()), 64);
}

INSTANTIATE_TEST_SUITE_P(InOrderOrNot, LateWorkers, ::testing::Bool());

TEST(WorkerPool, AConsumerThatThrowsAbandonsTheBatchSafely) {
    WorkerPool pool(3);
    for (int round = 0; round < 50; ++round) {
        std::vector<double> out(100000);
        const InOrder in_order{
            [&](std::size_t begin, std::size_t) {
                if (begin > 0) throw std::runtime_error("consumer failed");
            },
            [](const std::function<void()>& work) { work(); },
        };
        EXPECT_THROW(pool.run(out.size(), 64, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = 1.0;
        }, &in_order), std::runtime_error);
    }  // `out` goes after each round: a worker still writing would be caught by the sanitizers
    expect_each_index_once(5000, [&](std::size_t n, const RangeBody& body) { pool.run(n, 7, body); });
}

TEST(WorkerPool, AConsumerThatThrowsWaitsForTheWorkersWithItsLockReleased) {
    // The caller holds `lock` except inside `unlocked`; a worker's chunk needs it to
    // finish. Waiting for that worker with the lock held would make it time out.
    WorkerPool pool(3);
    const std::thread::id caller = std::this_thread::get_id();
    std::mutex lock;
    std::atomic<int> on_workers{0};
    std::atomic<int> timed_out{0};
    const InOrder in_order{
        [&](std::size_t, std::size_t) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (on_workers.load() == 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            throw std::runtime_error("consumer failed");
        },
        [&](const std::function<void()>& work) {
            lock.unlock();
            work();
            lock.lock();
        },
    };
    const std::unique_lock held(lock);
    EXPECT_THROW(pool.run(64, 1, [&](std::size_t, std::size_t) {
        if (std::this_thread::get_id() == caller) return;
        on_workers.fetch_add(1);
        // try_lock in a loop, not try_lock_for, which ThreadSanitizer does not follow
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!lock.try_lock()) {
            if (std::chrono::steady_clock::now() > until) {
                timed_out.fetch_add(1);
                return;
            }
            std::this_thread::yield();
        }
        lock.unlock();
    }, &in_order), std::runtime_error);
    EXPECT_GE(on_workers.load(), 1) << "no worker was inside when the consumer threw";
    EXPECT_EQ(timed_out.load(), 0);
}

TEST(WorkerPool, ChunksOfCountsNearTheLargestIndexEndAtTheCount) {
    WorkerPool pool(2);
    for (const std::size_t count : {kMaxIndex, kMaxIndex - 1}) {
        for (const std::size_t chunk : {kMaxIndex / 2 + 1, kMaxIndex / 3 + 2, kMaxIndex - 1}) {
            std::mutex mutex;
            std::vector<std::pair<std::size_t, std::size_t>> ranges;
            const RangeBody record = [&](std::size_t begin, std::size_t end) {
                const std::lock_guard guard(mutex);
                ranges.emplace_back(begin, end);
            };
            const InOrder in_order{[](std::size_t, std::size_t) {}, [](const std::function<void()>& work) { work(); }};
            pool.run(count, chunk, record);
            pool.run(count, chunk, record, &in_order);
            std::sort(ranges.begin(), ranges.end());
            std::vector<std::pair<std::size_t, std::size_t>> expected;
            for (std::size_t begin = 0; begin < count; begin += std::min(chunk, count - begin)) {
                expected.emplace_back(begin, begin + std::min(chunk, count - begin));
                expected.emplace_back(expected.back());
            }
            EXPECT_EQ(ranges, expected) << count << " in chunks of " << chunk;
        }
    }
}

TEST(WorkerPool, WorkersBlockOnlyAsynchronousSignalsAndTheCreatorKeepsItsMask) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows has no signal masks";
#else
    // The creator blocks a synchronous signal, which no worker may inherit.
    sigset_t creator;
    sigemptyset(&creator);
    sigaddset(&creator, SIGUSR1);
    sigaddset(&creator, SIGTRAP);
    sigset_t original;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &creator, &original), 0);
    std::vector<std::pair<int, int>> worker_masks;  // per worker thread seen: (signal, blocked)
    {
        WorkerPool pool(3);
        sigset_t after;
        pthread_sigmask(SIG_BLOCK, nullptr, &after);
        for (int signal = 1; signal < 32; ++signal) {
            EXPECT_EQ(sigismember(&after, signal), sigismember(&creator, signal)) << "signal " << signal;
        }
        const std::thread::id caller = std::this_thread::get_id();
        std::mutex mutex;
        pool.run(64 * 3, 1, [&](std::size_t, std::size_t) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));  // let every thread take some
            if (std::this_thread::get_id() == caller) return;
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            const std::lock_guard guard(mutex);
            for (int signal = 1; signal < 32; ++signal) worker_masks.emplace_back(signal, sigismember(&mask, signal));
        });
    }
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    ASSERT_FALSE(worker_masks.empty()) << "no worker took part";
    const std::set<int> never_blocked{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGKILL, SIGSTOP};
    for (const auto& [signal, blocked] : worker_masks) {
        EXPECT_EQ(blocked, never_blocked.count(signal) ? 0 : 1) << "signal " << signal << " on a worker";
    }
#endif
}

TEST(ChunkSize, SplitsEveryPooledBatchForEveryThread) {
    for (const std::size_t threads : {1, 2, 3, 8, 64}) {
        for (const std::size_t count : {kParallelThreshold, std::size_t{8192}, std::size_t{1000003}}) {
            const std::size_t chunk = chunk_size_for(count, threads);
            ASSERT_GE(chunk, 1u);
            const std::size_t chunks = (count + chunk - 1) / chunk;
            // Already the smallest pooled batch gives a chunk to several threads.
            EXPECT_GE(chunks, std::min<std::size_t>(threads, 8)) << count << " on " << threads;
            EXPECT_LE(chunks, threads * 32) << count << " on " << threads;
        }
    }
}

TEST(BatchFor, ConcurrentBatchesFromManyThreadsEachCoverTheirIndices) {
    constexpr std::size_t kCallers = 4;
    constexpr std::size_t kCount = 50000;
    std::vector<std::vector<std::atomic<int>>> hits(kCallers);
    for (auto& h : hits) h = std::vector<std::atomic<int>>(kCount);
    std::vector<std::thread> callers;
    for (std::size_t c = 0; c < kCallers; ++c) {
        callers.emplace_back([&, c] {
            for (int round = 0; round < 20; ++round) {
                batch_for(kCount, [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) hits[c][i].fetch_add(1);
                });
            }
        });
    }
    for (std::thread& caller : callers) caller.join();
    for (std::size_t c = 0; c < kCallers; ++c) {
        for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(hits[c][i].load(), 20) << c << ", " << i;
    }
}

/// The floating-point mode as the tasks see it: rounding direction and, on x86,
/// the whole MXCSR (flush-to-zero, denormals-are-zero, rounding, masks).
std::pair<int, unsigned> observed_mode() {
#if defined(__x86_64__) || defined(__i386__)
    return {std::fegetround(), _mm_getcsr() & ~0x3Fu};  // without the sticky exception flags
#else
    return {std::fegetround(), 0u};
#endif
}

TEST(WorkerPool, TasksRunUnderTheCallersFloatingPointModeAndWorkersGetTheirsBack) {
    WorkerPool pool(3);
    const auto default_mode = observed_mode();
    const auto run_and_collect = [&] {
        std::mutex mutex;
        std::set<std::pair<int, unsigned>> seen;
        std::set<std::thread::id> threads;
        pool.run(64 * 3, 1, [&](std::size_t, std::size_t) {
            const auto mode = observed_mode();
            // Let every thread take some: a wait by the clock, since a sleep of less than a
            // millisecond returns at once on Windows (libstdc++ sleeps whole milliseconds).
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
            while (std::chrono::steady_clock::now() < until) {
            }
            const std::lock_guard lock(mutex);
            seen.insert(mode);
            threads.insert(std::this_thread::get_id());
        });
        EXPECT_GT(threads.size(), 1u) << "no worker took part";
        return seen;
    };

    std::fesetround(FE_TOWARDZERO);
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(_mm_getcsr() | 0x8040u);  // flush-to-zero and denormals-are-zero
#endif
    const auto caller_mode = observed_mode();
    const auto under_caller = run_and_collect();
    std::fesetround(FE_TONEAREST);
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(_mm_getcsr() & ~0x8040u);
#endif
    ASSERT_EQ(observed_mode(), default_mode);
    EXPECT_EQ(under_caller, (std::set{caller_mode}));
    EXPECT_EQ(run_and_collect(), (std::set{default_mode}));
}

TEST(BatchFor, SmallBatchesRunAsOneRangeOnTheCallingThread) {
    for (const std::size_t count : {std::size_t{1}, kParallelThreshold - 1}) {
        std::vector<std::pair<std::size_t, std::size_t>> calls;
        std::thread::id runner;
        batch_for(count, [&](std::size_t begin, std::size_t end) {
            calls.emplace_back(begin, end);
            runner = std::this_thread::get_id();
        });
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0], std::make_pair(std::size_t{0}, count));
        EXPECT_EQ(runner, std::this_thread::get_id());
    }
}

#if !defined(_WIN32)
/// Threads of this process.
std::size_t thread_count() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) count += entry.exists() ? 1 : 0;
    return count;
}

/// thread_count() once threads just joined have left /proc/self/task: a join returns when
/// the thread's id is released, a moment before the kernel drops its entry. Waits (for at
/// most a second) until the count is at most `expected`, and returns it.
std::size_t settled_thread_count(std::size_t expected) {
    std::size_t count = thread_count();
    for (int wait = 0; wait < 100 && count > expected; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        count = thread_count();
    }
    return count;
}
#endif

/// Ends the process (of a death test) with status 0 when `check` holds, else reports and ends with 1.
[[noreturn]] void exit_with(bool check, const std::string& report) {
    if (!check) std::fprintf(stderr, "%s\n", report.c_str());
    std::fflush(stderr);
    std::_Exit(check ? 0 : 1);
}

#if !defined(_WIN32)
/// Eight threads call global_pool() at once in a process without a pool: they must get
/// one pool, of the size asked for, and start its workers once. The race is run in
/// twenty processes of its own, forked from one that has no pool and no other thread.
[[noreturn]] void race_to_create_the_pool() {
    setenv("RAYON_NUM_THREADS", "16", 1);
    bool all_one = true;
    for (int round = 0; round < 20 && all_one; ++round) {
        const pid_t child = fork();
        if (child == 0) {
            std::thread([] {}).join();  // a sanitizer's runtime starts a thread of its own with the first
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the joined thread leaves /proc
            const std::size_t before = thread_count();
            constexpr std::size_t kRacers = 8;
            std::atomic<std::size_t> ready{0};
            std::vector<WorkerPool*> pools(kRacers);
            std::vector<std::thread> racers;
            for (std::size_t r = 0; r < kRacers; ++r) {
                racers.emplace_back([&, r] {
                    ready.fetch_add(1);
                    while (ready.load() < kRacers) std::this_thread::yield();
                    pools[r] = &global_pool();
                });
            }
            for (std::thread& racer : racers) racer.join();
            const std::set<WorkerPool*> distinct(pools.begin(), pools.end());
            const std::size_t after = settled_thread_count(before + 15);  // the racers gone, the workers not
            exit_with(distinct.size() == 1 && pools[0]->size() == 16 && after == before + 15,
                      std::to_string(distinct.size()) + " pools, " + std::to_string(after - before) + " new threads");
        }
        int status = 0;
        all_one = child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    exit_with(all_one, "threads racing to create the pool did not get one pool");
}
#endif

TEST(GlobalPoolDeathTest, ThreadsRacingToCreateItGetOnePool) {
#if defined(_WIN32)
    GTEST_SKIP() << "the race runs in processes forked from one without a pool, and Windows has no fork";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, with no pool and one thread
    EXPECT_EXIT(race_to_create_the_pool(), ::testing::ExitedWithCode(0), "");
#endif
}

/// Back-to-back batches of two chunks for three seconds, each ending with the caller
/// asleep for the chunk a worker runs; a watchdog ends the process if one never returns.
[[noreturn]] void back_to_back_in_order_batches() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        exit_with(false, "an in-order batch never returned");
    }).detach();
    WorkerPool pool(2);
    std::vector<int> computed(2);
    std::size_t taken = 0;
    const InOrder in_order{[&](std::size_t begin, std::size_t end) { taken += end - begin; },
                           [](const std::function<void()>& work) { work(); }};
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<std::size_t> batch{0};
    std::atomic<std::size_t> caller_done{0};  // the last batch whose caller finished its chunk
    const RangeBody body = [&](std::size_t begin, std::size_t) {
        ++computed[begin];
        const std::size_t current = batch.load();
        if (std::this_thread::get_id() == caller) {
            caller_done.store(current);
            return;
        }
        // The worker's chunk ends a moment after the caller's, the moment sweeping in
        // steps of nanoseconds over the caller's way from its chunk into its sleep.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
        while (caller_done.load() != current && std::chrono::steady_clock::now() < limit) {
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(2 * (current % 512));
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (; std::chrono::steady_clock::now() < until; batch.fetch_add(1)) pool.run(2, 1, body, &in_order);
    const std::size_t batches = batch.load();
    exit_with(taken == 2 * batches && computed[0] == static_cast<int>(batches) && computed[1] == computed[0],
              "batches " + std::to_string(batches) + ", taken " + std::to_string(taken));
}

TEST(WorkerPoolDeathTest, BackToBackInOrderBatchesNeverMissAWakeUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(back_to_back_in_order_batches(), ::testing::ExitedWithCode(0), "");
}

/// Rounds of four callers, each running a batch of two chunks on a pool of four workers: a
/// caller's own chunk lasts until a worker has the other one, which lasts the longer the
/// lower the caller, so the callers wait for their workers together and the workers leave in
/// another order than the callers began to wait. Each caller must be woken by its own
/// worker's leaving (no other one comes at the end of a round). A watchdog ends the process
/// if a caller never returns.
[[noreturn]] void callers_waiting_for_their_workers_together() {
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(30));
        exit_with(false, "a caller waiting for its workers was never woken");
    }).detach();
    WorkerPool pool(5);
    std::atomic<std::size_t> chunks{0};
    constexpr int kRounds = 200;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::thread> callers;
        for (int c = 0; c < 4; ++c) {
            callers.emplace_back([&, c] {
                const std::thread::id caller = std::this_thread::get_id();
                std::atomic<bool> worker_inside{false};
                pool.run(2, 1, [&](std::size_t, std::size_t) {
                    const bool on_caller = std::this_thread::get_id() == caller;
                    worker_inside.store(worker_inside.load() || !on_caller);
                    // The caller's chunk lasts until a worker has the other one (or 10 ms).
                    const auto start = std::chrono::steady_clock::now();
                    const auto until = start + std::chrono::microseconds(on_caller ? 10000 : 200 * (4 - c));
                    while (std::chrono::steady_clock::now() < until && !(on_caller && worker_inside.load())) {
                    }
                    chunks.fetch_add(1);
                });
            });
        }
        for (std::thread& caller : callers) caller.join();
    }
    exit_with(chunks.load() == 2 * 4 * kRounds, "chunks " + std::to_string(chunks.load()));
}

TEST(WorkerPoolDeathTest, CallersWaitingForTheirWorkersTogetherAreEachWoken) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(callers_waiting_for_their_workers_together(), ::testing::ExitedWithCode(0), "");
}

/// A caller that is preempted for a while between its last look at the flag and its
/// sleep (it holds the mutex throughout, as a real waiter does until it sleeps).
struct SlowToSleep {
    static inline std::atomic<bool> looked{false};  ///< the caller has looked and is about to sleep
    std::condition_variable condition;

    template <class Predicate>
    void wait(std::unique_lock<std::mutex>& lock, Predicate done) {
        while (!done()) {
            looked.store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            condition.wait(lock);
        }
    }
    void notify_one() noexcept { condition.notify_one(); }
};

TEST(ChunksDone, AChunkFinishedWhileTheCallerGoesToSleepStillWakesIt) {
    detail::BasicChunksDone<SlowToSleep> done(1);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        while (!SlowToSleep::looked.load()) std::this_thread::yield();
        done.mark(0);  // inside the caller's window
        // A lost notify leaves the caller asleep: wake it after a generous wait so that
        // the test fails instead of hanging.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!returned.load() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        if (!returned.load()) done.mark(0);
    });
    const auto start = std::chrono::steady_clock::now();
    done.wait_for(0);
    const auto waited = std::chrono::steady_clock::now() - start;
    returned.store(true);
    worker.join();
    EXPECT_LT(waited, std::chrono::seconds(5)) << "the wake-up sent while the caller went to sleep was lost";
}

/// A worker that is preempted between the two steps of marking a chunk, for as long as
/// the caller takes to announce its wait and look at the flag (or 200 ms).
struct SlowToMark {
    static inline std::atomic<bool> marking{false};    ///< the worker is between the steps
    static inline std::atomic<bool> announced{false};  ///< the caller has looked at the flag
    std::condition_variable condition;

    static void between_mark_steps() {
        marking.store(true);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        while (!announced.load() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
    }
    template <class Predicate>
    void wait(std::unique_lock<std::mutex>& lock, Predicate done) {
        while (!done()) {
            announced.store(true);
            condition.wait(lock);
        }
    }
    void notify_one() noexcept { condition.notify_one(); }
};

TEST(ChunksDone, ACallerThatWaitsWhileTheChunkIsMarkedIsWoken) {
    // Marking stores the flag before it looks for a waiting caller: the caller then
    // either sees the flag or is seen waiting. In the other order, a caller that
    // announces itself between the two steps sleeps for good.
    detail::BasicChunksDone<SlowToMark> done(1);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        done.mark(0);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!returned.load() && std::chrono::steady_clock::now() < limit) std::this_thread::yield();
        if (!returned.load()) done.mark(0);  // fail instead of hanging
    });
    while (!SlowToMark::marking.load()) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    done.wait_for(0);
    const auto waited = std::chrono::steady_clock::now() - start;
    returned.store(true);
    worker.join();
    EXPECT_LT(waited, std::chrono::seconds(5)) << "the caller that waited while the chunk was marked was not woken";
}

TEST(GlobalPool, HasTheSizeTheEnvironmentAsksFor) {
    const std::size_t expected = pool_size_from_environment(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
    EXPECT_EQ(global_pool().size(), expected);
    EXPECT_EQ(&global_pool(), &global_pool());
}

WorkerPool* delegated_pool = nullptr;

TEST(GlobalPool, IsBorrowedFromAnotherCopyOfTheLibraryOnlyOfTheSameBuild) {
    WorkerPool pool(2);
    delegated_pool = &pool;
    WorkerPool& (*const lender)() = []() -> WorkerPool& { return *delegated_pool; };
    WorkerPool* const own = &global_pool();
    EXPECT_EQ(std::string(pool_build()).find("sources unknown"), std::string::npos) << pool_build();
    const std::string other_build = std::string(pool_build()) + " edited";
    EXPECT_FALSE(borrow_pool({other_build.c_str(), lender}));
    EXPECT_EQ(&global_pool(), own);
    EXPECT_TRUE(borrow_pool(pool_loan()));  // its own pool: nothing to delegate
    EXPECT_EQ(&global_pool(), own);
    EXPECT_TRUE(borrow_pool({pool_build(), lender}));
    EXPECT_EQ(&global_pool(), &pool);
    delegate_global_pool(nullptr);
    EXPECT_EQ(&global_pool(), own);
}

TEST(WorkerPool, RunsMoreThreadsThanProcessorsWhenItsChunksRunLong) {
    const std::size_t size = available_processors() + 2;
    WorkerPool pool(size);
    ASSERT_EQ(pool.size(), size);

    // Short chunks keep the threads beyond the processors asleep; chunks that take
    // milliseconds (blocked, or sharing the processors) call them in one by one.
    const auto threads_taking_part = [&](std::chrono::microseconds per_chunk) {
        std::mutex mutex;
        std::set<std::thread::id> seen;
        pool.run(size * 16, 1, [&](std::size_t, std::size_t) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                seen.insert(std::this_thread::get_id());
            }
            const auto until = std::chrono::steady_clock::now() + per_chunk;
            while (std::chrono::steady_clock::now() < until) {
            }
        });
        return seen.size();
    };
    // The decisions are counted as well as the threads seen, since a loaded machine
    // can make a thread arrive late (or a short chunk run long) whatever the rule.
    const std::size_t at_once = std::min(size, available_processors()) - 1;
    const auto called_by = [&](std::size_t chunks, std::chrono::microseconds per_chunk) {
        const WorkerPool::WorkersCalled before = pool.workers_called();
        pool.run(chunks, 1, [&](std::size_t, std::size_t) {
            const auto until = std::chrono::steady_clock::now() + per_chunk;
            while (std::chrono::steady_clock::now() < until) {
            }
        });
        const WorkerPool::WorkersCalled after = pool.workers_called();
        return WorkerPool::WorkersCalled{after.at_start - before.at_start, after.later - before.later};
    };
    for (const std::size_t chunks : {std::size_t{1}, std::size_t{2}, size, size * 16}) {
        const WorkerPool::WorkersCalled quick = called_by(chunks, std::chrono::microseconds(0));
        EXPECT_EQ(quick.at_start, std::min(chunks - 1, at_once)) << chunks << " chunks";
        EXPECT_EQ(quick.later, 0u) << chunks << " chunks";
    }
    const WorkerPool::WorkersCalled slow = called_by(size * 16, std::chrono::microseconds(2000));
    EXPECT_EQ(slow.at_start, at_once);
    EXPECT_EQ(slow.at_start + slow.later, size - 1);

    threads_taking_part(std::chrono::microseconds(0));  // every worker started and asleep
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(threads_taking_part(std::chrono::microseconds(20)), size - 1);
    EXPECT_EQ(threads_taking_part(std::chrono::microseconds(2000)), size);
    expect_each_index_once(5000, [&](std::size_t n, const RangeBody& body) { pool.run(n, 100, body); });
}

TEST(WorkerPool, ACallRunsOnNoMoreThreadsThanItAllows) {
    WorkerPool pool(6);
    for (const std::size_t threads : {std::size_t{1}, std::size_t{2}, std::size_t{3}}) {
        std::mutex mutex;
        std::set<std::thread::id> seen;
        // Chunks that run long call every worker in unless the limit holds them back.
        pool.run(48, 1, [&](std::size_t, std::size_t) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                seen.insert(std::this_thread::get_id());
            }
            const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(1000);
            while (std::chrono::steady_clock::now() < until) {
            }
        }, nullptr, threads);
        EXPECT_LE(seen.size(), threads) << threads << " threads allowed";
        if (threads == 1) {
            EXPECT_EQ(seen, (std::set{std::this_thread::get_id()}));
        }
    }
    expect_each_index_once(5000, [&](std::size_t n, const RangeBody& body) { pool.run(n, 100, body, nullptr, 2); });
}

TEST(BatchFor, FollowsTheCallersThreadLimitUntilItEnds) {
    const std::size_t count = kParallelThreshold * 4;
    const std::thread::id caller = std::this_thread::get_id();
    const auto ranges_on_the_caller = [&] {
        std::mutex mutex;
        std::size_t ranges = 0;
        bool all_on_the_caller = true;
        batch_for(count, [&](std::size_t, std::size_t) {
            const std::lock_guard<std::mutex> lock(mutex);
            ++ranges;
            all_on_the_caller = all_on_the_caller && std::this_thread::get_id() == caller;
        });
        return std::make_pair(ranges, all_on_the_caller);
    };
    {
        const ThreadLimit one(1);
        EXPECT_EQ(ranges_on_the_caller(), std::make_pair(std::size_t{1}, true));
        {
            const ThreadLimit none(0);
            EXPECT_GT(ranges_on_the_caller().first, 1u);
        }
        EXPECT_EQ(ranges_on_the_caller(), std::make_pair(std::size_t{1}, true));
        // All but as many threads as the pool has (or more) still leaves the caller.
        const ThreadLimit all_but_every(-static_cast<std::ptrdiff_t>(global_pool().size()) - 1);
        EXPECT_TRUE(ranges_on_the_caller().second);
    }
    expect_each_index_once(count, [](std::size_t n, const RangeBody& body) { batch_for(n, body); });
}

TEST(WorkerPool, RefusedSizesStopWithThePoolMessage) {
    const std::string prefix = "The global thread pool has not been initialized.: ";
    for (const std::size_t size : {std::size_t{0}, std::size_t{1} << 40, kMaxIndex}) {
        try {
            WorkerPool pool(size);
            ADD_FAILURE() << "pool of " << size << " threads was created";
        } catch (const Stop& stop) {
            EXPECT_EQ(stop.message().rfind(prefix, 0), 0u) << stop.message();
            EXPECT_GT(stop.message().size(), prefix.size()) << "the reason is missing";
        }
    }
}

}  // namespace
}  // namespace zorv
