#pragma once

// Making an instance of a bound class: `Cls()`, its `__new__` and its
// `__init__`.
// - Allocation (tp_new): pybind11 allocates through tp_alloc directly.
//   CPython 3.12 then gives the instances of a Python subclass no inline
//   attribute values, so every attribute store on `self` deoptimises into a
//   dictionary. The classes allocate through object's own tp_new, which sets
//   the values up, and then lay out pybind11's part as pybind11 does.
// - `__new__`: a built-in method of the class's own, which checks its
//   arguments as CPython's `__new__` of a built-in class does and then
//   allocates as above, whatever the class's tp_new is at the time: a
//   `__new__` patched in and restored (unittest.mock) leaves it working.
//   The metaclass gives back the direct tp_new to every class whose
//   `__new__` is that method again.
// - The class call: `TsPoint()` with no arguments on the exact class makes the
//   record directly, through a vectorcall of the records' metaclass (a
//   subclass of pybind11's); any other call is pybind11's.
// - `__init__` of a class bound with init<>: a fast entry (entry.h).
// Each step checks that CPython takes what it installs, and otherwise leaves
// pybind11's in place.

#include <pybind11/pybind11.h>

#include <memory>

#include "fast_layer/entry.h"
#include "fast_layer/gate.h"
#include "fast_layer/instances.h"
#include "fast_layer/state.h"

namespace [[gnu::visibility("hidden")]] fast_layer {

namespace py = pybind11;

// --- Allocation -----------------------------------------------------------

// tp_new of the bound classes: object's allocation, then pybind11's layout.
// The arguments are __init__'s business, as with pybind11's tp_new.
inline PyObject* ObjectPathNew(PyTypeObject* type, PyObject* /*args*/, PyObject* /*kwds*/) {
    PyObject* no_args = PyTuple_New(0);
    if (no_args == nullptr) {
        return nullptr;
    }
    PyObject* self = PyBaseObject_Type.tp_new(type, no_args, nullptr);  // frees what it made if it fails
    Py_DECREF(no_args);
    if (self == nullptr) {
        return nullptr;
    }
    auto* inst = reinterpret_cast<detail::instance*>(self);
    try {
        inst->allocate_layout();
    } catch (...) {
        inst->simple_layout = true;  // nothing allocated: the zeroed simple layout frees as empty
        Py_DECREF(self);
        RaiseActiveException();
        return nullptr;
    }
    return self;
}

// --- `__new__` ----------------------------------------------------------------

// `Cls.__new__(subtype, *args, **kwargs)`: CPython's checks of a built-in
// class's `__new__`, with its messages. The safety check looks for the most
// derived base of `subtype` that does not take its tp_new from a Python-level
// `__new__`: it must be this class or allocate as it does.
inline PyObject* NewMethod(PyObject* self, PyObject* args, PyObject* kwds) {
    auto* type = reinterpret_cast<PyTypeObject*>(self);
    if (PyTuple_GET_SIZE(args) < 1) {
        return PyErr_Format(PyExc_TypeError, "%s.__new__(): not enough arguments", type->tp_name);
    }
    PyObject* arg0 = PyTuple_GET_ITEM(args, 0);
    if (!PyType_Check(arg0)) {
        return PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a type object (%s)", type->tp_name,
                            Py_TYPE(arg0)->tp_name);
    }
    auto* subtype = reinterpret_cast<PyTypeObject*>(arg0);
    if (!PyType_IsSubtype(subtype, type)) {
        return PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", type->tp_name,
                            subtype->tp_name, subtype->tp_name, type->tp_name);
    }
    PyTypeObject* base = subtype;
    while (base != nullptr && base != type && base->tp_new == process.layouts.python_level_new) {
        base = base->tp_base;
    }
    if (base != nullptr && base != type && base->tp_new != ObjectPathNew) {
        return PyErr_Format(PyExc_TypeError, "%s.__new__(%s) is not safe, use %s.__new__()", type->tp_name,
                            subtype->tp_name, base->tp_name);
    }
    const py::object rest = py::reinterpret_steal<py::object>(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    return rest ? ObjectPathNew(subtype, rest.ptr(), kwds) : nullptr;
}

inline bool IsNewMethod(PyObject* obj) {
    return obj != nullptr && PyCFunction_Check(obj)
           && PyCFunction_GetFunction(obj) == reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(NewMethod));
}

