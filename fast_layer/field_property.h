#pragma once

// Field properties: the properties def_readwrite makes, read and written
// without calling their functions. A field property is a property (a
// subclass of it) around the getter and setter pybind11 made, which it keeps
// as fget and fset; its descriptor slots run the plain cases of those
// functions directly and hand every other access to property's own slots,
// which call the functions. It behaves as property in every other use:
// fget, fset, fdel, __doc__, the errors, `.getter()`, `.setter()`,
// `.deleter()` (which make properties of the same type around other
// functions: those run through property's slots), copy.copy and
// copy.deepcopy (the property itself, as for property).
//
// A plain case is an initialised instance whose type holds exactly the bound
// class (gate.h) and a field value of a built-in type (FieldCodec), while the
// function has the one overload its module made: another module may prepend
// or append overloads, which only its dispatcher chooses among, so the chain
// is read at every access.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "fast_layer/entry.h"
#include "fast_layer/gate.h"
#include "fast_layer/layouts.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// How a field type crosses to Python in the plain case: ToPython gives a new
// object or null with the Python error set; LoadPlain takes a value of a
// built-in type, or returns false (and leaves the field as it was) to hand
// the call to the dispatcher. A module specialises it for its own field
// types.
template <typename Field>
struct FieldCodec;

// Text: strict UTF-8 out (UnicodeDecodeError otherwise); a str as UTF-8, a
// bytes or bytearray byte for byte in.
template <>
struct FieldCodec<std::string> {
    static PyObject* ToPython(const std::string& text) noexcept {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }

