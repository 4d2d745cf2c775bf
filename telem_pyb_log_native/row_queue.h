#pragma once

// The queue: rows between the recording threads and their one consumer (the
// delivery loop, or the spooler with a spool), bounded by max_pending rows.
// A recording call only appends here: no I/O, no wait unless on_full is
// "block". The queue has shards, each with its own lock and counts, so that
// threads recording at once share no memory that they write: a thread always
// appends to the same shard, which keeps its rows in the order it recorded
// them. Room is handed to the shards in blocks.
//
// State, threads and locks:
// - shards_[i]: chunks (the last one is being filled), appended (rows ever
//   queued; only grows), queued (rows in chunks), room (rows it may queue
//   before taking more). Recording threads append under its mutex; the
//   consumer takes chunks from the front, and puts back one it could not
//   place, under the same mutex.
// - room_: rows of room that no shard holds; shards take blocks of it (CAS,
//   under their mutex), the consumer gives room back (Release) once rows are
//   done with. room_mutex_/room_cv_: only for recording threads that wait
//   for room (on_full "block"); held to wait and to notify, nothing else.
// - pool_: empty chunks for reuse, under pool_mutex_.
// - accepting_: cleared once (StopAccepting); read under a shard's mutex, so
//   that no append is in progress once StopAccepting returns.
// - dropped_: points refused for want of room; only grows.
// - data_ wakes the consumer (the first row of an empty shard, a shard that
//   holds a batch); notice_ wakes the reporter (the delivery loop) for drops.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "rows.h"
#include "waker.h"

namespace telem_pyb_log {

enum class Queued { kYes, kDropped, kClosed };

struct QueueOptions {
    std::uint32_t batch_size = 1000;
    std::uint64_t max_pending = 2'000'000;
    bool block_when_full = false;
    double block_timeout = 1.0;  // seconds
};

class RowQueue {
public:
    static constexpr std::size_t kShards = 8;
    // A chunk is closed at this many bytes (or batch_size rows, at most
    // 1024), so that batches can be bounded in bytes a chunk at a time.
    static constexpr std::size_t kChunkBytes = 256 * 1024;
    using ShardCounts = std::array<std::uint64_t, kShards>;

    RowQueue(const QueueOptions& options, Waker& data, Waker& notice);
    RowQueue(const RowQueue&) = delete;
    RowQueue& operator=(const RowQueue&) = delete;

    // Recording threads. `put(Chunk&)` appends the row. A full queue drops
    // the point or waits, by on_full; a closed one refuses it.
    template <typename Put>
    Queued Append(unsigned shard, Put&& put);

    // The consumer. Rows queued, and when the oldest of them was queued
    // (steady-clock ns; kNever if none).
    std::uint64_t Count(std::int64_t& oldest);
    // Moves chunks from the shards' fronts into `batch`, the shards in turn,
    // until it holds `max_rows` rows or `max_bytes` bytes (always at least
    // one chunk): whole chunks, and with `partial` also those being filled.
    void Take(Batch& batch, std::size_t max_rows, std::size_t max_bytes, bool partial);
    // The front chunk of one shard (as Take), or null.
    std::unique_ptr<Chunk> TakeFront(unsigned shard, bool partial);
    // From now on rows wake `consumer` (the loop, once the spooler gave the
    // queue up).
    void SetConsumer(Waker& consumer) { data_.store(&consumer); }
    // Puts a chunk taken from the front of its shard back there.
    void PutBack(std::unique_ptr<Chunk> chunk);
    // Rows done with (written, spooled, set aside): their room is free again.
    void Release(std::uint64_t rows);
    // Keeps chunks for reuse; `chunks` is left empty.
    void Recycle(std::vector<std::unique_ptr<Chunk>>& chunks);

    // Any thread.
    std::uint64_t Recorded();
    ShardCounts Appended();
    std::uint64_t dropped() const { return dropped_.load(); }
    bool accepting() const { return accepting_.load(); }
    // Refuses further rows; returns once no thread is appending any more.
    void StopAccepting();
    // Empties the queue; the rows it held.
    std::uint64_t Clear();

private:
    struct alignas(64) Shard {
        std::mutex mutex;
        std::deque<std::unique_ptr<Chunk>> chunks;
        std::uint64_t appended = 0;
        std::uint64_t queued = 0;
        std::uint64_t room = 0;
    };

    bool TakeRoom(Shard& shard);
    bool WaitForRoom();
    Queued Drop();
    std::unique_ptr<Chunk> NewChunk();
    bool Full(const Chunk& chunk) const {
        return chunk.rows() >= chunk_rows_ || chunk.used_bytes() >= kChunkBytes;
    }
    std::unique_ptr<Chunk> PopFront(Shard& shard, bool partial);

    const QueueOptions options_;
    const std::uint32_t chunk_rows_;
    const std::uint64_t room_block_;
    std::atomic<Waker*> data_;
    Waker& notice_;

    std::array<Shard, kShards> shards_;
    std::atomic<std::int64_t> room_;
    std::atomic<bool> accepting_{true};
    std::atomic<std::uint64_t> dropped_{0};
    std::size_t next_shard_ = 0;  // the consumer's: where Take starts

    std::mutex room_mutex_;
    std::condition_variable room_cv_;
    std::atomic<std::uint64_t> room_waiters_{0};

    std::mutex pool_mutex_;
    std::vector<std::unique_ptr<Chunk>> pool_;
};

template <typename Put>
Queued RowQueue::Append(unsigned shard_number, Put&& put) {
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
            return Drop();
        }
        lock.lock();
    }
    if (shard.chunks.empty() || Full(*shard.chunks.back())) {
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
    // The consumer wakes for the first row of an empty shard (its delay
    // starts) and once the shard holds a batch; otherwise it sleeps on.
    const bool wake = ++shard.queued == 1 || shard.queued == options_.batch_size;
    lock.unlock();
    if (wake) {
        data_.load(std::memory_order_acquire)->Wake();
    }
    return Queued::kYes;
}

}  // namespace telem_pyb_log
