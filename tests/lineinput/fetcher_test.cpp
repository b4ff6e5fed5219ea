// CFileLineFetcher: numbering, look-ahead and every failure text.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "line_fetchers.h"
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

// The same through views, each copied out before the next read.
std::string drainViews(CVLineFetcher& f) {
    std::string out;
    std::string_view line;
    for (;;) {
        try {
            const std::int64_t n = f.getLineView(line);
            out += std::to_string(n) + ":" + std::string(line) + "|";
        } catch (const char* what) {
            return out + "<" + what + ">";
        }
    }
}

// A source without a buffer of its own: the interface's copying views.
class ListFetcher : public CVLineFetcher {
public:
    explicit ListFetcher(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    int attach(const char*) override { return 0; }
    int attach(int) override { return 0; }
protected:
    std::int64_t readLine(std::string& line) override {
        if (next_ >= lines_.size()) throw "eof";
        line = lines_[next_++];
        pushedBack_ = false;
        return static_cast<std::int64_t>(next_);
    }
    std::int64_t readPeek(std::string& line) override {
        if (pushedBack_) throw "malfunction";
        const std::int64_t n = readLine(line);
        --next_;
        pushedBack_ = true;
        return n;
    }

private:
    std::vector<std::string> lines_;
    std::size_t next_ = 0;
    bool pushedBack_ = false;
};

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
        CFileLineFetcher viewed;
        ASSERT_EQ(0, viewed.attach(file.path()));
        EXPECT_EQ(c.expected, drainViews(viewed));
    }
}

