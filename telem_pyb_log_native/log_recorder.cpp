#include "log_recorder.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <set>
#include <utility>

#include "gil.h"
#include "utc_clock.h"

namespace telem_pyb_log {

namespace {

using norv::telem::TelemException;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using norv::telem::TsValue;
namespace log = norv::telem::backend::log;

std::atomic<std::uint64_t> next_uid{1};
std::atomic<unsigned> next_shard{0};

// Each thread appends to a queue shard of its own.
unsigned ThreadShard() {
    thread_local const unsigned shard = next_shard.fetch_add(1, std::memory_order_relaxed);
    return shard;
}

// Every live recorder, for closing at exit and for fork().
std::mutex registry_mutex;
std::set<LogRecorder*>& Registry() {
    static auto* registry = new std::set<LogRecorder*>;  // outlives every recorder, also at exit
    return *registry;
}
bool refuse_new = false;  // under registry_mutex

// What a child after fork() abandons of its parent's recorders (pipelines,
// locks): kept here, never freed, so that they stay reachable.
struct Abandoned {
    std::vector<std::unique_ptr<Pipeline>> pipelines;
    std::vector<std::unique_ptr<std::mutex>> mutexes;
};
Abandoned& AbandonedAfterFork() {
    static auto* abandoned = new Abandoned;
    return *abandoned;
}

const char* const kSeriesFields[] = {"tsname", "btype", "units", "comment", "origin"};

// Whether a point's conversion gave the five texts of its series.
bool SameTexts(const log::Point& db, const Series& s) {
    if (s.texts_are_meta) {
        const TsMetadata& m = s.meta;
        return db.tsname == m.tsname && db.btype == m.btype && db.units == m.units && db.comment == m.comment
               && db.origin == m.origin;
    }
    return db.tsname == s.tsname && db.btype == s.btype && db.units == s.units && db.comment == s.comment
           && db.origin == s.origin;
}

}  // namespace

LogRecorder::LogRecorder(RecorderOptions options, std::unique_ptr<Store> store)
    : options_(std::move(options)),
      where_(store->where()),
      format_(store->format()),
      uid_(next_uid.fetch_add(1)),
      close_mutex_(std::make_unique<std::mutex>()) {
    owned_pipeline_ = std::make_unique<Pipeline>(options_, std::move(store));
    {
        const std::lock_guard<std::mutex> lock(registry_mutex);
        if (refuse_new) {
            throw TelemException(options_.label + ": the interpreter is exiting; no recorder can be opened");
        }
        owned_pipeline_->Start();
        pipeline_.store(owned_pipeline_.get());
        Registry().insert(this);
    }
}

LogRecorder::~LogRecorder() {
    {
        const std::lock_guard<std::mutex> lock(registry_mutex);
        Registry().erase(this);
    }
    if (owned_pipeline_ && state_.load() != kClosed) {
        const PipelineStats s = owned_pipeline_->stats();
        if (s.pending > 0) {
            std::fprintf(stderr, "telem_pyb_log: %s\n", NotWritten(s, "it was destroyed unclosed").c_str());
        }
    }
    Pipeline::Dispose(std::move(owned_pipeline_));
}

void LogRecorder::Refuse(const std::string& reason, SeriesCounts* own) {
    refused_.fetch_add(1, std::memory_order_relaxed);
    if (own != nullptr) {
        own->refused.fetch_add(1, std::memory_order_relaxed);
    }
    throw TelemException(options_.label + ": " + reason);
}

void LogRecorder::RefuseClosed(SeriesCounts* own) { Refuse(where_ + " is closed; it records nothing more", own); }

Pipeline& LogRecorder::Ready(SeriesCounts* own) {
    const int state = state_.load(std::memory_order_acquire);
    if (state == kOpen) {
        return *pipeline_.load(std::memory_order_relaxed);
    }
    if (state == kClosed) {
        RefuseClosed(own);
    }
    if (!options_.spool.empty()) {
        // The spool is locked by the parent, which goes on using it.
        Refuse("a recorder with a spool does not record in a child process after fork(): the spool "
                   + options_.spool + " stays with the parent; open a recorder with a spool of its own here",
               own);
    }
    // The first call in a child after fork(): a pipeline of its own, with a
    // new connection and writer. No I/O here: the writer connects.
    GilReleased gil;
    {
        const std::lock_guard<std::mutex> lock(*close_mutex_);
        if (state_.load() == kForked) {
            auto pipeline = std::make_unique<Pipeline>(options_, pipeline_.load()->store().ForChild());
            pipeline->Start();
            pipeline_.store(pipeline.get());
            owned_pipeline_ = std::move(pipeline);
            inherited_ = false;
            state_.store(kOpen, std::memory_order_release);
        }
    }
    gil.Restore();
    if (state_.load(std::memory_order_acquire) != kOpen) {
        RefuseClosed(own);
    }
    return *pipeline_.load(std::memory_order_relaxed);
}

const std::shared_ptr<const Series>& LogRecorder::CurrentSeries() {
    struct Entry {
        std::uint64_t owner = 0;
        std::uint64_t generation = 0;
        std::shared_ptr<const Series> series;
    };
    thread_local std::array<Entry, 4> cache;
    thread_local unsigned next_entry = 0;
    const std::uint64_t generation = generation_.load(std::memory_order_acquire);
    Entry* entry = nullptr;
    for (Entry& e : cache) {
        if (e.owner == uid_) {
            if (e.generation == generation) {
                return e.series;
            }
            entry = &e;
        }
    }
    if (entry == nullptr) {
        entry = &cache[next_entry++ % cache.size()];
    }
    std::shared_ptr<const Series> series;
    std::uint64_t current;
    {
        const std::lock_guard<std::mutex> lock(meta_mutex_);
        series = series_;
        current = generation_.load(std::memory_order_relaxed);
    }
    entry->owner = uid_;
    entry->generation = current;
    entry->series = std::move(series);
    return entry->series;
}

void LogRecorder::RecordMetadata(const TsMetadata& meta) {
    std::shared_ptr<const Series> series = Describe(meta, nullptr);
    const std::lock_guard<std::mutex> lock(meta_mutex_);
    series_ = std::move(series);
    generation_.fetch_add(1, std::memory_order_release);
}

std::shared_ptr<const Series> LogRecorder::Describe(const TsMetadata& meta, SeriesCounts* own) {
    if (state_.load() == kClosed) {
        RefuseClosed(own);
    }
    if (meta.tsname.empty()) {
        Refuse("metadata without a tsname; the log records need the series name", own);
    }
    auto series = std::make_shared<Series>();
    series->meta = meta;
    // The fields that every row of the series takes from its metadata.
    const log::Point probe = log::ConvertPointToDb(meta, TsPoint());
    series->tsname = probe.tsname;
    series->btype = probe.btype;
    series->units = probe.units;
    series->comment = probe.comment;
    series->origin = probe.origin;
    series->texts_are_meta = probe.tsname == meta.tsname && probe.btype == meta.btype && probe.units == meta.units
                             && probe.comment == meta.comment && probe.origin == meta.origin;
    const std::string* fields[] = {&series->tsname, &series->btype, &series->units, &series->comment,
                                   &series->origin};
    for (std::size_t i = 0; i < 5; ++i) {
        if (const char* why = TextRefusal(*fields[i], format_)) {
            Refuse(std::string("the metadata's ") + kSeriesFields[i] + ": " + why + "; the metadata is refused", own);
        }
    }
    // The series table holds the other four fields too.
    const std::pair<const char*, const std::string*> others[] = {
        {"tsid", &meta.tsid}, {"serial", &meta.serial}, {"role", &meta.role}, {"json", &meta.json}};
    for (const auto& [name, text] : others) {
        if (const char* why = TextRefusal(*text, format_)) {
            Refuse(std::string("the metadata's ") + name + ": " + why + "; the metadata is refused", own);
        }
    }
    return series;
}

template <typename SeriesPtr>
void LogRecorder::Enqueue(Pipeline& pipeline, SeriesPtr&& series, const TsPoint& point, SeriesCounts* own) {
    const log::Point db = log::ConvertPointToDb(series->meta, point);
    if (const char* why = TextRefusal(db.mtime, format_)) {
        Refuse(std::string("the point's mtime: ") + why + "; the point is refused", own);
    }
    if (const char* why = TextRefusal(db.value, format_)) {
        Refuse(std::string("the point's value: ") + why + "; the point is refused", own);
    }
    TypedFields typed;
    typed.has_time = ParseTime(db.mtime, typed.time);
    typed.has_number = NumberOf(point.value, typed.number);
    Queued queued;
    if (SameTexts(db, *series)) {
        queued = pipeline.Append(ThreadShard(), std::forward<SeriesPtr>(series), db.mtime, db.value, typed);
    } else {
        const std::string* fields[] = {&db.tsname, &db.btype, &db.units, &db.comment, &db.origin};
        for (std::size_t i = 0; i < 5; ++i) {
            if (const char* why = TextRefusal(*fields[i], format_)) {
                Refuse(std::string("the point's ") + kSeriesFields[i] + ": " + why + "; the point is refused", own);
            }
        }
        queued = pipeline.AppendFull(ThreadShard(), RowView{db.mtime, db.tsname, db.value, db.btype, db.units,
                                                            db.comment, db.origin, typed});
    }
    if (queued == Queued::kClosed) {
        if (state_.load() == kOpen) {
            // Not closed: its writer stopped on a fault of its own, said in the log.
            Refuse(where_ + ": the recorder's writer stopped (see the log); it records nothing more", own);
        }
        RefuseClosed(own);
    }
    if (!typed.has_time && queued == Queued::kYes) {
        untimed_.fetch_add(1, std::memory_order_relaxed);
    }
    if (own != nullptr) {
        if (queued == Queued::kYes) {
            own->recorded.fetch_add(1, std::memory_order_relaxed);
            if (!typed.has_time) {
                own->untimed.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            own->dropped.fetch_add(1, std::memory_order_relaxed);
        }
    }
}

void LogRecorder::RecordPoint(const TsPoint& point) {
    Pipeline& pipeline = Ready();
    const std::shared_ptr<const Series>& series = CurrentSeries();
    if (!series) {
        Refuse("a point arrived before any metadata; call record_metadata or record_metadata_kv first");
    }
    if (point.mtime.empty()) {
        TsPoint stamped(point.value);
        StampUtcNow(stamped.mtime);
        Enqueue(pipeline, series, stamped);
    } else {
        Enqueue(pipeline, series, point);
    }
}

void LogRecorder::RecordOwnPoint(TsPoint& point) {
    Pipeline& pipeline = Ready();
    const std::shared_ptr<const Series>& series = CurrentSeries();
    if (!series) {
        Refuse("a point arrived before any metadata; call record_metadata or record_metadata_kv first");
    }
    if (point.mtime.empty()) {
        StampUtcNow(point.mtime);
    }
    Enqueue(pipeline, series, point);
}

void LogRecorder::RecordValue(TsValue value) {
    Pipeline& pipeline = Ready();
    const std::shared_ptr<const Series>& series = CurrentSeries();
    if (!series) {
        Refuse("a point arrived before any metadata; call record_metadata or record_metadata_kv first");
    }
    TsPoint point(std::move(value));
    StampUtcNow(point.mtime);
    Enqueue(pipeline, series, point);
}

std::string LogRecorder::NotWritten(const PipelineStats& s, const std::string& when) const {
    const std::string cause = s.last_error.empty() ? "no write had failed" : "the last error: " + s.last_error;
    if (!options_.spool.empty() && s.spool_error.empty()) {
        std::string text = options_.label + ": " + where_ + ": " + std::to_string(s.spool.rows)
                           + " rows were not written when " + when + "; they stay in the spool " + options_.spool
                           + " for the next recorder opened on it";
        if (s.abandoned > 0) {
            text += "; " + std::to_string(s.abandoned) + " rows that the spool did not take are lost";
        }
        return text + "; " + cause;
    }
    const std::uint64_t rows = s.abandoned > 0 ? s.abandoned : s.pending;
    return options_.label + ": " + where_ + ": " + std::to_string(rows) + " rows were not written when " + when
           + " and are lost; " + cause;
}

void LogRecorder::Flush(double timeout, bool interruptible) {
    Pipeline& pipeline = Ready();
    if (!pipeline.Flush(timeout, interruptible)) {
        if (state_.load() == kClosed) {
            RefuseClosed();
        }
        const PipelineStats s = pipeline.stats();
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", timeout);
        throw TelemException(options_.label + ": " + where_ + ": " + std::to_string(s.pending)
                             + " rows are not written after " + limit + " s; "
                             + (s.last_error.empty() ? "no write has failed" : "the last error: " + s.last_error));
    }
}

void LogRecorder::CloseWithin(double timeout, bool interruptible) {
    const auto deadline = Pipeline::Clock::now() + std::chrono::nanoseconds(timeout >= 0 ? ToNs(timeout) : 0);
    Pipeline* pipeline = nullptr;
    int was;
    {
        // Only the change of state: nobody holds it while waiting.
        const std::lock_guard<std::mutex> lock(*close_mutex_);
        was = state_.exchange(kClosed);
        if (was != kForked && !inherited_) {
            pipeline = pipeline_.load();
        }
        if (was == kOpen) {
            pipeline->BeginClose();
        }
    }
    std::string failure;
    if (was == kOpen && !pipeline->FinishClose(deadline, timeout >= 0, interruptible)) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", timeout);
        failure = NotWritten(pipeline->stats(), std::string("closing took ") + limit + " s");
    } else if (was == kClosed && pipeline != nullptr) {
        pipeline->WaitStopped(deadline, timeout >= 0, interruptible);  // another thread's close
    }
    {
        const std::lock_guard<std::mutex> lock(registry_mutex);
        Registry().erase(this);
    }
    if (!failure.empty()) {
        throw TelemException(failure);
    }
}

void LogRecorder::Close() { CloseWithin(-1); }

void LogRecorder::CloseUncollected() {
    try {
        CloseWithin(options_.exit_timeout);
    } catch (const TelemException& e) {
        LogToPython(kLogError, std::string(e.what()) + " (the recorder was garbage collected unclosed)");
    }
}

std::optional<TsMetadata> LogRecorder::metadata() const {
    const std::lock_guard<std::mutex> lock(meta_mutex_);
    if (!series_) {
        return std::nullopt;
    }
    return series_->meta;
}

RecorderStats LogRecorder::stats() const {
    RecorderStats s;
    if (state_.load() != kForked && !inherited_) {
        static_cast<PipelineStats&>(s) = pipeline_.load()->stats();
    }
    s.refused = refused_.load();
    s.untimed = untimed_.load();
    return s;
}

std::vector<ExitReport> LogRecorder::CloseAll() {
    std::vector<std::shared_ptr<LogRecorder>> open;
    {
        const std::lock_guard<std::mutex> lock(registry_mutex);
        for (LogRecorder* r : Registry()) {
            if (auto alive = r->weak_from_this().lock()) {
                open.push_back(std::move(alive));
            }
        }
    }
    const auto start = std::chrono::steady_clock::now();
    // Every recorder starts closing at once; each then gets until its own
    // exit_timeout. A recorder that another thread is closing already is
    // given up at its deadline, so that its writer stops before the
    // interpreter finalizes.
    std::vector<std::pair<std::shared_ptr<LogRecorder>, bool>> closing;  // (recorder, closed here)
    for (auto& r : open) {
        const int was = r->state_.exchange(kClosed);
        if (r->inherited_) {
            continue;  // the parent's, closed there
        }
        if (was == kOpen) {
            r->pipeline_.load()->BeginClose();
            closing.emplace_back(r, true);
        } else if (was == kClosed) {
            closing.emplace_back(r, false);
        }
    }
    std::vector<ExitReport> reports;
    for (auto& [r, here] : closing) {
        const auto deadline =
            start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(r->options_.exit_timeout));
        Pipeline* pipeline = r->pipeline_.load();
        if (here) {
            if (!pipeline->FinishClose(deadline, true, false)) {
                const PipelineStats s = pipeline->stats();
                reports.push_back({r->options_.label, r->where_, s.abandoned, s.spool.rows,
                                   s.last_error.empty() ? "no write had failed; writing took longer than exit_timeout"
                                                        : s.last_error});
            }
        } else if (!pipeline->WaitStopped(deadline)) {
            pipeline->Abandon();
            pipeline->WaitStopped(deadline + std::chrono::seconds(5));
        }
        const std::lock_guard<std::mutex> lock(registry_mutex);
        Registry().erase(r.get());
    }
    return reports;
}

