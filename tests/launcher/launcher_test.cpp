// kelrun on real programs built with gcc and without kel.h: the ready-made
// heap binding in LD_PRELOAD, real runs, keltrace over the traces.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "run_command.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string kPrograms = LAUNCHER_PROGRAMS;

// Handles become <H1>, <H2>... in order of first appearance.
std::string maskHandles(const std::string& text) {
    static const std::regex handle("0x[0-9A-F]{16}");
    std::map<std::string, std::string> names;
    std::string out;
    auto begin = std::sregex_iterator(text.begin(), text.end(), handle);
    std::size_t last = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const std::string h = it->str();
        if (names.count(h) == 0) names[h] = "<H" + std::to_string(names.size() + 1) + ">";
        out += text.substr(last, static_cast<std::size_t>(it->position()) - last) + "0x" + names[h];
        last = static_cast<std::size_t>(it->position() + it->length());
    }
    return out + text.substr(last);
}

std::vector<std::string> tracesIn(const std::string& folder) {
    std::vector<std::string> traces;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().extension() == ".trace") traces.push_back(entry.path().string());
    std::sort(traces.begin(), traces.end());
    return traces;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

void compile(const std::string& command) {
    const CommandResult r = runCommand(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.err;
}

std::string kelrun(const std::string& options, const std::string& program) {
    return std::string(KELRUN) + " " + options + " -- " + program;
}

// A leak and a double free, each found, at the site of a call made without
// kel.h. The C library's cache would abort the second free; without it the
// program ends normally.
TEST(Launcher, FindsALeakAndADoubleFreeInAProgramBuiltWithoutKel) {
    TempDir dir;
    compile("gcc -O0 -o " + dir.file("prog") + " " + kPrograms + "/leak_and_double_free.c");
    const CommandResult r = runCommand("GLIBC_TUNABLES=glibc.malloc.tcache_count=0 " +
                                       kelrun("--heap --analyze --trace-dir " + dir.file("traces"), dir.file("prog")));
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(maskHandles(r.out),
              "Error: deallocation of handle 0x<H1> by heap:free at (no call site):0 while the handle allocated at "
              "(no call site):0 and freed at (no call site):0.\n"
              "Error: resource leak; handle 0x<H2> from 'heap' allocated at (no call site):0 not deallocated. Never "
              "operated. Bytes leaked: 10\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(tracesIn(dir.file("traces")).size(), 1u);
}

// vasprintf, getline and strdup called inside a library built without kel.h:
// their results are traced through their own tors, so that the program's
// frees of them are known releases.
TEST(Launcher, OutParameterResultsOfALibraryAreKnownWhenFreed) {
    TempDir dir;
    // -O0: optimised, glibc's headers inline getline into a call of
    // __getdelim, which the template does not name (its blocks are then
    // traced as the C library's malloc and realloc).
    compile("gcc -O0 -fPIC -shared -o " + dir.file("liboutp.so") + " " + kPrograms + "/outparams_lib.c");
    compile("gcc -O0 -o " + dir.file("prog") + " " + kPrograms + "/outparams_main.c -L" + dir.path() +
            " -loutp -Wl,-rpath," + dir.path());
    dir.write("input.txt", "first line\nsecond line\n");
    const CommandResult r = runCommand(
        kelrun("--heap --analyze --trace-dir " + dir.file("traces"), dir.file("prog") + " " + dir.file("input.txt")));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "input has 3 lines\nfirst line\n");
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> traces = tracesIn(dir.file("traces"));
    ASSERT_EQ(traces.size(), 1u);
    const std::string trace = readWholeFile(traces[0]);
    for (const char* tor : {"vasprintf", "getline", "strdup"}) {
        SCOPED_TRACE(tor);
        EXPECT_EQ(count(trace, std::string("\nheap\n") + tor + "\n(no call site)\n0\n"), 1u);
    }
}

// Records of 8 threads do not run into each other, and every block comes
// back: the analysis is complete and finds nothing.
TEST(Launcher, EightThreadsLeaveAWellFormedTraceWithoutFindings) {
    TempDir dir;
    compile("gcc -O0 -pthread -o " + dir.file("prog") + " " + kPrograms + "/threads.c");
    const CommandResult r =
        runCommand(kelrun("--heap --analyze --trace-dir " + dir.file("traces"), dir.file("prog")));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> traces = tracesIn(dir.file("traces"));
    ASSERT_EQ(traces.size(), 1u);
    const std::string trace = readWholeFile(traces[0]);
    // 8 threads x 500 rounds, each one strdup and one realloc of its own.
    EXPECT_EQ(count(trace, "\nheap\nstrdup\n"), 4000u);
    EXPECT_EQ(count(trace, "\nheap\nrealloc\n"), 4000u);
    EXPECT_EQ(trace.substr(trace.size() - std::string("KEL TRACING DONE\n").size()), "KEL TRACING DONE\n");
}

// Followed, each process keeps its own trace: the parent's, the forked
// child's and the program the other child runs; not followed, the parent's
// alone.
TEST(Launcher, ChildrenGetTheirOwnTracesOnlyWhenFollowed) {
    TempDir dir;
    compile("gcc -O0 -o " + dir.file("prog") + " " + kPrograms + "/fork_exec.c");
    struct Case {
        const char* options;
        std::vector<std::string> sizes;  // the size each trace allocates, in pid order
    };
    const std::vector<Case> cases = {
        {"--heap --analyze", {"0000000000000055"}},
        {"--heap --follow-children --analyze", {"0000000000000055", "0000000000001092", "0000000000000777"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string traces = dir.file("traces" + std::to_string(n++));
        const CommandResult r = runCommand(kelrun(std::string(c.options) + " --trace-dir " + traces, dir.file("prog")));
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(r.err, "");
        const std::vector<std::string> found = tracesIn(traces);
        ASSERT_EQ(found.size(), c.sizes.size());
        // Each size is in exactly one trace.
        for (const std::string& size : c.sizes) {
            SCOPED_TRACE(size);
            int holders = 0;
            for (const std::string& trace : found) holders += readWholeFile(trace).find("\n" + size + "\n") != std::string::npos;
            EXPECT_EQ(holders, 1);
        }
    }
}

// Keeps the findings and drops what only the build decides: the sites and
// the handles' values.
std::string findingsWithoutSites(const std::string& report) {
    static const std::regex site(" at (\\(no call site\\)|[^ ]+):[0-9]+");
    return maskHandles(std::regex_replace(report, site, " at SITE"));
}

// The same program built with kel.h and run plain under kelrun: the same
// findings, apart from the sites that kel.h knows.
TEST(Launcher, FindsWhatTheKelBuildFinds) {
    TempDir dir;
    const CommandResult gen = runCommand(std::string(KELGEN) + " " + KEL_SOURCE_DIR + "/templates/libc-heap.xml " +
                                         dir.file("kel.h") + " " + dir.file("kel.c"));
    ASSERT_EQ(gen.status, 0) << gen.err;
    const std::string source = kPrograms + "/both_builds.c";
    compile("gcc -O0 -fno-builtin -pthread -include " + dir.file("kel.h") + " -o " + dir.file("built") + " " + source +
            " " + dir.file("kel.c"));
    compile("gcc -O0 -fno-builtin -o " + dir.file("plain") + " " + source);

    const CommandResult built = runCommand("KEL_TRACE_DIR=" + dir.file("built-traces") + " " + dir.file("built"));
    ASSERT_EQ(built.status, 0) << built.err;
    const std::vector<std::string> builtTraces = tracesIn(dir.file("built-traces"));
    ASSERT_EQ(builtTraces.size(), 1u);
    const CommandResult withKel = runCommand(std::string(KELTRACE) + " --file " + builtTraces[0]);
    const CommandResult withKelrun =
        runCommand(kelrun("--heap --analyze --trace-dir " + dir.file("run-traces"), dir.file("plain")));

    EXPECT_EQ(withKelrun.status, 1) << withKelrun.err;
    EXPECT_EQ(withKelrun.err, "");
    EXPECT_EQ(findingsWithoutSites(withKelrun.out), findingsWithoutSites(withKel.out));
    // Both leaks, worked out from the program: 33 bytes of malloc and the 6
    // of strdup("seven").
    EXPECT_EQ(findingsWithoutSites(withKelrun.out),
              "Error: resource leak; handle 0x<H1> from 'heap' allocated at SITE not deallocated. Never operated. "
              "Bytes leaked: 33\n"
              "Error: resource leak; handle 0x<H2> from 'heap' allocated at SITE not deallocated. Never operated. "
              "Bytes leaked: 6\n");
}

// The other ready-made bindings, and one made from a template for the run:
// streams and descriptors that a program built without kel.h leaves open.
TEST(Launcher, TracesStreamsAndDescriptorsWithTheirBindings) {
    TempDir dir;
    compile("gcc -O0 -o " + dir.file("streams") + " " + kPrograms + "/stream_leak.c");
    compile("gcc -O0 -o " + dir.file("fds") + " " + kPrograms + "/fd_leak.c");
    dir.write("input.txt", "a line\n");
    const std::string streamLeak =
        "Error: resource leak; handle 0x<H1> from 'FILE' allocated at (no call site):0 not deallocated. Never "
        "operated\n";
    struct Case {
        std::string options;
        std::string program;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"--stdio", "streams " + dir.file("input.txt"), streamLeak},
        {"--template " + std::string(KEL_SOURCE_DIR) + "/templates/stdio.xml", "streams " + dir.file("input.txt"),
         streamLeak},
        // The copy and the pipe's write end, in the order they were opened;
        // the file that open (optional mode) opened is closed.
        {"--fd", "fds",
         "Error: resource leak; handle 0x<H1> from 'fd' allocated at (no call site):0 not deallocated. Never "
         "operated\n"
         "Error: resource leak; handle 0x<H2> from 'fd' allocated at (no call site):0 not deallocated. Never "
         "operated\n"},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string traces = dir.file("traces" + std::to_string(n++));
        const CommandResult r = runCommand(kelrun(c.options + " --analyze --trace-dir " + traces, dir.file(c.program)));
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(maskHandles(r.out), c.expected);
        EXPECT_EQ(r.err, "");
    }
}

// What kelgen --preload leaves out says why, in the file; a variadic function
// with va_forward is bound as the function it forwards to.
TEST(PreloadBinding, NamesWhatItLeavesOutAndBindsForwardingVariadics) {
    TempDir dir;
    struct Case {
        const char* templateFile;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"posix-fd.xml",
         {"/* open: its optional parameters are read whether passed or not. */",
          "__attribute__((visibility(\"default\"))) int open(const char* path, int flags, ...){",
          "/* dup2_target: not bound, it is an alias (cpp_alias). */",
          "__attribute__((visibility(\"default\"))) int dup(int fd){"}},
        {"stdio.xml",
         {"/* fprintf: traced as vfprintf, which it calls with its variable arguments. */",
          "/* fscanf: not bound, the function it forwards to is not bound. */"}},
        {"libc-heap.xml",
         {"/* asprintf: traced as vasprintf, which it calls with its variable arguments. */",
          "__attribute__((visibility(\"default\"))) void free(void* ptr){"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.templateFile);
        const std::string out = dir.file(std::string(c.templateFile) + ".c");
        const CommandResult r = runCommand(std::string(KELGEN) + " --preload " + KEL_SOURCE_DIR + "/templates/" +
                                           c.templateFile + " " + out);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "File " + out + " is generated.\n");
        const std::string text = "\n" + readWholeFile(out);
        for (const std::string& want : c.lines) EXPECT_NE(text.find("\n" + want + "\n"), std::string::npos) << want;
    }
}

// A binding writes into a file: a template that sends its trace to a socket
// is refused, and nothing is written.
TEST(PreloadBinding, RefusesARemoteTemplate) {
    TempDir dir;
    std::string text = readWholeFile(std::string(KEL_SOURCE_DIR) + "/templates/libc-heap.xml");
    const std::string local = "remote_mode=\"false\"";
    const std::string target = "trace_target=\"kel-heap-%p.trace\"";
    ASSERT_NE(text.find(local), std::string::npos);
    ASSERT_NE(text.find(target), std::string::npos);
    text.replace(text.find(local), local.size(), "remote_mode=\"true\"");
    text.replace(text.find(target), target.size(), "trace_target=\"127.0.0.1:4000\"");
    dir.write("remote.xml", text);
    const CommandResult r =
        runCommand(std::string(KELGEN) + " --preload " + dir.file("remote.xml") + " " + dir.file("binding.c"));
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("a preload binding needs a file trace"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("binding.c")));
}

// Usage mistakes are refused before anything runs.
TEST(Launcher, RefusesAWrongCommandLine) {
    const std::vector<std::string> lines = {"", "--heap", "--heap --fd -- true", "--template", "--bogus -- true"};
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        const CommandResult r = runCommand(std::string(KELRUN) + " " + line);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("usage: kelrun"), std::string::npos);
    }
}

}  // namespace
