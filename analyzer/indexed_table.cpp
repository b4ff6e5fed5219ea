#include "indexed_table.h"

#include <algorithm>
#include <cassert>
#include <stdexcept>
#include <utility>

// ---------------------------------------------------------------- index

namespace {
constexpr unsigned kInitialBits = 6;
constexpr unsigned kMaxAlign = 4;
}  // namespace

IndexedHandleTable::HandleIndex::HandleIndex()
    : buckets_(std::size_t(1) << kInitialBits, Entry{0, kNone, kNone, 0}, false), bits_(kInitialBits), align_(kMaxAlign) {}

std::size_t IndexedHandleTable::HandleIndex::home(std::uint64_t key) const {
    const std::uint64_t step = key >> align_;
    // Where the run starts: a multiplicative hash of the run's number, whose
    // high bits mix all of its bits.
    const std::uint64_t run = ((step >> kWindowBits) * 0x9E3779B97F4A7C15ull) >> (64 - bits_);
    return static_cast<std::size_t>((run + (step & ((1u << kWindowBits) - 1))) & (buckets_.size() - 1));
}

IndexedHandleTable::Entry* IndexedHandleTable::HandleIndex::find(std::uint64_t key) {
    const std::size_t mask = buckets_.size() - 1;
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
        Entry& b = buckets_[i];
        if (b.empty()) return nullptr;
        if (b.key == key) return &b;
    }
}

const IndexedHandleTable::Entry* IndexedHandleTable::HandleIndex::find(std::uint64_t key) const {
    return const_cast<HandleIndex*>(this)->find(key);
}

IndexedHandleTable::Entry& IndexedHandleTable::HandleIndex::findOrInsert(std::uint64_t key) {
    // A handle off the common alignment: the steps get finer for all.
    const unsigned zeros = key == 0 ? kMaxAlign : static_cast<unsigned>(__builtin_ctzll(key));
    if (zeros < align_) {
        align_ = zeros;
        rehash(buckets_.size());
    }
    // At most three quarters full, so that probe runs stay short.
    if ((count_ + 1) * 4 > buckets_.size() * 3) rehash(buckets_.size() * 2);
    const std::size_t mask = buckets_.size() - 1;
    for (std::size_t i = home(key);; i = (i + 1) & mask) {
        Entry& b = buckets_[i];
        if (b.empty()) {
            b.key = key;
            ++count_;
            // The caller links a record at once, which makes the entry used.
            return b;
        }
        if (b.key == key) return b;
    }
}

void IndexedHandleTable::HandleIndex::erase(Entry& entry) {
    const std::size_t mask = buckets_.size() - 1;
    // Backward shift: move later members of the run into the hole when their
    // home position does not lie cyclically between the hole and themselves.
    std::size_t hole = static_cast<std::size_t>(&entry - buckets_.data());
    for (std::size_t j = (hole + 1) & mask; !buckets_[j].empty(); j = (j + 1) & mask) {
        const std::size_t h = home(buckets_[j].key);
        const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
        if (!stays) {
            buckets_[hole] = buckets_[j];
            hole = j;
        }
    }
    buckets_[hole] = Entry{0, kNone, kNone, 0};
    --count_;
}

void IndexedHandleTable::HandleIndex::rehash(std::size_t size) {
    // Huge pages from 4 MB on: a small table stays small.
    BigArray<Entry> old(size, Entry{0, kNone, kNone, 0}, size * sizeof(Entry) >= (std::size_t(4) << 20));
    old.swap(buckets_);
    bits_ = static_cast<unsigned>(__builtin_ctzll(size));
    const std::size_t mask = buckets_.size() - 1;
    for (std::size_t k = 0; k < old.size(); ++k) {
        const Entry& b = old[k];
        if (b.empty()) continue;
        std::size_t i = home(b.key);
        while (!buckets_[i].empty()) i = (i + 1) & mask;
        buckets_[i] = b;
    }
}

