#include "sockloader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {
// Longest line delivered, as for files: the line buffer holds it and its NUL.
constexpr std::size_t kMaxLine = 254;
}

CSockLineFetcher::CSockLineFetcher(std::size_t bufferSize)
    : pushedBack(false), lineBuffer{}, fd(-1), buffer(std::max<std::size_t>(bufferSize, 1)), lineNumber(0) {}

CSockLineFetcher::~CSockLineFetcher() {
    if (fd >= 0) ::close(fd);
}

int CSockLineFetcher::attach(const char*) {
    failed_ = true;
    return -1;
}

int CSockLineFetcher::attach(int s) {
    if (fd >= 0 || s < 0 || ::fcntl(s, F_GETFD) == -1) {
        failed_ = true;
        return -1;
    }
    fd = s;
    eof_ = failed_ = false;
    pos = end = 0;
    return 0;
}

bool CSockLineFetcher::fill() {
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            pos = 0;
            end = static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR) {
            failed_ = true;
            return false;
        }
    }
}

std::int64_t CSockLineFetcher::getLine(std::string& line) {
    if (pushedBack) {
        line.assign(lineBuffer);
        pushedBack = false;
        return lineNumber;
    }
    // A source that ended or failed stays so, as a stream in its failed state does.
    if (eof_) throw "eof";
    if (failed_ || fd < 0) {
        failed_ = true;
        throw "i/o error";
    }

    static_assert(sizeof(lineBuffer) == kMaxLine + 1, "line buffer holds the longest line and its NUL");
    std::size_t count = 0;
    for (;;) {
        if (pos == end && !fill()) {
            if (eof_) throw "eof";
            throw "i/o error";
        }
        const char* start = buffer.data() + pos;
        const std::size_t avail = end - pos;
        const std::size_t room = kMaxLine - count;
        // The line feed may follow the last character that still fits.
        const std::size_t scan = std::min(avail, room + 1);
        if (const void* nl = std::memchr(start, '\n', scan)) {
            const std::size_t n = static_cast<const char*>(nl) - start;
            std::memcpy(lineBuffer + count, start, n);
            count += n;
            pos += n + 1;
            break;
        }
        if (avail > room) {
            // More than 254 characters before the line feed.
            std::memcpy(lineBuffer + count, start, room);
            lineBuffer[kMaxLine] = '\0';
            pos += room;
            failed_ = true;
            throw "i/o error";
        }
        std::memcpy(lineBuffer + count, start, avail);
        count += avail;
        pos = end;
    }
    lineBuffer[count] = '\0';
    ++lineNumber;
    if (std::memchr(lineBuffer, '\0', count) != nullptr) throw "nul byte";
    line.assign(lineBuffer, count);
    return lineNumber;
}

std::int64_t CSockLineFetcher::peekLine(std::string& line) {
    if (pushedBack) throw "malfunction";
    const std::int64_t n = getLine(line);
    pushedBack = true;
    return n;
}
