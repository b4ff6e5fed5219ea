// The installed package as a user meets it: cmake --install into a fresh
// prefix puts the programs, the templates, the man pages and the CMake
// package in place; then a consumer project (tests/e2e/consumer: two C
// files, one C++ file and a shared library, traced with kel_add_tracing on
// the executable and on the library, no source change) is configured, built
// with gcc and with clang at their default flags, run, and its one trace
// analysed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "run_command.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kCmake = CMAKE_EXE;
// ctest stands beside the cmake that configured the build.
const std::string kCtest = kCmake.substr(0, kCmake.rfind('/') + 1) + "ctest";

// What keltrace reports on the consumer's trace, with the source folder
// taken off the file names: the library releases the price list and the
// executable reads it afterwards, so the use after free in cart.c is seen
// only when both targets write to one trace; the library's strdup copy of
// "bread" (6 bytes) and the C++ file's std::malloc(24) are never freed.
const std::string kConsumerFindings =
    "1 x use-after-free (error): heap:memcpy at cart.c:20\n"
    "1 x leak (error): heap:strdup at stock/stock.c:10, 6 bytes\n"
    "1 x leak (error): heap:malloc at report.cpp:12, 24 bytes\n"
    "Summary: 3 errors (2 leaks, 30 bytes leaked), 0 warnings, 0 suppressed\n";

std::string withoutPrefix(std::string text, const std::string& prefix) {
    for (std::size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at))
        text.erase(at, prefix.size());
    return text;
}

// The files of `dir` whose names start with `head` and end with `tail`.
std::vector<std::string> filesLike(const std::string& dir, const std::string& head, const std::string& tail) {
    std::vector<std::string> found;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.size() > head.size() + tail.size() && name.compare(0, head.size(), head) == 0 &&
            name.compare(name.size() - tail.size(), tail.size(), tail) == 0)
            found.push_back(name);
    }
    return found;
}

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const CommandResult r =
            runCommand(kCmake + " --install " + KEL_BUILD_DIR + " --prefix " + dir_->file("prefix"));
        installStatus_ = r.status;
        installLog_ = r.out + r.err;
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(0, installStatus_) << installLog_; }

    static std::string prefix() { return dir_->file("prefix"); }
    static TempDir* dir_;
    static int installStatus_;
    static std::string installLog_;
};

TempDir* Installed::dir_ = nullptr;
int Installed::installStatus_ = -1;
std::string Installed::installLog_;

TEST_F(Installed, ProgramsTemplatesManPagesAndPackage) {
    for (const char* path : {"bin/kelgen", "bin/keltrace", "share/kel/templates/libc-heap.xml",
                             "share/kel/templates/stdio.xml", "share/kel/templates/posix-fd.xml",
                             "share/man/man1/kelgen.1", "share/man/man1/keltrace.1", "share/man/man5/kel-template.5",
                             "lib/cmake/KEL/KELConfig.cmake", "lib/cmake/KEL/KELConfigVersion.cmake",
                             "lib/cmake/KEL/KELAddTracing.cmake", "bin/kelrun", "lib/kel/libkel-heap-preload.so",
                             "lib/kel/libkel-stdio-preload.so", "lib/kel/libkel-fd-preload.so",
                             "share/man/man1/kelrun.1"}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(fs::is_regular_file(prefix() + "/" + path));
    }
    const CommandResult r = runCommand(prefix() + "/bin/kelgen --version");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("KEL v0.9.02\n", r.out);
}

// The installed kelrun finds the installed binding and keltrace from its own
// folder: a program built without kel.h, traced as it is.
TEST_F(Installed, KelrunTracesWithTheInstalledBinding) {
    TempDir work;
    work.write("leak.c", "#include <stdlib.h>\nint main(void) { return malloc(7) == NULL; }\n");
    CommandResult r = runCommand("gcc -O0 -o " + work.file("leak") + " " + work.file("leak.c"));
    ASSERT_EQ(0, r.status) << r.err;
    r = runCommand(prefix() + "/bin/kelrun --heap --analyze --trace-dir " + work.file("traces") + " -- " +
                   work.file("leak"));
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos,
              r.out.find("from 'heap' allocated at (no call site):0 not deallocated. Never operated. Bytes leaked: 7\n"))
        << r.out;
}

