// ref_capi: the benchmark's limit. The records and a recorder written against
// the CPython C API alone, with no binding library: getset properties, a
// constructor through the type's vectorcall, ConvertPointToDb as a fastcall
// function over the client library (whose value text is std::to_chars), and
// a recorder base whose record_value makes a point and calls the subclass's
// record_point by vectorcall. The recorder keeps object's own allocation, so
// that Python subclasses get inline attribute values.

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <new>
#include <string>
#include <utility>

#include "norv/telem/telem.h"

namespace {

using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using norv::telem::TsValue;
namespace db = norv::telem::backend::log;

template <typename Record>
struct Object {
    PyObject_HEAD Record record;
};

template <typename Record>
PyObject* NewRecord(PyTypeObject* type, Record&& record) {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj != nullptr) {
        new (&reinterpret_cast<Object<std::decay_t<Record>>*>(obj)->record) std::decay_t<Record>(std::move(record));
    }
    return obj;
}

template <typename Record>
void Dealloc(PyObject* obj) {
    reinterpret_cast<Object<Record>*>(obj)->record.~Record();
    Py_TYPE(obj)->tp_free(obj);
}

template <typename Record>
PyObject* VectorNew(PyObject* type, PyObject* const* /*args*/, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "takes no arguments");
        return nullptr;
    }
    return NewRecord(reinterpret_cast<PyTypeObject*>(type), Record());
}

template <typename Record>
PyObject* TpNew(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwds != nullptr && PyDict_GET_SIZE(kwds) != 0)) {
        PyErr_SetString(PyExc_TypeError, "takes no arguments");
        return nullptr;
    }
    return NewRecord(type, Record());
}

PyObject* TextToPython(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

int TextFromPython(PyObject* src, std::string& field) {
    if (src == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete");
        return -1;
    }
    if (PyUnicode_Check(src)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(src, &size);
        if (utf8 == nullptr) {
            return -1;
        }
        field.assign(utf8, static_cast<size_t>(size));
        return 0;
    }
    if (PyBytes_Check(src)) {
        field.assign(PyBytes_AS_STRING(src), static_cast<size_t>(PyBytes_GET_SIZE(src)));
        return 0;
    }
    PyErr_SetString(PyExc_TypeError, "a text is needed");
    return -1;
}

bool ValueFromPython(PyObject* src, TsValue& value) {
    if (PyBool_Check(src)) {
        value = src == Py_True;
    } else if (PyFloat_CheckExact(src)) {
        value = PyFloat_AS_DOUBLE(src);
    } else if (PyLong_Check(src)) {
        const long v = PyLong_AsLong(src);
        if (v == -1 && PyErr_Occurred()) {
            return false;
        }
        value = v;
    } else if (PyFloat_Check(src)) {
        value = PyFloat_AS_DOUBLE(src);
    } else if (PyUnicode_Check(src)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(src, &size);
        if (utf8 == nullptr) {
            return false;
        }
        value = std::string(utf8, static_cast<size_t>(size));
    } else {
        PyErr_SetString(PyExc_TypeError, "a bool, int, float or str is needed");
        return false;
    }
    return true;
}

PyObject* ValueToPython(const TsValue& value) {
    switch (value.index()) {
        case 0:
            return PyBool_FromLong(std::get<bool>(value));
        case 1:
            return PyLong_FromLong(std::get<long>(value));
        case 2:
            return PyFloat_FromDouble(std::get<double>(value));
        default:
            return TextToPython(std::get<std::string>(value));
    }
}

// A text field of Record, named by its member pointer in the getset closure.
template <typename Record>
PyObject* GetText(PyObject* self, void* closure) {
    auto member = *static_cast<std::string Record::**>(closure);
    return TextToPython(reinterpret_cast<Object<Record>*>(self)->record.*member);
}

template <typename Record>
int SetText(PyObject* self, PyObject* src, void* closure) {
    auto member = *static_cast<std::string Record::**>(closure);
    return TextFromPython(src, reinterpret_cast<Object<Record>*>(self)->record.*member);
}

PyObject* GetValue(PyObject* self, void*) {
    return ValueToPython(reinterpret_cast<Object<TsPoint>*>(self)->record.value);
}

int SetValue(PyObject* self, PyObject* src, void*) {
    if (src == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "cannot delete");
        return -1;
    }
    return ValueFromPython(src, reinterpret_cast<Object<TsPoint>*>(self)->record.value) ? 0 : -1;
}

std::string TsPoint::*point_mtime = &TsPoint::mtime;

