#include "gen_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <unistd.h>

#include "gen_literal.h"
#include "gen_settings.h"
#include "trace_protocol.h"
#include "visible_text.h"

namespace {

// One message of our own: names the template, goes to `err`, flushed.
// Template text in it is quoted through visibleText.
std::ostream& complain(std::ostream& err, const char* templatePath) {
    return err << "kelgen: " << visibleText(templatePath) << ": ";
}

// The same for a message about the element whose start tag begins on
// `line` (0 when unknown: records made in code).
std::ostream& complainAt(std::ostream& err, const char* templatePath, std::int64_t line) {
    complain(err, templatePath);
    if (line > 0) err << line << ": ";
    return err;
}

std::string quote(const std::string& text) { return "'" + visibleText(text) + "'"; }

bool checkPosition(const char* templatePath, const Domain& d, const Tor& tor, const char* attribute,
                   std::int64_t position, std::ostream& err) {
    if (position >= 0 && static_cast<std::uint64_t>(position) < tor.args.size()) return true;
    complain(err, templatePath) << "domain " << quote(d.name) << ", tor " << quote(tor.name) << ": " << attribute
                                << " is " << position << ", but args has " << tor.args.size() << " entries"
                                << std::endl;
    return false;
}

std::ostream& complainAbout(std::ostream& err, const char* templatePath, const Domain& d, const Tor& tor) {
    return complain(err, templatePath) << "domain " << quote(d.name) << ", tor " << quote(tor.name) << ": ";
}

// A variadic parameter cannot be wrapped as it is written: a macro and a
// wrapper need every parameter's name and type. Trailing parameters that
// callers may leave out are written out and marked optional instead; they
// must come last, and nothing may check, size or take a handle from them,
// since some calls do not pass them.
bool checkParameters(const Template& t, const char* templatePath, const Domain& d, const Tor& tor,
                     std::ostream& err) {
    if (isAliased(tor)) return true;
    // With va_forward the last entry is the "..." that the wrapper forwards.
    const std::size_t named = tor.va_forward.empty() || tor.args.empty() ? tor.args.size() : tor.args.size() - 1;
    for (std::size_t i = 0; i < named; ++i) {
        const Arg& a = tor.args[i];
        if (a.type.find("...") != std::string::npos || a.name.find("...") != std::string::npos) {
            complainAbout(err, templatePath, d, tor)
                << "args entry " << i << " is variadic ('...'), which cannot be wrapped; write out the parameters "
                << "callers may pass and mark them optional=\"true\"" << std::endl;
            return false;
        }
    }
    if (!tor.args.empty() && tor.args[0].optional) {
        complainAbout(err, templatePath, d, tor) << "args entry 0 is the return value and cannot be optional"
                                                 << std::endl;
        return false;
    }
    const std::size_t required = requiredParameters(tor);
    for (std::size_t i = required + 1; i < tor.args.size(); ++i)
        if (!tor.args[i].optional) {
            complainAbout(err, templatePath, d, tor)
                << "args entry " << i << " follows an optional parameter, so it must be optional too" << std::endl;
            return false;
        }
    const auto optionalAt = [&](std::int64_t position) {
        return position > static_cast<std::int64_t>(required);
    };
    const std::pair<const char*, std::int64_t> positions[] = {{"float_arg_n1", tor.float_arg_n1},
                                                              {"float_arg_n2", tor.float_arg_n2},
                                                              {"handle_arg_out", tor.handle_arg_out}};
    for (const auto& [attribute, position] : positions)
        if (optionalAt(position)) {
            complainAbout(err, templatePath, d, tor)
                << attribute << " is " << position << ", an optional parameter that calls may leave out" << std::endl;
            return false;
        }
    for (std::size_t i = 1; i < tor.validateDom_before.size(); ++i)
        if (optionalAt(static_cast<std::int64_t>(i)) && findDomainIndex(t, tor.validateDom_before[i]) != -1) {
            complainAbout(err, templatePath, d, tor)
                << "validateDom_before entry " << i << " checks an optional parameter that calls may leave out"
                << std::endl;
            return false;
        }
    return true;
}

// handle_arg_deref and va_forward: the wrapper calls first and records
// after the call, which only allocators, reallocators and operators can do
// (a deallocator's record must reach the trace before the release).
bool checkAfterCall(const Template& t, const Domain& d, const Tor& tor, const char* kind, const char* templatePath,
                    std::ostream& err) {
    if (isAliased(tor)) return true;
    const std::string k = kind;
    const auto refuse = [&]() -> std::ostream& { return complainAbout(err, templatePath, d, tor); };
    if (tor.handle_arg_deref < 0) {
        refuse() << "handle_arg_deref is " << tor.handle_arg_deref << "; expected 0 or more" << std::endl;
        return false;
    }
    if (tor.handle_arg_deref > 0) {
        if (k != "allocator" && k != "reallocator") {
            refuse() << "handle_arg_deref is for allocators and reallocators, not a " << k << std::endl;
            return false;
        }
        if (!tor.is_handle_arg_out || tor.handle_arg_out < 1) {
            refuse() << "handle_arg_deref needs is_handle_arg_out=\"true\" and handle_arg_out at a parameter"
                     << std::endl;
            return false;
        }
        if (k == "reallocator" && tor.handle_arg_deref != 1) {
            refuse() << "a reallocator's handle_arg_deref is 1: one handle, before and after the call" << std::endl;
            return false;
        }
    }
    if (!tor.va_forward.empty()) {
        if (k == "deallocator") {
            refuse() << "va_forward is not for a deallocator, whose record must be written before the call"
                     << std::endl;
            return false;
        }
        if (tor.args.size() < 3 || tor.args.back().type != "...") {
            refuse() << "va_forward needs a last args entry of type '...' after at least one named parameter"
                     << std::endl;
            return false;
        }
        if (!isCIdentifier(tor.va_forward)) {
            refuse() << "va_forward " << quote(tor.va_forward) << " is not a C identifier" << std::endl;
            return false;
        }
    }
    if (!tor.release_tor.empty()) {
        const Domain* owner = nullptr;
        const Tor* release = findReleaseTor(t, d, tor.release_tor, owner);
        // Another domain that the template lacks: nothing to release.
        if (owner != nullptr && (release == nullptr || release->expr.type != "void" || release->args.size() != 2)) {
            refuse() << "release_tor " << quote(tor.release_tor)
                     << " names no deallocator of the domain with one parameter and expr type \"void\"" << std::endl;
            return false;
        }
        if (tor.release_arg < 1 || static_cast<std::uint64_t>(tor.release_arg) >= tor.args.size() ||
            tor.args[static_cast<std::size_t>(tor.release_arg)].optional) {
            refuse() << "release_arg is " << tor.release_arg << "; expected the position of a parameter every call passes"
                     << std::endl;
            return false;
        }
    }
    if ((tor.handle_arg_deref > 0 || !tor.va_forward.empty()) && hasOptionalParameters(tor)) {
        refuse() << "handle_arg_deref and va_forward do not go with optional parameters" << std::endl;
        return false;
    }
    return true;
}

// The port is written into the generated call as C text, not as a string:
// only a number may stand there.
bool isPort(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return value >= 1 && value <= 65535;
}

}  // namespace

