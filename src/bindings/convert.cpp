#include "bindings/convert.hpp"

#include "bindings/runtime_cache.hpp"

#include <algorithm>
#include <cassert>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

namespace zorv::py {

namespace {

/// True when `object` is a str whose text equals `text`.
bool text_equals(PyObject* object, const char* text) {
    return object != nullptr && PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, text) == 0;
}

/// NumPy's boolean scalar type, recognised by its module and name so that NumPy
/// need not be imported (or even installed).
bool is_numpy_bool_type(PyTypeObject* type) {
    PyObject* type_object = reinterpret_cast<PyObject*>(type);
    PyRef module = PyRef::steal(gateway::attribute(type_object, "__module__"));
    PyRef name = module ? PyRef::steal(gateway::attribute(type_object, "__name__")) : PyRef();
    PyErr_Clear();
    return text_equals(module.get(), "numpy") &&
           (text_equals(name.get(), "bool_") || text_equals(name.get(), "bool"));
}

/// itemsize times the product of the shape: the bytes that the view describes, or
/// -1 when its dimensions are negative or the product does not fit.
Py_ssize_t shape_bytes(const Py_buffer& view) {
    if (view.ndim < 0) return -1;
    Py_ssize_t bytes = view.itemsize;
    for (int i = 0; i < view.ndim; ++i) {
        if (view.shape[i] < 0 || __builtin_mul_overflow(bytes, view.shape[i], &bytes)) return -1;
    }
    return bytes;
}

/// Whether `type` is exactly NumPy's ndarray, recognised without importing NumPy: the
/// type named "numpy.ndarray" that the loaded numpy module exports under that name.
/// Once found it is kept, with a reference, for the interpreter runtime (which keeps
/// the meaning of its address); runs with the interpreter lock held.
bool is_numpy_array_type(PyTypeObject* type) {
    static RuntimeCache<PyTypeObject> known;
    if (std::strcmp(type->tp_name, "numpy.ndarray") != 0) return false;
    if (const PyTypeObject* found = known.get()) return type == found;
    const PyRef name = PyRef::steal(PyUnicode_FromString("numpy"));
    const PyRef numpy = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    const PyRef exported = numpy ? PyRef::steal(gateway::attribute(numpy.get(), "ndarray")) : PyRef();
    PyErr_Clear();
    if (exported.get() != reinterpret_cast<PyObject*>(type)) return false;
    known.set(reinterpret_cast<PyTypeObject*>(PyRef(exported).release()));
    return true;
}

/// The items of a one-dimensional NumPy array of native doubles (any stride), read
/// from its memory. Iterating such an array runs no Python code and each item
/// converts to exactly the double stored, so this is the item-by-item result. Gives
/// nothing, and leaves no exception, for any other array: those convert item by item.
std::optional<std::vector<double>> copy_double_array(PyObject* array) {
    std::optional<BufferView> held;
    try {
        held.emplace(array, PyBUF_RECORDS_RO);
    } catch (const PythonError&) {
        return std::nullopt;  // no buffer for this dtype: its items will tell what they are
    }
    const Py_buffer& view = held->get();
    if (view.ndim != 1 || view.itemsize != sizeof(double) || !is_native_double_format(view.format) ||
        view.suboffsets != nullptr) {
        return std::nullopt;
    }
    const auto count = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides[0];
    const auto* first = static_cast<const char*>(view.buf);
    std::vector<double> values;
    if (stride == sizeof(double) && reinterpret_cast<std::uintptr_t>(first) % alignof(double) == 0) {
        const auto* items = reinterpret_cast<const double*>(first);
        values.assign(items, items + count);
        return values;
    }
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {  // also reversed, and unaligned data
        double item;
        std::memcpy(&item, first + static_cast<Py_ssize_t>(i) * stride, sizeof item);
        values.push_back(item);
    }
    return values;
}

}  // namespace

std::size_t to_count(PyObject* object) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(gateway::index(object));
        if (!index) throw_pending();
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    if constexpr (sizeof(std::size_t) < sizeof(unsigned long long)) {
        if (value > SIZE_MAX) throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::size_t>(value);
}

double to_float(PyObject* object) {
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = gateway::to_double(object);
    if (value == -1.0 && PyErr_Occurred()) throw_pending();
    return value;
}

bool to_flag(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;  // bool cannot be subclassed
    PyTypeObject* type = Py_TYPE(object);
    if (is_numpy_bool_type(type)) {
        const inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
        if (truth == nullptr) {
            throw_error(PyExc_TypeError, "object of type '" + qualified_type_name(type) +
                                             "' does not define a '__bool__' conversion");
        }
        switch (into_python([=] { return truth(object); })) {
            case 0: return false;
            case 1: return true;
            default: throw_pending();
        }
    }
    throw_cast_error(object, "bool");
}

