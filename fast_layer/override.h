#pragma once

// The override lookup: finds and calls the Python method that overrides a
// recorder operation, by pybind11's rules (registry of instances, shared
// negative cache, recursion guard), without its per-call costs: the method
// name is interned once per interpreter, the native half notes its Python
// object, and the call is a vectorcall. Call with the interpreter lock held
// (native_call_gate.h takes it for native callers).

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>
#include <utility>

#include "fast_layer/entry.h"
#include "fast_layer/gate.h"
#include "fast_layer/layouts.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// One overridable operation. `name` is also the key of pybind11's negative
// cache, which compares names by address: it must point to static storage.
// `slot` is the operation's number among those the module gave
// OpenInterpreterState, whose interned name the record keeps.
struct OverridableMethod {
    const char* name;
    const char* pure_message;  // what a native caller gets where there is no override
    int slot;
    std::size_t size = std::char_traits<char>::length(name);
};

// A new reference to the live Python object registered for `native` as an
// instance of `tinfo`'s type, or null. An object whose reference count has
// reached 0 is being destroyed and still registered: taking a reference would
// revive it and deallocate it twice.
inline py::object LiveInstance(const void* native, const detail::type_info* tinfo) {
    if (tinfo == nullptr) {
        return {};
    }
    py::handle self;  // pybind11's get_object_handle, on the registry of the record
    const auto range = Interpreter().internals->registered_instances.equal_range(native);
    for (auto it = range.first; it != range.second && !self; ++it) {
        for (const auto& v_h : detail::values_and_holders(it->second)) {
            if (v_h.type == tinfo) {
                self = reinterpret_cast<PyObject*>(it->second);
                break;
            }
        }
    }
    return self && Py_REFCNT(self.ptr()) > 0 ? py::reinterpret_borrow<py::object>(self) : py::object();
}

// Where a recorder's native half remembers the Python object that owns it, so
// that its lookups need not search the registry. The first lookup that finds
// the owner there notes it, if the owner's type holds exactly the bound type
// and owns the native half in the simple layout; the class's deallocation
// forgets it (ForgetOwner) before the object is freed; a note of another
// interpreter's record is not read.
struct OwnerNote {
    PyObject* owner = nullptr;  // borrowed: forgotten before it is freed
    unsigned generation = 0;    // the record it belongs to
};

// The live owner of `native`, as LiveInstance finds it.
inline py::object OwnerOf(const void* native, const detail::type_info* tinfo, OwnerNote& note) {
    const unsigned generation = Interpreter().generation;
    if (note.owner != nullptr && note.generation == generation) {
        // Being destroyed (count 0): as LiveInstance, no instance.
        return Py_REFCNT(note.owner) > 0 ? py::reinterpret_borrow<py::object>(note.owner) : py::object();
    }
    note.owner = nullptr;
    py::object self = LiveInstance(native, tinfo);
    if (self && HoldsExactly(self.ptr(), tinfo)) {
        const auto* inst = reinterpret_cast<const detail::instance*>(self.ptr());
        if (inst->simple_layout && inst->simple_holder_constructed && inst->simple_value_holder[0] == native) {
            note = {self.ptr(), generation};
        }
    }
    return self;
}

// The native half of `self` for ForgetOwner: its value if `self`'s type holds
// exactly `tinfo` (read from pybind11's registry without adding to it: it runs
// while the object is being freed) and the holder was made; null otherwise.
inline void* OwnedValue(PyObject* self, const detail::type_info* tinfo) {
    const auto* inst = reinterpret_cast<const detail::instance*>(self);
    if (tinfo == nullptr || !inst->simple_layout || !inst->simple_holder_constructed) {
        return nullptr;
    }
    const auto& types = Interpreter().internals->registered_types_py;
    const auto found = types.find(Py_TYPE(self));
    if (found == types.end() || found->second.size() != 1 || found->second.front() != tinfo) {
        return nullptr;
    }
    return inst->simple_value_holder[0];
}

inline void ForgetOwner(PyObject* self, OwnerNote& note) {
    if (note.owner == self) {
        note.owner = nullptr;
    }
}

// True when `name` (a str) is `method`'s name: the same interned object, or
// else the same ASCII characters (a str of ASCII characters only is always
// stored as ASCII).
inline bool IsMethodName(PyObject* name, PyObject* interned, const OverridableMethod& method) {
    return name == interned
           || (PyUnicode_IS_ASCII(name) && static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)) == method.size
               && std::memcmp(PyUnicode_DATA(name), method.name, method.size) == 0);
}

