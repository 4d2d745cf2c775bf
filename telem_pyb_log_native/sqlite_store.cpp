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
    if (store->interrupted_.load() || now - store->busy_since_ >= static_cast<std::int64_t>(store->timeout_ * 1000)) {
        return 0;  // SQLITE_BUSY: "database is locked"
    }
    const timespec pause{0, std::min(count + 1, 20) * 1'000'000L};
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
        rows_in_file_ = 0;
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
    // An existing table must have every column of the log record as text,
    // and accept rows that give no other column.
    sqlite::Statement* info = Prepare("PRAGMA table_info(log_points)");
    std::vector<std::string> found, problems;
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
    const std::vector<const Series*> series = batch.DistinctSeries();
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

sqlite::Statement* SqliteStore::Insert(int rows) {
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

void SqliteStore::Write(const Batch& batch, std::uint64_t first_seq, DeliveryEvents& events) {
    const std::lock_guard<std::mutex> io(io_mutex_);
    if (interrupted_.load()) {
        throw StoreError("the write to " + path_ + " was interrupted");
    }
    if (conn_ != nullptr && FileReplaced()) {
        const std::uint64_t rows = rows_in_file_;
        CloseConnection();
        RemoveOwnWal();
        events.Warn(path_ + " was deleted or replaced by another file while recording; the "
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
    if (!identity_.empty() && !ledger_ready_) {
        Exec(kCreateLedger);
        ledger_ready_ = true;
    }
    Exec("BEGIN IMMEDIATE");
    try {
        // Rows that an earlier attempt stored (it committed, and the process
        // ended before the spool took note) are skipped.
        const std::uint64_t stored = identity_.empty() ? 0 : Delivered();
        std::size_t skip = static_cast<std::size_t>(
            std::min<std::uint64_t>(stored > first_seq - 1 ? stored - (first_seq - 1) : 0, batch.rows()));
        const int per_insert = rows_per_insert_;
        const std::size_t total = batch.rows() - skip;
        std::size_t done = 0;
        int in_statement = 0;
        sqlite::Statement* stmt = nullptr;
        const auto run = [&] {
            if (api_.step(stmt) != sqlite::kDone) {
                api_.reset(stmt);
                Fail("cannot write to");
            }
            api_.reset(stmt);
        };
        batch.ForEach([&](const RowView& row) {
            if (skip > 0) {
                --skip;
                return;
            }
            if (in_statement == 0) {
                stmt = Insert(static_cast<int>(std::min<std::size_t>(per_insert, total - done)));
            }
            const std::string_view fields[] = {row.mtime, row.tsname, row.value, row.btype,
                                               row.units, row.comment, row.origin};
            for (int f = 0; f < 7; ++f) {
                api_.bind_text(stmt, in_statement * 9 + f + 1, fields[f].data(), static_cast<int>(fields[f].size()),
                               sqlite::kStatic);
            }
            BindTyped(stmt, in_statement * 9 + 8, row.typed);
            ++done;
            if (++in_statement == per_insert || done == total) {
                run();
                in_statement = 0;
            }
        });
        WriteSeries(batch);
        if (!identity_.empty()) {
            Exec(("INSERT INTO log_points_delivered (recorder_id, stored) VALUES ('" + identity_ + "', "
                  + std::to_string(first_seq - 1 + batch.rows())
                  + ") ON CONFLICT (recorder_id) DO UPDATE SET stored = excluded.stored")
                     .c_str());
        }
        Exec("COMMIT");
    } catch (...) {
        if (api_.get_autocommit(conn_) == 0) {
            api_.exec(conn_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        throw;
    }
    rows_in_file_ += batch.rows();
    if (!wal_.known) {
        wal_ = IdOf(path_ + "-wal");
        shm_ = IdOf(path_ + "-shm");
    }
}

std::uint64_t SqliteStore::Delivered() {
    sqlite::Statement* select = nullptr;
    const std::string sql = "SELECT stored FROM log_points_delivered WHERE recorder_id = '" + identity_ + "'";
    if (api_.prepare_v2(conn_, sql.c_str(), static_cast<int>(sql.size()), &select, nullptr) != sqlite::kOk) {
        Fail("cannot read the ledger of");
    }
    std::uint64_t stored = 0;
    const int rc = api_.step(select);
    if (rc == sqlite::kRow) {
        const unsigned char* text = api_.column_text(select, 0);
        stored = text != nullptr ? std::strtoull(reinterpret_cast<const char*>(text), nullptr, 10) : 0;
    }
    api_.finalize(select);
    if (rc != sqlite::kRow && rc != sqlite::kDone) {
        Fail("cannot read the ledger of");
    }
    return stored;
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

// No SQLite connection may cross fork() (SQLite's own rule): it is closed
// before, and opened again by the next write in the parent.
void SqliteStore::PrepareFork() noexcept {
    io_mutex_.lock();
    CloseConnection();
}

void SqliteStore::ParentAfterFork() noexcept { io_mutex_.unlock(); }

}  // namespace telem_pyb_log
