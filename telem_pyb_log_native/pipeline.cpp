#include "pipeline.h"

#include <Python.h>
#include <cxxabi.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <random>
#include <system_error>
#include <utility>

#include "gil.h"
#include "norv/telem/TelemException.h"

namespace telem_pyb_log {

namespace {

using std::chrono::steady_clock;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kNever = INT64_MAX;
// Written chunks are kept for reuse, up to 64 MiB: memory the queue has once
// needed is not given back and faulted in again with the next burst (page
// faults of two recording threads at once make them wait for each other).
constexpr std::size_t kPooledChunks = 1024;
constexpr std::size_t kBatchesAtOnce = 4;
// Retries of a failed write: the first at once (a new connection often
// suffices: the server closed an idle one, or restarted), then after a delay
// that doubles from kFirstBackoff up to kMaxBackoff, with jitter.
constexpr double kFirstBackoff = 0.1;
constexpr double kMaxBackoff = 5.0;
// A Python store that does not return within this time of close's deadline
// is left to its thread.
constexpr double kPythonStoreGrace = 5.0;

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::int64_t ToNs(double seconds) {
    return seconds >= 9e9 ? kNever : static_cast<std::int64_t>(seconds * 1e9);
}

// The writer and the spooler are woken by recording threads; as batch threads
// they do not take the core from the thread that woke them, in the middle of
// its call, but wait for a free one. They keep the same share of the
// processor.
void BecomeBatchThread() {
    const sched_param batch{};
    sched_setscheduler(0, SCHED_BATCH, &batch);
}

// Takes what an eventfd holds.
void Drain(int fd) {
    std::uint64_t count;
    while (read(fd, &count, sizeof count) > 0) {
    }
}

std::string Seconds(std::int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ns) / 1e9);
    return text;
}

}  // namespace

void LogToPython(int level, const std::string& message) {
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
        std::fprintf(stderr, "telem_pyb_log: %s\n", message.c_str());
        return;
    }
    // Plain API calls, no objects with destructors: see gil.h on unwinding.
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* result = nullptr;
    PyObject* logging = PyImport_ImportModule("logging");
    if (logging != nullptr) {
        PyObject* logger = PyObject_CallMethod(logging, "getLogger", "s", "telem_pyb_log");
        if (logger != nullptr) {
            PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
            if (text != nullptr) {
                result = PyObject_CallMethod(logger, "log", "iO", level, text);
                Py_DECREF(text);
            }
            Py_DECREF(logger);
        }
        Py_DECREF(logging);
    }
    if (result == nullptr) {
        PyErr_WriteUnraisable(nullptr);
    }
    Py_XDECREF(result);
    PyGILState_Release(gil);
}

