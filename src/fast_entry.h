#pragma once

// pybind11 2.11 calls every bound function through an argument tuple and its
// generic dispatcher, which costs more than the rest of a recording. A hot
// function gets a vectorcall entry that runs the plain call itself and hands
// every other call to the dispatcher unchanged. The entry is a boundary to
// CPython like the dispatcher: every C++ exception is caught inside it and
// becomes the Python error the dispatcher would have raised.

#include <pybind11/pybind11.h>

#include <cxxabi.h>

namespace telem_pyb {

namespace py = pybind11;
namespace detail = pybind11::detail;

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

// Runs `body` as a boundary to CPython: a C++ exception becomes the Python
// error the dispatcher would raise, and `failed` is returned. Thread
// cancellation unwinds on, as through the dispatcher.
template <typename Result, typename Body>
Result AtBoundary(Body&& body, Result failed) {
    try {
        return body();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        RaiseActiveException();
        return failed;
    }
}

// CPython 3.12's capsule object: the pointer follows the object header.
// PyCapsule_GetPointer compares the capsule's name with strcmp on every call;
// an entry reads the pointer directly once InstallFastEntry has seen the
// layout give what PyCapsule_GetPointer gives.
struct CapsuleLayout {
    PyObject_HEAD void* pointer;
};
inline bool capsule_layout_checked = false;  // an install saw the layout hold ...
inline bool capsule_layout_refuted = false;  // ... and none saw it fail

// The first record of a bound function's overload chain.
inline const detail::function_record* FunctionRecord(PyObject* function) {
    PyObject* capsule = PyCFunction_GET_SELF(function);
    if (capsule_layout_checked && PyCapsule_CheckExact(capsule)) {
        return static_cast<const detail::function_record*>(reinterpret_cast<CapsuleLayout*>(capsule)->pointer);
    }
    auto* record = static_cast<const detail::function_record*>(
        PyCapsule_GetPointer(capsule, detail::get_function_record_capsule_name()));
    if (record == nullptr) {
        throw py::error_already_set();
    }
    return record;
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

// The plain case of one bound function: given its positional arguments, either
// makes the call and returns its result (a new reference), or returns null,
// with no Python error set, to hand the call to the dispatcher. It reports
// failures by throwing, as any bound function does.
using FastBody = PyObject* (*)(PyObject* const* args);

// Looks at the positional arguments of every call, whatever its shape, before
// anything else runs: true refuses the call with the Python error it has set.
using CallScreen = bool (*)(PyObject* const* args, Py_ssize_t nargs);

// No plain case: every call goes to the dispatcher (behind a screen).
inline PyObject* NoFastBody(PyObject* const* /*args*/) { return nullptr; }
inline bool NoScreen(PyObject* const* /*args*/, Py_ssize_t /*nargs*/) { return false; }

// Fast entries count one level of C recursion where a call can re-enter
// Python, as CPython's own calls of built-in functions do: around a body that
// calls Python code, and around every call handed to the dispatcher (which
// runs conversion methods). A body that cannot re-enter Python cannot recurse
// and is not counted. CPython 3.12 keeps the count in the thread state's
// c_recursion_remaining: Py_EnterRecursiveCall decrements it (raising
// RecursionError when it was used up) and Py_LeaveRecursiveCall gives it back.
// Moving the field directly saves two calls and two thread-local lookups;
// CheckRecursionCount sees once, at import, that the field moves with those
// calls, and the entries use the calls otherwise.
inline bool recursion_count_inline = false;

inline void CheckRecursionCount() {
    PyThreadState* tstate = PyThreadState_Get();
    const int before = tstate->c_recursion_remaining;
    if (Py_EnterRecursiveCall("") != 0) {
        PyErr_Clear();
        recursion_count_inline = false;
        return;
    }
    const int inside = tstate->c_recursion_remaining;
    Py_LeaveRecursiveCall();
    recursion_count_inline = before > 1 && inside == before - 1 && tstate->c_recursion_remaining == before;
}

// One counted level of recursion for the guard's lifetime; throws
// error_already_set (RecursionError) when the count is used up.
class CountedCall {
public:
    CountedCall() {
        if (recursion_count_inline) {
            tstate_ = _PyThreadState_UncheckedGet();
            if (tstate_->c_recursion_remaining-- > 0) {
                return;
            }
            ++tstate_->c_recursion_remaining;  // CPython's own check raises, or lets the call in
            tstate_ = nullptr;
        }
        if (Py_EnterRecursiveCall(" while calling a Python object") != 0) {
            throw py::error_already_set();
        }
    }
    ~CountedCall() {
        if (tstate_ != nullptr) {
            ++tstate_->c_recursion_remaining;
        } else {
            Py_LeaveRecursiveCall();
        }
    }
    CountedCall(const CountedCall&) = delete;
    CountedCall& operator=(const CountedCall&) = delete;

private:
    PyThreadState* tstate_ = nullptr;
};

// The vectorcall entry of a function whose plain case is `Body` with `Nargs`
// positional arguments (or that has none: NoFastBody). Keywords, other
// argument counts and an overload chain that another module has extended go to
// the dispatcher. `BodyCallsPython` says whether the body can re-enter Python.
template <Py_ssize_t Nargs, FastBody Body, CallScreen Screen = NoScreen, bool BodyCallsPython = false>
PyObject* FastEntry(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    try {
        if (Screen(args, PyVectorcall_NARGS(nargsf))) {
            return nullptr;
        }
        if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == Nargs && Body != NoFastBody) {
            if (FunctionRecord(function)->next == nullptr) {
                PyObject* result = nullptr;
                if constexpr (BodyCallsPython) {
                    const CountedCall counted;
                    result = Body(args);
                } else {
                    result = Body(args);
                }
                if (result != nullptr) {
                    return result;
                }
            }
        }
        const CountedCall counted;
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

// Gives the bound function behind `method` (a function or an instance method)
// the vectorcall entry `entry`. The entry is written into CPython 3.12's
// function object and read back through the type's vectorcall offset, as
// CPython finds it; where the two disagree the function keeps calling its
// dispatcher.
inline void InstallFastEntry(py::handle method, vectorcallfunc entry) {
    CheckRecursionCount();
    const py::handle function = detail::get_function(method);
    if (!function || !PyCFunction_Check(function.ptr())) {
        py::pybind11_fail("InstallFastEntry: not a bound function");
    }
    PyObject* capsule = PyCFunction_GET_SELF(function.ptr());
    const void* record = PyCapsule_GetPointer(capsule, detail::get_function_record_capsule_name());
    if (record == nullptr) {
        throw py::error_already_set();  // not a pybind11 function
    }
    capsule_layout_refuted = capsule_layout_refuted || reinterpret_cast<CapsuleLayout*>(capsule)->pointer != record;
    capsule_layout_checked = !capsule_layout_refuted;
    vectorcallfunc& slot = reinterpret_cast<PyCFunctionObject*>(function.ptr())->vectorcall;
    const vectorcallfunc before = slot;
    slot = entry;
    if (PyVectorcall_Function(function.ptr()) != entry) {
        slot = before;
    }
}

}  // namespace telem_pyb
