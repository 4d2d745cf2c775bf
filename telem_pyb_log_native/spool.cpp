#include "spool.h"

#include "random_uuid.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

namespace telem_pyb_log {

namespace {

constexpr std::uint32_t kMagic = 0x4C505354;  // "TSPL"
constexpr std::size_t kHeader = 40;
constexpr std::uint32_t kMaxPayload = 1U << 30;
constexpr std::uint64_t kConfirmedCheck = 0x5350'4F4F'4C43'4F4EULL;
constexpr const char* kSuffix = ".seg";

// The fields of a row in the order a record holds them: the seven texts,
// then the typed fields. A field added to RowView is added at the end;
// records written before then read it as empty, and fields a record has
// beyond these are skipped.
constexpr std::size_t kTexts = 7;
constexpr std::size_t kFields = kTexts + 1;
std::array<std::string_view*, kTexts> TextsOf(RowView& row) {
    return {&row.mtime, &row.tsname, &row.value, &row.btype, &row.units, &row.comment, &row.origin};
}

// The typed fields as one field: a byte of flags (1 time, 2 number), then
// the time (int64 microseconds) and the number (double) that they name.
void PutTyped(std::string& out, const TypedFields& typed) {
    const char flags = static_cast<char>(typed.has_time | typed.has_number << 1);
    const std::uint32_t size = 1 + (typed.has_time ? 8 : 0) + (typed.has_number ? 8 : 0);
    out.append(reinterpret_cast<const char*>(&size), 4);
    out.push_back(flags);
    if (typed.has_time) {
        out.append(reinterpret_cast<const char*>(&typed.time), 8);
    }
    if (typed.has_number) {
        out.append(reinterpret_cast<const char*>(&typed.number), 8);
    }
}

// The typed fields of PutTyped's field; a field of another size (a record
// the CRC passed but another writer made) gives none.
TypedFields TakeTyped(std::string_view field) {
    TypedFields typed;
    if (field.empty()) {
        return typed;
    }
    const bool has_time = (field[0] & 1) != 0;
    const bool has_number = (field[0] & 2) != 0;
    if (field.size() != 1u + (has_time ? 8 : 0) + (has_number ? 8 : 0)) {
        return typed;
    }
    const char* p = field.data() + 1;
    if (has_time) {
        std::memcpy(&typed.time, p, 8);
        p += 8;
    }
    if (has_number) {
        std::memcpy(&typed.number, p, 8);
    }
    typed.has_time = has_time;
    typed.has_number = has_number;
    return typed;
}

std::array<std::uint32_t, 256 * 8> MakeCrcTable() {
    std::array<std::uint32_t, 256 * 8> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? (c >> 1) ^ 0x82F63B78U : c >> 1;
        }
        table[i] = c;
    }
    for (std::size_t i = 0; i < 256; ++i) {
        for (std::size_t t = 1; t < 8; ++t) {
            const std::uint32_t prev = table[(t - 1) * 256 + i];
            table[t * 256 + i] = (prev >> 8) ^ table[prev & 0xFF];
        }
    }
    return table;
}

__attribute__((target("sse4.2"))) std::uint32_t Crc32cHardware(const unsigned char* p, std::size_t n,
                                                                  std::uint32_t crc) {
    std::uint64_t c = crc;
    for (; n >= 8; n -= 8, p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        c = __builtin_ia32_crc32di(c, word);
    }
    auto c32 = static_cast<std::uint32_t>(c);
    for (; n > 0; --n, ++p) {
        c32 = __builtin_ia32_crc32qi(c32, *p);
    }
    return c32;
}

std::uint32_t Crc32cSoftware(const unsigned char* p, std::size_t n, std::uint32_t crc) {
    static const auto table = MakeCrcTable();
    for (; n >= 8; n -= 8, p += 8) {
        std::uint32_t low;
        std::uint32_t high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + 4, 4);
        low ^= crc;
        crc = table[7 * 256 + (low & 0xFF)] ^ table[6 * 256 + ((low >> 8) & 0xFF)]
              ^ table[5 * 256 + ((low >> 16) & 0xFF)] ^ table[4 * 256 + (low >> 24)]
              ^ table[3 * 256 + (high & 0xFF)] ^ table[2 * 256 + ((high >> 8) & 0xFF)]
              ^ table[1 * 256 + ((high >> 16) & 0xFF)] ^ table[high >> 24];
    }
    for (; n > 0; --n, ++p) {
        crc = (crc >> 8) ^ table[(crc ^ *p) & 0xFF];
    }
    return crc;
}

