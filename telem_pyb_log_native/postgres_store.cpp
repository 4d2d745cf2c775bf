#include "postgres_store.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>
#include <vector>

#include "norv/telem/TelemException.h"
#include "random_uuid.h"
#include "typed_fields.h"

namespace telem_pyb_log {

namespace {

constexpr const char* kColumns[] = {"mtime", "tsname", "value", "btype", "units", "comment", "origin"};
constexpr const char* kLedgerSuffix = "_delivered";
constexpr const char* kSeriesSuffix = "_series";
constexpr const char* kSchemaSuffix = "_schema";
// The version of the tables' shape that this code makes; tables without
// <table>_schema are version 1 (the seven texts only).
constexpr int kSchemaVersion = 2;
constexpr int kFillRows = 10000;  // rows of an upgrade's transaction
// Serialises the creation of tables by recorders that start at the same time
// (CREATE TABLE IF NOT EXISTS alone may fail in all but one of them).
constexpr const char* kCreateLock = "500152151405";  // "telem" as a number
constexpr std::size_t kCopyPiece = 1 << 16;

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t After(double seconds) { return SteadyNs() + static_cast<std::int64_t>(seconds * 1e9); }

// libpq's message on one line: its line breaks (and the indentation after
// them) become one space.
std::string Trimmed(const char* message) {
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

}  // namespace

PostgresStore::PostgresStore(std::string label, std::string conninfo, std::string table, double connect_timeout,
                             double write_timeout, std::string libpq_module, bool connect_now)
    : label_(std::move(label)),
      conninfo_(std::move(conninfo)),
      table_(std::move(table)),
      ledger_(table_ + kLedgerSuffix),
      series_(table_ + kSeriesSuffix),
      schema_(table_ + kSchemaSuffix),
      connect_timeout_(connect_timeout),
      write_timeout_(write_timeout),
      libpq_module_(std::move(libpq_module)),
      api_(pq::LoadApi(libpq_module_)),
      recorder_id_(RandomUuid()) {
    // The parameters for messages, without the password. libpq's own parse
    // errors quote the string, so they are not shown.
    char* parse_error = nullptr;
    pq::ConninfoOption* options = api_.conninfoParse(conninfo_.c_str(), &parse_error);
    if (options == nullptr) {
        if (parse_error != nullptr) {
            api_.freemem(parse_error);
        }
        where_ = table_ + " on PostgreSQL (an unparsable connection string)";
        throw norv::telem::TelemException(label_ + ": cannot connect to " + where_
                                          + ": it is not a valid libpq connection string");
    }
    std::string shown;
    for (pq::ConninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr) {
            continue;
        }
        if (std::string(o->keyword) == "password") {
            password_ = o->val;
        } else {
            shown += (shown.empty() ? "" : " ") + std::string(o->keyword) + "=" + o->val;
        }
    }
    api_.conninfoFree(options);
    where_ = Scrub(table_ + " on PostgreSQL (" + (shown.empty() ? "the default server" : shown) + ")");

