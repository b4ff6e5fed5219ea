#include "tracer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "keltrace_status.h"
#include "report_files.h"
#include "trace_protocol.h"
#include "utils_numeric.h"
#include "visible_text.h"

namespace {

// One message line: pieces joined, ended and flushed at once so that the two
// streams keep their order on a shared terminal.
template <class... P>
void line(std::ostream& out, const P&... pieces) {
    (out << ... << pieces) << std::endl;
}

const char* const kTemplateFile = "template.tmp";

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
}  // namespace fixed
const char* const kUnreadable = "longer than 254 characters, or a read error";
// A NUL byte would cut the line short and change what it says (a handle, a
// file name), so the line is refused whole.
const char* const kNulByte = ": malformed: the line holds a NUL byte";

// Remembers the number of the last line delivered, so that a failure the
// fetcher throws (which carries no number) can be reported with one.
class CountingFetcher : public CVLineFetcher {
public:
    explicit CountingFetcher(CVLineFetcher& inner) : inner(inner) {}
    int attach(const char* path) override { return inner.attach(path); }
    int attach(int s) override { return inner.attach(s); }
    std::int64_t getLine(std::string& text) override { return last = inner.getLine(text); }
    std::int64_t peekLine(std::string& text) override { return last = inner.peekLine(text); }

    std::int64_t last = 0;

private:
    CVLineFetcher& inner;
};

std::uint64_t hexField(const std::string& text, std::size_t from = 0) {
    try {
        return parseHex(text.data() + from, text.size() - from);
    } catch (const char* reason) {
        throw MalformedField{text.substr(from), reason};
    }
}

HandleTable& tableOf(TraceAnalysis& a, std::size_t domain) { return *a.tables[domain]; }
const Domain& domainOf(const TraceAnalysis& a, std::size_t domain) { return a.tmpl.domains[domain]; }

// A record state outside the three is a broken invariant, never input: say
// where it was caught, in the form of a failed assertion, and stop at once.
[[noreturn]] void internalError(TraceAnalysis& a, const char* function, int where) {
    line(a.err, "Internal error. Please, report to developers.");
    line(a.err, "tracer:", where, ": ", function,
         ": Assertion 'allocated, operated or deallocated == record.resourceState' failed.");
    std::abort();
}

// The tor named `name` among one list of a domain, or null.
const Tor* findTorIn(const std::vector<Tor>& tors, const std::string& name) {
    for (const Tor& t : tors)
        if (t.name == name) return &t;
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
bool callSucceeded(CVLineFetcher& fetcher, std::string& text) {
    fetcher.getLine(text);
    if (text == fixed::ok) return true;
    fetcher.getLine(text);
    return false;
}

}  // namespace

TraceAnalysis::TraceAnalysis(HandleTableFactory tableFactory, std::ostream& outStream, std::ostream& errStream,
                             ReportSettings reportSettings)
    : makeTable(std::move(tableFactory)), out(outStream), err(errStream), report(outStream, std::move(reportSettings)) {}

// ---------------------------------------------------------------- header

namespace {

// The embedded template is copied whole into memory first: a trace whose
// "</template>" never comes must not fill the disk, and a template that
// cannot be read to its end must not leave a half-written template.tmp.
constexpr std::size_t kMaxEmbeddedTemplate = 16u * 1024 * 1024;

// Writes the template as a new file in the working folder and renames it to
// template.tmp: whatever template.tmp was before (a symlink, a hard link to a
// file elsewhere, a FIFO) is replaced, never written through.
bool writeTemplateFile(const std::string& text, std::string& failure) {
    char name[] = "template.tmp.XXXXXX";
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
    if (ok && ::rename(name, kTemplateFile) != 0) {
        ok = false;
        failure = std::strerror(errno);
    }
    if (!ok) ::unlink(name);
    return ok;
}

}  // namespace

