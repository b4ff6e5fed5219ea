// The runtime half of kel.c: conversions, connect function, error log, trace
// writer, start, stop and fork trap, for every combination of settings, and
// the template block that kel_start carries.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

#include <unistd.h>

#include "gen_c.h"
#include "gen_text_fixtures.h"

namespace {

class TemplateFile {
public:
    explicit TemplateFile(const std::string& content) {
        char name[] = "/tmp/kel_gen_tpl_XXXXXX";
        const int fd = mkstemp(name);
        ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << content;
    }
    ~TemplateFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

std::string runtime(const Template& t, const char* templatePath = "/nonexistent/t.xml") {
    std::ostringstream out;
    writeRuntime(t, templatePath, out);
    return out.str();
}

const std::string kConversions = lines({
    "char*\tkelsize_t2str(size_t size){",
    "static char buff[32];",
    "sprintf(buff, \"%lu\", (unsigned long)size);",
    "return(buff);",
    "}",
    "",
    "char*\tkeluint64tostr1(keluint64 value){",
    "static char\tbuff[32];",
    "keluint64\ta, b;",
    "size_t\ti;",
    "a = value;",
    "for(i = 0; i < 16; i++){",
    "\tb = a % 16;",
    "\ta /= 16;",
    "\tif(b < 10) {",
    "\t\tbuff[15 - i] = (char)('0' + b);",
    "\t\t}",
    "\telse\t{",
    "\t\tb -= 10;",
    "\t\tbuff[15 - i] = (char)('A' + b);",
    "\t\t}",
    "\t}",
    "buff[16] = 0;",
    "return(buff);",
    "}",
    "",
});

// The trace folder's helpers of a gcc runtime in file mode; `report` is the
// line that reports a trace file that cannot be created.
std::string traceFolder(const char* report) {
    return lines({
        "#include <errno.h>",
        "#include <sys/stat.h>",
        "",
        "static char\tkel_trace_name[4096];",
        "",
        "static void\tkel_make_dirs(const char *dir){",
        "char\tpath[4096];",
        "size_t\ti;",
        "snprintf(path, sizeof(path), \"%s\", dir);",
        "for(i = 1; path[i]; i++){",
        "\tif(path[i] == '/'){",
        "\t\tpath[i] = 0;",
        "\t\tmkdir(path, 0777);",
        "\t\tpath[i] = '/';",
        "\t\t}",
        "\t}",
        "mkdir(path, 0777);",
        "}",
        "",
        "static FILE\t*kel_open_trace(const char *target, int named_by_pid){",
        "const char\t*dir = getenv(\"KEL_TRACE_DIR\");",
        "const char\t*base;",
        "char\tpid[24];",
        "char\tcopy[24];",
        "size_t\tstem;",
        "unsigned\tn;",
        "FILE\t*file;",
        "if(dir == NULL || *dir == 0){",
        "\tsnprintf(kel_trace_name, sizeof(kel_trace_name), \"%s\", target);",
        "\treturn fopen(target, \"w\");",
        "\t}",
        "kel_make_dirs(dir);",
        "base = strrchr(target, '/');",
        "base = base ? base + 1 : target;",
        "stem = strlen(base);",
        "if(stem > 6 && strcmp(base + stem - 6, \".trace\") == 0) stem -= 6;",
        "pid[0] = 0;",
        "if(!named_by_pid) snprintf(pid, sizeof(pid), \"-%lu\", (unsigned long)getpid());",
        "for(n = 0; n < 10000; n++){",
        "\tcopy[0] = 0;",
        "\tif(n > 0) snprintf(copy, sizeof(copy), \"-%u\", n);",
        "\tsnprintf(kel_trace_name, sizeof(kel_trace_name), \"%s/%.*s%s%s.trace\", dir, (int)stem, base, pid, copy);",
        "\tfile = fopen(kel_trace_name, \"wx\");",
        "\tif(file != NULL || errno != EEXIST) return file;",
        "\t}",
        "return NULL;",
        "}",
        "",
        "static void\tkel_trace_failed(void){",
        "char\tmsg[4400];",
        "int\treason = errno;",
        "snprintf(msg, sizeof(msg), \"KEL: cannot create the trace file '%s': %s\", kel_trace_name, strerror(reason));",
        report,
        "}",
        "",
    });
}

// The failure report follows errlogmode: one line on standard error, the
// log file, or nothing. Win32 and remote runtimes have no trace folder.
TEST(Runtime, TraceFolderOnlyForGccFileTargets) {
    struct Case { const char* errlogmode; const char* report; };
    for (const Case& c : {Case{"console", "fprintf(stderr, \"%s\\n\", msg);"},
                          Case{"err.log", "kelerrlog(msg, __FILE__, __LINE__);"}, Case{"", "(void)msg;"}}) {
        SCOPED_TRACE(c.errlogmode);
        Template t = mtExample();
        t.errlogmode = c.errlogmode;
        EXPECT_EQ(traceFolder(c.report), between(runtime(t), "#include <errno.h>", "void\tkel_start("));
    }
    Template remote = mtExample();
    remote.remote_mode = true;
    remote.trace_target = "localhost:5555";
    EXPECT_EQ(std::string::npos, runtime(remote).find("KEL_TRACE_DIR"));
    Template win32 = mtExample();
    win32.compiler_type = "win32";
    const std::string text = runtime(win32);
    EXPECT_EQ(std::string::npos, text.find("KEL_TRACE_DIR"));
    EXPECT_NE(std::string::npos, text.find("\nkel_tracefile = fopen(\"trace.out\", \"w\");\n"
                                           "if(kel_tracefile == NULL){kelerrlog(\"fopen()\", __FILE__, __LINE__);exit(-1);}\n"));
}

TEST(Runtime, WholeTextInFileModeWithoutMutex) {
    TemplateFile tpl("<template a=\"1\">\n\n  <x/>\n</template>\n");
    const std::string text = runtime(mtExample(), tpl.path());
    // The banner is the header's (tested there); the rest is typed here.
    const auto afterBanner = text.find("#define KEL_NO_REDEF\n");
    ASSERT_NE(std::string::npos, afterBanner);
    const std::string expected = lines({"#define KEL_NO_REDEF", "#ifndef _DEFAULT_SOURCE", "#define _DEFAULT_SOURCE",
                                        "#endif", "#include \"kel.h\"", "",
                                        // The header's globals, defined once here.
                                        "FILE*\tkel_tracefile;", "int\tkel_stop_called;", "int\tkel_retval;", ""}) +
                                 kConversions + lines({
        "void\tkelerrlog(const char *msg, const char *file, size_t line){",
        "perror(msg); fprintf(stderr, \"%s:%lu\\n\", file, (unsigned long)line);",
        "}",
        "",
        "void\tkel_trace(int n, ...){",
        "int count; char *tmpstr; va_list ap; va_start(ap, n);",
        "for(count = 1; count < n; count++){",
        "\ttmpstr = va_arg(ap, char *);",
        "\tfwrite(tmpstr, strlen(tmpstr), 1, kel_tracefile);",
        "\tfwrite(\" \", 1, 1, kel_tracefile);",
        "\t}",
        "tmpstr = va_arg(ap, char *);",
        "\tfwrite(tmpstr, strlen(tmpstr), 1, kel_tracefile);",
        "va_end(ap);",
        "fwrite(\"\\n\", 1, 1, kel_tracefile);",
        "}",
        "",
    }) + traceFolder("fprintf(stderr, \"%s\\n\", msg);") + lines({
        "void\tkel_start(const char *appname){",
        "(void)appname;",
        "kel_stop_called = 0;",
        "",
        "kel_tracefile = kel_open_trace(\"trace.out\", 0);",
        "if(kel_tracefile == NULL){kel_trace_failed();exit(-1);}",
        "kel_trace(1, \"KEL TRACING BEGIN\");",
        "kel_trace(1, \"KEL PROTOCOL 01\");",
        "kel_trace(1, \"<template a=\\\"1\\\">\");",
        "kel_trace(1, \"  <x/>\");",
        "kel_trace(1, \"</template>\");",
        "kel_retval = atexit(kel_stop);",
        "if(kel_retval != 0){kelerrlog(\"atexit()\", __FILE__, __LINE__);exit(-1);}",
        "}",
        "",
        "void\tkel_stop(void){",
        "if(kel_stop_called){kelerrlog(\"KEL: loop detected! abort()!!!\", __FILE__, __LINE__);abort();}",
        "else{kel_stop_called = 1;}",
        "kel_trace(1, \"KEL TRACING DONE\");",
        "fflush(kel_tracefile);",
        "fclose(kel_tracefile);",
        "}",
        "",
    });
    EXPECT_EQ(expected, text.substr(afterBanner));
    std::ostringstream banner;
    writeBanner(mtExample(), banner);
    EXPECT_EQ(banner.str(), text.substr(0, afterBanner));
}

struct TraceCase {
    bool trap;
    bool remote;
    bool flush;
    std::string expected;
};

TEST(Runtime, DefinesTheGlobalsThatTheHeaderDeclares) {
    struct Case { const char* name; std::function<void(Template&)> apply; std::string globals; };
    const std::vector<Case> cases = {
        {"no mutex, file", [](Template&) {},
         lines({"FILE*\tkel_tracefile;", "int\tkel_stop_called;", "int\tkel_retval;", ""})},
        {"posix mutex, remote",
         [](Template& t) {
             t.multithreaded = true;
             t.remote_mode = true;
             t.trace_target = "localhost:5555";
         },
         lines({"pthread_mutex_t kel_mutex;", "int\tkel_socket;", "int\tkel_stop_called;", "int\tkel_retval;", ""})},
        {"win32 mutex, file",
         [](Template& t) {
             t.multithreaded = true;
             t.threading = "win32";
         },
         lines({"HANDLE kel_mutex;", "FILE*\tkel_tracefile;", "int\tkel_stop_called;", "int\tkel_retval;", ""})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        c.apply(t);
        EXPECT_EQ(c.globals, between(runtime(t), "#include \"kel.h\"\n\n", "char*\tkelsize_t2str(").substr(18));
    }
}

TEST(Runtime, TraceWriterForEveryWriteSetting) {
    const char* fw1 = "fwrite(tmpstr, strlen(tmpstr), 1, kel_tracefile);";
    const char* fw2 = "fwrite(\" \", 1, 1, kel_tracefile);";
    const char* fw3 = "fwrite(\"\\n\", 1, 1, kel_tracefile);";
    const char* fc = "if(kel_retval != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}";
    const char* sw1 = "send(kel_socket, tmpstr, strlen(tmpstr), 0);";
    const char* sw2 = "send(kel_socket, \" \", 1, 0);";
    const char* sw3 = "send(kel_socket, \"\\n\", 1, 0);";
    const char* sc = "if(kel_retval < 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(kel_retval);}";
    const std::string head = lines({"void\tkel_trace(int n, ...){"});
    const std::string open = lines({"int count; char *tmpstr; va_list ap; va_start(ap, n);",
                                    "for(count = 1; count < n; count++){", "\ttmpstr = va_arg(ap, char *);"});
    auto l = [](std::initializer_list<std::string> parts) {
        std::string s;
        for (const auto& p : parts) s += p + "\n";
        return s;
    };
    const std::string plainFile = head + open +
                                  l({std::string("\t") + fw1, std::string("\t") + fw2, "\t}",
                                     "tmpstr = va_arg(ap, char *);", std::string("\t") + fw1, "va_end(ap);", fw3});
    const std::string trapFile =
        head + open +
        l({std::string("\tkel_retval = (int)") + fw1, std::string("\t") + fc, std::string("\tkel_retval = (int)") + fw2,
           std::string("\t") + fc, "\t}", "tmpstr = va_arg(ap, char *);", std::string("kel_retval = (int)") + fw1, fc,
           "va_end(ap);", std::string("kel_retval = (int)") + fw3, fc});
    const std::string plainRemote = head + open +
                                    l({std::string("\t") + sw1, std::string("\t") + sw2, "\t}",
                                       "tmpstr = va_arg(ap, char *);", std::string("\t") + sw1, "va_end(ap);", sw3});
    const std::string trapRemote =
        head + open +
        l({std::string("\tkel_retval = (int)") + sw1, std::string("\t") + sc, std::string("\tkel_retval = (int)") + sw2,
           std::string("\t") + sc, "\t}", "tmpstr = va_arg(ap, char *);", std::string("kel_retval = (int)") + sw1, sc,
           "va_end(ap);", std::string("kel_retval = (int)") + sw3, sc});
    const std::string end = "}\n\n";
    const std::string flushChecked =
        "kel_retval = fflush(kel_tracefile);\n"
        "if(kel_retval != 0){kelerrlog(\"fflush()\", __FILE__, __LINE__); exit(kel_retval);}\n";

    const std::vector<TraceCase> cases = {
        {false, false, false, plainFile + end},
        {false, false, true, plainFile + "fflush(kel_tracefile);\n" + end},
        {true, false, false, trapFile + end},
        {true, false, true, trapFile + flushChecked + end},
        {false, true, false, plainRemote + end},
        {false, true, true, plainRemote + end},  // no flush on a socket
        {true, true, false, trapRemote + end},
        {true, true, true, trapRemote + end},
    };
    for (const TraceCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "trap_on_io_err=" << c.trap << " remote_mode=" << c.remote
                                        << " force_flush=" << c.flush);
        Template t = mtExample();
        t.trap_on_io_err = c.trap;
        t.remote_mode = c.remote;
        t.trace_target = "localhost:5555";
        t.force_flush = c.flush;
        EXPECT_EQ(c.expected, functionBlock(runtime(t), "void\tkel_trace(int n, ...){"));
    }
    // Without trap and flush the body is 12 lines, plus its empty line.
    EXPECT_EQ(13, std::count(cases[0].expected.begin(), cases[0].expected.end(), '\n'));
}

TEST(Runtime, ErrorLogForEachMode) {
    struct Case { const char* mode; std::string body; };
    const std::vector<Case> cases = {
        {"", "(void)msg; (void)file; (void)line;\n"},
        {"console", "perror(msg); fprintf(stderr, \"%s:%lu\\n\", file, (unsigned long)line);\n"},
        {"/var/log/kel err.log", lines({
             "FILE *fl;",
             "fl = fopen(\"/var/log/kel err.log\", \"a\");",
             "if(fl == NULL) return;",
             "fwrite(msg, strlen(msg), 1, fl);",
             "fwrite(\" \", 1, 1, fl);",
             "fwrite(file, strlen(file), 1, fl);",
             "fwrite(\":\", 1, 1, fl);",
             "fwrite(kelsize_t2str(line), strlen(kelsize_t2str(line)), 1, fl);",
             "fwrite(\"\\n\", 1, 1, fl);",
             "fflush(fl);",
             "fclose(fl);",
         })},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        Template t = mtExample();
        t.errlogmode = c.mode;
        const std::string text = runtime(t);
        EXPECT_EQ("void\tkelerrlog(const char *msg, const char *file, size_t line){\n" + c.body + "}\n\n",
                  functionBlock(text, "void\tkelerrlog(const char *msg, const char *file, size_t line){"));
        // Only a log file is removed when a run starts.
        const std::string start = functionBlock(text, "void\tkel_start(const char *appname){");
        const bool unlinks = start.find("\nunlink(\"/var/log/kel err.log\");\n") != std::string::npos;
        EXPECT_EQ(c.mode == std::string("/var/log/kel err.log"), unlinks);
    }
}

struct StartStopCase {
    const char* name;
    std::function<void(Template&)> apply;
    std::string start;
    std::string stop;
};

TEST(Runtime, StartAndStopForEachMutexKindAndTarget) {
    const std::string fileOpen = lines({
        "kel_tracefile = kel_open_trace(\"trace.out\", 0);",
        "if(kel_tracefile == NULL){kel_trace_failed();exit(-1);}",
    });
    const std::string startTail = lines({
        "kel_trace(1, \"KEL TRACING BEGIN\");",
        "kel_trace(1, \"KEL PROTOCOL 01\");",
        "kel_retval = atexit(kel_stop);",
        "if(kel_retval != 0){kelerrlog(\"atexit()\", __FILE__, __LINE__);exit(-1);}",
        "}",
        "",
    });
    const std::string stopHead = lines({
        "if(kel_stop_called){kelerrlog(\"KEL: loop detected! abort()!!!\", __FILE__, __LINE__);abort();}",
        "else{kel_stop_called = 1;}",
    });
    const std::string fileClose = lines({"kel_trace(1, \"KEL TRACING DONE\");", "fflush(kel_tracefile);",
                                         "fclose(kel_tracefile);", "}", ""});
    const std::string remoteStop =
        lines({"void\tkel_stop(void){"}) + stopHead +
        lines({"kel_trace(1, \"KEL TRACING DONE\");", "shutdown(kel_socket, SHUT_RDWR);", "close(kel_socket);", "}", ""});
    // kel_start in remote mode, connecting to `call`'s host and port.
    auto remoteStart = [&](const char* call) {
        return lines({"void\tkel_start(const char *appname){", "(void)appname;", "kel_stop_called = 0;", "", call,
                      "if(kel_socket < 0){kelerrlog(\"Vorna_ConnectClient()\", __FILE__, __LINE__);",
                      "\texit(kel_socket);}"}) +
               startTail;
    };
    const std::vector<StartStopCase> cases = {
        {"posix, file, log file",
         [](Template& t) {
             t.multithreaded = true;
             t.errlogmode = "err.log";
         },
         lines({"void\tkel_start(const char *appname){", "int rez;", "(void)appname;", "unlink(\"err.log\");",
                "kel_stop_called = 0;",
                "rez = pthread_mutex_init(&kel_mutex, NULL);",
                "if(rez){kelerrlog(\"pthread_mutex_init()\", __FILE__, __LINE__); exit(-2);}", ""}) +
             fileOpen + startTail,
         lines({"void\tkel_stop(void){", "int rez;"}) + stopHead +
             lines({"rez = pthread_mutex_destroy(&kel_mutex);",
                    "if(rez != 0){kelerrlog(\"pthread_mutex_destroy()\", __FILE__, __LINE__);exit(-1);}"}) +
             fileClose},
        {"win32, file",
         [](Template& t) {
             t.multithreaded = true;
             t.threading = "win32";
         },
         lines({"void\tkel_start(const char *appname){", "(void)appname;", "kel_stop_called = 0;",
                "kel_mutex = CreateMutex(NULL, FALSE, NULL);",
                "if(!kel_mutex){kelerrlog(\"CreateMutex()\", __FILE__, __LINE__); exit(-2);}", ""}) +
             fileOpen + startTail,
         lines({"void\tkel_stop(void){", "BOOL rez;"}) + stopHead +
             lines({"rez = CloseHandle(kel_mutex);",
                    "if(!rez){kelerrlog(\"CloseHandle()\", __FILE__, __LINE__);exit(-1);}"}) +
             fileClose},
        {"no mutex, remote",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "trace.example.org:5555";
         },
         remoteStart("kel_socket = Vorna_ConnectClient(\"trace.example.org\", 5555);"),
         remoteStop},
        {"remote target with two colons: the port text goes in unchanged",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "a:b:c";
         },
         remoteStart("kel_socket = Vorna_ConnectClient(\"a\", b:c);"),
         remoteStop},
        {"port cut to 7 characters",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "h:123456789";
         },
         remoteStart("kel_socket = Vorna_ConnectClient(\"h\", 1234567);"),
         remoteStop},
    };
    for (const StartStopCase& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        c.apply(t);
        const std::string text = runtime(t);
        EXPECT_EQ(c.start, functionBlock(text, "void\tkel_start(const char *appname){"));
        EXPECT_EQ(c.stop, functionBlock(text, "void\tkel_stop(void){"));
    }
}

