#include "tracer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string_view>

#include "kel_version.h"
#include "keltrace_status.h"
#include "message_line.h"
#include "report_files.h"
#include "same_text.h"
#include "trace_protocol.h"
#include "utils_numeric.h"
#include "visible_text.h"

namespace {

// The protocol's fixed texts as views: comparing a line with one of them
// checks the length first, which settles most comparisons at once.
namespace fixed {
constexpr std::string_view done = kelproto::kDone;
constexpr std::string_view templateEnd = kelproto::kTemplateEnd;
constexpr std::string_view forkCall = kelproto::kForkCall;
constexpr std::string_view ok = kelproto::kOK;
constexpr std::string_view bad = kelproto::kBAD;
constexpr std::string_view nothing = kelproto::kNothing;
constexpr std::string_view voidMarker = kelproto::kVoid;
constexpr std::string_view okPrefix = kelproto::kOKPrefix;
constexpr std::string_view badPrefix = kelproto::kBADPrefix;
}  // namespace fixed

// ---------------------------------------------------------------- messages
// Every message that is not a finding is written here. Findings go through
// the report, which writes them to out without a flush; a message on err
// flushes out first, so that the two streams keep their order on a shared
// terminal.

template <class... P>
void writeMessage(MessageText& m, std::ostream& to, const P&... pieces) {
    m.clear();
    (m << ... << pieces);
    m.writeLine(to);
    to.flush();
}

// A message on out (the texts the analysis has always printed there), after
// the findings before it.
template <class... P>
void say(TraceAnalysis& a, const P&... pieces) {
    a.report.flushLines();
    writeMessage(a.scratch.message, a.out, pieces...);
}

// A complaint about the trace on err.
template <class... P>
void complain(TraceAnalysis& a, const P&... pieces) {
    a.report.flushLines();
    a.out.flush();
    writeMessage(a.scratch.message, a.err, pieces...);
}

// The messages of keltrace's own about one line of the trace.
template <class... P>
void complainAt(TraceAnalysis& a, std::int64_t number, const P&... pieces) {
    complain(a, "keltrace: line ", number, ": ", pieces...);
}

const char* const kUnreadable = "cannot be read: longer than 254 characters, or a read error";
// A NUL byte would cut the line short and change what it says (a handle, a
// file name), so the line is refused whole.
const char* const kNulByte = "malformed: the line holds a NUL byte";

std::uint64_t hexField(std::string_view text) {
    try {
        return parseHex(text.data(), text.size());
    } catch (const char* reason) {
        throw MalformedField{std::string(text), reason};
    }
}

HandleTable& tableOf(TraceAnalysis& a, std::size_t domain) { return *a.tables[domain]; }
const Domain& domainOf(const TraceAnalysis& a, std::size_t domain) { return a.tmpl.domains[domain]; }
const CallSite* siteOf(const TraceAnalysis& a, SiteId id) { return &a.sites.site(id); }

// The finding every engine starts from: a call on a handle of a domain.
Finding callFinding(const TraceAnalysis& a, FindingKind kind, const std::string& domain, const std::string& tor,
                    std::uint64_t handle, SiteId call) {
    Finding f;
    f.kind = kind;
    f.domain = &domain;
    f.tor = &tor;
    f.hasHandle = true;
    f.handle = handle;
    f.call = siteOf(a, call);
    return f;
}

// A record state outside the three is a broken invariant, never input: say
// where it was caught, in the form of a failed assertion, and stop at once.
[[noreturn]] void internalError(TraceAnalysis& a, const char* function, int where) {
    complain(a, "Internal error. Please, report to developers.");
    complain(a, "tracer:", where, ": ", function,
             ": Assertion 'allocated, operated or deallocated == record.resourceState' failed.");
    std::abort();
}

// The tor named `name` among one list of a domain, or null.
const Tor* findTorIn(const std::vector<Tor>& tors, std::string_view name) {
    for (const Tor& t : tors)
        if (sameText(t.name, name)) return &t;
    return nullptr;
}

// free(NULL) and its kind: the template says a BAD handle argument is no
// finding for this deallocator. Looked up only for a BAD handle, which is rare.
bool acceptsBadHandle(const TraceAnalysis& a, std::size_t domain, const std::string& tor) {
    const Tor* t = findTorIn(domainOf(a, domain).deallocators, tor);
    return t && t->bad_handle_ok;
}

const std::string kForkTor = kelproto::kForkCall;

// A reallocator's result line: "OK", or anything else, after which its handle
// line is read without being examined (nothing is recorded for the call).
bool callSucceeded(CVLineFetcher& fetcher, std::string_view& text) {
    fetcher.getLineView(text);
    if (text == fixed::ok) return true;
    fetcher.getLineView(text);
    return false;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool rangesMatter(const Domain& domain) { return domain.interior && domain.float_handle; }

TraceAnalysis::TraceAnalysis(HandleTableFactory tableFactory, std::ostream& outStream, std::ostream& errStream,
                             ReportSettings reportSettings)
    : makeTable(std::move(tableFactory)), out(outStream), err(errStream), report(outStream, std::move(reportSettings)) {}

// ---------------------------------------------------------------- header

namespace {

// The embedded template is copied whole into memory first: a trace whose
// "</template>" never comes must not fill the disk, and a template that
// cannot be read to its end must not leave a half-written template.tmp.
constexpr std::size_t kMaxEmbeddedTemplate = 16u * 1024 * 1024;

// Writes the template as a new file beside target (template.tmp in the
// working folder, unless the analysis has its own) and renames it to target:
// whatever stood there before (a symlink, a hard link to a file elsewhere, a
// FIFO) is replaced, never written through.
bool writeTemplateFile(const std::string& text, const std::string& target, std::string& failure) {
    std::string temp = target + ".XXXXXX";
    char* name = temp.data();
    const int fd = ::mkstemp(name);
    if (fd < 0) {
        failure = std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; give it the mode a plain create would.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (!ok) failure = std::strerror(errno);
    if (::close(fd) != 0 && ok) {
        ok = false;
        failure = std::strerror(errno);
    }
    if (ok && ::rename(name, target.c_str()) != 0) {
        ok = false;
        failure = std::strerror(errno);
    }
    if (!ok) ::unlink(name);
    return ok;
}

}  // namespace

bool readHeader(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    std::string& text = analysis.scratch.header;
    for (const char* expected : {kelproto::kBegin, kelproto::kProtocol}) {
        fetcher.getLine(text);
        if (text != expected) {
            say(analysis, "Unexpected data: '", Quoted{text}, "'");
            return false;
        }
    }

    std::string copy;
    do {
        const std::int64_t number = fetcher.getLine(text);
        if (copy.size() + text.size() + 1 > kMaxEmbeddedTemplate) {
            complainAt(analysis, number, "the embedded template is longer than 16 MiB (no line \"",
                       kelproto::kTemplateEnd, "\" before it)");
            throw AnalysisExit{statusNotATrace};
        }
        copy += text;
        copy += '\n';
    } while (text != fixed::templateEnd);

    // A template.tmp that cannot be written must not be loaded: it would be
    // a stale one from an earlier run.
    std::string failure;
    if (!writeTemplateFile(copy, analysis.templateFile, failure)) {
        complain(analysis, "keltrace: cannot write ", analysis.templateFile, ": ", failure);
        throw AnalysisExit{statusNotATrace};
    }
    copy.clear();
    copy.shrink_to_fit();

    // The template reader writes its own messages with the standard streams:
    // what the analysis wrote so far goes first.
    analysis.report.flushLines();
    analysis.out.flush();
    {
        // The reader's messages go to this analysis's streams, so that with
        // many traces they stay in their trace's part of the report. Loads
        // take turns: the XML library's error handlers are set per load.
        static std::mutex loading;
        std::lock_guard<std::mutex> turn(loading);
        std::string failure;
        saxparser_templateLoader(analysis.tmpl, analysis.templateFile.c_str(), failure, analysis.out, analysis.err);
    }
    analysis.tables.clear();
    for (std::size_t i = 0; i < analysis.tmpl.domains.size(); ++i) {
        analysis.tables.push_back(analysis.makeTable());
        if (rangesMatter(analysis.tmpl.domains[i])) analysis.tables.back()->trackRanges();
    }
    return true;
}

// ---------------------------------------------------------------- replay

bool findDomain(const TraceAnalysis& analysis, std::string_view name, std::size_t& domain) {
    for (std::size_t i = 0; i < analysis.tmpl.domains.size(); ++i) {
        if (sameText(analysis.tmpl.domains[i].name, name)) {
            domain = i;
            return true;
        }
    }
    return false;
}

namespace {
// The tor named `name` in a domain and its kind; null and none when there is
// none. The order of the search decides for a name in two lists.
const Tor* findTor(const Domain& d, std::string_view name, TorKind& kind) {
    const std::pair<const std::vector<Tor>*, TorKind> lists[] = {{&d.operators, TorKind::operator_},
                                                                 {&d.allocators, TorKind::allocator},
                                                                 {&d.reallocators, TorKind::reallocator},
                                                                 {&d.deallocators, TorKind::deallocator}};
    for (const auto& [tors, k] : lists) {
        if (const Tor* t = findTorIn(*tors, name)) {
            kind = k;
            return t;
        }
    }
    kind = TorKind::none;
    return nullptr;
}
}  // namespace

namespace {
const Tor* findRecentTor(TraceAnalysis& analysis, std::size_t domain, std::string_view name, TorKind& kind) {
    ReplayScratch::RecentTor* recent = analysis.scratch.recentTors;
    constexpr std::size_t kRecent = ReplayScratch::kRecentTors;
    for (std::size_t i = 0; i < kRecent; ++i) {
        const ReplayScratch::RecentTor hit = recent[i];
        if (hit.tor && hit.domain == domain && sameText(hit.tor->name, name)) {
            for (; i > 0; --i) recent[i] = recent[i - 1];
            recent[0] = hit;
            kind = hit.kind;
            return hit.tor;
        }
    }
    const Tor* found = findTor(domainOf(analysis, domain), name, kind);
    if (found) {
        for (std::size_t i = kRecent - 1; i > 0; --i) recent[i] = recent[i - 1];
        recent[0] = ReplayScratch::RecentTor{domain, found, kind};
    }
    return found;
}
}  // namespace

TorKind findTorKind(const TraceAnalysis& analysis, std::size_t domain, const std::string& name) {
    TorKind kind;
    findTor(domainOf(analysis, domain), name, kind);
    return kind;
}

SiteId readCallSite(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    ReplayScratch& s = analysis.scratch;
    std::string_view text;
    fetcher.getLineView(text);
    // Kept while the next line is read, which may move the fetcher's buffer.
    const std::string* file = analysis.sites.recentFile(text);
    if (!file) {
        s.file.assign(text.data(), text.size());
        file = &s.file;
    }
    fetcher.getLineView(text);
    return analysis.sites.intern(*file, text);
}

bool replayRecords(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    ReplayScratch& s = analysis.scratch;
    // Each record's first line, or the end: read once, not looked at first.
    fetcher.getLineView(s.first);
    for (; s.first != fixed::done; fetcher.getLineView(s.first)) {
        s.recordLine = fetcher.lastDelivered();
        if (analysis.live) analysis.live->nextRecord();
        std::size_t domain = 0;
        if (!findDomain(analysis, s.first, domain)) {
            fetcher.getLineView(s.second);
            if (s.second != fixed::forkCall) return false;
            const SiteId at = readCallSite(fetcher, analysis);
            Finding f;
            f.kind = FindingKind::fork;
            f.tor = &kForkTor;
            f.call = siteOf(analysis, at);
            const CallSite& site = analysis.sites.site(at);
            analysis.report.add(f, [&](MessageText& m) {
                m << "KEL detected fork() usage at " << Quoted{site.file} << ":" << Quoted{site.line}
                  << ", meanwhile fork() is forbidden according to template settings. Please, disable application "
                     "fork() usage. If it isn't possible, contact KEL author.";
            });
            return false;
        }
        fetcher.getLineView(s.second);
        TorKind kind;
        const Tor* found = findRecentTor(analysis, domain, s.second, kind);
        if (!found) {
            complain(analysis, "Unexpected tor name '", Quoted{s.second}, "' in domain '",
                     Quoted{domainOf(analysis, domain).name}, "'.");
            return false;
        }
        // The template's copy of the name outlives the line.
        const std::string& tor = found->name;
        const SiteId site = readCallSite(fetcher, analysis);
        HandleRecord& record = s.record;
        record = HandleRecord();  // empty sites, no handle or size, valid, allocated
        bool ok = false;
        switch (kind) {
            case TorKind::allocator:
                ok = readAllocatorRecord(fetcher, analysis, site, tor, domain, record);
                break;
            case TorKind::operator_:
                ok = readOperatorRecord(fetcher, analysis, site, tor);
                break;
            case TorKind::reallocator:
                ok = ReallocatorEngine(fetcher, analysis, site, tor, domain, record);
                break;
            case TorKind::deallocator:
                ok = readDeallocatorRecord(fetcher, analysis, site, tor, domain, record);
                break;
            case TorKind::none:
                break;
        }
        if (!ok) return false;
    }
    return true;
}

bool readAllocatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                         std::size_t domain, HandleRecord& record) {
    const Domain& d = domainOf(analysis, domain);
    std::string_view& x = analysis.scratch.lineA;
    record.allocatedAt = site;
    if (d.float_handle) {
        fetcher.getLineView(x);
        record.size = hexField(x);
    }
    std::int64_t n = fetcher.getLineView(x);
    if (x.size() == kelproto::kHex16Digits) {
        if (!d.float_handle) {
            complain(analysis, "Strange error: domain '", Quoted{d.name}, "' isn't float, but allocator ", Quoted{tor},
                     " has 2nd argument");
            return false;
        }
        const std::uint64_t factor = hexField(x);
        std::uint64_t product = 0;
        if (__builtin_mul_overflow(record.size, factor, &product)) {
            // A size no program can hold: the record is malformed, not a huge block.
            complainAt(analysis, n, "malformed: the sizes 0x", Hex16{record.size}, " and 0x", Hex16{factor},
                       " multiply past 64 bits");
            return false;
        }
        record.size = product;
        n = fetcher.getLineView(x);
    }
    if (x != fixed::ok && x != fixed::bad) {
        complain(analysis, "Unexpected value '", Quoted{x}, "' instead of OK or BAD at line ", n, ".");
        return false;
    }
    std::string_view& h = analysis.scratch.lineB;
    fetcher.getLineView(h);
    if (h.size() < 4) {
        complain(analysis, "Unexpected number of chars. Must be at least 4.");
        return false;
    }
    std::string_view handle;
    if (startsWith(h, fixed::okPrefix)) {
        record.handleState = valid;
        handle = h.substr(fixed::okPrefix.size());
    } else if (startsWith(h, fixed::badPrefix)) {
        record.handleState = bad;
        handle = h.substr(fixed::badPrefix.size());
    } else {
        complain(analysis, "Strange values at begging of line '", Quoted{h}, "'.");
        return false;
    }
    record.handle = hexField(handle);
    record.resourceState = allocated;
    record.tor = analysis.report.torId(tor);
    AllocatorEngine(analysis, site, tor, domain, record);
    return true;
}

bool readDeallocatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                           std::size_t domain, HandleRecord& record) {
    ReplayScratch& s = analysis.scratch;
    record.deallocatedAt = site;
    fetcher.getLineView(s.lineA);
    const std::string_view* chunks = s.chunks;
    if (splitLine(s.lineA, s.chunks, 3) != 3) {
        complain(analysis, "Unexpected numer of chunks at ", "tracer", ":", 476);
        return false;
    }
    if (chunks[1] == fixed::ok) {
        record.handleState = valid;
    } else if (chunks[1] == fixed::bad) {
        record.handleState = bad;
    } else {
        complain(analysis, "Unexpected value at ", "tracer", ":", 467);
        return false;
    }
    record.handle = hexField(chunks[2]);
    // The handle's text as the trace wrote it (1 to 16 digits, as hexField
    // checked), for a message after the line is gone.
    char written[kelproto::kHex16Digits];
    const std::size_t writtenSize = chunks[2].copy(written, sizeof written);
    // Applied before the outcome is read: the program may have died inside
    // the call, and the release is what it was doing.
    DeallocatorEngine(analysis, site, tor, domain, record);

    std::string_view& b = s.lineB;
    std::int64_t n = 0;
    try {
        n = fetcher.getLineView(b);
    } catch (const char*) {
        Finding f =
            callFinding(analysis, FindingKind::diedInside, domainOf(analysis, domain).name, tor, record.handle, site);
        analysis.report.add(f, [&](MessageText& m) {
            m << "Looks like target code execution died after calling " << Quoted{tor} << "(0x"
              << Quoted{std::string_view(written, writtenSize)} << ") at " << analysis.sites.shown(site);
        });
        return false;
    }
    if (b == fixed::bad) {
        // fclose, close and their kind release the resource even when they
        // report failure: the release above stands, and the replay goes on.
        if (record.handleState != bad || !acceptsBadHandle(analysis, domain, tor)) {
            const Domain& d = domainOf(analysis, domain);
            Finding f = callFinding(analysis, FindingKind::failedFree, d.name, tor, record.handle, site);
            analysis.report.add(f, [&](MessageText& m) {
                m << "Warning: deallocation of resource 0x" << Hex16{record.handle} << " by " << Quoted{d.name} << ":"
                  << Quoted{tor} << " at " << analysis.sites.shown(site)
                  << " reported failure; the resource counts as released.";
            });
        }
    } else if (b != fixed::voidMarker && b != fixed::ok) {
        complain(analysis, "Unexpected value '", Quoted{b}, "' at ", n, ".");
        return false;
    }
    n = fetcher.getLineView(b);
    if (b != fixed::nothing) {
        complain(analysis, "Unexpected value '", Quoted{b}, "' at ", n, ".");
        return false;
    }
    return true;
}

bool readOperatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor) {
    ReplayScratch& s = analysis.scratch;
    for (;;) {
        // Either the result line "-" or a handle line, which is read next in
        // any case: take it at once rather than look at it first.
        fetcher.getLineView(s.lineA);
        if (s.lineA == fixed::nothing) {
            fetcher.getLineView(s.lineA);  // the handle line, "-" for an operator
            return true;
        }
        if (splitLine(s.lineA, s.chunks, 3) != 3) {
            complain(analysis, "unexpected/wrong format at ", "tracer", ":", 376);
            return false;
        }
        std::size_t domain = 0;
        if (!findDomain(analysis, s.chunks[0], domain)) {
            complain(analysis, "invalid domain at ", "tracer", ":", 357);
            return false;
        }
        HandleState state;
        if (s.chunks[1] == fixed::ok) {
            state = valid;
        } else if (s.chunks[1] == fixed::bad) {
            state = bad;
        } else {
            complain(analysis, "unexpected value at ", "tracer", ":", 365);
            return false;
        }
        OperatorEngine(analysis, domain, state, hexField(s.chunks[2]), tor, site);
    }
}