Pipeline::Pipeline(PipelineOptions options, std::unique_ptr<Store> store)
    : options_(std::move(options)),
      store_(std::move(store)),
      format_(store_->format()),
      max_delay_ns_(ToNs(options_.max_delay)),
      chunk_rows_(std::min<std::uint32_t>(options_.batch_size, 1024)),
      room_block_(std::clamp<std::uint64_t>(options_.max_pending / (8 * kShards), 1, 256)),
      room_(static_cast<std::int64_t>(options_.max_pending)),
      spool_interval_ns_(ToNs(options_.spool_interval)) {
    if (!options_.spool.empty()) {
        try {
            spool_ = std::make_unique<Spool>(options_.spool, options_.spool_max_bytes);
        } catch (const SpoolError& e) {
            throw norv::telem::TelemException(options_.label + ": " + e.what());
        }
        recovered_ = spool_->recovery().rows;
        // Delivery from the spool is keyed by the spool's identity: a
        // recorder that opens it again goes on where this one stopped.
        store_->UseIdentity(spool_->identity());
        const SpoolRecovery& found = spool_->recovery();
        if (found.torn_bytes > 0) {
            Warn("the spool " + spool_->path() + " ended in a record that was not wholly written (" + found.torn_file
                 + ": " + std::to_string(found.torn_bytes) + " bytes, from a process or system that stopped in the "
                 "middle of an append); it is cut there, and the " + std::to_string(found.rows)
                 + " rows before it are delivered");
        }
    }
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    send_fd_ = spool_ ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
    if (wake_fd_ < 0 || (spool_ && send_fd_ < 0)) {
        const int error = errno;
        if (wake_fd_ >= 0) {
            close(wake_fd_);
        }
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
}

Pipeline::~Pipeline() {
    Stop(true);
    close(wake_fd_);
    if (send_fd_ >= 0) {
        close(send_fd_);
    }
}

void Pipeline::Dispose(std::unique_ptr<Pipeline> pipeline) {
    if (pipeline) {
        pipeline->Stop(true);
        if (pipeline->detached_) {
            // Its writer thread still uses it: kept, reachable, for good.
            static auto* kept = new std::vector<std::unique_ptr<Pipeline>>;
            static std::mutex kept_mutex;
            const std::lock_guard<std::mutex> lock(kept_mutex);
            kept->push_back(std::move(pipeline));
        }
    }
}

void Pipeline::Start() {
    // The writer blocks every signal: the interpreter's handlers then run, and
    // interrupt blocking calls, on the threads that expect them.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        if (spool_) {
            spooler_ = std::thread(&Pipeline::RunSpooling, this);
            writer_ = std::thread(&Pipeline::RunSending, this);
        } else {
            writer_ = std::thread(&Pipeline::Run, this);
        }
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (spooler_.joinable()) {
            StopAccepting();
            closing_.store(true);
            Wake();
            spooler_.join();
        }
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Pipeline::Wake() {
    const std::uint64_t one = 1;
    // Fails only when the counter would overflow: the writer is awake then.
    [[maybe_unused]] const ssize_t n = write(wake_fd_, &one, sizeof one);
}

void Pipeline::WakeSender() {
    if (send_fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(send_fd_, &one, sizeof one);
    }
}

void Pipeline::WakeAll() {
    Wake();
    WakeSender();
}

std::uint64_t Pipeline::Waiting() { return Recorded() + recovered_ - std::min(Recorded() + recovered_, written_.load()); }

std::unique_ptr<Chunk> Pipeline::NewChunk() {
    {
        const std::lock_guard<std::mutex> lock(pool_mutex_);
        if (!pool_.empty()) {
            auto chunk = std::move(pool_.back());
            pool_.pop_back();
            return chunk;
        }
    }
    auto chunk = std::make_unique<Chunk>();
    chunk->Reserve(std::size_t{chunk_rows_} * 80);
    return chunk;
}

Queued Pipeline::Append(unsigned shard, const std::shared_ptr<const Series>& series, std::string_view mtime,
                        std::string_view value, const TypedFields& typed) {
    return AppendRow(shard, [&](Chunk& chunk) { chunk.AppendSeriesRow(series, mtime, value, typed); });
}

Queued Pipeline::AppendFull(unsigned shard, const RowView& row) {
    return AppendRow(shard, [&](Chunk& chunk) { chunk.AppendFullRow(row); });
}

bool Pipeline::TakeRoom(Shard& shard) {
    std::int64_t left = room_.load(std::memory_order_relaxed);
    while (left > 0) {
        const auto take = std::min<std::int64_t>(left, static_cast<std::int64_t>(room_block_));
        if (room_.compare_exchange_weak(left, left - take)) {
            shard.room = static_cast<std::uint64_t>(take);
            return true;
        }
    }
    return false;
}

template <typename Put>
Queued Pipeline::AppendRow(unsigned shard_number, Put&& put) {
    const unsigned index = shard_number % kShards;
    Shard& shard = shards_[index];
    std::unique_lock<std::mutex> lock(shard.mutex);
    for (;;) {
        if (!accepting_.load(std::memory_order_relaxed)) {
            return Queued::kClosed;
        }
        if (shard.room > 0 || TakeRoom(shard)) {
            break;
        }
        lock.unlock();
        if (!options_.block_when_full || !WaitForRoom()) {
            dropped_.fetch_add(1, std::memory_order_relaxed);
            if (!drops_to_log_.load(std::memory_order_relaxed) && !drops_to_log_.exchange(true)) {
                Wake();
            }
            return Queued::kDropped;
        }
        lock.lock();
    }
    if (shard.chunks.empty() || shard.chunks.back()->rows() >= chunk_rows_) {
        shard.chunks.push_back(NewChunk());
        shard.chunks.back()->set_shard(index);
    }
    Chunk& chunk = *shard.chunks.back();
    if (chunk.rows() == 0) {
        chunk.set_first_at(SteadyNs());
    }
    put(chunk);
    --shard.room;
    ++shard.appended;
    // Wake the writer for the first row of an empty shard (its max_delay
    // starts) and once the shard holds a batch; otherwise it sleeps on.
    const bool wake = ++shard.queued == 1 || shard.queued == options_.batch_size;
    lock.unlock();
    if (wake && !wake_pending_.load(std::memory_order_relaxed) && !wake_pending_.exchange(true)) {
        Wake();
    }
    return Queued::kYes;
}

bool Pipeline::WaitForRoom() {
    const auto deadline = steady_clock::now() + std::chrono::nanoseconds(ToNs(options_.block_timeout));
    GilReleased gil;
    bool room;
    {
        std::unique_lock<std::mutex> lock(progress_mutex_);
        ++waiting_for_room_;
        room = progress_.wait_until(lock, deadline, [&] { return !accepting_.load() || room_.load() > 0; });
        --waiting_for_room_;
    }
    gil.Restore();
    return room;
}

std::uint64_t Pipeline::Recorded() {
    std::uint64_t recorded = 0;
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
        recorded += shard.appended;
    }
    return recorded;
}

