// keltrace's reader and replay on any bytes, over the templates users run.
//
// An input that starts with 'K' is a whole trace (header and embedded
// template included), analysed by the driver as keltrace does. Any other
// input is the records of a trace: its first byte picks one of the templates
// below, loaded once at start, and the rest is replayed in memory against it
// (no file is written or read per input). Templates: a small one with every
// kind of tor; the test templates of the golden cases (plain, with
// attributes, two domains of one name, interior ranges, and the plain one
// with mapped_records, whose zero bytes cut records); the ready-made
// heap (interior ranges, two reallocators), stdio and descriptor templates;
// and all of these ready-made domains in one template with a further sized
// domain that has a reallocator of its own.
//
// Each input is analysed three times: file source with the indexed tables,
// file source with the linear tables (the reference), and the socket source
// (reading the same bytes through a descriptor) with the indexed tables.
// Status, messages and the template reader's own output must be identical.
// The bytes sit in an anonymous memory file, which both sources read.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

// A sized domain of its own beside the ready-made ones, with an allocator,
// a reallocator, an operator that also takes a heap block, and a release.
const char* const kArenaDomain =
    "<domain name=\"arena\" float_handle=\"true\" handle=\"void*\" includesGlobal=\"true\">\n"
    "<expr oper=\"==\" type=\"void*\" value=\"NULL\"/><includes>stdlib.h</includes>\n"
    "<tor __type__=\"allocator\" name=\"arena_new\" float_arg_n1=\"1\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><args type=\"void*\" name=\"r\"/><args type=\"size_t\" name=\"s\"/>\n"
    "<expr oper=\"==\" type=\"void*\" value=\"NULL\"/></tor>\n"
    "<tor __type__=\"reallocator\" name=\"arena_grow\" float_arg_n1=\"2\" float_arg_n2=\"0\" is_handle_arg_out=\"true\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>arena</validateDom_before>\n"
    "<args type=\"void*\" name=\"r\"/><args type=\"void*\" name=\"p\"/><args type=\"size_t\" name=\"s\"/>\n"
    "<expr oper=\"==\" type=\"void*\" value=\"NULL\"/></tor>\n"
    "<tor __type__=\"operator\" name=\"arena_copy\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>arena</validateDom_before>\n"
    "<validateDom_before>heap</validateDom_before>\n"
    "<args type=\"void*\" name=\"r\"/><args type=\"void*\" name=\"to\"/><args type=\"void*\" name=\"from\"/>\n"
    "<expr oper=\"\" type=\"\" value=\"\"/></tor>\n"
    "<tor __type__=\"deallocator\" name=\"arena_free\" float_arg_n1=\"0\" float_arg_n2=\"0\" is_handle_arg_out=\"false\" "
    "handle_arg_out=\"0\" cpp_alias=\"\">\n"
    "<validateDom_before>-</validateDom_before><validateDom_before>arena</validateDom_before>\n"
    "<args type=\"void\" name=\"r\"/><args type=\"void*\" name=\"p\"/><expr oper=\"\" type=\"void\" value=\"\"/></tor>\n"
    "</domain>\n";