bool readHeader(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    std::string text;
    for (const char* expected : {kelproto::kBegin, kelproto::kProtocol}) {
        fetcher.getLine(text);
        if (text != expected) {
            line(analysis.out, "Unexpected data: '", visibleText(text), "'");
            return false;
        }
    }

    std::string copy;
    do {
        const std::int64_t number = fetcher.getLine(text);
        if (copy.size() + text.size() + 1 > kMaxEmbeddedTemplate) {
            line(analysis.err, "keltrace: line ", number, ": the embedded template is longer than 16 MiB (no line \"",
                 kelproto::kTemplateEnd, "\" before it)");
            throw AnalysisExit{statusNotATrace};
        }
        copy += text;
        copy += '\n';
    } while (text != fixed::templateEnd);

    // A template.tmp that cannot be written must not be loaded: it would be
    // a stale one from an earlier run.
    std::string failure;
    if (!writeTemplateFile(copy, failure)) {
        line(analysis.err, "keltrace: cannot write ", kTemplateFile, ": ", failure);
        throw AnalysisExit{statusNotATrace};
    }
    copy.clear();
    copy.shrink_to_fit();

    saxparser_templateLoader(analysis.tmpl, kTemplateFile);
    analysis.tables.clear();
    for (std::size_t i = 0; i < analysis.tmpl.domains.size(); ++i) analysis.tables.push_back(analysis.makeTable());
    return true;
}

// ---------------------------------------------------------------- replay

bool findDomain(const TraceAnalysis& analysis, const std::string& name, std::size_t& domain) {
    for (std::size_t i = 0; i < analysis.tmpl.domains.size(); ++i) {
        if (analysis.tmpl.domains[i].name == name) {
            domain = i;
            return true;
        }
    }
    return false;
}

TorKind findTorKind(const TraceAnalysis& analysis, std::size_t domain, const std::string& name) {
    const Domain& d = domainOf(analysis, domain);
    // The order of the search decides for a name in two lists.
    auto in = [&name](const std::vector<Tor>& tors) {
        for (const Tor& t : tors)
            if (t.name == name) return true;
        return false;
    };
    if (in(d.operators)) return TorKind::operator_;
    if (in(d.allocators)) return TorKind::allocator;
    if (in(d.reallocators)) return TorKind::reallocator;
    if (in(d.deallocators)) return TorKind::deallocator;
    return TorKind::none;
}

CallSite readCallSite(CVLineFetcher& fetcher) {
    CallSite site;
    fetcher.getLine(site.file);
    fetcher.getLine(site.line);
    return site;
}

bool replayRecords(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    std::string first;
    fetcher.peekLine(first);
    if (first == fixed::done) return true;
    // Buffers reused from record to record: a long trace is millions of them.
    std::string second;
    CallSite site;
    HandleRecord record;
    for (;;) {
        fetcher.getLine(first);
        std::size_t domain = 0;
        if (!findDomain(analysis, first, domain)) {
            fetcher.getLine(second);
            if (second != fixed::forkCall) return false;
            CallSite at = readCallSite(fetcher);
            Finding f;
            f.kind = FindingKind::fork;
            f.tor = &kForkTor;
            f.call = &at;
            analysis.report.add(f, [&](std::ostream& o) {
                o << "KEL detected fork() usage at " << at.file << ":" << at.line
                  << ", meanwhile fork() is forbidden according to template settings. Please, disable application "
                     "fork() usage. If it isn't possible, contact KEL author.";
            });
            return false;
        }
        fetcher.getLine(second);
        TorKind kind = findTorKind(analysis, domain, second);
        if (kind == TorKind::none) {
            line(analysis.err, "Unexpected tor name '", second, "' in domain '", domainOf(analysis, domain).name,
                 "'.");
            return false;
        }
        fetcher.getLine(site.file);
        fetcher.getLine(site.line);
        // A fresh record: empty sites, no handle or size, valid, allocated.
        record.allocatedAt.file.clear();
        record.allocatedAt.line.clear();
        record.deallocatedAt.file.clear();
        record.deallocatedAt.line.clear();
        record.handle = 0;
        record.size = 0;
        record.handleState = valid;
        record.resourceState = allocated;
        record.tor = HandleRecord().tor;
        bool ok = false;
        switch (kind) {
            case TorKind::allocator:
                ok = readAllocatorRecord(fetcher, analysis, site, second, domain, record);
                break;
            case TorKind::operator_:
                ok = readOperatorRecord(fetcher, analysis, site, second);
                break;
            case TorKind::reallocator:
                ok = ReallocatorEngine(fetcher, analysis, site, second, domain, record);
                break;
            case TorKind::deallocator:
                ok = readDeallocatorRecord(fetcher, analysis, site, second, domain, record);
                break;
            case TorKind::none:
                break;
        }
        if (!ok) return false;
        fetcher.peekLine(first);
        if (first == fixed::done) return true;
    }
}

