// The indexed table against the linear one, a plain list of records searched
// linearly: the same lookups must find the same records, whatever sequence of
// changes led there, and the leak report must see the live records in table
// order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "indexed_table.h"
#include "linear_table.h"

namespace {

// Sites are opaque ids to a table: a test numbers them as it likes. Here an
// allocation at step n is site n, a release at step n is site kReleased + n.
constexpr SiteId kReleased = 100000;

std::string describe(const HandleRecord& r) {
    return std::to_string(r.allocatedAt) + "|" + std::to_string(r.deallocatedAt) + "|h=" + std::to_string(r.handle) +
           "|size=" + std::to_string(r.size) + "|hs=" + std::to_string(r.handleState) +
           "|rs=" + std::to_string(r.resourceState) +
           (r.tor == HandleRecord().tor ? "" : "|tor=" + std::to_string(r.tor));
}

HandleRecord fresh(std::uint64_t handle, SiteId at, std::uint64_t size = 0) {
    HandleRecord r;
    r.allocatedAt = at;
    r.handle = handle;
    r.size = size;
    return r;
}

std::vector<std::string> visited(const HandleTable& t, bool liveOnly) {
    std::vector<std::string> out;
    auto add = [&](const HandleRecord& r) { out.push_back(describe(r)); };
    if (liveOnly)
        t.forEachLive(add);
    else
        t.forEachRecord(add);
    return out;
}

std::vector<std::string> liveOf(const HandleTable& t, std::uint64_t h) {
    std::vector<RecordId> ids;
    t.liveMatches(h, ids);
    std::vector<std::string> out;
    for (RecordId id : ids) out.push_back(describe(t.record(id)));
    return out;
}

std::string lastOf(const HandleTable& t, std::uint64_t h) {
    RecordId id = 0;
    return t.findLastHandle(h, id) ? describe(t.record(id)) : "none";
}

std::string holding(const HandleTable& t, std::uint64_t address) {
    RecordId id = 0;
    return t.findHolding(address, id) ? describe(t.record(id)) : "none";
}

// Drives the indexed table and the linear one, the oracle, with the same
// random changes, as the engines would make them, and compares every lookup. `worstDead` receives the largest number of
// records the indexed table held at once beyond the live ones.
// The whole report is compared every `reportEvery` steps. With `ranges`, both
// tables keep address ranges: handles are 4 apart and sizes reach past
// several neighbours, so ranges overlap, and the range lookup is compared at
// a few addresses after every step.
void runRandom(unsigned seed, int steps, std::uint64_t handles, std::size_t& worstDead, int reportEvery = 1,
               bool ranges = false) {
    std::mt19937_64 rng(seed);
    IndexedHandleTable indexed;
    LinearHandleTable list;
    if (ranges) {
        indexed.trackRanges();
        list.trackRanges();
    }
    worstDead = 0;
    SiteId site = 0;
    auto pick = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
    static const std::uint64_t kSizes[] = {0, 1, 4, 6, 13, 40};
    auto size = [&]() { return ranges ? kSizes[pick(6)] : pick(3); };

    for (int step = 0; step < steps; ++step) {
        const std::uint64_t h = ranges ? 4 * pick(handles) : pick(handles);
        const SiteId line = ++site;
        SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step) + " handle " +
                     std::to_string(h));
        ASSERT_EQ(lastOf(indexed, h), lastOf(list, h));
        ASSERT_EQ(liveOf(indexed, h), liveOf(list, h));
        for (int probe = 0; ranges && probe < 4; ++probe) {
            const std::uint64_t address = pick(4 * handles + 48);
            ASSERT_EQ(holding(indexed, address), holding(list, address)) << "address " << address;
        }
        std::vector<RecordId> listLive, indexedLive;
        list.liveMatches(h, listLive);
        indexed.liveMatches(h, indexedLive);
        RecordId i = 0, id = 0;
        const bool found = list.findLastHandle(h, i);
        ASSERT_EQ(indexed.findLastHandle(h, id), found);