// ---------------------------------------------------------------- engines

void AllocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                     const HandleRecord& record) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    const SiteTable& sites = analysis.sites;
    if (record.size == 0 && d.float_handle) {
        Finding f = callFinding(analysis, FindingKind::zeroAlloc, d.name, tor, record.handle, site);
        analysis.report.add(f, [&](MessageText& m) {
            m << "Warning: allocation zero bytes by " << Quoted{d.name} << ":" << Quoted{tor} << " at "
              << sites.shown(site);
        });
    }
    // A failed call (its handle BAD) allocated nothing: there is nothing to
    // track, so nothing to leak. A later use of the handle is still reported
    // as the use of a bad handle.
    if (record.handleState == bad) return;
    std::vector<RecordId>& matches = analysis.scratch.matches;
    table.liveMatches(record.handle, matches);
    if (matches.empty()) {
        table.append(record);
        if (analysis.live) analysis.live->allocated(domain, record.size);
        return;
    }
    // The earlier allocation stays the tracked one.
    Finding f = callFinding(analysis, FindingKind::alreadyAllocated, d.name, tor, record.handle, record.allocatedAt);
    f.allocated = siteOf(analysis, table.record(matches.front()).allocatedAt);
    f.bytes = record.size;
    f.sized = d.float_handle;
    analysis.report.add(f, [&](MessageText& m) {
        m << "Error: allocated handle 0x" << Hex16{record.handle} << " from '" << Quoted{d.name} << "'"
          << " at " << sites.shown(record.allocatedAt) << " marked as already allocated at:";
        for (RecordId match : matches) m << " " << sites.shown(table.record(match).allocatedAt);
    });
}

