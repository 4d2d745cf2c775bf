// The recorder interface's two default operations, RecordValue and
// RecordMetadataKv, seen from native implementations.

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "norv/telem/telem.h"

namespace {

using brix::error::NorvBaseException;
using brix::error::NorvException;
using norv::telem::TelemException;
using norv::telem::TelemRecorder;
using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using norv::telem::TsValue;
using Kv = std::map<std::string, std::string>;

using namespace std::string_literals;

// Keeps copies of everything it receives through the three pure operations.
class CapturingRecorder : public TelemRecorder {
public:
    void RecordMetadata(const TsMetadata& meta) override { metadata.push_back(meta); }
    void RecordPoint(const TsPoint& point) override { points.push_back(point); }
    void Close() override { ++closes; }

    std::vector<TsMetadata> metadata;
    std::vector<TsPoint> points;
    int closes = 0;
};

// Overrides RecordValue as well; its values must not reach RecordPoint.
class ValueRecorder : public CapturingRecorder {
public:
    void RecordValue(TsValue value) override { values.push_back(std::move(value)); }
    std::vector<TsValue> values;
};

// Derives once more and overrides RecordPoint again: the defaults must reach
// the most derived implementation.
class MostDerivedRecorder : public CapturingRecorder {
public:
    void RecordPoint(const TsPoint& point) override { derived_points.push_back(point); }
    std::vector<TsPoint> derived_points;
};

std::vector<std::string> Fields(const TsMetadata& m) {
    return {m.tsid, m.tsname, m.btype, m.units, m.origin, m.serial, m.role, m.comment, m.json};
}

TEST(TelemRecorderTest, InterfaceIsAbstractWithoutStateOrVirtualDestructor) {
    // The override class in the module is deleted through a TelemRecorder
    // pointer; that is sound only while these hold.
    EXPECT_TRUE(std::is_abstract_v<TelemRecorder>);
    EXPECT_FALSE(std::has_virtual_destructor_v<TelemRecorder>);
    EXPECT_EQ(sizeof(TelemRecorder), sizeof(void*));
}

class RecordValueTest : public ::testing::TestWithParam<TsValue> {};

TEST_P(RecordValueTest, ArrivesAsPointWithSameAlternativeAndNoTime) {
    CapturingRecorder rec;
    TelemRecorder& iface = rec;
    iface.RecordValue(GetParam());
    ASSERT_EQ(rec.points.size(), 1u);
    EXPECT_EQ(rec.points[0].value.index(), GetParam().index());
    EXPECT_EQ(rec.points[0].value, GetParam());
    EXPECT_EQ(rec.points[0].mtime, "");
    EXPECT_TRUE(rec.metadata.empty());
    EXPECT_EQ(rec.closes, 0);
}

INSTANTIATE_TEST_SUITE_P(Alternatives, RecordValueTest,
                         ::testing::Values(TsValue(true), TsValue(false), TsValue(0L), TsValue(1L), TsValue(LONG_MIN),
                                           TsValue(LONG_MAX), TsValue(-0.0), TsValue(2.5), TsValue(1e300), TsValue(""s),
                                           TsValue("two words \xc3\xa9\xff\0end"s)));

TEST(RecordValueTest, BoolStaysBool) {
    CapturingRecorder rec;
    rec.RecordValue(TsValue(true));
    ASSERT_EQ(rec.points.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<bool>(rec.points[0].value));
    EXPECT_TRUE(std::get<bool>(rec.points[0].value));
}

TEST(RecordValueTest, OverriddenRecordValueGetsTheCallsInsteadOfRecordPoint) {
    ValueRecorder rec;
    TelemRecorder& iface = rec;
    for (const TsValue& v : {TsValue(true), TsValue(3L), TsValue(0.5), TsValue("x"s)}) iface.RecordValue(v);
    iface.RecordPoint(TsPoint(TsValue(9L)));
    EXPECT_EQ(rec.values, (std::vector<TsValue>{TsValue(true), TsValue(3L), TsValue(0.5), TsValue("x"s)}));
    ASSERT_EQ(rec.points.size(), 1u);  // only the direct RecordPoint call
    EXPECT_EQ(rec.points[0].value, TsValue(9L));
}

TEST(RecordValueTest, DefaultsReachTheMostDerivedImplementation) {
    MostDerivedRecorder rec;
    TelemRecorder& iface = rec;
    iface.RecordValue(TsValue(5L));
    EXPECT_TRUE(rec.points.empty());
    ASSERT_EQ(rec.derived_points.size(), 1u);
    EXPECT_EQ(rec.derived_points[0].value, TsValue(5L));
}

struct KvCase {
    const char* name;
    Kv kv;
    std::vector<std::string> expected;  // the nine fields, in field order
};

std::ostream& operator<<(std::ostream& os, const KvCase& c) { return os << c.name; }

class RecordMetadataKvTest : public ::testing::TestWithParam<KvCase> {};

TEST_P(RecordMetadataKvTest, FillsKnownKeysExactlyAndCallsRecordMetadataOnce) {
    CapturingRecorder rec;
    TelemRecorder& iface = rec;
    const Kv kv = GetParam().kv;
    iface.RecordMetadataKv(kv);
    ASSERT_EQ(rec.metadata.size(), 1u);
    EXPECT_EQ(Fields(rec.metadata[0]), GetParam().expected);
    EXPECT_TRUE(rec.points.empty());
    EXPECT_EQ(kv, GetParam().kv);
}

const std::vector<std::string> kNineEmpty(9);
const Kv kAllNine = {{"tsid", "id-1"}, {"tsname", "name"}, {"btype", "double"},
                     {"units", "V"},   {"origin", "here"}, {"serial", "s/n 7"},
                     {"role", "main"}, {"comment", "c"},   {"json", "{\"a\": [1, 2]}"}};
const std::vector<std::string> kAllNineFields = {"id-1", "name", "double",         "V", "here", "s/n 7",
                                                 "main", "c",    "{\"a\": [1, 2]}"};

Kv WithExtras(Kv kv) {
    kv.emplace("TSID", "upper");
    kv.emplace("tsid ", "trailing space");
    kv.emplace("tsid\0"s, "with nul");
    kv.emplace("", "empty key");
    kv.emplace("time", "12:00");
    return kv;
}

INSTANTIATE_TEST_SUITE_P(Maps, RecordMetadataKvTest,
                         ::testing::Values(KvCase{"EmptyMap", {}, kNineEmpty},
                                           KvCase{"OnlyUnknownKeys", {{"a", "1"}, {"b", "2"}}, kNineEmpty},
                                           KvCase{"CapitalisedKeyIsNotMatched",
                                                  {{"tsid", "abc"}, {"TSNAME", "n"}},
                                                  {"abc", "", "", "", "", "", "", "", ""}},
                                           KvCase{"AllNine", kAllNine, kAllNineFields},
                                           KvCase{"ExtraKeysAreIgnored", WithExtras(kAllNine), kAllNineFields},
                                           KvCase{"EmptyValueEqualsAbsentKey",
                                                  {{"tsid", "x"}, {"units", ""}},
                                                  {"x", "", "", "", "", "", "", "", ""}},
                                           KvCase{"ValuesAreCopiedByteForByte",
                                                  {{"comment", " lead and trail "},
                                                   {"units",
                                                    "\xc2\xb0"
                                                    "C \xff\xfe"},
                                                   {"json", "a\0b\0"s}},
                                                  {"", "", "",
                                                   "\xc2\xb0"
                                                   "C \xff\xfe",
                                                   "", "", "", " lead and trail ", "a\0b\0"s}}),
                         [](const ::testing::TestParamInfo<KvCase>& info) { return std::string(info.param.name); });

// Exceptions from the pure operations travel through the defaults unchanged.
class ThrowingRecorder : public TelemRecorder {
public:
    enum class What { Telem, Runtime, NonStd };
    explicit ThrowingRecorder(What what) : what_(what) {}
    void RecordMetadata(const TsMetadata&) override { Throw("metadata"); }
    void RecordPoint(const TsPoint&) override { Throw("point"); }
    void Close() override {}

private:
    void Throw(const std::string& text) const {
        switch (what_) {
            case What::Telem:
                throw TelemException(text);
            case What::Runtime:
                throw std::runtime_error(text);
            case What::NonStd:
                throw text;
        }
    }
    What what_;
};

TEST(RecorderDefaultsTest, TelemExceptionPropagatesWithItsMessage) {
    ThrowingRecorder rec(ThrowingRecorder::What::Telem);
    TelemRecorder& iface = rec;
    try {
        iface.RecordValue(TsValue(1L));
        FAIL() << "RecordValue did not throw";
    } catch (const TelemException& e) {
        EXPECT_STREQ(e.what(), "point");
    }
    try {
        iface.RecordMetadataKv({{"tsid", "x"}});
        FAIL() << "RecordMetadataKv did not throw";
    } catch (const TelemException& e) {
        EXPECT_STREQ(e.what(), "metadata");
    }
}

TEST(RecorderDefaultsTest, OtherExceptionsPropagateUnchanged) {
    ThrowingRecorder rt(ThrowingRecorder::What::Runtime);
    EXPECT_THROW(rt.RecordValue(TsValue("long string value that is heap allocated for sure"s)), std::runtime_error);
    EXPECT_THROW(rt.RecordMetadataKv({{"json", "{}"}}), std::runtime_error);
    ThrowingRecorder ns(ThrowingRecorder::What::NonStd);
    EXPECT_THROW(ns.RecordValue(TsValue(2.0)), std::string);
    EXPECT_THROW(ns.RecordMetadataKv({}), std::string);
}

// TelemException is caught by each of its bases, with its message.
TEST(TelemExceptionTest, CaughtThroughEveryBaseWithItsMessage) {
    const std::string text = "series \xc3\xa9 failed";
    try {
        throw TelemException(text);
    } catch (const NorvBaseException& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
    try {
        throw TelemException(text);
    } catch (const NorvException& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
    try {
        throw TelemException(text);
    } catch (const std::exception& e) {
        EXPECT_EQ(std::string(e.what()), text);
    }
}

}  // namespace
