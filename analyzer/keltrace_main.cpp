// keltrace: parses the command line and hands it to the analyzer library.
#include <unistd.h>

#include <cstdio>

#include "command_line.h"

int main(int argc, char** argv) {
    // A report of a million findings goes to a file or pipe in large blocks
    // rather than one write per 4 KB; a terminal keeps its line buffering.
    // (glibc takes the size only with a buffer given.)
    static char buffer[1 << 16];
    if (!::isatty(STDOUT_FILENO)) std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    return runKeltrace(parseCommandLine(argc, argv), argc > 0 ? argv[0] : "keltrace");
}