void LogRecorder::RefuseNew(bool refuse) {
    const std::lock_guard<std::mutex> lock(registry_mutex);
    refuse_new = refuse;
}

// fork(): the child must not share anything with the parent's recorders. Its
// recorders abandon the parent's pipelines (queue, connection, writer thread,
// which does not exist in the child; a store in the middle of a write is
// neither used nor closed there) and make their own on first use. The locks
// that a child reuses are taken before fork(), so that no other thread holds
// them while the process is copied; none of them is ever held while waiting
// for anything (I/O, a store, the interpreter lock, which the forking thread
// may hold), so that fork() never waits on delivery; a store whose library
// must not cross fork() with a connection in use (SQLite) interrupts its
// writer and closes the connection (Store::PrepareFork).

void LogRecorder::PrepareFork() {
    registry_mutex.lock();
    for (LogRecorder* r : Registry()) {
        r->meta_mutex_.lock();
        r->series_list_mutex_.lock();
        for (SeriesRecorder* s = r->series_list_; s != nullptr; s = s->next_) {
            s->series_lock_.lock();
        }
        // Also a closed recorder's: its writer may still be finishing.
        r->fork_store_ = r->state_.load() != kForked ? &r->pipeline_.load()->store() : nullptr;
        if (r->fork_store_ != nullptr) {
            r->fork_store_->PrepareFork();
        }
    }
}

