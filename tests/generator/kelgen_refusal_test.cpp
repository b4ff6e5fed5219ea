// The real kelgen on hostile templates and command lines: names that would
// inject C or change what the trace says, a template whose copy in the trace
// reads back differently, outputs that name the template or each other, and
// the report of a template that does not load. Every refusal exits with 3
// (255 for a template that does not load) and writes nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "run_command.h"
#include "temp_dir.h"

namespace {

const std::string kKelgen = KELGEN;
const char* const kGenerationError = "Generation error. See err.log for details.\nerror code = 3\n";
const char* const kIdentifierRule = " is not a C identifier (letters, digits and '_', not starting with a digit)\n";

// malloc and free in domain DOMAIN; the attribute texts are spliced in as
// they stand in the file. Line 4 holds the domain's start tag, line 7
// malloc's and line 13 free's.
std::string memTemplate(const std::string& domain = "mem", const std::string& mallocName = "malloc",
                        const std::string& freeName = "free", const std::string& nullValue = "NULL") {
    return "<?xml version=\"1.0\"?>\n"
           "<template name=\"h\" prefix=\"h_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\"\n"
           "  force_flush=\"true\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" "
           "compiler_type=\"gcc\" trace_target=\"t.out\">\n"
           "  <domain name=\"" + domain + "\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
           "    <includes>stdlib.h</includes>\n"
           "    <tor __type__=\"allocator\" name=\"" + mallocName + "\" float_arg_n1=\"1\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <args type=\"void*\" name=\"ret\"/>\n"
           "      <args type=\"size_t\" name=\"size\"/>\n"
           "      <expr oper=\"==\" type=\"void*\" value=\"" + nullValue + "\"/>\n"
           "    </tor>\n"
           "    <tor __type__=\"deallocator\" name=\"" + freeName + "\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <validateDom_before>" + domain + "</validateDom_before>\n"
           "      <args type=\"void\" name=\"ret\"/>\n"
           "      <args type=\"void*\" name=\"ptr\"/>\n"
           "      <expr oper=\"\" type=\"void\" value=\"\"/>\n"
           "    </tor>\n"
           "  </domain>\n"
           "</template>\n";
}

class Refusal : public testing::Test {
protected:
    CommandResult kelgen(const std::string& args) { return runCommand("cd " + dir.path() + " && " + kKelgen + " " + args); }
    // Every entry of the folder, so that any file kelgen made shows.
    std::string listing() { return runCommand("cd " + dir.path() + " && ls -A").out; }
    TempDir dir;
};

// Issue rows 4 and 5: each template loads, but kelgen refuses it before
// writing anything, naming the element and its line.
TEST_F(Refusal, NamesThatAreNotCIdentifiersAndCopiesThatReadBackDifferently) {
    struct Case { const char* name; std::string text; std::string message; };
    const Case cases[] = {
        {"a '\"' in a tor name that would inject system(...)",
         memTemplate("mem", "malloc", "free&quot;);system(&quot;touch pwned&quot;);(&quot;"),
         "kelgen: t.xml: 13: domain 'mem': tor name 'free\");system(\"touch pwned\");(\"'" +
             std::string(kIdentifierRule)},
        {"a '\\' in a domain name, which the C literal turned into another name",
         memTemplate("m\\em"), "kelgen: t.xml: 4: domain name 'm\\em'" + std::string(kIdentifierRule)},
        {"a line feed in a tor name", memTemplate("mem", "mal&#10;loc"),
         "kelgen: t.xml: 7: domain 'mem': tor name 'mal\\nloc'" + std::string(kIdentifierRule)},
        {"the issue's empty line inside a domain name", memTemplate("me\n\nm"),
         "kelgen: t.xml: 4: domain name 'me  m'" + std::string(kIdentifierRule)},
        {"an empty line inside a value the trace would read back without it",
         memTemplate("mem", "malloc", "free", "NU\n\nLL"),
         "kelgen: t.xml: 7: domain 'mem', tor 'malloc' would read back differently from the trace: its copy of the "
         "template leaves out empty lines, and an attribute value or a text of it holds one\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("t.xml", c.text);
        const CommandResult r = kelgen("t.xml kel.h kel.c");
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.message + kGenerationError, r.err);
        EXPECT_EQ("t.xml\n", listing());
    }
    // The same template with plain names generates.
    dir.write("t.xml", memTemplate());
    EXPECT_EQ(0, kelgen("t.xml kel.h kel.c").status);
}

// Issue rows 6 and 7: the outputs must be files of their own.
TEST_F(Refusal, AnOutputThatIsTheTemplateOrTheOtherOutput) {
    const std::string text = memTemplate();
    dir.write("t.xml", text);
    ASSERT_EQ(0, ::mkdir(dir.file("sub").c_str(), 0755));
    ASSERT_EQ(0, ::symlink("t.xml", dir.file("soft.h").c_str()));
    ASSERT_EQ(0, ::link(dir.file("t.xml").c_str(), dir.file("hard.h").c_str()));
    ASSERT_EQ(0, ::symlink("sub", dir.file("subl").c_str()));
    const std::string header = "kelgen: the header ";
    const std::string source = "kelgen: the source ";
    const std::string isTemplate = "; writing it would destroy the template\n";
    struct Case { const char* args; std::string message; };
    const Case cases[] = {
        {"t.xml t.xml k.c", header + "'t.xml' names the same file as the template 't.xml'" + isTemplate},
        {"t.xml ./t.xml k.c", header + "'./t.xml' names the same file as the template 't.xml'" + isTemplate},
        {"t.xml k.h t.xml", source + "'t.xml' names the same file as the template 't.xml'" + isTemplate},
        {"t.xml k.h sub/../t.xml", source + "'sub/../t.xml' names the same file as the template 't.xml'" + isTemplate},
        {"t.xml soft.h k.c", header + "'soft.h' names the same file as the template 't.xml'" + isTemplate},
        {"t.xml hard.h k.c", header + "'hard.h' names the same file as the template 't.xml'" + isTemplate},
        {"t.xml x x", source + "'x' names the same file as the header 'x'; one output would replace the other\n"},
        {"t.xml x ./x", source + "'./x' names the same file as the header 'x'; one output would replace the other\n"},
        {"t.xml sub/../x x", source + "'x' names the same file as the header 'sub/../x'; one output would replace the other\n"},
        {"t.xml sub/y subl/y", source + "'subl/y' names the same file as the header 'sub/y'; one output would replace the other\n"},
        {"t.xml soft.h hard.h", header + "'soft.h' names the same file as the template 't.xml'" + isTemplate},
    };
    const std::string before = listing();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r = kelgen(c.args);
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.message + kGenerationError, r.err);
        EXPECT_EQ(text, readWholeFile(dir.file("t.xml")));
        EXPECT_EQ(before, listing());
        EXPECT_EQ("", runCommand("ls -A " + dir.file("sub")).out);
    }
}