bool checkTemplateRecords(const Template& t, const char* templatePath, std::ostream& err) {
    if (t.link_wrap && compiler(t) != Compiler::gcc) {
        complain(err, templatePath) << "link_wrap needs compiler_type \"gcc\": the linker's --wrap is GNU's"
                                    << std::endl;
        return false;
    }
    if (t.mapped_records && t.remote_mode) {
        complain(err, templatePath) << "mapped_records needs a trace file; remote_mode sends the trace to a socket"
                                    << std::endl;
        return false;
    }
    if (t.remote_mode) {
        std::string host, port;
        if (!splitTarget(t.trace_target, host, port)) {
            complain(err, templatePath) << "remote trace_target " << quote(t.trace_target)
                                        << " has no ':' in its first 99 characters; expected host:port"
                                        << std::endl;
            return false;
        }
        if (!isPort(port)) {
            complain(err, templatePath) << "remote trace_target " << quote(t.trace_target) << " has the port "
                                        << quote(port) << "; expected a number from 1 to 65535" << std::endl;
            return false;
        }
    }
    for (const Domain& d : t.domains) {
        const std::pair<const std::vector<Tor>*, const char*> kinds[] = {{&d.allocators, "allocator"},
                                                                         {&d.deallocators, "deallocator"},
                                                                         {&d.reallocators, "reallocator"},
                                                                         {&d.operators, "operator"}};
        for (const auto& [list, kind] : kinds)
            for (const Tor& tor : *list)
                if (!checkAfterCall(t, d, tor, kind, templatePath, err)) return false;
    }
    for (const Domain& d : t.domains) {
        bool ok = true;
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (!ok) return;
            ok = checkPosition(templatePath, d, tor, "float_arg_n1", tor.float_arg_n1, err) &&
                 checkPosition(templatePath, d, tor, "float_arg_n2", tor.float_arg_n2, err) &&
                 checkPosition(templatePath, d, tor, "handle_arg_out", tor.handle_arg_out, err);
            if (ok && tor.validateDom_before.size() > tor.args.size()) {
                complain(err, templatePath)
                    << "domain " << quote(d.name) << ", tor " << quote(tor.name) << ": validateDom_before has "
                    << tor.validateDom_before.size() << " entries, but args has " << tor.args.size() << std::endl;
                ok = false;
            }
            ok = ok && checkParameters(t, templatePath, d, tor, err);
        });
        if (!ok) return false;
    }
    return true;
}

