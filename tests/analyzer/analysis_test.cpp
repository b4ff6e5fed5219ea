// runAnalysis in process: every message goes to the streams it is given, and
// every way a run ends comes back as a status instead of ending the process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "keltrace_status.h"
#include "linear_table.h"
#include "tracer.h"

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
    InProcess() {
        char name[] = "/tmp/kel_analysis_XXXXXX";
        folder = mkdtemp(name);
        previous = std::filesystem::current_path();
        std::filesystem::current_path(folder);
    }
    ~InProcess() override {
        std::filesystem::current_path(previous);
        std::filesystem::remove_all(folder);
    }

    std::uint8_t run(const std::string& trace) {
        std::ofstream("trace") << trace;
        CFileLineFetcher fetcher;
        EXPECT_EQ(fetcher.attach("trace"), 0);
        return runAnalysis(fetcher, linearTables(), out, err);
    }

    std::string folder;
    std::filesystem::path previous;
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
         "keltrace: line 31: the trace ends without \"KEL TRACING DONE\": the traced program did not exit "
         "normally\n"},
        {"malformed reallocator record ends without a leak report",
         std::string(kHeader) + kMalloc + "mem\nrealloc\nm.c\n2\nmem OK 0000000000000020\n40\nOK\nOK 1\n",
         statusMalformedRealloc, "", "Unexpected format string \"40\" at tracefile line 36. tracer:626\n"},
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

}  // namespace
