#pragma once

// Fast entries. pybind11 2.11 calls every bound function through an argument
// tuple and its generic dispatcher, which costs more than the rest of a
// recording. A hot function gets a vectorcall entry that runs its plain case
// itself and hands every other call to the dispatcher unchanged: keywords,
// other argument counts, an overload chain that another module has extended,
// and whatever the plain case does not take. The entry is a boundary to
// CPython like the dispatcher: every C++ exception is caught inside it and
// becomes the Python error the dispatcher would have raised.
//
// pybind11 puts a method into its class as an instance-method wrapper, which
// has no vectorcall: `obj.method(...)` makes a bound method object on every
// call. A hot method sits in the class's dict as a method descriptor instead,
// which CPython calls with `self` prepended, straight into the entry.
// Everything else it shows as the wrapper would: the class attribute
// (`Cls.method`) is the wrapper itself, so pybind11 modules that add overloads
// find what they expect, and an instance attribute is the bound method the
// wrapper would have made.

#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <cstddef>

#include "fast_layer/layouts.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// --- The boundary -------------------------------------------------------

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

// --- The dispatcher -----------------------------------------------------

// The first record of a bound function's overload chain, as the capsule in
// the function's `self` holds it now (a prepended overload replaces it).
inline const detail::function_record* FunctionRecord(PyObject* function) {
    void* record = FunctionRecordPointer(PyCFunction_GET_SELF(function));
    if (record == nullptr) {
        throw py::error_already_set();
    }
    return static_cast<const detail::function_record*>(record);
}

// True while the function's overload chain is the one its module made.
inline bool SingleOverload(PyObject* function) { return FunctionRecord(function)->next == nullptr; }

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

// --- Recursion counting -------------------------------------------------

// Fast entries count one level of C recursion where a call can re-enter
// Python, as CPython's own calls of built-in functions do: around a body that
// calls Python code, and around every call handed to the dispatcher (which
// runs conversion methods). A body that cannot re-enter Python cannot recurse
// and is not counted. Where layouts.h saw the thread state's count move with
// Py_EnterRecursiveCall, the count is moved directly.
class CountedCall {
public:
    CountedCall() {
        if (process.layouts.recursion_count) {
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

// --- The entry ----------------------------------------------------------

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

// Whether a plain case can run Python code (and so recurse).
enum class Body { kNativeOnly, kCallsPython };

// The vectorcall entry of a function whose plain case is `Plain` with `Nargs`
// positional arguments (or that has none: NoFastBody).
template <Py_ssize_t Nargs, FastBody Plain, CallScreen Screen = NoScreen, Body Kind = Body::kNativeOnly>
PyObject* FastEntry(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return AtBoundary(
        [&]() -> PyObject* {
            if (Screen(args, PyVectorcall_NARGS(nargsf))) {
                return nullptr;
            }
            if (Plain != NoFastBody && kwnames == nullptr && PyVectorcall_NARGS(nargsf) == Nargs
                && SingleOverload(function)) {
                PyObject* result = nullptr;
                if constexpr (Kind == Body::kCallsPython) {
                    const CountedCall counted;
                    result = Plain(args);
                } else {
                    result = Plain(args);
                }
                if (result != nullptr) {
                    return result;
                }
            }
            const CountedCall counted;
            return CallDispatcher(function, args, nargsf, kwnames);
        },
        static_cast<PyObject*>(nullptr));
}

// Gives the bound function behind `method` (a function or an instance method)
// the vectorcall entry `entry`, where CPython finds it (layouts.h); elsewhere
// the function keeps calling its dispatcher.
inline void InstallFastEntry(py::handle method, vectorcallfunc entry) {
    const py::handle function = detail::get_function(method);
    if (!function || !PyCFunction_Check(function.ptr())) {
        py::pybind11_fail("InstallFastEntry: not a bound function");
    }
    PyObject* capsule = PyCFunction_GET_SELF(function.ptr());
    const void* record = PyCapsule_GetPointer(capsule, detail::get_function_record_capsule_name());
    if (record == nullptr) {
        throw py::error_already_set();  // not a pybind11 function
    }
    CheckCapsulePointer(capsule, record);
    SetFunctionVectorcall(function.ptr(), entry);
}

// --- The method descriptor ----------------------------------------------

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

// The descriptor type, made once per interpreter.
inline PyTypeObject* MethodDescriptorType() {
    InterpreterState& state = Interpreter();
    if (state.method_descriptor_type != nullptr) {
        return state.method_descriptor_type;
    }
    // Tables CPython reads while making the type (members and getset it keeps
    // pointers to): constant.
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
    state.method_descriptor_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the interpreter's lifetime
    return state.method_descriptor_type;
}

// The function a descriptor of ours calls, or null for any other object.
inline PyObject* DescribedFunction(PyObject* obj) {
    PyTypeObject* type = Interpreter().method_descriptor_type;
    return type != nullptr && Py_IS_TYPE(obj, type) ? reinterpret_cast<MethodDescriptor*>(obj)->function : nullptr;
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

}  // namespace fast_layer