bool Pipeline::Flush(double timeout) {
    std::array<std::uint64_t, kShards> targets;
    for (std::size_t s = 0; s < kShards; ++s) {
        const std::lock_guard<std::mutex> lock(shards_[s].mutex);
        targets[s] = shards_[s].appended;
    }
    const bool limited = timeout >= 0;
    const auto deadline = steady_clock::now() + std::chrono::nanoseconds(limited ? ToNs(timeout) : 0);
    const auto written = [&] {
        for (std::size_t s = 0; s < kShards; ++s) {
            if (shard_written_[s] < targets[s]) {
                return false;
            }
        }
        return true;
    };
    GilReleased gil;
    bool done;
    {
        std::unique_lock<std::mutex> lock(progress_mutex_);
        flush_waiters_.fetch_add(1);
        requests_.fetch_add(1);
        WakeAll();
        const auto stop = [&] { return written() || finished_; };
        if (limited) {
            progress_.wait_until(lock, deadline, stop);
        } else {
            progress_.wait(lock, stop);
        }
        done = written();
        flush_waiters_.fetch_sub(1);
    }
    gil.Restore();
    return done;
}

void Pipeline::StopAccepting() {
    accepting_.store(false);
    // A thread that saw accepting_ under a shard's lock has appended by the
    // time the lock is free.
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
    }
    const std::lock_guard<std::mutex> lock(progress_mutex_);
    progress_.notify_all();  // blocked recorders give up
}

void Pipeline::BeginClose() {
    StopAccepting();
    closing_.store(true);
    requests_.fetch_add(1);
    WakeAll();
}

bool Pipeline::FinishClose(steady_clock::time_point deadline, bool has_deadline) {
    GilReleased gil;
    bool written;
    {
        std::unique_lock<std::mutex> lock(progress_mutex_);
        const auto stop = [&] { return finished_; };
        if (has_deadline) {
            progress_.wait_until(lock, deadline, stop);
        } else {
            progress_.wait(lock, stop);
        }
        written = finished_;
    }
    Stop(!written);
    gil.Restore();
    if (spool_ && spool_->stats().rows > 0) {
        return false;  // kept in the spool
    }
    const std::lock_guard<std::mutex> lock(stats_mutex_);
    return abandoned_ == 0;
}

