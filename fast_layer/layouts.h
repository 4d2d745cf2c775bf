#pragma once

// Every private layout of CPython 3.12 that the fast layer reads or writes,
// with the check that it holds and what the layer does where it does not.
// The per-process checks run once, at the first import (CheckLayouts); the
// per-object ones where the object is installed. A failed check is kept and
// the public call is taken from then on.
//
// | layout                           | used by           | check                             | fallback              |
// |----------------------------------|-------------------|-----------------------------------|-----------------------|
// | capsule: the pointer after the   | entry.h,          | at every install, against         | PyCapsule_GetPointer  |
// |   header (function records)      | field_property.h  | PyCapsule_GetPointer              | (a field property:    |
// |                                  |                   |                                   | a plain property)     |
// | built-in function: `vectorcall`  | entry.h           | per function: PyVectorcall_-      | the function keeps    |
// |                                  |                   | Function gives what was written   | its dispatcher        |
// | type: `tp_vectorcall` of a class | class_call.h      | per class, as above               | the metaclass's call  |
// | thread state:                    | entry.h           | at import: Py_EnterRecursiveCall  | Py_EnterRecursive-    |
// |   c_recursion_remaining          |                   | and Py_LeaveRecursiveCall move it | Call and Py_Leave-    |
// |                                  |                   |                                   | RecursiveCall         |
// | thread state: `interp`           | native_call_gate.h| at import: PyThreadState_Get-     | PyThreadState_Get-    |
// |                                  |                   | Interpreter agrees                | Interpreter           |
// | code object: co_argcount,        | override.h        | at import, against the attributes | the attributes        |
// |   co_name                        |                   | of a code object                  |                       |
// | type: the tp_new CPython gives a | class_call.h      | read at import from a class made  | none needed           |
// |   class with a Python `__new__`  |                   | for the purpose                   |                       |
// | property: fget, fset, fdel and   | field_property.h  | at import, against a property     | a plain property      |
// |   doc after the header           |                   | made for the purpose; per         |                       |
// |                                  |                   | property, fget and fset against   |                       |
// |                                  |                   | its attributes                    |                       |
//
// pybind11's own layouts (an instance's simple layout, a function record's
// chain, the internals) are read through pybind11's headers: every module
// that shares the internals was built with the same layout, which is what
// the internals' id guarantees. CPython's private functions used
// (_PyType_Lookup, _PyObject_GetMethod, _PyThreadState_UncheckedGet,
// _PyInterpreterState_HasFeature) are exported by CPython 3.12, the only
// interpreter the module imports into: a missing one fails the import, never
// a call.

#include <pybind11/pybind11.h>

#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

// --- Capsule: the pointer follows the object header. PyCapsule_GetPointer
// compares the capsule's name with strcmp on every call.
struct CapsuleLayout {
    PyObject_HEAD void* pointer;
};

// Whether `capsule`'s pointer, read from the layout, is `expected` (what
// PyCapsule_GetPointer gave). One failure turns the layout off for every
// capsule not checked by itself.
inline bool CheckCapsulePointer(PyObject* capsule, const void* expected) {
    if (!PyCapsule_CheckExact(capsule) || reinterpret_cast<CapsuleLayout*>(capsule)->pointer != expected) {
        process.layouts.capsule_pointer = false;
        return false;
    }
    return true;
}

// The record pointer of a pybind11 function's capsule, or null with a
// Python error set.
inline void* FunctionRecordPointer(PyObject* capsule) {
    if (process.layouts.capsule_pointer && PyCapsule_CheckExact(capsule)) {
        return reinterpret_cast<CapsuleLayout*>(capsule)->pointer;
    }
    return PyCapsule_GetPointer(capsule, pybind11::detail::get_function_record_capsule_name());
}

// --- Built-in function: CPython 3.12 keeps the vectorcall in the function
// object. True when CPython now calls `entry` for `function`.
inline bool SetFunctionVectorcall(PyObject* function, vectorcallfunc entry) {
    vectorcallfunc& slot = reinterpret_cast<PyCFunctionObject*>(function)->vectorcall;
    const vectorcallfunc before = slot;
    slot = entry;
    if (PyVectorcall_Function(function) != entry) {
        slot = before;
        return false;
    }
    return true;
}

// --- Type: the vectorcall of calling a class, read through its metaclass's
// vectorcall offset. True when CPython now calls `entry` for `type`.
inline bool SetTypeVectorcall(PyTypeObject* type, vectorcallfunc entry) {
    type->tp_vectorcall = entry;
    if (PyVectorcall_Function(reinterpret_cast<PyObject*>(type)) != entry) {
        type->tp_vectorcall = nullptr;
        return false;
    }
    return true;
}

// --- Thread state: c_recursion_remaining, the count that Py_EnterRecursiveCall
// decrements (raising RecursionError when it is used up) and
// Py_LeaveRecursiveCall gives back.
inline bool RecursionCountMoves() {
    PyThreadState* tstate = PyThreadState_Get();
    const int before = tstate->c_recursion_remaining;
    if (Py_EnterRecursiveCall("") != 0) {
        PyErr_Clear();
        return false;
    }
    const int inside = tstate->c_recursion_remaining;
    Py_LeaveRecursiveCall();
    return before > 1 && inside == before - 1 && tstate->c_recursion_remaining == before;
}

