// buffered_records for real: the same program traced with the default runtime
// and with the buffered one writes the same bytes, for every setting, when it
// exits inside a traced call and when it dies inside one. Runs are made with
// the same addresses (no address randomisation, every block mmap'ed, so that
// the size of the program does not move the heap), so handles compare as
// they are.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gen_run_support.h"
#include "run_command.h"

namespace {

using namespace genrun;

const char* const kBuffered = "buffered_records=\"true\"";

// The test template's settings with buffered_records added when `buffered`.
Settings runtimeSettings(Settings s, bool buffered) {
    if (buffered) s.moreSettings += (s.moreSettings.empty() ? "" : " ") + std::string(kBuffered);
    return s;
}

// Runs ./prog in the library's folder with addresses that do not depend on
// the program's size.
CommandResult runAtFixedAddresses(const Traced& t) {
    CommandResult r = runCommand("cd " + t.dir().path() +
                                 " && { GLIBC_TUNABLES=glibc.malloc.mmap_threshold=0 setarch -R ./prog; echo $? >status; }");
    r.status = std::atoi(readWholeFile(t.dir().file("status")).c_str());
    return r;
}

// One traced run: the trace as it reached the file or the receiver, and the
// template block's start that belongs to that run's own template.
struct TracedRun {
    std::string head;
    std::string trace;
    CommandResult result;
};

TracedRun traceRun(const Settings& settings, bool buffered, const std::string& source,
                   const std::string& compiler = "gcc -pthread", const std::string& traceFile = "trace.out") {
    Settings s = runtimeSettings(settings, buffered);
    std::unique_ptr<TraceReceiver> receiver;
    if (s.remote_mode == "true") {
        receiver = std::make_unique<TraceReceiver>();
        s.trace_target = "127.0.0.1:" + std::to_string(receiver->port());
    }
    Traced t(memTemplate(s));
    TracedRun run;
    run.head = t.head();
    if (!t.build(source, compiler)) return run;
    run.result = runAtFixedAddresses(t);
    if (receiver) {
        run.trace = receiver->bytes();
    } else if (traceFile.find('*') != std::string::npos) {
        const std::vector<std::string> names = splitLines(runCommand("cd " + t.dir().path() + " && ls " + traceFile).out);
        EXPECT_EQ(1u, names.size());
        if (names.size() == 1) run.trace = t.file(names[0]);
    } else {
        run.trace = t.file(traceFile);
    }
    return run;
}

// What follows the run's own template block; the whole trace when it does not
// start with it (the comparison then shows the difference).
std::string records(const TracedRun& run) {
    if (run.trace.compare(0, run.head.size(), run.head) != 0) return run.trace;
    return run.trace.substr(run.head.size());
}

// Traces `source` with both runtimes and expects the same bytes and the same
// exit status. Returns the records part of the default runtime's trace.
std::string expectSameTrace(const Settings& settings, const std::string& source,
                            const std::string& compiler = "gcc -pthread", const std::string& traceFile = "trace.out") {
    const TracedRun plain = traceRun(settings, false, source, compiler, traceFile);
    const TracedRun buffered = traceRun(settings, true, source, compiler, traceFile);
    EXPECT_EQ(0u, plain.trace.find(plain.head)) << plain.trace.substr(0, 200);
    EXPECT_EQ(0u, buffered.trace.find(buffered.head)) << buffered.trace.substr(0, 200);
    EXPECT_EQ(records(plain), records(buffered));
    EXPECT_EQ(plain.result.status, buffered.result.status) << plain.result.err << buffered.result.err;
    return records(plain);
}

// Descriptors with an optional parameter (two wrappers for one tor), a handle
// taken from an argument, and an operator checking two domains; arrays with
// two size factors.
const char* const kMoreDomains =
    "  <domain name=\"fd\" float_handle=\"false\" handle=\"int\" includesGlobal=\"true\">\n"
    "    <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
    "    <includes>fcntl.h</includes>\n"
    "    <includes>unistd.h</includes>\n"
    "    <tor __type__=\"allocator\" name=\"open\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <args type=\"int\" name=\"ret\"/>\n"
    "      <args type=\"const char*\" name=\"path\"/>\n"
    "      <args type=\"int\" name=\"flags\"/>\n"
    "      <args type=\"mode_t\" name=\"mode\" optional=\"true\"/>\n"
    "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
    "    </tor>\n"
    "    <tor __type__=\"allocator\" name=\"dup2\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"2\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <validateDom_before>fd</validateDom_before>\n"
    "      <args type=\"int\" name=\"ret\"/>\n"
    "      <args type=\"int\" name=\"oldfd\"/>\n"
    "      <args type=\"int\" name=\"newfd\"/>\n"
    "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
    "    </tor>\n"
    "    <tor __type__=\"operator\" name=\"write\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <validateDom_before>fd</validateDom_before>\n"
    "      <validateDom_before>mem</validateDom_before>\n"
    "      <args type=\"ssize_t\" name=\"ret\"/>\n"
    "      <args type=\"int\" name=\"fd\"/>\n"
    "      <args type=\"const void*\" name=\"buf\"/>\n"
    "      <args type=\"size_t\" name=\"count\"/>\n"
    "      <expr oper=\"\" type=\"\" value=\"\"/>\n"
    "    </tor>\n"
    "    <tor __type__=\"deallocator\" name=\"close\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <validateDom_before>fd</validateDom_before>\n"
    "      <args type=\"int\" name=\"ret\"/>\n"
    "      <args type=\"int\" name=\"fd\"/>\n"
    "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
    "    </tor>\n"
    "  </domain>\n"
    "  <domain name=\"arr\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
    "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    <includes>stdlib.h</includes>\n"
    "    <tor __type__=\"allocator\" name=\"calloc\" float_arg_n1=\"1\" float_arg_n2=\"2\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <args type=\"void*\" name=\"ret\"/>\n"
    "      <args type=\"size_t\" name=\"nmemb\"/>\n"
    "      <args type=\"size_t\" name=\"size\"/>\n"
    "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
    "    </tor>\n"
    "  </domain>\n";

// A source file name longer than any record buffer: the name goes out in
// pieces, and the trace still holds it whole.
const std::string kLongFile = std::string(700, 'd') + "/long.c";

// Every kind of line: 150 malloc/free pairs (more than the stdio buffer
// holds), two size factors, both arities of open, a handle from an argument,
// two checks in one record, BAD results, handles and checks, and a call from
// a file whose name is longer than the buffer.
const std::string kEveryLine = "#include \"kel.h\"\n"
                               "int main(void) {\n"
                               "\tchar *p; int fd, copy, i;\n"
                               "\tkel_start(\"same\");\n"
                               "\tfor (i = 0; i < 150; i++) free(malloc(16 + i));\n"
                               "\tp = calloc(3, 5);\n"
                               "\tfd = open(\"made.txt\", O_CREAT | O_WRONLY | O_TRUNC, 0600);\n"
                               "\tcopy = dup2(fd, 9);\n"
                               "\tif (write(fd, p, 4) != 4) return 2;\n"
                               "\tclose(copy);\n"
                               "\tclose(fd);\n"
                               "\tfd = open(\"missing/none\", O_RDONLY);\n"
                               "\tfree(NULL);\n"
                               "\tfree(p);\n"
                               "#line 1 \"" + kLongFile + "\"\n"
                               "\tfree(malloc(1));\n"
                               "\treturn fd != -1;\n"
                               "}\n";

int count(const std::string& text, const std::string& piece) {
    int n = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}

TEST(BufferedRecords, SameTraceAsTheDefaultRuntimeForEverySetting) {
    struct Case { const char* name; std::function<void(Settings&)> apply; const char* traceFile; };
    const std::vector<Case> cases = {
        {"defaults", [](Settings&) {}, "trace.out"},
        {"force_flush", [](Settings& s) { s.force_flush = "true"; }, "trace.out"},
        {"trap_on_io_err, error log file",
         [](Settings& s) {
             s.trap_on_io_err = "true";
             s.errlogmode = "err.log";
         },
         "trace.out"},
        {"trap_on_io_err, force_flush, silent error log",
         [](Settings& s) {
             s.trap_on_io_err = "true";
             s.force_flush = "true";
             s.errlogmode = "";
         },
         "trace.out"},
        {"posix mutex", [](Settings& s) { s.multithreaded = "true"; }, "trace.out"},
        {"posix mutex, force_flush, trap_on_io_err",
         [](Settings& s) {
             s.multithreaded = "true";
             s.force_flush = "true";
             s.trap_on_io_err = "true";
         },
         "trace.out"},
        {"fork forbidden (not called)", [](Settings& s) { s.fork_enabled = "false"; }, "trace.out"},
        {"remote", [](Settings& s) { s.remote_mode = "true"; }, ""},
        {"remote, trap_on_io_err, posix mutex, force_flush",
         [](Settings& s) {
             s.remote_mode = "true";
             s.trap_on_io_err = "true";
             s.multithreaded = "true";
             s.force_flush = "true";
         },
         ""},
        {"auto_start, trace_per_process",
         [](Settings& s) {
             s.trace_target = "trace-%p.out";
             s.moreSettings = "trace_per_process=\"true\" auto_start=\"true\"";
         },
         "trace-*.out"},
        {"auto_start, force_flush, trap_on_io_err",
         [](Settings& s) {
             s.moreSettings = "auto_start=\"true\"";
             s.force_flush = "true";
             s.trap_on_io_err = "true";
         },
         "trace.out"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.moreDomains = kMoreDomains;
        c.apply(s);
        const std::string rest = expectSameTrace(s, kEveryLine, "gcc -pthread", c.traceFile);
        // Not two empty traces: every call is there.
        EXPECT_EQ(151, count(rest, "mem\nmalloc\n"));
        EXPECT_EQ(1, count(rest, "arr\ncalloc\nmain.c\n6\n0000000000000003\n0000000000000005\nOK\nOK "));
        // The descriptor's number depends on what kel_start opened.
        EXPECT_EQ(1, count(rest, "fd\ndup2\nmain.c\n8\nfd OK 00000000000000"));
        EXPECT_EQ(1, count(rest, "\nOK\nOK 0000000000000009\nfd\nwrite\nmain.c\n9\nfd OK 00000000000000"));
        EXPECT_EQ(1, count(rest, "fd\nopen\nmain.c\n12\nBAD\nBAD FFFFFFFFFFFFFFFF\n"));
        EXPECT_EQ(1, count(rest, "mem\nfree\nmain.c\n13\nmem BAD 0000000000000000\nvoid\n-\n"));
        EXPECT_EQ(1, count(rest, "mem\nfree\n" + kLongFile + "\n1\nmem OK "));
        const std::string done = "KEL TRACING DONE\n";
        EXPECT_EQ(rest.size() - done.size(), rest.rfind(done));
    }
}

// The default runtime's trace of a program that dies inside free() (the bad
// pointer passes through a volatile, which gcc does not see through): with
// force_flush it ends with the record's validation line (keltrace reports
// the death inside a deallocation), without it the buffered lines are lost.
TEST(BufferedRecords, SameTraceWhenTheProgramDiesInsideACall) {
    const std::string crash = program({{1, "#include \"kel.h\""},
                                       {2, "int main(void) { void *volatile bad = (void *)16;"},
                                       {3, "\tkel_start(\"crash\");"},
                                       {4, "\tfree(malloc(8));"},
                                       {5, "\tfree(bad);"},
                                       {6, "\treturn 0;"},
                                       {7, "}"}},
                                      7);
    const std::string kept = "mem\nmalloc\nmain.c\n4\n0000000000000008\nOK\nOK <handle>\n"
                             "mem\nfree\nmain.c\n4\nmem OK <handle>\nvoid\n-\n"
                             "mem\nfree\nmain.c\n5\nmem OK <handle>\n";
    struct Case { const char* name; bool flush; bool remote; std::string records; };
    for (const Case& c : {Case{"force_flush", true, false, kept}, Case{"buffered stdio", false, false, ""},
                          Case{"remote: every line is sent at once", false, true, kept}}) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.force_flush = c.flush ? "true" : "false";
        s.remote_mode = c.remote ? "true" : "false";
        const TracedRun plain = traceRun(s, false, crash);
        const TracedRun buffered = traceRun(s, true, crash);
        EXPECT_GT(plain.result.status, 128);
        EXPECT_GT(buffered.result.status, 128);
        EXPECT_EQ(plain.result.status, buffered.result.status);
        EXPECT_EQ(records(plain), records(buffered));
        if (c.records.empty()) {
            EXPECT_EQ("", buffered.trace);
        } else {
            EXPECT_EQ(buffered.head + c.records, maskHandles(buffered.trace));
            EXPECT_EQ(buffered.trace.size() - 25, buffered.trace.rfind("\nmem OK 0000000000000010\n"));
        }
    }
}

// A traced function that calls exit(): the default runtime has written the
// record's first lines before the call, and kel_stop adds the closing line.
TEST(BufferedRecords, SameTraceWhenTheProgramExitsInsideACall) {
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
    const std::string source = program({{1, "#include \"kel.h\""},
                                        {2, "int main(void) {"},
                                        {3, "\tkel_start(\"exit\");"},
                                        {4, "\tfree(malloc(8));"},
                                        {5, "\tfinish(3);"},
                                        {6, "\treturn 0;"},
                                        {7, "}"}},
                                       7);
    const std::string expected = "mem\nmalloc\nmain.c\n4\n0000000000000008\nOK\nOK <handle>\n"
                                 "mem\nfree\nmain.c\n4\nmem OK <handle>\nvoid\n-\n"
                                 "job\nfinish\nmain.c\n5\njob OK <handle>\nKEL TRACING DONE\n";
    struct Case { const char* name; const char* flush; const char* mutex; const char* remote; };
    for (const Case& c : {Case{"file", "false", "false", "false"}, Case{"file, posix mutex", "false", "true", "false"},
                          Case{"file, force_flush", "true", "false", "false"}, Case{"remote", "false", "false", "true"}}) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.moreDomains = jobDomain;
        s.force_flush = c.flush;
        s.multithreaded = c.mutex;
        s.remote_mode = c.remote;
        // finish() is the program's own: job.c does not include kel.h.
        std::vector<TracedRun> runs;
        for (const bool buffered : {false, true}) {
            Settings t = runtimeSettings(s, buffered);
            std::unique_ptr<TraceReceiver> receiver;
            if (t.remote_mode == "true") {
                receiver = std::make_unique<TraceReceiver>();
                t.trace_target = "127.0.0.1:" + std::to_string(receiver->port());
            }
            Traced traced(memTemplate(t));
            traced.dir().write("job.h", "void finish(int id);\n");
            traced.dir().write("job.c", "#include <stdlib.h>\n#include \"job.h\"\nvoid finish(int id) { exit(id); }\n");
            ASSERT_TRUE(traced.build(source, "gcc -pthread job.c"));
            TracedRun run;
            run.head = traced.head();
            run.result = runAtFixedAddresses(traced);
            run.trace = receiver ? receiver->bytes() : traced.file("trace.out");
            // With a mutex, kel_stop cannot destroy the mutex that the call
            // holds: it reports that and exits with -1, without the closing line.
            const bool held = std::string(c.mutex) == "true";
            EXPECT_EQ(held ? 255 : 3, run.result.status);
            const std::string tail = held ? "KEL TRACING DONE\n" : "";
            std::string want = run.head + expected;
            if (!tail.empty()) want.resize(want.size() - tail.size());
            EXPECT_EQ(want, maskHandles(run.trace));
            EXPECT_NE(std::string::npos, run.trace.find("\njob OK 0000000000000003\n"));
            runs.push_back(run);
        }
        EXPECT_EQ(records(runs[0]), records(runs[1]));
    }
}

