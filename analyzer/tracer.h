// keltrace's analysis: the trace header with its embedded template, the
// replay of every record through the handle tracking engines, the leak
// report, and the driver that runs the three phases. main
// (keltrace_main.cpp) only parses the command line and calls into here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "line_fetchers.h"
#include "template_reader.h"
#include "call_sites.h"
#include "handle_table.h"
#include "indexed_table.h"
#include "keltrace_status.h"
#include "live_sampler.h"
#include "message_text.h"
#include "report.h"
#include "report_html.h"

enum class TorKind { none, allocator, deallocator, reallocator, operator_ };

// The replay's working state, reused from record to record so that a long
// trace allocates nothing per line. The lines are views into the fetcher's
// buffer, valid until the next read; chunks are views into the line last
// cut: the first three chunks, all that a reader looks at.
struct ReplayScratch {
    std::string_view first, second;  // a record's domain and tor lines
    std::int64_t recordLine = 0;     // the trace line of the record's first line
    std::string file;                // its call site's file, kept while the line after it is read
    std::string_view lineA, lineB;   // the body's lines
    std::string_view chunks[3];
    std::vector<RecordId> matches;
    HandleRecord record;
    MessageText message;             // complaints on err and out
    std::string header;              // the header's lines
    // The tors of the records replayed last, newest first: a program calls a
    // few tors over and over, and comparing with these settles their names
    // without searching the domain's lists.
    struct RecentTor {
        std::size_t domain;
        const Tor* tor;  // null: none yet
        TorKind kind;
    };
    static constexpr std::size_t kRecentTors = 2;
    RecentTor recentTors[kRecentTors] = {};
    // The text after the handle of the "never operated" warnings written
    // last, by what it names: most releases of a program that does not use
    // its blocks give one, from a few places, differing only in the handle.
    struct WarningTail {
        bool used = false;
        std::size_t domain = 0;
        std::string tor;
        SiteId call = kNoSite, allocated = kNoSite;
        MessageText text;
    };
    static constexpr std::size_t kWarningTails = 4;
    WarningTail neverUsedTails[kWarningTails];
    std::size_t nextTail = 0;  // the one replaced next
};

// The whole state of one analysis. Table i belongs to domain i of tmpl.
// Every message of the analysis goes to out or err, so a caller can capture
// a run in memory; every finding goes through report, which prints it on out.
struct TraceAnalysis {
    explicit TraceAnalysis(HandleTableFactory tableFactory = indexedTables(), std::ostream& outStream = std::cout,
                           std::ostream& errStream = std::cerr, ReportSettings reportSettings = {});

    std::vector<std::unique_ptr<HandleTable>> tables;
    Template tmpl;
    HandleTableFactory makeTable;
    std::ostream& out;
    std::ostream& err;
    Report report;
    SiteTable sites;
    ReplayScratch scratch;
    // The live resources over the run, for --html only: the engines and the
    // replay report to it when it exists.
    std::unique_ptr<LiveSampler> live;
    // Where readHeader writes the embedded template before loading it:
    // analyses that run side by side each need their own.
    std::string templateFile = "template.tmp";
};

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

// Ends the analysis at once with this exit status; no leak report follows.
struct AnalysisExit {
    std::uint8_t status;
};

// A trace field that should be hexadecimal and is not.
struct MalformedField {
    std::string text;
    std::string reason;  // what parseHex threw
};

// Whether a domain's handles may point inside its blocks: interior="true" on
// a domain with sizes. Its table then keeps address ranges.
bool rangesMatter(const Domain& domain);

// ---------------------------------------------------------------- header

// Checks the two header lines, copies the embedded template to template.tmp,
// loads it and makes one empty table per domain. False when a header line
// does not match. Throws AnalysisExit when template.tmp cannot be written;
// the fetcher's "eof" / "i/o error" pass through.
bool readHeader(CVLineFetcher& fetcher, TraceAnalysis& analysis);

// ---------------------------------------------------------------- replay

// True when the replay ended at the closing line, false for any other end.
bool replayRecords(CVLineFetcher& fetcher, TraceAnalysis& analysis);

bool findDomain(const TraceAnalysis& analysis, std::string_view name, std::size_t& domain);
TorKind findTorKind(const TraceAnalysis& analysis, std::size_t domain, const std::string& name);
// The file and line lines of a record, interned in the analysis's sites.
SiteId readCallSite(CVLineFetcher& fetcher, TraceAnalysis& analysis);

bool readAllocatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                         std::size_t domain, HandleRecord& record);
bool readDeallocatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                           std::size_t domain, HandleRecord& record);
bool readOperatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor);

// ---------------------------------------------------------------- engines

void AllocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                     const HandleRecord& record);
void DeallocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                       const HandleRecord& record);
bool OperatorEngine(TraceAnalysis& analysis, std::size_t domain, HandleState state, std::uint64_t handle,
                    const std::string& tor, SiteId site);
// Reads the rest of a reallocator record itself: the old handle's line, then
// one of the two cases below. False ends the replay; malformed records throw
// AnalysisExit (255 or 254).
bool ReallocatorEngine(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                       std::size_t domain, HandleRecord& record);
// realloc(p, n) for a p its wrapper called BAD (NULL): a fresh allocation.
bool reallocFromBadHandle(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                          std::size_t domain, HandleRecord& record);
// realloc(p, n) for a valid p: the tracked block moves, grows or is freed.
bool reallocValidHandle(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                        std::size_t domain, HandleRecord& record, std::string_view oldHandle);

// ---------------------------------------------------------------- report

// Reports every resource still live; always true.
bool postTransactionAnalyzer(TraceAnalysis& analysis);

// ---------------------------------------------------------------- driver

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

// The five usage lines, then the options and the finding kinds.
void printUsage(const char* program, std::ostream& out = std::cout);
// "0.9.02": the version as --version prints it after "KEL v".
std::string keltraceVersion();
void printVersion(std::ostream& out = std::cout);
