// telem_pyb: the Python face of the telemetry client. Registrations run top
// to bottom in the order Python sees them.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "exception_registration.h"
#include "fast_layer/audit_hook.h"
#include "fast_layer/class_call.h"
#include "fast_layer/entry.h"
#include "fast_layer/field_property.h"
#include "fast_layer/gate.h"
#include "fast_layer/instances.h"
#include "fast_layer/interpreter_state.h"
#include "fast_layer/legacy_subinterpreters.h"
#include "fast_layer/native_call_gate.h"
#include "fast_layer/override.h"
#include "initialised_instance_caster.h"
#include "norv/telem/telem.h"
#include "ts_value_caster.h"

namespace py = pybind11;

using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
namespace db = norv::telem::backend::log;

// The bound classes the fast layer reads, numbered for its state record.
template <>
struct fast_layer::ClassSlot<TsPoint> : std::integral_constant<int, 0> {};
template <>
struct fast_layer::ClassSlot<TsMetadata> : std::integral_constant<int, 1> {};
template <>
struct fast_layer::ClassSlot<TelemRecorder> : std::integral_constant<int, 2> {};
template <>
struct fast_layer::ClassSlot<db::Point> : std::integral_constant<int, 3> {};

// A point's sample value in the field property's plain case (ts_value_caster.h).
template <>
struct fast_layer::FieldCodec<norv::telem::TsValue> {
    static PyObject* ToPython(const norv::telem::TsValue& value) noexcept { return telem_pyb::ValueToPython(value); }

    static bool LoadPlain(PyObject* src, norv::telem::TsValue& field) {
        auto value = telem_pyb::LoadPlainValue(src);
        if (!value) {
            return false;
        }
        field = std::move(*value);
        return true;
    }
};

