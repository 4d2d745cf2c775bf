#pragma once

// Where a recorder's rows go. The writer thread of the recorder drives its
// store: one batch at a time, retried until it is stored.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "row_text.h"
#include "rows.h"

namespace telem_pyb_log {

// A write that failed; its message names the cause.
class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a store reports about delivery while it writes.
class DeliveryEvents {
public:
    // Something the user should know that is not a failure of this write.
    virtual void Warn(const std::string& message) = 0;
    // The store lost `rows` rows that it had confirmed earlier.
    virtual void Lost(std::uint64_t rows, const std::string& message) = 0;

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
    // lock, which it takes itself.
    virtual bool calls_python() const { return false; }

    // Stores `batch` as this recorder's rows `first_seq`, `first_seq + 1`, ...
    // in one transaction, connecting first if there is no connection. Throws
    // StoreError when it fails; rows that an attempt stored although it failed
    // (a commit in doubt) are not stored again by the next.
    virtual void Write(const Batch& batch, std::uint64_t first_seq, DeliveryEvents& events) = 0;

    // Keys the store's count of delivered rows by `identity` (a UUID: a
    // spool's), so that a recorder that opens the spool again goes on from
    // there. Called before the first Write.
    virtual void UseIdentity(const std::string& /*identity*/) {}

    // Makes a Write in progress, and every later one, fail soon (the store is
    // being given up). Safe from any thread.
    virtual void Interrupt() noexcept = 0;

    // Releases the connection.
    virtual void Close() noexcept = 0;

    // fork(): called before it, with no write in progress once it returns, and
    // after it in the parent. The child does not use this store again.
    virtual void PrepareFork() noexcept {}
    virtual void ParentAfterFork() noexcept {}
    // In a child after fork(): a store of the same settings with a connection
    // of its own (made by its first Write). This one is abandoned: it must not
    // close what the parent still uses.
    virtual std::unique_ptr<Store> ForChild() = 0;
};

}  // namespace telem_pyb_log
