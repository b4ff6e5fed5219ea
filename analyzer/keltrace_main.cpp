// keltrace: parses the command line and hands it to the analyzer library.
#include "command_line.h"

int main(int argc, char** argv) {
    return runKeltrace(parseCommandLine(argc, argv), argc > 0 ? argv[0] : "keltrace");
}
