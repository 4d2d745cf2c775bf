#pragma once

// The spool: rows on local disk between the recorder and its store, so that
// a process that dies, or a store that is unreachable for long, loses none of
// the rows the spool has committed.
//
// A spool is a directory: `identity` (the spool's UUID, its key in a store's
// ledger), `confirmed` (the last row the store confirmed, and the identity
// again), `owner` (the process that holds it) and append-only segment files
// `<first seq>.seg`. A segment holds records, each the rows of one chunk:
//
//   u32 magic, u32 crc32c (of everything after it), u32 payload bytes,
//   u32 rows, u32 fields per row (format 1) or 0, u32 format flags,
//   u64 seq of the first row, i64 microseconds since the epoch when its
//   first row was queued, then the payload.
//
// Format 2 (flags 2): u32 series count; per series its fourteen texts (the
// nine metadata fields tsid, tsname, btype, units, origin, serial, role,
// comment, json, then the five row texts tsname, btype, units, comment,
// origin), each a u32 length and the bytes; then the chunk's rows in the
// layout of rows.h, whose series indexes refer to that list. Format 1 (flags
// 0, written by earlier versions, still read): per row and field a u32
// length and the bytes, the seven texts then the typed fields.
//
// Numbering (numbering.h): rows are numbered from 1 for the life of the
// spool; a segment's name is the number of its first row, each record's
// header the number of its first, and the next record follows on. Opening
// checks all three. A record that does not check is damaged: the records
// after it are found again (by their magic and check), and the rows between
// are reported lost, with where; only a damaged end of the newest segment is
// a torn append (a crash in the middle of one: it was never committed), cut
// and reported. Rows are read for delivery only once committed (Commit: one
// write, one fdatasync), and checked again when read.
//
// `confirmed` is written with every Confirm and made durable before the
// spool lets go of a segment file it covers; segments whose rows are all
// confirmed are removed, except the newest, whose name and records keep the
// numbering going. The directory is locked (flock) while a spool is open: a
// second spool on it, in this or another process, is refused. The lock goes
// with the process.
//
// State, threads and locks: path_, max_bytes_, segment_bytes_ are set once.
// dir_fd_ and confirmed_fd_ are set when opening and cleared by Close (the
// pipeline's last act) or ForgetAfterFork (a child). The appending thread
// (the spooler) owns buffer_, appended_ and buffer_seq_. mutex_ guards the
// rest (segments_, records_, counts, identity_), which the appending and the
// delivering thread share; file I/O is done outside it where it can wait.

#include <atomic>
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
    std::uint64_t rows = 0;          // rows that wait for delivery
    std::uint64_t damaged_rows = 0;  // rows of damaged records: lost, reported when delivery passes them
    std::uint64_t torn_bytes = 0;    // bytes cut off the end of the newest segment
    std::string torn_file;           // the segment they were cut from
    std::vector<std::string> notes;  // what else the user should know (a restored identity, ...)
};

// What Read found at the front of the spool.
struct SpoolRead {
    std::uint64_t first = 0;    // the number of its first row; 0: nothing to read
    std::uint64_t rows = 0;
    bool damaged = false;       // rows first ... are lost: `where` says where and why
    std::string where;
    unsigned shard = Chunk::kNoShard;  // the queue shard of damaged rows this process spooled
};

enum class Appended { kYes, kFull, kTooLarge };

class Spool {
public:
    // Opens the spool at `path`, making the directory if it is missing, and
    // locks it. SpoolError if it is locked by another spool, or unusable.
    Spool(std::string path, std::uint64_t max_bytes);
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;
    ~Spool();

    const std::string& path() const { return path_; }
    std::string identity() const;
    const SpoolRecovery& recovery() const { return recovery_; }
    std::uint64_t max_bytes() const { return max_bytes_; }

    // The appending thread. Adds the chunk's rows as one record to the next
    // commit. kFull, adding nothing, if the spool has no room for it: the
    // records not delivered yet may take max_bytes (the files hold up to a
    // segment of delivered ones more); a spool without any takes any record.
    // kTooLarge if no record can hold it. `queued_at`: when its first row was
    // queued (seconds since the epoch); the chunk's shard comes back with
    // what Read gives.
    Appended Append(const Chunk& chunk, double queued_at, std::int64_t queued_ns);
    // Writes what Append added and makes it durable; then Read sees it.
    // SpoolError if the write fails: what Append added is dropped then (its
    // numbers are not given again), and its rows are the caller's.
    void Commit();
    bool has_uncommitted() const { return !buffer_.empty(); }

