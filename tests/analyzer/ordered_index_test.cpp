// The ordered index under the handle table's address ranges, against
// std::map: the same inserts and erases must leave the same keys, and floor,
// ceiling, find and the cursors' steps must agree, while the tree keeps its
// shape (sorted, balanced, linked leaves).
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ordered_index.h"

namespace {

using Index = OrderedIndex<std::uint32_t>;
using Reference = std::map<std::uint64_t, std::uint32_t>;

std::string floorOf(const Index& index, std::uint64_t key) {
    const auto c = index.floor(key);
    return c ? std::to_string(c.key()) + "=" + std::to_string(c.value()) : "none";
}
std::string floorOf(const Reference& ref, std::uint64_t key) {
    auto it = ref.upper_bound(key);
    if (it == ref.begin()) return "none";
    --it;
    return std::to_string(it->first) + "=" + std::to_string(it->second);
}
std::string ceilingOf(const Index& index, std::uint64_t key) {
    const auto c = index.ceiling(key);
    return c ? std::to_string(c.key()) + "=" + std::to_string(c.value()) : "none";
}
std::string ceilingOf(const Reference& ref, std::uint64_t key) {
    const auto it = ref.lower_bound(key);
    return it == ref.end() ? "none" : std::to_string(it->first) + "=" + std::to_string(it->second);
}

// Every key in order, once by stepping forward from the first and once by
// stepping back from the last.
void expectSameContents(const Index& index, const Reference& ref) {
    ASSERT_TRUE(index.valid());
    ASSERT_EQ(index.size(), ref.size());
    auto c = index.ceiling(0);
    for (const auto& [key, value] : ref) {
        ASSERT_TRUE(c);
        ASSERT_EQ(c.key(), key);
        ASSERT_EQ(c.value(), value);
        c.next();
    }
    EXPECT_FALSE(c);
    c = index.floor(~std::uint64_t(0));
    for (auto it = ref.rbegin(); it != ref.rend(); ++it) {
        ASSERT_TRUE(c);
        ASSERT_EQ(c.key(), it->first);
        c.prev();
    }
    EXPECT_FALSE(c);
}

struct Pattern {
    const char* name;
    std::uint64_t keySpace;  // keys drawn below this (or counted up)
    int inserts;             // out of 10 operations
    bool ascending;          // keys mostly count up, as a heap's top does
};

TEST(OrderedIndex, AgreesWithStdMap) {
    const Pattern patterns[] = {
        {"few keys, many collisions", 50, 5, false},
        {"growing", 100000, 8, false},
        {"shrinking after growth", 3000, 3, false},
        {"ascending inserts, random erases", 0, 6, true},
        {"wide keys", ~std::uint64_t(0), 6, false},
    };
    for (const Pattern& p : patterns) {
        for (unsigned seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(p.name) + ", seed " + std::to_string(seed));
            std::mt19937_64 rng(seed);
            Index index;
            Reference ref;
            std::uint64_t top = 1000;
            auto draw = [&]() -> std::uint64_t {
                if (p.ascending && rng() % 4 != 0) return top += 1 + rng() % 3;
                if (p.keySpace == ~std::uint64_t(0)) return rng();
                return rng() % (p.ascending ? top + 1 : p.keySpace);
            };
            const int steps = p.keySpace == 3000 ? 20000 : 12000;
            for (int step = 0; step < steps; ++step) {
                // The shrinking pattern grows first, then mostly erases.
                const int inserts = p.keySpace == 3000 && step < steps / 3 ? 9 : p.inserts;
                const std::uint64_t key = draw();
                const std::uint32_t value = static_cast<std::uint32_t>(rng());
                if (static_cast<int>(rng() % 10) < inserts) {
                    const bool fresh = ref.emplace(key, value).second;
                    ASSERT_EQ(index.insert(key, value), fresh) << "insert " << key;
                } else {
                    // Mostly a key that is there.
                    std::uint64_t victim = key;
                    if (!ref.empty() && rng() % 4 != 0) {
                        auto it = ref.lower_bound(key);
                        if (it == ref.end()) it = ref.begin();
                        victim = it->first;
                    }
                    ASSERT_EQ(index.erase(victim), ref.erase(victim) == 1) << "erase " << victim;
                }
                const std::uint64_t probe = draw();
                ASSERT_EQ(floorOf(index, probe), floorOf(ref, probe)) << "floor " << probe;
                ASSERT_EQ(ceilingOf(index, probe), ceilingOf(ref, probe)) << "ceiling " << probe;
                const auto found = index.find(probe);
                ASSERT_EQ(bool(found), ref.count(probe) == 1) << "find " << probe;
                if (step % 500 == 0) {
                    expectSameContents(index, ref);
                    if (HasFatalFailure()) return;
                }
            }
            expectSameContents(index, ref);
            if (HasFatalFailure()) return;
            // Emptied again, key by key, from both ends and the middle.
            while (!ref.empty()) {
                auto it = ref.begin();
                std::advance(it, static_cast<long>(rng() % ref.size()));
                ASSERT_TRUE(index.erase(it->first));
                ref.erase(it);
            }
            EXPECT_EQ(index.size(), 0u);
            EXPECT_TRUE(index.valid());
            EXPECT_FALSE(index.floor(~std::uint64_t(0)));
        }
    }
}

