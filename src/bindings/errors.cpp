#include "bindings/errors.hpp"

#include "bindings/runtime_cache.hpp"
#include "support/memory.hpp"
#include "support/stop.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string_view>

namespace zorv::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when zorv's native code stops on an internal failure.\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that it "
    "usually propagates all the way up and ends the interpreter.";

constexpr const char* kStopWithoutMessage = "zorv's native code stopped without a message";

/// Keeps the path below "src/" so the diagnostic does not show the build machine's tree.
std::string_view short_path(const char* file) {
    std::string_view path = file;
    if (const auto at = path.rfind("src/"); at != std::string_view::npos) path.remove_prefix(at);
    return path;
}

/// Writes the standard-error diagnostic of a stop: thread, source location, message.
void write_stop_diagnostic(const Stop& stop) {
    const auto& where = stop.where();
    const std::string_view file = short_path(where.file_name());
    std::fprintf(stderr, "thread %lu stopped at %.*s:%u:%u:\n%s\n",
                 PyThread_get_thread_ident(), static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 stop.message().c_str());
    std::fflush(stderr);
}

void raise_panic(const Stop& stop) {
    if (!stop.diagnosed()) write_stop_diagnostic(stop);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // its creation failed: that error stays pending
    PyRef message = PyRef::steal(
        PyUnicode_FromStringAndSize(stop.message().data(), static_cast<Py_ssize_t>(stop.message().size())));
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

/// A PanicException raised by the caller's own Python code: tell standard error,
/// print its traceback, and go on as a stop with the same message.
[[noreturn]] void resume_panic(PythonError&& error) {
    PyRef text = PyRef::steal(gateway::text(error.value()));
    std::string message = kStopWithoutMessage;
    if (text) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
            message.assign(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    std::fputs("--- zorv is resuming a stop after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    // Only printed: PyErr_Print would also act on it, and end the process for an
    // exception that is a SystemExit too.
    error.display();
    PyErr_Clear();
    throw Stop(std::move(message), std::source_location::current(), /*diagnosed=*/true);
}

}  // namespace

PythonError PythonError::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    return PythonError(PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback));
}

void PythonError::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void PythonError::display() const {
    gateway::display(type_.get(), value_.get(), traceback_.get());
}

bool PythonError::matches(PyObject* type) const {
    return type != nullptr && PyErr_GivenExceptionMatches(type_.get(), type);
}

bool PythonError::is_exactly(PyObject* type) const { return type_.get() == type; }

void throw_pending() { throw PythonError::fetch(); }

void throw_error(PyObject* type, std::string_view message) {
    PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) throw_pending();
    PyErr_SetObject(type, text.get());
    throw_pending();
}

std::string qualified_type_name(PyTypeObject* type) {
    PyRef name = PyRef::steal(gateway::attribute(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(utf8, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void throw_cast_error(PyObject* object, std::string_view target) {
    std::string message = "'";
    message += qualified_type_name(Py_TYPE(object));
    message += "' object cannot be cast as '";
    message += target;
    message += "'";
    throw_error(PyExc_TypeError, message);
}

void set_cause(PyObject* error, PyObject* cause) {
    Py_XINCREF(cause);
    PyException_SetCause(error, cause);  // steals the reference to cause
}

void rethrow_for_argument(PythonError&& error, const char* name) {
    if (error.matches(panic_exception_type())) resume_panic(std::move(error));
    if (!error.is_exactly(PyExc_TypeError)) throw std::move(error);

    PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, error.value()));
    if (!message) throw_pending();
    PyRef rewrapped = PyRef::steal(gateway::call_one(PyExc_TypeError, message.get()));
    if (!rewrapped) throw_pending();
    PyRef cause = PyRef::steal(PyException_GetCause(error.value()));
    if (cause) set_cause(rewrapped.get(), cause.get());
    PyErr_SetObject(PyExc_TypeError, rewrapped.get());
    throw_pending();
}

PyObject* panic_exception_type() {
    static RuntimeCache<PyObject> type;  // created once per runtime, with the interpreter lock held; never freed
    if (type.get() == nullptr) {
        type.set(PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
    }
    return type.get();
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (PythonError& error) {
        std::move(error).restore();
    } catch (const Stop& stop) {
        raise_panic(stop);
    } catch (const CountOverflow& overflow) {
        PyErr_SetString(PyExc_OverflowError, overflow.what());
    } catch (const AllocationTooLarge& refusal) {
        PyErr_SetString(PyExc_MemoryError, refusal.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more elements than it can ever hold: out of memory too.
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        const char* text = failure.what();
        raise_panic(Stop(text != nullptr && *text != '\0' ? text : kStopWithoutMessage,
                         std::source_location::current()));
    } catch (...) {
        raise_panic(Stop(kStopWithoutMessage, std::source_location::current()));
    }
}

}  // namespace zorv::py
