#include "spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "numbering.h"
#include "random_uuid.h"
#include "spool_format.h"

namespace telem_pyb_log {

namespace format = spool_format;

namespace {

constexpr std::uint64_t kConfirmedCheck = 0x5350'4F4F'4C43'4F4EULL;
constexpr std::size_t kConfirmedOld = 16;  // seq, check: earlier versions
constexpr std::size_t kConfirmedSize = 16 + 36 + 4;  // seq, check, identity, crc32c of them
constexpr const char* kSuffix = ".seg";

std::string Errno(int error) { return std::system_category().message(error); }

bool IsIdentity(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
// -1 with errno set if the read fails.
ssize_t ReadAt(int fd, char* out, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

std::string Where(const std::string& file, std::uint64_t from, std::uint64_t to) {
    return file + " bytes " + std::to_string(from) + " to " + std::to_string(to);
}

}  // namespace

Spool::Spool(std::string path, std::uint64_t max_bytes)
    : path_(std::move(path)),
      max_bytes_(max_bytes),
      segment_bytes_(std::clamp<std::uint64_t>(max_bytes / 8, 64 * 1024, 64 * 1024 * 1024)) {
    if (path_.empty()) {
        throw SpoolError("the spool path is empty");
    }
    try {
        Lock();
        ReadConfirmed();
        LoadIdentity();
        Recover();
    } catch (...) {
        Close();
        throw;
    }
}

Spool::~Spool() { Close(); }

std::string Spool::identity() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}

void Spool::Close() noexcept {
    const std::lock_guard<std::mutex> lock(mutex_);
    CloseFiles();
}

void Spool::CloseFiles() noexcept {
    for (const auto& s : segments_) {
        if (s->fd >= 0) {
            close(s->fd);
            s->fd = -1;
        }
    }
    if (confirmed_fd_ >= 0) {
        close(confirmed_fd_);
        confirmed_fd_ = -1;
    }
    const int dir = dir_fd_.exchange(-1);
    if (dir >= 0) {
        close(dir);  // the lock goes with the last descriptor of it
    }
}

void Spool::ForgetAfterFork() noexcept {
    const int dir = dir_fd_.exchange(-1);
    if (dir >= 0) {
        close(dir);
    }
}

void Spool::Fail(const std::string& what, int error) const {
    throw SpoolError(what + " (" + path_ + "): " + Errno(error));
}

std::string Spool::FileOf(std::uint64_t first_seq) const {
    char name[40];
    std::snprintf(name, sizeof name, "%020" PRIu64 "%s", first_seq, kSuffix);
    return name;
}

void Spool::Lock() {
    if (mkdir(path_.c_str(), 0777) != 0 && errno != EEXIST) {
        Fail("cannot make the spool directory", errno);
    }
    const int dir = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        Fail("cannot open the spool directory", errno);
    }
    dir_fd_.store(dir);
    if (flock(dir, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            Fail("cannot lock the spool directory", errno);
        }
        std::string owner;
        const int fd = openat(dir, "owner", O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char text[32] = {};
            const ssize_t n = read(fd, text, sizeof text - 1);
            close(fd);
            if (n > 0) {
                owner = std::string(text, static_cast<std::size_t>(n));
                owner.erase(owner.find_last_not_of("\n ") + 1);
            }
        }
        throw SpoolError("the spool " + path_ + " is in use by another recorder"
                         + (owner.empty() ? std::string() : " (process " + owner + ")")
                         + "; a spool serves one recorder at a time");
    }
    const int fd = openat(dir, "owner", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
        const std::string pid = std::to_string(getpid()) + "\n";
        [[maybe_unused]] const ssize_t n = write(fd, pid.data(), pid.size());
        close(fd);
    }
}

// `confirmed`: the count, and the identity it was written under (which
// restores a lost identity file).
void Spool::ReadConfirmed() {
    confirmed_fd_ = openat(dir_fd_.load(), "confirmed", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (confirmed_fd_ < 0) {
        Fail("cannot open the spool's confirmed count", errno);
    }
    char mark[kConfirmedSize];
    const ssize_t n = ReadAt(confirmed_fd_, mark, sizeof mark, 0);
    if (n < 0) {
        Fail("cannot read the spool's confirmed count", errno);
    }
    std::uint64_t seq;
    std::uint64_t check;
    std::memcpy(&seq, mark, 8);
    std::memcpy(&check, mark + 8, 8);
    if (static_cast<std::size_t>(n) < kConfirmedOld || (seq ^ kConfirmedCheck) != check) {
        return;
    }
    confirmed_ = seq;
    std::uint32_t crc;
    std::memcpy(&crc, mark + 52, 4);
    const std::string identity(mark + 16, 36);
    if (static_cast<std::size_t>(n) == kConfirmedSize && Crc32c(mark, 52) == crc && IsIdentity(identity)) {
        found_identity_ = identity;
    }
}

void Spool::LoadIdentity() {
    const int fd = openat(dir_fd_.load(), "identity", O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) {
        Fail("cannot read the spool's identity", errno);
    }
    if (fd >= 0) {
        char text[64];
        const ssize_t n = ReadAt(fd, text, sizeof text, 0);
        close(fd);
        std::string found(text, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        found.erase(found.find_last_not_of("\n ") + 1);
        if (IsIdentity(found)) {
            identity_ = found;
            return;
        }
        if (found_identity_.empty()) {
            throw SpoolError("the spool " + path_ + " has a damaged identity file; it is not a recorder's spool");
        }
    }
    if (!found_identity_.empty()) {
        identity_ = found_identity_;
        recovery_.notes.push_back("its identity file was missing or damaged; it is restored from its confirmed "
                                  "count (" + identity_ + ")");
    } else {
        identity_ = RandomUuid();
        if (confirmed_ > 0 || !SegmentNames().empty()) {
            recovery_.notes.push_back(
                "it had lost its identity; it takes a new one (" + identity_ + "), under which its rows are "
                "delivered: rows whose delivery was in doubt when it lost the old one may be stored twice");
        }
    }
    WriteIdentity(identity_);
}

// Written whole or not at all: a temporary file, made durable, renamed.
void Spool::WriteIdentity(const std::string& identity) {
    const int dir = dir_fd_.load();
    const int fd = openat(dir, "identity.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail("cannot write the spool's identity", errno);
    }
    const std::string text = identity + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    if (!written || renameat(dir, "identity.tmp", dir, "identity") != 0 || fsync(dir) != 0) {
        Fail("cannot write the spool's identity", written ? errno : error);
    }
}

std::vector<std::uint64_t> Spool::SegmentNames() {
    std::vector<std::uint64_t> firsts;
    const int list_fd = dup(dir_fd_.load());
    DIR* dir = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
    if (dir == nullptr) {
        if (list_fd >= 0) {
            close(list_fd);
        }
        Fail("cannot list the spool directory", errno);
    }
    rewinddir(dir);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == 20 + std::strlen(kSuffix) && name.compare(20, std::string::npos, kSuffix) == 0
            && name.find_first_not_of("0123456789") == 20) {
            firsts.push_back(std::stoull(name.substr(0, 20)));
        }
    }
    closedir(dir);
    std::sort(firsts.begin(), firsts.end());
    return firsts;
}

// One segment's records at opening, checked against the numbering: each
// record's number follows on the one before, from the segment's name on.
class Spool::Scanner {
public:
    Scanner(Spool& spool, std::shared_ptr<Segment> segment, std::uint64_t floor)
        : spool_(spool), shared_(std::move(segment)), segment_(*shared_), expected_(std::max(segment_.first_seq, floor)) {
        if (floor > segment_.first_seq) {
            spool_.recovery_.notes.push_back("the segment " + segment_.file + " begins before the end of the one "
                                             "before it; the rows it repeats are skipped");
        }
    }

