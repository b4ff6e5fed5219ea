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

// While alive, what goes to std::cout and std::cerr is kept in out() and err().
class CapturedStreams {
public:
    CapturedStreams() : oldOut(std::cout.rdbuf(outBuffer.rdbuf())), oldErr(std::cerr.rdbuf(errBuffer.rdbuf())) {}
    ~CapturedStreams() {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    CapturedStreams(const CapturedStreams&) = delete;
    CapturedStreams& operator=(const CapturedStreams&) = delete;
    std::string out() const { return outBuffer.str(); }
    std::string err() const { return errBuffer.str(); }

private:
    std::ostringstream outBuffer, errBuffer;
    std::streambuf* oldOut;
    std::streambuf* oldErr;
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
