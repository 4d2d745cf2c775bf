// ref_nanobind: the same records, recorder and conversion bound with
// nanobind, as a binding library's reference for the benchmark.

#include <nanobind/nanobind.h>
#include <nanobind/stl/map.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/trampoline.h>

#include "norv/telem/telem.h"

namespace nb = nanobind;

using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
namespace db = norv::telem::backend::log;

namespace {

class PyTelemRecorder : public TelemRecorder {
public:
    NB_TRAMPOLINE(TelemRecorder, 3);
    void RecordMetadata(const TsMetadata& meta) override {
        NB_OVERRIDE_PURE_NAME("record_metadata", RecordMetadata, meta);
    }
    void RecordPoint(const TsPoint& point) override { NB_OVERRIDE_PURE_NAME("record_point", RecordPoint, point); }
    void Close() override { NB_OVERRIDE_PURE_NAME("close", Close); }
};

}  // namespace

NB_MODULE(ref_nanobind, m) {
    nb::class_<TsPoint>(m, "TsPoint")
        .def(nb::init<>())
        .def_rw("value", &TsPoint::value)
        .def_rw("mtime", &TsPoint::mtime)
        .def("value_str", &TsPoint::value_str);
    nb::class_<TsMetadata>(m, "TsMetadata")
        .def(nb::init<>())
        .def_rw("tsid", &TsMetadata::tsid)
        .def_rw("tsname", &TsMetadata::tsname)
        .def_rw("btype", &TsMetadata::btype)
        .def_rw("units", &TsMetadata::units)
        .def_rw("origin", &TsMetadata::origin)
        .def_rw("serial", &TsMetadata::serial)
        .def_rw("role", &TsMetadata::role)
        .def_rw("comment", &TsMetadata::comment)
        .def_rw("json", &TsMetadata::json);
    nb::class_<TelemRecorder, PyTelemRecorder>(m, "TelemRecorder")
        .def(nb::init<>())
        .def("record_metadata", &TelemRecorder::RecordMetadata)
        .def("record_metadata_kv", &TelemRecorder::RecordMetadataKv)
        .def("record_point", &TelemRecorder::RecordPoint)
        .def("record_value", &TelemRecorder::RecordValue)
        .def("close", &TelemRecorder::Close);
    nb::class_<db::Point>(m, "Point")
        .def(nb::init<>())
        .def_rw("mtime", &db::Point::mtime)
        .def_rw("tsname", &db::Point::tsname)
        .def_rw("value", &db::Point::value)
        .def_rw("btype", &db::Point::btype)
        .def_rw("units", &db::Point::units)
        .def_rw("comment", &db::Point::comment)
        .def_rw("origin", &db::Point::origin);
    m.def("ConvertPointToDb", &db::ConvertPointToDb);
}
