// The library generator: every line of kel.h and kel.c is written here, one
// helper call per line, so that each block reads like the C text it produces.
#include "gen_c.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ccloader.h"
#include "kel_version.h"
#include "trace_protocol.h"

namespace {

// One helper writes a whole line: pieces joined, then std::endl.
template <class... P>
void line(std::ostream& out, const P&... pieces) {
    (out << ... << pieces) << std::endl;
}

bool isVoid(const std::string& type) { return type == "void"; }

const std::string& returnType(const Tor& tor) { return tor.args.at(0).type; }

// The name of argument i; positions were checked against args before any
// writer runs, and at() keeps a direct caller from reading past the end.
const std::string& argName(const Tor& tor, std::int64_t i) {
    return tor.args.at(static_cast<std::size_t>(i)).name;
}

bool isAliased(const Tor& tor) { return !tor.cpp_alias.empty(); }

// The parameters (args 1 and up) in the three forms the generated text uses:
// "type name, " each, "name, " each, and the names joined by ", ".
std::string declaredParameters(const Tor& tor) {
    std::string s;
    for (std::size_t i = 1; i < tor.args.size(); ++i) s += tor.args[i].type + " " + tor.args[i].name + ", ";
    return s;
}

std::string passedParameters(const Tor& tor) {
    std::string s;
    for (std::size_t i = 1; i < tor.args.size(); ++i) s += tor.args[i].name + ", ";
    return s;
}

std::string parameterNames(const Tor& tor) {
    std::string s = passedParameters(tor);
    if (!s.empty()) s.resize(s.size() - 2);
    return s;
}

// The kind lists in the order the header declares them.
template <class F>
void forEachTorHeaderOrder(const Domain& d, F visit) {
    for (const auto* list : {&d.allocators, &d.deallocators, &d.reallocators, &d.operators})
        for (const Tor& tor : *list) visit(tor);
}

// The kind lists in the order the source defines the wrappers.
template <class F>
void forEachTorSourceOrder(const Domain& d, F visit) {
    for (const auto* list : {&d.allocators, &d.reallocators, &d.operators, &d.deallocators})
        for (const Tor& tor : *list) visit(tor);
}

// Host and port of a remote trace_target: the text before and after the first
// ':' among its first 99 characters, the port cut to 7 characters.
bool splitTarget(const std::string& target, std::string& host, std::string& port) {
    const std::string head = target.substr(0, 99);
    const auto colon = head.find(':');
    if (colon == std::string::npos) return false;
    host = head.substr(0, colon);
    port = head.substr(colon + 1, 7);
    return true;
}

bool errlogIsFile(const Template& t) { return !t.errlogmode.empty() && t.errlogmode != "console"; }

// A trace field that the protocol fixes, as a C string literal.
std::string quoted(const std::string& field) { return "\"" + field + "\""; }

std::string kelTrace1(const std::string& field) { return "kel_trace(1, " + quoted(field) + ");"; }

// A generated test: a true condition traces "BAD", a false one "OK". `fields`
// are the kel_trace arguments before the verdict (count first), `rest` what
// follows it.
void writeVerdict(std::ostream& out, const std::string& condition, const std::string& fields,
                  const std::string& rest) {
    line(out, "\tif(", condition, "){");
    line(out, "\t\tkel_trace(", fields, quoted(kelproto::kBAD), rest);
    line(out, "\t}");
    line(out, "\telse\t{");
    line(out, "\t\tkel_trace(", fields, quoted(kelproto::kOK), rest);
    line(out, "\t}");
}

}  // namespace

MutexKind mutexKind(const Template& t) {
    if (!t.multithreaded) return MutexKind::none;
    if (t.threading == "posix") return MutexKind::posix;
    if (t.threading == "win32") return MutexKind::win32;
    return MutexKind::none;
}

// ---------------------------------------------------------------- header

void writeBanner(const Template& t, std::ostream& out) {
    line(out, "/***************************************************************************");
    line(out, "* Tracing library for one program under test: include kel.h, build kel.c with it.");
    line(out, "*");
    line(out, "* THIS FILE GENERATED FROM TEMPLATE '", t.name, "'");
    line(out, "* BY KEL LIBRARY GENERATOR VERSION ", kelversion::kMajor, kelversion::kMinor,
         kelversion::kPatch);
    line(out, "*");
    line(out, "* KEL MARKED \"", "VELMARIS", "\"");
    line(out, "*");
    line(out, "* !!! DON'T TOUCH THESE UNLESS YOU REALLY KNOW WHAT YOU'RE DOING !!!");
    line(out, "****************************************************************************/");
    line(out);
}

