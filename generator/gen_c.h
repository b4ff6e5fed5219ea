// The library generator: writes kel.h (globals, prototypes, wrapper
// declarations, redefinition macros) and kel.c (runtime, then one wrapper per
// traced function) from a loaded Template. kelgen's main calls generateFiles;
// the tests call the writers one by one.
#pragma once

#include <ostream>
#include <string>

#include "gen_xml_sax_read.h"

// How the generated code serialises its trace records.
enum class MutexKind { none, posix, win32 };
MutexKind mutexKind(const Template& t);

// generateFiles' results; every value but genOk is a generation error.
enum GenStatus : int {
    genOk = 0,
    genTemplateRejected = 3,  // the template could not make a readable trace
    genOutputFailed = 4,      // an output file could not be written
};

// ---------------------------------------------------------------- header (kel.h)

void writeBanner(const Template& t, std::ostream& out);
void writeHeader(const Template& t, std::ostream& out);
void writeDeclarations(const Template& t, std::ostream& out);
void writeRedefinitions(const Template& t, std::ostream& out);

// ---------------------------------------------------------------- runtime (first half of kel.c)

int writeRuntime(const Template& t, const char* templatePath, std::ostream& out);
// One kel_trace call per non-empty template line, so that every trace carries
// the template it was generated from.
int embedTemplateLines(const char* templatePath, std::ostream& out);
// Makes a template line safe inside a C string literal: a backslash before
// every double quote, every backslash, and every '?' that follows a '?'.
void escapeQuotes(std::string& s);

// ---------------------------------------------------------------- wrappers (second half of kel.c)

int writeWrappers(const Template& t, std::ostream& out);
void writeWrapper(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
void writeWrapperPrologue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
void writeArgumentChecks(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
void writeCall(const Template& t, const Tor& tor, std::ostream& out);
void writeWrapperEpilogue(const Template& t, const Domain& d, const Tor& tor, std::ostream& out);
// Position of the first domain named `name`, or -1.
int findDomainIndex(const Template& t, const std::string& name);

// ---------------------------------------------------------------- driver

// Refuses, with one message on `err`, a template whose generated code would
// read past the end of a tor's args, or whose remote trace_target has no port.
bool checkTemplateRecords(const Template& t, const char* templatePath, std::ostream& err);
// Refuses, with one message on `err`, a template file whose embedded copy the
// analyzer could not read back line for line.
bool checkTemplateLines(const char* templatePath, std::ostream& err);

// Checks the template, then writes both files; an output is replaced only
// once it is complete. Failures are reported on standard error.
int generateFiles(const Template& t, const char* templatePath, const char* headerPath,
                  const char* sourcePath);
int writeSource(const Template& t, const char* templatePath, std::ostream& out);