void Put32(std::string& out, std::uint32_t n) { out.append(reinterpret_cast<const char*>(&n), 4); }
void Put64(std::string& out, std::uint64_t n) { out.append(reinterpret_cast<const char*>(&n), 8); }
std::uint32_t Get32(const char* p) {
    std::uint32_t n;
    std::memcpy(&n, p, 4);
    return n;
}
std::uint64_t Get64(const char* p) {
    std::uint64_t n;
    std::memcpy(&n, p, 8);
    return n;
}

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

// Reads exactly `size` bytes at `offset`; fewer only at the end of the file.
std::size_t ReadAt(int fd, char* out, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SpoolError("cannot read the spool: " + Errno(errno));
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

std::uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc) {
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    crc = hardware ? Crc32cHardware(p, size, crc) : Crc32cSoftware(p, size, crc);
    return ~crc;
}

Spool::Spool(std::string path, std::uint64_t max_bytes)
    : path_(std::move(path)),
      max_bytes_(max_bytes),
      segment_bytes_(std::clamp<std::uint64_t>(max_bytes / 8, 64 * 1024, 64 * 1024 * 1024)) {
    if (path_.empty()) {
        throw SpoolError("the spool path is empty");
    }
    try {
        Lock();
        LoadIdentity();
        Recover();
    } catch (...) {
        Close();
        throw;
    }
}

Spool::~Spool() { Close(); }

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
    if (dir_fd_ >= 0) {
        close(dir_fd_);  // the lock goes with the last descriptor of it
        dir_fd_ = -1;
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
    dir_fd_ = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) {
        Fail("cannot open the spool directory", errno);
    }
    if (flock(dir_fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            Fail("cannot lock the spool directory", errno);
        }
        std::string owner;
        const int fd = openat(dir_fd_, "owner", O_RDONLY | O_CLOEXEC);
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
    const int fd = openat(dir_fd_, "owner", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd >= 0) {
        const std::string pid = std::to_string(getpid()) + "\n";
        [[maybe_unused]] const ssize_t n = write(fd, pid.data(), pid.size());
        close(fd);
    }
}

void Spool::LoadIdentity() {
    int fd = openat(dir_fd_, "identity", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char text[64];
        const std::size_t n = ReadAt(fd, text, sizeof text, 0);
        close(fd);
        identity_.assign(text, n);
        identity_.erase(identity_.find_last_not_of("\n ") + 1);
        if (!IsIdentity(identity_)) {
            throw SpoolError("the spool " + path_ + " has a damaged identity file; it is not a recorder's spool");
        }
        return;
    }
    if (errno != ENOENT) {
        Fail("cannot read the spool's identity", errno);
    }
    // Written whole or not at all: a temporary file, made durable, renamed.
    identity_ = RandomUuid();
    fd = openat(dir_fd_, "identity.tmp", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail("cannot write the spool's identity", errno);
    }
    const std::string text = identity_ + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int error = errno;
    close(fd);
    if (!written || renameat(dir_fd_, "identity.tmp", dir_fd_, "identity") != 0 || fsync(dir_fd_) != 0) {
        Fail("cannot write the spool's identity", written ? errno : error);
    }
}

