// Many traces in one run: every process of a test suite leaves its own
// trace, and one report covers them all. Each trace is analysed on its own
// (own TraceAnalysis, own template file, own streams), several at a time;
// what each printed is then written in the order the traces were named, so
// the output does not depend on which analysis finished first. The findings
// of all are then reported together: --group, the files, --error-exitcode.
// Called by runKeltrace.
#pragma once

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "analysis_driver.h"

// The traces a list of --file paths stands for: a folder stands for every
// regular file directly in it whose name ends in ".trace", in name order;
// any other path for itself. `many` is true when the run is over many
// traces: more than one path, or a folder. False, after one message on err,
// when a folder cannot be read or the list comes to no trace at all.
bool listTraces(const std::vector<std::string>& paths, std::vector<std::string>& traces, bool& many,
                std::ostream& err);

// Analyses the traces with up to `threads` at a time (1: one after the
// other, in this thread) and writes the report over all of them. Each
// trace's output is introduced by one line on out:
//   === trace I of N: PATH
// A trace that cannot be opened or read is reported there and does not stop
// the others. Exit status: with errorExitcode, that code when an
// unsuppressed error remains or any analysis is incomplete, else 0; without
// it, the status of the first trace that did not end with statusAnalysed,
// else statusAnalysed; statusUsage when a file cannot be written.
std::uint8_t runTraces(const std::vector<std::string>& traces, const AnalysisOptions& options, unsigned threads,
                       std::ostream& out = std::cout, std::ostream& err = std::cerr);
