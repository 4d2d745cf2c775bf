#include "row_queue.h"

#include <algorithm>
#include <chrono>

#include "gil.h"

namespace telem_pyb_log {

namespace {

// Done-with chunks are kept for reuse, up to 64 MiB: memory the queue has
// once needed is not given back and faulted in again with the next burst
// (page faults of two recording threads at once make them wait for each
// other).
constexpr std::size_t kPooledChunks = 1024;

}  // namespace

RowQueue::RowQueue(const QueueOptions& options, Waker& data, Waker& notice)
    : options_(options),
      chunk_rows_(std::min<std::uint32_t>(options.batch_size, 1024)),
      room_block_(std::clamp<std::uint64_t>(options.max_pending / (8 * kShards), 1, 256)),
      data_(&data),
      notice_(notice),
      room_(static_cast<std::int64_t>(options.max_pending)) {}

bool RowQueue::TakeRoom(Shard& shard) {
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

Queued RowQueue::Drop() {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    notice_.Wake();
    return Queued::kDropped;
}

bool RowQueue::WaitForRoom() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(ToNs(options_.block_timeout));
    GilReleased gil;
    bool room;
    {
        std::unique_lock<std::mutex> lock(room_mutex_);
        room_waiters_.fetch_add(1);
        room = room_cv_.wait_until(lock, deadline, [&] { return !accepting_.load() || room_.load() > 0; });
        room_waiters_.fetch_sub(1);
    }
    gil.Restore();
    return room;
}

void RowQueue::Release(std::uint64_t rows) {
    if (rows == 0) {
        return;
    }
    room_.fetch_add(static_cast<std::int64_t>(rows));
    if (room_waiters_.load() > 0) {
        const std::lock_guard<std::mutex> lock(room_mutex_);
        room_cv_.notify_all();
    }
}

std::unique_ptr<Chunk> RowQueue::NewChunk() {
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

void RowQueue::Recycle(std::vector<std::unique_ptr<Chunk>>& chunks) {
    const std::lock_guard<std::mutex> lock(pool_mutex_);
    for (auto& chunk : chunks) {
        if (!chunk || pool_.size() >= kPooledChunks) {
            continue;
        }
        chunk->Clear();
        pool_.push_back(std::move(chunk));
    }
    chunks.clear();
}

std::uint64_t RowQueue::Count(std::int64_t& oldest) {
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

// Under the shard's lock.
std::unique_ptr<Chunk> RowQueue::PopFront(Shard& shard, bool partial) {
    if (shard.chunks.empty()) {
        return nullptr;
    }
    Chunk& front = *shard.chunks.front();
    if (front.rows() == 0 || (!partial && !Full(front))) {
        return nullptr;
    }
    std::unique_ptr<Chunk> chunk = std::move(shard.chunks.front());
    shard.chunks.pop_front();
    shard.queued -= chunk->rows();
    return chunk;
}

void RowQueue::Take(Batch& batch, std::size_t max_rows, std::size_t max_bytes, bool partial) {
    // Shards in turn, starting after the last one taken from, so that a busy
    // shard does not keep the others waiting.
    std::size_t bytes = batch.bytes();
    const auto room = [&] { return batch.empty() || (batch.rows() < max_rows && bytes < max_bytes); };
    for (std::size_t i = 0; i < kShards && room(); ++i) {
        Shard& shard = shards_[(next_shard_ + i) % kShards];
        const std::lock_guard<std::mutex> lock(shard.mutex);
        while (room()) {
            std::unique_ptr<Chunk> chunk = PopFront(shard, partial);
            if (!chunk) {
                break;
            }
            bytes += chunk->used_bytes();
            batch.Add(std::move(chunk));
        }
    }
    next_shard_ = (next_shard_ + 1) % kShards;
}

std::unique_ptr<Chunk> RowQueue::TakeFront(unsigned shard, bool partial) {
    Shard& s = shards_[shard % kShards];
    const std::lock_guard<std::mutex> lock(s.mutex);
    return PopFront(s, partial);
}

void RowQueue::PutBack(std::unique_ptr<Chunk> chunk) {
    Shard& shard = shards_[chunk->shard() % kShards];
    const std::lock_guard<std::mutex> lock(shard.mutex);
    shard.queued += chunk->rows();
    shard.chunks.push_front(std::move(chunk));
}

std::uint64_t RowQueue::Recorded() {
    std::uint64_t recorded = 0;
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
        recorded += shard.appended;
    }
    return recorded;
}

RowQueue::ShardCounts RowQueue::Appended() {
    ShardCounts counts{};
    for (std::size_t s = 0; s < kShards; ++s) {
        const std::lock_guard<std::mutex> lock(shards_[s].mutex);
        counts[s] = shards_[s].appended;
    }
    return counts;
}

void RowQueue::StopAccepting() {
    accepting_.store(false);
    // A thread that saw accepting_ under a shard's lock has appended by the
    // time the lock is free.
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
    }
    const std::lock_guard<std::mutex> lock(room_mutex_);
    room_cv_.notify_all();  // blocked recorders give up
}

std::uint64_t RowQueue::Clear() {
    std::uint64_t rows = 0;
    for (auto& shard : shards_) {
        const std::lock_guard<std::mutex> lock(shard.mutex);
        rows += shard.queued;
        shard.queued = 0;
        shard.chunks.clear();
    }
    return rows;
}

}  // namespace telem_pyb_log
