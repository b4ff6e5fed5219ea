// The floor of any analysis: read every line of a trace through the same
// line source keltrace uses, and nothing else.
#include <cstdio>
#include <cstring>
#include <string>

#include "ccloader.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s tracefile\n", argv[0]);
        return 2;
    }
    CFileLineFetcher fetcher;
    if (fetcher.attach(argv[1]) != 0) {
        std::fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[1]);
        return 2;
    }
    std::string line;
    std::int64_t lines = 0;
    unsigned long long bytes = 0;
    try {
        for (;;) {
            lines = fetcher.getLine(line);
            bytes += line.size() + 1;
        }
    } catch (const char* end) {
        if (std::strcmp(end, "eof") != 0) {
            std::fprintf(stderr, "%s: %s after line %lld\n", argv[0], end, static_cast<long long>(lines));
            return 1;
        }
    }
    std::printf("lines %lld bytes %llu\n", static_cast<long long>(lines), bytes);
    return 0;
}
