// The real kelgen binary: its command-line forms and their exit statuses.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "run_command.h"
#include "temp_dir.h"

namespace {

const std::string kKelgen = KELGEN;
const std::string kExample = std::string(KEL_SOURCE_DIR) + "/examples/example.xml";

const char* const kUsage =
    "params:  <template> <header> <source> # generate kel.h kel.c from template file\n"
    "params:  <template>                   # dumps template (DEBUG VERSION ONLY)\n"
    "params:  --version                    # prints version\n"
    "example: tpl_generic3.xml kel.h kel.c\n"
    "example: tpl_generic3.xml\n";

// The perror report: our text (with its own line feed), then ": " and errno's description.
const char* const kReport = "Unable to parse template file!\n: ";

void writeFile(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

TEST(KelgenCli, VersionLine) {
    const CommandResult r = runCommand(kKelgen + " --version");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("KEL v0.9.02\n", r.out);
    EXPECT_EQ("", r.err);
}

TEST(KelgenCli, WrongArgumentCountsPrintUsage) {
    for (const char* args : {"", " a b", " a b c d", " --version x y z"}) {
        SCOPED_TRACE(args);
        const CommandResult r = runCommand(kKelgen + args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(kUsage, r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(KelgenCli, LoadOnlyFormWithAGoodTemplate) {
    const CommandResult r = runCommand(kKelgen + " " + kExample);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
}

TEST(KelgenCli, TabIndentedTemplateFailsAtTheFirstTor) {
    TempDir dir;
    std::ifstream in(kExample);
    std::string line, tabbed;
    while (std::getline(in, line)) {
        std::size_t blanks = line.find_first_not_of(' ');
        if (blanks == std::string::npos) blanks = line.size();
        tabbed += std::string(blanks / 2, '\t') + line.substr(blanks) + "\n";
    }
    writeFile(dir.file("tabbed.xml"), tabbed);
    const CommandResult r = runCommand(kKelgen + " " + dir.file("tabbed.xml"));
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("", r.out);
    const std::string diagnostic = "gen_xml_sax_read:341: torLoader: Assertion 'onElementEnd == chunk.event' failed.\n";
    EXPECT_EQ(diagnostic + kReport, r.err.substr(0, diagnostic.size() + std::string(kReport).size())) << r.err;
}

TEST(KelgenCli, UnloadableTemplates) {
    TempDir dir;
    writeFile(dir.file("empty.xml"), "");
    writeFile(dir.file("binary.xml"), std::string("\x7f" "ELF\0\x01\x02\x03", 8));
    writeFile(dir.file("malformed.xml"), "<template><domain></template>\n");
    writeFile(dir.file("comment.xml"), "<!-- first -->\n<template/>\n");
    writeFile(dir.file("notype.xml"),
              "<template><domain><expr/><includes>a.h</includes><tor name=\"m\"/></domain></template>\n");
    struct Case {
        const char* name;
        std::string args;
        const char* out;  // expected start of standard output
    };
    const Case cases[] = {
        {"missing file", dir.file("missing.xml"), "libxml++ exception: "},
        {"directory", dir.file(""), "on_fatal_error(): "},
        {"empty file", dir.file("empty.xml"), "on_fatal_error(): Document is empty"},
        {"binary file", dir.file("binary.xml"), "on_fatal_error(): "},
        {"malformed XML", dir.file("malformed.xml"), "on_fatal_error(): "},
        {"comment before the root", dir.file("comment.xml"), ""},
        {"tor without __type__", dir.file("notype.xml"), ""},
        {"--version as the template of the generate form", "--version x y", "libxml++ exception: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandResult r = runCommand("cd " + dir.file("") + " && " + kKelgen + " " + c.args);
        EXPECT_EQ(255, r.status);
        EXPECT_EQ(0u, r.out.find(c.out)) << r.out;
        EXPECT_NE(std::string::npos, r.err.find(kReport)) << r.err;
    }
}

TEST(KelgenCli, FailedLoadLeavesOutputFilesUntouched) {
    TempDir dir;
    writeFile(dir.file("bad.xml"), "<template/>\n");
    writeFile(dir.file("kel.h"), "old header\n");
    writeFile(dir.file("kel.c"), "old source\n");
    const CommandResult r =
        runCommand(kKelgen + " " + dir.file("bad.xml") + " " + dir.file("kel.h") + " " + dir.file("kel.c"));
    EXPECT_EQ(255, r.status);
    EXPECT_EQ("old header\n", readWholeFile(dir.file("kel.h")));
    EXPECT_EQ("old source\n", readWholeFile(dir.file("kel.c")));
}

}  // namespace
