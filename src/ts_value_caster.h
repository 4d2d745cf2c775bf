#pragma once

// Converts a sample value between Python and TsValue. pybind11's variant caster
// would truth-test any number its alternatives refuse (numpy.float32, Decimal,
// Fraction, ints beyond 64 bits), storing True: a corrupted sample.

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "norv/telem/TsValue.h"

namespace telem_pyb {

using norv::telem::TsValue;

// Clears the error of a conversion that a value's own method refused. An
// exception that is not an Exception (KeyboardInterrupt, SystemExit) is no
// refusal: it propagates unchanged.
inline void DiscardConversionError() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        throw pybind11::error_already_set();
    }
    PyErr_Clear();
}

// Takes a Python int's value if it fits in 64 bits; leaves no error behind.
inline std::optional<long> LongInRange(PyObject* src) {
    const long v = PyLong_AsLong(src);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

// Calls the type's __bool__; only a clean 0 or 1 counts.
inline std::optional<bool> TruthTest(PyObject* src) {
    const PyNumberMethods* nb = Py_TYPE(src)->tp_as_number;
    if (nb == nullptr || nb->nb_bool == nullptr) {
        return std::nullopt;
    }
    const int r = nb->nb_bool(src);
    if (r == 0 || r == 1) {
        return r == 1;
    }
    if (PyErr_Occurred()) {
        DiscardConversionError();
    }
    return std::nullopt;
}

// A complex number, Python's or numpy's: numpy's complex64 would otherwise be
// taken by float(), dropping its imaginary part.
inline bool IsComplexNumber(PyObject* src) {
    const std::string_view name = Py_TYPE(src)->tp_name;
    return PyComplex_Check(src) || name.rfind("numpy.complex", 0) == 0 || name == "numpy.clongdouble";
}

inline bool IsNumpyBool(PyObject* src) {
    const std::string_view name = Py_TYPE(src)->tp_name;
    return name == "numpy.bool_" || name == "numpy.bool";
}

// The result of a value's `__index__`, called at most once per conversion:
// both passes ask for it, and it may have side effects or be slow.
class IndexOnce {
public:
    explicit IndexOnce(PyObject* src) : src_(src) {}

    // The index as a Python int, or null (no error set) when `__index__` failed.
    PyObject* get() {
        if (!called_) {
            called_ = true;
            index_ = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Index(src_));
            if (!index_) {
                DiscardConversionError();
            }
        }
        return index_.ptr();
    }

private:
    PyObject* src_;
    bool called_ = false;
    pybind11::object index_;
};

// True for a value of a built-in type that the loader handles (not a
// subclass): loading it runs no Python code, so trying it twice is harmless.
inline bool IsBuiltinValue(PyObject* src) {
    return src == Py_None || PyBool_Check(src) || PyLong_CheckExact(src) || PyFloat_CheckExact(src)
           || PyUnicode_CheckExact(src) || PyBytes_CheckExact(src) || PyByteArray_CheckExact(src);
}

// Pass 1: the value's own kind, no conversion.
inline std::optional<TsValue> LoadExact(PyObject* src, IndexOnce& index) {
    if (src == Py_True || src == Py_False) {
        return TsValue(src == Py_True);
    }
    if (IsNumpyBool(src)) {
        if (auto b = TruthTest(src)) {
            return TsValue(*b);
        }
    }
    if (PyLong_Check(src)) {
        if (auto v = LongInRange(src)) {
            return TsValue(*v);
        }
    } else if (!PyFloat_Check(src) && PyIndex_Check(src)) {
        if (PyObject* i = index.get()) {
            if (auto v = LongInRange(i)) {
                return TsValue(*v);
            }
        }
    }
    if (PyFloat_Check(src)) {
        const double d = PyFloat_AsDouble(src);
        if (!(d == -1.0 && PyErr_Occurred())) {
            return TsValue(d);
        }
        PyErr_Clear();
    }
    if (PyUnicode_Check(src)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(src, &size);
        if (utf8 == nullptr) {
            PyErr_Clear();  // a lone surrogate has no UTF-8 form
            return std::nullopt;
        }
        return TsValue(std::string(utf8, static_cast<size_t>(size)));
    }
    if (PyBytes_Check(src)) {
        return TsValue(std::string(PyBytes_AS_STRING(src), static_cast<size_t>(PyBytes_GET_SIZE(src))));
    }
    if (PyByteArray_Check(src)) {
        return TsValue(std::string(PyByteArray_AS_STRING(src), static_cast<size_t>(PyByteArray_GET_SIZE(src))));
    }
    return std::nullopt;
}

