#pragma once

// The time stamp of a point recorded without one: the current UTC time in ISO
// 8601 to the microsecond, "2026-12-08T12:00:00.123456+00:00" (32 bytes). The
// date and time of day are formatted once a second per thread, so that a stamp
// costs a clock read and six digits.

#include <time.h>

#include <cstdint>
#include <string>

namespace telem_pyb_log {

constexpr std::size_t kStampSize = 32;

inline void PutDigits(char* out, unsigned value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// Sets `out` to the current UTC time.
inline void StampUtcNow(std::string& out) {
    struct SecondText {
        time_t second = -1;
        char text[kStampSize];  // "YYYY-MM-DDTHH:MM:SS.uuuuuu+00:00"
    };
    thread_local SecondText cached;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != cached.second) {
        tm utc{};
        gmtime_r(&now.tv_sec, &utc);
        char* t = cached.text;
        PutDigits(t, static_cast<unsigned>(utc.tm_year + 1900) % 10000, 4);
        t[4] = '-';
        PutDigits(t + 5, static_cast<unsigned>(utc.tm_mon + 1), 2);
        t[7] = '-';
        PutDigits(t + 8, static_cast<unsigned>(utc.tm_mday), 2);
        t[10] = 'T';
        PutDigits(t + 11, static_cast<unsigned>(utc.tm_hour), 2);
        t[13] = ':';
        PutDigits(t + 14, static_cast<unsigned>(utc.tm_min), 2);
        t[16] = ':';
        PutDigits(t + 17, static_cast<unsigned>(utc.tm_sec), 2);
        t[19] = '.';
        t[26] = '+';
        t[27] = '0';
        t[28] = '0';
        t[29] = ':';
        t[30] = '0';
        t[31] = '0';
        cached.second = now.tv_sec;
    }
    PutDigits(cached.text + 20, static_cast<unsigned>(now.tv_nsec / 1000), 6);
    out.assign(cached.text, kStampSize);
}

}  // namespace telem_pyb_log
