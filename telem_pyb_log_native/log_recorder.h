#pragma once

// The native half of every log recorder: a TelemRecorder whose recording runs
// entirely here, on the calling thread and without the interpreter lock. A
// point is stamped (an empty mtime gets the current UTC time), converted with
// ConvertPointToDb, checked against what the store can hold and queued; the
// recorder's writer thread (pipeline.h) delivers it. The only errors a
// recording call raises are refusals of the record itself, as TelemException.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "norv/telem/telem.h"
#include "pipeline.h"

namespace telem_pyb_log {

struct RecorderOptions : PipelineOptions {
    double exit_timeout = 10.0;  // seconds that closing at exit may take
};

// Rows that could not be written when a recorder was closed at exit.
struct ExitReport {
    std::string label;
    std::string where;
    std::uint64_t rows = 0;  // lost
    std::uint64_t kept = 0;  // left in the recorder's spool, for the next recorder on it
    std::string cause;
};

struct RecorderStats : PipelineStats {
    std::uint64_t refused = 0;  // records refused: closed, no metadata, a text the store cannot hold
    std::uint64_t untimed = 0;  // points queued whose mtime is not a time (stored with time NULL)
};

// The counts of one series recorder of a sink: its own share of the sink's.
struct SeriesCounts {
    std::atomic<std::uint64_t> recorded{0};
    std::atomic<std::uint64_t> untimed{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> refused{0};
};

class SeriesRecorder;

// A LogRecorder is also a sink: its delivery path (one queue, one writer,
// one connection, at most one spool) serves its own series and those of any
// number of SeriesRecorders made from it.
class LogRecorder : public norv::telem::TelemRecorder, public std::enable_shared_from_this<LogRecorder> {
public:
    // Takes the store, connected already, and starts the writer.
    LogRecorder(RecorderOptions options, std::unique_ptr<Store> store);
    LogRecorder(const LogRecorder&) = delete;
    LogRecorder& operator=(const LogRecorder&) = delete;
    ~LogRecorder();

    // TelemRecorder. Close() is close() without a time limit.
    void RecordMetadata(const norv::telem::TsMetadata& meta) override;
    void RecordPoint(const norv::telem::TsPoint& point) override;
    void RecordValue(norv::telem::TsValue value) override;
    void Close() override;

    // record_point from Python: an empty mtime is set on the caller's point.
    void RecordOwnPoint(norv::telem::TsPoint& point);
    // Waits up to `timeout` seconds (< 0: no limit) until every row recorded
    // so far is written; TelemException with the last error if they are not.
    // With `interruptible` (a call from Python), Ctrl-C interrupts the wait:
    // PythonInterrupted, saying what is left.
    void Flush(double timeout, bool interruptible = false);
    // Refuses further records, waits like Flush, stops the writer and closes
    // the store. TelemException, after closing, if rows could not be written.
    // Closing a closed recorder waits for the close in progress, if any.
    // Interrupted (Ctrl-C), the rows left are given up (or kept in the spool).
    void CloseWithin(double timeout, bool interruptible = false);
    // Close at garbage collection: errors are logged, not raised.
    void CloseUncollected();

    std::optional<norv::telem::TsMetadata> metadata() const;
    bool closed() const { return state_.load() == kClosed; }
    RecorderStats stats() const;
    const std::string& where() const { return where_; }
    const std::string& label() const { return options_.label; }

    // Closes every open recorder of the process, each within its own
    // exit_timeout, all at once; reports the rows that were not written.
    static std::vector<ExitReport> CloseAll();
    // Refuses new recorders from now on (the interpreter is exiting), or
    // accepts them again (a new interpreter imported the module).
    static void RefuseNew(bool refuse);

