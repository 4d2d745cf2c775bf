#pragma once

// Native code may call a Python recorder from any thread. Two things make that
// unsafe without care, and a gate per interpreter handles both:
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
#include <unordered_map>
#include <vector>

namespace telem_pyb {

namespace py = pybind11;

// CPython 3.12's thread state names its interpreter in a field that
// PyThreadState_GetInterpreter returns; the field is read directly once
// CheckThreadStateLayout, at import, has seen the two agree.
inline bool thread_state_interp_inline = false;

inline void CheckThreadStateLayout() {
    PyThreadState* tstate = PyThreadState_Get();
    thread_state_interp_inline = tstate->interp == PyThreadState_GetInterpreter(tstate);
}

inline PyInterpreterState* InterpreterOf(PyThreadState* tstate) {
    return thread_state_interp_inline ? tstate->interp : PyThreadState_GetInterpreter(tstate);
}

// What a native call meets while its recorder's interpreter does not run.
class InterpreterNotRunning : public std::runtime_error {
public:
    InterpreterNotRunning()
        : std::runtime_error(
            "telem_pyb: the recorder's Python interpreter is not running (it finalizes or has ended); its Python "
            "methods cannot be called") {}
};

class InterpreterGate {
public:
    // How long the main interpreter's exit waits for calls in progress, then
    // for the threads that called to end. A subinterpreter waits for its calls
    // without a bound: it cannot end while another thread state of it exists.
    static constexpr std::chrono::seconds kCallsBound{10};
    static constexpr std::chrono::seconds kThreadsBound{2};

    void Open(PyInterpreterState* interp) {
        interp_ = interp;
        open_.store(true);
    }

    // Lets a native call in and gives its interpreter, or throws
    // InterpreterNotRunning. The count goes up before the gate is read and the
    // closer reads the count after closing, so either the closer waits for
    // this call or this call sees the gate closed.
    PyInterpreterState* Enter() {
        calls_.fetch_add(1);
        if (!open_.load()) {
            Leave();
            throw InterpreterNotRunning();
        }
        return interp_;
    }

    void Leave() {
        if (calls_.fetch_sub(1) == 1 && !open_.load()) {
            Notify();
        }
    }

    bool IsOpen() const { return open_.load(); }

    void CloseWithoutWaiting() { open_.store(false); }

    // Closes the gate and waits, with the interpreter lock released, until no
    // call is inside and, with `threads`, until every thread counted there has
    // ended but the calling one (within the bounds). Call with the lock held.
    void CloseAndDrain(std::atomic<long>* threads, long own_thread, bool bounded) {
        open_.store(false);
        Py_BEGIN_ALLOW_THREADS;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            const auto idle = [&] { return calls_.load() == 0; };
            if (bounded) {
                changed_.wait_for(lock, kCallsBound, idle);
            } else {
                changed_.wait(lock, idle);
            }
            if (threads != nullptr) {
                changed_.wait_for(lock, kThreadsBound, [&] { return idle() && threads->load() == own_thread; });
            }
        }
        Py_END_ALLOW_THREADS;
    }

    void Notify() {
        std::lock_guard<std::mutex> lock(mutex_);
        changed_.notify_all();
    }

    // In a forked child, which has only the forking thread: the others' calls
    // and a lock one of them may have held stay behind in the parent.
    void ResetInChild() {
        new (&mutex_) std::mutex;
        new (&changed_) std::condition_variable;
        calls_.store(0);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> open_{false};
    std::atomic<long> calls_{0};
    PyInterpreterState* interp_ = nullptr;  // valid while the gate is open
};

// The gates of the interpreters that own recorders: the main interpreter's,
// opened at the module's import, and one per subinterpreter, opened when it
// makes its first recorder. Never destroyed: threads may outlive static
// destructors. Gates of ended subinterpreters stay, closed.
class Gates {
public:
    static Gates& Get() {
        static Gates* gates = new Gates;
        return *gates;
    }

