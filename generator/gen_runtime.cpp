// The runtime, kel.c's first half: the conversions, the error log, kel_trace,
// the record writer's runtime, the trace file's name and folder, kel_start,
// kel_stop and the fork trap.
#include "gen_c.h"

#include <iostream>

#include "gen_lines.h"
#include "gen_link_wrap.h"
#include "gen_records.h"
#include "trace_protocol.h"

// ---------------------------------------------------------------- runtime

namespace {

void writeConversions(std::ostream& out) {
    line(out, "char*\tkelsize_t2str(size_t size){");
    line(out, "static char buff[32];");
    line(out, "sprintf(buff, \"%lu\", (unsigned long)size);");
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
    line(out, "\t\tbuff[15 - i] = (char)('0' + b);");
    line(out, "\t\t}");
    line(out, "\telse\t{");
    line(out, "\t\tb -= 10;");
    line(out, "\t\tbuff[15 - i] = (char)('A' + b);");
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
    // static: nothing outside kel.c calls it, and it needs no prototype.
    line(out, "static int\tVorna_ConnectClient(const char *host, unsigned short port){");
    line(out, "struct addrinfo hints;");
    line(out, "struct addrinfo *res;");
    line(out, "struct addrinfo *first;");
    line(out, "char port_str[6];");
    line(out, "int resoult;");
    line(out, "int sd = -1;");
    line(out, "int was_refused = 0;");
    line(out, "memset(&hints, 0, sizeof(hints));");
    line(out, "hints.ai_family = AF_UNSPEC;");
    line(out, "hints.ai_protocol = IPPROTO_TCP;");
    line(out, "hints.ai_socktype = SOCK_STREAM;");
    line(out);
    line(out, "snprintf(port_str, sizeof(port_str), \"%u\", port);");
    line(out, "resoult = getaddrinfo(host, port_str, &hints, &first);");
    line(out, "if(0 != resoult) return -1;");
    line(out, "else\t{");
    line(out, "\tres = first;");
    line(out, "\twhile(res){");
    line(out, "\t\tsd = socket(res->ai_family, SOCK_STREAM, IPPROTO_TCP);");
    line(out, "\t\tif(sd < 0){freeaddrinfo(first); return -1;}");
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
    line(out, "\t\tfreeaddrinfo(first);");
    line(out, "\t\t}");
    line(out, "\tif(0 == resoult) return sd;");
    line(out, "\telse if(was_refused) return -1;");
    line(out, "\telse return -1;");
    line(out, "}");
    line(out);
}

// errlogmode names a file: each message is appended to it.
void writeErrorLogFile(const std::string& path, std::ostream& out) {
    line(out, "FILE *fl;");
    line(out, "fl = fopen(", quoted(path), ", \"a\");");
    // A log that cannot be opened loses the message, not the program.
    line(out, "if(fl == NULL) return;");
    line(out, "fwrite(msg, strlen(msg), 1, fl);");
    line(out, "fwrite(\" \", 1, 1, fl);");
    line(out, "fwrite(file, strlen(file), 1, fl);");
    line(out, "fwrite(\":\", 1, 1, fl);");
    line(out, "fwrite(kelsize_t2str(line), strlen(kelsize_t2str(line)), 1, fl);");
    line(out, "fwrite(\"\\n\", 1, 1, fl);");
    line(out, "fflush(fl);");
    line(out, "fclose(fl);");
}

void writeErrorLog(const Template& t, std::ostream& out) {
    line(out, "void\tkelerrlog(const char *msg, const char *file, size_t line){");
    switch (errorLog(t)) {
        case ErrorLog::none:
            line(out, "(void)msg; (void)file; (void)line;");
            break;
        case ErrorLog::console:
            line(out, "perror(msg); fprintf(stderr, \"%s:%lu\\n\", file, (unsigned long)line);");
            break;
        case ErrorLog::file:
            writeErrorLogFile(t.errlogmode, out);
            break;
    }
    line(out, "}");
    line(out);
}

void writeKelTrace(const Template& t, std::ostream& out) {
    const TargetBlocks& w = targetBlocks(t);
    line(out, "void\tkel_trace(int n, ...){");
    line(out, "int count; char *tmpstr; va_list ap; va_start(ap, n);");
    // Started by a constructor: nothing goes out before the start (another
    // constructor's call) or after the stop (a later exit handler's call).
    if (t.auto_start) line(out, "if(kel_started != 1){va_end(ap); return;}");
    line(out, "for(count = 1; count < n; count++){");
    line(out, "\ttmpstr = va_arg(ap, char *);");
    if (t.trap_on_io_err) {
        line(out, "\tkel_retval = (int)", w.writeField);
        line(out, "\t", w.check);
        line(out, "\tkel_retval = (int)", w.writeBlank);
        line(out, "\t", w.check);
    } else {
        line(out, "\t", w.writeField);
        line(out, "\t", w.writeBlank);
    }
    line(out, "\t}");
    line(out, "tmpstr = va_arg(ap, char *);");
    if (t.trap_on_io_err) {
        line(out, "kel_retval = (int)", w.writeField);
        line(out, w.check);
    } else {
        line(out, "\t", w.writeField);
    }
    line(out, "va_end(ap);");
    if (t.trap_on_io_err) {
        line(out, "kel_retval = (int)", w.writeEnd);
        line(out, w.check);
    } else {
        line(out, w.writeEnd);
    }
    // A socket has nothing to flush.
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

// trace_per_process: every "%p" of the trace file's name becomes the process
// id at kel_start, so that each program of a suite keeps its own trace.
bool perProcess(const Template& t) { return t.trace_per_process && !t.remote_mode; }

void writeTracePath(const Template& t, std::ostream& out) {
    std::size_t ids = 0;
    for (auto at = t.trace_target.find("%p"); at != std::string::npos; at = t.trace_target.find("%p", at + 2)) ++ids;
    // The literal is never longer than its text; a process id has at most 20 digits.
    const std::size_t size = t.trace_target.size() + 20 * ids + 1;
    const bool win32 = compiler(t) == Compiler::win32;
    if (win32) line(out, "#include <process.h>");
    line(out, "static char	*kel_trace_path(const char *pattern){");
    line(out, "static char	path[", size, "];");
    line(out, "char	pid[24];");
    line(out, "size_t	used = 0;");
    line(out, "sprintf(pid, \"%lu\", (unsigned long)", win32 ? "_getpid()" : "getpid()", ");");
    line(out, "while(*pattern){");
    line(out, "\tif(pattern[0] == '%' && pattern[1] == 'p'){");
    line(out, "\t\tstrcpy(path + used, pid);");
    line(out, "\t\tused += strlen(pid);");
    line(out, "\t\tpattern += 2;");
    line(out, "\t\t}");
    line(out, "\telse\tpath[used++] = *pattern++;");
    line(out, "\t}");
    line(out, "path[used] = 0;");
    line(out, "return(path);");
    line(out, "}");
    line(out);
}

// The trace folder: a file-mode runtime for gcc reads KEL_TRACE_DIR at
// kel_start. When it names a folder, the trace goes there (the folder and its
// parents are made when missing) under the trace_target's file name, with
// the process id added when the name has none and ".trace" at the end. The
// file is created exclusively: a name left by an earlier process with the
// same id gets "-1", "-2", ... instead of being overwritten.
bool tracesIntoFolder(const Template& t) { return !t.remote_mode && compiler(t) == Compiler::gcc; }

void writeTraceFolder(const Template& t, std::ostream& out) {
    line(out, "#include <errno.h>");
    line(out, "#include <sys/stat.h>");
    line(out);
    line(out, "static char\tkel_trace_name[4096];");
    line(out);
    line(out, "static void\tkel_make_dirs(const char *dir){");
    line(out, "char\tpath[4096];");
    line(out, "size_t\ti;");
    line(out, "snprintf(path, sizeof(path), \"%s\", dir);");
    line(out, "for(i = 1; path[i]; i++){");
    line(out, "\tif(path[i] == '/'){");
    line(out, "\t\tpath[i] = 0;");
    line(out, "\t\tmkdir(path, 0777);");
    line(out, "\t\tpath[i] = '/';");
    line(out, "\t\t}");
    line(out, "\t}");
    line(out, "mkdir(path, 0777);");
    line(out, "}");
    line(out);
    line(out, "static FILE\t*kel_open_trace(const char *target, int named_by_pid){");
    line(out, "const char\t*dir = getenv(\"KEL_TRACE_DIR\");");
    line(out, "const char\t*base;");
    line(out, "char\tpid[24];");
    line(out, "char\tcopy[24];");
    line(out, "size_t\tstem;");
    line(out, "unsigned\tn;");
    line(out, "FILE\t*file;");
    line(out, "if(dir == NULL || *dir == 0){");
    line(out, "\tsnprintf(kel_trace_name, sizeof(kel_trace_name), \"%s\", target);");
    line(out, "\treturn fopen(target, \"w\");");
    line(out, "\t}");
    line(out, "kel_make_dirs(dir);");
    line(out, "base = strrchr(target, '/');");
    line(out, "base = base ? base + 1 : target;");
    line(out, "stem = strlen(base);");
    line(out, "if(stem > 6 && strcmp(base + stem - 6, \".trace\") == 0) stem -= 6;");
    line(out, "pid[0] = 0;");
    line(out, "if(!named_by_pid) snprintf(pid, sizeof(pid), \"-%lu\", (unsigned long)getpid());");
    line(out, "for(n = 0; n < 10000; n++){");
    line(out, "\tcopy[0] = 0;");
    line(out, "\tif(n > 0) snprintf(copy, sizeof(copy), \"-%u\", n);");
    line(out, "\tsnprintf(kel_trace_name, sizeof(kel_trace_name), \"%s/%.*s%s%s.trace\", dir, (int)stem, base, pid, copy);");
    line(out, "\tfile = fopen(kel_trace_name, \"wx\");");
    line(out, "\tif(file != NULL || errno != EEXIST) return file;");
    line(out, "\t}");
    line(out, "return NULL;");
    line(out, "}");
    line(out);
    // One line that names the file and the reason, so that a user whose
    // working folder is not writable knows what to change.
    line(out, "static void\tkel_trace_failed(void){");
    line(out, "char\tmsg[4400];");
    line(out, "int\treason = errno;");
    line(out, "snprintf(msg, sizeof(msg), \"KEL: cannot create the trace file '%s': %s\", kel_trace_name, strerror(reason));");
    switch (errorLog(t)) {
        case ErrorLog::none:
            line(out, "(void)msg;");
            break;
        case ErrorLog::console:
            line(out, "fprintf(stderr, \"%s\\n\", msg);");
            break;
        case ErrorLog::file:
            line(out, "kelerrlog(msg, __FILE__, __LINE__);");
            break;
    }
    line(out, "}");
    line(out);
}

void writeOpenTarget(const Template& t, std::ostream& out) {
    if (tracesIntoFolder(t)) {
        if (perProcess(t))
            line(out, "kel_tracefile = kel_open_trace(kel_trace_path(", quoted(t.trace_target), "), ",
                 t.trace_target.find("%p") == std::string::npos ? 0 : 1, ");");
        else
            line(out, "kel_tracefile = kel_open_trace(", quoted(t.trace_target), ", 0);");
        line(out, "if(kel_tracefile == NULL){kel_trace_failed();exit(-1);}");
    } else if (t.remote_mode) {
        std::string host, port;
        splitTarget(t.trace_target, host, port);  // the checks refused a target without ':'
        line(out, "kel_socket = Vorna_ConnectClient(", quoted(host), ", ", port, ");");
        line(out, "if(kel_socket < 0){kelerrlog(\"Vorna_ConnectClient()\", __FILE__, __LINE__);");
        line(out, "\texit(kel_socket);}");
    } else {
        if (perProcess(t))
            line(out, "kel_tracefile = fopen(kel_trace_path(", quoted(t.trace_target), "), \"w\");");
        else
            line(out, "kel_tracefile = fopen(", quoted(t.trace_target), ", \"w\");");
        line(out, "if(kel_tracefile == NULL){kelerrlog(\"fopen()\", __FILE__, __LINE__);exit(-1);}");
    }
}

void writeKelStart(const Template& t, const char* templatePath, std::ostream& out) {
    const MutexBlocks& mutex = mutexBlocks(mutexKind(t));
    line(out, "void\tkel_start(const char *appname){");
    block(out, mutex.startLocals);
    line(out, "(void)appname;");
    // The constructor has started already: a call from main does no harm.
    if (t.auto_start) {
        line(out, "if(kel_started){return;}");
        line(out, "kel_started = 1;");
    }
    if (errorLog(t) == ErrorLog::file) line(out, "unlink(", quoted(t.errlogmode), ");");
    line(out, "kel_stop_called = 0;");
    block(out, mutex.init);
    line(out);
    writeOpenTarget(t, out);
    line(out, kelTrace1(kelproto::kBegin));
    line(out, kelTrace1(kelproto::kProtocol));
    embedTemplateLines(templatePath, out);
    line(out, "kel_retval = atexit(kel_stop);");
    line(out, "if(kel_retval != 0){kelerrlog(\"atexit()\", __FILE__, __LINE__);exit(-1);}");
    line(out, "}");
    line(out);
}

void writeKelStop(const Template& t, std::ostream& out) {
    const MutexBlocks& mutex = mutexBlocks(mutexKind(t));
    line(out, "void\tkel_stop(void){");
    block(out, mutex.stopLocals);
    line(out, "if(kel_stop_called){kelerrlog(\"KEL: loop detected! abort()!!!\", __FILE__, __LINE__);abort();}");
    line(out, "else{kel_stop_called = 1;}");
    // An exit() inside a traced call: the record so far, before anything
    // below can end the program.
    if (defersRecordStart(t))
        line(out, "if(kel_pending){kel_record_out(kel_pending->text, kel_pending->used); kel_pending = NULL;}");
    block(out, mutex.destroy);
    line(out, kelTrace1(kelproto::kDone));
    if (t.auto_start) line(out, "kel_started = 2;");
    block(out, targetBlocks(t).close);
    line(out, "}");
    line(out);
}

// auto_start: kel_start runs before main, earlier than the constructors of
// default priority (C++ globals), so that their traced calls are recorded.
void writeAutoStart(std::ostream& out) {
    line(out, "static void\tkel_auto_start(void) __attribute__((constructor(101)));");
    line(out, "static void\tkel_auto_start(void){");
    line(out, "kel_start(\"kel_auto_start\");");
    line(out, "}");
    line(out);
}

// auto_start is made for builds with -include kel.h, where kel.c may read
// the header before KEL_NO_REDEF: the wrappers must still call the real
// functions. The state lets kel_start run once and kel_trace only between
// the start and the stop.
void writeAutoStartPrologue(const Template& t, std::ostream& out) {
    if (!t.fork_enabled) line(out, "#undef fork");
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (!isAliased(tor)) line(out, "#undef ", tor.name);
        });
    line(out, "static int\tkel_started = 0; /* 1 while tracing, 2 after kel_stop */");
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

void writeRuntime(const Template& t, const char* templatePath, std::ostream& out) {
    writeBanner(t, out);
    line(out, "#define KEL_NO_REDEF");
    const bool gcc = compiler(t) == Compiler::gcc;
    if (gcc && t.gnu_source) {
        // The GNU functions that wrappers call (asprintf, vasprintf, dup3).
        line(out, "#ifndef _GNU_SOURCE");
        line(out, "#define _GNU_SOURCE");
        line(out, "#endif");
    }
    if (gcc) {
        // The POSIX declarations the runtime uses (sockets, fork's pid_t),
        // also when kel.c is built with -std=c99 or -std=c11.
        line(out, "#ifndef _DEFAULT_SOURCE");
        line(out, "#define _DEFAULT_SOURCE");
        line(out, "#endif");
    }
    line(out, "#include \"kel.h\"");
    if (mapsRecords(t)) {
        // Before the real names' macros of a link_wrap runtime: the headers
        // would declare open or close under the new names.
        line(out, "#include <fcntl.h>");
        line(out, "#include <pthread.h>");
        line(out, "#include <sched.h>");
        line(out, "#include <sys/mman.h>");
        line(out, "#include <unistd.h>");
    }
    line(out);
    writeGlobals(t, "", out);
    if (t.auto_start) writeAutoStartPrologue(t, out);
    // After the prologue's #undef of the same names.
    writeRealNames(t, out);
    writeConversions(out);
    if (t.remote_mode) writeConnectClient(out);
    writeErrorLog(t, out);
    // The mapped writer's runtime has its own kel_trace.
    if (!mapsRecords(t)) writeKelTrace(t, out);
    recordWriter(t).writeRuntime(t, out);
    if (perProcess(t)) writeTracePath(t, out);
    if (tracesIntoFolder(t)) writeTraceFolder(t, out);
    if (mapsRecords(t)) {
        writeMappedStart(t, templatePath, out);
        writeMappedStop(t, out);
    } else {
        writeKelStart(t, templatePath, out);
        writeKelStop(t, out);
    }
    if (t.auto_start) writeAutoStart(out);
    if (!t.fork_enabled) {
        if (mapsRecords(t))
            writeMappedForkTrap(t, out);
        else
            writeForkTrap(t, out);
    }
}

void embedTemplateLines(const char* templatePath, std::ostream& out) {
    forEachTemplateBlockLine(templatePath, [&](const std::string& text) { line(out, kelTrace1(text)); });
}

void escapeQuotes(std::string& s) { s = cStringContent(s); }