int warnUnknownDomains(const Template& t, const char* templatePath, std::ostream& err) {
    int warnings = 0;
    for (const Domain& d : t.domains)
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            for (std::size_t i = 0; i < tor.validateDom_before.size(); ++i) {
                const std::string& entry = tor.validateDom_before[i];
                if (entry.empty() || entry == "-" || findDomainIndex(t, entry) != -1) continue;
                complain(err, templatePath) << "warning: domain " << quote(d.name) << ", tor " << quote(tor.name)
                                            << ": validateDom_before entry " << i << " " << quote(entry)
                                            << " names no domain; that argument is not checked" << std::endl;
                ++warnings;
            }
        });
    return warnings;
}

bool checkTemplateLines(const char* templatePath, std::ostream& err) {
    // Line by line: a big template is not held a second time.
    std::ifstream in(templatePath, std::ios::in | std::ios::binary);
    if (!in) {
        complain(err, templatePath) << "cannot read it again: " << std::strerror(errno) << std::endl;
        return false;
    }
    std::string raw;
    std::int64_t number = 0;
    std::int64_t endLine = 0;  // number of the first "</template>" line
    while (std::getline(in, raw)) {
        ++number;
        if (in.eof()) {
            complain(err, templatePath) << number << ": the last line has no line feed; the trace would lose it"
                                        << std::endl;
            return false;
        }
        if (raw.find('\0') != std::string::npos) {
            complain(err, templatePath) << number << ": the line holds a NUL byte; the trace would cut it there"
                                        << std::endl;
            return false;
        }
        if (raw.size() > kelproto::kMaxLineLength) {
            complain(err, templatePath) << number << ": the line has " << raw.size() << " characters; at most "
                                        << kelproto::kMaxLineLength << " fit in a trace line" << std::endl;
            return false;
        }
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (endLine == 0) {
            if (raw == kelproto::kTemplateEnd) endLine = number;
        } else if (!raw.empty()) {
            complain(err, templatePath) << number << ": text after the '" << kelproto::kTemplateEnd
                                        << "' line; the analyzer would take it for a trace record" << std::endl;
            return false;
        }
    }
    if (in.bad()) {
        complain(err, templatePath) << "cannot read it again: " << std::strerror(errno) << std::endl;
        return false;
    }
    if (endLine == 0) {
        complain(err, templatePath) << "no line is exactly '" << kelproto::kTemplateEnd
                                    << "'; the analyzer could not find the end of the embedded template"
                                    << std::endl;
        return false;
    }
    return true;
}

