// CFileLineFetcher: numbering, look-ahead and every failure text.
#include <gtest/gtest.h>

#include <string>

#include "ccloader.h"
#include "temp_file.h"

namespace {

// Reads lines until a throw; returns "n:text" per line and the thrown text.
std::string drain(CVLineFetcher& f) {
    std::string out, line;
    for (;;) {
        try {
            const std::int64_t n = f.getLine(line);
            out += std::to_string(n) + ":" + line + "|";
        } catch (const char* what) {
            return out + "<" + what + ">";
        }
    }
}

TEST(FileLineFetcher, LinesAndTheirEnd) {
    struct Case {
        const char* name;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"two lines", "a\nb\n", "1:a|2:b|<eof>"},
        {"last line without line feed is lost", "a\nb", "1:a|<eof>"},
        {"empty file", "", "<eof>"},
        {"empty lines count", "\n\nx\n", "1:|2:|3:x|<eof>"},
        {"carriage return is kept", "a\r\nb\r\n", "1:a\r|2:b\r|<eof>"},
        {"a NUL makes the line malformed", std::string("ab\0cd\nz\n", 8), "<nul byte>"},
        {"254 characters", std::string(254, 'x') + "\n", "1:" + std::string(254, 'x') + "|<eof>"},
        {"255 characters", "a\n" + std::string(255, 'x') + "\nb\n", "1:a|<i/o error>"},
        {"254 characters at the end without line feed", std::string(254, 'x'), "<eof>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.content);
        CFileLineFetcher f;
        ASSERT_EQ(0, f.attach(file.path()));
        EXPECT_EQ(c.expected, drain(f));
    }
}

TEST(FileLineFetcher, ALineWithANulIsCountedAndReadingGoesOn) {
    TempFile file(std::string("one\nt\0o\n\0\nfour\n", 16));
    CFileLineFetcher f;
    ASSERT_EQ(0, f.attach(file.path()));
    std::string line;
    EXPECT_EQ(1, f.getLine(line));
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        line = "kept";
        try {
            f.peekLine(line);
            FAIL() << "a line with a NUL was delivered";
        } catch (const char* what) {
            EXPECT_STREQ("nul byte", what);
        }
    }
    // Nothing is pending after the refused look-ahead; lines 2 and 3 were consumed.
    EXPECT_EQ(4, f.getLine(line));
    EXPECT_EQ("four", line);
}

TEST(FileLineFetcher, FailedStateStays) {
    TempFile file(std::string(300, 'x') + "\nnext\n");
    CFileLineFetcher f;
    ASSERT_EQ(0, f.attach(file.path()));
    std::string line;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        try {
            f.getLine(line);
            FAIL() << "read past a failure";
        } catch (const char* what) {
            EXPECT_STREQ("i/o error", what);
        }
    }
}

TEST(FileLineFetcher, PeekThenGet) {
    TempFile file("one\ntwo\n");
    CFileLineFetcher f;
    ASSERT_EQ(0, f.attach(file.path()));
    std::string line;
    EXPECT_EQ(1, f.peekLine(line));
    EXPECT_EQ("one", line);
    line = "junk";
    EXPECT_EQ(1, f.getLine(line));
    EXPECT_EQ("one", line);
    EXPECT_EQ(2, f.peekLine(line));
    try {
        f.peekLine(line);
        FAIL() << "second look-ahead accepted";
    } catch (const char* what) {
        EXPECT_STREQ("malfunction", what);
    }
    EXPECT_EQ(2, f.getLine(line));
    EXPECT_EQ("two", line);
    try {
        f.peekLine(line);
        FAIL() << "look-ahead past the end";
    } catch (const char* what) {
        EXPECT_STREQ("eof", what);
    }
    // The failed look-ahead left nothing pending: the next read fails too.
    try {
        f.getLine(line);
        FAIL();
    } catch (const char* what) {
        EXPECT_STREQ("eof", what);
    }
}

TEST(FileLineFetcher, AttachFailures) {
    CFileLineFetcher missing;
    EXPECT_EQ(-1, missing.attach("/nonexistent/kel/file"));
    EXPECT_EQ("<i/o error>", drain(missing));

    CFileLineFetcher unattached;
    EXPECT_EQ("<i/o error>", drain(unattached));

    TempFile file("a\n");
    CFileLineFetcher twice;
    ASSERT_EQ(0, twice.attach(file.path()));
    EXPECT_EQ(-1, twice.attach(file.path()));
    EXPECT_EQ("<i/o error>", drain(twice));

    CFileLineFetcher descriptor;
    try {
        descriptor.attach(0);
        FAIL();
    } catch (const char* what) {
        EXPECT_STREQ("CFileLineFetcher::attach(int s); called !!!", what);
    }
}

TEST(FileLineFetcher, DirectoryIsAnError) {
    CFileLineFetcher f;
    f.attach("/tmp");
    std::string line;
    EXPECT_THROW(f.getLine(line), const char*);
}

}  // namespace
