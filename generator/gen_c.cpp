// The library generator's writers: every line of kel.h and kel.c is written
// here, each block reading like the C text it produces. The settings' blocks
// come from gen_settings, the checks that run first from gen_checks, the
// output files from gen_output.
#include "gen_c.h"

#include <cctype>
#include <iostream>

#include "gen_attributes.h"
#include "gen_checks.h"
#include "gen_lines.h"
#include "gen_link_wrap.h"
#include "gen_literal.h"
#include "gen_output.h"
#include "kel_version.h"
#include "kelgen_status.h"
#include "trace_protocol.h"

namespace {

// A block of lines from a settings table.
void block(std::ostream& out, const std::vector<const char*>& lines) {
    for (const char* l : lines) line(out, l);
}

// The paired lines around a body: the include guard, the C linkage block.
template <class Body>
void includeGuard(std::ostream& out, const std::string& macro, Body body) {
    line(out, "#ifndef ", macro);
    line(out, "#define ", macro);
    body();
    line(out, "#endif");
}

template <class Body>
void onlyInCpp(std::ostream& out, Body body) {
    line(out, "#ifdef __cplusplus");
    body();
    line(out, "#endif");
}

// `cppIncludes` are read by C++ before the linkage block opens.
template <class Body>
void cLinkage(std::ostream& out, const std::vector<std::string>& cppIncludes, Body body) {
    onlyInCpp(out, [&] {
        for (const std::string& include : cppIncludes) line(out, "#include <", include, ">");
        line(out, "extern \"C\" {");
    });
    body();
    onlyInCpp(out, [&] { line(out, "}"); });
}

// va_forward: the tor's last args entry is "...", and its wrapper hands the
// caller's variable arguments to the va_list function named there.
bool forwardsVariadic(const Tor& tor) { return !tor.va_forward.empty() && !tor.args.empty(); }

// The tor without its "..." entry: the named parameters.
Tor namedPart(const Tor& tor) {
    Tor named = tor;
    if (forwardsVariadic(tor)) named.args.pop_back();
    return named;
}

// A trace field as a C string literal.
std::string quoted(const std::string& field) { return cStringLiteral(field); }

// A value for keluint64tostr1: handles are pointers as often as integers, and
// the cast converts both without a warning, to the same value as before.
std::string asHex(const std::string& value) { return "(keluint64)(" + value + ")"; }

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

// ---------------------------------------------------------------- buffered records
//
// buffered_records: a wrapper formats its record into a kel_record on its own
// stack and hands it to the target in one write (two where the part before
// the traced call must reach the target first), instead of one kel_trace call
// per line and one write per field. kel_trace stays for kel_start, kel_stop
// and the fork trap. The bytes of the trace are the same.

// Big enough for any usual record; a longer one is written out in pieces.
constexpr int kRecordBufferSize = 512;

bool hasWrappers(const Template& t) {
    bool any = false;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) { any = any || !isAliased(tor); });
    return any;
}

// The buffered runtime exists only where a wrapper uses it.
bool buffersRecords(const Template& t) { return t.buffered_records && hasWrappers(t); }

// In file mode without force_flush nothing has to reach the file before the
// traced call: the whole record goes in one write after it. kel_pending
// names the record whose call is running, so that kel_stop, run by an exit()
// inside that call, still writes what the default runtime would have.
bool defersRecordStart(const Template& t) { return buffersRecords(t) && !t.remote_mode && !t.force_flush; }

// The C values of a record's size lines: in a domain that tracks sizes,
// float_size_expr (a size computed from the parameters, strdup's strlen(s) + 1,
// where no single argument holds it), or else the arguments at float_arg_n1
// and float_arg_n2 (a second one only with a first).
std::vector<std::string> sizeValues(const Domain& d, const Tor& tor) {
    if (d.float_handle && !tor.float_size_expr.empty()) return {tor.float_size_expr};
    if (!d.float_handle || tor.float_arg_n1 == 0) return {};
    std::vector<std::string> values{argName(tor, tor.float_arg_n1)};
    if (tor.float_arg_n2 != 0) values.push_back(argName(tor, tor.float_arg_n2));
    return values;
}

// The lines of a wrapper that carry a hex16 field, as the writers below decide them.
bool writesHex(const Template& t, const Domain& d, const Tor& tor) {
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i)
        if (!tor.validateDom_before[i].empty() && findDomainIndex(t, tor.validateDom_before[i]) != -1) return true;
    return !sizeValues(d, tor).empty() || tor.is_handle_arg_out;
}

// kel_put_hex is written only when a wrapper calls it: an unused static
// function would warn under -Wall.
bool recordsWriteHex(const Template& t) {
    bool any = false;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            forEachWrapper(tor, [&](const Tor& arity, const std::string&) { any = any || writesHex(t, d, arity); });
        });
    return any;
}

// A template name as its own C literal followed by the line feed's: an escape
// at the name's end cannot swallow what follows.
std::string nameLine(const std::string& name) { return quoted(name) + " \"\\n\""; }

// The buffered form of writeVerdict: `name`, when not empty, is the field
// before the verdict (a validation line); `after` ends the literal.
void writePutVerdict(std::ostream& out, const std::string& condition, const std::string& name, const char* after) {
    const std::string before = name.empty() ? "\"" : quoted(name) + " \" ";
    line(out, "\tif(", condition, "){");
    line(out, "\t\tKEL_PUT_TEXT(&kel_rec, ", before, kelproto::kBAD, after, "\");");
    line(out, "\t}");
    line(out, "\telse\t{");
    line(out, "\t\tKEL_PUT_TEXT(&kel_rec, ", before, kelproto::kOK, after, "\");");
    line(out, "\t}");
}

