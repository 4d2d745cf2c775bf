// An embedding program that finalizes the interpreter and starts another, as
// programs hosting Python may: every interpreter imports telem_pyb afresh, and
// its Python recorders receive every call exactly as in the first.

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "norv/telem/telem.h"

namespace py = pybind11;

using norv::telem::TelemRecorder;
using norv::telem::TsValue;

PYBIND11_EMBEDDED_MODULE(embed_thrower, m) {
    m.def("throw_telem", [](const std::string& message) { throw norv::telem::TelemException(message); });
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
