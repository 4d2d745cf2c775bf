// The client library's two operations: the text of a point's value and the
// conversion into the log backend's record.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

#include "norv/telem/telem.h"

namespace {

using norv::telem::TelemException;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using norv::telem::TsValue;
namespace db = norv::telem::backend::log;

using namespace std::string_literals;

struct TextCase {
    TsValue value;
    std::string text;
};

std::ostream& operator<<(std::ostream& os, const TextCase& c) { return os << '"' << c.text << '"'; }

class ValueStrTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ValueStrTest, GivesTheValuesTextAndLeavesThePointAsItWas) {
    TsPoint p(GetParam().value);
    p.mtime = "t";
    EXPECT_EQ(p.value_str(), GetParam().text);
    EXPECT_EQ(p.value, GetParam().value);
    EXPECT_EQ(p.mtime, "t");
}

INSTANTIATE_TEST_SUITE_P(Alternatives, ValueStrTest,
                         ::testing::Values(TextCase{TsValue(true), "true"}, TextCase{TsValue(false), "false"},
                                           TextCase{TsValue(0L), "0"}, TextCase{TsValue(1L), "1"},
                                           TextCase{TsValue(-17L), "-17"},
                                           TextCase{TsValue(LONG_MAX), "9223372036854775807"},
                                           TextCase{TsValue(LONG_MIN), "-9223372036854775808"},
                                           TextCase{TsValue(0.1), "0.1"}, TextCase{TsValue(2.5), "2.5"},
                                           TextCase{TsValue(-2.5), "-2.5"}, TextCase{TsValue(1e300), "1e+300"},
                                           TextCase{TsValue(""s), ""}, TextCase{TsValue("plain"s), "plain"},
                                           TextCase{TsValue(" sp \xc3\xa9\xff\0tail"s), " sp \xc3\xa9\xff\0tail"s}));

TEST(ValueStrTest, NewPointGivesEmptyText) { EXPECT_EQ(TsPoint().value_str(), ""); }

TsMetadata DistinctMetadata() {
    TsMetadata m;
    m.tsid = "id";
    m.tsname = "series.name";
    m.btype = "double";
    m.units = "m/s";
    m.origin = "probe \0 7"s;
    m.serial = "SN1";
    m.role = "primary";
    m.comment = "a comment";
    m.json = "{}";
    return m;
}

class ConvertPointToDbTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(ConvertPointToDbTest, MapsFieldsAndTakesValueText) {
    const TsMetadata meta = DistinctMetadata();
    TsPoint point(GetParam().value);
    point.mtime = "2024-05-01T12:00:00Z";
    const db::Point out = db::ConvertPointToDb(meta, point);
    EXPECT_EQ(out.mtime, point.mtime);
    EXPECT_EQ(out.tsname, meta.tsname);
    EXPECT_EQ(out.value, GetParam().text);
    EXPECT_EQ(out.btype, meta.btype);
    EXPECT_EQ(out.units, meta.units);
    EXPECT_EQ(out.comment, meta.comment);
    EXPECT_EQ(out.origin, meta.origin);
    EXPECT_EQ(out.origin.size(), 9u);
}

INSTANTIATE_TEST_SUITE_P(Values, ConvertPointToDbTest,
                         ::testing::Values(TextCase{TsValue(false), "false"}, TextCase{TsValue(-3L), "-3"},
                                           TextCase{TsValue(0.1), "0.1"}, TextCase{TsValue("on\0off"s), "on\0off"s}));

TEST(ConvertPointToDbTest, EmptySeriesNameThrowsTelemException) {
    TsMetadata meta = DistinctMetadata();
    meta.tsname.clear();
    try {
        db::ConvertPointToDb(meta, TsPoint(TsValue(1L)));
        FAIL() << "no exception";
    } catch (const TelemException& e) {
        EXPECT_NE(std::string(e.what()), "");
    }
}

}  // namespace
