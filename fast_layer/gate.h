#pragma once

// The exact-type gate: which native value an object holds, and reading it.
// pybind11 maps each Python type to the bound types among its bases; the
// first value pointer of an instance is an object of the first of them. A
// fast path may read that pointer as a T only when the mapping is exactly
// T's entry: a C++ subclass bound by another module (where T may sit at an
// offset inside the object) or a Python class with two bound bases maps to
// something else and goes to pybind11's own path, which casts. The mapping is
// decided once per Python type and the decision dies with the type (a weak
// reference's callback drops it before the type is freed, so a type at a
// reused address is never taken for a dead one).

#include <pybind11/pybind11.h>

#include <cstdint>
#include <typeinfo>

#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

// pybind11's registry entry of the bound class T (numbered by ClassSlot<T>),
// or null while it is not registered. Registrations are never removed while
// their interpreter runs.
template <typename T>
[[gnu::noinline, gnu::cold]] const detail::type_info* FindBoundType() {
    return Interpreter().classes[ClassSlot<T>::value].tinfo = detail::get_type_info(typeid(T));
}

template <typename T>
[[gnu::always_inline]] inline const detail::type_info* BoundType() {
    const detail::type_info* tinfo = Interpreter().classes[ClassSlot<T>::value].tinfo;
    return tinfo != nullptr ? tinfo : FindBoundType<T>();
}

// True when `type` is an instance type of some pybind11 module sharing our
// internals; the check never adds an entry to pybind11's registry.
inline bool IsPybind11InstanceType(PyTypeObject* type) {
    return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(Interpreter().internals->instance_base)) != 0;
}

// The bound type that pybind11 maps `type` to when it maps it to exactly one;
// null for none or several.
inline const detail::type_info* SoleBoundType(PyTypeObject* type) {
    if (!IsPybind11InstanceType(type)) {
        return nullptr;
    }
    const auto& bound = detail::all_type_info(type);
    return bound.size() == 1 ? bound.front() : nullptr;
}

// The decisions form a direct-mapped table: Fibonacci hashing, the top six
// bits of the address times 2^64/phi.
inline TypeDecision& DecisionSlot(PyTypeObject* type) {
    const auto hash = (reinterpret_cast<std::uint64_t>(type) * 0x9E3779B97F4A7C15ULL) >> 58;
    return Interpreter().type_decisions[hash];
}

inline void ClearDecision(TypeDecision& decision) {
    PyObject* weakref = decision.weakref;
    decision = TypeDecision{};
    Py_XDECREF(weakref);  // a weak reference freed unfired calls nothing
}

// The weak reference's callback: the type is about to be freed.
inline PyObject* TypeDied(PyObject* /*module*/, PyObject* weakref) {
    if (IsOpen()) {
        for (TypeDecision& decision : Interpreter().type_decisions) {
            if (decision.weakref == weakref) {
                ClearDecision(decision);
            }
        }
    }
    Py_RETURN_NONE;
}

// Decides for `type` and keeps the decision where a weak reference to the
// type can be made; otherwise it is decided again next time.
inline const detail::type_info* Decide(PyTypeObject* type, TypeDecision& decision) {
    const detail::type_info* tinfo = SoleBoundType(type);
    InterpreterState& state = Interpreter();
    if (state.type_died == nullptr) {
        static PyMethodDef callback{"_sole_bound_type_died", TypeDied, METH_O, nullptr};  // CPython keeps its address
        state.type_died = PyCFunction_New(&callback, nullptr);  // kept for the interpreter's lifetime
    }
    PyObject* weakref =
        state.type_died ? PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), state.type_died) : nullptr;
    if (weakref == nullptr) {
        PyErr_Clear();
        return tinfo;
    }
    ClearDecision(decision);
    decision = {type, tinfo, weakref};
    return tinfo;
}

// True when pybind11 maps the type of `obj` to exactly `tinfo`: `tinfo`'s own
// Python type or a Python subclass of it with no other bound base.
[[gnu::always_inline]] inline bool HoldsExactly(PyObject* obj, const detail::type_info* tinfo) {
    if (tinfo == nullptr) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type == tinfo->type) {
        return true;
    }
    TypeDecision& decision = DecisionSlot(type);
    return (decision.type == type ? decision.tinfo : Decide(type, decision)) == tinfo;
}

// True when pybind11 counts `tinfo` among the bound types of `type`, so that
// an instance of `type` has storage for a `tinfo` value.
inline bool HasBoundBase(PyTypeObject* type, const detail::type_info* tinfo) {
    if (!IsPybind11InstanceType(type)) {
        return false;
    }
    for (const detail::type_info* bound : detail::all_type_info(type)) {
        if (bound == tinfo) {
            return true;
        }
    }
    return false;
}

// The native value of `obj` when its type holds exactly T and its `__init__`
// has made the value; null otherwise (the call is then pybind11's).
template <typename T>
[[gnu::always_inline]] inline T* NativeValue(PyObject* obj) {
    if (!HoldsExactly(obj, BoundType<T>())) {
        return nullptr;
    }
    auto* inst = reinterpret_cast<detail::instance*>(obj);
    if (!inst->simple_layout || !inst->simple_instance_registered) {
        return nullptr;
    }
    return static_cast<T*>(inst->simple_value_holder[0]);
}

}  // namespace fast_layer