void LogRecorder::ParentAfterFork() {
    for (LogRecorder* r : Registry()) {
        if (r->fork_store_ != nullptr) {
            r->fork_store_->ParentAfterFork();
        }
        for (SeriesRecorder* s = r->series_list_; s != nullptr; s = s->next_) {
            s->series_lock_.unlock();
        }
        r->series_list_mutex_.unlock();
        r->meta_mutex_.unlock();
    }
    registry_mutex.unlock();
}

void LogRecorder::ChildAfterFork() {
    for (LogRecorder* r : Registry()) {
        for (SeriesRecorder* s = r->series_list_; s != nullptr; s = s->next_) {
            s->series_lock_.unlock();
        }
        r->series_list_mutex_.unlock();
        r->meta_mutex_.unlock();
        // The parent's close_mutex_ may be held by a thread that is not here.
        AbandonedAfterFork().mutexes.push_back(std::move(r->close_mutex_));
        r->close_mutex_ = std::make_unique<std::mutex>();
        const int state = r->state_.load();
        if (state != kForked) {
            // The parent's pipeline (also a closed one whose writer may be
            // finishing): its threads are not here, its locks may be held.
            r->pipeline_.load()->ForgetSpoolAfterFork();
            AbandonedAfterFork().pipelines.push_back(std::move(r->owned_pipeline_));  // see pipeline_
            r->inherited_ = true;
        }
        if (state == kOpen) {
            r->state_.store(kForked);
        }
    }
    registry_mutex.unlock();
}

