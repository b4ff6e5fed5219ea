// The driver of an analysis: it wires the header reader, the record reader,
// the engines, the leak report and the report writers, and turns how the
// analysis ended into the exit status. keltrace's command line (and each
// job of a batch) calls in here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <string>

#include "line_fetchers.h"
#include "keltrace_status.h"
#include "report_html.h"
#include "trace_analysis.h"

// What a run does beyond the plain analysis: the report's settings, the
// files written after it, and the status convention.
struct AnalysisOptions {
    ReportSettings report;
    std::string traceName;  // the trace as the user named it (path or host:port)
    std::string jsonPath;   // empty: no JSON file
    std::string sarifPath;  // empty: no SARIF file
    std::string htmlPath;   // empty: no HTML report (and no sampling of the live resources)
    std::size_t htmlOccurrences = kHtmlOccurrences;  // occurrences the page lists per group
    int errorExitcode = 0;  // 1 to 255: the status when an unsuppressed error remains (else 0); 0: always 1
    // A file is read to its end: lines after the closing line (processes
    // that shared one trace file, each closing it) make the analysis
    // incomplete. Not for a socket, whose end may come much later.
    bool readToEnd = false;
};

// Writes the JSON, SARIF and HTML files that the options ask for, each
// through a temporary file; false when one could not be written (said on
// `err`). `page.names` is the context of all three; the page's options are
// taken from `options`.
bool writeReportFiles(const AnalysisOptions& options, const Report& report, HtmlContext page, std::ostream& err);

// How one analysis ended: what its report writers and the exit status need
// to know besides the findings.
struct TraceOutcome {
    std::uint8_t status = statusAnalysed;  // before the --error-exitcode convention
    bool header = true;                    // false: the header could not be read, nothing was analysed
    bool leakReport = true;                // false: a malformed record ended the run before the leak report
    std::int64_t incompleteAt = 0;         // > 0: the replay stopped on a malformed record at this trace line
    bool notClosed = false;                // the trace ends without its closing line (crash, _exit, kill)
    bool incomplete() const { return !header || incompleteAt > 0; }
};

// "incomplete at trace line N", "the program ended without closing the
// trace", or nothing: what the summaries and the report files say about how
// the analysis ended.
std::string outcomeNote(const TraceOutcome& outcome);

// The replay: record after record through the reader and the engines. True
// when it ended at the closing line, false for any other end.
bool replayRecords(CVLineFetcher& fetcher, TraceAnalysis& analysis);

// Runs header, replay and leak report over an attached fetcher and returns
// the exit status (see keltrace_status.h).
std::uint8_t runAnalysis(CVLineFetcher& fetcher, const HandleTableFactory& tables = indexedTables(),
                         std::ostream& out = std::cout, std::ostream& err = std::cerr);
// The same with report options: after the leak report it prints the grouped
// view (--group), writes the JSON and SARIF files, and applies the
// --error-exitcode convention. A file that cannot be written gives
// statusUsage after one message on err.
std::uint8_t runAnalysis(CVLineFetcher& fetcher, const AnalysisOptions& options,
                         const HandleTableFactory& tables = indexedTables(), std::ostream& out = std::cout,
                         std::ostream& err = std::cerr);

// The three phases over an attached fetcher, into an analysis the caller
// made (its streams and settings). Prints the findings and complaints, and
// after a replay that stopped on a malformed record one line that says so;
// prints no grouped view and writes no file.
TraceOutcome analyseTrace(CVLineFetcher& fetcher, TraceAnalysis& analysis, const AnalysisOptions& options);

// The exit status of one analysis under the --error-exitcode convention.
std::uint8_t judgedStatus(const TraceOutcome& outcome, const Report& report, int errorExitcode);

// Attaches the fetcher to a trace file; on failure (missing, a directory,
// no permission) writes one message naming the path and the reason to err.
bool attachTrace(CFileLineFetcher& fetcher, const char* path, std::ostream& err = std::cerr);
