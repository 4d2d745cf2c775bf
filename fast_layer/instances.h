#pragma once

// Instances that own their native value: making one (for a record native
// code hands to Python, or `__init__` of the exact class), and freeing one,
// with a free list between the two. All in pybind11's simple layout, as
// pybind11 lays out an instance of a class with one bound type and a
// std::shared_ptr holder, and entered in pybind11's registry of instances
// as pybind11 enters them. Anything else is freed by pybind11.

#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "fast_layer/gate.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// The registry of instances, as pybind11's register_instance and
// deregister_instance_impl keep it.
inline void RegisterInstance(detail::instance* inst, void* value, const detail::type_info* tinfo) {
    Interpreter().internals->registered_instances.emplace(value, inst);
    if (!tinfo->simple_ancestors) {
        detail::traverse_offset_bases(value, tinfo, inst, detail::register_instance_impl);
    }
}

inline bool DeregisterSimpleInstance(void* value, detail::instance* inst) {
    auto& registered = Interpreter().internals->registered_instances;
    const auto range = registered.equal_range(value);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == inst) {
            registered.erase(it);
            return true;
        }
    }
    return false;
}

// Gives the instance `inst` of a type that holds exactly T the native object
// `value`, owned by a new holder, and enters it in the registry: what
// pybind11's init_instance does, without looking up the type's entry again.
template <typename T>
void AdoptValue(detail::instance* inst, const detail::type_info* tinfo, std::shared_ptr<T> value) {
    static_assert(sizeof(std::shared_ptr<T>) <= sizeof(void*) * detail::instance_simple_holder_in_ptrs(),
                  "the holder fits the simple layout");
    void*& value_ptr = inst->simple_value_holder[0];
    value_ptr = value.get();
    new (&inst->simple_value_holder[1]) std::shared_ptr<T>(std::move(value));
    inst->simple_holder_constructed = true;  // from here on, deallocating the instance frees the value
    RegisterInstance(inst, value_ptr, tinfo);
    inst->simple_instance_registered = true;
}

// The free list keeps freed objects of a bound class for reuse, as CPython
// keeps freed floats: making and freeing an instance then skips the
// allocator. Only objects of the exact class whose memory is what its
// tp_alloc gives (PyType_GenericAlloc for a type without gc, dict or variable
// size) are kept; a reused one is zeroed and initialised as that allocation
// does. The list is dropped, unread, with its interpreter.
inline bool FitsFreeList(PyTypeObject* type) {
    return type->tp_alloc == PyType_GenericAlloc && type->tp_free == PyObject_Free && type->tp_itemsize == 0
           && type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)
           && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
}

// A reused object of `type`, as tp_alloc makes it, or null.
inline PyObject* TakeFree(ClassState& bound, PyTypeObject* type) {
    if (bound.free_count == 0 || !FitsFreeList(type)) {
        return nullptr;
    }
    PyObject* obj = bound.free[--bound.free_count];
    std::memset(static_cast<void*>(obj), 0, static_cast<size_t>(type->tp_basicsize));
    return PyObject_Init(obj, type);  // takes a reference to a heap type
}

// Keeps the memory of `obj`, which is being freed, instead of tp_free.
inline bool KeepFree(ClassState& bound, PyObject* obj) {
    if (bound.free_count == kFreeListSize || !FitsFreeList(Py_TYPE(obj))) {
        return false;
    }
    bound.free[bound.free_count++] = obj;
    return true;
}

// A new Python object of T's bound class that owns `value`, as pybind11 makes
// one for a returned or copied record (its make_new_instance for a class
// with one bound type and a holder that fits: zeroed, the simple layout).
template <typename T>
py::object OwningInstance(std::shared_ptr<T> value) {
    const detail::type_info* tinfo = BoundType<T>();
    if (tinfo == nullptr) {
        py::pybind11_fail("OwningInstance: type not registered");
    }
    PyObject* reused = TakeFree(Interpreter().classes[ClassSlot<T>::value], tinfo->type);
    auto obj = py::reinterpret_steal<py::object>(reused ? reused : tinfo->type->tp_alloc(tinfo->type, 0));
    if (!obj) {
        throw py::error_already_set();
    }
    auto* inst = reinterpret_cast<detail::instance*>(obj.ptr());
    inst->simple_layout = true;
    inst->owned = true;
    AdoptValue(inst, tinfo, std::move(value));
    return obj;
}

// tp_dealloc of T's class. It runs the class's `before_dealloc` first. An
// instance of exactly T's class in the simple layout, with its holder made
// and neither weak references nor kept-alive objects, is taken out of the
// registry and freed here, as pybind11 does (the holder's release runs no
// Python code); every other instance, those of subclasses included, goes to
// the deallocation pybind11 gave the class.
template <typename T>
void Dealloc(PyObject* self) {
    if (!IsOpen()) {
        return;  // only after its interpreter's end: nothing can be freed any more
    }
    ClassState& bound = Interpreter().classes[ClassSlot<T>::value];
    if (bound.before_dealloc != nullptr) {
        bound.before_dealloc(self);
    }
    auto* inst = reinterpret_cast<detail::instance*>(self);
    if (!inst->simple_layout && inst->nonsimple.values_and_holders == nullptr) {
        // Never laid out: object's tp_new failed after allocating the object
        // (its attribute values) and frees it. Zeroed, it frees as an empty
        // simple layout.
        inst->simple_layout = true;
    }
    const detail::type_info* tinfo = BoundType<T>();
    PyTypeObject* type = Py_TYPE(self);
    if (tinfo == nullptr || type != tinfo->type || !tinfo->simple_ancestors || !inst->simple_layout
        || !inst->simple_holder_constructed || inst->weakrefs != nullptr || inst->has_patients
        || PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) {
        bound.dealloc(self);
        return;
    }
    if (inst->simple_instance_registered && !DeregisterSimpleInstance(inst->simple_value_holder[0], inst)) {
        bound.dealloc(self);  // pybind11 reports the lost registration
        return;
    }
    inst->simple_instance_registered = false;
    std::launder(reinterpret_cast<std::shared_ptr<T>*>(&inst->simple_value_holder[1]))->~shared_ptr();
    if (!KeepFree(bound, self)) {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

// Gives T's class Dealloc<T>, which runs `before_dealloc` (if any) first. The
// deallocation it replaces is read again at each import: another module's
// pybind11 may have made the common base in this interpreter.
template <typename T>
void InstallDealloc(py::handle cls, void (*before_dealloc)(PyObject* self)) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    ClassState& bound = Interpreter().classes[ClassSlot<T>::value];
    bound.before_dealloc = before_dealloc;
    if (type->tp_dealloc != Dealloc<T>) {
        bound.dealloc = type->tp_dealloc;
        type->tp_dealloc = Dealloc<T>;
    }
}

}  // namespace fast_layer
