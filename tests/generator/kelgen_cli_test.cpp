// The real kelgen binary: its command-line forms and their exit statuses.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

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

namespace {

// A small template: its root (with a name attribute written after a '>' in
// another attribute) and one domain with one allocator, for the merge tests.
std::string smallTemplate(const std::string& prolog, const std::string& name, const std::string& domain,
                          const std::string& tor) {
    return prolog +
           "<template note=\"a>b\" name=\"" + name + "\" prefix=\"" + name + "_\" errlogmode=\"console\"\n"
           "  trap_on_io_err=\"false\" remote_mode=\"false\" force_flush=\"false\" fork_enabled=\"true\"\n"
           "  multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" trace_target=\"" + name + ".trace\">\n"
           "  <domain name=\"" + domain + "\" float_handle=\"false\" handle=\"int\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
           "    <includes>unistd.h</includes>\n"
           "    <tor __type__=\"allocator\" name=\"" + tor + "\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <args type=\"int\" name=\"ret\"/>\n"
           "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
           "    </tor>\n"
           "  </domain>\n"
           "</template>\n";
}

// kelgen --wrap-flags: one -Wl,--wrap=NAME a line for each traced function
// with a fixed parameter list, in the order kel.c defines the wrappers
// (allocators, reallocators, operators, deallocators, domain by domain);
// nothing without link_wrap.
TEST(KelgenCli, WrapFlags) {
    const std::string e2e = std::string(KEL_SOURCE_DIR) + "/tests/e2e/templates/";
    const CommandResult wrapped = runCommand(kKelgen + " --wrap-flags " + e2e + "heapfile_wrap.xml");
    EXPECT_EQ(0, wrapped.status) << wrapped.err;
    EXPECT_EQ("-Wl,--wrap=malloc\n-Wl,--wrap=calloc\n-Wl,--wrap=realloc\n-Wl,--wrap=memset\n-Wl,--wrap=free\n"
              "-Wl,--wrap=fopen\n-Wl,--wrap=fputs\n-Wl,--wrap=ferror\n-Wl,--wrap=fclose\n",
              wrapped.out);

    const CommandResult plain = runCommand(kKelgen + " --wrap-flags " + e2e + "heapfile.xml");
    EXPECT_EQ(0, plain.status) << plain.err;
    EXPECT_EQ("", plain.out);

    // The same list into a file, for the linker's response file.
    TempDir dir;
    const CommandResult toFile =
        runCommand(kKelgen + " --wrap-flags " + e2e + "heapfile_wrap.xml " + dir.file("kel-wrap.flags"));
    EXPECT_EQ(0, toFile.status) << toFile.err;
    EXPECT_EQ("", toFile.out);
    EXPECT_EQ(wrapped.out, readWholeFile(dir.file("kel-wrap.flags")));
}

// Functions that get no __wrap_ entry: optional parameters (open's mode) and
// "..." (asprintf, forwarded to vasprintf, which has one).
TEST(KelgenCli, WrapFlagsLeaveOutFunctionsWithoutAFixedParameterList) {
    const struct {
        const char* templ;
        std::vector<std::string> present, absent;
    } cases[] = {
        {"posix-fd.xml", {"close", "read", "dup2"}, {"open", "openat"}},
        {"libc-heap.xml", {"malloc", "vasprintf", "free"}, {"asprintf"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.templ);
        TempDir dir;
        std::string text = readWholeFile(std::string(KEL_SOURCE_DIR) + "/templates/" + c.templ);
        const std::size_t root = text.find('>', text.find("<template"));
        ASSERT_NE(std::string::npos, root);
        text.insert(root, "\n         link_wrap=\"true\"");
        writeFile(dir.file("t.xml"), text);
        const CommandResult r = runCommand(kKelgen + " --wrap-flags " + dir.file("t.xml"));
        EXPECT_EQ(0, r.status) << r.err;
        const std::string lines = "\n" + r.out;
        for (const std::string& name : c.present)
            EXPECT_NE(std::string::npos, lines.find("\n-Wl,--wrap=" + name + "\n")) << name << "\n" << r.out;
        for (const std::string& name : c.absent)
            EXPECT_EQ(std::string::npos, lines.find("\n-Wl,--wrap=" + name + "\n")) << name << "\n" << r.out;
    }
}

}  // namespace

// kelgen --merge: the first template whole but its closing line, the root's
// name made of every name, then each later template's root content after a
// comment naming it; the result loads and generates as one template.
TEST(KelgenCli, MergeJoinsTheDomainsOfSeveralTemplates) {
    TempDir dir;
    writeFile(dir.file("a.xml"), smallTemplate("<?xml version=\"1.0\"?>\n", "a", "fd", "open_a"));
    writeFile(dir.file("b.xml"), smallTemplate("<?xml version=\"1.0\"?>\n<!DOCTYPE template [\n<!ENTITY x \"y\">\n]>\n",
                                               "b", "sock", "socket_b"));
    writeFile(dir.file("c.xml"), smallTemplate("", "c", "pipe", "pipe_c"));
    const std::string in = "cd " + dir.path() + " && ";
    CommandResult r = runCommand(in + kKelgen + " --merge m.xml a.xml b.xml c.xml");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ("", r.err);
    const std::string domain = "  <domain name=\"%\" float_handle=\"false\" handle=\"int\" includesGlobal=\"true\">\n"
                               "    <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
                               "    <includes>unistd.h</includes>\n"
                               "    <tor __type__=\"allocator\" name=\"%\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
                               "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
                               "      <validateDom_before>-</validateDom_before>\n"
                               "      <args type=\"int\" name=\"ret\"/>\n"
                               "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
                               "    </tor>\n"
                               "  </domain>\n";
    auto withNames = [&](const std::string& d, const std::string& tor) {
        std::string text = domain;
        text.replace(text.find('%'), 1, d);
        text.replace(text.find('%'), 1, tor);
        return text;
    };
    EXPECT_EQ("<?xml version=\"1.0\"?>\n"
              "<template note=\"a>b\" name=\"a+b+c\" prefix=\"a_\" errlogmode=\"console\"\n"
              "  trap_on_io_err=\"false\" remote_mode=\"false\" force_flush=\"false\" fork_enabled=\"true\"\n"
              "  multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" trace_target=\"a.trace\">\n" +
                  withNames("fd", "open_a") + "  <!-- merged from b.xml -->\n" + withNames("sock", "socket_b") +
                  "  <!-- merged from c.xml -->\n" + withNames("pipe", "pipe_c") + "</template>\n",
              readWholeFile(dir.file("m.xml")));
    r = runCommand(in + kKelgen + " m.xml kel.h kel.c");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Files kel.h, kel.c are generated.\n", r.out);
}

// The first template's settings stay; a later one that wants another value
// of a setting that changes how the program runs is told so.
TEST(KelgenCli, MergeNotesTheSettingsOfLaterTemplatesThatDiffer) {
    TempDir dir;
    writeFile(dir.file("a.xml"), smallTemplate("", "a", "fd", "open_a"));
    std::string threaded = smallTemplate("", "b", "sock", "socket_b");
    threaded.replace(threaded.find("multithreaded=\"false\""), 21, "multithreaded=\"true\"");
    threaded.replace(threaded.find("force_flush=\"false\""), 19, "force_flush=\"true\"");
    writeFile(dir.file("b.xml"), threaded);
    const CommandResult r = runCommand("cd " + dir.path() + " && " + kKelgen + " --merge m.xml a.xml b.xml");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("kelgen: note: b.xml sets multithreaded=\"true\"; the merged template keeps \"false\" from a.xml\n"
              "kelgen: note: b.xml sets force_flush=\"true\"; the merged template keeps \"false\" from a.xml\n",
              r.err);
    EXPECT_NE(std::string::npos, readWholeFile(dir.file("m.xml")).find("multithreaded=\"false\""));
}

// Templates that cannot be merged: nothing is written.
TEST(KelgenCli, MergeRefusesCollidingNamesAndUnloadableTemplates) {
    TempDir dir;
    writeFile(dir.file("a.xml"), smallTemplate("", "a", "fd", "open_a"));
    writeFile(dir.file("same-domain.xml"), smallTemplate("", "b", "fd", "other"));
    writeFile(dir.file("same-tor.xml"), smallTemplate("", "c", "sock", "open_a"));
    writeFile(dir.file("broken.xml"), "<template>\n");
    writeFile(dir.file("tail.xml"), smallTemplate("", "d", "pipe", "pipe_d") + "<!-- after -->\n");
    struct Case {
        const char* second;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"same-domain.xml", 3, "kelgen: cannot merge same-domain.xml: its domain 'fd' is also in a.xml\n"},
        {"same-tor.xml", 3, "kelgen: cannot merge same-tor.xml: 'open_a' is also traced by a.xml\n"},
        {"tail.xml", 3,
         "kelgen: cannot merge tail.xml: its root element must start the document and \"</template>\" stand alone "
         "on its last line\n"},
        {"broken.xml", 255, "kelgen: cannot merge broken.xml: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second);
        const CommandResult r =
            runCommand("cd " + dir.path() + " && " + kKelgen + " --merge m.xml a.xml " + c.second);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err.substr(0, c.err.size())) << r.err;
        if (c.status == 3) {  // the XML parser's own reports go to standard output
            EXPECT_EQ("", r.out);
        }
        EXPECT_NE(0, runCommand("test -e " + dir.file("m.xml")).status);
    }
}
