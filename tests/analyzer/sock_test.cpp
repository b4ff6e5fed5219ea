// keltrace --sock: host:port parsing, ports it cannot take, and the whole
// path end to end: kelgen writes a remote-mode library, gcc builds a program
// with it, keltrace listens on 127.0.0.1, the program connects and runs, and
// keltrace reports exactly what --file reports on the same program's trace
// file, printing findings while the program is still running.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_command.h"
#include "temp_dir.h"
#include "trace_listener.h"

namespace {

const std::string kKelgen = KELGEN;
const std::string kKeltrace = KELTRACE;
const std::string kTemplate = std::string(KEL_SOURCE_DIR) + "/tests/analyzer/templates/kt.xml";

struct HostPortCase {
    const char* text;
    bool ok;
    const char* host;
    const char* port;
};

TEST(ParseHostPort, AcceptsNamesAndAddressesWithAPortFrom1To65535) {
    const HostPortCase cases[] = {
        {"127.0.0.1:12345", true, "127.0.0.1", "12345"},
        {"localhost:1", true, "localhost", "1"},
        {"localhost:65535", true, "localhost", "65535"},
        {"[::1]:8080", true, "::1", "8080"},
        {"::1:8080", true, "::1", "8080"},  // the last colon separates the port
        {"localhost:65536", false, "", ""},
        {"localhost:0", false, "", ""},
        {"localhost:00000", false, "", ""},
        {"localhost:123456", false, "", ""},
        {"localhost:-1", false, "", ""},
        {"localhost:12a", false, "", ""},
        {"localhost: 80", false, "", ""},
        {"localhost:", false, "", ""},
        {":80", false, "", ""},
        {"[]:80", false, "", ""},
        {"localhost", false, "", ""},
        {"", false, "", ""},
    };
    for (const HostPortCase& c : cases) {
        SCOPED_TRACE(c.text);
        HostPort hp{"unset", "unset"};
        ASSERT_EQ(parseHostPort(c.text, hp), c.ok);
        if (c.ok) {
            EXPECT_EQ(hp.host, c.host);
            EXPECT_EQ(hp.port, c.port);
        }
    }
}

// A port on 127.0.0.1 that was free a moment ago.
int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}

TEST(ListenCandidates, IPv4AddressesComeFirstInTheirOrder) {
    // localhost often resolves to ::1 before 127.0.0.1; the traced program
    // only ever connects over IPv4, so that is where keltrace must listen.
    addrinfo v6a{}, v4a{}, v6b{}, v4b{};
    v6a.ai_family = AF_INET6;
    v4a.ai_family = AF_INET;
    v6b.ai_family = AF_INET6;
    v4b.ai_family = AF_INET;
    v6a.ai_next = &v4a;
    v4a.ai_next = &v6b;
    v6b.ai_next = &v4b;
    const std::vector<const addrinfo*> order = listenCandidates(&v6a);
    EXPECT_EQ((std::vector<const addrinfo*>{&v4a, &v4b, &v6a, &v6b}), order);
    EXPECT_TRUE(listenCandidates(nullptr).empty());
}

TEST(KeltraceSock, PortInUseIsReportedWithStatus2) {
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    socklen_t len = sizeof addr;
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string where = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    TempDir dir;
    const CommandResult r = runCommand("cd '" + dir.path() + "' && '" + kKeltrace + "' --sock " + where);
    ::close(taken);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "keltrace: cannot listen on " + where + ": Address already in use\n");
}

// ---------------------------------------------------------------- end to end

// A running program with its standard input and output on pipes.
struct Child {
    pid_t pid = -1;
    int in = -1;   // write end of the child's standard input, or -1
    int out = -1;  // read end of the child's standard output

