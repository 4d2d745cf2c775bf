// An embedding program that finalizes the interpreter and starts another, as
// programs hosting Python may: every interpreter imports telem_pyb afresh, and
// its Python recorders receive every call exactly as in the first.

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "norv/telem/telem.h"

namespace py = pybind11;

using norv::telem::TelemRecorder;
using norv::telem::TsValue;

PYBIND11_EMBEDDED_MODULE(embed_thrower, m) {
    m.def("throw_telem", [](const std::string& message) { throw norv::telem::TelemException(message); });
}

// Another pybind11 module whose call waits without the interpreter lock. It
// gives the lock back by a plain call, not from a destructor: CPython may end
// the thread right there, by unwinding it.
PYBIND11_EMBEDDED_MODULE(embed_sleeper, m) {
    m.def("sleep_without_lock", [](double seconds) {
        PyThreadState* state = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        PyEval_RestoreThread(state);
    });
}

namespace {

// Defines a recorder that logs what reaches it and drives it from Python.
constexpr const char* kPythonSide = R"(
import telem_pyb, embed_thrower

class Recorder(telem_pyb.TelemRecorder):
    def __init__(self):
        super().__init__()
        self.seen = []

    def record_point(self, point):
        self.seen.append(("point", point.value, point.mtime))

    def record_metadata(self, meta):
        self.seen.append(("metadata", meta.tsid, meta.units))

    def close(self):
        self.seen.append(("close",))

recorder = Recorder()
recorder.record_value(1.5)
point = telem_pyb.TsPoint()
point.value, point.mtime = 7, "t"
recorder.record_point(point)
recorder.record_metadata_kv({"tsid": "a", "units": "V"})
recorder.close()
try:
    embed_thrower.throw_telem("refused")
except telem_pyb.TelemException as e:
    recorder.seen.append(("TelemException", str(e)))
)";

constexpr const char* kExpected =
    "[('point', 1.5, ''), ('point', 7, 't'), ('metadata', 'a', 'V'), ('close',), "
    "('TelemException', 'refused'), ('point', 2, ''), ('close',)]";

TEST(InterpreterRestartTest, EachInterpreterRoutesRecorderCallsToPython) {
    std::shared_ptr<TelemRecorder> from_last_interpreter;
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("interpreter " + std::to_string(round));
        py::scoped_interpreter interpreter;
        if (from_last_interpreter) {
            // Its Python object belonged to the finalized interpreter: no override.
            try {
                from_last_interpreter->Close();
                ADD_FAILURE() << "Close() of a recorder from the last interpreter returned";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Tried to call pure virtual function \"type::close\"");
            }
        }
        py::dict scope;
        py::exec(kPythonSide, scope);
        {
            auto native = scope["recorder"].cast<std::shared_ptr<TelemRecorder>>();
            native->RecordValue(TsValue(2L));  // on this thread, which holds the lock
            py::gil_scoped_release release;
            std::thread([&native] { native->Close(); }).join();  // a thread without a thread state
        }
        EXPECT_EQ(py::repr(scope["recorder"].attr("seen")).cast<std::string>(), kExpected);
        from_last_interpreter = scope["recorder"].cast<std::shared_ptr<TelemRecorder>>();
    }
    from_last_interpreter.reset();
}

}  // namespace

namespace {

// A recorder that counts its points, defined afresh in each interpreter.
constexpr const char* kCountingRecorder = R"(
import telem_pyb

class Counting(telem_pyb.TelemRecorder):
    def __init__(self):
        super().__init__()
        self.points = 0

    def record_point(self, point):
        self.points += 1

    def record_metadata(self, meta):
        pass

    def close(self):
        pass

recorder = Counting()
)";

constexpr const char* kNotRunning =
    "telem_pyb: the recorder's Python interpreter is not running (it finalizes or has ended); its Python methods "
    "cannot be called";

// How a worker thread's calls ended.
struct WorkerEnd {
    std::atomic<long> calls{0};
    std::string failure;  // what() of the exception that ended the calls
};

void CallUntilRefused(TelemRecorder& recorder, WorkerEnd& end) {
    for (;;) {
        try {
            recorder.RecordValue(TsValue(end.calls.load()));
            ++end.calls;
        } catch (py::error_already_set&) {
            end.failure = "a Python error";  // not read: the interpreter may be gone
            return;
        } catch (const std::exception& e) {
            end.failure = e.what();
            return;
        }
    }
}

