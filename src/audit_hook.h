#pragma once

// An audit hook (PySys_AddAuditHook) for two things no type slot can reach:
// - `__class__` and `__bases__` assignments ("object.__setattr__", raised for
//   every form of them, the descriptor's own __set__ included). pybind11 reads
//   an instance's value as the bound type of its Python type, as the fast
//   paths do, so an assignment that changes which bound types an instance or a
//   class holds would make both read one type as another. Such assignments are
//   refused with TypeError; those that keep the bound types (between Python
//   subclasses of one bound class) go ahead.
// - imports of the submodules in a legacy subinterpreter ("import"). CPython
//   gives such an interpreter a copy of the module's dict, but the submodules
//   were entered only in the first interpreter's sys.modules, so
//   `import telem_pyb.backend.log` would fail with "'telem_pyb' is not a
//   package". The hook enters the (shared) submodules first, and shares this
//   module's pybind11 internals with pybind11 modules loaded there after it.
// The hook runs for every audited event of the process, in every interpreter:
// it looks at nothing else. CPython removes audit hooks when the interpreter
// finalizes, so every initialisation adds it again.

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "exact_type_gate.h"
#include "interpreter_cache.h"

namespace telem_pyb {

namespace py = pybind11;
namespace detail = pybind11::detail;

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
    const auto& registered = detail::get_internals().registered_types_py;
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

inline bool TouchesBoundTypes(PyTypeObject* type) { return IsPybind11InstanceType(type); }

// Refuses (-1 with TypeError) an assignment of `__class__` or `__bases__` that
// changes the bound types; 0 lets it go ahead.
inline int CheckClassAssignment(PyObject* target, const char* name, PyObject* value) {
    if (std::strcmp(name, "__class__") == 0) {
        if (!PyType_Check(value)) {
            return 0;  // CPython refuses it
        }
        PyTypeObject* from = Py_TYPE(target);
        auto* to = reinterpret_cast<PyTypeObject*>(value);
        if ((TouchesBoundTypes(from) || TouchesBoundTypes(to)) && BoundTypesOf(from) != BoundTypesOf(to)) {
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
        bool touches = TouchesBoundTypes(type);
        for (Py_ssize_t i = 0; !touches && i < PyTuple_GET_SIZE(value); ++i) {
            PyObject* base = PyTuple_GET_ITEM(value, i);
            touches = PyType_Check(base) && TouchesBoundTypes(reinterpret_cast<PyTypeObject*>(base));
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

// The submodules made by the first import, for legacy subinterpreters.
struct Submodules {
    PyObject* backend;  // borrowed: the first interpreter keeps both for its lifetime
    PyObject* log;
};
inline InterpreterCached<Submodules> submodules;

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

// On an import of the module or a submodule, enters the submodules into the
// running interpreter's sys.modules where they are missing. In a legacy
// subinterpreter these are modules of its own with the same attributes (the
// classes and the function are shared), and its `telem_pyb.backend` is still
// the first interpreter's module: attribute access and imports give the same
// objects.
inline void EnterSubmodules(PyObject* imported) {
    const Submodules* shared = submodules.get();
    if (shared == nullptr || !PyUnicode_Check(imported)) {
        return;
    }
    const char* name = PyUnicode_AsUTF8(imported);
    if (name == nullptr || std::strncmp(name, "telem_pyb", 9) != 0 || (name[9] != '\0' && name[9] != '.')) {
        PyErr_Clear();
        return;
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_Check(modules)) {
        return;
    }
    const bool first_interpreter = PyInterpreterState_Get() == PyInterpreterState_Main();
    PyObject* log = EnterSubmodule(modules, "telem_pyb.backend.log", shared->log, first_interpreter);
    PyObject* backend = EnterSubmodule(modules, "telem_pyb.backend", shared->backend, first_interpreter);
    if (log != nullptr && backend != nullptr && backend != shared->backend && PyObject_SetAttrString(backend, "log", log) != 0) {
        PyErr_Clear();
    }
    PyErr_Clear();  // whatever failed, the import goes on and fails as it would have
}

// Before a module that uses telem_pyb's classes is first loaded in a legacy
// subinterpreter (telem_pyb_log's native half, a peer that binds C++
// subclasses), enters this module's pybind11 internals into that
// interpreter's state, where pybind11 looks for them. Without it such a
// module makes internals of its own there and cannot see the bound classes,
// which the interpreter shares with the first one.
inline void ShareInternals(PyObject* imported) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main() || !PyUnicode_Check(imported)) {
        return;
    }
    const char* name = PyUnicode_AsUTF8(imported);
    PyObject* modules = PyImport_GetModuleDict();
    const bool ours = name != nullptr && std::strncmp(name, "telem_pyb", 9) == 0;
    if (!ours && (modules == nullptr || !PyDict_Check(modules) || PyDict_GetItemString(modules, "telem_pyb") == nullptr)) {
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
    // internals' pointer, without a destructor (the first interpreter owns them).
    PyObject* capsule = PyCapsule_New(internals, nullptr, nullptr);
    if (capsule == nullptr || PyDict_SetItemString(state, PYBIND11_INTERNALS_ID, capsule) != 0) {
        PyErr_Clear();
    }
    Py_XDECREF(capsule);
}

inline bool audit_hook_probed = false;

inline int AuditHook(const char* event, PyObject* args, void* /*data*/) {
    const bool setattr = std::strcmp(event, "object.__setattr__") == 0;
    const bool import = !setattr && std::strcmp(event, "import") == 0;
    if (!setattr && !import) {
        if (std::strcmp(event, "telem_pyb.probe") == 0) {
            audit_hook_probed = true;
        }
        return 0;
    }
    // An interpreter that refuses single-phase modules (one with its own lock)
    // can hold none of pybind11's objects; it runs alongside, so it is left
    // alone. An error already pending is the event's caller's.
    if (_PyInterpreterState_HasFeature(PyInterpreterState_Get(), Py_RTFLAGS_MULTI_INTERP_EXTENSIONS)
        || PyErr_Occurred() || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1) {
        return 0;
    }
    try {
        if (import) {
            ShareInternals(PyTuple_GET_ITEM(args, 0));
            EnterSubmodules(PyTuple_GET_ITEM(args, 0));
            return 0;
        }
        if (PyTuple_GET_SIZE(args) < 3 || !PyUnicode_Check(PyTuple_GET_ITEM(args, 1))) {
            return 0;
        }
        const char* name = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 1));
        if (name == nullptr) {
            PyErr_Clear();
            return 0;
        }
        return CheckClassAssignment(PyTuple_GET_ITEM(args, 0), name, PyTuple_GET_ITEM(args, 2));
    } catch (...) {
        PyErr_Clear();  // pybind11's registry failed (no memory): the assignment is not ours to refuse
        return 0;
    }
}

// Adds the hook and remembers the submodules. An existing hook may refuse new
// hooks, then the import fails: without the hook, class assignments could
// corrupt native objects.
inline void InstallAuditHook(const py::module_& backend, const py::module_& log) {
    submodules.set({backend.ptr(), log.ptr()});
    audit_hook_probed = false;
    if (PySys_AddAuditHook(&AuditHook, nullptr) != 0) {
        throw py::error_already_set();
    }
    if (PySys_Audit("telem_pyb.probe", nullptr) != 0) {
        throw py::error_already_set();
    }
    if (!audit_hook_probed) {
        throw py::import_error("telem_pyb cannot add its audit hook: an audit hook of the process refuses new ones");
    }
}

}  // namespace telem_pyb