namespace {

using fast_layer::OverridableMethod;

// The three operations that Python methods override, numbered as the module
// gives their names to its interpreter state.
constexpr OverridableMethod kRecordMetadata{"record_metadata",
                                            "Tried to call pure virtual function \"type::record_metadata\"", 0};
constexpr OverridableMethod kRecordPoint{"record_point", "Tried to call pure virtual function \"type::record_point\"",
                                         1};
constexpr OverridableMethod kClose{"close", "Tried to call pure virtual function \"type::close\"", 2};

// A record that native code hands to Python: the Python object that already
// owns it, or else a new object owning a copy.
template <typename Record>
py::object RecordToPython(const Record& record) {
    if (py::object existing = fast_layer::LiveInstance(&record, fast_layer::BoundType<Record>())) {
        return existing;
    }
    return fast_layer::OwningInstance(std::make_shared<Record>(record));
}

// Calls the Python method of the instance that owns `self`. Without one it
// throws the pure-operation message while the lock is still held, so that
// failing is as safe on a native thread without a thread state as succeeding.
// A native thread that calls while the interpreter is not running gets
// InterpreterNotRunning and touches nothing of Python.
template <typename... Records>
void CallPythonOverride(std::int64_t interpreter, const TelemRecorder* self, fast_layer::OwnerNote& owner,
                        const OverridableMethod& method, const Records&... records) {
    const fast_layer::InterpreterLock lock(interpreter);
    const fast_layer::Override override =
        fast_layer::FindOverride(self, fast_layer::BoundType<TelemRecorder>(), method, owner);
    if (!override) {
        throw std::runtime_error(method.pure_message);
    }
    override(RecordToPython(records)...);
}

// `TelemRecorder.record_value(recorder, value)` for an instance of the class
// and a value of a built-in type; any other call goes to pybind11's dispatcher,
// which also composes the argument errors. Values of other types go there
// directly, so that their conversion methods run once per call.
PyObject* RecordValueCall(PyObject* const* args) {
    TelemRecorder* self = fast_layer::NativeValue<TelemRecorder>(args[0]);
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

// `ConvertPointToDb(meta, point)` for initialised records.
PyObject* ConvertPointToDbCall(PyObject* const* args) {
    const auto* meta = fast_layer::NativeValue<TsMetadata>(args[0]);
    const auto* point = fast_layer::NativeValue<TsPoint>(args[1]);
    if (meta == nullptr || point == nullptr) {
        return nullptr;
    }
    return fast_layer::OwningInstance(std::make_shared<db::Point>(db::ConvertPointToDb(*meta, *point))).release().ptr();
}

}  // namespace

PYBIND11_MODULE(telem_pyb, m) {
    fast_layer::OpenInterpreterState("telem_pyb", {kRecordMetadata.name, kRecordPoint.name, kClose.name});

    // Native half of every Python recorder: routes the pure operations to the
    // instance's Python methods, under a thread state of the interpreter that
    // made it, and keeps the two default operations. Always owned as itself
    // (make_shared), so its members are destroyed with it.
    class PyTelemRecorder : public TelemRecorder {
    public:
        void RecordMetadata(const TsMetadata& meta) override {
            CallPythonOverride(interpreter_, this, owner_, kRecordMetadata, meta);
        }
        void RecordPoint(const TsPoint& point) override {
            CallPythonOverride(interpreter_, this, owner_, kRecordPoint, point);
        }
        void Close() override { CallPythonOverride(interpreter_, this, owner_, kClose); }

        // From the deallocation of every instance of the class and its subclasses.
        static void ForgetOwner(PyObject* self) {
            void* value = fast_layer::OwnedValue(self, fast_layer::BoundType<TelemRecorder>());
            if (auto* native = dynamic_cast<PyTelemRecorder*>(static_cast<TelemRecorder*>(value))) {
                fast_layer::ForgetOwner(self, native->owner_);
            }
        }

    private:
        const std::int64_t interpreter_ = fast_layer::OpenRecorderInterpreter();
        fast_layer::OwnerNote owner_;  // the Python object that owns this, once a lookup found it
    };

    m.attr("__version__") = TELEM_PYB_VERSION;  // from pyproject.toml

    // The records' metaclass: pybind11's, with a vectorcall for `Cls()`.
    const py::object record_meta = fast_layer::MakeMetaclass(m);
    const py::metaclass record_class(
        record_meta ? py::handle(record_meta)
                    : py::handle(reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass)));

    py::class_<TsPoint, std::shared_ptr<TsPoint>> point(m, "TsPoint", "TsPoint", record_class);
    point.def(py::init<>())
        .def_readwrite("value", &TsPoint::value)
        .def_readwrite("mtime", &TsPoint::mtime)
        .def("value_str", &TsPoint::value_str, "value to string");
    fast_layer::InstallMaking<TsPoint, fast_layer::Making::kDirectClassCall>(point);
    fast_layer::InstallFieldEntries<&TsPoint::value>(point, "value");
    fast_layer::InstallFieldEntries<&TsPoint::mtime>(point, "mtime");

    py::class_<TsMetadata, std::shared_ptr<TsMetadata>> metadata(m, "TsMetadata", "TsMetadata", record_class);
    metadata.def(py::init<>())
        .def_readwrite("tsid", &TsMetadata::tsid)
        .def_readwrite("tsname", &TsMetadata::tsname)
        .def_readwrite("btype", &TsMetadata::btype)
        .def_readwrite("units", &TsMetadata::units)
        .def_readwrite("origin", &TsMetadata::origin)
        .def_readwrite("serial", &TsMetadata::serial)
        .def_readwrite("role", &TsMetadata::role)
        .def_readwrite("comment", &TsMetadata::comment)
        .def_readwrite("json", &TsMetadata::json);
    fast_layer::InstallMaking<TsMetadata, fast_layer::Making::kDirectClassCall>(metadata);
    fast_layer::InstallFieldEntries<&TsMetadata::tsid>(metadata, "tsid");
    fast_layer::InstallFieldEntries<&TsMetadata::tsname>(metadata, "tsname");
    fast_layer::InstallFieldEntries<&TsMetadata::btype>(metadata, "btype");
    fast_layer::InstallFieldEntries<&TsMetadata::units>(metadata, "units");
    fast_layer::InstallFieldEntries<&TsMetadata::origin>(metadata, "origin");
    fast_layer::InstallFieldEntries<&TsMetadata::serial>(metadata, "serial");
    fast_layer::InstallFieldEntries<&TsMetadata::role>(metadata, "role");
    fast_layer::InstallFieldEntries<&TsMetadata::comment>(metadata, "comment");
    fast_layer::InstallFieldEntries<&TsMetadata::json>(metadata, "json");