    // The delivering thread. Puts committed rows not confirmed yet, from row
    // `from` on (rows before it are handed out already), into `batch`: whole
    // records, up to about `max_rows` rows and `max_bytes` bytes, never
    // across a damaged record, which is returned alone instead (batch left
    // empty).
    SpoolRead Read(Batch& batch, std::uint64_t from, std::size_t max_rows, std::size_t max_bytes);
    // Committed rows not confirmed yet from row `from` on, and when the
    // oldest of them was queued (steady-clock ns; 0 for rows found when the
    // spool was opened; INT64_MAX: none).
    std::uint64_t Unconfirmed(std::uint64_t from, std::int64_t& oldest_ns) const;
    // The highest number given to a committed row, and the last confirmed.
    std::uint64_t horizon() const;
    std::uint64_t confirmed() const;
    // The store holds (or was told to pass) every row up to `seq`: their
    // records are let go. SpoolError if `confirmed` cannot be written;
    // NumberingError for a number beyond the horizon.
    void Confirm(std::uint64_t seq);
    // The store's ledger is ahead of this spool's numbering: the spool takes
    // a new identity, under which its numbers are new. Returns it.
    std::string NewIdentity();

    SpoolStats stats() const;

    // Closes its files, which releases the lock; stats() still answer.
    void Close() noexcept;
    // In a child after fork(): closes the child's copy of the locked
    // directory (the lock stays the parent's, and goes when the parent closes
    // it), without touching what a thread of the parent may have been
    // changing. The segment files' descriptors stay open in the child.
    void ForgetAfterFork() noexcept;

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
        unsigned shard = Chunk::kNoShard;
        std::string damage;  // not empty: a damaged span, whose rows are lost
    };
    class Scanner;

    void CloseFiles() noexcept;
    void Lock();
    void ReadConfirmed();
    void LoadIdentity();
    void WriteIdentity(const std::string& identity);
    void Recover();
    std::vector<std::uint64_t> SegmentNames();
    void Damaged(std::uint64_t first, std::uint64_t end, const std::string& where);
    void Keep(Record record);
    void NewSegment(std::uint64_t first_seq);
    void WriteDurably(Segment& segment, std::uint64_t at);
    std::unique_ptr<Chunk> ReadRecord(const Record& r, std::string& why) const;
    void MarkDamaged(std::uint64_t first_seq, const std::string& where);
    void WriteConfirmed(std::uint64_t seq, bool durable);
    std::string FileOf(std::uint64_t first_seq) const;
    [[noreturn]] void Fail(const std::string& what, int error) const;

    const std::string path_;
    const std::uint64_t max_bytes_;
    const std::uint64_t segment_bytes_;  // a segment is closed once it holds this much
    std::atomic<int> dir_fd_{-1};
    int confirmed_fd_ = -1;
    SpoolRecovery recovery_;
    std::string found_identity_;    // the identity `confirmed` held when opened
    std::uint64_t found_confirmed_ = 0;

    mutable std::mutex mutex_;
    std::string identity_;
    std::deque<std::shared_ptr<Segment>> segments_;  // oldest first; the last is appended to
    std::deque<Record> records_;  // committed, not wholly confirmed; oldest first
    std::uint64_t confirmed_ = 0;  // the last row confirmed
    std::uint64_t next_seq_ = 1;   // the number of the next row committed
    std::uint64_t bytes_ = 0;      // of all segments, committed
    std::uint64_t unconfirmed_rows_ = 0;   // deliverable rows of records_
    std::uint64_t unconfirmed_bytes_ = 0;  // of the records not wholly confirmed: what max_bytes bounds
    std::size_t damaged_records_ = 0;      // of records_

    // The appending thread's own.
    std::string buffer_;             // records appended, not committed
    std::vector<Record> appended_;   // their index, offsets relative to the buffer
    std::uint64_t buffer_seq_ = 1;   // the number of the next row appended to the buffer
};

}  // namespace telem_pyb_log
