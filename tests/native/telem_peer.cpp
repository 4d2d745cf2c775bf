// telem_peer: a second extension module, built only for the tests, that plays
// the part of native code elsewhere in the process. It receives telem_pyb's
// recorders through pybind11's shared type registry and calls them natively,
// from the calling thread or from threads that never had a Python thread state,
// and it throws the telemetry exceptions across the module boundary.
//
// Sample values arrive through pybind11's std::variant caster: a Python bool,
// int, float and str/bytes select the alternatives 0 to 3.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "norv/telem/telem.h"

namespace py = pybind11;

using brix::error::NorvBaseException;
using brix::error::NorvException;
using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using norv::telem::TsValue;

namespace telem_peer {

// A telemetry error type that only this module knows.
class PeerTelemException : public TelemException {
public:
    using TelemException::TelemException;
};

using KvMap = std::map<std::string, std::string>;

py::dict MetadataFields(const TsMetadata& meta) {
    py::dict d;
    d["tsid"] = py::bytes(meta.tsid);
    d["tsname"] = py::bytes(meta.tsname);
    d["btype"] = py::bytes(meta.btype);
    d["units"] = py::bytes(meta.units);
    d["origin"] = py::bytes(meta.origin);
    d["serial"] = py::bytes(meta.serial);
    d["role"] = py::bytes(meta.role);
    d["comment"] = py::bytes(meta.comment);
    d["json"] = py::bytes(meta.json);
    return d;
}

// Calls RecordMetadata with a local record and returns that record's fields
// (as bytes) as they are after the call: a recorder must not change them.
py::dict CallRecordMetadata(TelemRecorder& rec, std::string tsid, std::string tsname, std::string btype,
                            std::string units, std::string origin, std::string serial, std::string role,
                            std::string comment, std::string json) {
    TsMetadata meta;
    meta.tsid = std::move(tsid);
    meta.tsname = std::move(tsname);
    meta.btype = std::move(btype);
    meta.units = std::move(units);
    meta.origin = std::move(origin);
    meta.serial = std::move(serial);
    meta.role = std::move(role);
    meta.comment = std::move(comment);
    meta.json = std::move(json);
    rec.RecordMetadata(meta);
    return MetadataFields(meta);
}

// Calls RecordPoint with a local point and returns (value, mtime) of that point
// as they are after the call.
py::tuple CallRecordPoint(TelemRecorder& rec, TsValue value, std::string mtime) {
    TsPoint point(std::move(value));
    point.mtime = std::move(mtime);
    rec.RecordPoint(point);
    return py::make_tuple(point.value, py::bytes(point.mtime));
}

// The current UTC time in ISO 8601 with microseconds, made as the producer
// example makes it for every point (so that runs of 't' do the same work).
std::string UtcNowText() {
    using namespace std::chrono;
    const auto micros = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const std::time_t seconds = micros / 1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06ld+00:00", static_cast<long>(micros % 1000000));
    return text;
}

// One operation of a native caller's mix, identified by a letter:
// m RecordMetadata, k RecordMetadataKv, p RecordPoint, t RecordPoint with the
// current UTC time as mtime, v RecordValue, c Close.
// `id` makes every call's record unique, so the receiver can count them.
void CallOperation(TelemRecorder& rec, char op, long id) {
    const std::string text = std::to_string(id);
    switch (op) {
        case 'm': {
            TsMetadata meta;
            meta.tsid = text;
            meta.btype = "direct";
            rec.RecordMetadata(meta);
            break;
        }
        case 'k':
            rec.RecordMetadataKv(KvMap{{"tsid", text}, {"btype", "kv"}});
            break;
        case 'p': {
            TsPoint point{TsValue(id)};
            point.mtime = text;
            rec.RecordPoint(point);
            break;
        }
        case 't': {
            TsPoint point{TsValue(id)};
            point.mtime = UtcNowText();
            rec.RecordPoint(point);
            break;
        }
        case 'v':
            rec.RecordValue(TsValue(id));
            break;
        case 'c':
            rec.Close();
            break;
        default:
            throw std::invalid_argument(std::string("unknown operation letter '") + op + "'");
    }
}

// What one native thread saw: its successful calls and its failures, counted
// by (kind, type, message). Kinds: "python" for error_already_set (type is the
// Python exception's name), "std" for other std::exception objects (type names
// the most specific known class), "unknown" for anything else.
struct ThreadOutcome {
    long ok = 0;
    std::map<std::tuple<std::string, std::string, std::string>, long> errors;
};

std::string StdExceptionKind(const std::exception& e) {
    if (dynamic_cast<const TelemException*>(&e) != nullptr) return "TelemException";
    if (dynamic_cast<const NorvBaseException*>(&e) != nullptr) return "NorvBaseException";
    if (dynamic_cast<const NorvException*>(&e) != nullptr) return "NorvException";
    if (dynamic_cast<const std::runtime_error*>(&e) != nullptr) return "runtime_error";
    return "exception";
}

void RunCalls(TelemRecorder& rec, const std::string& ops, long first_id, long calls, ThreadOutcome& out) {
    for (long j = 0; j < calls; ++j) {
        const char op = ops[static_cast<std::size_t>(j) % ops.size()];
        try {
            CallOperation(rec, op, first_id + j);
            ++out.ok;
        } catch (py::error_already_set& e) {
            // This thread holds no lock here; the Python error is read under it.
            std::string type_name;
            {
                py::gil_scoped_acquire gil;
                type_name = py::str(e.type().attr("__name__"));
            }
            ++out.errors[{"python", type_name, e.what()}];
        } catch (const std::exception& e) {
            ++out.errors[{"std", StdExceptionKind(e), e.what()}];
        } catch (...) {
            ++out.errors[{"unknown", "", ""}];
        }
    }
}

// RunCalls on a thread that keeps one Python thread state for all its calls.
void RunCallsKeepingThreadState(TelemRecorder& rec, const std::string& ops, long first_id, long calls,
                                ThreadOutcome& out) {
    py::gil_scoped_acquire thread_state;
    py::gil_scoped_release without_gil;
    RunCalls(rec, ops, first_id, calls, out);
}

// One dict per thread: {"ok": count, "errors": {(kind, type, message): count}}.
py::list OutcomesToPython(const std::vector<ThreadOutcome>& outcomes) {
    py::list result;
    for (const auto& out : outcomes) {
        py::dict errors;
        for (const auto& [key, count] : out.errors) {
            const auto& [kind, type, message] = key;
            errors[py::make_tuple(kind, type, message)] = count;
        }
        py::dict d;
        d["ok"] = out.ok;
        d["errors"] = errors;
        result.append(d);
    }
    return result;
}

// Runs `threads` native threads, each making `calls` calls of the mix `ops` on
// one recorder, with the interpreter lock released. Thread t uses the ids
// t*calls .. t*calls+calls-1. With `keep_thread_state`, each thread makes a
// Python thread state first and keeps it; otherwise it has none, and every call
// makes one. Returns one dict per thread: {"ok": count, "errors": {(kind, type,
// message): count}}.
py::list RunThreads(const std::shared_ptr<TelemRecorder>& rec, int threads, long calls, const std::string& ops,
                    bool keep_thread_state = false) {
    if (!rec) throw std::invalid_argument("no recorder");
    if (ops.empty()) throw std::invalid_argument("empty operation mix");
    if (threads < 1 || calls < 0) throw std::invalid_argument("bad thread or call count");
    std::vector<ThreadOutcome> outcomes(static_cast<std::size_t>(threads));
    {
        py::gil_scoped_release release;
        std::vector<std::thread> pool;
        pool.reserve(outcomes.size());
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back(keep_thread_state ? RunCallsKeepingThreadState : RunCalls, std::ref(*rec), std::cref(ops),
                              t * calls, calls, std::ref(outcomes[static_cast<std::size_t>(t)]));
        }
        for (auto& th : pool) th.join();
    }
    return OutcomesToPython(outcomes);
}

