// The generated library for real: kelgen writes kel.h and kel.c from a
// template, the system gcc builds them with a small program, the program runs,
// and the trace it wrote (to a file or to a TCP listener on 127.0.0.1) is read
// back line by line.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_set>
#include <sstream>
#include <thread>
#include <vector>

#include "gen_run_support.h"
#include "run_command.h"
#include "temp_dir.h"

namespace {

using namespace genrun;

TEST(GeneratedLibrary, FileModeWritesTheExampleRecords) {
    Traced t(memTemplate(Settings{}));
    ASSERT_TRUE(t.build(kExampleProgram));
    const CommandResult r = t.run();
    EXPECT_EQ(0, r.status) << r.err;
    const std::string trace = t.file("trace.out");
    EXPECT_EQ(t.head() + kExampleRecords + "KEL TRACING DONE\n", maskHandles(trace));

    // The same handle comes out of malloc and goes into free, and it is real.
    const std::vector<std::string> ls = splitLines(trace);
    ASSERT_GE(ls.size(), 5u);
    const std::string allocated = ls[ls.size() - 9].substr(3);
    const std::string released = ls[ls.size() - 4].substr(7);
    EXPECT_TRUE(isHex16(allocated)) << allocated;
    EXPECT_EQ(allocated, released);
    EXPECT_NE("0000000000000000", allocated);
}

// Two files besides main include kel.h; each allocates in its line 3 and
// frees in its line 4. Built at the compilers' default flags: the globals are
// defined once, in kel.c, whatever the language of the including files.
TEST(GeneratedLibrary, MultiFileProgramsLinkAtDefaultFlags) {
    const std::string unit = "#include \"kel.h\"\nNAME(void) {\n\tvoid *p = malloc(16);\n\tfree(p);\n}\n";
    auto unitNamed = [&](const std::string& name) {
        std::string text = unit;
        text.replace(text.find("NAME"), 4, name);
        return text;
    };
    const std::string mainText =
        "#include \"kel.h\"\n#ifdef __cplusplus\nextern \"C\" {\n#endif\nvoid one(void);\nvoid two(void);\n"
        "#ifdef __cplusplus\n}\n#endif\nint main(void) {\n\tkel_start(\"multi\");\n\tone();\n\ttwo();\n"
        "\treturn 0;\n}\n";
    struct Case { const char* name; const char* cc; const char* cxx; const char* ext; };
    for (const Case& c : {Case{"gcc, C", "gcc", "gcc", "c"}, Case{"clang, C", "clang", "clang", "c"},
                          Case{"g++, C++", "gcc", "g++", "cpp"}, Case{"clang++, C++", "clang", "clang++", "cpp"}}) {
        SCOPED_TRACE(c.name);
        Traced t(memTemplate(Settings{}));
        const std::string ext = c.ext;
        t.dir().write("one." + ext, unitNamed(ext == "cpp" ? "extern \"C\" void one" : "void one"));
        t.dir().write("two." + ext, unitNamed(ext == "cpp" ? "extern \"C\" void two" : "void two"));
        t.dir().write("main." + ext, mainText);
        const std::string in = "cd " + t.dir().path() + " && ";
        CommandResult r = runCommand(in + c.cc + " -c kel.c && " + c.cxx + " -o prog main." + ext + " one." + ext +
                                     " two." + ext + " kel.o");
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(0, t.run().status);
        const std::string records = "mem\nmalloc\none." + ext + "\n3\n0000000000000010\nOK\nOK <handle>\n" +
                                    "mem\nfree\none." + ext + "\n4\nmem OK <handle>\nvoid\n-\n" +
                                    "mem\nmalloc\ntwo." + ext + "\n3\n0000000000000010\nOK\nOK <handle>\n" +
                                    "mem\nfree\ntwo." + ext + "\n4\nmem OK <handle>\nvoid\n-\n";
        EXPECT_EQ(t.head() + records + "KEL TRACING DONE\n", maskHandles(t.file("trace.out")));
    }
}

// Every setting the text tests cover, compiled by gcc and clang as C99, C11
// and C17 with the strict warning set that projects building with -Werror
// use; kel.h alone also as C89 with -pedantic, and from C++17 and C++20.
// Each setting once more with buffered_records.
TEST(GeneratedLibrary, CompilesWithoutWarningsForEverySetting) {
    struct Case { std::string name; Settings settings; };
    std::vector<Case> cases;
    auto add = [&](const char* name, auto change) {
        Settings s;
        s.moreDomains = kDescriptorDomain;
        change(s);
        cases.push_back({name, s});
    };
    add("defaults", [](Settings&) {});
    add("silent error log, fork forbidden", [](Settings& s) {
        s.errlogmode = "";
        s.fork_enabled = "false";
    });
    add("log file, trap, flush, posix mutex", [](Settings& s) {
        s.errlogmode = "err.log";
        s.trap_on_io_err = "true";
        s.force_flush = "true";
        s.multithreaded = "true";
    });
    add("remote, trap", [](Settings& s) {
        s.remote_mode = "true";
        s.trace_target = "127.0.0.1:5555";
        s.trap_on_io_err = "true";
    });
    add("remote, posix mutex, fork forbidden", [](Settings& s) {
        s.remote_mode = "true";
        s.trace_target = "localhost:5555";
        s.multithreaded = "true";
        s.fork_enabled = "false";
    });
    add("auto_start, trace_per_process, flush", [](Settings& s) {
        s.trace_target = "trace-%p.out";
        s.moreSettings = "trace_per_process=\"true\" auto_start=\"true\"";
        s.force_flush = "true";
    });
    // Linked with the template's --wrap flags, which __real_NAME needs.
    add("link_wrap, auto_start, posix mutex", [](Settings& s) {
        s.moreSettings = "link_wrap=\"true\" auto_start=\"true\"";
        s.multithreaded = "true";
    });
    for (std::size_t i = 0, n = cases.size(); i < n; ++i) {
        Case buffered = cases[i];
        buffered.name += ", buffered";
        buffered.settings.moreSettings += " buffered_records=\"true\"";
        cases.push_back(buffered);
    }
    const std::string user = "#include \"kel.h\"\nint main(void) {\n\tkel_start(\"w\");\n\tfree(malloc(1));\n"
                             "\treturn dup2(1, 2) == -1;\n}\n";
    const std::string cppUser = "#include \"kel.h\"\n#include <cstdlib>\nint main() {\n\tkel_start(\"w\");\n"
                                "\tstd::free(std::malloc(1));\n\treturn dup2(1, 2) == -1;\n}\n";
    const std::string strict =
        " -Wall -Wextra -Wpedantic -Wwrite-strings -Wcast-qual -Wshadow -Wstrict-prototypes -Wmissing-prototypes"
        " -Wold-style-definition -Wundef -Wconversion -Wsign-conversion -Werror";
    for (const Case& c : cases) {
        Traced t(memTemplate(c.settings));
        t.dir().write("main.c", user);
        t.dir().write("main.cpp", cppUser);
        const std::string in = "cd " + t.dir().path() + " && ";
        const std::string wrap = c.settings.moreSettings.find("link_wrap") == std::string::npos
                                     ? ""
                                     : " $(" + kKelgen + " --wrap-flags t.xml)";
        for (const char* cc : {"gcc", "clang"})
            for (const char* standard : {"c99", "c11", "c17"}) {
                SCOPED_TRACE(c.name + ", " + cc + " -std=" + standard);
                const CommandResult r =
                    runCommand(in + cc + " -std=" + standard + strict + " -pthread -o prog main.c kel.c" + wrap);
                EXPECT_EQ(0, r.status) << r.err;
            }
        for (const char* cc : {"gcc", "clang"}) {
            SCOPED_TRACE(c.name + ", kel.h, " + cc + " -std=c89 -pedantic");
            const CommandResult r =
                runCommand(in + cc + " -std=c89 -pedantic -Wall -Wextra -Werror -c -o main.o main.c");
            EXPECT_EQ(0, r.status) << r.err;
        }
        for (const char* cxx : {"g++", "clang++"})
            for (const char* standard : {"c++17", "c++20"}) {
                SCOPED_TRACE(c.name + ", kel.h, " + cxx + " -std=" + standard);
                const CommandResult r = runCommand(in + cxx + " -std=" + standard +
                                                   " -Wall -Wextra -Wpedantic -Werror -c -o main.o main.cpp");
                EXPECT_EQ(0, r.status) << r.err;
            }
    }
}

// The ready-made templates, one by one and merged into one, as projects
// build them: kel.c with the strict set and -Werror, optimised (which
// enables more of gcc's checks), by gcc and clang.
TEST(GeneratedLibrary, ReadyMadeTemplatesCompileUnderTheStrictWarningSet) {
    const std::string strict =
        " -std=c11 -O2 -Wall -Wextra -Wpedantic -Wwrite-strings -Wcast-qual -Wshadow -Wstrict-prototypes"
        " -Wmissing-prototypes -Wold-style-definition -Wundef -Wconversion -Wsign-conversion -Werror -c kel.c";
    const std::string templates = std::string(KEL_SOURCE_DIR) + "/templates/";
    const std::vector<std::string> sets = {"libc-heap.xml", "stdio.xml", "posix-fd.xml",
                                           "libc-heap.xml stdio.xml posix-fd.xml"};
    for (const std::string& set : sets) {
        SCOPED_TRACE(set);
        TempDir dir;
        const std::string in = "cd " + dir.path() + " && ";
        std::string paths;
        std::istringstream names(set);
        for (std::string name; names >> name;) paths += " " + templates + name;
        ASSERT_EQ(0, runCommand(in + kKelgen + " --merge t.xml" + paths).status);
        ASSERT_EQ(0, runCommand(in + kKelgen + " t.xml kel.h kel.c").status);
        for (const char* cc : {"gcc", "clang"}) {
            SCOPED_TRACE(cc);
            const CommandResult r = runCommand(in + cc + strict);
            EXPECT_EQ(0, r.status) << r.err;
        }
    }
}

// kel.h read by C++17: calls written std::name are traced too, also when the
// C library's C++ headers (which #undef the C names) come after kel.h.
TEST(GeneratedLibrary, CppProgramsCallTheWrappersThroughStd) {
    const std::string program = "#include \"kel.h\"\n#include <cstdio>\n#include <cstdlib>\n#include <string>\n"
                                "#include <vector>\nint main() {\n\tkel_start(\"cpp\");\n"
                                "\tvoid *p = std::malloc(4);\n\tstd::free(p);\n"
                                "\tstd::vector<std::string> v(2, \"text\");\n\treturn static_cast<int>(v.size()) - 2;\n}\n";
    for (const char* compilers : {"gcc g++", "clang clang++"}) {
        SCOPED_TRACE(compilers);
        const std::string cc = std::string(compilers).substr(0, std::string(compilers).find(' '));
        const std::string cxx = std::string(compilers).substr(cc.size() + 1);
        Traced t(memTemplate(Settings{}));
        t.dir().write("main.cpp", program);
        const CommandResult r = runCommand("cd " + t.dir().path() + " && " + cc + " -Wall -Wextra -Werror -c kel.c && " +
                                           cxx + " -std=c++17 -Wall -Wextra -Werror -o prog main.cpp kel.o");
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(0, t.run().status);
        EXPECT_EQ(t.head() + "mem\nmalloc\nmain.cpp\n8\n0000000000000004\nOK\nOK <handle>\n" +
                      "mem\nfree\nmain.cpp\n9\nmem OK <handle>\nvoid\n-\nKEL TRACING DONE\n",
                  maskHandles(t.file("trace.out")));
    }
}

// open's mode, written out and marked optional: calls with two and with three
// arguments compile (gcc and clang, -Werror) and are traced as open.
TEST(GeneratedLibrary, OptionalParameterCallsCompileAndAreTraced) {
    const std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<template name=\"fd\" prefix=\"kt_\" errlogmode=\"console\" trap_on_io_err=\"false\" remote_mode=\"false\" "
        "force_flush=\"false\" fork_enabled=\"true\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" "
        "trace_target=\"trace.out\">\n"
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
        "    <tor __type__=\"deallocator\" name=\"close\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
        "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
        "      <validateDom_before>-</validateDom_before>\n"
        "      <validateDom_before>fd</validateDom_before>\n"
        "      <args type=\"int\" name=\"ret\"/>\n"
        "      <args type=\"int\" name=\"fd\"/>\n"
        "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
        "    </tor>\n"
        "  </domain>\n"
        "</template>\n";
    const std::string source = program({{1, "#include \"kel.h\""},
                                        {2, "int main(void) {"},
                                        {3, "\tint made, read;"},
                                        {4, "\tkel_start(\"open\");"},
                                        {5, "\tmade = open(\"made.txt\", O_CREAT | O_WRONLY, 0600);"},
                                        {6, "\tread = open(\"made.txt\", O_RDONLY);"},
                                        {7, "\tclose(read);"},
                                        {8, "\tclose(made);"},
                                        {9, "\treturn open(\"missing/x\", O_RDONLY) != -1;"},
                                        {10, "}"}},
                                       10);
    for (const char* compiler : {"gcc", "clang"}) {
        SCOPED_TRACE(compiler);
        Traced t(text);
        ASSERT_TRUE(t.build(source, compiler));
        EXPECT_EQ(0, t.run().status);
        EXPECT_EQ(t.head() +
                      "fd\nopen\nmain.c\n5\nOK\nOK <handle>\nfd\nopen\nmain.c\n6\nOK\nOK <handle>\n"
                      "fd\nclose\nmain.c\n7\nfd OK <handle>\nOK\n-\nfd\nclose\nmain.c\n8\nfd OK <handle>\nOK\n-\n"
                      "fd\nopen\nmain.c\n9\nBAD\nBAD <handle>\nKEL TRACING DONE\n",
                  maskHandles(t.file("trace.out")));
        // -1 as a handle: the whole 64 bits, as the analyzer reads it.
        EXPECT_NE(std::string::npos, t.file("trace.out").find("\nBAD\nBAD FFFFFFFFFFFFFFFF\nKEL TRACING DONE\n"));
        struct stat st {};
        ASSERT_EQ(0, ::stat(t.dir().file("made.txt").c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 0777) << "the mode reached the real open";
    }
}

TEST(GeneratedLibrary, TemplateBlockCarriesQuotesBackslashesAndCrlfLinesUnchanged) {
    std::string text = memTemplate(Settings{});
    text.replace(text.find("name=\"run\""), 10, "name=\"r\\0n\"");
    std::string crlf;
    for (const std::string& l : splitLines(text)) crlf += l + "\r\n";
    Traced t(crlf);
    ASSERT_TRUE(t.build(kExampleProgram));
    EXPECT_EQ(0, t.run().status);
    EXPECT_EQ(traceHead(text) + kExampleRecords + "KEL TRACING DONE\n", maskHandles(t.file("trace.out")));
}

TEST(GeneratedLibrary, TemplateBlockSurvivesACompilerThatReadsTrigraphs) {
    // Every trigraph that may stand in an attribute value; "?\?" keeps this
    // file free of them.
    std::string text = memTemplate(Settings{});
    text.replace(text.find("name=\"run\""), 10, "name=\"a?\?/b?\?=?\?(?\?)?\?!?\?'?\?-c?\?\?/\"");
    Traced t(text);
    ASSERT_TRUE(t.build(kExampleProgram, "gcc -trigraphs -pthread"));
    EXPECT_EQ(0, t.run().status);
    EXPECT_EQ(traceHead(text) + kExampleRecords + "KEL TRACING DONE\n", maskHandles(t.file("trace.out")));
}

// Both runtimes: the default one, and buffered_records, which takes the
// mutex once per record and writes the record at once.
TEST(GeneratedLibrary, PosixMutexKeepsRecordsOfFourThreadsWhole) {
    struct Runtime { const char* name; const char* moreSettings; const char* forceFlush; };
    for (const Runtime& runtime : {Runtime{"default", "", "false"},
                                   Runtime{"buffered", "buffered_records=\"true\"", "false"},
                                   Runtime{"buffered, force_flush", "buffered_records=\"true\"", "true"}}) {
        SCOPED_TRACE(runtime.name);
        Settings s;
        s.multithreaded = "true";
        s.moreSettings = runtime.moreSettings;
        s.force_flush = runtime.forceFlush;
        Traced t(memTemplate(s));
        const int kThreads = 4;
        const int kRounds = 2500;
        // The threads start together at a barrier, so their calls overlap.
        ASSERT_TRUE(t.build(program({{1, "#include \"kel.h\""},
                                     {2, "static pthread_barrier_t start;"},
                                     {3, "static void *worker(void *arg) {"},
                                     {4, "\tint i;"},
                                     {5, "\tpthread_barrier_wait(&start);"},
                                     {6, "\tfor (i = 0; i < 2500; i++) {"},
                                     {7, "\t\tvoid *p = malloc(16 + i % 7);"},
                                     {8, "\t\tfree(p);"},
                                     {9, "\t}"},
                                     {10, "\treturn arg;"},
                                     {11, "}"},
                                     {12, "int main(void) {"},
                                     {13, "\tpthread_t t[4]; int i;"},
                                     {14, "\tkel_start(\"threads\");"},
                                     {15, "\tpthread_barrier_init(&start, NULL, 4);"},
                                     {16, "\tfor (i = 0; i < 4; i++) pthread_create(&t[i], NULL, worker, NULL);"},
                                     {17, "\tfor (i = 0; i < 4; i++) pthread_join(t[i], NULL);"},
                                     {18, "\treturn 0;"},
                                     {19, "}"}},
                                    19)));
        const CommandResult r = t.run();
        ASSERT_EQ(0, r.status) << r.err;

        const std::string trace = t.file("trace.out");
        ASSERT_EQ(0u, trace.find(t.head()));
        std::vector<Record> records;
        std::string why;
        ASSERT_TRUE(readRecords(splitLines(trace), splitLines(t.head()).size(), records, why)) << why;
        ASSERT_EQ(static_cast<std::size_t>(2 * kThreads * kRounds), records.size());

        // The mutex is held across the real call, so the trace order is the order
        // of the calls: every free releases a block that is live at that point.
        std::set<std::string> live;
        int mallocs = 0;
        for (const Record& rec : records) {
            ASSERT_EQ("main.c", rec.file);
            if (rec.tor == "malloc") {
                ++mallocs;
                ASSERT_EQ("7", rec.line);
                ASSERT_GE(rec.size, 16u);
                ASSERT_LE(rec.size, 22u);
                ASSERT_TRUE(live.insert(rec.handle).second) << "handle " << rec.handle << " allocated twice";
            } else {
                ASSERT_EQ("8", rec.line);
                ASSERT_EQ(1u, live.erase(rec.handle)) << "handle " << rec.handle << " freed while not live";
            }
        }
        EXPECT_EQ(kThreads * kRounds, mallocs);
        EXPECT_TRUE(live.empty());
    }
}

TEST(GeneratedLibrary, RemoteModeSendsWhatFileModeWrites) {
    Traced file(memTemplate(Settings{}));
    ASSERT_TRUE(file.build(kExampleProgram));
    ASSERT_EQ(0, file.run().status);
    const std::string fileTrace = file.file("trace.out");

    TraceReceiver receiver;
    Settings s;
    s.remote_mode = "true";
    s.trace_target = "127.0.0.1:" + std::to_string(receiver.port());
    const std::string remoteTemplate = memTemplate(s);
    Traced remote(remoteTemplate);
    ASSERT_TRUE(remote.build(kExampleProgram));
    const CommandResult r = remote.run();
    EXPECT_EQ(0, r.status) << r.err;
    const std::string received = receiver.bytes();

    // The same bytes, but for the template block, which is each run's own.
    const std::string end = "</template>\n";
    const std::string afterBlock = fileTrace.substr(fileTrace.find(end) + end.size());
    EXPECT_EQ(maskHandles(traceHead(remoteTemplate) + afterBlock), maskHandles(received));
    EXPECT_EQ(traceHead(remoteTemplate) + kExampleRecords + "KEL TRACING DONE\n", maskHandles(received));
}

TEST(GeneratedLibrary, ForkEndsTheTraceWithTheTrapRecordAndAborts) {
    Settings s;
    s.fork_enabled = "false";
    s.force_flush = "true";  // abort() flushes nothing
    Traced t(memTemplate(s));
    ASSERT_TRUE(t.build(program({{1, "#include \"kel.h\""},
                                 {2, "int main(void) {"},
                                 {3, "\tkel_start(\"fork\");"},
                                 {4, "\tfree(malloc(8));"},
                                 {5, "\tfork();"},
                                 {6, "\treturn 0;"},
                                 {7, "}"}},
                                7)));
    const CommandResult r = t.run();
    EXPECT_EQ(128 + SIGABRT, r.status);
    EXPECT_EQ(t.head() +
                  "mem\nmalloc\nmain.c\n4\n0000000000000008\nOK\nOK <handle>\n"
                  "mem\nfree\nmain.c\n4\nmem OK <handle>\nvoid\n-\n"
                  "KEL_TRAP\nfork()\nmain.c\n5\n",
              maskHandles(t.file("trace.out")));
}

// Tracing must not blind the compiler: a mistake that gcc or clang reports in
// the plain build (a use after free, a null pointer where the C library
// forbids one) is reported in the build traced with the ready-made heap
// template too, at the same line.
TEST(GeneratedLibrary, CompilersStillSeeMistakesThroughTheWrappers) {
    struct Case {
        const char* name;
        const char* compilers;
        const char* body;  // lines 4 and after of main.c
        const char* warning;  // at main.c line 7
    };
    const Case cases[] = {
        {"use after free", "gcc", "\tchar *p = malloc(8);\n\tif (p == NULL) return 1;\n\tfree(p);\n\treturn p[0];\n",
         "[-Wuse-after-free]"},
        {"null destination of memcpy", "gcc clang", "\tchar s[2] = \"a\";\n\t(void)s;\n\t(void)s;\n"
         "\tmemcpy(NULL, s, 2);\n\treturn 0;\n", "[-Wnonnull]"},
    };
    TempDir dir;
    const std::string in = "cd " + dir.path() + " && ";
    ASSERT_EQ(0, runCommand(in + kKelgen + " " + KEL_SOURCE_DIR + "/templates/libc-heap.xml kel.h kel.c").status);
    for (const Case& c : cases) {
        dir.write("main.c", std::string("#include <stdlib.h>\n#include <string.h>\nint main(void) {\n") + c.body + "}\n");
        std::istringstream compilers(c.compilers);
        for (std::string cc; compilers >> cc;) {
            SCOPED_TRACE(std::string(c.name) + ", " + cc);
            const std::string build = cc + " -O2 -Wall -c -o main.o main.c";
            const CommandResult plain = runCommand(in + build);
            EXPECT_NE(std::string::npos, plain.err.find("main.c:7:")) << plain.err;
            EXPECT_NE(std::string::npos, plain.err.find(c.warning)) << plain.err;
            const CommandResult traced = runCommand(in + build + " -include kel.h");
            EXPECT_NE(std::string::npos, traced.err.find("main.c:7:")) << traced.err;
            EXPECT_NE(std::string::npos, traced.err.find(c.warning)) << traced.err;
            // The wrapper was called: the traced build is really traced.
            EXPECT_EQ(0, runCommand(in + "nm main.o >symbols && grep -q kelheap_ symbols").status);
        }
    }
}

// KEL_TRACE_DIR sends the trace into a folder, made with its parents when
// missing, under the trace_target's file name with the process id and
// ".trace"; a name an earlier process with the same id left is kept, and the
// new trace takes the next free "-N". The shell's exec keeps its process id,
// so the test knows the program's id before it runs.
TEST(GeneratedLibrary, TraceFolderFromTheEnvironment) {
    struct Case {
        const char* name;
        const char* target;
        const char* perProcess;
        std::string (*expected)(const std::string& pid);  // file name in the folder
        std::string (*leftBefore)(const std::string& pid);  // "" for none
    };
    const Case cases[] = {
        {"plain name: the process id is added", "out/trace.out", "false",
         [](const std::string& pid) { return "trace.out-" + pid + ".trace"; },
         [](const std::string&) { return std::string(); }},
        {"name with the process id already", "kel-%p.trace", "true",
         [](const std::string& pid) { return "kel-" + pid + ".trace"; },
         [](const std::string&) { return std::string(); }},
        {"an earlier process's trace of the same id is kept", "kel-%p.trace", "true",
         [](const std::string& pid) { return "kel-" + pid + "-1.trace"; },
         [](const std::string& pid) { return "kel-" + pid + ".trace"; }},
        {"plain name, taken", "t.trace", "false",
         [](const std::string& pid) { return "t-" + pid + "-1.trace"; },
         [](const std::string& pid) { return "t-" + pid + ".trace"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.trace_target = c.target;
        s.moreSettings = std::string("trace_per_process=\"") + c.perProcess + "\"";
        Traced t(memTemplate(s));
        ASSERT_TRUE(t.build(kExampleProgram));
        const std::string folder = t.dir().file("traces/of/run");
        const CommandResult r = runCommand(
            "cd " + t.dir().path() + " && KEL_TRACE_DIR=" + folder + " sh -c 'echo $$ >pid; " +
            "if [ -n \"$0\" ]; then mkdir -p " + folder + " && echo earlier >" + folder +
            "/$(echo \"$0\" | sed s/PID/$$/); fi; exec ./prog' '" + c.leftBefore("PID") + "'");
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        std::string pid = t.file("pid");
        pid.erase(pid.find_last_not_of('\n') + 1);
        const std::string left = c.leftBefore(pid);
        if (!left.empty()) {
            EXPECT_EQ("earlier\n", readWholeFile(folder + "/" + left));
        }
        EXPECT_EQ(t.head() + kExampleRecords + "KEL TRACING DONE\n",
                  maskHandles(readWholeFile(folder + "/" + c.expected(pid))));
        // Nothing where trace_target points.
        EXPECT_EQ("", runCommand("cd " + t.dir().path() + " && ls -d out *.trace 2>/dev/null").out);
    }
    {
        SCOPED_TRACE("an empty KEL_TRACE_DIR is no folder");
        Traced t(memTemplate(Settings{}));
        ASSERT_TRUE(t.build(kExampleProgram));
        ASSERT_EQ(0, runCommand("cd " + t.dir().path() + " && KEL_TRACE_DIR= ./prog").status);
        EXPECT_EQ(t.head() + kExampleRecords + "KEL TRACING DONE\n", maskHandles(t.file("trace.out")));
    }
    {
        SCOPED_TRACE("a folder that cannot be made: one message naming the file");
        Traced t(memTemplate(Settings{}));
        ASSERT_TRUE(t.build(kExampleProgram));
        const CommandResult r =
            runCommand("cd " + t.dir().path() + " && echo nofolder >file && KEL_TRACE_DIR=file/sub sh -c "
                       "'echo $$ >pid; exec ./prog'");
        EXPECT_EQ(255, r.status);
        std::string pid = t.file("pid");
        pid.erase(pid.find_last_not_of('\n') + 1);
        EXPECT_EQ("KEL: cannot create the trace file 'file/sub/trace.out-" + pid + ".trace': Not a directory\n", r.err);
    }
}

TEST(GeneratedLibrary, ErrorLogReportsAnUncreatableTraceFile) {
    struct Case { const char* errlogmode; bool toFile; };
    for (const Case& c : {Case{"err.log", true}, Case{"console", false}}) {
        SCOPED_TRACE(c.errlogmode);
        Settings s;
        s.errlogmode = c.errlogmode;
        s.trace_target = "missing/trace.out";
        Traced t(memTemplate(s));
        ASSERT_TRUE(t.build(kExampleProgram));
        t.dir().write("err.log", "from an earlier run\n");
        const CommandResult r = t.run();
        EXPECT_EQ(255, r.status);  // exit(-1)
        // One message that names the file and the reason.
        const std::string message = "KEL: cannot create the trace file 'missing/trace.out': No such file or directory";
        if (c.toFile) {
            const std::string where = "kel.c:" + std::to_string(t.sourceLine("kelerrlog(msg, __FILE__, __LINE__);")) + "\n";
            EXPECT_EQ(message + " " + where, t.file("err.log"));
            EXPECT_EQ("", r.err);
        } else {
            EXPECT_EQ(message + "\n", r.err);
            EXPECT_EQ("from an earlier run\n", t.file("err.log"));
        }
    }
}

// Quotes, backslashes, line ends and a trigraph in the paths the template
// names: the program opens exactly those files (the XML spells
// them with references: &quot; is '"', &#10; a line feed, &#13; a carriage
// return).
TEST(GeneratedLibrary, PathsWithQuotesBackslashesAndLineEndsReachTheProgramUnchanged) {
    Settings s;
    s.trace_target = "q&quot;\\c&#10;&#13;?\?=";
    s.errlogmode = "e&quot;);exit(7);(&quot;";
    Traced t(memTemplate(s));
    ASSERT_TRUE(t.build(kExampleProgram));
    const CommandResult r = t.run();
    EXPECT_EQ(0, r.status) << r.err;
    // The template block carries the attribute as the file spells it.
    EXPECT_EQ(t.head() + kExampleRecords + "KEL TRACING DONE\n", maskHandles(t.file("q\"\\c\n\r?\?=")));

    // The error log, reached when the trace file cannot be created.
    s.trace_target = "no/t&quot;";
    Traced failing(memTemplate(s));
    ASSERT_TRUE(failing.build(kExampleProgram));
    EXPECT_EQ(255, failing.run().status);  // exit(-1), not the injected exit(7)
    const std::string where =
        "kel.c:" + std::to_string(failing.sourceLine("kelerrlog(msg, __FILE__, __LINE__);")) + "\n";
    EXPECT_EQ("KEL: cannot create the trace file 'no/t\"': No such file or directory " + where,
              failing.file("e\");exit(7);(\""));
}

TEST(GeneratedLibrary, TrapOnIoErrorEndsTheProgramOnAFullDevice) {
    const std::string loop = program({{1, "#include \"kel.h\""},
                                      {2, "int main(void) {"},
                                      {3, "\tint i;"},
                                      {4, "\tkel_start(\"full\");"},
                                      {5, "\tfor (i = 0; i < 2000; i++) free(malloc(32));"},
                                      {6, "\tprintf(\"finished\\n\");"},
                                      {7, "\treturn 0;"},
                                      {8, "}"}},
                                     8);
    {
        SCOPED_TRACE("force_flush: the first flush fails");
        Settings s;
        s.trap_on_io_err = "true";
        s.force_flush = "true";
        s.trace_target = "/dev/full";
        Traced t(memTemplate(s));
        ASSERT_TRUE(t.build(loop));
        const CommandResult r = t.run();
        EXPECT_EQ(255, r.status);  // exit(EOF)
        EXPECT_EQ("fflush(): No space left on device\nkel.c:" +
                      std::to_string(t.sourceLine("if(kel_retval != 0){kelerrlog(\"fflush()\"")) + "\n",
                  r.err);
        EXPECT_EQ("", r.out);
    }
    {
        SCOPED_TRACE("buffered: a write fails once the buffer is full");
        Settings s;
        s.trap_on_io_err = "true";
        s.trace_target = "/dev/full";
        Traced t(memTemplate(s));
        ASSERT_TRUE(t.build(loop));
        const CommandResult r = t.run();
        EXPECT_EQ(0u, r.err.find("fwrite(): No space left on device\nkel.c:")) << r.err;
        EXPECT_EQ("", r.out);
    }
    {
        SCOPED_TRACE("without the trap the failures go unnoticed");
        Settings s;
        s.trace_target = "/dev/full";
        Traced t(memTemplate(s));
        ASSERT_TRUE(t.build(loop));
        const CommandResult r = t.run();
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("finished\n", r.out);
    }
}

TEST(GeneratedLibrary, ForceFlushKeepsTheRecordOfACrashInsideADeallocator) {
    // The bad pointer passes through a volatile: gcc reports a constant one
    // at compile time, through the wrapper as for the real free.
    const std::string crash = program({{1, "#include \"kel.h\""},
                                       {2, "int main(void) { void *volatile bad = (void *)16;"},
                                       {3, "\tkel_start(\"crash\");"},
                                       {4, "\tfree(bad);"},
                                       {5, "\treturn 0;"},
                                       {6, "}"}},
                                      6);
    const std::string lastRecord = "mem\nfree\nmain.c\n4\nmem OK 0000000000000010\n";
    for (const char* flush : {"true", "false"}) {
        SCOPED_TRACE(std::string("force_flush=") + flush);
        Settings s;
        s.force_flush = flush;
        Traced t(memTemplate(s));
        ASSERT_TRUE(t.build(crash));
        const CommandResult r = t.run();
        EXPECT_GT(r.status, 128) << "the program must die inside free";
        const std::string trace = t.file("trace.out");
        if (std::string(flush) == "true")
            EXPECT_EQ(t.head() + lastRecord, trace);
        else
            EXPECT_EQ("", trace) << "without flushing, the buffered trace dies with the program";
    }
}

// With and without buffered_records (whose record writer and flush are
// compiled here too).
TEST(GeneratedLibrary, Win32PairCrossCompilesWithMinGW) {
    struct Case { const char* name; const char* more; const char* trapAndFlush; };
    for (const Case& c : {Case{"default", "", "false"}, Case{"buffered", "buffered_records=\"true\"", "false"},
                          Case{"buffered, trap, flush", "buffered_records=\"true\"", "true"}}) {
        SCOPED_TRACE(c.name);
        Settings s;
        s.compiler_type = "win32";
        s.multithreaded = "true";
        s.threading = "win32";
        s.trap_on_io_err = c.trapAndFlush;
        s.force_flush = c.trapAndFlush;
        s.moreSettings = c.more;
        s.includes = {"stdarg.h", "stdio.h", "stdlib.h", "string.h"};
        Traced t(memTemplate(s));
        const std::string header = t.file("kel.h");
        EXPECT_NE(std::string::npos, header.find("#include <Windows.h>\n#include <Winbase.h>\n"));
        EXPECT_NE(std::string::npos, header.find("typedef unsigned __int64 keluint64;\nextern HANDLE kel_mutex;\n"));
        EXPECT_EQ(*c.more != '\0', t.file("kel.c").find("kel_record_end(&kel_rec);") != std::string::npos);

        // MinGW's headers are lower-case; the generated text keeps its spelling.
        t.dir().write("Windows.h", "#include <windows.h>\n");
        t.dir().write("Winbase.h", "#include <winbase.h>\n");
        ASSERT_TRUE(t.build(kExampleProgram, "x86_64-w64-mingw32-gcc -I.", "prog.exe"));
        EXPECT_EQ(0u, t.file("prog.exe").find("MZ"));
    }
}

TEST(GeneratedLibrary, Win32PairWithAutoStartAndPerProcessTraceCrossCompiles) {
    for (const char* more : {"", " buffered_records=\"true\""}) {
        SCOPED_TRACE(more);
        Settings s;
        s.compiler_type = "win32";
        s.trace_target = "trace-%p.out";
        s.moreSettings = std::string("trace_per_process=\"true\" auto_start=\"true\"") + more;
        s.includes = {"stdarg.h", "stdio.h", "stdlib.h", "string.h"};
        Traced t(memTemplate(s));
        const std::string source = t.file("kel.c");
        EXPECT_NE(std::string::npos, source.find("#include <process.h>\n"));
        EXPECT_NE(std::string::npos, source.find("__attribute__((constructor(101)))"));
        ASSERT_TRUE(t.build("int main(void) {\n\tfree(malloc(1));\n\treturn 0;\n}\n",
                            "x86_64-w64-mingw32-gcc -include kel.h", "prog.exe"));
        EXPECT_EQ(0u, t.file("prog.exe").find("MZ"));
    }
}

// trace_per_process and auto_start: two programs built with -include kel.h,
// one without any kel_start in its source and one that still calls it, each
// keep their own trace. A constructor of default priority is traced; a
// destructor, which runs after kel_stop, is not and does no harm.
TEST(GeneratedLibrary, AutoStartedProgramsKeepOneTraceEach) {
    for (const char* runtime : {"", " buffered_records=\"true\""}) {
        SCOPED_TRACE(runtime);
        Settings s;
        s.trace_target = "trace-%p.out";
        s.moreSettings = std::string("trace_per_process=\"true\" auto_start=\"true\"") + runtime;
        const std::string plain = program({{1, "#include <stdlib.h>"},
                                           {2, "__attribute__((constructor)) static void early(void) {"},
                                           {3, "\tfree(malloc(2));"},
                                           {4, "}"},
                                           {5, "__attribute__((destructor)) static void late(void) {"},
                                           {6, "\tfree(malloc(5));"},
                                           {7, "}"},
                                           {8, "int main(void) {"},
                                           {9, "\tvoid *p = malloc(8);"},
                                           {10, "\tfree(p);"},
                                           {11, "\treturn 0;"},
                                           {12, "}"}},
                                          12);
        const std::string explicitStart = program({{1, "#include <stdlib.h>"},
                                                   {2, "int main(void) {"},
                                                   {3, "\tkel_start(\"again\");"},
                                                   {4, "\tfree(malloc(3));"},
                                                   {5, "\treturn 0;"},
                                                   {6, "}"}},
                                                  6);
        auto record = [](const char* file, int mallocLine, int freeLine, const char* size) {
            return std::string("mem\nmalloc\n") + file + "\n" + std::to_string(mallocLine) + "\n" + size +
                   "\nOK\nOK <handle>\nmem\nfree\n" + file + "\n" + std::to_string(freeLine) +
                   "\nmem OK <handle>\nvoid\n-\n";
        };
        for (const char* compiler : {"gcc", "clang"}) {
            SCOPED_TRACE(compiler);
            Traced t(memTemplate(s));
            t.dir().write("plain.c", plain);
            t.dir().write("explicit.c", explicitStart);
            const std::string in = "cd " + t.dir().path() + " && ";
            const std::string cc = std::string(compiler) + " -std=c99 -Wall -Wextra -Werror -include kel.h ";
            CommandResult r = runCommand(in + cc + "-o plain plain.c kel.c && " + cc + "-o explicit explicit.c kel.c");
            ASSERT_EQ(0, r.status) << r.err;
            r = runCommand(in + "./plain && ./plain && ./explicit && (ls trace-*.out | wc -l)");
            ASSERT_EQ(0, r.status) << r.err;
            EXPECT_EQ("3\n", r.out);
            // Each run's trace is named by its process id; their contents tell
            // which program wrote them.
            std::multiset<std::string> traces;
            for (const std::string& name : splitLines(runCommand(in + "ls trace-*.out").out)) {
                EXPECT_EQ(std::string::npos, name.find("%p"));
                traces.insert(maskHandles(t.file(name)));
                runCommand(in + "rm " + name);
            }
            const std::string plainTrace = t.head() + record("plain.c", 3, 3, "0000000000000002") +
                                           record("plain.c", 9, 10, "0000000000000008") + "KEL TRACING DONE\n";
            const std::string explicitTrace =
                t.head() + record("explicit.c", 4, 4, "0000000000000003") + "KEL TRACING DONE\n";
            EXPECT_EQ(2u, traces.count(plainTrace));
            EXPECT_EQ(1u, traces.count(explicitTrace));
        }
    }
}

TEST(GeneratedLibrary, BundledExampleGeneratesCompilesAndTraces) {
    const std::string examples = std::string(KEL_SOURCE_DIR) + "/examples/";
    const std::string templateText = readWholeFile(examples + "example.xml");
    Traced t(templateText);
    ASSERT_TRUE(t.build(readWholeFile(examples + "example.c")));
    const CommandResult r = t.run();
    ASSERT_EQ(0, r.status) << r.err;

    const std::string trace = t.file("kel_trace.out");
    EXPECT_EQ(0u, trace.find(t.head()));
    const std::string done = "KEL TRACING DONE\n";
    ASSERT_GE(trace.size(), done.size());
    EXPECT_EQ(done, trace.substr(trace.size() - done.size()));
    // Every traced call of the program, counted by domain and function.
    struct Calls { const char* domain; const char* tor; int count; };
    for (const Calls& c : {Calls{"mem", "calloc", 1}, Calls{"mem", "strdup", 3}, Calls{"mem", "malloc", 2},
                           Calls{"mem", "realloc", 2}, Calls{"mem", "memset", 2}, Calls{"mem", "free", 5},
                           Calls{"FILE", "fopen", 2}, Calls{"FILE", "fputs", 3}, Calls{"FILE", "fclose", 1}}) {
        SCOPED_TRACE(c.tor);
        const std::string head = std::string("\n") + c.domain + "\n" + c.tor + "\nmain.c\n";
        int found = 0;
        for (auto at = trace.find(head); at != std::string::npos; at = trace.find(head, at + 1)) ++found;
        EXPECT_EQ(c.count, found);
    }
}

// ---------------------------------------------------------------- the generate form's outcomes

class GenerateForm : public testing::Test {
protected:
    void SetUp() override { dir.write("t.xml", memTemplate(Settings{})); }
    CommandResult kelgen(const std::string& args) {
        return runCommand("cd " + dir.path() + " && " + kKelgen + " " + args);
    }
    // Every entry of the folder, so that a leftover temporary file shows.
    std::string listing() {
        return runCommand("cd " + dir.path() + " && ls -A").out;
    }
    TempDir dir;
};

TEST_F(GenerateForm, ReplacesBothFilesAndLeavesNothingElse) {
    dir.write("kel.h", "old header\n");
    dir.write("kel.c", "old source\n");
    const CommandResult r = kelgen("t.xml kel.h kel.c");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Files kel.h, kel.c are generated.\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, readWholeFile(dir.file("kel.h")).find("/****"));
    EXPECT_EQ(0u, readWholeFile(dir.file("kel.c")).find("/****"));
    EXPECT_EQ("kel.c\nkel.h\nt.xml\n", listing());
}

TEST_F(GenerateForm, AnUnwritableOutputFailsAndLeavesEarlierFilesIntact) {
    ::mkdir(dir.file("folder").c_str(), 0755);
    struct Case { const char* name; const char* args; const char* message; };
    const Case cases[] = {
        {"header in a missing folder", "t.xml missing/kel.h kel.c",
         "kelgen: cannot write 'missing/kel.h': No such file or directory\n"},
        {"source in a missing folder", "t.xml kel.h missing/kel.c",
         "kelgen: cannot write 'missing/kel.c': No such file or directory\n"},
        {"source on a full device", "t.xml kel.h /dev/full", "kelgen: cannot write '/dev/full': No space left on device\n"},
        {"source is a folder", "t.xml kel.h folder", "kelgen: cannot write 'folder': Is a directory\n"},
        {"empty source path", "t.xml kel.h ''", "kelgen: cannot write '': No such file or directory\n"},
        {"empty header path", "t.xml '' kel.c", "kelgen: cannot write '': No such file or directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("kel.h", "old header\n");
        dir.write("kel.c", "old source\n");
        const CommandResult r = kelgen(c.args);
        EXPECT_EQ(4, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(std::string(c.message) + "Generation error. See err.log for details.\nerror code = 4\n", r.err);
        EXPECT_EQ("old header\n", readWholeFile(dir.file("kel.h")));
        EXPECT_EQ("old source\n", readWholeFile(dir.file("kel.c")));
        EXPECT_EQ("folder\nkel.c\nkel.h\nt.xml\n", listing());
    }
}

TEST_F(GenerateForm, ALinkedOutputIsWrittenThroughItsLinkAndKeepsItsPermissions) {
    ::mkdir(dir.file("inc").c_str(), 0755);
    dir.write("inc/real.h", "old header\n");
    ASSERT_EQ(0, ::symlink("inc/real.h", dir.file("kel.h").c_str()));
    dir.write("kel.c", "old source\n");
    ASSERT_EQ(0, ::chmod(dir.file("kel.c").c_str(), 0604));
    ASSERT_EQ(0, ::chmod(dir.file("inc/real.h").c_str(), 0640));

    const CommandResult r = kelgen("t.xml kel.h kel.c");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Files kel.h, kel.c are generated.\n", r.out);

    struct stat st {};
    ASSERT_EQ(0, ::lstat(dir.file("kel.h").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "kel.h must stay a link";
    EXPECT_EQ(0u, readWholeFile(dir.file("inc/real.h")).find("/****"));
    ASSERT_EQ(0, ::stat(dir.file("inc/real.h").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(0u, readWholeFile(dir.file("kel.c")).find("/****"));
    ASSERT_EQ(0, ::stat(dir.file("kel.c").c_str(), &st));
    EXPECT_EQ(0604u, st.st_mode & 0777);
    EXPECT_EQ("inc\nkel.c\nkel.h\nt.xml\n", listing());
    EXPECT_EQ("real.h\n", runCommand("ls -A " + dir.file("inc")).out);
}

TEST_F(GenerateForm, RejectedTemplatesWriteNothing) {
    Settings remote;
    remote.remote_mode = "true";
    remote.trace_target = "tracehost";
    std::string noFinalFeed = memTemplate(Settings{});
    noFinalFeed.pop_back();
    std::string variadic = memTemplate(Settings{});
    variadic.replace(variadic.find("<args type=\"size_t\" name=\"size\"/>"), 34, "<args type=\"...\" name=\"\"/>");
    std::string beyondArgs = memTemplate(Settings{});
    beyondArgs.replace(beyondArgs.find("float_arg_n1=\"1\""), 16, "float_arg_n1=\"2\"");
    struct Case { const char* name; std::string text; std::string message; };
    const Case cases[] = {
        {"remote target without a port", memTemplate(remote),
         "kelgen: t.xml: remote trace_target 'tracehost' has no ':' in its first 99 characters; expected host:port\n"},
        {"last line without line feed", noFinalFeed,
         "kelgen: t.xml: 21: the last line has no line feed; the trace would lose it\n"},
        {"a variadic parameter", variadic,
         "kelgen: t.xml: domain 'mem', tor 'malloc': args entry 1 is variadic ('...'), which cannot be wrapped; "
         "write out the parameters callers may pass and mark them optional=\"true\"\n"},
        {"size position beyond args", beyondArgs,
         "kelgen: t.xml: domain 'mem', tor 'malloc': float_arg_n1 is 2, but args has 2 entries\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("t.xml", c.text);
        const CommandResult r = kelgen("t.xml kel.h kel.c");
        EXPECT_EQ(3, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.message + "Generation error. See err.log for details.\nerror code = 3\n", r.err);
        EXPECT_EQ("t.xml\n", listing());
    }
}

TEST_F(GenerateForm, AMisspeltValidationDomainIsReportedButStillGenerates) {
    std::string text = memTemplate(Settings{});
    text.replace(text.find("<validateDom_before>mem</validateDom_before>"), 44,
                 "<validateDom_before>mme</validateDom_before>");
    dir.write("t.xml", text);
    const CommandResult r = kelgen("t.xml kel.h kel.c");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Files kel.h, kel.c are generated.\n", r.out);
    EXPECT_EQ("kelgen: t.xml: warning: domain 'mem', tor 'free': validateDom_before entry 1 'mme' names no domain; "
              "that argument is not checked\n",
              r.err);
    EXPECT_EQ(std::string::npos, readWholeFile(dir.file("kel.c")).find("kel_trace(3,"));
}

TEST_F(GenerateForm, UnknownCompilerIsReportedButStillGenerates) {
    Settings s;
    s.compiler_type = "msvc";
    dir.write("t.xml", memTemplate(s));
    const CommandResult r = kelgen("t.xml kel.h kel.c");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("Files kel.h, kel.c are generated.\n", r.out);
    EXPECT_EQ("NYI at gen_c:373\n", r.err);
    EXPECT_EQ(std::string::npos, readWholeFile(dir.file("kel.h")).find("keluint64;"));
}

}  // namespace
