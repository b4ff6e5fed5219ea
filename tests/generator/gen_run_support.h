// What the tests of the generated library share: the test template and its
// settings, one generated library built with a program in a scratch folder,
// trace helpers, and a TCP receiver for remote mode.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_command.h"
#include "temp_dir.h"

namespace genrun {

inline const std::string kKelgen = KELGEN;

// The settings of the test template, as the root element's attributes spell them.
struct Settings {
    std::string errlogmode = "console";
    std::string trap_on_io_err = "false";
    std::string remote_mode = "false";
    std::string force_flush = "false";
    std::string fork_enabled = "true";
    std::string multithreaded = "false";
    std::string threading = "posix";
    std::string compiler_type = "gcc";
    std::string trace_target = "trace.out";
    std::vector<std::string> includes = {"stdlib.h"};
    std::string moreDomains;  // whole domain elements after mem
    std::string moreSettings;  // optional root attributes, on a line of their own
};

// The malloc/free template: domain mem with sizes, malloc checked for NULL
// with its result as the handle, free checked against mem. One empty line
// inside, which the trace leaves out.
inline std::string memTemplate(const Settings& s) {
    std::string includes;
    for (const std::string& i : s.includes) includes += "    <includes>" + i + "</includes>\n";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<template name=\"run\" prefix=\"mt_\" errlogmode=\"" + s.errlogmode + "\" trap_on_io_err=\"" +
           s.trap_on_io_err + "\" remote_mode=\"" + s.remote_mode + "\" force_flush=\"" + s.force_flush +
           "\" fork_enabled=\"" + s.fork_enabled + "\" multithreaded=\"" + s.multithreaded + "\" threading=\"" +
           s.threading + "\" compiler_type=\"" + s.compiler_type + "\" trace_target=\"" + s.trace_target + "\"" +
           (s.moreSettings.empty() ? "" : "\n  " + s.moreSettings) + ">\n"
           "  <domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
           "    <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n" +
           includes +
           "\n"
           "    <tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"true\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <args type=\"void*\" name=\"ret\"/>\n"
           "      <args type=\"size_t\" name=\"size\"/>\n"
           "      <expr oper=\"==\" type=\"void*\" value=\"NULL\"/>\n"
           "    </tor>\n"
           "    <tor __type__=\"deallocator\" name=\"free\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
           "is_handle_arg_out=\"false\" handle_arg_out=\"0\" cpp_alias=\"\">\n"
           "      <validateDom_before>-</validateDom_before>\n"
           "      <validateDom_before>mem</validateDom_before>\n"
           "      <args type=\"void\" name=\"ret\"/>\n"
           "      <args type=\"void*\" name=\"ptr\"/>\n"
           "      <expr oper=\"\" type=\"void\" value=\"\"/>\n"
           "    </tor>\n"
           "  </domain>\n" +
           s.moreDomains + "</template>\n";
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The trace's template block: the template's non-empty lines.
inline std::string templateBlock(const std::string& templateText) {
    std::string block;
    for (const std::string& l : splitLines(templateText))
        if (!l.empty()) block += l + "\n";
    return block;
}

// The start of every trace: the two header lines and the template block.
inline std::string traceHead(const std::string& templateText) {
    return "KEL TRACING BEGIN\nKEL PROTOCOL 01\n" + templateBlock(templateText);
}

inline bool isHex16(const std::string& s) {
    return s.size() == 16 && s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// Handles vary from run to run: a hex16 field right after a verdict becomes
// "<handle>". Size lines stand alone and stay as written.
inline std::string maskHandles(const std::string& trace) {
    std::string out;
    for (std::string l : splitLines(trace)) {
        const auto blank = l.rfind(' ');
        if (blank != std::string::npos && isHex16(l.substr(blank + 1))) {
            const std::string before = l.substr(0, blank);
            const bool verdict = before == "OK" || before == "BAD" ||
                                 (before.size() > 4 && before.compare(before.size() - 3, 3, " OK") == 0) ||
                                 (before.size() > 4 && before.compare(before.size() - 4, 4, " BAD") == 0);
            if (verdict)
                l = before + " <handle>";
        }
        out += l + "\n";
    }
    return out;
}

// A C program of numbered lines: line i of the file is lines[i - 1].
inline std::string program(const std::map<int, std::string>& numbered, int last) {
    std::string text;
    for (int i = 1; i <= last; ++i) {
        const auto it = numbered.find(i);
        text += (it == numbered.end() ? std::string() : it->second) + "\n";
    }
    return text;
}

// The malloc/free example program: 64 bytes in line 12, released in line 20.
inline const std::string kExampleProgram = program({{1, "#include \"kel.h\""},
                                             {3, "int main(void)"},
                                             {4, "{"},
                                             {5, "\tvoid *block;"},
                                             {6, "\tkel_start(\"example\");"},
                                             {12, "\tblock = malloc(64);"},
                                             {20, "\tfree(block);"},
                                             {21, "\treturn 0;"},
                                             {22, "}"}},
                                            22);

// One generated library and the program built with it, in a scratch folder.
class Traced {
public:
    explicit Traced(const std::string& templateText) : templateText_(templateText) {
        dir_.write("t.xml", templateText);
        const CommandResult r = runCommand("cd " + dir_.path() + " && " + kKelgen + " t.xml kel.h kel.c");
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("Files kel.h, kel.c are generated.\n", r.out);
    }

    // Warnings are errors: the generated text has none.
    bool build(const std::string& source, const std::string& compiler = "gcc -pthread",
               const std::string& output = "prog") {
        dir_.write("main.c", source);
        const CommandResult r = runCommand("cd " + dir_.path() + " && " + compiler + " -Wall -Wextra -Werror -o " + output +
                                           " main.c kel.c");
        EXPECT_EQ(0, r.status) << r.err;
        return r.status == 0;
    }

    // The program's exit status as the shell reports it: 128 + n after signal n.
    CommandResult run() const {
        CommandResult r = runCommand("cd " + dir_.path() + " && { ./prog; echo $? >status; }");
        r.status = std::atoi(readWholeFile(dir_.file("status")).c_str());
        return r;
    }

    std::string file(const std::string& name) const { return readWholeFile(dir_.file(name)); }
    const TempDir& dir() const { return dir_; }
    std::string head() const { return traceHead(templateText_); }

    // Number of the first line of kel.c that holds `text`.
    int sourceLine(const std::string& text) const {
        const std::vector<std::string> ls = splitLines(file("kel.c"));
        for (std::size_t i = 0; i < ls.size(); ++i)
            if (ls[i].find(text) != std::string::npos) return static_cast<int>(i + 1);
        ADD_FAILURE() << "kel.c has no line with " << text;
        return 0;
    }

private:
    TempDir dir_;
    std::string templateText_;
};

inline const char* const kExampleRecords =
    "mem\nmalloc\nmain.c\n12\n0000000000000040\nOK\nOK <handle>\n"
    "mem\nfree\nmain.c\n20\nmem OK <handle>\nvoid\n-\n";

// A descriptor domain whose dup2 takes its handle from argument 2, so that
// the stored-handle form of the wrappers is compiled too.
inline const char* const kDescriptorDomain =
    "  <domain name=\"fd\" float_handle=\"false\" handle=\"int\" includesGlobal=\"true\">\n"
    "    <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
    "    <includes>unistd.h</includes>\n"
    "    <tor __type__=\"allocator\" name=\"dup2\" float_arg_n1=\"0\" float_arg_n2=\"0\" "
    "is_handle_arg_out=\"true\" handle_arg_out=\"2\" cpp_alias=\"\">\n"
    "      <validateDom_before>-</validateDom_before>\n"
    "      <validateDom_before>fd</validateDom_before>\n"
    "      <args type=\"int\" name=\"ret\"/>\n"
    "      <args type=\"int\" name=\"oldfd\"/>\n"
    "      <args type=\"int\" name=\"newfd\"/>\n"
    "      <expr oper=\"==\" type=\"int\" value=\"-1\"/>\n"
    "    </tor>\n"
    "  </domain>\n";

// One record as the wrappers write it, read back by its shape.
struct Record {
    std::string tor, file, line, handle;
    std::uint64_t size = 0;
};

// Reads the records after the template block up to "KEL TRACING DONE";
// returns false at the first line that breaks a record's shape.
inline bool readRecords(const std::vector<std::string>& ls, std::size_t i, std::vector<Record>& out, std::string& why) {
    auto fail = [&](std::size_t at) {
        why = "line " + std::to_string(at + 1) + ": '" + (at < ls.size() ? ls[at] : "<end>") + "'";
        return false;
    };
    while (i < ls.size() && ls[i] != "KEL TRACING DONE") {
        if (ls[i] != "mem" || i + 6 >= ls.size()) return fail(i);
        Record r;
        r.tor = ls[i + 1];
        r.file = ls[i + 2];
        r.line = ls[i + 3];
        if (r.line.empty() || r.line.find_first_not_of("0123456789") != std::string::npos) return fail(i + 3);
        if (r.tor == "malloc") {
            if (!isHex16(ls[i + 4])) return fail(i + 4);
            r.size = std::stoull(ls[i + 4], nullptr, 16);
            if (ls[i + 5] != "OK") return fail(i + 5);
            if (ls[i + 6].compare(0, 3, "OK ") != 0 || !isHex16(ls[i + 6].substr(3))) return fail(i + 6);
            r.handle = ls[i + 6].substr(3);
        } else if (r.tor == "free") {
            if (ls[i + 4].compare(0, 7, "mem OK ") != 0 || !isHex16(ls[i + 4].substr(7))) return fail(i + 4);
            r.handle = ls[i + 4].substr(7);
            if (ls[i + 5] != "void") return fail(i + 5);
            if (ls[i + 6] != "-") return fail(i + 6);
        } else {
            return fail(i + 1);
        }
        out.push_back(r);
        i += 7;
    }
    if (i + 1 != ls.size()) return fail(i);
    return true;
}

// Accepts one connection on 127.0.0.1 and keeps every byte until the peer
// closes. Waits are bounded so that a traced program that never connects
// fails the test instead of hanging it.
class TraceReceiver {
public:
    TraceReceiver() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 1);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { receive(); });
    }
    ~TraceReceiver() {
        if (thread_.joinable()) {
            // Nobody connected (the test failed before running the program):
            // connect once so that the receiving thread ends at once.
            const int wake = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<std::uint16_t>(port_));
            ::connect(wake, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            ::close(wake);
            thread_.join();
        }
        ::close(listener_);
    }
    int port() const { return port_; }
    std::string bytes() {
        thread_.join();
        return bytes_;
    }

private:
    static bool ready(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 60000) == 1;
    }
    void receive() {
        if (!ready(listener_)) return;
        const int peer = ::accept(listener_, nullptr, nullptr);
        if (peer < 0) return;
        char buffer[4096];
        while (ready(peer)) {
            const ssize_t n = ::read(peer, buffer, sizeof buffer);
            if (n <= 0) break;
            bytes_.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(peer);
    }

    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string bytes_;
};

}  // namespace genrun
