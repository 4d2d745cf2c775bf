#pragma once

// The class-assignment guard. pybind11 reads an instance's value as the bound
// type of its Python type, as the fast paths do (gate.h), so an assignment of
// `__class__` or `__bases__` that changes which bound types an instance or a
// class holds would make both read one type as another. Such assignments are
// refused with TypeError; those that keep the bound types (between Python
// subclasses of one bound class) go ahead. No type slot sees every form of
// them; the audit event "object.__setattr__" does (audit_hook.h).

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "fast_layer/gate.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

// The bound types pybind11 maps `type` to.
inline std::vector<detail::type_info*> BoundTypesOf(PyTypeObject* type) {
    if (!IsPybind11InstanceType(type)) {
        return {};
    }
    return detail::all_type_info(type);
}

// The bound types a class with the bases `bases` would map to: pybind11's own
// walk (all_type_info_populate) over the given bases, reading its registry only.
inline std::vector<detail::type_info*> BoundTypesFromBases(PyObject* bases) {
    std::vector<detail::type_info*> bound;
    std::vector<PyTypeObject*> check;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        check.push_back(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bases, i)));
    }
    const auto& registered = Interpreter().internals->registered_types_py;
    for (std::size_t i = 0; i < check.size(); ++i) {
        PyTypeObject* type = check[i];
        if (!PyType_Check(reinterpret_cast<PyObject*>(type))) {
            continue;
        }
        const auto found = registered.find(type);
        if (found != registered.end()) {
            for (detail::type_info* tinfo : found->second) {
                if (std::find(bound.begin(), bound.end(), tinfo) == bound.end()) {
                    bound.push_back(tinfo);
                }
            }
        } else if (type->tp_bases != nullptr) {
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(type->tp_bases); ++j) {
                check.push_back(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_bases, j)));
            }
        }
    }
    return bound;
}

// Refuses (-1 with TypeError) an assignment of `__class__` or `__bases__` that
// changes the bound types; 0 lets it go ahead.
inline int CheckClassAssignment(PyObject* target, const char* name, PyObject* value) {
    if (std::strcmp(name, "__class__") == 0) {
        if (!PyType_Check(value)) {
            return 0;  // CPython refuses it
        }
        PyTypeObject* from = Py_TYPE(target);
        auto* to = reinterpret_cast<PyTypeObject*>(value);
        if ((IsPybind11InstanceType(from) || IsPybind11InstanceType(to)) && BoundTypesOf(from) != BoundTypesOf(to)) {
            PyErr_Format(PyExc_TypeError,
                         "__class__ assignment: '%s' holds other native types than '%s'; the object cannot "
                         "change between them",
                         to->tp_name, from->tp_name);
            return -1;
        }
        return 0;
    }
    if (std::strcmp(name, "__bases__") == 0) {
        if (!PyType_Check(target) || !PyTuple_Check(value)) {
            return 0;  // CPython refuses it
        }
        auto* type = reinterpret_cast<PyTypeObject*>(target);
        bool touches = IsPybind11InstanceType(type);
        for (Py_ssize_t i = 0; !touches && i < PyTuple_GET_SIZE(value); ++i) {
            PyObject* base = PyTuple_GET_ITEM(value, i);
            touches = PyType_Check(base) && IsPybind11InstanceType(reinterpret_cast<PyTypeObject*>(base));
        }
        if (touches && BoundTypesOf(type) != BoundTypesFromBases(value)) {
            PyErr_Format(PyExc_TypeError,
                         "__bases__ assignment: '%s' would hold other native types than it does; its instances "
                         "cannot change between them",
                         type->tp_name);
            return -1;
        }
    }
    return 0;
}

}  // namespace fast_layer
