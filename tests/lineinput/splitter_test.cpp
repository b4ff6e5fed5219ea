// splitLine: every blank or tab is a separator by itself.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "line_fetchers.h"

namespace {

TEST(SplitLine, Table) {
    struct Case {
        const char* line;
        std::vector<std::string> chunks;
    };
    const Case cases[] = {
        {"mem OK 00000000016A2010", {"mem", "OK", "00000000016A2010"}},
        {"OK", {"OK"}},
        {"", {}},
        {"a  b", {"a", "", "b"}},
        {" a", {"", "a"}},
        {"a ", {"a", ""}},
        {" ", {"", ""}},
        {"a\tb c", {"a", "b", "c"}},
        {"a\r", {"a\r"}},
        {"OK 1\r", {"OK", "1\r"}},
        {"a\nb", {"a\nb"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.line + "'");
        std::vector<std::string> chunks{"stale", "entries"};
        EXPECT_EQ(c.chunks.size(), splitLine(c.line, chunks));
        EXPECT_EQ(c.chunks, chunks);

        // The view form: the same count, and the chunks that fit in its room.
        for (std::size_t room = 0; room <= 3; ++room) {
            SCOPED_TRACE("room " + std::to_string(room));
            std::string_view views[3] = {"stale", "stale", "stale"};
            EXPECT_EQ(c.chunks.size(), splitLine(std::string_view(c.line), views, room));
            for (std::size_t i = 0; i < 3; ++i) {
                const std::string expected = i < room && i < c.chunks.size() ? c.chunks[i] : "stale";
                EXPECT_EQ(expected, std::string(views[i])) << "chunk " << i;
            }
        }
    }
}

// The view form against the string form on lines of every length up to 40
// (whole words of eight characters and a rest), with separators, their
// neighbouring byte values and high bytes in every place.
TEST(SplitLine, ViewFormAgreesWithStringForm) {
    const char alphabet[] = {' ', '\t', 'a', '\x08', '\x0A', '\x1F', '!', '\xA0', '\x89', '\xFF', '0'};
    std::mt19937 random(2026);
    for (int round = 0; round < 20000; ++round) {
        std::string line(random() % 41, 'x');
        for (char& c : line) c = alphabet[random() % sizeof alphabet];
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::string> chunks;
        const std::uint64_t n = splitLine(line, chunks);
        std::string_view views[3];
        ASSERT_EQ(n, splitLine(std::string_view(line), views, 3));
        for (std::size_t i = 0; i < 3 && i < n; ++i) ASSERT_EQ(chunks[i], views[i]) << "chunk " << i;
    }
}

}  // namespace
