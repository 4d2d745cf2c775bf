#include "sqlite_store.h"

#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "norv/telem/TelemException.h"

namespace telem_pyb_log {

namespace {

constexpr const char* kColumns[] = {"mtime", "tsname", "value", "btype", "units", "comment", "origin"};
// The version of the tables' shape that this code makes; tables without
// log_points_schema are version 1 (the seven texts only).
constexpr int kSchemaVersion = 2;
constexpr const char* kCreateTable =
    "CREATE TABLE log_points (id INTEGER PRIMARY KEY, mtime TEXT NOT NULL, tsname TEXT NOT NULL, "
    "value TEXT NOT NULL, btype TEXT NOT NULL, units TEXT NOT NULL, comment TEXT NOT NULL, origin TEXT NOT NULL, "
    "time TEXT, number REAL)";
// One index: a series and a time range; a series' rows in the order of id
// are its entries sorted (tables of version 1 keep their index on
// (tsname, id) as well).
constexpr const char* kCreateIndex = "CREATE INDEX IF NOT EXISTS log_points_tsname_time ON log_points (tsname, time)";
constexpr const char* kCreateSeries =
    "CREATE TABLE IF NOT EXISTS log_points_series (tsid TEXT NOT NULL, tsname TEXT NOT NULL, btype TEXT NOT NULL, "
    "units TEXT NOT NULL, origin TEXT NOT NULL, serial TEXT NOT NULL, role TEXT NOT NULL, comment TEXT NOT NULL, "
    "json TEXT NOT NULL, first_written TEXT NOT NULL, last_written TEXT NOT NULL, "
    "PRIMARY KEY (tsname, tsid, btype, units, origin, serial, role, comment, json))";
constexpr const char* kUpsertSeries =
    "INSERT INTO log_points_series VALUES (?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT "
    "(tsname, tsid, btype, units, origin, serial, role, comment, json) DO UPDATE SET last_written = "
    "excluded.last_written";
constexpr int kFillRows = 10000;  // rows of an upgrade's transaction
constexpr int kMaxRowsPerInsert = 500;
// Retention: the series names that have rows older than a time (?1), each
// found through the index (a walk from name to name, not a scan of rows).
constexpr const char* kOldSeries =
    "WITH RECURSIVE names(name) AS (SELECT (SELECT min(tsname) FROM log_points) UNION ALL "
    "SELECT (SELECT min(tsname) FROM log_points WHERE tsname > name) FROM names WHERE name IS NOT NULL) "
    "SELECT name FROM names WHERE name IS NOT NULL "
    "AND EXISTS (SELECT 1 FROM log_points WHERE tsname = name AND time < ?1)";
constexpr const char* kDeleteOld =
    "DELETE FROM log_points WHERE id IN (SELECT id FROM log_points WHERE tsname = ?1 AND time < ?2 "
    "ORDER BY time LIMIT ?3)";
// A delete of old rows waits at most this long for another connection's
// lock: it is tried again at the next round, and delivery goes on meanwhile.
constexpr double kDeleteBusyLimit = 1.0;
constexpr const char* kCreateLedger =
    "CREATE TABLE IF NOT EXISTS log_points_delivered (recorder_id TEXT PRIMARY KEY, stored INTEGER NOT NULL)";

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
        FillTypedColumns();
        const int variables = api_.limit(conn_, sqlite::kLimitVariableNumber, -1);
        rows_per_insert_ = std::max(1, std::min(kMaxRowsPerInsert, variables / 9));
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
    sqlite::Statement* stmt = Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
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

// In the transaction of Open: creates the tables, or checks them and upgrades
// those of version 1 (adds the typed columns, their index and the series
// table, and leaves the filling of the typed columns to FillTypedColumns).
void SqliteStore::CreateOrUpgrade() {
    if (!TableExists("log_points")) {
        Exec(kCreateTable);
        Exec(kCreateIndex);
        Exec(kCreateSeries);
        Exec("CREATE TABLE log_points_schema (version INTEGER NOT NULL, unfilled_upto INTEGER NOT NULL);"
             "INSERT INTO log_points_schema VALUES (2, 0)");
        return;
    }
    const long long version =
        TableExists("log_points_schema") ? QueryInt("SELECT max(version) FROM log_points_schema", 1) : 1;
    if (version > kSchemaVersion) {
        throw norv::telem::TelemException(
            label_ + ": the table log_points in " + path_ + " was made by a newer version of telem_pyb_log (schema "
            + std::to_string(version) + "; this version knows schemas up to " + std::to_string(kSchemaVersion)
            + "); record into it with that version");
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
    if (version < kSchemaVersion) {
        for (const char* column : {"time", "number"}) {
            if (std::find(found.begin(), found.end(), column) == found.end()) {
                Exec(std::string("ALTER TABLE log_points ADD COLUMN ").append(column).append(
                         column == std::string("time") ? " TEXT" : " REAL").c_str());
            }
        }
        // The rows up to the last one now lack their typed fields; later ones
        // are written with them.
        const long long last = QueryInt("SELECT coalesce(max(id), 0) FROM log_points", 0);
        Exec("CREATE TABLE IF NOT EXISTS log_points_schema (version INTEGER NOT NULL, "
             "unfilled_upto INTEGER NOT NULL); DELETE FROM log_points_schema");
        Exec(("INSERT INTO log_points_schema VALUES (2, " + std::to_string(last) + ")").c_str());
    }
    Exec(kCreateIndex);
    Exec(kCreateSeries);
}

// Fills the typed columns of the rows an upgrade found, from their texts,
// newest first, kFillRows rows a transaction; log_points_schema keeps the
// last row not yet filled, so that a fill that was cut off goes on later.
void SqliteStore::FillTypedColumns() {
    for (;;) {
        Exec("BEGIN IMMEDIATE");
        try {
            const long long upto = QueryInt("SELECT max(unfilled_upto) FROM log_points_schema", 0);
            if (upto <= 0) {
                Exec("COMMIT");
                return;
            }
            sqlite::Statement* select =
                Prepare("SELECT id, mtime, value FROM log_points WHERE id <= ? ORDER BY id DESC LIMIT ?");
            sqlite::Statement* update = nullptr;
            const auto finalize = [&] {
                api_.finalize(select);
                api_.finalize(update);
            };
            try {
                update = Prepare("UPDATE log_points SET time = ?, number = ? WHERE id = ?");
                api_.bind_int64(select, 1, upto);
                api_.bind_int64(select, 2, kFillRows);
                long long lowest = upto + 1;
                int rows = 0;
                int rc;
                while ((rc = api_.step(select)) == sqlite::kRow) {
                    const auto text = [&](int column) {
                        const char* t = reinterpret_cast<const char*>(api_.column_text(select, column));
                        return std::string_view(t != nullptr ? t : "", api_.column_bytes(select, column));
                    };
                    lowest = api_.column_int64(select, 0);
                    ++rows;
                    const TypedFields typed = TypedFromTexts(text(1), text(2));
                    BindTyped(update, 1, typed);
                    api_.bind_int64(update, 3, lowest);
                    const int done = api_.step(update);
                    api_.reset(update);
                    if (done != sqlite::kDone) {
                        Fail("cannot upgrade");
                    }
                }
                if (rc != sqlite::kDone) {
                    Fail("cannot upgrade");
                }
                finalize();
                const long long next = rows < kFillRows ? 0 : lowest - 1;
                Exec(("UPDATE log_points_schema SET unfilled_upto = " + std::to_string(next)).c_str());
            } catch (...) {
                finalize();
                throw;
            }
            Exec("COMMIT");
        } catch (...) {
            if (api_.get_autocommit(conn_) == 0) {
                api_.exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
            throw;
        }
    }
}

void SqliteStore::BindTyped(sqlite::Statement* stmt, int first, const TypedFields& typed) {
    if (typed.has_time) {
        char text[kTimeTextSize];
        FormatTime(typed.time, text);
        api_.bind_text(stmt, first, text, static_cast<int>(kTimeTextSize), sqlite::kTransient);
    } else {
        api_.bind_null(stmt, first);
    }
    if (typed.has_number) {
        api_.bind_double(stmt, first + 1, typed.number);  // SQLite stores NaN as NULL
    } else {
        api_.bind_null(stmt, first + 1);
    }
}

void SqliteStore::WriteSeries(const Batch& batch) {
    const std::vector<const Series*> series = written_series_.Unwritten(batch);
    if (series.empty()) {
        return;
    }
    if (upsert_series_ == nullptr) {
        upsert_series_ = Prepare(kUpsertSeries);
    }
    const std::string now = TimeTextNow();
    for (const Series* s : series) {
        const norv::telem::TsMetadata& m = s->meta;
        const std::string* fields[] = {&m.tsid,   &m.tsname, &m.btype,   &m.units, &m.origin,
                                       &m.serial, &m.role,   &m.comment, &m.json,  &now, &now};
        for (int i = 0; i < 11; ++i) {
            api_.bind_text(upsert_series_, i + 1, fields[i]->data(), static_cast<int>(fields[i]->size()),
                           sqlite::kStatic);
        }
        const int rc = api_.step(upsert_series_);
        api_.reset(upsert_series_);
        if (rc != sqlite::kDone) {
            Fail("cannot write to");
        }
    }
}

void SqliteStore::CloseConnection() noexcept {
    for (auto& [rows, stmt] : inserts_) {
        api_.finalize(stmt);
    }
    inserts_.clear();
    api_.finalize(upsert_series_);
    upsert_series_ = nullptr;
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
    std::string sql =
        "INSERT INTO log_points (mtime, tsname, value, btype, units, comment, origin, time, number) VALUES ";
    for (int i = 0; i < rows; ++i) {
        sql += i == 0 ? "(?,?,?,?,?,?,?,?,?)" : ",(?,?,?,?,?,?,?,?,?)";
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
            Insert(batch, static_cast<std::size_t>(plan.skip));
            WriteSeries(batch);
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
    batch.ForEach([&](const RowView& row) {
        if (index++ < skip) {
            return;
        }
        if (in_statement == 0) {
            stmt = InsertStatement(static_cast<int>(std::min<std::size_t>(per_insert, total - done)));
        }
        const std::string_view fields[] = {row.mtime, row.tsname, row.value, row.btype,
                                           row.units, row.comment, row.origin};
        for (int f = 0; f < 7; ++f) {
            const int rc = api_.bind_text(stmt, in_statement * 9 + f + 1, fields[f].data(),
                                          static_cast<int>(fields[f].size()), sqlite::kStatic);
            if (rc != sqlite::kOk) {
                api_.reset(stmt);
                FailRows(rc, index - 1);  // a text longer than the store takes
            }
        }
        BindTyped(stmt, in_statement * 9 + 8, row.typed);
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
    char cutoff[kTimeTextSize];
    FormatTime(before, cutoff);
    std::vector<std::string> names;
    std::uint64_t deleted = 0;
    sqlite::Statement* stmt = nullptr;
    busy_limit_ = std::min(timeout_, kDeleteBusyLimit);
    try {
        stmt = Prepare(kOldSeries);
        api_.bind_text(stmt, 1, cutoff, static_cast<int>(kTimeTextSize), sqlite::kStatic);
        int rc;
        while ((rc = api_.step(stmt)) == sqlite::kRow) {
            names.emplace_back(reinterpret_cast<const char*>(api_.column_text(stmt, 0)),
                               static_cast<std::size_t>(api_.column_bytes(stmt, 0)));
        }
        api_.finalize(stmt);
        stmt = nullptr;
        if (rc != sqlite::kDone) {
            Fail("cannot read the old rows of");
        }
        if (!names.empty()) {
            Exec("BEGIN IMMEDIATE");
            stmt = Prepare(kDeleteOld);
            for (const std::string& name : names) {
                api_.bind_text(stmt, 1, name.data(), static_cast<int>(name.size()), sqlite::kStatic);
                api_.bind_text(stmt, 2, cutoff, static_cast<int>(kTimeTextSize), sqlite::kStatic);
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
