#include "utils_numeric.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "trace_protocol.h"

std::uint64_t parseHex(const std::string& text) { return parseHex(text.data(), text.size()); }

namespace {
// Digit values of the characters parseHex accepts; kNotDigit for the rest.
constexpr std::uint8_t kNotDigit = 0xFF;
struct DigitTable {
    std::uint8_t value[256];
    constexpr DigitTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = kNotDigit;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<std::uint8_t>(c - '0');
        // Upper case only: the writer never produces lower case.
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<std::uint8_t>(c - 'A' + 10);
    }
};
constexpr DigitTable kDigits;
}  // namespace

#if !defined(__SSE2__)
namespace {
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "eightDigits reads the first digit from the lowest byte");

// Eight digits at once, the first in the lowest byte (as loaded from memory
// on this little-endian machine): false when any byte is not a digit.
bool eightDigits(std::uint64_t x, std::uint32_t& value) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
    if (x & kHigh) return false;
    // Below 0x80 every byte can take these additions without a carry into
    // the next one: a byte's high bit then says whether it reached the bound.
    const std::uint64_t from0 = (x + (0x80 - '0') * kOnes) & kHigh;
    const std::uint64_t past9 = (x + (0x80 - '9' - 1) * kOnes) & kHigh;
    const std::uint64_t fromA = (x + (0x80 - 'A') * kOnes) & kHigh;
    const std::uint64_t pastF = (x + (0x80 - 'F' - 1) * kOnes) & kHigh;
    const std::uint64_t letters = fromA & ~pastF;
    if (((from0 & ~past9) | letters) != kHigh) return false;
    // Each byte's value, then the first digit moved to the top.
    std::uint64_t v = __builtin_bswap64((x & 0x0F * kOnes) + (letters >> 7) * 9);
    v = (v | (v >> 4)) & 0x00FF00FF00FF00FFull;
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFull;
    v = (v | (v >> 16)) & 0x00000000FFFFFFFFull;
    value = static_cast<std::uint32_t>(v);
    return true;
}
}  // namespace
#endif

namespace {
// Sixteen digits at `text`, the first the most significant: false when any
// character is not one.
bool sixteenDigits(const char* text, std::uint64_t& value) {
#if defined(__SSE2__)
    // Signed byte comparisons: a byte from 0x80 on is below every bound.
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i digit = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
    const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('F' + 1)));
    if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) return false;
    // Each byte's value; then per pair of bytes (a, b) the byte a * 16 + b in
    // the low half of their 16 bits, and the eight of them packed in order.
    const __m128i nibbles = _mm_add_epi8(_mm_and_si128(v, _mm_set1_epi8(0x0F)), _mm_and_si128(letter, _mm_set1_epi8(9)));
    const __m128i pairs = _mm_and_si128(_mm_or_si128(_mm_slli_epi16(nibbles, 4), _mm_srli_epi16(nibbles, 8)),
                                        _mm_set1_epi16(0x00FF));
    const __m128i bytes = _mm_packus_epi16(pairs, _mm_setzero_si128());
    value = __builtin_bswap64(static_cast<std::uint64_t>(_mm_cvtsi128_si64(bytes)));
    return true;
#else
    std::uint64_t high, low;
    std::memcpy(&high, text, 8);
    std::memcpy(&low, text + 8, 8);
    std::uint32_t a, b;
    if (!eightDigits(high, a) || !eightDigits(low, b)) return false;
    value = std::uint64_t(a) << 32 | b;
    return true;
#endif
}
}  // namespace

std::uint64_t parseHex(const char* text, std::size_t size) {
    if (size == 0 || size > kelproto::kHex16Digits) throw "incoming value is very strange";
    if (size == kelproto::kHex16Digits) {
        // The trace writes handles and sizes with all 16 digits.
        std::uint64_t value;
        if (sixteenDigits(text, value)) return value;
        throw "non xdigit";
    }
    // No branch per character: a non-digit's value has its high bits set,
    // which the OR of all values keeps to the end.
    std::uint64_t value = 0;
    std::uint8_t seen = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t digit = kDigits.value[static_cast<unsigned char>(text[i])];
        seen |= digit;
        value = (value << 4) | (digit & 0xF);
    }
    if (seen > 0xF) throw "non xdigit";
    return value;
}

std::string toHex16(std::uint64_t value) { return kelproto::hex16(value); }

std::string formatCallSite(const CallSite& site) {
    // An unset site has two equal (empty) strings and prints as nothing.
    if (site.file == site.line) return std::string();
    return site.file + ":" + site.line;
}

const char* handleStateName(HandleState state) { return state == bad ? "bad" : "valid"; }