bool Pipeline::Close(double timeout) {
    const auto deadline = steady_clock::now() + std::chrono::nanoseconds(timeout >= 0 ? ToNs(timeout) : 0);
    BeginClose();
    return FinishClose(deadline, timeout >= 0);
}

void Pipeline::Abandon() {
    abandon_.store(true);
    store_->Interrupt();
    WakeAll();
}

bool Pipeline::WaitStopped(steady_clock::time_point deadline) {
    GilReleased gil;
    bool stopped;
    {
        std::unique_lock<std::mutex> lock(progress_mutex_);
        stopped = progress_.wait_until(lock, deadline, [&] { return finished_; });
    }
    gil.Restore();
    return stopped;
}

void Pipeline::Stop(bool abandon) {
    if (!writer_.joinable()) {
        return;
    }
    StopAccepting();
    closing_.store(true);
    if (abandon) {
        abandon_.store(true);
        store_->Interrupt();
    }
    WakeAll();
    GilReleased gil;
    if (store_->calls_python()) {
        // A store written in Python cannot be interrupted: wait a little for
        // it, then leave the thread to it.
        std::unique_lock<std::mutex> lock(progress_mutex_);
        if (!progress_.wait_for(lock, std::chrono::duration<double>(kPythonStoreGrace), [&] { return finished_; })) {
            lock.unlock();
            writer_.detach();
            detached_ = true;
            gil.Restore();
            return;
        }
    }
    writer_.join();
    gil.Restore();
}

PipelineStats Pipeline::stats() const {
    PipelineStats s;
    s.recorded = const_cast<Pipeline*>(this)->Recorded();
    s.written = written_.load();
    s.dropped = dropped_.load();
    s.recovered = recovered_;
    if (spool_) {
        s.spool = spool_->stats();
    }
    const std::lock_guard<std::mutex> lock(stats_mutex_);
    s.pending = s.recorded + s.recovered - std::min(s.recorded + s.recovered, s.written + abandoned_);
    s.failed_writes = failed_writes_;
    s.lost = lost_;
    s.abandoned = abandoned_;
    s.last_error = last_error_;
    s.last_error_at = last_error_at_;
    s.last_write_at = last_write_at_;
    return s;
}

void Pipeline::Warn(const std::string& message) { LogToPython(kLogWarning, options_.label + ": " + message); }

void Pipeline::Lost(std::uint64_t rows, const std::string& message) {
    {
        const std::lock_guard<std::mutex> lock(stats_mutex_);
        lost_ += rows;
    }
    LogToPython(kLogError, options_.label + ": " + message);
}

// The writer thread -------------------------------------------------------

std::int64_t Pipeline::Woken() {
    wake_pending_.store(false);
    Drain(wake_fd_);
    const std::int64_t now = SteadyNs();
    if (drops_to_log_.load() || dropped_.load() != drops_logged_) {
        LogDrops(now);
    }
    return now;
}

