#pragma once

// Making and freeing instances of the bound classes, one place for each.
// - Allocation: pybind11 allocates through tp_alloc directly. CPython 3.12
//   then gives the instances of a Python subclass no inline attribute values,
//   so every attribute store on `self` deoptimises into a dictionary. The
//   classes allocate through object's own tp_new, which sets the values up,
//   and then lay out pybind11's part as pybind11 does.
// - The class call: `TsPoint()` with no arguments on the exact class makes the
//   record directly, through a vectorcall of the classes' metaclass (a
//   subclass of pybind11's); any other call is pybind11's.
// - Deallocation: an initialised instance of an exact bound type with nothing
//   else attached is freed directly; everything else by pybind11.
// Each step checks once, at import, that CPython takes what it installs, and
// otherwise leaves pybind11's in place.

#include <pybind11/pybind11.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "fast_entry.h"
#include "fast_members.h"
#include "interpreter_cache.h"

namespace telem_pyb {

namespace py = pybind11;
namespace detail = pybind11::detail;

// tp_new of the bound classes: object's allocation, then pybind11's layout.
// The arguments are __init__'s business, as with pybind11's tp_new.
inline PyObject* ObjectPathNew(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/) {
    PyObject* no_args = PyTuple_New(0);
    if (no_args == nullptr) {
        return nullptr;
    }
    PyObject* self = PyBaseObject_Type.tp_new(type, no_args, nullptr);
    Py_DECREF(no_args);
    if (self == nullptr) {
        return nullptr;
    }
    auto* inst = reinterpret_cast<detail::instance*>(self);
    try {
        inst->allocate_layout();
    } catch (...) {
        inst->simple_layout = true;  // nothing allocated: the zeroed simple layout frees as empty
        Py_DECREF(self);
        RaiseActiveException();
        return nullptr;
    }
    return self;
}

// CPython's `__new__` of a class whose tp_new is its own: a built-in function
// bound to the class that calls the class's tp_new after its checks. Only with
// it in the class's dict do Python subclasses inherit the tp_new (CPython
// recognises that function), and does `Cls.__new__(Sub)` pass its safety
// check. It is made from the method definition of object's own `__new__`,
// read from CPython 3.12's function object, and checked to be what it reads.
inline py::object NewWrapperFor(py::handle cls) {
    const py::object object_new = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))
                                      .attr("__new__");
    if (!PyCFunction_Check(object_new.ptr())) {
        return {};
    }
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(object_new.ptr())->m_ml;
    if (def == nullptr || def->ml_name == nullptr || std::strcmp(def->ml_name, "__new__") != 0) {
        return {};
    }
    auto made = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, cls.ptr(), nullptr));
    if (!made) {
        throw py::error_already_set();
    }
    const bool same = PyCFunction_GET_FUNCTION(made.ptr()) == PyCFunction_GET_FUNCTION(object_new.ptr())
                      && PyCFunction_GET_SELF(made.ptr()) == cls.ptr()
                      && PyCFunction_GET_FLAGS(made.ptr()) == PyCFunction_GET_FLAGS(object_new.ptr());
    return same ? made : py::object();
}

// Gives `cls` ObjectPathNew, with its `__new__`; where CPython does not take it
// the class keeps pybind11's.
inline void InstallObjectPathNew(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const py::object wrapper = NewWrapperFor(cls);
    if (!wrapper) {
        return;
    }
    const newfunc before = type->tp_new;
    type->tp_new = ObjectPathNew;
    if (PyObject_SetAttrString(cls.ptr(), "__new__", wrapper.ptr()) != 0) {
        type->tp_new = before;
        throw py::error_already_set();
    }
    if (type->tp_new != ObjectPathNew) {
        if (PyObject_DelAttrString(cls.ptr(), "__new__") != 0) {
            throw py::error_already_set();
        }
        type->tp_new = before;
    }
}

// The deallocation pybind11 gave T's class, for every instance the direct
// path does not take. Read again at each import: another module's pybind11
// may have made the common base in this interpreter.
template <typename T>
inline destructor pybind11_dealloc = nullptr;

// tp_dealloc of T's class, which runs `before_dealloc<T>` first. An instance of exactly T's class in the simple
// layout, with its holder made and neither weak references nor kept-alive
// objects, is taken out of the registry of instances and freed here, as
// pybind11 does; the holder's release runs no Python code. Instances of
// subclasses reach here through their own deallocation and go to pybind11's.
template <typename T>
inline void (*before_dealloc)(PyObject* self) = nullptr;  // run first for every instance

