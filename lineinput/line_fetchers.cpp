// Line input: descriptors read in large blocks and cut into lines, and the
// splitter that cuts trace lines into fields.
#include "line_fetchers.h"

#include <fcntl.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
// Longest line delivered, without its line feed.
constexpr std::size_t kMaxLine = 254;
// A file is read in blocks of this size: small enough that the block the
// kernel copies into, and that the lines are then cut from, stays in the
// processor's near caches (256 KB blocks made reading a third slower).
constexpr std::size_t kFileReadSize = 32 * 1024;
}  // namespace

const std::uint64_t CVLineFetcher::kNoMarks[2] = {0, 0};

std::int64_t CVLineFetcher::readLineView(std::string_view& line) {
    const std::int64_t number = readLine(held_);
    line = held_;
    return number;
}

std::int64_t CVLineFetcher::readPeekView(std::string_view& line) {
    const std::int64_t number = readPeek(held_);
    line = held_;
    return number;
}

CFdLineFetcher::CFdLineFetcher(std::size_t readSize)
    // Room for a whole block after the start of a line that is not complete yet.
    : readSize(std::max<std::size_t>(readSize, 1)),
      buffer(this->readSize + kMaxLine + 1),
      newlines(buffer.size() / 64 + 2, 0) {
    window_.text = buffer.data();
    window_.marks = newlines.data();
}

void CFdLineFetcher::setFailed(bool failed) {
    failed_ = failed;
    settle();
}

void CFdLineFetcher::settle() {
    window_.limit = pushedBack || ended || failed_ ? 0 : std::min(end, nulAt);
}

CFdLineFetcher::~CFdLineFetcher() {
    if (fd >= 0) ::close(fd);
}

bool CFdLineFetcher::fill() {
    if (beforeRead) beforeRead();
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data() + end, readSize);
        if (n > 0) {
            // One look for a NUL per block instead of one per line.
            if (nulAt == end) {
                const void* nul = std::memchr(buffer.data() + end, '\0', static_cast<std::size_t>(n));
                nulAt = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data())
                            : end + static_cast<std::size_t>(n);
            }
            end += static_cast<std::size_t>(n);
            markNewlines();
            settle();
            return true;
        }
        if (n == 0) {
            ended = true;
            settle();
            return false;
        }
        if (errno != EINTR) {
            setFailed(true);
            return false;
        }
    }
}

namespace {
// One bit per byte of the 64 at `p` that is a line feed, the first byte's lowest.
inline std::uint64_t lineFeeds64(const char* p) {
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    std::uint64_t bits = 0;
    for (unsigned k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        bits |= std::uint64_t(static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nl)))) << (16 * k);
    }
    return bits;
#else
    std::uint64_t bits = 0;
    for (unsigned i = 0; i < 64; ++i) bits |= std::uint64_t(p[i] == '\n') << i;
    return bits;
#endif
}
}  // namespace

void CFdLineFetcher::markNewlines() {
    // Once per read, over the whole buffer: the line moved to its front
    // before the read has moved its line feeds too.
    const char* data = buffer.data();
    const std::size_t words = end / 64;
    for (std::size_t w = 0; w < words; ++w) newlines[w] = lineFeeds64(data + 64 * w);
    std::uint64_t bits = 0;
    for (std::size_t i = 64 * words; i < end; ++i)
        if (data[i] == '\n') bits |= std::uint64_t(1) << (i - 64 * words);
    newlines[words] = bits;
    // Marks of an earlier, longer fill past the end are cleared.
    for (std::size_t w = words + 1; w < markedWords; ++w) newlines[w] = 0;
    markedWords = words + 1;
}

std::int64_t CFdLineFetcher::readLine(std::string& line) {
    std::string_view view;
    const std::int64_t number = getLineView(view);
    line.assign(view.data(), view.size());
    return number;
}

