#include "python_store.h"

#include <optional>
#include <string_view>

namespace telem_pyb_log {

namespace {

// The interpreter may be called: it runs, and has not begun to finalize.
bool PythonUsable() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

// "Type: message" of an exception.
std::string Describe(PyObject* error) {
    std::string text = Py_TYPE(error)->tp_name;
    if (PyObject* str = PyObject_Str(error)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
            if (size > 0) {
                text += ": " + std::string(utf8, static_cast<std::size_t>(size));
            }
        }
        Py_DECREF(str);
    }
    PyErr_Clear();
    return text;
}

// The `row` attribute of a RowRefused: an index, or none.
std::optional<std::size_t> RowOf(PyObject* error) {
    std::optional<std::size_t> row;
    PyObject* value = PyObject_GetAttrString(error, "row");
    if (value != nullptr && PyLong_Check(value)) {
        const long long index = PyLong_AsLongLong(value);
        if (index >= 0) {
            row = static_cast<std::size_t>(index);
        }
    }
    Py_XDECREF(value);
    PyErr_Clear();
    return row;
}

PyObject* Text(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// Calls store.<name>(), ignoring its result; false with a Python error set.
bool CallMethod(PyObject* store, const char* name) {
    PyObject* result = PyObject_CallMethod(store, name, nullptr);
    Py_XDECREF(result);
    return result != nullptr;
}

}  // namespace

PythonStore::PythonStore(PyObject* store, PyObject* refused, std::string where, bool connected)
    : PythonStore(store, refused, std::move(where), connected, Adopted{}) {
    Py_INCREF(store_);
    Py_INCREF(refused_);
}

PythonStore::PythonStore(PyObject* store, PyObject* refused, std::string where, bool connected, Adopted)
    : store_(store), refused_(refused), where_(std::move(where)), connected_(connected) {}

PythonStore::~PythonStore() { Close(); }

std::unique_ptr<Store> PythonStore::ForChild() {
    // The references move to the child's store; this one is abandoned.
    PyObject* store = store_;
    PyObject* refused = refused_;
    store_ = nullptr;
    refused_ = nullptr;
    return std::unique_ptr<Store>(new PythonStore(store, refused, where_, false, Adopted{}));
}

// The pending Python error, cleared, as what it means.
StoreError PythonStore::TakeError() {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) {
        return StoreError("unknown error");
    }
    Failure kind = Failure::kTransient;
    std::optional<std::size_t> row;
    if (PyErr_GivenExceptionMatches(error, PyExc_TimeoutError)) {
        kind = Failure::kTimeout;
    } else if (refused_ != nullptr && PyErr_GivenExceptionMatches(error, refused_)) {
        kind = Failure::kRowRefused;
        row = RowOf(error);
    }
    const std::string text = Describe(error);
    Py_DECREF(error);
    return StoreError(text, kind, row);
}

// The rows as a list of tuples of seven str; null with a Python error set.
PyObject* PythonStore::Rows(const Batch& batch) {
    PyObject* rows = PyList_New(static_cast<Py_ssize_t>(batch.rows()));
    Py_ssize_t i = 0;
    bool made = rows != nullptr;
    if (made) {
        batch.ForEach([&](const RowView& row) {
            PyObject* tuple = made ? PyTuple_New(7) : nullptr;
            if (tuple == nullptr) {
                made = false;
                return;
            }
            const std::string_view fields[] = {row.mtime, row.tsname, row.value, row.btype,
                                               row.units, row.comment, row.origin};
            for (Py_ssize_t f = 0; f < 7; ++f) {
                PyObject* text = Text(fields[f]);
                if (text == nullptr) {
                    made = false;
                    Py_DECREF(tuple);
                    return;
                }
                PyTuple_SET_ITEM(tuple, f, text);
            }
            PyList_SET_ITEM(rows, i++, tuple);
        });
    }
    if (!made) {
        Py_XDECREF(rows);
        return nullptr;
    }
    return rows;
}

// Plain API calls, no objects with destructors: see gil.h on unwinding. A
// write of no rows (the ledger passing rows set aside) is not the store's
// business: it numbers rows by `first_seq` alone.
void PythonStore::Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& /*events*/) {
    if (store_ == nullptr || !PythonUsable()) {
        throw StoreError("the interpreter is finalizing");
    }
    if (batch.empty()) {
        return;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    std::optional<StoreError> failure;
    if (!connected_) {
        if (CallMethod(store_, "connect") && CallMethod(store_, "create")) {
            connected_ = true;
        } else {
            failure = TakeError();
        }
    }
    if (connected_) {
        PyObject* rows = Rows(batch);
        PyObject* result = nullptr;
        if (rows != nullptr) {
            result = PyObject_CallMethod(store_, "write", "OK", rows, static_cast<unsigned long long>(numbers.first));
            Py_DECREF(rows);
        }
        if (result == nullptr) {
            failure = TakeError();
            // The connection may be broken: a new one for the next attempt.
            if (!CallMethod(store_, "close")) {
                PyErr_Clear();
            }
            connected_ = false;
        }
        Py_XDECREF(result);
    }
    PyGILState_Release(gil);
    if (failure) {
        throw *failure;
    }
}

void PythonStore::Close() noexcept {
    if (store_ == nullptr || !PythonUsable()) {
        store_ = nullptr;  // left to the interpreter's end
        refused_ = nullptr;
        return;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    if (connected_ && !CallMethod(store_, "close")) {
        PyErr_WriteUnraisable(store_);
    }
    connected_ = false;
    Py_CLEAR(store_);
    Py_CLEAR(refused_);
    PyGILState_Release(gil);
}

}  // namespace telem_pyb_log
