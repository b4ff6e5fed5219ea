// The analyzer's vocabulary for tracked resources, and the per-domain table
// the engines work on. The table is an interface so that the production
// (indexed) table and the straightforward linear one can be swapped: the
// linear one is the oracle the indexed one is tested against.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct CallSite {
    std::string file;
    std::string line;
};

// A call site as the analysis's SiteTable interned it (call_sites.h). The
// empty site (no file, no line), as a record holds before its release, is
// always kNoSite.
using SiteId = std::uint32_t;
constexpr SiteId kNoSite = 0;

enum HandleState : std::uint8_t { valid = 0, bad = 1 };

enum ResourceState : std::uint8_t { allocated = 0, operated = 1, deallocated = 2 };

// One tracked resource: 32 bytes, so that a million of them stay small.
struct HandleRecord {
    std::uint64_t handle = 0;
    std::uint64_t size = 0;
    SiteId allocatedAt = kNoSite;
    SiteId deallocatedAt = kNoSite;
    // The tor that allocated (or last reallocated) the resource, as an id of
    // the analysis's report (Report::torId), so that a leak names it. The
    // record readers set it; the default names no tor.
    std::uint32_t tor = 0xFFFFFFFFu;
    HandleState handleState = valid;
    ResourceState resourceState = allocated;
};

// Whether a record's block holds an address (without overflow at the top of
// the address space); a block of size 0 holds none.
inline bool holds(const HandleRecord& r, std::uint64_t address) {
    return r.size != 0 && r.handle <= address && address - r.handle < r.size;
}

// Names a record that a lookup returned, for the calls that follow it. For a
// linear table it is the record's position; other tables may use any value,
// so engines compare records, never ids.
using RecordId = std::uint64_t;

// One domain's tracked resources, in the order they were appended. Records are
// changed only through the operations below, so an implementation can keep
// its indexes (by exact handle, or by address range for sized blocks) in step
// with every change of a handle, a size or a state.
class HandleTable {
public:
    virtual ~HandleTable() = default;

    virtual void append(const HandleRecord& record) = 0;

    // The record that most recently took `handle`, by its append or by a
    // reallocation (in place or onto the handle), not by table position; a
    // live record wins over released ones whenever there is one. That is
    // the record a release or a use of the handle means: a block that
    // realloc moved onto the address of a later, released block is the one
    // a free of that address releases.
    virtual bool findLastHandle(std::uint64_t handle, RecordId& pos) const = 0;

    // Positions of every live record (allocated or operated) whose handle
    // equals `handle`, in table order. `out` is replaced.
    virtual void liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const = 0;

    // A record found by one of the lookups above.
    virtual const HandleRecord& record(RecordId pos) const = 0;

    virtual void markOperated(RecordId pos) = 0;
    virtual void markDeallocated(RecordId pos, SiteId at) = 0;
    // A successful reallocation: new handle, size, allocation site and tor;
    // the state is kept.
    virtual void reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, SiteId at,
                            std::uint32_t tor) = 0;

    // Address ranges, for a domain whose handles may point inside a block
    // (interior="true"). A record of non-zero size holds the addresses
    // [handle, handle + size); a record of size 0 holds none. Its append, and
    // each reallocation, place it over its range. Called once, before the
    // first record; without it findHolding finds nothing and the table keeps
    // no ranges.
    virtual void trackRanges() = 0;
    // The record placed last over `address` (by its append or its latest
    // reallocation), if that record still holds the address; it may be live
    // or released. In a consistent trace, where live blocks never overlap,
    // that is the live record holding the address, else the released one
    // released last over it. A record that has since moved or shrunk away
    // leaves the address to nothing, not to what lay there before it.
    virtual bool findHolding(std::uint64_t address, RecordId& pos) const = 0;

    // Every live record, in table order: what the leak report reads.
    virtual void forEachLive(const std::function<void(const HandleRecord&)>& visit) const = 0;
    // Every record that can still be found (every live one at least), in
    // table order.
    virtual void forEachRecord(const std::function<void(const HandleRecord&)>& visit) const = 0;
};

using HandleTableFactory = std::function<std::unique_ptr<HandleTable>()>;
