// kel.h as the generator writes it: banner, guard, per-setting sections,
// declarations and redefinition macros, compared line for line.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>

#include "gen_c.h"
#include "gen_text_fixtures.h"

namespace {

// The banner's notice line is ours to word; everything else in it is fixed.
const char* const kNotice = "* Tracing library for one program under test: include kel.h, build kel.c with it.";
const char* const kTop = "/***************************************************************************";
const char* const kBottom = "****************************************************************************/";

std::string banner(const char* templateName) {
    return std::string(kTop) + "\n" + kNotice + "\n*\n* THIS FILE GENERATED FROM TEMPLATE '" + templateName +
           "'\n* BY KEL LIBRARY GENERATOR VERSION 0.9.02\n*\n* KEL MARKED \"VELMARIS\"\n*\n"
           "* !!! DON'T TOUCH THESE UNLESS YOU REALLY KNOW WHAT YOU'RE DOING !!!\n" +
           kBottom + "\n\n";
}

std::string header(const Template& t) {
    std::ostringstream out;
    writeHeader(t, out);
    return out.str();
}

TEST(Banner, ElevenLinesWithTheTemplateNameAndVersion) {
    EXPECT_EQ(76u, std::strlen(kTop));
    EXPECT_EQ(77u, std::strlen(kBottom));
    std::ostringstream out;
    writeBanner(mtExample(), out);
    EXPECT_EQ(banner("mt"), out.str());
}

// The name is only shown: whatever it holds, the banner stays one comment.
TEST(Banner, ATemplateNameCannotEndTheComment) {
    Template t = mtExample();
    t.name = "x*/ int injected; /*\n";
    std::ostringstream out;
    writeBanner(t, out);
    EXPECT_EQ(banner("x* / int injected; / *\\n"), out.str());
}

TEST(Header, WholeTextOfTheMtExample) {
    const std::string expected = banner("mt") + lines({
        "#ifndef __pd_mt_h__",
        "#define __pd_mt_h__",
        "",
        "#ifdef __cplusplus",
        // C++ reads the C library's C++ headers before the macros exist.
        "#include <cstdarg>",
        "#include <cstdio>",
        "#include <cstdlib>",
        "#include <cstring>",
        "extern \"C\" {",
        "#endif",
        "",
        "",
        "#include <stdlib.h>",
        "",
        "#include <stdarg.h>",
        "#include <stdio.h>",
        "#include <stdlib.h> /* exit() */",
        "#include <string.h> /* strlen() */",
        "#include <unistd.h> /* unlink() */",
        "__extension__ typedef unsigned long long keluint64;",
        "extern FILE*\tkel_tracefile;",
        "extern int\tkel_stop_called;",
        "extern int\tkel_retval;",
        "",
        "char*\tkelsize_t2str(size_t size);",
        "char*\tkeluint64tostr1 (keluint64 value);",
        "void\tkelerrlog(const char *msg, const char *file, size_t line);",
        "void\tkel_trace(int n, ...);",
        "void\tkel_start(const char *appname);",
        "void\tkel_stop(void);",
        "",
        "/* foo decl BEGIN ***********************************/",
        "void*",
        "mt_malloc(size_t size, const char *file, size_t line);",
        "",
        "void",
        "mt_free(void* ptr, const char *file, size_t line);",
        "",
        "/* foo decl END *************************************/",
        "",
        // malloc is the C library's: the program's calls keep its attributes.
        "/* foo attr BEGIN ***********************************/",
        "#if defined(__GNUC__) && !defined(KEL_NO_REDEF)",
        "void*\tmt_malloc(size_t size, const char *file, size_t line) __attribute__((__malloc__, __alloc_size__(1)));",
        "#if !defined(__clang__) && __GNUC__ >= 11",
        "void*\tmt_malloc(size_t size, const char *file, size_t line) "
        "__attribute__((__malloc__(__builtin_free, 1), __malloc__(mt_free, 1)));",
        "#endif",
        "#endif",
        "/* foo attr END *************************************/",
        "",
        "/* foo redef BEGIN **************************************/",
        "#ifndef KEL_NO_REDEF",
        "#define malloc(size)\tmt_malloc(size, __FILE__, __LINE__)",
        "#define free(ptr)\tmt_free(ptr, __FILE__, __LINE__)",
        "#endif",
        "/* foo redef END ****************************************/",
        "",
        "#ifdef __cplusplus",
        "}",
        "#endif",
        "",
        "#ifdef __cplusplus",
        "namespace std {",
        "using ::mt_malloc;",
        "using ::mt_free;",
        "}",
        "#endif",
        "",
        "#endif",
    });
    EXPECT_EQ(expected, header(mtExample()));
}

// The part of the header that the settings choose: from the end of the
// linkage block to the runtime's prototypes.
struct SettingsCase {
    const char* name;
    std::function<void(Template&)> apply;
    std::string expected;
    const char* expectedErr;
};

TEST(Header, SectionsChosenBySettings) {
    const std::string gccTail = lines({
        "#include <stdarg.h>",
        "#include <stdio.h>",
        "#include <stdlib.h> /* exit() */",
        "#include <string.h> /* strlen() */",
        "#include <unistd.h> /* unlink() */",
        "__extension__ typedef unsigned long long keluint64;",
    });
    const std::string socketHeaders = lines({
        "#include <sys/types.h>",
        "#include <sys/socket.h>",
        "#include <sys/errno.h> /* ECONNREFUSED */",
        "#include <netdb.h>",
        "#include <netinet/in.h>",
    });
    const std::string fileGlobals = lines({"extern FILE*\tkel_tracefile;", "extern int\tkel_stop_called;", "extern int\tkel_retval;", ""});
    const std::string socketGlobals = lines({"extern int\tkel_socket;", "extern int\tkel_stop_called;", "extern int\tkel_retval;", ""});

    const std::vector<SettingsCase> cases = {
        {"no mutex, gcc, file", [](Template&) {}, "\n#include <stdlib.h>\n\n" + gccTail + fileGlobals, ""},
        {"posix mutex, gcc, remote",
         [](Template& t) {
             t.multithreaded = true;
             t.remote_mode = true;
         },
         "#include <pthread.h>\n\n#include <stdlib.h>\n\n" + socketHeaders + gccTail + "extern pthread_mutex_t kel_mutex;\n" +
             socketGlobals,
         ""},
        {"win32 mutex, win32 compiler, file",
         [](Template& t) {
             t.multithreaded = true;
             t.threading = "win32";
             t.compiler_type = "win32";
         },
         "#include <Windows.h>\n#include <Winbase.h>\n\n#include <stdlib.h>\n\n"
         "typedef unsigned __int64 keluint64;\nextern HANDLE kel_mutex;\n" +
             fileGlobals,
         ""},
        {"win32 compiler, remote: only winsock2",
         [](Template& t) {
             t.compiler_type = "win32";
             t.remote_mode = true;
         },
         "\n#include <stdlib.h>\n\n#include <winsock2.h>\ntypedef unsigned __int64 keluint64;\n" + socketGlobals, ""},
        {"posix mutex with the win32 compiler: chosen independently",
         [](Template& t) {
             t.multithreaded = true;
             t.compiler_type = "win32";
         },
         "#include <pthread.h>\n\n#include <stdlib.h>\n\ntypedef unsigned __int64 keluint64;\n"
         "extern pthread_mutex_t kel_mutex;\n" +
             fileGlobals,
         ""},
        {"unknown threading gives no mutex",
         [](Template& t) {
             t.multithreaded = true;
             t.threading = "Posix";
         },
         "\n#include <stdlib.h>\n\n" + gccTail + fileGlobals, ""},
        {"threading without multithreaded gives no mutex",
         [](Template& t) { t.threading = "win32"; }, "\n#include <stdlib.h>\n\n" + gccTail + fileGlobals, ""},
        {"gcc, file, fork forbidden: pid_t for the trap's prototype",
         [](Template& t) { t.fork_enabled = false; },
         "\n#include <stdlib.h>\n\n#include <sys/types.h> /* pid_t */\n" + gccTail + fileGlobals, ""},
        {"unknown compiler: no section, NYI report",
         [](Template& t) { t.compiler_type = "msvc"; }, "\n#include <stdlib.h>\n\n" + fileGlobals,
         "NYI at gen_c:373\n"},
        {"includes by domain, quoted when not global, duplicates kept",
         [](Template& t) {
             t.domains[0].includes = {"stdlib.h", "string.h"};
             Domain other = t.domains[0];
             other.name = "other";
             other.includesGlobal = false;
             other.includes = {"mylib.h", "stdlib.h"};
             t.domains.push_back(other);
         },
         "\n#include <stdlib.h>\n#include <string.h>\n#include \"mylib.h\"\n#include \"stdlib.h\"\n\n" + gccTail +
             fileGlobals,
         ""},
        {"no includes at all: the empty lines stay",
         [](Template& t) { t.domains[0].includes.clear(); }, "\n\n" + gccTail + fileGlobals, ""},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        c.apply(t);
        testing::internal::CaptureStderr();
        const std::string text = header(t);
        EXPECT_EQ(c.expectedErr, testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.expected, between(text, "#endif\n\n", "char*\tkelsize_t2str").substr(8));
    }
}

TEST(Header, EmptyPrefixGivesTheBareGuardAndWrapperNames) {
    Template t = mtExample();
    t.prefix = "";
    const std::string text = header(t);
    EXPECT_NE(std::string::npos, text.find("#ifndef __pd_h__\n#define __pd_h__\n"));
    EXPECT_NE(std::string::npos, text.find("void*\nmalloc(size_t size, const char *file, size_t line);\n"));
    EXPECT_NE(std::string::npos, text.find("#define malloc(size)\tmalloc(size, __FILE__, __LINE__)\n"));
}

TEST(Header, ForkTrapMacroWhenForkIsForbidden) {
    Template t = mtExample();
    EXPECT_EQ(std::string::npos, header(t).find("fork_forbidden"));
    t.fork_enabled = false;
    // The trap is declared after the runtime's prototypes.
    EXPECT_NE(std::string::npos, header(t).find("void\tkel_stop(void);\n"
                                                "pid_t\tmt_fork_forbidden(const char *file, size_t line);\n\n"));
    std::ostringstream out;
    writeRedefinitions(t, out);
    EXPECT_EQ(lines({
                  "/* foo redef BEGIN **************************************/",
                  "#ifndef KEL_NO_REDEF",
                  "#define fork()\tmt_fork_forbidden(__FILE__, __LINE__)",
                  "#define malloc(size)\tmt_malloc(size, __FILE__, __LINE__)",
                  "#define free(ptr)\tmt_free(ptr, __FILE__, __LINE__)",
                  "#endif",
                  "/* foo redef END ****************************************/",
              }),
              out.str());
}

// Four kinds, header order allocators, deallocators, reallocators, operators;
// an aliased tor in the middle of a list is left out alone.
Template mixedKinds() {
    Template t = mtExample();
    Domain& d = t.domains[0];
    Tor op;
    op.name = "use";
    op.args = {arg("int", "ret"), arg("void*", "p"), arg("int", "n")};
    op.expr = expr("", "", "");
    Tor aliased = op;
    aliased.name = "use_alias";
    aliased.cpp_alias = "use";
    Tor none;
    none.name = "make";
    none.args = {arg("void*", "ret")};
    none.expr = expr("==", "void*", "NULL");
    Tor re;
    re.name = "realloc";
    re.args = {arg("void*", "ret"), arg("void*", "ptr"), arg("size_t", "size")};
    re.expr = expr("==", "void*", "NULL");
    d.operators = {op, aliased, op};
    d.operators[2].name = "use2";
    d.allocators.push_back(none);
    d.reallocators = {re};
    return t;
}

TEST(Header, DeclarationsAndMacrosInKindOrderSkippingAliases) {
    const Template t = mixedKinds();
    std::ostringstream decl;
    writeDeclarations(t, decl);
    EXPECT_EQ(lines({
                  "/* foo decl BEGIN ***********************************/",
                  "void*",
                  "mt_malloc(size_t size, const char *file, size_t line);",
                  "",
                  "void*",
                  "mt_make(const char *file, size_t line);",
                  "",
                  "void",
                  "mt_free(void* ptr, const char *file, size_t line);",
                  "",
                  "void*",
                  "mt_realloc(void* ptr, size_t size, const char *file, size_t line);",
                  "",
                  "int",
                  "mt_use(void* p, int n, const char *file, size_t line);",
                  "",
                  "int",
                  "mt_use2(void* p, int n, const char *file, size_t line);",
                  "",
                  "/* foo decl END *************************************/",
                  "",
              }),
              decl.str());

    std::ostringstream redef;
    writeRedefinitions(t, redef);
    EXPECT_EQ(lines({
                  "/* foo redef BEGIN **************************************/",
                  "#ifndef KEL_NO_REDEF",
                  "#define malloc(size)\tmt_malloc(size, __FILE__, __LINE__)",
                  "#define make()\tmt_make(__FILE__, __LINE__)",
                  "#define free(ptr)\tmt_free(ptr, __FILE__, __LINE__)",
                  "#define realloc(ptr, size)\tmt_realloc(ptr, size, __FILE__, __LINE__)",
                  "#define use(p, n)\tmt_use(p, n, __FILE__, __LINE__)",
                  "#define use2(p, n)\tmt_use2(p, n, __FILE__, __LINE__)",
                  "#endif",
                  "/* foo redef END ****************************************/",
              }),
              redef.str());
}

// va_forward: the call site comes first and the macro takes any arguments;
// c_only: the redefinition is for C alone.
TEST(Header, ForwardedVariadicAndCOnlyTors) {
    Template t = mtExample();
    t.fork_enabled = true;
    Tor& m = t.domains[0].allocators[0];
    m.name = "xprintf";
    m.args = {arg("int", "ret"), arg("char**", "out"), arg("const char*", "fmt"), arg("...", "")};
    m.va_forward = "vxprintf";
    t.domains[0].deallocators[0].c_only = true;
    std::ostringstream decl, redef;
    writeDeclarations(t, decl);
    writeRedefinitions(t, redef);
    EXPECT_EQ(lines({"/* foo decl BEGIN ***********************************/",
                     "int",
                     "mt_xprintf(const char *file, size_t line, char** out, const char* fmt, ...);",
                     "",
                     "void",
                     "mt_free(void* ptr, const char *file, size_t line);",
                     "",
                     "/* foo decl END *************************************/",
                     ""}),
              decl.str());
    EXPECT_EQ(lines({
                  "/* foo redef BEGIN **************************************/",
                  "#ifndef KEL_NO_REDEF",
                  "#define xprintf(...)\tmt_xprintf(__FILE__, __LINE__, __VA_ARGS__)",
                  "#ifndef __cplusplus",
                  "#define free(ptr)\tmt_free(ptr, __FILE__, __LINE__)",
                  "#endif",
                  "#endif",
                  "/* foo redef END ****************************************/",
              }),
              redef.str());
}

TEST(Header, EveryTorAliased) {
    Template t = mtExample();
    t.fork_enabled = false;
    t.domains[0].allocators[0].cpp_alias = "x";
    t.domains[0].deallocators[0].cpp_alias = "y";
    std::ostringstream decl, redef;
    writeDeclarations(t, decl);
    writeRedefinitions(t, redef);
    EXPECT_EQ(lines({"/* foo decl BEGIN ***********************************/",
                     "/* foo decl END *************************************/", ""}),
              decl.str());
    EXPECT_EQ(lines({"/* foo redef BEGIN **************************************/", "#ifndef KEL_NO_REDEF",
                     "#define fork()\tmt_fork_forbidden(__FILE__, __LINE__)", "#endif",
                     "/* foo redef END ****************************************/"}),
              redef.str());
}

TEST(Header, CommentLinesHaveTheirFixedWidths) {
    struct Width { const char* text; std::size_t length; };
    for (const Width& w : {Width{"/* foo decl BEGIN ***********************************/", 54},
                           Width{"/* foo decl END *************************************/", 54},
                           Width{"/* foo redef BEGIN **************************************/", 58},
                           Width{"/* foo redef END ****************************************/", 58}}) {
        SCOPED_TRACE(w.text);
        EXPECT_EQ(w.length, std::strlen(w.text));
        EXPECT_NE(std::string::npos, header(mtExample()).find(std::string("\n") + w.text + "\n"));
    }
}

}  // namespace

