#pragma once
/// @file
/// The one owning reference type for Python objects, and the one place that decides
/// whether the calling thread may touch Python objects at all.
///
/// `PyRef::steal` adopts a new reference, `PyRef::borrow` takes an extra one; the
/// destructor drops it. There is deliberately no implicit conversion to PyObject*:
/// `get()` lends the pointer, `release()` hands the reference over.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zorv::py {

namespace detail {
/// The thread state with which the interpreter called into zorv on this thread (the
/// innermost such call), or null outside any call. Read whenever a reference is
/// dropped, so it uses the initial-exec model: one load, no call (the C library keeps
/// room in every thread's static block for the few words that loaded libraries need).
inline thread_local PyThreadState* calling_thread_state [[gnu::tls_model("initial-exec")]] = nullptr;
}  // namespace detail

/// For the duration of one call from the interpreter (every entry point makes one,
/// with the interpreter lock held): records the calling thread's own thread state.
class CallingThread {
public:
    CallingThread() noexcept : previous_(detail::calling_thread_state) {
        detail::calling_thread_state = PyThreadState_Get();
    }
    ~CallingThread() { detail::calling_thread_state = previous_; }
    CallingThread(const CallingThread&) = delete;
    CallingThread& operator=(const CallingThread&) = delete;

private:
    PyThreadState* previous_;
};

/// Whether the calling thread holds the interpreter lock for the thread state it
/// entered zorv with, so that it may touch Python objects.
///
/// It does not when the thread is being ended by the unwind that CPython starts in a
/// daemon thread that takes the lock back while the interpreter finalises: that can
/// start anywhere in Python code below zorv's frames (in the caller's __float__
/// sleeping, for instance; zorv's own lock release parks such a thread instead), and
/// every frame it passes drops its references. The thread's
/// own state is compared with the current one: the current state belongs to this
/// thread only while it holds the lock (up to 3.11 it is the lock holder's, from 3.12
/// on the thread's own attached state). PyGILState_Check() cannot tell: up to 3.11
/// it answers yes on every thread once a sub-interpreter has existed.
/// Outside a call from the interpreter the caller holds the lock by contract.
inline bool may_touch_python() noexcept {
    PyThreadState* const own = detail::calling_thread_state;
#if PY_VERSION_HEX >= 0x030D0000
    return own == nullptr || PyThreadState_GetUnchecked() == own;
#else
    return own == nullptr || _PyThreadState_UncheckedGet() == own;
#endif
}

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    /// Drops the reference; on a thread that may no longer touch Python objects (see
    /// may_touch_python) the object is left to the exiting interpreter instead.
    ~PyRef() {
        if (object_ != nullptr && may_touch_python()) Py_DECREF(object_);
    }

    /// Adopts `object`, a new reference (or null).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    /// Shares `object`, a borrowed reference (or null).
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    /// Gives up ownership: the caller now owns the reference.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zorv::py
