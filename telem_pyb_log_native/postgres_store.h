#pragma once

// The PostgreSQL store: a table that recorders of many processes and hosts
// share, each batch one COPY in one transaction, every row delivered exactly
// once. The ledger table <table>_delivered holds, per key (a recorder's, or
// its spool's), the last row number the table holds; the transaction that
// copies a batch advances it, and only from the count the batch follows on
// (numbering.h). After a write whose outcome is unknown (the connection
// dropped, the commit in doubt) the next reads the ledger first and sends
// only what the table lacks; a ledger behind (the server lost rows it had
// confirmed) is reported and delivery goes on from its count. Each batch's
// transaction also notes the metadata of its series in <table>_series (the
// first batch of a series on a connection, which learns the series' id);
// its rows go to <table>_rows, naming their series by that id.
// Opening upgrades a table of an earlier version in place
// (postgres_tables.cpp).
//
// A write's steps: the connection (made, its session set, its tables
// checked without a lock when they are there), the ledger (Verify), one
// round trip that opens the transaction, advances the ledger, notes the
// series and starts the COPY (Begin), the rows (Copy), the results and the
// commit (Finish). A row the server refuses as data (a COPY's data error or
// constraint) fails the write with kRowRefused and the row's index.
//
// The session that a host lost in the middle of a write leaves behind holds
// the table's lock and its ledger row until the server notices: the store
// sets TCP keepalives and server-side timeouts for its own sessions, so that
// the server ends such a session within about a minute; connecting takes no
// lock when the tables are there. Its commits are synchronous
// (synchronous_commit = on), whatever the server's default: with a spool,
// rows are let go once the server says they are durable.
//
// Retention deletes through the index on (series, time), by the rows' places
// (ctid), in a transaction of its own within write_timeout.
//
// libpq is used without blocking: every step of a write waits for the server
// at most until the write's deadline (write_timeout; connect_timeout for
// connecting), and can be interrupted. Threads: the delivery loop's, except
// Interrupt (any thread).

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "libpq_api.h"
#include "store.h"
#include "written_series.h"

namespace telem_pyb_log {

class PostgresStore : public Store {
public:
    // Connects, checks the server and the tables, and creates them if they
    // are missing; TelemException (naming the table) if anything is wrong.
    // No message of the store shows the connection string's password.
    // With `connect_now` false it only checks its settings here, and
    // connects, and creates the tables, with its first write.
    PostgresStore(std::string label, std::string conninfo, std::string table, double connect_timeout,
                  double write_timeout, std::string libpq_module, bool connect_now = true);
    ~PostgresStore() override;

    const std::string& where() const override { return where_; }
    RowFormat format() const override { return RowFormat::kCopyText; }
    void Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) override;
    bool deletes_rows() const override { return true; }
    std::uint64_t DeleteBefore(std::int64_t before, std::uint64_t max_rows) override;
    void Interrupt() noexcept override;
    void Close() noexcept override;
    std::unique_ptr<Store> ForChild() override;

private:
    struct ResultDeleter {
        const pq::Api* api;
        void operator()(pq::Result* r) const { api->clear(r); }
    };
    using ResultPtr = std::unique_ptr<pq::Result, ResultDeleter>;
    struct Unconnected {};
    PostgresStore(const PostgresStore& settings, Unconnected);

    void ParseConninfo();
    void Connect();
    void SetSession(std::int64_t deadline);
    void Drop() noexcept;
    void Wait(int socket_events, std::int64_t deadline);
    void FlushOutput(std::int64_t deadline);
    ResultPtr NextResult(std::int64_t deadline);
    ResultPtr Run(const std::string& sql, int expected, std::int64_t deadline);
    void DrainResults(std::int64_t deadline);
    [[noreturn]] void Refused(const pq::Result* result, bool rows, std::size_t skip);

    // The write's steps.
    LedgerPlan Verify(const Batch& batch, const BatchNumbers& numbers, std::int64_t deadline, DeliveryEvents& events);
    void Begin(const Batch& batch, const BatchNumbers& numbers, const LedgerPlan& plan, std::int64_t deadline);
    void Copy(const Batch& batch, std::size_t skip, std::int64_t deadline);
    void Finish(bool copied, std::size_t skip, std::int64_t deadline);

    // The tables (postgres_tables.cpp).
    bool TablesReady(std::int64_t deadline);
    void CreateTables(std::int64_t deadline);
    void CheckNames(std::size_t max_length) const;
    void CheckNotAnothersPart(std::int64_t deadline);
    long long ExistingVersion(std::int64_t deadline);
    void CreateTable(std::int64_t deadline);
    void Upgrade(long long version, std::int64_t deadline);
    void CreateOthers(std::int64_t deadline);
    std::string ViewSql(bool upgrading) const;
    void MoveOldRows();
    void Finalize(std::int64_t deadline);
    static void AppendTypedLiterals(std::string& out, const TypedFields& typed);
    std::string SeriesUpsert(const std::string_view (&fields)[9]) const;
    // The upserts of the batch's series not written yet (and of the texts of
    // its full rows not known yet), each with RETURNING id; `written` gets
    // what each result's id goes to.
    struct Upserted {
        const Series* series = nullptr;  // or, for a full row's texts:
        std::string full_key;
    };
    std::string SeriesUpserts(const Batch& batch, std::vector<Upserted>& written);
    enum class Shape { kLog, kLedger, kRows };
    std::string Literal(const std::string& text) const;
    std::string Regclass(const std::string& relation) const;
    bool Exists(const std::string& relation, std::int64_t deadline);
    std::string ShapeProblems(const std::string& relation, Shape shape, std::int64_t deadline);
    std::optional<std::uint64_t> LedgerCount(const std::string& key, std::int64_t deadline);
    std::string Quoted(const std::string& identifier) const;
    std::string Scrub(std::string message) const;
    [[noreturn]] void Fail(const std::string& what) const;

    const std::string label_;
    const std::string conninfo_;
    const std::string table_;
    const std::string ledger_;
    const std::string series_;  // <table>_series: each series' metadata as recorded
    WrittenSeries written_series_;  // on this connection (writer thread)
    const std::string schema_;  // <table>_schema: the shape's version and the upgrade's progress
    const std::string rows_;    // <table>_rows: the rows, <table> being their view
    const std::string upgrading_;  // <table>_upgrading: a table of an earlier version being moved
    const double connect_timeout_;
    const double write_timeout_;
    const std::string libpq_module_;
    const pq::Api& api_;
    std::vector<std::string> secrets_;  // removed from every message: passwords, strings holding one
    std::string where_;
    std::string copy_sql_;

    pq::Conn* conn_ = nullptr;
    std::atomic<int> socket_{-1};  // conn_'s, for a child after fork() to close its copy
    int interrupt_fd_ = -1;
    std::atomic<bool> interrupted_{false};
    bool verify_ = false;  // the next write reads the ledger first
    // The key this store wrote under, and the count its ledger showed for it
    // then (PlanLedger's `known_from`).
    std::string known_key_;
    std::optional<std::uint64_t> known_from_;
};

}  // namespace telem_pyb_log
