#pragma once

// The rows between the recording threads and the store, and the writer thread
// that delivers them. Recording threads only append to a queue in memory,
// bounded by max_pending rows; the writer takes batches of batch_size rows (or
// fewer, once the oldest has waited max_delay, or on a flush), writes each in
// one transaction, and retries a failed write with backoff until it succeeds.
// Failures are counted and logged, never reported to the recording threads.
//
// The queue has shards, each with its own lock and counts, so that threads
// recording at once share no memory that they write: a thread always appends
// to the same shard, which keeps its rows in the order it recorded them. Room
// in the queue is handed to the shards in blocks.
//
// With a spool (spool.h) a second thread, the spooler, moves the queued rows
// to the spool on disk, at most spool_interval after they were queued, and
// gives their room back once they are durable; the writer then delivers from
// the spool, oldest first, and lets the spool go of what the store confirmed.
// Rows the spool held when it was opened go first. A full spool leaves rows in
// the queue, which fills, and on_full applies.

#include <atomic>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "rows.h"
#include "spool.h"
#include "store.h"

namespace telem_pyb_log {

struct PipelineOptions {
    std::string label;  // names the recorder in messages: "SqliteRecorder"
    std::uint32_t batch_size = 1000;
    double max_delay = 1.0;  // seconds
    std::uint64_t max_pending = 2'000'000;
    bool block_when_full = false;
    double block_timeout = 1.0;  // seconds
    double log_interval = 30.0;  // seconds between repeated warnings
    std::string spool;  // the spool's directory; empty: none
    double spool_interval = 0.02;  // seconds a queued row waits at most before the spool has it on disk
    std::uint64_t spool_max_bytes = 1ULL << 30;
};

struct PipelineStats {
    std::uint64_t recorded = 0;  // rows queued
    std::uint64_t written = 0;   // rows the store confirmed
    std::uint64_t pending = 0;   // rows queued and neither written nor abandoned
    std::uint64_t dropped = 0;   // points not queued: the queue was full
    std::uint64_t failed_writes = 0;
    std::uint64_t lost = 0;       // rows the store confirmed and lost later
    std::uint64_t abandoned = 0;  // rows given up when the recorder closed
    std::string last_error;
    double last_error_at = 0;  // seconds since the epoch; 0: never
    double last_write_at = 0;
    // With a spool: rows it held when it was opened (recorded before), and
    // what it holds now.
    std::uint64_t recovered = 0;
    SpoolStats spool;
};

enum class Queued { kYes, kDropped, kClosed };

class Pipeline : private DeliveryEvents {
public:
    Pipeline(PipelineOptions options, std::unique_ptr<Store> store);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    // Stops the writer without waiting for rows.
    ~Pipeline();

    void Start();
    Store& store() { return *store_; }
    const std::string& where() const { return store_->where(); }
    RowFormat format() const { return format_; }

    // Recording threads. `shard` is the caller's own number. A full queue
    // drops the point or waits, by on_full; a closed one refuses it.
    Queued Append(unsigned shard, const std::shared_ptr<const Series>& series, std::string_view mtime,
                  std::string_view value, const TypedFields& typed = {});
    Queued AppendFull(unsigned shard, const RowView& row);

    // Has the writer write every row queued so far, without waiting for a
    // full batch, and waits up to `timeout` seconds (< 0: no limit) until they
    // are written. False if they are not.
    bool Flush(double timeout);

    // Refuses further rows, waits up to `timeout` seconds (< 0: no limit)
    // until every queued row is written, then stops the writer, abandoning
    // what is left, and closes the store. False if rows were abandoned.
    bool Close(double timeout);

    // Close in two halves, for closing many recorders against one deadline.
    void BeginClose();
    bool FinishClose(std::chrono::steady_clock::time_point deadline, bool has_deadline);

    // From any thread, for a close that another thread is making: the writer
    // gives up the rows it has not written, and stops soon; waits up to
    // `deadline` for it to stop.
    void Abandon();
    bool WaitStopped(std::chrono::steady_clock::time_point deadline);

    PipelineStats stats() const;
    const Spool* spool() const { return spool_.get(); }
    // In a child after fork(): the spool stays the parent's.
    void ForgetSpoolAfterFork() noexcept {
        if (spool_) {
            spool_->ForgetAfterFork();
        }
    }

    // Stops the writer and destroys the pipeline, unless the writer is stuck
    // inside a store written in Python past close's grace period: its thread
    // still uses the pipeline then, which is left to it.
    static void Dispose(std::unique_ptr<Pipeline> pipeline);

private:
    struct alignas(64) Shard {
        std::mutex mutex;
        std::deque<std::unique_ptr<Chunk>> chunks;  // the last one is being filled
        std::uint64_t appended = 0;  // rows ever queued here
        std::uint64_t queued = 0;    // rows in chunks
        std::uint64_t room = 0;      // rows it may queue before asking room_ for more
    };
    static constexpr std::size_t kShards = 8;

    template <typename Put>
    Queued AppendRow(unsigned shard, Put&& put);
    bool TakeRoom(Shard& shard);
    bool WaitForRoom();
    std::uint64_t Recorded();
    void Wake();
    void WakeAll();     // the writer and the spooler
    void WakeSender();  // the writer, with a spool
    std::unique_ptr<Chunk> NewChunk();
    // Keeps written chunks for reuse; `chunks` is left empty.
    void Recycle(std::vector<std::unique_ptr<Chunk>>& chunks);
    std::uint64_t Waiting();  // rows not written yet