bool readAllocatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, const CallSite& site,
                         const std::string& tor, std::size_t domain, HandleRecord& record) {
    const Domain& d = domainOf(analysis, domain);
    record.allocatedAt = site;
    static std::string x;  // reused: no allocation per record
    if (d.float_handle) {
        fetcher.getLine(x);
        record.size = hexField(x);
    }
    std::int64_t n = fetcher.getLine(x);
    if (x.size() == kelproto::kHex16Digits) {
        if (!d.float_handle) {
            line(analysis.err, "Strange error: domain '", d.name, "' isn't float, but allocator ", tor,
                 " has 2nd argument");
            return false;
        }
        record.size *= hexField(x);
        n = fetcher.getLine(x);
    }
    if (x != fixed::ok && x != fixed::bad) {
        line(analysis.err, "Unexpected value '", x, "' instead of OK or BAD at line ", n, ".");
        return false;
    }
    static std::string h;  // reused: no allocation per record
    fetcher.getLine(h);
    if (h.size() < 4) {
        line(analysis.err, "Unexpected number of chars. Must be at least 4.");
        return false;
    }
    std::size_t handleFrom;
    if (h.compare(0, 3, kelproto::kOKPrefix) == 0) {
        record.handleState = valid;
        handleFrom = 3;
    } else if (h.compare(0, 4, kelproto::kBADPrefix) == 0) {
        record.handleState = bad;
        handleFrom = 4;
    } else {
        line(analysis.err, "Strange values at begging of line '", h, "'.");
        return false;
    }
    record.handle = hexField(h, handleFrom);
    record.resourceState = allocated;
    record.tor = analysis.report.torId(tor);
    AllocatorEngine(analysis, site, tor, domain, record);
    return true;
}

