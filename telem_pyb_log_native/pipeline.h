#pragma once

// A recorder's delivery path, put together from its parts: the queue
// (row_queue.h) that recording threads append to; with a spool, the spool
// (spool.h) and its spooler thread (spooler.h); the delivery loop
// (delivery.h), the one writer thread that drives the store (store.h); and
// the counts (counts.h) and progress (progress.h) that stats, flush and close
// read. Recording never waits on storage: an append does no I/O, and every
// failure of the store or the spool is counted and logged by the threads that
// meet it, never raised into a recording call.
//
// State, threads and locks: the parts, made in the constructor and never
// replaced; each keeps its own state under its own rules. writer_ and
// detached_ belong to the thread that starts and stops the pipeline (the
// recorder's, under its own serialisation). Nothing here is held while
// waiting: flush and close wait on the progress, interruptibly.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "counts.h"
#include "delivery.h"
#include "progress.h"
#include "reporter.h"
#include "row_queue.h"
#include "rows.h"
#include "spool.h"
#include "spooler.h"
#include "store.h"
#include "waker.h"

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
    double retention = 0;  // seconds: the writer deletes the table's rows older; 0: it keeps them all
};

struct PipelineStats : Outcomes {
    std::uint64_t recorded = 0;  // rows queued
    std::uint64_t pending = 0;   // rows recorded and not accounted for yet
    std::uint64_t dropped = 0;   // points not queued: the queue was full
    SpoolStats spool;
};

class Pipeline {
public:
    using Clock = std::chrono::steady_clock;

    Pipeline(PipelineOptions options, std::unique_ptr<Store> store);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    // Stops the threads without waiting for rows.
    ~Pipeline();

    void Start();
    Store& store() { return *store_; }
    const std::string& where() const { return store_->where(); }
    RowFormat format() const { return format_; }
    const Spool* spool() const { return spool_.get(); }

    // Recording threads. `shard` is the caller's own number.
    template <typename SeriesPtr>
    Queued Append(unsigned shard, SeriesPtr&& series, std::string_view mtime, std::string_view value,
                  const TypedFields& typed = {}) {
        return queue_.Append(shard, [&](Chunk& chunk) {
            chunk.AppendSeriesRow(std::forward<SeriesPtr>(series), mtime, value, typed);
        });
    }
    Queued AppendFull(unsigned shard, const RowView& row) {
        return queue_.Append(shard, [&](Chunk& chunk) { chunk.AppendFullRow(row); });
    }

    // Has the writer write every row queued so far, without waiting for a
    // full batch, and waits up to `timeout` seconds (< 0: no limit) until
    // they are written. False if they are not. With `interruptible`, a
    // caller that holds the interpreter lock is interrupted by Ctrl-C
    // (PythonInterrupted).
    bool Flush(double timeout, bool interruptible);

    // Close: refuses further rows, waits until every row is accounted for
    // (or the deadline), then stops the threads, giving up what is left,
    // and closes the store. False if rows were given up (or left in the
    // spool). In two halves, for closing many pipelines against one deadline.
    void BeginClose();
    bool FinishClose(Clock::time_point deadline, bool has_deadline, bool interruptible);
    bool Close(double timeout);

    // From any thread, for a close that another thread is making: the
    // writer gives up the rows it has not written, and stops soon; waits up
    // to `deadline` for it to stop.
    void Abandon();
    bool WaitStopped(Clock::time_point deadline, bool has_deadline = true, bool interruptible = false);

    PipelineStats stats() const;
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
    std::unique_ptr<Spool> OpenSpool();
    void WakeAll();
    // Stops the writer (giving up its rows with `abandon`); false if it is a
    // store written in Python that did not stop within `grace` seconds.
    bool Stop(bool abandon, double grace = 5.0);
    void GiveUp();
    std::string Left(const char* call) const;

    const PipelineOptions options_;
    const std::unique_ptr<Store> store_;
    const RowFormat format_;
    Waker loop_wake_;
    Waker spool_wake_;
    RowQueue queue_;
    Counts counts_;
    Progress progress_;
    Reporter reporter_;
    std::unique_ptr<Spool> spool_;
    std::unique_ptr<Spooler> spooler_;
    DeliveryLoop loop_;

    std::thread writer_;
    bool detached_ = false;
};

}  // namespace telem_pyb_log
