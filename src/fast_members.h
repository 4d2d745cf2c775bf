#pragma once

// Fast entries (fast_entry.h) for the record operations: the field properties,
// the constructors without arguments and functions on records. Each takes the
// plain case only: initialised instances whose type holds exactly the bound
// class (exact_type_gate.h), and field values of built-in types. Everything
// else, errors included, is the dispatcher's.

#include <pybind11/pybind11.h>

#include <cstring>
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
    RegisterInstance(inst, value_ptr, tinfo);
    inst->simple_instance_registered = true;
}

// Freed objects of T's bound class kept for reuse, as CPython keeps freed
// floats: making and freeing a record object then skips the allocator. Only
// objects of the exact class whose memory is what its tp_alloc gives
// (PyType_GenericAlloc for a type without gc, dict or variable size) are kept;
// a reused one is zeroed and initialised as that allocation does. Entries of
// an interpreter that has finalized are dropped unread. Used with the
// interpreter lock held.
template <typename T>
class FreeInstances {
public:
    static bool Fits(PyTypeObject* type) {
        return type->tp_alloc == PyType_GenericAlloc && type->tp_free == PyObject_Free && type->tp_itemsize == 0
               && type->tp_dictoffset == 0 && !PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)
               && !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
    }

    // A reused object of `type`, as tp_alloc makes it, or null.
    static PyObject* Take(PyTypeObject* type) {
        if (generation_ != finalized_interpreters) {
            count_ = 0;
            generation_ = finalized_interpreters;
        }
        if (count_ == 0 || !Fits(type)) {
            return nullptr;
        }
        PyObject* obj = items_[--count_];
        std::memset(static_cast<void*>(obj), 0, static_cast<size_t>(type->tp_basicsize));
        return PyObject_Init(obj, type);  // takes a reference to a heap type
    }

    // Keeps the memory of `obj`, which is being freed, instead of tp_free.
    static bool Keep(PyObject* obj) {
        if (generation_ != finalized_interpreters || count_ == kMax || !Fits(Py_TYPE(obj))) {
            return false;
        }
        items_[count_++] = obj;
        return true;
    }