namespace {
// " by domain:tor at site while allocated at site which never operated."
std::string_view neverUsedTail(TraceAnalysis& analysis, std::size_t domain, const std::string& tor, SiteId call,
                               SiteId allocated) {
    ReplayScratch& s = analysis.scratch;
    for (ReplayScratch::WarningTail& t : s.neverUsedTails) {
        if (t.used && t.domain == domain && t.call == call && t.allocated == allocated && sameText(t.tor, tor))
            return t.text.str();
    }
    ReplayScratch::WarningTail& t = s.neverUsedTails[s.nextTail];
    s.nextTail = (s.nextTail + 1) % ReplayScratch::kWarningTails;
    t.used = true;
    t.domain = domain;
    t.tor = tor;
    t.call = call;
    t.allocated = allocated;
    t.text.clear();
    t.text << " by " << Quoted{domainOf(analysis, domain).name} << ":" << Quoted{tor} << " at "
           << analysis.sites.shown(call) << " while allocated at " << analysis.sites.shown(allocated)
           << " which never operated.";
    return t.text.str();
}
}  // namespace

void DeallocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                       const HandleRecord& record) {
    (void)site;  // the call's site travels in record.deallocatedAt
    // free(NULL) where the template allows it: no finding, no change.
    if (record.handleState == bad && acceptsBadHandle(analysis, domain, tor)) return;
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    const SiteTable& sites = analysis.sites;
    const SiteId call = record.deallocatedAt;
    // The kind follows from the handle's state below.
    Finding f = callFinding(analysis, FindingKind::leak, d.name, tor, record.handle, call);
    RecordId pos = 0;
    if (!table.findLastHandle(record.handle, pos)) {
        // free(p + n): the address is no block of its own, but it lies inside
        // one. Nothing changes: the block stays as it was.
        if (record.handleState == valid && rangesMatter(d) && table.findHolding(record.handle, pos)) {
            const HandleRecord& block = table.record(pos);
            const bool released = block.resourceState == deallocated;
            f.kind = FindingKind::freeInterior;
            f.allocated = siteOf(analysis, block.allocatedAt);
            if (released) f.deallocated = siteOf(analysis, block.deallocatedAt);
            analysis.report.add(f, [&](MessageText& m) {
                m << "Error: deallocation of address 0x" << Hex16{record.handle} << " by " << Quoted{d.name} << ":"
                  << Quoted{tor} << " at " << sites.shown(call) << ", which is inside resource 0x"
                  << Hex16{block.handle} << " at offset " << (record.handle - block.handle) << ", allocated at "
                  << sites.shown(block.allocatedAt);
                if (released) m << " and deallocated at " << sites.shown(block.deallocatedAt);
            });
            return;
        }
        f.kind = FindingKind::unallocatedFree;
        analysis.report.add(f, [&](MessageText& m) {
            m << "Error: deallocation of unallocated " << handleStateName(record.handleState) << " handle 0x"
              << Hex16{record.handle} << " by " << Quoted{d.name} << ":" << Quoted{tor} << " at " << sites.shown(call);
        });
        return;
    }
    const HandleRecord& e = table.record(pos);
    switch (e.resourceState) {
        case deallocated:
            f.kind = FindingKind::doubleFree;
            f.allocated = siteOf(analysis, e.allocatedAt);
            f.deallocated = siteOf(analysis, e.deallocatedAt);
            analysis.report.add(f, [&](MessageText& m) {
                m << "Error: deallocation of handle 0x" << Hex16{record.handle} << " by " << Quoted{d.name} << ":"
                  << Quoted{tor} << " at " << sites.shown(call) << " while the handle allocated at "
                  << sites.shown(e.allocatedAt) << " and freed at " << sites.shown(e.deallocatedAt) << ".";
            });
            return;
        case allocated:
            if (d.warn_unused) {
                f.kind = FindingKind::neverUsed;
                f.allocated = siteOf(analysis, e.allocatedAt);
                f.bytes = e.size;
                f.sized = d.float_handle;
                analysis.report.add(f, [&](MessageText& m) {
                    m << "Warning: deallocation of resource 0x" << Hex16{record.handle}
                      << neverUsedTail(analysis, domain, tor, call, e.allocatedAt);
                });
            }
            if (analysis.live) analysis.live->released(domain, e.size);
            table.markDeallocated(pos, call);
            return;
        case operated:
            if (analysis.live) analysis.live->released(domain, e.size);
            table.markDeallocated(pos, call);
            return;
    }
    internalError(analysis, "DeallocatorEngine", 440);
}

