#include "delivery.h"

#include <cxxabi.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <utility>

#include "random_uuid.h"
#include "spooler.h"

namespace telem_pyb_log {

namespace {

// When more rows wait than a batch, up to this many batches go in one
// transaction (fewer commits while the loop catches up), and at most this
// many bytes, so that large rows after an outage go in transactions that
// finish within the store's time limit.
constexpr std::size_t kBatchesAtOnce = 4;
constexpr std::size_t kMaxBatchBytes = 8 << 20;
// Retries of a failed write: the first at once (a new connection often
// suffices: the server closed an idle one, or restarted), then after a delay
// that doubles from kFirstBackoff up to kMaxBackoff, with jitter.
constexpr double kFirstBackoff = 0.1;
constexpr double kMaxBackoff = 5.0;
constexpr std::int64_t kDone = -1;
// Gaps remembered to count exactly what a store that lost rows lost.
constexpr std::size_t kGapsKept = 4096;
// Retention: rows one round deletes at most (one transaction), and rounds at
// most once a second.
constexpr std::uint64_t kPruneRows = 10000;
constexpr std::int64_t kPruneEvery = 1'000'000'000;
// Microseconds since the epoch of 0001-01-01 UTC: nothing stored is older.
constexpr std::int64_t kFirstTime = -62'135'596'800'000'000;

std::int64_t RetentionMicros(double seconds) {
    if (!(seconds > 0)) {
        return 0;
    }
    // Longer than the time since the year 1 deletes nothing (and cannot overflow).
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::min(seconds * 1e6, 4e17)));
}

std::int64_t WallMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The loop and the spooler are woken by recording threads; as batch threads
// they do not take the core from the thread that woke them, in the middle of
// its call, but wait for a free one. They keep the same share of the
// processor.
void BecomeBatchThread() {
    const sched_param batch{};
    sched_setscheduler(0, SCHED_BATCH, &batch);
}

// What a set-aside row was: its series and time, and its value's size.
std::string Describe(const Batch& row) {
    std::string text;
    row.ForEach([&](const RowView& r) {
        text = "a row of " + std::string(r.tsname) + " (mtime " + std::string(r.mtime.substr(0, 40)) + ", a value of "
               + std::to_string(r.value.size()) + " bytes)";
    });
    return text;
}

// The queue's rows, numbered under a key of the pipeline's own.
class QueueSource : public BatchSource {
public:
    explicit QueueSource(RowQueue& queue) : queue_(queue), key_(RandomUuid()) {}
    std::string key() const override { return key_; }
    std::uint64_t start() const override { return 0; }
    std::uint64_t Waiting(std::int64_t& oldest) override { return queue_.Count(oldest); }
    void Take(Batch& batch, BatchNumbers& numbers, std::size_t max_rows, std::size_t max_bytes, bool partial,
              Damage&) override {
        queue_.Take(batch, max_rows, max_bytes, partial);
        numbers = BatchNumbers{key_, 0, next_, next_ + batch.rows() - 1, false};
        next_ += batch.rows();
    }
    void Done(std::uint64_t, std::uint64_t rows) override { queue_.Release(rows); }
    std::string Rekey() override {
        key_ = RandomUuid();
        return key_;
    }

private:
    RowQueue& queue_;
    std::string key_;
    std::uint64_t next_ = 1;
};

// The spool's committed rows, numbered by the spool under its identity.
class SpoolSource : public BatchSource {
public:
    explicit SpoolSource(Spool& spool) : spool_(spool) {}
    std::string key() const override { return spool_.identity(); }
    std::uint64_t start() const override {
        next_ = spool_.confirmed() + 1;
        return next_ - 1;
    }
    std::uint64_t Waiting(std::int64_t& oldest) override { return spool_.Unconfirmed(next_, oldest); }
    void Take(Batch& batch, BatchNumbers& numbers, std::size_t max_rows, std::size_t max_bytes, bool,
              Damage& damage) override {
        const SpoolRead read = spool_.Read(batch, next_, max_rows, max_bytes);
        numbers = BatchNumbers{spool_.identity(), 0, read.first, spool_.horizon(), true};
        if (read.damaged) {
            damage = Damage{read.where, read.rows, read.shard};
        }
        if (read.first != 0) {
            next_ = read.first + read.rows;  // handed out: the next Take starts after them
        }
    }
    void Done(std::uint64_t seq, std::uint64_t) override { spool_.Confirm(seq); }
    std::string Rekey() override { return spool_.NewIdentity(); }

private:
    Spool& spool_;
    mutable std::uint64_t next_ = 1;  // the first number not handed out yet
};

}  // namespace