// A marker line ("void", "-", "OK"), in either record mode.
void writeMarker(std::ostream& out, const char* text, bool buffered) {
    if (buffered)
        line(out, "\tKEL_PUT_TEXT(&kel_rec, \"", text, "\\n\");");
    else
        line(out, "\t", kelTrace1(text));
}

// The handle line: its verdict by the domain's test, then the handle, in
// either record mode.
void writeHandleLine(std::ostream& out, const std::string& condition, const std::string& handle, bool buffered) {
    if (buffered) {
        writePutVerdict(out, condition, "", " ");
        line(out, "\tkel_put_hex(&kel_rec, ", asHex(handle), ");");
    } else {
        writeVerdict(out, condition, "2, ", ", keluint64tostr1(" + asHex(handle) + "));");
    }
}

}  // namespace

// ---------------------------------------------------------------- header

void writeBanner(const Template& t, std::ostream& out) {
    line(out, "/***************************************************************************");
    line(out, "* Tracing library for one program under test: include kel.h, build kel.c with it.");
    line(out, "*");
    line(out, "* THIS FILE GENERATED FROM TEMPLATE '", commentText(t.name), "'");
    line(out, "* BY KEL LIBRARY GENERATOR VERSION ", kelversion::kMajor, kelversion::kMinor, kelversion::kPatch);
    line(out, "*");
    line(out, "* KEL MARKED \"", "VELMARIS", "\"");
    line(out, "*");
    line(out, "* !!! DON'T TOUCH THESE UNLESS YOU REALLY KNOW WHAT YOU'RE DOING !!!");
    line(out, "****************************************************************************/");
    line(out);
}

namespace {

// The C++ headers of the C library headers that kel.h includes. <cstdio> and
// its kin #undef the C names, so a program that includes one after kel.h
// would lose the redefinitions: kel.h includes them first.
std::vector<std::string> cppCounterparts(const Template& t) {
    static const char* const cHeaders[] = {"assert", "ctype", "errno",  "fenv",   "float",  "inttypes", "limits",
                                           "locale", "math",  "setjmp", "signal", "stdarg", "stddef",   "stdint",
                                           "stdio",  "stdlib", "string", "time",  "uchar",  "wchar",    "wctype"};
    std::vector<std::string> names;
    for (const Domain& d : t.domains)
        if (d.includesGlobal) names.insert(names.end(), d.includes.begin(), d.includes.end());
    if (t.compiler_type == "gcc") names.insert(names.end(), {"stdarg.h", "stdio.h", "stdlib.h", "string.h"});
    std::vector<std::string> out;
    for (const char* c : cHeaders)
        for (const std::string& name : names)
            if (name == std::string(c) + ".h") {
                out.push_back(std::string("c") + c);
                break;
            }
    return out;
}

void writeDomainIncludes(const Template& t, std::ostream& out) {
    for (const Domain& d : t.domains)
        for (const std::string& include : d.includes) {
            if (d.includesGlobal)
                line(out, "#include ", "<", include, ">");
            else
                line(out, "#include ", "\"", include, "\"");
        }
}

void writeCompilerSection(const Template& t, std::ostream& out) {
    if (t.compiler_type == "gcc") {
        if (t.remote_mode) {
            line(out, "#include <sys/types.h>");
            line(out, "#include <sys/socket.h>");
            line(out, "#include <sys/errno.h> /* ECONNREFUSED */");
            line(out, "#include <netdb.h>");
            line(out, "#include <netinet/in.h>");
        } else if (!t.fork_enabled) {
            line(out, "#include <sys/types.h> /* pid_t */");
        }
        line(out, "#include <stdarg.h>");
        line(out, "#include <stdio.h>");
        line(out, "#include <stdlib.h> /* exit() */");
        line(out, "#include <string.h> /* strlen() */");
        line(out, "#include <unistd.h> /* unlink() */");
        // __extension__: a program built as C89 with -pedantic includes kel.h too.
        line(out, "__extension__ typedef unsigned long long keluint64;");
    } else if (t.compiler_type == "win32") {
        if (t.remote_mode) line(out, "#include <winsock2.h>");
        line(out, "typedef unsigned __int64 keluint64;");
    } else {
        line(std::cerr, "NYI at ", "gen_c", ":", 373);
    }
}

}  // namespace

// The header declares the globals `extern` ("extern "), the source defines
// them once (""), so that any number of C or C++ files may include kel.h.
void writeGlobals(const Template& t, const char* storage, std::ostream& out) {
    for (const char* global : mutexBlocks(mutexKind(t)).global) line(out, storage, global);
    line(out, storage, targetBlocks(t).global);
    line(out, storage, "int\tkel_stop_called;");
    line(out, storage, "int\tkel_retval;");
    line(out);
}