bool OperatorEngine(TraceAnalysis& analysis, std::size_t domain, HandleState state, std::uint64_t handle,
                    const std::string& tor, SiteId site) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    const SiteTable& sites = analysis.sites;
    // The kind follows from the handle's state below.
    Finding f = callFinding(analysis, FindingKind::leak, d.name, tor, handle, site);
    if (state == bad) {
        f.kind = FindingKind::badHandleUse;
        analysis.report.add(f, [&](MessageText& m) {
            m << "Error 007: bad handle 0x" << Hex16{handle} << " usage by " << Quoted{d.name} << ":" << Quoted{tor}
              << " at " << sites.shown(site);
        });
        return true;
    }
    RecordId pos = 0;
    const bool exact = table.findLastHandle(handle, pos);
    RecordId block = 0;
    if (rangesMatter(d) && !(exact && table.record(pos).resourceState != deallocated) &&
        table.findHolding(handle, block)) {
        // An address inside a block: a use of the block placed last over it,
        // if it is live. If it was released, it is a use after free of it,
        // unless a record has this very handle: that one, released too, is
        // reported below as it always was.
        const HandleRecord& e = table.record(block);
        if (e.resourceState != deallocated) {
            table.markOperated(block);
            return true;
        }
        if (!exact) {
            f.kind = FindingKind::useAfterFree;
            f.allocated = siteOf(analysis, e.allocatedAt);
            f.deallocated = siteOf(analysis, e.deallocatedAt);
            analysis.report.add(f, [&](MessageText& m) {
                m << "Error: address 0x" << Hex16{handle} << " used by " << Quoted{d.name} << ":" << Quoted{tor}
                  << " at " << sites.shown(site) << " is inside resource 0x" << Hex16{e.handle} << " at offset "
                  << (handle - e.handle) << ", which was allocated at " << sites.shown(e.allocatedAt)
                  << " and deallocated at " << sites.shown(e.deallocatedAt);
            });
            return true;
        }
    }
    if (!exact) {
        // Stack and static buffers, inherited descriptors, the standard
        // streams: the template may say such handles are fine to use.
        if (d.untracked_use == "ignore") return false;
        f.kind = FindingKind::untrackedUse;
        analysis.report.add(f, [&](MessageText& m) {
            m << "Error: Unallocated resource usage 0x" << Hex16{handle} << " by " << Quoted{d.name} << ":"
              << Quoted{tor} << " at " << sites.shown(site);
        });
        return false;
    }
    const HandleRecord& e = table.record(pos);
    if (e.resourceState == allocated) {
        table.markOperated(pos);
    } else if (e.resourceState == deallocated) {
        f.kind = FindingKind::useAfterFree;
        f.allocated = siteOf(analysis, e.allocatedAt);
        f.deallocated = siteOf(analysis, e.deallocatedAt);
        analysis.report.add(f, [&](MessageText& m) {
            m << "Error: resource 0x" << Hex16{handle} << " used by " << Quoted{d.name} << ":" << Quoted{tor} << " at "
              << sites.shown(site) << " was allocated at " << sites.shown(e.allocatedAt) << " and deallocated at "
              << sites.shown(e.deallocatedAt);
        });
    }
    return true;
}

