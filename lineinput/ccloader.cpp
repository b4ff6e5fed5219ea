// Line input: a file read line by line through a fixed 255-byte buffer, and
// the splitter that cuts trace lines into fields.
#include "ccloader.h"

#include <cstring>

CFileLineFetcher::CFileLineFetcher() : pushedBack(false), lineBuffer{}, lineNumber(0) {}

CFileLineFetcher::~CFileLineFetcher() = default;

int CFileLineFetcher::attach(const char* path) {
    // Opening a second file on an open stream fails and leaves it failed,
    // so every later read throws.
    file.open(path, std::ios::in);
    if (file.fail()) return -1;
    file.clear();
    return 0;
}

int CFileLineFetcher::attach(int) {
    throw "CFileLineFetcher::attach(int s); called !!!";
}

std::int64_t CFileLineFetcher::getLine(std::string& line) {
    if (pushedBack) {
        line.assign(lineBuffer);
        pushedBack = false;
        return lineNumber;
    }
    // A stream never opened would report end of file; it is an error.
    if (!file.is_open()) {
        file.setstate(std::ios::failbit);
        throw "i/o error";
    }
    lineBuffer[0] = '\0';
    // Reads at most 254 characters up to the line feed, which is consumed.
    file.getline(lineBuffer, sizeof lineBuffer);
    // End of file first: a last line without a line feed is not delivered.
    if (file.eof()) throw "eof";
    if (file.fail()) throw "i/o error";
    ++lineNumber;
    // gcount counts the line feed too; a shorter text means a NUL inside.
    if (std::strlen(lineBuffer) + 1 != static_cast<std::size_t>(file.gcount())) throw "nul byte";
    line.assign(lineBuffer);
    return lineNumber;
}

std::int64_t CFileLineFetcher::peekLine(std::string& line) {
    if (pushedBack) throw "malfunction";
    const std::int64_t number = getLine(line);
    pushedBack = true;
    return number;
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