// ---------------------------------------------------------------- table

IndexedHandleTable::IndexedHandleTable() = default;
IndexedHandleTable::~IndexedHandleTable() = default;

IndexedHandleTable::Slot IndexedHandleTable::newSlot() {
    if (!free_.empty()) {
        const Slot s = free_.back();
        free_.pop_back();
        return s;
    }
    if (slots_ == kNone) throw std::length_error("keltrace: more than 2^31 records in one domain");
    if (slots_ % kChunkCells == 0) chunks_.emplace_back(kChunkCells, chunks_.size() >= kSmallChunks);
    return slots_++;
}

void IndexedHandleTable::release(Slot s) {
    // A released record that a piece of a released range still names stays
    // until the piece is painted over (unpiece).
    if (ranges_ && pieces(cell(s)) != 0) return;
    // The cell is left as it is, unread and unwritten (it is seldom in the
    // cache): the next append to this slot overwrites it, and the report
    // skips the slots on the free list.
    free_.push_back(s);
}

IndexedHandleTable::Slot IndexedHandleTable::liveTail(const Entry& e) const {
    Slot t = e.liveHead;
    if (t == kNone) return kNone;
    while (cell(t).nextLive != kNone) t = cell(t).nextLive;
    return t;
}

void IndexedHandleTable::linkLive(Entry& e, Slot s) {
    // Table order within the handle. A new record goes last; a reallocated one
    // may land before records that were appended after it.
    Cell& c = cell(s);
    Slot after = kNone;
    for (Slot t = e.liveHead; t != kNone && cell(t).seq < c.seq; t = cell(t).nextLive) after = t;
    c.prevLive = after;
    c.nextLive = after == kNone ? e.liveHead : cell(after).nextLive;
    if (after != kNone) cell(after).nextLive = s; else e.liveHead = s;
    if (c.nextLive != kNone) cell(c.nextLive).prevLive = s;
}

void IndexedHandleTable::unlinkLive(Entry& e, Slot s) {
    Cell& c = cell(s);
    if (c.prevLive != kNone) cell(c.prevLive).nextLive = c.nextLive; else e.liveHead = c.nextLive;
    if (c.nextLive != kNone) cell(c.nextLive).prevLive = c.prevLive;
    c.prevLive = c.nextLive = kNone;
}

void IndexedHandleTable::settleFlag(Entry& e) {
    if (e.lastDead == kNone) {
        e.deadIsLatest = 0;
        return;
    }
    const Slot tail = liveTail(e);
    e.deadIsLatest = tail == kNone || cell(e.lastDead).seq > cell(tail).seq;
}

void IndexedHandleTable::settleDead(Entry& e, Slot s, bool newer) {
    if (e.lastDead == kNone) {
        e.lastDead = s;
        return;
    }
    if (!newer) newer = cell(s).seq > cell(e.lastDead).seq;
    if (newer) {
        release(e.lastDead);
        e.lastDead = s;
    } else {
        release(s);
    }
}

void IndexedHandleTable::append(const HandleRecord& record) {
    const Slot s = newSlot();
    Cell& c = cell(s);
    c.rec = record;
    c.seq = nextSeq_++;
    c.prevLive = c.nextLive = kNone;

    // The new record is the latest of its handle, whatever its state.
    Entry& e = index_.findOrInsert(record.handle);
    if (record.resourceState == deallocated) {
        if (ranges_) {
            pieces(c) = 0;
            if (record.size != 0) paint(s);
        }
        settleDead(e, s, true);
        e.deadIsLatest = 1;
    } else {
        linkLive(e, s);
        e.deadIsLatest = 0;
        if (ranges_ && record.size != 0) liveStarts_.insert(record.handle, Nothing{});
    }
}

bool IndexedHandleTable::findLastHandle(std::uint64_t handle, RecordId& pos) const {
    const Entry* e = index_.find(handle);
    if (!e) return false;
    if (e->deadIsLatest) {
        pos = e->lastDead;
        return true;
    }
    const Slot tail = liveTail(*e);
    assert(tail != kNone);
    pos = tail;
    return true;
}

