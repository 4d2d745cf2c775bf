#pragma once

// What flush and close wait for: the rows of each queue shard that are done
// with (written, set aside or lost), and the delivery loop's end.
//
// State, threads and locks: done_ and finished_ are under mutex_; the
// delivery loop (and the spooler, for rows it sets aside) adds to done_ and
// notifies cv_; flush and close wait on cv_ (interruptibly, gil.h).
// urgent_ counts the flush and close calls waiting (while any, the loop
// writes without waiting for a full batch); requests_ grows with every flush
// and close call (each cuts a retry's backoff short). Both are read by the
// loop without the lock.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "gil.h"
#include "row_queue.h"

namespace telem_pyb_log {

class Progress {
public:
    using Clock = std::chrono::steady_clock;

    // The loop: rows of `shard` are done (Chunk::kNoShard: rows recorded
    // before this pipeline, which no flush waits for).
    void Done(unsigned shard, std::uint64_t rows) {
        if (shard >= RowQueue::kShards || rows == 0) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            done_[shard] += rows;
        }
        cv_.notify_all();
    }
    void Finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        cv_.notify_all();
    }
    bool finished() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return finished_;
    }

    // Flush: waits until every shard's rows up to `targets` are done (true),
    // or the loop ended, or the deadline passed (false).
    template <typename Note>
    bool WaitDone(const RowQueue::ShardCounts& targets, bool limited, Clock::time_point deadline, GilReleased& gil,
                  bool interruptible, Note&& note) {
        const auto reached = [&] {
            for (std::size_t s = 0; s < RowQueue::kShards; ++s) {
                if (done_[s] < targets[s]) {
                    return false;
                }
            }
            return true;
        };
        WaitInterruptibly(mutex_, cv_, gil, interruptible, limited, deadline, [&] { return reached() || finished_; },
                          note);
        const std::lock_guard<std::mutex> lock(mutex_);
        return reached();
    }

    // Close: waits until the loop ended, or the deadline passed.
    template <typename Note>
    bool WaitFinished(bool limited, Clock::time_point deadline, GilReleased& gil, bool interruptible, Note&& note) {
        return WaitInterruptibly(mutex_, cv_, gil, interruptible, limited, deadline, [&] { return finished_; }, note);
    }

    // While one lives, the loop writes without waiting for a full batch;
    // each cuts a retry's backoff short. Made before the loop is woken.
    struct Hurry {
        explicit Hurry(Progress& p) : progress(p) {
            progress.urgent_.fetch_add(1);
            progress.requests_.fetch_add(1);
        }
        ~Hurry() { progress.urgent_.fetch_sub(1); }
        Hurry(const Hurry&) = delete;
        Hurry& operator=(const Hurry&) = delete;
        Progress& progress;
    };
    bool urgent() const { return urgent_.load() > 0; }
    std::uint64_t requests() const { return requests_.load(); }

private:

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    RowQueue::ShardCounts done_{};
    bool finished_ = false;
    std::atomic<std::uint64_t> urgent_{0};
    std::atomic<std::uint64_t> requests_{0};
};

}  // namespace telem_pyb_log