    [[gnu::always_inline]] static bool LoadPlain(PyObject* src, std::string& field) {
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
};

// The class and field type of a pointer to a data member.
template <typename>
struct MemberOf;
template <typename C, typename F>
struct MemberOf<F C::*> {
    using Class = C;
    using Field = F;
};

template <auto Member>
using CodecOf = FieldCodec<typename MemberOf<decltype(Member)>::Field>;

// The getter's and setter's plain cases, as fast bodies (entry.h).
template <auto Member>
PyObject* GetField(PyObject* const* args) {
    const auto* self = NativeValue<typename MemberOf<decltype(Member)>::Class>(args[0]);
    if (self == nullptr) {
        return nullptr;
    }
    PyObject* obj = CodecOf<Member>::ToPython(self->*Member);
    if (obj == nullptr) {
        throw py::error_already_set();
    }
    return obj;
}

template <auto Member>
PyObject* SetField(PyObject* const* args) {
    auto* self = NativeValue<typename MemberOf<decltype(Member)>::Class>(args[0]);
    if (self == nullptr || !CodecOf<Member>::LoadPlain(args[1], self->*Member)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The field of a native object known to be a Member's class: a new object, or
// null with the Python error set.
template <auto Member>
PyObject* ReadField(void* native) noexcept {
    return CodecOf<Member>::ToPython(static_cast<const typename MemberOf<decltype(Member)>::Class*>(native)->*Member);
}

// A field property's own part, after property's fields. All null in one made
// by `.getter()` and the like: property's slots serve it.
struct FieldAccess {
    PyObject* getter;  // the functions whose bodies run, owned: none other can take their addresses
    PyObject* setter;
    const CapsuleLayout* getter_capsule;  // their record capsules, held by them, checked at install
    const CapsuleLayout* setter_capsule;
    FastBody get;
    FastBody set;
    PyObject* doc;  // the property's __doc__, which property keeps in a subclass's own slot
    // Instances of exactly the bound class (owned; null where the class is
    // not the registered one) are read by `read` from their native value,
    // without the gate's lookup.
    PyTypeObject* exact;
    PyObject* (*read)(void* native) noexcept;
};

inline FieldAccess& AccessOf(PyObject* prop) {
    return *reinterpret_cast<FieldAccess*>(reinterpret_cast<char*>(prop) + process.layouts.field_access_offset);
}

// True while the function of `capsule` has the one overload its module made.
[[gnu::always_inline]] inline bool SingleOverloadIn(const CapsuleLayout* capsule) {
    return static_cast<const detail::function_record*>(capsule->pointer)->next == nullptr;
}

// Runs a plain case as FastEntry does; null with no error set hands the access
// to property's slot.
[[gnu::always_inline]] inline PyObject* RunBody(const CapsuleLayout* capsule, FastBody body, PyObject* const* args) {
    try {
        return SingleOverloadIn(capsule) ? body(args) : nullptr;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        RaiseActiveException();
        return nullptr;
    }
}

inline PyObject* FieldGet(PyObject* self, PyObject* obj, PyObject* type) {
    const FieldAccess& access = AccessOf(self);
    // None is no record: property's slot gives the property itself for it.
    if (obj != nullptr && access.getter != nullptr && reinterpret_cast<PropertyLayout*>(self)->fget == access.getter) {
        const auto* inst = reinterpret_cast<const detail::instance*>(obj);
        if (Py_TYPE(obj) == access.exact && inst->simple_layout && inst->simple_instance_registered
            && SingleOverloadIn(access.getter_capsule)) {
            return access.read(inst->simple_value_holder[0]);
        }
        PyObject* args[] = {obj};
        if (PyObject* result = RunBody(access.getter_capsule, access.get, args)) {
            return result;
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return PyProperty_Type.tp_descr_get(self, obj, type);
}

inline int FieldSet(PyObject* self, PyObject* obj, PyObject* value) {
    const FieldAccess& access = AccessOf(self);
    if (value != nullptr && access.setter != nullptr
        && reinterpret_cast<PropertyLayout*>(self)->fset == access.setter) {
        PyObject* args[] = {obj, value};
        if (PyObject* result = RunBody(access.setter_capsule, access.set, args)) {
            Py_DECREF(result);
            return 0;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
    }
    return PyProperty_Type.tp_descr_set(self, obj, value);
}

inline int FieldTraverse(PyObject* self, visitproc visit, void* arg) {
    const FieldAccess& access = AccessOf(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(access.doc);
    Py_VISIT(access.getter);
    Py_VISIT(access.setter);
    Py_VISIT(access.exact);
    return PyProperty_Type.tp_traverse(self, visit, arg);
}

// The access stays usable: the functions are kept until the object is freed.
inline int FieldClear(PyObject* self) {
    Py_CLEAR(AccessOf(self).doc);
    return PyProperty_Type.tp_clear(self);
}

inline void FieldDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    FieldAccess& access = AccessOf(self);
    Py_CLEAR(access.doc);
    Py_CLEAR(access.getter);
    Py_CLEAR(access.setter);
    Py_CLEAR(access.exact);
    PyProperty_Type.tp_dealloc(self);  // untracks and frees the object
    Py_DECREF(type);
}

// property's initialisation, and the docstring where property keeps its own
// (layouts.h), so that `.getter()` and the like carry it over as they do a
// property's.
inline int FieldInit(PyObject* self, PyObject* args, PyObject* kwds) {
    if (PyProperty_Type.tp_init(self, args, kwds) != 0) {
        return -1;
    }
    Py_XSETREF(reinterpret_cast<PropertyLayout*>(self)->doc, Py_XNewRef(AccessOf(self).doc));
    return 0;
}

// copy.copy and copy.deepcopy give a property itself; they find this type by
// these methods.
inline PyObject* FieldCopy(PyObject* self, PyObject* /*ignored*/) { return Py_NewRef(self); }

// The field property type, made once per interpreter; null where property's
// layout is not as expected (layouts.h), and fields get plain properties.
inline PyTypeObject* FieldPropertyType() {
    InterpreterState& state = Interpreter();
    if (state.field_property_type != nullptr || !process.layouts.property_fields) {
        return state.field_property_type;
    }
    const Py_ssize_t align = alignof(FieldAccess);
    const Py_ssize_t offset = (PyProperty_Type.tp_basicsize + align - 1) / align * align;
    process.layouts.field_access_offset = offset;
    process.field_property_members[0] = {"__doc__", Py_T_OBJECT_EX,
                                         offset + static_cast<Py_ssize_t>(offsetof(FieldAccess, doc)), 0, nullptr};
    // A constant table CPython keeps a pointer to.
    static PyMethodDef methods[] = {
        {"__copy__", FieldCopy, METH_NOARGS, nullptr},
        {"__deepcopy__", FieldCopy, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void*>(FieldGet)},
        {Py_tp_descr_set, reinterpret_cast<void*>(FieldSet)},
        {Py_tp_init, reinterpret_cast<void*>(FieldInit)},
        {Py_tp_traverse, reinterpret_cast<void*>(FieldTraverse)},
        {Py_tp_clear, reinterpret_cast<void*>(FieldClear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(FieldDealloc)},
        {Py_tp_members, process.field_property_members},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec definition{"telem_pyb.field_property",
                           static_cast<int>(offset + static_cast<Py_ssize_t>(sizeof(FieldAccess))), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = PyType_FromSpecWithBases(&definition, reinterpret_cast<PyObject*>(&PyProperty_Type));
    if (type == nullptr) {
        throw py::error_already_set();
    }
    state.field_property_type = reinterpret_cast<PyTypeObject*>(type);  // kept for the interpreter's lifetime
    return state.field_property_type;
}

// A field property of `getter` and `setter` with the plain cases `get` and
// `set`, or null where CPython's property is laid out otherwise.
inline py::object MakeFieldProperty(py::handle getter, py::handle setter, py::handle doc, FastBody get, FastBody set,
                                    PyTypeObject* exact, PyObject* (*read)(void*) noexcept) {
    PyTypeObject* type = FieldPropertyType();
    if (type == nullptr) {
        return {};
    }
    auto prop = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!prop) {
        throw py::error_already_set();
    }
    const py::tuple args = py::make_tuple(getter, setter, py::none(), doc);
    if (FieldInit(prop.ptr(), args.ptr(), nullptr) != 0) {
        throw py::error_already_set();
    }
    const auto* layout = reinterpret_cast<const PropertyLayout*>(prop.ptr());
    if (!PropertyFieldsAgree(prop) || layout->fget != getter.ptr() || layout->fset != setter.ptr()) {
        return {};
    }
    FieldAccess& access = AccessOf(prop.ptr());
    access.getter = Py_NewRef(getter.ptr());
    access.setter = Py_NewRef(setter.ptr());
    // A function keeps its capsule (a prepended overload changes the pointer in it).
    PyObject* getter_capsule = PyCFunction_GET_SELF(getter.ptr());
    PyObject* setter_capsule = PyCFunction_GET_SELF(setter.ptr());
    const char* name = detail::get_function_record_capsule_name();
    const bool checked = CheckCapsulePointer(getter_capsule, PyCapsule_GetPointer(getter_capsule, name))
                         && CheckCapsulePointer(setter_capsule, PyCapsule_GetPointer(setter_capsule, name));
    if (!checked) {
        PyErr_Clear();
        return {};
    }
    access.getter_capsule = reinterpret_cast<const CapsuleLayout*>(getter_capsule);
    access.setter_capsule = reinterpret_cast<const CapsuleLayout*>(setter_capsule);
    access.get = get;
    access.set = set;
    access.exact = exact == nullptr ? nullptr : reinterpret_cast<PyTypeObject*>(Py_NewRef(exact));
    access.read = read;
    return prop;
}

// Gives the getter and setter of the property `name` of `cls`, bound with
// def_readwrite to `Member`, their fast entries, and makes the property again
// around the same two functions without pybind11's instance-method wrappers,
// which have no vectorcall: a field property, or where that cannot be, a
// plain property.
template <auto Member>
void InstallFieldEntries(py::handle cls, const char* name) {
    const py::object property = cls.attr(name);
    const py::handle getter = detail::get_function(property.attr("fget"));
    const py::handle setter = detail::get_function(property.attr("fset"));
    InstallFastEntry(getter, FastEntry<1, GetField<Member>>);
    InstallFastEntry(setter, FastEntry<2, SetField<Member>>);
    const py::object doc = property.attr("__doc__");
    const detail::type_info* tinfo = BoundType<typename MemberOf<decltype(Member)>::Class>();
    PyTypeObject* exact =
        tinfo != nullptr && tinfo->type == reinterpret_cast<PyTypeObject*>(cls.ptr()) ? tinfo->type : nullptr;
    py::object made =
        MakeFieldProperty(getter, setter, doc, GetField<Member>, SetField<Member>, exact, ReadField<Member>);
    if (!made) {
        made = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(getter, setter,
                                                                                                 py::none(), doc);
    }
    cls.attr(name) = made;
}

}  // namespace fast_layer