DeliveryLoop::DeliveryLoop(const DeliveryOptions& options, Store& store, RowQueue& queue, Spool* spool,
                           Spooler* spooler, Counts& counts, Progress& progress, Reporter& reporter, Waker& wake)
    : options_(options),
      max_delay_ns_(ToNs(options.max_delay)),
      store_(store),
      queue_(queue),
      spool_(spool),
      spooler_(spooler),
      counts_(counts),
      progress_(progress),
      reporter_(reporter),
      wake_(wake),
      spool_source_(spool != nullptr ? std::make_unique<SpoolSource>(*spool) : nullptr),
      queue_source_(std::make_unique<QueueSource>(queue)),
      retention_us_(store.deletes_rows() ? RetentionMicros(options.retention) : 0) {}

DeliveryLoop::~DeliveryLoop() = default;

void DeliveryLoop::Run() {
    BecomeBatchThread();
    try {
        Loop();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being cancelled or ended by the interpreter
#endif
    } catch (const std::exception& e) {
        reporter_.Error("the writer of " + store_.where() + " stopped: " + e.what());
    }
    End();
}

void DeliveryLoop::Loop() {
    for (;;) {
        wake_.Drain();
        const std::int64_t now = SteadyNs();
        drops_due_ = reporter_.Drops(queue_.dropped(), now, false);
        reporter_.SetAside("", "", now, false);
        if (abandon_.load()) {
            return;
        }
        if (!current_) {
            if (PruneAt() <= now) {
                Prune(now);
                continue;
            }
            const std::int64_t due = Next(now);
            if (due == kDone) {
                return;
            }
            if (!current_) {
                wake_.SleepUntil(std::min({due, drops_due_, PruneAt()}));
                continue;
            }
        } else if (now < retry_at_ && progress_.requests() == requests_seen_) {
            wake_.SleepUntil(std::min(retry_at_, drops_due_));
            continue;
        }
        requests_seen_ = progress_.requests();
        Attempt();
    }
}

// The spool while it works or holds rows (or a gap of it is not passed
// yet); then the queue, once the spooler has handed it over. Null while it
// is handing it over.
BatchSource* DeliveryLoop::Active() {
    BatchSource* wanted = queue_source_.get();
    if (spool_source_ && active_ != queue_source_.get()) {
        std::int64_t oldest;
        if (!spooler_->failed() || spool_source_->Waiting(oldest) > 0 || (active_ != nullptr && done_ < accounted_)) {
            wanted = spool_source_.get();
        } else if (!spooler_->handed_over()) {
            return nullptr;
        }
    }
    if (wanted != active_) {
        active_ = wanted;
        done_ = accounted_ = wanted->start();
        first_written_.reset();
        gaps_.clear();
    }
    return active_;
}

std::int64_t DeliveryLoop::Next(std::int64_t now) {
    while (!ahead_.empty()) {
        Piece piece = std::move(ahead_.front());
        ahead_.pop_front();
        if (piece.gap == 0) {
            current_ = std::move(piece);
            return 0;
        }
        ApplyGap(piece);
    }
    BatchSource* source = Active();
    if (source == nullptr) {
        return kNever;  // the spooler is handing the queue over
    }
    std::int64_t oldest = kNever;
    const std::uint64_t waiting = source->Waiting(oldest);
    if (waiting == 0) {
        if (done_ < accounted_) {
            // A gap that nothing follows yet: the ledger passes it alone.
            Piece pass;
            pass.numbers = BatchNumbers{source->key(), done_, accounted_ + 1, accounted_, source == spool_source_.get()};
            current_ = std::move(pass);
            return 0;
        }
        return closing_.load() && Drained() ? kDone : kNever;
    }
    const bool urgent = closing_.load() || progress_.urgent();
    const bool due = urgent || oldest == 0 || oldest + max_delay_ns_ <= now;
    if (waiting < options_.batch_size && !due) {
        return oldest + max_delay_ns_;
    }
    Piece piece;
    Damage damage;
    const std::size_t max_rows = std::size_t{options_.batch_size} * kBatchesAtOnce;
    // A batch that is due takes every row; one that is only full, the full
    // chunks first, so that recording threads go on filling theirs.
    source->Take(piece.batch, piece.numbers, max_rows, kMaxBatchBytes, due, damage);
    if (piece.batch.empty() && damage.rows == 0 && !due) {
        source->Take(piece.batch, piece.numbers, max_rows, kMaxBatchBytes, true, damage);
    }
    if (damage.rows > 0) {
        piece.gap = damage.rows;
        piece.lost = true;
        piece.why = damage.where;
        piece.shard = damage.shard;
        ApplyGap(piece);
        return 0;
    }
    if (piece.batch.empty()) {
        return now + 1'000'000;  // nothing to take after all: look again soon
    }
    current_ = std::move(piece);
    return 0;
}