void Pipeline::Run() {
    BecomeBatchThread();
    try {
        for (;;) {
            const std::int64_t now = Woken();
            if (abandon_.load()) {
                break;
            }
            const std::uint64_t requests = requests_.load();
            const bool urgent = closing_.load() || flush_waiters_.load() > 0;
            if (batch_.empty()) {
                std::int64_t oldest = kNever;
                const std::uint64_t queued = CountQueued(oldest);
                const bool due = oldest != kNever && (urgent || oldest <= now - max_delay_ns_);
                if (queued >= options_.batch_size || due) {
                    // A batch that is due takes every row; one that is only
                    // full, the full chunks first.
                    if (due || !TakeBatch(false)) {
                        TakeBatch(true);
                    }
                } else if (closing_.load() && queued == 0) {
                    break;  // every row is written
                } else {
                    SleepUntil(oldest == kNever ? kNever : oldest + max_delay_ns_, wake_fd_);
                    continue;
                }
                if (batch_.empty()) {
                    continue;
                }
            } else if (now < retry_at_ && requests == requests_seen_) {
                SleepUntil(retry_at_, wake_fd_);
                continue;
            }
            requests_seen_ = requests;
            WriteBatch();
        }
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being cancelled or ended by the interpreter
#endif
    } catch (const std::exception& e) {
        LogToPython(kLogError, options_.label + ": the writer of " + store_->where() + " stopped: " + e.what());
    }
    store_->Close();
    // What is left is given up: the rows of an unwritten batch and of the
    // shards, freed here.
    std::uint64_t abandoned = batch_.rows();
    batch_.TakeChunks();
    StopAccepting();
    Finish(abandoned);
}

void Pipeline::Finish(std::uint64_t abandoned) {
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
        abandoned += shard.queued;
        shard.queued = 0;
        shard.chunks.clear();
    }
    {
        const std::lock_guard<std::mutex> lock(stats_mutex_);
        abandoned_ = abandoned;
    }
    {
        const std::lock_guard<std::mutex> lock(progress_mutex_);
        finished_ = true;
    }
    progress_.notify_all();
}

std::uint64_t Pipeline::CountQueued(std::int64_t& oldest) {
    std::uint64_t queued = 0;
    oldest = kNever;
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
        queued += shard.queued;
        if (!shard.chunks.empty() && shard.chunks.front()->rows() > 0) {
            oldest = std::min(oldest, shard.chunks.front()->first_at());
        }
    }
    return queued;
}

bool Pipeline::TakeBatch(bool partial) {
    // When more rows wait than a batch, up to kBatchesAtOnce batches go in one
    // transaction: fewer commits and round trips while the writer catches up.
    const std::size_t limit = std::size_t{options_.batch_size} * kBatchesAtOnce;
    // Shards in turn, starting after the last one taken from, so that a busy
    // shard does not keep the others waiting.
    for (std::size_t i = 0; i < kShards && batch_.rows() < limit; ++i) {
        Shard& shard = shards_[(next_shard_ + i) % kShards];
        const std::lock_guard<std::mutex> lock(shard.mutex);
        while (!shard.chunks.empty() && batch_.rows() < limit) {
            Chunk& front = *shard.chunks.front();
            if (front.rows() == 0 || (!partial && front.rows() < chunk_rows_)) {
                break;
            }
            shard.queued -= front.rows();
            batch_.Add(std::move(shard.chunks.front()));
            shard.chunks.pop_front();
        }
    }
    next_shard_ = (next_shard_ + 1) % kShards;
    return !batch_.empty();
}

void Pipeline::WriteBatch() {
    if (!TryWrite(written_.load() + 1)) {
        return;
    }
    const std::size_t rows = batch_.rows();
    std::vector<std::unique_ptr<Chunk>> chunks = batch_.TakeChunks();
    {
        const std::lock_guard<std::mutex> lock(progress_mutex_);
        for (const auto& chunk : chunks) {
            shard_written_[chunk->shard()] += chunk->rows();
        }
        written_.fetch_add(rows);
        room_.fetch_add(static_cast<std::int64_t>(rows));
    }
    progress_.notify_all();
    Recycle(chunks);
}

void Pipeline::Recycle(std::vector<std::unique_ptr<Chunk>>& chunks) {
    const std::lock_guard<std::mutex> lock(pool_mutex_);
    for (auto& chunk : chunks) {
        if (pool_.size() >= kPooledChunks) {
            break;
        }
        chunk->Clear();
        pool_.push_back(std::move(chunk));
    }
    chunks.clear();
}

