#include "command_line.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "keltrace_status.h"
#include "sockloader.h"
#include "trace_batch.h"
#include "trace_listener.h"

namespace {

using Action = KeltraceCommand::Action;

const char* const kOneSource = "give exactly one of --file TRACE and --sock HOST:PORT";

KeltraceCommand failure(std::string problem) {
    KeltraceCommand c;
    c.action = Action::error;
    c.problem = std::move(problem);
    return c;
}

// A decimal number of at most 18 digits, nothing else.
bool readNumber(const std::string& text, unsigned long long& value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoull(text);
    return true;
}

}  // namespace

KeltraceCommand parseCommandLine(int argc, const char* const* argv) {
    KeltraceCommand c;
    if (argc <= 1) return c;  // the usage text
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--help") == 0) return c;
    if (std::strcmp(argv[1], "--version") == 0) {
        if (argc > 2) return failure("--version takes no other arguments");
        c.action = Action::version;
        return c;
    }

    bool haveSource = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() > 1 && arg[0] == '-' && (arg[1] != '-' || arg.size() > 2) && arg.compare(0, 2, "--") != 0) {
            return failure("unknown option '" + arg + "'");
        }
        if (arg.compare(0, 2, "--") != 0 || arg.size() == 2) {
            return failure("unexpected argument '" + arg + "'");
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const bool inlineValue = equals != std::string::npos;

        if (name == "--group") {
            if (inlineValue) return failure("option '--group' takes no value");
            c.group = true;
            continue;
        }
        if (name == "--version") return failure("--version takes no other arguments");

        static const char* const withValue[] = {"--file", "--sock",  "--suppressions", "--error-exitcode",
                                                "--json", "--sarif", "--html",         "--max-occurrences"};
        bool known = false;
        for (const char* option : withValue) known = known || name == option;
        if (!known) return failure("unknown option '" + arg + "'");
        std::string value;
        if (inlineValue) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return failure("option '" + name + "' needs a value");
        }
        if (value.empty()) return failure("option '" + name + "' needs a value");
        if (name == "--file" && !inlineValue && value[0] == '-') return failure("option '--file' needs a value");

        if (name == "--file") {
            if (c.action == Action::analyseSock) return failure(kOneSource);
            c.action = Action::analyseFile;
            haveSource = true;
            if (c.files.empty()) c.source = value;
            c.files.push_back(value);
            // The paths a shell pattern expanded to follow as they are.
            if (!inlineValue)
                while (i + 1 < argc && argv[i + 1][0] != '-') c.files.push_back(argv[++i]);
        } else if (name == "--sock") {
            if (haveSource) return failure(kOneSource);
            haveSource = true;
            c.action = Action::analyseSock;
            c.source = value;
        } else if (name == "--suppressions") {
            c.suppressionFiles.push_back(value);
        } else if (name == "--error-exitcode") {
            unsigned long long n = 0;
            if (c.errorExitcode != 0) return failure("option '--error-exitcode' given twice");
            if (!readNumber(value, n) || n < 1 || n > 255) {
                return failure("--error-exitcode needs a number from 1 to 255, not '" + value + "'");
            }
            c.errorExitcode = static_cast<int>(n);
        } else if (name == "--max-occurrences") {
            unsigned long long n = 0;
            if (!readNumber(value, n)) {
                return failure("--max-occurrences needs a number (0 lists every occurrence), not '" + value + "'");
            }
            c.maxOccurrences = static_cast<std::size_t>(n);
        } else {
            std::string& path = name == "--json" ? c.jsonPath : name == "--sarif" ? c.sarifPath : c.htmlPath;
            if (!path.empty()) return failure("option '" + name + "' given twice");
            path = value;
        }
    }
    if (!haveSource) return failure(kOneSource);
    if (!c.jsonPath.empty() && c.jsonPath == c.sarifPath) {
        return failure("--json and --sarif name the same file '" + c.jsonPath + "'");
    }
    if (!c.htmlPath.empty() && (c.htmlPath == c.jsonPath || c.htmlPath == c.sarifPath)) {
        return failure(std::string(c.htmlPath == c.jsonPath ? "--json" : "--sarif") + " and --html name the same file '" +
                       c.htmlPath + "'");
    }
    return c;
}

int runKeltrace(const KeltraceCommand& command, const char* program, std::ostream& out, std::ostream& err) {
    switch (command.action) {
        case Action::usage:
            printUsage(program, out);
            return statusNoAnalysis;
        case Action::version:
            printVersion(out);
            return statusNoAnalysis;
        case Action::error:
            err << "keltrace: " << command.problem << std::endl;
            printUsage(program, err);
            return statusUsage;
        case Action::analyseFile:
        case Action::analyseSock:
            break;
    }

    AnalysisOptions options;
    // A malformed rule stops the run before anything is read.
    for (const std::string& file : command.suppressionFiles) {
        std::string problem;
        if (!readSuppressions(file, options.report.suppressions, problem)) {
            err << problem << std::endl;
            return statusUsage;
        }
    }
    options.report.group = command.group;
    const bool html = !command.htmlPath.empty();
    options.report.keepGroups = command.group || !command.jsonPath.empty() || !command.sarifPath.empty() || html;
    options.report.keepOccurrences = !command.jsonPath.empty() || html;
    options.report.maxOccurrences = command.maxOccurrences;
    // The page lists a few occurrences per group, never all of them: a
    // million findings must still give a page a browser opens.
    options.htmlOccurrences = command.maxOccurrences != 0 ? command.maxOccurrences : kHtmlOccurrences;
    if (html && command.jsonPath.empty()) options.report.maxOccurrences = options.htmlOccurrences;
    options.traceName = command.source;
    options.jsonPath = command.jsonPath;
    options.sarifPath = command.sarifPath;
    options.htmlPath = command.htmlPath;
    options.errorExitcode = command.errorExitcode;

    if (command.action == Action::analyseFile) {
        std::vector<std::string> traces;
        bool many = false;
        if (!listTraces(command.files, traces, many, err)) return statusNotATrace;
        if (many) {
            // Traces are independent: one analysis per core.
            options.readToEnd = true;
            return runTraces(traces, options, std::max(1u, std::thread::hardware_concurrency()), out, err);
        }
        // Nobody watches a file's findings arrive: they go out in blocks.
        options.report.holdLines = true;
        options.readToEnd = true;
        CFileLineFetcher fetcher;
        if (!attachTrace(fetcher, command.source.c_str(), err)) return statusNotATrace;
        return runAnalysis(fetcher, options, indexedTables(), out, err);
    }
    const int listener = listenForTrace(command.source, err);
    if (listener < 0) return statusNotATrace;
    const int connection = acceptTrace(listener, command.source, err);
    if (connection < 0) return statusNotATrace;
    CSockLineFetcher fetcher;
    fetcher.attach(connection);
    // Findings are written without a flush each; before every wait for the
    // program's next bytes they are pushed out, so they appear while it runs.
    fetcher.setBeforeRead([&out] { out.flush(); });
    return runAnalysis(fetcher, options, indexedTables(), out, err);
}