std::int64_t CFdLineFetcher::readLineView(std::string_view& line) {
    // Every case the window leaves: a peeked line, the end, a failure, a NUL
    // byte, a line not whole in the buffer yet or ending far on.
    if (pushedBack) {
        // The peeked line is still in the buffer: nothing was read since.
        line = pending;
        pushedBack = false;
        settle();
        return window_.number;
    }
    if (ended) throw "eof";
    if (failed_ || fd < 0) {
        setFailed(true);
        throw "i/o error";
    }
    std::size_t& pos = window_.pos;
    for (;;) {
        const char* start = buffer.data() + pos;
        const std::size_t avail = end - pos;
        // The line feed may follow the last character that still fits.
        const std::size_t reach = std::min(avail, kMaxLine + 1);
        const void* nl = std::memchr(start, '\n', reach);
        if (zeroCuts_ && nulAt < pos + reach &&
            (!nl || buffer.data() + nulAt < static_cast<const char*>(nl))) {
            skipCut();
            throw "cut";
        }
        if (nl) {
            const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(nl) - start);
            const std::size_t from = pos;
            pos += n + 1;
            ++window_.number;
            if (nulAt < pos) {
                // The NUL is in this line, or in its line feed's place: look for the next one.
                const bool inLine = nulAt < from + n;
                const void* nul = std::memchr(buffer.data() + pos, '\0', end - pos);
                nulAt = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data()) : end;
                settle();
                if (inLine) throw "nul byte";
            }
            line = std::string_view(start, n);
            return window_.number;
        }
        if (avail > kMaxLine) {
            // More than 254 characters before the line feed.
            setFailed(true);
            throw "i/o error";
        }
        // The start of a line: move it to the front and read the rest after it.
        if (pos != 0) {
            std::memmove(buffer.data(), start, avail);
            nulAt -= pos;
            pos = 0;
            end = avail;
            settle();
        }
        if (!fill()) {
            // A last line without line feed is not delivered.
            if (ended) throw "eof";
            throw "i/o error";
        }
    }
}

void CFdLineFetcher::skipCut() {
    std::size_t& pos = window_.pos;
    cutAt_ = window_.number + 1;
    if (nulAt > pos) ++window_.number;
    pos = nulAt;
    // A killed writer leaves up to megabytes of zero bytes: they are read
    // and dropped block by block, never held as a line.
    for (;;) {
        while (pos < end && buffer[pos] == '\0') ++pos;
        if (pos < end) break;
        pos = end = nulAt = 0;
        if (!fill()) break;  // the end or a failure: the next read says so
    }
    const void* nul = std::memchr(buffer.data() + pos, '\0', end - pos);
    nulAt = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - buffer.data()) : end;
    settle();
}

std::int64_t CFdLineFetcher::readPeek(std::string& line) {
    std::string_view view;
    const std::int64_t number = peekLineView(view);
    line.assign(view.data(), view.size());
    return number;
}

std::int64_t CFdLineFetcher::readPeekView(std::string_view& line) {
    if (pushedBack) throw "malfunction";
    const std::int64_t number = getLineView(line);
    pending = line;
    pushedBack = true;
    settle();
    return number;
}

CFileLineFetcher::CFileLineFetcher() : CFdLineFetcher(kFileReadSize) {}

int CFileLineFetcher::attach(const char* path) {
    // A second file on an open source fails and leaves it failed, so every
    // later read throws.
    if (fd >= 0) {
        setFailed(true);
        return -1;
    }
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        setFailed(true);
        return -1;
    }
    setFailed(false);
    return 0;
}

int CFileLineFetcher::attach(int) {
    throw "CFileLineFetcher::attach(int s); called !!!";
}

std::uint64_t splitLine(const std::string& line, std::vector<std::string>& chunks) {
    // Chunks are assigned into the strings already in `chunks`, so a caller
    // that splits line after line with one vector allocates nothing.
    std::size_t n = 0;
    auto put = [&](std::size_t start, std::size_t length) {
        if (n < chunks.size())
            chunks[n].assign(line, start, length);
        else
            chunks.emplace_back(line, start, length);
        ++n;
    };
    if (!line.empty()) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == ' ' || line[i] == '\t') {
                put(start, i - start);
                start = i + 1;
            }
        }
        put(start, line.size() - start);
    }
    chunks.resize(n);
    return n;
}

namespace {
#if defined(__SSE2__)
// Bit i: the byte at p + i is a blank or a tab, for the 16 bytes at p.
inline std::uint64_t separators16(const char* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
    return static_cast<std::uint16_t>(_mm_movemask_epi8(hit));
}
#endif
}  // namespace

std::uint64_t splitLine(std::string_view line, std::string_view* chunks, std::size_t room) {
    if (line.empty()) return 0;
    const char* text = line.data();
    const std::size_t size = line.size();
    std::size_t n = 0, start = 0;
    // found: bit k for a separator at base + k.
    auto cut = [&](std::uint64_t found, std::size_t base) {
        for (; found != 0; found &= found - 1) {
            const std::size_t at = base + static_cast<std::size_t>(__builtin_ctzll(found));
            if (n < room) chunks[n] = std::string_view(text + start, at - start);
            ++n;
            start = at + 1;
        }
    };
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen characters at a time; the rest as the last sixteen of the
    // line, without the ones looked at already.
    for (; i + 16 <= size; i += 16) cut(separators16(text + i), i);
    if (i < size && size >= 16) {
        cut(separators16(text + size - 16) >> (16 - (size - i)), i);
        i = size;
    }
#endif
    for (; i < size; ++i) {
        if (text[i] == ' ' || text[i] == '\t') cut(1, i);
    }
    if (n < room) chunks[n] = std::string_view(text + start, size - start);
    return n + 1;
}