bool Pipeline::TryWrite(std::uint64_t first_seq) {
    const std::int64_t started = SteadyNs();
    try {
        store_->Write(batch_, first_seq, *this);
    } catch (const std::exception& e) {
        const std::string cause = e.what();
        const std::int64_t now = SteadyNs();
        {
            const std::lock_guard<std::mutex> lock(stats_mutex_);
            ++failed_writes_;
            last_error_ = cause;
            last_error_at_ = WallSeconds();
        }
        if (attempts_ == 0) {
            failing_since_ = started;
        }
        ++attempts_;
        if (attempts_ == 1) {
            retry_at_ = now;
        } else {
            thread_local std::minstd_rand jitter{std::random_device{}()};
            const double delay = std::min(kMaxBackoff, kFirstBackoff * std::pow(2.0, attempts_ - 2));
            retry_at_ = now + ToNs(delay * (0.5 + 0.5 * std::uniform_real_distribution<double>()(jitter)));
        }
        if (abandon_.load()) {
            return false;
        }
        const std::uint64_t waiting = Waiting();
        if (!failing_ && attempts_ >= 2) {
            failing_ = true;
            failures_since_warning_ = 0;
            last_failure_warning_ = now;
            Warn("writes to " + store_->where() + " are failing: " + cause + "; " + std::to_string(waiting)
                 + " rows waiting; retrying");
        } else if (failing_) {
            ++failures_since_warning_;
            if (now - last_failure_warning_ >= ToNs(options_.log_interval)) {
                Warn("writes to " + store_->where() + " still failing after " + Seconds(now - failing_since_) + " ("
                     + std::to_string(failures_since_warning_) + " more failed attempts): " + cause + "; "
                     + std::to_string(waiting) + " rows waiting");
                failures_since_warning_ = 0;
                last_failure_warning_ = now;
            }
        }
        return false;
    }
    const std::size_t rows = batch_.rows();
    {
        const std::lock_guard<std::mutex> lock(stats_mutex_);
        last_write_at_ = WallSeconds();
    }
    if (failing_) {
        const std::uint64_t waiting = Waiting() - std::min<std::uint64_t>(Waiting(), rows);
        Warn("writes to " + store_->where() + " succeed again after " + Seconds(SteadyNs() - failing_since_) + " and "
             + std::to_string(attempts_) + " failed attempts; " + std::to_string(waiting) + " rows waiting");
        failing_ = false;
    }
    attempts_ = 0;
    return true;
}

// With a spool ------------------------------------------------------------

void Pipeline::RunSpooling() {
    BecomeBatchThread();
    try {
        for (;;) {
            const std::int64_t now = Woken();
            std::int64_t oldest = kNever;
            const std::uint64_t queued = CountQueued(oldest);
            if (queued == 0 && !spool_->has_uncommitted()) {
                if (closing_.load()) {
                    break;  // every row is in the spool
                }
                SleepUntil(kNever, wake_fd_);
                continue;
            }
            // Closing spools what is left at once, also when the writer is
            // given up: the rows are safer on disk than abandoned.
            const bool urgent = closing_.load() || flush_waiters_.load() > 0;
            if (now < spool_retry_at_) {
                if (abandon_.load()) {
                    break;
                }
                SleepUntil(spool_retry_at_, wake_fd_);
                continue;
            }
            const bool due = urgent || oldest == kNever || oldest + spool_interval_ns_ <= now;
            if (!due && queued < options_.batch_size && !spool_->has_uncommitted()) {
                SleepUntil(oldest + spool_interval_ns_, wake_fd_);
                continue;
            }
            bool full = false;
            std::uint64_t taken = 0;
            try {
                // Rows that are due go all; otherwise the whole chunks first,
                // so that recording threads go on filling theirs.
                taken = SpoolQueued(due, full);
                if (taken == 0 && !full && !due) {
                    taken = SpoolQueued(true, full);
                }
            } catch (const SpoolError& e) {
                SpoolFailed(e.what());
                continue;
            }
            if (spool_attempts_ > 0) {
                Warn("the spool " + spool_->path() + " is written again after " + std::to_string(spool_attempts_)
                     + " failed attempts");
                spool_attempts_ = 0;
            }
            if (full && taken == 0) {
                if (!spool_full_.load()) {
                    spool_full_.store(true);
                    const SpoolStats s = spool_->stats();
                    Warn("the spool " + spool_->path() + " is full (" + std::to_string(s.bytes) + " bytes of "
                         + std::to_string(options_.spool_max_bytes) + ", " + std::to_string(s.rows)
                         + " rows not delivered yet); new points wait in the queue, and on_full applies when it "
                           "is full too");
                }
                if (abandon_.load()) {
                    break;
                }
                // The writer wakes the spooler when it frees room.
                SleepUntil(now + kSecond, wake_fd_);
            } else if (!full && spool_full_.load()) {
                spool_full_.store(false);
            }
        }
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        spooler_done_.store(true);
        throw;
#endif
    } catch (const std::exception& e) {
        LogToPython(kLogError, options_.label + ": the spooler of " + spool_->path() + " stopped: " + e.what());
    }
    spooler_done_.store(true);
    WakeSender();
}