void writeHeader(const Template& t, std::ostream& out) {
    const MutexKind mutex = mutexKind(t);
    writeBanner(t, out);

    line(out, "#ifndef __pd_", t.prefix, "h__");
    line(out, "#define __pd_", t.prefix, "h__");
    line(out);
    line(out, "#ifdef __cplusplus");
    line(out, "extern \"C\" {");
    line(out, "#endif");
    line(out);

    switch (mutex) {
        case MutexKind::posix:
            line(out, "#include <pthread.h>");
            break;
        case MutexKind::win32:
            line(out, "#include <Windows.h>");
            line(out, "#include <Winbase.h>");
            break;
        case MutexKind::none:
            break;
    }
    line(out);

    for (const Domain& d : t.domains)
        for (const std::string& include : d.includes) {
            if (d.includesGlobal)
                line(out, "#include ", "<", include, ">");
            else
                line(out, "#include ", "\"", include, "\"");
        }
    line(out);

    if (t.compiler_type == "gcc") {
        if (t.remote_mode) {
            line(out, "#include <sys/types.h>");
            line(out, "#include <sys/socket.h>");
            line(out, "#include <sys/errno.h> /* ECONNREFUSED */");
            line(out, "#include <netdb.h>");
            line(out, "#include <netinet/in.h>");
        }
        line(out, "#include <stdarg.h>");
        line(out, "#include <stdio.h>");
        line(out, "#include <stdlib.h> /* exit() */");
        line(out, "#include <string.h> /* strlen() */");
        line(out, "#include <unistd.h> /* unlink() */");
        line(out, "typedef unsigned long long keluint64;");
    } else if (t.compiler_type == "win32") {
        if (t.remote_mode) line(out, "#include <winsock2.h>");
        line(out, "typedef unsigned __int64 keluint64;");
    } else {
        line(std::cerr, "NYI at ", "gen_c", ":", 373);
    }

    switch (mutex) {
        case MutexKind::posix:
            line(out, "pthread_mutex_t kel_mutex;");
            break;
        case MutexKind::win32:
            line(out, "HANDLE kel_mutex;");
            break;
        case MutexKind::none:
            break;
    }
    if (t.remote_mode)
        line(out, "int\tkel_socket;");
    else
        line(out, "FILE*\tkel_tracefile;");
    line(out, "int\tkel_stop_called;");
    line(out, "int\tkel_retval;");
    line(out);

    line(out, "char*\tkelsize_t2str(size_t size);");
    line(out, "char*\tkeluint64tostr", 1, " (keluint64 value);");
    line(out, "void\tkelerrlog(char *msg, const char *file, size_t line);");
    line(out, "void\tkel_trace(int n, ...);");
    line(out, "void\tkel_start(const char *appname);");
    line(out, "void\tkel_stop(void);");
    line(out);

    writeDeclarations(t, out);
    writeRedefinitions(t, out);
    line(out);

    line(out, "#ifdef __cplusplus");
    line(out, "}");
    line(out, "#endif");
    line(out);
    line(out, "#endif");
}

void writeDeclarations(const Template& t, std::ostream& out) {
    line(out, "/* foo decl BEGIN ***********************************/");
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (isAliased(tor)) return;
            line(out, returnType(tor));
            line(out, t.prefix, tor.name, "(", declaredParameters(tor), "const char *file, size_t line);");
            line(out);
        });
    line(out, "/* foo decl END *************************************/");
    line(out);
}

void writeRedefinitions(const Template& t, std::ostream& out) {
    line(out, "/* foo redef BEGIN **************************************/");
    line(out, "#ifndef KEL_NO_REDEF");
    if (!t.fork_enabled) line(out, "#define fork()\t", t.prefix, "fork_forbidden(__FILE__, __LINE__);");
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (isAliased(tor)) return;
            line(out, "#define ", tor.name, "(", parameterNames(tor), ")\t", t.prefix, tor.name, "(",
                 passedParameters(tor), "__FILE__, __LINE__)");
        });
    line(out, "#endif");
    line(out, "/* foo redef END ****************************************/");
}