TEST(Runtime, ConnectFunctionOnlyInRemoteModeWithItsStateDeclared) {
    Template t = mtExample();
    EXPECT_EQ(std::string::npos, runtime(t).find("Vorna_ConnectClient(char"));
    EXPECT_EQ(std::string::npos, runtime(t).find("econn_refused_state"));

    t.remote_mode = true;
    t.trace_target = "127.0.0.1:4000";
    const std::string expected = lines({
        "static int\teconn_refused_state = 0;",
        "",
        "static int\tVorna_ConnectClient(const char *host, unsigned short port){",
        "struct addrinfo hints;",
        "struct addrinfo *res;",
        "struct addrinfo *first;",
        "char port_str[6];",
        "int resoult;",
        "int sd = -1;",
        "int was_refused = 0;",
        "memset(&hints, 0, sizeof(hints));",
        "hints.ai_family = AF_UNSPEC;",
        "hints.ai_protocol = IPPROTO_TCP;",
        "hints.ai_socktype = SOCK_STREAM;",
        "",
        "snprintf(port_str, sizeof(port_str), \"%u\", port);",
        "resoult = getaddrinfo(host, port_str, &hints, &first);",
        "if(0 != resoult) return -1;",
        "else\t{",
        "\tres = first;",
        "\twhile(res){",
        "\t\tsd = socket(res->ai_family, SOCK_STREAM, IPPROTO_TCP);",
        "\t\tif(sd < 0){freeaddrinfo(first); return -1;}",
        "\t\tresoult = connect(sd, res->ai_addr, res->ai_addrlen);",
        "\t\tif(0 == resoult){was_refused = 0; break;}",
        "\t\tif(resoult < 0){",
        "\t\t\tswitch(errno){",
        "\t\t\t\tcase ECONNREFUSED:",
        "\t\t\t\tswitch (econn_refused_state){",
        "\t\t\t\t\t\tcase 0:",
        "\t\t\t\t\t\tcase 1:",
        "\t\t\t\t\t\twas_refused = 1;",
        "\t\t\t\t\t\t}",
        "\t\t\t\t\tbreak;",
        "\t\t\t\t\t}",
        "\t\t\t\t}",
        "\t\t\tclose(sd);",
        "\t\t\tres = res->ai_next;",
        "\t\t\t}",
        "\t\tfreeaddrinfo(first);",
        "\t\t}",
        "\tif(0 == resoult) return sd;",
        "\telse if(was_refused) return -1;",
        "\telse return -1;",
        "}",
        "",
    });
    // Between the conversions and the error log.
    EXPECT_EQ(expected, between(runtime(t), "static int\teconn_refused_state", "void\tkelerrlog("));
}

