#include "support/memory.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "support/platform.hpp"

namespace zorv {

std::string with_thousands_separators(std::uint64_t count) {
    // Appended digit by digit: inserting the commas into the digits makes GCC 12 (-O3)
    // warn of an overlapping copy that cannot happen.
    const std::string digits = std::to_string(count);
    std::string grouped;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        if (at != 0 && (digits.size() - at) % 3 == 0) grouped += ',';
        grouped += digits[at];
    }
    return grouped;
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
    std::uint64_t limit = platform::physical_memory().value_or(std::numeric_limits<std::uint64_t>::max());
    if (const auto set = platform::memory_limit()) limit = std::min(limit, *set);
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
