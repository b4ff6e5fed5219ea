#include "record_reader.h"

#include <cstring>
#include <utility>
#include <vector>

#include "analysis_messages.h"
#include "frozen_texts.h"
#include "keltrace_status.h"
#include "same_text.h"
#include "trace_protocol.h"
#include "utils_numeric.h"

namespace {

// The protocol's fixed texts as views: comparing a line with one of them
// checks the length first, which settles most comparisons at once.
namespace fixed {
constexpr std::string_view forkCall = kelproto::kForkCall;
constexpr std::string_view done = kelproto::kDone;
constexpr std::string_view ok = kelproto::kOK;
constexpr std::string_view bad = kelproto::kBAD;
constexpr std::string_view nothing = kelproto::kNothing;
constexpr std::string_view voidMarker = kelproto::kVoid;
constexpr std::string_view okPrefix = kelproto::kOKPrefix;
constexpr std::string_view badPrefix = kelproto::kBADPrefix;
}  // namespace fixed

std::uint64_t hexField(std::string_view text) {
    try {
        return parseHex(text.data(), text.size());
    } catch (const char* reason) {
        throw MalformedField{std::string(text), reason};
    }
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

const Domain& domainOf(const TraceAnalysis& a, std::size_t domain) { return a.tmpl.domains[domain]; }

// The tor named `name` among one list of a domain, or null.
const Tor* findTorIn(const std::vector<Tor>& tors, std::string_view name) {
    for (const Tor& t : tors)
        if (sameText(t.name, name)) return &t;
    return nullptr;
}

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

// A program calls a few tors over and over: comparing with the tors of the
// records read last settles their names without searching the domain's lists.
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

bool findDomain(const TraceAnalysis& analysis, std::string_view name, std::size_t& domain) {
    for (std::size_t i = 0; i < analysis.tmpl.domains.size(); ++i) {
        if (sameText(analysis.tmpl.domains[i].name, name)) {
            domain = i;
            return true;
        }
    }
    return false;
}

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

RecordReader::RecordReader(CVLineFetcher& fetcher, TraceAnalysis& analysis) : fetcher_(fetcher), analysis_(analysis) {}

RecordHead RecordReader::readHead() {
    ReplayScratch& s = analysis_.scratch;
    RecordHead head;
    fetcher_.getLineView(s.first);
    if (s.first == fixed::done) return head;
    s.recordLine = fetcher_.lastDelivered();
    if (analysis_.live) analysis_.live->nextRecord();
    if (!findDomain(analysis_, s.first, head.domain)) {
        fetcher_.getLineView(s.second);
        if (s.second != fixed::forkCall) {
            head.kind = RecordHead::Kind::invalid;
            return head;
        }
        head.kind = RecordHead::Kind::fork;
        head.site = readCallSite(fetcher_, analysis_);
        return head;
    }
    fetcher_.getLineView(s.second);
    const Tor* found = findRecentTor(analysis_, head.domain, s.second, head.torKind);
    if (!found) {
        complain(analysis_, frozen::unknownTor::head, Quoted{s.second}, frozen::unknownTor::inDomain,
                 Quoted{domainOf(analysis_, head.domain).name}, frozen::unknownTor::end);
        head.kind = RecordHead::Kind::invalid;
        return head;
    }
    head.kind = RecordHead::Kind::call;
    head.tor = &found->name;
    head.site = readCallSite(fetcher_, analysis_);
    return head;
}

bool RecordReader::readAllocatorRecord(const RecordHead& head, HandleRecord& record) {
    const Domain& d = domainOf(analysis_, head.domain);
    std::string_view& x = analysis_.scratch.lineA;
    record.allocatedAt = head.site;
    if (d.float_handle) {
        fetcher_.getLineView(x);
        record.size = hexField(x);
    }
    std::int64_t n = fetcher_.getLineView(x);
    if (x.size() == kelproto::kHex16Digits) {
        if (!d.float_handle) {
            complain(analysis_, frozen::secondSize::head, Quoted{d.name}, frozen::secondSize::butAllocator,
                     Quoted{*head.tor}, frozen::secondSize::tail);
            return false;
        }
        const std::uint64_t factor = hexField(x);
        std::uint64_t product = 0;
        if (__builtin_mul_overflow(record.size, factor, &product)) {
            // A size no program can hold: the record is malformed, not a huge block.
            complainAt(analysis_, n, "malformed: the sizes 0x", Hex16{record.size}, " and 0x", Hex16{factor},
                       " multiply past 64 bits");
            return false;
        }
        record.size = product;
        n = fetcher_.getLineView(x);
    }
    if (x != fixed::ok && x != fixed::bad) {
        complain(analysis_, frozen::allocVerdict::head, Quoted{x}, frozen::allocVerdict::atLine, n,
                 frozen::allocVerdict::end);
        return false;
    }
    std::string_view& h = analysis_.scratch.lineB;
    fetcher_.getLineView(h);
    if (h.size() < 4) {
        complain(analysis_, frozen::shortHandle);
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
        complain(analysis_, frozen::handlePrefix::head, Quoted{h}, frozen::handlePrefix::end);
        return false;
    }
    record.handle = hexField(handle);
    record.resourceState = allocated;
    return true;
}

bool RecordReader::readDeallocatorRecord(const RecordHead& head, HandleRecord& record, ReleaseCall& call) {
    ReplayScratch& s = analysis_.scratch;
    record.deallocatedAt = head.site;
    fetcher_.getLineView(s.lineA);
    const std::string_view* chunks = s.chunks;
    if (splitLine(s.lineA, s.chunks, 3) != 3) {
        complain(analysis_, frozen::releaseChunks, frozen::tag::releaseChunks);
        return false;
    }
    if (chunks[1] == fixed::ok) {
        record.handleState = valid;
    } else if (chunks[1] == fixed::bad) {
        record.handleState = bad;
    } else {
        complain(analysis_, frozen::releaseVerdict, frozen::tag::releaseVerdict);
        return false;
    }
    record.handle = hexField(chunks[2]);
    call.writtenSize = chunks[2].copy(call.written, sizeof call.written);
    return true;
}

ReleaseOutcome RecordReader::readReleaseOutcome() {
    std::string_view& b = analysis_.scratch.lineB;
    std::int64_t n = 0;
    try {
        n = fetcher_.getLineView(b);
    } catch (const char* failure) {
        return std::strcmp(failure, "cut") == 0 ? ReleaseOutcome::cut : ReleaseOutcome::died;
    }
    if (b == fixed::bad) return ReleaseOutcome::failed;
    if (b != fixed::voidMarker && b != fixed::ok) {
        complainValue(b, n);
        return ReleaseOutcome::malformed;
    }
    return ReleaseOutcome::succeeded;
}

bool RecordReader::readReleaseEnd() {
    std::string_view& b = analysis_.scratch.lineB;
    const std::int64_t n = fetcher_.getLineView(b);
    if (b != fixed::nothing) {
        complainValue(b, n);
        return false;
    }
    return true;
}

bool RecordReader::readOperatorRecord(OperatedHandle& operated, bool& malformed) {
    ReplayScratch& s = analysis_.scratch;
    malformed = true;
    // Either the result line "-" or a handle line, which is read next in any
    // case: take it at once rather than look at it first.
    fetcher_.getLineView(s.lineA);
    if (s.lineA == fixed::nothing) {
        fetcher_.getLineView(s.lineA);  // the handle line, "-" for an operator
        malformed = false;
        return false;
    }
    if (splitLine(s.lineA, s.chunks, 3) != 3) {
        complain(analysis_, frozen::operatorFormat, frozen::tag::operatorFormat);
        return false;
    }
    if (!findDomain(analysis_, s.chunks[0], operated.domain)) {
        complain(analysis_, frozen::operatorDomain, frozen::tag::operatorDomain);
        return false;
    }
    if (s.chunks[1] == fixed::ok) {
        operated.state = valid;
    } else if (s.chunks[1] == fixed::bad) {
        operated.state = bad;
    } else {
        complain(analysis_, frozen::operatorVerdict, frozen::tag::operatorVerdict);
        return false;
    }
    operated.handle = hexField(s.chunks[2]);
    malformed = false;
    return true;
}

ReallocHead RecordReader::readReallocHead() {
    ReplayScratch& s = analysis_.scratch;
    ReallocHead head;
    std::int64_t n = fetcher_.getLineView(s.lineA);
    if (splitLine(s.lineA, s.chunks, 3) != 3) {
        complainValue(s.lineA, n);
        throw AnalysisExit{statusMalformedRealloc};
    }
    if (s.chunks[1] == fixed::ok) {
        head.oldHandle = hexField(s.chunks[2]);
        return head;
    }
    if (s.chunks[1] != fixed::bad) {
        complainFormat(s.lineA, n, frozen::tag::reallocVerdict);
        throw AnalysisExit{statusMalformedRealloc};
    }
    // realloc(p, n) for a p its wrapper called BAD (NULL): read whole, as an
    // allocation.
    head.fromBad = true;
    std::string_view& text = s.lineB;
    fetcher_.getLineView(text);
    head.newSize = hexField(text);
    if (!callSucceeded(text)) return head;
    n = fetcher_.getLineView(text);
    // The old handle's line is done with: its chunks make room for these.
    if (splitLine(text, s.chunks, 3) != 2) {
        complainFormat(text, n, frozen::tag::reallocFromBad);
        throw AnalysisExit{statusMalformedRealloc};
    }
    if (s.chunks[0] != fixed::ok) {
        say(analysis_, frozen::notSupported::first, frozen::tag::reallocNotSupported);
        say(analysis_, frozen::notSupported::head, Quoted{text}, frozen::notSupported::atLine, n);
        throw AnalysisExit{statusReallocNotSupported};
    }
    head.succeeded = true;
    head.newHandle = hexField(s.chunks[1]);
    return head;
}

std::uint64_t RecordReader::newSize() {
    std::string_view& text = analysis_.scratch.lineB;
    const std::int64_t n = fetcher_.getLineView(text);
    if (text.size() != kelproto::kHex16Digits) {
        complainFormat(text, n, frozen::tag::reallocSize);
        throw AnalysisExit{statusMalformedRealloc};
    }
    return hexField(text);
}

void RecordReader::skipResult() {
    std::string_view& text = analysis_.scratch.lineB;
    fetcher_.getLineView(text);
    fetcher_.getLineView(text);
}

bool RecordReader::newHandle(std::uint64_t& handle) {
    std::string_view& text = analysis_.scratch.lineB;
    // A failed reallocation leaves the old resource in place.
    if (!callSucceeded(text)) return false;
    const std::int64_t n = fetcher_.getLineView(text);
    if (!startsWith(text, fixed::okPrefix)) {
        say(analysis_, frozen::abnormalContent::head, Quoted{text}, frozen::abnormalContent::atLine, n);
        throw AnalysisExit{statusMalformedRealloc};
    }
    handle = hexField(text.substr(fixed::okPrefix.size()));
    return true;
}

void RecordReader::complainValue(std::string_view text, std::int64_t number) {
    complain(analysis_, frozen::unexpectedValue::head, Quoted{text}, frozen::unexpectedValue::at, number,
             frozen::unexpectedValue::end);
}

void RecordReader::complainFormat(std::string_view text, std::int64_t number, frozen::Text tag) {
    complain(analysis_, frozen::formatString::head, Quoted{text}, frozen::formatString::atLine, number,
             frozen::formatString::beforeTag, tag);
}

bool RecordReader::callSucceeded(std::string_view& text) {
    fetcher_.getLineView(text);
    if (text == fixed::ok) return true;
    fetcher_.getLineView(text);
    return false;
}
