// The machine-readable results of an analysis: a JSON document that holds
// every finding, and a SARIF 2.1.0 log for code-scanning tools. Both are
// written after the analysis, each through a temporary file in the target's
// folder that is renamed over the target, so a reader never sees half a file.
#pragma once

#include <functional>
#include <iostream>
#include <string>

#include "report.h"

struct ReportContext {
    std::string templateName;  // the name attribute of the trace's template
    std::string trace;         // the trace as the user named it
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