namespace {

void writePrototypes(const Template& t, std::ostream& out) {
    line(out, "char*\tkelsize_t2str(size_t size);");
    line(out, "char*\tkeluint64tostr", 1, " (keluint64 value);");
    line(out, "void\tkelerrlog(const char *msg, const char *file, size_t line);");
    line(out, "void\tkel_trace(int n, ...);");
    line(out, "void\tkel_start(const char *appname);");
    line(out, "void\tkel_stop(void);");
    // The fork macro's target, declared so that its callers compile.
    if (!t.fork_enabled) line(out, "pid_t\t", t.prefix, "fork_forbidden(const char *file, size_t line);");
    line(out);
}

}  // namespace

void writeHeader(const Template& t, std::ostream& out) {
    writeBanner(t, out);
    includeGuard(out, "__pd_" + t.prefix + "h__", [&] {
        line(out);
        cLinkage(out, cppCounterparts(t), [&] {
            line(out);
            block(out, mutexBlocks(mutexKind(t)).includes);
            line(out);
            writeDomainIncludes(t, out);
            line(out);
            writeCompilerSection(t, out);
            writeGlobals(t, "extern ", out);
            writePrototypes(t, out);
            writeDeclarations(t, out);
            writeAttributes(t, out);
            writeRedefinitions(t, out);
            line(out);
        });
        line(out);
        writeStdNames(t, out);
    });
}

namespace {

// A tor with optional parameters: a C99 variadic macro counts the caller's
// arguments by where they push the list of wrappers. With n parameters, r of
// them required, the pick macro returns its (n+1)th argument: the wrapper
// for the count given, or a name that does not exist when too few are given.
//   #define mt_open_kel_pick(a1, a2, a3, wrapper, ...)\twrapper
//   #define open(...)\tmt_open_kel_pick(__VA_ARGS__, mt_open_3, mt_open_2,
//           mt_open_too_few_arguments, mt_open_too_few_arguments)(__VA_ARGS__, __FILE__, __LINE__)
void writeArityDispatch(const Template& t, const Tor& tor, std::ostream& out) {
    const std::string pick = t.prefix + tor.name + "_kel_pick";
    const std::size_t total = tor.args.size() - 1;
    const std::size_t required = requiredParameters(tor);
    std::string slots;
    for (std::size_t i = 1; i <= total; ++i) slots += "a" + std::to_string(i) + ", ";
    line(out, "#define ", pick, "(", slots, "wrapper, ...)\t", "wrapper");
    std::string candidates;
    for (std::size_t count = total; count + 1 > required; --count) {
        candidates += ", " + t.prefix + arityName(tor, count);
        if (count == 0) break;
    }
    for (std::size_t i = 0; i < required; ++i) candidates += ", " + t.prefix + tor.name + "_too_few_arguments";
    line(out, "#define ", tor.name, "(...)\t", pick, "(__VA_ARGS__", candidates, ")(__VA_ARGS__, __FILE__, __LINE__)");
}

}  // namespace

void writeStdNames(const Template& t, std::ostream& out) {
    // A C++ call written std::malloc(n) becomes std::mt_malloc(n, ...) through
    // the macro; the wrappers are therefore made visible in std as well.
    onlyInCpp(out, [&] {
        line(out, "namespace std {");
        for (const Domain& d : t.domains)
            forEachTorHeaderOrder(d, [&](const Tor& tor) {
                forEachWrapper(tor, [&](const Tor&, const std::string& name) { line(out, "using ::", t.prefix, name, ";"); });
            });
        line(out, "}");
    });
    line(out);
}

void writeDeclarations(const Template& t, std::ostream& out) {
    line(out, "/* foo decl BEGIN ***********************************/");
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            forEachWrapper(tor, [&](const Tor& arity, const std::string& name) {
                line(out, returnType(arity));
                if (forwardsVariadic(arity))
                    line(out, t.prefix, name, "(const char *file, size_t line, ", declaredParameters(namedPart(arity)),
                         "...);");
                else
                    line(out, t.prefix, name, "(", declaredParameters(arity), "const char *file, size_t line);");
                line(out);
            });
        });
    line(out, "/* foo decl END *************************************/");
    line(out);
}

void writeRedefinitions(const Template& t, std::ostream& out) {
    line(out, "/* foo redef BEGIN **************************************/");
    line(out, "#ifndef KEL_NO_REDEF");
    // No ';' after the call: fork() stands in expressions (if(fork() == 0)).
    if (!t.fork_enabled) line(out, "#define fork()\t", t.prefix, "fork_forbidden(__FILE__, __LINE__)");
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (isAliased(tor)) return;
            // c_only: C++ has its own functions of the name (std::getline).
            if (tor.c_only) line(out, "#ifndef __cplusplus");
            if (forwardsVariadic(tor))
                // The call site comes first: what the caller passes after
                // the named parameters is not counted.
                line(out, "#define ", tor.name, "(...)\t", t.prefix, tor.name, "(__FILE__, __LINE__, __VA_ARGS__)");
            else if (hasOptionalParameters(tor))
                writeArityDispatch(t, tor, out);
            else
                line(out, "#define ", tor.name, "(", parameterNames(tor), ")\t", t.prefix, tor.name, "(",
                     passedParameters(tor), "__FILE__, __LINE__)");
            if (tor.c_only) line(out, "#endif");
        });
    line(out, "#endif");
    line(out, "/* foo redef END ****************************************/");
}

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