TEST(OrderedIndex, ValuesChangeThroughACursor) {
    Index index;
    for (std::uint64_t k = 0; k < 1000; ++k) ASSERT_TRUE(index.insert(k * 16, static_cast<std::uint32_t>(k)));
    auto c = index.floor(16 * 500 + 8);
    ASSERT_TRUE(c);
    EXPECT_EQ(c.key(), 16u * 500);
    c.value() = 77;
    EXPECT_EQ(index.find(16 * 500).value(), 77u);
    EXPECT_FALSE(index.insert(16 * 500, 1)) << "a key that is there is not inserted again";
    EXPECT_EQ(index.find(16 * 500).value(), 77u);
    EXPECT_EQ(index.floor(15).key(), 0u);
    EXPECT_FALSE(index.ceiling(16 * 999 + 1));
}

// Keys that only grow split the right edge unevenly (the full node keeps its
// entries); the tree stays valid through that, through erasing every other key
// (leaves stay, half empty), and through erasing whole runs of keys in order,
// which removes leaves and makes inner nodes borrow and merge.
TEST(OrderedIndex, AscendingKeysKeepTheTreeValid) {
    Index index;
    for (std::uint64_t k = 1; k <= 200000; ++k) ASSERT_TRUE(index.insert(k * 48, 0));
    EXPECT_TRUE(index.valid());
    for (std::uint64_t k = 1; k <= 200000; k += 2) ASSERT_TRUE(index.erase(k * 48));
    EXPECT_TRUE(index.valid());
    EXPECT_EQ(index.size(), 100000u);
    EXPECT_EQ(index.floor(48 * 7).key(), 48u * 6);
    for (std::uint64_t k = 2; k <= 160000; k += 2) ASSERT_TRUE(index.erase(k * 48));
    EXPECT_TRUE(index.valid());
    EXPECT_EQ(index.size(), 20000u);
    EXPECT_FALSE(index.floor(48 * 160000));
    EXPECT_EQ(index.ceiling(0).key(), 48u * 160002);
    for (std::uint64_t k = 199998; k > 160000; k -= 2) ASSERT_TRUE(index.erase(k * 48));
    EXPECT_TRUE(index.valid());
    EXPECT_EQ(index.size(), 1u);
    EXPECT_EQ(index.floor(~std::uint64_t(0)).key(), 48u * 200000);
}