void Pipeline::SpoolFailed(const std::string& cause) {
    const std::int64_t now = SteadyNs();
    ++spool_attempts_;
    const double delay = std::min(kMaxBackoff, kFirstBackoff * std::pow(2.0, spool_attempts_ - 1));
    spool_retry_at_ = now + ToNs(delay);
    {
        const std::lock_guard<std::mutex> lock(stats_mutex_);
        last_error_ = cause;
        last_error_at_ = WallSeconds();
    }
    if (spool_attempts_ == 1 || now - last_spool_warning_ >= ToNs(options_.log_interval)) {
        last_spool_warning_ = now;
        Warn(cause + "; the rows wait in the queue; retrying");
    }
}

std::uint64_t Pipeline::SpoolQueued(bool partial, bool& full) {
    full = false;
    if (!spool_->has_uncommitted()) {
        const double wall = WallSeconds();
        const std::int64_t steady = SteadyNs();
        for (std::size_t s = 0; s < kShards && !full; ++s) {
            Shard& shard = shards_[s];
            for (;;) {
                std::unique_ptr<Chunk> chunk;
                {
                    const std::lock_guard<std::mutex> lock(shard.mutex);
                    if (shard.chunks.empty() || shard.chunks.front()->rows() == 0
                        || (!partial && shard.chunks.front()->rows() < chunk_rows_)) {
                        break;
                    }
                    chunk = std::move(shard.chunks.front());
                    shard.chunks.pop_front();
                    shard.queued -= chunk->rows();
                }
                const double queued_at = wall - static_cast<double>(steady - chunk->first_at()) / 1e9;
                if (!spool_->Append(*chunk, queued_at, static_cast<unsigned>(s), chunk->first_at())) {
                    // No room: it goes back to the front of its shard.
                    const std::lock_guard<std::mutex> lock(shard.mutex);
                    shard.queued += chunk->rows();
                    shard.chunks.push_front(std::move(chunk));
                    full = true;
                    break;
                }
                uncommitted_.push_back(std::move(chunk));
            }
        }
    }
    spool_->Commit();
    // Durable: the rows' room in the queue is free again.
    std::uint64_t rows = 0;
    for (const auto& chunk : uncommitted_) {
        rows += chunk->rows();
    }
    {
        const std::lock_guard<std::mutex> lock(progress_mutex_);
        room_.fetch_add(static_cast<std::int64_t>(rows));
    }
    progress_.notify_all();
    Recycle(uncommitted_);
    if (rows > 0) {
        WakeSender();
    }
    return rows;
}

