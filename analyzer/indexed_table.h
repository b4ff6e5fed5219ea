// The production handle table: the observable behaviour of a plain list of
// records searched linearly, at constant cost per operation.
//
// Per handle it keeps the live (allocated or operated) records in table order
// and the latest deallocated record; each record carries its table order,
// which the leak report sorts by. A deallocated record that a later
// deallocated record of the same handle shadows can never be found or
// reported again (deallocated records never change), so it is released: with
// a small live set, memory stays flat however long the trace is.
//
// Record ids are slots, reused after release; they identify a record only
// until the next change of the table and say nothing about table order.
// Preconditions the engines keep: markOperated, markDeallocated and
// reallocate are applied to live records only.
#pragma once

#include <cstdint>
#include <vector>

#include "handle_table.h"

class IndexedHandleTable : public HandleTable {
public:
    IndexedHandleTable();
    ~IndexedHandleTable() override;

    void append(const HandleRecord& record) override;
    bool findLastHandle(std::uint64_t handle, RecordId& pos) const override;
    void liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const override;
    const HandleRecord& record(RecordId pos) const override;
    void markOperated(RecordId pos) override;
    void markDeallocated(RecordId pos, const CallSite& at) override;
    void reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, const CallSite& at,
                    std::uint32_t tor) override;
    void forEachRecord(const std::function<void(const HandleRecord&)>& visit) const override;

private:
    using Slot = std::uint32_t;
    static constexpr Slot kNone = 0xFFFFFFFFu;

    // Where a slot's record stands: its table order and its place among the
    // live records of its handle. Kept apart from the records, so that lookups
    // stay within a small dense array and touch a record only to read or
    // change it.
    struct Meta {
        std::uint64_t seq = kFree;  // table order; kFree for a released slot
        Slot prevLive = kNone, nextLive = kNone;
    };
    static constexpr std::uint64_t kFree = ~std::uint64_t(0);

    // What the table knows about one handle value.
    // The orders of the two candidates for the most recent record are kept
    // here too, so that finding it reads nothing but this entry.
    struct Entry {
        std::uint64_t lastDeadSeq = 0;
        std::uint64_t liveTailSeq = 0;
        Slot lastDead = kNone;
        Slot liveHead = kNone;
        Slot liveTail = kNone;
        bool empty() const { return lastDead == kNone && liveHead == kNone; }
    };

    // Open addressing with linear probing over handle values; erasing shifts
    // the following run back, so no tombstones pile up.
    class HandleIndex {
    public:
        HandleIndex();
        Entry* find(std::uint64_t key);
        const Entry* find(std::uint64_t key) const;
        Entry& findOrInsert(std::uint64_t key);
        void erase(std::uint64_t key);

    private:
        struct Bucket {
            std::uint64_t key = 0;
            Entry entry;
            bool used = false;
        };
        std::size_t home(std::uint64_t key) const;
        void grow();
        std::vector<Bucket> buckets_;
        std::size_t count_ = 0;
        unsigned shift_ = 0;
    };

    Slot newSlot();
    void release(Slot s);
    void linkLive(Entry& e, Slot s);
    void unlinkLive(Entry& e, Slot s);
    // Keeps only the latest of the deallocated records of a handle.
    void settleDead(Entry& e, Slot s);

    std::vector<HandleRecord> recs_;
    std::vector<Meta> meta_;
    std::vector<Slot> free_;
    std::uint64_t nextSeq_ = 0;
    HandleIndex index_;
};

// The factory keltrace uses.
HandleTableFactory indexedTables();