// Gives ObjectPathNew back to `type` and its subclasses wherever their
// `__new__` is NewMethod again but CPython left them calling it through the
// Python-level tp_new (which it does for any `__new__` but its own).
inline void RestoreDirectNew(PyTypeObject* type) {
    if (type->tp_new == process.layouts.python_level_new && IsNewMethod(_PyType_Lookup(type, Interpreter().new_name))) {
        type->tp_new = ObjectPathNew;
    }
    const auto subclasses = py::reinterpret_steal<py::object>(
        PyObject_CallMethod(reinterpret_cast<PyObject*>(type), "__subclasses__", nullptr));
    if (!subclasses) {
        throw py::error_already_set();
    }
    for (const py::handle sub : subclasses) {
        RestoreDirectNew(reinterpret_cast<PyTypeObject*>(sub.ptr()));
    }
}

// Gives `cls` ObjectPathNew and, in its dict, NewMethod as `__new__`; where
// CPython does not take it the class keeps pybind11's.
inline void InstallObjectPathNew(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    // A constant table CPython keeps a pointer to; the docstring is object's.
    static PyMethodDef definition{"__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(NewMethod)),
                                  METH_VARARGS | METH_KEYWORDS,
                                  "__new__($type, *args, **kwargs)\n--\n\n"
                                  "Create and return a new object.  See help(type) for accurate signature."};
    const auto method = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&definition, cls.ptr(), nullptr));
    if (!method) {
        throw py::error_already_set();
    }
    const newfunc before = type->tp_new;
    if (PyObject_SetAttrString(cls.ptr(), "__new__", method.ptr()) != 0) {
        throw py::error_already_set();
    }
    type->tp_new = ObjectPathNew;
    if (_PyType_Lookup(type, Interpreter().new_name) != method.ptr()) {
        type->tp_new = before;
        if (PyObject_DelAttrString(cls.ptr(), "__new__") != 0) {
            throw py::error_already_set();
        }
    }
}

// --- The records' metaclass and the class call -------------------------------

// A new class made with the metaclass takes ObjectPathNew where its
// `__new__` is a bound class's.
inline int MetaclassInit(PyObject* cls, PyObject* args, PyObject* kwds) {
    if (Interpreter().internals->default_metaclass->tp_init(cls, args, kwds) != 0) {
        return -1;
    }
    return AtBoundary(
        [&] {
            RestoreDirectNew(reinterpret_cast<PyTypeObject*>(cls));
            return 0;
        },
        -1);
}

// Setting or deleting `__new__` on a class: CPython updates the class and its
// subclasses, and leaves those whose `__new__` is NewMethod again on the
// Python-level tp_new; they get ObjectPathNew back.
inline int MetaclassSetAttr(PyObject* cls, PyObject* name, PyObject* value) {
    if (Interpreter().internals->default_metaclass->tp_setattro(cls, name, value) != 0) {
        return -1;
    }
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "__new__") != 0) {
        return 0;
    }
    return AtBoundary(
        [&] {
            RestoreDirectNew(reinterpret_cast<PyTypeObject*>(cls));
            return 0;
        },
        -1);
}

