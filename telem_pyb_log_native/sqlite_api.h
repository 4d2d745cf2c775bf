#pragma once

// The part of SQLite's C interface that the SQLite store uses, declared from
// SQLite's documentation and resolved at run time from the SQLite library of
// the interpreter's sqlite3 module (see dynamic_library.h). Building needs no
// SQLite headers; tests/log_native/api_constants_test.cpp compares these
// declarations with the system's sqlite3.h where there is one.

#include <string>

namespace telem_pyb_log::sqlite {

struct Connection;  // sqlite3
struct Statement;   // sqlite3_stmt

constexpr int kOk = 0;
constexpr int kBusy = 5;
constexpr int kTooBig = 18;
constexpr int kConstraint = 19;
constexpr int kMismatch = 20;
constexpr int kRow = 100;
constexpr int kDone = 101;
constexpr int kOpenReadOnly = 0x00000001;
constexpr int kOpenReadWrite = 0x00000002;
constexpr int kOpenCreate = 0x00000004;
constexpr int kOpenNoMutex = 0x00008000;
constexpr int kLimitLength = 0;
constexpr int kLimitVariableNumber = 9;
constexpr int kInteger = 1;  // column types
constexpr int kFloat = 2;
constexpr int kText = 3;
constexpr int kNull = 5;
constexpr int kFcntlHasMoved = 20;
constexpr int kInterrupt = 9;
constexpr int kDbConfigNoCkptOnClose = 1006;

using Destructor = void (*)(void*);
inline const Destructor kStatic = nullptr;  // SQLITE_STATIC: the text outlives the statement's use of it
inline const Destructor kTransient = reinterpret_cast<Destructor>(-1);  // SQLITE_TRANSIENT: SQLite copies the text

struct Api {
    int (*open_v2)(const char* filename, Connection** db, int flags, const char* vfs);
    int (*close_v2)(Connection* db);
    int (*exec)(Connection* db, const char* sql, int (*callback)(void*, int, char**, char**), void* arg,
                char** errmsg);
    int (*prepare_v2)(Connection* db, const char* sql, int bytes, Statement** stmt, const char** tail);
    int (*bind_text)(Statement* stmt, int index, const char* text, int bytes, Destructor destructor);
    int (*bind_double)(Statement* stmt, int index, double value);
    int (*bind_int64)(Statement* stmt, int index, long long value);
    int (*bind_null)(Statement* stmt, int index);
    int (*step)(Statement* stmt);
    int (*reset)(Statement* stmt);
    int (*finalize)(Statement* stmt);
    int (*column_int)(Statement* stmt, int column);
    const unsigned char* (*column_text)(Statement* stmt, int column);
    long long (*column_int64)(Statement* stmt, int column);
    double (*column_double)(Statement* stmt, int column);
    int (*column_type)(Statement* stmt, int column);
    int (*column_count)(Statement* stmt);
    int (*column_bytes)(Statement* stmt, int column);
    const char* (*errmsg)(Connection* db);
    int (*errcode)(Connection* db);
    int (*busy_handler)(Connection* db, int (*handler)(void*, int), void* arg);
    int (*busy_timeout)(Connection* db, int milliseconds);
    int (*limit)(Connection* db, int id, int value);
    int (*get_autocommit)(Connection* db);
    int (*changes)(Connection* db);
    int (*file_control)(Connection* db, const char* schema, int op, void* arg);
    void (*interrupt)(Connection* db);
    int (*db_config)(Connection* db, int op, ...);
    void (*free)(void* memory);
};

// The functions, resolved through `module_path` on first use (later calls
// return the same table). Throws std::runtime_error if one is missing.
const Api& LoadApi(const std::string& module_path);

}  // namespace telem_pyb_log::sqlite