namespace {

const char* const kIdentifierRule = "letters, digits and '_', not starting with a digit";

// An includes entry stands between the delimiters of an #include line,
// where nothing can be escaped: a line end there would start a line of C.
bool isHeaderName(const std::string& name, char closing) {
    for (char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == closing) return false;
    }
    return true;
}

}  // namespace

bool checkNames(const Template& t, const char* templatePath, std::ostream& err) {
    // The prefix starts every wrapper's name and the include guard's macro.
    // Left out, it reads as the missing-field text; quoting that text would
    // blame a value the template never wrote.
    if (t.prefix == kMissingField) {
        complain(err, templatePath) << "the root element has no prefix attribute (the start of every wrapper's "
                                    << "name; prefix=\"\" for none)" << std::endl;
        return false;
    }
    if (!t.prefix.empty() && !isCIdentifier(t.prefix)) {
        complain(err, templatePath) << "prefix " << quote(t.prefix) << " cannot start a C identifier ("
                                    << kIdentifierRule << ")" << std::endl;
        return false;
    }
    for (const Domain& d : t.domains) {
        // A domain's name is a trace field that the analyzer compares whole
        // and cuts at blanks; a tor's name is a macro and a function call.
        if (!isCIdentifier(d.name)) {
            complainAt(err, templatePath, d.sourceLine) << "domain name " << quote(d.name)
                                                        << " is not a C identifier (" << kIdentifierRule << ")"
                                                        << std::endl;
            return false;
        }
        for (const std::string& include : d.includes) {
            const char closing = d.includesGlobal ? '>' : '"';
            if (!isHeaderName(include, closing)) {
                complainAt(err, templatePath, d.sourceLine)
                    << "domain " << quote(d.name) << ": includes entry " << quote(include)
                    << " cannot be written as #include " << (d.includesGlobal ? "<...>" : "\"...\"")
                    << " (no control character, no '" << closing << "')" << std::endl;
                return false;
            }
        }
        bool ok = true;
        // An aliased tor is neither wrapped nor traced: its name is never written.
        forEachTorHeaderOrder(d, [&](const Tor& tor) {
            if (!ok || isAliased(tor) || isCIdentifier(tor.name)) return;
            complainAt(err, templatePath, tor.sourceLine) << "domain " << quote(d.name) << ": tor name "
                                                          << quote(tor.name) << " is not a C identifier ("
                                                          << kIdentifierRule << ")" << std::endl;
            ok = false;
        });
        if (!ok) return false;
    }
    return true;
}

namespace {

// Writes the template block as keltrace writes template.tmp: each line of
// the block with a line feed, up to the first "</template>" line.
bool writeTraceCopy(const char* templatePath, const std::string& copyPath, int fd, std::string& failure) {
    FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        failure = std::strerror(errno);
        ::close(fd);
        return false;
    }
    bool ended = false;
    forEachTemplateBlockLine(templatePath, [&](const std::string& text) {
        if (ended) return;
        std::fwrite(text.data(), 1, text.size(), file);
        std::fputc('\n', file);
        ended = text == kelproto::kTemplateEnd;
    });
    const bool written = !std::ferror(file);
    if (std::fclose(file) != 0 || !written) {
        failure = "cannot write " + copyPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

const char* const kReadsBackDifferently =
    " would read back differently from the trace: its copy of the template leaves out empty lines, and an "
    "attribute value or a text of it holds one";

// The message for domain `d` of the template, whose copy in the trace reads
// back as `copy`: it names the first tor that differs, else the domain.
void describeDifference(const Domain& d, const Domain& copy, const char* templatePath, std::ostream& err) {
    const std::vector<Tor>* lists[] = {&d.allocators, &d.deallocators, &d.reallocators, &d.operators};
    const std::vector<Tor>* copies[] = {&copy.allocators, &copy.deallocators, &copy.reallocators, &copy.operators};
    for (std::size_t k = 0; k < 4; ++k) {
        if (lists[k]->size() != copies[k]->size()) break;
        for (std::size_t j = 0; j < lists[k]->size(); ++j) {
            const Tor& tor = (*lists[k])[j];
            if (tor == (*copies[k])[j]) continue;
            complainAt(err, templatePath, tor.sourceLine)
                << "domain " << quote(d.name) << ", tor " << quote(tor.name) << kReadsBackDifferently << std::endl;
            return;
        }
    }
    complainAt(err, templatePath, d.sourceLine) << "domain " << quote(d.name) << kReadsBackDifferently << std::endl;
}

// True when the trace's copy is the file itself but for line ends: no line
// before the "</template>" line is empty (the copy leaves it out) or ends
// in a carriage return once the one before its line feed is dropped (the
// copy would turn CR CR LF into CR LF). An XML parser reads CR LF as LF, so
// such a copy loads to the same template, and a big template is not loaded
// a second time.
bool traceKeepsEveryLine(const char* templatePath) {
    std::ifstream in(templatePath, std::ios::in | std::ios::binary);
    std::string text;
    while (std::getline(in, text)) {
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.empty() || text.back() == '\r') return false;
        if (text == kelproto::kTemplateEnd) return true;
    }
    return false;
}

}  // namespace