        switch (pick(5)) {
        case 0: {  // allocation; sometimes beside live records, which the interface allows
            if (!listLive.empty() && pick(4) != 0) break;
            HandleRecord r = fresh(h, line, size());
            // Now and then a record that comes in released.
            if (ranges && pick(8) == 0) {
                r.resourceState = deallocated;
                r.deallocatedAt = kReleased + line;
            }
            r.handleState = pick(2) ? valid : bad;
            indexed.append(r);
            list.append(r);
            break;
        }
        case 1:  // use
            if (!found || list.record(i).resourceState == deallocated) break;
            list.markOperated(i);
            indexed.markOperated(id);
            break;
        case 2:  // deallocation
            if (!found || list.record(i).resourceState == deallocated) break;
            list.markDeallocated(i, kReleased + line);
            indexed.markDeallocated(id, kReleased + line);
            break;
        default: {  // reallocation of one of the live records, often to a handle in use
            if (listLive.empty()) break;
            ASSERT_EQ(indexedLive.size(), listLive.size());
            const std::size_t k = pick(listLive.size());
            const std::uint64_t to = pick(4) == 0 ? h : (ranges ? 4 : 1) * pick(handles);
            const std::uint64_t newSize = size();
            const std::uint32_t tor = static_cast<std::uint32_t>(newSize);
            list.reallocate(listLive[k], to, newSize, line, tor);
            indexed.reallocate(indexedLive[k], to, newSize, line, tor);
            break;
        }
        }

        if (step % reportEvery != 0 && step + 1 != steps) continue;
        const std::vector<std::string> all = visited(indexed, false);
        const std::vector<std::string> liveNow = visited(indexed, true);
        ASSERT_EQ(liveNow, visited(list, true));
        worstDead = std::max(worstDead, all.size() - liveNow.size());
    }
    for (std::uint64_t h = 0; h < handles; ++h) {
        const std::uint64_t handle = ranges ? 4 * h : h;
        EXPECT_EQ(lastOf(indexed, handle), lastOf(list, handle));
        EXPECT_EQ(liveOf(indexed, handle), liveOf(list, handle));
    }
    for (std::uint64_t address = 0; ranges && address < 4 * handles + 48; ++address) {
        EXPECT_EQ(holding(indexed, address), holding(list, address)) << "address " << address;
    }
}

TEST(IndexedHandleTable, RandomChangesAgreeWithLinearList) {
    const unsigned seeds[] = {1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987, 1597};
    const std::uint64_t handleSpaces[] = {1, 2, 3, 5, 9};
    for (unsigned seed : seeds)
        for (std::uint64_t handles : handleSpaces) {
            std::size_t worstDead = 0;
            runRandom(seed * 31 + handles, 600, handles, worstDead);
            if (HasFatalFailure()) return;
            // At most one deallocated record per handle is ever kept.
            EXPECT_LE(worstDead, handles) << "seed " << seed << " handles " << handles;
        }
}

// Many handles: the index grows, and handles that leave it through
// reallocation are erased from the middle of probe runs.
TEST(IndexedHandleTable, RandomChangesOverManyHandles) {
    for (unsigned seed : {7u, 11u, 19u}) {
        std::size_t worstDead = 0;
        runRandom(seed, 3000, 400, worstDead, 25);
        if (HasFatalFailure()) return;
        EXPECT_LE(worstDead, 400u);
    }
}

// Address ranges: the record placed last over an address, if it still holds
// it, the same in both tables after any sequence of changes, in small handle
// spaces (heavy overlap, moves and shrinks) and in a larger one.
TEST(IndexedHandleTable, RangeLookupsAgreeWithLinearList) {
    for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        for (std::uint64_t handles : {2u, 5u, 12u}) {
            std::size_t worstDead = 0;
            runRandom(seed * 97 + static_cast<unsigned>(handles), 1500, handles, worstDead, 10, true);
            if (HasFatalFailure()) return;
        }
    }
    std::size_t worstDead = 0;
    runRandom(99, 6000, 300, worstDead, 50, true);
}