bool readDeallocatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, const CallSite& site,
                           const std::string& tor, std::size_t domain, HandleRecord& record) {
    record.deallocatedAt = site;
    static std::string a;  // reused: no allocation per record
    fetcher.getLine(a);
    static std::vector<std::string> chunks;  // scratch, reused
    if (splitLine(a, chunks) != 3) {
        line(analysis.err, "Unexpected numer of chunks at ", "tracer", ":", 476);
        return false;
    }
    if (chunks[1] == fixed::ok) {
        record.handleState = valid;
    } else if (chunks[1] == fixed::bad) {
        record.handleState = bad;
    } else {
        line(analysis.err, "Unexpected value at ", "tracer", ":", 467);
        return false;
    }
    record.handle = hexField(chunks[2]);
    // Applied before the outcome is read: the program may have died inside
    // the call, and the release is what it was doing.
    DeallocatorEngine(analysis, site, tor, domain, record);

    static std::string b;  // reused: no allocation per record
    std::int64_t n = 0;
    try {
        n = fetcher.getLine(b);
    } catch (const char*) {
        Finding f;
        f.kind = FindingKind::diedInside;
        f.domain = &domainOf(analysis, domain).name;
        f.tor = &tor;
        f.hasHandle = true;
        f.handle = record.handle;
        f.call = &site;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Looks like target code execution died after calling " << tor << "(0x" << chunks[2] << ") at "
              << formatCallSite(site);
        });
        return false;
    }
    if (b == fixed::bad) {
        // fclose, close and their kind release the resource even when they
        // report failure: the release above stands, and the replay goes on.
        if (record.handleState != bad || !acceptsBadHandle(analysis, domain, tor)) {
            const Domain& d = domainOf(analysis, domain);
            Finding f;
            f.kind = FindingKind::failedFree;
            f.domain = &d.name;
            f.tor = &tor;
            f.hasHandle = true;
            f.handle = record.handle;
            f.call = &site;
            analysis.report.add(f, [&](std::ostream& o) {
                o << "Warning: deallocation of resource 0x" << toHex16(record.handle) << " by " << d.name << ":"
                  << tor << " at " << formatCallSite(site) << " reported failure; the resource counts as released.";
            });
        }
    } else if (b != fixed::voidMarker && b != fixed::ok) {
        line(analysis.err, "Unexpected value '", b, "' at ", n, ".");
        return false;
    }
    static std::string c;  // reused: no allocation per record
    n = fetcher.getLine(c);
    if (c != fixed::nothing) {
        line(analysis.err, "Unexpected value '", c, "' at ", n, ".");
        return false;
    }
    return true;
}

bool readOperatorRecord(CVLineFetcher& fetcher, TraceAnalysis& analysis, const CallSite& site,
                        const std::string& tor) {
    static std::string text;  // reused: no allocation per record
    static std::vector<std::string> chunks;  // scratch, reused
    for (;;) {
        // Either the result line "-" or a handle line, which is read next in
        // any case: take it at once rather than look at it first.
        fetcher.getLine(text);
        if (text == fixed::nothing) {
            fetcher.getLine(text);  // the handle line, "-" for an operator
            return true;
        }
        if (splitLine(text, chunks) != 3) {
            line(analysis.err, "unexpected/wrong format at ", "tracer", ":", 376);
            return false;
        }
        std::size_t domain = 0;
        if (!findDomain(analysis, chunks[0], domain)) {
            line(analysis.err, "invalid domain at ", "tracer", ":", 357);
            return false;
        }
        HandleState state;
        if (chunks[1] == fixed::ok) {
            state = valid;
        } else if (chunks[1] == fixed::bad) {
            state = bad;
        } else {
            line(analysis.err, "unexpected value at ", "tracer", ":", 365);
            return false;
        }
        OperatorEngine(analysis, domain, state, hexField(chunks[2]), tor, site);
    }
}

// ---------------------------------------------------------------- engines

void AllocatorEngine(TraceAnalysis& analysis, const CallSite& site, const std::string& tor, std::size_t domain,
                     const HandleRecord& record) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    if (record.size == 0 && d.float_handle) {
        Finding f;
        f.kind = FindingKind::zeroAlloc;
        f.domain = &d.name;
        f.tor = &tor;
        f.hasHandle = true;
        f.handle = record.handle;
        f.call = &site;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Warning: allocation zero bytes by " << d.name << ":" << tor << " at " << formatCallSite(site);
        });
    }
    // A failed call (its handle BAD) allocated nothing: there is nothing to
    // track, so nothing to leak. A later use of the handle is still reported
    // as the use of a bad handle.
    if (record.handleState == bad) return;
    std::vector<RecordId> matches;
    table.liveMatches(record.handle, matches);
    if (matches.empty()) {
        table.append(record);
        return;
    }
    // The earlier allocation stays the tracked one.
    Finding f;
    f.kind = FindingKind::alreadyAllocated;
    f.domain = &d.name;
    f.tor = &tor;
    f.hasHandle = true;
    f.handle = record.handle;
    f.call = &record.allocatedAt;
    f.allocated = &table.record(matches.front()).allocatedAt;
    f.bytes = record.size;
    f.sized = d.float_handle;
    analysis.report.add(f, [&](std::ostream& o) {
        o << "Error: allocated handle 0x" << toHex16(record.handle) << " from '" << d.name << "'"
          << " at " << formatCallSite(record.allocatedAt) << " marked as already allocated at:";
        for (RecordId m : matches) o << " " << formatCallSite(table.record(m).allocatedAt);
    });
}