bool ReallocatorEngine(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                       std::size_t domain, HandleRecord& record) {
    ReplayScratch& s = analysis.scratch;
    const std::int64_t n = fetcher.getLineView(s.lineA);
    if (splitLine(s.lineA, s.chunks, 3) != 3) {
        complain(analysis, "Unexpected value '", Quoted{s.lineA}, "' at ", n, ".");
        throw AnalysisExit{statusMalformedRealloc};
    }
    if (s.chunks[1] == fixed::bad) return reallocFromBadHandle(fetcher, analysis, site, tor, domain, record);
    if (s.chunks[1] == fixed::ok) return reallocValidHandle(fetcher, analysis, site, tor, domain, record, s.chunks[2]);
    complain(analysis, "Unexpected format string \"", Quoted{s.lineA}, "\" at tracefile line ", n, ". ", "tracer", ":",
             695);
    throw AnalysisExit{statusMalformedRealloc};
}

bool reallocFromBadHandle(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                          std::size_t domain, HandleRecord& record) {
    ReplayScratch& s = analysis.scratch;
    std::string_view& text = s.lineB;
    fetcher.getLineView(text);
    const std::uint64_t newSize = hexField(text);
    if (!callSucceeded(fetcher, text)) return true;
    const std::int64_t n = fetcher.getLineView(text);
    // The old handle's line is done with: its chunks make room for these.
    if (splitLine(text, s.chunks, 3) != 2) {
        complain(analysis, "Unexpected format string \"", Quoted{text}, "\" at tracefile line ", n, ". ", "tracer",
                 ":", 671);
        throw AnalysisExit{statusMalformedRealloc};
    }
    if (s.chunks[0] != fixed::ok) {
        say(analysis, "NYI at ", "tracer", ":", 686);
        say(analysis, "LINE: '", Quoted{text}, "' at line ", n);
        throw AnalysisExit{statusReallocNotSupported};
    }
    record.allocatedAt = site;
    record.size = newSize;
    record.handle = hexField(s.chunks[1]);
    record.handleState = valid;
    record.resourceState = allocated;
    record.tor = analysis.report.torId(tor);
    AllocatorEngine(analysis, site, tor, domain, record);
    return true;
}