// Ranges that later placements paint over are dropped with their records: a
// block allocated and released over and over at one place keeps the table
// small.
TEST(IndexedHandleTable, PaintedOverRangesAreDropped) {
    IndexedHandleTable t;
    t.trackRanges();
    for (int i = 0; i < 10000; ++i) {
        // Two neighbouring blocks whose sizes change, so that each release
        // cuts the earlier pieces at new places.
        const std::uint64_t h = 0x1000 + 0x40 * (i % 2);
        t.append(fresh(h, static_cast<SiteId>(i), 0x30 + 0x10 * (i % 3)));
        RecordId id = 0;
        ASSERT_TRUE(t.findLastHandle(h, id));
        t.markDeallocated(id, kReleased + static_cast<SiteId>(i));
    }
    // Block i spans [h, h + 0x30 + 0x10 * (i % 3)). The last ones placed:
    //   9995 [0x1040, 0x1090)  9996 [0x1000, 0x1030)  9997 [0x1040, 0x1080)
    //   9998 [0x1000, 0x1050)  9999 [0x1040, 0x1070)
    // so what shows: 9998 up to 0x1040, 9999 up to 0x1070, 9997 up to 0x1080,
    // 9995 up to 0x1090. Four records, whatever the length of the trace.
    EXPECT_EQ(visited(t, false).size(), 4u);
    const struct {
        std::uint64_t address;
        const char* found;
    } probes[] = {
        {0x0FFF, "none"},
        {0x1000, "9998|109998|h=4096|size=80|hs=0|rs=2"},
        {0x103F, "9998|109998|h=4096|size=80|hs=0|rs=2"},
        {0x1045, "9999|109999|h=4160|size=48|hs=0|rs=2"},
        {0x1070, "9997|109997|h=4160|size=64|hs=0|rs=2"},
        {0x108F, "9995|109995|h=4160|size=80|hs=0|rs=2"},
        {0x1090, "none"},
    };
    for (const auto& p : probes) {
        SCOPED_TRACE(p.address);
        EXPECT_EQ(holding(t, p.address), p.found);
    }
}

// Without trackRanges the table keeps no ranges: the lookup finds nothing.
TEST(HandleTables, RangesOnlyWhenAskedFor) {
    const struct {
        const char* name;
        HandleTableFactory make;
    } kinds[] = {{"linear", linearTables()}, {"indexed", indexedTables()}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        for (bool ranges : {false, true}) {
            std::unique_ptr<HandleTable> t = kind.make();
            if (ranges) t->trackRanges();
            t->append(fresh(0x100, 1, 0x20));
            t->append(fresh(0x200, 2, 0x20));
            RecordId id = 0;
            ASSERT_TRUE(t->findLastHandle(0x200, id));
            t->markDeallocated(id, 3);
            EXPECT_EQ(t->findHolding(0x110, id), ranges);
            EXPECT_EQ(t->findHolding(0x21F, id), ranges);
            // One past the end, and a zero-size block, hold nothing.
            EXPECT_FALSE(t->findHolding(0x120, id));
            EXPECT_FALSE(t->findHolding(0x220, id));
            t->append(fresh(0x300, 4, 0));
            EXPECT_FALSE(t->findHolding(0x300, id));
        }
    }
}

// Ranges at the top of the address space: one that ends exactly there, and
// one whose handle + size would pass 2^64, painted over the first.
TEST(HandleTables, RangesUpToTheTopOfTheAddressSpace) {
    const struct {
        const char* name;
        HandleTableFactory make;
    } kinds[] = {{"linear", linearTables()}, {"indexed", indexedTables()}};
    const std::uint64_t top = ~std::uint64_t(0);
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        std::unique_ptr<HandleTable> t = kind.make();
        t->trackRanges();
        t->append(fresh(0x1000, 1, 0x40));
        t->append(fresh(top - 0xF, 2, 0x10));  // [top - 0xF, top]
        EXPECT_EQ(holding(*t, top), "2|0|h=" + std::to_string(top - 0xF) + "|size=16|hs=0|rs=0");
        EXPECT_EQ(holding(*t, top - 0x10), "none");
        t->append(fresh(top - 0x1F, 3, 0x100));  // from top - 0x1F on, past the top
        EXPECT_EQ(holding(*t, top - 0x8), "3|0|h=" + std::to_string(top - 0x1F) + "|size=256|hs=0|rs=0");
        EXPECT_EQ(holding(*t, top), "3|0|h=" + std::to_string(top - 0x1F) + "|size=256|hs=0|rs=0");
        EXPECT_EQ(holding(*t, 0x1010), "1|0|h=4096|size=64|hs=0|rs=0");
        EXPECT_EQ(holding(*t, 0x10), "none");
    }
}

TEST(IndexedHandleTable, ShadowedDeallocatedRecordsAreReleased) {
    IndexedHandleTable t;
    for (int i = 0; i < 10000; ++i) {
        const std::uint64_t h = 0x1000 + 16 * (i % 3);
        t.append(fresh(h, static_cast<SiteId>(i)));
        RecordId id = 0;
        ASSERT_TRUE(t.findLastHandle(h, id));
        t.markDeallocated(id, kReleased + static_cast<SiteId>(i));
    }
    t.append(fresh(0x2000, 77777));
    const std::vector<std::string> all = visited(t, false);
    // Three handles, each with its latest deallocation, and the live record last.
    ASSERT_EQ(all.size(), 4u);
    // 9997 % 3 == 1, 9998 % 3 == 2, 9999 % 3 == 0.
    EXPECT_EQ(all[0], "9997|109997|h=4112|size=0|hs=0|rs=2");
    EXPECT_EQ(all[1], "9998|109998|h=4128|size=0|hs=0|rs=2");
    EXPECT_EQ(all[2], "9999|109999|h=4096|size=0|hs=0|rs=2");
    EXPECT_EQ(all[3], "77777|0|h=8192|size=0|hs=0|rs=0");
}