void IndexedHandleTable::liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const {
    out.clear();
    const Entry* e = index_.find(handle);
    if (!e) return;
    for (Slot s = e->liveHead; s != kNone; s = cell(s).nextLive) out.push_back(s);
}

const HandleRecord& IndexedHandleTable::record(RecordId pos) const { return cell(static_cast<Slot>(pos)).rec; }

void IndexedHandleTable::markOperated(RecordId pos) {
    HandleRecord& r = cell(static_cast<Slot>(pos)).rec;
    assert(r.resourceState != deallocated);
    r.resourceState = operated;
}

void IndexedHandleTable::markDeallocated(RecordId pos, SiteId at) {
    const Slot s = static_cast<Slot>(pos);
    Cell& c = cell(s);
    assert(c.rec.resourceState != deallocated);
    c.rec.resourceState = deallocated;
    c.rec.deallocatedAt = at;
    Entry* e = index_.find(c.rec.handle);
    assert(e);
    const bool wasTail = c.nextLive == kNone;
    // The live tail is later than the kept deallocated record unless the flag
    // says otherwise; any other live record is later than nothing we know of.
    const bool olderThanDead = e->lastDead != kNone && e->deadIsLatest;
    const bool newerThanDead = wasTail && !e->deadIsLatest;
    unlinkLive(*e, s);
    if (ranges_) {
        pieces(c) = 0;
        if (c.rec.size != 0) {
            syncLiveStart(*e, c.rec.handle);
            paint(s);
        }
    }
    if (olderThanDead) {
        release(s);  // the latest stays the deallocated record, as before
        return;
    }
    settleDead(*e, s, newerThanDead);
    if (e->lastDead != s) return;  // s was released: nothing changed at the top
    if (e->liveHead == kNone || wasTail)
        e->deadIsLatest = 1;
    else
        settleFlag(*e);
}

void IndexedHandleTable::reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, SiteId at,
                                    std::uint32_t tor) {
    const Slot s = static_cast<Slot>(pos);
    Cell& c = cell(s);
    assert(c.rec.resourceState != deallocated);
    const std::uint64_t oldSize = c.rec.size;
    c.rec.tor = tor;
    c.rec.size = size;
    c.rec.allocatedAt = at;
    if (c.rec.handle == handle) {
        if (ranges_ && (oldSize == 0) != (size == 0)) syncLiveStart(*index_.find(handle), handle);
        return;
    }

    Entry* from = index_.find(c.rec.handle);
    assert(from);
    unlinkLive(*from, s);
    if (ranges_ && oldSize != 0) syncLiveStart(*from, c.rec.handle);
    if (from->empty()) {
        index_.erase(*from);
    } else if (from->liveHead == kNone) {
        from->deadIsLatest = 1;
    } else if (!from->deadIsLatest) {
        settleFlag(*from);  // the tail may have been s
    }
    c.rec.handle = handle;
    Entry& to = index_.findOrInsert(handle);
    linkLive(to, s);
    settleFlag(to);
    if (ranges_ && size != 0) liveStarts_.insert(handle, Nothing{});
}

// ---------------------------------------------------------------- ranges

namespace {
// Whether a record's range holds an address (without overflow at the top of
// the address space).
bool holds(const HandleRecord& r, std::uint64_t address) {
    return r.size != 0 && r.handle <= address && address - r.handle < r.size;
}
}  // namespace

void IndexedHandleTable::trackRanges() {
    assert(slots_ == 0);
    ranges_ = true;
}

void IndexedHandleTable::syncLiveStart(const Entry& e, std::uint64_t handle) {
    for (Slot t = e.liveHead; t != kNone; t = cell(t).nextLive) {
        if (cell(t).rec.size != 0) {
            liveStarts_.insert(handle, Nothing{});
            return;
        }
    }
    liveStarts_.erase(handle);
}

