#include "indexed_table.h"

#include <algorithm>
#include <cassert>
#include <memory>
#include <stdexcept>
#include <utility>

// ---------------------------------------------------------------- index

namespace {
constexpr unsigned kInitialBits = 6;
constexpr unsigned kMaxAlign = 4;
}  // namespace

IndexedHandleTable::HandleIndex::HandleIndex()
    : buckets_(std::size_t(1) << kInitialBits, Entry{0, kNone, 0, kNone}, false), bits_(kInitialBits), align_(kMaxAlign) {}

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
    buckets_[hole] = Entry{0, kNone, 0, kNone};
    --count_;
}

void IndexedHandleTable::HandleIndex::rehash(std::size_t size) {
    // Huge pages from 4 MB on: a small table stays small.
    BigArray<Entry> old(size, Entry{0, kNone, 0, kNone}, size * sizeof(Entry) >= (std::size_t(4) << 20));
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
    // The table reuses a huge array's written pages for its records.
    if (old.huge()) retired_.push_back(std::move(old));
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
    if (slots_ % kChunkCells == 0) {
        Cell* chunk = spareChunk();
        if (!chunk) {
            ownChunks_.emplace_back(kChunkCells, chunks_.size() >= kSmallChunks);
            chunk = ownChunks_.back().data();
        }
        chunks_.push_back(chunk);
    }
    return slots_++;
}

IndexedHandleTable::Cell* IndexedHandleTable::spareChunk() {
    constexpr std::size_t kChunkBytes = std::size_t(2) << 20;
    static_assert(kChunkCells * sizeof(Cell) <= kChunkBytes, "a chunk fits in 2 MB");
    if (static_cast<std::size_t>(spareEnd_ - spareNext_) < kChunkBytes) {
        std::vector<BigArray<Entry>>& retired = index_.retired();
        if (retired.empty()) return nullptr;
        // A whole number of 2 MB blocks on a 2 MB boundary (huge arrays only).
        spare_.push_back(std::move(retired.back()));
        retired.pop_back();
        spareNext_ = reinterpret_cast<char*>(spare_.back().data());
        spareEnd_ = spareNext_ + spare_.back().mappedBytes();
    }
    Cell* chunk = reinterpret_cast<Cell*>(spareNext_);
    spareNext_ += kChunkBytes;
    // The cells' lifetimes begin here; each is written before it is read.
    std::uninitialized_default_construct_n(chunk, kChunkCells);
    return chunk;
}

void IndexedHandleTable::release(Slot s) {
    // A released record that a piece still names stays until the piece is
    // painted over (unpiece).
    if (ranges_ && cell(s).pieces != 0) return;
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
    // A handle has one live record in a consistent trace, seldom more: the
    // walk to the tail is short.
    Cell& c = cell(s);
    const Slot tail = liveTail(e);
    c.prevLive = tail;
    c.nextLive = kNone;
    c.olderThanDead = 0;
    if (tail != kNone) cell(tail).nextLive = s; else e.liveHead = s;
}

void IndexedHandleTable::unlinkLive(Entry& e, Slot s) {
    Cell& c = cell(s);
    if (c.prevLive != kNone) cell(c.prevLive).nextLive = c.nextLive; else e.liveHead = c.nextLive;
    if (c.nextLive != kNone) cell(c.nextLive).prevLive = c.prevLive;
    c.prevLive = c.nextLive = kNone;
}

void IndexedHandleTable::setLastDead(Entry& e, Slot s) {
    e.lastDead = s;
    e.deadUnnamed = ranges_ && cell(s).pieces == 0;
}

void IndexedHandleTable::keepDead(Entry& e, Slot s, Slot before) {
    // The record kept so far can never be found again. One that pieces
    // still name stays until the last of them is painted over (unpiece).
    if (e.lastDead != kNone && (!ranges_ || e.deadUnnamed)) free_.push_back(e.lastDead);
    setLastDead(e, s);
    // The flags form a prefix: the walk stops at the first one already set.
    for (Slot t = before; t != kNone && !cell(t).olderThanDead; t = cell(t).prevLive) cell(t).olderThanDead = 1;
}