// pybind11's metaclass with the class call (a vectorcall) and the two hooks
// above. Made once per interpreter; null where CPython would not call the
// vectorcall, and the classes keep pybind11's own metaclass.
inline py::object MakeMetaclass(py::handle module) {
    auto* base = Interpreter().internals->default_metaclass;
    PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(MetaclassInit)},
        {Py_tp_setattro, reinterpret_cast<void*>(MetaclassSetAttr)},
        {0, nullptr},
    };
    PyType_Spec definition{"telem_pyb.pybind11_type", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    auto meta = py::reinterpret_steal<py::object>(
        PyType_FromMetaclass(nullptr, module.ptr(), &definition, reinterpret_cast<PyObject*>(base)));
    if (!meta) {
        throw py::error_already_set();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(meta.ptr());
    if (type->tp_call != base->tp_call || type->tp_basicsize != base->tp_basicsize) {
        return {};
    }
    type->tp_vectorcall_offset = offsetof(PyTypeObject, tp_vectorcall);
    type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    return meta;
}

// True while T's class has the `__new__` and `__init__` it had at install:
// its version tag is the one noted, or else lookups find the same two
// objects (and give the class a new tag, which is noted).
template <typename T>
bool ClassUnchanged(PyTypeObject* type, ClassState& bound) {
    if (bound.version != 0 && type->tp_version_tag == bound.version) {
        return true;
    }
    const InterpreterState& state = Interpreter();
    if (bound.new_member == nullptr || _PyType_Lookup(type, state.new_name) != bound.new_member
        || _PyType_Lookup(type, state.init_name) != bound.init_member) {
        return false;
    }
    bound.version = type->tp_version_tag;
    return true;
}

// The class call `Cls()` of a record class bound with init<>, exactly that
// class and no arguments, while the class is unchanged: a new initialised
// instance, as tp_new and the fast `__init__` would make it. Any other call
// is the metaclass's tp_call.
template <typename T>
PyObject* ClassCall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return AtBoundary(
        [&]() -> PyObject* {
            auto* type = reinterpret_cast<PyTypeObject*>(callable);
            const detail::type_info* tinfo = BoundType<T>();
            if (PyVectorcall_NARGS(nargsf) == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)
                && tinfo != nullptr && tinfo->type == type && type->tp_new == ObjectPathNew
                && ClassUnchanged<T>(type, Interpreter().classes[ClassSlot<T>::value])) {
                return OwningInstance(std::make_shared<T>()).release().ptr();
            }
            const CountedCall counted;
            return CallDispatcher(callable, args, nargsf, kwnames);
        },
        static_cast<PyObject*>(nullptr));
}

// Gives T's class (made with the metaclass above) its class call, where
// CPython finds it.
template <typename T>
void InstallClassCall(py::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    InterpreterState& state = Interpreter();
    PyObject* new_member = _PyType_Lookup(type, state.new_name);
    PyObject* init_member = _PyType_Lookup(type, state.init_name);
    if (type->tp_new != ObjectPathNew || new_member == nullptr || init_member == nullptr) {
        return;
    }
    ClassState& bound = state.classes[ClassSlot<T>::value];
    bound.new_member = Py_NewRef(new_member);  // kept for the interpreter's lifetime
    bound.init_member = Py_NewRef(init_member);
    bound.version = type->tp_version_tag;
    SetTypeVectorcall(type, ClassCall<T>);
}

// --- `__init__` -----------------------------------------------------------------

// `__init__(self)` of a class bound with init<>: makes the native object and
// its holder, as pybind11's constructor call does. A second call does nothing.
template <typename Class>
PyObject* Construct(PyObject* const* args) {
    const detail::type_info* tinfo = BoundType<Class>();
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
    const detail::type_info* tinfo = BoundType<Class>();
    if (nargs < 1 || tinfo == nullptr || !PyObject_TypeCheck(args[0], tinfo->type) || HoldsExactly(args[0], tinfo)
        || HasBoundBase(Py_TYPE(args[0]), tinfo)) {
        return false;
    }
    PyErr_SetString(PyExc_TypeError, "__init__(self, ...) called with invalid or missing `self` argument");
    return true;
}

// How instances of a class are made:
enum class Making {
    kPybind11Constructor,  // any constructor: pybind11's `__init__` behind the screen
    kDefaultConstructor,   // a class bound with init<>: its fast `__init__`
    kDirectClassCall,      // a record class bound with init<>: also `Cls()`, where its metaclass is the one above
};

// Everything above for T's class (its slot in the record: ClassSlot<T>), and
// its deallocation (instances.h), which runs `before_dealloc` first.
template <typename T, Making How>
void InstallMaking(py::handle cls, void (*before_dealloc)(PyObject* self) = nullptr) {
    if constexpr (How == Making::kPybind11Constructor) {
        InstallFastEntry(cls.attr("__init__"), FastEntry<1, NoFastBody, RefuseForeignSelf<T>>);
    } else {
        InstallFastEntry(cls.attr("__init__"), FastEntry<1, Construct<T>, RefuseForeignSelf<T>>);
    }
    InstallObjectPathNew(cls);
    InstallDealloc<T>(cls, before_dealloc);
    if constexpr (How == Making::kDirectClassCall) {
        InstallClassCall<T>(cls);
    }
}

}  // namespace fast_layer
