// runAnalysis in process: every message goes to the streams it is given, and
// every way a run ends comes back as a status instead of ending the process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "keltrace_status.h"
#include "linear_table.h"
#include "sockloader.h"
#include "tracer.h"
#include "work_in_temp_dir.h"

namespace {

const char* const kHeader =
    "KEL TRACING BEGIN\n"
    "KEL PROTOCOL 01\n"
    "<?xml version=\"1.0\"?>\n"
    "<template name=\"m\" prefix=\"m_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\" "
    "force_flush=\"true\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" "
    "trace_target=\"t.out\">\n"
    "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
    "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    <includes>stdlib.h</includes>\n"
    "    <tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <args type=\"void*\" name=\"ret\"/>\n"
    "      <args type=\"size_t\" name=\"size\"/>\n"
    "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    </tor>\n"
    "    <tor __type__=\"reallocator\" name=\"realloc\" float_arg_n1=\"2\" float_arg_n2=\"0\" "
    "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <validateDom_before>mem</validateDom_before>\n"
    "      <args type=\"void*\" name=\"ret\"/>\n"
    "      <args type=\"void*\" name=\"ptr\"/>\n"
    "      <args type=\"size_t\" name=\"size\"/>\n"
    "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    </tor>\n"
    "  </domain>\n"
    "</template>\n";
// The header above is 23 lines long; records start at line 24.
const char* const kMalloc = "mem\nmalloc\nm.c\n1\n0000000000000010\nOK\nOK 0000000000000020\n";
const char* const kLeak =
    "Error: resource leak; handle 0x0000000000000020 from 'mem' allocated at m.c:1 not deallocated. Never operated. "
    "Bytes leaked: 16\n";

// Each run works in its own folder: the analysis writes template.tmp there.
class InProcess : public ::testing::Test {
protected:
    std::uint8_t run(const std::string& trace) {
        std::ofstream("trace") << trace;
        CFileLineFetcher fetcher;
        EXPECT_EQ(fetcher.attach("trace"), 0);
        return runAnalysis(fetcher, linearTables(), out, err);
    }

    WorkInTempDir scratch;
    const std::string& folder = scratch.path();
    std::ostringstream out, err;
};

TEST_F(InProcess, EndsOfARun) {
    struct Case {
        const char* name;
        std::string trace;
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"complete trace", std::string(kHeader) + kMalloc + "KEL TRACING DONE\n", statusAnalysed, kLeak, ""},
        {"header mismatch", "KEL TRACING END\n", statusNotATrace, "Unexpected data: 'KEL TRACING END'\n",
         "Unable to read header.\n"},
        {"no closing line", std::string(kHeader) + kMalloc, statusAnalysed, kLeak,
         "keltrace: line 31: the trace ends without \"KEL TRACING DONE\": the program ended without closing the "
         "trace\n"},
        {"malformed reallocator record ends without a leak report",
         std::string(kHeader) + kMalloc + "mem\nrealloc\nm.c\n2\nmem OK 0000000000000020\n40\nOK\nOK 1\n",
         statusMalformedRealloc, "",
         "Unexpected format string \"40\" at tracefile line 36. tracer:626\n"
         "keltrace: the replay stopped at trace line 36, in the record that begins at line 31: the findings are "
         "incomplete (the records after it were not analysed)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        out.str("");
        err.str("");
        EXPECT_EQ(run(c.trace), c.status);
        EXPECT_EQ(out.str(), c.out);
        EXPECT_EQ(err.str(), c.err);
    }
}

// The names in the working folder, sorted.
std::string folderListing() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(".")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string& n : names) all += n + " ";
    return all;
}

