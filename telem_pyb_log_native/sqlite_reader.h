#pragma once

// The columnar reader of SQLite tables: time and number of many rows straight
// into arrays, for read_frame (see sqlite_reader.cpp).

#include <pybind11/pybind11.h>

namespace telem_pyb_log {

void RegisterSqliteReader(pybind11::module_& m);

}  // namespace telem_pyb_log
