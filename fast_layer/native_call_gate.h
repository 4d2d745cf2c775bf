#pragma once

// The native-call gate: the interpreter lock for native code that calls a
// Python recorder, from any thread. Two things make that unsafe without care,
// and a gate per interpreter handles both:
// - Once an interpreter finalizes, CPython frees the thread states of other
//   threads and ends any thread that waits for the lock with pthread_exit,
//   whose unwinding aborts the process in a noexcept destructor; and
//   Py_EndInterpreter aborts if another thread state of the subinterpreter
//   exists. So each interpreter's gate closes at its exit (an atexit function,
//   which runs before any of that), waits for the native calls inside to
//   return (and, for the main interpreter, within a bound, for the threads
//   that called to end), and from then on refuses native calls with an
//   exception that native code can catch.
// - A recorder's Python methods must run under a thread state of the
//   interpreter that made the recorder: attribute lookups go through the
//   running interpreter's type cache, which a subinterpreter's types would
//   corrupt. A call from a thread of another interpreter, or from a native
//   thread into a subinterpreter's recorder, runs under a thread state made
//   for the call.
// A thread whose current thread state belongs to the recorder's interpreter
// holds the lock already; its calls nest and never pass a gate.
//
// The gates live in the process record (state.h), made at the first import
// and never freed: threads may call after static destructors have run. The
// main interpreter's gate is opened at each import of the module, one per
// interpreter; a subinterpreter's when it makes its first recorder. Gates of
// ended subinterpreters stay, closed.

#include <pybind11/pybind11.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>

#include "fast_layer/layouts.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// What a native call meets while its recorder's interpreter does not run.
class InterpreterNotRunning : public std::runtime_error {
public:
    InterpreterNotRunning()
        : std::runtime_error(
              "telem_pyb: the recorder's Python interpreter is not running (it finalizes or has ended); its Python "
              "methods cannot be called") {}
};

// How long the main interpreter's exit waits for calls in progress, then for
// the threads that called to end. A subinterpreter waits for its calls
// without a bound: it cannot end while another thread state of it exists.
inline constexpr std::chrono::seconds kCallsBound{10};
inline constexpr std::chrono::seconds kThreadsBound{2};

inline void NotifyGate(InterpreterGate& gate) {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.changed.notify_all();
}

inline void LeaveGate(InterpreterGate& gate) {
    if (gate.calls.fetch_sub(1) == 1 && !gate.open.load()) {
        NotifyGate(gate);
    }
}

// Lets a native call in and gives its interpreter, or throws
// InterpreterNotRunning. The count goes up before the gate is read and the
// closer reads the count after closing, so either the closer waits for this
// call or this call sees the gate closed.
inline PyInterpreterState* EnterGate(InterpreterGate& gate) {
    gate.calls.fetch_add(1);
    if (!gate.open.load()) {
        LeaveGate(gate);
        throw InterpreterNotRunning();
    }
    return gate.interp;
}

inline void OpenGate(InterpreterGate& gate, PyInterpreterState* interp) {
    gate.interp = interp;
    gate.open.store(true);
}

// In a forked child, which has only the forking thread: the others' calls and
// a lock one of them may have held stay behind in the parent.
inline void ResetGateInChild(InterpreterGate& gate) {
    new (&gate.mutex) std::mutex;
    new (&gate.changed) std::condition_variable;
    gate.calls.store(0);
}

// A native thread's mark among the threads that called into the main
// interpreter without a thread state: counted once, counted off when the
// thread ends. The one thread-local of the layer.
struct ThreadMark {
    ThreadMark();
    ~ThreadMark();
};
inline thread_local bool thread_marked = false;

inline NativeCallGates& Gates() {
    if (process.gates == nullptr) {
        process.gates = new NativeCallGates;  // never freed: see above
        pthread_atfork(nullptr, nullptr, [] {
            NativeCallGates& gates = *process.gates;
            new (&gates.mutex) std::mutex;
            ResetGateInChild(gates.main);
            for (auto& entry : gates.subinterpreters) {
                ResetGateInChild(*entry.second);
            }
            gates.threads.store(thread_marked ? 1 : 0);
        });
    }
    return *process.gates;
}

inline ThreadMark::ThreadMark() {
    Gates().threads.fetch_add(1);
    thread_marked = true;
}

inline ThreadMark::~ThreadMark() {
    Gates().threads.fetch_sub(1);
    NotifyGate(Gates().main);
}

inline void NoteThread() {
    thread_local ThreadMark mark;
    (void)mark;
}

// The gate of interpreter `id`, or null when it never had one.
inline InterpreterGate* FindGate(std::int64_t id) {
    NativeCallGates& gates = Gates();
    if (id == 0) {
        return &gates.main;
    }
    std::lock_guard<std::mutex> lock(gates.mutex);
    const auto found = gates.subinterpreters.find(id);
    return found == gates.subinterpreters.end() ? nullptr : found->second;
}