void DeallocatorEngine(TraceAnalysis& analysis, const CallSite& site, const std::string& tor, std::size_t domain,
                       const HandleRecord& record) {
    (void)site;  // the call's site travels in record.deallocatedAt
    // free(NULL) where the template allows it: no finding, no change.
    if (record.handleState == bad && acceptsBadHandle(analysis, domain, tor)) return;
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    const CallSite& call = record.deallocatedAt;
    Finding f;
    f.domain = &d.name;
    f.tor = &tor;
    f.hasHandle = true;
    f.handle = record.handle;
    f.call = &call;
    // The texts are made only for a message: most deallocations print none.
    auto h = [&record] { return toHex16(record.handle); };
    RecordId pos = 0;
    if (!table.findLastHandle(record.handle, pos)) {
        f.kind = FindingKind::unallocatedFree;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Error: deallocation of unallocated " << handleStateName(record.handleState) << " handle 0x" << h()
              << " by " << d.name << ":" << tor << " at " << formatCallSite(call);
        });
        return;
    }
    const HandleRecord& e = table.record(pos);
    switch (e.resourceState) {
        case deallocated:
            f.kind = FindingKind::doubleFree;
            f.allocated = &e.allocatedAt;
            f.deallocated = &e.deallocatedAt;
            analysis.report.add(f, [&](std::ostream& o) {
                o << "Error: deallocation of handle 0x" << h() << " by " << d.name << ":" << tor << " at "
                  << formatCallSite(call) << " while the handle allocated at " << formatCallSite(e.allocatedAt)
                  << " and freed at " << formatCallSite(e.deallocatedAt) << ".";
            });
            return;
        case allocated:
            if (d.warn_unused) {
                f.kind = FindingKind::neverUsed;
                f.allocated = &e.allocatedAt;
                f.bytes = e.size;
                f.sized = d.float_handle;
                analysis.report.add(f, [&](std::ostream& o) {
                    o << "Warning: deallocation of resource 0x" << h() << " by " << d.name << ":" << tor << " at "
                      << formatCallSite(call) << " while allocated at " << formatCallSite(e.allocatedAt)
                      << " which never operated.";
                });
            }
            table.markDeallocated(pos, call);
            return;
        case operated:
            table.markDeallocated(pos, call);
            return;
    }
    internalError(analysis, "DeallocatorEngine", 440);
}

bool OperatorEngine(TraceAnalysis& analysis, std::size_t domain, HandleState state, std::uint64_t handle,
                    const std::string& tor, const CallSite& site) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    Finding f;
    f.domain = &d.name;
    f.tor = &tor;
    f.hasHandle = true;
    f.handle = handle;
    f.call = &site;
    auto h = [handle] { return toHex16(handle); };  // only for a message
    if (state == bad) {
        f.kind = FindingKind::badHandleUse;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Error 007: bad handle 0x" << h() << " usage by " << d.name << ":" << tor << " at "
              << formatCallSite(site);
        });
        return true;
    }
    RecordId pos = 0;
    if (!table.findLastHandle(handle, pos)) {
        // Stack and static buffers, inherited descriptors, the standard
        // streams: the template may say such handles are fine to use.
        if (d.untracked_use == "ignore") return false;
        f.kind = FindingKind::untrackedUse;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Error: Unallocated resource usage 0x" << h() << " by " << d.name << ":" << tor << " at "
              << formatCallSite(site);
        });
        return false;
    }
    const HandleRecord& e = table.record(pos);
    if (e.resourceState == allocated) {
        table.markOperated(pos);
    } else if (e.resourceState == deallocated) {
        f.kind = FindingKind::useAfterFree;
        f.allocated = &e.allocatedAt;
        f.deallocated = &e.deallocatedAt;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Error: resource 0x" << h() << " used by " << d.name << ":" << tor << " at " << formatCallSite(site)
              << " was allocated at " << formatCallSite(e.allocatedAt) << " and deallocated at "
              << formatCallSite(e.deallocatedAt);
        });
    }
    return true;
}

