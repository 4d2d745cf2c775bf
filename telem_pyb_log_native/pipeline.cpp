#include "pipeline.h"

#include <signal.h>

#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

#include "gil.h"
#include "norv/telem/TelemException.h"

namespace telem_pyb_log {

namespace {

// A Python store that does not return within this time of close's deadline
// is left to its thread.
constexpr double kPythonStoreGrace = 0.5;

}  // namespace

Pipeline::Pipeline(PipelineOptions options, std::unique_ptr<Store> store)
    : options_(std::move(options)),
      store_(std::move(store)),
      format_(store_->format()),
      queue_(QueueOptions{options_.batch_size, options_.max_pending, options_.block_when_full,
                          options_.block_timeout},
             options_.spool.empty() ? loop_wake_ : spool_wake_, loop_wake_),
      reporter_(options_.label, store_->where(), options_.log_interval, options_.max_pending),
      spool_(OpenSpool()),
      spooler_(spool_ ? std::make_unique<Spooler>(SpoolerOptions{options_.label, options_.batch_size,
                                                                 options_.spool_interval, options_.spool_max_bytes},
                                                  queue_, *spool_, counts_, progress_, spool_wake_, loop_wake_)
                      : nullptr),
      loop_(DeliveryOptions{options_.label, options_.batch_size, options_.max_delay, options_.retention}, *store_, queue_, spool_.get(),
            spooler_.get(), counts_, progress_, reporter_, loop_wake_) {}

std::unique_ptr<Spool> Pipeline::OpenSpool() {
    if (options_.spool.empty()) {
        return nullptr;
    }
    std::unique_ptr<Spool> spool;
    try {
        spool = std::make_unique<Spool>(options_.spool, options_.spool_max_bytes);
    } catch (const SpoolError& e) {
        throw norv::telem::TelemException(options_.label + ": " + e.what());
    }
    const SpoolRecovery& found = spool->recovery();
    counts_.Change([&](Outcomes& o) { o.recovered = found.rows + found.damaged_rows; });
    if (found.torn_bytes > 0) {
        reporter_.Warn("the spool " + spool->path() + " ended in a record that was not wholly written ("
                       + found.torn_file + ": " + std::to_string(found.torn_bytes) + " bytes, from a process or system "
                       "that stopped in the middle of an append); it is cut there, and the " + std::to_string(found.rows)
                       + " rows before it are delivered");
    }
    for (const std::string& note : found.notes) {
        reporter_.Warn("the spool " + spool->path() + ": " + note);
    }
    return spool;
}

Pipeline::~Pipeline() { Stop(true); }

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
    // The threads block every signal: the interpreter's handlers then run,
    // and interrupt blocking calls, on the threads that expect them.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        if (spooler_) {
            spooler_->Start();
        }
        writer_ = std::thread(&DeliveryLoop::Run, &loop_);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (spooler_) {
            queue_.StopAccepting();
            spooler_->Finish();
            spooler_->Join();
        }
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void Pipeline::WakeAll() {
    loop_wake_.Wake();
    spool_wake_.Wake();
}

std::string Pipeline::Left(const char* call) const {
    const PipelineStats s = stats();
    return std::string(call) + " was interrupted with " + std::to_string(s.pending) + " rows of " + where()
           + " not written yet";
}

bool Pipeline::Flush(double timeout, bool interruptible) {
    const RowQueue::ShardCounts targets = queue_.Appended();
    const bool limited = timeout >= 0;
    const auto deadline = Clock::now() + std::chrono::nanoseconds(limited ? ToNs(timeout) : 0);
    GilReleased gil;
    bool done;
    {
        Progress::Hurry hurry(progress_);
        WakeAll();
        done = progress_.WaitDone(targets, limited, deadline, gil, interruptible, [&] { return Left("flush()"); });
    }
    gil.Restore();
    return done;
}

void Pipeline::BeginClose() {
    queue_.StopAccepting();
    loop_.BeginClose();
    if (spooler_) {
        spooler_->BeginClose();
    }
    WakeAll();
}

bool Pipeline::FinishClose(Clock::time_point deadline, bool has_deadline, bool interruptible) {
    GilReleased gil;
    bool finished;
    try {
        Progress::Hurry hurry(progress_);
        WakeAll();
        finished = progress_.WaitFinished(has_deadline, deadline, gil, interruptible, [&] {
            return Left("close()") + (spool_ ? "; they stay in the spool " + spool_->path() : "; they are given up");
        });
    } catch (const PythonInterrupted&) {
        Abandon();  // the writer stops soon; the rows are counted abandoned (or kept in the spool)
        throw;
    }
    if (!Stop(!finished, kPythonStoreGrace)) {
        GiveUp();
    }
    gil.Restore();
    if (spool_ && spool_->stats().rows > 0) {
        return false;  // kept in the spool
    }
    return counts_.Get().abandoned == 0;
}

bool Pipeline::Close(double timeout) {
    const auto deadline = Clock::now() + std::chrono::nanoseconds(timeout >= 0 ? ToNs(timeout) : 0);
    BeginClose();
    return FinishClose(deadline, timeout >= 0, false);
}

void Pipeline::Abandon() {
    loop_.Abandon();
    store_->Interrupt();
    WakeAll();
}

bool Pipeline::WaitStopped(Clock::time_point deadline, bool has_deadline, bool interruptible) {
    GilReleased gil;
    const bool stopped =
        progress_.WaitFinished(has_deadline, deadline, gil, interruptible, [&] { return Left("close()"); });
    gil.Restore();
    return stopped;
}

bool Pipeline::Stop(bool abandon, double grace) {
    if (!writer_.joinable()) {
        return true;
    }
    BeginClose();
    if (abandon) {
        Abandon();
    }
    GilReleased gil;
    if (store_->calls_python()) {
        // A store written in Python cannot be interrupted: wait a little for
        // it, then leave the thread to it.
        const auto until = Clock::now() + std::chrono::nanoseconds(ToNs(grace));
        if (!progress_.WaitFinished(true, until, gil, false, [] { return std::string(); })) {
            writer_.detach();
            detached_ = true;
            gil.Restore();
            return false;
        }
    }
    writer_.join();
    gil.Restore();
    return true;
}

// The writer hangs in the store: what it has not written is given up now,
// counted once (DeliveryLoop::GiveUp).
void Pipeline::GiveUp() {
    const std::uint64_t recorded = queue_.Recorded();
    counts_.Change([&](Outcomes& o) {
        loop_.GiveUp();
        o.abandoned += o.Pending(recorded);
    });
    reporter_.Error(store_->where() + " does not return from a write; the writer is left to it, and the rows it "
                    "has not written are given up");
}

PipelineStats Pipeline::stats() const {
    PipelineStats s;
    static_cast<Outcomes&>(s) = counts_.Get();
    s.recorded = const_cast<RowQueue&>(queue_).Recorded();
    s.dropped = queue_.dropped();
    s.pending = s.Pending(s.recorded);
    if (spool_) {
        s.spool = spool_->stats();
    }
    return s;
}

}  // namespace telem_pyb_log
