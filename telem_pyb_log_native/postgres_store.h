#pragma once

// The PostgreSQL store: a table that recorders of many processes and hosts
// share, each batch one COPY in one transaction, every row delivered exactly
// once. The ledger table <table>_delivered holds, per recorder, how many of
// its rows the table holds; the transaction that copies a batch advances it,
// and only from the count the batch follows on. After a write whose outcome is
// unknown (the connection dropped, the commit in doubt) the next reads the
// ledger first and sends only what the table lacks; a ledger behind the
// recorder (the server lost rows it had confirmed) is reported and delivery
// goes on from its count. Each batch's transaction also notes the metadata of
// its series in <table>_series. Opening upgrades a table of an earlier version
// in place.
//
// libpq is used without blocking: every step of a write waits for the server
// at most until the write's deadline (write_timeout; connect_timeout for
// connecting), and can be interrupted.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "libpq_api.h"
#include "store.h"

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
    void Write(const Batch& batch, std::uint64_t first_seq, DeliveryEvents& events) override;
    void UseIdentity(const std::string& identity) override { recorder_id_ = identity; }
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

    void Connect();
    void Drop() noexcept;
    void Wait(int socket_events, std::int64_t deadline);
    void FlushOutput(std::int64_t deadline);
    ResultPtr NextResult(std::int64_t deadline);
    ResultPtr Run(const std::string& sql, int expected, std::int64_t deadline);
    void CreateTables(std::int64_t deadline);
    void FillTypedColumns();
    static void AppendTypedLiterals(std::string& out, const TypedFields& typed);
    std::string SeriesUpserts(const Batch& batch, std::size_t& count);
    std::string Literal(const std::string& text) const;
    std::string Regclass(const std::string& relation) const;
    bool Exists(const std::string& relation, std::int64_t deadline);
    std::string ShapeProblems(const std::string& relation, bool ledger, std::int64_t deadline);
    std::uint64_t LedgerCount(std::int64_t deadline);
    std::string Quoted(const std::string& identifier) const;
    std::string Scrub(std::string message) const;
    [[noreturn]] void Fail(const std::string& what) const;

    const std::string label_;
    const std::string conninfo_;
    const std::string table_;
    const std::string ledger_;
    const std::string series_;  // <table>_series: each series' metadata as recorded
    const std::string schema_;  // <table>_schema: the shape's version and the upgrade's progress
    const double connect_timeout_;
    const double write_timeout_;
    const std::string libpq_module_;
    const pq::Api& api_;
    std::string password_;  // removed from every message
    std::string where_;
    std::string recorder_id_;  // this recorder's key in the ledger
    std::string copy_sql_;

    pq::Conn* conn_ = nullptr;
    int interrupt_fd_ = -1;
    std::atomic<bool> interrupted_{false};
    bool verify_ = false;  // the next write reads the ledger first
    // Rows of this recorder that the server confirmed and then lost: the
    // ledger counts that many fewer than the recorder wrote.
    std::uint64_t lost_ = 0;
};

}  // namespace telem_pyb_log
