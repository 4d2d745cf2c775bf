#include "python_store.h"

#include <string_view>

namespace telem_pyb_log {

namespace {

// The interpreter may be called: it runs, and has not begun to finalize.
bool PythonUsable() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

// "Type: message" of the pending Python error, which is cleared.
std::string TakeError() {
    PyObject* error = PyErr_GetRaisedException();
    if (error == nullptr) {
        return "unknown error";
    }
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
    Py_DECREF(error);
    return text;
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

PythonStore::PythonStore(PyObject* store, std::string where, bool connected)
    : PythonStore(store, std::move(where), connected, Adopted{}) {
    Py_INCREF(store_);
}

PythonStore::PythonStore(PyObject* store, std::string where, bool connected, Adopted)
    : store_(store), where_(std::move(where)), connected_(connected) {}

PythonStore::~PythonStore() { Close(); }

std::unique_ptr<Store> PythonStore::ForChild() {
    // The reference moves to the child's store; this one is abandoned.
    PyObject* store = store_;
    store_ = nullptr;
    return std::unique_ptr<Store>(new PythonStore(store, where_, false, Adopted{}));
}

// Plain API calls, no objects with destructors: see gil.h on unwinding.
void PythonStore::Write(const Batch& batch, std::uint64_t first_seq, DeliveryEvents& /*events*/) {
    if (store_ == nullptr || !PythonUsable()) {
        throw StoreError("the interpreter is finalizing");
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    std::string failure;
    if (!connected_) {
        if (CallMethod(store_, "connect") && CallMethod(store_, "create")) {
            connected_ = true;
        } else {
            failure = TakeError();
        }
    }
    if (connected_) {
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
        PyObject* result = nullptr;
        if (made) {
            result = PyObject_CallMethod(store_, "write", "OK", rows, static_cast<unsigned long long>(first_seq));
        }
        Py_XDECREF(rows);
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
    if (!failure.empty()) {
        throw StoreError(failure);
    }
}

void PythonStore::Close() noexcept {
    if (store_ == nullptr || !PythonUsable()) {
        store_ = nullptr;  // left to the interpreter's end
        return;
    }
    const PyGILState_STATE gil = PyGILState_Ensure();
    if (connected_ && !CallMethod(store_, "close")) {
        PyErr_WriteUnraisable(store_);
    }
    connected_ = false;
    Py_CLEAR(store_);
    PyGILState_Release(gil);
}

}  // namespace telem_pyb_log
