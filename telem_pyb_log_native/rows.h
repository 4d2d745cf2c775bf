#pragma once

// Rows waiting to be written, in the form the recording threads leave them:
// chunks of bytes, each row the two texts of its own point (time and value)
// and a reference to its series, which holds the five texts every row of the
// series shares. A row whose series texts differ from its series' (the
// conversion chose other ones) carries all seven. Each row ends with its
// typed fields (typed_fields.h): a byte of flags and the values it has.
//
// The bytes of a chunk, which a spool record holds as they are (spool.h):
// per row a u32, the index of its series in the chunk's series or kFullRow;
// a series row then has its mtime and value, a full row its seven texts,
// each a u32 length and the bytes; then the typed fields: a byte of flags
// (1 time, 2 number) and the i64 time and double number that they name.
//
// Threads: a chunk belongs to one thread at a time (the queue hands it over
// under its shard's lock); a Batch to the delivery loop's thread.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "norv/telem/TsMetadata.h"
#include "typed_fields.h"

namespace telem_pyb_log {

// One series as the rows hold it: the recorder's copy of the metadata, and
// the five fields that ConvertPointToDb takes from it, as it gives them.
struct Series {
    // The five texts below are the metadata's own: a point's texts are then
    // compared with the metadata, which the conversion has just read, and a
    // point of one of many series touches fewer cache lines. First, next to
    // the reference count that recording takes.
    bool texts_are_meta = false;
    norv::telem::TsMetadata meta;
    std::string tsname;
    std::string btype;
    std::string units;
    std::string comment;
    std::string origin;
};

// The seven texts of one row, in the order of the log record's fields, and
// its typed fields.
struct RowView {
    std::string_view mtime, tsname, value, btype, units, comment, origin;
    TypedFields typed;
};

class Chunk {
    template <typename Row>
    static auto Fields(Row& row) {
        using Field = std::conditional_t<std::is_const_v<Row>, const std::string_view*, std::string_view*>;
        return std::array<Field, 7>{&row.mtime, &row.tsname, &row.value, &row.btype,
                                    &row.units, &row.comment, &row.origin};
    }

public:
    static constexpr std::uint32_t kFullRow = 0xFFFFFFFF;
    static constexpr unsigned kNoShard = ~0U;

    // `series` is copied (or moved, an rvalue) only when the row is the
    // first of its series since the chunk's last series change.
    template <typename SeriesPtr>
    void AppendSeriesRow(SeriesPtr&& series, std::string_view mtime, std::string_view value,
                         const TypedFields& typed = {}) {
        if (series_.empty() || series_.back() != series) {
            series_.push_back(std::forward<SeriesPtr>(series));
        }
        const std::uint32_t head[2] = {static_cast<std::uint32_t>(series_.size() - 1),
                                       static_cast<std::uint32_t>(mtime.size())};
        const std::uint32_t value_size = static_cast<std::uint32_t>(value.size());
        char* p = Grow(sizeof head + mtime.size() + sizeof value_size + value.size());
        std::memcpy(p, head, sizeof head);
        p += sizeof head;
        std::memcpy(p, mtime.data(), mtime.size());
        p += mtime.size();
        std::memcpy(p, &value_size, sizeof value_size);
        std::memcpy(p + sizeof value_size, value.data(), value.size());
        PutTyped(typed);
        ++rows_;
    }

    void AppendFullRow(const RowView& row) {
        full_rows_ = true;
        PutNumber(kFullRow);
        for (const std::string_view* field : Fields(row)) {
            PutText(*field);
        }
        PutTyped(row.typed);
        ++rows_;
    }

    // Calls f(const RowView&, const std::shared_ptr<const Series>* series)
    // for every row, in order; `series` is null for a full row.
    template <typename F>
    void ForEachEntry(F&& f) const {
        const char* p = bytes_.get();
        for (std::uint32_t i = 0; i < rows_; ++i) {
            const std::uint32_t index = TakeNumber(p);
            RowView row;
            const std::shared_ptr<const Series>* series = nullptr;
            if (index == kFullRow) {
                for (std::string_view* field : Fields(row)) {
                    *field = TakeText(p);
                }
            } else {
                series = &series_[index];
                const Series& s = **series;
                row.mtime = TakeText(p);
                row.value = TakeText(p);
                row.tsname = s.tsname;
                row.btype = s.btype;
                row.units = s.units;
                row.comment = s.comment;
                row.origin = s.origin;
            }
            row.typed = TakeTyped(p);
            f(static_cast<const RowView&>(row), series);
        }
    }

