#include "postgres_store.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "norv/telem/TelemException.h"
#include "postgres_internal.h"
#include "typed_fields.h"

namespace telem_pyb_log {

using namespace postgres;

namespace {

constexpr std::size_t kCopyPiece = 1 << 16;
// The server's side of a session that a lost host leaves behind: TCP
// keepalives find the host gone within about 25 s of silence, and a session
// idle in a transaction is ended (each of a write's steps is sent at once).
constexpr int kKeepaliveIdle = 10;
constexpr int kKeepaliveInterval = 5;
constexpr int kKeepaliveCount = 3;
constexpr int kUserTimeoutMs = 30'000;

// A dbname that libpq would read as a connection string or URI.
bool IsConninfo(const std::string& text) {
    return text.find('=') != std::string::npos || text.rfind("postgresql://", 0) == 0
           || text.rfind("postgres://", 0) == 0;
}

constexpr char kHidden[] = "********";

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Every "://user:PASSWORD@" of a URI, the password replaced: a user of no
// ':', '/', '@' or '?', then ':' and the password up to the next '@'.
std::string WithoutUriPasswords(const std::string& text) {
    std::string out;
    std::size_t done = 0;
    for (std::size_t scheme = text.find("://"); scheme != std::string::npos; scheme = text.find("://", scheme + 1)) {
        if (scheme < done) {
            continue;
        }
        std::size_t colon = scheme + 3;
        while (colon < text.size() && text[colon] != ':' && text[colon] != '/' && text[colon] != '@'
               && text[colon] != '?') {
            ++colon;
        }
        const std::size_t at = colon < text.size() && text[colon] == ':' ? text.find('@', colon + 1) : std::string::npos;
        if (at != std::string::npos) {
            out.append(text, done, colon + 1 - done).append(kHidden).push_back('@');
            done = at + 1;
        }
    }
    return out.append(text, done, std::string::npos);
}

// The end of a password's value at `at` in a connection string: a quoted
// text ('...', backslash escapes, no line break after a backslash) or a run
// of anything but spaces and quotes; npos if there is none.
std::size_t ValueEnd(const std::string& text, std::size_t at) {
    if (at < text.size() && text[at] == '\'') {
        for (std::size_t i = at + 1; i < text.size(); ++i) {
            if (text[i] == '\'') {
                return i + 1;
            }
            if (text[i] == '\\') {
                if (i + 1 >= text.size() || text[i + 1] == '\n' || text[i + 1] == '\r') {
                    return std::string::npos;
                }
                ++i;
            }
        }
        return std::string::npos;
    }
    std::size_t end = at;
    while (end < text.size() && !IsSpace(text[end]) && text[end] != '\'') {
        ++end;
    }
    return end > at ? end : std::string::npos;
}

// Every "password = VALUE" of a connection string, the value replaced.
std::string WithoutKeywordPasswords(const std::string& text) {
    static constexpr char kKeyword[] = "password";
    std::string out;
    std::size_t done = 0;
    for (std::size_t key = text.find(kKeyword); key != std::string::npos; key = text.find(kKeyword, key + 1)) {
        if (key < done) {
            continue;
        }
        std::size_t at = key + sizeof kKeyword - 1;
        while (at < text.size() && IsSpace(text[at])) {
            ++at;
        }
        if (at >= text.size() || text[at] != '=') {
            continue;
        }
        ++at;
        while (at < text.size() && IsSpace(text[at])) {
            ++at;
        }
        const std::size_t end = ValueEnd(text, at);
        if (end != std::string::npos) {
            out.append(text, done, at - done).append(kHidden);
            done = end;
        }
    }
    return out.append(text, done, std::string::npos);
}

// A connection string or URI with its password (as written) replaced.
std::string WithoutPassword(const std::string& text) { return WithoutKeywordPasswords(WithoutUriPasswords(text)); }

// The line of a COPY that the server refused, from its error's context
// ("COPY t, line 3, column value: ..."); 0 if it does not say.
std::size_t CopyLine(const char* context) {
    const char* at = context != nullptr ? std::strstr(context, ", line ") : nullptr;
    return at != nullptr ? std::strtoul(at + 7, nullptr, 10) : 0;
}

// Rows in COPY's text format: the id of the row's series, its typed
// fields, its mtime unless it is the stamp of its time, its value unless it
// is PostgreSQL's text of its number.
void AppendCopyRow(std::string& data, std::int64_t series, const RowView& row) {
    char id[24];
    data.append(id, std::to_chars(id, id + sizeof id, series).ptr);
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
    data += '\t';
    if (StampOfTime(row.mtime, row.typed)) {
        data += "\\N";
    } else {
        AppendCopyField(data, row.mtime);
    }
    data += '\t';
    if (PostgresNumberText(row.value, row.typed)) {
        data += "\\N";
    } else {
        AppendCopyField(data, row.value);
    }
    data += '\n';
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
      rows_(table_ + kRowsSuffix),
      upgrading_(table_ + kUpgradingSuffix),
      connect_timeout_(connect_timeout),
      write_timeout_(write_timeout),
      libpq_module_(std::move(libpq_module)),
      api_(pq::LoadApi(libpq_module_)) {
    ParseConninfo();
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
            if (!TablesReady(After(write_timeout_))) {
                CreateTables(After(write_timeout_));
            }
        } catch (const StoreError& e) {
            throw norv::telem::TelemException(label_ + ": cannot create the tables of " + where_ + ": " + e.what());
        }
    } catch (...) {
        Drop();
        close(interrupt_fd_);
        throw;
    }
}

// The parameters for messages, without the password, also one inside a
// dbname that is itself a connection string or URI. libpq's own parse
// errors quote the string, so they are not shown.
void PostgresStore::ParseConninfo() {
    std::string shown;
    std::string dbname;
    for (std::size_t pass = 0; pass < 2; ++pass) {
        const std::string& text = pass == 0 ? conninfo_ : dbname;
        if (pass == 1 && !IsConninfo(text)) {
            break;
        }
        char* parse_error = nullptr;
        pq::ConninfoOption* options = api_.conninfoParse(text.c_str(), &parse_error);
        if (options == nullptr) {
            if (parse_error != nullptr) {
                api_.freemem(parse_error);
            }
            if (pass == 1) {
                break;  // a dbname libpq takes as it is
            }
            where_ = table_ + " on PostgreSQL (an unparsable connection string)";
            throw norv::telem::TelemException(label_ + ": cannot connect to " + where_
                                              + ": it is not a valid libpq connection string");
        }
        for (pq::ConninfoOption* o = options; o->keyword != nullptr; ++o) {
            if (o->val == nullptr) {
                continue;
            }
            const std::string keyword = o->keyword;
            if (keyword == "password") {
                secrets_.emplace_back(o->val);
            } else if (pass == 0) {
                shown += (shown.empty() ? "" : " ") + keyword + "=" + o->val;
                if (keyword == "dbname") {
                    dbname = o->val;
                }
            }
        }
        api_.conninfoFree(options);
        if (pass == 1 && secrets_.size() > 0) {
            secrets_.push_back(dbname);  // shown as written, its password hidden
            shown.replace(shown.find("dbname=" + dbname) + 7, dbname.size(), WithoutPassword(dbname));
        }
    }
    std::sort(secrets_.begin(), secrets_.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
    where_ = Scrub(table_ + " on PostgreSQL (" + (shown.empty() ? "the default server" : shown) + ")");
}

PostgresStore::PostgresStore(const PostgresStore& settings, Unconnected)
    : label_(settings.label_),
      conninfo_(settings.conninfo_),
      table_(settings.table_),
      ledger_(settings.ledger_),
      series_(settings.series_),
      schema_(settings.schema_),
      rows_(settings.rows_),
      upgrading_(settings.upgrading_),
      connect_timeout_(settings.connect_timeout_),
      write_timeout_(settings.write_timeout_),
      libpq_module_(settings.libpq_module_),
      api_(settings.api_),
      secrets_(settings.secrets_),
      where_(settings.where_) {
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
    // this abandoned store, which is never destroyed. Its settings are
    // constant; the socket is kept apart for this.
    const int socket = socket_.exchange(-1);
    if (socket >= 0) {
        close(socket);
    }
    return std::unique_ptr<Store>(new PostgresStore(*this, Unconnected{}));
}

std::string PostgresStore::Scrub(std::string message) const {
    for (const std::string& secret : secrets_) {
        if (secret.empty()) {
            continue;
        }
        for (std::size_t at = message.find(secret); at != std::string::npos;
             at = message.find(secret, at + 8)) {
            message.replace(at, secret.size(), "********");
        }
    }
    return message;
}

void PostgresStore::Fail(const std::string& what) const {
    throw StoreError(Scrub(what + (conn_ != nullptr ? ": " + Trimmed(api_.errorMessage(conn_)) : std::string())));
}

void PostgresStore::Drop() noexcept {
    written_series_.Forget();
    if (conn_ != nullptr) {
        socket_.store(-1);
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

// Retention: finds the series that have rows older than the cutoff, then
// deletes their oldest rows through the index, series after series, until
// `max_rows` are gone.
std::uint64_t PostgresStore::DeleteBefore(std::int64_t before, std::uint64_t max_rows) {
    if (interrupted_.load() || conn_ == nullptr || api_.status(conn_) != pq::kConnectionOk) {
        return 0;  // the next write connects
    }
    const std::int64_t deadline = After(write_timeout_);
    char text[kTimeTextSize];
    FormatTime(before, text);
    const std::string cutoff = "'" + std::string(text, kTimeTextSize) + "'::timestamptz";
    const std::string rows = Quoted(rows_);
    std::uint64_t deleted = 0;
    try {
        const ResultPtr found_series =
            Run("SELECT s.id FROM " + Quoted(series_) + " s WHERE EXISTS (SELECT 1 FROM " + rows
                    + " r WHERE r.series = s.id AND r.time < " + cutoff + ")",
                pq::kTuplesOk, deadline);
        const int found = api_.ntuples(found_series.get());
        if (found == 0) {
            return 0;
        }
        Run("BEGIN", pq::kCommandOk, deadline);
        for (int i = 0; i < found && deleted < max_rows; ++i) {
            const ResultPtr done = Run(
                "DELETE FROM " + rows + " WHERE ctid = ANY (ARRAY(SELECT ctid FROM " + rows + " WHERE series = "
                + std::to_string(std::stoll(api_.getvalue(found_series.get(), i, 0))) + " AND time < " + cutoff
                + " ORDER BY time LIMIT " + std::to_string(max_rows - deleted) + "))",
                pq::kCommandOk, deadline);
            deleted += std::strtoull(api_.cmdTuples(done.get()), nullptr, 10);
        }
        Run("COMMIT", pq::kCommandOk, deadline);
    } catch (const StoreError& e) {
        // A statement the server refused (a trigger, a permission) leaves the
        // session usable once rolled back; after a timeout, an interruption
        // or a lost connection its state is unknown: the next write starts
        // anew and reads the ledger.
        bool usable = false;
        if (e.kind() == Failure::kTransient && !interrupted_.load() && conn_ != nullptr
            && api_.status(conn_) == pq::kConnectionOk) {
            try {
                if (api_.transactionStatus(conn_) != pq::kTransIdle) {
                    Run("ROLLBACK", pq::kCommandOk, After(write_timeout_));
                }
                usable = api_.transactionStatus(conn_) == pq::kTransIdle;
            } catch (const StoreError&) {
            }
        }
        if (!usable) {
            Drop();
            verify_ = true;
        }
        throw;
    }
    return deleted;
}

// Waits until the connection's socket is ready for `socket_events`.
void PostgresStore::Wait(int socket_events, std::int64_t deadline) {
    for (;;) {
        pollfd fds[2] = {{api_.socket(conn_), static_cast<short>(socket_events), 0}, {interrupt_fd_, POLLIN, 0}};
        if (fds[0].fd < 0) {
            throw StoreError("the connection to the server is lost");
        }
        const std::int64_t left = deadline - After(0);
        if (left <= 0) {
            char limit[32];
            std::snprintf(limit, sizeof limit, "%g", write_timeout_);
            throw StoreError(std::string("the server did not answer within ") + limit + " s", Failure::kTimeout);
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
            if (e.kind() == Failure::kTimeout) {
                char limit[32];
                std::snprintf(limit, sizeof limit, "%g", connect_timeout_);
                throw StoreError(std::string("no connection within connect_timeout (") + limit + " s)");
            }
            throw;
        }
        state = api_.connectPoll(conn_);
    }
    socket_.store(api_.socket(conn_));
    if (api_.setnonblocking(conn_, 1) != 0) {
        Fail("cannot use the connection");
    }
    const char* encoding = api_.parameterStatus(conn_, "server_encoding");
    if (encoding == nullptr || std::string(encoding) != "UTF8") {
        throw norv::telem::TelemException(label_ + ": " + where_ + " has the encoding "
                                          + (encoding != nullptr ? encoding : "(unknown)")
                                          + "; the log records need a UTF8 database");
    }
    SetSession(After(write_timeout_));
    verify_ = true;
}

// The session's settings, in one round trip: the server gives up a
// statement, or a lock wait, when the writer would; it commits durably; and
// it ends the session soon when its host is lost.
void PostgresStore::SetSession(std::int64_t deadline) {
    const char* version = api_.parameterStatus(conn_, "server_version");
    const bool user_timeout = version != nullptr && std::atoi(version) >= 12;
    const long idle = static_cast<long>(std::max(10.0, 2 * write_timeout_) * 1000);
    std::vector<std::string> settings = {
        "statement_timeout = " + std::to_string(static_cast<long>(write_timeout_ * 1000)),
        "synchronous_commit = on",
        "idle_in_transaction_session_timeout = " + std::to_string(idle),
        "tcp_keepalives_idle = " + std::to_string(kKeepaliveIdle),
        "tcp_keepalives_interval = " + std::to_string(kKeepaliveInterval),
        "tcp_keepalives_count = " + std::to_string(kKeepaliveCount),
        "client_min_messages = warning"};
    if (user_timeout) {
        settings.push_back("tcp_user_timeout = " + std::to_string(kUserTimeoutMs));
    }
    std::string sql;
    for (const std::string& s : settings) {
        sql += "SET " + s + "; ";
    }
    if (api_.sendQuery(conn_, sql.c_str()) == 0) {
        Fail("cannot send to the server");
    }
    FlushOutput(deadline);
    for (std::size_t i = 0; i < settings.size(); ++i) {
        const ResultPtr result = NextResult(deadline);
        if (!result || api_.resultStatus(result.get()) != pq::kCommandOk) {
            const std::string message =
                result ? Trimmed(api_.resultErrorMessage(result.get())) : std::string("no result from the server");
            DrainResults(deadline);
            throw StoreError(Scrub(message));
        }
    }
    DrainResults(deadline);
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

void PostgresStore::DrainResults(std::int64_t deadline) {
    while (NextResult(deadline)) {
    }
}

std::optional<std::uint64_t> PostgresStore::LedgerCount(const std::string& key, std::int64_t deadline) {
    const ResultPtr found =
        Run("SELECT stored FROM " + Quoted(ledger_) + " WHERE recorder_id = " + Literal(key), pq::kTuplesOk, deadline);
    if (api_.ntuples(found.get()) == 0) {
        return std::nullopt;
    }
    return std::stoull(api_.getvalue(found.get(), 0, 0));
}

void PostgresStore::Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) {
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
            if (!TablesReady(deadline)) {
                CreateTables(deadline);
            }
        }
        const LedgerPlan plan = Verify(batch, numbers, deadline, events);
        if (!plan.write) {
            return;
        }
        verify_ = true;  // until this write is known to have committed
        const std::size_t skip = static_cast<std::size_t>(plan.skip);
        Begin(batch, numbers, plan, deadline);
        if (batch.rows() > skip) {
            Copy(batch, skip, deadline);
        }
        Finish(batch.rows() > skip, skip, deadline);
        written_series_.Committed();
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

// The ledger: read after a write whose outcome is unknown, or under a key
// new to this store; otherwise the count the batch follows on.
LedgerPlan PostgresStore::Verify(const Batch& batch, const BatchNumbers& numbers, std::int64_t deadline,
                                 DeliveryEvents& events) {
    if (known_key_ != numbers.key) {
        known_key_ = numbers.key;
        known_from_.reset();
        verify_ = true;
    }
    if (!verify_) {
        LedgerPlan plan;
        plan.expect = numbers.follows;
        plan.advance = numbers.first - 1 + batch.rows();
        return plan;
    }
    const std::optional<std::uint64_t> stored = LedgerCount(numbers.key, deadline);
    const LedgerPlan plan = PlanLedger(stored, numbers, batch.rows(), known_from_);
    if (!known_from_) {
        known_from_ = stored.value_or(numbers.follows);
    }
    if (plan.behind_from != 0) {
        events.Behind(plan.behind_from, numbers.follows, where_);
    }
    if (plan.new_destination) {
        events.Fresh(numbers.follows, where_);
    }
    verify_ = false;
    return plan;
}

// One round trip opens the transaction, advances the ledger from the count
// this batch follows on, notes the batch's series and starts the COPY; the
// data follow only if the ledger showed that count. A batch with series new
// to the connection learns their ids first, and starts the COPY then.
void PostgresStore::Begin(const Batch& batch, const BatchNumbers& numbers, const LedgerPlan& plan,
                          std::int64_t deadline) {
    const bool copy = batch.rows() > plan.skip;
    const std::string advance = "INSERT INTO " + Quoted(ledger_) + " AS l (recorder_id, stored) VALUES ("
                                + Literal(numbers.key) + ", " + std::to_string(plan.advance)
                                + ") ON CONFLICT (recorder_id) DO UPDATE SET stored = EXCLUDED.stored "
                                  "WHERE l.stored = " + std::to_string(plan.expect);
    std::vector<Upserted> upserted;
    const std::string series = copy ? SeriesUpserts(batch, upserted) : std::string();
    const bool copy_now = copy && upserted.empty();
    if (api_.sendQuery(conn_, ("BEGIN; " + advance + "; " + series + (copy_now ? copy_sql_ : "")).c_str()) == 0) {
        Fail("cannot send to the server");
    }
    FlushOutput(deadline);
    for (std::size_t statement = 0; statement < 2 + upserted.size(); ++statement) {
        const ResultPtr result = NextResult(deadline);
        const int wanted = statement < 2 ? pq::kCommandOk : pq::kTuplesOk;
        if (!result || api_.resultStatus(result.get()) != wanted
            || (statement >= 2 && api_.ntuples(result.get()) != 1)) {
            const std::string message =
                result ? Trimmed(api_.resultErrorMessage(result.get())) : std::string("no result from the server");
            DrainResults(deadline);
            throw StoreError(Scrub(message));
        }
        if (statement == 1 && std::string(api_.cmdTuples(result.get())) != "1") {
            // The ledger does not show the count: refuse the COPY, which
            // ends the transaction (after the series' statements).
            if (copy_now) {
                for (ResultPtr next = NextResult(deadline); next && api_.resultStatus(next.get()) != pq::kCopyIn;
                     next = NextResult(deadline)) {
                }
                api_.putCopyEnd(conn_, "the ledger does not show the rows this batch follows on");
                FlushOutput(deadline);
            }
            DrainResults(deadline);
            throw StoreError("the ledger of " + where_ + " does not show " + std::to_string(plan.expect)
                             + " rows of this recorder; the batch is not written");
        }
        if (statement >= 2) {
            const Upserted& u = upserted[statement - 2];
            const std::int64_t id = std::stoll(api_.getvalue(result.get(), 0, 0));
            if (u.series != nullptr) {
                written_series_.Written(u.series, id);
            } else {
                written_series_.FullWritten(u.full_key, id);
            }
        }
    }
    if (copy && !copy_now) {
        DrainResults(deadline);
        if (api_.sendQuery(conn_, copy_sql_.c_str()) == 0) {
            Fail("cannot send to the server");
        }
        FlushOutput(deadline);
    }
    if (copy) {
        const ResultPtr copying = NextResult(deadline);
        if (!copying || api_.resultStatus(copying.get()) != pq::kCopyIn) {
            const std::string message = copying ? Trimmed(api_.resultErrorMessage(copying.get()))
                                                : std::string("no result from the server");
            DrainResults(deadline);
            throw StoreError(Scrub(message));
        }
    }
}

// The rows from `skip` on, in COPY's text format, sent in pieces.
void PostgresStore::Copy(const Batch& batch, std::size_t skip, std::int64_t deadline) {
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
    std::size_t index = 0;
    batch.ForEachEntry([&](const RowView& row, const std::shared_ptr<const Series>* series) {
        if (index++ < skip) {
            return;
        }
        AppendCopyRow(data, series != nullptr ? written_series_.Id(series->get())
                                              : written_series_.FullId(WrittenSeries::FullKey(row)),
                      row);
        if (data.size() >= kCopyPiece) {
            send();
        }
    });
    if (!data.empty()) {
        send();
    }
}

// The end of the COPY, its result, and the commit. A row the server refuses
// as data fails the write with its index.
void PostgresStore::Finish(bool copied, std::size_t skip, std::int64_t deadline) {
    if (copied) {
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
        const ResultPtr result = NextResult(deadline);
        if (!result || api_.resultStatus(result.get()) != pq::kCommandOk) {
            if (result) {
                Refused(result.get(), true, skip);
            }
            throw StoreError("no result from the server");
        }
        DrainResults(deadline);
    }
    const ResultPtr committed = Run("COMMIT", pq::kCommandOk, deadline);
}

// The error of a result: for the COPY, data the server refuses (a value it
// cannot take, a constraint of the table) is a refused row, with its index;
// a statement the server cancelled at statement_timeout timed out.
void PostgresStore::Refused(const pq::Result* result, bool rows, std::size_t skip) {
    const std::string message = Scrub(Trimmed(api_.resultErrorMessage(result)));
    const char* state = api_.resultErrorField(result, pq::kDiagSqlstate);
    const std::string sqlstate = state != nullptr ? state : "";
    if (rows && (sqlstate.rfind("22", 0) == 0 || sqlstate.rfind("23", 0) == 0)) {
        const std::size_t line = CopyLine(api_.resultErrorField(result, pq::kDiagContext));
        throw StoreError(message, Failure::kRowRefused,
                         line > 0 ? std::optional<std::size_t>(skip + line - 1) : std::nullopt);
    }
    throw StoreError(message, sqlstate == "57014" ? Failure::kTimeout : Failure::kTransient);
}

}  // namespace telem_pyb_log