bool reallocValidHandle(CVLineFetcher& fetcher, TraceAnalysis& analysis, SiteId site, const std::string& tor,
                        std::size_t domain, HandleRecord& record, std::string_view oldHandle) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    ReplayScratch& s = analysis.scratch;
    const SiteTable& sites = analysis.sites;
    record.handle = hexField(oldHandle);
    std::vector<RecordId>& matches = s.matches;
    table.liveMatches(record.handle, matches);
    if (matches.empty()) {
        Finding f = callFinding(analysis, FindingKind::reallocUntracked, d.name, tor, record.handle, site);
        analysis.report.add(f, [&](MessageText& m) {
            m << "Error XX7: " << Quoted{d.name} << ":" << Quoted{tor} << " at " << sites.shown(site)
              << " trying to reallocate never allocated (or allocated by " << "untracked function) handle 0x"
              << Hex16{record.handle};
        });
        return false;
    }
    // Two live records share a handle only after an allocation onto a live
    // handle (already reported). As for a release, the reallocation means
    // the record that took the handle last; stopping here lost every finding
    // after it.
    RecordId m = matches.front();
    if (matches.size() > 1) table.findLastHandle(record.handle, m);
    std::string_view& text = s.lineB;
    std::int64_t n = fetcher.getLineView(text);
    if (text.size() != kelproto::kHex16Digits) {
        complain(analysis, "Unexpected format string \"", Quoted{text}, "\" at tracefile line ", n, ". ", "tracer",
                 ":", 626);
        throw AnalysisExit{statusMalformedRealloc};
    }
    const std::uint64_t newSize = hexField(text);
    if (newSize == 0) {
        // realloc(p, 0) frees p.
        record.deallocatedAt = site;
        DeallocatorEngine(analysis, site, tor, domain, record);
        fetcher.getLineView(text);
        fetcher.getLineView(text);
        return true;
    }
    if (table.record(m).size == newSize) {
        Finding f = callFinding(analysis, FindingKind::sameSizeRealloc, d.name, tor, record.handle, site);
        f.allocated = siteOf(analysis, table.record(m).allocatedAt);
        f.bytes = newSize;
        f.sized = true;
        analysis.report.add(f, [&](MessageText& msg) {
            msg << "Warning: reallocation handle 0x" << Hex16{record.handle} << " has the same size (" << newSize
                << " bytes) at" << sites.shown(site);
        });
    }
    // A failed reallocation leaves the old resource in place.
    if (!callSucceeded(fetcher, text)) return true;
    n = fetcher.getLineView(text);
    if (!startsWith(text, fixed::okPrefix)) {
        say(analysis, "Abnormal content \"", Quoted{text}, "\" at tracefile line ", n);
        throw AnalysisExit{statusMalformedRealloc};
    }
    const std::uint64_t newHandle = hexField(text.substr(fixed::okPrefix.size()));
    if (analysis.live) analysis.live->resized(domain, table.record(m).size, newSize);
    table.reallocate(m, newHandle, newSize, site, analysis.report.torId(tor));
    return true;
}

