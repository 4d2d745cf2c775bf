#include "sqlite_store.h"

#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "norv/telem/TelemException.h"

namespace telem_pyb_log {

namespace {

constexpr const char* kColumns[] = {"mtime", "tsname", "value", "btype", "units", "comment", "origin"};
// The version of the tables' shape that this code makes; tables without
// log_points_schema are version 1 (the seven texts only), version 2 kept
// the seven texts of each row with its typed columns.
constexpr int kSchemaVersion = 3;
// Version 3: each row names its series by the id of log_points_series, and
// keeps its time as microseconds since the epoch; its mtime is NULL where it
// is the recorders' own stamp of that time, its value NULL where it is
// SQLite's text of its number (a text that any SQLite writes alike, see
// PlainNumberText). The view log_points shows the rows as version 2 held
// them. The series' id is explicit: VACUUM may renumber an implicit rowid.
constexpr const char* kCreateSeries =
    "CREATE TABLE IF NOT EXISTS log_points_series (id INTEGER PRIMARY KEY, tsid TEXT NOT NULL, "
    "tsname TEXT NOT NULL, btype TEXT NOT NULL, units TEXT NOT NULL, origin TEXT NOT NULL, serial TEXT NOT NULL, "
    "role TEXT NOT NULL, comment TEXT NOT NULL, json TEXT NOT NULL, first_written TEXT NOT NULL, "
    "last_written TEXT NOT NULL, UNIQUE (tsname, tsid, btype, units, origin, serial, role, comment, json))";
constexpr const char* kCreateRows =
    "CREATE TABLE IF NOT EXISTS log_points_rows (id INTEGER PRIMARY KEY, series INTEGER NOT NULL, time INTEGER, "
    "number REAL, mtime TEXT, value TEXT)";
// One index: a series and a time range (a range in epoch seconds or
// milliseconds is one multiplication away).
constexpr const char* kCreateIndex =
    "CREATE INDEX IF NOT EXISTS log_points_rows_series_time ON log_points_rows (series, time)";
constexpr const char* kCreateSchema =
    "CREATE TABLE log_points_schema (version INTEGER NOT NULL, unfilled_upto INTEGER NOT NULL, "
    "untyped_upto INTEGER NOT NULL DEFAULT 0)";
// The table of an earlier version while its rows move to log_points_rows:
// those up to log_points_schema's unfilled_upto are still there, and the
// view shows them too.
constexpr const char* kUpgrading = "log_points_upgrading";
constexpr const char* kUpsertSeries =
    "INSERT INTO log_points_series (tsid, tsname, btype, units, origin, serial, role, comment, json, first_written, "
    "last_written) VALUES (?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT "
    "(tsname, tsid, btype, units, origin, serial, role, comment, json) DO UPDATE SET last_written = "
    "excluded.last_written";
constexpr const char* kSeriesId =
    "SELECT id FROM log_points_series WHERE tsid = ?1 AND tsname = ?2 AND btype = ?3 AND units = ?4 AND "
    "origin = ?5 AND serial = ?6 AND role = ?7 AND comment = ?8 AND json = ?9";
constexpr int kFillRows = 10000;  // rows of an upgrade's transaction
constexpr int kMaxRowsPerInsert = 500;
// A row's parameters: series, time, number, mtime, value, and the number
// whose text may stand for the value (NULL where it may not).
constexpr int kRowParams = 6;
// Retention: the series that have rows older than a time (?1), each found
// through the index.
constexpr const char* kOldSeries =
    "SELECT s.id FROM log_points_series s WHERE EXISTS (SELECT 1 FROM log_points_rows r WHERE r.series = s.id "
    "AND r.time < ?1)";
constexpr const char* kDeleteOld =
    "DELETE FROM log_points_rows WHERE id IN (SELECT id FROM log_points_rows WHERE series = ?1 AND time < ?2 "
    "ORDER BY time LIMIT ?3)";
// A delete of old rows waits at most this long for another connection's
// lock: it is tried again at the next round, and delivery goes on meanwhile.
constexpr double kDeleteBusyLimit = 1.0;
constexpr const char* kCreateLedger =
    "CREATE TABLE IF NOT EXISTS log_points_delivered (recorder_id TEXT PRIMARY KEY, stored INTEGER NOT NULL)";

// "YYYY-MM-DDTHH:MM:SS" of microseconds since the epoch (floored).
std::string SecondsText(const std::string& us) {
    return "strftime('%Y-%m-%dT%H:%M:%S', " + us + " / 1000000 - (" + us + " % 1000000 < 0), 'unixepoch')";
}

// The view log_points: the rows with version 2's columns and texts (and,
// while an upgrade moves them, the rows not moved yet).
std::string CreateView(bool upgrading) {
    const std::string fraction = "(r.time % 1000000 + 1000000) % 1000000";
    std::string sql =
        "CREATE VIEW log_points AS SELECT r.id AS id, coalesce(r.mtime, " + SecondsText("r.time")
        + " || printf('.%06d+00:00', " + fraction + ")) AS mtime, s.tsname AS tsname, "
        "coalesce(r.value, CAST(r.number AS TEXT)) AS value, s.btype AS btype, s.units AS units, "
        "s.comment AS comment, s.origin AS origin, CASE WHEN r.time IS NOT NULL THEN " + SecondsText("r.time")
        + " || printf('.%06dZ', " + fraction + ") END AS time, r.number AS number "
        "FROM log_points_rows r JOIN log_points_series s ON s.id = r.series";
    if (upgrading) {
        sql += std::string(" UNION ALL SELECT id, mtime, tsname, value, btype, units, comment, origin, time, number "
                           "FROM ") + kUpgrading + " WHERE id <= (SELECT max(unfilled_upto) FROM log_points_schema)";
    }
    return sql;
}

std::int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The current UTC time as the time column holds it.
std::string TimeTextNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[kTimeTextSize];
    FormatTime(static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000, text);
    return std::string(text, kTimeTextSize);
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

}  // namespace

SqliteStore::SqliteStore(std::string label, std::string path, double timeout, std::string sqlite_module)
    : label_(std::move(label)),
      path_(std::move(path)),
      timeout_(timeout),
      sqlite_module_(std::move(sqlite_module)),
      api_(sqlite::LoadApi(sqlite_module_)) {
    try {
        Open();
    } catch (const StoreError& e) {
        throw norv::telem::TelemException(label_ + ": " + e.what());
    }
}

SqliteStore::SqliteStore(const SqliteStore& settings, Unopened)
    : label_(settings.label_),
      path_(settings.path_),
      timeout_(settings.timeout_),
      sqlite_module_(settings.sqlite_module_),
      api_(settings.api_) {}

SqliteStore::~SqliteStore() { CloseConnection(); }

std::unique_ptr<Store> SqliteStore::ForChild() { return std::unique_ptr<Store>(new SqliteStore(*this, Unopened{})); }

void SqliteStore::Fail(const std::string& what) {
    const std::string message = what + " " + path_ + ": " + (conn_ != nullptr ? api_.errmsg(conn_) : "out of memory");
    throw StoreError(message);
}

void SqliteStore::Exec(const char* sql) {
    if (api_.exec(conn_, sql, nullptr, nullptr, nullptr) != sqlite::kOk) {
        Fail("cannot write to");
    }
}

int SqliteStore::OnBusy(void* self, int count) {
    auto* store = static_cast<SqliteStore*>(self);
    const std::int64_t now = SteadyMs();
    if (count == 0) {
        store->busy_since_ = now;
    }
    if (store->interrupted_.load() || store->fork_pending_.load()
        || now - store->busy_since_ >= static_cast<std::int64_t>(store->busy_limit_ * 1000)) {
        return 0;  // SQLITE_BUSY: "database is locked"
    }
    const timespec pause{0, std::min(count + 1, 5) * 1'000'000L};
    nanosleep(&pause, nullptr);
    return 1;
}

void SqliteStore::Open() {
    sqlite::Connection* conn = nullptr;
    const int rc = api_.open_v2(path_.c_str(), &conn,
                                sqlite::kOpenReadWrite | sqlite::kOpenCreate | sqlite::kOpenNoMutex, nullptr);
    {
        const std::lock_guard<std::mutex> lock(connection_mutex_);
        conn_ = conn;
    }
    if (rc != sqlite::kOk) {
        const std::string message = std::string("cannot open ") + path_ + ": "
                                    + (conn != nullptr ? api_.errmsg(conn) : "out of memory");
        CloseConnection();
        throw StoreError(message);
    }
    try {
        api_.busy_handler(conn_, &SqliteStore::OnBusy, this);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        Exec("BEGIN IMMEDIATE");
        try {
            CreateOrUpgrade();
            Exec("COMMIT");
        } catch (...) {
            if (api_.get_autocommit(conn_) == 0) {
                api_.exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            throw;
        }
        FinishUpgrade();
        const int variables = api_.limit(conn_, sqlite::kLimitVariableNumber, -1);
        rows_per_insert_ = std::max(1, std::min(kMaxRowsPerInsert, variables / kRowParams));
        file_ = IdOf(path_);
        if (!file_.known) {
            Fail("cannot find");
        }
        wal_ = shm_ = FileId{};
        ledger_ready_ = false;
    } catch (...) {
        CloseConnection();
        throw;
    }
}

sqlite::Statement* SqliteStore::Prepare(const char* sql) {
    sqlite::Statement* stmt = nullptr;
    if (api_.prepare_v2(conn_, sql, -1, &stmt, nullptr) != sqlite::kOk) {
        Fail("cannot read the tables of");
    }
    return stmt;
}

bool SqliteStore::TableExists(const char* name) {
    return Found("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", name);
}

bool SqliteStore::ObjectExists(const char* name) { return Found("SELECT 1 FROM sqlite_master WHERE name = ?", name); }

// Whether `sql`, with `name` for its parameter, gives a row.
bool SqliteStore::Found(const char* sql, const char* name) {
    sqlite::Statement* stmt = Prepare(sql);
    api_.bind_text(stmt, 1, name, -1, sqlite::kStatic);
    const int rc = api_.step(stmt);
    api_.finalize(stmt);
    if (rc != sqlite::kRow && rc != sqlite::kDone) {
        Fail("cannot read the tables of");
    }
    return rc == sqlite::kRow;
}

long long SqliteStore::QueryInt(const char* sql, long long none) {
    sqlite::Statement* stmt = Prepare(sql);
    const int rc = api_.step(stmt);
    const long long value = rc == sqlite::kRow ? api_.column_int64(stmt, 0) : none;
    api_.finalize(stmt);
    if (rc != sqlite::kRow && rc != sqlite::kDone) {
        Fail("cannot read the tables of");
    }
    return value;
}

// What keeps an existing table log_points from holding log records: every
// column of the log record must be there as text, and other columns must
// accept rows that give none. `found` gets the columns it has.
std::vector<std::string> SqliteStore::ColumnProblems(std::vector<std::string>& found) {
    std::vector<std::string> problems;
    sqlite::Statement* info = Prepare("PRAGMA table_info(log_points)");
    int rc_step;
    while ((rc_step = api_.step(info)) == sqlite::kRow) {
        const auto text = [&](int column) {
            const unsigned char* t = api_.column_text(info, column);
            return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
        };
        const std::string name = text(1);
        const std::string type = Lower(text(2));
        const bool not_null = api_.column_int(info, 3) != 0;
        const bool has_default = api_.column_text(info, 4) != nullptr;
        const bool key = api_.column_int(info, 5) != 0;
        found.push_back(name);
        const bool ours = std::find_if(std::begin(kColumns), std::end(kColumns),
                                       [&](const char* c) { return name == c; }) != std::end(kColumns);
        if (ours && type != "text") {
            problems.push_back(name + " is " + (type.empty() ? "untyped" : type) + ", not text");
        } else if (name == "id" && !(type == "integer" && key)) {
            problems.push_back("id is not an INTEGER PRIMARY KEY");
        } else if ((name == "time" && type != "text") || (name == "number" && type != "real")) {
            problems.push_back(name + " is " + (type.empty() ? "untyped" : type) + ", not "
                               + (name == "time" ? "text" : "real"));
        } else if (!ours && name != "id" && not_null && !has_default && !key) {
            problems.push_back(name + " needs a value that log records do not give");
        }
    }
    api_.finalize(info);
    if (rc_step != sqlite::kDone) {
        Fail("cannot read the table of");
    }
    for (const char* column : {"id", "mtime", "tsname", "value", "btype", "units", "comment", "origin"}) {
        if (std::find(found.begin(), found.end(), column) == found.end()) {
            problems.push_back(std::string("there is no column ") + column);
        }
    }
    return problems;
}

// In the transaction of Open: creates the tables, or checks them and starts
// the upgrade of those of an earlier version (the table is renamed
// log_points_upgrading, the series table gains ids, the view takes the
// table's name and shows its rows too), moving its newest rows at once:
// rows written later get ids above every old row's. MoveOldRows moves the
// rest.
void SqliteStore::CreateOrUpgrade() {
    const long long version =
        TableExists("log_points_schema") ? QueryInt("SELECT max(version) FROM log_points_schema", 1) : 1;
    if (version > kSchemaVersion) {
        throw norv::telem::TelemException(
            label_ + ": the table log_points in " + path_ + " was made by a newer version of telem_pyb_log (schema "
            + std::to_string(version) + "; this version knows schemas up to " + std::to_string(kSchemaVersion)
            + "); record into it with that version");
    }
    if (!TableExists("log_points")) {
        if (ObjectExists("log_points") && !(version == kSchemaVersion && TableExists("log_points_rows"))) {
            throw norv::telem::TelemException(label_ + ": log_points in " + path_
                                              + " is not a table of log records; it cannot hold log records");
        }
        if (version == kSchemaVersion && TableExists("log_points_rows")) {
            const std::string problems = RowsProblems();
            if (!problems.empty()) {
                throw norv::telem::TelemException(label_ + ": the table log_points_rows in " + path_
                                                  + " exists with other columns (" + problems
                                                  + "); it cannot hold log records");
            }
            Exec(kCreateSeries);
            Exec(kCreateIndex);
            if (!ObjectExists("log_points")) {
                Exec(CreateView(TableExists(kUpgrading)).c_str());
            }
            return;
        }
        Exec(kCreateSeries);
        Exec(kCreateRows);
        Exec(kCreateIndex);
        Exec(CreateView(false).c_str());
        Exec("DROP TABLE IF EXISTS log_points_schema");
        Exec(kCreateSchema);
        Exec("INSERT INTO log_points_schema VALUES (3, 0, 0)");
        return;
    }
    std::vector<std::string> found;
    const std::vector<std::string> problems = ColumnProblems(found);
    if (!problems.empty()) {
        std::string list;
        for (const auto& p : problems) {
            list += (list.empty() ? "" : "; ") + p;
        }
        throw norv::telem::TelemException(label_ + ": the table log_points in " + path_
                                          + " exists with other columns (" + list
                                          + "); it cannot hold log records");
    }
    const long long last = QueryInt("SELECT coalesce(max(id), 0) FROM log_points", 0);
    // The rows whose typed columns an earlier upgrade had not filled yet
    // (all of version 1's) take them from their texts.
    long long untyped = last;
    if (version == 2) {
        untyped = QueryInt("SELECT coalesce(max(unfilled_upto), 0) FROM log_points_schema", 0);
    }
    // Other views that name log_points keep that name, which the view takes.
    Exec("PRAGMA legacy_alter_table = ON");
    Exec((std::string("ALTER TABLE log_points RENAME TO ") + kUpgrading).c_str());
    if (TableExists("log_points_series")) {
        Exec("ALTER TABLE log_points_series RENAME TO log_points_series_upgrading");
    }
    Exec("PRAGMA legacy_alter_table = OFF");
    for (const char* column : {"time", "number"}) {
        if (std::find(found.begin(), found.end(), column) == found.end()) {
            Exec((std::string("ALTER TABLE ") + kUpgrading + " ADD COLUMN " + column
                  + (column == std::string("time") ? " TEXT" : " REAL")).c_str());
        }
    }
    Exec(kCreateSeries);
    if (TableExists("log_points_series_upgrading")) {
        Exec("INSERT INTO log_points_series (tsid, tsname, btype, units, origin, serial, role, comment, json, "
             "first_written, last_written) SELECT tsid, tsname, btype, units, origin, serial, role, comment, json, "
             "first_written, last_written FROM log_points_series_upgrading ORDER BY rowid; "
             "DROP TABLE log_points_series_upgrading");
    }
    Exec(kCreateRows);
    Exec(kCreateIndex);
    Exec("DROP TABLE IF EXISTS log_points_schema");
    Exec(kCreateSchema);
    Exec(("INSERT INTO log_points_schema VALUES (3, " + std::to_string(last) + ", " + std::to_string(untyped) + ")")
             .c_str());
    Exec(CreateView(true).c_str());
    MoveOldRows();
}

// What keeps log_points_rows from holding the rows of version 3.
std::string SqliteStore::RowsProblems() {
    std::string problems;
    sqlite::Statement* info = Prepare("SELECT name, lower(type) FROM pragma_table_info('log_points_rows')");
    std::vector<std::pair<std::string, std::string>> columns;
    int rc;
    while ((rc = api_.step(info)) == sqlite::kRow) {
        columns.emplace_back(reinterpret_cast<const char*>(api_.column_text(info, 0)),
                             reinterpret_cast<const char*>(api_.column_text(info, 1)));
    }
    api_.finalize(info);
    if (rc != sqlite::kDone) {
        Fail("cannot read the tables of");
    }
    const std::pair<const char*, const char*> wanted[] = {{"id", "integer"},   {"series", "integer"},
                                                          {"time", "integer"}, {"number", "real"},
                                                          {"mtime", "text"},   {"value", "text"}};
    for (const auto& [name, type] : wanted) {
        const auto at = std::find_if(columns.begin(), columns.end(), [&](const auto& c) { return c.first == name; });
        if (at == columns.end()) {
            problems += (problems.empty() ? "" : "; ") + std::string("there is no column ") + name;
        } else if (at->second != type) {
            problems += (problems.empty() ? "" : "; ") + std::string(name) + " is " + at->second + ", not " + type;
        }
    }
    return problems;
}

// Moves the newest kFillRows rows of an upgrade's table to log_points_rows,
// in the caller's transaction, and notes the last row not moved yet; when
// none is left, drops the old table and makes the view its own. True while
// rows are left.
bool SqliteStore::MoveOldRows() {
    const long long upto = QueryInt("SELECT coalesce(max(unfilled_upto), 0) FROM log_points_schema", 0);
    if (upto > 0) {
        const long long untyped = QueryInt("SELECT coalesce(max(untyped_upto), 0) FROM log_points_schema", 0);
        sqlite::Statement* select = nullptr;
        sqlite::Statement* insert = nullptr;
        sqlite::Statement* by_texts = nullptr;
        const auto finalize = [&] {
            api_.finalize(select);
            api_.finalize(insert);
            api_.finalize(by_texts);
        };
        long long lowest = upto + 1;
        int rows = 0;
        try {
            select = Prepare((std::string("SELECT id, mtime, tsname, value, btype, units, comment, origin, time, "
                                          "number FROM ") + kUpgrading + " WHERE id <= ? ORDER BY id DESC LIMIT ?")
                                 .c_str());
            insert = Prepare("INSERT INTO log_points_rows (id, series, time, number, mtime, value) VALUES "
                             "(?7, ?1, ?2, ?3, ?4, CASE WHEN ?5 = CAST(?6 AS TEXT) THEN NULL ELSE ?5 END)");
            // Rows of version 2 name no description: they take the first
            // one with their five texts, or one made of them.
            by_texts = Prepare("SELECT min(id) FROM log_points_series WHERE tsname = ?1 AND btype = ?2 AND "
                               "units = ?3 AND comment = ?4 AND origin = ?5");
            std::unordered_map<std::string, std::int64_t> series_of;
            api_.bind_int64(select, 1, upto);
            api_.bind_int64(select, 2, kFillRows);
            int rc;
            while ((rc = api_.step(select)) == sqlite::kRow) {
                const auto text = [&](int column) {
                    const char* t = reinterpret_cast<const char*>(api_.column_text(select, column));
                    return std::string_view(t != nullptr ? t : "", api_.column_bytes(select, column));
                };
                lowest = api_.column_int64(select, 0);
                ++rows;
                RowView row{text(1), text(2), text(3), text(4), text(5), text(6), text(7), {}};
                if (lowest <= untyped) {
                    row.typed = TypedFromTexts(row.mtime, row.value);
                } else {
                    if (api_.column_type(select, 8) != sqlite::kNull) {
                        row.typed.has_time = ParseTime(text(8), row.typed.time);
                    }
                    if (api_.column_type(select, 9) != sqlite::kNull) {
                        row.typed.has_number = true;
                        row.typed.number = api_.column_double(select, 9);
                    }
                }
                const std::string key = WrittenSeries::FullKey(row);
                auto at = series_of.find(key);
                if (at == series_of.end()) {
                    const std::string_view texts[] = {row.tsname, row.btype, row.units, row.comment, row.origin};
                    for (int i = 0; i < 5; ++i) {
                        api_.bind_text(by_texts, i + 1, texts[i].data(), static_cast<int>(texts[i].size()),
                                       sqlite::kStatic);
                    }
                    const int found = api_.step(by_texts);
                    const bool known = found == sqlite::kRow && api_.column_type(by_texts, 0) != sqlite::kNull;
                    const std::int64_t id = known ? api_.column_int64(by_texts, 0) : 0;
                    api_.reset(by_texts);
                    if (found != sqlite::kRow) {
                        Fail("cannot upgrade");
                    }
                    at = series_of.emplace(key, known ? id : SeriesOfTexts(row)).first;
                }
                BindRow(insert, 1, at->second, row);
                api_.bind_int64(insert, 7, lowest);
                const int done = api_.step(insert);
                api_.reset(insert);
                if (done != sqlite::kDone) {
                    Fail("cannot upgrade");
                }
            }
            if (rc != sqlite::kDone) {
                Fail("cannot upgrade");
            }
            finalize();
        } catch (const TextRefused&) {
            finalize();
            Fail("cannot upgrade");
        } catch (...) {
            finalize();
            throw;
        }
        const long long next = rows < kFillRows ? 0 : lowest - 1;
        Exec(("UPDATE log_points_schema SET unfilled_upto = " + std::to_string(next)).c_str());
        if (next > 0) {
            return true;
        }
    }
    if (TableExists(kUpgrading)) {
        Exec("DROP VIEW IF EXISTS log_points");
        Exec((std::string("DROP TABLE ") + kUpgrading).c_str());
        Exec(CreateView(false).c_str());
    }
    return false;
}

// The rest of an upgrade, kFillRows rows a transaction: one that was cut
// off (the process killed) goes on at the next opening, by any process.
void SqliteStore::FinishUpgrade() {
    bool more = true;
    while (more) {
        Exec("BEGIN IMMEDIATE");
        try {
            more = MoveOldRows();
            Exec("COMMIT");
        } catch (...) {
            if (api_.get_autocommit(conn_) == 0) {
                api_.exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            throw;
        }
    }
}

// Binds a row's series id, time, number, mtime and value at `first` and
// the five parameters after it (see kRowParams): mtime NULL where it is the
// stamp of the time; the value's text, and the number that SQLite's text
// of may stand for it.
void SqliteStore::BindRow(sqlite::Statement* stmt, int first, std::int64_t series, const RowView& row) {
    const TypedFields& typed = row.typed;
    api_.bind_int64(stmt, first, series);
    if (typed.has_time) {
        api_.bind_int64(stmt, first + 1, typed.time);
    } else {
        api_.bind_null(stmt, first + 1);
    }
    if (typed.has_number) {
        api_.bind_double(stmt, first + 2, typed.number);  // SQLite stores NaN as NULL
    } else {
        api_.bind_null(stmt, first + 2);
    }
    if (StampOfTime(row.mtime, typed)) {
        api_.bind_null(stmt, first + 3);
    } else {
        BindText(stmt, first + 3, row.mtime);
    }
    BindText(stmt, first + 4, row.value);
    if (typed.has_number && PlainNumberText(row.value)) {
        api_.bind_double(stmt, first + 5, typed.number);
    } else {
        api_.bind_null(stmt, first + 5);
    }
}

void SqliteStore::BindText(sqlite::Statement* stmt, int index, std::string_view text) {
    const int rc = api_.bind_text(stmt, index, text.data(), static_cast<int>(text.size()), sqlite::kStatic);
    if (rc != sqlite::kOk) {
        throw TextRefused{rc};
    }
}

// Writes a description to log_points_series (or notes that it was written
// again) and gives its id.
std::int64_t SqliteStore::UpsertSeries(const std::string_view (&fields)[9]) {
    if (upsert_series_ == nullptr) {
        upsert_series_ = Prepare(kUpsertSeries);
    }
    if (series_id_ == nullptr) {
        series_id_ = Prepare(kSeriesId);
    }
    const std::string now = TimeTextNow();
    for (int i = 0; i < 9; ++i) {
        api_.bind_text(upsert_series_, i + 1, fields[i].data(), static_cast<int>(fields[i].size()), sqlite::kStatic);
        api_.bind_text(series_id_, i + 1, fields[i].data(), static_cast<int>(fields[i].size()), sqlite::kStatic);
    }
    api_.bind_text(upsert_series_, 10, now.data(), static_cast<int>(now.size()), sqlite::kStatic);
    api_.bind_text(upsert_series_, 11, now.data(), static_cast<int>(now.size()), sqlite::kStatic);
    int rc = api_.step(upsert_series_);
    api_.reset(upsert_series_);
    if (rc != sqlite::kDone) {
        api_.reset(series_id_);
        Fail("cannot write to");
    }
    rc = api_.step(series_id_);
    const std::int64_t id = rc == sqlite::kRow ? api_.column_int64(series_id_, 0) : 0;
    api_.reset(series_id_);
    if (rc != sqlite::kRow) {
        Fail("cannot read the series of");
    }
    return id;
}

// The series made of a full row's five texts (its other fields empty).
std::int64_t SqliteStore::SeriesOfTexts(const RowView& row) {
    const std::string_view fields[9] = {"", row.tsname, row.btype, row.units, row.origin, "", "", row.comment, ""};
    return UpsertSeries(fields);
}

void SqliteStore::WriteSeries(const Batch& batch) {
    for (const Series* s : written_series_.Unwritten(batch)) {
        const norv::telem::TsMetadata& m = s->meta;
        const std::string_view fields[9] = {m.tsid,   m.tsname, m.btype,   m.units, m.origin,
                                            m.serial, m.role,   m.comment, m.json};
        written_series_.Written(s, UpsertSeries(fields));
    }
}

void SqliteStore::CloseConnection() noexcept {
    for (auto& [rows, stmt] : inserts_) {
        api_.finalize(stmt);
    }
    inserts_.clear();
    api_.finalize(upsert_series_);
    upsert_series_ = nullptr;
    api_.finalize(series_id_);
    series_id_ = nullptr;
    written_series_.Forget();
    sqlite::Connection* conn;
    {
        const std::lock_guard<std::mutex> lock(connection_mutex_);
        conn = conn_;
        conn_ = nullptr;
    }
    if (conn != nullptr) {
        api_.close_v2(conn);
    }
}

SqliteStore::FileId SqliteStore::IdOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return {};
    }
    return {st.st_dev, st.st_ino, true};
}

bool SqliteStore::FileReplaced() const {
    const FileId now = IdOf(path_);
    if (!now.known || now.device != file_.device || now.inode != file_.inode) {
        return true;
    }
    int moved = 0;
    return api_.file_control(conn_, "main", sqlite::kFcntlHasMoved, &moved) == sqlite::kOk && moved != 0;
}

// SQLite keeps the WAL and shared-memory files of a database that has moved
// when it closes it; left at the path, a new database there would take them
// for its own. They are removed if they are still the files this connection
// made (a database put at the path by someone else may have its own).
void SqliteStore::RemoveOwnWal() {
    for (const auto& [suffix, id] : {std::pair<const char*, FileId>{"-wal", wal_}, {"-shm", shm_}}) {
        const std::string path = path_ + suffix;
        const FileId now = IdOf(path);
        if (id.known && now.known && now.device == id.device && now.inode == id.inode) {
            unlink(path.c_str());
        }
    }
}

sqlite::Statement* SqliteStore::InsertStatement(int rows) {
    auto found = inserts_.find(rows);
    if (found != inserts_.end()) {
        return found->second;
    }
    // Each row's value is NULL where SQLite's text of its number (the
    // sixth parameter: NULL unless that may stand for it) is the value.
    std::string sql = "INSERT INTO log_points_rows (series, time, number, mtime, value) VALUES ";
    for (int i = 0; i < rows; ++i) {
        const auto p = [&](int k) { return "?" + std::to_string(i * kRowParams + k); };
        sql += (i == 0 ? "(" : ",(") + p(1) + "," + p(2) + "," + p(3) + "," + p(4) + ",CASE WHEN " + p(5)
               + " = CAST(" + p(6) + " AS TEXT) THEN NULL ELSE " + p(5) + " END)";
    }
    sqlite::Statement* stmt = nullptr;
    if (api_.prepare_v2(conn_, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != sqlite::kOk) {
        Fail("cannot write to");
    }
    inserts_.emplace(rows, stmt);
    return stmt;
}

void SqliteStore::FailRows(int rc, std::optional<std::size_t> row) {
    const int code = rc & 0xFF;
    const std::string message = std::string("cannot write to ") + path_ + ": "
                                + (conn_ != nullptr ? api_.errmsg(conn_) : "out of memory");
    if (code == sqlite::kTooBig || code == sqlite::kConstraint || code == sqlite::kMismatch) {
        throw StoreError(message, Failure::kRowRefused, row);
    }
    throw StoreError(message);
}

void SqliteStore::Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) {
    for (;;) {
        // Waits while a fork closes the connection (PrepareFork holds it).
        const std::lock_guard<std::mutex> io(io_mutex_);
        const std::uint64_t forks = forks_.load();
        try {
            WriteOnce(batch, numbers, events);
            return;
        } catch (const StoreError&) {
            if (forks_.load() == forks || interrupted_.load()) {
                throw;
            }
            // A fork interrupted it: nothing of it was committed; again.
        }
    }
}

void SqliteStore::WriteOnce(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) {
    if (interrupted_.load()) {
        throw StoreError("the write to " + path_ + " was interrupted");
    }
    Connect(events);
    Exec("BEGIN IMMEDIATE");
    std::size_t written = 0;
    try {
        const LedgerPlan plan = ReadLedger(batch, numbers, events);
        if (plan.write) {
            WriteSeries(batch);
            Insert(batch, static_cast<std::size_t>(plan.skip));
            AdvanceLedger(numbers, plan);
            written = batch.rows() - static_cast<std::size_t>(plan.skip);
        }
        Exec("COMMIT");
        written_series_.Committed();
    } catch (...) {
        written_series_.Failed();
        if (api_.get_autocommit(conn_) == 0) {
            api_.exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
    rows_in_file_ += written;
    if (!wal_.known) {
        wal_ = IdOf(path_ + "-wal");
        shm_ = IdOf(path_ + "-shm");
    }
}

// The file the path names now, with a connection: one that replaced the
// file the store wrote to (while its connection was open, or closed for a
// fork) takes the rows written to it along.
void SqliteStore::Connect(DeliveryEvents& events) {
    const FileId now = conn_ != nullptr ? FileId{} : IdOf(path_);
    const bool replaced = conn_ != nullptr ? FileReplaced()
                                           : file_.known && !(now.known && now.device == file_.device
                                                              && now.inode == file_.inode);
    if (replaced) {
        const std::uint64_t rows = rows_in_file_;
        CloseConnection();
        RemoveOwnWal();
        file_ = FileId{};
        rows_in_file_ = 0;
        events.Lost(rows, path_ + " was deleted or replaced by another file while recording; the "
                              + std::to_string(rows) + " rows this recorder had written to it went with it; "
                              + "the next rows go to a new file at that path");
    }
    if (conn_ == nullptr) {
        try {
            Open();
        } catch (const norv::telem::TelemException& e) {
            throw StoreError(e.what());
        }
    }
}

// Inside the write's transaction. Without a durable key (no spool) there is
// no ledger: SQLite's commit is never in doubt for the rows of this process.
LedgerPlan SqliteStore::ReadLedger(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) {
    if (!numbers.durable) {
        return LedgerPlan{};
    }
    if (!ledger_ready_) {
        Exec(kCreateLedger);
        ledger_ready_ = true;
    }
    sqlite::Statement* select = Prepare("SELECT stored FROM log_points_delivered WHERE recorder_id = ?");
    api_.bind_text(select, 1, numbers.key.data(), static_cast<int>(numbers.key.size()), sqlite::kStatic);
    const int rc = api_.step(select);
    std::optional<std::uint64_t> stored;
    if (rc == sqlite::kRow) {
        stored = static_cast<std::uint64_t>(api_.column_int64(select, 0));
    }
    api_.finalize(select);
    if (rc != sqlite::kRow && rc != sqlite::kDone) {
        Fail("cannot read the ledger of");
    }
    if (known_key_ != numbers.key) {
        known_key_ = numbers.key;
        known_from_.reset();
    }
    const LedgerPlan plan = PlanLedger(stored, numbers, batch.rows(), known_from_);
    if (!known_from_) {
        known_from_ = stored.value_or(numbers.follows);
    }
    if (plan.behind_from != 0) {
        events.Behind(plan.behind_from, numbers.follows, "log_points in " + path_);
    }
    if (plan.new_destination) {
        events.Fresh(numbers.follows, "log_points in " + path_);
    }
    return plan;
}

void SqliteStore::Insert(const Batch& batch, std::size_t skip) {
    const int per_insert = rows_per_insert_;
    const std::size_t total = batch.rows() - skip;
    std::size_t index = 0;  // in the batch
    std::size_t done = 0;
    int in_statement = 0;
    sqlite::Statement* stmt = nullptr;
    batch.ForEachEntry([&](const RowView& row, const std::shared_ptr<const Series>* series) {
        if (index++ < skip) {
            return;
        }
        if (in_statement == 0) {
            stmt = InsertStatement(static_cast<int>(std::min<std::size_t>(per_insert, total - done)));
        }
        std::int64_t id;
        if (series != nullptr) {
            id = written_series_.Id(series->get());
        } else {
            const std::string key = WrittenSeries::FullKey(row);
            id = written_series_.FullId(key);
            if (id == 0) {
                id = SeriesOfTexts(row);
                written_series_.FullWritten(key, id);
            }
        }
        try {
            BindRow(stmt, in_statement * kRowParams + 1, id, row);
        } catch (const TextRefused& refused) {
            api_.reset(stmt);
            FailRows(refused.rc, index - 1);  // a text longer than the store takes
        }
        ++done;
        if (++in_statement == per_insert || done == total) {
            const int rc = api_.step(stmt);
            api_.reset(stmt);
            if (rc != sqlite::kDone) {
                FailRows(rc, in_statement == 1 ? std::optional<std::size_t>(index - 1) : std::nullopt);
            }
            in_statement = 0;
        }
    });
}

void SqliteStore::AdvanceLedger(const BatchNumbers& numbers, const LedgerPlan& plan) {
    if (!numbers.durable) {
        return;
    }
    sqlite::Statement* upsert = Prepare(
        "INSERT INTO log_points_delivered (recorder_id, stored) VALUES (?, ?) ON CONFLICT (recorder_id) "
        "DO UPDATE SET stored = excluded.stored WHERE stored = ?");
    api_.bind_text(upsert, 1, numbers.key.data(), static_cast<int>(numbers.key.size()), sqlite::kStatic);
    api_.bind_int64(upsert, 2, static_cast<long long>(plan.advance));
    api_.bind_int64(upsert, 3, static_cast<long long>(plan.expect));
    const int rc = api_.step(upsert);
    api_.finalize(upsert);
    if (rc != sqlite::kDone) {
        Fail("cannot write the ledger of");
    }
}

std::uint64_t SqliteStore::DeleteBefore(std::int64_t before, std::uint64_t max_rows) {
    const std::lock_guard<std::mutex> io(io_mutex_);
    if (conn_ == nullptr || interrupted_.load() || FileReplaced()) {
        return 0;  // the next write opens the file the path names
    }
    const std::uint64_t forks = forks_.load();
    std::vector<std::int64_t> names;  // series ids
    std::uint64_t deleted = 0;
    sqlite::Statement* stmt = nullptr;
    busy_limit_ = std::min(timeout_, kDeleteBusyLimit);
    try {
        stmt = Prepare(kOldSeries);
        api_.bind_int64(stmt, 1, before);
        int rc;
        while ((rc = api_.step(stmt)) == sqlite::kRow) {
            names.push_back(api_.column_int64(stmt, 0));
        }
        api_.finalize(stmt);
        stmt = nullptr;
        if (rc != sqlite::kDone) {
            Fail("cannot read the old rows of");
        }
        if (!names.empty()) {
            Exec("BEGIN IMMEDIATE");
            stmt = Prepare(kDeleteOld);
            for (const std::int64_t name : names) {
                api_.bind_int64(stmt, 1, name);
                api_.bind_int64(stmt, 2, before);
                api_.bind_int64(stmt, 3, static_cast<long long>(max_rows - deleted));
                rc = api_.step(stmt);
                api_.reset(stmt);
                if (rc != sqlite::kDone) {
                    Fail("cannot delete old rows from");
                }
                deleted += static_cast<std::uint64_t>(api_.changes(conn_));
                if (deleted >= max_rows) {
                    break;
                }
            }
            api_.finalize(stmt);
            stmt = nullptr;
            Exec("COMMIT");
        }
    } catch (const StoreError&) {
        api_.finalize(stmt);
        if (conn_ != nullptr && api_.get_autocommit(conn_) == 0) {
            api_.exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        busy_limit_ = timeout_;
        if (forks_.load() != forks) {
            return 0;  // a fork interrupted it: the next round deletes them
        }
        throw;
    }
    busy_limit_ = timeout_;
    return deleted;
}

void SqliteStore::Interrupt() noexcept {
    interrupted_.store(true);
    const std::lock_guard<std::mutex> lock(connection_mutex_);
    if (conn_ != nullptr) {
        api_.interrupt(conn_);
    }
}

void SqliteStore::Close() noexcept {
    const std::lock_guard<std::mutex> io(io_mutex_);
    CloseConnection();
}

// The writer leaves SQLite soon: its statement is interrupted, its busy
// handler gives up at once. Nothing here waits for another connection's
// lock, and the writer takes no interpreter lock inside SQLite.
void SqliteStore::PrepareFork() noexcept {
    fork_pending_.store(true);
    forks_.fetch_add(1);
    {
        const std::lock_guard<std::mutex> lock(connection_mutex_);
        if (conn_ != nullptr) {
            api_.interrupt(conn_);
        }
    }
    io_mutex_.lock();
    if (conn_ != nullptr) {
        // Closing checkpoints the WAL if this is the last connection: not
        // here, where fork() waits; the next connection does it.
        api_.db_config(conn_, sqlite::kDbConfigNoCkptOnClose, 1, nullptr);
        CloseConnection();
    }
}

void SqliteStore::ParentAfterFork() noexcept {
    fork_pending_.store(false);
    io_mutex_.unlock();
}

}  // namespace telem_pyb_log