TEST(BufferedRecords, SameTraceWhenForkIsTrapped) {
    Settings s;
    s.fork_enabled = "false";
    s.force_flush = "true";  // abort() flushes nothing
    const std::string source = program({{1, "#include \"kel.h\""},
                                        {2, "int main(void) {"},
                                        {3, "\tkel_start(\"fork\");"},
                                        {4, "\tfree(malloc(8));"},
                                        {5, "\tfork();"},
                                        {6, "\treturn 0;"},
                                        {7, "}"}},
                                       7);
    const TracedRun plain = traceRun(s, false, source);
    const TracedRun buffered = traceRun(s, true, source);
    EXPECT_EQ(128 + SIGABRT, buffered.result.status);
    EXPECT_EQ(buffered.head +
                  "mem\nmalloc\nmain.c\n4\n0000000000000008\nOK\nOK <handle>\n"
                  "mem\nfree\nmain.c\n4\nmem OK <handle>\nvoid\n-\n"
                  "KEL_TRAP\nfork()\nmain.c\n5\n",
              maskHandles(buffered.trace));
    EXPECT_EQ(records(plain), records(buffered));
}

// A file name three times the record buffer, built with the address and
// undefined-behaviour sanitizers: nothing is written out of bounds, and the
// trace holds the whole name.
TEST(BufferedRecords, AFileNameLongerThanTheBufferIsWrittenWhole) {
    const std::string name = std::string(1500, 'n') + ".c";
    const std::string source = "#include \"kel.h\"\nint main(void) {\n\tkel_start(\"long\");\n#line 7 \"" + name +
                               "\"\n\tfree(malloc(3));\n\treturn 0;\n}\n";
    for (const char* flush : {"false", "true"}) {
        SCOPED_TRACE(std::string("force_flush=") + flush);
        Settings s;
        s.force_flush = flush;
        Traced t(memTemplate(runtimeSettings(s, true)));
        ASSERT_TRUE(t.build(source, "gcc -fsanitize=address,undefined -fno-sanitize-recover=all -g"));
        const CommandResult r = t.run();
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        EXPECT_EQ(t.head() + "mem\nmalloc\n" + name + "\n7\n0000000000000003\nOK\nOK <handle>\nmem\nfree\n" + name +
                      "\n7\nmem OK <handle>\nvoid\n-\nKEL TRACING DONE\n",
                  maskHandles(t.file("trace.out")));
    }
}

