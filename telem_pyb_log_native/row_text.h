#pragma once

// What a store can hold of a row's texts, and the text form PostgreSQL's COPY
// reads. Every store holds UTF-8 text only; PostgreSQL's text type cannot hold
// the NUL character either.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace telem_pyb_log {

enum class RowFormat {
    kUtf8,      // any UTF-8 text (SQLite, stores written in Python)
    kCopyText,  // UTF-8 without NUL (PostgreSQL)
};

// True when `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing above U+10FFFF.
inline bool IsUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    // ASCII, the common case, eight bytes at a time.
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if ((word & 0x8080808080808080ULL) != 0) {
            break;
        }
        p += 8;
    }
    while (p != end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        std::size_t extra = 0;
        unsigned min = 0;
        unsigned code = 0;
        if ((*p & 0xE0) == 0xC0) {
            extra = 1, min = 0x80, code = *p & 0x1F;
        } else if ((*p & 0xF0) == 0xE0) {
            extra = 2, min = 0x800, code = *p & 0x0F;
        } else if ((*p & 0xF8) == 0xF0) {
            extra = 3, min = 0x10000, code = *p & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra) {
            return false;
        }
        for (std::size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i] & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        p += extra + 1;
    }
    return true;
}

// Why a store of `format` could never hold `text`, or null if it can.
inline const char* TextRefusal(std::string_view text, RowFormat format) {
    if (format == RowFormat::kCopyText && text.find('\0') != std::string_view::npos) {
        return "PostgreSQL text cannot hold the NUL character";
    }
    if (!IsUtf8(text)) {
        return "the text is not valid UTF-8";
    }
    return nullptr;
}

// Appends `text` as a field of COPY's text format: backslash, tab, line feed
// and carriage return escaped, everything else as it is.
inline void AppendCopyField(std::string& out, std::string_view text) {
    bool plain = true;
    for (const char c : text) {
        // One comparison for the control characters, among them the three.
        plain &= static_cast<unsigned char>(c) > '\r' && c != '\\';
    }
    if (plain) {
        out.append(text.data(), text.size());
        return;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char* escaped = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : nullptr;
        if (escaped != nullptr) {
            out.append(text.data() + start, i - start);
            out.append(escaped, 2);
            start = i + 1;
        }
    }
    out.append(text.data() + start, text.size() - start);
}

}  // namespace telem_pyb_log