    // Runs argv in dir; standard error goes to errFile.
    Child(const std::vector<std::string>& argv, const std::string& dir, const std::string& errFile, bool pipeIn) {
        int inPipe[2] = {-1, -1}, outPipe[2];
        if (pipeIn && ::pipe(inPipe) != 0) return;
        if (::pipe(outPipe) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            if (::chdir(dir.c_str()) != 0) _exit(126);
            const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(pipeIn ? inPipe[0] : null, 0);
            ::dup2(outPipe[1], 1);
            ::dup2(err, 2);
            for (int fd = 3; fd < 256; ++fd) ::close(fd);
            std::vector<char*> args;
            for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            _exit(127);
        }
        if (pipeIn) {
            ::close(inPipe[0]);
            in = inPipe[1];
        }
        ::close(outPipe[1]);
        out = outPipe[0];
    }
    ~Child() {
        if (in >= 0) ::close(in);
        if (out >= 0) ::close(out);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    bool running() { return pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == 0; }
    // Reads standard output until it holds `text` or ends; waits are bounded
    // so that a fault fails the test instead of hanging it.
    bool readUntil(std::string& got, const std::string& text) {
        char buffer[4096];
        while (got.find(text) == std::string::npos) {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 60000) != 1) return false;
            const ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0) return false;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }
    // Reads standard output to its end.
    void readAll(std::string& got) {
        char buffer[4096];
        for (;;) {
            pollfd p{out, POLLIN, 0};
            if (::poll(&p, 1, 60000) != 1) return;
            const ssize_t n = ::read(out, buffer, sizeof buffer);
            if (n <= 0) return;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }
    int wait() {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void closeInput() {
        ::close(in);
        in = -1;
    }
};

// True once something listens on 127.0.0.1:port (the kernel's table, so no
// connection is spent on finding out).
bool listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    for (int tries = 0; tries < 3000; ++tries) {
        std::ifstream tcp("/proc/net/tcp");
        for (std::string l; std::getline(tcp, l);) {
            std::istringstream fields(l);
            std::string slot, addr, remote, state;
            fields >> slot >> addr >> remote >> state;
            if (addr == local && state == "0A") return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Handles vary from run to run: "0x" and 16 hex digits become "0x<handle>".
std::string masked(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "0x") == 0 && i + 18 <= text.size() &&
            text.find_first_not_of("0123456789ABCDEF", i + 2) >= i + 18) {
            out += "0x<handle>";
            i += 18;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// Replaces the one attribute `name="..."` of a template text.
std::string withAttribute(std::string text, const std::string& name, const std::string& value) {
    const std::string key = " " + name + "=\"";
    const std::size_t from = text.find(key);
    if (from == std::string::npos) return text;
    const std::size_t start = from + key.size();
    return text.replace(start, text.find('"', start) - start, value);
}

// Numbered so that the call sites in the findings can be checked by eye:
// a leak that grows by realloc, a stack buffer passed where a heap block
// belongs, a zero-byte block freed unused, a FILE opened, used and closed,
// and a pause on standard input after the misuse. With an argument the
// program dies before it ends.
const char* const kProgram =
    "#include \"kel.h\"\n"                                  // 1
    "int main(int argc, char **argv)\n"                     // 2
    "{\n"                                                   // 3
    "\tchar *a, *b, *z, buf[16]; FILE *f;\n"                // 4
    "\tkel_start(argv[0]);\n"                               // 5
    "\ta = malloc(32);\n"                                   // 6
    "\ta = realloc(a, 64);\n"                               // 7
    "\tmemset(a, 0, 64);\n"                                 // 8
    "\tb = malloc(16);\n"                                   // 9
    "\tmemset(b, 1, 16);\n"                                 // 10
    "\tfree(b);\n"                                          // 11
    "\tmemset(buf, 0, sizeof buf);\n"                       // 12
    "\tgetchar();\n"                                        // 13
    "\tz = malloc(0);\n"                                    // 14
    "\tfree(z);\n"                                          // 15
    "\tf = fopen(\"/dev/null\", \"w\");\n"                  // 16
    "\tfwrite(a, 1, 4, f);\n"                               // 17
    "\tfclose(f);\n"                                        // 18
    "\tif (argc > 1) abort();\n"                            // 19
    "\treturn 0;\n"                                         // 20
    "}\n";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::string page;  // report.html in keltrace's folder, when an option wrote it
};

// Builds kProgram with a library generated from kt.xml, as file or remote mode.
bool build(const TempDir& dir, const std::string& remoteTarget) {
    std::ifstream in(kTemplate);
    std::stringstream text;
    text << in.rdbuf();
    std::string t = text.str();
    if (!remoteTarget.empty()) {
        t = withAttribute(t, "remote_mode", "true");
        t = withAttribute(t, "trace_target", remoteTarget);
    }
    dir.write("t.xml", t);
    dir.write("prog.c", kProgram);
    const CommandResult r = runCommand("(cd '" + dir.path() + "' && '" + kKelgen +
                                       "' t.xml kel.h kel.c && gcc -Wall -Wextra -o prog prog.c kel.c -I.)");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return r.status == 0;
}

Outcome fileMode(const std::vector<std::string>& args, const std::string& options = "") {
    TempDir dir;
    Outcome o;
    if (!build(dir, "")) return o;
    std::string programArgs;
    for (const std::string& a : args) programArgs += " " + a;
    runCommand("cd '" + dir.path() + "' && ./prog" + programArgs);
    const CommandResult r = runCommand("cd '" + dir.path() + "' && '" + kKeltrace + "' " + options + " --file trace.out");
    o.status = r.status;
    o.out = r.out;
    o.err = r.err;
    o.page = readWholeFile(dir.file("report.html"));
    return o;
}

// keltrace --sock with the remote-mode program; `early` is the finding that
// must be printed while the program waits on its standard input.
Outcome sockMode(const std::vector<std::string>& args, const std::string& early, bool& seenEarly,
                 const std::vector<std::string>& options = {}) {
    seenEarly = false;
    TempDir analyser, traced;
    Outcome o;
    const int port = freePort();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    if (!build(traced, where)) return o;

    std::vector<std::string> keltraceArgs{kKeltrace};
    keltraceArgs.insert(keltraceArgs.end(), options.begin(), options.end());
    keltraceArgs.push_back("--sock");
    keltraceArgs.push_back(where);
    Child keltrace(keltraceArgs, analyser.path(), analyser.file("err"), false);
    EXPECT_TRUE(listening(port)) << "keltrace does not listen on " << where;
    std::vector<std::string> argv{traced.file("prog")};
    argv.insert(argv.end(), args.begin(), args.end());
    Child program(argv, traced.path(), traced.file("err"), true);

    if (!early.empty()) seenEarly = keltrace.readUntil(o.out, early) && program.running();
    program.closeInput();
    program.wait();
    keltrace.readAll(o.out);
    o.status = keltrace.wait();
    std::ifstream err(analyser.file("err"));
    std::stringstream e;
    e << err.rdbuf();
    o.err = e.str();
    o.page = readWholeFile(analyser.file("report.html"));
    return o;
}

const char* const kMisuse = "Error: Unallocated resource usage 0x";

TEST(KeltraceSock, LiveProgramGivesTheFindingsOfFileMode) {
    const Outcome file = fileMode({});
    bool early = false;
    const Outcome sock = sockMode({}, kMisuse, early);
    EXPECT_TRUE(early) << "the misuse was not reported while the program ran";

    // Worked out from kProgram: the stack buffer, the unused zero-byte block
    // (with its warning at allocation), and the grown block that leaks.
    const std::string expected =
        "Error: Unallocated resource usage 0x<handle> by mem:memset at prog.c:12\n"
        "Warning: allocation zero bytes by mem:malloc at prog.c:14\n"
        "Warning: deallocation of resource 0x<handle> by mem:free at prog.c:15 while allocated at prog.c:14 "
        "which never operated.\n"
        "Error: resource leak; handle 0x<handle> from 'mem' allocated at prog.c:7 not deallocated. "
        "Bytes leaked: 64\n";
    EXPECT_EQ(masked(file.out), expected);
    EXPECT_EQ(file.status, 1);
    EXPECT_EQ(file.err, "");
    EXPECT_EQ(masked(sock.out), masked(file.out));
    EXPECT_EQ(sock.err, file.err);
    EXPECT_EQ(sock.status, file.status);
}

// The program dies: the connection closes without "KEL TRACING DONE", which
// is the early end of a trace file, with its message and the leak report.
TEST(KeltraceSock, ProgramThatDiesGivesTheEarlyEndOfFileMode) {
    const Outcome file = fileMode({"crash"});
    bool early = false;
    const Outcome sock = sockMode({"crash"}, kMisuse, early);
    EXPECT_TRUE(early);
    EXPECT_EQ(file.status, 1);
    EXPECT_NE(file.err.find("the trace ends without \"KEL TRACING DONE\""), std::string::npos) << file.err;
    EXPECT_NE(masked(file.out).find("Error: resource leak; handle 0x<handle> from 'mem' allocated at prog.c:7"),
              std::string::npos)
        << file.out;
    EXPECT_EQ(masked(sock.out), masked(file.out));
    EXPECT_EQ(sock.err, file.err);
    EXPECT_EQ(sock.status, file.status);
}

// The report options work the same with --sock: the grouped view, its
// summary and the --error-exitcode verdict are those of --file.
TEST(KeltraceSock, ReportOptionsGiveTheOutputOfFileMode) {
    const Outcome file = fileMode({}, "--group --error-exitcode 7");
    bool early = false;
    const Outcome sock = sockMode({}, "", early, {"--group", "--error-exitcode", "7"});
    // Worked out from kProgram, as above, grouped.
    EXPECT_EQ(file.out,
              "1 x untracked-use (error): mem:memset at prog.c:12\n"
              "1 x zero-alloc (warning): mem:malloc at prog.c:14\n"
              "1 x never-used (warning): mem:free at prog.c:15\n"
              "1 x leak (error): mem:realloc at prog.c:7, 64 bytes\n"
              "Summary: 2 errors (1 leak, 64 bytes leaked), 2 warnings, 0 suppressed\n");
    EXPECT_EQ(file.status, 7);
    EXPECT_EQ(sock.out, file.out);
    EXPECT_EQ(sock.err, file.err);
    EXPECT_EQ(sock.status, 7);
}

// The text of a page's data between two of its keys.
std::string between(const std::string& page, const std::string& from, const std::string& to) {
    const std::size_t a = page.find(from);
    const std::size_t b = page.find(to, a);
    return a == std::string::npos || b == std::string::npos ? "" : page.substr(a, b - a);
}

// --html with --sock: the live resources are sampled as the records arrive,
// and the chart is the one --file draws from the same program.
TEST(KeltraceSock, HtmlReportGivesTheChartOfFileMode) {
    const Outcome file = fileMode({}, "--html report.html");
    bool early = false;
    const Outcome sock = sockMode({}, "", early, {"--html", "report.html"});
    EXPECT_EQ(file.status, 1);
    EXPECT_EQ(sock.status, 1);
    // Twelve records (prog.c's lines 6 to 18 but 13); one sample each. After
    // each: mem holds a, a, a, a and b, both, a, a, a and z, a, a, a, a; the
    // FILE is open after lines 16 and 17.
    const std::string chart = between(file.page, "\"chart\":", ",\"groups\":");
    EXPECT_NE(chart.find("\"records\":12,\"width\":1,\"samples\":12,"), std::string::npos) << chart;
    EXPECT_NE(chart.find("{\"name\":\"mem\",\"sized\":true,\"handles\":{\"min\":[1,1,1,2,2,1,1,2,1,1,1,1],"),
              std::string::npos)
        << chart;
    EXPECT_NE(chart.find("\"bytes\":{\"min\":[32,64,64,80,80,64,64,64,64,64,64,64],"), std::string::npos) << chart;
    EXPECT_NE(chart.find("{\"name\":\"FILE\",\"sized\":false,\"handles\":{\"min\":[0,0,0,0,0,0,0,0,0,1,1,0],"),
              std::string::npos)
        << chart;
    EXPECT_EQ(between(sock.page, "\"chart\":", ",\"groups\":"), chart);
    EXPECT_NE(sock.page.find("\"trace\":\"127.0.0.1:"), std::string::npos);
}

// Findings are written without a flush each, so this one proves that they
// are flushed before keltrace waits for more input: the test itself plays the
// traced program, sends a record with a finding, and waits for the finding on
// keltrace's standard output while the connection is still open.
TEST(KeltraceSock, FindingsReachTheOutputBeforeThePeerCloses) {
    TempDir analyser;
    const int port = freePort();
    const std::string where = "127.0.0.1:" + std::to_string(port);
    Child keltrace({kKeltrace, "--sock", where}, analyser.path(), analyser.file("err"), false);
    ASSERT_TRUE(listening(port)) << "keltrace does not listen on " << where;

    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(peer, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    auto send = [peer](const std::string& bytes) {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    };
    std::string header = "KEL TRACING BEGIN\nKEL PROTOCOL 01\n";
    std::ifstream in(kTemplate);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) header += l + "\n";
    // A release of a block never allocated, and the first line of the next
    // record, which keltrace reads ahead before it can finish this one.
    send(header + "mem\nfree\np.c\n3\nmem OK 0000000000000042\nvoid\n-\nmem\n");

    std::string out;
    const std::string finding =
        "Error: deallocation of unallocated valid handle 0x0000000000000042 by mem:free at p.c:3\n";
    EXPECT_TRUE(keltrace.readUntil(out, finding)) << "output so far: " << out;
    EXPECT_TRUE(keltrace.running());

    send("malloc\np.c\n4\n0000000000000010\nOK\nOK 0000000000000050\nKEL TRACING DONE\n");
    ::close(peer);
    keltrace.readAll(out);
    EXPECT_EQ(keltrace.wait(), 1);
    EXPECT_EQ(out, finding +
                       "Error: resource leak; handle 0x0000000000000050 from 'mem' allocated at p.c:4 not deallocated. "
                       "Never operated. Bytes leaked: 16\n");
}

}  // namespace
