#include "trace_header.h"

#include <cstring>
#include <mutex>

#include "analysis_messages.h"
#include "atomic_file.h"
#include "keltrace_status.h"
#include "trace_protocol.h"

namespace {

// The embedded template is copied whole into memory first: a trace whose
// "</template>" never comes must not fill the disk, and a template that
// cannot be read to its end must not leave a half-written template.tmp.
constexpr std::size_t kMaxEmbeddedTemplate = 16u * 1024 * 1024;

// Writes the template as a new file beside target (template.tmp in the
// working folder, unless the analysis has its own) and renames it to target:
// whatever stood there before is replaced, never written through.
bool writeTemplateFile(const std::string& text, const std::string& target, std::string& failure) {
    AtomicFile file;
    int error = file.create(target);
    if (error == 0) error = file.write(text.data(), text.size());
    if (error == 0) error = file.commit();
    if (error != 0) failure = std::strerror(error);
    return error == 0;
}

}  // namespace

bool readHeader(CVLineFetcher& fetcher, TraceAnalysis& analysis) {
    std::string& text = analysis.scratch.header;
    for (const char* expected : {kelproto::kBegin, kelproto::kProtocol}) {
        fetcher.getLine(text);
        if (text != expected) {
            say(analysis, frozen::unexpectedData::head, Quoted{text}, frozen::unexpectedData::end);
            return false;
        }
    }

    std::string copy;
    do {
        const std::int64_t number = fetcher.getLine(text);
        if (copy.size() + text.size() + 1 > kMaxEmbeddedTemplate) {
            complainAt(analysis, number, "the embedded template is longer than 16 MiB (no line \"",
                       kelproto::kTemplateEnd, "\" before it)");
            throw AnalysisExit{statusNotATrace};
        }
        copy += text;
        copy += '\n';
    } while (text != kelproto::kTemplateEnd);

    // A template.tmp that cannot be written must not be loaded: it would be
    // a stale one from an earlier run.
    std::string failure;
    if (!writeTemplateFile(copy, analysis.templateFile, failure)) {
        complain(analysis, "keltrace: cannot write ", analysis.templateFile, ": ", failure);
        throw AnalysisExit{statusNotATrace};
    }
    copy.clear();
    copy.shrink_to_fit();

    // The template reader writes its own messages with the standard streams:
    // what the analysis wrote so far goes first.
    analysis.report.flushLines();
    analysis.out.flush();
    {
        // The reader's messages go to this analysis's streams, so that with
        // many traces they stay in their trace's part of the report. Loads
        // take turns: the XML library's error handlers are set per load.
        static std::mutex loading;
        std::lock_guard<std::mutex> turn(loading);
        std::string failure;
        saxparser_templateLoader(analysis.tmpl, analysis.templateFile.c_str(), failure, analysis.out, analysis.err);
    }
    analysis.tables.clear();
    for (std::size_t i = 0; i < analysis.tmpl.domains.size(); ++i) {
        analysis.tables.push_back(analysis.makeTable());
        if (rangesMatter(analysis.tmpl.domains[i])) analysis.tables.back()->trackRanges();
    }
    return true;
}
