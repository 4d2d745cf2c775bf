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
// InterpreterState: filled as the table says, dropped as a whole, unread, by
// DropInterpreterState at the end of its interpreter's Py_FinalizeEx (each
// member's "until" is its life before that). Lock: the interpreter lock.
// | member                 | what it is                                 | filled                  | until             |
// |------------------------|--------------------------------------------|-------------------------|-------------------|
// | generation             | the record's number from 1; 0 while closed | OpenInterpreterState    | the drop          |
// | internals              | pybind11's internals                       | OpenInterpreterState    | the drop          |
// | new_name, init_name    | "__new__", "__init__", interned            | OpenInterpreterState    | the drop          |
// | operation_names[]      | the module's overridable operations'       | OpenInterpreterState    | the drop          |
// |                        | names, interned, by its numbering          |                         |                   |
// | type_died              | callback of the gate's weak references     | gate.h, first decision  | the drop          |
// | type_decisions[]       | the exact-type gate's decision per type    | gate.h, at a type's     | its type's weak   |
// |                        |                                            | first sight             | reference fires   |
// |                        |                                            |                         | (before the type  |
// |                        |                                            |                         | is freed), or     |
// |                        |                                            |                         | another type      |
// |                        |                                            |                         | takes the slot    |
// | classes[].tinfo        | pybind11's registry entry of a bound class | gate.h, first use once  | the drop          |
// |                        | (ClassSlot<T> numbers the classes)         | it is registered        |                   |
// | classes[].dealloc,     | the deallocation pybind11 gave the class;  | instances.h, at install | the drop          |
// |   before_dealloc       | what runs first for every instance freed   |                         |                   |
// | classes[].new_member,  | the class's `__new__` and `__init__` at    | class_call.h, at        | the drop; version |
// |   init_member, version | install (owned: no other object takes      | install                 | renewed by the    |
// |                        | their address) and its version tag while   |                         | lookups that find |
// |                        | they are unchanged                         |                         | them              |
// | classes[].free[],      | freed instances kept for reuse             | instances.h: Dealloc    | OwningInstance    |
// |   free_count           |                                            | keeps one               | takes it, or the  |
// |                        |                                            |                         | drop              |
// | method_descriptor_type | the method descriptor type                 | entry.h, first one      | the drop          |
// | field_property_type    | the field property type                    | field_property.h, first | the drop          |
// | negative_entries       | the module has put a pair into pybind11's  | override.h, first pair  | the drop          |
// |                        | negative override cache                    |                         |                   |
// | exception_type         | the module's exception type, if any        | the module, at import   | the drop          |
// | submodules[]           | the module's submodules (a chain), for     | legacy_subinterpreters  | the drop          |
// |                        | legacy subinterpreters                     | .h, at import           |                   |
//
// ProcessState: never dropped (trivially destructible, constant-initialised).
// | member                 | what it is                                 | filled                  | who touches it    |
// |------------------------|--------------------------------------------|-------------------------|-------------------|
// | interpreter            | the record above                           | see above               | see above         |
// | finished               | the last dropped record, never read: what  | DropInterpreterState    | the finalizing    |
// |                        | it owned (free lists, the gate's callback, |                         | thread            |
// |                        | types) can no longer be freed, and stays   |                         |                   |
// |                        | referenced, as it is kept                  |                         |                   |
// | generations            | records opened so far                      | OpenInterpreterState    | lock held         |
// | layouts                | what the checks of CPython's private       | layouts.h, at the first | any thread, read- |
// |                        | layouts found (layouts.h), and the         | import; capsule_pointer | only once filled  |
// |                        | offset of a field property's own part      | may turn off later      | (before a native  |
// |                        |                                            | (lock held)             | caller exists)    |
// | gates                  | the native-call gates: the main            | native_call_gate.h, at  | any thread: each  |
// |                        | interpreter's and one per subinterpreter   | the first import; never | gate's mutex and  |
// |                        | that made a recorder                       | freed (native threads   | atomics; the      |
// |                        |                                            | may call after static   | map's mutex       |
// |                        |                                            | destructors ran)        |                   |
// | audit_probe_seen       | the audit hook saw its probe event         | audit_hook.h, at import | lock held         |
// | field_property_        | the member table of the field property     | field_property.h, with  | lock held (CPython|
// |   members[]            | type (`__doc__` at the access's offset)    | the type                | keeps a pointer)  |
//
// Constant tables that CPython keeps pointers to (PyMethodDef, PyGetSetDef,
// PyMemberDef of a fixed layout) are function-local statics, never written.
// Besides the records, two thread-locals: a native thread's mark among the
// threads that called into the main interpreter, and whether it has one
// (native_call_gate.h).

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace [[gnu::visibility("hidden")]] fast_layer {

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
    PyObject* new_member = nullptr;   // owned
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
    std::mutex mutex;                                                    // guards the two containers below
    std::unordered_map<std::int64_t, InterpreterGate*> subinterpreters;  // owned, never freed
    std::vector<InterpreterGate*> retired;  // gates of an earlier interpreter's subinterpreters
    std::atomic<long> threads{0};           // threads with a mark that have not ended
};

struct ProcessState {
    InterpreterState interpreter;
    InterpreterState finished;
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
