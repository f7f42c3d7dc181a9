#pragma once
/// @file
/// What the core (and the modules' interpreter layer) asks of the operating system, in
/// one place: the processors a thread may run on, the signal mask of the threads the
/// pool starts, the state a child made by fork() must reset, sleeping for good, and the
/// memory a process can obtain. platform.cpp holds one
/// implementation for POSIX systems and one for Windows; nothing else in the core
/// depends on the system.

#include <cstddef>
#include <cstdint>
#include <optional>

#if !defined(_WIN32)
#include <signal.h>
#endif

namespace zorv::platform {

/// Processors in the calling thread's affinity mask, or 0 where the system has no such
/// mask (or it cannot be read). Linux: sched_getaffinity. Windows: the process's
/// affinity mask, or every active processor when the machine has several processor
/// groups (a mask covers one group only). Other systems: 0.
std::size_t affinity_processor_count() noexcept;

/// While it lives, the calling thread blocks every asynchronous signal and no
/// synchronous one; the thread's own mask comes back exactly when it goes. Threads
/// started meanwhile inherit that mask: signals meant for the process are then
/// handled by the program's own threads, which expect them, never by a worker in the
/// middle of a chunk, while a fault raised by a worker's own instruction (SIGSEGV,
/// SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS) still reaches the crash handlers
/// (faulthandler, sanitizers, crash reporters). A blocked synchronous signal would
/// kill the process without calling any of them.
///
/// Windows has no signal masks (its C runtime's signals are raised on the thread that
/// caused them, or handled by a thread of their own): there it does nothing.
class AsynchronousSignalsBlocked {
public:
    AsynchronousSignalsBlocked() noexcept;
    ~AsynchronousSignalsBlocked();
    AsynchronousSignalsBlocked(const AsynchronousSignalsBlocked&) = delete;
    AsynchronousSignalsBlocked& operator=(const AsynchronousSignalsBlocked&) = delete;

private:
#if !defined(_WIN32)
    sigset_t previous_;
#endif
};

/// Has `handler` run in the child after every fork() of this process (pthread_atfork);
/// false when it could not be registered. Windows has no fork (a new process starts
/// with none of its parent's state): there it registers nothing and returns true.
bool run_in_child_after_fork(void (*handler)()) noexcept;

/// Blocks the calling thread forever, asleep (it uses no processor time).
[[noreturn]] void sleep_for_good() noexcept;

/// The machine's physical memory in bytes, if the system tells.
std::optional<std::uint64_t> physical_memory() noexcept;

/// The limit set on this process's memory, in bytes, if one is set. POSIX: the soft
/// address-space limit (RLIMIT_AS). Windows: the process or job memory limit (the lower)
/// of the job object the process belongs to, which bounds its committed memory.
std::optional<std::uint64_t> memory_limit() noexcept;

}  // namespace zorv::platform
