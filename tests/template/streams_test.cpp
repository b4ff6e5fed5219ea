// The template reader reports to the streams its caller gives: the XML
// parser's diagnostics and the "libxml++ exception" line to one, the
// attribute, structure and refused-load messages to the other. Nothing of
// it reaches the process's standard output or error, not even the XML
// library's own line about a file it cannot open.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "template_reader.h"
#include "one_tor_template.h"
#include "temp_dir.h"

namespace {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

TEST(ReaderStreams, EveryMessageGoesToTheCallersStreams) {
    TempDir dir;
    const std::string path = dir.file("t.xml");
    const std::string flagMissing = "unexpected value '<MISSING FIELD>' at ccloader:29\n";
    struct Case {
        const char* name;
        std::string xml;  // no file at all when empty
        int rc;
        std::string out;  // the start of what reaches `out`
        std::string err;  // all of what reaches `err`
        std::string failure;
    };
    const Case cases[] = {
        {"a good template", oneTorTemplate(kOneTorRoot), 0, "", "", ""},
        {"a file that does not exist", "", -1, "libxml++ exception: ", "", "No such file or directory"},
        {"a second root element", "<template/>\n<template/>\n", -1,
         "on_fatal_error(): Extra content at the end of the document\n", "",
         "line 2: Extra content at the end of the document"},
        {"a flag that is neither true nor false",
         oneTorTemplate(replaced(kOneTorRoot, "trap_on_io_err=\"false\"", "trap_on_io_err=\"yes\"")), 0, "",
         "unexpected value 'yes' at ccloader:29\n", ""},
        {"a root without attributes or domains", "<template/>\n", -1, "",
         flagMissing + flagMissing + flagMissing + flagMissing + flagMissing +
             "gen_xml_sax_read:361: domainLoader: Assertion '\"domain\" == chunk.element.name' failed.\n",
         "the document's structure: '\"domain\" == chunk.element.name' does not hold in domainLoader, near line 1"},
        {"a tor of no known kind", replaced(oneTorTemplate(kOneTorRoot), "__type__=\"allocator\"", "__type__=\"Allocator\""), -1, "",
         "Unexpected element 'Allocator' !\n"
         "gen_xml_sax_read:421: domainLoader: Assertion 'false' failed.\n",
         "the document's structure: 'false' does not hold in domainLoader, near line 5"},
        {"an external entity",
         oneTorTemplate(kOneTorRoot, "&x;", "<!DOCTYPE template [ <!ENTITY x SYSTEM \"file:///nonexistent/kel\"> ]>\n"), -1, "",
         path + ":6: refused to load external entity or DTD 'file:///nonexistent/kel': a template may only use "
                "entities declared inside it\n",
         "refused to load external entity or DTD 'file:///nonexistent/kel' at line 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.xml.empty()) {
            std::remove(path.c_str());
        } else {
            dir.write("t.xml", c.xml);
        }
        Template tmpl;
        std::string failure;
        std::ostringstream out, err;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = saxparser_templateLoader(tmpl, path.c_str(), failure, out, err);
        const std::string stdoutText = testing::internal::GetCapturedStdout();
        const std::string stderrText = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.out, out.str().substr(0, c.out.size())) << out.str();
        if (c.out.empty()) {
            EXPECT_EQ("", out.str());
        }
        EXPECT_EQ(c.err, err.str());
        EXPECT_EQ(c.failure, failure);
        EXPECT_EQ("", stdoutText);
        EXPECT_EQ("", stderrText);
    }
}

// The entry without streams reports to the standard ones, as its callers
// expect; a file it cannot open brings no line of the XML library's own.
TEST(ReaderStreams, TheEntryWithoutStreamsWritesToTheStandardOnes) {
    TempDir dir;
    Template tmpl;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, saxparser_templateLoader(tmpl, dir.file("missing.xml").c_str()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(0u, out.find("libxml++ exception: ")) << out;

    dir.write("t.xml", "<template/>\n");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, saxparser_templateLoader(tmpl, dir.file("t.xml").c_str()));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string check = "gen_xml_sax_read:361: domainLoader: Assertion '\"domain\" == chunk.element.name' failed.\n";
    ASSERT_GE(err.size(), check.size()) << err;
    EXPECT_EQ(check, err.substr(err.size() - check.size()));
}

}  // namespace
