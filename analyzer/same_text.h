// Equality of two short texts without a library call: the replay compares
// every record's domain, tor, file and line with names it knows, nearly all
// of them a few bytes long, where calling memcmp costs more than comparing.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace same_text_detail {
// n bytes, sizeof(Word) <= n <= 2 * sizeof(Word): two loads that overlap
// when n is short of their sum cover every byte.
template <class Word>
bool sameEnds(const char* x, const char* y, std::size_t n) {
    Word x0, x1, y0, y1;
    std::memcpy(&x0, x, sizeof(Word));
    std::memcpy(&y0, y, sizeof(Word));
    std::memcpy(&x1, x + n - sizeof(Word), sizeof(Word));
    std::memcpy(&y1, y + n - sizeof(Word), sizeof(Word));
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
}
}  // namespace same_text_detail

inline bool sameText(std::string_view a, std::string_view b) {
    const std::size_t n = a.size();
    if (n != b.size()) return false;
    const char* x = a.data();
    const char* y = b.data();
    if (n > 16) {
        // File names: the first and the last 16 bytes up to 32, beyond that the library.
        if (n > 32) return std::memcmp(x, y, n) == 0;
        return same_text_detail::sameEnds<std::uint64_t>(x, y, 16) &&
               same_text_detail::sameEnds<std::uint64_t>(x + n - 16, y + n - 16, 16);
    }
    if (n >= 8) return same_text_detail::sameEnds<std::uint64_t>(x, y, n);
    if (n >= 4) return same_text_detail::sameEnds<std::uint32_t>(x, y, n);
    for (std::size_t i = 0; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}
