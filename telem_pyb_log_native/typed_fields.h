#pragma once

// The typed columns stored beside a row's texts: `time`, the point's mtime as
// microseconds since the epoch in UTC, and `number`, its value as a double for
// bool, integer and floating-point values. Made on the recording thread (from
// the value itself, not its text); a store writes `time` as the UTC text
// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ", which sorts as time and which SQLite's date
// functions and PostgreSQL's timestamptz both read.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "norv/telem/TsValue.h"

namespace telem_pyb_log {

struct TypedFields {
    bool has_time = false;
    bool has_number = false;
    std::int64_t time = 0;  // microseconds since 1970-01-01T00:00:00Z
    double number = 0;
};

namespace typed_detail {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

constexpr std::int64_t kMicrosPerDay = 86'400'000'000LL;
// The times both stores hold: years 1 to 9999, in UTC.
constexpr std::int64_t kFirstTime = DaysFromCivil(1, 1, 1) * kMicrosPerDay;
constexpr std::int64_t kEndTime = DaysFromCivil(10000, 1, 1) * kMicrosPerDay;

inline bool Digits(const char* p, int n, unsigned& out) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned d = static_cast<unsigned char>(p[i]) - '0';
        if (d > 9) {
            return false;
        }
        v = v * 10 + d;
    }
    out = v;
    return true;
}

inline unsigned DaysInMonth(unsigned y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

// The full parse; see ParseTime.
inline bool ParseTimeSlow(std::string_view text, std::int64_t& micros) {
    const char* p = text.data();
    const char* const end = p + text.size();
    unsigned year, month, day;
    if (end - p < 10 || !Digits(p, 4, year) || p[4] != '-' || !Digits(p + 5, 2, month) || p[7] != '-'
        || !Digits(p + 8, 2, day) || year < 1 || month < 1 || month > 12 || day < 1
        || day > DaysInMonth(year, month)) {
        return false;
    }
    p += 10;
    std::int64_t us = DaysFromCivil(year, month, day) * kMicrosPerDay;
    if (p != end) {
        unsigned hour, minute, second = 0;
        if (end - p < 6 || (*p != 'T' && *p != 't' && *p != ' ') || !Digits(p + 1, 2, hour) || p[3] != ':'
            || !Digits(p + 4, 2, minute) || hour > 23 || minute > 59) {
            return false;
        }
        p += 6;
        if (p != end && *p == ':') {
            if (end - p < 3 || !Digits(p + 1, 2, second) || second > 59) {
                return false;
            }
            p += 3;
            if (p != end && (*p == '.' || *p == ',')) {
                ++p;
                unsigned fraction = 0;
                int digits = 0;
                for (; p != end && *p >= '0' && *p <= '9'; ++p, ++digits) {
                    if (digits < 6) {
                        fraction = fraction * 10 + static_cast<unsigned>(*p - '0');
                    }
                }
                if (digits == 0 || digits > 9) {
                    return false;
                }
                for (int i = digits; i < 6; ++i) {
                    fraction *= 10;
                }
                us += fraction;
            }
        }
        us += ((hour * 60LL + minute) * 60 + second) * 1'000'000LL;
        if (p != end) {
            if ((*p == 'Z' || *p == 'z') && end - p == 1) {
                p = end;
            } else if (*p == '+' || *p == '-') {
                const int sign = *p == '-' ? -1 : 1;
                unsigned oh, om = 0;
                const std::ptrdiff_t left = end - p - 1;
                if (!Digits(p + 1, 2, oh)
                    || !(left == 2 || (left == 5 && p[3] == ':' && Digits(p + 4, 2, om))
                         || (left == 4 && Digits(p + 3, 2, om)))
                    || oh > 23 || om > 59) {
                    return false;
                }
                us -= sign * (oh * 60LL + om) * 60'000'000LL;
                p = end;
            } else {
                return false;
            }
        }
    }
    if (us < kFirstTime || us >= kEndTime) {
        return false;
    }
    micros = us;
    return true;
}

}  // namespace typed_detail

// Parses an ISO 8601 time: "YYYY-MM-DD", optionally followed by "T" (or "t"
// or a space) and "HH:MM", ":SS", a fraction of up to nine digits (cut to the
// microsecond), and an offset "Z", "+HH:MM", "+HHMM" or "+HH". A time without
// an offset is taken as UTC. False for anything else and for times outside
// the years 1 to 9999 in UTC.
inline bool ParseTime(std::string_view text, std::int64_t& micros) {
    // The recorders' own stamps ("2026-12-08T12:00:00.123456+00:00") differ
    // from the last one of the thread in the microseconds, mostly: the rest is
    // parsed once a second.
    constexpr std::size_t kStamp = 32;
    struct Last {
        char head[19];
        char tail[6];
        std::int64_t second = -1;
    };
    thread_local Last last;
    unsigned fraction;
    if (text.size() == kStamp && text[19] == '.' && typed_detail::Digits(text.data() + 20, 6, fraction)) {
        if (last.second >= 0 && std::memcmp(text.data(), last.head, 19) == 0
            && std::memcmp(text.data() + 26, last.tail, 6) == 0) {
            micros = last.second + fraction;
            return true;
        }
        if (!typed_detail::ParseTimeSlow(text, micros)) {
            return false;
        }
        std::memcpy(last.head, text.data(), 19);
        std::memcpy(last.tail, text.data() + 26, 6);
        last.second = micros - fraction;
        // A second at the very end of the range would take the cache past it.
        if (last.second + 999'999 >= typed_detail::kEndTime) {
            last.second = -1;
        }
        return true;
    }
    return typed_detail::ParseTimeSlow(text, micros);
}

