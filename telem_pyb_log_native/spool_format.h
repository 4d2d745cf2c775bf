#pragma once

// The spool's records on disk (the layout is described in spool.h): their
// header, their check, and the rows of a chunk encoded into one and decoded
// back. No state: every function works on the bytes it is given.

#include <cstdint>
#include <memory>
#include <string>

#include "rows.h"

namespace telem_pyb_log::spool_format {

constexpr std::uint32_t kMagic = 0x4C505354;  // "TSPL"
constexpr std::size_t kHeader = 40;
constexpr std::uint32_t kMaxPayload = 1U << 30;
constexpr std::uint32_t kFormatRows = 0;   // format 1: texts per row
constexpr std::uint32_t kFormatChunk = 2;  // format 2: series, then the chunk's bytes

struct Header {
    std::uint32_t payload = 0;
    std::uint32_t rows = 0;
    std::uint32_t fields = 0;
    std::uint32_t flags = 0;
    std::uint64_t seq = 0;
    std::int64_t queued_us = 0;
    std::size_t length() const { return kHeader + payload; }
};

// True when a whole record that checks starts at `offset` of `size` bytes;
// fills `header`.
bool ReadRecord(const char* data, std::size_t size, std::size_t offset, Header& header);
// The offset of the first record after `from` that checks, or npos.
std::size_t FindRecord(const char* data, std::size_t size, std::size_t from, Header& header);

// The payload bytes a record of `chunk` takes.
std::size_t PayloadSize(const Chunk& chunk);
// Appends a record of `chunk`'s rows, numbered from `seq`.
void AppendRecord(std::string& out, const Chunk& chunk, std::uint64_t seq, double queued_at);
// The rows of a record that checked; null if its payload does not hold what
// its header says (a record another writer made).
std::unique_ptr<Chunk> DecodeRecord(const Header& header, const char* payload);

}  // namespace telem_pyb_log::spool_format
