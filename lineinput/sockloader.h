// A line source over an open descriptor, normally a connected TCP socket on
// which a traced program in remote mode sends its trace. It delivers the
// same lines, numbers and failures as CFileLineFetcher does for a file
// (both are CFdLineFetcher): "eof" when the peer closes (a last line without
// line feed is not delivered), "i/o error" for a line longer than 254
// characters or a read error, "malfunction" for a second look-ahead, and
// "nul byte" for a line holding a NUL byte. Lines are handed out as soon as
// they arrive.
#pragma once

#include <cstddef>

#include "line_fetchers.h"

class CSockLineFetcher : public CFdLineFetcher {
public:
    // `bufferSize` bytes are read from the descriptor at most per read.
    explicit CSockLineFetcher(std::size_t bufferSize = 64 * 1024);

    // Paths are not this source's business: -1, and every read fails.
    int attach(const char* path) override;
    // Takes ownership of `s`. -1 for a descriptor that is not open or when
    // one is already attached; reads then fail with "i/o error".
    int attach(int s) override;
};
