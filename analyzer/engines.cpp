#include "engines.h"

#include <vector>

#include "analysis_messages.h"
#include "same_text.h"
#include "frozen_texts.h"
#include "trace_protocol.h"
#include "utils_numeric.h"

namespace {

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

// free(NULL) and its kind: the template says a BAD handle argument is no
// finding for this deallocator. Looked up only for a BAD handle, which is rare.
bool acceptsBadHandle(const TraceAnalysis& a, std::size_t domain, const std::string& tor) {
    for (const Tor& t : domainOf(a, domain).deallocators)
        if (sameText(t.name, tor)) return t.bad_handle_ok;
    return false;
}

const std::string kForkTor = kelproto::kForkCall;

}  // namespace

void AllocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                     const HandleRecord& record) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    const SiteTable& sites = analysis.sites;
    if (record.size == 0 && d.float_handle) {
        Finding f = callFinding(analysis, FindingKind::zeroAlloc, d.name, tor, record.handle, site);
        analysis.report.add(f, [&](MessageText& m) {
            m << frozen::zeroAlloc << Quoted{d.name} << frozen::torSeparator << Quoted{tor} << frozen::at
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
        namespace text = frozen::alreadyAllocated;
        m << text::head << Hex16{record.handle} << text::from << Quoted{d.name} << text::at
          << sites.shown(record.allocatedAt) << text::marked;
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
    t.text << frozen::by << Quoted{domainOf(analysis, domain).name} << frozen::torSeparator << Quoted{tor}
           << frozen::at << analysis.sites.shown(call) << frozen::neverUsed::allocatedAt
           << analysis.sites.shown(allocated) << frozen::neverUsed::tail;
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
                namespace text = frozen::freeInterior;
                m << text::head << Hex16{record.handle} << frozen::by << Quoted{d.name} << frozen::torSeparator
                  << Quoted{tor} << frozen::at << sites.shown(call) << text::inside << Hex16{block.handle}
                  << text::offset << (record.handle - block.handle) << text::allocatedAt
                  << sites.shown(block.allocatedAt);
                if (released) m << text::deallocatedAt << sites.shown(block.deallocatedAt);
            });
            return;
        }
        f.kind = FindingKind::unallocatedFree;
        analysis.report.add(f, [&](MessageText& m) {
            namespace text = frozen::unallocatedFree;
            m << text::head << handleStateName(record.handleState) << text::handle << Hex16{record.handle}
              << frozen::by << Quoted{d.name} << frozen::torSeparator << Quoted{tor} << frozen::at << sites.shown(call);
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
                namespace text = frozen::doubleFree;
                m << text::head << Hex16{record.handle} << frozen::by << Quoted{d.name} << frozen::torSeparator
                  << Quoted{tor} << frozen::at << sites.shown(call) << text::allocatedAt << sites.shown(e.allocatedAt)
                  << text::freedAt << sites.shown(e.deallocatedAt) << text::end;
            });
            return;
        case allocated:
            if (d.warn_unused) {
                f.kind = FindingKind::neverUsed;
                f.allocated = siteOf(analysis, e.allocatedAt);
                f.bytes = e.size;
                f.sized = d.float_handle;
                analysis.report.add(f, [&](MessageText& m) {
                    m << frozen::neverUsed::head << Hex16{record.handle}
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
    internalError(analysis, "DeallocatorEngine", frozen::tag::deallocatorState);
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
            m << frozen::badHandleUse::head << Hex16{handle} << frozen::badHandleUse::usageBy << Quoted{d.name}
              << frozen::torSeparator << Quoted{tor} << frozen::at << sites.shown(site);
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
        // the resource the program named, and is reported below.
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
                namespace text = frozen::useInsideFreed;
                m << text::head << Hex16{handle} << frozen::usedBy << Quoted{d.name} << frozen::torSeparator
                  << Quoted{tor} << frozen::at << sites.shown(site) << text::inside << Hex16{e.handle} << text::offset
                  << (handle - e.handle) << text::allocatedAt << sites.shown(e.allocatedAt) << text::deallocatedAt
                  << sites.shown(e.deallocatedAt);
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
            m << frozen::untrackedUse << Hex16{handle} << frozen::by << Quoted{d.name} << frozen::torSeparator
              << Quoted{tor} << frozen::at << sites.shown(site);
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
            namespace text = frozen::useAfterFree;
            m << text::head << Hex16{handle} << frozen::usedBy << Quoted{d.name} << frozen::torSeparator << Quoted{tor}
              << frozen::at << sites.shown(site) << text::allocatedAt << sites.shown(e.allocatedAt)
              << text::deallocatedAt << sites.shown(e.deallocatedAt);
        });
    }
    return true;
}