    // Reads the file; returns the damaged end of an older segment (where
    // its rows went), or "".
    std::string Run(bool newest) {
        std::string data = ReadWhole();
        std::size_t offset = 0;
        format::Header h;
        while (offset < data.size()) {
            if (format::ReadRecord(data.data(), data.size(), offset, h)) {
                Take(h, offset);
                offset += h.length();
                continue;
            }
            const std::size_t next = format::FindRecord(data.data(), data.size(), offset + 1, h);
            if (next != std::string::npos) {
                Gap(h.seq, Where(segment_.file, offset, next));
                offset = next;
            } else if (newest) {
                Cut(offset, data.size());
                data.resize(offset);
            } else {
                segment_.bytes = data.size();
                return Where(segment_.file, offset, data.size());
            }
        }
        segment_.bytes = data.size();
        return "";
    }

    std::uint64_t end() const { return expected_; }

private:
    std::string ReadWhole() {
        struct stat st {};
        if (fstat(segment_.fd, &st) != 0) {
            spool_.Fail("cannot read the spool segment " + segment_.file, errno);
        }
        std::string data(static_cast<std::size_t>(st.st_size), '\0');
        const ssize_t n = ReadAt(segment_.fd, data.data(), data.size(), 0);
        if (n < 0) {
            spool_.Fail("cannot read the spool segment " + segment_.file, errno);
        }
        data.resize(static_cast<std::size_t>(n));
        return data;
    }