    // The writer thread.
    void Run();
    // Takes the wake-ups that recording threads and control calls left, and
    // logs the drops that are due; the time now.
    std::int64_t Woken();
    // Moves rows of the shards into batch_: whole chunks, and with `partial`
    // also those being filled.
    bool TakeBatch(bool partial);
    // Rows in the shards, and the time the oldest of them was queued.
    std::uint64_t CountQueued(std::int64_t& oldest);
    void WriteBatch();
    // Writes batch_ as the rows first_seq, ...; false if it failed (logged,
    // counted, a retry scheduled).
    bool TryWrite(std::uint64_t first_seq);
    void SleepUntil(std::int64_t deadline_ns, int fd);
    // With a spool: the writer delivers from it, the spooler fills it.
    void RunSending();
    void RunSpooling();
    // Moves queued rows into the spool: whole chunks, and with `partial`
    // also those being filled; the rows it took, and `full` if some were
    // left for want of room.
    std::uint64_t SpoolQueued(bool partial, bool& full);
    void SpoolFailed(const std::string& cause);
    void LogDrops(std::int64_t now);
    // The writer's end: the rows still queued are given up, with
    // `abandoned` more, and close() learns that the writer stopped.
    void Finish(std::uint64_t abandoned);
    // Refuses further rows; returns once no thread is appending any more.
    void StopAccepting();
    // Stops the writer, abandoning the rows it has not written if `abandon`.
    void Stop(bool abandon);

    void Warn(const std::string& message) override;
    void Lost(std::uint64_t rows, const std::string& message) override;

    const PipelineOptions options_;
    const std::unique_ptr<Store> store_;
    const RowFormat format_;
    const std::int64_t max_delay_ns_;

    std::array<Shard, kShards> shards_;
    const std::uint32_t chunk_rows_;  // rows of a chunk at most
    const std::uint64_t room_block_;  // rows of room a shard takes at once
    std::atomic<std::int64_t> room_;  // room not handed to a shard; written rows come back here
    std::atomic<bool> accepting_{true};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> flush_waiters_{0};  // while any, the writer writes without waiting
    std::atomic<std::uint64_t> requests_{0};       // flush and close calls: each cuts a backoff short
    std::atomic<bool> wake_pending_{false};
    std::atomic<bool> drops_to_log_{false};
    std::atomic<bool> closing_{false};
    std::atomic<bool> abandon_{false};
    int wake_fd_ = -1;  // eventfd: recording threads and control calls wake the writer (the spooler with a spool)

    std::unique_ptr<Spool> spool_;
    std::uint64_t recovered_ = 0;
    const std::int64_t spool_interval_ns_;
    int send_fd_ = -1;  // eventfd: wakes the writer when it delivers from the spool
    std::thread spooler_;
    std::atomic<bool> spooler_done_{false};
    // The spooler's own state.
    std::vector<std::unique_ptr<Chunk>> uncommitted_;  // taken into the spool, not durable yet
    std::uint32_t spool_attempts_ = 0;
    std::int64_t spool_retry_at_ = 0;
    std::int64_t last_spool_warning_ = 0;
    std::atomic<bool> spool_full_{false};  // a warning said so
    // The writer's: the number of batch_'s first row and, per record, its
    // shard and rows.
    std::uint64_t batch_first_seq_ = 0;
    std::vector<std::pair<unsigned, std::uint32_t>> batch_shards_;

    std::mutex pool_mutex_;
    std::vector<std::unique_ptr<Chunk>> pool_;  // empty chunks for reuse

    // Progress: flush and close wait for rows to be written, blocked
    // recorders for room.
    mutable std::mutex progress_mutex_;
    std::condition_variable progress_;
    std::uint64_t waiting_for_room_ = 0;
    std::array<std::uint64_t, kShards> shard_written_{};  // rows of each shard written

    // The writer's own state.
    std::thread writer_;
    bool detached_ = false;
    Batch batch_;  // taken and not written yet
    std::uint32_t attempts_ = 0;  // failed attempts at batch_
    std::uint64_t requests_seen_ = 0;
    std::size_t next_shard_ = 0;
    std::int64_t retry_at_ = 0;
    bool failing_ = false;  // a warning said so
    std::int64_t failing_since_ = 0;
    std::uint64_t failures_since_warning_ = 0;
    std::int64_t last_failure_warning_ = 0;
    std::int64_t last_drop_log_ = 0;
    std::uint64_t drops_logged_ = 0;
    bool finished_ = false;  // under progress_mutex_

    // What stats() reports besides the counters.
    mutable std::mutex stats_mutex_;
    std::uint64_t failed_writes_ = 0;
    std::uint64_t lost_ = 0;
    std::uint64_t abandoned_ = 0;
    std::string last_error_;
    double last_error_at_ = 0;
    double last_write_at_ = 0;
};

// Logs `message` through the Python logger "telem_pyb_log" at `level`
// (logging.WARNING, logging.ERROR, ...). Takes the interpreter lock; a thread
// that holds it already nests.
void LogToPython(int level, const std::string& message);
constexpr int kLogWarning = 30;
constexpr int kLogError = 40;

}  // namespace telem_pyb_log
