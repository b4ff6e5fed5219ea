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
    }
}

}  // namespace
