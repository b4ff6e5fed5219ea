#include "gen_checks.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "gen_c.h"
#include "gen_settings.h"
#include "trace_protocol.h"

namespace {

// One message of our own: names the template, goes to `err`, flushed.
std::ostream& complain(std::ostream& err, const char* templatePath) {
    return err << "kelgen: " << templatePath << ": ";
}

bool checkPosition(const char* templatePath, const Domain& d, const Tor& tor, const char* attribute,
                   std::int64_t position, std::ostream& err) {
    if (position >= 0 && static_cast<std::uint64_t>(position) < tor.args.size()) return true;
    complain(err, templatePath) << "domain '" << d.name << "', tor '" << tor.name << "': " << attribute << " is "
                                << position << ", but args has " << tor.args.size() << " entries" << std::endl;
    return false;
}

std::ostream& complainAbout(std::ostream& err, const char* templatePath, const Domain& d, const Tor& tor) {
    return complain(err, templatePath) << "domain '" << d.name << "', tor '" << tor.name << "': ";
}

// A variadic parameter cannot be wrapped as it is written: a macro and a
// wrapper need every parameter's name and type. Trailing parameters that
// callers may leave out are written out and marked optional instead; they
// must come last, and nothing may check, size or take a handle from them,
// since some calls do not pass them.
bool checkParameters(const Template& t, const char* templatePath, const Domain& d, const Tor& tor,
                     std::ostream& err) {
    if (isAliased(tor)) return true;
    for (std::size_t i = 0; i < tor.args.size(); ++i) {
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

}  // namespace

bool checkTemplateRecords(const Template& t, const char* templatePath, std::ostream& err) {
    if (t.remote_mode) {
        std::string host, port;
        if (!splitTarget(t.trace_target, host, port)) {
            complain(err, templatePath) << "remote trace_target '" << t.trace_target
                                        << "' has no ':' in its first 99 characters; expected host:port"
                                        << std::endl;
            return false;
        }
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
                    << "domain '" << d.name << "', tor '" << tor.name << "': validateDom_before has "
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
                complain(err, templatePath) << "warning: domain '" << d.name << "', tor '" << tor.name
                                            << "': validateDom_before entry " << i << " '" << entry
                                            << "' names no domain; that argument is not checked" << std::endl;
                ++warnings;
            }
        });
    return warnings;
}

bool checkTemplateLines(const char* templatePath, std::ostream& err) {
    std::ifstream in(templatePath, std::ios::in | std::ios::binary);
    std::ostringstream bytes;
    if (!in || !(bytes << in.rdbuf())) {
        complain(err, templatePath) << "cannot read it again: " << std::strerror(errno) << std::endl;
        return false;
    }
    const std::string text = bytes.str();

    std::size_t start = 0;
    std::int64_t number = 0;
    std::int64_t endLine = 0;  // number of the first "</template>" line
    while (start < text.size()) {
        const auto feed = text.find('\n', start);
        ++number;
        if (feed == std::string::npos) {
            complain(err, templatePath) << number << ": the last line has no line feed; the trace would lose it"
                                        << std::endl;
            return false;
        }
        std::string raw = text.substr(start, feed - start);
        start = feed + 1;
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
    if (endLine == 0) {
        complain(err, templatePath) << "no line is exactly '" << kelproto::kTemplateEnd
                                    << "'; the analyzer could not find the end of the embedded template"
                                    << std::endl;
        return false;
    }
    return true;
}