template <typename T>
void Dealloc(PyObject* self) {
    if (before_dealloc<T> != nullptr) {
        before_dealloc<T>(self);
    }
    const detail::type_info* tinfo = RegisteredType<T>();
    PyTypeObject* type = Py_TYPE(self);
    auto* inst = reinterpret_cast<detail::instance*>(self);
    if (tinfo == nullptr || type != tinfo->type || !tinfo->simple_ancestors || !inst->simple_layout
        || !inst->simple_holder_constructed || inst->weakrefs != nullptr || inst->has_patients
        || PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) {
        pybind11_dealloc<T>(self);
        return;
    }
    if (inst->simple_instance_registered && !DeregisterSimpleInstance(inst->simple_value_holder[0], inst)) {
        pybind11_dealloc<T>(self);  // pybind11 reports the lost registration
        return;
    }
    inst->simple_instance_registered = false;
    std::launder(reinterpret_cast<std::shared_ptr<T>*>(&inst->simple_value_holder[1]))->~shared_ptr();
    if (!FreeInstances<T>::Keep(self)) {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

template <typename T>
void InstallDealloc(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (type->tp_dealloc != Dealloc<T>) {
        pybind11_dealloc<T> = type->tp_dealloc;
        type->tp_dealloc = Dealloc<T>;
    }
}

// The class call `Cls()` of a record class bound with init<>, exactly that
// class and no arguments, while the class still has the `__new__` and
// `__init__` it had at import (its version tag, renewed by a lookup when the
// class changed): a new initialised instance, as tp_new and the fast
// `__init__` would make it. Any other call is the metaclass's tp_call.
template <typename T>
struct ClassCallState {
    static inline InterpreterCached<unsigned> version{};
    // `__new__` and `__init__`, owned: an object replaced in the class is
    // kept, so that none other can appear at its address.
    static inline InterpreterCached<std::pair<PyObject*, PyObject*>> members{};
};

inline InternedName new_name{"__new__"};
inline InternedName init_name{"__init__"};

template <typename T>
bool ClassUnchanged(PyTypeObject* type) {
    const unsigned* version = ClassCallState<T>::version.get();
    if (version != nullptr && *version != 0 && type->tp_version_tag == *version) {
        return true;
    }
    const auto* members = ClassCallState<T>::members.get();
    if (members == nullptr || _PyType_Lookup(type, new_name.Get()) != members->first
        || _PyType_Lookup(type, init_name.Get()) != members->second) {
        return false;
    }
    ClassCallState<T>::version.set(type->tp_version_tag);  // the lookups gave the class a tag
    return true;
}

template <typename T>
PyObject* ClassCall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return AtBoundary(
        [&]() -> PyObject* {
            auto* type = reinterpret_cast<PyTypeObject*>(callable);
            const detail::type_info* tinfo = RegisteredType<T>();
            if (PyVectorcall_NARGS(nargsf) == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)
                && tinfo != nullptr && tinfo->type == type && type->tp_new == ObjectPathNew
                && ClassUnchanged<T>(type)) {
                return OwningInstance(std::make_shared<T>()).release().ptr();
            }
            const CountedCall counted;
            return CallDispatcher(callable, args, nargsf, kwnames);
        },
        static_cast<PyObject*>(nullptr));
}

// The metaclass of the bound classes: pybind11's, with a vectorcall for the
// class call. Made once per interpreter; null where CPython would not call the
// vectorcall, and the classes keep pybind11's own metaclass.
inline py::object MakeMetaclass(py::handle module) {
    auto* base = reinterpret_cast<PyObject*>(detail::get_internals().default_metaclass);
    PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec definition{"telem_pyb.pybind11_type", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    auto meta = py::reinterpret_steal<py::object>(PyType_FromMetaclass(nullptr, module.ptr(), &definition, base));
    if (!meta) {
        throw py::error_already_set();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(meta.ptr());
    if (type->tp_call != reinterpret_cast<PyTypeObject*>(base)->tp_call || type->tp_basicsize != reinterpret_cast<PyTypeObject*>(base)->tp_basicsize) {
        return {};
    }
    type->tp_vectorcall_offset = offsetof(PyTypeObject, tp_vectorcall);
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    return meta;
}

// Gives T's class (made with the metaclass above) its class call, where
// CPython finds it.
template <typename T>
void InstallClassCall(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (type->tp_new != ObjectPathNew) {
        return;
    }
    PyObject* new_member = _PyType_Lookup(type, new_name.Get());
    PyObject* init_member = _PyType_Lookup(type, init_name.Get());
    if (new_member == nullptr || init_member == nullptr) {
        return;
    }
    ClassCallState<T>::members.set({Py_NewRef(new_member), Py_NewRef(init_member)});
    ClassCallState<T>::version.set(type->tp_version_tag);
    type->tp_vectorcall = ClassCall<T>;
    if (PyVectorcall_Function(cls.ptr()) != ClassCall<T>) {
        type->tp_vectorcall = nullptr;
    }
}

// Everything above for T's class; the class call only for a record class
// made with the metaclass above and bound with init<>.
template <typename T, bool WithClassCall>
void InstallLifecycle(py::handle cls, void (*before_deallocating)(PyObject*) = nullptr) {
    InstallObjectPathNew(cls);
    before_dealloc<T> = before_deallocating;
    InstallDealloc<T>(cls);
    if constexpr (WithClassCall) {
        InstallClassCall<T>(cls);
    }
}

}  // namespace telem_pyb
