// kelgen --merge: several templates made into one, so that a program traces
// the heap, its streams and its descriptors at once and its trace embeds one
// template that keltrace reads as any other. The first template gives the
// root element with every setting (and the prefix); each later template
// gives its domains, with the comments around them. The root's name becomes
// the templates' names joined by "+". Called by kelgen's main.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// Writes the merged template to `outputPath`. A later template whose settings
// that change how the program runs (multithreaded, threading, remote_mode,
// force_flush, fork_enabled, compiler_type) differ from the first one's gets
// a note on `err`, one line per setting. A template that cannot be
// loaded, a domain name or a traced function that two templates share (their
// records or macros would collide), or a template whose text does not have
// the shape the trace needs (a root start tag, and "</template>" alone on its
// last non-empty line) is reported on `err` and nothing is written.
// Returns a KelgenStatus.
int mergeTemplates(const std::string& outputPath, const std::vector<std::string>& inputs, std::ostream& err);

// The parts of one template's text: everything before its closing line, and
// where the root element's content starts (just after its start tag's '>').
// False when the text does not have that shape.
bool splitTemplateText(const std::string& text, std::string& beforeClosing, std::size_t& contentStart);