// True when the innermost Python frame runs a function called `method.name`
// whose first parameter is bound to `self`: the override is calling its base.
// Refreshing the frame's locals can run Python code (a `__del__`): the caller
// holds `self` by a reference of its own.
inline bool CalledFromOverride(py::handle self, PyObject* interned, const OverridableMethod& method) {
    PyFrameObject* frame = PyEval_GetFrame();  // borrowed
    if (frame == nullptr) {
        return false;
    }
    PyCodeObject* code = PyFrame_GetCode(frame);
    const auto code_ref = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(code));
    int argcount = 0;
    PyObject* name = nullptr;
    py::object name_ref;
    if (!CodeShape(code, argcount, name, name_ref)) {
        throw py::error_already_set();
    }
    if (argcount <= 0 || !IsMethodName(name, interned, method)) {
        return false;
    }
    // Refreshing the locals may run Python code that frees the frame.
    const auto frame_ref = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(frame));
    PyObject* locals = PyEval_GetLocals();
    if (locals == nullptr) {
        if (PyErr_Occurred()) {
            throw py::error_already_set();
        }
        return false;
    }
    const auto varnames = py::reinterpret_steal<py::object>(PyCode_GetVarnames(code));
    if (!varnames) {
        throw py::error_already_set();
    }
    PyObject* caller_self = PyDict_GetItemWithError(locals, PyTuple_GET_ITEM(varnames.ptr(), 0));
    if (caller_self == nullptr && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return caller_self == self.ptr();
}

// A Python method found for an operation. `function` is either bound to the
// instance already or, found through the class, called with `self` prepended.
struct Override {
    py::object function;
    py::object self;  // null when `function` is bound
    explicit operator bool() const { return static_cast<bool>(function); }

    // Calls the method with the given positional arguments, ignoring its result.
    template <typename... Args>
    void operator()(const Args&... args) const {
        PyObject* argv[] = {nullptr, self.ptr(), args.ptr()...};
        PyObject** first = self ? argv + 1 : argv + 2;
        const size_t nargs = sizeof...(Args) + (self ? 1 : 0);
        PyObject* result = PyObject_Vectorcall(function.ptr(), first, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        if (result == nullptr) {
            throw py::error_already_set();
        }
        Py_DECREF(result);
    }
};

// The Python override of `method` on the instance that owns `native`, or an
// empty Override when there is none (also while no interpreter runs the
// module: a native half kept across a restart).
inline Override FindOverride(const void* native, const detail::type_info* tinfo, const OverridableMethod& method,
                             OwnerNote& note) {
    if (!IsOpen()) {
        return {};
    }
    // Held for the whole lookup: attribute lookup and the recursion guard can
    // run Python code that drops every other reference.
    py::object self = OwnerOf(native, tinfo, note);
    if (!self) {
        return {};
    }
    InterpreterState& state = Interpreter();
    auto key = std::make_pair(reinterpret_cast<const PyObject*>(Py_TYPE(self.ptr())), method.name);
    if (state.negative_entries) {
        auto& inactive = state.internals->inactive_override_cache;
        if (inactive.find(key) != inactive.end()) {
            return {};
        }
    }
    // Same result as getattr(self, name), without making a bound method for a
    // function found on the class.
    PyObject* found = nullptr;
    PyObject* name = state.operation_names[method.slot];
    const bool unbound = _PyObject_GetMethod(self.ptr(), name, &found) == 1;
    auto attr = py::reinterpret_steal<py::object>(found);
    if (!attr) {
        PyErr_Clear();
        return {};
    }
    if (!unbound && !PyCallable_Check(attr.ptr())) {
        throw py::type_error("Object of type '" + detail::get_fully_qualified_tp_name(Py_TYPE(attr.ptr()))
                             + "' is not an instance of 'function'");
    }
    // Built-in, as the class's own methods are: no override. Found unbound, a
    // method descriptor (CPython's or ours) is what getattr would have bound
    // into one.
    const py::handle function = detail::get_function(attr.ptr());
    if ((function && PyCFunction_Check(function.ptr()))
        || (unbound && (Py_IS_TYPE(attr.ptr(), &PyMethodDescr_Type) || DescribedFunction(attr.ptr()) != nullptr))) {
        state.internals->inactive_override_cache.insert(std::move(key));
        state.negative_entries = true;
        return {};
    }
    if (CalledFromOverride(self, name, method)) {
        return {};
    }
    return {std::move(attr), unbound ? std::move(self) : py::object()};
}

}  // namespace fast_layer
