#include "support/platform.hpp"

#if defined(_WIN32)

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <bit>

namespace zorv::platform {

std::size_t affinity_processor_count() noexcept {
    // An affinity mask covers one processor group (64 processors at most); on a machine
    // with several groups the process's threads may run in any of them.
    if (GetActiveProcessorGroupCount() > 1) return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) return 0;
    return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process_mask)));
}

AsynchronousSignalsBlocked::AsynchronousSignalsBlocked() noexcept = default;
AsynchronousSignalsBlocked::~AsynchronousSignalsBlocked() = default;

bool run_in_child_after_fork(void (*)()) noexcept { return true; }

void sleep_for_good() noexcept {
    for (;;) Sleep(INFINITE);
}

std::optional<std::uint64_t> physical_memory() noexcept {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status) || status.ullTotalPhys == 0) return std::nullopt;
    return status.ullTotalPhys;
}

std::optional<std::uint64_t> memory_limit() noexcept {
    // A null handle asks about the job of the calling process; outside any job the
    // call fails, and no limit is set.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    if (!QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &limits, sizeof limits, nullptr)) {
        return std::nullopt;
    }
    std::optional<std::uint64_t> limit;
    const DWORD flags = limits.BasicLimitInformation.LimitFlags;
    if ((flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0) limit = limits.ProcessMemoryLimit;
    if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) != 0 && (!limit || limits.JobMemoryLimit < *limit)) {
        limit = limits.JobMemoryLimit;
    }
    return limit;
}

}  // namespace zorv::platform

#else  // POSIX

#include <cerrno>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#endif

namespace zorv::platform {

std::size_t affinity_processor_count() noexcept {
#if defined(__linux__)
    // CPU_COUNT of the mask, growing the mask while the kernel's is larger.
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
#endif
    return 0;
}

AsynchronousSignalsBlocked::AsynchronousSignalsBlocked() noexcept {
    sigset_t asynchronous;
    sigfillset(&asynchronous);
    for (const int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
        sigdelset(&asynchronous, synchronous);
    }
    pthread_sigmask(SIG_SETMASK, &asynchronous, &previous_);
}

AsynchronousSignalsBlocked::~AsynchronousSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

bool run_in_child_after_fork(void (*handler)()) noexcept { return pthread_atfork(nullptr, nullptr, handler) == 0; }

void sleep_for_good() noexcept {
    for (;;) pause();  // returns only after a signal handler ran
}

std::optional<std::uint64_t> physical_memory() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    std::uint64_t physical = 0;
    if (pages <= 0 || page_size <= 0 ||
        __builtin_mul_overflow(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size), &physical)) {
        return std::nullopt;
    }
    return physical;
}

std::optional<std::uint64_t> memory_limit() noexcept {
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) != 0 || address_space.rlim_cur == RLIM_INFINITY) return std::nullopt;
    return static_cast<std::uint64_t>(address_space.rlim_cur);
}

}  // namespace zorv::platform

#endif
