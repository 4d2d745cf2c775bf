#pragma once

// Wakes a pipeline thread that sleeps until a deadline: an eventfd that any
// thread writes and its one owner thread waits on and drains. Coalesced: a
// thread that wakes it while a wake-up is pending only sets nothing new.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>

namespace telem_pyb_log {

constexpr std::int64_t kNever = INT64_MAX;

inline std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline std::int64_t ToNs(double seconds) {
    return seconds >= 9e9 ? kNever : static_cast<std::int64_t>(seconds * 1e9);
}

class Waker {
public:
    Waker() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ < 0) {
            throw std::system_error(errno, std::generic_category(), "eventfd");
        }
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    ~Waker() { close(fd_); }

    // Any thread.
    void Wake() {
        if (!pending_.load(std::memory_order_relaxed) && !pending_.exchange(true)) {
            const std::uint64_t one = 1;
            // Fails only when the counter would overflow: the owner is awake then.
            [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
        }
    }

    // The owner: takes the wake-ups so far. The counter is read before the
    // flag is cleared: a Wake that set the flag and had not written yet then
    // writes after the read, or finds the flag clear and writes itself; the
    // other order could leave the flag set with nothing to read, and every
    // later Wake would write nothing.
    void Drain() {
        std::uint64_t count;
        while (read(fd_, &count, sizeof count) > 0) {
        }
        pending_.store(false);
    }

    // The owner: sleeps until `deadline` (steady-clock ns) or a wake-up.
    void SleepUntil(std::int64_t deadline) {
        int timeout_ms = -1;
        if (deadline != kNever) {
            const std::int64_t left = deadline - SteadyNs();
            if (left <= 0) {
                return;
            }
            timeout_ms = static_cast<int>(std::min<std::int64_t>((left + 999'999) / 1'000'000, 3'600'000));
        }
        pollfd ready{fd_, POLLIN, 0};
        poll(&ready, 1, timeout_ms);
    }

private:
    const int fd_;
    std::atomic<bool> pending_{false};
};

}  // namespace telem_pyb_log
