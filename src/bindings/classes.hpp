#pragma once
/// @file
/// The machinery shared by the two Python classes: heap-type creation, the
/// instance layout (object header, hold counter, C++ payload), allocation,
/// teardown and the receiver check; and the accessors of the two type objects.

#include "bindings/guards.hpp"
#include "bindings/runtime_cache.hpp"

#include <new>
#include <string>
#include <utility>

namespace zorv::py {

/// The type objects, created on first need and kept for the life of the interpreter
/// runtime (see runtime_cache.hpp).
/// A failed creation throws RuntimeError "An error occurred while initializing class
/// <Name>" (its __cause__ the reason) and is retried on the next need.
PyTypeObject* legendre_basis_type();
PyTypeObject* legendre_basis_evaluator_type();

/// What describes one class.
struct ClassDescription {
    const char* name;       ///< "LegendreBasis"
    const char* spec_name;  ///< "builtins.LegendreBasis": the class is not tied to the module
    const char* doc;        ///< signature text, "--", optional docstring
    PyMethodDef* methods;
    newfunc create;
    destructor teardown;
    std::size_t instance_size;
};

/// Creates a heap type: not subclassable, no instance dict, no weak references,
/// not tracked by the cyclic collector, mutable type object.
PyTypeObject* create_class(const ClassDescription& description);

/// An instance: the object header, its hold counter and the C++ payload.
///
/// The classes are mutable, so Python code can replace `__new__` by one that makes
/// instances without the class's creation slot (`object.__new__(cls)`): their memory
/// is zeroed by the allocator and their payload never built. `constructed` tells the
/// two kinds apart; the hold counter and the payload exist only when it is true.
template <class Payload>
struct Instance : PyObject {
    HoldCounter hold;
    bool constructed;
    union {
        Payload payload;
    };
};

/// Allocates an instance of `type` (the type passed to the creation slot) holding
/// `payload`. On failure the payload is dropped and the interpreter's error thrown.
template <class Payload>
PyRef create_instance(PyTypeObject* type, Payload&& payload) {
    const allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyRef object = PyRef::steal(allocate(type, 0));
    if (!object) throw_pending();
    auto* instance = static_cast<Instance<Payload>*>(object.get());
    new (&instance->hold) HoldCounter(0);
    new (&instance->payload) Payload(std::forward<Payload>(payload));
    instance->constructed = true;
    return object;
}

/// The teardown slot: frees the payload (when there is one), then the object, then
/// drops the reference that every instance of a heap type holds on its class.
template <class Payload>
void destroy_instance(PyObject* object) {
    auto* instance = static_cast<Instance<Payload>*>(object);
    if (instance->constructed) {
        instance->payload.~Payload();
        instance->hold.~HoldCounter();
    }
    PyTypeObject* type = Py_TYPE(object);
    type->tp_free(object);
    Py_DECREF(type);
}

/// The receiver of a method, checked to be an instance of `type` (or a subtype) that
/// its creation slot made: RuntimeError for one made without it.
template <class Payload>
Instance<Payload>& receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (!PyObject_TypeCheck(self, type)) throw_cast_error(self, class_name);
    auto& instance = *static_cast<Instance<Payload>*>(self);
    if (!instance.constructed) {
        throw_error(PyExc_RuntimeError, std::string("this ") + class_name + " was not made by " + class_name +
                                            ".__new__(): it has nothing to compute with");
    }
    return instance;
}

}  // namespace zorv::py
