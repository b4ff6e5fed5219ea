// Shared by the libFuzzer harnesses: a private working folder (the analysis
// writes template.tmp into the current one), the template reader's own
// messages kept off the terminal, and a trap that shows what disagreed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include <unistd.h>

#include <libxml/xmlerror.h>

#include "visible_text.h"

namespace kelfuzz {

inline void dropMessage(void*, const char*, ...) {}

// Called once from LLVMFuzzerInitialize: a fresh folder under /tmp becomes
// the working folder, and libxml2's messages that bypass the SAX callbacks
// are dropped (the ones through the callbacks are captured per run).
inline void enterScratchFolder(const char* harness) {
    std::string name = std::string("/tmp/kel_fuzz_") + harness + "_XXXXXX";
    if (::mkdtemp(name.data()) == nullptr || ::chdir(name.c_str()) != 0) {
        std::perror("kel fuzz: scratch folder");
        std::abort();
    }
    xmlSetGenericErrorFunc(nullptr, dropMessage);
}

// While alive, std::cout and std::cerr write into `text`.
class CapturedStreams {
public:
    CapturedStreams() : out(std::cout.rdbuf(buffer.rdbuf())), err(std::cerr.rdbuf(buffer.rdbuf())) {}
    ~CapturedStreams() {
        std::cout.rdbuf(out);
        std::cerr.rdbuf(err);
    }
    CapturedStreams(const CapturedStreams&) = delete;
    CapturedStreams& operator=(const CapturedStreams&) = delete;
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* out;
    std::streambuf* err;
};

// Writes the whole input to `path` in the working folder.
inline void writeInput(const char* path, std::string_view bytes) {
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::perror("kel fuzz: input file");
        std::abort();
    }
}

// A finding: says what and shows both sides (shortened), then stops so that
// libFuzzer saves the input.
[[noreturn]] inline void trap(const char* what, const std::string& left = "", const std::string& right = "") {
    auto shown = [](const std::string& s) { return visibleText(s.substr(0, 2000)); };
    std::fprintf(stderr, "kel fuzz: %s\n--- first\n%s\n--- second\n%s\n", what, shown(left).c_str(),
                 shown(right).c_str());
    std::fflush(stderr);
    __builtin_trap();
}

}  // namespace kelfuzz