// Enough handles for the index to outgrow several bucket arrays of its own
// huge pages, whose memory then holds records: every record must read back
// as written, and the report must list the live ones in table order.
TEST(IndexedHandleTable, RecordsPlacedInOutgrownIndexMemoryStayIntact) {
    IndexedHandleTable t;
    constexpr std::uint32_t kHandles = 600000;
    auto handleOf = [](std::uint32_t i) { return 0x10000 + 16 * std::uint64_t(i); };
    for (std::uint32_t i = 0; i < kHandles; ++i) {
        t.append(fresh(handleOf(i), i, i + 1));
        if (i % 3 == 0) {
            RecordId id = 0;
            ASSERT_TRUE(t.findLastHandle(handleOf(i), id));
            t.markDeallocated(id, 1000000 + i);
        }
    }
    for (std::uint32_t i = 0; i < kHandles; ++i) {
        RecordId id = 0;
        ASSERT_TRUE(t.findLastHandle(handleOf(i), id)) << i;
        const HandleRecord& r = t.record(id);
        ASSERT_EQ(r.handle, handleOf(i));
        ASSERT_EQ(r.size, i + 1u);
        ASSERT_EQ(r.allocatedAt, i);
        ASSERT_EQ(r.deallocatedAt, i % 3 == 0 ? 1000000 + i : kNoSite);
        ASSERT_EQ(r.resourceState, i % 3 == 0 ? deallocated : allocated);
    }
    std::vector<SiteId> live;
    t.forEachLive([&](const HandleRecord& r) { live.push_back(r.allocatedAt); });
    ASSERT_EQ(live.size(), kHandles - (kHandles + 2) / 3);
    for (std::size_t k = 0; k < live.size(); ++k) {
        // Table order: 1, 2, 4, 5, 7, 8, ...
        ASSERT_EQ(live[k], SiteId(k / 2 * 3 + 1 + k % 2)) << k;
    }
}

// A deallocated record that a later live record of the same handle hides can
// surface again once that live record moves to another handle: it must stay.
TEST(IndexedHandleTable, DeallocatedRecordHiddenByLiveOneSurvivesItsReallocation) {
    IndexedHandleTable t;
    t.append(fresh(7, 1));
    RecordId first = 0;
    ASSERT_TRUE(t.findLastHandle(7, first));
    t.markDeallocated(first, 2);
    t.append(fresh(7, 3));
    RecordId second = 0;
    ASSERT_TRUE(t.findLastHandle(7, second));
    EXPECT_EQ(t.record(second).allocatedAt, 3u);
    t.reallocate(second, 9, 5, 4, 3);
    ASSERT_EQ(lastOf(t, 7), "1|2|h=7|size=0|hs=0|rs=2");
    EXPECT_EQ(lastOf(t, 9), "4|0|h=9|size=5|hs=0|rs=0|tor=3");
}

// Scripted changes, applied the way the engines apply them, with what the
// lookups and the leak report must show afterwards. Records are named by the
// step that allocated or last reallocated them.
struct Op {
    char kind;            // a: allocate, o: use, d: deallocate, r: reallocate
    std::uint64_t handle;
    std::uint64_t to = 0;     // r: the new handle
    std::size_t which = 0;    // r: which of the live matches
};

struct ScriptCase {
    const char* name;
    std::vector<Op> ops;
    std::uint64_t probe;
    const char* last;                  // allocation step of findLastHandle's record, or "none"
    std::vector<std::string> live;     // allocation steps of the live matches
    std::vector<std::string> report;   // step/state of the live records in table order
};

