#include "utils_numeric.h"

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

std::uint64_t parseHex(const char* text, std::size_t size) {
    if (size == 0 || size > kelproto::kHex16Digits) throw "incoming value is very strange";
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