// Outputs that only look alike are written: a device any writer may share,
// and a dangling link, which is replaced, beside the file it named.
TEST_F(Refusal, DistinctOutputsAndASharedDeviceAreWritten) {
    dir.write("t.xml", memTemplate());
    ASSERT_EQ(0, ::symlink("k.c", dir.file("k.h").c_str()));
    for (const char* args : {"t.xml /dev/null /dev/null", "t.xml k.h k.c"}) {
        SCOPED_TRACE(args);
        const CommandResult r = kelgen(args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
    }
    struct stat st {};
    ASSERT_EQ(0, ::lstat(dir.file("k.h").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(std::string::npos, readWholeFile(dir.file("k.h")).find("#ifndef __pd_h_h__"));
    EXPECT_NE(std::string::npos, readWholeFile(dir.file("k.c")).find("#define KEL_NO_REDEF"));
}

// After the reader's own lines, perror's layout with the file and the
// reader's reason in place of a stale errno.
TEST_F(Refusal, AnUnloadableTemplateIsReportedWithTheReadersReason) {
    dir.write("mismatch.xml", "<template><domain></template>\n");
    dir.write("nodomain.xml", "<template/>\n");
    ASSERT_EQ(0, ::mkdir(dir.file("folder.xml").c_str(), 0755));
    struct Case { const char* args; const char* reason; };
    const Case cases[] = {
        {"missing.xml", "No such file or directory"},
        {"folder.xml", "Is a directory"},
        {"mismatch.xml k.h k.c", "line 1: Opening and ending tag mismatch: domain line 0 and template"},
        {"nodomain.xml", "the document's structure: '\"domain\" == chunk.element.name' does not hold in domainLoader, "
                         "near line 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r = kelgen(c.args);
        EXPECT_EQ(255, r.status);
        const std::string file = std::string(c.args).substr(0, std::string(c.args).find(' '));
        const std::string report = "Unable to parse template file!\n: " + file + ": " + c.reason + "\n";
        ASSERT_GE(r.err.size(), report.size()) << r.err;
        EXPECT_EQ(report, r.err.substr(r.err.size() - report.size())) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("Success")) << r.err;
    }
}

// Each failure to load says in one line which file and what is wrong, and
// nothing but ours reaches standard error: not the XML library's own line
// about a file it cannot open, nor the missing-field text as a prefix.
TEST_F(Refusal, TemplateFailuresNameTheFileAndWhatIsWrong) {
    std::string noPrefix = memTemplate();
    noPrefix.erase(noPrefix.find("prefix=\"h_\" "), std::string("prefix=\"h_\" ").size());
    dir.write("noprefix.xml", noPrefix);
    dir.write("tworoots.xml", "<?xml version=\"1.0\"?>\n<template/>\n<template/>\n");
    struct Case { const char* name; const char* args; int status; const char* err; };
    const Case cases[] = {
        {"a template file that does not exist", "missing.xml k.h k.c", 255,
         "Unable to parse template file!\n: missing.xml: No such file or directory\n"},
        {"the same in the load-only form", "missing.xml", 255,
         "Unable to parse template file!\n: missing.xml: No such file or directory\n"},
        {"a second root element", "tworoots.xml k.h k.c", 255,
         "Unable to parse template file!\n: tworoots.xml: line 3: Extra content at the end of the document\n"},
        {"a root element without prefix", "noprefix.xml k.h k.c", 3,
         "kelgen: noprefix.xml: the root element has no prefix attribute (the start of every wrapper's name; "
         "prefix=\"\" for none)\nGeneration error. See err.log for details.\nerror code = 3\n"},
    };
    const std::string before = listing();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult r = kelgen(c.args);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(before, listing());
    }
}

}  // namespace
