#pragma once

// Registers telem_pyb.TelemException and its translator. pybind11's
// register_exception keeps the type in a static that outlives the interpreter:
// in an interpreter started after a finalized one, the module would get no
// TelemException and the translator would raise the freed type. The type is
// kept in the fast layer's interpreter record instead.

#include <pybind11/pybind11.h>

#include <exception>

#include "fast_layer/state.h"
#include "norv/telem/TelemException.h"

namespace telem_pyb {

namespace py = pybind11;

// Creates the type on `module` unless the interpreter has it already (as
// pybind11 does, failing on a name the module holds), then puts the translator
// at the front of the process-wide list. The type is never released: the
// interpreter may be gone when the process ends.
inline void RegisterTelemException(py::module_& module) {
    fast_layer::InterpreterState& state = fast_layer::Interpreter();
    if (state.exception_type == nullptr) {
        py::exception<norv::telem::TelemException> type(module, "TelemException", PyExc_Exception);
        state.exception_type = type.release().ptr();
    }
    py::register_exception_translator([](std::exception_ptr exception) {
        if (!exception || !fast_layer::IsOpen() || fast_layer::Interpreter().exception_type == nullptr) {
            return;
        }
        try {
            std::rethrow_exception(exception);
        } catch (const norv::telem::TelemException& e) {
            PyErr_SetString(fast_layer::Interpreter().exception_type, e.what());
        }
    });
}

}  // namespace telem_pyb