// Native threads recording many series: thread t takes the recorders t,
// t+threads, ... and makes `calls` rounds over them, each round one call of
// the mix `ops` on each with the id of the round, the interpreter lock
// released, as a native producer of many series does.
py::list RunSeriesThreads(const std::vector<std::shared_ptr<TelemRecorder>>& recs, int threads, long calls,
                          const std::string& ops) {
    if (ops.empty()) throw std::invalid_argument("empty operation mix");
    if (threads < 1 || calls < 0) throw std::invalid_argument("bad thread or call count");
    for (const auto& rec : recs) {
        if (!rec) throw std::invalid_argument("no recorder");
    }
    std::vector<ThreadOutcome> outcomes(static_cast<std::size_t>(threads));
    {
        py::gil_scoped_release release;
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                ThreadOutcome& out = outcomes[static_cast<std::size_t>(t)];
                for (long j = 0; j < calls; ++j) {
                    for (std::size_t k = static_cast<std::size_t>(t); k < recs.size();
                         k += static_cast<std::size_t>(threads)) {
                        ThreadOutcome one;
                        RunCalls(*recs[k], std::string(1, ops[static_cast<std::size_t>(j) % ops.size()]), j, 1, one);
                        out.ok += one.ok;
                        for (const auto& [key, count] : one.errors) out.errors[key] += count;
                    }
                }
            });
        }
        for (auto& th : pool) th.join();
    }
    return OutcomesToPython(outcomes);
}

