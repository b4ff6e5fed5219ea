// keltrace's command line: the options, their parsing, and the run they ask
// for. main only hands argv to parseCommandLine and the result to
// runKeltrace, so the tests can drive both without a process.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "analysis_driver.h"
#include "usage.h"

struct KeltraceCommand {
    enum class Action { usage, version, analyseFile, analyseSock, error };
    Action action = Action::usage;
    std::string source;                         // the (first) trace file, or host:port
    // Every path given with --file, in order: traces, or folders that stand
    // for the *.trace files directly in them.
    std::vector<std::string> files;
    std::string problem;                        // Action::error: what is wrong, one line
    std::vector<std::string> suppressionFiles;  // in the order given
    bool group = false;
    int errorExitcode = 0;  // 0: not given
    std::string jsonPath;
    std::string sarifPath;
    std::string htmlPath;
    std::size_t maxOccurrences = 0;  // 0: all
};

// Options may come in any order, with their value as the next argument or
// after "=" (--json=out.json). --file takes every argument after it up to the
// next one that starts with "-" (so that the shell's --file kel-*.trace
// works), and may be given again; --sock excludes it.
KeltraceCommand parseCommandLine(int argc, const char* const* argv);

// Carries the command out and returns the exit status. program is the name
// the usage text repeats.
int runKeltrace(const KeltraceCommand& command, const char* program, std::ostream& out = std::cout,
                std::ostream& err = std::cerr);
