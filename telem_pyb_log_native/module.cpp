// telem_pyb_log._native: the native half of the log recorders. Registrations
// run top to bottom in the order Python sees them.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "fast_layer/entry.h"
#include "fast_layer/gate.h"
#include "fast_layer/interpreter_state.h"
#include "initialised_instance_caster.h"  // telem_pyb's: records only from initialised instances
#include "log_recorder.h"
#include "norv/telem/telem.h"
#include "postgres_store.h"
#include "python_store.h"
#include "sqlite_reader.h"
#include "sqlite_store.h"
#include "ts_value_caster.h"  // telem_pyb's conversion of sample values, so that both modules take the same

namespace py = pybind11;

using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using telem_pyb_log::LogRecorder;
using telem_pyb_log::Store;

// A log recorder is loaded only from an initialised instance, as telem_pyb's
// classes are (initialised_instance_caster.h): plain pybind11 would call
// through a null value for None and through an unmade one for an instance
// whose __init__ never ran.
template <>
class pybind11::detail::type_caster<LogRecorder> : public telem_pyb::InitialisedInstanceCaster<LogRecorder> {};
template <>
class pybind11::detail::type_caster<telem_pyb_log::SeriesRecorder>
    : public telem_pyb::InitialisedInstanceCaster<telem_pyb_log::SeriesRecorder> {};

// The bound classes the fast layer reads, numbered for its state record.
template <>
struct fast_layer::ClassSlot<LogRecorder> : std::integral_constant<int, 0> {};
template <>
struct fast_layer::ClassSlot<TsPoint> : std::integral_constant<int, 1> {};
template <>
struct fast_layer::ClassSlot<telem_pyb_log::SeriesRecorder> : std::integral_constant<int, 2> {};