namespace {

// realloc(p, n) for a p its wrapper called BAD (NULL): a fresh allocation.
bool reallocFromBadHandle(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                          HandleRecord& record, const ReallocHead& head) {
    if (!head.succeeded) return true;
    record.allocatedAt = site;
    record.size = head.newSize;
    record.handle = head.newHandle;
    record.handleState = valid;
    record.resourceState = allocated;
    record.tor = analysis.report.torId(tor);
    AllocatorEngine(analysis, site, tor, domain, record);
    return true;
}

// realloc(p, n) for a valid p: the tracked block moves, grows or is freed.
bool reallocValidHandle(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                        HandleRecord& record, const ReallocHead& head, ReallocLines& rest) {
    const Domain& d = domainOf(analysis, domain);
    HandleTable& table = tableOf(analysis, domain);
    const SiteTable& sites = analysis.sites;
    record.handle = head.oldHandle;
    std::vector<RecordId>& matches = analysis.scratch.matches;
    table.liveMatches(record.handle, matches);
    if (matches.empty()) {
        Finding f = callFinding(analysis, FindingKind::reallocUntracked, d.name, tor, record.handle, site);
        analysis.report.add(f, [&](MessageText& m) {
            m << frozen::reallocUntracked::head << Quoted{d.name} << frozen::torSeparator << Quoted{tor} << frozen::at
              << sites.shown(site) << frozen::reallocUntracked::tail << Hex16{record.handle};
        });
        return false;
    }
    // Two live records share a handle only after an allocation onto a live
    // handle (already reported). As for a release, the reallocation means
    // the record that took the handle last.
    RecordId m = matches.front();
    if (matches.size() > 1) table.findLastHandle(record.handle, m);
    const std::uint64_t newSize = rest.newSize();
    if (newSize == 0) {
        // realloc(p, 0) frees p.
        record.deallocatedAt = site;
        DeallocatorEngine(analysis, site, tor, domain, record);
        rest.skipResult();
        return true;
    }
    if (table.record(m).size == newSize) {
        Finding f = callFinding(analysis, FindingKind::sameSizeRealloc, d.name, tor, record.handle, site);
        f.allocated = siteOf(analysis, table.record(m).allocatedAt);
        f.bytes = newSize;
        f.sized = true;
        analysis.report.add(f, [&](MessageText& msg) {
            namespace text = frozen::sameSizeRealloc;
            msg << text::head << Hex16{record.handle} << text::size << newSize << text::bytesAt << sites.shown(site);
        });
    }
    // A failed reallocation leaves the old resource in place.
    std::uint64_t newHandle = 0;
    if (!rest.newHandle(newHandle)) return true;
    if (analysis.live) analysis.live->resized(domain, table.record(m).size, newSize);
    table.reallocate(m, newHandle, newSize, site, analysis.report.torId(tor));
    return true;
}

}  // namespace

bool ReallocatorEngine(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                       HandleRecord& record, const ReallocHead& head, ReallocLines& rest) {
    if (head.fromBad) return reallocFromBadHandle(analysis, site, tor, domain, record, head);
    return reallocValidHandle(analysis, site, tor, domain, record, head, rest);
}

void releaseDied(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                 const HandleRecord& record, std::string_view written) {
    Finding f = callFinding(analysis, FindingKind::diedInside, domainOf(analysis, domain).name, tor, record.handle, site);
    analysis.report.add(f, [&](MessageText& m) {
        namespace text = frozen::diedInside;
        m << text::head << Quoted{tor} << text::open << Quoted{written} << text::closeAt << analysis.sites.shown(site);
    });
}

void releaseFailed(TraceAnalysis& analysis, SiteId site, const std::string& tor, std::size_t domain,
                   const HandleRecord& record) {
    // fclose, close and their kind release the resource even when they
    // report failure: the release stands, and the replay goes on.
    if (record.handleState == bad && acceptsBadHandle(analysis, domain, tor)) return;
    const Domain& d = domainOf(analysis, domain);
    Finding f = callFinding(analysis, FindingKind::failedFree, d.name, tor, record.handle, site);
    analysis.report.add(f, [&](MessageText& m) {
        m << frozen::failedFree::head << Hex16{record.handle} << frozen::by << Quoted{d.name} << frozen::torSeparator
          << Quoted{tor} << frozen::at << analysis.sites.shown(site) << frozen::failedFree::tail;
    });
}

void forkCalled(TraceAnalysis& analysis, SiteId site) {
    Finding f;
    f.kind = FindingKind::fork;
    f.tor = &kForkTor;
    f.call = siteOf(analysis, site);
    const CallSite& at = analysis.sites.site(site);
    analysis.report.add(f, [&](MessageText& m) {
        m << frozen::fork::head << Quoted{at.file} << frozen::torSeparator << Quoted{at.line} << frozen::fork::tail;
    });
}