// assign over a map of pieces, against the same rule written out on
// std::map: piece v runs from its key to the next key or to ends[v],
// whichever comes first. After every paint the two maps are equal, every
// address names the same piece, and each value is named by as many keys as
// kept and dropped say.
TEST(OrderedIndex, AssignPaintsPiecesLikeTheReference) {
    const struct {
        const char* name;
        std::uint64_t space;  // ranges start below this
        std::uint64_t longest;
        bool ascending;
    } patterns[] = {
        {"small space, long ranges", 64, 40, false},
        {"wide space, short ranges", 20000, 48, false},
        {"ranges in address order, as a program's exit frees them", 0, 64, true},
    };
    for (const auto& p : patterns) {
        for (unsigned seed : {1u, 2u}) {
            SCOPED_TRACE(std::string(p.name) + ", seed " + std::to_string(seed));
            std::mt19937_64 rng(seed);
            Index index;
            Reference ref;
            std::vector<std::uint64_t> ends;  // by value
            std::vector<long> named;          // keys naming each value, as the callbacks count them
            std::uint64_t next = 0;
            for (int step = 0; step < 6000; ++step) {
                const std::uint64_t lo = p.ascending ? (next += rng() % 3 == 0 ? 80 : 0, next += 1 + rng() % 8)
                                                     : rng() % p.space;
                const std::uint64_t hi = lo + 1 + rng() % p.longest;
                if (p.ascending) next = hi + rng() % 4;
                const std::uint32_t v = static_cast<std::uint32_t>(ends.size());
                ends.push_back(hi);
                named.push_back(0);
                auto reaches = [&](std::uint32_t x) { return ends[x] > hi; };

                // The reference: keep what holds hi, drop [lo, hi), add lo.
                auto below = ref.upper_bound(hi);
                if (below != ref.begin()) {
                    --below;
                    if (below->first != hi && reaches(below->second)) ref[hi] = below->second;
                }
                ref.erase(ref.lower_bound(lo), ref.lower_bound(hi));
                ref[lo] = v;

                bool droppedBeforeKept = false;
                bool anyDropped = false;
                index.assign(lo, hi, false, v, reaches,
                             [&](std::uint32_t x) {
                                 droppedBeforeKept = droppedBeforeKept || anyDropped;
                                 ++named[x];
                             },
                             [&](std::uint32_t x) {
                                 anyDropped = true;
                                 --named[x];
                             });
                ++named[v];
                ASSERT_FALSE(droppedBeforeKept) << "kept must come before every dropped";
                if (step % 200 == 0 || step < 50) {
                    expectSameContents(index, ref);
                    if (HasFatalFailure()) return;
                    std::vector<long> counted(ends.size(), 0);
                    for (const auto& [key, value] : ref) ++counted[value];
                    ASSERT_EQ(named, counted) << "step " << step;
                }
                for (int probe = 0; probe < 3; ++probe) {
                    const std::uint64_t address = p.ascending ? rng() % (next + 8) : rng() % (p.space + p.longest);
                    auto at = ref.upper_bound(address);
                    std::string want = "none";
                    if (at != ref.begin() && ends[(--at)->second] > address) want = std::to_string(at->second);
                    const auto c = index.floor(address);
                    const std::string got = c && ends[c.value()] > address ? std::to_string(c.value()) : "none";
                    ASSERT_EQ(got, want) << "address " << address << " step " << step;
                }
            }
            expectSameContents(index, ref);
        }
    }
}

// A range that ends where the lowest piece begins has no key below its end
// in the leaf it lands in: a heap hands out a block just below the lowest one
// it tracks. Nothing of the old pieces goes, and the new piece comes first.
TEST(OrderedIndex, AssignEndingAtTheLowestKey) {
    const struct {
        const char* name;
        int keys;  // 0x1000, 0x1040, ... already placed
        std::uint64_t lo, hi;
    } cases[] = {
        {"one piece, the range just below it", 1, 0xFC0, 0x1000},
        {"one piece, the range from 0 up to it", 1, 0, 0x1000},
        {"a full leaf", 64, 0xFC0, 0x1000},
        {"many leaves", 1000, 0xF00, 0x1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Index index;
        Reference ref;
        for (int k = 0; k < c.keys; ++k) {
            const std::uint64_t key = 0x1000 + 0x40 * static_cast<std::uint64_t>(k);
            ASSERT_TRUE(index.insert(key, static_cast<std::uint32_t>(k)));
            ref[key] = static_cast<std::uint32_t>(k);
        }
        int kept = 0, dropped = 0;
        index.assign(c.lo, c.hi, false, 7777, [](std::uint32_t) { return true; }, [&](std::uint32_t) { ++kept; },
                     [&](std::uint32_t) { ++dropped; });
        ref[c.lo] = 7777;
        EXPECT_EQ(kept, 0) << "hi is a key already";
        EXPECT_EQ(dropped, 0);
        expectSameContents(index, ref);
        EXPECT_EQ(floorOf(index, c.hi - 1), std::to_string(c.lo) + "=7777");
        EXPECT_EQ(floorOf(index, c.hi), "4096=0");
    }
}

// A range with no end (up to the top of the key space) takes every key from
// lo on, and keeps nothing beyond.
TEST(OrderedIndex, AssignToTheTopTakesEverythingAbove) {
    Index index;
    for (std::uint64_t k = 0; k < 300; ++k) ASSERT_TRUE(index.insert(k * 10, static_cast<std::uint32_t>(k)));
    int dropped = 0, kept = 0;
    index.assign(1005, 0, true, 999, [](std::uint32_t) { return true; }, [&](std::uint32_t) { ++kept; },
                 [&](std::uint32_t) { ++dropped; });
    EXPECT_EQ(kept, 0);
    EXPECT_EQ(dropped, 199);  // the keys 1010 to 2990
    EXPECT_TRUE(index.valid());
    EXPECT_EQ(index.size(), 102u);
    EXPECT_EQ(index.floor(~std::uint64_t(0)).key(), 1005u);
    EXPECT_EQ(index.floor(~std::uint64_t(0)).value(), 999u);
}

}  // namespace
