#pragma once

// Registers telem_pyb.TelemException and its translator. pybind11's
// register_exception keeps the type in a static that outlives the interpreter:
// in an interpreter started after a finalized one, the module would get no
// TelemException and the translator would raise the freed type.

#include <pybind11/pybind11.h>

#include <exception>

#include "interpreter_cache.h"
#include "norv/telem/TelemException.h"

namespace telem_pyb {

namespace py = pybind11;

// The Python type of TelemException in the current interpreter. Never
// released: the interpreter may be gone when the process ends.
inline InterpreterCached<PyObject*> telem_exception_type;

// Creates the type on `module` unless the interpreter has it already (as
// pybind11 does, failing on a name the module holds), then puts the translator
// at the front of the process-wide list.
inline void RegisterTelemException(py::module_& module) {
    if (telem_exception_type.get() == nullptr) {
        py::exception<norv::telem::TelemException> type(module, "TelemException", PyExc_Exception);
        telem_exception_type.set(type.release().ptr());
    }
    py::register_exception_translator([](std::exception_ptr exception) {
        PyObject* const* type = telem_exception_type.get();
        if (!exception || type == nullptr) {
            return;
        }
        try {
            std::rethrow_exception(exception);
        } catch (const norv::telem::TelemException& e) {
            PyErr_SetString(*type, e.what());
        }
    });
}

}  // namespace telem_pyb
