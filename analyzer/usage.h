// What keltrace prints for --help and --version.
#pragma once

#include <iostream>

// The fixed usage lines, then the options and the finding kinds.
void printUsage(const char* program, std::ostream& out = std::cout);
// "KEL v0.9.02".
void printVersion(std::ostream& out = std::cout);