// Native threads that call a recorder in the background until they are told
// to stop or a call is refused because the interpreter is not running, as
// worker threads of a host program may while Python exits or a subinterpreter
// ends. With `report`, each thread writes one line to stderr when it ends:
// "background thread ended: ok=N refused=R other=O".
class BackgroundCalls {
public:
    BackgroundCalls(std::shared_ptr<TelemRecorder> rec, int threads, std::string ops, bool keep_thread_state,
                    bool report)
        : rec_(std::move(rec)), ops_(std::move(ops)), report_(report), outcomes_(static_cast<std::size_t>(threads)) {
        if (!rec_) throw std::invalid_argument("no recorder");
        if (ops_.empty()) throw std::invalid_argument("empty operation mix");
        for (int t = 0; t < threads; ++t) {
            threads_.emplace_back(&BackgroundCalls::Run, this, t, keep_thread_state);
        }
    }

    // Threads still calling when the object goes are stopped and joined.
    ~BackgroundCalls() {
        stop_ = true;
        py::gil_scoped_release release;
        Join();
    }

    long Succeeded() const { return succeeded_.load(); }

    // Stops and joins the threads; returns what each saw, as RunThreads does.
    py::list Stop() {
        stop_ = true;
        {
            py::gil_scoped_release release;
            Join();
        }
        return OutcomesToPython(outcomes_);
    }

private:
    void Join() {
        for (auto& th : threads_) {
            if (th.joinable()) th.join();
        }
    }

    void Run(int t, bool keep_thread_state) {
        if (keep_thread_state) {
            py::gil_scoped_acquire thread_state;
            py::gil_scoped_release without_gil;
            Loop(outcomes_[static_cast<std::size_t>(t)], t);
        } else {
            Loop(outcomes_[static_cast<std::size_t>(t)], t);
        }
    }

    void Loop(ThreadOutcome& out, int t) {
        long refused = 0, other = 0;
        for (long j = 0; !stop_; ++j) {
            try {
                CallOperation(*rec_, ops_[static_cast<std::size_t>(j) % ops_.size()], t * 100000000L + j);
                ++out.ok;
                ++succeeded_;
            } catch (py::error_already_set&) {
                ++out.errors[{"python", "", ""}];  // read without the lock: the interpreter may be gone
                ++other;
            } catch (const std::exception& e) {
                const std::string what = e.what();
                ++out.errors[{"std", StdExceptionKind(e), what}];
                if (what.find("interpreter is not running") != std::string::npos) {
                    ++refused;
                    break;
                }
                ++other;
            }
        }
        if (report_) {
            std::fprintf(stderr, "background thread ended: ok=%ld refused=%ld other=%ld\n", out.ok, refused, other);
        }
    }

    std::shared_ptr<TelemRecorder> rec_;
    std::string ops_;
    bool report_;
    std::atomic<bool> stop_{false};
    std::atomic<long> succeeded_{0};
    std::vector<ThreadOutcome> outcomes_;
    std::vector<std::thread> threads_;
};

// Makes `calls` calls of the mix `ops` on the calling thread, with the
// interpreter lock held, ids 0 .. calls-1. The first failure propagates.
void RepeatCalls(TelemRecorder& rec, const std::string& ops, long calls) {
    if (ops.empty()) throw std::invalid_argument("empty operation mix");
    for (long j = 0; j < calls; ++j) {
        CallOperation(rec, ops[static_cast<std::size_t>(j) % ops.size()], j);
    }
}

