// ref_pybind11: the same bindings in plain pybind11 2.11, without telem_pyb's
// fast entries. Its classes are module-local, so that it loads beside
// telem_pyb, which registers the same C++ types globally.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "norv/telem/telem.h"

namespace py = pybind11;

using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
namespace db = norv::telem::backend::log;

namespace {

class PyTelemRecorder : public TelemRecorder {
public:
    void RecordMetadata(const TsMetadata& meta) override {
        PYBIND11_OVERRIDE_PURE_NAME(void, TelemRecorder, "record_metadata", RecordMetadata, meta);
    }
    void RecordPoint(const TsPoint& point) override {
        PYBIND11_OVERRIDE_PURE_NAME(void, TelemRecorder, "record_point", RecordPoint, point);
    }
    void Close() override { PYBIND11_OVERRIDE_PURE_NAME(void, TelemRecorder, "close", Close, ); }
};

}  // namespace

PYBIND11_MODULE(ref_pybind11, m) {
    py::class_<TsPoint, std::shared_ptr<TsPoint>>(m, "TsPoint", py::module_local())
        .def(py::init<>())
        .def_readwrite("value", &TsPoint::value)
        .def_readwrite("mtime", &TsPoint::mtime)
        .def("value_str", &TsPoint::value_str);
    py::class_<TsMetadata, std::shared_ptr<TsMetadata>>(m, "TsMetadata", py::module_local())
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
    py::class_<TelemRecorder, PyTelemRecorder, std::shared_ptr<TelemRecorder>>(m, "TelemRecorder", py::module_local())
        .def(py::init<>())
        .def("record_metadata", &TelemRecorder::RecordMetadata)
        .def("record_metadata_kv", &TelemRecorder::RecordMetadataKv)
        .def("record_point", &TelemRecorder::RecordPoint)
        .def("record_value", &TelemRecorder::RecordValue)
        .def("close", &TelemRecorder::Close);
    py::class_<db::Point, std::shared_ptr<db::Point>>(m, "Point", py::module_local())
        .def(py::init<>())
        .def_readwrite("mtime", &db::Point::mtime)
        .def_readwrite("tsname", &db::Point::tsname)
        .def_readwrite("value", &db::Point::value)
        .def_readwrite("btype", &db::Point::btype)
        .def_readwrite("units", &db::Point::units)
        .def_readwrite("comment", &db::Point::comment)
        .def_readwrite("origin", &db::Point::origin);
    m.def("ConvertPointToDb", &db::ConvertPointToDb);
}
