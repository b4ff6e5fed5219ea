#include "indexed_table.h"

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
    nodes_.emplace_back();
    return static_cast<Slot>(nodes_.size() - 1);
}

void IndexedHandleTable::release(Slot s) {
    Node& n = nodes_[s];
    if (n.prevOrder != kNone) nodes_[n.prevOrder].nextOrder = n.nextOrder; else orderHead_ = n.nextOrder;
    if (n.nextOrder != kNone) nodes_[n.nextOrder].prevOrder = n.prevOrder; else orderTail_ = n.prevOrder;
    n = Node();  // gives the strings' memory back
    free_.push_back(s);
}

void IndexedHandleTable::linkLive(Entry& e, Slot s) {
    // Table order within the handle. A new record goes last; a reallocated one
    // may land before records that were appended after it.
    Node& n = nodes_[s];
    Slot after = e.liveTail;
    while (after != kNone && nodes_[after].seq > n.seq) after = nodes_[after].prevLive;
    n.prevLive = after;
    n.nextLive = after == kNone ? e.liveHead : nodes_[after].nextLive;
    if (n.prevLive != kNone) nodes_[n.prevLive].nextLive = s; else e.liveHead = s;
    if (n.nextLive != kNone) nodes_[n.nextLive].prevLive = s; else e.liveTail = s;
}

void IndexedHandleTable::unlinkLive(Entry& e, Slot s) {
    Node& n = nodes_[s];
    if (n.prevLive != kNone) nodes_[n.prevLive].nextLive = n.nextLive; else e.liveHead = n.nextLive;
    if (n.nextLive != kNone) nodes_[n.nextLive].prevLive = n.prevLive; else e.liveTail = n.prevLive;
    n.prevLive = n.nextLive = kNone;
}

void IndexedHandleTable::settleDead(Entry& e, Slot s) {
    if (e.lastDead == kNone) {
        e.lastDead = s;
    } else if (nodes_[e.lastDead].seq < nodes_[s].seq) {
        release(e.lastDead);
        e.lastDead = s;
    } else {
        release(s);
    }
}

void IndexedHandleTable::append(const HandleRecord& record) {
    const Slot s = newSlot();
    Node& n = nodes_[s];
    n.rec = record;
    n.seq = nextSeq_++;
    n.prevOrder = orderTail_;
    n.nextOrder = kNone;
    if (orderTail_ != kNone) nodes_[orderTail_].nextOrder = s; else orderHead_ = s;
    orderTail_ = s;

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
    if (e->lastDead != kNone && (best == kNone || nodes_[e->lastDead].seq > nodes_[best].seq)) best = e->lastDead;
    if (best == kNone) return false;
    pos = best;
    return true;
}

void IndexedHandleTable::liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const {
    out.clear();
    const Entry* e = index_.find(handle);
    if (!e) return;
    for (Slot s = e->liveHead; s != kNone; s = nodes_[s].nextLive) out.push_back(s);
}

const HandleRecord& IndexedHandleTable::record(RecordId pos) const {
    return nodes_[static_cast<Slot>(pos)].rec;
}

void IndexedHandleTable::markOperated(RecordId pos) {
    HandleRecord& r = nodes_[static_cast<Slot>(pos)].rec;
    assert(r.resourceState != deallocated);
    r.resourceState = operated;
}

void IndexedHandleTable::markDeallocated(RecordId pos, const CallSite& at) {
    const Slot s = static_cast<Slot>(pos);
    HandleRecord& r = nodes_[s].rec;
    assert(r.resourceState != deallocated);
    r.resourceState = deallocated;
    r.deallocatedAt = at;
    Entry* e = index_.find(r.handle);
    assert(e);
    unlinkLive(*e, s);
    settleDead(*e, s);
}

void IndexedHandleTable::reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, const CallSite& at) {
    const Slot s = static_cast<Slot>(pos);
    HandleRecord& r = nodes_[s].rec;
    assert(r.resourceState != deallocated);
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
    for (Slot s = orderHead_; s != kNone; s = nodes_[s].nextOrder) visit(nodes_[s].rec);
}

HandleTableFactory indexedTables() {
    return [] { return std::unique_ptr<HandleTable>(new IndexedHandleTable()); };
}
