// Template text inside the generated C: string literals whose value is the
// text's bytes, banner comments that stay comments, and the identifiers the
// names must be.
#include <gtest/gtest.h>

#include <string>

#include "gen_literal.h"

namespace {

TEST(CStringContent, EscapesWhatACompilerWouldReadOtherwise) {
    struct Case { const char* name; std::string in; std::string out; };
    const Case cases[] = {
        {"empty", "", ""},
        {"printable ASCII stays", "mem_1 a-b.c:5", "mem_1 a-b.c:5"},
        {"double quote", "a\"b", "a\\\"b"},
        {"backslash", "a\\b", "a\\\\b"},
        {"a quote that would close the literal and inject a call", "x\");system(\"id\");(\"",
         "x\\\");system(\\\"id\\\");(\\\""},
        {"tab stays", "a\tb", "a\tb"},
        {"line feed", "a\nb", "a\\012b"},
        {"carriage return, which a compiler reads as a line end", "a\rb", "a\\015b"},
        {"a digit after an escape is not part of it", "\n7", "\\0127"},
        {"other control bytes and DEL", std::string("\x01\x1b\x7f", 3), "\\001\\033\\177"},
        {"NUL", std::string("a\0b", 3), "a\\000b"},
        {"second of two question marks", "a?\?/b", "a?\\?/b"},
        {"every question mark after the first of a run", "?\?\?", "?\\?\\?"},
        {"a lone question mark", "? ?", "? ?"},
        {"well-formed UTF-8 stays", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"a byte outside UTF-8", "a\xFF" "b", "a\\377b"},
        {"a cut UTF-8 sequence", "\xC3(", "\\303("},
        {"an overlong form", "\xC0\xAF", "\\300\\257"},
        {"a question mark after UTF-8", "\xC3\xA9??", "\xC3\xA9?\\?"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.out, cStringContent(c.in));
        EXPECT_EQ("\"" + c.out + "\"", cStringLiteral(c.in));
    }
}

TEST(CommentText, NothingEndsTheCommentEarly) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"example", "example"},
        {"x*/ int injected; /*", "x* / int injected; / *"},
        {"*/*", "* / *"},
        {"a/b*c", "a/b*c"},
        {"two\nlines", "two\\nlines"},
        {"bell\a", "bell\\x07"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.out, commentText(c.in));
    }
}

TEST(IsCIdentifier, LettersDigitsAndUnderscoreNotStartingWithADigit) {
    for (const char* yes : {"malloc", "_x", "FILE", "a1", "KEL_TRAP", "x_y_Z9"}) {
        SCOPED_TRACE(yes);
        EXPECT_TRUE(isCIdentifier(yes));
    }
    for (const char* no : {"", "1a", "me m", "me\"m", "a\\b", "a\nb", "a-b", "a.b", "<MISSING FIELD>", "f()",
                           "\xC3\xA9t\xC3\xA9"}) {
        SCOPED_TRACE(no);
        EXPECT_FALSE(isCIdentifier(no));
    }
}

}  // namespace
