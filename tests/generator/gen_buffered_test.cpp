// buffered_records: the runtime that formats each record in one buffer and
// writes it at once. The text of its runtime block for every write setting,
// and the wrappers line for line. Without the attribute nothing changes (the
// other text tests pin that text).
#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "gen_c.h"
#include "gen_text_fixtures.h"

namespace {

std::string runtime(const Template& t) {
    std::ostringstream out;
    writeRuntime(t, "/nonexistent/t.xml", out);
    return out.str();
}

std::string header(const Template& t) {
    std::ostringstream out;
    writeHeader(t, out);
    return out.str();
}

std::string wrapper(const Template& t, const Domain& d, const Tor& tor) {
    std::ostringstream out;
    writeWrapper(t, d, tor, out);
    return out.str();
}

Template buffered(Template t) {
    t.buffered_records = true;
    return t;
}

// A domain whose one tor writes no hex16 field: no checks, no sizes, no handle.
Template withoutHexFields() {
    Template t = mtExample();
    Domain clock;
    clock.name = "clock";
    clock.handle = "long";
    clock.expr = expr("==", "long", "-1");
    Tor tick;
    tick.name = "tick";
    tick.args = {arg("long", "ret")};
    tick.expr = expr("", "", "");
    clock.operators.push_back(tick);
    t.domains = {clock};
    return t;
}

TEST(BufferedRecords, HeaderIsUnchangedAndATemplateWithoutWrappersGetsNoBlock) {
    const Template plain = mtExample();
    EXPECT_EQ(header(plain), header(buffered(plain)));
    EXPECT_EQ(std::string::npos, runtime(plain).find("kel_record"));

    // Every tor aliased: no wrapper would use the block.
    Template aliased = mtExample();
    aliased.domains[0].allocators[0].cpp_alias = "malloc";
    aliased.domains[0].deallocators[0].cpp_alias = "free";
    EXPECT_EQ(runtime(aliased), runtime(buffered(aliased)));
}

TEST(BufferedRecords, RuntimeBlockInFileModeWithoutFlush) {
    const std::string text = runtime(buffered(mtExample()));
    // After kel_trace, which kel_start, kel_stop and the fork trap still use.
    const std::string expected = lines({
        "typedef struct {",
        "\tsize_t\tused;",
        "\tchar\ttext[512];",
        "} kel_record;",
        "",
        "static kel_record\t*kel_pending = NULL;",
        "",
        "static void\tkel_record_out(const char *text, size_t size){",
        "if(size == 0) return;",
        "fwrite(text, size, 1, kel_tracefile);",
        "}",
        "",
        "static void\tkel_put(kel_record *r, const char *text, size_t size){",
        "if(size > sizeof(r->text) - r->used){",
        "\tkel_record_out(r->text, r->used);",
        "\tr->used = 0;",
        "\tif(size > sizeof(r->text)){",
        "\t\tkel_record_out(text, size);",
        "\t\treturn;",
        "\t\t}",
        "\t}",
        "memcpy(r->text + r->used, text, size);",
        "r->used += size;",
        "}",
        "",
        "#define KEL_PUT_TEXT(r, literal)\tkel_put((r), (literal), sizeof(literal) - 1)",
        "",
        "static void\tkel_put_line(kel_record *r, const char *text){",
        "kel_put(r, text, strlen(text));",
        "kel_put(r, \"\\n\", 1);",
        "}",
        "",
        "static void\tkel_put_dec(kel_record *r, unsigned long value){",
        "char\tdigits[24];",
        "size_t\ti = sizeof(digits) - 1;",
        "digits[i] = '\\n';",
        "do\t{",
        "\tdigits[--i] = (char)('0' + value % 10);",
        "\tvalue /= 10;",
        "\t} while(value != 0);",
        "kel_put(r, digits + i, sizeof(digits) - i);",
        "}",
        "",
        "static void\tkel_put_hex(kel_record *r, keluint64 value){",
        "static const char\txdigits[] = \"0123456789ABCDEF\";",
        "char\tdigits[17];",
        "int\ti;",
        "for(i = 15; i >= 0; i--){",
        "\tdigits[i] = xdigits[value & 15];",
        "\tvalue >>= 4;",
        "\t}",
        "digits[16] = '\\n';",
        "kel_put(r, digits, sizeof(digits));",
        "}",
        "",
        "static void\tkel_record_call(kel_record *r){",
        "kel_pending = r;",
        "}",
        "",
        "static void\tkel_record_end(kel_record *r){",
        "kel_pending = NULL;",
        "kel_record_out(r->text, r->used);",
        "}",
        "",
    });
    // Followed by the trace folder's helpers, then kel_start.
    EXPECT_EQ(expected, between(text, "typedef struct {", "#include <errno.h>"));
    EXPECT_LT(text.find("void\tkel_trace(int n, ...){"), text.find("typedef struct {"));

    // kel_stop writes what a call that never returned left pending, before
    // anything that can end the program.
    EXPECT_EQ(lines({
                  "void\tkel_stop(void){",
                  "if(kel_stop_called){kelerrlog(\"KEL: loop detected! abort()!!!\", __FILE__, __LINE__);abort();}",
                  "else{kel_stop_called = 1;}",
                  "if(kel_pending){kel_record_out(kel_pending->text, kel_pending->used); kel_pending = NULL;}",
                  "kel_trace(1, \"KEL TRACING DONE\");",
                  "fflush(kel_tracefile);",
                  "fclose(kel_tracefile);",
                  "}",
                  "",
              }),
              functionBlock(text, "void\tkel_stop(void){"));
}

TEST(BufferedRecords, WritesAndRecordEndsForEveryWriteSetting) {
    const std::string fwriteChecked =
        "if(fwrite(text, size, 1, kel_tracefile) != 1){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}";
    const std::string flushChecked =
        "if(fflush(kel_tracefile) != 0){kelerrlog(\"fflush()\", __FILE__, __LINE__); exit(-1);}";
    const std::string sendLoop = lines({"while(size > 0){", "\tsent = send(kel_socket, text, size, 0);",
                                        "\tif(sent < 0 && errno == EINTR) continue;"});
    const std::string sendRest = lines({"\ttext += sent;", "\tsize -= (size_t)sent;", "\t}"});
    const std::string writeBeforeCall = lines({"kel_record_out(r->text, r->used);", "r->used = 0;"});
    const std::string writeAtEnd = lines({"kel_record_out(r->text, r->used);"});

    struct Case {
        const char* name;
        std::function<void(Template&)> apply;
        std::string out;    // kel_record_out's body
        std::string flush;  // kel_record_flush's body; "" when it is absent
        std::string call;   // kel_record_call's body
        std::string end;    // kel_record_end's body
    };
    const std::vector<Case> cases = {
        {"file", [](Template&) {}, lines({"if(size == 0) return;", "fwrite(text, size, 1, kel_tracefile);"}), "",
         lines({"kel_pending = r;"}), lines({"kel_pending = NULL;"}) + writeAtEnd},
        {"file, trap",
         [](Template& t) { t.trap_on_io_err = true; },
         lines({"if(size == 0) return;", fwriteChecked.c_str()}), "", lines({"kel_pending = r;"}),
         lines({"kel_pending = NULL;"}) + writeAtEnd},
        {"file, flush: the part before the call reaches the file first",
         [](Template& t) { t.force_flush = true; },
         lines({"if(size == 0) return;", "fwrite(text, size, 1, kel_tracefile);"}), lines({"fflush(kel_tracefile);"}),
         writeBeforeCall + "kel_record_flush();\n", writeAtEnd + "kel_record_flush();\n"},
        {"file, trap, flush",
         [](Template& t) {
             t.trap_on_io_err = true;
             t.force_flush = true;
         },
         lines({"if(size == 0) return;", fwriteChecked.c_str()}), lines({flushChecked.c_str()}),
         writeBeforeCall + "kel_record_flush();\n", writeAtEnd + "kel_record_flush();\n"},
        {"file, flush, auto_start: nothing goes out before the start",
         [](Template& t) {
             t.force_flush = true;
             t.auto_start = true;
         },
         lines({"if(kel_started != 1) return;", "if(size == 0) return;", "fwrite(text, size, 1, kel_tracefile);"}),
         lines({"if(kel_started != 1) return;", "fflush(kel_tracefile);"}), writeBeforeCall + "kel_record_flush();\n",
         writeAtEnd + "kel_record_flush();\n"},
        {"remote: what the default runtime sends before the call is sent first",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "localhost:5555";
         },
         lines({"ssize_t\tsent;"}) + sendLoop + "\tif(sent <= 0) return;\n" + sendRest, "", writeBeforeCall,
         writeAtEnd},
        {"remote, trap, flush (no effect on a socket), auto_start",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "localhost:5555";
             t.trap_on_io_err = true;
             t.force_flush = true;
             t.auto_start = true;
         },
         lines({"ssize_t\tsent;", "if(kel_started != 1) return;"}) + sendLoop +
             "\tif(sent <= 0){kelerrlog(\"fwrite()\", __FILE__, __LINE__); exit(-1);}\n" + sendRest,
         "", writeBeforeCall, writeAtEnd},
        {"remote, win32: winsock's send takes an int length",
         [](Template& t) {
             t.remote_mode = true;
             t.trace_target = "localhost:5555";
             t.compiler_type = "win32";
         },
         lines({"int\tsent;", "while(size > 0){", "\tsent = send(kel_socket, text, (int)size, 0);",
                "\tif(sent <= 0) return;"}) +
             sendRest,
         "", writeBeforeCall, writeAtEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = buffered(mtExample());
        c.apply(t);
        const std::string text = runtime(t);
        EXPECT_EQ("static void\tkel_record_out(const char *text, size_t size){\n" + c.out + "}\n\n",
                  functionBlock(text, "static void\tkel_record_out(const char *text, size_t size){"));
        if (c.flush.empty())
            EXPECT_EQ(std::string::npos, text.find("kel_record_flush"));
        else
            EXPECT_EQ("static void\tkel_record_flush(void){\n" + c.flush + "}\n\n",
                      functionBlock(text, "static void\tkel_record_flush(void){"));
        EXPECT_EQ("static void\tkel_record_call(kel_record *r){\n" + c.call + "}\n\n",
                  functionBlock(text, "static void\tkel_record_call(kel_record *r){"));
        EXPECT_EQ("static void\tkel_record_end(kel_record *r){\n" + c.end + "}\n\n",
                  functionBlock(text, "static void\tkel_record_end(kel_record *r){"));
        // Only a record whose start waits for its end can be left pending.
        const bool pending = c.call == lines({"kel_pending = r;"});
        EXPECT_EQ(pending, text.find("static kel_record\t*kel_pending = NULL;\n") != std::string::npos);
        EXPECT_EQ(pending, functionBlock(text, "void\tkel_stop(void){").find("kel_pending") != std::string::npos);
    }
}

