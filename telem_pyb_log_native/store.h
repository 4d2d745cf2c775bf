#pragma once

// Where a pipeline's rows go. The delivery loop (delivery.h) drives its store
// from one thread: one batch at a time, a failed write retried or split by
// what its error means. Each store's Write is split into its steps: the
// ledger (numbering.h: which rows it holds already), the encoding of the
// rows, and the results of the server.
//
// Threads: every member is called by the delivery loop's thread, except
// where(), format() and calls_python() (any thread: they do not change) and
// Interrupt() (any thread). A store takes no lock of the pipeline and holds
// none of its own while it calls DeliveryEvents.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "numbering.h"
#include "row_text.h"
#include "rows.h"

namespace telem_pyb_log {

// What a failed write means, and so what the loop does next.
enum class Failure {
    kTransient,   // the store is down, locked, unreachable: the same rows again, with backoff
    kTimeout,     // the write ran out of time: the batch is split before it is tried again
    kRowRefused,  // the store refuses a row as data and always will: it is set aside
};

// A write that failed; its message names the cause. With kRowRefused, `row`
// is the index in the batch of the refused row when the store knows it (else
// the loop splits the batch until one row is left).
class StoreError : public std::runtime_error {
public:
    explicit StoreError(const std::string& what, Failure kind = Failure::kTransient,
                        std::optional<std::size_t> row = std::nullopt)
        : std::runtime_error(what), kind_(kind), row_(row) {}
    Failure kind() const { return kind_; }
    std::optional<std::size_t> row() const { return row_; }

private:
    Failure kind_;
    std::optional<std::size_t> row_;
};

// What a store reports while it writes, besides its result. The loop logs
// it after the write returns, with no lock held.
class DeliveryEvents {
public:
    // Something the user should know that is not a failure of this write.
    virtual void Warn(const std::string& message) = 0;
    // The store lost `rows` rows that it had confirmed (a file deleted).
    virtual void Lost(std::uint64_t rows, const std::string& message) = 0;
    // The store's ledger is behind: numbers `from` .. `to` of the key, which
    // it had confirmed, are not in it any more; delivery goes on from there.
    virtual void Behind(std::uint64_t from, std::uint64_t to, const std::string& where) = 0;
    // The key is new to the store's ledger, while numbers up to `follows`
    // were given before: they went to another destination.
    virtual void Fresh(std::uint64_t follows, const std::string& where) = 0;

protected:
    ~DeliveryEvents() = default;
};

class Store {
public:
    virtual ~Store() = default;

    // Names the store in messages: a file, a table on a server.
    virtual const std::string& where() const = 0;
    virtual RowFormat format() const = 0;
    // True for a store written in Python: it is called with the interpreter
    // lock, which it takes itself, and cannot be interrupted.
    virtual bool calls_python() const { return false; }

    // Stores `batch` in one transaction as the rows `numbers` names,
    // connecting first if there is no connection. A store with a ledger
    // skips the rows it holds already (PlanLedger). Throws StoreError when it
    // fails; rows that an attempt stored although it failed (a commit in
    // doubt) are not stored again by the next. NumberingError if its ledger
    // is ahead of every number given.
    virtual void Write(const Batch& batch, const BatchNumbers& numbers, DeliveryEvents& events) = 0;

    // Makes a Write in progress, and every later one, fail soon (the store is
    // being given up). Safe from any thread.
    virtual void Interrupt() noexcept = 0;

    // Retention: deletes, in one transaction, at most `max_rows` rows of the
    // table (of every series, whoever wrote them) whose time is before
    // `before` (microseconds since the epoch, UTC), each series' oldest
    // first; rows without a time are kept. Returns the rows deleted.
    // StoreError when it fails; nothing is deleted then. A store without a
    // connection does nothing (the next Write connects). Stores that cannot
    // delete say so with deletes_rows().
    virtual bool deletes_rows() const { return false; }
    virtual std::uint64_t DeleteBefore(std::int64_t before, std::uint64_t max_rows) {
        (void)before;
        (void)max_rows;
        throw StoreError(where() + " cannot delete rows");
    }

    // Releases the connection.
    virtual void Close() noexcept = 0;

    // fork(): called by the forking thread before it, and after it in the
    // parent. A store whose library keeps process-wide state that a child
    // would inherit half-changed (SQLite) makes its connection safe to
    // inherit here: it interrupts a write in progress and closes the
    // connection once the writer left the library (never waiting for a lock
    // another connection holds, nor for Python); the interrupted write is
    // done again after the fork. Others do nothing.
    virtual void PrepareFork() noexcept {}
    virtual void ParentAfterFork() noexcept {}
    // In a child after fork(): a store of the same settings with a
    // connection of its own (made by its first Write). This one is abandoned,
    // as the parent's thread may have been in the middle of a write: it is
    // neither used nor closed here, and ForChild reads only its settings.
    virtual std::unique_ptr<Store> ForChild() = 0;
};

}  // namespace telem_pyb_log