// ---------------------------------------------------------------- runtime

namespace {

void writeConversions(std::ostream& out) {
    line(out, "char*\tkelsize_t2str(size_t size){");
    line(out, "static char buff[32];");
    line(out, "sprintf(buff, \"%u\", size);");
    line(out, "return(buff);");
    line(out, "}");
    line(out);

    line(out, "char*\tkeluint64tostr", 1, "(keluint64 value){");
    line(out, "static char\tbuff[32];");
    line(out, "keluint64\ta, b;");
    line(out, "size_t\ti;");
    line(out, "a = value;");
    line(out, "for(i = 0; i < 16; i++){");
    line(out, "\tb = a % 16;");
    line(out, "\ta /= 16;");
    line(out, "\tif(b < 10) {");
    line(out, "\t\tbuff[15 - i] = '0' + b;");
    line(out, "\t\t}");
    line(out, "\telse\t{");
    line(out, "\t\tb -= 10;");
    line(out, "\t\tbuff[15 - i] = 'A' + b;");
    line(out, "\t\t}");
    line(out, "\t}");
    line(out, "buff[16] = 0;");
    line(out, "return(buff);");
    line(out, "}");
    line(out);
}

void writeConnectClient(std::ostream& out) {
    // The connect function reads this state; nothing else declares it.
    line(out, "static int\teconn_refused_state = 0;");
    line(out);
    line(out, "int\tVorna_ConnectClient(char *host, unsigned short port){");
    line(out, "struct addrinfo hints;");
    line(out, "struct addrinfo *res;");
    line(out, "char port_str[6];");
    line(out, "int resoult;");
    line(out, "int sd;");
    line(out, "int was_refused;");
    line(out, "memset(&hints, 0, sizeof(hints));");
    line(out, "hints.ai_family = AF_UNSPEC;");
    line(out, "hints.ai_protocol = IPPROTO_TCP;");
    line(out, "hints.ai_socktype = SOCK_STREAM;");
    line(out);
    line(out, "snprintf(port_str, sizeof(port_str), \"%u\", port);");
    line(out, "resoult = getaddrinfo(host, port_str, &hints, &res);");
    line(out, "if(0 != resoult) return -1;");
    line(out, "else\t{");
    line(out, "\twhile(res){");
    line(out, "\t\tsd = socket(PF_INET, SOCK_STREAM, IPPROTO_TCP);");
    line(out, "\t\tif(sd < 0){freeaddrinfo(res); return -1;}");
    line(out, "\t\tresoult = connect(sd, res->ai_addr, res->ai_addrlen);");
    line(out, "\t\tif(0 == resoult){was_refused = 0; break;}");
    line(out, "\t\tif(resoult < 0){");
    line(out, "\t\t\tswitch(errno){");
    line(out, "\t\t\t\tcase ECONNREFUSED:");
    line(out, "\t\t\t\tswitch (econn_refused_state){");
    line(out, "\t\t\t\t\t\tcase 0:");
    line(out, "\t\t\t\t\t\tcase 1:");
    line(out, "\t\t\t\t\t\twas_refused = 1;");
    line(out, "\t\t\t\t\t\t}");
    line(out, "\t\t\t\t\tbreak;");
    line(out, "\t\t\t\t\t}");
    line(out, "\t\t\t\t}");
    line(out, "\t\t\tclose(sd);");
    line(out, "\t\t\tres = res->ai_next;");
    line(out, "\t\t\t}");
    line(out, "\t\tfreeaddrinfo(res);");
    line(out, "\t\t}");
    line(out, "\tif(0 == resoult) return sd;");
    line(out, "\telse if(was_refused) return -1;");
    line(out, "\telse return -1;");
    line(out, "}");
    line(out);
}

void writeErrorLog(const Template& t, std::ostream& out) {
    line(out, "void\tkelerrlog(char *msg, const char *file, size_t line){");
    if (t.errlogmode.empty()) {
        // reports go nowhere
    } else if (t.errlogmode == "console") {
        line(out, "perror(msg); fprintf(stderr, \"%s:%u\\n\", file, line);");
    } else {
        line(out, "FILE *fl;");
        line(out, "fl = fopen(\"", t.errlogmode, "\", \"a\");");
        line(out, "fwrite(msg, strlen(msg), 1, fl);");
        line(out, "fwrite(\" \", 1, 1, fl);");
        line(out, "fwrite(file, strlen(file), 1, fl);");
        line(out, "fwrite(\":\", 1, 1, fl);");
        line(out, "fwrite(kelsize_t2str(line), strlen(kelsize_t2str(line)), 1, fl);");
        line(out, "fwrite(\"\\n\", 1, 1, fl);");
        line(out, "fflush(fl);");
        line(out, "fclose(fl);");
    }
    line(out, "}");
    line(out);
}

void writeKelTrace(const Template& t, std::ostream& out) {
    // The writes of a field, of the blank and of the line feed, and the check
    // after a write, in the trace target's terms.
    const char* w1;
    const char* w2;
    const char* w3;
    const char* check;
    if (t.remote_mode) {
        w1 = "send(kel_socket, tmpstr, strlen(tmpstr), 0);";
        w2 = "send(kel_socket, \" \", 1, 0);";
        w3 = "send(kel_socket, \"\\n\", 1, 0);";
        check = "if(kel_retval < 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(kel_retval);}";
    } else {
        w1 = "fwrite(tmpstr, strlen(tmpstr), 1, kel_tracefile);";
        w2 = "fwrite(\" \", 1, 1, kel_tracefile);";
        w3 = "fwrite(\"\\n\", 1, 1, kel_tracefile);";
        check = "if(kel_retval != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(kel_retval);}";
    }

    line(out, "void\tkel_trace(int n, ...){");
    if (t.trap_on_io_err) line(out, "int kel_retval;");
    line(out, "int count; char *tmpstr; va_list ap; va_start(ap, n);");
    line(out, "for(count = 1; count < n; count++){");
    line(out, "\ttmpstr = va_arg(ap, char *);");
    if (t.trap_on_io_err) {
        line(out, "\tkel_retval = ", w1);
        line(out, "\t", check);
        line(out, "\tkel_retval = ", w2);
        line(out, "\t", check);
    } else {
        line(out, "\t", w1);
        line(out, "\t", w2);
    }
    line(out, "\t}");
    line(out, "tmpstr = va_arg(ap, char *);");
    if (t.trap_on_io_err) {
        line(out, "kel_retval = ", w1);
        line(out, check);
    } else {
        line(out, "\t", w1);
    }
    line(out, "va_end(ap);");
    if (t.trap_on_io_err) {
        line(out, "kel_retval = ", w3);
        line(out, check);
    } else {
        line(out, w3);
    }
    if (!t.remote_mode && t.force_flush) {
        if (t.trap_on_io_err) {
            line(out, "kel_retval = ", "fflush(kel_tracefile);");
            line(out, "if(kel_retval != 0){kelerrlog(\"fflush()\", __FILE__, __LINE__); exit(kel_retval);}");
        } else {
            line(out, "fflush(kel_tracefile);");
        }
    }
    line(out, "}");
    line(out);
}

void writeKelStart(const Template& t, const char* templatePath, std::ostream& out) {
    const MutexKind mutex = mutexKind(t);
    line(out, "void\tkel_start(const char *appname){");
    if (mutex == MutexKind::posix) line(out, "int rez;");
    if (errlogIsFile(t)) line(out, "unlink(\"", t.errlogmode, "\");");
    line(out, "kel_stop_called = 0;");
    switch (mutex) {
        case MutexKind::posix:
            line(out, "rez = pthread_mutex_init(&kel_mutex, NULL);");
            line(out, "if(rez){kelerrlog(\"pthread_mutex_init()\", __FILE__, __LINE__); exit(-2);}");
            break;
        case MutexKind::win32:
            line(out, "kel_mutex = CreateMutex(NULL, FALSE, NULL);");
            line(out, "if(!kel_mutex){kelerrlog(\"CreateMutex()\", __FILE__, __LINE__); exit(-2);}");
            break;
        case MutexKind::none:
            break;
    }
    line(out);

    if (t.remote_mode) {
        std::string host, port;
        splitTarget(t.trace_target, host, port);  // generateFiles refused a target without ':'
        line(out, "kel_socket = Vorna_ConnectClient(\"", host, "\", ", port, ");");
        line(out, "if(kel_socket < 0){kelerrlog(\"Vorna_ConnectClient()\", __FILE__, __LINE__);");
        line(out, "\texit(kel_socket);}");
    } else {
        line(out, "kel_tracefile = fopen(\"", t.trace_target, "\", \"w\");");
        line(out, "if(kel_tracefile == NULL){kelerrlog(\"fopen()\", __FILE__, __LINE__);exit(-1);}");
    }
    line(out, kelTrace1(kelproto::kBegin));
    line(out, kelTrace1(kelproto::kProtocol));
    embedTemplateLines(templatePath, out);
    line(out, "kel_retval = atexit((void *)kel_stop);");
    line(out, "if(kel_retval == -1){kelerrlog(\"atexit()\", __FILE__, __LINE__);exit(-1);}");
    line(out, "}");
    line(out);
}

void writeKelStop(const Template& t, std::ostream& out) {
    const MutexKind mutex = mutexKind(t);
    line(out, "void\tkel_stop(void){");
    switch (mutex) {
        case MutexKind::posix:
            line(out, "int rez;");
            break;
        case MutexKind::win32:
            line(out, "BOOL rez;");
            break;
        case MutexKind::none:
            break;
    }
    line(out, "if(kel_stop_called){kelerrlog(\"KEL: loop detected! abort()!!!\", __FILE__, __LINE__);abort();}");
    line(out, "else{kel_stop_called = 1;}");
    switch (mutex) {
        case MutexKind::posix:
            line(out, "rez = pthread_mutex_destroy(&kel_mutex);");
            line(out, "if(rez != 0){kelerrlog(\"pthread_mutex_destroy()\", __FILE__, __LINE__);exit(-1);}");
            break;
        case MutexKind::win32:
            line(out, "rez = CloseHandle(kel_mutex);");
            line(out, "if(!rez){kelerrlog(\"CloseHandle()\", __FILE__, __LINE__);exit(-1);}");
            break;
        case MutexKind::none:
            break;
    }
    line(out, kelTrace1(kelproto::kDone));
    if (t.remote_mode) {
        line(out, "shutdown(kel_socket, SHUT_RDWR);");
        line(out, "close(kel_socket);");
    } else {
        line(out, "fflush(kel_tracefile);");
        line(out, "fclose(kel_tracefile);");
    }
    line(out, "}");
    line(out);
}

void writeForkTrap(const Template& t, std::ostream& out) {
    const std::string& p = t.prefix;
    line(out, "pid_t ", p, "fork_forbidden(const char *", p, "file, size_t ", p, "line) {");
    line(out, kelTrace1(kelproto::kTrap));
    line(out, kelTrace1(kelproto::kForkCall));
    line(out, "kel_trace(1, ", p, "file);");
    line(out, "kel_trace(1, kelsize_t2str(", p, "line));");
    line(out, "abort();");
    line(out, "}");
    line(out);
}

}  // namespace