std::vector<double> to_float_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) throw_cast_error(object, "Sequence");
    if (is_numpy_array_type(Py_TYPE(object))) {
        if (std::optional<std::vector<double>> values = copy_double_array(object)) return std::move(*values);
    }

    std::vector<double> values;
    const Py_ssize_t length = gateway::size(object);
    if (length < 0) PyErr_Clear();  // no usable length: grow as we go

    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        values.reserve(static_cast<std::size_t>(length));  // the items exist: the length is true
        // Index loop with the size re-read each step, as the list iterator does: an
        // item's __float__ may change the list. The item is held while it converts;
        // an exact float is read at once (that runs no code), so it needs no hold.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
            PyObject* const item = PySequence_Fast_GET_ITEM(object, i);
            if (PyFloat_CheckExact(item)) {
                values.push_back(PyFloat_AS_DOUBLE(item));
                continue;
            }
            const PyRef held = PyRef::borrow(item);
            values.push_back(to_float(held.get()));
        }
        return values;
    }
    // Any other sequence's length is only a hint (__len__ may claim what iteration
    // never yields, even more than memory holds): it sizes the first allocation up to
    // a bound, and the vector grows past that as items come.
    constexpr Py_ssize_t kLengthHintLimit = Py_ssize_t{1} << 16;
    if (length > 0) values.reserve(static_cast<std::size_t>(std::min(length, kLengthHintLimit)));
    const PyRef iterator = PyRef::steal(gateway::iterator(object));
    if (!iterator) throw_pending();
    while (const PyRef item = PyRef::steal(gateway::next(iterator.get()))) {
        values.push_back(to_float(item.get()));
    }
    if (PyErr_Occurred()) throw_pending();
    return values;
}

bool is_native_double_format(const char* format) {
    const std::string_view text = format != nullptr ? format : "B";
    if (text == "d") return true;
    if (text.size() != 2 || text[1] != 'd') return false;
    const char order = text[0];
    return order == '@' || order == '=' || (order == '<' && std::endian::native == std::endian::little);
}

FloatBuffer::FloatBuffer(PyObject* object) : view_(object, PyBUF_FULL_RO) {
    const Py_buffer& view = view_.get();
    if (view.shape == nullptr) throw_error(PyExc_BufferError, "shape is null");
    if (view.strides == nullptr) throw_error(PyExc_BufferError, "strides is null");
    // A shape of no dimensions describes one scalar, not an array of times (and the
    // interpreter's copy routine requires at least one dimension).
    if (view.ndim == 0) throw_error(PyExc_BufferError, "buffer has no dimensions");
    if (view.itemsize != sizeof(double) || !is_native_double_format(view.format)) {
        throw_error(PyExc_BufferError, "buffer contents are not compatible with f64");
    }
    // An empty buffer has no item to misread: exporters lend it any address (an
    // empty array.array points at a shared byte), so it is not refused for that.
    if (view.len != 0 && reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) != 0) {
        throw_error(PyExc_BufferError, "buffer contents are insufficiently aligned for f64");
    }
    // The copy writes every item that the shape describes; an exporter whose length
    // says otherwise breaks the buffer contract, and is refused before anything is
    // written, so that the copy stays inside what was allocated for it.
    if (view.len != shape_bytes(view)) throw_error(PyExc_BufferError, "buffer length does not match its shape");
    size_ = static_cast<std::size_t>(view.len) / sizeof(double);
}

void FloatBuffer::copy_to(std::span<double> out) const {
    assert(out.size() == size_);
    const Py_buffer& view = view_.get();
    // Python 3.9 and 3.10 declare the source view non-const; the copy only reads it.
    if (PyBuffer_ToContiguous(out.data(), const_cast<Py_buffer*>(&view), view.len, 'C') != 0) throw_pending();
}

PyRef make_float(double value) {
    PyRef result = PyRef::steal(PyFloat_FromDouble(value));
    if (!result) throw_pending();
    return result;
}

// A list's item slot is a pointer; the slots double as scratch doubles.
static_assert(sizeof(PyObject*) == sizeof(double), "a list slot must hold a double");

FloatListBuilder::FloatListBuilder(std::size_t size)
    : list_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)))), size_(size), doubles_from_(size) {
    if (!list_) throw_pending();
    // No Python code has run since the list was made (it is tracked last, after any
    // collection its allocation caused), so nobody has seen it yet.
    PyObject_GC_UnTrack(list_.get());
}

