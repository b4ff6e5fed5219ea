// Equality of two short texts without a library call: the replay compares
// every record's domain, tor, file and line with names it knows, nearly all
// of them a few bytes long, where calling memcmp costs more than comparing.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

inline bool sameText(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    // Two loads that overlap when n is short of their sum cover every byte.
    if (n > 16) {
        // File names: the first and the last 16 bytes up to 32, beyond that the library.
        if (n > 32) return std::memcmp(x, y, n) == 0;
        return sameText({x, 16}, {y, 16}) && sameText({x + n - 16, 16}, {y + n - 16, 16});
    }
    if (n >= 8) {
        std::uint64_t x0, x1, y0, y1;
        std::memcpy(&x0, x, 8);
        std::memcpy(&y0, y, 8);
        std::memcpy(&x1, x + n - 8, 8);
        std::memcpy(&y1, y + n - 8, 8);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    if (n >= 4) {
        std::uint32_t x0, x1, y0, y1;
        std::memcpy(&x0, x, 4);
        std::memcpy(&y0, y, 4);
        std::memcpy(&x1, x + n - 4, 4);
        std::memcpy(&y1, y + n - 4, 4);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}