void Spool::Recover() {
    confirmed_fd_ = openat(dir_fd_, "confirmed", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (confirmed_fd_ < 0) {
        Fail("cannot open the spool's confirmed count", errno);
    }
    char mark[16];
    if (ReadAt(confirmed_fd_, mark, sizeof mark, 0) == sizeof mark && (Get64(mark) ^ kConfirmedCheck) == Get64(mark + 8)) {
        confirmed_ = Get64(mark);
    }
    std::vector<std::uint64_t> firsts;
    const int list_fd = dup(dir_fd_);
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
    for (std::size_t i = 0; i < firsts.size(); ++i) {
        auto segment = std::make_shared<Segment>();
        segment->first_seq = firsts[i];
        segment->file = FileOf(firsts[i]);
        segment->fd = openat(dir_fd_, segment->file.c_str(), O_RDWR | O_CLOEXEC);
        if (segment->fd < 0) {
            Fail("cannot open the spool segment " + segment->file, errno);
        }
        segments_.push_back(segment);
        ScanSegment(segment);
        next_seq_ = std::max(next_seq_, segment->end_seq);
    }
    next_seq_ = std::max(next_seq_, confirmed_ + 1);
    buffer_seq_ = next_seq_;
    // Segments wholly confirmed go, but the newest stays.
    while (segments_.size() > 1 && segments_.front()->end_seq <= confirmed_ + 1) {
        unlinkat(dir_fd_, segments_.front()->file.c_str(), 0);
        close(segments_.front()->fd);
        bytes_ -= segments_.front()->bytes;
        segments_.pop_front();
    }
    recovery_.rows = unconfirmed_rows_;
}

void Spool::ScanSegment(const std::shared_ptr<Segment>& segment) {
    struct stat st {};
    if (fstat(segment->fd, &st) != 0) {
        Fail("cannot read the spool segment " + segment->file, errno);
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t offset = 0;
    std::uint64_t seq = segment->first_seq;
    std::string data;
    while (offset < size) {
        char header[kHeader];
        bool good = ReadAt(segment->fd, header, kHeader, offset) == kHeader && Get32(header) == kMagic;
        const std::uint32_t payload = good ? Get32(header + 8) : 0;
        const std::uint32_t rows = good ? Get32(header + 12) : 0;
        good = good && payload <= kMaxPayload && offset + kHeader + payload <= size && rows > 0
               && Get64(header + 24) == seq;
        if (good) {
            data.resize(payload);
            good = ReadAt(segment->fd, data.data(), payload, offset + kHeader) == payload
                   && Crc32c(data.data(), payload, Crc32c(header + 8, kHeader - 8)) == Get32(header + 4);
        }
        if (!good) {
            // Everything from here on is cut: a torn append ends the file.
            recovery_.torn_bytes += size - offset;
            recovery_.torn_file = segment->file;
            if (ftruncate(segment->fd, static_cast<off_t>(offset)) != 0 || fsync(segment->fd) != 0) {
                Fail("cannot cut the torn end of the spool segment " + segment->file, errno);
            }
            break;
        }
        const std::uint64_t end = seq + rows;
        if (end > confirmed_ + 1) {
            Record r;
            r.segment = segment;
            r.offset = offset;
            r.length = static_cast<std::uint32_t>(kHeader + payload);
            r.first_seq = seq;
            r.rows = rows;
            r.queued_at = static_cast<double>(static_cast<std::int64_t>(Get64(header + 32))) / 1e6;
            r.queued_ns = 0;
            r.shard = kNoShard;
            unconfirmed_rows_ += seq > confirmed_ ? rows : end - confirmed_ - 1;
            unconfirmed_bytes_ += kHeader + payload;
            records_.push_back(std::move(r));
        }
        seq = end;
        offset += kHeader + payload;
    }
    segment->bytes = offset;
    segment->end_seq = seq;
    bytes_ += offset;
}

void Spool::NewSegment(std::uint64_t first_seq) {
    auto segment = std::make_shared<Segment>();
    segment->first_seq = first_seq;
    segment->end_seq = first_seq;
    segment->file = FileOf(first_seq);
    segment->fd = openat(dir_fd_, segment->file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (segment->fd < 0) {
        Fail("cannot make the spool segment " + segment->file, errno);
    }
    if (fsync(dir_fd_) != 0) {
        const int error = errno;
        close(segment->fd);
        unlinkat(dir_fd_, segment->file.c_str(), 0);
        Fail("cannot make the spool segment " + segment->file, error);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    segments_.push_back(std::move(segment));
}

bool Spool::Append(const Chunk& chunk, double queued_at, unsigned shard, std::int64_t queued_ns) {
    if (chunk.rows() == 0) {
        return true;
    }
    const std::size_t start = buffer_.size();
    buffer_.resize(start + kHeader);
    chunk.ForEach([&](const RowView& view) {
        RowView row = view;
        for (const std::string_view* field : TextsOf(row)) {
            Put32(buffer_, static_cast<std::uint32_t>(field->size()));
            buffer_.append(field->data(), field->size());
        }
        PutTyped(buffer_, row.typed);
    });
    const std::size_t payload = buffer_.size() - start - kHeader;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const bool empty = unconfirmed_rows_ == 0 && start == 0;
        if (payload > kMaxPayload || (!empty && unconfirmed_bytes_ + buffer_.size() > max_bytes_)) {
            buffer_.resize(start);
            return false;
        }
    }
    std::string header;
    Put32(header, kMagic);
    Put32(header, 0);
    Put32(header, static_cast<std::uint32_t>(payload));
    Put32(header, chunk.rows());
    Put32(header, kFields);
    Put32(header, 0);
    Put64(header, buffer_seq_);
    Put64(header, static_cast<std::uint64_t>(static_cast<std::int64_t>(queued_at * 1e6)));
    std::memcpy(buffer_.data() + start, header.data(), kHeader);
    const std::uint32_t crc = Crc32c(buffer_.data() + start + kHeader, payload, Crc32c(header.data() + 8, kHeader - 8));
    std::memcpy(buffer_.data() + start + 4, &crc, 4);
    Record r;
    r.offset = start;
    r.length = static_cast<std::uint32_t>(kHeader + payload);
    r.first_seq = buffer_seq_;
    r.rows = chunk.rows();
    r.queued_at = queued_at;
    r.queued_ns = queued_ns;
    r.shard = shard;
    appended_.push_back(std::move(r));
    buffer_seq_ += chunk.rows();
    return true;
}

void Spool::Commit() {
    if (buffer_.empty()) {
        return;
    }
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
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t n = pwrite(segment->fd, buffer_.data() + done, buffer_.size() - done, static_cast<off_t>(at + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            // What was written of it is cut again, so the file ends in whole records.
            [[maybe_unused]] const int cut = ftruncate(segment->fd, static_cast<off_t>(at));
            Fail("cannot write the spool", error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (fdatasync(segment->fd) != 0) {
        const int error = errno;
        [[maybe_unused]] const int cut = ftruncate(segment->fd, static_cast<off_t>(at));
        Fail("cannot make the spool durable", error);
    }
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
}

std::uint64_t Spool::Read(Batch& batch, std::size_t max_rows,
                          std::vector<std::pair<unsigned, std::uint32_t>>& shards) {
    std::vector<Record> taken;
    std::uint64_t confirmed;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        confirmed = confirmed_;
        std::size_t rows = 0;
        for (const Record& r : records_) {
            if (rows >= max_rows) {
                break;
            }
            taken.push_back(r);
            rows += r.rows;
        }
    }
    if (taken.empty()) {
        return 0;
    }
    std::string data;
    const std::uint64_t first = std::max(taken.front().first_seq, confirmed + 1);
    for (const Record& r : taken) {
        data.resize(r.length);
        if (ReadAt(r.segment->fd, data.data(), r.length, r.offset) != r.length
            || Crc32c(data.data() + kHeader, r.length - kHeader, Crc32c(data.data() + 8, kHeader - 8))
                   != Get32(data.data() + 4)) {
            throw SpoolError("the spool " + path_ + " changed under the recorder: a committed record of "
                             + r.segment->file + " does not check any more");
        }
        const std::uint32_t fields = Get32(data.data() + 16);
        auto chunk = std::make_unique<Chunk>();
        chunk->Reserve(r.length);
        const char* p = data.data() + kHeader;
        std::uint32_t kept = 0;
        for (std::uint32_t i = 0; i < r.rows; ++i) {
            RowView row;
            const auto texts = TextsOf(row);
            for (std::uint32_t f = 0; f < fields; ++f) {
                const std::uint32_t n = Get32(p);
                if (f < kTexts) {
                    *texts[f] = std::string_view(p + 4, n);
                } else if (f == kTexts) {
                    row.typed = TakeTyped(std::string_view(p + 4, n));
                }
                p += 4 + n;
            }
            if (r.first_seq + i > confirmed) {
                chunk->AppendFullRow(row);
                ++kept;
            }
        }
        chunk->set_shard(r.shard == kNoShard ? 0 : r.shard);
        batch.Add(std::move(chunk));
        shards.emplace_back(r.shard, kept);
    }
    return first;
}

std::uint64_t Spool::Unconfirmed(std::int64_t& oldest_ns) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    oldest_ns = records_.empty() ? INT64_MAX : records_.front().queued_ns;
    return unconfirmed_rows_;
}

void Spool::Confirm(std::uint64_t seq) {
    std::vector<std::shared_ptr<Segment>> done;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (seq <= confirmed_) {
            return;
        }
        while (!records_.empty() && records_.front().first_seq <= seq) {
            const Record& r = records_.front();
            const std::uint64_t end = r.first_seq + r.rows;
            const std::uint64_t from = std::max(r.first_seq, confirmed_ + 1);
            const std::uint64_t upto = std::min(end, seq + 1);
            unconfirmed_rows_ -= upto - from;
            if (end > seq + 1) {
                break;  // partly confirmed: it stays at the front
            }
            unconfirmed_bytes_ -= r.length;
            records_.pop_front();
        }
        confirmed_ = seq;
        while (segments_.size() > 1 && segments_.front()->end_seq <= confirmed_ + 1) {
            done.push_back(segments_.front());
            bytes_ -= segments_.front()->bytes;
            segments_.pop_front();
        }
    }
    // The count is made durable before a segment goes: the numbering must
    // not fall back behind what the store holds.
    WriteConfirmed(!done.empty());
    for (const auto& segment : done) {
        unlinkat(dir_fd_, segment->file.c_str(), 0);
        close(segment->fd);
        segment->fd = -1;
    }
}

void Spool::WriteConfirmed(bool durable) {
    std::uint64_t seq;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        seq = confirmed_;
    }
    char mark[16];
    const std::uint64_t check = seq ^ kConfirmedCheck;
    std::memcpy(mark, &seq, 8);
    std::memcpy(mark + 8, &check, 8);
    if (pwrite(confirmed_fd_, mark, sizeof mark, 0) != static_cast<ssize_t>(sizeof mark)
        || (durable && fdatasync(confirmed_fd_) != 0)) {
        Fail("cannot write the spool's confirmed count", errno);
    }
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