// Whose gate it is: the main interpreter's exit waits for its calls within
// a bound, then for the threads that called to end; a subinterpreter's waits
// for its calls without a bound.
enum class GateOf { kMainInterpreter, kSubinterpreter };

// Closes the gate and waits, with the interpreter lock released, as `owner`
// says. Call with the lock held (at the interpreter's exit).
inline void CloseAndDrain(InterpreterGate& gate, GateOf owner) {
    gate.open.store(false);
    std::atomic<long>& threads = Gates().threads;
    const long own_thread = thread_marked ? 1 : 0;  // the exiting thread may have called natively itself
    Py_BEGIN_ALLOW_THREADS;
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        const auto idle = [&] { return gate.calls.load() == 0; };
        if (owner == GateOf::kMainInterpreter) {
            gate.changed.wait_for(lock, kCallsBound, idle);
            gate.changed.wait_for(lock, kThreadsBound, [&] { return idle() && threads.load() == own_thread; });
        } else {
            gate.changed.wait(lock, idle);
        }
    }
    Py_END_ALLOW_THREADS;
}

// Has the running interpreter's exit close `gate`.
inline void CloseAtExit(InterpreterGate& gate, GateOf owner) {
    py::module_::import("atexit").attr("register")(
        py::cpp_function([&gate, owner] { CloseAndDrain(gate, owner); }, py::name("_close_native_call_gate")));
}

// The running interpreter's id, after opening its gate if it never had one (a
// subinterpreter making its first recorder), with the interpreter's exit
// closing it. A gate that closed stays closed: its interpreter is exiting.
// Call with the lock held.
inline std::int64_t OpenRecorderInterpreter() {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id != 0 && FindGate(id) == nullptr) {
        auto* gate = new InterpreterGate;  // never freed: a native half may point to it
        CloseAtExit(*gate, GateOf::kSubinterpreter);
        OpenGate(*gate, interp);
        NativeCallGates& gates = Gates();
        std::lock_guard<std::mutex> lock(gates.mutex);
        gates.subinterpreters.emplace(id, gate);
    }
    return id;
}

// At the module's import, in a new interpreter: opens the main gate, with
// this interpreter's exit closing it, and retires the gates of the
// subinterpreters of an earlier one (new ones may reuse their ids).
inline void OpenGatesForImport() {
    NativeCallGates& gates = Gates();
    {
        std::lock_guard<std::mutex> lock(gates.mutex);
        for (auto& entry : gates.subinterpreters) {
            entry.second->open.store(false);
            gates.retired.push_back(entry.second);  // a native half of that time may still point to it
        }
        gates.subinterpreters.clear();
    }
    PyInterpreterState* interp = PyInterpreterState_Get();
    const bool main = PyInterpreterState_GetID(interp) == 0;
    InterpreterGate& gate = main ? gates.main : *new InterpreterGate;
    CloseAtExit(gate, main ? GateOf::kMainInterpreter : GateOf::kSubinterpreter);
    OpenGate(gate, interp);
    if (!main) {
        std::lock_guard<std::mutex> lock(gates.mutex);
        gates.subinterpreters.emplace(PyInterpreterState_GetID(interp), &gate);
    }
}

// Holds the interpreter lock, under a thread state of interpreter `owner`, for
// a call into a recorder's Python methods from native code.
class InterpreterLock {
public:
    explicit InterpreterLock(std::int64_t owner) {
        PyThreadState* current = _PyThreadState_UncheckedGet();
        if (current != nullptr
            && (owner == 0 ? InterpreterOf(current) == PyInterpreterState_Main()
                           : PyInterpreterState_GetID(InterpreterOf(current)) == owner)) {
            return;  // nests
        }
        gate_ = FindGate(owner);
        if (gate_ == nullptr) {
            throw InterpreterNotRunning();
        }
        PyInterpreterState* interp = EnterGate(*gate_);
        try {
            if (current == nullptr && owner == 0) {
                NoteThread();
                acquired_.emplace();  // the thread's own thread state, or one made for the call
                return;
            }
            made_ = PyThreadState_New(interp);
            if (made_ == nullptr) {
                throw std::bad_alloc();
            }
        } catch (...) {
            LeaveGate(*gate_);
            throw;
        }
        if (current == nullptr) {
            PyEval_RestoreThread(made_);
        } else {
            previous_ = PyThreadState_Swap(made_);  // the lock is held already
        }
    }

    ~InterpreterLock() {
        if (made_ != nullptr) {
            PyThreadState_Clear(made_);
            if (previous_ != nullptr) {
                PyThreadState_Swap(previous_);
                PyThreadState_Delete(made_);
            } else {
                PyThreadState_DeleteCurrent();  // and releases the lock
            }
        }
        acquired_.reset();
        if (gate_ != nullptr) {
            LeaveGate(*gate_);
        }
    }

    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    InterpreterGate* gate_ = nullptr;
    std::optional<py::gil_scoped_acquire> acquired_;
    PyThreadState* made_ = nullptr;      // a thread state made for the call
    PyThreadState* previous_ = nullptr;  // the thread's current one, put back after the call
};

}  // namespace fast_layer
