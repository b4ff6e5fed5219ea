// The trace protocol: the fixed lines, markers and verdicts that the generated
// code writes and keltrace reads, and the hex16 encoding of 64-bit values.
// One definition for both sides, so the writer and the reader cannot drift.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelproto {

constexpr const char* kBegin = "KEL TRACING BEGIN";
constexpr const char* kProtocol = "KEL PROTOCOL 01";
constexpr const char* kTemplateEnd = "</template>";
constexpr const char* kDone = "KEL TRACING DONE";

// The fork trap record: "KEL_TRAP", "fork()", file, line.
constexpr const char* kTrap = "KEL_TRAP";
constexpr const char* kForkCall = "fork()";

// Verdicts and markers.
constexpr const char* kOK = "OK";
constexpr const char* kBAD = "BAD";
constexpr const char* kNothing = "-";
constexpr const char* kVoid = "void";

// Allocator handle lines start with a verdict and one blank.
constexpr const char* kOKPrefix = "OK ";
constexpr const char* kBADPrefix = "BAD ";

constexpr std::size_t kHex16Digits = 16;
// Longest line (without its line feed) that the line reader accepts.
constexpr std::size_t kMaxLineLength = 254;

// 16 upper-case hexadecimal digits, most significant first, into `out`
// (kHex16Digits characters, no terminator).
inline void hex16(std::uint64_t value, char* out) {
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = kHex16Digits; i-- > 0; value >>= 4) out[i] = digits[value & 0xF];
}

// The same as a string.
inline std::string hex16(std::uint64_t value) {
    std::string out(kHex16Digits, '0');
    hex16(value, out.data());
    return out;
}

}  // namespace kelproto
