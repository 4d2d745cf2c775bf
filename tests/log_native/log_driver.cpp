// log_driver: native threads that record into a recorder they receive from
// Python, as a native producer would, and time every call; and a spool
// written as an earlier version left it, with rows queued whole. Built only
// for the tests (with TELEM_PYB_BUILD_TESTS), next to the test peer module.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "norv/telem/telem.h"
#include "spool.h"
#include "typed_fields.h"

namespace py = pybind11;

using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsPoint;
using norv::telem::TsValue;

namespace {

struct Outcome {
    long ok = 0;
    std::map<std::string, long> refused;  // TelemException messages
    long other_errors = 0;
    long long max_call_ns = 0;
    // Calls during which the thread waited for something (a lock, I/O: a
    // voluntary context switch), and calls during which the scheduler gave
    // its core to another thread (an involuntary one); the longest call that
    // was not preempted.
    long waited = 0;
    long preempted = 0;
    long long max_unpreempted_ns = 0;
};

struct Switches {
    long voluntary, involuntary;
};

Switches ContextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

// Records `points` points from each of `threads` threads without the
// interpreter lock: point i of thread t holds t * 1000000 + first + i, with no
// time text (the recorder stamps it). With `interval_us`, each thread waits
// that long between its points. Returns per thread {"ok", "refused":
// {message: count}, "other_errors", "max_call_ns", "waited", "preempted",
// "max_unpreempted_ns"}.
py::list Record(const std::shared_ptr<TelemRecorder>& recorder, int threads, long points, long first,
                double interval_us) {
    if (!recorder || threads < 1 || points < 0) {
        throw std::invalid_argument("record: a recorder, threads >= 1 and points >= 0");
    }
    std::vector<Outcome> outcomes(static_cast<std::size_t>(threads));
    {
        py::gil_scoped_release release;
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                Outcome& out = outcomes[static_cast<std::size_t>(t)];
                auto next = std::chrono::steady_clock::now();
                const auto interval = std::chrono::nanoseconds(static_cast<long long>(interval_us * 1000));
                for (long i = 0; i < points; ++i) {
                    const TsPoint point(TsValue(static_cast<long>(t) * 1000000 + first + i));
                    const Switches before = ContextSwitches();
                    const auto start = std::chrono::steady_clock::now();
                    try {
                        recorder->RecordPoint(point);
                        ++out.ok;
                    } catch (const TelemException& e) {
                        ++out.refused[e.what()];
                    } catch (...) {
                        ++out.other_errors;
                    }
                    const long long took = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               std::chrono::steady_clock::now() - start)
                                               .count();
                    const Switches after = ContextSwitches();
                    out.max_call_ns = std::max(out.max_call_ns, took);
                    out.waited += after.voluntary != before.voluntary;
                    if (after.involuntary != before.involuntary) {
                        ++out.preempted;
                    } else {
                        out.max_unpreempted_ns = std::max(out.max_unpreempted_ns, took);
                    }
                    if (interval.count() > 0) {
                        next += interval;
                        std::this_thread::sleep_until(next);
                    }
                }
            });
        }
        for (auto& thread : pool) {
            thread.join();
        }
    }
    py::list result;
    for (const auto& out : outcomes) {
        py::dict d;
        d["ok"] = out.ok;
        d["refused"] = out.refused;
        d["other_errors"] = out.other_errors;
        d["max_call_ns"] = out.max_call_ns;
        d["waited"] = out.waited;
        d["preempted"] = out.preempted;
        d["max_unpreempted_ns"] = out.max_unpreempted_ns;
        result.append(d);
    }
    return result;
}

// Commits one record to the spool at `path`: for each entry of `rows`, one
// text is a row of the series `tsname` (units "bar") with that value, seven
// texts a row queued whole (mtime, tsname, value, btype, units, comment,
// origin), as rows whose texts differ from their series' are queued.
void SpoolRows(const std::string& path, const std::string& tsname, const std::vector<std::vector<std::string>>& rows) {
    auto series = std::make_shared<telem_pyb_log::Series>();
    series->meta.tsname = series->tsname = tsname;
    series->meta.units = series->units = "bar";
    series->texts_are_meta = true;
    const std::string mtime = "2026-12-09T12:00:00.000000+00:00";
    telem_pyb_log::Chunk chunk;
    for (const auto& texts : rows) {
        if (texts.size() == 1) {
            chunk.AppendSeriesRow(std::shared_ptr<const telem_pyb_log::Series>(series), mtime, texts[0],
                                  telem_pyb_log::TypedFromTexts(mtime, texts[0]));
        } else if (texts.size() == 7) {
            chunk.AppendFullRow({texts[0], texts[1], texts[2], texts[3], texts[4], texts[5], texts[6],
                                 telem_pyb_log::TypedFromTexts(texts[0], texts[2])});
        } else {
            throw py::value_error("a row is one text (a value of the series) or seven");
        }
    }
    telem_pyb_log::Spool spool(path, 1 << 20);
    if (spool.Append(chunk, 0.0, 0) != telem_pyb_log::Appended::kYes) {
        throw std::runtime_error("the spool did not take the rows");
    }
    spool.Commit();
}

}  // namespace

PYBIND11_MODULE(log_driver, m) {
    py::module_::import("telem_pyb");
    m.def("record", &Record, py::arg("recorder"), py::arg("threads"), py::arg("points"), py::arg("first") = 0,
          py::arg("interval_us") = 0.0);
    m.def("spool_rows", &SpoolRows, py::arg("path"), py::arg("tsname"), py::arg("rows"));
}