// Closing: every row is accounted for, and no more can come.
bool DeliveryLoop::Drained() {
    std::int64_t oldest;
    if (spooler_ != nullptr && !spooler_->done() && !spooler_->handed_over()) {
        return false;
    }
    if (spool_source_ && spool_source_->Waiting(oldest) > 0) {
        return false;
    }
    return !spool_source_ || spooler_->handed_over() ? queue_.Count(oldest) == 0 : true;
}

void DeliveryLoop::Attempt() {
    Piece& p = *current_;
    p.numbers.key = active_->key();
    p.numbers.follows = done_;
    const std::size_t rows = p.batch.rows();
    CheckFollows(p.numbers, rows, accounted_);  // a fault of the loop itself if it throws: it stops
    const std::int64_t started = SteadyNs();
    events_.clear();
    try {
        store_.Write(p.batch, p.numbers, *this);
    } catch (const NumberingError& e) {
        ApplyEvents();
        Rekey(e.what());
        return;
    } catch (const StoreError& e) {
        ApplyEvents();
        Failed(e, started);
        return;
    } catch (const std::exception& e) {
        ApplyEvents();
        Failed(StoreError(e.what()), started);
        return;
    }
    ApplyEvents();
    Succeeded(SteadyNs());
}

void DeliveryLoop::Succeeded(std::int64_t now) {
    Piece& p = *current_;
    const std::uint64_t rows = p.batch.rows();
    const std::uint64_t end = p.numbers.first - 1 + rows;
    if (given_up_.load()) {
        counts_.Change([&](Outcomes& o) {
            o.written += rows;
            o.abandoned -= std::min(o.abandoned, rows);
        });
        reporter_.Warn(store_.where() + " returned after closing had given it up: " + std::to_string(rows)
                       + " rows counted as abandoned were written after all");
    } else if (rows > 0) {
        counts_.Written(rows);
    }
    if (spool_ != nullptr && active_ == queue_source_.get()) {
        counts_.Change([&](Outcomes& o) { o.unspooled += rows; });
    }
    if (rows > 0 && !first_written_) {
        first_written_ = p.numbers.first;
    }
    prune_wanted_ = prune_wanted_ || rows > 0;
    done_ = accounted_ = end;
    rekeyed_ = false;
    for (const auto& chunk : p.batch.chunks()) {
        progress_.Done(chunk->shard(), chunk->rows());
    }
    try {
        active_->Done(end, rows);
    } catch (const SpoolError& e) {
        SpoolFailed(e.what());
    }
    reporter_.WriteSucceeded(attempts_, Waiting(), now);
    attempts_ = 0;
    std::vector<std::unique_ptr<Chunk>> chunks = p.batch.TakeChunks();
    if (active_ == queue_source_.get()) {
        queue_.Recycle(chunks);
    }
    current_.reset();
    if (spooler_ != nullptr && spooler_->full()) {
        spooler_->Wake();  // the spool has room again
    }
}

// When the next round of retention is due (kNever: none is).
std::int64_t DeliveryLoop::PruneAt() const {
    return retention_us_ > 0 && prune_wanted_ && !closing_.load() ? prune_at_ : kNever;
}

// One round of retention: one bounded delete. The next is a second later at
// the soonest, and after a pause as long as this one took.
void DeliveryLoop::Prune(std::int64_t now) {
    const std::int64_t before = WallMicros() - retention_us_;
    prune_wanted_ = false;
    if (before > kFirstTime) {
        try {
            const std::uint64_t deleted = store_.DeleteBefore(before, kPruneRows);
            if (deleted > 0) {
                counts_.Change([&](Outcomes& o) { o.pruned += deleted; });
            }
            prune_wanted_ = deleted >= kPruneRows;  // more may be left
            reporter_.PruneSucceeded(SteadyNs());
        } catch (const std::exception& e) {
            prune_wanted_ = true;
            reporter_.PruneFailed(e.what(), SteadyNs());
        }
    }
    const std::int64_t ended = SteadyNs();
    prune_at_ = std::max(now + kPruneEvery, ended + (ended - now));
}

