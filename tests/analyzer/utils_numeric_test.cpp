// parseHex, toHex16, formatCallSite and handleStateName: the conversions
// every analyzer message depends on.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "same_text.h"
#include "utils_numeric.h"

namespace {

TEST(ParseHex, AcceptsOneToSixteenUpperCaseDigits) {
    struct Case {
        const char* text;
        std::uint64_t value;
    };
    const Case cases[] = {
        {"0", 0},
        {"1", 1},
        {"0000000000000001", 1},
        {"40", 64},
        {"0000000000000040", 64},
        {"00000000016A2010", 0x16A2010},
        {"FF", 255},
        {"ABCDEF", 0xABCDEF},
        {"FFFFFFFFFFFFFFFF", UINT64_MAX},
        // No sign extension from bit 31 into the upper half.
        {"0000000080000000", 0x80000000u},
        {"00000000FFFFFFFF", 0xFFFFFFFFu},
        // A ninth digit reaches bit 32.
        {"100000000", 0x100000000ull},
        {"8000000000000000", 0x8000000000000000ull},
        {"123456789ABCDEF0", 0x123456789ABCDEF0ull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseHex(c.text), c.value);
    }
}

TEST(ParseHex, RejectsWithTheThrownText) {
    struct Case {
        const char* text;
        const char* thrown;
    };
    const Case cases[] = {
        {"", "incoming value is very strange"},
        {"00000000000000001", "incoming value is very strange"},
        {"GGGGGGGGGGGGGGGGG", "incoming value is very strange"},
        {"G", "non xdigit"},
        {"ff", "non xdigit"},
        {"00000000016a2010", "non xdigit"},
        {"0x10", "non xdigit"},
        {" 1", "non xdigit"},
        {"1 ", "non xdigit"},
        {"-1", "non xdigit"},
        {"12\r", "non xdigit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        try {
            parseHex(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const char* thrown) {
            EXPECT_STREQ(thrown, c.thrown);
        }
    }
}

// Every byte value in every place of a 16-digit field (the trace's own
// width, read eight digits at a time), and in a field of 15: accepted with
// its value exactly when it is 0-9 or A-F.
TEST(ParseHex, EveryByteInEveryPlace) {
    const std::string base = "0123456789ABCDEF";
    for (const std::size_t width : {std::size_t(16), std::size_t(15)}) {
        for (std::size_t place = 0; place < width; ++place) {
            for (int byte = 0; byte < 256; ++byte) {
                std::string text = base.substr(0, width);
                text[place] = static_cast<char>(byte);
                const bool digit = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'F');
                std::uint64_t expected = 0;
                for (const char c : text) {
                    const int d = c >= 'A' ? c - 'A' + 10 : c - '0';
                    expected = expected << 4 | static_cast<std::uint64_t>(d & 0xF);
                }
                SCOPED_TRACE("width " + std::to_string(width) + ", place " + std::to_string(place) + ", byte " +
                             std::to_string(byte));
                try {
                    const std::uint64_t value = parseHex(text.data(), text.size());
                    EXPECT_TRUE(digit) << "accepted";
                    EXPECT_EQ(value, expected);
                } catch (const char* thrown) {
                    EXPECT_FALSE(digit) << "refused";
                    EXPECT_STREQ(thrown, "non xdigit");
                }
            }
        }
    }
}

TEST(ToHex16, PadsToSixteenUpperCaseDigits) {
    struct Case {
        std::uint64_t value;
        const char* text;
    };
    const Case cases[] = {
        {0, "0000000000000000"},
        {1, "0000000000000001"},
        {64, "0000000000000040"},
        {255, "00000000000000FF"},
        {0x16A2010, "00000000016A2010"},
        {0xABCDEF0123456789ull, "ABCDEF0123456789"},
        {UINT64_MAX, "FFFFFFFFFFFFFFFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(toHex16(c.value), c.text);
        EXPECT_EQ(parseHex(c.text), c.value);
    }
}

TEST(FormatCallSite, FileColonLineUnlessBothAreEqual) {
    struct Case {
        const char* file;
        const char* line;
        const char* text;
    };
    const Case cases[] = {
        {"x.c", "42", "x.c:42"},
        {"src/main.c", "7", "src/main.c:7"},
        {"", "", ""},
        {"7", "7", ""},
        {"", "3", ":3"},
        {"a.c", "", "a.c:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + "|" + c.line);
        EXPECT_EQ(formatCallSite(CallSite{c.file, c.line}), c.text);
    }
}

TEST(HandleStateName, NamesBothStates) {
    EXPECT_STREQ(handleStateName(valid), "valid");
    EXPECT_STREQ(handleStateName(bad), "bad");
}

}  // namespace

TEST(SameText, EveryLengthAndEveryPositionOfADifference) {
    // The comparison takes its loads from both ends of a text: every length
    // it treats apart (up to 3, 4-7, 8-16, 17-32, longer), with the texts in
    // separate buffers and one byte changed at each position in turn.
    for (std::size_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        std::string a, b;
        for (std::size_t i = 0; i < n; ++i) a += char('a' + (i * 7) % 26);
        b = a;
        EXPECT_TRUE(sameText(a, b));
        EXPECT_FALSE(sameText(a, b + "x"));
        EXPECT_FALSE(sameText(a + "x", b));
        for (std::size_t i = 0; i < n; ++i) {
            SCOPED_TRACE(i);
            std::string c = a;
            c[i] = char(c[i] ^ 0x20);
            EXPECT_FALSE(sameText(a, c));
            EXPECT_FALSE(sameText(c, a));
        }
    }
}
