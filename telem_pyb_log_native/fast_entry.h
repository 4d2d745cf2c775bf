#pragma once

// pybind11 2.11 calls every bound function through an argument tuple and its
// generic dispatcher, which costs several times a recording. record_value and
// record_point of log recorders get a vectorcall entry that makes the plain
// call itself and hands every other call to the dispatcher unchanged, as
// telem_pyb's own entries do. The plain call is taken only for objects whose
// Python type pybind11 maps to exactly the bound type the entry reads (the
// class or a Python subclass of it, no other bound base), decided once per
// Python type. The entry is a boundary to CPython like the dispatcher: every
// C++ exception is caught inside it and becomes the Python error the
// dispatcher would have raised.

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <cstdint>
#include <typeinfo>
#include <unordered_map>

namespace telem_pyb_log {

namespace py = pybind11;
namespace detail = pybind11::detail;

// Bumped by every initialisation of the module, one per interpreter: what was
// cached under another value describes objects of a finalized interpreter.
inline unsigned interpreter_generation = 0;

// Whether pybind11 maps a Python type to exactly one bound type, per type:
// entries leave when their type dies (a weak reference's callback) or when
// their interpreter ended. Used with the interpreter lock held.
class ExactTypes {
public:
    static bool Maps(PyTypeObject* type, const detail::type_info* tinfo) {
        // The type of the last call, which is usually this call's.
        thread_local PyTypeObject* last_type = nullptr;
        thread_local const detail::type_info* last_tinfo = nullptr;
        thread_local unsigned last_generation = 0;
        thread_local std::uint64_t last_epoch = 0;
        if (type == last_type && last_generation == interpreter_generation && last_epoch == Epoch()) {
            return last_tinfo == tinfo;
        }
        bool cached = false;
        const bool maps = Lookup(type, tinfo, cached);
        if (cached) {
            last_type = type;
            last_tinfo = maps ? tinfo : nullptr;
            last_generation = interpreter_generation;
            last_epoch = Epoch();
        }
        return maps;
    }

private:
    // Changes whenever a type leaves the cache, so that no thread's last type
    // outlives its entry.
    static std::uint64_t& Epoch() {
        static std::uint64_t epoch = 0;
        return epoch;
    }

    static bool Lookup(PyTypeObject* type, const detail::type_info* tinfo, bool& cached) {
        auto& cache = Cache();
        auto found = cache.find(type);
        if (found != cache.end() && found->second.generation == interpreter_generation) {
            cached = true;
            return found->second.tinfo == tinfo;
        }
        const std::vector<detail::type_info*>& bound = detail::all_type_info(type);
        const detail::type_info* only = bound.size() == 1 ? bound[0] : nullptr;
        // Forget the type when it dies, as pybind11 does for its own cache.
        py::cpp_function forget([type](py::handle weakref) {
            Cache().erase(type);
            ++Epoch();
            weakref.dec_ref();
        });
        PyObject* weakref = PyWeakref_NewRef(reinterpret_cast<PyObject*>(type), forget.ptr());
        if (weakref == nullptr) {
            PyErr_Clear();  // not weakly referable: not cached
            return only == tinfo;
        }
        cache[type] = Entry{only, interpreter_generation};
        cached = true;
        return only == tinfo;
    }

    struct Entry {
        const detail::type_info* tinfo;
        unsigned generation;
    };
    static std::unordered_map<PyTypeObject*, Entry>& Cache() {
        static std::unordered_map<PyTypeObject*, Entry> cache;
        return cache;
    }
};

// The registry entry of the bound type T in the current interpreter.
template <typename T>
const detail::type_info* BoundType() {
    static const detail::type_info* tinfo = nullptr;
    static unsigned generation = 0;
    if (tinfo == nullptr || generation != interpreter_generation) {
        tinfo = detail::get_type_info(typeid(T));
        generation = interpreter_generation;
    }
    return tinfo;
}

// The native object of `obj` if pybind11 maps its type to exactly T and its
// __init__ has made it; null otherwise.
template <typename T>
T* ExactInstance(PyObject* obj) {
    const detail::type_info* tinfo = BoundType<T>();
    if (tinfo == nullptr || !ExactTypes::Maps(Py_TYPE(obj), tinfo)) {
        return nullptr;
    }
    auto* inst = reinterpret_cast<detail::instance*>(obj);
    if (!inst->simple_layout || !inst->simple_instance_registered) {
        return nullptr;
    }
    return static_cast<T*>(inst->simple_value_holder[0]);
}

// Sets the pending Python error for the exception in flight, as pybind11's
// dispatcher does: a carried Python error is restored, anything else goes to
// the registered translators, module-local ones first. Call it only in a
// catch handler; it throws nothing.
inline void RaiseActiveException() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        if (detail::apply_exception_translators(detail::get_local_internals().registered_exception_translators)) {
            return;
        }
        if (detail::apply_exception_translators(detail::get_internals().registered_exception_translators)) {
            return;
        }
        PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    }
}

// Calls a bound function the way CPython calls it without a vectorcall entry:
// pybind11's dispatcher with an argument tuple and a keyword dict.
inline PyObject* CallDispatcher(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    py::tuple positional(nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.ptr(), i, py::handle(args[i]).inc_ref().ptr());
    }
    py::object keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = py::dict();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0) {
                throw py::error_already_set();
            }
        }
    }
    return Py_TYPE(function)->tp_call(function, positional.ptr(), keywords.ptr());
}

// True while `function`'s overload chain is the one this module made: another
// module may have added overloads, which only the dispatcher chooses among.
inline bool SingleOverload(PyObject* function) {
    const auto* record = static_cast<const detail::function_record*>(
        PyCapsule_GetPointer(PyCFunction_GET_SELF(function), detail::get_function_record_capsule_name()));
    if (record == nullptr) {
        throw py::error_already_set();
    }
    return record->next == nullptr;
}

// The plain case of one bound function: given its positional arguments,
// either makes the call and returns its result (a new reference), or returns
// null, with no Python error set, to hand the call to the dispatcher. It
// reports failures by throwing, as any bound function does.
using FastBody = PyObject* (*)(PyObject* const* args);

template <Py_ssize_t Nargs, FastBody Body>
PyObject* FastEntry(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    try {
        if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == Nargs && SingleOverload(function)) {
            if (PyObject* result = Body(args)) {
                return result;
            }
        }
        return CallDispatcher(function, args, nargsf, kwnames);
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;  // thread cancellation must unwind, as through the dispatcher
#endif
    } catch (...) {
        RaiseActiveException();
        return nullptr;
    }
}

// Gives the bound function behind `method` the vectorcall entry `entry`.
inline void InstallFastEntry(py::handle method, vectorcallfunc entry) {
    const py::handle function = detail::get_function(method);
    if (!function || !PyCFunction_Check(function.ptr())
        || PyCapsule_GetPointer(PyCFunction_GET_SELF(function.ptr()), detail::get_function_record_capsule_name())
               == nullptr) {
        PyErr_Clear();
        py::pybind11_fail("InstallFastEntry: not a bound function");
    }
    reinterpret_cast<PyCFunctionObject*>(function.ptr())->vectorcall = entry;
}

}  // namespace telem_pyb_log