SeriesRecorder::SeriesRecorder(std::shared_ptr<LogRecorder> sink) : sink_(std::move(sink)) {
    const std::lock_guard<std::mutex> lock(sink_->series_list_mutex_);
    next_ = sink_->series_list_;
    if (next_ != nullptr) {
        next_->prev_ = this;
    }
    sink_->series_list_ = this;
}

SeriesRecorder::~SeriesRecorder() {
    const std::lock_guard<std::mutex> lock(sink_->series_list_mutex_);
    (prev_ != nullptr ? prev_->next_ : sink_->series_list_) = next_;
    if (next_ != nullptr) {
        next_->prev_ = prev_;
    }
}

Pipeline& SeriesRecorder::Ready() {
    if (closed_.load(std::memory_order_acquire)) {
        sink_->Refuse("this recorder of " + sink_->where_ + " is closed; it records nothing more", &counts_);
    }
    return sink_->Ready(&counts_);
}

std::shared_ptr<const Series> SeriesRecorder::Current() {
    std::shared_ptr<const Series> series;
    {
        const std::lock_guard<SpinLock> lock(series_lock_);
        series = series_;
    }
    if (!series) {
        sink_->Refuse("a point arrived before any metadata; call record_metadata or record_metadata_kv first",
                      &counts_);
    }
    return series;
}