// ---------------------------------------------------------------- report

bool postTransactionAnalyzer(TraceAnalysis& analysis) {
    Report& report = analysis.report;
    const SiteTable& sites = analysis.sites;
    for (std::size_t i = 0; i < analysis.tables.size() && i < analysis.tmpl.domains.size(); ++i) {
        const Domain& d = analysis.tmpl.domains[i];
        analysis.tables[i]->forEachLive([&](const HandleRecord& r) {
            if (r.resourceState != allocated && r.resourceState != operated) {
                internalError(analysis, "postTransactionAnalyzer", 825);
            }
            Finding f;
            f.kind = FindingKind::leak;
            f.domain = &d.name;
            if (r.tor != HandleRecord().tor) f.tor = &report.text(r.tor);
            f.hasHandle = true;
            f.handle = r.handle;
            f.allocated = siteOf(analysis, r.allocatedAt);
            f.bytes = d.float_handle ? r.size : 0;
            f.sized = d.float_handle;
            report.add(f, [&](MessageText& m) {
                m << "Error: resource leak; handle 0x" << Hex16{r.handle} << " from '" << Quoted{d.name} << "'"
                  << " allocated at " << sites.shown(r.allocatedAt)
                  << (r.resourceState == allocated ? " not deallocated. Never operated" : " not deallocated");
                if (d.float_handle) {
                    if (r.size != 0) {
                        m << ". Bytes leaked: " << r.size;
                    } else {
                        m << ". Bytes leaked: 0, plus indirect leakage for pointer "
                          << "(example: malloc(size), when size is 0)";
                    }
                }
            });
        });
    }
    return true;
}

