// The checks that run before kelgen writes anything: a template whose
// generated code would be unsound or whose embedded copy the analyzer could
// not read back is refused with one message. generateFiles calls them.
#pragma once

#include <ostream>

#include "template_reader.h"

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
// Refuses a name that the generated code would have to write as C text: a
// domain or tor name that is not a C identifier, a prefix that cannot start
// one, an includes entry that cannot stand in an #include line. The message
// names the element and the template line of its start tag.
bool checkNames(const Template& t, const char* templatePath, std::ostream& err);
// Refuses a template whose copy in the trace, as keltrace writes it back to
// template.tmp (the non-empty lines up to "</template>"), would not load to a
// Template equal to `t`. The message names the first element that differs.
bool checkEmbeddedCopy(const Template& t, const char* templatePath, std::ostream& err);
// Every check above that refuses, in order, stopping at the first refusal.
bool checkTemplate(const Template& t, const char* templatePath, std::ostream& err);
