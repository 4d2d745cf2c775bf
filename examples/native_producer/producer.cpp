// telem_producer: native code that produces telemetry samples and feeds them
// to a recorder it receives from Python. It shows the contract for native
// users of telem_pyb:
//   - include only norv/telem/telem.h (and pybind11);
//   - hold the recorder as std::shared_ptr<norv::telem::TelemRecorder>;
//   - release the GIL and call the recorder from any thread without it: each
//     call takes the GIL for itself when it reaches a Python method;
//   - give a thread that calls often a Python thread state for its lifetime,
//     so that each call only takes the GIL (see the worker below).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "norv/telem/telem.h"

namespace py = pybind11;

using norv::telem::TelemRecorder;
using norv::telem::TsPoint;

namespace {

constexpr long kMaxSamples = 1000000;

// The current UTC time in ISO 8601 with microseconds. The date and time of
// day are formatted once a second per thread: gmtime_r and strftime cost more
// than a recording, and gmtime_r takes a lock that all threads share.
std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    const std::time_t seconds = micros / 1000000;
    thread_local std::time_t formatted = -1;
    thread_local char text[40];
    thread_local std::size_t date_len = 0;
    if (seconds != formatted) {
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        date_len = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
        formatted = seconds;
    }
    char* fraction = text + date_len;
    fraction[0] = '.';
    long digits = static_cast<long>(micros % 1000000);
    for (int i = 6; i >= 1; --i, digits /= 10) {
        fraction[i] = static_cast<char>('0' + digits % 10);
    }
    std::memcpy(fraction + 7, "+00:00", 6);
    return std::string(text, date_len + 13);
}

void CheckCounts(const char* name, long workers, long samples) {
    if (workers < 1 || workers > 64) {
        throw std::invalid_argument(std::string(name) + "(): workers must be from 1 to 64, not "
                                    + std::to_string(workers));
    }
    if (samples < 0 || samples > kMaxSamples) {
        throw std::invalid_argument(std::string(name) + "(): samples must be from 0 to 1000000, not "
                                    + std::to_string(samples));
    }
}

// Records `samples` points from each of `workers` threads of its own, point
// i of worker w into the recorder pick(w, i). Sample i of worker w holds the
// integer w * 1000000 + i, so that a reader can tell that every sample
// arrived once, and the time it was taken. The first error a worker meets
// (one raised by a Python recorder, say) stops all workers and is raised to
// the caller once they are joined. Returns the number of points recorded.
template <typename Pick>
long Run(long workers, long samples, Pick pick) {
    std::atomic<long> recorded{0};
    std::atomic<bool> stop{false};
    std::mutex error_mutex;
    std::exception_ptr first_error;
    const auto keep_error = [&] {
        const std::lock_guard<std::mutex> lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
        stop = true;
    };

    // Workers never hold the GIL between calls; each call into a Python
    // recorder takes it for the length of that call. The GIL is given back
    // without a destructor: if this thread is a daemon thread still here when
    // the interpreter exits, CPython ends it right there, and a destructor
    // that takes the GIL would end the whole process instead.
    PyThreadState* const caller = PyEval_SaveThread();
    std::vector<std::thread> threads;
    try {
        for (long w = 0; w < workers; ++w) {
            threads.emplace_back([&, w] {
                // Counted apart and added once: a counter that every point of
                // every worker writes would have them wait for each other.
                long mine = 0;
                try {
                    // A thread state for the worker's lifetime: made here with
                    // the GIL, which is then released at once. Without it,
                    // every call would make a thread state and remove it
                    // again, costing several times the call itself.
                    py::gil_scoped_acquire thread_state;
                    py::gil_scoped_release without_gil;
                    for (long i = 0; i < samples && !stop; ++i) {
                        TsPoint point(w * kMaxSamples + i);
                        point.mtime = UtcNow();
                        pick(w, i).RecordPoint(point);
                        ++mine;
                    }
                } catch (...) {
                    // Also the refusal of every call once the interpreter
                    // exits: the worker ends, and with it its thread state,
                    // while telem_pyb holds the exit back for it.
                    keep_error();
                }
                recorded += mine;
            });
        }
    } catch (...) {
        keep_error();  // a thread could not be started: stop the ones that were
    }
    for (auto& thread : threads) thread.join();
    PyEval_RestoreThread(caller);

    if (first_error) std::rethrow_exception(first_error);
    return recorded;
}

// One series: records `metadata`, then the points of every worker into it.
long Produce(const std::shared_ptr<TelemRecorder>& recorder, const std::map<std::string, std::string>& metadata,
             long workers, long samples) {
    if (!recorder) {
        throw py::type_error("produce() needs a recorder, not None");
    }
    CheckCounts("produce", workers, samples);
    recorder->RecordMetadataKv(metadata);
    return Run(workers, samples, [&](long, long) -> TelemRecorder& { return *recorder; });
}

// Many series, described already (recorders of one sink, say): worker w
// takes the recorders w, w + workers, ... and records its points into them
// in turn.
long ProduceSeries(const std::vector<std::shared_ptr<TelemRecorder>>& recorders, long workers, long samples) {
    CheckCounts("produce_series", workers, samples);
    if (recorders.size() < static_cast<std::size_t>(workers)) {
        throw std::invalid_argument("produce_series(): at least one recorder per worker is needed");
    }
    for (const auto& recorder : recorders) {
        if (!recorder) {
            throw py::type_error("produce_series() needs recorders, not None");
        }
    }
    return Run(workers, samples, [&](long w, long i) -> TelemRecorder& {
        const std::size_t share = (recorders.size() - static_cast<std::size_t>(w) + static_cast<std::size_t>(workers)
                                   - 1) / static_cast<std::size_t>(workers);
        return *recorders[static_cast<std::size_t>(w)
                          + static_cast<std::size_t>(workers) * (static_cast<std::size_t>(i) % share)];
    });
}

}  // namespace

PYBIND11_MODULE(telem_producer, m) {
    // Registers TelemRecorder, so that signatures name it and recorders convert.
    py::module_::import("telem_pyb");
    // telem_pyb's classes reach this module only through pybind11's shared
    // internals. A pybind11 whose internals differ (another internals version,
    // compiler or standard library) sees none of them and would refuse every
    // recorder; say so at import instead.
    try {
        py::type::of<TelemRecorder>();
    } catch (const std::runtime_error&) {
        throw py::import_error(
            "telem_producer cannot see telem_pyb's classes: it was built with a pybind11 whose internals differ "
            "from telem_pyb's (see telem_pyb_PYBIND11_VERSION and telem_pyb_CXX_COMPILER_ID in telem_pyb's CMake "
            "package)");
    }

    m.doc() = "A native producer that feeds a telem_pyb recorder from worker threads.";
    m.def("produce", &Produce, py::arg("recorder"), py::arg("metadata"), py::arg("workers") = 2,
          py::arg("samples") = 1000,
          "Records the metadata, then `samples` points from each of `workers` threads; returns the points recorded.");
    m.def("produce_series", &ProduceSeries, py::arg("recorders"), py::arg("workers") = 2, py::arg("samples") = 1000,
          "Records `samples` points from each of `workers` threads, each thread into its share of the recorders in "
          "turn; returns the points recorded.");
}