// ---------------------------------------------------------------- driver

namespace {

// Findings after which the replay stops by design: what follows them is not
// malformed, and the analysis is not incomplete for them.
bool endsReplay(FindingKind kind) {
    return kind == FindingKind::fork || kind == FindingKind::reallocUntracked || kind == FindingKind::diedInside;
}

const char* const kNotClosed = "the program ended without closing the trace";

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
        complain(analysis, "Unable to read header.");
        outcome.header = false;
        outcome.leakReport = false;
        outcome.status = statusNotATrace;
        return outcome;
    }
    if (!options.htmlPath.empty()) analysis.live = std::make_unique<LiveSampler>(analysis.tmpl.domains.size());
    try {
        try {
            if (replayRecords(fetcher, analysis)) {
                if (options.readToEnd) linesAfterEnd(fetcher, analysis, stopped);
            } else {
                const FindingKind* last = analysis.report.lastKind();
                if (last && *last == FindingKind::diedInside) {
                    outcome.notClosed = true;
                } else if (!last || !endsReplay(*last)) {
                    stopped(fetcher.lastDelivered());
                }
            }
        } catch (const char* failure) {
            if (std::strcmp(failure, "eof") == 0) {
                // The leak report is most useful exactly when the program died.
                unread(failure, "the trace ends without \"KEL TRACING DONE\": the program ended without closing the trace");
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

std::string keltraceVersion() { return std::string(kelversion::kMajor) + kelversion::kMinor + kelversion::kPatch; }

void printUsage(const char* program, std::ostream& out) {
    line(out, "Usage: ", program, " --file ", "/path/to/tracefile");
    line(out, "Usage: ", program, " --sock ", "host:port");
    line(out, "Usage: ", program, " --version");
    line(out, "Example: ", program, " --file ", "tracefile.out");
    line(out, "Example: ", program, " --sock ", "localhost", ":12345");
    line(out, "Usage: ", program, " [OPTIONS] --file TRACE");
    line(out, "Usage: ", program, " [OPTIONS] --sock HOST:PORT");
    line(out, "Usage: ", program, " [OPTIONS] --file TRACE|FOLDER... [--file TRACE|FOLDER...]");
    line(out, "                        one report over many traces, analysed in parallel; a FOLDER");
    line(out, "                        stands for the files *.trace in it; each trace's output is");
    line(out, "                        introduced by a line \"=== trace I of N: PATH\"");
    line(out, "Example: ", program, " --group --error-exitcode 1 --file kel-heap-*.trace");
    line(out, "Options (in any order):");
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
