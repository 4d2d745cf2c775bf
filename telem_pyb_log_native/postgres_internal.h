#pragma once

// What the two halves of the PostgreSQL store (postgres_store.cpp: the
// connection and the writes; postgres_tables.cpp: the tables' shape and
// upgrades) share.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace telem_pyb_log::postgres {

constexpr const char* kColumns[] = {"mtime", "tsname", "value", "btype", "units", "comment", "origin"};
constexpr const char* kLedgerSuffix = "_delivered";
constexpr const char* kSeriesSuffix = "_series";
constexpr const char* kSchemaSuffix = "_schema";
constexpr const char* kRowsSuffix = "_rows";
constexpr const char* kIndexSuffix = "_series_time";  // <table>_rows (series, time)
// The table of an earlier version while an upgrade moves its rows.
constexpr const char* kUpgradingSuffix = "_upgrading";
// The version of the tables' shape that this code makes; tables without
// <table>_schema are version 1 (the seven texts only); version 2 kept the
// seven texts of each row with its typed columns; version 3 keeps the rows
// in <table>_rows, each naming its series by the id of <table>_series, and
// <table> is a view of them as version 2 showed them.
constexpr int kSchemaVersion = 3;
constexpr int kFillRows = 10000;  // rows of an upgrade's transaction
// Serialises the creation of tables by recorders that start at the same time
// (CREATE TABLE IF NOT EXISTS alone may fail in all but one of them).
constexpr const char* kCreateLock = "500152151405";  // "telem" as a number

inline std::int64_t After(double seconds) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
               .count()
           + static_cast<std::int64_t>(seconds * 1e9);
}

// libpq's message on one line: its line breaks (and the indentation after
// them) become one space.
inline std::string Trimmed(const char* message) {
    std::string text;
    bool space = false;
    for (const char* p = message != nullptr ? message : ""; *p != '\0'; ++p) {
        if (*p == '\n' || ((*p == '\t' || *p == ' ') && space)) {
            space = true;
            continue;
        }
        if (space && !text.empty()) {
            text += ' ';
        }
        space = false;
        text += *p;
    }
    return text.empty() ? "unknown error" : text;
}

}  // namespace telem_pyb_log::postgres