std::string fileText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST_F(InProcess, EmbeddedTemplateIsLimitedTo16MiB) {
    const std::size_t limit = 16u * 1024 * 1024;
    const std::string filler = "<!--" + std::string(193, 'x') + "-->";  // 201 bytes with its line feed
    ASSERT_EQ(201u, filler.size() + 1);
    {
        SCOPED_TRACE("no end line: refused at the line that passes the limit");
        std::string trace = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
        // 83468 lines of 201 bytes stay within 16 MiB; the 83469th, line 83471 of the trace, passes it.
        for (int i = 0; i < 90000; ++i) trace += filler + "\n";
        EXPECT_EQ(run(trace), statusNotATrace);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(),
                  "keltrace: line 83471: the embedded template is longer than 16 MiB (no line \"</template>\" before "
                  "it)\n");
        EXPECT_EQ(folderListing(), "trace ");
    }
    {
        SCOPED_TRACE("exactly 16 MiB with its end line is copied");
        out.str("");
        err.str("");
        std::string tmpl = "<?xml version=\"1.0\"?>\n<template>\n";
        const std::string end = "</template>\n";
        while (tmpl.size() + filler.size() + 1 + end.size() <= limit) tmpl += filler + "\n";
        const std::size_t rest = limit - tmpl.size() - end.size();
        ASSERT_GE(rest, 8u);
        tmpl += "<!--" + std::string(rest - 8, 'y') + "-->\n" + end;
        ASSERT_EQ(limit, tmpl.size());
        const std::uint8_t status = run("KEL TRACING BEGIN\nKEL PROTOCOL 01\n" + tmpl + "KEL TRACING DONE\n");
        EXPECT_EQ(status, statusAnalysed);
        // Not refused for its size: the reader got the whole copy and
        // complained, on the analysis's own stream, about what it holds.
        EXPECT_EQ(err.str().find("longer than 16 MiB"), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("domainLoader: Assertion"), std::string::npos) << err.str();
        EXPECT_EQ(std::filesystem::file_size("template.tmp"), limit);
    }
}

TEST_F(InProcess, TemplateFileReplacesWhatStoodThereWithoutWritingThroughIt) {
    const std::string trace = std::string(kHeader) + kMalloc + "KEL TRACING DONE\n";
    // The header's template lines, as template.tmp must hold them.
    const std::string header = kHeader;
    const std::string expected = header.substr(header.find('\n', header.find('\n') + 1) + 1);
    {
        SCOPED_TRACE("a hard link to a file outside the folder");
        const std::string outside = folder + ".outside";
        std::ofstream(outside) << "precious\n";
        ASSERT_EQ(::link(outside.c_str(), "template.tmp"), 0);
        EXPECT_EQ(run(trace), statusAnalysed);
        EXPECT_EQ(out.str(), kLeak);
        EXPECT_EQ(fileText(outside), "precious\n");
        EXPECT_EQ(fileText("template.tmp"), expected);
        std::filesystem::remove(outside);
    }
    {
        SCOPED_TRACE("a FIFO, which a plain open would wait on for ever");
        out.str("");
        std::filesystem::remove("template.tmp");
        ASSERT_EQ(::mkfifo("template.tmp", 0600), 0);
        EXPECT_EQ(run(trace), statusAnalysed);
        EXPECT_EQ(out.str(), kLeak);
        EXPECT_TRUE(std::filesystem::is_regular_file("template.tmp"));
    }
    {
        SCOPED_TRACE("a folder: one message, nothing analysed, no scratch file left");
        out.str("");
        err.str("");
        std::filesystem::remove("template.tmp");
        std::filesystem::create_directory("template.tmp");
        EXPECT_EQ(run(trace), statusNotATrace);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(err.str(), "keltrace: cannot write template.tmp: Is a directory\n");
        EXPECT_EQ(folderListing(), "template.tmp trace ");
    }
    {
        SCOPED_TRACE("a new file gets the mode a plain create gives");
        std::filesystem::remove("template.tmp");
        const mode_t mask = ::umask(022);
        EXPECT_EQ(run(trace), statusAnalysed);
        ::umask(mask);
        struct stat st;
        ASSERT_EQ(::stat("template.tmp", &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
    }
}

TEST_F(InProcess, NulByteInARecordFromEitherLineSource) {
    // The handle line of a second malloc holds a NUL: read up to it, the
    // handle would be 0x16A.
    const std::string trace = std::string(kHeader) + kMalloc + "mem\nmalloc\nm.c\n2\n0000000000000010\nOK\n" +
                              std::string("OK 00000000016A\0" "010\n", 20) + "KEL TRACING DONE\n";
    const std::string expectedErr =
        "keltrace: line 37: malformed: the line holds a NUL byte\n"
        "keltrace: the replay stopped at trace line 37, in the record that begins at line 31: the findings are "
        "incomplete (the records after it were not analysed)\n";
    EXPECT_EQ(run(trace), statusAnalysed);
    EXPECT_EQ(out.str(), kLeak);
    EXPECT_EQ(err.str(), expectedErr);

    out.str("");
    err.str("");
    CSockLineFetcher sock;
    ASSERT_EQ(sock.attach(::open("trace", O_RDONLY)), 0);
    EXPECT_EQ(runAnalysis(sock, linearTables(), out, err), statusAnalysed);
    EXPECT_EQ(out.str(), kLeak);
    EXPECT_EQ(err.str(), expectedErr);
}

}  // namespace
