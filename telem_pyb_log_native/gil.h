#pragma once

// Waits that may be long (for room in the queue, a flush, a close) let other
// threads run Python: the interpreter lock is released if this thread holds
// it, and taken back at the end of the wait. Taking it back is not done from a
// noexcept destructor: CPython ends a thread that takes the lock after
// finalization began by unwinding it, which must be able to leave the scope.

#include <Python.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>

namespace telem_pyb_log {

class GilReleased {
public:
    // In CPython 3.12 a thread's current thread state is set while, and only
    // while, the thread holds the interpreter lock.
    GilReleased() : held_(_PyThreadState_UncheckedGet() != nullptr), saved_(held_ ? PyEval_SaveThread() : nullptr) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() noexcept(false) { Restore(); }

    // True if this thread held the interpreter lock before.
    bool held() const { return held_; }

    void Restore() {
        if (PyThreadState* saved = saved_) {
            saved_ = nullptr;
            PyEval_RestoreThread(saved);
        }
    }
    // Releases it again after Restore.
    void Release() {
        if (held_ && saved_ == nullptr) {
            saved_ = PyEval_SaveThread();
        }
    }

private:
    const bool held_;
    PyThreadState* saved_;
};

// A wait that a signal handler raised out of (Ctrl-C: KeyboardInterrupt):
// the Python error is set and the interpreter lock held. `note` says what
// the interrupted call left undone.
class PythonInterrupted : public std::runtime_error {
public:
    explicit PythonInterrupted(const std::string& note) : std::runtime_error(note) {}
};

// Waits on `cv` until `done()`, or until `deadline` with `limited`. With
// `interruptible`, a thread that held the interpreter lock (released by
// `gil`) runs Python's signal handlers every 50 ms, without `mutex`; if one
// raises, the wait ends with PythonInterrupted(note()) thrown, the lock
// held. Returns done().
template <typename Done, typename Note>
bool WaitInterruptibly(std::mutex& mutex, std::condition_variable& cv, GilReleased& gil, bool interruptible,
                       bool limited, std::chrono::steady_clock::time_point deadline, Done&& done, Note&& note) {
    const auto slice = std::chrono::milliseconds(50);
    const bool check = interruptible && gil.held();
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            const auto now = std::chrono::steady_clock::now();
            const auto until = !check ? (limited ? deadline : now + std::chrono::hours(24))
                                      : (limited ? std::min(deadline, now + slice) : now + slice);
            if (cv.wait_until(lock, until, done)) {
                return true;
            }
            if (limited && std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
        }
        if (check) {
            gil.Restore();
            if (PyErr_CheckSignals() != 0) {
                throw PythonInterrupted(note());
            }
            gil.Release();
        }
    }
}

}  // namespace telem_pyb_log
