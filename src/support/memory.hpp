#pragma once
/// @file
/// Refusing, before allocating, a result that the machine cannot hold.
///
/// Where the size of a result is known before it is built (entry counts of a sparse
/// matrix, node counts, batch lengths, dof counts), the request is compared with the
/// memory the process can obtain at most: the machine's physical memory, or the limit
/// set on the process when one is set and lower (the address-space limit, RLIMIT_AS, on
/// POSIX systems; the job object's memory limit on Windows). A request above that
/// would only end in the kernel's out-of-memory killer, or in a failed allocation
/// halfway through; it is refused instead, with a message naming its size.

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace zorv {

/// A request for more memory than the process can obtain. It is a std::bad_alloc, so
/// whatever handles running out of memory handles it; `what()` names the request:
/// "Unable to allocate 34.4 GiB for 512,321,601 matrix entries of 72 bytes each: this
/// process can obtain at most 23.5 GiB".
class AllocationTooLarge : public std::bad_alloc {
public:
    AllocationTooLarge(std::size_t entries, std::size_t entry_size, const char* what_entries,
                       std::uint64_t obtainable);
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

/// The bytes the process can obtain at most: physical memory, or the limit set on the
/// process (see above) when one is set and lower.
std::uint64_t obtainable_memory() noexcept;

/// Throws AllocationTooLarge when `entries` of `entry_size` bytes each (`what_entries`
/// names them in the message, e.g. "matrix entries") exceed obtainable_memory().
/// Requests up to a few megabytes pass without asking the system.
void require_memory(std::size_t entries, std::size_t entry_size, const char* what_entries);

/// "1,234,567": a count with thousands separators.
std::string with_thousands_separators(std::uint64_t count);

/// "23.4 GiB": a byte count in the largest binary unit that keeps it at least 1.
std::string binary_size(double bytes);

}  // namespace zorv
