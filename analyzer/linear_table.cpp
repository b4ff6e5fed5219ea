#include "linear_table.h"

#include <algorithm>

void LinearHandleTable::append(const HandleRecord& record) {
    if (record.resourceState != deallocated) live.push_back(records.size());
    if (ranges && record.size != 0) placements.push_back({record.handle, record.size, records.size()});
    took.push_back(takings.size());
    takings.push_back(records.size());
    records.push_back(record);
}

bool LinearHandleTable::findLastHandle(std::uint64_t handle, RecordId& pos) const {
    // A live record beats any released one; among live ones, the later taker.
    bool found = false;
    for (std::size_t i : live) {
        if (records[i].handle == handle && (!found || took[i] > took[pos])) {
            pos = i;
            found = true;
        }
    }
    if (found) return true;
    // Otherwise the latest taking of the handle that is still its record's
    // latest (a record that moved on took another handle since).
    for (std::size_t k = takings.size(); k > 0; --k) {
        const std::size_t i = takings[k - 1];
        if (took[i] == k - 1 && records[i].handle == handle) {
            pos = i;
            return true;
        }
    }
    return false;
}

void LinearHandleTable::liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const {
    out.clear();
    for (std::size_t i : live) {
        const HandleRecord& r = records[i];
        // A used resource is as live as an unused one: both block a second
        // allocation of the handle and both can be reallocated.
        if (r.handle == handle && (r.resourceState == allocated || r.resourceState == operated)) out.push_back(i);
    }
}

const HandleRecord& LinearHandleTable::record(RecordId pos) const { return records.at(pos); }

void LinearHandleTable::markOperated(RecordId pos) { records.at(pos).resourceState = operated; }

void LinearHandleTable::markDeallocated(RecordId pos, SiteId at) {
    HandleRecord& r = records.at(pos);
    r.resourceState = deallocated;
    r.deallocatedAt = at;
    const auto it = std::find(live.begin(), live.end(), pos);
    if (it != live.end()) live.erase(it);
}

void LinearHandleTable::reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, SiteId at,
                                   std::uint32_t tor) {
    HandleRecord& r = records.at(pos);
    r.tor = tor;
    r.handle = handle;
    r.size = size;
    r.allocatedAt = at;
    took.at(pos) = takings.size();
    takings.push_back(pos);
    if (ranges && size != 0) placements.push_back({handle, size, pos});
}

void LinearHandleTable::trackRanges() { ranges = true; }

bool LinearHandleTable::findHolding(std::uint64_t address, RecordId& pos) const {
    for (auto p = placements.rbegin(); p != placements.rend(); ++p) {
        if (p->start <= address && address - p->start < p->size) {
            if (!holds(records[p->pos], address)) return false;
            pos = p->pos;
            return true;
        }
    }
    return false;
}

void LinearHandleTable::forEachLive(const std::function<void(const HandleRecord&)>& visit) const {
    for (std::size_t i : live) visit(records[i]);
}

void LinearHandleTable::forEachRecord(const std::function<void(const HandleRecord&)>& visit) const {
    for (const HandleRecord& r : records) visit(r);
}

HandleTableFactory linearTables() {
    return [] { return std::unique_ptr<HandleTable>(new LinearHandleTable()); };
}
