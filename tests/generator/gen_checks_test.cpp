// The checks that run before anything is written: a template file whose
// embedded copy could not be read back, positions past the end of args, and
// a remote target without a port.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

#include "gen_c.h"
#include "gen_text_fixtures.h"

namespace {

std::string withTemplateFile(const std::string& content, bool& ok) {
    char name[] = "/tmp/kel_check_XXXXXX";
    ::close(mkstemp(name));
    std::ofstream(name, std::ios::binary) << content;
    std::ostringstream err;
    ok = checkTemplateLines(name, err);
    std::remove(name);
    // Messages name the file first; the tests compare what follows it.
    std::string text = err.str();
    const std::string lead = std::string("kelgen: ") + name + ": ";
    if (text.compare(0, lead.size(), lead) == 0) text = text.substr(lead.size());
    return text;
}

TEST(CheckTemplateLines, AcceptsWhatTheAnalyzerCanReadBack) {
    struct Case { const char* name; std::string file; };
    const std::vector<Case> cases = {
        {"plain", "<template>\n  <d/>\n</template>\n"},
        {"CRLF line ends", "<template>\r\n  <d/>\r\n</template>\r\n"},
        {"empty and carriage-return-only lines after the end", "<template>\n</template>\n\n\r\n\n"},
        {"a line of 254 characters", "<template>\n" + std::string(254, 'x') + "\n</template>\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = false;
        EXPECT_EQ("", withTemplateFile(c.file, ok));
        EXPECT_TRUE(ok);
    }
}

TEST(CheckTemplateLines, RefusesWhatTheTraceWouldLoseOrMisread) {
    struct Case { const char* name; std::string file; std::string message; };
    const std::vector<Case> cases = {
        {"last line without line feed", "<template>\n</template>",
         "2: the last line has no line feed; the trace would lose it\n"},
        {"a line of 255 characters", "<template>\n" + std::string(255, 'x') + "\n</template>\n",
         "2: the line has 255 characters; at most 254 fit in a trace line\n"},
        {"254 characters and a carriage return", "<template>\r\n" + std::string(254, 'x') + "\r\n</template>\r\n",
         "2: the line has 255 characters; at most 254 fit in a trace line\n"},
        {"no end line", "<template>\n</template >\n",
         "no line is exactly '</template>'; the analyzer could not find the end of the embedded template\n"},
        {"indented end line", "<template>\n  </template>\n",
         "no line is exactly '</template>'; the analyzer could not find the end of the embedded template\n"},
        {"text after the end line", "<template>\n</template>\n\n<!-- x -->\n",
         "4: text after the '</template>' line; the analyzer would take it for a trace record\n"},
        {"blanks after the end line", "<template>\n</template>\n  \n",
         "3: text after the '</template>' line; the analyzer would take it for a trace record\n"},
        {"a NUL byte", std::string("<template a=\"\0\">\n</template>\n", 29),
         "1: the line holds a NUL byte; the trace would cut it there\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = true;
        EXPECT_EQ(c.message, withTemplateFile(c.file, ok));
        EXPECT_FALSE(ok);
    }
}

struct RecordsCase {
    const char* name;
    std::function<void(Template&)> apply;
    const char* message;  // "" when accepted
};

void check(const std::vector<RecordsCase>& cases, Template (*fixture)());

TEST(CheckTemplateRecords, PositionsStayInsideArgsAndRemoteTargetsHaveAPort) {
    const std::vector<RecordsCase> cases = {
        {"the example", [](Template&) {}, ""},
        {"last position of args", [](Template& t) { t.domains[0].allocators[0].float_arg_n2 = 1; }, ""},
        {"float_arg_n1 at the end of args", [](Template& t) { t.domains[0].allocators[0].float_arg_n1 = 2; },
         "domain 'mem', tor 'malloc': float_arg_n1 is 2, but args has 2 entries\n"},
        {"float_arg_n2 beyond the end", [](Template& t) { t.domains[0].allocators[0].float_arg_n2 = 7; },
         "domain 'mem', tor 'malloc': float_arg_n2 is 7, but args has 2 entries\n"},
        {"handle_arg_out beyond the end", [](Template& t) { t.domains[0].deallocators[0].handle_arg_out = 2; },
         "domain 'mem', tor 'free': handle_arg_out is 2, but args has 2 entries\n"},
        {"negative position", [](Template& t) { t.domains[0].deallocators[0].handle_arg_out = -1; },
         "domain 'mem', tor 'free': handle_arg_out is -1, but args has 2 entries\n"},
        {"validateDom_before longer than args",
         [](Template& t) { t.domains[0].deallocators[0].validateDom_before = {"-", "mem", "mem"}; },
         "domain 'mem', tor 'free': validateDom_before has 3 entries, but args has 2\n"},
        {"an aliased tor is checked too",
         [](Template& t) {
             t.domains[0].deallocators[0].cpp_alias = "x";
             t.domains[0].deallocators[0].float_arg_n1 = 9;
         },
         "domain 'mem', tor 'free': float_arg_n1 is 9, but args has 2 entries\n"},
        {"remote target with a port",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "localhost:5555";
         },
         ""},
        {"remote target without ':'",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "trace.out";
         },
         "remote trace_target 'trace.out' has no ':' in its first 99 characters; expected host:port\n"},
        {"remote target whose ':' comes too late",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = std::string(99, 'h') + ":1";
         },
         nullptr},
        {"a file target needs no ':'", [](Template& t) { t.trace_target = "trace.out"; }, ""},
    };
    check(cases, mtExample);
}

