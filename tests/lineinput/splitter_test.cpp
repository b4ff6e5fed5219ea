// splitLine: every blank or tab is a separator by itself.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ccloader.h"

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

}  // namespace