    telem_pyb::RegisterTelemException(m);

    py::class_<TelemRecorder, PyTelemRecorder, std::shared_ptr<TelemRecorder>> recorder(m, "TelemRecorder",
                                                                                        "TelemRecorder");
    // The native half is owned as the type it is made as: the interface has no
    // virtual destructor.
    recorder.def(py::init([] { return std::shared_ptr<TelemRecorder>(std::make_shared<PyTelemRecorder>()); }))
        .def("record_metadata", &TelemRecorder::RecordMetadata, "Record Metadata")
        .def("record_metadata_kv", &TelemRecorder::RecordMetadataKv, "Record Metadata Key-Value")
        .def("record_point", &TelemRecorder::RecordPoint, "Record Point")
        .def("record_value", &TelemRecorder::RecordValue, "Record Point Value")
        .def("close", &TelemRecorder::Close, "Close Recorder");
    fast_layer::InstallMaking<TelemRecorder, fast_layer::Making::kPybind11Constructor>(recorder,
                                                                                       &PyTelemRecorder::ForgetOwner);
    fast_layer::InstallFastEntry(
        recorder.attr("record_value"),
        fast_layer::FastEntry<2, RecordValueCall, fast_layer::NoScreen, fast_layer::Body::kCallsPython>);
    fast_layer::InstallMethodDescriptor(recorder, "record_value");

    py::module_ backend = m.def_submodule("backend");
    py::module_ log = backend.def_submodule("log");

    py::class_<db::Point, std::shared_ptr<db::Point>> log_point(log, "Point", "Point", record_class);
    log_point.def(py::init<>())
        .def_readwrite("mtime", &db::Point::mtime)
        .def_readwrite("tsname", &db::Point::tsname)
        .def_readwrite("value", &db::Point::value)
        .def_readwrite("btype", &db::Point::btype)
        .def_readwrite("units", &db::Point::units)
        .def_readwrite("comment", &db::Point::comment)
        .def_readwrite("origin", &db::Point::origin);
    fast_layer::InstallMaking<db::Point, fast_layer::Making::kDirectClassCall>(log_point);
    fast_layer::InstallFieldEntries<&db::Point::mtime>(log_point, "mtime");
    fast_layer::InstallFieldEntries<&db::Point::tsname>(log_point, "tsname");
    fast_layer::InstallFieldEntries<&db::Point::value>(log_point, "value");
    fast_layer::InstallFieldEntries<&db::Point::btype>(log_point, "btype");
    fast_layer::InstallFieldEntries<&db::Point::units>(log_point, "units");
    fast_layer::InstallFieldEntries<&db::Point::comment>(log_point, "comment");
    fast_layer::InstallFieldEntries<&db::Point::origin>(log_point, "origin");

    log.def("ConvertPointToDb", &db::ConvertPointToDb);
    fast_layer::InstallFastEntry(log.attr("ConvertPointToDb"), fast_layer::FastEntry<2, ConvertPointToDbCall>);

    fast_layer::NoteSubmodules({{"telem_pyb.backend", backend.ptr()}, {"telem_pyb.backend.log", log.ptr()}});
    fast_layer::InstallAuditHook("telem_pyb");
    fast_layer::OpenGatesForImport();
}
