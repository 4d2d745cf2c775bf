#pragma once

// The spool: rows on local disk between the recorder and its store, so that
// a process that dies, or a store that is unreachable for long, loses none of
// the rows the spool has committed.
//
// A spool is a directory: `identity` (the spool's UUID, its key in a store's
// ledger), `owner` (the process that holds it) and append-only segment files
// `<first seq>.seg`. A segment holds records, each the rows of one chunk:
//
//   u32 magic, u32 crc32c (of everything after it), u32 payload bytes,
//   u32 rows, u32 fields per row, u32 0, u64 seq of the first row,
//   i64 microseconds since the epoch when its first row was queued,
//   then per row and field: u32 length, bytes. The fields are the seven
//   texts of the log record, then the typed fields (a byte of flags: 1 time,
//   2 number; then the i64 time in microseconds and the double number that
//   the flags name).
//
// Rows are numbered from 1 for the life of the spool; those numbers are the
// `first_seq` the store sees. Appended records are written and made durable
// together (Commit: one write, one fdatasync), and only committed records are
// read back for delivery. A record that does not check (a crash in the
// middle of an append, a power loss) ends its segment: the file is cut there
// when the spool is opened, and reported. `confirmed` holds the number of the
// last row the store confirmed; segments whose rows are all confirmed are
// removed, except the newest, whose name and records keep the numbering going.
//
// The directory is locked (flock) while a spool is open: a second spool on
// it, in this or another process, is refused. The lock goes with the process.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rows.h"

namespace telem_pyb_log {

// A spool that cannot be opened or written; its message names the cause.
class SpoolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc = 0);

struct SpoolStats {
    std::uint64_t rows = 0;   // committed rows not confirmed yet
    std::uint64_t bytes = 0;  // bytes of its segment files
    double oldest_at = 0;     // seconds since the epoch when the oldest of them was queued; 0: none
};

// What opening found.
struct SpoolRecovery {
    std::uint64_t rows = 0;        // rows that wait for delivery
    std::uint64_t torn_bytes = 0;  // bytes cut off after the last record that checked
    std::string torn_file;         // the segment they were cut from
};

class Spool {
public:
    static constexpr unsigned kNoShard = ~0U;

    // Opens the spool at `path`, making the directory if it is missing, and
    // locks it. SpoolError if it is locked by another spool, or unusable.
    Spool(std::string path, std::uint64_t max_bytes);
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    ~Spool();

    const std::string& path() const { return path_; }
    const std::string& identity() const { return identity_; }
    const SpoolRecovery& recovery() const { return recovery_; }
    std::uint64_t max_bytes() const { return max_bytes_; }

    // The appending thread. Adds the chunk's rows as one record to the next
    // commit; false, adding nothing, if the spool has no room for it: the
    // records not delivered yet may take max_bytes (the files hold up to a
    // segment of delivered ones more); a spool without any takes any record. `queued_at`: when its first row was
    // queued (seconds since the epoch); `shard`: reported back by Read.
    bool Append(const Chunk& chunk, double queued_at, unsigned shard, std::int64_t queued_ns);
    // Writes what Append added and makes it durable; then Read sees it.
    // SpoolError if the write fails (nothing of it is read then; the next
    // Commit writes it again).
    void Commit();
    bool has_uncommitted() const { return !buffer_.empty(); }

    // The delivering thread. Puts committed rows not confirmed yet, starting
    // with the first of them, into `batch` (whole records, up to about
    // `max_rows` rows) and returns the number of the first; 0 if there are
    // none. `shards` gets, per record, its shard and its rows in the batch.
    std::uint64_t Read(Batch& batch, std::size_t max_rows, std::vector<std::pair<unsigned, std::uint32_t>>& shards);
    // Committed rows not confirmed yet, and when the oldest of them was
    // queued (steady-clock ns; 0 for rows found when the spool was opened).
    std::uint64_t Unconfirmed(std::int64_t& oldest_ns) const;
    // The store holds every row up to `seq`: their records are let go.
    void Confirm(std::uint64_t seq);

    SpoolStats stats() const;

    // Closes its files, which releases the lock; stats() still answer.
    void Close() noexcept;
    // The same in a child after fork() (where the lock stays the parent's),
    // without the lock that a thread of the parent may have held.
    void ForgetAfterFork() noexcept { CloseFiles(); }

private:
    struct Segment {
        std::uint64_t first_seq = 0;
        std::string file;
        int fd = -1;
        std::uint64_t bytes = 0;
        std::uint64_t end_seq = 0;  // one past its last row
    };
    struct Record {
        std::shared_ptr<Segment> segment;
        std::uint64_t offset = 0;
        std::uint32_t length = 0;  // header and payload
        std::uint64_t first_seq = 0;
        std::uint32_t rows = 0;
        double queued_at = 0;
        std::int64_t queued_ns = 0;
        unsigned shard = kNoShard;
    };

    void CloseFiles() noexcept;
    void Lock();
    void LoadIdentity();
    void Recover();
    void ScanSegment(const std::shared_ptr<Segment>& segment);
    void NewSegment(std::uint64_t first_seq);
    void WriteConfirmed(bool durable);
    std::string FileOf(std::uint64_t first_seq) const;
    [[noreturn]] void Fail(const std::string& what, int error) const;

    const std::string path_;
    const std::uint64_t max_bytes_;
    const std::uint64_t segment_bytes_;  // a segment is closed once it holds this much
    int dir_fd_ = -1;
    int confirmed_fd_ = -1;
    std::string identity_;
    SpoolRecovery recovery_;

    mutable std::mutex mutex_;  // the state below; file I/O is done outside it where it can wait
    std::deque<std::shared_ptr<Segment>> segments_;  // oldest first; the last is appended to
    std::deque<Record> records_;  // committed, not wholly confirmed; oldest first
    std::uint64_t confirmed_ = 0;  // the last row confirmed
    std::uint64_t next_seq_ = 1;   // the number of the next row appended
    std::uint64_t bytes_ = 0;      // of all segments, committed
    std::uint64_t unconfirmed_rows_ = 0;
    std::uint64_t unconfirmed_bytes_ = 0;  // of the records not wholly confirmed: what max_bytes bounds

    // The appending thread's own.
    std::string buffer_;             // records appended, not committed
    std::vector<Record> appended_;   // their index, offsets relative to the buffer
    std::uint64_t buffer_seq_ = 1;   // the number of the next row appended to the buffer
};

}  // namespace telem_pyb_log