    // pthread_atfork handlers.
    static void PrepareFork();
    static void ParentAfterFork();
    static void ChildAfterFork();

private:
    friend class SeriesRecorder;
    enum State { kOpen, kClosed, kForked };
    Pipeline& Ready(SeriesCounts* own = nullptr);
    const std::shared_ptr<const Series>& CurrentSeries();
    std::shared_ptr<const Series> Describe(const norv::telem::TsMetadata& meta, SeriesCounts* own);
    // An rvalue `series` is taken over by the chunk when its row is the
    // first of that series there; an lvalue is copied only then.
    template <typename SeriesPtr>
    void Enqueue(Pipeline& pipeline, SeriesPtr&& series, const norv::telem::TsPoint& point,
                 SeriesCounts* own = nullptr);
    [[noreturn]] void Refuse(const std::string& reason, SeriesCounts* own = nullptr);
    [[noreturn]] void RefuseClosed(SeriesCounts* own = nullptr);
    std::string NotWritten(const PipelineStats& s, const std::string& when) const;

    const RecorderOptions options_;
    const std::string where_;
    const RowFormat format_;
    const std::uint64_t uid_;  // tells recorders apart in per-thread caches

    std::atomic<int> state_{kOpen};
    // The pipeline in use; replaced only in a child after fork(), when the
    // parent's is abandoned (left allocated: its thread does not exist here).
    std::atomic<Pipeline*> pipeline_{nullptr};
    std::unique_ptr<Pipeline> owned_pipeline_;

    mutable std::mutex meta_mutex_;
    std::shared_ptr<const Series> series_;  // null until the first metadata
    std::atomic<std::uint64_t> generation_{0};  // changes with series_

    // Serialises the start of a close and the revival after fork(), never
    // held while waiting; made anew in a child, where a thread of the parent
    // may have held it.
    std::unique_ptr<std::mutex> close_mutex_;
    // In a child after fork(): pipeline_ is the parent's, abandoned (stats
    // have only this recorder's own counts). Read by the thread that asks.
    std::atomic<bool> inherited_{false};
    Store* fork_store_ = nullptr;  // the store a fork in progress prepared; under registry_mutex
    std::atomic<std::uint64_t> refused_{0};
    std::atomic<std::uint64_t> untimed_{0};
    // The series recorders made from this sink, for fork() (see PrepareFork).
    std::mutex series_list_mutex_;
    SeriesRecorder* series_list_ = nullptr;
};

// A lock held only for a copy or a swap of a pointer, never while waiting:
// a recorder's own, so that threads recording other series never touch it,
// and small, so that ten thousand recorders cost little. fork() takes every
// one (LogRecorder::PrepareFork).
class SpinLock {
public:
    void lock() {
        while (held_.exchange(true, std::memory_order_acquire)) {
            while (held_.load(std::memory_order_relaxed)) {
                std::this_thread::yield();
            }
        }
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// One series recorded into a sink (a LogRecorder): its metadata and counts;
// the rows go the sink's delivery path. Cheap: a few words and the series.
// close() ends this series only; its queued rows are still delivered.
class SeriesRecorder : public norv::telem::TelemRecorder {
public:
    explicit SeriesRecorder(std::shared_ptr<LogRecorder> sink);
    ~SeriesRecorder();
    SeriesRecorder(const SeriesRecorder&) = delete;
    SeriesRecorder& operator=(const SeriesRecorder&) = delete;

    void RecordMetadata(const norv::telem::TsMetadata& meta) override;
    void RecordPoint(const norv::telem::TsPoint& point) override;
    void RecordValue(norv::telem::TsValue value) override;
    void Close() override { closed_.store(true); }

    void RecordOwnPoint(norv::telem::TsPoint& point);
    std::optional<norv::telem::TsMetadata> metadata() const;
    bool closed() const { return closed_.load() || sink_->closed(); }
    const SeriesCounts& counts() const { return counts_; }
    const std::shared_ptr<LogRecorder>& sink() const { return sink_; }

private:
    friend class LogRecorder;
    Pipeline& Ready();
    std::shared_ptr<const Series> Current();

    const std::shared_ptr<LogRecorder> sink_;
    std::atomic<bool> closed_{false};
    mutable SpinLock series_lock_;
    std::shared_ptr<const Series> series_;  // under series_lock_
    SeriesCounts counts_;
    SeriesRecorder* prev_ = nullptr;  // in the sink's list, under its series_list_mutex_
    SeriesRecorder* next_ = nullptr;
};

}  // namespace telem_pyb_log