int writeRuntime(const Template& t, const char* templatePath, std::ostream& out) {
    writeBanner(t, out);
    line(out, "#define KEL_NO_REDEF");
    line(out, "#include \"kel.h\"");
    line(out);
    writeConversions(out);
    if (t.remote_mode) writeConnectClient(out);
    writeErrorLog(t, out);
    writeKelTrace(t, out);
    writeKelStart(t, templatePath, out);
    writeKelStop(t, out);
    if (!t.fork_enabled) writeForkTrap(t, out);
    return 0;
}

int embedTemplateLines(const char* templatePath, std::ostream& out) {
    CFileLineFetcher fetcher;
    fetcher.attach(templatePath);
    std::string text;
    for (;;) {
        try {
            fetcher.getLine(text);
        } catch (...) {
            return 0;
        }
        // A CRLF template must give the same trace lines as an LF one.
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty()) continue;
        escapeQuotes(text);
        line(out, kelTrace1(text));
    }
}

void escapeQuotes(std::string& s) {
    std::string escaped;
    escaped.reserve(s.size() + 8);
    char previous = '\0';
    for (char c : s) {
        // A '?' after a '?' is written \? so that no "??" reaches the literal:
        // a compiler in an ISO mode would read "??/" and its kin as trigraphs.
        if (c == '"' || c == '\\' || (c == '?' && previous == '?')) escaped += '\\';
        escaped += c;
        previous = c;
    }
    s = escaped;
}

