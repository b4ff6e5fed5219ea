// The state of one analysis, shared by the phases: the trace header's
// template, one handle table per domain, the call sites, the report, and the
// replay's working memory. The record reader fills it, the engines change
// it, the leak report and the driver read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "call_sites.h"
#include "template_reader.h"
#include "handle_table.h"
#include "indexed_table.h"
#include "live_sampler.h"
#include "message_text.h"
#include "report.h"

enum class TorKind { none, allocator, deallocator, reallocator, operator_ };

// The replay's working state, reused from record to record so that a long
// trace allocates nothing per line. The lines are views into the fetcher's
// buffer, valid until the next read; chunks are views into the line last
// cut: the first three chunks, all that a reader looks at.
struct ReplayScratch {
    std::string_view first, second;  // a record's domain and tor lines
    std::int64_t recordLine = 0;     // the trace line of the record's first line
    // A trace cut by zero bytes (the mapped writer's, killed): the line of
    // the first cut, and whether a release cut inside its call was reported.
    std::int64_t cutLine = 0;
    bool diedAtCut = false;
    bool diedAtEnd = false;  // the replay ended in a release the program died in
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