void DeliveryLoop::Failed(const StoreError& error, std::int64_t started) {
    const std::int64_t now = SteadyNs();
    counts_.Failed(error.what(), true);
    const std::size_t rows = current_->batch.rows();
    retry_at_ = now;  // a split or a row set aside is tried at once
    if (error.kind() == Failure::kRowRefused && rows > 0) {
        if (error.row() && *error.row() < rows) {
            SetAside(*error.row(), error.what());
        } else if (rows > 1) {
            Split(rows / 2);  // halves until the refused row is alone
        } else {
            SetAside(0, error.what());
        }
        return;  // said when the row is set aside
    }
    if (attempts_ == 0) {
        failing_since_ = started;
    }
    ++attempts_;
    if (error.kind() == Failure::kTimeout && rows > 1) {
        Split(rows / 2);
    } else {
        Backoff(now);
    }
    if (!abandon_.load()) {
        reporter_.WriteFailed(error.what(), attempts_, Waiting(), failing_since_, now);
    }
}

void DeliveryLoop::Backoff(std::int64_t now) {
    if (attempts_ > 1) {
        thread_local std::minstd_rand jitter{std::random_device{}()};
        const double delay = std::min(kMaxBackoff, kFirstBackoff * std::pow(2.0, attempts_ - 2));
        retry_at_ = now + ToNs(delay * (0.5 + 0.5 * std::uniform_real_distribution<double>()(jitter)));
    }
}

// The rows from `at` on are tried after the rows before them.
void DeliveryLoop::Split(std::size_t at) {
    Piece& p = *current_;
    Piece rest;
    rest.numbers = p.numbers;
    rest.numbers.first = p.numbers.first + at;
    p.batch.SplitAt(at, rest.batch);
    ahead_.push_front(std::move(rest));
}

void DeliveryLoop::SetAside(std::size_t index, const std::string& why) {
    Piece& p = *current_;
    Batch row;
    p.batch.SplitAt(index, row);
    Piece after;
    row.SplitAt(1, after.batch);
    Piece gap;
    gap.gap = 1;
    gap.why = why;
    gap.what = Describe(row);
    gap.shard = row.chunks().front()->shard();
    gap.numbers = p.numbers;
    gap.numbers.first = p.numbers.first + index;
    if (!after.batch.empty()) {
        after.numbers = p.numbers;
        after.numbers.first = gap.numbers.first + 1;
        ahead_.push_front(std::move(after));
    }
    ahead_.push_front(std::move(gap));
    if (index == 0) {
        current_.reset();
    }
}

void DeliveryLoop::ApplyGap(Piece& gap) {
    if (gap.numbers.first != accounted_ + 1) {
        throw NumberingError("a gap of rows " + std::to_string(gap.numbers.first) + " on does not follow on row "
                             + std::to_string(accounted_));
    }
    const std::uint64_t first = gap.numbers.first;
    accounted_ = first - 1 + gap.gap;
    gaps_.emplace_back(first, accounted_ + 1);
    if (gaps_.size() > kGapsKept) {
        gaps_.erase(gaps_.begin());
    }
    if (gap.lost) {
        counts_.Change([&](Outcomes& o) { o.lost += gap.gap; });
        reporter_.Error("rows " + std::to_string(first) + " to " + std::to_string(accounted_) + " of the spool "
                        + spool_->path() + " are lost: " + gap.why);
    } else {
        counts_.Change([&](Outcomes& o) { o.set_aside += gap.gap; });
        reporter_.SetAside(gap.what, gap.why, SteadyNs(), false);
    }
    progress_.Done(gap.shard, gap.gap);
    if (active_ == queue_source_.get()) {
        queue_.Release(gap.gap);
    }
}

void DeliveryLoop::Rekey(const std::string& why) {
    std::string key;
    try {
        key = active_->Rekey();
    } catch (const SpoolError& e) {
        SpoolFailed(e.what());  // its rows are tried again, after a pause
        ++attempts_;
        Backoff(SteadyNs());
        return;
    }
    rekeyed_ = true;
    first_written_.reset();
    gaps_.clear();
    reporter_.Warn(store_.where() + ": " + why + "; "
                   + (active_ == spool_source_.get() ? "the spool " + spool_->path() : std::string("this recorder"))
                   + " takes a new identity, " + key + ", under which its rows from "
                   + std::to_string(current_->numbers.first) + " on are delivered");
}