// ---------------------------------------------------------------- wrappers

int writeWrappers(const Template& t, std::ostream& out) {
    line(out, "/* *** BEGIN **************************************/");
    for (const Domain& d : t.domains)
        forEachTorSourceOrder(d, [&](const Tor& tor) { writeWrapper(t, d, tor, out); });
    line(out, "/* *** END ****************************************/");
    return 0;
}

void writeWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    writeWrapperPrologue(t, d, tor, out);
    writeArgumentChecks(t, d, tor, out);
    writeCall(t, tor, out);
    writeWrapperEpilogue(t, d, tor, out);
}

void writeWrapperPrologue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;
    line(out, returnType(tor), "\t", p, tor.name, "(", declaredParameters(tor), "const char *", p, "file, size_t ", p,
         "line){");
    if (!isVoid(returnType(tor))) line(out, "\t", returnType(tor), " ", p, "stored_retcode;");
    if (tor.is_handle_arg_out) line(out, "\t", d.handle, " ", p, "stored_handle;");
    switch (mutexKind(t)) {
        case MutexKind::posix:
            line(out, "\tint retval;");
            break;
        case MutexKind::win32:
            line(out, "\tDWORD dwWaitObject; BOOL bReleaseMutex;");
            break;
        case MutexKind::none:
            break;
    }
    line(out);
    switch (mutexKind(t)) {
        case MutexKind::posix:
            line(out, "\tretval = pthread_mutex_lock(&kel_mutex);");
            line(out, "\tif(retval){kelerrlog(\"pthread_mutex_lock()\", __FILE__, __LINE__); exit(-2);}");
            break;
        case MutexKind::win32:
            line(out, "\tdwWaitObject = WaitForSingleObject(kel_mutex, INFINITE);");
            line(out, "\tif(dwWaitObject == WAIT_FAILED){kelerrlog(\"WaitForSingleObject()\", __FILE__, __LINE__); exit(-2);}");
            break;
        case MutexKind::none:
            break;
    }
    line(out, "\tkel_trace(1, \"", d.name, "\");");
    line(out, "\tkel_trace(1, \"", tor.name, "\");");
    line(out, "\tkel_trace(1, ", p, "file);");
    line(out, "\tkel_trace(1, kelsize_t2str(", p, "line));");
}

