// Construction, copy and move of the record types.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "norv/telem/telem.h"

namespace {

using norv::telem::TsMetadata;
using norv::telem::TsPoint;
using norv::telem::TsValue;

using namespace std::string_literals;

// The nine fields of TsMetadata, in field order, for table loops.
struct MetadataField {
    const char* name;
    std::string TsMetadata::*member;
};
const std::vector<MetadataField> kMetadataFields = {
    {"tsid", &TsMetadata::tsid},   {"tsname", &TsMetadata::tsname},   {"btype", &TsMetadata::btype},
    {"units", &TsMetadata::units}, {"origin", &TsMetadata::origin},   {"serial", &TsMetadata::serial},
    {"role", &TsMetadata::role},   {"comment", &TsMetadata::comment}, {"json", &TsMetadata::json},
};

// A long text is kept on the heap, a short one inside the string object; both
// layouts must behave alike.
const std::string kLong = "a text long enough to live outside the small-string buffer";
const std::string kNul = "ab\0cd\xff"s;

// Fills every field with a distinct text that contains `marker`.
TsMetadata FilledMetadata(const std::string& marker) {
    TsMetadata meta;
    for (const auto& f : kMetadataFields) meta.*f.member = f.name + marker;
    return meta;
}

TEST(TsPointTest, NewPointHoldsAnEmptyStringAndNoTime) {
    const TsPoint p;
    ASSERT_EQ(p.value.index(), 3u);
    EXPECT_EQ(std::get<std::string>(p.value), "");
    EXPECT_EQ(p.mtime, "");
}

TEST(TsMetadataTest, NewMetadataHasNineEmptyFields) {
    const TsMetadata meta;
    for (const auto& f : kMetadataFields) EXPECT_EQ(meta.*f.member, "") << f.name;
}

// A point built from a value keeps that value's alternative and content.
class PointFromValueTest : public ::testing::TestWithParam<TsValue> {};

TEST_P(PointFromValueTest, KeepsAlternativeAndHasNoTime) {
    const TsPoint p(GetParam());
    EXPECT_EQ(p.value.index(), GetParam().index());
    EXPECT_EQ(p.value, GetParam());
    EXPECT_EQ(p.mtime, "");
}

INSTANTIATE_TEST_SUITE_P(Alternatives, PointFromValueTest,
                         ::testing::Values(TsValue(false), TsValue(true), TsValue(0L), TsValue(-7L), TsValue(0.0),
                                           TsValue(2.5), TsValue(""s), TsValue(kNul), TsValue(kLong)));

TEST(PointFromValueTest, ZeroIntegerIsAlternativeOneNotBoolOrString) {
    const TsPoint p{TsValue(0L)};
    ASSERT_EQ(p.value.index(), 1u);
    EXPECT_EQ(std::get<long>(p.value), 0L);
    EXPECT_EQ(p.mtime, "");
}

class PointCopyTest : public ::testing::TestWithParam<std::string> {};

TEST_P(PointCopyTest, CopyOfStringPointIsIndependent) {
    TsPoint src{TsValue(GetParam())};
    src.mtime = GetParam() + "-t";
    TsPoint copy(src);
    ASSERT_EQ(copy.value, src.value);
    ASSERT_EQ(copy.mtime, src.mtime);

    std::get<std::string>(copy.value).append("x");
    std::get<std::string>(copy.value)[0] = 'Z';
    copy.mtime.assign("changed");
    EXPECT_EQ(std::get<std::string>(src.value), GetParam());
    EXPECT_EQ(src.mtime, GetParam() + "-t");

    // And the other way round.
    std::get<std::string>(src.value).clear();
    EXPECT_EQ(std::get<std::string>(copy.value).size(), GetParam().size() + 1);
}

TEST_P(PointCopyTest, MoveEmptiesSourceStrings) {
    TsPoint src{TsValue(GetParam())};
    src.mtime = GetParam() + "-t";
    const TsPoint dst(std::move(src));
    EXPECT_EQ(std::get<std::string>(dst.value), GetParam());
    EXPECT_EQ(dst.mtime, GetParam() + "-t");
    ASSERT_EQ(src.value.index(), 3u);  // NOLINT(bugprone-use-after-move): the moved-from state is under test
    EXPECT_EQ(std::get<std::string>(src.value), "");
    EXPECT_EQ(src.mtime, "");
}

INSTANTIATE_TEST_SUITE_P(Lengths, PointCopyTest, ::testing::Values("s"s, kLong, kNul));

// A moved-from point whose value is not a string keeps that value.
class PointMoveKeepsNonStringTest : public ::testing::TestWithParam<TsValue> {};

TEST_P(PointMoveKeepsNonStringTest, SourceKeepsAlternativeAndValue) {
    TsPoint src(GetParam());
    src.mtime = kLong;
    const TsPoint dst(std::move(src));
    EXPECT_EQ(dst.value, GetParam());
    EXPECT_EQ(dst.mtime, kLong);
    EXPECT_EQ(src.value.index(), GetParam().index());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(src.value, GetParam());
    EXPECT_EQ(src.mtime, "");
}

INSTANTIATE_TEST_SUITE_P(NonString, PointMoveKeepsNonStringTest,
                         ::testing::Values(TsValue(2.5), TsValue(true), TsValue(false), TsValue(-42L)));

TEST(TsMetadataTest, CopyIsIndependentFieldByField) {
    for (const std::string& marker : {"-short"s, "-" + kLong, "-\0nul"s}) {
        TsMetadata src = FilledMetadata(marker);
        TsMetadata copy(src);
        for (const auto& f : kMetadataFields) {
            ASSERT_EQ(copy.*f.member, src.*f.member) << f.name;
            (copy.*f.member)[0] = '#';
            (copy.*f.member).append("!");
            EXPECT_EQ(src.*f.member, f.name + marker) << f.name;
        }
    }
}

TEST(TsMetadataTest, MoveTakesEveryFieldAndEmptiesSource) {
    for (const std::string& marker : {"-short"s, "-" + kLong, "-\0nul"s}) {
        TsMetadata src = FilledMetadata(marker);
        const TsMetadata dst(std::move(src));
        for (const auto& f : kMetadataFields) {
            EXPECT_EQ(dst.*f.member, f.name + marker) << f.name;
            EXPECT_EQ(src.*f.member, "") << f.name;  // NOLINT(bugprone-use-after-move)
        }
    }
}

// Embedded NUL bytes are part of the value through copy and move.
TEST(RecordsTest, EmbeddedNulKeepsFullLengthThroughCopyAndMove) {
    const std::string nul = "\0x\0y\0"s;
    ASSERT_EQ(nul.size(), 5u);

    TsPoint p{TsValue(nul)};
    p.mtime = nul;
    TsMetadata meta;
    for (const auto& f : kMetadataFields) meta.*f.member = nul;

    const TsPoint pc(p);
    const TsPoint pm(std::move(p));
    for (const TsPoint* q : {&pc, &pm}) {
        EXPECT_EQ(std::get<std::string>(q->value), nul);
        EXPECT_EQ(q->mtime, nul);
    }

    const TsMetadata mc(meta);
    const TsMetadata mm(std::move(meta));
    for (const auto& f : kMetadataFields) {
        EXPECT_EQ(mc.*f.member, nul) << f.name;
        EXPECT_EQ(mm.*f.member, nul) << f.name;
    }
}

}  // namespace