TEST(FileLineFetcher, ViewsAcrossBlockBoundaries) {
    // Over several read blocks, so that lines straddle the blocks' ends and
    // are moved to the buffer's front, and lines start and end at every
    // offset of the fetcher's 64-byte words of line feed marks. The expected
    // text is cut here, independently of the fetcher.
    struct Case {
        const char* name;
        std::size_t (*length)(std::size_t i);
    };
    const Case cases[] = {
        {"every length up to 254", [](std::size_t i) { return i % 255; }},
        {"short lines, as in traces", [](std::size_t i) { return (i * 7919 + i / 3) % 23; }},
        {"around the word sizes", [](std::size_t i) { return std::size_t(62) + i % 5 + 64 * (i / 5 % 3); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string content, expected;
        for (std::size_t i = 0; content.size() < 3 * 256 * 1024; ++i) {
            const std::string line(c.length(i), char('a' + i % 26));
            content += line + "\n";
            expected += std::to_string(i + 1) + ":" + line + "|";
        }
        expected += "<eof>";
        TempFile file(content);
        CFileLineFetcher copied, viewed;
        ASSERT_EQ(0, copied.attach(file.path()));
        ASSERT_EQ(0, viewed.attach(file.path()));
        EXPECT_EQ(expected, drain(copied));
        EXPECT_EQ(expected, drainViews(viewed));
    }
}

TEST(FileLineFetcher, PeekedViewIsTheLineDeliveredNext) {
    TempFile file("one\ntwo\n");
    CFileLineFetcher f;
    ASSERT_EQ(0, f.attach(file.path()));
    std::string_view peeked, got;
    EXPECT_EQ(1, f.peekLineView(peeked));
    EXPECT_EQ("one", peeked);
    EXPECT_EQ(1, f.getLineView(got));
    EXPECT_EQ("one", got);
    EXPECT_EQ(2, f.peekLineView(peeked));
    try {
        f.peekLineView(peeked);
        FAIL() << "second look-ahead accepted";
    } catch (const char* what) {
        EXPECT_STREQ("malfunction", what);
    }
    std::string line;
    EXPECT_EQ(2, f.getLine(line));  // a copy of the peeked view
    EXPECT_EQ("two", line);
    try {
        f.getLineView(got);
        FAIL() << "read past the end";
    } catch (const char* what) {
        EXPECT_STREQ("eof", what);
    }
}

TEST(LineFetcher, ViewsOfASourceWithoutABuffer) {
    ListFetcher f({"a", "", "b c"});
    std::string_view line;
    EXPECT_EQ(1, f.peekLineView(line));
    EXPECT_EQ("a", line);
    EXPECT_EQ(1, f.getLineView(line));
    EXPECT_EQ("a", line);
    EXPECT_EQ("2:|3:b c|<eof>", drainViews(f));
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
    // The refused lines were never delivered: a reader names the line after line 1.
    EXPECT_EQ(1, f.lastDelivered());
    // Nothing is pending after the refused look-ahead; lines 2 and 3 were consumed.
    EXPECT_EQ(4, f.getLine(line));
    EXPECT_EQ(4, f.lastDelivered());
    EXPECT_EQ("four", line);
}

// Reads on past "cut" (zero cuts on) until another throw; a cut is
// "<cut N>|" with the line it names.
std::string drainCuts(CVLineFetcher& f, bool views) {
    f.setZeroCuts(true);
    std::string out, copy;
    std::string_view line;
    for (;;) {
        try {
            const std::int64_t n = views ? f.getLineView(line) : f.getLine(copy);
            out += std::to_string(n) + ":" + (views ? std::string(line) : copy) + "|";
        } catch (const char* what) {
            if (std::string_view(what) != "cut") return out + "<" + what + ">";
            out += "<cut " + std::to_string(f.lastCut()) + ">|";
        }
    }
}

TEST(FileLineFetcher, ZeroCutsEndTheLineAndSkipTheRun) {
    const std::string z5(5, '\0');
    struct Case {
        const char* name;
        std::string content;
        std::string expected;
    };
    const Case cases[] = {
        {"zeros at a line's start are no line", "a\nb\n" + z5 + "c\n", "1:a|2:b|<cut 3>|3:c|<eof>"},
        {"a line cut short counts", "a\nbc" + z5 + "d\n", "1:a|<cut 2>|3:d|<eof>"},
        {"zeros to the end", "a\n" + std::string(100, '\0'), "1:a|<cut 2>|<eof>"},
        {"zeros before the first line", z5 + "a\n", "<cut 1>|1:a|<eof>"},
        {"a zero where the line feed would be", "ab" + z5 + "cd\n", "<cut 1>|2:cd|<eof>"},
        {"a line after zeros without line feed is lost", "a\n" + z5 + "b", "1:a|<cut 2>|<eof>"},
        {"two cuts", "a" + z5 + "b" + z5 + "\nc\n", "<cut 1>|<cut 2>|3:|4:c|<eof>"},
        {"megabytes of zeros over many blocks", "a\nb" + std::string(5u << 20, '\0') + "c\n" + z5,
         "1:a|<cut 2>|3:c|<cut 4>|<eof>"},
        {"254 characters, then zeros", std::string(254, 'x') + z5 + "y\n", "<cut 1>|2:y|<eof>"},
        {"255 characters before a zero are too long", std::string(255, 'x') + z5 + "y\n", "<i/o error>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.content);
        for (const bool views : {false, true}) {
            SCOPED_TRACE(views ? "views" : "copies");
            CFileLineFetcher f;
            ASSERT_EQ(0, f.attach(file.path()));
            EXPECT_EQ(c.expected, drainCuts(f, views));
        }
    }
}

TEST(FileLineFetcher, ZeroCutsOffByDefault) {
    TempFile file(std::string("a\nb\0\0\nc\n", 8));
    CFileLineFetcher f;
    ASSERT_EQ(0, f.attach(file.path()));
    EXPECT_EQ("1:a|<nul byte>", drain(f));
    EXPECT_EQ(0, f.lastCut());
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

    // A second file while lines of the first are held unread: those are not
    // delivered either.
    TempFile lines("a\nb\nc\n");
    CFileLineFetcher reading;
    ASSERT_EQ(0, reading.attach(lines.path()));
    std::string_view line;
    EXPECT_EQ(1, reading.getLineView(line));
    EXPECT_EQ(-1, reading.attach(lines.path()));
    EXPECT_EQ("<i/o error>", drainViews(reading));

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