void writeArgumentChecks(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i) {
        const std::string& n = tor.validateDom_before[i];
        if (n.empty()) continue;
        const int k = findDomainIndex(t, n);
        if (k == -1) continue;
        const Expr& e = t.domains[static_cast<std::size_t>(k)].expr;
        const std::string& a = argName(tor, static_cast<std::int64_t>(i));
        writeVerdict(out, a + " " + e.oper + " " + e.value, "3, " + quoted(n) + ", ",
                     ", keluint64tostr1(" + a + "));");
    }
    if (d.float_handle && tor.float_arg_n1 != 0) {
        line(out, "\tkel_trace(1, keluint64tostr1(", argName(tor, tor.float_arg_n1), "));");
        if (tor.float_arg_n2 != 0) line(out, "\tkel_trace(1, keluint64tostr1(", argName(tor, tor.float_arg_n2), "));");
    }
}

void writeCall(const Template& t, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;
    if (!isVoid(returnType(tor))) {
        out << "\t" << p << "stored_retcode = ";
        if (tor.is_handle_arg_out && tor.handle_arg_out == 0) out << p << "stored_handle = ";
    } else {
        out << "\t";
    }
    line(out, tor.name, "(", parameterNames(tor), ");");
    if (tor.is_handle_arg_out && tor.handle_arg_out != 0)
        line(out, "\t", p, "stored_handle = ", argName(tor, tor.handle_arg_out), ";");
}