bool ReallocatorEngine(CVLineFetcher& fetcher, TraceAnalysis& analysis, const CallSite& site,
                       const std::string& tor, std::size_t domain, HandleRecord& record) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    std::string a;
    std::int64_t n = fetcher.getLine(a);
    std::vector<std::string> chunks;
    if (splitLine(a, chunks) != 3) {
        line(analysis.err, "Unexpected value '", a, "' at ", n, ".");
        throw AnalysisExit{statusMalformedRealloc};
    }
    std::string text;
    if (chunks[1] == fixed::bad) {
        // Not a valid old handle: the call allocates afresh.
        fetcher.getLine(text);
        const std::uint64_t newSize = hexField(text);
        if (!callSucceeded(fetcher, text)) return true;
        std::string b;
        n = fetcher.getLine(b);
        std::vector<std::string> handleChunks;
        if (splitLine(b, handleChunks) != 2) {
            line(analysis.err, "Unexpected format string \"", b, "\" at tracefile line ", n, ". ", "tracer", ":", 671);
            throw AnalysisExit{statusMalformedRealloc};
        }
        if (handleChunks[0] != fixed::ok) {
            line(analysis.out, "NYI at ", "tracer", ":", 686);
            line(analysis.out, "LINE: '", b, "' at line ", n);
            throw AnalysisExit{statusReallocNotSupported};
        }
        record.allocatedAt = site;
        record.size = newSize;
        record.handle = hexField(handleChunks[1]);
        record.handleState = valid;
        record.resourceState = allocated;
        record.tor = analysis.report.torId(tor);
        AllocatorEngine(analysis, site, tor, domain, record);
        return true;
    }
    if (chunks[1] != fixed::ok) {
        line(analysis.err, "Unexpected format string \"", a, "\" at tracefile line ", n, ". ", "tracer", ":", 695);
        throw AnalysisExit{statusMalformedRealloc};
    }

    record.handle = hexField(chunks[2]);
    const std::string oldHandle = toHex16(record.handle);
    std::vector<RecordId> matches;
    table.liveMatches(record.handle, matches);
    if (matches.empty()) {
        Finding f;
        f.kind = FindingKind::reallocUntracked;
        f.domain = &d.name;
        f.tor = &tor;
        f.hasHandle = true;
        f.handle = record.handle;
        f.call = &site;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Error XX7: " << d.name << ":" << tor << " at " << formatCallSite(site)
              << " trying to reallocate never allocated (or allocated by " << "untracked function) handle 0x"
              << oldHandle;
        });
        return false;
    }
    if (matches.size() > 1) {
        line(analysis.out, "NYI at ", "tracer", ":", 630);
        throw AnalysisExit{statusReallocNotSupported};
    }
    std::string z;
    n = fetcher.getLine(z);
    if (z.size() != kelproto::kHex16Digits) {
        line(analysis.err, "Unexpected format string \"", z, "\" at tracefile line ", n, ". ", "tracer", ":", 626);
        throw AnalysisExit{statusMalformedRealloc};
    }
    const std::uint64_t newSize = hexField(z);
    if (newSize == 0) {
        // realloc(p, 0) frees p.
        record.deallocatedAt = site;
        DeallocatorEngine(analysis, site, tor, domain, record);
        fetcher.getLine(text);
        fetcher.getLine(text);
        return true;
    }
    const RecordId m = matches.front();
    if (table.record(m).size == newSize) {
        Finding f;
        f.kind = FindingKind::sameSizeRealloc;
        f.domain = &d.name;
        f.tor = &tor;
        f.hasHandle = true;
        f.handle = record.handle;
        f.call = &site;
        f.allocated = &table.record(m).allocatedAt;
        f.bytes = newSize;
        f.sized = true;
        analysis.report.add(f, [&](std::ostream& o) {
            o << "Warning: reallocation handle 0x" << oldHandle << " has the same size (" << newSize << " bytes) at"
              << formatCallSite(site);
        });
    }
    // A failed reallocation leaves the old resource in place.
    if (!callSucceeded(fetcher, text)) return true;
    std::string b;
    n = fetcher.getLine(b);
    if (b.compare(0, 3, kelproto::kOKPrefix) != 0) {
        line(analysis.out, "Abnormal content \"", b, "\" at tracefile line ", n);
        throw AnalysisExit{statusMalformedRealloc};
    }
    table.reallocate(m, hexField(b, 3), newSize, site, analysis.report.torId(tor));
    return true;
}

