#pragma once

// A store written in Python (the Store protocol of telem_pyb_log): the writer
// takes the interpreter lock once per batch and calls the store's write()
// with the batch's rows as tuples of seven str. After a failed write it calls
// close(), then connect() and create() before the next attempt. What the
// exception means: TimeoutError, the batch timed out (it is split);
// telem_pyb_log.RowRefused, a row is refused as data (its `row`, or found by
// splitting, is set aside); anything else, the store failed (retried).

#include <Python.h>

#include <string>

#include "store.h"

namespace telem_pyb_log {

class PythonStore : public Store {
public:
    // `store` is connected and its table created already, unless not
    // `connected` (its first write connects); called with the interpreter
    // lock. Takes a reference.
    // `refused` is the exception class RowRefused.
    PythonStore(PyObject* store, PyObject* refused, std::string where, bool connected = true);
    ~PythonStore() override;

    const std::string& where() const override { return where_; }
    RowFormat format() const override { return RowFormat::kUtf8; }
    bool calls_python() const override { return true; }
    void Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) override;
    void Interrupt() noexcept override {}
    void Close() noexcept override;
    std::unique_ptr<Store> ForChild() override;

private:
    struct Adopted {};
    PythonStore(PyObject* store, PyObject* refused, std::string where, bool connected, Adopted);
    PyObject* Rows(const Batch& batch);
    StoreError TakeError();

    PyObject* store_;    // strong; null once released
    PyObject* refused_;  // strong; null once released
    const std::string where_;
    bool connected_;
};

}  // namespace telem_pyb_log
