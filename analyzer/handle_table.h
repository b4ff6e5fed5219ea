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

enum HandleState : std::int32_t { valid = 0, bad = 1 };

enum ResourceState : std::int32_t { allocated = 0, operated = 1, deallocated = 2 };

struct HandleRecord {
    CallSite allocatedAt;
    CallSite deallocatedAt;
    std::uint64_t handle = 0;
    std::uint64_t size = 0;
    HandleState handleState = valid;
    ResourceState resourceState = allocated;
    // The tor that allocated (or last reallocated) the resource, as an id of
    // the analysis's report (Report::torId), so that a leak names it. The
    // record readers set it; the default names no tor.
    std::uint32_t tor = 0xFFFFFFFFu;
};

// Names a record that a lookup returned, for the calls that follow it. For a
// linear table it is the record's position; other tables may use any value,
// so engines compare records, never ids.
using RecordId = std::uint64_t;

// One domain's tracked resources, in the order they were appended. Records are
// changed only through the operations below, so an implementation can keep
// indexes in step with handle and state changes.
class HandleTable {
public:
    virtual ~HandleTable() = default;

    virtual void append(const HandleRecord& record) = 0;

    // The record with the latest position whose handle equals `handle`,
    // whatever its state.
    virtual bool findLastHandle(std::uint64_t handle, RecordId& pos) const = 0;

    // Positions of every live record (allocated or operated) whose handle
    // equals `handle`, in table order. `out` is replaced.
    virtual void liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const = 0;

    // A record found by one of the lookups above.
    virtual const HandleRecord& record(RecordId pos) const = 0;

    virtual void markOperated(RecordId pos) = 0;
    virtual void markDeallocated(RecordId pos, const CallSite& at) = 0;
    // A successful reallocation: new handle, size, allocation site and tor;
    // the state is kept.
    virtual void reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, const CallSite& at,
                            std::uint32_t tor) = 0;

    // Every record that can still be reported (at least every live one), in
    // table order.
    virtual void forEachRecord(const std::function<void(const HandleRecord&)>& visit) const = 0;
};

using HandleTableFactory = std::function<std::unique_ptr<HandleTable>()>;
