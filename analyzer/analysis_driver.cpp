#include "analysis_driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "analysis_messages.h"
#include "engines.h"
#include "leak_report.h"
#include "record_reader.h"
#include "report_files.h"
#include "trace_header.h"
#include "trace_protocol.h"

namespace {

// One record through the engines, each part of it read just before the
// engine that needs it. False ends the replay.
bool replayCall(RecordReader& reader, TraceAnalysis& analysis, const RecordHead& head) {
    const std::string& tor = *head.tor;
    const SiteId site = head.site;
    const std::size_t domain = head.domain;
    HandleRecord& record = analysis.scratch.record;
    record = HandleRecord();  // empty sites, no handle or size, valid, allocated
    switch (head.torKind) {
        case TorKind::allocator:
            if (!reader.readAllocatorRecord(head, record)) return false;
            record.tor = analysis.report.torId(tor);
            AllocatorEngine(analysis, site, tor, domain, record);
            return true;
        case TorKind::operator_: {
            OperatedHandle operated;
            bool malformed = false;
            while (reader.readOperatorRecord(operated, malformed))
                OperatorEngine(analysis, operated.domain, operated.state, operated.handle, tor, site);
            return !malformed;
        }
        case TorKind::reallocator: {
            const ReallocHead realloc = reader.readReallocHead();
            return ReallocatorEngine(analysis, site, tor, domain, record, realloc, reader);
        }
        case TorKind::deallocator: {
            ReleaseCall call;
            if (!reader.readDeallocatorRecord(head, record, call)) return false;
            // Applied before the outcome is read: the program may have died
            // inside the call, and the release is what it was doing.
            DeallocatorEngine(analysis, site, tor, domain, record);
            switch (reader.readReleaseOutcome()) {
                case ReleaseOutcome::died:
                    releaseDied(analysis, site, tor, domain, record, call.writtenText());
                    analysis.scratch.diedAtEnd = true;
                    return false;
                case ReleaseOutcome::cut:
                    releaseDied(analysis, site, tor, domain, record, call.writtenText());
                    analysis.scratch.diedAtCut = true;
                    return true;
                case ReleaseOutcome::malformed:
                    return false;
                case ReleaseOutcome::failed:
                    releaseFailed(analysis, site, tor, domain, record);
                    break;
                case ReleaseOutcome::succeeded:
                    break;
            }
            return reader.readReleaseEnd();
        }
        case TorKind::none:
            break;
    }
    return false;
}

}  // namespace

bool replayRecords(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    RecordReader reader(fetcher, analysis);
    // The mapped writer leaves zero bytes where a killed run stopped
    // writing: there a record ends, and the replay goes on after them.
    // The socket writer never maps, so its traces keep the plain rule.
    const bool zeroCuts = analysis.tmpl.mapped_records && !analysis.tmpl.remote_mode;
    fetcher.setZeroCuts(zeroCuts);
    for (;;) {
        try {
            const RecordHead head = reader.readHead();
            switch (head.kind) {
                case RecordHead::Kind::done:
                    return true;
                case RecordHead::Kind::fork:
                    forkCalled(analysis, head.site);
                    return false;
                case RecordHead::Kind::invalid:
                    return false;
                case RecordHead::Kind::call:
                    if (!replayCall(reader, analysis, head)) return false;
                    break;
            }
        } catch (const char* failure) {
            // A record cut short is a call that had not returned, or whose
            // record was still being copied: what it says is unknown, and
            // it is dropped.
            if (!zeroCuts || std::strcmp(failure, "cut") != 0) throw;
        }
        if (analysis.scratch.cutLine == 0) analysis.scratch.cutLine = fetcher.lastCut();
    }
}

