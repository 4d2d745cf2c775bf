// The typed fields' parser and formatter at the edges that the stores'
// tests do not reach: the per-thread cache of the recorders' own stamps, the
// ends of the range of times, and the rows' encoding of the typed fields.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rows.h"
#include "typed_fields.h"

namespace {

using telem_pyb_log::FormatTime;
using telem_pyb_log::ParseTime;
using telem_pyb_log::TypedFields;

std::string Formatted(std::int64_t micros) {
    char text[telem_pyb_log::kTimeTextSize];
    FormatTime(micros, text);
    return std::string(text, sizeof text);
}

std::string Reparsed(const std::string& mtime) {
    std::int64_t micros = 0;
    return ParseTime(mtime, micros) ? Formatted(micros) : "(none)";
}

struct Case {
    const char* mtime;
    const char* stored;  // the time column's text, or "(none)"
};

// In order: the stamp cache keys on the second and the offset.
constexpr Case kCases[] = {
    {"2026-12-08T12:00:00.000001+00:00", "2026-12-08T12:00:00.000001Z"},
    {"2026-12-08T12:00:00.000002+01:00", "2026-12-08T11:00:00.000002Z"},  // same second, other offset
    {"2026-12-08T12:00:00.000003+00:00", "2026-12-08T12:00:00.000003Z"},
    {"2026-12-08T12:00:01.000003+00:00", "2026-12-08T12:00:01.000003Z"},
    {"2026-12-08T12:00:01.00000x+00:00", "(none)"},  // a stamp's length, not a time
    {"2026-12-08T12:00:01.000003+00:0x", "(none)"},
    // The range: the years 1 to 9999 in UTC.
    {"0001-01-01T00:00:00Z", "0001-01-01T00:00:00.000000Z"},
    {"9999-12-31T23:59:59.999999+00:00", "9999-12-31T23:59:59.999999Z"},
    {"9999-12-31T23:59:59.999999-00:01", "(none)"},
    {"1969-12-31T23:59:59.5Z", "1969-12-31T23:59:59.500000Z"},
    {"2000-02-29", "2000-02-29T00:00:00.000000Z"},
    {"1900-02-29", "(none)"},
};

TEST(TypedFieldsTest, TimesParseAcrossTheStampCacheAndToTheEndsOfTheRange) {
    for (const Case& c : kCases) {
        EXPECT_EQ(Reparsed(c.mtime), c.stored) << c.mtime;
    }
}

TEST(TypedFieldsTest, RowsKeepTheirTypedFieldsThroughAChunk) {
    auto series = std::make_shared<telem_pyb_log::Series>();
    series->tsname = "s";
    telem_pyb_log::Chunk chunk;
    TypedFields both;
    both.has_time = both.has_number = true;
    both.time = -1;
    both.number = -0.5;
    TypedFields none;
    TypedFields nan;
    nan.has_number = true;
    nan.number = std::nan("");
    chunk.AppendSeriesRow(series, "a", "1", both);
    chunk.AppendSeriesRow(series, "b", "2", none);
    telem_pyb_log::RowView full{"c", "t", "3", "", "", "", "", nan};
    chunk.AppendFullRow(full);
    std::vector<telem_pyb_log::RowView> rows;
    chunk.ForEach([&](const telem_pyb_log::RowView& row) { rows.push_back(row); });
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(rows[0].typed.has_time && rows[0].typed.has_number);
    EXPECT_EQ(rows[0].typed.time, -1);
    EXPECT_EQ(rows[0].typed.number, -0.5);
    EXPECT_EQ(rows[0].mtime, "a");
    EXPECT_FALSE(rows[1].typed.has_time || rows[1].typed.has_number);
    EXPECT_EQ(rows[1].value, "2");
    EXPECT_TRUE(!rows[2].typed.has_time && rows[2].typed.has_number && std::isnan(rows[2].typed.number));
    EXPECT_EQ(rows[2].tsname, "t");
}

}  // namespace
