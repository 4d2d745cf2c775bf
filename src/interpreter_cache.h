#pragma once

// Process-wide caches of objects that belong to the running interpreter:
// registry entries of the bound types, interned method names, the exception
// type. An embedding program may finalize the interpreter and start another,
// which imports the module again; every cache here is dropped when its
// interpreter finalizes, so none is read after what it describes is freed.
// pybind11's shared state goes with it: pybind11's own finalize_interpreter
// deletes it, a plain Py_Finalize would leave the next interpreter a registry
// that still holds this one's types.

#include <pybind11/pybind11.h>

#include <typeinfo>

namespace telem_pyb {

namespace detail = pybind11::detail;

// Counts finalized interpreters. A cache filled under one count is stale under
// any other. Read and written only with the interpreter lock held, or by the
// finalizing thread after every other thread has stopped running Python.
inline unsigned finalized_interpreters = 0;

// Runs at the very end of Py_FinalizeEx, when no Python code runs any more.
inline void DropInterpreterCaches() {
    ++finalized_interpreters;
    detail::internals**& internals = detail::get_internals_pp();
    if (internals != nullptr && *internals != nullptr) {
        delete *internals;
        *internals = nullptr;  // as finalize_interpreter leaves it; the next interpreter makes its own
    }
}

// Arranges for the caches to be dropped at the end of Py_FinalizeEx. CPython
// forgets its exit functions once it has called them, so every module
// initialisation, one per interpreter, registers again. Without the exit
// function the caches would outlive their interpreter: the import fails.
inline void DropCachesOnFinalize() {
    if (Py_AtExit(&DropInterpreterCaches) != 0) {
        throw pybind11::import_error(
            "telem_pyb cannot register its exit function: the interpreter's table of exit functions (Py_AtExit) "
            "is full");
    }
}

// A value that holds for the current interpreter only.
template <typename T>
class InterpreterCached {
public:
    // The cached value, or null when it was never set or its interpreter ended.
    const T* get() const { return stamp_ == finalized_interpreters + 1 ? &value_ : nullptr; }

    const T& set(T value) {
        value_ = std::move(value);
        stamp_ = finalized_interpreters + 1;
        return value_;
    }

private:
    T value_{};
    unsigned stamp_ = 0;  // the count of finalized interpreters when set, plus 1; 0 while never set
};

// A Python string interned once per interpreter, kept for its lifetime.
struct InternedName {
    const char* text;
    InterpreterCached<PyObject*> interned{};

    PyObject* Get() {
        if (PyObject* const* cached = interned.get()) {
            return *cached;
        }
        PyObject* made = PyUnicode_InternFromString(text);
        if (made == nullptr) {
            throw pybind11::error_already_set();
        }
        return interned.set(made);
    }
};

// pybind11's shared state, found once per interpreter: pybind11 makes it once
// and only a finalize deletes it.
inline detail::internals& Internals() {
    static InterpreterCached<detail::internals*> cache;
    if (detail::internals* const* cached = cache.get()) {
        return **cached;
    }
    return *cache.set(&detail::get_internals());
}

// The registry of instances, as pybind11's register_instance and
// deregister_instance_impl keep it.
inline void RegisterInstance(detail::instance* inst, void* value, const detail::type_info* tinfo) {
    Internals().registered_instances.emplace(value, inst);
    if (!tinfo->simple_ancestors) {
        detail::traverse_offset_bases(value, tinfo, inst, detail::register_instance_impl);
    }
}

inline bool DeregisterSimpleInstance(void* value, detail::instance* inst) {
    auto& registered = Internals().registered_instances;
    const auto range = registered.equal_range(value);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == inst) {
            registered.erase(it);
            return true;
        }
    }
    return false;
}

// The registry entry of a bound type, or null while it is not registered.
// Registrations are never removed while their interpreter runs.
template <typename T>
const detail::type_info* RegisteredType() {
    static InterpreterCached<const detail::type_info*> cache;
    if (const auto* cached = cache.get()) {
        return *cached;
    }
    const detail::type_info* tinfo = detail::get_type_info(typeid(T));
    if (tinfo != nullptr) {
        cache.set(tinfo);
    }
    return tinfo;
}

}  // namespace telem_pyb