bool checkEmbeddedCopy(const Template& t, const char* templatePath, std::ostream& err) {
    if (traceKeepsEveryLine(templatePath)) return true;
    std::error_code error;
    std::string copyPath = std::filesystem::temp_directory_path(error).string();
    if (error) copyPath = "/tmp";
    copyPath += "/kelgen-copy-XXXXXX";
    const int fd = ::mkstemp(copyPath.data());
    if (fd < 0) {
        complain(err, templatePath) << "cannot check the trace's copy of the template: cannot create "
                                    << visibleText(copyPath) << ": " << std::strerror(errno) << std::endl;
        return false;
    }
    // The copy's domains are compared as they load and not kept: a big
    // template is not held twice.
    std::string failure;
    Template copy;
    std::size_t count = 0;
    std::size_t firstDifferent = t.domains.size();  // position of the first domain that differs
    Domain differentCopy;                           // and how the copy reads it
    const auto compare = [&](const Domain& d) {
        if (firstDifferent == t.domains.size() && count < t.domains.size() && !(d == t.domains[count])) {
            firstDifferent = count;
            differentCopy = d;
        }
        ++count;
    };
    if (!writeTraceCopy(templatePath, copyPath, fd, failure)) {
        ::unlink(copyPath.c_str());
        complain(err, templatePath) << "cannot check the trace's copy of the template: " << visibleText(failure)
                                    << std::endl;
        return false;
    }
    // The reader's messages about the copy would only repeat those about the
    // template itself: they go nowhere, and `failure` says why it failed.
    std::ostream discard(nullptr);
    const int loaded = saxparser_templateLoader(copy, copyPath.c_str(), failure, discard, discard, compare);
    ::unlink(copyPath.c_str());
    if (loaded != 0) {
        complain(err, templatePath) << "the trace's copy of the template would not load: " << visibleText(failure)
                                    << std::endl;
        return false;
    }
    if (count != t.domains.size()) {
        complain(err, templatePath) << "the trace's copy of the template would hold " << count
                                    << " domains instead of " << t.domains.size() << std::endl;
        return false;
    }
    if (firstDifferent < t.domains.size()) {
        describeDifference(t.domains[firstDifferent], differentCopy, templatePath, err);
        return false;
    }
    if (!sameSettings(t, copy)) {
        complain(err, templatePath) << "the template's settings" << kReadsBackDifferently << std::endl;
        return false;
    }
    return true;
}

bool checkTemplate(const Template& t, const char* templatePath, std::ostream& err) {
    // The copy is loaded last: it costs a second load of the template.
    return checkTemplateLines(templatePath, err) && checkTemplateRecords(t, templatePath, err) &&
           checkNames(t, templatePath, err) && checkEmbeddedCopy(t, templatePath, err);
}
