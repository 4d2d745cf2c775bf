#pragma once

// A pipeline's counts, each kept in one place, so that stats, close() and
// the exit report tell the same story: every row recorded (queued, or found
// in the spool when it opened) is, at every moment, exactly one of
//
//   written + pending + set_aside + abandoned + lost == recorded + recovered
//
// where `written` are rows the store holds (confirmed, less those it lost
// later), `lost` rows lost after they were recorded (a damaged spool record,
// a store that lost rows it had confirmed, an SQLite file deleted), and
// `pending` is what is left. Points not queued are `dropped` (the queue's
// count), never recorded.
//
// State, threads and locks: `recorded` and `dropped` are the queue's own
// counts, read from it. Everything here is under mutex_: the delivery loop
// and the spooler add to it, any thread reads it (stats). The lock is held
// only to change or copy the fields.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace telem_pyb_log {

struct Outcomes {
    std::uint64_t recovered = 0;  // rows recorded before this pipeline that it accounts for
    std::uint64_t written = 0;
    std::uint64_t set_aside = 0;  // rows a store refused as data, which it never will store
    std::uint64_t abandoned = 0;  // rows given up when the pipeline closed
    std::uint64_t lost = 0;
    std::uint64_t failed_writes = 0;
    std::uint64_t unspooled = 0;  // rows delivered from memory because the spool failed
    std::uint64_t pruned = 0;     // rows older than the retention that the writer deleted (any series)
    std::string last_error;
    double last_error_at = 0;  // seconds since the epoch; 0: never
    double last_write_at = 0;
    std::string spool_error;  // why the spool is not used any more; empty: it is

    // Rows recorded and not accounted for yet.
    std::uint64_t Pending(std::uint64_t recorded) const {
        const std::uint64_t in = recorded + recovered;
        const std::uint64_t out = written + set_aside + abandoned + lost;
        return in > out ? in - out : 0;
    }
};

inline double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class Counts {
public:
    Outcomes Get() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return o_;
    }
    // Changes the counts under the lock: f(Outcomes&).
    template <typename F>
    void Change(F&& f) {
        const std::lock_guard<std::mutex> lock(mutex_);
        f(o_);
    }
    void Written(std::uint64_t rows) {
        Change([&](Outcomes& o) {
            o.written += rows;
            o.last_write_at = WallSeconds();
        });
    }
    void Failed(const std::string& cause, bool write) {
        Change([&](Outcomes& o) {
            o.failed_writes += write ? 1 : 0;
            o.last_error = cause;
            o.last_error_at = WallSeconds();
        });
    }

private:
    mutable std::mutex mutex_;
    Outcomes o_;
};

}  // namespace telem_pyb_log
