#pragma once

// Everything the fast layer keeps between calls, in two records: one for the
// interpreter that runs (InterpreterState) and one for the process
// (ProcessState). There is no other mutable global in the layer; each
// extension module that uses it has records of its own (the namespace is
// hidden, so two modules never share a symbol).
//
// "The interpreter" is one run of the main interpreter, from the module's
// import to the end of its Py_FinalizeEx, with the legacy subinterpreters it
// makes: they share its lock, its pybind11 internals and the module's classes.
// An embedding program may finalize it and start another; the record is then
// dropped unread (its objects died with their interpreter) and the next
// import opens a new one (interpreter_state.h).
//
// Locking: every member of InterpreterState is read and written with the
// interpreter lock held, or by the finalizing thread once no other thread can
// run Python. The gates of ProcessState have locks of their own (the table
// says which).
//
// InterpreterState
// | member               | what it is                                  | filled                          | dropped                          |
// |----------------------|---------------------------------------------|---------------------------------|----------------------------------|
// | generation           | number of this record, from 1; 0 = closed   | OpenInterpreterState            | DropInterpreterState (end of     |
// |                      |                                             |                                 | Py_FinalizeEx), every member     |
// | internals            | pybind11's shared internals                 | OpenInterpreterState            | with the record                  |
// | new_name, init_name  | "__new__", "__init__", interned             | OpenInterpreterState            | with the record                  |
// | operation_names[]    | the module's overridable operations' names, | OpenInterpreterState            | with the record                  |
// |                      | interned, by the module's numbering         |                                 |                                  |
// | type_died            | callback of the gate's weak references      | OpenInterpreterState            | with the record                  |
// | type_decisions[]     | the exact-type gate's decisions, per type   | gate.h, at a type's first sight | by its type's weak reference     |
// |                      |                                             |                                 | callback, before the type is     |
// |                      |                                             |                                 | freed; or replaced by another    |
// | classes[].tinfo      | pybind11's registry entry of a bound class  | gate.h, first use after it is   | with the record (registrations   |
// |                      |                                             | registered                      | stay while the interpreter runs) |
// | classes[].dealloc    | the deallocation pybind11 gave the class    | instances.h, at install         | with the record                  |
// | classes[].before_    | run first for every instance freed          | instances.h, at install         | with the record                  |
// |   dealloc            |                                             |                                 |                                  |
// | classes[].new_member,| the class's `__new__` and `__init__` at     | instances.h, at install (owned, | with the record                  |
// |   init_member,       | install; the type's version tag while       | never released, so that no      |                                  |
// |   version            | they are unchanged                          | other object takes their        |                                  |
// |                      |                                             | address); version renewed by a  |                                  |
// |                      |                                             | lookup that finds them          |                                  |
// | classes[].free[],    | freed instances kept for reuse              | instances.h, by Dealloc; taken  | with the record, unread          |
// |   free_count         |                                             | by OwningInstance               |                                  |
// | method_descriptor_   | the method descriptor type                  | entry.h, first descriptor       | with the record                  |
// |   type               |                                             |                                 |                                  |
// | field_property_type  | the field property type                     | field_property.h, first field   | with the record                  |
// |                      |                                             | property                        |                                  |
// | negative_entries     | the module has put a pair into pybind11's   | override.h, first such pair     | with the record                  |
// |                      | negative override cache                     |                                 |                                  |
// | exception_type       | the module's exception type, if it has one  | the module, at import           | with the record                  |
// | submodules[]         | the module's submodules, for legacy         | legacy_subinterpreters.h, at    | with the record                  |
// |                      | subinterpreters                             | import                          |                                  |
//
// ProcessState
// | member               | what it is                                  | filled                          | dropped; who may touch it        |
// |----------------------|---------------------------------------------|---------------------------------|----------------------------------|
// | interpreter          | the record above                            | see above                       | see above                        |
// | generations          | records opened so far                       | OpenInterpreterState            | never; lock held                 |
// | layouts              | results of the checks of private layouts    | layouts.h, at the first import  | never; read-only after it, by    |
// |                      | (layouts.h)                                 |                                 | any thread                       |
// | gates                | the native-call gates (native_call_gate.h)  | at the first import; never      | never: native threads may call   |
// |                      |                                             | freed                           | after static destructors; each   |
// |                      |                                             |                                 | gate's own mutex and atomics     |
// | audit_probe_seen     | the audit hook saw its probe event          | audit_hook.h, at install        | never; lock held                 |
// | field_property_      | the member table of the field property      | field_property.h, with the type | never: CPython keeps pointers to |
// |   members[]          | type (`__doc__` at the access's offset)     |                                 | it; lock held                    |
//
// Besides the records, one thread-local: a native thread's mark among the
// threads that called into the main interpreter (native_call_gate.h).

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace fast_layer __attribute__((visibility("hidden"))) {

namespace detail = pybind11::detail;

// The bound classes a module reads through the layer, numbered by the module:
// it specialises ClassSlot<T> with a `value` below kMaxClasses for each.
inline constexpr int kMaxClasses = 8;
template <typename T>
struct ClassSlot;

// The module's overridable operations, numbered by the module (below
// kMaxOperations); override.h names each.
inline constexpr int kMaxOperations = 8;

inline constexpr int kFreeListSize = 32;
inline constexpr std::size_t kTypeDecisions = 64;  // = 2^6: the gate hashes a type to six bits
inline constexpr int kMaxSubmodules = 4;

// The gate's decision for one Python type: the bound type pybind11 maps it to
// when it maps it to exactly one, null otherwise. `weakref`'s callback clears
// the entry before the type is freed.
struct TypeDecision {
    PyTypeObject* type = nullptr;
    const detail::type_info* tinfo = nullptr;
    PyObject* weakref = nullptr;  // owned
};

struct ClassState {
    const detail::type_info* tinfo = nullptr;
    destructor dealloc = nullptr;
    void (*before_dealloc)(PyObject* self) = nullptr;
    PyObject* new_member = nullptr;  // owned
    PyObject* init_member = nullptr;  // owned
    unsigned version = 0;
    PyObject* free[kFreeListSize] = {};
    int free_count = 0;
};

struct Submodule {
    const char* name = nullptr;  // full name, static storage
    PyObject* module = nullptr;  // borrowed: the first interpreter keeps it for its lifetime
};

struct InterpreterState {
    unsigned generation = 0;
    detail::internals* internals = nullptr;
    PyObject* new_name = nullptr;
    PyObject* init_name = nullptr;
    PyObject* operation_names[kMaxOperations] = {};
    PyObject* type_died = nullptr;
    TypeDecision type_decisions[kTypeDecisions] = {};
    ClassState classes[kMaxClasses] = {};
    PyTypeObject* method_descriptor_type = nullptr;
    PyTypeObject* field_property_type = nullptr;
    bool negative_entries = false;
    PyObject* exception_type = nullptr;
    Submodule submodules[kMaxSubmodules] = {};
};

// What layouts.h found of CPython's private layouts; false takes the public
// call instead.
struct LayoutChecks {
    bool checked = false;
    bool capsule_pointer = false;
    bool recursion_count = false;
    bool thread_state_interp = false;
    bool code_fields = false;
    bool property_fields = false;
    Py_ssize_t field_access_offset = 0;  // where a field property's own part begins
    newfunc python_level_new = nullptr;  // the tp_new of a class whose `__new__` is Python's
};

// A native-call gate (native_call_gate.h): while open, native calls into the
// interpreter's recorders go in and are counted; closing waits for them.
struct InterpreterGate {
    std::mutex mutex;  // guards only the wait on `changed`
    std::condition_variable changed;
    std::atomic<bool> open{false};
    std::atomic<long> calls{0};
    PyInterpreterState* interp = nullptr;  // valid while open
};

struct NativeCallGates {
    InterpreterGate main;
    std::mutex mutex;  // guards the two containers below
    std::unordered_map<std::int64_t, InterpreterGate*> subinterpreters;  // owned, never freed
    std::vector<InterpreterGate*> retired;  // gates of an earlier interpreter's subinterpreters
    std::atomic<long> threads{0};           // threads with a mark that have not ended
};

struct ProcessState {
    InterpreterState interpreter;
    unsigned generations = 0;
    LayoutChecks layouts;
    NativeCallGates* gates = nullptr;
    bool audit_probe_seen = false;
    PyMemberDef field_property_members[2] = {};
};

// Trivially destructible and constant-initialised: no static constructor or
// destructor runs for it, so native threads may read it at any time.
static_assert(std::is_trivially_destructible_v<ProcessState>, "the process record is never destroyed");
inline ProcessState process;

// The running interpreter's record. Valid under the interpreter lock from the
// module's import to the end of finalization: every Python-facing entry of
// the layer runs within that span; native callers check IsOpen() first.
inline InterpreterState& Interpreter() { return process.interpreter; }

inline bool IsOpen() { return process.interpreter.generation != 0; }

}  // namespace fast_layer