// Both tables, since the expectations are worked out by hand.
TEST(HandleTables, ScriptedCases) {
    const ScriptCase cases[] = {
        {"an in-place reallocation takes the handle again: it is the most recent",
         {{'a', 5}, {'a', 6}, {'r', 6, 5}, {'o', 5}, {'r', 5, 5, 0}}, 5, "5", {"5", "3"}, {"5/0", "3/1"}},
        {"reallocation onto a handle with a later record: it takes the handle, and keeps table order",
         {{'a', 1}, {'a', 2}, {'r', 1, 2}}, 2, "3", {"3", "2"}, {"3/0", "2/0"}},
        {"deallocation takes the live record that took the handle last",
         {{'a', 1}, {'a', 2}, {'r', 1, 2}, {'d', 2}}, 2, "2", {"2"}, {"2/0"}},
        {"two live records of one handle are released latest taker first",
         {{'a', 1}, {'a', 2}, {'r', 1, 2}, {'d', 2}, {'d', 2}}, 2, "3", {}, {}},
        {"an earlier record reallocated onto a later released one is the one released",
         {{'a', 1}, {'o', 1}, {'a', 2}, {'d', 2}, {'r', 1, 2}, {'d', 2}}, 2, "5", {}, {}},
        {"a live record wins over a released one that took the handle after it",
         {{'a', 1}, {'a', 2}, {'r', 2, 1}, {'d', 1}}, 1, "1", {"1"}, {"1/0"}},
        {"of released records, the last to take the handle, not the last released",
         {{'a', 1}, {'a', 2}, {'r', 2, 1}, {'d', 1}, {'d', 1}}, 1, "3", {}, {}},
        {"leak report follows allocation order, not handle order",
         {{'a', 9}, {'a', 3}, {'a', 6}, {'o', 3}}, 3, "2", {"2"}, {"1/0", "2/1", "3/0"}},
        {"reuse after deallocation",
         {{'a', 1}, {'a', 2}, {'d', 1}, {'a', 1}, {'d', 1}}, 1, "4", {}, {"2/0"}},
        {"reallocation away leaves nothing behind",
         {{'a', 1}, {'r', 1, 4}}, 1, "none", {}, {"2/0"}},
    };
    const struct {
        const char* name;
        HandleTableFactory make;
    } kinds[] = {{"linear", linearTables()}, {"indexed", indexedTables()}};
    for (const auto& kind : kinds)
    for (const ScriptCase& c : cases) {
        SCOPED_TRACE(std::string(kind.name) + ": " + c.name);
        std::unique_ptr<HandleTable> table = kind.make();
        HandleTable& t = *table;
        SiteId step = 0;
        for (const Op& op : c.ops) {
            const SiteId line = ++step;
            RecordId id = 0;
            std::vector<RecordId> ids;
            switch (op.kind) {
            case 'a': t.append(fresh(op.handle, line)); break;
            case 'o':
                if (t.findLastHandle(op.handle, id) && t.record(id).resourceState != deallocated) t.markOperated(id);
                break;
            case 'd':
                if (t.findLastHandle(op.handle, id) && t.record(id).resourceState != deallocated)
                    t.markDeallocated(id, kReleased + line);
                break;
            case 'r':
                t.liveMatches(op.handle, ids);
                ASSERT_LT(op.which, ids.size()) << "step " << step;
                t.reallocate(ids[op.which], op.to, 1, line, HandleRecord().tor);
                break;
            }
        }
        RecordId id = 0;
        EXPECT_EQ(t.findLastHandle(c.probe, id) ? std::to_string(t.record(id).allocatedAt) : std::string("none"), c.last);
        std::vector<RecordId> ids;
        t.liveMatches(c.probe, ids);
        std::vector<std::string> lines;
        for (RecordId m : ids) lines.push_back(std::to_string(t.record(m).allocatedAt));
        EXPECT_EQ(lines, c.live);
        std::vector<std::string> report;
        t.forEachLive([&](const HandleRecord& r) {
            report.push_back(std::to_string(r.allocatedAt) + "/" + std::to_string(r.resourceState));
        });
        EXPECT_EQ(report, c.report);
    }
}

}  // namespace

namespace {

// The engines change live records only; the table checks it where assert()
// is on (the sanitized build of scripts/test.sh).
TEST(IndexedHandleTableDeathTest, ChangingAReleasedRecordIsCaught) {
#ifdef NDEBUG
    GTEST_SKIP() << "assert() is off in this build";
#else
    IndexedHandleTable t;
    t.append(fresh(5, 1));
    RecordId id = 0;
    ASSERT_TRUE(t.findLastHandle(5, id));
    t.markDeallocated(id, 2);
    EXPECT_DEATH(t.markOperated(id), "resourceState != deallocated");
    EXPECT_DEATH(t.markDeallocated(id, 3), "resourceState != deallocated");
#endif
}

}  // namespace
