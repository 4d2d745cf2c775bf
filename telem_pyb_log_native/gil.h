#pragma once

// Waits that may be long (for room in the queue, a flush, a close) let other
// threads run Python: the interpreter lock is released if this thread holds
// it, and taken back at the end of the wait. Taking it back is not done from a
// noexcept destructor: CPython ends a thread that takes the lock after
// finalization began by unwinding it, which must be able to leave the scope.

#include <Python.h>

namespace telem_pyb_log {

class GilReleased {
public:
    // In CPython 3.12 a thread's current thread state is set while, and only
    // while, the thread holds the interpreter lock.
    GilReleased() : saved_(_PyThreadState_UncheckedGet() != nullptr ? PyEval_SaveThread() : nullptr) {}
    GilReleased(const GilReleased&) = delete;
    GilReleased& operator=(const GilReleased&) = delete;
    ~GilReleased() noexcept(false) { Restore(); }

    void Restore() {
        if (PyThreadState* saved = saved_) {
            saved_ = nullptr;
            PyEval_RestoreThread(saved);
        }
    }

private:
    PyThreadState* saved_;
};

}  // namespace telem_pyb_log
