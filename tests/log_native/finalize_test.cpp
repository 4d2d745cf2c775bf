// An embedding program whose native thread records into a log recorder while
// the interpreter finalizes and after: no crash and no hang, every point
// recorded before the recorder closed is in the file, every later one is
// refused with TelemException. The next interpreter records again.

#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "norv/telem/telem.h"

namespace py = pybind11;

using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsValue;

namespace {

std::string TempPath(const char* name) {
    char dir[] = "/tmp/telem-log-embed-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return std::string(dir) + "/" + name;
}

long CountRows(const std::string& path) {
    py::dict scope;
    scope["path"] = path;
    py::exec(R"(
import contextlib, sqlite3
with contextlib.closing(sqlite3.connect(path)) as conn:
    rows = conn.execute("SELECT COUNT(*), COUNT(DISTINCT value) FROM log_points").fetchone()
)", scope);
    const auto rows = scope["rows"].cast<std::pair<long, long>>();
    EXPECT_EQ(rows.first, rows.second) << "a point was stored twice";
    return rows.first;
}

TEST(FinalizeTest, ANativeThreadRecordsWhileTheInterpreterFinalizes) {
    const std::string path = TempPath("finalize.db");
    std::shared_ptr<TelemRecorder> native;
    std::atomic<long> recorded{0}, refused{0}, other{0};
    std::atomic<bool> stop{false};
    std::thread producer;
    {
        py::scoped_interpreter interpreter;
        py::dict scope;
        scope["path"] = path;
        py::exec(R"(
import telem_pyb_log
recorder = telem_pyb_log.SqliteRecorder(path, batch_size=100, max_delay=0.05)
recorder.record_metadata_kv({"tsname": "finalize"})
)", scope);
        native = scope["recorder"].cast<std::shared_ptr<TelemRecorder>>();
        producer = std::thread([&] {
            for (long i = 0; !stop.load(); ++i) {
                try {
                    native->RecordValue(TsValue(i));
                    ++recorded;
                } catch (const TelemException&) {
                    ++refused;
                } catch (...) {
                    ++other;
                }
            }
        });
        py::gil_scoped_release release;
        while (recorded.load() < 20000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }  // the interpreter finalizes here, the thread recording on
    const long refused_then = refused.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(refused.load(), refused_then) << "the thread stopped recording after the interpreter ended";
    stop = true;
    producer.join();
    native.reset();
    EXPECT_EQ(other.load(), 0);

    py::scoped_interpreter next;
    EXPECT_EQ(CountRows(path), recorded.load());
    // The next interpreter imports the package again and records as the first did.
    py::dict scope;
    scope["path"] = path + "-next";
    py::exec(R"(
import telem_pyb_log
with telem_pyb_log.SqliteRecorder(path) as recorder:
    recorder.record_metadata_kv({"tsname": "next"})
    for i in range(10):
        recorder.record_value(i)
)", scope);
    EXPECT_EQ(CountRows(path + "-next"), 10);
}

}  // namespace
