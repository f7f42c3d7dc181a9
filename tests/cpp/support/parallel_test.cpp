#include "support/parallel.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/stop.hpp"

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

TEST_P(ParallelCoverage, ParallelForVisitsEveryIndexOnce) {
    expect_each_index_once(GetParam(), [](std::size_t n, const RangeBody& body) { parallel_for(n, body); });
}

TEST_P(ParallelCoverage, BatchForVisitsEveryIndexOnce) {
    expect_each_index_once(GetParam(), [](std::size_t n, const RangeBody& body) { batch_for(n, body); });
}

INSTANTIATE_TEST_SUITE_P(Counts, ParallelCoverage, ::testing::Values(0, 1, 7, 2047, 2048, 100003));

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

TEST(GlobalPool, HasTheSizeTheEnvironmentAsksFor) {
    const std::size_t expected = pool_size_from_environment(
        std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors());
    EXPECT_EQ(global_pool().size(), expected);
    EXPECT_EQ(&global_pool(), &global_pool());
}

TEST(WorkerPool, RunsMoreThreadsThanProcessorsWhenAskedTo) {
    const std::size_t size = available_processors() + 1;
    WorkerPool pool(size);
    ASSERT_EQ(pool.size(), size);

    // Each task waits until `size` distinct threads have joined (or a deadline):
    // only a pool that really runs `size` threads at once meets everyone.
    std::mutex mutex;
    std::set<std::thread::id> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    pool.run(size * 64, [&](std::size_t, std::size_t) {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            seen.insert(std::this_thread::get_id());
        }
        while (std::chrono::steady_clock::now() < deadline) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                if (seen.size() >= size) return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(seen.size(), size);
    expect_each_index_once(5000, [&](std::size_t n, const RangeBody& body) { pool.run(n, body); });
}

class BatchStreamCoverage : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(BatchStreamCoverage, EveryChunkIsProducedOnceAndConsumedInOrder) {
    const auto [count, chunk] = GetParam();
    std::vector<std::atomic<int>> produced(count);
    std::vector<std::size_t> consumed;
    {
        BatchStream stream(count, chunk, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) produced[i].fetch_add(1);
        });
        std::size_t expected_begin = 0;
        for (std::size_t c = 0; c < stream.chunk_count(); ++c) {
            if (c % 2 == 0) stream.wait(c);
            else while (!stream.ready(c)) stream.wait(c);
            const auto [begin, end] = stream.chunk_range(c);
            ASSERT_EQ(begin, expected_begin);
            ASSERT_LE(end - begin, chunk);
            for (std::size_t i = begin; i < end; ++i) {
                ASSERT_EQ(produced[i].load(), 1) << "item " << i << " consumed before it was produced";
                consumed.push_back(i);
            }
            expected_begin = end;
        }
        EXPECT_EQ(expected_begin, count);
    }
    EXPECT_EQ(consumed.size(), count);
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(produced[i].load(), 1);
}

INSTANTIATE_TEST_SUITE_P(CountsAndChunks, BatchStreamCoverage,
                         ::testing::Values(std::make_pair(0, 16), std::make_pair(5, 16), std::make_pair(16, 16),
                                           std::make_pair(17, 16), std::make_pair(100003, 1024),
                                           std::make_pair(4096, 1)));

TEST(BatchStream, DestructionWaitsForEveryChunk) {
    // Nothing consumed: the destructor still returns only when all work is done.
    std::atomic<std::size_t> items{0};
    {
        BatchStream stream(50000, 100, [&](std::size_t begin, std::size_t end) { items += end - begin; });
    }
    EXPECT_EQ(items.load(), 50000u);
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
