// One message line of keltrace, assembled in a reused buffer from fixed texts
// and values and then written whole: no stream formatting per piece, and no
// allocation once the buffer has grown. Text that comes from the trace (a
// line, a field, a name, a file name) goes in as Quoted, so that a control
// byte shows as \r or \x1B instead of acting on the terminal.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "trace_protocol.h"
#include "visible_text.h"

// Trace text, quoted through visibleText.
struct Quoted {
    std::string_view text;
};

// A value as 16 upper-case hexadecimal digits (toHex16).
struct Hex16 {
    std::uint64_t value;
};

class MessageText {
public:
    MessageText& operator<<(std::string_view piece) {
        put(piece.data(), piece.size());
        return *this;
    }
    MessageText& operator<<(const char* piece) { return *this << std::string_view(piece); }
    MessageText& operator<<(const std::string& piece) { return *this << std::string_view(piece); }
    MessageText& operator<<(char c) {
        put(&c, 1);
        return *this;
    }
    MessageText& operator<<(Quoted q) {
        // Nearly every text is printable already: copy it as it is then.
        for (const char c : q.text) {
            const unsigned char b = static_cast<unsigned char>(c);
            if (b < 0x20 || b >= 0x7F) return *this << visibleText(q.text);
        }
        return *this << q.text;
    }
    MessageText& operator<<(Hex16 h) {
        char buffer[kelproto::kHex16Digits];
        kelproto::hex16(h.value, buffer);
        put(buffer, sizeof buffer);
        return *this;
    }
    MessageText& operator<<(std::uint64_t n) {
        char buffer[20];
        std::size_t i = sizeof buffer;
        do {
            buffer[--i] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        put(buffer + i, sizeof buffer - i);
        return *this;
    }
    MessageText& operator<<(std::int64_t n) {
        if (n < 0) {
            put("-", 1);
            return *this << (~static_cast<std::uint64_t>(n) + 1);
        }
        return *this << static_cast<std::uint64_t>(n);
    }
    MessageText& operator<<(int n) { return *this << static_cast<std::int64_t>(n); }
    MessageText& operator<<(unsigned n) { return *this << static_cast<std::uint64_t>(n); }

    void clear() { size_ = 0; }
    std::string_view str() const { return std::string_view(text_.data(), size_); }
    // Ends the line and writes it in one piece.
    void writeLine(std::ostream& out) {
        endLine();
        writeTo(out);
    }
    // For a buffer of several lines: ends one, and writes all of them.
    void endLine() { put("\n", 1); }
    void writeTo(std::ostream& out) const { out.write(text_.data(), static_cast<std::streamsize>(size_)); }
    std::size_t size() const { return size_; }
    // Room for `bytes` without growing.
    void reserve(std::size_t bytes) {
        if (text_.size() < bytes) text_.resize(bytes);
    }

private:
    // A message is a dozen pieces: each is copied into room the buffer has
    // already, which it keeps from message to message.
    void put(const char* piece, std::size_t length) {
        if (text_.size() - size_ < length) text_.resize(std::max(2 * text_.size(), size_ + length + 256));
        std::memcpy(&text_[size_], piece, length);
        size_ += length;
    }

    std::string text_;      // text_[0, size_) is the message
    std::size_t size_ = 0;
};
