// The library generator: writes kel.h (globals, prototypes, wrapper
// declarations, redefinition macros; gen_header.cpp) and kel.c (runtime,
// gen_runtime.cpp, then one wrapper per traced function, gen_wrappers.cpp)
// from a loaded Template. kelgen's main calls generateFiles (gen_c.cpp); the
// tests call the writers one by one.
#pragma once

#include <ostream>
#include <string>

#include "gen_settings.h"
#include "template_reader.h"

// ---------------------------------------------------------------- header (kel.h)

void writeBanner(const Template& t, std::ostream& out);
void writeHeader(const Template& t, std::ostream& out);
void writeDeclarations(const Template& t, std::ostream& out);
void writeRedefinitions(const Template& t, std::ostream& out);
// C++ only: the wrappers' names in namespace std, for calls written std::name.
void writeStdNames(const Template& t, std::ostream& out);
// The runtime's globals: declared in kel.h with `storage` "extern ", defined
// once in kel.c with "".
void writeGlobals(const Template& t, const char* storage, std::ostream& out);

// ---------------------------------------------------------------- runtime (first half of kel.c)

void writeRuntime(const Template& t, const char* templatePath, std::ostream& out);
// One kel_trace call per non-empty template line, so that every trace carries
// the template it was generated from.
void embedTemplateLines(const char* templatePath, std::ostream& out);
// Makes a template line safe inside a C string literal (cStringContent):
// its value stays the line's bytes.
void escapeQuotes(std::string& s);

// ---------------------------------------------------------------- wrappers (second half of kel.c)

void writeWrappers(const Template& t, std::ostream& out);
void writeWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
// `wrapperName` (the tor's name when empty) follows the prefix in the head.
void writeWrapperPrologue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out,
                          const std::string& wrapperName = "");
void writeArgumentChecks(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
void writeCall(const Template& t, const Tor& tor, std::ostream& out);
void writeWrapperEpilogue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);

// ---------------------------------------------------------------- driver

// Checks the template, then writes both files; an output is replaced only
// once both are complete. Failures are reported on standard error; the result
// is a KelgenStatus.
int generateFiles(const Template& t, const char* templatePath, const char* headerPath,
                  const char* sourcePath);
void writeSource(const Template& t, const char* templatePath, std::ostream& out);