// Keeps a recorder natively, so that its native half outlives the Python
// object it came from, and calls it later.
class RecorderHolder {
public:
    explicit RecorderHolder(std::shared_ptr<TelemRecorder> rec) : rec_(std::move(rec)) {
        if (!rec_) throw std::invalid_argument("no recorder");
    }

    TelemRecorder& get() const { return *rec_; }
    const std::shared_ptr<TelemRecorder>& shared() const { return rec_; }
    long use_count() const { return rec_.use_count(); }

private:
    std::shared_ptr<TelemRecorder> rec_;
};

// The thread states of the calling thread's interpreter. Called with the lock
// held and while no native thread is starting or ending a call: a native thread
// links its new thread state in without holding the lock.
long ThreadStateCount() {
    long count = 0;
    PyInterpreterState* interp = PyInterpreterState_Get();
    for (PyThreadState* ts = PyInterpreterState_ThreadHead(interp); ts != nullptr; ts = PyThreadState_Next(ts)) {
        ++count;
    }
    return count;
}

// pybind11's registry of live bound instances (shared with telem_pyb), counted
// by the instance's Python type name.
py::dict RegisteredInstances() {
    std::map<std::string, long> counts;
    for (const auto& entry : py::detail::get_internals().registered_instances) {
        ++counts[Py_TYPE(reinterpret_cast<PyObject*>(entry.second))->tp_name];
    }
    py::dict result;
    for (const auto& [name, count] : counts) {
        result[py::str(name)] = count;
    }
    return result;
}

// Closes its recorder from its destructor, as a native helper that a Python
// recorder keeps as an attribute may do while the recorder is destroyed. The
// failures met there are kept for the tests to read.
std::vector<std::string> destructor_failures;

class ClosesWhenDestroyed {
public:
    explicit ClosesWhenDestroyed(std::shared_ptr<TelemRecorder> rec) : rec_(std::move(rec)) {
        if (!rec_) throw std::invalid_argument("no recorder");
    }
    ClosesWhenDestroyed(const ClosesWhenDestroyed&) = delete;
    ClosesWhenDestroyed& operator=(const ClosesWhenDestroyed&) = delete;
    ~ClosesWhenDestroyed() {
        try {
            rec_->Close();
        } catch (const std::exception& e) {
            destructor_failures.emplace_back(e.what());
        }
    }

private:
    std::shared_ptr<TelemRecorder> rec_;
};

// Adds the overload (recorder, None) -> "peer overload" to
// TelemRecorder.record_value, at the front of its chain or at the end.
void AddRecordValueOverload(bool prepend) {
    py::object cls = py::module_::import("telem_pyb").attr("TelemRecorder");
    auto overload = [](TelemRecorder&, py::none) { return "peer overload"; };
    py::object sibling = py::getattr(cls, "record_value", py::none());
    cls.attr("record_value") =
        prepend ? py::cpp_function(overload, py::name("record_value"), py::is_method(cls), py::sibling(sibling),
                                   py::prepend())
                : py::cpp_function(overload, py::name("record_value"), py::is_method(cls), py::sibling(sibling));
}

// Adds the overload (None, None) -> "peer overload" to
// telem_pyb.backend.log.ConvertPointToDb, at the front of its chain or at the end.
void AddConvertOverload(bool prepend) {
    py::module_ log = py::module_::import("telem_pyb.backend.log");
    auto overload = [](py::none, py::none) { return "peer overload"; };
    py::object sibling = py::getattr(log, "ConvertPointToDb", py::none());
    log.attr("ConvertPointToDb") =
        prepend ? py::cpp_function(overload, py::name("ConvertPointToDb"), py::scope(log), py::sibling(sibling),
                                   py::prepend())
                : py::cpp_function(overload, py::name("ConvertPointToDb"), py::scope(log), py::sibling(sibling));
}

// Adds overloads that take any `self` to the getter and the setter of the
// property `name` of `cls`, at the front of their chains or at the end: the
// getter's gives "peer getter", the setter's appends the value to the
// module's list `setter_calls`.
void AddFieldOverloads(const py::object& cls, const std::string& name, bool prepend) {
    const py::object prop = cls.attr(name.c_str());
    const py::object fget = prop.attr("fget");
    const py::object fset = prop.attr("fset");
    auto get = [](const py::object&) { return "peer getter"; };
    auto set = [](const py::object&, const py::object& value) {
        py::module_::import("telem_peer").attr("setter_calls").attr("append")(value);
    };
    // Made for their effect on the chains, which the property's functions hold.
    if (prepend) {
        py::cpp_function(get, py::is_method(cls), py::sibling(fget), py::prepend());
        py::cpp_function(set, py::is_method(cls), py::sibling(fset), py::prepend());
    } else {
        py::cpp_function(get, py::is_method(cls), py::sibling(fget));
        py::cpp_function(set, py::is_method(cls), py::sibling(fset));
    }
}