    // Damaged bytes before a record numbered `next`: the rows between are lost.
    void Gap(std::uint64_t next, const std::string& where) {
        if (next > expected_) {
            spool_.Damaged(expected_, next, where);
            expected_ = next;
        } else {
            spool_.recovery_.notes.push_back(where + " of the spool are damaged; they held no rows");
        }
    }

    void Take(const format::Header& h, std::size_t offset) {
        if (h.seq < expected_) {
            spool_.recovery_.notes.push_back("the record at " + segment_.file + " byte " + std::to_string(offset)
                                             + " repeats rows numbered before it; it is skipped");
            return;
        }
        if (h.seq > expected_) {
            Gap(h.seq, "records missing before " + segment_.file + " byte " + std::to_string(offset));
        }
        Record r;
        r.segment = shared_;
        r.offset = offset;
        r.length = static_cast<std::uint32_t>(h.length());
        r.first_seq = h.seq;
        r.rows = h.rows;
        r.queued_at = static_cast<double>(h.queued_us) / 1e6;
        spool_.Keep(std::move(r));
        expected_ = h.seq + h.rows;
    }

    // A torn append: the newest segment's end, which was never committed.
    void Cut(std::size_t offset, std::size_t size) {
        spool_.recovery_.torn_bytes += size - offset;
        spool_.recovery_.torn_file = segment_.file;
        if (ftruncate(segment_.fd, static_cast<off_t>(offset)) != 0 || fsync(segment_.fd) != 0) {
            spool_.Fail("cannot cut the torn end of the spool segment " + segment_.file, errno);
        }
    }