TEST(Runtime, ForkTrapOnlyWhenForkIsForbidden) {
    Template t = mtExample();
    const std::string allowed = runtime(t);
    EXPECT_EQ(allowed.size() - 4, allowed.rfind("\n}\n\n")) << "the runtime ends with kel_stop";
    EXPECT_EQ(std::string::npos, allowed.find("fork_forbidden"));

    t.fork_enabled = false;
    const std::string text = runtime(t);
    const std::string trap = lines({
        "pid_t mt_fork_forbidden(const char *mt_file, size_t mt_line) {",
        "kel_trace(1, \"KEL_TRAP\");",
        "kel_trace(1, \"fork()\");",
        "kel_trace(1, mt_file);",
        "kel_trace(1, kelsize_t2str(mt_line));",
        "abort();",
        "}",
        "",
    });
    ASSERT_GE(text.size(), trap.size());
    EXPECT_EQ(trap, text.substr(text.size() - trap.size()));
}

// Paths from the template reach fopen and unlink as they are: a quote, a
// backslash or a line feed in them is escaped, never C text.
TEST(Runtime, StringSettingsAreWrittenAsEscapedLiterals) {
    Template t = mtExample();
    t.errlogmode = "log \"x\"\\\n.txt";
    t.trace_target = "t\");system(\"id\");(\".out";
    const std::string text = runtime(t);
    const std::string start = functionBlock(text, "void\tkel_start(const char *appname){");
    EXPECT_NE(std::string::npos, start.find("\nunlink(\"log \\\"x\\\"\\\\\\012.txt\");\n")) << start;
    EXPECT_NE(std::string::npos,
              start.find("\nkel_tracefile = kel_open_trace(\"t\\\");system(\\\"id\\\");(\\\".out\", 0);\n"))
        << start;
    const std::string log = functionBlock(text, "void\tkelerrlog(const char *msg, const char *file, size_t line){");
    EXPECT_NE(std::string::npos, log.find("\nfl = fopen(\"log \\\"x\\\"\\\\\\012.txt\", \"a\");\n")) << log;

    t.trace_per_process = true;
    t.trace_target = "%p\\\"";
    EXPECT_NE(std::string::npos, runtime(t).find("\nkel_tracefile = kel_open_trace(kel_trace_path(\"%p\\\\\\\"\"), 1);\n"));

    t.remote_mode = true;
    t.trace_target = "h\"x\\:5555";
    EXPECT_NE(std::string::npos, runtime(t).find("\nkel_socket = Vorna_ConnectClient(\"h\\\"x\\\\\", 5555);\n"));
}

