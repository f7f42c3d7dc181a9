#pragma once
/// @file
/// The failure type of the numerical core.
///
/// A *stop* ends a whole operation with a fixed English message and no partial
/// result. The core throws it; the binding layer reports it to Python as
/// `PanicException` carrying the message. Other failures the core can raise:
///   - `CountOverflow` (a std::overflow_error): a node or entry count that does
///     not fit a machine word; reported to Python as OverflowError;
///   - `std::bad_alloc`: memory could not be obtained; reported as MemoryError.

#include <cstddef>
#include <limits>
#include <new>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

// clang before 16 lacks the built-in that libstdc++'s std::source_location needs: say so
// instead of failing on every use below.
#if !defined(__cpp_lib_source_location)
#error "zorv needs std::source_location (C++20): GCC 12 or later, or clang 16 or later"
#endif

namespace zorv {

class Stop : public std::exception {
public:
    /// @param message       the text the caller sees.
    /// @param where         source location for the standard-error diagnostic.
    /// @param diagnosed     true when the diagnostic has already been written
    ///                      (a stop resumed from a Python-side PanicException).
    Stop(std::string message, std::source_location where, bool diagnosed = false)
        : message_(std::move(message)), where_(where), diagnosed_(diagnosed) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    bool diagnosed() const noexcept { return diagnosed_; }

private:
    std::string message_;
    std::source_location where_;
    bool diagnosed_;
};

/// A count (nodes, entries) that does not fit the machine word.
class CountOverflow : public std::overflow_error {
public:
    using std::overflow_error::overflow_error;
};

/// Throws a Stop with `message`, recording the caller's source location.
[[noreturn]] inline void stop(std::string message,
                              std::source_location where = std::source_location::current()) {
    throw Stop(std::move(message), where);
}

/// The three-line form used wherever two counts must agree:
/// "assertion `left == right` failed: <what>\n  left: <left>\n right: <right>".
inline std::string assert_eq_message(std::string_view what, std::size_t left, std::size_t right) {
    std::string text = "assertion `left == right` failed: ";
    text.append(what);
    text.append("\n  left: ").append(std::to_string(left));
    text.append("\n right: ").append(std::to_string(right));
    return text;
}

/// Stops with "capacity overflow" when `count` items of `item_size` bytes exceed
/// the largest allocatable size (PTRDIFF_MAX bytes), as a vector would refuse them.
inline void check_capacity(std::size_t count, std::size_t item_size,
                           std::source_location where = std::source_location::current()) {
    constexpr auto max_bytes = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (item_size != 0 && count > max_bytes / item_size) {
        throw Stop("capacity overflow", where);
    }
}

/// Throws std::bad_alloc (reported as MemoryError) when `count` items of `item_size`
/// bytes exceed the largest allocatable size: for results whose size the caller
/// chose, where running out of memory is the honest report.
inline void require_allocatable(std::size_t count, std::size_t item_size) {
    constexpr auto max_bytes = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (item_size != 0 && count > max_bytes / item_size) throw std::bad_alloc();
}

/// a * b, or a "capacity overflow" stop when the product does not fit a size_t.
inline std::size_t mul_or_capacity_stop(std::size_t a, std::size_t b,
                                        std::source_location where = std::source_location::current()) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        throw Stop("capacity overflow", where);
    }
    return product;
}

}  // namespace zorv