// open(path, flags, ...) is wrapped by naming mode and marking it optional;
// a '...' itself, or an optional parameter that not every call passes but
// that the record would need, is refused.
TEST(CheckTemplateRecords, VariadicAndOptionalParameters) {
    auto openOf = [](Template& t) -> Tor& { return t.domains[1].allocators[0]; };
    const std::vector<RecordsCase> cases = {
        {"open with an optional mode", [](Template&) {}, ""},
        {"'...' as a type",
         [&](Template& t) { openOf(t).args[3] = arg("...", "rest"); },
         "domain 'fd', tor 'open': args entry 3 is variadic ('...'), which cannot be wrapped; write out the "
         "parameters callers may pass and mark them optional=\"true\"\n"},
        {"'...' as a name",
         [&](Template& t) { openOf(t).args[3] = arg("", "..."); },
         "domain 'fd', tor 'open': args entry 3 is variadic ('...'), which cannot be wrapped; write out the "
         "parameters callers may pass and mark them optional=\"true\"\n"},
        {"'...' in an aliased tor is never wrapped",
         [&](Template& t) {
             openOf(t).args[3] = arg("...", "");
             openOf(t).cpp_alias = "x";
         },
         ""},
        {"optional return value", [&](Template& t) { openOf(t).args[0].optional = true; },
         "domain 'fd', tor 'open': args entry 0 is the return value and cannot be optional\n"},
        {"a required parameter after an optional one",
         [&](Template& t) {
             openOf(t).args[2].optional = true;
             openOf(t).args[3].optional = false;
         },
         "domain 'fd', tor 'open': args entry 3 follows an optional parameter, so it must be optional too\n"},
        {"two optional parameters", [&](Template& t) { openOf(t).args[2].optional = true; }, ""},
        {"a size from an optional parameter",
         [&](Template& t) { openOf(t).float_arg_n1 = 3; },
         "domain 'fd', tor 'open': float_arg_n1 is 3, an optional parameter that calls may leave out\n"},
        {"a handle from an optional parameter",
         [&](Template& t) { openOf(t).handle_arg_out = 3; },
         "domain 'fd', tor 'open': handle_arg_out is 3, an optional parameter that calls may leave out\n"},
        {"a check of an optional parameter",
         [&](Template& t) { openOf(t).validateDom_before = {"-", "-", "-", "fd"}; },
         "domain 'fd', tor 'open': validateDom_before entry 3 checks an optional parameter that calls may leave "
         "out\n"},
        {"an optional position that names no domain", [&](Template& t) { openOf(t).validateDom_before = {"-", "-", "-", "-"}; },
         ""},
    };
    check(cases, withOpen);
}

TEST(WarnUnknownDomains, NamesTheTorAndThePositionOfEveryEntryThatNamesNoDomain) {
    Template t = withOpen();
    std::ostringstream quiet;
    EXPECT_EQ(0, warnUnknownDomains(t, "t.xml", quiet));
    EXPECT_EQ("", quiet.str());

    // Empty entries and "-" say "no check"; a domain's name, its own or
    // another's, is a check; anything else is reported with its position.
    t.domains[0].deallocators[0].validateDom_before = {"ret", "mme"};
    t.domains[1].allocators[0].validateDom_before = {"-", "", "mem", "fd "};
    std::ostringstream err;
    EXPECT_EQ(3, warnUnknownDomains(t, "t.xml", err));
    EXPECT_EQ("kelgen: t.xml: warning: domain 'mem', tor 'free': validateDom_before entry 0 'ret' names no domain; "
              "that argument is not checked\n"
              "kelgen: t.xml: warning: domain 'mem', tor 'free': validateDom_before entry 1 'mme' names no domain; "
              "that argument is not checked\n"
              "kelgen: t.xml: warning: domain 'fd', tor 'open': validateDom_before entry 3 'fd ' names no domain; "
              "that argument is not checked\n",
              err.str());
}

void check(const std::vector<RecordsCase>& cases, Template (*fixture)()) {
    for (const RecordsCase& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = fixture();
        c.apply(t);
        std::ostringstream err;
        const bool ok = checkTemplateRecords(t, "t.xml", err);
        if (c.message == nullptr) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(0u, err.str().find("kelgen: t.xml: remote trace_target '"));
            continue;
        }
        EXPECT_EQ(*c.message == '\0', ok);
        EXPECT_EQ(*c.message == '\0' ? std::string() : std::string("kelgen: t.xml: ") + c.message, err.str());
    }
}

}  // namespace
