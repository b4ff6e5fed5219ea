// The production handle table: the observable behaviour of a plain list of
// records searched linearly, at constant cost per operation and about 70
// bytes per distinct handle.
//
// Per handle it keeps the live (allocated or operated) records in the order
// they took the handle (appended, or reallocated in place or onto it), so
// that the last is the one a release or use finds, and the deallocated record
// that took the handle last of the released ones; each record carries its
// table order, which the leak report and the list of live matches sort by. A
// deallocated record that took the handle before the kept one can never be
// found or reported again (deallocated records never change), so it is
// released: with a small live set, memory stays flat however long the trace
// is.
//
// Records sit in fixed-size chunks, so the table grows without copying them.
// Record ids are slots, reused after release; they identify a record only
// until the next change of the table and say nothing about table order.
// Preconditions the engines keep: markOperated, markDeallocated and
// reallocate are applied to live records only.
//
// With trackRanges (a domain with interior="true"), an ordered index keyed by
// address sits next to the one by handle: the ranges records were placed
// over, painted in order into disjoint pieces, each naming the record placed
// last over it. A piece runs from its key to the next key at most. A release
// changes nothing there: its record simply answers as released. A range that
// later placements have painted over can never be found again, so it is
// dropped: the pieces follow the distinct block boundaries, not the number of
// records. A released record stays while a piece names it, even when a later
// release of its handle would otherwise drop it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "big_array.h"
#include "handle_table.h"
#include "ordered_index.h"

class IndexedHandleTable : public HandleTable {
public:
    IndexedHandleTable();
    ~IndexedHandleTable() override;

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
    using Slot = std::uint32_t;
    static constexpr Slot kNone = 0x7FFFFFFFu;

    // A record with its table order and its place among the live records of
    // its handle: 48 bytes. While live, olderThanDead says that it took the
    // handle before the handle's kept deallocated record did; along the live
    // list (in taking order) these flags form a prefix.
    struct Cell {
        HandleRecord rec;
        std::uint64_t seq : 40;     // table order
        std::uint64_t pieces : 24;  // with ranges: how many pieces name it (kPinned: too many to count)
        Slot prevLive : 31;
        Slot olderThanDead : 1;
        Slot nextLive : 31;
    };
    static constexpr std::uint64_t kPinned = (std::uint64_t(1) << 24) - 1;
    // Cells come in chunks of 2 MB (43,690 cells), one huge page each once the
    // table has outgrown its first chunks.
    static constexpr Slot kChunkCells = Slot((std::size_t(2) << 20) / sizeof(Cell));
    static constexpr std::size_t kSmallChunks = 2;

    // What the table knows about one handle value: 16 bytes. Without a live
    // record, finding the most recent one reads nothing but this entry. With
    // ranges, deadUnnamed says that no piece names the deallocated record, so
    // that dropping it later needs no look at it (it is seldom in the cache).
    struct Entry {
        std::uint64_t key;
        Slot liveHead : 31;
        Slot deadUnnamed : 1;
        Slot lastDead : 31;
        bool empty() const { return liveHead == kNone && lastDead == kNone; }
    };

    // Open addressing with linear probing over handle values; erasing shifts
    // the following run back, so no tombstones pile up. At most three
    // quarters full.
    //
    // Handles that are close in value land in nearby buckets: a program
    // allocates and releases blocks in runs of neighbouring addresses, and
    // the buckets of such a run share cache lines and pages instead of
    // costing a cache miss each. Only runs of 2^kWindowBits handle steps
    // stay together; the runs themselves are spread by a hash. A step is the
    // handles' common alignment (16 for heap blocks, 1 for descriptors).
    class HandleIndex {
    public:
        HandleIndex();
        Entry* find(std::uint64_t key);
        const Entry* find(std::uint64_t key) const;
        Entry& findOrInsert(std::uint64_t key);
        // The huge bucket arrays that growing has replaced, still mapped and
        // written (see IndexedHandleTable::spareChunk). Taken by the caller.
        std::vector<BigArray<Entry>>& retired() { return retired_; }
        void erase(Entry& entry);

    private:
        static constexpr unsigned kWindowBits = 8;
        std::size_t home(std::uint64_t key) const;
        void rehash(std::size_t size);
        BigArray<Entry> buckets_;
        std::vector<BigArray<Entry>> retired_;
        std::size_t count_ = 0;
        unsigned bits_ = 0;   // log2 of the bucket count
        unsigned align_ = 4;  // log2 of the step between neighbouring handles
    };

    Cell& cell(Slot s) { return chunks_[s / kChunkCells][s % kChunkCells]; }
    const Cell& cell(Slot s) const { return chunks_[s / kChunkCells][s % kChunkCells]; }
    Slot newSlot();
    // A chunk's room in memory that the index has given up, or null.
    Cell* spareChunk();
    void release(Slot s);
    Slot liveTail(const Entry& e) const;
    // s takes the handle now: it goes last among the live records.
    void linkLive(Entry& e, Slot s);
    void unlinkLive(Entry& e, Slot s);
    // s, released, took the handle after every deallocated record kept so
    // far: it is kept instead, and the live records from `before` back
    // (those that took the handle before s) are marked older than it.
    void keepDead(Entry& e, Slot s, Slot before);
    void collect(bool liveOnly, const std::function<void(const HandleRecord&)>& visit) const;

    // Ranges. Paints the range of record s over the others.
    void paint(Slot s);
    void addPiece(Slot s);
    // One piece fewer names s; a released record that no piece names and no
    // lookup by handle can find is dropped.
    void unpiece(Slot s);
    // e.lastDead becomes s.
    void setLastDead(Entry& e, Slot s);

    std::vector<Cell*> chunks_;
    std::vector<BigArray<Cell>> ownChunks_;  // the chunks mapped for cells
    // Bucket arrays the index has outgrown. Their pages are written already,
    // so cells placed there cost no fresh pages, which the kernel would have
    // to clear first: [spareNext_, spareEnd_) is the part not handed out yet.
    std::vector<BigArray<Entry>> spare_;
    char* spareNext_ = nullptr;
    char* spareEnd_ = nullptr;
    Slot slots_ = 0;  // slots handed out so far
    std::vector<Slot> free_;
    std::uint64_t nextSeq_ = 0;
    HandleIndex index_;

    bool ranges_ = false;
    OrderedIndex<Slot> placed_;  // the first address of each piece, and the record it names
};

// The factory keltrace uses.
HandleTableFactory indexedTables();
