// Every exit status keltrace can end with, in one place.
#pragma once

#include <cstdint>

enum KeltraceStatus : std::uint8_t {
    // Usage text (no arguments, --help), version; with --error-exitcode, an
    // analysis that left no unsuppressed error or leak.
    statusNoAnalysis = 0,
    // The analysis reached its leak report (findings do not change this,
    // unless --error-exitcode is given).
    statusAnalysed = 1,
    // Nothing could be analysed: the trace cannot be opened, its header does
    // not match or ends early, template.tmp cannot be written, or --sock
    // cannot listen on its host:port.
    statusNotATrace = 2,
    // A command line keltrace cannot run (unknown option, missing value,
    // extra argument, malformed suppressions file), or a --json or --sarif
    // file that cannot be written.
    statusUsage = 2,
    // A malformed reallocator record (-1 and -2 as the shell sees them).
    statusMalformedRealloc = 255,
    statusReallocNotSupported = 254,
};
