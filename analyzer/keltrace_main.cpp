// keltrace: parses the command line and maps it onto the analysis.
#include <cstring>

#include "keltrace_status.h"
#include "tracer.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        printVersion();
        return statusNoAnalysis;
    }
    if (argc == 3 && std::strcmp(argv[1], "--file") == 0) {
        CFileLineFetcher fetcher;
        if (!attachTrace(fetcher, argv[2])) return statusNotATrace;
        return runAnalysis(fetcher, indexedTables());
    }
    // Socket mode is accepted and does nothing yet.
    if (argc == 3 && std::strcmp(argv[1], "--sock") == 0) return statusNoAnalysis;
    printUsage(argc > 0 ? argv[0] : "keltrace");
    return statusNoAnalysis;
}
