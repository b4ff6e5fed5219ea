// mapped_records for real: a program traced with the mapped runtime writes the
// default runtime's trace after a normal exit; a program killed with SIGKILL
// anywhere keeps every record of a call that had returned; eight threads
// tracing at once, without a lock, leave a trace that keltrace replays
// without a finding.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gen_run_support.h"
#include "run_command.h"

namespace {

using namespace genrun;

const std::string kKeltrace = KELTRACE;

// A heap domain with all four kinds of tor (realloc's handle from its result,
// memset an operation) and a descriptor domain whose open has an optional
// mode; `root` holds the root's attributes, `more` whole domains added.
std::string heapTemplate(const std::string& root, const std::string& more = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<template name=\"heap\" prefix=\"h_\" " + root + ">\n"
           "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
           "    <includes>stdlib.h</includes>\n"
           "    <includes>string.h</includes>\n"
           "    <tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
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
           "    <tor __type__=\"operator\" name=\"memset\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <validateDom_before>mem</validateDom_before>\n"
           "      <args type=\"void*\" name=\"ret\"/>\n"
           "      <args type=\"void*\" name=\"s\"/>\n"
           "      <args type=\"int\" name=\"c\"/>\n"
           "      <args type=\"size_t\" name=\"n\"/>\n"
           "      <expr oper=\"\" type=\"\" value=\"\"/>\n"
           "    </tor>\n"
           "    <tor __type__=\"deallocator\" name=\"free\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <validateDom_before>mem</validateDom_before>\n"
           "      <args type=\"void\" name=\"ret\"/>\n"
           "      <args type=\"void*\" name=\"ptr\"/>\n"
           "      <expr oper=\"\" type=\"void\" value=\"\"/>\n"
           "    </tor>\n"
           "  </domain>\n"
           "  <domain name=\"fd\" float_handle=\"false\" handle=\"int\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
           "    <includes>fcntl.h</includes>\n"
           "    <includes>unistd.h</includes>\n"
           "    <tor __type__=\"allocator\" name=\"open\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <args type=\"int\" name=\"ret\"/>\n"
           "      <args type=\"const char*\" name=\"path\"/>\n"
           "      <args type=\"int\" name=\"flags\"/>\n"
           "      <args type=\"mode_t\" name=\"mode\" optional=\"true\"/>\n"
           "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
           "    </tor>\n"
           "    <tor __type__=\"deallocator\" name=\"close\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <validateDom_before>fd</validateDom_before>\n"
           "      <args type=\"int\" name=\"ret\"/>\n"
           "      <args type=\"int\" name=\"fd\"/>\n"
           "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
           "    </tor>\n"
           "  </domain>\n" +
           more + "</template>\n";
}

// The root's attributes: the defaults below, each replaced by its value in
// `own`, then the names of `own` that are not among them.
std::string rootAttributes(const std::map<std::string, std::string>& own = {}) {
    std::vector<std::pair<std::string, std::string>> all = {
        {"errlogmode", "console"},     {"trap_on_io_err", "false"}, {"remote_mode", "false"},
        {"force_flush", "false"},      {"fork_enabled", "true"},    {"multithreaded", "false"},
        {"threading", "posix"},        {"compiler_type", "gcc"},    {"trace_target", "trace.out"}};
    for (const auto& [name, value] : own) {
        bool found = false;
        for (auto& entry : all)
            if (entry.first == name) {
                entry.second = value;
                found = true;
            }
        if (!found) all.emplace_back(name, value);
    }
    std::string text;
    for (const auto& [name, value] : all) text += (text.empty() ? "" : "\n  ") + name + "=\"" + value + "\"";
    return text;
}

const std::map<std::string, std::string> kMapped = {{"mapped_records", "true"}};

std::map<std::string, std::string> mapped(std::map<std::string, std::string> own) {
    own["mapped_records"] = "true";
    return own;
}

// The two runtimes put the program's blocks at different addresses (the
// default one keeps a stdio stream on the heap, the mapped one maps its
// trace): each handle after a verdict becomes "#" and its rank of first
// appearance, so that two traces of the same calls compare equal.
std::string rankHandles(const std::string& trace) {
    std::map<std::string, int> ranks;
    std::string out;
    for (std::string l : splitLines(trace)) {
        const auto blank = l.rfind(' ');
        if (blank != std::string::npos && isHex16(l.substr(blank + 1))) {
            const std::string before = l.substr(0, blank);
            const auto endsWith = [&](const std::string& tail) {
                return before.size() >= tail.size() && before.compare(before.size() - tail.size(), tail.size(), tail) == 0;
            };
            if (endsWith("OK") || endsWith("BAD")) {
                const auto it = ranks.emplace(l.substr(blank + 1), static_cast<int>(ranks.size())).first;
                l = before + " #" + std::to_string(it->second);
            }
        }
        out += l + "\n";
    }
    return out;
}

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

// Every kind of record: allocations, a reallocation that moves, one of NULL
// and one that fails, an operation, releases good and bad, both arities of
// open and a failed one, and a file name longer than the record's buffer on
// the stack.
const std::string kLongFile = std::string(900, 'd') + "/long.c";
const std::string kEveryCall = "#include \"kel.h\"\n"
                               "int main(void) {\n"
                               "\tchar *p, *q; int fd, i; volatile size_t huge = (size_t)-1;\n"
                               "\tkel_start(\"same\");\n"
                               "\tfor (i = 0; i < 150; i++) free(malloc(16 + i));\n"
                               "\tp = malloc(8);\n"
                               "\tp = realloc(p, 4000);\n"
                               "\tmemset(p, 0, 4000);\n"
                               "\tq = realloc(NULL, 5);\n"
                               "\tif (realloc(q, huge) != NULL) return 2;\n"
                               "\tfree(q);\n"
                               "\tfree(NULL);\n"
                               "\tfd = open(\"made.txt\", O_CREAT | O_WRONLY | O_TRUNC, 0600);\n"
                               "\tclose(fd);\n"
                               "\tfd = open(\"missing/none\", O_RDONLY);\n"
                               "\tclose(fd);\n"
                               "#line 1 \"" + kLongFile + "\"\n"
                               "\tfree(p);\n"
                               "\treturn 0;\n"
                               "}\n";

// One traced run's trace, with the library built from `attributes`.
struct TracedRun {
    std::string head;
    std::string trace;
    std::string kelc;
    int status = -1;
};

TracedRun traceRun(const std::string& attributes, const std::string& source, const std::string& env,
             const std::string& traceFile) {
    Traced t(heapTemplate(attributes));
    TracedRun run;
    run.head = t.head();
    if (!t.build(source, "gcc -pthread")) return run;
    run.kelc = t.file("kel.c");
    const CommandResult r = runCommand("cd " + t.dir().path() + " && { " + env + " ./prog; echo $? >status; }");
    run.status = std::atoi(t.file("status").c_str());
    const std::vector<std::string> names = splitLines(runCommand("cd " + t.dir().path() + " && ls " + traceFile).out);
    EXPECT_EQ(1u, names.size()) << r.err;
    if (names.size() == 1) run.trace = t.file(names[0]);
    return run;
}

TEST(MappedRecords, SameTraceAsTheDefaultRuntimeAfterANormalExit) {
    struct Case { const char* name; std::map<std::string, std::string> own; std::string env; std::string traceFile; };
    const std::vector<Case> cases = {
        {"defaults", {}, "", "trace.out"},
        {"posix mutex asked for", {{"multithreaded", "true"}}, "", "trace.out"},
        {"trap_on_io_err, error log file", {{"trap_on_io_err", "true"}, {"errlogmode", "err.log"}}, "", "trace.out"},
        {"buffered_records too", {{"buffered_records", "true"}}, "", "trace.out"},
        {"fork forbidden (not called)", {{"fork_enabled", "false"}}, "", "trace.out"},
        {"auto_start, trace_per_process",
         {{"trace_per_process", "true"}, {"auto_start", "true"}, {"trace_target", "trace-%p.out"}},
         "",
         "trace-*.out"},
        {"KEL_TRACE_DIR", {}, "KEL_TRACE_DIR=traces/here", "traces/here/trace.out-*.trace"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TracedRun plain = traceRun(rootAttributes(c.own), kEveryCall, c.env, c.traceFile);
        const TracedRun withMap = traceRun(rootAttributes(mapped(c.own)), kEveryCall, c.env, c.traceFile);
        ASSERT_EQ(0, plain.status);
        ASSERT_EQ(0, withMap.status);
        ASSERT_EQ(0u, withMap.trace.find(withMap.head)) << withMap.trace.substr(0, 300);
        ASSERT_EQ(0u, plain.trace.find(plain.head));
        const std::string rest = withMap.trace.substr(withMap.head.size());
        EXPECT_EQ(rankHandles(plain.trace.substr(plain.head.size())), rankHandles(rest));
        // Not two empty traces: every call is there, and nothing past the end.
        EXPECT_EQ(151, count(rest, "mem\nmalloc\n"));
        EXPECT_EQ(1, count(rest, "mem\nrealloc\nmain.c\n9\nmem BAD 0000000000000000\n0000000000000005\nOK\nOK "));
        EXPECT_EQ(1, count(rest, "mem\nrealloc\nmain.c\n10\nmem OK "));
        EXPECT_EQ(1, count(rest, "\nFFFFFFFFFFFFFFFF\nBAD\nBAD 0000000000000000\nmem\nfree\nmain.c\n11\nmem OK "));
        EXPECT_EQ(1, count(rest, "mem\nfree\nmain.c\n12\nmem BAD 0000000000000000\nvoid\n-\n"));
        EXPECT_EQ(1, count(rest, "fd\nopen\nmain.c\n15\nBAD\nBAD FFFFFFFFFFFFFFFF\n"));
        EXPECT_EQ(1, count(rest, "fd\nclose\nmain.c\n16\nfd BAD FFFFFFFFFFFFFFFF\nBAD\n-\n"));
        EXPECT_EQ(1, count(rest, "mem\nfree\n" + kLongFile + "\n1\nmem OK "));
        EXPECT_EQ(std::string::npos, rest.find('\0'));
        const std::string done = "KEL TRACING DONE\n";
        EXPECT_EQ(rest.size() - done.size(), rest.find(done));
        // No lock in the mapped library, whatever multithreaded says.
        EXPECT_EQ(std::string::npos, withMap.kelc.find("pthread_mutex"));
    }
}

// kelgen refuses a remote trace with the mapped writer, naming the template.
TEST(MappedRecords, RemoteModeIsRefused) {
    TempDir dir;
    dir.write("t.xml", heapTemplate(rootAttributes(mapped({{"remote_mode", "true"}, {"trace_target", "127.0.0.1:5123"}}))));
    const CommandResult r = runCommand("cd " + dir.path() + " && " + kKelgen + " t.xml kel.h kel.c");
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("kelgen: t.xml: mapped_records needs a trace file; remote_mode sends the trace to a socket\n"))
        << r.err;
    EXPECT_EQ("", runCommand("cd " + dir.path() + " && ls kel.h kel.c 2>/dev/null").out);
}

// Each mem record by its tor: the number of lines it has.
std::size_t linesOf(const std::string& tor) {
    if (tor == "realloc") return 8;
    if (tor == "malloc" || tor == "memset" || tor == "free") return 7;
    return 0;
}

// A program that reports each traced call through descriptor 9 once it has
// returned: one byte per call, four calls per round.
const std::string kReporting = program({{1, "#include \"kel.h\""},
                                        {2, "static void done(void) { if ((write)(9, \"x\", 1) != 1) _exit(3); }"},
                                        {3, "int main(void) {"},
                                        {4, "\tchar *p; int i;"},
                                        {5, "\tkel_start(\"killed\");"},
                                        {6, "\tfor (i = 0; ; i++) {"},
                                        {7, "\t\tp = malloc(16 + i % 100); done();"},
                                        {8, "\t\tmemset(p, 1, 16); done();"},
                                        {9, "\t\tp = realloc(p, 200 + i % 300); done();"},
                                        {10, "\t\tfree(p); done();"},
                                        {11, "\t}"},
                                        {12, "}"}},
                                       12);

// Starts ./prog in `dir` with descriptor 9 the write end of a pipe, reads
// `calls` bytes of progress, kills it with SIGKILL and reaps it. False when
// the program ended before.
bool killAfter(const std::string& dir, int calls) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        dup2(pipeFds[1], 9);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execl("./prog", "./prog", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    int got = 0;
    char buffer[256];
    while (got < calls) {
        const ssize_t n = read(pipeFds[0], buffer, std::min<std::size_t>(sizeof buffer, static_cast<std::size_t>(calls - got)));
        if (n <= 0) break;
        got += static_cast<int>(n);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(pipeFds[0]);
    return got == calls && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

TEST(MappedRecords, EveryReturnedCallSurvivesSigkill) {
    Traced t(heapTemplate(rootAttributes(kMapped)));
    ASSERT_TRUE(t.build(kReporting, "gcc -pthread"));
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    const char* const order[] = {"malloc", "memset", "realloc", "free"};
    for (int round = 0; round < 8; ++round) {
        const int calls = std::uniform_int_distribution<int>(1, round < 4 ? 400 : 200000)(random);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", round " + std::to_string(round) + ", " +
                     std::to_string(calls) + " calls");
        ASSERT_TRUE(killAfter(t.dir().path(), calls));
        const std::string file = t.file("trace.out");
        ASSERT_EQ(0u, file.find(t.head()));
        // The records up to the first zero byte; only zero bytes after it
        // (one thread: at most one record was under way).
        const std::size_t zero = file.find('\0');
        ASSERT_NE(std::string::npos, zero) << "a killed trace keeps the unused rest of its mapping";
        EXPECT_EQ(std::string::npos, file.find_first_not_of('\0', zero));
        const std::vector<std::string> ls = splitLines(file.substr(t.head().size(), zero - t.head().size()));
        const bool cutAtLineEnd = file[zero - 1] == '\n';
        std::size_t i = 0;
        int complete = 0;
        std::string handle;
        for (;; ++complete) {
            const std::string tor = order[complete % 4];
            if (i + linesOf(tor) > ls.size() || (i + linesOf(tor) == ls.size() && !cutAtLineEnd)) break;
            ASSERT_EQ("mem", ls[i]) << "record " << complete;
            ASSERT_EQ(tor, ls[i + 1]) << "record " << complete;
            ASSERT_EQ("main.c", ls[i + 2]);
            ASSERT_EQ(std::to_string(7 + complete % 4), ls[i + 3]);
            // The handle that each call gets is the one the next call uses.
            if (tor == "malloc") handle = ls[i + 6];
            if (tor == "memset") {
                EXPECT_EQ("mem " + handle, ls[i + 4]);
            }
            if (tor == "realloc") {
                EXPECT_EQ("mem " + handle, ls[i + 4]);
                handle = ls[i + 7];
            }
            if (tor == "free") {
                EXPECT_EQ("mem " + handle, ls[i + 4]);
            }
            i += linesOf(tor);
        }
        EXPECT_GE(complete, calls);
        // What follows the complete records is the start of the next one.
        const std::string next = "mem\n" + std::string(order[complete % 4]) + "\nmain.c\n";
        std::string rest;
        for (; i < ls.size(); ++i) rest += ls[i] + (i + 1 < ls.size() || cutAtLineEnd ? "\n" : "");
        EXPECT_LT(rest.size(), 100u);
        const std::size_t common = std::min(next.size(), rest.size());
        EXPECT_EQ(next.substr(0, common), rest.substr(0, common));
    }
}

// Eight threads allocating, using, growing and freeing at once, with
// multithreaded and no lock: a trace that keltrace replays without a finding,
// as a finished trace without zero bytes.
const std::string kThreads = program({{1, "#include \"kel.h\""},
                                      {2, "#include <pthread.h>"},
                                      {3, "static void *churn(void *arg) {"},
                                      {4, "\tint i; char *p; (void)arg;"},
                                      {5, "\tfor (i = 0; i < 3000; i++) {"},
                                      {6, "\t\tp = malloc(16 + i % 64);"},
                                      {7, "\t\tmemset(p, 0, 16);"},
                                      {8, "\t\tp = realloc(p, 100 + i % 500);"},
                                      {9, "\t\tmemset(p, 0, 100);"},
                                      {10, "\t\tfree(p);"},
                                      {11, "\t}"},
                                      {12, "\treturn NULL;"},
                                      {13, "}"},
                                      {14, "int main(void) {"},
                                      {15, "\tpthread_t th[8]; int i;"},
                                      {16, "\tkel_start(\"threads\");"},
                                      {17, "\tfor (i = 0; i < 8; i++) if (pthread_create(&th[i], NULL, churn, NULL)) return 2;"},
                                      {18, "\tfor (i = 0; i < 8; i++) pthread_join(th[i], NULL);"},
                                      {19, "\treturn 0;"},
                                      {20, "}"}},
                                     20);

TEST(MappedRecords, EightThreadsLeaveATraceWithoutFindings) {
    Traced t(heapTemplate(rootAttributes(mapped({{"multithreaded", "true"}}))));
    ASSERT_TRUE(t.build(kThreads, "gcc -pthread"));
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const CommandResult r = t.run();
        ASSERT_EQ(0, r.status) << r.err;
        const std::string file = t.file("trace.out");
        EXPECT_EQ(std::string::npos, file.find('\0'));
        EXPECT_EQ(8 * 3000, count(file, "mem\nmalloc\nmain.c\n6\n"));
        EXPECT_EQ(8 * 3000, count(file, "mem\nfree\nmain.c\n10\nmem OK "));
        EXPECT_EQ(file.size() - 17, file.rfind("\nKEL TRACING DONE\n") + 1);
        const CommandResult k = runCommand(kKeltrace + " --error-exitcode 9 --file " + t.dir().file("trace.out"));
        EXPECT_EQ(0, k.status) << k.out << k.err;
        EXPECT_EQ(std::string::npos, k.out.find("Error")) << k.out;
        EXPECT_EQ(std::string::npos, k.out.find("Warning")) << k.out;
    }
}

// fork with per-process traces: the child writes its own trace from the
// fork on, and each process closes its own.
TEST(MappedRecords, AForkedChildWritesItsOwnTrace) {
    const std::string source = program({{1, "#include \"kel.h\""},
                                        {2, "#include <sys/wait.h>"},
                                        {3, "int main(void) {"},
                                        {4, "\tchar *p; pid_t child; int status;"},
                                        {5, "\tkel_start(\"fork\");"},
                                        {6, "\tp = malloc(8);"},
                                        {7, "\tchild = fork();"},
                                        {8, "\tif (child == 0) { free(malloc(3)); exit(0); }"},
                                        {9, "\twaitpid(child, &status, 0);"},
                                        {10, "\tfree(p);"},
                                        {11, "\treturn status;"},
                                        {12, "}"}},
                                       12);
    Traced t(heapTemplate(rootAttributes(mapped({{"trace_per_process", "true"}, {"trace_target", "trace-%p.out"}}))));
    ASSERT_TRUE(t.build(source, "gcc -pthread"));
    const CommandResult r = t.run();
    ASSERT_EQ(0, r.status) << r.err;
    const std::vector<std::string> names = splitLines(runCommand("cd " + t.dir().path() + " && ls trace-*.out").out);
    ASSERT_EQ(2u, names.size());
    int parents = 0, children = 0;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string trace = t.file(name);
        ASSERT_EQ(0u, trace.find(t.head()));
        const std::string rest = rankHandles(trace.substr(t.head().size()));
        if (rest.find("main.c\n6\n") != std::string::npos) {
            ++parents;
            EXPECT_EQ("mem\nmalloc\nmain.c\n6\n0000000000000008\nOK\nOK #0\n"
                      "mem\nfree\nmain.c\n10\nmem OK #0\nvoid\n-\nKEL TRACING DONE\n",
                      rest);
        } else {
            ++children;
            EXPECT_EQ("mem\nmalloc\nmain.c\n8\n0000000000000003\nOK\nOK #0\n"
                      "mem\nfree\nmain.c\n8\nmem OK #0\nvoid\n-\nKEL TRACING DONE\n",
                      rest);
        }
    }
    EXPECT_EQ(1, parents);
    EXPECT_EQ(1, children);
}

