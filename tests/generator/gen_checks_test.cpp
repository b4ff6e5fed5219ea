// The checks that run before anything is written: a template file whose
// embedded copy could not be read back, positions past the end of args, and
// a remote target without a port.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

#include "gen_c.h"
#include "gen_checks.h"
#include "gen_text_fixtures.h"
#include "temp_file.h"

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
        // The port is C text in the generated call, so only a number may stand there.
        {"remote target with two colons",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "a:b:c";
         },
         "remote trace_target 'a:b:c' has the port 'b:c'; expected a number from 1 to 65535\n"},
        {"a port that would call a function",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h:0+f()";
         },
         "remote trace_target 'h:0+f()' has the port '0+f()'; expected a number from 1 to 65535\n"},
        {"a port cut to seven digits is too large",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h:123456789";
         },
         "remote trace_target 'h:123456789' has the port '1234567'; expected a number from 1 to 65535\n"},
        {"port 0",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h:0";
         },
         "remote trace_target 'h:0' has the port '0'; expected a number from 1 to 65535\n"},
        {"an empty port",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h:";
         },
         "remote trace_target 'h:' has the port ''; expected a number from 1 to 65535\n"},
        {"the largest port",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h:65535";
         },
         ""},
        {"messages show control characters",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h\r:5\n";
         },
         "remote trace_target 'h\\r:5\\n' has the port '5\\n'; expected a number from 1 to 65535\n"},
    };
    check(cases, mtExample);
}

