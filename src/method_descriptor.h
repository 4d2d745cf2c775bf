#pragma once

// pybind11 puts each method into its class as an instance-method wrapper
// (PyInstanceMethod), which has no vectorcall and is no method descriptor:
// `obj.method(...)` makes a bound method object on every call. A hot method
// sits in the class's dict as a method descriptor of its own instead, which
// CPython calls with `self` prepended, straight into the function's
// vectorcall. Everything else it shows as the wrapper would: the class
// attribute (`Cls.method`) is the original wrapper itself, so pybind11
// modules that add overloads find what they expect, and an instance
// attribute is the bound method the wrapper would have made.

#include <pybind11/pybind11.h>

#include <cstddef>

#include "interpreter_cache.h"

namespace telem_pyb {

namespace py = pybind11;

struct MethodDescriptor {
    PyObject_HEAD PyObject* function;  // the bound function, owned
    PyObject* wrapper;                 // pybind11's instance-method wrapper of it, owned
    vectorcallfunc vectorcall;
};

inline PyObject* MethodDescriptorCall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* function = reinterpret_cast<MethodDescriptor*>(self)->function;
    if (vectorcallfunc entry = PyVectorcall_Function(function)) {
        return entry(function, args, nargsf, kwnames);
    }
    return PyObject_Vectorcall(function, args, nargsf, kwnames);
}

// As the wrapper: the function bound to an instance; on the class, the wrapper.
inline PyObject* MethodDescriptorGet(PyObject* self, PyObject* obj, PyObject* /*type*/) {
    auto* descr = reinterpret_cast<MethodDescriptor*>(self);
    return obj == nullptr ? Py_NewRef(descr->wrapper) : PyMethod_New(descr->function, obj);
}

// Attributes the type does not define are the wrapper's (`__doc__`, `__name__`
// and the rest), as the wrapper's own are its function's.
inline PyObject* MethodDescriptorGetAttr(PyObject* self, PyObject* name) {
    PyObject* found = PyObject_GenericGetAttr(self, name);
    if (found != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return found;
    }
    PyErr_Clear();
    return PyObject_GetAttr(reinterpret_cast<MethodDescriptor*>(self)->wrapper, name);
}

inline PyObject* MethodDescriptorDoc(PyObject* self, void* /*closure*/) {
    return PyObject_GetAttrString(reinterpret_cast<MethodDescriptor*>(self)->function, "__doc__");
}

inline int MethodDescriptorTraverse(PyObject* self, visitproc visit, void* arg) {
    auto* descr = reinterpret_cast<MethodDescriptor*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(descr->function);
    Py_VISIT(descr->wrapper);
    return 0;
}

inline int MethodDescriptorClear(PyObject* self) {
    auto* descr = reinterpret_cast<MethodDescriptor*>(self);
    Py_CLEAR(descr->function);
    Py_CLEAR(descr->wrapper);
    return 0;
}

inline void MethodDescriptorDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    MethodDescriptorClear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* MethodDescriptorRepr(PyObject* self) {
    return PyUnicode_FromFormat("<method descriptor wrapping %R>", reinterpret_cast<MethodDescriptor*>(self)->wrapper);
}

// The descriptor type, made once per interpreter; kept for its lifetime.
inline InterpreterCached<PyTypeObject*> method_descriptor_type;

inline PyTypeObject* MethodDescriptorType() {
    if (PyTypeObject* const* cached = method_descriptor_type.get()) {
        return *cached;
    }
    static PyMemberDef members[] = {
        {"__func__", Py_T_OBJECT_EX, offsetof(MethodDescriptor, function), Py_READONLY, nullptr},
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(MethodDescriptor, vectorcall), Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"__doc__", MethodDescriptorDoc, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void*>(MethodDescriptorGet)},
        {Py_tp_getattro, reinterpret_cast<void*>(MethodDescriptorGetAttr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_traverse, reinterpret_cast<void*>(MethodDescriptorTraverse)},
        {Py_tp_clear, reinterpret_cast<void*>(MethodDescriptorClear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(MethodDescriptorDealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(MethodDescriptorRepr)},
        {Py_tp_members, members},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    static PyType_Spec definition{"telem_pyb.method_descriptor", sizeof(MethodDescriptor), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR
                                | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE
                                | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            slots};
    PyObject* type = PyType_FromSpec(&definition);
    if (type == nullptr) {
        throw py::error_already_set();
    }
    return method_descriptor_type.set(reinterpret_cast<PyTypeObject*>(type));
}

inline bool IsMethodDescriptor(PyObject* obj) {
    PyTypeObject* const* type = method_descriptor_type.get();
    return type != nullptr && Py_IS_TYPE(obj, *type);
}

// The function a descriptor of ours calls, or null for any other object.
inline PyObject* DescribedFunction(PyObject* obj) {
    return IsMethodDescriptor(obj) ? reinterpret_cast<MethodDescriptor*>(obj)->function : nullptr;
}

// Puts a descriptor in place of the instance-method wrapper of the method
// `name` in `cls`'s dict. Left as it is unless the entry is such a wrapper of
// a built-in function and CPython finds the descriptor's vectorcall.
inline void InstallMethodDescriptor(py::handle cls, const char* name) {
    PyObject* dict = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
    PyObject* wrapper = dict == nullptr ? nullptr : PyDict_GetItemString(dict, name);  // borrowed
    if (wrapper == nullptr || !PyInstanceMethod_Check(wrapper)
        || !PyCFunction_Check(PyInstanceMethod_GET_FUNCTION(wrapper))) {
        return;
    }
    PyTypeObject* type = MethodDescriptorType();
    auto descr = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!descr) {
        throw py::error_already_set();
    }
    auto* made = reinterpret_cast<MethodDescriptor*>(descr.ptr());
    made->function = Py_NewRef(PyInstanceMethod_GET_FUNCTION(wrapper));
    made->wrapper = Py_NewRef(wrapper);
    made->vectorcall = MethodDescriptorCall;
    if (PyVectorcall_Function(descr.ptr()) != MethodDescriptorCall) {
        return;
    }
    py::setattr(cls, name, descr);
}

}  // namespace telem_pyb