namespace {

const char* const kUnreadable = "cannot be read: longer than 254 characters, or a read error";
// A NUL byte would cut the line short and change what it says (a handle, a
// file name), so the line is refused whole.
const char* const kNulByte = "malformed: the line holds a NUL byte";

// Findings after which the replay stops by design: what follows them is not
// malformed, and the analysis is not incomplete for them.
bool endsReplay(FindingKind kind) {
    return kind == FindingKind::fork || kind == FindingKind::reallocUntracked;
}

const char* const kNotClosed = "the program ended without closing the trace";
const char* const kEndsWithoutDone =
    "the trace ends without \"KEL TRACING DONE\": the program ended without closing the trace";

// After the closing line a trace file should end. Processes that inherited
// one trace file across fork() each write their records and their closing
// line into it: what follows the first closing line was not replayed.
template <class Stopped>
void linesAfterEnd(CVLineFetcher& fetcher, TraceAnalysis& analysis, Stopped& stopped) {
    const std::int64_t end = fetcher.lastDelivered();
    std::string_view more;
    try {
        do fetcher.getLineView(more);
        while (more.empty());
    } catch (const char*) {
        return;  // the end of the file, or nothing readable after the end
    }
    complainAt(analysis, fetcher.lastDelivered(), "more lines follow \"", kelproto::kDone,
               "\" (did several processes write to this trace file?)");
    analysis.scratch.recordLine = 0;
    stopped(end);
}

}  // namespace

std::string outcomeNote(const TraceOutcome& outcome) {
    if (!outcome.header) return "the trace's header could not be read: nothing was analysed";
    if (outcome.incompleteAt > 0) return "incomplete at trace line " + std::to_string(outcome.incompleteAt);
    if (outcome.notClosed) return kNotClosed;
    return "";
}

TraceOutcome analyseTrace(CVLineFetcher& fetcher, TraceAnalysis& analysis, const AnalysisOptions& options) {
    TraceOutcome outcome;
    // A read failure names the line after the last one delivered.
    auto unread = [&](const char* failure, const char* atEnd) {
        if (std::strcmp(failure, "eof") == 0) {
            complainAt(analysis, fetcher.lastDelivered() + 1, atEnd);
        } else if (std::strcmp(failure, "nul byte") == 0) {
            complainAt(analysis, fetcher.lastDelivered() + 1, kNulByte);
        } else {
            complainAt(analysis, fetcher.lastDelivered() + 1, kUnreadable);
        }
    };
    // The frozen message of the record has been written; this line says
    // what it means for the findings.
    auto stopped = [&](std::int64_t number) {
        outcome.incompleteAt = number > 0 ? number : 1;
        const std::int64_t record = analysis.scratch.recordLine;
        if (record > 0 && record < outcome.incompleteAt) {
            complain(analysis, "keltrace: the replay stopped at trace line ", outcome.incompleteAt,
                     ", in the record that begins at line ", record,
                     ": the findings are incomplete (the records after it were not analysed)");
        } else {
            complain(analysis, "keltrace: the replay stopped at trace line ", outcome.incompleteAt,
                     ": the findings are incomplete (the records after it were not analysed)");
        }
    };
    bool header;
    try {
        header = readHeader(fetcher, analysis);
    } catch (const char* failure) {
        // Nothing has been replayed yet, so there is nothing to report.
        unread(failure, fetcher.lastDelivered() < 2 ? "the trace ends inside its header"
                                                    : "the trace ends inside its embedded template (no line \"</template>\")");
        header = false;
    } catch (const AnalysisExit& exit) {
        // readHeader has said what went wrong (template.tmp, a template
        // without end).
        outcome.header = false;
        outcome.leakReport = false;
        outcome.status = exit.status;
        return outcome;
    }
    if (!header) {
        complain(analysis, frozen::noHeader);
        outcome.header = false;
        outcome.leakReport = false;
        outcome.status = statusNotATrace;
        return outcome;
    }
    if (!options.htmlPath.empty()) analysis.live = std::make_unique<LiveSampler>(analysis.tmpl.domains.size());
    // A trace cut by zero bytes is a run that died, whatever follows the
    // cuts: one message names the first, unless a release cut inside its
    // call has been reported already, which says the same.
    auto cutRun = [&]() {
        outcome.notClosed = true;
        if (!analysis.scratch.diedAtCut) complainAt(analysis, analysis.scratch.cutLine, kEndsWithoutDone);
    };
    try {
        try {
            if (replayRecords(fetcher, analysis)) {
                if (fetcher.lastCut() > 0) cutRun();
                if (options.readToEnd) linesAfterEnd(fetcher, analysis, stopped);
            } else {
                // A release cut inside its call (a mapped trace) is no end:
                // only the one the trace ends in is.
                const FindingKind* last = analysis.report.lastKind();
                if (analysis.scratch.diedAtEnd) {
                    outcome.notClosed = true;
                } else if (!last || !endsReplay(*last)) {
                    stopped(fetcher.lastDelivered());
                }
            }
        } catch (const char* failure) {
            if (std::strcmp(failure, "eof") == 0 && fetcher.lastCut() > 0) {
                cutRun();
            } else if (std::strcmp(failure, "eof") == 0) {
                // The leak report is most useful exactly when the program died.
                unread(failure, kEndsWithoutDone);
                outcome.notClosed = true;
            } else {
                unread(failure, "");
                stopped(fetcher.lastDelivered() + 1);
            }
        } catch (const MalformedField& bad) {
            complainAt(analysis, fetcher.lastDelivered(), "'", Quoted{bad.text},
                       "' is not a hexadecimal field of 1 to 16 upper-case digits (", bad.reason, ")");
            stopped(fetcher.lastDelivered());
        }
    } catch (const AnalysisExit& exit) {
        // A reallocator record the replay cannot go past: no leak report.
        outcome.status = exit.status;
        outcome.leakReport = false;
        stopped(fetcher.lastDelivered());
    }
    if (outcome.leakReport) postTransactionAnalyzer(analysis);
    analysis.report.flushLines();
    if (analysis.live) analysis.live->finish();
    return outcome;
}

