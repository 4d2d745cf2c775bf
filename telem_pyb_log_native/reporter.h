#pragma once

// What the delivery loop says through the logger "telem_pyb_log": write
// failures (a warning when they start, at most one more every log_interval
// while they go on, one when writes succeed again), points dropped for want
// of room (at most one warning every log_interval, and what is left unsaid
// when the loop ends), deletes of old rows that fail (as writes), rows set aside (the first with its reason, then a
// count every log_interval and at the end), and losses (each an error).
//
// State, threads and locks: every member belongs to the delivery loop's
// thread, the only one that calls the counting members; Warn and Error keep
// no state, and any thread may call them. It holds no lock while it logs.

#include <cstdint>
#include <string>

namespace telem_pyb_log {

// Logs `message` through the Python logger "telem_pyb_log" at `level`
// (logging.WARNING, logging.ERROR, ...). Takes the interpreter lock; a thread
// that holds it already nests. Before and after the interpreter runs, the
// message goes to stderr.
void LogToPython(int level, const std::string& message);
constexpr int kLogWarning = 30;
constexpr int kLogError = 40;

class Reporter {
public:
    Reporter(std::string label, std::string where, double log_interval, std::uint64_t max_pending);

    void Warn(const std::string& message) const;
    void Error(const std::string& message) const;

    // Drops: a warning if `dropped` grew and the last one is log_interval
    // old (or with `final`, whatever is unsaid). When to look again.
    std::int64_t Drops(std::uint64_t dropped, std::int64_t now, bool final);

    void WriteFailed(const std::string& cause, std::uint32_t attempts, std::uint64_t waiting, std::int64_t started,
                     std::int64_t now);
    void WriteSucceeded(std::uint32_t attempts, std::uint64_t waiting, std::int64_t now);

    // Deletes of rows older than the retention: a warning when they start
    // failing, at most one more every log_interval while they go on, and
    // one when they succeed again.
    void PruneFailed(const std::string& cause, std::int64_t now);
    void PruneSucceeded(std::int64_t now);

    // A row set aside: `what` names it, `why` the store's reason; with
    // `what` empty, only says the count unsaid if it is due (or `final`).
    void SetAside(const std::string& what, const std::string& why, std::int64_t now, bool final);

private:
    const std::string label_;
    const std::string where_;
    const std::int64_t interval_ns_;
    const std::uint64_t max_pending_;

    std::int64_t last_drop_log_ = 0;
    std::uint64_t drops_said_ = 0;
    std::uint64_t drops_seen_ = 0;

    bool failing_ = false;
    std::int64_t failing_since_ = 0;
    std::uint64_t failures_since_warning_ = 0;
    std::int64_t last_failure_warning_ = 0;

    bool pruning_fails_ = false;
    std::int64_t prune_failing_since_ = 0;
    std::uint64_t prune_failures_ = 0;  // since the last warning
    std::int64_t last_prune_warning_ = 0;

    std::int64_t last_set_aside_log_ = 0;
    std::uint64_t set_aside_unsaid_ = 0;
    std::uint64_t set_aside_total_ = 0;
    std::string last_reason_;
};

}  // namespace telem_pyb_log
