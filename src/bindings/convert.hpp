#pragma once
/// @file
/// Conversions between Python objects and the core's plain values.
///
/// In: count (size_t), float (double), flag (bool), float sequence and float buffer
/// (std::vector<double>). Each throws PythonError on failure; `argument()` applies
/// the argument-error rule for a named parameter.
/// Out: float, float list, text, triplet tuple (count lists and a float list), None.

#include "bindings/errors.hpp"

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace zorv::py {

/// Any int (or subclass) in [0, SIZE_MAX], or an object with __index__.
std::size_t to_count(PyObject* object);
/// A float (read directly when exact), or anything with __float__ or __index__.
double to_float(PyObject* object);
/// True/False, or a NumPy boolean scalar; everything else is a cast error to 'bool'.
bool to_flag(PyObject* object);
/// Any sequence but str: every item converted as a float, in iteration order. A
/// one-dimensional NumPy array of native doubles is read from its memory instead,
/// with the same result.
std::vector<double> to_float_sequence(PyObject* object);

/// A buffer view of an object, released when this is destroyed.
class BufferView {
public:
    /// Requests the view with `flags` (PyBUF_...); throws the exporter's error.
    BufferView(PyObject* object, int flags) {
        if (gateway::get_buffer(object, &view_, flags) != 0) throw_pending();
    }
    // A thread being ended while it does not hold the interpreter lock cannot
    // release anything: the view is left to the exiting process.
    ~BufferView() {
        if (may_touch_python()) gateway::release_buffer(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
};

/// A float-buffer argument: the exporter's view, checked for 8-byte native doubles
/// and held until destruction (so it stays exported while a computation runs).
class FloatBuffer {
public:
    explicit FloatBuffer(PyObject* object);

    /// The number of items, of all dimensions together.
    std::size_t size() const noexcept { return size_; }
    /// Copies every item into `out` (size() doubles) in row-major (C) order.
    void copy_to(std::span<double> out) const;

private:
    BufferView view_;
    std::size_t size_ = 0;
};

/// Whether a buffer's format text describes one native double: "d", "@d", "=d" or "<d"
/// (the last only on little-endian machines). A missing format counts as "B".
bool is_native_double_format(const char* format);

/// Converts argument `name` with `convert(object)`. A TypeError from the conversion
/// becomes "argument '<name>': ..." (see rethrow_for_argument).
template <class Convert>
auto argument(const char* name, PyObject* object, Convert&& convert) -> decltype(convert(object)) {
    try {
        return convert(object);
    } catch (PythonError& error) {
        rethrow_for_argument(std::move(error), name);
    }
}

/// Same, for a parameter with a default: an omitted argument (null) gives `fallback`.
template <class Convert, class T>
auto optional_argument(const char* name, PyObject* object, Convert&& convert, T fallback)
    -> decltype(convert(object)) {
    if (object == nullptr) return fallback;
    return argument(name, object, std::forward<Convert>(convert));
}

/// A float list of a known final length, whose values are first written as doubles
/// into its own item slots and then turned into float items in place, in pieces
/// (with the interpreter lock released in between) before it is handed out. Until `finish`, the list is
/// not tracked by the cyclic collector and nothing refers to it, so no Python code
/// (not even one walking gc.get_objects()) can meet its unfilled items.
class FloatListBuilder {
public:
    explicit FloatListBuilder(std::size_t size);
    ~FloatListBuilder();
    FloatListBuilder(const FloatListBuilder&) = delete;
    FloatListBuilder& operator=(const FloatListBuilder&) = delete;

    /// The list's item slots seen as `size` doubles: scratch space for the values
    /// of the list, which `fill_in_place` then turns into its items. It spares a
    /// batch a separate array (memory, and the time to fault it in).
    std::span<double> slots_as_doubles() noexcept;
    /// Slots [begin, end), holding doubles written through slots_as_doubles(), become
    /// float items of those values; ranges come in ascending order from slot 0.
    void fill_in_place(std::size_t begin, std::size_t end);

    /// The finished list (every item must have been filled), now tracked.
    PyRef finish() &&;

private:
    PyRef list_;
    std::size_t size_;
    /// Slots from here on hold doubles, not objects (size_ when none do).
    std::size_t doubles_from_;
};

PyRef make_float(double value);
PyRef make_float_list(std::span<const double> values);
PyRef make_text(std::string_view text);
/// (row indices, column indices, values): two count lists and a float list.
PyRef make_triplet_tuple(std::span<const std::size_t> rows, std::span<const std::size_t> cols,
                         std::span<const double> values);
PyRef none();

}  // namespace zorv::py