// Makes the `fail_at`th allocation from Python's object and memory allocators
// fail (counting from 0) while `call` runs; returns what it returned, or the
// type of what it raised, and whether the failing allocation was reached.
class FailingAllocation {
public:
    static py::tuple Call(const py::object& call, long fail_at) {
        countdown_ = fail_at;
        reached_ = false;
        PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &obj_);
        PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &mem_);
        PyMemAllocatorEx obj{&obj_, Malloc, Calloc, Realloc, Free};
        PyMemAllocatorEx mem{&mem_, Malloc, Calloc, Realloc, Free};
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
        PyObject* result = PyObject_CallNoArgs(call.ptr());
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj_);
        PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem_);
        if (result == nullptr) {
            PyObject* type = PyErr_Occurred();
            py::object raised = py::reinterpret_borrow<py::object>(type != nullptr ? type : Py_None);
            PyErr_Clear();
            return py::make_tuple(raised, reached_);
        }
        return py::make_tuple(py::reinterpret_steal<py::object>(result), reached_);
    }

private:
    static bool Fails() {
        if (countdown_-- == 0) {
            reached_ = true;
            return true;
        }
        return false;
    }
    static void* Malloc(void* ctx, size_t size) {
        auto* base = static_cast<PyMemAllocatorEx*>(ctx);
        return Fails() ? nullptr : base->malloc(base->ctx, size);
    }
    static void* Calloc(void* ctx, size_t count, size_t size) {
        auto* base = static_cast<PyMemAllocatorEx*>(ctx);
        return Fails() ? nullptr : base->calloc(base->ctx, count, size);
    }
    static void* Realloc(void* ctx, void* ptr, size_t size) {
        auto* base = static_cast<PyMemAllocatorEx*>(ctx);
        return Fails() ? nullptr : base->realloc(base->ctx, ptr, size);
    }
    static void Free(void* ctx, void* ptr) {
        auto* base = static_cast<PyMemAllocatorEx*>(ctx);
        base->free(base->ctx, ptr);
    }

    static inline PyMemAllocatorEx obj_{};
    static inline PyMemAllocatorEx mem_{};
    static inline long countdown_ = -1;
    static inline bool reached_ = false;
};

// A recorder implemented natively in this module. It keeps what it receives
// and then, by its mode, returns or throws from every pure operation.
class NativeRecorder : public TelemRecorder {
public:
    enum class Mode { None, Telem, Derived, Norv };

    NativeRecorder(const std::string& mode, std::string message) : message_(std::move(message)) {
        if (mode == "none") {
            mode_ = Mode::None;
        } else if (mode == "telem") {
            mode_ = Mode::Telem;
        } else if (mode == "derived") {
            mode_ = Mode::Derived;
        } else if (mode == "norv") {
            mode_ = Mode::Norv;
        } else {
            throw std::invalid_argument("unknown mode '" + mode + "'");
        }
    }

    void RecordMetadata(const TsMetadata& meta) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            metadata_.push_back(meta);
        }
        Fail("RecordMetadata");
    }

    void RecordPoint(const TsPoint& point) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            points_.push_back(point);
        }
        Fail("RecordPoint");
    }

    void Close() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++closes_;
        }
        Fail("Close");
    }

    std::vector<TsPoint> points() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return points_;
    }
    std::vector<TsMetadata> metadata() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return metadata_;
    }
    long closes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes_;
    }

private:
    // The thrown text is "<operation>: <message>".
    void Fail(const char* operation) const {
        const std::string text = std::string(operation) + ": " + message_;
        switch (mode_) {
            case Mode::None:
                return;
            case Mode::Telem:
                throw TelemException(text);
            case Mode::Derived:
                throw PeerTelemException(text);
            case Mode::Norv:
                throw NorvException(text);
        }
    }

    Mode mode_ = Mode::None;
    std::string message_;
    mutable std::mutex mutex_;
    std::vector<TsPoint> points_;
    std::vector<TsMetadata> metadata_;
    long closes_ = 0;
};

}  // namespace telem_peer

