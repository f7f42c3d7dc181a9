#include "bindings/classes.hpp"

#include <array>
#include <string>

namespace zorv::py {

PyTypeObject* create_class(const ClassDescription& description) {
    std::array<PyType_Slot, 6> slots{};
    std::size_t count = 0;
    if (description.doc != nullptr && description.doc[0] != '\0') {
        slots[count++] = {Py_tp_doc, const_cast<char*>(description.doc)};
    }
    slots[count++] = {Py_tp_base, &PyBaseObject_Type};
    slots[count++] = {Py_tp_methods, description.methods};
    slots[count++] = {Py_tp_new, reinterpret_cast<void*>(description.create)};
    slots[count++] = {Py_tp_dealloc, reinterpret_cast<void*>(description.teardown)};
    slots[count] = {0, nullptr};

    PyType_Spec spec{description.spec_name, static_cast<int>(description.instance_size), 0, Py_TPFLAGS_DEFAULT,
                     slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);

    PythonError cause = PythonError::fetch();
    const std::string message = std::string("An error occurred while initializing class ") + description.name;
    const PyRef text = PyRef::steal(PyUnicode_FromString(message.c_str()));
    if (!text) throw_pending();
    PyRef error = PyRef::steal(gateway::call_one(PyExc_RuntimeError, text.get()));
    if (!error) throw_pending();
    set_cause(error.get(), cause.value());
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw_pending();
}

}  // namespace zorv::py
