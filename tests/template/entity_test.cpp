// The template reader substitutes the entities a template declares inside
// itself, and never reads another file or the network for an external
// entity or DTD.
#include <gtest/gtest.h>

#include <string>

#include "template_reader.h"
#include "loopback_listener.h"
#include "one_tor_template.h"
#include "temp_dir.h"

namespace {

const char* const kSecret = "SECRET-1f3a9c";

// A one-tor template whose includes text (or any other place) is `body`,
// after the document type declaration `doctype`.
std::string templateWith(const std::string& doctype, const std::string& includes,
                         const std::string& rootExtra = "") {
    return oneTorTemplate(std::string(kOneTorRoot) + rootExtra, includes, doctype);
}

struct Loaded {
    int rc;
    Template tmpl;
    std::string out, err;
};

Loaded load(const std::string& path) {
    Loaded l;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    l.rc = saxparser_templateLoader(l.tmpl, path.c_str());
    l.out = testing::internal::GetCapturedStdout();
    l.err = testing::internal::GetCapturedStderr();
    return l;
}

bool mentions(const Template& t, const std::string& text) {
    for (const Domain& d : t.domains) {
        for (const std::string& i : d.includes) {
            if (i.find(text) != std::string::npos) return true;
        }
    }
    return t.name.find(text) != std::string::npos;
}

TEST(ExternalEntities, InternalEntitiesAreStillSubstituted) {
    TempDir dir;
    dir.write("t.xml", templateWith("<!DOCTYPE template [ <!ENTITY hdr \"stdlib.h\"> ]>\n", "&hdr;"));
    const Loaded l = load(dir.file("t.xml"));
    ASSERT_EQ(0, l.rc) << l.out << l.err;
    EXPECT_EQ("", l.out);
    EXPECT_EQ("", l.err);
    ASSERT_EQ(1u, l.tmpl.domains.size());
    EXPECT_EQ(std::vector<std::string>{"stdlib.h"}, l.tmpl.domains[0].includes);
}

TEST(ExternalEntities, FilesAreNeverRead) {
    TempDir dir;
    dir.write("secret.txt", kSecret);
    dir.write("secret.dtd", std::string("<!ENTITY leak \"") + kSecret + "\">\n");
    const std::string secret = dir.file("secret.txt");
    struct Case {
        const char* name;
        std::string xml;
        std::string err;  // exact standard error; empty: see out
        const char* out;  // the start of standard output
    };
    const std::string t = dir.file("t.xml");
    const Case cases[] = {
        {"file URL in element text",
         templateWith("<!DOCTYPE template [\n<!ENTITY x SYSTEM \"file://" + secret + "\">\n]>\n", "&x;"),
         t + ":8: refused to load external entity or DTD 'file://" + secret +
             "': a template may only use entities declared inside it\n",
         ""},
        {"plain path in element text",
         templateWith("<!DOCTYPE template [ <!ENTITY x SYSTEM \"" + secret + "\"> ]>\n", "&x;"),
         t + ":6: refused to load external entity or DTD '" + secret +
             "': a template may only use entities declared inside it\n",
         ""},
        {"relative path, through an internal entity",
         templateWith("<!DOCTYPE template [ <!ENTITY x SYSTEM \"secret.txt\"> <!ENTITY y \"&x;\"> ]>\n", "&y;"),
         // named as resolved against the template's folder
         t + ":6: refused to load external entity or DTD '" + secret +
             "': a template may only use entities declared inside it\n",
         ""},
        // libxml2 itself refuses these without loading anything.
        {"external entity in an attribute",
         templateWith("<!DOCTYPE template [ <!ENTITY x SYSTEM \"" + secret + "\"> ]>\n", "stdlib.h",
                      " extra=\"&x;\""),
         "", "on_fatal_error(): Attribute references external entity 'x'\n"},
        {"external parameter entity",
         templateWith("<!DOCTYPE template [ <!ENTITY % p SYSTEM \"" + dir.file("secret.dtd") + "\"> %p; ]>\n",
                      "&leak;"),
         "", "on_fatal_error(): PEReference: %p; not found\n"},
        {"external DTD subset",
         templateWith("<!DOCTYPE template SYSTEM \"" + dir.file("secret.dtd") + "\">\n", "&leak;"), "",
         "on_error(): Entity 'leak' not defined\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("t.xml", c.xml);
        Loaded l = load(t);
        EXPECT_EQ(-1, l.rc);
        EXPECT_EQ(std::string::npos, l.out.find(kSecret)) << l.out;
        EXPECT_EQ(std::string::npos, l.err.find(kSecret)) << l.err;
        EXPECT_FALSE(mentions(l.tmpl, kSecret));
        if (!c.err.empty()) {
            EXPECT_EQ(c.err, l.err);
            EXPECT_EQ("", l.out);  // one message: the parser's own follow-ups are not shown
            EXPECT_TRUE(l.tmpl.domains.empty());
            EXPECT_EQ("", l.tmpl.name);
        } else {
            EXPECT_EQ(0u, l.out.find(c.out)) << l.out;
        }
    }
}

TEST(ExternalEntities, TheNetworkIsNeverAsked) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ready());
    TempDir dir;
    const std::string t = dir.file("t.xml");
    struct Case {
        const char* name;
        std::string xml;
    };
    const Case cases[] = {
        {"entity in element text",
         templateWith("<!DOCTYPE template [ <!ENTITY x SYSTEM \"" + listener.url("/x.dtd") + "\"> ]>\n", "&x;")},
        {"external parameter entity",
         templateWith("<!DOCTYPE template [ <!ENTITY % p SYSTEM \"" + listener.url("/p.dtd") + "\"> %p; ]>\n",
                      "stdlib.h")},
        {"external DTD subset", templateWith("<!DOCTYPE template SYSTEM \"" + listener.url("/t.dtd") + "\">\n",
                                             "stdlib.h")},
        {"public identifier", templateWith("<!DOCTYPE template PUBLIC \"-//KEL//x\" \"" + listener.url("/u.dtd") +
                                               "\">\n",
                                           "stdlib.h")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("t.xml", c.xml);
        load(t);
        EXPECT_EQ(0, listener.connections());
    }
    // The entity in element text is refused with the one message.
    dir.write("t.xml", cases[0].xml);
    const Loaded l = load(t);
    EXPECT_EQ(-1, l.rc);
    EXPECT_EQ(t + ":6: refused to load external entity or DTD '" + listener.url("/x.dtd") +
                  "': a template may only use entities declared inside it\n",
              l.err);
}

TEST(ExternalEntities, AMissingTemplateIsTheParsersReport) {
    // libxml2 asks for a missing file under a canonical name (a blank becomes
    // %20): that is still the document, not an external entity.
    for (const char* path : {"/nonexistent/kel/t.xml", "/nonexistent/kel dir/t 1%.xml", "missing t.xml"}) {
        SCOPED_TRACE(path);
        const Loaded l = load(path);
        EXPECT_EQ(-1, l.rc);
        EXPECT_EQ(0u, l.out.find("libxml++ exception: ")) << l.out;
        EXPECT_EQ(std::string::npos, l.err.find("refused")) << l.err;
    }
}

TEST(ExternalEntities, TheNextTemplateLoadsNormally) {
    // The refusal belongs to one load: the template file of the next load
    // opens as usual, and its internal entities work.
    TempDir dir;
    dir.write("bad.xml", templateWith("<!DOCTYPE template [ <!ENTITY x SYSTEM \"/etc/hostname\"> ]>\n", "&x;"));
    dir.write("good.xml", templateWith("<!DOCTYPE template [ <!ENTITY h \"stdio.h\"> ]>\n", "&h;"));
    EXPECT_EQ(-1, load(dir.file("bad.xml")).rc);
    const Loaded l = load(dir.file("good.xml"));
    EXPECT_EQ(0, l.rc) << l.out << l.err;
    ASSERT_EQ(1u, l.tmpl.domains.size());
    EXPECT_EQ(std::vector<std::string>{"stdio.h"}, l.tmpl.domains[0].includes);
}

}  // namespace