void writeErrorLog(const Template& t, std::ostream& out) {
    line(out, "void\tkelerrlog(const char *msg, const char *file, size_t line){");
    if (t.errlogmode.empty()) {
        line(out, "(void)msg; (void)file; (void)line;");
    } else if (t.errlogmode == "console") {
        line(out, "perror(msg); fprintf(stderr, \"%s:%lu\\n\", file, (unsigned long)line);");
    } else {
        line(out, "FILE *fl;");
        line(out, "fl = fopen(", quoted(t.errlogmode), ", \"a\");");
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

// kel_record_out: one write of a record's bytes, checked as kel_trace checks
// its writes. A failed write ends the program with -1: fwrite's result (0)
// would report the failure as success.
void writeRecordOut(const Template& t, std::ostream& out) {
    const bool win32 = t.compiler_type == "win32";
    line(out, "static void\tkel_record_out(const char *text, size_t size){");
    if (t.remote_mode) {
        line(out, win32 ? "int\tsent;" : "ssize_t\tsent;");
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        // send() may take a part of a long record, or be interrupted.
        line(out, "while(size > 0){");
        line(out, "\tsent = send(kel_socket, text, ", win32 ? "(int)size" : "size", ", 0);");
        if (!win32) line(out, "\tif(sent < 0 && errno == EINTR) continue;");
        if (t.trap_on_io_err)
            line(out, "\tif(sent <= 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "\tif(sent <= 0) return;");
        line(out, "\ttext += sent;");
        line(out, "\tsize -= (size_t)sent;");
        line(out, "\t}");
    } else {
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        // fwrite() of nothing returns 0, which the check would take for a failure.
        line(out, "if(size == 0) return;");
        if (t.trap_on_io_err)
            line(out, "if(fwrite(text, size, 1, kel_tracefile) != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "fwrite(text, size, 1, kel_tracefile);");
    }
    line(out, "}");
    line(out);
}

// kel_put and its forms: append to the record. A piece that does not fit
// sends the record so far out first, and one larger than the whole buffer
// goes out directly, so no file name is too long.
void writeRecordPut(const Template& t, std::ostream& out) {
    line(out, "static void\tkel_put(kel_record *r, const char *text, size_t size){");
    line(out, "if(size > sizeof(r->text) - r->used){");
    line(out, "\tkel_record_out(r->text, r->used);");
    line(out, "\tr->used = 0;");
    line(out, "\tif(size > sizeof(r->text)){");
    line(out, "\t\tkel_record_out(text, size);");
    line(out, "\t\treturn;");
    line(out, "\t\t}");
    line(out, "\t}");
    line(out, "memcpy(r->text + r->used, text, size);");
    line(out, "r->used += size;");
    line(out, "}");
    line(out);
    line(out, "#define KEL_PUT_TEXT(r, literal)\tkel_put((r), (literal), sizeof(literal) - 1)");
    line(out);
    line(out, "static void\tkel_put_line(kel_record *r, const char *text){");
    line(out, "kel_put(r, text, strlen(text));");
    line(out, "kel_put(r, \"\\n\", 1);");
    line(out, "}");
    line(out);
    // The line number as kelsize_t2str writes it, with its line feed.
    line(out, "static void\tkel_put_dec(kel_record *r, unsigned long value){");
    line(out, "char\tdigits[24];");
    line(out, "size_t\ti = sizeof(digits) - 1;");
    line(out, "digits[i] = '\\n';");
    line(out, "do\t{");
    line(out, "\tdigits[--i] = (char)('0' + value % 10);");
    line(out, "\tvalue /= 10;");
    line(out, "\t} while(value != 0);");
    line(out, "kel_put(r, digits + i, sizeof(digits) - i);");
    line(out, "}");
    line(out);
    if (recordsWriteHex(t)) {
        // hex16 as keluint64tostr1 writes it; it always ends its line.
        line(out, "static void\tkel_put_hex(kel_record *r, keluint64 value){");
        line(out, "static const char\txdigits[] = \"0123456789ABCDEF\";");
        line(out, "char\tdigits[17];");
        line(out, "int\ti;");
        line(out, "for(i = 15; i >= 0; i--){");
        line(out, "\tdigits[i] = xdigits[value & 15];");
        line(out, "\tvalue >>= 4;");
        line(out, "\t}");
        line(out, "digits[16] = '\\n';");
        line(out, "kel_put(r, digits, sizeof(digits));");
        line(out, "}");
        line(out);
    }
}

// kel_record_call runs just before the traced call, kel_record_end after the
// record's last line. Whatever the default runtime has handed to the target
// before the call is handed over here too: a program that dies inside the
// call leaves the same trace.
void writeRecordEnds(const Template& t, std::ostream& out) {
    const bool flush = !t.remote_mode && t.force_flush;
    if (flush) {
        line(out, "static void\tkel_record_flush(void){");
        if (t.auto_start) line(out, "if(kel_started != 1) return;");
        if (t.trap_on_io_err)
            line(out, "if(fflush(kel_tracefile) != 0){kelerrlog(\"fflush()\", __FILE__, __LINE__); exit(-1);}");
        else
            line(out, "fflush(kel_tracefile);");
        line(out, "}");
        line(out);
    }
    line(out, "static void\tkel_record_call(kel_record *r){");
    if (defersRecordStart(t)) {
        line(out, "kel_pending = r;");
    } else {
        line(out, "kel_record_out(r->text, r->used);");
        line(out, "r->used = 0;");
        if (flush) line(out, "kel_record_flush();");
    }
    line(out, "}");
    line(out);
    line(out, "static void\tkel_record_end(kel_record *r){");
    if (defersRecordStart(t)) line(out, "kel_pending = NULL;");
    line(out, "kel_record_out(r->text, r->used);");
    if (flush) line(out, "kel_record_flush();");
    line(out, "}");
    line(out);
}

void writeRecordBuffer(const Template& t, std::ostream& out) {
    line(out, "typedef struct {");
    line(out, "\tsize_t\tused;");
    line(out, "\tchar\ttext[", kRecordBufferSize, "];");
    line(out, "} kel_record;");
    line(out);
    if (defersRecordStart(t)) {
        line(out, "static kel_record\t*kel_pending = NULL;");
        line(out);
    }
    writeRecordOut(t, out);
    writeRecordPut(t, out);
    writeRecordEnds(t, out);
}

// trace_per_process: every "%p" of the trace file's name becomes the process
// id at kel_start, so that each program of a suite keeps its own trace.
bool perProcess(const Template& t) { return t.trace_per_process && !t.remote_mode; }

void writeTracePath(const Template& t, std::ostream& out) {
    std::size_t ids = 0;
    for (auto at = t.trace_target.find("%p"); at != std::string::npos; at = t.trace_target.find("%p", at + 2)) ++ids;
    // The literal is never longer than its text; a process id has at most 20 digits.
    const std::size_t size = t.trace_target.size() + 20 * ids + 1;
    const bool win32 = t.compiler_type == "win32";
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
bool tracesIntoFolder(const Template& t) { return !t.remote_mode && t.compiler_type == "gcc"; }

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
    if (t.errlogmode.empty())
        line(out, "(void)msg;");
    else if (t.errlogmode == "console")
        line(out, "fprintf(stderr, \"%s\\n\", msg);");
    else
        line(out, "kelerrlog(msg, __FILE__, __LINE__);");
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
    if (errlogIsFile(t)) line(out, "unlink(", quoted(t.errlogmode), ");");
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

int writeRuntime(const Template& t, const char* templatePath, std::ostream& out) {
    writeBanner(t, out);
    line(out, "#define KEL_NO_REDEF");
    if (t.compiler_type == "gcc" && t.gnu_source) {
        // The GNU functions that wrappers call (asprintf, vasprintf, dup3).
        line(out, "#ifndef _GNU_SOURCE");
        line(out, "#define _GNU_SOURCE");
        line(out, "#endif");
    }
    if (t.compiler_type == "gcc") {
        // The POSIX declarations the runtime uses (sockets, fork's pid_t),
        // also when kel.c is built with -std=c99 or -std=c11.
        line(out, "#ifndef _DEFAULT_SOURCE");
        line(out, "#define _DEFAULT_SOURCE");
        line(out, "#endif");
    }
    line(out, "#include \"kel.h\"");
    line(out);
    writeGlobals(t, "", out);
    if (t.auto_start) writeAutoStartPrologue(t, out);
    // After the prologue's #undef of the same names.
    writeRealNames(t, out);
    writeConversions(out);
    if (t.remote_mode) writeConnectClient(out);
    writeErrorLog(t, out);
    writeKelTrace(t, out);
    if (buffersRecords(t)) writeRecordBuffer(t, out);
    if (perProcess(t)) writeTracePath(t, out);
    if (tracesIntoFolder(t)) writeTraceFolder(t, out);
    writeKelStart(t, templatePath, out);
    writeKelStop(t, out);
    if (t.auto_start) writeAutoStart(out);
    if (!t.fork_enabled) writeForkTrap(t, out);
    return 0;
}

int embedTemplateLines(const char* templatePath, std::ostream& out) {
    forEachTemplateBlockLine(templatePath, [&](const std::string& text) { line(out, kelTrace1(text)); });
    return 0;
}

void escapeQuotes(std::string& s) { s = cStringContent(s); }

// ---------------------------------------------------------------- wrappers

namespace {

void writeWrapperHead(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                      const std::string& wrapperName);
void writeUntracedCall(const Template& t, const Tor& tor, std::ostream& out);
void writeTracedCall(const Template& t, const Tor& tor, const std::string& assign, std::ostream& out);
void writeRecordStart(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
void writeReleaseRecord(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
bool recordsAfterCall(const Tor& tor);
void writeAfterCallWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);

}  // namespace

int writeWrappers(const Template& t, std::ostream& out) {
    line(out, "/* *** BEGIN **************************************/");
    for (const Domain& d : t.domains)
        forEachTorSourceOrder(d, [&](const Tor& tor) { writeWrapper(t, d, tor, out); });
    line(out, "/* *** END ****************************************/");
    return 0;
}

void writeWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (recordsAfterCall(tor)) return writeAfterCallWrapper(t, d, tor, out);
    forEachWrapper(tor, [&](const Tor& arity, const std::string& name) {
        writeWrapperPrologue(t, d, arity, out, name);
        writeArgumentChecks(t, d, arity, out);
        writeCall(t, arity, out);
        writeWrapperEpilogue(t, d, arity, out);
    });
}

void writeWrapperPrologue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                          const std::string& wrapperName) {
    if (isAliased(tor)) return;
    writeWrapperHead(t, d, tor, out, wrapperName);
    line(out);
    writeUntracedCall(t, tor, out);
    writeReleaseRecord(t, d, tor, out);
    writeRecordStart(t, d, tor, out);
}

namespace {

void writeWrapperHead(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                      const std::string& wrapperName) {
    const std::string& p = t.prefix;
    const std::string& name = wrapperName.empty() ? tor.name : wrapperName;
    if (forwardsVariadic(tor))
        line(out, returnType(tor), "\t", p, name, "(const char *", p, "file, size_t ", p, "line, ",
             declaredParameters(namedPart(tor)), "...){");
    else
        line(out, returnType(tor), "\t", p, name, "(", declaredParameters(tor), "const char *", p, "file, size_t ",
             p, "line){");
    if (!isVoid(returnType(tor))) line(out, "\t", returnType(tor), " ", p, "stored_retcode;");
    if (tor.is_handle_arg_out) line(out, "\t", d.handle, " ", p, "stored_handle;");
    block(out, mutexBlocks(mutexKind(t)).wrapperLocals);
    if (t.buffered_records) line(out, "\tkel_record kel_rec;");
}

// traced_if: a call for which the condition is false goes to the function
// without a record (realpath into the caller's own buffer allocates nothing).
void writeUntracedCall(const Template& t, const Tor& tor, std::ostream& out) {
    if (tor.traced_if.empty()) return;
    line(out, "\tif(!(", tor.traced_if, ")){");
    if (isVoid(returnType(tor))) {
        writeTracedCall(t, tor, "\t\t", out);
        line(out, "\t\treturn;");
    } else {
        writeTracedCall(t, tor, "\t\t" + t.prefix + "stored_retcode = ", out);
        line(out, "\t\treturn (", t.prefix, "stored_retcode);");
    }
    line(out, "\t}");
}

// The call of the traced function after `assign`; a forwarding wrapper hands
// its variable arguments over as a va_list.
void writeTracedCall(const Template& t, const Tor& tor, const std::string& assign, std::ostream& out) {
    if (!forwardsVariadic(tor)) {
        line(out, assign, tor.name, "(", parameterNames(tor), ");");
        return;
    }
    const Tor named = namedPart(tor);
    const std::string indent = assign.substr(0, assign.find_first_not_of('\t'));
    const std::string list = t.prefix + "va_args";
    line(out, indent, "{");
    line(out, indent, "va_list ", list, ";");
    line(out, indent, "va_start(", list, ", ", named.args.back().name, ");");
    line(out, assign, tor.va_forward, "(", passedParameters(named), list, ");");
    line(out, indent, "va_end(", list, ");");
    line(out, indent, "}");
}

// The lock, then the record's domain, tor, file and line.
void writeRecordStart(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    const std::string& p = t.prefix;
    const MutexBlocks& mutex = mutexBlocks(mutexKind(t));
    block(out, mutex.lock);
    if (t.buffered_records) {
        line(out, "\tkel_rec.used = 0;");
        line(out, "\tKEL_PUT_TEXT(&kel_rec, ", nameLine(d.name), " ", nameLine(tor.name), ");");
        line(out, "\tkel_put_line(&kel_rec, ", p, "file);");
        line(out, "\tkel_put_dec(&kel_rec, (unsigned long)", p, "line);");
    } else {
        line(out, "\t", kelTrace1(d.name));
        line(out, "\t", kelTrace1(tor.name));
        line(out, "\tkel_trace(1, ", p, "file);");
        line(out, "\tkel_trace(1, kelsize_t2str(", p, "line));");
    }
}

// release_tor: a call that releases another handle on its way (dup2 closes
// its target descriptor, if open, before reusing its number) first writes,
// when release_if holds, the record of that release: the deallocator
// release_tor of the domain, for the argument at release_arg. Its expr type
// is "void" (the checks see to that), so its record needs no result.
void writeReleaseRecord(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (tor.release_tor.empty()) return;
    const Domain* owner = &d;
    const Tor* release = findReleaseTor(t, d, tor.release_tor, owner);
    if (release == nullptr) return;
    Tor view = *release;
    view.cpp_alias = "";
    if (view.args.size() > 1) view.args[1].name = argName(tor, tor.release_arg);
    const bool conditional = !tor.release_if.empty();
    if (conditional) line(out, "\tif(", tor.release_if, "){");
    writeRecordStart(t, *owner, view, out);
    writeArgumentChecks(t, *owner, view, out);
    if (t.buffered_records) {
        line(out, "\tKEL_PUT_TEXT(&kel_rec, \"", kelproto::kVoid, "\\n", kelproto::kNothing, "\\n\");");
        line(out, "\tkel_record_end(&kel_rec);");
    } else {
        line(out, "\t", kelTrace1(kelproto::kVoid));
        line(out, "\t", kelTrace1(kelproto::kNothing));
    }
    block(out, mutexBlocks(mutexKind(t)).unlock);
    if (conditional) line(out, "\t}");
}

}  // namespace

void writeArgumentChecks(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i) {
        const std::string& n = tor.validateDom_before[i];
        if (n.empty()) continue;
        const int k = findDomainIndex(t, n);
        if (k == -1) continue;
        const Expr& e = t.domains[static_cast<std::size_t>(k)].expr;
        const std::string& a = argName(tor, static_cast<std::int64_t>(i));
        const std::string condition = a + " " + e.oper + " " + e.value;
        if (t.buffered_records) {
            writePutVerdict(out, condition, n, " ");
            line(out, "\tkel_put_hex(&kel_rec, ", asHex(a), ");");
        } else {
            writeVerdict(out, condition, "3, " + quoted(n) + ", ", ", keluint64tostr1(" + asHex(a) + "));");
        }
    }
    for (const std::string& size : sizeValues(d, tor)) {
        if (t.buffered_records)
            line(out, "\tkel_put_hex(&kel_rec, ", asHex(size), ");");
        else
            line(out, "\tkel_trace(1, keluint64tostr1(", asHex(size), "));");
    }
}

void writeCall(const Template& t, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;
    std::string assign = "\t";
    if (!isVoid(returnType(tor))) {
        assign += p + "stored_retcode = ";
        if (tor.is_handle_arg_out && tor.handle_arg_out == 0) assign += p + "stored_handle = ";
    }
    if (t.buffered_records) line(out, "\tkel_record_call(&kel_rec);");
    line(out, assign, tor.name, "(", parameterNames(tor), ");");
    if (tor.is_handle_arg_out && tor.handle_arg_out != 0) {
        line(out, "\t", p, "stored_handle = ", argName(tor, tor.handle_arg_out), ";");
        // The trace reads the argument itself; the stored copy stays unread.
        line(out, "\t(void)", p, "stored_handle;");
    }
}

void writeWrapperEpilogue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    if (isAliased(tor)) return;
    const std::string& p = t.prefix;

    const bool buffered = t.buffered_records;
    auto marker = [&](const char* text) { writeMarker(out, text, buffered); };

    if (tor.expr.type == "void") {
        marker(kelproto::kVoid);
    } else if (tor.expr.type.empty()) {
        marker(kelproto::kNothing);
    } else {
        const std::string condition = p + "stored_retcode " + tor.expr.oper + " " + tor.expr.value;
        if (buffered)
            writePutVerdict(out, condition, "", "\\n");
        else
            writeVerdict(out, condition, "1, ", ");");
    }

    const Expr& f = d.expr;
    if (!tor.is_handle_arg_out) {
        marker(kelproto::kNothing);
    } else {
        // The stored handle is tested with blanks around the operator, an
        // argument without.
        const bool fromReturn = tor.handle_arg_out == 0;
        const std::string h = fromReturn ? p + "stored_handle" : argName(tor, tor.handle_arg_out);
        const std::string condition = fromReturn ? h + " " + f.oper + " " + f.value : h + f.oper + f.value;
        writeHandleLine(out, condition, h, buffered);
    }

    if (buffered) line(out, "\tkel_record_end(&kel_rec);");
    block(out, mutexBlocks(mutexKind(t)).unlock);
    if (!isVoid(returnType(tor))) line(out, "\treturn (", p, "stored_retcode);");
    line(out, "}");
    line(out);
}

// ---------------------------------------------------------------- wrappers that record after the call
//
// A handle that comes back through a pointer (handle_arg_deref) exists only
// once the call has returned, and a forwarded variable argument list
// (va_forward) is consumed by the call: such a wrapper calls first and then
// writes its records, whole, with the same lines as any other wrapper.
//   handle_arg_deref 1 on an allocator: one record with the handle *arg; a
//     call that failed by the tor's expr records nothing.
//   handle_arg_deref n > 1: one record per handle arg[0] .. arg[n-1].
//   handle_arg_deref 1 on a reallocator: the old handle is *arg before the
//     call and the new one *arg after it, the sizes are read after it; a
//     call that changed neither the handle nor a size records nothing, and
//     one that did is a reallocation whatever it returned (getline
//     allocates its buffer even when it returns -1 at the end of a file).
// No lock is held across such a call.

namespace {

// float_size_expr may name the result by args entry 0's name (realpath's
// copy is strlen(ret) + 1): its value exists only after the call.
bool sizeNamesResult(const Tor& tor) {
    if (tor.float_size_expr.empty() || tor.args.empty() || !isCIdentifier(tor.args[0].name)) return false;
    const std::string& e = tor.float_size_expr;
    const std::string& name = tor.args[0].name;
    const auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (std::size_t at = e.find(name); at != std::string::npos; at = e.find(name, at + 1)) {
        const std::size_t end = at + name.size();
        if ((at == 0 || !word(e[at - 1])) && (end == e.size() || !word(e[end]))) return true;
    }
    return false;
}

bool recordsAfterCall(const Tor& tor) {
    return !isAliased(tor) && (tor.handle_arg_deref > 0 || forwardsVariadic(tor) || sizeNamesResult(tor));
}

bool isReallocator(const Domain& d, const Tor& tor) {
    for (const Tor& r : d.reallocators)
        if (&r == &tor) return true;
    return false;
}

// The verdict lines of a record written after the call: the result line is
// "OK" (a call that failed wrote no record), the handle line tests `handle`.
void writeOutcome(const Template& t, const Domain& d, const Tor& tor, const std::string& handle, std::ostream& out) {
    const bool buffered = t.buffered_records;
    auto marker = [&](const char* text) { writeMarker(out, text, buffered); };
    if (tor.expr.type == "void")
        marker(kelproto::kVoid);
    else if (tor.expr.type.empty())
        marker(kelproto::kNothing);
    else
        marker(kelproto::kOK);
    if (!tor.is_handle_arg_out) {
        marker(kelproto::kNothing);
    } else {
        const std::string condition = handle + " " + d.expr.oper + " " + d.expr.value;
        writeHandleLine(out, condition, handle, buffered);
    }
    if (buffered) line(out, "\tkel_record_end(&kel_rec);");
    block(out, mutexBlocks(mutexKind(t)).unlock);
}

void writeAfterCallWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out) {
    const std::string& p = t.prefix;
    const bool returns = !isVoid(returnType(tor));
    const std::string ret = p + "stored_retcode";
    const std::string handle = p + "stored_handle";
    const std::string index = p + "handle_index";
    const std::string oldHandle = p + "old_handle";
    const std::string returnLine = returns ? "\treturn (" + ret + ");" : "\treturn;";
    const std::int64_t count = tor.handle_arg_deref;
    const bool resized = isReallocator(d, tor);
    const std::vector<std::string> sizes = sizeValues(d, tor);
    const std::string arg = tor.is_handle_arg_out && tor.handle_arg_out > 0 ? argName(tor, tor.handle_arg_out) : "";

    writeWrapperHead(t, d, tor, out, tor.name);
    if (count > 1) line(out, "\tint ", index, ";");
    if (resized) {
        line(out, "\t", d.handle, " ", oldHandle, ";");
        for (std::size_t i = 0; i < sizes.size(); ++i) line(out, "\tkeluint64 ", p, "old_size", i, ";");
    }
    line(out);
    writeUntracedCall(t, tor, out);
    writeReleaseRecord(t, d, tor, out);
    if (resized) {
        line(out, "\t", oldHandle, " = *", arg, ";");
        for (std::size_t i = 0; i < sizes.size(); ++i) line(out, "\t", p, "old_size", i, " = ", asHex(sizes[i]), ";");
    }
    writeTracedCall(t, tor, returns ? "\t" + ret + " = " : "\t", out);
    if (!resized && returns && !tor.expr.type.empty() && !isVoid(tor.expr.type))
        line(out, "\tif(", ret, " ", tor.expr.oper, " ", tor.expr.value, ") ", returnLine.substr(1));
    if (returns && sizeNamesResult(tor)) line(out, "\t", returnType(tor), " ", tor.args[0].name, " = ", ret, ";");

    // The record's lines, as the tor's other wrappers would write them,
    // with the old handle standing for the argument that points to it.
    Tor view = tor;
    if (resized) view.args[static_cast<std::size_t>(tor.handle_arg_out)].name = oldHandle;
    std::string produced;
    if (tor.is_handle_arg_out) {
        if (count == 0)
            produced = tor.handle_arg_out == 0 ? ret : arg;
        else
            produced = count > 1 ? arg + "[" + index + "]" : "*" + arg;
    }
    if (resized) {
        std::string unchanged = handle + " == " + oldHandle;
        for (std::size_t i = 0; i < sizes.size(); ++i)
            unchanged += " && " + asHex(sizes[i]) + " == " + p + "old_size" + std::to_string(i);
        line(out, "\t", handle, " = ", produced, ";");
        line(out, "\tif(", unchanged, ") ", returnLine.substr(1));
    }
    const std::string body = count > 1 ? "\t" : "";
    if (count > 1) line(out, "\tfor(", index, " = 0; ", index, " < ", count, "; ", index, "++){");
    if (tor.is_handle_arg_out && !resized) line(out, body, "\t", handle, " = ", produced, ";");
    writeRecordStart(t, d, tor, out);
    writeArgumentChecks(t, d, view, out);
    writeOutcome(t, d, tor, handle, out);
    if (count > 1) line(out, "\t}");
    line(out, returnLine);
    line(out, "}");
    line(out);
}

}  // namespace

const Tor* findReleaseTor(const Template& t, const Domain& d, const std::string& text, const Domain*& owner) {
    std::string name = text;
    owner = &d;
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos) {
        const int k = findDomainIndex(t, text.substr(0, colon));
        owner = nullptr;
        if (k == -1) return nullptr;
        owner = &t.domains[static_cast<std::size_t>(k)];
        name = text.substr(colon + 1);
    }
    for (const Tor& r : owner->deallocators)
        if (r.name == name) return &r;
    return nullptr;
}

