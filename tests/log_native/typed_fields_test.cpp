// The typed fields' parser and formatter at the edges that the stores'
// tests do not reach: the per-thread cache of the recorders' own stamps, the
// ends of the range of times, and the rows' encoding of the typed fields.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
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

// What the stores leave out of a row is what they give back exactly: the
// stamp of its time, and PostgreSQL's text of its number (the texts of
// TsPoint::value_str, std::to_chars' shortest).
TEST(TypedFieldsTest, OnlyTextsTheStoresGiveBackAreDerivable) {
    TypedFields t;
    t.has_time = true;
    t.time = 1'796'731'200'123'456;  // 2026-12-08T12:00:00.123456Z
    EXPECT_TRUE(telem_pyb_log::StampOfTime("2026-12-08T12:00:00.123456+00:00", t));
    for (const char* other : {"2026-12-08T12:00:00.123456Z", "2026-12-08T12:00:00.123456-00:00",
                              "2026-12-08T12:00:00.123457+00:00", "2026-12-08 12:00:00.123456+00:00",
                              "2026-12-08T13:00:00.123456+01:00"}) {
        EXPECT_FALSE(telem_pyb_log::StampOfTime(other, t)) << other;
    }
    t.has_time = false;
    EXPECT_FALSE(telem_pyb_log::StampOfTime("1970-01-01T00:00:00.000000+00:00", t));

    const auto derives = [](double number, const char* text) {
        TypedFields n;
        n.has_number = true;
        n.number = number;
        return telem_pyb_log::PostgresNumberText(text, n);
    };
    EXPECT_TRUE(derives(0.25, "0.25"));
    EXPECT_TRUE(derives(-1.5, "-1.5"));
    EXPECT_TRUE(derives(5, "5"));
    EXPECT_TRUE(derives(0.0001, "0.0001"));
    EXPECT_TRUE(derives(123456, "123456"));
    EXPECT_TRUE(derives(100000, "100000"));
    EXPECT_TRUE(derives(1e15, "1e+15"));
    EXPECT_TRUE(derives(1e-5, "1e-05"));
    EXPECT_TRUE(derives(2.5e-300, "2.5e-300"));
    EXPECT_TRUE(derives(-0.0, "-0"));
    EXPECT_FALSE(derives(100000, "1e+05"));  // to_chars' text, which PostgreSQL writes otherwise
    EXPECT_FALSE(derives(0.0001, "1e-04"));
    EXPECT_FALSE(derives(0.1 + 0.2, "0.30000000000000004"));  // 17 digits: written alike only with extra_float_digits
    EXPECT_FALSE(derives(1.0, "true"));
    EXPECT_FALSE(derives(std::numeric_limits<double>::infinity(), "inf"));
    EXPECT_FALSE(derives(9.223372036854776e18, "9223372036854775807"));
    EXPECT_FALSE(telem_pyb_log::PostgresNumberText("5", TypedFields{}));  // a text value
}

}  // namespace
