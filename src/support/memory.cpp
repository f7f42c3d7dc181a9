#include "support/memory.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <sys/resource.h>
#include <unistd.h>

namespace zorv {

std::string with_thousands_separators(std::uint64_t count) {
    std::string digits = std::to_string(count);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
    return digits;
}

std::string binary_size(double bytes) {
    constexpr std::array<const char*, 7> units{"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < units.size()) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[64];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%.0f bytes", bytes);
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    }
    return text;
}

AllocationTooLarge::AllocationTooLarge(std::size_t entries, std::size_t entry_size, const char* what_entries,
                                       std::uint64_t obtainable) {
    // In floating point: the product itself may not fit 64 bits.
    const double bytes = static_cast<double>(entries) * static_cast<double>(entry_size);
    message_ = "Unable to allocate " + binary_size(bytes) + " for " + with_thousands_separators(entries) + " " +
               what_entries + " of " + std::to_string(entry_size) + " bytes each: this process can obtain at most " +
               binary_size(static_cast<double>(obtainable));
}

std::uint64_t obtainable_memory() noexcept {
    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) {
        std::uint64_t physical = 0;
        if (!__builtin_mul_overflow(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size),
                                    &physical)) {
            limit = physical;
        }
    }
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
        limit = std::min<std::uint64_t>(limit, address_space.rlim_cur);
    }
    return limit;
}

void require_memory(std::size_t entries, std::size_t entry_size, const char* what_entries) {
    // Below this nothing is asked of the system: no machine that runs this has less.
    constexpr std::uint64_t always_obtainable = std::uint64_t{16} << 20;
    std::uint64_t bytes = 0;
    const bool overflows = __builtin_mul_overflow(static_cast<std::uint64_t>(entries),
                                                  static_cast<std::uint64_t>(entry_size), &bytes);
    if (!overflows && bytes <= always_obtainable) return;
    const std::uint64_t obtainable = obtainable_memory();
    if (overflows || bytes > obtainable) throw AllocationTooLarge(entries, entry_size, what_entries, obtainable);
}

}  // namespace zorv