    Spool& spool_;
    const std::shared_ptr<Segment> shared_;
    Segment& segment_;
    std::uint64_t expected_;
};

void Spool::Recover() {
    const std::vector<std::uint64_t> names = SegmentNames();
    std::uint64_t end = 0;  // one past the last row found; 0: none yet
    std::string damaged_end;
    std::string previous;
    if (!names.empty() && names.front() > confirmed_ + 1) {
        // Rows before the oldest segment have no records: segments are let go
        // only once confirmed, so the count lags (a power loss, a truncated
        // file). It catches up; nothing of them is offered again.
        recovery_.notes.push_back("its confirmed count (" + std::to_string(confirmed_) + ") was behind its oldest "
                                  "segment; it is set to " + std::to_string(names.front() - 1) + ", as segments go only once their rows are "
                                  "confirmed");
        confirmed_ = names.front() - 1;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto segment = std::make_shared<Segment>();
        segment->first_seq = names[i];
        segment->file = FileOf(names[i]);
        segment->fd = openat(dir_fd_.load(), segment->file.c_str(), O_RDWR | O_CLOEXEC);
        if (segment->fd < 0) {
            Fail("cannot open the spool segment " + segment->file, errno);
        }
        segments_.push_back(segment);
        if (end != 0 && segment->first_seq > end) {
            Damaged(end, segment->first_seq,
                    damaged_end.empty() ? "rows missing between " + previous + " and " + segment->file : damaged_end);
        }
        Scanner scan(*this, segment, end);
        damaged_end = scan.Run(i + 1 == names.size());
        end = std::max(end, scan.end());
        segment->end_seq = scan.end();
        bytes_ += segment->bytes;
        previous = segment->file;
    }
    next_seq_ = std::max({next_seq_, end, confirmed_ + 1});
    buffer_seq_ = next_seq_;
    // The count, with the identity, is durable before the segments it covers go.
    WriteConfirmed(confirmed_, true);
    while (segments_.size() > 1 && segments_.front()->end_seq <= confirmed_ + 1) {
        unlinkat(dir_fd_.load(), segments_.front()->file.c_str(), 0);
        close(segments_.front()->fd);
        bytes_ -= segments_.front()->bytes;
        segments_.pop_front();
    }
    recovery_.rows = unconfirmed_rows_;
}

void Spool::Damaged(std::uint64_t first, std::uint64_t end, const std::string& where) {
    first = std::max(first, confirmed_ + 1);
    if (end <= first) {
        return;  // confirmed already: the store has them
    }
    Record r;
    r.first_seq = first;
    r.rows = static_cast<std::uint32_t>(std::min<std::uint64_t>(end - first, UINT32_MAX));
    r.damage = where;
    recovery_.damaged_rows += r.rows;
    ++damaged_records_;
    records_.push_back(std::move(r));
}

void Spool::Keep(Record r) {
    const std::uint64_t end = r.first_seq + r.rows;
    if (end <= confirmed_ + 1) {
        return;
    }
    unconfirmed_rows_ += r.first_seq > confirmed_ ? r.rows : end - confirmed_ - 1;
    unconfirmed_bytes_ += r.length;
    records_.push_back(std::move(r));
}

void Spool::NewSegment(std::uint64_t first_seq) {
    auto segment = std::make_shared<Segment>();
    segment->first_seq = first_seq;
    segment->end_seq = first_seq;
    segment->file = FileOf(first_seq);
    const int dir = dir_fd_.load();
    segment->fd = openat(dir, segment->file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (segment->fd < 0) {
        Fail("cannot make the spool segment " + segment->file, errno);
    }
    if (fsync(dir) != 0) {
        const int error = errno;
        close(segment->fd);
        unlinkat(dir, segment->file.c_str(), 0);
        Fail("cannot make the spool segment " + segment->file, error);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    segments_.push_back(std::move(segment));
}

Appended Spool::Append(const Chunk& chunk, double queued_at, std::int64_t queued_ns) {
    if (chunk.rows() == 0) {
        return Appended::kYes;
    }
    const std::size_t payload = format::PayloadSize(chunk);
    if (payload > format::kMaxPayload) {
        return Appended::kTooLarge;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const bool empty = unconfirmed_rows_ == 0 && buffer_.empty();
        if (!empty && unconfirmed_bytes_ + buffer_.size() + format::kHeader + payload > max_bytes_) {
            return Appended::kFull;
        }
    }
    Record r;
    r.offset = buffer_.size();
    r.length = static_cast<std::uint32_t>(format::kHeader + payload);
    r.first_seq = buffer_seq_;
    r.rows = chunk.rows();
    r.queued_at = queued_at;
    r.queued_ns = queued_ns;
    r.shard = chunk.shard();
    format::AppendRecord(buffer_, chunk, buffer_seq_, queued_at);
    appended_.push_back(std::move(r));
    buffer_seq_ += chunk.rows();
    return Appended::kYes;
}

void Spool::Commit() {
    if (buffer_.empty()) {
        return;
    }
    // A commit that fails gives its numbers to the next rows: none of its
    // rows was read for delivery under them.
    struct Forget {
        Spool& spool;
        bool done = false;
        ~Forget() {
            if (!done) {
                spool.buffer_.clear();
                spool.appended_.clear();
                spool.buffer_seq_ = spool.horizon() + 1;
            }
        }
    } forget{*this};
    std::shared_ptr<Segment> segment;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!segments_.empty() && segments_.back()->bytes < segment_bytes_) {
            segment = segments_.back();
        }
    }
    if (!segment) {
        // The first record of a segment names it: buffer_ starts with it.
        NewSegment(appended_.front().first_seq);
        const std::lock_guard<std::mutex> lock(mutex_);
        segment = segments_.back();
    }
    const std::uint64_t at = segment->bytes;
    WriteDurably(*segment, at);
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Record& r : appended_) {
        r.segment = segment;
        r.offset += at;
        unconfirmed_rows_ += r.rows;
        unconfirmed_bytes_ += r.length;
        records_.push_back(std::move(r));
    }
    segment->bytes = at + buffer_.size();
    segment->end_seq = buffer_seq_;
    bytes_ += buffer_.size();
    next_seq_ = buffer_seq_;
    appended_.clear();
    buffer_.clear();
    forget.done = true;
}