FloatListBuilder::~FloatListBuilder() {
    if (!list_) return;
    // A thread being ended while it does not hold the interpreter lock must not
    // touch the list: it is left to the exiting process.
    if (!may_touch_python()) {
        static_cast<void>(list_.release());
        return;
    }
    // An unfinished list goes with the items made so far; slots that still hold
    // doubles are emptied first (a list may be freed untracked and with empty slots).
    PyObject** slots = PySequence_Fast_ITEMS(list_.get());
    std::fill(slots + doubles_from_, slots + size_, nullptr);
}

std::span<double> FloatListBuilder::slots_as_doubles() noexcept {
    doubles_from_ = 0;
    if (size_ == 0) return {};
    return {reinterpret_cast<double*>(PySequence_Fast_ITEMS(list_.get())), size_};
}

void FloatListBuilder::fill_in_place(std::size_t begin, std::size_t end) {
    assert(begin == doubles_from_ && end <= size_);
    PyObject** slots = PySequence_Fast_ITEMS(list_.get());
    for (std::size_t i = begin; i < end; ++i) {
        double value;
        std::memcpy(&value, &slots[i], sizeof value);
        PyObject* item = PyFloat_FromDouble(value);
        if (item == nullptr) throw_pending();  // the destructor empties slots i and on
        slots[i] = item;
        doubles_from_ = i + 1;
    }
}

PyRef FloatListBuilder::finish() && {
    assert(doubles_from_ == size_);
    PyObject_GC_Track(list_.get());
    return std::move(list_);
}

PyRef make_float_list(std::span<const double> values) {
    FloatListBuilder builder(values.size());
    std::ranges::copy(values, builder.slots_as_doubles().begin());
    builder.fill_in_place(0, values.size());
    return std::move(builder).finish();
}

PyRef make_text(std::string_view text) {
    PyRef result = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!result) throw_pending();
    return result;
}

namespace {

/// A list in which items of equal value share one object: a triplet list repeats
/// few distinct values many times (each row index once per entry of its row, each
/// weight once per element), and making one object per value instead of one per
/// item is most of the cost of the list. Items stay equal to what a fresh object
/// per item would give; only their identity is shared.
///
/// `key(i)` identifies the value of item i exactly; `make(i)` makes its object.
/// Keys below `table_size` are remembered in a table indexed by the key, others
/// in a small direct-mapped cache. Remembered objects are borrowed from the list.
template <class Key, class Make>
PyRef make_sharing_list(std::size_t size, std::size_t table_size, Key key, Make make) {
    constexpr std::size_t kCacheSlots = 4096;
    struct Slot {
        std::uint64_t key = 0;
        PyObject* object = nullptr;
    };
    std::vector<Slot> slots(table_size != 0 ? table_size : kCacheSlots);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) throw_pending();
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t item_key = key(i);
        // Fibonacci hashing spreads the bit patterns of doubles over the cache.
        Slot& slot = table_size != 0 ? slots[item_key]
                                     : slots[(item_key * 0x9E3779B97F4A7C15ULL) >> 52];
        PyObject* item = nullptr;
        if (slot.object != nullptr && slot.key == item_key) {
            item = slot.object;
            Py_INCREF(item);
        } else {
            item = make(i);
            if (item == nullptr) throw_pending();
            slot = Slot{item_key, item};
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyRef make_sharing_count_list(std::span<const std::size_t> values) {
    // Indices of a matrix are below its size, which is at most the entry count for
    // the matrices built here; otherwise fall back to the cache.
    const std::size_t largest = values.empty() ? 0 : *std::max_element(values.begin(), values.end());
    const std::size_t table_size = largest < values.size() ? largest + 1 : 0;
    return make_sharing_list(
        values.size(), table_size, [&](std::size_t i) { return static_cast<std::uint64_t>(values[i]); },
        [&](std::size_t i) { return PyLong_FromSize_t(values[i]); });
}

PyRef make_sharing_float_list(std::span<const double> values) {
    return make_sharing_list(
        values.size(), 0, [&](std::size_t i) { return std::bit_cast<std::uint64_t>(values[i]); },
        [&](std::size_t i) { return PyFloat_FromDouble(values[i]); });
}

}  // namespace

PyRef make_triplet_tuple(std::span<const std::size_t> rows, std::span<const std::size_t> cols,
                         std::span<const double> values) {
    PyRef row_list = make_sharing_count_list(rows);
    PyRef col_list = make_sharing_count_list(cols);
    PyRef value_list = make_sharing_float_list(values);
    PyRef tuple = PyRef::steal(PyTuple_Pack(3, row_list.get(), col_list.get(), value_list.get()));
    if (!tuple) throw_pending();
    return tuple;
}

PyRef none() { return PyRef::borrow(Py_None); }

}  // namespace zorv::py