    // The gate of interpreter `id`, or null when it never had one.
    InterpreterGate* Find(std::int64_t id) {
        if (id == 0) {
            return &main_;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = subinterpreters_.find(id);
        return found == subinterpreters_.end() ? nullptr : found->second;
    }

    // The running interpreter's id, after opening its gate if it never had
    // one (a subinterpreter making its first recorder), with the
    // interpreter's exit closing it. A gate that closed stays closed: its
    // interpreter is exiting. Call with the lock held.
    std::int64_t Join() {
        PyInterpreterState* interp = PyInterpreterState_Get();
        const std::int64_t id = PyInterpreterState_GetID(interp);
        if (id != 0 && Find(id) == nullptr) {
            auto* gate = new InterpreterGate;
            RegisterExit(*gate, false);
            gate->Open(interp);
            std::lock_guard<std::mutex> lock(mutex_);
            subinterpreters_.emplace(id, gate);
        }
        return id;
    }

    // At the module's import, in a new interpreter: opens the main gate, with
    // this interpreter's exit closing it, and forgets the gates of the
    // subinterpreters of an earlier one (new ones may reuse their ids).
    void OpenForImport() {
        CheckThreadStateLayout();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& entry : subinterpreters_) {
                entry.second->CloseWithoutWaiting();
                retired_.push_back(entry.second);  // a native half of that time may still point to it
            }
            subinterpreters_.clear();
        }
        PyInterpreterState* interp = PyInterpreterState_Get();
        InterpreterGate& gate = PyInterpreterState_GetID(interp) == 0 ? main_ : *new InterpreterGate;
        RegisterExit(gate, &gate == &main_);
        gate.Open(interp);
        if (&gate != &main_) {
            std::lock_guard<std::mutex> lock(mutex_);
            subinterpreters_.emplace(PyInterpreterState_GetID(interp), &gate);
        }
    }

    // Counts the calling thread among the threads that called into the main
    // interpreter without a current thread state, once; it is counted off
    // when it ends.
    static void NoteThread() {
        thread_local ThreadMark mark;
        (void)mark;
    }

private:
    // Has the running interpreter's exit close `gate`: the main interpreter's
    // within the bounds and after the threads that called, a
    // subinterpreter's once its calls have returned.
    static void RegisterExit(InterpreterGate& gate, bool main) {
        py::module_::import("atexit").attr("register")(py::cpp_function(
            [&gate, main] { gate.CloseAndDrain(main ? &threads_ : nullptr, main && marked_ ? 1 : 0, main); },
            py::name("_close_native_call_gate")));
    }

    struct ThreadMark {
        ThreadMark() {
            threads_.fetch_add(1);
            marked_ = true;
        }
        ~ThreadMark() {
            threads_.fetch_sub(1);
            Get().main_.Notify();
        }
    };

    Gates() {
        pthread_atfork(nullptr, nullptr, [] {
            Gates& gates = Get();
            new (&gates.mutex_) std::mutex;
            gates.main_.ResetInChild();
            for (auto& entry : gates.subinterpreters_) entry.second->ResetInChild();
            threads_.store(marked_ ? 1 : 0);
        });
    }

    InterpreterGate main_;
    std::mutex mutex_;  // guards subinterpreters_
    std::unordered_map<std::int64_t, InterpreterGate*> subinterpreters_;
    std::vector<InterpreterGate*> retired_;  // gates of an earlier interpreter's subinterpreters
    static inline std::atomic<long> threads_{0};  // threads counted by NoteThread that have not ended
    static inline thread_local bool marked_ = false;
};

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
        gate_ = Gates::Get().Find(owner);
        if (gate_ == nullptr) {
            throw InterpreterNotRunning();
        }
        PyInterpreterState* interp = gate_->Enter();
        try {
            if (current == nullptr && owner == 0) {
                Gates::NoteThread();
                acquired_.emplace();  // the thread's own thread state, or one made for the call
                return;
            }
            made_ = PyThreadState_New(interp);
            if (made_ == nullptr) {
                throw std::bad_alloc();
            }
        } catch (...) {
            gate_->Leave();
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
            gate_->Leave();
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

}  // namespace telem_pyb
