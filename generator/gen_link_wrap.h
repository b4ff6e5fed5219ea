// The linker route (the template's link_wrap): kel.c also defines
// __wrap_NAME for each traced function with a fixed parameter list, so that a
// program linked with -Wl,--wrap=NAME traces every reference to NAME that
// kel.h's macros do not rewrite: calls through a function pointer (an
// allocator kept by its address), sources built with KEL_NO_REDEF, objects
// compiled without kel.h. kel.c's own calls of those functions go to
// __real_NAME, which the same flag binds to the C library's NAME.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "template_reader.h"

// The file of a record written by __wrap_NAME; its line is 0.
extern const char* const kNoCallSite;

// The tors that get __wrap_NAME: not aliased, no optional parameters, no
// "..."; each name once, in the order kel.c defines the wrappers. Empty
// without link_wrap.
std::vector<const Tor*> linkWrappedTors(const Template& t);
// The same tors whatever link_wrap says (the preload binding defines them all).
std::vector<const Tor*> fixedParameterTors(const Template& t);
// "type name, ..." of the tor's parameters, or "void" for none.
std::string parameterList(const Tor& tor);
// A "..." among the parameters, or a va_forward tor (variadic by definition).
bool isVariadic(const Tor& tor);
// kel.c, right after kel.h: __real_NAME's prototype and "#define NAME
// __real_NAME" for each such tor, so that the runtime and the wrappers call
// the real function, not their own __wrap_NAME.
void writeRealNames(const Template& t, std::ostream& out);
// kel.c, after the wrappers: the __wrap_NAME functions.
void writeLinkWrappers(const Template& t, std::ostream& out);
// The linker flags, "-Wl,--wrap=NAME" one a line: nothing without link_wrap.
void writeWrapFlags(const Template& t, std::ostream& out);
