#include "visible_text.h"

namespace {

void hexByte(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::size_t utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = at(0);
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    if (at(1) < low || at(1) > high) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (!continuation(at(k))) return 0;
    }
    return n;
}

std::string visibleText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += static_cast<char>(byte);
            ++i;
        } else if (byte == '\r') {
            out += "\\r";
            ++i;
        } else if (byte == '\n') {
            out += "\\n";
            ++i;
        } else if (byte == '\t') {
            out += "\\t";
            ++i;
        } else if (byte < 0x80) {
            hexByte(out, byte);
            ++i;
        } else if (const std::size_t n = utf8SequenceLength(text, i);
                   n != 0 && !(byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            out.append(text, i, n);
            i += n;
        } else {
            // Not well-formed, or a C1 control such as the CSI that starts a
            // terminal escape sequence.
            hexByte(out, byte);
            ++i;
        }
    }
    return out;
}
