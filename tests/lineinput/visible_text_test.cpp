// visibleText: what a message shows for the bytes it quotes.
#include <gtest/gtest.h>

#include <string>

#include "visible_text.h"

namespace {

TEST(VisibleText, ControlAndMalformedBytesAreSpelledOut) {
    struct Case {
        const char* name;
        std::string input;
        const char* expected;
    };
    const Case cases[] = {
        {"plain text", "KEL TRACING BEGIN", "KEL TRACING BEGIN"},
        {"empty", "", ""},
        {"carriage return at the end", "KEL TRACING BEGIN\r", "KEL TRACING BEGIN\\r"},
        {"tab and line feed", "a\tb\nc", "a\\tb\\nc"},
        {"NUL and escape", std::string("a\0b\x1b[2J", 7), "a\\x00b\\x1B[2J"},
        {"DEL", "x\x7f", "x\\x7F"},
        {"backslash and quote stay", "C:\\dir 'q'", "C:\\dir 'q'"},
        {"well-formed UTF-8 stays", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"C1 control in UTF-8", "a\xC2\x9B" "31m", "a\\xC2\\x9B31m"},
        {"no-break space is printable", "a\xC2\xA0z", "a\xC2\xA0z"},
        {"lone continuation byte", "a\x80z", "a\\x80z"},
        {"truncated sequence at the end", "a\xE2\x82", "a\\xE2\\x82"},
        {"overlong slash", "\xC0\xAF", "\\xC0\\xAF"},
        {"overlong three bytes", "\xE0\x80\xAF", "\\xE0\\x80\\xAF"},
        {"surrogate", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
        {"raw C1 byte", "\x9B", "\\x9B"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, visibleText(c.input));
    }
}

}  // namespace
