#pragma once

// The SQLite store: the rows of log_points (a view of log_points_rows) of
// one database file in WAL mode, which several recorders, threads and
// processes may share. Each batch is one transaction of multi-row INSERTs,
// which also notes the batch's series new to the connection in
// log_points_series, learning their ids. Opening upgrades tables of an
// earlier version in place, moving their rows in transactions of their own.
// A write waits up to `timeout` seconds for another connection's write lock.
// Before each write the store checks that the path still names the file it
// has open; if the file was deleted or replaced, it reports the rows that
// went with it lost and makes a new file at the path. With a spool's
// identity (a durable key), the table log_points_delivered counts the rows
// stored under it, in the transaction that stores them, by the rule of
// numbering.h, so that rows sent again are not stored twice.
//
// Retention deletes through the index on (series, time), in a transaction of
// its own, waiting at most a second for another connection's lock.
//
// A write's steps: the file (Connect), the ledger (ReadLedger), the series
// (WriteSeries), the rows (Insert: a text longer than the connection's
// limit is refused with its row's index), the ledger's advance, the commit.
//
// Threads: the delivery loop's, except Interrupt (any thread; conn_ is read
// under connection_mutex_) and the fork handlers (the forking thread). No
// SQLite connection crosses fork() (SQLite's rule: its process-wide lock
// bookkeeping would be inherited half-changed): PrepareFork interrupts a
// write in progress, takes io_mutex_ (held by Write only while in SQLite,
// never while waiting for Python) and closes the connection without a
// checkpoint; Write does the interrupted write again after the fork, with
// a new connection.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite_api.h"
#include "store.h"
#include "written_series.h"

namespace telem_pyb_log {

class SqliteStore : public Store {
public:
    // Opens (creating) the file and its table; TelemException if it cannot,
    // or if the table exists with columns that cannot hold log records.
    // `sqlite_module` is the file of the interpreter's _sqlite3 module.
    SqliteStore(std::string label, std::string path, double timeout, std::string sqlite_module);
    ~SqliteStore() override;

    const std::string& where() const override { return path_; }
    RowFormat format() const override { return RowFormat::kUtf8; }
    void Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) override;
    bool deletes_rows() const override { return true; }
    std::uint64_t DeleteBefore(std::int64_t before, std::uint64_t max_rows) override;
    void Interrupt() noexcept override;
    void Close() noexcept override;
    void PrepareFork() noexcept override;
    void ParentAfterFork() noexcept override;
    std::unique_ptr<Store> ForChild() override;

private:
    struct Unopened {};
    SqliteStore(const SqliteStore& settings, Unopened);

    void Open();
    void CloseConnection() noexcept;
    bool FileReplaced() const;
    void RemoveOwnWal();
    sqlite::Statement* InsertStatement(int rows);
    sqlite::Statement* Prepare(const char* sql);
    bool TableExists(const char* name);
    bool ObjectExists(const char* name);
    bool Found(const char* sql, const char* name);
    long long QueryInt(const char* sql, long long none);
    void CreateOrUpgrade();
    std::vector<std::string> ColumnProblems(std::vector<std::string>& found);
    std::string RowsProblems();
    bool MoveOldRows();
    void FinishUpgrade();
    // A text that SQLite refused to bind (longer than the connection takes).
    struct TextRefused {
        int rc;
    };
    void BindRow(sqlite::Statement* stmt, int first, std::int64_t series, const RowView& row);
    void BindText(sqlite::Statement* stmt, int index, std::string_view text);
    std::int64_t UpsertSeries(const std::string_view (&fields)[9]);
    std::int64_t SeriesOfTexts(const RowView& row);
    void WriteSeries(const Batch& batch);
    void Exec(const char* sql);
    void WriteOnce(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events);
    void Connect(DeliveryEvents& events);
    LedgerPlan ReadLedger(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events);
    void Insert(const Batch& batch, std::size_t skip);
    void AdvanceLedger(const BatchNumbers& numbers, const LedgerPlan& plan);
    [[noreturn]] void Fail(const std::string& what);
    // A failed insert: a refusal of the rows as data (the row's index, if
    // known), or a failure of the store.
    [[noreturn]] void FailRows(int rc, std::optional<std::size_t> row);
    static int OnBusy(void* self, int count);

    const std::string label_;
    const std::string path_;
    const double timeout_;
    const std::string sqlite_module_;
    const sqlite::Api& api_;

    std::mutex io_mutex_;          // held while the connection is in use, and by a fork
    std::mutex connection_mutex_;  // guards conn_ itself, for Interrupt
    std::atomic<std::uint64_t> forks_{0};    // fork() calls that interrupted the connection
    std::atomic<bool> fork_pending_{false};  // a fork is waiting for the connection
    sqlite::Connection* conn_ = nullptr;
    struct FileId {
        dev_t device = 0;
        ino_t inode = 0;
        bool known = false;
    };
    static FileId IdOf(const std::string& path);
    FileId file_;
    FileId wal_, shm_;  // the WAL and shared-memory files the connection made
    std::uint64_t rows_in_file_ = 0;  // written through this connection
    int rows_per_insert_ = 1;
    std::map<int, sqlite::Statement*> inserts_;  // by row count
    sqlite::Statement* upsert_series_ = nullptr;
    sqlite::Statement* series_id_ = nullptr;
    WrittenSeries written_series_;  // on this connection
    std::atomic<bool> interrupted_{false};
    std::int64_t busy_since_ = 0;
    double busy_limit_ = timeout_;  // seconds the busy handler waits for another connection's lock
    bool ledger_ready_ = false;  // the connection has made sure of the ledger
    // The key this store wrote under, and the count its ledger showed for it
    // then (PlanLedger's `known_from`).
    std::string known_key_;
    std::optional<std::uint64_t> known_from_;
};

}  // namespace telem_pyb_log
