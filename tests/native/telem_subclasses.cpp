// telem_subclasses: a module built only for the tests that binds C++
// subclasses of telem_pyb's types, as a native consumer may: with multiple
// inheritance behind a base of its own (so that the telem_pyb type sits at an
// offset inside the object), and with single inheritance and extra fields (so
// that the object is larger than the telem_pyb type). Each class can report
// what native code sees in it, so the tests tell a correct access from one
// that read or wrote the wrong bytes.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "norv/telem/telem.h"

namespace py = pybind11;

using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;

namespace {

// A base of the consumer's own, first in the layout, with a table of virtual
// operations of its own.
struct Mixin {
    virtual ~Mixin() = default;
    virtual std::string Tag() const { return tag; }
    std::string tag = "mixin intact";
};

struct MIPoint : Mixin, TsPoint {};
struct MIMetadata : Mixin, TsMetadata {};

// Single inheritance, larger than TsPoint.
struct BigPoint : TsPoint {
    std::vector<std::string> Extra() const { return {std::begin(extra), std::end(extra)}; }
    std::string extra[4] = {"e0", "e1", "e2", "e3"};
};

std::string ValueText(const TsPoint& point) {
    return std::visit(
        [](const auto& v) -> std::string {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<V, bool>) {
                return v ? "true" : "false";
            } else {
                return std::to_string(v);
            }
        },
        point.value);
}

// A recorder implemented natively, behind the consumer's own base.
struct MIRecorder : Mixin, TelemRecorder {
    void RecordMetadata(const TsMetadata& meta) override { Keep("metadata " + meta.tsname); }
    void RecordPoint(const TsPoint& point) override { Keep("point " + ValueText(point)); }
    void Close() override { Keep("close"); }

    std::vector<std::string> Seen() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

private:
    void Keep(std::string what) {
        const std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(std::move(what));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> seen_;
};

// What native code sees in a point: (the value's alternative, its text, mtime).
py::tuple PointSeen(const TsPoint& point) {
    return py::make_tuple(point.value.index(), py::bytes(ValueText(point)), py::bytes(point.mtime));
}

}  // namespace

PYBIND11_MODULE(telem_subclasses, m) {
    py::module_::import("telem_pyb");

    py::class_<MIPoint, TsPoint, std::shared_ptr<MIPoint>>(m, "MIPoint", py::multiple_inheritance())
        .def(py::init<>())
        .def("tag", &MIPoint::Tag);
    py::class_<MIMetadata, TsMetadata, std::shared_ptr<MIMetadata>>(m, "MIMetadata", py::multiple_inheritance())
        .def(py::init<>())
        .def("tag", &MIMetadata::Tag);
    py::class_<MIRecorder, TelemRecorder, std::shared_ptr<MIRecorder>>(m, "MIRecorder", py::multiple_inheritance())
        .def(py::init<>())
        .def("tag", &MIRecorder::Tag)
        .def_property_readonly("seen", &MIRecorder::Seen);
    py::class_<BigPoint, TsPoint, std::shared_ptr<BigPoint>>(m, "BigPoint")
        .def(py::init<>())
        .def("extra", &BigPoint::Extra);

    m.def("point_seen", &PointSeen, py::arg("point"),
          "(alternative, value text, mtime) of the point as native code sees it.");
    m.def(
        "metadata_seen",
        [](const TsMetadata& meta) { return py::make_tuple(py::bytes(meta.tsname), py::bytes(meta.json)); },
        py::arg("meta"), "(tsname, json) of the metadata as native code sees it.");
}