    // Calls f(const RowView&) for every row, in order.
    template <typename F>
    void ForEach(F&& f) const {
        ForEachEntry([&](const RowView& row, const std::shared_ptr<const Series>*) { f(row); });
    }

    // Appends a row that ForEachEntry gave, keeping its series.
    void AppendEntry(const RowView& row, const std::shared_ptr<const Series>* series) {
        if (series != nullptr) {
            AppendSeriesRow(*series, row.mtime, row.value, row.typed);
        } else {
            AppendFullRow(row);
        }
    }

    // Takes `size` bytes of `rows` rows in the layout above, with the series
    // their indexes name; false, leaving the chunk empty, if they do not
    // hold that (a record that passed its check but that another writer made).
    bool Assign(const char* data, std::size_t size, std::uint32_t rows,
                std::vector<std::shared_ptr<const Series>> series) {
        Clear();
        if (!Walks(data, size, rows, series.size(), full_rows_)) {
            full_rows_ = false;
            return false;
        }
        Reserve(size);
        std::memcpy(Grow(size), data, size);
        series_ = std::move(series);
        rows_ = rows;
        return true;
    }

    std::uint32_t rows() const { return rows_; }
    // Whether any row is a full row (rows queued whole).
    bool has_full_rows() const { return full_rows_; }
    // The bytes the rows take (what a batch's byte bound counts).
    std::size_t used_bytes() const { return size_; }
    const char* data() const { return bytes_.get(); }
    // The series the chunk's series rows refer to, each once in a row.
    const std::vector<std::shared_ptr<const Series>>& series() const { return series_; }
    unsigned shard() const { return shard_; }
    void set_shard(unsigned shard) { shard_ = shard; }
    std::size_t bytes() const { return capacity_ + series_.capacity() * sizeof(series_[0]); }
    std::int64_t first_at() const { return first_at_; }
    void set_first_at(std::int64_t at) { first_at_ = at; }

    // Empties the chunk for reuse, keeping its memory.
    void Clear() {
        size_ = 0;
        series_.clear();
        rows_ = 0;
        first_at_ = 0;
        full_rows_ = false;
    }

    void Reserve(std::size_t bytes) {
        if (bytes > capacity_) {
            // Left uninitialised (make_unique would zero it): every byte up
            // to size_ is written before it is read.
            std::unique_ptr<char[]> grown(new char[bytes]);
            if (size_ > 0) {
                std::memcpy(grown.get(), bytes_.get(), size_);
            }
            bytes_ = std::move(grown);
            capacity_ = bytes;
        }
    }

private:
    // Room for `n` more bytes at the end, which the caller fills.
    char* Grow(std::size_t n) {
        if (size_ + n > capacity_) {
            Reserve(std::max(capacity_ * 2, size_ + n));
        }
        char* at = bytes_.get() + size_;
        size_ += n;
        return at;
    }
    void PutNumber(std::uint32_t n) { std::memcpy(Grow(sizeof n), &n, sizeof n); }
    void PutText(std::string_view text) {
        PutNumber(static_cast<std::uint32_t>(text.size()));
        std::memcpy(Grow(text.size()), text.data(), text.size());
    }
    void PutTyped(const TypedFields& typed) {
        const unsigned char flags = static_cast<unsigned char>(typed.has_time | typed.has_number << 1);
        char* p = Grow(1 + (typed.has_time ? 8 : 0) + (typed.has_number ? 8 : 0));
        *p++ = static_cast<char>(flags);
        if (typed.has_time) {
            std::memcpy(p, &typed.time, 8);
            p += 8;
        }
        if (typed.has_number) {
            std::memcpy(p, &typed.number, 8);
        }
    }
    static TypedFields TakeTyped(const char*& p) {
        TypedFields typed;
        const unsigned char flags = static_cast<unsigned char>(*p++);
        typed.has_time = (flags & 1) != 0;
        typed.has_number = (flags & 2) != 0;
        if (typed.has_time) {
            std::memcpy(&typed.time, p, 8);
            p += 8;
        }
        if (typed.has_number) {
            std::memcpy(&typed.number, p, 8);
            p += 8;
        }
        return typed;
    }
    static std::uint32_t TakeNumber(const char*& p) {
        std::uint32_t n;
        std::memcpy(&n, p, sizeof n);
        p += sizeof n;
        return n;
    }
    static std::string_view TakeText(const char*& p) {
        const std::uint32_t n = TakeNumber(p);
        const std::string_view text(p, n);
        p += n;
        return text;
    }
    // True when `size` bytes hold exactly `rows` rows of the layout.
    static bool Walks(const char* p, std::size_t size, std::uint32_t rows, std::size_t series, bool& full_rows) {
        const char* end = p + size;
        const auto text = [&] {
            std::uint32_t n;
            if (end - p < 4) {
                return false;
            }
            std::memcpy(&n, p, 4);
            p += 4;
            if (static_cast<std::size_t>(end - p) < n) {
                return false;
            }
            p += n;
            return true;
        };
        for (std::uint32_t i = 0; i < rows; ++i) {
            std::uint32_t index;
            if (end - p < 4) {
                return false;
            }
            std::memcpy(&index, p, 4);
            p += 4;
            const int texts = index == kFullRow ? 7 : 2;
            full_rows = full_rows || index == kFullRow;
            if (index != kFullRow && index >= series) {
                return false;
            }
            for (int t = 0; t < texts; ++t) {
                if (!text()) {
                    return false;
                }
            }
            if (p == end || static_cast<unsigned char>(*p) > 3) {
                return false;
            }
            const std::size_t typed = 1 + ((*p & 1) ? 8 : 0) + ((*p & 2) ? 8 : 0);
            if (static_cast<std::size_t>(end - p) < typed) {
                return false;
            }
            p += typed;
        }
        return p == end;
    }

