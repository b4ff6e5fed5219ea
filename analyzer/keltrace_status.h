// Every exit status keltrace can end with, in one place.
#pragma once

#include <cstdint>

enum KeltraceStatus : std::uint8_t {
    // Usage text, version.
    statusNoAnalysis = 0,
    // The analysis reached its leak report (findings do not change this).
    statusAnalysed = 1,
    // Nothing could be analysed: the trace cannot be opened, its header does
    // not match or ends early, template.tmp cannot be written, or --sock
    // cannot listen on its host:port.
    statusNotATrace = 2,
    // A malformed reallocator record (-1 and -2 as the shell sees them).
    statusMalformedRealloc = 255,
    statusReallocNotSupported = 254,
};