TEST(EscapeQuotes, QuotesBackslashesAndRepeatedQuestionMarksAreEscaped) {
    struct Case { const char* in; const char* out; };
    for (const Case& c : {Case{"", ""}, Case{"plain", "plain"}, Case{"a\"b", "a\\\"b"},
                          Case{"\"\"", "\\\"\\\""}, Case{"x\\0y", "x\\\\0y"}, Case{"\\\"", "\\\\\\\""},
                          Case{"tab\there", "tab\there"},
                          // A lone '?' stays as it is; from the second of a run on, each gets a
                          // backslash. (The inputs write the second of two question marks as an escape.)
                          Case{"<?xml version=\"1.0\"?>", "<?xml version=\\\"1.0\\\"?>"}, Case{"?", "?"},
                          Case{"a?\?/b", "a?\\?/b"}, Case{"?\?=", "?\\?="}, Case{"?\?\?", "?\\?\\?"},
                          Case{"? ?", "? ?"},
                          // A carriage return inside a line would end the literal for the compiler.
                          Case{"a\rb", "a\\015b"}}) {
        SCOPED_TRACE(c.in);
        std::string s = c.in;
        escapeQuotes(s);
        EXPECT_EQ(c.out, s);
    }
}

TEST(EmbedTemplateLines, EachNonEmptyLineBecomesOneTraceCall) {
    struct Case { const char* name; std::string file; std::string expected; };
    const std::vector<Case> cases = {
        {"empty lines skipped, blank line kept", "<t>\n\n   \n</template>\n",
         lines({"kel_trace(1, \"<t>\");", "kel_trace(1, \"   \");", "kel_trace(1, \"</template>\");"})},
        {"carriage returns dropped", "<t a=\"1\">\r\n\r\n</template>\r\n",
         lines({"kel_trace(1, \"<t a=\\\"1\\\">\");", "kel_trace(1, \"</template>\");"})},
        {"backslashes survive", "<e value=\"a\\0b\\\\\"/>\n",
         lines({"kel_trace(1, \"<e value=\\\"a\\\\0b\\\\\\\\\\\"/>\");"})},
        {"last line without line feed is not copied", "<t>\n</template>", lines({"kel_trace(1, \"<t>\");"})},
        {"a line over 254 characters ends the copy", "<t>\n" + std::string(255, 'x') + "\n</template>\n",
         lines({"kel_trace(1, \"<t>\");"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TemplateFile tpl(c.file);
        std::ostringstream out;
        embedTemplateLines(tpl.path(), out);
        EXPECT_EQ(c.expected, out.str());
    }
    // A template file that cannot be opened gives an empty block, not a
    // partial line.
    std::ostringstream out;
    embedTemplateLines("/nonexistent/t.xml", out);
    EXPECT_EQ("", out.str());
}

}  // namespace

namespace {

// trace_per_process: the file's name is made at kel_start, each "%p" the
// process id; absent, or in remote mode, kel_start opens the name as written.
TEST(Runtime, PerProcessTraceName) {
    Template t = mtExample();
    t.trace_target = "out/%p-trace-%p.txt";
    EXPECT_EQ(std::string::npos, runtime(t).find("kel_trace_path"));

    t.trace_per_process = true;
    const std::string text = runtime(t);
    EXPECT_EQ(lines({
                  "static char\t*kel_trace_path(const char *pattern){",
                  "static char\tpath[60];",  // 19 characters, two ids of at most 20 digits, the NUL
                  "char\tpid[24];",
                  "size_t\tused = 0;",
                  "sprintf(pid, \"%lu\", (unsigned long)getpid());",
                  "while(*pattern){",
                  "\tif(pattern[0] == '%' && pattern[1] == 'p'){",
                  "\t\tstrcpy(path + used, pid);",
                  "\t\tused += strlen(pid);",
                  "\t\tpattern += 2;",
                  "\t\t}",
                  "\telse\tpath[used++] = *pattern++;",
                  "\t}",
                  "path[used] = 0;",
                  "return(path);",
                  "}",
                  "",
              }),
              functionBlock(text, "static char\t*kel_trace_path(const char *pattern){"));
    // Between the trace writer and kel_start.
    EXPECT_LT(text.find("void\tkel_trace(int n, ...){"), text.find("kel_trace_path(const char"));
    EXPECT_LT(text.find("kel_trace_path(const char"), text.find("void\tkel_start(const char *appname){"));
    EXPECT_NE(std::string::npos,
              functionBlock(text, "void\tkel_start(const char *appname){")
                  .find("\nkel_tracefile = kel_open_trace(kel_trace_path(\"out/%p-trace-%p.txt\"), 1);\n"));

    t.compiler_type = "win32";
    EXPECT_NE(std::string::npos, runtime(t).find("#include <process.h>\nstatic char\t*kel_trace_path("));
    EXPECT_NE(std::string::npos, runtime(t).find("sprintf(pid, \"%lu\", (unsigned long)_getpid());"));

    t.compiler_type = "gcc";
    t.remote_mode = true;
    t.trace_target = "localhost:5555";
    EXPECT_EQ(std::string::npos, runtime(t).find("kel_trace_path"));
}

// auto_start: a constructor starts the trace; kel_start runs once, kel_trace
// writes only between the start and the stop, and kel.c undoes the macros a
// forced include defined before KEL_NO_REDEF.
TEST(Runtime, AutoStart) {
    Template t = mtExample();
    t.fork_enabled = false;
    const std::string without = runtime(t);
    EXPECT_EQ(std::string::npos, without.find("kel_started"));
    EXPECT_EQ(std::string::npos, without.find("constructor"));

    t.auto_start = true;
    const std::string text = runtime(t);
    EXPECT_NE(std::string::npos, text.find(lines({"int\tkel_retval;", "", "#undef fork", "#undef malloc", "#undef free",
                                                  "static int\tkel_started = 0; /* 1 while tracing, 2 after kel_stop */",
                                                  "", "char*\tkelsize_t2str(size_t size){"})));
    EXPECT_NE(std::string::npos, functionBlock(text, "void\tkel_trace(int n, ...){")
                                     .find(lines({"int count; char *tmpstr; va_list ap; va_start(ap, n);",
                                                  "if(kel_started != 1){va_end(ap); return;}",
                                                  "for(count = 1; count < n; count++){"})));
    EXPECT_EQ(0u, functionBlock(text, "void\tkel_start(const char *appname){")
                      .find(lines({"void\tkel_start(const char *appname){", "(void)appname;", "if(kel_started){return;}",
                                   "kel_started = 1;", "kel_stop_called = 0;"})));
    EXPECT_NE(std::string::npos,
              functionBlock(text, "void\tkel_stop(void){")
                  .find(lines({"kel_trace(1, \"KEL TRACING DONE\");", "kel_started = 2;", "fflush(kel_tracefile);"})));
    EXPECT_NE(std::string::npos,
              text.find(lines({"}", "", "static void\tkel_auto_start(void) __attribute__((constructor(101)));",
                               "static void\tkel_auto_start(void){", "kel_start(\"kel_auto_start\");", "}", ""}) +
                      "pid_t mt_fork_forbidden("));
}

}  // namespace
