#pragma once

// A random (version 4) UUID as text: a recorder's key in a store's ledger.

#include <cstdio>
#include <random>
#include <string>

namespace telem_pyb_log {

inline std::string RandomUuid() {
    std::random_device source;
    unsigned char b[16];
    for (unsigned char& byte : b) {
        byte = static_cast<unsigned char>(source());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

}  // namespace telem_pyb_log