int findDomainIndex(const Template& t, const std::string& name) {
    for (std::size_t i = 0; i < t.domains.size(); ++i)
        if (t.domains[i].name == name) return static_cast<int>(i);
    return -1;
}

// ---------------------------------------------------------------- driver

int generateFiles(const Template& t, const char* templatePath, const char* headerPath, const char* sourcePath) {
    if (!checkOutputPaths(templatePath, headerPath, sourcePath, std::cerr) || !checkTemplate(t, templatePath, std::cerr))
        return statusTemplateRejected;
    warnUnknownDomains(t, templatePath, std::cerr);

    OutputFile header(headerPath);
    OutputFile source(sourcePath);
    if (!header.open(std::cerr) || !source.open(std::cerr)) return statusOutputFailed;

    // Each text streams into its own temporary file; neither file is replaced
    // until both are complete.
    writeHeader(t, header.stream());
    const int status = writeSource(t, templatePath, source.stream());
    if (status != 0) return status;

    if (!header.finish(std::cerr) || !source.finish(std::cerr) || !header.commit(std::cerr) ||
        !source.commit(std::cerr))
        return statusOutputFailed;
    return statusOk;
}

int writeSource(const Template& t, const char* templatePath, std::ostream& out) {
    const int status = writeRuntime(t, templatePath, out);
    if (status != 0) return status;
    const int wrappers = writeWrappers(t, out);
    writeLinkWrappers(t, out);
    return wrappers;
}
