// kel.h's writers: the banner, the include guard and C linkage block around
// the includes, globals, prototypes, wrapper declarations, attributes and the
// redefinition macros, then the wrappers' names in namespace std for C++.
#include "gen_c.h"

#include <iostream>

#include "gen_attributes.h"
#include "gen_lines.h"
#include "kel_version.h"

namespace {

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
    if (compiler(t) == Compiler::gcc) names.insert(names.end(), {"stdarg.h", "stdio.h", "stdlib.h", "string.h"});
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
    switch (compiler(t)) {
        case Compiler::gcc:
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
            break;
        case Compiler::win32:
            if (t.remote_mode) line(out, "#include <winsock2.h>");
            line(out, "typedef unsigned __int64 keluint64;");
            break;
        case Compiler::other:
            // The message names the place in the generator that has no
            // section for the compiler; users' logs match it as it is.
            line(std::cerr, "NYI at ", "gen_c", ":", 373);
            break;
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