// --- Thread state: the interpreter it belongs to.
inline PyInterpreterState* InterpreterOf(PyThreadState* tstate) {
    return process.layouts.thread_state_interp ? tstate->interp : PyThreadState_GetInterpreter(tstate);
}

// --- Code object: the number of positional parameters and the name. False
// with a Python error set when the attributes cannot be read.
inline bool CodeShape(PyCodeObject* code, int& argcount, PyObject*& name, pybind11::object& keep) {
    if (process.layouts.code_fields) {
        argcount = code->co_argcount;
        name = code->co_name;
        return true;
    }
    auto* obj = reinterpret_cast<PyObject*>(code);
    const pybind11::object count =
        pybind11::reinterpret_steal<pybind11::object>(PyObject_GetAttrString(obj, "co_argcount"));
    keep = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetAttrString(obj, "co_name"));
    if (!count || !keep) {
        return false;
    }
    argcount = static_cast<int>(PyLong_AsLong(count.ptr()));
    name = keep.ptr();
    return !(argcount == -1 && PyErr_Occurred()) && PyUnicode_Check(name);
}

inline bool CodeFieldsAgree() {
    PyFrameObject* frame = PyEval_GetFrame();  // the importing code's, borrowed
    if (frame == nullptr) {
        return false;
    }
    PyCodeObject* code = PyFrame_GetCode(frame);
    auto* obj = reinterpret_cast<PyObject*>(code);
    const auto count = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetAttrString(obj, "co_argcount"));
    const auto name = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetAttrString(obj, "co_name"));
    const bool agree = count && name && PyLong_AsLong(count.ptr()) == code->co_argcount && name.ptr() == code->co_name;
    Py_DECREF(code);
    PyErr_Clear();
    return agree;
}

// --- Property: the getter, setter, deleter and docstring follow the object
// header. A subclass's own docstring is kept in its instances' `__doc__`
// (property_init puts it there), and the docstring field is left empty, which
// `.getter()` and the like read: a field property fills it, as property does
// for itself.
struct PropertyLayout {
    PyObject_HEAD PyObject* fget;
    PyObject* fset;
    PyObject* fdel;
    PyObject* doc;
};

// property can have a subclass that adds fields after its own, and its four
// fields are where PropertyLayout has them.
inline bool PropertyTypeFits() {
    if (PyProperty_Type.tp_itemsize != 0 || PyProperty_Type.tp_dictoffset != 0
        || PyProperty_Type.tp_basicsize < static_cast<Py_ssize_t>(sizeof(PropertyLayout))
        || PyProperty_Type.tp_dealloc == nullptr || PyProperty_Type.tp_traverse == nullptr
        || PyProperty_Type.tp_clear == nullptr || PyProperty_Type.tp_init == nullptr) {
        return false;
    }
    const pybind11::list fget, fset, fdel, doc;  // four distinct objects; property takes any
    const auto type = pybind11::reinterpret_borrow<pybind11::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
    const pybind11::object prop = type(fget, fset, fdel, doc);
    const auto* layout = reinterpret_cast<const PropertyLayout*>(prop.ptr());
    return layout->fget == fget.ptr() && layout->fset == fset.ptr() && layout->fdel == fdel.ptr()
           && layout->doc == doc.ptr();
}

// A property whose layout gives the getter and setter its attributes give.
inline bool PropertyFieldsAgree(pybind11::handle prop) {
    const auto* layout = reinterpret_cast<const PropertyLayout*>(prop.ptr());
    return layout->fget == prop.attr("fget").ptr() && layout->fset == prop.attr("fset").ptr();
}

// --- Type: CPython gives a class whose `__new__` is not a built-in class's own
// a tp_new of its own (slot_tp_new, which calls the `__new__` it finds). Its
// address is not exported: it is read from a class made for the purpose.
inline newfunc PythonLevelNew() {
    const auto type = pybind11::reinterpret_borrow<pybind11::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    pybind11::dict members;
    members["__new__"] = pybind11::none();
    const pybind11::object made = type("_python_level_new", pybind11::tuple(), members);
    return reinterpret_cast<PyTypeObject*>(made.ptr())->tp_new;
}

// The process-wide checks, once, at the first import (with the lock held).
inline void CheckLayouts() {
    if (process.layouts.checked) {
        return;
    }
    process.layouts.python_level_new = PythonLevelNew();
    PyThreadState* tstate = PyThreadState_Get();
    process.layouts.recursion_count = RecursionCountMoves();
    process.layouts.thread_state_interp = tstate->interp == PyThreadState_GetInterpreter(tstate);
    process.layouts.code_fields = CodeFieldsAgree();
    process.layouts.property_fields = PropertyTypeFits();
    process.layouts.capsule_pointer = true;  // until an install sees otherwise
    process.layouts.checked = true;
}

}  // namespace fast_layer