TEST_F(Installed, ManFindsEachPage) {
    struct Case {
        const char* args;
        const char* heading;
        const char* text;
    };
    const Case cases[] = {
        {"keltrace", "KELTRACE(1)", "--error-exitcode"},
        {"kelgen", "KELGEN(1)", "--version"},
        {"kelrun", "KELRUN(1)", "--follow-children"},
        {"5 kel-template", "KEL-TEMPLATE(5)", "validateDom_before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r =
            runCommand("MANPAGER=cat MANWIDTH=200 man -M " + prefix() + "/share/man " + c.args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(0u, r.out.find(c.heading)) << r.out.substr(0, 200);
        EXPECT_NE(std::string::npos, r.out.find(c.text));
    }
}

// A copy of the consumer's sources, its build folder, and the folder it runs
// (and writes its trace) in.
struct ConsumerRun {
    std::string src, build, run;
};

ConsumerRun prepareConsumer(const TempDir& dir, const std::string& name) {
    ConsumerRun c{dir.file("src-" + name), dir.file("build-" + name), dir.file("run-" + name)};
    fs::copy(std::string(KEL_SOURCE_DIR) + "/tests/e2e/consumer", c.src, fs::copy_options::recursive);
    fs::create_directory(c.run);
    // No source of the program knows it is traced.
    EXPECT_EQ(1, runCommand("grep -ril kel " + c.src + " --include='*.c' --include='*.cpp' --include='*.h'").status);
    return c;
}

// Each consumer build runs with both compilers.
struct Compilers {
    const char* name;
    const char* cc;
    const char* cxx;
};
const Compilers kCompilers[] = {{"gcc", "gcc", "g++"}, {"clang", "clang", "clang++"}};

TEST_F(Installed, ConsumerBuildsWithGccAndClangAndWritesOneTrace) {
    for (const Compilers& k : kCompilers) {
        SCOPED_TRACE(k.name);
        const ConsumerRun c = prepareConsumer(*dir_, k.name);
        CommandResult r = runCommand(kCmake + " -S " + c.src + " -B " + c.build + " -DCMAKE_PREFIX_PATH=" + prefix() +
                                     " -DCMAKE_C_COMPILER=" + k.cc + " -DCMAKE_CXX_COMPILER=" + k.cxx);
        ASSERT_EQ(0, r.status) << r.out << r.err;
        r = runCommand(kCmake + " --build " + c.build + " -j 2 --verbose");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        // The project's own flags (hidden visibility), the forced include,
        // and no -fcommon anywhere.
        EXPECT_NE(std::string::npos, r.out.find("-fvisibility=hidden"));
        EXPECT_NE(std::string::npos, r.out.find("-include " + c.build + "/kel/libc_heap_"));
        EXPECT_EQ(std::string::npos, r.out.find("-fcommon"));

        r = runCommand("cd " + c.run + " && " + c.build + "/shop");
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ("apple, bread\ncart total: 7.5\n", r.out);

        const std::vector<std::string> traces = filesLike(c.run, "kel-heap-", ".trace");
        ASSERT_EQ(1u, traces.size()) << "one trace for the executable and its library";
        r = runCommand("cd " + c.run + " && " + prefix() + "/bin/keltrace --group --error-exitcode 3 --file " +
                       traces.front());
        EXPECT_EQ(3, r.status) << r.err;
        EXPECT_EQ(kConsumerFindings, withoutPrefix(r.out, c.src + "/"));
        EXPECT_EQ("", r.err);
    }
}

// A project built as strict ones are: every C file (kel.c too) with strict
// warnings as errors, a linker version script that keeps only the shared
// library's API, a traced static library, install and export of every
// traced target, the heap and stream templates at once, and a CTest suite
// of two runs whose traces go to one folder for kel_add_trace_check's test.
TEST_F(Installed, StrictProjectThatExportsItsTargetsAndChecksItsSuite) {
    for (const Compilers& k : kCompilers) {
        SCOPED_TRACE(k.name);
        const ConsumerRun c = prepareConsumer(*dir_, std::string("strict-") + k.name);
        CommandResult r = runCommand(kCmake + " -S " + c.src + " -B " + c.build + " -DCMAKE_PREFIX_PATH=" + prefix() +
                                     " -DSHOP_STRICT=ON -DCMAKE_C_COMPILER=" + k.cc + " -DCMAKE_CXX_COMPILER=" + k.cxx);
        ASSERT_EQ(0, r.status) << r.out << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("CMake Error")) << r.err;
        r = runCommand(kCmake + " --build " + c.build + " -j 2 --verbose");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        // The library keeps its version script; the runtime does not get it.
        EXPECT_NE(std::string::npos, r.out.find("--version-script=" + c.src + "/stock/stock.map -shared -Wl,-soname,libstock.so"));
        EXPECT_EQ(std::string::npos, r.out.find("--version-script=" + c.src + "/stock/stock.map -shared -Wl,-soname,libkel_"));
        EXPECT_NE(std::string::npos, r.out.find("-Werror")) << "the strict flags reach kel.c";

        r = runCommand(kCmake + " --install " + c.build + " --prefix " + dir_->file(std::string("shop-") + k.name));
        EXPECT_EQ(0, r.status) << r.out << r.err;

        // The suite without its check (keltrace over the folder runs last).
        r = runCommand("cd " + c.build + " && " + kCtest + " -E '^shop_traces$' -FC shop_traces --output-on-failure");
        ASSERT_EQ(0, r.status) << r.out << r.err;
        const std::vector<std::string> traces = filesLike(c.build + "/kel-traces", "kel-heap-", ".trace");
        ASSERT_EQ(2u, traces.size()) << "one trace per run of the suite";
        for (const std::string& trace : traces) {
            SCOPED_TRACE(trace);
            r = runCommand("cd " + c.run + " && " + prefix() + "/bin/keltrace --group --error-exitcode 3 --file " +
                           c.build + "/kel-traces/" + trace);
            EXPECT_EQ(3, r.status) << r.err;
            EXPECT_EQ(kConsumerFindings, withoutPrefix(r.out, c.src + "/"));
        }
        // The check: keltrace over the folder, after both runs, as the
        // suite's fixture cleanup.
        r = runCommand("cd " + c.build + " && " + kCtest + " --show-only=json-v1");
        ASSERT_EQ(0, r.status) << r.err;
        const std::string check = "\"command\" : \n[\n\"" + prefix() + "/bin/keltrace\",\n\"--group\",\n\"--error-exitcode\",\n\"1\",\n"
                                  "\"--file\",\n\"" + c.build + "/kel-traces\"\n]";
        std::string json = r.out;
        json.erase(std::remove_if(json.begin(), json.end(), [](char ch) { return ch == ' ' || ch == '\t'; }), json.end());
        std::string wanted = check;
        wanted.erase(std::remove_if(wanted.begin(), wanted.end(), [](char ch) { return ch == ' ' || ch == '\t'; }),
                     wanted.end());
        EXPECT_NE(std::string::npos, json.find(wanted)) << r.out;
        EXPECT_NE(std::string::npos, json.find("\"name\":\"FIXTURES_CLEANUP\",\n\"value\":\n[\n\"shop_traces\"")) << r.out;
        EXPECT_NE(std::string::npos, json.find("\"KEL_TRACE_DIR=" + c.build + "/kel-traces\"")) << r.out;

        // The whole suite: the folder is emptied, both runs trace into it, and
        // the check fails on the planted findings, which it groups across the
        // two traces.
        r = runCommand("cd " + c.build + " && " + kCtest + " --output-on-failure");
        EXPECT_NE(0, r.status) << r.out;
        EXPECT_NE(std::string::npos, r.out.find(" - shop_traces (Failed)")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("; in 2 of 2 traces (first: " + c.build + "/kel-traces/kel-heap-"))
            << r.out;
        EXPECT_EQ(2u, filesLike(c.build + "/kel-traces", "kel-heap-", ".trace").size());
    }
}

// The library is generated at build time from the template, and again when
// the template changes: a new trace name reaches the next run.
TEST_F(Installed, ConsumerRegeneratesTheLibraryWhenTheTemplateChanges) {
    const ConsumerRun c = prepareConsumer(*dir_, "regenerate");
    const std::string mine = dir_->file("mine.xml");
    fs::copy_file(prefix() + "/share/kel/templates/libc-heap.xml", mine);
    CommandResult r = runCommand(kCmake + " -S " + c.src + " -B " + c.build + " -DCMAKE_PREFIX_PATH=" + prefix() +
                                 " -DTRACE_TEMPLATE=" + mine);
    ASSERT_EQ(0, r.status) << r.out << r.err;
    ASSERT_EQ(0, runCommand(kCmake + " --build " + c.build + " -j 2").status);
    ASSERT_EQ(0, runCommand("cd " + c.run + " && " + c.build + "/shop").status);
    EXPECT_EQ(1u, filesLike(c.run, "kel-heap-", ".trace").size());

    r = runCommand("sed -i 's/kel-heap-%p.trace/kel-shop-%p.trace/' " + mine);
    ASSERT_EQ(0, r.status);
    r = runCommand(kCmake + " --build " + c.build + " -j 2");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Generating the KEL tracing library from " + mine)) << r.out;
    ASSERT_EQ(0, runCommand("cd " + c.run + " && " + c.build + "/shop").status);
    EXPECT_EQ(1u, filesLike(c.run, "kel-shop-", ".trace").size());
    EXPECT_EQ(1u, filesLike(c.run, "kel-heap-", ".trace").size());
}

// kel_add_tracing(... LINK_WRAP) on a source built with KEL_NO_REDEF (its
// struct members are named calloc, realloc and free): kel.h rewrites no call,
// the linker sends them all to the runtime's __wrap_ functions, and the one
// block never freed (malloc(40), used by memset) is reported at the site of
// such calls.
TEST_F(Installed, LinkWrapTracesCallsThatKelHDoesNotRewrite) {
    const std::string src = dir_->file("wrapped");
    const std::string build = dir_->file("wrapped-build");
    fs::create_directories(src);
    fs::copy_file(std::string(KEL_SOURCE_DIR) + "/tests/e2e/programs/memsuite/memsuite.c", src + "/memsuite.c");
    fs::copy_file(std::string(KEL_SOURCE_DIR) + "/tests/e2e/templates/heapfile_wrap.xml", src + "/t.xml");
    std::ofstream(src + "/CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.16)\n"
           "project(wrapped C)\n"
           "find_package(KEL REQUIRED)\n"
           "add_executable(memsuite memsuite.c)\n"
           "target_compile_definitions(memsuite PRIVATE KEL_NO_REDEF)\n"
           "target_compile_options(memsuite PRIVATE -fno-builtin)\n"
           "kel_add_tracing(memsuite TEMPLATE t.xml LINK_WRAP)\n";
    CommandResult r = runCommand(kCmake + " -S " + src + " -B " + build + " -DCMAKE_PREFIX_PATH=" + prefix());
    ASSERT_EQ(0, r.status) << r.out << r.err;
    r = runCommand(kCmake + " --build " + build + " -j 2");
    ASSERT_EQ(0, r.status) << r.out << r.err;
    ASSERT_EQ(0, runCommand("cd " + build + " && ./memsuite").status);
    r = runCommand("cd " + build + " && " + prefix() + "/bin/keltrace --file trace.out");
    EXPECT_EQ(1, r.status) << r.err;
    const std::string tail = " from 'mem' allocated at (no call site):0 not deallocated. Bytes leaked: 40\n";
    EXPECT_EQ(0u, r.out.find("Error: resource leak; handle 0x")) << r.out;
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(tail, r.out.substr(r.out.size() - tail.size())) << r.out;
    EXPECT_EQ(1, std::count(r.out.begin(), r.out.end(), '\n')) << r.out;
}

}  // namespace
