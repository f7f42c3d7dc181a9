#include "support/memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace zorv {
namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

TEST(BinarySize, StaysInExbibytesUpToTheLargestRequests) {
    const double exbibyte = 0x1p60;
    EXPECT_EQ(binary_size(exbibyte), "1.0 EiB");
    EXPECT_EQ(binary_size(1.5 * exbibyte), "1.5 EiB");
    EXPECT_EQ(binary_size(static_cast<double>(std::numeric_limits<std::uint64_t>::max())), "16.0 EiB");
    EXPECT_EQ(binary_size(0x1p70), "1024.0 EiB");  // a product that overflowed 64 bits
    EXPECT_EQ(binary_size(exbibyte / 1024.0 * 1000.0), "1000.0 PiB");
    // Commas between groups of three digits, none before the first.
    for (const auto& [count, grouped] : {std::pair<std::uint64_t, const char*>{0, "0"}, {999, "999"}, {1000, "1,000"},
                                         {512321601, "512,321,601"}}) {
        EXPECT_EQ(with_thousands_separators(count), grouped);
    }
    // The request that overflows a machine word names its size and count in full.
    try {
        require_memory(std::numeric_limits<std::size_t>::max(), 8, "values");
        ADD_FAILURE() << "a request of 2^67 bytes passed";
    } catch (const AllocationTooLarge& refusal) {
        EXPECT_EQ(std::string(refusal.what()).rfind(
                      "Unable to allocate 128.0 EiB for 18,446,744,073,709,551,615 values of 8 bytes each: this "
                      "process can obtain at most ", 0), 0u) << refusal.what();
    }
}

#if !defined(_WIN32)
/// The process's mapped bytes (VmSize), if the system tells.
std::optional<std::uint64_t> mapped_bytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7)) * 1024;
    }
    return std::nullopt;
}

TEST(RequireMemory, RefusesWhatExceedsAnAddressSpaceLimitBelowPhysicalMemory) {
    const std::uint64_t physical =
        static_cast<std::uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::optional<std::uint64_t> mapped = mapped_bytes();
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &original), 0);
    // A limit above physical memory leaves physical memory the bound.
    if (original.rlim_max == RLIM_INFINITY || original.rlim_max >= 2 * physical) {
        rlimit raised = original;
        raised.rlim_cur = 2 * physical;
        ASSERT_EQ(setrlimit(RLIMIT_AS, &raised), 0);
        const std::uint64_t above = obtainable_memory();
        ASSERT_EQ(setrlimit(RLIMIT_AS, &original), 0);
        EXPECT_EQ(above, physical);
    }
    // A limit with room for this test, between what is mapped and physical memory
    // (sanitizers reserve terabytes of address space: no such limit exists there).
    if (!mapped || *mapped + 2 * kGiB >= physical / 2) {
        GTEST_SKIP() << "no address-space limit fits below physical memory";
    }
    const std::uint64_t limit = *mapped + 2 * kGiB;
    if (original.rlim_max != RLIM_INFINITY && original.rlim_max < limit) GTEST_SKIP() << "the hard limit is lower";
    const std::uint64_t between = (limit + physical) / 2;

    rlimit lowered = original;
    lowered.rlim_cur = limit;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &lowered), 0);
    const std::uint64_t obtainable = obtainable_memory();
    std::string refusal = "none";
    try {
        require_memory(between / 8, 8, "values");
    } catch (const AllocationTooLarge& error) {
        refusal = error.what();
    }
    bool below_passes = true;
    try {
        require_memory(limit / 16, 8, "values");
        require_memory(limit / 8, 8, "values");  // exactly the limit (a multiple of 1 KiB)
    } catch (const AllocationTooLarge&) {
        below_passes = false;
    }
    ASSERT_EQ(setrlimit(RLIMIT_AS, &original), 0);

    EXPECT_EQ(obtainable, limit);
    EXPECT_TRUE(below_passes);
    const std::string tail = "this process can obtain at most " + binary_size(static_cast<double>(limit));
    const std::string head = "Unable to allocate " + binary_size(static_cast<double>(between / 8 * 8));
    EXPECT_EQ(refusal.rfind(head, 0), 0u) << refusal;
    EXPECT_EQ(refusal.substr(refusal.size() - std::min(refusal.size(), tail.size())), tail) << refusal;
    EXPECT_EQ(obtainable_memory(),
              original.rlim_cur == RLIM_INFINITY ? physical : std::min<std::uint64_t>(physical, original.rlim_cur));
}

#else

/// Sets the memory limits of `job`; false if that fails.
bool set_memory_limits(HANDLE job, DWORD flags, std::uint64_t process_limit, std::uint64_t job_limit) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = flags;
    limits.ProcessMemoryLimit = process_limit;
    limits.JobMemoryLimit = job_limit;
    return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

/// In a process of its own (a process never leaves its job): a process memory limit above
/// physical memory leaves physical memory the bound; a lower one, or a job memory limit
/// lower still, bounds what the process can obtain, and a request above it is refused.
[[noreturn]] void obtainable_under_job_memory_limits() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (!GlobalMemoryStatusEx(&status) || job == nullptr) std::_Exit(2);
    const std::uint64_t physical = status.ullTotalPhys;
    const std::uint64_t limit = physical / 4;
    if (!set_memory_limits(job, JOB_OBJECT_LIMIT_PROCESS_MEMORY, 2 * physical, 0) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        std::_Exit(3);
    }
    if (obtainable_memory() != physical) std::_Exit(4);
    if (!set_memory_limits(job, JOB_OBJECT_LIMIT_PROCESS_MEMORY, limit, 0)) std::_Exit(3);
    if (obtainable_memory() != limit) std::_Exit(5);
    if (!set_memory_limits(job, JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_JOB_MEMORY, limit, limit / 2)) {
        std::_Exit(3);
    }
    if (obtainable_memory() != limit / 2) std::_Exit(6);
    try {
        require_memory(limit / 8, 4, "values");  // exactly the job's limit
    } catch (const AllocationTooLarge&) {
        std::_Exit(7);
    }
    try {
        require_memory(limit / 8 + 1, 4, "values");
    } catch (const AllocationTooLarge&) {
        std::_Exit(0);
    }
    std::_Exit(8);
}

TEST(RequireMemoryDeathTest, RefusesWhatExceedsTheJobsMemoryLimit) {
    // wine accepts a job's limits but keeps none of them (a query finds no limit set).
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        GTEST_SKIP() << "wine keeps no job memory limit";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(obtainable_under_job_memory_limits(), ::testing::ExitedWithCode(0), "");
}

#endif

}  // namespace
}  // namespace zorv
