#pragma once

// pybind11 2.11 calls every bound function through an argument tuple and its
// generic dispatcher, which costs more than the rest of a recording. A hot
// method gets a vectorcall entry that runs the plain call itself and hands any
// other call (keywords, wrong arguments) to pybind11's dispatcher, unchanged.

#include <pybind11/pybind11.h>

#include <cxxabi.h>

namespace telem_pyb {

namespace py = pybind11;
namespace detail = pybind11::detail;

// Sets the pending Python error for the exception in flight, as pybind11's
// dispatcher does: a carried Python error is restored, anything else goes to
// the registered translators, module-local ones first.
inline void RaiseActiveException() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (abi::__forced_unwind&) {
        throw;
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
                return nullptr;
            }
        }
    }
    return Py_TYPE(function)->tp_call(function, positional.ptr(), keywords.ptr());
}

// The first record of a bound function's overload chain.
inline const detail::function_record* FunctionRecord(PyObject* function) {
    return static_cast<const detail::function_record*>(
        PyCapsule_GetPointer(PyCFunction_GET_SELF(function), detail::get_function_record_capsule_name()));
}

// Gives the bound function `function` the vectorcall entry `entry`. Returns
// the function's record: it stays the first and only one while nobody adds
// an overload.
inline const detail::function_record* InstallFastCall(py::handle method, vectorcallfunc entry) {
    const py::handle function = detail::get_function(method);
    if (!function || !PyCFunction_Check(function.ptr())) {
        py::pybind11_fail("InstallFastCall: not a bound function");
    }
    const auto* record = FunctionRecord(function.ptr());
    if (record == nullptr) {
        throw py::error_already_set();
    }
    reinterpret_cast<PyCFunctionObject*>(function.ptr())->vectorcall = entry;
    return record;
}

}  // namespace telem_pyb