private:
    static constexpr int kMax = 32;
    static inline PyObject* items_[kMax] = {};
    static inline int count_ = 0;
    static inline unsigned generation_ = 0;
};

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
    PyObject* reused = FreeInstances<T>::Take(tinfo->type);
    auto obj = py::reinterpret_steal<py::object>(reused ? reused : tinfo->type->tp_alloc(tinfo->type, 0));
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
inline PyObject* FieldToPythonOrNull(const std::string& text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

inline PyObject* FieldToPythonOrNull(const norv::telem::TsValue& value) noexcept { return ValueToPython(value); }

template <typename Field>
PyObject* FieldToPython(const Field& field) {
    PyObject* obj = FieldToPythonOrNull(field);
    if (obj == nullptr) {
        throw py::error_already_set();
    }
    return obj;
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

// The field of a native object known to be a Member's class: a new object, or
// null with the Python error set.
template <auto Member>
PyObject* ReadField(void* native) noexcept {
    return FieldToPythonOrNull(static_cast<const typename MemberOf<decltype(Member)>::Class*>(native)->*Member);
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

// A field property runs the fast bodies of its getter and setter directly
// from the descriptor slots, without calling the functions: it is a subclass
// of property that otherwise behaves as property (fget, fset, fdel, __doc__,
// the errors), and hands every access its bodies do not take to property's
// own slots. It reads CPython 3.12's property object: the getter and setter
// follow the object header. InstallFieldEntries checks that once per property
// against fget and fset; each access checks that they are still the functions
// whose bodies it runs (`property.__init__` can replace them).
struct PropertyLayout {
    PyObject_HEAD PyObject* fget;
    PyObject* fset;
};

struct FieldAccess {
    PyObject* getter;  // the functions whose bodies run, owned: none other can take their addresses
    PyObject* setter;
    const detail::function_record* getter_record;  // their records, for overloads another module adds
    const detail::function_record* setter_record;
    FastBody get;
    FastBody set;
    PyObject* doc;  // the property's __doc__, which property keeps in a subclass's own slot
    // The gate's first case, decided at install: instances of exactly the
    // bound class (owned; null where the class is not the registered one)
    // are read by `read` from their value without calling `get`.
    PyTypeObject* exact;
    PyObject* (*read)(void* native) noexcept;
};

inline Py_ssize_t field_access_offset = 0;  // after property's own fields, aligned

inline FieldAccess& AccessOf(PyObject* prop) {
    return *reinterpret_cast<FieldAccess*>(reinterpret_cast<char*>(prop) + field_access_offset);
}

// Runs `body` of a function with a single overload (its record `record`) as
// FastEntry does; null with no error set hands the access to property's slot.
inline PyObject* RunBody(const detail::function_record* record, FastBody body, PyObject* const* args) {
    return AtBoundary([&] { return record->next == nullptr ? body(args) : nullptr; }, static_cast<PyObject*>(nullptr));
}

inline PyObject* FieldGet(PyObject* self, PyObject* obj, PyObject* type) {
    const FieldAccess& access = AccessOf(self);
    // None is no record: property's slot gives the property itself for it.
    if (obj != nullptr && reinterpret_cast<PropertyLayout*>(self)->fget == access.getter) {
        const auto* inst = reinterpret_cast<const detail::instance*>(obj);
        if (Py_TYPE(obj) == access.exact && access.getter_record->next == nullptr && inst->simple_layout
            && inst->simple_instance_registered) {
            return access.read(inst->simple_value_holder[0]);
        }
        PyObject* args[] = {obj};
        if (PyObject* result = RunBody(access.getter_record, access.get, args)) {
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
    if (value != nullptr && reinterpret_cast<PropertyLayout*>(self)->fset == access.setter) {
        PyObject* args[] = {obj, value};
        if (PyObject* result = RunBody(access.setter_record, access.set, args)) {
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

// The field property type, made once per interpreter (null where property's
// layout is not as expected); kept for the interpreter's lifetime.
inline InterpreterCached<PyTypeObject*> field_property_type;

inline PyTypeObject* FieldPropertyType() {
    if (PyTypeObject* const* cached = field_property_type.get()) {
        return *cached;
    }
    if (PyProperty_Type.tp_itemsize != 0 || PyProperty_Type.tp_dictoffset != 0
        || PyProperty_Type.tp_basicsize < static_cast<Py_ssize_t>(sizeof(PropertyLayout))
        || PyProperty_Type.tp_dealloc == nullptr || PyProperty_Type.tp_traverse == nullptr
        || PyProperty_Type.tp_clear == nullptr) {
        return field_property_type.set(nullptr);
    }
    const Py_ssize_t align = alignof(FieldAccess);
    field_access_offset = (PyProperty_Type.tp_basicsize + align - 1) / align * align;
    static PyMemberDef members[] = {
        {"__doc__", Py_T_OBJECT_EX, 0, 0, nullptr},  // offset set below
        {nullptr, 0, 0, 0, nullptr},
    };
    members[0].offset = field_access_offset + static_cast<Py_ssize_t>(offsetof(FieldAccess, doc));
    static PyType_Slot slots[] = {
        {Py_tp_descr_get, reinterpret_cast<void*>(FieldGet)},
        {Py_tp_descr_set, reinterpret_cast<void*>(FieldSet)},
        {Py_tp_traverse, reinterpret_cast<void*>(FieldTraverse)},
        {Py_tp_clear, reinterpret_cast<void*>(FieldClear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(FieldDealloc)},
        {Py_tp_members, members},
        {0, nullptr},
    };
    static PyType_Spec definition{"telem_pyb.field_property",
                            static_cast<int>(field_access_offset + static_cast<Py_ssize_t>(sizeof(FieldAccess))), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE
                                | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            slots};
    PyObject* type = PyType_FromSpecWithBases(&definition, reinterpret_cast<PyObject*>(&PyProperty_Type));
    if (type == nullptr) {
        throw py::error_already_set();
    }
    return field_property_type.set(reinterpret_cast<PyTypeObject*>(type));
}

// A field property of `getter` and `setter` with the bodies `get` and `set`,
// or null where CPython's property is laid out otherwise.
inline py::object MakeFieldProperty(py::handle getter, py::handle setter, py::handle doc, FastBody get,
                                    FastBody set, PyTypeObject* exact, PyObject* (*read)(void*) noexcept) {
    PyTypeObject* type = FieldPropertyType();
    if (type == nullptr) {
        return {};
    }
    auto prop = py::reinterpret_steal<py::object>(type->tp_alloc(type, 0));
    if (!prop) {
        throw py::error_already_set();
    }
    const py::tuple args = py::make_tuple(getter, setter, py::none(), doc);
    if (PyProperty_Type.tp_init(prop.ptr(), args.ptr(), nullptr) != 0) {
        throw py::error_already_set();
    }
    const auto* layout = reinterpret_cast<const PropertyLayout*>(prop.ptr());
    if (layout->fget != prop.attr("fget").ptr() || layout->fset != prop.attr("fset").ptr()
        || layout->fget != getter.ptr() || layout->fset != setter.ptr()) {
        return {};
    }
    FieldAccess& access = AccessOf(prop.ptr());
    access.getter = Py_NewRef(getter.ptr());
    access.setter = Py_NewRef(setter.ptr());
    access.getter_record = FunctionRecord(getter.ptr());  // a function's capsule never changes
    access.setter_record = FunctionRecord(setter.ptr());
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
    const detail::type_info* tinfo = RegisteredType<typename MemberOf<decltype(Member)>::Class>();
    PyTypeObject* exact = tinfo != nullptr && tinfo->type == reinterpret_cast<PyTypeObject*>(cls.ptr())
                              ? tinfo->type
                              : nullptr;
    py::object made =
        MakeFieldProperty(getter, setter, doc, GetField<Member>, SetField<Member>, exact, ReadField<Member>);
    if (!made) {
        made = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(getter, setter,
                                                                                              py::none(), doc);
    }
    cls.attr(name) = made;
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
