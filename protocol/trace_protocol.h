// The trace protocol: the fixed lines, markers and verdicts that the generated
// code writes and keltrace reads, and the hex16 encoding of 64-bit values.
// One definition for both sides, so the writer and the reader cannot drift.
#pragma once

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

// 16 upper-case hexadecimal digits, most significant first.
inline std::string hex16(std::uint64_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out(kHex16Digits, '0');
    for (std::size_t i = 0; i < kHex16Digits; ++i) {
        out[kHex16Digits - 1 - i] = digits[value & 0xF];
        value >>= 4;
    }
    return out;
}

}  // namespace kelproto
