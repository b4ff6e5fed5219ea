// The loaders: what each document turns into, and how each bad one is refused.
#include <gtest/gtest.h>

#include <string>

#include "template_reader.h"
#include "temp_file.h"

namespace {

const char* const kRoot =
    "<template name=\"t\" prefix=\"p_\" errlogmode=\"console\" trap_on_io_err=\"true\" remote_mode=\"false\" "
    "force_flush=\"true\" fork_enabled=\"false\" multithreaded=\"true\" threading=\"posix\" compiler_type=\"gcc\" "
    "trace_target=\"out.trace\">\n";

const char* const kDomainStart =
    "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
    "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    <includes>stdlib.h</includes>\n";

std::string tor(const std::string& type, const std::string& name, const std::string& body = "") {
    return "    <tor __type__=\"" + type + "\" name=\"" + name +
           "\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n" +
           (body.empty() ? "      <validateDom_before>-</validateDom_before>\n"
                           "      <args type=\"void*\" name=\"ret\"/>\n"
                           "      <args type=\"size_t\" name=\"size\"/>\n"
                           "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
                         : body) +
           "    </tor>\n";
}

std::string document(const std::string& domains) {
    return std::string("<?xml version=\"1.0\"?>\n") + kRoot + domains + "</template>\n";
}

std::string domain(const std::string& tors) { return std::string(kDomainStart) + tors + "  </domain>\n"; }

struct Loaded {
    int rc;
    Template tmpl;
    std::string out;
    std::string err;
};

Loaded load(const std::string& xml) {
    TempFile file(xml);
    Loaded result;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    result.rc = saxparser_templateLoader(result.tmpl, file.path());
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

TEST(Loader, MinimalTemplateFillsEveryRecord) {
    const Loaded l = load(document(domain(tor("allocator", "malloc"))));
    ASSERT_EQ(0, l.rc) << l.err;
    EXPECT_EQ("", l.out);
    EXPECT_EQ("", l.err);
    const Template& t = l.tmpl;
    EXPECT_EQ("t", t.name);
    EXPECT_EQ("p_", t.prefix);
    EXPECT_EQ("console", t.errlogmode);
    EXPECT_TRUE(t.trap_on_io_err);
    EXPECT_FALSE(t.remote_mode);
    EXPECT_TRUE(t.force_flush);
    EXPECT_FALSE(t.fork_enabled);
    EXPECT_TRUE(t.multithreaded);
    EXPECT_EQ("posix", t.threading);
    EXPECT_EQ("gcc", t.compiler_type);
    EXPECT_EQ("out.trace", t.trace_target);
    ASSERT_EQ(1u, t.domains.size());
    const Domain& d = t.domains[0];
    EXPECT_EQ("mem", d.name);
    EXPECT_TRUE(d.float_handle);
    EXPECT_EQ("void*", d.handle);
    EXPECT_TRUE(d.includesGlobal);
    EXPECT_EQ("==", d.expr.oper);
    EXPECT_EQ("void*", d.expr.type);
    EXPECT_EQ("NULL", d.expr.value);
    ASSERT_EQ(std::vector<std::string>{"stdlib.h"}, d.includes);
    ASSERT_EQ(1u, d.allocators.size());
    EXPECT_TRUE(d.deallocators.empty() && d.reallocators.empty() && d.operators.empty());
    const Tor& m = d.allocators[0];
    EXPECT_EQ("malloc", m.name);
    EXPECT_EQ(1, m.float_arg_n1);
    EXPECT_EQ(0, m.float_arg_n2);
    EXPECT_TRUE(m.is_handle_arg_out);
    EXPECT_EQ(0, m.handle_arg_out);
    EXPECT_EQ("", m.cpp_alias);
    EXPECT_EQ(std::vector<std::string>{"-"}, m.validateDom_before);
    ASSERT_EQ(2u, m.args.size());
    EXPECT_EQ("void*", m.args[0].type);
    EXPECT_EQ("ret", m.args[0].name);
    EXPECT_EQ("size_t", m.args[1].type);
    EXPECT_EQ("size", m.args[1].name);
    EXPECT_EQ("==", m.expr.oper);
    EXPECT_EQ("NULL", m.expr.value);
}

TEST(Loader, TorsLandInTheListOfTheirKindInDocumentOrder) {
    const Loaded l = load(document(domain(tor("operator", "op1") + "    <!-- between tors -->\n" +
                                          tor("allocator", "a1") + tor("deallocator", "d1") +
                                          tor("operator", "op2") + tor("reallocator", "r1") +
                                          tor("deallocator", "d2"))));
    ASSERT_EQ(0, l.rc) << l.err;
    const Domain& d = l.tmpl.domains[0];
    auto names = [](const std::vector<Tor>& tors) {
        std::string s;
        for (const Tor& t : tors) s += t.name + " ";
        return s;
    };
    EXPECT_EQ("op1 op2 ", names(d.operators));
    EXPECT_EQ("a1 ", names(d.allocators));
    EXPECT_EQ("d1 d2 ", names(d.deallocators));
    EXPECT_EQ("r1 ", names(d.reallocators));
}

// Messages about a domain or a tor name the line where its start tag
// begins, however the tag and the lines before it are laid out.
TEST(Loader, DomainsAndTorsKeepTheLineWhereTheirStartTagBegins) {
    const std::string body = "<validateDom_before>-</validateDom_before><args type=\"int\" name=\"r\"/><expr/>";
    const Loaded l = load(std::string("<?xml version=\"1.0\"?>\n") +  // 1
                          kRoot +                                          // 2
                          "\n"                                             // 3
                          "  <domain name=\"a\n"                           // 4: value over three lines
                          "\n"                                             // 5
                          "b\" float_handle=\"true\"\n"                    // 6
                          "    handle=\"void*\" includesGlobal=\"true\">\r\n"  // 7
                          "    <expr/><includes>x.h</includes>\r\n"        // 8
                          "    <tor\r\n"                                   // 9: tag over two lines
                          "      __type__=\"allocator\" name=\"m\">" + body + "</tor><tor __type__=\"operator\"\n"  // 10
                          "      name=\"o\">" + body + "</tor>\n"          // 11
                          "  </domain><domain name=\"c\" float_handle=\"true\" handle=\"int\" includesGlobal=\"true\">\n"  // 12
                          "    <expr/><includes>x.h</includes>\n"          // 13
                          "    <tor __type__=\"deallocator\" name=\"d\">" + body + "</tor>\n"  // 14
                          "  </domain>\n"
                          "</template>\n");
    ASSERT_EQ(0, l.rc) << l.err;
    ASSERT_EQ(2u, l.tmpl.domains.size());
    const Domain& a = l.tmpl.domains[0];
    EXPECT_EQ("a  b", a.name);
    EXPECT_EQ(4, a.sourceLine);
    ASSERT_EQ(1u, a.allocators.size());
    EXPECT_EQ(9, a.allocators[0].sourceLine);
    ASSERT_EQ(1u, a.operators.size());
    EXPECT_EQ(10, a.operators[0].sourceLine);
    EXPECT_EQ(12, l.tmpl.domains[1].sourceLine);
    ASSERT_EQ(1u, l.tmpl.domains[1].deallocators.size());
    EXPECT_EQ(14, l.tmpl.domains[1].deallocators[0].sourceLine);

    // Where a record came from is not what it says.
    Template moved = l.tmpl;
    moved.domains[0].sourceLine += 1;
    moved.domains[1].deallocators[0].sourceLine += 1;
    EXPECT_TRUE(moved == l.tmpl);
}

// The one-line reason a caller reports after the loader's own messages.
TEST(Loader, AFailedLoadSaysWhyInOneLine) {
    TempFile unclosed("<template><domain></template>\n");
    TempFile noDomain("<template/>\n");
    TempFile external("<?xml version=\"1.0\"?>\n<!DOCTYPE t [<!ENTITY x SYSTEM \"file:///nonexistent/kel\">]>\n"
                      "<template>&x;</template>\n");
    struct Case { const char* name; std::string path; std::string failure; };
    const Case cases[] = {
        {"missing file", "/nonexistent/kel/template.xml", "No such file or directory"},
        {"a folder", "/tmp", "Is a directory"},
        {"tags that do not match", unclosed.path(),
         "line 1: Opening and ending tag mismatch: domain line 0 and template"},
        {"a root without domains", noDomain.path(),
         "the document's structure: '\"domain\" == chunk.element.name' does not hold in domainLoader, near line 1"},
        {"an external entity", external.path(),
         "refused to load external entity or DTD 'file:///nonexistent/kel' at line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template tmpl;
        std::string failure = "stale";
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = saxparser_templateLoader(tmpl, c.path.c_str(), failure);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(c.failure, failure);
    }
}

TEST(Loader, TwoDomainsOfTheSameNameAreKept) {
    const Loaded l = load(document(domain(tor("allocator", "a")) + domain(tor("operator", "b"))));
    ASSERT_EQ(0, l.rc) << l.err;
    ASSERT_EQ(2u, l.tmpl.domains.size());
    EXPECT_EQ(1u, l.tmpl.domains[0].allocators.size());
    EXPECT_EQ(1u, l.tmpl.domains[1].operators.size());
}

TEST(Loader, IntegerAttributesReadLikeAtoll) {
    struct Case {
        const char* attribute;  // the whole attribute text, or "" for none
        std::int64_t expected;
    };
    const Case cases[] = {
        {"handle_arg_out=\"2\"", 2},     {"handle_arg_out=\"-1\"", -1},  {"handle_arg_out=\"2a\"", 2},
        {"handle_arg_out=\"a2\"", 0},    {"handle_arg_out=\" 7\"", 7},   {"handle_arg_out=\"+3\"", 3},
        {"handle_arg_out=\"\"", 0},      {"", 0},
        {"handle_arg_out=\"99999999999999999999\"", INT64_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        const std::string body = "      <validateDom_before>-</validateDom_before>\n"
                                 "      <args type=\"void*\" name=\"ret\"/>\n"
                                 "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n";
        const std::string t = std::string("    <tor __type__=\"allocator\" name=\"m\" ") + c.attribute + ">\n" + body +
                              "    </tor>\n";
        const Loaded l = load(document(domain(t)));
        ASSERT_EQ(0, l.rc) << l.err;
        EXPECT_EQ(c.expected, l.tmpl.domains[0].allocators[0].handle_arg_out);
        // The tor has no other integer attribute: both read as 0.
        EXPECT_EQ(0, l.tmpl.domains[0].allocators[0].float_arg_n1);
    }
}

TEST(Loader, MissingAttributesGiveTheMissingFieldTextAndFlagMessages) {
    const std::string xml = "<template>\n" + domain(tor("allocator", "m")) + "</template>\n";
    const Loaded l = load(xml);
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ(
        "unexpected value '<MISSING FIELD>' at ccloader:29\n"
        "unexpected value '<MISSING FIELD>' at ccloader:29\n"
        "unexpected value '<MISSING FIELD>' at ccloader:29\n"
        "unexpected value '<MISSING FIELD>' at ccloader:29\n"
        "unexpected value '<MISSING FIELD>' at ccloader:29\n",
        l.err);
    const Template& t = l.tmpl;
    for (const std::string* s : {&t.name, &t.prefix, &t.errlogmode, &t.threading, &t.compiler_type, &t.trace_target}) {
        EXPECT_EQ("<MISSING FIELD>", *s);
    }
    // Flags keep their initial value.
    EXPECT_FALSE(t.trap_on_io_err || t.remote_mode || t.force_flush || t.fork_enabled || t.multithreaded);
}

TEST(Loader, FlagsTakeOnlyExactTrueOrFalse) {
    struct Case {
        const char* text;
        const char* message;
        bool expected;  // a fresh Domain starts false, which a rejected text leaves
    };
    const Case cases[] = {
        {"true", "", true},
        {"false", "", false},
        {"yes", "unexpected value 'yes' at ccloader:29\n", false},
        {"TRUE", "unexpected value 'TRUE' at ccloader:29\n", false},
        {"true ", "unexpected value 'true ' at ccloader:29\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string xml = document(domain(tor("allocator", "m")));
        const std::string from = "float_handle=\"true\"";
        xml.replace(xml.find(from), from.size(), std::string("float_handle=\"") + c.text + "\"");
        const Loaded l = load(xml);
        ASSERT_EQ(0, l.rc);
        EXPECT_EQ(c.message, l.err);
        EXPECT_EQ(c.expected, l.tmpl.domains[0].float_handle);
    }
}

TEST(Loader, AttributeNamesAreCaseSensitive) {
    std::string xml = document(domain(tor("allocator", "m")));
    const std::string from = "multithreaded=\"true\"";
    xml.replace(xml.find(from), from.size(), "multiThreaded=\"true\"");
    const Loaded l = load(xml);
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ("unexpected value '<MISSING FIELD>' at ccloader:29\n", l.err);
    EXPECT_FALSE(l.tmpl.multithreaded);
}

TEST(Loader, TextOnlyElements) {
    struct Case {
        const char* name;
        const char* includes;  // the includes elements of the domain
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"blank text adds nothing", "    <includes>  \n  </includes>\n", {}},
        {"empty element adds nothing", "    <includes/>\n    <includes>b.h</includes>\n", {"b.h"}},
        {"comment alone is the text", "    <includes><!--c.h--></includes>\n", {"c.h"}},
        {"text is kept untrimmed", "    <includes> a.h\n</includes>\n", {" a.h\n"}},
        {"first element is read whatever its name", "    <headers>x.h</headers>\n    <includes>y.h</includes>\n",
         {"x.h", "y.h"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string xml = document(std::string("  <domain name=\"d\" float_handle=\"false\" handle=\"int\" "
                                                     "includesGlobal=\"false\">\n"
                                                     "    <expr oper=\"&lt;\" type=\"int\" value=\"0\"/>\n") +
                                         c.includes + tor("allocator", "m") + "  </domain>\n");
        const Loaded l = load(xml);
        ASSERT_EQ(0, l.rc) << l.err;
        EXPECT_EQ(c.expected, l.tmpl.domains[0].includes);
    }
}

TEST(Loader, ValidateDomBeforePositions) {
    const std::string body = "      <validateDom_before>-</validateDom_before>\n"
                             "      <validateDom_before>mem</validateDom_before>\n"
                             "      <validateDom_before/>\n"
                             "      <args type=\"void\" name=\"ret\"/>\n"
                             "      <args type=\"void*\" name=\"ptr\"/>\n"
                             "      <expr oper=\"\" type=\"void\" value=\"\"/>\n";
    const Loaded l = load(document(domain(tor("deallocator", "free", body))));
    ASSERT_EQ(0, l.rc) << l.err;
    EXPECT_EQ((std::vector<std::string>{"-", "mem"}), l.tmpl.domains[0].deallocators[0].validateDom_before);
}

TEST(Loader, TorStartingWithArgsLosesItsFirstArgs) {
    const std::string body = "      <args type=\"void*\" name=\"ret\"/>\n"
                             "      <args type=\"size_t\" name=\"size\"/>\n"
                             "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n";
    const Loaded l = load(document(domain(tor("allocator", "m", body))));
    ASSERT_EQ(0, l.rc) << l.err;
    const Tor& t = l.tmpl.domains[0].allocators[0];
    EXPECT_TRUE(t.validateDom_before.empty());
    ASSERT_EQ(1u, t.args.size());
    EXPECT_EQ("size", t.args[0].name);
}

TEST(Loader, XmlFailuresAreReportedAndLeaveTheTemplateUntouched) {
    {
        SCOPED_TRACE("missing file");
        Template tmpl;
        tmpl.name = "before";
        testing::internal::CaptureStdout();
        const int rc = saxparser_templateLoader(tmpl, "/nonexistent/kel/template.xml");
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(-1, rc);
        EXPECT_EQ(0u, out.find("libxml++ exception: ")) << out;
        EXPECT_EQ("before", tmpl.name);
        EXPECT_TRUE(tmpl.domains.empty());
    }
    {
        SCOPED_TRACE("missing end tag");
        std::string xml = document(domain(tor("allocator", "m")));
        xml.erase(xml.find("</template>"));
        const Loaded l = load(xml);
        EXPECT_EQ(-1, l.rc);
        EXPECT_EQ(0u, l.out.find("on_fatal_error(): Premature end of data")) << l.out;
        EXPECT_NE(std::string::npos, l.out.find("\nlibxml++ exception: ")) << l.out;
        EXPECT_EQ("", l.tmpl.name);
    }
    {
        SCOPED_TRACE("empty file");
        const Loaded l = load("");
        EXPECT_EQ(-1, l.rc);
        EXPECT_NE(std::string::npos, l.out.find("libxml++ exception: ")) << l.out;
    }
    {
        SCOPED_TRACE("binary file");
        const Loaded l = load(std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10));
        EXPECT_EQ(-1, l.rc);
        EXPECT_NE(std::string::npos, l.out.find("libxml++ exception: ")) << l.out;
    }
}

TEST(Loader, EachStructuralCheckNamesItsCondition) {
    const std::string good = tor("allocator", "m");
    struct Case {
        const char* name;
        std::string xml;
        const char* diagnostic;
    };
    const std::string exprLine = "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n";
    const Case cases[] = {
        {"B: element after the last domain", document(domain(good) + "  <other/>\n"),
         "gen_xml_sax_read:496: saxparser_templateLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
        {"C: root without domains", document(""),
         "gen_xml_sax_read:361: domainLoader: Assertion '\"domain\" == chunk.element.name' failed.\n"},
        {"C: comment before the root", "<?xml version=\"1.0\"?>\n<!-- c -->\n" + document(domain(good)).substr(22),
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "gen_xml_sax_read:361: domainLoader: Assertion '\"domain\" == chunk.element.name' failed.\n"},
        {"D: domain without tors", document(domain("")),
         "gen_xml_sax_read:399: domainLoader: Assertion 'onElementStart == chunk.event' failed.\n"},
        {"E: __type__ with a capital", document(domain(tor("Allocator", "m"))),
         "Unexpected element 'Allocator' !\n"
         "gen_xml_sax_read:421: domainLoader: Assertion 'false' failed.\n"},
        {"F: element after the last tor", document(domain(good + "    <other/>\n")),
         "gen_xml_sax_read:433: domainLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
        {"G: tor-typed element of another name",
         document(domain("    <rot __type__=\"allocator\"><v>-</v><args/><expr/></rot>\n")),
         "gen_xml_sax_read:285: torLoader: Assertion '\"tor\" == chunk.element.name' failed.\n"},
        {"H: tab between expr and end tag", document(domain(tor("allocator", "m",
                                                                 "      <validateDom_before>-</validateDom_before>\n"
                                                                 "      <args type=\"void*\" name=\"ret\"/>\n"
                                                                 "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n\t"))),
         "gen_xml_sax_read:341: torLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
        {"H: comment between expr and end tag",
         document(domain(tor("allocator", "m", "      <v>-</v>\n      <args/>\n" + exprLine + "      <!-- x -->\n"))),
         "gen_xml_sax_read:341: torLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
        {"I: tor with a single args and no validateDom_before",
         document(domain(tor("allocator", "m", "      <args/>\n" + exprLine))),
         "gen_xml_sax_read:263: argsLoader: Assertion '\"args\" == chunk.element.name' failed.\n"},
        {"J: text inside args", document(domain(tor("allocator", "m", "      <v>-</v>\n      <args>x</args>\n" + exprLine))),
         "gen_xml_sax_read:274: argsLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
        {"K: tor without expr", document(domain(tor("allocator", "m", "      <v>-</v>\n      <args/>\n"))),
         "gen_xml_sax_read:240: exprLoader: Assertion '\"expr\" == chunk.element.name' failed.\n"},
        {"L: text inside expr", document(domain(tor("allocator", "m", "      <v>-</v>\n      <args/>\n      <expr>x</expr>\n"))),
         "gen_xml_sax_read:252: exprLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
        {"M: empty tor", document(domain("    <tor __type__=\"operator\"></tor>\n")),
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "gen_xml_sax_read:214: stringLoader: Assertion 'onElementStart == chunk.event' failed.\n"},
        {"N: entity inside includes",
         document("  <domain name=\"d\">\n    <expr/>\n    <includes>a&amp;b</includes>\n" + good + "  </domain>\n"),
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "unexpected value '<MISSING FIELD>' at ccloader:29\n"
         "gen_xml_sax_read:224: stringLoader: Assertion 'onElementEnd == chunk.event' failed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Loaded l = load(c.xml);
        EXPECT_EQ(-1, l.rc);
        EXPECT_EQ(c.diagnostic, l.err);
    }
}

TEST(Loader, MissingTypeIsQuotedAsMissingField) {
    const Loaded l = load(document(domain("    <tor name=\"m\"/>\n")));
    EXPECT_EQ(-1, l.rc);
    EXPECT_EQ(
        "Unexpected element '<MISSING FIELD>' !\n"
        "gen_xml_sax_read:421: domainLoader: Assertion 'false' failed.\n",
        l.err);
}

TEST(Loader, FailureKeepsTheDomainsCompletedBeforeIt) {
    const Loaded l = load(document(domain(tor("allocator", "a")) + domain(tor("bogus", "b"))));
    EXPECT_EQ(-1, l.rc);
    ASSERT_EQ(1u, l.tmpl.domains.size());
    EXPECT_EQ("a", l.tmpl.domains[0].allocators[0].name);
    EXPECT_EQ("t", l.tmpl.name);
}

TEST(Loader, RootOfAnyNameAndUnknownAttributesLoadTheSame) {
    std::string xml = document(domain(tor("allocator", "m")));
    xml.replace(xml.find("<template "), 10, "<other extra=\"1\" ");
    xml.replace(xml.find("</template>"), 11, "</other>");
    const Loaded l = load(xml);
    ASSERT_EQ(0, l.rc) << l.err;
    EXPECT_EQ("p_", l.tmpl.prefix);
    EXPECT_EQ(1u, l.tmpl.domains[0].allocators.size());
}

TEST(Loader, OptionalAttributesKeepTheirDefaultsWhenAbsent) {
    // A template that leaves these attributes out loads silently, and each
    // field holds the value that means what the base format says.
    const Loaded l = load(document(domain(tor("allocator", "m"))));
    ASSERT_EQ(0, l.rc);
    EXPECT_EQ("", l.err);
    const Template& t = l.tmpl;
    EXPECT_FALSE(t.trace_per_process);
    EXPECT_FALSE(t.auto_start);
    EXPECT_FALSE(t.buffered_records);
    EXPECT_FALSE(t.mapped_records);
    EXPECT_FALSE(t.gnu_source);
    EXPECT_EQ("", t.domains[0].untracked_use);
    EXPECT_TRUE(t.domains[0].warn_unused);
    EXPECT_FALSE(t.domains[0].interior);
    EXPECT_FALSE(t.domains[0].allocators[0].bad_handle_ok);
    EXPECT_EQ("", t.domains[0].allocators[0].float_size_expr);
    EXPECT_EQ(0, t.domains[0].allocators[0].handle_arg_deref);
    EXPECT_EQ("", t.domains[0].allocators[0].traced_if);
    EXPECT_EQ("", t.domains[0].allocators[0].va_forward);
    EXPECT_EQ("", t.domains[0].allocators[0].release_tor);
    EXPECT_EQ(0, t.domains[0].allocators[0].release_arg);
    EXPECT_EQ("", t.domains[0].allocators[0].release_if);
    EXPECT_FALSE(t.domains[0].allocators[0].c_only);
    for (const Arg& a : t.domains[0].allocators[0].args) EXPECT_FALSE(a.optional);
}

TEST(Loader, OptionalAttributesWhenGiven) {
    struct Case {
        const char* from;  // an attribute of the fixture, replaced by itself plus `add`
        const char* add;
        const char* message;
        bool (*holds)(const Template&);
    };
    const Case cases[] = {
        {"trace_target=\"out.trace\"", " trace_per_process=\"true\"", "",
         [](const Template& t) { return t.trace_per_process; }},
        {"trace_target=\"out.trace\"", " auto_start=\"true\"", "", [](const Template& t) { return t.auto_start; }},
        {"trace_target=\"out.trace\"", " buffered_records=\"true\"", "",
         [](const Template& t) { return t.buffered_records; }},
        {"trace_target=\"out.trace\"", " gnu_source=\"true\"", "", [](const Template& t) { return t.gnu_source; }},
        {"trace_target=\"out.trace\"", " mapped_records=\"true\"", "",
         [](const Template& t) { return t.mapped_records; }},
        {"includesGlobal=\"true\"", " untracked_use=\"ignore\"", "",
         [](const Template& t) { return t.domains[0].untracked_use == "ignore"; }},
        {"includesGlobal=\"true\"", " warn_unused=\"false\"", "",
         [](const Template& t) { return !t.domains[0].warn_unused; }},
        {"includesGlobal=\"true\"", " interior=\"true\"", "", [](const Template& t) { return t.domains[0].interior; }},
        {"cpp_alias=\"\"", " bad_handle_ok=\"true\"", "",
         [](const Template& t) { return t.domains[0].allocators[0].bad_handle_ok; }},
        {"cpp_alias=\"\"", " float_size_expr=\"strlen(s) + 1\"", "",
         [](const Template& t) { return t.domains[0].allocators[0].float_size_expr == "strlen(s) + 1"; }},
        {"cpp_alias=\"\"", " handle_arg_deref=\"2\"", "",
         [](const Template& t) { return t.domains[0].allocators[0].handle_arg_deref == 2; }},
        {"cpp_alias=\"\"", " traced_if=\"buf == NULL\"", "",
         [](const Template& t) { return t.domains[0].allocators[0].traced_if == "buf == NULL"; }},
        {"cpp_alias=\"\"", " va_forward=\"vasprintf\"", "",
         [](const Template& t) { return t.domains[0].allocators[0].va_forward == "vasprintf"; }},
        {"cpp_alias=\"\"", " release_tor=\"dup2_target\" release_arg=\"2\" release_if=\"newfd &gt; 2\"", "",
         [](const Template& t) {
             const Tor& tor = t.domains[0].allocators[0];
             return tor.release_tor == "dup2_target" && tor.release_arg == 2 && tor.release_if == "newfd > 2";
         }},
        {"cpp_alias=\"\"", " c_only=\"true\"", "", [](const Template& t) { return t.domains[0].allocators[0].c_only; }},
        {"name=\"size\"", " optional=\"true\"", "",
         [](const Template& t) {
             const std::vector<Arg>& a = t.domains[0].allocators[0].args;
             return !a[0].optional && a[1].optional;
         }},
        // A present but misspelt flag is reported like any flag, and the default stays.
        {"includesGlobal=\"true\"", " warn_unused=\"no\"", "unexpected value 'no' at ccloader:29\n",
         [](const Template& t) { return t.domains[0].warn_unused; }},
        {"cpp_alias=\"\"", " bad_handle_ok=\"True\"", "unexpected value 'True' at ccloader:29\n",
         [](const Template& t) { return !t.domains[0].allocators[0].bad_handle_ok; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.add);
        std::string xml = document(domain(tor("allocator", "m")));
        const std::string from = c.from;
        xml.replace(xml.find(from), from.size(), from + c.add);
        const Loaded l = load(xml);
        ASSERT_EQ(0, l.rc);
        EXPECT_EQ(c.message, l.err);
        EXPECT_TRUE(c.holds(l.tmpl));
    }
}

TEST(Records, CopiesAreIndependent) {
    Domain d;
    d.includes.push_back("a.h");
    Tor t;
    t.args.push_back({"int", "x"});
    d.operators.push_back(t);
    Domain copy = d;
    copy.includes.push_back("b.h");
    copy.operators[0].args.push_back({"int", "y"});
    EXPECT_EQ(1u, d.includes.size());
    EXPECT_EQ(1u, d.operators[0].args.size());
}

TEST(Records, EqualityComparesEveryFieldDeeply) {
    const Loaded l = load(document(domain(tor("allocator", "m") + tor("operator", "op")) +
                                   domain(tor("deallocator", "d") + tor("reallocator", "r"))));
    ASSERT_EQ(0, l.rc) << l.err;
    const Template base = l.tmpl;
    ASSERT_TRUE(base == l.tmpl);
    ASSERT_FALSE(base != l.tmpl);

    using Change = void (*)(Template&);
    struct Case {
        const char* field;
        Change change;
    };
    const Case cases[] = {
        {"name", [](Template& t) { t.name += "x"; }},
        {"prefix", [](Template& t) { t.prefix += "x"; }},
        {"errlogmode", [](Template& t) { t.errlogmode += "x"; }},
        {"trap_on_io_err", [](Template& t) { t.trap_on_io_err = !t.trap_on_io_err; }},
        {"remote_mode", [](Template& t) { t.remote_mode = !t.remote_mode; }},
        {"force_flush", [](Template& t) { t.force_flush = !t.force_flush; }},
        {"fork_enabled", [](Template& t) { t.fork_enabled = !t.fork_enabled; }},
        {"multithreaded", [](Template& t) { t.multithreaded = !t.multithreaded; }},
        {"threading", [](Template& t) { t.threading += "x"; }},
        {"compiler_type", [](Template& t) { t.compiler_type += "x"; }},
        {"trace_target", [](Template& t) { t.trace_target += "x"; }},
        {"trace_per_process", [](Template& t) { t.trace_per_process = !t.trace_per_process; }},
        {"auto_start", [](Template& t) { t.auto_start = !t.auto_start; }},
        {"buffered_records", [](Template& t) { t.buffered_records = !t.buffered_records; }},
        {"gnu_source", [](Template& t) { t.gnu_source = !t.gnu_source; }},
        {"mapped_records", [](Template& t) { t.mapped_records = !t.mapped_records; }},
        {"domains: one less", [](Template& t) { t.domains.pop_back(); }},
        {"domains: order", [](Template& t) { std::swap(t.domains[0], t.domains[1]); }},
        {"domain name", [](Template& t) { t.domains[1].name += "x"; }},
        {"float_handle", [](Template& t) { t.domains[1].float_handle = !t.domains[1].float_handle; }},
        {"handle", [](Template& t) { t.domains[1].handle += "x"; }},
        {"domain expr oper", [](Template& t) { t.domains[1].expr.oper += "x"; }},
        {"domain expr type", [](Template& t) { t.domains[1].expr.type += "x"; }},
        {"domain expr value", [](Template& t) { t.domains[1].expr.value += "x"; }},
        {"includesGlobal", [](Template& t) { t.domains[1].includesGlobal = !t.domains[1].includesGlobal; }},
        {"includes", [](Template& t) { t.domains[1].includes.push_back("x.h"); }},
        {"allocators", [](Template& t) { t.domains[1].allocators.push_back(Tor()); }},
        {"deallocators", [](Template& t) { t.domains[0].deallocators.push_back(Tor()); }},
        {"reallocators", [](Template& t) { t.domains[0].reallocators.push_back(Tor()); }},
        {"operators", [](Template& t) { t.domains[1].operators.push_back(Tor()); }},
        {"untracked_use", [](Template& t) { t.domains[1].untracked_use = "ignore"; }},
        {"warn_unused", [](Template& t) { t.domains[1].warn_unused = !t.domains[1].warn_unused; }},
        {"interior", [](Template& t) { t.domains[1].interior = !t.domains[1].interior; }},
        {"tor name", [](Template& t) { t.domains[0].allocators[0].name += "x"; }},
        {"args: one more", [](Template& t) { t.domains[0].allocators[0].args.push_back({"int", "x"}); }},
        {"arg type", [](Template& t) { t.domains[1].reallocators[0].args[1].type += "x"; }},
        {"arg name", [](Template& t) { t.domains[1].reallocators[0].args[1].name += "x"; }},
        {"arg optional", [](Template& t) { t.domains[1].reallocators[0].args[1].optional = true; }},
        {"float_arg_n1", [](Template& t) { t.domains[0].operators[0].float_arg_n1 += 1; }},
        {"float_arg_n2", [](Template& t) { t.domains[0].operators[0].float_arg_n2 += 1; }},
        {"validateDom_before", [](Template& t) { t.domains[1].deallocators[0].validateDom_before[0] += "x"; }},
        {"is_handle_arg_out",
         [](Template& t) { t.domains[1].deallocators[0].is_handle_arg_out = !t.domains[1].deallocators[0].is_handle_arg_out; }},
        {"handle_arg_out", [](Template& t) { t.domains[1].deallocators[0].handle_arg_out = 3; }},
        {"tor expr oper", [](Template& t) { t.domains[0].allocators[0].expr.oper += "x"; }},
        {"tor expr type", [](Template& t) { t.domains[0].allocators[0].expr.type += "x"; }},
        {"tor expr value", [](Template& t) { t.domains[0].allocators[0].expr.value += "x"; }},
        {"cpp_alias", [](Template& t) { t.domains[0].allocators[0].cpp_alias += "x"; }},
        {"bad_handle_ok", [](Template& t) { t.domains[0].allocators[0].bad_handle_ok = true; }},
        {"float_size_expr", [](Template& t) { t.domains[0].allocators[0].float_size_expr = "strlen(s) + 1"; }},
        {"handle_arg_deref", [](Template& t) { t.domains[0].allocators[0].handle_arg_deref = 1; }},
        {"traced_if", [](Template& t) { t.domains[0].allocators[0].traced_if = "buf == NULL"; }},
        {"va_forward", [](Template& t) { t.domains[0].allocators[0].va_forward = "vasprintf"; }},
        {"release_tor", [](Template& t) { t.domains[0].allocators[0].release_tor = "close_target"; }},
        {"release_arg", [](Template& t) { t.domains[0].allocators[0].release_arg = 2; }},
        {"release_if", [](Template& t) { t.domains[0].allocators[0].release_if = "newfd > 2"; }},
        {"c_only", [](Template& t) { t.domains[0].allocators[0].c_only = true; }},
    };
    bool setting = true;  // the root's fields come first in the table
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        if (std::string(c.field) == "domains: one less") setting = false;
        Template changed = base;
        c.change(changed);
        EXPECT_FALSE(changed == base);
        EXPECT_FALSE(base == changed);
        EXPECT_TRUE(changed != base);
        EXPECT_EQ(!setting, sameSettings(changed, base));
    }
}

// A caller that only compares domains gets each one as it is loaded, and
// the Template keeps the settings alone.
TEST(Loader, DomainsCanBeHandedOverOneByOne) {
    TempFile file(document(domain(tor("allocator", "a")) + domain(tor("operator", "b"))));
    Template tmpl;
    std::string failure;
    std::vector<std::string> seen;
    const int rc = saxparser_templateLoader(tmpl, file.path(), failure, [&](const Domain& d) {
        seen.push_back(d.name + ":" + (d.allocators.empty() ? d.operators[0].name : d.allocators[0].name));
    });
    EXPECT_EQ(0, rc);
    EXPECT_EQ((std::vector<std::string>{"mem:a", "mem:b"}), seen);
    EXPECT_TRUE(tmpl.domains.empty());
    EXPECT_EQ("t", tmpl.name);
    EXPECT_EQ("out.trace", tmpl.trace_target);
}

}  // namespace
