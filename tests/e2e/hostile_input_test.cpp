// The real programs on templates that ask for an external entity: kelgen and
// keltrace read no file outside the template and make no connection, and the
// content of the file named never appears in anything they write.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

#include "loopback_listener.h"
#include "run_command.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kKelgen = KELGEN;
const std::string kKeltrace = KELTRACE;
const char* const kSecret = "SECRET-77d0e2";

// A template whose includes text is the entity x, declared with `systemId`.
// The reference stands on line 6.
std::string templateWithEntity(const std::string& systemId) {
    return "<?xml version=\"1.0\"?>\n"
           "<!DOCTYPE template [ <!ENTITY x SYSTEM \"" + systemId + "\"> ]>\n"
           "<template name=\"t\" prefix=\"t_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\"\n"
           "  force_flush=\"true\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" trace_target=\"t.out\">\n"
           "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/><includes>&x;</includes>\n"
           "    <tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <args type=\"void*\" name=\"ret\"/>\n"
           "      <args type=\"size_t\" name=\"size\"/>\n"
           "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
           "    </tor>\n"
           "  </domain>\n"
           "</template>\n";
}

std::string refusal(const std::string& file, const std::string& url) {
    return file + ":6: refused to load external entity or DTD '" + url +
           "': a template may only use entities declared inside it\n";
}

// Every file in the folder, with its content, for a search.
std::string everythingIn(const std::string& folder) {
    std::string all;
    for (const auto& e : fs::recursive_directory_iterator(folder)) {
        if (e.is_regular_file()) all += e.path().string() + "\n" + readWholeFile(e.path().string());
    }
    return all;
}

class HostileTemplate : public ::testing::Test {
protected:
    HostileTemplate() { outside.write("secret.txt", std::string(kSecret) + "\n"); }
    std::string secretPath() const { return outside.file("secret.txt"); }

    TempDir outside;  // the files the template must not reach
    TempDir work;     // the programs' working folder
};

TEST_F(HostileTemplate, KelgenReadsNoOtherFile) {
    for (const std::string& id : {"file://" + secretPath(), secretPath()}) {
        SCOPED_TRACE(id);
        work.write("t.xml", templateWithEntity(id));
        const CommandResult r =
            runCommand("cd '" + work.path() + "' && '" + kKelgen + "' t.xml kel.h kel.c");
        EXPECT_EQ(255, r.status);
        EXPECT_EQ(std::string::npos, r.out.find(kSecret)) << r.out;
        EXPECT_EQ(0u, r.err.find(refusal("t.xml", id))) << r.err;
        EXPECT_FALSE(fs::exists(work.file("kel.h")));
        EXPECT_FALSE(fs::exists(work.file("kel.c")));
        EXPECT_EQ(std::string::npos, everythingIn(work.path()).find(kSecret));
        EXPECT_EQ(std::string(kSecret) + "\n", readWholeFile(secretPath()));
    }
}

TEST_F(HostileTemplate, KelgenMakesNoConnection) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ready());
    work.write("t.xml", templateWithEntity(listener.url("/x.dtd")));
    const CommandResult r = runCommand("cd '" + work.path() + "' && '" + kKelgen + "' t.xml kel.h kel.c");
    EXPECT_EQ(255, r.status);
    EXPECT_EQ(0u, r.err.find(refusal("t.xml", listener.url("/x.dtd")))) << r.err;
    EXPECT_EQ(0, listener.connections());
    EXPECT_FALSE(fs::exists(work.file("kel.h")));
}

// keltrace goes on as with any template the parser rejects: no domain, so
// the first record ends the replay, and the leak report is empty.
TEST_F(HostileTemplate, KeltraceReadsNoOtherFile) {
    const std::string tmpl = templateWithEntity("file://" + secretPath());
    work.write("trace", "KEL TRACING BEGIN\nKEL PROTOCOL 01\n" + tmpl +
                            "mem\nmalloc\nm.c\n1\n0000000000000010\nOK\nOK 0000000000000020\nKEL TRACING DONE\n");
    const CommandResult r = runCommand("cd '" + work.path() + "' && '" + kKeltrace + "' --file trace");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    // Refused, the template has no domain: the first record stops the replay.
    const std::int64_t firstRecord = 3 + std::count(tmpl.begin(), tmpl.end(), '\n');
    EXPECT_EQ(refusal("template.tmp", "file://" + secretPath()) + "keltrace: the replay stopped at trace line " +
                  std::to_string(firstRecord + 1) + ", in the record that begins at line " +
                  std::to_string(firstRecord) + ": the findings are incomplete (the records after it were not analysed)\n",
              r.err);
    EXPECT_EQ(tmpl, readWholeFile(work.file("template.tmp")));
    EXPECT_EQ(std::string::npos, everythingIn(work.path()).find(kSecret));
}

TEST_F(HostileTemplate, KeltraceMakesNoConnection) {
    LoopbackListener listener;
    ASSERT_TRUE(listener.ready());
    work.write("trace", "KEL TRACING BEGIN\nKEL PROTOCOL 01\n" + templateWithEntity(listener.url("/x.dtd")) +
                            "KEL TRACING DONE\n");
    const CommandResult r = runCommand("cd '" + work.path() + "' && '" + kKeltrace + "' --file trace");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(refusal("template.tmp", listener.url("/x.dtd")), r.err);
    EXPECT_EQ(0, listener.connections());
}

}  // namespace
