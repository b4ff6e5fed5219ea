// Line input shared by both programs: numbered lines of at most 254
// characters with one line of look-ahead, and the field splitter.
// Failures are thrown as C strings: "eof", "i/o error", "malfunction", and
// "nul byte" for a line that holds a NUL byte: that line is consumed and
// counted (the next read delivers the line after it), but never delivered.
// With zero cuts on, a NUL byte is "cut" instead (see setZeroCuts).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class CVLineFetcher {
public:
    virtual ~CVLineFetcher() = default;
    virtual int attach(const char* path) = 0;
    virtual int attach(int s) = 0;

    std::int64_t getLine(std::string& line) { return delivered_ = readLine(line); }
    std::int64_t peekLine(std::string& line) { return delivered_ = readPeek(line); }
    // The same lines, numbers and failures, handed out as views instead of
    // copies: for a reader that only looks at a line. A view stays valid
    // until the next call of any of these four.
    std::int64_t getLineView(std::string_view& line) {
        // Nearly every line: whole in the source's window, handed out here
        // without a call.
        const std::size_t w = window_.pos / 64, shift = window_.pos % 64;
        std::size_t n;
        if (const std::uint64_t here = window_.marks[w] >> shift) {
            n = static_cast<std::size_t>(__builtin_ctzll(here));
        } else if (const std::uint64_t next = window_.marks[w + 1]) {
            n = 64 - shift + static_cast<std::size_t>(__builtin_ctzll(next));
        } else {
            return delivered_ = readLineView(line);
        }
        if (window_.pos + n >= window_.limit) return delivered_ = readLineView(line);
        line = std::string_view(window_.text + window_.pos, n);
        window_.pos += n + 1;
        return delivered_ = ++window_.number;
    }
    std::int64_t peekLineView(std::string_view& line) { return delivered_ = readPeekView(line); }

    // The number of the line delivered last (0 before the first): a failure
    // carries no number, and a reader names the line after this one.
    std::int64_t lastDelivered() const { return delivered_; }

    // For traces of the mapped writer, whose unused room is zero bytes: a
    // NUL byte ends the line under way, which is consumed (and counted when
    // it holds a character) but not delivered, and the run of NUL bytes after
    // it is skipped however long it is; the read throws "cut", and the next
    // one delivers the line that begins at the next other byte. Off (the
    // default), a NUL byte is "nul byte" as above.
    void setZeroCuts(bool on) { zeroCuts_ = on; }
    // The number of the line where the last cut was found: the cut line's
    // own, or the next line's when the zero bytes began at a line's start;
    // 0 before any cut.
    std::int64_t lastCut() const { return cutAt_; }

protected:
    // The lines a source has read and marked, which getLineView hands out
    // itself: text[pos, limit) holds no NUL byte, and each line feed there
    // has its bit in marks (bit i of marks[w] for text[64 w + i]), up to a
    // zero word after the last. A line is taken when its line feed lies
    // below limit; otherwise the source's readLineView decides. The source
    // keeps pos (the start of the next line) and number (the number of the
    // line taken last) in here as its own, and sets limit to 0 to take every
    // line itself (a look-ahead pending, the end reached, a failure).
    struct Window {
        const char* text = nullptr;
        const std::uint64_t* marks = kNoMarks;
        std::size_t pos = 0, limit = 0;
        std::int64_t number = 0;
    };
    Window window_;
    bool zeroCuts_ = false;
    std::int64_t cutAt_ = 0;

    virtual std::int64_t readLine(std::string& line) = 0;
    virtual std::int64_t readPeek(std::string& line) = 0;
    // These defaults copy through a string of the fetcher's own; a source
    // with a buffer of its own hands out views into it.
    virtual std::int64_t readLineView(std::string_view& line);
    virtual std::int64_t readPeekView(std::string_view& line);

private:
    static const std::uint64_t kNoMarks[2];  // no line feed: an empty window
    std::string held_;
    std::int64_t delivered_ = 0;
};

// Lines read from a descriptor in blocks, their line feeds marked once per
// block (the window above) and the rare cases cut with memchr: the one
// reader behind the file and the socket sources, so that both deliver the
// same lines, numbers and failures. The end of input ("eof") and a failure
// ("i/o error": a line longer than 254 characters, a read error, no source)
// stay: every later read throws again.
class CFdLineFetcher : public CVLineFetcher {
public:
    ~CFdLineFetcher() override;  // closes the descriptor
    CFdLineFetcher(const CFdLineFetcher&) = delete;
    CFdLineFetcher& operator=(const CFdLineFetcher&) = delete;

    // Called before every read from the descriptor, that is before every
    // possible wait for input: a live analysis flushes its output there.
    void setBeforeRead(std::function<void()> hook) { beforeRead = std::move(hook); }

protected:
    // At most `readSize` bytes are asked for per read.
    explicit CFdLineFetcher(std::size_t readSize);

    std::int64_t readLine(std::string& line) override;
    std::int64_t readPeek(std::string& line) override;
    std::int64_t readLineView(std::string_view& line) override;
    std::int64_t readPeekView(std::string_view& line) override;

    int fd = -1;
    void setFailed(bool failed);

private:
    bool fill();  // false at the end of input (ended) or on a read error (failed)
    // The window's limit after any change of the state below.
    void settle();
    // Sets the bits of `newlines` for the line feeds in buffer[0, end).
    void markNewlines();
    // Consumes the line cut by the NUL byte at nulAt and the zero bytes
    // after it, and notes where the cut was found.
    void skipCut();

    std::function<void()> beforeRead;
    std::size_t readSize;
    std::vector<char> buffer;      // unread bytes are buffer[window_.pos, end)
    // Bit i of word w: buffer[64 w + i] is a line feed (below end only), and
    // a zero word after the last: a line is found without a search.
    std::vector<std::uint64_t> newlines;
    std::size_t markedWords = 0;   // the words of newlines that may hold marks
    std::size_t end = 0;
    std::size_t nulAt = 0;         // the first NUL byte at or after pos, or end when there is none
    bool ended = false;
    bool failed_ = false;
    bool pushedBack = false;
    std::string_view pending;      // the line peeked at; in buffer until the next read
};

// A file named by a path.
class CFileLineFetcher : public CFdLineFetcher {
public:
    CFileLineFetcher();

    // 0, or -1 when the file cannot be opened or one is open already; reads
    // then throw "i/o error".
    int attach(const char* path) override;
    int attach(int s) override;  // never returns: files only
};

// Cuts a line at every blank and tab (each one a separator by itself).
// Returns the number of chunks, which is chunks.size() afterwards.
std::uint64_t splitLine(const std::string& line, std::vector<std::string>& chunks);
// The same cut for readers that only look at the first chunks: returns the
// number of chunks and puts the first `room` of them, as views of `line`,
// into chunks[0] and on.
std::uint64_t splitLine(std::string_view line, std::string_view* chunks, std::size_t room);
