#pragma once

// Which bound type an object holds. pybind11 maps each Python type to the
// bound types among its bases; the first value pointer of an instance is an
// object of the first of them. A fast path may read that pointer as a T only
// when the mapping is exactly T's entry: a C++ subclass bound by another
// module (where T may sit at an offset inside the object) or a Python class
// with two bound bases maps to something else and goes to pybind11's own
// path, which casts. The mapping is decided once per Python type and the
// decision dies with the type.

#include <pybind11/pybind11.h>

#include <cstdint>

#include "interpreter_cache.h"

namespace telem_pyb {

namespace detail = pybind11::detail;

// True when `type` is an instance type of some pybind11 module sharing our
// internals; the check never adds an entry to pybind11's registry.
inline bool IsPybind11InstanceType(PyTypeObject* type) {
    return PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(Internals().instance_base)) != 0;
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

// A direct-mapped cache of SoleBoundType. Each entry keeps a weak reference to
// its type whose callback clears the entry before the type is freed, so a
// type object at a reused address is never taken for a dead one. Used with
// the interpreter lock held.
class SoleBoundTypeCache {
public:
    const detail::type_info* Get(PyTypeObject* type) {
        if (generation_ != finalized_interpreters) {
            Forget();
        }
        Entry& entry = entries_[Slot(type)];
        if (entry.type == type) {
            return entry.tinfo;
        }
        const detail::type_info* tinfo = SoleBoundType(type);
        Fill(entry, type, tinfo);
        return tinfo;
    }

    // The weak reference's callback: the type is about to be freed.
    void Drop(PyObject* weakref) {
        for (Entry& entry : entries_) {
            if (entry.weakref == weakref) {
                Clear(entry);
            }
        }
    }

private:
    struct Entry {
        PyTypeObject* type = nullptr;
        const detail::type_info* tinfo = nullptr;
        PyObject* weakref = nullptr;  // owned
    };
    static constexpr std::size_t kSlots = 64;  // = 2^6, the hash's six bits

    static std::size_t Slot(PyTypeObject* type) {
        // Fibonacci hashing: the top six bits of the address times 2^64/phi.
        return static_cast<std::size_t>((reinterpret_cast<std::uint64_t>(type) * 0x9E3779B97F4A7C15ULL) >> 58);
    }

    static PyObject* Callback();

    void Fill(Entry& entry, PyTypeObject* type, const detail::type_info* tinfo) {
        PyObject* callback = Callback();
        PyObject* weakref = callback ? PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), callback) : nullptr;
        if (weakref == nullptr) {
            PyErr_Clear();  // not cached: decided again next time
            return;
        }
        Clear(entry);
        entry = {type, tinfo, weakref};
    }

    static void Clear(Entry& entry) {
        PyObject* weakref = entry.weakref;
        entry = {};
        Py_XDECREF(weakref);  // a weak reference freed unfired calls nothing
    }

    // Entries of a finalized interpreter refer to freed objects: dropped
    // without touching them.
    void Forget() {
        for (Entry& entry : entries_) {
            entry = {};
        }
        generation_ = finalized_interpreters;
    }

    Entry entries_[kSlots];
    unsigned generation_ = 0;
};

inline SoleBoundTypeCache sole_bound_types;

inline PyObject* TypeDied(PyObject* /*module*/, PyObject* weakref) {
    sole_bound_types.Drop(weakref);
    Py_RETURN_NONE;
}

inline PyObject* SoleBoundTypeCache::Callback() {
    static PyMethodDef def{"_sole_bound_type_died", TypeDied, METH_O, nullptr};
    static InterpreterCached<PyObject*> callback;
    if (PyObject* const* cached = callback.get()) {
        return *cached;
    }
    PyObject* made = PyCFunction_New(&def, nullptr);
    return made ? callback.set(made) : nullptr;  // kept for the interpreter's lifetime
}

// True when pybind11 maps the type of `obj` to exactly `tinfo`: `tinfo`'s own
// Python type or a Python subclass of it with no other bound base.
inline bool HoldsExactly(PyObject* obj, const detail::type_info* tinfo) {
    if (tinfo == nullptr) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(obj);
    return type == tinfo->type || sole_bound_types.Get(type) == tinfo;
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

}  // namespace telem_pyb
