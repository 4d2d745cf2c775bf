#include "spool_format.h"

#include <array>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "spool.h"

namespace telem_pyb_log {

namespace {

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

}  // namespace

std::uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc) {
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    crc = hardware ? Crc32cHardware(p, size, crc) : Crc32cSoftware(p, size, crc);
    return ~crc;
}

namespace spool_format {

namespace {

// The fields of a row in the order a format-1 record holds them: the seven
// texts, then the typed fields. Fields a record has beyond these are
// skipped; a record with fewer reads the missing ones as empty.
constexpr std::size_t kTexts = 7;

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
void PutText(std::string& out, std::string_view text) {
    Put32(out, static_cast<std::uint32_t>(text.size()));
    out.append(text.data(), text.size());
}

// Reads texts off the front of `size` bytes; false once they run out.
class Reader {
public:
    Reader(const char* p, std::size_t size) : p_(p), end_(p + size) {}
    bool Text(std::string_view& text) {
        if (end_ - p_ < 4 || static_cast<std::size_t>(end_ - p_ - 4) < Get32(p_)) {
            return false;
        }
        text = std::string_view(p_ + 4, Get32(p_));
        p_ += 4 + text.size();
        return true;
    }
    bool Number(std::uint32_t& n) {
        if (end_ - p_ < 4) {
            return false;
        }
        n = Get32(p_);
        p_ += 4;
        return true;
    }
    const char* at() const { return p_; }
    std::size_t left() const { return static_cast<std::size_t>(end_ - p_); }

private:
    const char* p_;
    const char* end_;
};

// The fourteen texts of a series, in a record's order.
template <typename S>
auto SeriesTexts(S& s) {
    auto& m = s.meta;
    using Text = std::conditional_t<std::is_const_v<S>, const std::string*, std::string*>;
    return std::array<Text, 14>{&m.tsid,  &m.tsname,  &m.btype, &m.units,   &m.origin, &m.serial, &m.role,
                                &m.comment, &m.json, &s.tsname, &s.btype, &s.units, &s.comment, &s.origin};
}

// The typed fields of a format-1 field; a field of another size gives none.
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

std::unique_ptr<Chunk> DecodeRows(const Header& header, const char* payload) {
    Reader in(payload, header.payload);
    auto chunk = std::make_unique<Chunk>();
    chunk->Reserve(header.payload);
    for (std::uint32_t i = 0; i < header.rows; ++i) {
        RowView row;
        std::string_view* texts[kTexts] = {&row.mtime, &row.tsname, &row.value, &row.btype,
                                           &row.units, &row.comment, &row.origin};
        for (std::uint32_t f = 0; f < header.fields; ++f) {
            std::string_view field;
            if (!in.Text(field)) {
                return nullptr;
            }
            if (f < kTexts) {
                *texts[f] = field;
            } else if (f == kTexts) {
                row.typed = TakeTyped(field);
            }
        }
        chunk->AppendFullRow(row);
    }
    return in.left() == 0 ? std::move(chunk) : nullptr;
}

std::unique_ptr<Chunk> DecodeChunk(const Header& header, const char* payload) {
    Reader in(payload, header.payload);
    std::uint32_t count;
    if (!in.Number(count) || count > header.payload / 56) {  // a series takes 14 lengths at least
        return nullptr;
    }
    std::vector<std::shared_ptr<const Series>> series;
    series.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        auto s = std::make_shared<Series>();
        for (std::string* text : SeriesTexts(*s)) {
            std::string_view field;
            if (!in.Text(field)) {
                return nullptr;
            }
            text->assign(field);
        }
        series.push_back(std::move(s));
    }
    auto chunk = std::make_unique<Chunk>();
    if (!chunk->Assign(in.at(), in.left(), header.rows, std::move(series))) {
        return nullptr;
    }
    return chunk;
}

}  // namespace

bool ReadRecord(const char* data, std::size_t size, std::size_t offset, Header& h) {
    if (offset > size || size - offset < kHeader) {
        return false;
    }
    const char* p = data + offset;
    if (Get32(p) != kMagic) {
        return false;
    }
    h.payload = Get32(p + 8);
    h.rows = Get32(p + 12);
    h.fields = Get32(p + 16);
    h.flags = Get32(p + 20);
    h.seq = Get64(p + 24);
    h.queued_us = static_cast<std::int64_t>(Get64(p + 32));
    if (h.payload > kMaxPayload || size - offset - kHeader < h.payload || h.rows == 0 || h.seq == 0
        || (h.flags != kFormatRows && h.flags != kFormatChunk)) {
        return false;
    }
    return Crc32c(p + kHeader, h.payload, Crc32c(p + 8, kHeader - 8)) == Get32(p + 4);
}

std::size_t FindRecord(const char* data, std::size_t size, std::size_t from, Header& header) {
    char magic[4];
    std::memcpy(magic, &kMagic, 4);
    for (std::size_t at = from; at + kHeader <= size; ++at) {
        const void* found = memmem(data + at, size - at, magic, 4);
        if (found == nullptr) {
            break;
        }
        at = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        if (ReadRecord(data, size, at, header)) {
            return at;
        }
    }
    return std::string::npos;
}

std::size_t PayloadSize(const Chunk& chunk) {
    std::size_t size = 4 + chunk.used_bytes();
    for (const auto& s : chunk.series()) {
        for (const std::string* text : SeriesTexts(*s)) {
            size += 4 + text->size();
        }
    }
    return size;
}

void AppendRecord(std::string& out, const Chunk& chunk, std::uint64_t seq, double queued_at) {
    const std::size_t start = out.size();
    Put32(out, kMagic);
    Put32(out, 0);  // the check, below
    Put32(out, static_cast<std::uint32_t>(PayloadSize(chunk)));
    Put32(out, chunk.rows());
    Put32(out, 0);
    Put32(out, kFormatChunk);
    Put64(out, seq);
    Put64(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(queued_at * 1e6)));
    Put32(out, static_cast<std::uint32_t>(chunk.series().size()));
    for (const auto& s : chunk.series()) {
        for (const std::string* text : SeriesTexts(*s)) {
            PutText(out, *text);
        }
    }
    out.append(chunk.data(), chunk.used_bytes());
    char* p = out.data() + start;
    const std::uint32_t crc = Crc32c(p + kHeader, out.size() - start - kHeader, Crc32c(p + 8, kHeader - 8));
    std::memcpy(p + 4, &crc, 4);
}

std::unique_ptr<Chunk> DecodeRecord(const Header& header, const char* payload) {
    return header.flags == kFormatChunk ? DecodeChunk(header, payload) : DecodeRows(header, payload);
}

}  // namespace spool_format

}  // namespace telem_pyb_log