// The value as a number: bool as 0 or 1, integers and floating-point numbers
// as doubles; false for text.
inline bool NumberOf(const norv::telem::TsValue& value, double& number) {
    switch (value.index()) {
        case 0:
            number = std::get<0>(value) ? 1.0 : 0.0;
            return true;
        case 1:
            number = static_cast<double>(std::get<1>(value));
            return true;
        case 2:
            number = std::get<2>(value);
            return true;
        default:
            return false;
    }
}

// The number of a value's text, for rows stored before the typed columns
// existed: "true" and "false", and the whole text as a decimal number
// (including "nan", "inf" and "-inf", which the client library writes).
inline bool NumberFromText(std::string_view text, double& number) {
    if (text == "true" || text == "false") {
        number = text == "true" ? 1.0 : 0.0;
        return true;
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    return ec == std::errc() && end == text.data() + text.size();
}

// The typed fields of a row, from its texts (see NumberFromText).
inline TypedFields TypedFromTexts(std::string_view mtime, std::string_view value) {
    TypedFields typed;
    typed.has_time = ParseTime(mtime, typed.time);
    typed.has_number = NumberFromText(value, typed.number);
    return typed;
}

constexpr std::size_t kTimeTextSize = 27;

// Writes `micros` (within the years 1 to 9999) as "YYYY-MM-DDTHH:MM:SS.uuuuuuZ".
inline void FormatTime(std::int64_t micros, char* out) {
    std::int64_t days = micros / typed_detail::kMicrosPerDay;
    std::int64_t rest = micros % typed_detail::kMicrosPerDay;
    if (rest < 0) {
        rest += typed_detail::kMicrosPerDay;
        --days;
    }
    // Civil from days (H. Hinnant's algorithm).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const unsigned year = static_cast<unsigned>(yoe + era * 400 + (month <= 2));
    const auto put = [](char* at, unsigned v, int digits) {
        for (int i = digits - 1; i >= 0; --i) {
            at[i] = static_cast<char>('0' + v % 10);
            v /= 10;
        }
    };
    const unsigned second_of_day = static_cast<unsigned>(rest / 1'000'000);
    put(out, year, 4);
    out[4] = '-';
    put(out + 5, month, 2);
    out[7] = '-';
    put(out + 8, day, 2);
    out[10] = 'T';
    put(out + 11, second_of_day / 3600, 2);
    out[13] = ':';
    put(out + 14, second_of_day / 60 % 60, 2);
    out[16] = ':';
    put(out + 17, second_of_day % 60, 2);
    out[19] = '.';
    put(out + 20, static_cast<unsigned>(rest % 1'000'000), 6);
    out[26] = 'Z';
}

// Whether `mtime` is exactly the recorders' own stamp of `typed.time`
// ("YYYY-MM-DDTHH:MM:SS.uuuuuu+00:00"), which the stores give back from
// `time`: then they need not keep the text.
inline bool StampOfTime(std::string_view mtime, const TypedFields& typed) {
    constexpr std::string_view kUtc = "+00:00";
    if (!typed.has_time || mtime.size() != 26 + kUtc.size() || mtime.substr(26) != kUtc) {
        return false;
    }
    char text[kTimeTextSize];
    FormatTime(typed.time, text);
    return std::memcmp(text, mtime.data(), 26) == 0;
}

// Whether a value's text is a plain decimal number of at most 15 significant
// digits: the texts that every SQLite and PostgreSQL version writes alike
// for the double they read as. A store leaves out only such a text, and only
// where the database's own text of the stored number is equal to it.
inline bool PlainNumberText(std::string_view text) {
    int digits = 0;
    bool leading = true;
    bool any = false;
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') {
        ++i;
    }
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') {
            continue;
        }
        if (c < '0' || c > '9') {
            return false;
        }
        any = true;
        if (c != '0' || !leading) {
            leading = false;
            ++digits;
        }
    }
    if (i < text.size()) {  // the exponent: a sign and digits
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (i == text.size()) {
            return false;
        }
        for (; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
        }
    }
    return any && digits <= 15;
}

// Whether `value` is PostgreSQL's text of the row's number (float8 output,
// shortest exact digits: fixed from 1e-4 up to below 1e15, else with an
// exponent of at least two digits), and a plain text of at most 15 digits,
// which it writes alike whatever its session's extra_float_digits.
inline bool PostgresNumberText(std::string_view value, const TypedFields& typed) {
    if (!typed.has_number || !std::isfinite(typed.number) || !PlainNumberText(value)) {
        return false;
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, typed.number, std::chars_format::scientific);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = scientific.find('e');
    const bool negative = scientific[0] == '-';
    std::string digits;
    for (char c : scientific.substr(0, e)) {
        if (c >= '0' && c <= '9') {
            digits += c;
        }
    }
    const int exponent = std::atoi(std::string(scientific.substr(e + 1)).c_str());
    if (exponent < -4 || exponent >= 15) {
        return value == scientific;
    }
    std::string fixed = negative ? "-" : "";
    if (exponent < 0) {
        fixed += "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else {
        const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            fixed += digits + std::string(whole - digits.size(), '0');
        } else {
            fixed += digits.substr(0, whole) + "." + digits.substr(whole);
        }
    }
    return value == fixed;
}

// Appends `number` as PostgreSQL's float8 input reads it back exactly.
inline void AppendNumberText(std::string& out, double number) {
    if (std::isnan(number)) {
        out += "NaN";
    } else if (std::isinf(number)) {
        out += number > 0 ? "Infinity" : "-Infinity";
    } else {
        char buffer[32];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
        out.append(buffer, result.ptr);
    }
}

}  // namespace telem_pyb_log