std::string readSource(const std::string& relative) {
    std::ifstream in(std::string(KEL_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || text.str().empty()) kelfuzz::trap(("cannot read " + relative).c_str());
    return text.str();
}

// The domains of a template document, as written.
std::string domainsOf(const std::string& xml) {
    const std::size_t from = xml.find("<domain "), to = xml.rfind("</domain>");
    if (from == std::string::npos || to == std::string::npos) kelfuzz::trap("a template without domains");
    return xml.substr(from, to + 9 - from) + "\n";
}

// The heap, stdio and descriptor templates' domains in one, with the arena.
std::string severalDomains() {
    std::string heap = readSource("templates/libc-heap.xml");
    const std::size_t end = heap.rfind("</template>");
    return heap.substr(0, end) + domainsOf(readSource("templates/stdio.xml")) +
           domainsOf(readSource("templates/posix-fd.xml")) + kArenaDomain + heap.substr(end);
}

// The templates an input can pick, by its first byte: the byte named here,
// or any other byte by its value modulo their number. A newline picks the
// small template (the records seeds begin with one).
struct Choice {
    char byte;
    Template tmpl;
};
std::vector<Choice> choices;

void loadChoice(char byte, const std::string& xml) {
    kelfuzz::writeInput("template.xml", xml);
    Choice c{byte, Template()};
    kelfuzz::CapturedStreams quiet;
    if (saxparser_templateLoader(c.tmpl, "template.xml") != 0 || c.tmpl.domains.empty())
        kelfuzz::trap("a fuzzing template does not load", quiet.out(), quiet.err());
    choices.push_back(std::move(c));
}

Template& templateFor(unsigned char byte) {
    for (Choice& c : choices)
        if (static_cast<unsigned char>(c.byte) == byte) return c.tmpl;
    return choices[byte % choices.size()].tmpl;
}

// The input's bytes, in memory with a descriptor.
int memoryFile = -1;

void holdInput(const std::string& bytes) {
    if (::ftruncate(memoryFile, 0) != 0 || ::pwrite(memoryFile, bytes.data(), bytes.size(), 0) !=
                                                static_cast<ssize_t>(bytes.size()))
        kelfuzz::trap("cannot hold the input in memory");
}

// A fresh source over the held bytes, from their start.
void attachFile(CFileLineFetcher& fetcher) {
    const std::string path = "/proc/self/fd/" + std::to_string(memoryFile);
    if (fetcher.attach(path.c_str()) != 0) kelfuzz::trap("cannot open the input as a file");
}
void attachSocket(CSockLineFetcher& fetcher) {
    const int fd = ::open(("/proc/self/fd/" + std::to_string(memoryFile)).c_str(), O_RDONLY);
    if (fetcher.attach(fd) != 0) kelfuzz::trap("cannot open the input as a descriptor");
}

struct Run {
    std::uint8_t status = 0;
    std::string out, err;
    std::string readerOut, readerErr;  // what the template reader printed itself
};

// The whole trace through the driver.
Run analyse(CVLineFetcher& fetcher, const HandleTableFactory& tables) {
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

// Records only, against a template loaded before: the driver's phases after
// the header, with its ways of stopping written out plainly.
Run replay(CVLineFetcher& fetcher, Template& tmpl, const HandleTableFactory& tables) {
    Run r;
    std::ostringstream out, err;
    kelfuzz::CapturedStreams captured;
    {
        // Every finding's line, and the grouped view after them.
        ReportSettings settings;
        settings.keepGroups = true;
        TraceAnalysis analysis(tables, out, err, settings);
        // Lent, not copied: a template is a deep tree of strings. The replay
        // does not change it.
        std::swap(analysis.tmpl, tmpl);
        for (const Domain& d : analysis.tmpl.domains) {
            analysis.tables.push_back(analysis.makeTable());
            if (rangesMatter(d)) analysis.tables.back()->trackRanges();
        }
        bool ended = false;
        try {
            try {
                err << (replayRecords(fetcher, analysis) ? "done" : "stopped") << "\n";
                if (fetcher.lastCut() > 0) err << "cut at line " << fetcher.lastCut() << "\n";
            } catch (const char* failure) {
                err << "read failure " << failure << " after line " << fetcher.lastDelivered() << "\n";
            } catch (const MalformedField& bad) {
                err << "malformed field '" << bad.text << "' (" << bad.reason << ") at line "
                    << fetcher.lastDelivered() << "\n";
            }
        } catch (const AnalysisExit& exit) {
            r.status = exit.status;
            ended = true;
        }
        if (!ended) postTransactionAnalyzer(analysis);
        analysis.report.flushLines();
        analysis.report.printGroups(out);
        std::swap(analysis.tmpl, tmpl);
    }
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
    memoryFile = ::memfd_create("kel_fuzz_trace", 0);
    if (memoryFile < 0) kelfuzz::trap("no memory file");
    const std::string start = std::string(kHeader).substr(std::string(kHeader).find("<?xml"));
    loadChoice('\n', start);
    loadChoice('k', readSource("tests/analyzer/templates/kt.xml"));
    loadChoice('a', readSource("tests/analyzer/templates/kt_attrs.xml"));
    loadChoice('d', readSource("tests/analyzer/templates/dual.xml"));
    loadChoice('i', readSource("tests/analyzer/templates/kt_interior.xml"));
    loadChoice('z', readSource("tests/analyzer/templates/kt_mapped.xml"));
    loadChoice('h', readSource("templates/libc-heap.xml"));
    loadChoice('s', readSource("templates/stdio.xml"));
    loadChoice('f', readSource("templates/posix-fd.xml"));
    loadChoice('m', severalDomains());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const bool whole = bytes[0] == 'K';
    holdInput(whole ? bytes : bytes.substr(1));
    Template& tmpl = templateFor(static_cast<unsigned char>(bytes[0]));
    auto run = [&](CVLineFetcher& fetcher, const HandleTableFactory& tables) {
        return whole ? analyse(fetcher, tables) : replay(fetcher, tmpl, tables);
    };

    CFileLineFetcher indexedFile;
    attachFile(indexedFile);
    const Run indexed = run(indexedFile, indexedTables());

    CFileLineFetcher linearFile;
    attachFile(linearFile);
    const Run linear = run(linearFile, linearTables());
    expectSame("indexed and linear tables disagree", indexed, linear);

    CSockLineFetcher sock;
    attachSocket(sock);
    const Run socket = run(sock, indexedTables());
    expectSame("file and socket line sources disagree", indexed, socket);
    return 0;
}
