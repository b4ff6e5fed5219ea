// The checks that run before kelgen writes anything: a template whose
// generated code would be unsound or whose embedded copy the analyzer could
// not read back is refused with one message. generateFiles calls them.
#pragma once

#include <ostream>

#include "gen_xml_sax_read.h"

// Refuses, with one message on `err`, a template whose generated code would
// read past the end of a tor's args, or whose remote trace_target has no port.
bool checkTemplateRecords(const Template& t, const char* templatePath, std::ostream& err);
// Warns on `err`, one line each, about validateDom_before entries that are
// neither empty, nor "-", nor the name of a domain: most likely a misspelt
// domain, whose argument is then not checked. Returns the number of warnings.
int warnUnknownDomains(const Template& t, const char* templatePath, std::ostream& err);
// Refuses, with one message on `err`, a template file whose embedded copy the
// analyzer could not read back line for line.
bool checkTemplateLines(const char* templatePath, std::ostream& err);
