#pragma once

// Opening the interpreter's record (state.h) at the module's import and
// dropping it at the end of the interpreter's finalization, and pybind11's
// internals across a restart of the interpreter.
//
// pybind11 keeps its internals behind a pointer slot that every pybind11
// module of the process reaches, each through a static of its own; the
// interpreter's state dict holds a capsule of the slot, through which a
// module loaded later finds it. A plain Py_Finalize leaves them in place, and
// that must stay so: a thread of the finalized interpreter that CPython ends
// while it is inside a pybind11 call unwinds through pybind11 code that reads
// the internals (~loader_life_support), and with the slot emptied it would
// make new ones on a finalized runtime and crash. So the internals are
// renewed only when the next interpreter imports the module: its state dict
// has no capsule yet, which tells internals of a finalized interpreter from
// ones made in this one.

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "fast_layer/layouts.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

// Runs at the very end of Py_FinalizeEx (an exit function), when no Python
// code runs any more: the record is dropped unread. What it still owns can
// no longer be freed (objects of a legacy subinterpreter's making, say, whose
// lists are gone); it is kept, never read, in `finished` until the next
// interpreter's record is dropped.
inline void DropInterpreterState() {
    process.finished = process.interpreter;
    process.interpreter = InterpreterState{};
}

// Gives the running interpreter new pybind11 internals where the ones every
// module reaches belong to a finalized interpreter, and frees those: no
// thread of that interpreter runs pybind11 code any more once another
// interpreter runs. pybind11 makes the new ones (behind a slot of its own,
// which then replaces the shared one's content), so they are as it makes
// them. Call with the lock held.
inline void RenewStaleInternals() {
    detail::internals**& slot = detail::get_internals_pp();  // this module's pointer to the shared slot
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (slot == nullptr || *slot == nullptr || state == nullptr
        || PyDict_GetItemString(state, PYBIND11_INTERNALS_ID) != nullptr) {
        return;  // none yet, or made (or shared) in this interpreter
    }
    detail::internals** const shared = slot;
    detail::internals* const stale = *shared;
    slot = nullptr;
    detail::get_internals();  // new internals behind a new slot, and the capsule of that slot
    detail::internals** const made = slot;
    *shared = *made;  // what every other module of the process reaches
    slot = shared;
    const auto capsule = pybind11::reinterpret_steal<pybind11::object>(PyCapsule_New(shared, nullptr, nullptr));
    if (!capsule || PyDict_SetItemString(state, PYBIND11_INTERNALS_ID, capsule.ptr()) != 0) {
        throw pybind11::error_already_set();
    }
    delete made;   // the slot pybind11 allocated: nothing refers to it since its capsule went
    delete stale;  // as pybind11's finalize_interpreter does, one interpreter later
}

// Opens the record of the running interpreter at the module's import:
// registers its drop at the end of finalization (CPython forgets exit
// functions once it has called them, so each interpreter registers again;
// without it the record would outlive its interpreter, so the import fails),
// renews stale pybind11 internals, runs the layout checks once, and interns
// the names the layer looks up: `operations` are the module's overridable
// operations, by its numbering. An import retried in the same interpreter
// finds the record open and keeps it.
inline void OpenInterpreterState(const char* module_name, std::initializer_list<const char*> operations) {
    if (IsOpen()) {
        return;
    }
    if (Py_AtExit(&DropInterpreterState) != 0) {
        throw pybind11::import_error(std::string(module_name)
                                     + " cannot register its exit function: the interpreter's table of exit "
                                       "functions (Py_AtExit) is full");
    }
    RenewStaleInternals();
    CheckLayouts();
    InterpreterState& state = process.interpreter;
    state.internals = &detail::get_internals();
    const auto intern = [](const char* text) {
        PyObject* made = PyUnicode_InternFromString(text);
        if (made == nullptr) {
            throw pybind11::error_already_set();
        }
        return made;  // kept for the interpreter's lifetime
    };
    state.new_name = intern("__new__");
    state.init_name = intern("__init__");
    int index = 0;
    for (const char* name : operations) {
        if (index == kMaxOperations) {
            pybind11::pybind11_fail("OpenInterpreterState: more operations than kMaxOperations");
        }
        state.operation_names[index++] = intern(name);
    }
    state.generation = ++process.generations;  // open from here on
}

}  // namespace fast_layer
