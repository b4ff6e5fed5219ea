// The yardstick of any analysis: read every line of a trace through
// std::getline into a std::string from an std::ifstream, and nothing else.
// It stays this plain on purpose, whatever line source keltrace uses, so
// that ratios to it mean the same from one version to the next.
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s tracefile\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open %s\n", argv[0], argv[1]);
        return 2;
    }
    std::string line;
    unsigned long long lines = 0, bytes = 0;
    while (std::getline(in, line)) {
        ++lines;
        bytes += line.size() + 1;
    }
    if (in.bad()) {
        std::fprintf(stderr, "%s: read error after line %llu\n", argv[0], lines);
        return 1;
    }
    std::printf("lines %llu bytes %llu\n", lines, bytes);
    return 0;
}