// Pass 2: None is false; a number keeps its numeric value or is refused, never
// truth-tested; any other object is its truth value.
inline std::optional<TsValue> LoadConverted(PyObject* src, IndexOnce& index) {
    if (src == Py_None) {
        return TsValue(false);
    }
    if (!PyNumber_Check(src)) {
        if (auto b = TruthTest(src)) {
            return TsValue(*b);
        }
        return std::nullopt;
    }
    if (PyLong_Check(src)) {
        return std::nullopt;  // an integer beyond 64 bits
    }
    if (PyIndex_Check(src)) {
        if (PyObject* i = index.get()) {
            if (auto v = LongInRange(i)) {
                return TsValue(*v);
            }
            return std::nullopt;  // an index beyond 64 bits
        }
        // __index__ failed: try the other conversions
    }
    if (IsComplexNumber(src)) {
        return std::nullopt;
    }
    const PyNumberMethods* nb = Py_TYPE(src)->tp_as_number;  // set: src is a number
    if (nb->nb_float != nullptr) {
        pybind11::object f = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Float(src));
        if (!f) {
            DiscardConversionError();
            return std::nullopt;
        }
        return TsValue(PyFloat_AS_DOUBLE(f.ptr()));
    }
    if (nb->nb_int != nullptr) {
        pybind11::object i = pybind11::reinterpret_steal<pybind11::object>(PyNumber_Long(src));
        if (!i) {
            DiscardConversionError();
            return std::nullopt;
        }
        if (auto v = LongInRange(i.ptr())) {
            return TsValue(*v);
        }
    }
    return std::nullopt;
}

// A new Python object for a sample value, or null with the Python error set.
inline PyObject* ValueToPython(const TsValue& value) noexcept {
    switch (value.index()) {
        case 0:
            return Py_NewRef(std::get<bool>(value) ? Py_True : Py_False);
        case 1:
            return PyLong_FromLong(std::get<long>(value));
        case 2:
            return PyFloat_FromDouble(std::get<double>(value));
        default: {
            const auto& text = std::get<std::string>(value);
            return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        }
    }
}

// Loads a sample value: pass 1, then, if allowed, pass 2.
inline std::optional<TsValue> LoadValue(PyObject* src, bool convert) {
    IndexOnce index(src);
    auto loaded = LoadExact(src, index);
    if (!loaded && convert) {
        loaded = LoadConverted(src, index);
    }
    return loaded;
}

// A sample value of a built-in type, or nothing: values of other types go to
// pybind11's dispatcher, which runs their conversion methods once. A float or
// an int of their exact types takes LoadExact's first step directly.
inline std::optional<TsValue> LoadPlainValue(PyObject* src) {
    if (PyFloat_CheckExact(src)) {
        return TsValue(PyFloat_AS_DOUBLE(src));
    }
    if (PyLong_CheckExact(src)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(src, &overflow);
        if (overflow == 0) {
            return TsValue(v);  // an exact int cannot fail otherwise
        }
    }
    return IsBuiltinValue(src) ? LoadValue(src, true) : std::nullopt;
}

}  // namespace telem_pyb

namespace pybind11::detail {

template <>
struct type_caster<norv::telem::TsValue> {
    PYBIND11_TYPE_CASTER(norv::telem::TsValue, const_name("Union[bool, int, float, str]"));

    bool load(handle src, bool convert) {
        auto loaded = telem_pyb::LoadValue(src.ptr(), convert);
        if (!loaded) {
            return false;
        }
        value = std::move(*loaded);
        return true;
    }

    static handle cast(const norv::telem::TsValue& src, return_value_policy /*policy*/, handle /*parent*/) {
        PyObject* obj = telem_pyb::ValueToPython(src);
        if (obj == nullptr) {
            throw error_already_set();
        }
        return obj;
    }
};

}  // namespace pybind11::detail