// Writes buffer_ at `at` and makes it durable; on failure cuts the file back
// to `at`, so that it ends in whole records, and throws.
void Spool::WriteDurably(Segment& segment, std::uint64_t at) {
    std::size_t done = 0;
    int error = 0;
    while (done < buffer_.size() && error == 0) {
        const ssize_t n = pwrite(segment.fd, buffer_.data() + done, buffer_.size() - done, static_cast<off_t>(at + done));
        if (n < 0 && errno != EINTR) {
            error = errno;
        }
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (error == 0 && fdatasync(segment.fd) != 0) {
        error = errno;
    }
    if (error != 0) {
        [[maybe_unused]] const int cut = ftruncate(segment.fd, static_cast<off_t>(at));
        Fail(done < buffer_.size() ? "cannot write the spool" : "cannot make the spool durable", error);
    }
}

SpoolRead Spool::Read(Batch& batch, std::uint64_t from, std::size_t max_rows, std::size_t max_bytes) {
    std::vector<Record> taken;
    std::uint64_t confirmed;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        confirmed = from > 0 ? std::max(confirmed_, from - 1) : confirmed_;  // rows before `from` are handed out
        auto it = records_.begin();
        while (it != records_.end() && it->first_seq + it->rows <= confirmed + 1) {
            ++it;
        }
        if (it != records_.end() && !it->damage.empty()) {
            const std::uint64_t first = std::max(it->first_seq, confirmed + 1);
            return SpoolRead{first, it->first_seq + it->rows - first, true, it->damage, it->shard};
        }
        std::size_t rows = 0;
        std::size_t bytes = 0;
        for (; it != records_.end(); ++it) {
            const Record& r = *it;
            if (!r.damage.empty() || (!taken.empty() && (rows >= max_rows || bytes >= max_bytes))) {
                break;
            }
            taken.push_back(r);
            rows += r.rows;
            bytes += r.length;
        }
    }
    SpoolRead read;
    for (const Record& r : taken) {
        std::string why;
        std::unique_ptr<Chunk> chunk = ReadRecord(r, why);
        if (!chunk) {
            const std::string where = "the record at " + Where(r.segment->file, r.offset, r.offset + r.length) + " "
                                      + why;
            MarkDamaged(r.first_seq, where);
            if (batch.empty()) {
                const std::uint64_t first = std::max(r.first_seq, confirmed + 1);
                return SpoolRead{first, r.first_seq + r.rows - first, true, where, r.shard};
            }
            break;  // delivered up to it; the next Read reports it
        }
        if (read.first == 0) {
            read.first = std::max(r.first_seq, confirmed + 1);
        }
        if (r.first_seq <= confirmed) {
            // Partly confirmed (a batch split inside it): its rest.
            Batch whole;
            whole.Add(std::move(chunk));
            Batch rest;
            whole.SplitAt(static_cast<std::size_t>(confirmed + 1 - r.first_seq), rest);
            for (auto& part : rest.TakeChunks()) {
                batch.Add(std::move(part));
            }
        } else {
            batch.Add(std::move(chunk));
        }
    }
    read.rows = batch.rows();
    return read;
}

// One record's rows, checked again as they are read; null, with `why`, if
// they cannot be read or do not check any more.
std::unique_ptr<Chunk> Spool::ReadRecord(const Record& r, std::string& why) const {
    std::string data(r.length, '\0');
    const ssize_t n = ReadAt(r.segment->fd, data.data(), r.length, r.offset);
    format::Header h;
    std::unique_ptr<Chunk> chunk;
    if (n < 0) {
        why = "cannot be read: " + Errno(errno);
    } else if (!format::ReadRecord(data.data(), static_cast<std::size_t>(n), 0, h) || h.seq != r.first_seq
               || h.rows != r.rows || h.length() != r.length) {
        why = "does not check any more";
    } else if (!(chunk = format::DecodeRecord(h, data.data() + format::kHeader))) {
        why = "does not hold the rows its header says";
    } else {
        chunk->set_shard(r.shard);
    }
    return chunk;
}

void Spool::MarkDamaged(std::uint64_t first_seq, const std::string& where) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (Record& kept : records_) {
        if (kept.first_seq == first_seq && kept.damage.empty()) {
            kept.damage = where;
            ++damaged_records_;
            const std::uint64_t end = kept.first_seq + kept.rows;
            unconfirmed_rows_ -= end - std::max(kept.first_seq, confirmed_ + 1);
        }
    }
}

