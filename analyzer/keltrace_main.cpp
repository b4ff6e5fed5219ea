// keltrace: parses the command line and maps it onto the analysis.
#include <cstring>

#include "keltrace_status.h"
#include "sockloader.h"
#include "trace_listener.h"
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
    if (argc == 3 && std::strcmp(argv[1], "--sock") == 0) {
        const int listener = listenForTrace(argv[2]);
        if (listener < 0) return statusNotATrace;
        const int connection = acceptTrace(listener, argv[2]);
        if (connection < 0) return statusNotATrace;
        CSockLineFetcher fetcher;
        fetcher.attach(connection);
        return runAnalysis(fetcher, indexedTables());
    }
    printUsage(argc > 0 ? argv[0] : "keltrace");
    return statusNoAnalysis;
}