// Native threads calling a Python recorder while the interpreter finalizes,
// with both ways of taking the lock: a thread state kept for the thread's
// lifetime (gil_scoped_acquire, then gil_scoped_release) and a thread state
// made for each call. Each round starts a new interpreter the plain way
// (Py_InitializeEx and Py_FinalizeEx), which imports telem_pyb afresh.
TEST(NativeThreadsAtExitTest, CallsFailCatchablyOnceTheInterpreterFinalizes) {
    constexpr int kRounds = 50;
    constexpr int kWorkers = 4;
    for (int round = 1; round <= kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Py_InitializeEx(0);
        std::shared_ptr<TelemRecorder> recorder;
        {
            py::dict scope;
            py::exec(kCountingRecorder, scope);
            recorder = scope["recorder"].cast<std::shared_ptr<TelemRecorder>>();
        }
        std::vector<WorkerEnd> ends(kWorkers);
        std::vector<std::thread> workers;
        {
            py::gil_scoped_release without_gil;
            for (int w = 0; w < kWorkers; ++w) {
                workers.emplace_back([&recorder, &end = ends[w], keep = w % 2 == 1] {
                    if (keep) {
                        py::gil_scoped_acquire thread_state;
                        py::gil_scoped_release between_calls;
                        CallUntilRefused(*recorder, end);
                    } else {
                        CallUntilRefused(*recorder, end);
                    }
                });
            }
            // The interpreter finalizes while every worker is calling.
            for (const WorkerEnd& end : ends) {
                while (end.calls.load() == 0) std::this_thread::yield();
            }
        }
        ASSERT_EQ(Py_FinalizeEx(), 0);
        for (std::thread& worker : workers) worker.join();
        for (const WorkerEnd& end : ends) {
            EXPECT_GT(end.calls.load(), 0);
            EXPECT_EQ(end.failure, kNotRunning);
        }
        // The native half outlives its interpreter; calls still fail the same way.
        try {
            recorder->Close();
            ADD_FAILURE() << "Close() after finalization returned";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), kNotRunning);
        }
    }
}

// An embedding program whose table of exit functions is full: the import
// fails, since the module's caches could not be dropped with the interpreter.
TEST(ExitFunctionTableTest, AFullTableFailsTheImport) {
    Py_InitializeEx(0);
    while (Py_AtExit([] {}) == 0) {
    }
    {
        py::dict scope;
        py::exec(R"(
try:
    import telem_pyb
    outcome = "imported"
except ImportError as e:
    outcome = str(e)
)",
                 scope);
        EXPECT_EQ(scope["outcome"].cast<std::string>(),
                  "telem_pyb cannot register its exit function: the interpreter's table of exit functions "
                  "(Py_AtExit) is full");
    }
    Py_FinalizeEx();
}

// With telem_pyb merely imported, a daemon thread is inside another pybind11
// module's call when the interpreter finalizes. It wakes afterwards: CPython
// ends it as it takes the lock back, and its unwinding runs that module's
// pybind11 code, which reads pybind11's internals. The program goes on: it
// starts an interpreter again the plain way, records there, and exits
// normally. Run in a child process, as a crash would end the test program.
TEST(FinalizedInterpreterTest, ADaemonThreadInAnotherModulesCallWakesAfterFinalization) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Py_InitializeEx(0);
            const int started = PyRun_SimpleString(R"(
import threading, time
import telem_pyb, embed_sleeper
threading.Thread(target=embed_sleeper.sleep_without_lock, args=(0.3,), daemon=True).start()
time.sleep(0.05)
)");
            Py_FinalizeEx();
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            Py_InitializeEx(0);
            const int again = PyRun_SimpleString(R"(
import telem_pyb
class Counting(telem_pyb.TelemRecorder):
    points = 0
    def record_point(self, point):
        Counting.points += 1
recorder = Counting()
for i in range(3):
    recorder.record_value(i)
assert Counting.points == 3
)");
            const int finalized = Py_FinalizeEx();
            std::exit(started == 0 && again == 0 && finalized == 0 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
