// telem_pyb: the Python face of the telemetry client. Registrations run top
// to bottom in the order Python sees them.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

#include "exception_registration.h"
#include "fast_entry.h"
#include "initialised_instance_caster.h"
#include "interpreter_cache.h"
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
    const auto* tinfo = RegisteredType<Record>();
    if (py::handle existing = telem_pyb::LiveInstance(&record, tinfo)) {
        return py::reinterpret_borrow<py::object>(existing);
    }
    // What pybind11's cast does for a copy, with the type's entry at hand.
    auto copy = std::make_shared<Record>(record);
    auto obj = py::reinterpret_steal<py::object>(py::detail::make_new_instance(tinfo->type));
    auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
    auto v_h = inst->get_value_and_holder(tinfo);
    v_h.value_ptr() = copy.get();
    inst->owned = true;
    new (std::addressof(v_h.template holder<std::shared_ptr<Record>>())) std::shared_ptr<Record>(std::move(copy));
    v_h.set_holder_constructed();  // from here on, deallocating the object frees the copy
    py::detail::register_instance(inst, v_h.value_ptr(), tinfo);
    v_h.set_instance_registered();
    return obj;
}

// Calls the Python method of the instance that owns `self`. Without one it
// throws the pure-operation message while the lock is still held, so that
// failing is as safe on a native thread without a thread state as succeeding.
template <typename... Records>
void CallPythonOverride(const TelemRecorder* self, OverridableMethod& method, const Records&... records) {
    telem_pyb::InterpreterLock lock;
    const telem_pyb::Override override = telem_pyb::FindOverride(self, RegisteredType<TelemRecorder>(), method);
    if (!override) {
        throw std::runtime_error(method.pure_message);
    }
    override(RecordToPython(records)...);
}

// `TelemRecorder.record_value(recorder, value)` for an instance of the class
// and a value of a built-in type; any other call goes to pybind11's dispatcher,
// which also composes the argument errors. Values of other types go there
// directly, so that their conversion methods run once per call.
PyObject* RecordValueCall(const py::detail::function_record& /*record*/, PyObject* const* args) {
    const auto* tinfo = RegisteredType<TelemRecorder>();
    if (tinfo == nullptr || !PyObject_TypeCheck(args[0], tinfo->type) || !telem_pyb::IsBuiltinValue(args[1])) {
        return nullptr;
    }
    py::detail::type_caster_generic self(tinfo);
    py::detail::make_caster<norv::telem::TsValue> value;
    if (!telem_pyb::LoadInitialised(self, args[0], true) || !value.load(args[1], true)) {
        return nullptr;
    }
    static_cast<TelemRecorder*>(self.value)->RecordValue(std::move(static_cast<norv::telem::TsValue&>(value)));
    Py_RETURN_NONE;
}

OverridableMethod record_metadata_method{"record_metadata",
                                         "Tried to call pure virtual function \"type::record_metadata\""};
OverridableMethod record_point_method{"record_point", "Tried to call pure virtual function \"type::record_point\""};
OverridableMethod close_method{"close", "Tried to call pure virtual function \"type::close\""};

}  // namespace

PYBIND11_MODULE(telem_pyb, m) {
    telem_pyb::DropCachesOnFinalize();

    // Native half of every Python recorder: routes the pure operations to the
    // instance's Python methods and keeps the two default operations.
    class PyTelemRecorder : public TelemRecorder {
    public:
        void RecordMetadata(const TsMetadata& meta) override { CallPythonOverride(this, record_metadata_method, meta); }
        void RecordPoint(const TsPoint& point) override { CallPythonOverride(this, record_point_method, point); }
        void Close() override { CallPythonOverride(this, close_method); }
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
    telem_pyb::InstallFastEntry(recorder.attr("record_value"), telem_pyb::FastEntry<2, RecordValueCall>);

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
