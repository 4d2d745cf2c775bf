// telem_pyb: the Python face of the telemetry client. Registrations run top
// to bottom in the order Python sees them.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>

#include "initialised_instance_caster.h"
#include "norv/telem/telem.h"
#include "ts_value_caster.h"

namespace py = pybind11;

using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
namespace db = norv::telem::backend::log;

namespace {

// Calls the Python method `name` of the instance that owns `self`. Without one
// it throws `pure_message` while the lock is still held, so that failing is as
// safe on a native thread without a thread state as succeeding.
template <typename... Args>
void CallPythonOverride(const TelemRecorder* self, const char* name, const char* pure_message, const Args&... args) {
    py::gil_scoped_acquire gil;
    py::function override = py::get_override(self, name);
    if (!override) {
        throw std::runtime_error(pure_message);
    }
    override(args...);
}

}  // namespace

PYBIND11_MODULE(telem_pyb, m) {
    // Native half of every Python recorder: routes the pure operations to the
    // instance's Python methods and keeps the two default operations.
    class PyTelemRecorder : public TelemRecorder {
    public:
        void RecordMetadata(const TsMetadata& meta) override {
            CallPythonOverride(this, "record_metadata",
                               "Tried to call pure virtual function \"type::record_metadata\"", meta);
        }
        void RecordPoint(const TsPoint& point) override {
            CallPythonOverride(this, "record_point", "Tried to call pure virtual function \"type::record_point\"",
                               point);
        }
        void Close() override {
            CallPythonOverride(this, "close", "Tried to call pure virtual function \"type::close\"");
        }
    };

    m.attr("__version__") = "5.0.0";

    py::class_<TsPoint, std::shared_ptr<TsPoint>>(m, "TsPoint", "TsPoint")
        .def(py::init<>())
        .def_readwrite("value", &TsPoint::value)
        .def_readwrite("mtime", &TsPoint::mtime)
        .def("value_str", &TsPoint::value_str, "value to string");

    py::class_<TsMetadata, std::shared_ptr<TsMetadata>>(m, "TsMetadata", "TsMetadata")
        .def(py::init<>())
        .def_readwrite("tsid", &TsMetadata::tsid)
        .def_readwrite("tsname", &TsMetadata::tsname)
        .def_readwrite("btype", &TsMetadata::btype)
        .def_readwrite("units", &TsMetadata::units)
        .def_readwrite("origin", &TsMetadata::origin)
        .def_readwrite("serial", &TsMetadata::serial)
        .def_readwrite("role", &TsMetadata::role)
        .def_readwrite("comment", &TsMetadata::comment)
        .def_readwrite("json", &TsMetadata::json);

    py::register_exception<TelemException>(m, "TelemException", PyExc_Exception);

    py::class_<TelemRecorder, PyTelemRecorder, std::shared_ptr<TelemRecorder>>(m, "TelemRecorder", "TelemRecorder")
        .def(py::init<>())
        .def("record_metadata", &TelemRecorder::RecordMetadata, "Record Metadata")
        .def("record_metadata_kv", &TelemRecorder::RecordMetadataKv, "Record Metadata Key-Value")
        .def("record_point", &TelemRecorder::RecordPoint, "Record Point")
        .def("record_value", &TelemRecorder::RecordValue, "Record Point Value")
        .def("close", &TelemRecorder::Close, "Close Recorder");

    py::module_ backend = m.def_submodule("backend");
    py::module_ log = backend.def_submodule("log");

    py::class_<db::Point, std::shared_ptr<db::Point>>(log, "Point", "Point")
        .def(py::init<>())
        .def_readwrite("mtime", &db::Point::mtime)
        .def_readwrite("tsname", &db::Point::tsname)
        .def_readwrite("value", &db::Point::value)
        .def_readwrite("btype", &db::Point::btype)
        .def_readwrite("units", &db::Point::units)
        .def_readwrite("comment", &db::Point::comment)
        .def_readwrite("origin", &db::Point::origin);

    log.def("ConvertPointToDb", &db::ConvertPointToDb);
}
