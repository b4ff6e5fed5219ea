#include "trace_batch.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <streambuf>
#include <thread>

#include "keltrace_status.h"
#include "message_text.h"
#include "report_files.h"

namespace {

// Everything one analysis writes to its out and err, kept in the order it
// was written, to be written out later as if it had gone straight there.
class CapturedStreams {
    struct Segment {
        bool err;
        std::string text;
    };
    class Sink : public std::streambuf {
    public:
        Sink(std::vector<Segment>& segments, bool err) : segments_(segments), err_(err) {}

    protected:
        int_type overflow(int_type c) override {
            if (!traits_type::eq_int_type(c, traits_type::eof())) {
                const char ch = traits_type::to_char_type(c);
                append(&ch, 1);
            }
            return traits_type::not_eof(c);
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override {
            append(s, static_cast<std::size_t>(n));
            return n;
        }

    private:
        void append(const char* s, std::size_t n) {
            if (segments_.empty() || segments_.back().err != err_) segments_.push_back(Segment{err_, {}});
            segments_.back().text.append(s, n);
        }
        std::vector<Segment>& segments_;
        bool err_;
    };

    std::vector<Segment> segments_;
    Sink outSink_{segments_, false};
    Sink errSink_{segments_, true};

public:
    std::ostream out{&outSink_};
    std::ostream err{&errSink_};

    // Writes what was captured, each stream's part flushed before the other
    // stream's next part, as the analysis itself does.
    void writeTo(std::ostream& toOut, std::ostream& toErr) const {
        for (const Segment& s : segments_) {
            std::ostream& to = s.err ? toErr : toOut;
            to.write(s.text.data(), static_cast<std::streamsize>(s.text.size()));
            to.flush();
        }
    }
};

struct TraceJob {
    CapturedStreams streams;
    std::unique_ptr<TraceAnalysis> analysis;  // null when the trace could not be opened
    TraceOutcome outcome;
    bool done = false;
};

void analyseOne(TraceJob& job, const std::string& path, const AnalysisOptions& options,
                const std::string& templateFile) {
    CFileLineFetcher fetcher;
    if (!attachTrace(fetcher, path.c_str(), job.streams.err)) {
        job.outcome.header = false;
        job.outcome.leakReport = false;
        job.outcome.status = statusNotATrace;
        return;
    }
    job.analysis = std::make_unique<TraceAnalysis>(indexedTables(), job.streams.out, job.streams.err, options.report);
    job.analysis->templateFile = templateFile;
    // Nothing may escape a worker thread; whatever ends one analysis ends
    // only that one.
    const char* failure = nullptr;
    std::string what;
    try {
        job.outcome = analyseTrace(fetcher, *job.analysis, options);
    } catch (const std::exception& e) {
        what = e.what();
        failure = what.c_str();
    } catch (const char* text) {
        failure = text;
    }
    if (failure) {
        job.analysis->report.flushLines();
        job.streams.out.flush();
        job.streams.err << "keltrace: line " << fetcher.lastDelivered() << ": the analysis failed (" << failure
                        << "): the findings are incomplete" << std::endl;
        job.outcome.incompleteAt = std::max<std::int64_t>(1, fetcher.lastDelivered());
        job.outcome.leakReport = false;
    }
    // Only the report is needed from here on.
    job.analysis->tables.clear();
    job.analysis->tables.shrink_to_fit();
    ::unlink(templateFile.c_str());
}

bool endsWith(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The *.trace regular files directly in a folder, by name.
bool tracesIn(const std::string& folder, std::vector<std::string>& traces, std::ostream& err) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) {
        err << "keltrace: cannot read folder '" << folder << "': " << std::strerror(errno) << std::endl;
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!endsWith(name, ".trace")) continue;
        struct stat st;
        const std::string path = folder + (endsWith(folder, "/") ? "" : "/") + name;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(path);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    traces.insert(traces.end(), names.begin(), names.end());
    return true;
}

}  // namespace

bool listTraces(const std::vector<std::string>& paths, std::vector<std::string>& traces, bool& many,
                std::ostream& err) {
    many = paths.size() > 1;
    for (const std::string& path : paths) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            many = true;
            if (!tracesIn(path, traces, err)) return false;
        } else {
            traces.push_back(path);
        }
    }
    if (traces.empty()) {
        err << "keltrace: no trace to analyse: no file ending in .trace in '" << paths.front() << "'";
        for (std::size_t i = 1; i < paths.size(); ++i) err << ", '" << paths[i] << "'";
        err << std::endl;
        return false;
    }
    return true;
}

