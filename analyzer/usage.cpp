#include "usage.h"

#include <string>

#include "findings.h"
#include "kel_version.h"
#include "message_line.h"

void printUsage(const char* program, std::ostream& out) {
    line(out, "Usage: ", program, " --file ", "/path/to/tracefile");
    line(out, "Usage: ", program, " --sock ", "host:port");
    line(out, "Usage: ", program, " --version");
    line(out, "Example: ", program, " --file ", "tracefile.out");
    line(out, "Example: ", program, " --sock ", "localhost", ":12345");
    line(out, "Options (in any order):");
    line(out, "  --file TRACE|FOLDER   repeatable: one report over many traces, analysed in parallel;");
    line(out, "                        a FOLDER stands for the files *.trace in it; each trace's output");
    line(out, "                        is introduced by a line \"=== trace I of N: PATH\"");
    line(out, "  --group               one line per finding kind, domain, tor and site with its count,");
    line(out, "                        most frequent first, then a summary; no line per finding");
    line(out, "  --suppressions FILE   hide the findings that match a rule kind:pattern of FILE");
    line(out, "                        (a glob on domain:tor or file:line; * for any kind); repeatable");
    line(out, "  --error-exitcode N    exit with N (1 to 255) when an unsuppressed error or leak remains,");
    line(out, "                        otherwise 0 (without it: 1 after every analysis)");
    line(out, "  --json FILE           write every finding, grouped, to FILE as JSON");
    line(out, "  --sarif FILE          write one result per group to FILE as SARIF 2.1.0");
    line(out, "  --html FILE           write a self-contained HTML report to FILE: summary, a chart of");
    line(out, "                        the live resources over the run, findings, leaks by site");
    line(out, "  --max-occurrences N   list at most N occurrences per group in the JSON (0: all)");
    line(out, "                        and in the HTML report (0: its first 20)");
    line(out, "  --help                print this text");
    line(out, "Example: ", program, " --group --error-exitcode 1 --file kel-heap-*.trace");
    line(out, "Finding kinds:");
    for (std::size_t i = 0; i < kFindingKindCount; ++i) {
        const FindingKindInfo& k = kFindingKinds[i];
        std::string id = k.id;
        id.resize(19, ' ');
        std::string severity = severityName(k.severity);
        severity.resize(9, ' ');
        line(out, "  ", id, severity, k.description);
    }
}

void printVersion(std::ostream& out) { line(out, "KEL v", kelversion::kMajor, kelversion::kMinor, kelversion::kPatch); }
