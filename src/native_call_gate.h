#pragma once

// Native threads that call a Python recorder take the interpreter lock for the
// call. Once the interpreter finalizes, CPython frees their thread states and
// ends any thread that waits for the lock with pthread_exit, whose unwinding
// aborts the process in a noexcept destructor. So native callers pass a gate:
// while the interpreter runs it lets them in; at exit (an atexit function,
// which runs before CPython starts freeing thread states) it closes, waits for
// the calls inside to return and for the threads that called to end, within a
// bound, and from then on refuses every native call with an exception that
// native code can catch. Calls made by a thread that holds the lock already
// nest and never pass the gate.

#include <pybind11/pybind11.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>

namespace telem_pyb {

namespace py = pybind11;

// What a native call meets while the gate is closed.
class InterpreterNotRunning : public std::runtime_error {
public:
    InterpreterNotRunning()
        : std::runtime_error(
            "telem_pyb: the Python interpreter is not running (it finalizes or has finalized); a recorder "
            "implemented in Python cannot be called") {}
};

class NativeCallGate {
public:
    // How long the interpreter's exit waits for calls in progress, then for the
    // threads that called to end.
    static constexpr std::chrono::seconds kCallsBound{10};
    static constexpr std::chrono::seconds kThreadsBound{2};

    static NativeCallGate& Get() {
        static NativeCallGate* gate = new NativeCallGate;  // never destroyed: threads may outlive static destructors
        return *gate;
    }

    void Open() { open_.store(true); }

    // Lets a native call in, or throws InterpreterNotRunning. The count goes up
    // before the gate is read and the closer reads the count after closing, so
    // either the closer waits for this call or this call sees the gate closed.
    void Enter() {
        calls_.fetch_add(1);
        if (!open_.load()) {
            Leave();
            throw InterpreterNotRunning();
        }
    }

    void Leave() {
        if (calls_.fetch_sub(1) == 1 && !open_.load()) {
            Notify();
        }
    }

    // Counts the calling thread among the threads that called, once; it is
    // counted off when it ends.
    static void NoteThread() {
        thread_local ThreadMark mark;
        (void)mark;
    }

    // Closes the gate and waits, with the interpreter lock released, until no
    // call is inside and every thread that called but the calling one has
    // ended, each within its bound. Call with the interpreter lock held.
    void CloseAndDrain() {
        open_.store(false);
        const long own = marked_ ? 1 : 0;
        Py_BEGIN_ALLOW_THREADS;
        {
            std::unique_lock<std::mutex> lock(*mutex_);
            changed_->wait_for(lock, kCallsBound, [&] { return calls_.load() == 0; });
            changed_->wait_for(lock, kThreadsBound, [&] { return calls_.load() == 0 && threads_.load() == own; });
        }
        Py_END_ALLOW_THREADS;
    }

private:
    struct ThreadMark {
        ThreadMark() {
            Get().threads_.fetch_add(1);
            marked_ = true;
        }
        ~ThreadMark() {
            NativeCallGate& gate = Get();
            gate.threads_.fetch_sub(1);
            gate.Notify();
        }
    };

    NativeCallGate() {
        // A forked child has only the forking thread: the others' counts and a
        // lock one of them may have held stay behind in the parent.
        pthread_atfork(nullptr, nullptr, [] { Get().ResetInChild(); });
    }

    void Notify() {
        std::lock_guard<std::mutex> lock(*mutex_);
        changed_->notify_all();
    }

    void ResetInChild() {
        mutex_ = new (mutex_storage_) std::mutex;
        changed_ = new (changed_storage_) std::condition_variable;
        calls_.store(0);
        threads_.store(marked_ ? 1 : 0);
    }

    alignas(std::mutex) unsigned char mutex_storage_[sizeof(std::mutex)];
    alignas(std::condition_variable) unsigned char changed_storage_[sizeof(std::condition_variable)];
    std::mutex* mutex_ = new (mutex_storage_) std::mutex;
    std::condition_variable* changed_ = new (changed_storage_) std::condition_variable;
    std::atomic<bool> open_{false};
    std::atomic<long> calls_{0};    // native calls inside
    std::atomic<long> threads_{0};  // threads that called through the gate and have not ended
    static thread_local bool marked_;
};

inline thread_local bool NativeCallGate::marked_ = false;

// Holds the interpreter lock for a call into Python from native code. A thread
// whose current thread state holds the lock nests, whichever interpreter that
// state belongs to; pybind11's gil_scoped_acquire would switch a thread running
// a subinterpreter to its main-interpreter state and wait for its own lock.
// Any other thread passes the gate, then takes the lock with its own thread
// state or, without one, with a new thread state for the call.
class InterpreterLock {
public:
    InterpreterLock() {
        if (_PyThreadState_UncheckedGet() != nullptr) {
            return;
        }
        NativeCallGate& gate = NativeCallGate::Get();
        gate.Enter();
        entered_ = true;
        try {
            NativeCallGate::NoteThread();
            acquired_.emplace();
        } catch (...) {
            gate.Leave();
            throw;
        }
    }
    ~InterpreterLock() {
        acquired_.reset();
        if (entered_) {
            NativeCallGate::Get().Leave();
        }
    }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;

private:
    bool entered_ = false;
    std::optional<py::gil_scoped_acquire> acquired_;
};

// Opens the gate for the interpreter that imports the module and closes it at
// that interpreter's exit.
inline void OpenNativeCallGate(py::module_& module) {
    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { NativeCallGate::Get().CloseAndDrain(); }, py::name("_close_native_call_gate"),
                         py::scope(module)));
    NativeCallGate::Get().Open();
}

}  // namespace telem_pyb
