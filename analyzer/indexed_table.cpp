#include "indexed_table.h"

#include <algorithm>
#include <cassert>
#include <utility>

// ---------------------------------------------------------------- index

IndexedHandleTable::HandleIndex::HandleIndex() : buckets_(64), shift_(64 - 6) {}

std::size_t IndexedHandleTable::HandleIndex::home(std::uint64_t key) const {
    // Handles are often aligned addresses: multiply so the high bits mix all of them.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
}

IndexedHandleTable::Entry* IndexedHandleTable::HandleIndex::find(std::uint64_t key) {
    const std::size_t mask = buckets_.size() - 1;
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
        Bucket& b = buckets_[i];
        if (!b.used) return nullptr;
        if (b.key == key) return &b.entry;
    }
}

const IndexedHandleTable::Entry* IndexedHandleTable::HandleIndex::find(std::uint64_t key) const {
    return const_cast<HandleIndex*>(this)->find(key);
}

IndexedHandleTable::Entry& IndexedHandleTable::HandleIndex::findOrInsert(std::uint64_t key) {
    // Keep the load at most one half so probe runs stay short.
    if ((count_ + 1) * 2 > buckets_.size()) grow();
    const std::size_t mask = buckets_.size() - 1;
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
        Bucket& b = buckets_[i];
        if (!b.used) {
            b.used = true;
            b.key = key;
            b.entry = Entry();
            ++count_;
            return b.entry;
        }
        if (b.key == key) return b.entry;
    }
}

void IndexedHandleTable::HandleIndex::erase(std::uint64_t key) {
    const std::size_t mask = buckets_.size() - 1;
    std::size_t i = home(key);
    while (true) {
        if (!buckets_[i].used) return;
        if (buckets_[i].key == key) break;
        i = (i + 1) & mask;
    }
    // Backward shift: move later members of the run into the hole when their
    // home position does not lie cyclically between the hole and themselves.
    std::size_t hole = i;
    for (std::size_t j = (i + 1) & mask; buckets_[j].used; j = (j + 1) & mask) {
        const std::size_t h = home(buckets_[j].key);
        const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (!stays) {
            buckets_[hole] = buckets_[j];
            hole = j;
        }
    }
    buckets_[hole].used = false;
    --count_;
}

void IndexedHandleTable::HandleIndex::grow() {
    std::vector<Bucket> old;
    old.swap(buckets_);
    buckets_.assign(old.size() * 2, Bucket());
    --shift_;
    count_ = 0;
    for (const Bucket& b : old)
        if (b.used) findOrInsert(b.key) = b.entry;
}

// ---------------------------------------------------------------- table

IndexedHandleTable::IndexedHandleTable() = default;
IndexedHandleTable::~IndexedHandleTable() = default;

IndexedHandleTable::Slot IndexedHandleTable::newSlot() {
    if (!free_.empty()) {
        Slot s = free_.back();
        free_.pop_back();
        return s;
    }
    recs_.emplace_back();
    meta_.emplace_back();
    return static_cast<Slot>(recs_.size() - 1);
}

void IndexedHandleTable::release(Slot s) {
    // The record itself is left as it is: the next append to this slot
    // overwrites it, and its strings' storage is reused then.
    meta_[s] = Meta();
    free_.push_back(s);
}

void IndexedHandleTable::linkLive(Entry& e, Slot s) {
    // Table order within the handle. A new record goes last; a reallocated one
    // may land before records that were appended after it.
    Meta& m = meta_[s];
    Slot after = e.liveTail;
    while (after != kNone && meta_[after].seq > m.seq) after = meta_[after].prevLive;
    m.prevLive = after;
    m.nextLive = after == kNone ? e.liveHead : meta_[after].nextLive;
    if (m.prevLive != kNone) meta_[m.prevLive].nextLive = s; else e.liveHead = s;
    if (m.nextLive != kNone) {
        meta_[m.nextLive].prevLive = s;
    } else {
        e.liveTail = s;
        e.liveTailSeq = m.seq;
    }
}