// trap_on_io_err: a trace file that reaches its size limit ends the program
// through the error log, with a failure status, in both runtimes: an exit
// with fwrite's result, 0, would report the lost trace as success.
TEST(BufferedRecords, AFailedWriteEndsTheProgramThroughTheErrorLog) {
    const std::string loop = program({{1, "#include \"kel.h\""},
                                      {2, "int main(void) {"},
                                      {3, "\tint i;"},
                                      {4, "\tkel_start(\"full\");"},
                                      {5, "\tfor (i = 0; i < 2000; i++) free(malloc(32));"},
                                      {6, "\tprintf(\"finished\\n\");"},
                                      {7, "\treturn 0;"},
                                      {8, "}"}},
                                     8);
    // check: the line of kel.c whose report comes first (null: any kel.c line).
    struct Case { bool buffered; const char* flush; const char* trap; const char* check; const char* message; };
    for (const Case& c :
         {Case{true, "false", "true", "if(fwrite(text, size, 1, kel_tracefile) != 1){kelerrlog(\"fwrite()\"", "fwrite()"},
          Case{true, "true", "true", "if(fflush(kel_tracefile) != 0){kelerrlog(\"fflush()\"", "fflush()"},
          Case{true, "false", "false", nullptr, nullptr},
          Case{false, "false", "true", nullptr, "fwrite()"},
          Case{false, "true", "true", nullptr, "fflush()"},
          Case{false, "false", "false", nullptr, nullptr}}) {
        SCOPED_TRACE(std::string(c.buffered ? "buffered_records" : "default runtime") + " force_flush=" + c.flush +
                     " trap_on_io_err=" + c.trap);
        Settings s;
        s.force_flush = c.flush;
        s.trap_on_io_err = c.trap;
        Traced t(memTemplate(runtimeSettings(s, c.buffered)));
        ASSERT_TRUE(t.build(loop));
        // 3 KiB: the header and the template block fit, the records do not.
        // Past the limit a write fails with EFBIG instead of raising SIGXFSZ.
        t.dir().write("run.sh", "trap '' XFSZ\nulimit -f 3\nexec ./prog\n");
        CommandResult r = runCommand("cd " + t.dir().path() + " && { bash run.sh; echo $? >status; }");
        r.status = std::atoi(t.file("status").c_str());
        EXPECT_EQ(3072, static_cast<int>(t.file("trace.out").size()));
        if (c.message) {
            EXPECT_EQ(255, r.status);
            // The first report is the record's; kel_stop, run by that exit,
            // may report its own closing line's failure after it.
            const std::string first = std::string(c.message) + ": File too large\nkel.c:" +
                                      (c.check ? std::to_string(t.sourceLine(c.check)) + "\n" : "");
            EXPECT_EQ(0u, r.err.find(first)) << r.err;
            EXPECT_EQ("", r.out);
        } else {
            EXPECT_EQ(0, r.status) << "without the trap the failures go unnoticed";
            EXPECT_EQ("finished\n", r.out);
        }
    }
}

