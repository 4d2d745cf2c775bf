#pragma once

// The audit hook (PySys_AddAuditHook), for what no type slot can reach: the
// class-assignment guard (class_guard.h) on "object.__setattr__", which
// CPython raises for every form of a `__class__` or `__bases__` assignment,
// the descriptor's own __set__ included; and the legacy subinterpreters'
// imports (legacy_subinterpreters.h) on "import". The hook runs for every
// audited event of the process, in every interpreter: it looks at nothing
// else. CPython removes audit hooks when the interpreter finalizes, so every
// initialisation adds it again.

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>

#include "fast_layer/class_guard.h"
#include "fast_layer/legacy_subinterpreters.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// `module_name` (static storage) is the hook's data: the top-level module.
inline int AuditHook(const char* event, PyObject* args, void* module_name) {
    const bool setattr = std::strcmp(event, "object.__setattr__") == 0;
    const bool import = !setattr && std::strcmp(event, "import") == 0;
    if (!setattr && !import) {
        if (std::strcmp(event, "telem_pyb.probe") == 0) {
            process.audit_probe_seen = true;
        }
        return 0;
    }
    // An interpreter that refuses single-phase modules (one with its own lock)
    // can hold none of pybind11's objects; it runs alongside, so it is left
    // alone. An error already pending is the event's caller's.
    if (!IsOpen() || _PyInterpreterState_HasFeature(PyInterpreterState_Get(), Py_RTFLAGS_MULTI_INTERP_EXTENSIONS)
        || PyErr_Occurred() || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) {
        return 0;
    }
    try {
        const Py_ssize_t name_at = import ? 0 : 1;
        if (PyTuple_GET_SIZE(args) < (import ? 1 : 3) || !PyUnicode_Check(PyTuple_GET_ITEM(args, name_at))) {
            return 0;
        }
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, name_at));
        if (name == nullptr) {
            PyErr_Clear();
            return 0;
        }
        if (import) {
            const auto* top = static_cast<const char*>(module_name);
            ShareInternals(name, top);
            EnterSubmodules(name, top);
            return 0;
        }
        return CheckClassAssignment(PyTuple_GET_ITEM(args, 0), name, PyTuple_GET_ITEM(args, 2));
    } catch (...) {
        PyErr_Clear();  // pybind11's registry failed (no memory): the assignment is not ours to refuse
        return 0;
    }
}

// Adds the hook. An existing hook may refuse new hooks, then the import
// fails: without the hook, class assignments could corrupt native objects.
inline void InstallAuditHook(const char* module_name) {
    process.audit_probe_seen = false;
    if (PySys_AddAuditHook(&AuditHook, const_cast<char*>(module_name)) != 0) {
        throw py::error_already_set();
    }
    if (PySys_Audit("telem_pyb.probe", nullptr) != 0) {
        throw py::error_already_set();
    }
    if (!process.audit_probe_seen) {
        throw py::import_error(std::string(module_name)
                               + " cannot add its audit hook: an audit hook of the process refuses new ones");
    }
}

}  // namespace fast_layer
