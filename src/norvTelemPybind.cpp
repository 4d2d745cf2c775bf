// telem_pyb: the Python face of the telemetry client. Registrations run top
// to bottom in the order Python sees them.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <stdexcept>

#include "audit_hook.h"
#include "exception_registration.h"
#include "fast_entry.h"
#include "fast_members.h"
#include "initialised_instance_caster.h"
#include "instance_lifecycle.h"
#include "method_descriptor.h"
#include "native_call_gate.h"
#include "python_override.h"
#include "norv/telem/telem.h"
#include "ts_value_caster.h"

namespace py = pybind11;

using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
namespace db = norv::telem::backend::log;

namespace {

using telem_pyb::OverridableMethod;
using telem_pyb::RegisteredType;

// A record that native code hands to Python: the Python object that already
// owns it, or else a new object owning a copy.
template <typename Record>
py::object RecordToPython(const Record& record) {
    if (py::object existing = telem_pyb::LiveInstance(&record, RegisteredType<Record>())) {
        return existing;
    }
    return telem_pyb::OwningInstance(std::make_shared<Record>(record));
}

// Calls the Python method of the instance that owns `self`. Without one it
// throws the pure-operation message while the lock is still held, so that
// failing is as safe on a native thread without a thread state as succeeding.
// A native thread that calls while the interpreter is not running gets
// InterpreterNotRunning and touches nothing of Python.
template <typename... Records>
void CallPythonOverride(std::int64_t interpreter, const TelemRecorder* self, telem_pyb::OwnerNote& owner,
                        OverridableMethod& method, const Records&... records) {
    telem_pyb::InterpreterLock lock(interpreter);
    const telem_pyb::Override override = telem_pyb::FindOverride(self, RegisteredType<TelemRecorder>(), method, owner);
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
    TelemRecorder* self = telem_pyb::InitialisedValue<TelemRecorder>(args[0]);
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
    const auto* meta = telem_pyb::InitialisedValue<TsMetadata>(args[0]);
    const auto* point = telem_pyb::InitialisedValue<TsPoint>(args[1]);
    if (meta == nullptr || point == nullptr) {
        return nullptr;
    }
    return telem_pyb::OwningInstance(std::make_shared<db::Point>(db::ConvertPointToDb(*meta, *point))).release().ptr();
}

OverridableMethod record_metadata_method{"record_metadata",
                                         "Tried to call pure virtual function \"type::record_metadata\""};
OverridableMethod record_point_method{"record_point", "Tried to call pure virtual function \"type::record_point\""};
OverridableMethod close_method{"close", "Tried to call pure virtual function \"type::close\""};

}  // namespace

PYBIND11_MODULE(telem_pyb, m) {
    telem_pyb::DropCachesOnFinalize();

    // Native half of every Python recorder: routes the pure operations to the
    // instance's Python methods, under a thread state of the interpreter that
    // made it, and keeps the two default operations. Always owned as itself
    // (make_shared), so its members are destroyed with it.
    class PyTelemRecorder : public TelemRecorder {
    public:
        void RecordMetadata(const TsMetadata& meta) override {
            CallPythonOverride(interpreter_, this, owner_, record_metadata_method, meta);
        }
        void RecordPoint(const TsPoint& point) override {
            CallPythonOverride(interpreter_, this, owner_, record_point_method, point);
        }
        void Close() override { CallPythonOverride(interpreter_, this, owner_, close_method); }

        // From the deallocation of every instance of the class and its subclasses.
        static void ForgetOwner(PyObject* self) {
            void* value = telem_pyb::OwnedValue(self, RegisteredType<TelemRecorder>());
            if (auto* native = dynamic_cast<PyTelemRecorder*>(static_cast<TelemRecorder*>(value))) {
                telem_pyb::ForgetOwner(self, native->owner_);
            }
        }

    private:
        const std::int64_t interpreter_ = telem_pyb::Gates::Get().Join();
        telem_pyb::OwnerNote owner_;  // the Python object that owns this, once a lookup found it
    };

    m.attr("__version__") = TELEM_PYB_VERSION;  // from pyproject.toml

    // The records' metaclass: pybind11's, with a vectorcall for `Cls()`.
    const py::object record_meta = telem_pyb::MakeMetaclass(m);
    const py::metaclass record_class(
        record_meta ? py::handle(record_meta)
                    : py::handle(reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass)));

    py::class_<TsPoint, std::shared_ptr<TsPoint>> point(m, "TsPoint", "TsPoint", record_class);
    point.def(py::init<>())
        .def_readwrite("value", &TsPoint::value)
        .def_readwrite("mtime", &TsPoint::mtime)
        .def("value_str", &TsPoint::value_str, "value to string");
    telem_pyb::InstallConstructorEntry<TsPoint>(point);
    telem_pyb::InstallLifecycle<TsPoint, true>(point);
    telem_pyb::InstallFieldEntries<&TsPoint::value>(point, "value");
    telem_pyb::InstallFieldEntries<&TsPoint::mtime>(point, "mtime");

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
    telem_pyb::InstallConstructorEntry<TsMetadata>(metadata);
    telem_pyb::InstallLifecycle<TsMetadata, true>(metadata);
    telem_pyb::InstallFieldEntries<&TsMetadata::tsid>(metadata, "tsid");
    telem_pyb::InstallFieldEntries<&TsMetadata::tsname>(metadata, "tsname");
    telem_pyb::InstallFieldEntries<&TsMetadata::btype>(metadata, "btype");
    telem_pyb::InstallFieldEntries<&TsMetadata::units>(metadata, "units");
    telem_pyb::InstallFieldEntries<&TsMetadata::origin>(metadata, "origin");
    telem_pyb::InstallFieldEntries<&TsMetadata::serial>(metadata, "serial");
    telem_pyb::InstallFieldEntries<&TsMetadata::role>(metadata, "role");
    telem_pyb::InstallFieldEntries<&TsMetadata::comment>(metadata, "comment");
    telem_pyb::InstallFieldEntries<&TsMetadata::json>(metadata, "json");

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
    telem_pyb::InstallConstructorScreen<TelemRecorder>(recorder);
    telem_pyb::InstallLifecycle<TelemRecorder, false>(recorder, &PyTelemRecorder::ForgetOwner);
    telem_pyb::InstallFastEntry(recorder.attr("record_value"), telem_pyb::FastEntry<2, RecordValueCall, telem_pyb::NoScreen, true>);
    telem_pyb::InstallMethodDescriptor(recorder, "record_value");

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
    telem_pyb::InstallConstructorEntry<db::Point>(log_point);
    telem_pyb::InstallLifecycle<db::Point, true>(log_point);
    telem_pyb::InstallFieldEntries<&db::Point::mtime>(log_point, "mtime");
    telem_pyb::InstallFieldEntries<&db::Point::tsname>(log_point, "tsname");
    telem_pyb::InstallFieldEntries<&db::Point::value>(log_point, "value");
    telem_pyb::InstallFieldEntries<&db::Point::btype>(log_point, "btype");
    telem_pyb::InstallFieldEntries<&db::Point::units>(log_point, "units");
    telem_pyb::InstallFieldEntries<&db::Point::comment>(log_point, "comment");
    telem_pyb::InstallFieldEntries<&db::Point::origin>(log_point, "origin");

    log.def("ConvertPointToDb", &db::ConvertPointToDb);
    telem_pyb::InstallFastEntry(log.attr("ConvertPointToDb"), telem_pyb::FastEntry<2, ConvertPointToDbCall>);

    telem_pyb::InstallAuditHook(backend, log);
    telem_pyb::Gates::Get().OpenForImport();
}
