#pragma once

// The delivery loop: the one writer thread of a pipeline, the same with or
// without a spool. It takes numbered batches from a source (the spool, or the
// queue itself), bounded in rows and bytes; writes each through the store in
// one transaction; and by what a failure means retries it with backoff (the
// store is down, locked: Failure::kTransient), splits it before trying again
// (it timed out: kTimeout), or sets the refused row aside and delivers the
// rest (kRowRefused). Rows set aside and damaged spool records leave gaps in
// the numbering, which the next write's ledger advance crosses (or a write
// of no rows, when nothing follows); numbering.h has the rule, checked here
// before every write. A spool that fails does not end delivery: the loop
// delivers what the spool holds, then takes the queue itself.
//
// With a retention, the loop also deletes the store's rows older than it:
// after a write, at most once a second (and, after a long delete, after a
// pause as long as it took), one bounded transaction a round, between
// batches; a round that deleted its whole bound is followed by another
// until the old rows are gone. A delete that fails is logged and tried
// again at the next round; it never touches the rows being delivered.
//
// State, threads and locks: every member is the loop thread's own, except
// closing_, abandon_ and given_up_ (atomics any thread sets) and what it
// reaches through references (each part's own rules). It takes no lock of
// its own, and holds none while it calls the store or logs.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "counts.h"
#include "numbering.h"
#include "progress.h"
#include "reporter.h"
#include "row_queue.h"
#include "rows.h"
#include "spool.h"
#include "store.h"
#include "waker.h"

namespace telem_pyb_log {

class Spooler;

// Rows a source cannot give: they are lost (a damaged spool record).
struct Damage {
    std::string where;
    std::uint64_t rows = 0;
    unsigned shard = Chunk::kNoShard;
};

// Numbered batches for the loop: the spool's records, or the queue's rows.
class BatchSource {
public:
    virtual ~BatchSource() = default;
    // The key its numbers are given under, and the last number accounted
    // for before the first it gives.
    virtual std::string key() const = 0;
    virtual std::uint64_t start() const = 0;
    // Rows waiting, and when the oldest was queued (steady-clock ns; kNever:
    // none; 0: found when the spool was opened).
    virtual std::uint64_t Waiting(std::int64_t& oldest) = 0;
    // Fills `batch` with the next rows (up to the limits; with `partial` also
    // rows of chunks still being filled) and `numbers` with theirs; or, when
    // the next rows are lost (a damaged record), leaves `batch` empty and
    // fills `damage`, with `numbers` naming them.
    virtual void Take(Batch& batch, BatchNumbers& numbers, std::size_t max_rows, std::size_t max_bytes, bool partial,
                      Damage& damage) = 0;
    // Every row up to `seq` is accounted for; `rows` of them are done with.
    virtual void Done(std::uint64_t seq, std::uint64_t rows) = 0;
    // A new key, under which its numbers are new (the store's ledger is
    // ahead of them).
    virtual std::string Rekey() = 0;
};

struct DeliveryOptions {
    std::string label;
    std::uint32_t batch_size = 1000;
    double max_delay = 1.0;
    double retention = 0;  // seconds; rows older are deleted from the store's table; 0: none are
};

class DeliveryLoop : private DeliveryEvents {
public:
    DeliveryLoop(const DeliveryOptions& options, Store& store, RowQueue& queue, Spool* spool, Spooler* spooler,
                 Counts& counts, Progress& progress, Reporter& reporter, Waker& wake);
    ~DeliveryLoop();

    // The thread's body: delivers until closing and every row is accounted
    // for, or until abandoned; then gives up what is left and finishes.
    void Run();

    // Any thread. Closing: no more rows come, deliver what is left.
    void BeginClose() { closing_.store(true); }
    // Stop soon, giving up what is not written (with a spool: kept there).
    void Abandon() { abandon_.store(true); }
    // Close gave the store up (it hangs): the rows not written were counted
    // abandoned already; a write that returns after all is counted again.
    void GiveUp() { given_up_.store(true); }

private:
    // A part of the work, in order: rows to write (with `numbers`), or a gap
    // (rows set aside or lost: `gap` rows numbered from numbers.first).
    struct Piece {
        Batch batch;
        BatchNumbers numbers;
        std::uint64_t gap = 0;
        bool lost = false;     // a gap of rows lost (a damaged record), not set aside
        std::string why;       // the gap's reason
        std::string what;      // the row set aside
        unsigned shard = Chunk::kNoShard;
    };

    void Loop();
    BatchSource* Active();
    // Sets current_ to the next piece that is due, or returns when to look
    // again (kNever: when woken); kDone once closing and nothing is left.
    std::int64_t Next(std::int64_t now);
    bool Drained();
    void Attempt();
    void Succeeded(std::int64_t now);
    std::int64_t PruneAt() const;
    void Prune(std::int64_t now);
    void Failed(const StoreError& error, std::int64_t started);
    void Backoff(std::int64_t now);
    void Split(std::size_t at);
    void SetAside(std::size_t index, const std::string& why);
    void ApplyGap(Piece& gap);
    void Rekey(const std::string& why);
    void SpoolFailed(const std::string& cause);
    std::uint64_t Waiting();
    void End();

    // DeliveryEvents: collected during a write, applied after it.
    void Warn(const std::string& message) override;
    void Lost(std::uint64_t rows, const std::string& message) override;
    void Behind(std::uint64_t from, std::uint64_t to, const std::string& where) override;
    void Fresh(std::uint64_t follows, const std::string& where) override;
    void ApplyEvents();
    std::uint64_t GapRows(std::uint64_t from, std::uint64_t to) const;

    const DeliveryOptions options_;
    const std::int64_t max_delay_ns_;
    Store& store_;
    RowQueue& queue_;
    Spool* const spool_;
    Spooler* const spooler_;
    Counts& counts_;
    Progress& progress_;
    Reporter& reporter_;
    Waker& wake_;
    std::unique_ptr<BatchSource> spool_source_;
    std::unique_ptr<BatchSource> queue_source_;

    std::atomic<bool> closing_{false};
    std::atomic<bool> abandon_{false};
    std::atomic<bool> given_up_{false};

    BatchSource* active_ = nullptr;
    std::uint64_t done_ = 0;       // the last number the store's ledger shows, as far as the loop knows
    std::uint64_t accounted_ = 0;  // the last number accounted for (written, set aside, lost)
    std::optional<std::uint64_t> first_written_;  // the first number this loop wrote under the key
    std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps_;  // recent gaps under the key: (first, end)
    bool rekeyed_ = false;

    std::optional<Piece> current_;
    std::deque<Piece> ahead_;  // split off current_, in order
    std::uint32_t attempts_ = 0;
    std::int64_t retry_at_ = 0;
    std::int64_t failing_since_ = 0;
    std::uint64_t requests_seen_ = 0;
    std::int64_t drops_due_ = kNever;

    const std::int64_t retention_us_;  // 0: none
    bool prune_wanted_ = false;  // a write since the last round, or old rows left
    std::int64_t prune_at_ = 0;  // the next round, not before (steady-clock ns)

    struct Event {
        enum Kind { kWarn, kLost, kBehind, kFresh } kind;
        std::uint64_t a = 0, b = 0;
        std::string text;
    };
    std::vector<Event> events_;
};

}  // namespace telem_pyb_log