// Names that the generated code writes as C text. `line` is where the
// element's start tag begins; the messages name it.
TEST(CheckNames, DomainAndTorNamesAreCIdentifiersAndIncludesAreHeaderNames) {
    struct Case { const char* name; std::function<void(Template&)> apply; const char* message; };
    const std::vector<Case> cases = {
        {"the example", [](Template&) {}, ""},
        {"a '\"' in a tor name that would inject a call",
         [](Template& t) { t.domains[0].deallocators[0].name = "free\");system(\"id\");(\""; },
         "9: domain 'mem': tor name 'free\");system(\"id\");(\"' is not a C identifier (letters, digits and '_', not "
         "starting with a digit)\n"},
        {"a '\\' in a domain name that would change the traced name",
         [](Template& t) { t.domains[0].name = "m\\em"; },
         "5: domain name 'm\\em' is not a C identifier (letters, digits and '_', not starting with a digit)\n"},
        {"a line feed in a tor name",
         [](Template& t) { t.domains[0].allocators[0].name = "mal\nloc"; },
         "7: domain 'mem': tor name 'mal\\nloc' is not a C identifier (letters, digits and '_', not starting with a "
         "digit)\n"},
        {"a blank in a domain name", [](Template& t) { t.domains[0].name = "me m"; },
         "5: domain name 'me m' is not a C identifier (letters, digits and '_', not starting with a digit)\n"},
        {"a missing domain name", [](Template& t) { t.domains[0].name = "<MISSING FIELD>"; },
         "5: domain name '<MISSING FIELD>' is not a C identifier (letters, digits and '_', not starting with a "
         "digit)\n"},
        {"a domain name starting with a digit", [](Template& t) { t.domains[0].name = "9mem"; },
         "5: domain name '9mem' is not a C identifier (letters, digits and '_', not starting with a digit)\n"},
        {"an aliased tor is never written",
         [](Template& t) {
             t.domains[0].deallocators[0].name = "operator delete";
             t.domains[0].deallocators[0].cpp_alias = "x";
         },
         ""},
        {"a record made in code has no line",
         [](Template& t) {
             t.domains[0].sourceLine = 0;
             t.domains[0].name = "a.b";
         },
         "domain name 'a.b' is not a C identifier (letters, digits and '_', not starting with a digit)\n"},
        {"an empty prefix", [](Template& t) { t.prefix = ""; }, ""},
        {"a missing prefix", [](Template& t) { t.prefix = "<MISSING FIELD>"; },
         "the root element has no prefix attribute (the start of every wrapper's name; prefix=\"\" for none)\n"},
        {"a prefix that is no identifier's start", [](Template& t) { t.prefix = "mt-"; },
         "prefix 'mt-' cannot start a C identifier (letters, digits and '_', not starting with a digit)\n"},
        {"a '>' in a global include", [](Template& t) { t.domains[0].includes = {"stdlib.h> int x; <x.h"}; },
         "5: domain 'mem': includes entry 'stdlib.h> int x; <x.h' cannot be written as #include <...> (no control "
         "character, no '>')\n"},
        {"a line feed in an include", [](Template& t) { t.domains[0].includes = {"stdlib.h\n"}; },
         "5: domain 'mem': includes entry 'stdlib.h\\n' cannot be written as #include <...> (no control character, "
         "no '>')\n"},
        {"a '\"' in a local include",
         [](Template& t) {
             t.domains[0].includesGlobal = false;
             t.domains[0].includes = {"a\".h"};
         },
         "5: domain 'mem': includes entry 'a\".h' cannot be written as #include \"...\" (no control character, no "
         "'\"')\n"},
        {"a '\"' in a global include",
         [](Template& t) { t.domains[0].includes = {"a\".h"}; }, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        t.domains[0].sourceLine = 5;
        t.domains[0].allocators[0].sourceLine = 7;
        t.domains[0].deallocators[0].sourceLine = 9;
        c.apply(t);
        std::ostringstream err;
        EXPECT_EQ(*c.message == '\0', checkNames(t, "t.xml", err));
        EXPECT_EQ(*c.message == '\0' ? std::string() : std::string("kelgen: t.xml: ") + c.message, err.str());
    }
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

// A handle through a pointer or an array, and a forwarded '...': the wrapper
// calls first and records after the call, which an allocator, a reallocator
// or an operator can do, and a deallocator cannot.
Tor memalign() {
    Tor tor;
    tor.name = "posix_memalign";
    tor.args = {arg("int", "ret"), arg("void**", "memptr"), arg("size_t", "alignment"), arg("size_t", "size")};
    tor.validateDom_before = {"-"};
    tor.float_arg_n1 = 3;
    tor.is_handle_arg_out = true;
    tor.handle_arg_out = 1;
    tor.handle_arg_deref = 1;
    tor.expr = Expr{"!=", "int", "0"};
    return tor;
}

Tor asprintfTor() {
    Tor tor = memalign();
    tor.name = "asprintf";
    tor.args = {arg("int", "ret"), arg("char**", "strp"), arg("const char*", "fmt"), arg("...", "")};
    tor.float_arg_n1 = 0;
    tor.float_size_expr = "strlen(*strp) + 1";
    tor.va_forward = "vasprintf";
    return tor;
}

// dup2-like: a call that releases its argument at `position` first.
Tor releasing(const char* releaseTor, std::int64_t position) {
    Tor tor;
    tor.name = "dup2";
    tor.args = {arg("void*", "ret"), arg("void*", "from"), arg("void*", "onto")};
    tor.validateDom_before = {"-"};
    tor.is_handle_arg_out = true;
    tor.expr = Expr{"==", "void*", "NULL"};
    tor.release_tor = releaseTor;
    tor.release_arg = position;
    return tor;
}

TEST(CheckTemplateRecords, HandlesAfterTheCallAndForwardedArguments) {
    auto add = [](Template& t, Tor tor) { t.domains[0].allocators.push_back(std::move(tor)); };
    const char* const dealloc = "domain 'mem', tor 'free': handle_arg_deref is for allocators and reallocators, "
                                "not a deallocator\n";
    const std::vector<RecordsCase> cases = {
        {"posix_memalign", [&](Template& t) { add(t, memalign()); }, ""},
        {"pipe's two descriptors",
         [&](Template& t) {
             Tor pipe = memalign();
             pipe.handle_arg_deref = 2;
             add(t, pipe);
         },
         ""},
        {"asprintf forwarded to vasprintf", [&](Template& t) { add(t, asprintfTor()); }, ""},
        {"a negative count",
         [&](Template& t) {
             Tor tor = memalign();
             tor.handle_arg_deref = -1;
             add(t, tor);
         },
         "domain 'mem', tor 'posix_memalign': handle_arg_deref is -1; expected 0 or more\n"},
        {"no handle out",
         [&](Template& t) {
             Tor tor = memalign();
             tor.is_handle_arg_out = false;
             add(t, tor);
         },
         "domain 'mem', tor 'posix_memalign': handle_arg_deref needs is_handle_arg_out=\"true\" and "
         "handle_arg_out at a parameter\n"},
        {"a handle from the return value",
         [&](Template& t) {
             Tor tor = memalign();
             tor.handle_arg_out = 0;
             add(t, tor);
         },
         "domain 'mem', tor 'posix_memalign': handle_arg_deref needs is_handle_arg_out=\"true\" and "
         "handle_arg_out at a parameter\n"},
        {"on a deallocator",
         [&](Template& t) {
             Tor& free = t.domains[0].deallocators[0];
             free.handle_arg_deref = 1;
             free.is_handle_arg_out = true;
             free.handle_arg_out = 1;
         },
         dealloc},
        {"a reallocator with two handles",
         [&](Template& t) {
             Tor tor = memalign();
             tor.handle_arg_deref = 2;
             t.domains[0].reallocators.push_back(tor);
         },
         "domain 'mem', tor 'posix_memalign': a reallocator's handle_arg_deref is 1: one handle, before and after "
         "the call\n"},
        {"va_forward on a deallocator",
         [&](Template& t) {
             Tor& free = t.domains[0].deallocators[0];
             free.va_forward = "vfree";
             free.args.push_back(arg("...", ""));
         },
         "domain 'mem', tor 'free': va_forward is not for a deallocator, whose record must be written before the "
         "call\n"},
        {"va_forward without '...'",
         [&](Template& t) {
             Tor tor = asprintfTor();
             tor.args.pop_back();
             add(t, tor);
         },
         "domain 'mem', tor 'asprintf': va_forward needs a last args entry of type '...' after at least one named "
         "parameter\n"},
        {"va_forward that is no function name",
         [&](Template& t) {
             Tor tor = asprintfTor();
             tor.va_forward = "v(x)";
             add(t, tor);
         },
         "domain 'mem', tor 'asprintf': va_forward 'v(x)' is not a C identifier\n"},
        {"'...' without va_forward is still refused",
         [&](Template& t) {
             Tor tor = asprintfTor();
             tor.va_forward = "";
             add(t, tor);
         },
         "domain 'mem', tor 'asprintf': args entry 3 is variadic ('...'), which cannot be wrapped; write out the "
         "parameters callers may pass and mark them optional=\"true\"\n"},
        {"a release by free", [&](Template& t) { add(t, releasing("free", 1)); }, ""},
        {"a release named with its domain", [&](Template& t) { add(t, releasing("mem:free", 1)); }, ""},
        {"a release in a domain the template lacks: nothing to release",
         [&](Template& t) { add(t, releasing("fd:fdopen_stream", 1)); }, ""},
        {"a release of another domain that has no such deallocator",
         [&](Template& t) { add(t, releasing("mem:close", 1)); },
         "domain 'mem', tor 'dup2': release_tor 'mem:close' names no deallocator of the domain with one parameter "
         "and expr type \"void\"\n"},
        {"a release by no deallocator",
         [&](Template& t) { add(t, releasing("malloc", 1)); },
         "domain 'mem', tor 'dup2': release_tor 'malloc' names no deallocator of the domain with one parameter and "
         "expr type \"void\"\n"},
        {"a release whose deallocator tests a result",
         [&](Template& t) {
             t.domains[0].deallocators[0].expr = Expr{"!=", "int", "0"};
             add(t, releasing("free", 1));
         },
         "domain 'mem', tor 'dup2': release_tor 'free' names no deallocator of the domain with one parameter and "
         "expr type \"void\"\n"},
        {"a release of the return value",
         [&](Template& t) { add(t, releasing("free", 0)); },
         "domain 'mem', tor 'dup2': release_arg is 0; expected the position of a parameter every call passes\n"},
        {"a release past the parameters",
         [&](Template& t) { add(t, releasing("free", 3)); },
         "domain 'mem', tor 'dup2': release_arg is 3; expected the position of a parameter every call passes\n"},
        {"with an optional parameter",
         [&](Template& t) {
             Tor tor = memalign();
             tor.args.push_back(arg("int", "extra"));
             tor.args.back().optional = true;
             add(t, tor);
         },
         "domain 'mem', tor 'posix_memalign': handle_arg_deref and va_forward do not go with optional "
         "parameters\n"},
    };
    check(cases, mtExample);
}

// The template as keltrace gets it back from a trace: the file's non-empty
// lines (a final carriage return removed) up to the first "</template>",
// each with a line feed.
std::string copyInTrace(const std::string& file) {
    std::string copy;
    std::istringstream in(file);
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (l.empty()) continue;
        copy += l + "\n";
        if (l == "</template>") break;
    }
    return copy;
}

struct LoadedFile {
    int rc = -1;
    Template tmpl;
};

LoadedFile loadQuietly(const char* path) {
    LoadedFile l;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    l.rc = saxparser_templateLoader(l.tmpl, path);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return l;
}

const char* const kRoundTrip =
    "<?xml version=\"1.0\"?>\n"
    "<template name=\"rt\" prefix=\"rt_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\"\n"
    "  force_flush=\"false\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" "
    "trace_target=\"t.out\">\n"
    "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"  // 4
    "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    <includes>stdlib.h</includes>\n"
    "    <tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"  // 7
    "      <validateDom_before>-</validateDom_before>\n"
    "      <args type=\"void*\" name=\"ret\"/>\n"
    "      <args type=\"size_t\" name=\"size\"/>\n"
    "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    </tor>\n"
    "  </domain>\n"
    "</template>\n";

std::string edited(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string withCrlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Both loads are compared here, and the generator's check must agree with
// them and name the first element that differs.
TEST(CheckEmbeddedCopy, TheTemplateKeltraceReadsBackIsTheTemplateKelgenGeneratesFrom) {
    const std::string cause =
        " would read back differently from the trace: its copy of the template leaves out empty lines, and an "
        "attribute value or a text of it holds one\n";
    struct Case { const char* name; std::string file; std::string message; };  // "" when the copy is equal
    const std::vector<Case> cases = {
        {"as written", kRoundTrip, ""},
        {"empty lines between elements", edited(kRoundTrip, "</includes>\n", "</includes>\n\n\n"), ""},
        {"CRLF line ends", withCrlf(kRoundTrip), ""},
        {"a line of blanks inside a value", edited(kRoundTrip, "value=\"NULL\"/>\n    <inc", "value=\"NU\n   \nLL\"/>\n    <inc"),
         ""},
        {"empty lines after the end", std::string(kRoundTrip) + "\n\n", ""},
        {"the issue's empty line in a domain name", edited(kRoundTrip, "name=\"mem\"", "name=\"me\n\nm\""),
         "4: domain 'me  m'" + cause},
        {"an empty line in a tor's expr value",
         edited(kRoundTrip, "value=\"NULL\"/>\n    </tor>", "value=\"NU\n\nLL\"/>\n    </tor>"),
         "7: domain 'mem', tor 'malloc'" + cause},
        {"an empty line in a validateDom_before text",
         edited(kRoundTrip, "<validateDom_before>-</", "<validateDom_before>-\n\n</"),
         "7: domain 'mem', tor 'malloc'" + cause},
        {"an empty line in an includes text", edited(kRoundTrip, "stdlib.h</includes>", "stdlib.h\n\n</includes>"),
         "4: domain 'mem'" + cause},
        {"an empty line in a setting", edited(kRoundTrip, "trace_target=\"t.out\"", "trace_target=\"t\n\n.out\""),
         "the template's settings" + cause},
        {"a carriage return before a CRLF line end in a value",
         edited(kRoundTrip, "value=\"NULL\"/>\n    </tor>", "value=\"NU\r\r\nLL\"/>\n    </tor>"),
         "7: domain 'mem', tor 'malloc'" + cause},
        {"a lone carriage return inside a line", edited(kRoundTrip, "value=\"NULL\"/>\n    </tor>", "value=\"NU\rLL\"/>\n    </tor>"),
         ""},
        {"an empty CRLF line in a value",
         withCrlf(edited(kRoundTrip, "value=\"NULL\"/>\n    </tor>", "value=\"NU\n\nLL\"/>\n    </tor>")),
         "7: domain 'mem', tor 'malloc'" + cause},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile original(c.file);
        TempFile copy(copyInTrace(c.file));
        const LoadedFile generated = loadQuietly(original.path());
        const LoadedFile readBack = loadQuietly(copy.path());
        ASSERT_EQ(0, generated.rc);
        ASSERT_EQ(0, readBack.rc);
        EXPECT_EQ(c.message.empty(), generated.tmpl == readBack.tmpl);

        std::ostringstream err;
        EXPECT_EQ(c.message.empty(), checkEmbeddedCopy(generated.tmpl, original.path(), err));
        EXPECT_EQ(c.message.empty() ? "" : "kelgen: " + std::string(original.path()) + ": " + c.message, err.str());
    }
}

// A copy that does not load is reported once, by the check: the reader's own
// lines about the copy (the parser's errors, its exception) go nowhere.
TEST(CheckEmbeddedCopy, ACopyThatDoesNotLoadIsReportedOnlyByTheCheck) {
    // The trace's copy stops at the "</template>" inside the comment.
    const std::string file = edited(kRoundTrip, "  <domain", "\n<!--\n</template>\n-->\n  <domain");
    TempFile original(file);
    const LoadedFile generated = loadQuietly(original.path());
    ASSERT_EQ(0, generated.rc);
    std::ostringstream err;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool ok = checkEmbeddedCopy(generated.tmpl, original.path(), err);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string stderrText = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ok);
    EXPECT_EQ("", out);
    EXPECT_EQ("", stderrText);
    const std::string message =
        "kelgen: " + std::string(original.path()) + ": the trace's copy of the template would not load: line ";
    EXPECT_EQ(message, err.str().substr(0, message.size())) << err.str();
    EXPECT_NE(std::string::npos, err.str().find(": Comment not terminated\n")) << err.str();
}

// The bundled templates and the tests' own: every one reads back the same.
TEST(CheckEmbeddedCopy, BundledTemplatesReadBackTheSame) {
    namespace fs = std::filesystem;
    std::vector<fs::path> paths = {fs::path(KEL_SOURCE_DIR) / "bench" / "workload.xml"};
    for (const char* folder : {"examples", "templates", "tests/e2e/templates", "tests/analyzer/templates"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fs::path(KEL_SOURCE_DIR) / folder, error))
            if (entry.path().extension() == ".xml") paths.push_back(entry.path());
    }
    EXPECT_LE(8u, paths.size());
    for (const fs::path& path : paths) {
        SCOPED_TRACE(path.string());
        const LoadedFile l = loadQuietly(path.c_str());
        ASSERT_EQ(0, l.rc);
        std::ostringstream err;
        EXPECT_TRUE(checkEmbeddedCopy(l.tmpl, path.c_str(), err));
        EXPECT_EQ("", err.str());
    }
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