void Pipeline::RunSending() {
    BecomeBatchThread();
    try {
        for (;;) {
            Drain(send_fd_);
            if (abandon_.load()) {
                break;
            }
            const std::int64_t now = SteadyNs();
            const std::uint64_t requests = requests_.load();
            const bool urgent = closing_.load() || flush_waiters_.load() > 0;
            if (batch_.empty()) {
                std::int64_t oldest = kNever;
                const std::uint64_t unsent = spool_->Unconfirmed(oldest);
                if (unsent == 0) {
                    if (closing_.load() && spooler_done_.load()) {
                        break;  // every row is written
                    }
                    SleepUntil(kNever, send_fd_);
                    continue;
                }
                if (!urgent && unsent < options_.batch_size && oldest + max_delay_ns_ > now) {
                    SleepUntil(oldest + max_delay_ns_, send_fd_);
                    continue;
                }
                batch_shards_.clear();
                batch_first_seq_ = spool_->Read(batch_, std::size_t{options_.batch_size} * kBatchesAtOnce, batch_shards_);
                if (batch_.empty()) {
                    continue;
                }
            } else if (now < retry_at_ && requests == requests_seen_) {
                SleepUntil(retry_at_, send_fd_);
                continue;
            }
            requests_seen_ = requests;
            if (!TryWrite(batch_first_seq_)) {
                continue;
            }
            const std::size_t rows = batch_.rows();
            spool_->Confirm(batch_first_seq_ + rows - 1);
            batch_.TakeChunks();
            {
                const std::lock_guard<std::mutex> lock(progress_mutex_);
                for (const auto& [shard, shard_rows] : batch_shards_) {
                    if (shard != Spool::kNoShard) {
                        shard_written_[shard] += shard_rows;
                    }
                }
                written_.fetch_add(rows);
            }
            progress_.notify_all();
            if (spool_full_.load()) {
                Wake();  // the spooler has room again
            }
        }
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::exception& e) {
        LogToPython(kLogError, options_.label + ": the writer of " + store_->where() + " stopped: " + e.what()
                                   + "; the rows stay in the spool " + spool_->path());
    }
    store_->Close();
    batch_.TakeChunks();  // its rows stay in the spool
    // The spooler puts what is queued into the spool, then ends.
    StopAccepting();
    closing_.store(true);
    Wake();
    if (spooler_.joinable()) {
        spooler_.join();
    }
    spool_->Close();  // another recorder may open it now
    std::uint64_t abandoned = 0;
    for (const auto& chunk : uncommitted_) {
        abandoned += chunk->rows();
    }
    uncommitted_.clear();
    Finish(abandoned);
}

void Pipeline::LogDrops(std::int64_t now) {
    if (last_drop_log_ != 0 && now - last_drop_log_ < ToNs(options_.log_interval)) {
        return;  // SleepUntil wakes the writer when the interval is over
    }
    drops_to_log_.store(false);
    const std::uint64_t dropped = dropped_.load();
    if (dropped == drops_logged_) {
        return;
    }
    Warn("the queue of " + store_->where() + " is full (" + std::to_string(options_.max_pending) + " rows); "
         + std::to_string(dropped - drops_logged_) + " points dropped" + (drops_logged_ > 0 ? " since the last warning" : "")
         + ", " + std::to_string(dropped) + " in all");
    drops_logged_ = dropped;
    last_drop_log_ = now;
}

void Pipeline::SleepUntil(std::int64_t deadline, int fd) {
    if (dropped_.load() != drops_logged_ && last_drop_log_ != 0) {
        deadline = std::min(deadline, last_drop_log_ + ToNs(options_.log_interval));
    }
    int timeout_ms = -1;
    if (deadline != kNever) {
        const std::int64_t left = deadline - SteadyNs();
        if (left <= 0) {
            return;
        }
        timeout_ms = static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, 3'600'000));
    }
    pollfd ready{fd, POLLIN, 0};
    poll(&ready, 1, timeout_ms);
}

}  // namespace telem_pyb_log
