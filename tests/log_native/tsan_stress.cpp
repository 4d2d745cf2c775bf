// A stress of the log recorders' native half for ThreadSanitizer (make
// test-tsan): native threads record into a recorder, and into recorders of
// many series of it as a sink (described anew as they go), while other threads
// flush it, read its stats and close it, and the process forks in the
// middle (the fork handlers run against the working threads); with a spool
// and without, into a store in memory that fails now and then. Every row
// recorded is written once. A data race, a lock-order inversion or a row
// lost or doubled fails it. ThreadSanitizer does not follow threads started
// in the child of a process that had threads: the child here only takes
// stock (the child's own pipeline is tested in Python, also under ASan).

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_recorder.h"
#include "norv/telem/telem.h"

namespace {

using telem_pyb_log::Batch;
using telem_pyb_log::BatchNumbers;
using telem_pyb_log::DeliveryEvents;
using telem_pyb_log::LogRecorder;
using telem_pyb_log::RecorderOptions;
using telem_pyb_log::RowFormat;
using telem_pyb_log::RowView;
using telem_pyb_log::SeriesRecorder;
using telem_pyb_log::Store;
using telem_pyb_log::StoreError;

// Values written, shared by every store of one run (the children's too, in
// the parent only); each write's first attempts fail now and then.
struct Written {
    std::mutex mutex;
    std::multiset<long> values;
};

class MemoryStore : public Store {
public:
    explicit MemoryStore(std::shared_ptr<Written> written) : written_(std::move(written)) {}
    const std::string& where() const override { return where_; }
    RowFormat format() const override { return RowFormat::kUtf8; }
    void Write(const Batch& batch, const BatchNumbers&, DeliveryEvents&) override {
        if (interrupted_.load()) {
            throw StoreError("interrupted");
        }
        if (++writes_ % 7 == 0) {
            throw StoreError("the store fails now and then");
        }
        const std::lock_guard<std::mutex> lock(written_->mutex);
        batch.ForEach([&](const RowView& row) { written_->values.insert(std::stol(std::string(row.value))); });
    }
    void Interrupt() noexcept override { interrupted_.store(true); }
    void Close() noexcept override {}
    std::unique_ptr<Store> ForChild() override { return std::make_unique<MemoryStore>(std::make_shared<Written>()); }

private:
    const std::string where_ = "memory";
    std::shared_ptr<Written> written_;
    unsigned writes_ = 0;  // the delivery loop's
    std::atomic<bool> interrupted_{false};
};

int failures = 0;

void Check(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "tsan_stress: %s\n", what.c_str());
        ++failures;
    }
}

void Run(const std::string& spool, std::uint64_t max_pending) {
    constexpr int kThreads = 4;
    constexpr long kPoints = 20000;
    auto written = std::make_shared<Written>();
    RecorderOptions options;
    options.label = "Stress";
    options.batch_size = 500;
    options.max_delay = 0.005;
    options.spool = spool;
    options.spool_interval = 0.002;
    options.log_interval = 0.01;
    options.max_pending = max_pending;  // small: points are dropped, and the drops logged
    auto recorder = std::make_shared<LogRecorder>(options, std::make_unique<MemoryStore>(written));
    norv::telem::TsMetadata meta;
    meta.tsname = "stress";
    recorder->RecordMetadata(meta);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    // Threads 0 and 1 record the sink's own series; 2 and 3 eight series of
    // it each, in turn, each described anew every 997 points.
    constexpr int kSeries = 8;
    std::vector<std::shared_ptr<SeriesRecorder>> series;
    for (int k = 0; k < 2 * kSeries; ++k) {
        series.push_back(std::make_shared<SeriesRecorder>(recorder));
        meta.tsname = "series" + std::to_string(k);
        series.back()->RecordMetadata(meta);
    }
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (long i = 0; i < kPoints; ++i) {
                const norv::telem::TsValue value(t * 1'000'000L + i);
                if (t < 2) {
                    recorder->RecordValue(value);
                    continue;
                }
                SeriesRecorder& one = *series[static_cast<std::size_t>((t - 2) * kSeries + i % kSeries)];
                if (i % 997 == 0) {
                    norv::telem::TsMetadata anew;
                    anew.tsname = "series" + std::to_string(t) + "." + std::to_string(i);
                    one.RecordMetadata(anew);
                }
                one.RecordValue(value);
            }
        });
    }
    std::thread watcher([&] {
        while (!done.load()) {
            try {
                recorder->Flush(0.001);
            } catch (const norv::telem::TelemException&) {
                // not written within the time: fine here
            }
            (void)recorder->stats();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const pid_t child = fork();
    if (child == 0) {
        // The parent's pipeline is not the child's: its own counts only.
        const auto s = recorder->stats();
        _exit(s.recorded == 0 && !recorder->closed() ? 0 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the child did not exit cleanly");
    for (auto& thread : threads) {
        thread.join();
    }
    std::thread closer([&] { recorder->CloseWithin(30); });
    recorder->CloseWithin(30);
    closer.join();
    done.store(true);
    watcher.join();
    const auto s = recorder->stats();
    std::uint64_t series_counted = 0;
    for (const auto& one : series) {
        series_counted += one->counts().recorded.load() + one->counts().dropped.load();
    }
    Check(series_counted == 2 * kPoints, "the series' own counts do not add up");
    const std::lock_guard<std::mutex> lock(written->mutex);
    Check(s.recorded + s.dropped == kThreads * kPoints, "recorded and dropped do not add up");
    Check(written->values.size() == s.recorded, "rows written: " + std::to_string(written->values.size())
                                                    + ", recorded: " + std::to_string(s.recorded));
    Check(std::set<long>(written->values.begin(), written->values.end()).size() == written->values.size(),
          "a row was written twice");
    Check(s.written == s.recorded && s.pending == 0, "the counts do not account for every row");
}

}  // namespace

int main() {
    pthread_atfork(&LogRecorder::PrepareFork, &LogRecorder::ParentAfterFork, &LogRecorder::ChildAfterFork);
    char dir[] = "/tmp/telem-tsan-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 2;
    }
    for (int round = 0; round < 2; ++round) {
        for (const std::uint64_t max_pending : {std::uint64_t{2'000'000}, std::uint64_t{2'000}}) {
            Run("", max_pending);
            Run(std::string(dir) + "/spool" + std::to_string(round) + "-" + std::to_string(max_pending), max_pending);
        }
    }
    std::filesystem::remove_all(dir);
    std::printf("tsan_stress: %s\n", failures == 0 ? "ok" : "FAILED");
    return failures == 0 ? 0 : 1;
}
