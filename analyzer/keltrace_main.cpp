// keltrace: parses the command line and hands it to the analyzer library.
#include <unistd.h>

#include <iostream>

#include "command_line.h"

int main(int argc, char** argv) {
    // A report of a million findings goes to a file or pipe in large blocks:
    // unsynchronised with C stdio, the standard output writes a large block
    // straight through, where stdio copies every byte into its buffer first.
    // (Nothing here writes to C's stdout.) A terminal keeps its line buffering.
    if (!::isatty(STDOUT_FILENO)) std::ios::sync_with_stdio(false);
    return runKeltrace(parseCommandLine(argc, argv), argc > 0 ? argv[0] : "keltrace");
}