    interrupt_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (interrupt_fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    try {
        if (table_.empty()) {
            throw norv::telem::TelemException(label_ + ": the table name is empty");
        }
        if (!connect_now) {
            return;
        }
        try {
            Connect();
        } catch (const StoreError& e) {
            throw norv::telem::TelemException(label_ + ": cannot connect to " + where_ + ": " + e.what());
        }
        try {
            CreateTables(After(write_timeout_));
        } catch (const StoreError& e) {
            throw norv::telem::TelemException(label_ + ": cannot create the tables of " + where_ + ": " + e.what());
        }
    } catch (...) {
        Drop();
        close(interrupt_fd_);
        throw;
    }
}

PostgresStore::PostgresStore(const PostgresStore& settings, Unconnected)
    : label_(settings.label_),
      conninfo_(settings.conninfo_),
      table_(settings.table_),
      ledger_(settings.ledger_),
      series_(settings.series_),
      schema_(settings.schema_),
      connect_timeout_(settings.connect_timeout_),
      write_timeout_(settings.write_timeout_),
      libpq_module_(settings.libpq_module_),
      api_(settings.api_),
      password_(settings.password_),
      where_(settings.where_),
      recorder_id_(RandomUuid()),
      copy_sql_(settings.copy_sql_) {
    interrupt_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (interrupt_fd_ < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
}

PostgresStore::~PostgresStore() {
    Drop();
    if (interrupt_fd_ >= 0) {
        close(interrupt_fd_);
    }
}

std::unique_ptr<Store> PostgresStore::ForChild() {
    // This process must not end the parent's session (PQfinish would tell the
    // server so): only its copy of the socket is closed, the rest is left to
    // this abandoned store, which is never destroyed.
    if (conn_ != nullptr) {
        const int socket = api_.socket(conn_);
        if (socket >= 0) {
            close(socket);
        }
    }
    return std::unique_ptr<Store>(new PostgresStore(*this, Unconnected{}));
}

std::string PostgresStore::Scrub(std::string message) const {
    if (!password_.empty()) {
        for (std::size_t at = message.find(password_); at != std::string::npos;
             at = message.find(password_, at + 8)) {
            message.replace(at, password_.size(), "********");
        }
    }
    return message;
}

void PostgresStore::Fail(const std::string& what) const {
    throw StoreError(Scrub(what + (conn_ != nullptr ? ": " + Trimmed(api_.errorMessage(conn_)) : std::string())));
}

void PostgresStore::Drop() noexcept {
    if (conn_ != nullptr) {
        api_.finish(conn_);
        conn_ = nullptr;
    }
}

void PostgresStore::Interrupt() noexcept {
    interrupted_.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(interrupt_fd_, &one, sizeof one);
}

void PostgresStore::Close() noexcept { Drop(); }

// Waits until the connection's socket is ready for `socket_events`.
void PostgresStore::Wait(int socket_events, std::int64_t deadline) {
    for (;;) {
        pollfd fds[2] = {{api_.socket(conn_), static_cast<short>(socket_events), 0}, {interrupt_fd_, POLLIN, 0}};
        if (fds[0].fd < 0) {
            throw StoreError("the connection to the server is lost");
        }
        const std::int64_t left = deadline - SteadyNs();
        if (left <= 0) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", write_timeout_);
            throw StoreError(std::string("the server did not answer within ") + limit + " s");
        }
        const int ready = poll(fds, 2, static_cast<int>((left + 999'999) / 1'000'000));
        if (ready < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (fds[1].revents != 0 || interrupted_.load()) {
            throw StoreError("the write was interrupted");
        }
        if (ready > 0 && fds[0].revents != 0) {
            return;
        }
    }
}

void PostgresStore::Connect() {
    const std::int64_t deadline = After(connect_timeout_);
    conn_ = api_.connectStart(conninfo_.c_str());
    if (conn_ == nullptr) {
        throw StoreError("out of memory");
    }
    if (api_.status(conn_) == pq::kConnectionBad) {
        throw StoreError(Scrub(Trimmed(api_.errorMessage(conn_))));
    }
    // The server's notices (a table that exists already, a shutdown) are not
    // the user's business; libpq would print them on stderr.
    api_.setNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    int state = pq::kPollingWriting;
    while (state != pq::kPollingOk) {
        if (state == pq::kPollingFailed) {
            throw StoreError(Scrub(Trimmed(api_.errorMessage(conn_))));
        }
        try {
            Wait(state == pq::kPollingReading ? POLLIN : POLLOUT, deadline);
        } catch (const StoreError& e) {
            const std::string reason = e.what();
            if (reason.rfind("the server did not answer", 0) == 0) {
                char limit[32];
                std::snprintf(limit, sizeof limit, "%g", connect_timeout_);
                throw StoreError(std::string("no connection within connect_timeout (") + limit + " s)");
            }
            throw;
        }
        state = api_.connectPoll(conn_);
    }
    if (api_.setnonblocking(conn_, 1) != 0) {
        Fail("cannot use the connection");
    }
    const char* encoding = api_.parameterStatus(conn_, "server_encoding");
    if (encoding == nullptr || std::string(encoding) != "UTF8") {
        throw norv::telem::TelemException(label_ + ": " + where_ + " has the encoding "
                                          + (encoding != nullptr ? encoding : "(unknown)")
                                          + "; the log records need a UTF8 database");
    }
    // The server gives up a statement, or a lock wait, when the writer would.
    Run("SET statement_timeout = " + std::to_string(static_cast<long>(write_timeout_ * 1000)), pq::kCommandOk,
        After(write_timeout_));
    Run("SET client_min_messages = warning", pq::kCommandOk, After(write_timeout_));
    verify_ = true;
}

void PostgresStore::FlushOutput(std::int64_t deadline) {
    for (;;) {
        const int pending = api_.flush(conn_);
        if (pending == 0) {
            return;
        }
        if (pending < 0) {
            Fail("cannot send to the server");
        }
        Wait(POLLOUT | POLLIN, deadline);
        if (api_.consumeInput(conn_) == 0) {
            Fail("cannot read from the server");
        }
    }
}

PostgresStore::ResultPtr PostgresStore::NextResult(std::int64_t deadline) {
    while (api_.isBusy(conn_) != 0) {
        Wait(POLLIN, deadline);
        if (api_.consumeInput(conn_) == 0) {
            Fail("cannot read from the server");
        }
    }
    return ResultPtr(api_.getResult(conn_), ResultDeleter{&api_});
}

// Runs one statement and returns its result, which must have the status
// `expected`; throws StoreError with the server's message otherwise.
PostgresStore::ResultPtr PostgresStore::Run(const std::string& sql, int expected, std::int64_t deadline) {
    if (api_.sendQuery(conn_, sql.c_str()) == 0) {
        Fail("cannot send to the server");
    }
    FlushOutput(deadline);
    ResultPtr result = NextResult(deadline);
    if (!result) {
        Fail("no result from the server");
    }
    if (api_.resultStatus(result.get()) != expected) {
        const std::string message = Trimmed(api_.resultErrorMessage(result.get()));
        while (NextResult(deadline)) {
        }
        throw StoreError(Scrub(message));
    }
    if (expected != pq::kCopyIn) {
        while (NextResult(deadline)) {
        }
    }
    return result;
}

std::string PostgresStore::Quoted(const std::string& identifier) const {
    char* quoted = api_.escapeIdentifier(conn_, identifier.data(), identifier.size());
    if (quoted == nullptr) {
        Fail("cannot quote the name " + identifier);
    }
    std::string text = quoted;
    api_.freemem(quoted);
    return text;
}

// What keeps `relation` from being the log table (or, with `ledger`, the
// ledger) of a recorder; empty if nothing does or it does not exist. Other
// columns are allowed if they take a default.
std::string PostgresStore::Regclass(const std::string& relation) const {
    char* literal = api_.escapeLiteral(conn_, relation.data(), relation.size());
    if (literal == nullptr) {
        Fail("cannot quote the name " + relation);
    }
    const std::string name = std::string("to_regclass(quote_ident(") + literal + "))";
    api_.freemem(literal);
    return name;
}

bool PostgresStore::Exists(const std::string& relation, std::int64_t deadline) {
    const ResultPtr found = Run("SELECT " + Regclass(relation) + " IS NOT NULL", pq::kTuplesOk, deadline);
    return std::string(api_.getvalue(found.get(), 0, 0)) == "t";
}

std::string PostgresStore::ShapeProblems(const std::string& relation, bool ledger, std::int64_t deadline) {
    const std::string name = Regclass(relation);
    const ResultPtr kind =
        Run("SELECT relkind FROM pg_class WHERE oid = " + name, pq::kTuplesOk, deadline);
    if (api_.ntuples(kind.get()) == 0) {
        return "";
    }
    const std::string relkind = api_.getvalue(kind.get(), 0, 0);
    if (relkind != "r" && relkind != "p") {
        return "it is not a table";
    }
    const ResultPtr columns = Run(
        "SELECT a.attname, format_type(a.atttypid, a.atttypmod), a.attnotnull AND NOT a.atthasdef AND "
        "a.attidentity = '' FROM pg_attribute a WHERE a.attrelid = " + name + " AND a.attnum > 0 AND "
        "NOT a.attisdropped ORDER BY a.attnum",
        pq::kTuplesOk, deadline);
    std::vector<std::pair<std::string, std::string>> wanted;
    if (ledger) {
        wanted = {{"recorder_id", "uuid"}, {"stored", "bigint"}};
    } else {
        wanted = {{"id", "bigint"}};
        for (const char* c : kColumns) {
            wanted.emplace_back(c, "text");
        }
    }
    // Added by an upgrade where they are missing.
    const std::pair<std::string, std::string> typed[] = {{"time", "timestamp with time zone"},
                                                         {"number", "double precision"}};
    std::string problems;
    const auto add = [&](const std::string& p) { problems += (problems.empty() ? "" : "; ") + p; };
    std::vector<bool> seen(wanted.size(), false);
    for (int row = 0; row < api_.ntuples(columns.get()); ++row) {
        const std::string column = api_.getvalue(columns.get(), row, 0);
        const std::string type = api_.getvalue(columns.get(), row, 1);
        const bool needs_value = std::string(api_.getvalue(columns.get(), row, 2)) == "t";
        bool ours = false;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (wanted[i].first == column) {
                ours = seen[i] = true;
                if (type != wanted[i].second) {
                    add(column + " is " + type + ", not " + wanted[i].second);
                }
            }
        }
        for (const auto& [name, wanted_type] : typed) {
            if (!ledger && name == column) {
                ours = true;
                if (type != wanted_type) {
                    add(column + " is " + type + ", not " + wanted_type);
                }
            }
        }
        if (!ours && needs_value) {
            add(column + " needs a value that log records do not give");
        }
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!seen[i]) {
            add("there is no column " + wanted[i].first);
        }
    }
    return problems;
}

void PostgresStore::CreateTables(std::int64_t deadline) {
    const ResultPtr limit = Run("SHOW max_identifier_length", pq::kTuplesOk, deadline);
    const std::size_t max_length = std::stoul(api_.getvalue(limit.get(), 0, 0));
    if (table_.size() > max_length) {
        throw norv::telem::TelemException(label_ + ": the table name " + table_ + " is longer than the "
                                          + std::to_string(max_length) + " bytes that PostgreSQL allows");
    }
    if (ledger_.size() > max_length) {
        throw norv::telem::TelemException(
            label_ + ": the table name " + table_ + " is too long: the name of its ledger, " + ledger_ + ", would be "
            + std::to_string(ledger_.size()) + " bytes, more than the " + std::to_string(max_length)
            + " that PostgreSQL allows (keep table names to " + std::to_string(max_length - 10) + " bytes)");
    }
    const std::string table = Quoted(table_);
    const std::string ledger = Quoted(ledger_);
    copy_sql_ = "COPY " + table + " (mtime, tsname, value, btype, units, comment, origin, time, number) FROM STDIN";
    Run("BEGIN", pq::kCommandOk, deadline);
    try {
        Run(std::string("SELECT pg_advisory_xact_lock(") + kCreateLock + ")", pq::kTuplesOk, deadline);
        // A name that is another log table's ledger, series or schema table.
        for (const auto& [suffix_text, role] : {std::pair<const char*, const char*>{kLedgerSuffix, "ledger"},
                                                {kSeriesSuffix, "series table"},
                                                {kSchemaSuffix, "schema table"}}) {
            const std::size_t suffix = std::char_traits<char>::length(suffix_text);
            if (table_.size() > suffix && table_.compare(table_.size() - suffix, suffix, suffix_text) == 0) {
                const std::string owner = table_.substr(0, table_.size() - suffix);
                if (Exists(owner, deadline) && ShapeProblems(owner, false, deadline).empty()) {
                    throw norv::telem::TelemException(label_ + ": the table name " + table_ + " is the name of the "
                                                      + role + " of the log table " + owner + "; choose another name");
                }
            }
        }
        const bool existed = Exists(table_, deadline);
        long long version = kSchemaVersion;
        if (existed) {
            version = 1;
            if (Exists(schema_, deadline)) {
                const ResultPtr found =
                    Run("SELECT max(version) FROM " + Quoted(schema_), pq::kTuplesOk, deadline);
                if (api_.getisnull(found.get(), 0, 0) == 0) {
                    version = std::stoll(api_.getvalue(found.get(), 0, 0));
                }
            }
            if (version > kSchemaVersion) {
                throw norv::telem::TelemException(
                    label_ + ": the table " + table_ + " on PostgreSQL was made by a newer version of telem_pyb_log "
                    "(schema " + std::to_string(version) + "; this version knows schemas up to "
                    + std::to_string(kSchemaVersion) + "); record into it with that version");
            }
        }
        std::string problems = ShapeProblems(table_, false, deadline);
        if (!problems.empty()) {
            throw norv::telem::TelemException(label_ + ": the table " + table_ + " on PostgreSQL exists with other "
                                              "columns (" + problems + "); it cannot hold log records");
        }
        problems = ShapeProblems(ledger_, true, deadline);
        if (!problems.empty()) {
            throw norv::telem::TelemException(label_ + ": the table " + table_ + " needs " + ledger_
                                              + " as its ledger, which exists as another table (" + problems + ")");
        }
        const std::string schema = Quoted(schema_);
        if (!existed) {
            std::string fields;
            for (const char* c : kColumns) {
                fields += std::string(", ") + c + " text NOT NULL";
            }
            Run("CREATE TABLE " + table + " (id bigint GENERATED ALWAYS AS IDENTITY" + fields
                    + ", time timestamptz, number double precision)",
                pq::kCommandOk, deadline);
            Run("CREATE TABLE IF NOT EXISTS " + schema + " (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
                pq::kCommandOk, deadline);
            Run("DELETE FROM " + schema, pq::kCommandOk, deadline);
            Run("INSERT INTO " + schema + " VALUES (2, 0)", pq::kCommandOk, deadline);
        } else if (version < kSchemaVersion) {
            // The rows up to the last one lack their typed fields, which
            // FillTypedColumns adds; later ones are written with them.
            Run("ALTER TABLE " + table + " ADD COLUMN IF NOT EXISTS time timestamptz, "
                "ADD COLUMN IF NOT EXISTS number double precision", pq::kCommandOk, deadline);
            Run("CREATE TABLE IF NOT EXISTS " + schema + " (version integer NOT NULL, unfilled_upto bigint NOT NULL)",
                pq::kCommandOk, deadline);
            Run("DELETE FROM " + schema, pq::kCommandOk, deadline);
            Run("INSERT INTO " + schema + " SELECT 2, coalesce(max(id), 0) FROM " + table, pq::kCommandOk, deadline);
            // The table has no index on id (nothing reads by it); the fill's
            // batches do, and it is dropped when they are done.
            Run("CREATE INDEX IF NOT EXISTS " + Quoted(table_ + "_upgrade_id") + " ON " + table + " (id)",
                pq::kCommandOk, deadline);
        }
        Run("CREATE INDEX IF NOT EXISTS " + Quoted(table_ + "_tsname_time") + " ON " + table + " (tsname, time)",
            pq::kCommandOk, deadline);
        Run("CREATE TABLE IF NOT EXISTS " + ledger + " (recorder_id uuid PRIMARY KEY, stored bigint NOT NULL)",
            pq::kCommandOk, deadline);
        Run("CREATE TABLE IF NOT EXISTS " + Quoted(series_) + " (key text PRIMARY KEY, tsid text NOT NULL, "
            "tsname text NOT NULL, btype text NOT NULL, units text NOT NULL, origin text NOT NULL, "
            "serial text NOT NULL, role text NOT NULL, comment text NOT NULL, json text NOT NULL, "
            "first_written timestamptz NOT NULL, last_written timestamptz NOT NULL)",
            pq::kCommandOk, deadline);
        Run("COMMIT", pq::kCommandOk, deadline);
        FillTypedColumns();
    } catch (...) {
        Drop();
        throw;
    }
}

// Fills the typed columns of the rows an upgrade found, from their texts,
// newest first, kFillRows rows a transaction (each within write_timeout);
// <table>_schema keeps the last row not yet filled, so that a fill that was
// cut off goes on later.
void PostgresStore::FillTypedColumns() {
    const std::string table = Quoted(table_);
    const std::string schema = Quoted(schema_);
    for (;;) {
        const std::int64_t deadline = After(write_timeout_);
        Run("BEGIN", pq::kCommandOk, deadline);
        const ResultPtr upto_found =
            Run("SELECT unfilled_upto FROM " + schema + " FOR UPDATE", pq::kTuplesOk, deadline);
        const long long upto =
            api_.ntuples(upto_found.get()) == 0 ? 0 : std::stoll(api_.getvalue(upto_found.get(), 0, 0));
        if (upto <= 0) {
            Run("DROP INDEX IF EXISTS " + Quoted(table_ + "_upgrade_id"), pq::kCommandOk, deadline);
            Run("COMMIT", pq::kCommandOk, deadline);
            return;
        }
        const ResultPtr rows = Run("SELECT id, mtime, value FROM " + table + " WHERE id <= " + std::to_string(upto)
                                       + " ORDER BY id DESC LIMIT " + std::to_string(kFillRows),
                                   pq::kTuplesOk, deadline);
        const int count = api_.ntuples(rows.get());
        long long lowest = upto + 1;
        std::string values;
        for (int i = 0; i < count; ++i) {
            const TypedFields typed = TypedFromTexts(api_.getvalue(rows.get(), i, 1), api_.getvalue(rows.get(), i, 2));
            const char* id = api_.getvalue(rows.get(), i, 0);
            lowest = std::stoll(id);
            if (!typed.has_time && !typed.has_number) {
                continue;  // stays NULL: nothing to write
            }
            values += values.empty() ? "(" : ",(";
            values += id;
            values += ",";
            AppendTypedLiterals(values, typed);
            values += ")";
        }
        if (!values.empty()) {
            Run("UPDATE " + table + " AS t SET time = v.time, number = v.number FROM (VALUES " + values
                    + ") AS v (id, time, number) WHERE t.id = v.id AND t.id BETWEEN " + std::to_string(lowest)
                    + " AND " + std::to_string(upto),
                pq::kCommandOk, deadline);
        }
        const long long next = count < kFillRows ? 0 : lowest - 1;
        Run("UPDATE " + schema + " SET unfilled_upto = " + std::to_string(next), pq::kCommandOk, deadline);
        Run("COMMIT", pq::kCommandOk, deadline);
    }
}

// The typed fields as SQL literals: "time, number".
void PostgresStore::AppendTypedLiterals(std::string& out, const TypedFields& typed) {
    if (typed.has_time) {
        char text[kTimeTextSize];
        FormatTime(typed.time, text);
        out += "'";
        out.append(text, kTimeTextSize);
        out += "'::timestamptz,";
    } else {
        out += "NULL::timestamptz,";
    }
    if (typed.has_number) {
        out += "'";
        AppendNumberText(out, typed.number);
        out += "'::float8";
    } else {
        out += "NULL::float8";
    }
}

// One upsert statement per series that the batch's rows refer to, each
// ending with "; "; `count` is set to their number.
std::string PostgresStore::SeriesUpserts(const Batch& batch, std::size_t& count) {
    const std::vector<const Series*> series = batch.DistinctSeries();
    std::string sql;
    for (const Series* s : series) {
        const norv::telem::TsMetadata& m = s->meta;
        const std::string* fields[] = {&m.tsid,   &m.tsname, &m.btype,   &m.units, &m.origin,
                                       &m.serial, &m.role,   &m.comment, &m.json};
        // The key: the nine texts, each after its length, hashed.
        std::string key, literals;
        for (const std::string* field : fields) {
            key += std::to_string(field->size()) + ":" + *field;
            literals += ", " + Literal(*field);
        }
        sql += "INSERT INTO " + Quoted(series_) + " AS s VALUES (md5(" + Literal(key) + ")" + literals
               + ", now(), now()) ON CONFLICT (key) DO UPDATE SET last_written = EXCLUDED.last_written; ";
    }
    count = series.size();
    return sql;
}

std::string PostgresStore::Literal(const std::string& text) const {
    char* quoted = api_.escapeLiteral(conn_, text.data(), text.size());
    if (quoted == nullptr) {
        Fail("cannot quote a text of the metadata");
    }
    std::string literal = quoted;
    api_.freemem(quoted);
    return literal;
}

std::uint64_t PostgresStore::LedgerCount(std::int64_t deadline) {
    const ResultPtr found = Run("SELECT stored FROM " + Quoted(ledger_) + " WHERE recorder_id = '" + recorder_id_ + "'",
                                pq::kTuplesOk, deadline);
    return api_.ntuples(found.get()) == 0 ? 0 : std::stoull(api_.getvalue(found.get(), 0, 0));
}

void PostgresStore::Write(const Batch& batch, std::uint64_t first_seq, DeliveryEvents& events) {
    const std::int64_t deadline = After(write_timeout_);
    try {
        if (interrupted_.load()) {
            throw StoreError("the write was interrupted");
        }
        if (conn_ != nullptr && api_.status(conn_) != pq::kConnectionOk) {
            Drop();
        }
        if (conn_ == nullptr) {
            // The tables again: one may have been dropped meanwhile.
            Connect();
            CreateTables(deadline);
        }
        // The ledger counts this recorder's rows less those the server lost.
        std::uint64_t before = first_seq - 1 - lost_;
        std::size_t skip = 0;
        if (verify_) {
            const std::uint64_t stored = LedgerCount(deadline);
            if (stored < before) {
                const std::uint64_t lost = before - stored;
                const std::uint64_t first = first_seq - lost;
                events.Lost(lost, "the server lost " + std::to_string(lost) + " rows that it had confirmed: rows "
                                      + std::to_string(first) + " to " + std::to_string(first_seq - 1)
                                      + " of this recorder are not in " + where_ + " (its ledger counts "
                                      + std::to_string(stored) + "); delivery goes on from its count");
                lost_ += lost;
                before = stored;
            } else if (stored > before) {
                // An earlier attempt at this batch committed after all.
                skip = static_cast<std::size_t>(std::min<std::uint64_t>(stored - before, batch.rows()));
                before += skip;
            }
            verify_ = false;
        }
        if (skip == batch.rows()) {
            return;
        }
        verify_ = true;  // until this write is known to have committed
        // One round trip opens the transaction, advances the ledger from the
        // count this batch follows on, and starts the COPY; the data follow
        // only if the ledger showed that count.
        const std::uint64_t rows = batch.rows() - skip;
        const std::string advance = "INSERT INTO " + Quoted(ledger_) + " AS l (recorder_id, stored) VALUES ('"
                                    + recorder_id_ + "', " + std::to_string(before + rows)
                                    + ") ON CONFLICT (recorder_id) DO UPDATE SET stored = EXCLUDED.stored "
                                      "WHERE l.stored = "
                                    + std::to_string(before);
        std::size_t upserts = 0;
        const std::string series = SeriesUpserts(batch, upserts);
        const std::size_t statements = 2 + upserts;
        if (api_.sendQuery(conn_, ("BEGIN; " + advance + "; " + series + copy_sql_).c_str()) == 0) {
            Fail("cannot send to the server");
        }
        FlushOutput(deadline);
        for (std::size_t statement = 0; statement < statements; ++statement) {
            const int expected = pq::kCommandOk;
            const ResultPtr result = NextResult(deadline);
            if (!result || api_.resultStatus(result.get()) != expected) {
                const std::string message =
                    result ? Trimmed(api_.resultErrorMessage(result.get())) : std::string("no result from the server");
                while (NextResult(deadline)) {
                }
                throw StoreError(Scrub(message));
            }
            if (statement == 1 && std::string(api_.cmdTuples(result.get())) != "1") {
                // The ledger does not show the count: refuse the COPY, which
                // ends the transaction (after the series' statements).
                for (ResultPtr next = NextResult(deadline);
                     next && api_.resultStatus(next.get()) != pq::kCopyIn; next = NextResult(deadline)) {
                }
                api_.putCopyEnd(conn_, "the ledger does not show the rows this batch follows on");
                FlushOutput(deadline);
                while (NextResult(deadline)) {
                }
                throw StoreError("the ledger of " + where_ + " does not show " + std::to_string(before)
                                 + " rows of this recorder; the batch is not written");
            }
        }
        {
            const ResultPtr copying = NextResult(deadline);
            if (!copying || api_.resultStatus(copying.get()) != pq::kCopyIn) {
                const std::string message = copying ? Trimmed(api_.resultErrorMessage(copying.get()))
                                                    : std::string("no result from the server");
                while (NextResult(deadline)) {
                }
                throw StoreError(Scrub(message));
            }
        }
        std::string data;
        data.reserve(kCopyPiece + 4096);
        const auto send = [&] {
            for (;;) {
                const int sent = api_.putCopyData(conn_, data.data(), static_cast<int>(data.size()));
                if (sent == 1) {
                    break;
                }
                if (sent < 0) {
                    Fail("cannot send to the server");
                }
                Wait(POLLOUT, deadline);
            }
            data.clear();
            FlushOutput(deadline);
        };
        // The texts a series' rows share are escaped once: the rows of one
        // series point to the same texts.
        const char* series_texts = nullptr;
        std::string tsname, rest;
        std::size_t index = 0;
        batch.ForEach([&](const RowView& row) {
            if (index++ < skip) {
                return;
            }
            if (row.tsname.data() != series_texts || series_texts == nullptr) {
                series_texts = row.tsname.data();
                tsname.clear();
                AppendCopyField(tsname, row.tsname);
                rest.clear();
                for (const std::string_view field : {row.btype, row.units, row.comment, row.origin}) {
                    rest += '\t';
                    AppendCopyField(rest, field);
                }
            }
            AppendCopyField(data, row.mtime);
            data += '\t';
            data += tsname;
            data += '\t';
            AppendCopyField(data, row.value);
            data += rest;
            if (row.typed.has_time) {
                char text[kTimeTextSize];
                FormatTime(row.typed.time, text);
                data += '\t';
                data.append(text, kTimeTextSize);
            } else {
                data += "\t\\N";
            }
            if (row.typed.has_number) {
                data += '\t';
                AppendNumberText(data, row.typed.number);
            } else {
                data += "\t\\N";
            }
            data += '\n';
            if (data.size() >= kCopyPiece) {
                send();
            }
        });
        if (!data.empty()) {
            send();
        }
        for (;;) {
            const int ended = api_.putCopyEnd(conn_, nullptr);
            if (ended == 1) {
                break;
            }
            if (ended < 0) {
                Fail("cannot send to the server");
            }
            Wait(POLLOUT, deadline);
        }
        FlushOutput(deadline);
        {
            ResultPtr copied = NextResult(deadline);
            if (!copied || api_.resultStatus(copied.get()) != pq::kCommandOk) {
                const std::string message =
                    copied ? Trimmed(api_.resultErrorMessage(copied.get())) : std::string("no result from the server");
                throw StoreError(Scrub(message));
            }
            while (NextResult(deadline)) {
            }
        }
        Run("COMMIT", pq::kCommandOk, deadline);
        verify_ = false;
    } catch (const StoreError&) {
        // The connection is in an unknown state; the next write starts anew
        // and reads the ledger.
        Drop();
        verify_ = true;
        throw;
    } catch (const norv::telem::TelemException& e) {
        Drop();
        verify_ = true;
        throw StoreError(e.what());
    }
}

}  // namespace telem_pyb_log