void DeliveryLoop::SpoolFailed(const std::string& cause) {
    if (spooler_ != nullptr && !spooler_->failed()) {
        spooler_->Fail(cause);
    }
}

std::uint64_t DeliveryLoop::Waiting() { return counts_.Get().Pending(queue_.Recorded()); }

void DeliveryLoop::End() {
    store_.Close();
    queue_.StopAccepting();
    if (spooler_ != nullptr) {
        // It spools what is queued (rows are safer on disk than given up), then ends.
        spooler_->Finish();
        spooler_->Join();
    }
    std::uint64_t abandoned = 0;
    if (active_ != spool_source_.get() || active_ == nullptr) {
        // Rows taken from the queue itself, not in a spool.
        abandoned += current_ ? current_->batch.rows() : 0;
        for (const Piece& p : ahead_) {
            abandoned += p.batch.rows();
        }
    }
    current_.reset();
    ahead_.clear();
    abandoned += queue_.Clear();
    const std::int64_t now = SteadyNs();
    reporter_.Drops(queue_.dropped(), now, true);
    reporter_.SetAside("", "", now, true);
    if (spool_ != nullptr) {
        spool_->Close();  // another recorder may open it now
    }
    counts_.Change([&](Outcomes& o) {
        if (!given_up_.load()) {  // else counted when close gave the store up
            o.abandoned += abandoned;
        }
    });
    progress_.Finish();
}

// Events of a write ---------------------------------------------------------

void DeliveryLoop::Warn(const std::string& message) { events_.push_back({Event::kWarn, 0, 0, message}); }

void DeliveryLoop::Lost(std::uint64_t rows, const std::string& message) {
    events_.push_back({Event::kLost, rows, 0, message});
}

void DeliveryLoop::Behind(std::uint64_t from, std::uint64_t to, const std::string& where) {
    events_.push_back({Event::kBehind, from, to, where});
}

void DeliveryLoop::Fresh(std::uint64_t follows, const std::string& where) {
    events_.push_back({Event::kFresh, follows, 0, where});
}

std::uint64_t DeliveryLoop::GapRows(std::uint64_t from, std::uint64_t to) const {
    std::uint64_t rows = 0;
    for (const auto& [first, end] : gaps_) {
        const std::uint64_t a = std::max(first, from);
        const std::uint64_t b = std::min(end, to + 1);
        rows += b > a ? b - a : 0;
    }
    return rows;
}

void DeliveryLoop::ApplyEvents() {
    for (const Event& e : events_) {
        if (e.kind == Event::kWarn) {
            reporter_.Warn(e.text);
        } else if (e.kind == Event::kLost) {
            counts_.Change([&](Outcomes& o) {
                o.written -= std::min(o.written, e.a);
                o.lost += e.a;
            });
            reporter_.Error(e.text);
        } else if (e.kind == Event::kBehind) {
            // Of the numbers from .. to, rows this loop wrote are no longer
            // written; those written before it are rows it accounts for now.
            const std::uint64_t lost = e.b - e.a + 1 - GapRows(e.a, e.b);
            const std::uint64_t mine_from = first_written_ ? std::max(*first_written_, e.a) : e.b + 1;
            const std::uint64_t mine = mine_from <= e.b ? e.b - mine_from + 1 - GapRows(mine_from, e.b) : 0;
            counts_.Change([&](Outcomes& o) {
                o.written -= std::min(o.written, mine);
                o.recovered += lost - mine;
                o.lost += lost;
            });
            reporter_.Error("the server lost " + std::to_string(lost) + " rows that it had confirmed: rows "
                            + std::to_string(e.a) + " to " + std::to_string(e.b) + " of this recorder are not in "
                            + e.text + " (its ledger counts " + std::to_string(e.a - 1)
                            + "); delivery goes on from its count");
        } else if (!rekeyed_) {
            reporter_.Warn(e.text + " has no count of the rows of " + active_->key() + ": its rows up to "
                           + std::to_string(e.a) + " went to another table or server (or this one lost them all); "
                           "the rows from " + std::to_string(e.a + 1) + " on are delivered here");
        }
    }
    events_.clear();
}

}  // namespace telem_pyb_log
