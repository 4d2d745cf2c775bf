#include "spooler.h"

#include <cxxabi.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>

#include "reporter.h"

namespace telem_pyb_log {

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

}  // namespace

Spooler::Spooler(const SpoolerOptions& options, RowQueue& queue, Spool& spool, Counts& counts, Progress& progress,
                 Waker& self, Waker& loop)
    : options_(options),
      interval_ns_(ToNs(options.spool_interval)),
      queue_(queue),
      spool_(spool),
      counts_(counts),
      progress_(progress),
      self_(self),
      loop_(loop) {}

Spooler::~Spooler() { Join(); }

void Spooler::Start() { thread_ = std::thread(&Spooler::Run, this); }

void Spooler::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Spooler::Fail(const std::string& cause) {
    if (fail_requested_.load()) {
        return;
    }
    requested_cause_ = cause;
    fail_requested_.store(true);
    self_.Wake();
}

void Spooler::Run() {
    const sched_param batch{};
    sched_setscheduler(0, SCHED_BATCH, &batch);
    try {
        while (!stop_) {
            Step();
        }
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        done_.store(true);
        throw;
#endif
    } catch (const std::exception& e) {
        GiveUp(std::string("the spooler stopped: ") + e.what());
    }
    done_.store(true);
    loop_.Wake();
}

// One turn: spools what is due, or sleeps until it is.
void Spooler::Step() {
    self_.Drain();
    if (fail_requested_.load()) {
        GiveUp(requested_cause_);
        return;
    }
    const std::int64_t now = SteadyNs();
    std::int64_t oldest = kNever;
    const std::uint64_t queued = queue_.Count(oldest);
    const bool closing = closing_.load();
    if (queued == 0 && !spool_.has_uncommitted()) {
        stop_ = closing;  // every row is in the spool
        if (!stop_) {
            self_.SleepUntil(kNever);
        }
        return;
    }
    // Closing spools what is left at once, also when the loop is given up:
    // the rows are safer on disk than abandoned.
    const bool due = closing || progress_.urgent() || oldest == kNever || oldest + interval_ns_ <= now;
    if (!due && queued < options_.batch_size) {
        self_.SleepUntil(oldest + interval_ns_);
        return;
    }
    bool full = false;
    std::uint64_t taken = 0;
    try {
        // Rows that are due go all; otherwise the whole chunks first, so
        // that recording threads go on filling theirs.
        taken = Move(due, full);
        if (taken == 0 && !full && !due) {
            taken = Move(true, full);
        }
    } catch (const SpoolError& e) {
        GiveUp(e.what());
        return;
    }
    Full(full && taken == 0, now);
}

void Spooler::Full(bool full, std::int64_t now) {
    if (!full) {
        full_.store(false);
        return;
    }
    if (!full_.load()) {
        full_.store(true);
        const SpoolStats s = spool_.stats();
        LogToPython(kLogWarning, options_.label + ": the spool " + spool_.path() + " is full ("
                                     + std::to_string(s.bytes) + " bytes of " + std::to_string(options_.spool_max_bytes)
                                     + ", " + std::to_string(s.rows) + " rows not delivered yet); new points wait in "
                                     "the queue, and on_full applies when it is full too");
    }
    // The loop wakes the spooler when it frees room; closing with a full
    // spool that nothing frees ends here.
    stop_ = last_.load();
    if (!stop_) {
        self_.SleepUntil(now + kSecond);
    }
}

std::uint64_t Spooler::Move(bool partial, bool& full) {
    full = false;
    if (!spool_.has_uncommitted()) {
        const double wall = WallSeconds();
        const std::int64_t steady = SteadyNs();
        for (unsigned s = 0; s < RowQueue::kShards && !full; ++s) {
            while (std::unique_ptr<Chunk> chunk = queue_.TakeFront(s, partial)) {
                const double queued_at = wall - static_cast<double>(steady - chunk->first_at()) / 1e9;
                const Appended appended = spool_.Append(*chunk, queued_at, chunk->first_at());
                if (appended == Appended::kYes) {
                    uncommitted_.push_back(std::move(chunk));
                } else if (appended == Appended::kFull) {
                    queue_.PutBack(std::move(chunk));  // to the front of its shard
                    full = true;
                } else {
                    AppendRows(std::move(chunk), full);
                }
                if (full) {
                    break;
                }
            }
        }
    }
    spool_.Commit();
    // Durable: the rows' room in the queue is free again.
    std::uint64_t rows = 0;
    for (const auto& chunk : uncommitted_) {
        rows += chunk->rows();
    }
    queue_.Release(rows);
    queue_.Recycle(uncommitted_);
    if (rows > 0) {
        loop_.Wake();
    }
    return rows;
}

// A chunk too large for one record: its rows one by one; a row that no
// record can hold is set aside.
void Spooler::AppendRows(std::unique_ptr<Chunk> chunk, bool& full) {
    Batch rows;
    rows.Add(std::move(chunk));
    while (!rows.empty()) {
        Batch rest;
        rows.SplitAt(1, rest);
        std::unique_ptr<Chunk> one = std::move(rows.TakeChunks().front());
        const Appended appended = spool_.Append(*one, WallSeconds(), one->first_at());
        if (appended == Appended::kYes) {
            uncommitted_.push_back(std::move(one));
        } else if (appended == Appended::kFull) {
            // Back in order: this row, then the rest.
            std::vector<std::unique_ptr<Chunk>> back = rest.TakeChunks();
            for (auto it = back.rbegin(); it != back.rend(); ++it) {
                queue_.PutBack(std::move(*it));
            }
            queue_.PutBack(std::move(one));
            full = true;
            return;
        } else {
            counts_.Change([](Outcomes& o) { ++o.set_aside; });
            progress_.Done(one->shard(), 1);
            queue_.Release(1);
            LogToPython(kLogError, options_.label + ": a row of " + std::to_string(one->used_bytes())
                                       + " bytes is more than a spool record holds; it is set aside (never stored)");
        }
        rows = std::move(rest);
    }
}

void Spooler::GiveUp(const std::string& cause) {
    if (!failed_.exchange(true)) {
        counts_.Change([&](Outcomes& o) { o.spool_error = cause; });
        LogToPython(kLogError, options_.label + ": " + cause + "; the spool is given up: rows are delivered from "
                                   "memory from now on (not kept on disk), until a recorder opens it again");
    }
    // Back to the front of their shards, the last first, so that each
    // shard's order is kept.
    for (auto it = uncommitted_.rbegin(); it != uncommitted_.rend(); ++it) {
        queue_.PutBack(std::move(*it));
    }
    uncommitted_.clear();
    queue_.SetConsumer(loop_);
    handed_over_.store(true);
    stop_ = true;
    loop_.Wake();
}

}  // namespace telem_pyb_log