    std::unique_ptr<char[]> bytes_;  // the rows, size_ of capacity_ bytes in use
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::vector<std::shared_ptr<const Series>> series_;
    std::uint32_t rows_ = 0;
    bool full_rows_ = false;
    unsigned shard_ = 0;         // the queue shard it was filled in (kNoShard: none)
    std::int64_t first_at_ = 0;  // steady-clock ns of the first row
};

// The rows of one write, in order.
class Batch {
public:
    std::size_t rows() const { return rows_; }
    bool empty() const { return chunks_.empty(); }
    std::size_t bytes() const {
        std::size_t total = 0;
        for (const auto& chunk : chunks_) {
            total += chunk->used_bytes();
        }
        return total;
    }

    template <typename F>
    void ForEach(F&& f) const {
        for (const auto& chunk : chunks_) {
            chunk->ForEach(f);
        }
    }

    // Calls f(const RowView&, const std::shared_ptr<const Series>* series)
    // for every row, in order (see Chunk::ForEachEntry).
    template <typename F>
    void ForEachEntry(F&& f) const {
        for (const auto& chunk : chunks_) {
            chunk->ForEachEntry(f);
        }
    }

    const std::vector<std::unique_ptr<Chunk>>& chunks() const { return chunks_; }

    // Calls f(const std::shared_ptr<const Series>&) for the series of every
    // chunk (a series may come more than once).
    template <typename F>
    void ForEachSeries(F&& f) const {
        for (const auto& chunk : chunks_) {
            for (const auto& series : chunk->series()) {
                f(series);
            }
        }
    }

    void Add(std::unique_ptr<Chunk> chunk) {
        rows_ += chunk->rows();
        chunks_.push_back(std::move(chunk));
    }

    // Moves the rows from `index` on to the end of `rest`.
    void SplitAt(std::size_t index, Batch& rest) {
        std::size_t at = 0;
        std::size_t c = 0;
        while (c < chunks_.size() && at + chunks_[c]->rows() <= index) {
            at += chunks_[c++]->rows();
        }
        if (c == chunks_.size()) {
            return;
        }
        if (at < index) {
            // The chunk holding the cut is copied into its two halves.
            auto front = std::make_unique<Chunk>();
            auto back = std::make_unique<Chunk>();
            std::size_t i = at;
            chunks_[c]->ForEachEntry([&](const RowView& row, const std::shared_ptr<const Series>* series) {
                (i++ < index ? *front : *back).AppendEntry(row, series);
            });
            for (Chunk* half : {front.get(), back.get()}) {
                half->set_shard(chunks_[c]->shard());
                half->set_first_at(chunks_[c]->first_at());
            }
            chunks_[c] = std::move(front);
            rest.Add(std::move(back));
            ++c;
        }
        for (std::size_t k = c; k < chunks_.size(); ++k) {
            rest.Add(std::move(chunks_[k]));
        }
        chunks_.resize(c);
        rows_ = index;
    }

    std::vector<std::unique_ptr<Chunk>> TakeChunks() {
        rows_ = 0;
        return std::move(chunks_);
    }

private:
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::size_t rows_ = 0;
};

}  // namespace telem_pyb_log