// ---------------------------------------------------------------- report

bool postTransactionAnalyzer(TraceAnalysis& analysis) {
    Report& report = analysis.report;
    for (std::size_t i = 0; i < analysis.tables.size() && i < analysis.tmpl.domains.size(); ++i) {
        const Domain& d = analysis.tmpl.domains[i];
        analysis.tables[i]->forEachRecord([&](const HandleRecord& r) {
            if (r.resourceState == deallocated) return;
            if (r.resourceState != allocated && r.resourceState != operated) {
                internalError(analysis, "postTransactionAnalyzer", 825);
            }
            Finding f;
            f.kind = FindingKind::leak;
            f.domain = &d.name;
            if (r.tor != HandleRecord().tor) f.tor = &report.text(r.tor);
            f.hasHandle = true;
            f.handle = r.handle;
            f.allocated = &r.allocatedAt;
            f.bytes = d.float_handle ? r.size : 0;
            f.sized = d.float_handle;
            report.add(f, [&](std::ostream& out) {
                out << "Error: resource leak; handle 0x" << toHex16(r.handle) << " from '" << d.name << "'"
                    << " allocated at " << formatCallSite(r.allocatedAt)
                    << (r.resourceState == allocated ? " not deallocated. Never operated" : " not deallocated");
                if (d.float_handle) {
                    if (r.size != 0) {
                        out << ". Bytes leaked: " << r.size;
                    } else {
                        out << ". Bytes leaked: 0, plus indirect leakage for pointer "
                            << "(example: malloc(size), when size is 0)";
                    }
                }
            });
        });
    }
    return true;
}

// ---------------------------------------------------------------- driver

std::uint8_t runAnalysis(CVLineFetcher& fetcher, const HandleTableFactory& tables, std::ostream& out,
                         std::ostream& err) {
    return runAnalysis(fetcher, AnalysisOptions{}, tables, out, err);
}