void IndexedHandleTable::unlinkLive(Entry& e, Slot s) {
    Meta& m = meta_[s];
    if (m.prevLive != kNone) meta_[m.prevLive].nextLive = m.nextLive; else e.liveHead = m.nextLive;
    if (m.nextLive != kNone) {
        meta_[m.nextLive].prevLive = m.prevLive;
    } else {
        e.liveTail = m.prevLive;
        e.liveTailSeq = e.liveTail == kNone ? 0 : meta_[e.liveTail].seq;
    }
    m.prevLive = m.nextLive = kNone;
}

void IndexedHandleTable::settleDead(Entry& e, Slot s) {
    const std::uint64_t seq = meta_[s].seq;
    if (e.lastDead != kNone && e.lastDeadSeq > seq) {
        release(s);
        return;
    }
    if (e.lastDead != kNone) release(e.lastDead);
    e.lastDead = s;
    e.lastDeadSeq = seq;
}

void IndexedHandleTable::append(const HandleRecord& record) {
    const Slot s = newSlot();
    recs_[s] = record;
    meta_[s].seq = nextSeq_++;

    Entry& e = index_.findOrInsert(record.handle);
    if (record.resourceState == deallocated)
        settleDead(e, s);
    else
        linkLive(e, s);
}

bool IndexedHandleTable::findLastHandle(std::uint64_t handle, RecordId& pos) const {
    const Entry* e = index_.find(handle);
    if (!e) return false;
    Slot best = e->liveTail;
    if (e->lastDead != kNone && (best == kNone || e->lastDeadSeq > e->liveTailSeq)) best = e->lastDead;
    if (best == kNone) return false;
    pos = best;
    return true;
}

void IndexedHandleTable::liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const {
    out.clear();
    const Entry* e = index_.find(handle);
    if (!e) return;
    for (Slot s = e->liveHead; s != kNone; s = meta_[s].nextLive) out.push_back(s);
}

const HandleRecord& IndexedHandleTable::record(RecordId pos) const { return recs_[static_cast<Slot>(pos)]; }

void IndexedHandleTable::markOperated(RecordId pos) {
    HandleRecord& r = recs_[static_cast<Slot>(pos)];
    assert(r.resourceState != deallocated);
    r.resourceState = operated;
}

void IndexedHandleTable::markDeallocated(RecordId pos, const CallSite& at) {
    const Slot s = static_cast<Slot>(pos);
    HandleRecord& r = recs_[s];
    assert(r.resourceState != deallocated);
    r.resourceState = deallocated;
    r.deallocatedAt = at;
    Entry* e = index_.find(r.handle);
    assert(e);
    unlinkLive(*e, s);
    settleDead(*e, s);
}

void IndexedHandleTable::reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, const CallSite& at,
                                    std::uint32_t tor) {
    const Slot s = static_cast<Slot>(pos);
    HandleRecord& r = recs_[s];
    assert(r.resourceState != deallocated);
    r.tor = tor;
    r.size = size;
    r.allocatedAt = at;
    if (r.handle == handle) return;

    Entry* from = index_.find(r.handle);
    assert(from);
    unlinkLive(*from, s);
    if (from->empty()) index_.erase(r.handle);
    r.handle = handle;
    linkLive(index_.findOrInsert(handle), s);
}

void IndexedHandleTable::forEachRecord(const std::function<void(const HandleRecord&)>& visit) const {
    // Run once, for the leak report: sorting the retained records is cheaper
    // than keeping them on an ordered list through millions of changes.
    std::vector<std::pair<std::uint64_t, Slot>> order;
    order.reserve(meta_.size() - free_.size());
    for (Slot s = 0; s < meta_.size(); ++s)
        if (meta_[s].seq != kFree) order.emplace_back(meta_[s].seq, s);
    std::sort(order.begin(), order.end());
    for (const auto& entry : order) visit(recs_[entry.second]);
}

HandleTableFactory indexedTables() {
    return [] { return std::unique_ptr<HandleTable>(new IndexedHandleTable()); };
}