// Only the functions some wrapper calls are written: a template whose tor
// writes no hex16 field still compiles without warnings.
TEST(BufferedRecords, ATemplateWithoutHexFieldsCompilesWithoutWarnings) {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<template name=\"clock\" prefix=\"kt_\" errlogmode=\"console\" trap_on_io_err=\"false\" remote_mode=\"false\" "
        "force_flush=\"false\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" "
        "trace_target=\"trace.out\" buffered_records=\"true\">\n"
        "  <domain name=\"clock\" float_handle=\"false\" handle=\"long\" includesGlobal=\"true\">\n"
        "    <expr oper=\"==\" type=\"long\" value=\"-1\"/>\n"
        "    <includes>time.h</includes>\n"
        "    <tor __type__=\"operator\" name=\"clock\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
        "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
        "      <validateDom_before>-</validateDom_before>\n"
        "      <args type=\"clock_t\" name=\"ret\"/>\n"
        "      <expr oper=\"\" type=\"\" value=\"\"/>\n"
        "    </tor>\n"
        "  </domain>\n"
        "</template>\n";
    Traced t(text);
    EXPECT_EQ(std::string::npos, t.file("kel.c").find("kel_put_hex"));
    for (const char* cc : {"gcc", "clang"})
        for (const char* standard : {"-std=c99", "-std=c11"}) {
            SCOPED_TRACE(std::string(cc) + " " + standard);
            ASSERT_TRUE(t.build("#include \"kel.h\"\nint main(void) {\n\tkel_start(\"c\");\n\treturn clock() == (clock_t)-1;\n}\n",
                                std::string(cc) + " " + standard));
            EXPECT_EQ(0, t.run().status);
            EXPECT_EQ(t.head() + "clock\nclock\nmain.c\n4\n-\n-\nKEL TRACING DONE\n", t.file("trace.out"));
        }
}

}  // namespace
