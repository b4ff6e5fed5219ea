// keltrace's reader and replay on any bytes. An input that starts with 'K' is
// a whole trace (header included); any other input is the records after a
// fixed valid header and template, its first byte dropped. Each input is
// analysed three times: file source with the indexed tables, file source with
// the linear tables (the reference), and the socket source (reading the same
// file's descriptor) with the indexed tables. Status, messages and the
// template reader's own output must be identical.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "fuzz_support.h"
#include "indexed_table.h"
#include "linear_table.h"
#include "sockloader.h"
#include "tracer.h"

namespace {

// Every kind of tor, a sized domain and two plain ones.
const char* const kHeader =
    "KEL TRACING BEGIN\n"
    "KEL PROTOCOL 01\n"
    "<?xml version=\"1.0\"?>\n"
    "<template name=\"f\" prefix=\"f_\" errlogmode=\"\" trap_on_io_err=\"false\" remote_mode=\"false\" "
    "force_flush=\"true\" fork_enabled=\"false\" multithreaded=\"false\" threading=\"posix\" compiler_type=\"gcc\" "
    "trace_target=\"t.out\">\n"
    "<domain name=\"mem\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
    "<expr oper=\"==\" type=\"void*\" value=\"NULL\"/><includes>stdlib.h</includes>\n"
    "<tor __type__=\"allocator\" name=\"malloc\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><args type=\"void*\" name=\"r\"/><args type=\"size_t\" name=\"s\"/>\n"
    "<expr oper=\"==\" type=\"void*\" value=\"NULL\"/></tor>\n"
    "<tor __type__=\"allocator\" name=\"calloc\" float_arg_n1=\"1\" float_arg_n2=\"2\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><args type=\"void*\" name=\"r\"/><args type=\"size_t\" name=\"n\"/>\n"
    "<args type=\"size_t\" name=\"s\"/><expr oper=\"==\" type=\"void*\" value=\"NULL\"/></tor>\n"
    "<tor __type__=\"reallocator\" name=\"realloc\" float_arg_n1=\"2\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>mem</validateDom_before>\n"
    "<args type=\"void*\" name=\"r\"/><args type=\"void*\" name=\"p\"/><args type=\"size_t\" name=\"s\"/>\n"
    "<expr oper=\"==\" type=\"void*\" value=\"NULL\"/></tor>\n"
    "<tor __type__=\"operator\" name=\"memset\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>mem</validateDom_before>\n"
    "<args type=\"void*\" name=\"r\"/><args type=\"void*\" name=\"p\"/><expr oper=\"\" type=\"\" value=\"\"/></tor>\n"
    "<tor __type__=\"deallocator\" name=\"free\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>mem</validateDom_before>\n"
    "<args type=\"void\" name=\"r\"/><args type=\"void*\" name=\"p\"/><expr oper=\"\" type=\"void\" value=\"\"/></tor>\n"
    "</domain>\n"
    "<domain name=\"FILE\" float_handle=\"false\" handle=\"FILE*\" includesGlobal=\"true\">\n"
    "<expr oper=\"==\" type=\"FILE*\" value=\"NULL\"/><includes>stdio.h</includes>\n"
    "<tor __type__=\"allocator\" name=\"fopen\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><args type=\"FILE*\" name=\"r\"/>\n"
    "<expr oper=\"==\" type=\"FILE*\" value=\"NULL\"/></tor>\n"
    "<tor __type__=\"operator\" name=\"fwrite\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>mem</validateDom_before>\n"
    "<validateDom_before>FILE</validateDom_before><args type=\"int\" name=\"r\"/><args type=\"char*\" name=\"s\"/>\n"
    "<args type=\"FILE*\" name=\"f\"/><expr oper=\"\" type=\"\" value=\"\"/></tor>\n"
    "<tor __type__=\"deallocator\" name=\"fclose\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>FILE</validateDom_before>\n"
    "<args type=\"int\" name=\"r\"/><args type=\"FILE*\" name=\"f\"/><expr oper=\"!=\" type=\"int\" value=\"0\"/></tor>\n"
    "</domain>\n"
    "<domain name=\"sock\" float_handle=\"false\" handle=\"int\" includesGlobal=\"true\" untracked_use=\"ignore\" "
    "warn_unused=\"false\">\n"
    "<expr oper=\"&lt;\" type=\"int\" value=\"0\"/><includes>unistd.h</includes>\n"
    "<tor __type__=\"allocator\" name=\"socket\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><args type=\"int\" name=\"r\"/>\n"
    "<expr oper=\"&lt;\" type=\"int\" value=\"0\"/></tor>\n"
    "<tor __type__=\"deallocator\" name=\"close\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\" bad_handle_ok=\"true\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>sock</validateDom_before>\n"
    "<args type=\"int\" name=\"r\"/><args type=\"int\" name=\"fd\"/><expr oper=\"!=\" type=\"int\" value=\"0\"/></tor>\n"
    "</domain>\n"
    "</template>\n";

struct Run {
    std::uint8_t status = 0;
    std::string out, err;
    std::string readerOut, readerErr;  // what the template reader printed itself
};

template <class Fetcher>
Run analyse(Fetcher& fetcher, const HandleTableFactory& tables) {
    Run r;
    std::ostringstream out, err;
    kelfuzz::CapturedStreams captured;
    r.status = runAnalysis(fetcher, tables, out, err);
    r.out = out.str();
    r.err = err.str();
    r.readerOut = captured.out();
    r.readerErr = captured.err();
    return r;
}

void expectSame(const char* what, const Run& a, const Run& b) {
    if (a.status != b.status) {
        kelfuzz::trap(what, "status " + std::to_string(a.status) + "\n" + a.out + a.err,
                      "status " + std::to_string(b.status) + "\n" + b.out + b.err);
    }
    if (a.out != b.out) kelfuzz::trap(what, a.out, b.out);
    if (a.err != b.err) kelfuzz::trap(what, a.err, b.err);
    if (a.readerOut != b.readerOut) kelfuzz::trap(what, a.readerOut, b.readerOut);
    if (a.readerErr != b.readerErr) kelfuzz::trap(what, a.readerErr, b.readerErr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kelfuzz::enterScratchFolder("trace");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string trace(reinterpret_cast<const char*>(data), size);
    if (trace.empty() || trace[0] != 'K') trace = kHeader + (trace.empty() ? trace : trace.substr(1));
    kelfuzz::writeInput("trace", trace);

    CFileLineFetcher indexedFile;
    if (indexedFile.attach("trace") != 0) kelfuzz::trap("cannot open the trace");
    const Run indexed = analyse(indexedFile, indexedTables());

    CFileLineFetcher linearFile;
    linearFile.attach("trace");
    const Run linear = analyse(linearFile, linearTables());
    expectSame("indexed and linear tables disagree", indexed, linear);

    CSockLineFetcher sock;
    if (sock.attach(::open("trace", O_RDONLY)) != 0) kelfuzz::trap("cannot open the trace as a descriptor");
    const Run socket = analyse(sock, indexedTables());
    expectSame("file and socket line sources disagree", indexed, socket);
    return 0;
}