void IndexedHandleTable::paint(Slot s) {
    const HandleRecord& r = cell(s).rec;
    const std::uint64_t start = r.handle;
    // A range that reaches the top of the address space has no end to keep.
    const bool toTop = r.size > ~start;
    const std::uint64_t end = start + r.size;
    if (!toTop) {
        // Whatever was released over the address just past the range stays
        // found there: it gets a piece of its own from there on.
        const auto c = released_.floor(end);
        if (c && c.key() != end && holds(cell(c.value()).rec, end)) {
            const Slot beyond = c.value();
            released_.insert(end, beyond);
            ++pieces(cell(beyond));
        }
    }
    // The pieces that begin inside the range are painted over; a piece that
    // begins before it now ends at its start.
    auto c = released_.ceiling(start);
    if (c && c.key() == start) {
        // The common case, a block released where another was released
        // before: the piece is named anew in place.
        const Slot before = c.value();
        c.value() = s;
        ++pieces(cell(s));
        unpiece(before);
        c = released_.ceiling(start + 1);
    } else {
        released_.insert(start, s);
        ++pieces(cell(s));
        c = start == ~std::uint64_t(0) ? decltype(c)() : released_.ceiling(start + 1);
    }
    while (c && (toTop || c.key() < end)) {
        const std::uint64_t key = c.key();
        const Slot gone = c.value();
        released_.erase(key);
        unpiece(gone);
        c = released_.ceiling(key);
    }
}

void IndexedHandleTable::unpiece(Slot s) {
    if (--pieces(cell(s)) != 0) return;
    // The latest released record of a handle stays for the lookups by handle.
    const Entry* e = index_.find(cell(s).rec.handle);
    if (!e || e->lastDead != s) free_.push_back(s);
}

bool IndexedHandleTable::findLiveContaining(std::uint64_t address, RecordId& pos) const {
    if (!ranges_) return false;
    const auto c = liveStarts_.floor(address);
    if (!c) return false;
    const Entry* e = index_.find(c.key());
    assert(e);
    // The latest in table order first.
    for (Slot t = liveTail(*e); t != kNone; t = cell(t).prevLive) {
        if (holds(cell(t).rec, address)) {
            pos = t;
            return true;
        }
    }
    return false;
}

bool IndexedHandleTable::findReleasedContaining(std::uint64_t address, RecordId& pos) const {
    if (!ranges_) return false;
    const auto c = released_.floor(address);
    if (!c || !holds(cell(c.value()).rec, address)) return false;
    pos = c.value();
    return true;
}

void IndexedHandleTable::collect(bool liveOnly, const std::function<void(const HandleRecord&)>& visit) const {
    // Run once, for the leak report: sorting the retained records is cheaper
    // than keeping them on an ordered list through millions of changes.
    std::vector<Slot> released(free_);
    std::sort(released.begin(), released.end());
    std::vector<std::pair<std::uint64_t, Slot>> order;
    bool sorted = true;
    auto next = released.begin();
    for (Slot s = 0; s < slots_; ++s) {
        if (next != released.end() && *next == s) {
            ++next;
            continue;
        }
        const Cell& c = cell(s);
        if (liveOnly && c.rec.resourceState == deallocated) continue;
        if (!order.empty() && order.back().first > c.seq) sorted = false;
        order.emplace_back(c.seq, s);
    }
    if (!sorted) std::sort(order.begin(), order.end());
    for (const auto& entry : order) visit(cell(entry.second).rec);
}

void IndexedHandleTable::forEachLive(const std::function<void(const HandleRecord&)>& visit) const {
    collect(true, visit);
}

void IndexedHandleTable::forEachRecord(const std::function<void(const HandleRecord&)>& visit) const {
    collect(false, visit);
}

HandleTableFactory indexedTables() {
    return [] { return std::unique_ptr<HandleTable>(new IndexedHandleTable()); };
}