void SeriesRecorder::RecordMetadata(const TsMetadata& meta) {
    if (closed_.load(std::memory_order_acquire)) {
        sink_->Refuse("this recorder of " + sink_->where_ + " is closed; it records nothing more", &counts_);
    }
    std::shared_ptr<const Series> series = sink_->Describe(meta, &counts_);
    {
        const std::lock_guard<SpinLock> lock(series_lock_);
        series_.swap(series);
    }
    // The description it replaces is let go of outside the lock.
}

void SeriesRecorder::RecordPoint(const TsPoint& point) {
    Pipeline& pipeline = Ready();
    std::shared_ptr<const Series> series = Current();
    if (point.mtime.empty()) {
        TsPoint stamped(point.value);
        StampUtcNow(stamped.mtime);
        sink_->Enqueue(pipeline, std::move(series), stamped, &counts_);
    } else {
        sink_->Enqueue(pipeline, std::move(series), point, &counts_);
    }
}

void SeriesRecorder::RecordOwnPoint(TsPoint& point) {
    Pipeline& pipeline = Ready();
    std::shared_ptr<const Series> series = Current();
    if (point.mtime.empty()) {
        StampUtcNow(point.mtime);
    }
    sink_->Enqueue(pipeline, std::move(series), point, &counts_);
}

void SeriesRecorder::RecordValue(TsValue value) {
    Pipeline& pipeline = Ready();
    std::shared_ptr<const Series> series = Current();
    TsPoint point(std::move(value));
    StampUtcNow(point.mtime);
    sink_->Enqueue(pipeline, std::move(series), point, &counts_);
}

std::optional<TsMetadata> SeriesRecorder::metadata() const {
    std::shared_ptr<const Series> series;
    {
        const std::lock_guard<SpinLock> lock(series_lock_);
        series = series_;
    }
    if (!series) {
        return std::nullopt;
    }
    return series->meta;
}

}  // namespace telem_pyb_log