std::uint8_t runAnalysis(CVLineFetcher& fetcher, const AnalysisOptions& options, const HandleTableFactory& tables,
                         std::ostream& out, std::ostream& err) {
    TraceAnalysis analysis(tables, out, err, options.report);
    CountingFetcher counted(fetcher);
    std::uint8_t status = statusAnalysed;
    bool ended = false;  // the replay ended the run: no leak report
    try {
        bool header;
        try {
            header = readHeader(counted, analysis);
        } catch (const char* failure) {
            // Nothing has been replayed yet, so there is nothing to report.
            if (std::strcmp(failure, "eof") == 0) {
                line(err, "keltrace: line ", counted.last + 1, ": the trace ends inside its ",
                     counted.last < 2 ? "header" : "embedded template (no line \"</template>\")");
            } else if (std::strcmp(failure, "nul byte") == 0) {
                line(err, "keltrace: line ", counted.last + 1, kNulByte);
            } else {
                line(err, "keltrace: line ", counted.last + 1, ": cannot be read: ", kUnreadable);
            }
            line(err, "Unable to read header.");
            return statusNotATrace;
        }
        if (!header) {
            line(err, "Unable to read header.");
            return statusNotATrace;
        }
        try {
            replayRecords(counted, analysis);
        } catch (const char* failure) {
            // The leak report is most useful exactly when the program died.
            if (std::strcmp(failure, "eof") == 0) {
                line(err, "keltrace: line ", counted.last + 1,
                     ": the trace ends without \"KEL TRACING DONE\": the traced program did not exit normally");
            } else if (std::strcmp(failure, "nul byte") == 0) {
                line(err, "keltrace: line ", counted.last + 1, kNulByte);
            } else {
                line(err, "keltrace: line ", counted.last + 1, ": cannot be read: ", kUnreadable);
            }
        } catch (const MalformedField& bad) {
            line(err, "keltrace: line ", counted.last, ": '", bad.text,
                 "' is not a hexadecimal field of 1 to 16 upper-case digits (", bad.reason, ")");
        }
    } catch (const AnalysisExit& exit) {
        status = exit.status;
        ended = true;
    }
    const Report& report = analysis.report;
    if (!ended) {
        postTransactionAnalyzer(analysis);
        if (options.errorExitcode != 0) {
            status = static_cast<std::uint8_t>(report.totals().errors > 0 ? options.errorExitcode : 0);
        }
    }
    if (report.settings().group) report.printGroups(out);

    const ReportContext context{analysis.tmpl.name, options.traceName};
    if (!options.jsonPath.empty() &&
        !writeFileAtomically(options.jsonPath, [&](std::ostream& o) { writeJson(o, report, context); }, err)) {
        status = statusUsage;
    }
    if (!options.sarifPath.empty() &&
        !writeFileAtomically(options.sarifPath, [&](std::ostream& o) { writeSarif(o, report, context); }, err)) {
        status = statusUsage;
    }
    return status;
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
        line(err, "keltrace: cannot open trace file '", path, "': ", std::strerror(reason));
        return false;
    }
    return true;
}

const char* const kKeltraceVersion = "0.9.02";

void printUsage(const char* program, std::ostream& out) {
    line(out, "Usage: ", program, " --file ", "/path/to/tracefile");
    line(out, "Usage: ", program, " --sock ", "host:port");
    line(out, "Usage: ", program, " --version");
    line(out, "Example: ", program, " --file ", "tracefile.out");
    line(out, "Example: ", program, " --sock ", "localhost", ":12345");
    line(out, "Usage: ", program, " [OPTIONS] --file TRACE");
    line(out, "Usage: ", program, " [OPTIONS] --sock HOST:PORT");
    line(out, "Options (in any order):");
    line(out, "  --group               one line per finding kind, domain, tor and site with its count,");
    line(out, "                        most frequent first, then a summary; no line per finding");
    line(out, "  --suppressions FILE   hide the findings that match a rule kind:pattern of FILE");
    line(out, "                        (a glob on domain:tor or file:line; * for any kind); repeatable");
    line(out, "  --error-exitcode N    exit with N (1 to 255) when an unsuppressed error or leak remains,");
    line(out, "                        otherwise 0 (without it: 1 after every analysis)");
    line(out, "  --json FILE           write every finding, grouped, to FILE as JSON");
    line(out, "  --sarif FILE          write one result per group to FILE as SARIF 2.1.0");
    line(out, "  --max-occurrences N   list at most N occurrences per group in the JSON (0: all)");
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

void printVersion(std::ostream& out) { line(out, "KEL v", "0.9", ".02"); }
