#include "gen_checks.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

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
        });
        if (!ok) return false;
    }
    return true;
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
