#include <memory>
#include <mutex>

#include "dynamic_library.h"
#include "libpq_api.h"
#include "sqlite_api.h"

namespace telem_pyb_log {

namespace {

// Loads a table of functions once per process.
template <typename Api, typename Fill>
const Api& LoadOnce(const std::string& module_path, Fill fill) {
    static std::mutex mutex;
    static std::unique_ptr<Api> api;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!api) {
        static std::unique_ptr<DynamicLibrary> library;  // kept for the process
        if (!library) {
            library = std::make_unique<DynamicLibrary>(module_path);
        }
        auto made = std::make_unique<Api>();
        fill(*library, *made);
        api = std::move(made);
    }
    return *api;
}

}  // namespace

const sqlite::Api& sqlite::LoadApi(const std::string& module_path) {
    return LoadOnce<Api>(module_path, [](const DynamicLibrary& lib, Api& api) {
        lib.Resolve(api.open_v2, "sqlite3_open_v2");
        lib.Resolve(api.close_v2, "sqlite3_close_v2");
        lib.Resolve(api.exec, "sqlite3_exec");
        lib.Resolve(api.prepare_v2, "sqlite3_prepare_v2");
        lib.Resolve(api.bind_text, "sqlite3_bind_text");
        lib.Resolve(api.bind_double, "sqlite3_bind_double");
        lib.Resolve(api.bind_int64, "sqlite3_bind_int64");
        lib.Resolve(api.bind_null, "sqlite3_bind_null");
        lib.Resolve(api.step, "sqlite3_step");
        lib.Resolve(api.reset, "sqlite3_reset");
        lib.Resolve(api.finalize, "sqlite3_finalize");
        lib.Resolve(api.column_int, "sqlite3_column_int");
        lib.Resolve(api.column_text, "sqlite3_column_text");
        lib.Resolve(api.column_int64, "sqlite3_column_int64");
        lib.Resolve(api.column_double, "sqlite3_column_double");
        lib.Resolve(api.column_type, "sqlite3_column_type");
        lib.Resolve(api.column_count, "sqlite3_column_count");
        lib.Resolve(api.column_bytes, "sqlite3_column_bytes");
        lib.Resolve(api.errmsg, "sqlite3_errmsg");
        lib.Resolve(api.errcode, "sqlite3_errcode");
        lib.Resolve(api.busy_handler, "sqlite3_busy_handler");
        lib.Resolve(api.busy_timeout, "sqlite3_busy_timeout");
        lib.Resolve(api.limit, "sqlite3_limit");
        lib.Resolve(api.get_autocommit, "sqlite3_get_autocommit");
        lib.Resolve(api.changes, "sqlite3_changes");
        lib.Resolve(api.file_control, "sqlite3_file_control");
        lib.Resolve(api.interrupt, "sqlite3_interrupt");
        lib.Resolve(api.db_config, "sqlite3_db_config");
        lib.Resolve(api.free, "sqlite3_free");
    });
}

const pq::Api& pq::LoadApi(const std::string& module_path) {
    return LoadOnce<Api>(module_path, [](const DynamicLibrary& lib, Api& api) {
        lib.Resolve(api.connectStart, "PQconnectStart");
        lib.Resolve(api.connectPoll, "PQconnectPoll");
        lib.Resolve(api.status, "PQstatus");
        lib.Resolve(api.finish, "PQfinish");
        lib.Resolve(api.socket, "PQsocket");
        lib.Resolve(api.errorMessage, "PQerrorMessage");
        lib.Resolve(api.parameterStatus, "PQparameterStatus");
        lib.Resolve(api.transactionStatus, "PQtransactionStatus");
        lib.Resolve(api.setnonblocking, "PQsetnonblocking");
        lib.Resolve(api.sendQuery, "PQsendQuery");
        lib.Resolve(api.flush, "PQflush");
        lib.Resolve(api.consumeInput, "PQconsumeInput");
        lib.Resolve(api.isBusy, "PQisBusy");
        lib.Resolve(api.getResult, "PQgetResult");
        lib.Resolve(api.resultStatus, "PQresultStatus");
        lib.Resolve(api.resultErrorMessage, "PQresultErrorMessage");
        lib.Resolve(api.resultErrorField, "PQresultErrorField");
        lib.Resolve(api.cmdTuples, "PQcmdTuples");
        lib.Resolve(api.ntuples, "PQntuples");
        lib.Resolve(api.getisnull, "PQgetisnull");
        lib.Resolve(api.getvalue, "PQgetvalue");
        lib.Resolve(api.clear, "PQclear");
        lib.Resolve(api.putCopyData, "PQputCopyData");
        lib.Resolve(api.putCopyEnd, "PQputCopyEnd");
        lib.Resolve(api.escapeLiteral, "PQescapeLiteral");
        lib.Resolve(api.escapeIdentifier, "PQescapeIdentifier");
        lib.Resolve(api.conninfoParse, "PQconninfoParse");
        lib.Resolve(api.conninfoFree, "PQconninfoFree");
        lib.Resolve(api.freemem, "PQfreemem");
        lib.Resolve(api.setNoticeProcessor, "PQsetNoticeProcessor");
    });
}

}  // namespace telem_pyb_log
