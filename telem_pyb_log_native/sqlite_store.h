#pragma once

// The SQLite store: the table log_points of one database file in WAL mode,
// which several recorders, threads and processes may share. Each batch is one
// transaction of multi-row INSERTs, which also notes the batch's series in
// log_points_series. Opening upgrades tables of an earlier version in place. A write waits up to `timeout` seconds for
// another connection's write lock. Before each write the store checks that the
// path still names the file it has open; if the file was deleted or replaced,
// it says so and makes a new one at the path. With a spool's identity, the
// table log_points_delivered counts the rows stored under it, in the
// transaction that stores them, so that rows sent again are not stored twice.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "sqlite_api.h"
#include "store.h"

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
    void Write(const Batch& batch, std::uint64_t first_seq, DeliveryEvents& events) override;
    void UseIdentity(const std::string& identity) override { identity_ = identity; }
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
    sqlite::Statement* Insert(int rows);
    sqlite::Statement* Prepare(const char* sql);
    bool TableExists(const char* name);
    long long QueryInt(const char* sql, long long none);
    void CreateOrUpgrade();
    void FillTypedColumns();
    void BindTyped(sqlite::Statement* stmt, int first, const TypedFields& typed);
    void WriteSeries(const Batch& batch);
    void Exec(const char* sql);
    std::uint64_t Delivered();
    [[noreturn]] void Fail(const std::string& what);
    static int OnBusy(void* self, int count);

    const std::string label_;
    const std::string path_;
    const double timeout_;
    const std::string sqlite_module_;
    const sqlite::Api& api_;

    std::mutex io_mutex_;  // held while the connection is in use
    std::mutex connection_mutex_;  // guards conn_ itself, for Interrupt
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
    std::atomic<bool> interrupted_{false};
    std::int64_t busy_since_ = 0;
    std::string identity_;  // a spool's; empty: no ledger
    bool ledger_ready_ = false;  // the connection has made sure of the ledger
};

}  // namespace telem_pyb_log