void writeWrapperEpilogue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;

    if (tor.expr.type == "void") {
        line(out, "\t", kelTrace1(kelproto::kVoid));
    } else if (tor.expr.type.empty()) {
        line(out, "\t", kelTrace1(kelproto::kNothing));
    } else {
        writeVerdict(out, p + "stored_retcode " + tor.expr.oper + " " + tor.expr.value, "1, ", ");");
    }

    const Expr& f = d.expr;
    if (!tor.is_handle_arg_out) {
        line(out, "\t", kelTrace1(kelproto::kNothing));
    } else {
        // The stored handle is tested with blanks around the operator, an
        // argument without.
        const bool fromReturn = tor.handle_arg_out == 0;
        const std::string h = fromReturn ? p + "stored_handle" : argName(tor, tor.handle_arg_out);
        const std::string condition = fromReturn ? h + " " + f.oper + " " + f.value : h + f.oper + f.value;
        writeVerdict(out, condition, "2, ", ", keluint64tostr1(" + h + "));");
    }

    switch (mutexKind(t)) {
        case MutexKind::posix:
            line(out, "\tretval = pthread_mutex_unlock(&kel_mutex);");
            line(out, "\tif(retval){kelerrlog(\"pthread_mutex_unlock()\", __FILE__, __LINE__); exit(-2);}");
            break;
        case MutexKind::win32:
            line(out, "\tbReleaseMutex = ReleaseMutex(kel_mutex);");
            line(out, "\tif(!bReleaseMutex){kelerrlog(\"ReleaseMutex()\", __FILE__, __LINE__); exit(-2);}");
            break;
        case MutexKind::none:
            break;
    }
    if (!isVoid(returnType(tor))) line(out, "\treturn (", p, "stored_retcode);");
    line(out, "}");
    line(out);
}

int findDomainIndex(const Template& t, const std::string& name) {
    for (std::size_t i = 0; i < t.domains.size(); ++i)
        if (t.domains[i].name == name) return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------- checks before writing

namespace {

// One message of our own: names the template, goes to `err`, flushed.
std::ostream& complain(std::ostream& err, const char* templatePath) {
    return err << "kelgen: " << templatePath << ": ";
}

bool checkPosition(const char* templatePath, const Domain& d, const Tor& tor, const char* attribute,
                   std::int64_t position, std::ostream& err) {
    if (position >= 0 && static_cast<std::uint64_t>(position) < tor.args.size()) return true;
    complain(err, templatePath) << "domain '" << d.name << "', tor '" << tor.name << "': " << attribute << " is "
                                << position << ", but args has " << tor.args.size() << " entries" << std::endl;
    return false;
}

}  // namespace

bool checkTemplateRecords(const Template& t, const char* templatePath, std::ostream& err) {
    if (t.remote_mode) {
        std::string host, port;
        if (!splitTarget(t.trace_target, host, port)) {
            complain(err, templatePath) << "remote trace_target '" << t.trace_target
                                        << "' has no ':' in its first 99 characters; expected host:port"
                                        << std::endl;
            return false;
        }
    }
    for (const Domain& d : t.domains) {
        bool ok = true;
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (!ok) return;
            ok = checkPosition(templatePath, d, tor, "float_arg_n1", tor.float_arg_n1, err) &&
                 checkPosition(templatePath, d, tor, "float_arg_n2", tor.float_arg_n2, err) &&
                 checkPosition(templatePath, d, tor, "handle_arg_out", tor.handle_arg_out, err);
            if (ok && tor.validateDom_before.size() > tor.args.size()) {
                complain(err, templatePath)
                    << "domain '" << d.name << "', tor '" << tor.name << "': validateDom_before has "
                    << tor.validateDom_before.size() << " entries, but args has " << tor.args.size() << std::endl;
                ok = false;
            }
        });
        if (!ok) return false;
    }
    return true;
}