std::uint8_t judgedStatus(const TraceOutcome& outcome, const Report& report, int errorExitcode) {
    if (!outcome.leakReport || errorExitcode == 0) return outcome.status;
    // An analysis that stopped early is never a pass: what it did not read
    // may hold any error.
    const bool failed = report.totals().errors > 0 || outcome.incomplete();
    return static_cast<std::uint8_t>(failed ? errorExitcode : 0);
}

std::uint8_t runAnalysis(CVLineFetcher& fetcher, const HandleTableFactory& tables, std::ostream& out,
                         std::ostream& err) {
    return runAnalysis(fetcher, AnalysisOptions{}, tables, out, err);
}

std::uint8_t runAnalysis(CVLineFetcher& fetcher, const AnalysisOptions& options, const HandleTableFactory& tables,
                         std::ostream& out, std::ostream& err) {
    TraceAnalysis analysis(tables, out, err, options.report);
    const TraceOutcome outcome = analyseTrace(fetcher, analysis, options);
    if (!outcome.header) return outcome.status;
    std::uint8_t status = judgedStatus(outcome, analysis.report, options.errorExitcode);
    Report& report = analysis.report;
    const std::string note = outcomeNote(outcome);
    if (report.settings().group) report.printGroups(out, note);
    out.flush();

    HtmlContext page;
    page.names.templateName = analysis.tmpl.name;
    page.names.trace = options.traceName;
    page.names.note = note;
    page.names.incomplete = outcome.incomplete();
    for (const Domain& d : analysis.tmpl.domains) {
        page.domains.push_back(d.name);
        page.sized.push_back(d.float_handle);
    }
    page.live = analysis.live.get();
    page.leakReport = outcome.leakReport;
    if (!writeReportFiles(options, report, page, err)) status = statusUsage;
    return status;
}

bool writeReportFiles(const AnalysisOptions& options, const Report& report, HtmlContext page, std::ostream& err) {
    bool written = true;
    if (!options.jsonPath.empty())
        written &= writeFileAtomically(options.jsonPath, [&](std::ostream& o) { writeJson(o, report, page.names); }, err);
    if (!options.sarifPath.empty())
        written &=
            writeFileAtomically(options.sarifPath, [&](std::ostream& o) { writeSarif(o, report, page.names); }, err);
    if (!options.htmlPath.empty()) {
        page.errorExitcode = options.errorExitcode;
        page.occurrences = options.htmlOccurrences;
        written &= writeFileAtomically(options.htmlPath, [&](std::ostream& o) { writeHtml(o, report, page); }, err);
    }
    return written;
}

bool attachTrace(CFileLineFetcher& fetcher, const char* path, std::ostream& err) {
    // The fetcher itself cannot tell why a file is unusable (and opens a
    // directory without complaint), so look first.
    int reason = 0;
    int fd = ::open(path, O_RDONLY);
    if (fd < 0) {
        reason = errno;
    } else {
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            reason = errno;
        } else if (S_ISDIR(st.st_mode)) {
            reason = EISDIR;
        }
        ::close(fd);
    }
    if (reason == 0 && fetcher.attach(path) != 0) reason = errno != 0 ? errno : EIO;
    if (reason != 0) {
        MessageText m;
        writeMessage(m, err, "keltrace: cannot open trace file '", Quoted{path}, "': ", std::strerror(reason));
        return false;
    }
    return true;
}