namespace {

// C++ reads the C++ counterparts of kel.h's C library headers before the
// linkage block, and finds every unaliased wrapper in std.
TEST(Header, CppBlocksFollowTheIncludesAndTheTors) {
    struct Case { const char* name; std::function<void(Template&)> apply; std::string linkage; std::string stdNames; };
    const std::vector<Case> cases = {
        {"win32 compiler, a quoted and an unknown header: nothing to read first",
         [](Template& t) {
             t.compiler_type = "win32";
             t.domains[0].includesGlobal = false;
             t.domains[0].includes = {"stdio.h"};
             t.domains.push_back(t.domains[0]);
             t.domains[1].includesGlobal = true;
             t.domains[1].includes = {"sys/stat.h", "stdlib.h", "wchar.h"};
             t.domains[1].allocators.clear();
             t.domains[1].deallocators[0].cpp_alias = "free";
         },
         lines({"#ifdef __cplusplus", "#include <cstdlib>", "#include <cwchar>", "extern \"C\" {", "#endif"}),
         lines({"#ifdef __cplusplus", "namespace std {", "using ::mt_malloc;", "using ::mt_free;", "}", "#endif"})},
        {"every tor aliased, no includes",
         [](Template& t) {
             t.compiler_type = "win32";
             t.domains[0].includes.clear();
             t.domains[0].allocators[0].cpp_alias = "x";
             t.domains[0].deallocators[0].cpp_alias = "y";
         },
         lines({"#ifdef __cplusplus", "extern \"C\" {", "#endif"}),
         lines({"#ifdef __cplusplus", "namespace std {", "}", "#endif"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        c.apply(t);
        const std::string text = header(t);
        EXPECT_EQ(c.linkage, between(text, "#ifdef __cplusplus\n", "\n\n") + "\n");
        const std::string tail = "\n" + c.stdNames + "\n#endif\n";
        ASSERT_GE(text.size(), tail.size());
        EXPECT_EQ(tail, text.substr(text.size() - tail.size()));
    }
}

}  // namespace

namespace {

// open(path, flags[, mode]): one wrapper per argument count, and a macro that
// picks the wrapper by the number of arguments the caller writes.
TEST(Header, OptionalParametersGetOneWrapperPerArgumentCount) {
    Template t = withOpen();
    t.domains.erase(t.domains.begin());
    std::ostringstream decl, redef;
    writeDeclarations(t, decl);
    writeRedefinitions(t, redef);
    EXPECT_EQ(lines({
                  "/* foo decl BEGIN ***********************************/",
                  "int",
                  "mt_open_2(const char* path, int flags, const char *file, size_t line);",
                  "",
                  "int",
                  "mt_open_3(const char* path, int flags, mode_t mode, const char *file, size_t line);",
                  "",
                  "/* foo decl END *************************************/",
                  "",
              }),
              decl.str());
    EXPECT_EQ(lines({
                  "/* foo redef BEGIN **************************************/",
                  "#ifndef KEL_NO_REDEF",
                  "#define mt_open_kel_pick(a1, a2, a3, wrapper, ...)\twrapper",
                  "#define open(...)\tmt_open_kel_pick(__VA_ARGS__, mt_open_3, mt_open_2, mt_open_too_few_arguments, "
                  "mt_open_too_few_arguments)(__VA_ARGS__, __FILE__, __LINE__)",
                  "#endif",
                  "/* foo redef END ****************************************/",
              }),
              redef.str());
    const std::string text = header(t);
    EXPECT_NE(std::string::npos, text.find("namespace std {\nusing ::mt_open_2;\nusing ::mt_open_3;\n}\n"));

    // All parameters optional: open() itself is a call with no arguments.
    t.domains[0].allocators[0].args[1].optional = true;
    t.domains[0].allocators[0].args[2].optional = true;
    std::ostringstream all;
    writeRedefinitions(t, all);
    EXPECT_NE(std::string::npos,
              all.str().find("#define open(...)\tmt_open_kel_pick(__VA_ARGS__, mt_open_3, mt_open_2, mt_open_1, "
                             "mt_open_0)(__VA_ARGS__, __FILE__, __LINE__)\n"));
}

}  // namespace

namespace {

Tor simpleTor(const char* name, std::initializer_list<Arg> args, std::vector<std::string> validate = {"-"}) {
    Tor tor;
    tor.name = name;
    tor.args = args;
    tor.validateDom_before = std::move(validate);
    return tor;
}

}  // namespace

// Wrappers of C library functions carry the attributes of the real
// declarations; an allocator is paired with the real deallocator and with
// the wrapper of it that the template traces, in whatever domain. A tor whose parameters do not match the real function's, an
// aliased one, and other compilers get nothing.
TEST(Header, LibraryAttributesOnlyWhereTheRealFunctionHasThem) {
    Template t = mtExample();
    Domain& mem = t.domains[0];
    mem.allocators.push_back(simpleTor("calloc", {arg("void*", "ret"), arg("size_t", "n"), arg("size_t", "size")}));
    mem.allocators.push_back(simpleTor("strdup", {arg("char*", "ret"), arg("const char*", "s"), arg("int", "extra")}));
    mem.operators.push_back(
        simpleTor("memcpy", {arg("void*", "ret"), arg("void*", "d"), arg("const void*", "s"), arg("size_t", "n")}));
    Tor aliased = simpleTor("memset", {arg("void*", "ret"), arg("void*", "s"), arg("int", "c"), arg("size_t", "n")});
    aliased.cpp_alias = "memset";
    mem.operators.push_back(aliased);
    Domain file;
    file.name = "FILE";
    file.handle = "FILE*";
    file.allocators.push_back(simpleTor("fopen", {arg("FILE*", "ret"), arg("const char*", "p"), arg("const char*", "m")}));
    t.domains.push_back(file);
    // fclose traced in another domain: the macro still sends fclose(f) there.
    Domain stream;
    stream.name = "stream";
    stream.handle = "FILE*";
    stream.deallocators.push_back(simpleTor("fclose", {arg("int", "ret"), arg("FILE*", "f")}, {"-", "stream"}));
    t.domains.push_back(stream);

    const std::string expected = lines({
        "/* foo attr BEGIN ***********************************/",
        "#if defined(__GNUC__) && !defined(KEL_NO_REDEF)",
        "void*\tmt_malloc(size_t size, const char *file, size_t line) __attribute__((__malloc__, __alloc_size__(1)));",
        "void*\tmt_calloc(size_t n, size_t size, const char *file, size_t line) "
        "__attribute__((__malloc__, __alloc_size__(1, 2)));",
        "void*\tmt_memcpy(void* d, const void* s, size_t n, const char *file, size_t line) "
        "__attribute__((__nonnull__(1, 2)));",
        "FILE*\tmt_fopen(const char* p, const char* m, const char *file, size_t line) __attribute__((__malloc__));",
        "#if !defined(__clang__) && __GNUC__ >= 11",
        "void*\tmt_malloc(size_t size, const char *file, size_t line) "
        "__attribute__((__malloc__(__builtin_free, 1), __malloc__(mt_free, 1)));",
        "void*\tmt_calloc(size_t n, size_t size, const char *file, size_t line) "
        "__attribute__((__malloc__(__builtin_free, 1), __malloc__(mt_free, 1)));",
        "FILE*\tmt_fopen(const char* p, const char* m, const char *file, size_t line) "
        "__attribute__((__malloc__(fclose, 1), __malloc__(mt_fclose, 1)));",
        "#endif",
        "#endif",
        "/* foo attr END *************************************/",
        "",
    });
    // Between the declarations and the redefinitions.
    EXPECT_EQ(expected, between(header(t), "/* foo attr BEGIN", "/* foo redef BEGIN"));

    t.compiler_type = "win32";
    EXPECT_EQ(std::string::npos, header(t).find("foo attr"));
    Template none = mtExample();
    none.domains[0].allocators[0].name = "xmalloc";
    EXPECT_EQ(std::string::npos, header(none).find("foo attr"));
}
