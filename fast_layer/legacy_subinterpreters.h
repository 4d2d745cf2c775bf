#pragma once

// Legacy subinterpreters (those sharing the main interpreter's lock) and a
// single-phase module. CPython gives such an interpreter a copy of the
// module's dict, but the submodules were entered only in the first
// interpreter's sys.modules, so `import telem_pyb.backend.log` would fail
// with "'telem_pyb' is not a package"; and a pybind11 module loaded there
// after it would make internals of its own and not see the bound classes,
// which the interpreter shares with the first one. On every import (the audit
// event "import", audit_hook.h) both are set right before the import runs.

#include <pybind11/pybind11.h>

#include <cstring>
#include <initializer_list>

#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// Notes the module's submodules (full names in static storage), for the
// subinterpreters: a chain, each the parent of the next.
inline void NoteSubmodules(std::initializer_list<Submodule> submodules) {
    InterpreterState& state = Interpreter();
    int index = 0;
    for (const Submodule& submodule : submodules) {
        if (index == kMaxSubmodules) {
            py::pybind11_fail("NoteSubmodules: more submodules than kMaxSubmodules");
        }
        state.submodules[index++] = submodule;
    }
}

// True when `name` is the module `module` or a module inside it.
inline bool NamesModule(const char* name, const char* module) {
    const std::size_t size = std::strlen(module);
    return std::strncmp(name, module, size) == 0 && (name[size] == '\0' || name[size] == '.');
}

// A module of the running interpreter named `name` with the attributes of
// `shared`. An interpreter clears the modules in its sys.modules when it
// ends, so another interpreter's are never entered there.
inline PyObject* CopyModule(const char* name, PyObject* shared) {
    PyObject* copy = PyModule_New(name);
    if (copy != nullptr && PyDict_Update(PyModule_GetDict(copy), PyModule_GetDict(shared)) != 0) {
        Py_CLEAR(copy);
    }
    return copy;
}

// Makes sys.modules[name] a module for `shared` (itself in the first
// interpreter, a copy elsewhere) unless it holds one; returns the entry
// (borrowed) or null.
inline PyObject* EnterSubmodule(PyObject* modules, const char* name, PyObject* shared, bool first_interpreter) {
    if (PyObject* present = PyDict_GetItemString(modules, name)) {
        return present;
    }
    PyObject* entry = first_interpreter ? Py_NewRef(shared) : CopyModule(name, shared);
    const bool entered = entry != nullptr && PyDict_SetItemString(modules, name, entry) == 0;
    Py_XDECREF(entry);  // sys.modules holds it
    return entered ? entry : nullptr;
}

// On an import of the module or a submodule (`top` is the module's name),
// enters the submodules into the running interpreter's sys.modules where they
// are missing, deepest first, and makes each the attribute of its parent
// there. In a legacy subinterpreter these are modules of its own with the
// same attributes (the classes and functions are shared), and its
// `telem_pyb.backend` is still the first interpreter's module: attribute
// access and imports give the same objects.
inline void EnterSubmodules(const char* imported, const char* top) {
    const InterpreterState& state = Interpreter();
    if (state.submodules[0].name == nullptr || !NamesModule(imported, top)) {
        return;
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_Check(modules)) {
        return;
    }
    const bool first_interpreter = PyInterpreterState_Get() == PyInterpreterState_Main();
    PyObject* child = nullptr;
    const Submodule* child_shared = nullptr;
    for (int i = kMaxSubmodules - 1; i >= 0; --i) {
        const Submodule& submodule = state.submodules[i];
        if (submodule.name == nullptr) {
            continue;
        }
        PyObject* entry = EnterSubmodule(modules, submodule.name, submodule.module, first_interpreter);
        if (child != nullptr && entry != nullptr && entry != submodule.module) {
            const char* short_name = std::strrchr(child_shared->name, '.') + 1;
            if (PyObject_SetAttrString(entry, short_name, child) != 0) {
                PyErr_Clear();
            }
        }
        child = entry;
        child_shared = &submodule;
    }
    PyErr_Clear();  // whatever failed, the import goes on and fails as it would have
}

// Before a module that uses the bound classes is first loaded in a legacy
// subinterpreter (one whose name begins with the module's, such as
// telem_pyb_log's native half, or any module imported once the module is in
// sys.modules), enters this module's pybind11 internals into that
// interpreter's state, where pybind11 looks for them.
inline void ShareInternals(const char* imported, const char* top) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) {
        return;
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (std::strncmp(imported, top, std::strlen(top)) != 0
        && (modules == nullptr || !PyDict_Check(modules) || PyDict_GetItemString(modules, top) == nullptr)) {
        PyErr_Clear();
        return;
    }
    detail::internals** internals = detail::get_internals_pp();
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (internals == nullptr || *internals == nullptr || state == nullptr
        || PyDict_GetItemString(state, PYBIND11_INTERNALS_ID) != nullptr) {
        PyErr_Clear();
        return;
    }
    // The same value pybind11 stores: a nameless capsule of the pointer to the
    // internals' slot, without a destructor (the first interpreter owns them).
    PyObject* capsule = PyCapsule_New(internals, nullptr, nullptr);
    if (capsule == nullptr || PyDict_SetItemString(state, PYBIND11_INTERNALS_ID, capsule) != 0) {
        PyErr_Clear();
    }
    Py_XDECREF(capsule);
}

}  // namespace fast_layer
