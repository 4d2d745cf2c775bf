#pragma once

// Fast entries (fast_entry.h) for the record operations: the field properties,
// the constructors without arguments and functions on records. Each takes the
// plain case only: initialised instances whose type holds exactly the bound
// class (exact_type_gate.h), and field values of built-in types. Everything
// else, errors included, is the dispatcher's.

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "exact_type_gate.h"
#include "fast_entry.h"
#include "interpreter_cache.h"
#include "norv/telem/TsValue.h"
#include "ts_value_caster.h"

namespace telem_pyb {

namespace py = pybind11;
namespace detail = pybind11::detail;

// The native object of `obj` if it is an initialised instance of a type that
// holds exactly T; null otherwise.
template <typename T>
T* InitialisedValue(PyObject* obj) {
    if (!HoldsExactly(obj, RegisteredType<T>())) {
        return nullptr;
    }
    auto* inst = reinterpret_cast<detail::instance*>(obj);
    if (!inst->simple_layout || !inst->simple_instance_registered) {
        return nullptr;
    }
    return static_cast<T*>(inst->simple_value_holder[0]);
}

// Gives the instance `inst` of a type that holds exactly T the native object
// `value`, owned by a new holder, and enters it in pybind11's
// registry of instances: what pybind11's init_instance does, without looking
// up the type's entry again.
template <typename T>
void AdoptValue(detail::instance* inst, const detail::type_info* tinfo, std::shared_ptr<T> value) {
    void*& value_ptr = inst->simple_value_holder[0];
    value_ptr = value.get();
    new (&inst->simple_value_holder[1]) std::shared_ptr<T>(std::move(value));
    inst->simple_holder_constructed = true;  // from here on, deallocating the instance frees the value
    detail::register_instance(inst, value_ptr, tinfo);
    inst->simple_instance_registered = true;
}

// A new Python object of T's bound class that owns `value`, as pybind11 makes
// one for a returned or copied record.
template <typename T>
py::object OwningInstance(std::shared_ptr<T> value) {
    static_assert(sizeof(std::shared_ptr<T>) <= sizeof(void*) * detail::instance_simple_holder_in_ptrs(),
                  "the holder fits the simple layout");
    const detail::type_info* tinfo = RegisteredType<T>();
    if (tinfo == nullptr) {
        py::pybind11_fail("OwningInstance: type not registered");
    }
    // pybind11's make_new_instance for a class with one bound type and a
    // holder that fits: tp_alloc zeroes the instance, the layout is simple.
    auto obj = py::reinterpret_steal<py::object>(tinfo->type->tp_alloc(tinfo->type, 0));
    if (!obj) {
        throw py::error_already_set();
    }
    auto* inst = reinterpret_cast<detail::instance*>(obj.ptr());
    inst->simple_layout = true;
    inst->owned = true;
    AdoptValue(inst, tinfo, std::move(value));
    return obj;
}

// Field values to Python: a text as strict UTF-8 (UnicodeDecodeError
// otherwise), a sample value by its caster.
inline PyObject* FieldToPython(const std::string& text) {
    PyObject* str = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (str == nullptr) {
        throw py::error_already_set();
    }
    return str;
}

inline PyObject* FieldToPython(const norv::telem::TsValue& value) {
    return detail::make_caster<norv::telem::TsValue>::cast(value, py::return_value_policy::copy, nullptr).ptr();
}

// Field and argument values from Python, the plain cases: false leaves `field`
// as it was and the call to the dispatcher.
inline bool LoadPlain(PyObject* src, std::string& field) {
    if (PyUnicode_Check(src)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(src, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();  // a lone surrogate: the dispatcher refuses it
            return false;
        }
        field.assign(utf8, static_cast<size_t>(size));
        return true;
    }
    if (PyBytes_Check(src)) {
        field.assign(PyBytes_AS_STRING(src), static_cast<size_t>(PyBytes_GET_SIZE(src)));
        return true;
    }
    if (PyByteArray_Check(src)) {
        field.assign(PyByteArray_AS_STRING(src), static_cast<size_t>(PyByteArray_GET_SIZE(src)));
        return true;
    }
    return false;
}

// A sample value of a built-in type, or nothing: values of other types go to
// the dispatcher, which runs their conversion methods once.
// A float or an int of their exact types takes LoadValue's first step directly.
inline std::optional<norv::telem::TsValue> LoadPlainValue(PyObject* src) {
    if (PyFloat_CheckExact(src)) {
        return norv::telem::TsValue(PyFloat_AS_DOUBLE(src));
    }
    if (PyLong_CheckExact(src)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(src, &overflow);
        if (overflow == 0) {
            return norv::telem::TsValue(v);  // an exact int cannot fail otherwise
        }
    }
    return IsBuiltinValue(src) ? LoadValue(src, true) : std::nullopt;
}

inline bool LoadPlain(PyObject* src, norv::telem::TsValue& field) {
    auto value = LoadPlainValue(src);
    if (!value) {
        return false;
    }
    field = std::move(*value);
    return true;
}

// The class of a pointer to a data member.
template <typename>
struct MemberOf;
template <typename C, typename F>
struct MemberOf<F C::*> {
    using Class = C;
};

template <auto Member>
PyObject* GetField(PyObject* const* args) {
    const auto* self = InitialisedValue<typename MemberOf<decltype(Member)>::Class>(args[0]);
    return self == nullptr ? nullptr : FieldToPython(self->*Member);
}

template <auto Member>
PyObject* SetField(PyObject* const* args) {
    auto* self = InitialisedValue<typename MemberOf<decltype(Member)>::Class>(args[0]);
    if (self == nullptr || !LoadPlain(args[1], self->*Member)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// `__init__(self)` of a class bound with init<>: makes the native object and
// its holder, as pybind11's constructor call does. A second call does nothing.
template <typename Class>
PyObject* Construct(PyObject* const* args) {
    const detail::type_info* tinfo = RegisteredType<Class>();
    if (!HoldsExactly(args[0], tinfo)) {
        return nullptr;
    }
    auto* inst = reinterpret_cast<detail::instance*>(args[0]);
    if (!inst->simple_layout) {
        return nullptr;
    }
    if (!inst->simple_instance_registered) {
        AdoptValue(inst, tinfo, std::make_shared<Class>());
    }
    Py_RETURN_NONE;
}

// Refuses, for any call of Class's `__init__`, a `self` of a subclass that has
// no storage for a Class: an instance of a C++ subclass that another module
// bound. pybind11's dispatcher would fail for it outside its exception handler
// and end the process.
template <typename Class>
bool RefuseForeignSelf(PyObject* const* args, Py_ssize_t nargs) {
    const detail::type_info* tinfo = RegisteredType<Class>();
    if (nargs < 1 || tinfo == nullptr || !PyObject_TypeCheck(args[0], tinfo->type) || HoldsExactly(args[0], tinfo)
        || HasBoundBase(Py_TYPE(args[0]), tinfo)) {
        return false;
    }
    PyErr_SetString(PyExc_TypeError, "__init__(self, ...) called with invalid or missing `self` argument");
    return true;
}

// Gives the getter and setter of the property `name` of `cls`, bound with
// def_readwrite to `Member`, their fast entries. The property is made again
// around the same two functions without pybind11's instance-method wrappers,
// which have no vectorcall: through them, every access would build an
// argument tuple.
template <auto Member>
void InstallFieldEntries(py::handle cls, const char* name) {
    const py::object property = cls.attr(name);
    const py::handle getter = detail::get_function(property.attr("fget"));
    const py::handle setter = detail::get_function(property.attr("fset"));
    InstallFastEntry(getter, FastEntry<1, GetField<Member>>);
    InstallFastEntry(setter, FastEntry<2, SetField<Member>>);
    cls.attr(name) = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(
        getter, setter, py::none(), property.attr("__doc__"));
}

// `__init__` of a class bound with init<>, made fast.
template <typename Class>
void InstallConstructorEntry(py::handle cls) {
    InstallFastEntry(cls.attr("__init__"), FastEntry<1, Construct<Class>, RefuseForeignSelf<Class>>);
}

// `__init__` of any other constructor: pybind11's call behind the screen.
template <typename Class>
void InstallConstructorScreen(py::handle cls) {
    InstallFastEntry(cls.attr("__init__"), FastEntry<1, NoFastBody, RefuseForeignSelf<Class>>);
}

}  // namespace telem_pyb
