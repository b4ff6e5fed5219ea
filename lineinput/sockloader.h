// A line source over an open descriptor, normally a connected TCP socket on
// which a traced program in remote mode sends its trace. It delivers the
// same lines, numbers and failures as CFileLineFetcher does for a file:
// lines of at most 254 characters, "eof" when the peer closes (a last line
// without line feed is not delivered), "i/o error" for a longer line or a
// read error, after which the source stays failed, "malfunction" for a
// second look-ahead, and "nul byte" for a line holding a NUL byte (consumed
// and counted, not delivered). Lines are handed out as soon as they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ccloader.h"

class CSockLineFetcher : public CVLineFetcher {
public:
    // `bufferSize` bytes are read from the descriptor at most per read.
    explicit CSockLineFetcher(std::size_t bufferSize = 64 * 1024);
    ~CSockLineFetcher() override;  // closes the attached descriptor

    CSockLineFetcher(const CSockLineFetcher&) = delete;
    CSockLineFetcher& operator=(const CSockLineFetcher&) = delete;

    // Paths are not this source's business: -1, and every read fails.
    int attach(const char* path) override;
    // Takes ownership of `s`. -1 for a descriptor that is not open or when
    // one is already attached; reads then fail with "i/o error".
    int attach(int s) override;
    std::int64_t getLine(std::string& line) override;
    std::int64_t peekLine(std::string& line) override;

private:
    bool fill();  // false at end of input (eof_) or on a read error (failed_)

    bool pushedBack;
    char lineBuffer[255];
    int fd;
    std::vector<char> buffer;
    std::size_t pos = 0, end = 0;  // unread bytes are buffer[pos, end)
    bool eof_ = false;
    bool failed_ = false;
    std::int64_t lineNumber;
};
