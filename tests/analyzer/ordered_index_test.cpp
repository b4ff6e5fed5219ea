// The ordered index under the handle table's address ranges, against
// std::map: the same inserts and erases must leave the same keys, and floor,
// ceiling, find and the cursors' steps must agree, while the tree keeps its
// shape (sorted, balanced, linked leaves).
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>

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
// entries); the tree stays valid through that and through erasing every other
// key afterwards, which makes those nodes borrow and merge.
TEST(OrderedIndex, AscendingKeysKeepTheTreeValid) {
    Index index;
    for (std::uint64_t k = 1; k <= 200000; ++k) ASSERT_TRUE(index.insert(k * 48, 0));
    EXPECT_TRUE(index.valid());
    for (std::uint64_t k = 1; k <= 200000; k += 2) ASSERT_TRUE(index.erase(k * 48));
    EXPECT_TRUE(index.valid());
    EXPECT_EQ(index.size(), 100000u);
    EXPECT_EQ(index.floor(48 * 7).key(), 48u * 6);
}

}  // namespace