std::uint8_t runTraces(const std::vector<std::string>& traces, const AnalysisOptions& options, unsigned threads,
                       std::ostream& out, std::ostream& err) {
    // Each analysis writes its template to a file of its own, in a private
    // folder: the working folder is left as it was.
    std::error_code noTemp;
    std::filesystem::path temp = std::filesystem::temp_directory_path(noTemp);
    if (noTemp) temp = "/tmp";
    std::string folder = (temp / "keltrace.XXXXXX").string();
    if (!::mkdtemp(folder.data())) {
        err << "keltrace: cannot make a folder for the templates in '" << temp.string()
            << "': " << std::strerror(errno) << std::endl;
        return statusNotATrace;
    }
    struct RemoveFolder {
        const std::string& path;
        ~RemoveFolder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } removeFolder{folder};

    // Every analysis keeps its own groups (merged below) and prints no
    // grouped view; none samples the live resources, whose chart belongs to
    // a single trace.
    AnalysisOptions each = options;
    each.report.holdLines = true;
    each.report.keepGroups = options.report.keepGroups || options.report.group;
    each.htmlPath.clear();

    const std::size_t n = traces.size();
    std::vector<std::unique_ptr<TraceJob>> jobs;
    for (std::size_t i = 0; i < n; ++i) jobs.push_back(std::make_unique<TraceJob>());
    auto templateFile = [&](std::size_t i) { return folder + "/" + std::to_string(i + 1) + ".template.tmp"; };

    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < n; i = next++) {
            analyseOne(*jobs[i], traces[i], each, templateFile(i));
            {
                std::lock_guard<std::mutex> lock(mutex);
                jobs[i]->done = true;
            }
            finished.notify_all();
        }
    };
    std::vector<std::thread> workers;
    const std::size_t parallel = std::min<std::size_t>(std::max(threads, 1u), n);
    if (parallel > 1)
        for (std::size_t t = 0; t < parallel; ++t) workers.emplace_back(work);

    Report merged(out, options.report);
    ReportContext context;
    std::vector<std::string> templates;
    std::uint8_t firstOther = statusAnalysed;
    bool anyIncomplete = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (parallel <= 1) {
            analyseOne(*jobs[i], traces[i], each, templateFile(i));
        } else {
            std::unique_lock<std::mutex> lock(mutex);
            finished.wait(lock, [&] { return jobs[i]->done; });
        }
        TraceJob& job = *jobs[i];
        MessageText intro;
        intro << "=== trace " << static_cast<std::uint64_t>(i + 1) << " of " << static_cast<std::uint64_t>(n) << ": "
              << Quoted{traces[i]};
        intro.writeLine(out);
        out.flush();
        job.streams.writeTo(out, err);

        TraceSummary summary;
        summary.trace = traces[i];
        summary.incomplete = job.outcome.incomplete();
        summary.note = outcomeNote(job.outcome);
        if (job.analysis) {
            merged.absorb(job.analysis->report, traces[i]);
            summary.templateName = job.outcome.header ? job.analysis->tmpl.name : "";
        } else {
            // A trace that could not be opened still counts among the traces.
            merged.absorb(Report(out), traces[i]);
        }
        if (!summary.templateName.empty() &&
            std::find(templates.begin(), templates.end(), summary.templateName) == templates.end()) {
            templates.push_back(summary.templateName);
        }
        // Said against the trace on err too, where its complaints went.
        if (!summary.note.empty()) {
            MessageText said;
            said << "keltrace: " << Quoted{traces[i]} << ": " << summary.note;
            said.writeLine(err);
            err.flush();
        }
        context.traces.push_back(summary);
        anyIncomplete = anyIncomplete || summary.incomplete;
        if (firstOther == statusAnalysed && job.outcome.status != statusAnalysed) firstOther = job.outcome.status;
        jobs[i].reset();
    }
    for (std::thread& w : workers) w.join();

    std::size_t incomplete = 0, unclosed = 0;
    for (const TraceSummary& t : context.traces) {
        if (t.incomplete) {
            ++incomplete;
        } else if (!t.note.empty()) {
            ++unclosed;
        }
    }
    std::string note = std::to_string(n) + " traces";
    if (incomplete > 0) note += ", " + std::to_string(incomplete) + " incomplete";
    if (unclosed > 0) note += ", " + std::to_string(unclosed) + " ended without closing the trace";
    for (const std::string& name : templates) context.templateName += (context.templateName.empty() ? "" : ", ") + name;
    context.incomplete = anyIncomplete;
    context.note = incomplete > 0 ? std::to_string(incomplete) + " of " + std::to_string(n) + " traces incomplete" : "";

    std::uint8_t status = firstOther;
    if (options.errorExitcode != 0) {
        const bool failed = merged.totals().errors > 0 || anyIncomplete;
        status = static_cast<std::uint8_t>(failed ? options.errorExitcode : 0);
    }
    if (options.report.group) {
        MessageText line;
        merged.printGroups(out, note);
        for (const TraceSummary& t : context.traces) {
            if (t.note.empty()) continue;
            line.clear();
            line << "Trace " << Quoted{t.trace} << ": " << t.note;
            line.writeLine(out);
        }
    }
    out.flush();

    HtmlContext page;
    page.names = context;
    if (!writeReportFiles(options, merged, page, err)) status = statusUsage;
    return status;
}