// Runs that end without a normal end of tracing, or inside a traced call: the
// records written up to the end, then only zero bytes (the rest of the
// mapping) when kel_stop did not run.
TEST(MappedRecords, WhatARunThatEndsInsideACallLeaves) {
    const std::string jobDomain =
        "  <domain name=\"job\" float_handle=\"false\" handle=\"int\" includesGlobal=\"false\">\n"
        "    <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
        "    <includes>job.h</includes>\n"
        "    <tor __type__=\"deallocator\" name=\"finish\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
        "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
        "      <validateDom_before>-</validateDom_before>\n"
        "      <validateDom_before>job</validateDom_before>\n"
        "      <args type=\"void\" name=\"ret\"/>\n"
        "      <args type=\"int\" name=\"id\"/>\n"
        "      <expr oper=\"\" type=\"void\" value=\"\"/>\n"
        "    </tor>\n"
        "  </domain>\n";
    const std::string first = "mem\nmalloc\nmain.c\n4\n0000000000000008\nOK\nOK #0\n"
                              "mem\nfree\nmain.c\n4\nmem OK #0\nvoid\n-\n";
    struct Case {
        const char* name;
        std::map<std::string, std::string> own;
        std::string line5;
        int status;
        std::string records;  // after the template block, up to the first zero byte
        bool zeros;           // the file goes on with zero bytes
    };
    const std::vector<Case> cases = {
        // The release's lines before the call were copied in before free ran.
        {"a segfault inside free", {}, "\tfree(bad);", 128 + SIGSEGV,
         first + "mem\nfree\nmain.c\n5\nmem OK #1\n", true},
        {"a forbidden fork", {{"fork_enabled", "false"}}, "\tfork();", 128 + SIGABRT,
         first + "KEL_TRAP\nfork()\nmain.c\n5\n", true},
        // exit() inside the call: kel_stop keeps the lines before the call,
        // whole, and ends the trace normally.
        {"exit inside a traced release", {}, "\tfinish(3);", 3,
         first + "job\nfinish\nmain.c\n5\njob OK #1\nKEL TRACING DONE\n", false},
        {"abort after the calls", {}, "\tabort();", 128 + SIGABRT, first, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Traced t(heapTemplate(rootAttributes(mapped(c.own)), jobDomain));
        t.dir().write("job.h", "void finish(int id);\n");
        t.dir().write("job.c", "#include <stdlib.h>\n#include \"job.h\"\nvoid finish(int id) { exit(id); }\n");
        const std::string source = program({{1, "#include \"kel.h\""},
                                            {2, "int main(void) { void *volatile bad = (void *)16;"},
                                            {3, "\tkel_start(\"cut\"); (void)bad;"},
                                            {4, "\tfree(malloc(8));"},
                                            {5, c.line5},
                                            {6, "\treturn 0;"},
                                            {7, "}"}},
                                           7);
        ASSERT_TRUE(t.build(source, "gcc -pthread job.c"));
        EXPECT_EQ(c.status, t.run().status);
        const std::string file = t.file("trace.out");
        ASSERT_EQ(0u, file.find(t.head()));
        const std::size_t zero = file.find('\0');
        EXPECT_EQ(c.records, rankHandles(file.substr(t.head().size(), zero - t.head().size())));
        // The handle ranked #1 as the program passed it.
        if (c.records.find("#1") != std::string::npos) {
            EXPECT_NE(std::string::npos, file.find(c.status == 3 ? " OK 0000000000000003\n" : " OK 0000000000000010\n"));
        }
        if (c.zeros) {
            ASSERT_NE(std::string::npos, zero);
            EXPECT_EQ(std::string::npos, file.find_first_not_of('\0', zero));
        } else {
            EXPECT_EQ(std::string::npos, zero);
        }
    }
}

// A record longer than the stack's buffer (a file name of 3000 characters)
// moves to the heap and is copied as one record, built with the address and
// undefined-behaviour sanitizers: nothing is written out of bounds.
TEST(MappedRecords, ARecordLongerThanTheBufferIsOneWholeRecord) {
    const std::string name = std::string(3000, 'n') + ".c";
    const std::string source = "#include \"kel.h\"\nint main(void) {\n\tkel_start(\"long\");\n#line 7 \"" + name +
                               "\"\n\tfree(realloc(malloc(3), 40));\n\treturn 0;\n}\n";
    Traced t(heapTemplate(rootAttributes(kMapped)));
    ASSERT_TRUE(t.build(source, "gcc -pthread -fsanitize=address,undefined -fno-sanitize-recover=all -g"));
    const CommandResult r = t.run();
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(t.head() + "mem\nmalloc\n" + name + "\n7\n0000000000000003\nOK\nOK #0\nmem\nrealloc\n" + name +
                  "\n7\nmem OK #0\n0000000000000028\nOK\nOK #1\nmem\nfree\n" + name + "\n7\nmem OK #1\nvoid\n-\n"
                  "KEL TRACING DONE\n",
              t.head() + rankHandles(t.file("trace.out").substr(t.head().size())));
}

}  // namespace
