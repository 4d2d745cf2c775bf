#pragma once

// The part of libpq's C interface that the PostgreSQL store uses, declared
// from PostgreSQL's documentation and resolved at run time from the libpq that
// psycopg loaded (see dynamic_library.h). Building needs no libpq headers;
// tests/log_native/api_constants_test.cpp compares these declarations with the
// system's libpq-fe.h where there is one.

#include <string>

namespace telem_pyb_log::pq {

struct Conn;    // PGconn
struct Result;  // PGresult

struct ConninfoOption {  // PQconninfoOption
    char* keyword;
    char* envvar;
    char* compiled;
    char* val;
    char* label;
    char* dispchar;
    int dispsize;
};

// ConnStatusType
constexpr int kConnectionOk = 0;
constexpr int kConnectionBad = 1;
// PostgresPollingStatusType
constexpr int kPollingFailed = 0;
constexpr int kPollingReading = 1;
constexpr int kPollingWriting = 2;
constexpr int kPollingOk = 3;
// ExecStatusType
constexpr int kCommandOk = 1;
constexpr int kTuplesOk = 2;
constexpr int kCopyIn = 4;
// PGTransactionStatusType
constexpr int kTransIdle = 0;
// Field codes of PQresultErrorField
constexpr int kDiagSqlstate = 'C';
constexpr int kDiagContext = 'W';

struct Api {
    Conn* (*connectStart)(const char* conninfo);
    int (*connectPoll)(Conn* conn);
    int (*status)(const Conn* conn);
    void (*finish)(Conn* conn);
    int (*socket)(const Conn* conn);
    char* (*errorMessage)(const Conn* conn);
    const char* (*parameterStatus)(const Conn* conn, const char* name);
    int (*transactionStatus)(const Conn* conn);
    int (*setnonblocking)(Conn* conn, int arg);
    int (*sendQuery)(Conn* conn, const char* query);
    int (*flush)(Conn* conn);
    int (*consumeInput)(Conn* conn);
    int (*isBusy)(Conn* conn);
    Result* (*getResult)(Conn* conn);
    int (*resultStatus)(const Result* res);
    char* (*resultErrorMessage)(const Result* res);
    char* (*resultErrorField)(const Result* res, int fieldcode);
    char* (*cmdTuples)(Result* res);
    int (*ntuples)(const Result* res);
    int (*getisnull)(const Result* res, int row, int column);
    char* (*getvalue)(const Result* res, int row, int column);
    void (*clear)(Result* res);
    int (*putCopyData)(Conn* conn, const char* buffer, int nbytes);
    int (*putCopyEnd)(Conn* conn, const char* errormsg);
    char* (*escapeLiteral)(Conn* conn, const char* str, size_t length);
    char* (*escapeIdentifier)(Conn* conn, const char* str, size_t length);
    ConninfoOption* (*conninfoParse)(const char* conninfo, char** errmsg);
    void (*conninfoFree)(ConninfoOption* options);
    void (*freemem)(void* ptr);
    void* (*setNoticeProcessor)(Conn* conn, void (*processor)(void* arg, const char* message), void* arg);
};

// The functions, resolved through `module_path` on first use (later calls
// return the same table). Throws std::runtime_error if one is missing.
const Api& LoadApi(const std::string& module_path);

}  // namespace telem_pyb_log::pq
