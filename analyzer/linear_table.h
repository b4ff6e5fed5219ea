// The straightforward handle table: a plain list searched linearly on every
// lookup. It is the reference behaviour that faster tables are checked
// against, so it stays as simple as the engines' rules. Beside the list it
// keeps the positions of the live records, in table order, so that checking a
// trace of many handles with a small live set stays quick. Address ranges are
// found by going back through every placement.
#pragma once

#include <vector>

#include "handle_table.h"

class LinearHandleTable : public HandleTable {
public:
    void append(const HandleRecord& record) override;
    bool findLastHandle(std::uint64_t handle, RecordId& pos) const override;
    void liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const override;
    const HandleRecord& record(RecordId pos) const override;
    void markOperated(RecordId pos) override;
    void markDeallocated(RecordId pos, SiteId at) override;
    void reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, SiteId at,
                    std::uint32_t tor) override;
    void trackRanges() override;
    bool findHolding(std::uint64_t address, RecordId& pos) const override;
    void forEachLive(const std::function<void(const HandleRecord&)>& visit) const override;
    void forEachRecord(const std::function<void(const HandleRecord&)>& visit) const override;

private:
    std::vector<HandleRecord> records;
    // Every taking of a handle (an append or a reallocation), in order: the
    // position of the record that took it; and per record the index of its
    // latest taking there.
    std::vector<std::size_t> takings;
    std::vector<std::size_t> took;
    std::vector<std::size_t> live;  // positions of the records not deallocated, ascending
    // With ranges: every placement of a record over a range, in order.
    struct Placement {
        std::uint64_t start, size;
        std::size_t pos;
    };
    bool ranges = false;
    std::vector<Placement> placements;
};

// A factory that makes LinearHandleTable objects.
HandleTableFactory linearTables();