PYBIND11_MODULE(telem_peer, m) {
    using namespace telem_peer;

    // The four types come from telem_pyb's registrations, shared process-wide.
    py::module_::import("telem_pyb");

    // Native calls of the five operations on a recorder, with the lock held.
    m.def(
        "record_metadata",
        [](TelemRecorder& rec, std::string tsid, std::string tsname, std::string btype, std::string units,
           std::string origin, std::string serial, std::string role, std::string comment, std::string json) {
            return CallRecordMetadata(rec, std::move(tsid), std::move(tsname), std::move(btype), std::move(units),
                                      std::move(origin), std::move(serial), std::move(role), std::move(comment),
                                      std::move(json));
        },
        py::arg("rec"), py::kw_only(), py::arg("tsid") = "", py::arg("tsname") = "", py::arg("btype") = "",
        py::arg("units") = "", py::arg("origin") = "", py::arg("serial") = "", py::arg("role") = "",
        py::arg("comment") = "", py::arg("json") = "",
        "Calls RecordMetadata with a new record built from the fields; returns the record's fields after the call.");
    m.def(
        "record_metadata_kv", [](TelemRecorder& rec, const KvMap& kv) { rec.RecordMetadataKv(kv); }, py::arg("rec"),
        py::arg("kv"), "Calls RecordMetadataKv with the map.");
    m.def("record_point", &CallRecordPoint, py::arg("rec"), py::arg("value"), py::arg("mtime") = "",
          "Calls RecordPoint with a new point; returns (value, mtime) of that point after the call.");
    m.def(
        "record_point_object", [](TelemRecorder& rec, const TsPoint& point) { rec.RecordPoint(point); }, py::arg("rec"),
        py::arg("point"), "Calls RecordPoint with the record that a TsPoint object owns.");
    m.def(
        "record_metadata_object", [](TelemRecorder& rec, const TsMetadata& meta) { rec.RecordMetadata(meta); },
        py::arg("rec"), py::arg("meta"), "Calls RecordMetadata with the record that a TsMetadata object owns.");
    m.def(
        "record_value", [](TelemRecorder& rec, TsValue value) { rec.RecordValue(std::move(value)); }, py::arg("rec"),
        py::arg("value"), "Calls RecordValue with the value.");
    m.def("close", [](TelemRecorder& rec) { rec.Close(); }, py::arg("rec"), "Calls Close.");

    m.def("run_threads", &RunThreads, py::arg("rec"), py::arg("threads"), py::arg("calls"), py::arg("ops"),
          py::arg("keep_thread_state") = false,
          "Calls the recorder from native threads without the interpreter lock; see RunThreads.");
    m.def("run_series_threads", &RunSeriesThreads, py::arg("recs"), py::arg("threads"), py::arg("calls"),
          py::arg("ops"), "Native threads recording rounds over many recorders, each thread its share of them.");
    m.def("repeat_calls", &RepeatCalls, py::arg("rec"), py::arg("ops"), py::arg("calls"),
          "Calls the recorder natively on the calling thread, with the lock held; see RepeatCalls.");

    m.def("thread_state_count", &ThreadStateCount,
          "Counts the interpreter's thread states; call it while no native thread is making a call.");
    m.def("registered_instances", &RegisteredInstances,
          "Counts pybind11's live registered instances by Python type name.");

    py::class_<RecorderHolder>(m, "RecorderHolder")
        .def(py::init<std::shared_ptr<TelemRecorder>>(), py::arg("rec"))
        .def("use_count", &RecorderHolder::use_count)
        .def(
            "record_metadata",
            [](const RecorderHolder& h, std::string tsid, std::string units) {
                return CallRecordMetadata(h.get(), std::move(tsid), "", "", std::move(units), "", "", "", "", "");
            },
            py::kw_only(), py::arg("tsid") = "", py::arg("units") = "")
        .def("record_metadata_kv", [](const RecorderHolder& h, const KvMap& kv) { h.get().RecordMetadataKv(kv); })
        .def(
            "record_point",
            [](const RecorderHolder& h, TsValue value, std::string mtime) {
                return CallRecordPoint(h.get(), std::move(value), std::move(mtime));
            },
            py::arg("value"), py::arg("mtime") = "")
        .def("record_value", [](const RecorderHolder& h, TsValue value) { h.get().RecordValue(std::move(value)); })
        .def("close", [](const RecorderHolder& h) { h.get().Close(); })
        .def(
            "run_threads",
            [](const RecorderHolder& h, int threads, long calls, const std::string& ops) {
                return RunThreads(h.shared(), threads, calls, ops, false);
            },
            py::arg("threads"), py::arg("calls"), py::arg("ops"));

    // At the interpreter's exit its threads stop by themselves once their
    // calls are refused, before the object is destroyed.
    py::class_<BackgroundCalls>(m, "BackgroundCalls")
        .def(py::init([](std::shared_ptr<TelemRecorder> rec, int threads, std::string ops, bool keep_thread_state,
                         bool report) {
                 return new BackgroundCalls(std::move(rec), threads, std::move(ops), keep_thread_state, report);
             }),
             py::arg("rec"), py::arg("threads"), py::arg("ops"), py::arg("keep_thread_state") = false,
             py::arg("report") = false)
        .def(py::init(
                 [](const RecorderHolder& holder, int threads, std::string ops, bool keep_thread_state, bool report) {
                     return new BackgroundCalls(holder.shared(), threads, std::move(ops), keep_thread_state, report);
                 }),
             py::arg("holder"), py::arg("threads"), py::arg("ops"), py::arg("keep_thread_state") = false,
             py::arg("report") = false)
        .def("succeeded", &BackgroundCalls::Succeeded, "The calls that have succeeded so far.")
        .def("stop", &BackgroundCalls::Stop, "Stops and joins the threads; returns what each saw.");

    // A recorder's native half kept between interpreters: a subinterpreter
    // stashes its recorder, the main interpreter takes it as a RecorderHolder.
    static std::shared_ptr<TelemRecorder> stashed;
    m.def("stash_recorder", [](std::shared_ptr<TelemRecorder> rec) { stashed = std::move(rec); }, py::arg("rec"));
    m.def("take_stashed_recorder", [] {
        if (!stashed) throw std::invalid_argument("no recorder stashed");
        return RecorderHolder(std::move(stashed));
    });

    py::class_<ClosesWhenDestroyed>(m, "ClosesWhenDestroyed")
        .def(py::init<std::shared_ptr<TelemRecorder>>(), py::arg("rec"));
    m.def(
        "destructor_failures", [] { return destructor_failures; },
        "What ClosesWhenDestroyed objects caught from Close(), in order.");
    m.def("add_record_value_overload", &AddRecordValueOverload, py::arg("prepend"),
          "Adds the overload (recorder, None) -> 'peer overload' to TelemRecorder.record_value.");
    m.def("add_convert_overload", &AddConvertOverload, py::arg("prepend"),
          "Adds the overload (None, None) -> 'peer overload' to telem_pyb.backend.log.ConvertPointToDb.");
    m.attr("setter_calls") = py::list();
    m.def("add_field_overloads", &AddFieldOverloads, py::arg("cls"), py::arg("name"), py::arg("prepend"),
          "Adds overloads taking any self to a property's getter ('peer getter') and setter (notes the value in "
          "setter_calls).");
    m.def("call_failing_allocation", &FailingAllocation::Call, py::arg("call"), py::arg("fail_at"),
          "Calls `call` with its fail_at-th Python allocation failing; returns (result or raised type, reached).");

    py::class_<NativeRecorder, TelemRecorder, std::shared_ptr<NativeRecorder>>(m, "NativeRecorder")
        .def(py::init<const std::string&, std::string>(), py::arg("mode"), py::arg("message") = "")
        .def_property_readonly("points", &NativeRecorder::points)
        .def_property_readonly("metadata", &NativeRecorder::metadata)
        .def_property_readonly("closes", &NativeRecorder::closes);

    m.def("throw_telem", [](const std::string& message) { throw TelemException(message); }, py::arg("message"));
    m.def(
        "throw_telem_derived", [](const std::string& message) { throw PeerTelemException(message); },
        py::arg("message"));
    m.def("throw_norv_base", [](const std::string& message) { throw NorvBaseException(message); }, py::arg("message"));
    m.def("throw_norv", [](const std::string& message) { throw NorvException(message); }, py::arg("message"));
}
