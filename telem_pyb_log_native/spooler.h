#pragma once

// The spooler: with a spool, the thread that moves queued rows into it, at
// most spool_interval after they were queued, in group commits (one write and
// one fdatasync for what is due), and gives their room in the queue back once
// they are durable. A full spool leaves rows in the queue, which fills, and
// on_full applies. A spool that fails (a write or its durability refused: a
// full disk, a file system remounted read-only, an I/O error), or that the
// delivery loop found failing, is given up: the spooler puts the rows it
// held back at the front of their queue shards, says so, and ends; the
// delivery loop then delivers from the queue itself.
//
// State, threads and locks: uncommitted_, retry and warning state belong to
// the spooler's thread. failed_, handed_over_, fail_requested_, full_ and
// done_ are atomics: the spooler sets them (fail_requested_: the loop), any
// thread reads them. It holds no lock while it logs.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "counts.h"
#include "progress.h"
#include "row_queue.h"
#include "spool.h"
#include "waker.h"

namespace telem_pyb_log {

struct SpoolerOptions {
    std::string label;
    std::uint32_t batch_size = 1000;
    double spool_interval = 0.02;
    std::uint64_t spool_max_bytes = 1ULL << 30;
};

class Spooler {
public:
    Spooler(const SpoolerOptions& options, RowQueue& queue, Spool& spool, Counts& counts, Progress& progress,
            Waker& self, Waker& loop);
    ~Spooler();

    void Start();
    // Closing: it spools what is queued, then ends; Join waits for that.
    void BeginClose() {
        closing_.store(true);
        self_.Wake();
    }
    // The delivery loop's end: one last pass, then it ends even if the
    // spool is full (what is left stays in the queue, given up).
    void Finish() {
        last_.store(true);
        BeginClose();
    }
    void Join();

    // Any thread.
    bool failed() const { return failed_.load(); }
    // It failed and put back the rows it held: the queue is the loop's now.
    bool handed_over() const { return handed_over_.load(); }
    bool done() const { return done_.load(); }
    bool full() const { return full_.load(); }
    // The loop found the spool failing (confirming): the spooler gives it up.
    void Fail(const std::string& cause);
    void Wake() { self_.Wake(); }

private:
    void Run();
    void Step();
    std::uint64_t Move(bool partial, bool& full);
    void AppendRows(std::unique_ptr<Chunk> chunk, bool& full);
    void GiveUp(const std::string& cause);
    void Full(bool full, std::int64_t now);

    const SpoolerOptions options_;
    const std::int64_t interval_ns_;
    RowQueue& queue_;
    Spool& spool_;
    Counts& counts_;
    Progress& progress_;
    Waker& self_;
    Waker& loop_;
    std::thread thread_;

    std::atomic<bool> closing_{false};
    std::atomic<bool> last_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> handed_over_{false};
    std::atomic<bool> fail_requested_{false};
    std::atomic<bool> full_{false};
    std::atomic<bool> done_{false};
    std::string requested_cause_;  // written before fail_requested_ is set

    std::vector<std::unique_ptr<Chunk>> uncommitted_;  // taken into the spool, not durable yet
    bool stop_ = false;
};

}  // namespace telem_pyb_log
