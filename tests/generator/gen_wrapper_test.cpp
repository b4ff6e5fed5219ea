// The wrappers half of kel.c: the mt_malloc/mt_free example line for line,
// and each field's effect on a wrapper's text.
#include <gtest/gtest.h>

#include <sstream>

#include "gen_c.h"
#include "gen_text_fixtures.h"

namespace {

const char* const kBegin = "/* *** BEGIN **************************************/";
const char* const kEnd = "/* *** END ****************************************/";

std::string wrappers(const Template& t) {
    std::ostringstream out;
    writeWrappers(t, out);
    return out.str();
}

std::string wrapper(const Template& t, const Tor& tor) {
    std::ostringstream out;
    writeWrapper(t, t.domains[0], tor, out);
    return out.str();
}

const std::string kMallocWrapper = lines({
    "void*\tmt_malloc(size_t size, const char *mt_file, size_t mt_line){",
    "\tvoid* mt_stored_retcode;",
    "\tvoid* mt_stored_handle;",
    "",
    "\tkel_trace(1, \"mem\");",
    "\tkel_trace(1, \"malloc\");",
    "\tkel_trace(1, mt_file);",
    "\tkel_trace(1, kelsize_t2str(mt_line));",
    "\tkel_trace(1, keluint64tostr1((keluint64)(size)));",
    "\tmt_stored_retcode = mt_stored_handle = malloc(size);",
    "\tif(mt_stored_retcode == NULL){",
    "\t\tkel_trace(1, \"BAD\");",
    "\t}",
    "\telse\t{",
    "\t\tkel_trace(1, \"OK\");",
    "\t}",
    "\tif(mt_stored_handle == NULL){",
    "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));",
    "\t}",
    "\telse\t{",
    "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));",
    "\t}",
    "\treturn (mt_stored_retcode);",
    "}",
    "",
});

const std::string kFreeWrapper = lines({
    "void\tmt_free(void* ptr, const char *mt_file, size_t mt_line){",
    "",
    "\tkel_trace(1, \"mem\");",
    "\tkel_trace(1, \"free\");",
    "\tkel_trace(1, mt_file);",
    "\tkel_trace(1, kelsize_t2str(mt_line));",
    "\tif(ptr == NULL){",
    "\t\tkel_trace(3, \"mem\", \"BAD\", keluint64tostr1((keluint64)(ptr)));",
    "\t}",
    "\telse\t{",
    "\t\tkel_trace(3, \"mem\", \"OK\", keluint64tostr1((keluint64)(ptr)));",
    "\t}",
    "\tfree(ptr);",
    "\tkel_trace(1, \"void\");",
    "\tkel_trace(1, \"-\");",
    "}",
    "",
});

// The section's markers stand alone when there is nothing to wrap: no
// domain, or a domain whose every tor is aliased.
TEST(Wrappers, MarkersAloneWithoutWrappers) {
    const std::string markers = "/* *** BEGIN **************************************/\n"
                                "/* *** END ****************************************/\n";
    EXPECT_EQ(markers, wrappers(Template{}));
    Template aliased = mtExample();
    aliased.domains[0].allocators[0].cpp_alias = "malloc";
    aliased.domains[0].deallocators[0].cpp_alias = "free";
    EXPECT_EQ(markers, wrappers(aliased));
}

TEST(Wrappers, TheMtExampleLineForLine) {
    EXPECT_EQ(std::string(kBegin) + "\n" + kMallocWrapper + kFreeWrapper + kEnd + "\n", wrappers(mtExample()));
}

TEST(Wrappers, PosixMutexHeldAroundTheWholeRecord) {
    Template t = mtExample();
    t.multithreaded = true;
    EXPECT_EQ(lines({
                  "void*\tmt_malloc(size_t size, const char *mt_file, size_t mt_line){",
                  "\tvoid* mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "\tint retval;",
                  "",
                  "\tretval = pthread_mutex_lock(&kel_mutex);",
                  "\tif(retval){kelerrlog(\"pthread_mutex_lock()\", __FILE__, __LINE__); exit(-2);}",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"malloc\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tkel_trace(1, keluint64tostr1((keluint64)(size)));",
                  "\tmt_stored_retcode = mt_stored_handle = malloc(size);",
                  "\tif(mt_stored_retcode == NULL){",
                  "\t\tkel_trace(1, \"BAD\");",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(1, \"OK\");",
                  "\t}",
                  "\tif(mt_stored_handle == NULL){",
                  "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\tretval = pthread_mutex_unlock(&kel_mutex);",
                  "\tif(retval){kelerrlog(\"pthread_mutex_unlock()\", __FILE__, __LINE__); exit(-2);}",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, t.domains[0].allocators[0]));
}

TEST(Wrappers, Win32MutexHeldAroundTheWholeRecord) {
    Template t = mtExample();
    t.multithreaded = true;
    t.threading = "win32";
    EXPECT_EQ(lines({
                  "void\tmt_free(void* ptr, const char *mt_file, size_t mt_line){",
                  "\tDWORD dwWaitObject; BOOL bReleaseMutex;",
                  "",
                  "\tdwWaitObject = WaitForSingleObject(kel_mutex, INFINITE);",
                  "\tif(dwWaitObject == WAIT_FAILED){kelerrlog(\"WaitForSingleObject()\", __FILE__, __LINE__); "
                  "exit(-2);}",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"free\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tif(ptr == NULL){",
                  "\t\tkel_trace(3, \"mem\", \"BAD\", keluint64tostr1((keluint64)(ptr)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(3, \"mem\", \"OK\", keluint64tostr1((keluint64)(ptr)));",
                  "\t}",
                  "\tfree(ptr);",
                  "\tkel_trace(1, \"void\");",
                  "\tkel_trace(1, \"-\");",
                  "\tbReleaseMutex = ReleaseMutex(kel_mutex);",
                  "\tif(!bReleaseMutex){kelerrlog(\"ReleaseMutex()\", __FILE__, __LINE__); exit(-2);}",
                  "}",
                  "",
              }),
              wrapper(t, t.domains[0].deallocators[0]));
}

TEST(Wrappers, HandleFromAnArgumentIsTestedWithoutBlanks) {
    Template t = mtExample();
    Tor tor;
    tor.name = "posix_memalign";
    tor.args = {arg("int", "ret"), arg("void**", "memptr"), arg("void*", "b"), arg("size_t", "size")};
    tor.validateDom_before = {"-"};
    tor.float_arg_n1 = 3;
    tor.is_handle_arg_out = true;
    tor.handle_arg_out = 2;
    tor.expr = expr("!=", "int", "0");
    EXPECT_EQ(lines({
                  "int\tmt_posix_memalign(void** memptr, void* b, size_t size, const char *mt_file, size_t mt_line){",
                  "\tint mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "",
                  "#ifdef __GNUC__",
                  "\t__asm__(\"\" : \"+r\"(memptr));",  // kel.h declares memptr nonnull
                  "#endif",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"posix_memalign\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tkel_trace(1, keluint64tostr1((keluint64)(size)));",
                  "\tmt_stored_retcode = posix_memalign(memptr, b, size);",
                  "\tmt_stored_handle = b;",
                  "\t(void)mt_stored_handle;",
                  "\tif(mt_stored_retcode != 0){",
                  "\t\tkel_trace(1, \"BAD\");",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(1, \"OK\");",
                  "\t}",
                  "\tif(b==NULL){",
                  "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(b)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(b)));",
                  "\t}",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, tor));
}

TEST(Wrappers, NoParametersNoReturnCheck) {
    Template t = mtExample();
    Tor tor;
    tor.name = "tick";
    tor.args = {arg("long", "ret")};
    tor.expr = expr("", "", "");
    EXPECT_EQ(lines({
                  "long\tmt_tick(const char *mt_file, size_t mt_line){",
                  "\tlong mt_stored_retcode;",
                  "",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"tick\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tmt_stored_retcode = tick();",
                  "\tkel_trace(1, \"-\");",
                  "\tkel_trace(1, \"-\");",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, tor));
}

TEST(Wrappers, ValidationEntriesThatNameNoDomainAreSkippedInPlace) {
    Template t = mtExample();
    Domain file = t.domains[0];
    file.name = "FILE";
    file.expr = expr("==", "FILE*", "0");
    t.domains.push_back(file);
    Tor tor;
    tor.name = "copy";
    tor.args = {arg("void", "ret"), arg("void*", "a"), arg("void*", "b"), arg("FILE*", "c"), arg("void*", "d")};
    tor.validateDom_before = {"mem", "nosuch", "", "FILE", "mem"};
    tor.expr = expr("", "void", "");
    EXPECT_EQ(lines({
                  "void\tmt_copy(void* a, void* b, FILE* c, void* d, const char *mt_file, size_t mt_line){",
                  "",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"copy\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tif(c == 0){",
                  "\t\tkel_trace(3, \"FILE\", \"BAD\", keluint64tostr1((keluint64)(c)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(3, \"FILE\", \"OK\", keluint64tostr1((keluint64)(c)));",
                  "\t}",
                  "\tif(d == NULL){",
                  "\t\tkel_trace(3, \"mem\", \"BAD\", keluint64tostr1((keluint64)(d)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(3, \"mem\", \"OK\", keluint64tostr1((keluint64)(d)));",
                  "\t}",
                  "\tcopy(a, b, c, d);",
                  "\tkel_trace(1, \"void\");",
                  "\tkel_trace(1, \"-\");",
                  "}",
                  "",
              }),
              wrapper(t, tor));
}

TEST(Wrappers, SizeLinesFollowFloatHandleAndBothPositions) {
    struct Case { const char* name; bool floatHandle; std::int64_t n1, n2; std::string sizes; };
    const std::vector<Case> cases = {
        {"two factors", true, 1, 2,
         lines({"\tkel_trace(1, keluint64tostr1((keluint64)(nmemb)));", "\tkel_trace(1, keluint64tostr1((keluint64)(size)));"})},
        {"second factor only", true, 2, 0, lines({"\tkel_trace(1, keluint64tostr1((keluint64)(size)));"})},
        {"second without first writes nothing", true, 0, 2, ""},
        {"domain without sizes ignores both", false, 1, 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        t.domains[0].float_handle = c.floatHandle;
        Tor tor;
        tor.name = "calloc";
        tor.args = {arg("void*", "ret"), arg("size_t", "nmemb"), arg("size_t", "size")};
        tor.float_arg_n1 = c.n1;
        tor.float_arg_n2 = c.n2;
        tor.expr = expr("", "", "");
        std::ostringstream out;
        writeArgumentChecks(t, t.domains[0], tor, out);
        EXPECT_EQ(c.sizes, out.str());
    }
}

// float_size_expr: strdup's size is no argument but strlen(s) + 1. Absent,
// the size lines are the arguments' (above); present, its value is the one
// size line, and the positions are not used.
TEST(Wrappers, SizeExpressionReplacesTheSizeArguments) {
    struct Case { const char* name; bool floatHandle; std::int64_t n1; std::string sizes; };
    const std::vector<Case> cases = {
        {"expression alone", true, 0, lines({"\tkel_trace(1, keluint64tostr1((keluint64)(strlen(s) + 1)));"})},
        {"expression over a position", true, 1, lines({"\tkel_trace(1, keluint64tostr1((keluint64)(strlen(s) + 1)));"})},
        {"domain without sizes ignores it", false, 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = mtExample();
        t.domains[0].float_handle = c.floatHandle;
        Tor tor;
        tor.name = "strdup";
        tor.args = {arg("char*", "ret"), arg("const char*", "s")};
        tor.float_arg_n1 = c.n1;
        tor.float_size_expr = "strlen(s) + 1";
        tor.expr = expr("char*", "==", "NULL");
        std::ostringstream out;
        writeArgumentChecks(t, t.domains[0], tor, out);
        EXPECT_EQ(c.sizes, out.str());
    }
}

TEST(Wrappers, SourceOrderDiffersFromHeaderOrderAndAliasesGetNothing) {
    Template t = mtExample();
    Domain& d = t.domains[0];
    Tor re;
    re.name = "realloc";
    re.args = {arg("void*", "ret"), arg("void*", "ptr"), arg("size_t", "size")};
    re.expr = expr("", "", "");
    Tor op = re;
    op.name = "use";
    Tor aliased = op;
    aliased.name = "use_alias";
    aliased.cpp_alias = "use";
    Tor op2 = op;
    op2.name = "use2";
    d.reallocators = {re};
    d.operators = {op, aliased, op2};

    const std::string text = wrappers(t);
    std::vector<std::string> heads;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (l.find("\tmt_") != std::string::npos && l.back() == '{') heads.push_back(l.substr(l.find("mt_")));
    const std::vector<std::string> expected = {
        "mt_malloc(size_t size, const char *mt_file, size_t mt_line){",
        "mt_realloc(void* ptr, size_t size, const char *mt_file, size_t mt_line){",
        "mt_use(void* ptr, size_t size, const char *mt_file, size_t mt_line){",
        "mt_use2(void* ptr, size_t size, const char *mt_file, size_t mt_line){",
        "mt_free(void* ptr, const char *mt_file, size_t mt_line){",
    };
    EXPECT_EQ(expected, heads);
    EXPECT_EQ(std::string::npos, text.find("use_alias"));

    std::ostringstream one;
    writeWrapper(t, d, aliased, one);
    EXPECT_EQ("", one.str());
}

// kelgen refuses such names before writing; the writer on its own still
// never lets one end a trace literal.
TEST(Wrappers, NamesInTraceLiteralsAreEscaped) {
    Template t = mtExample();
    t.domains[0].name = "me\"m";
    t.domains[0].deallocators[0].name = "fr\\ee";
    t.domains[0].deallocators[0].validateDom_before = {"-", "me\"m"};
    const std::string text = wrappers(t);
    EXPECT_NE(std::string::npos, text.find("\n\tkel_trace(1, \"me\\\"m\");\n\tkel_trace(1, \"fr\\\\ee\");\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\t\tkel_trace(3, \"me\\\"m\", \"BAD\", keluint64tostr1((keluint64)(ptr)));\n"))
        << text;
}

TEST(FindDomainIndex, FirstExactMatchOrMinusOne) {
    Template t = mtExample();
    Domain again = t.domains[0];
    Domain file = t.domains[0];
    file.name = "FILE";
    t.domains = {t.domains[0], file, again};
    struct Case { const char* name; int expected; };
    for (const Case& c : {Case{"mem", 0}, Case{"FILE", 1}, Case{"file", -1}, Case{"me", -1}, Case{"mem ", -1},
                          Case{"", -1}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, findDomainIndex(t, c.name));
    }
    EXPECT_EQ(-1, findDomainIndex(Template{}, "mem"));
}

}  // namespace

namespace {

// Each arity's wrapper traces the tor under its own name and calls it with
// the arguments it was given.
TEST(Wrappers, OneWrapperPerArgumentCountOfOptionalParameters) {
    const Template t = withOpen();
    auto open = [](const char* head, const char* call) {
        return lines({head, "\tint mt_stored_retcode;", "\tint mt_stored_handle;", "", "\tkel_trace(1, \"fd\");",
                      "\tkel_trace(1, \"open\");", "\tkel_trace(1, mt_file);", "\tkel_trace(1, kelsize_t2str(mt_line));",
                      call, "\tif(mt_stored_retcode == -1){", "\t\tkel_trace(1, \"BAD\");", "\t}", "\telse\t{",
                      "\t\tkel_trace(1, \"OK\");", "\t}", "\tif(mt_stored_handle == -1){",
                      "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));", "\t}", "\telse\t{",
                      "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));", "\t}",
                      "\treturn (mt_stored_retcode);", "}", ""});
    };
    std::ostringstream out;
    writeWrapper(t, t.domains[1], t.domains[1].allocators[0], out);
    EXPECT_EQ(open("int\tmt_open_2(const char* path, int flags, const char *mt_file, size_t mt_line){",
                   "\tmt_stored_retcode = mt_stored_handle = open(path, flags);") +
                  open("int\tmt_open_3(const char* path, int flags, mode_t mode, const char *mt_file, size_t mt_line){",
                       "\tmt_stored_retcode = mt_stored_handle = open(path, flags, mode);"),
              out.str());
}

}  // namespace

namespace {

// A handle that comes back through an argument: the wrapper calls first,
// with no lock held, returns at once when the call failed, and then writes
// the whole record under the lock.
TEST(Wrappers, HandleThroughAPointerIsRecordedAfterTheCall) {
    Template t = mtExample();
    t.multithreaded = true;
    Tor tor;
    tor.name = "posix_memalign";
    tor.args = {arg("int", "ret"), arg("void**", "memptr"), arg("size_t", "alignment"), arg("size_t", "size")};
    tor.validateDom_before = {"-"};
    tor.float_arg_n1 = 3;
    tor.is_handle_arg_out = true;
    tor.handle_arg_out = 1;
    tor.handle_arg_deref = 1;
    tor.expr = expr("!=", "int", "0");
    EXPECT_EQ(lines({
                  "int\tmt_posix_memalign(void** memptr, size_t alignment, size_t size, const char *mt_file, size_t mt_line){",
                  "\tint mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "\tint retval;",
                  "",
                  "#ifdef __GNUC__",
                  "\t__asm__(\"\" : \"+r\"(memptr));",  // kel.h declares memptr nonnull
                  "#endif",
                  "\tmt_stored_retcode = posix_memalign(memptr, alignment, size);",
                  "\tif(mt_stored_retcode != 0) return (mt_stored_retcode);",
                  "\tmt_stored_handle = *memptr;",
                  "\tretval = pthread_mutex_lock(&kel_mutex);",
                  "\tif(retval){kelerrlog(\"pthread_mutex_lock()\", __FILE__, __LINE__); exit(-2);}",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"posix_memalign\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tkel_trace(1, keluint64tostr1((keluint64)(size)));",
                  "\tkel_trace(1, \"OK\");",
                  "\tif(mt_stored_handle == NULL){",
                  "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\tretval = pthread_mutex_unlock(&kel_mutex);",
                  "\tif(retval){kelerrlog(\"pthread_mutex_unlock()\", __FILE__, __LINE__); exit(-2);}",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, tor));
}

// getline: the old handle and size are read before the call, a call that
// changed neither writes nothing, and one that did is a reallocation record
// whose result line is OK whatever the call returned.
TEST(Wrappers, ReallocationThroughAPointerIsRecordedWhenItChangedSomething) {
    Template t = mtExample();
    Tor tor;
    tor.name = "getline";
    tor.args = {arg("ssize_t", "ret"), arg("char**", "lineptr"), arg("size_t*", "n"), arg("FILE*", "stream")};
    tor.validateDom_before = {"-", "mem"};
    tor.float_size_expr = "*n";
    tor.is_handle_arg_out = true;
    tor.handle_arg_out = 1;
    tor.handle_arg_deref = 1;
    tor.expr = expr("<", "ssize_t", "0");
    t.domains[0].reallocators = {tor};
    std::ostringstream out;
    writeWrapper(t, t.domains[0], t.domains[0].reallocators[0], out);
    EXPECT_EQ(lines({
                  "ssize_t\tmt_getline(char** lineptr, size_t* n, FILE* stream, const char *mt_file, size_t mt_line){",
                  "\tssize_t mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "\tvoid* mt_old_handle;",
                  "\tkeluint64 mt_old_size0;",
                  "",
                  "\tmt_old_handle = *lineptr;",
                  "\tmt_old_size0 = (keluint64)(*n);",
                  "\tmt_stored_retcode = getline(lineptr, n, stream);",
                  "\tmt_stored_handle = *lineptr;",
                  "\tif(mt_stored_handle == mt_old_handle && (keluint64)(*n) == mt_old_size0) return (mt_stored_retcode);",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"getline\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tif(mt_old_handle == NULL){",
                  "\t\tkel_trace(3, \"mem\", \"BAD\", keluint64tostr1((keluint64)(mt_old_handle)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(3, \"mem\", \"OK\", keluint64tostr1((keluint64)(mt_old_handle)));",
                  "\t}",
                  "\tkel_trace(1, keluint64tostr1((keluint64)(*n)));",
                  "\tkel_trace(1, \"OK\");",
                  "\tif(mt_stored_handle == NULL){",
                  "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              out.str());
}

// pipe: one allocation record per element of the array; and a variadic
// function forwarded as a va_list, its call site first.
TEST(Wrappers, ArraysOfHandlesAndForwardedArguments) {
    Template t = mtExample();
    Tor pipe;
    pipe.name = "pipe";
    pipe.args = {arg("int", "ret"), arg("int*", "fds")};
    pipe.validateDom_before = {"-"};
    pipe.is_handle_arg_out = true;
    pipe.handle_arg_out = 1;
    pipe.handle_arg_deref = 2;
    pipe.expr = expr("!=", "int", "0");
    t.domains[0].float_handle = false;
    t.domains[0].handle = "int";
    t.domains[0].expr = expr("<", "int", "0");
    EXPECT_EQ(lines({
                  "int\tmt_pipe(int* fds, const char *mt_file, size_t mt_line){",
                  "\tint mt_stored_retcode;",
                  "\tint mt_stored_handle;",
                  "\tint mt_handle_index;",
                  "",
                  "\tmt_stored_retcode = pipe(fds);",
                  "\tif(mt_stored_retcode != 0) return (mt_stored_retcode);",
                  "\tfor(mt_handle_index = 0; mt_handle_index < 2; mt_handle_index++){",
                  "\t\tmt_stored_handle = fds[mt_handle_index];",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"pipe\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tkel_trace(1, \"OK\");",
                  "\tif(mt_stored_handle < 0){",
                  "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\t}",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, pipe));

    Tor print;
    print.name = "fprintf";
    print.args = {arg("int", "ret"), arg("FILE*", "stream"), arg("const char*", "format"), arg("...", "")};
    print.validateDom_before = {"-"};
    print.expr = expr("", "", "");
    print.va_forward = "vfprintf";
    EXPECT_EQ(lines({
                  "int\tmt_fprintf(const char *mt_file, size_t mt_line, FILE* stream, const char* format, ...){",
                  "\tint mt_stored_retcode;",
                  "",
                  "\t{",
                  "\tva_list mt_va_args;",
                  "\tva_start(mt_va_args, format);",
                  "\tmt_stored_retcode = vfprintf(stream, format, mt_va_args);",
                  "\tva_end(mt_va_args);",
                  "\t}",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"fprintf\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tkel_trace(1, \"-\");",
                  "\tkel_trace(1, \"-\");",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, print));
}

// traced_if and release_tor on an ordinary wrapper: an untraced call goes
// straight to the function, and the release record comes before the call's
// own record.
TEST(Wrappers, UntracedCallsAndAReleaseOnTheWay) {
    Template t = mtExample();
    Tor target;
    target.name = "dup2_target";
    target.args = {arg("void", "ret"), arg("void*", "p")};
    target.validateDom_before = {"-", "mem"};
    target.expr = expr("", "void", "");
    target.cpp_alias = "-";
    t.domains[0].deallocators.push_back(target);
    Tor tor;
    tor.name = "move";
    tor.args = {arg("void*", "ret"), arg("void*", "from"), arg("void*", "onto")};
    tor.validateDom_before = {"-"};
    tor.is_handle_arg_out = true;
    tor.expr = expr("==", "void*", "NULL");
    tor.traced_if = "from != onto";
    tor.release_tor = "dup2_target";
    tor.release_arg = 2;
    tor.release_if = "onto != NULL";
    EXPECT_EQ(lines({
                  "void*\tmt_move(void* from, void* onto, const char *mt_file, size_t mt_line){",
                  "\tvoid* mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "",
                  "\tif(!(from != onto)){",
                  "\t\tmt_stored_retcode = move(from, onto);",
                  "\t\treturn (mt_stored_retcode);",
                  "\t}",
                  "\tif(onto != NULL){",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"dup2_target\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tif(onto == NULL){",
                  "\t\tkel_trace(3, \"mem\", \"BAD\", keluint64tostr1((keluint64)(onto)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(3, \"mem\", \"OK\", keluint64tostr1((keluint64)(onto)));",
                  "\t}",
                  "\tkel_trace(1, \"void\");",
                  "\tkel_trace(1, \"-\");",
                  "\t}",
                  "\tkel_trace(1, \"mem\");",
                  "\tkel_trace(1, \"move\");",
                  "\tkel_trace(1, mt_file);",
                  "\tkel_trace(1, kelsize_t2str(mt_line));",
                  "\tmt_stored_retcode = mt_stored_handle = move(from, onto);",
                  "\tif(mt_stored_retcode == NULL){",
                  "\t\tkel_trace(1, \"BAD\");",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(1, \"OK\");",
                  "\t}",
                  "\tif(mt_stored_handle == NULL){",
                  "\t\tkel_trace(2, \"BAD\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\telse\t{",
                  "\t\tkel_trace(2, \"OK\", keluint64tostr1((keluint64)(mt_stored_handle)));",
                  "\t}",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, tor));
}

}  // namespace
