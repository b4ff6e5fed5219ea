// Line input shared by both programs: numbered lines of at most 254
// characters with one line of look-ahead, and the field splitter.
// Failures are thrown as C strings: "eof", "i/o error", "malfunction", and
// "nul byte" for a line that holds a NUL byte: that line is consumed and
// counted (the next read delivers the line after it), but never delivered.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

class CVLineFetcher {
public:
    virtual ~CVLineFetcher() = default;
    virtual int attach(const char* path) = 0;
    virtual int attach(int s) = 0;
    virtual std::int64_t getLine(std::string& line) = 0;
    virtual std::int64_t peekLine(std::string& line) = 0;
};

class CFileLineFetcher : public CVLineFetcher {
public:
    CFileLineFetcher();
    ~CFileLineFetcher() override;

    int attach(const char* path) override;
    int attach(int s) override;  // never returns: files only
    std::int64_t getLine(std::string& line) override;
    std::int64_t peekLine(std::string& line) override;

private:
    bool pushedBack;
    char lineBuffer[255];
    std::ifstream file;
    std::int64_t lineNumber;
};

// Cuts a line at every blank and tab (each one a separator by itself).
// Returns the number of chunks, which is chunks.size() afterwards.
std::uint64_t splitLine(const std::string& line, std::vector<std::string>& chunks);
