// The string settings decided once: each value of compiler_type, errlogmode
// and a tor's expr type maps to the one case the writers switch on.
#include <gtest/gtest.h>

#include "gen_settings.h"
#include "gen_text_fixtures.h"

namespace {

TEST(Settings, CompilerTypeDecidedOnce) {
    struct Case {
        const char* value;
        Compiler expected;
    };
    // Only the exact names count: the check refuses nothing here, and a name
    // in another case or with a blank writes neither compiler's section.
    for (const Case& c : {Case{"gcc", Compiler::gcc}, Case{"win32", Compiler::win32}, Case{"", Compiler::other},
                          Case{"GCC", Compiler::other}, Case{"gcc ", Compiler::other}, Case{"msvc", Compiler::other}}) {
        SCOPED_TRACE(c.value);
        Template t;
        t.compiler_type = c.value;
        EXPECT_EQ(c.expected, compiler(t));
    }
}

TEST(Settings, ErrorLogDecidedOnce) {
    struct Case {
        const char* value;
        ErrorLog expected;
    };
    for (const Case& c : {Case{"", ErrorLog::none}, Case{"console", ErrorLog::console}, Case{"err.log", ErrorLog::file},
                          Case{"Console", ErrorLog::file}, Case{" ", ErrorLog::file}}) {
        SCOPED_TRACE(c.value);
        Template t;
        t.errlogmode = c.value;
        EXPECT_EQ(c.expected, errorLog(t));
    }
}

TEST(Settings, ResultLineByExprType) {
    struct Case {
        Expr e;
        ResultLine expected;
    };
    for (const Case& c : {Case{expr("", "void", ""), ResultLine::voidCall}, Case{expr("", "", ""), ResultLine::untested},
                          Case{expr("==", "void*", "NULL"), ResultLine::verdict},
                          Case{expr("<", "int", "0"), ResultLine::verdict}}) {
        SCOPED_TRACE(c.e.type);
        Tor tor;
        tor.expr = c.e;
        EXPECT_EQ(c.expected, resultLine(tor));
    }
}

TEST(Settings, DomainAndReleaseTorLookUps) {
    Template t = mtExample();
    Domain fd;
    fd.name = "fd";
    Tor close;
    close.name = "close";
    fd.deallocators.push_back(close);
    t.domains.push_back(fd);

    EXPECT_EQ(0, findDomainIndex(t, "mem"));
    EXPECT_EQ(1, findDomainIndex(t, "fd"));
    EXPECT_EQ(-1, findDomainIndex(t, "file"));

    const Domain* owner = nullptr;
    const Tor* found = findReleaseTor(t, t.domains[0], "free", owner);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ("free", found->name);
    EXPECT_EQ(&t.domains[0], owner);

    found = findReleaseTor(t, t.domains[0], "fd:close", owner);
    ASSERT_NE(nullptr, found);
    EXPECT_EQ("close", found->name);
    EXPECT_EQ(&t.domains[1], owner);

    // A domain the template lacks: no owner at all; a tor the domain lacks: the owner, but no tor.
    EXPECT_EQ(nullptr, findReleaseTor(t, t.domains[0], "file:fclose", owner));
    EXPECT_EQ(nullptr, owner);
    EXPECT_EQ(nullptr, findReleaseTor(t, t.domains[0], "close", owner));
    EXPECT_EQ(&t.domains[0], owner);
}

}  // namespace