namespace {

// A store made in Python by open_sqlite or open_postgres, until a recorder
// takes it.
struct NativeStore {
    std::unique_ptr<Store> store;
    std::string where;
};

struct NativeHalf {
    std::shared_ptr<LogRecorder> recorder;
};

std::unique_ptr<Store> TakeStore(py::handle store, bool connected) {
    if (py::isinstance<NativeStore>(store)) {
        auto& native = store.cast<NativeStore&>();
        if (!native.store) {
            throw py::value_error("the store " + native.where + " belongs to another recorder already");
        }
        return std::move(native.store);
    }
    const std::string where = py::str(store.attr("where"));
    const py::object refused = py::module_::import("telem_pyb_log._batching").attr("RowRefused");
    return std::make_unique<telem_pyb_log::PythonStore>(store.ptr(), refused.ptr(), where, connected);
}

// A time limit from Python: None (none) or a finite number of seconds >= 0.
double TimeLimit(std::optional<double> timeout) {
    if (!timeout) {
        return -1;
    }
    if (!std::isfinite(*timeout) || *timeout < 0) {
        throw py::value_error("timeout must be None or a finite number of seconds >= 0, not "
                              + py::repr(py::float_(*timeout)).cast<std::string>());
    }
    return *timeout;
}

py::object Seconds(double at) { return at > 0 ? py::object(py::float_(at)) : py::object(py::none()); }

py::dict Stats(const LogRecorder& recorder) {
    const telem_pyb_log::RecorderStats s = recorder.stats();
    py::dict d;
    d["recorded"] = s.recorded;
    d["written"] = s.written;
    d["pending"] = s.pending;
    d["dropped"] = s.dropped;
    d["refused"] = s.refused;
    d["untimed"] = s.untimed;
    d["failed_writes"] = s.failed_writes;
    d["lost"] = s.lost;
    d["abandoned"] = s.abandoned;
    d["set_aside"] = s.set_aside;
    d["unspooled"] = s.unspooled;
    d["pruned"] = s.pruned;
    d["spool_error"] = s.spool_error.empty() ? py::object(py::none()) : py::object(py::str(s.spool_error));
    d["last_error"] = s.last_error.empty() ? py::object(py::none()) : py::object(py::str(s.last_error));
    d["last_error_at"] = Seconds(s.last_error_at);
    d["last_write_at"] = Seconds(s.last_write_at);
    d["recovered"] = s.recovered;
    d["spool_rows"] = s.spool.rows;
    d["spool_bytes"] = s.spool.bytes;
    d["spool_oldest_age"] =
        s.spool.oldest_at > 0
            ? py::object(py::float_(std::max(
                  0.0, std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count()
                           - s.spool.oldest_at)))
            : py::object(py::none());
    return d;
}

// record_value(recorder, value) for a log recorder or a recorder of a sink
// and a value of a built-in type; any other call goes to pybind11's
// dispatcher.
template <class Recorder>
PyObject* RecordValueCall(PyObject* const* args) {
    Recorder* self = fast_layer::NativeValue<Recorder>(args[0]);
    if (self == nullptr) {
        return nullptr;
    }
    auto value = telem_pyb::LoadPlainValue(args[1]);
    if (!value) {
        return nullptr;
    }
    self->RecordValue(std::move(*value));
    Py_RETURN_NONE;
}

// record_point(recorder, point) for either and an initialised TsPoint.
template <class Recorder>
PyObject* RecordPointCall(PyObject* const* args) {
    Recorder* self = fast_layer::NativeValue<Recorder>(args[0]);
    TsPoint* point = fast_layer::NativeValue<TsPoint>(args[1]);
    if (self == nullptr || point == nullptr) {
        return nullptr;
    }
    self->RecordOwnPoint(*point);
    Py_RETURN_NONE;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    // The recorder's base class lives in telem_pyb, and reaches this module
    // through pybind11's shared internals.
    py::module_::import("telem_pyb");
    try {
        py::type::of<TelemRecorder>();
    } catch (const std::runtime_error&) {
        throw py::import_error(
            "telem_pyb_log._native cannot see telem_pyb's classes: the two were built with pybind11s whose "
            "internals differ");
    }
    fast_layer::OpenInterpreterState("telem_pyb_log._native", {});
    LogRecorder::RefuseNew(false);
    static const int fork_handlers =
        pthread_atfork(&LogRecorder::PrepareFork, &LogRecorder::ParentAfterFork, &LogRecorder::ChildAfterFork);
    if (fork_handlers != 0) {
        throw py::import_error("telem_pyb_log._native: pthread_atfork failed");
    }

    m.doc() = "The native half of telem_pyb_log's recorders.";

    // A flush or close that Ctrl-C interrupted: the handler's exception
    // (KeyboardInterrupt) is raised, with a note of what was left undone.
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            std::rethrow_exception(p);
        } catch (const telem_pyb_log::PythonInterrupted& e) {
            PyObject* raised = PyErr_GetRaisedException();
            if (raised == nullptr) {
                PyErr_SetString(PyExc_KeyboardInterrupt, e.what());
                return;
            }
            PyObject* done = PyObject_CallMethod(raised, "add_note", "s", e.what());
            Py_XDECREF(done);
            PyErr_Clear();
            PyErr_SetRaisedException(raised);
        }
    });

    py::class_<NativeStore, std::shared_ptr<NativeStore>>(m, "NativeStore", "A store of the native recorders.")
        .def_property_readonly("where", [](const NativeStore& s) { return s.where; });

    m.def(
        "open_sqlite",
        [](const std::string& label, const std::string& path, double timeout, const std::string& sqlite_module) {
            auto store = std::make_unique<telem_pyb_log::SqliteStore>(label, path, timeout, sqlite_module);
            auto native = std::make_shared<NativeStore>();
            native->where = store->where();
            native->store = std::move(store);
            return native;
        },
        py::arg("label"), py::arg("path"), py::arg("timeout"), py::arg("sqlite_module"),
        py::call_guard<py::gil_scoped_release>(), "Opens the SQLite store of a file (creating it and its table).");

    m.def(
        "open_postgres",
        [](const std::string& label, const std::string& conninfo, const std::string& table, double connect_timeout,
           double write_timeout, const std::string& libpq_module, bool connect_now) {
            auto store = std::make_unique<telem_pyb_log::PostgresStore>(label, conninfo, table, connect_timeout,
                                                                        write_timeout, libpq_module, connect_now);
            auto native = std::make_shared<NativeStore>();
            native->where = store->where();
            native->store = std::move(store);
            return native;
        },
        py::arg("label"), py::arg("conninfo"), py::arg("table"), py::arg("connect_timeout"), py::arg("write_timeout"),
        py::arg("libpq_module"), py::arg("connect_now") = true, py::call_guard<py::gil_scoped_release>(),
        "Connects the PostgreSQL store of a table (creating it and its ledger), now or with its first write.");

    py::class_<LogRecorder, TelemRecorder, std::shared_ptr<LogRecorder>> recorder(m, "Recorder", "Recorder");
    recorder
        .def(py::init([](py::handle store, const std::string& label, std::uint32_t batch_size, double max_delay,
                         std::uint64_t max_pending, bool block_when_full, double block_timeout, double log_interval,
                         double exit_timeout, const std::string& spool, double spool_interval,
                         std::uint64_t spool_max_bytes, bool connected, double retention) {
                 telem_pyb_log::RecorderOptions options;
                 options.label = label;
                 options.batch_size = batch_size;
                 options.max_delay = max_delay;
                 options.max_pending = max_pending;
                 options.block_when_full = block_when_full;
                 options.block_timeout = block_timeout;
                 options.log_interval = log_interval;
                 options.exit_timeout = exit_timeout;
                 options.spool = spool;
                 options.spool_interval = spool_interval;
                 options.spool_max_bytes = spool_max_bytes;
                 if (!(retention >= 0) || !std::isfinite(retention)) {
                     throw py::value_error("retention must be a finite number of seconds > 0, or 0 for none");
                 }
                 if (retention > 0 && !py::isinstance<NativeStore>(store)) {
                     throw py::value_error("retention needs a SQLite or PostgreSQL store; "
                                           + py::str(store.attr("where")).cast<std::string>()
                                           + " is a store of your own");
                 }
                 options.retention = retention;
                 std::unique_ptr<Store> taken = TakeStore(store, connected);
                 // Opening a spool reads it whole, which may take a while:
                 // other Python threads run meanwhile.
                 py::gil_scoped_release release;
                 return std::make_shared<LogRecorder>(std::move(options), std::move(taken));
             }),
             py::arg("store"), py::arg("label"), py::arg("batch_size"), py::arg("max_delay"), py::arg("max_pending"),
             py::arg("block_when_full"), py::arg("block_timeout"), py::arg("log_interval"), py::arg("exit_timeout"),
             py::arg("spool") = "", py::arg("spool_interval") = 0.02, py::arg("spool_max_bytes") = 1ULL << 30,
             py::arg("connected") = true, py::arg("retention") = 0.0)
        .def("record_metadata", &LogRecorder::RecordMetadata, "Record Metadata")
        .def("record_point", &LogRecorder::RecordOwnPoint, "Record Point")
        .def("record_value", &LogRecorder::RecordValue, "Record Point Value")
        .def(
            "flush", [](LogRecorder& r, std::optional<double> timeout) { r.Flush(TimeLimit(timeout), true); },
            py::arg("timeout") = py::none(), "Writes every row recorded so far, waiting up to timeout seconds.")
        .def(
            "close", [](LogRecorder& r, std::optional<double> timeout) { r.CloseWithin(TimeLimit(timeout), true); },
            py::arg("timeout") = py::none(),
            "Writes the remaining rows, waiting up to timeout seconds, and stops the writer.")
        .def("_close_uncollected", &LogRecorder::CloseUncollected)
        .def_property_readonly("where", &LogRecorder::where)
        .def_property_readonly("closed", &LogRecorder::closed)
        .def_property_readonly("metadata", &LogRecorder::metadata)
        .def("_stats", &Stats);
    fast_layer::InstallFastEntry(recorder.attr("record_value"), fast_layer::FastEntry<2, RecordValueCall<LogRecorder>>);
    fast_layer::InstallFastEntry(recorder.attr("record_point"), fast_layer::FastEntry<2, RecordPointCall<LogRecorder>>);
    fast_layer::InstallMethodDescriptor(recorder, "record_value");
    fast_layer::InstallMethodDescriptor(recorder, "record_point");

    using telem_pyb_log::SeriesRecorder;
    py::class_<SeriesRecorder, TelemRecorder, std::shared_ptr<SeriesRecorder>> series(
        m, "SeriesRecorder", "A recorder of one series into a sink.");
    series
        .def(py::init([](std::shared_ptr<LogRecorder> sink) {
                 if (!sink) {
                     throw py::type_error("a SeriesRecorder needs the native half of a sink");
                 }
                 return std::make_shared<SeriesRecorder>(std::move(sink));
             }),
             py::arg("sink"), py::keep_alive<1, 2>())
        .def("record_metadata", &SeriesRecorder::RecordMetadata, "Record Metadata")
        .def("record_point", &SeriesRecorder::RecordOwnPoint, "Record Point")
        .def("record_value", &SeriesRecorder::RecordValue, "Record Point Value")
        .def("close", &SeriesRecorder::Close, "Ends this series; its queued rows are still delivered.")
        .def_property_readonly("closed", &SeriesRecorder::closed)
        .def_property_readonly("where", [](const SeriesRecorder& r) { return r.sink()->where(); })
        .def_property_readonly("metadata", &SeriesRecorder::metadata)
        .def_property_readonly("stats", [](const SeriesRecorder& r) {
            const telem_pyb_log::SeriesCounts& c = r.counts();
            return py::module_::import("telem_pyb_log._batching")
                .attr("SeriesStats")(c.recorded.load(), c.dropped.load(), c.refused.load(), c.untimed.load());
        });
    fast_layer::InstallFastEntry(series.attr("record_value"),
                                 fast_layer::FastEntry<2, RecordValueCall<SeriesRecorder>>);
    fast_layer::InstallFastEntry(series.attr("record_point"),
                                 fast_layer::FastEntry<2, RecordPointCall<SeriesRecorder>>);
    fast_layer::InstallMethodDescriptor(series, "record_value");
    fast_layer::InstallMethodDescriptor(series, "record_point");

    // A reference to a recorder's native half that does not keep its Python
    // object alive, for the finaliser that closes an unclosed recorder.
    py::class_<NativeHalf>(m, "NativeHalf", "The native half of a recorder, apart from its Python object.")
        .def("close_uncollected", [](const NativeHalf& half) { half.recorder->CloseUncollected(); });
    m.def(
        "native_half", [](std::shared_ptr<LogRecorder> r) { return NativeHalf{std::move(r)}; },
        py::arg("recorder").none(false));

    telem_pyb_log::RegisterSqliteReader(m);

    m.def(
        "close_all",
        [] {
            LogRecorder::RefuseNew(true);
            py::list reports;
            for (const auto& r : LogRecorder::CloseAll()) {
                reports.append(py::make_tuple(r.label, r.where, r.rows, r.kept, r.cause));
            }
            return reports;
        },
        "Closes every open recorder at interpreter exit; returns (label, where, lost, kept, cause) for each "
        "recorder whose rows could not all be written: lost ones, and ones kept in its spool.");
}