TEST(BufferedRecords, HexWriterOnlyWhereAWrapperWritesAHexField) {
    struct Case { const char* name; std::function<void(Template&)> apply; bool hex; };
    const std::vector<Case> cases = {
        {"no checks, sizes or handles", [](Template&) {}, false},
        {"a validation line",
         [](Template& t) {
             Tor& tick = t.domains[0].operators[0];
             tick.args.push_back(arg("long", "id"));
             tick.validateDom_before = {"-", "clock"};
         },
         true},
        {"a validation entry that names no domain writes nothing",
         [](Template& t) {
             Tor& tick = t.domains[0].operators[0];
             tick.args.push_back(arg("long", "id"));
             tick.validateDom_before = {"-", "nosuch"};
         },
         false},
        {"a size line",
         [](Template& t) {
             t.domains[0].float_handle = true;
             t.domains[0].operators[0].args.push_back(arg("size_t", "n"));
             t.domains[0].operators[0].float_arg_n1 = 1;
         },
         true},
        {"a handle line", [](Template& t) { t.domains[0].operators[0].is_handle_arg_out = true; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Template t = buffered(withoutHexFields());
        c.apply(t);
        const std::string text = runtime(t);
        EXPECT_NE(std::string::npos, text.find("static void\tkel_put_dec(kel_record *r, unsigned long value){"));
        EXPECT_EQ(c.hex, text.find("kel_put_hex") != std::string::npos);
    }
}

TEST(BufferedWrappers, TheMtExampleLineForLine) {
    const Template t = buffered(mtExample());
    EXPECT_EQ(lines({
                  "void*\tmt_malloc(size_t size, const char *mt_file, size_t mt_line){",
                  "\tvoid* mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "\tkel_record kel_rec;",
                  "",
                  "\tkel_rec.used = 0;",
                  "\tKEL_PUT_TEXT(&kel_rec, \"mem\" \"\\n\" \"malloc\" \"\\n\");",
                  "\tkel_put_line(&kel_rec, mt_file);",
                  "\tkel_put_dec(&kel_rec, (unsigned long)mt_line);",
                  "\tkel_put_hex(&kel_rec, (keluint64)(size));",
                  "\tkel_record_call(&kel_rec);",
                  "\tmt_stored_retcode = mt_stored_handle = malloc(size);",
                  "\tif(mt_stored_retcode == NULL){",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"BAD\\n\");",
                  "\t}",
                  "\telse\t{",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"OK\\n\");",
                  "\t}",
                  "\tif(mt_stored_handle == NULL){",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"BAD \");",
                  "\t}",
                  "\telse\t{",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"OK \");",
                  "\t}",
                  "\tkel_put_hex(&kel_rec, (keluint64)(mt_stored_handle));",
                  "\tkel_record_end(&kel_rec);",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
                  "void\tmt_free(void* ptr, const char *mt_file, size_t mt_line){",
                  "\tkel_record kel_rec;",
                  "",
                  "\tkel_rec.used = 0;",
                  "\tKEL_PUT_TEXT(&kel_rec, \"mem\" \"\\n\" \"free\" \"\\n\");",
                  "\tkel_put_line(&kel_rec, mt_file);",
                  "\tkel_put_dec(&kel_rec, (unsigned long)mt_line);",
                  "\tif(ptr == NULL){",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"mem\" \" BAD \");",
                  "\t}",
                  "\telse\t{",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"mem\" \" OK \");",
                  "\t}",
                  "\tkel_put_hex(&kel_rec, (keluint64)(ptr));",
                  "\tkel_record_call(&kel_rec);",
                  "\tfree(ptr);",
                  "\tKEL_PUT_TEXT(&kel_rec, \"void\\n\");",
                  "\tKEL_PUT_TEXT(&kel_rec, \"-\\n\");",
                  "\tkel_record_end(&kel_rec);",
                  "}",
                  "",
              }),
              wrapper(t, t.domains[0], t.domains[0].allocators[0]) + wrapper(t, t.domains[0], t.domains[0].deallocators[0]));
}

TEST(BufferedWrappers, MutexTakenOnceAroundTheWholeRecord) {
    struct Case { const char* threading; const char* locals; std::string lock; std::string unlock; };
    const std::vector<Case> cases = {
        {"posix", "\tint retval;",
         lines({"\tretval = pthread_mutex_lock(&kel_mutex);",
                "\tif(retval){kelerrlog(\"pthread_mutex_lock()\", __FILE__, __LINE__); exit(-2);}"}),
         lines({"\tretval = pthread_mutex_unlock(&kel_mutex);",
                "\tif(retval){kelerrlog(\"pthread_mutex_unlock()\", __FILE__, __LINE__); exit(-2);}"})},
        {"win32", "\tDWORD dwWaitObject; BOOL bReleaseMutex;",
         lines({"\tdwWaitObject = WaitForSingleObject(kel_mutex, INFINITE);",
                "\tif(dwWaitObject == WAIT_FAILED){kelerrlog(\"WaitForSingleObject()\", __FILE__, __LINE__); exit(-2);}"}),
         lines({"\tbReleaseMutex = ReleaseMutex(kel_mutex);",
                "\tif(!bReleaseMutex){kelerrlog(\"ReleaseMutex()\", __FILE__, __LINE__); exit(-2);}"})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.threading);
        Template t = buffered(mtExample());
        t.multithreaded = true;
        t.threading = c.threading;
        EXPECT_EQ(lines({"void\tmt_free(void* ptr, const char *mt_file, size_t mt_line){", c.locals,
                         "\tkel_record kel_rec;", ""}) +
                      c.lock +
                      lines({"\tkel_rec.used = 0;", "\tKEL_PUT_TEXT(&kel_rec, \"mem\" \"\\n\" \"free\" \"\\n\");",
                             "\tkel_put_line(&kel_rec, mt_file);", "\tkel_put_dec(&kel_rec, (unsigned long)mt_line);",
                             "\tif(ptr == NULL){", "\t\tKEL_PUT_TEXT(&kel_rec, \"mem\" \" BAD \");", "\t}", "\telse\t{",
                             "\t\tKEL_PUT_TEXT(&kel_rec, \"mem\" \" OK \");", "\t}",
                             "\tkel_put_hex(&kel_rec, (keluint64)(ptr));", "\tkel_record_call(&kel_rec);",
                             "\tfree(ptr);", "\tKEL_PUT_TEXT(&kel_rec, \"void\\n\");",
                             "\tKEL_PUT_TEXT(&kel_rec, \"-\\n\");", "\tkel_record_end(&kel_rec);"}) +
                      c.unlock + lines({"}", ""}),
                  wrapper(t, t.domains[0], t.domains[0].deallocators[0]));
    }
}

TEST(BufferedWrappers, SizesAndAHandleFromAnArgument) {
    Template t = buffered(mtExample());
    Tor tor;
    tor.name = "posix_memalign";
    tor.args = {arg("int", "ret"), arg("void**", "memptr"), arg("size_t", "align"), arg("size_t", "size")};
    tor.validateDom_before = {"-"};
    tor.float_arg_n1 = 2;
    tor.float_arg_n2 = 3;
    tor.is_handle_arg_out = true;
    tor.handle_arg_out = 1;
    tor.expr = expr("!=", "int", "0");
    EXPECT_EQ(lines({
                  "int\tmt_posix_memalign(void** memptr, size_t align, size_t size, const char *mt_file, size_t mt_line){",
                  "\tint mt_stored_retcode;",
                  "\tvoid* mt_stored_handle;",
                  "\tkel_record kel_rec;",
                  "",
                  "#ifdef __GNUC__",
                  "\t__asm__(\"\" : \"+r\"(memptr));",  // kel.h declares memptr nonnull
                  "#endif",
                  "\tkel_rec.used = 0;",
                  "\tKEL_PUT_TEXT(&kel_rec, \"mem\" \"\\n\" \"posix_memalign\" \"\\n\");",
                  "\tkel_put_line(&kel_rec, mt_file);",
                  "\tkel_put_dec(&kel_rec, (unsigned long)mt_line);",
                  "\tkel_put_hex(&kel_rec, (keluint64)(align));",
                  "\tkel_put_hex(&kel_rec, (keluint64)(size));",
                  "\tkel_record_call(&kel_rec);",
                  "\tmt_stored_retcode = posix_memalign(memptr, align, size);",
                  "\tmt_stored_handle = memptr;",
                  "\t(void)mt_stored_handle;",
                  "\tif(mt_stored_retcode != 0){",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"BAD\\n\");",
                  "\t}",
                  "\telse\t{",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"OK\\n\");",
                  "\t}",
                  "\tif(memptr==NULL){",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"BAD \");",
                  "\t}",
                  "\telse\t{",
                  "\t\tKEL_PUT_TEXT(&kel_rec, \"OK \");",
                  "\t}",
                  "\tkel_put_hex(&kel_rec, (keluint64)(memptr));",
                  "\tkel_record_end(&kel_rec);",
                  "\treturn (mt_stored_retcode);",
                  "}",
                  "",
              }),
              wrapper(t, t.domains[0], tor));
}

// Each argument count's wrapper writes its record under the tor's name.
TEST(BufferedWrappers, OneRecordPerWrapperOfOptionalParameters) {
    const Template t = buffered(withOpen());
    const std::string text = wrapper(t, t.domains[1], t.domains[1].allocators[0]);
    const std::string head = "\tkel_rec.used = 0;\n\tKEL_PUT_TEXT(&kel_rec, \"fd\" \"\\n\" \"open\" \"\\n\");\n";
    const auto first = text.find(head);
    ASSERT_NE(std::string::npos, first);
    EXPECT_NE(std::string::npos, text.find(head, first + 1));
    EXPECT_NE(std::string::npos,
              text.find("\tkel_record_call(&kel_rec);\n\tmt_stored_retcode = mt_stored_handle = open(path, flags);\n"));
    EXPECT_NE(std::string::npos,
              text.find("\tkel_record_call(&kel_rec);\n\tmt_stored_retcode = mt_stored_handle = open(path, flags, mode);\n"));
    EXPECT_EQ(2u, [&] {
        std::size_t n = 0;
        for (auto at = text.find("\tkel_record_end(&kel_rec);\n"); at != std::string::npos;
             at = text.find("\tkel_record_end(&kel_rec);\n", at + 1))
            ++n;
        return n;
    }());
}

}  // namespace
