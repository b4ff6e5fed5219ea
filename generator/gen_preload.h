// The preload binding (kelgen --preload): one C file that, compiled into a
// shared library and named in LD_PRELOAD, traces a program that was not built
// with kel.h. It holds kel.h and kel.c as the linker route writes them
// (link_wrap, auto_start) and, after them, each traced function with a fixed
// parameter list under its own name: the program's calls, and the calls of
// every library it loads, reach it through the dynamic linker's symbol
// search; it hands them to __wrap_NAME (records at "(no call site)":0) and
// defines __real_NAME as the next definition of NAME (dlsym RTLD_NEXT).
//
// The entry points are the one place where a call site could be taken from
// (the return address, or a stack): they call __wrap_NAME, which takes the
// site as a file and a line today.
#pragma once

#include <ostream>

#include "template_reader.h"

// The whole binding's text.
void writePreloadBinding(const Template& t, const char* templatePath, std::ostream& out);
// Checks the template, then writes the binding to `sourcePath` (replaced only
// once complete); the result is a KelgenStatus, failures go to standard error.
int generatePreload(const Template& t, const char* templatePath, const char* sourcePath);