std::uint64_t Spool::Unconfirmed(std::uint64_t from, std::int64_t& oldest_ns) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    // The deliverable rows, less those before `from` and with the damaged
    // ones after it (both few: at the front, or rare).
    std::uint64_t rows = unconfirmed_rows_;
    oldest_ns = INT64_MAX;
    const std::uint64_t start = std::max(confirmed_ + 1, from);
    for (const Record& r : records_) {
        const std::uint64_t first = std::max(r.first_seq, confirmed_ + 1);
        const std::uint64_t end = r.first_seq + r.rows;
        const std::uint64_t before = first < start ? std::min(end, start) - first : 0;
        if (r.damage.empty()) {
            rows -= before;
        } else if (end > std::max(first, start)) {
            rows += end - std::max(first, start);
        }
        if (end > start && oldest_ns == INT64_MAX) {
            oldest_ns = r.queued_ns;
        }
        if (first >= start && damaged_records_ == 0) {
            break;  // the rest are whole, deliverable, counted
        }
    }
    return rows;
}

std::uint64_t Spool::horizon() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return next_seq_ - 1;
}

std::uint64_t Spool::confirmed() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return confirmed_;
}

void Spool::Confirm(std::uint64_t seq) {
    std::vector<std::shared_ptr<Segment>> done;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (seq <= confirmed_) {
            return;  // it only moves forward
        }
        if (seq >= next_seq_) {
            throw NumberingError("row " + std::to_string(seq) + " confirmed in the spool " + path_
                                 + ", whose rows are numbered up to " + std::to_string(next_seq_ - 1));
        }
        while (!records_.empty() && records_.front().first_seq <= seq) {
            const Record& r = records_.front();
            const std::uint64_t end = r.first_seq + r.rows;
            if (r.damage.empty()) {
                const std::uint64_t from = std::max(r.first_seq, confirmed_ + 1);
                unconfirmed_rows_ -= std::min(end, seq + 1) - from;
            }
            if (end > seq + 1) {
                break;  // partly confirmed: it stays at the front
            }
            unconfirmed_bytes_ -= r.length;
            damaged_records_ -= r.damage.empty() ? 0 : 1;
            records_.pop_front();
        }
        confirmed_ = seq;
        for (std::size_t i = 0; i + 1 < segments_.size() && segments_[i]->end_seq <= seq + 1; ++i) {
            done.push_back(segments_[i]);
        }
    }
    // Durable before a segment it covers goes: the numbering must not fall
    // back behind what the store holds.
    WriteConfirmed(seq, !done.empty());
    if (done.empty()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < done.size(); ++i) {
            bytes_ -= segments_.front()->bytes;
            segments_.pop_front();
        }
    }
    for (const auto& segment : done) {
        unlinkat(dir_fd_.load(), segment->file.c_str(), 0);
        close(segment->fd);
        segment->fd = -1;
    }
}

void Spool::WriteConfirmed(std::uint64_t seq, bool durable) {
    char mark[kConfirmedSize];
    const std::uint64_t check = seq ^ kConfirmedCheck;
    std::memcpy(mark, &seq, 8);
    std::memcpy(mark + 8, &check, 8);
    std::memcpy(mark + 16, identity().data(), 36);
    const std::uint32_t crc = Crc32c(mark, 52);
    std::memcpy(mark + 52, &crc, 4);
    if (pwrite(confirmed_fd_, mark, sizeof mark, 0) != static_cast<ssize_t>(sizeof mark)
        || (durable && fdatasync(confirmed_fd_) != 0)) {
        Fail("cannot write the spool's confirmed count", errno);
    }
}

std::string Spool::NewIdentity() {
    const std::string identity = RandomUuid();
    WriteIdentity(identity);
    std::uint64_t confirmed;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        identity_ = identity;
        confirmed = confirmed_;
    }
    WriteConfirmed(confirmed, true);
    return identity;
}

SpoolStats Spool::stats() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    SpoolStats s;
    s.rows = unconfirmed_rows_;
    s.bytes = bytes_;
    s.oldest_at = records_.empty() ? 0 : records_.front().queued_at;
    return s;
}

}  // namespace telem_pyb_log