bool checkTemplateLines(const char* templatePath, std::ostream& err) {
    std::ifstream in(templatePath, std::ios::in | std::ios::binary);
    std::ostringstream bytes;
    if (!in || !(bytes << in.rdbuf())) {
        complain(err, templatePath) << "cannot read it again: " << std::strerror(errno) << std::endl;
        return false;
    }
    const std::string text = bytes.str();

    std::size_t start = 0;
    std::int64_t number = 0;
    std::int64_t endLine = 0;  // number of the first "</template>" line
    while (start < text.size()) {
        const auto feed = text.find('\n', start);
        ++number;
        if (feed == std::string::npos) {
            complain(err, templatePath) << number << ": the last line has no line feed; the trace would lose it"
                                        << std::endl;
            return false;
        }
        std::string raw = text.substr(start, feed - start);
        start = feed + 1;
        if (raw.find('\0') != std::string::npos) {
            complain(err, templatePath) << number << ": the line holds a NUL byte; the trace would cut it there"
                                        << std::endl;
            return false;
        }
        if (raw.size() > kelproto::kMaxLineLength) {
            complain(err, templatePath) << number << ": the line has " << raw.size() << " characters; at most "
                                        << kelproto::kMaxLineLength << " fit in a trace line" << std::endl;
            return false;
        }
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (endLine == 0) {
            if (raw == kelproto::kTemplateEnd) endLine = number;
        } else if (!raw.empty()) {
            complain(err, templatePath) << number << ": text after the '" << kelproto::kTemplateEnd
                                        << "' line; the analyzer would take it for a trace record" << std::endl;
            return false;
        }
    }
    if (endLine == 0) {
        complain(err, templatePath) << "no line is exactly '" << kelproto::kTemplateEnd
                                    << "'; the analyzer could not find the end of the embedded template"
                                    << std::endl;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- driver

namespace {

// One output file. A regular file (or a new one) is written beside its final
// path and renamed into place once complete, so that a failed run never leaves
// it half-written; anything else (a terminal, /dev/null) is written directly.
class OutputFile {
public:
    explicit OutputFile(const char* path) : path_(path), target_(path) {}
    ~OutputFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
    }

    bool open(std::ostream& err) {
        // Refused here, before any output is written: otherwise only the
        // final rename would fail, after the other file had been replaced.
        if (path_.empty()) return fail(err, ENOENT);
        struct stat st {};
        const bool exists = ::stat(path_.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            fd_ = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
            return fd_ >= 0 || fail(err, errno);
        }
        if (exists) {
            // A symbolic link stays a link: the file it names is replaced.
            char* real = ::realpath(path_.c_str(), nullptr);
            if (real == nullptr) return fail(err, errno);
            target_ = real;
            std::free(real);
        }
        for (int attempt = 0; fd_ < 0; ++attempt) {
            const std::string temp =
                target_ + ".kelgen-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
            if (fd_ >= 0)
                tempPath_ = temp;
            else if (errno != EEXIST || attempt == 100)
                return fail(err, errno);
        }
        // The replacement keeps the permissions the file had.
        if (exists && ::fchmod(fd_, st.st_mode & 0777) != 0) return fail(err, errno);
        return true;
    }

    // Writes the whole text and closes the file.
    bool write(const std::string& text, std::ostream& err) {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return fail(err, n < 0 ? errno : EIO);
            done += static_cast<std::size_t>(n);
        }
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 || fail(err, errno);
    }

    bool commit(std::ostream& err) {
        if (tempPath_.empty()) return true;
        if (::rename(tempPath_.c_str(), target_.c_str()) != 0) return fail(err, errno);
        tempPath_.clear();
        return true;
    }

private:
    bool fail(std::ostream& err, int error) {
        err << "kelgen: cannot write '" << path_ << "': " << std::strerror(error) << std::endl;
        return false;
    }

    std::string path_;    // as given, for messages
    std::string target_;  // the file that is replaced
    std::string tempPath_;
    int fd_ = -1;
};

}  // namespace

int generateFiles(const Template& t, const char* templatePath, const char* headerPath, const char* sourcePath) {
    if (!checkTemplateLines(templatePath, std::cerr) || !checkTemplateRecords(t, templatePath, std::cerr))
        return genTemplateRejected;

    OutputFile header(headerPath);
    OutputFile source(sourcePath);
    if (!header.open(std::cerr) || !source.open(std::cerr)) return genOutputFailed;

    // The text is made in memory so that a failed write is known with its
    // reason, and neither file is replaced until both are complete.
    std::ostringstream headerText, sourceText;
    writeHeader(t, headerText);
    const int status = writeSource(t, templatePath, sourceText);
    if (status != 0) return status;

    if (!header.write(headerText.str(), std::cerr) || !source.write(sourceText.str(), std::cerr) ||
        !header.commit(std::cerr) || !source.commit(std::cerr))
        return genOutputFailed;
    return genOk;
}

int writeSource(const Template& t, const char* templatePath, std::ostream& out) {
    const int status = writeRuntime(t, templatePath, out);
    if (status != 0) return status;
    return writeWrappers(t, out);
}