void IndexedHandleTable::append(const HandleRecord& record) {
    // Table order has 40 bits (Cell): a trillion records of one domain.
    if (nextSeq_ >> 40) throw std::length_error("keltrace: more than 2^40 records in one domain");
    const Slot s = newSlot();
    Cell& c = cell(s);
    c.rec = record;
    c.seq = nextSeq_++;
    c.pieces = 0;
    c.prevLive = c.nextLive = kNone;
    c.olderThanDead = 0;

    // The new record is the latest to take its handle, whatever its state.
    Entry& e = index_.findOrInsert(record.handle);
    // Painted first, so that keeping a released record sees its pieces.
    if (ranges_ && record.size != 0) paint(s);
    if (record.resourceState == deallocated)
        keepDead(e, s, liveTail(e));
    else
        linkLive(e, s);
}

bool IndexedHandleTable::findLastHandle(std::uint64_t handle, RecordId& pos) const {
    const Entry* e = index_.find(handle);
    if (!e) return false;
    if (e->liveHead == kNone) {
        pos = e->lastDead;
        return true;
    }
    pos = liveTail(*e);
    return true;
}

void IndexedHandleTable::liveMatches(std::uint64_t handle, std::vector<RecordId>& out) const {
    out.clear();
    const Entry* e = index_.find(handle);
    if (!e) return;
    for (Slot s = e->liveHead; s != kNone; s = cell(s).nextLive) out.push_back(s);
    // The list is in taking order; the matches go in table order.
    if (out.size() > 1)
        std::sort(out.begin(), out.end(), [&](RecordId a, RecordId b) {
            return cell(static_cast<Slot>(a)).seq < cell(static_cast<Slot>(b)).seq;
        });
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
    const bool older = c.olderThanDead;
    const Slot before = c.prevLive;
    unlinkLive(*e, s);
    if (older) {
        release(s);  // the kept deallocated record took the handle after s
        return;
    }
    keepDead(*e, s, before);
}

void IndexedHandleTable::reallocate(RecordId pos, std::uint64_t handle, std::uint64_t size, SiteId at,
                                    std::uint32_t tor) {
    const Slot s = static_cast<Slot>(pos);
    Cell& c = cell(s);
    assert(c.rec.resourceState != deallocated);
    c.rec.tor = tor;
    c.rec.size = size;
    c.rec.allocatedAt = at;
    // Either way the record takes its (new) handle now: it goes last.
    Entry* from = index_.find(c.rec.handle);
    assert(from);
    unlinkLive(*from, s);
    if (c.rec.handle != handle) {
        if (from->empty()) index_.erase(*from);
        c.rec.handle = handle;
        from = &index_.findOrInsert(handle);
    }
    linkLive(*from, s);
    if (ranges_ && size != 0) paint(s);
}

// ---------------------------------------------------------------- ranges

void IndexedHandleTable::trackRanges() {
    assert(slots_ == 0);
    ranges_ = true;
}

void IndexedHandleTable::paint(Slot s) {
    const HandleRecord& r = cell(s).rec;
    // A range that reaches the top of the address space has no end to keep.
    const bool toTop = r.size > ~r.handle;
    const std::uint64_t end = r.handle + r.size;
    // The pieces that begin inside the range are painted over, and a piece
    // that begins before it now ends at its start. A record that holds the
    // address just past the range goes on being found from there.
    placed_.assign(
        r.handle, end, toTop, s, [&](Slot x) { return holds(cell(x).rec, end); }, [&](Slot x) { addPiece(x); },
        [&](Slot x) { unpiece(x); });
    addPiece(s);
}

void IndexedHandleTable::addPiece(Slot s) {
    Cell& c = cell(s);
    // A record named by more pieces than the count holds is kept for good.
    if (c.pieces != kPinned) ++c.pieces;
}

void IndexedHandleTable::unpiece(Slot s) {
    Cell& c = cell(s);
    if (c.pieces == kPinned || --c.pieces != 0 || c.rec.resourceState != deallocated) return;
    // The latest released record of a handle stays for the lookups by
    // handle, now unnamed; any other is dropped.
    Entry* e = index_.find(c.rec.handle);
    if (e && e->lastDead == s)
        e->deadUnnamed = 1;
    else
        free_.push_back(s);
}

bool IndexedHandleTable::findHolding(std::uint64_t address, RecordId& pos) const {
    if (!ranges_) return false;
    const auto c = placed_.floor(address);
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