PyGetSetDef point_getset[] = {
    {"value", GetValue, SetValue, nullptr, nullptr},
    {"mtime", GetText<TsPoint>, SetText<TsPoint>, nullptr, &point_mtime},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

std::string TsMetadata::*meta_fields[] = {&TsMetadata::tsid,  &TsMetadata::tsname,  &TsMetadata::btype,
                                          &TsMetadata::units, &TsMetadata::origin,  &TsMetadata::serial,
                                          &TsMetadata::role,  &TsMetadata::comment, &TsMetadata::json};
const char* const meta_names[] = {"tsid", "tsname", "btype", "units", "origin", "serial", "role", "comment", "json"};
PyGetSetDef meta_getset[10];

std::string db::Point::*point_fields[] = {&db::Point::mtime, &db::Point::tsname,  &db::Point::value, &db::Point::btype,
                                          &db::Point::units, &db::Point::comment, &db::Point::origin};
const char* const point_names[] = {"mtime", "tsname", "value", "btype", "units", "comment", "origin"};
PyGetSetDef log_point_getset[8];

template <typename Record, size_t N>
void FillGetset(PyGetSetDef (&defs)[N + 1], std::string Record::* (&fields)[N], const char* const (&names)[N]) {
    for (size_t i = 0; i < N; ++i) {
        defs[i] = {names[i], GetText<Record>, SetText<Record>, nullptr, &fields[i]};
    }
    defs[N] = {nullptr, nullptr, nullptr, nullptr, nullptr};
}

template <typename Record>
PyTypeObject MakeType(const char* name, PyGetSetDef* getset, unsigned long flags = Py_TPFLAGS_DEFAULT) {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);  // as PyVarObject_HEAD_INIT(nullptr, 0)
    type.tp_name = name;
    type.tp_basicsize = sizeof(Object<Record>);
    type.tp_dealloc = Dealloc<Record>;
    type.tp_flags = flags | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_getset = getset;
    type.tp_new = TpNew<Record>;
    type.tp_vectorcall = VectorNew<Record>;
    return type;
}

PyTypeObject point_type = MakeType<TsPoint>("ref_capi.TsPoint", point_getset);
PyTypeObject meta_type = MakeType<TsMetadata>("ref_capi.TsMetadata", meta_getset);
PyTypeObject log_point_type = MakeType<db::Point>("ref_capi.Point", log_point_getset);

PyObject* ConvertPointToDb(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyObject_TypeCheck(args[0], &meta_type) || !PyObject_TypeCheck(args[1], &point_type)) {
        PyErr_SetString(PyExc_TypeError, "ConvertPointToDb(TsMetadata, TsPoint)");
        return nullptr;
    }
    try {
        return NewRecord(&log_point_type, db::ConvertPointToDb(reinterpret_cast<Object<TsMetadata>*>(args[0])->record,
                                                               reinterpret_cast<Object<TsPoint>*>(args[1])->record));
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// The recorder: record_value(v) makes a point of v and calls
// self.record_point(point).
PyObject* record_point_name = nullptr;

PyObject* RecordValue(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "record_value(value)");
        return nullptr;
    }
    TsValue value;
    if (!ValueFromPython(args[0], value)) {
        return nullptr;
    }
    PyObject* point = NewRecord(&point_type, TsPoint(std::move(value)));
    if (point == nullptr) {
        return nullptr;
    }
    PyObject* call[] = {self, point};
    PyObject* result = PyObject_VectorcallMethod(record_point_name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(point);
    if (result == nullptr) {
        return nullptr;
    }
    Py_DECREF(result);
    Py_RETURN_NONE;
}

PyMethodDef recorder_methods[] = {
    {"record_value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(RecordValue)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject recorder_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);  // as PyVarObject_HEAD_INIT(nullptr, 0)
    type.tp_name = "ref_capi.TelemRecorder";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_methods = recorder_methods;
    return type;  // tp_alloc and tp_dealloc: object's; tp_new too (set at import)
}();

PyMethodDef module_methods[] = {
    {"ConvertPointToDb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ConvertPointToDb)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "ref_capi", nullptr, -1, module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ref_capi() {
    recorder_type.tp_new = PyBaseObject_Type.tp_new;
    FillGetset<TsMetadata, 9>(meta_getset, meta_fields, meta_names);
    FillGetset<db::Point, 7>(log_point_getset, point_fields, point_names);
    record_point_name = PyUnicode_InternFromString("record_point");
    if (record_point_name == nullptr) {
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) {
        return nullptr;
    }
    const std::pair<const char*, PyTypeObject*> types[] = {{"TsPoint", &point_type},
                                                           {"TsMetadata", &meta_type},
                                                           {"Point", &log_point_type},
                                                           {"TelemRecorder", &recorder_type}};
    for (const auto& [name, type] : types) {
        if (PyType_Ready(type) != 0 || PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) != 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
