// The machine-readable results of an analysis: a JSON document that holds
// every finding, and a SARIF 2.1.0 log for code-scanning tools. Both are
// written after the analysis, each through a temporary file in the target's
// folder that is renamed over the target, so a reader never sees half a file.
#pragma once

#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "report.h"

// How one of many traces went, for the files of a report over all of them.
struct TraceSummary {
    std::string trace;         // as the user named it (or found it in a folder)
    std::string templateName;  // empty when the header could not be read
    bool incomplete = false;
    std::string note;          // outcomeNote: empty for a complete, closed trace
};

struct ReportContext {
    std::string templateName;  // the name attribute of the trace's template
    std::string trace;         // the trace as the user named it
    // How the analysis ended (outcomeNote); empty: completely, with the
    // trace closed. Said only when not empty, so a plain run's files stay
    // as they were.
    std::string note;
    bool incomplete = false;   // the replay stopped early: never a pass
    // A report over many traces: one entry per trace, in the order named.
    // Empty for a single trace.
    std::vector<TraceSummary> traces;
};

// The JSON document: template, trace, summary, and one entry per group with
// its occurrences (the first maxOccurrences of each, when capped).
void writeJson(std::ostream& out, const Report& report, const ReportContext& context);

// The SARIF log: one rule per finding kind, one result per group.
void writeSarif(std::ostream& out, const Report& report, const ReportContext& context);

// Lets write fill a temporary file beside path, then renames it over path.
// False after one message on err that names the path and the reason; the
// temporary file is removed then.
bool writeFileAtomically(const std::string& path, const std::function<void(std::ostream&)>& write,
                         std::ostream& err);
