// The spool's file format and its recovery: what was committed comes back in
// order after a reopen, a torn last append is cut and reported, confirmed
// segments go, a full spool refuses, and a locked spool is refused.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "spool.h"
#include "written_series.h"

namespace fs = std::filesystem;
using telem_pyb_log::Batch;
using telem_pyb_log::Chunk;
using telem_pyb_log::RowView;
using telem_pyb_log::Series;
using telem_pyb_log::Spool;
using telem_pyb_log::SpoolError;

namespace {

class SpoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/telem-spool-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root_ = dir;
        path_ = root_ + "/spool";
    }
    void TearDown() override { fs::remove_all(root_); }

    // A chunk of `rows` rows numbered from `first`: series rows, and every
    // fifth a row of texts of its own (one with a tab, a newline and UTF-8).
    static std::unique_ptr<Chunk> Rows(int first, int rows) {
        static const auto series = [] {
            auto s = std::make_shared<Series>();
            s->tsname = "pump.pressure";
            s->btype = "float";
            s->units = "bar";
            return std::shared_ptr<const Series>(s);
        }();
        auto chunk = std::make_unique<Chunk>();
        for (int i = first; i < first + rows; ++i) {
            const std::string value = std::to_string(i);
            if (i % 5 == 0) {
                chunk->AppendFullRow(RowView{"2026-12-09T12:00:00+00:00", "other", value, "str", "m\t\n",
                                             "caf\xc3\xa9", "", {}});
            } else {
                chunk->AppendSeriesRow(series, "2026-12-09T12:00:00+00:00", value);
            }
        }
        return chunk;
    }

    static void Add(Spool& spool, int first, int rows) {
        ASSERT_EQ(spool.Append(*Rows(first, rows), 1.0, 1), telem_pyb_log::Appended::kYes);
    }

    // The value texts of every row the spool would deliver now, and the
    // number of the first.
    static std::vector<std::string> Pending(Spool& spool, std::uint64_t* first_seq = nullptr) {
        Batch batch;
        const std::uint64_t first = spool.Read(batch, 0, 1 << 30, std::size_t{1} << 40).first;
        if (first_seq != nullptr) {
            *first_seq = first;
        }
        std::vector<std::string> values;
        batch.ForEach([&](const RowView& row) {
            values.emplace_back(row.value);
            const int i = std::stoi(std::string(row.value));
            EXPECT_EQ(row.tsname, i % 5 == 0 ? "other" : "pump.pressure");
            EXPECT_EQ(row.units, i % 5 == 0 ? "m\t\n" : "bar");
            EXPECT_EQ(row.comment, i % 5 == 0 ? "caf\xc3\xa9" : "");
        });
        return values;
    }

    static std::vector<std::string> Numbers(int first, int end) {
        std::vector<std::string> out;
        for (int i = first; i < end; ++i) {
            out.push_back(std::to_string(i));
        }
        return out;
    }

    std::vector<fs::path> Segments() const {
        std::vector<fs::path> found;
        for (const auto& e : fs::directory_iterator(path_)) {
            if (e.path().extension() == ".seg") {
                found.push_back(e.path());
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    std::string root_;
    std::string path_;
};

TEST_F(SpoolTest, CommittedRowsComeBackInOrderAfterReopenAndConfirmedOnesDoNot) {
    std::string identity;
    {
        Spool spool(path_, 1 << 20);
        identity = spool.identity();
        Add(spool, 0, 100);
        Add(spool, 100, 50);
        EXPECT_TRUE(Pending(spool).empty()) << "rows are read only once committed";
        spool.Commit();
        Add(spool, 150, 10);  // never committed: lost with the process, as a crash would
        std::uint64_t first = 0;
        EXPECT_EQ(Pending(spool, &first), Numbers(0, 150));
        EXPECT_EQ(first, 1U);
        spool.Confirm(100);
        EXPECT_EQ(spool.stats().rows, 50U);
    }
    Spool spool(path_, 1 << 20);
    EXPECT_EQ(spool.identity(), identity);
    EXPECT_EQ(spool.recovery().rows, 50U);
    EXPECT_EQ(spool.recovery().torn_bytes, 0U);
    std::uint64_t first = 0;
    EXPECT_EQ(Pending(spool, &first), Numbers(100, 150));
    EXPECT_EQ(first, 101U);
    // Numbering goes on after the last committed row.
    spool.Confirm(150);
    Add(spool, 150, 5);
    spool.Commit();
    EXPECT_EQ(Pending(spool, &first), Numbers(150, 155));
    EXPECT_EQ(first, 151U);
}

// The last record cut at offsets inside it (a crash in the middle of an
// append), or followed by bytes that are no record (a power loss that left
// the file longer than what was written).
class TornTail : public SpoolTest, public ::testing::WithParamInterface<long> {};

TEST_P(TornTail, IsCutAndReportedAndEverythingBeforeItIsKept) {
    std::uintmax_t whole_before_last = 0;
    {
        Spool spool(path_, 1 << 20);
        Add(spool, 0, 30);
        Add(spool, 30, 30);
        spool.Commit();
        whole_before_last = fs::file_size(Segments().back());
        Add(spool, 60, 30);
        spool.Commit();
    }
    const fs::path segment = Segments().back();
    const std::uintmax_t size = fs::file_size(segment);
    const long change = GetParam();
    std::uintmax_t torn;
    std::uint64_t kept = 60;
    if (change > 0) {
        // The last record is whole: only the zeros go.
        std::ofstream(segment, std::ios::binary | std::ios::app) << std::string(static_cast<std::size_t>(change), '\0');
        torn = static_cast<std::uintmax_t>(change);
        whole_before_last = size;
        kept = 90;
    } else if (change == 0) {
        // One byte of the last record's payload changed.
        std::fstream file(segment, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(size - 3));
        file.put('#');
        torn = size - whole_before_last;
    } else {
        const std::uintmax_t cut = std::min<std::uintmax_t>(static_cast<std::uintmax_t>(-change), size - whole_before_last - 1);
        fs::resize_file(segment, size - cut);
        torn = size - cut - whole_before_last;
    }
    Spool spool(path_, 1 << 20);
    EXPECT_EQ(spool.recovery().torn_bytes, torn);
    EXPECT_EQ(spool.recovery().torn_file, segment.filename().string());
    EXPECT_EQ(spool.recovery().rows, kept);
    EXPECT_EQ(fs::file_size(segment), whole_before_last);
    EXPECT_EQ(Pending(spool), Numbers(0, static_cast<int>(kept)));
    // New rows follow the kept ones: the torn rows were never delivered.
    Add(spool, 1000, 3);
    spool.Commit();
    std::uint64_t first = 0;
    EXPECT_EQ(Pending(spool, &first).size(), kept + 3);
    EXPECT_EQ(first, 1U);
}

// Cuts from 1 byte to all but one byte of the last record (the last is
// clamped), a flipped byte, and trailing zeros.
INSTANTIATE_TEST_SUITE_P(Cuts, TornTail, ::testing::Values(-1L, -7L, -39L, -40L, -41L, -500L, -100000L, 0L, 1L, 64L));

TEST_F(SpoolTest, ConfirmedSegmentsAreRemovedAndAFullSpoolRefusesUntilThen) {
    // 512 KiB: segments of 64 KiB.
    Spool spool(path_, 512 * 1024);
    int next = 0;
    int refused_at = -1;
    for (int record = 0; record < 1000; ++record) {
        if (spool.Append(*Rows(next, 100), 1.0, 1) != telem_pyb_log::Appended::kYes) {
            refused_at = next;
            break;
        }
        next += 100;
        spool.Commit();
    }
    ASSERT_GT(refused_at, 0) << "the spool never became full";
    EXPECT_LE(spool.stats().bytes, 512U * 1024 + 64 * 1024);
    EXPECT_GT(Segments().size(), 4U);
    EXPECT_EQ(spool.stats().rows, static_cast<std::uint64_t>(next));
    spool.Confirm(static_cast<std::uint64_t>(next));
    EXPECT_EQ(Segments().size(), 1U) << "only the newest segment stays";
    EXPECT_EQ(spool.stats().rows, 0U);
    // Room again, though the newest segment, delivered, stays.
    for (int record = 0; record < 10; ++record) {
        ASSERT_EQ(spool.Append(*Rows(next + 100 * record, 100), 1.0, 1), telem_pyb_log::Appended::kYes);
    }
    spool.Commit();
    std::uint64_t first = 0;
    EXPECT_EQ(Pending(spool, &first), Numbers(next, next + 1000));
    EXPECT_EQ(first, static_cast<std::uint64_t>(next) + 1);
}

// Offsets and row counts of the records of a segment file, from their headers.
std::vector<std::pair<std::uintmax_t, std::uint32_t>> RecordsOf(const fs::path& segment) {
    std::ifstream file(segment, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<std::pair<std::uintmax_t, std::uint32_t>> found;
    for (std::size_t offset = 0; offset + 40 <= data.size();) {
        std::uint32_t payload;
        std::uint32_t rows;
        std::memcpy(&payload, data.data() + offset + 8, 4);
        std::memcpy(&rows, data.data() + offset + 12, 4);
        found.emplace_back(offset, rows);
        offset += 40 + payload;
    }
    return found;
}

void FlipByte(const fs::path& file, std::uintmax_t offset) {
    std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
    f.seekg(static_cast<std::streamoff>(offset));
    const char c = static_cast<char>(f.get());
    f.seekp(static_cast<std::streamoff>(offset));
    f.put(static_cast<char>(c ^ 0x5A));
}

// A damaged record that is not the end of the newest segment: its rows are
// lost and said, every record around it is kept, nothing is cut.
class DamagedRecord : public SpoolTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DamagedRecord, LosesItsRowsOnlyAndTheRecordsAfterItAreDelivered) {
    const bool header = GetParam();  // its header damaged, or its payload
    {
        Spool spool(path_, 512 * 1024);  // segments of 64 KiB
        for (int first = 0; first < 6000; first += 100) {
            Add(spool, first, 100);
            spool.Commit();
        }
    }
    const std::vector<fs::path> segments = Segments();
    ASSERT_GE(segments.size(), 3U);
    const auto records = RecordsOf(segments.front());
    ASSERT_GE(records.size(), 3U);
    const std::uintmax_t size_before = fs::file_size(segments.front());
    FlipByte(segments.front(), records[1].first + (header ? 12 : 60));
    Spool spool(path_, 512 * 1024);
    EXPECT_EQ(spool.recovery().damaged_rows, 100U);
    EXPECT_EQ(spool.recovery().torn_bytes, 0U);
    EXPECT_EQ(fs::file_size(segments.front()), size_before) << "an older segment is never cut";
    // The rows before the damage, then the damaged span alone, then the rest.
    Batch batch;
    const telem_pyb_log::SpoolRead before = spool.Read(batch, 0, 1 << 30, std::size_t{1} << 40);
    EXPECT_EQ(before.first, 1U);
    EXPECT_EQ(batch.rows(), 100U);
    EXPECT_FALSE(before.damaged);
    spool.Confirm(100);
    Batch none;
    const telem_pyb_log::SpoolRead damage = spool.Read(none, 0, 1 << 30, std::size_t{1} << 40);
    EXPECT_TRUE(damage.damaged);
    EXPECT_EQ(damage.first, 101U);
    EXPECT_EQ(damage.rows, 100U);
    EXPECT_NE(damage.where.find(segments.front().filename().string()), std::string::npos) << damage.where;
    EXPECT_TRUE(none.empty());
    spool.Confirm(200);
    std::uint64_t first = 0;
    EXPECT_EQ(Pending(spool, &first), Numbers(200, 6000));
    EXPECT_EQ(first, 201U);
}

INSTANTIATE_TEST_SUITE_P(HeaderOrPayload, DamagedRecord, ::testing::Values(true, false));

TEST_F(SpoolTest, ARecordDamagedAfterItWasCommittedIsReportedWhenReadAndTheRestDelivered) {
    Spool spool(path_, 1 << 20);
    for (int first = 0; first < 300; first += 100) {
        Add(spool, first, 100);
        spool.Commit();
    }
    const auto records = RecordsOf(Segments().front());
    FlipByte(Segments().front(), records[1].first + 50);
    Batch batch;
    const telem_pyb_log::SpoolRead read = spool.Read(batch, 0, 1 << 30, std::size_t{1} << 40);
    EXPECT_EQ(batch.rows(), 100U) << "delivered up to the damaged record";
    EXPECT_FALSE(read.damaged);
    spool.Confirm(100);
    Batch none;
    const telem_pyb_log::SpoolRead damage = spool.Read(none, 0, 1 << 30, std::size_t{1} << 40);
    EXPECT_TRUE(damage.damaged);
    EXPECT_EQ(damage.first, 101U);
    EXPECT_EQ(damage.rows, 100U);
    EXPECT_NE(damage.where.find("does not check any more"), std::string::npos) << damage.where;
    EXPECT_EQ(spool.stats().rows, 100U) << "the damaged rows are no longer counted as waiting";
    spool.Confirm(200);
    EXPECT_EQ(Pending(spool), Numbers(200, 300));
}

TEST_F(SpoolTest, ASegmentMissingBetweenTwoIsAGapOfLostRowsNotANewNumbering) {
    {
        Spool spool(path_, 512 * 1024);
        for (int first = 0; first < 6000; first += 100) {
            Add(spool, first, 100);
            spool.Commit();
        }
    }
    const std::vector<fs::path> segments = Segments();
    ASSERT_GE(segments.size(), 3U);
    const std::uint64_t gap_first = std::stoull(segments[1].stem().string());
    const std::uint64_t gap_end = std::stoull(segments[2].stem().string());
    fs::remove(segments[1]);
    Spool spool(path_, 512 * 1024);
    EXPECT_EQ(spool.recovery().damaged_rows, gap_end - gap_first);
    std::vector<std::string> values;
    std::uint64_t lost = 0;
    for (;;) {
        Batch batch;
        const telem_pyb_log::SpoolRead read = spool.Read(batch, 0, 1 << 30, std::size_t{1} << 40);
        if (read.first == 0) {
            break;
        }
        if (read.damaged) {
            EXPECT_EQ(read.first, gap_first);
            lost += read.rows;
        }
        batch.ForEach([&](const RowView& row) { values.emplace_back(row.value); });
        spool.Confirm(read.first + read.rows - 1);
    }
    EXPECT_EQ(lost, gap_end - gap_first);
    std::vector<std::string> expected = Numbers(0, static_cast<int>(gap_first - 1));
    const std::vector<std::string> after = Numbers(static_cast<int>(gap_end - 1), 6000);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(values, expected);
    // New rows are numbered after every number given, the lost ones included.
    Add(spool, 6000, 1);
    spool.Commit();
    std::uint64_t first = 0;
    EXPECT_EQ(Pending(spool, &first), Numbers(6000, 6001));
    EXPECT_EQ(first, 6001U);
}

TEST_F(SpoolTest, RowsKeepTheirSeriesThroughTheSpool) {
    {
        Spool spool(path_, 1 << 20);
        Add(spool, 1, 9);
        spool.Commit();
    }
    Spool spool(path_, 1 << 20);
    Batch batch;
    spool.Read(batch, 0, 1 << 30, std::size_t{1} << 40);
    const auto series = telem_pyb_log::WrittenSeries().Unwritten(batch);
    ASSERT_EQ(series.size(), 1U);
    EXPECT_EQ(series.front()->tsname, "pump.pressure");
    EXPECT_EQ(series.front()->units, "bar");
}

TEST_F(SpoolTest, ALostIdentityFileIsRestoredFromTheConfirmedCount) {
    std::string identity;
    {
        Spool spool(path_, 1 << 20);
        identity = spool.identity();
        Add(spool, 0, 10);
        spool.Commit();
        spool.Confirm(5);
    }
    fs::remove(fs::path(path_) / "identity");
    Spool spool(path_, 1 << 20);
    EXPECT_EQ(spool.identity(), identity);
    ASSERT_EQ(spool.recovery().notes.size(), 1U);
    EXPECT_NE(spool.recovery().notes[0].find("restored"), std::string::npos);
    EXPECT_EQ(Pending(spool), Numbers(5, 10));
}

TEST_F(SpoolTest, ASecondSpoolOnTheDirectoryIsRefusedInThisAndAnotherProcess) {
    {
        Spool spool(path_, 1 << 20);
        try {
            Spool second(path_, 1 << 20);
            ADD_FAILURE() << "a second spool opened";
        } catch (const SpoolError& e) {
            EXPECT_NE(std::string(e.what()).find("is in use by another recorder (process " + std::to_string(getpid())),
                      std::string::npos)
                << e.what();
        }
        const pid_t child = fork();
        if (child == 0) {
            try {
                Spool second(path_, 1 << 20);
            } catch (const SpoolError&) {
                _exit(3);
            }
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
    // Released with its owner.
    const pid_t child = fork();
    if (child == 0) {
        Spool spool(path_, 1 << 20);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Spool again(path_, 1 << 20);
}

TEST(Crc32c, KnownValue) {
    // The check value of CRC-32C (Castagnoli).
    EXPECT_EQ(telem_pyb_log::Crc32c("123456789", 9), 0xE3069283U);
}

}  // namespace
